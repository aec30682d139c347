#pragma once

#include <cstddef>

namespace packbuf {

// Decodes every block and segment of a ZPAQ stream into out; bytes beyond capacity are dropped and
// what is not written stays as it was. False on any format error or resource claim above our limits;
// it never ends the process.
bool zpaqDecompress(const char* payload, std::size_t payloadLength, char* out, std::size_t capacity);

} // namespace packbuf
