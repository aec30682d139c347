#include "shared/randomhints.h"

#include <QtTest>

using shared::THint;

namespace {

const QString style = QStringLiteral("<style>a { color: #c0c0c0; }</style>");

} // namespace

class TestRandomHints : public QObject
{
    Q_OBJECT
private slots:
    void keepsHintsWithTextInDocumentOrder();
    void readsEveryField();
    void toleratesMissingAndWrongTypes_data();
    void toleratesMissingAndWrongTypes();
    void unparsableDocumentWarnsAndYieldsNothing();
    void nonArrayDocumentYieldsNothingSilently();
    void dateTimeFallback();
    void metaTypesAreRegisteredUnderTheirNames();
};

void TestRandomHints::keepsHintsWithTextInDocumentOrder()
{
    const QByteArray document = R"([
        {"title": "first", "richText": "<b>one</b>"},
        {"title": "empty", "richText": "", "imageUrl": "http://x/y.png", "emergency": true},
        "not an object",
        {"title": "third", "richText": "three"}
    ])";
    const std::vector<THint> hints = shared::parseHints(document);
    QCOMPARE(hints.size(), size_t(2));
    QCOMPARE(hints[0].title, QStringLiteral("first"));
    QCOMPARE(hints[0].richText, style + QStringLiteral("<b>one</b>"));
    QCOMPARE(hints[1].title, QStringLiteral("third"));
    QCOMPARE(hints[1].richText, style + QStringLiteral("three"));
}

void TestRandomHints::readsEveryField()
{
    const QByteArray document = R"([{
        "title": "Patch", "richText": "text", "imageUrl": "https://h/i.png", "category": "news",
        "url": "https://h/more", "displayAfter": "2026-01-02T03:04:05Z", "displayUntil": "2026-02-01T00:00:00+02:00",
        "emergency": true
    }])";
    const std::vector<THint> hints = shared::parseHints(document);
    QCOMPARE(hints.size(), size_t(1));
    const THint& hint = hints.front();
    QCOMPARE(hint.title, QStringLiteral("Patch"));
    QCOMPARE(hint.imageUrl, QStringLiteral("https://h/i.png"));
    QCOMPARE(hint.category, QStringLiteral("news"));
    QCOMPARE(hint.url, QStringLiteral("https://h/more"));
    QCOMPARE(hint.displayAfter, QDateTime(QDate(2026, 1, 2), QTime(3, 4, 5), Qt::UTC));
    QCOMPARE(hint.displayUntil, QDateTime(QDate(2026, 1, 31), QTime(22, 0, 0), Qt::UTC));
    QVERIFY(hint.hasEmergency);
    QVERIFY(hint.emergency);
}

void TestRandomHints::toleratesMissingAndWrongTypes_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<bool>("afterValid");
    QTest::addColumn<bool>("untilValid");
    QTest::addColumn<bool>("hasEmergency");
    QTest::addColumn<bool>("emergency");
    QTest::addColumn<QString>("title");

    QTest::newRow("only rich text") << QByteArray(R"([{"richText": "t"}])") << false << false << false << false
                                    << QString();
    QTest::newRow("bad date kept open") << QByteArray(R"([{"richText": "t", "title": "k", "displayAfter": "soon"}])")
                                        << false << false << false << false << QStringLiteral("k");
    QTest::newRow("date as number") << QByteArray(R"([{"richText": "t", "displayUntil": 12345}])") << false << false
                                    << false << false << QString();
    QTest::newRow("emergency false") << QByteArray(R"([{"richText": "t", "emergency": false}])") << false << false
                                     << true << false << QString();
    QTest::newRow("emergency as text") << QByteArray(R"([{"richText": "t", "emergency": "true"}])") << false << false
                                       << true << false << QString();
    QTest::newRow("emergency null") << QByteArray(R"([{"richText": "t", "emergency": null}])") << false << false << true
                                    << false << QString();
    QTest::newRow("title as number") << QByteArray(R"([{"richText": "t", "title": 7}])") << false << false << false
                                     << false << QString();
    QTest::newRow("valid after only") << QByteArray(R"([{"richText": "t", "displayAfter": "2026-05-01T10:00:00"}])")
                                      << true << false << false << false << QString();
}

void TestRandomHints::toleratesMissingAndWrongTypes()
{
    QFETCH(QByteArray, document);
    QFETCH(bool, afterValid);
    QFETCH(bool, untilValid);
    QFETCH(bool, hasEmergency);
    QFETCH(bool, emergency);
    QFETCH(QString, title);

    const std::vector<THint> hints = shared::parseHints(document);
    QCOMPARE(hints.size(), size_t(1));
    QCOMPARE(hints[0].displayAfter.isValid(), afterValid);
    QCOMPARE(hints[0].displayUntil.isValid(), untilValid);
    QCOMPARE(hints[0].hasEmergency, hasEmergency);
    QCOMPARE(hints[0].emergency, emergency);
    QCOMPARE(hints[0].title, title);
    QCOMPARE(hints[0].richText, style + QStringLiteral("t"));
}

void TestRandomHints::unparsableDocumentWarnsAndYieldsNothing()
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Could not parse hints file at offset \\d+ : "));
    QVERIFY(shared::parseHints("[{\"richText\": \"t\"").empty());
}

void TestRandomHints::nonArrayDocumentYieldsNothingSilently()
{
    QTest::failOnWarning(QRegularExpression(".*"));
    QVERIFY(shared::parseHints(R"({"richText": "t"})").empty());
    QVERIFY(shared::parseHints("[]").empty());
}

void TestRandomHints::dateTimeFallback()
{
    const QDateTime fallback(QDate(2000, 1, 1), QTime(0, 0), Qt::UTC);
    QCOMPARE(shared::parseHintDateTime(QJsonValue("nonsense"), fallback), fallback);
    QCOMPARE(shared::parseHintDateTime(QJsonValue(), fallback), fallback);
    QCOMPARE(shared::parseHintDateTime(QJsonValue("2030-12-24T18:00:00Z"), fallback),
        QDateTime(QDate(2030, 12, 24), QTime(18, 0), Qt::UTC));
}

void TestRandomHints::metaTypesAreRegisteredUnderTheirNames()
{
    shared::registerHintMetaTypes();
    QVERIFY(QMetaType::fromName("shared::THint").isValid());
    QVERIFY(QMetaType::fromName("std::vector<shared::THint>").isValid());
    QCOMPARE(QMetaType::fromName("shared::THint"), QMetaType::fromType<THint>());
}

QTEST_GUILESS_MAIN(TestRandomHints)
#include "tst_randomhints.moc"
