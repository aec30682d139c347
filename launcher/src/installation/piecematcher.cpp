#include "installation/piecematcher.h"

#include <QDebug>
#include <QThread>

namespace korvane::launcher {

TPieceMatcher::TPieceMatcher(const TChunkInPackageVector& fileChunks, const QString& path)
    : chunks(fileChunks)
    , path(path)
    , chunkMatches(fileChunks.size())
{
    targets.reserve(chunks.size());
    quint64 offset = 0;
    for (const TChunkInPackage& chunk : chunks) {
        targets.push_back(offset);
        offset += chunk.unpackedSize;
    }
}

void TPieceMatcher::matchPiece(const QByteArray& hash, quint64 length)
{
    const quint64 e = cursor;
    cursor = e + length;
    // An empty hash names no content, and a piece can only stand for a chunk of its own length.
    if (hash.isEmpty())
        return;
    for (std::size_t i = 0; i < chunks.size(); ++i) {
        TChunkMatch& match = chunkMatches[i];
        const quint64 target = targets[i];
        if (match.state == EChunkMatchState::FoundInPlace)
            continue;
        if (match.state == EChunkMatchState::FoundElsewhere && e != target)
            continue;
        const TChunkInPackage& chunk = chunks[i];
        if (chunk.unpackedSize != length || chunk.unpackedHash != hash)
            continue;
        if (e == target) {
            match.state = EChunkMatchState::FoundInPlace;
            match.inTemporaryFile = false;
            qInfo() << "reuseable chunk on correct position found " << chunk.url << " file: " << path
                    << " offset: " << target << " Thread: " << QThread::currentThreadId();
        } else {
            match.state = EChunkMatchState::FoundElsewhere;
            match.sourceOffset = e;
            match.targetOffset = target;
            match.length = chunk.unpackedSize;
            qInfo() << "reuseable chunk on wrong position found " << chunk.url << " file: " << path
                    << " source offset: " << e << " target offset: " << target
                    << " Thread: " << QThread::currentThreadId();
        }
        foundAny = true;
    }
}

} // namespace korvane::launcher
