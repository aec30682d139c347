#include "shared/httpclient.h"

#include "shared/heapmemory.h"

#include <QElapsedTimer>
#include <QHash>
#include <QNetworkAccessManager>
#include <QThread>
#include <QUrl>

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <deque>
#include <limits>
#include <list>
#include <mutex>
#include <utility>

namespace shared {

// What one request needs and yields. The request fields are set before it is handed to the loop; the
// result fields belong to the loop until its final notice, then to the reply.
struct THttpExchange
{
    QByteArray host;
    quint16 port = 80;
    QByteArray request;
    qint64 timeoutMs = 0;

    std::atomic<bool> cancelled = false;
    // Owner's thread only: null once the reply has finished or is gone.
    THttpReply* reply = nullptr;
    // Set when a lane carries the request.
    QNetworkRequest laneRequest;
    THttpClient::TLane* lane = nullptr;

    int status = 0;
    QByteArray reason;
    QByteArray location;
    QByteArray body;
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    QString errorText;
};

namespace {

constexpr qsizetype maxHeaderBytes = 64 * 1024;
constexpr qsizetype readBufferBytes = 256 * 1024;
// Bytes read from one connection before the others get their turn.
constexpr qsizetype readBytesPerTurn = 4 * 1024 * 1024;
// Progress goes out at least this often, and after every so many bytes: the owner refuses a body far
// longer than it expects by what progress tells it.
constexpr qint64 progressIntervalMs = 100;
constexpr qint64 progressIntervalBytes = 4 * 1024 * 1024;
constexpr int maxIdleConnectionsPerHost = 32;
// A lying length costs no more than a generous first allocation, resident only as bytes arrive.
constexpr qint64 maxBodyReserveBytes = 256 * 1024 * 1024;

// The part of a body's buffer made resident before bytes are received into it: [0, upTo) of data.
struct TResidentBody
{
    // Before receiving into Body from From on: when Body is longer than what is resident, makes the rest
    // resident, Ahead bytes beyond From within what is allocated. A reallocated buffer starts afresh.
    void prepare(QByteArray& Body, qsizetype From, qsizetype Ahead = 0)
    {
        if (Body.constData() != data) {
            data = Body.constData();
            upTo = 0;
        }
        if (Body.size() <= upTo)
            return;
        const qsizetype start = std::max(From, upTo);
        const qsizetype end = std::max(Body.size(), std::min(Body.capacity(), From + Ahead));
        THeapMemory::makeResident(Body.data() + start, std::size_t(end - start));
        upTo = end;
    }

