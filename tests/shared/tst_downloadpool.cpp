#include "shared/downloadpool.h"
#include "shared/launcherutils.h"
#include "shared/networkaccessmanagerwrapper.h"

#include "support/loopbackserver.h"
#include "support/messagecapture.h"
#include "support/testcertificate.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QTest>

using namespace korvane::test;
using shared::TDownloadPool;
using shared::TLauncherUtils;

Q_DECLARE_METATYPE(korvane::test::TScript)

using korvane::test::TMessages;

namespace {

// A pool over its own manager, with every signal it emits recorded. In the "own client" round of the
// test, plain-http requests go through the wrapper's own HTTP client, as an installation's chunks do.
struct TPoolFixture
{
    std::shared_ptr<QNetworkAccessManager> manager = std::make_shared<QNetworkAccessManager>();
    std::shared_ptr<TDownloadPool> pool;
    QList<QPair<QUrl, QByteArray>> successes;
    QList<QPair<QUrl, QNetworkReply::NetworkError>> failures;
    QList<QUrl> progressUrls;
    QList<QUrl> finishOrder;

    TPoolFixture(int Limit, bool RemoveOnFinish, int Managers = 1)
    {
        QFETCH_GLOBAL(bool, ownClient);
        auto wrapper = std::make_shared<shared::QNetworkAccessManagerWrapper>(manager, Managers);
        if (ownClient)
            wrapper->sendThroughOwnClient();
        managers = wrapper;
        pool = std::make_shared<TDownloadPool>(Limit, wrapper, RemoveOnFinish);
        QObject::connect(
            pool.get(), &TDownloadPool::success, pool.get(), [this](const QUrl& Url, const QByteArray& Data) {
                successes.append({ Url, Data });
                finishOrder.append(Url);
            });
        QObject::connect(pool.get(), &TDownloadPool::failed, pool.get(),
            [this](const QUrl& Url, QNetworkReply::NetworkError Code, const QString&) {
                failures.append({ Url, Code });
                finishOrder.append(Url);
            });
        QObject::connect(pool.get(), &TDownloadPool::progress, pool.get(),
            [this](const QUrl& Url, qint64) { progressUrls.append(Url); });
    }
    qsizetype finished() const { return successes.size() + failures.size(); }
    // Replies not yet released, of the manager or of the own client.
    qsizetype liveReplies() const
    {
        const auto wrapper = managers.lock();
        return manager->findChildren<QNetworkReply*>().size()
            + (wrapper ? wrapper->findChildren<QNetworkReply*>().size() : 0);
    }
    std::weak_ptr<shared::QNetworkAccessManagerWrapper> managers;
};

void settle(int Ms)
{
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < Ms)
        QTest::qWait(10);
}

const QByteArray body = QByteArray("chunk-data-").repeated(100);

} // namespace

class TestDownloadPool : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase_data();
    void cleanup();

    void setsTheRedirectPolicy();
    void rejectsInvalidUrls_data();
    void rejectsInvalidUrls();
    void movesARepeatedQueuedUrlToTheBack();
    void ignoresActiveUrls();
    void listenerMayRequestTheSameUrlAgain();
    void limitsConcurrentDownloads();
    void limitAndRetriesHoldAcrossManagers_data();
    void limitAndRetriesHoldAcrossManagers();
    void finishedUrlHoldsItsPlaceUntilRemoved();
    void retries_data();
    void retries();
    void retryKeepsTheTimeOut();
    void removeDuringRetryPauseCancelsTheRetry();
    void staleRetryTimerStartsNothing_data();
    void staleRetryTimerStartsNothing();
    void fileUrlsAreNotRetried();
    void staleFinishIsSilent_data();
    void staleFinishIsSilent();
    void removeAbortsARunningAttempt();
    void destroyingThePoolAbortsItsReplies();
    void listenerMayDestroyThePool();
    void pinnedRequestKeepsHostNameAndCallersUrl();
    void pinnedRequestFollowsRedirects_data();
    void pinnedRequestFollowsRedirects();
    void pinnedRequestRedirectedToAnotherHostAsksItByItsName();
};

