#include "shared/httpclient.h"

#include "support/loopbackserver.h"
#include "support/testcertificate.h"

#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>

#include <memory>

#include <sys/resource.h>
#include <unistd.h>

using namespace korvane::test;
using shared::THttpClient;
using shared::THttpReply;

Q_DECLARE_METATYPE(korvane::test::TScript)

namespace {

QByteArray bytes(qsizetype Size)
{
    QByteArray data(Size, Qt::Uninitialized);
    for (qsizetype i = 0; i < Size; ++i)
        data[i] = char((i * 7 + i / 251) & 0xff);
    return data;
}

// Answers the requests with its raw answers in turn, byte for byte, and closes the connection without a
// word after the last one. With OnePerConnection it answers the first request of every connection with
// the first answer and closes when a second request arrives on it, as a server does that has given up a
// kept connection.
class TRawServer : public QObject
{
public:
    enum class EMode { InTurn, OnePerConnection };

    explicit TRawServer(QList<QByteArray> Answers, EMode Mode = EMode::InTurn)
        : answers(std::move(Answers))
    {
        server.listen(QHostAddress::LocalHost);
        QObject::connect(&server, &QTcpServer::newConnection, this, [this, Mode] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                ++connections;
                auto received = std::make_shared<QByteArray>();
                auto answered = std::make_shared<int>(0);
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [=, this] {
                    *received += socket->readAll();
                    while (received->contains("\r\n\r\n")) {
                        received->remove(0, received->indexOf("\r\n\r\n") + 4);
                        ++requests;
                        if (Mode == EMode::OnePerConnection && (*answered)++ > 0) {
                            socket->disconnectFromHost();
                            return;
                        }
                        const qsizetype index = Mode == EMode::InTurn ? next++ : 0;
                        socket->write(answers.at(std::min(index, answers.size() - 1)));
                        if (Mode == EMode::InTurn && next >= answers.size()) {
                            socket->disconnectFromHost();
                            return;
                        }
                    }
                });
                QObject::connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
            }
        });
    }
    QUrl url() const { return QUrl(QStringLiteral("http://127.0.0.1:%1/x").arg(server.serverPort())); }

    int connections = 0;
    int requests = 0;

private:
    QTcpServer server;
    QList<QByteArray> answers;
    qsizetype next = 0;
};

const QByteArray content = bytes(3 * 1024 * 1024 + 17);

struct TResult
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorText;
    int status = 0;
    QUrl redirect;
    QByteArray body;
    bool finished = false;
};

// Fetches every URL at once and waits for all of them.
QList<TResult> fetch(THttpClient& Client, const QList<QUrl>& Urls, int TimeoutMs = 5000, int TransferTimeoutMs = 0)
{
    QList<TResult> results(Urls.size());
    int left = int(Urls.size());
    for (qsizetype i = 0; i < Urls.size(); ++i) {
        QNetworkRequest request(Urls.at(i));
        request.setTransferTimeout(TransferTimeoutMs);
        THttpReply* reply = Client.get(request);
        QObject::connect(reply, &QNetworkReply::finished, reply, [reply, &results, &left, i] {
            TResult& result = results[i];
            result.finished = true;
            result.error = reply->error();
            result.errorText = reply->errorString();
            result.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
            result.redirect = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
            result.body = reply->takeBody();
            --left;
            reply->deleteLater();
        });
    }
    // A request still running at the end shows in its result's flag.
    (void)QTest::qWaitFor([&] { return left == 0; }, TimeoutMs);
    return results;
}

TResult fetchOne(THttpClient& Client, const QUrl& Url, int TransferTimeoutMs = 0)
{
    return fetch(Client, { Url }, 5000, TransferTimeoutMs).first();
}

} // namespace

class TestHttpClient : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(TTestCertificate::trustLocalhost()); }
    void answersLikeTheFrameworksReplies_data();
    void answersLikeTheFrameworksReplies();
    void readsEveryFraming_data();
    void readsEveryFraming();
    void closedKeptConnectionIsReplacedOnce();
    void abortEndsAtOnceAndDropsTheConnection();
    void nothingListening();
    void withoutDescriptorsEveryRequestFails();
    void manyAtOnceKeepTheirConnections();
    void httpsGoesThroughTheLanes();
    void httpsAbortedOrDroppedReachesNobody();
};

