// The built launcher keeps to its installation folder: links planted inside it, two packages naming
// one folder and documents that name markers, local files or a client outside the folder change
// nothing outside it and lose no package's files.

#include "support/launcherprocess.h"
#include "support/launchersandbox.h"
#include "support/loopbackserver.h"
#include "support/loopbackserverthread.h"
#include "support/testfiles.h"

#include <QCryptographicHash>
#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <functional>
#include <memory>

using korvane::test::TLauncherProcess;
using korvane::test::TLauncherSandbox;
using korvane::test::TLoopbackServer;
using korvane::test::TServerThread;

using korvane::test::readAll;
using korvane::test::snapshot;
using korvane::test::writeAll;

namespace {

QByteArray randomBytes(qsizetype size, quint32 seed)
{
    QByteArray bytes(size, Qt::Uninitialized);
    QRandomGenerator generator(seed);
    generator.fillRange(reinterpret_cast<quint32*>(bytes.data()), size / 4);
    return bytes;
}

// A small game whose large file changes in one chunk between versions, and holds a copy of its first
// version in a second file.
bool writeGame(const QString& folder, int version)
{
    QByteArray big = randomBytes(300000, 5);
    if (version == 2)
        big.replace(140000, 100, randomBytes(100, 6));
    bool ok = writeAll(folder + "/bin/client", "#!/bin/sh\necho started >> \"$HOME/client-record.txt\"\n");
    QFile::setPermissions(folder + "/bin/client", QFile::permissions(folder + "/bin/client") | QFile::ExeOwner);
    ok = ok && writeAll(folder + "/data/big.bin", big);
    ok = ok && writeAll(folder + "/data/copy.bin", randomBytes(300000, 5));
    ok = ok && writeAll(folder + "/data/deep/note.txt", "version " + QByteArray::number(version) + "\n");
    ok = ok && writeAll(folder + "/lib/libgame.so", randomBytes(70000, 7));
    ok = ok
        && writeAll(folder + "/KorvaneVedudiClient_Data/Data/Settings/settings.json", "{ \"GraphicsAPI\": \"GL\" }");
    return ok;
}

bool makePackage(const QString& input, const QString& output, int version, const QString& name = "Game")
{
    const QStringList arguments { "--input", input, "--output", output, "--name", name, "--directory-name", "game",
        "--version", QString::number(version), "--install-automatically", "--chunk-size", "65536", "--packing",
        "deflate", "--executable", "bin/client" };
    QProcess tool;
    tool.setProcessChannelMode(QProcess::MergedChannels);
    tool.start(QStringLiteral(KORVANE_MAKE_PACKAGE_BINARY), arguments);
    if (!tool.waitForFinished(30000) || tool.exitStatus() != QProcess::NormalExit || tool.exitCode() != 0) {
        qWarning() << "make-package failed:" << tool.readAll();
        return false;
    }
    return true;
}

QByteArray settingsFor(const QUrl& configurationUrl)
{
    return TLauncherSandbox::settingsFor(configurationUrl, { { "retries", "1" } });
}

QString installationFolder(const TLauncherSandbox& sandbox)
{
    return sandbox.appDataFolder() + QStringLiteral("/packages/game");
}

// Empty when the installation holds every file of the source, byte for byte, as real files.
QString compareInstallation(const QString& source, const QString& installed)
{
    QDirIterator links(installed, QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (links.hasNext()) {
        const QFileInfo info(links.next());
        if (info.isSymLink())
            return "a link is left: " + info.filePath();
    }
    QDirIterator it(source, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString relative = QDir(source).relativeFilePath(it.next());
        if (readAll(source + "/" + relative) != readAll(installed + "/" + relative))
            return "differs: " + relative;
    }
    return {};
}

bool copyTree(const QString& from, const QString& to)
{
    QDirIterator it(from, QDir::Files, QDirIterator::Subdirectories);
    bool ok = true;
    while (it.hasNext()) {
        const QString path = it.next();
        ok = ok && writeAll(to + "/" + QDir(from).relativeFilePath(path), readAll(path));
    }
    return ok;
}

// Rewrites a served package document.
bool editDocument(const QString& path, const std::function<void(QJsonObject&)>& edit)
{
    QJsonObject document = QJsonDocument::fromJson(readAll(path)).object();
    edit(document);
    return writeAll(path, QJsonDocument(document).toJson());
}

// Runs the launcher to its end; false when it did not end in time.
bool runToEnd(TLauncherSandbox& sandbox, const QStringList& arguments, int& exitCode)
{
    QFile::remove(sandbox.logFilePath());
    TLauncherProcess launcher(sandbox);
    if (!launcher.start(arguments) || !launcher.waitForFinished(30000))
        return false;
    exitCode = launcher.exitCode();
    return true;
}

} // namespace

class TestInstallationFolder : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void plantedLinksLeadNowhere_data();
    void plantedLinksLeadNowhere();
    void twoPackagesInOneFolder();
    void refusedDocumentsAreNeverInstalled_data();
    void refusedDocumentsAreNeverInstalled();

private:
    QTemporaryDir content;
    QString gameFolder(int version) const { return content.path() + "/game" + QString::number(version); }
    QString served() const { return content.path() + "/served"; }
};

