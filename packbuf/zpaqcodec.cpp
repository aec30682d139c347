#include "zpaqcodec.h"

#include "sha1.h"
#include "zpaqmodel.h"
#include "zpaqvm.h"

#include <algorithm>
#include <cstring>
#include <string_view>
#include <vector>

namespace packbuf {

namespace {

// Marks a block that may sit anywhere in other data; it is followed by "zPQ".
constexpr std::uint8_t locatorTag[16]
    = { 0x37, 0x6B, 0x53, 0x74, 0xA0, 0x31, 0x83, 0xD3, 0x8C, 0xB2, 0x28, 0xB0, 0xD3, 'z', 'P', 'Q' };
constexpr std::size_t tagLength = 13;

// Data that a post-processor may decode before the output it gives back fills the capacity: a
// quarter of the room left and this many bytes, plus what its memory can hold back (the inverse BWT
// outputs a whole block at its end). Data that claim more are refused, so that a few corrupt bytes of
// a confident model cannot keep the decoder busy for hours.
constexpr std::size_t decodedSlack = std::size_t(1) << 17;
// Every block starts with this many steps, enough for any program's set-up.
constexpr std::int64_t initialSteps = std::int64_t(1) << 20;

// Thrown inside the decoder only; zpaqDecompress turns it into false.
struct TFormatError
{
};

// Thrown once the caller's buffer is full: decoding ends there with success.
struct TOutputFull
{
};

[[noreturn]] void fail()
{
    throw TFormatError {};
}

class TInput
{
public:
    TInput(const std::uint8_t* data, std::size_t length)
        : m_data(data)
        , m_length(length)
    { }

    std::uint8_t get()
    {
        if (m_position >= m_length)
            fail();
        return m_data[m_position++];
    }
    const std::uint8_t* take(std::size_t n)
    {
        if (m_length - m_position < n)
            fail();
        const std::uint8_t* at = m_data + m_position;
        m_position += n;
        return at;
    }
    std::size_t position() const { return m_position; }
    void seek(std::size_t position) { m_position = position; }
    std::size_t length() const { return m_length; }
    const std::uint8_t* data() const { return m_data; }

private:
    const std::uint8_t* m_data;
    std::size_t m_length;
    std::size_t m_position = 0;
};

// The caller's buffer: keeps what fits, hashes everything of the current segment. Output beyond the
// capacity ends decoding at once; the segment's checksum then cannot be checked.
class TOutputSink : public TZpaqlSink
{
public:
    TOutputSink(char* out, std::size_t capacity)
        : m_out(out)
        , m_capacity(capacity)
    { }

    void write(const std::uint8_t* data, std::size_t length) override
    {
        if (length > m_capacity - m_position) {
            if (m_position < m_capacity)
                std::memcpy(m_out + m_position, data, m_capacity - m_position);
            m_position = m_capacity;
            throw TOutputFull {};
        }
        std::memcpy(m_out + m_position, data, length);
        m_position += length;
        m_sha1.update(data, length);
    }
    // Bytes a block may still decode before its output fills the rest of the capacity: its
    // post-processor may take a little more than it gives (LZ77 literals) or hold back what its
    // memory of heldBack bytes can keep.
    std::size_t decodable(std::size_t heldBack) const
    {
        const std::size_t rest = m_capacity - m_position;
        const std::size_t margin = decodedSlack + heldBack;
        return rest > (SIZE_MAX - margin) / 2 ? SIZE_MAX : rest + rest / 4 + margin;
    }
    TSha1& sha1() { return m_sha1; }

private:
    char* m_out;
    std::size_t m_capacity;
    std::size_t m_position = 0;
    TSha1 m_sha1;
};

// The post-processor of a block: the header at the start of the first segment selects PASS or a
// PCOMP program, which then sees every later byte of the block.
class TPostProcessor
{
public:
    TPostProcessor(TOutputSink& sink, std::int64_t& budget, unsigned hBits, unsigned mBits)
        : m_sink(sink)
        , m_budget(budget)
        , m_hBits(hBits)
        , m_mBits(mBits)
    { }

    void put(std::uint8_t c)
    {
        switch (m_state) {
        case TState::Pass:
            m_sink.write(&c, 1);
            break;
        case TState::Program:
            run(c);
            break;
        case TState::Type:
            if (c == 0)
                m_state = TState::Pass;
            else if (c == 1)
                m_state = TState::Length0;
            else
                fail();
            break;
        case TState::Length0:
            m_length = c;
            m_state = TState::Length1;
            break;
        case TState::Length1:
            m_length += 256u * c;
            if (m_length == 0)
                fail();
            m_code.clear();
            m_state = TState::Code;
            break;
        case TState::Code:
            m_code.push_back(c);
            if (m_code.size() == m_length) {
                m_machine.load(m_code.data(), m_code.size(), m_hBits, m_mBits, &m_sink, zpaqStepsPerByte);
                m_state = TState::Program;
            }
            break;
        }
    }
    void put(const std::uint8_t* data, std::size_t length)
    {
        if (m_state == TState::Pass) {
            m_sink.write(data, length);
            return;
        }
        for (std::size_t i = 0; i < length; ++i)
            put(data[i]);
    }
    void endSegment()
    {
        if (m_state == TState::Program) {
            run(0xFFFFFFFFu);
            m_machine.flush();
        } else if (m_state != TState::Pass) {
            fail();
        }
    }

