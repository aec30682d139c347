#include "cscencoder.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace packbuf {

namespace {

using TBytes = std::vector<unsigned char>;

constexpr std::uint16_t initialProbability = 2048;
constexpr std::uint32_t endMarkerValue = 64;
constexpr std::uint32_t escapedLength = 143;
constexpr std::uint32_t maxMatchLength = 2048;
constexpr int hashBits = 18;
constexpr std::size_t readPiece = std::size_t(1) << 20;

// Queues one coder's bytes and hands them out as stream blocks of at most S bytes.
class TCscBlockSink
{
public:
    TCscBlockSink(std::uint32_t blockSize, bool rangeKind)
        : m_blockSize(blockSize)
        , m_header(rangeKind ? 0x80 : 0x00)
    { }

    void put(unsigned char byte, TCscOutputStream* output)
    {
        m_pending.push_back(byte);
        // Full blocks leave only once two are queued, so the segment's end can still be cut freely.
        if (m_pending.size() >= 2 * std::size_t(m_blockSize)) {
            writeBlock(output, m_blockSize);
        }
    }

    // Writes everything queued. The last block never holds a single byte when a block precedes it:
    // the decoder may stop one byte short of a range-coder segment's end and would then never read a
    // lone padding byte, taking it for the next segment's first block.
    void flush(TCscOutputStream* output)
    {
        while (!m_pending.empty()) {
            std::size_t size = std::min<std::size_t>(m_blockSize, m_pending.size());
            if (m_pending.size() == std::size_t(m_blockSize) + 1)
                size = m_blockSize - 1;
            writeBlock(output, size);
        }
    }

    bool failed() const { return m_failed; }

private:
    void writeBlock(TCscOutputStream* output, std::size_t size)
    {
        unsigned char header[4] = { m_header, 0, 0, 0 };
        std::size_t headerSize = 1;
        if (size == m_blockSize) {
            header[0] |= 0x40;
        } else {
            header[1] = static_cast<unsigned char>(size >> 16);
            header[2] = static_cast<unsigned char>(size >> 8);
            header[3] = static_cast<unsigned char>(size);
            headerSize = 4;
        }
        if (!m_failed
            && (output->write(output, header, headerSize) != headerSize
                || output->write(output, m_pending.data(), size) != size))
            m_failed = true;
        m_pending.erase(m_pending.begin(), m_pending.begin() + std::ptrdiff_t(size));
    }

    std::uint32_t m_blockSize;
    unsigned char m_header;
    TBytes m_pending;
    bool m_failed = false;
};

struct TCscEncoderModels
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

    void reset()
    {
        std::fill_n(&kind[0][0], 64 * 3, initialProbability);
        std::fill_n(&repeatIndex[0][0], 64 * 4, initialProbability);
        lengthChoice1 = lengthChoice2 = lengthEscape = initialProbability;
        std::fill(std::begin(lengthLow), std::end(lengthLow), initialProbability);
        std::fill(std::begin(lengthMid), std::end(lengthMid), initialProbability);
        std::fill(std::begin(lengthHigh), std::end(lengthHigh), initialProbability);
        std::fill(std::begin(slot), std::end(slot), initialProbability);
        std::fill_n(&align[0][0], 32 * 16, initialProbability);
    }
};

constexpr int slotTreeOffsets[] = { 0, 8, 24, 40, 72, 104, 136 };
constexpr int slotTreeDepths[] = { 3, 4, 4, 5, 5, 5, 5 };

std::uint32_t reverse4(std::uint32_t m)
{
    return 8 * (m & 1) + 4 * ((m >> 1) & 1) + 2 * ((m >> 2) & 1) + ((m >> 3) & 1);
}

// The longest distance a match of the given length can code: the slot tree of length code 0 ends at
// slot 7 (whose top value is the end marker), those of codes 1 and 2 at slot 15.
std::uint64_t maxDistanceFor(std::uint32_t length)
{
    if (length == 2)
        return 64;
    if (length <= 4)
        return (std::uint64_t(1) << 14) + 1;
    return (std::uint64_t(1) << 30) + 1;
}

struct TMatch
{
    std::uint32_t length = 0;
    std::uint32_t distance = 0;
};

} // namespace

struct TCscEncoder
{
    TCscProperties properties;
    int level;
    TCscInputStream* input;
    TCscOutputStream* output = nullptr;
    TBytes data;

    TCscBlockSink rangeSink;
    TCscBlockSink bitSink;
    TCscEncoderModels models;
    std::vector<std::uint16_t> literal;

    std::uint64_t low = 0;
    std::uint32_t range = 0xFFFFFFFFu;
    unsigned char cache = 0;
    std::uint64_t cacheSize = 1;
    std::uint32_t bitAccumulator = 0;
    int bitCount = 0;

