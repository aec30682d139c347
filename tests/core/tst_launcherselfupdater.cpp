#include "core/launcherselfupdater.h"

#include "core/launcherconstants.h"
#include "installation/flowfixture.h"
#include "support/launcherprocess.h"
#include "support/launchersandbox.h"
#include "support/loopbackserverthread.h"
#include "support/testfiles.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QNetworkAccessManager>
#include <QProcess>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <stdexcept>

#include <signal.h>

using namespace korvane::launcher;
using namespace flowfixture;
using korvane::test::TLauncherProcess;
using korvane::test::TLauncherSandbox;
using korvane::test::TResponse;
using korvane::test::TServerThread;

using korvane::test::writeAll;

namespace {

const QString executableName = QStringLiteral("KorvaneVedudiLauncher");

// Fails every write of a file with the given name.
class TFailingWriteHelper : public TLauncherFilesystemHelper
{
public:
    QString fileName;
    void writeFile(const QString& path, const QByteArray& data) override
    {
        if (QFileInfo(path).fileName() == fileName)
            throw std::runtime_error(("I/O error on file '" + path + "': disk full").toStdString());
        TLauncherFilesystemHelper::writeFile(path, data);
    }
};

// Cannot remove any ".old" file.
class TOldFilesStayHelper : public TLauncherFilesystemHelper
{
public:
    void deleteFile(const QString& path) override
    {
        if (path.endsWith(".old"))
            throw std::runtime_error(("I/O error on file '" + path + "': permission denied").toStdString());
        TLauncherFilesystemHelper::deleteFile(path);
    }
};

struct TStart
{
    QString program;
    QStringList arguments;
    QString workingDirectory;
};

// The launcher as it is installed before the update, with a leftover of an even earlier update.
TTree earlierLauncher()
{
    return { { executableName, "#!/bin/sh\necho earlier\n" }, { "lib/libcore.so", scanfixture::randomBytes(300000, 4) },
        { "lib/libgone.so", "gone" }, { "readme.txt", "Korvane Vedudi launcher\n" },
        { "stale.old", "left by an earlier update" } };
}

TTree newLauncher()
{
    return { { executableName, "#!/bin/sh\necho new\n" }, { "lib/libcore.so", scanfixture::randomBytes(300000, 3) },
        { "lib/libextra.so", scanfixture::randomBytes(200000, 5) }, { "plugins/new.so", "a new folder" },
        { "readme.txt", "Korvane Vedudi launcher\n" } };
}

QByteArray sha256Hex(const QByteArray& data)
{
    return QCryptographicHash::hash(data, QCryptographicHash::Sha256).toHex();
}

// A launcher configuration whose launcher member has a build for this machine, loaded with the
// package document, or without one when the document is empty.
std::shared_ptr<TLauncherConfigurationReader> offering(
    const QByteArray& packageDocument, bool buildForThisMachine = true)
{
    const QJsonObject launcher { { "name", "Korvane Vedudi Launcher" },
        { "builds",
            QJsonArray { QJsonObject { { "os", buildForThisMachine ? "linux" : "windows" },
                { "architecture", "x86_64" }, { "url", "launcher/package.json" } } } } };
    auto configuration = std::make_shared<TLauncherConfigurationReader>(QUrl("http://127.0.0.1/"),
        QJsonDocument(QJsonObject { { "launcher", launcher }, { "packages", QJsonArray {} } }).toJson());
    TPackageBuild* build = configuration->launcherPackage->currentPlatformBuild();
    if (build && !packageDocument.isEmpty()) {
        const QUrl base("http://127.0.0.1/launcher/");
        build->setConfiguration(new TPackageConfigurationReader(packageDocument, {}, base, base));
    }
    return configuration;
}

QByteArray packageDocument(const QString& version, const QString& localFile = QStringLiteral("readme.txt"))
{
    const QJsonObject file { { "localfile", localFile }, { "unpackedsize", 0 }, { "unpackedhash", "" },
        { "chunks", QJsonArray {} } };
    return QJsonDocument(QJsonObject { { "version", version }, { "executable", executableName },
                             { "chunks", QJsonArray {} }, { "files", QJsonArray { file } } })
        .toJson();
}

// A content folder made by make-package; false when the tool failed.
bool makePackage(const QStringList& arguments)
{
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral(KORVANE_MAKE_PACKAGE_BINARY), arguments);
    if (!tool.waitForFinished(60000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        qWarning() << "make-package failed:" << tool.readAll();
        return false;
    }
    return true;
}

// Ids of the processes that run a program of the folder, also one whose file has been replaced since.
QList<qint64> processesRunningFrom(const QString& folder)
{
    QList<qint64> ids;
    const QString prefix = QFileInfo(folder).canonicalFilePath() + QLatin1Char('/');
    for (const QString& entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        bool number = false;
        const qint64 id = entry.toLongLong(&number);
        if (number && QFile::symLinkTarget("/proc/" + entry + "/exe").startsWith(prefix))
            ids << id;
    }
    return ids;
}

// Counts the starts the client script recorded.
int clientStarts(const QString& home)
{
    return int(readAll(home + "/client-record.txt").count("start\n"));
}
} // namespace

