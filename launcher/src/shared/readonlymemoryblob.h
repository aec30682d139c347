#pragma once

#include <QByteArray>
#include <QString>

namespace shared {

// The contents of a file as one byte array, read anew on every call.
class TReadOnlyMemoryBlob
{
public:
    // Throws when no file exists at path.
    explicit TReadOnlyMemoryBlob(const QString& path);
    virtual ~TReadOnlyMemoryBlob() = default;

    virtual QByteArray data();

protected:
    QString path;
};

// A blob whose file may be a packed buffer: packed content is unpacked, anything else is returned as read.
class TLZMACompressedReadOnlyMemoryBlob : public TReadOnlyMemoryBlob
{
public:
    explicit TLZMACompressedReadOnlyMemoryBlob(const QString& path);

    QByteArray data() override;
};

} // namespace shared
