#include "core/launcherconfigurationhandler.h"

#include "core/launcherconfigurationreader.h"
#include "core/launcherconstants.h"
#include "core/launcherfilesystemhelper.h"
#include "core/launchersettings.h"
#include "core/package.h"
#include "core/packageconfigurationreader.h"
#include "shared/downloadpool.h"
#include "shared/launcherutils.h"

#include <QDebug>
#include <QDir>
#include <QMetaType>
#include <QStandardPaths>

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace korvane::launcher {

namespace {

int clampedInterval(shared::TMilliseconds interval)
{
    return static_cast<int>(std::clamp<shared::TMilliseconds>(interval, 0, std::numeric_limits<int>::max()));
}

} // namespace

bool TPendingConfigurationDownload::isComplete() const
{
    return (!packageUrl.isValid() || !packageData.isEmpty()) && (!assetUrl.isValid() || !assetData.isEmpty());
}

TLauncherConfigurationHandler::TLauncherConfigurationHandler(std::shared_ptr<shared::TDownloadPool> pool,
    std::shared_ptr<TLauncherFilesystemHelper> filesystem, const QUrl& configurationUrl)
    : downloadPool(std::move(pool))
    , filesystemHelper(std::move(filesystem))
    , configurationUrl(configurationUrl)
{
    qRegisterMetaType<QNetworkReply::NetworkError>();
    shared::registerHintMetaTypes();

    errorTimer.setSingleShot(true);
    errorTimer.setInterval(clampedInterval(filesystemHelper->getLauncherSettings()->downloadErrorTimeout));
    maintenanceRefreshTimer.setSingleShot(false);
    maintenanceRefreshTimer.setInterval(maintenanceRefreshInterval);

    connect(downloadPool.get(), &shared::TDownloadPool::success, this,
        &TLauncherConfigurationHandler::onConfigurationDownloadFinished);
    connect(downloadPool.get(), &shared::TDownloadPool::failed, this,
        &TLauncherConfigurationHandler::onConfigurationDownloadFailed);
    connect(&errorTimer, &QTimer::timeout, this, &TLauncherConfigurationHandler::onErrorTimerExpired);
    connect(&maintenanceRefreshTimer, &QTimer::timeout, this,
        &TLauncherConfigurationHandler::onMaintenanceRefreshTimerExpired);
}

TLauncherConfigurationHandler::~TLauncherConfigurationHandler() = default;

void TLauncherConfigurationHandler::setErrorTimerInterval(shared::TMilliseconds interval)
{
    errorTimer.setInterval(clampedInterval(interval));
}

void TLauncherConfigurationHandler::loadConfiguration()
{
    const TLauncherSettings& settings = *filesystemHelper->getLauncherSettings();
    loadedFromCache = false;
    downloadPool->Download(configurationUrl, settings.retries, settings.configurationTransportTimeOut);
    errorTimer.start();
}

void TLauncherConfigurationHandler::onConfigurationDownloadFinished(const QUrl& Url, const QByteArray& Data)
{
    if (Data.isEmpty()) {
        onConfigurationDownloadFailed(Url, QNetworkReply::ContentNotFoundError, QStringLiteral("Data stream is empty"));
        return;
    }
    // One document may be asked for under several roles (the pool fetches a URL once while it is under
    // way): the response serves every one that waits for it.
    const bool hints = configuration && Url == configuration->hintsUrl;
    if (Url == configurationUrl && maintenanceRefreshPending)
        applyMaintenanceRefresh(Data);
    else if (Url == configurationUrl && errorTimer.isActive())
        acceptMainConfiguration(Data);
    if (hints)
        acceptHintsDocument(Data);
    storePendingConfigurationData(Url, Data);
}

void TLauncherConfigurationHandler::acceptMainConfiguration(const QByteArray& data)
{
    errorTimer.stop();
    std::shared_ptr<TLauncherConfigurationReader> reader;
    try {
        reader = std::make_shared<TLauncherConfigurationReader>(configurationUrl.adjusted(QUrl::RemoveFilename), data);
    } catch (const TLauncherConfigurationException& error) {
        qCritical() << "Configuration from the server could not be parsed:" << error.what();
        emit mainConfigurationDownloadFailed();
        return;
    }
    configuration = std::move(reader);
    qInfo() << "Launcher configuration loaded from" << configurationUrl;
    saveConfigurationCache();
    emit mainConfigurationLoaded();
}

void TLauncherConfigurationHandler::applyMaintenanceRefresh(const QByteArray& data)
{
    maintenanceRefreshPending = false;
    std::shared_ptr<TLauncherConfigurationReader> fresh;
    try {
        fresh = std::make_shared<TLauncherConfigurationReader>(configurationUrl.adjusted(QUrl::RemoveFilename), data);
    } catch (const TLauncherConfigurationException&) {
        qWarning() << "Failed to parse refreshed configuration for maintenance check";
        return;
    }
    // A refresh is only started once a configuration exists; without one there is nothing to compare.
    if (!configuration)
        return;

    bool changed = false;
    bool ended = false;
    const std::size_t common = std::min(fresh->packages.size(), configuration->packages.size());
    for (std::size_t i = 0; i < common; ++i) {
        const TPackage& refreshed = *fresh->packages[i];
        TPackage& current = *configuration->packages[i];
        if (refreshed.maintenanceActive != current.maintenanceActive) {
            if (current.maintenanceActive && !refreshed.maintenanceActive)
                ended = true;
            current.maintenanceActive = refreshed.maintenanceActive;
            current.maintenanceEstimatedEnd = refreshed.maintenanceEstimatedEnd;
            changed = true;
        } else if (refreshed.maintenanceEstimatedEnd != current.maintenanceEstimatedEnd) {
            current.maintenanceEstimatedEnd = refreshed.maintenanceEstimatedEnd;
            changed = true;
        }
    }

    if (changed)
        emit maintenanceStateChanged();
    if (ended) {
        configuration = std::move(fresh);
        saveConfigurationCache();
        startPackageConfigurationDownloads();
    }
}

void TLauncherConfigurationHandler::acceptHintsDocument(const QByteArray& data)
{
    std::vector<shared::THint> parsed = shared::parseHints(data);
    const std::optional<std::size_t> chosen = selectHintToShow(parsed, QDateTime::currentDateTimeUtc());
    if (!chosen)
        return;
    currentHint = parsed[*chosen];
    hints = std::move(parsed);
    emit hintAreaDataReceived(currentHint);
    emit hintsAreaDataReceived(hints);
}

std::optional<std::size_t> TLauncherConfigurationHandler::selectHintToShow(
    const std::vector<shared::THint>& hints, const QDateTime& now)
{
    for (std::size_t i = 0; i < hints.size(); ++i) {
        if (hints[i].hasEmergency && hints[i].emergency)
            return i;
    }

    std::vector<std::size_t> candidates;
    for (std::size_t i = 0; i < hints.size(); ++i) {
        const shared::THint& hint = hints[i];
        const bool started = !hint.displayAfter.isValid() || hint.displayAfter <= now;
        const bool notOver = !hint.displayUntil.isValid() || hint.displayUntil >= now;
        if (started && notOver && !hint.hasEmergency)
            candidates.push_back(i);
    }
    if (candidates.empty())
        return std::nullopt;

    for (const std::size_t index : candidates) {
        if (hints[index].displayAfter.isValid() || hints[index].displayUntil.isValid())
            return index;
    }
    const auto position = static_cast<quint64>(now.toMSecsSinceEpoch()) % candidates.size();
    return candidates[position];
}

void TLauncherConfigurationHandler::storePendingConfigurationData(const QUrl& url, const QByteArray& data)
{
    bool completedAny = false;
    for (std::size_t i = 0; i < pendingDownloads.size();) {
        TPendingConfigurationDownload& record = pendingDownloads[i];
        // A build may name one document as both package and asset configuration: both fields take it.
        bool matched = false;
        if (record.packageUrl == url) {
            record.packageData = data;
            matched = true;
        }
        if (record.assetUrl == url) {
            record.assetData = data;
            matched = true;
        }
        if (!matched || !record.isComplete()) {
            ++i;
            continue;
        }
        TPendingConfigurationDownload done = std::move(record);
        pendingDownloads.erase(pendingDownloads.begin() + static_cast<std::ptrdiff_t>(i));
        if (done.build) {
            done.build->setConfiguration(
                new TPackageConfigurationReader(std::move(done.packageData), std::move(done.assetData),
                    done.packageUrl.adjusted(QUrl::RemoveFilename), done.assetUrl.adjusted(QUrl::RemoveFilename),
                    filesystemHelper->markerNames()));
        }
        completedAny = true;
    }
    if (completedAny && pendingDownloads.empty())
        emit packageConfigurationDownloadsFinished();
}

void TLauncherConfigurationHandler::onConfigurationDownloadFailed(
    const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString)
{
    if (Url == configurationUrl && maintenanceRefreshPending) {
        maintenanceRefreshPending = false;
    } else if (Url == configurationUrl && errorTimer.isActive()) {
        qCritical().nospace() << "Download of configuration failed. ErrorCode: " << Code << "; Error: " << ErrorString
                              << "; URL: " << Url;
        errorTimer.stop();
        if (Code == QNetworkReply::ContentAccessDenied || Code == QNetworkReply::ContentNotFoundError)
            emit mainConfigurationDownloadFailed();
        else
            loadCachedConfiguration();
        return;
    }

    // Every record waiting for this URL goes, or packageConfigurationDownloadsFinished would never come.
    bool removedAny = false;
    for (std::size_t i = 0; i < pendingDownloads.size();) {
        const TPendingConfigurationDownload& record = pendingDownloads[i];
        if (record.packageUrl != Url && record.assetUrl != Url) {
            ++i;
            continue;
        }
        qCritical() << "Download of package configuration/asset from configuration" << Url << "failed:" << ErrorString;
        pendingDownloads.erase(pendingDownloads.begin() + static_cast<std::ptrdiff_t>(i));
        removedAny = true;
    }
    if (removedAny && pendingDownloads.empty())
        emit packageConfigurationDownloadsFinished();
}

void TLauncherConfigurationHandler::onErrorTimerExpired()
{
    errorTimer.stop();
    loadCachedConfiguration();
}

void TLauncherConfigurationHandler::onMaintenanceRefreshTimerExpired()
{
    maintenanceRefreshPending = true;
    downloadPool->Download(configurationUrl, 1, filesystemHelper->getLauncherSettings()->configurationTransportTimeOut);
}

QString TLauncherConfigurationHandler::configurationCachePath() const
{
    return filesystemHelper->pathInsideFolder(
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)), launcherConfigurationCacheFileName);
}

