#include "installation/packageinstallation.h"

#include "installation/installationscan.h"
#include "installation/packagefiledownloader.h"
#include "installation/packageverification.h"
#include "installation/selfupdatefiles.h"
#include "shared/downloadpool.h"
#include "shared/networkaccessmanagerwrapper.h"

#include <QDebug>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QStorageInfo>
#include <QThread>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>
#include <stdexcept>

namespace korvane::launcher {

namespace {

// Beyond this many the managers' threads would only compete with the workers for the cores.
constexpr int chunkNetworkAccessManagers = 4;

} // namespace

struct TScanOutcome
{
    TPackageDifference changes;
    QString errorText; // empty when the scan worked
};

TPackageInstallation::TPackageInstallation(const std::shared_ptr<TPackage>& package,
    const std::shared_ptr<QNetworkAccessManager>& networkAccessManager,
    const std::shared_ptr<TLauncherFilesystemHelper>& filesystemHelper)
    : package(package)
    , filesystemHelper(filesystemHelper)
    , networkAccessManager(networkAccessManager)
{
    registerInstallationMetaTypes();
    // The pool keeps a finished URL active until the downloader removes it: the downloader gives the
    // slot back once the body has arrived, unless too many bodies already wait for the workers.
    // Plain-http chunks go through the wrapper's own HTTP client, which keeps its connections and costs
    // little per response; https chunks through the client's lanes, several managers on threads of
    // their own, so that the framework's work for each response uses several cores and not the
    // window's thread. The pool's limit counts all of their requests together.
    const int limit = filesystemHelper->getLauncherSettings()->maxConcurrentDownloads;
    auto managers = std::make_shared<shared::QNetworkAccessManagerWrapper>(
        networkAccessManager, std::clamp(limit, 1, chunkNetworkAccessManagers));
    managers->sendThroughOwnClient();
    auto pool = std::make_shared<shared::TDownloadPool>(limit, managers, false);
    downloader = new TPackageFileDownloader(pool, filesystemHelper);
    connect(downloader, &TPackageFileDownloader::downloadCompleted, this, &TPackageInstallation::onDownloadCompleted);
    connect(downloader, &TPackageFileDownloader::downloadFailed, this, &TPackageInstallation::onDownloadFailed);
}

TPackageInstallation::~TPackageInstallation()
{
    // The scan's and the verification's workers emit through this object; never let them outlive it.
    if (scanWatcher) {
        scanWatcher->waitForFinished();
        delete scanWatcher;
    }
    if (verificationWatcher) {
        verificationWatcher->waitForFinished();
        delete verificationWatcher;
    }
    // The downloader may still be inside the emission that led here.
    downloader->deleteLater();
    downloader = nullptr;
}

void TPackageInstallation::startScan(TPackageConfigurationReader installedConfiguration, bool fastScan)
{
    registerInstallationMetaTypes();
    emptyFiles.clear();
    for (const TFileInPackage& file : targetConfiguration.files) {
        if (file.unpackedSize == 0)
            emptyFiles.push_back(file);
    }
    scanWatcher = new QFutureWatcher<TScanOutcome>();
    connect(scanWatcher, &QFutureWatcherBase::finished, this, &TPackageInstallation::onScanDone);
    TPackageInstallation* installation = this;
    scanWatcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(),
        // The target is read in place (the destructor waits for the scan); a copy of tens of thousands
        // of chunks would cost the window as much as the scan of a fresh installation.
        [installation, installedConfiguration = std::move(installedConfiguration), fastScan]() -> TScanOutcome {
            TScanOutcome outcome;
            try {
                outcome.changes
                    = TInstallationScan::requiredChanges(installation->targetConfiguration, installedConfiguration,
                        fastScan, installation->installationDirectory, installation->filesystemHelper,
                        installation->installationMode, [installation](TFileSize scanned, TFileSize total) {
                            emit installation->scanProgress(scanned, total);
                        });
            } catch (const std::exception& e) {
                outcome.errorText = QString::fromUtf8(e.what());
            } catch (...) {
                outcome.errorText = QStringLiteral("unknown exception");
            }
            return outcome;
        }));
}

