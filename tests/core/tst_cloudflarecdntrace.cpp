#include "core/cloudflarecdntrace.h"
#include "shared/downloadpool.h"
#include "shared/networkaccessmanagerwrapper.h"
#include "support/loopbackserver.h"

#include <QNetworkAccessManager>
#include <QtTest>

using korvane::launcher::TCdnTraceDetails;
using korvane::launcher::TCloudflareCdnTrace;

namespace {

// Records the requests instead of sending them; results are emitted by the test.
class TRecordingPool : public shared::TDownloadPool
{
public:
    TRecordingPool()
        : shared::TDownloadPool(6, nullptr, true)
    { }
    void Download(const QUrl& Url, int Retries, shared::TMilliseconds Timeout) override
    {
        requests.append(Url);
        lastRetries = Retries;
        lastTimeout = Timeout;
        if (!Url.isValid() || Url.isRelative())
            emit failed(Url, QNetworkReply::ProtocolInvalidOperationError, QStringLiteral("Invalid URL"));
    }
    QList<QUrl> requests;
    int lastRetries = -1;
    shared::TMilliseconds lastTimeout = -1;
};

const QUrl traceUrl(QStringLiteral("http://127.0.0.1:9/cdn-cgi/trace"));

} // namespace

class TestCloudflareCdnTrace : public QObject
{
    Q_OBJECT
private slots:
    void parsesTrace_data();
    void parsesTrace();
    void invalidUrlFailsBeforeReturning_data();
    void invalidUrlFailsBeforeReturning();
    void receivedTraceIsKeptAndAskedOnce();
    void failureIsFinal();
    void ignoresOtherUrls();
    void fetchesThroughTheApplicationPool_data();
    void fetchesThroughTheApplicationPool();
};

void TestCloudflareCdnTrace::parsesTrace_data()
{
    QTest::addColumn<QByteArray>("reply");
    QTest::addColumn<QStringList>("expected"); // fl, ts, colo, ip

    QTest::newRow("typical") << QByteArray(
        "fl=29f12\nh=example\nip=203.0.113.7\nts=1765360000.123\nvisit_scheme=https\n"
        "colo=FRA\nhttp=http/2\n")
                             << QStringList { "29f12", "1765360000.123", "FRA", "203.0.113.7" };
    QTest::newRow("upper-case keys") << QByteArray("FL=a\nTS=b\nCOLO=c\nIp=d\n") << QStringList { "a", "b", "c", "d" };
    QTest::newRow("crlf and blanks") << QByteArray("fl= a \r\nts=b\r\n\r\ncolo=\tc\r\nip=d\r\n")
                                     << QStringList { "a", "b", "c", "d" };
    QTest::newRow("key with leading space") << QByteArray(" fl=a\nts =b\ncolo=c\n") << QStringList { "", "", "c", "" };
    QTest::newRow("two equals or empty value")
        << QByteArray("fl=a=b\nts=\n=c\nip=d\n") << QStringList { "", "", "", "d" };
    QTest::newRow("later line wins") << QByteArray("colo=AMS\ncolo=FRA\n") << QStringList { "", "", "FRA", "" };
    QTest::newRow("no known keys") << QByteArray("uag=x\nloc=DE\nno equals sign\n") << QStringList { "", "", "", "" };
    QTest::newRow("empty") << QByteArray() << QStringList { "", "", "", "" };
    QTest::newRow("utf-8 value") << QByteArray("colo=M\xc3\xbcnchen") << QStringList { "", "", "M\u00fcnchen", "" };
}

void TestCloudflareCdnTrace::parsesTrace()
{
    QFETCH(QByteArray, reply);
    QFETCH(QStringList, expected);
    const TCdnTraceDetails details = TCloudflareCdnTrace::parseTrace(reply);
    QCOMPARE(QStringList({ details.fl, details.ts, details.colo, details.ip }), expected);
}

void TestCloudflareCdnTrace::invalidUrlFailsBeforeReturning_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::newRow("empty") << QUrl();
    QTest::newRow("relative") << QUrl(QStringLiteral("cdn-cgi/trace"));
}

void TestCloudflareCdnTrace::invalidUrlFailsBeforeReturning()
{
    QFETCH(QUrl, url);
    auto pool = std::make_shared<TRecordingPool>();
    TCloudflareCdnTrace trace(url, pool, 5, 750);
    QSignalSpy spy(&trace, &TCloudflareCdnTrace::diagnosticsTraceReceived);
    trace.requestTrace();
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toBool(), true);
    QVERIFY(trace.traceFailed);
    QVERIFY(!trace.traceRequested);
    QVERIFY(!trace.traceReceived);

    trace.requestTrace();
    QCOMPARE(spy.size(), 1);
}

