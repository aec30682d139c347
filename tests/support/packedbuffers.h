#pragma once

// Packed buffers made by hand for fixtures: the framing around a payload, and raw deflate (the MINIZ
// codec's payload) through zlib.

#include "packbuf/pack.h"
#include "packbuf/packbuf.h"

#include <QByteArray>

#include <zlib.h>

#include <cstdint>
#include <string>

namespace korvane::test {

// The marker, the codec id, the unpacked length and the payload length.
inline std::string packedHeader(packbuf::ECodecId codec, std::uint64_t unpackedLength, std::uint64_t payloadLength)
{
    return std::string { char(packbuf::packedMarker), char(codec) } + packbuf::encodeLeb128(unpackedLength)
        + packbuf::encodeLeb128(payloadLength);
}

inline std::string packedBuffer(packbuf::ECodecId codec, std::uint64_t unpackedLength, const std::string& payload)
{
    return packedHeader(codec, unpackedLength, payload.size()) + payload;
}

inline QByteArray packedBuffer(packbuf::ECodecId codec, std::uint64_t unpackedLength, const QByteArray& payload)
{
    return QByteArray::fromStdString(packedHeader(codec, unpackedLength, std::uint64_t(payload.size()))) + payload;
}

// Raw deflate (no zlib header or trailer) at zlib's default level, into std::string or QByteArray.
template<typename TBytes> TBytes rawDeflate(const TBytes& data)
{
    z_stream stream {};
    deflateInit2(&stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
    TBytes out(deflateBound(&stream, uLong(data.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}

} // namespace korvane::test
