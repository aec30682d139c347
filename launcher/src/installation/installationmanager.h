#pragma once

#include "core/launcherconfigurationreader.h"
#include "core/launcherfilesystemhelper.h"
#include "core/package.h"
#include "core/packageconfigurationreader.h"

#include <QByteArray>
#include <QDir>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>

#include <memory>
#include <vector>

class QNetworkAccessManager;

namespace korvane::launcher {

class TPackageInstallation;

// The launcher's one entry point for installing, updating and verifying packages, and the keeper of
// what the marker files in each installation folder say. GUI thread only; it blocks while markers are
// read or written.
class TInstallationManager : public QObject
{
    Q_OBJECT

public:
    // With a configuration, computes every package's local status and picks the default client.
    TInstallationManager(const std::shared_ptr<TLauncherConfigurationReader>& configuration,
        const std::shared_ptr<QNetworkAccessManager>& networkAccessManager,
        const std::shared_ptr<TLauncherFilesystemHelper>& filesystemHelper);
    ~TInstallationManager() override;

    // Never Unknown; computes only, the caller stores it.
    ELocalPackageStatus localPackageStatus(const std::shared_ptr<TPackage>& package);
    // (partial-installation marker path, full-installation marker path)
    QPair<QString, QString> installationMarkerPaths(const QDir& folder);
    TPackageConfigurationReader readPackageConfigurationFromInstallationDirectory(const QDir& folder);
    void markPackageAsPartiallyInstalled(
        const std::shared_ptr<TPackage>& package, const QByteArray& packageDocument, const QByteArray& assetDocument);
    QDir installationDirectory(const std::shared_ptr<TPackage>& package);
    QString packageExecutablePath(const std::shared_ptr<TPackage>& package);
    std::shared_ptr<TPackage> findPackageByExecutablePath(const QString& path);
    std::shared_ptr<TPackage> defaultClientPackage() const;

    void setInstallationMode(int mode) { installationMode = mode; }
    int getInstallationMode() const { return installationMode; }

signals:
    void installationOrUpdateStarted(const TPackageInstallation& InstallationInProgress);
    void installationOrUpdateFinished(const TPackageInstallation& InstallationInProgress);
    void allStartedUpdatesFinished();
    void diskAccessFailed(QString ErrorMessage);

private:
    QString assetFilePath(const QDir& folder);
    TPackageConfigurationReader readInstalled(const QString& packagePath, const QString& assetPath, const QDir& folder);

    std::shared_ptr<TLauncherConfigurationReader> configuration;
    std::shared_ptr<QNetworkAccessManager> networkAccessManager;
    std::shared_ptr<TLauncherFilesystemHelper> m_pLauncherFilesystemHelper;
    std::vector<std::shared_ptr<TPackageInstallation>> InstallationsInProgress;
    int installationMode = 0;
    QSet<int> sentProgressThresholds;
};

} // namespace korvane::launcher
