#include "shared/jsondocumenthttppostsender.h"
#include "shared/jsondocumentuploaderbase.h"
#include "support/loopbackserver.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using korvane::test::closedAddress;
using korvane::test::TLoopbackServer;
using korvane::test::TResponse;
using shared::TJsonDocumentHttpPostSender;
using shared::TJsonDocumentUploaderBase;

namespace {

const QString uploadPath = QStringLiteral("/upload");

} // namespace

// The JSON poster and the judgement of its replies, against the loopback server.
class TestJsonDocumentHttpPostSender : public QObject
{
    Q_OBJECT

private slots:
    void postsOneCompactDocument();
    void reportsFailedRepliesWithTheirBody();
    void uploaderJudgesTheReply_data();
    void uploaderJudgesTheReply();
    void uploaderKeepsTheLastOutcome();
    void uploaderWithoutSenderFails();
};

void TestJsonDocumentHttpPostSender::postsOneCompactDocument()
{
    TLoopbackServer server;
    server.setBody(uploadPath, "{\"errorCode\": 0}");
    TJsonDocumentHttpPostSender sender;
    QSignalSpy finished(&sender, &TJsonDocumentHttpPostSender::finished);

    sender.post(server.url(uploadPath), QJsonDocument(QJsonObject { { "gpu", "Some Card" }, { "cores", 8 } }));
    QVERIFY(finished.wait(10000));

    QCOMPARE(server.requestCount(uploadPath), 1);
    const korvane::test::TRecordedRequest request = server.requests(uploadPath).at(0);
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("Content-Disposition"), QByteArray("form-data; name=\"metadata\""));
    QCOMPARE(request.body, QByteArray(R"({"cores":8,"gpu":"Some Card"})"));
    QCOMPARE(finished.at(0).at(0).value<QNetworkReply::NetworkError>(), QNetworkReply::NoError);
    QCOMPARE(finished.at(0).at(2).toByteArray(), QByteArray("{\"errorCode\": 0}"));
}

void TestJsonDocumentHttpPostSender::reportsFailedRepliesWithTheirBody()
{
    TLoopbackServer server;
    TResponse failure = TResponse::withStatus(500);
    failure.body = QByteArray("broken");
    server.setScript(uploadPath, { failure });
    TJsonDocumentHttpPostSender sender;
    QSignalSpy finished(&sender, &TJsonDocumentHttpPostSender::finished);

    sender.post(server.url(uploadPath), QJsonDocument(QJsonObject { { "a", 1 } }));
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.at(0).at(0).value<QNetworkReply::NetworkError>(), QNetworkReply::InternalServerError);
    QVERIFY(!finished.at(0).at(1).toString().isEmpty());
    QCOMPARE(finished.at(0).at(2).toByteArray(), QByteArray("broken"));
}

void TestJsonDocumentHttpPostSender::uploaderJudgesTheReply_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<bool>("successful");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<QString>("errorString"); // "*" = any non-empty text
    QTest::addColumn<bool>("replyKept");

    QTest::newRow("plain object") << 200 << QByteArray(R"({"ok": true})") << false << true << 0 << "" << true;
    QTest::newRow("errorCode 0 with a message")
        << 200 << QByteArray(R"({"errorCode": 0, "errorMessage": "fine"})") << false << true << 0 << "" << true;
    QTest::newRow("numeric errorCode") << 200 << QByteArray(R"({"errorCode": 5, "errorMessage": "quota"})") << false
                                       << false << 5 << "quota" << true;
    QTest::newRow("negative errorCode without message")
        << 200 << QByteArray(R"({"errorCode": -3})") << false << false << -3 << "" << true;
    QTest::newRow("errorCode as text") << 200 << QByteArray(R"({"errorCode": "5", "errorMessage": "x"})") << false
                                       << true << 0 << "" << true;
    QTest::newRow("array") << 200 << QByteArray(R"([{"errorCode": 5}])") << false << true << 0 << "" << true;
    QTest::newRow("invalid JSON") << 200 << QByteArray(R"({"errorCode": )") << false << false << -100 << "*" << false;
    QTest::newRow("empty body") << 200 << QByteArray() << false << false << -100 << "*" << false;
    QTest::newRow("HTTP error") << 500 << QByteArray(R"({"errorCode": 0})") << false << false << 0 << "*" << false;
    QTest::newRow("connection refused") << 200 << QByteArray() << true << false << 0 << "*" << false;
}

void TestJsonDocumentHttpPostSender::uploaderJudgesTheReply()
{
    QFETCH(int, status);
    QFETCH(QByteArray, reply);
    QFETCH(bool, refused);
    QFETCH(bool, successful);
    QFETCH(int, errorCode);
    QFETCH(QString, errorString);
    QFETCH(bool, replyKept);

    TLoopbackServer server;
    TResponse response = TResponse::withStatus(status);
    response.body = reply;
    server.setScript(uploadPath, { response });
    TJsonDocumentUploaderBase uploader(std::make_shared<TJsonDocumentHttpPostSender>());
    QSignalSpy finished(&uploader, &TJsonDocumentUploaderBase::finished);

    uploader.upload(
        refused ? closedAddress(uploadPath) : server.url(uploadPath), QJsonDocument(QJsonObject { { "a", 1 } }));
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), successful);
    QCOMPARE(uploader.errorCode, errorCode);
    if (errorString == QLatin1String("*"))
        QVERIFY(!uploader.errorString.isEmpty());
    else
        QCOMPARE(uploader.errorString, errorString);
    const QJsonDocument document = finished.at(0).at(1).value<QJsonDocument>();
    if (replyKept)
        QCOMPARE(document, QJsonDocument::fromJson(reply));
    else
        QVERIFY(document.isNull());
}

void TestJsonDocumentHttpPostSender::uploaderKeepsTheLastOutcome()
{
    TLoopbackServer server;
    TResponse failure;
    failure.body = QByteArray(R"({"errorCode": 7, "errorMessage": "later"})");
    server.setScript(uploadPath, { failure, TResponse {} });
    server.setBody(uploadPath, "{}");
    TJsonDocumentUploaderBase uploader(std::make_shared<TJsonDocumentHttpPostSender>());
    QSignalSpy finished(&uploader, &TJsonDocumentUploaderBase::finished);

    uploader.upload(server.url(uploadPath), QJsonDocument(QJsonObject()));
    QVERIFY(finished.wait(10000));
    QCOMPARE(uploader.errorCode, 7);
    QCOMPARE(uploader.errorString, QStringLiteral("later"));

    uploader.upload(server.url(uploadPath), QJsonDocument(QJsonObject()));
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.at(1).at(0).toBool(), true);
    QCOMPARE(uploader.errorCode, 0);
    QVERIFY(uploader.errorString.isEmpty());
}

void TestJsonDocumentHttpPostSender::uploaderWithoutSenderFails()
{
    TJsonDocumentUploaderBase uploader(nullptr);
    QSignalSpy finished(&uploader, &TJsonDocumentUploaderBase::finished);
    uploader.upload(QUrl(QStringLiteral("http://127.0.0.1:1/upload")), QJsonDocument(QJsonObject()));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    QVERIFY(!uploader.errorString.isEmpty());
}

QTEST_GUILESS_MAIN(TestJsonDocumentHttpPostSender)
#include "tst_jsondocumenthttppostsender.moc"
