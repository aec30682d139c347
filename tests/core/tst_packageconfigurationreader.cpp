#include "core/packageconfigurationreader.h"

#include <QtTest>

using namespace korvane::launcher;

namespace {

const QUrl packageBase(QStringLiteral("http://cdn.example/game/"));
const QUrl assetBase(QStringLiteral("http://cdn.example/assets/"));

TPackageConfigurationReader read(const QByteArray& package, const QByteArray& asset = QByteArray())
{
    return TPackageConfigurationReader(package, asset, packageBase, assetBase);
}

QByteArray hex(const char* text)
{
    return QByteArray::fromHex(text);
}

} // namespace

class TestPackageConfigurationReader : public QObject
{
    Q_OBJECT

private slots:
    void resolveRelativeUrl_data();
    void resolveRelativeUrl();

    void readsEveryMember();
    void defaultsForMissingAndMistypedMembers();
    void chunkMembers_data();
    void chunkMembers();
    void assetVersion_data();
    void assetVersion();
    void combinesPackageAndAssetDocuments();
    void assetDocumentThatIsNotAnObjectIsIgnored();
    void unparsableDocumentsGiveAnInvalidEmptyReader_data();
    void unparsableDocumentsGiveAnInvalidEmptyReader();

    void filesAreSortedByCodeUnits();
    void findIsExactOnALargeTable();
    void largeChunkTableKeepsItsOrder();
    void largeFileTableKeepsEveryFile();
    void moveLeavesTheSourceEmpty();

    void hostileDocumentsAreInvalid_data();
    void hostileDocumentsAreInvalid();
    void markerNamesOfTheSettingsAreRefused();
    void onlyHttpAddressesAreFetched_data();
    void onlyHttpAddressesAreFetched();
    void rejectionNamesTheFile();
    void containedRelativePath_data();
    void containedRelativePath();
};

void TestPackageConfigurationReader::resolveRelativeUrl_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("relative");
    QTest::addColumn<QString>("expected");

    QTest::newRow("slash on base only") << "http://h/c/"
                                        << "a/b"
                                        << "http://h/c/a/b";
    QTest::newRow("no slash on either") << "http://h/c"
                                        << "a"
                                        << "http://h/c/a";
    QTest::newRow("slash on both doubles") << "http://h/c/"
                                           << "/a"
                                           << "http://h/c//a";
    QTest::newRow("slash on relative only") << "http://h/c"
                                            << "/a"
                                            << "http://h/c/a";
    QTest::newRow("base query dropped") << "http://h/c/?nocache=12345"
                                        << "a.json"
                                        << "http://h/c/a.json";
    QTest::newRow("relative query and fragment dropped") << "http://h/c/"
                                                         << "a?x=1#f"
                                                         << "http://h/c/a";
    QTest::newRow("base port and fragment kept") << "http://h:8080/c/#top"
                                                 << "a"
                                                 << "http://h:8080/c/a#top";
    QTest::newRow("empty relative gives the folder") << "http://h/c/?q=1"
                                                     << ""
                                                     << "http://h/c/";
    QTest::newRow("absolute kept with its query") << "http://h/c/"
                                                  << "https://o/x?q=1"
                                                  << "https://o/x?q=1";
    QTest::newRow("local file base") << "file:///tmp/inst/"
                                     << "chunks/ab"
                                     << "file:///tmp/inst/chunks/ab";
    QTest::newRow("encoded character survives") << "http://h/c/"
                                                << "a%20b"
                                                << "http://h/c/a%20b";
}

void TestPackageConfigurationReader::resolveRelativeUrl()
{
    QFETCH(QString, base);
    QFETCH(QString, relative);
    QFETCH(QString, expected);
    QCOMPARE(korvane::launcher::resolveRelativeUrl(QUrl(base), QUrl(relative)).toString(QUrl::FullyEncoded), expected);
}

