#include "core/launcherapplication.h"
#include "core/launcherconfigurationhandler.h"
#include "core/launcherconfigurationreader.h"
#include "core/launcherconstants.h"
#include "core/launcherfilesystemhelper.h"
#include "core/package.h"
#include "core/packageconfigurationreader.h"
#include "installation/flowfixture.h"
#include "installation/installationmanager.h"
#include "shared/downloadpool.h"
#include "support/loopbackserverthread.h"
#include "support/testfiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QProcess>
#include <QPushButton>
#include <QRandomGenerator>
#include <QtTest>

using korvane::launcher::ELocalPackageStatus;
using korvane::launcher::TLauncherApplication;
using korvane::launcher::TLauncherConfigurationReader;
using korvane::launcher::TPackage;
using korvane::launcher::TPackageConfigurationReader;

using korvane::test::writeAll;

namespace {

const QByteArray packageDocument = R"({"version": "3", "executable": "client", "chunks": [], "files": []})";

// A configuration with one game package whose installation folder holds the full-installation marker of
// the same version, and an application that has reached its launch decision over it.
std::shared_ptr<TPackage> installedPackage(TLauncherApplication& application)
{
    const QJsonObject build { { "os", "linux" }, { "architecture", "x86_64" }, { "url", "package.json" } };
    const QJsonObject game { { "name", "Game" }, { "directoryname", "game" }, { "builds", QJsonArray { build } } };
    auto configuration = std::make_shared<TLauncherConfigurationReader>(QUrl("http://127.0.0.1:1/launcher.json"),
        QJsonDocument(QJsonObject { { "packages", QJsonArray { game } } }).toJson());
    const std::shared_ptr<TPackage> package = configuration->packages.at(0);
    const QUrl base("http://127.0.0.1:1/");
    package->currentPlatformBuild()->setConfiguration(new TPackageConfigurationReader(packageDocument, {}, base, base));
    const QString folder = application.getFilesystemHelper()->packagesDirectory().absolutePath() + "/game";
    QDir(folder).removeRecursively();
    if (!writeAll(folder + "/package.json", packageDocument) || !writeAll(folder + "/client", "x"))
        return nullptr;
    application.getConfigurationHandler()->configuration = configuration;
    application.parseCommandLine({ "KorvaneVedudiLauncher" });
    application.onLauncherReadyForAction();
    return package;
}

// Clicks the button of the given role, as a player would.
TLauncherApplication::TMessageBoxRunner clicking(QMessageBox::ButtonRole role, QStringList* titles)
{
    return [role, titles](QMessageBox& box) {
        *titles << box.windowTitle();
        for (QAbstractButton* button : box.buttons()) {
            if (box.buttonRole(button) == role)
                button->click();
        }
    };
}

} // namespace

// The application object is the test's own application, so its command line can be parsed directly.
class TestLauncherApplication : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data();
    void commandLine();
    void servicesExist();
    void uninstall_data();
    void uninstall();
    void uninstallThatFailsKeepsTheStatusOfWhatIsLeft();
    void applicationRequestsDoNotWaitBehindAnInstallation();
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

void TestLauncherApplication::uninstall_data()
{
    QTest::addColumn<int>("answer");
    QTest::addColumn<bool>("removed");
    QTest::newRow("yes") << int(QMessageBox::YesRole) << true;
    QTest::newRow("no") << int(QMessageBox::NoRole) << false;
    QTest::newRow("box closed") << int(QMessageBox::InvalidRole) << false;
}

void TestLauncherApplication::uninstall()
{
    QFETCH(int, answer);
    QFETCH(bool, removed);
    auto* application = TLauncherApplication::instance;
    const std::shared_ptr<TPackage> package = installedPackage(*application);
    QVERIFY(package);
    QCOMPARE(package->localStatus, ELocalPackageStatus::UpToDate);
    const QDir folder = application->getInstallationManager()->installationDirectory(package);

    QStringList titles;
    application->setMessageBoxRunner(clicking(QMessageBox::ButtonRole(answer), &titles));
    application->onClientUninstallTriggeredFromUI(package);
    application->setMessageBoxRunner({});
    QCOMPARE(titles, QStringList { "launcher.action.uninstall" });
    QCOMPARE(folder.exists(), !removed);
    QCOMPARE(package->localStatus, removed ? ELocalPackageStatus::NotInstalled : ELocalPackageStatus::UpToDate);

    // Only an installed package is offered for removal.
    titles.clear();
    application->setMessageBoxRunner(clicking(QMessageBox::YesRole, &titles));
    package->setLocalStatus(ELocalPackageStatus::UpdateAvailable);
    application->onClientUninstallTriggeredFromUI(package);
    application->setMessageBoxRunner({});
    QCOMPARE(titles, QStringList());
}

