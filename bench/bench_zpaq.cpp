// Decode speed of our ZPAQ decoder next to Debian's zpaq 7.15 extracting the same archive with one
// thread. Prints both speeds and their ratio (ours / zpaq) per compression method.
#include "packbuf/zpaqcodec.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

const char* const zpaqProgram = "/usr/bin/zpaq";

// About half text, half structured binary records, deterministic.
std::string sampleData(std::size_t size)
{
    static const char* const words[] = { "launcher", "chunk", "the", "of", "package", "download", "verify", "and",
        "Korvane", "Vedudi", "archive", "a", "segment", "block", "texture" };
    std::mt19937 random(11);
    std::string s;
    while (s.size() < size / 2) {
        s += words[random() % 15];
        s += (random() % 9 == 0) ? ".\n" : " ";
    }
    for (std::uint32_t i = 0; s.size() < size; ++i) {
        const std::uint32_t record[3] = { i * 12, std::uint32_t(random() % 5000), std::uint32_t(random()) };
        s.append(reinterpret_cast<const char*>(record), sizeof record - (i % 3));
    }
    s.resize(size);
    return s;
}

double seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

bool runZpaq(const QString& dir, const QStringList& arguments)
{
    QProcess process;
    process.setWorkingDirectory(dir);
    process.start(zpaqProgram, arguments);
    return process.waitForFinished(600000) && process.exitCode() == 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    if (!QFile::exists(zpaqProgram)) {
        std::printf("zpaq is not installed; nothing to compare with\n");
        return 0;
    }
    const std::size_t size = 1 << 20;
    const std::string data = sampleData(size);
    QTemporaryDir dir;
    QFile input(dir.filePath("input"));
    if (!input.open(QIODevice::WriteOnly) || input.write(data.data(), qint64(data.size())) != qint64(data.size()))
        return 1;
    input.close();

    std::printf("%-28s %10s %12s %12s %7s\n", "method", "archive", "zpaq MB/s", "ours MB/s", "ratio");
    // Every journaling method, then streaming ones with the LZ77 and BWT post-processors and pure CM.
    for (const char* method : { "1", "2", "3", "4", "5", "s4,1,4,0,3,24", "s4,2,4,0,3,24c0,0,511", "s4,3ci1",
             "s4,0c0.0.255i1,2,3,4,6amst" }) {
        const QString archive = QString("m%1.zpaq").arg(method).replace(',', '_');
        if (!runZpaq(dir.path(), { "a", archive, "input", "-method", method, "-threads", "1" }))
            return 1;
        QFile file(dir.filePath(archive));
        if (!file.open(QIODevice::ReadOnly))
            return 1;
        const QByteArray packed = file.readAll();

        double zpaqTime = 1e9, ourTime = 1e9;
        std::vector<char> out(2 * size);
        for (int round = 0; round < 3; ++round) {
            QDir(dir.filePath("out")).removeRecursively();
            auto start = std::chrono::steady_clock::now();
            if (!runZpaq(dir.path(), { "x", archive, "-to", "out", "-threads", "1" }))
                return 1;
            zpaqTime = std::min(zpaqTime, seconds(start));
            start = std::chrono::steady_clock::now();
            if (!packbuf::zpaqDecompress(packed.constData(), std::size_t(packed.size()), out.data(), out.size()))
                return 1;
            ourTime = std::min(ourTime, seconds(start));
        }
        const double mb = double(size) / (1 << 20);
        std::printf("%-28s %10lld %12.2f %12.2f %6.2fx\n", method, qlonglong(packed.size()), mb / zpaqTime,
            mb / ourTime, zpaqTime / ourTime);
    }
    return 0;
}
