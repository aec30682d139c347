#include "installation/packagefiledownloader.h"

#include "installation/selfupdatefiles.h"

#include "packbuf/pack.h"
#include "packbuf/packbuf.h"
#include "shared/decompressionerror.h"
#include "shared/downloadpool.h"
#include "shared/filesystemhelper.h"
#include "shared/heapmemory.h"
#include "shared/logtext.h"
#include "shared/sha256.h"

#include <QDebug>
#include <QFileInfo>
#include <QMutexLocker>
#include <QPointer>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <cerrno>
#include <functional>
#include <limits>
#include <optional>
#include <span>
#include <stdexcept>

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

// A packed body unpacked straight into the result, with the whole-buffer reader's checks: no copy of the
// body and no zero-filled buffer. Nothing when it does not unpack.
std::optional<QByteArray> unpackBody(const QByteArray& data, quint64 maxUnpackedLength)
{
    const char* bytes = data.constData();
    const std::size_t length = std::size_t(data.size());
    const packbuf::ECodecId id = packbuf::headerCodecId(bytes, length);
    const std::uint64_t unpackedLength = packbuf::headerUnpackedLength(bytes, length);
    const char* payload = packbuf::headerPayload(bytes, length);
    const std::size_t slack = packbuf::unpackSlack(id);
    if (!payload || unpackedLength == 0 || unpackedLength > maxUnpackedLength
        || unpackedLength > quint64(std::numeric_limits<qsizetype>::max()) - slack)
        return std::nullopt;
    QByteArray unpacked(qsizetype(unpackedLength + slack), Qt::Uninitialized);
    shared::THeapMemory::makeResident(unpacked.data(), std::size_t(unpacked.size()));
    std::size_t produced = std::size_t(unpacked.size());
    if (!packbuf::unpackBuffer(
            id, payload, std::size_t(packbuf::headerPayloadLength(bytes, length)), unpacked.data(), produced))
        return std::nullopt;
    unpacked.truncate(qsizetype(produced));
    // A header that claimed far more than the codec produced must not pin its allocation.
    if (unpacked.size() < unpacked.capacity() / 2)
        unpacked.squeeze();
    return unpacked;
}

QByteArray decompressDownloadedData(const TDownloadEntry& entry, const QByteArray& data)
{
    shared::TLogLine(QtDebugMsg) << "decompressDownloadedData " << shared::TLogText::url(entry.url) << "started";
    QByteArray result = data;
    if (packbuf::hasPackedHeader(data.constData(), std::size_t(data.size()))) {
        // The header's length comes from the network: never unpack more than the chunk can hold.
        if (std::optional<QByteArray> unpacked = unpackBody(data, entry.unpackedSize)) {
            result = std::move(*unpacked);
        } else if (shared::TSha256::hash(data) != entry.unpackedHash) {
            // A raw chunk may begin like a packed header by chance; only its own hash tells.
            throw shared::TDecompressionError("Invalid input data could not be decompressed");
        }
    }
    shared::TLogLine(QtDebugMsg) << "decompressDownloadedData " << shared::TLogText::url(entry.url) << "finished";
    return result;
}

QByteArray verifyDownloadedData(const TDownloadEntry& entry, const QByteArray& data, const QByteArray& receivedBody)
{
    shared::TLogLine(QtDebugMsg) << "verifyDownloadedData " << shared::TLogText::url(entry.url) << "started";
    if (shared::TSha256::hash(data) != entry.unpackedHash) {
        // The received body itself may be the chunk when it only looked packed.
        if (!receivedBody.isNull() && receivedBody != data
            && shared::TSha256::hash(receivedBody) == entry.unpackedHash) {
            shared::TLogLine(QtDebugMsg) << "verifyDownloadedData " << shared::TLogText::url(entry.url) << "finished";
            return receivedBody;
        }
        qInfo() << "saveDownloadedData failed: invalid hash";
        throw std::runtime_error(
            QStringLiteral("verify of url '%1' failed").arg(entry.url.toString(QUrl::FullyEncoded)).toStdString());
    }
    shared::TLogLine(QtDebugMsg) << "verifyDownloadedData " << shared::TLogText::url(entry.url) << "finished";
    return data;
}

// True when the file is fetched whole: every chunk of its table listed once.
bool isEveryChunkOnce(const TFileToDownload& file)
{
    if (file.chunkIndicesToDownload.size() != file.chunks.size())
        return false;
    std::vector<bool> listed(file.chunks.size(), false);
    for (const int index : file.chunkIndicesToDownload) {
        if (index < 0 || std::size_t(index) >= listed.size() || listed[std::size_t(index)])
            return false;
        listed[std::size_t(index)] = true;
    }
    return true;
}

// The places of one content in a file taken in any order: a run of its sorted table.
std::span<TChunkedFileState::TPlace> placesOf(TChunkedFileState& file, const QByteArray& hash)
{
    auto& places = file.placesOfContent;
    const auto first = std::lower_bound(
        places.begin(), places.end(), hash, [](const auto& place, const QByteArray& h) { return place.hash < h; });
    auto last = first;
    while (last != places.end() && last->hash == hash)
        ++last;
    return { first, last };
}

