#include "zpaqmodel.h"

#include "zpaqvm.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace packbuf {

namespace {

enum TComponentType : std::uint8_t { CONST = 1, CM, ICM, MATCH, AVG, MIX2, MIX, ISSE, SSE };

// Record length by type, the type byte included.
constexpr std::size_t recordLength[10] = { 0, 2, 3, 2, 3, 4, 6, 6, 3, 5 };

// Count pairs (n0, n1) that a bit-history state may stand for.
bool allowedPair(int n0, int n1)
{
    static constexpr int bound[6] = { 20, 48, 15, 8, 6, 5 };
    const int a = std::max(n0, n1), b = std::min(n0, n1);
    return b <= 5 && a <= bound[b];
}

bool twoStates(int n0, int n1)
{
    return std::min(n0, n1) >= 1 && n0 + n1 <= 17;
}

// The pair a state of pair (n0, n1) moves to on bit y.
void nextPair(int& n0, int& n1, int y)
{
    if (n0 < n1) {
        nextPair(n1, n0, 1 - y);
        return;
    }
    // Keep the count of the bit not seen, discounted: 0 ... 5 stay, 6 -> 5, 7 -> 6, 8 and more -> 7.
    auto discount = [](int x) {
        static constexpr int thresholds[7] = { 1, 2, 3, 4, 5, 7, 8 };
        int r = 0;
        for (int t : thresholds)
            r += x >= t;
        return r;
    };
    if (y) {
        ++n1;
        n0 = discount(n0);
    } else {
        ++n0;
        n1 = discount(n1);
    }
    while (!allowedPair(n0, n1)) {
        if (n1 < 2) {
            --n0;
        } else {
            n0 = (n0 * (n1 - 1) + n1 / 2) / n1;
            --n1;
        }
    }
}

// Mixer arithmetic. Inputs are stretched probabilities within +-2047 and weights / 256 lie within
// -2048 ... 2047, so both fit 16 bits and the products are exact in 16-bit multiply-adds.
std::int32_t mixDot(const std::int32_t* w, const std::int32_t* in, std::size_t n)
{
    std::int32_t dot = 0;
    std::size_t u = 0;
#ifdef __SSE2__
    __m128i sum = _mm_setzero_si128();
    for (; u + 8 <= n; u += 8) {
        const __m128i w0 = _mm_srai_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w + u)), 8);
        const __m128i w1 = _mm_srai_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w + u + 4)), 8);
        const __m128i p0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + u));
        const __m128i p1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + u + 4));
        sum = _mm_add_epi32(sum, _mm_madd_epi16(_mm_packs_epi32(w0, w1), _mm_packs_epi32(p0, p1)));
    }
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0x4E));
    sum = _mm_add_epi32(sum, _mm_shuffle_epi32(sum, 0xB1));
    dot = _mm_cvtsi128_si32(sum);
#endif
    for (; u < n; ++u)
        dot += (w[u] >> 8) * in[u];
    return dot;
}

// w[u] += (error * in[u] + 4096) >> 13, kept within 20 bits; the products fit 32 bits.
void mixTrain(std::int32_t* w, const std::int32_t* in, std::size_t n, std::int32_t error)
{
    std::size_t u = 0;
#ifdef __SSE2__
    const __m128i e = _mm_set1_epi32(error);
    const __m128i round = _mm_set1_epi32(4096);
    const __m128i high = _mm_set1_epi32(524287), low = _mm_set1_epi32(-524288);
    for (; u + 4 <= n; u += 4) {
        const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + u));
        // Low 32 bits of the four products from two 32 x 32 -> 64 multiplies.
        const __m128i even = _mm_mul_epu32(e, x);
        const __m128i odd = _mm_mul_epu32(e, _mm_srli_epi64(x, 32));
        const __m128i product = _mm_unpacklo_epi32(_mm_shuffle_epi32(even, 0x08), _mm_shuffle_epi32(odd, 0x08));
        __m128i v = _mm_add_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w + u)),
            _mm_srai_epi32(_mm_add_epi32(product, round), 13));
        __m128i over = _mm_cmpgt_epi32(v, high);
        v = _mm_or_si128(_mm_and_si128(over, high), _mm_andnot_si128(over, v));
        over = _mm_cmpgt_epi32(low, v);
        v = _mm_or_si128(_mm_and_si128(over, low), _mm_andnot_si128(over, v));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(w + u), v);
    }
#endif
    for (; u < n; ++u)
        w[u] = std::clamp(w[u] + ((error * in[u] + 4096) >> 13), -524288, 524287);
}

} // namespace

const TZpaqTables& TZpaqTables::instance()
{
    static const TZpaqTables tables;
    return tables;
}

