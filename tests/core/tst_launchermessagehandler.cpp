#include "core/launchermessagehandler.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <cstdlib>
#include <memory>
#include <vector>

using korvane::launcher::flushLog;
using korvane::launcher::formatLogLine;
using korvane::launcher::formatLogTime;
using korvane::launcher::setupLogging;

class TestLauncherMessageHandler : public QObject
{
    Q_OBJECT

private slots:
    void lineFormat_data();
    void lineFormat();
    void timeOfLine_data();
    void timeOfLine();
    void logFileReceivesEveryThreadsLines();
    void gatheredLinesKeepEachThreadsOrder();
    void gatheredLinesAreWrittenAtExit_data();
    void gatheredLinesAreWrittenAtExit();
};

namespace {

// Set in the environment of a copy of this program that only logs and ends (see main below).
constexpr char exitRunVariable[] = "KORVANE_TEST_LOG_THEN_EXIT";

} // namespace

void TestLauncherMessageHandler::lineFormat_data()
{
    QTest::addColumn<int>("type");
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<int>("line");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("expected");
    QTest::newRow("info") << int(QtInfoMsg) << QByteArray() << 0 << "started"
                          << "(:0) Info: started";
    QTest::newRow("debug") << int(QtDebugMsg) << QByteArray() << 0 << "d"
                           << "(:0) Debug: d";
    QTest::newRow("warning") << int(QtWarningMsg) << QByteArray() << 0 << "w"
                             << "(:0) Warning: w";
    QTest::newRow("critical") << int(QtCriticalMsg) << QByteArray() << 0 << "c"
                              << "(:0) Critical: c";
    QTest::newRow("fatal") << int(QtFatalMsg) << QByteArray() << 0 << "f"
                           << "(:0) Fatal: f";
    QTest::newRow("unknown type") << 42 << QByteArray() << 0 << "lost"
                                  << "(:0) ";
    QTest::newRow("source location") << int(QtInfoMsg) << QByteArray("src/x.cpp") << 17 << "m"
                                     << "(src/x.cpp:17) Info: m";
    QTest::newRow("place markers stay") << int(QtInfoMsg) << QByteArray() << 0 << "%1 of %2 %3"
                                        << "(:0) Info: %1 of %2 %3";
}

void TestLauncherMessageHandler::lineFormat()
{
    QFETCH(int, type);
    QFETCH(QByteArray, file);
    QFETCH(int, line);
    QFETCH(QString, message);
    QFETCH(QString, expected);
    const QMessageLogContext context(file.isEmpty() ? nullptr : file.constData(), line, nullptr, "default");
    const QDateTime time(QDate(2026, 3, 4), QTime(5, 6, 7));
    QCOMPARE(formatLogLine(QtMsgType(type), context, message, time), QStringLiteral("2026-03-04 05:06:07 ") + expected);
}

// The handler formats its dates itself; they must read as the framework's.
void TestLauncherMessageHandler::timeOfLine_data()
{
    QTest::addColumn<qint64>("utcSeconds");
    QTest::addColumn<int>("offset");
    QTest::newRow("epoch") << qint64(0) << 0;
    QTest::newRow("before the epoch") << qint64(-1) << 0;
    QTest::newRow("offset back over new year")
        << QDateTime(QDate(2027, 1, 1), QTime(0, 30), Qt::UTC).toSecsSinceEpoch() << -3600;
    QTest::newRow("leap day") << QDateTime(QDate(2024, 2, 29), QTime(23, 59, 59), Qt::UTC).toSecsSinceEpoch() << 0;
    QTest::newRow("offset forward into a leap day")
        << QDateTime(QDate(2028, 2, 28), QTime(22, 0), Qt::UTC).toSecsSinceEpoch() << 7200;
    QTest::newRow("century without a leap day")
        << QDateTime(QDate(2100, 2, 28), QTime(23, 59, 59), Qt::UTC).toSecsSinceEpoch() + 1 << 0;
    QTest::newRow("year 2000") << QDateTime(QDate(2000, 12, 31), QTime(12, 0), Qt::UTC).toSecsSinceEpoch() << 19800;
    QTest::newRow("now") << QDateTime::currentSecsSinceEpoch() << 3600;
}

void TestLauncherMessageHandler::timeOfLine()
{
    QFETCH(qint64, utcSeconds);
    QFETCH(int, offset);
    const QDateTime expected = QDateTime::fromSecsSinceEpoch(utcSeconds, Qt::OffsetFromUTC, offset);
    QCOMPARE(formatLogTime(utcSeconds, offset), expected.toString(QStringLiteral("yyyy-MM-dd hh:mm:ss")).toUtf8());
}

