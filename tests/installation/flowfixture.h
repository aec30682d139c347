#pragma once

// Published packages for the flow and end-to-end tests: content folders packed by tools/make-package,
// served by the loopback server, and a launcher configuration whose packages point at them.

#include "core/launcherconfigurationreader.h"
#include "core/launcherfilesystemhelper.h"
#include "core/package.h"
#include "core/packageconfigurationreader.h"
#include "installation/installationmanager.h"
#include "installation/packagefiledownloader.h"
#include "installation/packageinstallation.h"
#include "scanfixture.h"
#include "shared/sha256.h"
#include "support/loopbackserver.h"
#include "support/testfiles.h"

#include <QDirIterator>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QtTest>

namespace flowfixture {

using namespace korvane::launcher;
using korvane::test::TLoopbackServer;

using TTree = QMap<QString, QByteArray>;

inline void writeTree(const QDir& root, const TTree& files)
{
    for (auto it = files.begin(); it != files.end(); ++it)
        scanfixture::writeFile(root, it.key(), it.value());
}

// Every regular file below root, by relative path, markers included.
inline TTree readTree(const QDir& root)
{
    TTree files;
    QDirIterator it(root.absolutePath(), QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        QFile file(path);
        if (file.open(QIODevice::ReadOnly))
            files.insert(root.relativeFilePath(path), file.readAll());
    }
    return files;
}

// Publishes one release of the content as <served>/<release>/package/..., cut at content-defined points
// as the servers hold it, with the chunk bodies in the given packing of make-package.
inline bool publish(const QDir& served, const QString& release, const TTree& content, const QString& version,
    const TTree& assets = {}, const QString& assetVersion = QStringLiteral("7"), const QStringList& executables = {},
    const QString& packing = QStringLiteral("deflate"))
{
    const QString input = served.filePath(QStringLiteral("input-") + release);
    const QString assetInput = served.filePath(QStringLiteral("assets-") + release);
    QDir().mkpath(input);
    writeTree(QDir(input), content);
    for (const QString& name : executables) {
        const QString path = QDir(input).filePath(name);
        QFile::setPermissions(path, QFile::permissions(path) | QFileDevice::ExeOwner);
    }
    QStringList arguments { "--input", input, "--output", served.filePath(release), "--version", version,
        "--asset-version", assetVersion, "--content-defined", "--packing", packing };
    if (!assets.isEmpty()) {
        QDir().mkpath(assetInput);
        writeTree(QDir(assetInput), assets);
        arguments << "--asset-input" << assetInput;
    }
    QProcess process;
    process.start(QStringLiteral(KORVANE_MAKE_PACKAGE_BINARY), arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0) {
        qWarning() << "make-package failed:" << process.readAllStandardError();
        return false;
    }
    return true;
}

using korvane::test::readAll;

// Gives the package's build the configuration of a published release, as the configuration handler
// does after downloading it.
inline void load(TPackage& package, const TLoopbackServer& server, const QDir& served, const QString& release)
{
    const QString folder = served.filePath(release + QStringLiteral("/package"));
    const QUrl base = server.url(QStringLiteral("/") + release + QStringLiteral("/package/"));
    package.currentPlatformBuild()->setConfiguration(
        new TPackageConfigurationReader(readAll(folder + QStringLiteral("/package.json")),
            readAll(folder + QStringLiteral("/assets.json")), base, base));
}

// A launcher configuration with one package per name, each in the folder of the same name, built for
// this machine and without a package configuration yet.
inline std::shared_ptr<TLauncherConfigurationReader> launcherConfiguration(const QStringList& names)
{
    QJsonArray packages;
    for (const QString& name : names) {
        packages.append(QJsonObject { { "name", name }, { "directoryname", name },
            { "builds",
                QJsonArray { QJsonObject {
                    { "os", "linux" }, { "architecture", "x86_64" }, { "url", name + "/package/package.json" } } } } });
    }
    return std::make_shared<TLauncherConfigurationReader>(
        QUrl("http://127.0.0.1/"), QJsonDocument(QJsonObject { { "packages", packages } }).toJson());
}

// Records the funnel steps instead of posting them.
class TRecordingManager : public TInstallationManager
{
public:
    using TInstallationManager::TInstallationManager;
    QStringList steps;

protected:
    void sendFunnelStep(const QString& step, const QString& firstFlagKey) override
    {
        steps << step + QLatin1Char('|') + firstFlagKey;
    }
};

// Follows one manager: started and finished installations with their results as they were at the finish.
struct TFinishes
{
    explicit TFinishes(TInstallationManager& manager)
    {
        QObject::connect(&manager, &TInstallationManager::installationOrUpdateStarted,
            [this](const TPackageInstallation& installation) { started << installation.getPackage()->name; });
        QObject::connect(&manager, &TInstallationManager::installationOrUpdateFinished,
            [this](const TPackageInstallation& installation) {
                finished << installation.getPackage()->name;
                succeeded << installation.hasSucceeded();
                reasons << installation.getFinishReason();
            });
        QObject::connect(&manager, &TInstallationManager::allStartedUpdatesFinished, [this] { ++allFinished; });
    }
    QStringList started;
    QStringList finished;
    QList<bool> succeeded;
    QList<EPackageDownloaderError> reasons;
    int allFinished = 0;
};

} // namespace flowfixture
