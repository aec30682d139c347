#include "core/launcherfilesystemhelper.h"
#include "core/launchersettings.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

using korvane::launcher::TLauncherFilesystemHelper;
using korvane::launcher::TLauncherSettings;

namespace {

const QString embeddedSettings = QStringLiteral(":/settings/launchersettings.ini");

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace

class TestLauncherSettings : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void shippedValues();
    void shippedFileLayout();
    void helperWithoutFileNextToTheProgramUsesShippedValues();
    void shippedValuesForMissingKeys();
    void refusedNames_data();
    void refusedNames();
    void concurrentDownloadsAtLeastOne_data();
    void concurrentDownloadsAtLeastOne();
    void conversions_data();
    void conversions();

    void packagesDirectory();
    void writeFileCreatingFolder();
    void removePath();
    void moveFileReplacing();
    void accountGroupPaths();

private:
    QTemporaryDir dataHome;
};

void TestLauncherSettings::initTestCase()
{
    QVERIFY(dataHome.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
    QCoreApplication::setOrganizationName(QStringLiteral("Dulmark GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("Korvane Vedudi"));
    // Every test program shares this folder; a settings file there would change what they all read.
    QVERIFY(!QFile::exists(QCoreApplication::applicationDirPath() + QStringLiteral("/launchersettings.ini")));
}

void TestLauncherSettings::shippedValues()
{
    const TLauncherSettings s = TLauncherSettings::read(embeddedSettings);
    QCOMPARE(s.launcherConfiguration.scheme(), QStringLiteral("https"));
    QVERIFY(s.launcherConfiguration.host().endsWith(QLatin1String(".example")));
    QCOMPARE(s.launcherConfiguration.path(), QStringLiteral("/launcher/dulmetadata.json"));
    QVERIFY(s.cdnDiagnosticsTrace.isEmpty());
    QCOMPARE(s.appendNocacheToPackageUrls, false);
    QCOMPARE(s.packages, QStringLiteral("packages"));
    QCOMPARE(s.settingsTarget, QStringLiteral("KorvaneVedudiClient_Data/Data/Settings"));
    QCOMPARE(s.packageFile, QStringLiteral("package.json"));
    QCOMPARE(s.partialPackageFile, QStringLiteral("partial-package.json"));
    QCOMPARE(s.assetFile, QStringLiteral("assets.json"));
    QCOMPARE(s.accountGroupFile, QStringLiteral("accountgroup.json"));
    QCOMPARE(s.waitNotificationTimeout, 500);
    QCOMPARE(s.downloadErrorTimeout, 10000);
    QCOMPARE(s.clientStartTimeout, 30000);
    QCOMPARE(s.fastScan, true);
    QCOMPARE(s.ipV4Mode, true);
    QCOMPARE(s.skipVerification, true);
    QCOMPARE(s.chunkVerification, false);
    QCOMPARE(s.maxCachedChunks, 100);
    QCOMPARE(s.maxConcurrentDownloads, 10);
    // Written "5;": the semicolon starts a comment.
    QCOMPARE(s.retries, 5);
    QCOMPARE(s.configurationTransportTimeOut, 750);
    QCOMPARE(s.chunkTransportTimeOut, 120000);
}

void TestLauncherSettings::shippedFileLayout()
{
    const QByteArray text = readBytes(embeddedSettings);
    QVERIFY(text.endsWith("\nretries=5;"));
    QVERIFY(text.contains("\ncdnDiagnosticsTrace=\n"));
    QVERIFY(!text.contains("DEBUG"));
    QStringList groups;
    for (const QByteArray& line : text.split('\n')) {
        if (line.startsWith('['))
            groups.append(QString::fromLatin1(line));
    }
    QCOMPARE(groups, (QStringList { "[URLS]", "[DIRECTORIES]", "[FILES]", "[TIMING]", "[OPTIONS]" }));
    QVERIFY(text.contains("chunkTransportTimeOut=120000\nretries=5;"));
    QVERIFY(text.contains("accountGroupFile=accountgroup.json\n\n[TIMING]"));
}

void TestLauncherSettings::helperWithoutFileNextToTheProgramUsesShippedValues()
{
    TLauncherFilesystemHelper helper;
    const TLauncherSettings shipped = TLauncherSettings::read(embeddedSettings);
    QCOMPARE(helper.getLauncherSettings()->launcherConfiguration, shipped.launcherConfiguration);
    QCOMPARE(helper.getLauncherSettings()->retries, 5);
    QCOMPARE(helper.getLauncherSettings()->chunkTransportTimeOut, 120000);
}

void TestLauncherSettings::shippedValuesForMissingKeys()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("launchersettings.ini"));
    // A trimmed copy, with a misspelt key (keys are case-sensitive).
    writeBytes(path, "[FILES]\npartialPackagefile=partial.json\n\n[OPTIONS]\nretries=3\n");
    const TLauncherSettings s = TLauncherSettings::read(path);
    const TLauncherSettings shipped = TLauncherSettings::read(embeddedSettings);
    QCOMPARE(s.launcherConfiguration, shipped.launcherConfiguration);
    QCOMPARE(s.packages, QStringLiteral("packages"));
    QCOMPARE(s.packageFile, QStringLiteral("package.json"));
    QCOMPARE(s.partialPackageFile, QStringLiteral("partial-package.json"));
    QCOMPARE(s.waitNotificationTimeout, 500);
    QCOMPARE(s.downloadErrorTimeout, 10000);
    QCOMPARE(s.chunkTransportTimeOut, 120000);
    QCOMPARE(s.retries, 3);
    // Not in the shipped file: the code's default.
    QCOMPARE(s.chunkVerification, false);
    QVERIFY(s.refusedNames().isEmpty());
    QCOMPARE(s.missingKeys.size(), 19);
    QVERIFY(s.missingKeys.contains(QStringLiteral("FILES/partialPackageFile")));
    QVERIFY(s.missingKeys.contains(QStringLiteral("TIMING/downloadErrorTimeout")));
    QVERIFY(!s.missingKeys.contains(QStringLiteral("OPTIONS/retries")));
    QVERIFY(!s.missingKeys.contains(QStringLiteral("DEBUG/chunkVerification")));

    QVERIFY(shipped.missingKeys.isEmpty());
    QVERIFY(shipped.adjustments.isEmpty());
    // A missing file gives the shipped values throughout.
    QCOMPARE(TLauncherSettings::read(folder.filePath(QStringLiteral("none.ini"))).retries, 5);
}

void TestLauncherSettings::refusedNames_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QStringList>("refused");
    QTest::newRow("empty marker") << QByteArray("[FILES]\npackageFile=\n") << QStringList { "packageFile=" };
    QTest::newRow("dot") << QByteArray("[FILES]\npartialPackageFile=.\n") << QStringList { "partialPackageFile=." };
    QTest::newRow("absolute") << QByteArray("[FILES]\nassetFile=/etc/assets.json\n")
                              << QStringList { "assetFile=/etc/assets.json" };
    QTest::newRow("climbing") << QByteArray("[FILES]\naccountGroupFile=../accountgroup.json\n")
                              << QStringList { "accountGroupFile=../accountgroup.json" };
    QTest::newRow("folders") << QByteArray("[DIRECTORIES]\npackages=\nsettingsTarget=a/../../b\n")
                             << QStringList { "packages=", "settingsTarget=a/../../b" };
    QTest::newRow("nested names are fine")
        << QByteArray("[DIRECTORIES]\npackages=games/installed\n[FILES]\npackageFile=meta/package.json\n")
        << QStringList();
}

