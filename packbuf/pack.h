#pragma once

#include "packbuf.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace packbuf {

// The reverse direction of unpackBuffer: compresses a buffer into a payload of the chosen codec. The
// header (zeros, marker, id, lengths) is the caller's business.

// On entry outputLength is the capacity of output, at least inputLength. True only when the payload is
// shorter than the input; outputLength then holds its length, otherwise 0.
bool packBuffer(ECodecId id, const char* input, std::size_t inputLength, char* output, std::size_t& outputLength);

// The output capacity to reserve for packBuffer.
std::size_t packedSizeBound(ECodecId id, std::size_t inputLength);

bool lacksPackedHeader(const char* data, std::size_t length);

// The codec's name ("RAW" for ids above 23) and file-name extension (empty for RAW and ids above 23).
const char* codecName(ECodecId id);
const char* codecExtension(ECodecId id);
const char* frontVersionText();

// A codec suggested by the first bytes of a stream without a packed header: LZIP for the lzip magic,
// MINIZ for a first byte 0xEC, LZ4F for 0xF0 and above, otherwise RAW (leading zeros are skipped).
ECodecId guessCodecOfRawStream(const char* data, std::size_t length);

// The header fields of a packed buffer, read where unpackString reads them. RAW, 0 or null for a
// buffer without a header or with a length field that runs past the input; headerPayload is also null
// when the payload runs past the input.
ECodecId headerCodecId(const char* data, std::size_t length);
std::uint64_t headerUnpackedLength(const char* data, std::size_t length);
std::uint64_t headerPayloadLength(const char* data, std::size_t length);
const char* headerPayload(const char* data, std::size_t length);

// Unsigned LEB128, at least one byte.
std::string encodeLeb128(std::uint64_t value);

// One-time set-up of the pack side; there is nothing to set up, they return 1.
int packInitOnce();
int zipInitOnce();

} // namespace packbuf
