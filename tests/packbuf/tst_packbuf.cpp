#include "packbuf/packbuf"
#include "packbuftestsupport.h"

#include <QtTest>

#include <atomic>
#include <thread>
#include <vector>

using packbuf::ECodecId;
using namespace packbuftest;

Q_DECLARE_METATYPE(std::string)

namespace {

std::string bytes(std::initializer_list<int> values)
{
    std::string result;
    for (int value : values)
        result += char(value);
    return result;
}

// Unpacks and also checks the failure contract: a failed unpack hands back a copy of the input.
bool unpack(const std::string& input, std::string& output, std::uint64_t bound = packbuf::defaultMaxUnpackedLength)
{
    const bool unpacked = packbuf::unpackString(input, output, bound);
    if (!unpacked && output != input)
        QTest::qFail("failed unpack did not return a copy of its input", __FILE__, __LINE__);
    return unpacked;
}

} // namespace

class TestPackbuf : public QObject
{
    Q_OBJECT

private slots:
    void headerRecognition_data();
    void headerRecognition();
    void leadingZeroCount();
    void leb128Reading_data();
    void leb128Reading();

    void notPackedIsCopied_data();
    void notPackedIsCopied();
    void unpackableIsCopied_data();
    void unpackableIsCopied();
    void unpackedLengthBound();
    void unpackBufferArguments();

    void rawPayloads_data();
    void rawPayloads();
    void aliasedInputAndOutput();

    void minizFromZlibPeer_data();
    void minizFromZlibPeer();
    void minizRoomAndTail();

    void lzmaFromXzPeer_data();
    void lzmaFromXzPeer();
    void lzmaShorterAndFilledOutput();

    void lzipFromLzipPeer();
    void concurrentUnpacks();
};

void TestPackbuf::headerRecognition_data()
{
    QTest::addColumn<std::string>("data");
    QTest::addColumn<bool>("packed");
    QTest::newRow("empty") << std::string() << false;
    QTest::newRow("zeros only") << std::string(7, '\0') << false;
    QTest::newRow("marker alone") << std::string("p") << false;
    QTest::newRow("zeros and marker alone") << bytes({ 0, 0, 0x70 }) << false;
    QTest::newRow("raw id") << bytes({ 0x70, 0 }) << true;
    QTest::newRow("id 23") << bytes({ 0x70, 23 }) << true;
    QTest::newRow("id 24") << bytes({ 0x70, 24 }) << false;
    QTest::newRow("id 0xFF") << bytes({ 0x70, 0xFF }) << false;
    QTest::newRow("zeros before marker") << bytes({ 0, 0, 0, 0x70, 5, 1, 1, 'x' }) << true;
    QTest::newRow("other marker") << bytes({ 0x71, 0 }) << false;
    QTest::newRow("marker after a non-zero byte") << bytes({ 1, 0x70, 0 }) << false;
}

void TestPackbuf::headerRecognition()
{
    QFETCH(std::string, data);
    QFETCH(bool, packed);
    QCOMPARE(packbuf::hasPackedHeader(data.data(), data.size()), packed);
}

void TestPackbuf::leadingZeroCount()
{
    QCOMPARE(packbuf::hasPackedHeader(nullptr, 5), false);
    QCOMPARE(packbuf::countLeadingZeroBytes(nullptr, 5), std::size_t(0));
    const std::string data = bytes({ 0, 0, 0, 0x70, 0 });
    QCOMPARE(packbuf::countLeadingZeroBytes(data.data(), 0), std::size_t(0));
    QCOMPARE(packbuf::countLeadingZeroBytes(data.data(), data.size()), std::size_t(3));
    QCOMPARE(packbuf::countLeadingZeroBytes(data.data(), 2), std::size_t(2));
    QCOMPARE(packbuf::countLeadingZeroBytes(data.data() + 3, 2), std::size_t(0));
}

