#include "installation/installationscan.h"

#include "core/launcherfilesystemhelper.h"
#include "scanfixture.h"

#include <QTemporaryDir>
#include <QtTest>

using namespace korvane::launcher;
using namespace scanfixture;

namespace {

struct TScanRun
{
    std::vector<TFileToDownload> files;
    std::vector<std::pair<TFileSize, TFileSize>> progress;
};

TScanRun scan(const TPackageConfigurationReader& next, const TPackageConfigurationReader& installed, bool fastScan,
    const QDir& folder, int mode = 0)
{
    TScanRun run;
    run.files = TInstallationScan::filesThatNeedUpdate(next.files, next.chunks, installed.files, installed.chunks,
        fastScan, folder, std::make_shared<TLauncherFilesystemHelper>(), mode,
        [&run](TFileSize scanned, TFileSize total) { run.progress.emplace_back(scanned, total); });
    return run;
}

const TFileToDownload* recordOf(const std::vector<TFileToDownload>& files, const QString& name)
{
    for (const TFileToDownload& file : files) {
        if (file.localFile == name)
            return &file;
    }
    return nullptr;
}

} // namespace

class TestInstallationScan : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void firstInstallation();
    void unchangedInstallationNeedsNothing();
    void insertionNearStartMovesTheRest();
    void fastScanTrustsOnlyAFileOfTheRecordedSize();
    void fastScanMovesByTheRecordedChunks();
    void selfUpdateModeLeavesTheRunningFilesAlone();
    void workerFailureFailsTheScan();
    void refusedPathFailsTheScanByTheFirstOne();
    void filesToDeleteNeverTouchWhatTheNewConfigurationNeeds();

private:
    QByteArray big; // shared random content, cut once
};

void TestInstallationScan::initTestCase()
{
    big = randomBytes(40 * MiB + 321, 42);
}

void TestInstallationScan::firstInstallation()
{
    QTemporaryDir dir;
    const QDir folder(dir.path());
    const QMap<QString, TFileSpec> specs { { "small.txt", { "hello", false, true } },
        { "other/small.txt", { "world", false, false } }, { "bin/big.dat", { big, true, false } },
        { "whole.dat", { big.left(20 * MiB), true, true } } };
    const TPackageConfigurationReader next = configuration(specs, "1");
    const TScanRun run = scan(next, TPackageConfigurationReader(), false, folder);

    // A first installation reports (0, 0) once: the one-chunk files add nothing, and a report that
    // adds nothing is not sent again (thousands of them would each wake the window's thread).
    QCOMPARE(run.progress.size(), std::size_t(1));
    QCOMPARE(run.progress.front(), std::make_pair(TFileSize(0), TFileSize(0)));
    QCOMPARE(run.files.size(), std::size_t(4));
    const TFileToDownload* chunked = recordOf(run.files, "bin/big.dat");
    QVERIFY(chunked);
    QVERIFY(chunked->chunks.size() > 2);
    QCOMPARE(chunked->chunkIndicesToDownload.size(), chunked->chunks.size());
    const TFileToDownload* whole = recordOf(run.files, "whole.dat");
    QVERIFY(whole);
    QCOMPARE(whole->chunks.size(), std::size_t(1)); // fetched as its whole-file piece
    QCOMPARE(whole->chunks[0].url, QUrl("https://cdn.example/whole/whole.dat"));
    QCOMPARE(whole->chunkIndicesToDownload, std::vector<int> { 0 });

    applyDownloads(folder, run.files, specs);
    QCOMPARE(readFile(folder, "bin/big.dat"), big);
}

void TestInstallationScan::unchangedInstallationNeedsNothing()
{
    QTemporaryDir dir;
    const QDir folder(dir.path());
    const QMap<QString, TFileSpec> specs { { "a.txt", { "alpha", false, false } },
        { "big.dat", { big, true, false } } };
    for (auto it = specs.begin(); it != specs.end(); ++it)
        writeFile(folder, it.key(), it->content);
    const TPackageConfigurationReader next = configuration(specs, "1");
    QTest::ignoreMessage(QtInfoMsg, QRegularExpression("reuseable file found .*a.txt"));
    const TScanRun run = scan(next, next, false, folder);
    QVERIFY(run.files.empty());
    const TFileSize total = TFileSize(big.size() + 5);
    QCOMPARE(run.progress.back(), std::make_pair(total, total));
    QCOMPARE(readFile(folder, "big.dat"), big);
}

void TestInstallationScan::insertionNearStartMovesTheRest()
{
    QTemporaryDir dir;
    const QDir folder(dir.path());
    const QByteArray changed = big.left(1000) + randomBytes(777, 3) + big.mid(1000);
    const QMap<QString, TFileSpec> specs { { "big.dat", { changed, true, true } } };
    writeFile(folder, "big.dat", big);
    const TPackageConfigurationReader next = configuration(specs, "2");
    const TScanRun run = scan(next, TPackageConfigurationReader(), false, folder);
    QCOMPARE(run.files.size(), std::size_t(1));
    const TFileToDownload& record = run.files.front();
    // Only the chunk around the insertion is fetched; the rest was moved into place.
    QVERIFY(record.chunks.size() > 3);
    QCOMPARE(record.chunkIndicesToDownload, std::vector<int> { 0 });
    applyDownloads(folder, run.files, specs);
    QVERIFY(readFile(folder, "big.dat") == changed);
}