    const char* data = nullptr;
    qsizetype upTo = 0;
};

QNetworkReply::NetworkError errorForStatus(int Status)
{
    // The framework's own mapping of the statuses it names; the others by their class.
    static const std::pair<int, QNetworkReply::NetworkError> named[] = {
        { 401, QNetworkReply::AuthenticationRequiredError },
        { 403, QNetworkReply::ContentAccessDenied },
        { 404, QNetworkReply::ContentNotFoundError },
        { 405, QNetworkReply::ContentOperationNotPermittedError },
        { 407, QNetworkReply::ProxyAuthenticationRequiredError },
        { 409, QNetworkReply::ContentConflictError },
        { 410, QNetworkReply::ContentGoneError },
        { 418, QNetworkReply::ProtocolInvalidOperationError },
        { 500, QNetworkReply::InternalServerError },
        { 501, QNetworkReply::OperationNotImplementedError },
        { 503, QNetworkReply::ServiceUnavailableError },
    };
    for (const auto& [status, error] : named) {
        if (status == Status)
            return error;
    }
    if (Status >= 400 && Status < 500)
        return QNetworkReply::UnknownContentError;
    if (Status >= 500)
        return QNetworkReply::UnknownServerError;
    return QNetworkReply::NoError;
}

bool hasToken(const QByteArray& Value, const char* Token)
{
    for (const QByteArray& part : Value.split(',')) {
        if (part.trimmed().compare(Token, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

} // namespace

// The loop's thread: every socket, the resolver cache and the idle connections live here.
class THttpClient::TLoop
{
public:
    explicit TLoop(THttpClient* Owner);
    ~TLoop();

    void submit(std::shared_ptr<THttpExchange> Exchange);
    void cancel(std::shared_ptr<THttpExchange> Exchange);

private:
    enum class EState { Connecting, Sending, Headers, Body, ChunkSize, ChunkData, ChunkEnd, Trailer, Idle, Closed };

    struct TConnection
    {
        int fd = -1;
        QByteArray key;
        EState state = EState::Connecting;
        std::shared_ptr<THttpExchange> exchange;
        std::vector<sockaddr_storage> addresses;
        size_t addressIndex = 0;
        // A connection that served a request before; the server may have closed it meanwhile.
        bool reused = false;
        bool answered = false;
        bool keepAlive = true;
        bool untilClose = false;
        qint64 bodyLeft = 0;
        TResidentBody resident;
        qsizetype sent = 0;
        QByteArray pending;
        qint64 lastActivityMs = 0;
        qint64 lastProgressMs = 0;
        qint64 lastProgressBytes = 0;
        int replays = 0;
    };

    void hand(std::vector<std::shared_ptr<THttpExchange>>& List, std::shared_ptr<THttpExchange> Exchange);
    void wakeUp();
    void run();
    void takeRequests();
    void start(std::shared_ptr<THttpExchange> Exchange, int Replays);
    // Tries the addresses left; Error is what the previous one failed with.
    void openConnection(TConnection* Connection, int Error = ECONNREFUSED);
    void onEvent(TConnection* Connection, uint32_t Events);
    void onWritable(TConnection* Connection);
    void onReadable(TConnection* Connection);
    // False once the connection is closed.
    bool consume(TConnection* Connection, const char* Data, qsizetype Size);
    bool parseHead(TConnection* Connection);
    bool appendBody(TConnection* Connection, const char* Data, qsizetype Size);
    // Counts body bytes that are in the body already and ends the answer after its last one.
    bool bodyArrived(TConnection* Connection, qsizetype Size);
    void onClosedByPeer(TConnection* Connection, int Error);
    void complete(TConnection* Connection);
    void fail(TConnection* Connection, QNetworkReply::NetworkError Code, const QString& Text);
    // Closed connections stay allocated until the events of the current turn have been handled.
    void close(TConnection* Connection);
    void release();
    void watch(TConnection* Connection, uint32_t Events, int Operation = EPOLL_CTL_MOD);
    void checkTimeouts();
    int waitMs() const;
    bool resolve(const QByteArray& Host, quint16 Port, std::vector<sockaddr_storage>& Addresses);

    THttpClient* owner;
    int epollFd = -1;
    int wakeFd = -1;
    int setupError = 0;
    std::thread thread;
    QElapsedTimer clock;
    std::vector<char> readBuffer;

    std::mutex mutex;
    bool stopping = false;
    std::vector<std::shared_ptr<THttpExchange>> submitted;
    std::vector<std::shared_ptr<THttpExchange>> cancelled;

    std::list<TConnection> connections;
    QHash<QByteArray, std::deque<TConnection*>> idle;
    QHash<QByteArray, std::vector<sockaddr_storage>> resolved;
};

THttpClient::TLoop::TLoop(THttpClient* Owner)
    : owner(Owner)
    , readBuffer(readBufferBytes)
{
    clock.start();
    epollFd = epoll_create1(EPOLL_CLOEXEC);
    if (epollFd >= 0)
        wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    epoll_event event {};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    // Without its descriptors the loop cannot run; every request then fails at once (see submit).
    if (epollFd < 0 || wakeFd < 0 || epoll_ctl(epollFd, EPOLL_CTL_ADD, wakeFd, &event) != 0) {
        setupError = errno;
        return;
    }
    thread = std::thread([this] { run(); });
    pthread_setname_np(thread.native_handle(), "HttpClient");
}

THttpClient::TLoop::~TLoop()
{
    {
        std::lock_guard lock(mutex);
        stopping = true;
    }
    if (thread.joinable()) {
        wakeUp();
        thread.join();
    }
    for (TConnection& connection : connections) {
        if (connection.fd >= 0)
            ::close(connection.fd);
    }
    if (wakeFd >= 0)
        ::close(wakeFd);
    if (epollFd >= 0)
        ::close(epollFd);
}

void THttpClient::TLoop::submit(std::shared_ptr<THttpExchange> Exchange)
{
    if (!thread.joinable()) {
        Exchange->error = QNetworkReply::UnknownNetworkError;
        Exchange->errorText = QStringLiteral("Network connections cannot be watched: %1").arg(strerror(setupError));
        owner->notify({ std::move(Exchange), 0, true });
        return;
    }
    hand(submitted, std::move(Exchange));
}

void THttpClient::TLoop::cancel(std::shared_ptr<THttpExchange> Exchange)
{
    Exchange->cancelled = true;
    hand(cancelled, std::move(Exchange));
}

void THttpClient::TLoop::hand(
    std::vector<std::shared_ptr<THttpExchange>>& List, std::shared_ptr<THttpExchange> Exchange)
{
    bool wake = false;
    {
        std::lock_guard lock(mutex);
        // The loop takes both lists at once: only the first entry of a batch needs to wake it.
        wake = submitted.empty() && cancelled.empty();
        List.push_back(std::move(Exchange));
    }
    if (wake)
        wakeUp();
}

void THttpClient::TLoop::wakeUp()
{
    const uint64_t one = 1;
    [[maybe_unused]] const auto written = write(wakeFd, &one, sizeof one);
}

void THttpClient::TLoop::run()
{
    epoll_event events[64];
    for (;;) {
        const int count = epoll_wait(epollFd, events, 64, waitMs());
        if (count < 0 && errno != EINTR) {
            // Not expected with descriptors of our own; end what runs rather than spin.
            const QString text = QString::fromLocal8Bit(strerror(errno));
            for (TConnection& connection : connections)
                fail(&connection, QNetworkReply::UnknownNetworkError, text);
            release();
            QThread::msleep(100);
        }
        for (int i = 0; i < count; ++i) {
            if (!events[i].data.ptr) {
                uint64_t value = 0;
                [[maybe_unused]] const auto got = read(wakeFd, &value, sizeof value);
                continue;
            }
            auto* connection = static_cast<TConnection*>(events[i].data.ptr);
            if (connection->state != EState::Closed)
                onEvent(connection, events[i].events);
        }
        {
            std::lock_guard lock(mutex);
            if (stopping)
                return;
        }
        takeRequests();
        checkTimeouts();
        release();
    }
}

void THttpClient::TLoop::takeRequests()
{
    std::vector<std::shared_ptr<THttpExchange>> starts;
    std::vector<std::shared_ptr<THttpExchange>> stops;
    {
        std::lock_guard lock(mutex);
        starts.swap(submitted);
        stops.swap(cancelled);
    }
    // A cancelled request's connection is in the middle of an answer: it cannot serve another one.
    for (const auto& exchange : stops) {
        for (TConnection& connection : connections) {
            if (connection.exchange == exchange) {
                close(&connection);
                break;
            }
        }
    }
    for (auto& exchange : starts) {
        if (!exchange->cancelled)
            start(std::move(exchange), 0);
    }
}

void THttpClient::TLoop::start(std::shared_ptr<THttpExchange> Exchange, int Replays)
{
    const QByteArray key = Exchange->host + ':' + QByteArray::number(Exchange->port);
    auto idleOnes = idle.find(key);
    if (idleOnes != idle.end() && !idleOnes->empty()) {
        TConnection* connection = idleOnes->back();
        idleOnes->pop_back();
        connection->exchange = std::move(Exchange);
        connection->reused = true;
        connection->answered = false;
        connection->replays = Replays;
        connection->sent = 0;
        connection->state = EState::Sending;
        connection->lastActivityMs = clock.elapsed();
        watch(connection, EPOLLOUT);
        onWritable(connection);
        return;
    }

    TConnection& connection = connections.emplace_back();
    connection.key = key;
    connection.exchange = std::move(Exchange);
    connection.replays = Replays;
    connection.lastActivityMs = clock.elapsed();
    if (!resolve(connection.exchange->host, connection.exchange->port, connection.addresses)) {
        fail(&connection, QNetworkReply::HostNotFoundError,
            QStringLiteral("Host %1 not found").arg(QString::fromLatin1(connection.exchange->host)));
        return;
    }
    openConnection(&connection);
}

void THttpClient::TLoop::openConnection(TConnection* Connection, int Error)
{
    int lastError = Error;
    while (Connection->addressIndex < Connection->addresses.size()) {
        const sockaddr_storage& address = Connection->addresses[Connection->addressIndex++];
        const int fd = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, IPPROTO_TCP);
        if (fd < 0) {
            lastError = errno;
            continue;
        }
        const int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        const socklen_t length = address.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
        if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), length) != 0 && errno != EINPROGRESS) {
            lastError = errno;
            ::close(fd);
            continue;
        }
        Connection->fd = fd;
        Connection->state = EState::Connecting;
        watch(Connection, EPOLLOUT, EPOLL_CTL_ADD);
        return;
    }
    if (lastError == ECONNREFUSED)
        fail(Connection, QNetworkReply::ConnectionRefusedError, QStringLiteral("Connection refused"));
    else
        fail(Connection, QNetworkReply::UnknownNetworkError, QString::fromLocal8Bit(strerror(lastError)));
}

void THttpClient::TLoop::onEvent(TConnection* Connection, uint32_t Events)
{
    if (Connection->state == EState::Idle) {
        // Nothing is expected on an idle connection: the server closed it, or speaks out of turn.
        close(Connection);
        return;
    }
    if (Connection->state == EState::Connecting || Connection->state == EState::Sending) {
        if (Events & (EPOLLOUT | EPOLLERR | EPOLLHUP))
            onWritable(Connection);
        return;
    }
    onReadable(Connection);
}

void THttpClient::TLoop::onWritable(TConnection* Connection)
{
    if (Connection->state == EState::Connecting) {
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(Connection->fd, SOL_SOCKET, SO_ERROR, &error, &length);
        if (error != 0) {
            epoll_ctl(epollFd, EPOLL_CTL_DEL, Connection->fd, nullptr);
            ::close(Connection->fd);
            Connection->fd = -1;
            openConnection(Connection, error);
            return;
        }
        Connection->state = EState::Sending;
        Connection->sent = 0;
    }
    const QByteArray& request = Connection->exchange->request;
    while (Connection->sent < request.size()) {
        const ssize_t sent = ::send(
            Connection->fd, request.constData() + Connection->sent, request.size() - Connection->sent, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return;
            if (errno == EINTR)
                continue;
            onClosedByPeer(Connection, errno);
            return;
        }
        Connection->sent += sent;
        Connection->lastActivityMs = clock.elapsed();
    }
    Connection->state = EState::Headers;
    Connection->pending.clear();
    Connection->answered = false;
    Connection->lastProgressBytes = 0;
    Connection->keepAlive = true;
    Connection->untilClose = false;
    watch(Connection, EPOLLIN | EPOLLRDHUP);
}

void THttpClient::TLoop::onReadable(TConnection* Connection)
{
    qsizetype turn = 0;
    while (turn < readBytesPerTurn) {
        // A body of known length is read straight into its place.
        if (Connection->state == EState::Body && !Connection->untilClose) {
            QByteArray& body = Connection->exchange->body;
            const qsizetype before = body.size();
            body.resize(before + qsizetype(std::min<qint64>(Connection->bodyLeft, readBytesPerTurn - turn)));
            Connection->resident.prepare(body, before);
            const ssize_t got = ::recv(Connection->fd, body.data() + before, size_t(body.size() - before), 0);
            const int error = errno;
            body.truncate(before + std::max<qsizetype>(got, 0));
            if (got > 0) {
                turn += got;
                Connection->lastActivityMs = clock.elapsed();
                if (!bodyArrived(Connection, got) || Connection->state == EState::Idle)
                    return;
                continue;
            }
            if (got < 0 && error == EINTR)
                continue;
            if (got == 0 || (error != EAGAIN && error != EWOULDBLOCK))
                onClosedByPeer(Connection, got == 0 ? 0 : error);
            return;
        }
        const ssize_t got = ::recv(Connection->fd, readBuffer.data(), readBuffer.size(), 0);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                onClosedByPeer(Connection, errno);
            return;
        }
        if (got == 0) {
            onClosedByPeer(Connection, 0);
            return;
        }
        turn += got;
        Connection->answered = true;
        Connection->lastActivityMs = clock.elapsed();
        if (!consume(Connection, readBuffer.data(), got) || Connection->state == EState::Idle)
            return;
    }
}

