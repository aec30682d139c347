#pragma once

// Small helpers shared by the packbuf tests: packed-buffer framing and runs of the real peer programs
// (lzip, xz, python3's zlib) that make and check the fixtures at test time.

#include "packbuf/packbuf"
#include "support/packedbuffers.h"

#include <QByteArray>
#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <random>
#include <string>

namespace packbuftest {

inline std::string packed(
    packbuf::ECodecId id, std::uint64_t unpackedLength, const std::string& payload, int leadingZeros = 0)
{
    return std::string(std::size_t(leadingZeros), '\0') + korvane::test::packedBuffer(id, unpackedLength, payload);
}

inline std::string toStd(const QByteArray& bytes)
{
    return bytes.toStdString();
}

// Text-like and random parts mixed, so that every codec has something to match and something it cannot.
inline std::string sampleData(std::size_t size, unsigned seed = 1)
{
    std::mt19937 random(seed);
    std::string data;
    data.reserve(size);
    static const char* const words[] = { "chunk ", "package ", "korvane ", "vedudi ", "file ", "data\n" };
    while (data.size() < size) {
        if (random() % 4 == 0) {
            for (int i = 0; i < 64; ++i)
                data += char(random());
        } else {
            data += words[random() % 6];
        }
    }
    data.resize(size);
    return data;
}

inline std::string randomData(std::size_t size, unsigned seed)
{
    std::mt19937 random(seed);
    std::string data(size, '\0');
    for (char& c : data)
        c = char(random());
    return data;
}

struct TPeerRun
{
    bool finished = false;
    int exitCode = -1;
    QByteArray output;
    QByteArray errors;
};

inline bool hasProgram(const QString& program)
{
    return !QStandardPaths::findExecutable(program).isEmpty();
}

inline TPeerRun runPeer(const QString& program, const QStringList& arguments, const QByteArray& input = {})
{
    TPeerRun run;
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForStarted(10000))
        return run;
    process.write(input);
    process.closeWriteChannel();
    run.finished = process.waitForFinished(30000) && process.exitStatus() == QProcess::NormalExit;
    run.exitCode = process.exitCode();
    run.output = process.readAllStandardOutput();
    run.errors = process.readAllStandardError();
    return run;
}

// A compressing peer run on data given through standard input; nothing when the program fails.
inline std::optional<std::string> compressWith(
    const QString& program, const QStringList& arguments, const std::string& data)
{
    const TPeerRun run = runPeer(program, arguments, QByteArray::fromStdString(data));
    if (!run.finished || run.exitCode != 0)
        return std::nullopt;
    return run.output.toStdString();
}

inline std::optional<std::string> lzipCompress(const std::string& data, const QString& level)
{
    return compressWith(QStringLiteral("lzip"), { level, QStringLiteral("-c") }, data);
}

inline std::optional<std::string> lzmaAloneCompress(const std::string& data, const QString& level = "-6")
{
    return compressWith(QStringLiteral("xz"), { QStringLiteral("--format=lzma"), level, QStringLiteral("-c") }, data);
}

// Raw deflate (no zlib header or trailer) made by python3's zlib.
inline std::optional<std::string> rawDeflate(const std::string& data, int level = 6)
{
    const QString script = QStringLiteral("import sys, zlib\n"
                                          "c = zlib.compressobj(%1, zlib.DEFLATED, -15)\n"
                                          "sys.stdout.buffer.write(c.compress(sys.stdin.buffer.read()) + c.flush())\n")
                               .arg(level);
    return compressWith(QStringLiteral("python3"), { QStringLiteral("-c"), script }, data);
}

} // namespace packbuftest
