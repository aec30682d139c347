#pragma once

#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "zpaqjit.h"

namespace packbuf {

// Zero-filled memory for large tables. Big ones are mapped fresh from the system, which zeroes a page
// on first touch, so a block pays only for the memory its data reach, not for clearing all it claims
// (the allocator would hand back recycled memory and clear it whole).
void* zpaqZeroedAllocate(std::size_t bytes);
void zpaqZeroedFree(void* data, std::size_t bytes);

template<class T> class TZeroedArray
{
public:
    TZeroedArray() = default;
    TZeroedArray(const TZeroedArray&) = delete;
    TZeroedArray& operator=(const TZeroedArray&) = delete;
    TZeroedArray(TZeroedArray&& other) noexcept
        : m_data(std::exchange(other.m_data, nullptr))
        , m_size(std::exchange(other.m_size, 0))
    { }
    TZeroedArray& operator=(TZeroedArray&& other) noexcept
    {
        std::swap(m_data, other.m_data);
        std::swap(m_size, other.m_size);
        return *this;
    }
    ~TZeroedArray() { zpaqZeroedFree(m_data, m_size * sizeof(T)); }

    // Drops the old contents; throws std::bad_alloc when the memory is not there.
    void reset(std::size_t n)
    {
        zpaqZeroedFree(m_data, m_size * sizeof(T));
        m_data = nullptr;
        m_size = 0;
        if (n == 0)
            return;
        if (n > SIZE_MAX / sizeof(T))
            throw std::bad_alloc();
        m_data = static_cast<T*>(zpaqZeroedAllocate(n * sizeof(T)));
        m_size = n;
    }
    T* data() const { return m_data; }
    std::size_t size() const { return m_size; }
    T& operator[](std::size_t i) const { return m_data[i]; }

private:
    T* m_data = nullptr;
    std::size_t m_size = 0;
};

// Receives what a post-processor outputs, in pieces of up to 64 KiB.
class TZpaqlSink
{
public:
    virtual ~TZpaqlSink() = default;
    virtual void write(const std::uint8_t* data, std::size_t length) = 0;
};

// The ZPAQL machine that runs a block's context computation (HCOMP) or post-processor (PCOMP).
// Its state persists between calls for the whole block.
class TZpaqlMachine
{
public:
    // Result of one call.
    enum class TStatus { Halted, Error, OutOfSteps };

    // Takes a copy of the program and sizes H to 2^hBits words and M to 2^mBits bytes, all zero.
    // Without a sink OUT does nothing (HCOMP). Each byte output earns outputCredit steps, since
    // expanding data (LZ77 matches) needs steps in proportion to its output.
    void load(const std::uint8_t* code, std::size_t length, unsigned hBits, unsigned mBits, TZpaqlSink* sink,
        std::int64_t outputCredit = 0);
    // Whether the first call translates the program to machine code (the default) or interprets it.
    void setTranslation(bool enabled) { m_translation = enabled; }
    // After the first call: whether the program runs as machine code.
    bool translated() const { return m_native != nullptr; }

    // One call: A = input, run from the start until HALT. The code run costs steps of the caller's
    // budget (one per byte of code passed, charged at each taken jump), so corrupt code cannot loop
    // forever. Output is buffered; an exception of the sink passes on.
    TStatus run(std::uint32_t input, std::int64_t& budget);
    // Hands buffered output to the sink.
    void flush();

    std::uint32_t h(std::size_t i) const { return m_h[i & m_hMask]; }
    std::size_t hSize() const { return m_h.size(); }
    // Registers after the last call, for tests.
    const TZpaqlFrame& state() const { return m_frame; }
    std::uint8_t m(std::size_t i) const { return m_m[i & m_mMask]; }

private:
    struct TOperation
    {
        const void* handler = nullptr;
        std::uint32_t operand = 0;
        std::uint32_t target = 0; // jumps: the operation jumped to
    };

    TStatus interpret(std::int64_t& budget);
    static int flushFromNative(TZpaqlFrame* frame);

    std::vector<std::uint8_t> m_code; // program followed by zero padding, so running off its end stops
    std::size_t m_codeLength = 0;
    bool m_translation = true;
    bool m_prepared = false;
    std::unique_ptr<TZpaqlNativeCode> m_native;
    std::vector<TOperation> m_ops; // decoded on the first call when not translated
    TZeroedArray<std::uint32_t> m_h;
    TZeroedArray<std::uint8_t> m_m;
    std::uint32_t m_hMask = 0;
    std::uint32_t m_mMask = 0;
    TZpaqlFrame m_frame;
    TZpaqlSink* m_sink = nullptr;
    std::int64_t m_outputCredit = 0;
    std::vector<std::uint8_t> m_output;
    std::exception_ptr m_sinkError; // thrown by the sink under native code, passed on after it returns
};

} // namespace packbuf