void TestLauncherSettings::refusedNames()
{
    QFETCH(QByteArray, content);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("launchersettings.ini"));
    writeBytes(path, content);
    QTEST(TLauncherSettings::read(path).refusedNames(), "refused");
}

void TestLauncherSettings::concurrentDownloadsAtLeastOne_data()
{
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<int>("expected");
    QTest::newRow("zero") << QByteArray("0") << 1;
    QTest::newRow("negative") << QByteArray("-3") << 1;
    QTest::newRow("not a number") << QByteArray("many") << 1;
    QTest::newRow("one") << QByteArray("1") << 1;
}

void TestLauncherSettings::concurrentDownloadsAtLeastOne()
{
    QFETCH(QByteArray, value);
    QFETCH(int, expected);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("launchersettings.ini"));
    writeBytes(path, "[OPTIONS]\nmaxConcurrentDownloads=" + value + "\n");
    const TLauncherSettings s = TLauncherSettings::read(path);
    QCOMPARE(s.maxConcurrentDownloads, expected);
    QCOMPARE(s.adjustments.size(), value == "1" ? 0 : 1);
}

void TestLauncherSettings::conversions_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("maxCachedChunks");
    QTest::addColumn<bool>("fastScan");
    QTest::addColumn<qint64>("downloadErrorTimeout");
    QTest::addColumn<bool>("chunkVerification");
    QTest::newRow("not a number") << QByteArray("[OPTIONS]\nmaxCachedChunks=abc\n") << 0 << true << qint64(10000)
                                  << false;
    QTest::newRow("false in capitals") << QByteArray("[OPTIONS]\nfastScan=FALSE\n") << 100 << false << qint64(10000)
                                       << false;
    QTest::newRow("zero") << QByteArray("[OPTIONS]\nfastScan=0\n") << 100 << false << qint64(10000) << false;
    QTest::newRow("empty") << QByteArray("[OPTIONS]\nfastScan=\n") << 100 << false << qint64(10000) << false;
    QTest::newRow("any other text") << QByteArray("[OPTIONS]\nfastScan=no\n") << 100 << true << qint64(10000) << false;
    QTest::newRow("negative time") << QByteArray("[TIMING]\ndownloadErrorTimeout=-5\n") << 100 << true << qint64(-5)
                                   << false;
    QTest::newRow("debug group") << QByteArray("[DEBUG]\nchunkVerification=true\n") << 100 << true << qint64(10000)
                                 << true;
    QTest::newRow("key outside its group")
        << QByteArray("maxCachedChunks=7\n[URLS]\nfastScan=false\n") << 100 << true << qint64(10000) << false;
}

