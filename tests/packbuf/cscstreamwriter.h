#pragma once

// Builds CSC streams symbol by symbol for the decoder tests: the range and bit coders, the models and
// the LZ state kept in step with the decoder, and the stream-block framing. It has no match finder or
// parser; each test states the symbols it wants.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace packbuftest {

class TCscStreamWriter
{
public:
    enum EBlockOrder { RangeBlocksFirst, BitBlocksFirst, Alternating };

    TCscStreamWriter(std::uint32_t window, std::uint32_t streamBlock, std::uint32_t rawBlock)
        : m_window(window)
        , m_streamBlock(streamBlock)
        , m_rawBlock(rawBlock)
        , m_mirror(window, 0)
        , m_literal(256 * 256, 2048)
        , m_secondLiteral(256 * 256, 2048)
    {
        std::fill_n(&m_kind[0][0], 64 * 3, 2048);
        std::fill_n(&m_repeatIndex[0][0], 64 * 4, 2048);
        std::fill(std::begin(m_lengthLow), std::end(m_lengthLow), 2048);
        std::fill(std::begin(m_lengthMid), std::end(m_lengthMid), 2048);
        std::fill(std::begin(m_lengthHigh), std::end(m_lengthHigh), 2048);
        std::fill(std::begin(m_slot), std::end(m_slot), 2048);
        std::fill_n(&m_align[0][0], 32 * 16, 2048);
        resetCoders();
    }

