#include "core/launcherconfigurationreader.h"
#include "core/package.h"
#include "core/packageconfigurationreader.h"
#include "installation/contentdefinedchunker.h"

#include <QtTest>

#include <lzma/LzmaDec.h>
#include <zlib.h>

#include <cstdlib>

using namespace korvane::launcher;

namespace {

constexpr int chunkSize = 65536;

QByteArray sha256(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256);
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void writeFile(const QString& path, const QByteArray& data, bool executable = false)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), data.size());
    file.close();
    if (executable)
        file.setPermissions(file.permissions() | QFile::ExeOwner);
}

struct TRun
{
    int exitCode = -1;
    QByteArray errorOutput;
};

TRun runTool(const QStringList& arguments)
{
    QProcess process;
    process.start(QStringLiteral(KORVANE_MAKE_PACKAGE_BINARY), arguments);
    TRun run;
    if (!process.waitForFinished(30000)) {
        process.kill();
        process.waitForFinished(5000);
        return run;
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.errorOutput = process.readAllStandardError();
    return run;
}

std::uint64_t readLeb128(const QByteArray& data, qsizetype& cursor, bool& ok)
{
    std::uint64_t value = 0;
    for (int shift = 0; shift < 70 && cursor < data.size(); shift += 7) {
        const auto byte = std::uint8_t(data[cursor++]);
        value |= std::uint64_t(byte & 0x7F) << shift;
        if (!(byte & 0x80))
            return value;
    }
    ok = false;
    return 0;
}

void* lzmaAlloc(void*, size_t size)
{
    return std::malloc(size);
}

void lzmaFree(void*, void* address)
{
    std::free(address);
}

// The codec byte of a packed buffer, or -1 without a packed header.
int codecOf(const QByteArray& body)
{
    qsizetype cursor = 0;
    while (cursor < body.size() && body[cursor] == 0)
        ++cursor;
    return body.size() - cursor >= 2 && body[cursor] == 0x70 ? int(std::uint8_t(body[cursor + 1])) : -1;
}

// Unpacks a packed buffer with the codec the tool used, or with RAW where that codec did not shrink
// the piece; a null result on any fault. Written with zlib and the LZMA decoder directly rather than
// packbuf, so that it checks the format independently of the code that wrote it.
QByteArray unpackBody(const QByteArray& body, int expectedCodec)
{
    const int codec = codecOf(body);
    if (codec != expectedCodec && codec != 0)
        return QByteArray();
    expectedCodec = codec;
    qsizetype cursor = 0;
    while (body[cursor] == 0)
        ++cursor;
    cursor += 2;
    bool ok = true;
    const std::uint64_t unpackedLength = readLeb128(body, cursor, ok);
    const std::uint64_t payloadLength = readLeb128(body, cursor, ok);
    if (!ok || payloadLength != std::uint64_t(body.size() - cursor))
        return QByteArray();
    const QByteArray payload = body.mid(cursor);
    QByteArray out(qsizetype(unpackedLength), '\0');

    if (expectedCodec == 0)
        return payload;
    if (expectedCodec == 3) {
        z_stream stream {};
        if (inflateInit2(&stream, -15) != Z_OK)
            return QByteArray();
        stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload.constData()));
        stream.avail_in = uInt(payload.size());
        stream.next_out = reinterpret_cast<Bytef*>(out.data());
        stream.avail_out = uInt(out.size());
        const int result = inflate(&stream, Z_FINISH);
        const bool complete = result == Z_STREAM_END && stream.total_out == unpackedLength;
        inflateEnd(&stream);
        return complete ? out : QByteArray();
    }
    if (expectedCodec == 5) {
        if (payload.size() < 13)
            return QByteArray();
        std::uint64_t dataLength = 0;
        for (int i = 0; i < 8; ++i)
            dataLength |= std::uint64_t(std::uint8_t(payload[5 + i])) << (8 * i);
        if (dataLength != std::uint64_t(payload.size() - 13))
            return QByteArray();
        ISzAlloc allocator { lzmaAlloc, lzmaFree };
        SizeT outLength = SizeT(out.size());
        SizeT inLength = SizeT(dataLength);
        ELzmaStatus status;
        const SRes result = LzmaDecode(reinterpret_cast<Byte*>(out.data()), &outLength,
            reinterpret_cast<const Byte*>(payload.constData() + 13), &inLength,
            reinterpret_cast<const Byte*>(payload.constData()), 5, LZMA_FINISH_END, &status, &allocator);
        if (result != SZ_OK || status != LZMA_STATUS_FINISHED_WITH_MARK || outLength != unpackedLength)
            return QByteArray();
        return out;
    }
    return QByteArray();
}

