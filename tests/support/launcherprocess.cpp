#include "support/launcherprocess.h"

#include "support/launchersandbox.h"

#include <QDeadlineTimer>

namespace korvane::test {

TLauncherProcess::TLauncherProcess(const TLauncherSandbox& sandbox)
    : sandbox(sandbox)
    , environment(sandbox.environment())
{
    process.setProcessChannelMode(QProcess::MergedChannels);
}

TLauncherProcess::~TLauncherProcess()
{
    if (isRunning())
        kill();
}

void TLauncherProcess::setEnvironmentValue(const QString& name, const QString& value)
{
    environment.insert(name, value);
}

void TLauncherProcess::unsetEnvironmentValue(const QString& name)
{
    environment.remove(name);
}

bool TLauncherProcess::start(const QStringList& arguments, int timeoutMs)
{
    collectedOutput.clear();
    process.setProcessEnvironment(environment);
    process.setWorkingDirectory(sandbox.binaryFolder());
    process.start(sandbox.launcherPath(), arguments);
    return process.waitForStarted(timeoutMs);
}

bool TLauncherProcess::waitForFinished(int timeoutMs)
{
    const bool finished = process.state() == QProcess::NotRunning || process.waitForFinished(timeoutMs);
    output();
    return finished;
}

template<typename Condition> bool TLauncherProcess::waitFor(Condition condition, int timeoutMs)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (true) {
        output();
        if (condition())
            return true;
        if (!isRunning() || deadline.hasExpired())
            return condition();
        process.waitForReadyRead(qMin<qint64>(50, qMax<qint64>(1, deadline.remainingTime())));
    }
}

bool TLauncherProcess::waitForLog(const QByteArray& text, int timeoutMs)
{
    return waitFor([&] { return sandbox.readLog().contains(text); }, timeoutMs);
}

bool TLauncherProcess::waitForOutput(const QByteArray& text, int timeoutMs)
{
    return waitFor([&] { return collectedOutput.contains(text); }, timeoutMs);
}

bool TLauncherProcess::isRunning() const
{
    return process.state() != QProcess::NotRunning;
}

void TLauncherProcess::kill()
{
    process.kill();
    process.waitForFinished(10000);
    output();
}

QByteArray TLauncherProcess::output()
{
    collectedOutput += process.readAll();
    return collectedOutput;
}

} // namespace korvane::test
