#pragma once

#include "core/packageconfigurationreader.h"

#include <QByteArray>
#include <QMetaType>
#include <QString>

#include <vector>

namespace korvane::launcher {

// Byte count carried by every progress signal of the installation engine.
using TFileSize = quint64;

// How a download phase or a whole installation ended; the main window picks its message by it.
enum class EPackageDownloaderError : int {
    NoError = 0,
    DownloadFailed = 1,
    SavingFailed = 2, // also: not enough disk space, or the local data could not be scanned
    VerificationFailed = 3
};

// One file of the new configuration and what has to be fetched for it.
struct TFileToDownload
{
    QString localFile;
    TFileSize unpackedSize = 0;
    QByteArray unpackedHash;
    bool executable = false;
    std::vector<TPatchInPackage> patches;
    // In file order; a chunk's place is the sum of the unpacked sizes before it. A file fetched in one
    // piece holds just that piece.
    TChunkInPackageVector chunks;
    std::vector<int> chunkIndicesToDownload; // ascending indices into chunks
};

// The result of a scan: what to fetch, and which installed files the new configuration no longer has.
struct TPackageDifference
{
    std::vector<TFileToDownload> filesToDownload;
    TFileInPackageVector filesToDelete;
};

// Registers the engine's signal argument types, TFileSize under its own name among them; idempotent.
void registerInstallationMetaTypes();

} // namespace korvane::launcher

Q_DECLARE_METATYPE(korvane::launcher::EPackageDownloaderError)
Q_DECLARE_METATYPE(korvane::launcher::TPackageDifference)
