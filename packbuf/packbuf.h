#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace packbuf {

// A packed buffer: any number of 0x00 bytes, the marker 0x70 ('p'), a codec id byte, the unpacked length
// and the payload length as unsigned LEB128, then the payload (bytes behind it are ignored).

enum class ECodecId : std::uint8_t {
    RAW = 0,
    SHOCO = 1,
    LZ4F = 2,
    MINIZ = 3,
    LZIP = 4,
    LZMA20 = 5,
    ZPAQ = 6,
    LZ4 = 7,
    BROTLI9 = 8,
    ZSTD = 9,
    LZMA25 = 10,
    BSC = 11,
    BROTLI11 = 12,
    SHRINKER = 13,
    CSC20 = 14,
    ZSTDF = 15,
    BCM = 16,
    ZLING = 17,
    MCM = 18,
    TANGELO = 19,
    ZMOLLY = 20,
    CRUSH = 21,
    LZJB = 22,
    BZIP2 = 23,
};

inline constexpr unsigned char packedMarker = 0x70;
inline constexpr unsigned highestCodecId = 23;

// Without a caller's bound, an unpacked length above this is refused before anything is allocated.
inline constexpr std::uint64_t defaultMaxUnpackedLength = std::uint64_t(1) << 30;

// True when, after the leading zeros, a marker and a codec id of at most 23 follow.
bool hasPackedHeader(const char* data, std::size_t length);

std::size_t countLeadingZeroBytes(const char* data, std::size_t length);

// Reads one unsigned LEB128 value of at most 10 bytes at cursor and moves the cursor behind it.
// Nothing when the field runs to end or is longer; the cursor is then left where it was.
std::optional<std::uint64_t> readLeb128(const char*& cursor, const char* end);

// Extra output bytes reserved beyond the unpacked length.
std::size_t unpackSlack(ECodecId id);

// Decodes a payload with the given codec. On entry outputLength is the capacity of output (the unpacked
// length of the header); on success it holds the length of the unpacked data, on failure it is 0.
bool unpackBuffer(ECodecId id, const char* payload, std::size_t payloadLength, char* output, std::size_t& outputLength);

// Unpacks a whole packed buffer. On failure (not packed, not unpackable, or claiming more than
// maxUnpackedLength) the output is a copy of the input and the result false.
bool unpackString(
    const std::string& input, std::string& output, std::uint64_t maxUnpackedLength = defaultMaxUnpackedLength);

} // namespace packbuf
