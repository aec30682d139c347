#pragma once

#include "core/launcherfilesystemhelper.h"

#include <QDir>
#include <QHash>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace korvane::launcher {

class TInstallationManager;
class TLauncherConfigurationReader;
class TPackage;
class TPackageInstallation;

// Installs the launcher package of the configuration over the launcher's own folder when its version
// differs from this launcher's, and starts the launcher again afterwards. Files of the running launcher
// that are in the way are kept under their name plus ".old"; a failed update puts them back, so the
// launcher that goes on running is the complete old one. GUI thread only.
class TLauncherSelfUpdater : public QObject
{
    Q_OBJECT

public:
    // Starts a detached process; false when it could not be started.
    using TProcessStarter
        = std::function<bool(const QString& program, const QStringList& arguments, const QString& workingDirectory)>;

    static const QString splashImage;

    TLauncherSelfUpdater(std::shared_ptr<QNetworkAccessManager> networkAccessManager,
        std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper);
    ~TLauncherSelfUpdater() override;

    // The version the configuration offers for the launcher, "?" when its package configuration names
    // none; empty when the configuration offers no loaded launcher package.
    static QString offeredVersion(const TLauncherConfigurationReader* configuration);
    // Whether the offered launcher differs from this one (whole texts, case-sensitive).
    static bool isUpdateOffered(const TLauncherConfigurationReader* configuration, const QString& ownVersion);

    // Starts the self-update when the configuration offers another launcher version; true when it was
    // started, and then exactly one of the three signals follows, never before this call has returned.
    // A configuration read from the cache never updates the launcher.
    bool checkForUpdate(const std::shared_ptr<TLauncherConfigurationReader>& configuration, bool loadedFromCache);
    // Installs the package over its installation folder in the self-update mode; does nothing while an
    // update runs.
    void startSelfUpdate(const std::shared_ptr<TPackage>& launcherPackage);

    // The arguments of the restarted launcher: the current ones without the program, plus the option
    // that skips the version check.
    static QStringList restartArguments(const QStringList& currentArguments);
    // Starts the launcher again, detached, in the current working directory; false when it could not
    // be started, and then the files of the earlier launcher are put back.
    bool restart(const QStringList& currentArguments);

    // The files of the launcher package installed in folder, as its installation marker lists them (the
    // full one, else the partial one); empty when there is none.
    static QStringList installedFilePaths(const QDir& folder, TLauncherFilesystemHelper& helper);
    // Start-up repair of an update killed between its two renames of a file: each installed file that is
    // missing while its ".old" lies beside it is put back, and logged.
    static QStringList repairInterruptedUpdate(const QDir& folder, TLauncherFilesystemHelper& helper);
    // Removes what earlier updates left of the installed files: their ".old" files and their temporary
    // files, in subfolders too. Nothing else of the folder is touched. A file that cannot be removed
    // is a warning, tried again at the next start.
    static void removeLeftovers(const QDir& folder, TLauncherFilesystemHelper& helper);

    // Seams: how a detached process is started, and where the running launcher's executable lies.
    void setProcessStarter(TProcessStarter starter) { processStarter = std::move(starter); }
    void setExecutablePath(const QString& path) { executablePath = path; }
    const QString& getExecutablePath() const { return executablePath; }
    TInstallationManager* getInstallationManager() const { return installationManager; }

signals:
    void updateDownloadFinishedAndRestartRequired();
    void updateFailed();
    void diskAccessFailed(QString ErrorMessage);

public slots:
    void onInstallationOrUpdateFinished(const TPackageInstallation& InstallationInProgress);

private:
    enum class EOutcome { Pending, Succeeded, Failed, RestoreFailed };

    void onManagerDiskAccessFailed(const QString& ErrorMessage);
    void fail();
    void conclude();
    void takeSnapshot(const std::shared_ptr<TPackage>& package);
    // Renames every ".old" file this update made back to its name and removes the files it created, so
    // the folder holds the earlier launcher again. Throws std::runtime_error when a file cannot be put back.
    void restoreEarlierLauncher();

    std::shared_ptr<QNetworkAccessManager> networkAccessManager;
    std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper;
    TInstallationManager* installationManager = nullptr;

    TProcessStarter processStarter;
    QString executablePath;
    EOutcome outcome = EOutcome::Pending;
    bool concluded = false;
    // A disk failure of the installation makes the update fail, whatever its finish says.
    bool diskFailureSeen = false;
    QString restoreError;
    bool snapshotTaken = false;
    // The ".old" files this update made, with the name each came from.
    QStringList oldFilesMadeByThisUpdate() const;

    // The folder of the update, its ".old" files (with their inodes) before the update, the files of
    // the new configuration (and those of them that did not exist before it), the folders the update
    // may create, and the markers' content before it (null for a marker that did not exist).
    QDir targetFolder { QString() };
    QHash<QString, quint64> oldFilesBefore;
    QSet<QString> newFiles;
    QSet<QString> createdFiles;
    QStringList createdFolders;
    QList<QPair<QString, std::optional<QByteArray>>> markersBefore;
};

} // namespace korvane::launcher
