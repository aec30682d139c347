#include "packbuf/packbuf"
#include "packbuftestsupport.h"

#include <QtTest>

using packbuf::ECodecId;
using namespace packbuftest;

Q_DECLARE_METATYPE(std::string)
Q_DECLARE_METATYPE(packbuf::ECodecId)

namespace {

std::optional<std::string> pack(ECodecId id, const std::string& input)
{
    std::string output(packbuf::packedSizeBound(id, input.size()), '\0');
    std::size_t length = output.size();
    if (!packbuf::packBuffer(id, input.data(), input.size(), output.data(), length))
        return std::nullopt;
    output.resize(length);
    return output;
}

std::string textData(std::size_t size)
{
    std::string text;
    for (int i = 0; text.size() < size; ++i)
        text += "entry " + std::to_string(i * 7919 % 5000) + " belongs to the package korvane vedudi\n";
    text.resize(size);
    return text;
}

} // namespace

class TestPack : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<ECodecId>("id");
        QTest::addColumn<std::string>("input");
        const ECodecId codecs[] = { ECodecId::MINIZ, ECodecId::LZIP, ECodecId::LZMA20, ECodecId::LZMA25, ECodecId::ZPAQ,
            ECodecId::CSC20, ECodecId::CRUSH };
        for (ECodecId id : codecs) {
            const char* name = packbuf::codecName(id);
            QTest::addRow("%s text 100 KiB", name) << id << textData(100 << 10);
            QTest::addRow("%s mixed 300 KiB", name) << id << sampleData(300 << 10, 4);
            QTest::addRow("%s zeros 4 KiB", name) << id << std::string(4096, '\0');
        }
    }

    // Every codec's payload, framed with a header, unpacks to the input.
    void roundTrip()
    {
        QFETCH(ECodecId, id);
        QFETCH(std::string, input);
        const std::optional<std::string> payload = pack(id, input);
        QVERIFY(payload);
        QVERIFY(payload->size() < input.size());
        std::string output;
        QVERIFY(packbuf::unpackString(packed(id, input.size(), *payload, 2), output));
        QVERIFY(output == input);
    }

    void neverLarger_data()
    {
        QTest::addColumn<ECodecId>("id");
        for (ECodecId id : { ECodecId::RAW, ECodecId::MINIZ, ECodecId::LZIP, ECodecId::LZMA20, ECodecId::LZMA25,
                 ECodecId::ZPAQ, ECodecId::CSC20, ECodecId::CRUSH })
            QTest::addRow("%s", packbuf::codecName(id)) << id;
    }

    // Incompressible data, and RAW always, give no payload: the result must be shorter than the input.
    // With a capacity of exactly the input length nothing is written past it.
    void neverLarger()
    {
        QFETCH(ECodecId, id);
        const std::string input = randomData(4096, 9);
        QVERIFY(!pack(id, input));
        std::string output(input.size() + 64, '\x5A');
        std::size_t length = input.size();
        QVERIFY(!packbuf::packBuffer(id, input.data(), input.size(), output.data(), length));
        QCOMPARE(length, std::size_t(0));
        QCOMPARE(output.substr(input.size()), std::string(64, '\x5A'));
        QVERIFY(!pack(id, "x"));
        if (id == ECodecId::RAW)
            QVERIFY(!pack(id, textData(10000)));
    }

    void failures()
    {
        const std::string input = textData(10000);
        std::string output(input.size(), '\0');
        std::size_t length = output.size();
        QVERIFY(!packbuf::packBuffer(ECodecId::LZIP, nullptr, 10, output.data(), length));
        QCOMPARE(length, std::size_t(0));
        length = output.size();
        QVERIFY(!packbuf::packBuffer(ECodecId::LZIP, input.data(), input.size(), nullptr, length));
        length = output.size();
        QVERIFY(!packbuf::packBuffer(ECodecId::LZIP, input.data(), 0, output.data(), length));
        // The capacity must hold at least the input.
        length = input.size() - 1;
        QVERIFY(!packbuf::packBuffer(ECodecId::MINIZ, input.data(), input.size(), output.data(), length));
        QCOMPARE(length, std::size_t(0));
        // Codecs without an encoder fail, and so does a capacity that exactly holds the input when the
        // result would not fit (nothing is written past it).
        for (ECodecId id : { ECodecId::BZIP2, ECodecId::ZSTD, static_cast<ECodecId>(24) }) {
            length = output.size();
            QVERIFY(!packbuf::packBuffer(id, input.data(), input.size(), output.data(), length));
            QCOMPARE(length, std::size_t(0));
        }
    }

    // The LZMA payload is the 5 property bytes, the data length and data that xz reads as LZMA-alone.
    void lzmaPayloadLayout()
    {
        if (!hasProgram("xz"))
            QSKIP("xz is not installed");
        const std::string input = textData(50000);
        const std::optional<std::string> payload = pack(ECodecId::LZMA20, input);
        QVERIFY(payload);
        std::uint64_t stored = 0;
        for (int i = 0; i < 8; ++i)
            stored |= std::uint64_t(static_cast<unsigned char>((*payload)[5 + i])) << (8 * i);
        QCOMPARE(stored, std::uint64_t(payload->size() - 13));
        const std::string alone = payload->substr(0, 5) + std::string(8, '\xFF') + payload->substr(13);
        const TPeerRun run = runPeer("xz", { "-d", "-c", "--format=lzma" }, QByteArray::fromStdString(alone));
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.output.toStdString() == input);
    }

    void deflatePayloadReadByPython()
    {
        if (!hasProgram("python3"))
            QSKIP("python3 is not installed");
        const std::string input = textData(80000);
        const std::optional<std::string> payload = pack(ECodecId::MINIZ, input);
        QVERIFY(payload);
        const TPeerRun run = runPeer("python3",
            { "-c", "import sys, zlib; sys.stdout.buffer.write(zlib.decompress(sys.stdin.buffer.read(), -15))" },
            QByteArray::fromStdString(*payload));
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        QVERIFY(run.output.toStdString() == input);
    }

    void sizeBound()
    {
        QCOMPARE(packbuf::packedSizeBound(ECodecId::RAW, 1000), std::size_t(1032));
        QCOMPARE(packbuf::packedSizeBound(ECodecId::LZIP, 1000), std::size_t(2032));
        QCOMPARE(packbuf::packedSizeBound(ECodecId::BZIP2, 0), std::size_t(32));
        QVERIFY(packbuf::packedSizeBound(ECodecId::MINIZ, 1000) >= 1032);
        QVERIFY(packbuf::packedSizeBound(ECodecId::MINIZ, 1000) < 2032);
    }

    void codecTexts()
    {
        QCOMPARE(packbuf::codecName(ECodecId::RAW), "RAW");
        QCOMPARE(packbuf::codecName(ECodecId::MINIZ), "MINIZ");
        QCOMPARE(packbuf::codecName(ECodecId::CSC20), "CSC20");
        QCOMPARE(packbuf::codecName(ECodecId::CRUSH), "CRUSH");
        QCOMPARE(packbuf::codecName(ECodecId::BZIP2), "BZIP2");
        QCOMPARE(packbuf::codecName(static_cast<ECodecId>(24)), "RAW");
        QCOMPARE(packbuf::codecExtension(ECodecId::RAW), "");
        QCOMPARE(packbuf::codecExtension(ECodecId::MINIZ), "defl");
        QCOMPARE(packbuf::codecExtension(ECodecId::LZMA25), "lzma");
        QCOMPARE(packbuf::codecExtension(ECodecId::CRUSH), "crush");
        QCOMPARE(packbuf::codecExtension(ECodecId::BZIP2), "bz2");
        QCOMPARE(packbuf::codecExtension(static_cast<ECodecId>(255)), "");
        QCOMPARE(packbuf::frontVersionText(), "0");
        QCOMPARE(packbuf::packInitOnce(), 1);
        QCOMPARE(packbuf::zipInitOnce(), 1);
    }

    void guessCodec_data()
    {
        QTest::addColumn<std::string>("stream");
        QTest::addColumn<ECodecId>("id");
        QTest::newRow("lzip magic") << std::string("LZIP\x01\x0c") << ECodecId::LZIP;
        QTest::newRow("lzip after zeros") << std::string("\0\0LZIP", 6) << ECodecId::LZIP;
        QTest::newRow("cut magic") << std::string("LZI") << ECodecId::RAW;
        QTest::newRow("0xEC") << std::string("\xEC\x01") << ECodecId::MINIZ;
        QTest::newRow("0xF0") << std::string("\xF0") << ECodecId::LZ4F;
        QTest::newRow("0xFF") << std::string("\xFF") << ECodecId::LZ4F;
        QTest::newRow("0xEF") << std::string("\xEF") << ECodecId::RAW;
        QTest::newRow("text") << std::string("hello") << ECodecId::RAW;
        QTest::newRow("zeros") << std::string(5, '\0') << ECodecId::RAW;
        QTest::newRow("empty") << std::string() << ECodecId::RAW;
    }

    void guessCodec()
    {
        QFETCH(std::string, stream);
        QFETCH(ECodecId, id);
        QCOMPARE(packbuf::guessCodecOfRawStream(stream.data(), stream.size()), id);
    }

    void headerFields()
    {
        const std::string buffer = packed(ECodecId::LZMA25, 300, "payload", 3) + "tail";
        QVERIFY(packbuf::hasPackedHeader(buffer.data(), buffer.size()));
        QVERIFY(!packbuf::lacksPackedHeader(buffer.data(), buffer.size()));
        QCOMPARE(packbuf::headerCodecId(buffer.data(), buffer.size()), ECodecId::LZMA25);
        QCOMPARE(packbuf::headerUnpackedLength(buffer.data(), buffer.size()), std::uint64_t(300));
        QCOMPARE(packbuf::headerPayloadLength(buffer.data(), buffer.size()), std::uint64_t(7));
        QCOMPARE(packbuf::headerPayload(buffer.data(), buffer.size()), buffer.data() + 3 + 2 + 2 + 1);

        const std::string plain = "no header";
        QVERIFY(packbuf::lacksPackedHeader(plain.data(), plain.size()));
        QCOMPARE(packbuf::headerCodecId(plain.data(), plain.size()), ECodecId::RAW);
        QCOMPARE(packbuf::headerUnpackedLength(plain.data(), plain.size()), std::uint64_t(0));
        QCOMPARE(packbuf::headerPayloadLength(plain.data(), plain.size()), std::uint64_t(0));
        QVERIFY(!packbuf::headerPayload(plain.data(), plain.size()));
        QVERIFY(packbuf::lacksPackedHeader(nullptr, 0));

        // A cut length field gives nothing; a payload running past the input has no payload pointer.
        const std::string cut = std::string("\x70\x05\x80", 3);
        QCOMPARE(packbuf::headerUnpackedLength(cut.data(), cut.size()), std::uint64_t(0));
        const std::string shortPayload = std::string("\x70\x05\x09\x09", 4) + "abc";
        QCOMPARE(packbuf::headerPayloadLength(shortPayload.data(), shortPayload.size()), std::uint64_t(9));
        QVERIFY(!packbuf::headerPayload(shortPayload.data(), shortPayload.size()));
    }

    void leb128_data()
    {
        QTest::addColumn<quint64>("value");
        QTest::addColumn<std::string>("bytes");
        QTest::newRow("0") << quint64(0) << std::string(1, '\0');
        QTest::newRow("127") << quint64(127) << std::string("\x7F");
        QTest::newRow("128") << quint64(128) << std::string("\x80\x01");
        QTest::newRow("300") << quint64(300) << std::string("\xAC\x02");
        QTest::newRow("max") << quint64(UINT64_MAX) << std::string("\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\xFF\x01");
    }

    void leb128()
    {
        QFETCH(quint64, value);
        QFETCH(std::string, bytes);
        const std::string encoded = packbuf::encodeLeb128(value);
        QCOMPARE(encoded, bytes);
        const char* cursor = encoded.data();
        QCOMPARE(packbuf::readLeb128(cursor, encoded.data() + encoded.size()), std::optional<std::uint64_t>(value));
    }
};

QTEST_GUILESS_MAIN(TestPack)
#include "tst_pack.moc"
