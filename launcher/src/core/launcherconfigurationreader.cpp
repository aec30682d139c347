#include "launcherconfigurationreader.h"

#include "package.h"
#include "packageconfigurationreader.h"

#include <QDebug>
#include <QDir>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

namespace korvane::launcher {

namespace {

QUrl endpointFromJson(const QJsonValue& value)
{
    return QUrl(value.toString(), QUrl::TolerantMode);
}

// Two packages in one folder would delete and overwrite each other's files: the later one keeps no
// build for this system.
void markSharedFolders(const std::vector<std::shared_ptr<TPackage>>& packages)
{
    QHash<QString, const TPackage*> owners;
    for (const std::shared_ptr<TPackage>& package : packages) {
        if (!package->hasContainedDirectoryName())
            continue;
        const QString folder = QDir::cleanPath(package->directoryName);
        const auto owner = owners.constFind(folder);
        if (owner == owners.constEnd()) {
            owners.insert(folder, package.get());
            continue;
        }
        package->sharedFolderWith = (*owner)->name;
        qWarning() << "Package" << package->name << "names the folder" << folder << "of the package" << (*owner)->name
                   << "; it is listed but never installed";
    }
}

} // namespace

TLauncherConfigurationException::TLauncherConfigurationException(const QString& message)
    : std::runtime_error(message.toUtf8().toStdString())
{ }

TLauncherConfigurationReader::TLauncherConfigurationReader(const QUrl& baseUrl, const QByteArray& document)
    : baseUrl(baseUrl)
    , rawJson(document)
{
    QJsonParseError error;
    const QJsonDocument json = QJsonDocument::fromJson(document, &error);
    if (error.error != QJsonParseError::NoError)
        throw TLauncherConfigurationException(error.errorString());
    parseConfiguration(json.object());
}

void TLauncherConfigurationReader::parseConfiguration(const QJsonObject& configuration)
{
    const QJsonValue launcher = configuration.value(QLatin1String("launcher"));
    if (launcher.isObject())
        launcherPackage = std::make_shared<TPackage>(TPackage::launcherPackageIndex, launcher.toObject(), *this);

    const QJsonValue packageArray = configuration.value(QLatin1String("packages"));
    if (packageArray.isArray()) {
        const QJsonArray array = packageArray.toArray();
        packages.reserve(array.size());
        int index = 0;
        for (const QJsonValue& element : array)
            packages.push_back(std::make_shared<TPackage>(index++, element.toObject(), *this));
        markSharedFolders(packages);
    }

    hardwareSurveyUrl = endpointFromJson(configuration.value(QLatin1String("hardwaresurvey")));
    hintsUrl = endpointFromJson(configuration.value(QLatin1String("hints")));
    if (!isAcceptedDocumentUrl(hintsUrl))
        hintsUrl = QUrl();
    funnelUrl = endpointFromJson(configuration.value(QLatin1String("funnel")));
    preventDefaultAutostart = configuration.value(QLatin1String("preventdefaultautostart")).toBool(false);
    showPackageNames = configuration.value(QLatin1String("showpackagenames")).toBool(false);
}

std::vector<std::shared_ptr<TPackage>> TLauncherConfigurationReader::packagesWithConfiguration() const
{
    std::vector<std::shared_ptr<TPackage>> result;
    for (const std::shared_ptr<TPackage>& package : packages) {
        const TPackageBuild* build = package->currentPlatformBuild();
        if (build && build->configuration)
            result.push_back(package);
    }
    return result;
}

} // namespace korvane::launcher
