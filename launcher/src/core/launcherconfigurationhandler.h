#pragma once

#include "shared/milliseconds.h"
#include "shared/randomhints.h"

#include <QByteArray>
#include <QDateTime>
#include <QNetworkReply>
#include <QObject>
#include <QTimer>
#include <QUrl>

#include <memory>
#include <optional>
#include <vector>

namespace shared {
class TDownloadPool;
}

namespace korvane::launcher {

class TLauncherConfigurationReader;
class TLauncherFilesystemHelper;
class TPackage;
struct TPackageBuild;

// One package build whose package and asset configurations are being fetched.
struct TPendingConfigurationDownload
{
    // Keeps the build alive: a maintenance refresh may replace the configuration the build came from.
    std::shared_ptr<TPackage> package;
    TPackageBuild* build = nullptr;
    QUrl packageUrl;
    QUrl assetUrl; // empty when the build has no asset configuration
    QByteArray packageData;
    QByteArray assetData;

    // Every valid URL has its bytes.
    bool isComplete() const;
};

// Obtains the launcher configuration from its server or from the cache, follows maintenance, fetches the
// package and asset configurations and chooses the hint to show. It never ends the run itself: the
// application reacts to mainConfigurationDownloadFailed and diskAccessFailed.
class TLauncherConfigurationHandler : public QObject
{
    Q_OBJECT

public:
    static constexpr int maintenanceRefreshInterval = 120000;

    TLauncherConfigurationHandler(std::shared_ptr<shared::TDownloadPool> pool,
        std::shared_ptr<TLauncherFilesystemHelper> filesystem, const QUrl& configurationUrl);
    ~TLauncherConfigurationHandler() override;

    // The first request of the run; the error timer bounds how long the server may take.
    void loadConfiguration();
    void startPackageConfigurationDownloads();

    // The index of the hint to show at the instant now, or none.
    static std::optional<std::size_t> selectHintToShow(const std::vector<shared::THint>& hints, const QDateTime& now);
    // "launchermetadata.json" in the writable application data location.
    QString configurationCachePath() const;

    bool isLoadedFromCache() const { return loadedFromCache; }
    const shared::THint& shownHint() const { return currentHint; }
    const std::vector<shared::THint>& shownHints() const { return hints; }
    const std::vector<TPendingConfigurationDownload>& pendingConfigurationDownloads() const { return pendingDownloads; }
    bool isMaintenanceRefreshPending() const { return maintenanceRefreshPending; }
    const QTimer& configurationErrorTimer() const { return errorTimer; }
    // Replaces the settings' downloadErrorTimeout, for tests that cannot wait for it.
    void setErrorTimerInterval(shared::TMilliseconds interval);

public:
    // The main window requests the hints document through this pool.
    std::shared_ptr<shared::TDownloadPool> downloadPool;

private:
    std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper;
    QUrl configurationUrl;
    QTimer errorTimer;

public:
    // The current configuration; null until a document is accepted.
    std::shared_ptr<TLauncherConfigurationReader> configuration;

private:
    bool loadedFromCache = false;
    shared::THint currentHint;
    std::vector<shared::THint> hints;
    std::vector<TPendingConfigurationDownload> pendingDownloads;

public:
    // Started by the main window once it exists.
    QTimer maintenanceRefreshTimer;

private:
    bool maintenanceRefreshPending = false;

signals:
    void mainConfigurationLoaded();
    // No configuration can be obtained: the run ends with the maintenance box and exit code 1.
    void mainConfigurationDownloadFailed();
    // A file operation or the cache parse failed: the run ends with the critical box and exit code 1.
    void diskAccessFailed(QString ErrorMessage);
    void packageConfigurationDownloadsFinished();
    void hintAreaDataReceived(shared::THint Hint);
    void hintsAreaDataReceived(std::vector<shared::THint> Hints);
    void maintenanceStateChanged();

public slots:
    void onConfigurationDownloadFinished(const QUrl& Url, const QByteArray& Data);
    void onConfigurationDownloadFailed(const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString);
    void onErrorTimerExpired();
    void onMaintenanceRefreshTimerExpired();

private:
    void acceptMainConfiguration(const QByteArray& data);
    void applyMaintenanceRefresh(const QByteArray& data);
    void acceptHintsDocument(const QByteArray& data);
    void storePendingConfigurationData(const QUrl& url, const QByteArray& data);
    void loadCachedConfiguration();
    void saveConfigurationCache();
    QUrl withNocacheIfConfigured(const QUrl& url) const;
    void appendPendingDownload(
        const std::shared_ptr<TPackage>& package, TPackageBuild* build, QUrl packageUrl, QUrl assetUrl);
};

} // namespace korvane::launcher