void writeAt(const QFile& file, quint64 offset, const QByteArray& bytes)
{
    const char* data = bytes.constData();
    std::size_t left = std::size_t(bytes.size());
    off_t at = off_t(offset);
    while (left > 0) {
        const ssize_t written = ::pwrite(file.handle(), data, left, at);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            shared::throwFileError(file, QStringLiteral("couldn't write chunk file"));
        data += written;
        left -= std::size_t(written);
        at += written;
    }
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
    connect(&ProgressTimer, &QTimer::timeout, this, &TPackageFileDownloader::onProgressTick);
}

TPackageFileDownloader::~TPackageFileDownloader()
{
    // Normally no task is left once the run has ended; one destroyed mid-run must not leave tasks that
    // write through a dangling pointer.
    startQueuedTasks(); // counted as running: they end like the others
    QMutexLocker lock(&FinishedTasksMutex);
    while (RunningTaskCount > 0)
        TaskEnded.wait(&FinishedTasksMutex);
}

void TPackageFileDownloader::computeChunkOffsets(TChunkedFileState& file)
{
    file.chunkOffsets.resize(file.chunks.size());
    file.firstChunkOutsideFile = file.chunks.size();
    quint64 offset = 0;
    for (std::size_t j = 0; j < file.chunks.size(); ++j) {
        const quint64 size = file.chunks[j].unpackedSize;
        file.chunkOffsets[j] = offset;
        if (file.firstChunkOutsideFile == file.chunks.size()
            && (size > file.unpackedSize || offset > file.unpackedSize - size))
            file.firstChunkOutsideFile = j;
        offset += size;
    }
}

void TPackageFileDownloader::buildDownloadQueue(const std::vector<TFileToDownload>& files)
{
    PendingChunks.clear();
    ChunksCachedInMemory = 0;
    FileStates.clear();

    const TLauncherSettings& settings = *FilesystemHelper->getLauncherSettings();
    // One entry per distinct URL, in the order first met; the index holds an URL's position + 1.
    std::vector<TDownloadEntry> entries;
    QHash<QUrl, std::size_t> entryIndex;
    // Sized once: growing tables rehash everything they hold, thousands of entries on the window's thread.
    std::size_t placeCount = 0;
    for (const TFileToDownload& input : files)
        placeCount += input.chunkIndicesToDownload.size();
    entries.reserve(placeCount);
    entryIndex.reserve(qsizetype(placeCount));
    PendingChunks.reserve(qsizetype(placeCount));
    FileStates.reserve(files.size());
    for (const TFileToDownload& input : files) {
        auto state = std::make_shared<TChunkedFileState>();
        state->localFile = input.localFile;
        state->unpackedSize = input.unpackedSize;
        state->unpackedHash = input.unpackedHash;
        state->executable = input.executable;
        state->patches = input.patches;
        state->chunks = input.chunks;
        computeChunkOffsets(*state);
        if (!settings.chunkVerification && isEveryChunkOnce(input)) {
            state->anyOrder = true;
            state->placesOfContent.reserve(input.chunkIndicesToDownload.size());
            for (const int index : input.chunkIndicesToDownload)
                state->placesOfContent.push_back({ input.chunks[std::size_t(index)].unpackedHash, index });
            std::stable_sort(state->placesOfContent.begin(), state->placesOfContent.end(),
                [](const auto& x, const auto& y) { return x.hash < y.hash; });
            state->placesLeft = input.chunkIndicesToDownload.size();
        } else {
            state->outstandingChunkIndices.assign(
                input.chunkIndicesToDownload.begin(), input.chunkIndicesToDownload.end());
        }
        try {
            state->targetFile.setFileName(
                targetPathFor(FilesystemHelper->pathInsideFolder(TargetDirectory, input.localFile)));
        } catch (const std::exception& e) {
            // The writer asks again and fails this file's chunks; the rest of the run goes on.
            qWarning() << "buildDownloadQueue: " << e.what();
        }
        FileStates.push_back(state);

        for (const int index : input.chunkIndicesToDownload) {
            if (index < 0 || std::size_t(index) >= input.chunks.size())
                continue; // never written, so the finish reports the file incomplete
            const TChunkInPackage& chunk = input.chunks[std::size_t(index)];
            // The front-first writer counts a file's places down; a file taken in any order keeps them
            // listed already, the first one in the order given.
            const bool firstPlaceInFile = state->anyOrder
                ? placesOf(*state, chunk.unpackedHash).front().index == index
                : ++state->outstandingPlaces[chunk.unpackedHash] == 1;
            std::shared_ptr<TPendingChunk>& record = PendingChunks[chunk.unpackedHash];
            if (!record)
                record = std::make_shared<TPendingChunk>();
            ++record->useCount;
            if (!firstPlaceInFile)
                continue; // the file is listed once per content
            std::size_t& position = entryIndex[chunk.url];
            if (position == 0) {
                TDownloadEntry& entry = entries.emplace_back();
                entry.url = chunk.url;
                entry.packedSize = chunk.packedSize;
                entry.packedHash = chunk.packedHash;
                entry.unpackedSize = chunk.unpackedSize;
                entry.unpackedHash = chunk.unpackedHash;
                entry.unpack = chunk.unpack;
                position = entries.size();
            }
            entries[position - 1].files.push_back(state);
        }
    }

    // Where each content first begins in each file, found in one pass per file: walking every file's
    // table once per entry would be quadratic in the number of chunks. One table for all files: a table
    // per file would cost thousands of allocations for packages of many small files.
    using TPlace = std::pair<const TChunkedFileState*, QByteArray>;
    QHash<TPlace, quint64> firstOffsets;
    std::size_t chunkCount = 0;
    for (const auto& state : FileStates)
        chunkCount += state->chunks.size();
    firstOffsets.reserve(qsizetype(chunkCount));
    for (const auto& state : FileStates) {
        quint64 offset = 0;
        for (const TChunkInPackage& chunk : state->chunks) {
            const TPlace place { state.get(), chunk.unpackedHash };
            if (!firstOffsets.contains(place))
                firstOffsets.insert(place, offset);
            offset += chunk.unpackedSize;
        }
    }

    // Front of the files first; entries of the same offset in the order their files come.
    std::vector<std::pair<quint64, std::size_t>> keyed;
    keyed.reserve(entries.size());
    for (std::size_t i = 0; i < entries.size(); ++i) {
        quint64 key = noOffset;
        for (const auto& state : entries[i].files)
            key = std::min(key, firstOffsets.value({ state.get(), entries[i].unpackedHash }, noOffset));
        keyed.emplace_back(key, i);
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto& x, const auto& y) { return x.first < y.first; });
    DownloadQueue.reserve(DownloadQueue.size() + keyed.size());
    for (const auto& [key, index] : keyed)
        DownloadQueue.push_back(std::move(entries[index]));
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
        shared::TLogLine(QtInfoMsg) << "start download of " << shared::TLogText::url(url)
                                    << " Thread: " << QThread::currentThreadId();
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

