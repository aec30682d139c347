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
#include <QProcess>
#include <QProcessEnvironment>

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
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("LD_LIBRARY_PATH"), start.workingDirectory);
    QProcess process;
    process.setProgram(start.program);
    process.setArguments(start.arguments);
    process.setWorkingDirectory(start.workingDirectory);
    process.setProcessEnvironment(environment);
    return process.startDetached();
}

} // namespace korvane::launcher
