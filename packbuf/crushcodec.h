#pragma once

#include <cstddef>

namespace packbuf {

// CRUSH: a headerless LZ77 bit stream, least significant bit first, whose matches reach back up to
// 2 MiB into the output itself. Each symbol is a flag bit (0 literal, 1 match), then 8 literal bits or a
// unary length class with its length bits, a 4-bit distance slot and the slot's distance bits.

inline constexpr int crushMinMatch = 3;
inline constexpr int crushMaxMatch = 566;
inline constexpr int crushWindowSize = 1 << 21;

// Decodes exactly expectedLength bytes into output (which holds that many). Returns expectedLength on
// success, 0 when the stream is cut short, reaches before the output's start or past its end.
int decodeCrushStream(const char* payload, std::size_t payloadLength, char* output, int expectedLength);

// Levels 0, 1 and 2 search 4, 256 and 4096 chain candidates; level 2 also defers a match when the next
// position offers a longer one. Returns the bytes written, or 0 when the stream would not fit the
// capacity (or on an empty input or a level outside 0..2).
std::size_t encodeCrushStream(
    int level, const char* input, std::size_t inputLength, char* output, std::size_t outputCapacity);

} // namespace packbuf
