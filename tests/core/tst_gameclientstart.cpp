#include "core/gameclientstarter.h"
#include "core/launcherconfigurationreader.h"
#include "core/launcherconstants.h"
#include "core/launcherfilesystemhelper.h"
#include "core/package.h"
#include "core/packageconfigurationreader.h"
#include "installation/installationmanager.h"
#include "support/messagecapture.h"
#include "support/testfiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <memory>

using namespace korvane::launcher;

using korvane::test::readAll;
using korvane::test::TMessages;
using korvane::test::writeAll;

namespace {

// One game package with a loaded package configuration naming the executable and its parameters.
struct TFixture
{
    TFixture(const QString& executable, const QStringList& parameters)
    {
        const QJsonObject build { { "os", "linux" }, { "architecture", "x86_64" }, { "url", "package.json" } };
        const QJsonObject game { { "name", "Game" }, { "directoryname", "game" }, { "builds", QJsonArray { build } } };
        configuration = std::make_shared<TLauncherConfigurationReader>(QUrl("http://127.0.0.1:1/launcher.json"),
            QJsonDocument(QJsonObject { { "packages", QJsonArray { game } } }).toJson());
        package = configuration->packages.at(0);
        QJsonObject document { { "version", "1" }, { "executable", executable }, { "chunks", QJsonArray() },
            { "files", QJsonArray() } };
        if (!parameters.isEmpty())
            document.insert("parameters", QJsonArray::fromStringList(parameters));
        const QUrl base("http://127.0.0.1:1/");
        package->currentPlatformBuild()->setConfiguration(
            new TPackageConfigurationReader(QJsonDocument(document).toJson(), {}, base, base));
        manager = std::make_unique<TInstallationManager>(
            configuration, std::make_shared<QNetworkAccessManager>(), std::make_shared<TLauncherFilesystemHelper>());
    }
    QString installationFolder() const { return manager->installationDirectory(package).absolutePath(); }

    std::shared_ptr<TLauncherConfigurationReader> configuration;
    std::shared_ptr<TPackage> package;
    std::unique_ptr<TInstallationManager> manager;
};

} // namespace

// What a game client start is made of, the client's settings check, and the detached start itself.
class TestGameClientStart : public QObject
{
    Q_OBJECT

private slots:
    void describe_data();
    void describe();
    void settingsFileProblemsAreOnlyLogged_data();
    void settingsFileProblemsAreOnlyLogged();
    void startsDetachedWithItsOwnLibraryPath();
    void startFails_data();
    void startFails();
};

void TestGameClientStart::describe_data()
{
    QTest::addColumn<QString>("executable");
    QTest::addColumn<QStringList>("parameters");
    QTest::addColumn<bool>("upToDate");
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QString>("folder");
    QTest::newRow("two parameters, up to date") << "bin/client" << QStringList { "-a", "-b" } << true
                                                << QStringList { "-a", "-b", "--package-is-up-to-date" } << "bin";
    QTest::newRow("two parameters, not up to date")
        << "bin/client" << QStringList { "-a", "-b" } << false << QStringList { "-a", "-b" } << "bin";
    QTest::newRow("no parameters, up to date")
        << "client" << QStringList() << true << QStringList { "--package-is-up-to-date" } << "";
    QTest::newRow("executable in a subfolder")
        << "bin/x64/client" << QStringList { "-x" } << false << QStringList { "-x" } << "bin/x64";
}

void TestGameClientStart::describe()
{
    QFETCH(QString, executable);
    QFETCH(QStringList, parameters);
    QFETCH(bool, upToDate);
    QFETCH(QStringList, arguments);
    QFETCH(QString, folder);
    TFixture fixture(executable, parameters);
    fixture.package->isUpToDate = upToDate;
    const TClientStart start = TGameClientStarter::describe(*fixture.manager, fixture.package);
    const QString installed = fixture.installationFolder();
    QCOMPARE(start.program, installed + "/" + executable);
    QCOMPARE(start.arguments, arguments);
    // Working directory and library path: the executable's own folder.
    QCOMPARE(start.workingDirectory, folder.isEmpty() ? installed : installed + "/" + folder);
    QCOMPARE(start.settingsFilePath, installed + "/KorvaneVedudiClient_Data/Data/Settings/settings.json");
}