void TestLauncherMessageHandler::logFileReceivesEveryThreadsLines()
{
    QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.filePath(QStringLiteral("not/yet/there"))));
    QCoreApplication::setOrganizationName(QStringLiteral("Dulmark GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("Korvane Vedudi"));
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    const QString logPath = folder + QLatin1Char('/') + QFileInfo(QCoreApplication::applicationFilePath()).fileName()
        + QStringLiteral(".log");
    QVERIFY(!QFileInfo::exists(folder));

    const QtMessageHandler testHandler = qInstallMessageHandler(nullptr);
    setupLogging();
    qInfo() << "hello" << QStringLiteral("quoted");
    constexpr int threadCount = 4;
    constexpr int linesPerThread = 200;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back(QThread::create([t] {
            for (int i = 0; i < linesPerThread; ++i)
                qWarning().noquote()
                    << QStringLiteral("thread %1 line %2 with some text to widen the window").arg(t).arg(i);
        }));
        threads.back()->start();
    }
    for (auto& thread : threads)
        QVERIFY(thread->wait(20000));
    qInstallMessageHandler(testHandler);

    QFile log(logPath);
    QVERIFY2(log.open(QIODevice::ReadOnly | QIODevice::Text), qPrintable(logPath));
    const QStringList lines = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1 + threadCount * linesPerThread);
    const QRegularExpression first(QStringLiteral(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \(:0\) Info: hello "quoted"$)"));
    QVERIFY2(first.match(lines.first()).hasMatch(), qPrintable(lines.first()));
    const QRegularExpression threadLine(QStringLiteral(
        R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \(:0\) Warning: thread \d line \d+ with some text to widen the window$)"));
    for (const QString& line : lines.mid(1))
        QVERIFY2(threadLine.match(line).hasMatch(), qPrintable(line));
}

// Info lines are gathered and written later, in bulk, while other threads keep adding theirs.
void TestLauncherMessageHandler::gatheredLinesKeepEachThreadsOrder()
{
    QTemporaryDir dataHome;
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
    const QString logPath = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation) + QLatin1Char('/')
        + QFileInfo(QCoreApplication::applicationFilePath()).fileName() + QStringLiteral(".log");

    const QtMessageHandler testHandler = qInstallMessageHandler(nullptr);
    setupLogging();
    constexpr int threadCount = 4;
    constexpr int linesPerThread = 5000;
    std::vector<std::unique_ptr<QThread>> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back(QThread::create([t] {
            for (int i = 0; i < linesPerThread; ++i)
                qInfo().noquote() << QStringLiteral("thread %1 line %2").arg(t).arg(i);
        }));
        threads.back()->start();
    }
    for (auto& thread : threads)
        QVERIFY(thread->wait(20000));
    flushLog();
    qInstallMessageHandler(testHandler);

    QFile log(logPath);
    QVERIFY2(log.open(QIODevice::ReadOnly), qPrintable(logPath));
    const QStringList lines = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), threadCount * linesPerThread);
    const QRegularExpression pattern(
        QStringLiteral(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d \(:0\) Info: thread (\d) line (\d+)$)"));
    std::vector<int> next(threadCount, 0);
    for (const QString& line : lines) {
        const QRegularExpressionMatch match = pattern.match(line);
        QVERIFY2(match.hasMatch(), qPrintable(line));
        const int thread = match.captured(1).toInt();
        QCOMPARE(match.captured(2).toInt(), next[std::size_t(thread)]++);
    }
}

// A copy of this program logs info lines and ends at once, long before the half second after which
// gathered lines are written otherwise.
void TestLauncherMessageHandler::gatheredLinesAreWrittenAtExit_data()
{
    QTest::addColumn<QByteArray>("road");
    QTest::newRow("return from main") << QByteArray("return");
    QTest::newRow("exit()") << QByteArray("exit");
}

void TestLauncherMessageHandler::gatheredLinesAreWrittenAtExit()
{
    QFETCH(QByteArray, road);
    QTemporaryDir dataHome;
    QProcess run;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome.path());
    environment.insert(QString::fromLatin1(exitRunVariable), QString::fromLatin1(road));
    run.setProcessEnvironment(environment);
    run.start(QCoreApplication::applicationFilePath(), {});
    QVERIFY(run.waitForFinished(20000));
    QCOMPARE(run.exitStatus(), QProcess::NormalExit);
    QCOMPARE(run.exitCode(), 0);

    QFile log(dataHome.path() + QStringLiteral("/Dulmark GmbH/Korvane Vedudi/")
        + QFileInfo(QCoreApplication::applicationFilePath()).fileName() + QStringLiteral(".log"));
    QVERIFY2(log.open(QIODevice::ReadOnly), qPrintable(log.fileName()));
    const QStringList lines = QString::fromUtf8(log.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 100);
    QVERIFY2(lines.last().endsWith(QStringLiteral(" (:0) Info: last words 99")), qPrintable(lines.last()));
}

int main(int argc, char** argv)
{
    const QByteArray road = qgetenv(exitRunVariable);
    if (!road.isEmpty()) {
        QCoreApplication application(argc, argv);
        QCoreApplication::setOrganizationName(QStringLiteral("Dulmark GmbH"));
        QCoreApplication::setApplicationName(QStringLiteral("Korvane Vedudi"));
        setupLogging();
        for (int i = 0; i < 100; ++i)
            qInfo().noquote() << "last words" << i;
        if (road == "exit")
            std::exit(0);
        return 0;
    }
    QCoreApplication application(argc, argv);
    TestLauncherMessageHandler test;
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_launchermessagehandler.moc"
