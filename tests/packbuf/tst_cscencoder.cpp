#include "packbuf/packbuf"
#include "packbuftestsupport.h"
#include "support/cscmemorystreams.h"

#include <QtTest>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

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

// Sentences of common English words with capitals, commas and line breaks.
std::string englishText(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    static const char* const words[] = { "the", "of", "and", "to", "in", "that", "was", "he", "for", "with", "his",
        "as", "had", "on", "at", "by", "which", "from", "this", "were", "have", "not", "she", "they", "all", "there",
        "been", "one", "their", "would", "when", "what", "could", "into", "some", "other", "them", "after", "little",
        "station", "morning", "through", "before", "people", "another", "between", "together", "nothing", "without",
        "himself", "because", "thought", "house", "water", "against", "country", "mother", "question", "children",
        "something", "evening", "garden", "window", "letter", "river", "mountain", "silence", "journey", "several",
        "nation", "attention", "condition", "direction", "position", "however", "perhaps", "usually", "certainly",
        "remember", "understand", "different", "important", "beautiful", "ordinary", "strange", "ancient", "quiet" };
    constexpr std::size_t wordCount = std::size(words);
    std::string text;
    std::size_t inSentence = 0;
    while (text.size() < size) {
        std::string word = words[random() % wordCount];
        if (inSentence == 0)
            word[0] = char(word[0] - 'a' + 'A');
        text += word;
        ++inSentence;
        if (inSentence > 4 && random() % 8 == 0) {
            text += random() % 5 == 0 ? ".\n" : ". ";
            inSentence = 0;
        } else {
            text += random() % 9 == 0 ? ", " : " ";
        }
    }
    text.resize(size);
    return text;
}

// Functions of typical x86 instructions whose near calls and jumps reach a fixed set of entry points, so
// the same target appears under a different relative operand at every call site.
std::string x86Code(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::vector<std::uint32_t> entries;
    for (int i = 0; i < 40; ++i)
        entries.push_back(std::uint32_t(random() % size));
    std::string code;
    const auto put32 = [&code](std::uint32_t v) {
        for (int k = 0; k < 4; ++k)
            code += char(v >> (8 * k));
    };
    while (code.size() < size) {
        code += "\x55\x48\x89\xE5";
        const int body = 4 + int(random() % 12);
        for (int i = 0; i < body; ++i) {
            switch (random() % 6) {
            case 0:
            case 1: {
                code += random() % 5 == 0 ? '\xE9' : '\xE8';
                const std::uint32_t target = entries[random() % entries.size()];
                put32(target - std::uint32_t(code.size() + 4));
                break;
            }
            case 2:
                code += "\x8B\x45";
                code += char(0xF0 - 4 * (random() % 8));
                break;
            case 3:
                code += "\x89\x7D";
                code += char(0xF0 - 4 * (random() % 8));
                break;
            case 4:
                code += "\x48\x83\xC4";
                code += char(8 * (random() % 8));
                break;
            default:
                code += "\x85\xC0\x74";
                code += char(random() % 64);
                break;
            }
        }
        code += "\x5D\xC3";
        while (code.size() % 16 != 0)
            code += '\x90';
    }
    code.resize(size);
    return code;
}

// Bytes drawn unevenly from twelve letters, without repeated phrases.
std::string smallAlphabet(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    static const char letters[] = "ACGTNRYKMSWB";
    static const int weights[] = { 30, 25, 20, 12, 4, 2, 2, 1, 1, 1, 1, 1 };
    std::discrete_distribution<int> pick(std::begin(weights), std::end(weights));
    std::string data(size, '\0');
    for (char& c : data)
        c = letters[pick(random)];
    return data;
}

// Little-endian samples of a smooth wave with a little noise, as recorded sound or sensor data holds them.
std::string samples(std::size_t size, int width, unsigned seed)
{
    std::mt19937 random(seed);
    std::string data;
    const double amplitude = width == 2 ? 9000.0 : 6.0e8;
    const int noise = width == 2 ? 24 : 1 << 10;
    for (std::size_t i = 0; data.size() < size; ++i) {
        const double t = double(i);
        const auto v = std::int64_t(amplitude * (std::sin(t / 300.0) + 0.3 * std::sin(t / 47.0)))
            + std::int64_t(random() % std::uint32_t(noise)) - noise / 2;
        for (int k = 0; k < width; ++k)
            data += char(std::uint64_t(v) >> (8 * k));
    }
    data.resize(size);
    return data;
}

// A piece of each kind of data, then the text and the code once more.
std::string mixedKinds()
{
    const std::string text = englishText(40000, 21);
    const std::string code = x86Code(30000, 22);
    return text + code + smallAlphabet(20000, 23) + samples(30000, 2, 24) + randomData(20000, 25)
        + samples(30000, 4, 26) + text + code.substr(0, 20000);
}

