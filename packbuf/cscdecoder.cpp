#include "cscdecoder.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>
#include <memory>
#include <new>
#include <vector>

namespace packbuf {

namespace {

using TBytes = std::vector<unsigned char>;

enum ECscBlockKind : int {
    BitCoderBlock = 0,
    RangeCoderBlock = 1,
};

enum ECscDataType : std::uint32_t {
    LzData = 1,
    WordFilteredData = 2,
    E8E9FilteredData = 3,
    LiteralData = 7,
    StoredData = 8,
    EndOfStream = 9,
    DeltaStride1 = 16,
    DeltaStride8 = 20,
};

constexpr std::uint16_t initialProbability = 2048;
constexpr std::uint32_t endMarkerValue = 64;
constexpr std::size_t windowPiece = 8192;
constexpr std::size_t readPiece = std::size_t(1) << 20;
constexpr std::size_t minimumDeltaFilterLength = 512;
constexpr std::uint32_t escapedLength = 143;
constexpr int runBaseLength = 11;

[[noreturn]] void cscThrowBadData()
{
    throw int(CscBadData);
}

[[noreturn]] void cscThrowReadError()
{
    throw int(CscReadFailed);
}

constexpr unsigned firstWordCode = cscFirstWordCode;
constexpr unsigned lastWordCode = cscFirstWordCode + cscWordCount - 1;
constexpr unsigned escapeCode = cscEscapeCode;

} // namespace

const char* const cscWords[cscWordCount] = { "ac", "ad", "ai", "al", "am", "an", "ar", "as", "at", "ea", "ec", "ed",
    "ee", "el", "en", "er", "es", "et", "id", "ie", "ig", "il", "in", "io", "is", "it", "of", "ol", "on", "oo", "or",
    "os", "ou", "ow", "ul", "un", "ur", "us", "ba", "be", "ca", "ce", "co", "ch", "de", "di", "ge", "gh", "ha", "he",
    "hi", "ho", "ra", "re", "ri", "ro", "rs", "la", "le", "li", "lo", "ld", "ll", "ly", "se", "si", "so", "sh", "ss",
    "st", "ma", "me", "mi", "ne", "nc", "nd", "ng", "nt", "pa", "pe", "ta", "te", "ti", "to", "th", "tr", "wa", "ve",
    "all", "and", "but", "dow", "for", "had", "hav", "her", "him", "his", "man", "mor", "not", "now", "one", "out",
    "she", "the", "was", "wer", "whi", "whe", "wit", "you", "any", "are", "that", "said", "with", "have", "this",
    "from", "were", "tion" };

namespace {

// Stream blocks of both kinds come interleaved; a block of the kind not wanted now waits in its queue.
class TCscBlockReader
{
public:
    TCscBlockReader(std::uint32_t blockSize, TCscInputStream* input)
        : m_blockSize(blockSize)
        , m_input(input)
    { }

    void read(ECscBlockKind kind, TBytes& block)
    {
        auto& queue = m_queues[kind];
        if (!queue.empty()) {
            block = std::move(queue.front());
            queue.pop_front();
            return;
        }
        for (;;) {
            unsigned char header = 0;
            readExactly(&header, 1);
            std::size_t size = m_blockSize;
            if ((header & 0x40) == 0) {
                unsigned char sizeBytes[3];
                readExactly(sizeBytes, 3);
                size = (std::size_t(sizeBytes[0]) << 16) | (std::size_t(sizeBytes[1]) << 8) | sizeBytes[2];
            }
            if (size > m_blockSize)
                cscThrowReadError();
            const auto blockKind = (header & 0x80) ? RangeCoderBlock : BitCoderBlock;
            if (blockKind == kind) {
                readData(block, size);
                return;
            }
            TBytes other;
            readData(other, size);
            m_queues[blockKind].push_back(std::move(other));
        }
    }

    std::uint64_t bytesRead() const { return m_bytesRead; }

private:
    void readExactly(unsigned char* buffer, std::size_t size)
    {
        std::size_t count = size;
        if (m_input->read(m_input, buffer, &count) != 0 || count != size)
            cscThrowReadError();
        m_bytesRead += size;
    }

    // Grown piece by piece, so a size claim larger than the input costs at most one piece.
    void readData(TBytes& block, std::size_t size)
    {
        block.clear();
        while (block.size() < size) {
            const std::size_t done = block.size();
            const std::size_t piece = std::min(readPiece, size - done);
            block.resize(done + piece);
            readExactly(block.data() + done, piece);
        }
    }

