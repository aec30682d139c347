#pragma once

#include "core/launcherfilesystemhelper.h"
#include "core/packageconfigurationreader.h"
#include "installation/packagedifference.h"

#include <QDir>

#include <functional>
#include <memory>
#include <vector>

namespace korvane::launcher {

// Finds out which data of a configuration being installed is already in the installation folder,
// puts reusable data of a file where the new configuration wants it, and yields what is left to fetch.
// Runs on the global thread pool: the caller's task blocks while six workers take files from one queue,
// largest first.
class TInstallationScan
{
public:
    static constexpr int workerCount = 6;

    // Called with (bytes scanned, bytes to scan) under the scan's mutex, on the workers' threads. On a
    // first installation the first report is (0, 0).
    using TProgress = std::function<void(TFileSize BytesDownloaded, TFileSize BytesTotal)>;

    // installationMode 1 (self-update): files of the running launcher are never touched; a file that
    // differs is fetched whole, under a temporary name (TSelfUpdateFiles).
    // Throws std::runtime_error when a worker failed (the text of its exception).
    static std::vector<TFileToDownload> filesThatNeedUpdate(const TFileInPackageVector& newFiles,
        const TChunkInPackageVector& newChunks, const TFileInPackageVector& oldFiles,
        const TChunkInPackageVector& oldChunks, bool fastScan, const QDir& installationDirectory,
        const std::shared_ptr<TLauncherFilesystemHelper>& helper, int installationMode, const TProgress& progress);

    // The installed files the new configuration lacks. An entry is kept only when its path resolves inside
    // the folder, is not the folder itself and neither is nor contains a file of the new configuration.
    static TFileInPackageVector filesToDelete(const TFileInPackageVector& oldFiles,
        const TFileInPackageVector& newFiles, const QDir& installationDirectory,
        const std::shared_ptr<TLauncherFilesystemHelper>& helper);

    // The whole scan of one installation.
    static TPackageDifference requiredChanges(const TPackageConfigurationReader& newConfiguration,
        const TPackageConfigurationReader& installedConfiguration, bool fastScan, const QDir& installationDirectory,
        const std::shared_ptr<TLauncherFilesystemHelper>& helper, int installationMode, const TProgress& progress);
};

} // namespace korvane::launcher