TZpaqTables::TZpaqTables()
{
    for (int x = -2047; x <= 2047; ++x)
        squashTable[x + 2047] = std::int16_t(std::floor(32768.0 / (1.0 + std::exp(-x / 64.0))));
    for (int p = 0; p < 32768; ++p)
        stretchTable[p] = std::int16_t(std::floor(64.0 * std::log((p + 0.5) / (32767.5 - p)) + 0.5));
    for (int c = 0; c < 1024; ++c)
        dt[c] = 2 * ((1u << 17) / (2 * c + 3));

    // Number the states: by total count, then by n1; pairs with two states give the "last bit 0"
    // state the lower number.
    int first[64][64]; // first state number of a pair, -1 when not allowed
    int pairN0[256] = {}, pairN1[256] = {};
    int count = 0;
    for (int total = 0; total < 64; ++total)
        for (int n1 = 0; n1 <= total; ++n1) {
            const int n0 = total - n1;
            if (n0 >= 64 || n1 >= 64)
                continue;
            first[n0][n1] = -1;
            if (!allowedPair(n0, n1))
                continue;
            first[n0][n1] = count;
            const int states = twoStates(n0, n1) ? 2 : 1;
            for (int i = 0; i < states; ++i, ++count) {
                pairN0[count] = n0;
                pairN1[count] = n1;
            }
        }
    std::memset(next, 0, sizeof next);
    std::memset(stateInit, 0, sizeof stateInit);
    for (int s = 0; s < count; ++s) {
        const int n0 = pairN0[s], n1 = pairN1[s];
        for (int y = 0; y < 2; ++y) {
            int m0 = n0, m1 = n1;
            nextPair(m0, m1, y);
            next[s][y] = std::uint8_t(first[m0][m1] + (twoStates(m0, m1) ? y : 0));
        }
        stateInit[s] = std::uint32_t((std::uint64_t(2 * n1 + 1) << 22) / (n0 + n1 + 1));
    }
}

std::size_t TZpaqPredictor::parse(const std::uint8_t* data, std::size_t available, unsigned n)
{
    m_components.clear();
    m_components.resize(n);
    std::size_t at = 0;
    for (unsigned i = 0; i < n; ++i) {
        if (at >= available)
            return 0;
        const std::uint8_t type = data[at];
        if (type < CONST || type > SSE || available - at < recordLength[type])
            return 0;
        const std::uint8_t* r = data + at;
        at += recordLength[type];
        TComponent& c = m_components[i];
        c.type = type;
        switch (type) {
        case CONST:
            c.constant = (int(r[1]) - 128) * 4;
            break;
        case CM:
            c.s = r[1];
            c.limit = 4u * r[2];
            break;
        case ICM:
            c.s = r[1];
            break;
        case MATCH:
            c.s = r[1];
            c.b = r[2];
            if (c.b > 32)
                return 0;
            break;
        case AVG:
            c.j = r[1];
            c.k = r[2];
            c.wt = r[3];
            if (c.j >= i || c.k >= i)
                return 0;
            break;
        case MIX2:
            c.s = r[1];
            c.j = r[2];
            c.k = r[3];
            c.rate = r[4];
            c.mask = r[5];
            if (c.j >= i || c.k >= i)
                return 0;
            break;
        case MIX:
            c.s = r[1];
            c.j = r[2];
            c.k = r[3]; // the number of inputs
            c.rate = r[4];
            c.mask = r[5];
            if (c.j >= i || c.k < 1 || c.k > i - c.j)
                return 0;
            break;
        case ISSE:
            c.s = r[1];
            c.j = r[2];
            if (c.j >= i)
                return 0;
            break;
        case SSE:
            c.s = r[1];
            c.j = r[2];
            c.constant = r[3]; // start count
            c.limit = 4u * r[4];
            if (c.j >= i)
                return 0;
            break;
        }
        // Table sizes are powers of two of at most 2^32 entries; ICM and ISSE tables hold four
        // buckets of 16 bytes per context.
        if (c.s > 32 || ((type == ICM || type == ISSE) && c.s > 30))
            return 0;
    }
    return at;
}

std::uint64_t TZpaqPredictor::memoryNeeded() const
{
    std::uint64_t total = 0;
    for (const TComponent& c : m_components) {
        const std::uint64_t entries = std::uint64_t(1) << c.s;
        switch (c.type) {
        case CM:
            total += 4 * entries;
            break;
        case ICM:
            total += 64 * entries + 1024;
            break;
        case MATCH:
            total += 4 * entries + (std::uint64_t(1) << c.b);
            break;
        case MIX2:
            total += 4 * entries;
            break;
        case MIX:
            total += 4 * entries * c.k;
            break;
        case ISSE:
            total += 64 * entries + 2048;
            break;
        case SSE:
            total += 128 * entries;
            break;
        default:
            break;
        }
    }
    return total;
}