void TestPackbuf::leb128Reading_data()
{
    QTest::addColumn<std::string>("field");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<quint64>("value");
    QTest::addColumn<int>("length");
    QTest::newRow("zero") << bytes({ 0 }) << true << quint64(0) << 1;
    QTest::newRow("127") << bytes({ 0x7F }) << true << quint64(127) << 1;
    QTest::newRow("128") << bytes({ 0x80, 0x01 }) << true << quint64(128) << 2;
    QTest::newRow("624485") << bytes({ 0xE5, 0x8E, 0x26 }) << true << quint64(624485) << 3;
    QTest::newRow("stops at first clear bit 7") << bytes({ 0x05, 0x83 }) << true << quint64(5) << 1;
    QTest::newRow("redundant zero groups") << bytes({ 0x80, 0x80, 0x00 }) << true << quint64(0) << 3;
    QTest::newRow("ten bytes, largest value")
        << bytes({ 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01 }) << true << ~quint64(0) << 10;
    QTest::newRow("eleven bytes") << bytes({ 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x00 })
                                  << false << quint64(0) << 0;
    QTest::newRow("runs past the end") << bytes({ 0x80, 0x80 }) << false << quint64(0) << 0;
    QTest::newRow("nothing to read") << std::string() << false << quint64(0) << 0;
}

void TestPackbuf::leb128Reading()
{
    QFETCH(std::string, field);
    QFETCH(bool, valid);
    QFETCH(quint64, value);
    QFETCH(int, length);
    const char* cursor = field.data();
    const std::optional<std::uint64_t> read = packbuf::readLeb128(cursor, field.data() + field.size());
    QCOMPARE(read.has_value(), valid);
    if (valid)
        QCOMPARE(quint64(*read), value);
    QCOMPARE(int(cursor - field.data()), length);
}

void TestPackbuf::notPackedIsCopied_data()
{
    QTest::addColumn<std::string>("input");
    QTest::newRow("empty") << std::string();
    QTest::newRow("zeros only") << std::string(16, '\0');
    QTest::newRow("plain text") << std::string("plain chunk data");
    QTest::newRow("id 24") << bytes({ 0x70, 24, 4, 4, 'a', 'b', 'c', 'd' });
}

void TestPackbuf::notPackedIsCopied()
{
    QFETCH(std::string, input);
    std::string output = "stale";
    QVERIFY(!packbuf::unpackString(input, output));
    QCOMPARE(output, input);
}

void TestPackbuf::unpackableIsCopied_data()
{
    QTest::addColumn<std::string>("input");
    const std::string raw = bytes({ 0x70, 0 });
    QTest::newRow("unpacked length 0") << packed(ECodecId::RAW, 0, "abc");
    QTest::newRow("payload length 0") << raw + bytes({ 3, 0 }) + "abc";
    QTest::newRow("payload past the input") << raw + bytes({ 8, 9 }) + "abcdefgh";
    QTest::newRow("unpacked length field cut off") << raw + bytes({ 0x80 });
    QTest::newRow("payload length field cut off") << raw + bytes({ 3, 0x83 });
    QTest::newRow("no length fields") << raw;
    QTest::newRow("length field of 11 bytes") << raw + std::string(10, char(0x80)) + bytes({ 0, 1, 'a' });
    QTest::newRow("RAW payload longer than unpacked") << packed(ECodecId::RAW, 3, "abcd");
    QTest::newRow("id 22 is packed but never unpacks") << packed(ECodecId::LZJB, 4, "abcd");
    QTest::newRow("id 23 is packed but never unpacks") << packed(ECodecId::BZIP2, 4, "abcd");
    QTest::newRow("codec not built in") << packed(ECodecId::ZSTD, 4, "abcd");
    QTest::newRow("CSC20 without its decoder") << packed(ECodecId::CSC20, 16, std::string(16, 'x'));
    QTest::newRow("CRUSH without its decoder") << packed(ECodecId::CRUSH, 16, std::string(16, 'x'));
    QTest::newRow("LZMA20 payload of 12 bytes")
        << packed(ECodecId::LZMA20, 16, bytes({ 0x5D, 0, 0, 1, 0 }) + "1234567");
    QTest::newRow("LZMA25 corrupt") << packed(ECodecId::LZMA25, 64, bytes({ 0x5D, 0, 0, 1, 0 }) + std::string(40, 'z'));
    QTest::newRow("LZMA20 bad properties") << packed(ECodecId::LZMA20, 64, std::string(40, char(0xFF)));
    QTest::newRow("MINIZ not a deflate stream") << packed(ECodecId::MINIZ, 64, std::string(20, char(0xFF)));
    QTest::newRow("LZIP not an lzip stream") << packed(ECodecId::LZIP, 64, std::string(40, 'L'));
    QTest::newRow("LZIP dictionary of 1 GiB")
        << packed(ECodecId::LZIP, 64, "LZIP" + bytes({ 1, 30 }) + std::string(40, 0));
}

