#include "flowfixture.h"

#include <QNetworkAccessManager>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

using namespace korvane::launcher;
using namespace flowfixture;

using TReports = QList<QPair<quint64, quint64>>;

namespace {

// Fails the n-th write of a file with the given name.
class TFailingWriteHelper : public TLauncherFilesystemHelper
{
public:
    QString fileName;
    int failAt = 0;
    int writes = 0;
    void writeFile(const QString& path, const QByteArray& data) override
    {
        if (QFileInfo(path).fileName() == fileName && ++writes == failAt)
            throw std::runtime_error(("I/O error on file '" + path + "': disk full").toStdString());
        TLauncherFilesystemHelper::writeFile(path, data);
    }
};

const QStringList allSteps { "download_started|FunnelDownloadStartedFirst", "download_10pct|FunnelDownload10PctFirst",
    "download_25pct|FunnelDownload25PctFirst", "download_50pct|FunnelDownload50PctFirst",
    "download_75pct|FunnelDownload75PctFirst", "launcher_downloaded|FunnelFinishedDownloadingFirst",
    "launcher_verified|FunnelFinished_VerifyingFirst" };

TTree gameContent()
{
    return { { "bin/game", scanfixture::randomBytes(6 * scanfixture::MiB, 1) },
        { "data/levels.pak", scanfixture::randomBytes(300000, 2) }, { "readme.txt", "Korvane Vedudi\n" },
        { "KorvaneVedudiClient_Data/Data/Settings/graphics.ini", "quality=high\n" } };
}

} // namespace

class TestInstallationFlow : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void installRunsEveryStep_data();
    void installRunsEveryStep();
    void nestedFinishReleasesTheInstallation();
    void forcedVerification();
    void fastScanOnlyForAnUpdateOverACompleteInstallation_data();
    void fastScanOnlyForAnUpdateOverACompleteInstallation();
    void downloadFlushesWhatItWrote();
    void failedDownloadLeavesThePackagePartial();
    void failedVerificationLeavesThePackagePartial();
    void markerFailures_data();
    void markerFailures();
    void markersComeFromTheConfigurationAtTheStart();
    void invalidConfigurationIsNeverInstalled();
    void accountGroupFile_data();
    void accountGroupFile();
    void packageOrFolderInProgressChangesNothing();
    void twoPackagesAtOnce();
    void progressFunnelSteps_data();
    void progressFunnelSteps();
    void retiredManagerLivesUntilItsInstallationsEnd();
    void managerReleasedInsideItsOwnSignals_data();
    void managerReleasedInsideItsOwnSignals();

private:
    QDir folderOf(const QString& name) { return QDir(helper->packagesDirectory().filePath(name)); }
    std::shared_ptr<TLauncherConfigurationReader> configurationWith(
        const QStringList& names, const QString& release = QStringLiteral("game1"));
    // Installs or updates the package with a manager of its own; true when that succeeded.
    bool installOnce(
        const std::shared_ptr<TLauncherConfigurationReader>& configuration, const std::shared_ptr<TPackage>& package);

    QTemporaryDir home;
    QTemporaryDir served;
    TLoopbackServer server;
    std::shared_ptr<TLauncherFilesystemHelper> helper;
    std::shared_ptr<QNetworkAccessManager> network = std::make_shared<QNetworkAccessManager>();
};

void TestInstallationFlow::initTestCase()
{
    QVERIFY(home.isValid() && served.isValid() && server.isListening());
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    registerInstallationMetaTypes();
    server.serveFolder(served.path());
    QVERIFY(publish(QDir(served.path()), "game1", gameContent(), "1", { { "maps/world.map", "world" } }));
    TTree next = gameContent();
    next["readme.txt"] = "Korvane Vedudi, the second\n";
    QVERIFY(publish(QDir(served.path()), "game2", next, "2", { { "maps/world.map", "world" } }));
    QVERIFY(publish(
        QDir(served.path()), "tools1", { { "tool.bin", scanfixture::randomBytes(5 * scanfixture::MiB, 9) } }, "4"));
}

