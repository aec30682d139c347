#include "packedbody.h"

#include <lzma/LzmaEnc.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <stdexcept>

namespace makepackage {

namespace {

constexpr char packedMarker = 0x70;
constexpr char codecRaw = 0;
constexpr char codecMiniz = 3;
constexpr char codecLzma20 = 5;

void appendLeb128(QByteArray& out, std::uint64_t value)
{
    do {
        std::uint8_t byte = value & 0x7F;
        value >>= 7;
        if (value != 0)
            byte |= 0x80;
        out.append(char(byte));
    } while (value != 0);
}

QByteArray packedBuffer(char codec, std::uint64_t unpackedLength, const QByteArray& payload)
{
    QByteArray out;
    out.reserve(payload.size() + 24);
    out.append(packedMarker);
    out.append(codec);
    appendLeb128(out, unpackedLength);
    appendLeb128(out, std::uint64_t(payload.size()));
    out.append(payload);
    return out;
}

QByteArray rawDeflate(const QByteArray& piece)
{
    z_stream stream {};
    // Negative window bits: a bare deflate stream without zlib header or trailer.
    if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        throw std::runtime_error("deflate could not be initialised");
    QByteArray out(qsizetype(deflateBound(&stream, uLong(piece.size()))), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(piece.constData()));
    stream.avail_in = uInt(piece.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    const int result = deflate(&stream, Z_FINISH);
    const uLong written = stream.total_out;
    deflateEnd(&stream);
    if (result != Z_STREAM_END)
        throw std::runtime_error("deflate failed");
    out.resize(qsizetype(written));
    return out;
}

void* lzmaAlloc(void*, size_t size)
{
    return std::malloc(size);
}

void lzmaFree(void*, void* address)
{
    std::free(address);
}

QByteArray lzma(const QByteArray& piece)
{
    ISzAlloc allocator { lzmaAlloc, lzmaFree };
    CLzmaEncProps properties;
    LzmaEncProps_Init(&properties);
    properties.level = 6;
    properties.reduceSize = UInt32(piece.size());

    // The end mark lets the decoder stop by itself; pieces that do not shrink get room to grow.
    SizeT capacity = SizeT(piece.size()) + SizeT(piece.size()) / 2 + 1024;
    for (;;) {
        QByteArray data(qsizetype(capacity), '\0');
        Byte encodedProperties[LZMA_PROPS_SIZE];
        SizeT propertiesSize = LZMA_PROPS_SIZE;
        SizeT dataSize = capacity;
        const SRes result = LzmaEncode(reinterpret_cast<Byte*>(data.data()), &dataSize,
            reinterpret_cast<const Byte*>(piece.constData()), SizeT(piece.size()), &properties, encodedProperties,
            &propertiesSize, 1, nullptr, &allocator, &allocator);
        if (result == SZ_ERROR_OUTPUT_EOF) {
            capacity *= 2;
            continue;
        }
        if (result != SZ_OK || propertiesSize != LZMA_PROPS_SIZE)
            throw std::runtime_error("LZMA encoding failed");
        QByteArray payload(reinterpret_cast<const char*>(encodedProperties), LZMA_PROPS_SIZE);
        std::uint64_t length = dataSize;
        for (int i = 0; i < 8; ++i)
            payload.append(char((length >> (8 * i)) & 0xFF));
        payload.append(data.constData(), qsizetype(dataSize));
        return payload;
    }
}

} // namespace

std::optional<EPacking> packingFromText(const QString& text)
{
    if (text == QLatin1String("none"))
        return EPacking::None;
    if (text == QLatin1String("raw"))
        return EPacking::Raw;
    if (text == QLatin1String("deflate"))
        return EPacking::Deflate;
    if (text == QLatin1String("lzma"))
        return EPacking::Lzma;
    return std::nullopt;
}

QByteArray packBody(const QByteArray& piece, EPacking packing)
{
    switch (packing) {
    case EPacking::None:
        return piece;
    case EPacking::Raw:
        return packedBuffer(codecRaw, std::uint64_t(piece.size()), piece);
    case EPacking::Deflate:
        return packedBuffer(codecMiniz, std::uint64_t(piece.size()), rawDeflate(piece));
    case EPacking::Lzma:
        return packedBuffer(codecLzma20, std::uint64_t(piece.size()), lzma(piece));
    }
    throw std::runtime_error("unknown packing");
}

} // namespace makepackage
