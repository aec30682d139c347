// Replays the committed fuzzing corpus (fuzz/corpus): every input must come back either unpacked or as
// an exact copy, within its bound, without crashing.
#include "packbuf/packbuf"

#include <QDir>
#include <QFile>
#include <QtTest>

class TestFuzzCorpus : public QObject
{
    Q_OBJECT

private slots:
    void replay();
};

void TestFuzzCorpus::replay()
{
    // The bound the fuzzing harness uses.
    constexpr std::uint64_t bound = std::uint64_t(1) << 20;
    const QDir corpus(QStringLiteral(KORVANE_SOURCE_DIR "/fuzz/corpus"));
    const QStringList names = corpus.entryList(QDir::Files, QDir::Name);
    QVERIFY(!names.isEmpty());
    int unpacked = 0;
    for (const QString& name : names) {
        QFile file(corpus.filePath(name));
        QVERIFY(file.open(QIODevice::ReadOnly));
        const std::string input = file.readAll().toStdString();
        std::string output;
        if (packbuf::unpackString(input, output, bound)) {
            ++unpacked;
            QVERIFY2(output.size() <= bound, qPrintable(name));
        } else {
            QVERIFY2(output == input, qPrintable(name));
        }
    }
    // The seeds hold one valid payload per built-in codec family.
    QVERIFY(unpacked >= 5);
}

QTEST_GUILESS_MAIN(TestFuzzCorpus)
#include "tst_fuzzcorpus.moc"