void TestPackageConfigurationReader::readsEveryMember()
{
    const QByteArray document = R"({
        "version": "12", "executable": "bin/client", "generation": "second", "variant": "preview",
        "parameters": ["-a", 5, "-b"], "ignored": 1,
        "chunks": [
            {"url": "c/0", "packedsize": 10, "packedhash": "AABB", "unpackedsize": "20", "unpackedhash": "ccdd",
             "unpack": false},
            {"url": "http://other.example/c/1", "unpackedsize": 5}
        ],
        "files": [
            {"localfile": "data/z.bin", "unpackedsize": 25, "unpackedhash": "0102", "executable": true,
             "chunks": [0, 1], "url": "whole/z", "packedsize": 15,
             "patches": [{"url": "p/1", "fromversion": 3, "toversion": 4, "size": 99}, {"url": ""}]}
        ]
    })";
    const TPackageConfigurationReader reader = read(document);

    QVERIFY(reader.valid);
    QCOMPARE(reader.version, QStringLiteral("12"));
    QCOMPARE(reader.executable, QStringLiteral("bin/client"));
    QCOMPARE(reader.generation, EPackageGeneration::Second);
    QCOMPARE(reader.variant, EPackageVariant::Preview);
    QCOMPARE(reader.parameters, QStringList({ QStringLiteral("-a"), QString(), QStringLiteral("-b") }));
    QCOMPARE(reader.versionText(), QStringLiteral("P12 A?"));
    QCOMPARE(reader.packageJson, document);
    QVERIFY(reader.assetJson.isEmpty());

    QCOMPARE(reader.chunks.size(), std::size_t(2));
    const TChunkInPackage& first = reader.chunks[0];
    QCOMPARE(first.url, QUrl(QStringLiteral("http://cdn.example/game/c/0")));
    QCOMPARE(first.packedSize, quint64(10));
    QCOMPARE(first.packedHash, hex("aabb"));
    QCOMPARE(first.unpackedSize, quint64(20));
    QCOMPARE(first.unpackedHash, hex("ccdd"));
    QCOMPARE(first.unpack, false);
    QCOMPARE(reader.chunks[1].url, QUrl(QStringLiteral("http://other.example/c/1")));
    QCOMPARE(reader.chunks[1].unpack, true);

    QCOMPARE(reader.files.size(), std::size_t(1));
    const TFileInPackage& file = reader.files[0];
    QCOMPARE(file.localFile, QStringLiteral("data/z.bin"));
    QCOMPARE(file.unpackedSize, quint64(25));
    QCOMPARE(file.unpackedHash, hex("0102"));
    QVERIFY(file.executable);
    QCOMPARE(file.chunkIndices, std::vector<int>({ 0, 1 }));
    QCOMPARE(file.wholeFile.url, QUrl(QStringLiteral("http://cdn.example/game/whole/z")));
    QCOMPARE(file.wholeFile.packedSize, quint64(15));
    QCOMPARE(file.wholeFile.unpackedSize, quint64(25));
    QCOMPARE(file.wholeFile.unpackedHash, hex("0102"));
    QCOMPARE(file.patches.size(), std::size_t(2));
    QCOMPARE(file.patches[0].url, QUrl(QStringLiteral("http://cdn.example/game/p/1")));
    QCOMPARE(file.patches[0].fromVersion, QStringLiteral("3"));
    QCOMPARE(file.patches[0].toVersion, QStringLiteral("4"));
    QCOMPARE(file.patches[0].size, qint64(99));
    QCOMPARE(file.patches[1].url, packageBase);
    QCOMPARE(file.patches[1].fromVersion, QStringLiteral("0"));
    QCOMPARE(file.patches[1].size, qint64(0));
}

