#include "shared/firstinstancetester.h"
#include "support/launcherprocess.h"
#include "support/launchersandbox.h"
#include "support/loopbackserver.h"
#include "support/loopbackserverthread.h"
#include "support/testfiles.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QSharedMemory>
#include <QThread>
#include <QtTest>

#include <functional>
#include <memory>

using korvane::test::TLauncherProcess;
using korvane::test::TLauncherSandbox;
using korvane::test::TLoopbackServer;
using korvane::test::TResponse;
using korvane::test::TServerThread;

using korvane::test::readAll;
using korvane::test::writeAll;

namespace {

// Records every start: its arguments, its working directory and its library path.
const QByteArray clientScript = "#!/bin/sh\n"
                                "{\n"
                                "  echo start\n"
                                "  for a in \"$@\"; do echo \"arg=$a\"; done\n"
                                "  echo \"pwd=$(pwd)\"\n"
                                "  echo \"ld=$LD_LIBRARY_PATH\"\n"
                                "  echo end\n"
                                "} >> \"$HOME/client-record.txt\"\n";

struct TClientRun
{
    QStringList arguments;
    QString workingDirectory;
    QString libraryPath;
};

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

// A small game: the recording client, a library, data in several chunks and the client's settings.
bool writeGame(const QString& folder, int version, bool withClient = true, qsizetype worldSize = 700000)
{
    bool ok = true;
    if (withClient) {
        ok = ok && writeAll(folder + "/bin/client", clientScript);
        QFile::setPermissions(folder + "/bin/client", QFile::permissions(folder + "/bin/client") | QFile::ExeOwner);
    }
    ok = ok && writeAll(folder + "/lib/libgame.so", randomBytes(90000, 7));
    ok = ok && writeAll(folder + "/data/world.pak", randomBytes(worldSize, 11 + version));
    ok = ok && writeAll(folder + "/data/deep/er/note.txt", "version " + QByteArray::number(version) + "\n");
    ok = ok
        && writeAll(folder + "/KorvaneVedudiClient_Data/Data/Settings/settings.json", "{ \"GraphicsAPI\": \"GL\" }");
    return ok;
}

bool makePackage(const QString& input, const QString& output, int version, bool withClient = true,
    const QString& name = QStringLiteral("Game"), const QString& directoryName = QStringLiteral("game"))
{
    QStringList arguments { "--input", input, "--output", output, "--name", name, "--directory-name", directoryName,
        "--version", QString::number(version), "--install-automatically", "--chunk-size", "65536", "--packing",
        "deflate" };
    if (withClient)
        arguments << "--executable"
                  << "bin/client"
                  << "--parameter"
                  << "-a"
                  << "--parameter"
                  << "-b";
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral(KORVANE_MAKE_PACKAGE_BINARY), arguments);
    if (!tool.waitForFinished(30000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        qWarning() << "make-package failed:" << tool.readAll();
        return false;
    }
    return true;
}

// The settings with the configuration on the given address and few retries.
QByteArray settingsFor(const QUrl& configurationUrl, int maxConcurrentDownloads = 10)
{
    return TLauncherSandbox::settingsFor(configurationUrl,
        { { "retries", "1" }, { "maxConcurrentDownloads", QByteArray::number(maxConcurrentDownloads) } });
}

QString installationFolder(const TLauncherSandbox& sandbox)
{
    return sandbox.appDataFolder() + QStringLiteral("/packages/game");
}

QList<TClientRun> clientRuns(const TLauncherSandbox& sandbox)
{
    QList<TClientRun> runs;
    const QList<QByteArray> lines = readAll(sandbox.homeFolder() + "/client-record.txt").split('\n');
    TClientRun run;
    for (const QByteArray& line : lines) {
        const QString text = QString::fromUtf8(line);
        if (text == "start")
            run = TClientRun();
        else if (text.startsWith("arg="))
            run.arguments << text.mid(4);
        else if (text.startsWith("pwd="))
            run.workingDirectory = text.mid(4);
        else if (text.startsWith("ld="))
            run.libraryPath = text.mid(3);
        else if (text == "end")
            runs << run;
    }
    return runs;
}

// The client is detached; its record may come a little after the launcher has ended.
bool waitForClientRuns(const TLauncherSandbox& sandbox, int count, int timeoutMs = 5000)
{
    QDeadlineTimer deadline(timeoutMs);
    while (clientRuns(sandbox).size() < count && !deadline.hasExpired())
        QThread::msleep(20);
    return clientRuns(sandbox).size() >= count;
}

// Every file of the source folder, byte for byte, in the installation.
QString compareInstallation(const QString& source, const QString& installed)
{
    QDirIterator it(source, QDir::Files, QDirIterator::Subdirectories);
    int files = 0;
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = QDir(source).relativeFilePath(path);
        if (readAll(path) != readAll(installed + "/" + relative))
            return "differs: " + relative;
        ++files;
    }
    return files > 0 ? QString() : QStringLiteral("no files");
}

// Content of two versions of the game, served at /v1/launcher.json and /v2/launcher.json.
class TContent
{
public:
    explicit TContent(bool withClient = true, qsizetype worldSize = 700000)
    {
        valid = folder.isValid();
        for (int version : { 1, 2 }) {
            valid = valid && writeGame(gameFolder(version), version, withClient, worldSize)
                && makePackage(
                    gameFolder(version), servedFolder() + "/v" + QString::number(version), version, withClient);
        }
    }
    QString gameFolder(int version) const { return folder.path() + "/game" + QString::number(version); }
    QString servedFolder() const { return folder.path() + "/served"; }
    QStringList chunkPaths(int version) const
    {
        QStringList paths;
        const QString chunks = "/v" + QString::number(version) + "/package/chunks";
        for (const QString& name : QDir(servedFolder() + chunks).entryList(QDir::Files))
            paths << chunks + "/" + name;
        return paths;
    }
    bool valid = false;

private:
    QTemporaryDir folder;
};

