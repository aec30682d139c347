#pragma once

#include <cstddef>
#include <cstdint>

namespace packbuf {

// A raw LZMA stream wrapped either as an lzip member (6-byte header, 12-byte trailer with CRC-32 and
// size) or as LZMA-alone (13-byte header, no trailer), moved between caller-supplied callbacks.

struct TLzmaStreamHeader
{
    std::uint8_t pb = 0;
    std::uint8_t lp = 0;
    std::uint8_t lc = 0;
    std::uint8_t sizeUnknown = 0;
    std::uint64_t uncompressedSize = 0;
    std::uint32_t dictionarySize = 0;
};

struct TLzipTrailer
{
    std::uint32_t crc = 0;
    std::uint64_t dataSize = 0;
};

enum ELzmaContainerFormat : int {
    LzipContainerFormat = 0,
    LzmaAloneContainerFormat = 1,
};

inline constexpr std::size_t lzipHeaderSize = 6;
inline constexpr std::size_t lzipTrailerSize = 12;
inline constexpr std::size_t lzmaAloneHeaderSize = 13;

// Result codes of decodeLzipStream and encodeLzipStream.
enum ELzipResult : int {
    LzipSuccess = 0,
    LzipBadArguments = 10,
    LzipDecoderSetupFailed = 11, // the LZMA decoder could not obtain its memory
    LzipEncoderFailed = 12,
    LzipBadEncoderFormat = 13,
    LzipReadFailed = 14,
    LzipWriteFailed = 15,
    LzipBadHeader = 16,
    LzipCorruptData = 17,
    LzipTruncated = 18,
    LzipCrcMismatch = 19,
    LzipSizeMismatch = 20,
};

// Fills up to *size bytes and stores the count taken; returns 0, anything else is a read failure.
// A count of 0 means the input has ended.
using TLzipReadCallback = int (*)(void* context, void* buffer, std::size_t* size);
// Returns the number of bytes accepted; fewer than offered is a write failure.
using TLzipWriteCallback = std::size_t (*)(void* context, const void* buffer, std::size_t size);
using TLzipProgressCallback = void (*)(void* context, std::uint64_t bytesRead, std::uint64_t declaredSize);

// Optional allocation hooks; without them plain malloc and free are used.
struct TLzipAllocator
{
    void* (*allocate)(void* context, std::size_t size) = nullptr;
    void (*release)(void* context, void* address) = nullptr;
    void* context = nullptr;
};

// Header functions return 0 on success; the parsers return 1 for an invalid header.
int initStreamHeader(TLzmaStreamHeader& header);
int parseLzipHeader(const unsigned char* bytes, TLzmaStreamHeader& header);
int writeLzipHeader(const TLzmaStreamHeader& header, unsigned char* bytes);
int writeLzipTrailer(const TLzipTrailer& trailer, unsigned char* bytes);
int parseLzipTrailer(const unsigned char* bytes, TLzipTrailer& trailer);
int parseLzmaAloneHeader(const unsigned char* bytes, TLzmaStreamHeader& header);
int writeLzmaAloneHeader(const TLzmaStreamHeader& header, unsigned char* bytes);

struct TLzipDecoder;

// Null when memory is exhausted. A decoder serves any number of runs, one at a time.
TLzipDecoder* createLzipDecoder();
void setLzipDecoderAllocator(TLzipDecoder* decoder, const TLzipAllocator& allocator);
int decodeLzipStream(TLzipDecoder* decoder, TLzipReadCallback read, void* readContext, TLzipWriteCallback write,
    void* writeContext, int format);
// Releases the decoder and clears the handle.
void destroyLzipDecoder(TLzipDecoder*& decoder);

struct TLzipEncoder;

TLzipEncoder* createLzipEncoder();
void setLzipEncoderAllocator(TLzipEncoder* encoder, const TLzipAllocator& allocator);
// An uncompressed size of 0 means unknown.
void setLzipEncoderOptions(TLzipEncoder* encoder, int lc, int lp, int pb, int level, std::uint32_t dictionarySize,
    int format, std::uint64_t uncompressedSize);
int encodeLzipStream(TLzipEncoder* encoder, TLzipReadCallback read, void* readContext, TLzipWriteCallback write,
    void* writeContext, TLzipProgressCallback progress, void* progressContext);
void destroyLzipEncoder(TLzipEncoder*& encoder);

// The dictionary the pack side picks for an input of the given length: a power of two of 4 KiB to 8 MiB.
std::uint32_t lzipDictionarySize(std::uint64_t length);

} // namespace packbuf
