#include "support/launcherprocess.h"
#include "support/launchersandbox.h"
#include "support/loopbackserver.h"
#include "support/loopbackserverthread.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QThread>
#include <QtTest>

#include <memory>

using korvane::test::closedAddress;
using korvane::test::TLauncherProcess;
using korvane::test::TLauncherSandbox;
using korvane::test::TLoopbackServer;
using korvane::test::TResponse;
using korvane::test::TServerThread;

using korvane::test::readAll;
using korvane::test::writeAll;

namespace {

const QString configurationPath = QStringLiteral("/launcher/dulmetadata.json");
const QString packagePath = QStringLiteral("/launcher/packages/game/package.json");

QByteArray configurationDocument()
{
    const QJsonObject build { { "os", "linux" }, { "architecture", "x86_64" },
        { "url", "packages/game/package.json" } };
    const QJsonObject game { { "name", "Game" }, { "directoryname", "game" }, { "builds", QJsonArray { build } },
        { "maintenance", QJsonObject { { "active", false } } } };
    return QJsonDocument(QJsonObject { { "packages", QJsonArray { game } } }).toJson();
}

QByteArray packageDocument()
{
    return QJsonDocument(QJsonObject { { "version", "1" }, { "executable", "bin/client" }, { "chunks", QJsonArray() },
                             { "files", QJsonArray() } })
        .toJson(QJsonDocument::Compact);
}

// The settings with the configuration on the given address and no retries.
QByteArray settingsFor(const QUrl& configurationUrl, int downloadErrorTimeoutMs = 5000, int transportTimeoutMs = 750)
{
    return TLauncherSandbox::settingsFor(configurationUrl,
        { { "retries", "0" }, { "downloadErrorTimeout", QByteArray::number(downloadErrorTimeoutMs) },
            { "configurationTransportTimeOut", QByteArray::number(transportTimeoutMs) } });
}

QString cachePath(const TLauncherSandbox& sandbox)
{
    return sandbox.appDataFolder() + QStringLiteral("/launchermetadata.json");
}

} // namespace

// The built launcher obtains its configuration at start: from the server, from the cache, or not at all.
class TestConfigurationStartup : public QObject
{
    Q_OBJECT

private slots:
    void fetchedConfigurationIsCachedAndUsed();
    void refusedConfigurationEndsTheRun_data();
    void refusedConfigurationEndsTheRun();
    void otherFailuresFallBackToTheCache_data();
    void otherFailuresFallBackToTheCache();
    void unwritableCacheEndsTheRun();
    void coincidingUrlsAllComplete_data();
    void coincidingUrlsAllComplete();
};

void TestConfigurationStartup::fetchedConfigurationIsCachedAndUsed()
{
    const QByteArray served = configurationDocument();
    TServerThread server([&](TLoopbackServer& s) {
        s.setBody(configurationPath, served);
        s.setBody(packagePath, packageDocument());
    });
    TLauncherSandbox sandbox(settingsFor(server->url(configurationPath)));
    QVERIFY(sandbox.isValid());

    TLauncherProcess launcher(sandbox);
    QVERIFY(launcher.start());
    QVERIFY2(launcher.waitForLog("onLauncherReadyForAction"), launcher.output().constData());
    const QByteArray log = sandbox.readLog();
    QVERIFY2(
        log.contains("Info: Launcher configuration loaded from QUrl(\"" + server->url(configurationPath).toEncoded()),
        log.constData());
    QCOMPARE(readAll(cachePath(sandbox)), served);
    // The configuration reached the application: it asked for the package's own configuration.
    QCOMPARE(server->requestCount(configurationPath), 1);
    QCOMPARE(server->requestCount(packagePath), 1);
    QVERIFY(launcher.isRunning());
}

void TestConfigurationStartup::refusedConfigurationEndsTheRun_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<QByteArray>("expectedLog");
    const QByteArray notFound = "ErrorCode: QNetworkReply::ContentNotFoundError";
    QTest::newRow("404") << 404 << QByteArray("gone") << notFound;
    QTest::newRow("403") << 403 << QByteArray("no") << QByteArray("ErrorCode: QNetworkReply::ContentAccessDenied");
    QTest::newRow("empty body") << 200 << QByteArray() << notFound;
    QTest::newRow("invalid JSON") << 200 << QByteArray("{ \"packages\": [")
                                  << QByteArray("Configuration from the server could not be parsed:");
}

void TestConfigurationStartup::refusedConfigurationEndsTheRun()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(QByteArray, expectedLog);
    TResponse response = TResponse::withStatus(status);
    response.body = body;
    TServerThread server([&](TLoopbackServer& s) { s.setScript(configurationPath, { response }); });
    TLauncherSandbox sandbox(settingsFor(server->url(configurationPath)));
    QVERIFY(sandbox.isValid());
    // A refusal is final: even a good cache is not used.
    const QByteArray cached = configurationDocument();
    QVERIFY(writeAll(cachePath(sandbox), cached));

    TLauncherProcess launcher(sandbox);
    QVERIFY(launcher.start());
    QVERIFY2(launcher.waitForFinished(), launcher.output().constData());
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QVERIFY2(launcher.exitCode() == 1, launcher.output().constData());
    const QByteArray log = sandbox.readLog();
    QVERIFY2(log.contains(expectedLog), log.constData());
    QVERIFY2(log.contains("Critical: No launcher configuration available"), log.constData());
    QVERIFY(!log.contains("loaded from the cache"));
    QCOMPARE(readAll(cachePath(sandbox)), cached);
    QCOMPARE(server->requestCount(configurationPath), 1);
}