void TPackageInstallation::onScanDone()
{
    TScanOutcome outcome = scanWatcher->future().takeResult();
    delete scanWatcher;
    scanWatcher = nullptr;
    if (outcome.errorText.isEmpty()) {
        onRequiredChangesComputedForInstallation(std::move(outcome.changes));
        return;
    }
    qCritical() << "startScan: the scan of " << package->name << " failed: " << outcome.errorText
                << " Thread: " << QThread::currentThreadId();
    succeeded = false;
    errorReason = EPackageDownloaderError::SavingFailed;
    emit downloadFinished(package);
}

std::vector<TFileToDownload> TPackageInstallation::FindFilesInPackageBasedOnHashAndSizeThatNeedUpdate(
    const TFileInPackageVector& newFiles, const TChunkInPackageVector& newChunks, const TFileInPackageVector& oldFiles,
    const TChunkInPackageVector& oldChunks, bool fastScan, const QDir& installationDirectory,
    const std::shared_ptr<TLauncherFilesystemHelper>& helper)
{
    return TInstallationScan::filesThatNeedUpdate(newFiles, newChunks, oldFiles, oldChunks, fastScan,
        installationDirectory, helper, installationMode,
        [this](TFileSize scanned, TFileSize total) { emit scanProgress(scanned, total); });
}

void TPackageInstallation::verify(const TPackageConfigurationReader& configuration, bool force)
{
    if (!force && filesystemHelper->getLauncherSettings()->skipVerification) {
        onVerifyFinished(true); // may release this object: nothing may follow
        return;
    }
    registerInstallationMetaTypes();
    verificationWatcher = new QFutureWatcher<bool>();
    connect(verificationWatcher, &QFutureWatcherBase::finished, this, &TPackageInstallation::onVerificationDone);
    TPackageInstallation* installation = this;
    verificationWatcher->setFuture(QtConcurrent::run(QThreadPool::globalInstance(),
        [installation, directory = installationDirectory, helper = filesystemHelper, files = configuration.files]() {
            return installation->VerifyPackage(directory, helper, files);
        }));
}

bool TPackageInstallation::VerifyPackage(const QDir& installationDirectory,
    const std::shared_ptr<TLauncherFilesystemHelper>& filesystemHelper, TFileInPackageVector files)
{
    return TPackageVerification::verifyFiles(installationDirectory, filesystemHelper, files,
        [this](TFileSize hashed, TFileSize total) { emit verificationProgress(hashed, total); });
}

void TPackageInstallation::onVerificationDone()
{
    const bool result = verificationWatcher->result();
    delete verificationWatcher;
    verificationWatcher = nullptr;
    onVerifyFinished(result);
}

void TPackageInstallation::onDownloadCompleted()
{
    if (installationMode == SelfUpdateInstallationMode && !putSelfUpdateFilesInPlace()) {
        onDownloadFailed(EPackageDownloaderError::SavingFailed);
        return;
    }
    qInfo() << "onDownloadCompleted" << package->name << " Thread: " << QThread::currentThreadId();
    if (downloader)
        flushedFiles = downloader->flushedFiles();
    succeeded = true;
    errorReason = EPackageDownloaderError::NoError;
    emit downloadFinished(package); // may release this object: nothing may follow
}

void TPackageInstallation::onDownloadFailed(EPackageDownloaderError ErrorReason)
{
    qInfo() << "onDownloadFailed" << package->name << " " << int(ErrorReason)
            << " Thread: " << QThread::currentThreadId();
    succeeded = false;
    errorReason = ErrorReason;
    emit downloadFinished(package);
}

void TPackageInstallation::onVerifyFinished(bool Result)
{
    qInfo() << "onVerifyFinished with " << (Result ? "true" : "false") << " Thread: " << QThread::currentThreadId();
    succeeded = Result;
    errorReason = Result ? EPackageDownloaderError::NoError : EPackageDownloaderError::VerificationFailed;
    emit verificationFinished(package);
}