class TestLauncherSelfUpdater : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void versionCheck_data();
    void versionCheck();
    void noUpdateFromTheCacheOrTheSameVersion();
    void restartArguments_data();
    void restartArguments();
    void updateMovesTheRunningFilesAsideAndRestarts();
    void failedUpdatePutsTheEarlierLauncherBack();
    void restartFailurePutsTheEarlierLauncherBack();
    void failedUpdateLeavesFolderAndMarkersAsTheyWere_data();
    void failedUpdateLeavesFolderAndMarkersAsTheyWere();
    void startUpRepairAndCleanUpTouchOnlyTheInstalledFiles();
    void updateThatRemovesTheExecutableFails();
    void updateThatCannotStartFailsLater_data();
    void updateThatCannotStartFailsLater();
    void restoreFailureIsADiskAccessFailure();
    void diskFailureDuringTheUpdateFails();
    void secondStartWhileUpdatingChangesNothing();
    void builtLauncherUpdatesItselfAndRestarts();
    void killedUpdateLeavesAWholeLauncher();

private:
    QDir folder() { return QDir(helper->packagesDirectory().filePath(QStringLiteral("app"))); }
    QString executable() { return folder().filePath(executableName); }
    std::shared_ptr<TPackage> launcherPackage(const QString& release);
    std::unique_ptr<TLauncherSelfUpdater> updater(std::shared_ptr<TLauncherFilesystemHelper> files = {});
    // The folder without the installation markers.
    TTree launcherFiles();
    void installEarlierLauncher();

    QTemporaryDir home;
    QTemporaryDir served;
    TLoopbackServer server;
    std::shared_ptr<TLauncherFilesystemHelper> helper;
    std::shared_ptr<QNetworkAccessManager> network = std::make_shared<QNetworkAccessManager>();
    std::vector<std::shared_ptr<TLauncherConfigurationReader>> configurations;
    QList<TStart> starts;
    bool startSucceeds = true;
};

void TestLauncherSelfUpdater::initTestCase()
{
    QVERIFY(home.isValid() && served.isValid() && server.isListening());
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    registerInstallationMetaTypes();
    server.serveFolder(served.path());
    const QDir out(served.path());
    QVERIFY(publish(out, "v20", newLauncher(), "0.0.20", {}, "7", { executableName }, "none"));
    TTree withoutExecutable = newLauncher();
    withoutExecutable.remove(executableName);
    withoutExecutable.remove("lib/libcore.so");
    QVERIFY(publish(out, "v21", withoutExecutable, "0.0.21", {}, "7", {}, "none"));
}

void TestLauncherSelfUpdater::init()
{
    helper = std::make_shared<TLauncherFilesystemHelper>();
    QDir(helper->packagesDirectory()).removeRecursively();
    helper->getLauncherSettings()->retries = 0;
    helper->getLauncherSettings()->chunkTransportTimeOut = 10000;
    server.clearScripts();
    starts.clear();
    startSucceeds = true;
}

std::shared_ptr<TPackage> TestLauncherSelfUpdater::launcherPackage(const QString& release)
{
    auto configuration = launcherConfiguration({ "app" });
    load(*configuration->packages[0], server, QDir(served.path()), release);
    configurations.push_back(configuration);
    return configuration->packages[0];
}

std::unique_ptr<TLauncherSelfUpdater> TestLauncherSelfUpdater::updater(std::shared_ptr<TLauncherFilesystemHelper> files)
{
    if (files) {
        files->getLauncherSettings()->retries = 0;
        files->getLauncherSettings()->chunkTransportTimeOut = 10000;
    }
    auto result = std::make_unique<TLauncherSelfUpdater>(network, files ? files : helper);
    result->setExecutablePath(executable());
    result->setProcessStarter([this](const QString& program, const QStringList& arguments, const QString& directory) {
        starts << TStart { program, arguments, directory };
        return startSucceeds;
    });
    return result;
}

TTree TestLauncherSelfUpdater::launcherFiles()
{
    TTree files = readTree(folder());
    const TLauncherSettings& settings = *helper->getLauncherSettings();
    for (const QString& marker : { settings.packageFile, settings.partialPackageFile, settings.assetFile })
        files.remove(marker);
    return files;
}

void TestLauncherSelfUpdater::installEarlierLauncher()
{
    writeTree(folder(), earlierLauncher());
    QFile::setPermissions(executable(), QFile::permissions(executable()) | QFileDevice::ExeOwner);
}

void TestLauncherSelfUpdater::versionCheck_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::addColumn<bool>("buildForThisMachine");
    QTest::addColumn<QString>("ownVersion");
    QTest::addColumn<QString>("offered");
    QTest::addColumn<bool>("update");

    QTest::newRow("same") << packageDocument("0.0.19") << true << "0.0.19"
                          << "0.0.19" << false;
    QTest::newRow("higher") << packageDocument("0.0.20") << true << "0.0.19"
                            << "0.0.20" << true;
    QTest::newRow("lower") << packageDocument("0.0.9") << true << "0.0.19"
                           << "0.0.9" << true;
    QTest::newRow("unrelated") << packageDocument("winter") << true << "0.0.19"
                               << "winter" << true;
    QTest::newRow("case differs") << packageDocument("0.0.19A") << true << "0.0.19a"
                                  << "0.0.19A" << true;
    QTest::newRow("empty") << packageDocument("") << true << "0.0.19"
                           << "?" << true;
    QTest::newRow("no configuration yet") << QByteArray() << true << "0.0.19"
                                          << "" << false;
    QTest::newRow("no build for this machine") << packageDocument("0.0.20") << false << "0.0.19"
                                               << "" << false;
    QTest::newRow("rejected configuration") << packageDocument("0.0.20", "../outside") << true << "0.0.19"
                                            << "" << false;
}

