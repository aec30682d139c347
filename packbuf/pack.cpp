#include "pack.h"

#include "crushcodec.h"
#include "cscencoder.h"
#include "lzipcontainer.h"
#include "memoryadapters.h"
#include "zpaqcodec.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>

#include <lzma/LzmaEnc.h>
#include <zlib.h>

namespace packbuf {

namespace {

using namespace detail;

constexpr std::size_t lzmaPayloadHeaderSize = 13;
constexpr std::uint32_t maxLzipPackDictionary = 16u << 20;
constexpr std::size_t headerSlack = 32;
constexpr int cscPackLevel = 5;

struct TCodecText
{
    const char* name;
    const char* extension;
};

constexpr TCodecText codecTexts[] = {
    { "RAW", "" },
    { "SHOCO", "sho" },
    { "LZ4F", "lz4" },
    { "MINIZ", "defl" },
    { "LZIP", "lz" },
    { "LZMA20", "lzma" },
    { "ZPAQ", "zpaq" },
    { "LZ4", "lz4" },
    { "BROTLI9", "bro" },
    { "ZSTD", "zstd" },
    { "LZMA25", "lzma" },
    { "BSC", "bsc" },
    { "BROTLI11", "bro" },
    { "SHRINKER", "shk" },
    { "CSC20", "csc" },
    { "ZSTDF", "zstd" },
    { "BCM", "bcm" },
    { "ZLING", "zli" },
    { "MCM", "mcm" },
    { "TANGELO", "tan" },
    { "ZMOLLY", "zmo" },
    { "CRUSH", "crush" },
    { "LZJB", "lzjb" },
    { "BZIP2", "bz2" },
};

// Raw deflate (no zlib header or trailer) at the strongest level.
std::size_t deflateRaw(const char* input, std::size_t inputLength, char* output, std::size_t capacity)
{
    z_stream stream {};
    if (deflateInit2(&stream, 9, Z_DEFLATED, -15, 9, Z_DEFAULT_STRATEGY) != Z_OK)
        return 0;
    std::size_t inputLeft = inputLength;
    std::size_t outputLeft = capacity;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(input));
    stream.next_out = reinterpret_cast<Bytef*>(output);
    std::size_t written = 0;
    for (;;) {
        // zlib counts in 32 bits; larger buffers are handed over in pieces.
        if (stream.avail_in == 0 && inputLeft > 0) {
            stream.avail_in = static_cast<uInt>(std::min<std::size_t>(inputLeft, UINT_MAX));
            inputLeft -= stream.avail_in;
        }
        if (stream.avail_out == 0 && outputLeft > 0) {
            stream.avail_out = static_cast<uInt>(std::min<std::size_t>(outputLeft, UINT_MAX));
            outputLeft -= stream.avail_out;
        }
        const int result = deflate(&stream, inputLeft == 0 ? Z_FINISH : Z_NO_FLUSH);
        if (result == Z_STREAM_END) {
            written = capacity - outputLeft - stream.avail_out;
            break;
        }
        // Z_BUF_ERROR: the output is full before the stream ended.
        if (result != Z_OK)
            break;
    }
    deflateEnd(&stream);
    return written;
}

std::size_t packLzip(const char* input, std::size_t inputLength, char* output, std::size_t capacity)
{
    TLzipEncoder* encoder = createLzipEncoder();
    if (!encoder)
        return 0;
    setLzipEncoderOptions(encoder, 3, 0, 2, 9, std::min(lzipDictionarySize(inputLength), maxLzipPackDictionary),
        LzipContainerFormat, inputLength);
    rdbuf in { 0, inputLength, input };
    wrbuf out { 0, capacity, output };
    const int result = encodeLzipStream(encoder, rdbufReadCallback, &in, wrbufWriteCallback, &out, nullptr, nullptr);
    destroyLzipEncoder(encoder);
    return result == LzipSuccess ? out.position : 0;
}

void* lzmaAllocate(void*, std::size_t size)
{
    return std::malloc(size);
}

void lzmaRelease(void*, void* address)
{
    std::free(address);
}

std::size_t packLzma(
    const char* input, std::size_t inputLength, char* output, std::size_t capacity, std::uint32_t dictionarySize)
{
    if (capacity <= lzmaPayloadHeaderSize)
        return 0;
    CLzmaEncProps properties;
    LzmaEncProps_Init(&properties);
    properties.level = 9;
    properties.lc = 3;
    properties.lp = 0;
    properties.pb = 2;
    properties.fb = 32;
    properties.numThreads = 1;
    properties.dictSize = dictionarySize;
    properties.writeEndMark = 1;
    // A small input needs no larger dictionary than itself; this keeps the match finder's memory in scale.
    properties.reduceSize = static_cast<UInt32>(std::min<std::size_t>(inputLength, UINT32_MAX));
    ISzAlloc allocator { lzmaAllocate, lzmaRelease };
    auto* bytes = reinterpret_cast<unsigned char*>(output);
    SizeT dataLength = capacity - lzmaPayloadHeaderSize;
    SizeT propertiesSize = 5;
    const SRes result
        = LzmaEncode(bytes + lzmaPayloadHeaderSize, &dataLength, reinterpret_cast<const unsigned char*>(input),
            inputLength, &properties, bytes, &propertiesSize, 1, nullptr, &allocator, &allocator);
    if (result != SZ_OK || propertiesSize != 5)
        return 0;
    for (int i = 0; i < 8; ++i)
        bytes[5 + i] = static_cast<unsigned char>(std::uint64_t(dataLength) >> (8 * i));
    return dataLength + lzmaPayloadHeaderSize;
}

std::size_t packZpaq(const char* input, std::size_t inputLength, char* output, std::size_t capacity)
{
    std::string packed;
    if (!zpaqCompress(input, inputLength, packed) || packed.size() > capacity)
        return 0;
    std::memcpy(output, packed.data(), packed.size());
    return packed.size();
}

// The properties first, then the stream blocks.
std::size_t packCsc(const char* input, std::size_t inputLength, char* output, std::size_t capacity)
{
    if (capacity < cscPropertiesSize)
        return 0;
    const TCscProperties properties = cscPackProperties(inputLength);
    writeCscProperties(properties, reinterpret_cast<unsigned char*>(output));
    rdbuf in { 0, inputLength, input };
    wrbuf out { cscPropertiesSize, capacity, output };
    TCscInputStream source { rdbufStreamRead, &in };
    TCscOutputStream sink { wrbufStreamWrite, &out };
    TCscEncoder* encoder = createCscEncoder(properties, cscPackLevel, &source);
    if (!encoder)
        return 0;
    const int result = encodeCscStream(encoder, &sink);
    destroyCscEncoder(encoder);
    return result == CscSuccess ? out.position : 0;
}

struct THeaderFields
{
    ECodecId id = ECodecId::RAW;
    std::uint64_t unpackedLength = 0;
    std::uint64_t payloadLength = 0;
    const char* payload = nullptr;
    bool payloadPresent = false;
};

std::optional<THeaderFields> readHeader(const char* data, std::size_t length)
{
    if (!hasPackedHeader(data, length))
        return std::nullopt;
    const std::size_t zeros = countLeadingZeroBytes(data, length);
    const char* cursor = data + zeros + 2;
    const char* const end = data + length;
    const std::optional<std::uint64_t> unpackedLength = readLeb128(cursor, end);
    const std::optional<std::uint64_t> payloadLength = unpackedLength ? readLeb128(cursor, end) : std::nullopt;
    if (!payloadLength)
        return std::nullopt;
    THeaderFields fields;
    fields.id = static_cast<ECodecId>(static_cast<unsigned char>(data[zeros + 1]));
    fields.unpackedLength = *unpackedLength;
    fields.payloadLength = *payloadLength;
    fields.payload = cursor;
    fields.payloadPresent = *payloadLength <= std::uint64_t(end - cursor);
    return fields;
}

} // namespace

