#pragma once

#include <QString>

#include <memory>

class QTranslator;

namespace shared {

// Installs the user-interface catalogue of one language at a time and remembers which one is in force.
class TTranslationManager
{
public:
    // Catalogues are looked up in catalogueFolder; empty means the application's folder.
    explicit TTranslationManager(QString catalogueFolder = {});
    ~TTranslationManager();
    TTranslationManager(const TTranslationManager&) = delete;
    TTranslationManager& operator=(const TTranslationManager&) = delete;

    // Falls back to the base language, then to English; false when no catalogue could be loaded.
    bool loadTranslation(const QString& language);
    QString getCurrentLanguage() const;

private:
    bool loadCatalogue(const QString& language);
    void releaseTranslator();

    std::unique_ptr<QTranslator> translator;
    QString currentLanguage;
    QString catalogueFolder;
};

} // namespace shared
