#include "crc32.h"

#include <array>

namespace packbuf {

namespace {

using TCrcTables = std::array<std::array<std::uint32_t, 256>, 8>;

// Table 0 is the classic byte-at-a-time table; tables 1 to 7 advance a byte through further zero bytes,
// so eight bytes fold in one step with the same result. Built at compile time, so concurrent decoders
// only ever read them.
constexpr TCrcTables makeCrc32Tables()
{
    TCrcTables tables {};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t value = i;
        for (int bit = 0; bit < 8; ++bit)
            value = (value >> 1) ^ ((value & 1u) ? 0xEDB88320u : 0u);
        tables[0][i] = value;
    }
    for (std::size_t t = 1; t < tables.size(); ++t)
        for (std::uint32_t i = 0; i < 256; ++i)
            tables[t][i] = (tables[t - 1][i] >> 8) ^ tables[0][tables[t - 1][i] & 0xFFu];
    return tables;
}

constexpr TCrcTables crc32Tables = makeCrc32Tables();

} // namespace

std::uint32_t crc32Update(std::uint32_t reg, const void* data, std::size_t length)
{
    const auto* bytes = static_cast<const unsigned char*>(data);
    const auto& t = crc32Tables;
    // The CRC runs over every unpacked byte; eight at a time keeps it off the decoder's critical path.
    while (length >= 8) {
        const std::uint32_t low = reg
            ^ (std::uint32_t(bytes[0]) | std::uint32_t(bytes[1]) << 8 | std::uint32_t(bytes[2]) << 16
                | std::uint32_t(bytes[3]) << 24);
        reg = t[7][low & 0xFFu] ^ t[6][(low >> 8) & 0xFFu] ^ t[5][(low >> 16) & 0xFFu] ^ t[4][low >> 24]
            ^ t[3][bytes[4]] ^ t[2][bytes[5]] ^ t[1][bytes[6]] ^ t[0][bytes[7]];
        bytes += 8;
        length -= 8;
    }
    while (length-- > 0)
        reg = t[0][(reg ^ *bytes++) & 0xFFu] ^ (reg >> 8);
    return reg;
}

} // namespace packbuf
