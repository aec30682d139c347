#include "shared/translationmanager.h"
#include "support/messagecapture.h"

#include <QCoreApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

using korvane::test::TMessages;
using shared::TTranslationManager;

namespace {

QString greeting()
{
    return QCoreApplication::translate("CatalogueFixture", "greeting");
}

QString onlyPortuguese()
{
    return QCoreApplication::translate("CatalogueFixture", "onlyPortuguese");
}

} // namespace

class TestTranslationManager : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void fallbacks_data();
    void fallbacks();
    void noCatalogueLeavesTextsUntranslated();
    void nextLoadReplacesTheCatalogue();
    void destructionUninstalls();
    void fillingInArguments_data();
    void fillingInArguments();

private:
    // Places launcher.<language>.qm, compiled from the fixture of sourceLanguage, into the catalogue folder.
    void provide(const QString& language, const QString& sourceLanguage);

    std::unique_ptr<QTemporaryDir> catalogues;
};

void TestTranslationManager::init()
{
    catalogues = std::make_unique<QTemporaryDir>();
    QVERIFY(catalogues->isValid());
}

void TestTranslationManager::provide(const QString& language, const QString& sourceLanguage)
{
    const QString source = QStringLiteral(KORVANE_TEST_CATALOGUE_DIR "/launcher.%1.qm").arg(sourceLanguage);
    QVERIFY2(
        QFile::copy(source, catalogues->filePath(QStringLiteral("launcher.%1.qm").arg(language))), qPrintable(source));
}

void TestTranslationManager::fallbacks_data()
{
    QTest::addColumn<QStringList>("available");
    QTest::addColumn<QString>("requested");
    QTest::addColumn<QString>("expectedLanguage");
    QTest::addColumn<QString>("expectedGreeting");
    QTest::newRow("exact") << QStringList { "en", "pt" } << "pt"
                           << "pt"
                           << "Olá";
    QTest::newRow("exact with region") << QStringList { "en", "pt-BR" } << "pt-BR"
                                       << "pt-BR"
                                       << "Olá";
    QTest::newRow("base language") << QStringList { "en", "pt" } << "pt-BR"
                                   << "pt"
                                   << "Olá";
    QTest::newRow("english for an unknown language") << QStringList { "en", "pt" } << "de"
                                                     << "en"
                                                     << "Hello";
    QTest::newRow("english after the base language") << QStringList { "en" } << "pt-BR"
                                                     << "en"
                                                     << "Hello";
}

void TestTranslationManager::fallbacks()
{
    QFETCH(QStringList, available);
    QFETCH(QString, requested);
    QFETCH(QString, expectedLanguage);
    QFETCH(QString, expectedGreeting);
    for (const QString& language : available)
        provide(language, language == QLatin1String("en") ? QStringLiteral("en") : QStringLiteral("pt"));

    TTranslationManager manager(catalogues->path());
    QCOMPARE(manager.getCurrentLanguage(), QString());
    const TMessages messages;
    QVERIFY(manager.loadTranslation(requested));
    QCOMPARE(messages.of(QtInfoMsg),
        QStringList { QStringLiteral("Loaded translation for language: \"%1\"").arg(expectedLanguage) });
    QCOMPARE(messages.all().size(), 1);
    QCOMPARE(manager.getCurrentLanguage(), expectedLanguage);
    QCOMPARE(greeting(), expectedGreeting);
}

void TestTranslationManager::noCatalogueLeavesTextsUntranslated()
{
    TTranslationManager manager(catalogues->path());
    for (const QString& language : { QStringLiteral("en"), QStringLiteral("de") }) {
        const TMessages messages;
        QVERIFY(!manager.loadTranslation(language));
        QCOMPARE(messages.of(QtWarningMsg), QStringList { "Failed to load any translation file" });
        QCOMPARE(messages.all().size(), 1);
        QCOMPARE(manager.getCurrentLanguage(), QStringLiteral("en"));
        QCOMPARE(greeting(), QStringLiteral("greeting"));
    }

    // A catalogue that appears later is found by the next call.
    provide(QStringLiteral("pt"), QStringLiteral("pt"));
    QVERIFY(manager.loadTranslation(QStringLiteral("pt")));
    QCOMPARE(manager.getCurrentLanguage(), QStringLiteral("pt"));
    QCOMPARE(greeting(), QStringLiteral("Olá"));
}

void TestTranslationManager::nextLoadReplacesTheCatalogue()
{
    provide(QStringLiteral("en"), QStringLiteral("en"));
    provide(QStringLiteral("pt"), QStringLiteral("pt"));
    TTranslationManager manager(catalogues->path());
    QVERIFY(manager.loadTranslation(QStringLiteral("pt")));
    QCOMPARE(onlyPortuguese(), QStringLiteral("Só em português"));
    QVERIFY(manager.loadTranslation(QStringLiteral("en")));
    // The Portuguese catalogue is gone, not merely outranked.
    QCOMPARE(onlyPortuguese(), QStringLiteral("onlyPortuguese"));
    QCOMPARE(greeting(), QStringLiteral("Hello"));
    QCOMPARE(manager.getCurrentLanguage(), QStringLiteral("en"));

    // A failed load leaves nothing installed.
    QVERIFY(QFile::remove(catalogues->filePath(QStringLiteral("launcher.en.qm"))));
    QVERIFY(!manager.loadTranslation(QStringLiteral("de")));
    QCOMPARE(greeting(), QStringLiteral("greeting"));
}

void TestTranslationManager::destructionUninstalls()
{
    provide(QStringLiteral("pt"), QStringLiteral("pt"));
    {
        TTranslationManager manager(catalogues->path());
        QVERIFY(manager.loadTranslation(QStringLiteral("pt")));
        QCOMPARE(greeting(), QStringLiteral("Olá"));
    }
    QCOMPARE(greeting(), QStringLiteral("greeting"));
}

void TestTranslationManager::fillingInArguments_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("expected");
    QTest::newRow("one place") << "Back in %1" << QStringList { "1h 33m" } << "Back in 1h 33m";
    QTest::newRow("places in another order")
        << "%2, then %1" << QStringList { "first", "second" } << "second, then first";
    QTest::newRow("a place used twice") << "<a href=\"%1\">%1</a>" << QStringList { "https://x.example/" }
                                        << "<a href=\"https://x.example/\">https://x.example/</a>";
    QTest::newRow("an argument that looks like a place")
        << "%1 and %2" << QStringList { "100%2", "50%" } << "100%2 and 50%";
    QTest::newRow("no catalogue: the id, then its arguments")
        << "launcher.about.text" << QStringList { "https://a.example/", "https://b.example/" }
        << "launcher.about.text: https://a.example/, https://b.example/";
    QTest::newRow("a translation that lost one place")
        << "From %2" << QStringList { "Package 1", "here" } << "From here: Package 1";
    QTest::newRow("percent signs that are no place") << "100% of %1, %" << QStringList { "x" } << "100% of x, %";
    QTest::newRow("a place without an argument stays") << "%1 of %3" << QStringList { "a" } << "a of %3";
    QTest::newRow("two digits") << "%10%1" << QStringList { "a" } << "%10a";
    QTest::newRow("no arguments") << "Ready to Play" << QStringList() << "Ready to Play";
}

void TestTranslationManager::fillingInArguments()
{
    QFETCH(QString, text);
    QFETCH(QStringList, arguments);
    QFETCH(QString, expected);
    QCOMPARE(shared::fillInArguments(text, arguments), expected);
}

QTEST_GUILESS_MAIN(TestTranslationManager)
#include "tst_translationmanager.moc"
