#include "ziparchive.h"

#include "pack.h"
#include "packbuf.h"

#include <algorithm>
#include <cstring>

#include <minizip/unzip.h>
#include <minizip/zip.h>

namespace packbuf {

namespace {

// The archive as a file for minizip: reads come from caller memory, writes go to a growing string.
struct TMemoryFile
{
    const char* readData = nullptr;
    std::size_t readSize = 0;
    std::string* written = nullptr;
    std::size_t position = 0;

    std::size_t size() const { return written ? written->size() : readSize; }
};

voidpf ZCALLBACK openMemory(voidpf opaque, const void*, int)
{
    static_cast<TMemoryFile*>(opaque)->position = 0;
    return opaque;
}

uLong ZCALLBACK readMemory(voidpf, voidpf stream, void* buffer, uLong size)
{
    auto& file = *static_cast<TMemoryFile*>(stream);
    const std::size_t total = file.size();
    const std::size_t count = std::min<std::size_t>(size, total - std::min(file.position, total));
    const char* data = file.written ? file.written->data() : file.readData;
    std::memcpy(buffer, data + file.position, count);
    file.position += count;
    return static_cast<uLong>(count);
}

uLong ZCALLBACK writeMemory(voidpf, voidpf stream, const void* buffer, uLong size)
{
    auto& file = *static_cast<TMemoryFile*>(stream);
    if (!file.written)
        return 0;
    // minizip seeks back to fill in a local header once the entry's sizes are known.
    if (file.written->size() < file.position + size)
        file.written->resize(file.position + size);
    std::memcpy(file.written->data() + file.position, buffer, size);
    file.position += size;
    return size;
}

ZPOS64_T ZCALLBACK tellMemory(voidpf, voidpf stream)
{
    return static_cast<TMemoryFile*>(stream)->position;
}

long ZCALLBACK seekMemory(voidpf, voidpf stream, ZPOS64_T offset, int origin)
{
    auto& file = *static_cast<TMemoryFile*>(stream);
    ZPOS64_T base = 0;
    switch (origin) {
    case ZLIB_FILEFUNC_SEEK_SET:
        break;
    case ZLIB_FILEFUNC_SEEK_CUR:
        base = file.position;
        break;
    case ZLIB_FILEFUNC_SEEK_END:
        base = file.size();
        break;
    default:
        return -1;
    }
    if (offset > file.size() - base)
        return -1;
    file.position = static_cast<std::size_t>(base + offset);
    return 0;
}

int ZCALLBACK closeMemory(voidpf, voidpf)
{
    return 0;
}

int ZCALLBACK errorMemory(voidpf, voidpf)
{
    return 0;
}

zlib_filefunc64_def memoryFunctions(TMemoryFile& file)
{
    zlib_filefunc64_def functions {};
    functions.zopen64_file = openMemory;
    functions.zread_file = readMemory;
    functions.zwrite_file = writeMemory;
    functions.ztell64_file = tellMemory;
    functions.zseek64_file = seekMemory;
    functions.zclose_file = closeMemory;
    functions.zerror_file = errorMemory;
    functions.opaque = &file;
    return functions;
}

int deflateLevel(int percentage)
{
    if (percentage >= 80)
        return 9;
    if (percentage >= 50)
        return 6;
    if (percentage >= 10)
        return 1;
    return 0;
}

constexpr unsigned writeStep = 1u << 20;
constexpr unsigned readStep = 1u << 16;

bool addEntry(zipFile archive, const TZipEntry& entry, int mode, int level)
{
    std::string name = entry.at("name");
    std::replace(name.begin(), name.end(), '\\', '/');
    const std::string& data = entry.at("data");
    const auto comment = entry.find("/**/");
    std::size_t start = 0;
    // The leading zeros of a packed buffer carry nothing; other contents are stored whole.
    if (mode == 0 && hasPackedHeader(data.data(), data.size()))
        start = countLeadingZeroBytes(data.data(), data.size());

    zip_fileinfo info {};
    info.tmz_date.tm_year = 1980;
    info.tmz_date.tm_mday = 1;
    const int zip64 = data.size() >= 0xFFFFFFFFu ? 1 : 0;
    if (zipOpenNewFileInZip64(archive, name.c_str(), &info, nullptr, 0, nullptr, 0,
            comment != entry.end() ? comment->second.c_str() : nullptr, mode == 0 ? 0 : Z_DEFLATED,
            mode == 0 ? 0 : level, zip64)
        != ZIP_OK)
        return false;
    bool ok = true;
    for (std::size_t offset = start; ok && offset < data.size(); offset += writeStep) {
        const auto count = static_cast<unsigned>(std::min<std::size_t>(writeStep, data.size() - offset));
        ok = zipWriteInFileInZip(archive, data.data() + offset, count) == ZIP_OK;
    }
    return zipCloseFileInZip(archive) == ZIP_OK && ok;
}

bool readCurrentEntry(unzFile archive, int mode, TZipEntry& entry)
{
    unz_file_info64 info {};
    if (unzGetCurrentFileInfo64(archive, &info, nullptr, 0, nullptr, 0, nullptr, 0) != UNZ_OK)
        return false;
    std::string name(info.size_filename, '\0');
    if (unzGetCurrentFileInfo64(archive, &info, name.data(), static_cast<uLong>(name.size()), nullptr, 0, nullptr, 0)
        != UNZ_OK)
        return false;
    if (unzOpenCurrentFile(archive) != UNZ_OK)
        return false;
    // Grown by what is actually decoded, so a false size in the directory costs nothing up front.
    std::string data;
    char buffer[readStep];
    int count = 0;
    while ((count = unzReadCurrentFile(archive, buffer, readStep)) > 0)
        data.append(buffer, static_cast<std::size_t>(count));
    // A CRC or size mismatch shows up when the entry is closed.
    if (unzCloseCurrentFile(archive) != UNZ_OK || count < 0 || data.size() != info.uncompressed_size)
        return false;

    entry["name"] = name;
    entry["size"] = std::to_string(info.uncompressed_size);
    entry["zlen"] = std::to_string(info.compressed_size);
    if (mode == 0 && hasPackedHeader(data.data(), data.size()))
        entry["type"] = codecName(headerCodecId(data.data(), data.size()));
    entry["data"] = std::move(data);
    return true;
}

} // namespace

std::string writeZipArchive(const TZipEntries& entries, int mode, int percentage)
{
    if (mode != 0 && mode != 1)
        return {};
    std::string bytes;
    TMemoryFile file;
    file.written = &bytes;
    zlib_filefunc64_def functions = memoryFunctions(file);
    zipFile archive = zipOpen2_64("memory", APPEND_STATUS_CREATE, nullptr, &functions);
    if (!archive)
        return {};
    const int level = deflateLevel(percentage);
    bool ok = true;
    for (const TZipEntry& entry : entries) {
        if (!entry.count("name") || !entry.count("data"))
            continue;
        if (!addEntry(archive, entry, mode, level)) {
            ok = false;
            break;
        }
    }
    if (zipClose(archive, nullptr) != ZIP_OK || !ok)
        return {};
    return bytes;
}

std::string writeStoredZipArchive(const TZipEntries& entries)
{
    return writeZipArchive(entries, 0, 0);
}

std::string writeDeflatedZipArchive(const TZipEntries& entries, int percentage)
{
    return writeZipArchive(entries, 1, percentage);
}

TZipEntries readZipArchive(const std::string& archive, int mode)
{
    if (mode != 0 && mode != 1)
        return {};
    TMemoryFile file;
    file.readData = archive.data();
    file.readSize = archive.size();
    zlib_filefunc64_def functions = memoryFunctions(file);
    unzFile reader = unzOpen2_64("memory", &functions);
    if (!reader)
        return {};
    TZipEntries entries;
    bool ok = true;
    for (int result = unzGoToFirstFile(reader); result != UNZ_END_OF_LIST_OF_FILE; result = unzGoToNextFile(reader)) {
        TZipEntry entry;
        if (result != UNZ_OK || !readCurrentEntry(reader, mode, entry)) {
            ok = false;
            break;
        }
        entries.push_back(std::move(entry));
    }
    unzClose(reader);
    return ok ? entries : TZipEntries {};
}

TZipEntries readZipArchiveWithTypes(const std::string& archive)
{
    return readZipArchive(archive, 0);
}

TZipEntries readZipArchiveWithoutTypes(const std::string& archive)
{
    return readZipArchive(archive, 1);
}

} // namespace packbuf
