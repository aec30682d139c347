#pragma once

#include "core/packageconfigurationreader.h"

#include <QByteArray>
#include <QString>

#include <vector>

namespace korvane::launcher {

enum class EChunkMatchState : int {
    NotFound = 0, // to be downloaded
    FoundInPlace = 1, // the file already holds it at targetOffset
    FoundElsewhere = 2 // the file holds it at sourceOffset; it has to be moved
};

// What the scan knows about one chunk of the file being handled.
struct TChunkMatch
{
    EChunkMatchState state = EChunkMatchState::NotFound;
    quint64 sourceOffset = 0; // in the local file, or in the temporary file once inTemporaryFile is set
    quint64 targetOffset = 0;
    quint64 length = 0;
    bool inTemporaryFile = false;
};

// Matches the pieces of a local file, handed in file order, against the chunks the new configuration
// wants for that file.
class TPieceMatcher
{
public:
    // fileChunks: the file's chunks in file order; path is used in log lines only.
    TPieceMatcher(const TChunkInPackageVector& fileChunks, const QString& path);

    void matchPiece(const QByteArray& hash, quint64 length);

    std::vector<TChunkMatch>& matches() { return chunkMatches; }
    const std::vector<TChunkMatch>& matches() const { return chunkMatches; }
    bool found() const { return foundAny; }
    quint64 sourceCursor() const { return cursor; }

private:
    const TChunkInPackageVector& chunks;
    QString path;
    std::vector<quint64> targets;
    std::vector<TChunkMatch> chunkMatches;
    quint64 cursor = 0;
    bool foundAny = false;
};

} // namespace korvane::launcher
