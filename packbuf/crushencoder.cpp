#include "crushcodec.h"

#include <algorithm>
#include <cstdint>
#include <vector>

namespace packbuf {

namespace {

constexpr int hash3Bits = 21;
constexpr int hash4Bits = 24;
constexpr int windowMask = crushWindowSize - 1;
// A 3-byte match saves nothing over literals once its distance needs many extra bits.
constexpr int maxShortMatchDistance = 65536;

// Writes bits least significant first; reports an overflow instead of writing past the capacity.
class TCrushBitWriter
{
public:
    TCrushBitWriter(unsigned char* data, std::size_t capacity)
        : m_data(data)
        , m_capacity(capacity)
    { }

    bool write(std::uint32_t value, int count)
    {
        m_bits |= std::uint64_t(value) << m_bitCount;
        m_bitCount += count;
        while (m_bitCount >= 8) {
            if (m_position == m_capacity)
                return false;
            m_data[m_position++] = static_cast<unsigned char>(m_bits);
            m_bits >>= 8;
            m_bitCount -= 8;
        }
        return true;
    }

    bool flush()
    {
        if (m_bitCount == 0)
            return true;
        if (m_position == m_capacity)
            return false;
        m_data[m_position++] = static_cast<unsigned char>(m_bits);
        m_bits = 0;
        m_bitCount = 0;
        return true;
    }

    std::size_t size() const { return m_position; }

private:
    unsigned char* m_data;
    std::size_t m_capacity;
    std::size_t m_position = 0;
    std::uint64_t m_bits = 0;
    int m_bitCount = 0;
};

bool writeMatch(TCrushBitWriter& writer, int length, int distance)
{
    const int code = length - crushMinMatch;
    bool ok = writer.write(1, 1);
    if (code < 12) {
        const int lengthClass = code / 4;
        ok = ok && writer.write(0, lengthClass) && writer.write(1, 1) && writer.write(code & 3, 2);
    } else if (code < 20) {
        ok = ok && writer.write(0, 3) && writer.write(1, 1) && writer.write(code - 12, 3);
    } else if (code < 52) {
        ok = ok && writer.write(0, 4) && writer.write(1, 1) && writer.write(code - 20, 5);
    } else {
        ok = ok && writer.write(0, 5) && writer.write(code - 52, 9);
    }
    const std::uint32_t offset = static_cast<std::uint32_t>(distance - 1);
    if (offset < 64)
        return ok && writer.write(0, 4) && writer.write(offset, 6);
    int bits = 6;
    while ((offset >> (bits + 1)) != 0)
        ++bits;
    return ok && writer.write(static_cast<std::uint32_t>(bits - 5), 4)
        && writer.write(offset - (std::uint32_t(1) << bits), bits);
}

struct TMatch
{
    int length = 0;
    int distance = 0;
};

class TCrushMatchFinder
{
public:
    TCrushMatchFinder(const unsigned char* data, int length, int maxCandidates)
        : m_data(data)
        , m_length(length)
        , m_maxCandidates(maxCandidates)
        , m_head3(std::size_t(1) << hash3Bits, -1)
        , m_head4(std::size_t(1) << hash4Bits, -1)
        , m_previous3(crushWindowSize, -1)
        , m_previous4(crushWindowSize, -1)
    { }

    // Enters every position below end into the chains.
    void insertUpTo(int end)
    {
        for (; m_inserted < end; ++m_inserted) {
            const int p = m_inserted;
            if (p + 3 > m_length)
                continue;
            const std::uint32_t h3 = hash3(p);
            m_previous3[p & windowMask] = m_head3[h3];
            m_head3[h3] = p;
            if (p + 4 > m_length)
                continue;
            const std::uint32_t h4 = hash4(p);
            m_previous4[p & windowMask] = m_head4[h4];
            m_head4[h4] = p;
        }
    }

    // The longest match at p against the positions already inserted (all below p).
    TMatch find(int p) const
    {
        TMatch best;
        const int limit = std::min(crushMaxMatch, m_length - p);
        if (limit < crushMinMatch)
            return best;
        if (limit >= 4) {
            int candidate = m_head4[hash4(p)];
            for (int tries = 0; candidate >= 0 && tries < m_maxCandidates; ++tries) {
                const int distance = p - candidate;
                if (distance > crushWindowSize)
                    break;
                const int length = matchLength(candidate, p, limit);
                if (length > best.length) {
                    best = { length, distance };
                    if (length == limit)
                        break;
                }
                candidate = m_previous4[candidate & windowMask];
            }
        }
        if (best.length >= 4)
            return best;
        best = {};
        int candidate = m_head3[hash3(p)];
        for (int tries = 0; candidate >= 0 && tries < m_maxCandidates; ++tries) {
            const int distance = p - candidate;
            if (distance > maxShortMatchDistance)
                break;
            if (matchLength(candidate, p, 3) == 3)
                return { 3, distance };
            candidate = m_previous3[candidate & windowMask];
        }
        return best;
    }

private:
    std::uint32_t hash3(int p) const
    {
        const std::uint32_t v = m_data[p] | (m_data[p + 1] << 8) | (m_data[p + 2] << 16);
        return (v * 2654435761u) >> (32 - hash3Bits);
    }

    std::uint32_t hash4(int p) const
    {
        const std::uint32_t v
            = m_data[p] | (m_data[p + 1] << 8) | (m_data[p + 2] << 16) | (std::uint32_t(m_data[p + 3]) << 24);
        return (v * 2654435761u) >> (32 - hash4Bits);
    }

    int matchLength(int candidate, int p, int limit) const
    {
        int length = 0;
        while (length < limit && m_data[candidate + length] == m_data[p + length])
            ++length;
        return length;
    }

    const unsigned char* m_data;
    int m_length;
    int m_maxCandidates;
    int m_inserted = 0;
    std::vector<std::int32_t> m_head3;
    std::vector<std::int32_t> m_head4;
    std::vector<std::int32_t> m_previous3;
    std::vector<std::int32_t> m_previous4;
};

} // namespace

std::size_t encodeCrushStream(
    int level, const char* input, std::size_t inputLength, char* output, std::size_t outputCapacity)
{
    static constexpr int candidatesPerLevel[] = { 4, 256, 4096 };
    // Positions are held in 32-bit ints, like the decoder's expected length.
    if (!input || !output || inputLength == 0 || inputLength > std::size_t(INT32_MAX) || level < 0 || level > 2)
        return 0;
    const auto* data = reinterpret_cast<const unsigned char*>(input);
    const int length = static_cast<int>(inputLength);
    TCrushMatchFinder finder(data, length, candidatesPerLevel[level]);
    TCrushBitWriter writer(reinterpret_cast<unsigned char*>(output), outputCapacity);

    int p = 0;
    while (p < length) {
        finder.insertUpTo(p);
        TMatch match = finder.find(p);
        if (level >= 2 && match.length >= crushMinMatch && p + 1 < length) {
            finder.insertUpTo(p + 1);
            if (finder.find(p + 1).length > match.length)
                match = {};
        }
        if (match.length < crushMinMatch) {
            if (!writer.write(0, 1) || !writer.write(data[p], 8))
                return 0;
            ++p;
            continue;
        }
        if (!writeMatch(writer, match.length, match.distance))
            return 0;
        p += match.length;
    }
    if (!writer.flush())
        return 0;
    return writer.size();
}

} // namespace packbuf