void TestLauncherSelfUpdater::versionCheck()
{
    QFETCH(QByteArray, document);
    QFETCH(bool, buildForThisMachine);
    QFETCH(QString, ownVersion);
    QFETCH(QString, offered);
    QFETCH(bool, update);
    if (QTest::currentDataTag() == QLatin1String("rejected configuration")) {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Package configuration rejected"));
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("launcher package is not valid"));
    }
    const auto configuration = offering(document, buildForThisMachine);
    QCOMPARE(TLauncherSelfUpdater::offeredVersion(configuration.get()), offered);
    QCOMPARE(TLauncherSelfUpdater::isUpdateOffered(configuration.get(), ownVersion), update);
}

void TestLauncherSelfUpdater::noUpdateFromTheCacheOrTheSameVersion()
{
    QCOMPARE(TLauncherSelfUpdater::isUpdateOffered(nullptr, launcherVersion), false);
    const auto updater = this->updater();
    QVERIFY(!updater->checkForUpdate(nullptr, false));
    QVERIFY(!updater->checkForUpdate(offering(packageDocument(launcherVersion)), false));
    // Only a configuration fresh from the server may replace the launcher.
    QVERIFY(!updater->checkForUpdate(offering(packageDocument("0.0.20")), true));
    QVERIFY(!updater->getInstallationManager());
}

void TestLauncherSelfUpdater::restartArguments_data()
{
    QTest::addColumn<QStringList>("current");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("no options") << QStringList { "/opt/kv/KorvaneVedudiLauncher" }
                                << QStringList { "--skip-selfupdate" };
    QTest::newRow("options kept in order") << QStringList { "/opt/kv/KorvaneVedudiLauncher", "--patch",
        "/games/a b/client", "-u" } << QStringList { "--patch", "/games/a b/client", "-u", "--skip-selfupdate" };
    QTest::newRow("empty") << QStringList {} << QStringList { "--skip-selfupdate" };
}

void TestLauncherSelfUpdater::restartArguments()
{
    QFETCH(QStringList, current);
    QFETCH(QStringList, expected);
    QCOMPARE(TLauncherSelfUpdater::restartArguments(current), expected);
}

void TestLauncherSelfUpdater::updateMovesTheRunningFilesAsideAndRestarts()
{
    installEarlierLauncher();
    const auto updater = this->updater();
    QSignalSpy restartRequired(updater.get(), &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired);
    QSignalSpy failed(updater.get(), &TLauncherSelfUpdater::updateFailed);
    QSignalSpy diskFailed(updater.get(), &TLauncherSelfUpdater::diskAccessFailed);
    updater->startSelfUpdate(launcherPackage("v20"));
    QVERIFY(updater->getInstallationManager());
    QCOMPARE(updater->getInstallationManager()->getInstallationMode(), 1);
    QVERIFY(restartRequired.wait(20000));
    QCOMPARE(failed.count() + diskFailed.count(), 0);

    const TTree earlier = earlierLauncher();
    TTree expected = newLauncher();
    // The replaced files are kept aside; what the new launcher does not name and what did not change
    // stay as they are.
    expected.insert(executableName + ".old", earlier[executableName]);
    expected.insert("lib/libcore.so.old", earlier["lib/libcore.so"]);
    expected.insert("lib/libgone.so", earlier["lib/libgone.so"]);
    expected.insert("stale.old", earlier["stale.old"]);
    QCOMPARE(launcherFiles(), expected);
    QVERIFY(QFileInfo(executable()).isExecutable());
    QVERIFY(QFileInfo::exists(folder().filePath(helper->getLauncherSettings()->packageFile)));

    QVERIFY(updater->restart({ "/somewhere/KorvaneVedudiLauncher", "--show-ui" }));
    QCOMPARE(starts.size(), 1);
    QCOMPARE(starts[0].program, executable());
    QCOMPARE(starts[0].arguments, (QStringList { "--show-ui", "--skip-selfupdate" }));
    QCOMPARE(starts[0].workingDirectory, QDir::currentPath());
    QCOMPARE(launcherFiles(), expected);
}

void TestLauncherSelfUpdater::failedUpdatePutsTheEarlierLauncherBack()
{
    installEarlierLauncher();
    // The new library never arrives; the new executable does.
    server.setScript(
        "/v20/package/chunks/" + sha256Hex(newLauncher()["lib/libcore.so"]), { TResponse::withStatus(404) });
    const auto updater = this->updater();
    QSignalSpy restartRequired(updater.get(), &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired);
    QSignalSpy failed(updater.get(), &TLauncherSelfUpdater::updateFailed);
    QSignalSpy diskFailed(updater.get(), &TLauncherSelfUpdater::diskAccessFailed);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Updating Korvane Vedudi failed: Error \\d+$"));
    updater->startSelfUpdate(launcherPackage("v20"));
    QVERIFY(failed.wait(20000));
    QTest::qWait(50);
    QCOMPARE(restartRequired.count() + diskFailed.count(), 0);
    QCOMPARE(failed.count(), 1);
    // Every file is the earlier launcher's again; the earlier leftover is left alone.
    TTree expected = earlierLauncher();
    QCOMPARE(launcherFiles(), expected);
    QVERIFY(QFileInfo(executable()).isExecutable());
}

void TestLauncherSelfUpdater::restartFailurePutsTheEarlierLauncherBack()
{
    installEarlierLauncher();
    const auto updater = this->updater();
    QSignalSpy restartRequired(updater.get(), &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired);
    updater->startSelfUpdate(launcherPackage("v20"));
    QVERIFY(restartRequired.wait(20000));
    startSucceeds = false;
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Restarting the launcher after its update failed:"));
    QVERIFY(!updater->restart({ "KorvaneVedudiLauncher" }));
    QCOMPARE(starts.size(), 1);
    QCOMPARE(launcherFiles(), earlierLauncher());
}

