#pragma once

#include <QLocale>
#include <QString>
#include <QStringList>

namespace korvane::launcher {

// The languages the launcher offers, in the order of the language box.
extern const QStringList supportedLanguages;

// The first supported of: the stored preference, the locale's language-territory tag, its language
// alone, "en". Compared exactly.
QString chooseLanguage(const QString& storedLanguage, const QLocale& systemLocale);

// The stored preference "language" of the native settings store.
QString readStoredLanguage();

} // namespace korvane::launcher
