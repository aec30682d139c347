#include "packbuf/packbuf.h"
#include "packbuf/sha1.h"
#include "packbuf/zpaqcodec.h"
#include "packbuf/zpaqmodel.h"
#include "packbuf/zpaqvm.h"

#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <climits>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

using namespace packbuf;

namespace {

const char* const zpaqProgram = "/usr/bin/zpaq";

std::string bytes(std::initializer_list<int> values)
{
    std::string s;
    for (int v : values)
        s.push_back(char(v));
    return s;
}

std::string hexOf(const TSha1::TDigest& digest)
{
    return QByteArray(reinterpret_cast<const char*>(digest.data()), int(digest.size())).toHex().toStdString();
}

// Stored level-2 block, segment "a.txt", data "Hi", no checksum.
const std::string storedHi = bytes(
    { 0x7A, 0x50, 0x51, 0x02, 0x01, 0x07, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x61, 0x2E, 0x74, 0x78,
        0x74, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x48, 0x69, 0x00, 0x00, 0x00, 0x00, 0xFE, 0xFF });
// Level 1, one CONST 128, HCOMP = HALT, "Hi", no checksum.
const std::string constHi = bytes({ 0x7A, 0x50, 0x51, 0x01, 0x01, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x01, 0x80,
    0x00, 0x38, 0x00, 0x01, 0x61, 0x2E, 0x74, 0x78, 0x74, 0x00, 0x00, 0x00, 0xFF, 0xB7, 0x9B, 0xBA, 0xE7, 0xF8, 0x00,
    0x00, 0x00, 0x00, 0xFE, 0xFF });
// Level 1 with locator tag, one CM s=0 limit=0, HCOMP = HALT, "Hi", with SHA-1.
const std::string cmHi = bytes({ 0x37, 0x6B, 0x53, 0x74, 0xA0, 0x31, 0x83, 0xD3, 0x8C, 0xB2, 0x28, 0xB0, 0xD3, 0x7A,
    0x50, 0x51, 0x01, 0x01, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0x02, 0x00, 0x00, 0x00, 0x38, 0x00, 0x01, 0x61,
    0x2E, 0x74, 0x78, 0x74, 0x00, 0x00, 0x00, 0x9E, 0x14, 0x47, 0xCF, 0xB3, 0x18, 0xDE, 0xC9, 0x00, 0x00, 0x00, 0x00,
    0x00, 0xFD, 0x94, 0xDD, 0x9E, 0x08, 0xC1, 0x29, 0xC7, 0x85, 0xF7, 0xF2, 0x56, 0xE8, 0x2F, 0xBE, 0x0A, 0x30, 0xE6,
    0xD1, 0xAE, 0x40, 0xFF });

// A level-1 block: header fields hh hm ph pm, component records and HCOMP as given, then one
// empty-named segment with the given coded data and no checksum.
std::string modelBlock(
    const std::string& sizes, const std::string& components, int n, const std::string& hcomp, const std::string& data)
{
    const std::string body = sizes + char(n) + components + '\0' + hcomp + '\0';
    return std::string("zPQ\x01\x01", 5) + char(body.size() & 255) + char(body.size() >> 8) + body
        + std::string("\x01\0\0\0", 4) + data + std::string(4, '\0') + "\xFE\xFF";
}

// A level-2 stored block whose single segment (named as given) carries data as one chunk.
std::string storedBlock(const std::string& sizes, const std::string& data, const std::string& name = {})
{
    const std::size_t l = data.size();
    return std::string("zPQ\x02\x01\x07\0", 7) + sizes + std::string("\0\0\0\x01", 4) + name + std::string("\0\0\0", 3)
        + char(l >> 24) + char(l >> 16) + char(l >> 8) + char(l) + data + std::string(4, '\0') + "\xFE\xFF";
}

std::string sampleData(const QString& kind, std::size_t size)
{
    std::mt19937 random(7);
    std::string s;
    s.reserve(size);
    if (kind == "text") {
        static const char* const words[] = { "launcher", "chunk", "the", "of", "package", "download", "verify", "and",
            "Korvane", "Vedudi", "archive", "a", "segment", "block" };
        while (s.size() < size) {
            s += words[random() % 14];
            s += (random() % 9 == 0) ? ".\n" : " ";
        }
    } else if (kind == "binary") {
        // Fixed-size records: a counter, a small value, a tag from a short list, a noisy byte.
        static const char* const tags[] = { "mesh....", "texture.", "sound...", "script.." };
        for (std::uint32_t i = 0; s.size() < size; ++i) {
            const std::uint32_t counter = i * 12;
            const std::uint16_t value = std::uint16_t((i % 100) * 3);
            s.append(reinterpret_cast<const char*>(&counter), 4);
            s.append(reinterpret_cast<const char*>(&value), 2);
            s.append(tags[random() % 4], 8);
            s.push_back(char(random() % 7));
        }
    } else {
        while (s.size() < size)
            s.push_back(char(random()));
    }
    s.resize(size);
    return s;
}

bool writeFile(const QString& path, const std::string& data)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(data.data(), qint64(data.size())) == qint64(data.size());
}

