#include "shared/filesystemhelper.h"

#include "shared/readonlymemoryblob.h"

#include <QBuffer>
#include <QByteArray>
#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>
#include <QSettings>
#include <QTextStream>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace shared {

namespace {

// Owns one descriptor.
class TDescriptor
{
public:
    explicit TDescriptor(int fd = -1)
        : fd(fd)
    { }
    ~TDescriptor() { reset(); }
    TDescriptor(const TDescriptor&) = delete;
    TDescriptor& operator=(const TDescriptor&) = delete;
    TDescriptor(TDescriptor&& other) noexcept
        : fd(std::exchange(other.fd, -1))
    { }
    TDescriptor& operator=(TDescriptor&& other) noexcept
    {
        if (this != &other) {
            reset();
            fd = std::exchange(other.fd, -1);
        }
        return *this;
    }
    int get() const { return fd; }
    int release() { return std::exchange(fd, -1); }
    bool isValid() const { return fd >= 0; }
    void reset()
    {
        if (fd >= 0)
            ::close(fd);
        fd = -1;
    }

private:
    int fd;
};

[[noreturn]] void throwSystemError(const QString& text, int error)
{
    throw std::runtime_error(
        QStringLiteral("%1: %2").arg(text, QString::fromLocal8Bit(std::strerror(error))).toStdString());
}

[[noreturn]] void throwFolderNotMade(const QString& path)
{
    throw std::runtime_error(
        QStringLiteral("Failed to create folder: '%1'.").arg(QDir::toNativeSeparators(path)).toStdString());
}

// The components of path below the folder; refuses a path that is not inside it.
QStringList componentsBelow(const QDir& folder, const QString& path)
{
    const QString base = QDir::cleanPath(folder.absolutePath());
    const QString cleaned = QDir::cleanPath(QDir::fromNativeSeparators(path));
    const QString prefix = base.endsWith(QLatin1Char('/')) ? base : base + QLatin1Char('/');
    if (!cleaned.startsWith(prefix, Qt::CaseSensitive) || cleaned.size() == prefix.size())
        throw std::runtime_error(
            QStringLiteral("Refused path '%1': it is not inside the folder '%2'.").arg(path, base).toStdString());
    return cleaned.mid(prefix.size()).split(QLatin1Char('/'), Qt::SkipEmptyParts);
}

enum class EWalk {
    Create, // links are replaced by real folders, missing folders are made
    RemoveLinks, // links are removed, the walk stops at the first missing folder
    Inspect // the walk stops at a link or a missing folder
};

// The result of a walk: the descriptor of the folder that holds the last component, when reached.
struct TWalk
{
    TDescriptor parent;
    bool linkRemoved = false;
};

// Removes the link name inside the folder dir; the folder path is only for the messages.
void removeLink(int dir, const QByteArray& name, const QString& where)
{
    if (::unlinkat(dir, name.constData(), 0) != 0 && errno != ENOENT)
        throwSystemError(QStringLiteral("Failed to remove the link '%1'").arg(where), errno);
    qWarning() << "Removed the symbolic link" << where << "inside an installation folder";
}

// Walks from the folder down to the folder that holds path's last component, never following a link.
TWalk walkBelow(const QDir& folder, const QString& path, EWalk how)
{
    const QStringList parts = componentsBelow(folder, path);
    const QString base = QDir::cleanPath(folder.absolutePath());
    TWalk walk;
    const QByteArray encodedBase = QFile::encodeName(base);
    TDescriptor dir(::open(encodedBase.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    // Made only when it cannot be opened: every file written below the folder walks from it.
    if (!dir.isValid() && how == EWalk::Create) {
        if (!QDir().mkpath(base))
            throwFolderNotMade(base);
        dir = TDescriptor(::open(encodedBase.constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    }
    if (!dir.isValid()) {
        if (how != EWalk::Create && errno == ENOENT)
            return walk;
        throwSystemError(QStringLiteral("Failed to open folder '%1'").arg(base), errno);
    }
    QString reached = base;
    for (qsizetype i = 0; i + 1 < parts.size(); ++i) {
        const QByteArray name = QFile::encodeName(parts[i]);
        reached += QLatin1Char('/') + parts[i];
        const auto openFolder = [&] {
            return TDescriptor(::openat(dir.get(), name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        };
        // A real folder opens at once; only what does not (missing, a link, a file) is looked at.
        TDescriptor next = openFolder();
        if (!next.isValid()) {
            struct stat info;
            bool exists = ::fstatat(dir.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
            if (!exists && errno != ENOENT)
                throwSystemError(QStringLiteral("Failed to look at '%1'").arg(reached), errno);
            if (exists && S_ISLNK(info.st_mode)) {
                if (how == EWalk::Inspect)
                    return walk;
                removeLink(dir.get(), name, reached);
                walk.linkRemoved = true;
                exists = false;
            }
            if (!exists) {
                if (how != EWalk::Create)
                    return walk;
                if (::mkdirat(dir.get(), name.constData(), 0777) != 0 && errno != EEXIST)
                    throwFolderNotMade(reached);
            } else if (!S_ISDIR(info.st_mode)) {
                if (how != EWalk::Create)
                    return walk;
                throwFolderNotMade(reached);
            }
            // A link planted since the look above is refused here rather than followed.
            next = openFolder();
            if (!next.isValid())
                throwSystemError(QStringLiteral("Failed to open folder '%1'").arg(reached), errno);
        }
        dir = std::move(next);
    }
    walk.parent = std::move(dir);
    return walk;
}

// Removes name inside dir and, for a folder, everything in it; links are removed, never followed.
// Only the failure to remove a file or link at the top is reported.
bool removeTree(int dir, const QByteArray& name)
{
    struct stat info;
    if (::fstatat(dir, name.constData(), &info, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT;
    if (!S_ISDIR(info.st_mode))
        return ::unlinkat(dir, name.constData(), 0) == 0 || errno == ENOENT;
    const int inner = ::openat(dir, name.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (inner >= 0) {
        if (DIR* listing = ::fdopendir(inner)) {
            QList<QByteArray> entries;
            while (const dirent* entry = ::readdir(listing)) {
                const QByteArray entryName(entry->d_name);
                if (entryName != "." && entryName != "..")
                    entries.append(entryName);
            }
            for (const QByteArray& entryName : entries)
                removeTree(::dirfd(listing), entryName);
            ::closedir(listing); // closes inner
        } else {
            ::close(inner);
        }
    }
    ::unlinkat(dir, name.constData(), AT_REMOVEDIR);
    return true;
}

} // namespace

void throwFileError(const QFileDevice& file, const QString& text)
{
    throw std::runtime_error(QStringLiteral("I/O error on file '%1': %2").arg(file.fileName(), text).toStdString());
}

void checkFileError(const QFileDevice& file)
{
    if (file.error() != QFileDevice::NoError)
        throwFileError(file, file.errorString());
}

void addPermissions(QFileDevice& file, QFileDevice::Permissions permissions)
{
    struct stat info;
    const int fd = file.handle();
    if (fd < 0 || ::fstat(fd, &info) != 0)
        throwFileError(file, QStringLiteral("couldn't read the permissions"));
    mode_t mode = info.st_mode & 07777;
    const std::pair<QFileDevice::Permission, mode_t> bits[] = { { QFileDevice::ReadOwner, S_IRUSR },
        { QFileDevice::WriteOwner, S_IWUSR }, { QFileDevice::ExeOwner, S_IXUSR }, { QFileDevice::ReadUser, S_IRUSR },
        { QFileDevice::WriteUser, S_IWUSR }, { QFileDevice::ExeUser, S_IXUSR }, { QFileDevice::ReadGroup, S_IRGRP },
        { QFileDevice::WriteGroup, S_IWGRP }, { QFileDevice::ExeGroup, S_IXGRP }, { QFileDevice::ReadOther, S_IROTH },
        { QFileDevice::WriteOther, S_IWOTH }, { QFileDevice::ExeOther, S_IXOTH } };
    for (const auto& [permission, bit] : bits) {
        if (permissions.testFlag(permission))
            mode |= bit;
    }
    if (::fchmod(fd, mode) != 0)
        throwFileError(file, QStringLiteral("couldn't change the permissions"));
}

std::shared_ptr<TReadOnlyMemoryBlob> TFileSystemHelper::openReadOnlyMemoryBlob(const QString& path)
{
    static const QString compressedSuffix = QStringLiteral(".lzma");
    if (fileExists(path)) {
        if (path.endsWith(compressedSuffix))
            return std::make_shared<TLZMACompressedReadOnlyMemoryBlob>(path);
        return std::make_shared<TReadOnlyMemoryBlob>(path);
    }
    if (fileExists(path + compressedSuffix))
        return std::make_shared<TLZMACompressedReadOnlyMemoryBlob>(path + compressedSuffix);
    // Throws "File does not exist".
    return std::make_shared<TReadOnlyMemoryBlob>(path);
}

QByteArray TFileSystemHelper::readFile(const QString& path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    checkFileError(file);
    const QByteArray data = file.readAll();
    checkFileError(file);
    file.close();
    checkFileError(file);
    return data;
}

QByteArray TFileSystemHelper::readFileIfOpenable(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) && file.error() == QFileDevice::OpenError)
        return {};
    checkFileError(file);
    const QByteArray data = file.readAll();
    checkFileError(file);
    file.close();
    checkFileError(file);
    return data;
}

bool TFileSystemHelper::fileHoldsIfOpenable(const QString& path, const QByteArray& expected)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly) && file.error() == QFileDevice::OpenError)
        return expected.isEmpty();
    checkFileError(file);
    QByteArray block(std::clamp<qsizetype>(expected.size(), 64 << 10, 1 << 20), Qt::Uninitialized);
    qint64 compared = 0;
    for (;;) {
        const qint64 got = file.read(block.data(), block.size());
        checkFileError(file);
        if (got <= 0)
            break;
        if (got > expected.size() - compared
            || memcmp(block.constData(), expected.constData() + compared, size_t(got)) != 0)
            return false;
        compared += got;
    }
    return compared == expected.size();
}

void TFileSystemHelper::writeFile(const QString& path, const QByteArray& data)
{
    // Written beside the target and renamed over it on commit: a kill mid-write keeps the old file.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        throwFileError(file, QStringLiteral("Could not open file."));
    checkFileError(file);
    const qint64 written = file.write(data);
    checkFileError(file);
    if (written < data.size())
        throwFileError(file, QStringLiteral("Could not write all data to disk."));
    if (!file.commit())
        throwFileError(file, file.errorString());
}

void TFileSystemHelper::writeTextFile(const QString& path, const QString& text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text))
        throwFileError(file, QStringLiteral("Could not open file."));
    QTextStream stream(&file);
    stream << text;
}

void TFileSystemHelper::appendTextFile(const QString& path, const QString& text)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Text))
        throwFileError(file, QStringLiteral("Could not open file."));
    QTextStream stream(&file);
    stream << text;
}

