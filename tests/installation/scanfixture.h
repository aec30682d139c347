#pragma once

// Builds package configurations and installation folders for the scan tests.

#include "core/packageconfigurationreader.h"
#include "installation/contentdefinedchunker.h"
#include "installation/packagedifference.h"
#include "shared/sha256.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QtTest>

#include <cstring>

namespace scanfixture {

using namespace korvane::launcher;

constexpr qsizetype MiB = 1024 * 1024;

inline QByteArray randomBytes(qsizetype size, std::uint64_t seed)
{
    QByteArray data(size, Qt::Uninitialized);
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (qsizetype i = 0; i < size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(data.data() + i, &x, size_t(std::min<qsizetype>(8, size - i)));
    }
    return data;
}

// The pieces the chunker cuts from data, as the server side would store them.
inline QList<QByteArray> cut(const QByteArray& data)
{
    QList<QByteArray> pieces;
    qsizetype offset = 0;
    TContentDefinedChunker::chunk(
        [&](unsigned char* out, std::size_t wanted) -> std::int64_t {
            const qsizetype count = std::min<qsizetype>(qsizetype(wanted), data.size() - offset);
            std::memcpy(out, data.constData() + offset, size_t(count));
            offset += count;
            return count;
        },
        [&](const unsigned char* piece, std::size_t length) {
            pieces.append(QByteArray(reinterpret_cast<const char*>(piece), qsizetype(length)));
        });
    return pieces;
}

struct TFileSpec
{
    QByteArray content;
    bool chunked = true; // cut by the chunker, else one chunk
    bool wholeFileUrl = false;
};

inline QUrl chunkUrl(const QByteArray& hash)
{
    return QUrl(QStringLiteral("https://cdn.example/chunks/") + QString::fromLatin1(hash.toHex()));
}

inline TPackageConfigurationReader configuration(const QMap<QString, TFileSpec>& specs, const QString& version)
{
    TPackageConfigurationReader reader;
    reader.version = version;
    for (auto it = specs.begin(); it != specs.end(); ++it) {
        TFileInPackage file;
        file.localFile = it.key();
        file.unpackedSize = quint64(it->content.size());
        file.unpackedHash = shared::TSha256::hash(it->content);
        const QList<QByteArray> pieces = it->chunked ? cut(it->content) : QList<QByteArray> { it->content };
        for (const QByteArray& piece : pieces) {
            TChunkInPackage chunk;
            chunk.unpackedSize = quint64(piece.size());
            chunk.unpackedHash = shared::TSha256::hash(piece);
            chunk.url = chunkUrl(chunk.unpackedHash);
            file.chunkIndices.push_back(int(reader.chunks.size()));
            reader.chunks.push_back(chunk);
        }
        if (it->wholeFileUrl) {
            file.wholeFile.url = QUrl(QStringLiteral("https://cdn.example/whole/") + it.key());
            file.wholeFile.unpackedSize = file.unpackedSize;
            file.wholeFile.unpackedHash = file.unpackedHash;
        }
        reader.files.push_back(file);
    }
    std::sort(reader.files.begin(), reader.files.end(), TFileInPackage::lessByLocalFile);
    reader.valid = true;
    return reader;
}

inline void writeFile(const QDir& folder, const QString& name, const QByteArray& data)
{
    const QString path = folder.filePath(name);
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), data.size());
}

inline QByteArray readFile(const QDir& folder, const QString& name)
{
    QFile file(folder.filePath(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Plays the downloader: writes the missing chunks of every record; the content of a chunk is looked up
// by its hash among the given file contents' pieces.
inline void applyDownloads(
    const QDir& folder, const std::vector<TFileToDownload>& files, const QMap<QString, TFileSpec>& specs)
{
    for (const TFileToDownload& record : files) {
        const QByteArray& content = specs.value(record.localFile).content;
        QFile file(folder.filePath(record.localFile));
        QDir().mkpath(QFileInfo(file.fileName()).path());
        QVERIFY(file.open(QIODevice::ReadWrite));
        for (int index : record.chunkIndicesToDownload) {
            qint64 offset = 0;
            for (int i = 0; i < index; ++i)
                offset += qint64(record.chunks[std::size_t(i)].unpackedSize);
            const qint64 length = qint64(record.chunks[std::size_t(index)].unpackedSize);
            QVERIFY(file.seek(offset));
            QCOMPARE(file.write(content.mid(offset, length)), length);
        }
    }
}

} // namespace scanfixture
