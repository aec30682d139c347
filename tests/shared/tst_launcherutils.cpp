#include "shared/launcherutils.h"
#include "shared/randomnumbergenerator.h"
#include "support/messagecapture.h"

#include <QElapsedTimer>
#include <QSet>
#include <QTcpServer>
#include <QTest>
#include <QUrlQuery>

using korvane::test::TMessages;
using shared::TLauncherUtils;

namespace {

QHostInfo lookupResult(const QList<QHostAddress>& Addresses, bool Failed = false)
{
    QHostInfo info;
    if (Failed) {
        info.setError(QHostInfo::HostNotFound);
        info.setErrorString("not found");
    }
    info.setAddresses(Addresses);
    return info;
}

// A port on 127.0.0.1 that refuses connections.
quint16 closedPort()
{
    QTcpServer server;
    server.listen(QHostAddress::LocalHost, 0);
    return server.serverPort();
}

const QString alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";

} // namespace

class TestLauncherUtils : public QObject
{
    Q_OBJECT

private slots:
    void cleanup();

    void buildsRequests_data();
    void buildsRequests();
    void pinsEachRequestToARandomAddress();
    void checksReachabilityOnce_data();
    void checksReachabilityOnce();
    void probesTcpConnections();
    void appendsNocache_data();
    void appendsNocache();
    void generatesNumbersInRange();
};

void TestLauncherUtils::cleanup()
{
    TLauncherUtils::ipV4Mode = false;
    TLauncherUtils::resetTestSeams();
}

void TestLauncherUtils::buildsRequests_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<bool>("ipV4Mode");
    QTest::addColumn<bool>("reachable");
    QTest::addColumn<QList<QHostAddress>>("addresses");
    QTest::addColumn<bool>("lookupFails");
    QTest::addColumn<int>("expectedLookups");
    QTest::addColumn<QUrl>("expectedUrl");
    QTest::addColumn<QVariant>("expectedHttp2");

    const QUrl url("https://cdn.example.test:8443/chunks/ab%20c?x=1&y=2");
    const QList<QHostAddress> mixed { QHostAddress("2001:db8::1"), QHostAddress("192.0.2.10") };
    QTest::newRow("no host") << QUrl("file:///tmp/some%20file") << true << true << mixed << false << 0
                             << QUrl("file:///tmp/some%20file") << QVariant();
    QTest::newRow("mode off") << url << false << true << mixed << false << 0 << url << QVariant(true);
    QTest::newRow("no IPv4 reach") << url << true << false << mixed << false << 0 << url << QVariant(true);
    QTest::newRow("look-up fails") << url << true << true << mixed << true << 1 << url << QVariant(true);
    QTest::newRow("IPv6 only") << url << true << true << QList<QHostAddress> { QHostAddress("2001:db8::1") } << false
                               << 1 << url << QVariant(true);
    QTest::newRow("pinned") << url << true << true << mixed << false << 1
                            << QUrl("https://192.0.2.10:8443/chunks/ab%20c?x=1&y=2") << QVariant(false);
    // The scheme's own port is left out of the "Host" header, as a browser leaves it out.
    QTest::newRow("pinned, default port") << QUrl("https://cdn.example.test:443/c") << true << true << mixed << false
                                          << 1 << QUrl("https://192.0.2.10:443/c") << QVariant(false);
}

void TestLauncherUtils::buildsRequests()
{
    QFETCH(QUrl, url);
    QFETCH(bool, ipV4Mode);
    QFETCH(bool, reachable);
    QFETCH(QList<QHostAddress>, addresses);
    QFETCH(bool, lookupFails);
    QFETCH(int, expectedLookups);
    QFETCH(QUrl, expectedUrl);
    QFETCH(QVariant, expectedHttp2);

    int lookups = 0;
    TLauncherUtils::ipV4Mode = ipV4Mode;
    TLauncherUtils::setLocalIPv4Result(reachable);
    TLauncherUtils::setHostLookup([&](const QString& Host) {
        ++lookups;
        [&] { QCOMPARE(Host, QString("cdn.example.test")); }();
        return lookupResult(addresses, lookupFails);
    });

    const QNetworkRequest request = TLauncherUtils::createNetworkRequest(url);
    QCOMPARE(lookups, expectedLookups);
    QCOMPARE(request.url(), expectedUrl);
    QCOMPARE(request.transferTimeout(), 5000);
    QCOMPARE(request.attribute(QNetworkRequest::Http2AllowedAttribute), expectedHttp2);
    const bool pinned = expectedUrl != url;
    // A non-default port stays in the header: a server that builds its redirects from it keeps the port.
    const QByteArray hostHeader = url.port() == 8443 ? "cdn.example.test:8443" : "cdn.example.test";
    QCOMPARE(request.rawHeader("Host"), pinned ? hostHeader : QByteArray());
    QCOMPARE(request.peerVerifyName(), pinned ? QString("cdn.example.test") : QString());
}