QSet<QString> TPackageFileDownloader::flushedFiles() const
{
    // The workers' writes are seen here: each posted its result under FinishedTasksMutex, which the
    // GUI thread took before the run could end.
    QSet<QString> files;
    for (const auto& state : FileStates) {
        if (state->flushed)
            files.insert(state->localFile);
    }
    return files;
}

int TPackageFileDownloader::getPendingUseCount(const QByteArray& unpackedHash)
{
    QMutexLocker lock(&PendingChunksMutex);
    const std::shared_ptr<TPendingChunk> record = PendingChunks.value(unpackedHash);
    return record ? record->useCount : 0;
}

void TPackageFileDownloader::onDownloadCompleted(QUrl Url, QByteArray Data)
{
    shared::TLogLine(QtInfoMsg) << "onDownloadCompleted " << shared::TLogText::url(Url)
                                << " Thread: " << QThread::currentThreadId();
    const auto found = FilesInProgress.constFind(Url);
    if (found != FilesInProgress.cend() && quint64(Data.size()) > replyLimit(*found)) {
        qCritical() << "Download of " << shared::TLogText::url(Url) << "failed:"
                    << "reply of" << Data.size() << "bytes is far too long";
        DownloadPool->Remove(Url);
        failEntry(Url, false);
        return;
    }
    processDownloadedData(Url, Data, false, false);
}

void TPackageFileDownloader::onDownloadFailed(QUrl Url, QNetworkReply::NetworkError, QString ErrorString)
{
    shared::TLogLine(QtInfoMsg) << "onDownloadFailed " << shared::TLogText::url(Url)
                                << " Thread: " << QThread::currentThreadId();
    DownloadPool->Remove(Url);
    if (!FilesInProgress.contains(Url))
        return;
    qCritical() << "Download of " << shared::TLogText::url(Url) << "failed:" << ErrorString;
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
    // decides on retry or failure. Results come back in batches: a worker posts one event only when
    // the list was empty, so a busy GUI thread takes many results per event.
    TPackageFileDownloader* downloader = this;
    const qsizetype bodySize = data.size();
    {
        QMutexLocker lock(&FinishedTasksMutex);
        ++RunningTaskCount;
    }
    queueChunkTask(bodySize, [downloader, url, entry = TDownloadEntry(entry), data, firstStep]() mutable {
        TChunkTaskResult result { firstStep, QStringLiteral("unknown exception") };
        try {
            result = downloader->runChunkTask(entry, std::move(data), firstStep);
        } catch (...) { }
        // Posted under the lock: the destructor waits for it, so the object is alive here.
        QMutexLocker lock(&downloader->FinishedTasksMutex);
        const bool first = downloader->FinishedTasks.empty();
        downloader->FinishedTasks.push_back({ url, std::move(result) });
        --downloader->RunningTaskCount;
        downloader->TaskEnded.wakeAll();
        if (first)
            QMetaObject::invokeMethod(
                downloader, [downloader] { downloader->takeFinishedTasks(); }, Qt::QueuedConnection);
    });
    holdOrReleaseSlot(url, bodySize);
}

