#include "core/launcherconfigurationhandler.h"
#include "core/launcherconfigurationreader.h"
#include "core/launcherfilesystemhelper.h"
#include "core/launchersettings.h"
#include "core/package.h"
#include "core/packageconfigurationreader.h"
#include "shared/downloadpool.h"
#include "shared/networkaccessmanagerwrapper.h"
#include "support/loopbackserver.h"
#include "support/testfiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QStandardPaths>
#include <QUrlQuery>
#include <QtTest>

using namespace korvane::launcher;
using korvane::test::TLoopbackServer;
using korvane::test::TResponse;
using shared::THint;

using korvane::test::readAll;

namespace {

struct TDownloadCall
{
    QUrl url;
    int retries = 0;
    shared::TMilliseconds timeout = 0;
};

// The real pool, with a record of what was asked of it.
class TRecordingPool : public shared::TDownloadPool
{
public:
    TRecordingPool()
        : shared::TDownloadPool(
            6, std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>()), true)
    { }
    void Download(const QUrl& Url, int Retries, shared::TMilliseconds Timeout) override
    {
        calls.push_back({ Url, Retries, Timeout });
        shared::TDownloadPool::Download(Url, Retries, Timeout);
    }
    QList<QUrl> urls() const
    {
        QList<QUrl> result;
        for (const TDownloadCall& call : calls)
            result.append(call.url);
        return result;
    }
    std::vector<TDownloadCall> calls;
};

QJsonObject linuxBuild(const QString& url, const QString& assetsUrl = {})
{
    QJsonObject build { { "os", "linux" }, { "architecture", "x86_64" }, { "url", url } };
    if (!assetsUrl.isEmpty())
        build.insert("assetsurl", assetsUrl);
    return build;
}

QJsonObject package(
    const QString& name, const QJsonArray& builds, bool maintenance = false, const QString& estimatedEnd = {})
{
    QJsonObject maintenanceObject { { "active", maintenance } };
    if (!estimatedEnd.isEmpty())
        maintenanceObject.insert("estimatedEnd", estimatedEnd);
    return { { "name", name }, { "directoryname", name.toLower() }, { "builds", builds },
        { "maintenance", maintenanceObject } };
}

QByteArray document(const QJsonObject& object)
{
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

QByteArray packageDocument(const QString& version)
{
    return document({ { "version", version }, { "executable", "bin/client" }, { "chunks", QJsonArray() },
        { "files", QJsonArray() } });
}

QByteArray assetDocument(int version)
{
    return document({ { "version", version }, { "chunks", QJsonArray() }, { "files", QJsonArray() } });
}

void writeAll(const QString& path, const QByteArray& data)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(data);
}

} // namespace

class TestLauncherConfigurationHandler : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void constructionArmsNothing();
    void firstDownloadIsAcceptedAndCached();
    void serverRefusalEndsTheRun_data();
    void serverRefusalEndsTheRun();
    void otherFailuresFallBackToCache_data();
    void otherFailuresFallBackToCache();
    void lateAnswerAfterFallbackIsIgnored();
    void missingOrEmptyCacheEndsTheRun_data();
    void missingOrEmptyCacheEndsTheRun();
    void unparsableCacheIsADiskAccessFailure();
    void unwritableCacheIsReportedButAccepted();

    void packageConfigurationsAreDownloadedWithNocache();
    void withoutNocacheUrlsStayAsTheyAre();
    void sharedUrlsCompleteEveryRecord();
    void sharedUrlFailureRemovesEveryRecord();
    void noBuildsFinishesAtOnce();
    void cachedConfigurationReadsMarkerFiles();

    void maintenanceRefresh_data();
    void maintenanceRefresh();
    void maintenanceEndReplacesConfigurationAndRefetches();
    void failedOrUnparsableRefreshChangesNothing();
    void pendingRecordKeepsReplacedPackageAlive();

    void hintChoice_data();
    void hintChoice();
    void hintsDocumentIsChosenFromAndAnnounced();
    void hintsWithoutChoiceEmitNothing();

private:
    std::unique_ptr<TLauncherConfigurationHandler> makeHandler(const QUrl& configurationUrl);
    QString cachePath() const;
    QString packagesPath() const;

    std::unique_ptr<QTemporaryDir> home;
    std::unique_ptr<TLoopbackServer> server;
    std::shared_ptr<TRecordingPool> pool;
    std::shared_ptr<TLauncherFilesystemHelper> filesystem;
};

