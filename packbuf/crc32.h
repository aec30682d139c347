#pragma once

#include <cstddef>
#include <cstdint>

namespace packbuf {

// CRC-32 of the IEEE polynomial (reflected 0xEDB88320). The register starts at crc32Preset and the
// stored checksum is the register inverted, as in the lzip trailer.
inline constexpr std::uint32_t crc32Preset = 0xFFFFFFFFu;

std::uint32_t crc32Update(std::uint32_t reg, const void* data, std::size_t length);

inline std::uint32_t crc32(const void* data, std::size_t length)
{
    return ~crc32Update(crc32Preset, data, length);
}

} // namespace packbuf
