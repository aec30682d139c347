// libFuzzer entry over the whole-buffer reader: any byte string must come back unpacked or as a copy,
// without reading outside the input, without hanging and without claiming more than the bound.
#include "packbuf/packbuf"

#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

// Small enough that a hostile length claim costs little time per run, large enough for real payloads.
constexpr std::uint64_t fuzzMaxUnpackedLength = std::uint64_t(1) << 20;

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::string output;
    const bool unpacked = packbuf::unpackString(input, output, fuzzMaxUnpackedLength);
    if (!unpacked && output != input)
        std::abort();
    if (unpacked && output.size() > fuzzMaxUnpackedLength)
        std::abort();
    return 0;
}