void TestLauncherUtils::pinsEachRequestToARandomAddress()
{
    TLauncherUtils::ipV4Mode = true;
    TLauncherUtils::setLocalIPv4Result(true);
    const QList<QHostAddress> addresses { QHostAddress("192.0.2.1"), QHostAddress("::1"), QHostAddress("192.0.2.2"),
        QHostAddress("192.0.2.3") };
    TLauncherUtils::setHostLookup([&](const QString&) { return lookupResult(addresses); });

    QSet<QString> seen;
    for (int i = 0; i < 300; ++i) {
        const QNetworkRequest request = TLauncherUtils::createNetworkRequest(QUrl("http://host.test/a?b=c"));
        const QUrl pinned = request.url();
        QVERIFY2(
            QStringList({ "192.0.2.1", "192.0.2.2", "192.0.2.3" }).contains(pinned.host()), qPrintable(pinned.host()));
        QCOMPARE(pinned.scheme(), QString("http"));
        QCOMPARE(pinned.port(), -1);
        QCOMPARE(pinned.path(), QString("/a"));
        QCOMPARE(pinned.query(), QString("b=c"));
        QCOMPARE(request.rawHeader("Host"), QByteArray("host.test"));
        QCOMPARE(request.peerVerifyName(), QString("host.test"));
        seen.insert(pinned.host());
    }
    QCOMPARE(seen.size(), 3);
}

void TestLauncherUtils::checksReachabilityOnce_data()
{
    QTest::addColumn<QList<QHostAddress>>("interfaces");
    QTest::addColumn<bool>("firstProbeAnswers");
    QTest::addColumn<bool>("secondProbeAnswers");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<int>("expectedProbeConnections");

    const QList<QHostAddress> loopbackOnly { QHostAddress("::1"), QHostAddress("127.0.0.1") };
    const QList<QHostAddress> withIPv4 { QHostAddress("127.0.0.1"), QHostAddress("fe80::1"),
        QHostAddress("192.0.2.7") };
    QTest::newRow("only 127.0.0.1") << loopbackOnly << true << true << false << 0;
    QTest::newRow("IPv6 only") << QList<QHostAddress> { QHostAddress("fe80::1") } << true << true << false << 0;
    QTest::newRow("first probe answers") << withIPv4 << true << true << true << 1;
    QTest::newRow("second probe answers") << withIPv4 << false << true << true << 1;
    QTest::newRow("no probe answers") << withIPv4 << false << false << false << 0;
}

void TestLauncherUtils::checksReachabilityOnce()
{
    QFETCH(QList<QHostAddress>, interfaces);
    QFETCH(bool, firstProbeAnswers);
    QFETCH(bool, secondProbeAnswers);
    QFETCH(bool, expected);
    QFETCH(int, expectedProbeConnections);

    QTcpServer answering;
    QVERIFY(answering.listen(QHostAddress::LocalHost, 0));
    const quint16 refusing = closedPort();
    TLauncherUtils::setReachabilityProbes({ { "127.0.0.1", firstProbeAnswers ? answering.serverPort() : refusing },
        { "127.0.0.1", secondProbeAnswers ? answering.serverPort() : refusing } });
    int interfaceQueries = 0;
    TLauncherUtils::setInterfaceAddressSource([&] {
        ++interfaceQueries;
        return interfaces;
    });

    TMessages messages;
    QCOMPARE(TLauncherUtils::hasLocalIPv4(), expected);
    QCOMPARE(TLauncherUtils::hasLocalIPv4(), expected);
    QCOMPARE(interfaceQueries, 1);

    int connections = 0;
    while (answering.waitForNewConnection(0) && answering.nextPendingConnection())
        ++connections;
    QCOMPARE(connections, expectedProbeConnections);

    const QStringList lines = messages.all();
    QCOMPARE(lines.filter("use ipv4:").size(), 1);
    QVERIFY(lines.filter("use ipv4:").first().contains(expected ? "true" : "false"));
    QCOMPARE(lines.filter("ipv4 connection succeeded").size(), expected ? 1 : 0);
}