bool packBuffer(ECodecId id, const char* input, std::size_t inputLength, char* output, std::size_t& outputLength)
{
    const std::size_t capacity = outputLength;
    outputLength = 0;
    if (!input || !output || inputLength == 0 || capacity < inputLength)
        return false;

    std::size_t packed = 0;
    switch (id) {
    case ECodecId::RAW:
        std::memcpy(output, input, inputLength);
        packed = inputLength;
        break;
    case ECodecId::MINIZ:
        packed = deflateRaw(input, inputLength, output, capacity);
        break;
    case ECodecId::LZIP:
        packed = packLzip(input, inputLength, output, capacity);
        break;
    case ECodecId::LZMA20:
        packed = packLzma(input, inputLength, output, capacity, 1u << 20);
        break;
    case ECodecId::LZMA25:
        packed = packLzma(input, inputLength, output, capacity, 32u << 20);
        break;
    case ECodecId::ZPAQ:
        packed = packZpaq(input, inputLength, output, capacity);
        break;
    case ECodecId::CSC20:
        packed = packCsc(input, inputLength, output, capacity);
        break;
    case ECodecId::CRUSH:
        packed = encodeCrushStream(0, input, inputLength, output, capacity);
        break;
    default:
        break;
    }
    if (packed == 0 || packed >= inputLength)
        return false;
    outputLength = packed;
    return true;
}