QMap<QString, QByteArray> folderContents(const QString& folder)
{
    QMap<QString, QByteArray> contents;
    QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        contents.insert(QDir(folder).relativeFilePath(path), readFile(path));
    }
    return contents;
}

} // namespace

class TestMakePackage : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void outputReadsBackValid_data();
    void outputReadsBackValid();
    void outputIsDeterministic();
    void cutsMatchTheScanUnlessSizeIsGiven();
    void refusesBadInvocations_data();
    void refusesBadInvocations();

private:
    QString inputFolder() const { return workspace.filePath(QStringLiteral("input")); }
    QString assetFolder() const { return workspace.filePath(QStringLiteral("assets")); }
    QStringList standardArguments(const QString& output) const;

    QTemporaryDir workspace;
    QMap<QString, QByteArray> expectedFiles;
};

void TestMakePackage::initTestCase()
{
    QVERIFY(workspace.isValid());
    QByteArray compressible;
    for (int i = 0; compressible.size() < 3 * chunkSize + 1234; ++i)
        compressible += "line " + QByteArray::number(i) + " of the game data\n";
    QByteArray noise(chunkSize + 17, '\0');
    quint32 state = 12345;
    for (char& c : noise) {
        state = state * 1103515245u + 12345u;
        c = char(state >> 24);
    }

    expectedFiles = {
        { "bin/client", "#!/bin/sh\necho started\n" },
        { "data/levels.dat", compressible },
        { "data/noise.bin", noise },
        { "data/copy-of-levels.dat", compressible },
        { "empty", QByteArray() },
        { "readme.txt", "Korvane Vedudi\n" },
    };
    for (auto it = expectedFiles.cbegin(); it != expectedFiles.cend(); ++it)
        writeFile(inputFolder() + "/" + it.key(), it.value(), it.key() == "bin/client");

    const QMap<QString, QByteArray> assets = {
        { "media/intro.txt", "intro\n" },
        { "media/levels-again.dat", compressible.left(2 * chunkSize) },
    };
    for (auto it = assets.cbegin(); it != assets.cend(); ++it) {
        writeFile(assetFolder() + "/" + it.key(), it.value());
        expectedFiles.insert(it.key(), it.value());
    }
}

QStringList TestMakePackage::standardArguments(const QString& output) const
{
    return { "--input", inputFolder(), "--asset-input", assetFolder(), "--output", output, "--name", "Fixture Game",
        "--directory-name", "fixture", "--version", "3", "--asset-version", "7", "--executable", "bin/client",
        "--parameter", "-windowed", "--parameter", "--lang=de", "--install-automatically" };
}

void TestMakePackage::outputReadsBackValid_data()
{
    QTest::addColumn<QString>("packing");
    QTest::addColumn<QStringList>("cutting");
    QTest::addColumn<int>("codec"); // -1: plain bodies

    const QStringList fixed { "--chunk-size", QString::number(chunkSize) };
    QTest::newRow("plain, fixed chunks") << "none" << fixed << -1;
    QTest::newRow("raw, fixed chunks") << "raw" << fixed << 0;
    QTest::newRow("deflate, fixed chunks") << "deflate" << fixed << 3;
    QTest::newRow("lzma, fixed chunks") << "lzma" << fixed << 5;
    QTest::newRow("deflate, content-defined by default") << "deflate" << QStringList() << 3;
    QTest::newRow("deflate, content-defined asked for") << "deflate" << QStringList { "--content-defined" } << 3;
}

