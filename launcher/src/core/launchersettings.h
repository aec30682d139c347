#pragma once

#include "shared/milliseconds.h"

#include <QString>
#include <QStringList>
#include <QUrl>

namespace korvane::launcher {

// Read-only record of launchersettings.ini.
struct TLauncherSettings
{
    // Reads an INI file. A key the file lacks takes the value of the shipped settings (a trimmed copy or
    // a misspelt key must not leave a name empty), and the code's default where those have none.
    static TLauncherSettings read(const QString& path);

    // The folder and file names that cannot be used safely, as "key=value": empty, ".", absolute, or
    // leaving the folder they are joined to. The launcher refuses to start with any of them.
    QStringList refusedNames() const;

    // The keys, as "GROUP/key", that took the shipped value.
    QStringList missingKeys;
    // Values the file gave that were raised to the least usable one, described for the log.
    QStringList adjustments;

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
