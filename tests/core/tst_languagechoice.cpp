#include "core/languagechoice.h"

#include <QtTest>

using korvane::launcher::chooseLanguage;
using korvane::launcher::supportedLanguages;

class TestLanguageChoice : public QObject
{
    Q_OBJECT

private slots:
    void supported();
    void choice_data();
    void choice();
};

void TestLanguageChoice::supported()
{
    QCOMPARE(supportedLanguages,
        (QStringList { "en", "de", "fr", "pl", "es", "tr", "pt", "pt-BR", "uk", "ru", "it", "sv" }));
}

void TestLanguageChoice::choice_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("locale");
    QTest::addColumn<QString>("expected");
    QTest::newRow("stored with region") << "pt-BR"
                                        << "de_DE"
                                        << "pt-BR";
    QTest::newRow("stored plain") << "sv"
                                  << "de_DE"
                                  << "sv";
    QTest::newRow("stored differs in case") << "PT-BR"
                                            << "fr_FR"
                                            << "fr";
    QTest::newRow("stored unknown") << "xx"
                                    << "it_IT"
                                    << "it";
    QTest::newRow("stored region not listed") << "de-AT"
                                              << "uk_UA"
                                              << "uk";
    QTest::newRow("locale with region") << ""
                                        << "pt_BR"
                                        << "pt-BR";
    QTest::newRow("locale base language") << ""
                                          << "de_AT"
                                          << "de";
    QTest::newRow("locale portugal") << ""
                                     << "pt_PT"
                                     << "pt";
    QTest::newRow("locale not listed") << ""
                                       << "zh_CN"
                                       << "en";
    QTest::newRow("C locale") << ""
                              << "C"
                              << "en";
}

void TestLanguageChoice::choice()
{
    QFETCH(QString, stored);
    QFETCH(QString, locale);
    QFETCH(QString, expected);
    QCOMPARE(chooseLanguage(stored, QLocale(locale)), expected);
}

QTEST_APPLESS_MAIN(TestLanguageChoice)
#include "tst_languagechoice.moc"
