#include "shared/filesystemhelper.h"

#include "shared/readonlymemoryblob.h"

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QSaveFile>
#include <QSettings>
#include <QTextStream>

#include <stdexcept>

namespace shared {

void throwFileError(const QFileDevice& file, const QString& text)
{
    throw std::runtime_error(QStringLiteral("I/O error on file '%1': %2").arg(file.fileName(), text).toStdString());
}

void checkFileError(const QFileDevice& file)
{
    if (file.error() != QFileDevice::NoError)
        throwFileError(file, file.errorString());
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
        throw std::runtime_error(QStringLiteral("Failed to create folder: '%1'.")
                                     .arg(QDir::toNativeSeparators(folder.path()))
                                     .toStdString());
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

} // namespace shared
