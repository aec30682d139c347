#pragma once

#include <map>
#include <string>
#include <vector>

namespace packbuf {

// Zip archives held in memory. An entry is a string map: for writing "name", "data" and optionally
// "/**/" (the entry's comment); reading yields "name", "size" and "zlen" (unpacked and stored sizes as
// decimal text), "data" and, in mode 0 for contents with a packed header, "type" (the codec name).
using TZipEntry = std::map<std::string, std::string>;
using TZipEntries = std::vector<TZipEntry>;

// Mode 0 stores, mode 1 deflates with a level that follows percentage (80 and above: 9, 50: 6, 10: 1,
// below: 0). Entries without "name" or "data" are skipped. Empty on failure or for another mode.
std::string writeZipArchive(const TZipEntries& entries, int mode, int percentage);
std::string writeStoredZipArchive(const TZipEntries& entries);
std::string writeDeflatedZipArchive(const TZipEntries& entries, int percentage);

// No entries for an archive that cannot be read completely, or for a mode above 1.
TZipEntries readZipArchive(const std::string& archive, int mode);
TZipEntries readZipArchiveWithTypes(const std::string& archive);
TZipEntries readZipArchiveWithoutTypes(const std::string& archive);

} // namespace packbuf
