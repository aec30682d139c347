#include "packbuf/packbuf"
#include "packbuftestsupport.h"

#include <QtTest>

#include <climits>

using packbuf::ECodecId;
using namespace packbuftest;

Q_DECLARE_METATYPE(std::string)

namespace {

// Builds CRUSH streams symbol by symbol, least significant bit first, independently of the encoder.
class TCrushStreamWriter
{
public:
    TCrushStreamWriter& bits(std::uint32_t value, int count)
    {
        for (int i = 0; i < count; ++i) {
            if (m_bitCount % 8 == 0)
                m_bytes += '\0';
            if ((value >> i) & 1)
                m_bytes.back() = char(m_bytes.back() | (1 << (m_bitCount % 8)));
            ++m_bitCount;
        }
        return *this;
    }

    TCrushStreamWriter& literal(unsigned char byte) { return bits(0, 1).bits(byte, 8); }

    TCrushStreamWriter& match(int length, int distance)
    {
        bits(1, 1);
        const int code = length - 3;
        struct TClass
        {
            int base, bits;
        };
        static constexpr TClass classes[] = { { 0, 2 }, { 4, 2 }, { 8, 2 }, { 12, 3 }, { 20, 5 }, { 52, 9 } };
        int index = 5;
        for (int i = 0; i < 5; ++i) {
            if (code < classes[i + 1].base) {
                index = i;
                break;
            }
        }
        for (int i = 0; i < index; ++i)
            bits(0, 1);
        if (index < 5)
            bits(1, 1);
        bits(std::uint32_t(code - classes[index].base), classes[index].bits);
        if (distance <= 64)
            return bits(0, 4).bits(std::uint32_t(distance - 1), 6);
        int slot = 1;
        while (distance > (1 << (slot + 6)))
            ++slot;
        return bits(std::uint32_t(slot), 4).bits(std::uint32_t(distance - 1 - (1 << (slot + 5))), slot + 5);
    }

    const std::string& bytes() const { return m_bytes; }

private:
    std::string m_bytes;
    int m_bitCount = 0;
};

int decode(const std::string& stream, std::string& output, int expected)
{
    output.assign(std::size_t(expected) + 1, '\x5A'); // one guard byte behind the expected length
    const int produced = packbuf::decodeCrushStream(stream.data(), stream.size(), output.data(), expected);
    if (output[std::size_t(expected)] != '\x5A')
        QTest::qFail("decoder wrote past the expected length", __FILE__, __LINE__);
    output.resize(std::size_t(expected));
    return produced;
}

std::string encode(int level, const std::string& input, std::size_t capacity)
{
    std::string output(capacity, '\0');
    output.resize(packbuf::encodeCrushStream(level, input.data(), input.size(), output.data(), capacity));
    return output;
}

} // namespace

class TestCrush : public QObject
{
    Q_OBJECT

private slots:
    void literals()
    {
        TCrushStreamWriter writer;
        writer.literal(0x41).literal(0x42).literal(0x43);
        std::string output;
        QCOMPARE(decode(writer.bytes(), output, 3), 3);
        QCOMPARE(output, std::string("ABC"));
        QCOMPARE(decode(writer.bytes(), output, 2), 2);
        QCOMPARE(output, std::string("AB"));
        // Bytes behind the stream are ignored.
        QCOMPARE(decode(writer.bytes() + "junk", output, 3), 3);
        QCOMPARE(decode(writer.bytes(), output, 0), 0);
        QCOMPARE(packbuf::decodeCrushStream(writer.bytes().data(), writer.bytes().size(), output.data(), -1), 0);
    }

    void longestOverlappingMatch()
    {
        TCrushStreamWriter writer;
        writer.literal('z').match(566, 1);
        std::string output;
        QCOMPARE(decode(writer.bytes(), output, 567), 567);
        QCOMPARE(output, std::string(567, 'z'));
    }

    void lengthClasses_data()
    {
        QTest::addColumn<int>("length");
        for (int length : { 3, 6, 7, 10, 11, 14, 15, 22, 23, 54, 55, 566 })
            QTest::addRow("%d", length) << length;
    }

    void lengthClasses()
    {
        QFETCH(int, length);
        TCrushStreamWriter writer;
        writer.literal('a').literal('b').match(length, 2).literal('c');
        std::string expected = "ab";
        while (int(expected.size()) < 2 + length)
            expected += expected[expected.size() - 2];
        expected += 'c';
        std::string output;
        QCOMPARE(decode(writer.bytes(), output, int(expected.size())), int(expected.size()));
        QCOMPARE(output, expected);
    }

    void distanceSlots()
    {
        // Slot 0 with the 6 bits 35 is distance 36; slot 1 with the 6 bits 10 is distance 75.
        std::string prefix;
        TCrushStreamWriter writer;
        for (int i = 0; i < 100; ++i) {
            prefix += char(i);
            writer.literal(std::uint8_t(i));
        }
        writer.bits(1, 1).bits(1, 1).bits(0, 2).bits(0, 4).bits(35, 6); // length 3, distance 36
        writer.bits(1, 1).bits(1, 1).bits(0, 2).bits(1, 4).bits(10, 6); // length 3, distance 75
        std::string expected = prefix + prefix.substr(100 - 36, 3);
        expected += expected.substr(expected.size() - 75, 3);
        std::string output;
        QCOMPARE(decode(writer.bytes(), output, 106), 106);
        QCOMPARE(output, expected);
    }

