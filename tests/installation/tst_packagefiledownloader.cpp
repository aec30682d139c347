#include "installation/packagefiledownloader.h"

#include "shared/downloadpool.h"
#include "shared/networkaccessmanagerwrapper.h"
#include "shared/sha256.h"
#include "support/loopbackserver.h"
#include "support/packedbuffers.h"

#include <QElapsedTimer>
#include <QNetworkAccessManager>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <sys/resource.h>
#include <sys/stat.h>
#include <zlib.h>

#include <csignal>
#include <cstring>

using namespace korvane::launcher;
using korvane::test::packedBuffer;
using korvane::test::rawDeflate;
using korvane::test::TLoopbackServer;
using korvane::test::TResponse;
using korvane::test::TScript;
using packbuf::ECodecId;

Q_DECLARE_METATYPE(korvane::test::TScript)

namespace {

enum class EPacking { None, Raw, Deflate };

QByteArray packBody(const QByteArray& piece, EPacking packing)
{
    switch (packing) {
    case EPacking::None:
        return piece;
    case EPacking::Raw:
        return packedBuffer(ECodecId::RAW, quint64(piece.size()), piece);
    case EPacking::Deflate:
        return packedBuffer(ECodecId::MINIZ, quint64(piece.size()), rawDeflate(piece));
    }
    return {};
}

// Compressible but distinct per seed, so deflate has something to do and chunks differ.
QByteArray content(qsizetype size, int seed)
{
    QByteArray data(size, Qt::Uninitialized);
    quint32 x = quint32(seed) * 2654435761u + 1;
    for (qsizetype i = 0; i < size; ++i) {
        x = x * 1103515245u + 12345u;
        data[i] = char('a' + (x >> 16) % 7);
    }
    return data;
}

QString hex(const QByteArray& bytes)
{
    return QString::fromLatin1(bytes.toHex());
}

TChunkInPackage chunkOf(const QByteArray& piece, const QUrl& url, quint64 packedSize, bool unpack = true)
{
    TChunkInPackage chunk;
    chunk.url = url;
    chunk.packedSize = packedSize;
    chunk.unpackedSize = quint64(piece.size());
    chunk.unpackedHash = shared::TSha256::hash(piece);
    chunk.unpack = unpack;
    return chunk;
}

TFileToDownload fileOf(const QString& name, const QByteArray& data, const TChunkInPackageVector& chunks)
{
    TFileToDownload file;
    file.localFile = name;
    file.unpackedSize = quint64(data.size());
    file.unpackedHash = shared::TSha256::hash(data);
    file.chunks = chunks;
    for (int i = 0; i < int(chunks.size()); ++i)
        file.chunkIndicesToDownload.push_back(i);
    return file;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

struct TOutcome
{
    int completed = 0;
    int failed = 0;
    int reason = -1;
    int progressCount = 0;
    QList<QVariant> lastProgress;
};

class TestPackageFileDownloader : public QObject
{
    Q_OBJECT

    std::unique_ptr<TLoopbackServer> server;
    std::unique_ptr<QTemporaryDir> folder;
    std::shared_ptr<QNetworkAccessManager> manager;
    std::shared_ptr<TLauncherFilesystemHelper> helper;
    std::shared_ptr<shared::TDownloadPool> pool;

    TLauncherSettings& settings() { return *helper->getLauncherSettings(); }

    std::unique_ptr<TPackageFileDownloader> makeDownloader(int concurrency)
    {
        // Plain-http chunks through the own client, as an installation sends them.
        auto managers = std::make_shared<shared::QNetworkAccessManagerWrapper>(manager);
        managers->sendThroughOwnClient();
        pool = std::make_shared<shared::TDownloadPool>(concurrency, managers, false);
        return std::make_unique<TPackageFileDownloader>(pool, helper);
    }

    // Cuts data into chunks served under the hash of their content.
    TFileToDownload servedFile(const QString& name, const QByteArray& data, qsizetype chunkSize,
        EPacking packing = EPacking::Deflate, const QString& prefix = QStringLiteral("/c/"))
    {
        TChunkInPackageVector chunks;
        for (qsizetype offset = 0; offset < data.size(); offset += chunkSize) {
            const QByteArray piece = data.mid(offset, chunkSize);
            const QByteArray body = packBody(piece, packing);
            const QString path = prefix + hex(shared::TSha256::hash(piece));
            server->setBody(path, body);
            chunks.push_back(chunkOf(piece, server->url(path), quint64(body.size()), packing != EPacking::None));
        }
        return fileOf(name, data, chunks);
    }

    QString pathOf(const QString& name) const { return folder->filePath(name); }

    TOutcome run(TPackageFileDownloader& downloader, const std::vector<TFileToDownload>& files, int mode = 0)
    {
        QSignalSpy completed(&downloader, &TPackageFileDownloader::downloadCompleted);
        QSignalSpy failed(&downloader, &TPackageFileDownloader::downloadFailed);
        QSignalSpy progress(&downloader, &TPackageFileDownloader::progress);
        downloader.downloadFiles(QDir(folder->path()), mode, files);
        QElapsedTimer timer;
        timer.start();
        while (completed.count() + failed.count() == 0 && timer.elapsed() < 30000)
            QTest::qWait(5);
        QTest::qWait(20); // a second result would show here
        TOutcome outcome;
        outcome.completed = int(completed.count());
        outcome.failed = int(failed.count());
        if (!failed.isEmpty())
            outcome.reason = int(failed.first().first().value<EPackageDownloaderError>());
        outcome.progressCount = int(progress.count());
        if (!progress.isEmpty())
            outcome.lastProgress = progress.last();
        return outcome;
    }

private slots:
    void init()
    {
        server = std::make_unique<TLoopbackServer>();
        QVERIFY(server->isListening());
        folder = std::make_unique<QTemporaryDir>();
        manager = std::make_shared<QNetworkAccessManager>();
        helper = std::make_shared<TLauncherFilesystemHelper>();
        settings().retries = 0;
        settings().chunkTransportTimeOut = 10000;
        settings().maxCachedChunks = 100;
        settings().chunkVerification = false;
        settings().ipV4Mode = false;
    }

    void cleanup()
    {
        pool.reset();
        server.reset();
    }

    void planIsDeduplicatedAndOrderedByOffset()
    {
        const auto url = [](const char* name) { return QUrl(QStringLiteral("http://127.0.0.1:1/") + name); };
        const QByteArray a1(4, '1'), a2(6, '2'), a3(5, '3'), b1(2, 'b'), x(3, 'x'), y(7, 'y');
        // A: a1 a2 a3; B: b1 a3 - the example of a chunk that begins earlier in another file.
        const TFileToDownload fileA = fileOf(
            "A", a1 + a2 + a3, { chunkOf(a1, url("a1"), 4), chunkOf(a2, url("a2"), 6), chunkOf(a3, url("a3"), 5) });
        const TFileToDownload fileB = fileOf("B", b1 + a3, { chunkOf(b1, url("b1"), 2), chunkOf(a3, url("a3"), 5) });
        // C needs one content twice; D and E need one content under two URLs; F lists one content
        // under two URLs in one file.
        const TFileToDownload fileC = fileOf("C", x + x, { chunkOf(x, url("x"), 3), chunkOf(x, url("x"), 3) });
        const TFileToDownload fileD = fileOf("D", y, { chunkOf(y, url("y1"), 7) });
        const TFileToDownload fileE = fileOf("E", y, { chunkOf(y, url("y2"), 7) });
        const QByteArray z(9, 'z');
        const TFileToDownload fileF = fileOf("F", z + z, { chunkOf(z, url("z1"), 9), chunkOf(z, url("z2"), 9) });

        auto downloader = makeDownloader(1);
        downloader->buildDownloadQueue({ fileA, fileB, fileC, fileD, fileE, fileF });
        QStringList order;
        for (const TDownloadEntry& entry : downloader->getDownloadQueue())
            order << entry.url.path().mid(1);
        // Keys: a1 0, b1 0, x 0, y1 0, y2 0, z1 0, a3 2, a2 4; z2 is never fetched.
        QCOMPARE(order.size(), 8);
        QCOMPARE(QSet<QString>(order.begin(), order.begin() + 6), QSet<QString>({ "a1", "b1", "x", "y1", "y2", "z1" }));
        QCOMPARE(order.mid(6), QStringList({ "a3", "a2" }));

        const auto entryOf = [&](const char* name) {
            for (const TDownloadEntry& entry : downloader->getDownloadQueue())
                if (entry.url == url(name))
                    return entry;
            return TDownloadEntry();
        };
        const TDownloadEntry sharedEntry = entryOf("a3");
        QCOMPARE(sharedEntry.files.size(), 2u);
        QCOMPARE(sharedEntry.files[0]->localFile, QStringLiteral("A"));
        QCOMPARE(sharedEntry.files[1]->localFile, QStringLiteral("B"));
        QCOMPARE(downloader->getPendingUseCount(shared::TSha256::hash(a3)), 2);
        QCOMPARE(entryOf("x").files.size(), 1u);
        QCOMPARE(downloader->getPendingUseCount(shared::TSha256::hash(x)), 2);
        QCOMPARE(entryOf("y1").files.size(), 1u);
        QCOMPARE(entryOf("y2").files.size(), 1u);
        QCOMPARE(downloader->getPendingUseCount(shared::TSha256::hash(y)), 2);
        QCOMPARE(downloader->getPendingUseCount(shared::TSha256::hash(z)), 2);
    }

    void downloadsAndWrites_data()
    {
        QTest::addColumn<int>("packing");
        QTest::addColumn<int>("concurrency");
        QTest::addColumn<int>("maxCachedChunks");
        QTest::addColumn<bool>("frontChunksLate");
        QTest::addColumn<bool>("chunkVerification");
        // The first chunk of one.bin is on the disk already: the file is written front first around it.
        QTest::addColumn<bool>("firstChunkKept");

        QTest::newRow("plain bodies, one at a time") << int(EPacking::None) << 1 << 100 << false << false << false;
        QTest::newRow("raw packed") << int(EPacking::Raw) << 4 << 100 << false << false << false;
        QTest::newRow("deflate packed") << int(EPacking::Deflate) << 4 << 100 << false << false << false;
        QTest::newRow("out of order") << int(EPacking::Deflate) << 8 << 0 << true << false << false;
        QTest::newRow("out of order, chunk verification") << int(EPacking::Deflate) << 8 << 0 << true << true << false;
        QTest::newRow("out of order, kept chunk, cached in memory")
            << int(EPacking::Deflate) << 8 << 100 << true << false << true;
        QTest::newRow("out of order, kept chunk, maxCachedChunks 0")
            << int(EPacking::Deflate) << 8 << 0 << true << false << true;
    }

    void downloadsAndWrites()
    {
        QFETCH(int, packing);
        QFETCH(int, concurrency);
        QFETCH(int, maxCachedChunks);
        QFETCH(bool, frontChunksLate);
        QFETCH(bool, chunkVerification);
        QFETCH(bool, firstChunkKept);
        settings().maxCachedChunks = maxCachedChunks;
        settings().chunkVerification = chunkVerification;

        const QByteArray first = content(10 * 1000 + 17, 1);
        const QByteArray second = content(6 * 1000, 2);
        std::vector<TFileToDownload> files { servedFile("one.bin", first, 1000, EPacking(packing)),
            servedFile("sub/dir/two.bin", second, 1000, EPacking(packing)) };
        files[1].executable = true;
        if (firstChunkKept)
            files[0].chunkIndicesToDownload.erase(files[0].chunkIndicesToDownload.begin());
        if (frontChunksLate) {
            // The front of what each file lacks arrives last.
            for (const TFileToDownload& file : files)
                server->setScript(file.chunks[std::size_t(file.chunkIndicesToDownload.front())].url.path(),
                    { TResponse::delayed(400) });
        }
        // An older, longer file at the place of a file that is fetched whole is replaced; one that keeps a
        // chunk is cut to its length.
        QVERIFY(QDir(folder->path()).mkpath("sub/dir"));
        QFile old(pathOf("one.bin"));
        QVERIFY(old.open(QIODevice::WriteOnly));
        old.write(firstChunkKept ? first.left(1000) + QByteArray(50000, 'o') : QByteArray(50000, 'o'));
        old.close();

        auto downloader = makeDownloader(concurrency);
        const TOutcome outcome = run(*downloader, files);
        QCOMPARE(outcome.failed, 0);
        QCOMPARE(outcome.completed, 1);
        QCOMPARE(readFile(pathOf("one.bin")), first);
        QCOMPARE(readFile(pathOf("sub/dir/two.bin")), second);
        QVERIFY(QFileInfo(pathOf("sub/dir/two.bin")).permissions().testFlag(QFileDevice::ExeOther));
        QVERIFY(!QFileInfo(pathOf("one.bin")).permissions().testFlag(QFileDevice::ExeOwner));

        const TFileSize total = TFileSize(first.size() + second.size() - (firstChunkKept ? 1000 : 0));
        QCOMPARE(outcome.lastProgress.size(), 4);
        QCOMPARE(outcome.lastProgress[2].value<TFileSize>(), total);
        QCOMPARE(outcome.lastProgress[3].value<TFileSize>(), total);
        QCOMPARE(outcome.lastProgress[0].value<TFileSize>(), outcome.lastProgress[1].value<TFileSize>());
        QCOMPARE(downloader->getBytesDownloaded(), downloader->getBytesTotalToDownload());
        QCOMPARE(downloader->getDownloadStatistics().sampleCount, 0u);
        // Every cached copy was released once its last place was written.
        for (const TFileToDownload& file : files)
            for (const TChunkInPackage& chunk : file.chunks)
                QCOMPARE(downloader->getPendingUseCount(chunk.unpackedHash), 0);
        QCOMPARE(QFileInfo::exists(pathOf("one.bin.log")), chunkVerification);
        if (chunkVerification) {
            const QList<QByteArray> lines = readFile(pathOf("one.bin.log")).split('\n');
            QVERIFY(lines.contains("0: write succeeded"));
            QVERIFY(lines.contains("1000: write tmp file correct") || lines.contains("1000: write cache correct"));
        }
    }

    void newFileTakesChunksAsTheyArrive()
    {
        // A new file has nothing to keep between its chunks: a late first chunk holds up nothing behind
        // it, and nothing waits in the cache for it.
        const QByteArray data = content(40 * 1000, 3);
        const TFileToDownload file = servedFile("new.bin", data, 1000);
        server->setScript(file.chunks.front().url.path(), { TResponse::delayed(3000) });
        auto downloader = makeDownloader(4);
        QSignalSpy progress(downloader.get(), &TPackageFileDownloader::progress);
        downloader->downloadFiles(QDir(folder->path()), 0, { file });
        const TFileSize behindFirst = TFileSize(data.size() - 1000);
        QTRY_VERIFY_WITH_TIMEOUT(!progress.isEmpty() && progress.last()[2].value<TFileSize>() == behindFirst, 2500);
        QCOMPARE(downloader->getPendingUseCount(file.chunks.front().unpackedHash), 1);
        QCOMPARE(downloader->getPendingUseCount(file.chunks.back().unpackedHash), 0);

        QSignalSpy completed(downloader.get(), &TPackageFileDownloader::downloadCompleted);
        QVERIFY(completed.wait(5000));
        QCOMPARE(readFile(pathOf("new.bin")), data);
    }

    void chunkNeededByThreeFiles()
    {
        const QByteArray x = content(3000, 7), y = content(2000, 8);
        const QString xPath = "/c/x", yPath = "/c/y";
        server->setBody(xPath, packBody(x, EPacking::Deflate));
        server->setBody(yPath, packBody(y, EPacking::Deflate));
        server->setScript(yPath, { TResponse::delayed(300) }); // the gap in front of x in "behind"
        const TChunkInPackage cx = chunkOf(x, server->url(xPath), 1), cy = chunkOf(y, server->url(yPath), 1);
        const std::vector<TFileToDownload> files { fileOf("front", x, { cx }), fileOf("behind", y + x, { cy, cx }),
            fileOf("twice", x + x, { cx, cx }) };

        auto downloader = makeDownloader(4);
        const TOutcome outcome = run(*downloader, files);
        QCOMPARE(outcome.completed, 1);
        QCOMPARE(readFile(pathOf("front")), x);
        QCOMPARE(readFile(pathOf("behind")), y + x);
        QCOMPARE(readFile(pathOf("twice")), x + x);
        QCOMPARE(server->requestCount(xPath), 1);
        // Bytes written count each URL once, however many places it fills.
        QCOMPARE(outcome.lastProgress[2].value<TFileSize>(), TFileSize(x.size() + y.size()));
        QCOMPARE(outcome.lastProgress[3].value<TFileSize>(), TFileSize(x.size() + y.size()));
        QCOMPARE(downloader->getPendingUseCount(shared::TSha256::hash(x)), 0);
    }

    void faults_data()
    {
        QTest::addColumn<TScript>("script");
        QTest::addColumn<int>("retries");
        QTest::addColumn<bool>("succeeds");
        QTest::addColumn<int>("requests");

        const QByteArray middle = content(1000, 11);
        QTest::newRow("corrupted three times, then right")
            << korvane::test::firstRequests(3, TResponse::corrupted()) << 0 << true << 4;
        QTest::newRow("corrupted four times")
            << korvane::test::firstRequests(4, TResponse::corrupted()) << 0 << false << 4;
        QTest::newRow("dropped connection") << TScript { TResponse::dropped(10) } << 1 << false << 2;
        QTest::newRow("dropped once, then right")
            << korvane::test::firstRequests(1, TResponse::dropped(10)) << 1 << true << 2;
        TResponse stall;
        stall.stallAfterBytes = 10;
        stall.stallMs = 3000;
        QTest::newRow("stall past the transport time-out") << TScript { stall } << 0 << false << 1;
        QTest::newRow("not found") << TScript { TResponse::withStatus(404) } << 0 << false << 1;

        // Unpack failures are never retried.
        TResponse badHeader;
        badHeader.body = packedBuffer(ECodecId::MINIZ, 1000, QByteArray(10, '\x01')).left(8);
        QTest::newRow("packed header claiming a payload past the body") << TScript { badHeader } << 0 << false << 1;
        TResponse undecodable;
        undecodable.body = packedBuffer(ECodecId::MINIZ, 1000, QByteArray(200, '\xff'));
        QTest::newRow("payload that does not inflate") << TScript { undecodable } << 0 << false << 1;
        TResponse oversized;
        oversized.body = packedBuffer(ECodecId::MINIZ, 1000 * 1000, rawDeflate(middle + QByteArray(999000, 'q')));
        QTest::newRow("header claiming more than the chunk") << TScript { oversized } << 0 << false << 1;
        TResponse endless;
        endless.body = QByteArray(3 * 1024 * 1024, 'e');
        QTest::newRow("reply far past the chunk's size") << TScript { endless } << 0 << false << 1;
    }

    void faults()
    {
        QFETCH(TScript, script);
        QFETCH(int, retries);
        QFETCH(bool, succeeds);
        QFETCH(int, requests);
        settings().retries = retries;
        settings().chunkTransportTimeOut = 500;

        // Raw packed buffers: a flipped byte gets through the unpack step and is caught by the check.
        const QByteArray data = content(1000, 10) + content(1000, 11) + content(1000, 12);
        const std::vector<TFileToDownload> files { servedFile("file.bin", data, 1000, EPacking::Raw) };
        const QString faulty = files[0].chunks[1].url.path();
        server->setScript(faulty, script);

        auto downloader = makeDownloader(2);
        const TOutcome outcome = run(*downloader, files);
        QCOMPARE(outcome.completed + outcome.failed, 1);
        QCOMPARE(outcome.completed == 1, succeeds);
        if (succeeds)
            QCOMPARE(readFile(pathOf("file.bin")), data);
        else
            QCOMPARE(outcome.reason, int(EPackageDownloaderError::DownloadFailed));
        QCOMPARE(server->requestCount(faulty), requests);
        // The other chunks still went their way.
        QCOMPARE(server->requestCount(files[0].chunks[2].url.path()), 1);
    }

    void rawChunkThatLooksPacked()
    {
        // Starts like a packed buffer with codec 5; about one raw chunk in a few thousand does.
        const QByteArray data = QByteArray("\x00\x70\x05\x20\x08", 5) + content(2000, 3);
        const QByteArray packedToo
            = packedBuffer(ECodecId::RAW, 3, QByteArray("abc")); // unpacks, but to the wrong bytes
        std::vector<TFileToDownload> files { servedFile("a.bin", data, 4096, EPacking::None),
            servedFile("b.bin", packedToo, 4096, EPacking::None) };
        for (TFileToDownload& file : files)
            file.chunks[0].unpack = true;
        auto downloader = makeDownloader(2);
        const TOutcome outcome = run(*downloader, files);
        QCOMPARE(outcome.completed, 1);
        QCOMPARE(readFile(pathOf("a.bin")), data);
        QCOMPARE(readFile(pathOf("b.bin")), packedToo);
        QCOMPARE(server->requestCount(), 2);
    }

    void unpackFalseKeepsBodyAsReceived()
    {
        const QByteArray data = packedBuffer(ECodecId::RAW, 4, QByteArray("wxyz"));
        const std::vector<TFileToDownload> files { servedFile("p.bin", data, 4096, EPacking::None) };
        QVERIFY(!files[0].chunks[0].unpack);
        auto downloader = makeDownloader(1);
        QCOMPARE(run(*downloader, files).completed, 1);
        QCOMPARE(readFile(pathOf("p.bin")), data);
    }

    void concurrencyStaysWithinLimit()
    {
        const QByteArray data = content(25 * 500, 4);
        const std::vector<TFileToDownload> files { servedFile("many.bin", data, 500) };
        for (const TChunkInPackage& chunk : files[0].chunks)
            server->setScript(chunk.url.path(), { TResponse::delayed(30) });
        auto downloader = makeDownloader(3);
        const TOutcome outcome = run(*downloader, files);
        QCOMPARE(outcome.completed, 1);
        // At least 250 ms of requests: the 100 ms tick reported on the way.
        QVERIFY(outcome.progressCount >= 3);
        QCOMPARE(readFile(pathOf("many.bin")), data);
        QCOMPARE(server->requestCount(), 25);
        QVERIFY(server->maxConcurrentRequests() <= 3);
        QVERIFY(server->maxConcurrentRequests() >= 2);
    }

    void slotIsGivenBackWhenTheBodyHasArrived_data()
    {
        QTest::addColumn<int>("maxCachedChunks");
        QTest::addColumn<int>("requestsWhileWriterBlocked");
        QTest::newRow("bodies may wait for the workers") << 100 << 4;
        QTest::newRow("two bodies may wait") << 2 << 3;
        QTest::newRow("none may wait: the slot is held through the save") << 0 << 1;
    }

    void slotIsGivenBackWhenTheBodyHasArrived()
    {
        QFETCH(int, maxCachedChunks);
        QFETCH(int, requestsWhileWriterBlocked);
        settings().maxCachedChunks = maxCachedChunks;
        const QByteArray data = content(4 * 1000, 60);
        const std::vector<TFileToDownload> files { servedFile("slots.bin", data, 1000) };
        auto downloader = makeDownloader(1);
        QSignalSpy completed(downloader.get(), &TPackageFileDownloader::downloadCompleted);
        downloader->downloadFiles(QDir(folder->path()), 0, files);
        // The writer is kept out of the file, so every body that arrived stays with the workers.
        TChunkedFileState& state = *downloader->getDownloadQueue().front().files.front();
        state.mutex.lock();
        auto unlock = qScopeGuard([&] { state.mutex.unlock(); });
        QElapsedTimer timer;
        timer.start();
        while (server->requestCount() < requestsWhileWriterBlocked && timer.elapsed() < 5000)
            QTest::qWait(5);
        QTest::qWait(100); // a request past the bound would show here
        QCOMPARE(server->requestCount(), requestsWhileWriterBlocked);
        QCOMPARE(server->maxConcurrentRequests(), 1);
        unlock.dismiss();
        state.mutex.unlock();
        QTRY_COMPARE_WITH_TIMEOUT(completed.count(), 1, 10000);
        QCOMPARE(readFile(pathOf("slots.bin")), data);
        QCOMPARE(server->requestCount(), 4);
    }

    void failureReasons_data()
    {
        QTest::addColumn<bool>("alsoDownloadFailure");
        QTest::addColumn<int>("reason");
        QTest::newRow("only a save fails") << false << int(EPackageDownloaderError::SavingFailed);
        QTest::newRow("a save and a download fail") << true << int(EPackageDownloaderError::DownloadFailed);
    }

    void failureReasons()
    {
        QFETCH(bool, alsoDownloadFailure);
        QFETCH(int, reason);
        std::vector<TFileToDownload> files { servedFile("good.bin", content(2000, 5), 1000),
            servedFile("../escapes.bin", content(1000, 6), 1000, EPacking::Deflate, "/e/") };
        if (alsoDownloadFailure)
            server->setScript(files[0].chunks[1].url.path(), { TResponse::withStatus(404) });
        auto downloader = makeDownloader(2);
        const TOutcome outcome = run(*downloader, files);
        QCOMPARE(outcome.completed, 0);
        QCOMPARE(outcome.failed, 1);
        QCOMPARE(outcome.reason, reason);
        QVERIFY(!QFileInfo::exists(QDir(folder->path()).absoluteFilePath("../escapes.bin")));
        // A failed run writes less than it planned.
        QVERIFY(outcome.lastProgress[2].value<TFileSize>() < outcome.lastProgress[3].value<TFileSize>());
    }

    void writerFailuresAreSavingFailures_data()
    {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<int>("missingIndex");
        QTest::addColumn<QString>("error");
        // A missing index of -1: the file is new, every chunk is fetched.
        QTest::newRow("write refused") << "size limit" << 0 << "couldn't write chunk file";
        QTest::newRow("write refused, new file") << "size limit" << -1 << "couldn't write chunk file";
        QTest::newRow("seek refused") << "full" << 1 << "couldn't seek in target file";
        QTest::newRow("chunk table longer than the file") << "long" << 1 << "chunk lies outside the file";
        QTest::newRow("chunk table longer than a new file") << "long" << -1 << "chunk lies outside the file";
        QTest::newRow("target that cannot be opened") << "folder" << 1 << "couldn't open target file";
    }

    void writerFailuresAreSavingFailures()
    {
        QFETCH(QString, fault);
        QFETCH(int, missingIndex);
        QFETCH(QString, error);
        const QByteArray a = content(1000, 50), b = content(1000, 51);
        TFileToDownload file = servedFile("target.bin", a + b, 1000);
        // Only one chunk is missing, so the existing target is kept and written into.
        if (missingIndex >= 0)
            file.chunkIndicesToDownload = { missingIndex };
        // A pipe opens for writing but cannot seek. (A link to /dev/full would now be replaced by a
        // real file, as every link planted in an installation folder is.)
        if (fault == "full")
            QCOMPARE(::mkfifo(QFile::encodeName(pathOf("target.bin")).constData(), 0600), 0);
        else if (fault == "folder")
            QVERIFY(QDir(folder->path()).mkdir("target.bin"));
        else if (fault == "long")
            file.unpackedSize = 1500;
        // Files of this process may not grow past 500 bytes, so the first write comes up short.
        rlimit previousLimit {};
        getrlimit(RLIMIT_FSIZE, &previousLimit);
        if (fault == "size limit") {
            std::signal(SIGXFSZ, SIG_IGN);
            rlimit limit = previousLimit;
            limit.rlim_cur = 500;
            QCOMPARE(setrlimit(RLIMIT_FSIZE, &limit), 0);
        }
        const auto restoreLimit = qScopeGuard([&] { setrlimit(RLIMIT_FSIZE, &previousLimit); });
        auto downloader = makeDownloader(1);
        QTest::ignoreMessage(
            QtWarningMsg, QRegularExpression("Failed to save file .*" + QRegularExpression::escape(error)));
        const TOutcome outcome = run(*downloader, { file });
        QCOMPARE(outcome.completed, 0);
        QCOMPARE(outcome.reason, int(EPackageDownloaderError::SavingFailed));
    }

    void urlListedWithTwoHashesIsNotASuccess()
    {
        const QByteArray right = content(1000, 20), other = content(1000, 21);
        const QString path = "/c/same";
        server->setBody(path, right);
        const std::vector<TFileToDownload> files { fileOf(
                                                       "a", right, { chunkOf(right, server->url(path), 1000, false) }),
            fileOf("b", other, { chunkOf(other, server->url(path), 1000, false) }) };
        auto downloader = makeDownloader(2);
        const TOutcome outcome = run(*downloader, files);
        QCOMPARE(outcome.completed, 0);
        QCOMPARE(outcome.reason, int(EPackageDownloaderError::SavingFailed));
        QCOMPARE(readFile(pathOf("a")), right);
    }

    void partialUpdateKeepsOtherChunks()
    {
        settings().chunkVerification = true;
        const QByteArray a = content(1000, 30), b = content(1000, 31), c = content(500, 32);
        TFileToDownload file = servedFile("part.bin", a + b + c, 1000);
        file.chunkIndicesToDownload = { 1 };
        QFile existing(pathOf("part.bin"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write(a + QByteArray(1000, '?') + c);
        existing.close();

        auto downloader = makeDownloader(2);
        QCOMPARE(run(*downloader, { file }).completed, 1);
        QCOMPARE(readFile(pathOf("part.bin")), a + b + c);
        QCOMPARE(server->requestCount(), 1);
        QCOMPARE(readFile(pathOf("part.bin.log")), QByteArray("0: check succeeded\n1000: write succeeded\n"));
    }

    void chunkVerificationRefusesBadKeptChunk()
    {
        settings().chunkVerification = true;
        const QByteArray a = content(1000, 33), b = content(1000, 34);
        TFileToDownload file = servedFile("kept.bin", a + b, 1000);
        file.chunkIndicesToDownload = { 1 };
        QFile existing(pathOf("kept.bin"));
        QVERIFY(existing.open(QIODevice::WriteOnly));
        existing.write(QByteArray(1000, '!') + QByteArray(1000, '?')); // the kept chunk is not what it should be
        existing.close();

        auto downloader = makeDownloader(1);
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Failed to save file .*invalid hash"));
        const TOutcome outcome = run(*downloader, { file });
        QCOMPARE(outcome.reason, int(EPackageDownloaderError::SavingFailed));
        QCOMPARE(readFile(pathOf("kept.bin.log")), QByteArray("0: check failed\n"));
    }

    void destroyedWhileRunning()
    {
        const std::vector<TFileToDownload> files { servedFile("big.bin", content(200 * 1000, 40), 1000) };
        auto downloader = makeDownloader(8);
        downloader->downloadFiles(QDir(folder->path()), 0, files);
        QTest::qWait(30);
        downloader.reset(); // waits for its tasks instead of leaving them a dangling pointer
        QTest::qWait(50);
    }
};

} // namespace

QTEST_GUILESS_MAIN(TestPackageFileDownloader)
#include "tst_packagefiledownloader.moc"
