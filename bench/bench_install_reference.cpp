// Helper of bench/install, which runs the built launcher against nginx:
//   generate --output DIR --size BYTES [--seed N]   game-like files (one big file, a few medium ones and
//                                                  many small ones; half of the data compresses well)
//   modify --input DIR --output DIR [--fraction F]  the next version: a 4 KiB insertion at 1 MiB of the
//                                                  biggest file, an overwritten stretch in a medium one and
//                                                  rewritten small files, F of the bytes in all
//   unpack --content DIR --output DIR [--threads N] [--fsync]
//                                                  the install without a launcher: every chunk body read
//                                                  from the page cache, raw inflate, SHA-256, pwrite, on N
//                                                  threads, with --fsync also each file flushed to the disk
//                                                  once written (the durability an installation needs
//                                                  before its markers); prints the seconds taken and
//                                                  the CPU seconds (user and system) spent in them
// Unchanged files of a modified version are hard links, so a version costs little disk.

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <openssl/evp.h>
#include <zlib.h>

#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

double cpuSeconds()
{
    rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

constexpr std::int64_t KiB = 1024;
constexpr std::int64_t MiB = 1024 * KiB;

[[noreturn]] void fail(const QString& text)
{
    std::fprintf(stderr, "bench_install_reference: %s\n", qPrintable(text));
    std::exit(1);
}

class TRandom
{
public:
    explicit TRandom(std::uint64_t seed)
        : x(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull)
    { }
    std::uint64_t next()
    {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    }
    double unit() { return double(next() >> 11) / double(1ull << 53); }

private:
    std::uint64_t x;
};

// Half of the blocks are noise (compressed textures, audio), half are text-like tables that deflate to
// about a third.
void fillGameLike(char* data, std::int64_t size, TRandom& random)
{
    static const char* const words[] = { "vertex", "normal", "texture", "0.0000", "1.0000", "-0.5000", "mesh", "bone",
        "weight", "index", "material", "shader", "level", "entity", "spawn", "quest", "dialog", "npc" };
    constexpr std::int64_t block = 64 * KiB;
    for (std::int64_t offset = 0; offset < size; offset += block) {
        const std::int64_t length = std::min(block, size - offset);
        char* out = data + offset;
        if (random.next() & 1) {
            for (std::int64_t i = 0; i < length; i += 8) {
                const std::uint64_t value = random.next();
                std::memcpy(out + i, &value, std::size_t(std::min<std::int64_t>(8, length - i)));
            }
            continue;
        }
        std::int64_t i = 0;
        while (i < length) {
            const std::uint64_t value = random.next();
            const char* word = words[value % (sizeof(words) / sizeof(words[0]))];
            char text[48];
            const int n = std::snprintf(
                text, sizeof text, "%s %u%c", word, unsigned((value >> 20) % 997), (value >> 40) % 8 == 0 ? '\n' : ' ');
            const std::int64_t take = std::min<std::int64_t>(n, length - i);
            std::memcpy(out + i, text, std::size_t(take));
            i += take;
        }
    }
}

void writeFile(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(data) != data.size())
        fail(QStringLiteral("cannot write %1").arg(path));
}

QByteArray gameLike(std::int64_t size, TRandom& random)
{
    QByteArray data(qsizetype(size), Qt::Uninitialized);
    fillGameLike(data.data(), size, random);
    return data;
}

// The client: exits at once, so the launcher ends after starting it.
void writeClient(const QString& folder)
{
    writeFile(folder + QStringLiteral("/bin/korvane-client"), "#!/bin/sh\nexit 0\n");
    QFile::setPermissions(folder + QStringLiteral("/bin/korvane-client"),
        QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup | QFile::ExeGroup);
}