void TFileSystemHelper::deleteFile(const QString& path)
{
    if (!QFile::remove(path))
        throw std::runtime_error(("Failed to delete file " + path).toStdString());
}

void TFileSystemHelper::copyFile(const QString& source, const QString& target)
{
    QFile::copy(source, target);
}

QDir TFileSystemHelper::createFolder(const QString& path)
{
    QDir folder(path);
    if (!folder.exists() && !folder.mkpath(QStringLiteral(".")))
        throwFolderNotMade(folder.path());
    folder.refresh();
    return folder;
}

QString TFileSystemHelper::pathInsideFolder(const QDir& folder, const QString& relative)
{
    // Names come from downloaded documents: one that climbs out of the folder or names an absolute
    // path must never reach the disk.
    const QString base = QDir::cleanPath(folder.absolutePath());
    if (QDir::isAbsolutePath(relative))
        throw std::runtime_error(
            QStringLiteral("Refused absolute path '%1' inside folder '%2'.").arg(relative, base).toStdString());
    const QString candidate = QDir::cleanPath(joinPath({ base, relative }));
    const QString prefix = base.endsWith(QLatin1Char('/')) ? base : base + QLatin1Char('/');
    if (candidate != base && !candidate.startsWith(prefix, Qt::CaseSensitive))
        throw std::runtime_error(
            QStringLiteral("Refused path '%1': it leaves the folder '%2'.").arg(relative, base).toStdString());
    return candidate;
}