void TestInstallationFlow::init()
{
    helper = std::make_shared<TLauncherFilesystemHelper>();
    QDir(helper->packagesDirectory()).removeRecursively();
    QFile::remove(
        QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).filePath("accountgroup.json"));
    helper->getLauncherSettings()->retries = 0;
    helper->getLauncherSettings()->chunkTransportTimeOut = 10000;
    server.clearScripts();
    server.resetCounters();
}

std::shared_ptr<TLauncherConfigurationReader> TestInstallationFlow::configurationWith(
    const QStringList& names, const QString& release)
{
    auto configuration = launcherConfiguration(names);
    for (std::size_t i = 0; i < configuration->packages.size(); ++i)
        load(*configuration->packages[i], server, QDir(served.path()), i == 0 ? release : QStringLiteral("tools1"));
    return configuration;
}

bool TestInstallationFlow::installOnce(
    const std::shared_ptr<TLauncherConfigurationReader>& configuration, const std::shared_ptr<TPackage>& package)
{
    TRecordingManager manager(configuration, network, helper);
    TFinishes finishes(manager);
    manager.installOrUpdatePackage(package);
    return QTest::qWaitFor([&] { return !finishes.finished.isEmpty(); }, 30000)
        && finishes.succeeded == QList<bool> { true };
}

void TestInstallationFlow::installRunsEveryStep_data()
{
    QTest::addColumn<bool>("skipVerification");
    QTest::newRow("verification skipped") << true;
    QTest::newRow("verification hashes") << false;
}

void TestInstallationFlow::installRunsEveryStep()
{
    QFETCH(bool, skipVerification);
    helper->getLauncherSettings()->skipVerification = skipVerification;
    auto configuration = configurationWith({ "game" });
    const std::shared_ptr<TPackage> game = configuration->packages[0];
    TRecordingManager manager(configuration, network, helper);
    QCOMPARE(game->localStatus, ELocalPackageStatus::NotInstalled);
    TFinishes finishes(manager);
    int verificationReports = 0;
    connect(&manager, &TInstallationManager::installationOrUpdateStarted, this,
        [&](const TPackageInstallation& installation) {
            QVERIFY(manager.hasInstallationsInProgress()); // in the list before the signal
            connect(
                &installation, &TPackageInstallation::verificationProgress, this, [&] { ++verificationReports; },
                Qt::QueuedConnection);
        });

    manager.installOrUpdatePackage(game);
    QCOMPARE(finishes.started, QStringList { "game" });
    QCOMPARE(game->localStatus, ELocalPackageStatus::PartiallyInstalled);
    QVERIFY(TInstallationManager::isFolderBeingWritten(folderOf("game")));
    QTRY_COMPARE_WITH_TIMEOUT(finishes.finished.size(), 1, 30000);
    QCOMPARE(finishes.succeeded, QList<bool> { true });
    QCOMPARE(finishes.reasons.front(), EPackageDownloaderError::NoError);
    QCOMPARE(finishes.allFinished, 1);
    QVERIFY(!manager.hasInstallationsInProgress());
    QVERIFY(!TInstallationManager::isFolderBeingWritten(folderOf("game")));
    QCOMPARE(manager.steps, allSteps);
    QCOMPARE(game->localStatus, ELocalPackageStatus::UpToDate);
    QVERIFY(game->isUpToDate);
    QCOMPARE(verificationReports > 0, !skipVerification);

    const QDir folder = folderOf("game");
    QCOMPARE(readAll(folder.filePath("package.json")), game->packageConfiguration()->packageJson);
    QCOMPARE(readAll(folder.filePath("assets.json")), game->packageConfiguration()->assetJson);
    QVERIFY(!QFileInfo::exists(folder.filePath("partial-package.json")));
    TTree expected = gameContent();
    expected.insert("maps/world.map", "world");
    TTree found = readTree(folder);
    found.remove("package.json");
    found.remove("assets.json");
    QCOMPARE(found.keys(), expected.keys());
    QVERIFY(found == expected);
    QCOMPARE(manager.localPackageStatus(game), ELocalPackageStatus::UpToDate);
}