    std::uint32_t m_blockSize;
    TCscInputStream* m_input;
    std::array<std::deque<TBytes>, 2> m_queues;
    std::uint64_t m_bytesRead = 0;
};

// The bytes of one coder, refilled block by block from the reader.
class TCscByteSupply
{
public:
    TCscByteSupply(TCscBlockReader& reader, ECscBlockKind kind)
        : m_reader(reader)
        , m_kind(kind)
    { }

    void nextBlock()
    {
        m_reader.read(m_kind, m_block);
        m_position = 0;
    }

    unsigned char take()
    {
        while (m_position == m_block.size())
            nextBlock();
        const unsigned char byte = m_block[m_position++];
        // The next block is fetched as soon as this one is used up.
        if (m_position == m_block.size())
            nextBlock();
        return byte;
    }

    const TBytes& block() const { return m_block; }
    void skipTo(std::size_t position) { m_position = position; }

private:
    TCscBlockReader& m_reader;
    ECscBlockKind m_kind;
    TBytes m_block;
    std::size_t m_position = 0;
};

class TCscRangeDecoder
{
public:
    explicit TCscRangeDecoder(TCscBlockReader& reader)
        : m_bytes(reader, RangeCoderBlock)
    { }

    // Takes a fresh block: byte 0 is skipped, bytes 1 to 4 are the code.
    void restart()
    {
        m_bytes.nextBlock();
        const TBytes& block = m_bytes.block();
        if (block.size() < 5)
            cscThrowBadData();
        m_range = 0xFFFFFFFFu;
        m_code = (std::uint32_t(block[1]) << 24) | (std::uint32_t(block[2]) << 16) | (std::uint32_t(block[3]) << 8)
            | block[4];
        m_bytes.skipTo(5);
    }

    int bit(std::uint16_t& probability)
    {
        if (m_range < (1u << 24)) {
            m_range <<= 8;
            m_code = (m_code << 8) | m_bytes.take();
        }
        const std::uint32_t bound = (m_range >> 12) * probability;
        if (m_code < bound) {
            m_range = bound;
            probability += (4095 - probability) >> 5;
            return 1;
        }
        m_code -= bound;
        m_range -= bound;
        probability -= probability >> 5;
        return 0;
    }

    // Most significant bit first; the model is indexed from 1.
    std::uint32_t tree(std::uint16_t* model, int bits)
    {
        std::uint32_t m = 1;
        for (int i = 0; i < bits; ++i)
            m = 2 * m + std::uint32_t(bit(model[m]));
        return m - (1u << bits);
    }

private:
    TCscByteSupply m_bytes;
    std::uint32_t m_range = 0;
    std::uint32_t m_code = 0;
};

class TCscBitDecoder
{
public:
    explicit TCscBitDecoder(TCscBlockReader& reader)
        : m_bytes(reader, BitCoderBlock)
    { }

    void restart()
    {
        m_bytes.nextBlock();
        m_bits = 0;
        m_count = 0;
    }

    // 1 to 16 bits, most significant first.
    std::uint32_t take(int n)
    {
        while (m_count < n) {
            m_bits = (m_bits << 8) | m_bytes.take();
            m_count += 8;
        }
        m_count -= n;
        return (m_bits >> m_count) & ((1u << n) - 1);
    }

    std::uint32_t integer()
    {
        const int n = int(take(5));
        if (n == 0)
            return take(1);
        if (n <= 16)
            return (1u << n) + take(n);
        const std::uint32_t high = take(n - 16);
        return (1u << n) + (high << 16) + take(16);
    }

    std::uint32_t wide(int n)
    {
        if (n <= 16)
            return take(n);
        const std::uint32_t high = take(n - 16);
        return (high << 16) | take(16);
    }

private:
    TCscByteSupply m_bytes;
    std::uint32_t m_bits = 0;
    int m_count = 0;
};

struct TCscModels
{
    std::uint16_t kind[64][3];
    std::uint16_t repeatIndex[64][4];
    std::uint16_t lengthChoice1;
    std::uint16_t lengthChoice2;
    std::uint16_t lengthLow[8];
    std::uint16_t lengthMid[8];
    std::uint16_t lengthHigh[128];
    std::uint16_t lengthEscape;
    std::uint16_t slot[168];
    std::uint16_t align[32][16];
    std::uint16_t runFlag;

