#include "installation/packageinstallation.h"
#include "installation/packageverification.h"

#include "core/launcherconfigurationreader.h"
#include "scanfixture.h"
#include "shared/sha256.h"

#include <QMutex>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <stdexcept>

using namespace korvane::launcher;
using namespace scanfixture;

namespace {

TFileInPackage entryOf(const QString& name, const QByteArray& content)
{
    TFileInPackage file;
    file.localFile = name;
    file.unpackedSize = quint64(content.size());
    file.unpackedHash = shared::TSha256::hash(content);
    return file;
}

TPackageConfigurationReader configurationOf(const QMap<QString, QByteArray>& contents)
{
    TPackageConfigurationReader reader;
    for (auto it = contents.begin(); it != contents.end(); ++it)
        reader.files.push_back(entryOf(it.key(), it.value()));
    std::sort(reader.files.begin(), reader.files.end(), TFileInPackage::lessByLocalFile);
    reader.valid = true;
    return reader;
}

// Progress as the workers report it, from any thread.
struct TProgressLog
{
    QMutex mutex;
    QList<QPair<TFileSize, TFileSize>> reports;
    TPackageVerification::TProgress function()
    {
        return [this](TFileSize hashed, TFileSize total) {
            QMutexLocker lock(&mutex);
            reports.append({ hashed, total });
        };
    }
};

class TThrowingHelper : public TLauncherFilesystemHelper
{
public:
    QString pathInsideFolder(const QDir& folder, const QString& relative) override
    {
        if (relative == QLatin1String("bad"))
            throw std::runtime_error("no way in");
        return TLauncherFilesystemHelper::pathInsideFolder(folder, relative);
    }
};

std::shared_ptr<TPackage> makePackage()
{
    static const TLauncherConfigurationReader reader(QUrl("http://cfg.example/"), "{}");
    return std::make_shared<TPackage>(0, QJsonObject { { "name", "Game" }, { "directoryname", "game" } }, reader);
}

} // namespace

class TestPackageVerification : public QObject
{
    Q_OBJECT
private slots:
    void verifyFiles_data();
    void verifyFiles();
    void firstFailureStopsTheOthers();
    void exceptionInAWorkerFails();
    void skippedOnlyWhenNotForced_data();
    void skippedOnlyWhenNotForced();
    void destroyedWhileHashing();
};

void TestPackageVerification::verifyFiles_data()
{
    QTest::addColumn<QByteArray>("onDisk"); // content of "data.bin" in the folder; "<missing>" for none
    QTest::addColumn<QByteArray>("expected"); // what the configuration says
    QTest::addColumn<bool>("result");
    QTest::addColumn<int>("reports"); // progress reports for data.bin; -1 when not checked
    QTest::addColumn<bool>("warns");

    const QByteArray big = randomBytes(25 * MiB + 17, 3);
    QByteArray flipped = big;
    flipped[12 * MiB] = char(flipped[12 * MiB] ^ 0x01);
    QTest::newRow("three blocks") << big << big << true << 3 << false;
    QTest::newRow("flipped byte") << flipped << big << false << 3 << true;
    QTest::newRow("one byte more") << QByteArray("abcd") << QByteArray("abc") << false << 1 << true;
    QTest::newRow("one byte less") << QByteArray("ab") << QByteArray("abc") << false << 1 << true;
    QTest::newRow("empty file") << QByteArray() << QByteArray() << true << 0 << false;
    QTest::newRow("missing file") << QByteArray("<missing>") << QByteArray("abc") << false << 0 << false;
}

void TestPackageVerification::verifyFiles()
{
    QFETCH(QByteArray, onDisk);
    QFETCH(QByteArray, expected);
    QFETCH(bool, result);
    QFETCH(int, reports);
    QFETCH(bool, warns);
    QTemporaryDir dir;
    const QDir folder(dir.path());
    if (onDisk != "<missing>")
        writeFile(folder, "data.bin", onDisk);
    const TFileInPackageVector files { entryOf("data.bin", expected) };
    if (warns)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("verification of file .*data.bin.* failed"));
    else
        QTest::failOnWarning(QRegularExpression("verification"));
    TProgressLog progress;
    QCOMPARE(TPackageVerification::verifyFiles(
                 folder, std::make_shared<TLauncherFilesystemHelper>(), files, progress.function()),
        result);
    QCOMPARE(progress.reports.size(), reports);
    if (!progress.reports.isEmpty()) {
        QCOMPARE(progress.reports.last().first, TFileSize(onDisk.size()));
        QCOMPARE(progress.reports.last().second, TFileSize(expected.size()));
    }
}