    std::uint32_t state = 0;
    std::uint32_t repeats[4] = {};
    std::vector<std::int32_t> head;
    std::vector<std::int32_t> chain;
    std::size_t inserted = 0;

    TCscEncoder(const TCscProperties& props, int encoderLevel, TCscInputStream* in)
        : properties(props)
        , level(encoderLevel)
        , input(in)
        , rangeSink(props.streamBlockSize, true)
        , bitSink(props.streamBlockSize, false)
        , literal(256 * 256, initialProbability)
        , head(std::size_t(1) << hashBits, -1)
    {
        models.reset();
    }

    // --- coders ---
    void shiftLow()
    {
        if (std::uint32_t(low) < 0xFF000000u || (low >> 32) != 0) {
            const auto carry = static_cast<unsigned char>(low >> 32);
            unsigned char pending = cache;
            do {
                rangeSink.put(static_cast<unsigned char>(pending + carry), output);
                pending = 0xFF;
            } while (--cacheSize != 0);
            cache = static_cast<unsigned char>(low >> 24);
        }
        ++cacheSize;
        low = (low & 0x00FFFFFFu) << 8;
    }

    void bit(std::uint16_t& probability, std::uint32_t value)
    {
        const std::uint32_t bound = (range >> 12) * probability;
        if (value) {
            range = bound;
            probability += (4095 - probability) >> 5;
        } else {
            low += bound;
            range -= bound;
            probability -= probability >> 5;
        }
        if (range < (1u << 24)) {
            range <<= 8;
            shiftLow();
        }
    }

    void tree(std::uint16_t* model, int bits, std::uint32_t value)
    {
        std::uint32_t m = 1;
        for (int i = bits - 1; i >= 0; --i) {
            const std::uint32_t b = (value >> i) & 1;
            bit(model[m], b);
            m = 2 * m + b;
        }
    }

    void rawBits(std::uint32_t value, int count)
    {
        for (int i = count - 1; i >= 0; --i) {
            bitAccumulator = (bitAccumulator << 1) | ((value >> i) & 1);
            if (++bitCount == 8) {
                bitSink.put(static_cast<unsigned char>(bitAccumulator), output);
                bitAccumulator = 0;
                bitCount = 0;
            }
        }
    }

    void wideBits(std::uint32_t value, int count)
    {
        if (count > 16) {
            rawBits(value >> 16, count - 16);
            rawBits(value & 0xFFFF, 16);
        } else {
            rawBits(value, count);
        }
    }

    void integer(std::uint32_t value)
    {
        if (value < 2) {
            rawBits(0, 5);
            rawBits(value, 1);
            return;
        }
        int n = 31;
        while (!(value >> n))
            --n;
        rawBits(std::uint32_t(n), 5);
        wideBits(value - (std::uint32_t(1) << n), n);
    }

    // Both coders end their segment: five range-coder bytes and a padding byte; the bit coder's last
    // partial byte left-aligned and a zero byte.
    void flushCoders()
    {
        for (int i = 0; i < 5; ++i)
            shiftLow();
        rangeSink.put(0, output);
        if (bitCount > 0)
            bitSink.put(static_cast<unsigned char>(bitAccumulator << (8 - bitCount)), output);
        bitSink.put(0, output);
        rangeSink.flush(output);
        bitSink.flush(output);
        low = 0;
        range = 0xFFFFFFFFu;
        cache = 0;
        cacheSize = 1;
        bitAccumulator = 0;
        bitCount = 0;
    }

    // --- symbols ---
    void length(std::uint32_t v)
    {
        if (v < 8) {
            bit(models.lengthChoice1, 0);
            tree(models.lengthLow, 3, v);
        } else if (v < 16) {
            bit(models.lengthChoice1, 1);
            bit(models.lengthChoice2, 0);
            tree(models.lengthMid, 3, v - 8);
        } else {
            bit(models.lengthChoice1, 1);
            bit(models.lengthChoice2, 1);
            tree(models.lengthHigh, 7, v - 16);
        }
    }

    void lengthWithEscapes(std::uint32_t v)
    {
        if (v < escapedLength) {
            length(v);
            return;
        }
        length(escapedLength);
        std::uint32_t rest = v - escapedLength;
        for (; rest >= escapedLength; rest -= escapedLength)
            bit(models.lengthEscape, 0);
        bit(models.lengthEscape, 1);
        length(rest);
    }

