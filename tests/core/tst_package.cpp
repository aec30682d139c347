#include "core/launcherconfigurationreader.h"
#include "core/package.h"
#include "core/packageconfigurationreader.h"

#include <QtTest>

using namespace korvane::launcher;

Q_DECLARE_METATYPE(EOperatingSystem)
Q_DECLARE_METATYPE(EArchitecture)

namespace {

const TLauncherConfigurationReader& emptyReader()
{
    static const TLauncherConfigurationReader reader(QUrl(QStringLiteral("http://cfg.example/launcher/")), "{}");
    return reader;
}

QJsonObject object(const QByteArray& json)
{
    return QJsonDocument::fromJson(json).object();
}

std::unique_ptr<TPackage> package(const QByteArray& json, int index = 0)
{
    return std::make_unique<TPackage>(index, object(json), emptyReader());
}

const TPlatform linux64 { EOperatingSystem::Linux, EArchitecture::X86_64 };

} // namespace

class TestPackage : public QObject
{
    Q_OBJECT

private slots:
    void architectureOfTheProgram_data();
    void architectureOfTheProgram();
    void operatingSystemOfTheMachine_data();
    void operatingSystemOfTheMachine();

    void readsThePackageObject();
    void defaultsForMissingAndMistypedMembers();
    void buildUrls_data();
    void buildUrls();
    void estimatedEnd_data();
    void estimatedEnd();

    void choosesTheFirstFittingBuild_data();
    void choosesTheFirstFittingBuild();
    void unsafeDirectoryNameGivesNoBuild_data();
    void unsafeDirectoryNameGivesNoBuild();
    void packageConfigurationFollowsTheCurrentBuild();
    void statusChangeIsSignalledOnce();
};

void TestPackage::architectureOfTheProgram_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<EArchitecture>("expected");
    QTest::newRow("x86_64") << "x86_64" << EArchitecture::X86_64;
    QTest::newRow("i386") << "i386" << EArchitecture::I386;
    QTest::newRow("compared exactly") << "X86_64" << EArchitecture::Unknown;
    QTest::newRow("arm64") << "arm64" << EArchitecture::Unknown;
}

void TestPackage::architectureOfTheProgram()
{
    QFETCH(QString, text);
    QFETCH(EArchitecture, expected);
    QCOMPARE(TPlatform::architectureFromBuildCpu(text), expected);
}

void TestPackage::operatingSystemOfTheMachine_data()
{
    QTest::addColumn<QString>("productType");
    QTest::addColumn<QString>("kernelType");
    QTest::addColumn<EOperatingSystem>("expected");
    QTest::newRow("debian") << "debian"
                            << "linux" << EOperatingSystem::Linux;
    QTest::newRow("windows") << "windows"
                             << "winnt" << EOperatingSystem::Windows;
    QTest::newRow("osx") << "osx"
                         << "darwin" << EOperatingSystem::MacOS;
    QTest::newRow("darwin") << "darwin"
                            << "darwin" << EOperatingSystem::MacOS;
    QTest::newRow("kernel compared exactly") << "unknown"
                                             << "Linux" << EOperatingSystem::Unknown;
    QTest::newRow("freebsd") << "freebsd"
                             << "freebsd" << EOperatingSystem::Unknown;
}

void TestPackage::operatingSystemOfTheMachine()
{
    QFETCH(QString, productType);
    QFETCH(QString, kernelType);
    QFETCH(EOperatingSystem, expected);
    QCOMPARE(TPlatform::operatingSystemFrom(productType, kernelType), expected);
}