void TestPackageConfigurationReader::defaultsForMissingAndMistypedMembers()
{
    const TPackageConfigurationReader empty;
    QVERIFY(!empty.valid);
    QCOMPARE(empty.versionText(), QStringLiteral("P? A?"));
    QCOMPARE(empty.generation, EPackageGeneration::Unknown);

    const TPackageConfigurationReader reader = read(R"({
        "version": 7, "executable": ["x"], "generation": "First", "variant": "Beta", "parameters": "-a",
        "chunks": {"url": "c"}, "files": [{"localfile": "f", "unpackedsize": true, "executable": 1,
                                            "chunks": "0", "patches": {}}]
    })");
    QVERIFY(reader.valid);
    QCOMPARE(reader.versionText(), QStringLiteral("P? A?"));
    QVERIFY(reader.executable.isEmpty());
    QCOMPARE(reader.generation, EPackageGeneration::Unknown);
    QCOMPARE(reader.variant, EPackageVariant::Unknown);
    QVERIFY(reader.parameters.isEmpty());
    QVERIFY(reader.chunks.empty());
    QCOMPARE(reader.files.size(), std::size_t(1));
    QCOMPARE(reader.files[0].unpackedSize, quint64(0));
    QVERIFY(!reader.files[0].executable);
    QVERIFY(reader.files[0].chunkIndices.empty());
    QVERIFY(reader.files[0].patches.empty());
    QVERIFY(reader.files[0].wholeFile.url.isEmpty());

    // A top level that is not an object reads as an empty object.
    const TPackageConfigurationReader array = read("[1, 2]");
    QVERIFY(array.valid);
    QVERIFY(array.files.empty());

    const TPackageConfigurationReader variants = read(R"({"generation": "first", "variant": "test"})");
    QCOMPARE(variants.generation, EPackageGeneration::First);
    QCOMPARE(variants.variant, EPackageVariant::Test);
}

void TestPackageConfigurationReader::chunkMembers_data()
{
    QTest::addColumn<QByteArray>("chunk");
    QTest::addColumn<QString>("url");
    QTest::addColumn<quint64>("packedSize");
    QTest::addColumn<QByteArray>("unpackedHash");
    QTest::addColumn<bool>("unpack");

    QTest::newRow("empty object") << QByteArray("{}") << QString() << quint64(0) << QByteArray() << true;
    QTest::newRow("empty url stays empty")
        << QByteArray(R"({"url": ""})") << QString() << quint64(0) << QByteArray() << true;
    QTest::newRow("size as decimal text")
        << QByteArray(R"({"packedsize": "4294967296"})") << QString() << quint64(4294967296ULL) << QByteArray() << true;
    QTest::newRow("size as boolean") << QByteArray(R"({"packedsize": true})") << QString() << quint64(0) << QByteArray()
                                     << true;
    QTest::newRow("size as non-digit text")
        << QByteArray(R"({"packedsize": "12ab"})") << QString() << quint64(0) << QByteArray() << true;
    QTest::newRow("upper-case hash") << QByteArray(R"({"unpackedhash": "A1B2C3"})") << QString() << quint64(0)
                                     << hex("a1b2c3") << true;
    QTest::newRow("lower-case hash") << QByteArray(R"({"unpackedhash": "a1b2c3"})") << QString() << quint64(0)
                                     << hex("a1b2c3") << true;
    // Not plain hex: read as ever, leniently.
    QTest::newRow("hash with odd digit count")
        << QByteArray(R"({"unpackedhash": "abc"})") << QString() << quint64(0) << hex("abc") << true;
    QTest::newRow("hash with a space") << QByteArray(R"({"unpackedhash": "a1 b2"})") << QString() << quint64(0)
                                       << hex("a1 b2") << true;
    QTest::newRow("hash as number") << QByteArray(R"({"unpackedhash": 12})") << QString() << quint64(0) << QByteArray()
                                    << true;
    QTest::newRow("unpack false") << QByteArray(R"({"unpack": false})") << QString() << quint64(0) << QByteArray()
                                  << false;
    QTest::newRow("unpack as text keeps default")
        << QByteArray(R"({"unpack": "false"})") << QString() << quint64(0) << QByteArray() << true;
    QTest::newRow("relative url") << QByteArray(R"({"url": "c/1?x=2"})") << "http://cdn.example/game/c/1" << quint64(0)
                                  << QByteArray() << true;
}

void TestPackageConfigurationReader::chunkMembers()
{
    QFETCH(QByteArray, chunk);
    QFETCH(QString, url);
    QFETCH(quint64, packedSize);
    QFETCH(QByteArray, unpackedHash);
    QFETCH(bool, unpack);

    const TPackageConfigurationReader reader = read("{\"chunks\": [" + chunk + "]}");
    QVERIFY(reader.valid);
    QCOMPARE(reader.chunks.size(), std::size_t(1));
    QCOMPARE(reader.chunks[0].url.toString(), url);
    QCOMPARE(reader.chunks[0].packedSize, packedSize);
    QCOMPARE(reader.chunks[0].unpackedHash, unpackedHash);
    QCOMPARE(reader.chunks[0].unpack, unpack);
}