void TPackageFileDownloader::queueChunkTask(qsizetype bodySize, std::function<void()> task)
{
    // Waking a worker costs the GUI thread more than a small chunk's own work: the chunks of one turn
    // of the event loop go to the workers in groups of up to 256 KiB of bodies.
    QueuedTasks.push_back(std::move(task));
    QueuedTaskBytes += bodySize;
    if (QueuedTaskBytes >= taskGroupBytes || QueuedTasks.size() >= maxTaskGroup) {
        startQueuedTasks();
        return;
    }
    if (!QueuedTasksPosted) {
        QueuedTasksPosted = true;
        QMetaObject::invokeMethod(
            this,
            [this] {
                QueuedTasksPosted = false;
                startQueuedTasks();
            },
            Qt::QueuedConnection);
    }
}

void TPackageFileDownloader::startQueuedTasks()
{
    if (QueuedTasks.empty())
        return;
    QThreadPool::globalInstance()->start([group = std::exchange(QueuedTasks, {})]() {
        for (const std::function<void()>& task : group)
            task();
    });
    QueuedTaskBytes = 0;
}

void TPackageFileDownloader::holdOrReleaseSlot(const QUrl& url, qsizetype bodySize)
{
    // The slot is given back as soon as the body has arrived, so the next request overlaps the work
    // on this one; only the bodies waiting for the workers are bounded, by count and by bytes.
    BodyBytesInWorkers.insert(url, bodySize);
    BytesInWorkers += bodySize;
    const int maxBodies = FilesystemHelper->getLauncherSettings()->maxCachedChunks;
    if (HeldSlots.isEmpty() && ReleasedSlots.size() < maxBodies && BytesInWorkers <= maxBytesInWorkers) {
        ReleasedSlots.insert(url);
        DownloadPool->Remove(url);
    } else {
        HeldSlots.push_back(url);
    }
}

void TPackageFileDownloader::workerDone(const QUrl& url)
{
    BytesInWorkers -= BodyBytesInWorkers.take(url);
    if (!ReleasedSlots.remove(url))
        HeldSlots.removeOne(url);
    const int maxBodies = FilesystemHelper->getLauncherSettings()->maxCachedChunks;
    while (!HeldSlots.isEmpty() && ReleasedSlots.size() < maxBodies && BytesInWorkers <= maxBytesInWorkers) {
        const QUrl next = HeldSlots.takeFirst();
        ReleasedSlots.insert(next);
        DownloadPool->Remove(next);
    }
}

void TPackageFileDownloader::takeFinishedTasks()
{
    std::vector<std::pair<QUrl, TChunkTaskResult>> finished;
    std::vector<std::pair<QUrl, TFileSize>> written;
    {
        QMutexLocker lock(&FinishedTasksMutex);
        finished.swap(FinishedTasks);
        written.swap(WrittenChunks);
    }
    for (const auto& [url, bytes] : written)
        onWriteProgress(url, bytes);
    const QPointer<TPackageFileDownloader> alive(this);
    for (const auto& [url, result] : finished) {
        // A listener of the result may destroy the downloader.
        if (!alive)
            return;
        chunkTaskFinished(url, result);
    }
}

TPackageFileDownloader::TChunkTaskResult TPackageFileDownloader::runChunkTask(
    const TDownloadEntry& entry, QByteArray received, EStep firstStep)
{
    TChunkTaskResult result;
    QByteArray bytes = received;
    if (firstStep == EStep::Unpack) {
        result.step = EStep::Unpack;
        shared::TLogLine(QtInfoMsg) << "processDownloadedData decompress " << shared::TLogText::url(entry.url)
                                    << " Thread: " << QThread::currentThreadId();
        TBytesResult unpacked = runTask<QByteArray>([&] { return decompressDownloadedData(entry, received); });
        shared::TLogLine(QtInfoMsg) << "processDownloadedData decompress finished " << shared::TLogText::url(entry.url)
                                    << " Thread: " << QThread::currentThreadId();
        if (!unpacked.errorMessage.isEmpty()) {
            result.errorMessage = unpacked.errorMessage;
            return result;
        }
        bytes = std::move(unpacked.value);
    }
    if (firstStep != EStep::Save) {
        result.step = EStep::Check;
        shared::TLogLine(QtInfoMsg) << "processDownloadedData verify " << shared::TLogText::url(entry.url)
                                    << " Thread: " << QThread::currentThreadId();
        // Only a body that went through the unpack step may stand in for its result.
        const QByteArray fallback = firstStep == EStep::Unpack ? received : QByteArray();
        TBytesResult checked = runTask<QByteArray>([&] { return verifyDownloadedData(entry, bytes, fallback); });
        shared::TLogLine(QtInfoMsg) << "processDownloadedData verify finished " << shared::TLogText::url(entry.url)
                                    << " Thread: " << QThread::currentThreadId();
        if (!checked.errorMessage.isEmpty()) {
            result.errorMessage = checked.errorMessage;
            return result;
        }
        bytes = std::move(checked.value);
    }
    received = QByteArray(); // the packed body is not needed for the save
    result.step = EStep::Save;
    shared::TLogLine(QtInfoMsg) << "processDownloadedData save " << shared::TLogText::url(entry.url)
                                << " Thread: " << QThread::currentThreadId();
    result.errorMessage = saveDownloadedData(entry, bytes).errorMessage;
    return result;
}