void TestLauncherSelfUpdater::failedUpdateLeavesFolderAndMarkersAsTheyWere_data()
{
    QTest::addColumn<bool>("downloadFails");
    QTest::newRow("a chunk never arrives") << true;
    QTest::newRow("the restart fails") << false;
}

void TestLauncherSelfUpdater::failedUpdateLeavesFolderAndMarkersAsTheyWere()
{
    QFETCH(bool, downloadFails);
    installEarlierLauncher();
    const TLauncherSettings& settings = *helper->getLauncherSettings();
    QVERIFY(writeAll(folder().filePath(settings.packageFile), packageDocument("0.0.19")));
    const TTree before = readTree(folder());
    if (downloadFails) {
        server.setScript(
            "/v20/package/chunks/" + sha256Hex(newLauncher()["lib/libcore.so"]), { TResponse::withStatus(404) });
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Updating Korvane Vedudi failed: Error \\d+$"));
    }
    const auto updater = this->updater();
    QSignalSpy restartRequired(updater.get(), &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired);
    QSignalSpy failed(updater.get(), &TLauncherSelfUpdater::updateFailed);
    updater->startSelfUpdate(launcherPackage("v20"));
    if (downloadFails) {
        QVERIFY(failed.wait(20000));
    } else {
        QVERIFY(restartRequired.wait(20000));
        startSucceeds = false;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Restarting the launcher after its update failed:"));
        QVERIFY(!updater->restart({ "KorvaneVedudiLauncher" }));
    }
    // The earlier files and markers, no temporary file, no folder of the new launcher.
    QCOMPARE(readTree(folder()), before);
    QVERIFY(!QFileInfo::exists(folder().filePath("plugins")));
    QVERIFY(QFileInfo(executable()).isExecutable());
}

void TestLauncherSelfUpdater::startUpRepairAndCleanUpTouchOnlyTheInstalledFiles()
{
    // The installed launcher lists "a" and "sub/b" (one marker each, as during an update), not "x".
    const QDir dir = folder();
    const QByteArray listA = R"({ "version": "1", "chunks": [], "files": [
        { "localfile": "a", "unpackedsize": 0, "unpackedhash": "", "chunks": [] } ] })";
    const QByteArray listB = R"({ "version": "2", "chunks": [], "files": [
        { "localfile": "sub/b", "unpackedsize": 0, "unpackedhash": "", "chunks": [] } ] })";
    const TLauncherSettings& settings = *helper->getLauncherSettings();
    writeTree(dir,
        { { settings.packageFile, listA }, { settings.partialPackageFile, listB }, { "a.old", "old a" },
            { "sub/b", "new b" }, { "sub/b.old", "old b" }, { "sub/.b.kvupdate", "half b" }, { "x.old", "old x" },
            { "sub/c.old", "not ours" } });

    // A missing installed file comes back from its ".old"; one that is there, or not listed, stays.
    QCOMPARE(TLauncherSelfUpdater::repairInterruptedUpdate(dir, *helper), QStringList { dir.filePath("a") });
    QCOMPARE(readAll(dir.filePath("a")), QByteArray("old a"));
    QVERIFY(!QFileInfo::exists(dir.filePath("x")));

    QVERIFY(writeAll(dir.filePath("a.old"), "older a"));
    TLauncherSelfUpdater::removeLeftovers(dir, *helper);
    TTree expected { { settings.packageFile, listA }, { settings.partialPackageFile, listB }, { "a", "old a" },
        { "sub/b", "new b" }, { "x.old", "old x" }, { "sub/c.old", "not ours" } };
    QCOMPARE(readTree(dir), expected);
}

void TestLauncherSelfUpdater::updateThatRemovesTheExecutableFails()
{
    installEarlierLauncher();
    {
        const auto first = updater();
        QSignalSpy restartRequired(first.get(), &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired);
        first->startSelfUpdate(launcherPackage("v20"));
        QVERIFY(restartRequired.wait(20000));
    }
    // The next run is offered a launcher without the executable that runs.
    const auto second = updater();
    QSignalSpy failed(second.get(), &TLauncherSelfUpdater::updateFailed);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("the update left no executable at"));
    second->startSelfUpdate(launcherPackage("v21"));
    QVERIFY(failed.wait(20000));
    const TTree files = launcherFiles();
    QCOMPARE(files.value(executableName), newLauncher()[executableName]);
    QCOMPARE(files.value("lib/libcore.so"), newLauncher()["lib/libcore.so"]);
    QVERIFY(QFileInfo(executable()).isExecutable());
}

void TestLauncherSelfUpdater::updateThatCannotStartFailsLater_data()
{
    QTest::addColumn<QString>("reason");
    QTest::newRow("no package configuration") << "none";
    QTest::newRow("rejected package configuration") << "rejected";
    QTest::newRow("marker cannot be written") << "marker";
}