void TestInstallationScan::fastScanTrustsOnlyAFileOfTheRecordedSize()
{
    QTemporaryDir dir;
    const QDir folder(dir.path());
    const QMap<QString, TFileSpec> specs { { "big.dat", { big, true, false } },
        { "gone.dat", { big.left(30 * MiB), true, false } } };
    const TPackageConfigurationReader installed = configuration(specs, "1");
    writeFile(folder, "big.dat", big);
    // gone.dat is missing although the installed configuration lists it.
    const TScanRun run = scan(installed, installed, true, folder);
    QCOMPARE(run.files.size(), std::size_t(1));
    QCOMPARE(run.files.front().localFile, QString("gone.dat"));
    QCOMPARE(run.files.front().chunkIndicesToDownload.size(), run.files.front().chunks.size());
    // The file of the recorded size is not read: its progress comes from the recorded chunks.
    QCOMPARE(run.progress.back().first, TFileSize(big.size()));
}

void TestInstallationScan::fastScanMovesByTheRecordedChunks()
{
    QTemporaryDir dir;
    const QDir folder(dir.path());
    const QByteArray changed = big.left(5000) + randomBytes(4096, 9) + big.mid(5000);
    const QMap<QString, TFileSpec> installedSpecs { { "big.dat", { big, true, false } } };
    const QMap<QString, TFileSpec> nextSpecs { { "big.dat", { changed, true, false } } };
    writeFile(folder, "big.dat", big);
    const TScanRun run = scan(configuration(nextSpecs, "2"), configuration(installedSpecs, "1"), true, folder);
    QCOMPARE(run.files.size(), std::size_t(1));
    QCOMPARE(run.files.front().chunkIndicesToDownload, std::vector<int> { 0 });
    applyDownloads(folder, run.files, nextSpecs);
    QVERIFY(readFile(folder, "big.dat") == changed);
}

void TestInstallationScan::selfUpdateModeLeavesTheRunningFilesAlone()
{
    QTemporaryDir dir;
    const QDir folder(dir.path());
    const QByteArray changed = big.left(1000) + "inserted" + big.mid(1000);
    const QMap<QString, TFileSpec> specs { { "launcher", { "new launcher", false, true } },
        { "lib.so", { changed, true, true } }, { "same.txt", { "same", false, true } } };
    writeFile(folder, "launcher", "old launcher");
    writeFile(folder, "lib.so", big);
    writeFile(folder, "same.txt", "same");
    writeFile(folder, "launcher.old", "stale");
    const TScanRun run = scan(configuration(specs, "2"), TPackageConfigurationReader(), false, folder, 1);
    QCOMPARE(run.files.size(), std::size_t(2));
    for (const TFileToDownload& record : run.files)
        QCOMPARE(record.chunkIndicesToDownload, std::vector<int> { 0 }); // whole, never patched in place
    // The new files are written beside them and put in place at the end; until then nothing moves.
    QCOMPARE(readFile(folder, "launcher"), QByteArray("old launcher"));
    QVERIFY(readFile(folder, "lib.so") == big);
    QCOMPARE(readFile(folder, "launcher.old"), QByteArray("stale"));
    QVERIFY(!QFileInfo::exists(folder.filePath("lib.so.old")));
    QCOMPARE(readFile(folder, "same.txt"), QByteArray("same"));
}

void TestInstallationScan::workerFailureFailsTheScan()
{
    QTemporaryDir dir;
    TPackageConfigurationReader next
        = configuration({ { "a", { "x", false, false } }, { "b", { "y", false, false } } }, "1");
    next.files[1].chunkIndices = { 0, 99 };
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("installation scan worker failed"));
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, scan(next, TPackageConfigurationReader(), false, QDir(dir.path())));
}

void TestInstallationScan::refusedPathFailsTheScanByTheFirstOne()
{
    // The files are looked at side by side: a refusal must come back to the caller, not end a pool thread,
    // and it must be the first file's.
    QTemporaryDir dir;
    QMap<QString, TFileSpec> files;
    for (int i = 0; i < 300; ++i)
        files[QStringLiteral("f%1").arg(i, 3, 10, QLatin1Char('0'))] = { "x", false, false };
    TPackageConfigurationReader next = configuration(files, "1");
    next.files[120].localFile = QStringLiteral("../first");
    next.files[250].localFile = QStringLiteral("../second");
    try {
        scan(next, TPackageConfigurationReader(), false, QDir(dir.path()));
        QFAIL("the scan went on past a path that leaves its folder");
    } catch (const std::runtime_error& e) {
        QVERIFY2(QString::fromUtf8(e.what()).contains("'../first'"), e.what());
    }
}

void TestInstallationScan::filesToDeleteNeverTouchWhatTheNewConfigurationNeeds()
{
    QTemporaryDir dir;
    const QDir folder(dir.path());
    const TPackageConfigurationReader next
        = configuration({ { "a/b.txt", { "b", false, false } }, { "keep.txt", { "k", false, false } } }, "2");
    TFileInPackageVector old;
    for (const char* name : { "gone.txt", "a", "a//b.txt", "./keep.txt", "", ".", "../outside.txt", "x/../a" }) {
        TFileInPackage file;
        file.localFile = QString::fromUtf8(name);
        old.push_back(file);
    }
    std::sort(old.begin(), old.end(), TFileInPackage::lessByLocalFile);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not deleting .*"));
    for (int i = 0; i < 6; ++i)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not deleting .*"));
    const TFileInPackageVector result
        = TInstallationScan::filesToDelete(old, next.files, folder, std::make_shared<TLauncherFilesystemHelper>());
    QCOMPARE(result.size(), std::size_t(1));
    QCOMPARE(result.front().localFile, QString("gone.txt"));
}

QTEST_MAIN(TestInstallationScan)
#include "tst_installationscan.moc"
