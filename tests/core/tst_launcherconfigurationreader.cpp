#include "core/launcherconfigurationreader.h"
#include "core/package.h"
#include "core/packageconfigurationreader.h"

#include <QtTest>

using namespace korvane::launcher;

namespace {

const QUrl base(QStringLiteral("http://cfg.example/launcher/"));

QByteArray currentBuild(const char* url)
{
    const TPlatform here = TPlatform::current();
    QJsonObject build { { "url", QString::fromLatin1(url) } };
    build.insert("os", here.os == EOperatingSystem::Linux ? "linux" : "unrecognised");
    build.insert("architecture", here.architecture == EArchitecture::X86_64 ? "x86_64" : "unrecognised");
    return QJsonDocument(build).toJson(QJsonDocument::Compact);
}

} // namespace

class TestLauncherConfigurationReader : public QObject
{
    Q_OBJECT

private slots:
    void emptyDocuments_data();
    void emptyDocuments();
    void parseErrorThrowsTheFrameworkText_data();
    void parseErrorThrowsTheFrameworkText();
    void readsEveryMember();
    void mistypedMembersTakeDefaults();
    void packagesAreIndexedByPosition();
    void packagesWithConfiguration();
    void laterPackageInAnEarlierFolderGetsNoBuild_data();
    void laterPackageInAnEarlierFolderGetsNoBuild();
    void hintsAddressMustBeHttp_data();
    void hintsAddressMustBeHttp();
};

void TestLauncherConfigurationReader::emptyDocuments_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::newRow("empty object") << QByteArray("{}");
    QTest::newRow("empty array") << QByteArray("[]");
    QTest::newRow("array of packages") << QByteArray(R"([{"packages": [{}]}])");
}

void TestLauncherConfigurationReader::emptyDocuments()
{
    QFETCH(QByteArray, document);
    const TLauncherConfigurationReader reader(base, document);
    QCOMPARE(reader.baseUrl, base);
    QCOMPARE(reader.rawJson, document);
    QVERIFY(!reader.launcherPackage);
    QVERIFY(reader.packages.empty());
    QVERIFY(reader.hardwareSurveyUrl.isEmpty());
    QVERIFY(reader.hintsUrl.isEmpty());
    QVERIFY(reader.funnelUrl.isEmpty());
    QVERIFY(!reader.preventDefaultAutostart);
    QVERIFY(!reader.showPackageNames);
    QVERIFY(reader.packagesWithConfiguration().empty());
}

void TestLauncherConfigurationReader::parseErrorThrowsTheFrameworkText_data()
{
    QTest::addColumn<QByteArray>("document");
    QTest::newRow("empty bytes") << QByteArray();
    QTest::newRow("truncated") << QByteArray(R"({"packages": [)");
    QTest::newRow("html error page") << QByteArray("<html>502 Bad Gateway</html>");
}

void TestLauncherConfigurationReader::parseErrorThrowsTheFrameworkText()
{
    QFETCH(QByteArray, document);
    QJsonParseError expected;
    QJsonDocument::fromJson(document, &expected);
    QVERIFY(expected.error != QJsonParseError::NoError);

    try {
        TLauncherConfigurationReader reader(base, document);
        QFAIL("no exception");
    } catch (const TLauncherConfigurationException& error) {
        QCOMPARE(QString::fromUtf8(error.what()), expected.errorString());
        const std::runtime_error& asRuntimeError = error;
        QVERIFY(asRuntimeError.what() != nullptr);
    }
}

