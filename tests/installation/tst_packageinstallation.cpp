#include "installation/packageinstallation.h"

#include "core/launcherconfigurationreader.h"
#include "scanfixture.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

using namespace korvane::launcher;
using namespace scanfixture;

namespace {

// Sets the free bytes and stands in for the file downloader.
class TTestInstallation : public TPackageInstallation
{
public:
    using TPackageInstallation::TPackageInstallation;

    std::optional<qint64> available;
    int storageQueries = 0;
    int downloadStarts = 0;
    std::vector<TFileToDownload> handedOver;

protected:
    std::optional<qint64> availableBytes(const QString&) const override
    {
        ++const_cast<TTestInstallation*>(this)->storageQueries;
        return available;
    }
    void startFileDownload(const QDir&, int, const std::vector<TFileToDownload>& files) override
    {
        ++downloadStarts;
        handedOver = files;
    }
};

class TUndeletableHelper : public TLauncherFilesystemHelper
{
public:
    void deleteFile(const QString& path) override
    {
        throw std::runtime_error(("Failed to delete file " + path).toStdString());
    }
};

std::shared_ptr<TPackage> makePackage()
{
    static const TLauncherConfigurationReader reader(QUrl("http://cfg.example/"), "{}");
    return std::make_shared<TPackage>(0, QJsonObject { { "name", "Game" }, { "directoryname", "game" } }, reader);
}

std::shared_ptr<TTestInstallation> makeInstallation(
    const QDir& folder, std::shared_ptr<TLauncherFilesystemHelper> helper = nullptr)
{
    if (!helper)
        helper = std::make_shared<TLauncherFilesystemHelper>();
    auto installation = std::make_shared<TTestInstallation>(makePackage(), nullptr, helper);
    installation->setInstallationDirectory(folder);
    return installation;
}

TFileToDownload fileOfChunks(const QString& name, const std::vector<quint64>& sizes, std::vector<int> missing)
{
    TFileToDownload file;
    file.localFile = name;
    for (quint64 size : sizes) {
        TChunkInPackage chunk;
        chunk.unpackedSize = size;
        file.chunks.push_back(chunk);
        file.unpackedSize += size;
    }
    file.chunkIndicesToDownload = std::move(missing);
    return file;
}

TFileInPackage entry(const QString& name)
{
    TFileInPackage file;
    file.localFile = name;
    return file;
}

} // namespace

class TestPackageInstallation : public QObject
{
    Q_OBJECT
private slots:
    void diskSpaceCheck_data();
    void diskSpaceCheck();
    void notEnoughSpaceMessage();
    void resumedInstallationNeedsOnlyWhatIsLeft_data();
    void resumedInstallationNeedsOnlyWhatIsLeft();
    void spaceFiguresDiffer_data();
    void spaceFiguresDiffer();
    void nothingToDoCompletesAtOnce();
    void deletesOnlyInsideTheFolder();
    void undeletableFileInNormalMode();
    void selfUpdateModeKeepsFilesAsOld_data();
    void selfUpdateModeKeepsFilesAsOld();
    void finishReasons();
    void scanThenHandOver();
    void failedScanEndsTheInstallation();
    void releasedInsideItsOwnSignal();
};

void TestPackageInstallation::diskSpaceCheck_data()
{
    QTest::addColumn<qint64>("available");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<bool>("passes");
    const qint64 needed = 5000; // the missing chunk: the file holds no bytes yet, and only it is written
    QTest::newRow("exactly enough") << needed << true << true;
    QTest::newRow("one byte short") << needed - 1 << true << false;
    QTest::newRow("plenty") << qint64(1) << false << true; // invalid storage information
    QTest::newRow("negative") << qint64(-1) << true << true;
}

void TestPackageInstallation::diskSpaceCheck()
{
    QFETCH(qint64, available);
    QFETCH(bool, valid);
    QFETCH(bool, passes);
    QTemporaryDir dir;
    auto installation = makeInstallation(QDir(dir.path()));
    if (valid)
        installation->available = available;
    QSignalSpy finished(installation.get(), &TPackageInstallation::downloadFinished);
    if (!passes)
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("Not enough disk space"));
    installation->onRequiredChangesComputedForInstallation({ { fileOfChunks("f", { 3000, 5000 }, { 1 }) }, {} });
    QCOMPARE(installation->downloadStarts, passes ? 1 : 0);
    QCOMPARE(finished.count(), passes ? 0 : 1);
    if (!passes) {
        QVERIFY(!installation->hasSucceeded());
        QCOMPARE(installation->getFinishReason(), EPackageDownloaderError::SavingFailed);
    } else {
        QCOMPARE(installation->handedOver.size(), std::size_t(1));
    }
}

