#include "installation/installationmanager.h"

#include "core/launcherapplication.h"
#include "installation/packagefiledownloader.h"
#include "installation/packageinstallation.h"
#include "shared/heapmemory.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QUrl>
#include <QtConcurrent/QtConcurrentMap>

#include <unistd.h>

#include <algorithm>
#include <stdexcept>

namespace korvane::launcher {

namespace {

const QString defaultClientMarker = QStringLiteral("default");

struct TProgressFunnelStep
{
    int threshold;
    const char* step;
    const char* firstFlagKey;
};

constexpr TProgressFunnelStep progressFunnelSteps[] = {
    { 10, "download_10pct", "FunnelDownload10PctFirst" },
    { 25, "download_25pct", "FunnelDownload25PctFirst" },
    { 50, "download_50pct", "FunnelDownload50PctFirst" },
    { 75, "download_75pct", "FunnelDownload75PctFirst" },
};

// Folders an installation of any manager is writing into. Managers are replaced while their
// installations run, and two packages may name the same folder; two writers in one folder would
// corrupt each other's files. GUI thread only.
QHash<QString, int>& foldersBeingWritten()
{
    static QHash<QString, int> folders;
    return folders;
}

QString folderKey(const QDir& folder)
{
    return QDir::cleanPath(folder.absolutePath());
}

void claimFolder(const QString& key)
{
    ++foldersBeingWritten()[key];
}

void releaseFolder(const QString& key)
{
    auto it = foldersBeingWritten().find(key);
    if (it != foldersBeingWritten().end() && --it.value() <= 0)
        foldersBeingWritten().erase(it);
}

// Pushes the written files to the disk, so that a full-installation marker never describes data that a
// crash of the machine could still take away. Best effort: the marker itself is synced on commit. The
// files go to the disk side by side on the global pool: one after the other, thousands of them hold the
// window for a noticeable time. Those the download put on disk itself are skipped: each flush costs the
// disk a cache flush of its own, even for a file with nothing left to write.
void flushFiles(const QDir& folder, const TFileInPackageVector& files, const QSet<QString>& flushed,
    const std::shared_ptr<TLauncherFilesystemHelper>& helper)
{
    QtConcurrent::blockingMap(files, [&folder, &flushed, &helper](const TFileInPackage& entry) {
        if (flushed.contains(entry.localFile))
            return;
        QFile file;
        try {
            file.setFileName(helper->pathInsideFolder(folder, entry.localFile));
        } catch (const std::runtime_error&) {
            return;
        }
        if (file.open(QIODevice::ReadOnly) && ::fsync(file.handle()) != 0)
            qWarning() << "markPackageAsFullyInstalled: could not flush " << file.fileName();
    });
}

} // namespace

TInstallationManager::TInstallationManager(const std::shared_ptr<TLauncherConfigurationReader>& configuration,
    const std::shared_ptr<QNetworkAccessManager>& networkAccessManager,
    const std::shared_ptr<TLauncherFilesystemHelper>& filesystemHelper)
    : configuration(configuration)
    , networkAccessManager(networkAccessManager)
    , m_pLauncherFilesystemHelper(filesystemHelper)
{
    if (!configuration)
        return;
    bool defaultFound = false;
    for (const std::shared_ptr<TPackage>& package : configuration->packages) {
        std::optional<TPackageConfigurationReader> complete;
        const ELocalPackageStatus status = localPackageStatus(package, &complete);
        package->setLocalStatus(status);
        if (complete)
            statusReads.insert(folderKey(installationDirectory(package)), std::move(*complete));
        if (defaultFound || status == ELocalPackageStatus::NotInstalled)
            continue;
        const QDir folder = installationDirectory(package);
        if (QFileInfo::exists(m_pLauncherFilesystemHelper->pathInsideFolder(folder, defaultClientMarker))) {
            package->isDefaultClient = true;
            defaultFound = true;
        }
    }
}

TInstallationManager::~TInstallationManager()
{
    // Installations still running are abandoned; their folders count as being written until the
    // installation objects, which wait for their worker tasks, are gone.
    for (const std::shared_ptr<TPackageInstallation>& installation : InstallationsInProgress) {
        disconnect(installation.get(), nullptr, this, nullptr);
        const QString key = folderKey(installation->getInstallationDirectory());
        connect(installation.get(), &QObject::destroyed, [key] { releaseFolder(key); });
    }
    InstallationsInProgress.clear();
}

bool TInstallationManager::isFolderBeingWritten(const QDir& folder)
{
    return foldersBeingWritten().contains(folderKey(folder));
}

void TInstallationManager::retire(std::unique_ptr<TInstallationManager> manager)
{
    if (!manager)
        return;
    TInstallationManager* retiring = manager.release();
    // Deferred even when idle: the owner may retire it from inside one of its own signals.
    if (retiring->InstallationsInProgress.empty()) {
        retiring->deleteLater();
        return;
    }
    retiring->retired = true;
    if (QCoreApplication* application = QCoreApplication::instance())
        connect(application, &QCoreApplication::aboutToQuit, retiring, &QObject::deleteLater);
}

QString TInstallationManager::markerPath(const QDir& folder, const QString& name)
{
    const QString path = m_pLauncherFilesystemHelper->pathInsideFolder(folder, name);
    // A marker named "" or "." is the folder itself; writing or replacing it would remove the installation.
    if (path == QDir::cleanPath(folder.absolutePath()))
        throw std::runtime_error(
            QStringLiteral("Refused marker name '%1': it names the folder '%2' itself.").arg(name, path).toStdString());
    return path;
}

QPair<QString, QString> TInstallationManager::installationMarkerPaths(const QDir& folder)
{
    const TLauncherSettings& settings = *m_pLauncherFilesystemHelper->getLauncherSettings();
    return { markerPath(folder, settings.partialPackageFile), markerPath(folder, settings.packageFile) };
}

QString TInstallationManager::assetFilePath(const QDir& folder)
{
    return markerPath(folder, m_pLauncherFilesystemHelper->getLauncherSettings()->assetFile);
}

std::optional<TPackageConfigurationReader> TInstallationManager::readInstalled(
    const QString& packagePath, const QString& assetPath, const QDir& folder, const TPackageConfigurationReader* known)
{
    if (packagePath.isEmpty())
        return TPackageConfigurationReader();
    // The same documents give the same tables: parsing tens of thousands of chunks again, or copying
    // them, would hold the window for a noticeable time, and so would reading the documents whole.
    // (Only the chunk addresses differ, which nobody reads from here.)
    if (known && m_pLauncherFilesystemHelper->fileHoldsIfOpenable(packagePath, known->packageJson)
        && m_pLauncherFilesystemHelper->fileHoldsIfOpenable(assetPath, known->assetJson))
        return std::nullopt;
    QByteArray packageDocument = m_pLauncherFilesystemHelper->readFileIfOpenable(packagePath);
    QByteArray assetDocument = m_pLauncherFilesystemHelper->readFileIfOpenable(assetPath);
    const QUrl base = QUrl::fromLocalFile(folder.absolutePath());
    return TPackageConfigurationReader(std::move(packageDocument), std::move(assetDocument), base, base,
        m_pLauncherFilesystemHelper->markerNames());
}

ELocalPackageStatus TInstallationManager::localPackageStatus(
    const std::shared_ptr<TPackage>& package, std::optional<TPackageConfigurationReader>* complete)
{
    const TPackageConfigurationReader* current = package->packageConfiguration();
    // An invalid configuration counts as none: nothing can be installed from it.
    if (!current || !current->valid)
        return ELocalPackageStatus::NotInstalled;
    const QDir folder = installationDirectory(package);
    const auto [partialMarker, fullMarker] = installationMarkerPaths(folder);
    if (!QFileInfo::exists(fullMarker))
        return QFileInfo::exists(partialMarker) ? ELocalPackageStatus::PartiallyInstalled
                                                : ELocalPackageStatus::NotInstalled;
    std::optional<TPackageConfigurationReader> read = readInstalled(fullMarker, assetFilePath(folder), folder);
    const ELocalPackageStatus status = statusOver(*current, *read);
    if (complete)
        *complete = std::move(read);
    return status;
}

ELocalPackageStatus TInstallationManager::statusOver(
    const TPackageConfigurationReader& current, const TPackageConfigurationReader& complete)
{
    if (current.versionText() != complete.versionText())
        return ELocalPackageStatus::UpdateAvailable;
    return current.assetVersion == QLatin1String("1") ? ELocalPackageStatus::UpdateAvailable
                                                      : ELocalPackageStatus::UpToDate;
}

TPackageConfigurationReader TInstallationManager::takeInstalled(const QString& marker, const QDir& folder)
{
    const auto found = statusReads.find(folderKey(folder));
    if (found == statusReads.end())
        return *readInstalled(marker, assetFilePath(folder), folder);
    TPackageConfigurationReader known = std::move(found.value());
    statusReads.erase(found);
    std::optional<TPackageConfigurationReader> read = readInstalled(marker, assetFilePath(folder), folder, &known);
    return read ? std::move(*read) : std::move(known);
}

TPackageConfigurationReader TInstallationManager::readPackageConfigurationFromInstallationDirectory(const QDir& folder)
{
    return *readInstalled(installedMarker(folder), assetFilePath(folder), folder);
}

QString TInstallationManager::installedMarker(const QDir& folder)
{
    const TLauncherSettings& settings = *m_pLauncherFilesystemHelper->getLauncherSettings();
    qInfo() << "readPackageConfigurationFromInstallationDirectory m_pLauncherFilesystemHelper: "
            << static_cast<const void*>(m_pLauncherFilesystemHelper.get())
            << " launcherSettings: " << static_cast<const void*>(&settings)
            << " installedPackageMarker: " << settings.packageFile
            << " partiallyInstalledPackageMarker: " << settings.partialPackageFile
            << " Thread: " << QThread::currentThreadId();
    const auto [partialMarker, fullMarker] = installationMarkerPaths(folder);
    const QString assetPath = assetFilePath(folder);
    if (QFileInfo::exists(fullMarker)) {
        qInfo() << "FullInstallationMarker " << fullMarker << assetPath << " Thread:" << QThread::currentThreadId();
        return fullMarker;
    }
    if (QFileInfo::exists(partialMarker)) {
        qInfo() << "PartialInstallationMarker " << partialMarker << assetPath
                << " Thread:" << QThread::currentThreadId();
        return partialMarker;
    }
    return QString();
}

void TInstallationManager::markPackageAsPartiallyInstalled(
    const std::shared_ptr<TPackage>& package, const QByteArray& packageDocument, const QByteArray& assetDocument)
{
    qInfo() << "markPackageAsPartiallyInstalled: " << package->name << " Thread: " << QThread::currentThreadId();
    const QDir folder = installationDirectory(package);
    const auto [partialMarker, fullMarker] = installationMarkerPaths(folder);
    if (QFileInfo::exists(fullMarker))
        m_pLauncherFilesystemHelper->moveFileReplacing(fullMarker, partialMarker);
    else if (!QFileInfo::exists(partialMarker))
        m_pLauncherFilesystemHelper->writeFileCreatingFolder(partialMarker, packageDocument);
    if (!assetDocument.isEmpty())
        m_pLauncherFilesystemHelper->writeFileCreatingFolder(assetFilePath(folder), assetDocument);
    package->setLocalStatus(ELocalPackageStatus::PartiallyInstalled);
}

QDir TInstallationManager::installationDirectory(const std::shared_ptr<TPackage>& package)
{
    if (package->index == TPackage::launcherPackageIndex)
        return QDir(QCoreApplication::applicationDirPath());
    return QDir(m_pLauncherFilesystemHelper->pathInsideFolder(
        m_pLauncherFilesystemHelper->packagesDirectory(), package->directoryName));
}

QString TInstallationManager::packageExecutablePath(const std::shared_ptr<TPackage>& package)
{
    const TPackageConfigurationReader* current = package->packageConfiguration();
    if (!current || current->executable.isEmpty())
        return {};
    return m_pLauncherFilesystemHelper->pathInsideFolder(installationDirectory(package), current->executable);
}

std::shared_ptr<TPackage> TInstallationManager::findPackageByExecutablePath(const QString& path)
{
    const QString wanted = QDir::cleanPath(path);
    for (const std::shared_ptr<TPackage>& package : configuration->packages) {
        if (QDir::cleanPath(packageExecutablePath(package)) == wanted)
            return package;
    }
    return nullptr;
}

std::shared_ptr<TPackage> TInstallationManager::defaultClientPackage() const
{
    for (const std::shared_ptr<TPackage>& package : configuration->packages) {
        if (package->isDefaultClient)
            return package;
    }
    return nullptr;
}

void TInstallationManager::sendFunnelStep(const QString& step, const QString& firstFlagKey)
{
    if (TLauncherApplication::instance)
        TLauncherApplication::instance->sendFunnelEvent(step, firstFlagKey);
}

std::shared_ptr<TPackageInstallation> TInstallationManager::findInstallation(
    const std::shared_ptr<TPackage>& package) const
{
    for (const std::shared_ptr<TPackageInstallation>& installation : InstallationsInProgress) {
        if (installation->getPackage()->name == package->name)
            return installation;
    }
    return nullptr;
}

std::shared_ptr<TPackageInstallation> TInstallationManager::createInstallation(const std::shared_ptr<TPackage>& package,
    const QDir& folder, const TPackageConfigurationReader& installed, TPackageConfigurationReader target)
{
    auto installation
        = std::make_shared<TPackageInstallation>(package, networkAccessManager, m_pLauncherFilesystemHelper);
    installation->setInstallationDirectory(folder);
    installation->setVersionTexts(installed.versionText(), target.versionText());
    installation->setInstallationMode(installationMode);
    installation->setTargetConfiguration(std::move(target));
    return installation;
}

void TInstallationManager::addInstallation(const std::shared_ptr<TPackageInstallation>& installation)
{
    InstallationsInProgress.push_back(installation);
    claimFolder(folderKey(installation->getInstallationDirectory()));
    connect(
        installation.get(), &TPackageInstallation::diskAccessFailed, this, &TInstallationManager::onDiskAccessFailed);
}

void TInstallationManager::failStart(const std::shared_ptr<TPackage>& package, const QDir& folder,
    const TPackageConfigurationReader& installed, const TPackageConfigurationReader& target)
{
    // Nothing from an invalid configuration may reach the folder, not even a marker; the row still
    // gets its start and its finish, as a failed download.
    qWarning() << "The configuration of " << package->name << " is not valid; nothing is installed or verified";
    const std::shared_ptr<TPackageInstallation> installation = createInstallation(package, folder, installed, target);
    connect(
        installation.get(), &TPackageInstallation::downloadFinished, this, &TInstallationManager::onDownloadFinished);
    addInstallation(installation);
    emit installationOrUpdateStarted(*installation);
    installation->onDownloadFailed(EPackageDownloaderError::DownloadFailed);
}

std::optional<QDir> TInstallationManager::folderReadyFor(
    const std::shared_ptr<TPackage>& package, const char* operation)
{
    if (findInstallation(package) || !package->packageConfiguration())
        return std::nullopt;
    const QDir folder = installationDirectory(package);
    if (isFolderBeingWritten(folder)) {
        qInfo() << operation << folder.absolutePath() << " is being written by another installation";
        return std::nullopt;
    }
    return folder;
}

void TInstallationManager::installOrUpdatePackage(const std::shared_ptr<TPackage>& package)
{
    qInfo() << "installOrUpdatePackage: " << package->name << " Thread: " << QThread::currentThreadId();
    const std::optional<QDir> ready = folderReadyFor(package, "installOrUpdatePackage: ");
    if (!ready)
        return;
    const QDir folder = *ready;
    // A copy, the installation's from here on: a refresh of the launcher configuration may replace the
    // package's own meanwhile.
    TPackageConfigurationReader target = *package->packageConfiguration();
    const QString marker = installedMarker(folder);
    TPackageConfigurationReader installed = takeInstalled(marker, folder);
    if (!target.valid) {
        failStart(package, folder, installed, target);
        return;
    }
    // Only an update over a complete installation may trust the installed configuration's word; the
    // full marker, when there is one, is what was just read.
    const bool fast = m_pLauncherFilesystemHelper->getLauncherSettings()->fastScan
        && marker == installationMarkerPaths(folder).second
        && statusOver(target, installed) == ELocalPackageStatus::UpdateAvailable;
    markPackageAsPartiallyInstalled(package, target.packageJson, target.assetJson);

    const std::shared_ptr<TPackageInstallation> installation
        = createInstallation(package, folder, installed, std::move(target));
    connect(
        installation.get(), &TPackageInstallation::downloadFinished, this, &TInstallationManager::onDownloadFinished);
    connect(installation.get(), &TPackageInstallation::verificationFinished, this,
        &TInstallationManager::onVerificationFinished);
    connect(installation->getPackageFileDownloader(), &TPackageFileDownloader::progress, this,
        [this](TFileSize BytesDownloaded, TFileSize BytesTotalToDownload, TFileSize, TFileSize) {
            sendDownloadProgressFunnelSteps(BytesDownloaded, BytesTotalToDownload);
        });
    addInstallation(installation);
    emit installationOrUpdateStarted(*installation);
    sentProgressThresholds.clear();
    sendFunnelStep(QStringLiteral("download_started"), QStringLiteral("FunnelDownloadStartedFirst"));
    installation->startScan(std::move(installed), fast);
}

void TInstallationManager::verifyPackage(const std::shared_ptr<TPackage>& package)
{
    qInfo() << "verifyPackage: " << package->name << " Thread: " << QThread::currentThreadId();
    const std::optional<QDir> ready = folderReadyFor(package, "verifyPackage: ");
    if (!ready)
        return;
    const QDir folder = *ready;
    TPackageConfigurationReader target = *package->packageConfiguration();
    const TPackageConfigurationReader installed = readPackageConfigurationFromInstallationDirectory(folder);
    // An installed configuration that does not parse lists no files, and would pass.
    if (!target.valid || !installed.valid) {
        failStart(package, folder, installed, target);
        return;
    }
    markPackageAsPartiallyInstalled(package, target.packageJson, target.assetJson);

    const std::shared_ptr<TPackageInstallation> installation
        = createInstallation(package, folder, installed, std::move(target));
    connect(installation.get(), &TPackageInstallation::verificationFinished, this,
        &TInstallationManager::onVerificationFinished);
    addInstallation(installation);
    emit installationOrUpdateStarted(*installation);
    installation->verify(installed, true);
}

void TInstallationManager::onDiskAccessFailed(QString ErrorMessage)
{
    emit diskAccessFailed(ErrorMessage);
}

void TInstallationManager::onDownloadFinished(std::shared_ptr<TPackage> PackageBeingInstalled)
{
    qInfo() << "onDownloadFinished: " << PackageBeingInstalled->name << " Thread: " << QThread::currentThreadId();
    const std::shared_ptr<TPackageInstallation> installation = findInstallation(PackageBeingInstalled);
    if (!installation)
        return;
    qInfo() << "onDownloadFinished found: " << PackageBeingInstalled->name
            << " InstallationsInProgress: " << InstallationsInProgress.size()
            << " Thread: " << QThread::currentThreadId();
    if (!installation->hasSucceeded()) {
        finish(installation);
        return;
    }
    try {
        qInfo() << "updatePartiallyInstalledPackage: " << PackageBeingInstalled->name
                << " Thread: " << QThread::currentThreadId();
        const TPackageConfigurationReader& target = installation->getTargetConfiguration();
        const QDir folder = installation->getInstallationDirectory();
        const auto [partialMarker, fullMarker] = installationMarkerPaths(folder);
        if (QFileInfo::exists(fullMarker))
            m_pLauncherFilesystemHelper->moveFileReplacing(fullMarker, partialMarker);
        m_pLauncherFilesystemHelper->writeFileCreatingFolder(partialMarker, target.packageJson);
        if (!target.assetJson.isEmpty())
            m_pLauncherFilesystemHelper->writeFileCreatingFolder(assetFilePath(folder), target.assetJson);
        PackageBeingInstalled->setLocalStatus(ELocalPackageStatus::PartiallyInstalled);
        // Read back from the disk; the target stands for the markers when they hold exactly its documents.
        const std::optional<TPackageConfigurationReader> readBack
            = readInstalled(installedMarker(folder), assetFilePath(folder), folder, &target);
        const TPackageConfigurationReader& installed = readBack ? *readBack : target;
        qInfo() << "onDownloadFinished LocalConfiguration: " << installed.files.size()
                << " Thread: " << QThread::currentThreadId();
        sendFunnelStep(QStringLiteral("launcher_downloaded"), QStringLiteral("FunnelFinishedDownloadingFirst"));
        // With skipVerification the verification finishes, and the installation is finished, inside
        // this call; the local share keeps it alive until this slot returns.
        if (installed.valid)
            installation->verify(installed, false);
        else
            installation->onVerifyFinished(false);
    } catch (const std::runtime_error& e) {
        emit diskAccessFailed(QString::fromUtf8(e.what()));
        finish(installation);
    }
}

void TInstallationManager::markPackageAsFullyInstalled(const TPackageInstallation& installation)
{
    qInfo() << "markPackageAsFullyInstalled: " << installation.getPackage()->name
            << " Thread: " << QThread::currentThreadId();
    const TPackageConfigurationReader& target = installation.getTargetConfiguration();
    const QDir folder = installation.getInstallationDirectory();
    const auto [partialMarker, fullMarker] = installationMarkerPaths(folder);
    flushFiles(folder, target.files, installation.getFlushedFiles(), m_pLauncherFilesystemHelper);
    // Every step leaves a state that the next start reads correctly: while the partial marker exists
    // the package counts as partially installed, whatever the full marker says by then.
    if (!target.assetJson.isEmpty())
        m_pLauncherFilesystemHelper->writeFileCreatingFolder(assetFilePath(folder), target.assetJson);
    m_pLauncherFilesystemHelper->writeFileCreatingFolder(fullMarker, target.packageJson);
    if (QFileInfo::exists(partialMarker))
        m_pLauncherFilesystemHelper->removePath(partialMarker);
    installation.getPackage()->setLocalStatus(ELocalPackageStatus::UpToDate);
}

void TInstallationManager::copyAccountGroupFile(const QDir& folder)
{
    if (!m_pLauncherFilesystemHelper->accountGroupFileExists())
        return;
    const QString target = m_pLauncherFilesystemHelper->joinPath(
        { folder.absolutePath(), m_pLauncherFilesystemHelper->getClientAccountGroupFilePath() });
    // An existing file is kept and no folder is made; a failed copy is of no consequence.
    QFile::copy(m_pLauncherFilesystemHelper->getAccountGroupFilePath(), target);
}

void TInstallationManager::onVerificationFinished(std::shared_ptr<TPackage> PackageBeingInstalled)
{
    qInfo() << "onVerificationFinished: " << PackageBeingInstalled->name << " Thread: " << QThread::currentThreadId();
    const std::shared_ptr<TPackageInstallation> installation = findInstallation(PackageBeingInstalled);
    if (!installation)
        return;
    const bool succeeded = installation->hasSucceeded();
    qInfo() << "onVerificationFinished found package: " << PackageBeingInstalled->name
            << " without error: " << (succeeded ? "true" : "false") << " Thread: " << QThread::currentThreadId();
    bool marked = false;
    if (succeeded) {
        try {
            markPackageAsFullyInstalled(*installation);
            marked = true;
        } catch (const std::runtime_error& e) {
            emit diskAccessFailed(QString::fromUtf8(e.what()));
        }
    }
    if (marked) {
        sendFunnelStep(QStringLiteral("launcher_verified"), QStringLiteral("FunnelFinished_VerifyingFirst"));
        // Passed on to the client; only a package whose files were checked and recorded earns it.
        PackageBeingInstalled->isUpToDate = true;
    }
    if (succeeded)
        copyAccountGroupFile(installation->getInstallationDirectory());
    finish(installation);
}

void TInstallationManager::finish(std::shared_ptr<TPackageInstallation> installation)
{
    // A receiver may let go of this manager inside either signal.
    const QPointer<TInstallationManager> self(this);
    emit installationOrUpdateFinished(*installation);
    if (!self)
        return;
    disconnect(
        installation.get(), &TPackageInstallation::diskAccessFailed, this, &TInstallationManager::onDiskAccessFailed);
    const auto it = std::find(InstallationsInProgress.begin(), InstallationsInProgress.end(), installation);
    if (it == InstallationsInProgress.end())
        return;
    InstallationsInProgress.erase(it);
    releaseFolder(folderKey(installation->getInstallationDirectory()));
    if (!InstallationsInProgress.empty())
        return;
    // Once the callers have let go of the installation, its buffers are free: give them back.
    QTimer::singleShot(0, [] { shared::THeapMemory::releaseFreeMemory(); });
    emit allStartedUpdatesFinished();
    if (self && retired)
        deleteLater();
}

void TInstallationManager::sendDownloadProgressFunnelSteps(TFileSize BytesDownloaded, TFileSize BytesTotalToDownload)
{
    if (BytesTotalToDownload == 0)
        return;
    const quint64 percent = quint64(BytesDownloaded) * 100 / quint64(BytesTotalToDownload);
    for (const TProgressFunnelStep& row : progressFunnelSteps) {
        if (percent >= quint64(row.threshold) && !sentProgressThresholds.contains(row.threshold)) {
            sentProgressThresholds.insert(row.threshold);
            sendFunnelStep(QLatin1String(row.step), QLatin1String(row.firstFlagKey));
        }
    }
}

} // namespace korvane::launcher