void TestHttpClient::answersLikeTheFrameworksReplies_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<TScript>("script");
    QTest::addColumn<int>("transferTimeout");
    QTest::addColumn<int>("error");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");

    TResponse empty;
    empty.body = QByteArray();
    TResponse stalled;
    stalled.stallAfterBytes = 1000;
    stalled.stallMs = 1500;
    const int none = int(QNetworkReply::NoError);
    // Every case over plain http (the client's own) and over https (a lane's framework manager).
    for (const bool tls : { false, true }) {
        const auto row = [tls](const char* name) -> QTestData& {
            return QTest::newRow(qPrintable(QString::fromLatin1(name) + (tls ? ", https" : ""))) << tls;
        };
        row("big body") << TScript {} << 0 << none << 200 << content;
        row("empty body") << TScript { empty } << 0 << none << 200 << QByteArray();
        row("cut short, announced as such")
            << TScript { TResponse::truncated(10) } << 0 << none << 200 << content.left(10);
        row("redirect") << TScript { TResponse::redirect("/target") } << 0 << none << 302 << QByteArray();
        row("404") << TScript { TResponse::withStatus(404) } << 0 << int(QNetworkReply::ContentNotFoundError) << 404
                   << QByteArray();
        row("403") << TScript { TResponse::withStatus(403) } << 0 << int(QNetworkReply::ContentAccessDenied) << 403
                   << QByteArray();
        row("500") << TScript { TResponse::withStatus(500) } << 0 << int(QNetworkReply::InternalServerError) << 500
                   << QByteArray();
        row("dropped inside the body") << TScript { TResponse::dropped(100) } << 0
                                       << int(QNetworkReply::RemoteHostClosedError) << 200 << QByteArray();
        row("no headers in time") << TScript { TResponse::delayed(1500) } << 200
                                  << int(QNetworkReply::OperationCanceledError) << 0 << QByteArray();
        row("body stalls") << TScript { stalled } << 200 << int(QNetworkReply::OperationCanceledError) << 200
                           << QByteArray();
        row("slow but steady") << TScript { TResponse::delayed(100) } << 1000 << none << 200 << content;
    }
}

void TestHttpClient::answersLikeTheFrameworksReplies()
{
    QFETCH(bool, tls);
    QFETCH(TScript, script);
    QFETCH(int, transferTimeout);
    QFETCH(int, error);
    QFETCH(int, status);
    QFETCH(QByteArray, body);

    TLoopbackServer server(tls ? TLoopbackServer::EMode::Tls : TLoopbackServer::EMode::Plain);
    server.setBody("/x", content);
    server.setBody("/target", "target");
    server.setScript("/x", script);
    THttpClient client(nullptr, tls ? 2 : 0, QNetworkRequest::ManualRedirectPolicy);
    QCOMPARE(client.accepts(QNetworkRequest(server.url("/x"))), true);
    const TResult result = fetchOne(client, server.url("/x"), transferTimeout);
    QVERIFY(result.finished);
    QCOMPARE(int(result.error), error);
    QCOMPARE(result.status, status);
    if (status == 200 && error == int(QNetworkReply::NoError))
        QVERIFY(result.body == body);
    if (status == 302)
        QCOMPARE(result.redirect, QUrl("/target"));
    if (status >= 400)
        QVERIFY2(result.errorText.contains("server replied"), qPrintable(result.errorText));
    // The client's verdict holds: the same address answers the next request normally.
    server.clearScripts();
    const TResult next = fetchOne(client, server.url("/x"));
    QCOMPARE(next.error, QNetworkReply::NoError);
    QVERIFY(next.body == content);
}

