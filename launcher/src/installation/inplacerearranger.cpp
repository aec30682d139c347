#include "installation/inplacerearranger.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QThread>

#include <algorithm>
#include <memory>

namespace korvane::launcher {

namespace {

constexpr qint64 copyBlockSize = 8 * 1024 * 1024;

bool overlaps(quint64 firstStart, quint64 firstLength, quint64 secondStart, quint64 secondLength)
{
    return firstStart < secondStart + secondLength && secondStart < firstStart + firstLength;
}

bool readExactly(QFile& file, quint64 offset, char* data, qint64 length)
{
    if (!file.seek(qint64(offset)))
        return false;
    qint64 done = 0;
    while (done < length) {
        const qint64 count = file.read(data + done, length - done);
        if (count <= 0)
            return false; // a read error, or the file ends before the data it should hold
        done += count;
    }
    return true;
}

bool writeExactly(QFile& file, quint64 offset, const char* data, qint64 length)
{
    if (!file.seek(qint64(offset)))
        return false;
    qint64 done = 0;
    while (done < length) {
        const qint64 count = file.write(data + done, length - done);
        if (count <= 0)
            return false;
        done += count;
    }
    return true;
}

class TCopier
{
public:
    // Copies like memmove when source and target are the same file and the ranges overlap.
    bool copy(QFile& from, quint64 source, QFile& to, quint64 target, quint64 length)
    {
        if (!block)
            block.reset(new char[copyBlockSize]);
        const bool backwards = &from == &to && target > source && target < source + length;
        quint64 done = 0;
        while (done < length) {
            const qint64 step = qint64(std::min<quint64>(quint64(copyBlockSize), length - done));
            const quint64 at = backwards ? length - done - quint64(step) : done;
            if (!readExactly(from, source + at, block.get(), step) || !writeExactly(to, target + at, block.get(), step))
                return false;
            done += quint64(step);
        }
        return true;
    }

private:
    std::unique_ptr<char[]> block;
};

} // namespace

TInPlaceRearranger::TResult TInPlaceRearranger::rearrange(const QString& path, std::vector<TChunkMatch>& matches,
    quint64 unpackedSize, const QString& temporaryFolder, const TOpener& open)
{
    TResult result;
    // Unbuffered, so that a failed write is seen at the write that failed and not lost at close.
    QFile target(path);
    bool targetTried = false;
    const auto openTarget = [&] {
        if (!targetTried) {
            targetTried = true;
            if (open ? !open(target) : !target.open(QIODevice::ReadWrite | QIODevice::Unbuffered))
                qWarning() << "rearrange: cannot open" << path << target.errorString()
                           << " Thread: " << QThread::currentThreadId();
        }
        return target.isOpen();
    };
    QTemporaryFile temporary;
    if (!temporaryFolder.isEmpty())
        temporary.setFileTemplate(QDir(temporaryFolder).filePath(QStringLiteral("korvane-move-XXXXXX")));
    bool temporaryTried = false;
    const auto openTemporary = [&] {
        if (!temporaryTried) {
            temporaryTried = true;
            temporary.open();
        }
        return temporary.isOpen();
    };
    quint64 temporaryEnd = 0;
    TCopier copier;

    // A move may run once no other pending move still needs the data under its target. Moves are sorted
    // by that rule, so a shift moves its chunks without the temporary file (a forward shift from the end,
    // a backward one from the start); only where moves wait on each other in a circle is one source saved
    // to the temporary file, which frees the moves waiting on it.
    std::vector<std::size_t> moves;
    for (std::size_t i = 0; i < matches.size(); ++i) {
        if (matches[i].state == EChunkMatchState::FoundElsewhere)
            moves.push_back(i);
    }
    if (!moves.empty() && !openTarget()) {
        for (std::size_t i : moves)
            matches[i].state = EChunkMatchState::NotFound;
        moves.clear();
    }
    // waiters[a]: the moves whose targets overlap a's source, which must wait until a has been read.
    std::vector<std::size_t> bySource = moves;
    std::sort(bySource.begin(), bySource.end(),
        [&](std::size_t a, std::size_t b) { return matches[a].sourceOffset < matches[b].sourceOffset; });
    quint64 longest = 0;
    for (std::size_t i : moves)
        longest = std::max(longest, matches[i].length);
    std::vector<std::vector<std::size_t>> waiters(matches.size());
    std::vector<std::size_t> blockers(matches.size(), 0);
    for (std::size_t b : moves) {
        const TChunkMatch& writer = matches[b];
        const quint64 from = writer.targetOffset > longest ? writer.targetOffset - longest : 0;
        auto it = std::lower_bound(bySource.begin(), bySource.end(), from,
            [&](std::size_t a, quint64 offset) { return matches[a].sourceOffset < offset; });
        for (; it != bySource.end() && matches[*it].sourceOffset < writer.targetOffset + writer.length; ++it) {
            const std::size_t a = *it;
            if (a != b && overlaps(matches[a].sourceOffset, matches[a].length, writer.targetOffset, writer.length)) {
                waiters[a].push_back(b);
                ++blockers[b];
            }
        }
    }
    // a's source is no longer needed: read, saved or given up.
    std::vector<std::size_t> ready;
    std::vector<bool> released(matches.size(), false);
    const auto release = [&](std::size_t a) {
        if (released[a])
            return;
        released[a] = true;
        for (std::size_t b : waiters[a]) {
            if (--blockers[b] == 0)
                ready.push_back(b);
        }
    };
    for (std::size_t b : moves) {
        if (blockers[b] == 0)
            ready.push_back(b);
    }
    std::size_t left = moves.size();
    std::vector<bool> done(matches.size(), false);
    while (left > 0) {
        if (ready.empty()) {
            // Every pending move waits on another: save the shortest source that others wait on.
            std::size_t chosen = matches.size();
            for (std::size_t a : moves) {
                if (done[a] || released[a] || waiters[a].empty())
                    continue;
                if (chosen == matches.size() || matches[a].length < matches[chosen].length
                    || (matches[a].length == matches[chosen].length && a > chosen))
                    chosen = a;
            }
            if (chosen == matches.size())
                break; // cannot happen: a circle always has a member that others wait on
            TChunkMatch& saved = matches[chosen];
            if (openTemporary() && copier.copy(target, saved.sourceOffset, temporary, temporaryEnd, saved.length)) {
                saved.sourceOffset = temporaryEnd;
                saved.inTemporaryFile = true;
                temporaryEnd += saved.length;
                result.bytesThroughTemporaryFile += saved.length;
            } else {
                // Its source is about to be overwritten and could not be saved.
                saved.state = EChunkMatchState::NotFound;
                done[chosen] = true;
                --left;
            }
            release(chosen);
            continue;
        }
        const std::size_t i = ready.back();
        ready.pop_back();
        if (done[i])
            continue;
        done[i] = true;
        --left;
        TChunkMatch& move = matches[i];
        if (move.state != EChunkMatchState::FoundElsewhere) {
            release(i);
            continue;
        }
        QFile& from = move.inTemporaryFile ? static_cast<QFile&>(temporary) : target;
        if (copier.copy(from, move.sourceOffset, target, move.targetOffset, move.length)) {
            move.state = EChunkMatchState::FoundInPlace;
            result.bytesMoved += move.length;
        } else {
            qWarning() << "rearrange: moving a chunk failed, it will be downloaded; file: " << path
                       << " target offset: " << move.targetOffset << " Thread: " << QThread::currentThreadId();
            move.state = EChunkMatchState::NotFound;
        }
        release(i);
    }
    for (std::size_t i = 0; i < matches.size(); ++i) {
        if (matches[i].state != EChunkMatchState::FoundInPlace) {
            matches[i].state = EChunkMatchState::NotFound;
            result.chunkIndicesToDownload.push_back(int(i));
        }
    }

    if (result.bytesMoved > 0)
        qInfo() << "rearranged " << path << " bytes moved: " << result.bytesMoved
                << " through the temporary file: " << result.bytesThroughTemporaryFile
                << " Thread: " << QThread::currentThreadId();
    const qint64 size = target.isOpen() ? target.size() : QFileInfo(path).size();
    if (size >= 0 && quint64(size) > unpackedSize) {
        if (!openTarget() || !target.resize(qint64(unpackedSize))) {
            qWarning() << "rearrange: cannot truncate" << path << ", fetching it whole"
                       << " Thread: " << QThread::currentThreadId();
            result.fetchWholeFile = true;
        }
    }
    return result;
}

} // namespace korvane::launcher