void TestInstallationFlow::nestedFinishReleasesTheInstallation()
{
    // With skipVerification the verification, the finish and the release all happen inside the
    // downloader's own completion signal.
    helper->getLauncherSettings()->skipVerification = true;
    auto configuration = configurationWith({ "game" });
    TRecordingManager manager(configuration, network, helper);
    TFinishes finishes(manager);
    QPointer<TPackageInstallation> watched;
    bool checked = false;
    connect(&manager, &TInstallationManager::installationOrUpdateStarted, this,
        [&](const TPackageInstallation& installation) {
            watched = const_cast<TPackageInstallation*>(&installation);
            connect(installation.getPackageFileDownloader(), &TPackageFileDownloader::downloadCompleted, this, [&] {
                QCOMPARE(finishes.finished.size(), 1);
                QVERIFY(watched.isNull());
                QCOMPARE(manager.steps.last(), allSteps.last());
                checked = true;
            });
        });
    manager.installOrUpdatePackage(configuration->packages[0]);
    QTRY_VERIFY_WITH_TIMEOUT(checked, 30000);
}

void TestInstallationFlow::forcedVerification()
{
    auto configuration = configurationWith({ "game" });
    const std::shared_ptr<TPackage> game = configuration->packages[0];
    QVERIFY(installOnce(configuration, game));
    helper->getLauncherSettings()->skipVerification = true; // a forced verification hashes anyway
    game->isUpToDate = false;
    TRecordingManager manager(configuration, network, helper);
    QCOMPARE(game->localStatus, ELocalPackageStatus::UpToDate);
    manager.sendDownloadProgressFunnelSteps(30, 100); // the threshold set is left as it is
    manager.steps.clear();
    TFinishes finishes(manager);
    int reports = 0;
    connect(&manager, &TInstallationManager::installationOrUpdateStarted, this,
        [&](const TPackageInstallation& installation) {
            connect(
                &installation, &TPackageInstallation::verificationProgress, this, [&] { ++reports; },
                Qt::QueuedConnection);
        });
    manager.verifyPackage(game);
    QCOMPARE(game->localStatus, ELocalPackageStatus::PartiallyInstalled);
    QVERIFY(QFileInfo::exists(folderOf("game").filePath("partial-package.json")));
    QTRY_COMPARE_WITH_TIMEOUT(finishes.finished.size(), 1, 30000);
    QCOMPARE(finishes.succeeded, QList<bool> { true });
    QVERIFY(reports > 0);
    QCOMPARE(manager.steps, QStringList { allSteps.last() });
    manager.sendDownloadProgressFunnelSteps(30, 100);
    QCOMPARE(manager.steps.size(), 1);
    QCOMPARE(game->localStatus, ELocalPackageStatus::UpToDate);
    QVERIFY(game->isUpToDate);
    QVERIFY(!QFileInfo::exists(folderOf("game").filePath("partial-package.json")));
    QCOMPARE(readAll(folderOf("game").filePath("package.json")), game->packageConfiguration()->packageJson);
}

void TestInstallationFlow::fastScanOnlyForAnUpdateOverACompleteInstallation_data()
{
    QTest::addColumn<QString>("release");
    QTest::addColumn<bool>("complete");
    QTest::addColumn<bool>("markerReplaced");
    QTest::addColumn<bool>("trusted");
    QTest::newRow("update over a complete installation") << "game2" << true << false << true;
    QTest::newRow("same version again") << "game1" << true << false << false;
    QTest::newRow("update over a partial installation") << "game2" << false << false << false;
    // The manager keeps what it read for the status; the update goes by what the marker holds when it
    // starts, here already the new version.
    QTest::newRow("marker rewritten after the status was read") << "game2" << true << true << false;
}