void TestPackageInstallation::notEnoughSpaceMessage()
{
    QTemporaryDir dir;
    auto installation = makeInstallation(QDir(dir.path()));
    installation->available = 500000000;
    QTest::ignoreMessage(QtCriticalMsg, "Not enough disk space. Need 1.2 GB, only 0.5 GB available.");
    QSignalSpy finished(installation.get(), &TPackageInstallation::downloadFinished);
    installation->onRequiredChangesComputedForInstallation({ { fileOfChunks("f", { 1234567890 }, { 0 }) }, {} });
    QCOMPARE(finished.count(), 1);
    QCOMPARE(int(installation->getFinishReason()), 2);
}

void TestPackageInstallation::resumedInstallationNeedsOnlyWhatIsLeft_data()
{
    QTest::addColumn<qint64>("onDisk"); // bytes the file already holds; -1 for no file
    QTest::addColumn<QList<int>>("missing");
    QTest::addColumn<qint64>("needed");
    // Three chunks of 100000 bytes.
    QTest::newRow("last chunk missing") << qint64(200000) << QList<int> { 2 } << qint64(100000);
    QTest::newRow("cut inside the last chunk") << qint64(250000) << QList<int> { 2 } << qint64(50000);
    QTest::newRow("chunk inside the file rewritten") << qint64(300000) << QList<int> { 1 } << qint64(0);
    QTest::newRow("fetched whole over an old file") << qint64(250000) << QList<int> { 0, 1, 2 } << qint64(300000);
    QTest::newRow("first installation") << qint64(-1) << QList<int> { 0, 1, 2 } << qint64(300000);
}

void TestPackageInstallation::resumedInstallationNeedsOnlyWhatIsLeft()
{
    QFETCH(qint64, onDisk);
    QFETCH(QList<int>, missing);
    QFETCH(qint64, needed);
    QTemporaryDir dir;
    const QDir folder(dir.path());
    if (onDisk >= 0)
        writeFile(folder, "data/world.pak", QByteArray(onDisk, 'x'));
    const TFileToDownload file
        = fileOfChunks("data/world.pak", { 100000, 100000, 100000 }, std::vector<int>(missing.begin(), missing.end()));
    for (const qint64 available : { needed, needed - 1 }) {
        if (available < 0)
            continue;
        auto installation = makeInstallation(folder);
        installation->available = available;
        const bool fits = available >= needed;
        if (!fits)
            QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("Not enough disk space"));
        installation->onRequiredChangesComputedForInstallation({ { file }, {} });
        QCOMPARE(installation->downloadStarts, fits ? 1 : 0);
        QCOMPARE(installation->storageQueries, needed == 0 ? 0 : 1);
    }
}

void TestPackageInstallation::spaceFiguresDiffer_data()
{
    QTest::addColumn<quint64>("needed");
    QTest::addColumn<quint64>("available");
    QTest::addColumn<QString>("neededText");
    QTest::addColumn<QString>("availableText");
    QTest::newRow("megabytes") << quint64(212400000) << quint64(198000000) << "212.4 MB"
                               << "198.0 MB";
    QTest::newRow("gigabytes") << quint64(1234567890) << quint64(500000000) << "1.2 GB"
                               << "0.5 GB";
    QTest::newRow("close megabytes") << quint64(212412345) << quint64(212398765) << "212.41 MB"
                                     << "212.40 MB";
    QTest::newRow("a few bytes apart") << quint64(1000000500) << quint64(1000000000) << "1000000500 bytes"
                                       << "1000000000 bytes";
    QTest::newRow("small") << quint64(900) << quint64(12) << "900 bytes"
                           << "12 bytes";
}

void TestPackageInstallation::spaceFiguresDiffer()
{
    QFETCH(quint64, needed);
    QFETCH(quint64, available);
    QFETCH(QString, neededText);
    QFETCH(QString, availableText);
    const QPair<QString, QString> figures = TPackageInstallation::spaceFigures(needed, available);
    QCOMPARE(figures.first, neededText);
    QCOMPARE(figures.second, availableText);
}

void TestPackageInstallation::nothingToDoCompletesAtOnce()
{
    QTemporaryDir dir;
    auto installation = makeInstallation(QDir(dir.path()));
    installation->available = 0;
    QSignalSpy finished(installation.get(), &TPackageInstallation::downloadFinished);
    installation->onRequiredChangesComputedForInstallation({});
    QCOMPARE(finished.count(), 1); // from within the slot
    QVERIFY(installation->hasSucceeded());
    QCOMPARE(installation->getFinishReason(), EPackageDownloaderError::NoError);
    QCOMPARE(installation->storageQueries, 0);
    QCOMPARE(installation->downloadStarts, 0);
}

