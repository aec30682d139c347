#include "core/launchermessagehandler.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace korvane::launcher {

namespace {

// Gathered lines are written once this much is waiting, or after flushInterval at the latest.
constexpr qsizetype flushThreshold = 64 * 1024;
constexpr std::chrono::milliseconds flushInterval { 500 };

QByteArrayView typedPrefix(QtMsgType type)
{
    switch (type) {
    case QtDebugMsg:
        return "Debug: ";
    case QtInfoMsg:
        return "Info: ";
    case QtWarningMsg:
        return "Warning: ";
    case QtCriticalMsg:
        return "Critical: ";
    case QtFatalMsg:
        return "Fatal: ";
    }
    return {};
}

bool isKnownType(QtMsgType type)
{
    return !typedPrefix(type).isNull();
}

// The line without its line end, as UTF-8.
void appendLine(
    QByteArray& out, QByteArrayView time, QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    out += time;
    out += " (";
    if (context.file)
        out += QString::fromUtf8(context.file).toUtf8();
    out += ':';
    out += QByteArray::number(context.line);
    out += ") ";
    if (isKnownType(type)) {
        out += typedPrefix(type);
        out += message.toUtf8();
    }
}

QByteArray timeText(const QDateTime& time)
{
    return time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toUtf8();
}

// The local time of the current second; formatted once a second per thread, since building a local
// date and time asks the system for its time zone.
QByteArrayView currentTimeText()
{
    thread_local std::time_t second = -1;
    thread_local QByteArray text;
    const std::time_t now = std::time(nullptr);
    if (now != second) {
        second = now;
        text = timeText(QDateTime::fromSecsSinceEpoch(qint64(now)));
    }
    return text;
}

// The log file and the lines not yet written. Created once and never destroyed: messages may arrive
// until the process ends, after static objects are gone. Lines keep their order: they are appended to
// one buffer, and a flush takes the whole buffer under the write lock.
class TLogWriter
{
public:
    static TLogWriter& instance()
    {
        static TLogWriter* writer = new TLogWriter;
        return *writer;
    }

    bool open(const QString& path, ELogStart start, QString& errorText)
    {
        std::lock_guard writeLock(writeMutex);
        {
            std::lock_guard bufferLock(bufferMutex);
            writeAll(pending);
            pending.clear();
        }
        if (file.isOpen())
            file.close();
        file.setFileName(path);
        // Appending writes, so a launcher that still ends while its restarted successor has begun never
        // writes over the successor's lines.
        QIODevice::OpenMode mode = QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered;
        if (start == ELogStart::Truncate)
            mode |= QIODevice::Truncate;
        if (!file.open(mode)) {
            errorText = file.errorString();
            opened = false;
            return false;
        }
        opened = true;
        if (!flusher.joinable()) {
            flusher = std::thread([this] { runFlusher(); });
            std::atexit([] { instance().stop(); });
        }
        return true;
    }

    bool isOpen() const { return opened; }

    void add(const QByteArray& line, bool urgent)
    {
        bool flushNow = false;
        {
            std::lock_guard bufferLock(bufferMutex);
            pending += line;
            flushNow = urgent || direct || pending.size() >= flushThreshold;
        }
        if (flushNow)
            flush();
    }

    void flush()
    {
        std::lock_guard writeLock(writeMutex);
        QByteArray lines;
        {
            std::lock_guard bufferLock(bufferMutex);
            if (pending.isEmpty())
                return;
            lines.swap(pending);
        }
        writeAll(lines);
    }

private:
    TLogWriter() = default;

    // At exit: the flusher ends and every later line is written at once.
    void stop()
    {
        {
            std::lock_guard wakeLock(wakeMutex);
            stopping = true;
        }
        wake.notify_all();
        if (flusher.joinable())
            flusher.join();
        {
            std::lock_guard bufferLock(bufferMutex);
            direct = true;
        }
        flush();
    }

    void runFlusher()
    {
        std::unique_lock wakeLock(wakeMutex);
        while (!stopping) {
            wake.wait_for(wakeLock, flushInterval);
            wakeLock.unlock();
            flush();
            wakeLock.lock();
        }
    }

    // Caller holds writeMutex. A failed write drops the lines: a log has nowhere to report its own failure.
    void writeAll(const QByteArray& lines)
    {
        if (!opened)
            return;
        const int descriptor = file.handle();
        const char* data = lines.constData();
        qsizetype left = lines.size();
        while (left > 0) {
            const ssize_t written = ::write(descriptor, data, std::size_t(left));
            if (written < 0 && errno == EINTR)
                continue;
            if (written <= 0)
                return;
            data += written;
            left -= written;
        }
    }

    std::mutex writeMutex; // held while lines go to the file; taken before bufferMutex
    std::mutex bufferMutex; // guards pending and direct
    QByteArray pending;
    bool direct = false;
    QFile file;
    std::atomic<bool> opened { false };

    std::mutex wakeMutex;
    std::condition_variable wake;
    bool stopping = false;
    std::thread flusher;
};

std::atomic<bool> logging { false };

} // namespace

QString formatLogLine(QtMsgType type, const QMessageLogContext& context, const QString& message, const QDateTime& time)
{
    QByteArray line;
    appendLine(line, timeText(time), type, context, message);
    return QString::fromUtf8(line);
}

void launcherMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (!logging.load(std::memory_order_acquire))
        return;
    TLogWriter& writer = TLogWriter::instance();
    if (type == QtFatalMsg) {
        writer.flush();
        std::abort();
    }
    if (!writer.isOpen())
        return;
    QByteArray line;
    line.reserve(64 + message.size());
    appendLine(line, currentTimeText(), type, context, message);
    line += '\n';
    // A warning may come before a crash: it and everything before it are written at once.
    const bool urgent = type == QtWarningMsg || type == QtCriticalMsg;
    writer.add(line, urgent);
}

void flushLog()
{
    if (logging.load(std::memory_order_acquire))
        TLogWriter::instance().flush();
}

void setupLogging(ELogStart start)
{
    try {
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        if (!QDir(folder).exists() && !QDir().mkpath(folder))
            throw std::runtime_error("Failed to create subdirectory.");
        const QString path = QDir::cleanPath(folder) + QLatin1Char('/')
            + QFileInfo(QCoreApplication::applicationFilePath()).fileName() + QStringLiteral(".log");
        const bool existed = QFileInfo(path).size() > 0;
        QString errorText;
        TLogWriter& writer = TLogWriter::instance();
        // Said once on the default output; the messages of the run are then dropped.
        if (!writer.open(path, start, errorText))
            qWarning().noquote() << "couldn't open the log file" << path << ":" << errorText
                                 << "- log messages are dropped";
        logging.store(true, std::memory_order_release);
        qInstallMessageHandler(launcherMessageHandler);
        if (writer.isOpen() && start == ELogStart::Append && existed)
            qInfo() << "---------------- restarted after the self-update; the lines above are the run that "
                       "updated ----------------";
        if (QCoreApplication* application = QCoreApplication::instance())
            QObject::connect(application, &QCoreApplication::aboutToQuit, application, &flushLog);
    } catch (const std::exception& e) {
        qWarning() << "couldn't setup logging. exception: " << e.what();
    } catch (...) {
        qWarning() << "couldn't setup logging";
    }
}

} // namespace korvane::launcher
