#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace packbuf {

// SHA-1 of a byte stream fed in pieces; the container needs it for ZPAQ segment checksums and must
// not depend on anything beyond the standard library for it.
class TSha1
{
public:
    using TDigest = std::array<std::uint8_t, 20>;

    TSha1() { reset(); }
    void reset();
    void update(const void* data, std::size_t length);
    TDigest finish();

private:
    void compress(const std::uint8_t* block);

    std::uint32_t m_state[5];
    std::uint8_t m_block[64];
    std::size_t m_blockLength = 0;
    std::uint64_t m_totalLength = 0;
};

} // namespace packbuf
