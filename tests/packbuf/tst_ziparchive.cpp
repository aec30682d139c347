#include "packbuf/packbuf"
#include "packbuftestsupport.h"

#include <QTemporaryDir>
#include <QtTest>

using packbuf::TZipEntries;
using packbuf::TZipEntry;
using namespace packbuftest;

namespace {

TZipEntries sampleEntries()
{
    return {
        { { "name", "readme.txt" }, { "data", std::string(3000, 'r') + "end" } },
        { { "name", "folder\\sub\\data.bin" }, { "data", randomData(5000, 3) }, { "/**/", "binary part" } },
        { { "name", "empty" }, { "data", "" } },
        { { "name", "zeros" }, { "data", std::string(4, '\0') + "abc" } },
    };
}

const TZipEntry* findEntry(const TZipEntries& entries, const std::string& name)
{
    for (const TZipEntry& entry : entries)
        if (entry.at("name") == name)
            return &entry;
    return nullptr;
}

// Writes the archive to a file so that the peers can read it.
QString saveArchive(const QTemporaryDir& folder, const std::string& archive)
{
    const QString path = folder.filePath("archive.zip");
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return {};
    file.write(archive.data(), qint64(archive.size()));
    return path;
}

} // namespace

class TestZipArchive : public QObject
{
    Q_OBJECT

private slots:
    void roundTrip_data()
    {
        QTest::addColumn<int>("mode");
        QTest::addColumn<int>("percentage");
        QTest::newRow("stored") << 0 << 0;
        QTest::newRow("deflate level 0") << 1 << 5;
        QTest::newRow("deflate level 1") << 1 << 10;
        QTest::newRow("deflate level 6") << 1 << 50;
        QTest::newRow("deflate level 9") << 1 << 80;
    }

    void roundTrip()
    {
        QFETCH(int, mode);
        QFETCH(int, percentage);
        const std::string archive = packbuf::writeZipArchive(sampleEntries(), mode, percentage);
        QVERIFY(!archive.empty());
        const TZipEntries entries = packbuf::readZipArchive(archive, 1);
        QCOMPARE(entries.size(), std::size_t(4));
        for (const TZipEntry& written : sampleEntries()) {
            std::string name = written.at("name");
            std::replace(name.begin(), name.end(), '\\', '/');
            const TZipEntry* read = findEntry(entries, name);
            QVERIFY2(read, name.c_str());
            // Contents without a packed header are kept whole, leading zeros included.
            QVERIFY(read->at("data") == written.at("data"));
            QCOMPARE(read->at("size"), std::to_string(written.at("data").size()));
            QVERIFY(!read->count("type"));
        }
        const TZipEntry* text = findEntry(entries, "readme.txt");
        const std::size_t stored = std::stoul(text->at("zlen"));
        if (mode == 0 || percentage < 10)
            QVERIFY(stored >= 3003);
        else
            QVERIFY(stored < 100);
    }

    void fixedModeEntryPoints()
    {
        const TZipEntries entries = sampleEntries();
        QCOMPARE(packbuf::writeStoredZipArchive(entries), packbuf::writeZipArchive(entries, 0, 0));
        QCOMPARE(packbuf::writeDeflatedZipArchive(entries, 90), packbuf::writeZipArchive(entries, 1, 90));
        const std::string archive = packbuf::writeStoredZipArchive(entries);
        QCOMPARE(packbuf::readZipArchiveWithTypes(archive).size(), std::size_t(4));
        QCOMPARE(packbuf::readZipArchiveWithoutTypes(archive).size(), std::size_t(4));
    }

    // Packed buffers get their codec name in mode 0; their leading zeros are not stored.
    void packedContents()
    {
        const std::string payload = "unpacked";
        const std::string buffer = packed(packbuf::ECodecId::CRUSH, 8, payload, 3);
        const TZipEntries written = { { { "name", "chunk" }, { "data", buffer } } };
        const std::string archive = packbuf::writeStoredZipArchive(written);
        TZipEntries read = packbuf::readZipArchive(archive, 0);
        QCOMPARE(read.size(), std::size_t(1));
        QCOMPARE(read[0].at("type"), std::string("CRUSH"));
        QCOMPARE(read[0].at("data"), buffer.substr(3));
        read = packbuf::readZipArchive(archive, 1);
        QVERIFY(!read[0].count("type"));
    }

    void incompleteEntriesSkipped()
    {
        const TZipEntries written = {
            { { "name", "kept" }, { "data", "1" } },
            { { "name", "no data" } },
            { { "data", "no name" } },
        };
        const TZipEntries read = packbuf::readZipArchive(packbuf::writeStoredZipArchive(written), 1);
        QCOMPARE(read.size(), std::size_t(1));
        QCOMPARE(read[0].at("name"), std::string("kept"));
    }