// The single-instance segment's key comes from ftok, which keeps only 16 bits of the key file's inode
// and 8 of its device. Sandboxes of tests running side by side on one file system then now and then
// share a key, and a launcher finds a stranger "already running" or waits on its lock. The key files of
// this test's launchers live on the memory file system instead, whose device differs.
QHash<QString, std::shared_ptr<QTemporaryDir>>& instanceFolders()
{
    static QHash<QString, std::shared_ptr<QTemporaryDir>> folders;
    return folders;
}

QString instanceFolder(const TLauncherSandbox& sandbox)
{
    if (!QFileInfo(QStringLiteral("/dev/shm")).isWritable())
        return sandbox.temporaryFolder();
    std::shared_ptr<QTemporaryDir>& folder = instanceFolders()[sandbox.root()];
    if (!folder)
        folder = std::make_shared<QTemporaryDir>(QStringLiteral("/dev/shm/korvane-launchflow-XXXXXX"));
    return folder->isValid() ? folder->path() : sandbox.temporaryFolder();
}

void isolate(TLauncherProcess& launcher, const TLauncherSandbox& sandbox)
{
    launcher.setEnvironmentValue(QStringLiteral("TMPDIR"), instanceFolder(sandbox));
}

// Removes the segments that killed launchers left behind.
void releaseInstanceFolders()
{
    const QByteArray saved = qgetenv("TMPDIR");
    for (const std::shared_ptr<QTemporaryDir>& folder : std::as_const(instanceFolders())) {
        qputenv("TMPDIR", QFile::encodeName(folder->path()));
        QSharedMemory segment(QString::fromLatin1(shared::FirstInstanceTester::key));
        if (segment.attach(QSharedMemory::ReadOnly))
            segment.detach();
    }
    qputenv("TMPDIR", saved);
    instanceFolders().clear();
}

// One launcher configuration over the packages made into the given subfolders of `served`.
bool combineConfigurations(const QString& served, const QStringList& subfolders, bool preventDefaultAutostart)
{
    QJsonArray packages;
    for (const QString& subfolder : subfolders) {
        QJsonObject package = QJsonDocument::fromJson(readAll(served + "/" + subfolder + "/launcher.json"))
                                  .object()["packages"][0]
                                  .toObject();
        QJsonArray builds = package["builds"].toArray();
        QJsonObject build = builds[0].toObject();
        build["url"] = subfolder + "/" + build["url"].toString();
        builds[0] = build;
        package["builds"] = builds;
        packages.append(package);
    }
    return writeAll(served + "/launcher.json",
        QJsonDocument(QJsonObject { { "packages", packages }, { "preventdefaultautostart", preventDefaultAutostart } })
            .toJson());
}

// The kernel may release a killed launcher's segment a moment after the process has been reaped, and a
// launcher started in that moment finds it "already running". Such a start is repeated.
bool startAfterKill(TLauncherProcess& launcher, const QStringList& arguments)
{
    for (int attempt = 0; attempt < 40; ++attempt) {
        if (!launcher.start(arguments))
            return false;
        if (!launcher.waitForOutput("already running", 300))
            return true;
        launcher.waitForFinished(5000);
        QThread::msleep(25);
    }
    return false;
}

int chunkRequests(const TServerThread& server, const QStringList& chunkPaths)
{
    int count = 0;
    for (const QString& path : chunkPaths)
        count += server->requestCount(path);
    return count;
}

// The settings without the lines of one key, or of a whole group when the key is empty.
QByteArray withoutSettings(QByteArray settings, const QByteArray& group, const QByteArray& key = {})
{
    QList<QByteArray> kept;
    bool inGroup = false;
    for (const QByteArray& line : settings.split('\n')) {
        if (line.startsWith('['))
            inGroup = line == "[" + group + "]";
        if (inGroup && (key.isEmpty() || line.startsWith(key + "=")))
            continue;
        kept << line;
    }
    return kept.join('\n');
}

// The launcher configuration of a release with one more package in front and a funnel address.
bool writeVariant(const QString& served, const QString& name, const QJsonObject& firstPackage, const QUrl& funnel)
{
    QJsonObject document = QJsonDocument::fromJson(readAll(served + "/v1/launcher.json")).object();
    QJsonArray packages = document["packages"].toArray();
    if (!firstPackage.isEmpty())
        packages.prepend(firstPackage);
    document["packages"] = packages;
    if (funnel.isValid())
        document["funnel"] = funnel.toString();
    return writeAll(served + "/v1/" + name, QJsonDocument(document).toJson());
}

} // namespace

// The built launcher's main job against local content: install, update and start the game client.
class TestLaunchFlow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void firstLaunchInstallsAndStartsTheDefaultClient();
    void firstLaunchWithTwoAutomaticPackages_data();
    void firstLaunchWithTwoAutomaticPackages();
    void upToDateDefaultClient_data();
    void upToDateDefaultClient();
    void defaultClientWithoutExecutableShowsTheWindow();
    void clientThatCannotStartEndsWithExitCode1();
    void updates_data();
    void updates();
    void missingConfigurationEndsWithExitCode1();
    void diskAccessFailureEndsWithExitCode1();
    void secondInstanceEndsWithExitCode0();
    void killedInstallationResumes();
    void chunksTravelOverKeptConnections();
    void undeletableOldFileIsOnlyAWarning();
    void executableLink_data();
    void executableLink();
    void launcherInTheDataLocationKeepsItsExecutable();
    void trimmedSettings_data();
    void trimmedSettings();
    void firstAutomaticPackageNotInstallableHere_data();
    void firstAutomaticPackageNotInstallableHere();
    void funnelEventsAreDeliveredBeforeTheEnd_data();
    void funnelEventsAreDeliveredBeforeTheEnd();

