// Unpack throughput of LZIP, LZMA20 and MINIZ payloads through packbuf::unpackString, side by side with
// the reference decoders on the same data: `lzip -d -c`, `xz -d -c --format=lzma` and a plain zlib
// inflate loop. Usage: bench_unpack [megabytes] (default 128).
#include "packbuf/packbuf"
#include "support/packedbuffers.h"

#include <QByteArray>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <zlib.h>

namespace {

using korvane::test::packedBuffer;
using korvane::test::rawDeflate;

using Clock = std::chrono::steady_clock;
constexpr int repetitions = 3;

// A mixture like game content: text-like records, structured binary tables and incompressible runs.
std::string makeInput(std::size_t size)
{
    static const char* const words[] = { "korvane", "vedudi", "launcher", "package", "chunk", "texture", "shader",
        "mesh", "sound", "level", "the", "of", "and", "data", "file", "index", "value", "map", "unit", "quest" };
    std::mt19937_64 random(20261210);
    std::string data;
    data.reserve(size + 4096);
    while (data.size() < size) {
        const auto kind = random() % 10;
        if (kind < 5) {
            for (int i = 0; i < 200; ++i) {
                data += words[random() % std::size(words)];
                data += (random() % 12 == 0) ? ".\n" : " ";
            }
        } else if (kind < 8) {
            std::uint32_t base = std::uint32_t(random());
            for (int i = 0; i < 256; ++i) {
                const std::uint32_t value = base + std::uint32_t(i) * 16 + std::uint32_t(random() % 4);
                data.append(reinterpret_cast<const char*>(&value), sizeof value);
            }
        } else {
            for (int i = 0; i < 128; ++i) {
                const std::uint64_t value = random();
                data.append(reinterpret_cast<const char*>(&value), sizeof value);
            }
        }
    }
    data.resize(size);
    return data;
}

bool writeFile(const std::string& path, const std::string& bytes)
{
    std::ofstream file(path, std::ios::binary);
    file.write(bytes.data(), std::streamsize(bytes.size()));
    return bool(file);
}

std::string readFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

// The way a streaming tool inflates: a fixed 256 KiB output buffer, refilled until the stream ends.
bool inflateLoop(const std::string& payload, std::size_t expected)
{
    z_stream stream {};
    inflateInit2(&stream, -15);
    std::vector<unsigned char> buffer(262144);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload.data()));
    stream.avail_in = uInt(payload.size());
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = buffer.data();
        stream.avail_out = uInt(buffer.size());
        result = inflate(&stream, Z_NO_FLUSH);
    }
    const bool ok = result == Z_STREAM_END && stream.total_out == expected;
    inflateEnd(&stream);
    return ok;
}

// The way an in-memory unpacker inflates: one call into a freshly allocated buffer of the full size.
bool inflateWhole(const std::string& payload, std::size_t expected)
{
    std::unique_ptr<unsigned char[]> output(new unsigned char[expected]);
    z_stream stream {};
    inflateInit2(&stream, -15);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(payload.data()));
    stream.avail_in = uInt(payload.size());
    stream.next_out = output.get();
    stream.avail_out = uInt(expected);
    const bool ok = inflate(&stream, Z_FINISH) == Z_STREAM_END && stream.total_out == expected;
    inflateEnd(&stream);
    return ok;
}

double bestSeconds(const std::function<bool()>& run)
{
    double best = 1e30;
    for (int i = 0; i < repetitions; ++i) {
        const auto start = Clock::now();
        if (!run())
            return -1;
        best = std::min(best, std::chrono::duration<double>(Clock::now() - start).count());
    }
    return best;
}

bool runCommand(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

int report(const char* codec, std::size_t bytes, double ours, const char* reference, double theirs)
{
    if (ours < 0 || theirs < 0) {
        std::printf(
            "%-7s failed (ours %s, reference %s)\n", codec, ours < 0 ? "failed" : "ok", theirs < 0 ? "failed" : "ok");
        return 1;
    }
    const double oursRate = double(bytes) / ours / 1e6;
    const double theirsRate = double(bytes) / theirs / 1e6;
    std::printf("%-7s unpackString %7.1f MB/s | %-27s %7.1f MB/s | ratio %.2fx\n", codec, oursRate, reference,
        theirsRate, oursRate / theirsRate);
    return 0;
}

} // namespace

int main(int argc, char** argv)
{
    const std::size_t megabytes = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 128;
    QTemporaryDir dir;
    const std::string base = dir.path().toStdString() + "/input";
    const std::string input = makeInput(megabytes << 20);
    if (!writeFile(base, input))
        return 1;

    std::printf("input %zu bytes; compressing with lzip -6 and xz --format=lzma -6 ...\n", input.size());
    std::fflush(stdout);
    if (!runCommand("lzip -6 -k -f '" + base + "' & xz -6 -k -f --format=lzma '" + base + "'; wait")
        || readFile(base + ".lz").empty() || readFile(base + ".lzma").empty()) {
        std::printf("lzip or xz is missing or failed\n");
        return 1;
    }
    const std::string lz = readFile(base + ".lz");
    const std::string lzma = readFile(base + ".lzma");
    const std::string deflated = rawDeflate(input);
    std::printf("compressed: lzip %zu, lzma %zu, deflate %zu bytes\n\n", lz.size(), lzma.size(), deflated.size());

    // Checked once for the right bytes, then timed without the comparison.
    auto oursRun = [&input](const std::string& buffer) -> std::function<bool()> {
        std::string output;
        if (!packbuf::unpackString(buffer, output) || output != input)
            return [] { return false; };
        return [&buffer] {
            std::string output;
            return packbuf::unpackString(buffer, output);
        };
    };
    const std::string lzipPacked = packedBuffer(packbuf::ECodecId::LZIP, input.size(), lz);
    const std::string lzmaPacked = packedBuffer(packbuf::ECodecId::LZMA20, input.size(), lzma);
    const std::string minizPacked = packedBuffer(packbuf::ECodecId::MINIZ, input.size(), deflated);

    int failures = 0;
    failures += report("LZIP", input.size(), bestSeconds(oursRun(lzipPacked)), "lzip -d -c",
        bestSeconds([&] { return runCommand("lzip -d -c '" + base + ".lz' > /dev/null"); }));
    failures += report("LZMA20", input.size(), bestSeconds(oursRun(lzmaPacked)), "xz -d -c --format=lzma",
        bestSeconds([&] { return runCommand("xz -d -c --format=lzma '" + base + ".lzma' > /dev/null"); }));
    const double minizSeconds = bestSeconds(oursRun(minizPacked));
    failures += report("MINIZ", input.size(), minizSeconds, "zlib inflate loop (256 KiB)",
        bestSeconds([&] { return inflateLoop(deflated, input.size()); }));
    failures += report("MINIZ", input.size(), minizSeconds, "zlib inflate, whole buffer",
        bestSeconds([&] { return inflateWhole(deflated, input.size()); }));
    return failures == 0 ? 0 : 1;
}
