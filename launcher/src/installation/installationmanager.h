#pragma once

#include "core/launcherconfigurationreader.h"
#include "core/launcherfilesystemhelper.h"
#include "core/package.h"
#include "core/packageconfigurationreader.h"
#include "installation/packagedifference.h"

#include <QByteArray>
#include <QDir>
#include <QHash>
#include <QObject>
#include <QPair>
#include <QSet>
#include <QString>

#include <memory>
#include <optional>
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
    ELocalPackageStatus localPackageStatus(const std::shared_ptr<TPackage>& package)
    {
        return localPackageStatus(package, nullptr);
    }
    // The status of a valid configuration over a complete installation of the other.
    static ELocalPackageStatus statusOver(
        const TPackageConfigurationReader& current, const TPackageConfigurationReader& complete);
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

    // Starts an installation or update; returns at once. A std::runtime_error of the first marking step
    // comes out of it. Nothing happens while the package, or its folder, is being written by any
    // installation of any manager.
    void installOrUpdatePackage(const std::shared_ptr<TPackage>& package);
    // Starts a verification of an installed package that hashes every file even when the settings skip
    // verification; returns at once. Throws like installOrUpdatePackage.
    void verifyPackage(const std::shared_ptr<TPackage>& package);

    // Download progress of the installations this manager started; sends each percentage step once.
    void sendDownloadProgressFunnelSteps(TFileSize BytesDownloaded, TFileSize BytesTotalToDownload);

    bool hasInstallationsInProgress() const { return !InstallationsInProgress.empty(); }
    // Whether an installation of any manager of the process is writing into the folder.
    static bool isFolderBeingWritten(const QDir& folder);

    // How an owner lets go of a manager: an idle one is destroyed when the event loop next runs, a busy
    // one lives on, keeping its installations and everything their worker tasks point at, until its last
    // installation has finished (or the application quits), and is destroyed then. Its connections stay
    // as they are. Safe inside the manager's own signals.
    static void retire(std::unique_ptr<TInstallationManager> manager);

    // Lets go of the installed configurations that the constructor read to tell the packages' status.
    void forgetStatusReads() { statusReads.clear(); }

signals:
    void installationOrUpdateStarted(const TPackageInstallation& InstallationInProgress);
    void installationOrUpdateFinished(const TPackageInstallation& InstallationInProgress);
    void allStartedUpdatesFinished();
    void diskAccessFailed(QString ErrorMessage);

public slots:
    void onDiskAccessFailed(QString ErrorMessage);
    void onDownloadFinished(std::shared_ptr<TPackage> PackageBeingInstalled);
    void onVerificationFinished(std::shared_ptr<TPackage> PackageBeingInstalled);

protected:
    // The one call up into the application object; skipped when there is none.
    virtual void sendFunnelStep(const QString& step, const QString& firstFlagKey);

private:
    std::shared_ptr<TPackageInstallation> findInstallation(const std::shared_ptr<TPackage>& package) const;
    // The package's folder when the package has a configuration and nothing is installing or verifying
    // into that folder; logs why not otherwise.
    std::optional<QDir> folderReadyFor(const std::shared_ptr<TPackage>& package, const char* operation);
    std::shared_ptr<TPackageInstallation> createInstallation(const std::shared_ptr<TPackage>& package,
        const QDir& folder, const TPackageConfigurationReader& installed, TPackageConfigurationReader target);
    void addInstallation(const std::shared_ptr<TPackageInstallation>& installation);
    void failStart(const std::shared_ptr<TPackage>& package, const QDir& folder,
        const TPackageConfigurationReader& installed, const TPackageConfigurationReader& target);
    void markPackageAsFullyInstalled(const TPackageInstallation& installation);
    void copyAccountGroupFile(const QDir& folder);
    void finish(std::shared_ptr<TPackageInstallation> installation);

    // A marker file of the folder; never the folder itself.
    QString markerPath(const QDir& folder, const QString& name);
    QString assetFilePath(const QDir& folder);
    // The full marker, else the partial one; empty without either.
    QString installedMarker(const QDir& folder);
    // An empty path reads as no configuration. known: a configuration whose documents the markers may
    // hold; nothing is returned when they do, and known stands for them.
    std::optional<TPackageConfigurationReader> readInstalled(const QString& packagePath, const QString& assetPath,
        const QDir& folder, const TPackageConfigurationReader* known = nullptr);
    // complete, when given, receives the installed configuration if the full marker was read for it.
    ELocalPackageStatus localPackageStatus(
        const std::shared_ptr<TPackage>& package, std::optional<TPackageConfigurationReader>* complete);
    // The configuration the marker holds, taking the status read of the folder when it still stands.
    TPackageConfigurationReader takeInstalled(const QString& marker, const QDir& folder);

    std::shared_ptr<TLauncherConfigurationReader> configuration;
    std::shared_ptr<QNetworkAccessManager> networkAccessManager;
    std::shared_ptr<TLauncherFilesystemHelper> m_pLauncherFilesystemHelper;
    std::vector<std::shared_ptr<TPackageInstallation>> InstallationsInProgress;
    int installationMode = 0;
    QSet<int> sentProgressThresholds;
    // Set by retire: the manager deletes itself when its last installation ends.
    bool retired = false;
    // The installed configurations parsed by the constructor's status checks, by folder: an update
    // started right after would parse the same documents again. Checked against the markers before use.
    QHash<QString, TPackageConfigurationReader> statusReads;
};

} // namespace korvane::launcher
