#pragma once

#include <QString>

namespace korvane::launcher {

inline const QString launcherVersion = QStringLiteral("0.0.19");

inline const QString settingsFileName = QStringLiteral("launchersettings.ini");
inline const QString embeddedSettingsFolder = QStringLiteral(":/settings/");

// Groups and keys of launchersettings.ini.
namespace settingsKeys {
inline const QString urlsGroup = QStringLiteral("URLS");
inline const QString launcherConfiguration = QStringLiteral("launcherConfiguration");
inline const QString cdnDiagnosticsTrace = QStringLiteral("cdnDiagnosticsTrace");
inline const QString appendNocacheToPackageUrls = QStringLiteral("appendNocacheToPackageUrls");
inline const QString directoriesGroup = QStringLiteral("DIRECTORIES");
inline const QString packages = QStringLiteral("packages");
inline const QString settingsTarget = QStringLiteral("settingsTarget");
inline const QString filesGroup = QStringLiteral("FILES");
inline const QString packageFile = QStringLiteral("packageFile");
inline const QString partialPackageFile = QStringLiteral("partialPackageFile");
inline const QString assetFile = QStringLiteral("assetFile");
inline const QString accountGroupFile = QStringLiteral("accountGroupFile");
inline const QString timingGroup = QStringLiteral("TIMING");
inline const QString waitNotificationTimeout = QStringLiteral("waitNotificationTimeout");
inline const QString downloadErrorTimeout = QStringLiteral("downloadErrorTimeout");
inline const QString clientStartTimeout = QStringLiteral("clientStartTimeout");
inline const QString debugGroup = QStringLiteral("DEBUG");
inline const QString chunkVerification = QStringLiteral("chunkVerification");
inline const QString optionsGroup = QStringLiteral("OPTIONS");
inline const QString maxCachedChunks = QStringLiteral("maxCachedChunks");
inline const QString maxConcurrentDownloads = QStringLiteral("maxConcurrentDownloads");
inline const QString skipVerification = QStringLiteral("skipVerification");
inline const QString fastScan = QStringLiteral("fastScan");
inline const QString ipV4Mode = QStringLiteral("ipV4Mode");
inline const QString configurationTransportTimeOut = QStringLiteral("configurationTransportTimeOut");
inline const QString chunkTransportTimeOut = QStringLiteral("chunkTransportTimeOut");
inline const QString retries = QStringLiteral("retries");
} // namespace settingsKeys

inline const QString launcherConfigurationCacheFileName = QStringLiteral("launchermetadata.json");
inline const QString oldFileSuffix = QStringLiteral(".old");
inline const QString forcePatchName = QStringLiteral("FORCE_PATCH");
inline const QString defaultName = QStringLiteral("default");
inline const QString skipSelfUpdateOptionName = QStringLiteral("skip-selfupdate");

// Where the stored preferences live.
inline const QString preferencesOrganisation = QStringLiteral("Dulmark");
inline const QString preferencesApplication = QStringLiteral("KorvaneVedudiLauncher");
inline const QString languagePreferenceKey = QStringLiteral("language");

inline const QString applicationName = QStringLiteral("Korvane Vedudi");
inline const QString organisationName = QStringLiteral("Dulmark GmbH");
inline const QString organisationDomain = QStringLiteral("dulmark.example");

} // namespace korvane::launcher