void TestLauncherConfigurationReader::readsEveryMember()
{
    // Spacing and member order stay exactly as received in the raw bytes.
    const QByteArray document = R"({
  "showpackagenames": true, "preventdefaultautostart": true,
  "hardwaresurvey": "https://survey.example/upload", "hints": "hints/news.json",
  "funnel": "https://funnel.example/e?k=1",
  "launcher": {"name": "Launcher", "builds": [)"
        + currentBuild("launcher/package.json") + R"(]},
  "packages": [{"name": "Korvane", "directoryname": "korvane"}]
})";
    const TLauncherConfigurationReader reader(base, document);
    QCOMPARE(reader.rawJson, document);
    QVERIFY(reader.showPackageNames);
    QVERIFY(reader.preventDefaultAutostart);
    QCOMPARE(reader.hardwareSurveyUrl, QUrl(QStringLiteral("https://survey.example/upload")));
    // Endpoints are used as written: a relative text stays relative.
    QVERIFY(reader.hintsUrl.isRelative());
    QCOMPARE(reader.hintsUrl.toString(), QStringLiteral("hints/news.json"));
    QCOMPARE(reader.funnelUrl, QUrl(QStringLiteral("https://funnel.example/e?k=1")));

    QVERIFY(reader.launcherPackage);
    QCOMPARE(reader.launcherPackage->index, 2147483647);
    QCOMPARE(reader.launcherPackage->name, QStringLiteral("Launcher"));
    QVERIFY(reader.launcherPackage->currentPlatformBuild() != nullptr);
    QCOMPARE(reader.launcherPackage->currentPlatformBuild()->url,
        QUrl(QStringLiteral("http://cfg.example/launcher/launcher/package.json")));
    QCOMPARE(reader.packages.size(), std::size_t(1));
    QCOMPARE(reader.packages[0]->directoryName, QStringLiteral("korvane"));
}

void TestLauncherConfigurationReader::mistypedMembersTakeDefaults()
{
    const TLauncherConfigurationReader reader(base, R"({"showpackagenames": "true", "preventdefaultautostart": 1,
        "hints": 5, "funnel": null, "hardwaresurvey": ["x"], "launcher": "self", "packages": {"name": "x"}})");
    QVERIFY(!reader.showPackageNames);
    QVERIFY(!reader.preventDefaultAutostart);
    QVERIFY(reader.hintsUrl.isEmpty());
    QVERIFY(reader.funnelUrl.isEmpty());
    QVERIFY(reader.hardwareSurveyUrl.isEmpty());
    QVERIFY(!reader.launcherPackage);
    QVERIFY(reader.packages.empty());
}

void TestLauncherConfigurationReader::packagesAreIndexedByPosition()
{
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("names the folder \"same\" of the package \"One\""));
    const TLauncherConfigurationReader reader(base, R"({"packages": ["text",
        {"name": "One", "directoryname": "same"}, {"name": "Two", "directoryname": "same"}]})");
    QCOMPARE(reader.packages.size(), std::size_t(3));
    for (std::size_t i = 0; i < reader.packages.size(); ++i)
        QCOMPARE(reader.packages[i]->index, int(i));
    QVERIFY(reader.packages[0]->name.isEmpty());
    QVERIFY(reader.packages[0]->builds.empty());
    QVERIFY(!reader.packages[0]->maintenanceActive);
    QCOMPARE(reader.packages[1]->name, QStringLiteral("One"));
    // Two packages may name one folder; both stay listed.
    QCOMPARE(reader.packages[2]->directoryName, reader.packages[1]->directoryName);
}