    bool runsProgram() const { return m_state == TState::Program; }

private:
    enum class TState { Type, Length0, Length1, Code, Pass, Program };

    void run(std::uint32_t input)
    {
        if (m_machine.run(input, m_budget) != TZpaqlMachine::TStatus::Halted)
            fail();
    }

    TOutputSink& m_sink;
    std::int64_t& m_budget;
    unsigned m_hBits, m_mBits;
    TState m_state = TState::Type;
    std::uint32_t m_length = 0;
    std::vector<std::uint8_t> m_code;
    TZpaqlMachine m_machine;
};

class TArithmeticDecoder
{
public:
    explicit TArithmeticDecoder(TInput& input)
        : m_input(input)
    {
        for (int i = 0; i < 4; ++i)
            m_curr = m_curr << 8 | input.get();
    }

    // p: the probability of a 1 in units of 2^-16.
    int decode(std::uint32_t p)
    {
        if (m_curr < m_low || m_curr > m_high)
            fail();
        const std::uint32_t mid = m_low + std::uint32_t((std::uint64_t(m_high - m_low) * p) >> 16);
        int y;
        if (m_curr <= mid) {
            y = 1;
            m_high = mid;
        } else {
            y = 0;
            m_low = mid + 1;
        }
        while ((m_low ^ m_high) < 0x1000000u) {
            m_high = m_high << 8 | 255;
            m_low <<= 8;
            if (m_low == 0)
                m_low = 1;
            m_curr = m_curr << 8 | m_input.get();
        }
        return y;
    }
    std::uint32_t curr() const { return m_curr; }

private:
    TInput& m_input;
    std::uint32_t m_low = 1;
    std::uint32_t m_high = 0xFFFFFFFFu;
    std::uint32_t m_curr = 0;
};

void skipString(TInput& input)
{
    while (input.get() != 0) { }
}

// Decodes the block whose "zPQ" starts at the input's position.
void decodeBlock(TInput& input, TOutputSink& sink, std::uint64_t maxMemory)
{
    input.take(3);
    const std::uint8_t level = input.get();
    input.get(); // type, checked by the caller
    const std::size_t headerSize = input.get();
    const std::size_t hsize = headerSize | std::size_t(input.get()) << 8;
    const std::uint8_t* header = input.take(hsize);
    if (hsize < 7)
        fail();
    const unsigned hh = header[0], hm = header[1], ph = header[2], pm = header[3], n = header[4];
    if (hh > 32 || hm > 32 || ph > 32 || pm > 32 || (level == 1 && n == 0))
        fail();
    TZpaqPredictor model;
    std::size_t compEnd = 5;
    if (n > 0) {
        const std::size_t used = model.parse(header + 5, hsize - 5, n);
        if (used == 0)
            fail();
        compEnd += used;
    }
    // COMP terminator, then HCOMP (at least one instruction when there is a model), then its terminator.
    if (compEnd + 2 > hsize || header[compEnd] != 0 || header[hsize - 1] != 0)
        fail();
    const std::size_t hcompLength = hsize - 2 - compEnd;
    if (n > 0 && hcompLength == 0)
        fail();

    auto machineMemory
        = [](unsigned hBits, unsigned mBits) { return (std::uint64_t(4) << hBits) + (std::uint64_t(1) << mBits); };
    std::uint64_t memory = machineMemory(ph, pm);
    if (n > 0)
        memory += model.memoryNeeded() + machineMemory(hh, hm);
    if (memory > maxMemory)
        fail();

    TZpaqlMachine hcomp;
    if (n > 0) {
        model.allocate();
        hcomp.load(header + compEnd + 1, hcompLength, hh, hm, nullptr);
    }
    std::int64_t budget = initialSteps;
    TPostProcessor post(sink, budget, ph, pm);
    // Only a program can hold output back, and no more than its memory keeps.
    const std::size_t passLimit = sink.decodable(0);
    const std::size_t programLimit = sink.decodable(std::size_t(1) << pm);
    std::size_t decoded = 0;

    bool anySegment = false;
    for (;;) {
        const std::uint8_t marker = input.get();
        if (marker == 0xFF && anySegment)
            break;
        if (marker != 1)
            fail();
        anySegment = true;
        skipString(input); // file name
        skipString(input); // comment
        if (input.get() != 0)
            fail();
        sink.sha1().reset();
        if (n > 0) {
            TArithmeticDecoder decoder(input);
            while (!decoder.decode(0)) {
                std::uint32_t p = model.predict();
                for (int bit = 0; bit < 7; ++bit)
                    p = model.updateAndPredict(decoder.decode(p));
                model.update(decoder.decode(p));
                const std::uint8_t c = std::uint8_t(model.partialByte());
                if (++decoded > (post.runsProgram() ? programLimit : passLimit))
                    fail();
                budget += zpaqStepsPerByte;
                if (hcomp.run(c, budget) != TZpaqlMachine::TStatus::Halted)
                    fail();
                model.endByte(hcomp);
                post.put(c);
            }
            if (decoder.curr() != 0)
                fail();
        } else {
            for (;;) {
                const std::uint8_t* l = input.take(4);
                const std::size_t length
                    = std::size_t(l[0]) << 24 | std::size_t(l[1]) << 16 | std::size_t(l[2]) << 8 | l[3];
                if (length == 0)
                    break;
                const std::uint8_t* chunk = input.take(length);
                budget += std::int64_t(length) * zpaqStepsPerByte;
                post.put(chunk, length);
            }
        }
        post.endSegment();
        const std::uint8_t checksum = input.get();
        if (checksum == 0xFD) {
            const TSha1::TDigest digest = sink.sha1().finish();
            if (std::memcmp(digest.data(), input.take(20), 20) != 0)
                fail();
        } else if (checksum != 0xFE) {
            fail();
        }
    }
}

// Position of the next block's "zPQ" with a level and type we read, at or after from; a block
// without the locator tag counts only right at from (the stream's start or the end of a block).
std::size_t findBlock(const TInput& input, std::size_t from)
{
    const std::string_view data(reinterpret_cast<const char*>(input.data()), input.length());
    const std::string_view tag(reinterpret_cast<const char*>(locatorTag), sizeof locatorTag);
    auto readable = [&](std::size_t at) {
        return data.size() - at >= 5 && (data[at + 3] == 1 || data[at + 3] == 2) && data[at + 4] == 1;
    };
    if (from < data.size() && data.substr(from, 3) == "zPQ" && readable(from))
        return from;
    for (std::size_t at = from;; ++at) {
        at = data.find(tag, at);
        if (at == std::string_view::npos)
            return at;
        if (readable(at + tagLength))
            return at + tagLength;
    }
}

class TArithmeticEncoder
{
public:
    explicit TArithmeticEncoder(std::string& out)
        : m_out(out)
    { }

