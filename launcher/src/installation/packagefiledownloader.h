#pragma once

#include "core/launcherfilesystemhelper.h"
#include "core/packageconfigurationreader.h"
#include "installation/packagedifference.h"
#include "installation/progressstatistics.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFuture>
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

#include <list>
#include <memory>
#include <vector>

namespace shared {
class TDownloadPool;
}

namespace korvane::launcher {

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
    bool prepared = false;
    QFile targetFile;
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

// The cache record of one distinct chunk content.
struct TPendingChunk
{
    // Places of this content still to be written, over all files.
    int useCount = 0;
    QByteArray data;
    QTemporaryFile tempFile;
    // 0 not cached, 1 in data, 2 in tempFile.
    int state = 0;
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

    // The pool must keep a finished URL active until Remove (removeOnFinish false), so its limit also
    // bounds the chunks on their way through unpack, check and save.
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

    // Lowest offset at which the entry's content begins in any of its files; all bits set when none.
    static quint64 downloadOrderKey(const TDownloadEntry& entry);

    // Body of the save task: writes the checked chunk into every file of the entry.
    TTaskResult<bool> saveDownloadedData(const TDownloadEntry& entry, const QByteArray& data);

signals:
    void downloadCompleted();
    void writeProgress(QUrl Url, TFileSize DownloadedBytes);
    void progress(
        TFileSize BytesDownloaded, TFileSize BytesTotalToDownload, TFileSize BytesWritten, TFileSize BytesTotalToWrite);
    void downloadFailed(EPackageDownloaderError ErrorReason);

private slots:
    void onDownloadCompleted(QUrl Url, QByteArray Data);
    void onDownloadFailed(QUrl Url, QNetworkReply::NetworkError Code, QString ErrorString);
    void onDownloadProgress(QUrl Url, TFileSize DownloadedBytes);
    void onWriteProgress(QUrl Url, TFileSize DownloadedBytes);
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
    void decompressFinishedHandler(const QUrl& url, const QString& error, bool cancelled);
    void verifyFinishedHandler(const QUrl& url, const QString& error, bool cancelled);
    void processFinishedData(const QUrl& url, const QString& error, bool cancelled);
    // A chunk that ends for good without being saved.
    void failEntry(const QUrl& url, bool savingFailed);
    void emitFinishedSignalWhenNoMoreFilesAreOutstanding();
    void saveIntoFile(
        TChunkedFileState& file, const TDownloadEntry& entry, const QByteArray& data, bool& cachedInThisCall);
    void prepareFile(TChunkedFileState& file, const QString& path);
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
    QMap<QByteArray, std::shared_ptr<TPendingChunk>> PendingChunks;
    int ChunksCachedInMemory = 0;
    // Every file of the run, to tell at the end whether each got all its chunks.
    std::vector<std::shared_ptr<TChunkedFileState>> FileStates;
    // The task of each chunk on its way; a downloader destroyed mid-run waits for them.
    QHash<QUrl, QFuture<TChunkTaskResult>> RunningTasks;
};

} // namespace korvane::launcher