void TestPackageInstallation::deletesOnlyInsideTheFolder()
{
    QTemporaryDir dir;
    QTemporaryDir outside;
    const QDir folder(dir.path());
    writeFile(folder, "old.txt", "x");
    writeFile(folder, "olddir/inner/file.txt", "y");
    writeFile(QDir(outside.path()), "precious.txt", "keep");
    QVERIFY(QFile::link(outside.path(), folder.filePath("link")));
    QVERIFY(QFile::link(outside.path(), folder.filePath("linkdir")));
    auto installation = makeInstallation(folder);
    QSignalSpy finished(installation.get(), &TPackageInstallation::downloadFinished);
    TFileInPackageVector toDelete { entry("link"), entry("linkdir/precious.txt"), entry("missing.txt"),
        entry("old.txt"), entry("olddir") };
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("not deleting .*precious"));
    installation->onRequiredChangesComputedForInstallation({ {}, toDelete });
    QCOMPARE(finished.count(), 1);
    QVERIFY(installation->hasSucceeded());
    QVERIFY(!QFileInfo::exists(folder.filePath("old.txt")));
    QVERIFY(!QFileInfo::exists(folder.filePath("olddir")));
    QVERIFY(!QFileInfo(folder.filePath("link")).isSymLink()); // the link itself went
    QCOMPARE(readFile(QDir(outside.path()), "precious.txt"), QByteArray("keep"));
}

void TestPackageInstallation::undeletableFileInNormalMode()
{
    QTemporaryDir dir;
    const QDir folder(dir.path());
    writeFile(folder, "a.txt", "a");
    auto installation = makeInstallation(folder, std::make_shared<TUndeletableHelper>());
    QSignalSpy failed(installation.get(), &TPackageInstallation::diskAccessFailed);
    QSignalSpy finished(installation.get(), &TPackageInstallation::downloadFinished);
    installation->onRequiredChangesComputedForInstallation(
        { { fileOfChunks("f", { 10 }, { 0 }) }, { entry("a.txt") } });
    QCOMPARE(failed.count(), 1);
    QVERIFY(failed.front().front().toString().startsWith("Failed to delete file "));
    QCOMPARE(finished.count(), 0);
    QCOMPARE(installation->downloadStarts, 0);
}

void TestPackageInstallation::selfUpdateModeKeepsFilesAsOld_data()
{
    QTest::addColumn<bool>("newFileComplete");
    QTest::newRow("new file complete") << true;
    QTest::newRow("new file missing") << false;
}

void TestPackageInstallation::selfUpdateModeKeepsFilesAsOld()
{
    QFETCH(bool, newFileComplete);
    QTemporaryDir dir;
    const QDir folder(dir.path());
    writeFile(folder, "plugin.so", "running");
    writeFile(folder, "plugin.so.old", "older");
    writeFile(folder, "f", "old f");
    // Deletable, yet kept: a failed update must leave the running launcher's files behind.
    auto installation = makeInstallation(folder);
    installation->setInstallationMode(1);
    QSignalSpy failed(installation.get(), &TPackageInstallation::diskAccessFailed);
    QSignalSpy finished(installation.get(), &TPackageInstallation::downloadFinished);
    installation->onRequiredChangesComputedForInstallation(
        { { fileOfChunks("f", { 10 }, { 0 }) }, { entry("plugin.so") } });
    QCOMPARE(failed.count(), 0);
    QCOMPARE(installation->downloadStarts, 1);
    // Until the download has ended nothing of the running launcher moves.
    QCOMPARE(readFile(folder, "plugin.so"), QByteArray("running"));
    QCOMPARE(readFile(folder, "plugin.so.old"), QByteArray("older"));
    QCOMPARE(readFile(folder, "f"), QByteArray("old f"));

    if (newFileComplete)
        writeFile(folder, ".f.kvupdate", "new f 1234");
    else
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("Putting the new files of .* in place failed"));
    installation->onDownloadCompleted();
    QCOMPARE(finished.count(), 1);
    QCOMPARE(installation->hasSucceeded(), newFileComplete);
    if (newFileComplete) {
        QCOMPARE(readFile(folder, "f"), QByteArray("new f 1234"));
        QCOMPARE(readFile(folder, "f.old"), QByteArray("old f"));
        QCOMPARE(readFile(folder, "plugin.so.old"), QByteArray("running"));
        QVERIFY(!QFileInfo::exists(folder.filePath("plugin.so")));
        QVERIFY(!QFileInfo::exists(folder.filePath(".f.kvupdate")));
    } else {
        QCOMPARE(installation->getFinishReason(), EPackageDownloaderError::SavingFailed);
        QCOMPARE(readFile(folder, "f"), QByteArray("old f"));
        QCOMPARE(readFile(folder, "plugin.so"), QByteArray("running"));
        QVERIFY(!QFileInfo::exists(folder.filePath("f.old")));
    }
}