void TestPackbuf::unpackableIsCopied()
{
    QFETCH(std::string, input);
    QVERIFY(packbuf::hasPackedHeader(input.data(), input.size()));
    std::string output = "stale";
    QVERIFY(!packbuf::unpackString(input, output));
    QCOMPARE(output, input);
}

void TestPackbuf::unpackedLengthBound()
{
    // A hostile header must be refused before the output is allocated: none of these could be.
    std::string output;
    QVERIFY(!unpack(packed(ECodecId::RAW, ~std::uint64_t(0), "abc"), output));
    QVERIFY(!unpack(packed(ECodecId::RAW, std::uint64_t(1) << 40, "abc"), output));
    QVERIFY(!unpack(packed(ECodecId::RAW, packbuf::defaultMaxUnpackedLength + 1, "abc"), output));

    // A caller's bound holds at its value and is exclusive above it.
    QVERIFY(unpack(packed(ECodecId::RAW, 100, "abc"), output, 100));
    QCOMPARE(output, std::string("abc"));
    QVERIFY(!unpack(packed(ECodecId::RAW, 101, "abc"), output, 100));
    QCOMPARE(output, packed(ECodecId::RAW, 101, "abc"));

    // A claim far above what the payload gives does not stay allocated in the result.
    QVERIFY(unpack(packed(ECodecId::RAW, std::uint64_t(64) << 20, "abc"), output));
    QCOMPARE(output, std::string("abc"));
    QVERIFY(output.capacity() < 1024);
}

void TestPackbuf::unpackBufferArguments()
{
    char out[8] = {};
    std::size_t length = sizeof out;
    QVERIFY(packbuf::unpackBuffer(ECodecId::RAW, "abc", 3, out, length));
    QCOMPARE(length, std::size_t(3));
    QCOMPARE(std::string(out, 3), std::string("abc"));

    struct Case
    {
        ECodecId id;
        const char* payload;
        std::size_t payloadLength;
        char* output;
        std::size_t capacity;
    };
    const Case cases[] = {
        { ECodecId::RAW, nullptr, 3, out, 8 },
        { ECodecId::RAW, "abc", 3, nullptr, 8 },
        { ECodecId::RAW, "abc", 0, out, 8 },
        { ECodecId::RAW, "abc", 3, out, 0 },
        { static_cast<ECodecId>(22), "abc", 3, out, 8 },
        { static_cast<ECodecId>(200), "abc", 3, out, 8 },
    };
    for (const Case& c : cases) {
        length = c.capacity;
        QVERIFY(!packbuf::unpackBuffer(c.id, c.payload, c.payloadLength, c.output, length));
        QCOMPARE(length, std::size_t(0));
    }
    QCOMPARE(packbuf::unpackSlack(ECodecId::LZIP), std::size_t(0));
}