    void matchSymbol(std::uint32_t v, std::uint32_t value)
    {
        bit(models.kind[state][0], 1);
        bit(models.kind[state][1], 1);
        lengthWithEscapes(v);
        std::uint32_t slot = value;
        if (value >= 3) {
            if (value <= 18)
                slot = 3;
            else if (value <= 24)
                slot = 5;
            else if (value <= 32)
                slot = 6;
            else
                for (slot = 7; (std::uint64_t(1) << (slot - 1)) < value; ++slot) { }
        }
        const std::uint32_t treeIndex = std::min<std::uint32_t>(v, 6);
        tree(models.slot + slotTreeOffsets[treeIndex], slotTreeDepths[treeIndex], slot);
        if (slot >= 3) {
            const std::uint32_t base = slot <= 3 ? slot : (1u << (slot - 2)) + 1;
            const std::uint32_t offset = value - base;
            if (slot >= 7)
                wideBits(offset >> 4, int(slot) - 6);
            tree(models.align[slot], 4, reverse4(offset & 15));
        }
        state = (4 * state + 1) % 64;
    }

    void literalSymbol(unsigned char byte, unsigned char previous)
    {
        bit(models.kind[state][0], 0);
        tree(&literal[std::size_t(previous) * 256], 8, byte);
        state = (4 * state) % 64;
    }

    void shortRepeatSymbol()
    {
        bit(models.kind[state][0], 1);
        bit(models.kind[state][1], 0);
        bit(models.kind[state][2], 0);
        state = (4 * state + 2) % 64;
    }

    void repeatSymbol(std::uint32_t index, std::uint32_t matchLength)
    {
        bit(models.kind[state][0], 1);
        bit(models.kind[state][1], 0);
        bit(models.kind[state][2], 1);
        tree(models.repeatIndex[state], 2, index);
        lengthWithEscapes(matchLength - 2);
        state = (4 * state + 3) % 64;
        const std::uint32_t distance = repeats[index];
        for (std::uint32_t i = index; i > 0; --i)
            repeats[i] = repeats[i - 1];
        repeats[0] = distance;
    }

    void newMatchSymbol(std::uint32_t distance, std::uint32_t matchLength)
    {
        matchSymbol(matchLength - 2, distance - 1);
        repeats[3] = repeats[2];
        repeats[2] = repeats[1];
        repeats[1] = repeats[0];
        repeats[0] = distance;
    }

    // --- match finding ---
    std::uint32_t hashAt(std::size_t p) const
    {
        const std::uint32_t v = data[p] | (std::uint32_t(data[p + 1]) << 8) | (std::uint32_t(data[p + 2]) << 16);
        return (v * 2654435761u) >> (32 - hashBits);
    }

    void insertUpTo(std::size_t end)
    {
        for (; inserted < end; ++inserted) {
            if (inserted + 3 > data.size())
                continue;
            const std::uint32_t h = hashAt(inserted);
            chain[inserted] = head[h];
            head[h] = std::int32_t(inserted);
        }
    }

    // The most bytes a copy from distance back may take at absolute position a: the decoder's circular
    // window must not be crossed by the source or the target.
    std::uint32_t copyRoom(std::size_t a, std::uint32_t distance, std::size_t blockEnd) const
    {
        const std::uint32_t w = properties.windowSize;
        if (distance == 0 || distance > w || distance > a)
            return 0;
        const std::uint32_t position = std::uint32_t(a % w);
        const std::uint32_t source = position >= distance ? position - distance : position + w - distance;
        std::uint64_t room = std::min<std::uint64_t>(w - position, w - source);
        room = std::min<std::uint64_t>(room, blockEnd - a);
        return std::uint32_t(std::min<std::uint64_t>(room, maxMatchLength));
    }

    std::uint32_t matchLengthAt(std::size_t a, std::uint32_t distance, std::uint32_t room) const
    {
        std::uint32_t n = 0;
        while (n < room && data[a + n] == data[a - distance + n])
            ++n;
        return n;
    }

    TMatch findMatch(std::size_t a, std::size_t blockEnd) const
    {
        TMatch best;
        if (a + 3 > data.size())
            return best;
        const int maxCandidates = 2 << level;
        std::int32_t candidate = head[hashAt(a)];
        for (int tries = 0; candidate >= 0 && tries < maxCandidates; ++tries) {
            const std::size_t distance = a - std::size_t(candidate);
            if (distance > properties.windowSize || distance > maxDistanceFor(5))
                break;
            const std::uint32_t room = copyRoom(a, std::uint32_t(distance), blockEnd);
            const std::uint32_t n = matchLengthAt(a, std::uint32_t(distance), room);
            if (n >= 3 && n > best.length && distance <= maxDistanceFor(n)) {
                best = { n, std::uint32_t(distance) };
                if (n == room)
                    break;
            }
            candidate = chain[std::size_t(candidate)];
        }
        return best;
    }

