#include "contentfolder.h"

#include "installation/contentdefinedchunker.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

namespace makepackage {

namespace {

struct TInputFile
{
    QString localFile;
    QString path;
    bool executable = false;
};

struct TChunkTable
{
    QJsonArray packageChunks;
    QJsonArray assetChunks;
    // Unpacked SHA-256 and size of a piece -> its position in the combined table.
    QHash<QByteArray, int> positions;
    std::vector<qint64> packedSizes; // by position
    int count = 0;
};

[[noreturn]] void fail(const QString& message)
{
    throw std::runtime_error(message.toStdString());
}

QByteArray sha256(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

std::vector<TInputFile> listFiles(const QString& directory, const QString& executable)
{
    const QDir root(QFileInfo(directory).absoluteFilePath());
    if (!QFileInfo(directory).isDir())
        fail(QStringLiteral("input folder '%1' does not exist").arg(directory));
    std::vector<TInputFile> files;
    QDirIterator it(root.path(), QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        TInputFile file;
        file.path = path;
        file.localFile = root.relativeFilePath(path);
        file.executable = file.localFile == executable || (QFileInfo(path).permissions() & QFile::ExeOwner);
        files.push_back(file);
    }
    // The order of the listing depends on the file system; the output must not.
    std::sort(
        files.begin(), files.end(), [](const TInputFile& a, const TInputFile& b) { return a.localFile < b.localFile; });
    return files;
}

std::vector<QByteArray> cutPieces(
    const QByteArray& data, const TContentOptions& options, korvane::launcher::TContentDefinedChunker::TBuffer& buffer)
{
    std::vector<QByteArray> pieces;
    if (!options.contentDefined) {
        const qsizetype step = qsizetype(options.chunkSize);
        for (qsizetype offset = 0; offset < data.size(); offset += step)
            pieces.push_back(data.mid(offset, step));
        return pieces;
    }
    // The installation scan's own rule, so that an update finds the pieces it already has.
    qsizetype position = 0;
    const auto reader = [&](unsigned char* out, std::size_t length) -> std::int64_t {
        const qsizetype count = std::min<qsizetype>(qsizetype(length), data.size() - position);
        std::memcpy(out, data.constData() + position, std::size_t(count));
        position += count;
        return count;
    };
    const auto handler = [&](const unsigned char* piece, std::size_t length) {
        pieces.emplace_back(reinterpret_cast<const char*>(piece), qsizetype(length));
    };
    if (!korvane::launcher::TContentDefinedChunker::chunk(reader, handler, &buffer))
        fail(QStringLiteral("content-defined cutting failed"));
    return pieces;
}

void writeFile(const QString& path, const QByteArray& data)
{
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
        fail(QStringLiteral("cannot write '%1': %2").arg(path, file.errorString()));
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read '%1': %2").arg(path, file.errorString()));
    return file.readAll();
}

QJsonArray fileEntries(const std::vector<TInputFile>& files, bool forAssets, TChunkTable& table,
    const TContentOptions& options, const QString& chunkDirectory)
{
    // One read buffer for every file: the chunker's is large.
    korvane::launcher::TContentDefinedChunker::TBuffer buffer;
    QJsonArray entries;
    for (const TInputFile& input : files) {
        const QByteArray data = readFile(input.path);
        QJsonArray indices;
        double packedSize = 0;
        for (const QByteArray& piece : cutPieces(data, options, buffer)) {
            const QByteArray unpackedHash = sha256(piece);
            const QByteArray key = unpackedHash + QByteArray::number(piece.size());
            auto found = table.positions.constFind(key);
            if (found == table.positions.constEnd()) {
                const QByteArray body = packBody(piece, options.packing);
                const QByteArray packedHash = sha256(body);
                const QString bodyName = QString::fromLatin1(packedHash.toHex());
                writeFile(chunkDirectory + QLatin1Char('/') + bodyName, body);
                QJsonObject chunk {
                    { "url", QStringLiteral("%1/%2").arg(QLatin1String(chunkFolderName), bodyName) },
                    { "packedsize", double(body.size()) },
                    { "packedhash", QString::fromLatin1(packedHash.toHex()) },
                    { "unpackedsize", double(piece.size()) },
                    { "unpackedhash", QString::fromLatin1(unpackedHash.toHex()) },
                    { "unpack", options.packing != EPacking::None },
                };
                (forAssets ? table.assetChunks : table.packageChunks).append(chunk);
                table.packedSizes.push_back(body.size());
                found = table.positions.insert(key, table.count++);
            }
            const int position = found.value();
            indices.append(position);
            packedSize += double(table.packedSizes[std::size_t(position)]);
        }
        // No whole-file URL: the file is always assembled from its chunks.
        entries.append(QJsonObject {
            { "localfile", input.localFile },
            { "unpackedsize", double(data.size()) },
            { "unpackedhash", QString::fromLatin1(sha256(data).toHex()) },
            { "executable", input.executable },
            { "chunks", indices },
            { "packedsize", packedSize },
        });
    }
    return entries;
}

QJsonValue assetVersionValue(const QString& text)
{
    bool isNumber = false;
    const int number = text.toInt(&isNumber);
    return isNumber ? QJsonValue(number) : QJsonValue(text);
}

void prepareOutput(const QString& directory)
{
    const QDir output(directory);
    if (output.exists() && !output.isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
        fail(QStringLiteral("output folder '%1' is not empty").arg(directory));
    if (!QDir().mkpath(output.filePath(QStringLiteral("%1/%2").arg(packageFolderName, chunkFolderName))))
        fail(QStringLiteral("cannot create '%1'").arg(directory));
}

} // namespace

void writeContentFolder(const TContentOptions& options)
{
    if (options.chunkSize == 0)
        fail(QStringLiteral("the chunk size must be positive"));
    const std::vector<TInputFile> packageFiles = listFiles(options.inputDirectory, options.executable);
    std::vector<TInputFile> assetFiles;
    if (!options.assetInputDirectory.isEmpty()) {
        assetFiles = listFiles(options.assetInputDirectory, options.executable);
        for (const TInputFile& asset : assetFiles) {
            const bool clash = std::any_of(packageFiles.begin(), packageFiles.end(),
                [&](const TInputFile& file) { return file.localFile == asset.localFile; });
            if (clash)
                fail(QStringLiteral("'%1' is both a package and an asset file").arg(asset.localFile));
        }
    }

    prepareOutput(options.outputDirectory);
    const QDir output(options.outputDirectory);
    const QString packageDirectory = output.filePath(QLatin1String(packageFolderName));
    const QString chunkDirectory = packageDirectory + QLatin1Char('/') + QLatin1String(chunkFolderName);

    TChunkTable table;
    const QJsonArray packageEntries = fileEntries(packageFiles, false, table, options, chunkDirectory);
    const QJsonArray assetEntries = fileEntries(assetFiles, true, table, options, chunkDirectory);

    QJsonObject package {
        { "version", options.version },
        { "executable", options.executable },
        { "chunks", table.packageChunks },
        { "files", packageEntries },
    };
    if (!options.parameters.isEmpty())
        package.insert("parameters", QJsonArray::fromStringList(options.parameters));
    writeFile(packageDirectory + QLatin1Char('/') + QLatin1String(packageConfigurationName),
        QJsonDocument(package).toJson(QJsonDocument::Indented));

    QJsonObject build {
        { "os", "linux" },
        { "architecture", "x86_64" },
        { "url", QStringLiteral("%1/%2").arg(packageFolderName, packageConfigurationName) },
    };
    if (!options.assetInputDirectory.isEmpty()) {
        const QJsonObject asset {
            { "version", assetVersionValue(options.assetVersion) },
            { "chunks", table.assetChunks },
            { "files", assetEntries },
        };
        writeFile(packageDirectory + QLatin1Char('/') + QLatin1String(assetConfigurationName),
            QJsonDocument(asset).toJson(QJsonDocument::Indented));
        build.insert("assetsurl", QStringLiteral("%1/%2").arg(packageFolderName, assetConfigurationName));
    }

    const QJsonObject launcher {
        { "packages",
            QJsonArray { QJsonObject {
                { "name", options.name },
                { "directoryname", options.directoryName },
                { "installautomatically", options.installAutomatically },
                { "builds", QJsonArray { build } },
            } } },
    };
    writeFile(output.filePath(QLatin1String(launcherConfigurationName)),
        QJsonDocument(launcher).toJson(QJsonDocument::Indented));
}

} // namespace makepackage
