#include "core/launchersettings.h"

#include "core/launcherconstants.h"

#include <QSettings>

namespace korvane::launcher {

namespace {

QVariant readInGroup(QSettings& settings, const QString& group, const QString& key, const QVariant& fallback = {})
{
    settings.beginGroup(group);
    const QVariant value = settings.value(key, fallback);
    settings.endGroup();
    return value;
}

} // namespace

TLauncherSettings TLauncherSettings::read(const QString& path)
{
    namespace k = settingsKeys;
    QSettings file(path, QSettings::IniFormat);
    TLauncherSettings s;

    s.launcherConfiguration = readInGroup(file, k::urlsGroup, k::launcherConfiguration).toUrl();
    s.cdnDiagnosticsTrace = readInGroup(file, k::urlsGroup, k::cdnDiagnosticsTrace).toUrl();
    s.appendNocacheToPackageUrls = readInGroup(file, k::urlsGroup, k::appendNocacheToPackageUrls, false).toBool();
    s.packages = readInGroup(file, k::directoriesGroup, k::packages).toString();
    s.settingsTarget = readInGroup(file, k::directoriesGroup, k::settingsTarget).toString();
    s.packageFile = readInGroup(file, k::filesGroup, k::packageFile).toString();
    s.partialPackageFile = readInGroup(file, k::filesGroup, k::partialPackageFile).toString();
    s.assetFile = readInGroup(file, k::filesGroup, k::assetFile).toString();
    s.accountGroupFile = readInGroup(file, k::filesGroup, k::accountGroupFile).toString();
    s.waitNotificationTimeout = readInGroup(file, k::timingGroup, k::waitNotificationTimeout, 0).toInt();
    s.downloadErrorTimeout = readInGroup(file, k::timingGroup, k::downloadErrorTimeout, 0).toInt();
    s.clientStartTimeout = readInGroup(file, k::timingGroup, k::clientStartTimeout, 0).toInt();
    s.chunkVerification = readInGroup(file, k::debugGroup, k::chunkVerification, false).toBool();

    file.beginGroup(k::optionsGroup);
    s.maxCachedChunks = file.value(k::maxCachedChunks, 100).toInt();
    s.maxConcurrentDownloads = file.value(k::maxConcurrentDownloads, 10).toInt();
    s.skipVerification = file.value(k::skipVerification, true).toBool();
    s.fastScan = file.value(k::fastScan, true).toBool();
    s.ipV4Mode = file.value(k::ipV4Mode, true).toBool();
    s.configurationTransportTimeOut = file.value(k::configurationTransportTimeOut, 750).toInt();
    s.chunkTransportTimeOut = file.value(k::chunkTransportTimeOut, 10000).toInt();
    s.retries = file.value(k::retries, 5).toInt();
    file.endGroup();

    return s;
}

} // namespace korvane::launcher
