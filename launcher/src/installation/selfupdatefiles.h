#pragma once

#include <QString>
#include <QStringList>

namespace korvane::launcher {

class TLauncherFilesystemHelper;

// How the self-update replaces the files of the running launcher so that a kill at any instant leaves
// each name with a whole file: the new content is written under a temporary name beside it, synced,
// and renamed over the name only when it is complete; the old file is kept under its ".old" name until
// the next start. Failures throw std::runtime_error naming the file.
class TSelfUpdateFiles
{
public:
    // The temporary name of the new content of path: hidden, in the same folder, so that the final
    // rename stays on one file system.
    static QString temporaryPath(const QString& path);
    static bool isTemporaryName(const QString& fileName);
    static QString oldPath(const QString& path);

    // Puts the complete, synced file at temporary in place of path and keeps what path held under its
    // ".old" name (an earlier ".old" is removed through helper first). A hard link keeps the old file at path until the
    // rename replaces it; where the file system has no hard links the old file is renamed first, and
    // the start-up repair covers the moment until the new one follows.
    static void putInPlace(TLauncherFilesystemHelper& helper, const QString& temporary, const QString& path);
    // Renames path to its ".old" name, replacing an earlier one; a missing path is skipped.
    static void moveAside(TLauncherFilesystemHelper& helper, const QString& path);
    // Pushes the folder's entries to the disk, so renames survive a crash of the machine. Best effort.
    static void syncFolder(const QString& folder);

    // For each path whose file is missing while its ".old" lies beside it, renames the ".old" back: a
    // kill between the two renames of putInPlace leaves that. Returns the paths put back.
    static QStringList restoreMissing(const QStringList& paths);
};

} // namespace korvane::launcher
