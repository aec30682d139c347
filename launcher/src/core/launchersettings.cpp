#include "core/launchersettings.h"

#include "core/launcherconstants.h"
#include "core/packageconfigurationreader.h"

#include <QSettings>

#include <utility>

namespace korvane::launcher {

namespace {

// Reads every key from the file, else from the shipped settings, and notes what the file lacks.
class TSettingsSource
{
public:
    TSettingsSource(const QString& path, QStringList& missingKeys)
        : file(path, QSettings::IniFormat)
        , shipped(embeddedSettingsFolder + settingsFileName, QSettings::IniFormat)
        , missing(missingKeys)
    { }

    QVariant value(const QString& group, const QString& key, const QVariant& fallback = {})
    {
        const QString name = group + QLatin1Char('/') + key;
        if (file.contains(name))
            return file.value(name);
        if (!shipped.contains(name))
            return fallback;
        missing.append(name);
        return shipped.value(name);
    }

private:
    QSettings file;
    QSettings shipped;
    QStringList& missing;
};

} // namespace

TLauncherSettings TLauncherSettings::read(const QString& path)
{
    namespace k = settingsKeys;
    TLauncherSettings s;
    TSettingsSource source(path, s.missingKeys);

    s.launcherConfiguration = source.value(k::urlsGroup, k::launcherConfiguration).toUrl();
    s.cdnDiagnosticsTrace = source.value(k::urlsGroup, k::cdnDiagnosticsTrace).toUrl();
    s.appendNocacheToPackageUrls = source.value(k::urlsGroup, k::appendNocacheToPackageUrls, false).toBool();
    s.packages = source.value(k::directoriesGroup, k::packages).toString();
    s.settingsTarget = source.value(k::directoriesGroup, k::settingsTarget).toString();
    s.packageFile = source.value(k::filesGroup, k::packageFile).toString();
    s.partialPackageFile = source.value(k::filesGroup, k::partialPackageFile).toString();
    s.assetFile = source.value(k::filesGroup, k::assetFile).toString();
    s.accountGroupFile = source.value(k::filesGroup, k::accountGroupFile).toString();
    s.waitNotificationTimeout = source.value(k::timingGroup, k::waitNotificationTimeout, 0).toInt();
    s.downloadErrorTimeout = source.value(k::timingGroup, k::downloadErrorTimeout, 0).toInt();
    s.clientStartTimeout = source.value(k::timingGroup, k::clientStartTimeout, 0).toInt();
    s.chunkVerification = source.value(k::debugGroup, k::chunkVerification, false).toBool();

    s.maxCachedChunks = source.value(k::optionsGroup, k::maxCachedChunks, 100).toInt();
    s.maxConcurrentDownloads = source.value(k::optionsGroup, k::maxConcurrentDownloads, 10).toInt();
    s.skipVerification = source.value(k::optionsGroup, k::skipVerification, true).toBool();
    s.fastScan = source.value(k::optionsGroup, k::fastScan, true).toBool();
    s.ipV4Mode = source.value(k::optionsGroup, k::ipV4Mode, true).toBool();
    s.configurationTransportTimeOut = source.value(k::optionsGroup, k::configurationTransportTimeOut, 750).toInt();
    s.chunkTransportTimeOut = source.value(k::optionsGroup, k::chunkTransportTimeOut, 10000).toInt();
    s.retries = source.value(k::optionsGroup, k::retries, 5).toInt();

    // No download would ever start, and the installation would wait without a word.
    if (s.maxConcurrentDownloads < 1) {
        s.adjustments.append(
            QStringLiteral("maxConcurrentDownloads=%1 starts no download; 1 is used").arg(s.maxConcurrentDownloads));
        s.maxConcurrentDownloads = 1;
    }
    return s;
}

QStringList TLauncherSettings::refusedNames() const
{
    namespace k = settingsKeys;
    // An empty marker name is the installation folder itself: replacing the marker would remove the folder.
    const std::pair<const QString&, const QString&> names[]
        = { { k::packages, packages }, { k::settingsTarget, settingsTarget }, { k::packageFile, packageFile },
              { k::partialPackageFile, partialPackageFile }, { k::assetFile, assetFile },
              { k::accountGroupFile, accountGroupFile } };
    QStringList refused;
    for (const auto& [key, value] : names) {
        if (!isContainedRelativePath(value))
            refused.append(key + QLatin1Char('=') + value);
    }
    return refused;
}

} // namespace korvane::launcher