    void reset()
    {
        std::fill_n(&kind[0][0], 64 * 3, initialProbability);
        std::fill_n(&repeatIndex[0][0], 64 * 4, initialProbability);
        lengthChoice1 = lengthChoice2 = lengthEscape = runFlag = initialProbability;
        std::fill(std::begin(lengthLow), std::end(lengthLow), initialProbability);
        std::fill(std::begin(lengthMid), std::end(lengthMid), initialProbability);
        std::fill(std::begin(lengthHigh), std::end(lengthHigh), initialProbability);
        std::fill(std::begin(slot), std::end(slot), initialProbability);
        std::fill_n(&align[0][0], 32 * 16, initialProbability);
    }
};

// Where each length code's slot tree starts in the slot model, and its depth.
struct TSlotTree
{
    int offset;
    int bits;
};

constexpr TSlotTree slotTrees[] = { { 0, 3 }, { 8, 4 }, { 24, 4 }, { 40, 5 }, { 72, 5 }, { 104, 5 }, { 136, 5 } };

std::uint32_t slotBase(std::uint32_t slot)
{
    return slot <= 3 ? slot : (1u << (slot - 2)) + 1;
}

std::uint32_t reverse4(std::uint32_t m)
{
    return 8 * (m & 1) + 4 * ((m >> 1) & 1) + 2 * ((m >> 2) & 1) + ((m >> 3) & 1);
}

} // namespace

struct TCscDecoder
{
    TCscProperties properties;
    TCscBlockReader reader;
    TCscRangeDecoder range;
    TCscBitDecoder bits;
    TCscModels models;
    std::vector<std::uint16_t> literal;
    std::vector<std::uint16_t> secondLiteral; // made at the first delta block
    TBytes window;
    std::uint32_t position = 0;
    std::uint32_t state = 0;
    std::uint32_t repeats[4] = {};
    unsigned char previous = 0;
    TBytes scratch;
    // The decoded block; grown as bytes arrive, up to R.
    TBytes block;
    std::size_t count = 0;

    TCscDecoder(const TCscProperties& props, TCscInputStream* input)
        : properties(props)
        , reader(props.streamBlockSize, input)
        , range(reader)
        , bits(reader)
        , literal(256 * 256, initialProbability)
        , window(props.windowSize, 0)
    {
        models.reset();
    }

    void put(unsigned char byte)
    {
        if (count >= properties.rawBlockSize)
            cscThrowBadData();
        if (count == block.size())
            block.resize(std::min<std::size_t>(properties.rawBlockSize, std::max<std::size_t>(2 * count, 65536)));
        block[count++] = byte;
    }

    void putToWindow(unsigned char byte)
    {
        window[position] = byte;
        if (++position == properties.windowSize)
            position = 0;
        previous = byte;
        put(byte);
    }

    std::uint32_t matchLength()
    {
        if (!range.bit(models.lengthChoice1))
            return range.tree(models.lengthLow, 3);
        if (!range.bit(models.lengthChoice2))
            return 8 + range.tree(models.lengthMid, 3);
        return 16 + range.tree(models.lengthHigh, 7);
    }

    std::uint32_t matchLengthWithEscapes()
    {
        std::uint32_t v = matchLength();
        if (v != escapedLength)
            return v;
        for (;;) {
            // No block takes more than R bytes, so a longer run of escapes is corrupt.
            if (v > properties.rawBlockSize)
                cscThrowBadData();
            if (range.bit(models.lengthEscape))
                return v + matchLength();
            v += escapedLength;
        }
    }

    void copyMatch(std::uint32_t distance, std::uint32_t length)
    {
        const std::uint32_t w = properties.windowSize;
        if (distance > w)
            cscThrowBadData();
        const std::uint32_t source = position >= distance ? position - distance : position + w - distance;
        if (std::uint64_t(source) + length > w || std::uint64_t(position) + length > w
            || count + length > properties.rawBlockSize)
            cscThrowBadData();
        for (std::uint32_t i = 0; i < length; ++i)
            putToWindow(window[source + i]);
    }