void TestLauncherSelfUpdater::updateThatCannotStartFailsLater()
{
    QFETCH(QString, reason);
    installEarlierLauncher();
    std::shared_ptr<TPackage> package = launcherPackage("v20");
    std::shared_ptr<TLauncherFilesystemHelper> files;
    if (reason == "none") {
        package->currentPlatformBuild()->setConfiguration(nullptr);
        QTest::ignoreMessage(QtCriticalMsg, "Updating Korvane Vedudi failed: the installation did not start");
    } else if (reason == "rejected") {
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Package configuration rejected"));
        const QUrl base("http://127.0.0.1/");
        package->currentPlatformBuild()->setConfiguration(
            new TPackageConfigurationReader(packageDocument("0.0.20", "../outside"), {}, base, base));
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Updating Korvane Vedudi failed: Error \\d+$"));
    } else {
        auto failing = std::make_shared<TFailingWriteHelper>();
        failing->fileName = helper->getLauncherSettings()->partialPackageFile;
        files = failing;
        QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Updating Korvane Vedudi failed: I/O error on file"));
    }
    const auto updater = this->updater(files);
    QSignalSpy restartRequired(updater.get(), &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired);
    QSignalSpy failed(updater.get(), &TLauncherSelfUpdater::updateFailed);
    QSignalSpy diskFailed(updater.get(), &TLauncherSelfUpdater::diskAccessFailed);
    updater->startSelfUpdate(package);
    // The caller has shown its update splash before any outcome arrives.
    QCOMPARE(failed.count(), 0);
    QVERIFY(failed.wait(5000));
    QTest::qWait(50);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(restartRequired.count() + diskFailed.count(), 0);
    QCOMPARE(launcherFiles(), earlierLauncher());
}

void TestLauncherSelfUpdater::restoreFailureIsADiskAccessFailure()
{
    installEarlierLauncher();
    {
        const auto first = updater();
        QSignalSpy restartRequired(first.get(), &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired);
        first->startSelfUpdate(launcherPackage("v20"));
        QVERIFY(restartRequired.wait(20000));
    }
    // The next update cannot write the full marker, so it fails; putting the earlier marker back fails
    // the same way.
    auto failing = std::make_shared<TFailingWriteHelper>();
    failing->fileName = helper->getLauncherSettings()->packageFile;
    const auto second = updater(failing);
    QSignalSpy failed(second.get(), &TLauncherSelfUpdater::updateFailed);
    QSignalSpy diskFailed(second.get(), &TLauncherSelfUpdater::diskAccessFailed);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Updating Korvane Vedudi failed: \"I/O error on file"));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Updating Korvane Vedudi failed: Error \\d+$"));
    second->startSelfUpdate(launcherPackage("v21"));
    QVERIFY(diskFailed.wait(20000));
    QCOMPARE(failed.count(), 0);
    QVERIFY(diskFailed[0][0].toString().contains(folder().filePath(helper->getLauncherSettings()->packageFile)));
    // The files went back before the marker failed.
    QCOMPARE(readAll(executable()), newLauncher()[executableName]);
    QVERIFY(!QFileInfo::exists(executable() + ".old"));
}

void TestLauncherSelfUpdater::diskFailureDuringTheUpdateFails()
{
    installEarlierLauncher();
    {
        const auto first = updater();
        QSignalSpy restartRequired(first.get(), &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired);
        first->startSelfUpdate(launcherPackage("v20"));
        QVERIFY(restartRequired.wait(20000));
    }
    // The next update must move files over the ".old" files of the first, which cannot be removed: the
    // new files cannot be put in place, and the update fails.
    const auto second = updater(std::make_shared<TOldFilesStayHelper>());
    QSignalSpy restartRequired(second.get(), &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired);
    QSignalSpy failed(second.get(), &TLauncherSelfUpdater::updateFailed);
    QSignalSpy diskFailed(second.get(), &TLauncherSelfUpdater::diskAccessFailed);
    QTest::ignoreMessage(QtCriticalMsg,
        QRegularExpression("Putting the new files of .* in place failed: .*I/O error on file .*permission denied"));
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Updating Korvane Vedudi failed: Error \\d+$"));
    second->startSelfUpdate(launcherPackage("v21"));
    QVERIFY(failed.wait(5000));
    QTest::qWait(50);
    QCOMPARE(failed.count(), 1);
    QCOMPARE(restartRequired.count() + diskFailed.count(), 0);
    QCOMPARE(readAll(executable()), newLauncher()[executableName]);
    QCOMPARE(readAll(folder().filePath("lib/libcore.so")), newLauncher()["lib/libcore.so"]);
}

void TestLauncherSelfUpdater::secondStartWhileUpdatingChangesNothing()
{
    installEarlierLauncher();
    TResponse late = TResponse::delayed(500);
    server.setScript("/v20/package/chunks/" + sha256Hex(newLauncher()["lib/libcore.so"]), { late });
    const auto updater = this->updater();
    QSignalSpy restartRequired(updater.get(), &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired);
    QSignalSpy failed(updater.get(), &TLauncherSelfUpdater::updateFailed);
    const std::shared_ptr<TPackage> package = launcherPackage("v20");
    updater->startSelfUpdate(package);
    TInstallationManager* running = updater->getInstallationManager();
    updater->startSelfUpdate(package);
    QCOMPARE(updater->getInstallationManager(), running);
    QVERIFY(restartRequired.wait(20000));
    QTest::qWait(50);
    QCOMPARE(restartRequired.count(), 1);
    QCOMPARE(failed.count(), 0);
    QCOMPARE(readAll(executable()), newLauncher()[executableName]);
}