void TestInstallationFlow::fastScanOnlyForAnUpdateOverACompleteInstallation()
{
    // A file of several chunks changed behind the launcher's back, its size kept: only the fast scan
    // takes the installed configuration's word for it and leaves it as it is.
    QFETCH(QString, release);
    QFETCH(bool, complete);
    QFETCH(bool, markerReplaced);
    QFETCH(bool, trusted);
    helper->getLauncherSettings()->fastScan = true;
    auto configuration = configurationWith({ "game" });
    const std::shared_ptr<TPackage> game = configuration->packages[0];
    QVERIFY(installOnce(configuration, game));
    const QDir folder = folderOf("game");
    QByteArray changed = gameContent()["bin/game"];
    changed[3 * scanfixture::MiB] = char(~changed[3 * scanfixture::MiB]);
    QVERIFY(korvane::test::writeAll(folder.filePath("bin/game"), changed));
    if (!complete)
        QVERIFY(QFile::rename(folder.filePath("package.json"), folder.filePath("partial-package.json")));

    load(*game, server, QDir(served.path()), release);
    TRecordingManager manager(configuration, network, helper);
    if (markerReplaced)
        QVERIFY(korvane::test::writeAll(folder.filePath("package.json"), game->packageConfiguration()->packageJson));
    TFinishes finishes(manager);
    manager.installOrUpdatePackage(game);
    QVERIFY(QTest::qWaitFor([&] { return !finishes.finished.isEmpty(); }, 30000));
    QCOMPARE(finishes.succeeded, QList<bool> { true });
    QCOMPARE(readAll(folder.filePath("bin/game")) == changed, trusted);
    QCOMPARE(readAll(folder.filePath("readme.txt")),
        QByteArray(release == "game2" ? "Korvane Vedudi, the second\n" : "Korvane Vedudi\n"));
}

void TestInstallationFlow::downloadFlushesWhatItWrote()
{
    // The marker step flushes every file but those the download completed and put on disk itself:
    // reused files are never in that list.
    auto configuration = configurationWith({ "game" });
    const std::shared_ptr<TPackage> game = configuration->packages[0];
    for (const QString& release : { QStringLiteral("game1"), QStringLiteral("game2") }) {
        load(*game, server, QDir(served.path()), release);
        TRecordingManager manager(configuration, network, helper);
        TFinishes finishes(manager);
        QSet<QString> flushed;
        connect(&manager, &TInstallationManager::installationOrUpdateFinished, this,
            [&](const TPackageInstallation& installation) { flushed = installation.getFlushedFiles(); });
        manager.installOrUpdatePackage(game);
        QVERIFY(QTest::qWaitFor([&] { return !finishes.finished.isEmpty(); }, 30000));
        QCOMPARE(finishes.succeeded, QList<bool> { true });
        if (release == "game1") {
            const QList<QString> names = gameContent().keys();
            QSet<QString> all(names.begin(), names.end());
            all.insert("maps/world.map"); // the asset
            QCOMPARE(flushed, all);
        } else {
            QCOMPARE(flushed, QSet<QString> { "readme.txt" });
        }
    }
}

