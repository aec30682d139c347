#include "support/launcherprocess.h"
#include "support/launchersandbox.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTcpServer>
#include <QtTest>

using korvane::test::TLauncherProcess;
using korvane::test::TLauncherSandbox;

namespace {

// The shipped settings with the configuration on a server that accepts and never answers, so the launcher
// waits quietly after its first lines.
QByteArray silentSettings(const QTcpServer& server)
{
    const QUrl url(QStringLiteral("http://127.0.0.1:%1/launcher/dulmetadata.json").arg(server.serverPort()));
    return TLauncherSandbox::settingsFor(
        url, { { "configurationTransportTimeOut", "600000" }, { "downloadErrorTimeout", "600000" } });
}

} // namespace

// The launcher's log file as the built program writes it: when it cannot be opened, and across the
// restart that follows a self-update.
class TestLogFile : public QObject
{
    Q_OBJECT

private slots:
    void unopenableLogIsReportedOnce();
    void earlierLogByStartMode_data();
    void earlierLogByStartMode();
};

void TestLogFile::unopenableLogIsReportedOnce()
{
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    TLauncherSandbox sandbox(silentSettings(server));
    QVERIFY(sandbox.isValid());
    // A folder where the file should be.
    QVERIFY(QDir().mkpath(sandbox.logFilePath()));

    TLauncherProcess launcher(sandbox);
    QVERIFY(launcher.start());
    // The configuration request comes after the start-up messages.
    QVERIFY(server.waitForNewConnection(20000));
    QTest::qWait(200);
    QVERIFY(launcher.isRunning());
    launcher.kill();

    const QString output = QString::fromUtf8(launcher.output());
    QCOMPARE(output.count(QStringLiteral("couldn't open the log file")), 1);
    QVERIFY2(output.contains(sandbox.logFilePath()), qPrintable(output));
    QVERIFY2(!output.contains(QStringLiteral("QIODevice")), qPrintable(output));
    // The messages of the run are dropped, not sent to the standard error stream instead.
    QVERIFY2(!output.contains(QStringLiteral("load configuration")), qPrintable(output));
}

void TestLogFile::earlierLogByStartMode_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("keepsEarlierLog");
    QTest::newRow("plain start") << QStringList() << false;
    QTest::newRow("restart after a self-update") << QStringList { QStringLiteral("--skip-selfupdate") } << true;
    QTest::newRow("short option") << QStringList { QStringLiteral("-s") } << true;
}

void TestLogFile::earlierLogByStartMode()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, keepsEarlierLog);
    QTcpServer server;
    QVERIFY(server.listen(QHostAddress::LocalHost));
    TLauncherSandbox sandbox(silentSettings(server));
    QVERIFY(sandbox.isValid());
    QVERIFY(QDir().mkpath(sandbox.appDataFolder()));
    const QByteArray earlier = "2026-01-02 03:04:05 (:0) Info: restartAfterSelfUpdate\n";
    {
        QFile log(sandbox.logFilePath());
        QVERIFY(log.open(QIODevice::WriteOnly) && log.write(earlier) == earlier.size());
    }

    TLauncherProcess launcher(sandbox);
    QVERIFY(launcher.start(arguments));
    QVERIFY2(launcher.waitForLog(" Info: StartDownload: "), launcher.output().constData());
    // What was written so far survives a kill.
    launcher.kill();

    const QByteArray log = sandbox.readLog();
    QCOMPARE(log.startsWith(earlier), keepsEarlierLog);
    QStringList lines = QString::fromUtf8(log).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    if (keepsEarlierLog) {
        QCOMPARE(lines.size(), 5);
        QVERIFY2(lines.at(1).contains(QStringLiteral(" (:0) Info: ---")), qPrintable(lines.at(1)));
        QVERIFY2(lines.at(1).contains(QStringLiteral("restarted after the self-update")), qPrintable(lines.at(1)));
        lines = lines.mid(2);
    }
    QCOMPARE(lines.size(), 3);
    QVERIFY2(lines.at(0).contains(QStringLiteral(" Info: Version: ")), qPrintable(lines.at(0)));
    QVERIFY2(lines.at(1).contains(QStringLiteral(" Info: load configuration ")), qPrintable(lines.at(1)));
    QVERIFY2(lines.at(2).contains(QStringLiteral(" Info: StartDownload: ")), qPrintable(lines.at(2)));
}

QTEST_GUILESS_MAIN(TestLogFile)
#include "tst_logfile.moc"