void TestCloudflareCdnTrace::receivedTraceIsKeptAndAskedOnce()
{
    auto pool = std::make_shared<TRecordingPool>();
    TCloudflareCdnTrace trace(traceUrl, pool, 3, 1234);
    QSignalSpy spy(&trace, &TCloudflareCdnTrace::diagnosticsTraceReceived);

    trace.requestTrace();
    QVERIFY(trace.traceRequested);
    trace.requestTrace();
    QCOMPARE(pool->requests, QList<QUrl> { traceUrl });
    QCOMPARE(pool->lastRetries, 3);
    QCOMPARE(pool->lastTimeout, shared::TMilliseconds(1234));
    QCOMPARE(spy.size(), 0);

    emit pool->success(traceUrl, "fl=1\nts=2\ncolo=3\nip=4\n");
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toBool(), false);
    QVERIFY(trace.traceReceived && !trace.traceFailed && !trace.traceRequested);
    QCOMPARE(QStringList({ trace.fl, trace.ts, trace.colo, trace.ip }), QStringList({ "1", "2", "3", "4" }));

    trace.requestTrace();
    QCOMPARE(pool->requests.size(), 1);
}

void TestCloudflareCdnTrace::failureIsFinal()
{
    auto pool = std::make_shared<TRecordingPool>();
    TCloudflareCdnTrace trace(traceUrl, pool, 5, 750);
    QSignalSpy spy(&trace, &TCloudflareCdnTrace::diagnosticsTraceReceived);
    trace.requestTrace();
    emit pool->failed(traceUrl, QNetworkReply::HostNotFoundError, QStringLiteral("no host"));
    QCOMPARE(spy.size(), 1);
    QCOMPARE(spy.at(0).at(0).toBool(), true);
    QVERIFY(trace.traceFailed && !trace.traceReceived && !trace.traceRequested);
    trace.requestTrace();
    QCOMPARE(pool->requests.size(), 1);
    QCOMPARE(spy.size(), 1);
}

void TestCloudflareCdnTrace::ignoresOtherUrls()
{
    auto pool = std::make_shared<TRecordingPool>();
    TCloudflareCdnTrace trace(traceUrl, pool, 5, 750);
    QSignalSpy spy(&trace, &TCloudflareCdnTrace::diagnosticsTraceReceived);
    trace.requestTrace();
    const QUrl other(QStringLiteral("http://127.0.0.1:9/hints.json"));
    emit pool->success(other, "fl=x\n");
    emit pool->failed(other, QNetworkReply::ContentNotFoundError, QStringLiteral("404"));
    QCOMPARE(spy.size(), 0);
    QVERIFY(trace.traceRequested);
    QVERIFY(trace.fl.isEmpty());
}

void TestCloudflareCdnTrace::fetchesThroughTheApplicationPool_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("failed");
    QTest::newRow("200") << 200 << false;
    QTest::newRow("404") << 404 << true;
}

void TestCloudflareCdnTrace::fetchesThroughTheApplicationPool()
{
    QFETCH(int, status);
    QFETCH(bool, failed);
    korvane::test::TLoopbackServer server;
    QVERIFY(server.isListening());
    korvane::test::TResponse response = korvane::test::TResponse::withStatus(status);
    response.body = QByteArray("fl=482f1\r\nh=cdn.example\r\nip=127.0.0.1\r\nts=1765360000.5\r\ncolo=FRA\r\n");
    server.setScript(QStringLiteral("/cdn-cgi/trace"), { response });
    auto pool = std::make_shared<shared::TDownloadPool>(
        6, std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>()), true);
    TCloudflareCdnTrace trace(server.url(QStringLiteral("/cdn-cgi/trace")), pool, 0, 5000);
    QSignalSpy spy(&trace, &TCloudflareCdnTrace::diagnosticsTraceReceived);
    trace.requestTrace();
    trace.requestTrace();
    QVERIFY(spy.wait(10000));
    QCOMPARE(spy.at(0).at(0).toBool(), failed);
    QCOMPARE(trace.traceFailed, failed);
    QCOMPARE(trace.traceReceived, !failed);
    QCOMPARE(server.requestCount(QStringLiteral("/cdn-cgi/trace")), 1);
    if (!failed)
        QCOMPARE(QStringList({ trace.fl, trace.ts, trace.colo, trace.ip }),
            QStringList({ "482f1", "1765360000.5", "FRA", "127.0.0.1" }));
}

QTEST_GUILESS_MAIN(TestCloudflareCdnTrace)
#include "tst_cloudflarecdntrace.moc"