int generate(const QString& output, std::int64_t size, std::uint64_t seed)
{
    TRandom random(seed);
    writeClient(output);
    // The proportions of the game's own data: one archive of 39 %, eight of 2.5 % each, the rest in
    // files of 512 bytes to 1 MiB (about 2,400 files per GiB).
    const std::int64_t big = size * 39 / 100;
    writeFile(output + QStringLiteral("/data/world.pak"), gameLike(big, random));
    std::int64_t left = size - big;
    for (int i = 0; i < 8; ++i) {
        const std::int64_t medium = size / 40;
        writeFile(output + QStringLiteral("/data/level%1.pak").arg(i), gameLike(medium, random));
        left -= medium;
    }
    int count = 0;
    while (left > 0) {
        const double logSize = std::log(512.0) + random.unit() * (std::log(double(MiB)) - std::log(512.0));
        const std::int64_t fileSize = std::min<std::int64_t>(left, std::int64_t(std::exp(logSize)));
        writeFile(
            output + QStringLiteral("/assets/%1/%2.asset").arg(count / 200).arg(count), gameLike(fileSize, random));
        left -= fileSize;
        ++count;
    }
    std::printf("generated %lld bytes in %d files\n", static_cast<long long>(size), count + 10);
    return 0;
}

int modify(const QString& input, const QString& output, double fraction, std::uint64_t seed)
{
    TRandom random(seed ^ 0x5EED);
    std::vector<QString> files;
    std::int64_t total = 0;
    QDirIterator it(input, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        files.push_back(QDir(input).relativeFilePath(it.next()));
        total += it.fileInfo().size();
    }
    std::sort(files.begin(), files.end());
    std::int64_t budget = std::int64_t(double(total) * fraction);
    std::vector<QString> changed;

    const auto readAll = [&](const QString& name) {
        QFile file(input + QLatin1Char('/') + name);
        if (!file.open(QIODevice::ReadOnly))
            fail(QStringLiteral("cannot read %1").arg(name));
        return file.readAll();
    };
    // 4 KiB inserted at 1 MiB of the biggest file moves almost all of its data.
    {
        QByteArray data = readAll(QStringLiteral("data/world.pak"));
        data.insert(qsizetype(std::min<std::int64_t>(MiB, data.size())), gameLike(4 * KiB, random));
        writeFile(output + QStringLiteral("/data/world.pak"), data);
        changed.push_back(QStringLiteral("data/world.pak"));
        budget -= 4 * KiB;
    }
    // 1 MiB overwritten in the middle of a medium file.
    {
        QByteArray data = readAll(QStringLiteral("data/level3.pak"));
        const std::int64_t length = std::min<std::int64_t>(MiB, data.size() / 4);
        const QByteArray patch = gameLike(length, random);
        std::memcpy(data.data() + data.size() / 2, patch.constData(), std::size_t(length));
        writeFile(output + QStringLiteral("/data/level3.pak"), data);
        changed.push_back(QStringLiteral("data/level3.pak"));
        budget -= length;
    }
    // Small files rewritten, spread over the tree, until the budget is used.
    for (std::size_t i = 7; i < files.size() && budget > 0; i += 13) {
        const QString& name = files[i];
        if (!name.startsWith(QLatin1String("assets/")))
            continue;
        const std::int64_t size = QFileInfo(input + QLatin1Char('/') + name).size();
        writeFile(output + QLatin1Char('/') + name, gameLike(size, random));
        changed.push_back(name);
        budget -= size;
    }
    for (const QString& name : files) {
        if (std::find(changed.begin(), changed.end(), name) != changed.end())
            continue;
        const QString target = output + QLatin1Char('/') + name;
        QDir().mkpath(QFileInfo(target).path());
        if (::link(
                QFile::encodeName(input + QLatin1Char('/') + name).constData(), QFile::encodeName(target).constData())
            != 0)
            fail(QStringLiteral("cannot link %1").arg(target));
    }
    std::printf("changed %zu of %zu files, %lld of %lld bytes\n", changed.size(), files.size(),
        static_cast<long long>(std::int64_t(double(total) * fraction) - budget), static_cast<long long>(total));
    return 0;
}

struct TPlace
{
    int fd;
    std::int64_t offset;
};

struct TChunkWork
{
    std::string bodyPath;
    std::int64_t unpackedSize = 0;
    QByteArray unpackedHash;
    bool packed = false;
    std::vector<TPlace> places;
};