void TestPackage::readsThePackageObject()
{
    const auto p = package(R"({"name": "Korvane", "directoryname": "korvane", "installautomatically": true,
        "logolinktarget": "https://korvane.example/news?id=1",
        "maintenance": {"active": true, "estimatedEnd": "2026-12-10T12:00:00Z"},
        "builds": [{"os": "linux", "architecture": "x86_64", "url": "linux/package.json",
                    "assetsurl": "linux/assets.json"}, "not an object"]})",
        3);
    QCOMPARE(p->index, 3);
    QCOMPARE(p->name, QStringLiteral("Korvane"));
    QCOMPARE(p->directoryName, QStringLiteral("korvane"));
    QCOMPARE(p->logoLinkTarget, QUrl(QStringLiteral("https://korvane.example/news?id=1")));
    QVERIFY(p->installAutomatically);
    QVERIFY(p->maintenanceActive);
    QVERIFY(p->maintenanceEstimatedEnd.isValid());
    QVERIFY(!p->isUpToDate);
    QVERIFY(!p->isDefaultClient);
    QCOMPARE(p->localStatus, ELocalPackageStatus::Unknown);

    QCOMPARE(p->builds.size(), std::size_t(2));
    const TPackageBuild* build = p->builds[0];
    QCOMPARE(build->os, EOperatingSystem::Linux);
    QCOMPARE(build->architecture, EArchitecture::X86_64);
    QCOMPARE(build->url, QUrl(QStringLiteral("http://cfg.example/launcher/linux/package.json")));
    QCOMPARE(build->assetsUrl, QUrl(QStringLiteral("http://cfg.example/launcher/linux/assets.json")));
    QVERIFY(build->configuration == nullptr);
    QCOMPARE(p->builds[1]->os, EOperatingSystem::Unknown);
    QCOMPARE(p->builds[1]->url, QUrl(QStringLiteral("http://cfg.example/launcher/")));
}

void TestPackage::defaultsForMissingAndMistypedMembers()
{
    const auto p = package(R"({"name": 5, "directoryname": ["x"], "installautomatically": "true",
        "logolinktarget": 12, "maintenance": {"active": 1}, "builds": {"os": "linux"}})");
    QVERIFY(p->name.isEmpty());
    QVERIFY(p->directoryName.isEmpty());
    QVERIFY(p->logoLinkTarget.isEmpty());
    QVERIFY(!p->installAutomatically);
    QVERIFY(!p->maintenanceActive);
    QVERIFY(!p->maintenanceEstimatedEnd.isValid());
    QVERIFY(p->builds.empty());
    QVERIFY(p->platformBuild(linux64) == nullptr);
    QVERIFY(p->packageConfiguration() == nullptr);

    const auto empty = package("{}");
    QVERIFY(empty->logoLinkTarget.isEmpty());
    QVERIFY(empty->builds.empty());
}