bool THttpClient::TLoop::consume(TConnection* Connection, const char* Data, qsizetype Size)
{
    while (Size > 0) {
        switch (Connection->state) {
        case EState::Headers: {
            const qsizetype before = Connection->pending.size();
            Connection->pending.append(Data, Size);
            const qsizetype end = Connection->pending.indexOf("\r\n\r\n", std::max<qsizetype>(0, before - 3));
            if (end < 0) {
                if (Connection->pending.size() > maxHeaderBytes) {
                    fail(Connection, QNetworkReply::ProtocolFailure, QStringLiteral("Response header too large"));
                    return false;
                }
                return true;
            }
            const qsizetype used = end + 4 - before;
            Connection->pending.truncate(end + 2);
            Data += used;
            Size -= used;
            if (!parseHead(Connection))
                return false;
            break;
        }
        case EState::Body:
        case EState::ChunkData: {
            const qsizetype take = qsizetype(std::min<qint64>(Connection->bodyLeft, Size));
            if (!appendBody(Connection, Data, take))
                return false;
            Data += take;
            Size -= take;
            break;
        }
        case EState::ChunkSize:
        case EState::ChunkEnd:
        case EState::Trailer: {
            const char* newline = static_cast<const char*>(memchr(Data, '\n', size_t(Size)));
            const qsizetype take = newline ? qsizetype(newline - Data) + 1 : Size;
            Connection->pending.append(Data, take);
            Data += take;
            Size -= take;
            if (!newline) {
                if (Connection->pending.size() > maxHeaderBytes) {
                    fail(Connection, QNetworkReply::ProtocolFailure, QStringLiteral("Malformed chunked encoding"));
                    return false;
                }
                break;
            }
            const QByteArray line = Connection->pending.trimmed();
            Connection->pending.clear();
            if (Connection->state == EState::ChunkEnd) {
                if (!line.isEmpty()) {
                    fail(Connection, QNetworkReply::ProtocolFailure, QStringLiteral("Malformed chunked encoding"));
                    return false;
                }
                Connection->state = EState::ChunkSize;
            } else if (Connection->state == EState::Trailer) {
                if (line.isEmpty()) {
                    complete(Connection);
                    if (Connection->state == EState::Closed)
                        return false;
                }
            } else {
                bool ok = false;
                const qsizetype extension = line.indexOf(';');
                const qint64 size = (extension < 0 ? line : line.left(extension)).trimmed().toLongLong(&ok, 16);
                if (!ok || size < 0) {
                    fail(Connection, QNetworkReply::ProtocolFailure, QStringLiteral("Malformed chunked encoding"));
                    return false;
                }
                Connection->bodyLeft = size;
                Connection->state = size == 0 ? EState::Trailer : EState::ChunkData;
            }
            break;
        }
        case EState::Idle:
            // Bytes beyond the answer: the connection is out of step and cannot be reused.
            close(Connection);
            return false;
        case EState::Closed:
            return false;
        case EState::Connecting:
        case EState::Sending:
            return true;
        }
    }
    return true;
}

