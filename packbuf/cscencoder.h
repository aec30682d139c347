#pragma once

#include "cscdecoder.h"

#include <cstddef>
#include <cstdint>

namespace packbuf {

// Writes the CSC streams that decodeCscStream reads. Each raw block of R bytes is classified in pieces of
// 8 KiB (English text, x86 code, a small alphabet, incompressible bytes, a byte stride of 1, 2, 3, 4 or 8,
// otherwise plain LZ); each run of pieces of one type becomes one block: word-filtered or E8/E9-filtered
// LZ, plain LZ (hash-chain match finder, repeat distances, one-step lazy parse from level 3 on), literals,
// stored bytes or delta symbols. The coders restart after each raw block, and the end block closes the
// stream.

// The properties the pack side uses for an input of the given length: the window is
// min(length, 20 MiB) + 10240 bounded to 32 KiB .. 1 GiB, S = 65536, R = 2 MiB.
TCscProperties cscPackProperties(std::uint64_t inputLength);
void writeCscProperties(const TCscProperties& properties, unsigned char* bytes);

struct TCscEncoder;

// Null for a level outside 1..9, a window of 0 or above cscMaxWindowSize, S of 5 or less (a range-coder
// block must hold its 5 start bytes and more), R of 0, or when memory is exhausted.
TCscEncoder* createCscEncoder(const TCscProperties& properties, int level, TCscInputStream* input);
// Reads the whole input and writes the stream blocks (not the properties); returns an ECscResult:
// CscReadFailed for a failing read, CscWriteFailed when the output takes fewer bytes than offered,
// CscBadData when a block had to be skipped (the stream then lacks its bytes).
int encodeCscStream(TCscEncoder* encoder, TCscOutputStream* output);
void destroyCscEncoder(TCscEncoder*& encoder);

} // namespace packbuf
