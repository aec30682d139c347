#pragma once

#include "core/launcherfilesystemhelper.h"
#include "core/packageconfigurationreader.h"
#include "installation/packagedifference.h"
#include "installation/progressstatistics.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QHash>
#include <QMap>
#include <QMutex>
#include <QNetworkReply>
#include <QObject>
#include <QSet>
#include <QString>
#include <QTemporaryFile>
#include <QTimer>
#include <QUrl>
#include <QWaitCondition>

#include <functional>
#include <list>
#include <memory>
#include <vector>

namespace shared {
class TDownloadPool;
}

namespace korvane::launcher {

// The installation's mode as the installation hands it over; the values are those it stores.
enum EInstallationMode : int {
    NormalInstallationMode = 0,
    // The launcher updates itself: every file is written whole under a temporary name beside its target.
    SelfUpdateInstallationMode = 1,
};

// The shared state of one target file; every plan entry that lists the file, and every task copy of
// such an entry, holds the same one.
struct TChunkedFileState
{
    QString localFile;
    TFileSize unpackedSize = 0;
    QByteArray unpackedHash;
    bool executable = false;
    std::vector<TPatchInPackage> patches;
    // The file's whole chunk table in file order, also the chunks kept in place.
    TChunkInPackageVector chunks;
    // Held by a writer for all its work on this file.
    QMutex mutex;
    // Indices into chunks not yet written, front first; the writer only ever writes the front one.
    std::list<int> outstandingChunkIndices;
    // Offset of each chunk of chunks, and the index of the first chunk that does not lie inside the
    // file (chunks.size() when all do); computed once when the plan is built.
    std::vector<quint64> chunkOffsets;
    std::size_t firstChunkOutsideFile = 0;
    // Outstanding places of each content in this file, kept with outstandingChunkIndices.
    QHash<QByteArray, int> outstandingPlaces;
    // A file written whole without a chunk log has nothing to keep between its chunks, so it takes
    // them in the order they arrive, from several writers at once; outstandingChunkIndices stays
    // empty and these hold what is left.
    bool anyOrder = false;
    // Every chunk index of such a file with its content, sorted by content, then in the order given. A
    // sorted vector: a hash table per file cost the window's thread thousands of allocations when the
    // plan was built for a package of many small files. A place is taken when a writer of its content
    // has it.
    struct TPlace
    {
        QByteArray hash;
        int index = 0;
        bool taken = false;
    };
    std::vector<TPlace> placesOfContent;
    std::size_t placesLeft = 0;
    int writesUnderWay = 0;
    bool prepared = false;
    // Set by the worker that completes the file, once it is on disk; read after the run has ended.
    bool flushed = false;
    QFile targetFile;

    std::size_t chunksLeft() const { return outstandingChunkIndices.size() + placesLeft; }
};

// One distinct chunk URL to download.
struct TDownloadEntry
{
    QUrl url;
    quint64 packedSize = 0;
    QByteArray packedHash;
    quint64 unpackedSize = 0;
    QByteArray unpackedHash; // raw SHA-256
    bool unpack = true;
    // The files that need this chunk, each once, in input order.
    std::vector<std::shared_ptr<TChunkedFileState>> files;
    // Re-downloads after a failed check.
    int retryCount = 0;
};

// Where the cached copy of a content is; the values are those the cache has always used.
enum class EPendingChunkState : int { NotCached = 0, InMemory = 1, InTemporaryFile = 2 };

// The cache record of one distinct chunk content.
struct TPendingChunk
{
    // Places of this content still to be written, over all files.
    int useCount = 0;
    QByteArray data;
    // Made when the content first goes to disk: finding the temporary folder costs system calls, and
    // most contents never need a file.
    std::unique_ptr<QTemporaryFile> tempFile;
    EPendingChunkState state = EPendingChunkState::NotCached;

    QTemporaryFile& temporaryFile()
    {
        if (!tempFile)
            tempFile = std::make_unique<QTemporaryFile>();
        return *tempFile;
    }
};

// Fetches the missing chunks of one installation through its own pool, unpacks and checks each on the
// global thread pool and writes it at every place that needs it. Runs once; the result is
// downloadCompleted or downloadFailed.
class TPackageFileDownloader : public QObject
{
    Q_OBJECT

public:
    template<typename T> struct TTaskResult
    {
        T value {};
        // Empty on success.
        QString errorMessage;
    };

