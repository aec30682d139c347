#pragma once

#include <cstddef>

namespace packbuf {

// One-shot decode of raw LZMA data into dest, which also serves as the dictionary, so nothing beyond
// the decoder's probability tables is allocated whatever dictionary the properties name.
// On entry destLength is dest's capacity and sourceLength the bytes available; on return they hold the
// bytes produced and consumed. Decoding stops at an end mark or when dest is full. Returns the LZMA
// SDK's result code: 0 on success.
int lzmaUncompress(unsigned char* dest, std::size_t* destLength, const unsigned char* source, std::size_t* sourceLength,
    const unsigned char* properties, std::size_t propertiesLength);

} // namespace packbuf
