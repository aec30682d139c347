#pragma once

#include <QDateTime>
#include <QJsonObject>
#include <QObject>
#include <QString>
#include <QUrl>

#include <vector>

namespace korvane::launcher {

class TLauncherConfigurationReader;
class TPackageConfigurationReader;

enum class EOperatingSystem : int { Unknown = 0, Windows = 1, MacOS = 2, Linux = 3 };

enum class EArchitecture : int { Unknown = 0, I386 = 1, X86_64 = 2 };

enum class ELocalPackageStatus : int {
    Unknown = 0, // not yet evaluated
    NotInstalled = 1,
    PartiallyInstalled = 2,
    UpdateAvailable = 3,
    UpToDate = 4
};

// The platform a build is chosen for.
struct TPlatform
{
    EOperatingSystem os = EOperatingSystem::Unknown;
    EArchitecture architecture = EArchitecture::Unknown;

    // The values of the running program: the processor it was built for and the system it runs on.
    static TPlatform current();
    static EArchitecture architectureFromBuildCpu(const QString& buildCpuArchitecture);
    static EOperatingSystem operatingSystemFrom(const QString& productType, const QString& kernelType);
};

// One build of a package; owns its package configuration.
struct TPackageBuild
{
    TPackageBuild() = default;
    TPackageBuild(const TPackageBuild&) = delete;
    TPackageBuild& operator=(const TPackageBuild&) = delete;
    ~TPackageBuild();

    // Takes ownership and deletes the configuration held before.
    void setConfiguration(TPackageConfigurationReader* newConfiguration);

    EOperatingSystem os = EOperatingSystem::Unknown;
    EArchitecture architecture = EArchitecture::Unknown;
    QUrl url;
    QUrl assetsUrl;
    TPackageConfigurationReader* configuration = nullptr;
};

class TPackage : public QObject
{
    Q_OBJECT

public:
    static constexpr int launcherPackageIndex = 2147483647;

    TPackage(int index, const QJsonObject& package, const TLauncherConfigurationReader& reader);
    ~TPackage() override;

    // The first build for this machine, or null. A game package whose folder name would leave the packages
    // folder, or names the folder of an earlier package, has none, so it is never installed or removed.
    TPackageBuild* currentPlatformBuild() const;
    TPackageBuild* platformBuild(const TPlatform& platform) const;
    TPackageConfigurationReader* packageConfiguration() const;

    bool hasContainedDirectoryName() const;

    // Stores the status and emits localPackageStatusChanged only when it differs from the stored one.
    void setLocalStatus(ELocalPackageStatus status);

    int index = 0;
    QString name;
    QString directoryName;
    QUrl logoLinkTarget;
    bool installAutomatically = false;
    bool isUpToDate = false;
    bool isDefaultClient = false;
    bool maintenanceActive = false;
    QDateTime maintenanceEstimatedEnd;
    std::vector<TPackageBuild*> builds;
    ELocalPackageStatus localStatus = ELocalPackageStatus::Unknown;
    // The name of the earlier package whose installation folder this one names; empty when none.
    QString sharedFolderWith;

signals:
    void localPackageStatusChanged();
};

} // namespace korvane::launcher