std::string readFile(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return f.readAll().toStdString();
}

bool runZpaq(const QString& dir, const QStringList& arguments)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(zpaqProgram, arguments);
    return process.waitForFinished(60000) && process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

// Decodes into a zero-filled buffer of the given capacity.
bool decode(const std::string& payload, std::string& out, std::size_t capacity)
{
    out.assign(capacity, '\0');
    return zpaqDecompress(payload.data(), payload.size(), out.data(), out.size());
}

// Keeps a post-processor's output; refuses (throws) what would pass limit bytes.
class TCollectingSink : public TZpaqlSink
{
public:
    explicit TCollectingSink(std::size_t limit)
        : m_limit(limit)
    { }
    void write(const std::uint8_t* data, std::size_t length) override
    {
        if (length > m_limit - bytes.size())
            throw std::length_error("sink full");
        bytes.append(reinterpret_cast<const char*>(data), length);
    }
    std::string bytes;

private:
    std::size_t m_limit;
};

// Runs a program interpreted and as machine code, call by call with the given inputs, and compares
// all it can change: status, budget, registers, H, M, output and the sink's refusal. Empty when
// both agree; translated tells whether machine code ran at all.
QString compareRuns(const std::string& program, const std::vector<std::uint32_t>& inputs, std::int64_t budget,
    std::size_t outputLimit, bool& translated)
{
    TCollectingSink sinks[2] = { TCollectingSink(outputLimit), TCollectingSink(outputLimit) };
    TZpaqlMachine machines[2];
    std::int64_t budgets[2] = { budget, budget };
    for (int k = 0; k < 2; ++k) {
        machines[k].load(reinterpret_cast<const std::uint8_t*>(program.data()), program.size(), 3, 4, &sinks[k], 7);
        machines[k].setTranslation(k == 1);
    }
    for (std::size_t call = 0; call <= inputs.size(); ++call) {
        int status[2] = { -1, -1 };
        bool refused[2] = { false, false };
        for (int k = 0; k < 2; ++k) {
            try {
                if (call < inputs.size())
                    status[k] = int(machines[k].run(inputs[call], budgets[k]));
                else
                    machines[k].flush();
            } catch (const std::length_error&) {
                refused[k] = true;
            }
        }
        const QString where = QString("call %1: ").arg(call);
        if (status[0] != status[1] || refused[0] != refused[1])
            return where
                + QString("status %1 / %2, refused %3 / %4")
                      .arg(status[0])
                      .arg(status[1])
                      .arg(refused[0])
                      .arg(refused[1]);
        // A refusal ends the block, so the machine's state after it does not matter.
        if (refused[0]) {
            if (sinks[0].bytes != sinks[1].bytes)
                return where + "output before the refusal";
            break;
        }
        if (budgets[0] != budgets[1])
            return where + QString("budget %1 / %2").arg(budgets[0]).arg(budgets[1]);
        const TZpaqlFrame& x = machines[0].state();
        const TZpaqlFrame& y = machines[1].state();
        if (x.a != y.a || x.b != y.b || x.c != y.c || x.d != y.d || x.f != y.f
            || std::memcmp(x.r, y.r, sizeof x.r) != 0)
            return where
                + QString("registers a %1 / %2, b %3 / %4, c %5 / %6, d %7 / %8, f %9 / %10")
                      .arg(x.a)
                      .arg(y.a)
                      .arg(x.b)
                      .arg(y.b)
                      .arg(x.c)
                      .arg(y.c)
                      .arg(x.d)
                      .arg(y.d)
                      .arg(x.f)
                      .arg(y.f);
        for (std::size_t i = 0; i < 8; ++i)
            if (machines[0].h(i) != machines[1].h(i))
                return where + QString("H[%1]").arg(i);
        for (std::size_t i = 0; i < 16; ++i)
            if (machines[0].m(i) != machines[1].m(i))
                return where + QString("M[%1]").arg(i);
        if (sinks[0].bytes != sinks[1].bytes)
            return where + "output";
    }
    translated = machines[1].translated();
    return {};
}

} // namespace

