// libFuzzer harness for the ZPAQ decoder: any input must return (true or false) without a crash,
// an out-of-bounds access, undefined behaviour, a hang or an unbounded allocation.
#include "packbuf/zpaqcodec.h"

#include <cstddef>
#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    // The first byte picks the capacity, so that cut-off output is exercised too.
    std::size_t capacity = 1 << 16;
    if (size > 0) {
        capacity = std::size_t(data[0]) * 257;
        ++data;
        --size;
    }
    std::vector<char> out(capacity);
    // A small memory bound keeps runs fast; the bound check itself is the same at any size.
    packbuf::zpaqDecompress(reinterpret_cast<const char*>(data), size, out.data(), out.size(), 16 << 20);
    return 0;
}
