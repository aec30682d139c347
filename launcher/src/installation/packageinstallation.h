#pragma once

#include "core/launcherfilesystemhelper.h"
#include "core/package.h"
#include "core/packageconfigurationreader.h"
#include "installation/packagedifference.h"

#include <QDir>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

class QNetworkAccessManager;
template<typename T> class QFutureWatcher;

namespace korvane::launcher {

class TPackageFileDownloader;
struct TScanOutcome;

// One running install, update or verification of one package: scan, disk-space check, deletion of the
// files the new configuration lacks, hand-over to the file downloader, and the finish reason of each phase.
// Lives on the GUI thread; the receivers of its finish signals may drop the last share of it.
class TPackageInstallation : public QObject
{
    Q_OBJECT

public:
    TPackageInstallation(const std::shared_ptr<TPackage>& package,
        const std::shared_ptr<QNetworkAccessManager>& networkAccessManager,
        const std::shared_ptr<TLauncherFilesystemHelper>& filesystemHelper);
    ~TPackageInstallation() override;

    const std::shared_ptr<TPackage>& getPackage() const { return package; }
    TPackageFileDownloader* getPackageFileDownloader() const { return downloader; }
    bool hasSucceeded() const { return succeeded; }
    EPackageDownloaderError getFinishReason() const { return errorReason; }
    void setInstallationDirectory(const QDir& directory) { installationDirectory = directory; }
    const QDir& getInstallationDirectory() const { return installationDirectory; }
    void setVersionTexts(const QString& installed, const QString& target)
    {
        installedVersionText = installed;
        targetVersionText = target;
    }
    void setInstallationMode(int mode) { installationMode = mode; }
    int getInstallationMode() const { return installationMode; }
    // The configuration being installed, as it was when the installation started; the markers are
    // written from it, since a refresh of the launcher configuration may replace the package's own.
    void setTargetConfiguration(TPackageConfigurationReader configuration)
    {
        targetConfiguration = std::move(configuration);
    }
    const TPackageConfigurationReader& getTargetConfiguration() const { return targetConfiguration; }
    const TFileInPackageVector& getFilesToDelete() const { return filesToDelete; }
    const std::vector<TFileToDownload>& getFilesToDownload() const { return filesToDownload; }
    // The files the download phase wrote and put on disk itself.
    const QSet<QString>& getFlushedFiles() const { return flushedFiles; }

    // The needed and the available bytes as the disk-space message shows them: one unit, and enough
    // decimals that different figures read differently.
    static QPair<QString, QString> spaceFigures(quint64 needed, quint64 available);

    // First phase of an install or update, from installedConfiguration to the target configuration:
    // runs on the global thread pool and ends in onRequiredChangesComputedForInstallation on the GUI
    // thread. A scan that fails ends the download phase with SavingFailed.
    void startScan(TPackageConfigurationReader installedConfiguration, bool fastScan);

    // Blocks on six workers; call it on a pool thread. Emits scanProgress on the workers' threads.
    std::vector<TFileToDownload> FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
        const TFileInPackageVector& newFiles, const TChunkInPackageVector& newChunks,
        const TFileInPackageVector& oldFiles, const TChunkInPackageVector& oldChunks, bool fastScan,
        const QDir& installationDirectory, const std::shared_ptr<TLauncherFilesystemHelper>& helper);

    // Last phase of an install or update, and the whole of a forced verification: hashes the files of
    // configuration on the global thread pool and ends in onVerifyFinished on the GUI thread. Without
    // force and with skipVerification set it succeeds at once, before returning.
    void verify(const TPackageConfigurationReader& configuration, bool force);

    // Blocks on six workers; call it on a pool thread. Emits verificationProgress on the workers' threads.
    bool VerifyPackage(const QDir& installationDirectory,
        const std::shared_ptr<TLauncherFilesystemHelper>& filesystemHelper, TFileInPackageVector files);

signals:
    void scanProgress(TFileSize BytesDownloaded, TFileSize BytesTotal);
    void writeProgress(TFileSize BytesDownloaded, TFileSize BytesTotal);
    void verificationProgress(TFileSize BytesDownloaded, TFileSize BytesTotal);
    void downloadFinished(std::shared_ptr<TPackage> PackageBeingInstalled);
    void verificationFinished(std::shared_ptr<TPackage> PackageBeingInstalled);
    void diskAccessFailed(QString Message);

public slots:
    void onDownloadCompleted();
    void onDownloadFailed(EPackageDownloaderError ErrorReason);
    void onRequiredChangesComputedForInstallation(TPackageDifference Changes);
    void onVerifyFinished(bool Result);

protected:
    // Free bytes of the volume that holds path; nothing when the volume cannot be queried.
    virtual std::optional<qint64> availableBytes(const QString& path) const;
    // Hands the files to fetch to the package file downloader, which ends the phase through
    // onDownloadCompleted or onDownloadFailed.
    virtual void startFileDownload(const QDir& directory, int mode, const std::vector<TFileToDownload>& files);

private:
    void startDownload();
    void deleteFiles();
    // What the files to download still add to the disk.
    TFileSize spaceStillNeeded() const;
    void deleteFile(const QString& path);
    // Self-update: renames every complete new file over its name and moves the files to delete aside;
    // false (logged) when one of them fails, and the self-updater then puts the earlier files back.
    bool putSelfUpdateFilesInPlace();
    void onScanDone();
    void onVerificationDone();
    void createEmptyFiles();

    std::shared_ptr<TPackage> package;
    TPackageFileDownloader* downloader = nullptr;
    std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper;
    bool succeeded = false;
    EPackageDownloaderError errorReason = EPackageDownloaderError::NoError;
    int installationMode = 0;
    QString installedVersionText;
    QString targetVersionText;
    QDir installationDirectory { QString() };
    TFileInPackageVector filesToDelete;
    std::vector<TFileToDownload> filesToDownload;
    QSet<QString> flushedFiles;
    // Kept for the downloader's pool.
    std::shared_ptr<QNetworkAccessManager> networkAccessManager;
    QFutureWatcher<TScanOutcome>* scanWatcher = nullptr;
    QFutureWatcher<bool>* verificationWatcher = nullptr;
    TPackageConfigurationReader targetConfiguration;
    // Files of the new configuration without content: no chunk brings them, so they are made here.
    TFileInPackageVector emptyFiles;
};

} // namespace korvane::launcher