void TestPackageInstallation::finishReasons()
{
    QTemporaryDir dir;
    auto installation = makeInstallation(QDir(dir.path()));
    QVERIFY(!installation->hasSucceeded());
    QCOMPARE(installation->getFinishReason(), EPackageDownloaderError::NoError);
    QSignalSpy downloads(installation.get(), &TPackageInstallation::downloadFinished);
    QSignalSpy verifications(installation.get(), &TPackageInstallation::verificationFinished);
    QSignalSpy writes(installation.get(), &TPackageInstallation::writeProgress);
    installation->onDownloadFailed(EPackageDownloaderError::DownloadFailed);
    QVERIFY(!installation->hasSucceeded());
    QCOMPARE(int(installation->getFinishReason()), 1);
    installation->onVerifyFinished(false);
    QCOMPARE(int(installation->getFinishReason()), 3);
    QVERIFY(!installation->hasSucceeded());
    installation->onVerifyFinished(true);
    QCOMPARE(int(installation->getFinishReason()), 0);
    QVERIFY(installation->hasSucceeded());
    installation->onDownloadCompleted();
    QVERIFY(installation->hasSucceeded());
    QCOMPARE(downloads.count(), 2);
    QCOMPARE(verifications.count(), 2);
    QCOMPARE(downloads.front().front().value<std::shared_ptr<TPackage>>(), installation->getPackage());
    QCOMPARE(writes.count(), 0);
}

void TestPackageInstallation::scanThenHandOver()
{
    QTemporaryDir dir;
    const QDir folder(dir.path());
    const QByteArray content = randomBytes(12 * MiB, 8);
    const QMap<QString, TFileSpec> specs { { "data.bin", { content, true, false } },
        { "same.txt", { "same", false, false } } };
    writeFile(folder, "data.bin", content.left(9 * MiB)); // a cut-off download
    writeFile(folder, "same.txt", "same");
    writeFile(folder, "obsolete.txt", "gone");
    TPackageConfigurationReader installed = configuration(specs, "1");
    installed.files.push_back(entry("obsolete.txt"));
    std::sort(installed.files.begin(), installed.files.end(), TFileInPackage::lessByLocalFile);

    auto installation = makeInstallation(folder);
    QSignalSpy progress(installation.get(), &TPackageInstallation::scanProgress);
    installation->setTargetConfiguration(configuration(specs, "2"));
    installation->startScan(installed, false);
    QTRY_COMPARE_WITH_TIMEOUT(installation->downloadStarts, 1, 20000);
    QVERIFY(!QFileInfo::exists(folder.filePath("obsolete.txt")));
    QCOMPARE(installation->getFilesToDelete().size(), std::size_t(1));
    QCOMPARE(installation->handedOver.size(), std::size_t(1));
    QCOMPARE(installation->handedOver.front().localFile, QString("data.bin"));
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(1).value<TFileSize>(), TFileSize(9 * MiB + 4));
}

void TestPackageInstallation::failedScanEndsTheInstallation()
{
    QTemporaryDir dir;
    TPackageConfigurationReader next = configuration({ { "a", { "x", false, false } } }, "1");
    next.files[0].chunkIndices = { 5, 6 };
    auto installation = makeInstallation(QDir(dir.path()));
    QSignalSpy finished(installation.get(), &TPackageInstallation::downloadFinished);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("installation scan worker failed"));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("startScan: the scan of .* failed"));
    installation->setTargetConfiguration(next);
    installation->startScan(TPackageConfigurationReader(), false);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
    QVERIFY(!installation->hasSucceeded());
    QCOMPARE(installation->getFinishReason(), EPackageDownloaderError::SavingFailed);
    QCOMPARE(installation->downloadStarts, 0);
}

void TestPackageInstallation::releasedInsideItsOwnSignal()
{
    QTemporaryDir dir;
    auto installation = makeInstallation(QDir(dir.path()));
    std::weak_ptr<TTestInstallation> watch = installation;
    bool seen = false;
    QObject::connect(installation.get(), &TPackageInstallation::downloadFinished, [&](std::shared_ptr<TPackage>) {
        seen = true;
        installation.reset();
    });
    watch.lock()->onRequiredChangesComputedForInstallation({});
    QVERIFY(seen);
    QVERIFY(watch.expired());
}

QTEST_MAIN(TestPackageInstallation)
#include "tst_packageinstallation.moc"
