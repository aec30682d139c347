#pragma once

#include "core/launcherfilesystemhelper.h"
#include "core/packageconfigurationreader.h"
#include "installation/packagedifference.h"

#include <QDir>

#include <functional>
#include <memory>

namespace korvane::launcher {

// Checks that every file of a configuration is in the installation folder with the SHA-256 the
// configuration gives. The caller's task blocks while six workers take files from one queue in the
// configuration's order; the first failure stops the taking of further files.
class TPackageVerification
{
public:
    static constexpr int workerCount = 6;
    static constexpr qint64 blockSize = 0xA00000;

    // Called with (bytes hashed, bytes to hash) once per block read, under the verification's mutex, on
    // the workers' threads.
    using TProgress = std::function<void(TFileSize BytesDownloaded, TFileSize BytesTotal)>;

    // True when every file was found and matched. An exception inside a worker is logged and counts as
    // a failure; nothing is thrown.
    static bool verifyFiles(const QDir& installationDirectory,
        const std::shared_ptr<TLauncherFilesystemHelper>& filesystemHelper, const TFileInPackageVector& files,
        const TProgress& progress);
};

} // namespace korvane::launcher