void TestLauncherSelfUpdater::builtLauncherUpdatesItselfAndRestarts()
{
    // The new "launcher" lets go of the old one's output, records how it was started, waits (boundedly) until the test
    // has seen the old one end, and becomes the launcher that was moved aside, which then runs as the next start.
    const QByteArray newExecutable = "#!/bin/sh\n"
                                     "exec > \"$HOME/restarted.out\" 2>&1\n"
                                     "printf '%s\\n' \"$PWD\" \"$@\" > \"$HOME/restarted.tmp\"\n"
                                     "mv \"$HOME/restarted.tmp\" \"$HOME/restarted.txt\"\n"
                                     "echo $$ > \"$HOME/restarted.pid\"\n"
                                     "i=0\n"
                                     "while [ ! -f \"$HOME/go\" ] && [ $i -lt 200 ]; do sleep 0.05; i=$((i+1)); done\n"
                                     "[ -f \"$HOME/go\" ] || exit 0\n"
                                     "exec \"$0.old\" \"$@\"\n";
    QTemporaryDir content;
    QVERIFY(content.isValid());
    QVERIFY(
        publish(QDir(content.path()), "launcher", { { executableName, newExecutable }, { "lib/extra.txt", "extra" } },
            "0.0.20", {}, "7", { executableName }, "none"));
    const QJsonObject launcher { { "name", "Korvane Vedudi Launcher" },
        { "builds",
            QJsonArray { QJsonObject {
                { "os", "linux" }, { "architecture", "x86_64" }, { "url", "package/package.json" } } } } };
    const QByteArray document
        = QJsonDocument(QJsonObject { { "launcher", launcher }, { "packages", QJsonArray {} } }).toJson();
    TServerThread server([&](TLoopbackServer& s) {
        s.serveFolder(content.path());
        s.setBody("/launcher/dulmetadata.json", document);
    });

    QByteArray settings = TLauncherSandbox::defaultSettings();
    settings.replace("http://127.0.0.1:1/launcher/dulmetadata.json",
        server->url(QStringLiteral("/launcher/dulmetadata.json")).toEncoded());
    settings.replace("ipV4Mode=true", "ipV4Mode=false");
    settings.replace("retries=5;", "retries=0");
    TLauncherSandbox sandbox(settings);
    QVERIFY(sandbox.isValid());
    const QDir home(sandbox.homeFolder());
    const QDir bin(sandbox.binaryFolder());
    const QByteArray builtLauncher = readAll(sandbox.launcherPath());
    const QByteArray shippedSettings = readAll(bin.filePath("launchersettings.ini"));

    // The restarted launcher is no child of the test: it is ended by its id, whatever happens below.
    struct TRestartedKiller
    {
        QString pidFile;
        ~TRestartedKiller()
        {
            const qint64 pid = readAll(pidFile).trimmed().toLongLong();
            if (pid <= 0 || ::kill(pid_t(pid), SIGKILL) != 0)
                return;
            for (int i = 0; i < 100 && ::kill(pid_t(pid), 0) == 0; ++i)
                QThread::msleep(50);
        }
    } killer { home.filePath("restarted.pid") };

    TLauncherProcess process(sandbox);
    QVERIFY(process.start({ "--show-ui" }));
    QVERIFY2(process.waitForFinished(30000), sandbox.readLog().constData());
    QCOMPARE(process.exitStatus(), QProcess::NormalExit);
    QVERIFY2(process.exitCode() == 0, sandbox.readLog().constData());
    QVERIFY(sandbox.readLog().contains("startSelfUpdate"));

    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(home.filePath("restarted.txt")), 10000);
    QCOMPARE(QString::fromUtf8(readAll(home.filePath("restarted.txt"))).split('\n', Qt::SkipEmptyParts),
        (QStringList { bin.absolutePath(), "--show-ui", "--skip-selfupdate" }));
    QCOMPARE(readAll(sandbox.launcherPath()), newExecutable);
    QCOMPARE(readAll(sandbox.launcherPath() + ".old"), builtLauncher);
    QCOMPARE(readAll(bin.filePath("lib/extra.txt")), QByteArray("extra"));
    QCOMPARE(readAll(bin.filePath("launchersettings.ini")), shippedSettings);

    // The next start skips the check and removes what the update moved aside. Run from the file that
    // was moved aside, it logs under that name.
    QVERIFY(writeAll(home.filePath("go"), {}));
    const QString nextLog = QFileInfo(sandbox.logFilePath()).dir().filePath(executableName + ".old.log");
    QTRY_VERIFY_WITH_TIMEOUT(readAll(nextLog).contains("onLauncherReadyForAction"), 15000);
    QVERIFY(!QFileInfo::exists(sandbox.launcherPath() + ".old"));
    QVERIFY(!readAll(nextLog).contains("startSelfUpdate"));
    QCOMPARE(readAll(sandbox.launcherPath()), newExecutable);
}

