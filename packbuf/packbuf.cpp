#include "packbuf.h"

#include "crushcodec.h"
#include "cscdecoder.h"
#include "lzipcontainer.h"
#include "lzmauncompress.h"
#include "memoryadapters.h"
#include "zpaqcodec.h"

#include <algorithm>
#include <climits>
#include <cstring>

#include <zlib.h>

namespace packbuf {

namespace {

using namespace detail;

constexpr std::size_t lzmaPayloadHeaderSize = 13; // 5 property bytes, then 8 bytes nobody reads
constexpr int maxLeb128Bytes = 10;

bool isBuiltIn(ECodecId id)
{
    switch (id) {
    case ECodecId::RAW:
    case ECodecId::MINIZ:
    case ECodecId::LZIP:
    case ECodecId::LZMA20:
    case ECodecId::LZMA25:
    case ECodecId::ZPAQ:
    case ECodecId::CSC20:
    case ECodecId::CRUSH:
        return true;
    default:
        return false;
    }
}

// Raw deflate: success only when the final block ends within the payload and the capacity.
bool inflateRaw(const char* payload, std::size_t payloadLength, char* output, std::size_t capacity)
{
    z_stream stream {};
    if (inflateInit2(&stream, -15) != Z_OK)
        return false;
    std::size_t inputLeft = payloadLength;
    std::size_t outputLeft = capacity;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload));
    stream.next_out = reinterpret_cast<Bytef*>(output);
    bool finished = false;
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
        const int result = inflate(&stream, Z_NO_FLUSH);
        if (result == Z_STREAM_END) {
            finished = true;
            break;
        }
        // Z_BUF_ERROR: the payload ended or the output is full before the final block.
        if (result != Z_OK)
            break;
    }
    inflateEnd(&stream);
    return finished;
}

bool unpackLzip(const char* payload, std::size_t payloadLength, char* output, std::size_t capacity)
{
    TLzipDecoder* decoder = createLzipDecoder();
    if (!decoder)
        return false;
    rdbuf in { 0, payloadLength, payload };
    wrbuf out { 0, capacity, output };
    const int result = decodeLzipStream(decoder, rdbufReadCallback, &in, wrbufWriteCallback, &out, LzipContainerFormat);
    destroyLzipDecoder(decoder);
    return result == LzipSuccess;
}

bool unpackLzma(const char* payload, std::size_t payloadLength, char* output, std::size_t& outputLength)
{
    if (payloadLength < lzmaPayloadHeaderSize)
        return false;
    const auto* bytes = reinterpret_cast<const unsigned char*>(payload);
    std::size_t sourceLength = payloadLength - lzmaPayloadHeaderSize;
    return lzmaUncompress(reinterpret_cast<unsigned char*>(output), &outputLength, bytes + lzmaPayloadHeaderSize,
               &sourceLength, bytes, 5)
        == 0;
}

// Success only when the stream ends properly and uses up the whole payload.
bool unpackCsc(const char* payload, std::size_t payloadLength, char* output, std::size_t capacity)
{
    if (payloadLength < cscPropertiesSize)
        return false;
    rdbuf in { 0, payloadLength, payload };
    wrbuf out { 0, capacity, output };
    TCscProperties properties = readCscProperties(reinterpret_cast<const unsigned char*>(payload));
    in.position = cscPropertiesSize;
    if (properties.windowSize > cscMaxWindowSize)
        return false;
    // Nothing valid reaches back beyond the output, so a larger window would only cost memory.
    if (properties.windowSize > capacity)
        properties.windowSize = static_cast<std::uint32_t>(capacity);
    TCscInputStream input { rdbufStreamRead, &in };
    TCscOutputStream sink { wrbufStreamWrite, &out };
    TCscDecoder* decoder = createCscDecoder(properties, &input);
    if (!decoder)
        return false;
    const int result = decodeCscStream(decoder, &sink);
    destroyCscDecoder(decoder);
    return result == CscSuccess && in.position == payloadLength;
}

} // namespace

std::size_t countLeadingZeroBytes(const char* data, std::size_t length)
{
    if (!data)
        return 0;
    std::size_t count = 0;
    while (count < length && data[count] == 0)
        ++count;
    return count;
}

