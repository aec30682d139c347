// Scan of an unchanged installation against single-threaded sha256sum over the same files, and the
// reuse figures of an update scan. Everything lives in one temporary folder that is removed at the end.

#include "core/launcherfilesystemhelper.h"
#include "installation/contentdefinedchunker.h"
#include "installation/inplacerearranger.h"
#include "installation/installationscan.h"
#include "installation/piecematcher.h"
#include "shared/sha256.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <cstdio>
#include <cstring>

using namespace korvane::launcher;

namespace {

constexpr qint64 KiB = 1024;
constexpr qint64 MiB = 1024 * KiB;

void fillRandom(QByteArray& data, std::uint64_t seed)
{
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (qsizetype i = 0; i < data.size(); i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(data.data() + i, &x, size_t(std::min<qsizetype>(8, data.size() - i)));
    }
}

// Cuts data the way the server side does and appends the file with its chunks to the configuration.
void addFile(TPackageConfigurationReader& configuration, const QString& name, const QByteArray& data)
{
    TFileInPackage file;
    file.localFile = name;
    file.unpackedSize = quint64(data.size());
    file.unpackedHash = shared::TSha256::hash(data);
    qsizetype offset = 0;
    while (offset < data.size()) {
        const std::size_t length = TContentDefinedChunker::nextPieceLength(
            reinterpret_cast<const unsigned char*>(data.constData()) + offset, std::size_t(data.size() - offset));
        TChunkInPackage chunk;
        chunk.unpackedSize = length;
        chunk.unpackedHash = shared::TSha256::hash(data.constData() + offset, length);
        chunk.url = QUrl("https://cdn.example/" + QString::fromLatin1(chunk.unpackedHash.toHex()));
        file.chunkIndices.push_back(int(configuration.chunks.size()));
        configuration.chunks.push_back(chunk);
        offset += qsizetype(length);
    }
    configuration.files.push_back(file);
}

bool writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

void readAll(const QStringList& paths)
{
    QByteArray block(8 * MiB, Qt::Uninitialized);
    for (const QString& path : paths) {
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            while (file.read(block.data(), block.size()) > 0) { }
    }
}

qint64 peakKiB()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmHWM:"))
            return line.mid(6).trimmed().split(' ').front().toLongLong();
    return -1;
}

qint64 currentKiB()
{
    QFile status("/proc/self/status");
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray& line : status.readAll().split('\n'))
        if (line.startsWith("VmRSS:"))
            return line.mid(6).trimmed().split(' ').front().toLongLong();
    return -1;
}

void resetPeak()
{
    QFile clear("/proc/self/clear_refs");
    if (clear.open(QIODevice::WriteOnly))
        clear.write("5");
}

double seconds(const QElapsedTimer& timer)
{
    return double(timer.nsecsElapsed()) / 1e9;
}

int unchangedScan(const QDir& folder, const std::shared_ptr<TLauncherFilesystemHelper>& helper)
{
    struct TGroup
    {
        int count;
        qint64 size;
    };
    const TGroup groups[] = { { 4, 200 * MiB }, { 6, 100 * MiB }, { 8, 50 * MiB }, { 20, 10 * MiB }, { 50, MiB },
        { 100, 64 * KiB }, { 200, KiB } };
    TPackageConfigurationReader configuration;
    QStringList paths;
    qint64 total = 0;
    std::uint64_t seed = 1;
    for (const TGroup& group : groups) {
        for (int i = 0; i < group.count; ++i) {
            QByteArray data(group.size + qint64(seed % 977), Qt::Uninitialized);
            fillRandom(data, seed++);
            const QString name = QString("data/f%1.bin").arg(seed);
            QDir().mkpath(folder.filePath("data"));
            if (!writeFile(folder.filePath(name), data))
                return 1;
            addFile(configuration, name, data);
            paths << folder.filePath(name);
            total += data.size();
        }
    }
    std::sort(configuration.files.begin(), configuration.files.end(), TFileInPackage::lessByLocalFile);
    configuration.valid = true;
    std::printf("unchanged installation: %lld files, %.2f GiB, %zu chunks\n", (long long)paths.size(),
        double(total) / double(1024 * MiB), configuration.chunks.size());

    readAll(paths); // page cache hot for both sides

    QElapsedTimer timer;
    timer.start();
    QProcess sha256sum;
    sha256sum.setStandardOutputFile(QProcess::nullDevice());
    sha256sum.start("sha256sum", paths);
    if (!sha256sum.waitForFinished(-1) || sha256sum.exitCode() != 0) {
        std::printf("sha256sum failed\n");
        return 1;
    }
    const double reference = seconds(timer);

    const qint64 before = currentKiB();
    resetPeak();
    timer.restart();
    const std::vector<TFileToDownload> result = TInstallationScan::filesThatNeedUpdate(
        configuration.files, configuration.chunks, {}, {}, false, folder, helper, 0, {});
    const double scan = seconds(timer);
    const qint64 peak = peakKiB();

    std::printf("  sha256sum (1 thread): %.2f s, %.0f MiB/s\n", reference, double(total) / MiB / reference);
    std::printf("  scan (6 workers)    : %.2f s, %.0f MiB/s, files to download: %zu\n", scan,
        double(total) / MiB / scan, result.size());
    std::printf("  ratio               : %.2fx (target >= 3x)\n", reference / scan);
    std::printf("  peak memory during scan: %.0f MiB above %.0f MiB before (limit 6 x 144 = 864 MiB)\n",
        double(peak - before) / 1024.0, double(before) / 1024.0);
    return result.empty() ? 0 : 1;
}