std::size_t packedSizeBound(ECodecId id, std::size_t inputLength)
{
    switch (id) {
    case ECodecId::RAW:
        return inputLength + headerSlack;
    case ECodecId::MINIZ:
        return std::size_t(compressBound(static_cast<uLong>(inputLength))) + headerSlack;
    default:
        return 2 * inputLength + headerSlack;
    }
}

bool lacksPackedHeader(const char* data, std::size_t length)
{
    return !hasPackedHeader(data, length);
}

const char* codecName(ECodecId id)
{
    const auto index = static_cast<unsigned>(id);
    return index <= highestCodecId ? codecTexts[index].name : "RAW";
}

const char* codecExtension(ECodecId id)
{
    const auto index = static_cast<unsigned>(id);
    return index <= highestCodecId ? codecTexts[index].extension : "";
}

const char* frontVersionText()
{
    return "0";
}

ECodecId guessCodecOfRawStream(const char* data, std::size_t length)
{
    const std::size_t zeros = countLeadingZeroBytes(data, length);
    if (!data || zeros == length)
        return ECodecId::RAW;
    const char* start = data + zeros;
    const std::size_t left = length - zeros;
    if (left >= 4 && std::memcmp(start, "LZIP", 4) == 0)
        return ECodecId::LZIP;
    const auto first = static_cast<unsigned char>(start[0]);
    if (first == 0xEC)
        return ECodecId::MINIZ;
    if (first >= 0xF0)
        return ECodecId::LZ4F;
    return ECodecId::RAW;
}

ECodecId headerCodecId(const char* data, std::size_t length)
{
    const auto fields = readHeader(data, length);
    return fields ? fields->id : ECodecId::RAW;
}

std::uint64_t headerUnpackedLength(const char* data, std::size_t length)
{
    const auto fields = readHeader(data, length);
    return fields ? fields->unpackedLength : 0;
}

std::uint64_t headerPayloadLength(const char* data, std::size_t length)
{
    const auto fields = readHeader(data, length);
    return fields ? fields->payloadLength : 0;
}

const char* headerPayload(const char* data, std::size_t length)
{
    const auto fields = readHeader(data, length);
    return fields && fields->payloadPresent ? fields->payload : nullptr;
}

std::string encodeLeb128(std::uint64_t value)
{
    std::string bytes;
    do {
        auto byte = static_cast<unsigned char>(value & 0x7F);
        value >>= 7;
        if (value)
            byte |= 0x80;
        bytes += static_cast<char>(byte);
    } while (value);
    return bytes;
}

int packInitOnce()
{
    return 1;
}

int zipInitOnce()
{
    return 1;
}

} // namespace packbuf