private:
    // Runs --first-launch to its end in the sandbox.
    void installVersion1(TLauncherSandbox& sandbox);

    std::unique_ptr<TContent> content;
    std::unique_ptr<TServerThread> server;
};

void TestLaunchFlow::initTestCase()
{
    content = std::make_unique<TContent>();
    QVERIFY(content->valid);
    server = std::make_unique<TServerThread>([&](TLoopbackServer& s) { s.serveFolder(content->servedFolder()); });
}

void TestLaunchFlow::cleanup()
{
    releaseInstanceFolders();
}

void TestLaunchFlow::installVersion1(TLauncherSandbox& sandbox)
{
    TLauncherProcess launcher(sandbox);
    isolate(launcher, sandbox);
    QVERIFY(launcher.start({ "--first-launch" }));
    QVERIFY2(launcher.waitForFinished(20000), sandbox.readLog().right(3000).constData());
    QCOMPARE(launcher.exitCode(), 0);
    QVERIFY(waitForClientRuns(sandbox, 1));
}

void TestLaunchFlow::firstLaunchInstallsAndStartsTheDefaultClient()
{
    TLauncherSandbox sandbox(settingsFor((*server)->url("/v1/launcher.json")));
    QVERIFY(sandbox.isValid());
    TLauncherProcess launcher(sandbox);
    isolate(launcher, sandbox);
    // The client's library path replaces the one the launcher was given.
    launcher.setEnvironmentValue("LD_LIBRARY_PATH", "/nowhere");
    QVERIFY(launcher.start({ "--first-launch" }));
    QVERIFY2(launcher.waitForFinished(20000), sandbox.readLog().right(3000).constData());
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 0);

    const QString installed = installationFolder(sandbox);
    QCOMPARE(compareInstallation(content->gameFolder(1), installed), QString());
    QVERIFY(QFileInfo::exists(installed + "/package.json"));
    QVERIFY(!QFileInfo::exists(installed + "/partial-package.json"));
    QVERIFY(QFileInfo::exists(installed + "/default"));

    QVERIFY(waitForClientRuns(sandbox, 1));
    const QList<TClientRun> runs = clientRuns(sandbox);
    QCOMPARE(runs.size(), 1);
    QCOMPARE(runs[0].arguments, QStringList({ "-a", "-b", "--package-is-up-to-date" }));
    QCOMPARE(runs[0].workingDirectory, installed + "/bin");
    QCOMPARE(runs[0].libraryPath, installed + "/bin");
    const QByteArray log = sandbox.readLog();
    QVERIFY(log.contains("\"launcher_started\""));
    QVERIFY(log.contains("Info: startPackageAndExit \"Game\""));

    // The data location holds a link to the executable.
    const QFileInfo link(sandbox.appDataFolder() + "/" + QFileInfo(sandbox.launcherPath()).fileName());
    QVERIFY(link.isSymLink());
    QCOMPARE(link.symLinkTarget(), sandbox.launcherPath());
}

void TestLaunchFlow::firstLaunchWithTwoAutomaticPackages_data()
{
    QTest::addColumn<bool>("preventDefaultAutostart");
    QTest::newRow("default client starts") << false;
    QTest::newRow("preventdefaultautostart") << true;
}

void TestLaunchFlow::firstLaunchWithTwoAutomaticPackages()
{
    QFETCH(bool, preventDefaultAutostart);
    QTemporaryDir folder;
    const QString served = folder.path() + "/served";
    for (const QString name : { "alpha", "beta" }) {
        QVERIFY(writeGame(folder.path() + "/" + name, name == "alpha" ? 1 : 2, true, 150000));
        QVERIFY(makePackage(folder.path() + "/" + name, served + "/" + name, 1, true, name, name));
    }
    QVERIFY(combineConfigurations(served, { "alpha", "beta" }, preventDefaultAutostart));
    TServerThread ownServer([&](TLoopbackServer& s) { s.serveFolder(served); });
    TLauncherSandbox sandbox(settingsFor(ownServer->url("/launcher.json")));
    QVERIFY(sandbox.isValid());
    // The second package was the default client before; the first in configuration order takes over.
    const QString packages = sandbox.appDataFolder() + "/packages";
    QVERIFY(writeAll(packages + "/beta/default", {}));
    // With the first launch a forced update is only cleared.
    QVERIFY(writeAll(packages + "/alpha/FORCE_PATCH", {}));

    TLauncherProcess launcher(sandbox);
    isolate(launcher, sandbox);
    QVERIFY(launcher.start({ "--first-launch" }));
    if (preventDefaultAutostart) {
        QTRY_COMPARE_WITH_TIMEOUT(compareInstallation(folder.path() + "/beta", packages + "/beta"), QString(), 15000);
        QTRY_COMPARE_WITH_TIMEOUT(compareInstallation(folder.path() + "/alpha", packages + "/alpha"), QString(), 15000);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(packages + "/alpha/package.json"), 5000);
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(packages + "/beta/package.json"), 5000);
        QThread::msleep(300);
        QVERIFY(launcher.isRunning());
        QCOMPARE(clientRuns(sandbox).size(), 0);
    } else {
        QVERIFY2(launcher.waitForFinished(20000), sandbox.readLog().right(3000).constData());
        QCOMPARE(launcher.exitCode(), 0);
        QCOMPARE(compareInstallation(folder.path() + "/alpha", packages + "/alpha"), QString());
        QCOMPARE(compareInstallation(folder.path() + "/beta", packages + "/beta"), QString());
        QVERIFY(waitForClientRuns(sandbox, 1));
        QCOMPARE(clientRuns(sandbox).size(), 1);
        QCOMPARE(clientRuns(sandbox)[0].workingDirectory, packages + "/alpha/bin");
    }
    QVERIFY(QFileInfo::exists(packages + "/alpha/default"));
    QVERIFY(!QFileInfo::exists(packages + "/beta/default"));
    QVERIFY(!QFileInfo::exists(packages + "/alpha/FORCE_PATCH"));
}