void TestLauncherApplication::uninstallThatFailsKeepsTheStatusOfWhatIsLeft()
{
    auto* application = TLauncherApplication::instance;
    const std::shared_ptr<TPackage> package = installedPackage(*application);
    QVERIFY(package);
    const QDir folder = application->getInstallationManager()->installationDirectory(package);
    const QString marker = folder.absoluteFilePath("package.json");
    // The immutable flag stops even the superuser; an ordinary user is stopped by a read-only folder.
    const bool immutable = QProcess::execute("chattr", { "+i", marker }) == 0;
    if (!immutable)
        QFile::setPermissions(folder.absolutePath(), QFile::ReadOwner | QFile::ExeOwner);
    const auto restore = qScopeGuard([&] {
        if (immutable)
            QProcess::execute("chattr", { "-i", marker });
        QFile::setPermissions(folder.absolutePath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    QFile probe(marker);
    if (probe.open(QIODevice::Append))
        QSKIP("no way to make the marker undeletable here");

    QStringList titles;
    application->setMessageBoxRunner(clicking(QMessageBox::YesRole, &titles));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Uninstall of  \"Game\"  incomplete"));
    application->onClientUninstallTriggeredFromUI(package);
    application->setMessageBoxRunner({});
    QVERIFY(QFileInfo::exists(marker));
    // The marker that is left still describes a complete installation.
    QCOMPARE(package->localStatus, ELocalPackageStatus::UpToDate);
}

void TestLauncherApplication::applicationRequestsDoNotWaitBehindAnInstallation()
{
    auto* application = TLauncherApplication::instance;
    QTemporaryDir content;
    QByteArray world(3 * 1024 * 1024, Qt::Uninitialized);
    QRandomGenerator(5).fillRange(reinterpret_cast<quint32*>(world.data()), world.size() / 4);
    QVERIFY(writeAll(content.path() + "/input/world.pak", world));
    QProcess tool;
    tool.start(KORVANE_MAKE_PACKAGE_BINARY,
        { "--input", content.path() + "/input", "--output", content.path() + "/r1", "--version", "1", "--chunk-size",
            "65536", "--packing", "none" });
    QVERIFY(tool.waitForFinished(30000) && tool.exitCode() == 0);
    const QStringList chunks = QDir(content.path() + "/r1/package/chunks").entryList(QDir::Files);
    QVERIFY(chunks.size() > 10);
    // A slow host: each chunk takes longer than the configuration's transfer time-out.
    korvane::test::TServerThread server([&](korvane::test::TLoopbackServer& s) {
        s.serveFolder(content.path());
        for (const QString& chunk : chunks)
            s.setScript("/r1/package/chunks/" + chunk, { korvane::test::TResponse::delayed(2000) });
        s.setBody("/launcher.json", "{}");
    });

    const std::shared_ptr<TLauncherConfigurationReader> configuration = flowfixture::launcherConfiguration({ "slow" });
    const std::shared_ptr<TPackage> package = configuration->packages.at(0);
    flowfixture::load(*package, *server, QDir(content.path()), "r1");
    application->getConfigurationHandler()->configuration = configuration;
    application->parseCommandLine({ "KorvaneVedudiLauncher" });
    application->onLauncherReadyForAction();
    application->getInstallationManager()->installOrUpdatePackage(package);
    QTRY_VERIFY_WITH_TIMEOUT(server->maxConcurrentRequests() >= 6, 10000);

    // The request a maintenance refresh makes, on the same host, while the installation holds it.
    const QUrl refresh = server->url("/launcher.json");
    QStringList outcomes;
    const std::shared_ptr<shared::TDownloadPool> pool = application->getDownloadPool();
    const QMetaObject::Connection succeeded
        = connect(pool.get(), &shared::TDownloadPool::success, this, [&](const QUrl& url, const QByteArray&) {
              if (url == refresh)
                  outcomes << "success";
          });
    const QMetaObject::Connection failed = connect(pool.get(), &shared::TDownloadPool::failed, this,
        [&](const QUrl& url, QNetworkReply::NetworkError, const QString& text) {
            if (url == refresh)
                outcomes << text;
        });
    pool->Download(refresh, 0, 750);
    QTRY_COMPARE_WITH_TIMEOUT(outcomes.size(), 1, 5000);
    disconnect(succeeded);
    disconnect(failed);
    QCOMPARE(outcomes, QStringList { "success" });
    QVERIFY(application->getInstallationManager()->hasInstallationsInProgress());

    // Let the installation end before its server goes.
    server->clearScripts();
    QTRY_VERIFY_WITH_TIMEOUT(!application->getInstallationManager()->hasInstallationsInProgress(), 30000);
    QCOMPARE(package->localStatus, ELocalPackageStatus::UpToDate);
}

int main(int argc, char** argv)
{
    // A private home and data location: the tests write installation folders.
    QTemporaryDir home;
    for (const char* name : { "HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME" })
        qputenv(name, QFile::encodeName(home.path() + "/" + QString::fromLatin1(name)));
    TLauncherApplication application(argc, argv);
    TLauncherApplication::instance = &application;
    QCoreApplication::setApplicationName(korvane::launcher::applicationName);
    QCoreApplication::setOrganizationName(korvane::launcher::organisationName);
    TestLauncherApplication test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_launcherapplication.moc"