bool THttpClient::TLoop::parseHead(TConnection* Connection)
{
    THttpExchange& exchange = *Connection->exchange;
    const QList<QByteArray> lines = Connection->pending.split('\n');
    Connection->pending.clear();
    const QByteArray statusLine = lines.value(0).trimmed();
    // "HTTP/1.1 200 OK"
    const QList<QByteArray> parts = statusLine.split(' ');
    bool ok = false;
    const int status = parts.size() >= 2 ? parts.at(1).toInt(&ok) : 0;
    if (!statusLine.startsWith("HTTP/1.") || !ok || status < 100 || status > 999) {
        fail(Connection, QNetworkReply::ProtocolFailure, QStringLiteral("Invalid HTTP response"));
        return false;
    }
    if (status >= 100 && status < 200) {
        // An interim answer; the real one follows.
        Connection->state = EState::Headers;
        return true;
    }
    exchange.status = status;
    exchange.reason = parts.size() > 2 ? statusLine.mid(parts.at(0).size() + parts.at(1).size() + 2) : QByteArray();
    exchange.location.clear();
    qint64 contentLength = -1;
    bool chunked = false;
    Connection->keepAlive = !statusLine.startsWith("HTTP/1.0");
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines.at(i).trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0)
            continue;
        const QByteArray name = line.left(colon).trimmed();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name.compare("Location", Qt::CaseInsensitive) == 0) {
            exchange.location = value;
        } else if (name.compare("Content-Length", Qt::CaseInsensitive) == 0) {
            contentLength = value.toLongLong(&ok);
            if (!ok || contentLength < 0) {
                fail(Connection, QNetworkReply::ProtocolFailure, QStringLiteral("Invalid Content-Length"));
                return false;
            }
        } else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0) {
            chunked = hasToken(value, "chunked");
        } else if (name.compare("Connection", Qt::CaseInsensitive) == 0) {
            if (hasToken(value, "close"))
                Connection->keepAlive = false;
            else if (hasToken(value, "keep-alive"))
                Connection->keepAlive = true;
        }
    }

    if (status == 204 || status == 304) {
        complete(Connection);
        return Connection->state != EState::Closed;
    }
    if (chunked) {
        Connection->state = EState::ChunkSize;
        return true;
    }
    if (contentLength >= 0) {
        Connection->bodyLeft = contentLength;
        exchange.body.reserve(qsizetype(std::min(contentLength, maxBodyReserveBytes)));
        Connection->resident = {};
        Connection->state = EState::Body;
        if (contentLength == 0)
            complete(Connection);
        return Connection->state != EState::Closed;
    }
    Connection->untilClose = true;
    Connection->keepAlive = false;
    Connection->bodyLeft = std::numeric_limits<qint64>::max();
    Connection->state = EState::Body;
    return true;
}