void TFileSystemHelper::forEachFile(const QString& folder, const std::function<void(const TLocalFileInfo&)>& callback)
{
    if (!callback)
        throw std::invalid_argument("forEachFile needs a callback");
    for (const TLocalFileInfo& info : listFiles(folder))
        callback(info);
}

std::vector<TLocalFileInfo> TFileSystemHelper::listFiles(const QString& folder)
{
    std::vector<TLocalFileInfo> result;
    const QFileInfoList entries = QDir(folder).entryInfoList(QDir::Files | QDir::NoDotAndDotDot, QDir::Unsorted);
    result.reserve(entries.size());
    for (const QFileInfo& entry : entries)
        result.emplace_back(entry.absoluteFilePath(), entry.size());
    return result;
}

bool TFileSystemHelper::fileExists(const QString& path)
{
    return QFileInfo::exists(path);
}

bool TFileSystemHelper::directoryExists(const QString& path)
{
    return QFileInfo(path).isDir();
}

QString TFileSystemHelper::joinPath(const QStringList& parts)
{
    QString result;
    for (const QString& part : parts)
        result += QLatin1Char('/') + part;
    if (!result.isEmpty())
        result.remove(0, 1);
    return QDir::toNativeSeparators(result);
}

QDir TFileSystemHelper::openOrCreateSubdirectory(const QString& parent, const QString& name)
{
    if (!directoryExists(parent))
        throw std::runtime_error("Directory doesn't exist");
    QDir folder(parent);
    if (folder.cd(name))
        return folder;
    if (folder.mkdir(name) && folder.cd(name))
        return folder;
    throw std::runtime_error("Failed to create subdirectory.");
}