void TestInstallationFlow::failedDownloadLeavesThePackagePartial()
{
    auto configuration = configurationWith({ "game" });
    const std::shared_ptr<TPackage> game = configuration->packages[0];
    const QUrl firstChunk = game->packageConfiguration()->chunks.front().url;
    server.setScript(firstChunk.path(), { korvane::test::TResponse::withStatus(404) });
    TRecordingManager manager(configuration, network, helper);
    TFinishes finishes(manager);
    manager.installOrUpdatePackage(game);
    QTRY_COMPARE_WITH_TIMEOUT(finishes.finished.size(), 1, 30000);
    QCOMPARE(finishes.succeeded, QList<bool> { false });
    QCOMPARE(finishes.reasons.front(), EPackageDownloaderError::DownloadFailed);
    QCOMPARE(finishes.allFinished, 1);
    QVERIFY(!manager.steps.contains(allSteps[5]));
    QVERIFY(!manager.steps.contains(allSteps[6]));
    QCOMPARE(game->localStatus, ELocalPackageStatus::PartiallyInstalled);
    QVERIFY(!game->isUpToDate);
    QVERIFY(QFileInfo::exists(folderOf("game").filePath("partial-package.json")));
    QVERIFY(!QFileInfo::exists(folderOf("game").filePath("package.json")));
    QVERIFY(!TInstallationManager::isFolderBeingWritten(folderOf("game")));
}

void TestInstallationFlow::failedVerificationLeavesThePackagePartial()
{
    // The chunks are right but the file's own hash is not: only the verification can tell.
    helper->getLauncherSettings()->skipVerification = false;
    auto configuration = configurationWith({ "game" });
    const std::shared_ptr<TPackage> game = configuration->packages[0];
    const TPackageConfigurationReader* loaded = game->packageConfiguration();
    QJsonObject document = QJsonDocument::fromJson(loaded->packageJson).object();
    QJsonArray files = document.value("files").toArray();
    for (QJsonValueRef file : files) {
        QJsonObject object = file.toObject();
        if (object.value("localfile").toString() == "readme.txt")
            object.insert("unpackedhash", QString(64, QLatin1Char('0')));
        file = object;
    }
    document.insert("files", files);
    game->currentPlatformBuild()->setConfiguration(new TPackageConfigurationReader(
        QJsonDocument(document).toJson(), loaded->assetJson, loaded->packageBaseUrl, loaded->assetBaseUrl));
    QVERIFY(game->packageConfiguration()->valid);

    TRecordingManager manager(configuration, network, helper);
    TFinishes finishes(manager);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("verification of file .*readme.txt.* failed"));
    manager.installOrUpdatePackage(game);
    QTRY_COMPARE_WITH_TIMEOUT(finishes.finished.size(), 1, 30000);
    QCOMPARE(finishes.succeeded, QList<bool> { false });
    QCOMPARE(finishes.reasons.front(), EPackageDownloaderError::VerificationFailed);
    QVERIFY(manager.steps.contains(allSteps[5]));
    QVERIFY(!manager.steps.contains(allSteps[6]));
    QCOMPARE(game->localStatus, ELocalPackageStatus::PartiallyInstalled);
    QVERIFY(!game->isUpToDate);
    QVERIFY(!QFileInfo::exists(folderOf("game").filePath("package.json")));
}

void TestInstallationFlow::markerFailures_data()
{
    QTest::addColumn<QString>("fileName");
    QTest::addColumn<int>("failAt");
    QTest::addColumn<bool>("downloaded");
    QTest::addColumn<bool>("partialMarker");
    QTest::newRow("partial marker after the download") << "partial-package.json" << 2 << false << true;
    QTest::newRow("full marker") << "package.json" << 1 << true << true;
    QTest::newRow("asset file at the end") << "assets.json" << 3 << true << true;
}

