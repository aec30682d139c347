#include "cscstreamwriter.h"
#include "packbuf/cscdecoder.h"
#include "packbuf/packbuf"
#include "packbuftestsupport.h"
#include "support/cscmemorystreams.h"

#include <QtTest>

#include <cstring>

using packbuf::ECodecId;
using namespace packbuftest;
using namespace korvane::test;

Q_DECLARE_METATYPE(std::string)

namespace {

struct TDecodeResult
{
    bool created = false;
    int result = 1;
    std::string output;
    std::size_t consumed = 0;
};

// Decodes a whole payload (properties and stream blocks) through the decoder's own interface.
TDecodeResult decodeDirect(const std::string& payload, std::size_t capacity = 1 << 24)
{
    TDecodeResult decoded;
    if (payload.size() < packbuf::cscPropertiesSize)
        return decoded;
    TMemoryInput input;
    input.stream = { readMemory, &input };
    input.data = payload;
    input.position = packbuf::cscPropertiesSize;
    TMemoryOutput output;
    output.stream = { writeMemory, &output };
    output.capacity = capacity;
    const auto properties = packbuf::readCscProperties(reinterpret_cast<const unsigned char*>(payload.data()));
    packbuf::TCscDecoder* decoder = packbuf::createCscDecoder(properties, &input.stream);
    if (!decoder)
        return decoded;
    decoded.created = true;
    decoded.result = packbuf::decodeCscStream(decoder, &output.stream);
    packbuf::destroyCscDecoder(decoder);
    if (decoder)
        QTest::qFail("destroy did not clear the handle", __FILE__, __LINE__);
    decoded.output = output.data;
    decoded.consumed = input.position;
    return decoded;
}

bool unpackCsc(const std::string& payload, std::size_t unpackedLength, std::string& output)
{
    return packbuf::unpackString(packed(ECodecId::CSC20, unpackedLength, payload), output);
}

// The forward E8/E9 transform, deciding on the original bytes in the decoder's order.
std::string filterE8E9(const std::string& original)
{
    std::string out = original;
    const std::size_t n = original.size();
    std::size_t next = 5;
    for (std::size_t p = 0; p + 6 <= n; ++p) {
        const auto byte = static_cast<unsigned char>(original[p]);
        if (p + 5 < next || (byte != 0xE8 && byte != 0xE9))
            continue;
        next = p + 9;
        std::uint32_t v = 0;
        for (int k = 0; k < 4; ++k)
            v |= std::uint32_t(static_cast<unsigned char>(original[p + 1 + std::size_t(k)])) << (8 * k);
        if (v + (1u << 24) >= (1u << 25))
            continue;
        const std::uint32_t x = (std::uint32_t(p) + 5 + v + (1u << 24)) & ((1u << 25) - 1);
        std::uint32_t y = (x >> 1) | ((x & 1) << 24);
        y = (y & 0xFF00FF00u) | ((y & 0xFF) << 16) | ((y >> 16) & 0xFF);
        const std::uint32_t stored = y - (1u << 24);
        for (int k = 0; k < 4; ++k)
            out[p + 1 + std::size_t(k)] = char(stored >> (8 * k));
    }
    return out;
}

std::string englishText(std::size_t size)
{
    static const char* const words[] = { "the ", "station ", "was ", "with ", "have ", "that ", "and ", "for " };
    std::string text;
    for (unsigned i = 0; text.size() < size; ++i)
        text += words[(i * 2654435761u) >> 29];
    text.resize(size);
    return text;
}

} // namespace

class TestCscDecoder : public QObject
{
    Q_OBJECT

private slots:
    void properties()
    {
        const std::string bytes("\x01\x02\x03\x04\x05\x06\x07\x08\x09\x0A", 10);
        const auto properties = packbuf::readCscProperties(reinterpret_cast<const unsigned char*>(bytes.data()));
        QCOMPARE(properties.windowSize, 0x01020304u);
        QCOMPARE(properties.streamBlockSize, 0x050607u);
        QCOMPARE(properties.rawBlockSize, 0x08090Au);
    }

    void endBlockOnly()
    {
        TCscStreamWriter writer(1 << 16, 1 << 16, 1 << 16);
        writer.endBlock();
        const std::string payload = writer.finish();
        const TDecodeResult decoded = decodeDirect(payload);
        QVERIFY(decoded.created);
        QCOMPARE(decoded.result, 0);
        QCOMPARE(decoded.output, std::string());
        QCOMPARE(decoded.consumed, payload.size());
        // Through the dispatcher, nothing produced leaves the output all zeros.
        std::string output;
        QVERIFY(unpackCsc(payload, 4, output));
        QCOMPARE(output, std::string(4, '\0'));
    }