    // The pool must keep a finished URL active until Remove (removeOnFinish false): the downloader
    // gives a slot back once the body has arrived and the workers do not have too many waiting.
    TPackageFileDownloader(
        std::shared_ptr<shared::TDownloadPool> pool, std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper);
    // Waits for tasks still running, since they point at this object.
    ~TPackageFileDownloader() override;

    void downloadFiles(const QDir& target, int installationMode, const std::vector<TFileToDownload>& files);
    void buildDownloadQueue(const std::vector<TFileToDownload>& files);

    TFileSize getBytesTotalToDownload() const;
    TFileSize getBytesDownloaded() const;
    TProgressStatistics getDownloadStatistics() const { return DownloadStatistics; }

    const std::vector<TDownloadEntry>& getDownloadQueue() const { return DownloadQueue; }
    // Places still counted for a content; 0 once its record is gone.
    int getPendingUseCount(const QByteArray& unpackedHash);
    // The files this run completed and put on disk; read once the run has ended.
    QSet<QString> flushedFiles() const;

    // Lowest offset at which the entry's content begins in any of its files; all bits set when none.
    static quint64 downloadOrderKey(const TDownloadEntry& entry);

    // Body of the save task: writes the checked chunk into every file of the entry.
    TTaskResult<bool> saveDownloadedData(const TDownloadEntry& entry, const QByteArray& data);

signals:
    void downloadCompleted();
    void progress(
        TFileSize BytesDownloaded, TFileSize BytesTotalToDownload, TFileSize BytesWritten, TFileSize BytesTotalToWrite);
    void downloadFailed(EPackageDownloaderError ErrorReason);

private slots:
    void onDownloadCompleted(QUrl Url, QByteArray Data);
    void onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString);
    void onDownloadProgress(QUrl Url, TFileSize DownloadedBytes);
    void onProgressTick();

private:
    void processDownloadedData(const QUrl& url, const QByteArray& data, bool decompressed, bool verified);
    // The step a chunk's task stopped in: the failed unpack or check, or the save with its outcome.
    enum class EStep { Unpack, Check, Save };
    struct TChunkTaskResult
    {
        EStep step = EStep::Unpack;
        QString errorMessage; // empty when the chunk was saved
    };
    // Worker task of one chunk: unpack, check and save from firstStep on, stopping at a failed step.
    TChunkTaskResult runChunkTask(const TDownloadEntry& entry, QByteArray received, EStep firstStep);
    void chunkTaskFinished(const QUrl& url, const TChunkTaskResult& result);
    void takeFinishedTasks();
    void onWriteProgress(const QUrl& Url, TFileSize DownloadedBytes);
    void queueChunkTask(qsizetype bodySize, std::function<void()> task);
    void startQueuedTasks();
    // After a body arrived: gives its download slot back, or holds it while the workers have enough.
    void holdOrReleaseSlot(const QUrl& url, qsizetype bodySize);
    void workerDone(const QUrl& url);
    void decompressFinishedHandler(const QUrl& url, const QString& error, bool cancelled);
    void verifyFinishedHandler(const QUrl& url, const QString& error, bool cancelled);
    void processFinishedData(const QUrl& url, const QString& error, bool cancelled);
    // A chunk that ends for good without being saved.
    void failEntry(const QUrl& url, bool savingFailed);
    void emitFinishedSignalWhenNoMoreFilesAreOutstanding();
    void saveIntoFile(
        TChunkedFileState& file, const TDownloadEntry& entry, const QByteArray& data, bool& cachedInThisCall);
    // Names the target and, on the file's first write, clears its place and makes its folder; the
    // file's path inside the installation.
    QString prepareFile(TChunkedFileState& file);
    // Opens the target for writing on first use (the file's lock held).
    void openTarget(TChunkedFileState& file, const QString& path, bool chunkVerification);
    void saveIntoFileInAnyOrder(TChunkedFileState& file, const TDownloadEntry& entry, const QByteArray& data);
    // Throws unless the file's chunk k lies inside the file.
    static void checkChunkInsideFile(const TChunkedFileState& file, std::size_t k);
    static void computeChunkOffsets(TChunkedFileState& file);
    // Where the bytes of a file's front chunk come from.
    enum class ESource { Download, Memory, TemporaryFile };
    struct TChunkSource
    {
        ESource kind = ESource::Download;
        QByteArray bytes; // empty for the temporary file until it is read
    };
    // False when the chunk is neither the downloaded one nor cached: the file waits for it.
    bool findSource(
        const TChunkInPackage& chunk, const TDownloadEntry& entry, const QByteArray& data, TChunkSource& source);
    void writeFrontChunk(TChunkedFileState& file, const QString& path, bool chunkVerification, TChunkSource& source);
    void checkKeptChunks(TChunkedFileState& file, int k, QFile& log, qint64& position);
    QByteArray readTemporaryCopy(const TChunkInPackage& chunk);
    static void logWrite(const TChunkInPackage& chunk, const char* how, const TChunkedFileState& file, quint64 offset);
    void completeFile(TChunkedFileState& file);
    // Keeps the downloaded bytes for places of the file behind the gap, in memory or a temporary file.
    void cacheForLaterPlaces(
        const TDownloadEntry& entry, const QByteArray& data, int maxCachedChunks, bool& cachedInThisCall);
    // Where the bytes of the file at path go: the path itself, or in the self-update mode its temporary name.
    QString targetPathFor(const QString& path) const;
    // Counts down one written place of a content and releases its record at the last one.
    void releasePlaceLocked(const QByteArray& unpackedHash);
    bool allFilesComplete();