    void decodeLz()
    {
        const std::size_t limit = properties.rawBlockSize;
        for (;;) {
            std::uint16_t* kinds = models.kind[state];
            if (!range.bit(kinds[0])) {
                if (count == limit)
                    cscThrowBadData();
                const unsigned char byte
                    = static_cast<unsigned char>(range.tree(&literal[std::size_t(previous) * 256], 8));
                state = (4 * state) % 64;
                putToWindow(byte);
                continue;
            }
            if (!range.bit(kinds[1])) {
                if (!range.bit(kinds[2])) {
                    if (count == limit)
                        cscThrowBadData();
                    state = (4 * state + 2) % 64;
                    copyMatch(repeats[0], 1);
                    continue;
                }
                const std::uint32_t index = range.tree(models.repeatIndex[state], 2);
                const std::uint32_t length = matchLengthWithEscapes() + 2;
                state = (4 * state + 3) % 64;
                const std::uint32_t distance = repeats[index];
                for (std::uint32_t i = index; i > 0; --i)
                    repeats[i] = repeats[i - 1];
                repeats[0] = distance;
                copyMatch(distance, length);
                continue;
            }
            const std::uint32_t v = matchLengthWithEscapes();
            const TSlotTree& tree = slotTrees[std::min<std::uint32_t>(v, 6)];
            const std::uint32_t slot = range.tree(models.slot + tree.offset, tree.bits);
            std::uint32_t value = slot;
            if (slot >= 3) {
                std::uint32_t extra = 0;
                if (slot >= 7)
                    extra = bits.wide(int(slot) - 6) << 4;
                value = slotBase(slot) + extra + reverse4(range.tree(models.align[slot], 4));
            }
            state = (4 * state + 1) % 64;
            if (value == endMarkerValue && v == 0)
                return;
            const std::uint32_t distance = value + 1;
            const std::uint32_t length = v + 2;
            repeats[3] = repeats[2];
            repeats[2] = repeats[1];
            repeats[1] = repeats[0];
            repeats[0] = distance;
            copyMatch(distance, length);
        }
    }

    void appendToWindow()
    {
        const std::uint32_t w = properties.windowSize;
        std::size_t done = 0;
        while (done < count) {
            const std::size_t piece = std::min({ windowPiece, count - done, std::size_t(w - position) });
            std::memcpy(window.data() + position, block.data() + done, piece);
            done += piece;
            position += std::uint32_t(piece);
            if (position == w)
                position = 0;
        }
    }

    std::uint32_t blockLength()
    {
        const std::uint32_t n = bits.integer();
        if (n > properties.rawBlockSize)
            cscThrowBadData();
        return n;
    }

    void decodeDelta(std::uint32_t n)
    {
        if (secondLiteral.empty())
            secondLiteral.assign(256 * 256, initialProbability);
        unsigned char last = 0;
        std::uint32_t i = 0;
        while (i < n) {
            if (range.bit(models.runFlag)) {
                const std::uint64_t run = std::uint64_t(matchLengthWithEscapes()) + runBaseLength;
                if (i == 0 || i + run > n)
                    cscThrowBadData();
                const unsigned char byte = block[i - 1];
                for (std::uint64_t k = 0; k < run; ++k)
                    put(byte);
                i += std::uint32_t(run);
                last = byte;
                continue;
            }
            last = static_cast<unsigned char>(range.tree(&secondLiteral[std::size_t(last) * 256], 8));
            put(last);
            ++i;
        }
    }

    void unfilterWords(std::size_t length)
    {
        scratch.resize(std::max(scratch.size(), length));
        std::size_t i = 0;
        std::size_t j = 0;
        while (i < length) {
            if (j >= length)
                cscThrowBadData();
            const unsigned c = block[j++];
            if (c >= firstWordCode && c <= lastWordCode) {
                const char* word = cscWords[c - firstWordCode];
                const std::size_t letters = std::strlen(word);
                if (i + letters > length)
                    cscThrowBadData();
                std::memcpy(scratch.data() + i, word, letters);
                i += letters;
                continue;
            }
            if (c == escapeCode && j < length && block[j] > 129) {
                scratch[i++] = block[j++];
                continue;
            }
            scratch[i++] = static_cast<unsigned char>(c);
        }
        std::memcpy(block.data(), scratch.data(), length);
    }

    void unfilterE8E9(std::size_t n)
    {
        std::size_t next = 5;
        for (std::size_t p = 0; p + 6 <= n; ++p) {
            if (p + 5 < next || (block[p] != 0xE8 && block[p] != 0xE9))
                continue;
            next = p + 9;
            unsigned char* operand = block.data() + p + 1;
            const std::uint32_t stored = std::uint32_t(operand[0]) | (std::uint32_t(operand[1]) << 8)
                | (std::uint32_t(operand[2]) << 16) | (std::uint32_t(operand[3]) << 24);
            std::uint32_t y = stored + (1u << 24);
            if (y >= (1u << 25))
                continue;
            y = (y & 0xFF00FF00u) | ((y & 0xFF) << 16) | ((y >> 16) & 0xFF);
            const std::uint32_t x = ((y << 1) | (y >> 24)) & ((1u << 25) - 1);
            const std::uint32_t v = ((x - std::uint32_t(p + 5)) & ((1u << 25) - 1)) - (1u << 24);
            for (int k = 0; k < 4; ++k)
                operand[k] = static_cast<unsigned char>(v >> (8 * k));
        }
    }