void TestLaunchFlow::upToDateDefaultClient_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("starts");
    QTest::newRow("no option") << QStringList() << true;
    QTest::newRow("show-ui") << QStringList { "--show-ui" } << false;
}

void TestLaunchFlow::upToDateDefaultClient()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, starts);
    TLauncherSandbox sandbox(settingsFor((*server)->url("/v1/launcher.json")));
    QVERIFY(sandbox.isValid());
    installVersion1(sandbox);
    if (QTest::currentTestFailed())
        return;

    // A log of the previous run must not answer for this one.
    QFile::remove(sandbox.logFilePath());
    TLauncherProcess launcher(sandbox);
    isolate(launcher, sandbox);
    QVERIFY(launcher.start(arguments));
    if (starts) {
        QVERIFY2(launcher.waitForFinished(20000), sandbox.readLog().right(3000).constData());
        QCOMPARE(launcher.exitCode(), 0);
        QVERIFY(waitForClientRuns(sandbox, 2));
        const TClientRun run = clientRuns(sandbox).last();
        // Nothing was verified in this run.
        QCOMPARE(run.arguments, QStringList({ "-a", "-b" }));
        QCOMPARE(run.workingDirectory, installationFolder(sandbox) + "/bin");
        // No window: the funnel step of the window was never sent.
        const QByteArray log = sandbox.readLog();
        QVERIFY(!log.contains("\"launcher_started\""));
        // The run ends a moment after its last lines; they are in the log all the same.
        QVERIFY2(log.contains("Info: startPackageAndExit \"Game\""), log.right(2000).constData());
        QVERIFY(log.endsWith('\n'));
    } else {
        QVERIFY(launcher.waitForLog("\"launcher_started\""));
        QThread::msleep(500);
        QVERIFY(launcher.isRunning());
        QCOMPARE(clientRuns(sandbox).size(), 1);
    }
}

void TestLaunchFlow::defaultClientWithoutExecutableShowsTheWindow()
{
    TContent noClient(false, 100000);
    QVERIFY(noClient.valid);
    TServerThread ownServer([&](TLoopbackServer& s) { s.serveFolder(noClient.servedFolder()); });
    TLauncherSandbox sandbox(settingsFor(ownServer->url("/v1/launcher.json")));
    QVERIFY(sandbox.isValid());
    {
        TLauncherProcess first(sandbox);
        isolate(first, sandbox);
        QVERIFY(first.start({ "--first-launch" }));
        QVERIFY(first.waitForLog("Info: startPackageAndExit \"Game\""));
        QVERIFY(first.isRunning());
    }
    QCOMPARE(compareInstallation(noClient.gameFolder(1), installationFolder(sandbox)), QString());

    // The default client is up to date but names nothing to start: the window opens instead of a
    // run that waits for nothing.
    // A log of the previous run must not answer for this one.
    QFile::remove(sandbox.logFilePath());
    TLauncherProcess launcher(sandbox);
    isolate(launcher, sandbox);
    QVERIFY(startAfterKill(launcher, {}));
    QVERIFY2(launcher.waitForLog("Info: startPackageAndExit \"Game\""), sandbox.readLog().constData());
    QVERIFY(launcher.waitForLog("\"launcher_started\""));
    QVERIFY(launcher.isRunning());
}

void TestLaunchFlow::clientThatCannotStartEndsWithExitCode1()
{
    TLauncherSandbox sandbox(settingsFor((*server)->url("/v1/launcher.json")));
    QVERIFY(sandbox.isValid());
    installVersion1(sandbox);
    if (QTest::currentTestFailed())
        return;
    const QString client = installationFolder(sandbox) + "/bin/client";
    QVERIFY(QFile::setPermissions(client, QFile::ReadOwner | QFile::WriteOwner));

    // A log of the previous run must not answer for this one.
    QFile::remove(sandbox.logFilePath());
    TLauncherProcess launcher(sandbox);
    isolate(launcher, sandbox);
    QVERIFY(launcher.start());
    QVERIFY2(launcher.waitForFinished(20000), sandbox.readLog().right(3000).constData());
    QCOMPARE(launcher.exitCode(), 1);
    QVERIFY(sandbox.readLog().contains("Critical: Could not start the client:"));
    QCOMPARE(clientRuns(sandbox).size(), 1);
}

void TestLaunchFlow::updates_data()
{
    QTest::addColumn<QString>("how");
    QTest::newRow("patch option") << "patch";
    QTest::newRow("FORCE_PATCH file") << "force";
    QTest::newRow("unknown patch executable") << "unknown";
}

