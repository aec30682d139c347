#include "flowfixture.h"

#include <QLoggingCategory>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QtTest>

using namespace korvane::launcher;
using namespace flowfixture;
using korvane::test::TResponse;
using scanfixture::MiB;
using scanfixture::randomBytes;

namespace {

TTree release1()
{
    TTree tree { { "bin/game", randomBytes(64 * MiB, 100) }, { "bin/engine.so", randomBytes(48 * MiB, 101) },
        { "bin/start.sh", "#!/bin/sh\nexec ./game \"$@\"\n" }, { "logs/.keep", QByteArray() } };
    for (int i = 0; i < 30; ++i)
        tree.insert(QString("data/part%1.bin").arg(i, 2, 10, QLatin1Char('0')), randomBytes(64 * 1024, quint64(i) + 1));
    return tree;
}

TTree assets1()
{
    return { { "maps/world.map", randomBytes(200000, 77) } };
}

// About 1 % of the bytes changed: three places of the large file overwritten, one small file changed,
// one removed and one added.
TTree release2()
{
    TTree tree = release1();
    QByteArray& game = tree["bin/game"];
    for (qsizetype offset : { qsizetype(3 * MiB), qsizetype(37 * MiB + 12345) })
        game.replace(offset, 500000, randomBytes(500000, quint64(offset)));
    tree["data/part07.bin"] = randomBytes(64 * 1024, 1007);
    tree.remove("data/part08.bin");
    tree.insert("data/new.bin", randomBytes(30000, 1008));
    return tree;
}

QSet<QByteArray> chunkHashes(const TPackageConfigurationReader& configuration)
{
    QSet<QByteArray> hashes;
    for (const TChunkInPackage& chunk : configuration.chunks)
        hashes.insert(chunk.unpackedHash);
    return hashes;
}

} // namespace

class TestEndToEnd : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void firstInstallation();
    void updateDownloadsOnlyTheChangedChunks();
    void verificationFindsAFlippedByteAndAnUpdateRepairsIt();
    void interruptedInstallationIsCompletedByANewManager();

private:
    QDir folder() { return QDir(helper->packagesDirectory().filePath("game")); }
    // Runs one operation of a new manager to its end; false when it did not finish in time.
    bool run(const std::shared_ptr<TPackage>& package, bool verifyOnly, bool expectSuccess);
    void compareInstalled(const TTree& content, const TTree& assets);
    int chunkRequests(const QString& release) const;

    QTemporaryDir home;
    QTemporaryDir served;
    TLoopbackServer server;
    std::shared_ptr<TLauncherFilesystemHelper> helper;
    std::shared_ptr<QNetworkAccessManager> network = std::make_shared<QNetworkAccessManager>();
    std::shared_ptr<TLauncherConfigurationReader> configuration;
};

void TestEndToEnd::initTestCase()
{
    QVERIFY(home.isValid() && served.isValid() && server.isListening());
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    registerInstallationMetaTypes();
    server.serveFolder(served.path());
    const QDir root(served.path());
    // Raw packed buffers: the unpack step runs, without the cost of compressing random data.
    QVERIFY(publish(root, "r1", release1(), "1", assets1(), "7", { "bin/start.sh" }, "raw"));
    QVERIFY(publish(root, "r2", release2(), "2", assets1(), "7", { "bin/start.sh" }, "raw"));
    // Only the information and debug lines of the engine are many; warnings stay.
    QLoggingCategory::setFilterRules("default.info=false\ndefault.debug=false");
}

void TestEndToEnd::init()
{
    helper = std::make_shared<TLauncherFilesystemHelper>();
    QDir(helper->packagesDirectory()).removeRecursively();
    helper->getLauncherSettings()->retries = 1;
    helper->getLauncherSettings()->chunkTransportTimeOut = 30000;
    configuration = launcherConfiguration({ "game" });
    server.clearScripts();
    server.resetCounters();
}

bool TestEndToEnd::run(const std::shared_ptr<TPackage>& package, bool verifyOnly, bool expectSuccess)
{
    TInstallationManager manager(configuration, network, helper);
    TFinishes finishes(manager);
    if (verifyOnly)
        manager.verifyPackage(package);
    else
        manager.installOrUpdatePackage(package);
    if (!QTest::qWaitFor([&] { return finishes.allFinished == 1; }, 60000))
        return false;
    return finishes.finished.size() == 1 && finishes.succeeded.front() == expectSuccess;
}

void TestEndToEnd::compareInstalled(const TTree& content, const TTree& assets)
{
    TTree expected = content;
    for (auto it = assets.begin(); it != assets.end(); ++it)
        expected.insert(it.key(), it.value());
    TTree found = readTree(folder());
    QVERIFY(found.remove("package.json"));
    QVERIFY(found.remove("assets.json"));
    QCOMPARE(found.keys(), expected.keys());
    for (auto it = expected.begin(); it != expected.end(); ++it)
        QVERIFY2(found.value(it.key()) == it.value(), qPrintable(it.key()));
    QVERIFY(QFileInfo(folder().filePath("bin/start.sh")).isExecutable());
    QVERIFY(!QFileInfo(folder().filePath("bin/game")).isExecutable());
}

int TestEndToEnd::chunkRequests(const QString& release) const
{
    int count = 0;
    for (const auto& request : server.requests())
        count += request.path.startsWith("/" + release + "/package/chunks/") ? 1 : 0;
    return count;
}