void TestPackageConfigurationReader::assetVersion_data()
{
    QTest::addColumn<QByteArray>("asset");
    QTest::addColumn<QString>("versionText");

    QTest::newRow("whole number") << QByteArray(R"({"version": 7})") << "P1 A7";
    QTest::newRow("fraction") << QByteArray(R"({"version": 7.5})") << "P1 A0";
    QTest::newRow("beyond 32 bits") << QByteArray(R"({"version": 3000000000})") << "P1 A0";
    QTest::newRow("text") << QByteArray(R"({"version": "7b"})") << "P1 A7b";
    QTest::newRow("boolean") << QByteArray(R"({"version": true})") << "P1 A?";
    QTest::newRow("missing") << QByteArray("{}") << "P1 A?";
    QTest::newRow("no asset bytes") << QByteArray() << "P1 A?";
}

void TestPackageConfigurationReader::assetVersion()
{
    QFETCH(QByteArray, asset);
    QFETCH(QString, versionText);
    const TPackageConfigurationReader reader = read(R"({"version": "1"})", asset);
    QVERIFY(reader.valid);
    QCOMPARE(reader.versionText(), versionText);
}

void TestPackageConfigurationReader::combinesPackageAndAssetDocuments()
{
    const QByteArray package = R"({"chunks": [{"url": "p0"}, {"url": "p1"}, {"url": "p2"}],
                                   "files": [{"localfile": "m", "chunks": [2, 3]}]})";
    const QByteArray asset = R"({"version": 2, "chunks": [{"url": "a0"}],
                                 "files": [{"localfile": "b", "chunks": [0, 1]}, {"localfile": "z", "url": "w"}]})";
    const TPackageConfigurationReader reader = read(package, asset);

    QVERIFY(reader.valid);
    QCOMPARE(reader.assetJson, asset);
    QCOMPARE(reader.chunks.size(), std::size_t(4));
    QCOMPARE(reader.chunks[2].url, QUrl(QStringLiteral("http://cdn.example/game/p2")));
    QCOMPARE(reader.chunks[3].url, QUrl(QStringLiteral("http://cdn.example/assets/a0")));

    QCOMPARE(reader.files.size(), std::size_t(3));
    const auto b = reader.files.find(QStringLiteral("b"));
    QVERIFY(b != reader.files.end());
    // Positions count the package document's chunks first; no offset is added for the asset document.
    QCOMPARE(b->chunkIndices, std::vector<int>({ 0, 1 }));
    QCOMPARE(reader.chunks[std::size_t(b->chunkIndices[1])].url, QUrl(QStringLiteral("http://cdn.example/game/p1")));
    QCOMPARE(
        reader.files.find(QStringLiteral("z"))->wholeFile.url, QUrl(QStringLiteral("http://cdn.example/assets/w")));
    // A package file may name an asset chunk: the table is one.
    QCOMPARE(reader.files.find(QStringLiteral("m"))->chunkIndices, std::vector<int>({ 2, 3 }));
}

void TestPackageConfigurationReader::assetDocumentThatIsNotAnObjectIsIgnored()
{
    const TPackageConfigurationReader reader = read(R"({"files": [{"localfile": "a"}]})", "[{\"localfile\": \"b\"}]");
    QVERIFY(reader.valid);
    QCOMPARE(reader.files.size(), std::size_t(1));
    QCOMPARE(reader.versionText(), QStringLiteral("P? A?"));
}

void TestPackageConfigurationReader::unparsableDocumentsGiveAnInvalidEmptyReader_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QByteArray>("asset");
    QTest::addColumn<QString>("message");

    QTest::newRow("package truncated") << QByteArray(R"({"version": "1", "files": [)") << QByteArray()
                                       << "JSON package configuration file could not be parsed, using default package.";
    QTest::newRow("package empty") << QByteArray() << QByteArray()
                                   << "JSON package configuration file could not be parsed, using default package.";
    QTest::newRow("asset broken") << QByteArray(R"({"version": "1", "files": [{"localfile": "a"}]})")
                                  << QByteArray("{\"version\": ")
                                  << "JSON asset configuration file could not be parsed, using default package.";
}