    void badModesAndArchives()
    {
        QVERIFY(packbuf::writeZipArchive(sampleEntries(), 2, 0).empty());
        QVERIFY(packbuf::writeZipArchive(sampleEntries(), -1, 0).empty());
        const std::string archive = packbuf::writeStoredZipArchive(sampleEntries());
        QVERIFY(packbuf::readZipArchive(archive, 2).empty());
        QVERIFY(packbuf::readZipArchive({}, 0).empty());
        QVERIFY(packbuf::readZipArchive("not a zip archive at all", 0).empty());
        // Every cut of the archive fails cleanly.
        for (std::size_t cut = 0; cut < archive.size(); cut += 97)
            QVERIFY(packbuf::readZipArchive(archive.substr(0, cut), 1).empty());
        // A changed byte of stored contents fails the CRC check.
        std::string corrupt = archive;
        const std::size_t at = corrupt.find("rrrr");
        QVERIFY(at != std::string::npos);
        corrupt[at] = 's';
        QVERIFY(packbuf::readZipArchive(corrupt, 1).empty());
    }

    void emptyArchive()
    {
        const std::string archive = packbuf::writeStoredZipArchive({});
        QCOMPARE(archive.size(), std::size_t(22)); // just the end-of-directory record
        QVERIFY(packbuf::readZipArchive(archive, 0).empty());
    }

    void readByUnzip()
    {
        if (!hasProgram("unzip"))
            QSKIP("unzip is not installed");
        QTemporaryDir folder;
        const QString path = saveArchive(folder, packbuf::writeDeflatedZipArchive(sampleEntries(), 80));
        const TPeerRun list = runPeer("unzip", { "-l", path });
        QVERIFY(list.finished);
        QCOMPARE(list.exitCode, 0);
        QVERIFY(list.output.contains("folder/sub/data.bin"));
        QVERIFY(list.output.contains("readme.txt"));
        const TPeerRun test = runPeer("unzip", { "-t", path });
        QCOMPARE(test.exitCode, 0);
        const TPeerRun content = runPeer("unzip", { "-p", path, "readme.txt" });
        QVERIFY(content.output.toStdString() == std::string(3000, 'r') + "end");
    }

    void readByPython()
    {
        if (!hasProgram("python3"))
            QSKIP("python3 is not installed");
        QTemporaryDir folder;
        const QString path = saveArchive(folder, packbuf::writeStoredZipArchive(sampleEntries()));
        const QString script = QStringLiteral("import sys, zipfile\n"
                                              "z = zipfile.ZipFile(sys.argv[1])\n"
                                              "assert z.testzip() is None\n"
                                              "i = z.getinfo('folder/sub/data.bin')\n"
                                              "print(i.comment.decode(), i.compress_type, len(z.read(i)))\n"
                                              "print(z.read('zeros') == b'\\0\\0\\0\\0abc')\n");
        const TPeerRun run = runPeer("python3", { "-c", script, path });
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 0);
        QCOMPARE(run.output, QByteArray("binary part 0 5000\nTrue\n"));
    }

    void readsPythonArchive()
    {
        if (!hasProgram("python3"))
            QSKIP("python3 is not installed");
        const QString script = QStringLiteral("import io, sys, zipfile\n"
                                              "b = io.BytesIO()\n"
                                              "with zipfile.ZipFile(b, 'w', zipfile.ZIP_DEFLATED) as z:\n"
                                              "    z.writestr('a/b.txt', 'hello ' * 1000)\n"
                                              "    z.writestr('c', b'\\x70\\x00\\x01\\x01x', zipfile.ZIP_STORED)\n"
                                              "sys.stdout.buffer.write(b.getvalue())\n");
        const TPeerRun run = runPeer("python3", { "-c", script });
        QCOMPARE(run.exitCode, 0);
        const TZipEntries entries = packbuf::readZipArchiveWithTypes(run.output.toStdString());
        QCOMPARE(entries.size(), std::size_t(2));
        QCOMPARE(entries[0].at("name"), std::string("a/b.txt"));
        QVERIFY(entries[0].at("data") == [] {
            std::string text;
            for (int i = 0; i < 1000; ++i)
                text += "hello ";
            return text;
        }());
        QCOMPARE(entries[0].at("size"), std::string("6000"));
        QVERIFY(std::stoul(entries[0].at("zlen")) < 100);
        QCOMPARE(entries[1].at("type"), std::string("RAW"));
    }
};

QTEST_GUILESS_MAIN(TestZipArchive)
#include "tst_ziparchive.moc"
