#include "packageconfigurationreader.h"

#include <QDebug>
#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>
#include <QVariant>
#include <QtConcurrent/QtConcurrentMap>

#include <algorithm>
#include <utility>

namespace korvane::launcher {

namespace {

// Sizes come as numbers or as decimal texts; anything else is 0.
quint64 sizeFromJson(const QJsonValue& value)
{
    if (!value.isDouble() && !value.isString())
        return 0;
    return value.toVariant().toULongLong();
}

int hexDigitValue(char16_t c)
{
    if (c >= u'0' && c <= u'9')
        return c - u'0';
    if (c >= u'a' && c <= u'f')
        return c - u'a' + 10;
    if (c >= u'A' && c <= u'F')
        return c - u'A' + 10;
    return -1;
}

// A package lists two hashes per chunk, tens of thousands of them: plain hex digits are decoded in
// place, anything else the framework's lenient way.
QByteArray hashFromJson(const QJsonValue& value)
{
    const QString text = value.toString();
    if (text.size() % 2 == 0) {
        QByteArray hash(text.size() / 2, Qt::Uninitialized);
        char* out = hash.data();
        const QChar* in = text.constData();
        bool plain = true;
        for (qsizetype i = 0; i < hash.size() && plain; ++i) {
            const int high = hexDigitValue(in[2 * i].unicode());
            const int low = hexDigitValue(in[2 * i + 1].unicode());
            plain = high >= 0 && low >= 0;
            out[i] = char(high << 4 | low);
        }
        if (plain)
            return hash;
    }
    return QByteArray::fromHex(text.toLocal8Bit());
}

EPackageGeneration generationFromText(const QString& text)
{
    if (text == QLatin1String("first"))
        return EPackageGeneration::First;
    if (text == QLatin1String("second"))
        return EPackageGeneration::Second;
    return EPackageGeneration::Unknown;
}

EPackageVariant variantFromText(const QString& text)
{
    if (text == QLatin1String("regular"))
        return EPackageVariant::Regular;
    if (text == QLatin1String("preview"))
        return EPackageVariant::Preview;
    if (text == QLatin1String("beta"))
        return EPackageVariant::Beta;
    if (text == QLatin1String("test"))
        return EPackageVariant::Test;
    return EPackageVariant::Unknown;
}

QString assetVersionFromJson(const QJsonValue& value)
{
    if (value.isDouble())
        return QString::number(value.toInt(0));
    return value.toString();
}

TPatchInPackage patchFromJson(const QJsonObject& object, const QUrl& baseUrl)
{
    TPatchInPackage patch;
    patch.url = resolveRelativeUrl(baseUrl, QUrl(object.value(QLatin1String("url")).toString()));
    patch.fromVersion = QString::number(object.value(QLatin1String("fromversion")).toInt(0));
    patch.toVersion = QString::number(object.value(QLatin1String("toversion")).toInt(0));
    patch.size = object.value(QLatin1String("size")).toInt(0);
    return patch;
}

// A package lists thousands of chunks and files, each read on its own, while the installation waits
// for them: big tables are read in blocks on several cores. Read(object, base) yields one entry.
template<typename TEntries, typename TRead>
void appendInBlocks(TEntries& entries, const QJsonValue& value, const QUrl& baseUrl, TRead Read)
{
    const QJsonArray array = value.toArray();
    const std::size_t first = entries.size();
    entries.resize(first + std::size_t(array.size()));
    constexpr qsizetype blockSize = 512;
    std::vector<qsizetype> blockStarts;
    for (qsizetype start = 0; start < array.size(); start += blockSize)
        blockStarts.push_back(start);
    const auto readBlock = [&entries, first, array, baseUrl, Read](qsizetype start) {
        // Own copies: the shared data is only read, but each thread reads through its own handles.
        const QJsonArray table = array;
        const QUrl base = baseUrl;
        const qsizetype end = std::min(start + blockSize, table.size());
        for (qsizetype i = start; i < end; ++i)
            entries[first + std::size_t(i)] = Read(table.at(i).toObject(), base);
    };
    if (blockStarts.size() < 2) {
        for (const qsizetype start : blockStarts)
            readBlock(start);
        return;
    }
    QtConcurrent::blockingMap(blockStarts, readBlock);
}

void appendChunks(TChunkInPackageVector& chunks, const QJsonValue& value, const QUrl& baseUrl)
{
    appendInBlocks(chunks, value, baseUrl, &TChunkInPackage::fromJson);
}

void appendFiles(TFileInPackageVector& files, const QJsonValue& value, const QUrl& baseUrl)
{
    appendInBlocks(files, value, baseUrl, &TFileInPackage::fromJson);
}

bool localFileLess(const TFileInPackage& entry, const QString& localFile)
{
    return entry.localFile < localFile;
}

} // namespace

QUrl resolveRelativeUrl(const QUrl& baseUrl, const QUrl& relative)
{
    if (!relative.isRelative())
        return relative;

    const QString basePath = baseUrl.path(QUrl::FullyDecoded);
    const QString relativePath = relative.path(QUrl::FullyDecoded);
    QString separator;
    if (!basePath.endsWith(QLatin1Char('/')) && !relativePath.startsWith(QLatin1Char('/')))
        separator = QStringLiteral("/");

    QUrl result = baseUrl;
    result.setPath(basePath + separator + relativePath, QUrl::DecodedMode);
    result.setQuery(QString());
    return result;
}

bool isContainedRelativePath(const QString& path)
{
    if (path.isEmpty() || path.startsWith(QLatin1Char('/')) || path.contains(QChar(u'\0')))
        return false;
    const QStringList components = path.split(QLatin1Char('/'));
    for (const QString& component : components) {
        if (component.isEmpty() || component == QLatin1String(".") || component == QLatin1String(".."))
            return false;
    }
    return true;
}

bool isAcceptedDocumentUrl(const QUrl& written)
{
    if (written.isRelative())
        return true;
    const QString scheme = written.scheme().toLower();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https"))
        return true;
    qWarning() << "Refused the URL" << written.toString()
               << "of a downloaded document: only http and https are fetched";
    return false;
}

QStringList defaultMarkerNames()
{
    return { QStringLiteral("package.json"), QStringLiteral("partial-package.json"), QStringLiteral("assets.json"),
        QStringLiteral("default"), QStringLiteral("FORCE_PATCH") };
}

TChunkInPackage TChunkInPackage::fromJson(const QJsonObject& object, const QUrl& baseUrl)
{
    TChunkInPackage chunk;
    chunk.packedHash = hashFromJson(object.value(QLatin1String("packedhash")));
    chunk.packedSize = sizeFromJson(object.value(QLatin1String("packedsize")));
    chunk.unpackedHash = hashFromJson(object.value(QLatin1String("unpackedhash")));
    chunk.unpackedSize = sizeFromJson(object.value(QLatin1String("unpackedsize")));
    chunk.unpack = object.value(QLatin1String("unpack")).toBool(true);
    const QString url = object.value(QLatin1String("url")).toString();
    // A refused address stays empty, so the chunk fails in its download and nothing is read from it.
    if (!url.isEmpty()) {
        const QUrl parsed(url);
        if (isAcceptedDocumentUrl(parsed))
            chunk.url = resolveRelativeUrl(baseUrl, parsed);
    }
    return chunk;
}

TFileInPackage::TFileInPackage(TFileInPackage&& other) noexcept
    : localFile(std::move(other.localFile))
    , unpackedSize(std::exchange(other.unpackedSize, 0))
    , unpackedHash(std::move(other.unpackedHash))
    , executable(std::exchange(other.executable, false))
    , patches(std::move(other.patches))
    , chunkIndices(std::move(other.chunkIndices))
    , wholeFile(std::exchange(other.wholeFile, TChunkInPackage()))
{ }

TFileInPackage& TFileInPackage::operator=(TFileInPackage&& other) noexcept
{
    if (this != &other) {
        localFile = std::exchange(other.localFile, QString());
        unpackedSize = std::exchange(other.unpackedSize, 0);
        unpackedHash = std::exchange(other.unpackedHash, QByteArray());
        executable = std::exchange(other.executable, false);
        patches = std::exchange(other.patches, {});
        chunkIndices = std::exchange(other.chunkIndices, {});
        wholeFile = std::exchange(other.wholeFile, TChunkInPackage());
    }
    return *this;
}

TFileInPackage TFileInPackage::fromJson(const QJsonObject& object, const QUrl& baseUrl)
{
    TFileInPackage file;
    file.localFile = object.value(QLatin1String("localfile")).toString();
    file.unpackedHash = hashFromJson(object.value(QLatin1String("unpackedhash")));
    file.unpackedSize = sizeFromJson(object.value(QLatin1String("unpackedsize")));
    file.executable = object.value(QLatin1String("executable")).toBool(false);
    file.wholeFile = TChunkInPackage::fromJson(object, baseUrl);

    const QJsonValue chunks = object.value(QLatin1String("chunks"));
    if (chunks.isArray()) {
        const QJsonArray array = chunks.toArray();
        file.chunkIndices.reserve(array.size());
        for (const QJsonValue& element : array)
            file.chunkIndices.push_back(element.toInt(0));
    }

    const QJsonValue patches = object.value(QLatin1String("patches"));
    if (patches.isArray()) {
        const QJsonArray array = patches.toArray();
        for (const QJsonValue& element : array)
            file.patches.push_back(patchFromJson(element.toObject(), baseUrl));
    }
    return file;
}

bool TFileInPackage::lessByLocalFile(const TFileInPackage& left, const TFileInPackage& right)
{
    return left.localFile < right.localFile;
}

TFileInPackageVector::iterator TFileInPackageVector::find(const QString& localFile)
{
    const auto found = std::lower_bound(begin(), end(), localFile, localFileLess);
    if (found != end() && found->localFile == localFile)
        return found;
    return end();
}

TFileInPackageVector::const_iterator TFileInPackageVector::find(const QString& localFile) const
{
    const auto found = std::lower_bound(begin(), end(), localFile, localFileLess);
    if (found != end() && found->localFile == localFile)
        return found;
    return end();
}

TPackageConfigurationReader::TPackageConfigurationReader(QByteArray packageJson, QByteArray assetJson,
    const QUrl& packageBaseUrl, const QUrl& assetBaseUrl, const QStringList& markerNames)
    : packageBaseUrl(packageBaseUrl)
    , assetBaseUrl(assetBaseUrl)
    , packageJson(std::move(packageJson))
    , assetJson(std::move(assetJson))
{
    parse(markerNames);
}

QString TPackageConfigurationReader::versionText() const
{
    const QString unknown = QStringLiteral("?");
    return QStringLiteral("P%1 A%2").arg(
        version.isEmpty() ? unknown : version, assetVersion.isEmpty() ? unknown : assetVersion);
}

void TPackageConfigurationReader::parse(const QStringList& markerNames)
{
    QJsonParseError error;
    const QJsonDocument package = QJsonDocument::fromJson(packageJson, &error);
    if (error.error != QJsonParseError::NoError) {
        qCritical() << "JSON package configuration file could not be parsed, using default package.";
        return;
    }
    QJsonDocument asset;
    if (!assetJson.isEmpty()) {
        asset = QJsonDocument::fromJson(assetJson, &error);
        if (error.error != QJsonParseError::NoError) {
            qCritical() << "JSON asset configuration file could not be parsed, using default package.";
            return;
        }
    }

    const QJsonObject packageObject = package.object();
    version = packageObject.value(QLatin1String("version")).toString();
    executable = packageObject.value(QLatin1String("executable")).toString();
    generation = generationFromText(packageObject.value(QLatin1String("generation")).toString());
    variant = variantFromText(packageObject.value(QLatin1String("variant")).toString());
    appendChunks(chunks, packageObject.value(QLatin1String("chunks")), packageBaseUrl);
    appendFiles(files, packageObject.value(QLatin1String("files")), packageBaseUrl);
    const QJsonArray parameterArray = packageObject.value(QLatin1String("parameters")).toArray();
    for (const QJsonValue& parameter : parameterArray)
        parameters.append(parameter.toString());

    if (asset.isObject()) {
        const QJsonObject assetObject = asset.object();
        assetVersion = assetVersionFromJson(assetObject.value(QLatin1String("version")));
        appendChunks(chunks, assetObject.value(QLatin1String("chunks")), assetBaseUrl);
        appendFiles(files, assetObject.value(QLatin1String("files")), assetBaseUrl);
    }

    std::sort(files.begin(), files.end(), TFileInPackage::lessByLocalFile);

    // The tables come from a server and steer deletions, writes and worker-thread indexing later on.
    if (!tablesAreSafe(markerNames)) {
        clearContent();
        return;
    }
    valid = true;
}

bool TPackageConfigurationReader::tablesAreSafe(const QStringList& markerNames) const
{
    // The client is started from the installation folder; one outside it is not the package's.
    if (!executable.isEmpty()) {
        const QString cleaned = QDir::cleanPath(executable);
        if (QDir::isAbsolutePath(executable) || cleaned == QLatin1String(".") || cleaned == QLatin1String("..")
            || cleaned.startsWith(QLatin1String("../"))) {
            qWarning() << "Package configuration rejected, the executable lies outside the installation folder:"
                       << executable;
            return false;
        }
    }
    const qsizetype chunkCount = qsizetype(chunks.size());
    for (std::size_t i = 0; i < files.size(); ++i) {
        const TFileInPackage& file = files[i];
        if (!isContainedRelativePath(file.localFile)) {
            qWarning() << "Package configuration rejected, local file name leaves the installation folder:"
                       << file.localFile;
            return false;
        }
        // The writer would overwrite the launcher's markers with the package's file, or the reverse.
        if (markerNames.contains(file.localFile.section(QLatin1Char('/'), 0, 0))) {
            qWarning() << "Package configuration rejected, local file name is taken by the launcher's markers:"
                       << file.localFile;
            return false;
        }
        if (i > 0 && files[i - 1].localFile == file.localFile) {
            qWarning() << "Package configuration rejected, local file listed twice:" << file.localFile;
            return false;
        }
        for (int index : file.chunkIndices) {
            if (index < 0 || index >= chunkCount) {
                qWarning() << "Package configuration rejected, chunk index" << index << "out of range in file"
                           << file.localFile;
                return false;
            }
        }
    }
    return true;
}

void TPackageConfigurationReader::clearContent()
{
    version.clear();
    assetVersion.clear();
    generation = EPackageGeneration::Unknown;
    variant = EPackageVariant::Unknown;
    executable.clear();
    parameters.clear();
    chunks.clear();
    files.clear();
}

} // namespace korvane::launcher