void TestLauncherConfigurationReader::packagesWithConfiguration()
{
    const QByteArray build = currentBuild("p.json");
    const TLauncherConfigurationReader reader(base,
        R"({
        "launcher": {"builds": [)"
            + build + R"(]},
        "packages": [
            {"name": "configured", "directoryname": "a", "builds": [)"
            + build + R"(]},
            {"name": "waiting", "directoryname": "b", "builds": [)"
            + build + R"(]},
            {"name": "elsewhere", "directoryname": "c", "builds": [{"os": "windows", "architecture": "i386"}]},
            {"name": "also configured", "directoryname": "d", "builds": [)"
            + build + R"(]}
        ]})");
    QCOMPARE(reader.packages.size(), std::size_t(4));
    QVERIFY(reader.packagesWithConfiguration().empty());

    for (std::size_t i : { std::size_t(0), std::size_t(3) }) {
        reader.packages[i]->currentPlatformBuild()->setConfiguration(
            new TPackageConfigurationReader("{}", QByteArray(), QUrl(), QUrl()));
    }
    reader.launcherPackage->currentPlatformBuild()->setConfiguration(
        new TPackageConfigurationReader("{}", QByteArray(), QUrl(), QUrl()));

    const auto configured = reader.packagesWithConfiguration();
    QCOMPARE(configured.size(), std::size_t(2));
    QCOMPARE(configured[0], reader.packages[0]);
    QCOMPARE(configured[1], reader.packages[3]);
}

void TestLauncherConfigurationReader::laterPackageInAnEarlierFolderGetsNoBuild_data()
{
    QTest::addColumn<QStringList>("folders");
    QTest::addColumn<QList<bool>>("built");
    QTest::newRow("same folder") << QStringList { "game", "game" } << QList<bool> { true, false };
    QTest::newRow("three in one, one apart")
        << QStringList { "game", "other", "game", "game" } << QList<bool> { true, true, false, false };
    QTest::newRow("nested folders") << QStringList { "game", "game/sub" } << QList<bool> { true, true };
    QTest::newRow("case differs") << QStringList { "game", "Game" } << QList<bool> { true, true };
    // A package that is never installed takes no folder from the others.
    QTest::newRow("earlier one refused") << QStringList { "../game", "game" } << QList<bool> { false, true };
}

void TestLauncherConfigurationReader::laterPackageInAnEarlierFolderGetsNoBuild()
{
    QFETCH(QStringList, folders);
    QFETCH(QList<bool>, built);
    if (TPlatform::current().os != EOperatingSystem::Linux)
        QSKIP("the builds of the fixture are for Linux");
    QJsonArray packages;
    for (int i = 0; i < folders.size(); ++i) {
        packages.append(QJsonObject { { "name", QStringLiteral("P%1").arg(i) }, { "directoryname", folders[i] },
            { "builds", QJsonArray { QJsonDocument::fromJson(currentBuild("p.json")).object() } } });
        if (i > 0 && !built[i] && folders.indexOf(folders[i]) < i)
            QTest::ignoreMessage(QtWarningMsg,
                qPrintable(QStringLiteral("Package \"P%1\" names the folder \"%2\" of the package \"P%3\" ; it is "
                                          "listed but never installed")
                        .arg(i)
                        .arg(folders[i])
                        .arg(folders.indexOf(folders[i]))));
    }
    const TLauncherConfigurationReader reader(base, QJsonDocument(QJsonObject { { "packages", packages } }).toJson());
    QCOMPARE(reader.packages.size(), std::size_t(folders.size()));
    for (int i = 0; i < folders.size(); ++i)
        QVERIFY2((reader.packages[std::size_t(i)]->currentPlatformBuild() != nullptr) == built[i], qPrintable(folders[i]));
}

void TestLauncherConfigurationReader::hintsAddressMustBeHttp_data()
{
    QTest::addColumn<QString>("hints");
    QTest::addColumn<QString>("url");
    QTest::newRow("https") << "https://news.example/hints.json"
                           << "https://news.example/hints.json";
    QTest::newRow("relative stays relative") << "hints.json"
                                             << "hints.json";
    QTest::newRow("local file") << "file:///etc/hostname"
                                << "";
    QTest::newRow("data") << "data:text/plain,x"
                          << "";
}

void TestLauncherConfigurationReader::hintsAddressMustBeHttp()
{
    QFETCH(QString, hints);
    QFETCH(QString, url);
    if (url.isEmpty())
        QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Refused the URL"));
    const TLauncherConfigurationReader reader(
        base, QJsonDocument(QJsonObject { { "hints", hints } }).toJson(QJsonDocument::Compact));
    QCOMPARE(reader.hintsUrl.toString(), url);
}

QTEST_APPLESS_MAIN(TestLauncherConfigurationReader)
#include "tst_launcherconfigurationreader.moc"