bool THttpClient::TLoop::appendBody(TConnection* Connection, const char* Data, qsizetype Size)
{
    const qsizetype take = qsizetype(std::min<qint64>(Connection->bodyLeft, Size));
    Connection->exchange->body.append(Data, take);
    return bodyArrived(Connection, take);
}

bool THttpClient::TLoop::bodyArrived(TConnection* Connection, qsizetype Size)
{
    THttpExchange& exchange = *Connection->exchange;
    Connection->bodyLeft -= Size;
    if (Connection->bodyLeft == 0) {
        if (Connection->state == EState::ChunkData) {
            Connection->state = EState::ChunkEnd;
            return true;
        }
        complete(Connection);
        return Connection->state != EState::Closed;
    }
    const qint64 now = clock.elapsed();
    if (now - Connection->lastProgressMs >= progressIntervalMs
        || exchange.body.size() - Connection->lastProgressBytes >= progressIntervalBytes) {
        Connection->lastProgressMs = now;
        Connection->lastProgressBytes = exchange.body.size();
        owner->notify({ Connection->exchange, exchange.body.size(), false });
    }
    return true;
}

void THttpClient::TLoop::onClosedByPeer(TConnection* Connection, int Error)
{
    if (Connection->state == EState::Body && Connection->untilClose) {
        complete(Connection);
        return;
    }
    // A kept connection the server had already given up: the request was never answered, so it may go
    // out again on a new connection.
    if (Connection->reused && !Connection->answered && Connection->replays == 0) {
        std::shared_ptr<THttpExchange> exchange = std::move(Connection->exchange);
        close(Connection);
        start(std::move(exchange), 1);
        return;
    }
    const QString text = Error == 0 || Error == ECONNRESET || Error == EPIPE ? QStringLiteral("Connection closed")
                                                                             : QString::fromLocal8Bit(strerror(Error));
    fail(Connection, QNetworkReply::RemoteHostClosedError, text);
}

void THttpClient::TLoop::complete(TConnection* Connection)
{
    std::shared_ptr<THttpExchange> exchange = std::move(Connection->exchange);
    exchange->error = errorForStatus(exchange->status);
    if (exchange->error != QNetworkReply::NoError) {
        const QString url = QStringLiteral("http://%1:%2").arg(QString::fromLatin1(exchange->host)).arg(exchange->port);
        exchange->errorText = QStringLiteral("Error transferring %1 - server replied: %2")
                                  .arg(url, QString::fromLatin1(exchange->reason));
    }
    const bool reusable = Connection->keepAlive && !Connection->untilClose;
    owner->notify({ std::move(exchange), 0, true });
    if (!reusable) {
        close(Connection);
        return;
    }
    Connection->state = EState::Idle;
    Connection->pending.clear();
    std::deque<TConnection*>& idleOnes = idle[Connection->key];
    idleOnes.push_back(Connection);
    watch(Connection, EPOLLIN | EPOLLRDHUP);
    if (idleOnes.size() > size_t(maxIdleConnectionsPerHost))
        close(idleOnes.front());
}

void THttpClient::TLoop::fail(TConnection* Connection, QNetworkReply::NetworkError Code, const QString& Text)
{
    if (std::shared_ptr<THttpExchange> exchange = std::move(Connection->exchange)) {
        exchange->error = Code;
        exchange->errorText = Text;
        exchange->body.clear();
        owner->notify({ std::move(exchange), 0, true });
    }
    close(Connection);
}

