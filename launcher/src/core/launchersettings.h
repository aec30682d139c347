#pragma once

#include "shared/milliseconds.h"

#include <QString>
#include <QUrl>

namespace korvane::launcher {

// Read-only record of launchersettings.ini.
struct TLauncherSettings
{
    // Reads an INI file; missing keys take their defaults.
    static TLauncherSettings read(const QString& path);

    QUrl launcherConfiguration;
    QUrl cdnDiagnosticsTrace;
    bool appendNocacheToPackageUrls = false;
    QString packages;
    QString settingsTarget;
    QString packageFile;
    QString partialPackageFile;
    QString assetFile;
    QString accountGroupFile;
    shared::TMilliseconds waitNotificationTimeout = 0;
    shared::TMilliseconds downloadErrorTimeout = 0;
    shared::TMilliseconds clientStartTimeout = 0;
    bool fastScan = true;
    bool ipV4Mode = true;
    bool skipVerification = true;
    bool chunkVerification = false;
    int maxCachedChunks = 100;
    int maxConcurrentDownloads = 10;
    int retries = 5;
    shared::TMilliseconds configurationTransportTimeOut = 750;
    shared::TMilliseconds chunkTransportTimeOut = 10000;
};

} // namespace korvane::launcher
