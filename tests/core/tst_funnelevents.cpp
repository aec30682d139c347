#include "core/launcherapplication.h"
#include "core/launcherconfigurationhandler.h"
#include "core/launcherconfigurationreader.h"
#include "core/launcherconstants.h"
#include "support/loopbackserver.h"
#include "support/testfiles.h"

#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QScopeGuard>
#include <QSettings>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

using korvane::launcher::TLauncherApplication;
using korvane::launcher::TLauncherConfigurationReader;
using korvane::test::firstRequests;
using korvane::test::TLoopbackServer;
using korvane::test::TResponse;

using korvane::test::readAll;

namespace {

const QString funnelPath = QStringLiteral("/funnel");

QByteArray expectedBody(const QByteArray& key, bool first, const QByteArray& id, const QByteArray& step)
{
    return "{\n    \"accountgroupkey\": \"" + key + "\",\n    \"first\": " + (first ? "true" : "false")
        + ",\n    \"id\": \"" + id + "\",\n    \"step\": \"" + step + "\"\n}\n";
}

QString deviceFolder()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation) + QStringLiteral("/Korvane Vedudi");
}

QString deviceFilePath()
{
    return deviceFolder() + QStringLiteral("/korvaneShared.json");
}

QByteArray storedIdentifier()
{
    return QSettings().value(QStringLiteral("FunnelUuid")).toString().toUtf8();
}

} // namespace

// The application's funnel events against the loopback server; the application is the test's own.
class TestFunnelEvents : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void firstEventCreatesTheIdentifier_data();
    void firstEventCreatesTheIdentifier();
    void failedPostsAreRetried();
    void sixFailuresKeepTheFlag();
    void eventsBuiltBeforeTheFirstReplyAllSayFirst();
    void accountGroupKeyIsSent();
    void missingFunnelAddressFailsEveryAttempt_data();
    void missingFunnelAddressFailsEveryAttempt();
    // Last: the exit poll ends the test's event loops for good.
    void exitPollWaitsForPendingEvents();
    void lastAnswerEndsAWaitingRun();

private:
    void useFunnelAddress(const QUrl& url);
    TLauncherApplication* application() const { return TLauncherApplication::instance; }

    std::unique_ptr<TLoopbackServer> server;
};

void TestFunnelEvents::init()
{
    QSettings().clear();
    QDir(deviceFolder()).removeRecursively();
    server = std::make_unique<TLoopbackServer>();
    QVERIFY(server->isListening());
    server->setBody(funnelPath, "thanks");
    useFunnelAddress(server->url(funnelPath));
    QCOMPARE(application()->getPendingFunnelRequests(), 0);
}

void TestFunnelEvents::cleanup()
{
    QTRY_COMPARE_WITH_TIMEOUT(application()->getPendingFunnelRequests(), 0, 10000);
    server.reset();
}

void TestFunnelEvents::useFunnelAddress(const QUrl& url)
{
    const QJsonObject document { { "packages", QJsonArray() }, { "funnel", url.toString() } };
    application()->getConfigurationHandler()->configuration
        = std::make_shared<TLauncherConfigurationReader>(QUrl(), QJsonDocument(document).toJson());
}

void TestFunnelEvents::firstEventCreatesTheIdentifier_data()
{
    QTest::addColumn<bool>("folderExists");
    QTest::newRow("device folder exists") << true;
    QTest::newRow("no device folder") << false;
}

void TestFunnelEvents::firstEventCreatesTheIdentifier()
{
    QFETCH(bool, folderExists);
    if (folderExists)
        QVERIFY(QDir().mkpath(deviceFolder()));

    QTest::ignoreMessage(QtInfoMsg, "Funnel response received (Step: \"launcher_started\" ): \"thanks\"");
    application()->sendFunnelEvent(QStringLiteral("launcher_started"), QStringLiteral("FunnelStartedFirst"));
    QCOMPARE(application()->getPendingFunnelRequests(), 1);
    QTRY_COMPARE_WITH_TIMEOUT(application()->getPendingFunnelRequests(), 0, 10000);

    const QByteArray id = storedIdentifier();
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"))
                 .match(QString::fromLatin1(id))
                 .hasMatch(),
        id.constData());
    const QList<korvane::test::TRecordedRequest> posts = server->requests(funnelPath);
    QCOMPARE(posts.size(), 1);
    QCOMPARE(posts.at(0).method, QByteArray("POST"));
    QCOMPARE(posts.at(0).header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(posts.at(0).body, expectedBody("", true, id, "launcher_started"));
    QCOMPARE(QSettings().value(QStringLiteral("FunnelStartedFirst")).toBool(), false);

    if (folderExists) {
        QCOMPARE(readAll(deviceFilePath()), "{\n    \"DeviceIdentifier\": \"" + id + "\"\n}\n");
        QVERIFY(QFile::remove(deviceFilePath()));
    } else {
        QVERIFY(!QFileInfo::exists(deviceFolder()));
    }

    // The identifier is kept and the device file is written only when the identifier is made.
    application()->sendFunnelEvent(QStringLiteral("launcher_started"), QStringLiteral("FunnelStartedFirst"));
    QTRY_COMPARE_WITH_TIMEOUT(application()->getPendingFunnelRequests(), 0, 10000);
    QCOMPARE(server->requestCount(funnelPath), 2);
    QCOMPARE(server->requests(funnelPath).at(1).body, expectedBody("", false, id, "launcher_started"));
    QCOMPARE(storedIdentifier(), id);
    QVERIFY(!QFileInfo::exists(deviceFilePath()));
}

