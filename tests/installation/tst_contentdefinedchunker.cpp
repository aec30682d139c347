#include "installation/contentdefinedchunker.h"

#include <QTemporaryDir>
#include <QtTest>

#include <cstring>
#include <numeric>

using korvane::launcher::TContentDefinedChunker;

namespace {

constexpr std::size_t MiB = 1024 * 1024;

// Cut points computed the plain way over the whole input in memory: no buffer, no refill.
std::vector<std::size_t> referenceLengths(const QByteArray& data)
{
    const auto* bytes = reinterpret_cast<const unsigned char*>(data.constData());
    const std::size_t size = std::size_t(data.size());
    std::vector<std::size_t> lengths;
    std::size_t position = 0;
    while (position < size) {
        const std::size_t rest = size - position;
        std::size_t length = rest;
        if (rest > 4 * MiB) {
            const std::size_t longest = std::min<std::size_t>(rest, 16 * MiB);
            length = longest;
            std::uint32_t h = 0;
            for (std::size_t i = 4 * MiB; i < longest; ++i) {
                h = std::uint32_t(h >> 1) + TContentDefinedChunker::gearTable[bytes[position + i]];
                if ((h & 0x3FFFFFu) == 0) {
                    length = i + 1;
                    break;
                }
            }
        }
        lengths.push_back(length);
        position += length;
    }
    return lengths;
}

QByteArray randomBytes(std::size_t size, std::uint64_t seed)
{
    QByteArray data(qsizetype(size), Qt::Uninitialized);
    std::uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
    for (std::size_t i = 0; i < size; i += 8) {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        std::memcpy(data.data() + i, &x, std::min<std::size_t>(8, size - i));
    }
    return data;
}

QByteArray repeated(std::size_t size, std::size_t period)
{
    const QByteArray unit = randomBytes(period, 99);
    QByteArray data;
    data.reserve(qsizetype(size));
    while (std::size_t(data.size()) < size)
        data.append(unit.left(qsizetype(std::min(period, size - std::size_t(data.size())))));
    return data;
}

struct TCollected
{
    std::vector<std::size_t> lengths;
    QByteArray joined;
};

// Feeds the data in uneven short reads, so the buffer refills at many different fill levels.
TCollected chunkInMemory(const QByteArray& data, std::size_t readStep)
{
    TCollected collected;
    std::size_t offset = 0;
    std::size_t call = 0;
    const bool ok = TContentDefinedChunker::chunk(
        [&](unsigned char* out, std::size_t wanted) -> std::int64_t {
            const std::size_t step = readStep ? readStep + (call++ % 7) * 4099 : wanted;
            const std::size_t count = std::min({ wanted, step, std::size_t(data.size()) - offset });
            std::memcpy(out, data.constData() + offset, count);
            offset += count;
            return std::int64_t(count);
        },
        [&](const unsigned char* piece, std::size_t length) {
            collected.lengths.push_back(length);
            collected.joined.append(reinterpret_cast<const char*>(piece), qsizetype(length));
        });
    if (!ok)
        qFatal("in-memory reader cannot fail");
    return collected;
}

} // namespace

class TestContentDefinedChunker : public QObject
{
    Q_OBJECT
private slots:
    void gearTableAsGiven();
    void cutsMatchReference_data();
    void cutsMatchReference();
    void largeFileAcrossRefills();
    void boundarySizes_data();
    void boundarySizes();
    void dataThatNeverMeetsTheMask();
    void unreadableInput();
};

void TestContentDefinedChunker::gearTableAsGiven()
{
    const auto& g = TContentDefinedChunker::gearTable;
    QCOMPARE(g[0], 0x5C95C078u);
    QCOMPARE(g[1], 0x22408989u);
    QCOMPARE(g[100], 0x15FB8C06u);
    QCOMPARE(g[128], 0x482DC43Fu);
    QCOMPARE(g[200], 0x3F3B1C28u);
    QCOMPARE(g[255], 0x32E8EA7Eu);
    QCOMPARE(std::accumulate(g.begin(), g.end(), std::uint64_t(0)), std::uint64_t(0x4097026D6Eull));
    QCOMPARE(
        std::accumulate(g.begin(), g.end(), 0u, [](std::uint32_t a, std::uint32_t b) { return a ^ b; }), 0x61651B96u);
    for (std::uint32_t value : g)
        QVERIFY(value < 0x80000000u);
}

