#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <vector>

namespace korvane::launcher {

enum class EPackageGeneration : int { Unknown = 0, First = 1, Second = 2 };

enum class EPackageVariant : int { Unknown = 0, Regular = 1, Preview = 2, Beta = 3, Test = 4 };

// Joins a relative URL to a base folder URL; the query is dropped, an absolute URL is returned as it is.
QUrl resolveRelativeUrl(const QUrl& baseUrl, const QUrl& relative);

// A path that stays inside the folder it is joined to: not empty, not absolute, no empty, "." or ".."
// component (either slash counts as a separator) and no NUL character.
bool isContainedRelativePath(const QString& path);

// Whether a URL as a document writes it may be fetched: a relative one takes the scheme of the
// document's own address, an absolute one must be http or https. Logs the refusal.
bool isAcceptedDocumentUrl(const QUrl& written);

// The top-level names under which the launcher keeps its marker files in an installation folder, as
// the shipped settings name them.
QStringList defaultMarkerNames();

// A stored piece of file data.
struct TChunkInPackage
{
    QUrl url;
    quint64 packedSize = 0;
    QByteArray packedHash;
    quint64 unpackedSize = 0;
    QByteArray unpackedHash;
    bool unpack = true;

    static TChunkInPackage fromJson(const QJsonObject& object, const QUrl& baseUrl);
};

struct TPatchInPackage
{
    QUrl url;
    QString fromVersion;
    QString toVersion;
    qint64 size = 0;
};

// One file of an installation.
struct TFileInPackage
{
    QString localFile;
    quint64 unpackedSize = 0;
    QByteArray unpackedHash;
    bool executable = false;
    std::vector<TPatchInPackage> patches;
    std::vector<int> chunkIndices;
    TChunkInPackage wholeFile;

    TFileInPackage() = default;
    TFileInPackage(const TFileInPackage&) = default;
    TFileInPackage& operator=(const TFileInPackage&) = default;
    TFileInPackage(TFileInPackage&& other) noexcept;
    TFileInPackage& operator=(TFileInPackage&& other) noexcept;

    static TFileInPackage fromJson(const QJsonObject& object, const QUrl& baseUrl);
    static bool lessByLocalFile(const TFileInPackage& left, const TFileInPackage& right);
};

using TChunkInPackageVector = std::vector<TChunkInPackage>;

class TFileInPackageVector : public std::vector<TFileInPackage>
{
public:
    using std::vector<TFileInPackage>::vector;

    // The table must be sorted by lessByLocalFile.
    iterator find(const QString& localFile);
    const_iterator find(const QString& localFile) const;
};

// The package document and the optional asset document of one build, as one chunk table and one file
// table sorted by local file name.
class TPackageConfigurationReader
{
public:
    TPackageConfigurationReader() = default;
    // markerNames: top-level names a package may not use, since the launcher's markers live there.
    TPackageConfigurationReader(QByteArray packageJson, QByteArray assetJson, const QUrl& packageBaseUrl,
        const QUrl& assetBaseUrl, const QStringList& markerNames = defaultMarkerNames());

    QString versionText() const;

    QUrl packageBaseUrl;
    QUrl assetBaseUrl;
    QString version;
    QString assetVersion;
    EPackageGeneration generation = EPackageGeneration::Unknown;
    EPackageVariant variant = EPackageVariant::Unknown;
    QString executable;
    QStringList parameters;
    TChunkInPackageVector chunks;
    TFileInPackageVector files;
    QByteArray packageJson;
    QByteArray assetJson;
    // Only a valid configuration may be installed or verified: consumers treat an invalid one as none.
    bool valid = false;

private:
    void parse(const QStringList& markerNames);
    bool tablesAreSafe(const QStringList& markerNames) const;
    void clearContent();
};

} // namespace korvane::launcher