void TestDownloadPool::initTestCase_data()
{
    QTest::addColumn<bool>("ownClient");
    QTest::newRow("framework") << false;
    QTest::newRow("own client") << true;
}

void TestDownloadPool::cleanup()
{
    TLauncherUtils::ipV4Mode = false;
    TLauncherUtils::resetTestSeams();
}

void TestDownloadPool::setsTheRedirectPolicy()
{
    TPoolFixture fixture(6, true);
    QCOMPARE(fixture.manager->redirectPolicy(), QNetworkRequest::NoLessSafeRedirectPolicy);
    QCOMPARE(fixture.pool->GetMaxConcurrentDownloads(), 6);
}

void TestDownloadPool::rejectsInvalidUrls_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::newRow("relative") << QUrl("chunks/ab");
    QTest::newRow("empty") << QUrl();
    QTest::newRow("no scheme") << QUrl("//host.test/a");
    QTest::newRow("bad port") << QUrl("http://host.test:99999/a");
}

void TestDownloadPool::rejectsInvalidUrls()
{
    QFETCH(QUrl, url);
    TPoolFixture fixture(2, true);
    QString errorString;
    QObject::connect(fixture.pool.get(), &TDownloadPool::failed,
        [&](const QUrl&, QNetworkReply::NetworkError, const QString& Text) { errorString = Text; });
    fixture.pool->Download(url, 3, 1000);
    QCOMPARE(fixture.failures.size(), 1);
    QCOMPARE(fixture.failures.first().first, url);
    QCOMPARE(fixture.failures.first().second, QNetworkReply::ProtocolInvalidOperationError);
    QCOMPARE(errorString, QString("Invalid URL"));
    QCOMPARE(fixture.pool->GetPendingDownloadCount(), 0);
}

void TestDownloadPool::movesARepeatedQueuedUrlToTheBack()
{
    TLoopbackServer server;
    server.setBody("/a", "a");
    server.setBody("/b", "b");
    server.setScript("/a", { TResponse::delayed(400) });
    TPoolFixture fixture(0, true);
    fixture.pool->Download(server.url("/a"), 0, 100);
    fixture.pool->Download(server.url("/b"), 0, 5000);
    fixture.pool->Download(server.url("/a"), 0, 5000);
    QCOMPARE(fixture.pool->GetPendingDownloadCount(), 2);
    QCOMPARE(fixture.pool->GetActiveDownloadCount(), 0);

    fixture.pool->SetMaxConcurrentDownloads(1);
    QTRY_COMPARE_WITH_TIMEOUT(fixture.finished(), 2, 5000);
    // b first; a with the second call's time-out, which outlasts the delay.
    QCOMPARE(fixture.finishOrder, (QList<QUrl> { server.url("/b"), server.url("/a") }));
    QCOMPARE(fixture.failures.size(), 0);
    QCOMPARE(server.requestCount("/a"), 1);
}