class TestZpaqCodec : public QObject
{
    Q_OBJECT
private slots:
    void tables();
    void referenceVectors_data();
    void referenceVectors();
    void blocksAndCapacity();
    void zpaqlInstructions();
    void zpaqlStepBudget();
    void translatedMatchesInterpreter_data();
    void translatedMatchesInterpreter();
    void translatedRandomPrograms();
    void streamingArchives_data();
    void streamingArchives();
    void journalingArchives_data();
    void journalingArchives();
    void damagedStreamsFail();
    void hostileClaimsFail_data();
    void hostileClaimsFail();
    void farBeyondCapacityIsCut();
    void costlyPostProcessor();
    void encoder_data();
    void encoder();
    void packedBuffer();
};

void TestZpaqCodec::tables()
{
    const TZpaqTables& t = TZpaqTables::instance();
    TSha1 sha1;
    for (std::int16_t v : t.squashTable) {
        const std::uint8_t le[2] = { std::uint8_t(v), std::uint8_t(std::uint16_t(v) >> 8) };
        sha1.update(le, 2);
    }
    QCOMPARE(hexOf(sha1.finish()), std::string("1e28460c1e55fd04b396a4a72316292b68ee6b30"));
    for (std::int16_t v : t.stretchTable) {
        const std::uint8_t le[2] = { std::uint8_t(v), std::uint8_t(std::uint16_t(v) >> 8) };
        sha1.update(le, 2);
    }
    QCOMPARE(hexOf(sha1.finish()), std::string("a10fa5553be27ad80e0e08f299d39bb7f82457ac"));
    for (const auto& row : t.next)
        sha1.update(row, 2);
    QCOMPARE(hexOf(sha1.finish()), std::string("1cb029c90e42175fb87e87a3eb7493c69a069316"));
    QCOMPARE(t.squash(-100), 5678);
    QCOMPARE(t.squash(1), 16511);
    QCOMPARE(int(t.stretchTable[1000]), -221);
    QCOMPARE(t.dt[0], 87380u);
    QCOMPARE(t.dt[1020], 128u);

    sha1.update("abc", 3);
    QCOMPARE(hexOf(sha1.finish()), std::string("a9993e364706816aba3e25717850c26c9cd0d89d"));
    const std::string million(1000000, 'a');
    sha1.update(million.data(), 3);
    sha1.update(million.data() + 3, million.size() - 3);
    QCOMPARE(hexOf(sha1.finish()), std::string("34aa973cd4c4daa4f61eeb2bdbad27316534016f"));
}

void TestZpaqCodec::referenceVectors_data()
{
    QTest::addColumn<QByteArray>("stream");
    QTest::newRow("stored") << QByteArray::fromStdString(storedHi);
    QTest::newRow("const model") << QByteArray::fromStdString(constHi);
    QTest::newRow("cm model, tag, sha1") << QByteArray::fromStdString(cmHi);
}

void TestZpaqCodec::referenceVectors()
{
    QFETCH(QByteArray, stream);
    std::string out;
    QVERIFY(decode(stream.toStdString(), out, 4));
    QCOMPARE(out, std::string("Hi\0\0", 4));
}