void TestLauncherConfigurationHandler::initTestCase()
{
    QCoreApplication::setOrganizationName(QStringLiteral("Dulmark GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("Korvane Vedudi Handler Test"));
}

void TestLauncherConfigurationHandler::init()
{
    home = std::make_unique<QTemporaryDir>();
    QVERIFY(home->isValid());
    qputenv("XDG_DATA_HOME", home->filePath(QStringLiteral("data")).toUtf8());
    server = std::make_unique<TLoopbackServer>();
    QVERIFY(server->isListening());
    pool = std::make_shared<TRecordingPool>();
    filesystem = std::make_shared<TLauncherFilesystemHelper>();
    TLauncherSettings& settings = *filesystem->getLauncherSettings();
    settings.retries = 0;
    settings.configurationTransportTimeOut = 5000;
    settings.downloadErrorTimeout = 10000;
    settings.appendNocacheToPackageUrls = false;
    settings.packages = QStringLiteral("packages");
    settings.packageFile = QStringLiteral("package.json");
    settings.assetFile = QStringLiteral("assets.json");
}

void TestLauncherConfigurationHandler::cleanup()
{
    pool.reset();
    server.reset();
    filesystem.reset();
    home.reset();
}

std::unique_ptr<TLauncherConfigurationHandler> TestLauncherConfigurationHandler::makeHandler(
    const QUrl& configurationUrl)
{
    return std::make_unique<TLauncherConfigurationHandler>(pool, filesystem, configurationUrl);
}

QString TestLauncherConfigurationHandler::cachePath() const
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/launchermetadata.json");
}

QString TestLauncherConfigurationHandler::packagesPath() const
{
    return QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QStringLiteral("/packages");
}

void TestLauncherConfigurationHandler::constructionArmsNothing()
{
    filesystem->getLauncherSettings()->downloadErrorTimeout = 4321;
    auto handler = makeHandler(server->url(QStringLiteral("/launcher/dulmetadata.json")));
    QVERIFY(!handler->configuration);
    QVERIFY(!handler->isLoadedFromCache());
    QVERIFY(!handler->configurationErrorTimer().isActive());
    QVERIFY(handler->configurationErrorTimer().isSingleShot());
    QCOMPARE(handler->configurationErrorTimer().interval(), 4321);
    QVERIFY(!handler->maintenanceRefreshTimer.isActive());
    QVERIFY(!handler->maintenanceRefreshTimer.isSingleShot());
    QCOMPARE(handler->maintenanceRefreshTimer.interval(), 120000);
    QCOMPARE(handler->downloadPool, std::static_pointer_cast<shared::TDownloadPool>(pool));
    QVERIFY(pool->calls.empty());
    QCOMPARE(handler->configurationCachePath(), QDir::cleanPath(cachePath()));
}

void TestLauncherConfigurationHandler::firstDownloadIsAcceptedAndCached()
{
    const QByteArray served = "{ \"packages\": [], \"hints\": \"http://127.0.0.1:9/hints.json\" }\n";
    writeAll(cachePath(), "{\"packages\": [], \"funnel\": \"an older copy\"}");
    server->setBody(QStringLiteral("/launcher/dulmetadata.json"), served);
    filesystem->getLauncherSettings()->retries = 3;
    filesystem->getLauncherSettings()->configurationTransportTimeOut = 4000;
    const QUrl url = server->url(QStringLiteral("/launcher/dulmetadata.json"));
    auto handler = makeHandler(url);
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy failed(handler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);

    handler->loadConfiguration();
    QVERIFY(handler->configurationErrorTimer().isActive());
    QCOMPARE(pool->calls.size(), size_t(1));
    QCOMPARE(pool->calls[0].url, url);
    QCOMPARE(pool->calls[0].retries, 3);
    QCOMPARE(pool->calls[0].timeout, shared::TMilliseconds(4000));

    QVERIFY(loaded.wait(10000));
    QCOMPARE(failed.size(), 0);
    QVERIFY(!handler->configurationErrorTimer().isActive());
    QVERIFY(!handler->isLoadedFromCache());
    QVERIFY(handler->configuration);
    QCOMPARE(handler->configuration->rawJson, served);
    QCOMPARE(handler->configuration->baseUrl, server->url(QStringLiteral("/launcher/")));
    QCOMPARE(handler->configuration->hintsUrl, QUrl(QStringLiteral("http://127.0.0.1:9/hints.json")));
    QCOMPARE(readAll(cachePath()), served);
    // The older copy is replaced whole, with nothing left beside it.
    QCOMPARE(QDir(QFileInfo(cachePath()).absolutePath()).entryList(QDir::Files | QDir::Hidden | QDir::System),
        QStringList { QStringLiteral("launchermetadata.json") });
}

void TestLauncherConfigurationHandler::serverRefusalEndsTheRun_data()
{
    QTest::addColumn<TResponse>("response");
    QTest::newRow("403") << TResponse::withStatus(403);
    QTest::newRow("404") << TResponse::withStatus(404);
    TResponse empty;
    empty.body = QByteArray();
    QTest::newRow("empty body") << empty;
    TResponse invalid;
    invalid.body = QByteArray("{ \"packages\": [");
    QTest::newRow("invalid JSON") << invalid;
}

void TestLauncherConfigurationHandler::serverRefusalEndsTheRun()
{
    QFETCH(TResponse, response);
    const QByteArray cached = "{\"packages\": []}";
    writeAll(cachePath(), cached);
    server->setScript(QStringLiteral("/c.json"), { response });
    auto handler = makeHandler(server->url(QStringLiteral("/c.json")));
    handler->setErrorTimerInterval(5000);
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy failed(handler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);
    QSignalSpy disk(handler.get(), &TLauncherConfigurationHandler::diskAccessFailed);

    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression(".*"));
    handler->loadConfiguration();
    QVERIFY(failed.wait(10000));
    QVERIFY(!handler->configurationErrorTimer().isActive());
    QTest::qWait(50);
    QCOMPARE(failed.size(), 1);
    QCOMPARE(loaded.size(), 0);
    QCOMPARE(disk.size(), 0);
    QVERIFY(!handler->configuration);
    QCOMPARE(readAll(cachePath()), cached);
}

void TestLauncherConfigurationHandler::otherFailuresFallBackToCache_data()
{
    QTest::addColumn<TResponse>("response");
    QTest::addColumn<int>("errorTimeout");
    QTest::newRow("500") << TResponse::withStatus(500) << 5000;
    QTest::newRow("dropped connection") << TResponse::dropped(3) << 5000;
    QTest::newRow("error timer first") << TResponse::delayed(3000) << 100;
    QTest::newRow("server down") << TResponse {} << -1;
}

