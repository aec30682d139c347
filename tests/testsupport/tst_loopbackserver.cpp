#include "support/loopbackserver.h"
#include "support/testcertificate.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

using namespace korvane::test;

Q_DECLARE_METATYPE(korvane::test::TScript)

namespace {

struct TFetched
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
    qint64 elapsedMs = 0;
};

TFetched fetch(QNetworkAccessManager& Manager, const QUrl& Url, const QByteArray& PostBody = {})
{
    QNetworkRequest request(Url);
    request.setTransferTimeout(10000);
    QElapsedTimer clock;
    clock.start();
    QNetworkReply* reply = PostBody.isNull() ? Manager.get(request) : Manager.post(request, PostBody);
    QSignalSpy finished(reply, &QNetworkReply::finished);
    if (!reply->isFinished())
        finished.wait(15000);
    TFetched result;
    result.error = reply->error();
    result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    result.body = reply->readAll();
    result.elapsedMs = clock.elapsed();
    reply->deleteLater();
    return result;
}

const QByteArray content = QByteArray("0123456789abcdefghijklmnopqrstuvwxyz").repeated(20);

} // namespace

class TestLoopbackServer : public QObject
{
    Q_OBJECT

private slots:
    void answersByScript_data();
    void answersByScript();
    void delaysBeforeAndDuringTheBody();
    void failsOnlyTheFirstRequests();
    void servesAFolderAndNothingOutsideIt();
    void recordsRequests();
    void keepsConnectionsAliveAndCountsConcurrency();
    void servesTlsForLocalhostOnly();
};

void TestLoopbackServer::answersByScript_data()
{
    QTest::addColumn<TScript>("script");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    QTest::newRow("content") << TScript {} << int(QNetworkReply::NoError) << 200 << content;
    QTest::newRow("403") << TScript { TResponse::withStatus(403) } << int(QNetworkReply::ContentAccessDenied) << 403
                         << QByteArray();
    QTest::newRow("404") << TScript { TResponse::withStatus(404) } << int(QNetworkReply::ContentNotFoundError) << 404
                         << QByteArray();
    QTest::newRow("500") << TScript { TResponse::withStatus(500) } << int(QNetworkReply::InternalServerError) << 500
                         << QByteArray();
    QTest::newRow("truncated") << TScript { TResponse::truncated(10) } << int(QNetworkReply::NoError) << 200
                               << content.left(10);
    QByteArray corrupted = content;
    corrupted[corrupted.size() / 2] = char(~corrupted.at(corrupted.size() / 2));
    QTest::newRow("corrupted") << TScript { TResponse::corrupted() } << int(QNetworkReply::NoError) << 200 << corrupted;
    QTest::newRow("dropped") << TScript { TResponse::dropped(100) } << int(QNetworkReply::RemoteHostClosedError) << 200
                             << QByteArray();
    QTest::newRow("redirect") << TScript { TResponse::redirect("/target") } << int(QNetworkReply::NoError) << 200
                              << QByteArray("target body");
    TResponse own;
    own.body = "own body";
    own.headers.append(qMakePair(QByteArray("Content-Type"), QByteArray("text/plain")));
    QTest::newRow("own body") << TScript { own } << int(QNetworkReply::NoError) << 200 << QByteArray("own body");
}

void TestLoopbackServer::answersByScript()
{
    QFETCH(TScript, script);
    QFETCH(int, error);
    QFETCH(int, status);
    QFETCH(QByteArray, body);

    TLoopbackServer server;
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.setBody("/content", content);
    server.setBody("/target", "target body");
    server.setScript("/content", script);
    QNetworkAccessManager manager;
    const TFetched fetched = fetch(manager, server.url("/content"));
    QCOMPARE(int(fetched.error), error);
    QCOMPARE(fetched.status, status);
    if (!body.isEmpty())
        QCOMPARE(fetched.body, body);
    QCOMPARE(server.requestCount("/content"), 1);
}

void TestLoopbackServer::delaysBeforeAndDuringTheBody()
{
    TLoopbackServer server;
    server.setBody("/slow", content);
    server.setBody("/stall", content);
    server.setScript("/slow", { TResponse::delayed(300) });
    TResponse stall;
    stall.stallAfterBytes = 10;
    stall.stallMs = 300;
    server.setScript("/stall", { stall });

    QNetworkAccessManager manager;
    for (const char* path : { "/slow", "/stall" }) {
        const TFetched fetched = fetch(manager, server.url(path));
        QCOMPARE(fetched.error, QNetworkReply::NoError);
        QCOMPARE(fetched.body, content);
        QVERIFY2(fetched.elapsedMs >= 290, path);
    }
}

void TestLoopbackServer::failsOnlyTheFirstRequests()
{
    TLoopbackServer server;
    server.setBody("/x", "fine");
    server.setScript("/x", firstRequests(2, TResponse::withStatus(500)));
    QNetworkAccessManager manager;
    QCOMPARE(fetch(manager, server.url("/x")).status, 500);
    QCOMPARE(fetch(manager, server.url("/x?q=1")).status, 500);
    const TFetched third = fetch(manager, server.url("/x"));
    QCOMPARE(third.status, 200);
    QCOMPARE(third.body, QByteArray("fine"));
    QCOMPARE(server.requestCount("/x"), 3);

    // A script keyed with a query applies to that query only.
    server.setScript("/x?only=this", { TResponse::withStatus(403) });
    QCOMPARE(fetch(manager, server.url("/x?only=this")).status, 403);
    QCOMPARE(fetch(manager, server.url("/x?other")).status, 200);
}