void TestMakePackage::outputReadsBackValid()
{
    QFETCH(QString, packing);
    QFETCH(QStringList, cutting);
    QFETCH(int, codec);
    const bool contentDefined = !cutting.contains(QStringLiteral("--chunk-size"));

    const QString output = workspace.filePath(QStringLiteral("out-%1").arg(QTest::currentDataTag()));
    const TRun run = runTool(standardArguments(output) << "--packing" << packing << cutting);
    QVERIFY2(run.exitCode == 0, run.errorOutput.constData());

    const TLauncherConfigurationReader launcher(QUrl::fromLocalFile(output + "/"), readFile(output + "/launcher.json"));
    QCOMPARE(launcher.packages.size(), std::size_t(1));
    const TPackage& package = *launcher.packages[0];
    QCOMPARE(package.name, QStringLiteral("Fixture Game"));
    QCOMPARE(package.directoryName, QStringLiteral("fixture"));
    QVERIFY(package.installAutomatically);
    const TPackageBuild* build = package.platformBuild(TPlatform { EOperatingSystem::Linux, EArchitecture::X86_64 });
    QVERIFY(build);
    QVERIFY(build->url.isLocalFile());
    QVERIFY(build->assetsUrl.isLocalFile());

    const TPackageConfigurationReader reader(readFile(build->url.toLocalFile()),
        readFile(build->assetsUrl.toLocalFile()), build->url.adjusted(QUrl::RemoveFilename),
        build->assetsUrl.adjusted(QUrl::RemoveFilename));
    QVERIFY(reader.valid);
    QCOMPARE(reader.versionText(), QStringLiteral("P3 A7"));
    QCOMPARE(reader.executable, QStringLiteral("bin/client"));
    QCOMPARE(reader.parameters, QStringList({ "-windowed", "--lang=de" }));
    QCOMPARE(reader.files.size(), std::size_t(expectedFiles.size()));

    QSet<QString> chunkUrls;
    for (const TChunkInPackage& chunk : reader.chunks)
        chunkUrls.insert(chunk.url.toString());
    QCOMPARE(chunkUrls.size(), qsizetype(reader.chunks.size()));

    int packedWithCodec = 0;
    for (auto it = expectedFiles.cbegin(); it != expectedFiles.cend(); ++it) {
        const auto file = reader.files.find(it.key());
        QVERIFY2(file != reader.files.end(), qPrintable(it.key()));
        QCOMPARE(file->unpackedSize, quint64(it.value().size()));
        QCOMPARE(file->unpackedHash, sha256(it.value()));
        QCOMPARE(file->executable, it.key() == "bin/client");
        // Files are always assembled from chunks, never fetched whole.
        QVERIFY(file->wholeFile.url.isEmpty());

        QByteArray assembled;
        quint64 packedTotal = 0;
        for (std::size_t k = 0; k < file->chunkIndices.size(); ++k) {
            const TChunkInPackage& chunk = reader.chunks[std::size_t(file->chunkIndices[k])];
            QVERIFY(chunk.url.isLocalFile());
            const QByteArray body = readFile(chunk.url.toLocalFile());
            QCOMPARE(chunk.url.fileName(), QString::fromLatin1(sha256(body).toHex()));
            QCOMPARE(chunk.packedSize, quint64(body.size()));
            QCOMPARE(chunk.packedHash, sha256(body));
            QCOMPARE(chunk.unpack, codec >= 0);
            const QByteArray piece = codec >= 0 ? unpackBody(body, codec) : body;
            packedWithCodec += codecOf(body) == codec ? 1 : 0;
            QCOMPARE(piece.size(), qsizetype(chunk.unpackedSize));
            QCOMPARE(sha256(piece), chunk.unpackedHash);
            if (!contentDefined && k + 1 < file->chunkIndices.size())
                QCOMPARE(chunk.unpackedSize, quint64(chunkSize));
            assembled += piece;
            packedTotal += chunk.packedSize;
        }
        QCOMPARE(assembled, it.value());
        QCOMPARE(file->wholeFile.packedSize, packedTotal);
    }

    // Only pieces that the codec cannot shrink fall back to RAW.
    QVERIFY(codec <= 0 || packedWithCodec > 0);

    // Equal pieces are stored once, so the copy shares its chunks with the original.
    QCOMPARE(
        reader.files.find("data/copy-of-levels.dat")->chunkIndices, reader.files.find("data/levels.dat")->chunkIndices);
    if (codec == 3) {
        const auto levels = reader.files.find("data/levels.dat");
        const TChunkInPackage& first = reader.chunks[std::size_t(levels->chunkIndices[0])];
        QVERIFY(first.packedSize < first.unpackedSize / 4);
    }
}

