#pragma once

#include <QByteArray>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStringList>

namespace korvane::test {

class TLauncherSandbox;

// One run of the sandbox's launcher with bounded waits. A process still running at destruction is killed.
class TLauncherProcess
{
public:
    explicit TLauncherProcess(const TLauncherSandbox& sandbox);
    ~TLauncherProcess();
    TLauncherProcess(const TLauncherProcess&) = delete;
    TLauncherProcess& operator=(const TLauncherProcess&) = delete;

    // Changes the environment of the next start.
    void setEnvironmentValue(const QString& name, const QString& value);
    void unsetEnvironmentValue(const QString& name);

    bool start(const QStringList& arguments = {}, int timeoutMs = 10000);
    bool waitForFinished(int timeoutMs = 20000);
    // Waits until the sandbox's log contains text; false when the time is up or the process ended without it.
    bool waitForLog(const QByteArray& text, int timeoutMs = 20000);
    bool waitForOutput(const QByteArray& text, int timeoutMs = 20000);
    bool isRunning() const;
    // SIGKILL, then waits until the process is gone.
    void kill();

    int exitCode() const { return process.exitCode(); }
    QProcess::ExitStatus exitStatus() const { return process.exitStatus(); }
    // Standard output and standard error, merged, as far as read.
    QByteArray output();

private:
    template<typename Condition> bool waitFor(Condition condition, int timeoutMs);

    const TLauncherSandbox& sandbox;
    QProcessEnvironment environment;
    QProcess process;
    QByteArray collectedOutput;
};

} // namespace korvane::test