    void encode(int y, std::uint32_t p)
    {
        const std::uint32_t mid = m_low + std::uint32_t((std::uint64_t(m_high - m_low) * p) >> 16);
        if (y)
            m_high = mid;
        else
            m_low = mid + 1;
        while ((m_low ^ m_high) < 0x1000000u) {
            m_out.push_back(char(m_high >> 24));
            m_high = m_high << 8 | 255;
            m_low <<= 8;
            if (m_low == 0)
                m_low = 1;
        }
    }

private:
    std::string& m_out;
    std::uint32_t m_low = 1;
    std::uint32_t m_high = 0xFFFFFFFFu;
};

unsigned ceilLog2(std::size_t x)
{
    unsigned bits = 0;
    while (bits < 63 && (std::size_t(1) << bits) < x)
        ++bits;
    return bits;
}

// The encoder's model: an order-1 indirect model refined by a chain of indirect secondary
// estimators for orders 2, 3, 4 and 6, a match model over an order-8 hash, mixed by a neural mixer
// selected by the partial byte, then mixed once more with an order-1 secondary estimator of the mix.
std::vector<std::uint8_t> encoderHeader(std::size_t length)
{
    const unsigned size = ceilLog2(length);
    const auto hashBits = std::uint8_t(std::clamp<int>(int(size) - 2, 8, 18));
    const auto matchIndexBits = std::uint8_t(std::clamp<int>(int(size), 8, 22));
    const auto matchBufferBits = std::uint8_t(std::clamp<int>(int(size) + 1, 8, 24));
    const auto sseBits = std::uint8_t(std::clamp<int>(int(size), 10, 16));
    const std::uint8_t components[] = {
        3, hashBits, // 0 ICM order 1
        8, std::uint8_t(hashBits + 1), 0, // 1 ISSE order 2
        8, std::uint8_t(hashBits + 1), 1, // 2 ISSE order 3
        8, std::uint8_t(hashBits + 1), 2, // 3 ISSE order 4
        8, std::uint8_t(hashBits + 1), 3, // 4 ISSE order 6
        4, matchIndexBits, matchBufferBits, // 5 MATCH order 8
        7, 8, 0, 6, 20, 255, // 6 MIX of 0 ... 5, rows by partial byte
        9, sseBits, 6, 32, 255, // 7 SSE order 1
        6, 8, 6, 7, 24, 255, // 8 MIX2 of 6 and 7
    };
    // Stores the byte in a 16-byte history, then hashes orders 1, 2, 3, 4, 6 and 8 into H[0 ... 5];
    // H[6] and H[8] stay 0; H[7] is the previous byte times 256.
    const std::uint8_t hcomp[] = {
        104, 17, 4, 74, 28, // *c=a c++ a=0 b=c d=0
        10, 59, 112, 25, // b-- hash *d=a d++ (order 1)
        10, 59, 112, 25, // order 2
        10, 59, 112, 25, // order 3
        10, 59, 112, 25, // order 4
        10, 59, 10, 59, 112, 25, // order 6
        10, 59, 10, 59, 112, 25, // order 8
        25, // d++
        74, 10, 68, 207, 8, 112, // b=c b-- a=*b a<<=8 *d=a
        56, // halt
    };
    const std::size_t hsize = 5 + sizeof components + 1 + sizeof hcomp + 1;
    std::vector<std::uint8_t> header(locatorTag, locatorTag + sizeof locatorTag);
    const std::uint8_t fixed[] = { 1, 1, std::uint8_t(hsize), std::uint8_t(hsize >> 8), 4, 4, 0, 0, 9 };
    header.insert(header.end(), fixed, fixed + sizeof fixed);
    header.insert(header.end(), components, components + sizeof components);
    header.push_back(0);
    header.insert(header.end(), hcomp, hcomp + sizeof hcomp);
    header.push_back(0);
    return header;
}

void encode(const char* data, std::size_t length, std::string& out)
{
    const std::vector<std::uint8_t> header = encoderHeader(length);
    const std::size_t fixedLength = sizeof locatorTag + 4; // tag, "zPQ", level, type, hsize
    const std::size_t hsize = header.size() - fixedLength;
    const std::uint8_t* body = header.data() + fixedLength;
    const unsigned n = body[4];
    TZpaqPredictor model;
    const std::size_t used = model.parse(body + 5, hsize - 5, n);
    model.allocate();
    TZpaqlMachine hcomp;
    const std::size_t hcompStart = 5 + used + 1;
    hcomp.load(body + hcompStart, hsize - hcompStart - 1, body[0], body[1], nullptr);

    out.assign(header.begin(), header.end());
    out.append("\x01\0\0\0", 4); // segment without name or comment
    TArithmeticEncoder encoder(out);
    auto encodeByte = [&](std::uint8_t c) {
        encoder.encode(0, 0);
        for (int bit = 7; bit >= 0; --bit) {
            const int y = (c >> bit) & 1;
            encoder.encode(y, model.predict());
            model.update(y);
        }
        std::int64_t budget = std::int64_t(1) << 20;
        hcomp.run(c, budget);
        model.endByte(hcomp);
    };
    encodeByte(0); // post-processor header: PASS
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(data);
    for (std::size_t i = 0; i < length; ++i)
        encodeByte(bytes[i]);
    encoder.encode(1, 0);
    out.append(4, '\0');
    TSha1 sha1;
    sha1.update(data, length);
    const TSha1::TDigest digest = sha1.finish();
    out.push_back(char(0xFD));
    out.append(reinterpret_cast<const char*>(digest.data()), digest.size());
    out.push_back(char(0xFF));
}

} // namespace

bool zpaqCompress(const char* data, std::size_t length, std::string& out)
{
    out.clear();
    if (!data || length == 0)
        return false;
    try {
        encode(data, length, out);
        return true;
    } catch (...) {
        out.clear();
        return false; // out of memory
    }
}

bool zpaqDecompress(const char* payload, std::size_t payloadLength, char* out, std::size_t capacity)
{
    return zpaqDecompress(payload, payloadLength, out, capacity, zpaqMaxBlockMemory);
}

bool zpaqDecompress(
    const char* payload, std::size_t payloadLength, char* out, std::size_t capacity, std::uint64_t maxBlockMemory)
{
    if (!payload)
        return payloadLength == 0;
    try {
        TInput input(reinterpret_cast<const std::uint8_t*>(payload), payloadLength);
        TOutputSink sink(out, out ? capacity : 0);
        for (std::size_t at = findBlock(input, 0); at != std::string_view::npos;
             at = findBlock(input, input.position())) {
            input.seek(at);
            decodeBlock(input, sink, maxBlockMemory);
        }
        return true;
    } catch (const TOutputFull&) {
        return true;
    } catch (const TFormatError&) {
        return false;
    } catch (...) {
        return false; // out of memory
    }
}

} // namespace packbuf
