#include "installation/installationmanager.h"

#include "core/launcherconfigurationreader.h"
#include "core/launcherfilesystemhelper.h"
#include "core/package.h"
#include "core/packageconfigurationreader.h"

#include <QCoreApplication>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using namespace korvane::launcher;

Q_DECLARE_METATYPE(ELocalPackageStatus)

namespace {

QByteArray packageDocument(const QString& version, const QString& executable = QString())
{
    return QStringLiteral(R"({"version":"%1","executable":"%2","chunks":[{"url":"c/1"}],"files":[]})")
        .arg(version, executable)
        .toUtf8();
}

QByteArray assetDocument(const QString& version)
{
    return QStringLiteral(R"({"version":%1})").arg(version).toUtf8();
}

// A launcher configuration whose packages are named p0, p1, ... with folders of the same names; each gets a
// loaded configuration of the given version (empty: no build for this system).
std::shared_ptr<TLauncherConfigurationReader> launcherConfiguration(
    const QStringList& versions, const QString& assetVersion = "7", const QStringList& executables = {})
{
    QJsonArray packages;
    for (int i = 0; i < versions.size(); ++i) {
        const QString os = versions[i].isEmpty() ? "windows" : "linux";
        packages.append(QJsonObject { { "name", QString("p%1").arg(i) }, { "directoryname", QString("p%1").arg(i) },
            { "builds",
                QJsonArray { QJsonObject { { "os", os }, { "architecture", "x86_64" }, { "url", "pkg.json" } } } } });
    }
    auto reader = std::make_shared<TLauncherConfigurationReader>(
        QUrl("https://cfg.example/"), QJsonDocument(QJsonObject { { "packages", packages } }).toJson());
    for (int i = 0; i < versions.size(); ++i) {
        if (versions[i].isEmpty())
            continue;
        // Windows builds are not for this machine; give every build a configuration anyway.
        reader->packages[std::size_t(i)]->builds[0]->setConfiguration(
            new TPackageConfigurationReader(packageDocument(versions[i], executables.value(i)),
                assetDocument(assetVersion), QUrl("https://cfg.example/"), QUrl("https://cfg.example/")));
    }
    return reader;
}

void write(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

QByteArray read(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

} // namespace

class TestInstallationManager : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void localStatus_data();
    void localStatus();
    void statusSignalledOnlyOnChange();
    void defaultClientIsTheFirstInstalledWithMarker();
    void markingAsPartiallyInstalled_data();
    void markingAsPartiallyInstalled();
    void installedConfigurationReadBack();
    void foldersAndExecutables();
    void markerNamedLikeTheFolderIsRefused_data();
    void markerNamedLikeTheFolderIsRefused();

private:
    QDir packagesFolder() { return helper->packagesDirectory(); }
    QString folderOf(int i) { return packagesFolder().filePath(QString("p%1").arg(i)); }

    QTemporaryDir home;
    std::shared_ptr<TLauncherFilesystemHelper> helper;
};

void TestInstallationManager::initTestCase()
{
    QVERIFY(home.isValid());
    qputenv("XDG_DATA_HOME", home.path().toUtf8());
    helper = std::make_shared<TLauncherFilesystemHelper>();
    QVERIFY(packagesFolder().absolutePath().startsWith(home.path()));
}

void TestInstallationManager::init()
{
    QDir(packagesFolder()).removeRecursively();
}

void TestInstallationManager::localStatus_data()
{
    QTest::addColumn<QString>("currentVersion"); // empty: no build for this system
    QTest::addColumn<QString>("currentAssetVersion");
    QTest::addColumn<QByteArray>("fullMarker"); // empty: missing
    QTest::addColumn<QByteArray>("installedAsset");
    QTest::addColumn<bool>("partialMarker");
    QTest::addColumn<ELocalPackageStatus>("expected");

    const QByteArray v5 = packageDocument("5");
    QTest::newRow("no build, markers present")
        << ""
        << "7" << v5 << assetDocument("7") << true << ELocalPackageStatus::NotInstalled;
    QTest::newRow("never installed") << "5"
                                     << "7" << QByteArray() << QByteArray() << false
                                     << ELocalPackageStatus::NotInstalled;
    QTest::newRow("partial only, whatever it holds")
        << "5"
        << "7" << QByteArray() << QByteArray() << true << ELocalPackageStatus::PartiallyInstalled;
    QTest::newRow("installed, same version")
        << "5"
        << "7" << v5 << assetDocument("7") << false << ELocalPackageStatus::UpToDate;
    QTest::newRow("installed, other version")
        << "6"
        << "7" << v5 << assetDocument("7") << false << ELocalPackageStatus::UpdateAvailable;
    QTest::newRow("installed, other asset version")
        << "5"
        << "8" << v5 << assetDocument("7") << false << ELocalPackageStatus::UpdateAvailable;
    QTest::newRow("asset version 1 always updates")
        << "5"
        << "1" << v5 << assetDocument("1") << false << ELocalPackageStatus::UpdateAvailable;
    QTest::newRow("both markers: the full one decides")
        << "5"
        << "7" << v5 << assetDocument("7") << true << ELocalPackageStatus::UpToDate;
    QTest::newRow("unreadable full marker")
        << "5"
        << "7" << QByteArray("not json") << assetDocument("7") << false << ELocalPackageStatus::UpdateAvailable;
}

void TestInstallationManager::localStatus()
{
    QFETCH(QString, currentVersion);
    QFETCH(QString, currentAssetVersion);
    QFETCH(QByteArray, fullMarker);
    QFETCH(QByteArray, installedAsset);
    QFETCH(bool, partialMarker);
    QFETCH(ELocalPackageStatus, expected);

    const QDir folder(folderOf(0));
    if (!fullMarker.isEmpty())
        write(folder.filePath("package.json"), fullMarker);
    if (!installedAsset.isEmpty())
        write(folder.filePath("assets.json"), installedAsset);
    if (partialMarker)
        write(folder.filePath("partial-package.json"), "{}");
    auto configuration = launcherConfiguration({ currentVersion }, currentAssetVersion);
    TInstallationManager manager(configuration, nullptr, helper);
    const std::shared_ptr<TPackage>& package = configuration->packages.front();
    QCOMPARE(manager.localPackageStatus(package), expected);
    QCOMPARE(package->localStatus, expected);
    QVERIFY(!package->isDefaultClient);
}

void TestInstallationManager::statusSignalledOnlyOnChange()
{
    write(QDir(folderOf(0)).filePath("partial-package.json"), "{}");
    auto configuration = launcherConfiguration({ "5" });
    const std::shared_ptr<TPackage>& package = configuration->packages.front();
    QSignalSpy changed(package.get(), &TPackage::localPackageStatusChanged);
    TInstallationManager first(configuration, nullptr, helper);
    QCOMPARE(changed.count(), 1);
    TInstallationManager second(configuration, nullptr, helper);
    first.markPackageAsPartiallyInstalled(package, packageDocument("5"), QByteArray());
    QCOMPARE(changed.count(), 1);
}

void TestInstallationManager::defaultClientIsTheFirstInstalledWithMarker()
{
    // p0: marker but not installed; p1: installed, no marker; p2 and p3: installed with marker.
    write(QDir(folderOf(0)).filePath("default"), "");
    write(QDir(folderOf(1)).filePath("partial-package.json"), "{}");
    write(QDir(folderOf(2)).filePath("partial-package.json"), "{}");
    write(QDir(folderOf(2)).filePath("default"), "");
    write(QDir(folderOf(3)).filePath("package.json"), packageDocument("5"));
    write(QDir(folderOf(3)).filePath("default"), "");
    write(QDir(folderOf(4)).filePath("default"), ""); // no build for this system
    auto configuration = launcherConfiguration({ "5", "5", "5", "5", "" });
    TInstallationManager manager(configuration, nullptr, helper);
    QList<bool> flags;
    for (const auto& package : configuration->packages)
        flags << package->isDefaultClient;
    QCOMPARE(flags, (QList<bool> { false, false, true, false, false }));
    QCOMPARE(manager.defaultClientPackage(), configuration->packages[2]);

    TInstallationManager none(launcherConfiguration({ "5" }), nullptr, helper);
    QCOMPARE(none.defaultClientPackage(), nullptr);
}

void TestInstallationManager::markingAsPartiallyInstalled_data()
{
    QTest::addColumn<QByteArray>("full");
    QTest::addColumn<QByteArray>("partial");
    QTest::addColumn<QByteArray>("assetBefore");
    QTest::addColumn<QByteArray>("newAsset");
    QTest::addColumn<QByteArray>("partialAfter");
    QTest::addColumn<QByteArray>("assetAfter");
    const QByteArray doc = packageDocument("9");
    QTest::newRow("installed: full marker becomes the partial one")
        << QByteArray("old-full") << QByteArray("old-partial") << QByteArray("a0") << QByteArray("a9")
        << QByteArray("old-full") << QByteArray("a9");
    QTest::newRow("partial only stays as it is") << QByteArray() << QByteArray("old-partial") << QByteArray()
                                                 << QByteArray("a9") << QByteArray("old-partial") << QByteArray("a9");
    QTest::newRow("nothing yet: the new document")
        << QByteArray() << QByteArray() << QByteArray() << QByteArray() << doc << QByteArray("<missing>");
    QTest::newRow("empty asset keeps the old one") << QByteArray("old-full") << QByteArray() << QByteArray("a0")
                                                   << QByteArray() << QByteArray("old-full") << QByteArray("a0");
}

void TestInstallationManager::markingAsPartiallyInstalled()
{
    QFETCH(QByteArray, full);
    QFETCH(QByteArray, partial);
    QFETCH(QByteArray, assetBefore);
    QFETCH(QByteArray, newAsset);
    QFETCH(QByteArray, partialAfter);
    QFETCH(QByteArray, assetAfter);
    const QDir folder(folderOf(0));
    if (!full.isEmpty())
        write(folder.filePath("package.json"), full);
    if (!partial.isEmpty())
        write(folder.filePath("partial-package.json"), partial);
    if (!assetBefore.isEmpty())
        write(folder.filePath("assets.json"), assetBefore);
    auto configuration = launcherConfiguration({ "9" });
    TInstallationManager manager(configuration, nullptr, helper);
    manager.markPackageAsPartiallyInstalled(configuration->packages.front(), packageDocument("9"), newAsset);
    QVERIFY(!QFileInfo::exists(folder.filePath("package.json")));
    QCOMPARE(read(folder.filePath("partial-package.json")), partialAfter);
    QCOMPARE(read(folder.filePath("assets.json")), assetAfter);
    QCOMPARE(configuration->packages.front()->localStatus, ELocalPackageStatus::PartiallyInstalled);
    const auto markers = manager.installationMarkerPaths(folder);
    QCOMPARE(markers.first, folder.filePath("partial-package.json"));
    QCOMPARE(markers.second, folder.filePath("package.json"));
}

void TestInstallationManager::installedConfigurationReadBack()
{
    TInstallationManager manager(nullptr, nullptr, helper);
    const QDir folder(folderOf(0));
    QVERIFY(!manager.readPackageConfigurationFromInstallationDirectory(folder).valid);

    write(folder.filePath("partial-package.json"), packageDocument("3"));
    write(folder.filePath("assets.json"), assetDocument("4"));
    TPackageConfigurationReader partial = manager.readPackageConfigurationFromInstallationDirectory(folder);
    QCOMPARE(partial.versionText(), QString("P3 A4"));

    write(folder.filePath("package.json"), packageDocument("5"));
    const TPackageConfigurationReader full = manager.readPackageConfigurationFromInstallationDirectory(folder);
    QVERIFY(full.valid);
    QCOMPARE(full.versionText(), QString("P5 A4"));
    QCOMPARE(full.packageJson, packageDocument("5"));
    QCOMPARE(full.chunks.front().url, QUrl::fromLocalFile(folder.absolutePath() + "/c/1"));

    write(folder.filePath("package.json"), "broken");
    QVERIFY(!manager.readPackageConfigurationFromInstallationDirectory(folder).valid);
}

void TestInstallationManager::foldersAndExecutables()
{
    auto configuration = launcherConfiguration({ "1", "1", "" }, "7", { "bin/game", "", "x" });
    TInstallationManager manager(configuration, nullptr, helper);
    QCOMPARE(
        manager.installationDirectory(configuration->packages[0]).absolutePath(), QDir(folderOf(0)).absolutePath());
    static const TLauncherConfigurationReader empty(QUrl("https://cfg.example/"), "{}");
    auto launcher = std::make_shared<TPackage>(TPackage::launcherPackageIndex, QJsonObject { { "name", "L" } }, empty);
    QCOMPARE(manager.installationDirectory(launcher).absolutePath(),
        QDir(QCoreApplication::applicationDirPath()).absolutePath());

    const QString executable = QDir(folderOf(0)).filePath("bin/game");
    QCOMPARE(manager.packageExecutablePath(configuration->packages[0]), executable);
    QCOMPARE(manager.packageExecutablePath(configuration->packages[1]), QString());
    QCOMPARE(manager.findPackageByExecutablePath(QDir(folderOf(0)).filePath("bin/../bin//game")),
        configuration->packages[0]);
    QCOMPARE(manager.findPackageByExecutablePath(QString()), configuration->packages[1]);
    QCOMPARE(manager.findPackageByExecutablePath(executable.toUpper()), nullptr);
}

void TestInstallationManager::markerNamedLikeTheFolderIsRefused_data()
{
    QTest::addColumn<QString>("fullMarker");
    QTest::addColumn<QString>("partialMarker");
    QTest::newRow("empty full marker, installed") << ""
                                                  << "partial-package.json";
    QTest::newRow("dot as partial marker") << "package.json"
                                           << ".";
}

void TestInstallationManager::markerNamedLikeTheFolderIsRefused()
{
    QFETCH(QString, fullMarker);
    QFETCH(QString, partialMarker);
    // Start-up refuses such settings; the manager must not rely on that alone.
    auto own = std::make_shared<TLauncherFilesystemHelper>();
    own->getLauncherSettings()->packageFile = fullMarker;
    own->getLauncherSettings()->partialPackageFile = partialMarker;
    write(folderOf(0) + "/package.json", packageDocument("4"));
    write(folderOf(0) + "/saves/slot1", "player's own");

    const auto configuration = launcherConfiguration({ "5" });
    TInstallationManager manager(nullptr, nullptr, own);
    QVERIFY_THROWS_EXCEPTION(std::runtime_error,
        manager.markPackageAsPartiallyInstalled(configuration->packages.front(), packageDocument("5"), {}));
    QCOMPARE(read(folderOf(0) + "/saves/slot1"), QByteArray("player's own"));
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, manager.installationMarkerPaths(QDir(folderOf(0))));
}

QTEST_MAIN(TestInstallationManager)
#include "tst_installationmanager.moc"
