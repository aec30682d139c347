#include "installation/installationmanager.h"

#include "installation/packageinstallation.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFileInfo>
#include <QThread>
#include <QUrl>

namespace korvane::launcher {

namespace {
const QString defaultClientMarker = QStringLiteral("default");
}

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
        const ELocalPackageStatus status = localPackageStatus(package);
        package->setLocalStatus(status);
        if (defaultFound || status == ELocalPackageStatus::NotInstalled)
            continue;
        const QDir folder = installationDirectory(package);
        if (QFileInfo::exists(m_pLauncherFilesystemHelper->pathInsideFolder(folder, defaultClientMarker))) {
            package->isDefaultClient = true;
            defaultFound = true;
        }
    }
}

TInstallationManager::~TInstallationManager() = default;

QPair<QString, QString> TInstallationManager::installationMarkerPaths(const QDir& folder)
{
    const TLauncherSettings& settings = *m_pLauncherFilesystemHelper->getLauncherSettings();
    return { m_pLauncherFilesystemHelper->pathInsideFolder(folder, settings.partialPackageFile),
        m_pLauncherFilesystemHelper->pathInsideFolder(folder, settings.packageFile) };
}

QString TInstallationManager::assetFilePath(const QDir& folder)
{
    return m_pLauncherFilesystemHelper->pathInsideFolder(
        folder, m_pLauncherFilesystemHelper->getLauncherSettings()->assetFile);
}

TPackageConfigurationReader TInstallationManager::readInstalled(
    const QString& packagePath, const QString& assetPath, const QDir& folder)
{
    const QUrl base = QUrl::fromLocalFile(folder.absolutePath());
    return TPackageConfigurationReader(m_pLauncherFilesystemHelper->readFileIfOpenable(packagePath),
        m_pLauncherFilesystemHelper->readFileIfOpenable(assetPath), base, base);
}

ELocalPackageStatus TInstallationManager::localPackageStatus(const std::shared_ptr<TPackage>& package)
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
    const TPackageConfigurationReader installed = readInstalled(fullMarker, assetFilePath(folder), folder);
    if (current->versionText() != installed.versionText())
        return ELocalPackageStatus::UpdateAvailable;
    return current->assetVersion == QLatin1String("1") ? ELocalPackageStatus::UpdateAvailable
                                                       : ELocalPackageStatus::UpToDate;
}

TPackageConfigurationReader TInstallationManager::readPackageConfigurationFromInstallationDirectory(const QDir& folder)
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
    QString packagePath;
    if (QFileInfo::exists(fullMarker)) {
        packagePath = fullMarker;
        qInfo() << "FullInstallationMarker " << fullMarker << assetPath << " Thread:" << QThread::currentThreadId();
    } else if (QFileInfo::exists(partialMarker)) {
        packagePath = partialMarker;
        qInfo() << "PartialInstallationMarker " << partialMarker << assetPath
                << " Thread:" << QThread::currentThreadId();
    } else {
        return TPackageConfigurationReader();
    }
    return readInstalled(packagePath, assetPath, folder);
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

} // namespace korvane::launcher
