#pragma once

#include <QString>
#include <QStringList>

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

// Fills the arguments into %1, %2, ... of text in one pass, so an argument that holds "%1" itself stays
// as it is. Arguments the text has no place for follow it after ": ": without a catalogue the text is its
// id, and the player still sees the package name or the time.
QString fillInArguments(const QString& text, const QStringList& arguments);

// The translation of a text id with its arguments filled in.
template<typename... TArguments> QString translatedText(const char* id, const TArguments&... arguments)
{
    return fillInArguments(qtTrId(id), QStringList { QString(arguments)... });
}

} // namespace shared
