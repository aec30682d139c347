#pragma once

#include "installation/piecematcher.h"

#include <QString>

#include <functional>
#include <vector>

class QFile;

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
    // Opens the target, named by path, for reading and writing; false when it cannot.
    using TOpener = std::function<bool(QFile& target)>;

    // temporaryFolder: where the saved data goes; empty for the framework's temporary folder.
    // open: how the target is opened, by default by its path.
    static TResult rearrange(const QString& path, std::vector<TChunkMatch>& matches, quint64 unpackedSize,
        const QString& temporaryFolder = QString(), const TOpener& open = {});
};

} // namespace korvane::launcher