    void blockTypes_data()
    {
        QTest::addColumn<std::string>("payload");
        QTest::addColumn<std::string>("expected");
        {
            TCscStreamWriter writer(1 << 16, 1 << 16, 1 << 16);
            writer.lzBlock("hello, world");
            writer.endBlock();
            QTest::newRow("lz literals") << writer.finish() << std::string("hello, world");
        }
        {
            // Matches and repeats, overlapping copies included.
            TCscStreamWriter writer(1 << 16, 1 << 16, 1 << 16);
            writer.integer(1);
            writer.literals("abcd");
            writer.match(4, 8); // abcdabcd
            writer.match(1, 3); // ddd
            writer.repeatMatch(1, 4); // rep1 is distance 4, which moves to the front
            writer.shortRepeat(); // distance 4 again
            writer.match(15, 200); // long overlapping copy with a long length code
            writer.endMarker();
            writer.tail(0);
            writer.endBlock();
            std::string expected = "abcd";
            auto copy = [&expected](std::size_t distance, std::size_t length) {
                for (std::size_t i = 0; i < length; ++i)
                    expected += expected[expected.size() - distance];
            };
            copy(4, 8);
            copy(1, 3);
            copy(4, 4);
            copy(4, 1);
            copy(15, 200);
            QTest::newRow("lz matches") << writer.finish() << expected;
        }
        {
            TCscStreamWriter writer(1 << 16, 1 << 16, 1 << 16);
            writer.literalBlock("literal block bytes");
            writer.storedBlock(std::string("stored\0\xFF", 8));
            writer.endBlock();
            QTest::newRow("literal and stored")
                << writer.finish() << std::string("literal block bytesstored\0\xFF", 27);
        }
        {
            // A stored block followed by an LZ block whose match refers into it.
            TCscStreamWriter writer(1 << 16, 1 << 16, 1 << 16);
            writer.storedBlock("0123456789");
            writer.integer(1);
            writer.match(7, 5);
            writer.endMarker();
            writer.tail(0);
            writer.endBlock();
            QTest::newRow("match into stored") << writer.finish() << std::string("012345678934567");
        }
        {
            // Far distances use the extra raw bits, above 16 of them for the top slots.
            const std::string prefix = randomData(300000, 21);
            TCscStreamWriter writer(1 << 20, 1 << 16, 1 << 20);
            writer.storedBlock(prefix);
            writer.integer(1);
            writer.match(290000, 40);
            writer.match(70, 3);
            writer.match(33, 2);
            writer.match(64, 2);
            writer.match(20, 2);
            writer.endMarker();
            writer.tail(0);
            writer.endBlock();
            std::string expected = prefix;
            for (std::size_t distance : { 290000, 70, 33, 64, 20 })
                for (std::size_t i = 0, n = distance == 290000 ? 40 : distance == 70 ? 3 : 2; i < n; ++i)
                    expected += expected[expected.size() - distance];
            QTest::newRow("far distances") << writer.finish() << expected;
        }
        {
            // Lengths past the escape: 143 + 2 * 143 + 10, plus 2.
            TCscStreamWriter writer(1 << 16, 1 << 16, 1 << 16);
            writer.integer(1);
            writer.literal('e');
            writer.match(1, 143 * 3 + 12);
            writer.endMarker();
            writer.tail(0);
            writer.endBlock();
            QTest::newRow("escaped length") << writer.finish() << std::string(143 * 3 + 13, 'e');
        }
        {
            TCscStreamWriter writer(1 << 16, 1 << 16, 1 << 16);
            const std::string data = std::string(700, 'x') + randomData(300, 5);
            writer.deltaBlock(data, 1);
            writer.endBlock();
            QTest::newRow("delta stride 1 with runs") << writer.finish() << data;
        }
        {
            TCscStreamWriter writer(1 << 16, 1 << 16, 1 << 16);
            writer.integer(1);
            writer.literals("AB");
            writer.endMarker();
            writer.tail(0);
            writer.endBlock();
            QTest::newRow("two literals") << writer.finish() << std::string("AB");
        }
        // Every delta stride, on rising lanes, plus the 511 and 512 byte edges.
        for (int stride : { 1, 2, 3, 4, 8 }) {
            for (std::size_t size : { std::size_t(511), std::size_t(512), std::size_t(3000) }) {
                std::string data;
                for (std::size_t i = 0; i < size; ++i)
                    data += char((i % std::size_t(stride)) * 40 + (i / std::size_t(stride)) * 3);
                TCscStreamWriter writer(1 << 16, 1 << 16, 1 << 16);
                writer.deltaBlock(data, stride);
                writer.endBlock();
                QTest::addRow("delta stride %d, %zu bytes", stride, size) << writer.finish() << data;
            }
        }
        {
            // A stored block long enough that its length uses the integer's widest form.
            const std::string data = randomData((1 << 17) + 5, 8);
            TCscStreamWriter writer(1 << 18, 1 << 16, 1 << 18);
            writer.storedBlock(data);
            writer.endBlock();
            QTest::newRow("wide integer") << writer.finish() << data;
        }
    }