void TZpaqPredictor::allocate()
{
    const std::size_t n = m_components.size();
    m_p.assign(n, 0);
    m_h.assign(n, 0);
    m_c8 = 1;
    m_k = 1;
    m_bit = 0;
    m_bucketed.clear();
    m_rowed.clear();
    m_matched.clear();
    for (std::uint32_t i = 0; i < n; ++i) {
        const std::uint8_t type = m_components[i].type;
        if (type == ICM || type == ISSE)
            m_bucketed.push_back(i);
        else if (type == CM || type == SSE)
            m_rowed.push_back(i);
        else if (type == MATCH)
            m_matched.push_back(i);
    }
    for (TComponent& c : m_components) {
        const std::size_t entries = std::size_t(1) << c.s;
        c.sizeMask = std::uint32_t(entries - 1);
        c.cxt = 0;
        c.slot = 0;
        switch (c.type) {
        case CM:
            c.words.reset(entries);
            std::fill_n(c.words.data(), entries, 0x80000000u);
            break;
        case ICM:
            c.allocateBytes(entries * 64);
            c.weights.resize(256);
            for (int st = 0; st < 256; ++st)
                c.weights[st] = std::int32_t(m_tables.stateInit[st]);
            break;
        case MATCH:
            c.pointers.reset(entries);
            c.allocateBytes(std::size_t(1) << c.b);
            c.bufferMask = std::uint32_t((std::size_t(1) << c.b) - 1);
            c.length = c.offset = c.position = 0;
            c.predictedBit = 0;
            break;
        case MIX2:
            c.weights.assign(entries, 32768);
            break;
        case MIX:
            c.weights.assign(entries * c.k, 65536 / c.k);
            break;
        case ISSE:
            c.allocateBytes(entries * 64);
            c.weights.resize(512);
            for (int st = 0; st < 256; ++st) {
                c.weights[2 * st] = 32768;
                c.weights[2 * st + 1]
                    = std::clamp(m_tables.stretchTable[m_tables.stateInit[st] >> 8] * 1024, -524288, 524287);
            }
            break;
        case SSE:
            c.words.reset(entries * 32);
            for (std::size_t row = 0; row < entries; ++row)
                for (int u = 0; u < 32; ++u)
                    c.words[row * 32 + u]
                        = std::uint32_t(m_tables.squash(64 * u - 992)) << 17 | std::uint32_t(c.constant);
            break;
        default:
            break;
        }
    }
}

void TZpaqPredictor::TComponent::allocateBytes(std::size_t n)
{
    constexpr std::size_t line = 64;
    byteStorage.reset(n + line);
    const auto address = reinterpret_cast<std::uintptr_t>(byteStorage.data());
    bytes = byteStorage.data() + (line - address % line) % line;
}

std::uint32_t TZpaqPredictor::find(TComponent& c, std::uint32_t key)
{
    const unsigned bits = c.s + 2u;
    const std::uint32_t check = bits < 32 ? (key >> bits) & 255 : 0;
    const std::uint32_t mask = std::uint32_t((std::uint64_t(1) << bits) - 1);
    const std::uint32_t i0 = key & mask;
    std::uint8_t* t = c.bytes;
    const std::size_t b0 = std::size_t(i0) * 16, b1 = std::size_t(i0 ^ 1) * 16, b2 = std::size_t(i0 ^ 2) * 16;
    if (t[b0] == check)
        return std::uint32_t(b0);
    if (t[b1] == check)
        return std::uint32_t(b1);
    if (t[b2] == check)
        return std::uint32_t(b2);
    // Replace the bucket with the least history in its first node.
    const std::uint8_t q0 = t[b0 + 1], q1 = t[b1 + 1], q2 = t[b2 + 1];
    const std::size_t pick = (q0 <= q1 && q0 <= q2) ? b0 : (q1 < q2 ? b1 : b2);
    std::memset(t + pick, 0, 16);
    t[pick] = std::uint8_t(check);
    return std::uint32_t(pick);
}

std::uint32_t TZpaqPredictor::predict()
{
    return predictInline();
}