void TestDownloadPool::ignoresActiveUrls()
{
    TLoopbackServer server;
    server.setBody("/a", body);
    server.setScript("/a", { TResponse::delayed(200) });
    server.setBody("/retried", body);
    server.setScript("/retried", firstRequests(1, TResponse::withStatus(500)));

    // Running.
    TPoolFixture removing(4, true);
    removing.pool->Download(server.url("/a"), 0, 5000);
    removing.pool->Download(server.url("/a"), 0, 5000);
    // In a retry pause.
    removing.pool->Download(server.url("/retried"), 1, 5000);
    QVERIFY(server.waitForRequests(2));
    settle(100);
    removing.pool->Download(server.url("/retried"), 1, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(removing.finished(), 2, 5000);
    settle(300);
    QCOMPARE(removing.successes.size(), 2);
    QCOMPARE(server.requestCount("/a"), 1);
    QCOMPARE(server.requestCount("/retried"), 2);

    // Finished but not removed.
    server.resetCounters();
    TPoolFixture keeping(4, false);
    keeping.pool->Download(server.url("/a"), 0, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(keeping.successes.size(), 1, 5000);
    keeping.pool->Download(server.url("/a"), 0, 5000);
    settle(300);
    QCOMPARE(server.requestCount("/a"), 1);
    QCOMPARE(keeping.pool->GetActiveDownloadCount(), 1);
    keeping.pool->Remove(server.url("/a"));
    keeping.pool->Download(server.url("/a"), 0, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(keeping.successes.size(), 2, 5000);
    QCOMPARE(server.requestCount("/a"), 2);
}

void TestDownloadPool::listenerMayRequestTheSameUrlAgain()
{
    TLoopbackServer server;
    server.setBody("/a", "a");
    TPoolFixture fixture(1, true);
    const QUrl url = server.url("/a");
    QObject::connect(fixture.pool.get(), &TDownloadPool::success, [&](const QUrl& Url, const QByteArray&) {
        if (fixture.successes.size() == 1)
            fixture.pool->Download(Url, 0, 5000);
    });
    fixture.pool->Download(url, 0, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(fixture.successes.size(), 2, 5000);
    QCOMPARE(server.requestCount("/a"), 2);
}

void TestDownloadPool::limitsConcurrentDownloads()
{
    TLoopbackServer server;
    TPoolFixture fixture(2, true);
    for (int i = 0; i < 5; ++i) {
        const QString path = QString("/c%1").arg(i);
        server.setBody(path, body);
        server.setScript(path, { TResponse::delayed(150) });
        fixture.pool->Download(server.url(path), 0, 5000);
    }
    QCOMPARE(fixture.pool->GetActiveDownloadCount(), 2);
    QCOMPARE(fixture.pool->GetPendingDownloadCount(), 5);
    QTRY_COMPARE_WITH_TIMEOUT(fixture.successes.size(), 5, 10000);
    QCOMPARE(server.maxConcurrentRequests(), 2);
    QCOMPARE(fixture.pool->GetPendingDownloadCount(), 0);
    for (int i = 0; i < 5; ++i)
        QCOMPARE(server.requestCount(QString("/c%1").arg(i)), 1);
}

void TestDownloadPool::limitAndRetriesHoldAcrossManagers_data()
{
    QTest::addColumn<int>("limit");
    QTest::addColumn<int>("managers");
    QTest::addColumn<bool>("removeOnFinish");
    QTest::newRow("limit 4 over 3 managers") << 4 << 3 << true;
    QTest::newRow("limit 3 over 4 managers, held until removed") << 3 << 4 << false;
}

void TestDownloadPool::limitAndRetriesHoldAcrossManagers()
{
    QFETCH(int, limit);
    QFETCH(int, managers);
    QFETCH(bool, removeOnFinish);

    TLoopbackServer server;
    constexpr int count = 9;
    for (int i = 0; i < count; ++i) {
        const QString path = QString("/m%1").arg(i);
        server.setBody(path, body + path.toUtf8());
        server.setScript(path, { TResponse::delayed(100) });
    }
    // The first ones fill the limit; failed attempts come back to whichever manager is least busy then.
    server.setScript("/m7", firstRequests(2, TResponse::withStatus(500), TResponse::delayed(100)));
    server.setScript("/m8", firstRequests(1, TResponse::dropped(100), TResponse::delayed(100)));
    TPoolFixture fixture(limit, removeOnFinish, managers);
    if (!removeOnFinish) {
        QObject::connect(fixture.pool.get(), &TDownloadPool::success, fixture.pool.get(),
            [&fixture](const QUrl& Url, const QByteArray&) { fixture.pool->Remove(Url); });
    }
    for (int i = 0; i < count; ++i)
        fixture.pool->Download(server.url(QString("/m%1").arg(i)), 2, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(fixture.successes.size(), count, 15000);
    QCOMPARE(fixture.failures.size(), 0);
    QCOMPARE(server.maxConcurrentRequests(), limit);
    for (const auto& [url, data] : std::as_const(fixture.successes))
        QCOMPARE(data, body + url.path().toUtf8());
    QCOMPARE(server.requestCount("/m7"), 3);
    QCOMPARE(server.requestCount("/m8"), 2);
    QCOMPARE(server.requestCount(), count + 3);
    QCOMPARE(fixture.pool->GetPendingDownloadCount(), 0);
}

void TestDownloadPool::finishedUrlHoldsItsPlaceUntilRemoved()
{
    TLoopbackServer server;
    server.setBody("/a", "a");
    server.setBody("/b", "b");
    TPoolFixture fixture(1, false);
    fixture.pool->Download(server.url("/a"), 0, 5000);
    fixture.pool->Download(server.url("/b"), 0, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(fixture.successes.size(), 1, 5000);
    settle(300);
    QCOMPARE(server.requestCount("/b"), 0);
    QCOMPARE(fixture.pool->GetActiveDownloadCount(), 1);
    QCOMPARE(fixture.pool->GetPendingDownloadCount(), 2);

    fixture.pool->Remove(server.url("/a"));
    QTRY_COMPARE_WITH_TIMEOUT(fixture.successes.size(), 2, 5000);
    QCOMPARE(fixture.successes.last(), qMakePair(server.url("/b"), QByteArray("b")));
}

void TestDownloadPool::retries_data()
{
    QTest::addColumn<TScript>("script");
    QTest::addColumn<int>("retries");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<int>("expectedRequests");
    QTest::addColumn<int>("expectedCode");
    QTest::addColumn<int>("minimumMs");

    const TResponse serverError = TResponse::withStatus(500);
    QTest::newRow("4 failures, retries 5")
        << firstRequests(4, serverError) << 5 << 5000 << 5 << int(QNetworkReply::NoError) << 4 * 240;
    QTest::newRow("always fails, retries 5")
        << TScript { serverError } << 5 << 5000 << 6 << int(QNetworkReply::InternalServerError) << 5 * 240;
    QTest::newRow("always fails, retries 1")
        << TScript { serverError } << 1 << 5000 << 2 << int(QNetworkReply::InternalServerError) << 240;
    QTest::newRow("retries 0") << TScript { TResponse::withStatus(404) } << 0 << 5000 << 1
                               << int(QNetworkReply::ContentNotFoundError) << 0;
    QTest::newRow("dropped, then fine") << firstRequests(2, TResponse::dropped(100)) << 2 << 5000 << 3
                                        << int(QNetworkReply::NoError) << 2 * 240;
    QTest::newRow("time-out") << TScript { TResponse::delayed(3000) } << 1 << 200 << 2
                              << int(QNetworkReply::OperationCanceledError) << 240 + 2 * 190;
}

void TestDownloadPool::retries()
{
    QFETCH(TScript, script);
    QFETCH(int, retries);
    QFETCH(int, timeout);
    QFETCH(int, expectedRequests);
    QFETCH(int, expectedCode);
    QFETCH(int, minimumMs);

    TLoopbackServer server;
    server.setBody("/x", body);
    server.setScript("/x", script);
    TPoolFixture fixture(2, true);
    QElapsedTimer clock;
    clock.start();
    fixture.pool->Download(server.url("/x"), retries, timeout);
    QTRY_COMPARE_WITH_TIMEOUT(fixture.finished(), 1, 15000);
    const qint64 elapsed = clock.elapsed();
    settle(400);
    QCOMPARE(fixture.finished(), 1);
    QCOMPARE(server.requestCount("/x"), expectedRequests);
    if (expectedCode == QNetworkReply::NoError) {
        QCOMPARE(fixture.successes.first(), qMakePair(server.url("/x"), body));
    } else {
        QCOMPARE(fixture.failures.first(), qMakePair(server.url("/x"), QNetworkReply::NetworkError(expectedCode)));
    }
    QVERIFY2(elapsed >= minimumMs, qPrintable(QString::number(elapsed)));
    QCOMPARE(fixture.pool->GetPendingDownloadCount(), 0);
}

void TestDownloadPool::retryKeepsTheTimeOut()
{
    TLoopbackServer server;
    server.setBody("/slow", body);
    server.setScript("/slow", firstRequests(2, TResponse::delayed(2000)));
    TPoolFixture fixture(1, true);
    QElapsedTimer clock;
    clock.start();
    fixture.pool->Download(server.url("/slow"), 2, 300);
    QTRY_COMPARE_WITH_TIMEOUT(fixture.finished(), 1, 10000);
    // Each retry timed out after 300 ms like the first attempt, instead of waiting out the delay.
    QCOMPARE(server.requestCount("/slow"), 3);
    QCOMPARE(fixture.successes.size(), 1);
    QVERIFY(clock.elapsed() < 2000);
}

void TestDownloadPool::removeDuringRetryPauseCancelsTheRetry()
{
    TLoopbackServer server;
    server.setScript("/a", { TResponse::withStatus(500) });
    server.setBody("/b", "b");
    TMessages messages;
    TPoolFixture fixture(1, false);
    fixture.pool->Download(server.url("/a"), 3, 5000);
    fixture.pool->Download(server.url("/b"), 0, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(messages.matching("Retry download in").size(), 1, 5000);
    QCOMPARE(server.requestCount("/b"), 0);

    fixture.pool->Remove(server.url("/a"));
    QTRY_COMPARE_WITH_TIMEOUT(fixture.successes.size(), 1, 5000);
    QCOMPARE(fixture.successes.first().first, server.url("/b"));
    QTRY_COMPARE_WITH_TIMEOUT(messages.matching("skipped").size(), 1, 2000);
    QVERIFY(messages.matching("skipped").first().contains(server.url("/a").toString()));
    settle(400);
    QCOMPARE(server.requestCount("/a"), 1);
    QCOMPARE(fixture.failures.size(), 0);
}

void TestDownloadPool::staleRetryTimerStartsNothing_data()
{
    QTest::addColumn<bool>("removeOnFinish");
    QTest::newRow("remove on finish") << true;
    QTest::newRow("kept until removed") << false;
}

void TestDownloadPool::staleRetryTimerStartsNothing()
{
    QFETCH(bool, removeOnFinish);
    // Removed during its retry pause and requested again at once: the new attempt runs when the
    // old pause ends, and the old retry must not start a second one beside it.
    TLoopbackServer server;
    server.setBody("/a", body);
    server.setScript("/a", { TResponse::withStatus(500), TResponse::delayed(600) });
    TMessages messages;
    TPoolFixture fixture(2, removeOnFinish);
    const QUrl url = server.url("/a");
    fixture.pool->Download(url, 3, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(messages.matching("Retry download in").size(), 1, 5000);
    fixture.pool->Remove(url);
    fixture.pool->Download(url, 0, 5000);
    QVERIFY(server.waitForRequests(2));
    QTRY_COMPARE_WITH_TIMEOUT(fixture.finished(), 1, 5000);
    settle(400);
    QCOMPARE(server.requestCount("/a"), 2);
    QCOMPARE(fixture.successes.size(), 1);
    QCOMPARE(fixture.failures.size(), 0);
    QCOMPARE(messages.matching("skipped").size(), 1);
}

void TestDownloadPool::fileUrlsAreNotRetried()
{
    QTemporaryDir folder;
    QFile file(folder.filePath("marker.json"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("{}");
    file.close();

    TMessages messages;
    TPoolFixture fixture(2, true);
    const QUrl missing = QUrl::fromLocalFile(folder.filePath("missing.json"));
    fixture.pool->Download(missing, 5, 5000);
    fixture.pool->Download(QUrl::fromLocalFile(file.fileName()), 5, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(fixture.finished(), 2, 5000);
    settle(400);
    QCOMPARE(fixture.failures.size(), 1);
    QCOMPARE(fixture.failures.first().first, missing);
    QCOMPARE(fixture.successes.first().second, QByteArray("{}"));
    QCOMPARE(messages.matching("StartDownload").size(), 2);
}

void TestDownloadPool::staleFinishIsSilent_data()
{
    QTest::addColumn<bool>("removeOnFinish");
    QTest::addColumn<int>("oldDelay");
    QTest::addColumn<int>("newDelay");
    QTest::newRow("remove on finish, old attempt ends first") << true << 300 << 900;
    QTest::newRow("remove on finish, old attempt ends last") << true << 700 << 0;
    QTest::newRow("kept, old attempt ends first") << false << 300 << 900;
    QTest::newRow("kept, old attempt ends last") << false << 700 << 0;
}

void TestDownloadPool::staleFinishIsSilent()
{
    QFETCH(bool, removeOnFinish);
    QFETCH(int, oldDelay);
    QFETCH(int, newDelay);

    TLoopbackServer server;
    server.setBody("/a", body);
    TResponse old = TResponse::corrupted();
    old.delayBeforeHeadersMs = oldDelay;
    server.setScript("/a", { old, TResponse::delayed(newDelay) });
    TPoolFixture fixture(2, removeOnFinish);
    const QUrl url = server.url("/a");
    fixture.pool->Download(url, 0, 5000);
    QVERIFY(server.waitForRequests(1));
    fixture.pool->Remove(url);
    fixture.pool->Download(url, 0, 5000);
    QVERIFY(server.waitForRequests(2));
    QTRY_COMPARE_WITH_TIMEOUT(fixture.finished(), 1, 5000);
    settle(std::max(oldDelay, newDelay) + 200);
    QCOMPARE(fixture.finished(), 1);
    QCOMPARE(fixture.successes.size(), 1);
    QCOMPARE(fixture.successes.first(), qMakePair(url, body));
    QCOMPARE(fixture.pool->GetActiveDownloadCount(), removeOnFinish ? 0 : 1);
}

void TestDownloadPool::removeAbortsARunningAttempt()
{
    TLoopbackServer server;
    server.setBody("/stalled", body);
    TResponse stalled;
    stalled.stallAfterBytes = 10;
    stalled.stallMs = 20000;
    server.setScript("/stalled", { stalled });
    server.setBody("/next", body);
    TPoolFixture fixture(1, false);
    fixture.pool->Download(server.url("/stalled"), 3, 60000);
    fixture.pool->Download(server.url("/next"), 0, 60000);
    QVERIFY(server.waitForRequests(1));
    settle(100);

    // The removed attempt stops downloading, frees its place at once and reports nothing.
    fixture.pool->Remove(server.url("/stalled"));
    QTRY_COMPARE_WITH_TIMEOUT(fixture.successes.size(), 1, 5000);
    QCOMPARE(fixture.successes.first(), qMakePair(server.url("/next"), body));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(fixture.liveReplies() == 0);
    settle(400);
    QCOMPARE(fixture.finished(), 1);
    QCOMPARE(server.requestCount("/stalled"), 1);
}

void TestDownloadPool::destroyingThePoolAbortsItsReplies()
{
    TLoopbackServer server;
    server.setBody("/stalled", body);
    TResponse stalled;
    stalled.stallAfterBytes = 10;
    stalled.stallMs = 20000;
    server.setScript("/stalled", { stalled });
    server.setScript("/failing", { TResponse::withStatus(500) });
    TPoolFixture fixture(4, false);
    fixture.pool->Download(server.url("/stalled"), 0, 60000);
    fixture.pool->Download(server.url("/failing"), 5, 60000);
    QTRY_COMPARE_WITH_TIMEOUT(server.requestCount("/failing"), 1, 5000);
    QVERIFY(server.waitForRequests(2));
    settle(100);
    QCOMPARE(fixture.liveReplies(), 1);
    QCOMPARE(server.openConnectionCount(), 2);

    // A reply removed from the pool but still running is aborted too.
    fixture.pool->Remove(server.url("/stalled"));
    fixture.pool.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QVERIFY(fixture.liveReplies() == 0);
    // The stalled connection closes; the idle one of the failed attempt stays for reuse with the shared
    // manager, and ends with the own client, which belongs to the pool.
    QFETCH_GLOBAL(bool, ownClient);
    QTRY_COMPARE_WITH_TIMEOUT(server.openConnectionCount(), ownClient ? 0 : 1, 5000);
    // The pending retry ended with the pool.
    settle(500);
    QCOMPARE(server.requestCount("/failing"), 1);
    QCOMPARE(fixture.finished(), 0);
}

void TestDownloadPool::listenerMayDestroyThePool()
{
    TLoopbackServer server;
    server.setBody("/a", "a");
    server.setBody("/b", "b");
    TPoolFixture fixture(1, true);
    QObject::connect(fixture.pool.get(), &TDownloadPool::success, [&](const QUrl&, const QByteArray&) {
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [] {}, Qt::QueuedConnection);
        fixture.pool.reset();
    });
    fixture.pool->Download(server.url("/a"), 0, 5000);
    fixture.pool->Download(server.url("/b"), 0, 5000);
    QTRY_VERIFY_WITH_TIMEOUT(!fixture.pool, 5000);
    settle(200);
    QCOMPARE(server.requestCount("/b"), 0);
}

void TestDownloadPool::pinnedRequestKeepsHostNameAndCallersUrl()
{
    QVERIFY2(TTestCertificate::trustLocalhost(), qPrintable(TTestCertificate::localhost().errorString));
    TLoopbackServer server(TLoopbackServer::EMode::Tls);
    QVERIFY2(server.isListening(), qPrintable(server.errorString()));
    const QByteArray large = QByteArray("0123456789abcdef").repeated(64 * 1024);
    server.setBody("/secure", large);
    server.setScript("/missing", { TResponse::withStatus(404) });

    TLauncherUtils::ipV4Mode = true;
    TLauncherUtils::setLocalIPv4Result(true);
    QStringList looked;
    TLauncherUtils::setHostLookup([&](const QString& Host) {
        looked.append(Host);
        QHostInfo info;
        info.setAddresses({ QHostAddress("::1"), QHostAddress("127.0.0.1") });
        return info;
    });

    TPoolFixture fixture(2, true);
    const QUrl secure = server.url("/secure");
    const QUrl missing = server.url("/missing");
    QCOMPARE(secure.host(), QString("localhost"));
    fixture.pool->Download(secure, 0, 10000);
    fixture.pool->Download(missing, 0, 10000);
    QTRY_COMPARE_WITH_TIMEOUT(fixture.finished(), 2, 10000);

    QCOMPARE(looked, (QStringList { "localhost", "localhost" }));
    // The TLS handshake passed although the connection went to 127.0.0.1: the certificate names only
    // "localhost", so the peer was verified under the host name.
    QCOMPARE(fixture.successes.size(), 1);
    QCOMPARE(fixture.successes.first().first, secure);
    QCOMPARE(fixture.successes.first().second, large);
    QCOMPARE(fixture.failures.size(), 1);
    QCOMPARE(fixture.failures.first(), qMakePair(missing, QNetworkReply::ContentNotFoundError));
    QVERIFY(!fixture.progressUrls.isEmpty());
    for (const QUrl& url : std::as_const(fixture.progressUrls))
        QVERIFY(url == secure || url == missing);

    const QList<TRecordedRequest> requests = server.requests();
    QCOMPARE(requests.size(), 2);
    // With the port, which is not the scheme's own.
    for (const TRecordedRequest& request : requests)
        QCOMPARE(request.header("Host"), "localhost:" + QByteArray::number(server.port()));
}

void TestDownloadPool::pinnedRequestFollowsRedirects_data()
{
    QTest::addColumn<bool>("tls");
    QTest::addColumn<bool>("absolute");
    QTest::newRow("http, relative location") << false << false;
    QTest::newRow("http, absolute location") << false << true;
    QTest::newRow("https, relative location") << true << false;
    QTest::newRow("https, absolute location") << true << true;
}

void TestDownloadPool::pinnedRequestFollowsRedirects()
{
    QFETCH(bool, tls);
    QFETCH(bool, absolute);

    QVERIFY(TTestCertificate::trustLocalhost());
    TLoopbackServer server(tls ? TLoopbackServer::EMode::Tls : TLoopbackServer::EMode::Plain);
    server.setUrlHost("localhost");
    server.setBody("/target", "target body");
    server.setScript("/moved", { TResponse::redirect(absolute ? server.url("/target").toEncoded() : "/target") });
    TLoopbackServer plain;
    plain.setBody("/target", "plain target");
    server.setScript("/downgrade", { TResponse::redirect(plain.url("/target").toEncoded()) });

    TLauncherUtils::ipV4Mode = true;
    TLauncherUtils::setLocalIPv4Result(true);
    TLauncherUtils::setHostLookup([](const QString&) {
        QHostInfo info;
        info.setAddresses({ QHostAddress("127.0.0.1") });
        return info;
    });

    TPoolFixture fixture(2, true);
    const QUrl moved = server.url("/moved");
    fixture.pool->Download(moved, 0, 5000);
    if (tls)
        fixture.pool->Download(server.url("/downgrade"), 0, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(fixture.finished(), tls ? 2 : 1, 10000);

    QCOMPARE(fixture.successes.size(), 1);
    QCOMPARE(fixture.successes.first(), qMakePair(moved, QByteArray("target body")));
    const QList<TRecordedRequest> target = server.requests("/target");
    QCOMPARE(target.size(), 1);
    QCOMPARE(target.first().header("Host").split(':').first(), QByteArray("localhost"));
    if (tls) {
        // https to http is refused by the manager's policy, and reported.
        QCOMPARE(fixture.failures.size(), 1);
        QCOMPARE(fixture.failures.first(), qMakePair(server.url("/downgrade"), QNetworkReply::InsecureRedirectError));
        QCOMPARE(plain.requestCount(), 0);
    }
}

void TestDownloadPool::pinnedRequestRedirectedToAnotherHostAsksItByItsName()
{
    // Every name resolves to 127.0.0.1, so each hop is pinned. The framework would copy the first hop's
    // "Host" header and TLS peer name into the redirected request: the next host would answer as the
    // wrong virtual host, and over https the handshake would check the wrong name.
    QVERIFY(TTestCertificate::trustLocalhost());
    TLoopbackServer plainTarget;
    plainTarget.setUrlHost("localhost");
    plainTarget.setBody("/target", "plain target");
    TLoopbackServer tlsTarget(TLoopbackServer::EMode::Tls);
    tlsTarget.setBody("/target", "tls target");
    TLoopbackServer origin;
    origin.setUrlHost("origin.test");
    origin.setScript("/to-plain", { TResponse::redirect(plainTarget.url("/target").toEncoded()) });
    origin.setScript("/to-tls", { TResponse::redirect(tlsTarget.url("/target").toEncoded()) });
    origin.setScript("/loop", { TResponse::redirect("/loop") });

    TLauncherUtils::ipV4Mode = true;
    TLauncherUtils::setLocalIPv4Result(true);
    TLauncherUtils::setHostLookup([](const QString&) {
        QHostInfo info;
        info.setAddresses({ QHostAddress("127.0.0.1") });
        return info;
    });

    TPoolFixture fixture(3, true);
    fixture.pool->Download(origin.url("/to-plain"), 0, 5000);
    fixture.pool->Download(origin.url("/to-tls"), 0, 5000);
    fixture.pool->Download(origin.url("/loop"), 0, 5000);
    QTRY_COMPARE_WITH_TIMEOUT(fixture.finished(), 3, 10000);

    QVERIFY(fixture.successes.contains(qMakePair(origin.url("/to-plain"), QByteArray("plain target"))));
    QVERIFY(fixture.successes.contains(qMakePair(origin.url("/to-tls"), QByteArray("tls target"))));
    const QByteArray originPort = QByteArray::number(origin.port());
    QCOMPARE(origin.requests("/to-plain").first().header("Host"), "origin.test:" + originPort);
    QCOMPARE(
        plainTarget.requests("/target").first().header("Host"), "localhost:" + QByteArray::number(plainTarget.port()));
    QCOMPARE(tlsTarget.requests("/target").first().header("Host"), "localhost:" + QByteArray::number(tlsTarget.port()));

    // A redirect loop ends after the framework's limit of hops.
    QCOMPARE(fixture.failures, (QList { qMakePair(origin.url("/loop"), QNetworkReply::TooManyRedirectsError) }));
    QCOMPARE(origin.requestCount("/loop"), 51);
}

QTEST_GUILESS_MAIN(TestDownloadPool)
#include "tst_downloadpool.moc"