    // --- blocks ---
    // One raw block as one LZ block, ended by the end marker, then the tail 1 that restarts the coders.
    void encodeRawBlock(std::size_t start, std::size_t end)
    {
        integer(1);
        std::size_t a = start;
        while (a < end) {
            insertUpTo(a);
            TMatch best = findMatch(a, end);
            std::uint32_t repeatIndex = 4;
            std::uint32_t repeatLength = 0;
            for (std::uint32_t i = 0; i < 4; ++i) {
                const std::uint32_t n = matchLengthAt(a, repeats[i], copyRoom(a, repeats[i], end));
                if (n >= 2 && n > repeatLength) {
                    repeatIndex = i;
                    repeatLength = n;
                }
            }
            if (level >= 3 && best.length >= 3 && repeatLength + 1 < best.length && a + 1 < end) {
                insertUpTo(a + 1);
                if (findMatch(a + 1, end).length > best.length + 1)
                    best = {};
            }
            const unsigned char previous = a > 0 ? data[a - 1] : 0;
            if (repeatLength >= 2 && repeatLength + 1 >= best.length) {
                repeatSymbol(repeatIndex, repeatLength);
                a += repeatLength;
            } else if (best.length >= 3) {
                newMatchSymbol(best.distance, best.length);
                a += best.length;
            } else if (copyRoom(a, repeats[0], end) >= 1 && data[a] == data[a - repeats[0]]) {
                shortRepeatSymbol();
                ++a;
            } else {
                literalSymbol(data[a], previous);
                ++a;
            }
        }
        matchSymbol(0, endMarkerValue);
        integer(1);
        flushCoders();
    }

    bool readInput()
    {
        for (;;) {
            const std::size_t done = data.size();
            data.resize(done + readPiece);
            std::size_t count = readPiece;
            if (input->read(input, data.data() + done, &count) != 0 || count > readPiece)
                return false;
            data.resize(done + count);
            if (count == 0)
                return true;
        }
    }
};

TCscProperties cscPackProperties(std::uint64_t inputLength)
{
    const std::uint64_t window = std::min<std::uint64_t>(inputLength, 20u << 20) + 10240;
    TCscProperties properties;
    properties.windowSize = std::uint32_t(std::clamp<std::uint64_t>(window, 32u << 10, cscMaxWindowSize));
    properties.streamBlockSize = 65536;
    properties.rawBlockSize = 2097152;
    return properties;
}

void writeCscProperties(const TCscProperties& properties, unsigned char* bytes)
{
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<unsigned char>(properties.windowSize >> (24 - 8 * i));
    for (int i = 0; i < 3; ++i) {
        bytes[4 + i] = static_cast<unsigned char>(properties.streamBlockSize >> (16 - 8 * i));
        bytes[7 + i] = static_cast<unsigned char>(properties.rawBlockSize >> (16 - 8 * i));
    }
}

TCscEncoder* createCscEncoder(const TCscProperties& properties, int level, TCscInputStream* input)
{
    if (!input || !input->read || level < 1 || level > 9 || properties.windowSize == 0
        || properties.windowSize > cscMaxWindowSize || properties.streamBlockSize <= 5
        || properties.streamBlockSize > 0xFFFFFF || properties.rawBlockSize == 0 || properties.rawBlockSize > 0xFFFFFF)
        return nullptr;
    try {
        return new TCscEncoder(properties, level, input);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

int encodeCscStream(TCscEncoder* encoder, TCscOutputStream* output)
{
    if (!encoder || !output || !output->write)
        return CscBadData;
    encoder->output = output;
    try {
        if (!encoder->readInput())
            return CscReadFailed;
        // Positions are kept in 32-bit chains.
        if (encoder->data.size() > std::size_t(INT32_MAX))
            return CscBadData;
        encoder->chain.assign(encoder->data.size(), -1);
        const std::size_t total = encoder->data.size();
        for (std::size_t start = 0; start < total; start += encoder->properties.rawBlockSize) {
            encoder->encodeRawBlock(start, std::min<std::size_t>(total, start + encoder->properties.rawBlockSize));
            if (encoder->rangeSink.failed() || encoder->bitSink.failed())
                return CscWriteFailed;
        }
        encoder->integer(9);
        encoder->integer(0);
        encoder->flushCoders();
    } catch (const std::bad_alloc&) {
        return CscBadData;
    }
    return encoder->rangeSink.failed() || encoder->bitSink.failed() ? CscWriteFailed : CscSuccess;
}

void destroyCscEncoder(TCscEncoder*& encoder)
{
    delete encoder;
    encoder = nullptr;
}

} // namespace packbuf