void TestLaunchFlow::updates()
{
    QFETCH(QString, how);
    TLauncherSandbox sandbox(settingsFor((*server)->url("/v1/launcher.json")));
    QVERIFY(sandbox.isValid());
    installVersion1(sandbox);
    if (QTest::currentTestFailed())
        return;
    const QString installed = installationFolder(sandbox);
    sandbox.writeSettings(settingsFor((*server)->url("/v2/launcher.json")));

    QStringList arguments;
    if (how == "patch")
        arguments << "--patch" << installed + "/bin/client";
    else if (how == "unknown")
        arguments << "--patch=/somewhere/else/client";
    else
        QVERIFY(writeAll(installed + "/FORCE_PATCH", {}));

    // A log of the previous run must not answer for this one.
    QFile::remove(sandbox.logFilePath());
    TLauncherProcess launcher(sandbox);
    isolate(launcher, sandbox);
    QVERIFY(launcher.start(arguments));
    if (how == "patch") {
        // Updated, then started, and the window closed with it.
        QVERIFY2(launcher.waitForFinished(20000), sandbox.readLog().right(3000).constData());
        QCOMPARE(launcher.exitCode(), 0);
        QCOMPARE(compareInstallation(content->gameFolder(2), installed), QString());
        QVERIFY(waitForClientRuns(sandbox, 2));
        QCOMPARE(clientRuns(sandbox).last().arguments, QStringList({ "-a", "-b", "--package-is-up-to-date" }));
    } else if (how == "force") {
        // Updated; without the patch option nothing is started and the window stays.
        QVERIFY2(launcher.waitForLog("Info: markPackageAsFullyInstalled:"), sandbox.readLog().right(3000).constData());
        QTRY_COMPARE_WITH_TIMEOUT(compareInstallation(content->gameFolder(2), installed), QString(), 5000);
        QVERIFY(!QFileInfo::exists(installed + "/FORCE_PATCH"));
        QThread::msleep(300);
        QVERIFY(launcher.isRunning());
        QCOMPARE(clientRuns(sandbox).size(), 1);
    } else {
        QVERIFY(launcher.waitForLog("Info: Message box: \"launcher.error.patching_title\""));
        QThread::msleep(300);
        QVERIFY(launcher.isRunning());
        QVERIFY(!sandbox.readLog().contains("installOrUpdatePackage"));
        QCOMPARE(compareInstallation(content->gameFolder(1), installed), QString());
    }
}

void TestLaunchFlow::missingConfigurationEndsWithExitCode1()
{
    TLauncherSandbox sandbox(settingsFor((*server)->url("/nothing/launcher.json")));
    QVERIFY(sandbox.isValid());
    TLauncherProcess launcher(sandbox);
    isolate(launcher, sandbox);
    QVERIFY(launcher.start({ "--first-launch" }));
    QVERIFY(launcher.waitForFinished(20000));
    QCOMPARE(launcher.exitCode(), 1);
    QVERIFY(sandbox.readLog().contains("Info: Message box: \"launcher.error.maintenance_title\""));
    QVERIFY(!QFileInfo::exists(installationFolder(sandbox)));
}

void TestLaunchFlow::diskAccessFailureEndsWithExitCode1()
{
    TLauncherSandbox sandbox(settingsFor((*server)->url("/v1/launcher.json")));
    QVERIFY(sandbox.isValid());
    // A file where the packages folder belongs: nothing can be installed.
    QVERIFY(writeAll(sandbox.appDataFolder() + "/packages", "in the way"));
    TLauncherProcess launcher(sandbox);
    isolate(launcher, sandbox);
    QVERIFY(launcher.start({ "--first-launch" }));
    QVERIFY(launcher.waitForFinished(20000));
    QCOMPARE(launcher.exitCode(), 1);
    const QByteArray log = sandbox.readLog();
    QVERIFY2(log.contains("Critical: Disk access failed:"), log.right(3000).constData());
    QVERIFY(log.contains("Info: Message box: \"launcher.error.critical_title\""));
    QCOMPARE(clientRuns(sandbox).size(), 0);
}

void TestLaunchFlow::secondInstanceEndsWithExitCode0()
{
    TLauncherSandbox sandbox(settingsFor((*server)->url("/v1/launcher.json")));
    QVERIFY(sandbox.isValid());
    TLauncherProcess first(sandbox);
    isolate(first, sandbox);
    QVERIFY(first.start({ "--show-ui" }));
    QVERIFY(first.waitForLog("onLauncherReadyForAction"));
    TLauncherProcess second(sandbox);
    isolate(second, sandbox);
    QVERIFY(second.start({ "--first-launch" }));
    QVERIFY(second.waitForFinished(10000));
    QCOMPARE(second.exitCode(), 0);
    QVERIFY(second.output().contains("already running"));
    QVERIFY(first.isRunning());
    QVERIFY(!QFileInfo::exists(installationFolder(sandbox)));
}

void TestLaunchFlow::chunksTravelOverKeptConnections()
{
    // Many small chunks, two at a time: a connection closed after each answer shows as one per chunk.
    TContent many(true, 2400000);
    QVERIFY(many.valid);
    const QStringList chunks = many.chunkPaths(1);
    QVERIFY(chunks.size() > 30);
    TServerThread ownServer([&](TLoopbackServer& s) { s.serveFolder(many.servedFolder()); });
    TLauncherSandbox sandbox(settingsFor(ownServer->url("/v1/launcher.json"), 2));
    QVERIFY(sandbox.isValid());
    installVersion1(sandbox);
    QCOMPARE(compareInstallation(many.gameFolder(1), installationFolder(sandbox)), QString());

    QSet<int> connections;
    int requests = 0;
    for (const korvane::test::TRecordedRequest& request : ownServer->requests()) {
        if (chunks.contains(request.path)) {
            connections.insert(request.connection);
            ++requests;
        }
    }
    QCOMPARE(requests, int(chunks.size()));
    QVERIFY2(connections.size() <= 2, qPrintable(QStringLiteral("%1 connections").arg(connections.size())));
}

