#include "packbuf/packbuf"
#include "packbuftestsupport.h"
#include "support/cscmemorystreams.h"

#include <QtTest>

#include <cstring>

using namespace packbuftest;
using namespace korvane::test;

Q_DECLARE_METATYPE(std::string)

namespace {

struct TEncoded
{
    int result = 1;
    std::string payload; // properties and stream blocks
};

TEncoded encode(const std::string& data, const packbuf::TCscProperties& properties, int level = 5,
    std::size_t capacity = std::string::npos)
{
    TEncoded encoded;
    TMemoryInput input;
    input.stream = { readMemory, &input };
    input.data = data;
    TMemoryOutput output;
    output.stream = { writeMemory, &output };
    output.capacity = capacity;
    packbuf::TCscEncoder* encoder = packbuf::createCscEncoder(properties, level, &input.stream);
    if (!encoder)
        return encoded;
    encoded.result = packbuf::encodeCscStream(encoder, &output.stream);
    packbuf::destroyCscEncoder(encoder);
    unsigned char bytes[packbuf::cscPropertiesSize];
    packbuf::writeCscProperties(properties, bytes);
    encoded.payload = std::string(reinterpret_cast<char*>(bytes), sizeof bytes) + output.data;
    return encoded;
}

bool unpacks(const std::string& payload, const std::string& expected)
{
    std::string output;
    const bool unpacked = packbuf::unpackString(
        packed(packbuf::ECodecId::CSC20, std::max<std::size_t>(expected.size(), 1), payload), output);
    return unpacked && output.substr(0, expected.size()) == expected;
}

std::string textData(std::size_t size, unsigned seed = 1)
{
    std::mt19937 random(seed);
    static const char* const words[] = { "the ", "station ", "was ", "with ", "korvane ", "package ", "chunk\n" };
    std::string text;
    while (text.size() < size)
        text += words[random() % 7];
    text.resize(size);
    return text;
}

packbuf::TCscProperties properties(std::uint32_t window, std::uint32_t streamBlock, std::uint32_t rawBlock)
{
    packbuf::TCscProperties result;
    result.windowSize = window;
    result.streamBlockSize = streamBlock;
    result.rawBlockSize = rawBlock;
    return result;
}

} // namespace

class TestCscEncoder : public QObject
{
    Q_OBJECT

private slots:
    void packProperties()
    {
        const auto small = packbuf::cscPackProperties(100);
        QCOMPARE(small.windowSize, 32u << 10);
        QCOMPARE(small.streamBlockSize, 65536u);
        QCOMPARE(small.rawBlockSize, 2097152u);
        QCOMPARE(packbuf::cscPackProperties(1 << 20).windowSize, (1u << 20) + 10240);
        QCOMPARE(packbuf::cscPackProperties(std::uint64_t(1) << 40).windowSize, (20u << 20) + 10240);
        unsigned char bytes[10];
        packbuf::writeCscProperties(properties(0x01020304, 0x050607, 0x08090A), bytes);
        const auto read = packbuf::readCscProperties(bytes);
        QCOMPARE(read.windowSize, 0x01020304u);
        QCOMPARE(read.streamBlockSize, 0x050607u);
        QCOMPARE(read.rawBlockSize, 0x08090Au);
    }