void TestPackageConfigurationReader::unparsableDocumentsGiveAnInvalidEmptyReader()
{
    QFETCH(QByteArray, package);
    QFETCH(QByteArray, asset);
    QFETCH(QString, message);

    QTest::ignoreMessage(QtCriticalMsg, message.toUtf8().constData());
    const TPackageConfigurationReader reader = read(package, asset);
    QVERIFY(!reader.valid);
    QVERIFY(reader.version.isEmpty());
    QVERIFY(reader.files.empty());
    QCOMPARE(reader.packageJson, package);
    QCOMPARE(reader.assetJson, asset);
    QCOMPARE(reader.packageBaseUrl, packageBase);
    QCOMPARE(reader.assetBaseUrl, assetBase);
}

void TestPackageConfigurationReader::filesAreSortedByCodeUnits()
{
    const TPackageConfigurationReader reader
        = read(R"({"files": [{"localfile": "b"}, {"localfile": "a"}, {"localfile": "B"}, {"localfile": "a/b"}]})");
    QVERIFY(reader.valid);
    QStringList order;
    for (const TFileInPackage& file : reader.files)
        order << file.localFile;
    QCOMPARE(order, QStringList({ "B", "a", "a/b", "b" }));
    QVERIFY(std::is_sorted(reader.files.begin(), reader.files.end(), TFileInPackage::lessByLocalFile));

    QVERIFY(reader.files.find(QStringLiteral("A")) == reader.files.end());
    QVERIFY(reader.files.find(QStringLiteral("a/")) == reader.files.end());
    QVERIFY(reader.files.find(QString()) == reader.files.end());
    QCOMPARE(reader.files.find(QStringLiteral("B")) - reader.files.begin(), 0);
    QCOMPARE(reader.files.find(QStringLiteral("b")) - reader.files.begin(), 3);
}

void TestPackageConfigurationReader::findIsExactOnALargeTable()
{
    QJsonArray files;
    for (int i = 999; i >= 0; i -= 3)
        files.append(QJsonObject { { "localfile", QStringLiteral("dir/file%1").arg(i) } });
    const TPackageConfigurationReader reader = read(QJsonDocument(QJsonObject { { "files", files } }).toJson());
    QVERIFY(reader.valid);
    for (int i = 0; i < 1000; ++i) {
        const QString name = QStringLiteral("dir/file%1").arg(i);
        const auto found = reader.files.find(name);
        if (i % 3 == 0) {
            QVERIFY2(found != reader.files.end(), qPrintable(name));
            QCOMPARE(found->localFile, name);
        } else {
            QVERIFY2(found == reader.files.end(), qPrintable(name));
        }
    }
}

void TestPackageConfigurationReader::largeChunkTableKeepsItsOrder()
{
    // Several thousand chunks, as a real package has: every one in its place, a refused address among them.
    constexpr int count = 10001;
    QJsonArray chunks;
    for (int i = 0; i < count; ++i) {
        const QString hash = QString::fromLatin1(QByteArray::number(i, 16).rightJustified(64, '0'));
        const QString url = i == 4096 ? QStringLiteral("file:///etc/hostname") : QStringLiteral("c/%1").arg(i);
        chunks.append(QJsonObject { { "url", url }, { "packedsize", i }, { "unpackedhash", hash } });
    }
    const TPackageConfigurationReader reader = read(QJsonDocument(QJsonObject { { "chunks", chunks } }).toJson());
    QVERIFY(reader.valid);
    QCOMPARE(reader.chunks.size(), std::size_t(count));
    for (int i = 0; i < count; ++i) {
        const TChunkInPackage& chunk = reader.chunks[std::size_t(i)];
        const QUrl url = i == 4096 ? QUrl() : QUrl(QStringLiteral("http://cdn.example/game/c/%1").arg(i));
        QVERIFY2(chunk.url == url && chunk.packedSize == quint64(i)
                && chunk.unpackedHash == QByteArray::fromHex(QByteArray::number(i, 16).rightJustified(64, '0')),
            qPrintable(QStringLiteral("chunk %1").arg(i)));
    }
}

