// Fresh download of a 1 GiB package through TPackageFileDownloader from the loopback server, next to a
// reference measured in the same run: curl fetching the same chunk URLs with the same concurrency to
// /dev/null, plus one single-threaded pass of inflate and SHA-256 over the same bodies.
//
//     bench_downloader                      both runs: 256 chunks of 4 MiB, 50,000 chunks of 20 KiB
//     bench_downloader --run large|small    one of them
//     bench_downloader --chunks N           fewer chunks, for a quick look
//
// The server runs in a child process (this program with --serve), so neither its memory nor its event
// loop is counted for the downloader. Temporary files live under the framework's temporary folder
// (TMPDIR) and are removed at the end.

#include "installation/packagefiledownloader.h"
#include "shared/downloadpool.h"
#include "shared/networkaccessmanagerwrapper.h"
#include "shared/sha256.h"
#include "support/loopbackserver.h"
#include "support/packedbuffers.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentMap>

#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <vector>

using namespace korvane::launcher;
using korvane::test::packedBuffer;
using korvane::test::rawDeflate;

namespace {

constexpr int concurrency = 10; // the shipped maxConcurrentDownloads
constexpr int filesInPackage = 16;

struct TScenario
{
    const char* name;
    qsizetype chunkSize;
    int chunks;
};

struct TStoredChunk
{
    QByteArray hash;
    quint64 unpackedSize = 0;
    quint64 packedSize = 0;
};

// Half random bytes, half words: compresses to roughly 60 %, like mixed game data.
QByteArray chunkContent(qsizetype size, int index)
{
    static const char* const words[]
        = { "vertex ", "shader ", "texture ", "korvane ", "vedudi ", "mesh ", "bone ", "frame ", "sound ", "level " };
    QByteArray data(size, Qt::Uninitialized);
    quint64 x = quint64(index) * 0x9E3779B97F4A7C15ull + 7;
    qsizetype i = 0;
    while (i < size) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        if ((i / 512) % 2 == 0) {
            const qsizetype n = std::min<qsizetype>(8, size - i);
            std::memcpy(data.data() + i, &x, size_t(n));
            i += n;
        } else {
            const char* word = words[x % 10];
            const qsizetype n = std::min<qsizetype>(qsizetype(std::strlen(word)), size - i);
            std::memcpy(data.data() + i, word, size_t(n));
            i += n;
        }
    }
    return data;
}

// Payload of a MINIZ packed buffer as written by chunk storage: marker, codec 3, two lengths.
bool inflatePacked(const QByteArray& body, QByteArray& out)
{
    const char* cursor = body.constData();
    const char* end = cursor + body.size();
    if (end - cursor < 2 || cursor[0] != 0x70 || cursor[1] != 3)
        return false;
    cursor += 2;
    quint64 values[2] = {};
    for (quint64& value : values) {
        int shift = 0;
        while (cursor < end) {
            const auto byte = quint8(*cursor++);
            value |= quint64(byte & 0x7F) << shift;
            shift += 7;
            if (!(byte & 0x80))
                break;
        }
    }
    out.resize(qsizetype(values[0]));
    z_stream stream {};
    inflateInit2(&stream, -15);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(cursor));
    stream.avail_in = uInt(values[1]);
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    const int result = inflate(&stream, Z_FINISH);
    inflateEnd(&stream);
    return result == Z_STREAM_END && stream.total_out == values[0];
}

double threadCpuSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return double(now.tv_sec) + double(now.tv_nsec) / 1e9;
}

qint64 statusValueKiB(const char* key)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith(key))
            return line.mid(qsizetype(std::strlen(key))).trimmed().split(' ').first().toLongLong();
    return -1;
}

void resetPeakMemory()
{
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    if (clearRefs.open(QIODevice::WriteOnly))
        clearRefs.write("5");
}