void TestLaunchFlow::killedInstallationResumes()
{
    // A larger world in slow chunks, two at a time, so that the kills land inside the download.
    TContent big(true, 2400000);
    QVERIFY(big.valid);
    const QStringList chunks = big.chunkPaths(1);
    QVERIFY(chunks.size() > 30);
    TServerThread ownServer([&](TLoopbackServer& s) {
        s.serveFolder(big.servedFolder());
        for (const QString& path : chunks)
            s.setScript(path, { TResponse::delayed(40) });
    });
    TLauncherSandbox sandbox(settingsFor(ownServer->url("/v1/launcher.json"), 2));
    QVERIFY(sandbox.isValid());

    // Killed after the package configuration, then at growing depths of the download.
    for (int moreChunks : { 0, 2, 7, 15, 24 }) {
        const int before = chunkRequests(ownServer, chunks);
        // A log of the previous run must not answer for this one.
        QFile::remove(sandbox.logFilePath());
        TLauncherProcess launcher(sandbox);
        isolate(launcher, sandbox);
        QVERIFY(startAfterKill(launcher, { "--first-launch" }));
        if (moreChunks == 0) {
            QVERIFY(launcher.waitForLog("markPackageAsPartiallyInstalled"));
        } else {
            QDeadlineTimer deadline(15000);
            // Waiting on the process also notices when it has ended.
            while (chunkRequests(ownServer, chunks) < before + moreChunks && !deadline.hasExpired()
                && !launcher.waitForFinished(5)) { }
        }
        QVERIFY2(launcher.isRunning(),
            qPrintable(QString("ended before the kill at %1 chunks, exit code %2: %3")
                           .arg(moreChunks)
                           .arg(launcher.exitCode())
                           .arg(QString::fromUtf8(launcher.output() + sandbox.readLog().right(2000)))));
        launcher.kill();
        QCOMPARE(clientRuns(sandbox).size(), 0);
    }

    TLauncherProcess launcher(sandbox);
    isolate(launcher, sandbox);
    QVERIFY(startAfterKill(launcher, { "--first-launch" }));
    QVERIFY2(launcher.waitForFinished(20000), sandbox.readLog().right(3000).constData());
    QCOMPARE(launcher.exitCode(), 0);
    const QString installed = installationFolder(sandbox);
    QCOMPARE(compareInstallation(big.gameFolder(1), installed), QString());
    QVERIFY(!QFileInfo::exists(installed + "/partial-package.json"));
    QVERIFY(waitForClientRuns(sandbox, 1));
    QCOMPARE(clientRuns(sandbox).size(), 1);
    QCOMPARE(clientRuns(sandbox).last().arguments, QStringList({ "-a", "-b", "--package-is-up-to-date" }));
}

