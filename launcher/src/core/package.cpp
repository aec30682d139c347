#include "package.h"

#include "launcherconfigurationreader.h"
#include "packageconfigurationreader.h"

#include <QJsonArray>
#include <QJsonValue>
#include <QSysInfo>

namespace korvane::launcher {

namespace {

EOperatingSystem operatingSystemFromText(const QString& text)
{
    if (text.compare(QLatin1String("windows"), Qt::CaseInsensitive) == 0)
        return EOperatingSystem::Windows;
    if (text.compare(QLatin1String("macos"), Qt::CaseInsensitive) == 0)
        return EOperatingSystem::MacOS;
    if (text.compare(QLatin1String("linux"), Qt::CaseInsensitive) == 0)
        return EOperatingSystem::Linux;
    return EOperatingSystem::Unknown;
}

EArchitecture architectureFromText(const QString& text)
{
    if (text.compare(QLatin1String("i386"), Qt::CaseInsensitive) == 0)
        return EArchitecture::I386;
    if (text.compare(QLatin1String("x86_64"), Qt::CaseInsensitive) == 0)
        return EArchitecture::X86_64;
    return EArchitecture::Unknown;
}

TPackageBuild* buildFromJson(const QJsonObject& object, const QUrl& baseUrl)
{
    auto* build = new TPackageBuild;
    build->os = operatingSystemFromText(object.value(QLatin1String("os")).toString());
    build->architecture = architectureFromText(object.value(QLatin1String("architecture")).toString());
    // A refused address stays empty: that document is never fetched, and the build gets no configuration.
    const QUrl url(object.value(QLatin1String("url")).toString());
    if (isAcceptedDocumentUrl(url))
        build->url = resolveRelativeUrl(baseUrl, url);
    if (object.contains(QLatin1String("assetsurl"))) {
        const QUrl assetsUrl(object.value(QLatin1String("assetsurl")).toString());
        if (isAcceptedDocumentUrl(assetsUrl))
            build->assetsUrl = resolveRelativeUrl(baseUrl, assetsUrl);
    }
    return build;
}

} // namespace

TPlatform TPlatform::current()
{
    TPlatform platform;
    platform.os = operatingSystemFrom(QSysInfo::productType(), QSysInfo::kernelType());
    platform.architecture = architectureFromBuildCpu(QSysInfo::buildCpuArchitecture());
    return platform;
}

EArchitecture TPlatform::architectureFromBuildCpu(const QString& buildCpuArchitecture)
{
    if (buildCpuArchitecture == QLatin1String("i386"))
        return EArchitecture::I386;
    if (buildCpuArchitecture == QLatin1String("x86_64"))
        return EArchitecture::X86_64;
    return EArchitecture::Unknown;
}

EOperatingSystem TPlatform::operatingSystemFrom(const QString& productType, const QString& kernelType)
{
    if (productType == QLatin1String("windows"))
        return EOperatingSystem::Windows;
    if (productType == QLatin1String("osx") || productType == QLatin1String("darwin"))
        return EOperatingSystem::MacOS;
    if (kernelType == QLatin1String("linux"))
        return EOperatingSystem::Linux;
    return EOperatingSystem::Unknown;
}

TPackageBuild::~TPackageBuild()
{
    delete configuration;
}

void TPackageBuild::setConfiguration(TPackageConfigurationReader* newConfiguration)
{
    if (newConfiguration == configuration)
        return;
    delete configuration;
    configuration = newConfiguration;
}

TPackage::TPackage(int index, const QJsonObject& package, const TLauncherConfigurationReader& reader)
    : index(index)
{
    name = package.value(QLatin1String("name")).toString();
    directoryName = package.value(QLatin1String("directoryname")).toString();
    if (package.contains(QLatin1String("logolinktarget")))
        logoLinkTarget = QUrl(package.value(QLatin1String("logolinktarget")).toString(), QUrl::TolerantMode);
    installAutomatically = package.value(QLatin1String("installautomatically")).toBool(false);

    const QJsonArray buildArray = package.value(QLatin1String("builds")).toArray();
    builds.reserve(buildArray.size());
    for (const QJsonValue& element : buildArray)
        builds.push_back(buildFromJson(element.toObject(), reader.baseUrl));

    const QJsonObject maintenance = package.value(QLatin1String("maintenance")).toObject();
    maintenanceActive = maintenance.value(QLatin1String("active")).toBool(false);
    maintenanceEstimatedEnd
        = QDateTime::fromString(maintenance.value(QLatin1String("estimatedEnd")).toString(), Qt::ISODate);
}

TPackage::~TPackage()
{
    for (TPackageBuild* build : builds)
        delete build;
}

TPackageBuild* TPackage::currentPlatformBuild() const
{
    return platformBuild(TPlatform::current());
}

TPackageBuild* TPackage::platformBuild(const TPlatform& platform) const
{
    // The launcher's own package lives in the application folder, so its folder name is never used.
    if (index != launcherPackageIndex && (!hasContainedDirectoryName() || !sharedFolderWith.isEmpty()))
        return nullptr;
    for (TPackageBuild* build : builds) {
        if (build->architecture == platform.architecture && build->os == platform.os)
            return build;
    }
    return nullptr;
}

TPackageConfigurationReader* TPackage::packageConfiguration() const
{
    const TPackageBuild* build = currentPlatformBuild();
    return build ? build->configuration : nullptr;
}

bool TPackage::hasContainedDirectoryName() const
{
    return isContainedRelativePath(directoryName);
}

void TPackage::setLocalStatus(ELocalPackageStatus status)
{
    if (status == localStatus)
        return;
    localStatus = status;
    emit localPackageStatusChanged();
}

} // namespace korvane::launcher