void TestMakePackage::outputIsDeterministic()
{
    const QString first = workspace.filePath("same-1");
    const QString second = workspace.filePath("same-2");
    for (const QString& output : { first, second }) {
        const TRun run = runTool(standardArguments(output) << "--packing"
                                                           << "lzma"
                                                           << "--chunk-size"
                                                           << "40000");
        QVERIFY2(run.exitCode == 0, run.errorOutput.constData());
    }
    const QMap<QString, QByteArray> a = folderContents(first);
    QVERIFY(a.contains("launcher.json"));
    QVERIFY(a.contains("package/package.json"));
    QVERIFY(a.contains("package/assets.json"));
    QCOMPARE(a, folderContents(second));
}

void TestMakePackage::cutsMatchTheScanUnlessSizeIsGiven()
{
    // Large enough for several pieces between the chunker's minimum and maximum.
    QByteArray data(18 * 1024 * 1024, '\0');
    quint64 state = 88172645463325252ULL;
    for (char& c : data) {
        state ^= state << 13;
        state ^= state >> 7;
        state ^= state << 17;
        c = char(state);
    }
    const QString input = workspace.filePath("large-input");
    writeFile(input + "/large.bin", data);
    std::vector<quint64> scanPieces;
    QVERIFY(TContentDefinedChunker::chunkFile(
        input + "/large.bin", [&](const unsigned char*, std::size_t length) { scanPieces.push_back(length); }));
    QVERIFY(scanPieces.size() > 1);

    const auto toolPieces = [&](const QString& name, const QStringList& cutting) {
        const QString output = workspace.filePath(name);
        const TRun run = runTool(QStringList { "--input", input, "--output", output } << cutting);
        std::vector<quint64> pieces;
        if (run.exitCode != 0) {
            qWarning() << run.errorOutput;
            return pieces;
        }
        const TPackageConfigurationReader reader(readFile(output + "/package/package.json"), QByteArray(),
            QUrl::fromLocalFile(output + "/package/"), QUrl());
        if (!reader.valid || reader.files.size() != 1)
            return pieces;
        for (int index : reader.files[0].chunkIndices)
            pieces.push_back(reader.chunks[std::size_t(index)].unpackedSize);
        return pieces;
    };
    // By default the tool cuts where an installation scan cuts, so an update reuses what is on disk.
    QCOMPARE(toolPieces("large-default", {}), scanPieces);
    // A given size keeps fixed cuts.
    const std::vector<quint64> fixed { 4194304, 4194304, 4194304, 4194304, 2097152 };
    QCOMPARE(toolPieces("large-fixed", { "--chunk-size", "4194304" }), fixed);
}

void TestMakePackage::refusesBadInvocations_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<int>("exitCode");

    QTest::newRow("no input") << QStringList { "--output", "@out" } << 2;
    QTest::newRow("unknown packing") << QStringList { "--input", "@in", "--output", "@out", "--packing", "zip" } << 2;
    QTest::newRow("zero chunk size") << QStringList { "--input", "@in", "--output", "@out", "--chunk-size", "0" } << 2;
    QTest::newRow("both ways of cutting")
        << QStringList { "--input", "@in", "--output", "@out", "--chunk-size", "65536", "--content-defined" } << 2;
    QTest::newRow("missing input folder") << QStringList { "--input", "@in/nothing", "--output", "@out" } << 1;
    QTest::newRow("asset clashes with package file")
        << QStringList { "--input", "@in", "--asset-input", "@in", "--output", "@out" } << 1;
    QTest::newRow("output not empty") << QStringList { "--input", "@in", "--output", "@in" } << 1;
}

void TestMakePackage::refusesBadInvocations()
{
    QFETCH(QStringList, arguments);
    QFETCH(int, exitCode);
    const QString output = workspace.filePath("refused");
    arguments.replaceInStrings("@in", inputFolder());
    arguments.replaceInStrings("@out", output);
    const TRun run = runTool(arguments);
    QCOMPARE(run.exitCode, exitCode);
    QVERIFY(run.errorOutput.startsWith("make-package: "));
    QVERIFY(!QFileInfo::exists(output + "/launcher.json"));
}

QTEST_GUILESS_MAIN(TestMakePackage)
#include "tst_makepackage.moc"
