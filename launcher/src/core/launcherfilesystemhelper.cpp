#include "core/launcherfilesystemhelper.h"

#include "core/launcherconstants.h"
#include "core/packageconfigurationreader.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <stdexcept>

namespace korvane::launcher {

TLauncherFilesystemHelper::TLauncherFilesystemHelper()
{
    QString path = joinPath({ QCoreApplication::applicationDirPath(), settingsFileName });
    if (!fileExists(path))
        path = embeddedSettingsFolder + settingsFileName;
    launcherSettings = std::make_shared<TLauncherSettings>(TLauncherSettings::read(path));
    accountGroupFile = launcherSettings->accountGroupFile;
    clientAccountGroupFilePath = joinPath({ launcherSettings->settingsTarget, accountGroupFile });
}

QDir TLauncherFilesystemHelper::packagesDirectory()
{
    const QDir dataLocation(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    return createFolder(pathInsideFolder(dataLocation, launcherSettings->packages));
}

QStringList TLauncherFilesystemHelper::markerNames() const
{
    QStringList names = defaultMarkerNames();
    for (const QString& name : { launcherSettings->packageFile, launcherSettings->partialPackageFile,
             launcherSettings->assetFile, forcePatchName, defaultName }) {
        const QString top = name.section(QLatin1Char('/'), 0, 0);
        if (!top.isEmpty() && !names.contains(top))
            names.append(top);
    }
    return names;
}

void TLauncherFilesystemHelper::writeFileCreatingFolder(const QString& path, const QByteArray& data)
{
    createFolder(QFileInfo(path).absolutePath());
    writeFile(path, data);
}

void TLauncherFilesystemHelper::removePath(const QString& path)
{
    const QFileInfo info(path);
    if (info.isDir() && !info.isSymLink()) {
        QDir(path).removeRecursively();
    } else if (info.exists() || info.isSymLink()) {
        deleteFile(path);
    }
}

bool TLauncherFilesystemHelper::accountGroupFileExists()
{
    if (accountGroupFilePath.isEmpty()) {
        const QString dataLocation = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        accountGroupFilePath = joinPath({ QDir(dataLocation).absolutePath(), accountGroupFile });
    }
    return fileExists(accountGroupFilePath);
}

void TLauncherFilesystemHelper::moveFileReplacing(const QString& source, const QString& target)
{
    if (!fileExists(source))
        return;
    // Removing the target would remove the source with it.
    if (QDir::cleanPath(QFileInfo(source).absoluteFilePath()) == QDir::cleanPath(QFileInfo(target).absoluteFilePath()))
        throw std::runtime_error(QStringLiteral("Refused to move '%1' onto itself.").arg(source).toStdString());
    removePath(target);
    // A silent failure here would leave a marker or a file of the running launcher where the caller
    // believes it moved it.
    if (!QFile::rename(source, target))
        throw std::runtime_error(QStringLiteral("Failed to move file '%1' to '%2'.").arg(source, target).toStdString());
}

} // namespace korvane::launcher
