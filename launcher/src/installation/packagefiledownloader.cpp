#include "installation/packagefiledownloader.h"

#include "installation/selfupdatefiles.h"

#include "packbuf/packbuf.h"
#include "shared/decompressionerror.h"
#include "shared/downloadpool.h"
#include "shared/filesystemhelper.h"
#include "shared/sha256.h"

#include <QDebug>
#include <QFileInfo>
#include <QFuture>
#include <QMutexLocker>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>

#include <unistd.h>

namespace korvane::launcher {

namespace {

using TBytesResult = TPackageFileDownloader::TTaskResult<QByteArray>;

constexpr quint64 noOffset = std::numeric_limits<quint64>::max();

// Runs a task body so that every exception becomes the result's error text.
template<typename T, typename Body> TPackageFileDownloader::TTaskResult<T> runTask(Body&& body)
{
    TPackageFileDownloader::TTaskResult<T> result;
    try {
        result.value = body();
    } catch (const std::exception& e) {
        result = {};
        result.errorMessage = QString::fromUtf8(e.what());
    } catch (...) {
        result = {};
        result.errorMessage = QStringLiteral("unknown exception");
    }
    return result;
}

// A reply far longer than the chunk can only be a fault; it is refused before it fills memory.
quint64 replyLimit(const TDownloadEntry& entry)
{
    const quint64 expected = std::max(entry.packedSize, entry.unpackedSize);
    constexpr quint64 slack = quint64(1) << 20;
    if (expected > (std::numeric_limits<quint64>::max() - slack) / 2)
        return std::numeric_limits<quint64>::max();
    return expected * 2 + slack;
}

QByteArray decompressDownloadedData(const TDownloadEntry& entry, const QByteArray& data)
{
    qDebug() << "decompressDownloadedData " << entry.url << "started";
    QByteArray result = data;
    if (packbuf::hasPackedHeader(data.constData(), std::size_t(data.size()))) {
        std::string unpacked;
        // The header's length comes from the network: never unpack more than the chunk can hold.
        if (packbuf::unpackString(
                std::string(data.constData(), std::size_t(data.size())), unpacked, entry.unpackedSize)) {
            result = QByteArray(unpacked.data(), qsizetype(unpacked.size()));
        } else if (shared::TSha256::hash(data) != entry.unpackedHash) {
            // A raw chunk may begin like a packed header by chance; only its own hash tells.
            throw shared::TDecompressionError("Invalid input data could not be decompressed");
        }
    }
    qDebug() << "decompressDownloadedData " << entry.url << "finished";
    return result;
}

QByteArray verifyDownloadedData(const TDownloadEntry& entry, const QByteArray& data, const QByteArray& receivedBody)
{
    qDebug() << "verifyDownloadedData " << entry.url << "started";
    if (shared::TSha256::hash(data) != entry.unpackedHash) {
        // The received body itself may be the chunk when it only looked packed.
        if (!receivedBody.isNull() && receivedBody != data
            && shared::TSha256::hash(receivedBody) == entry.unpackedHash) {
            qDebug() << "verifyDownloadedData " << entry.url << "finished";
            return receivedBody;
        }
        qInfo() << "saveDownloadedData failed: invalid hash";
        throw std::runtime_error(
            QStringLiteral("verify of url '%1' failed").arg(entry.url.toString(QUrl::FullyEncoded)).toStdString());
    }
    qDebug() << "verifyDownloadedData " << entry.url << "finished";
    return data;
}

void appendLogLine(QFile& log, quint64 offset, const char* text)
{
    if (log.isOpen())
        log.write(QByteArray::number(offset) + text + '\n');
}

} // namespace

TPackageFileDownloader::TPackageFileDownloader(
    std::shared_ptr<shared::TDownloadPool> pool, std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper)
    : DownloadPool(std::move(pool))
    , FilesystemHelper(std::move(filesystemHelper))
{
    registerInstallationMetaTypes();
    ProgressTimer.setInterval(100);
    connect(DownloadPool.get(), &shared::TDownloadPool::success, this, &TPackageFileDownloader::onDownloadCompleted);
    connect(DownloadPool.get(), &shared::TDownloadPool::failed, this, &TPackageFileDownloader::onDownloadFailed);
    connect(DownloadPool.get(), &shared::TDownloadPool::progress, this,
        [this](const QUrl& url, qint64 bytes) { onDownloadProgress(url, TFileSize(std::max<qint64>(bytes, 0))); });
    connect(this, &TPackageFileDownloader::writeProgress, this, &TPackageFileDownloader::onWriteProgress,
        Qt::QueuedConnection);
    connect(&ProgressTimer, &QTimer::timeout, this, &TPackageFileDownloader::onProgressTick);
}

TPackageFileDownloader::~TPackageFileDownloader()
{
    // Normally no task is left once the run has ended; one destroyed mid-run must not leave tasks that
    // write through a dangling pointer.
    const QHash<QUrl, QFuture<TChunkTaskResult>> tasks = std::exchange(RunningTasks, {});
    for (QFuture<TChunkTaskResult> task : tasks)
        task.waitForFinished();
}

void TPackageFileDownloader::buildDownloadQueue(const std::vector<TFileToDownload>& files)
{
    PendingChunks.clear();
    ChunksCachedInMemory = 0;
    FileStates.clear();

    std::map<QUrl, TDownloadEntry> entries;
    for (const TFileToDownload& input : files) {
        auto state = std::make_shared<TChunkedFileState>();
        state->localFile = input.localFile;
        state->unpackedSize = input.unpackedSize;
        state->unpackedHash = input.unpackedHash;
        state->executable = input.executable;
        state->patches = input.patches;
        state->chunks = input.chunks;
        state->outstandingChunkIndices.assign(input.chunkIndicesToDownload.begin(), input.chunkIndicesToDownload.end());
        try {
            state->targetFile.setFileName(
                targetPathFor(FilesystemHelper->pathInsideFolder(TargetDirectory, input.localFile)));
        } catch (const std::exception& e) {
            // The writer asks again and fails this file's chunks; the rest of the run goes on.
            qWarning() << "buildDownloadQueue: " << e.what();
        }
        FileStates.push_back(state);

        QSet<QByteArray> seenInFile;
        for (const int index : input.chunkIndicesToDownload) {
            if (index < 0 || std::size_t(index) >= input.chunks.size())
                continue; // never written, so the finish reports the file incomplete
            const TChunkInPackage& chunk = input.chunks[std::size_t(index)];
            std::shared_ptr<TPendingChunk>& record = PendingChunks[chunk.unpackedHash];
            if (!record)
                record = std::make_shared<TPendingChunk>();
            ++record->useCount;
            if (seenInFile.contains(chunk.unpackedHash))
                continue;
            seenInFile.insert(chunk.unpackedHash);
            auto found = entries.find(chunk.url);
            if (found == entries.end()) {
                TDownloadEntry entry;
                entry.url = chunk.url;
                entry.packedSize = chunk.packedSize;
                entry.packedHash = chunk.packedHash;
                entry.unpackedSize = chunk.unpackedSize;
                entry.unpackedHash = chunk.unpackedHash;
                entry.unpack = chunk.unpack;
                found = entries.emplace(chunk.url, std::move(entry)).first;
            }
            found->second.files.push_back(state);
        }
    }

    // Where each content first begins in each file, found in one pass per file: walking every file's
    // table once per entry would be quadratic in the number of chunks.
    std::map<const TChunkedFileState*, QHash<QByteArray, quint64>> firstOffsets;
    for (const auto& state : FileStates) {
        QHash<QByteArray, quint64>& offsets = firstOffsets[state.get()];
        quint64 offset = 0;
        for (const TChunkInPackage& chunk : state->chunks) {
            if (!offsets.contains(chunk.unpackedHash))
                offsets.insert(chunk.unpackedHash, offset);
            offset += chunk.unpackedSize;
        }
    }

    std::vector<std::pair<quint64, TDownloadEntry>> keyed;
    keyed.reserve(entries.size());
    for (auto& [url, entry] : entries) {
        quint64 key = noOffset;
        for (const auto& state : entry.files)
            key = std::min(key, firstOffsets[state.get()].value(entry.unpackedHash, noOffset));
        keyed.emplace_back(key, std::move(entry));
    }
    std::sort(keyed.begin(), keyed.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    DownloadQueue.reserve(DownloadQueue.size() + keyed.size());
    for (auto& [key, entry] : keyed)
        DownloadQueue.push_back(std::move(entry));
}

void TPackageFileDownloader::downloadFiles(
    const QDir& target, int installationModeArgument, const std::vector<TFileToDownload>& files)
{
    TargetDirectory = target;
    installationMode = installationModeArgument;
    buildDownloadQueue(files);
    qInfo() << "start download of " << DownloadQueue.size() << " files Thread: " << QThread::currentThreadId();

    FilesInProgress.clear();
    FilesInProgress.reserve(qsizetype(DownloadQueue.size()));
    FilesNotYetWritten.clear();
    TotalToDownload = 0;
    TotalToWrite = 0;
    for (const TDownloadEntry& entry : DownloadQueue) {
        FilesInProgress.insert(entry.url, entry);
        FilesNotYetWritten.insert(entry.url);
        TotalToDownload += entry.packedSize;
        TotalToWrite += entry.unpackedSize;
    }
    ResultSent = false;

    AtLeastOneDownloadFailed = false;
    AtLeastOneSavingOperationFailed = false;
    BytesReceivedPerUrl.clear();
    BytesWrittenPerUrl.clear();
    BytesReceived = 0;
    BytesWritten = 0;
    ProgressTimer.start();
    DownloadStatistics.sampleCount = 0;
    WriteStatistics.sampleCount = 0;
    LastBytesReceived = 0;
    LastBytesWritten = 0;

    const std::vector<QUrl> urls = [this] {
        std::vector<QUrl> list;
        list.reserve(DownloadQueue.size());
        for (const TDownloadEntry& entry : DownloadQueue)
            list.push_back(entry.url);
        return list;
    }();
    // The queue is copied first: a URL the pool rejects fails at once, through the handlers.
    for (const QUrl& url : urls) {
        qInfo() << "start download of " << url << " Thread: " << QThread::currentThreadId();
        const TLauncherSettings& settings = *FilesystemHelper->getLauncherSettings();
        DownloadPool->Download(url, settings.retries, settings.chunkTransportTimeOut);
    }
    if (DownloadQueue.empty())
        emitFinishedSignalWhenNoMoreFilesAreOutstanding();
}

TFileSize TPackageFileDownloader::getBytesTotalToDownload() const
{
    return TotalToDownload;
}

TFileSize TPackageFileDownloader::getBytesDownloaded() const
{
    return BytesReceived;
}

int TPackageFileDownloader::getPendingUseCount(const QByteArray& unpackedHash)
{
    QMutexLocker lock(&PendingChunksMutex);
    const std::shared_ptr<TPendingChunk> record = PendingChunks.value(unpackedHash);
    return record ? record->useCount : 0;
}

void TPackageFileDownloader::onDownloadCompleted(QUrl Url, QByteArray Data)
{
    qInfo() << "onDownloadCompleted " << Url << " Thread: " << QThread::currentThreadId();
    const auto found = FilesInProgress.constFind(Url);
    if (found != FilesInProgress.cend() && quint64(Data.size()) > replyLimit(*found)) {
        qCritical() << "Download of " << Url << "failed:"
                    << "reply of" << Data.size() << "bytes is far too long";
        DownloadPool->Remove(Url);
        failEntry(Url, false);
        return;
    }
    processDownloadedData(Url, Data, false, false);
}

void TPackageFileDownloader::onDownloadFailed(QUrl Url, QNetworkReply::NetworkError, QString ErrorString)
{
    qInfo() << "onDownloadFailed " << Url << " Thread: " << QThread::currentThreadId();
    DownloadPool->Remove(Url);
    if (!FilesInProgress.contains(Url))
        return;
    qCritical() << "Download of " << Url << "failed:" << ErrorString;
    failEntry(Url, false);
}

void TPackageFileDownloader::failEntry(const QUrl& url, bool savingFailed)
{
    FilesInProgress.remove(url);
    if (savingFailed)
        AtLeastOneSavingOperationFailed = true;
    else
        AtLeastOneDownloadFailed = true;
    emitFinishedSignalWhenNoMoreFilesAreOutstanding();
}

void TPackageFileDownloader::processDownloadedData(
    const QUrl& url, const QByteArray& data, bool decompressed, bool verified)
{
    const auto found = FilesInProgress.constFind(url);
    if (found == FilesInProgress.cend()) {
        DownloadPool->Remove(url);
        return;
    }
    const TDownloadEntry& entry = *found;
    EStep firstStep = EStep::Unpack;
    if (verified && (decompressed || !entry.unpack))
        firstStep = EStep::Save;
    else if (decompressed || !entry.unpack)
        firstStep = EStep::Check;

    // The steps follow each other on the worker: handing every step back to the GUI thread would make
    // that thread the bottleneck for small chunks. A step that fails ends the task, and its handler
    // decides on retry or failure; the continuation brings the result back in one posted event.
    TPackageFileDownloader* downloader = this;
    QFuture<TChunkTaskResult> task = QtConcurrent::run(
        QThreadPool::globalInstance(), [downloader, entry = TDownloadEntry(entry), data, firstStep]() mutable {
            return downloader->runChunkTask(entry, std::move(data), firstStep);
        });
    RunningTasks.insert(url, task);
    task.then(this, [this, url](const TChunkTaskResult& result) { chunkTaskFinished(url, result); })
        .onFailed(this, [this, url, firstStep] {
            chunkTaskFinished(url, { firstStep, QStringLiteral("unknown exception") });
        });
}

TPackageFileDownloader::TChunkTaskResult TPackageFileDownloader::runChunkTask(
    const TDownloadEntry& entry, QByteArray received, EStep firstStep)
{
    TChunkTaskResult result;
    QByteArray bytes = received;
    if (firstStep == EStep::Unpack) {
        result.step = EStep::Unpack;
        qInfo() << "processDownloadedData decompress " << entry.url << " Thread: " << QThread::currentThreadId();
        TBytesResult unpacked = runTask<QByteArray>([&] { return decompressDownloadedData(entry, received); });
        qInfo() << "processDownloadedData decompress finished " << entry.url
                << " Thread: " << QThread::currentThreadId();
        if (!unpacked.errorMessage.isEmpty()) {
            result.errorMessage = unpacked.errorMessage;
            return result;
        }
        bytes = std::move(unpacked.value);
    }
    if (firstStep != EStep::Save) {
        result.step = EStep::Check;
        qInfo() << "processDownloadedData verify " << entry.url << " Thread: " << QThread::currentThreadId();
        // Only a body that went through the unpack step may stand in for its result.
        const QByteArray fallback = firstStep == EStep::Unpack ? received : QByteArray();
        TBytesResult checked = runTask<QByteArray>([&] { return verifyDownloadedData(entry, bytes, fallback); });
        qInfo() << "processDownloadedData verify finished " << entry.url << " Thread: " << QThread::currentThreadId();
        if (!checked.errorMessage.isEmpty()) {
            result.errorMessage = checked.errorMessage;
            return result;
        }
        bytes = std::move(checked.value);
    }
    received = QByteArray(); // the packed body is not needed for the save
    result.step = EStep::Save;
    qInfo() << "processDownloadedData save " << entry.url << " Thread: " << QThread::currentThreadId();
    result.errorMessage = saveDownloadedData(entry, bytes).errorMessage;
    return result;
}

void TPackageFileDownloader::chunkTaskFinished(const QUrl& url, const TChunkTaskResult& result)
{
    RunningTasks.remove(url);
    switch (result.step) {
    case EStep::Unpack:
        decompressFinishedHandler(url, result.errorMessage, false);
        break;
    case EStep::Check:
        verifyFinishedHandler(url, result.errorMessage, false);
        break;
    case EStep::Save:
        processFinishedData(url, result.errorMessage, false);
        break;
    }
}

void TPackageFileDownloader::decompressFinishedHandler(const QUrl& url, const QString& error, bool cancelled)
{
    if (cancelled)
        qInfo() << "cancelled decompress file downloaded from" << url << " Thread: " << QThread::currentThreadId();
    else
        qWarning() << "Failed to decompress file downloaded from" << url << " Error: " << error
                   << " Thread: " << QThread::currentThreadId();
    // Never retried: the same body would not unpack either.
    DownloadPool->Remove(url);
    failEntry(url, false);
}

void TPackageFileDownloader::verifyFinishedHandler(const QUrl& url, const QString& error, bool cancelled)
{
    if (cancelled)
        qInfo() << "cancelled verify file downloaded from" << url << " Thread: " << QThread::currentThreadId();
    else
        qWarning() << "Failed to verify downloaded from" << url << " Error: " << error
                   << " Thread: " << QThread::currentThreadId();
    DownloadPool->Remove(url);
    const auto found = FilesInProgress.find(url);
    if (found != FilesInProgress.end()) {
        if (found->retryCount > 2) {
            qCritical() << "Verify of " << url << "failed.";
            FilesInProgress.erase(found);
            AtLeastOneDownloadFailed = true;
        } else {
            qInfo() << "Retry " << url << " Thread: " << QThread::currentThreadId();
            ++found->retryCount;
            const TLauncherSettings& settings = *FilesystemHelper->getLauncherSettings();
            DownloadPool->Download(url, settings.retries, settings.chunkTransportTimeOut);
        }
    }
    emitFinishedSignalWhenNoMoreFilesAreOutstanding();
}

void TPackageFileDownloader::processFinishedData(const QUrl& url, const QString& error, bool cancelled)
{
    qInfo() << "processDownloadedData save completed " << url << " Thread: " << QThread::currentThreadId();
    if (!cancelled && error.isEmpty()) {
        qInfo() << "processFinishedData: " << url << " Thread: " << QThread::currentThreadId();
        DownloadPool->Remove(url);
        if (FilesInProgress.remove(url) > 0) {
            qInfo() << "processFinishedData found: " << url << " Thread: " << QThread::currentThreadId();
            emitFinishedSignalWhenNoMoreFilesAreOutstanding();
        }
        return;
    }
    if (cancelled)
        qInfo() << "cancelled save file downloaded from" << url << " Thread: " << QThread::currentThreadId();
    else
        qWarning() << "Failed to save file downloaded from" << url << " Error: " << error
                   << " Thread: " << QThread::currentThreadId();
    // Never retried: chunks already written stay, and the file is fetched again by a later update.
    DownloadPool->Remove(url);
    failEntry(url, true);
}

void TPackageFileDownloader::onDownloadProgress(QUrl Url, TFileSize DownloadedBytes)
{
    const auto found = FilesInProgress.constFind(Url);
    if (found == FilesInProgress.cend())
        return;
    if (DownloadedBytes > replyLimit(*found)) {
        qCritical() << "Download of " << Url << "failed:"
                    << "reply runs past" << replyLimit(*found) << "bytes";
        DownloadPool->Remove(Url);
        failEntry(Url, false);
        return;
    }
    TFileSize& stored = BytesReceivedPerUrl[Url];
    BytesReceived = BytesReceived - stored + DownloadedBytes;
    stored = DownloadedBytes;
}

void TPackageFileDownloader::onWriteProgress(QUrl Url, TFileSize DownloadedBytes)
{
    if (FilesNotYetWritten.remove(Url)) {
        TFileSize& stored = BytesWrittenPerUrl[Url];
        BytesWritten = BytesWritten - stored + DownloadedBytes;
        stored = DownloadedBytes;
    }
}

void TPackageFileDownloader::onProgressTick()
{
    const TFileSize received = BytesReceived;
    DownloadStatistics.addSample(received - std::min(LastBytesReceived, received));
    LastBytesReceived = received;
    const TFileSize written = BytesWritten;
    WriteStatistics.addSample(written - std::min(LastBytesWritten, written));
    LastBytesWritten = written;
    emit progress(received, TotalToDownload, written, TotalToWrite);
}

bool TPackageFileDownloader::allFilesComplete()
{
    bool complete = true;
    for (const auto& state : FileStates) {
        QMutexLocker lock(&state->mutex);
        if (!state->outstandingChunkIndices.empty()) {
            qCritical() << "Download of " << state->localFile
                        << "is incomplete:" << state->outstandingChunkIndices.size() << "chunks were never written";
            complete = false;
        }
    }
    return complete;
}

void TPackageFileDownloader::emitFinishedSignalWhenNoMoreFilesAreOutstanding()
{
    qInfo() << "emitFinishedSignalWhenNoMoreFilesAreOutstanding ActiveDownloads: "
            << DownloadPool->GetActiveDownloadCount() << " FilesInProgress: " << FilesInProgress.size()
            << " AtLeastOneDownloadFailed " << (AtLeastOneDownloadFailed ? "true" : "false")
            << " AtLeastOneSavingOperationFailed " << (AtLeastOneSavingOperationFailed ? "true" : "false")
            << " Thread: " << QThread::currentThreadId();
    if (!FilesInProgress.isEmpty() || ResultSent)
        return;
    ResultSent = true;
    DownloadStatistics.sampleCount = 0;
    WriteStatistics.sampleCount = 0;
    ProgressTimer.stop();
    // A file can miss chunks although every entry ended, for example when one URL is listed with two
    // different hashes; that is never a success.
    if (!AtLeastOneDownloadFailed && !AtLeastOneSavingOperationFailed && !allFilesComplete())
        AtLeastOneSavingOperationFailed = true;
    emit progress(BytesReceived, TotalToDownload, BytesWritten, TotalToWrite);
    if (AtLeastOneDownloadFailed)
        emit downloadFailed(EPackageDownloaderError::DownloadFailed);
    else if (AtLeastOneSavingOperationFailed)
        emit downloadFailed(EPackageDownloaderError::SavingFailed);
    else
        emit downloadCompleted();
}

TPackageFileDownloader::TTaskResult<bool> TPackageFileDownloader::saveDownloadedData(
    const TDownloadEntry& entry, const QByteArray& data)
{
    return runTask<bool>([&] {
        qInfo() << "saveDownloadedData chunk " << entry.url << " Thread: " << QThread::currentThreadId();
        bool cachedInThisCall = false;
        for (const std::shared_ptr<TChunkedFileState>& file : entry.files) {
            QMutexLocker lock(&file->mutex);
            saveIntoFile(*file, entry, data, cachedInThisCall);
        }
        return true;
    });
}

QString TPackageFileDownloader::targetPathFor(const QString& path) const
{
    // The running launcher's file stays whole until the installation puts the complete new one in place.
    return installationMode == 1 ? TSelfUpdateFiles::temporaryPath(path) : path;
}

void TPackageFileDownloader::prepareFile(TChunkedFileState& file, const QString& path)
{
    file.prepared = true;
    const bool whole = file.outstandingChunkIndices.size() == file.chunks.size();
    if (installationMode == 1) {
        // The temporary file starts empty, so nothing of it may be kept.
        if (!whole)
            throw std::runtime_error(
                QStringLiteral("The self-update must fetch '%1' whole.").arg(file.localFile).toStdString());
        // What an interrupted update left under the temporary name.
        FilesystemHelper->removeBelow(TargetDirectory, targetPathFor(path));
    } else if (whole) {
        FilesystemHelper->removeBelow(TargetDirectory, path);
    }

    constexpr int attempts = 6;
    for (int attempt = 1;; ++attempt) {
        try {
            // Never through a link planted in the installation folder: one on the way is replaced.
            FilesystemHelper->createFolderBelow(TargetDirectory, QFileInfo(path).absolutePath());
            return;
        } catch (const std::exception& e) {
            if (attempt == attempts) {
                qCritical() << "All" << attempts << "attempts failed. Rethrowing error:" << e.what();
                throw;
            }
            qWarning() << "Attempt" << attempt << "failed. Retrying in" << 10 << "ms. Error:" << e.what();
        } catch (...) {
            if (attempt == attempts) {
                qCritical() << "All attempts failed with unknown error.";
                throw;
            }
            qWarning() << "Attempt" << attempt << "failed with unknown error. Retrying...";
        }
        QThread::msleep(10);
    }
}

void TPackageFileDownloader::releasePlaceLocked(const QByteArray& unpackedHash)
{
    const auto found = PendingChunks.find(unpackedHash);
    if (found == PendingChunks.end())
        return;
    TPendingChunk& record = **found;
    if (--record.useCount > 0)
        return;
    if (record.state == 1) {
        record.data.clear();
        --ChunksCachedInMemory;
    } else if (record.state == 2) {
        record.tempFile.remove();
    }
    record.state = 0;
    PendingChunks.erase(found);
}

void TPackageFileDownloader::saveIntoFile(
    TChunkedFileState& file, const TDownloadEntry& entry, const QByteArray& data, bool& cachedInThisCall)
{
    const QString path = FilesystemHelper->pathInsideFolder(TargetDirectory, file.localFile);
    if (file.targetFile.fileName().isEmpty())
        file.targetFile.setFileName(targetPathFor(path));
    if (!file.prepared)
        prepareFile(file, path);
    const TLauncherSettings& settings = *FilesystemHelper->getLauncherSettings();
    const bool chunkVerification = settings.chunkVerification;
    const QString logPath = path + QStringLiteral(".log");

    bool stopped = false;
    while (!file.outstandingChunkIndices.empty()) {
        const int k = file.outstandingChunkIndices.front();
        const TChunkInPackage& chunk = file.chunks.at(std::size_t(k));

        enum class ESource { Download, Memory, TemporaryFile } source = ESource::Download;
        QByteArray bytes;
        if (chunk.unpackedHash == entry.unpackedHash) {
            bytes = data;
        } else {
            QMutexLocker cacheLock(&PendingChunksMutex);
            const std::shared_ptr<TPendingChunk> record = PendingChunks.value(chunk.unpackedHash);
            if (!record || record->state == 0) {
                stopped = true;
                break;
            }
            if (record->state == 1) {
                // A counted copy, so a writer that releases or refills the record cannot pull the bytes
                // away while they are written.
                source = ESource::Memory;
                bytes = record->data;
            } else {
                source = ESource::TemporaryFile;
            }
        }

        QFile log;
        qint64 position = 0;
        if (!file.targetFile.isOpen()) {
            try {
                FilesystemHelper->openFileBelow(TargetDirectory, file.targetFile.fileName(), file.targetFile,
                    QIODevice::ReadWrite | QIODevice::Unbuffered);
            } catch (const std::runtime_error& e) {
                qWarning() << "saveDownloadedData: " << e.what();
                shared::throwFileError(file.targetFile, QStringLiteral("couldn't open target file"));
            }
            if (chunkVerification)
                FilesystemHelper->removeBelow(TargetDirectory, logPath);
        }
        if (chunkVerification) {
            log.setFileName(logPath);
            try {
                FilesystemHelper->openFileBelow(TargetDirectory, logPath, log, QIODevice::WriteOnly | QIODevice::Append);
            } catch (const std::runtime_error& e) {
                qWarning() << "saveDownloadedData: no chunk log: " << e.what();
            }
            position = file.targetFile.pos();
        }

        quint64 offset = 0;
        for (int j = 0; j < k; ++j) {
            const TChunkInPackage& earlier = file.chunks[std::size_t(j)];
            // Sizes come from the downloaded configuration: every chunk must lie inside its file.
            if (earlier.unpackedSize > file.unpackedSize || offset > file.unpackedSize - earlier.unpackedSize)
                shared::throwFileError(file.targetFile, QStringLiteral("chunk lies outside the file"));
            if (chunkVerification && offset + earlier.unpackedSize > quint64(position)) {
                const QByteArray old = file.targetFile.read(qint64(earlier.unpackedSize));
                if (quint64(old.size()) != earlier.unpackedSize)
                    shared::throwFileError(file.targetFile, QStringLiteral("invalid old chunk"));
                if (shared::TSha256::hash(old) != earlier.unpackedHash) {
                    appendLogLine(log, quint64(position), ": check failed");
                    shared::throwFileError(file.targetFile, QStringLiteral("invalid hash"));
                }
                appendLogLine(log, quint64(position), ": check succeeded");
                position += qint64(earlier.unpackedSize);
            }
            offset += earlier.unpackedSize;
        }
        if (chunk.unpackedSize > file.unpackedSize || offset > file.unpackedSize - chunk.unpackedSize
            || file.unpackedSize > quint64(std::numeric_limits<qint64>::max()))
            shared::throwFileError(file.targetFile, QStringLiteral("chunk lies outside the file"));
        if (!file.targetFile.seek(qint64(offset)))
            shared::throwFileError(file.targetFile, QStringLiteral("couldn't seek in target file"));

        const auto writeBytes = [&](const QByteArray& content) {
            if (quint64(content.size()) != chunk.unpackedSize
                || file.targetFile.write(content) != qint64(chunk.unpackedSize))
                shared::throwFileError(file.targetFile, QStringLiteral("couldn't write chunk file"));
        };
        const QString fileName = file.targetFile.fileName();
        switch (source) {
        case ESource::Download:
            if (chunkVerification)
                appendLogLine(log, offset,
                    shared::TSha256::hash(bytes) == chunk.unpackedHash ? ": write succeeded" : ": write failed");
            qInfo() << "saveDownloadedData chunk " << chunk.url << " to " << fileName << " offset: " << offset
                    << " Thread: " << QThread::currentThreadId();
            writeBytes(bytes);
            {
                QMutexLocker cacheLock(&PendingChunksMutex);
                releasePlaceLocked(chunk.unpackedHash);
            }
            break;
        case ESource::Memory:
            if (chunkVerification)
                appendLogLine(log, offset,
                    shared::TSha256::hash(bytes) == chunk.unpackedHash ? ": write cache correct"
                                                                       : ": write cache invalid");
            qInfo() << "saveDownloadedData chunk " << chunk.url << " from cache to " << fileName
                    << " offset: " << offset << " Thread: " << QThread::currentThreadId();
            writeBytes(bytes);
            {
                QMutexLocker cacheLock(&PendingChunksMutex);
                releasePlaceLocked(chunk.unpackedHash);
            }
            break;
        case ESource::TemporaryFile: {
            {
                QMutexLocker cacheLock(&PendingChunksMutex);
                const std::shared_ptr<TPendingChunk> record = PendingChunks.value(chunk.unpackedHash);
                if (!record)
                    throw std::runtime_error("couldn't find pending chunk");
                if (!record->tempFile.open())
                    shared::throwFileError(record->tempFile, QStringLiteral("couldn't open chunk file"));
                bytes = record->tempFile.readAll();
                record->tempFile.close();
                releasePlaceLocked(chunk.unpackedHash);
                if (quint64(bytes.size()) != chunk.unpackedSize)
                    shared::throwFileError(record->tempFile, QStringLiteral("couldn't read chunk file"));
            }
            if (chunkVerification) {
                if (shared::TSha256::hash(bytes) != chunk.unpackedHash) {
                    appendLogLine(log, offset, ": write tmp file invalid");
                    shared::throwFileError(file.targetFile, QStringLiteral("invalid hash"));
                }
                appendLogLine(log, offset, ": write tmp file correct");
            }
            qInfo() << "saveDownloadedData chunk " << chunk.url << " from temp file to " << fileName
                    << " offset: " << offset << " Thread: " << QThread::currentThreadId();
            writeBytes(bytes);
            break;
        }
        }

        emit writeProgress(chunk.url, chunk.unpackedSize);
        file.outstandingChunkIndices.pop_front();
        log.close();

        if (file.outstandingChunkIndices.empty()) {
            // Bytes behind the file's end can only be left from an older, longer file.
            if (quint64(file.targetFile.size()) > file.unpackedSize
                && !file.targetFile.resize(qint64(file.unpackedSize)))
                shared::throwFileError(file.targetFile, QStringLiteral("couldn't truncate target file"));
            // On disk before the installation counts the file complete and writes its markers.
            if (!file.targetFile.flush() || ::fsync(file.targetFile.handle()) != 0)
                shared::throwFileError(file.targetFile, QStringLiteral("couldn't flush target file"));
            // Through the open file, so a link planted at the path since cannot pass it on.
            if (file.executable)
                shared::addPermissions(
                    file.targetFile, QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther);
            file.targetFile.close();
        }
    }
    if (!stopped)
        return;

    const TChunkInPackage& waiting = file.chunks.at(std::size_t(file.outstandingChunkIndices.front()));
    qInfo() << "saveDownloadedData chunk " << waiting.url << " not found for " << path << ". => Wait for chunk"
            << " Thread: " << QThread::currentThreadId();
    if (cachedInThisCall)
        return;
    const bool neededLater = std::any_of(file.outstandingChunkIndices.begin(), file.outstandingChunkIndices.end(),
        [&](int index) { return file.chunks.at(std::size_t(index)).unpackedHash == entry.unpackedHash; });
    if (!neededLater)
        return;

    QMutexLocker cacheLock(&PendingChunksMutex);
    const std::shared_ptr<TPendingChunk> record = PendingChunks.value(entry.unpackedHash);
    if (!record)
        throw std::runtime_error("couldn't find pending chunk");
    // Another URL of the same content may have stored it already; one record holds one copy.
    if (record->state == 0) {
        if (ChunksCachedInMemory > settings.maxCachedChunks) {
            if (!record->tempFile.open())
                shared::throwFileError(record->tempFile, QStringLiteral("couldn't open chunk file"));
            const qint64 written = record->tempFile.write(data);
            record->tempFile.close();
            if (written != data.size())
                shared::throwFileError(record->tempFile, QStringLiteral("couldn't write chunk file"));
            record->state = 2;
        } else {
            ++ChunksCachedInMemory;
            record->data = data;
            record->state = 1;
        }
    }
    cachedInThisCall = true;
}

} // namespace korvane::launcher