void TestHttpClient::readsEveryFraming_data()
{
    QTest::addColumn<QList<QByteArray>>("answers");
    QTest::addColumn<int>("error");
    QTest::addColumn<QByteArray>("body");

    const int none = int(QNetworkReply::NoError);
    const int protocol = int(QNetworkReply::ProtocolFailure);
    QTest::newRow("chunked, extension and trailer")
        << QList<QByteArray> { "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n"
                               "5;name=value\r\nhello\r\n1\r\n \r\n5\r\nworld\r\n0\r\nX-Sum: 1\r\n\r\n" }
        << none << QByteArray("hello world");
    QTest::newRow("until the connection closes")
        << QList<QByteArray> { "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nto the end" } << none
        << QByteArray("to the end");
    QTest::newRow("HTTP/1.0 with a length")
        << QList<QByteArray> { "HTTP/1.0 200 OK\r\nContent-Length: 4\r\n\r\nold!" } << none << QByteArray("old!");
    QTest::newRow("interim answer first")
        << QList<QByteArray> { "HTTP/1.1 100 Continue\r\n\r\nHTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" } << none
        << QByteArray("ok");
    QTest::newRow("no status line") << QList<QByteArray> { "hello\r\n\r\n" } << protocol << QByteArray();
    QTest::newRow("bad chunk size") << QList<QByteArray> {
        "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nab\r\n0\r\n\r\n"
    } << protocol << QByteArray();
    QTest::newRow("bad length") << QList<QByteArray> { "HTTP/1.1 200 OK\r\nContent-Length: -3\r\n\r\n" } << protocol
                                << QByteArray();
    QTest::newRow("endless head") << QList<QByteArray> { "HTTP/1.1 200 OK\r\nX: " + QByteArray(100000, 'a') }
                                  << protocol << QByteArray();
    QTest::newRow("closed inside a chunk")
        << QList<QByteArray> { "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n10\r\nabc" }
        << int(QNetworkReply::RemoteHostClosedError) << QByteArray();
}

void TestHttpClient::readsEveryFraming()
{
    QFETCH(QList<QByteArray>, answers);
    QFETCH(int, error);
    QFETCH(QByteArray, body);

    TRawServer server(answers);
    THttpClient client;
    const TResult result = fetchOne(client, server.url());
    QVERIFY(result.finished);
    QVERIFY2(int(result.error) == error, qPrintable(result.errorText));
    QCOMPARE(result.body, body);
}

void TestHttpClient::closedKeptConnectionIsReplacedOnce()
{
    // Every second request on a connection finds it closed unanswered and goes out once more on a new one.
    TRawServer server({ "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok" }, TRawServer::EMode::OnePerConnection);
    THttpClient client;
    for (int i = 0; i < 3; ++i) {
        const TResult result = fetchOne(client, server.url());
        QCOMPARE(result.error, QNetworkReply::NoError);
        QCOMPARE(result.body, QByteArray("ok"));
    }
    QCOMPARE(server.connections, 3);
    QCOMPARE(server.requests, 5);

    // A server that closes before answering on a fresh connection is an error, not a loop.
    TRawServer mute({ QByteArray() });
    const TResult result = fetchOne(client, mute.url());
    QCOMPARE(result.error, QNetworkReply::RemoteHostClosedError);
    QCOMPARE(mute.connections, 1);
}

void TestHttpClient::abortEndsAtOnceAndDropsTheConnection()
{
    TLoopbackServer server;
    server.setBody("/x", content);
    server.setScript("/x", firstRequests(1, TResponse::delayed(500)));
    THttpClient client;
    THttpReply* reply = client.get(QNetworkRequest(server.url("/x")));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(server.waitForRequests(1));
    reply->abort();
    QCOMPARE(finished.size(), 1);
    QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
    delete reply;

    // The aborted answer's connection is not taken for the next request.
    const TResult next = fetchOne(client, server.url("/x"));
    QCOMPARE(next.error, QNetworkReply::NoError);
    QVERIFY(next.body == content);
    QCOMPARE(server.requestCount(), 2);
    QCOMPARE(server.connectionCount(), 2);

    // Deleted at once, whether it went out or not: nothing reaches it, and the client goes on.
    delete client.get(QNetworkRequest(server.url("/x")));
    QTest::qWait(100);
    const TResult after = fetchOne(client, server.url("/x"));
    QCOMPARE(after.error, QNetworkReply::NoError);
    QVERIFY(after.body == content);
}

void TestHttpClient::nothingListening()
{
    THttpClient client;
    const TResult result = fetchOne(client, closedAddress("/x"));
    QCOMPARE(result.error, QNetworkReply::ConnectionRefusedError);
}

void TestHttpClient::manyAtOnceKeepTheirConnections()
{
    TLoopbackServer server;
    QList<QUrl> urls;
    QList<QByteArray> bodies;
    for (int i = 0; i < 10; ++i) {
        bodies.append(bytes(600 * 1024 + i));
        server.setBody(QStringLiteral("/c%1").arg(i), bodies.last());
        urls.append(server.url(QStringLiteral("/c%1").arg(i)));
    }
    THttpClient client;
    for (int round = 0; round < 3; ++round) {
        const QList<TResult> results = fetch(client, urls);
        for (int i = 0; i < 10; ++i) {
            QVERIFY2(results.at(i).finished,
                qPrintable(
                    QStringLiteral("round %1 index %2 requests %3").arg(round).arg(i).arg(server.requestCount())));
            QCOMPARE(results.at(i).error, QNetworkReply::NoError);
            QVERIFY(results.at(i).body == bodies.at(i));
        }
    }
    // One connection per request running at once, each kept for the next round.
    QCOMPARE(server.requestCount(), 30);
    QCOMPARE(server.connectionCount(), 10);
}