void TestInstallationFlow::markerFailures()
{
    QFETCH(QString, fileName);
    QFETCH(int, failAt);
    QFETCH(bool, downloaded);
    QFETCH(bool, partialMarker);
    auto failing = std::make_shared<TFailingWriteHelper>();
    failing->fileName = fileName;
    failing->failAt = failAt;
    helper = failing;
    auto configuration = configurationWith({ "game" });
    const std::shared_ptr<TPackage> game = configuration->packages[0];
    TRecordingManager manager(configuration, network, helper);
    TFinishes finishes(manager);
    QSignalSpy diskFailures(&manager, &TInstallationManager::diskAccessFailed);
    manager.installOrUpdatePackage(game);
    QTRY_COMPARE_WITH_TIMEOUT(finishes.finished.size(), 1, 30000);
    QCOMPARE(diskFailures.count(), 1);
    QVERIFY(diskFailures.front().front().toString().contains("disk full"));
    QCOMPARE(finishes.allFinished, 1);
    QCOMPARE(manager.steps.contains(allSteps[5]), downloaded);
    QVERIFY(!manager.steps.contains(allSteps[6]));
    QVERIFY(!game->isUpToDate);
    QCOMPARE(game->localStatus, ELocalPackageStatus::PartiallyInstalled);
    QCOMPARE(QFileInfo::exists(folderOf("game").filePath("partial-package.json")), partialMarker);
    QVERIFY(!TInstallationManager::isFolderBeingWritten(folderOf("game")));
    // Whatever the step that failed, the next start sees a package that still needs work.
    TRecordingManager next(configuration, network, std::make_shared<TLauncherFilesystemHelper>());
    QCOMPARE(game->localStatus, ELocalPackageStatus::PartiallyInstalled);
}

void TestInstallationFlow::markersComeFromTheConfigurationAtTheStart()
{
    auto configuration = configurationWith({ "game" });
    const std::shared_ptr<TPackage> game = configuration->packages[0];
    const QByteArray packageDocument = game->packageConfiguration()->packageJson;
    const QByteArray assetDocument = game->packageConfiguration()->assetJson;
    TRecordingManager manager(configuration, network, helper);
    TFinishes finishes(manager);
    manager.installOrUpdatePackage(game);
    // A maintenance refresh replaces (and destroys) the package's configuration while it installs.
    load(*game, server, QDir(served.path()), "tools1");
    QTRY_COMPARE_WITH_TIMEOUT(finishes.finished.size(), 1, 30000);
    QCOMPARE(finishes.succeeded, QList<bool> { true });
    QCOMPARE(readAll(folderOf("game").filePath("package.json")), packageDocument);
    QCOMPARE(readAll(folderOf("game").filePath("assets.json")), assetDocument);
    QVERIFY(QFileInfo::exists(folderOf("game").filePath("bin/game")));
    QVERIFY(!QFileInfo::exists(folderOf("game").filePath("tool.bin")));
}

void TestInstallationFlow::invalidConfigurationIsNeverInstalled()
{
    auto configuration = configurationWith({ "game" });
    const std::shared_ptr<TPackage> game = configuration->packages[0];
    const TPackageConfigurationReader* loaded = game->packageConfiguration();
    game->currentPlatformBuild()->setConfiguration(new TPackageConfigurationReader(
        loaded->packageJson.left(40), loaded->assetJson, loaded->packageBaseUrl, loaded->assetBaseUrl));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("is not valid; nothing is installed or verified"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("is not valid; nothing is installed or verified"));
    TRecordingManager manager(configuration, network, helper);
    TFinishes finishes(manager);
    manager.installOrUpdatePackage(game);
    manager.verifyPackage(game);
    QCOMPARE(finishes.started, (QStringList { "game", "game" }));
    QCOMPARE(finishes.succeeded, (QList<bool> { false, false }));
    QCOMPARE(finishes.reasons,
        (QList<EPackageDownloaderError> {
            EPackageDownloaderError::DownloadFailed, EPackageDownloaderError::DownloadFailed }));
    QCOMPARE(finishes.allFinished, 2);
    QVERIFY(manager.steps.isEmpty());
    QVERIFY(!game->isUpToDate);
    QCOMPARE(game->localStatus, ELocalPackageStatus::NotInstalled);
    QVERIFY(readTree(folderOf("game")).isEmpty());
    QCOMPARE(server.requestCount(), 0);
}

