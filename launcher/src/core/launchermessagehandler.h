#pragma once

#include <QDateTime>
#include <QString>
#include <QtGlobal>

namespace korvane::launcher {

// One log line: "<yyyy-MM-dd hh:mm:ss> (<file>:<line>) <Type>: <message>".
QString formatLogLine(QtMsgType type, const QMessageLogContext& context, const QString& message, const QDateTime& time);

// Writes every message to the log file opened by setupLogging, one flushed line each.
void launcherMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message);

// Opens "<executable name>.log" in the writable application data location (truncated) and installs
// launcherMessageHandler. On failure it warns and leaves the default output in place.
void setupLogging();

} // namespace korvane::launcher