void TPackageFileDownloader::chunkTaskFinished(const QUrl& url, const TChunkTaskResult& result)
{
    workerDone(url);
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
        shared::TLogLine(QtInfoMsg) << "cancelled decompress file downloaded from" << shared::TLogText::url(url)
                                    << " Thread: " << QThread::currentThreadId();
    else
        qWarning() << "Failed to decompress file downloaded from" << shared::TLogText::url(url) << " Error: " << error
                   << " Thread: " << QThread::currentThreadId();
    // Never retried: the same body would not unpack either.
    DownloadPool->Remove(url);
    failEntry(url, false);
}

void TPackageFileDownloader::verifyFinishedHandler(const QUrl& url, const QString& error, bool cancelled)
{
    if (cancelled)
        shared::TLogLine(QtInfoMsg) << "cancelled verify file downloaded from" << shared::TLogText::url(url)
                                    << " Thread: " << QThread::currentThreadId();
    else
        qWarning() << "Failed to verify downloaded from" << shared::TLogText::url(url) << " Error: " << error
                   << " Thread: " << QThread::currentThreadId();
    DownloadPool->Remove(url);
    const auto found = FilesInProgress.find(url);
    if (found != FilesInProgress.end()) {
        if (found->retryCount > 2) {
            qCritical() << "Verify of " << shared::TLogText::url(url) << "failed.";
            FilesInProgress.erase(found);
            AtLeastOneDownloadFailed = true;
        } else {
            shared::TLogLine(QtInfoMsg) << "Retry " << shared::TLogText::url(url)
                                        << " Thread: " << QThread::currentThreadId();
            ++found->retryCount;
            const TLauncherSettings& settings = *FilesystemHelper->getLauncherSettings();
            DownloadPool->Download(url, settings.retries, settings.chunkTransportTimeOut);
        }
    }
    emitFinishedSignalWhenNoMoreFilesAreOutstanding();
}

void TPackageFileDownloader::processFinishedData(const QUrl& url, const QString& error, bool cancelled)
{
    shared::TLogLine(QtInfoMsg) << "processDownloadedData save completed " << shared::TLogText::url(url)
                                << " Thread: " << QThread::currentThreadId();
    if (!cancelled && error.isEmpty()) {
        shared::TLogLine(QtInfoMsg) << "processFinishedData: " << shared::TLogText::url(url)
                                    << " Thread: " << QThread::currentThreadId();
        DownloadPool->Remove(url);
        if (FilesInProgress.remove(url) > 0) {
            shared::TLogLine(QtInfoMsg) << "processFinishedData found: " << shared::TLogText::url(url)
                                        << " Thread: " << QThread::currentThreadId();
            emitFinishedSignalWhenNoMoreFilesAreOutstanding();
        }
        return;
    }
    if (cancelled)
        shared::TLogLine(QtInfoMsg) << "cancelled save file downloaded from" << shared::TLogText::url(url)
                                    << " Thread: " << QThread::currentThreadId();
    else
        qWarning() << "Failed to save file downloaded from" << shared::TLogText::url(url) << " Error: " << error
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
        qCritical() << "Download of " << shared::TLogText::url(Url) << "failed:"
                    << "reply runs past" << replyLimit(*found) << "bytes";
        DownloadPool->Remove(Url);
        failEntry(Url, false);
        return;
    }
    TFileSize& stored = BytesReceivedPerUrl[Url];
    BytesReceived = BytesReceived - stored + DownloadedBytes;
    stored = DownloadedBytes;
}

void TPackageFileDownloader::onWriteProgress(const QUrl& Url, TFileSize DownloadedBytes)
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
        if (state->chunksLeft() > 0) {
            qCritical() << "Download of " << state->localFile << "is incomplete:" << state->chunksLeft()
                        << "chunks were never written";
            complete = false;
        }
    }
    return complete;
}