std::uint64_t readLeb128(const unsigned char*& p, const unsigned char* end)
{
    std::uint64_t value = 0;
    for (int shift = 0; p < end && shift < 64; shift += 7) {
        const unsigned char byte = *p++;
        value |= std::uint64_t(byte & 0x7F) << shift;
        if (!(byte & 0x80))
            return value;
    }
    fail(QStringLiteral("bad packed header"));
}

// One chunk: body from the page cache, raw inflate, SHA-256, one pwrite per place.
void unpackChunk(const TChunkWork& chunk, std::vector<unsigned char>& body, std::vector<unsigned char>& plain,
    z_stream& stream, EVP_MD_CTX* sha)
{
    const int in = ::open(chunk.bodyPath.c_str(), O_RDONLY | O_CLOEXEC);
    if (in < 0)
        fail(QStringLiteral("cannot open %1").arg(QString::fromStdString(chunk.bodyPath)));
    std::size_t size = 0;
    for (;;) {
        if (body.size() - size < 256 * KiB)
            body.resize(body.size() * 2 + 256 * KiB);
        const ssize_t got = ::read(in, body.data() + size, body.size() - size);
        if (got < 0)
            fail(QStringLiteral("read failed"));
        if (got == 0)
            break;
        size += std::size_t(got);
    }
    ::close(in);

    const unsigned char* data = body.data();
    std::size_t length = size;
    if (chunk.packed) {
        const unsigned char* p = body.data() + 2;
        const unsigned char* end = body.data() + size;
        if (size < 2 || body[0] != 0x70)
            fail(QStringLiteral("not a packed buffer"));
        const std::uint64_t unpackedLength = readLeb128(p, end);
        const std::uint64_t payloadLength = readLeb128(p, end);
        if (plain.size() < unpackedLength)
            plain.resize(unpackedLength);
        if (body[1] == 0) {
            std::memcpy(plain.data(), p, unpackedLength);
        } else if (body[1] == 3) {
            inflateReset(&stream);
            stream.next_in = const_cast<unsigned char*>(p);
            stream.avail_in = uInt(payloadLength);
            stream.next_out = plain.data();
            stream.avail_out = uInt(unpackedLength);
            if (inflate(&stream, Z_FINISH) != Z_STREAM_END || stream.total_out != unpackedLength)
                fail(QStringLiteral("inflate failed"));
        } else {
            fail(QStringLiteral("the reference knows only raw and deflate bodies"));
        }
        data = plain.data();
        length = unpackedLength;
    }
    unsigned char digest[32];
    unsigned int digestLength = 0;
    EVP_DigestInit_ex(sha, EVP_sha256(), nullptr);
    EVP_DigestUpdate(sha, data, length);
    EVP_DigestFinal_ex(sha, digest, &digestLength);
    if (QByteArray(reinterpret_cast<const char*>(digest), 32) != chunk.unpackedHash)
        fail(QStringLiteral("hash mismatch in %1").arg(QString::fromStdString(chunk.bodyPath)));
    for (const TPlace& place : chunk.places) {
        if (::pwrite(place.fd, data, length, place.offset) != ssize_t(length))
            fail(QStringLiteral("pwrite failed"));
    }
}