void TestInstallationFolder::initTestCase()
{
    QVERIFY(content.isValid());
    for (int version : { 1, 2 }) {
        QVERIFY(writeGame(gameFolder(version), version));
        QVERIFY(makePackage(gameFolder(version), served() + "/v" + QString::number(version), version));
    }
}

void TestInstallationFolder::plantedLinksLeadNowhere_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("target"); // below the outside folder, or inside the installation with "inside:"
    QTest::newRow("file link") << "data/big.bin"
                               << "big.bin";
    QTest::newRow("folder link") << "data"
                                 << "data";
    QTest::newRow("link in the middle") << "data/deep"
                                        << "data/deep";
    QTest::newRow("link to another file inside") << "data/big.bin"
                                                 << "inside:data/copy.bin";
}

void TestInstallationFolder::plantedLinksLeadNowhere()
{
    QFETCH(QString, where);
    QFETCH(QString, target);
    TServerThread server([&](TLoopbackServer& s) { s.serveFolder(served()); });
    TLauncherSandbox sandbox(settingsFor(server->url("/v1/launcher.json")));
    QVERIFY(sandbox.isValid());
    int exitCode = -1;
    QVERIFY(runToEnd(sandbox, { "--first-launch" }, exitCode));
    QCOMPARE(exitCode, 0);
    const QString installed = installationFolder(sandbox);
    QCOMPARE(compareInstallation(gameFolder(1), installed), QString());

    // Outside: a copy of the first version, which the update would find reusable through the link.
    QTemporaryDir outside;
    QVERIFY(copyTree(gameFolder(1), outside.path()));
    QVERIFY(QFileInfo(installed + "/" + where).isDir() ? QDir(installed + "/" + where).removeRecursively()
                                                        : QFile::remove(installed + "/" + where));
    const QString linkTarget = target.startsWith("inside:") ? installed + "/" + target.mid(7)
                                                            : outside.path() + "/" + target;
    QVERIFY(QFile::link(linkTarget, installed + "/" + where));
    const QStringList outsideBefore = snapshot(outside.path());

    sandbox.writeSettings(settingsFor(server->url("/v2/launcher.json")));
    QVERIFY(runToEnd(sandbox, { "--patch", installed + "/bin/client" }, exitCode));
    const QByteArray log = sandbox.readLog();
    QVERIFY2(exitCode == 0, log.right(3000).constData());
    QVERIFY(log.contains("Removed the symbolic link"));
    QCOMPARE(snapshot(outside.path()), outsideBefore);
    QCOMPARE(compareInstallation(gameFolder(2), installed), QString());
}