void TestContentDefinedChunker::cutsMatchReference_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<int>("readStep");
    QTest::newRow("random 70 MiB, whole reads") << randomBytes(70 * MiB + 12345, 1) << 0;
    QTest::newRow("random 70 MiB, short reads") << randomBytes(70 * MiB + 12345, 1) << int(3 * MiB + 5);
    QTest::newRow("random 1 KiB") << randomBytes(1024, 2) << 0;
    QTest::newRow("zeros 37 MiB") << QByteArray(qsizetype(37 * MiB + 3), '\0') << int(MiB);
    QTest::newRow("repeated 64 KiB unit") << repeated(48 * MiB, 64 * 1024) << 0;
    QTest::newRow("repeated odd unit") << repeated(41 * MiB, 1000003) << int(5 * MiB);
    QTest::newRow("empty") << QByteArray() << 0;
}

void TestContentDefinedChunker::cutsMatchReference()
{
    QFETCH(QByteArray, data);
    QFETCH(int, readStep);
    const std::vector<std::size_t> expected = referenceLengths(data);
    const TCollected got = chunkInMemory(data, std::size_t(readStep));
    QCOMPARE(got.lengths, expected);
    QVERIFY(got.joined == data); // the pieces tile the input exactly
    for (std::size_t i = 0; i < got.lengths.size(); ++i) {
        QVERIFY(got.lengths[i] <= 16 * MiB);
        if (i + 1 < got.lengths.size())
            QVERIFY(got.lengths[i] > 4 * MiB);
    }
}

void TestContentDefinedChunker::largeFileAcrossRefills()
{
    // Larger than the buffer, so several 128 MiB blocks are read from a real file.
    const QByteArray data = randomBytes(300 * MiB + 777, 5);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QFile file(dir.filePath("big.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), data.size());
    file.close();
    std::vector<std::size_t> lengths;
    std::size_t position = 0;
    bool same = true;
    QVERIFY(TContentDefinedChunker::chunkFile(file.fileName(), [&](const unsigned char* piece, std::size_t length) {
        same = same && std::memcmp(piece, data.constData() + position, length) == 0;
        position += length;
        lengths.push_back(length);
    }));
    QVERIFY(same);
    QCOMPARE(lengths, referenceLengths(data));
    QVERIFY(lengths.size() > 10);
    // Random content meets the mask: most cuts fall before the maximum.
    QVERIFY(std::count(lengths.begin(), lengths.end(), std::size_t(16 * MiB)) < std::ptrdiff_t(lengths.size() / 2));
}

void TestContentDefinedChunker::boundarySizes_data()
{
    QTest::addColumn<int>("size");
    QTest::addColumn<int>("pieces");
    QTest::newRow("4194304") << 4194304 << 1;
    QTest::newRow("4194305") << 4194305 << 1;
    QTest::newRow("1 byte") << 1 << 1;
}

void TestContentDefinedChunker::boundarySizes()
{
    QFETCH(int, size);
    QFETCH(int, pieces);
    for (std::uint64_t seed = 10; seed < 13; ++seed) {
        const QByteArray data = randomBytes(std::size_t(size), seed);
        const TCollected got = chunkInMemory(data, 0);
        QCOMPARE(int(got.lengths.size()), pieces);
        QCOMPARE(got.lengths.front(), std::size_t(size));
    }
}

void TestContentDefinedChunker::dataThatNeverMeetsTheMask()
{
    // A run of zeros settles the hash on a value whose low 22 bits are never all zero.
    const QByteArray data(qsizetype(3 * 16 * MiB + 100), '\0');
    const TCollected got = chunkInMemory(data, 0);
    const std::vector<std::size_t> expected { 16 * MiB, 16 * MiB, 16 * MiB, 100 };
    QCOMPARE(got.lengths, expected);
}

void TestContentDefinedChunker::unreadableInput()
{
    int pieces = 0;
    QVERIFY(!TContentDefinedChunker::chunkFile("/nonexistent/korvane/file", [&](auto, auto) { ++pieces; }));
    QCOMPARE(pieces, 0);

    // A read error after some data: what was cut before stays handed out, and the call reports failure.
    const QByteArray data = randomBytes(40 * MiB, 3);
    bool first = true;
    std::size_t handed = 0;
    QVERIFY(!TContentDefinedChunker::chunk(
        [&](unsigned char* out, std::size_t wanted) -> std::int64_t {
            if (!first)
                return -1;
            first = false;
            const std::size_t count = std::min<std::size_t>(wanted, std::size_t(data.size()));
            std::memcpy(out, data.constData(), count);
            return std::int64_t(count);
        },
        [&](const unsigned char*, std::size_t length) { handed += length; }));
    QVERIFY(handed < std::size_t(data.size()));
}

QTEST_MAIN(TestContentDefinedChunker)
#include "tst_contentdefinedchunker.moc"