void TestZpaqCodec::blocksAndCapacity()
{
    std::string out;
    // Blocks follow each other; a tagged block is found behind junk, a bare one only right after a block.
    QVERIFY(decode(storedHi + constHi + "junk" + cmHi, out, 8));
    QCOMPARE(out, std::string("HiHiHi\0\0", 8));
    QVERIFY(decode("junk" + storedHi, out, 4));
    QCOMPARE(out, std::string(4, '\0'));
    // Without any block nothing is written and the result is success.
    QVERIFY(decode("not a zpaq stream at all", out, 4));
    QCOMPARE(out, std::string(4, '\0'));
    QVERIFY(zpaqDecompress("", 0, out.data(), out.size()));
    // Bytes beyond the capacity are dropped, still a success.
    QVERIFY(decode(storedHi + cmHi, out, 3));
    QCOMPARE(out, std::string("HiH"));
    QVERIFY(decode(cmHi, out, 0));
}

void TestZpaqCodec::zpaqlInstructions()
{
    // A post-processor that outputs nothing for data bytes and, at the end of the segment, the results
    // of edge cases: division and remainder by 0, shift counts mod 32, the byte swap of *b<>a, HASH,
    // the R registers, a long jump over undefined opcodes and an unsigned comparison.
    const std::string program = bytes({
        1, 223, 0, 39, 1, 56, // a++ a==0 jt +1 halt: only the end call (a = 2^32 - 1) goes on
        71, 100, 79, 0, 153, 57, // a=100 b=0 a/=b out
        71, 7, 207, 33, 57, // a=7 a<<=33 out
        71, 200, 167, 0, 57, // a=200 a%=0 out
        71, 65, 79, 3, 96, // a=65 b=3 *b=a
        71, 0x12, 207, 8, 135, 0x34, 32, 57, // a=0x1234 *b<>a out
        68, 57, // a=*b out
        71, 1, 59, 57, 215, 8, 57, // a=1 hash out a>>=8 out
        55, 5, 4, 7, 5, 57, // r=a 5 a=0 a=r 5 out
        255, 55, 0, 5, 5, // lj 55, two undefined opcodes never run
        71, 0, 2, 239, 1, 47, 3, 71, 89, 57, 56, // a=0 a-- a>1 jf +3 a='Y' out halt
    });
    const std::string block = storedBlock(bytes({ 0, 0, 0, 2 }), bytes({ 1, int(program.size()), 0 }) + program + "xy");
    std::string out;
    QVERIFY(decode(block, out, 9));
    QCOMPARE(out, bytes({ 0, 14, 0, 0x41, 0x34, 0x09, 0xAA, 0xAA, 'Y' }));
}

void TestZpaqCodec::zpaqlStepBudget()
{
    TZpaqlMachine machine;
    const std::string straight = std::string(5000, '\x01') + '\x38'; // a++ 5000 times, halt
    machine.load(reinterpret_cast<const std::uint8_t*>(straight.data()), straight.size(), 0, 0, nullptr);
    std::int64_t budget = 6000;
    QCOMPARE(machine.run(0, budget), TZpaqlMachine::TStatus::Halted);
    QVERIFY(budget >= 6000 - 5001 && budget < 6000);
    // Straight code is charged too, not only loops.
    QCOMPARE(machine.run(0, budget), TZpaqlMachine::TStatus::OutOfSteps);

    const std::string loop = bytes({ 1, 63, 253 }); // a++ jmp -3
    machine.load(reinterpret_cast<const std::uint8_t*>(loop.data()), loop.size(), 0, 0, nullptr);
    budget = 100000;
    QCOMPARE(machine.run(0, budget), TZpaqlMachine::TStatus::OutOfSteps);
}