    void roundTrip_data()
    {
        QTest::addColumn<std::string>("data");
        QTest::addColumn<std::uint32_t>("window");
        QTest::addColumn<std::uint32_t>("streamBlock");
        QTest::addColumn<std::uint32_t>("rawBlock");
        QTest::addColumn<int>("level");
        const std::string text = textData(200000);
        QTest::newRow("text") << text << 1u << 0u << 0u << 5;
        QTest::newRow("text level 1") << text << 1u << 0u << 0u << 1;
        QTest::newRow("text level 9") << text << 1u << 0u << 0u << 9;
        QTest::newRow("mixed") << sampleData(300000, 2) << 1u << 0u << 0u << 5;
        QTest::newRow("random") << randomData(20000, 3) << 1u << 0u << 0u << 5;
        QTest::newRow("zeros, long matches") << std::string(100000, '\0') << 1u << 0u << 0u << 5;
        QTest::newRow("one byte") << std::string("z") << 1u << 0u << 0u << 5;
        // A small window wraps many times; matches must not cross its end.
        QTest::newRow("window of 1000") << text.substr(0, 50000) << 1000u << 65536u << 65536u << 5;
        QTest::newRow("window of 7") << text.substr(0, 5000) << 7u << 65536u << 65536u << 5;
        // Small raw blocks restart the coders often; small stream blocks split their data everywhere.
        QTest::newRow("raw blocks of 100") << text.substr(0, 30000) << 65536u << 65536u << 100u << 5;
        QTest::newRow("stream blocks of 6") << text.substr(0, 30000) << 65536u << 6u << 65536u << 5;
        QTest::newRow("stream blocks of 7") << text.substr(0, 30000) << 65536u << 7u << 1000u << 5;
        QTest::newRow("raw blocks of 1") << text.substr(0, 300) << 65536u << 64u << 1u << 5;
    }

    void roundTrip()
    {
        QFETCH(std::string, data);
        QFETCH(std::uint32_t, window);
        QFETCH(std::uint32_t, streamBlock);
        QFETCH(std::uint32_t, rawBlock);
        QFETCH(int, level);
        const auto props
            = streamBlock == 0 ? packbuf::cscPackProperties(data.size()) : properties(window, streamBlock, rawBlock);
        const TEncoded encoded = encode(data, props, level);
        QCOMPARE(encoded.result, 0);
        QVERIFY(unpacks(encoded.payload, data));
    }

    void compresses()
    {
        const std::string text = textData(200000);
        const auto props = packbuf::cscPackProperties(text.size());
        const std::size_t fast = encode(text, props, 1).payload.size();
        const std::size_t strong = encode(text, props, 9).payload.size();
        QVERIFY(fast < text.size() / 3);
        QVERIFY(strong <= fast);
    }

    void emptyInput()
    {
        const TEncoded encoded = encode({}, packbuf::cscPackProperties(0));
        QCOMPARE(encoded.result, 0);
        std::string output;
        QVERIFY(packbuf::unpackString(packed(packbuf::ECodecId::CSC20, 3, encoded.payload), output));
        QCOMPARE(output, std::string(3, '\0'));
    }

    void failures()
    {
        TMemoryInput input;
        input.stream = { readMemory, &input };
        QVERIFY(!packbuf::createCscEncoder(packbuf::cscPackProperties(10), 0, &input.stream));
        QVERIFY(!packbuf::createCscEncoder(packbuf::cscPackProperties(10), 10, &input.stream));
        QVERIFY(!packbuf::createCscEncoder(properties(0, 65536, 65536), 5, &input.stream));
        QVERIFY(!packbuf::createCscEncoder(properties((1u << 30) + 1, 65536, 65536), 5, &input.stream));
        QVERIFY(!packbuf::createCscEncoder(properties(65536, 5, 65536), 5, &input.stream));
        QVERIFY(!packbuf::createCscEncoder(properties(65536, 65536, 0), 5, &input.stream));
        QVERIFY(!packbuf::createCscEncoder(packbuf::cscPackProperties(10), 5, nullptr));

        // A short write, and a failing read.
        const std::string text = textData(50000);
        QCOMPARE(encode(text, packbuf::cscPackProperties(text.size()), 5, 1000).result, packbuf::CscWriteFailed);
        input.failing = true;
        packbuf::TCscEncoder* encoder = packbuf::createCscEncoder(packbuf::cscPackProperties(10), 5, &input.stream);
        QVERIFY(encoder);
        TMemoryOutput output;
        output.stream = { writeMemory, &output };
        QCOMPARE(packbuf::encodeCscStream(encoder, &output.stream), packbuf::CscReadFailed);
        packbuf::destroyCscEncoder(encoder);
        QVERIFY(!encoder);
    }
};

QTEST_GUILESS_MAIN(TestCscEncoder)
#include "tst_cscencoder.moc"