bool hasPackedHeader(const char* data, std::size_t length)
{
    if (!data || length == 0)
        return false;
    const std::size_t zeros = countLeadingZeroBytes(data, length);
    return length - zeros >= 2 && static_cast<unsigned char>(data[zeros]) == packedMarker
        && static_cast<unsigned char>(data[zeros + 1]) <= highestCodecId;
}

std::optional<std::uint64_t> readLeb128(const char*& cursor, const char* end)
{
    std::uint64_t value = 0;
    const char* position = cursor;
    for (int index = 0; index < maxLeb128Bytes && position < end; ++index) {
        const auto byte = static_cast<unsigned char>(*position++);
        value |= std::uint64_t(byte & 0x7Fu) << (7 * index);
        if ((byte & 0x80u) == 0) {
            cursor = position;
            return value;
        }
    }
    return std::nullopt;
}

std::size_t unpackSlack(ECodecId)
{
    return 0;
}

bool unpackBuffer(ECodecId id, const char* payload, std::size_t payloadLength, char* output, std::size_t& outputLength)
{
    const std::size_t capacity = outputLength;
    outputLength = 0;
    if (!payload || !output || payloadLength == 0 || capacity == 0 || !isBuiltIn(id))
        return false;

    std::size_t produced = capacity;
    bool unpacked = false;
    switch (id) {
    case ECodecId::RAW:
        unpacked = payloadLength <= capacity;
        if (unpacked) {
            std::memcpy(output, payload, payloadLength);
            produced = payloadLength;
        }
        break;
    case ECodecId::MINIZ:
        unpacked = inflateRaw(payload, payloadLength, output, capacity);
        break;
    case ECodecId::LZIP:
        unpacked = unpackLzip(payload, payloadLength, output, capacity);
        break;
    case ECodecId::LZMA20:
    case ECodecId::LZMA25:
        unpacked = unpackLzma(payload, payloadLength, output, produced);
        break;
    case ECodecId::ZPAQ:
        unpacked = zpaqDecompress(payload, payloadLength, output, capacity);
        break;
    case ECodecId::CSC20:
        unpacked = unpackCsc(payload, payloadLength, output, capacity);
        break;
    case ECodecId::CRUSH:
        // The decoder counts in a signed 32-bit int, and must produce exactly the capacity.
        unpacked = capacity <= std::size_t(INT32_MAX)
            && decodeCrushStream(payload, payloadLength, output, static_cast<int>(capacity)) == int(capacity);
        break;
    default:
        break;
    }
    if (unpacked)
        outputLength = produced;
    return unpacked;
}

bool unpackString(const std::string& input, std::string& output, std::uint64_t maxUnpackedLength)
{
    const char* data = input.data();
    const std::size_t length = input.size();
    if (!hasPackedHeader(data, length)) {
        output = input;
        return false;
    }

    const std::size_t zeros = countLeadingZeroBytes(data, length);
    const auto id = static_cast<ECodecId>(static_cast<unsigned char>(data[zeros + 1]));
    const char* cursor = data + zeros + 2;
    const char* const end = data + length;
    const std::optional<std::uint64_t> unpackedLength = readLeb128(cursor, end);
    const std::optional<std::uint64_t> payloadLength = unpackedLength ? readLeb128(cursor, end) : std::nullopt;
    // The lengths come from downloaded bytes: check them against the input and the caller's bound
    // before anything is allocated.
    if (!payloadLength || *payloadLength > std::uint64_t(end - cursor) || *unpackedLength == 0
        || *unpackedLength > maxUnpackedLength || *unpackedLength > SIZE_MAX - unpackSlack(id)) {
        output = input;
        return false;
    }

    // Built apart from output, so a failure leaves no large buffer behind and input may alias output.
    std::string unpacked(static_cast<std::size_t>(*unpackedLength) + unpackSlack(id), '\0');
    std::size_t unpackedSize = unpacked.size();
    if (!unpackBuffer(id, cursor, static_cast<std::size_t>(*payloadLength), unpacked.data(), unpackedSize)) {
        output = input;
        return false;
    }
    unpacked.resize(unpackedSize);
    // A header that claimed far more than the codec produced must not pin its allocation.
    if (unpackedSize < unpacked.capacity() / 2)
        unpacked.shrink_to_fit();
    output = std::move(unpacked);
    return true;
}

} // namespace packbuf