void TestPackageConfigurationReader::largeFileTableKeepsEveryFile()
{
    // Thousands of files, read in blocks like the chunks: each one whole, under its own name.
    constexpr int count = 2500;
    QJsonArray files;
    for (int i = 0; i < count; ++i) {
        files.append(QJsonObject { { "localfile", QStringLiteral("f%1").arg(i, 5, 10, QLatin1Char('0')) },
            { "unpackedsize", i }, { "url", QStringLiteral("w/%1").arg(i) }, { "chunks", QJsonArray { i, i + 1 } } });
    }
    QJsonArray chunks;
    for (int i = 0; i <= count; ++i)
        chunks.append(QJsonObject {});
    const TPackageConfigurationReader reader
        = read(QJsonDocument(QJsonObject { { "files", files }, { "chunks", chunks } }).toJson());
    QVERIFY(reader.valid);
    QCOMPARE(reader.files.size(), std::size_t(count));
    for (int i = 0; i < count; ++i) {
        const TFileInPackage& file = reader.files[std::size_t(i)];
        QVERIFY2(file.localFile == QStringLiteral("f%1").arg(i, 5, 10, QLatin1Char('0'))
                && file.unpackedSize == quint64(i) && file.chunkIndices == std::vector<int>({ i, i + 1 })
                && file.wholeFile.url == QUrl(QStringLiteral("http://cdn.example/game/w/%1").arg(i)),
            qPrintable(QStringLiteral("file %1").arg(i)));
    }
}

void TestPackageConfigurationReader::moveLeavesTheSourceEmpty()
{
    const TPackageConfigurationReader reader = read(
        R"({"files": [{"localfile": "x", "unpackedsize": 3, "executable": true, "chunks": [0], "url": "w"}],
            "chunks": [{}]})");
    QVERIFY(reader.valid);
    TFileInPackage source = reader.files[0];
    const TFileInPackage target(std::move(source));
    QCOMPARE(target.localFile, QStringLiteral("x"));
    QCOMPARE(target.chunkIndices.size(), std::size_t(1));
    QVERIFY(source.localFile.isEmpty());
    QCOMPARE(source.unpackedSize, quint64(0));
    QVERIFY(!source.executable);
    QVERIFY(source.chunkIndices.empty());
    QVERIFY(source.wholeFile.url.isEmpty());

    TFileInPackage assigned;
    TFileInPackage second = reader.files[0];
    assigned = std::move(second);
    QCOMPARE(assigned.unpackedSize, quint64(3));
    QCOMPARE(second.unpackedSize, quint64(0));

    const TPackageConfigurationReader copy(reader);
    QVERIFY(copy.valid);
    QCOMPARE(copy.files.size(), std::size_t(1));
    QCOMPARE(copy.packageJson, reader.packageJson);
}

