#include "cscencoder.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>
#include <utility>
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

enum ECscBlockType : std::uint32_t {
    LzBlock = 1,
    WordFilteredBlock = 2,
    E8E9FilteredBlock = 3,
    LiteralBlock = 7,
    StoredBlock = 8,
    EndBlock = 9,
    DeltaStride1Block = 16,
    DeltaStride8Block = 20,
};

// Raw blocks are classified in pieces of this size; shorter ones tell too little and keep the type before them.
constexpr std::size_t classifiedPiece = 8192;
constexpr std::size_t smallestClassifiedPiece = 512;
// Shorter text blocks gain too little from the word filter to pay for it.
constexpr std::size_t smallestWordFilteredBlock = 16384;
constexpr std::size_t smallestDeltaFilteredBlock = 512;
constexpr std::size_t deltaStrides[] = { 1, 2, 3, 4, 8 };
constexpr std::uint32_t runBaseLength = 11;
constexpr int repeatHashBits = 16;

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

// 100 x log2(16i + 8): the cost in hundredths of a bit of a count of about 16i.
struct TCostTable
{
    std::uint32_t value[512];

    TCostTable()
    {
        for (int i = 0; i < 512; ++i)
            value[i] = std::uint32_t(std::lround(100.0 * std::log2(16.0 * i + 8.0)));
    }

    std::uint32_t at(std::size_t count) const { return value[std::min<std::size_t>(count >> 4, 511)]; }

    // Order-0 cost of a histogram, in hundredths of a bit.
    std::uint64_t cost(const std::uint32_t* histogram, std::size_t n) const
    {
        const std::uint32_t whole = at(n);
        std::uint64_t total = 0;
        for (int c = 0; c < 256; ++c)
            if (histogram[c])
                total += std::uint64_t(histogram[c]) * (whole - at(histogram[c]));
        return total;
    }
};

// The letter trie of the word table: each node's children by letter and the code of the word ending there.
class TWordTrie
{
public:
    TWordTrie()
    {
        m_nodes.emplace_back();
        for (std::size_t w = 0; w < cscWordCount; ++w) {
            std::size_t node = 0;
            for (const char* letter = cscWords[w]; *letter; ++letter) {
                const int index = *letter - 'a';
                if (m_nodes[node].child[index] == 0) {
                    m_nodes[node].child[index] = std::uint16_t(m_nodes.size());
                    m_nodes.emplace_back();
                }
                node = m_nodes[node].child[index];
            }
            m_nodes[node].code = static_cast<unsigned char>(cscFirstWordCode + w);
        }
    }

