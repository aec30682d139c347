#include "support/launcherprocess.h"
#include "support/launchersandbox.h"

#include <QFile>
#include <QTcpServer>
#include <QtTest>

#include <memory>

using korvane::test::TLauncherProcess;
using korvane::test::TLauncherSandbox;

namespace {

const QString timestamp = QStringLiteral(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)");
const QString threadPattern = QStringLiteral(R"( Thread:  0x[0-9a-f]+)");

// A server that accepts connections and never answers, so a launcher waits quietly for its configuration.
std::unique_ptr<QTcpServer> silentServer;

// The given settings with the configuration on the silent server, waits longer than any test, and no IPv4
// probe (which would leave the machine).
QByteArray quietSettings(QByteArray settings = TLauncherSandbox::defaultSettings())
{
    const QByteArray url
        = "http://127.0.0.1:" + QByteArray::number(silentServer->serverPort()) + "/launcher/dulmetadata.json";
    settings.replace("http://127.0.0.1:1/launcher/dulmetadata.json", url);
    settings.replace("ipV4Mode=true", "ipV4Mode=false");
    settings.replace("downloadErrorTimeout=10000", "downloadErrorTimeout=600000");
    settings.replace("configurationTransportTimeOut=750", "configurationTransportTimeOut=600000");
    return settings;
}

} // namespace

// Runs the built launcher in sandboxes: start-up, its log, the single-instance rule and the language choice.
class TestStartup : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();
    void logLines();
    void secondInstanceLeavesTheFirstAlone();
    void killedInstanceDoesNotBlockTheNext();
    void singleInstanceFailureEndsWithExitCodeOne();
    void settingsNextToTheProgram_data();
    void settingsNextToTheProgram();
    void languageChoice_data();
    void languageChoice();
};

void TestStartup::initTestCase()
{
    silentServer = std::make_unique<QTcpServer>();
    QVERIFY(silentServer->listen(QHostAddress::LocalHost));
}

void TestStartup::cleanupTestCase()
{
    silentServer.reset();
}

void TestStartup::logLines()
{
    TLauncherSandbox sandbox(quietSettings());
    QVERIFY(sandbox.isValid());
    QVERIFY(!QFileInfo::exists(sandbox.appDataFolder()));
    TLauncherProcess launcher(sandbox);
    // Unknown options are ignored; the known ones do not stop the start.
    QVERIFY(launcher.start({ QStringLiteral("--bogus"), QStringLiteral("-x"), QStringLiteral("--patch=client") }));
    // The configuration request is the last line until the silent server answers.
    QVERIFY2(launcher.waitForLog(" Info: StartDownload: "), launcher.output().constData());

    const QStringList lines = QString::fromUtf8(sandbox.readLog()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 3);
    const QRegularExpression version(
        QStringLiteral("^%1 \\(:0\\) Info: Version:  \"0\\.0\\.19\" %2$").arg(timestamp, threadPattern));
    QVERIFY2(version.match(lines.at(0)).hasMatch(), qPrintable(lines.at(0)));
    const QRegularExpression load(
        QStringLiteral("^%1 \\(:0\\) Info: load configuration %2$").arg(timestamp, threadPattern));
    QVERIFY2(load.match(lines.at(1)).hasMatch(), qPrintable(lines.at(1)));
    QVERIFY2(lines.at(2).endsWith(
                 QStringLiteral(" Info: StartDownload:  QUrl(\"http://127.0.0.1:%1/launcher/dulmetadata.json\")")
                     .arg(silentServer->serverPort())),
        qPrintable(lines.at(2)));

    // Messages from before the log existed went to the standard error stream.
    QVERIFY2(launcher.output().contains("AccountGroupSetting Error: KeyNotExists"), launcher.output().constData());
    QVERIFY(!sandbox.readLog().contains("AccountGroupSetting"));
    QVERIFY(launcher.isRunning());
}