void TestPackage::buildUrls_data()
{
    QTest::addColumn<QString>("base");
    QTest::addColumn<QByteArray>("build");
    QTest::addColumn<QString>("url");
    QTest::addColumn<QString>("assetsUrl");

    QTest::newRow("relative") << "http://h/c/" << QByteArray(R"({"url": "p/package.json"})")
                              << "http://h/c/p/package.json"
                              << "";
    QTest::newRow("absolute") << "http://h/c/" << QByteArray(R"({"url": "https://o/p.json?k=1"})")
                              << "https://o/p.json?k=1"
                              << "";
    QTest::newRow("missing url gives the folder without query")
        << "http://h/c/?nocache=3" << QByteArray("{}") << "http://h/c/"
        << "";
    QTest::newRow("assets url of another type gives the folder")
        << "http://h/c/" << QByteArray(R"({"url": "p", "assetsurl": 4})") << "http://h/c/p"
        << "http://h/c/";
    QTest::newRow("local cache folder") << "file:///home/u/.local/share/k/" << QByteArray(R"({"url": "p.json"})")
                                        << "file:///home/u/.local/share/k/p.json"
                                        << "";
    // Only http and https are fetched for a downloaded document; a refused address stays empty.
    QTest::newRow("local file refused") << "http://h/c/"
                                        << QByteArray(R"({"url": "file:///etc/p.json", "assetsurl": "a.json"})") << ""
                                        << "http://h/c/a.json";
    QTest::newRow("local asset file refused")
        << "http://h/c/" << QByteArray(R"({"url": "p.json", "assetsurl": "file:///etc/a.json"})") << "http://h/c/p.json"
        << "";
}

void TestPackage::buildUrls()
{
    QFETCH(QString, base);
    QFETCH(QByteArray, build);
    QFETCH(QString, url);
    QFETCH(QString, assetsUrl);

    const TLauncherConfigurationReader reader(QUrl(base), "{}");
    if (build.contains("file:"))
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Refused the URL \"file:"));
    const TPackage p(0, object("{\"builds\": [" + build + "]}"), reader);
    QCOMPARE(p.builds.size(), std::size_t(1));
    QCOMPARE(p.builds[0]->url.toString(), url);
    QCOMPARE(p.builds[0]->assetsUrl.toString(), assetsUrl);
}

void TestPackage::estimatedEnd_data()
{
    QTest::addColumn<QByteArray>("maintenance");
    QTest::addColumn<QDateTime>("expected");

    QTest::newRow("UTC designator") << QByteArray(R"({"estimatedEnd": "2026-12-10T12:30:00Z"})")
                                    << QDateTime(QDate(2026, 12, 10), QTime(12, 30), Qt::UTC);
    QTest::newRow("offset") << QByteArray(R"({"estimatedEnd": "2026-12-10T14:30:00+02:00"})")
                            << QDateTime(QDate(2026, 12, 10), QTime(12, 30), Qt::UTC);
    QTest::newRow("number") << QByteArray(R"({"estimatedEnd": 1765369800})") << QDateTime();
    QTest::newRow("unparsable") << QByteArray(R"({"estimatedEnd": "tomorrow"})") << QDateTime();
    QTest::newRow("key in lower case") << QByteArray(R"({"estimatedend": "2026-12-10T12:30:00Z"})") << QDateTime();
}

void TestPackage::estimatedEnd()
{
    QFETCH(QByteArray, maintenance);
    QFETCH(QDateTime, expected);
    const auto p = package("{\"maintenance\": " + maintenance + "}");
    QCOMPARE(p->maintenanceEstimatedEnd.isValid(), expected.isValid());
    if (expected.isValid())
        QCOMPARE(p->maintenanceEstimatedEnd.toUTC(), expected);
}

void TestPackage::choosesTheFirstFittingBuild_data()
{
    QTest::addColumn<QByteArray>("builds");
    QTest::addColumn<EOperatingSystem>("os");
    QTest::addColumn<EArchitecture>("architecture");
    QTest::addColumn<QString>("expectedUrl");

    const QByteArray twoLinux = R"([{"os": "linux", "architecture": "x86_64", "url": "A"},
                                    {"os": "linux", "architecture": "x86_64", "url": "B"}])";
    QTest::newRow("first of two") << twoLinux << EOperatingSystem::Linux << EArchitecture::X86_64 << "A";
    QTest::newRow("mixed case texts") << QByteArray(R"([{"os": "LiNuX", "architecture": "X86_64", "url": "A"}])")
                                      << EOperatingSystem::Linux << EArchitecture::X86_64 << "A";
    QTest::newRow("other systems skipped") << QByteArray(R"([{"os": "windows", "architecture": "x86_64", "url": "W"},
                          {"os": "linux", "architecture": "i386", "url": "L32"},
                          {"os": "linux", "architecture": "x86_64", "url": "L64"}])")
                                           << EOperatingSystem::Linux << EArchitecture::X86_64 << "L64";
    QTest::newRow("no fitting build") << QByteArray(R"([{"os": "macos", "architecture": "x86_64", "url": "M"}])")
                                      << EOperatingSystem::Linux << EArchitecture::X86_64 << "";
    QTest::newRow("capital key is not read") << QByteArray(R"([{"OS": "linux", "architecture": "x86_64", "url": "A"}])")
                                             << EOperatingSystem::Linux << EArchitecture::X86_64 << "";
    QTest::newRow("osx fits only an unrecognised system")
        << QByteArray(R"([{"os": "osx", "architecture": "x86_64", "url": "X"}])") << EOperatingSystem::Unknown
        << EArchitecture::X86_64 << "X";
    QTest::newRow("osx does not fit macos") << QByteArray(R"([{"os": "osx", "architecture": "x86_64", "url": "X"}])")
                                            << EOperatingSystem::MacOS << EArchitecture::X86_64 << "";
}