std::vector<TStoredChunk> storeChunks(const TScenario& scenario, const QString& chunkFolder)
{
    std::vector<int> indices(std::size_t(scenario.chunks));
    for (int i = 0; i < scenario.chunks; ++i)
        indices[std::size_t(i)] = i;
    QDir().mkpath(chunkFolder);
    return QtConcurrent::blockingMapped<std::vector<TStoredChunk>>(indices, [&](int index) {
        const QByteArray piece = chunkContent(scenario.chunkSize, index);
        const QByteArray payload = rawDeflate(piece);
        const QByteArray body = packedBuffer(packbuf::ECodecId::MINIZ, quint64(piece.size()), payload);
        TStoredChunk stored { shared::TSha256::hash(piece), quint64(piece.size()), quint64(body.size()) };
        QFile file(chunkFolder + QLatin1Char('/') + QString::fromLatin1(stored.hash.toHex()));
        if (!file.open(QIODevice::WriteOnly) || file.write(body) != body.size())
            qFatal("cannot write %s", qPrintable(file.fileName()));
        return stored;
    });
}

QUrl chunkUrl(quint16 port, const QByteArray& hash)
{
    return QUrl(QStringLiteral("http://127.0.0.1:%1/c/%2").arg(port).arg(QString::fromLatin1(hash.toHex())));
}

double runCurl(quint16 port, const std::vector<TStoredChunk>& chunks, const QString& work)
{
    const QString configPath = work + QStringLiteral("/curl.cfg");
    QFile config(configPath);
    if (!config.open(QIODevice::WriteOnly))
        qFatal("cannot write the curl configuration");
    for (const TStoredChunk& chunk : chunks)
        config.write("url = \"" + chunkUrl(port, chunk.hash).toEncoded() + "\"\noutput = \"/dev/null\"\n");
    config.close();
    QProcess curl;
    QElapsedTimer timer;
    timer.start();
    curl.start(QStringLiteral("curl"),
        { QStringLiteral("--silent"), QStringLiteral("--fail"), QStringLiteral("--parallel"),
            QStringLiteral("--parallel-max"), QString::number(concurrency), QStringLiteral("--config"), configPath });
    curl.waitForFinished(-1);
    const double seconds = double(timer.nsecsElapsed()) / 1e9;
    if (curl.exitStatus() != QProcess::NormalExit || curl.exitCode() != 0)
        std::printf("  curl failed: exit code %d\n", curl.exitCode());
    QFile::remove(configPath);
    return seconds;
}

double runInflateAndHash(const std::vector<TStoredChunk>& chunks, const QString& chunkFolder)
{
    QElapsedTimer timer;
    timer.start();
    QByteArray out;
    for (const TStoredChunk& chunk : chunks) {
        QFile file(chunkFolder + QLatin1Char('/') + QString::fromLatin1(chunk.hash.toHex()));
        if (!file.open(QIODevice::ReadOnly))
            qFatal("cannot read a chunk");
        if (!inflatePacked(file.readAll(), out) || shared::TSha256::hash(out) != chunk.hash)
            qFatal("a stored chunk does not inflate to its hash");
    }
    return double(timer.nsecsElapsed()) / 1e9;
}

// The same URLs through a bare TDownloadPool, bodies dropped: what the framework's network stack
// costs by itself at this concurrency.
double runPoolAlone(quint16 port, const std::vector<TStoredChunk>& chunks, double& guiThreadSeconds)
{
    auto manager = std::make_shared<QNetworkAccessManager>();
    shared::TDownloadPool pool(concurrency, std::make_shared<shared::QNetworkAccessManagerWrapper>(manager), true);
    std::size_t done = 0;
    QObject::connect(&pool, &shared::TDownloadPool::success, [&] { ++done; });
    QObject::connect(&pool, &shared::TDownloadPool::failed, [&] { ++done; });
    QElapsedTimer timer;
    timer.start();
    const double cpuBefore = threadCpuSeconds();
    for (const TStoredChunk& chunk : chunks)
        pool.Download(chunkUrl(port, chunk.hash), 0, 10000);
    while (done < chunks.size())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    guiThreadSeconds = threadCpuSeconds() - cpuBefore;
    return double(timer.nsecsElapsed()) / 1e9;
}