void THttpClient::TLoop::close(TConnection* Connection)
{
    if (Connection->state == EState::Closed)
        return;
    if (Connection->state == EState::Idle) {
        auto idleOnes = idle.find(Connection->key);
        if (idleOnes != idle.end()) {
            idleOnes->erase(std::remove(idleOnes->begin(), idleOnes->end(), Connection), idleOnes->end());
            if (idleOnes->empty())
                idle.erase(idleOnes);
        }
    }
    if (Connection->fd >= 0) {
        epoll_ctl(epollFd, EPOLL_CTL_DEL, Connection->fd, nullptr);
        ::close(Connection->fd);
        Connection->fd = -1;
    }
    Connection->state = EState::Closed;
    Connection->exchange.reset();
}

void THttpClient::TLoop::release()
{
    connections.remove_if([](const TConnection& Entry) { return Entry.state == EState::Closed; });
}

void THttpClient::TLoop::watch(TConnection* Connection, uint32_t Events, int Operation)
{
    epoll_event event {};
    event.events = Events;
    event.data.ptr = Connection;
    epoll_ctl(epollFd, Operation, Connection->fd, &event);
}

void THttpClient::TLoop::checkTimeouts()
{
    const qint64 now = clock.elapsed();
    for (auto it = connections.begin(); it != connections.end();) {
        TConnection& connection = *it++;
        if (connection.state == EState::Idle || connection.state == EState::Closed || !connection.exchange
            || connection.exchange->timeoutMs <= 0)
            continue;
        if (now - connection.lastActivityMs >= connection.exchange->timeoutMs)
            fail(&connection, QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"));
    }
}

int THttpClient::TLoop::waitMs() const
{
    qint64 wait = -1;
    const qint64 now = clock.elapsed();
    for (const TConnection& connection : connections) {
        if (connection.state == EState::Idle || connection.state == EState::Closed || !connection.exchange
            || connection.exchange->timeoutMs <= 0)
            continue;
        const qint64 left = std::max<qint64>(0, connection.lastActivityMs + connection.exchange->timeoutMs - now);
        wait = wait < 0 ? left : std::min(wait, left);
    }
    return int(std::min<qint64>(wait < 0 ? 1000 : wait + 1, 1000));
}

bool THttpClient::TLoop::resolve(const QByteArray& Host, quint16 Port, std::vector<sockaddr_storage>& Addresses)
{
    const QByteArray key = Host + ':' + QByteArray::number(Port);
    if (const auto known = resolved.constFind(key); known != resolved.cend()) {
        Addresses = known.value();
        return true;
    }
    addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_ADDRCONFIG | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    // A bracketed IPv6 literal comes without its brackets from the URL.
    if (getaddrinfo(Host.constData(), QByteArray::number(Port).constData(), &hints, &found) != 0 || !found)
        return false;
    Addresses.clear();
    for (const addrinfo* entry = found; entry; entry = entry->ai_next) {
        sockaddr_storage address {};
        memcpy(&address, entry->ai_addr, std::min<size_t>(entry->ai_addrlen, sizeof address));
        Addresses.push_back(address);
    }
    freeaddrinfo(found);
    resolved.insert(key, Addresses);
    return !Addresses.empty();
}

// A framework manager on a thread of its own. Requests and cancellations are queued to the thread;
// what a reply yields is copied into its exchange there and handed to the owner as the loop's are.
class THttpClient::TLane
{
public:
    TLane(THttpClient* Owner, QNetworkRequest::RedirectPolicy Policy);
    // Replies still running are dropped with the manager; nothing reaches the owner afterwards.
    ~TLane();

    void submit(std::shared_ptr<THttpExchange> Exchange);
    void cancel(std::shared_ptr<THttpExchange> Exchange);
    void setRedirectPolicy(QNetworkRequest::RedirectPolicy Policy);
    // Requests submitted and not yet ended.
    std::atomic<int> running = 0;

private:
    struct TRunning
    {
        QNetworkReply* reply = nullptr;
        qint64 lastProgressMs = 0;
        qint64 lastProgressBytes = 0;
        TResidentBody resident;
    };
    // The lane's thread only.
    void start(const std::shared_ptr<THttpExchange>& Exchange);
    void receive(const std::shared_ptr<THttpExchange>& Exchange, QNetworkReply* Reply);
    void end(const std::shared_ptr<THttpExchange>& Exchange, QNetworkReply* Reply);

    THttpClient* owner;
    QThread thread;
    // Lives on the thread; owns the manager and its replies.
    QObject* context = nullptr;
    QNetworkAccessManager* manager = nullptr;
    QElapsedTimer clock;
    QHash<THttpExchange*, TRunning> replies;
};

THttpClient::TLane::TLane(THttpClient* Owner, QNetworkRequest::RedirectPolicy Policy)
    : owner(Owner)
{
    clock.start();
    thread.setObjectName(QStringLiteral("HttpClientLane"));
    thread.start();
    context = new QObject;
    context->moveToThread(&thread);
    QMetaObject::invokeMethod(
        context,
        [this, Policy] {
            manager = new QNetworkAccessManager(context);
            manager->setRedirectPolicy(Policy);
        },
        Qt::BlockingQueuedConnection);
}

THttpClient::TLane::~TLane()
{
    QMetaObject::invokeMethod(
        context,
        [this] {
            // The connections to the context go first, so the replies' last signals reach nobody.
            delete context;
            context = nullptr;
        },
        Qt::BlockingQueuedConnection);
    thread.quit();
    thread.wait();
}

void THttpClient::TLane::submit(std::shared_ptr<THttpExchange> Exchange)
{
    ++running;
    QMetaObject::invokeMethod(context, [this, exchange = std::move(Exchange)] { start(exchange); });
}

void THttpClient::TLane::cancel(std::shared_ptr<THttpExchange> Exchange)
{
    Exchange->cancelled = true;
    QMetaObject::invokeMethod(context, [this, exchange = std::move(Exchange)] {
        const auto found = replies.constFind(exchange.get());
        // Its finish, which abort emits, ends it; the owner no longer listens.
        if (found != replies.cend())
            found->reply->abort();
    });
}

void THttpClient::TLane::setRedirectPolicy(QNetworkRequest::RedirectPolicy Policy)
{
    // Queued like the requests, so it holds for every one submitted after it.
    QMetaObject::invokeMethod(context, [this, Policy] { manager->setRedirectPolicy(Policy); });
}

void THttpClient::TLane::start(const std::shared_ptr<THttpExchange>& Exchange)
{
    if (Exchange->cancelled) {
        --running;
        return;
    }
    QNetworkReply* reply = manager->get(Exchange->laneRequest);
    replies.insert(Exchange.get(), { reply, clock.elapsed(), 0, {} });
    QObject::connect(reply, &QNetworkReply::readyRead, context, [this, Exchange, reply] { receive(Exchange, reply); });
    QObject::connect(reply, &QNetworkReply::finished, context, [this, Exchange, reply] { end(Exchange, reply); });
}

void THttpClient::TLane::receive(const std::shared_ptr<THttpExchange>& Exchange, QNetworkReply* Reply)
{
    // Read as it arrives, straight into the body: the framework's pieces are freed for the next ones at
    // once, and the body is not copied into fresh memory once more at the end.
    TRunning& entry = replies[Exchange.get()];
    QByteArray& body = Exchange->body;
    const qint64 available = Reply->bytesAvailable();
    if (available <= 0)
        return;
    if (body.isEmpty()) {
        const qint64 length = Reply->header(QNetworkRequest::ContentLengthHeader).toLongLong();
        body.reserve(qsizetype(std::clamp(length, available, std::max(available, maxBodyReserveBytes))));
    }
    const qsizetype before = body.size();
    body.resize(before + qsizetype(available));
    // Ahead by a receive turn: the framework hands over small pieces, and most then find their pages.
    entry.resident.prepare(body, before, readBytesPerTurn);
    const qint64 got = Reply->read(body.data() + before, available);
    body.truncate(before + qsizetype(std::max<qint64>(got, 0)));

    // As often as the loop reports: the owner refuses a body far longer than it expects by it.
    const qint64 now = clock.elapsed();
    if (now - entry.lastProgressMs < progressIntervalMs
        && body.size() - entry.lastProgressBytes < progressIntervalBytes)
        return;
    entry.lastProgressMs = now;
    entry.lastProgressBytes = body.size();
    owner->notify({ Exchange, body.size(), false });
}

void THttpClient::TLane::end(const std::shared_ptr<THttpExchange>& Exchange, QNetworkReply* Reply)
{
    replies.remove(Exchange.get());
    THttpExchange& done = *Exchange;
    done.status = Reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    done.reason = Reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray();
    done.location = Reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl().toEncoded();
    // Whatever came after the last signal.
    if (Reply->bytesAvailable() > 0)
        done.body += Reply->readAll();
    done.error = Reply->error();
    if (done.error != QNetworkReply::NoError)
        done.errorText = Reply->errorString();
    Reply->deleteLater();
    --running;
    owner->notify({ Exchange, 0, true });
}

THttpClient::THttpClient(QObject* Parent, int Lanes, QNetworkRequest::RedirectPolicy LanePolicy)
    : QObject(Parent)
    , loop(std::make_unique<TLoop>(this))
{
    for (int i = 0; i < Lanes; ++i)
        lanes.push_back(std::make_unique<TLane>(this, LanePolicy));
}

THttpClient::~THttpClient()
{
    // The threads end first: afterwards nothing posts to this object any more.
    loop.reset();
    lanes.clear();
    qDeleteAll(findChildren<THttpReply*>(Qt::FindDirectChildrenOnly));
}

bool THttpClient::handles(const QNetworkRequest& Request)
{
    const QUrl url = Request.url();
    return url.scheme() == QLatin1String("http") && !url.host().isEmpty() && url.userInfo().isEmpty();
}

bool THttpClient::accepts(const QNetworkRequest& Request) const
{
    if (handles(Request))
        return true;
    const QUrl url = Request.url();
    return !lanes.empty() && url.scheme() == QLatin1String("https") && !url.host().isEmpty();
}

THttpReply* THttpClient::get(const QNetworkRequest& Request)
{
    const QUrl url = Request.url();
    auto exchange = std::make_shared<THttpExchange>();
    if (!handles(Request) && !lanes.empty()) {
        TLane* lane = std::min_element(lanes.begin(), lanes.end(), [](const auto& x, const auto& y) {
            return x->running < y->running;
        })->get();
        exchange->laneRequest = Request;
        exchange->lane = lane;
        auto* reply = new THttpReply(Request, exchange, this);
        exchange->reply = reply;
        lane->submit(std::move(exchange));
        return reply;
    }
    // Without brackets for an IPv6 address; the "Host" header puts them back.
    exchange->host = url.host(QUrl::FullyEncoded).toLatin1();
    exchange->port = quint16(url.port(80));
    exchange->timeoutMs = Request.transferTimeout();

    QByteArray target = url.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority | QUrl::RemoveFragment);
    if (target.isEmpty())
        target = "/";
    QByteArray& request = exchange->request;
    request.reserve(256);
    request += "GET " + target + " HTTP/1.1\r\n";
    if (!Request.hasRawHeader("Host")) {
        const QByteArray& host = exchange->host;
        request += "Host: " + (host.contains(':') ? '[' + host + ']' : host);
        if (url.port() != -1 && url.port() != 80)
            request += ':' + QByteArray::number(url.port());
        request += "\r\n";
    }
    for (const QByteArray& name : Request.rawHeaderList())
        request += name + ": " + Request.rawHeader(name) + "\r\n";
    if (!Request.hasRawHeader("User-Agent"))
        request += "User-Agent: Mozilla/5.0\r\n";
    request += "Connection: keep-alive\r\n\r\n";

    auto* reply = new THttpReply(Request, exchange, this);
    exchange->reply = reply;
    loop->submit(std::move(exchange));
    return reply;
}

