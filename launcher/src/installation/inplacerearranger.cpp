#include "installation/inplacerearranger.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryFile>
#include <QThread>

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

    for (std::size_t i = 0; i < matches.size(); ++i) {
        TChunkMatch& move = matches[i];
        if (move.state == EChunkMatchState::FoundInPlace)
            continue;
        if (move.state == EChunkMatchState::FoundElsewhere && openTarget()) {
            for (std::size_t j = i + 1; j < matches.size(); ++j) {
                TChunkMatch& later = matches[j];
                if (later.state != EChunkMatchState::FoundElsewhere || later.inTemporaryFile
                    || !overlaps(later.sourceOffset, later.length, move.targetOffset, move.length))
                    continue;
                if (openTemporary() && copier.copy(target, later.sourceOffset, temporary, temporaryEnd, later.length)) {
                    later.sourceOffset = temporaryEnd;
                    later.inTemporaryFile = true;
                    temporaryEnd += later.length;
                    result.bytesThroughTemporaryFile += later.length;
                } else {
                    // Its source is about to be overwritten and could not be saved.
                    later.state = EChunkMatchState::NotFound;
                }
            }
            QFile& from = move.inTemporaryFile ? static_cast<QFile&>(temporary) : target;
            if (copier.copy(from, move.sourceOffset, target, move.targetOffset, move.length)) {
                move.state = EChunkMatchState::FoundInPlace;
                result.bytesMoved += move.length;
                continue;
            }
            qWarning() << "rearrange: moving a chunk failed, it will be downloaded; file: " << path
                       << " target offset: " << move.targetOffset << " Thread: " << QThread::currentThreadId();
        }
        move.state = EChunkMatchState::NotFound;
        result.chunkIndicesToDownload.push_back(int(i));
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