    void blockTypes()
    {
        QFETCH(std::string, payload);
        QFETCH(std::string, expected);
        const TDecodeResult decoded = decodeDirect(payload);
        QVERIFY(decoded.created);
        QCOMPARE(decoded.result, 0);
        QVERIFY(decoded.output == expected);
        QCOMPARE(decoded.consumed, payload.size());
        std::string output;
        QVERIFY(unpackCsc(payload, expected.size(), output));
        QVERIFY(output == expected);
    }

    void streamBlockFraming_data()
    {
        QTest::addColumn<int>("streamBlockSize");
        QTest::addColumn<int>("order");
        for (int size : { 6, 7, 8, 64, 1 << 16 })
            for (int order : { 0, 1, 2 })
                QTest::addRow("S %d, order %d", size, order) << size << order;
    }

    // Tiny stream blocks split both coders' data everywhere; either kind may come first.
    void streamBlockFraming()
    {
        QFETCH(int, streamBlockSize);
        QFETCH(int, order);
        const std::string text = englishText(3000);
        TCscStreamWriter writer(1 << 16, std::uint32_t(streamBlockSize), 1 << 16);
        writer.lzBlock(text.substr(0, 1000));
        writer.storedBlock(text.substr(1000, 500), 1);
        writer.literalBlock(text.substr(1500, 700));
        writer.lzBlock(text.substr(2200), 1);
        writer.endBlock();
        const std::string payload = writer.finish(TCscStreamWriter::EBlockOrder(order));
        const TDecodeResult decoded = decodeDirect(payload);
        QCOMPARE(decoded.result, 0);
        QVERIFY(decoded.output == text);
        QCOMPARE(decoded.consumed, payload.size());
    }

    // The models, the LZ state and the literal context carry over blocks and coder restarts; a decoder
    // that reset any of them would lose step with the writer and produce other bytes.
    void stateCarriesOver()
    {
        const std::string first = randomData(3000, 1);
        const std::string stored = randomData(50, 2);
        const std::string second = randomData(3000, 3);
        const std::string delta = randomData(600, 4);
        TCscStreamWriter writer(1 << 16, 1 << 12, 1 << 16);
        writer.lzBlock(first, 1);
        writer.storedBlock(stored);
        writer.lzBlock(second.substr(0, 1000));
        writer.deltaBlock(delta, 2, 1);
        writer.literalBlock(second.substr(1000, 1000));
        writer.integer(3); // E8/E9 type with no E8 bytes to restore
        writer.literals(second.substr(2000));
        writer.endMarker();
        writer.tail(0);
        writer.endBlock();
        const TDecodeResult decoded = decodeDirect(writer.finish());
        QCOMPARE(decoded.result, 0);
        QVERIFY(decoded.output == first + stored + second.substr(0, 1000) + delta + second.substr(1000));
    }

    void rawBlockLimit()
    {
        TCscStreamWriter exact(1 << 16, 1 << 16, 100);
        exact.lzBlock(std::string(100, 'r'));
        exact.endBlock();
        QCOMPARE(decodeDirect(exact.finish()).result, 0);

        TCscStreamWriter literalPast(1 << 16, 1 << 16, 100);
        literalPast.lzBlock(std::string(101, 'r'));
        literalPast.endBlock();
        QCOMPARE(decodeDirect(literalPast.finish()).result, packbuf::CscBadData);

        TCscStreamWriter matchPast(1 << 16, 1 << 16, 100);
        matchPast.integer(1);
        matchPast.literal('m');
        matchPast.match(1, 100);
        matchPast.endMarker();
        matchPast.tail(0);
        QCOMPARE(decodeDirect(matchPast.finish()).result, packbuf::CscBadData);

        for (int type : { 7, 8, 16 }) {
            TCscStreamWriter sizePast(1 << 16, 1 << 16, 100);
            sizePast.integer(std::uint32_t(type));
            sizePast.integer(101);
            QCOMPARE(decodeDirect(sizePast.finish()).result, packbuf::CscBadData);
        }
    }