std::shared_ptr<QSettings> TFileSystemHelper::openSettings(const QString& path)
{
    return std::make_shared<QSettings>(path, QSettings::IniFormat);
}

QJsonDocument TFileSystemHelper::readJsonFileAsQJsonDocument(const QString& path, bool& parseFailed) const
{
    // The facade has no state, so reading through the non-const slot changes nothing.
    const QByteArray data = const_cast<TFileSystemHelper*>(this)->readFileIfOpenable(path);
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (!data.isEmpty() && error.error != QJsonParseError::NoError) {
        qWarning() << "Json parse error in file" << path << ": " << error.errorString() << "at offset" << error.offset;
        parseFailed = true;
        return {};
    }
    parseFailed = false;
    return document;
}

std::shared_ptr<QImage> TFileSystemHelper::readImage(const QString& path, const char* format)
{
    const QByteArray data = readFileIfOpenable(path);
    if (data.isEmpty())
        return nullptr;
    auto image = std::make_shared<QImage>();
    if (!image->loadFromData(data, format))
        return nullptr;
    return image;
}

void TFileSystemHelper::writeImage(const QImage& image, const QString& path, const char* format)
{
    QBuffer buffer;
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, format);
    writeFile(path, buffer.data());
}

void TFileSystemHelper::openFileBelow(
    const QDir& folder, const QString& path, QFile& file, QIODeviceBase::OpenMode mode)
{
    if (file.fileName().isEmpty())
        file.setFileName(path);
    TWalk walk = walkBelow(folder, path, EWalk::Create);
    const QByteArray name = QFile::encodeName(QFileInfo(QDir::cleanPath(path)).fileName());
    const int access = mode.testFlag(QIODeviceBase::ReadOnly) ? O_RDWR : O_WRONLY;
    // Made, or found, through the folder reached without links; the file object then opens it by name
    // and must find the very same file there, else a link was planted meanwhile.
    const auto openName = [&] {
        return TDescriptor(
            ::openat(walk.parent.get(), name.constData(), access | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666));
    };
    TDescriptor made = openName();
    // Refused for a link at the name alone: the link goes, and a real file takes its place.
    if (!made.isValid() && errno == ELOOP) {
        removeLink(walk.parent.get(), name, path);
        made = openName();
    }
    if (!made.isValid())
        throwFileError(file, QString::fromLocal8Bit(std::strerror(errno)));
    if (!file.open(mode & ~QIODeviceBase::Truncate))
        throwFileError(file, file.errorString());
    struct stat expected;
    struct stat opened;
    if (::fstat(made.get(), &expected) != 0 || ::fstat(file.handle(), &opened) != 0 || expected.st_dev != opened.st_dev
        || expected.st_ino != opened.st_ino) {
        file.close();
        throwFileError(file, QStringLiteral("the path changed while it was opened"));
    }
    if (mode.testFlag(QIODeviceBase::Truncate) && !file.resize(0)) {
        file.close();
        throwFileError(file, file.errorString());
    }
}