void TestLaunchFlow::undeletableOldFileIsOnlyAWarning()
{
    TLauncherSandbox sandbox(settingsFor((*server)->url("/v1/launcher.json")));
    QVERIFY(sandbox.isValid());
    const QString stuck = sandbox.binaryFolder() + "/stuck.old";
    const QString loose = sandbox.binaryFolder() + "/loose.old";
    const QString kept = sandbox.binaryFolder() + "/kept.OLD";
    QVERIFY(writeAll(stuck, "x") && writeAll(loose, "y") && writeAll(kept, "z"));
    // The clean-up looks only at the ".old" names of the files the installed launcher package lists.
    QJsonArray files;
    for (const char* name : { "stuck", "loose", "kept" })
        files.append(QJsonObject {
            { "localfile", name }, { "unpackedsize", 0 }, { "unpackedhash", "" }, { "chunks", QJsonArray {} } });
    QVERIFY(writeAll(sandbox.binaryFolder() + "/package.json",
        QJsonDocument(QJsonObject { { "version", "0.0.19" }, { "chunks", QJsonArray {} }, { "files", files } })
            .toJson()));
    // The immutable flag stops even the superuser; an ordinary user is stopped by a read-only folder.
    const bool immutable = QProcess::execute("chattr", { "+i", stuck }) == 0;
    if (!immutable)
        QFile::setPermissions(sandbox.binaryFolder(), QFile::ReadOwner | QFile::ExeOwner);
    const auto restore = qScopeGuard([&] {
        if (immutable)
            QProcess::execute("chattr", { "-i", stuck });
        QFile::setPermissions(sandbox.binaryFolder(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    if (QFile::remove(stuck))
        QSKIP("no way to make a file undeletable here");

    TLauncherProcess launcher(sandbox);
    isolate(launcher, sandbox);
    QVERIFY(launcher.start({ "--show-ui" }));
    QVERIFY2(launcher.waitForLog("onLauncherReadyForAction"), sandbox.readLog().constData());
    QVERIFY(launcher.isRunning());
    const QByteArray log = sandbox.readLog();
    QVERIFY(log.contains("Warning: Could not remove a file left by an earlier update:"));
    QVERIFY(QFileInfo::exists(stuck));
    QCOMPARE(QFileInfo::exists(loose), !immutable);
    QVERIFY(QFileInfo::exists(kept));
}

void TestLaunchFlow::executableLink_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<bool>("replaced");
    QTest::newRow("nothing") << "nothing" << true;
    QTest::newRow("dangling link") << "dangling" << true;
    QTest::newRow("plain file") << "file" << true;
    QTest::newRow("live link elsewhere") << "link" << false;
    QTest::newRow("folder") << "folder" << false;
}

void TestLaunchFlow::executableLink()
{
    QFETCH(QString, before);
    QFETCH(bool, replaced);
    TLauncherSandbox sandbox(settingsFor((*server)->url("/v1/launcher.json")));
    QVERIFY(sandbox.isValid());
    const QString linkPath = sandbox.appDataFolder() + "/" + QFileInfo(sandbox.launcherPath()).fileName();
    const QString elsewhere = sandbox.root() + "/elsewhere";
    QVERIFY(writeAll(elsewhere, "other"));
    QDir().mkpath(sandbox.appDataFolder());
    if (before == "dangling")
        QVERIFY(QFile::link(sandbox.root() + "/gone", linkPath));
    else if (before == "file")
        QVERIFY(writeAll(linkPath, "stale"));
    else if (before == "link")
        QVERIFY(QFile::link(elsewhere, linkPath));
    else if (before == "folder")
        QVERIFY(QDir().mkpath(linkPath + "/inside"));

    TLauncherProcess launcher(sandbox);
    isolate(launcher, sandbox);
    QVERIFY(launcher.start({ "--show-ui" }));
    QVERIFY2(launcher.waitForLog("onLauncherReadyForAction"), sandbox.readLog().constData());
    const QFileInfo link(linkPath);
    if (replaced) {
        QVERIFY(link.isSymLink());
        QCOMPARE(link.symLinkTarget(), sandbox.launcherPath());
    } else if (before == "link") {
        QCOMPARE(link.symLinkTarget(), elsewhere);
    } else {
        QVERIFY(QFileInfo(linkPath + "/inside").isDir());
    }
    QCOMPARE(readAll(elsewhere), QByteArray("other"));
}

void TestLaunchFlow::launcherInTheDataLocationKeepsItsExecutable()
{
    TLauncherSandbox sandbox(settingsFor((*server)->url("/v1/launcher.json")));
    QVERIFY(sandbox.isValid());
    // The launcher placed where its own link belongs, with its settings beside it.
    const QString executable = sandbox.appDataFolder() + "/" + QFileInfo(sandbox.launcherPath()).fileName();
    QDir().mkpath(sandbox.appDataFolder());
    QVERIFY(QFile::copy(sandbox.launcherPath(), executable));
    QVERIFY(QFile::copy(
        sandbox.binaryFolder() + "/launchersettings.ini", sandbox.appDataFolder() + "/launchersettings.ini"));
    const qint64 size = QFileInfo(executable).size();

    QProcess launcher;
    QProcessEnvironment environment = sandbox.environment();
    environment.insert(QStringLiteral("TMPDIR"), instanceFolder(sandbox));
    launcher.setProcessEnvironment(environment);
    launcher.setProcessChannelMode(QProcess::MergedChannels);
    launcher.start(executable, { "--show-ui" });
    QVERIFY(launcher.waitForStarted(10000));
    QDeadlineTimer deadline(15000);
    while (!sandbox.readLog().contains("onLauncherReadyForAction") && launcher.state() == QProcess::Running
        && !deadline.hasExpired())
        launcher.waitForFinished(50);
    const bool reached = sandbox.readLog().contains("onLauncherReadyForAction");
    const bool running = launcher.state() == QProcess::Running;
    launcher.kill();
    launcher.waitForFinished(10000);
    QVERIFY2(reached, sandbox.readLog().constData());
    QVERIFY(running);
    const QFileInfo info(executable);
    QVERIFY(!info.isSymLink());
    QVERIFY(info.isFile());
    QCOMPARE(info.size(), size);
}

void TestLaunchFlow::trimmedSettings_data()
{
    const QByteArray settings = settingsFor((*server)->url("/v1/launcher.json"));
    QTest::addColumn<QByteArray>("trimmed");
    QTest::addColumn<bool>("refused");
    QTest::newRow("no [FILES] keys") << withoutSettings(settings, "FILES") << false;
    QTest::newRow("misspelt key") << QByteArray(settings).replace("partialPackageFile=", "partialPackagefile=")
                                  << false;
    QTest::newRow("no [DIRECTORIES]") << withoutSettings(settings, "DIRECTORIES") << false;
    QTest::newRow("no [TIMING]") << withoutSettings(settings, "TIMING") << false;
    QTest::newRow("no maxConcurrentDownloads")
        << withoutSettings(settings, "OPTIONS", "maxConcurrentDownloads") << false;
    QTest::newRow("no downloads at once") << settingsFor((*server)->url("/v1/launcher.json"), 0) << false;
    QTest::newRow("empty marker name") << QByteArray(settings).replace("packageFile=package.json", "packageFile=")
                                       << true;
    QTest::newRow("marker outside the folder")
        << QByteArray(settings).replace("partialPackageFile=partial-package.json", "partialPackageFile=../p.json")
        << true;
}

void TestLaunchFlow::trimmedSettings()
{
    QFETCH(QByteArray, trimmed);
    QFETCH(bool, refused);
    TLauncherSandbox sandbox(trimmed);
    QVERIFY(sandbox.isValid());
    // A folder the player already has: nothing of it may go.
    const QString installed = installationFolder(sandbox);
    QVERIFY(writeAll(installed + "/screenshots/mine.png", "player's own"));

    TLauncherProcess launcher(sandbox);
    isolate(launcher, sandbox);
    QVERIFY(launcher.start({ "--first-launch" }));
    QVERIFY2(launcher.waitForFinished(20000), sandbox.readLog().right(3000).constData());
    const QByteArray log = sandbox.readLog();
    QCOMPARE(readAll(installed + "/screenshots/mine.png"), QByteArray("player's own"));
    if (refused) {
        QCOMPARE(launcher.exitCode(), 1);
        QVERIFY2(log.contains("Critical: \"The settings name unusable folders or files:"), log.constData());
        QVERIFY(!log.contains("StartDownload"));
        QCOMPARE(QDir(installed).entryList(QDir::Files).size(), 0);
        QCOMPARE(clientRuns(sandbox).size(), 0);
    } else {
        QVERIFY2(launcher.exitCode() == 0, log.right(3000).constData());
        QCOMPARE(compareInstallation(content->gameFolder(1), installed), QString());
        QVERIFY(QFileInfo::exists(installed + "/package.json"));
        QVERIFY(!QFileInfo::exists(installed + "/partial-package.json"));
        QVERIFY(waitForClientRuns(sandbox, 1));
        QVERIFY2(
            log.contains("Warning: The settings file lacks") || log.contains("Warning: Settings:"), log.constData());
    }
}

void TestLaunchFlow::firstAutomaticPackageNotInstallableHere_data()
{
    QTest::addColumn<QString>("os");
    QTest::addColumn<QString>("directoryName");
    QTest::newRow("no build for this system") << "windows"
                                              << "elsewhere";
    QTest::newRow("refused folder name") << "linux"
                                         << "../elsewhere";
}

void TestLaunchFlow::firstAutomaticPackageNotInstallableHere()
{
    QFETCH(QString, os);
    QFETCH(QString, directoryName);
    const QJsonObject first { { "name", "Other" }, { "directoryname", directoryName }, { "installautomatically", true },
        { "builds",
            QJsonArray {
                QJsonObject { { "os", os }, { "architecture", "x86_64" }, { "url", "package/package.json" } } } } };
    const QString name = "launcher-first-" + os + ".json";
    QVERIFY(writeVariant(content->servedFolder(), name, first, {}));
    TLauncherSandbox sandbox(settingsFor((*server)->url("/v1/" + name)));
    QVERIFY(sandbox.isValid());
    {
        TLauncherProcess launcher(sandbox);
        isolate(launcher, sandbox);
        QVERIFY(launcher.start({ "--first-launch" }));
        QVERIFY2(launcher.waitForFinished(20000), sandbox.readLog().right(3000).constData());
        QCOMPARE(launcher.exitCode(), 0);
    }
    const QString packages = sandbox.appDataFolder() + "/packages";
    QVERIFY(QFileInfo::exists(packages + "/game/default"));
    QVERIFY(!QFileInfo::exists(packages + "/elsewhere"));
    QVERIFY(!QFileInfo::exists(sandbox.appDataFolder() + "/elsewhere"));
    QVERIFY(waitForClientRuns(sandbox, 1));

    // The installed game is the default client from now on: a plain start starts it.
    QFile::remove(sandbox.logFilePath());
    TLauncherProcess launcher(sandbox);
    isolate(launcher, sandbox);
    QVERIFY(launcher.start());
    QVERIFY2(launcher.waitForFinished(20000), sandbox.readLog().right(3000).constData());
    QCOMPARE(launcher.exitCode(), 0);
    QVERIFY(waitForClientRuns(sandbox, 2));
    QVERIFY(!sandbox.readLog().contains("\"launcher_started\""));
}

void TestLaunchFlow::funnelEventsAreDeliveredBeforeTheEnd_data()
{
    QTest::addColumn<bool>("diskFailure");
    QTest::addColumn<int>("exitCode");
    QTest::newRow("client started, window closed") << false << 0;
    QTest::newRow("disk access failure") << true << 1;
}

void TestLaunchFlow::funnelEventsAreDeliveredBeforeTheEnd()
{
    QFETCH(bool, diskFailure);
    QFETCH(int, exitCode);
    TServerThread ownServer([&](TLoopbackServer& s) {
        s.serveFolder(content->servedFolder());
        // Slow enough that a run that does not wait ends before the answers.
        TResponse slow = TResponse::delayed(400);
        slow.body = QByteArray("ok");
        s.setScript("/funnel", { slow });
    });
    QVERIFY(writeVariant(content->servedFolder(), "launcher-funnel.json", {}, ownServer->url("/funnel")));
    TLauncherSandbox sandbox(settingsFor(ownServer->url("/v1/launcher-funnel.json")));
    QVERIFY(sandbox.isValid());
    // A file where the game's folder belongs: the installation fails once the window is up.
    if (diskFailure)
        QVERIFY(writeAll(installationFolder(sandbox), "in the way"));

    TLauncherProcess launcher(sandbox);
    isolate(launcher, sandbox);
    QVERIFY(launcher.start({ "--first-launch" }));
    QVERIFY2(launcher.waitForFinished(20000), sandbox.readLog().right(3000).constData());
    QCOMPARE(launcher.exitCode(), exitCode);
    const QByteArray log = sandbox.readLog();
    const int built = int(log.count("Info: Sending funnel event for step "));
    QCOMPARE(built, diskFailure ? 1 : 8);
    QCOMPARE(int(log.count("Info: Funnel response received")), built);
    QCOMPARE(ownServer->requestCount("/funnel"), built);
}

QTEST_GUILESS_MAIN(TestLaunchFlow)
#include "tst_launchflow.moc"