    void farthestDistance()
    {
        // 2 MiB of distinct-enough data, then a match from the very first byte (slot 15, 2097152).
        const int window = 1 << 21;
        const std::string data = randomData(std::size_t(window), 7);
        TCrushStreamWriter writer;
        for (unsigned char c : data)
            writer.literal(c);
        writer.match(10, window);
        std::string output;
        QCOMPARE(decode(writer.bytes(), output, window + 10), window + 10);
        QCOMPARE(output.substr(std::size_t(window)), data.substr(0, 10));
    }

    void outOfRangeMatches()
    {
        std::string output;
        TCrushStreamWriter exact;
        exact.literal('x').literal('y').match(3, 2);
        QCOMPARE(decode(exact.bytes(), output, 5), 5);
        QCOMPARE(output, std::string("xyxyx"));

        TCrushStreamWriter tooFar;
        tooFar.literal('x').literal('y').match(3, 3);
        QCOMPARE(decode(tooFar.bytes(), output, 5), 0);

        // A match one byte longer than the room left fails and writes nothing past the end.
        TCrushStreamWriter tooLong;
        tooLong.literal('x').match(4, 1);
        QCOMPARE(decode(tooLong.bytes(), output, 4), 0);
    }

    void truncatedStreams()
    {
        TCrushStreamWriter writer;
        writer.literal('a').match(100, 1).literal('b').match(300, 2);
        std::string output;
        QCOMPARE(decode(writer.bytes(), output, 402), 402);
        for (std::size_t cut = 0; cut < writer.bytes().size(); ++cut)
            QCOMPARE(decode(writer.bytes().substr(0, cut), output, 402), 0);
    }

    void encoderRoundTrip_data()
    {
        QTest::addColumn<int>("level");
        QTest::addColumn<std::string>("input");
        for (int level : { 0, 1, 2 }) {
            QTest::addRow("one byte, level %d", level) << level << std::string("q");
            QTest::addRow("text, level %d", level) << level << sampleData(200000, unsigned(level + 1));
            QTest::addRow("random, level %d", level) << level << randomData(5000, 3);
            QTest::addRow("zeros, level %d", level) << level << std::string(100000, '\0');
        }
        // A repeat 1.5 MiB back needs the far slots; one 2.5 MiB back is out of the window.
        const std::string block = randomData(300000, 11);
        const std::string filler = randomData(1200000, 12);
        QTest::addRow("far repeat") << 1 << block + filler + block;
        QTest::addRow("repeat beyond window") << 1 << block + randomData(2200000, 13) + block;
    }

    void encoderRoundTrip()
    {
        QFETCH(int, level);
        QFETCH(std::string, input);
        const std::string stream = encode(level, input, 2 * input.size() + 32);
        QVERIFY(!stream.empty());
        std::string output;
        QCOMPARE(decode(stream, output, int(input.size())), int(input.size()));
        QVERIFY(output == input);
    }

    void encoderCompresses()
    {
        std::string input;
        for (int i = 0; input.size() < 100000; ++i)
            input += "record " + std::to_string(i * 7919 % 1000) + " of the package list\n";
        const std::size_t level0 = encode(0, input, input.size()).size();
        const std::size_t level2 = encode(2, input, input.size()).size();
        QVERIFY(level0 > 0 && level0 < input.size() / 2);
        QVERIFY(level2 > 0 && level2 <= level0);
    }

    void encoderRespectsCapacity()
    {
        const std::string input = randomData(1000, 5);
        std::string output(2000, '\x33');
        QCOMPARE(packbuf::encodeCrushStream(0, input.data(), input.size(), output.data(), 900), std::size_t(0));
        QCOMPARE(output.substr(900), std::string(1100, '\x33'));
        QCOMPARE(packbuf::encodeCrushStream(3, input.data(), input.size(), output.data(), 2000), std::size_t(0));
        QCOMPARE(packbuf::encodeCrushStream(0, input.data(), 0, output.data(), 2000), std::size_t(0));
    }

    void dispatcher()
    {
        TCrushStreamWriter writer;
        writer.literal('k').match(9, 1);
        std::string output;
        QVERIFY(packbuf::unpackString(packed(ECodecId::CRUSH, 10, writer.bytes()), output));
        QCOMPARE(output, std::string(10, 'k'));
        // The stream must produce exactly the header's length: a shorter stream fails (a copy comes back).
        const std::string longer = packed(ECodecId::CRUSH, 11, writer.bytes());
        QVERIFY(!packbuf::unpackString(longer, output));
        QCOMPARE(output, longer);
        // Capacities of 2^31 bytes and more cannot be handed to the decoder at all.
        char small[16] = {};
        std::size_t capacity = std::size_t(INT_MAX) + 1;
        QVERIFY(!packbuf::unpackBuffer(ECodecId::CRUSH, writer.bytes().data(), writer.bytes().size(), small, capacity));
        QCOMPARE(capacity, std::size_t(0));
    }
};

QTEST_GUILESS_MAIN(TestCrush)
#include "tst_crush.moc"