void TestInstallationFolder::twoPackagesInOneFolder()
{
    // A second package, other files, the same folder.
    QTemporaryDir other;
    QVERIFY(writeAll(other.path() + "/beta/bin/client", "#!/bin/sh\n"));
    QVERIFY(writeAll(other.path() + "/beta/data/beta.bin", randomBytes(50000, 9)));
    QVERIFY(makePackage(other.path() + "/beta", other.path() + "/served/beta", 1, "Beta"));
    QVERIFY(copyTree(served() + "/v1", other.path() + "/served/alpha"));
    QJsonArray packages;
    for (const QString name : { "alpha", "beta" }) {
        QJsonObject package = QJsonDocument::fromJson(readAll(other.path() + "/served/" + name + "/launcher.json"))
                                  .object()["packages"][0]
                                  .toObject();
        QJsonArray builds = package["builds"].toArray();
        QJsonObject build = builds[0].toObject();
        build["url"] = name + "/" + build["url"].toString();
        builds[0] = build;
        package["builds"] = builds;
        packages.append(package);
    }
    QVERIFY(writeAll(other.path() + "/served/launcher.json",
        QJsonDocument(QJsonObject { { "packages", packages }, { "preventdefaultautostart", true } }).toJson()));
    TServerThread server([&](TLoopbackServer& s) { s.serveFolder(other.path() + "/served"); });
    TLauncherSandbox sandbox(settingsFor(server->url("/launcher.json")));
    QVERIFY(sandbox.isValid());

    TLauncherProcess launcher(sandbox);
    QVERIFY(launcher.start({ "--first-launch" }));
    QVERIFY2(launcher.waitForLog("Info: markPackageAsFullyInstalled:"), sandbox.readLog().right(3000).constData());
    QTest::qWait(1500); // time for a second installation, were one started
    launcher.kill();
    const QByteArray log = sandbox.readLog();
    QVERIFY(log.contains("Package \"Beta\" names the folder \"game\" of the package \"Game\""));
    QVERIFY(!log.contains("markPackageAsPartiallyInstalled:  \"Beta\""));
    const QString installed = installationFolder(sandbox);
    QCOMPARE(compareInstallation(gameFolder(1), installed), QString());
    QVERIFY(!QFileInfo::exists(installed + "/data/beta.bin"));
}

void TestInstallationFolder::refusedDocumentsAreNeverInstalled_data()
{
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QByteArray>("logged");
    QTest::newRow("file named like a marker") << "marker" << QByteArray("local file name is taken by the launcher");
    QTest::newRow("local chunk address") << "file url" << QByteArray("Refused the URL");
    QTest::newRow("client outside the folder") << "executable" << QByteArray("the executable lies outside");
    QTest::newRow("absolute client") << "absolute executable" << QByteArray("the executable lies outside");
}

void TestInstallationFolder::refusedDocumentsAreNeverInstalled()
{
    QFETCH(QString, fault);
    QFETCH(QByteArray, logged);
    QTemporaryDir own;
    QVERIFY(copyTree(served() + "/v1", own.path()));
    const QString document = own.path() + "/package/package.json";
    // The local file holds exactly the note's bytes, so a launcher that read it would find them right.
    const QString local = own.path() + "/local-note.txt";
    QVERIFY(writeAll(local, readAll(gameFolder(1) + "/data/deep/note.txt")));
    QVERIFY(editDocument(document, [&](QJsonObject& object) {
        if (fault == "executable")
            object["executable"] = "../../bin/true";
        if (fault == "absolute executable")
            object["executable"] = "/bin/true";
        QJsonArray files = object["files"].toArray();
        QJsonArray chunks = object["chunks"].toArray();
        for (qsizetype i = 0; i < files.size(); ++i) {
            QJsonObject file = files[i].toObject();
            if (file["localfile"].toString() != "data/deep/note.txt")
                continue;
            if (fault == "marker")
                file["localfile"] = "package.json";
            if (fault == "file url") {
                const int index = file["chunks"].toArray()[0].toInt();
                QJsonObject chunk = chunks[index].toObject();
                chunk["url"] = QUrl::fromLocalFile(local).toString();
                chunk["packedsize"] = QFileInfo(local).size();
                chunk["packedhash"] = chunk["unpackedhash"];
                chunks[index] = chunk;
            }
            files[i] = file;
        }
        object["files"] = files;
        object["chunks"] = chunks;
    }));
    TServerThread server([&](TLoopbackServer& s) { s.serveFolder(own.path()); });
    TLauncherSandbox sandbox(settingsFor(server->url("/launcher.json")));
    QVERIFY(sandbox.isValid());

    TLauncherProcess launcher(sandbox);
    QVERIFY(launcher.start({ "--first-launch" }));
    // The installation's end shows a message box, or the run ends.
    launcher.waitForLog("Info: Message box:", 20000);
    launcher.kill();
    const QByteArray log = sandbox.readLog();
    QVERIFY2(log.contains(logged), log.right(3000).constData());
    QVERIFY(!log.contains("markPackageAsFullyInstalled"));
    QVERIFY(!log.contains("launcher.error.critical_title"));
    QVERIFY(!QFileInfo::exists(installationFolder(sandbox) + "/package.json"));
    QVERIFY(!QFileInfo::exists(installationFolder(sandbox) + "/data/deep/note.txt"));
    QCOMPARE(readAll(sandbox.homeFolder() + "/client-record.txt"), QByteArray());
}

QTEST_GUILESS_MAIN(TestInstallationFolder)
#include "tst_installationfolder.moc"