void TestPackage::choosesTheFirstFittingBuild()
{
    QFETCH(QByteArray, builds);
    QFETCH(EOperatingSystem, os);
    QFETCH(EArchitecture, architecture);
    QFETCH(QString, expectedUrl);

    const auto p = package("{\"directoryname\": \"game\", \"builds\": " + builds + "}");
    const TPackageBuild* build = p->platformBuild(TPlatform { os, architecture });
    if (expectedUrl.isEmpty()) {
        QVERIFY(build == nullptr);
    } else {
        QVERIFY(build != nullptr);
        QCOMPARE(build->url.fileName(), expectedUrl);
    }
}

void TestPackage::unsafeDirectoryNameGivesNoBuild_data()
{
    QTest::addColumn<QString>("directoryName");
    QTest::addColumn<bool>("hasBuild");

    QTest::newRow("plain") << "korvane" << true;
    QTest::newRow("nested") << "games/korvane" << true;
    QTest::newRow("empty") << "" << false;
    QTest::newRow("absolute") << "/home/user" << false;
    QTest::newRow("parent") << ".." << false;
    QTest::newRow("dot") << "." << false;
    QTest::newRow("climbs out") << "korvane/../.." << false;
    QTest::newRow("trailing slash") << "korvane/" << false;
    QTest::newRow("empty component") << "a//b" << false;
}

void TestPackage::unsafeDirectoryNameGivesNoBuild()
{
    QFETCH(QString, directoryName);
    QFETCH(bool, hasBuild);

    QJsonObject json = object(R"({"builds": [{"os": "linux", "architecture": "x86_64", "url": "p.json"}]})");
    json.insert("directoryname", directoryName);
    const TPackage game(0, json, emptyReader());
    QCOMPARE(game.platformBuild(linux64) != nullptr, hasBuild);
    QCOMPARE(game.hasContainedDirectoryName(), hasBuild);
    QCOMPARE(game.builds.size(), std::size_t(1));

    // The launcher's own package installs into the application folder; its folder name is never used.
    const TPackage launcher(TPackage::launcherPackageIndex, json, emptyReader());
    QVERIFY(launcher.platformBuild(linux64) != nullptr);
}

void TestPackage::packageConfigurationFollowsTheCurrentBuild()
{
    const TPlatform here = TPlatform::current();
    QJsonObject build;
    build.insert("os", here.os == EOperatingSystem::Linux ? "linux" : "unrecognised");
    build.insert("architecture", here.architecture == EArchitecture::X86_64 ? "x86_64" : "unrecognised");
    QJsonObject json { { "directoryname", "game" }, { "builds", QJsonArray { build } } };
    const TPackage p(0, json, emptyReader());

    TPackageBuild* current = p.currentPlatformBuild();
    QVERIFY(current != nullptr);
    QVERIFY(p.packageConfiguration() == nullptr);

    auto* first = new TPackageConfigurationReader("{\"version\": \"1\"}", QByteArray(), QUrl(), QUrl());
    current->setConfiguration(first);
    QCOMPARE(p.packageConfiguration(), first);
    auto* second = new TPackageConfigurationReader("{\"version\": \"2\"}", QByteArray(), QUrl(), QUrl());
    current->setConfiguration(second);
    QCOMPARE(p.packageConfiguration()->version, QStringLiteral("2"));
}

void TestPackage::statusChangeIsSignalledOnce()
{
    const auto p = package("{}");
    QSignalSpy spy(p.get(), &TPackage::localPackageStatusChanged);
    p->setLocalStatus(ELocalPackageStatus::PartiallyInstalled);
    p->setLocalStatus(ELocalPackageStatus::PartiallyInstalled);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(p->localStatus, ELocalPackageStatus::PartiallyInstalled);
    p->setLocalStatus(ELocalPackageStatus::UpToDate);
    QCOMPARE(spy.count(), 2);
}

QTEST_APPLESS_MAIN(TestPackage)
#include "tst_package.moc"