[[gnu::always_inline]] inline std::uint32_t TZpaqPredictor::predictInline()
{
    const TZpaqTables& tb = m_tables;
    const std::int16_t* stretch = tb.stretchTable;
    std::int32_t* p = m_p.data();
    const std::size_t n = m_components.size();
    const bool newNibble = m_bit == 0 || m_bit == 4;
    for (std::size_t i = 0; i < n; ++i) {
        TComponent& c = m_components[i];
        switch (c.type) {
        case CONST:
            p[i] = c.constant;
            break;
        case CM:
            c.cxt = (m_h[i] ^ m_k) & c.sizeMask;
            p[i] = stretch[c.words[c.cxt] >> 17];
            break;
        case ICM:
            if (newNibble)
                c.slot = find(c, m_h[i] + 16 * m_c8);
            c.cxt = c.slot + (m_k & 15);
            p[i] = stretch[std::uint32_t(c.weights[c.bytes[c.cxt]]) >> 8];
            break;
        case MATCH:
            if (c.length == 0) {
                p[i] = 0;
            } else {
                c.predictedBit = (c.bytes[(c.position - c.offset) & c.bufferMask] >> (7 - m_bit)) & 1;
                const int d = 2048 / int(c.length);
                p[i] = stretch[c.predictedBit ? 32768 - d : d];
            }
            break;
        case AVG:
            p[i] = (p[c.j] * c.wt + p[c.k] * (256 - c.wt)) >> 8;
            break;
        case MIX2: {
            c.cxt = (m_h[i] + (m_c8 & c.mask)) & c.sizeMask;
            const std::int32_t w = c.weights[c.cxt];
            p[i] = (w * p[c.j] + (65536 - w) * p[c.k]) >> 16;
        } break;
        case MIX: {
            const std::size_t m = c.k;
            c.cxt = std::uint32_t(((m_h[i] + (m_c8 & c.mask)) & c.sizeMask) * m);
            p[i] = std::clamp(mixDot(c.weights.data() + std::size_t(c.cxt), p + c.j, m) >> 8, -2047, 2047);
        } break;
        case ISSE: {
            if (newNibble)
                c.slot = find(c, m_h[i] + 16 * m_c8);
            c.cxt = c.slot + (m_k & 15);
            const std::int32_t* w = c.weights.data() + 2 * c.bytes[c.cxt];
            p[i] = std::clamp((w[0] * p[c.j] + w[1] * 64) >> 16, -2047, 2047);
        } break;
        case SSE: {
            const std::uint32_t row = (m_h[i] + m_c8) & c.sizeMask;
            const int v = std::clamp(p[c.j] + 992, 0, 1983);
            const int w = v & 63;
            const std::uint32_t u = std::uint32_t(v >> 6);
            const std::uint32_t* e = c.words.data() + std::size_t(row) * 32 + u;
            p[i] = stretch[((e[0] >> 10) * std::uint32_t(64 - w) + (e[1] >> 10) * std::uint32_t(w)) >> 13];
            c.cxt = row * 32 + u + (w >= 32);
            // The next bit reads one of the two rows after 2 * c8: ask for them a bit ahead, as
            // one row of a large table is a cache miss every time.
            if (m_bit < 7) {
                const std::uint32_t* next = c.words.data() + std::size_t((m_h[i] + 2 * m_c8) & c.sizeMask) * 32;
                const std::uint32_t* other = c.words.data() + std::size_t((m_h[i] + 2 * m_c8 + 1) & c.sizeMask) * 32;
                __builtin_prefetch(next);
                __builtin_prefetch(next + 16);
                __builtin_prefetch(other);
                __builtin_prefetch(other + 16);
            }
        } break;
        }
    }
    return 2 * std::uint32_t(tb.squash(p[n - 1])) + 1;
}

namespace {

inline void train(std::uint32_t& e, int y, std::uint32_t limit, const std::uint32_t* dt)
{
    const std::uint32_t count = e & 1023;
    const std::int64_t error = 32767 * y - std::int64_t(e >> 17);
    e += std::uint32_t((error * dt[count]) & ~std::int64_t(1023)) + (count < limit);
}

} // namespace

void TZpaqPredictor::update(int y)
{
    updateInline(y);
}