void TestPackageConfigurationReader::hostileDocumentsAreInvalid_data()
{
    QTest::addColumn<QByteArray>("package");
    QTest::addColumn<QByteArray>("asset");
    QTest::addColumn<bool>("valid");

    const QByteArray twoChunks = R"("chunks": [{"url": "c0"}, {"url": "c1"}])";
    auto withFile = [&](const char* file) { return "{" + twoChunks + R"(, "files": [)" + file + "]}"; };

    QTest::newRow("index in range") << withFile(R"({"localfile": "a", "chunks": [0, 1, 0]})") << QByteArray() << true;
    QTest::newRow("negative index") << withFile(R"({"localfile": "a", "chunks": [0, -1]})") << QByteArray() << false;
    QTest::newRow("index equal to table size")
        << withFile(R"({"localfile": "a", "chunks": [2]})") << QByteArray() << false;
    QTest::newRow("huge index") << withFile(R"({"localfile": "a", "chunks": [2147483647]})") << QByteArray() << false;
    QTest::newRow("non-number index with no chunks")
        << QByteArray(R"({"files": [{"localfile": "a", "chunks": ["x"]}]})") << QByteArray() << false;
    QTest::newRow("asset file beyond the combined table")
        << QByteArray("{" + twoChunks + "}")
        << QByteArray(R"({"chunks": [{}], "files": [{"localfile": "a", "chunks": [3]}]})") << false;
    QTest::newRow("asset file on the last combined chunk")
        << QByteArray("{" + twoChunks + "}")
        << QByteArray(R"({"chunks": [{}], "files": [{"localfile": "a", "chunks": [2]}]})") << true;

    QTest::newRow("empty local file") << withFile(R"({"chunks": [0]})") << QByteArray() << false;
    QTest::newRow("absolute local file") << withFile(R"({"localfile": "/etc/passwd"})") << QByteArray() << false;
    QTest::newRow("parent component") << withFile(R"({"localfile": "../launcher"})") << QByteArray() << false;
    QTest::newRow("parent deeper down") << withFile(R"({"localfile": "a/../../x"})") << QByteArray() << false;
    QTest::newRow("only parent") << withFile(R"({"localfile": ".."})") << QByteArray() << false;
    QTest::newRow("only dot") << withFile(R"({"localfile": "."})") << QByteArray() << false;
    QTest::newRow("dot component") << withFile(R"({"localfile": "a/./b"})") << QByteArray() << false;
    QTest::newRow("empty component") << withFile(R"({"localfile": "a//b"})") << QByteArray() << false;
    QTest::newRow("trailing slash") << withFile(R"({"localfile": "a/"})") << QByteArray() << false;
    QTest::newRow("NUL character") << withFile(R"({"localfile": "a\u0000/b"})") << QByteArray() << false;
    QTest::newRow("unsafe name in asset")
        << QByteArray("{}") << QByteArray(R"({"files": [{"localfile": "../x"}]})") << false;
    QTest::newRow("dots inside names are fine")
        << withFile(R"({"localfile": "..a/b..c/.hidden/a b"})") << QByteArray() << true;

    QTest::newRow("same name twice") << withFile(R"({"localfile": "a"}, {"localfile": "b"}, {"localfile": "a"})")
                                     << QByteArray() << false;
    QTest::newRow("same name in package and asset")
        << withFile(R"({"localfile": "a"})") << QByteArray(R"({"files": [{"localfile": "a"}]})") << false;
    QTest::newRow("names differing in case")
        << withFile(R"({"localfile": "a"}, {"localfile": "A"})") << QByteArray() << true;

    // The launcher's markers live at the top of the folder; the writer would overwrite them.
    for (const char* marker : { "package.json", "partial-package.json", "assets.json", "default", "FORCE_PATCH" }) {
        QTest::addRow("marker name %s", marker)
            << withFile(qPrintable(QStringLiteral(R"({"localfile": "%1"})").arg(marker))) << QByteArray() << false;
    }
    QTest::newRow("marker name as a folder")
        << withFile(R"({"localfile": "default/config.ini"})") << QByteArray() << false;
    QTest::newRow("marker name in an asset document")
        << QByteArray("{}") << QByteArray(R"({"files": [{"localfile": "assets.json"}]})") << false;
    QTest::newRow("marker name deeper down")
        << withFile(R"({"localfile": "data/package.json"})") << QByteArray() << true;
    QTest::newRow("marker name in other case") << withFile(R"({"localfile": "Default"})") << QByteArray() << true;

    // The client is started from the installation folder.
    QTest::newRow("executable climbing out")
        << QByteArray(R"({"executable": "../../bin/true"})") << QByteArray() << false;
    QTest::newRow("absolute executable") << QByteArray(R"({"executable": "/bin/true"})") << QByteArray() << false;
    QTest::newRow("executable climbing out deeper down")
        << QByteArray(R"({"executable": "bin/../../x"})") << QByteArray() << false;
    QTest::newRow("executable naming the folder") << QByteArray(R"({"executable": "bin/.."})") << QByteArray() << false;
    QTest::newRow("executable climbing back inside")
        << QByteArray(R"({"executable": "bin/../client"})") << QByteArray() << true;
    QTest::newRow("executable in a subfolder") << QByteArray(R"({"executable": "bin/client"})") << QByteArray() << true;
}

void TestPackageConfigurationReader::hostileDocumentsAreInvalid()
{
    QFETCH(QByteArray, package);
    QFETCH(QByteArray, asset);
    QFETCH(bool, valid);

    if (!valid)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Package configuration rejected"));
    const TPackageConfigurationReader reader = read(package, asset);
    QCOMPARE(reader.valid, valid);
    if (!valid) {
        // Nothing of a rejected document may be used; the raw bytes stay for the record.
        QVERIFY(reader.files.empty());
        QVERIFY(reader.chunks.empty());
        QCOMPARE(reader.packageJson, package);
        QCOMPARE(reader.assetJson, asset);
    }
}

void TestPackageConfigurationReader::markerNamesOfTheSettingsAreRefused()
{
    const QByteArray document = R"({"files": [{"localfile": "installed.json"}]})";
    QVERIFY(read(document).valid);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Package configuration rejected, local file name is taken"));
    QVERIFY(
        !TPackageConfigurationReader(document, {}, QUrl("http://h/"), QUrl("http://h/"), { "installed.json" }).valid);
}

void TestPackageConfigurationReader::onlyHttpAddressesAreFetched_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QString>("written");
    QTest::addColumn<QString>("url");
    QTest::newRow("local file") << "http://cdn.example/game/"
                                << "file:///etc/hostname"
                                << "";
    QTest::newRow("local file in capitals") << "http://cdn.example/game/"
                                            << "FILE:///etc/hostname"
                                            << "";
    QTest::newRow("resource") << "http://cdn.example/game/"
                              << "qrc:/settings/launchersettings.ini"
                              << "";
    QTest::newRow("ftp") << "http://cdn.example/game/"
                         << "ftp://cdn.example/c/1"
                         << "";
    QTest::newRow("https") << "http://cdn.example/game/"
                           << "https://other.example/c/1"
                           << "https://other.example/c/1";
    QTest::newRow("http in capitals") << "https://cdn.example/game/"
                                      << "HTTP://other.example/c/1"
                                      << "http://other.example/c/1";
    // The launcher's own road: a document read back from the installation folder.
    QTest::newRow("relative on a local folder") << "file:///tmp/inst/"
                                                << "c/1"
                                                << "file:///tmp/inst/c/1";
    QTest::newRow("local file on a local folder") << "file:///tmp/inst/"
                                                  << "file:///etc/hostname"
                                                  << "";
}