void TestLauncherSettings::conversions()
{
    QFETCH(QByteArray, content);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("launchersettings.ini"));
    writeBytes(path, content);
    const TLauncherSettings s = TLauncherSettings::read(path);
    QTEST(s.maxCachedChunks, "maxCachedChunks");
    QTEST(s.fastScan, "fastScan");
    QTEST(s.downloadErrorTimeout, "downloadErrorTimeout");
    QTEST(s.chunkVerification, "chunkVerification");
}

void TestLauncherSettings::packagesDirectory()
{
    TLauncherFilesystemHelper helper;
    const QString expected
        = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/packages");
    QVERIFY(expected.startsWith(dataHome.path()));
    QDir packages = helper.packagesDirectory();
    QCOMPARE(packages.absolutePath(), expected);
    QVERIFY(packages.exists());
    QCOMPARE(helper.packagesDirectory().absolutePath(), expected);
}

void TestLauncherSettings::writeFileCreatingFolder()
{
    QTemporaryDir folder;
    TLauncherFilesystemHelper helper;
    const QString path = folder.filePath(QStringLiteral("a/b/marker.json"));
    helper.writeFileCreatingFolder(path, "first");
    helper.writeFileCreatingFolder(path, "2");
    QCOMPARE(readBytes(path), QByteArray("2"));

    writeBytes(folder.filePath(QStringLiteral("plain")), "x");
    QVERIFY_THROWS_EXCEPTION(
        std::runtime_error, helper.writeFileCreatingFolder(folder.filePath(QStringLiteral("plain/sub/f")), "x"));
}