int unpack(const QString& content, const QString& output, int threads, bool durable)
{
    QFile configurationFile(content + QStringLiteral("/package/package.json"));
    if (!configurationFile.open(QIODevice::ReadOnly))
        fail(QStringLiteral("cannot read %1").arg(configurationFile.fileName()));
    const QJsonObject configuration = QJsonDocument::fromJson(configurationFile.readAll()).object();
    const QJsonArray chunkEntries = configuration.value(QStringLiteral("chunks")).toArray();
    const QJsonArray fileEntries = configuration.value(QStringLiteral("files")).toArray();

    rlimit limit {};
    getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);

    QElapsedTimer timer;
    const double cpuBefore = cpuSeconds();
    timer.start();
    std::vector<TChunkWork> chunks(std::size_t(chunkEntries.size()));
    for (qsizetype i = 0; i < chunkEntries.size(); ++i) {
        const QJsonObject entry = chunkEntries[i].toObject();
        TChunkWork& chunk = chunks[std::size_t(i)];
        chunk.bodyPath
            = (content + QStringLiteral("/package/") + entry.value(QStringLiteral("url")).toString()).toStdString();
        chunk.unpackedSize = std::int64_t(entry.value(QStringLiteral("unpackedsize")).toDouble());
        chunk.unpackedHash = QByteArray::fromHex(entry.value(QStringLiteral("unpackedhash")).toString().toLatin1());
        chunk.packed = entry.value(QStringLiteral("unpack")).toBool();
    }
    std::vector<int> descriptors;
    for (const QJsonValue& value : fileEntries) {
        const QJsonObject entry = value.toObject();
        const QString path = output + QLatin1Char('/') + entry.value(QStringLiteral("localfile")).toString();
        QDir().mkpath(QFileInfo(path).path());
        const int fd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0)
            fail(QStringLiteral("cannot create %1").arg(path));
        descriptors.push_back(fd);
        std::int64_t offset = 0;
        for (const QJsonValue& index : entry.value(QStringLiteral("chunks")).toArray()) {
            TChunkWork& chunk = chunks[std::size_t(index.toInt())];
            chunk.places.push_back({ fd, offset });
            offset += chunk.unpackedSize;
        }
    }

    std::atomic<std::size_t> next { 0 };
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t) {
        workers.emplace_back([&] {
            std::vector<unsigned char> body;
            std::vector<unsigned char> plain;
            z_stream stream {};
            inflateInit2(&stream, -15);
            EVP_MD_CTX* sha = EVP_MD_CTX_new();
            for (std::size_t i = next++; i < chunks.size(); i = next++)
                unpackChunk(chunks[i], body, plain, stream, sha);
            EVP_MD_CTX_free(sha);
            inflateEnd(&stream);
        });
    }
    for (std::thread& worker : workers)
        worker.join();
    if (durable) {
        std::atomic<std::size_t> nextFile { 0 };
        std::vector<std::thread> flushers;
        for (int t = 0; t < threads; ++t)
            flushers.emplace_back([&] {
                for (std::size_t i = nextFile++; i < descriptors.size(); i = nextFile++)
                    if (::fsync(descriptors[i]) != 0)
                        fail(QStringLiteral("fsync failed"));
            });
        for (std::thread& flusher : flushers)
            flusher.join();
    }
    for (int fd : descriptors)
        ::close(fd);
    std::printf("%.3f %.3f\n", double(timer.nsecsElapsed()) / 1e9, cpuSeconds() - cpuBefore);
    return 0;
}

} // namespace

int main(int argc, char* argv[])
{
    QCoreApplication application(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    const auto value = [&](const QString& name, const QString& fallback = {}) {
        const qsizetype at = arguments.indexOf(name);
        return at > 0 && at + 1 < arguments.size() ? arguments[at + 1] : fallback;
    };
    const QString mode = arguments.value(1);
    const std::uint64_t seed = value(QStringLiteral("--seed"), QStringLiteral("1")).toULongLong();
    if (mode == QLatin1String("generate") && !value(QStringLiteral("--output")).isEmpty())
        return generate(value(QStringLiteral("--output")), value(QStringLiteral("--size")).toLongLong(), seed);
    if (mode == QLatin1String("modify") && !value(QStringLiteral("--input")).isEmpty())
        return modify(value(QStringLiteral("--input")), value(QStringLiteral("--output")),
            value(QStringLiteral("--fraction"), QStringLiteral("0.008")).toDouble(), seed);
    if (mode == QLatin1String("unpack") && !value(QStringLiteral("--content")).isEmpty())
        return unpack(value(QStringLiteral("--content")), value(QStringLiteral("--output")),
            value(QStringLiteral("--threads"), QStringLiteral("8")).toInt(), arguments.contains(QStringLiteral("--fsync")));
    std::fprintf(stderr, "usage: see the comment at the top of bench/bench_install_reference.cpp\n");
    return 2;
}
