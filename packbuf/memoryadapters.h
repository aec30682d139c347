#pragma once

// Read and write positions over caller memory and the stream callbacks that go with them, shared by the
// unpack and the pack side. They own nothing: the caller's buffers outlive them.

#include "cscdecoder.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

namespace packbuf::detail {

struct rdbuf
{
    std::size_t position;
    std::size_t size;
    const char* data;
};

struct wrbuf
{
    std::size_t position;
    std::size_t capacity;
    char* data;
};

inline int rdbufReadCallback(void* context, void* buffer, std::size_t* size)
{
    auto& in = *static_cast<rdbuf*>(context);
    const std::size_t count = std::min(*size, in.size - in.position);
    std::memcpy(buffer, in.data + in.position, count);
    in.position += count;
    *size = count;
    return 0;
}

// Bytes beyond the capacity are dropped; the count written tells the caller.
inline std::size_t wrbufWriteCallback(void* context, const void* buffer, std::size_t n)
{
    auto& out = *static_cast<wrbuf*>(context);
    const std::size_t count = std::min(n, out.capacity - out.position);
    std::memcpy(out.data + out.position, buffer, count);
    out.position += count;
    return count;
}

inline int rdbufStreamRead(TCscInputStream* stream, void* buffer, std::size_t* size)
{
    return rdbufReadCallback(stream->context, buffer, size);
}

inline std::size_t wrbufStreamWrite(TCscOutputStream* stream, const void* buffer, std::size_t n)
{
    return wrbufWriteCallback(stream->context, buffer, n);
}

} // namespace packbuf::detail
