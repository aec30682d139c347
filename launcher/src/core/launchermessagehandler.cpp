#include "core/launchermessagehandler.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <ctime>
#include <exception>
#include <limits>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace korvane::launcher {

namespace {

// Gathered lines are written by the flusher once this much is waiting, or after flushInterval at the
// latest; a thread that finds far more waiting (the flusher cannot keep up) writes them itself.
constexpr qsizetype flushThreshold = 64 * 1024;
constexpr qsizetype writeItselfThreshold = 8 * 1024 * 1024;
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

void appendContext(QByteArray& out, QtMsgType type, const QMessageLogContext& context)
{
    out += " (";
    if (context.file)
        out += context.file;
    out += ':';
    out += QByteArray::number(context.line);
    out += ") ";
    out += typedPrefix(type);
}

// The line without its line end, as UTF-8.
void appendLine(
    QByteArray& out, QByteArrayView time, QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    out += time;
    appendContext(out, type, context);
    if (isKnownType(type))
        out += message.toUtf8();
}

void putDigits(char* at, unsigned value, int count)
{
    for (int i = count - 1; i >= 0; --i) {
        at[i] = char('0' + value % 10);
        value /= 10;
    }
}

// The local time zone's offset, asked for once a minute: a local QDateTime reads the zone's file each
// time, too dear for every line; zone changes fall on whole minutes.
int utcOffsetAt(qint64 utcSeconds)
{
    static std::atomic<qint64> cachedMinute { std::numeric_limits<qint64>::min() };
    static std::atomic<int> cachedOffset { 0 };
    const qint64 minute = utcSeconds >= 0 ? utcSeconds / 60 : (utcSeconds - 59) / 60;
    if (cachedMinute.load(std::memory_order_acquire) != minute) {
        cachedOffset.store(QDateTime::fromSecsSinceEpoch(minute * 60).offsetFromUtc(), std::memory_order_relaxed);
        cachedMinute.store(minute, std::memory_order_release);
    }
    return cachedOffset.load(std::memory_order_relaxed);
}

qint64 currentUtcSeconds()
{
    timespec now {};
    clock_gettime(CLOCK_REALTIME, &now);
    return qint64(now.tv_sec);
}

// "yyyy-MM-dd hh:mm:ss" of a local time given as seconds since the epoch in local reckoning.
void putLocalTime(char* out, qint64 localSeconds)
{
    const qint64 days = localSeconds >= 0 ? localSeconds / 86400 : (localSeconds - 86399) / 86400;
    const qint64 second = localSeconds - days * 86400;
    // Civil date of a day count: eras of 400 years, March-based years so the leap day comes last.
    const qint64 z = days + 719468;
    const qint64 era = (z >= 0 ? z : z - 146096) / 146097;
    const qint64 dayOfEra = z - era * 146097;
    const qint64 yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const qint64 dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const qint64 monthIndex = (5 * dayOfYear + 2) / 153;
    const unsigned day = unsigned(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
    const unsigned month = unsigned(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
    const qint64 year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);
    putDigits(out, unsigned(std::clamp<qint64>(year, 0, 9999)), 4);
    out[4] = '-';
    putDigits(out + 5, month, 2);
    out[7] = '-';
    putDigits(out + 8, day, 2);
    out[10] = ' ';
    putDigits(out + 11, unsigned(second / 3600), 2);
    out[13] = ':';
    putDigits(out + 14, unsigned(second / 60 % 60), 2);
    out[16] = ':';
    putDigits(out + 17, unsigned(second % 60), 2);
}

constexpr int timeTextLength = 19;

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

    // text: the line after its date and time, with its line end.
    void add(qint64 localSeconds, const QByteArray& text, bool urgent)
    {
        bool flushNow = false;
        {
            std::lock_guard bufferLock(bufferMutex);
            if (localSeconds != timeSecond) {
                timeSecond = localSeconds;
                putLocalTime(timeText, localSeconds);
            }
            const qsizetype before = pending.size();
            pending.append(timeText, timeTextLength);
            pending += text;
            flushNow = urgent || direct || pending.size() >= writeItselfThreshold;
            // The flusher sleeps while nothing waits; the first line of a batch sets its half second going,
            // and a full batch has it write at once, so the threads that log never wait for the disk.
            if (!flushNow && (before == 0 || (before < flushThreshold && pending.size() >= flushThreshold)))
                wake.notify_one();
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
            pending.reserve(lines.capacity());
        }
        writeAll(lines);
    }

private:
    TLogWriter() = default;

    // At exit: the flusher ends and every later line is written at once.
    void stop()
    {
        {
            std::lock_guard bufferLock(bufferMutex);
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
        std::unique_lock bufferLock(bufferMutex);
        for (;;) {
            wake.wait(bufferLock, [this] { return stopping || !pending.isEmpty(); });
            if (stopping)
                return;
            // Lines are at most flushInterval old when they reach the file.
            wake.wait_for(bufferLock, flushInterval, [this] { return stopping || pending.size() >= flushThreshold; });
            bufferLock.unlock();
            flush();
            bufferLock.lock();
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
    std::mutex bufferMutex; // guards pending, direct, stopping and the time text
    std::condition_variable wake;
    QByteArray pending;
    bool direct = false;
    bool stopping = false;
    qint64 timeSecond = std::numeric_limits<qint64>::min();
    char timeText[timeTextLength] {};
    QFile file;
    std::atomic<bool> opened { false };
    std::thread flusher;
};

std::atomic<bool> logging { false };

} // namespace

QString formatLogLine(QtMsgType type, const QMessageLogContext& context, const QString& message, const QDateTime& time)
{
    QByteArray line;
    appendLine(line, time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toUtf8(), type, context, message);
    return QString::fromUtf8(line);
}

QByteArray formatLogTime(qint64 utcSeconds, int utcOffsetSeconds)
{
    QByteArray text(timeTextLength, Qt::Uninitialized);
    putLocalTime(text.data(), utcSeconds + utcOffsetSeconds);
    return text;
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
    QByteArray text;
    text.reserve(48 + message.size() + message.size() / 2);
    appendContext(text, type, context);
    if (isKnownType(type))
        text += message.toUtf8();
    text += '\n';
    const qint64 now = currentUtcSeconds();
    // A warning may come before a crash: it and everything before it are written at once.
    const bool urgent = type == QtWarningMsg || type == QtCriticalMsg;
    writer.add(now + utcOffsetAt(now), text, urgent);
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