void TestPackbuf::rawPayloads_data()
{
    QTest::addColumn<std::string>("input");
    QTest::addColumn<std::string>("expected");
    QTest::newRow("exact") << packed(ECodecId::RAW, 5, "hello") << std::string("hello");
    QTest::newRow("shorter payload yields just the payload")
        << packed(ECodecId::RAW, 50, "hello") << std::string("hello");
    QTest::newRow("leading zeros") << packed(ECodecId::RAW, 5, "hello", 9) << std::string("hello");
    QTest::newRow("bytes behind the payload are ignored")
        << packed(ECodecId::RAW, 5, "hello") + "trailing" << std::string("hello");
    QTest::newRow("multi-byte lengths") << packed(ECodecId::RAW, 300, std::string(200, 'r')) << std::string(200, 'r');
}

void TestPackbuf::rawPayloads()
{
    QFETCH(std::string, input);
    QFETCH(std::string, expected);
    std::string output;
    QVERIFY(unpack(input, output));
    QCOMPARE(output, expected);
}

void TestPackbuf::aliasedInputAndOutput()
{
    std::string buffer = packed(ECodecId::RAW, 5, "hello");
    QVERIFY(packbuf::unpackString(buffer, buffer));
    QCOMPARE(buffer, std::string("hello"));
    const std::string unpackable = packed(ECodecId::RAW, 2, "hello");
    buffer = unpackable;
    QVERIFY(!packbuf::unpackString(buffer, buffer));
    QCOMPARE(buffer, unpackable);
}

void TestPackbuf::minizFromZlibPeer_data()
{
    QTest::addColumn<std::string>("data");
    QTest::addColumn<int>("level");
    QTest::newRow("one byte") << std::string("x") << 6;
    QTest::newRow("stored blocks") << randomData(100000, 3) << 0;
    QTest::newRow("text, fastest") << sampleData(70000, 4) << 1;
    QTest::newRow("mixed, 1 MiB, best") << sampleData(1 << 20, 5) << 9;
}

void TestPackbuf::minizFromZlibPeer()
{
    if (!hasProgram("python3"))
        QSKIP("python3 is not installed");
    QFETCH(std::string, data);
    QFETCH(int, level);
    const std::optional<std::string> deflated = rawDeflate(data, level);
    QVERIFY(deflated);
    std::string output;
    QVERIFY(unpack(packed(ECodecId::MINIZ, data.size(), *deflated), output));
    QCOMPARE(output.size(), data.size());
    QVERIFY(output == data);
    // Bytes behind the stream and behind the payload do not matter.
    QVERIFY(unpack(packed(ECodecId::MINIZ, data.size(), *deflated + "garbage") + "more", output));
    QVERIFY(output == data);
}

void TestPackbuf::minizRoomAndTail()
{
    if (!hasProgram("python3"))
        QSKIP("python3 is not installed");
    const std::string data = sampleData(50000, 6);
    const std::optional<std::string> deflated = rawDeflate(data);
    QVERIFY(deflated);
    std::string output;

    // A stream shorter than the unpacked length keeps the header's length with a 0x00 tail.
    QVERIFY(unpack(packed(ECodecId::MINIZ, data.size() + 100, *deflated), output));
    QCOMPARE(output.size(), data.size() + 100);
    QVERIFY(output.compare(0, data.size(), data) == 0);
    QCOMPARE(output.substr(data.size()), std::string(100, '\0'));

    // One byte less room than the stream needs fails.
    QVERIFY(!unpack(packed(ECodecId::MINIZ, data.size() - 1, *deflated), output));
    // A stream cut before its final block fails.
    QVERIFY(!unpack(packed(ECodecId::MINIZ, data.size(), deflated->substr(0, deflated->size() - 10)), output));
    // A corrupted block type fails.
    std::string corrupt = *deflated;
    corrupt[0] = char(corrupt[0] | 0x06);
    QVERIFY(!unpack(packed(ECodecId::MINIZ, data.size(), corrupt), output));
}

void TestPackbuf::lzmaFromXzPeer_data()
{
    QTest::addColumn<int>("codec");
    QTest::addColumn<std::string>("data");
    QTest::addColumn<QString>("level");
    QTest::newRow("LZMA20, one byte") << int(ECodecId::LZMA20) << std::string("x") << QString("-6");
    QTest::newRow("LZMA20, text") << int(ECodecId::LZMA20) << sampleData(200000, 7) << QString("-0");
    QTest::newRow("LZMA25, 2 MiB") << int(ECodecId::LZMA25) << sampleData(2 << 20, 8) << QString("-9");
}