struct TDownloaderRun
{
    double seconds = 0;
    double guiThreadSeconds = 0;
    bool completed = false;
    qint64 peakKiB = 0;
    qint64 baselineKiB = 0;
};

TDownloaderRun runDownloader(quint16 port, const std::vector<TStoredChunk>& chunks, const QString& target)
{
    std::vector<TFileToDownload> files(filesInPackage);
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        TFileToDownload& file = files[i * filesInPackage / chunks.size()];
        TChunkInPackage chunk;
        chunk.url = chunkUrl(port, chunks[i].hash);
        chunk.packedSize = chunks[i].packedSize;
        chunk.unpackedSize = chunks[i].unpackedSize;
        chunk.unpackedHash = chunks[i].hash;
        chunk.unpack = true;
        file.chunkIndicesToDownload.push_back(int(file.chunks.size()));
        file.chunks.push_back(chunk);
        file.unpackedSize += chunk.unpackedSize;
    }
    for (std::size_t i = 0; i < files.size(); ++i)
        files[i].localFile = QStringLiteral("data/part%1.pak").arg(i);

    auto manager = std::make_shared<QNetworkAccessManager>();
    auto helper = std::make_shared<TLauncherFilesystemHelper>();
    auto pool = std::make_shared<shared::TDownloadPool>(
        concurrency, std::make_shared<shared::QNetworkAccessManagerWrapper>(manager), false);
    TPackageFileDownloader downloader(pool, helper);

    TDownloaderRun run;
    bool finished = false;
    QObject::connect(&downloader, &TPackageFileDownloader::downloadCompleted, [&] {
        finished = true;
        run.completed = true;
    });
    QObject::connect(&downloader, &TPackageFileDownloader::downloadFailed, [&] { finished = true; });

    run.baselineKiB = statusValueKiB("VmRSS:");
    resetPeakMemory();
    QElapsedTimer timer;
    timer.start();
    const double cpuBefore = threadCpuSeconds();
    downloader.downloadFiles(QDir(target), 0, files);
    while (!finished)
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    run.seconds = double(timer.nsecsElapsed()) / 1e9;
    run.guiThreadSeconds = threadCpuSeconds() - cpuBefore;
    run.peakKiB = statusValueKiB("VmHWM:");

    for (const TFileToDownload& file : files) {
        QFile written(QDir(target).filePath(file.localFile));
        if (!written.open(QIODevice::ReadOnly) || quint64(written.size()) != file.unpackedSize) {
            std::printf("  %s has the wrong size\n", qPrintable(file.localFile));
            run.completed = false;
        }
    }
    return run;
}

int serve(const QString& folder)
{
    korvane::test::TLoopbackServer server;
    server.setRecordRequests(false);
    server.serveFolder(folder);
    std::printf("%u\n", unsigned(server.port()));
    std::fflush(stdout);
    return QCoreApplication::exec();
}

