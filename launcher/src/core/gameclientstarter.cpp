#include "core/gameclientstarter.h"

#include "core/package.h"
#include "core/packageconfigurationreader.h"
#include "installation/installationmanager.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

#include <csignal>
#include <cstring>
#include <vector>

#include <spawn.h>
#include <unistd.h>

namespace korvane::launcher {

const QString TGameClientStarter::upToDateArgument = QStringLiteral("--package-is-up-to-date");
const QString TGameClientStarter::settingsFileRelativePath
    = QStringLiteral("KorvaneVedudiClient_Data/Data/Settings/settings.json");

TClientStart TGameClientStarter::describe(TInstallationManager& manager, const std::shared_ptr<TPackage>& package)
{
    TClientStart start;
    start.program = manager.packageExecutablePath(package);
    if (const TPackageConfigurationReader* configuration = package->packageConfiguration())
        start.arguments = configuration->parameters;
    if (package->isUpToDate)
        start.arguments.append(upToDateArgument);
    if (!start.program.isEmpty())
        start.workingDirectory = QFileInfo(start.program).absolutePath();
    start.settingsFilePath
        = manager.installationDirectory(package).absolutePath() + QLatin1Char('/') + settingsFileRelativePath;
    return start;
}

void TGameClientStarter::checkSettingsFile(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning() << "Could not open settings file:" << path;
        return;
    }
    const QByteArray content = file.readAll();
    file.close();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (error.error != QJsonParseError::NoError) {
        qWarning() << "JSON parse error:" << error.errorString();
        return;
    }
    if (!document.isObject()) {
        qWarning() << "JSON is not an object!";
        return;
    }
    if (!document.object().contains(QStringLiteral("GraphicsAPI")))
        qWarning() << "GraphicsAPI key not found!";
}

bool TGameClientStarter::startDetached(const TClientStart& start)
{
    // Spawned, not forked: a fork marks every page of the launcher copy-on-write, and after a large
    // installation the launcher would then pay a page fault for each page it writes on its way out.
    std::vector<QByteArray> texts { QFile::encodeName(start.program) };
    for (const QString& argument : start.arguments)
        texts.push_back(QFile::encodeName(argument));
    std::vector<char*> arguments;
    for (QByteArray& text : texts)
        arguments.push_back(text.data());
    arguments.push_back(nullptr);
    // The launcher's environment byte for byte, with the client's own library path.
    const QByteArray folder = QFile::encodeName(start.workingDirectory);
    QByteArray libraryPath = "LD_LIBRARY_PATH=" + folder;
    std::vector<char*> variables;
    for (char** variable = environ; *variable; ++variable) {
        if (strncmp(*variable, "LD_LIBRARY_PATH=", 16) != 0)
            variables.push_back(*variable);
    }
    variables.push_back(libraryPath.data());
    variables.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&actions);
    posix_spawnattr_init(&attributes);
    if (!folder.isEmpty())
        posix_spawn_file_actions_addchdir_np(&actions, folder.constData());
    // Its own session, with the default for broken pipes and no blocked signals, as a detached start.
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigset_t mask;
    sigemptyset(&mask);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setsigmask(&attributes, &mask);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSID | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
    pid_t pid = 0;
    // A bare name is looked up on the search path, as a shell would.
    const int error = start.program.contains(QLatin1Char('/'))
        ? posix_spawn(&pid, arguments[0], &actions, &attributes, arguments.data(), variables.data())
        : posix_spawnp(&pid, arguments[0], &actions, &attributes, arguments.data(), variables.data());
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&actions);
    if (error != 0) {
        qWarning() << "Starting" << start.program << "failed:" << strerror(error);
        return false;
    }
    // Not followed: the launcher leaves right after the start, and the system adopts the client.
    return true;
}

} // namespace korvane::launcher