void TestPackbuf::lzmaFromXzPeer()
{
    if (!hasProgram("xz"))
        QSKIP("xz is not installed");
    QFETCH(int, codec);
    QFETCH(std::string, data);
    QFETCH(QString, level);
    // An LZMA-alone file is laid out as the payload: 5 property bytes, 8 size bytes, the LZMA data.
    const std::optional<std::string> lzma = lzmaAloneCompress(data, level);
    QVERIFY(lzma);
    std::string output;
    QVERIFY(unpack(packed(ECodecId(codec), data.size(), *lzma), output));
    QVERIFY(output == data);
}

void TestPackbuf::lzmaShorterAndFilledOutput()
{
    if (!hasProgram("xz"))
        QSKIP("xz is not installed");
    const std::string data = sampleData(100000, 9);
    const std::optional<std::string> lzma = lzmaAloneCompress(data);
    QVERIFY(lzma);
    std::string output;

    // The end mark comes before the unpacked length: the output is just what was decoded.
    QVERIFY(unpack(packed(ECodecId::LZMA20, data.size() + 5000, *lzma), output));
    QVERIFY(output == data);

    // The output fills up before the end mark: what fits is the result.
    QVERIFY(unpack(packed(ECodecId::LZMA20, 1000, *lzma), output));
    QVERIFY(output == data.substr(0, 1000));

    // The data end before both the end mark and a full output.
    QVERIFY(!unpack(packed(ECodecId::LZMA20, data.size(), lzma->substr(0, lzma->size() / 2)), output));
}

void TestPackbuf::lzipFromLzipPeer()
{
    if (!hasProgram("lzip"))
        QSKIP("lzip is not installed");
    const std::string data = sampleData(300000, 10);
    const std::optional<std::string> lz = lzipCompress(data, "-6");
    QVERIFY(lz);
    std::string output;
    QVERIFY(unpack(packed(ECodecId::LZIP, data.size(), *lz), output));
    QVERIFY(output == data);

    // Unchanged length: a member shorter than the header's length leaves a 0x00 tail.
    QVERIFY(unpack(packed(ECodecId::LZIP, data.size() + 10, *lz), output));
    QCOMPARE(output.size(), data.size() + 10);
    QCOMPARE(output.substr(data.size()), std::string(10, '\0'));

    // Less room than the member holds, or a flipped CRC, fails.
    QVERIFY(!unpack(packed(ECodecId::LZIP, data.size() - 1, *lz), output));
    std::string flipped = *lz;
    flipped[flipped.size() - 20] = char(flipped[flipped.size() - 20] ^ 1);
    QVERIFY(!unpack(packed(ECodecId::LZIP, data.size(), flipped), output));
}

void TestPackbuf::concurrentUnpacks()
{
    if (!hasProgram("lzip") || !hasProgram("python3"))
        QSKIP("lzip or python3 is not installed");
    const std::string data = sampleData(400000, 11);
    const std::optional<std::string> lz = lzipCompress(data, "-3");
    const std::optional<std::string> deflated = rawDeflate(data);
    QVERIFY(lz && deflated);
    const std::string inputs[]
        = { packed(ECodecId::LZIP, data.size(), *lz), packed(ECodecId::MINIZ, data.size(), *deflated) };

    std::atomic<int> failures { 0 };
    std::vector<std::thread> workers;
    for (int worker = 0; worker < 6; ++worker) {
        workers.emplace_back([&, worker] {
            for (int round = 0; round < 4; ++round) {
                std::string output;
                if (!packbuf::unpackString(inputs[(worker + round) % 2], output) || output != data)
                    ++failures;
            }
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    QCOMPARE(failures.load(), 0);
}

QTEST_GUILESS_MAIN(TestPackbuf)
#include "tst_packbuf.moc"