    std::shared_ptr<shared::TDownloadPool> DownloadPool;
    std::shared_ptr<TLauncherFilesystemHelper> FilesystemHelper;
    QDir TargetDirectory { QString() };
    bool AtLeastOneDownloadFailed = false;
    bool AtLeastOneSavingOperationFailed = false;
    int installationMode = 0;
    // The plan in download order; never shrinks, so its sums are the run's totals.
    std::vector<TDownloadEntry> DownloadQueue;
    // Hashed rather than a sorted vector: a run may hold tens of thousands of entries, and erasing
    // from the middle of a vector would cost a shift per finished chunk.
    QHash<QUrl, TDownloadEntry> FilesInProgress;
    QSet<QUrl> FilesNotYetWritten;
    QHash<QUrl, TFileSize> BytesReceivedPerUrl;
    QHash<QUrl, TFileSize> BytesWrittenPerUrl;
    // Running sums of the two maps, so a tick does not walk them.
    TFileSize BytesReceived = 0;
    TFileSize BytesWritten = 0;
    // Sums over DownloadQueue, fixed for the run.
    TFileSize TotalToDownload = 0;
    TFileSize TotalToWrite = 0;
    bool ResultSent = false;
    QTimer ProgressTimer;
    TFileSize LastBytesReceived = 0;
    TFileSize LastBytesWritten = 0;
    TProgressStatistics DownloadStatistics;
    TProgressStatistics WriteStatistics;
    QMutex PendingChunksMutex;
    QHash<QByteArray, std::shared_ptr<TPendingChunk>> PendingChunks;
    int ChunksCachedInMemory = 0;
    // Every file of the run, to tell at the end whether each got all its chunks.
    std::vector<std::shared_ptr<TChunkedFileState>> FileStates;
    // Chunk tasks on the workers and their results not yet taken; a downloader destroyed mid-run
    // waits for the tasks.
    QMutex FinishedTasksMutex;
    QWaitCondition TaskEnded;
    int RunningTaskCount = 0;
    std::vector<std::pair<QUrl, TChunkTaskResult>> FinishedTasks;
    // Chunk tasks of this turn of the event loop not yet handed to a worker (GUI thread only).
    static constexpr qsizetype taskGroupBytes = qsizetype(256) << 10;
    static constexpr std::size_t maxTaskGroup = 16;
    std::vector<std::function<void()>> QueuedTasks;
    qsizetype QueuedTaskBytes = 0;
    bool QueuedTasksPosted = false;
    // Chunks written since the results were last taken, with their sizes.
    std::vector<std::pair<QUrl, TFileSize>> WrittenChunks;
    // Bodies handed to the workers: those whose download slot was given back, those that still hold
    // it because the workers have enough waiting, and the bytes of all of them.
    static constexpr qsizetype maxBytesInWorkers = qsizetype(64) << 20;
    QSet<QUrl> ReleasedSlots;
    QList<QUrl> HeldSlots;
    QHash<QUrl, qsizetype> BodyBytesInWorkers;
    qsizetype BytesInWorkers = 0;
};

} // namespace korvane::launcher
