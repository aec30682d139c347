#include "shared/readonlymemoryblob.h"

#include "shared/filesystemhelper.h"

#include "packbuf/packbuf"

#include <QFile>

#include <string>

namespace shared {

TReadOnlyMemoryBlob::TReadOnlyMemoryBlob(const QString& path)
    : path(path)
{
    QFile file(path);
    if (!file.exists())
        throwFileError(file, QStringLiteral("File does not exist"));
}

QByteArray TReadOnlyMemoryBlob::data()
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throwFileError(file, QStringLiteral("Could not open file."));
    checkFileError(file);
    const QByteArray bytes = file.readAll();
    checkFileError(file);
    return bytes;
}

TLZMACompressedReadOnlyMemoryBlob::TLZMACompressedReadOnlyMemoryBlob(const QString& path)
    : TReadOnlyMemoryBlob(path)
{ }

QByteArray TLZMACompressedReadOnlyMemoryBlob::data()
{
    const QByteArray bytes = TReadOnlyMemoryBlob::data();
    const std::string packed(bytes.constData(), std::size_t(bytes.size()));
    std::string unpacked;
    if (!packbuf::unpackString(packed, unpacked))
        return bytes;
    return QByteArray(unpacked.data(), qsizetype(unpacked.size()));
}

} // namespace shared