void TestHttpClient::withoutDescriptorsEveryRequestFails()
{
    TLoopbackServer server;
    server.setBody("/x", "x");
    // The lowest free descriptor is the first one past the limit.
    const int next = ::dup(0);
    ::close(next);
    rlimit old {};
    QCOMPARE(getrlimit(RLIMIT_NOFILE, &old), 0);
    rlimit tight = old;
    tight.rlim_cur = rlim_t(next);
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &tight), 0);
    auto client = std::make_unique<THttpClient>();
    QCOMPARE(setrlimit(RLIMIT_NOFILE, &old), 0);

    const TResult result = fetchOne(*client, server.url("/x"));
    QVERIFY(result.finished);
    QCOMPARE(result.error, QNetworkReply::UnknownNetworkError);
    QVERIFY2(result.errorText.contains("cannot be watched: Too many open files"), qPrintable(result.errorText));
    QCOMPARE(server.requestCount(), 0);
}

void TestHttpClient::httpsGoesThroughTheLanes()
{
    // Many at once over two lanes, each body whole and in its place; without lanes https is not taken.
    TLoopbackServer server(TLoopbackServer::EMode::Tls);
    QList<QUrl> urls;
    for (int i = 0; i < 40; ++i) {
        server.setBody(QStringLiteral("/c/%1").arg(i), bytes(1000 + i * 997));
        urls.append(server.url(QStringLiteral("/c/%1").arg(i)));
    }
    QVERIFY(!THttpClient().accepts(QNetworkRequest(urls.front())));
    THttpClient client(nullptr, 2);
    const QList<TResult> results = fetch(client, urls, 20000);
    for (int i = 0; i < 40; ++i) {
        QVERIFY2(results[i].finished && results[i].error == QNetworkReply::NoError, qPrintable(QString::number(i)));
        QVERIFY(results[i].body == bytes(1000 + i * 997));
    }
    QCOMPARE(server.requestCount(), 40);

    // A redirect the lane follows: the body is the target's alone, not the redirect's text before it.
    server.setBody("/moved", "not this");
    server.setScript("/moved", { TResponse::redirect("/c/3") });
    const TResult followed = fetchOne(client, server.url("/moved"));
    QCOMPARE(followed.error, QNetworkReply::NoError);
    QCOMPARE(followed.status, 200);
    QVERIFY(followed.body == bytes(1000 + 3 * 997));
}

void TestHttpClient::httpsAbortedOrDroppedReachesNobody()
{
    TLoopbackServer server(TLoopbackServer::EMode::Tls);
    server.setBody("/x", content);
    server.setScript("/x", firstRequests(3, TResponse::delayed(500)));
    auto client = std::make_unique<THttpClient>(nullptr, 1);
    THttpReply* reply = client->get(QNetworkRequest(server.url("/x")));
    QSignalSpy finished(reply, &QNetworkReply::finished);
    QVERIFY(server.waitForRequests(1));
    reply->abort();
    QCOMPARE(finished.size(), 1);
    QCOMPARE(reply->error(), QNetworkReply::OperationCanceledError);
    QTest::qWait(700);
    QCOMPARE(finished.size(), 1);
    delete reply;

    // Deleted while its request runs, and the client destroyed with one still running.
    delete client->get(QNetworkRequest(server.url("/x")));
    THttpReply* left = client->get(QNetworkRequest(server.url("/x")));
    QSignalSpy leftFinished(left, &QNetworkReply::finished);
    QVERIFY(server.waitForRequests(2));
    client.reset();
    QTest::qWait(700);
    QCOMPARE(leftFinished.size(), 0);

    // A new client goes on normally.
    THttpClient next(nullptr, 1);
    const TResult after = fetchOne(next, server.url("/x"));
    QCOMPARE(after.error, QNetworkReply::NoError);
    QVERIFY(after.body == content);
}

QTEST_GUILESS_MAIN(TestHttpClient)
#include "tst_httpclient.moc"