void TestStartup::secondInstanceLeavesTheFirstAlone()
{
    TLauncherSandbox sandbox(quietSettings());
    QVERIFY(sandbox.isValid());
    TLauncherProcess first(sandbox);
    QVERIFY(first.start());
    QVERIFY2(first.waitForLog("load configuration"), first.output().constData());
    const QByteArray firstLog = sandbox.readLog();

    TLauncherProcess second(sandbox);
    QVERIFY(second.start({ QStringLiteral("--show-ui") }));
    QVERIFY(second.waitForFinished());
    QCOMPARE(second.exitStatus(), QProcess::NormalExit);
    QCOMPARE(second.exitCode(), 0);
    const QRegularExpression alreadyRunning(
        QStringLiteral("Version:  \"0\\.0\\.19\" already running %1").arg(threadPattern));
    QVERIFY2(alreadyRunning.match(QString::fromUtf8(second.output())).hasMatch(), second.output().constData());

    QCOMPARE(sandbox.readLog(), firstLog);
    QVERIFY(first.isRunning());
}

void TestStartup::killedInstanceDoesNotBlockTheNext()
{
    TLauncherSandbox sandbox(quietSettings());
    QVERIFY(sandbox.isValid());
    TLauncherProcess first(sandbox);
    QVERIFY(first.start());
    QVERIFY2(first.waitForLog("load configuration"), first.output().constData());
    first.kill();
    QVERIFY(QFile::remove(sandbox.logFilePath()));

    TLauncherProcess next(sandbox);
    QVERIFY(next.start());
    QVERIFY2(next.waitForLog("load configuration"), next.output().constData());
    QVERIFY(next.isRunning());

    // The new one holds the single-instance segment in its turn.
    TLauncherProcess third(sandbox);
    QVERIFY(third.start());
    QVERIFY(third.waitForFinished());
    QCOMPARE(third.exitCode(), 0);
    QVERIFY(third.output().contains("already running"));
}

