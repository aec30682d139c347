#pragma once

#include <QHostAddress>
#include <QHostInfo>
#include <QList>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QPair>
#include <QString>
#include <QUrl>

#include <functional>
#include <memory>
#include <optional>

namespace shared {

class TRandomNumberGenerator;

// How every request of the launcher is built, and the IPv4 mode behind it: when the machine reaches
// the internet over IPv4, each request is sent to one IPv4 address of its host while the "Host"
// header and the TLS peer name keep the host name.
class TLauncherUtils
{
public:
    // Copied from the settings at start, before the first request is built.
    static inline bool ipV4Mode = false;

    static QNetworkRequest createNetworkRequest(QUrl url);
    // The request of the next hop of a redirect: a request of its own for the target (pinned to the
    // target's host, with its "Host" header and TLS peer name), with the time-out, the redirect policy
    // attribute and one hop fewer than `previous`. Null, with `error` set, when the redirect is refused:
    // from https to anything but https, to a scheme other than http and https, or after too many hops.
    static std::optional<QNetworkRequest> createRedirectedRequest(
        const QNetworkRequest& previous, const QUrl& location, QNetworkReply::NetworkError& error);
    // The URL a request was built for: a pinned request's URL carries the address, not the host name.
    static QUrl requestedUrl(const QNetworkRequest& request);
    // Checks once per run; the result holds for the whole run.
    static bool hasLocalIPv4();
    static bool testTcpConnection(const QString& host, quint16 port);
    static QUrl appendNocacheToUrl(QUrl url);

    // Seams for tests, so that no test depends on the machine's interfaces, its resolver or the
    // internet. resetTestSeams() restores the real sources and forgets the reachability result.
    using TAddressSource = std::function<QList<QHostAddress>()>;
    using THostLookup = std::function<QHostInfo(const QString& Host)>;
    using TProbeTargets = QList<QPair<QString, quint16>>;
    static void setLocalIPv4Result(std::optional<bool> Result);
    static void setInterfaceAddressSource(TAddressSource Source);
    static void setReachabilityProbes(TProbeTargets Targets);
    static void setHostLookup(THostLookup Lookup);
    static void resetTestSeams();
    static TProbeTargets defaultReachabilityProbes();

private:
    static inline bool localIPv4Checked = false;
    static inline bool localIPv4Result = false;
    static inline std::shared_ptr<TRandomNumberGenerator> randomNumberGenerator;
    static inline TAddressSource interfaceAddressSource;
    static inline THostLookup hostLookup;
    static inline std::optional<TProbeTargets> reachabilityProbes;
};

} // namespace shared