std::optional<qint64> TPackageInstallation::availableBytes(const QString& path) const
{
    // The folder may not exist yet; its volume is that of the nearest folder above it that does.
    QString existing = path;
    while (!existing.isEmpty() && !QFileInfo(existing).isDir()) {
        const QString parent = QFileInfo(existing).path();
        if (parent == existing)
            break;
        existing = parent;
    }
    const QStorageInfo storage(existing);
    if (!storage.isValid())
        return std::nullopt;
    return storage.bytesAvailable();
}

void TPackageInstallation::onRequiredChangesComputedForInstallation(TPackageDifference Changes)
{
    qInfo() << "onRequiredChangesComputedForInstallation"
            << " files to download: " << Changes.filesToDownload.size()
            << " files to delete: " << Changes.filesToDelete.size() << " Thread: " << QThread::currentThreadId();
    filesToDownload = std::move(Changes.filesToDownload);
    filesToDelete = std::move(Changes.filesToDelete);

    const TFileSize needed = spaceStillNeeded();
    if (needed != 0) {
        const std::optional<qint64> available = availableBytes(installationDirectory.absolutePath());
        if (available && *available >= 0 && quint64(*available) < needed) {
            const auto [neededText, availableText] = spaceFigures(needed, quint64(*available));
            qCritical().noquote()
                << QStringLiteral("Not enough disk space. Need %1, only %2 available.").arg(neededText, availableText);
            succeeded = false;
            errorReason = EPackageDownloaderError::SavingFailed;
            emit downloadFinished(package);
            return;
        }
    }
    startDownload();
}

TFileSize TPackageInstallation::spaceStillNeeded() const
{
    // Bytes the files already hold keep their place: a chunk written over them takes nothing new, so a
    // file needs what it grows beyond its current size, and never more than its missing chunks.
    TFileSize needed = 0;
    for (const TFileToDownload& file : filesToDownload) {
        TFileSize missing = 0;
        for (int index : file.chunkIndicesToDownload) {
            if (index >= 0 && std::size_t(index) < file.chunks.size())
                missing += file.chunks[std::size_t(index)].unpackedSize;
        }
        TFileSize present = 0;
        // A file fetched whole is removed before its first write, so its space comes back.
        if (file.chunkIndicesToDownload.size() < file.chunks.size()) {
            try {
                const QFileInfo info(filesystemHelper->pathInsideFolder(installationDirectory, file.localFile));
                if (info.isFile())
                    present = TFileSize(info.size());
            } catch (const std::runtime_error&) {
                // The writer refuses the name; nothing is written for it.
            }
        }
        const TFileSize growth = file.unpackedSize > present ? file.unpackedSize - present : 0;
        needed += std::min(missing, growth);
    }
    return needed;
}

QPair<QString, QString> TPackageInstallation::spaceFigures(quint64 needed, quint64 available)
{
    // One unit for both, with as many decimals as it takes to tell them apart.
    const quint64 larger = std::max(needed, available);
    const std::pair<double, const char*> units[] = { { 1e9, "GB" }, { 1e6, "MB" }, { 1e3, "KB" } };
    for (const auto& [scale, unit] : units) {
        if (double(larger) < scale)
            continue;
        for (int decimals = 1; decimals <= 3; ++decimals) {
            const QString first = QStringLiteral("%1 %2").arg(double(needed) / scale, 0, 'f', decimals).arg(unit);
            const QString second = QStringLiteral("%1 %2").arg(double(available) / scale, 0, 'f', decimals).arg(unit);
            if (first != second)
                return { first, second };
        }
        break;
    }
    return { QStringLiteral("%1 bytes").arg(needed), QStringLiteral("%1 bytes").arg(available) };
}