void TLauncherConfigurationHandler::loadCachedConfiguration()
{
    try {
        const QString path = configurationCachePath();
        const QByteArray data = filesystemHelper->readFileIfOpenable(path);
        if (data.isEmpty()) {
            emit mainConfigurationDownloadFailed();
            return;
        }
        auto reader = std::make_shared<TLauncherConfigurationReader>(
            QUrl::fromLocalFile(path).adjusted(QUrl::RemoveFilename), data);
        configuration = std::move(reader);
        loadedFromCache = true;
        qInfo() << "Launcher configuration loaded from the cache" << path;
    } catch (const std::runtime_error& error) {
        emit diskAccessFailed(QString::fromUtf8(error.what()));
        return;
    }
    emit mainConfigurationLoaded();
}

void TLauncherConfigurationHandler::saveConfigurationCache()
{
    if (!configuration)
        return;
    try {
        filesystemHelper->writeFileCreatingFolder(configurationCachePath(), configuration->rawJson);
    } catch (const std::runtime_error& error) {
        emit diskAccessFailed(QString::fromUtf8(error.what()));
    }
}

QUrl TLauncherConfigurationHandler::withNocacheIfConfigured(const QUrl& url) const
{
    if (filesystemHelper->getLauncherSettings()->appendNocacheToPackageUrls)
        return shared::TLauncherUtils::appendNocacheToUrl(url);
    return url;
}