void THttpClient::setLaneRedirectPolicy(QNetworkRequest::RedirectPolicy Policy)
{
    for (const auto& lane : lanes)
        lane->setRedirectPolicy(Policy);
}

void THttpClient::cancel(const std::shared_ptr<THttpExchange>& Exchange)
{
    Exchange->reply = nullptr;
    // Nothing is left to cancel once the client's threads have ended.
    if (Exchange->lane) {
        if (!lanes.empty())
            Exchange->lane->cancel(Exchange);
    } else if (loop)
        loop->cancel(Exchange);
}

void THttpClient::notify(TNotice Notice)
{
    bool post = false;
    {
        QMutexLocker lock(&noticesMutex);
        post = notices.empty();
        notices.push_back(std::move(Notice));
    }
    // One event for however many notices gather before this thread gets to them.
    if (post)
        QMetaObject::invokeMethod(this, &THttpClient::deliverNotices, Qt::QueuedConnection);
}

void THttpClient::deliverNotices()
{
    std::vector<TNotice> ready;
    {
        QMutexLocker lock(&noticesMutex);
        ready.swap(notices);
    }
    for (TNotice& notice : ready) {
        // A reply that finished, was aborted or deleted meanwhile hears nothing more.
        THttpReply* reply = notice.exchange->reply;
        if (!reply)
            continue;
        if (!notice.done) {
            emit reply->downloadProgress(notice.received, -1);
            continue;
        }
        notice.exchange->reply = nullptr;
        reply->complete();
    }
}

