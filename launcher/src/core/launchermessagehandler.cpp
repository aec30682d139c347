#include "core/launchermessagehandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QMutexLocker>
#include <QPointer>
#include <QStandardPaths>
#include <QTextStream>

#include <cstdlib>
#include <exception>
#include <stdexcept>

namespace korvane::launcher {

namespace {

// Created once and never closed: messages may arrive until the process ends.
QPointer<QFile> logFile;
QMutex logMutex;

QString typedText(QtMsgType type, const QString& message)
{
    switch (type) {
    case QtDebugMsg:
        return QStringLiteral("Debug: %1").arg(message);
    case QtInfoMsg:
        return QStringLiteral("Info: %1").arg(message);
    case QtWarningMsg:
        return QStringLiteral("Warning: %1").arg(message);
    case QtCriticalMsg:
        return QStringLiteral("Critical: %1").arg(message);
    case QtFatalMsg:
        return QStringLiteral("Fatal: %1").arg(message);
    }
    return {};
}

} // namespace

QString formatLogLine(QtMsgType type, const QMessageLogContext& context, const QString& message, const QDateTime& time)
{
    const QString source
        = QStringLiteral("(%1:%2)").arg(QString::fromUtf8(context.file), QString::number(context.line));
    // One multi-argument fill, so place markers inside the message stay as they are.
    return QStringLiteral("%1 %2 %3")
        .arg(time.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")), source, typedText(type, message));
}

void launcherMessageHandler(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (logFile.isNull())
        return;
    if (type == QtFatalMsg)
        std::abort();
    const QString line = formatLogLine(type, context, message, QDateTime::currentDateTime());

    QMutexLocker locker(&logMutex);
    QTextStream stream(logFile.data());
    stream << line << '\n';
    stream.flush();
}

void setupLogging()
{
    try {
        const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
        if (!QDir(folder).exists() && !QDir().mkpath(folder))
            throw std::runtime_error("Failed to create subdirectory.");
        const QString path = QDir::cleanPath(folder) + QLatin1Char('/')
            + QFileInfo(QCoreApplication::applicationFilePath()).fileName() + QStringLiteral(".log");
        if (logFile.isNull())
            logFile = new QFile(path);
        logFile->open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Text);
        qInstallMessageHandler(launcherMessageHandler);
    } catch (const std::exception& e) {
        qWarning() << "couldn't setup logging. exception: " << e.what();
    } catch (...) {
        qWarning() << "couldn't setup logging";
    }
}

} // namespace korvane::launcher