void TestFunnelEvents::failedPostsAreRetried()
{
    server->setScript(funnelPath, firstRequests(3, TResponse::withStatus(500), TResponse {}));
    // The count of pending events must not drop to 0 in the pauses between attempts.
    int lowestWhileRetrying = 1;
    QTimer sampler;
    sampler.setInterval(1);
    connect(&sampler, &QTimer::timeout, this, [&] {
        if (server->requestCount(funnelPath) < 4)
            lowestWhileRetrying = qMin(lowestWhileRetrying, application()->getPendingFunnelRequests());
    });

    QElapsedTimer clock;
    clock.start();
    application()->sendFunnelEvent(QStringLiteral("download_started"), QStringLiteral("FunnelDownloadStartedFirst"));
    sampler.start();
    QTRY_COMPARE_WITH_TIMEOUT(application()->getPendingFunnelRequests(), 0, 10000);
    sampler.stop();

    QCOMPARE(server->requestCount(funnelPath), 4);
    QVERIFY2(clock.elapsed() >= 3 * 25, QByteArray::number(clock.elapsed()).constData());
    QCOMPARE(lowestWhileRetrying, 1);
    const QByteArray body = expectedBody("", true, storedIdentifier(), "download_started");
    for (const korvane::test::TRecordedRequest& post : server->requests(funnelPath))
        QCOMPARE(post.body, body);
    QCOMPARE(QSettings().value(QStringLiteral("FunnelDownloadStartedFirst")).toBool(), false);
}

void TestFunnelEvents::sixFailuresKeepTheFlag()
{
    server->setScript(funnelPath, firstRequests(6, TResponse::withStatus(503), TResponse {}));
    QTest::ignoreMessage(QtCriticalMsg, "All retry attempts failed for Step: \"download_10pct\"");
    application()->sendFunnelEvent(QStringLiteral("download_10pct"), QStringLiteral("FunnelDownload10PctFirst"));
    QTRY_COMPARE_WITH_TIMEOUT(application()->getPendingFunnelRequests(), 0, 10000);
    QTest::qWait(100);
    QCOMPARE(server->requestCount(funnelPath), 6);
    QVERIFY(QSettings().value(QStringLiteral("FunnelDownload10PctFirst"), true).toBool());

    // The next event of the step is again the first one; this time it gets through.
    application()->sendFunnelEvent(QStringLiteral("download_10pct"), QStringLiteral("FunnelDownload10PctFirst"));
    QTRY_COMPARE_WITH_TIMEOUT(application()->getPendingFunnelRequests(), 0, 10000);
    QCOMPARE(server->requestCount(funnelPath), 7);
    QCOMPARE(server->requests(funnelPath).last().body, expectedBody("", true, storedIdentifier(), "download_10pct"));
    QCOMPARE(QSettings().value(QStringLiteral("FunnelDownload10PctFirst")).toBool(), false);
}

void TestFunnelEvents::eventsBuiltBeforeTheFirstReplyAllSayFirst()
{
    server->setScript(funnelPath, { TResponse::delayed(100) });
    application()->sendFunnelEvent(
        QStringLiteral("launcher_verified"), QStringLiteral("FunnelFinished_VerifyingFirst"));
    application()->sendFunnelEvent(
        QStringLiteral("launcher_verified"), QStringLiteral("FunnelFinished_VerifyingFirst"));
    QCOMPARE(application()->getPendingFunnelRequests(), 2);
    QTRY_COMPARE_WITH_TIMEOUT(application()->getPendingFunnelRequests(), 0, 10000);
    const QByteArray body = expectedBody("", true, storedIdentifier(), "launcher_verified");
    QCOMPARE(server->requestCount(funnelPath), 2);
    QCOMPARE(server->requests(funnelPath).at(0).body, body);
    QCOMPARE(server->requests(funnelPath).at(1).body, body);
}

