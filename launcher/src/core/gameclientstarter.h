#pragma once

#include <QString>
#include <QStringList>

#include <memory>

namespace korvane::launcher {

class TInstallationManager;
class TPackage;

// What one start of a game client is made of.
struct TClientStart
{
    // Empty when the package has no build for this system or names no executable.
    QString program;
    QStringList arguments;
    // The folder that holds the program; also the client's library path.
    QString workingDirectory;
    QString settingsFilePath;
};

// The pieces of a game client start: what to run, the client's settings check and the detached start.
class TGameClientStarter
{
public:
    static const QString upToDateArgument;
    // Fixed inside the installation folder, whatever the launcher's settings name as settings target.
    static const QString settingsFileRelativePath;

    static TClientStart describe(TInstallationManager& manager, const std::shared_ptr<TPackage>& package);
    // Looks for the graphics choice in the client's settings; problems are logged only.
    static void checkSettingsFile(const QString& path);
    // The client gets its library path in its own environment, so the launcher's environment, which
    // worker threads may read, is never written. Not followed once started.
    static bool startDetached(const TClientStart& start);
};

} // namespace korvane::launcher