    // The code and length of the longest word at the start of bytes[0..n), or length 0.
    std::pair<unsigned char, std::size_t> longestWord(const unsigned char* bytes, std::size_t n) const
    {
        std::pair<unsigned char, std::size_t> best { 0, 0 };
        std::size_t node = 0;
        for (std::size_t k = 0; k < n && bytes[k] >= 'a' && bytes[k] <= 'z'; ++k) {
            node = m_nodes[node].child[bytes[k] - 'a'];
            if (node == 0)
                break;
            if (m_nodes[node].code)
                best = { m_nodes[node].code, k + 1 };
        }
        return best;
    }

private:
    struct TNode
    {
        std::uint16_t child[26] = {};
        unsigned char code = 0;
    };
    std::vector<TNode> m_nodes;
};

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
    std::vector<std::uint16_t> secondLiteral; // made at the first delta block

    std::uint64_t low = 0;
    std::uint32_t range = 0xFFFFFFFFu;
    unsigned char cache = 0;
    std::uint64_t cacheSize = 1;
    std::uint32_t bitAccumulator = 0;
    int bitCount = 0;

    std::uint32_t state = 0;
    std::uint32_t repeats[4] = {};
    // The literal context as the decoder keeps it: LZ and literal blocks set it, stored and delta blocks do not.
    unsigned char previous = 0;
    std::vector<std::int32_t> head;
    std::vector<std::int32_t> chain;
    std::size_t inserted = 0;

    const TCostTable costs;
    const TWordTrie words;
    // Where each 4-byte sequence was last seen, for telling repetitive pieces from the rest.
    std::vector<std::int32_t> repeatHead;
    std::uint32_t lastPieceType = LzBlock;
    TBytes scratch;
    bool skippedBlock = false;

    TCscEncoder(const TCscProperties& props, int encoderLevel, TCscInputStream* in)
        : properties(props)
        , level(encoderLevel)
        , input(in)
        , rangeSink(props.streamBlockSize, true)
        , bitSink(props.streamBlockSize, false)
        , literal(256 * 256, initialProbability)
        , head(std::size_t(1) << hashBits, -1)
        , repeatHead(std::size_t(1) << repeatHashBits, -1)
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

    void literalSymbol(unsigned char byte, unsigned char context)
    {
        bit(models.kind[state][0], 0);
        tree(&literal[std::size_t(context) * 256], 8, byte);
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

    // --- classification ---
    std::uint32_t repeatHashAt(std::size_t p) const
    {
        std::uint32_t v;
        std::memcpy(&v, data.data() + p, 4);
        return (v * 2654435761u) >> (32 - repeatHashBits);
    }

    // Bytes of the piece that repeat earlier data in runs long enough to pay for a match: a run must
    // stand for at least 32 bits at the piece's order-0 cost.
    std::size_t repeatedBytes(std::size_t start, std::size_t n, std::uint64_t bitCost)
    {
        const std::size_t shortestRun
            = std::clamp<std::size_t>(std::size_t(3200 * n / std::max<std::uint64_t>(bitCost, 1)), 4, 64);
        const std::size_t total = data.size();
        const std::size_t end = start + n;
        std::size_t repeated = 0;
        std::size_t i = start;
        auto& heads = repeatHead;
        while (i < end && i + 4 <= total) {
            const std::uint32_t h = repeatHashAt(i);
            const std::int32_t candidate = heads[h];
            heads[h] = std::int32_t(i);
            if (candidate >= 0 && i - std::size_t(candidate) <= properties.windowSize) {
                const std::size_t limit = std::min<std::size_t>(total - i, 256);
                std::size_t length = 0;
                while (length < limit && data[std::size_t(candidate) + length] == data[i + length])
                    ++length;
                if (length >= shortestRun) {
                    const std::size_t step = std::min(length, end - i);
                    for (std::size_t k = 1; k < step && i + k + 4 <= total; ++k)
                        heads[repeatHashAt(i + k)] = std::int32_t(i + k);
                    repeated += step;
                    i += step;
                    continue;
                }
            }
            ++i;
        }
        return repeated;
    }

    std::uint32_t classifyPiece(std::size_t start, std::size_t n)
    {
        const unsigned char* bytes = data.data() + start;
        std::uint32_t histogram[256] = {};
        for (std::size_t i = 0; i < n; ++i)
            ++histogram[bytes[i]];
        const std::uint64_t cost = costs.cost(histogram, n);

        std::size_t printable = histogram['\t'] + histogram['\n'] + histogram['\r'];
        for (int c = 32; c < 127; ++c)
            printable += histogram[c];
        std::size_t lowercase = 0;
        for (int c = 'a'; c <= 'z'; ++c)
            lowercase += histogram[c];
        if (100 * printable >= 97 * n && 100 * lowercase >= 50 * n && 100 * histogram[' '] >= 8 * n)
            return WordFilteredBlock;

        // Near calls and jumps whose operand's top byte only extends its sign, as x86 code is full of.
        std::size_t calls = 0;
        for (std::size_t i = 0; i < n; ++i)
            if ((bytes[i] == 0xE8 || bytes[i] == 0xE9) && start + i + 4 < data.size()
                && (bytes[i + 4] == 0x00 || bytes[i + 4] == 0xFF))
                ++calls;
        if (512 * calls >= n)
            return E8E9FilteredBlock;

        if (4 * repeatedBytes(start, n, cost) >= n)
            return LzBlock;

        std::uint64_t bestDeltaCost = UINT64_MAX;
        std::uint32_t bestDelta = 0;
        for (std::uint32_t k = 0; k < std::size(deltaStrides); ++k) {
            const std::size_t stride = deltaStrides[k];
            std::uint32_t deltas[256] = {};
            for (std::size_t i = 0; i < n; ++i)
                ++deltas[static_cast<unsigned char>(bytes[i] - (i >= stride ? bytes[i - stride] : 0))];
            const std::uint64_t deltaCost = costs.cost(deltas, n);
            if (deltaCost < bestDeltaCost) {
                bestDeltaCost = deltaCost;
                bestDelta = k;
            }
        }
        // Order-0 costs undersell delta coding, which also has runs and the previous delta as context.
        if (100 * bestDeltaCost < 90 * cost)
            return DeltaStride1Block + bestDelta;

        // Bytes spread as evenly as chance spreads them (chi-square within six deviations of a uniform
        // source's): literals would only add their modelling overhead.
        std::uint64_t squares = 0;
        for (std::uint32_t h : histogram)
            squares += std::uint64_t(h) * h;
        if (256 * squares <= std::uint64_t(n) * (n + 400))
            return StoredBlock;
        const auto distinct
            = std::count_if(std::begin(histogram), std::end(histogram), [](std::uint32_t h) { return h != 0; });
        if (distinct <= 64)
            return LiteralBlock;
        return LzBlock;
    }

    // --- filters ---
    // Replaces the longest word at each letter by its code and escapes the bytes codes use; the result is
    // padded with spaces to the block's length. False (and the block untouched) when it saves too little.
    bool filterWords(std::size_t start, std::size_t end)
    {
        const std::size_t n = end - start;
        const std::size_t limit = n * 82 / 100;
        scratch.clear();
        for (std::size_t i = start; i < end && scratch.size() <= limit;) {
            const unsigned char c = data[i];
            if (c >= cscFirstWordCode) {
                scratch.push_back(static_cast<unsigned char>(cscEscapeCode));
                scratch.push_back(c);
                ++i;
                continue;
            }
            const auto [code, letters] = words.longestWord(data.data() + i, end - i);
            if (letters > 0) {
                scratch.push_back(code);
                i += letters;
                continue;
            }
            scratch.push_back(c);
            ++i;
        }
        if (scratch.size() > limit)
            return false;
        std::memcpy(data.data() + start, scratch.data(), scratch.size());
        std::memset(data.data() + start + scratch.size(), ' ', n - scratch.size());
        return true;
    }

    // Turns the relative operands of near calls and jumps into absolute targets, so that calls of one
    // function look alike; the decoder's scan sees the original opcode bytes, so this one reads them too.
    void filterE8E9(std::size_t start, std::size_t end)
    {
        const std::size_t n = end - start;
        scratch.assign(data.begin() + std::ptrdiff_t(start), data.begin() + std::ptrdiff_t(end));
        unsigned char* block = data.data() + start;
        std::size_t next = 5;
        for (std::size_t p = 0; p + 6 <= n; ++p) {
            if (p + 5 < next || (scratch[p] != 0xE8 && scratch[p] != 0xE9))
                continue;
            next = p + 9;
            const std::uint32_t v = std::uint32_t(scratch[p + 1]) | (std::uint32_t(scratch[p + 2]) << 8)
                | (std::uint32_t(scratch[p + 3]) << 16) | (std::uint32_t(scratch[p + 4]) << 24);
            if (v + (1u << 24) >= (1u << 25))
                continue;
            const std::uint32_t x = (std::uint32_t(p + 5) + v + (1u << 24)) & ((1u << 25) - 1);
            std::uint32_t y = (x >> 1) | ((x & 1) << 24);
            y = (y & 0xFF00FF00u) | ((y & 0xFF) << 16) | ((y >> 16) & 0xFF);
            const std::uint32_t stored = y - (1u << 24);
            for (int k = 0; k < 4; ++k)
                block[p + 1 + std::size_t(k)] = static_cast<unsigned char>(stored >> (8 * k));
        }
    }

    // --- blocks ---
    // LZ symbols over data[start, end), ended by the end marker.
    void encodeLz(std::size_t start, std::size_t end)
    {
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
            const unsigned char context = a > start ? data[a - 1] : previous;
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
                literalSymbol(data[a], context);
                ++a;
            }
        }
        matchSymbol(0, endMarkerValue);
        previous = data[end - 1];
    }

    void encodeDelta(std::size_t start, std::size_t end, std::size_t stride)
    {
        const std::size_t n = end - start;
        const unsigned char* block = data.data() + start;
        scratch.resize(n);
        if (n < smallestDeltaFilteredBlock) {
            std::memcpy(scratch.data(), block, n);
        } else {
            // One running difference through the lanes in turn, as the decoder sums them back.
            unsigned char last = 0;
            std::size_t k = 0;
            for (std::size_t lane = 0; lane < std::min(stride, n); ++lane) {
                for (std::size_t q = lane; q < n; q += stride) {
                    scratch[k++] = static_cast<unsigned char>(block[q] - last);
                    last = block[q];
                }
            }
        }
        if (secondLiteral.empty())
            secondLiteral.assign(256 * 256, initialProbability);
        unsigned char last = 0;
        for (std::size_t i = 0; i < n;) {
            if (i > 0) {
                std::size_t run = 0;
                while (i + run < n && scratch[i + run] == scratch[i - 1])
                    ++run;
                if (run >= runBaseLength) {
                    bit(models.runFlag, 1);
                    lengthWithEscapes(std::uint32_t(run - runBaseLength));
                    i += run;
                    continue;
                }
            }
            bit(models.runFlag, 0);
            tree(&secondLiteral[std::size_t(last) * 256], 8, scratch[i]);
            last = scratch[i];
            ++i;
        }
    }

    // One block of the given type over data[start, end); the tail 1 after the raw block's last block
    // restarts the coders.
    void encodeBlock(std::uint32_t type, std::size_t start, std::size_t end, bool lastInRawBlock)
    {
        const auto n = std::uint32_t(end - start);
        switch (type) {
        case LzBlock:
            integer(LzBlock);
            encodeLz(start, end);
            break;
        case WordFilteredBlock:
            if (n < smallestWordFilteredBlock || !filterWords(start, end)) {
                integer(LzBlock);
            } else {
                integer(WordFilteredBlock);
                integer(n);
            }
            encodeLz(start, end);
            break;
        case E8E9FilteredBlock:
            filterE8E9(start, end);
            integer(E8E9FilteredBlock);
            encodeLz(start, end);
            break;
        case LiteralBlock:
            integer(LiteralBlock);
            integer(n);
            for (std::size_t i = start; i < end; ++i) {
                tree(&literal[std::size_t(previous) * 256], 8, data[i]);
                previous = data[i];
            }
            break;
        case StoredBlock:
            integer(StoredBlock);
            integer(n);
            for (std::size_t i = start; i < end; ++i)
                rawBits(data[i], 8);
            break;
        default:
            if (type < DeltaStride1Block || type > DeltaStride8Block) {
                // No classification gives such a type; the stream would lose these bytes, so the run fails.
                std::printf("Bad data type:%d\n", int(type));
                skippedBlock = true;
                return;
            }
            integer(type);
            integer(n);
            encodeDelta(start, end, deltaStrides[type - DeltaStride1Block]);
            break;
        }
        // Later matches may reach into literal, stored and delta blocks as well.
        if (end - start >= 2)
            insertUpTo(end - 2);
        integer(lastInRawBlock ? 1 : 0);
        if (lastInRawBlock)
            flushCoders();
    }

    // Classifies the raw block piece by piece and writes each run of pieces of one type as one block.
    void encodeRawBlock(std::size_t start, std::size_t end)
    {
        std::vector<std::uint32_t> types;
        for (std::size_t piece = start; piece < end; piece += classifiedPiece) {
            const std::size_t n = std::min(classifiedPiece, end - piece);
            if (n >= smallestClassifiedPiece)
                lastPieceType = classifyPiece(piece, n);
            types.push_back(lastPieceType);
        }
        for (std::size_t first = 0; first < types.size();) {
            std::size_t last = first + 1;
            while (last < types.size() && types[last] == types[first])
                ++last;
            const std::size_t blockStart = start + first * classifiedPiece;
            const std::size_t blockEnd = std::min(end, start + last * classifiedPiece);
            encodeBlock(types[first], blockStart, blockEnd, blockEnd == end);
            first = last;
        }
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
        encoder->integer(EndBlock);
        encoder->integer(0);
        encoder->flushCoders();
    } catch (const std::bad_alloc&) {
        return CscBadData;
    }
    if (encoder->rangeSink.failed() || encoder->bitSink.failed())
        return CscWriteFailed;
    return encoder->skippedBlock ? CscBadData : CscSuccess;
}

void destroyCscEncoder(TCscEncoder*& encoder)
{
    delete encoder;
    encoder = nullptr;
}

} // namespace packbuf
