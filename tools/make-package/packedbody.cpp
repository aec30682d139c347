#include "packedbody.h"

#include "packbuf/pack.h"

#include <stdexcept>
#include <string>

namespace makepackage {

namespace {

QByteArray packedBuffer(packbuf::ECodecId codec, std::uint64_t unpackedLength, const char* payload,
    std::size_t payloadLength)
{
    const std::string header = std::string { char(packbuf::packedMarker), char(codec) }
        + packbuf::encodeLeb128(unpackedLength) + packbuf::encodeLeb128(payloadLength);
    QByteArray out;
    out.reserve(qsizetype(header.size() + payloadLength));
    out.append(header.data(), qsizetype(header.size()));
    out.append(payload, qsizetype(payloadLength));
    return out;
}

// A piece that the codec does not shrink is stored with codec RAW, which every launcher reads.
QByteArray packedWith(packbuf::ECodecId codec, const QByteArray& piece)
{
    std::string payload(packbuf::packedSizeBound(codec, std::size_t(piece.size())), '\0');
    std::size_t payloadLength = payload.size();
    if (!packbuf::packBuffer(codec, piece.constData(), std::size_t(piece.size()), payload.data(), payloadLength))
        return packedBuffer(packbuf::ECodecId::RAW, std::uint64_t(piece.size()), piece.constData(),
            std::size_t(piece.size()));
    return packedBuffer(codec, std::uint64_t(piece.size()), payload.data(), payloadLength);
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
        return packedBuffer(
            packbuf::ECodecId::RAW, std::uint64_t(piece.size()), piece.constData(), std::size_t(piece.size()));
    case EPacking::Deflate:
        return packedWith(packbuf::ECodecId::MINIZ, piece);
    case EPacking::Lzma:
        return packedWith(packbuf::ECodecId::LZMA20, piece);
    }
    throw std::runtime_error("unknown packing");
}

} // namespace makepackage