void TestLauncherSettings::removePath()
{
    QTemporaryDir folder;
    TLauncherFilesystemHelper helper;
    const QString tree = folder.filePath(QStringLiteral("tree"));
    QVERIFY(QDir().mkpath(tree + QStringLiteral("/deep/deeper")));
    writeBytes(tree + QStringLiteral("/deep/deeper/f"), "x");
    writeBytes(tree + QStringLiteral("/g"), "y");
    helper.removePath(tree);
    QVERIFY(!QFileInfo::exists(tree));

    const QString file = folder.filePath(QStringLiteral("file"));
    writeBytes(file, "x");
    helper.removePath(file);
    QVERIFY(!QFileInfo::exists(file));
    helper.removePath(folder.filePath(QStringLiteral("missing")));

    // A link to a folder goes; what it points to stays.
    const QString kept = folder.filePath(QStringLiteral("kept"));
    QVERIFY(QDir().mkpath(kept));
    writeBytes(kept + QStringLiteral("/precious"), "x");
    const QString link = folder.filePath(QStringLiteral("link"));
    QVERIFY(QFile::link(kept, link));
    helper.removePath(link);
    QVERIFY(!QFileInfo(link).isSymLink());
    QVERIFY(QFileInfo::exists(kept + QStringLiteral("/precious")));
}

void TestLauncherSettings::moveFileReplacing()
{
    QTemporaryDir folder;
    TLauncherFilesystemHelper helper;
    const QString source = folder.filePath(QStringLiteral("new"));
    const QString target = folder.filePath(QStringLiteral("target"));
    writeBytes(source, "new");
    writeBytes(target, "old");
    helper.moveFileReplacing(source, target);
    QCOMPARE(readBytes(target), QByteArray("new"));
    QVERIFY(!QFileInfo::exists(source));

    helper.moveFileReplacing(source, target);
    QCOMPARE(readBytes(target), QByteArray("new"));

    // Onto itself, under any spelling: refused, and nothing is removed.
    for (const QString& self : { target, folder.filePath(QStringLiteral("./x/../target")) }) {
        QVERIFY_THROWS_EXCEPTION(std::runtime_error, helper.moveFileReplacing(target, self));
        QCOMPARE(readBytes(target), QByteArray("new"));
    }
    // What an empty marker name came to: the installation folder moved onto itself.
    const QString installation = folder.filePath(QStringLiteral("installation"));
    QVERIFY(QDir().mkpath(installation));
    writeBytes(installation + QStringLiteral("/player-file"), "mine");
    QVERIFY_THROWS_EXCEPTION(std::runtime_error, helper.moveFileReplacing(installation, installation + "/"));
    QCOMPARE(readBytes(installation + QStringLiteral("/player-file")), QByteArray("mine"));

    // A rename that fails is reported, and the source stays where it was.
    writeBytes(source, "again");
    QVERIFY_THROWS_EXCEPTION(
        std::runtime_error, helper.moveFileReplacing(source, folder.filePath(QStringLiteral("missing/target"))));
    QCOMPARE(readBytes(source), QByteArray("again"));
}

void TestLauncherSettings::accountGroupPaths()
{
    TLauncherFilesystemHelper helper;
    QCOMPARE(helper.getClientAccountGroupFilePath(),
        QStringLiteral("KorvaneVedudiClient_Data/Data/Settings/accountgroup.json"));
    QVERIFY(helper.getAccountGroupFilePath().isEmpty());
    QVERIFY(!helper.accountGroupFileExists());
    const QString expected
        = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/accountgroup.json");
    QCOMPARE(helper.getAccountGroupFilePath(), expected);
    QVERIFY(QDir().mkpath(QFileInfo(expected).absolutePath()));
    writeBytes(expected, "{}");
    QVERIFY(helper.accountGroupFileExists());
}

QTEST_GUILESS_MAIN(TestLauncherSettings)
#include "tst_launchersettings.moc"
