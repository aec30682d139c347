#include "installation/inplacerearranger.h"
#include "installation/piecematcher.h"
#include "shared/sha256.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace korvane::launcher;

namespace {

QByteArray sha(const QByteArray& data)
{
    return shared::TSha256::hash(data);
}

// A file's new layout from the contents of its chunks, in file order.
TChunkInPackageVector chunksOf(const QList<QByteArray>& contents)
{
    TChunkInPackageVector chunks;
    for (const QByteArray& content : contents) {
        TChunkInPackage chunk;
        chunk.url = QUrl(QStringLiteral("https://cdn.example/") + QString::fromLatin1(sha(content).toHex().left(8)));
        chunk.unpackedSize = quint64(content.size());
        chunk.unpackedHash = sha(content);
        chunks.push_back(chunk);
    }
    return chunks;
}

QByteArray readAll(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

void writeAll(const QString& path, const QByteArray& data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(data), data.size());
}

// What the downloader does afterwards: write every chunk still missing at its place.
void downloadMissing(const QString& path, const QList<QByteArray>& contents, const std::vector<int>& indices)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadWrite));
    for (int index : indices) {
        qint64 offset = 0;
        for (int i = 0; i < index; ++i)
            offset += contents[i].size();
        QVERIFY(file.seek(offset));
        QCOMPARE(file.write(contents[index]), contents[index].size());
    }
}

} // namespace

class TestPieceMatcher : public QObject
{
    Q_OBJECT
private slots:
    void matcherStates();
    void emptyHashNeverMatches();
    void rearrangeGivesTheNewFile_data();
    void rearrangeGivesTheNewFile();
    void failedReadMarksTheChunkMissing();
    void unsavableSourceMarksTheChunkMissing();
};

void TestPieceMatcher::matcherStates()
{
    const QByteArray a(10, 'a'), b(7, 'b'), c(5, 'c');
    const TChunkInPackageVector chunks = chunksOf({ a, b, a, c });
    TPieceMatcher matcher(chunks, QStringLiteral("f"));
    matcher.matchPiece(sha(b), 7); // at 0: b belongs at 10
    matcher.matchPiece(sha(a), 10); // at 7: a belongs at 0 and at 17
    matcher.matchPiece(sha(c), 5); // at 17: c belongs at 27
    const auto& m = matcher.matches();
    QVERIFY(matcher.found());
    QCOMPARE(matcher.sourceCursor(), quint64(22));
    QCOMPARE(m[0].state, EChunkMatchState::FoundElsewhere);
    QCOMPARE(m[0].sourceOffset, quint64(7));
    QCOMPARE(m[1].state, EChunkMatchState::FoundElsewhere);
    QCOMPARE(m[1].sourceOffset, quint64(0));
    QCOMPARE(m[1].targetOffset, quint64(10));
    QCOMPARE(m[2].state, EChunkMatchState::FoundElsewhere); // one piece serves both copies of a
    QCOMPARE(m[2].targetOffset, quint64(17));
    QCOMPARE(m[3].state, EChunkMatchState::FoundElsewhere);

    // A later piece exactly at a target turns a chunk found elsewhere into one in place.
    TPieceMatcher second(chunks, QStringLiteral("f"));
    second.matchPiece(sha(c), 5); // at 0
    second.matchPiece(sha(c), 5); // at 5
    second.matchPiece(sha(b), 7); // at 10: in place
    second.matchPiece(sha(c), 5); // at 17
    second.matchPiece(sha(c), 5); // at 22
    second.matchPiece(sha(c), 5); // at 27: in place, though found elsewhere before
    QCOMPARE(second.matches()[1].state, EChunkMatchState::FoundInPlace);
    QCOMPARE(second.matches()[3].state, EChunkMatchState::FoundInPlace);
    QCOMPARE(second.matches()[0].state, EChunkMatchState::NotFound);

    TPieceMatcher none(chunks, QStringLiteral("f"));
    none.matchPiece(sha("zzz"), 3);
    QVERIFY(!none.found());
}

void TestPieceMatcher::emptyHashNeverMatches()
{
    TChunkInPackageVector chunks(2);
    chunks[0].unpackedSize = 4;
    chunks[1].unpackedSize = 4;
    TPieceMatcher matcher(chunks, QStringLiteral("f"));
    matcher.matchPiece(QByteArray(), 4);
    QVERIFY(!matcher.found());
    QCOMPARE(matcher.sourceCursor(), quint64(4));
}