// The type of the stream's first block: the first integer of its first bit-coder block.
int firstBlockType(const std::string& payload)
{
    std::size_t at = packbuf::cscPropertiesSize;
    const auto props = packbuf::readCscProperties(reinterpret_cast<const unsigned char*>(payload.data()));
    while (at < payload.size()) {
        const auto header = static_cast<unsigned char>(payload[at]);
        std::size_t size = props.streamBlockSize;
        std::size_t dataAt = at + 1;
        if (!(header & 0x40)) {
            size = (std::size_t(static_cast<unsigned char>(payload[at + 1])) << 16)
                | (std::size_t(static_cast<unsigned char>(payload[at + 2])) << 8)
                | static_cast<unsigned char>(payload[at + 3]);
            dataAt = at + 4;
        }
        if (!(header & 0x80) && size >= 3) {
            std::uint32_t bits = 0;
            for (int k = 0; k < 3; ++k)
                bits = (bits << 8) | static_cast<unsigned char>(payload[dataAt + std::size_t(k)]);
            const int n = int(bits >> 19);
            if (n == 0)
                return int((bits >> 18) & 1);
            return int((1u << n) + ((bits >> (19 - n)) & ((1u << n) - 1)));
        }
        at = dataAt + size;
    }
    return -1;
}

// Decodes the payload and counts the blocks that produced bytes.
int decodedBlocks(const std::string& payload, std::string& output)
{
    TMemoryInput input;
    input.stream = { readMemory, &input };
    input.data = payload.substr(packbuf::cscPropertiesSize);
    TMemoryOutput out;
    out.stream = { writeMemory, &out };
    const auto props = packbuf::readCscProperties(reinterpret_cast<const unsigned char*>(payload.data()));
    packbuf::TCscDecoder* decoder = packbuf::createCscDecoder(props, &input.stream);
    if (!decoder)
        return -1;
    int blocks = 0;
    const auto counter = [](void* context, std::uint64_t, std::uint64_t) { ++*static_cast<int*>(context); };
    const int result = packbuf::decodeCscStream(decoder, &out.stream, counter, &blocks);
    packbuf::destroyCscDecoder(decoder);
    output = out.data;
    return result == packbuf::CscSuccess ? blocks : -1;
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
        // Blocks of every type one after another; later matches reach back into all of them.
        const std::string kinds = mixedKinds();
        QTest::newRow("mixed kinds") << kinds << 1u << 0u << 0u << 5;
        QTest::newRow("mixed kinds, window of 30000, raw blocks of 20000") << kinds << 30000u << 65536u << 20000u << 5;
        QTest::newRow("mixed kinds, stream blocks of 7") << kinds << 262144u << 7u << 2097152u << 5;
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

    // Each kind of data is written as one block of its type, comes back byte for byte and, where a filter
    // or delta coding applies, packs smaller than the LZ-only stream we wrote for it before.
    void dataTypes_data()
    {
        QTest::addColumn<std::string>("data");
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("plainLzSize"); // what the LZ-only encoder wrote; 0: no gain asserted
        const std::string text = englishText(200000, 7);
        QTest::newRow("english text") << text << 2 << 51682;
        std::string accented = text;
        for (std::size_t i = 100; i + 2 < accented.size(); i += 250)
            accented.replace(i, 2, i % 1000 == 100 ? "\xFE\xFF" : "\xC3\xA9");
        QTest::newRow("english text, bytes above 129 escaped") << accented << 2 << 0;
        QTest::newRow("english text too short to filter") << text.substr(0, 16000) << 1 << 0;
        QTest::newRow("english text, short tail keeps the type")
            << text.substr(0, 16384) + randomData(400, 1) << 2 << 0;
        std::string letters = text;
        for (char& c : letters)
            if (c >= 'a' && c <= 'z')
                c = "bcdfgjkpqvxz"[std::size_t(&c - letters.data()) * 7 % 12];
        QTest::newRow("letters without words, filter saves too little") << letters << 1 << 0;
        QTest::newRow("x86 code") << x86Code(200000, 8) << 3 << 85761;
        QTest::newRow("small alphabet") << smallAlphabet(100000, 9) << 7 << 0;
        QTest::newRow("random") << randomData(100000, 10) << 8 << 0;
        QTest::newRow("16-bit samples") << samples(200000, 2, 11) << 17 << 154414;
        QTest::newRow("32-bit samples") << samples(200000, 4, 12) << 19 << 195186;
    }

    void dataTypes()
    {
        QFETCH(std::string, data);
        QFETCH(int, type);
        QFETCH(int, plainLzSize);
        const TEncoded encoded = encode(data, packbuf::cscPackProperties(data.size()));
        QCOMPARE(encoded.result, 0);
        if (plainLzSize > 0)
            qInfo("%zu bytes packed to %zu, LZ only: %d", data.size(), encoded.payload.size(), plainLzSize);
        else
            qInfo("%zu bytes packed to %zu", data.size(), encoded.payload.size());
        std::string output;
        QCOMPARE(decodedBlocks(encoded.payload, output), 1);
        QVERIFY(output == data);
        QCOMPARE(firstBlockType(encoded.payload), type);
        if (plainLzSize > 0)
            QVERIFY(encoded.payload.size() < std::size_t(plainLzSize));
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
