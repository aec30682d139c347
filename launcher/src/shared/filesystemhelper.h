#pragma once

#include <QDir>
#include <QFileDevice>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <vector>

class QByteArray;
class QFile;
class QFileDevice;
class QImage;
class QJsonDocument;
class QSettings;

namespace shared {

class TReadOnlyMemoryBlob;

// One entry of a folder listing.
class TLocalFileInfo
{
public:
    TLocalFileInfo() = default;
    TLocalFileInfo(QString path, qint64 size)
        : path(std::move(path))
        , size(size)
    { }
    virtual ~TLocalFileInfo() = default;

    QString path; // absolute
    qint64 size = 0;
};

// Throws std::runtime_error "I/O error on file '<name>': <text>".
[[noreturn]] void throwFileError(const QFileDevice& file, const QString& text);
// Throws through throwFileError when the file reports an error.
void checkFileError(const QFileDevice& file);
// Adds permissions to an open file through its descriptor, so no link is followed; throws on failure.
void addPermissions(QFileDevice& file, QFileDevice::Permissions permissions);

// Reads, writes, lists and removes files so that a failure surfaces as a std::runtime_error naming the
// file. It is not the only road to files: code that streams large files or handles failures its own way
// (the scan, the chunk writer, the verification, hashing, the log, the self-updater, the survey) uses
// QFile directly. Stateless; any thread may use it.
class TFileSystemHelper
{
public:
    virtual ~TFileSystemHelper() = default;

    virtual std::shared_ptr<TReadOnlyMemoryBlob> openReadOnlyMemoryBlob(const QString& path);
    virtual QByteArray readFile(const QString& path);
    // A file that cannot be opened reads as empty; other failures throw.
    virtual QByteArray readFileIfOpenable(const QString& path);
    // Whether readFileIfOpenable would give exactly expected; reads in blocks, never the whole file at once.
    virtual bool fileHoldsIfOpenable(const QString& path, const QByteArray& expected);
    // Replaces the file atomically, so an interrupted write leaves the old content in place.
    virtual void writeFile(const QString& path, const QByteArray& data);
    // Text in UTF-8; a file that cannot be opened throws.
    virtual void writeTextFile(const QString& path, const QString& text);
    virtual void appendTextFile(const QString& path, const QString& text);
    virtual void deleteFile(const QString& path);
    virtual void copyFile(const QString& source, const QString& target);
    virtual QDir createFolder(const QString& path);
    // The path of a relative name inside the folder; names that would leave it are refused.
    virtual QString pathInsideFolder(const QDir& folder, const QString& relative);
    virtual void forEachFile(const QString& folder, const std::function<void(const TLocalFileInfo&)>& callback);
    virtual std::vector<TLocalFileInfo> listFiles(const QString& folder);
    virtual bool fileExists(const QString& path);
    virtual bool directoryExists(const QString& path);
    virtual QString joinPath(const QStringList& parts);
    virtual QDir openOrCreateSubdirectory(const QString& parent, const QString& name);
    virtual std::shared_ptr<QSettings> openSettings(const QString& path);
    virtual QJsonDocument readJsonFileAsQJsonDocument(const QString& path, bool& parseFailed) const;
    virtual std::shared_ptr<QImage> readImage(const QString& path, const char* format);
    virtual void writeImage(const QImage& image, const QString& path, const char* format);

    // Writes below a folder never pass through a symbolic link planted inside it, so that nothing
    // outside the folder is opened for writing or removed. Every component between the folder and the
    // target is looked at without following links; the folder itself may lie behind links. path is an
    // absolute path inside folder, as pathInsideFolder gives it; one outside is refused.

    // Opens the file for writing (mode holds WriteOnly or ReadWrite, maybe Truncate or Unbuffered),
    // creating it and the folders above it when missing. A link on the way or at the file is removed,
    // never what it points to, and a real folder or file takes its place. Failures throw.
    virtual void openFileBelow(const QDir& folder, const QString& path, QFile& file, QIODeviceBase::OpenMode mode);
    // Makes the folder at path and the folders between, replacing links on the way as above.
    virtual void createFolderBelow(const QDir& folder, const QString& path);
    // Removes a link on the way to path, or at path; true when one was removed. Nothing is created.
    virtual bool removeLinksBelow(const QDir& folder, const QString& path);
    // Whether every folder between folder and path is a real folder, not a link, and exists.
    virtual bool reachableWithoutLinks(const QDir& folder, const QString& path);
    // Removes what is at path without following links: a file or link is unlinked (a failure throws
    // "Failed to delete file <path>"), a folder goes with its contents. A path that is missing, or that
    // passes through a link, is left alone.
    virtual void removeBelow(const QDir& folder, const QString& path);
};

} // namespace shared