    // --- bit coder ---
    void rawBits(std::uint32_t value, int count)
    {
        for (int i = count - 1; i >= 0; --i) {
            m_bitAccumulator = (m_bitAccumulator << 1) | ((value >> i) & 1);
            if (++m_bitCount == 8) {
                m_bitBytes += char(m_bitAccumulator);
                m_bitAccumulator = 0;
                m_bitCount = 0;
            }
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
        const std::uint32_t rest = value - (std::uint32_t(1) << n);
        if (n <= 16) {
            rawBits(rest, n);
        } else {
            rawBits(rest >> 16, n - 16);
            rawBits(rest & 0xFFFF, 16);
        }
    }

    // --- LZ symbols ---
    void literal(unsigned char byte)
    {
        bit(m_kind[m_state][0], 0);
        tree(&m_literal[std::size_t(m_previous) * 256], 8, byte);
        m_state = (4 * m_state) % 64;
        toWindow(byte);
    }

    void literals(const std::string& bytes)
    {
        for (unsigned char c : bytes)
            literal(c);
    }

    void shortRepeat()
    {
        bit(m_kind[m_state][0], 1);
        bit(m_kind[m_state][1], 0);
        bit(m_kind[m_state][2], 0);
        m_state = (4 * m_state + 2) % 64;
        copy(m_repeats[0], 1);
    }

    void repeatMatch(int index, std::uint32_t length)
    {
        bit(m_kind[m_state][0], 1);
        bit(m_kind[m_state][1], 0);
        bit(m_kind[m_state][2], 1);
        tree(m_repeatIndex[m_state], 2, std::uint32_t(index));
        lengthWithEscapes(length - 2);
        m_state = (4 * m_state + 3) % 64;
        const std::uint32_t distance = m_repeats[index];
        for (int i = index; i > 0; --i)
            m_repeats[i] = m_repeats[i - 1];
        m_repeats[0] = distance;
        copy(distance, length);
    }

    void match(std::uint32_t distance, std::uint32_t length)
    {
        matchSymbol(length - 2, distance - 1);
        m_repeats[3] = m_repeats[2];
        m_repeats[2] = m_repeats[1];
        m_repeats[1] = m_repeats[0];
        m_repeats[0] = distance;
        copy(distance, length);
    }

    void endMarker() { matchSymbol(0, 64); }

    // --- literal-block and delta-block symbols ---
    void blockLiteral(unsigned char byte)
    {
        tree(&m_literal[std::size_t(m_previous) * 256], 8, byte);
        m_previous = byte;
    }

    void deltaLiteral(unsigned char byte)
    {
        bit(m_runFlag, 0);
        tree(&m_secondLiteral[std::size_t(m_lastDelta) * 256], 8, byte);
        m_lastDelta = byte;
    }

    void deltaRun(std::uint32_t count)
    {
        bit(m_runFlag, 1);
        lengthWithEscapes(count - 11);
    }

    void resetDelta() { m_lastDelta = 0; }

    // The block's bytes enter the window after the block, as the decoder does for these types.
    void appendToWindow(const std::string& bytes)
    {
        for (unsigned char c : bytes) {
            m_mirror[m_position] = c;
            if (++m_position == m_window)
                m_position = 0;
        }
    }

    // --- whole blocks ---
    void tail(std::uint32_t value)
    {
        integer(value);
        if (value == 1)
            endSegment();
    }

    void lzBlock(const std::string& bytes, std::uint32_t tailValue = 0)
    {
        integer(1);
        literals(bytes);
        endMarker();
        tail(tailValue);
    }

    void literalBlock(const std::string& bytes, std::uint32_t tailValue = 0)
    {
        integer(7);
        integer(std::uint32_t(bytes.size()));
        for (unsigned char c : bytes)
            blockLiteral(c);
        appendToWindow(bytes);
        tail(tailValue);
    }

    void storedBlock(const std::string& bytes, std::uint32_t tailValue = 0)
    {
        integer(8);
        integer(std::uint32_t(bytes.size()));
        for (unsigned char c : bytes)
            rawBits(c, 8);
        appendToWindow(bytes);
        tail(tailValue);
    }

    // Delta-filters the bytes as the decoder's inverse expects (from 512 bytes on) and codes the
    // symbols, using runs for 11 or more repeats of the symbol before them.
    void deltaBlock(const std::string& bytes, int stride, std::uint32_t tailValue = 0)
    {
        static const int types[] = { 0, 16, 17, 18, 19, 0, 0, 0, 20 };
        integer(std::uint32_t(types[stride]));
        integer(std::uint32_t(bytes.size()));
        const std::string symbols = deltaFilter(bytes, std::size_t(stride));
        resetDelta();
        std::size_t i = 0;
        while (i < symbols.size()) {
            std::size_t run = 0;
            if (i > 0)
                while (i + run < symbols.size() && symbols[i + run] == symbols[i - 1])
                    ++run;
            if (run >= 11) {
                run = std::min<std::size_t>(run, 11 + 143 * 3 + 100);
                deltaRun(std::uint32_t(run));
                i += run;
                continue;
            }
            deltaLiteral(static_cast<unsigned char>(symbols[i++]));
        }
        appendToWindow(bytes);
        tail(tailValue);
    }

    void endBlock()
    {
        integer(9);
        tail(0);
    }

    static std::string deltaFilter(const std::string& bytes, std::size_t stride)
    {
        if (bytes.size() < 512)
            return bytes;
        std::string out;
        unsigned char sum = 0;
        for (std::size_t lane = 0; lane < std::min(stride, bytes.size()); ++lane) {
            for (std::size_t q = lane; q < bytes.size(); q += stride) {
                out += char(static_cast<unsigned char>(bytes[q]) - sum);
                sum = static_cast<unsigned char>(bytes[q]);
            }
        }
        return out;
    }

    std::string properties() const
    {
        std::string bytes;
        for (int shift : { 24, 16, 8, 0 })
            bytes += char(m_window >> shift);
        for (int shift : { 16, 8, 0 })
            bytes += char(m_streamBlock >> shift);
        for (int shift : { 16, 8, 0 })
            bytes += char(m_rawBlock >> shift);
        return bytes;
    }

    // The properties and every stream block; the current coder data is flushed as the last segment.
    std::string finish(EBlockOrder order = RangeBlocksFirst)
    {
        endSegment();
        std::string stream = properties();
        for (const auto& [range, bits] : m_segments) {
            const std::vector<std::string> rangeBlocks = frame(range, true);
            const std::vector<std::string> bitBlocks = frame(bits, false);
            if (order == Alternating) {
                for (std::size_t i = 0; i < std::max(rangeBlocks.size(), bitBlocks.size()); ++i) {
                    if (i < rangeBlocks.size())
                        stream += rangeBlocks[i];
                    if (i < bitBlocks.size())
                        stream += bitBlocks[i];
                }
                continue;
            }
            const auto& first = order == RangeBlocksFirst ? rangeBlocks : bitBlocks;
            const auto& second = order == RangeBlocksFirst ? bitBlocks : rangeBlocks;
            for (const std::string& block : first)
                stream += block;
            for (const std::string& block : second)
                stream += block;
        }
        m_segments.clear();
        return stream;
    }

private:
    void bit(std::uint16_t& probability, int value)
    {
        const std::uint32_t bound = (m_range >> 12) * probability;
        if (value) {
            m_range = bound;
            probability += (4095 - probability) >> 5;
        } else {
            m_low += bound;
            m_range -= bound;
            probability -= probability >> 5;
        }
        if (m_range < (1u << 24)) {
            m_range <<= 8;
            shiftLow();
        }
    }

    void tree(std::uint16_t* model, int bits, std::uint32_t value)
    {
        std::uint32_t m = 1;
        for (int i = bits - 1; i >= 0; --i) {
            const int b = int((value >> i) & 1);
            bit(model[m], b);
            m = 2 * m + std::uint32_t(b);
        }
    }

    void shiftLow()
    {
        if (std::uint32_t(m_low) < 0xFF000000u || (m_low >> 32) != 0) {
            const auto carry = static_cast<unsigned char>(m_low >> 32);
            unsigned char temp = m_cache;
            do {
                m_rangeBytes += char(static_cast<unsigned char>(temp + carry));
                temp = 0xFF;
            } while (--m_cacheSize != 0);
            m_cache = static_cast<unsigned char>(m_low >> 24);
        }
        ++m_cacheSize;
        m_low = (m_low & 0x00FFFFFFu) << 8;
    }

    void length(std::uint32_t v)
    {
        if (v < 8) {
            bit(m_lengthChoice1, 0);
            tree(m_lengthLow, 3, v);
        } else if (v < 16) {
            bit(m_lengthChoice1, 1);
            bit(m_lengthChoice2, 0);
            tree(m_lengthMid, 3, v - 8);
        } else {
            bit(m_lengthChoice1, 1);
            bit(m_lengthChoice2, 1);
            tree(m_lengthHigh, 7, v - 16);
        }
    }

    void lengthWithEscapes(std::uint32_t v)
    {
        if (v < 143) {
            length(v);
            return;
        }
        length(143);
        std::uint32_t rest = v - 143;
        while (rest >= 143) {
            bit(m_lengthEscape, 0);
            rest -= 143;
        }
        bit(m_lengthEscape, 1);
        length(rest);
    }

    static std::uint32_t reverse4(std::uint32_t m)
    {
        return 8 * (m & 1) + 4 * ((m >> 1) & 1) + 2 * ((m >> 2) & 1) + ((m >> 3) & 1);
    }

    void matchSymbol(std::uint32_t v, std::uint32_t value)
    {
        bit(m_kind[m_state][0], 1);
        bit(m_kind[m_state][1], 1);
        lengthWithEscapes(v);
        static const int offsets[] = { 0, 8, 24, 40, 72, 104, 136 };
        static const int depths[] = { 3, 4, 4, 5, 5, 5, 5 };
        const std::uint32_t treeIndex = std::min<std::uint32_t>(v, 6);
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
        tree(m_slot + offsets[treeIndex], depths[treeIndex], slot);
        if (slot >= 3) {
            const std::uint32_t base = slot <= 3 ? slot : (1u << (slot - 2)) + 1;
            const std::uint32_t offset = value - base;
            if (slot >= 7) {
                const int extraBits = int(slot) - 6;
                const std::uint32_t extra = offset >> 4;
                if (extraBits > 16) {
                    rawBits(extra >> 16, extraBits - 16);
                    rawBits(extra & 0xFFFF, 16);
                } else {
                    rawBits(extra, extraBits);
                }
            }
            tree(m_align[slot], 4, reverse4(offset & 15));
        }
        m_state = (4 * m_state + 1) % 64;
    }

    void toWindow(unsigned char byte)
    {
        m_mirror[m_position] = byte;
        if (++m_position == m_window)
            m_position = 0;
        m_previous = byte;
    }

    void copy(std::uint32_t distance, std::uint32_t length)
    {
        const std::uint32_t source = m_position >= distance ? m_position - distance : m_position + m_window - distance;
        for (std::uint32_t i = 0; i < length; ++i)
            toWindow(m_mirror[(source + i) % m_window]);
    }

    void resetCoders()
    {
        m_low = 0;
        m_range = 0xFFFFFFFFu;
        m_cache = 0;
        m_cacheSize = 1;
        m_rangeBytes.clear();
        m_bitBytes.clear();
        m_bitAccumulator = 0;
        m_bitCount = 0;
    }

    // Flushes both coders: five range-coder bytes and one padding byte; the bit coder's last partial
    // byte left-aligned and one zero byte.
    void endSegment()
    {
        for (int i = 0; i < 5; ++i)
            shiftLow();
        m_rangeBytes += '\0';
        if (m_bitCount > 0)
            m_bitBytes += char(m_bitAccumulator << (8 - m_bitCount));
        m_bitBytes += '\0';
        m_segments.emplace_back(m_rangeBytes, m_bitBytes);
        resetCoders();
    }

    // The decoder may stop one byte short of a range-coder segment's end, and it reads a block only
    // when it needs a byte or has used up the block before; so the padding byte must never sit alone in
    // a block of its own. The last two blocks are then cut as S - 1 and 2 bytes. (S must exceed 5.)
    std::vector<std::string> frame(const std::string& bytes, bool range) const
    {
        std::vector<std::string> blocks;
        const bool avoidLonePadding = range && bytes.size() > m_streamBlock && bytes.size() % m_streamBlock == 1;
        for (std::size_t offset = 0; offset < bytes.size();) {
            std::size_t size = std::min<std::size_t>(m_streamBlock, bytes.size() - offset);
            if (avoidLonePadding && bytes.size() - offset == m_streamBlock + 1)
                size = m_streamBlock - 1;
            std::string block(1, char((range ? 0x80 : 0) | (size == m_streamBlock ? 0x40 : 0)));
            if (size != m_streamBlock) {
                block += char(size >> 16);
                block += char(size >> 8);
                block += char(size);
            }
            blocks.push_back(block + bytes.substr(offset, size));
            offset += size;
        }
        return blocks;
    }

    std::uint32_t m_window;
    std::uint32_t m_streamBlock;
    std::uint32_t m_rawBlock;
    std::vector<unsigned char> m_mirror;
    std::uint32_t m_position = 0;
    std::uint32_t m_state = 0;
    std::uint32_t m_repeats[4] = {};
    unsigned char m_previous = 0;
    unsigned char m_lastDelta = 0;

    std::vector<std::uint16_t> m_literal;
    std::vector<std::uint16_t> m_secondLiteral;
    std::uint16_t m_kind[64][3];
    std::uint16_t m_repeatIndex[64][4];
    std::uint16_t m_lengthChoice1 = 2048;
    std::uint16_t m_lengthChoice2 = 2048;
    std::uint16_t m_lengthLow[8];
    std::uint16_t m_lengthMid[8];
    std::uint16_t m_lengthHigh[128];
    std::uint16_t m_lengthEscape = 2048;
    std::uint16_t m_slot[168];
    std::uint16_t m_align[32][16];
    std::uint16_t m_runFlag = 2048;

    std::uint64_t m_low = 0;
    std::uint32_t m_range = 0;
    unsigned char m_cache = 0;
    std::uint64_t m_cacheSize = 1;
    std::string m_rangeBytes;
    std::string m_bitBytes;
    std::uint32_t m_bitAccumulator = 0;
    int m_bitCount = 0;
    std::vector<std::pair<std::string, std::string>> m_segments;
};

} // namespace packbuftest
