#include "shared/jsondocumenthttppostsender.h"
#include "support/loopbackserver.h"
#include "systemsurvey/systemsurveyasjsondocumentcreator.h"
#include "systemsurvey/systemsurveycreator.h"
#include "systemsurvey/systemsurveytojsonconverter.h"
#include "systemsurvey/systemsurveyuploader.h"
#include "systemsurvey/systemsurveyvalueretriever.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QtTest>

#include <memory>

using korvane::test::closedAddress;
using korvane::test::TLoopbackServer;
using korvane::test::TRecordedRequest;
using korvane::test::TResponse;
using shared::TJsonDocumentHttpPostSender;
using namespace systemsurvey;

namespace {

const QString surveyPath = QStringLiteral("/hardwaresurvey");

// Hands out one fixed document and counts how often it was asked.
class TFixedDocumentCreator : public TSystemSurveyAsJsonDocumentCreator
{
public:
    TFixedDocumentCreator()
        : TSystemSurveyAsJsonDocumentCreator(nullptr, nullptr)
    { }
    QJsonDocument create() override
    {
        ++calls;
        return document;
    }

    QJsonDocument document { QJsonObject { { "clientID", "0123" }, { "dataType", 0 },
        { "operatingSystem", QJsonObject { { "baseSystem", "Linux" }, { "name", "" } } } } };
    int calls = 0;
};

} // namespace

// The survey's upload against the loopback server.
class TestSystemSurveyUploader : public QObject
{
    Q_OBJECT

private slots:
    void postsTheDocumentOnce();
    void judgesTheReply_data();
    void judgesTheReply();
    void missingPartsFailWithoutCrash_data();
    void missingPartsFailWithoutCrash();
    void replacedWhileThePostIsPending();
    void wholeChainOnThisMachine();
};

void TestSystemSurveyUploader::postsTheDocumentOnce()
{
    TLoopbackServer server;
    server.setBody(surveyPath, R"({"errorCode": 0})");
    auto documentCreator = std::make_shared<TFixedDocumentCreator>();
    TSystemSurveyUploader uploader(
        std::make_shared<TJsonDocumentHttpPostSender>(), server.url(surveyPath), documentCreator);
    QSignalSpy finished(&uploader, &TSystemSurveyUploader::finished);

    uploader.uploadSurvey();
    // The POST runs on; only the document was built synchronously.
    QCOMPARE(documentCreator->calls, 1);
    QCOMPARE(finished.size(), 0);
    QVERIFY(finished.wait(10000));

    QCOMPARE(server.requestCount(), 1);
    const TRecordedRequest request = server.requests(surveyPath).at(0);
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("Content-Disposition"), QByteArray("form-data; name=\"metadata\""));
    QCOMPARE(request.body,
        QByteArray(R"({"clientID":"0123","dataType":0,"operatingSystem":{"baseSystem":"Linux","name":""}})"));
    QCOMPARE(finished.at(0).at(0).toBool(), true);
    QCOMPARE(uploader.errorCode, 0);
    QVERIFY(uploader.errorString.isEmpty());

    // Nothing is sent again by itself.
    QTest::qWait(200);
    QCOMPARE(server.requestCount(), 1);
}

void TestSystemSurveyUploader::judgesTheReply_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<bool>("refused");
    QTest::addColumn<bool>("successful");
    QTest::addColumn<int>("errorCode");
    QTest::addColumn<QString>("errorString"); // "*" = any non-empty text

    QTest::newRow("accepted") << 200 << QByteArray(R"({"errorCode": 0, "stored": true})") << false << true << 0 << "";
    QTest::newRow("refused by the endpoint")
        << 200 << QByteArray(R"({"errorCode": 5, "errorMessage": "quota"})") << false << false << 5 << "quota";
    QTest::newRow("errorCode as text") << 200 << QByteArray(R"({"errorCode": "5"})") << false << true << 0 << "";
    QTest::newRow("not JSON") << 200 << QByteArray("<html>") << false << false << -100 << "*";
    QTest::newRow("HTTP error") << 503 << QByteArray(R"({"errorCode": 0})") << false << false << 0 << "*";
    QTest::newRow("nobody listening") << 200 << QByteArray() << true << false << 0 << "*";
}

void TestSystemSurveyUploader::judgesTheReply()
{
    QFETCH(int, status);
    QFETCH(QByteArray, reply);
    QFETCH(bool, refused);
    QFETCH(bool, successful);
    QFETCH(int, errorCode);
    QFETCH(QString, errorString);

    TLoopbackServer server;
    TResponse response = TResponse::withStatus(status);
    response.body = reply;
    server.setScript(surveyPath, { response });
    TSystemSurveyUploader uploader(std::make_shared<TJsonDocumentHttpPostSender>(),
        refused ? closedAddress(surveyPath) : server.url(surveyPath), std::make_shared<TFixedDocumentCreator>());
    QSignalSpy finished(&uploader, &TSystemSurveyUploader::finished);

    uploader.uploadSurvey();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), successful);
    QCOMPARE(uploader.errorCode, errorCode);
    if (errorString == QLatin1String("*"))
        QVERIFY(!uploader.errorString.isEmpty());
    else
        QCOMPARE(uploader.errorString, errorString);
}

