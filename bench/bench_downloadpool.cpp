// 50,000 GETs of 4 KiB bodies from the loopback server with 10 downloads at once: through the pool,
// and through a bare QNetworkAccessManager loop with the same concurrency, in the same run. The
// work is split into rounds taken in the order bare, pool, pool, bare, ... so that a slow phase of
// a busy machine does not fall on one side only; the client thread's CPU time is shown beside the
// wall time, since it is what the pool adds.

#include "shared/downloadpool.h"
#include "shared/networkaccessmanagerwrapper.h"

#include "support/loopbackserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSemaphore>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>

using korvane::test::TLoopbackServer;

namespace {

constexpr int requestCount = 50000;
constexpr int rounds = 10;
constexpr int concurrency = 10;
constexpr int bodySize = 4096;
constexpr int timeoutMs = 30000;

// The server answers on a thread of its own, so that it does not share the client's event loop.
class TServerThread : public QThread
{
public:
    QSemaphore ready;
    quint16 port = 0;

protected:
    void run() override
    {
        TLoopbackServer server;
        server.setRecordRequests(false);
        server.setBody("/chunk", QByteArray(bodySize, 'k'));
        port = server.port();
        ready.release();
        exec();
    }
};

double threadCpuMs()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return now.tv_sec * 1000.0 + now.tv_nsec / 1e6;
}

struct TResult
{
    qint64 elapsedMs = 0;
    double cpuMs = 0;
    int succeeded = 0;
    int failedCount = 0;
    qint64 bytes = 0;
};

QList<QUrl> makeUrls(quint16 Port, const QString& Run, int Count)
{
    QList<QUrl> urls;
    urls.reserve(Count);
    for (int i = 0; i < Count; ++i)
        urls.append(QUrl(QStringLiteral("http://127.0.0.1:%1/chunk?run=%2&i=%3").arg(Port).arg(Run).arg(i)));
    return urls;
}

TResult runPool(const QList<QUrl>& Urls)
{
    auto manager = std::make_shared<QNetworkAccessManager>();
    auto pool = std::make_shared<shared::TDownloadPool>(
        concurrency, std::make_shared<shared::QNetworkAccessManagerWrapper>(manager), true);
    TResult result;
    QEventLoop loop;
    const auto done = [&] {
        if (result.succeeded + result.failedCount == Urls.size())
            loop.quit();
    };
    QObject::connect(pool.get(), &shared::TDownloadPool::success, [&](const QUrl&, const QByteArray& Data) {
        ++result.succeeded;
        result.bytes += Data.size();
        done();
    });
    QObject::connect(
        pool.get(), &shared::TDownloadPool::failed, [&](const QUrl&, QNetworkReply::NetworkError, const QString&) {
            ++result.failedCount;
            done();
        });
    const double cpuStart = threadCpuMs();
    QElapsedTimer clock;
    clock.start();
    // The whole set is queued at once, as an installation does with its chunk URLs.
    for (const QUrl& url : Urls)
        pool->Download(url, 0, timeoutMs);
    loop.exec();
    result.elapsedMs = clock.elapsed();
    result.cpuMs = threadCpuMs() - cpuStart;
    return result;
}

TResult runBare(const QList<QUrl>& Urls)
{
    QNetworkAccessManager manager;
    manager.setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
    TResult result;
    QEventLoop loop;
    qsizetype next = 0;
    std::function<void()> startNext = [&] {
        QNetworkRequest request(Urls.at(next++));
        request.setTransferTimeout(timeoutMs);
        QNetworkReply* reply = manager.get(request);
        QObject::connect(reply, &QNetworkReply::finished, [&, reply] {
            if (reply->error() == QNetworkReply::NoError) {
                ++result.succeeded;
                result.bytes += reply->readAll().size();
            } else {
                ++result.failedCount;
            }
            reply->deleteLater();
            if (next < Urls.size())
                startNext();
            else if (result.succeeded + result.failedCount == Urls.size())
                loop.quit();
        });
    };
    const double cpuStart = threadCpuMs();
    QElapsedTimer clock;
    clock.start();
    for (int i = 0; i < concurrency && next < Urls.size(); ++i)
        startNext();
    loop.exec();
    result.elapsedMs = clock.elapsed();
    result.cpuMs = threadCpuMs() - cpuStart;
    return result;
}

void add(TResult& Total, const TResult& Round)
{
    Total.elapsedMs += Round.elapsedMs;
    Total.cpuMs += Round.cpuMs;
    Total.succeeded += Round.succeeded;
    Total.failedCount += Round.failedCount;
    Total.bytes += Round.bytes;
}

void print(const char* Name, const TResult& Result)
{
    std::printf("%-5s wall %6lld ms  client cpu %6.0f ms  %6.0f requests/s  ok %d  failed %d  bytes %lld\n", Name,
        static_cast<long long>(Result.elapsedMs), Result.cpuMs,
        Result.succeeded * 1000.0 / std::max<qint64>(1, Result.elapsedMs), Result.succeeded, Result.failedCount,
        static_cast<long long>(Result.bytes));
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    // The pool logs every start and finish; in the product that goes to the log file. Here it is
    // dropped so that terminal output does not dominate the measurement.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});

    TServerThread serverThread;
    serverThread.start();
    serverThread.ready.acquire();
    if (serverThread.port == 0) {
        std::fprintf(stderr, "loopback server did not start\n");
        return 1;
    }

    // Warm up both paths (connections, allocator) before measuring.
    runBare(makeUrls(serverThread.port, "warm-bare", 1000));
    runPool(makeUrls(serverThread.port, "warm-pool", 1000));

    std::printf("%d GETs of %d bytes per side, %d at once, in %d rounds; loopback server on its own thread\n",
        requestCount, bodySize, concurrency, rounds);
    TResult bare;
    TResult pooled;
    QList<double> roundRatios;
    for (int round = 0; round < rounds; ++round) {
        const int count = requestCount / rounds;
        const QList<QUrl> bareUrls = makeUrls(serverThread.port, QStringLiteral("bare%1").arg(round), count);
        const QList<QUrl> poolUrls = makeUrls(serverThread.port, QStringLiteral("pool%1").arg(round), count);
        TResult bareRound;
        TResult poolRound;
        if (round % 2 == 0) {
            bareRound = runBare(bareUrls);
            poolRound = runPool(poolUrls);
        } else {
            poolRound = runPool(poolUrls);
            bareRound = runBare(bareUrls);
        }
        add(bare, bareRound);
        add(pooled, poolRound);
        roundRatios.append(double(poolRound.elapsedMs) / double(std::max<qint64>(1, bareRound.elapsedMs)));
    }
    print("bare", bare);
    print("pool", pooled);
    std::sort(roundRatios.begin(), roundRatios.end());
    const double ratio = double(pooled.elapsedMs) / double(std::max<qint64>(1, bare.elapsedMs));
    std::printf("ratio pool/bare: wall %.3f (target <= 1.2), client cpu %.3f, median of rounds %.3f\n", ratio,
        pooled.cpuMs / std::max(1.0, bare.cpuMs), roundRatios.at(roundRatios.size() / 2));

    serverThread.quit();
    serverThread.wait();
    const bool complete = bare.succeeded == requestCount && pooled.succeeded == requestCount;
    return complete ? 0 : 1;
}
