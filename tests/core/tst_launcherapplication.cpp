#include "core/launcherapplication.h"
#include "core/launcherconfigurationhandler.h"
#include "core/launcherfilesystemhelper.h"
#include "shared/downloadpool.h"

#include <QtTest>

using korvane::launcher::TLauncherApplication;

// The application object is the test's own application, so its command line can be parsed directly.
class TestLauncherApplication : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void servicesExist();
};

void TestLauncherApplication::commandLine_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("setOptions");
    QTest::addColumn<QString>("patch");
    QTest::newRow("none") << QStringList() << ""
                          << "";
    QTest::newRow("long forms") << QStringList { "--first-launch", "--skip-selfupdate", "--show-ui",
        "--emulate-maintenance" }
                                << "lsum"
                                << "";
    QTest::newRow("short forms") << QStringList { "-l", "-s", "-u", "-m" } << "lsum"
                                 << "";
    QTest::newRow("patch with equals sign") << QStringList { "--patch=client.exe" } << "p"
                                            << "client.exe";
    QTest::newRow("patch short with value") << QStringList { "-p", "client.exe" } << "p"
                                            << "client.exe";
    QTest::newRow("unknown options ignored") << QStringList { "--bogus", "-x", "--show-ui", "--other=1", "-l" } << "lu"
                                             << "";
    QTest::newRow("positional ignored") << QStringList { "somefile", "-s" } << "s"
                                        << "";
    QTest::newRow("help is not an option") << QStringList { "--help", "-m" } << "m"
                                           << "";
}

void TestLauncherApplication::commandLine()
{
    QFETCH(QStringList, arguments);
    QFETCH(QString, setOptions);
    QFETCH(QString, patch);
    auto* application = TLauncherApplication::instance;
    application->parseCommandLine(QStringList { QStringLiteral("KorvaneVedudiLauncher") } + arguments);
    const QCommandLineParser& parser = application->getCommandLineParser();
    QString set;
    if (parser.isSet(application->getFirstLaunchOption()))
        set += QLatin1Char('l');
    if (parser.isSet(application->getSkipSelfUpdateOption()))
        set += QLatin1Char('s');
    if (parser.isSet(application->getShowUiOption()))
        set += QLatin1Char('u');
    if (parser.isSet(application->getPatchOption()))
        set += QLatin1Char('p');
    if (parser.isSet(application->getEmulateMaintenanceOption()))
        set += QLatin1Char('m');
    QCOMPARE(set, setOptions);
    QCOMPARE(parser.value(application->getPatchOption()), patch);
}

void TestLauncherApplication::servicesExist()
{
    auto* application = TLauncherApplication::instance;
    QVERIFY(application->getFilesystemHelper());
    QVERIFY(application->getFilesystemHelper()->getLauncherSettings());
    QVERIFY(application->getTranslationManager());
    QVERIFY(application->getPatchOption().names().contains(QStringLiteral("patch")));
    QCOMPARE(application->getPatchOption().valueName(), QStringLiteral("patchexecutable"));

    // One application pool of six downloads serves the configuration handler.
    QVERIFY(application->getNetworkAccessManager());
    QVERIFY(application->getDownloadPool());
    QCOMPARE(application->getDownloadPool()->GetMaxConcurrentDownloads(), 6);
    QVERIFY(application->getCdnTrace());
    QVERIFY(application->getConfigurationHandler());
    QCOMPARE(application->getConfigurationHandler()->downloadPool, application->getDownloadPool());
    QVERIFY(!application->getConfigurationHandler()->configurationErrorTimer().isActive());
}

int main(int argc, char** argv)
{
    TLauncherApplication application(argc, argv);
    TLauncherApplication::instance = &application;
    TestLauncherApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_launcherapplication.moc"