void TPackageInstallation::deleteFile(const QString& path)
{
    const QFileInfo info(path);
    if (!info.exists() && !info.isSymLink())
        return;
    // Never reach outside the installation folder, not through a link either; a path that passes
    // through a link names no file of the package.
    if (!filesystemHelper->reachableWithoutLinks(installationDirectory, path)) {
        qWarning() << "startDownload: not deleting " << path << ", it lies behind a link";
        return;
    }
    const QString base = QFileInfo(installationDirectory.absolutePath()).canonicalFilePath();
    const QString parent = QFileInfo(info.absolutePath()).canonicalFilePath();
    const QString cleaned = QDir::cleanPath(info.absoluteFilePath());
    if (base.isEmpty() || parent.isEmpty() || cleaned == QDir::cleanPath(installationDirectory.absolutePath())
        || (parent != base && !parent.startsWith(base + QLatin1Char('/')))) {
        qWarning() << "startDownload: not deleting " << path << ", it is not inside the installation folder";
        return;
    }
    if (installationMode == SelfUpdateInstallationMode) {
        // A file of the running launcher: keep it under its ".old" name until the next start.
        TSelfUpdateFiles::moveAside(*filesystemHelper, path);
        return;
    }
    if (info.isSymLink())
        filesystemHelper->deleteFile(path); // the link itself, never what it points to
    else
        filesystemHelper->removePath(path);
}

void TPackageInstallation::deleteFiles()
{
    for (const TFileInPackage& entry : filesToDelete) {
        QString path;
        try {
            path = filesystemHelper->pathInsideFolder(installationDirectory, entry.localFile);
        } catch (const std::runtime_error& e) {
            qWarning() << "startDownload: not deleting " << entry.localFile << ": " << e.what();
            continue;
        }
        deleteFile(path);
    }
}

bool TPackageInstallation::putSelfUpdateFilesInPlace()
{
    try {
        for (const TFileToDownload& file : filesToDownload) {
            const QString path = filesystemHelper->pathInsideFolder(installationDirectory, file.localFile);
            TSelfUpdateFiles::putInPlace(*filesystemHelper, TSelfUpdateFiles::temporaryPath(path), path);
        }
        deleteFiles();
    } catch (const std::runtime_error& e) {
        qCritical() << "Putting the new files of " << package->name << " in place failed: " << e.what();
        return false;
    }
    qInfo() << "The new files of " << package->name << " are in place"
            << " Thread: " << QThread::currentThreadId();
    return true;
}

void TPackageInstallation::startDownload()
{
    try {
        qInfo() << "startDownload: " << package->name << " Thread: " << QThread::currentThreadId();
        // The running launcher loses nothing before every new file is complete.
        if (installationMode != SelfUpdateInstallationMode)
            deleteFiles();
        createEmptyFiles();
        if (filesToDownload.empty()) {
            onDownloadCompleted();
            return;
        }
        startFileDownload(installationDirectory, installationMode, filesToDownload);
    } catch (const std::runtime_error& e) {
        emit diskAccessFailed(QString::fromUtf8(e.what()));
    }
}

void TPackageInstallation::createEmptyFiles()
{
    // The scan has removed any such file that had content; one that is missing is made here, since no
    // chunk would ever create it and a package without it is not complete.
    for (const TFileInPackage& file : emptyFiles) {
        const QString path = filesystemHelper->pathInsideFolder(installationDirectory, file.localFile);
        filesystemHelper->removeLinksBelow(installationDirectory, path);
        const QFileInfo info(path);
        if (info.isFile() && info.size() == 0 && (!file.executable || info.isExecutable()))
            continue;
        QFile created;
        filesystemHelper->openFileBelow(
            installationDirectory, path, created, QIODevice::WriteOnly | QIODevice::Truncate);
        if (file.executable)
            shared::addPermissions(created, QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther);
        created.close();
    }
}

void TPackageInstallation::startFileDownload(const QDir& directory, int mode, const std::vector<TFileToDownload>& files)
{
    downloader->downloadFiles(directory, mode, files);
}

} // namespace korvane::launcher
