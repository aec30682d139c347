#include "shared/translationmanager.h"

#include <QCoreApplication>
#include <QDebug>
#include <QTranslator>

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

} // namespace shared
