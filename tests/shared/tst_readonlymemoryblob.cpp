#include "shared/filesystemhelper.h"
#include "shared/readonlymemoryblob.h"

#include "packbuf/packbuf"
#include "support/packedbuffers.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

using shared::TFileSystemHelper;
using shared::TLZMACompressedReadOnlyMemoryBlob;
using shared::TReadOnlyMemoryBlob;

namespace {

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray rawPacked(const QByteArray& payload)
{
    return korvane::test::packedBuffer(packbuf::ECodecId::RAW, quint64(payload.size()), payload);
}

bool isCompressed(const std::shared_ptr<TReadOnlyMemoryBlob>& blob)
{
    return dynamic_cast<TLZMACompressedReadOnlyMemoryBlob*>(blob.get()) != nullptr;
}

} // namespace

class TestReadOnlyMemoryBlob : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void plainBlobReadsAnewEachCall();
    void openChoosesByName();
    void missingFileThrows();
    void unreadableFileThrows();
    void compressedBlobKeepsBytesThatDoNotUnpack_data();
    void compressedBlobKeepsBytesThatDoNotUnpack();
    void compressedBlobUnpacks();

private:
    std::unique_ptr<QTemporaryDir> folder;
    TFileSystemHelper helper;
};

void TestReadOnlyMemoryBlob::init()
{
    folder = std::make_unique<QTemporaryDir>();
    QVERIFY(folder->isValid());
}

void TestReadOnlyMemoryBlob::plainBlobReadsAnewEachCall()
{
    const QString path = folder->filePath(QStringLiteral("data.bin"));
    writeBytes(path, "first");
    TReadOnlyMemoryBlob blob(path);
    QCOMPARE(blob.data(), QByteArray("first"));
    writeBytes(path, "second, longer");
    QCOMPARE(blob.data(), QByteArray("second, longer"));
}

void TestReadOnlyMemoryBlob::openChoosesByName()
{
    const QString plain = folder->filePath(QStringLiteral("plain.bin"));
    writeBytes(plain, "plain");
    auto blob = helper.openReadOnlyMemoryBlob(plain);
    QVERIFY(!isCompressed(blob));
    QCOMPARE(blob->data(), QByteArray("plain"));

    const QString named = folder->filePath(QStringLiteral("named.lzma"));
    writeBytes(named, "named");
    QVERIFY(isCompressed(helper.openReadOnlyMemoryBlob(named)));
    // The suffix is compared case-sensitively.
    const QString upper = folder->filePath(QStringLiteral("upper.LZMA"));
    writeBytes(upper, "upper");
    QVERIFY(!isCompressed(helper.openReadOnlyMemoryBlob(upper)));

    // Only the packed sibling exists: it is opened in place of the name asked for.
    const QString sibling = folder->filePath(QStringLiteral("sibling.bin"));
    writeBytes(sibling + QStringLiteral(".lzma"), "sibling");
    blob = helper.openReadOnlyMemoryBlob(sibling);
    QVERIFY(isCompressed(blob));
    QCOMPARE(blob->data(), QByteArray("sibling"));

    // Both exist: the plain one wins.
    writeBytes(sibling, "plain sibling");
    blob = helper.openReadOnlyMemoryBlob(sibling);
    QVERIFY(!isCompressed(blob));
    QCOMPARE(blob->data(), QByteArray("plain sibling"));
}

void TestReadOnlyMemoryBlob::missingFileThrows()
{
    const QString path = folder->filePath(QStringLiteral("missing.bin"));
    try {
        helper.openReadOnlyMemoryBlob(path);
        QFAIL("no exception");
    } catch (const std::runtime_error& e) {
        QCOMPARE(
            QString::fromStdString(e.what()), QStringLiteral("I/O error on file '%1': File does not exist").arg(path));
    }
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, TLZMACompressedReadOnlyMemoryBlob { path });
}

void TestReadOnlyMemoryBlob::unreadableFileThrows()
{
    // A file that vanishes after the blob was made.
    const QString path = folder->filePath(QStringLiteral("vanishing.bin"));
    writeBytes(path, "x");
    TReadOnlyMemoryBlob blob(path);
    QVERIFY(QFile::remove(path));
    try {
        blob.data();
        QFAIL("no exception");
    } catch (const std::runtime_error& e) {
        QCOMPARE(
            QString::fromStdString(e.what()), QStringLiteral("I/O error on file '%1': Could not open file.").arg(path));
    }
}

void TestReadOnlyMemoryBlob::compressedBlobKeepsBytesThatDoNotUnpack_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("not packed") << QByteArray("plain text, no marker");
    QTest::newRow("empty") << QByteArray();
    QTest::newRow("truncated payload") << rawPacked("payload").chopped(3);
    QTest::newRow("unknown codec") << QByteArray("\x70\x7e\x03\x03"
                                                 "abc",
        7);
}

void TestReadOnlyMemoryBlob::compressedBlobKeepsBytesThatDoNotUnpack()
{
    QFETCH(QByteArray, bytes);
    const QString path = folder->filePath(QStringLiteral("data.lzma"));
    writeBytes(path, bytes);
    QCOMPARE(TLZMACompressedReadOnlyMemoryBlob(path).data(), bytes);
}

void TestReadOnlyMemoryBlob::compressedBlobUnpacks()
{
    const QByteArray payload("unpacked \x00 content", 18);
    const QByteArray packed = rawPacked(payload);
    QVERIFY(packbuf::hasPackedHeader(packed.constData(), std::size_t(packed.size())));
    const QString path = folder->filePath(QStringLiteral("data.lzma"));
    writeBytes(path, packed);
    QCOMPARE(TLZMACompressedReadOnlyMemoryBlob(path).data(), payload);
    // The plain class returns the bytes as stored.
    QCOMPARE(TReadOnlyMemoryBlob(path).data(), packed);
}

QTEST_GUILESS_MAIN(TestReadOnlyMemoryBlob)
#include "tst_readonlymemoryblob.moc"
