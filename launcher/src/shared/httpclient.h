#pragma once

#include <QByteArray>
#include <QMutex>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QPointer>

#include <memory>
#include <thread>
#include <vector>

namespace shared {

class THttpClient;
struct THttpExchange;

// One GET sent by THttpClient, seen as a framework reply: its errors, attributes and signals are those
// of the framework's own replies (status errors, redirect target, abort emitting finished at once), so
// the download pool handles both alike.
class THttpReply : public QNetworkReply
{
    Q_OBJECT

public:
    ~THttpReply() override;

    void abort() override;
    qint64 bytesAvailable() const override;
    bool isSequential() const override { return true; }
    // The whole body without a copy; nothing is left to read afterwards.
    QByteArray takeBody();

protected:
    qint64 readData(char* Data, qint64 MaxSize) override;

private:
    friend class THttpClient;
    THttpReply(const QNetworkRequest& Request, std::shared_ptr<THttpExchange> Exchange, THttpClient* Client);
    void finish(QNetworkReply::NetworkError Code, const QString& Text);
    void complete();

    std::shared_ptr<THttpExchange> exchange;
    QByteArray body;
    qint64 readPosition = 0;
};

// HTTP/1.1 client for plain-http GETs of whole bodies, with keep-alive connections, on one thread of
// its own. The framework's client costs a core for its per-response work once bodies are small and many;
// this one reads a response in a few large reads, hands each body over in one piece and batches what
// it reports to the owner's thread.
//
// A connection carries one request at a time and is kept for the next request to the same host and
// port. A request that finds its reused connection closed by the server before any answer goes out
// once more on a new connection. Host names are resolved on the client's thread and kept while the
// client lives.
//
// With lanes, https GETs go through framework managers, each on a thread of its own, and come back as
// the same replies: the framework's work for every request (its reply, connections and events) then
// costs the owner's thread nothing, and only the finished body crosses over. The lanes' managers are
// the framework's defaults with the given redirect policy; each request goes to the lane with the
// fewest running.
//
// Replies are children of the client and live on its thread; destroying the client stops its threads
// and releases them.
class THttpClient : public QObject
{
    Q_OBJECT

public:
    explicit THttpClient(QObject* Parent = nullptr, int Lanes = 0,
        QNetworkRequest::RedirectPolicy LanePolicy = QNetworkRequest::NoLessSafeRedirectPolicy);
    ~THttpClient() override;

    // Plain-http URLs with a host.
    static bool handles(const QNetworkRequest& Request);
    // Those, and with lanes https URLs with a host; anything else is the framework's job.
    bool accepts(const QNetworkRequest& Request) const;
    THttpReply* get(const QNetworkRequest& Request);
    // For the lanes' requests from now on.
    void setLaneRedirectPolicy(QNetworkRequest::RedirectPolicy Policy);

private:
    friend class THttpReply;
    friend struct THttpExchange;
    struct TNotice
    {
        std::shared_ptr<THttpExchange> exchange;
        qint64 received = 0;
        bool done = false;
    };
    class TLoop;
    class TLane;

    void cancel(const std::shared_ptr<THttpExchange>& Exchange);
    // Called on the client's thread once notices wait.
    void deliverNotices();
    // Called on the loop's thread.
    void notify(TNotice Notice);

    std::unique_ptr<TLoop> loop;
    std::vector<std::unique_ptr<TLane>> lanes;
    QMutex noticesMutex;
    std::vector<TNotice> notices;
};

} // namespace shared
