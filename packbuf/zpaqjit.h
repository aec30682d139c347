#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace packbuf {

// What a ZPAQL program sees and changes while it runs; the interpreter and the native code share it,
// and the native code addresses its fields by offset.
struct TZpaqlFrame
{
    std::uint32_t a = 0, b = 0, c = 0, d = 0;
    std::uint32_t f = 0; // 0 or 1
    std::uint32_t outputLength = 0;
    std::int64_t steps = 0;
    std::uint8_t* m = nullptr;
    std::uint32_t* h = nullptr;
    std::uint8_t* output = nullptr;
    // Hands a full output buffer on; nonzero when that failed, which ends the run.
    int (*flush)(TZpaqlFrame* frame) = nullptr;
    void* owner = nullptr;
    std::uint32_t r[256] = {};
};

// A ZPAQL program translated to x86-64 machine code. It keeps the interpreter's bounds: every M and H
// index is masked, each taken jump and HALT is charged the code passed since the last jump target
// (the same count as the interpreter's), invalid code and jumps out of the program end the run.
class TZpaqlNativeCode
{
public:
    enum TResult { Halted = 0, Error = 1, OutOfSteps = 2, FlushFailed = 3 };

    // Null when the program cannot be translated here (other CPU, no executable memory); the caller
    // then interprets it. code holds length bytes followed by at least 3 readable zero bytes. Output
    // (OUT) goes to frame.output, which holds outputCapacity bytes, and earns outputCredit steps per
    // byte; without output OUT does nothing.
    static std::unique_ptr<TZpaqlNativeCode> translate(const std::uint8_t* code, std::size_t length,
        std::uint32_t hMask, std::uint32_t mMask, bool output, std::uint32_t outputCapacity, std::int64_t outputCredit);

    TZpaqlNativeCode(const TZpaqlNativeCode&) = delete;
    TZpaqlNativeCode& operator=(const TZpaqlNativeCode&) = delete;
    ~TZpaqlNativeCode();

    // Runs from the start until HALT with frame's registers and budget (frame.steps).
    TResult run(TZpaqlFrame& frame) const;

private:
    TZpaqlNativeCode(void* code, std::size_t size)
        : m_code(code)
        , m_size(size)
    { }

    void* m_code;
    std::size_t m_size;
};

} // namespace packbuf