void TestZpaqCodec::translatedMatchesInterpreter_data()
{
    QTest::addColumn<QByteArray>("program");
    QTest::addColumn<int>("budget");
    QTest::addColumn<int>("outputLimit");
    // Every defined instruction that is not a jump, in both orders, over several calls whose state
    // carries over: values wrap, divisors are 0 or not, B, C and D run past the sizes of M and H.
    std::string forward, backward;
    for (int op = 1; op < 240; ++op) {
        if (op == 39 || op == 47 || op == 56 || op == 63 || (op < 64 && ((op & 7) == 5 || (op & 7) == 6)) || op == 58
            || op == 61 || op == 62 || (op >= 120 && op < 128))
            continue;
        std::string instruction(1, char(op));
        if ((op & 7) == 7)
            instruction.push_back(char((op * 37 + 11) & 255));
        forward += instruction;
        backward = instruction + backward;
    }
    auto row = [](const char* name, const std::string& program, int budget = 1 << 20, int outputLimit = INT_MAX) {
        QTest::newRow(name) << QByteArray::fromStdString(program) << budget << outputLimit;
    };
    row("every instruction", forward + '\x38');
    row("every instruction, reversed", backward + '\x38');
    // b=9 whose operand is b++; the loop jumps back into that operand: two decodings meet.
    row("jump into an operand", bytes({ 79, 9, 65, 223, 40, 47, 250, 57, 56 }));
    row("countdown with long jump", bytes({ 71, 10, 57, 2, 223, 0, 39, 3, 255, 2, 0, 56 }));
    // 102400 bytes out: a full buffer is handed on from within the run.
    const std::string twoHundredRuns
        = bytes({ 4, 12, 57, 57, 1, 175, 255, 223, 0, 47, 247, 9, 65, 231, 200, 4, 39, 240, 56 });
    row("output through a flush", twoHundredRuns);
    row("sink refuses output", twoHundredRuns, 1 << 20, 50000);
    row("runaway loop", bytes({ 1, 63, 253 }), 100000);
    row("straight code", std::string(3000, '\x09') + '\x38', 7000);
    row("undefined opcode", bytes({ 1, 5 }));
    row("jump outside", bytes({ 1, 63, 16 }));
    row("runs off its end", bytes({ 1, 1 }));
    row("empty", "");
}

void TestZpaqCodec::translatedMatchesInterpreter()
{
    QFETCH(QByteArray, program);
    QFETCH(int, budget);
    QFETCH(int, outputLimit);
    bool translated = false;
    const QString difference = compareRuns(
        program.toStdString(), { 0, 1, 0xFFFFFFFFu, 0x12345678u, 200 }, budget, std::size_t(outputLimit), translated);
    QVERIFY2(difference.isEmpty(), qPrintable(difference));
#if defined(__x86_64__) && defined(__linux__)
    QVERIFY(translated);
#endif
}

void TestZpaqCodec::translatedRandomPrograms()
{
    // Random programs of defined instructions with short jumps, some into operands or out of the
    // program, many looping until the budget ends.
    auto defined = [](int op) {
        if (op == 0 || (op >= 120 && op < 128) || (op >= 240 && op < 255))
            return false;
        return op < 56 ? (op & 7) != 5 && (op & 7) != 6 : op >= 64 || (op != 58 && op != 61 && op != 62);
    };
    std::vector<int> opcodes;
    for (int op = 1; op < 256; ++op)
        if (defined(op))
            opcodes.push_back(op);
    std::mt19937 random(5);
    for (int n = 0; n < 400; ++n) {
        std::string program;
        const int length = 5 + int(random() % 40);
        while (int(program.size()) < length) {
            const int op = opcodes[random() % opcodes.size()];
            program.push_back(char(op));
            if (op == 39 || op == 47 || op == 63)
                program.push_back(char(int(random() % 24) - 16));
            else if (op == 255)
                program += bytes({ int(random() % (length + 4)), 0 });
            else if ((op & 7) == 7)
                program.push_back(char(random()));
        }
        program.push_back('\x38');
        bool translated = false;
        const QString difference
            = compareRuns(program, { 0, 7, 0xFFFFFFFFu, std::uint32_t(random()) }, 20000, SIZE_MAX, translated);
        QVERIFY2(difference.isEmpty(),
            qPrintable(QString("program %1 (%2): ").arg(n).arg(QByteArray::fromStdString(program).toHex().constData())
                + difference));
    }
}