void TestGameClientStart::settingsFileProblemsAreOnlyLogged_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("warning");
    QTest::newRow("missing") << QByteArray() << "Could not open settings file: \"%1\"";
    QTest::newRow("not JSON") << QByteArray("{ nope") << "JSON parse error: \"";
    QTest::newRow("an array") << QByteArray("[1]") << "JSON is not an object!";
    QTest::newRow("no graphics choice") << QByteArray("{\"Other\": 1}") << "GraphicsAPI key not found!";
    QTest::newRow("good") << QByteArray("{\"GraphicsAPI\": \"Vulkan\"}") << "";
}

void TestGameClientStart::settingsFileProblemsAreOnlyLogged()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, warning);
    QTemporaryDir folder;
    const QString path = folder.path() + "/settings.json";
    if (!content.isEmpty())
        QVERIFY(writeAll(path, content));
    const TMessages messages;
    TGameClientStarter::checkSettingsFile(path);
    const QStringList warnings = messages.of(QtWarningMsg);
    if (warning.isEmpty()) {
        QCOMPARE(warnings, QStringList());
    } else {
        QCOMPARE(warnings.size(), 1);
        const QString expected = warning.contains("%1") ? warning.arg(path) : warning;
        QVERIFY2(warnings[0].startsWith(expected), qPrintable(warnings[0]));
    }
}

void TestGameClientStart::startsDetachedWithItsOwnLibraryPath()
{
    QTemporaryDir folder;
    const QString record = folder.path() + "/record.txt";
    const QString program = folder.path() + "/bin/client";
    QVERIFY(writeAll(program,
        "#!/bin/sh\n{ printf '%s\\n' \"$@\"; echo \"pwd=$(pwd)\"; echo \"ld=$LD_LIBRARY_PATH\";"
        " echo \"mark=$KORVANE_MARK\";"
        " set -- $(cat /proc/$$/stat); [ \"$6\" = \"$$\" ] && echo session=own; echo end; } > \""
            + record.toUtf8() + ".part\" && mv \"" + record.toUtf8() + ".part\" \"" + record.toUtf8() + "\"\n"));
    QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
    qputenv("LD_LIBRARY_PATH", "/the/launcher/own");
    qputenv("KORVANE_MARK", "raw \xff bytes"); // the rest of the environment passes as it is

    TClientStart start;
    start.program = program;
    start.arguments = QStringList { "-a", "with space", "--package-is-up-to-date" };
    start.workingDirectory = folder.path() + "/bin";
    QVERIFY(TGameClientStarter::startDetached(start));
    // The launcher's own environment is left as it was.
    QCOMPARE(qgetenv("LD_LIBRARY_PATH"), QByteArray("/the/launcher/own"));

    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(record), 5000);
    const QList<QByteArray> lines = readAll(record).split('\n');
    // In a session of its own, so that closing the launcher's terminal or group leaves it running.
    QCOMPARE(lines.mid(0, 8),
        QList<QByteArray>({ "-a", "with space", "--package-is-up-to-date", "pwd=" + start.workingDirectory.toUtf8(),
            "ld=" + start.workingDirectory.toUtf8(), "mark=raw \xff bytes", "session=own", "end" }));
    qunsetenv("LD_LIBRARY_PATH");
    qunsetenv("KORVANE_MARK");
}

void TestGameClientStart::startFails_data()
{
    QTest::addColumn<bool>("exists");
    QTest::newRow("missing program") << false;
    QTest::newRow("not executable") << true;
}

void TestGameClientStart::startFails()
{
    QFETCH(bool, exists);
    QTemporaryDir folder;
    TClientStart start;
    start.program = folder.path() + "/client";
    start.workingDirectory = folder.path();
    if (exists)
        QVERIFY(writeAll(start.program, "#!/bin/sh\nexit 0\n"));
    QVERIFY(!TGameClientStarter::startDetached(start));
}

int main(int argc, char** argv)
{
    // A private data location, so the installation folders named here never touch the user's.
    QTemporaryDir home;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path() + "/data"));
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationName(applicationName);
    QCoreApplication::setOrganizationName(organisationName);
    TestGameClientStart test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_gameclientstart.moc"