void TestConfigurationStartup::otherFailuresFallBackToTheCache_data()
{
    QTest::addColumn<QString>("failure");
    QTest::addColumn<bool>("cached");
    for (const char* failure : { "server down", "server error 500", "server silent past the error timer" }) {
        QTest::addRow("%s, cache", failure) << QString::fromLatin1(failure) << true;
        QTest::addRow("%s, no cache", failure) << QString::fromLatin1(failure) << false;
    }
}

void TestConfigurationStartup::otherFailuresFallBackToTheCache()
{
    QFETCH(QString, failure);
    QFETCH(bool, cached);
    TServerThread server([&](TLoopbackServer& s) {
        if (failure.contains(QLatin1String("500")))
            s.setScript(configurationPath, { TResponse::withStatus(500) });
        else
            s.setScript(configurationPath, { TResponse::delayed(15000) });
    });
    const bool down = failure == QLatin1String("server down");
    const bool silent = failure.contains(QLatin1String("silent"));
    const QUrl address = down ? closedAddress(configurationPath) : server->url(configurationPath);
    // The silent server holds the answer longer than the error timer waits, and the transfer time-out is
    // longer still, so only the timer can end the wait.
    TLauncherSandbox sandbox(settingsFor(address, 1000, silent ? 60000 : 750));
    QVERIFY(sandbox.isValid());
    const QByteArray document = configurationDocument();
    if (cached)
        QVERIFY(writeAll(cachePath(sandbox), document));

    TLauncherProcess launcher(sandbox);
    QVERIFY(launcher.start());
    if (cached) {
        QVERIFY2(launcher.waitForLog("onLauncherReadyForAction"), launcher.output().constData());
        const QByteArray log = sandbox.readLog();
        QVERIFY2(log.contains("Info: Launcher configuration loaded from the cache"), log.constData());
        QCOMPARE(log.contains("Download of configuration failed."), !silent);
        QVERIFY(launcher.isRunning());
        QCOMPARE(readAll(cachePath(sandbox)), document);
    } else {
        QVERIFY2(launcher.waitForFinished(), launcher.output().constData());
        QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
        QVERIFY2(launcher.exitCode() == 1, launcher.output().constData());
        const QByteArray log = sandbox.readLog();
        QVERIFY2(log.contains("Critical: No launcher configuration available"), log.constData());
    }
    if (!down)
        QCOMPARE(server->requestCount(configurationPath), 1);
}

void TestConfigurationStartup::unwritableCacheEndsTheRun()
{
    TServerThread server([&](TLoopbackServer& s) {
        s.setBody(configurationPath, configurationDocument());
        s.setBody(packagePath, packageDocument());
    });
    TLauncherSandbox sandbox(settingsFor(server->url(configurationPath)));
    QVERIFY(sandbox.isValid());
    // A folder where the cache file belongs: the configuration cannot be stored.
    QVERIFY(QDir().mkpath(cachePath(sandbox)));

    TLauncherProcess launcher(sandbox);
    QVERIFY(launcher.start());
    QVERIFY2(launcher.waitForFinished(), launcher.output().constData());
    QCOMPARE(launcher.exitStatus(), QProcess::NormalExit);
    QVERIFY2(launcher.exitCode() == 1, launcher.output().constData());
    const QByteArray log = sandbox.readLog();
    QVERIFY2(log.contains("Critical: Disk access failed:"), log.constData());
}

void TestConfigurationStartup::coincidingUrlsAllComplete_data()
{
    QTest::addColumn<QString>("coinciding");
    QTest::newRow("hints are the package configuration") << "hints";
    QTest::newRow("two packages share one configuration") << "packages";
    QTest::newRow("asset is the package configuration") << "asset";
}

void TestConfigurationStartup::coincidingUrlsAllComplete()
{
    QFETCH(QString, coinciding);
    TServerThread server([&](TLoopbackServer& s) { s.setBody(packagePath, packageDocument()); });
    QJsonObject document = QJsonDocument::fromJson(configurationDocument()).object();
    QJsonArray packages = document["packages"].toArray();
    QJsonObject game = packages[0].toObject();
    if (coinciding == "hints") {
        document["hints"] = server->url(packagePath).toString();
    } else if (coinciding == "packages") {
        QJsonObject second = game;
        second["name"] = "Second";
        second["directoryname"] = "second";
        packages.append(second);
    } else {
        QJsonArray builds = game["builds"].toArray();
        QJsonObject build = builds[0].toObject();
        build["assetsurl"] = build["url"];
        builds[0] = build;
        game["builds"] = builds;
        packages[0] = game;
    }
    document["packages"] = packages;
    server->setBody(configurationPath, QJsonDocument(document).toJson());
    TLauncherSandbox sandbox(settingsFor(server->url(configurationPath)));
    QVERIFY(sandbox.isValid());

    // Every record of a package configuration completes, so the launch decision comes and the window opens.
    TLauncherProcess launcher(sandbox);
    QVERIFY(launcher.start({ "--show-ui" }));
    QVERIFY2(launcher.waitForLog("\"launcher_started\"", 10000), sandbox.readLog().constData());
    QVERIFY(sandbox.readLog().contains("onLauncherReadyForAction"));
    QVERIFY(launcher.isRunning());
}

QTEST_GUILESS_MAIN(TestConfigurationStartup)
#include "tst_configurationstartup.moc"
