#include "shared/sha256.h"

#include <QCryptographicHash>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

using shared::TSha256;

class TestSha256 : public QObject
{
    Q_OBJECT
private slots:
    void knownDigests_data();
    void knownDigests();
    void incrementalEqualsOneShot();
    void fileDigest();
};

void TestSha256::knownDigests_data()
{
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("hex");
    QTest::newRow("empty") << QByteArray()
                           << QByteArray("e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855");
    QTest::newRow("abc") << QByteArray("abc")
                         << QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    QTest::newRow("two blocks") << QByteArray("abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq")
                                << QByteArray("248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1");
}

void TestSha256::knownDigests()
{
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, hex);
    QCOMPARE(TSha256::hash(input).toHex(), hex);
    TSha256 sha;
    sha.addData(input);
    QCOMPARE(sha.result().toHex(), hex);
}

void TestSha256::incrementalEqualsOneShot()
{
    QByteArray data(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    QRandomGenerator generator(7);
    for (char& c : data)
        c = char(generator.bounded(256));
    TSha256 sha;
    for (qsizetype at = 0; at < data.size(); at += 65521)
        sha.addData(QByteArrayView(data).sliced(at, qMin<qsizetype>(65521, data.size() - at)));
    const QByteArray expected = QCryptographicHash::hash(data, QCryptographicHash::Sha256);
    QCOMPARE(sha.result(), expected);
    // The object starts again after a result.
    sha.addData(data);
    QCOMPARE(sha.result(), expected);
}

void TestSha256::fileDigest()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    QByteArray data(9 * 1024 * 1024 + 3, 'x');
    data[12345] = 'y';
    QFile file(dir.filePath("f.bin"));
    QVERIFY(file.open(QIODevice::WriteOnly));
    QCOMPARE(file.write(data), data.size());
    file.close();
    QCOMPARE(TSha256::hashFile(file.fileName()), QCryptographicHash::hash(data, QCryptographicHash::Sha256));
    QVERIFY(TSha256::hashFile(dir.filePath("missing")).isEmpty());
    QVERIFY(TSha256::hashFile(dir.path()).isEmpty()); // a folder does not read
}

QTEST_MAIN(TestSha256)
#include "tst_sha256.moc"
