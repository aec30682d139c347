#include "core/languagechoice.h"

#include "core/launcherconstants.h"

#include <QSettings>

namespace korvane::launcher {

const QStringList supportedLanguages = { QStringLiteral("en"), QStringLiteral("de"), QStringLiteral("fr"),
    QStringLiteral("pl"), QStringLiteral("es"), QStringLiteral("tr"), QStringLiteral("pt"), QStringLiteral("pt-BR"),
    QStringLiteral("uk"), QStringLiteral("ru"), QStringLiteral("it"), QStringLiteral("sv") };

QString chooseLanguage(const QString& storedLanguage, const QLocale& systemLocale)
{
    if (!storedLanguage.isEmpty() && supportedLanguages.contains(storedLanguage))
        return storedLanguage;
    // Built from the locale's name: the framework's own tag drops a territory it thinks likely,
    // which would turn pt_BR into pt.
    const QString tag = systemLocale.name().replace(QLatin1Char('_'), QLatin1Char('-'));
    if (supportedLanguages.contains(tag))
        return tag;
    const QString language = tag.section(QLatin1Char('-'), 0, 0);
    if (supportedLanguages.contains(language))
        return language;
    return QStringLiteral("en");
}

QString readStoredLanguage()
{
    const QSettings preferences(preferencesOrganisation, preferencesApplication);
    return preferences.value(languagePreferenceKey).toString();
}

} // namespace korvane::launcher
