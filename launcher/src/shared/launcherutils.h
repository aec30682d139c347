#pragma once

#include <QHostAddress>
#include <QHostInfo>
#include <QList>
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