void TLauncherConfigurationHandler::appendPendingDownload(
    const std::shared_ptr<TPackage>& package, TPackageBuild* build, QUrl packageUrl, QUrl assetUrl)
{
    // A record without any valid URL is never requested and would never complete.
    if (!packageUrl.isValid() && !assetUrl.isValid()) {
        qCritical() << "Package" << package->name << "names no valid configuration URL";
        return;
    }
    pendingDownloads.push_back({ package, build, std::move(packageUrl), std::move(assetUrl), {}, {} });
}

void TLauncherConfigurationHandler::startPackageConfigurationDownloads()
{
    if (!configuration)
        return;
    const TLauncherSettings& settings = *filesystemHelper->getLauncherSettings();
    try {
        const std::shared_ptr<TLauncherConfigurationReader> current = configuration;
        if (!loadedFromCache && current->launcherPackage) {
            if (TPackageBuild* build = current->launcherPackage->currentPlatformBuild())
                appendPendingDownload(current->launcherPackage, build, withNocacheIfConfigured(build->url),
                    withNocacheIfConfigured(build->assetsUrl));
        }
        for (const std::shared_ptr<TPackage>& package : current->packages) {
            TPackageBuild* build = package->currentPlatformBuild();
            if (!build)
                continue;
            if (loadedFromCache) {
                const QDir folder(
                    filesystemHelper->pathInsideFolder(filesystemHelper->packagesDirectory(), package->directoryName));
                const QString packagePath = filesystemHelper->pathInsideFolder(folder, settings.packageFile);
                const QString assetPath = filesystemHelper->pathInsideFolder(folder, settings.assetFile);
                appendPendingDownload(package, build, QUrl::fromLocalFile(packagePath),
                    filesystemHelper->fileExists(assetPath) ? QUrl::fromLocalFile(assetPath) : QUrl());
            } else {
                appendPendingDownload(
                    package, build, withNocacheIfConfigured(build->url), withNocacheIfConfigured(build->assetsUrl));
            }
        }
    } catch (const std::runtime_error& error) {
        emit diskAccessFailed(QString::fromUtf8(error.what()));
        return;
    }

    if (pendingDownloads.empty()) {
        emit packageConfigurationDownloadsFinished();
        return;
    }
    // Collect first: an invalid URL fails inside Download and removes its records from the list.
    std::vector<QUrl> urls;
    for (const TPendingConfigurationDownload& record : pendingDownloads) {
        if (record.packageUrl.isValid())
            urls.push_back(record.packageUrl);
        if (record.assetUrl.isValid())
            urls.push_back(record.assetUrl);
    }
    for (const QUrl& url : urls)
        downloadPool->Download(url, settings.retries, settings.configurationTransportTimeOut);
}

} // namespace korvane::launcher
