#include "sha1.h"

#include <algorithm>
#include <cstring>

namespace packbuf {

namespace {

inline std::uint32_t rotl(std::uint32_t x, int n)
{
    return (x << n) | (x >> (32 - n));
}

} // namespace

void TSha1::reset()
{
    m_state[0] = 0x67452301;
    m_state[1] = 0xEFCDAB89;
    m_state[2] = 0x98BADCFE;
    m_state[3] = 0x10325476;
    m_state[4] = 0xC3D2E1F0;
    m_blockLength = 0;
    m_totalLength = 0;
}

void TSha1::compress(const std::uint8_t* block)
{
    std::uint32_t w[80];
    for (int i = 0; i < 16; ++i)
        w[i] = std::uint32_t(block[4 * i]) << 24 | std::uint32_t(block[4 * i + 1]) << 16
            | std::uint32_t(block[4 * i + 2]) << 8 | block[4 * i + 3];
    for (int i = 16; i < 80; ++i)
        w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    std::uint32_t a = m_state[0], b = m_state[1], c = m_state[2], d = m_state[3], e = m_state[4];
    for (int i = 0; i < 80; ++i) {
        std::uint32_t f, k;
        if (i < 20) {
            f = (b & c) | (~b & d);
            k = 0x5A827999;
        } else if (i < 40) {
            f = b ^ c ^ d;
            k = 0x6ED9EBA1;
        } else if (i < 60) {
            f = (b & c) | (b & d) | (c & d);
            k = 0x8F1BBCDC;
        } else {
            f = b ^ c ^ d;
            k = 0xCA62C1D6;
        }
        const std::uint32_t t = rotl(a, 5) + f + e + k + w[i];
        e = d;
        d = c;
        c = rotl(b, 30);
        b = a;
        a = t;
    }
    m_state[0] += a;
    m_state[1] += b;
    m_state[2] += c;
    m_state[3] += d;
    m_state[4] += e;
}

void TSha1::update(const void* data, std::size_t length)
{
    auto bytes = static_cast<const std::uint8_t*>(data);
    m_totalLength += length;
    if (m_blockLength > 0) {
        const std::size_t take = std::min(length, sizeof m_block - m_blockLength);
        std::memcpy(m_block + m_blockLength, bytes, take);
        m_blockLength += take;
        bytes += take;
        length -= take;
        if (m_blockLength < sizeof m_block)
            return;
        compress(m_block);
        m_blockLength = 0;
    }
    for (; length >= 64; bytes += 64, length -= 64)
        compress(bytes);
    std::memcpy(m_block, bytes, length);
    m_blockLength = length;
}

TSha1::TDigest TSha1::finish()
{
    const std::uint64_t bits = m_totalLength * 8;
    std::uint8_t pad[72] = { 0x80 };
    const std::size_t padLength = (m_blockLength < 56 ? 56 : 120) - m_blockLength;
    for (int i = 0; i < 8; ++i)
        pad[padLength + i] = std::uint8_t(bits >> (56 - 8 * i));
    update(pad, padLength + 8);
    TDigest digest;
    for (int i = 0; i < 20; ++i)
        digest[i] = std::uint8_t(m_state[i / 4] >> (24 - 8 * (i % 4)));
    reset();
    return digest;
}

} // namespace packbuf
