#pragma once

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QMutex>
#include <QObject>
#include <QPair>
#include <QString>
#include <QUrl>

#include <memory>
#include <optional>

class QTcpServer;
class QTcpSocket;

namespace korvane::test {

// One scripted answer. Fields left at their defaults answer 200 with the path's content.
struct TResponse
{
    int status = 200;
    // Replaces the path's content (served file or in-memory body).
    std::optional<QByteArray> body;
    // Extra response headers.
    QList<QPair<QByteArray, QByteArray>> headers;
    // Wait this long before the status line and headers.
    int delayBeforeHeadersMs = 0;
    // After this many body bytes, stall for stallMs before the rest.
    qint64 stallAfterBytes = -1;
    int stallMs = 0;
    // Close the connection after this many body bytes; the headers announce the whole length.
    qint64 dropAfterBytes = -1;
    // Send only the first bytes of the body, with a Content-Length that matches (a clean, short body).
    qint64 truncateTo = -1;
    // Flip the bits of one byte in the middle of the body (same length, wrong content).
    bool corrupt = false;

    static TResponse withStatus(int Status);
    // Location is used as given: a path ("/b") or an absolute URL.
    static TResponse redirect(const QByteArray& Location, int Status = 302);
    static TResponse delayed(int DelayBeforeHeadersMs);
    static TResponse dropped(qint64 AfterBytes);
    static TResponse truncated(qint64 ToBytes);
    static TResponse corrupted();
};

// The answers of one path: the i-th request gets entry i, every later one the last entry.
using TScript = QList<TResponse>;

// `Faulty` for the first `Count` requests, `Then` for every later one.
TScript firstRequests(int Count, const TResponse& Faulty, const TResponse& Then = {});

struct TRecordedRequest
{
    QByteArray method;
    // Request target as sent: percent-encoded path plus "?query".
    QByteArray target;
    // Decoded path without the query.
    QString path;
    QList<QPair<QByteArray, QByteArray>> headers;
    QByteArray body;
    // Serial number of the connection that carried it (keep-alive reuses connections).
    int connection = 0;

    // Value of the first header of that name, compared without case; null when absent.
    QByteArray header(const QByteArray& Name) const;
};

// HTTP/1.1 server on 127.0.0.1 with a port chosen by the operating system, for network tests.
//
//     TLoopbackServer server;                       // listens at once; TLoopbackServer(EMode::Tls) for https
//     server.serveFolder(dir);                      // GET /a/b.bin answers dir/a/b.bin
//     server.setBody("/config.json", json);         // in-memory content
//     server.setScript("/chunks/ab", firstRequests(2, TResponse::withStatus(500)));
//     QUrl u = server.url("/chunks/ab");            // http://127.0.0.1:<port>/chunks/ab
//     ... server.requestCount("/chunks/ab"), server.requests("/post").last().body ...
//
// Content is looked up as: script body, in-memory body, file of the served folder, else 404.
// Scripts and in-memory bodies are keyed by the decoded path; a script key may carry "?query" to
// match one query exactly. Connections are kept alive unless the client asks to close.
//
// TLS mode serves https with a self-signed certificate for "localhost" (TTestCertificate), and url()
// then uses the host name "localhost"; call TTestCertificate::trustLocalhost() in the client first.
//
// The server answers on the thread it lives on; the record and the counters may be read from any
// thread.
class TLoopbackServer : public QObject
{
    Q_OBJECT

public:
    enum class EMode { Plain, Tls };

    explicit TLoopbackServer(EMode Mode = EMode::Plain, QObject* Parent = nullptr);
    ~TLoopbackServer() override;

    bool isListening() const;
    QString errorString() const;
    quint16 port() const;
    EMode mode() const;
    // Scheme, host and port of the server followed by the given path and query.
    QUrl url(const QString& PathAndQuery = QStringLiteral("/")) const;
    // Host name used by url(): "127.0.0.1", or "localhost" in TLS mode.
    void setUrlHost(const QString& Host);

    void serveFolder(const QString& Directory);
    void setBody(const QString& Path, const QByteArray& Body);
    void setScript(const QString& PathOrPathAndQuery, const TScript& Script);
    void clearScripts();
    // Keeping every request costs memory in long runs; counters are kept either way.
    void setRecordRequests(bool Record);

    QList<TRecordedRequest> requests() const;
    QList<TRecordedRequest> requests(const QString& Path) const;
    int requestCount() const;
    int requestCount(const QString& Path) const;
    // Most requests answered at the same time (received, answer not yet fully sent).
    int maxConcurrentRequests() const;
    int maxConcurrentRequests(const QString& Path) const;
    int connectionCount() const;
    int openConnectionCount() const;
    void resetCounters();

    // Runs the event loop until `Count` requests arrived in all, or the time is up.
    bool waitForRequests(int Count, int TimeoutMs = 5000) const;

private:
    struct TConnection;
    struct TPathCounters
    {
        int requests = 0;
        int inFlight = 0;
        int maxInFlight = 0;
    };

    void onNewConnection();
    void onReadyRead(TConnection* Connection);
    void handleRequest(TConnection* Connection, TRecordedRequest Request, bool CloseAfter);
    void writeBody(TConnection* Connection, QByteArray Body, qint64 From, const TResponse& Response, bool CloseAfter);
    void finishResponse(TConnection* Connection, bool Close);
    void closeConnection(TConnection* Connection);
    TResponse responseFor(const TRecordedRequest& Request, int Index) const;
    std::optional<QByteArray> contentFor(const QString& Path) const;

    EMode serverMode;
    QTcpServer* server = nullptr;
    QString urlHost;
    QString folder;
    QString listenError;
    QHash<QString, QByteArray> bodies;
    QHash<QString, TScript> scripts;
    QList<TConnection*> connections;
    int lastConnection = 0;

    mutable QMutex mutex;
    bool recordRequests = true;
    QList<TRecordedRequest> recorded;
    QHash<QString, TPathCounters> pathCounters;
    int totalRequests = 0;
    int inFlight = 0;
    int maxInFlight = 0;
    int acceptedConnections = 0;
    int openConnections = 0;
};

// An address on 127.0.0.1 on which nothing listens: a port the system handed out and that is closed again.
QUrl closedAddress(const QString& PathAndQuery = QStringLiteral("/"));

} // namespace korvane::test