[[gnu::always_inline]] inline void TZpaqPredictor::updateInline(int y)
{
    const TZpaqTables& tb = m_tables;
    const std::int32_t* p = m_p.data();
    const std::size_t n = m_components.size();
    for (std::size_t i = 0; i < n; ++i) {
        TComponent& c = m_components[i];
        switch (c.type) {
        case CM:
            train(c.words[c.cxt], y, c.limit, tb.dt);
            break;
        case ICM: {
            std::uint8_t& state = c.bytes[c.cxt];
            std::int32_t& q = c.weights[state];
            q += (32767 * y - (q >> 8)) >> 2;
            state = tb.next[state][y];
        } break;
        case MATCH: {
            if (c.length > 0 && c.predictedBit != y)
                c.length = 0;
            std::uint8_t& slot = c.bytes[c.position & c.bufferMask];
            slot = std::uint8_t(slot * 2 + y);
            if (m_bit == 7) {
                c.position = (c.position + 1) & c.bufferMask;
                std::uint32_t& pointer = c.pointers[m_h[i] & c.sizeMask];
                if (c.length == 0) {
                    c.offset = c.position - pointer;
                    if (c.offset & c.bufferMask) {
                        const std::uint8_t* buf = c.bytes;
                        while (c.length < 255
                            && buf[(c.position - c.length - 1) & c.bufferMask]
                                == buf[(c.position - c.length - c.offset - 1) & c.bufferMask])
                            ++c.length;
                    }
                } else if (c.length < 255) {
                    ++c.length;
                }
                pointer = c.position;
            }
        } break;
        case MIX2: {
            const std::int32_t error = ((32767 * y - tb.squash(p[i])) * c.rate) >> 5;
            std::int32_t& w = c.weights[c.cxt];
            w = std::clamp(w + ((error * (p[c.j] - p[c.k]) + 4096) >> 13), 0, 65535);
        } break;
        case MIX: {
            const std::int32_t error = ((32767 * y - tb.squash(p[i])) * c.rate) >> 4;
            mixTrain(c.weights.data() + std::size_t(c.cxt), p + c.j, c.k, error);
        } break;
        case ISSE: {
            std::uint8_t& state = c.bytes[c.cxt];
            const std::int32_t error = 32767 * y - tb.squash(p[i]);
            std::int32_t* w = c.weights.data() + 2 * state;
            w[0] = std::clamp(w[0] + ((error * p[c.j] + 4096) >> 13), -524288, 524287);
            w[1] = std::clamp(w[1] + ((error + 16) >> 5), -524288, 524287);
            state = tb.next[state][y];
        } break;
        case SSE:
            train(c.words[c.cxt], y, c.limit, tb.dt);
            break;
        default:
            break;
        }
    }
    m_c8 = 2 * m_c8 + std::uint32_t(y);
    ++m_bit;
    if (m_c8 >= 16 && m_c8 < 32) {
        m_k = 16 * m_c8 + 1;
        prefetchBuckets(m_c8);
    } else {
        m_k = (m_k & 0x1F0) + ((2 * (m_k & 15) + std::uint32_t(y)) & 15);
        // One bit before the second nibble its bucket is one of two: ask for both.
        if (m_c8 >= 8 && m_c8 < 16) {
            prefetchBuckets(2 * m_c8);
            prefetchBuckets(2 * m_c8 + 1);
        }
    }
    prefetchRows();
}

std::uint32_t TZpaqPredictor::updateAndPredict(int y)
{
    updateInline(y);
    return predictInline();
}

void TZpaqPredictor::endByte(const TZpaqlMachine& hcomp)
{
    for (std::size_t i = 0; i < m_h.size(); ++i)
        m_h[i] = hcomp.h(i);
    m_c8 = 1;
    m_k = 1;
    m_bit = 0;
    prefetchBuckets(m_c8);
    prefetchRows();
    // A match model looks its context up only after the byte's last bit, but the context is
    // known from now on.
    for (const std::uint32_t i : m_matched) {
        const TComponent& c = m_components[i];
        __builtin_prefetch(c.pointers.data() + (m_h[i] & c.sizeMask));
    }
}

void TZpaqPredictor::prefetchBuckets(std::uint32_t c8) const
{
    // The next nibble's buckets are known now; asking for their cache lines early hides most of
    // the memory latency that otherwise dominates decoding.
    for (const std::uint32_t i : m_bucketed) {
        const TComponent& c = m_components[i];
        const std::uint32_t slot = (m_h[i] + 16 * c8) & std::uint32_t((std::uint64_t(4) << c.s) - 1);
        __builtin_prefetch(c.bytes + std::size_t(slot & ~3u) * 16);
    }
}

void TZpaqPredictor::prefetchRows() const
{
    // The same for the next bit's CM entry and SSE row (two cache lines), which large tables would
    // otherwise miss on every bit.
    for (const std::uint32_t i : m_rowed) {
        const TComponent& c = m_components[i];
        if (c.type == CM) {
            __builtin_prefetch(c.words.data() + ((m_h[i] ^ m_k) & c.sizeMask));
        } else {
            const std::uint32_t* row = c.words.data() + std::size_t((m_h[i] + m_c8) & c.sizeMask) * 32;
            __builtin_prefetch(row);
            __builtin_prefetch(row + 16);
        }
    }
}

} // namespace packbuf