int updateScan(const QDir& folder, bool insert)
{
    const qint64 size = 1024 * MiB;
    QByteArray original(size, Qt::Uninitialized);
    fillRandom(original, 4242);
    const QString path = folder.filePath("big.bin");
    if (!writeFile(path, original))
        return 1;
    // 1 % of the file changed at 10 places spread over it, overwritten or inserted.
    const qint64 stretch = size / 100 / 10;
    QByteArray changed;
    changed.reserve(size + 10 * stretch);
    qint64 taken = 0;
    for (int place = 0; place < 10; ++place) {
        const qint64 at = (place * 2 + 1) * (size / 21);
        QByteArray noise(stretch, Qt::Uninitialized);
        fillRandom(noise, 900 + std::uint64_t(place));
        changed.append(original.constData() + taken, at - taken);
        changed.append(noise);
        taken = insert ? at : at + stretch;
    }
    changed.append(original.constData() + taken, size - taken);
    original = QByteArray();
    TPackageConfigurationReader next;
    addFile(next, "big.bin", changed);
    const TFileInPackage& file = next.files.front();
    TChunkInPackageVector chunks;
    for (int index : file.chunkIndices)
        chunks.push_back(next.chunks[std::size_t(index)]);

    readAll({ path });
    const qint64 before = currentKiB();
    resetPeak();
    QElapsedTimer timer;
    timer.start();
    // What a worker does with one file of several chunks, with its move figures.
    TPieceMatcher matcher(chunks, path);
    TContentDefinedChunker::chunkFile(path, [&](const unsigned char* data, std::size_t length) {
        matcher.matchPiece(shared::TSha256::hash(data, length), length);
    });
    const TInPlaceRearranger::TResult moved = TInPlaceRearranger::rearrange(path, matcher.matches(), file.unpackedSize);
    const double elapsed = seconds(timer);
    const qint64 peak = peakKiB();

    // Play the downloader and check that the file came out right.
    quint64 bytesToDownload = 0;
    {
        QFile target(path);
        if (!target.open(QIODevice::ReadWrite))
            return 1;
        for (int index : moved.chunkIndicesToDownload) {
            qint64 offset = 0;
            for (int i = 0; i < index; ++i)
                offset += qint64(chunks[std::size_t(i)].unpackedSize);
            const qint64 length = qint64(chunks[std::size_t(index)].unpackedSize);
            target.seek(offset);
            target.write(changed.constData() + offset, length);
            bytesToDownload += quint64(length);
        }
    }
    const bool correct = shared::TSha256::hashFile(path) == file.unpackedHash;
    std::printf("update scan of a 1 GiB file, 1 %% %s at 10 places: %.2f s, result %s\n",
        insert ? "inserted" : "overwritten", elapsed, correct ? "correct" : "WRONG");
    std::printf("  chunks: %zu, to download: %zu (%.1f MiB), bytes moved: %llu, through the temporary file: %llu\n",
        chunks.size(), moved.chunkIndicesToDownload.size(), double(bytesToDownload) / MiB,
        (unsigned long long)moved.bytesMoved, (unsigned long long)moved.bytesThroughTemporaryFile);
    std::printf(
        "  peak memory: %.0f MiB above %.0f MiB before\n", double(peak - before) / 1024.0, double(before) / 1024.0);
    QFile::remove(path);
    return correct ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext&, const QString& message) {
        if (type != QtInfoMsg && type != QtDebugMsg)
            std::fprintf(stderr, "%s\n", qPrintable(message));
    });
    QTemporaryDir temporary(QDir::temp().filePath("bench_scan-XXXXXX"));
    if (!temporary.isValid())
        return 1;
    const QDir folder(temporary.path());
    const auto helper = std::make_shared<TLauncherFilesystemHelper>();
    int failures = unchangedScan(folder, helper);
    QDir(folder.filePath("data")).removeRecursively();
    failures += updateScan(folder, false);
    failures += updateScan(folder, true);
    return failures == 0 ? 0 : 1;
}