void TestLoopbackServer::servesAFolderAndNothingOutsideIt()
{
    QTemporaryDir root;
    QVERIFY(QDir(root.path()).mkpath("served/sub"));
    QFile secret(root.filePath("secret"));
    QVERIFY(secret.open(QIODevice::WriteOnly));
    secret.write("secret");
    secret.close();
    QFile file(root.filePath("served/sub/file name.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    TLoopbackServer server;
    server.serveFolder(root.filePath("served"));
    QNetworkAccessManager manager;
    const TFetched served = fetch(manager, server.url("/sub/file%20name.bin"));
    QCOMPARE(served.error, QNetworkReply::NoError);
    QCOMPARE(served.body, content);
    QCOMPARE(fetch(manager, server.url("/sub")).status, 404);
    QCOMPARE(fetch(manager, server.url("/missing")).status, 404);

    // The network manager would clean up "..", so send the request by hand.
    for (const QByteArray& target :
        { QByteArray("/../secret"), QByteArray("/sub/../../secret"), QByteArray("/%2e%2e/secret") }) {
        QTcpSocket socket;
        socket.connectToHost(QHostAddress::LocalHost, server.port());
        QVERIFY(socket.waitForConnected(5000));
        socket.write("GET " + target + " HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
        QByteArray answer;
        QTRY_VERIFY_WITH_TIMEOUT((answer += socket.readAll()).contains("\r\n\r\n"), 5000);
        QVERIFY2(answer.startsWith("HTTP/1.1 404"), answer.constData());
        QVERIFY(!answer.contains("secret"));
    }
}

void TestLoopbackServer::recordsRequests()
{
    TLoopbackServer server;
    server.setBody("/post", "ok");
    QNetworkAccessManager manager;
    QNetworkRequest request(server.url("/post?a=1&b=%20"));
    request.setHeader(QNetworkRequest::ContentTypeHeader, "application/json");
    request.setRawHeader("X-Test", "value");
    QNetworkReply* reply = manager.post(request, QByteArray(R"({"step":"x"})"));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(finished.wait(5000));
    reply->deleteLater();

    const QList<TRecordedRequest> recorded = server.requests("/post");
    QCOMPARE(recorded.size(), 1);
    QCOMPARE(recorded.first().method, QByteArray("POST"));
    QCOMPARE(recorded.first().target, QByteArray("/post?a=1&b=%20"));
    QCOMPARE(recorded.first().header("content-type"), QByteArray("application/json"));
    QCOMPARE(recorded.first().header("X-TEST"), QByteArray("value"));
    QCOMPARE(recorded.first().body, QByteArray(R"({"step":"x"})"));
    QCOMPARE(server.requests().size(), 1);
}

void TestLoopbackServer::keepsConnectionsAliveAndCountsConcurrency()
{
    TLoopbackServer server;
    server.setBody("/a", "a");
    server.setBody("/slow", "slow");
    server.setScript("/slow", { TResponse::delayed(300) });
    QNetworkAccessManager manager;
    for (int i = 0; i < 5; ++i)
        QCOMPARE(fetch(manager, server.url("/a")).body, QByteArray("a"));
    QCOMPARE(server.connectionCount(), 1);
    QCOMPARE(server.maxConcurrentRequests("/a"), 1);

    QList<QNetworkReply*> replies;
    for (int i = 0; i < 4; ++i)
        replies.append(manager.get(QNetworkRequest(server.url("/slow"))));
    QTRY_VERIFY_WITH_TIMEOUT(
        std::all_of(replies.begin(), replies.end(), [](QNetworkReply* r) { return r->isFinished(); }), 5000);
    for (QNetworkReply* reply : replies) {
        QCOMPARE(reply->readAll(), QByteArray("slow"));
        reply->deleteLater();
    }
    QCOMPARE(server.maxConcurrentRequests("/slow"), 4);
    QCOMPARE(server.maxConcurrentRequests(), 4);
    QCOMPARE(server.requestCount(), 9);
}

void TestLoopbackServer::servesTlsForLocalhostOnly()
{
    QVERIFY2(TTestCertificate::trustLocalhost(), qPrintable(TTestCertificate::localhost().errorString));
    TLoopbackServer server(TLoopbackServer::EMode::Tls);
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    server.setBody("/secure", "secure");
    QCOMPARE(server.url("/secure").host(), QString("localhost"));
    QNetworkAccessManager manager;
    const TFetched fetched = fetch(manager, server.url("/secure"));
    QCOMPARE(fetched.error, QNetworkReply::NoError);
    QCOMPARE(fetched.body, QByteArray("secure"));

    // The certificate names no address, so the same server reached as 127.0.0.1 is refused.
    server.setUrlHost("127.0.0.1");
    QCOMPARE(fetch(manager, server.url("/secure")).error, QNetworkReply::SslHandshakeFailedError);
    QCOMPARE(server.requestCount("/secure"), 1);
}

QTEST_GUILESS_MAIN(TestLoopbackServer)
#include "tst_loopbackserver.moc"