void TestInstallationFlow::accountGroupFile_data()
{
    QTest::addColumn<bool>("targetExists");
    QTest::newRow("copied") << false;
    QTest::newRow("existing one kept") << true;
}

void TestInstallationFlow::accountGroupFile()
{
    QFETCH(bool, targetExists);
    const QDir data(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation));
    scanfixture::writeFile(data, "accountgroup.json", "{\"group\":\"beta\"}");
    const QString target = "KorvaneVedudiClient_Data/Data/Settings/accountgroup.json";
    if (targetExists)
        scanfixture::writeFile(folderOf("game"), target, "mine");
    auto configuration = configurationWith({ "game" });
    TRecordingManager manager(configuration, network, helper);
    TFinishes finishes(manager);
    manager.installOrUpdatePackage(configuration->packages[0]);
    QTRY_COMPARE_WITH_TIMEOUT(finishes.finished.size(), 1, 30000);
    QCOMPARE(finishes.succeeded, QList<bool> { true });
    QCOMPARE(readAll(folderOf("game").filePath(target)), targetExists ? "mine" : "{\"group\":\"beta\"}");
}

void TestInstallationFlow::packageOrFolderInProgressChangesNothing()
{
    auto configuration = configurationWith({ "game" });
    const std::shared_ptr<TPackage> game = configuration->packages[0];
    TRecordingManager manager(configuration, network, helper);
    TFinishes finishes(manager);
    manager.installOrUpdatePackage(game);
    const QStringList stepsBefore = manager.steps;
    manager.installOrUpdatePackage(game);
    manager.verifyPackage(game);
    QCOMPARE(finishes.started.size(), 1);
    QCOMPARE(manager.steps, stepsBefore);

    // A second manager, as a refresh of the launcher configuration makes one, keeps out of the folder.
    auto refreshed = configurationWith({ "game" });
    TRecordingManager second(refreshed, network, helper);
    TFinishes secondFinishes(second);
    second.installOrUpdatePackage(refreshed->packages[0]);
    second.verifyPackage(refreshed->packages[0]);
    QVERIFY(secondFinishes.started.isEmpty());
    QVERIFY(second.steps.isEmpty());

    QTRY_COMPARE_WITH_TIMEOUT(finishes.finished.size(), 1, 30000);
    QCOMPARE(finishes.succeeded, QList<bool> { true });
    second.verifyPackage(refreshed->packages[0]); // free again
    QTRY_COMPARE_WITH_TIMEOUT(secondFinishes.finished.size(), 1, 30000);
    QCOMPARE(secondFinishes.succeeded, QList<bool> { true });
}

void TestInstallationFlow::twoPackagesAtOnce()
{
    auto configuration = configurationWith({ "game", "tools" });
    TRecordingManager manager(configuration, network, helper);
    TFinishes finishes(manager);
    manager.installOrUpdatePackage(configuration->packages[0]);
    manager.installOrUpdatePackage(configuration->packages[1]);
    QCOMPARE(finishes.started, (QStringList { "game", "tools" }));
    QTRY_COMPARE_WITH_TIMEOUT(finishes.finished.size(), 2, 30000);
    QCOMPARE(finishes.allFinished, 1);
    QCOMPARE(finishes.succeeded, (QList<bool> { true, true }));
    for (const auto& package : configuration->packages)
        QCOMPARE(package->localStatus, ELocalPackageStatus::UpToDate);
    // Both started before any progress, so the two share one set of thresholds.
    for (int i = 1; i <= 4; ++i)
        QCOMPARE(manager.steps.count(allSteps[i]), 1);
    QCOMPARE(manager.steps.count(allSteps[0]), 2);
    QCOMPARE(manager.steps.count(allSteps[6]), 2);
    QCOMPARE(readAll(folderOf("tools").filePath("tool.bin")),
        readAll(QDir(served.path()).filePath("input-tools1/tool.bin")));
}