    void unfilterDelta(std::size_t n, std::size_t stride)
    {
        if (n < minimumDeltaFilterLength)
            return;
        scratch.resize(std::max(scratch.size(), n));
        std::memcpy(scratch.data(), block.data(), n);
        unsigned char sum = 0;
        std::size_t k = 0;
        for (std::size_t lane = 0; lane < std::min(stride, n); ++lane) {
            for (std::size_t q = lane; q < n; q += stride) {
                sum = static_cast<unsigned char>(sum + scratch[k++]);
                block[q] = sum;
            }
        }
    }

    void restartCoders()
    {
        range.restart();
        bits.restart();
    }

    // Decodes one block into `block`; its length is `count`.
    void decodeBlock()
    {
        count = 0;
        const std::uint32_t type = bits.integer();
        switch (type) {
        case LzData:
            decodeLz();
            break;
        case WordFilteredData:
            bits.integer(); // the encoder's block length; the LZ symbols carry their own
            decodeLz();
            unfilterWords(count);
            break;
        case E8E9FilteredData:
            decodeLz();
            unfilterE8E9(count);
            break;
        case LiteralData: {
            const std::uint32_t n = blockLength();
            for (std::uint32_t i = 0; i < n; ++i) {
                previous = static_cast<unsigned char>(range.tree(&literal[std::size_t(previous) * 256], 8));
                put(previous);
            }
            appendToWindow();
            break;
        }
        case StoredData: {
            const std::uint32_t n = blockLength();
            for (std::uint32_t i = 0; i < n; ++i)
                put(static_cast<unsigned char>(bits.take(8)));
            appendToWindow();
            break;
        }
        case EndOfStream:
            break;
        default: {
            static constexpr std::size_t strides[] = { 1, 2, 3, 4, 8 };
            if (type < DeltaStride1 || type > DeltaStride8)
                cscThrowBadData();
            const std::uint32_t n = blockLength();
            decodeDelta(n);
            unfilterDelta(n, strides[type - DeltaStride1]);
            appendToWindow();
            break;
        }
        }
        if (bits.integer() == 1)
            restartCoders();
    }
};

TCscProperties readCscProperties(const unsigned char* bytes)
{
    TCscProperties properties;
    properties.windowSize
        = (std::uint32_t(bytes[0]) << 24) | (std::uint32_t(bytes[1]) << 16) | (std::uint32_t(bytes[2]) << 8) | bytes[3];
    properties.streamBlockSize = (std::uint32_t(bytes[4]) << 16) | (std::uint32_t(bytes[5]) << 8) | bytes[6];
    properties.rawBlockSize = (std::uint32_t(bytes[7]) << 16) | (std::uint32_t(bytes[8]) << 8) | bytes[9];
    return properties;
}

TCscDecoder* createCscDecoder(const TCscProperties& properties, TCscInputStream* input)
{
    if (!input || !input->read || properties.windowSize == 0 || properties.windowSize > cscMaxWindowSize
        || properties.streamBlockSize == 0 || properties.rawBlockSize == 0)
        return nullptr;
    TCscDecoder* decoder = nullptr;
    try {
        decoder = new TCscDecoder(properties, input);
        decoder->range.restart();
        decoder->bits.restart();
        return decoder;
    } catch (const std::bad_alloc&) {
    } catch (int) { }
    delete decoder;
    return nullptr;
}

int decodeCscStream(TCscDecoder* decoder, TCscOutputStream* output, TCscProgressCallback progress, void* context)
{
    if (!decoder || !output || !output->write)
        return CscBadData;
    std::uint64_t written = 0;
    for (;;) {
        try {
            decoder->decodeBlock();
        } catch (int code) {
            return code;
        } catch (const std::bad_alloc&) {
            return CscBadData;
        }
        if (decoder->count == 0)
            return CscSuccess;
        if (output->write(output, decoder->block.data(), decoder->count) != decoder->count)
            return CscWriteFailed;
        written += decoder->count;
        if (progress)
            progress(context, decoder->reader.bytesRead(), written);
    }
}

void destroyCscDecoder(TCscDecoder*& decoder)
{
    delete decoder;
    decoder = nullptr;
}

} // namespace packbuf
