#pragma once

#include "installation/piecematcher.h"

#include <QString>

#include <vector>

namespace korvane::launcher {

// Puts the reusable data of one local file where the new configuration wants it, moving only what has
// to move and saving to a temporary file only the data a move would overwrite.
class TInPlaceRearranger
{
public:
    struct TResult
    {
        std::vector<int> chunkIndicesToDownload; // ascending
        // The file could not be brought to its new length: nothing of it may be trusted.
        bool fetchWholeFile = false;
        quint64 bytesMoved = 0;
        quint64 bytesThroughTemporaryFile = 0;
    };

    // Moves every FoundElsewhere chunk to its target, then cuts the file to unpackedSize when it is
    // longer. A chunk whose move fails, or whose source a move destroyed before it could be saved, ends
    // NotFound, so it is downloaded instead of being counted as present with wrong bytes.
    // temporaryFolder: where the saved data goes; empty for the framework's temporary folder.
    static TResult rearrange(const QString& path, std::vector<TChunkMatch>& matches, quint64 unpackedSize,
        const QString& temporaryFolder = QString());
};

} // namespace korvane::launcher
