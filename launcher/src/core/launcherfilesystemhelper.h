#pragma once

#include "core/launchersettings.h"
#include "shared/filesystemhelper.h"

#include <QByteArray>
#include <QDir>
#include <QString>

#include <memory>

namespace korvane::launcher {

// The launcher's file-system access point: the facade's operations plus the launcher's folders, read
// over the settings found at construction.
class TLauncherFilesystemHelper : public shared::TFileSystemHelper
{
public:
    // Reads launchersettings.ini from the application's folder, else the embedded default.
    TLauncherFilesystemHelper();

    const std::shared_ptr<TLauncherSettings>& getLauncherSettings() const { return launcherSettings; }

    QDir packagesDirectory();
    // The top-level names of the markers in an installation folder: those of the settings and the
    // shipped ones, which a package may not use either.
    QStringList markerNames() const;
    void writeFileCreatingFolder(const QString& path, const QByteArray& data);
    void removePath(const QString& path);
    bool accountGroupFileExists();
    void moveFileReplacing(const QString& source, const QString& target);

    // Empty until accountGroupFileExists has computed it.
    const QString& getAccountGroupFilePath() const { return accountGroupFilePath; }
    const QString& getClientAccountGroupFilePath() const { return clientAccountGroupFilePath; }

private:
    std::shared_ptr<TLauncherSettings> launcherSettings;
    QString accountGroupFilePath;
    QString clientAccountGroupFilePath;
    QString accountGroupFile;
};

} // namespace korvane::launcher