void TestPackageConfigurationReader::onlyHttpAddressesAreFetched()
{
    QFETCH(QString, base);
    QFETCH(QString, written);
    QFETCH(QString, url);
    const QByteArray chunk = QStringLiteral(R"({"url": "%1"})").arg(written).toUtf8();
    const QByteArray document = "{\"chunks\": [" + chunk + "], \"files\": [" + chunk.chopped(1)
        + R"(, "localfile": "a", "chunks": [0, 0]}]})";
    if (url.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Refused the URL .*only http and https"));
    if (url.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Refused the URL .*only http and https"));
    const TPackageConfigurationReader reader(document, {}, QUrl(base), QUrl(base));
    QVERIFY(reader.valid);
    QCOMPARE(reader.chunks.at(0).url.toString(), url);
    QCOMPARE(reader.files.at(0).wholeFile.url.toString(), url);
}

void TestPackageConfigurationReader::rejectionNamesTheFile()
{
    QTest::ignoreMessage(QtWarningMsg, "Package configuration rejected, chunk index 5 out of range in file \"bin/x\"");
    QVERIFY(!read(R"({"files": [{"localfile": "bin/x", "chunks": [5]}]})").valid);
}

void TestPackageConfigurationReader::containedRelativePath_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("contained");

    QTest::newRow("plain") << "game" << true;
    QTest::newRow("nested") << "a/b/c.pak" << true;
    QTest::newRow("leading dots in a name") << "...x" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("root") << "/" << false;
    QTest::newRow("absolute") << "/home/x" << false;
    QTest::newRow("parent") << ".." << false;
    QTest::newRow("parent at the end") << "a/.." << false;
    QTest::newRow("leading dot component") << "./a" << false;
}

void TestPackageConfigurationReader::containedRelativePath()
{
    QFETCH(QString, path);
    QFETCH(bool, contained);
    QCOMPARE(isContainedRelativePath(path), contained);
}

QTEST_APPLESS_MAIN(TestPackageConfigurationReader)
#include "tst_packageconfigurationreader.moc"
