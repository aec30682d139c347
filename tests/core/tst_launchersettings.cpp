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
    void defaultsForMissingKeys();
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

void TestLauncherSettings::defaultsForMissingKeys()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("launchersettings.ini"));
    writeBytes(path, "[OPTIONS]\nretries=3\n");
    const TLauncherSettings s = TLauncherSettings::read(path);
    QVERIFY(s.launcherConfiguration.isEmpty());
    QVERIFY(s.packages.isEmpty());
    QCOMPARE(s.waitNotificationTimeout, 0);
    QCOMPARE(s.downloadErrorTimeout, 0);
    QCOMPARE(s.configurationTransportTimeOut, 750);
    QCOMPARE(s.chunkTransportTimeOut, 10000);
    QCOMPARE(s.fastScan, true);
    QCOMPARE(s.ipV4Mode, true);
    QCOMPARE(s.skipVerification, true);
    QCOMPARE(s.chunkVerification, false);
    QCOMPARE(s.appendNocacheToPackageUrls, false);
    QCOMPARE(s.maxCachedChunks, 100);
    QCOMPARE(s.maxConcurrentDownloads, 10);
    QCOMPARE(s.retries, 3);

    // A missing file gives the defaults throughout.
    QCOMPARE(TLauncherSettings::read(folder.filePath(QStringLiteral("none.ini"))).retries, 5);
}

void TestLauncherSettings::conversions_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<int>("maxCachedChunks");
    QTest::addColumn<bool>("fastScan");
    QTest::addColumn<qint64>("downloadErrorTimeout");
    QTest::addColumn<bool>("chunkVerification");
    QTest::newRow("not a number") << QByteArray("[OPTIONS]\nmaxCachedChunks=abc\n") << 0 << true << qint64(0) << false;
    QTest::newRow("false in capitals") << QByteArray("[OPTIONS]\nfastScan=FALSE\n") << 100 << false << qint64(0)
                                       << false;
    QTest::newRow("zero") << QByteArray("[OPTIONS]\nfastScan=0\n") << 100 << false << qint64(0) << false;
    QTest::newRow("empty") << QByteArray("[OPTIONS]\nfastScan=\n") << 100 << false << qint64(0) << false;
    QTest::newRow("any other text") << QByteArray("[OPTIONS]\nfastScan=no\n") << 100 << true << qint64(0) << false;
    QTest::newRow("negative time") << QByteArray("[TIMING]\ndownloadErrorTimeout=-5\n") << 100 << true << qint64(-5)
                                   << false;
    QTest::newRow("debug group") << QByteArray("[DEBUG]\nchunkVerification=true\n") << 100 << true << qint64(0) << true;
    QTest::newRow("key outside its group")
        << QByteArray("maxCachedChunks=7\n[URLS]\nfastScan=false\n") << 100 << true << qint64(0) << false;
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