void TestLauncherUtils::probesTcpConnections()
{
    QTcpServer answering;
    QVERIFY(answering.listen(QHostAddress::LocalHost, 0));
    QVERIFY(TLauncherUtils::testTcpConnection("127.0.0.1", answering.serverPort()));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!TLauncherUtils::testTcpConnection("127.0.0.1", closedPort()));
    QVERIFY(clock.elapsed() < 2000);
}

void TestLauncherUtils::appendsNocache_data()
{
    QTest::addColumn<QUrl>("url");
    QTest::addColumn<int>("times");
    QTest::addColumn<QStringList>("keptItems");

    QTest::newRow("no query") << QUrl("https://cfg.example.test/package.json") << 1 << QStringList();
    QTest::newRow("query kept") << QUrl("https://cfg.example.test/package.json?a=1&b=two") << 1
                                << QStringList { "a=1", "b=two" };
    QTest::newRow("twice") << QUrl("https://cfg.example.test/p.json?a=1") << 2 << QStringList { "a=1" };
}

void TestLauncherUtils::appendsNocache()
{
    QFETCH(QUrl, url);
    QFETCH(int, times);
    QFETCH(QStringList, keptItems);

    QUrl result = url;
    for (int i = 0; i < times; ++i)
        result = TLauncherUtils::appendNocacheToUrl(result);
    QCOMPARE(result.adjusted(QUrl::RemoveQuery), url.adjusted(QUrl::RemoveQuery));

    const QList<QPair<QString, QString>> items = QUrlQuery(result).queryItems();
    QCOMPARE(items.size(), keptItems.size() + times);
    for (int i = 0; i < keptItems.size(); ++i)
        QCOMPARE(items.at(i).first + "=" + items.at(i).second, keptItems.at(i));
    QSet<QString> values;
    for (int i = keptItems.size(); i < items.size(); ++i) {
        QCOMPARE(items.at(i).first, QString("nocache"));
        const QString value = items.at(i).second;
        QCOMPARE(value.size(), 32);
        for (const QChar c : value)
            QVERIFY(alphabet.contains(c));
        values.insert(value);
    }
    QCOMPARE(values.size(), times);

    const QUrl invalid("http://exa mple.test/");
    QVERIFY(!invalid.isValid());
    QCOMPARE(TLauncherUtils::appendNocacheToUrl(invalid), invalid);
}

void TestLauncherUtils::generatesNumbersInRange()
{
    shared::TRandomNumberGenerator generator;
    QSet<quint64> seen;
    for (int i = 0; i < 5000; ++i) {
        const quint64 value = generator.generateUnsigned(0, 61);
        QVERIFY(value <= 61);
        seen.insert(value);
    }
    QCOMPARE(seen.size(), 62);
    QCOMPARE(generator.generateUnsigned(7, 7), quint64(7));
    const quint64 huge = generator.generateUnsigned(0, std::numeric_limits<quint64>::max() - 1);
    Q_UNUSED(huge);
    for (int i = 0; i < 1000; ++i) {
        const qint64 value = generator.generateSigned(-3, 3);
        QVERIFY(value >= -3 && value <= 3);
    }
    QCOMPARE(generator.generateSigned(-5, -5), qint64(-5));

    // generate goes through the virtual table to generateUnsigned.
    struct TFixed : shared::TRandomNumberGenerator
    {
        quint64 generateUnsigned(quint64 Min, quint64) override { return Min + 1; }
    } fixed;
    shared::TRandomNumberGenerator& base = fixed;
    QCOMPARE(base.generate(10, 20), quint64(11));

    // Two generators seeded from the random device do not repeat each other.
    shared::TRandomNumberGenerator other;
    QString a, b;
    for (int i = 0; i < 32; ++i) {
        a += alphabet.at(qsizetype(generator.generateUnsigned(0, 61)));
        b += alphabet.at(qsizetype(other.generateUnsigned(0, 61)));
    }
    QVERIFY(a != b);
}

QTEST_GUILESS_MAIN(TestLauncherUtils)
#include "tst_launcherutils.moc"
