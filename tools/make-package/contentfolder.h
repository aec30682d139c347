#pragma once

#include "packedbody.h"

#include <QString>
#include <QStringList>

#include <cstdint>

namespace makepackage {

struct TContentOptions
{
    QString inputDirectory;
    QString assetInputDirectory; // empty: no asset configuration
    QString outputDirectory;
    QString name;
    QString directoryName;
    QString version;
    QString assetVersion;
    QString executable;
    QStringList parameters;
    bool installAutomatically = false;
    bool contentDefined = true; // false: fixed-size chunks of chunkSize bytes
    std::uint64_t chunkSize = 4 * 1024 * 1024;
    EPacking packing = EPacking::None;
};

// Fixed names inside the content folder.
inline constexpr const char* launcherConfigurationName = "launcher.json";
inline constexpr const char* packageFolderName = "package";
inline constexpr const char* packageConfigurationName = "package.json";
inline constexpr const char* assetConfigurationName = "assets.json";
inline constexpr const char* chunkFolderName = "chunks";

// Writes the launcher configuration, the package folder with its configurations and every chunk body
// named by the SHA-256 of its bytes. The same input gives the same bytes. Throws std::runtime_error.
void writeContentFolder(const TContentOptions& options);

} // namespace makepackage
