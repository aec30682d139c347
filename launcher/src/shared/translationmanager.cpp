#include "shared/translationmanager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTranslator>

#include <vector>

namespace shared {

TTranslationManager::TTranslationManager(QString catalogueFolder)
    : catalogueFolder(std::move(catalogueFolder))
{ }

TTranslationManager::~TTranslationManager()
{
    releaseTranslator();
}

void TTranslationManager::releaseTranslator()
{
    if (translator) {
        QCoreApplication::removeTranslator(translator.get());
        translator.reset();
    }
    currentLanguage.clear();
}

bool TTranslationManager::loadCatalogue(const QString& language)
{
    const QString folder = catalogueFolder.isEmpty() ? QCoreApplication::applicationDirPath() : catalogueFolder;
    return translator->load(QStringLiteral("launcher.%1").arg(language), folder);
}

bool TTranslationManager::loadTranslation(const QString& language)
{
    releaseTranslator();
    translator = std::make_unique<QTranslator>();

    bool loaded = loadCatalogue(language);
    if (!loaded && language.contains(QLatin1Char('-'))) {
        const QString baseLanguage = language.section(QLatin1Char('-'), 0, 0);
        loaded = loadCatalogue(baseLanguage);
        if (loaded)
            currentLanguage = baseLanguage;
    }
    if (!loaded && language != QLatin1String("en")) {
        loaded = loadCatalogue(QStringLiteral("en"));
        if (loaded)
            currentLanguage = QStringLiteral("en");
    }
    if (!loaded) {
        // The translator stays uninstalled: texts show untranslated.
        qWarning() << "Failed to load any translation file";
        currentLanguage = QStringLiteral("en");
        return false;
    }

    if (currentLanguage.isEmpty())
        currentLanguage = language;
    qInfo() << "Loaded translation for language:" << currentLanguage;
    QCoreApplication::installTranslator(translator.get());
    return true;
}

QString TTranslationManager::getCurrentLanguage() const
{
    return currentLanguage;
}

QString fillInArguments(const QString& text, const QStringList& arguments)
{
    QString filled;
    filled.reserve(text.size());
    std::vector<bool> used(std::size_t(arguments.size()), false);
    for (qsizetype i = 0; i < text.size(); ++i) {
        // %1 to %99, as the framework's own placeholders.
        if (text[i] == QLatin1Char('%') && i + 1 < text.size() && text[i + 1].isDigit()) {
            qsizetype end = i + 2;
            if (end < text.size() && text[end].isDigit())
                ++end;
            const int number = text.mid(i + 1, end - i - 1).toInt();
            if (number >= 1 && number <= arguments.size()) {
                filled += arguments[number - 1];
                used[std::size_t(number - 1)] = true;
                i = end - 1;
                continue;
            }
        }
        filled += text[i];
    }
    QStringList rest;
    for (qsizetype k = 0; k < arguments.size(); ++k) {
        if (!used[std::size_t(k)])
            rest.append(arguments[k]);
    }
    if (!rest.isEmpty())
        filled += QStringLiteral(": ") + rest.join(QStringLiteral(", "));
    return filled;
}

} // namespace shared
