#include "shared/launcherutils.h"

#include "shared/randomnumbergenerator.h"

#include <QDebug>
#include <QNetworkInterface>
#include <QRandomGenerator64>
#include <QTcpSocket>
#include <QUrlQuery>

#include <algorithm>

namespace shared {

namespace {

constexpr int defaultTransferTimeoutMs = 5000;
constexpr int probeTimeoutMs = 750;

int defaultPort(const QString& scheme)
{
    if (scheme == QLatin1String("http"))
        return 80;
    if (scheme == QLatin1String("https"))
        return 443;
    return -1;
}

} // namespace

QNetworkRequest TLauncherUtils::createNetworkRequest(QUrl url)
{
    QNetworkRequest request(url);
    request.setTransferTimeout(defaultTransferTimeoutMs);

    const QString host = url.host(QUrl::FullyDecoded);
    if (host.isEmpty())
        return request;

    if (!ipV4Mode || !hasLocalIPv4()) {
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
        return request;
    }

    // A pinned request talks to a numeric address; HTTP/2 stays off for it.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    const QHostInfo info = hostLookup ? hostLookup(host) : QHostInfo::fromName(host);
    if (info.error() != QHostInfo::NoError) {
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
        return request;
    }

    QList<QHostAddress> addresses;
    for (const QHostAddress& address : info.addresses()) {
        if (address.protocol() == QAbstractSocket::IPv4Protocol)
            addresses.append(address);
    }
    if (addresses.isEmpty()) {
        request.setAttribute(QNetworkRequest::Http2AllowedAttribute, true);
        return request;
    }

    const qint64 chosen = QRandomGenerator64::global()->bounded(qint64(addresses.size()));
    url.setHost(addresses.at(chosen).toString());
    request.setUrl(url);
    request.setPeerVerifyName(host);
    // A server that builds its redirects from this header would otherwise send the client to port 80.
    QByteArray hostHeader = host.toUtf8();
    if (url.port() != -1 && url.port() != defaultPort(url.scheme()))
        hostHeader += ':' + QByteArray::number(url.port());
    request.setRawHeader("Host", hostHeader);
    return request;
}

QUrl TLauncherUtils::requestedUrl(const QNetworkRequest& request)
{
    QUrl url = request.url();
    if (!request.peerVerifyName().isEmpty())
        url.setHost(request.peerVerifyName());
    return url;
}

std::optional<QNetworkRequest> TLauncherUtils::createRedirectedRequest(
    const QNetworkRequest& previous, const QUrl& location, QNetworkReply::NetworkError& error)
{
    const QUrl from = requestedUrl(previous);
    const QUrl target = from.resolved(location);
    const QString scheme = target.scheme();
    if (previous.maximumRedirectsAllowed() <= 0) {
        error = QNetworkReply::TooManyRedirectsError;
        return std::nullopt;
    }
    // The manager's own policy for the other requests: nothing less safe than where the request came from.
    if ((scheme != QLatin1String("http") && scheme != QLatin1String("https"))
        || (from.scheme() == QLatin1String("https") && scheme != QLatin1String("https"))) {
        error = QNetworkReply::InsecureRedirectError;
        return std::nullopt;
    }
    QNetworkRequest next = createNetworkRequest(target);
    next.setTransferTimeout(previous.transferTimeout());
    next.setMaximumRedirectsAllowed(previous.maximumRedirectsAllowed() - 1);
    next.setAttribute(
        QNetworkRequest::RedirectPolicyAttribute, previous.attribute(QNetworkRequest::RedirectPolicyAttribute));
    return next;
}

bool TLauncherUtils::hasLocalIPv4()
{
    if (localIPv4Checked)
        return localIPv4Result;

    localIPv4Result = false;
    const QList<QHostAddress> addresses
        = interfaceAddressSource ? interfaceAddressSource() : QNetworkInterface::allAddresses();
    const auto found = std::find_if(addresses.begin(), addresses.end(), [](const QHostAddress& Address) {
        return Address.protocol() == QAbstractSocket::IPv4Protocol && Address != QHostAddress(QHostAddress::LocalHost);
    });
    if (found != addresses.end()) {
        qInfo() << "ipv4 interface found";
        const TProbeTargets targets = reachabilityProbes.value_or(defaultReachabilityProbes());
        for (const auto& [probeHost, probePort] : targets) {
            if (testTcpConnection(probeHost, probePort)) {
                qInfo() << "ipv4 connection succeeded";
                localIPv4Result = true;
                break;
            }
        }
    }
    qInfo() << "use ipv4: " << localIPv4Result;
    localIPv4Checked = true;
    return localIPv4Result;
}

bool TLauncherUtils::testTcpConnection(const QString& host, quint16 port)
{
    QTcpSocket socket;
    socket.connectToHost(host, port, QIODevice::ReadWrite, QAbstractSocket::AnyIPProtocol);
    const bool connected = socket.waitForConnected(probeTimeoutMs);
    if (connected)
        socket.close();
    return connected;
}

QUrl TLauncherUtils::appendNocacheToUrl(QUrl url)
{
    if (!url.isValid())
        return url;
    if (!randomNumberGenerator)
        randomNumberGenerator = std::make_shared<TRandomNumberGenerator>();

    static const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789");
    QString value;
    value.reserve(32);
    for (int i = 0; i < 32; ++i)
        value.append(alphabet.at(qsizetype(randomNumberGenerator->generateUnsigned(0, 61))));

    QUrlQuery query(url);
    query.addQueryItem(QStringLiteral("nocache"), value);
    url.setQuery(query);
    return url;
}

void TLauncherUtils::setLocalIPv4Result(std::optional<bool> Result)
{
    localIPv4Checked = Result.has_value();
    localIPv4Result = Result.value_or(false);
}

void TLauncherUtils::setInterfaceAddressSource(TAddressSource Source)
{
    interfaceAddressSource = std::move(Source);
}

void TLauncherUtils::setReachabilityProbes(TProbeTargets Targets)
{
    reachabilityProbes = std::move(Targets);
}

void TLauncherUtils::setHostLookup(THostLookup Lookup)
{
    hostLookup = std::move(Lookup);
}

void TLauncherUtils::resetTestSeams()
{
    setLocalIPv4Result(std::nullopt);
    interfaceAddressSource = {};
    hostLookup = {};
    reachabilityProbes.reset();
}

TLauncherUtils::TProbeTargets TLauncherUtils::defaultReachabilityProbes()
{
    // Two public resolvers that answer TCP: one on the DNS port, one on the web port.
    return { { QStringLiteral("8.8.8.8"), quint16(53) }, { QStringLiteral("1.1.1.1"), quint16(80) } };
}

} // namespace shared