void TestZpaqCodec::streamingArchives_data()
{
    QTest::addColumn<QString>("method");
    QTest::addColumn<QString>("kind");
    QTest::newRow("lz77 post-processor, stored") << "s4,1,4,0,3,24"
                                                 << "text";
    QTest::newRow("lz77 post-processor, cm") << "s4,2,4,0,3,24c0,0,511"
                                             << "binary";
    QTest::newRow("bwt post-processor, icm isse") << "s4,3ci1"
                                                  << "text";
    QTest::newRow("e8e9 post-processor") << "s4,4"
                                         << "binary";
    QTest::newRow("icm isse chain, match, mix") << "s4,0c0i1,2,3am"
                                                << "text";
    QTest::newRow("cm, isse, match, mix, sse, mix2") << "s4,0c0.0.255i1,2,3,4,6amst"
                                                     << "binary";
    QTest::newRow("cm and icm, sse") << "s4,0c4c0i2ams"
                                     << "text";
    QTest::newRow("word model") << "s4,0w2c0i1m"
                                << "text";
    QTest::newRow("incompressible") << "s4,0c0i1,2am"
                                    << "random";
}

void TestZpaqCodec::streamingArchives()
{
    QFETCH(QString, method);
    QFETCH(QString, kind);
    if (!QFile::exists(zpaqProgram))
        QSKIP("zpaq is not installed");
    QTemporaryDir dir;
    const std::string data = sampleData(kind, 150000);
    QVERIFY(writeFile(dir.filePath("input"), data));
    QVERIFY(runZpaq(dir.path(), { "a", "x.zpaq", "input", "-method", method }));
    const std::string archive = readFile(dir.filePath("x.zpaq"));
    std::string out;
    QVERIFY(decode(archive, out, data.size()));
    QVERIFY(out == data);
    // Data far longer than the capacity are cut there, whatever the post-processor.
    QVERIFY(decode(archive, out, 10000));
    QVERIFY(out == data.substr(0, 10000));
}

void TestZpaqCodec::journalingArchives_data()
{
    QTest::addColumn<QString>("method");
    for (const char* m : { "1", "2", "3", "4", "5" })
        QTest::newRow(m) << QString(m);
}

void TestZpaqCodec::journalingArchives()
{
    QFETCH(QString, method);
    if (!QFile::exists(zpaqProgram))
        QSKIP("zpaq is not installed");
    QTemporaryDir dir;
    const std::string data = sampleData("text", 100000);
    QVERIFY(writeFile(dir.filePath("input"), data));
    QVERIFY(runZpaq(dir.path(), { "a", "x.zpaq", "input", "-method", method }));
    std::string out;
    QVERIFY(decode(readFile(dir.filePath("x.zpaq")), out, 4 * data.size()));
    QVERIFY(out.find(data) != std::string::npos);
}

void TestZpaqCodec::damagedStreamsFail()
{
    std::string stream;
    QVERIFY(zpaqCompress("Hi there, Hi there, Hi there!", 29, stream));
    const std::string original = "Hi there, Hi there, Hi there!";
    std::string out;
    // Every truncation after the block's level and type bytes fails.
    for (std::size_t length = 18; length < stream.size(); ++length)
        QVERIFY2(!decode(stream.substr(0, length), out, 64), qPrintable(QString::number(length)));
    // Every single bit flip either fails or, where the bit does not matter, still gives the data. Damage
    // that makes the data overrun the room is cut unchecked; given more room, it is caught.
    int failures = 0;
    for (std::size_t at = 18; at < stream.size(); ++at)
        for (int bit = 0; bit < 8; ++bit) {
            std::string damaged = stream;
            damaged[at] = char(damaged[at] ^ (1 << bit));
            const QByteArray where = QString("byte %1 bit %2").arg(at).arg(bit).toLatin1();
            if (!decode(damaged, out, 64))
                ++failures;
            else if (out != original + std::string(64 - original.size(), '\0'))
                QVERIFY2(!decode(damaged, out, 1 << 20), where.constData());
        }
    QVERIFY(failures > int(stream.size() - 18) * 7);
    // A segment whose stored SHA-1 does not match its output fails.
    std::string wrongSum = cmHi;
    wrongSum[wrongSum.size() - 2] ^= 1;
    QVERIFY(!decode(wrongSum, out, 2));
}