void TestInstallationFlow::progressFunnelSteps_data()
{
    QTest::addColumn<TReports>("reports");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("5, 60, 100 percent") << TReports { { 5, 100 }, { 60, 100 }, { 100, 100 } } << allSteps.mid(1, 4);
    QTest::newRow("rounded down") << TReports { { 99, 1000 }, { 249, 1000 } } << allSteps.mid(1, 1);
    QTest::newRow("exact thresholds") << TReports { { 1, 10 }, { 1, 4 } } << allSteps.mid(1, 2);
    QTest::newRow("total of 0") << TReports { { 5, 0 }, { 0, 0 } } << QStringList();
    QTest::newRow("each once") << TReports { { 80, 100 }, { 90, 100 }, { 100, 100 } } << allSteps.mid(1, 4);
}

void TestInstallationFlow::progressFunnelSteps()
{
    QFETCH(TReports, reports);
    QFETCH(QStringList, expected);
    TRecordingManager manager(nullptr, nullptr, helper);
    for (const auto& [downloaded, total] : reports)
        manager.sendDownloadProgressFunnelSteps(downloaded, total);
    QCOMPARE(manager.steps, expected);
}

void TestInstallationFlow::retiredManagerLivesUntilItsInstallationsEnd()
{
    auto configuration = configurationWith({ "game" });
    const std::shared_ptr<TPackage> game = configuration->packages[0];
    TInstallationManager::retire(std::make_unique<TInstallationManager>(configuration, network, helper));

    auto manager = std::make_unique<TRecordingManager>(configuration, network, helper);
    QPointer<TInstallationManager> watched = manager.get();
    int finished = 0;
    connect(manager.get(), &TInstallationManager::installationOrUpdateFinished, this, [&] { ++finished; });
    manager->installOrUpdatePackage(game);
    TInstallationManager::retire(std::move(manager));
    QVERIFY(!watched.isNull());

    auto next = std::make_unique<TRecordingManager>(configurationWith({ "game" }), network, helper);
    next->installOrUpdatePackage(game);
    QVERIFY(!next->hasInstallationsInProgress());
    QTRY_VERIFY_WITH_TIMEOUT(watched.isNull(), 30000);
    QCOMPARE(finished, 1);
    QCOMPARE(game->localStatus, ELocalPackageStatus::UpToDate);
    QPointer<TInstallationManager> idle = next.get();
    TInstallationManager::retire(std::move(next));
    QTRY_VERIFY(idle.isNull());
}

void TestInstallationFlow::managerReleasedInsideItsOwnSignals_data()
{
    QTest::addColumn<bool>("destroyDirectly");
    QTest::newRow("retired when all have finished") << false;
    QTest::newRow("destroyed when one has finished") << true;
}

void TestInstallationFlow::managerReleasedInsideItsOwnSignals()
{
    QFETCH(bool, destroyDirectly);
    auto configuration = configurationWith({ "game" });
    auto manager = std::make_unique<TRecordingManager>(configuration, network, helper);
    QPointer<TInstallationManager> watched = manager.get();
    bool released = false;
    if (destroyDirectly) {
        connect(manager.get(), &TInstallationManager::installationOrUpdateFinished, this, [&] {
            manager.reset();
            released = true;
        });
    } else {
        connect(manager.get(), &TInstallationManager::allStartedUpdatesFinished, this, [&] {
            TInstallationManager::retire(std::move(manager));
            released = true;
        });
    }
    manager->installOrUpdatePackage(configuration->packages[0]);
    QTRY_VERIFY_WITH_TIMEOUT(released, 30000);
    QTRY_VERIFY(watched.isNull());
    QTRY_VERIFY(!TInstallationManager::isFolderBeingWritten(folderOf("game")));
    QCOMPARE(configuration->packages[0]->localStatus, ELocalPackageStatus::UpToDate);
}

QTEST_MAIN(TestInstallationFlow)
#include "tst_installationflow.moc"
