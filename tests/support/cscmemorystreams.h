#pragma once

// The CSC codec's input and output streams over a std::string, for driving the encoder and the decoder
// through their own interfaces.

#include "packbuf/cscdecoder.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>

namespace korvane::test {

struct TMemoryInput
{
    packbuf::TCscInputStream stream;
    std::string data;
    std::size_t position = 0;
    bool failing = false; // every read fails
};

struct TMemoryOutput
{
    packbuf::TCscOutputStream stream;
    std::string data;
    std::size_t capacity = std::string::npos; // bytes beyond it are refused
};

inline int readMemory(packbuf::TCscInputStream* stream, void* buffer, std::size_t* size)
{
    auto& in = *static_cast<TMemoryInput*>(stream->context);
    if (in.failing)
        return 1;
    const std::size_t count = std::min(*size, in.data.size() - in.position);
    std::memcpy(buffer, in.data.data() + in.position, count);
    in.position += count;
    *size = count;
    return 0;
}

inline std::size_t writeMemory(packbuf::TCscOutputStream* stream, const void* buffer, std::size_t size)
{
    auto& out = *static_cast<TMemoryOutput*>(stream->context);
    const std::size_t count = std::min(size, out.capacity - out.data.size());
    out.data.append(static_cast<const char*>(buffer), count);
    return count;
}

} // namespace korvane::test