void TestLauncherConfigurationHandler::otherFailuresFallBackToCache()
{
    QFETCH(TResponse, response);
    QFETCH(int, errorTimeout);
    const QByteArray cached
        = document({ { "packages", QJsonArray { package("Game", { linuxBuild("game/package.json") }) } } });
    writeAll(cachePath(), cached);
    const QDateTime cacheTime = QFileInfo(cachePath()).lastModified();
    server->setScript(QStringLiteral("/c.json"), { response });
    server->setBody(QStringLiteral("/c.json"), "{\"packages\": []}");
    QUrl url = server->url(QStringLiteral("/c.json"));
    if (errorTimeout < 0) {
        server.reset(); // nothing listens on its port any more
        errorTimeout = 5000;
    }
    auto handler = makeHandler(url);
    handler->setErrorTimerInterval(errorTimeout);
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy failed(handler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);

    handler->loadConfiguration();
    QVERIFY(loaded.wait(10000));
    QCOMPARE(failed.size(), 0);
    QVERIFY(handler->isLoadedFromCache());
    QCOMPARE(handler->configuration->rawJson, cached);
    QCOMPARE(
        handler->configuration->baseUrl, QUrl::fromLocalFile(QFileInfo(cachePath()).absolutePath() + QLatin1Char('/')));
    QCOMPARE(handler->configuration->packages.size(), size_t(1));
    QCOMPARE(readAll(cachePath()), cached);
    QCOMPARE(QFileInfo(cachePath()).lastModified(), cacheTime);
}

void TestLauncherConfigurationHandler::lateAnswerAfterFallbackIsIgnored()
{
    const QByteArray cached = "{\"packages\": []}";
    writeAll(cachePath(), cached);
    TResponse late = TResponse::delayed(1500);
    late.body = QByteArray("{\"packages\": [], \"funnel\": \"http://127.0.0.1:9/f\"}");
    TResponse lateFailure = TResponse::delayed(1500);
    lateFailure.status = 404;
    server->setScript(QStringLiteral("/ok.json"), { late });
    server->setScript(QStringLiteral("/gone.json"), { lateFailure });

    for (const QString& path : { QStringLiteral("/ok.json"), QStringLiteral("/gone.json") }) {
        auto handler = makeHandler(server->url(path));
        handler->setErrorTimerInterval(50);
        QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
        QSignalSpy failed(handler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);
        QSignalSpy delivered(pool.get(), &shared::TDownloadPool::success);
        QSignalSpy refused(pool.get(), &shared::TDownloadPool::failed);
        handler->loadConfiguration();
        QVERIFY(loaded.wait(5000));
        QTRY_COMPARE_WITH_TIMEOUT(delivered.size() + refused.size(), 1, 5000);
        QCOMPARE(loaded.size(), 1);
        QCOMPARE(failed.size(), 0);
        QVERIFY(handler->isLoadedFromCache());
        QCOMPARE(handler->configuration->rawJson, cached);
        QCOMPARE(readAll(cachePath()), cached);
    }
}

void TestLauncherConfigurationHandler::missingOrEmptyCacheEndsTheRun_data()
{
    QTest::addColumn<bool>("emptyFile");
    QTest::newRow("missing") << false;
    QTest::newRow("empty") << true;
}

void TestLauncherConfigurationHandler::missingOrEmptyCacheEndsTheRun()
{
    QFETCH(bool, emptyFile);
    if (emptyFile)
        writeAll(cachePath(), QByteArray());
    server->setScript(QStringLiteral("/c.json"), { TResponse::withStatus(500) });
    auto handler = makeHandler(server->url(QStringLiteral("/c.json")));
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy failed(handler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);
    QSignalSpy disk(handler.get(), &TLauncherConfigurationHandler::diskAccessFailed);
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Download of configuration failed"));
    handler->loadConfiguration();
    QVERIFY(failed.wait(10000));
    QCOMPARE(loaded.size(), 0);
    QCOMPARE(disk.size(), 0);

    // The error timer's expiry takes the same road.
    auto timed = makeHandler(server->url(QStringLiteral("/c.json")));
    QSignalSpy timedFailed(timed.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);
    timed->onErrorTimerExpired();
    QCOMPARE(timedFailed.size(), 1);
}

void TestLauncherConfigurationHandler::unparsableCacheIsADiskAccessFailure()
{
    writeAll(cachePath(), "{ not json");
    auto handler = makeHandler(QUrl(QStringLiteral("http://127.0.0.1:9/c.json")));
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy failed(handler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);
    QSignalSpy disk(handler.get(), &TLauncherConfigurationHandler::diskAccessFailed);
    handler->onErrorTimerExpired();
    QCOMPARE(disk.size(), 1);
    QVERIFY(!disk.at(0).at(0).toString().isEmpty());
    QCOMPARE(loaded.size(), 0);
    QCOMPARE(failed.size(), 0);
    QVERIFY(!handler->configuration);
}