void TPackageFileDownloader::emitFinishedSignalWhenNoMoreFilesAreOutstanding()
{
    shared::TLogLine(QtInfoMsg) << "emitFinishedSignalWhenNoMoreFilesAreOutstanding ActiveDownloads: "
                                << DownloadPool->GetActiveDownloadCount()
                                << " FilesInProgress: " << FilesInProgress.size() << " AtLeastOneDownloadFailed "
                                << (AtLeastOneDownloadFailed ? "true" : "false") << " AtLeastOneSavingOperationFailed "
                                << (AtLeastOneSavingOperationFailed ? "true" : "false")
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
        shared::TLogLine(QtInfoMsg) << "saveDownloadedData chunk " << shared::TLogText::url(entry.url)
                                    << " Thread: " << QThread::currentThreadId();
        bool cachedInThisCall = false;
        for (const std::shared_ptr<TChunkedFileState>& file : entry.files) {
            if (file->anyOrder) {
                saveIntoFileInAnyOrder(*file, entry, data);
                continue;
            }
            QMutexLocker lock(&file->mutex);
            saveIntoFile(*file, entry, data, cachedInThisCall);
        }
        return true;
    });
}

QString TPackageFileDownloader::targetPathFor(const QString& path) const
{
    // The running launcher's file stays whole until the installation puts the complete new one in place.
    return installationMode == SelfUpdateInstallationMode ? TSelfUpdateFiles::temporaryPath(path) : path;
}