void runScenario(const TScenario& scenario, const QString& program)
{
    QTemporaryDir work;
    if (!work.isValid())
        qFatal("no temporary folder");
    const QString served = work.filePath(QStringLiteral("served"));
    const QString chunkFolder = served + QStringLiteral("/c");
    std::printf("%s: %d chunks of %lld bytes, deflate-packed, concurrency %d\n", scenario.name, scenario.chunks,
        qlonglong(scenario.chunkSize), concurrency);
    std::fflush(stdout);

    QElapsedTimer preparation;
    preparation.start();
    const std::vector<TStoredChunk> chunks = storeChunks(scenario, chunkFolder);
    quint64 packedTotal = 0, unpackedTotal = 0;
    for (const TStoredChunk& chunk : chunks) {
        packedTotal += chunk.packedSize;
        unpackedTotal += chunk.unpackedSize;
    }
    std::printf("  prepared %.1f MiB packed / %.1f MiB unpacked in %.1f s\n", double(packedTotal) / 1048576.0,
        double(unpackedTotal) / 1048576.0, double(preparation.elapsed()) / 1000.0);

    QProcess server;
    server.start(program, { QStringLiteral("--serve"), served });
    if (!server.waitForReadyRead(10000))
        qFatal("the server did not start");
    const auto port = quint16(server.readLine().trimmed().toUInt());

    // One untimed pass warms the page cache for both sides.
    runInflateAndHash(chunks, chunkFolder);
    const double curlSeconds = runCurl(port, chunks, work.path());
    const double inflateSeconds = runInflateAndHash(chunks, chunkFolder);
    const double reference = curlSeconds + inflateSeconds;
    double poolGuiSeconds = 0;
    const double poolSeconds = runPoolAlone(port, chunks, poolGuiSeconds);
    const TDownloaderRun run = runDownloader(port, chunks, work.filePath(QStringLiteral("installed")));

    server.kill();
    server.waitForFinished(5000);

    const double mib = double(unpackedTotal) / 1048576.0;
    std::printf("  curl to /dev/null:          %7.2f s\n", curlSeconds);
    std::printf("  inflate + SHA-256, 1 pass:  %7.2f s\n", inflateSeconds);
    std::printf("  reference (sum):            %7.2f s\n", reference);
    std::printf("  bare TDownloadPool (info):  %7.2f s  (GUI thread busy %.2f s)\n", poolSeconds, poolGuiSeconds);
    std::printf("  TPackageFileDownloader:     %7.2f s  (%.0f MiB/s written, %s)\n", run.seconds, mib / run.seconds,
        run.completed ? "completed" : "FAILED");
    std::printf("  its GUI thread busy:        %7.2f s\n", run.guiThreadSeconds);
    std::printf("  ratio downloader/reference: %7.2f  (target <= %.1f)\n", run.seconds / reference,
        scenario.chunkSize >= (1 << 20) ? 1.3 : 2.0);
    // What the settings allow at most: the cache's chunks plus, per chunk on its way, the body, its
    // copy for the unpacker and two unpacked copies.
    const int maxCached = TLauncherFilesystemHelper().getLauncherSettings()->maxCachedChunks;
    const double chunkMiB = double(scenario.chunkSize) / 1048576.0;
    const double packedMiB = double(packedTotal) / double(chunks.size()) / 1048576.0;
    std::printf("  peak memory during the run: %7.1f MiB (%.1f MiB before it; cache and chunks on their way may "
                "take %.0f MiB, the plan's tables grow with the number of chunks)\n",
        double(run.peakKiB) / 1024.0, double(run.baselineKiB) / 1024.0,
        (maxCached + 1) * chunkMiB + concurrency * (2 * packedMiB + 2 * chunkMiB));
    std::fflush(stdout);
}

void dropMessage(QtMsgType, const QMessageLogContext&, const QString&) { }

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() == 3 && arguments[1] == QLatin1String("--serve"))
        return serve(arguments[2]);

    // The product logs several lines per chunk; printing them here would measure the terminal.
    qInstallMessageHandler(dropMessage);

    QString only;
    int chunkLimit = 0;
    for (int i = 1; i + 1 < arguments.size(); i += 2) {
        if (arguments[i] == QLatin1String("--run"))
            only = arguments[i + 1];
        else if (arguments[i] == QLatin1String("--chunks"))
            chunkLimit = arguments[i + 1].toInt();
    }
    const TScenario scenarios[] = { { "large", 4 * 1024 * 1024, 256 }, { "small", 20 * 1024, 50000 } };
    for (TScenario scenario : scenarios) {
        if (!only.isEmpty() && only != QLatin1String(scenario.name))
            continue;
        if (chunkLimit > 0)
            scenario.chunks = std::min(scenario.chunks, chunkLimit);
        runScenario(scenario, QCoreApplication::applicationFilePath());
    }
    return 0;
}
