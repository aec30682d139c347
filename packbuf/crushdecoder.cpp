#include "crushcodec.h"

#include <cstdint>

namespace packbuf {

namespace {

// Takes bits from each byte starting with its least significant one; never reads past the payload.
class TCrushBitReader
{
public:
    TCrushBitReader(const unsigned char* data, std::size_t length)
        : m_data(data)
        , m_length(length)
    { }

    // False when the payload holds fewer than count further bits.
    bool read(int count, std::uint32_t& value)
    {
        while (m_bitCount < count) {
            if (m_position == m_length)
                return false;
            m_bits |= std::uint64_t(m_data[m_position++]) << m_bitCount;
            m_bitCount += 8;
        }
        value = static_cast<std::uint32_t>(m_bits & ((std::uint64_t(1) << count) - 1));
        m_bits >>= count;
        m_bitCount -= count;
        return true;
    }

private:
    const unsigned char* m_data;
    std::size_t m_length;
    std::size_t m_position = 0;
    std::uint64_t m_bits = 0;
    int m_bitCount = 0;
};

struct TLengthClass
{
    int bits;
    int base;
};

constexpr TLengthClass lengthClasses[] = { { 2, 0 }, { 2, 4 }, { 2, 8 }, { 3, 12 }, { 5, 20 }, { 9, 52 } };
constexpr int lastLengthClass = 5;

bool readMatchLength(TCrushBitReader& reader, int& length)
{
    int lengthClass = 0;
    while (lengthClass < lastLengthClass) {
        std::uint32_t bit = 0;
        if (!reader.read(1, bit))
            return false;
        if (bit)
            break;
        ++lengthClass;
    }
    std::uint32_t code = 0;
    if (!reader.read(lengthClasses[lengthClass].bits, code))
        return false;
    length = lengthClasses[lengthClass].base + static_cast<int>(code) + crushMinMatch;
    return true;
}

bool readMatchDistance(TCrushBitReader& reader, int& distance)
{
    std::uint32_t slot = 0;
    if (!reader.read(4, slot))
        return false;
    std::uint32_t extra = 0;
    if (slot == 0) {
        if (!reader.read(6, extra))
            return false;
        distance = static_cast<int>(extra) + 1;
        return true;
    }
    const int bits = static_cast<int>(slot) + 5;
    if (!reader.read(bits, extra))
        return false;
    distance = (1 << bits) + static_cast<int>(extra) + 1;
    return true;
}

} // namespace

int decodeCrushStream(const char* payload, std::size_t payloadLength, char* output, int expectedLength)
{
    if (expectedLength <= 0 || !payload || !output)
        return 0;
    TCrushBitReader reader(reinterpret_cast<const unsigned char*>(payload), payloadLength);
    int produced = 0;
    while (produced < expectedLength) {
        std::uint32_t flag = 0;
        if (!reader.read(1, flag))
            return 0;
        if (!flag) {
            std::uint32_t byte = 0;
            if (!reader.read(8, byte))
                return 0;
            output[produced++] = static_cast<char>(byte);
            continue;
        }
        int length = 0;
        int distance = 0;
        if (!readMatchLength(reader, length) || !readMatchDistance(reader, distance))
            return 0;
        if (distance > produced || length > expectedLength - produced)
            return 0;
        // Byte by byte, so an overlapping match repeats its last distance bytes.
        const char* source = output + (produced - distance);
        char* target = output + produced;
        for (int i = 0; i < length; ++i)
            target[i] = source[i];
        produced += length;
    }
    return produced;
}

} // namespace packbuf