    // A short repeat whose distance equals the window position takes the byte at position 0.
    void windowWrap()
    {
        TCscStreamWriter writer(8, 1 << 16, 1 << 16);
        writer.storedBlock("01234567"); // fills the window; the position wraps to 0
        writer.integer(1);
        writer.match(4, 2); // from position 4: "45", written at 0
        writer.literals("xy");
        writer.shortRepeat(); // distance 4 at position 4: window byte 0
        writer.endMarker();
        writer.tail(0);
        writer.endBlock();
        const TDecodeResult decoded = decodeDirect(writer.finish());
        QCOMPARE(decoded.result, 0);
        QCOMPARE(decoded.output, std::string("0123456745xy4"));
    }

    void badCopies_data()
    {
        QTest::addColumn<std::uint32_t>("window");
        QTest::addColumn<std::uint32_t>("distance");
        QTest::addColumn<std::uint32_t>("length");
        // After 6 bytes in a window of 8: distance beyond W, a source running past W, a target running past W.
        QTest::newRow("distance above window") << 8u << 9u << 2u;
        QTest::newRow("source past window end") << 8u << 7u << 3u;
        QTest::newRow("target past window end") << 8u << 2u << 3u;
    }

    void badCopies()
    {
        QFETCH(std::uint32_t, window);
        QFETCH(std::uint32_t, distance);
        QFETCH(std::uint32_t, length);
        TCscStreamWriter writer(window, 1 << 16, 1 << 16);
        writer.integer(1);
        writer.literals("abcdef");
        writer.match(distance, length);
        writer.endMarker();
        writer.tail(0);
        writer.endBlock();
        QCOMPARE(decodeDirect(writer.finish()).result, packbuf::CscBadData);
    }

    void wordFilter_data()
    {
        QTest::addColumn<std::string>("filtered");
        QTest::addColumn<std::string>("expected");
        QTest::addColumn<int>("result");
        QTest::newRow("codes and padding") << std::string("\x82 \xEB \xFB      ") << std::string("ac the tion") << 0;
        QTest::newRow("escaped high byte") << std::string("\xFE\x82\xEB ") << std::string("\x82the") << 0;
        // Only bytes above 129 are ever escaped; 254 before a lower byte is itself.
        QTest::newRow("escape before 0x80") << std::string("\xFE\x80") << std::string("\xFE\x80") << 0;
        QTest::newRow("escape before low byte") << std::string("\xFE"
                                                               "a")
                                                << std::string("\xFE"
                                                               "a")
                                                << 0;
        QTest::newRow("other high codes") << std::string("\xFC\xFD\xFF") << std::string("\xFC\xFD\xFF") << 0;
        QTest::newRow("plain text") << std::string("plain") << std::string("plain") << 0;
        QTest::newRow("word past the end") << std::string("ab\xFB") << std::string() << int(packbuf::CscBadData);
    }

    void wordFilter()
    {
        QFETCH(std::string, filtered);
        QFETCH(std::string, expected);
        QFETCH(int, result);
        TCscStreamWriter writer(1 << 16, 1 << 16, 1 << 16);
        writer.integer(2);
        writer.integer(std::uint32_t(filtered.size()));
        writer.literals(filtered);
        writer.endMarker();
        writer.tail(0);
        writer.endBlock();
        const TDecodeResult decoded = decodeDirect(writer.finish());
        QCOMPARE(decoded.result, result);
        if (result == 0)
            QCOMPARE(decoded.output, expected);
    }

    void wordFilterOnText()
    {
        // Real text, word codes put in by hand: "the" is code 235, "with" 246, "tion" 251.
        const std::string original = "the station with the motion ";
        std::string filtered = "\xEB sta\xFB \xF6 \xEB mo\xFB ";
        filtered.resize(original.size(), ' ');
        TCscStreamWriter writer(1 << 16, 1 << 16, 1 << 16);
        writer.integer(2);
        writer.integer(std::uint32_t(original.size()));
        writer.literals(filtered);
        writer.endMarker();
        writer.tail(0);
        writer.endBlock();
        const TDecodeResult decoded = decodeDirect(writer.finish());
        QCOMPARE(decoded.result, 0);
        QCOMPARE(decoded.output, original);
    }