void TestFunnelEvents::accountGroupKeyIsSent()
{
    const QString appData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QVERIFY(QDir().mkpath(appData));
    const QString keyFile = appData + QStringLiteral("/accountgroup.json");
    {
        QFile file(keyFile);
        QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
        file.write(R"({"Key": "group \"7\""})");
    }
    application()->readAccountGroupKey();
    QCOMPARE(application()->getAccountGroupKey(), QStringLiteral("group \"7\""));

    application()->sendFunnelEvent(QStringLiteral("download_50pct"), QStringLiteral("FunnelDownload50PctFirst"));
    QTRY_COMPARE_WITH_TIMEOUT(application()->getPendingFunnelRequests(), 0, 10000);
    QCOMPARE(server->requests(funnelPath).at(0).body,
        expectedBody("group \\\"7\\\"", true, storedIdentifier(), "download_50pct"));

    QVERIFY(QFile::remove(keyFile));
    application()->readAccountGroupKey();
    QVERIFY(application()->getAccountGroupKey().isEmpty());
}

void TestFunnelEvents::missingFunnelAddressFailsEveryAttempt_data()
{
    QTest::addColumn<bool>("hasConfiguration");
    QTest::newRow("no configuration") << false;
    QTest::newRow("configuration without funnel") << true;
}

void TestFunnelEvents::missingFunnelAddressFailsEveryAttempt()
{
    QFETCH(bool, hasConfiguration);
    if (hasConfiguration)
        useFunnelAddress(QUrl());
    else
        application()->getConfigurationHandler()->configuration.reset();

    QTest::ignoreMessage(QtCriticalMsg, "All retry attempts failed for Step: \"download_75pct\"");
    application()->sendFunnelEvent(QStringLiteral("download_75pct"), QStringLiteral("FunnelDownload75PctFirst"));
    QTRY_COMPARE_WITH_TIMEOUT(application()->getPendingFunnelRequests(), 0, 10000);
    QCOMPARE(server->requestCount(), 0);
    QVERIFY(QSettings().value(QStringLiteral("FunnelDownload75PctFirst"), true).toBool());
}

void TestFunnelEvents::exitPollWaitsForPendingEvents()
{
    server->setScript(funnelPath, { TResponse::delayed(300) });
    application()->sendFunnelEvent(
        QStringLiteral("launcher_downloaded"), QStringLiteral("FunnelFinishedDownloadingFirst"));
    QTest::ignoreMessage(QtInfoMsg, "Delaying exit, pending funnel requests: 1");
    application()->onExitDelayTimerExpired();

    // The poll, as the exit timer runs it, ends the event loop with 0 once the event is through.
    QEventLoop loop;
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [this] { application()->onExitDelayTimerExpired(); });
    poll.start(20);
    QTimer::singleShot(10000, &loop, [&loop] { loop.exit(99); });
    QCOMPARE(loop.exec(), 0);
    QCOMPARE(application()->getPendingFunnelRequests(), 0);
    QCOMPARE(server->requestCount(funnelPath), 1);
    QCOMPARE(QSettings().value(QStringLiteral("FunnelFinishedDownloadingFirst")).toBool(), false);
}

void TestFunnelEvents::lastAnswerEndsAWaitingRun()
{
    // The poll would come only after the test's limit: the answer itself must end the run.
    application()->setExitPollInterval(60000);
    const auto restore = qScopeGuard([this] { application()->setExitPollInterval(200); });
    server->setScript(funnelPath, { TResponse::delayed(200), TResponse::delayed(300) });
    application()->sendFunnelEvent(QStringLiteral("launcher_verified"), QStringLiteral("FunnelFinished_VerifyingFirst"));
    application()->sendFunnelEvent(
        QStringLiteral("launcher_downloaded"), QStringLiteral("FunnelFinishedDownloadingFirst"));
    QTest::ignoreMessage(QtInfoMsg, "Delaying exit, pending funnel requests: 2");
    bool left = false;
    application()->leaveAfterFunnelPosts([&left] {
        left = true;
        return 0;
    });
    // Event loops no longer run once the run was ended before, so events are processed by hand.
    QTRY_VERIFY_WITH_TIMEOUT(left, 5000);
    QCOMPARE(application()->getPendingFunnelRequests(), 0);
    QCOMPARE(server->requestCount(funnelPath), 2);
    QVERIFY(!application()->getExitDelayTimer().isActive());
}

int main(int argc, char** argv)
{
    // A private home for the settings store and the data locations.
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path() + QStringLiteral("/data")));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/config")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.path() + QStringLiteral("/cache")));

    TLauncherApplication application(argc, argv);
    TLauncherApplication::instance = &application;
    QCoreApplication::setApplicationName(korvane::launcher::applicationName);
    QCoreApplication::setOrganizationName(korvane::launcher::organisationName);
    TestFunnelEvents test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_funnelevents.moc"
