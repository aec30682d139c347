#pragma once

#include <QString>

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

namespace korvane::launcher {

// Cuts data where its content says, so that equal stretches of two versions of a file give equal pieces
// even when bytes were inserted or removed before them. Pieces are handed out in file order and tile the
// input exactly. The same rule cuts the packages on the server side, which is what lets an update find
// the pieces of a changed file that it already has.
class TContentDefinedChunker
{
public:
    static constexpr std::size_t bufferSize = 0x9000000; // 144 MiB
    static constexpr std::size_t readBlockSize = 0x8000000; // 128 MiB, read at bufferOffset
    static constexpr std::size_t refillThreshold = 0x1000000; // refill when fewer bytes are pending
    static constexpr std::size_t minimumPiece = 0x400000; // 4 MiB; a rest of at most this is one piece
    static constexpr std::size_t maximumPiece = 0x1000000; // 16 MiB
    static constexpr std::uint32_t boundaryMask = 0x3FFFFF;
    static constexpr std::size_t blockOffset = 0x1000000;

    static const std::array<std::uint32_t, 256> gearTable;

    // Receives one piece; the bytes stay valid only during the call.
    using TPieceHandler = std::function<void(const unsigned char* Data, std::size_t Length)>;
    // Reads up to Length bytes into Data; returns the count, 0 at the end, negative on a read error.
    using TReader = std::function<std::int64_t(unsigned char* Data, std::size_t Length)>;

    // Length of the piece that starts at data, given the bytes available from there (the rest of the
    // input or at least maximumPiece bytes of it).
    static std::size_t nextPieceLength(const unsigned char* data, std::size_t available);

    // The read buffer, zeroed when first allocated. One buffer can serve many inputs in turn, so a scan
    // worker pays for its pages once.
    class TBuffer
    {
    public:
        TBuffer() = default;
        ~TBuffer();
        TBuffer(const TBuffer&) = delete;
        TBuffer& operator=(const TBuffer&) = delete;
        unsigned char* data(); // allocates on first use; throws std::bad_alloc

    private:
        unsigned char* bytes = nullptr;
    };

    // Cuts everything the reader delivers. Returns false when a read failed; the pieces before the
    // failure have been handed out. Without a buffer, one is allocated for the call.
    static bool chunk(const TReader& reader, const TPieceHandler& handler, TBuffer* buffer = nullptr);

    // Cuts a file. Returns false when it cannot be opened (no pieces) or a read fails.
    static bool chunkFile(const QString& path, const TPieceHandler& handler, TBuffer* buffer = nullptr);
};

} // namespace korvane::launcher
