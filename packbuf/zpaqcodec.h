#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace packbuf {

// Largest memory one ZPAQ block may claim for its model tables and its two ZPAQL machines
// together; a larger claim is refused before anything is allocated.
inline constexpr std::uint64_t zpaqMaxBlockMemory = std::uint64_t(1) << 30;

// ZPAQL steps granted per decoded byte and per output byte; unused steps carry over within a block.
// Real post-processors take up to a few thousand steps per byte; a program that exceeds what its data
// earned is treated as corrupt, which ends a runaway loop after at most this many steps per byte.
inline constexpr std::int64_t zpaqStepsPerByte = std::int64_t(1) << 16;

// Decodes every block and segment of a ZPAQ stream into out; what is not written stays as it was (a
// payload without a block leaves out untouched and succeeds). Decoding stops with success as soon as
// the data pass the capacity, the output cut there (the checksum of that segment is not checked).
// False on any format error, checksum mismatch or resource claim above our limits; it never ends the
// process.
bool zpaqDecompress(const char* payload, std::size_t payloadLength, char* out, std::size_t capacity);
// The same with a memory bound of the caller's choice in place of zpaqMaxBlockMemory.
bool zpaqDecompress(
    const char* payload, std::size_t payloadLength, char* out, std::size_t capacity, std::uint64_t maxBlockMemory);

// Compresses data into one ZPAQ block with one unnamed segment (context-mixing model, no
// post-processor, SHA-1 stored) and replaces out with it. False only for an empty input or when
// the model's tables cannot be allocated.
bool zpaqCompress(const char* data, std::size_t length, std::string& out);

} // namespace packbuf
