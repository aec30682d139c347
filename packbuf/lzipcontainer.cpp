#include "lzipcontainer.h"

#include "crc32.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <new>

#include <lzma/LzmaDec.h>
#include <lzma/LzmaEnc.h>

namespace packbuf {

namespace {

constexpr std::size_t decoderInputSize = 65536;
constexpr std::size_t decoderOutputSize = 262144;
constexpr std::size_t maxHeaderSize = lzmaAloneHeaderSize;

// lzip itself never writes a dictionary above 512 MiB; a larger claim is refused before the LZMA
// decoder allocates it.
constexpr unsigned maxLzipDictionaryLog = 29;
constexpr std::uint32_t maxLzmaAloneDictionarySize = 268435456;
constexpr std::uint32_t minLzipDictionarySize = 4096;

void putLittleEndian(unsigned char* bytes, std::uint64_t value, int count)
{
    for (int i = 0; i < count; ++i)
        bytes[i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint64_t getLittleEndian(const unsigned char* bytes, int count)
{
    std::uint64_t value = 0;
    for (int i = 0; i < count; ++i)
        value |= std::uint64_t(bytes[i]) << (8 * i);
    return value;
}

unsigned highestBitIndex(std::uint32_t value)
{
    unsigned index = 0;
    while (value >>= 1)
        ++index;
    return index;
}

// The SDK hands its ISzAlloc back to every call; the hooks travel behind it.
struct TSdkAllocator
{
    ISzAlloc base;
    TLzipAllocator hooks;
};

void* sdkAllocate(void* self, size_t size)
{
    const TLzipAllocator& hooks = reinterpret_cast<TSdkAllocator*>(self)->hooks;
    return hooks.allocate ? hooks.allocate(hooks.context, size) : std::malloc(size);
}

void sdkRelease(void* self, void* address)
{
    const TLzipAllocator& hooks = reinterpret_cast<TSdkAllocator*>(self)->hooks;
    if (hooks.release)
        hooks.release(hooks.context, address);
    else
        std::free(address);
}

TSdkAllocator makeSdkAllocator(const TLzipAllocator& hooks)
{
    return TSdkAllocator { { sdkAllocate, sdkRelease }, hooks };
}

struct TLzmaContainerFormat
{
    std::uint32_t headerSize;
    int (*initHeader)(TLzmaStreamHeader&);
    int (*parseHeader)(const unsigned char*, TLzmaStreamHeader&);
    int (*writeHeader)(const TLzmaStreamHeader&, unsigned char*);
    std::uint32_t trailerSize;
    int (*writeTrailer)(const TLzipTrailer&, unsigned char*);
    int (*parseTrailer)(const unsigned char*, TLzipTrailer&);
};

constexpr TLzmaContainerFormat lzipFormat { lzipHeaderSize, initStreamHeader, parseLzipHeader, writeLzipHeader,
    lzipTrailerSize, writeLzipTrailer, parseLzipTrailer };
constexpr TLzmaContainerFormat lzmaAloneFormat { lzmaAloneHeaderSize, initStreamHeader, parseLzmaAloneHeader,
    writeLzmaAloneHeader, 0, nullptr, nullptr };

const TLzmaContainerFormat* containerFormat(int format)
{
    switch (format) {
    case LzipContainerFormat:
        return &lzipFormat;
    case LzmaAloneContainerFormat:
        return &lzmaAloneFormat;
    default:
        return nullptr;
    }
}

// Reads until `wanted` bytes are gathered or the input ends; partial counts from the callback are fine.
int readFully(TLzipReadCallback read, void* context, unsigned char* buffer, std::size_t wanted, std::size_t& got)
{
    got = 0;
    while (got < wanted) {
        std::size_t count = wanted - got;
        if (read(context, buffer + got, &count) != 0 || count > wanted - got)
            return LzipReadFailed;
        if (count == 0)
            break;
        got += count;
    }
    return LzipSuccess;
}

} // namespace

int initStreamHeader(TLzmaStreamHeader& header)
{
    header = TLzmaStreamHeader {};
    return 0;
}

int parseLzipHeader(const unsigned char* bytes, TLzmaStreamHeader& header)
{
    if (std::memcmp(bytes, "LZIP", 4) != 0)
        return 1;
    const unsigned dictionaryLog = bytes[5] & 31u;
    if (dictionaryLog > maxLzipDictionaryLog)
        return 1;
    header.pb = 2;
    header.lp = 0;
    header.lc = 3;
    header.sizeUnknown = 1;
    header.uncompressedSize = 0;
    header.dictionarySize = std::uint32_t(1) << dictionaryLog;
    return 0;
}

int writeLzipHeader(const TLzmaStreamHeader& header, unsigned char* bytes)
{
    std::memcpy(bytes, "LZIP", 4);
    bytes[4] = 0;
    bytes[5] = static_cast<unsigned char>(header.dictionarySize == 0 ? 31 : highestBitIndex(header.dictionarySize));
    return 0;
}

int writeLzipTrailer(const TLzipTrailer& trailer, unsigned char* bytes)
{
    putLittleEndian(bytes, trailer.crc, 4);
    putLittleEndian(bytes + 4, trailer.dataSize, 8);
    return 0;
}

int parseLzipTrailer(const unsigned char* bytes, TLzipTrailer& trailer)
{
    trailer.crc = static_cast<std::uint32_t>(getLittleEndian(bytes, 4));
    trailer.dataSize = getLittleEndian(bytes + 4, 8);
    return 0;
}

int parseLzmaAloneHeader(const unsigned char* bytes, TLzmaStreamHeader& header)
{
    const unsigned properties = bytes[0];
    if (properties > 224)
        return 1;
    const auto dictionarySize = static_cast<std::uint32_t>(getLittleEndian(bytes + 1, 4));
    if (dictionarySize > maxLzmaAloneDictionarySize)
        return 1;
    header.pb = static_cast<std::uint8_t>(properties / 45);
    header.lp = static_cast<std::uint8_t>((properties % 45) / 9);
    header.lc = static_cast<std::uint8_t>(properties % 9);
    header.dictionarySize = dictionarySize;
    header.uncompressedSize = getLittleEndian(bytes + 5, 8);
    header.sizeUnknown = header.uncompressedSize == ~std::uint64_t(0) ? 1 : 0;
    return 0;
}

int writeLzmaAloneHeader(const TLzmaStreamHeader& header, unsigned char* bytes)
{
    bytes[0] = static_cast<unsigned char>((header.pb * 5 + header.lp) * 9 + header.lc);
    putLittleEndian(bytes + 1, header.dictionarySize, 4);
    putLittleEndian(bytes + 5, header.sizeUnknown ? ~std::uint64_t(0) : header.uncompressedSize, 8);
    return 0;
}

// ---- decode side ----

struct TLzipDecoder
{
    unsigned char input[decoderInputSize];
    unsigned char output[decoderOutputSize];
    TLzipAllocator allocator;
};

TLzipDecoder* createLzipDecoder()
{
    return new (std::nothrow) TLzipDecoder();
}

void setLzipDecoderAllocator(TLzipDecoder* decoder, const TLzipAllocator& allocator)
{
    if (decoder)
        decoder->allocator = allocator;
}

void destroyLzipDecoder(TLzipDecoder*& decoder)
{
    delete decoder;
    decoder = nullptr;
}

namespace {

int finishDecode(const TLzmaContainerFormat& format, const TLzmaStreamHeader& header, std::uint32_t crcRegister,
    std::uint64_t total, const unsigned char* rest, std::size_t restLength, TLzipReadCallback read, void* readContext)
{
    if (format.trailerSize == 0)
        return header.sizeUnknown || total == header.uncompressedSize ? LzipSuccess : LzipSizeMismatch;

    unsigned char bytes[lzipTrailerSize];
    const std::size_t fromChunk = std::min(restLength, std::size_t(format.trailerSize));
    if (fromChunk > 0)
        std::memcpy(bytes, rest, fromChunk);
    std::size_t got = 0;
    if (fromChunk < format.trailerSize) {
        if (readFully(read, readContext, bytes + fromChunk, format.trailerSize - fromChunk, got) != LzipSuccess)
            return LzipReadFailed;
        if (fromChunk + got < format.trailerSize)
            return LzipTruncated;
    }
    TLzipTrailer trailer;
    format.parseTrailer(bytes, trailer);
    if (trailer.crc != ~crcRegister)
        return LzipCrcMismatch;
    if (trailer.dataSize != total)
        return LzipSizeMismatch;
    return LzipSuccess;
}

int decodeBody(TLzipDecoder& decoder, CLzmaDec& lzma, const TLzmaContainerFormat& format,
    const TLzmaStreamHeader& header, TLzipReadCallback read, void* readContext, TLzipWriteCallback write,
    void* writeContext)
{
    const bool withCrc = format.trailerSize != 0;
    std::uint32_t crcRegister = crc32Preset;
    std::uint64_t total = 0;

    for (;;) {
        std::size_t chunkLength = decoderInputSize;
        if (read(readContext, decoder.input, &chunkLength) != 0 || chunkLength > decoderInputSize)
            return LzipReadFailed;
        if (chunkLength == 0)
            return LzipTruncated;

        std::size_t chunkPosition = 0;
        for (;;) {
            SizeT produced = decoderOutputSize;
            SizeT consumed = chunkLength - chunkPosition;
            ELzmaStatus status;
            const SRes result = LzmaDec_DecodeToBuf(
                &lzma, decoder.output, &produced, decoder.input + chunkPosition, &consumed, LZMA_FINISH_ANY, &status);
            chunkPosition += consumed;
            if (result != SZ_OK)
                return LzipCorruptData;
            if (produced > 0) {
                if (withCrc)
                    crcRegister = crc32Update(crcRegister, decoder.output, produced);
                total += produced;
                if (write(writeContext, decoder.output, produced) != produced)
                    return LzipWriteFailed;
            }
            if (status == LZMA_STATUS_FINISHED_WITH_MARK)
                return finishDecode(format, header, crcRegister, total, decoder.input + chunkPosition,
                    chunkLength - chunkPosition, read, readContext);
            // A full output buffer may leave a match pending in the decoder; drain it before reading on.
            if (chunkPosition == chunkLength && produced < decoderOutputSize)
                break;
            // The decoder neither consumed nor produced: nothing can move it forward.
            if (consumed == 0 && produced == 0)
                return LzipCorruptData;
        }
        if (!header.sizeUnknown && total >= header.uncompressedSize)
            return finishDecode(format, header, crcRegister, total, nullptr, 0, read, readContext);
    }
}

} // namespace

int decodeLzipStream(TLzipDecoder* decoder, TLzipReadCallback read, void* readContext, TLzipWriteCallback write,
    void* writeContext, int format)
{
    const TLzmaContainerFormat* container = containerFormat(format);
    if (!container || !decoder || !read || !write)
        return LzipBadArguments;

    TLzmaStreamHeader header;
    unsigned char properties[LZMA_PROPS_SIZE];
    {
        unsigned char headerBytes[maxHeaderSize];
        std::size_t got = 0;
        if (readFully(read, readContext, headerBytes, container->headerSize, got) != LzipSuccess
            || got < container->headerSize)
            return LzipReadFailed;
        container->initHeader(header);
        if (container->parseHeader(headerBytes, header) != 0)
            return LzipBadHeader;
        if (format == LzmaAloneContainerFormat) {
            std::memcpy(properties, headerBytes, LZMA_PROPS_SIZE);
        } else {
            unsigned char alone[lzmaAloneHeaderSize];
            writeLzmaAloneHeader(header, alone);
            std::memcpy(properties, alone, LZMA_PROPS_SIZE);
        }
    }

    TSdkAllocator allocator = makeSdkAllocator(decoder->allocator);
    CLzmaDec lzma;
    LzmaDec_Construct(&lzma);
    const SRes setup = LzmaDec_Allocate(&lzma, properties, LZMA_PROPS_SIZE, &allocator.base);
    if (setup != SZ_OK)
        return setup == SZ_ERROR_MEM ? LzipDecoderSetupFailed : LzipBadHeader;
    LzmaDec_Init(&lzma);
    const int result = decodeBody(*decoder, lzma, *container, header, read, readContext, write, writeContext);
    LzmaDec_Free(&lzma, &allocator.base);
    return result;
}

// ---- encode side ----

struct TLzipEncoder
{
    int lc = 3;
    int lp = 0;
    int pb = 2;
    int level = 9;
    std::uint32_t dictionarySize = 1u << 20;
    int format = LzmaAloneContainerFormat;
    std::uint64_t uncompressedSize = 0;
    TSdkAllocator allocator = makeSdkAllocator({});
    CLzmaEncHandle lzma = nullptr;
};

TLzipEncoder* createLzipEncoder()
{
    return new (std::nothrow) TLzipEncoder();
}

void setLzipEncoderAllocator(TLzipEncoder* encoder, const TLzipAllocator& allocator)
{
    // The SDK encoder keeps the allocator it was made with; hooks apply to encoders not yet run.
    if (encoder && !encoder->lzma)
        encoder->allocator.hooks = allocator;
}

void setLzipEncoderOptions(TLzipEncoder* encoder, int lc, int lp, int pb, int level, std::uint32_t dictionarySize,
    int format, std::uint64_t uncompressedSize)
{
    if (!encoder)
        return;
    encoder->lc = lc;
    encoder->lp = lp;
    encoder->pb = pb;
    encoder->level = level;
    encoder->dictionarySize = dictionarySize;
    encoder->format = format;
    encoder->uncompressedSize = uncompressedSize;
}

void destroyLzipEncoder(TLzipEncoder*& encoder)
{
    if (encoder && encoder->lzma)
        LzmaEnc_Destroy(encoder->lzma, &encoder->allocator.base, &encoder->allocator.base);
    delete encoder;
    encoder = nullptr;
}

namespace {

struct TEncoderInput
{
    ISeqInStream base;
    TLzipReadCallback read;
    void* context;
    bool withCrc;
    std::uint32_t crcRegister;
    std::uint64_t bytesRead;
};

SRes encoderRead(void* self, void* buffer, size_t* size)
{
    auto* input = reinterpret_cast<TEncoderInput*>(self);
    const std::size_t wanted = *size;
    if (input->read(input->context, buffer, size) != 0 || *size > wanted)
        return SZ_ERROR_READ;
    if (input->withCrc)
        input->crcRegister = crc32Update(input->crcRegister, buffer, *size);
    input->bytesRead += *size;
    return SZ_OK;
}

struct TEncoderOutput
{
    ISeqOutStream base;
    TLzipWriteCallback write;
    void* context;
};

size_t encoderWrite(void* self, const void* buffer, size_t size)
{
    auto* output = reinterpret_cast<TEncoderOutput*>(self);
    return output->write(output->context, buffer, size);
}

struct TEncoderProgress
{
    ICompressProgress base;
    TLzipProgressCallback progress;
    void* context;
    const TEncoderInput* input;
    std::uint64_t declaredSize;
};

SRes encoderProgress(void* self, UInt64, UInt64)
{
    auto* progress = reinterpret_cast<TEncoderProgress*>(self);
    progress->progress(progress->context, progress->input->bytesRead, progress->declaredSize);
    return SZ_OK;
}

// An lzip header holds only a power of two between 4 KiB and 512 MiB; the encoder must not reach
// farther back than the header lets the decoder see.
std::uint32_t lzipEncoderDictionarySize(std::uint32_t requested)
{
    const std::uint32_t clamped
        = std::clamp(requested, minLzipDictionarySize, std::uint32_t(1) << maxLzipDictionaryLog);
    return std::uint32_t(1) << highestBitIndex(clamped);
}

} // namespace

int encodeLzipStream(TLzipEncoder* encoder, TLzipReadCallback read, void* readContext, TLzipWriteCallback write,
    void* writeContext, TLzipProgressCallback progress, void* progressContext)
{
    if (!encoder || !read || !write)
        return LzipBadArguments;
    if (!encoder->lzma) {
        encoder->lzma = LzmaEnc_Create(&encoder->allocator.base);
        if (!encoder->lzma)
            return LzipEncoderFailed;
    }
    const TLzmaContainerFormat* container = containerFormat(encoder->format);
    const bool lzip = encoder->format == LzipContainerFormat;
    // lzip members always use lc 3, lp 0, pb 2; their header has no room for anything else.
    if (lzip && (encoder->lc != 3 || encoder->lp != 0 || encoder->pb != 2))
        return LzipBadArguments;

    CLzmaEncProps properties;
    LzmaEncProps_Init(&properties);
    properties.level = encoder->level;
    properties.dictSize = lzip ? lzipEncoderDictionarySize(encoder->dictionarySize) : encoder->dictionarySize;
    properties.lc = encoder->lc;
    properties.lp = encoder->lp;
    properties.pb = encoder->pb;
    properties.algo = 1;
    properties.fb = 32;
    properties.btMode = 1;
    properties.numHashBytes = 4;
    properties.mc = 32;
    properties.writeEndMark = 1;
    properties.numThreads = 1;
    if (encoder->level < 0 || encoder->level > 9 || encoder->lc < 0 || encoder->lp < 0 || encoder->pb < 0
        || LzmaEnc_SetProps(encoder->lzma, &properties) != SZ_OK)
        return LzipBadArguments;
    if (!container)
        return LzipBadEncoderFormat;

    TLzmaStreamHeader header;
    container->initHeader(header);
    header.pb = static_cast<std::uint8_t>(encoder->pb);
    header.lp = static_cast<std::uint8_t>(encoder->lp);
    header.lc = static_cast<std::uint8_t>(encoder->lc);
    header.dictionarySize = properties.dictSize;
    header.uncompressedSize = encoder->uncompressedSize;
    header.sizeUnknown = encoder->uncompressedSize == 0 ? 1 : 0;
    unsigned char headerBytes[maxHeaderSize];
    container->writeHeader(header, headerBytes);
    if (write(writeContext, headerBytes, container->headerSize) != container->headerSize)
        return LzipWriteFailed;

    TEncoderInput input { { encoderRead }, read, readContext, container->trailerSize != 0, crc32Preset, 0 };
    TEncoderOutput output { { encoderWrite }, write, writeContext };
    TEncoderProgress progressSink { { encoderProgress }, progress, progressContext, &input, encoder->uncompressedSize };
    const SRes result = LzmaEnc_Encode(encoder->lzma, &output.base, &input.base,
        progress ? &progressSink.base : nullptr, &encoder->allocator.base, &encoder->allocator.base);
    if (result == SZ_ERROR_READ)
        return LzipReadFailed;
    if (result == SZ_ERROR_WRITE)
        return LzipWriteFailed;
    if (result != SZ_OK)
        return LzipEncoderFailed;

    if (container->trailerSize != 0) {
        // The size actually read, so a caller's wrong or missing declared size cannot spoil the member.
        const TLzipTrailer trailer { ~input.crcRegister, input.bytesRead };
        unsigned char trailerBytes[lzipTrailerSize];
        container->writeTrailer(trailer, trailerBytes);
        if (write(writeContext, trailerBytes, container->trailerSize) != container->trailerSize)
            return LzipWriteFailed;
    }
    return LzipSuccess;
}

std::uint32_t lzipDictionarySize(std::uint64_t length)
{
    constexpr std::uint64_t largest = std::uint64_t(1) << 23;
    if (length > largest)
        length /= 2;
    if (length < 8192)
        return length >= 4096 && length - 4096 < 8192 - length ? 4096 : 8192;
    if (length >= largest)
        return std::uint32_t(largest);
    std::uint64_t lower = 8192;
    while (lower * 2 <= length)
        lower *= 2;
    // Nearest power of two, the upper one on a tie.
    return std::uint32_t(length - lower >= lower * 2 - length ? lower * 2 : lower);
}

} // namespace packbuf