    void e8e9Filter_data()
    {
        QTest::addColumn<std::string>("code");
        std::string calls;
        for (int i = 0; i < 40; ++i) {
            calls += "\x55\x48\x89\xE5";
            calls += '\xE8';
            const std::uint32_t target = std::uint32_t(i * 977 - 5000);
            for (int k = 0; k < 4; ++k)
                calls += char(target >> (8 * k));
        }
        QTest::newRow("calls") << calls;
        // An E8 as the last operand byte of an earlier call is the next candidate (p + 4).
        QTest::newRow("adjacent candidates") << std::string("\xE8\x10\x00\x00\xE8\x20\x00\x00\x00\x90\x90", 11);
        // Operands far out of range stay as they are.
        QTest::newRow("out of range") << std::string("\xE9\x00\x00\x00\x40\x90\xE8\xFF\xFF\xFF\x80\x90", 12);
        // An instruction whose operand ends at the block's last byte is not restored.
        QTest::newRow("at the end") << std::string("\x90\xE8\x01\x02\x00\x00", 6);
        QTest::newRow("short") << std::string("\xE8\x01\x02", 3);
    }

    void e8e9Filter()
    {
        QFETCH(std::string, code);
        const std::string filtered = filterE8E9(code);
        if (QTest::currentDataTag() == QByteArray("at the end"))
            QCOMPARE(filtered, code);
        TCscStreamWriter writer(1 << 16, 1 << 16, 1 << 16);
        writer.integer(3);
        writer.literals(filtered);
        writer.endMarker();
        writer.tail(0);
        writer.endBlock();
        const TDecodeResult decoded = decodeDirect(writer.finish());
        QCOMPARE(decoded.result, 0);
        QVERIFY(decoded.output == code);
    }

    void deltaRuns()
    {
        // A run at the block's start, and one passing the block's end, are bad data.
        TCscStreamWriter atStart(1 << 16, 1 << 16, 1 << 16);
        atStart.integer(16);
        atStart.integer(20);
        atStart.deltaRun(12);
        QCOMPARE(decodeDirect(atStart.finish()).result, packbuf::CscBadData);

        TCscStreamWriter pastEnd(1 << 16, 1 << 16, 1 << 16);
        pastEnd.integer(16);
        pastEnd.integer(20);
        pastEnd.deltaLiteral('d');
        pastEnd.deltaRun(20);
        QCOMPARE(decodeDirect(pastEnd.finish()).result, packbuf::CscBadData);

        TCscStreamWriter exact(1 << 16, 1 << 16, 1 << 16);
        exact.integer(16);
        exact.integer(20);
        exact.deltaLiteral('d');
        exact.deltaRun(19);
        exact.appendToWindow(std::string(20, 'd'));
        exact.tail(0);
        exact.endBlock();
        const TDecodeResult decoded = decodeDirect(exact.finish());
        QCOMPARE(decoded.result, 0);
        QCOMPARE(decoded.output, std::string(20, 'd'));
    }

    void badStreams()
    {
        TCscStreamWriter unknownType(1 << 16, 1 << 16, 1 << 16);
        unknownType.integer(4);
        QCOMPARE(decodeDirect(unknownType.finish()).result, packbuf::CscBadData);

        TCscStreamWriter good(1 << 16, 1 << 16, 1 << 16);
        good.lzBlock("some data");
        good.endBlock();
        const std::string payload = good.finish();

        // A stream block larger than S.
        std::string oversized = payload;
        oversized.replace(4, 3, "\x00\x00\x01", 3); // S = 1, the first block holds more
        QVERIFY(!decodeDirect(oversized).created);

        // W, S or R of 0, and a window above the limit, create nothing.
        for (int field : { 0, 4, 7 }) {
            std::string zero = payload;
            zero.replace(std::size_t(field), field == 0 ? 4 : 3, field == 0 ? 4 : 3, '\0');
            QVERIFY(!decodeDirect(zero).created);
        }
        std::string hugeWindow = payload;
        hugeWindow.replace(0, 4, "\x40\x00\x00\x01", 4);
        QVERIFY(!decodeDirect(hugeWindow).created);
        std::string output;
        QVERIFY(!unpackCsc(hugeWindow, 9, output));

        // A range-coder block shorter than 5 bytes.
        const std::string tiny = good.properties() + std::string("\x80\x00\x00\x04\x00\x00\x00\x00", 8)
            + std::string("\x00\x00\x00\x01\x00", 5);
        QVERIFY(!decodeDirect(tiny).created);

        // The output refusing bytes.
        QCOMPARE(decodeDirect(payload, 4).result, packbuf::CscWriteFailed);
        QVERIFY(!unpackCsc(payload, 4, output));
        QVERIFY(unpackCsc(payload, 9, output));
        QCOMPARE(output, std::string("some data"));
    }

