#include "installation/selfupdatefiles.h"

#include "core/launcherconstants.h"
#include "core/launcherfilesystemhelper.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace korvane::launcher {

namespace {

const QString temporarySuffix = QStringLiteral(".kvupdate");

[[noreturn]] void throwError(const QString& path, const QString& text, int error)
{
    throw std::runtime_error(QStringLiteral("I/O error on file '%1': %2: %3")
                                 .arg(path, text, QString::fromLocal8Bit(std::strerror(error)))
                                 .toStdString());
}

bool exists(const QByteArray& path, struct stat& status)
{
    return ::lstat(path.constData(), &status) == 0;
}

} // namespace

QString TSelfUpdateFiles::temporaryPath(const QString& path)
{
    const QFileInfo info(path);
    return info.path() + QStringLiteral("/.") + info.fileName() + temporarySuffix;
}

bool TSelfUpdateFiles::isTemporaryName(const QString& fileName)
{
    return fileName.startsWith(QLatin1Char('.')) && fileName.endsWith(temporarySuffix);
}

QString TSelfUpdateFiles::oldPath(const QString& path)
{
    return path + oldFileSuffix;
}

void TSelfUpdateFiles::putInPlace(TLauncherFilesystemHelper& helper, const QString& temporary, const QString& path)
{
    const QByteArray target = QFile::encodeName(path);
    const QByteArray source = QFile::encodeName(temporary);
    struct stat status
    {
    };
    if (!exists(source, status))
        throwError(temporary, QStringLiteral("the new file is missing"), ENOENT);
    if (exists(target, status)) {
        const QString old = oldPath(path);
        helper.removePath(old);
        const QByteArray oldName = QFile::encodeName(old);
        if (S_ISDIR(status.st_mode) || ::link(target.constData(), oldName.constData()) != 0) {
            if (::rename(target.constData(), oldName.constData()) != 0)
                throwError(path, QStringLiteral("cannot move the file aside"), errno);
        }
    }
    if (::rename(source.constData(), target.constData()) != 0)
        throwError(path, QStringLiteral("cannot put the new file in place"), errno);
    syncFolder(QFileInfo(path).path());
}

void TSelfUpdateFiles::moveAside(TLauncherFilesystemHelper& helper, const QString& path)
{
    const QByteArray name = QFile::encodeName(path);
    struct stat status
    {
    };
    if (!exists(name, status))
        return;
    const QString old = oldPath(path);
    helper.removePath(old);
    if (::rename(name.constData(), QFile::encodeName(old).constData()) != 0)
        throwError(path, QStringLiteral("cannot move the file aside"), errno);
    syncFolder(QFileInfo(path).path());
}

void TSelfUpdateFiles::syncFolder(const QString& folder)
{
    const int descriptor = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (descriptor < 0)
        return;
    ::fsync(descriptor);
    ::close(descriptor);
}

QStringList TSelfUpdateFiles::restoreMissing(const QStringList& paths)
{
    QStringList restored;
    for (const QString& path : paths) {
        struct stat status
        {
        };
        const QString old = oldPath(path);
        if (exists(QFile::encodeName(path), status) || !exists(QFile::encodeName(old), status))
            continue;
        if (::rename(QFile::encodeName(old).constData(), QFile::encodeName(path).constData()) != 0) {
            qWarning() << "Could not put back" << path << "from" << old << ":" << std::strerror(errno);
            continue;
        }
        syncFolder(QFileInfo(path).path());
        restored << path;
    }
    return restored;
}

} // namespace korvane::launcher
