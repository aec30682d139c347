#include "installation/installationscan.h"

#include "installation/contentdefinedchunker.h"
#include "installation/inplacerearranger.h"
#include "installation/packagefiledownloader.h"
#include "installation/piecematcher.h"
#include "shared/sha256.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QFuture>
#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentMap>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <exception>
#include <numeric>
#include <stdexcept>

namespace korvane::launcher {

namespace {

struct TScanState
{
    const TFileInPackageVector* files = nullptr;
    std::vector<std::size_t> queue; // indices into files
    std::vector<QString> paths; // of the files, inside the installation folder
    std::vector<char> absent; // nothing was at a file's path when the scan began
    std::size_t next = 0;
    bool failed = false;
    QMutex mutex;
    TFileSize bytesScanned = 0;
    TFileSize bytesToScan = 0;
    bool reported = false;
    TFileInPackageVector oldFiles;
    TChunkInPackageVector oldChunks;
    const TChunkInPackageVector* newChunks = nullptr;
    QDir installationDirectory;
    std::shared_ptr<TLauncherFilesystemHelper> helper;
    int installationMode = 0;
    TInstallationScan::TProgress progress;
};

struct TWorkerResult
{
    QList<TFileToDownload> files;
    QString errorText;
};

void addScanned(TScanState& state, TFileSize bytes)
{
    QMutexLocker lock(&state.mutex);
    // A report that adds nothing repeats the last one. Each report wakes the window's thread while the
    // lock is held, and a first installation would send one for each of its thousands of files.
    if (bytes == 0 && state.reported)
        return;
    state.reported = true;
    state.bytesScanned += bytes;
    if (state.progress)
        state.progress(state.bytesScanned, state.bytesToScan);
}

// Clears the way for a file that is fetched anew. In the self-update mode the file may belong to the
// running launcher and stays where it is: the new one is written under a temporary name and renamed
// over it once it is complete.
void clearPath(TScanState& state, const QString& path)
{
    if (state.installationMode == SelfUpdateInstallationMode)
        return;
    try {
        state.helper->removeBelow(state.installationDirectory, path);
    } catch (const std::runtime_error& e) {
        // The writer removes it again before its first write, and fails the file there.
        qWarning() << "could not remove " << path << ": " << e.what();
    }
}

void takeWholeFile(const TFileInPackage& entry, TFileToDownload& record)
{
    if (!entry.wholeFile.url.isEmpty()) {
        record.chunks = { entry.wholeFile };
        record.patches.clear();
    }
    record.chunkIndicesToDownload.clear();
    for (std::size_t i = 0; i < record.chunks.size(); ++i)
        record.chunkIndicesToDownload.push_back(int(i));
}

void fetchWholeFile(TScanState& state, const TFileInPackage& entry, const QString& path, TFileToDownload& record)
{
    clearPath(state, path);
    takeWholeFile(entry, record);
}

// Through the worker's read buffer, whose pages are already mapped: a fresh block per file would have the
// kernel clear its pages again for every small file. Blocks of 1 MiB stay in the cache between the read
// and the hash.
QByteArray hashWholeFile(const QString& path, TContentDefinedChunker::TBuffer& buffer)
{
    constexpr qint64 blockSize = 1024 * 1024;
    static_assert(blockSize <= qint64(TContentDefinedChunker::bufferSize));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return {};
    char* const block = reinterpret_cast<char*>(buffer.data());
    shared::TSha256 sha;
    for (;;) {
        const qint64 count = file.read(block, blockSize);
        if (count < 0)
            return {};
        if (count == 0)
            break;
        sha.addData(block, std::size_t(count));
    }
    return sha.result();
}

void checkWholeFile(TScanState& state, TContentDefinedChunker::TBuffer& buffer, const TFileInPackage& entry,
    const QString& path, TFileToDownload& record)
{
    const QByteArray hash = hashWholeFile(path, buffer);
    const QFileInfo info(path);
    const qint64 size = info.isFile() ? info.size() : 0;
    addScanned(state, TFileSize(size));
    // An empty hash means the file could not be read; it never stands for content.
    if (!hash.isEmpty() && TFileSize(size) == entry.unpackedSize && hash == entry.unpackedHash) {
        qInfo() << "reuseable file found " << entry.localFile << " Thread: " << QThread::currentThreadId();
        return;
    }
    fetchWholeFile(state, entry, path, record);
}

// The installed configuration's word for a file is taken only while the file still has the size that
// configuration gave it, so a missing or cut file is read instead of being counted as present.
bool matchFromInstalledConfiguration(
    TScanState& state, const TFileInPackage& entry, const QString& path, TPieceMatcher& matcher)
{
    const auto old = state.oldFiles.find(entry.localFile);
    if (old == state.oldFiles.end() || old->chunkIndices.size() <= 1)
        return false;
    const QFileInfo info(path);
    if (!info.isFile() || TFileSize(info.size()) != old->unpackedSize)
        return false;
    for (int index : old->chunkIndices) {
        if (index < 0 || std::size_t(index) >= state.oldChunks.size())
            return false;
    }
    for (int index : old->chunkIndices) {
        const TChunkInPackage& chunk = state.oldChunks[std::size_t(index)];
        addScanned(state, chunk.unpackedSize);
        matcher.matchPiece(chunk.unpackedHash, chunk.unpackedSize);
    }
    return true;
}

void checkChunkedFile(TScanState& state, TContentDefinedChunker::TBuffer& buffer, const TFileInPackage& entry,
    const QString& path, TFileToDownload& record)
{
    TPieceMatcher matcher(record.chunks, path);
    if (!matchFromInstalledConfiguration(state, entry, path, matcher)) {
        // A read failure part way leaves the pieces before it matched; the rest is simply not found.
        TContentDefinedChunker::chunkFile(
            path,
            [&](const unsigned char* data, std::size_t length) {
                const QByteArray hash = shared::TSha256::hash(data, length);
                addScanned(state, length);
                matcher.matchPiece(hash, length);
            },
            &buffer);
    }
    if (!matcher.found()) {
        fetchWholeFile(state, entry, path, record);
        return;
    }
    std::vector<TChunkMatch>& matches = matcher.matches();
    if (state.installationMode == SelfUpdateInstallationMode) {
        const QFileInfo info(path);
        const bool untouched = std::all_of(matches.begin(), matches.end(), [](const TChunkMatch& m) {
            return m.state == EChunkMatchState::FoundInPlace;
        }) && TFileSize(info.size()) == entry.unpackedSize;
        if (!untouched)
            fetchWholeFile(state, entry, path, record);
        return;
    }
    const TInPlaceRearranger::TResult result
        = TInPlaceRearranger::rearrange(path, matches, entry.unpackedSize, QString(), [&state, &path](QFile& target) {
              try {
                  state.helper->openFileBelow(
                      state.installationDirectory, path, target, QIODevice::ReadWrite | QIODevice::Unbuffered);
              } catch (const std::runtime_error& e) {
                  qWarning() << "rearrange: " << e.what();
              }
              return target.isOpen();
          });
    if (result.fetchWholeFile)
        fetchWholeFile(state, entry, path, record);
    else
        record.chunkIndicesToDownload = result.chunkIndicesToDownload;
}

void handleEntry(
    TScanState& state, TContentDefinedChunker::TBuffer& buffer, std::size_t fileIndex, QList<TFileToDownload>& out)
{
    const TFileInPackage& entry = (*state.files)[fileIndex];
    const QString& path = state.paths[fileIndex];
    TFileToDownload record;
    record.localFile = entry.localFile;
    record.unpackedSize = entry.unpackedSize;
    record.unpackedHash = entry.unpackedHash;
    record.executable = entry.executable;
    record.patches = entry.patches;
    record.chunks.reserve(entry.chunkIndices.size());
    for (int index : entry.chunkIndices) {
        if (index < 0 || std::size_t(index) >= state.newChunks->size())
            throw std::runtime_error(QStringLiteral("Chunk index %1 of file '%2' is out of range.")
                                         .arg(index)
                                         .arg(entry.localFile)
                                         .toStdString());
        record.chunks.push_back((*state.newChunks)[std::size_t(index)]);
    }
    if (state.absent[fileIndex]) {
        // Nothing to read or to clear away: reported as a missing file is, and fetched whole.
        if (entry.chunkIndices.size() <= 1)
            addScanned(state, 0);
        takeWholeFile(entry, record);
    } else if (entry.chunkIndices.size() <= 1)
        checkWholeFile(state, buffer, entry, path, record);
    else
        checkChunkedFile(state, buffer, entry, path, record);
    out.append(std::move(record));
}

TWorkerResult runWorker(TScanState& state)
{
    TWorkerResult result;
    TContentDefinedChunker::TBuffer buffer; // serves every file this worker chunks
    try {
        for (;;) {
            std::size_t index = 0;
            {
                QMutexLocker lock(&state.mutex);
                if (state.failed || state.next >= state.queue.size())
                    return result;
                index = state.queue[state.next++];
            }
            handleEntry(state, buffer, index, result.files);
        }
    } catch (const std::exception& e) {
        result.errorText = QString::fromUtf8(e.what());
    } catch (...) {
        result.errorText = QStringLiteral("unknown exception");
    }
    qCritical() << "installation scan worker failed: " << result.errorText << " Thread: " << QThread::currentThreadId();
    QMutexLocker lock(&state.mutex);
    state.failed = true; // the others stop taking files
    return result;
}

} // namespace

std::vector<TFileToDownload> TInstallationScan::filesThatNeedUpdate(const TFileInPackageVector& newFiles,
    const TChunkInPackageVector& newChunks, const TFileInPackageVector& oldFiles,
    const TChunkInPackageVector& oldChunks, bool fastScan, const QDir& installationDirectory,
    const std::shared_ptr<TLauncherFilesystemHelper>& helper, int installationMode, const TProgress& progress)
{
    TScanState state;
    state.newChunks = &newChunks;
    state.installationDirectory = installationDirectory;
    state.helper = helper;
    state.installationMode = installationMode;
    state.progress = progress;
    // A link where the package keeps a file, or on the way to it, is removed before anything reads
    // through it: the file then counts as absent and is fetched into a real file. Each look costs a few
    // system calls and a package has thousands of files, so they are looked at side by side; the first
    // failure in file order fails the scan.
    std::vector<std::size_t> order(newFiles.size());
    std::iota(order.begin(), order.end(), std::size_t(0));
    std::vector<TFileSize> sizes(newFiles.size(), 0);
    state.paths.resize(newFiles.size());
    state.absent.assign(newFiles.size(), 0);
    std::vector<std::exception_ptr> failures(newFiles.size());
    QtConcurrent::blockingMap(order, [&](std::size_t i) {
        try {
            const QString& path = state.paths[i]
                = helper->pathInsideFolder(installationDirectory, newFiles[i].localFile);
            helper->removeLinksBelow(installationDirectory, path);
            const QFileInfo info(path);
            if (info.isFile())
                sizes[i] = TFileSize(info.size());
            state.absent[i] = !info.exists();
        } catch (...) {
            failures[i] = std::current_exception();
        }
    });
    for (std::size_t i = 0; i < newFiles.size(); ++i) {
        if (failures[i])
            std::rethrow_exception(failures[i]);
        state.bytesToScan += sizes[i];
    }
    state.files = &newFiles;
    state.queue = std::move(order);
    // Largest first, so that the workers finish close together.
    std::sort(state.queue.begin(), state.queue.end(),
        [&newFiles](std::size_t a, std::size_t b) { return newFiles[a].unpackedSize > newFiles[b].unpackedSize; });
    if (fastScan) {
        state.oldFiles = oldFiles;
        state.oldChunks = oldChunks;
    }

    std::vector<QFuture<TWorkerResult>> workers;
    for (int i = 0; i < workerCount; ++i)
        workers.push_back(QtConcurrent::run(QThreadPool::globalInstance(), [&state] { return runWorker(state); }));

    std::vector<TFileToDownload> result;
    QString errorText;
    for (QFuture<TWorkerResult>& worker : workers) {
        TWorkerResult done = worker.result();
        if (!done.errorText.isEmpty() && errorText.isEmpty())
            errorText = done.errorText;
        for (TFileToDownload& file : done.files) {
            if (!file.chunkIndicesToDownload.empty())
                result.push_back(std::move(file));
        }
    }
    if (!errorText.isEmpty())
        throw std::runtime_error(errorText.toStdString());
    return result;
}

TFileInPackageVector TInstallationScan::filesToDelete(const TFileInPackageVector& oldFiles,
    const TFileInPackageVector& newFiles, const QDir& installationDirectory,
    const std::shared_ptr<TLauncherFilesystemHelper>& helper)
{
    std::vector<const TFileInPackage*> gone;
    for (const TFileInPackage& file : oldFiles) {
        if (newFiles.find(file.localFile) == newFiles.end())
            gone.push_back(&file);
    }
    // Most updates remove nothing; the table below costs a few system calls' worth per file.
    if (gone.empty())
        return {};
    // Every path of the new configuration and every folder above it, up to the installation folder.
    const QString base = QDir::cleanPath(installationDirectory.absolutePath());
    QSet<QString> kept { base };
    for (const TFileInPackage& file : newFiles) {
        QString path;
        try {
            path = helper->pathInsideFolder(installationDirectory, file.localFile);
        } catch (const std::runtime_error&) {
            continue; // the scan itself refuses this name
        }
        while (path.size() > base.size() && !kept.contains(path)) {
            kept.insert(path);
            path = QFileInfo(path).path();
        }
    }
    TFileInPackageVector result;
    for (const TFileInPackage* file : gone) {
        QString path;
        try {
            path = helper->pathInsideFolder(installationDirectory, file->localFile);
        } catch (const std::runtime_error& e) {
            qWarning() << "not deleting " << file->localFile << ": " << e.what();
            continue;
        }
        if (kept.contains(path)) {
            qWarning() << "not deleting " << file->localFile << ": the new configuration still needs " << path;
            continue;
        }
        result.push_back(*file);
    }
    return result;
}

TPackageDifference TInstallationScan::requiredChanges(const TPackageConfigurationReader& newConfiguration,
    const TPackageConfigurationReader& installedConfiguration, bool fastScan, const QDir& installationDirectory,
    const std::shared_ptr<TLauncherFilesystemHelper>& helper, int installationMode, const TProgress& progress)
{
    TPackageDifference changes;
    changes.filesToDelete
        = filesToDelete(installedConfiguration.files, newConfiguration.files, installationDirectory, helper);
    changes.filesToDownload
        = filesThatNeedUpdate(newConfiguration.files, newConfiguration.chunks, installedConfiguration.files,
            installedConfiguration.chunks, fastScan, installationDirectory, helper, installationMode, progress);
    return changes;
}

} // namespace korvane::launcher