void TestSystemSurveyUploader::missingPartsFailWithoutCrash_data()
{
    QTest::addColumn<bool>("withSender");
    QTest::addColumn<bool>("withDocumentCreator");

    QTest::newRow("no sender") << false << true;
    QTest::newRow("no document creator") << true << false;
    QTest::newRow("neither") << false << false;
}

void TestSystemSurveyUploader::missingPartsFailWithoutCrash()
{
    QFETCH(bool, withSender);
    QFETCH(bool, withDocumentCreator);

    TLoopbackServer server;
    auto documentCreator = std::make_shared<TFixedDocumentCreator>();
    TSystemSurveyUploader uploader(withSender ? std::make_shared<TJsonDocumentHttpPostSender>() : nullptr,
        server.url(surveyPath), withDocumentCreator ? documentCreator : nullptr);
    QSignalSpy finished(&uploader, &TSystemSurveyUploader::finished);

    uploader.uploadSurvey();
    QCOMPARE(finished.size(), 1);
    QCOMPARE(finished.at(0).at(0).toBool(), false);
    QVERIFY(finished.at(0).at(1).value<QJsonDocument>().isNull());
    QVERIFY(!uploader.errorString.isEmpty());
    QCOMPARE(uploader.errorCode, 0);
    // Without a sender the machine is not measured for nothing.
    QCOMPARE(documentCreator->calls, 0);
    QTest::qWait(100);
    QCOMPARE(server.requestCount(), 0);
}

void TestSystemSurveyUploader::replacedWhileThePostIsPending()
{
    TLoopbackServer server;
    TResponse slow = TResponse::delayed(1500);
    slow.body = QByteArray(R"({"errorCode": 0})");
    server.setScript(surveyPath, { slow, TResponse {} });
    server.setBody(surveyPath, R"({"errorCode": 0})");

    // The application keeps one uploader and replaces it when a configuration arrives again.
    auto uploader = std::make_unique<TSystemSurveyUploader>(std::make_shared<TJsonDocumentHttpPostSender>(),
        server.url(surveyPath), std::make_shared<TFixedDocumentCreator>());
    uploader->uploadSurvey();
    QVERIFY(server.waitForRequests(1, 10000));

    uploader = std::make_unique<TSystemSurveyUploader>(std::make_shared<TJsonDocumentHttpPostSender>(),
        server.url(surveyPath), std::make_shared<TFixedDocumentCreator>());
    QSignalSpy finished(uploader.get(), &TSystemSurveyUploader::finished);
    uploader->uploadSurvey();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.at(0).at(0).toBool(), true);
    // Outlive the first reply's delay: the abandoned upload must not come back.
    QTest::qWait(1800);
    QCOMPARE(finished.size(), 1);
    QCOMPARE(server.requestCount(), 2);
}

void TestSystemSurveyUploader::wholeChainOnThisMachine()
{
    TLoopbackServer server;
    server.setBody(surveyPath, R"({"errorCode": 0})");

    // Built as the application builds it.
    auto retriever = std::make_shared<TSystemSurveyValueRetriever>();
    auto surveyCreator = std::make_shared<TSystemSurveyCreator>(retriever);
    auto converter = std::make_shared<TSystemSurveyToJsonConverter>();
    auto documentCreator = std::make_shared<TSystemSurveyAsJsonDocumentCreator>(surveyCreator, converter);
    auto uploader = std::make_unique<TSystemSurveyUploader>(
        std::make_shared<TJsonDocumentHttpPostSender>(), server.url(surveyPath), documentCreator);
    QSignalSpy finished(uploader.get(), &TSystemSurveyUploader::finished);
    uploader->uploadSurvey();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.at(0).at(0).toBool(), true);

    const QByteArray body = server.requests(surveyPath).at(0).body;
    QVERIFY(!body.contains('\n'));
    QJsonParseError error;
    const QJsonObject document = QJsonDocument::fromJson(body, &error).object();
    QCOMPARE(error.error, QJsonParseError::NoError);
    QCOMPARE(document.keys(),
        QStringList({ "clientID", "cpu", "dataType", "gpu", "mainMemorySize", "monitors", "operatingSystem" }));
    QVERIFY(QRegularExpression("^[0-9a-f]{40}$").match(document.value("clientID").toString()).hasMatch());
    QCOMPARE(document.value("dataType").toInteger(-1), qint64(0));
    QVERIFY(document.value("mainMemorySize").toInteger() > 0);
    QCOMPARE(document.value("operatingSystem").toObject().value("baseSystem").toString(), QStringLiteral("Linux"));
    QVERIFY(!document.value("cpu").toObject().value("manufacturer").toString().isEmpty());
    QVERIFY(document.value("cpu").toObject().value("logicalCoreNumber").toInteger() >= 1);
    QCOMPARE(QJsonDocument(document.value("gpu").toArray()).toJson(QJsonDocument::Compact),
        QByteArray(R"([{"deviceString":"not implemented","videoMemorySize":0}])"));
    QVERIFY(document.value("monitors").isArray());
}

QTEST_MAIN(TestSystemSurveyUploader)
#include "tst_systemsurveyuploader.moc"