void TestStartup::singleInstanceFailureEndsWithExitCodeOne()
{
    TLauncherSandbox sandbox(quietSettings());
    QVERIFY(sandbox.isValid());
    // A temporary "folder" that is a plain file: the segment's key file cannot be made.
    const QString plainFile = sandbox.root() + QStringLiteral("/plain");
    QFile file(plainFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();

    TLauncherProcess launcher(sandbox);
    launcher.setEnvironmentValue(QStringLiteral("TMPDIR"), plainFile);
    QVERIFY(launcher.start());
    QVERIFY(launcher.waitForFinished());
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QCOMPARE(launcher.exitCode(), 1);
    QVERIFY2(launcher.output().contains("Single-instance test failed: QSharedMemory::SharedMemoryError(3)"),
        launcher.output().constData());
    QVERIFY(!QFileInfo::exists(sandbox.logFilePath()));
}

void TestStartup::settingsNextToTheProgram_data()
{
    QTest::addColumn<bool>("besideTheProgram");
    QTest::addColumn<QString>("keyFile");
    QTest::addColumn<QByteArray>("expectedWarning");
    QTest::newRow("file beside the program names the key file")
        << true << "custom.json" << QByteArray("AccountGroupSetting Error: KeyNoString");
    QTest::newRow("file beside the program, default name unused")
        << true << "accountgroup.json" << QByteArray("AccountGroupSetting Error: KeyNotExists");
    QTest::newRow("embedded settings") << false << "accountgroup.json"
                                       << QByteArray("AccountGroupSetting Error: KeyNoString");
}

void TestStartup::settingsNextToTheProgram()
{
    QFETCH(bool, besideTheProgram);
    QFETCH(QString, keyFile);
    QFETCH(QByteArray, expectedWarning);
    // The account-group file's name comes from the settings, so the key read at start shows which
    // settings were used.
    QByteArray settings = TLauncherSandbox::defaultSettings();
    settings.replace("accountGroupFile=accountgroup.json", "accountGroupFile=custom.json");
    TLauncherSandbox sandbox(quietSettings(settings));
    QVERIFY(sandbox.isValid());
    // With the embedded settings a launcher would ask the maker's server. A running instance ends the one
    // under test before any request, after it has read the key.
    TLauncherProcess running(sandbox);
    if (!besideTheProgram) {
        QVERIFY(running.start());
        QVERIFY2(running.waitForLog("load configuration"), running.output().constData());
        QVERIFY(QFile::remove(sandbox.binaryFolder() + QStringLiteral("/launchersettings.ini")));
    }
    QVERIFY(QDir().mkpath(sandbox.appDataFolder()));
    QFile key(sandbox.appDataFolder() + QLatin1Char('/') + keyFile);
    QVERIFY(key.open(QIODevice::WriteOnly));
    key.write(R"({"Key": 7})");
    key.close();

    TLauncherProcess launcher(sandbox);
    QVERIFY(launcher.start());
    if (besideTheProgram)
        QVERIFY2(launcher.waitForLog("load configuration"), launcher.output().constData());
    else
        QVERIFY2(launcher.waitForOutput("already running"), launcher.output().constData());
    QVERIFY2(launcher.output().contains(expectedWarning), launcher.output().constData());
}

void TestStartup::languageChoice_data()
{
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("lang");
    QTest::addColumn<QString>("lcAll");
    QTest::addColumn<QString>("expected");
    QTest::newRow("stored preference") << "pt-BR"
                                       << "de_DE.UTF-8"
                                       << ""
                                       << "pt-BR";
    QTest::newRow("stored in other case") << "PT-BR"
                                          << "de_AT.UTF-8"
                                          << ""
                                          << "de";
    QTest::newRow("stored not listed") << "xx"
                                       << "sv_SE.UTF-8"
                                       << ""
                                       << "sv";
    QTest::newRow("LANG with listed region") << ""
                                             << "pt_BR.UTF-8"
                                             << ""
                                             << "pt-BR";
    QTest::newRow("LANG base language") << ""
                                        << "de_AT.UTF-8"
                                        << ""
                                        << "de";
    QTest::newRow("LANG not listed") << ""
                                     << "zh_CN.UTF-8"
                                     << ""
                                     << "en";
    QTest::newRow("LC_ALL wins over LANG") << ""
                                           << "de_DE.UTF-8"
                                           << "fr_FR.UTF-8"
                                           << "fr";
}

void TestStartup::languageChoice()
{
    QFETCH(QString, stored);
    QFETCH(QString, lang);
    QFETCH(QString, lcAll);
    QFETCH(QString, expected);
    TLauncherSandbox sandbox(quietSettings());
    QVERIFY(sandbox.isValid());
    // One catalogue serves every language here: the log tells which one was chosen.
    const QString catalogue = QStringLiteral(KORVANE_TEST_CATALOGUE_DIR "/launcher.en.qm");
    for (const char* language : { "en", "de", "fr", "sv", "pt", "pt-BR" })
        QVERIFY(sandbox.installCatalogue(catalogue, QString::fromLatin1(language)));
    if (!stored.isEmpty())
        sandbox.storePreference(QStringLiteral("language"), stored);

    TLauncherProcess launcher(sandbox);
    launcher.setEnvironmentValue(QStringLiteral("LANG"), lang);
    if (!lcAll.isEmpty())
        launcher.setEnvironmentValue(QStringLiteral("LC_ALL"), lcAll);
    QVERIFY(launcher.start());
    QVERIFY2(launcher.waitForOutput("Loaded translation for language:"), launcher.output().constData());
    QVERIFY2(
        launcher.output().contains(QStringLiteral("Loaded translation for language: \"%1\"\n").arg(expected).toUtf8()),
        launcher.output().constData());
    // Not killed inside the single-instance test that comes next: the framework's semaphore, killed
    // between its creation and its first value, would block the sandbox's clean-up for ever.
    QVERIFY2(launcher.waitForLog("load configuration"), launcher.output().constData());
}

QTEST_GUILESS_MAIN(TestStartup)
#include "tst_startup.moc"
