#include "core/launcherselfupdater.h"

#include "core/launcherconfigurationreader.h"
#include "core/launcherconstants.h"
#include "core/launchermessagehandler.h"
#include "core/package.h"
#include "core/packageconfigurationreader.h"
#include "installation/installationmanager.h"
#include "installation/packagefiledownloader.h"
#include "installation/packageinstallation.h"
#include "installation/selfupdatefiles.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QThread>
#include <QTimer>

#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <stdexcept>
#include <system_error>

namespace korvane::launcher {

namespace {

quint64 inodeOf(const QString& path)
{
    struct stat status
    {
    };
    if (::lstat(QFile::encodeName(path).constData(), &status) != 0)
        return 0;
    return quint64(status.st_ino);
}

// Every ".old" file below the folder; links are listed, never followed.
QStringList oldFilesBelow(const QDir& folder)
{
    QStringList result;
    QDirIterator it(folder.absolutePath(), QDir::Files | QDir::Hidden | QDir::System, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        if (path.endsWith(oldFileSuffix))
            result << path;
    }
    return result;
}

bool defaultProcessStarter(const QString& program, const QStringList& arguments, const QString& workingDirectory)
{
    return QProcess::startDetached(program, arguments, workingDirectory);
}

} // namespace

const QString TLauncherSelfUpdater::splashImage = QStringLiteral(":/images/launcher/LauncherLogo_UpdatingLauncher.png");

TLauncherSelfUpdater::TLauncherSelfUpdater(std::shared_ptr<QNetworkAccessManager> networkAccessManager,
    std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper)
    : networkAccessManager(std::move(networkAccessManager))
    , filesystemHelper(std::move(filesystemHelper))
    , processStarter(defaultProcessStarter)
    , executablePath(QCoreApplication::applicationFilePath())
{ }

TLauncherSelfUpdater::~TLauncherSelfUpdater()
{
    delete installationManager;
}

QString TLauncherSelfUpdater::offeredVersion(const TLauncherConfigurationReader* configuration)
{
    if (!configuration || !configuration->launcherPackage)
        return {};
    const TPackageConfigurationReader* offered = configuration->launcherPackage->packageConfiguration();
    if (!offered)
        return {};
    // A rejected configuration offers nothing that could be installed.
    if (!offered->valid) {
        qWarning() << "The configuration of the launcher package is not valid; the launcher is not updated";
        return {};
    }
    return offered->version.isEmpty() ? QStringLiteral("?") : offered->version;
}

bool TLauncherSelfUpdater::isUpdateOffered(const TLauncherConfigurationReader* configuration, const QString& ownVersion)
{
    const QString offered = offeredVersion(configuration);
    return !offered.isEmpty() && offered != ownVersion;
}

bool TLauncherSelfUpdater::checkForUpdate(
    const std::shared_ptr<TLauncherConfigurationReader>& configuration, bool loadedFromCache)
{
    if (loadedFromCache || !isUpdateOffered(configuration.get(), launcherVersion))
        return false;
    startSelfUpdate(configuration->launcherPackage);
    return true;
}

void TLauncherSelfUpdater::startSelfUpdate(const std::shared_ptr<TPackage>& launcherPackage)
{
    qInfo() << "startSelfUpdate " << launcherPackage->name << " Thread: " << QThread::currentThreadId();
    // A second writer would race the first in the same folder, and its failure would put files back under it.
    if (installationManager && outcome == EOutcome::Pending && installationManager->hasInstallationsInProgress()) {
        qInfo() << "startSelfUpdate: the update is already running";
        return;
    }
    if (installationManager) {
        disconnect(installationManager, nullptr, this, nullptr);
        TInstallationManager::retire(std::unique_ptr<TInstallationManager>(installationManager));
        installationManager = nullptr;
    }
    outcome = EOutcome::Pending;
    concluded = false;
    diskFailureSeen = false;
    restoreError.clear();
    snapshotTaken = false;

    installationManager = new TInstallationManager(nullptr, networkAccessManager, filesystemHelper);
    connect(installationManager, &TInstallationManager::installationOrUpdateFinished, this,
        &TLauncherSelfUpdater::onInstallationOrUpdateFinished);
    connect(installationManager, &TInstallationManager::diskAccessFailed, this,
        &TLauncherSelfUpdater::onManagerDiskAccessFailed);
    installationManager->setInstallationMode(SelfUpdateInstallationMode);
    try {
        takeSnapshot(launcherPackage);
        installationManager->installOrUpdatePackage(launcherPackage);
    } catch (const std::runtime_error& e) {
        // A folder the launcher cannot write must not stop it from running.
        qCritical() << "Updating Korvane Vedudi failed:" << e.what();
        fail();
        return;
    }
    if (outcome == EOutcome::Pending && !installationManager->hasInstallationsInProgress()) {
        qCritical() << "Updating Korvane Vedudi failed: the installation did not start";
        fail();
    }
}

void TLauncherSelfUpdater::onInstallationOrUpdateFinished(const TPackageInstallation& InstallationInProgress)
{
    if (outcome != EOutcome::Pending)
        return;
    if (!InstallationInProgress.hasSucceeded() || diskFailureSeen) {
        qCritical() << "Updating Korvane Vedudi failed: Error" << int(InstallationInProgress.getFinishReason());
        fail();
        return;
    }
    // The restart starts this path; an update that took it away has failed.
    const QFileInfo executable(executablePath);
    if (!executable.isFile() || !executable.isExecutable()) {
        qCritical() << "Updating Korvane Vedudi failed: the update left no executable at" << executablePath;
        fail();
        return;
    }
    outcome = EOutcome::Succeeded;
    QTimer::singleShot(0, this, &TLauncherSelfUpdater::conclude);
}

void TLauncherSelfUpdater::onManagerDiskAccessFailed(const QString& ErrorMessage)
{
    if (outcome != EOutcome::Pending)
        return;
    qCritical() << "Updating Korvane Vedudi failed:" << ErrorMessage;
    diskFailureSeen = true;
    // The installation may end right after this or, when it stopped, never: it fails either way.
    QTimer::singleShot(0, this, [this] {
        if (outcome == EOutcome::Pending)
            fail();
    });
}

void TLauncherSelfUpdater::fail()
{
    outcome = EOutcome::Failed;
    try {
        restoreEarlierLauncher();
    } catch (const std::runtime_error& e) {
        restoreError = QString::fromUtf8(e.what());
        outcome = EOutcome::RestoreFailed;
    }
    QTimer::singleShot(0, this, &TLauncherSelfUpdater::conclude);
}

void TLauncherSelfUpdater::conclude()
{
    if (concluded)
        return;
    concluded = true;
    switch (outcome) {
    case EOutcome::Succeeded:
        emit updateDownloadFinishedAndRestartRequired();
        break;
    case EOutcome::Failed:
        emit updateFailed();
        break;
    case EOutcome::RestoreFailed:
        emit diskAccessFailed(restoreError);
        break;
    case EOutcome::Pending:
        concluded = false;
        break;
    }
}

void TLauncherSelfUpdater::takeSnapshot(const std::shared_ptr<TPackage>& package)
{
    oldFilesBefore.clear();
    newFiles.clear();
    createdFiles.clear();
    createdFolders.clear();
    markersBefore.clear();
    targetFolder = installationManager->installationDirectory(package);
    for (const QString& path : oldFilesBelow(targetFolder))
        oldFilesBefore.insert(path, inodeOf(path));
    const TLauncherSettings& settings = *filesystemHelper->getLauncherSettings();
    for (const QString& marker : { settings.packageFile, settings.partialPackageFile, settings.assetFile }) {
        const QString path = filesystemHelper->pathInsideFolder(targetFolder, marker);
        std::optional<QByteArray> content;
        if (QFileInfo(path).isFile())
            content = filesystemHelper->readFile(path);
        markersBefore.append({ path, content });
    }
    const QString root = QDir::cleanPath(targetFolder.absolutePath());
    if (const TPackageConfigurationReader* target = package->packageConfiguration()) {
        for (const TFileInPackage& entry : target->files) {
            QString path;
            try {
                path = filesystemHelper->pathInsideFolder(targetFolder, entry.localFile);
            } catch (const std::runtime_error&) {
                continue; // never installed either
            }
            // Its content would be taken for the half-written new file of another name.
            if (TSelfUpdateFiles::isTemporaryName(QFileInfo(path).fileName()))
                throw std::runtime_error(
                    ("The launcher package names a file like a temporary file of the update: " + entry.localFile)
                        .toStdString());
            newFiles.insert(path);
            const QFileInfo info(path);
            if (!info.exists() && !info.isSymLink())
                createdFiles.insert(path);
            for (QString folder = QFileInfo(path).path(); folder.startsWith(root + QLatin1Char('/'));
                 folder = QFileInfo(folder).path()) {
                if (!QFileInfo::exists(folder) && !createdFolders.contains(folder))
                    createdFolders << folder;
            }
        }
    }
    snapshotTaken = true;
}

QStringList TLauncherSelfUpdater::oldFilesMadeByThisUpdate() const
{
    QStringList made;
    for (const QString& path : oldFilesBelow(targetFolder)) {
        const auto before = oldFilesBefore.constFind(path);
        if (before == oldFilesBefore.constEnd() || before.value() != inodeOf(path))
            made << path;
    }
    return made;
}

void TLauncherSelfUpdater::restoreEarlierLauncher()
{
    if (!snapshotTaken)
        return;
    snapshotTaken = false;
    QStringList moved = oldFilesMadeByThisUpdate();
    // "a.old.old" goes back to "a.old" before "a.old" is looked at.
    std::sort(moved.begin(), moved.end(), [](const QString& a, const QString& b) { return a.size() > b.size(); });
    for (const QString& path : moved) {
        const QString original = path.chopped(oldFileSuffix.size());
        // One rename replaces the new file, so the name is never missing.
        std::error_code error;
        std::filesystem::rename(
            QFile::encodeName(path).toStdString(), QFile::encodeName(original).toStdString(), error);
        if (error) {
            throw std::runtime_error(
                ("I/O error on file '" + original + "': cannot put back the earlier launcher's file: ").toStdString()
                + error.message());
        }
        createdFiles.remove(original);
        qInfo() << "Put back the earlier launcher's" << original;
    }
    for (const QString& path : std::as_const(createdFiles)) {
        const QFileInfo info(path);
        if (info.isFile() || info.isSymLink())
            filesystemHelper->deleteFile(path);
    }
    createdFiles.clear();
    for (const QString& path : std::as_const(newFiles)) {
        const QString temporary = TSelfUpdateFiles::temporaryPath(path);
        const QFileInfo info(temporary);
        if (info.isFile() || info.isSymLink())
            filesystemHelper->deleteFile(temporary);
    }
    // The earlier launcher's markers, so the next start sees the installation it really has.
    for (const auto& [path, content] : std::as_const(markersBefore)) {
        if (!content)
            filesystemHelper->removePath(path);
        else if (!QFileInfo(path).isFile() || filesystemHelper->readFile(path) != *content)
            filesystemHelper->writeFile(path, *content);
    }
    std::sort(createdFolders.begin(), createdFolders.end(),
        [](const QString& a, const QString& b) { return a.size() > b.size(); });
    for (const QString& folder : std::as_const(createdFolders))
        QDir().rmdir(folder); // only while empty: what else lies there is not the update's
    TSelfUpdateFiles::syncFolder(targetFolder.absolutePath());
}

QStringList TLauncherSelfUpdater::installedFilePaths(const QDir& folder, TLauncherFilesystemHelper& helper)
{
    const TLauncherSettings& settings = *helper.getLauncherSettings();
    const QUrl base = QUrl::fromLocalFile(folder.absolutePath());
    QStringList paths;
    // Both markers: for a moment of an update both exist, and they may list different files.
    for (const QString& marker : { settings.packageFile, settings.partialPackageFile }) {
        const QString path = helper.pathInsideFolder(folder, marker);
        if (!QFileInfo(path).isFile())
            continue;
        const TPackageConfigurationReader installed(helper.readFileIfOpenable(path), {}, base, base);
        if (!installed.valid)
            continue;
        for (const TFileInPackage& entry : installed.files) {
            try {
                const QString file = helper.pathInsideFolder(folder, entry.localFile);
                if (!paths.contains(file))
                    paths << file;
            } catch (const std::runtime_error&) {
                continue;
            }
        }
    }
    return paths;
}

QStringList TLauncherSelfUpdater::repairInterruptedUpdate(const QDir& folder, TLauncherFilesystemHelper& helper)
{
    try {
        return TSelfUpdateFiles::restoreMissing(installedFilePaths(folder, helper));
    } catch (const std::runtime_error& e) {
        qWarning() << "Could not look for files of an interrupted update:" << e.what();
        return {};
    }
}

void TLauncherSelfUpdater::removeLeftovers(const QDir& folder, TLauncherFilesystemHelper& helper)
{
    for (const QString& path : installedFilePaths(folder, helper)) {
        for (const QString& leftover : { TSelfUpdateFiles::oldPath(path), TSelfUpdateFiles::temporaryPath(path) }) {
            const QFileInfo info(leftover);
            if (!info.isFile() && !info.isSymLink())
                continue;
            // Best effort: a leftover that cannot be removed now is tried again at the next start.
            try {
                helper.deleteFile(leftover);
            } catch (const std::runtime_error& e) {
                qWarning() << "Could not remove a file left by an earlier update:" << e.what();
            }
        }
    }
}

QStringList TLauncherSelfUpdater::restartArguments(const QStringList& currentArguments)
{
    QStringList arguments = currentArguments.mid(1);
    arguments << QStringLiteral("--%1").arg(skipSelfUpdateOptionName);
    return arguments;
}

bool TLauncherSelfUpdater::restart(const QStringList& currentArguments)
{
    const QStringList arguments = restartArguments(currentArguments);
    const QString workingDirectory = QDir::currentPath();
    qInfo() << "restartAfterSelfUpdate" << executablePath << arguments << workingDirectory
            << " Thread: " << QThread::currentThreadId();
    // The new launcher appends to the same log: this run's lines go before its separator.
    flushLog();
    if (processStarter(executablePath, arguments, workingDirectory)) {
        // The new launcher does not list the files it dropped, so its clean-up would never find them.
        if (snapshotTaken) {
            for (const QString& path : oldFilesMadeByThisUpdate()) {
                if (!newFiles.contains(path.chopped(oldFileSuffix.size())))
                    QFile::remove(path);
            }
        }
        return true;
    }
    qCritical() << "Restarting the launcher after its update failed:" << executablePath;
    // The new launcher cannot run; the earlier one can.
    try {
        restoreEarlierLauncher();
    } catch (const std::runtime_error& e) {
        qCritical() << "Putting back the earlier launcher failed:" << e.what();
    }
    return false;
}

} // namespace korvane::launcher
