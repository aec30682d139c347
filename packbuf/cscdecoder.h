#pragma once

#include <cstddef>
#include <cstdint>

namespace packbuf {

// CSC: LZ77 with an adaptive binary range coder, a separate raw bit stream, per-block data types and
// three reversible filters (English words, x86 E8/E9 call addresses, delta). The payload starts with
// the properties below and continues with stream blocks that interleave the two coded streams.

inline constexpr std::size_t cscPropertiesSize = 10;

// Windows above this are refused before anything is allocated; our encoder never asks for more.
inline constexpr std::uint32_t cscMaxWindowSize = std::uint32_t(1) << 30;

// The word filter's table: codes 130 to 251 stand for these words in order; 254 escapes a byte above 129.
inline constexpr std::size_t cscWordCount = 122;
inline constexpr unsigned cscFirstWordCode = 130;
inline constexpr unsigned cscEscapeCode = 254;
extern const char* const cscWords[cscWordCount];

struct TCscProperties
{
    std::uint32_t windowSize = 0; // W: how far matches reach back
    std::uint32_t streamBlockSize = 0; // S: the most bytes one stream block holds (24 bits)
    std::uint32_t rawBlockSize = 0; // R: the most bytes one decoded block holds (24 bits)
};

// The 10 bytes are big-endian: 4 bytes W, 3 bytes S, 3 bytes R.
TCscProperties readCscProperties(const unsigned char* bytes);

struct TCscInputStream
{
    // Fills up to *size bytes and stores the count taken; returns 0, anything else is a failure.
    int (*read)(TCscInputStream* stream, void* buffer, std::size_t* size) = nullptr;
    void* context = nullptr;
};

struct TCscOutputStream
{
    // Returns the number of bytes accepted.
    std::size_t (*write)(TCscOutputStream* stream, const void* buffer, std::size_t size) = nullptr;
    void* context = nullptr;
};

enum ECscResult : int {
    CscSuccess = 0,
    CscBadData = -96,
    CscWriteFailed = -97, // the output took fewer bytes than offered
    CscReadFailed = -98, // a stream block could not be read
};

using TCscProgressCallback = void (*)(void* context, std::uint64_t bytesRead, std::uint64_t bytesWritten);

struct TCscDecoder;

// Reads the first range-coder and bit-coder blocks. Null when W is 0 or above cscMaxWindowSize, S or R
// is 0, memory is exhausted or the first blocks cannot be read. The input stream must outlive the decoder.
TCscDecoder* createCscDecoder(const TCscProperties& properties, TCscInputStream* input);
// Decodes the whole stream once; returns an ECscResult.
int decodeCscStream(
    TCscDecoder* decoder, TCscOutputStream* output, TCscProgressCallback progress = nullptr, void* context = nullptr);
// Releases the decoder and clears the handle.
void destroyCscDecoder(TCscDecoder*& decoder);

} // namespace packbuf