void TestEndToEnd::firstInstallation()
{
    const std::shared_ptr<TPackage> game = configuration->packages[0];
    load(*game, server, QDir(served.path()), "r1");
    QVERIFY(run(game, false, true));
    compareInstalled(release1(), assets1());
    QCOMPARE(chunkRequests("r1"), int(chunkHashes(*game->packageConfiguration()).size()));
    QVERIFY(!QFileInfo::exists(folder().filePath("partial-package.json")));
    QCOMPARE(readAll(folder().filePath("package.json")), game->packageConfiguration()->packageJson);
    TInstallationManager next(configuration, network, helper);
    QCOMPARE(game->localStatus, ELocalPackageStatus::UpToDate);
}

void TestEndToEnd::updateDownloadsOnlyTheChangedChunks()
{
    const std::shared_ptr<TPackage> game = configuration->packages[0];
    load(*game, server, QDir(served.path()), "r1");
    QVERIFY(run(game, false, true));
    const QSet<QByteArray> installed = chunkHashes(*game->packageConfiguration());

    load(*game, server, QDir(served.path()), "r2");
    QCOMPARE(TInstallationManager(configuration, network, helper).localPackageStatus(game),
        ELocalPackageStatus::UpdateAvailable);
    QSet<QByteArray> changed;
    quint64 changedBytes = 0;
    quint64 totalBytes = 0;
    for (const TChunkInPackage& chunk : game->packageConfiguration()->chunks) {
        totalBytes += chunk.packedSize;
        if (!installed.contains(chunk.unpackedHash) && !changed.contains(chunk.unpackedHash)) {
            changed.insert(chunk.unpackedHash);
            changedBytes += chunk.packedSize;
        }
    }
    QVERIFY(changed.size() <= 5);
    QVERIFY2(changedBytes * 3 < totalBytes, "the fixture changes too much to show reuse");
    server.resetCounters();
    QVERIFY(run(game, false, true));
    QCOMPARE(chunkRequests("r2"), int(changed.size()));
    QCOMPARE(server.requestCount(), int(changed.size()));
    compareInstalled(release2(), assets1());
    QCOMPARE(game->localStatus, ELocalPackageStatus::UpToDate);
}

void TestEndToEnd::verificationFindsAFlippedByteAndAnUpdateRepairsIt()
{
    const std::shared_ptr<TPackage> game = configuration->packages[0];
    load(*game, server, QDir(served.path()), "r1");
    QVERIFY(run(game, false, true));
    {
        QFile file(folder().filePath("bin/game"));
        QVERIFY(file.open(QIODevice::ReadWrite));
        QVERIFY(file.seek(21 * MiB));
        const char byte = file.read(1).at(0);
        QVERIFY(file.seek(21 * MiB));
        QCOMPARE(file.write(QByteArray(1, char(byte ^ 0x20))), 1);
    }
    TInstallationManager(configuration, network, helper);
    QCOMPARE(game->localStatus, ELocalPackageStatus::UpToDate); // the markers cannot know

    server.resetCounters();
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("verification of file .*bin/game.* failed"));
    QVERIFY(run(game, true, false));
    QCOMPARE(server.requestCount(), 0);
    QCOMPARE(game->localStatus, ELocalPackageStatus::PartiallyInstalled);
    QVERIFY(QFileInfo::exists(folder().filePath("partial-package.json")));

    // A partially installed package is scanned in full, so the changed piece is found and fetched.
    game->isUpToDate = false;
    QVERIFY(run(game, false, true));
    QVERIFY(server.requestCount() >= 1 && server.requestCount() <= 2);
    compareInstalled(release1(), assets1());
    QCOMPARE(game->localStatus, ELocalPackageStatus::UpToDate);
    QVERIFY(game->isUpToDate);
}

void TestEndToEnd::interruptedInstallationIsCompletedByANewManager()
{
    const std::shared_ptr<TPackage> game = configuration->packages[0];
    load(*game, server, QDir(served.path()), "r1");
    // The large file's last piece never comes in the first run.
    const TPackageConfigurationReader* loaded = game->packageConfiguration();
    const TFileInPackage& large = *loaded->files.find("bin/game");
    const QUrl stalled = loaded->chunks[std::size_t(large.chunkIndices.back())].url;
    server.setScript(stalled.path(), { TResponse::delayed(30000) });
    const TTree content = release1();
    {
        auto manager = std::make_unique<TInstallationManager>(configuration, network, helper);
        TFinishes finishes(*manager);
        manager->installOrUpdatePackage(game);
        QVERIFY(QTest::qWaitFor(
            [&] {
                for (int i = 0; i < 30; ++i) {
                    const QString name = QString("data/part%1.bin").arg(i, 2, 10, QLatin1Char('0'));
                    if (readAll(folder().filePath(name)) != content.value(name))
                        return false;
                }
                return true;
            },
            30000));
        QVERIFY(finishes.finished.isEmpty());
        manager.reset(); // the installation object goes, as a crash would leave the folder
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(readAll(folder().filePath("bin/game")) != content.value("bin/game"));
    }
    QVERIFY(!TInstallationManager::isFolderBeingWritten(folder()));

    server.clearScripts();
    server.resetCounters();
    TInstallationManager next(configuration, network, helper);
    QCOMPARE(game->localStatus, ELocalPackageStatus::PartiallyInstalled);
    QVERIFY(run(game, false, true));
    compareInstalled(content, assets1());
    QCOMPARE(game->localStatus, ELocalPackageStatus::UpToDate);
    // The small files written in the first run are kept.
    QVERIFY(server.requestCount() < int(chunkHashes(*game->packageConfiguration()).size()) - 25);
}

QTEST_MAIN(TestEndToEnd)
#include "tst_endtoend.moc"