void TestPackageVerification::firstFailureStopsTheOthers()
{
    QTemporaryDir dir;
    const QDir folder(dir.path());
    QMap<QString, QByteArray> contents;
    for (int i = 0; i < 60; ++i) {
        const QString name = QString("f%1").arg(i, 2, 10, QLatin1Char('0'));
        contents.insert(name, randomBytes(4 * MiB, quint64(i) + 10));
        if (i != 0) // the first in the queue is missing
            writeFile(folder, name, contents.value(name));
    }
    TProgressLog progress;
    QVERIFY(!TPackageVerification::verifyFiles(
        folder, std::make_shared<TLauncherFilesystemHelper>(), configurationOf(contents).files, progress.function()));
    TFileSize hashed = 0;
    for (const auto& report : progress.reports)
        hashed = std::max(hashed, report.first);
    QVERIFY2(hashed < TFileSize(30 * 4 * MiB), "files still queued were hashed");
}

void TestPackageVerification::exceptionInAWorkerFails()
{
    QTemporaryDir dir;
    const QDir folder(dir.path());
    writeFile(folder, "good", "good");
    TFileInPackageVector files { entryOf("bad", "x"), entryOf("good", "good") };
    QTest::ignoreMessage(QtWarningMsg, "verification of files crashed in file:  \"bad\"  exception:  no way in");
    QTest::ignoreMessage(QtWarningMsg, "verification of files crashed. exception:  no way in");
    TProgressLog progress;
    QVERIFY(
        !TPackageVerification::verifyFiles(folder, std::make_shared<TThrowingHelper>(), files, progress.function()));
}

void TestPackageVerification::skippedOnlyWhenNotForced_data()
{
    QTest::addColumn<bool>("skipVerification");
    QTest::addColumn<bool>("force");
    QTest::addColumn<bool>("hashes");
    QTest::newRow("skipped") << true << false << false;
    QTest::newRow("forced despite the settings") << true << true << true;
    QTest::newRow("after a download") << false << false << true;
}

void TestPackageVerification::skippedOnlyWhenNotForced()
{
    QFETCH(bool, skipVerification);
    QFETCH(bool, force);
    QFETCH(bool, hashes);
    QTemporaryDir dir;
    const QDir folder(dir.path());
    const QByteArray good = randomBytes(3 * MiB, 5);
    writeFile(folder, "a/good.bin", good);
    writeFile(folder, "wrong.bin", "not what the configuration says");
    const TPackageConfigurationReader configuration
        = configurationOf({ { "a/good.bin", good }, { "wrong.bin", "something else" } });

    auto helper = std::make_shared<TLauncherFilesystemHelper>();
    helper->getLauncherSettings()->skipVerification = skipVerification;
    auto installation = std::make_shared<TPackageInstallation>(makePackage(), nullptr, helper);
    installation->setInstallationDirectory(folder);
    QSignalSpy finished(installation.get(), &TPackageInstallation::verificationFinished);
    QSignalSpy progress(installation.get(), &TPackageInstallation::verificationProgress);
    if (hashes)
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("verification of file .*wrong.bin.* failed"));
    installation->verify(configuration, force);
    if (!hashes) {
        QCOMPARE(finished.count(), 1); // before verify returned
        QVERIFY(installation->hasSucceeded());
        QCOMPARE(installation->getFinishReason(), EPackageDownloaderError::NoError);
        QTest::qWait(50);
        QCOMPARE(progress.count(), 0);
        return;
    }
    QCOMPARE(finished.count(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, 20000);
    QCOMPARE(finished.front().front().value<std::shared_ptr<TPackage>>(), installation->getPackage());
    QVERIFY(!installation->hasSucceeded());
    QCOMPARE(installation->getFinishReason(), EPackageDownloaderError::VerificationFailed);
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.last().at(1).value<TFileSize>(), TFileSize(good.size() + 14));
}

void TestPackageVerification::destroyedWhileHashing()
{
    QTemporaryDir dir;
    const QDir folder(dir.path());
    QMap<QString, QByteArray> contents;
    for (int i = 0; i < 12; ++i) {
        const QString name = QString("f%1").arg(i);
        contents.insert(name, randomBytes(8 * MiB, quint64(i)));
        writeFile(folder, name, contents.value(name));
    }
    auto helper = std::make_shared<TLauncherFilesystemHelper>();
    auto installation = std::make_shared<TPackageInstallation>(makePackage(), nullptr, helper);
    installation->setInstallationDirectory(folder);
    std::atomic<int> reports = 0;
    connect(
        installation.get(), &TPackageInstallation::verificationProgress, installation.get(), [&reports] { ++reports; },
        Qt::DirectConnection);
    installation->verify(configurationOf(contents), true);
    installation.reset(); // waits for the workers, which report through the object
    QVERIFY(reports > 0);
    QTest::qWait(20); // the watcher's delivery must not reach the destroyed object
}

QTEST_MAIN(TestPackageVerification)
#include "tst_packageverification.moc"
