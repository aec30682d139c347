#include "support/loopbackserver.h"

#include "support/testcertificate.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutexLocker>
#include <QPointer>
#include <QSslConfiguration>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QThread>
#include <QTimer>

namespace korvane::test {

TResponse TResponse::withStatus(int Status)
{
    TResponse response;
    response.status = Status;
    return response;
}

TResponse TResponse::redirect(const QByteArray& Location, int Status)
{
    TResponse response;
    response.status = Status;
    response.body = "Redirect";
    response.headers.append(qMakePair(QByteArray("Location"), Location));
    return response;
}

TResponse TResponse::delayed(int DelayBeforeHeadersMs)
{
    TResponse response;
    response.delayBeforeHeadersMs = DelayBeforeHeadersMs;
    return response;
}

TResponse TResponse::dropped(qint64 AfterBytes)
{
    TResponse response;
    response.dropAfterBytes = AfterBytes;
    return response;
}

TResponse TResponse::truncated(qint64 ToBytes)
{
    TResponse response;
    response.truncateTo = ToBytes;
    return response;
}

TResponse TResponse::corrupted()
{
    TResponse response;
    response.corrupt = true;
    return response;
}

TScript firstRequests(int Count, const TResponse& Faulty, const TResponse& Then)
{
    TScript script;
    for (int i = 0; i < Count; ++i)
        script.append(Faulty);
    script.append(Then);
    return script;
}

QByteArray TRecordedRequest::header(const QByteArray& Name) const
{
    for (const auto& [name, value] : headers) {
        if (name.compare(Name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

struct TLoopbackServer::TConnection : QObject
{
    using QObject::QObject;

    QTcpSocket* socket = nullptr;
    int id = 0;
    QByteArray buffer;
    bool busy = false;
    bool inReadLoop = false;
    bool inFlight = false;
    QString inFlightPath;
};

namespace {

QByteArray reasonPhrase(int Status)
{
    switch (Status) {
    case 200:
        return "OK";
    case 301:
        return "Moved Permanently";
    case 302:
        return "Found";
    case 303:
        return "See Other";
    case 307:
        return "Temporary Redirect";
    case 308:
        return "Permanent Redirect";
    case 400:
        return "Bad Request";
    case 401:
        return "Unauthorized";
    case 403:
        return "Forbidden";
    case 404:
        return "Not Found";
    case 500:
        return "Internal Server Error";
    case 502:
        return "Bad Gateway";
    case 503:
        return "Service Unavailable";
    default:
        return "Status";
    }
}

// Length of a complete chunked body at the start of Data, or -1 while incomplete.
qint64 parseChunked(const QByteArray& Data, qsizetype Start, QByteArray& Body)
{
    qsizetype position = Start;
    QByteArray body;
    for (;;) {
        const qsizetype lineEnd = Data.indexOf("\r\n", position);
        if (lineEnd < 0)
            return -1;
        bool ok = false;
        const qint64 size = Data.mid(position, lineEnd - position).split(';').first().trimmed().toLongLong(&ok, 16);
        if (!ok || size < 0)
            return -2;
        position = lineEnd + 2;
        if (size == 0) {
            const qsizetype trailerEnd = Data.indexOf("\r\n", position);
            if (trailerEnd < 0)
                return -1;
            Body = body;
            return trailerEnd + 2;
        }
        if (Data.size() < position + size + 2)
            return -1;
        body.append(Data.mid(position, size));
        position += size + 2;
    }
}

} // namespace

TLoopbackServer::TLoopbackServer(EMode Mode, QObject* Parent)
    : QObject(Parent)
    , serverMode(Mode)
    , urlHost(Mode == EMode::Tls ? QStringLiteral("localhost") : QStringLiteral("127.0.0.1"))
{
    if (Mode == EMode::Tls) {
        const TTestCertificate& certificate = TTestCertificate::localhost();
        if (!certificate.isValid()) {
            listenError = certificate.errorString;
            return;
        }
        auto* sslServer = new QSslServer(this);
        QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
        configuration.setLocalCertificate(certificate.certificate);
        configuration.setPrivateKey(certificate.key);
        configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
        configuration.setProtocol(QSsl::TlsV1_2OrLater);
        sslServer->setSslConfiguration(configuration);
        sslServer->setHandshakeTimeout(10000);
        server = sslServer;
    } else {
        server = new QTcpServer(this);
    }
    connect(server, &QTcpServer::pendingConnectionAvailable, this, &TLoopbackServer::onNewConnection);
    if (!server->listen(QHostAddress(QHostAddress::LocalHost), 0))
        listenError = server->errorString();
}

TLoopbackServer::~TLoopbackServer()
{
    const auto open = std::exchange(connections, {});
    for (TConnection* connection : open) {
        connection->socket->disconnect(this);
        connection->socket->abort();
        delete connection->socket;
    }
}

bool TLoopbackServer::isListening() const
{
    return server && server->isListening();
}

QString TLoopbackServer::errorString() const
{
    return listenError;
}

quint16 TLoopbackServer::port() const
{
    return server ? server->serverPort() : 0;
}

TLoopbackServer::EMode TLoopbackServer::mode() const
{
    return serverMode;
}

QUrl TLoopbackServer::url(const QString& PathAndQuery) const
{
    const QString scheme = serverMode == EMode::Tls ? QStringLiteral("https") : QStringLiteral("http");
    QString path = PathAndQuery;
    if (!path.startsWith('/'))
        path.prepend('/');
    return QUrl(QStringLiteral("%1://%2:%3%4").arg(scheme, urlHost).arg(port()).arg(path));
}

void TLoopbackServer::setUrlHost(const QString& Host)
{
    urlHost = Host;
}

void TLoopbackServer::serveFolder(const QString& Directory)
{
    QMutexLocker lock(&mutex);
    folder = QFileInfo(Directory).canonicalFilePath();
}

void TLoopbackServer::setBody(const QString& Path, const QByteArray& Body)
{
    QMutexLocker lock(&mutex);
    bodies.insert(Path, Body);
}

void TLoopbackServer::setScript(const QString& PathOrPathAndQuery, const TScript& Script)
{
    QMutexLocker lock(&mutex);
    scripts.insert(PathOrPathAndQuery, Script);
}

void TLoopbackServer::clearScripts()
{
    QMutexLocker lock(&mutex);
    scripts.clear();
}

void TLoopbackServer::setRecordRequests(bool Record)
{
    QMutexLocker lock(&mutex);
    recordRequests = Record;
}

QList<TRecordedRequest> TLoopbackServer::requests() const
{
    QMutexLocker lock(&mutex);
    return recorded;
}

QList<TRecordedRequest> TLoopbackServer::requests(const QString& Path) const
{
    QMutexLocker lock(&mutex);
    QList<TRecordedRequest> result;
    for (const TRecordedRequest& request : recorded) {
        if (request.path == Path)
            result.append(request);
    }
    return result;
}

int TLoopbackServer::requestCount() const
{
    QMutexLocker lock(&mutex);
    return totalRequests;
}

int TLoopbackServer::requestCount(const QString& Path) const
{
    QMutexLocker lock(&mutex);
    return pathCounters.value(Path).requests;
}

int TLoopbackServer::maxConcurrentRequests() const
{
    QMutexLocker lock(&mutex);
    return maxInFlight;
}

int TLoopbackServer::maxConcurrentRequests(const QString& Path) const
{
    QMutexLocker lock(&mutex);
    return pathCounters.value(Path).maxInFlight;
}

int TLoopbackServer::connectionCount() const
{
    QMutexLocker lock(&mutex);
    return acceptedConnections;
}

int TLoopbackServer::openConnectionCount() const
{
    QMutexLocker lock(&mutex);
    return openConnections;
}

void TLoopbackServer::resetCounters()
{
    QMutexLocker lock(&mutex);
    recorded.clear();
    for (auto it = pathCounters.begin(); it != pathCounters.end(); ++it) {
        it->requests = 0;
        it->maxInFlight = it->inFlight;
    }
    totalRequests = 0;
    maxInFlight = inFlight;
    acceptedConnections = openConnections;
}

bool TLoopbackServer::waitForRequests(int Count, int TimeoutMs) const
{
    const QDeadlineTimer deadline(TimeoutMs);
    while (requestCount() < Count) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (QThread::currentThread() != thread())
            QThread::msleep(1);
    }
    return true;
}

void TLoopbackServer::onNewConnection()
{
    while (QTcpSocket* socket = server->nextPendingConnection()) {
        auto* connection = new TConnection(socket);
        connection->socket = socket;
        connection->id = ++lastConnection;
        connections.append(connection);
        {
            QMutexLocker lock(&mutex);
            ++acceptedConnections;
            ++openConnections;
        }
        connect(socket, &QTcpSocket::readyRead, connection, [this, connection] { onReadyRead(connection); });
        connect(socket, &QTcpSocket::disconnected, connection, [this, connection] { closeConnection(connection); });
        if (socket->bytesAvailable() > 0)
            onReadyRead(connection);
    }
}

void TLoopbackServer::onReadyRead(TConnection* Connection)
{
    Connection->buffer.append(Connection->socket->readAll());
    Connection->inReadLoop = true;
    while (!Connection->busy) {
        QByteArray& buffer = Connection->buffer;
        const qsizetype headerEnd = buffer.indexOf("\r\n\r\n");
        if (headerEnd < 0)
            break;
        const QList<QByteArray> lines = buffer.left(headerEnd).split('\n');
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        if (requestLine.size() != 3) {
            Connection->socket->write("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
            Connection->socket->disconnectFromHost();
            buffer.clear();
            break;
        }
        TRecordedRequest request;
        request.method = requestLine.at(0);
        request.target = requestLine.at(1);
        request.connection = Connection->id;
        const QByteArray version = requestLine.at(2);
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const QByteArray line = lines.at(i).trimmed();
            const qsizetype colon = line.indexOf(':');
            if (colon > 0)
                request.headers.append(qMakePair(line.left(colon).trimmed(), line.mid(colon + 1).trimmed()));
        }
        qsizetype consumed = headerEnd + 4;
        if (request.header("Transfer-Encoding").toLower().contains("chunked")) {
            const qint64 end = parseChunked(buffer, consumed, request.body);
            if (end == -1)
                break;
            if (end < 0) {
                Connection->socket->abort();
                break;
            }
            consumed = end;
        } else {
            const qint64 length = request.header("Content-Length").toLongLong();
            if (buffer.size() < consumed + length)
                break;
            request.body = buffer.mid(consumed, length);
            consumed += length;
        }
        buffer.remove(0, consumed);

        const QByteArray connectionHeader = request.header("Connection").toLower();
        const bool close
            = connectionHeader.contains("close") || (version == "HTTP/1.0" && !connectionHeader.contains("keep-alive"));
        const qsizetype query = request.target.indexOf('?');
        request.path = QUrl::fromPercentEncoding(query < 0 ? request.target : request.target.left(query));
        handleRequest(Connection, std::move(request), close);
    }
    Connection->inReadLoop = false;
}

void TLoopbackServer::handleRequest(TConnection* Connection, TRecordedRequest Request, bool CloseAfter)
{
    int index = 0;
    {
        QMutexLocker lock(&mutex);
        TPathCounters& counters = pathCounters[Request.path];
        index = counters.requests++;
        counters.maxInFlight = std::max(counters.maxInFlight, ++counters.inFlight);
        ++totalRequests;
        maxInFlight = std::max(maxInFlight, ++inFlight);
        if (recordRequests)
            recorded.append(Request);
    }
    Connection->busy = true;
    Connection->inFlight = true;
    Connection->inFlightPath = Request.path;

    const TResponse response = responseFor(Request, index);
    QByteArray body;
    int status = response.status;
    if (response.body) {
        body = *response.body;
    } else if (status == 200 || status == 203 || status == 206) {
        const std::optional<QByteArray> content = contentFor(Request.path);
        if (content) {
            body = *content;
        } else {
            status = 404;
            body = "Not Found";
        }
    } else {
        body = reasonPhrase(status);
    }
    if (response.truncateTo >= 0 && response.truncateTo < body.size())
        body.truncate(response.truncateTo);
    if (response.corrupt && !body.isEmpty())
        body[body.size() / 2] = char(~body.at(body.size() / 2));

    // Qt 6.4 now and then sends a redirected request a second time on a kept-alive connection;
    // closing after a redirect keeps the request counts exact.
    CloseAfter = CloseAfter || (status >= 300 && status < 400);
    const auto sendHeaders = [this, Connection, response, status, body, CloseAfter] {
        QByteArray head = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
        head += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
        bool hasContentType = false;
        for (const auto& [name, value] : response.headers) {
            head += name + ": " + value + "\r\n";
            hasContentType = hasContentType || name.compare("Content-Type", Qt::CaseInsensitive) == 0;
        }
        if (!hasContentType)
            head += "Content-Type: application/octet-stream\r\n";
        head += CloseAfter ? "Connection: close\r\n\r\n" : "Connection: keep-alive\r\n\r\n";
        Connection->socket->write(head);
        writeBody(Connection, body, 0, response, CloseAfter);
    };
    if (response.delayBeforeHeadersMs > 0)
        QTimer::singleShot(response.delayBeforeHeadersMs, Connection, sendHeaders);
    else
        sendHeaders();
}

void TLoopbackServer::writeBody(
    TConnection* Connection, QByteArray Body, qint64 From, const TResponse& Response, bool CloseAfter)
{
    qint64 end = Body.size();
    if (Response.dropAfterBytes >= 0)
        end = std::min(end, Response.dropAfterBytes);
    if (Response.stallAfterBytes >= 0 && From < Response.stallAfterBytes && Response.stallAfterBytes < end) {
        Connection->socket->write(Body.constData() + From, Response.stallAfterBytes - From);
        QTimer::singleShot(Response.stallMs, Connection, [this, Connection, Body, Response, CloseAfter] {
            writeBody(Connection, Body, Response.stallAfterBytes, Response, CloseAfter);
        });
        return;
    }
    if (end > From)
        Connection->socket->write(Body.constData() + From, end - From);
    finishResponse(Connection, CloseAfter || end < Body.size());
}

void TLoopbackServer::finishResponse(TConnection* Connection, bool Close)
{
    if (Connection->inFlight) {
        QMutexLocker lock(&mutex);
        --pathCounters[Connection->inFlightPath].inFlight;
        --inFlight;
        Connection->inFlight = false;
    }
    Connection->busy = false;
    if (Close) {
        Connection->buffer.clear();
        Connection->socket->disconnectFromHost();
        return;
    }
    if (!Connection->inReadLoop && !Connection->buffer.isEmpty())
        onReadyRead(Connection);
}

void TLoopbackServer::closeConnection(TConnection* Connection)
{
    if (!connections.removeOne(Connection))
        return;
    {
        QMutexLocker lock(&mutex);
        --openConnections;
        if (Connection->inFlight) {
            --pathCounters[Connection->inFlightPath].inFlight;
            --inFlight;
            Connection->inFlight = false;
        }
    }
    Connection->socket->deleteLater();
}

TResponse TLoopbackServer::responseFor(const TRecordedRequest& Request, int Index) const
{
    QMutexLocker lock(&mutex);
    const qsizetype query = Request.target.indexOf('?');
    auto found = scripts.constEnd();
    if (query >= 0)
        found = scripts.constFind(Request.path + QUrl::fromPercentEncoding(Request.target.mid(query)));
    if (found == scripts.constEnd())
        found = scripts.constFind(Request.path);
    if (found == scripts.constEnd() || found->isEmpty())
        return {};
    return found->at(std::min<qsizetype>(Index, found->size() - 1));
}

std::optional<QByteArray> TLoopbackServer::contentFor(const QString& Path) const
{
    QString root;
    {
        QMutexLocker lock(&mutex);
        if (const auto body = bodies.constFind(Path); body != bodies.constEnd())
            return *body;
        root = folder;
    }
    if (root.isEmpty())
        return std::nullopt;
    const QFileInfo file(QDir(root).filePath(QDir::cleanPath(Path).mid(1)));
    const QString canonical = file.canonicalFilePath();
    // Nothing outside the served folder, whatever the path says.
    if (canonical.isEmpty() || !canonical.startsWith(root + '/') || !file.isFile())
        return std::nullopt;
    QFile content(canonical);
    if (!content.open(QIODevice::ReadOnly))
        return std::nullopt;
    return content.readAll();
}

QUrl closedAddress(const QString& PathAndQuery)
{
    const TLoopbackServer probe;
    return probe.url(PathAndQuery);
}

} // namespace korvane::test