THttpReply::THttpReply(const QNetworkRequest& Request, std::shared_ptr<THttpExchange> Exchange, THttpClient* Client)
    : QNetworkReply(Client)
    , exchange(std::move(Exchange))
{
    setRequest(Request);
    setUrl(Request.url());
    setOperation(QNetworkAccessManager::GetOperation);
    open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

THttpReply::~THttpReply()
{
    if (exchange->reply == this) {
        if (auto* client = qobject_cast<THttpClient*>(parent()))
            client->cancel(exchange);
    }
}

void THttpReply::abort()
{
    if (isFinished())
        return;
    if (auto* client = qobject_cast<THttpClient*>(parent()))
        client->cancel(exchange);
    finish(QNetworkReply::OperationCanceledError, QStringLiteral("Operation canceled"));
}

qint64 THttpReply::bytesAvailable() const
{
    return body.size() - readPosition + QNetworkReply::bytesAvailable();
}

QByteArray THttpReply::takeBody()
{
    QByteArray taken = readPosition == 0 ? std::move(body) : body.mid(readPosition);
    body.clear();
    readPosition = 0;
    return taken;
}

qint64 THttpReply::readData(char* Data, qint64 MaxSize)
{
    const qint64 count = std::min<qint64>(MaxSize, body.size() - readPosition);
    if (count <= 0)
        return isFinished() ? -1 : 0;
    memcpy(Data, body.constData() + readPosition, size_t(count));
    readPosition += count;
    return count;
}

void THttpReply::complete()
{
    THttpExchange& done = *exchange;
    // No response headers are kept: the framework would parse every date in them, and nobody reads them.
    if (done.status != 0) {
        setAttribute(QNetworkRequest::HttpStatusCodeAttribute, done.status);
        setAttribute(QNetworkRequest::HttpReasonPhraseAttribute, done.reason);
        if (!done.location.isEmpty() && done.status >= 300 && done.status < 400)
            setAttribute(QNetworkRequest::RedirectionTargetAttribute, QUrl::fromEncoded(done.location));
    }
    body = std::move(done.body);
    readPosition = 0;
    if (done.error == QNetworkReply::NoError)
        emit downloadProgress(body.size(), body.size());
    finish(done.error, done.errorText);
}

void THttpReply::finish(QNetworkReply::NetworkError Code, const QString& Text)
{
    exchange->reply = nullptr;
    if (Code != QNetworkReply::NoError) {
        setError(Code, Text);
        emit errorOccurred(Code);
    }
    setFinished(true);
    emit finished();
}

} // namespace shared