void TestZpaqCodec::hostileClaimsFail_data()
{
    QTest::addColumn<QByteArray>("stream");
    const std::string noSizes(4, '\0');
    const std::string halt = bytes({ 0x38 });
    auto row = [](const char* name, const std::string& s) { QTest::newRow(name) << QByteArray::fromStdString(s); };
    const std::string constant = bytes({ 1, 0x80 });
    const std::string anyData = bytes({ 0xFF, 0xFF, 0xFF, 0xFF });
    row("cm of 2^31 words", modelBlock(noSizes, bytes({ 2, 31, 0 }), 1, halt, anyData));
    row("icm of 2^30 buckets", modelBlock(noSizes, bytes({ 3, 28 }), 1, halt, anyData));
    row("match buffer 2^40", modelBlock(noSizes, bytes({ 4, 4, 40 }), 1, halt, anyData));
    row("mix of 2^29 rows", modelBlock(noSizes, constant + bytes({ 7, 29, 0, 1, 24, 255 }), 2, halt, anyData));
    row("hcomp h of 2^32 words", modelBlock(bytes({ 32, 0, 0, 0 }), constant, 1, halt, anyData));
    row("pcomp m of 2^31 bytes", storedBlock(bytes({ 0, 0, 0, 31 }), bytes({ 0, 'H', 'i' })));
    row("size above 32", storedBlock(bytes({ 0, 0, 33, 0 }), bytes({ 0, 'H', 'i' })));
    row("hcomp endless loop", modelBlock(noSizes, constant, 1, bytes({ 63, 254 }), anyData));
    row("pcomp endless loop", storedBlock(noSizes, bytes({ 1, 2, 0, 63, 254 }) + "data"));
    row("hcomp runs off its end", modelBlock(noSizes, constant, 1, bytes({ 1 }), anyData));
    row("hcomp undefined opcode", modelBlock(noSizes, constant, 1, bytes({ 5 }), anyData));
    row("hcomp jumps outside", modelBlock(noSizes, constant, 1, bytes({ 63, 16 }), anyData));
    row("unknown post-processor type", storedBlock(noSizes, bytes({ 2, 'H', 'i' })));
    row("empty pcomp", storedBlock(noSizes, bytes({ 1, 0, 0, 'H', 'i' })));
    std::string levelOneStored = storedBlock(noSizes, bytes({ 0, 'H', 'i' }));
    levelOneStored[3] = 1;
    row("level 1 without model", levelOneStored);
    row("invalid component type", modelBlock(noSizes, bytes({ 10, 0 }), 1, halt, anyData));
    row("isse refers to itself", modelBlock(noSizes, bytes({ 8, 4, 0 }), 1, halt, anyData));
    row("mix inputs beyond it", modelBlock(noSizes, constant + bytes({ 7, 0, 0, 2, 16, 255 }), 2, halt, anyData));
    row("empty hcomp with model", modelBlock(noSizes, constant, 1, "", anyData));
}

void TestZpaqCodec::hostileClaimsFail()
{
    QFETCH(QByteArray, stream);
    QElapsedTimer timer;
    timer.start();
    std::string out;
    QVERIFY(!decode(stream.toStdString(), out, 16));
    // Only a guard against unbounded work: refusals take milliseconds, a loaded machine may be slow.
    QVERIFY(timer.elapsed() < 60000);
}