void TestLauncherSelfUpdater::killedUpdateLeavesAWholeLauncher()
{
    // The new launcher is the built one with bytes appended, so it runs and differs; a second file of the
    // package changes too. The game is a script that records its starts.
    QTemporaryDir content;
    QVERIFY(content.isValid());
    const QDir root(content.path());
    const QByteArray builtLauncher = readAll(QStringLiteral(KORVANE_LAUNCHER_BINARY));
    const QByteArray newProgram = builtLauncher + scanfixture::randomBytes(3 * 1024 * 1024 + 17, 21);
    const QByteArray oldHelper = scanfixture::randomBytes(200000, 22);
    const QByteArray newHelper = scanfixture::randomBytes(200000, 23);
    QVERIFY(writeAll(root.filePath("launcher-input/" + executableName), newProgram));
    QVERIFY(QFile::setPermissions(root.filePath("launcher-input/" + executableName),
        QFile::permissions(root.filePath("launcher-input/" + executableName)) | QFileDevice::ExeOwner));
    QVERIFY(writeAll(root.filePath("launcher-input/lib/helper.dat"), newHelper));
    QVERIFY(makePackage({ "--input", root.filePath("launcher-input"), "--output", root.filePath("served/launcher"),
        "--name", "Korvane Vedudi Launcher", "--version", "0.0.20", "--executable", executableName, "--chunk-size",
        "1048576", "--packing", "none" }));
    const QByteArray client = "#!/bin/sh\necho start >> \"$HOME/client-record.txt\"\n";
    QVERIFY(writeAll(root.filePath("game-input/bin/client"), client));
    QVERIFY(QFile::setPermissions(root.filePath("game-input/bin/client"),
        QFile::permissions(root.filePath("game-input/bin/client")) | QFileDevice::ExeOwner));
    QVERIFY(makePackage({ "--input", root.filePath("game-input"), "--output", root.filePath("served/game"), "--name",
        "Game", "--directory-name", "game", "--version", "1", "--install-automatically", "--executable", "bin/client",
        "--packing", "none" }));
    QJsonObject game = QJsonDocument::fromJson(readAll(root.filePath("served/game/launcher.json")))
                           .object()["packages"][0]
                           .toObject();
    QJsonArray gameBuilds = game["builds"].toArray();
    QJsonObject gameBuild = gameBuilds[0].toObject();
    gameBuild["url"] = "game/" + gameBuild["url"].toString();
    gameBuilds[0] = gameBuild;
    game["builds"] = gameBuilds;
    const QJsonObject launcher { { "name", "Korvane Vedudi Launcher" },
        { "builds",
            QJsonArray { QJsonObject {
                { "os", "linux" }, { "architecture", "x86_64" }, { "url", "launcher/package/package.json" } } } } };
    QVERIFY(writeAll(root.filePath("served/launcher.json"),
        QJsonDocument(QJsonObject { { "launcher", launcher }, { "packages", QJsonArray { game } } }).toJson()));

    TServerThread server([&](TLoopbackServer& s) { s.serveFolder(root.filePath("served")); });
    const auto setScripts = [&](const QStringList& paths, const TResponse& response) {
        QMetaObject::invokeMethod(
            &*server,
            [&] {
                server->clearScripts();
                for (const QString& path : paths)
                    server->setScript(path, { response });
            },
            Qt::BlockingQueuedConnection);
    };
    // The launcher package's chunks, and the last one of the program, which can be held back.
    const QUrl base = server->url("/launcher/package/");
    const TPackageConfigurationReader offered(
        readAll(root.filePath("served/launcher/package/package.json")), {}, base, base);
    QVERIFY(offered.valid);
    QStringList chunkPaths;
    for (const TChunkInPackage& chunk : offered.chunks)
        chunkPaths << chunk.url.path();
    const TFileInPackage& program = *offered.files.find(executableName);
    QVERIFY(program.chunkIndices.size() > 3);
    const TChunkInPackage& lastChunk = offered.chunks[std::size_t(program.chunkIndices.back())];
    const QString heldBack = lastChunk.url.path();

    QByteArray settings = TLauncherSandbox::defaultSettings();
    settings.replace(
        "http://127.0.0.1:1/launcher/dulmetadata.json", server->url(QStringLiteral("/launcher.json")).toEncoded());
    settings.replace("retries=5;", "retries=0");
    // Hashing the new files after they are in place leaves a moment to kill in before the restart.
    settings.replace("skipVerification=true", "skipVerification=false");
    TLauncherSandbox sandbox(settings);
    QVERIFY(sandbox.isValid());
    const QDir bin(sandbox.binaryFolder());
    const QString home = sandbox.homeFolder();
    const QString programPath = sandbox.launcherPath();
    const QString helperPath = bin.filePath("lib/helper.dat");
    const QStringList leftovers { programPath + ".old", helperPath + ".old",
        bin.filePath("." + executableName + ".kvupdate"), bin.filePath("lib/.helper.dat.kvupdate") };

    // Whatever a launcher of this sandbox left running, the restarted one included, ends by its id.
    const auto endLaunchers = [&](int waitMs) {
        QDeadlineTimer deadline(waitMs);
        while (!processesRunningFrom(bin.path()).isEmpty() && !deadline.hasExpired())
            QThread::msleep(20);
        for (const qint64 id : processesRunningFrom(bin.path()))
            ::kill(pid_t(id), SIGKILL);
        for (int i = 0; i < 100 && !processesRunningFrom(bin.path()).isEmpty(); ++i)
            QThread::msleep(20);
        sandbox.releaseInstanceSegment();
    };
    const auto cleanUp = qScopeGuard([&] { endLaunchers(0); });
    // The output goes to a file: a restarted launcher inherits it, and a pipe closed by the test would
    // end that launcher at its first message.
    const QString outputPath = home + "/launcher-output.txt";
    const auto startLauncher = [&](QProcess& process, const QStringList& arguments) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            const qsizetype seen = readAll(outputPath).size();
            process.setProcessEnvironment(sandbox.environment());
            process.setWorkingDirectory(bin.path());
            process.setProcessChannelMode(QProcess::MergedChannels);
            process.setStandardOutputFile(outputPath, QIODevice::Append);
            process.start(programPath, arguments);
            if (!process.waitForStarted(10000))
                return false;
            if (!process.waitForFinished(300) || !readAll(outputPath).mid(seen).contains("already running"))
                return true;
            QThread::msleep(50);
        }
        return false;
    };
    const auto finished = [](QProcess& process, int timeoutMs) {
        return process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
    };
    const auto kill = [](QProcess& process) {
        ::kill(pid_t(process.processId()), SIGKILL);
        process.waitForFinished(5000);
    };
    // The game is installed and becomes the default client, without a launcher update.
    {
        QProcess first;
        QVERIFY(startLauncher(first, { "--first-launch", "--skip-selfupdate" }));
        QVERIFY2(finished(first, 30000), sandbox.readLog().right(3000).constData());
        QCOMPARE(first.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(clientStarts(home), 1, 5000);
    }

    const QStringList moments { "before the first write", "mid-file", "between files", "after the last file" };
    for (const QString& moment : moments) {
        // The launcher as installed before the update.
        endLaunchers(0);
        for (const QString& name : bin.entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot)) {
            if (name != settingsFileName)
                QVERIFY(QFileInfo(bin.filePath(name)).isDir() ? QDir(bin.filePath(name)).removeRecursively()
                                                              : QFile::remove(bin.filePath(name)));
        }
        QVERIFY(QFile::copy(QStringLiteral(KORVANE_LAUNCHER_BINARY), programPath));
        QVERIFY(writeAll(helperPath, oldHelper));

        bool killed = false;
        for (int attempt = 0; attempt < 3 && !killed; ++attempt) {
            if (moment == "before the first write")
                setScripts(chunkPaths, TResponse::delayed(60000));
            else if (moment == "after the last file")
                setScripts({}, {});
            else
                setScripts({ heldBack }, TResponse::delayed(60000));
            server->resetCounters();
            QProcess launcher;
            QVERIFY(startLauncher(launcher, {}));
            const auto isRunning = [&] { return launcher.state() != QProcess::NotRunning; };
            const auto reached = [&] {
                if (moment == "before the first write") {
                    int requests = 0;
                    for (const QString& path : chunkPaths)
                        requests += server->requestCount(path);
                    return requests > 0;
                }
                const qint64 written = QFileInfo(leftovers[2]).size();
                if (moment == "mid-file")
                    return written > 0;
                if (moment == "between files")
                    return readAll(leftovers[3]) == newHelper
                        && written == qint64(newProgram.size()) - qint64(lastChunk.unpackedSize);
                return QFileInfo::exists(leftovers[0]);
            };
            QDeadlineTimer deadline(20000);
            while (!reached() && isRunning() && !deadline.hasExpired())
                QThread::usleep(500);
            if (!isRunning() || !reached()) {
                // The update ran past the moment; it is tried again from the start.
                QVERIFY2(moment == "after the last file",
                    qPrintable(moment + ": " + QString::fromUtf8(sandbox.readLog().right(3000))));
                launcher.waitForFinished(5000);
                endLaunchers(10000);
                QVERIFY(
                    QFile::remove(programPath) && QFile::copy(QStringLiteral(KORVANE_LAUNCHER_BINARY), programPath));
                QVERIFY(writeAll(helperPath, oldHelper));
                for (const QString& path : leftovers)
                    QFile::remove(path);
                continue;
            }
            kill(launcher);
            killed = true;
        }
        QVERIFY2(killed, qPrintable(moment));
        endLaunchers(0);

        // Each name holds a whole file, the old or the new one, and the program can run.
        const QByteArray afterKill = readAll(programPath);
        QVERIFY2(afterKill == builtLauncher || afterKill == newProgram, qPrintable(moment));
        QVERIFY2(QFileInfo(programPath).isExecutable(), qPrintable(moment));
        const QByteArray helperAfterKill = readAll(helperPath);
        QVERIFY2(helperAfterKill == oldHelper || helperAfterKill == newHelper, qPrintable(moment));

        // The next start finishes or redoes the update, restarts and starts the client.
        setScripts({}, {});
        const int startsBefore = clientStarts(home);
        QProcess next;
        QVERIFY(startLauncher(next, {}));
        QVERIFY2(finished(next, 30000), qPrintable(moment + ": " + sandbox.readLog().right(3000)));
        QVERIFY2(next.exitCode() == 0, qPrintable(moment + ": " + sandbox.readLog().right(3000)));
        QTRY_VERIFY2_WITH_TIMEOUT(
            clientStarts(home) == startsBefore + 1, qPrintable(moment + ": " + sandbox.readLog().right(3000)), 20000);
        endLaunchers(10000);
        // The restarted launcher kept the log of the run that updated, behind a separator line.
        const QByteArray log = sandbox.readLog();
        const qsizetype restart = log.indexOf("Info: restartAfterSelfUpdate");
        const qsizetype separator = log.indexOf("restarted after the self-update", restart);
        QVERIFY2(restart >= 0 && separator > restart, qPrintable(moment + ": " + log.right(3000)));
        QVERIFY2(log.indexOf("Info: Version: ", separator) > separator, qPrintable(moment + ": " + log.right(3000)));
        QVERIFY2(log.indexOf("Info: startPackageAndExit", separator) > separator, qPrintable(moment));
        QVERIFY2(readAll(programPath) == newProgram, qPrintable(moment));
        QVERIFY(QFileInfo(programPath).isExecutable());
        QCOMPARE(readAll(helperPath), newHelper);
        for (const QString& path : leftovers)
            QVERIFY2(!QFileInfo::exists(path), qPrintable(moment + ": " + path));
    }
}

QTEST_MAIN(TestLauncherSelfUpdater)
#include "tst_launcherselfupdater.moc"