void TestLauncherConfigurationHandler::unwritableCacheIsReportedButAccepted()
{
    // A file where the data folder should be: the cache folder cannot be created.
    const QString dataLocation = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QDir().mkpath(QFileInfo(dataLocation).absolutePath());
    writeAll(dataLocation, "in the way");
    server->setBody(QStringLiteral("/c.json"), "{\"packages\": []}");
    auto handler = makeHandler(server->url(QStringLiteral("/c.json")));
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy disk(handler.get(), &TLauncherConfigurationHandler::diskAccessFailed);
    handler->loadConfiguration();
    QVERIFY(loaded.wait(10000));
    QCOMPARE(disk.size(), 1);
    QVERIFY(handler->configuration);
}

void TestLauncherConfigurationHandler::packageConfigurationsAreDownloadedWithNocache()
{
    filesystem->getLauncherSettings()->appendNocacheToPackageUrls = true;
    filesystem->getLauncherSettings()->retries = 2;
    server->setBody(QStringLiteral("/launcher/self/package.json"), packageDocument("0.0.19"));
    server->setBody(QStringLiteral("/launcher/game/package.json"), packageDocument("7"));
    server->setBody(QStringLiteral("/launcher/game/assets.json"), assetDocument(3));
    server->setBody(QStringLiteral("/launcher/tools/package.json"), packageDocument("2"));
    const QJsonObject config { { "launcher", package("Launcher", { linuxBuild("self/package.json") }) },
        { "packages",
            QJsonArray { package("Game", { linuxBuild("game/package.json", "game/assets.json") }),
                package("Windows only",
                    { QJsonObject { { "os", "windows" }, { "architecture", "x86_64" }, { "url", "w.json" } } }),
                package("Tools", { linuxBuild("tools/package.json") }) } } };
    server->setBody(QStringLiteral("/launcher/dulmetadata.json"), document(config));
    auto handler = makeHandler(server->url(QStringLiteral("/launcher/dulmetadata.json")));
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy finished(handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    handler->loadConfiguration();
    QVERIFY(loaded.wait(10000));
    pool->calls.clear();

    handler->startPackageConfigurationDownloads();
    const auto& pending = handler->pendingConfigurationDownloads();
    QCOMPARE(pending.size(), size_t(3));
    QCOMPARE(pending[0].package, handler->configuration->launcherPackage);
    QCOMPARE(pending[1].package, handler->configuration->packages[0]);
    QCOMPARE(pending[2].package, handler->configuration->packages[2]);
    QVERIFY(!pending[2].assetUrl.isValid());
    QCOMPARE(pool->calls.size(), size_t(4));
    for (const TDownloadCall& call : pool->calls) {
        QCOMPARE(call.retries, 2);
        const QString nocache = QUrlQuery(call.url).queryItemValue(QStringLiteral("nocache"));
        QCOMPARE(nocache.size(), 32);
    }
    QCOMPARE(
        pool->calls[0].url.adjusted(QUrl::RemoveQuery), server->url(QStringLiteral("/launcher/self/package.json")));
    QCOMPARE(pool->calls[2].url.adjusted(QUrl::RemoveQuery), server->url(QStringLiteral("/launcher/game/assets.json")));

    QVERIFY(finished.wait(10000));
    QTest::qWait(50);
    QCOMPARE(finished.size(), 1);
    QVERIFY(handler->pendingConfigurationDownloads().empty());
    for (const QString& path :
        { QStringLiteral("/launcher/self/package.json"), QStringLiteral("/launcher/game/package.json"),
            QStringLiteral("/launcher/game/assets.json"), QStringLiteral("/launcher/tools/package.json") }) {
        QCOMPARE(server->requestCount(path), 1);
        QVERIFY(server->requests(path).first().target.contains("?nocache="));
    }
    const TPackageConfigurationReader* self = handler->configuration->launcherPackage->packageConfiguration();
    QVERIFY(self && self->valid);
    QCOMPARE(self->version, QStringLiteral("0.0.19"));
    const TPackageConfigurationReader* game = handler->configuration->packages[0]->packageConfiguration();
    QVERIFY(game && game->valid);
    QCOMPARE(game->versionText(), QStringLiteral("P7 A3"));
    QCOMPARE(game->packageBaseUrl.adjusted(QUrl::RemoveQuery), server->url(QStringLiteral("/launcher/game/")));
    QCOMPARE(handler->configuration->packages[2]->packageConfiguration()->versionText(), QStringLiteral("P2 A?"));
    QCOMPARE(handler->configuration->packagesWithConfiguration().size(), size_t(2));
}

void TestLauncherConfigurationHandler::withoutNocacheUrlsStayAsTheyAre()
{
    server->setBody(QStringLiteral("/game/package.json"), packageDocument("1"));
    server->setBody(QStringLiteral("/c.json"),
        document({ { "packages", QJsonArray { package("Game", { linuxBuild("game/package.json") }) } } }));
    auto handler = makeHandler(server->url(QStringLiteral("/c.json")));
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy finished(handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    handler->loadConfiguration();
    QVERIFY(loaded.wait(10000));
    handler->startPackageConfigurationDownloads();
    QCOMPARE(pool->calls.back().url, server->url(QStringLiteral("/game/package.json")));
    QVERIFY(finished.wait(10000));
    QCOMPARE(server->requests(QStringLiteral("/game/package.json")).first().target, QByteArray("/game/package.json"));
}

void TestLauncherConfigurationHandler::sharedUrlsCompleteEveryRecord()
{
    server->setBody(QStringLiteral("/shared.json"), packageDocument("5"));
    server->setBody(QStringLiteral("/both.json"), document({ { "version", "9" }, { "files", QJsonArray() } }));
    // Two builds with one package document, and one build whose package and asset documents are one file.
    server->setBody(QStringLiteral("/c.json"),
        document({ { "packages",
            QJsonArray { package("A", { linuxBuild("shared.json") }), package("B", { linuxBuild("shared.json") }),
                package("C", { linuxBuild("both.json", "both.json") }) } } }));
    auto handler = makeHandler(server->url(QStringLiteral("/c.json")));
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy finished(handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    handler->loadConfiguration();
    QVERIFY(loaded.wait(10000));
    handler->startPackageConfigurationDownloads();
    QVERIFY(finished.wait(10000));
    QCOMPARE(server->requestCount(QStringLiteral("/shared.json")), 1);
    QCOMPARE(server->requestCount(QStringLiteral("/both.json")), 1);
    const auto& packages = handler->configuration->packages;
    QCOMPARE(packages[0]->packageConfiguration()->version, QStringLiteral("5"));
    QCOMPARE(packages[1]->packageConfiguration()->version, QStringLiteral("5"));
    const TPackageConfigurationReader* both = packages[2]->packageConfiguration();
    QVERIFY(both && both->valid);
    QCOMPARE(both->assetVersion, QStringLiteral("9"));
}

void TestLauncherConfigurationHandler::sharedUrlFailureRemovesEveryRecord()
{
    server->setScript(QStringLiteral("/shared.json"), { TResponse::withStatus(404) });
    server->setBody(QStringLiteral("/ok.json"), packageDocument("1"));
    server->setBody(QStringLiteral("/c.json"),
        document({ { "packages",
            QJsonArray { package("A", { linuxBuild("shared.json") }), package("B", { linuxBuild("ok.json") }),
                package("C", { linuxBuild("shared.json") }),
                package("D", { linuxBuild("ok.json", "shared.json") }) } } }));
    auto handler = makeHandler(server->url(QStringLiteral("/c.json")));
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy finished(handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    handler->loadConfiguration();
    QVERIFY(loaded.wait(10000));
    QTest::ignoreMessage(
        QtCriticalMsg, QRegularExpression("^Download of package configuration/asset from configuration .*shared"));
    QTest::ignoreMessage(
        QtCriticalMsg, QRegularExpression("^Download of package configuration/asset from configuration .*shared"));
    QTest::ignoreMessage(
        QtCriticalMsg, QRegularExpression("^Download of package configuration/asset from configuration .*shared"));
    handler->startPackageConfigurationDownloads();
    QVERIFY(finished.wait(10000));
    QTest::qWait(50);
    QCOMPARE(finished.size(), 1);
    QVERIFY(handler->pendingConfigurationDownloads().empty());
    const auto& packages = handler->configuration->packages;
    QVERIFY(!packages[0]->packageConfiguration());
    QVERIFY(packages[1]->packageConfiguration());
    QVERIFY(!packages[2]->packageConfiguration());
    QVERIFY(!packages[3]->packageConfiguration());
}

void TestLauncherConfigurationHandler::noBuildsFinishesAtOnce()
{
    // A configuration from the cache: the launcher package's build does not count.
    writeAll(cachePath(),
        document({ { "launcher", package("Launcher", { linuxBuild("self.json") }) },
            { "packages",
                QJsonArray { package("Mac", { QJsonObject { { "os", "macos" }, { "architecture", "x86_64" } } }),
                    package("None", {}) } } }));
    auto handler = makeHandler(server->url(QStringLiteral("/c.json")));
    QSignalSpy finished(handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    handler->onErrorTimerExpired();
    QVERIFY(handler->isLoadedFromCache());
    pool->calls.clear();
    handler->startPackageConfigurationDownloads();
    QCOMPARE(finished.size(), 1);
    QVERIFY(pool->calls.empty());

    // Before any configuration there is nothing to fetch and nothing to announce.
    auto empty = makeHandler(server->url(QStringLiteral("/c.json")));
    QSignalSpy emptyFinished(empty.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    empty->startPackageConfigurationDownloads();
    QCOMPARE(emptyFinished.size(), 0);
}

void TestLauncherConfigurationHandler::cachedConfigurationReadsMarkerFiles()
{
    writeAll(cachePath(),
        document({ { "launcher", package("Launcher", { linuxBuild("http://127.0.0.1:9/self.json") }) },
            { "packages",
                QJsonArray { package("Installed", { linuxBuild("http://127.0.0.1:9/i.json") }),
                    package("Absent", { linuxBuild("http://127.0.0.1:9/a.json") }),
                    package("Plain", { linuxBuild("http://127.0.0.1:9/p.json") }) } } }));
    writeAll(packagesPath() + QStringLiteral("/installed/package.json"), packageDocument("11"));
    writeAll(packagesPath() + QStringLiteral("/installed/assets.json"), assetDocument(4));
    writeAll(packagesPath() + QStringLiteral("/plain/package.json"), packageDocument("12"));
    filesystem->getLauncherSettings()->appendNocacheToPackageUrls = true;

    auto handler = makeHandler(server->url(QStringLiteral("/c.json")));
    QSignalSpy finished(handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    handler->onErrorTimerExpired();
    QVERIFY(handler->isLoadedFromCache());
    pool->calls.clear();
    QTest::ignoreMessage(QtCriticalMsg, QRegularExpression("^Download of package configuration/asset .*absent"));
    handler->startPackageConfigurationDownloads();

    const auto& pending = handler->pendingConfigurationDownloads();
    QCOMPARE(pending.size(), size_t(3));
    QCOMPARE(pending[0].packageUrl, QUrl::fromLocalFile(QDir::cleanPath(packagesPath() + "/installed/package.json")));
    QCOMPARE(pending[0].assetUrl, QUrl::fromLocalFile(QDir::cleanPath(packagesPath() + "/installed/assets.json")));
    QVERIFY(!pending[1].assetUrl.isValid());
    QVERIFY(!pending[2].assetUrl.isValid());
    for (const TDownloadCall& call : pool->calls) {
        QVERIFY(call.url.isLocalFile());
        QVERIFY(!call.url.hasQuery());
    }

    QVERIFY(finished.wait(10000));
    QCOMPARE(server->requestCount(), 0);
    const auto& packages = handler->configuration->packages;
    QVERIFY(!handler->configuration->launcherPackage->packageConfiguration());
    QCOMPARE(packages[0]->packageConfiguration()->versionText(), QStringLiteral("P11 A4"));
    QVERIFY(!packages[1]->packageConfiguration());
    QCOMPARE(packages[2]->packageConfiguration()->versionText(), QStringLiteral("P12 A?"));
}

void TestLauncherConfigurationHandler::maintenanceRefresh_data()
{
    QTest::addColumn<QJsonArray>("current");
    QTest::addColumn<QJsonArray>("refreshed");
    QTest::addColumn<bool>("changed");
    QTest::addColumn<QList<bool>>("activeAfter");
    QTest::addColumn<QStringList>("endAfter");

    const QJsonArray noBuild;
    const QString end1 = QStringLiteral("2026-12-10T12:00:00Z");
    const QString end2 = QStringLiteral("2026-12-10T14:00:00Z");
    QTest::newRow("begins") << QJsonArray { package("A", noBuild), package("B", noBuild) }
                            << QJsonArray { package("A", noBuild), package("B", noBuild, true, end1) } << true
                            << QList<bool> { false, true } << QStringList { "", end1 };
    QTest::newRow("end time moves") << QJsonArray { package("A", noBuild, true, end1) }
                                    << QJsonArray { package("A", noBuild, true, end2) } << true << QList<bool> { true }
                                    << QStringList { end2 };
    QTest::newRow("nothing changes") << QJsonArray { package("A", noBuild, true, end1) }
                                     << QJsonArray { package("Renamed", noBuild, true, end1) } << false
                                     << QList<bool> { true } << QStringList { end1 };
    QTest::newRow("fewer packages") << QJsonArray { package("A", noBuild), package("B", noBuild, true, end1) }
                                    << QJsonArray { package("A", noBuild, true, end2) } << true
                                    << QList<bool> { true, true } << QStringList { end2, end1 };
    QTest::newRow("more packages") << QJsonArray { package("A", noBuild) }
                                   << QJsonArray { package("A", noBuild), package("B", noBuild, true, end1) } << false
                                   << QList<bool> { false } << QStringList { "" };
}

void TestLauncherConfigurationHandler::maintenanceRefresh()
{
    QFETCH(QJsonArray, current);
    QFETCH(QJsonArray, refreshed);
    QFETCH(bool, changed);
    QFETCH(QList<bool>, activeAfter);
    QFETCH(QStringList, endAfter);

    const QByteArray first = document({ { "packages", current } });
    server->setScript(QStringLiteral("/c.json"), { TResponse {}, TResponse {} });
    server->setBody(QStringLiteral("/c.json"), first);
    auto handler = makeHandler(server->url(QStringLiteral("/c.json")));
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    handler->loadConfiguration();
    QVERIFY(loaded.wait(10000));
    const std::shared_ptr<TLauncherConfigurationReader> reader = handler->configuration;

    server->setBody(QStringLiteral("/c.json"), document({ { "packages", refreshed } }));
    QSignalSpy stateChanged(handler.get(), &TLauncherConfigurationHandler::maintenanceStateChanged);
    QSignalSpy finished(handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    QSignalSpy delivered(pool.get(), &shared::TDownloadPool::success);
    pool->calls.clear();
    handler->onMaintenanceRefreshTimerExpired();
    QVERIFY(handler->isMaintenanceRefreshPending());
    QCOMPARE(pool->calls.size(), size_t(1));
    QCOMPARE(pool->calls[0].url, server->url(QStringLiteral("/c.json")));
    QCOMPARE(pool->calls[0].retries, 1);
    QVERIFY(delivered.wait(10000));

    QVERIFY(!handler->isMaintenanceRefreshPending());
    QCOMPARE(stateChanged.size(), changed ? 1 : 0);
    QCOMPARE(handler->configuration, reader);
    QCOMPARE(finished.size(), 0);
    QCOMPARE(readAll(cachePath()), first);
    for (int i = 0; i < activeAfter.size(); ++i) {
        const TPackage& package = *reader->packages[size_t(i)];
        QCOMPARE(package.maintenanceActive, activeAfter[i]);
        const QDateTime expectedEnd = QDateTime::fromString(endAfter[i], Qt::ISODate);
        QCOMPARE(package.maintenanceEstimatedEnd, expectedEnd);
    }
}

void TestLauncherConfigurationHandler::maintenanceEndReplacesConfigurationAndRefetches()
{
    server->setBody(QStringLiteral("/game/package.json"), packageDocument("1"));
    const QByteArray during = document({ { "packages",
        QJsonArray { package("Game", { linuxBuild("game/package.json") }, true, "2026-12-10T12:00:00Z") } } });
    const QByteArray after
        = document({ { "packages", QJsonArray { package("Game", { linuxBuild("game/package.json") }) } } });
    server->setBody(QStringLiteral("/c.json"), during);
    auto handler = makeHandler(server->url(QStringLiteral("/c.json")));
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy finished(handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    handler->loadConfiguration();
    QVERIFY(loaded.wait(10000));
    handler->startPackageConfigurationDownloads();
    QVERIFY(finished.wait(10000));
    const std::shared_ptr<TLauncherConfigurationReader> reader = handler->configuration;
    const std::shared_ptr<TPackage> oldGame = reader->packages[0];

    server->setBody(QStringLiteral("/c.json"), after);
    QSignalSpy stateChanged(handler.get(), &TLauncherConfigurationHandler::maintenanceStateChanged);
    handler->onMaintenanceRefreshTimerExpired();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.size(), 2);
    QCOMPARE(stateChanged.size(), 1);
    QVERIFY(handler->configuration != reader);
    QCOMPARE(handler->configuration->rawJson, after);
    QCOMPARE(readAll(cachePath()), after);
    QVERIFY(!oldGame->maintenanceActive);
    const std::shared_ptr<TPackage> newGame = handler->configuration->packages[0];
    QVERIFY(newGame != oldGame);
    QVERIFY(newGame->packageConfiguration());
    QCOMPARE(server->requestCount(QStringLiteral("/game/package.json")), 2);
    QCOMPARE(loaded.size(), 1);
}

void TestLauncherConfigurationHandler::failedOrUnparsableRefreshChangesNothing()
{
    const QByteArray first = document({ { "packages", QJsonArray { package("A", {}, true) } } });
    server->setBody(QStringLiteral("/c.json"), first);
    auto handler = makeHandler(server->url(QStringLiteral("/c.json")));
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    handler->loadConfiguration();
    QVERIFY(loaded.wait(10000));
    const auto reader = handler->configuration;
    QSignalSpy stateChanged(handler.get(), &TLauncherConfigurationHandler::maintenanceStateChanged);
    QSignalSpy failedSignal(handler.get(), &TLauncherConfigurationHandler::mainConfigurationDownloadFailed);
    QSignalSpy disk(handler.get(), &TLauncherConfigurationHandler::diskAccessFailed);
    QSignalSpy delivered(pool.get(), &shared::TDownloadPool::success);
    QSignalSpy refused(pool.get(), &shared::TDownloadPool::failed);

    server->setScript(QStringLiteral("/c.json"), { TResponse::withStatus(404) });
    handler->onMaintenanceRefreshTimerExpired();
    QVERIFY(refused.wait(10000));
    QVERIFY(!handler->isMaintenanceRefreshPending());

    TResponse broken;
    broken.body = QByteArray("{\"packages\": [");
    server->setScript(QStringLiteral("/c.json"), { broken });
    QTest::ignoreMessage(QtWarningMsg, "Failed to parse refreshed configuration for maintenance check");
    handler->onMaintenanceRefreshTimerExpired();
    QVERIFY(delivered.wait(10000));
    QVERIFY(!handler->isMaintenanceRefreshPending());

    QCOMPARE(stateChanged.size(), 0);
    QCOMPARE(failedSignal.size(), 0);
    QCOMPARE(disk.size(), 0);
    QCOMPARE(handler->configuration, reader);
    QVERIFY(reader->packages[0]->maintenanceActive);
    QCOMPARE(readAll(cachePath()), first);
}

void TestLauncherConfigurationHandler::pendingRecordKeepsReplacedPackageAlive()
{
    // The package document is slow, and the maintenance ends while it is still on its way.
    TResponse slow = TResponse::delayed(1500);
    slow.body = packageDocument("3");
    server->setScript(QStringLiteral("/game/package.json"), { slow });
    const QByteArray during
        = document({ { "packages", QJsonArray { package("Game", { linuxBuild("game/package.json") }, true) } } });
    server->setScript(QStringLiteral("/c.json"), { TResponse {} });
    server->setBody(QStringLiteral("/c.json"), during);
    auto handler = makeHandler(server->url(QStringLiteral("/c.json")));
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy finished(handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    QSignalSpy delivered(pool.get(), &shared::TDownloadPool::success);
    handler->loadConfiguration();
    QVERIFY(loaded.wait(10000));
    handler->startPackageConfigurationDownloads();
    std::weak_ptr<TPackage> oldGame = handler->configuration->packages[0];

    server->setBody(QStringLiteral("/c.json"),
        document({ { "packages", QJsonArray { package("Game", { linuxBuild("game/package.json") }) } } }));
    delivered.clear();
    handler->onMaintenanceRefreshTimerExpired();
    QVERIFY(delivered.wait(10000));
    QVERIFY(handler->configuration->packages[0] != oldGame.lock());
    // Only the pending record holds the replaced package now.
    QVERIFY(!oldGame.expired());
    QCOMPARE(handler->pendingConfigurationDownloads().size(), size_t(2));
    TPackage* oldPackage = oldGame.lock().get();
    QCOMPARE(handler->pendingConfigurationDownloads()[0].package.get(), oldPackage);

    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.size(), 1);
    QVERIFY(oldGame.expired());
    QVERIFY(handler->configuration->packages[0]->packageConfiguration());
    QCOMPARE(server->requestCount(QStringLiteral("/game/package.json")), 1);
}

void TestLauncherConfigurationHandler::hintChoice_data()
{
    QTest::addColumn<QByteArray>("hints");
    QTest::addColumn<qint64>("nowMs");
    QTest::addColumn<int>("expected"); // -1: nothing chosen

    const qint64 jan2026 = QDateTime(QDate(2026, 1, 15), QTime(12, 0), Qt::UTC).toMSecsSinceEpoch();
    QTest::newRow("emergency despite passed window")
        << QByteArray(R"([{"richText":"a","displayAfter":"2026-01-01T00:00:00Z"},
                          {"richText":"b","emergency":true,"displayUntil":"2025-01-01T00:00:00Z"},
                          {"richText":"c","emergency":true}])")
        << jan2026 << 1;
    QTest::newRow("emergency false never chosen")
        << QByteArray(R"([{"richText":"a","emergency":false}])") << jan2026 << -1;
    QTest::newRow("undated by time") << QByteArray(R"([{"richText":"a"},{"richText":"b"},{"richText":"c"}])")
                                     << qint64(1000) << 1;
    QTest::newRow("undated by time, wraps")
        << QByteArray(R"([{"richText":"a"},{"richText":"b"},{"richText":"c"}])") << qint64(1002) << 0;
    QTest::newRow("first dated candidate")
        << QByteArray(R"([{"richText":"a"},{"richText":"b","displayAfter":"2026-01-10T00:00:00Z"},
                          {"richText":"c","displayUntil":"2026-02-01T00:00:00Z"}])")
        << jan2026 << 1;
    QTest::newRow("window not yet open or closed")
        << QByteArray(R"([{"richText":"a","displayAfter":"2026-02-01T00:00:00Z"},
                          {"richText":"b","displayUntil":"2026-01-01T00:00:00Z"},
                          {"richText":"c"}])")
        << jan2026 << 2;
    QTest::newRow("bounds inclusive") << QByteArray(
        R"([{"richText":"a","displayAfter":"2026-01-15T12:00:00Z","displayUntil":"2026-01-15T12:00:00Z"}])")
                                      << jan2026 << 0;
    QTest::newRow("empty") << QByteArray("[]") << jan2026 << -1;
}

void TestLauncherConfigurationHandler::hintChoice()
{
    QFETCH(QByteArray, hints);
    QFETCH(qint64, nowMs);
    QFETCH(int, expected);
    const auto chosen = TLauncherConfigurationHandler::selectHintToShow(
        shared::parseHints(hints), QDateTime::fromMSecsSinceEpoch(nowMs, Qt::UTC));
    QCOMPARE(chosen ? int(*chosen) : -1, expected);
}

void TestLauncherConfigurationHandler::hintsDocumentIsChosenFromAndAnnounced()
{
    server->setBody(QStringLiteral("/news/hints.json"),
        R"([{"title":"old","richText":"a","displayUntil":"2001-01-01T00:00:00Z"},
                        {"title":"alarm","richText":"b","emergency":true},
                        {"title":"plain","richText":"c"}])");
    server->setBody(QStringLiteral("/c.json"),
        document(
            { { "packages", QJsonArray() }, { "hints", server->url(QStringLiteral("/news/hints.json")).toString() } }));
    auto handler = makeHandler(server->url(QStringLiteral("/c.json")));
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy oneHint(handler.get(), &TLauncherConfigurationHandler::hintAreaDataReceived);
    QSignalSpy allHints(handler.get(), &TLauncherConfigurationHandler::hintsAreaDataReceived);
    QSignalSpy finished(handler.get(), &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished);
    handler->loadConfiguration();
    QVERIFY(loaded.wait(10000));

    // As the main window does.
    handler->downloadPool->Download(handler->configuration->hintsUrl, 0, 5000);
    QVERIFY(allHints.wait(10000));
    QCOMPARE(oneHint.size(), 1);
    QCOMPARE(oneHint.at(0).at(0).value<THint>().title, QStringLiteral("alarm"));
    const auto all = allHints.at(0).at(0).value<std::vector<THint>>();
    QCOMPARE(all.size(), size_t(3));
    QCOMPARE(all[2].title, QStringLiteral("plain"));
    QCOMPARE(handler->shownHint().title, QStringLiteral("alarm"));
    QCOMPARE(handler->shownHints().size(), size_t(3));
    QCOMPARE(finished.size(), 0);
}

void TestLauncherConfigurationHandler::hintsWithoutChoiceEmitNothing()
{
    server->setBody(QStringLiteral("/hints.json"), R"([{"title":"quiet","richText":"x","emergency":false}])");
    server->setBody(QStringLiteral("/c.json"),
        document({ { "packages", QJsonArray() }, { "hints", server->url(QStringLiteral("/hints.json")).toString() } }));
    auto handler = makeHandler(server->url(QStringLiteral("/c.json")));
    QSignalSpy loaded(handler.get(), &TLauncherConfigurationHandler::mainConfigurationLoaded);
    QSignalSpy allHints(handler.get(), &TLauncherConfigurationHandler::hintsAreaDataReceived);
    QSignalSpy delivered(pool.get(), &shared::TDownloadPool::success);
    handler->loadConfiguration();
    QVERIFY(loaded.wait(10000));
    delivered.clear();
    handler->downloadPool->Download(handler->configuration->hintsUrl, 0, 5000);
    QVERIFY(delivered.wait(10000));
    QCOMPARE(allHints.size(), 0);
    QVERIFY(handler->shownHints().empty());
    QVERIFY(handler->shownHint().title.isEmpty());
}

QTEST_GUILESS_MAIN(TestLauncherConfigurationHandler)
#include "tst_launcherconfigurationhandler.moc"