void TestZpaqCodec::farBeyondCapacityIsCut()
{
    // Decoding ends as soon as the output is full: the data beyond it are never read, so a stream cut
    // short after the part the output needs still succeeds, whereas a whole decode of it fails.
    std::string packed;
    const std::string zeros(4000000, '\0');
    QVERIFY(zpaqCompress(zeros.data(), zeros.size(), packed));
    QVERIFY(packed.size() < 2000);
    std::string out;
    QVERIFY(decode(packed, out, 3300000));
    const std::string cutShort = packed.substr(0, packed.size() / 2);
    QVERIFY(!decode(cutShort, out, 4000000));
    out.assign(1001, 'x');
    QVERIFY(zpaqDecompress(cutShort.data(), cutShort.size(), out.data(), 1000));
    QCOMPARE(out, std::string(1000, '\0') + 'x');
    // A post-processor that outputs without end stops there too, long before its step budget.
    const std::string endless = storedBlock(bytes({ 0, 0, 0, 0 }), bytes({ 1, 3, 0, 57, 63, 253 }) + "data");
    QVERIFY(decode(endless, out, 16));
    QCOMPARE(out, std::string(16, 'd'));
    // A stream that fits exactly is still checked against its SHA-1.
    packed[packed.size() - 5] ^= 1;
    QVERIFY(decode(packed, out, 4000000) == false);
}

void TestZpaqCodec::costlyPostProcessor()
{
    // A valid stored block whose post-processor spends about 3,500 instructions on each byte it
    // outputs (a countdown from 872); the reference tool extracts it.
    const std::string program = bytes({
        1, 223, 0, 47, 1, 56, // a++ a==0 jf +1 halt: the end call (a = 2^32 - 1) halts
        2, 55, 0, // a-- r=a 0
        71, 218, 207, 2, 72, // a=218 a<<=2 b=a
        10, 65, 223, 0, 47, 250, // b-- a=b a==0 jf -6
        7, 0, 57, 56, // a=r 0 out halt
    });
    const std::string data = sampleData("text", 20000);
    const std::string block
        = storedBlock(bytes({ 0, 0, 0, 0 }), bytes({ 1, int(program.size()), 0 }) + program + data, "costly.txt");
    std::string out;
    QVERIFY(decode(block, out, data.size()));
    QVERIFY(out == data);
    if (!QFile::exists(zpaqProgram))
        QSKIP("zpaq is not installed");
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("costly.zpaq"), block));
    QVERIFY(runZpaq(dir.path(), { "x", "costly.zpaq", "-to", "out" }));
    QVERIFY(readFile(dir.filePath("out/costly.txt")) == data);
}

void TestZpaqCodec::encoder_data()
{
    QTest::addColumn<QString>("kind");
    QTest::addColumn<int>("size");
    QTest::newRow("text") << "text" << 200000;
    QTest::newRow("binary") << "binary" << 120000;
    QTest::newRow("incompressible") << "random" << 50000;
    QTest::newRow("one byte") << "random" << 1;
}

void TestZpaqCodec::encoder()
{
    QFETCH(QString, kind);
    QFETCH(int, size);
    const std::string data = sampleData(kind, std::size_t(size));
    std::string packed;
    QVERIFY(zpaqCompress(data.data(), data.size(), packed));
    if (kind != "random")
        QVERIFY2(packed.size() < data.size() / 3, qPrintable(QString::number(packed.size())));
    std::string out;
    QVERIFY(decode(packed, out, data.size()));
    QVERIFY(out == data);

    if (!QFile::exists(zpaqProgram))
        QSKIP("zpaq is not installed");
    QTemporaryDir dir;
    QVERIFY(writeFile(dir.filePath("packed.zpaq"), packed));
    QVERIFY(runZpaq(dir.path(), { "x", "packed.zpaq", "-threads", "1" }));
    QVERIFY(readFile(dir.filePath("packed")) == data);
}

void TestZpaqCodec::packedBuffer()
{
    // Packed-buffer header: marker, codec id 6, unpacked length 4, payload length.
    const std::string input = std::string("\x70\x06\x04", 3) + char(cmHi.size()) + cmHi;
    if (!hasPackedHeader(input.data(), input.size()))
        QSKIP("the packed-buffer front is not built yet");
    std::string output;
    QVERIFY(unpackString(input, output));
    QCOMPARE(output, std::string("Hi\0\0", 4));
    std::string damaged = input;
    damaged[damaged.size() - 2] ^= 1;
    QVERIFY(!unpackString(damaged, output));
    QCOMPARE(output, damaged);
}

QTEST_MAIN(TestZpaqCodec)
#include "tst_zpaqcodec.moc"