void TestPieceMatcher::rearrangeGivesTheNewFile_data()
{
    QTest::addColumn<QList<QByteArray>>("newChunks");
    QTest::addColumn<QList<QByteArray>>("localPieces");
    QTest::addColumn<int>("expectedDownloads");
    QTest::addColumn<int>("maximumThroughTemporaryFile");

    const QByteArray a(1000, 'a'), b(1000, 'b'), c(1500, 'c'), d(800, 'd'), x(3, 'x');
    // The last column: at most this many bytes may go through the temporary file.
    QTest::newRow("unchanged") << QList<QByteArray> { a, b, c } << QList<QByteArray> { a, b, c } << 0 << 0;
    QTest::newRow("swap") << QList<QByteArray> { b, a } << QList<QByteArray> { a, b } << 0 << 1000;
    QTest::newRow("rotate") << QList<QByteArray> { c, a, b } << QList<QByteArray> { a, b, c } << 0 << 2000;
    // Insertion near the start: everything behind it moves by a few bytes over its own old place; moved
    // from the end, no chunk overwrites a source still needed.
    QTest::newRow("insertion near start")
        << QList<QByteArray> { x, a, b, c } << QList<QByteArray> { a, b, c } << 1 << 0;
    QTest::newRow("insertion and a swap")
        << QList<QByteArray> { x, a, c, b, d } << QList<QByteArray> { a, b, c, d } << 1 << 1500;
    QTest::newRow("removal near start") << QList<QByteArray> { b, c } << QList<QByteArray> { x, b, c } << 0 << 0;
    QTest::newRow("duplicate content") << QList<QByteArray> { a, b, a } << QList<QByteArray> { a, b } << 0 << 0;
    QTest::newRow("truncation") << QList<QByteArray> { a, b } << QList<QByteArray> { a, b, c, d } << 0 << 0;
    QTest::newRow("shorter local file") << QList<QByteArray> { a, b, c, d } << QList<QByteArray> { b } << 3 << 0;
    QTest::newRow("changed middle") << QList<QByteArray> { a, d, c } << QList<QByteArray> { a, b, c } << 1 << 0;
}

void TestPieceMatcher::rearrangeGivesTheNewFile()
{
    QFETCH(QList<QByteArray>, newChunks);
    QFETCH(QList<QByteArray>, localPieces);
    QFETCH(int, expectedDownloads);
    QFETCH(int, maximumThroughTemporaryFile);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath("file.bin");
    writeAll(path, localPieces.join());
    const QByteArray wanted = newChunks.join();

    const TChunkInPackageVector chunks = chunksOf(newChunks);
    TPieceMatcher matcher(chunks, path);
    for (const QByteArray& piece : localPieces)
        matcher.matchPiece(sha(piece), quint64(piece.size()));
    QVERIFY(matcher.found());
    const TInPlaceRearranger::TResult result
        = TInPlaceRearranger::rearrange(path, matcher.matches(), quint64(wanted.size()));
    QVERIFY(!result.fetchWholeFile);
    QCOMPARE(int(result.chunkIndicesToDownload.size()), expectedDownloads);
    QVERIFY2(result.bytesThroughTemporaryFile <= quint64(maximumThroughTemporaryFile),
        qPrintable(QString::number(result.bytesThroughTemporaryFile)));
    QVERIFY(std::is_sorted(result.chunkIndicesToDownload.begin(), result.chunkIndicesToDownload.end()));
    for (const TChunkMatch& match : matcher.matches())
        QVERIFY(match.state != EChunkMatchState::FoundElsewhere);

    downloadMissing(path, newChunks, result.chunkIndicesToDownload);
    QCOMPARE(readAll(path), wanted);
}

void TestPieceMatcher::failedReadMarksTheChunkMissing()
{
    // The installed configuration claims data beyond the end of the local file.
    const QByteArray a(100, 'a'), b(100, 'b');
    QTemporaryDir dir;
    const QString path = dir.filePath("file.bin");
    writeAll(path, a);
    std::vector<TChunkMatch> matches(2);
    matches[0].state = EChunkMatchState::FoundElsewhere;
    matches[0].sourceOffset = 150;
    matches[0].targetOffset = 0;
    matches[0].length = 100;
    matches[1].state = EChunkMatchState::FoundElsewhere;
    matches[1].sourceOffset = 0;
    matches[1].targetOffset = 100;
    matches[1].length = 100;
    const TInPlaceRearranger::TResult result = TInPlaceRearranger::rearrange(path, matches, 200);
    QCOMPARE(result.chunkIndicesToDownload, std::vector<int> { 0 });
    QCOMPARE(matches[0].state, EChunkMatchState::NotFound);
    QCOMPARE(matches[1].state, EChunkMatchState::FoundInPlace);
    downloadMissing(path, { b, a }, result.chunkIndicesToDownload);
    QCOMPARE(readAll(path), b + a);
}

void TestPieceMatcher::unsavableSourceMarksTheChunkMissing()
{
    // No temporary file can be made: a source that a move overwrites is lost, so it must be fetched.
    const QByteArray a(1000, 'a'), b(1000, 'b');
    QTemporaryDir dir;
    const QString path = dir.filePath("file.bin");
    writeAll(path, a + b);
    const TChunkInPackageVector chunks = chunksOf({ b, a });
    TPieceMatcher matcher(chunks, path);
    matcher.matchPiece(sha(a), 1000);
    matcher.matchPiece(sha(b), 1000);
    const TInPlaceRearranger::TResult result
        = TInPlaceRearranger::rearrange(path, matcher.matches(), 2000, dir.filePath("missing-folder"));
    QCOMPARE(result.chunkIndicesToDownload, std::vector<int> { 1 });
    downloadMissing(path, { b, a }, result.chunkIndicesToDownload);
    QCOMPARE(readAll(path), b + a);
}

QTEST_MAIN(TestPieceMatcher)
#include "tst_piecematcher.moc"