void TFileSystemHelper::createFolderBelow(const QDir& folder, const QString& path)
{
    if (QDir::cleanPath(path) == QDir::cleanPath(folder.absolutePath())) {
        if (!QDir().mkpath(path))
            throwFolderNotMade(path);
        return;
    }
    TWalk walk = walkBelow(folder, path, EWalk::Create);
    const QByteArray name = QFile::encodeName(QFileInfo(QDir::cleanPath(path)).fileName());
    struct stat info;
    bool exists = ::fstatat(walk.parent.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0;
    if (exists && S_ISLNK(info.st_mode)) {
        removeLink(walk.parent.get(), name, path);
        exists = false;
    }
    if ((exists && !S_ISDIR(info.st_mode))
        || (!exists && ::mkdirat(walk.parent.get(), name.constData(), 0777) != 0 && errno != EEXIST))
        throwFolderNotMade(path);
}

bool TFileSystemHelper::removeLinksBelow(const QDir& folder, const QString& path)
{
    TWalk walk = walkBelow(folder, path, EWalk::RemoveLinks);
    if (!walk.parent.isValid())
        return walk.linkRemoved;
    const QByteArray name = QFile::encodeName(QFileInfo(QDir::cleanPath(path)).fileName());
    struct stat info;
    if (::fstatat(walk.parent.get(), name.constData(), &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(info.st_mode)) {
        removeLink(walk.parent.get(), name, path);
        return true;
    }
    return walk.linkRemoved;
}

bool TFileSystemHelper::reachableWithoutLinks(const QDir& folder, const QString& path)
{
    return walkBelow(folder, path, EWalk::Inspect).parent.isValid();
}

void TFileSystemHelper::removeBelow(const QDir& folder, const QString& path)
{
    TWalk walk = walkBelow(folder, path, EWalk::Inspect);
    if (!walk.parent.isValid())
        return;
    const QByteArray name = QFile::encodeName(QFileInfo(QDir::cleanPath(path)).fileName());
    if (!removeTree(walk.parent.get(), name))
        throw std::runtime_error(("Failed to delete file " + path).toStdString());
}

} // namespace shared