QString TPackageFileDownloader::prepareFile(TChunkedFileState& file)
{
    const QString path = FilesystemHelper->pathInsideFolder(TargetDirectory, file.localFile);
    if (file.targetFile.fileName().isEmpty())
        file.targetFile.setFileName(targetPathFor(path));
    if (file.prepared)
        return path;
    file.prepared = true;
    const bool whole = file.chunksLeft() == file.chunks.size();
    if (installationMode == SelfUpdateInstallationMode) {
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
            return path;
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
    if (record.state == EPendingChunkState::InMemory) {
        record.data.clear();
        --ChunksCachedInMemory;
    } else if (record.state == EPendingChunkState::InTemporaryFile) {
        record.temporaryFile().remove();
    }
    record.state = EPendingChunkState::NotCached;
    PendingChunks.erase(found);
}

void TPackageFileDownloader::saveIntoFile(
    TChunkedFileState& file, const TDownloadEntry& entry, const QByteArray& data, bool& cachedInThisCall)
{
    const QString path = prepareFile(file);
    const TLauncherSettings& settings = *FilesystemHelper->getLauncherSettings();

    while (!file.outstandingChunkIndices.empty()) {
        const int k = file.outstandingChunkIndices.front();
        TChunkSource source;
        if (!findSource(file.chunks.at(std::size_t(k)), entry, data, source)) {
            const TChunkInPackage& waiting = file.chunks.at(std::size_t(k));
            shared::TLogLine(QtInfoMsg) << "saveDownloadedData chunk " << shared::TLogText::url(waiting.url)
                                        << " not found for " << path << ". => Wait for chunk"
                                        << " Thread: " << QThread::currentThreadId();
            if (!cachedInThisCall && file.outstandingPlaces.value(entry.unpackedHash) > 0)
                cacheForLaterPlaces(entry, data, settings.maxCachedChunks, cachedInThisCall);
            return;
        }
        writeFrontChunk(file, path, settings.chunkVerification, source);
    }
}

bool TPackageFileDownloader::findSource(
    const TChunkInPackage& chunk, const TDownloadEntry& entry, const QByteArray& data, TChunkSource& source)
{
    if (chunk.unpackedHash == entry.unpackedHash) {
        source = { ESource::Download, data };
        return true;
    }
    QMutexLocker cacheLock(&PendingChunksMutex);
    const std::shared_ptr<TPendingChunk> record = PendingChunks.value(chunk.unpackedHash);
    if (!record || record->state == EPendingChunkState::NotCached)
        return false;
    // A counted copy, so a writer that releases or refills the record cannot pull the bytes away while
    // they are written.
    if (record->state == EPendingChunkState::InMemory)
        source = { ESource::Memory, record->data };
    else
        source = { ESource::TemporaryFile, QByteArray() };
    return true;
}

void TPackageFileDownloader::writeFrontChunk(
    TChunkedFileState& file, const QString& path, bool chunkVerification, TChunkSource& source)
{
    const int k = file.outstandingChunkIndices.front();
    const TChunkInPackage& chunk = file.chunks.at(std::size_t(k));
    const QString logPath = path + QStringLiteral(".log");

    QFile log;
    qint64 position = 0;
    openTarget(file, path, chunkVerification);
    if (chunkVerification) {
        log.setFileName(logPath);
        try {
            FilesystemHelper->openFileBelow(TargetDirectory, logPath, log, QIODevice::WriteOnly | QIODevice::Append);
        } catch (const std::runtime_error& e) {
            qWarning() << "saveDownloadedData: no chunk log: " << e.what();
        }
        position = file.targetFile.pos();
    }

    checkChunkInsideFile(file, std::size_t(k));
    if (chunkVerification)
        checkKeptChunks(file, k, log, position);
    const quint64 offset = file.chunkOffsets[std::size_t(k)];
    if (!file.targetFile.seek(qint64(offset)))
        shared::throwFileError(file.targetFile, QStringLiteral("couldn't seek in target file"));

    switch (source.kind) {
    case ESource::Download:
        if (chunkVerification)
            appendLogLine(log, offset,
                shared::TSha256::hash(source.bytes) == chunk.unpackedHash ? ": write succeeded" : ": write failed");
        logWrite(chunk, " to ", file, offset);
        break;
    case ESource::Memory:
        if (chunkVerification)
            appendLogLine(log, offset,
                shared::TSha256::hash(source.bytes) == chunk.unpackedHash ? ": write cache correct"
                                                                          : ": write cache invalid");
        logWrite(chunk, " from cache to ", file, offset);
        break;
    case ESource::TemporaryFile:
        source.bytes = readTemporaryCopy(chunk);
        if (chunkVerification) {
            if (shared::TSha256::hash(source.bytes) != chunk.unpackedHash) {
                appendLogLine(log, offset, ": write tmp file invalid");
                shared::throwFileError(file.targetFile, QStringLiteral("invalid hash"));
            }
            appendLogLine(log, offset, ": write tmp file correct");
        }
        logWrite(chunk, " from temp file to ", file, offset);
        break;
    }
    if (quint64(source.bytes.size()) != chunk.unpackedSize
        || file.targetFile.write(source.bytes) != qint64(chunk.unpackedSize))
        shared::throwFileError(file.targetFile, QStringLiteral("couldn't write chunk file"));
    if (source.kind != ESource::TemporaryFile) {
        // The temporary copy was counted down when it was read.
        QMutexLocker cacheLock(&PendingChunksMutex);
        releasePlaceLocked(chunk.unpackedHash);
    }

    {
        // Counted on the GUI thread with the results, before the result of the task that wrote it.
        QMutexLocker lock(&FinishedTasksMutex);
        WrittenChunks.emplace_back(chunk.url, chunk.unpackedSize);
    }
    file.outstandingChunkIndices.pop_front();
    if (const auto places = file.outstandingPlaces.find(chunk.unpackedHash);
        places != file.outstandingPlaces.end() && --places.value() <= 0)
        file.outstandingPlaces.erase(places);
    log.close();

    if (file.outstandingChunkIndices.empty())
        completeFile(file);
}

void TPackageFileDownloader::openTarget(TChunkedFileState& file, const QString& path, bool chunkVerification)
{
    if (file.targetFile.isOpen())
        return;
    try {
        FilesystemHelper->openFileBelow(TargetDirectory, file.targetFile.fileName(), file.targetFile,
            QIODevice::ReadWrite | QIODevice::Unbuffered);
    } catch (const std::runtime_error& e) {
        qWarning() << "saveDownloadedData: " << e.what();
        shared::throwFileError(file.targetFile, QStringLiteral("couldn't open target file"));
    }
    if (chunkVerification)
        FilesystemHelper->removeBelow(TargetDirectory, path + QStringLiteral(".log"));
}

void TPackageFileDownloader::checkChunkInsideFile(const TChunkedFileState& file, std::size_t k)
{
    // Sizes come from the downloaded configuration: every chunk up to this one must lie inside its file.
    if (k >= file.firstChunkOutsideFile || file.unpackedSize > quint64(std::numeric_limits<qint64>::max()))
        shared::throwFileError(file.targetFile, QStringLiteral("chunk lies outside the file"));
}

void TPackageFileDownloader::saveIntoFileInAnyOrder(
    TChunkedFileState& file, const TDownloadEntry& entry, const QByteArray& data)
{
    // Every place of this content is taken under the lock and written outside it, so writers of
    // other chunks of the file work at the same time; the last one to finish completes the file.
    std::vector<TChunkedFileState::TPlace*> places;
    {
        QMutexLocker lock(&file.mutex);
        // Also after the file is complete: a content listed under a second URL finds nothing left.
        for (TChunkedFileState::TPlace& place : placesOf(file, entry.unpackedHash))
            if (!place.taken)
                places.push_back(&place);
        if (places.empty())
            return;
        openTarget(file, prepareFile(file), false);
        for (TChunkedFileState::TPlace* place : places)
            place->taken = true;
        ++file.writesUnderWay;
    }
    std::size_t written = 0;
    try {
        for (; written < places.size(); ++written) {
            const std::size_t k = std::size_t(places[written]->index);
            const TChunkInPackage& chunk = file.chunks[k];
            checkChunkInsideFile(file, k);
            if (quint64(data.size()) != chunk.unpackedSize)
                shared::throwFileError(file.targetFile, QStringLiteral("couldn't write chunk file"));
            logWrite(chunk, " to ", file, file.chunkOffsets[k]);
            writeAt(file.targetFile, file.chunkOffsets[k], data);
            {
                QMutexLocker cacheLock(&PendingChunksMutex);
                releasePlaceLocked(chunk.unpackedHash);
            }
            QMutexLocker lock(&FinishedTasksMutex);
            WrittenChunks.emplace_back(chunk.url, chunk.unpackedSize);
        }
    } catch (...) {
        // The places not written stay outstanding for a later try.
        QMutexLocker lock(&file.mutex);
        for (std::size_t i = written; i < places.size(); ++i)
            places[i]->taken = false;
        file.placesLeft -= written;
        --file.writesUnderWay;
        throw;
    }
    QMutexLocker lock(&file.mutex);
    file.placesLeft -= places.size();
    if (--file.writesUnderWay == 0 && file.placesLeft == 0)
        completeFile(file);
}

void TPackageFileDownloader::checkKeptChunks(TChunkedFileState& file, int k, QFile& log, qint64& position)
{
    // The chunks between the last write and this one were kept from the old file: read them back.
    // Chunk ends only grow, so the first one that ends beyond the position is found by bisection.
    const auto ends = [&file](std::size_t j) { return file.chunkOffsets[j] + file.chunks[j].unpackedSize; };
    std::size_t low = 0;
    std::size_t high = std::size_t(k);
    while (low < high) {
        const std::size_t middle = low + (high - low) / 2;
        if (ends(middle) > quint64(position))
            high = middle;
        else
            low = middle + 1;
    }
    for (std::size_t j = low; j < std::size_t(k); ++j) {
        const TChunkInPackage& earlier = file.chunks[j];
        if (ends(j) <= quint64(position))
            continue; // an empty chunk
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
}

QByteArray TPackageFileDownloader::readTemporaryCopy(const TChunkInPackage& chunk)
{
    QMutexLocker cacheLock(&PendingChunksMutex);
    const std::shared_ptr<TPendingChunk> record = PendingChunks.value(chunk.unpackedHash);
    if (!record)
        throw std::runtime_error("couldn't find pending chunk");
    if (!record->temporaryFile().open())
        shared::throwFileError(record->temporaryFile(), QStringLiteral("couldn't open chunk file"));
    QByteArray bytes = record->temporaryFile().readAll();
    record->temporaryFile().close();
    releasePlaceLocked(chunk.unpackedHash);
    if (quint64(bytes.size()) != chunk.unpackedSize)
        shared::throwFileError(record->temporaryFile(), QStringLiteral("couldn't read chunk file"));
    return bytes;
}

void TPackageFileDownloader::logWrite(
    const TChunkInPackage& chunk, const char* how, const TChunkedFileState& file, quint64 offset)
{
    shared::TLogLine(QtInfoMsg) << "saveDownloadedData chunk " << shared::TLogText::url(chunk.url) << how
                                << shared::TLogText::quoted(file.targetFile.fileName()) << " offset: " << offset
                                << " Thread: " << QThread::currentThreadId();
}

void TPackageFileDownloader::completeFile(TChunkedFileState& file)
{
    // Bytes behind the file's end can only be left from an older, longer file.
    if (quint64(file.targetFile.size()) > file.unpackedSize && !file.targetFile.resize(qint64(file.unpackedSize)))
        shared::throwFileError(file.targetFile, QStringLiteral("couldn't truncate target file"));
    // On disk before the installation counts the file complete and writes its markers.
    if (!file.targetFile.flush() || ::fsync(file.targetFile.handle()) != 0)
        shared::throwFileError(file.targetFile, QStringLiteral("couldn't flush target file"));
    file.flushed = true;
    // Through the open file, so a link planted at the path since cannot pass it on.
    if (file.executable)
        shared::addPermissions(file.targetFile, QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther);
    file.targetFile.close();
}

void TPackageFileDownloader::cacheForLaterPlaces(
    const TDownloadEntry& entry, const QByteArray& data, int maxCachedChunks, bool& cachedInThisCall)
{
    QMutexLocker cacheLock(&PendingChunksMutex);
    const std::shared_ptr<TPendingChunk> record = PendingChunks.value(entry.unpackedHash);
    if (!record)
        throw std::runtime_error("couldn't find pending chunk");
    // Another URL of the same content may have stored it already; one record holds one copy.
    if (record->state == EPendingChunkState::NotCached) {
        if (ChunksCachedInMemory > maxCachedChunks) {
            if (!record->temporaryFile().open())
                shared::throwFileError(record->temporaryFile(), QStringLiteral("couldn't open chunk file"));
            const qint64 written = record->temporaryFile().write(data);
            record->temporaryFile().close();
            if (written != data.size())
                shared::throwFileError(record->temporaryFile(), QStringLiteral("couldn't write chunk file"));
            record->state = EPendingChunkState::InTemporaryFile;
        } else {
            ++ChunksCachedInMemory;
            record->data = data;
            record->state = EPendingChunkState::InMemory;
        }
    }
    cachedInThisCall = true;
}

} // namespace korvane::launcher
