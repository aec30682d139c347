#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

namespace korvane::launcher {

// One log line: "<yyyy-MM-dd hh:mm:ss> (<file>:<line>) <Type>: <message>".
QString formatLogLine(QtMsgType type, const QMessageLogContext& context, const QString& message, const QDateTime& time);

// Collects every message in the log file opened by setupLogging. Lines are gathered in memory and written
// in one go: at once for a warning or worse, otherwise within about a second, when the event loop ends and
// when the process exits; so the log stays useful even when the process is killed.
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
