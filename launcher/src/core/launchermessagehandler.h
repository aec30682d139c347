#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QtGlobal>

namespace korvane::launcher {

// One log line: "<yyyy-MM-dd hh:mm:ss> (<file>:<line>) <Type>: <message>".
QString formatLogLine(QtMsgType type, const QMessageLogContext& context, const QString& message, const QDateTime& time);

// The date and time part of a log line for a moment and a UTC offset, as the handler writes it.
QByteArray formatLogTime(qint64 utcSeconds, int utcOffsetSeconds);

// Collects every message in the log file opened by setupLogging. Lines are gathered in memory and written
// in one go: at once for a warning or worse, otherwise within half a second, when the event loop ends and
// when the process exits; so a killed process loses at most its last half second of lines.
void launcherMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

// Writes the lines gathered so far.
void flushLog();

enum class ELogStart {
    Truncate, // a new run starts a new log
    Append, // the launcher restarted by its self-update keeps the log of the run that updated it
};

// Opens "<executable name>.log" in the writable application data location and installs
// launcherMessageHandler. When the folder cannot be created it warns and leaves the default output in
// place; when the file cannot be opened it warns once and messages are dropped.
void setupLogging(ELogStart start = ELogStart::Truncate);

} // namespace korvane::launcher