    // The whole payload must be used: a stream that ends early fails, even when every block decoded.
    void payloadUsedUp()
    {
        TCscStreamWriter writer(1 << 16, 1 << 16, 1 << 16);
        writer.lzBlock("used up");
        writer.endBlock();
        const std::string payload = writer.finish();
        std::string output;
        QVERIFY(unpackCsc(payload, 7, output));
        QVERIFY(!unpackCsc(payload + std::string("\x00\x00\x00\x01\x00", 5), 7, output));
        QVERIFY(!unpackCsc(payload + "x", 7, output));
        QVERIFY(!unpackCsc(payload.substr(0, 9), 7, output));
        // Bytes behind the payload length are not the payload's.
        QVERIFY(packbuf::unpackString(packed(ECodecId::CSC20, 7, payload) + "tail", output));
    }

    void truncationsAndCorruption()
    {
        const std::string text = englishText(2000);
        TCscStreamWriter writer(1 << 16, 200, 1 << 16);
        writer.lzBlock(text.substr(0, 800), 1);
        writer.storedBlock(text.substr(800, 200));
        writer.deltaBlock(text.substr(1000, 600), 3);
        writer.literalBlock(text.substr(1600));
        writer.endBlock();
        const std::string payload = writer.finish(TCscStreamWriter::Alternating);
        std::string output;
        QVERIFY(unpackCsc(payload, text.size(), output));
        QVERIFY(output == text);
        for (std::size_t cut = 0; cut < payload.size(); ++cut) {
            const TDecodeResult decoded = decodeDirect(payload.substr(0, cut));
            QVERIFY(!decoded.created || decoded.result != 0 || decoded.consumed < payload.size());
            QVERIFY(!unpackCsc(payload.substr(0, cut), text.size(), output));
        }
        // Flipped bytes anywhere: any result, but no crash, no hang and nothing beyond the capacity.
        std::mt19937 random(5);
        for (int round = 0; round < 3000; ++round) {
            std::string corrupt = payload;
            for (int flips = 0; flips < 1 + round % 3; ++flips)
                corrupt[random() % corrupt.size()] ^= char(1 << (random() % 8));
            const bool unpacked = unpackCsc(corrupt, text.size(), output);
            QVERIFY(!unpacked || output.size() == text.size());
        }
    }

    void progress()
    {
        TCscStreamWriter writer(1 << 16, 1 << 16, 1 << 16);
        writer.lzBlock("one");
        writer.storedBlock("two!");
        writer.endBlock();
        const std::string payload = writer.finish();
        TMemoryInput input;
        input.stream = { readMemory, &input };
        input.data = payload;
        input.position = packbuf::cscPropertiesSize;
        TMemoryOutput output;
        output.stream = { writeMemory, &output };
        output.capacity = 100;
        packbuf::TCscDecoder* decoder = packbuf::createCscDecoder(
            packbuf::readCscProperties(reinterpret_cast<const unsigned char*>(payload.data())), &input.stream);
        QVERIFY(decoder);
        std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
        const int result = packbuf::decodeCscStream(
            decoder, &output.stream,
            [](void* context, std::uint64_t in, std::uint64_t out) {
                static_cast<decltype(reports)*>(context)->emplace_back(in, out);
            },
            &reports);
        packbuf::destroyCscDecoder(decoder);
        QCOMPARE(result, 0);
        QCOMPARE(reports.size(), std::size_t(2));
        QCOMPARE(reports[0].second, std::uint64_t(3));
        QCOMPARE(reports[1].second, std::uint64_t(7));
        QVERIFY(reports[0].first > 0 && reports[1].first <= payload.size() - packbuf::cscPropertiesSize);
    }
};

QTEST_GUILESS_MAIN(TestCscDecoder)
#include "tst_cscdecoder.moc"
