#include "support/launchersandbox.h"

#include "core/launcherconstants.h"
#include "shared/firstinstancetester.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QSharedMemory>
#include <QThread>

#include <algorithm>

namespace korvane::test {

QByteArray TLauncherSandbox::defaultSettings()
{
    QFile shipped(QStringLiteral(":/settings/launchersettings.ini"));
    if (!shipped.open(QIODevice::ReadOnly))
        return {};
    QByteArray settings = shipped.readAll();
    settings.replace(
        "https://cdn.korvane.example/launcher/dulmetadata.json", "http://127.0.0.1:1/launcher/dulmetadata.json");
    // The IPv4 mode probes public resolvers; no test may leave the machine.
    settings.replace("ipV4Mode=true", "ipV4Mode=false");
    return settings;
}

QByteArray TLauncherSandbox::settingsFor(const QUrl& configurationUrl, const QMap<QByteArray, QByteArray>& values)
{
    QByteArray settings = defaultSettings();
    settings.replace("http://127.0.0.1:1/launcher/dulmetadata.json", configurationUrl.toEncoded());
    QList<QByteArray> lines = settings.split('\n');
    for (auto value = values.begin(); value != values.end(); ++value) {
        const QByteArray assignment = value.key() + '=';
        const auto line = std::find_if(
            lines.begin(), lines.end(), [&](const QByteArray& text) { return text.startsWith(assignment); });
        if (line == lines.end())
            qFatal("The launcher's settings have no key %s", value.key().constData());
        *line = assignment + value.value();
    }
    return lines.join('\n');
}

TLauncherSandbox::TLauncherSandbox(const QByteArray& settings)
{
    if (!folder.isValid())
        return;
    QDir rootFolder(folder.path());
    for (const char* name : { "home", "data", "config", "cache", "runtime", "tmp", "bin" }) {
        if (!rootFolder.mkpath(QString::fromLatin1(name)))
            return;
    }
    // The framework refuses a runtime folder that others may enter.
    QFile::setPermissions(runtimeFolder(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (!QFile::copy(QStringLiteral(KORVANE_LAUNCHER_BINARY), launcherPath()))
        return;
    writeSettings(settings);
    valid = true;
}

TLauncherSandbox::~TLauncherSandbox()
{
    releaseInstanceSegment();
}

QString TLauncherSandbox::launcherPath() const
{
    return binaryFolder() + QLatin1Char('/') + QFileInfo(QStringLiteral(KORVANE_LAUNCHER_BINARY)).fileName();
}

QString TLauncherSandbox::appDataFolder() const
{
    return dataHome() + QLatin1Char('/') + launcher::organisationName + QLatin1Char('/') + launcher::applicationName;
}

QString TLauncherSandbox::logFilePath() const
{
    return appDataFolder() + QLatin1Char('/') + QFileInfo(launcherPath()).fileName() + QStringLiteral(".log");
}

QByteArray TLauncherSandbox::readLog() const
{
    QFile log(logFilePath());
    if (!log.open(QIODevice::ReadOnly))
        return {};
    return log.readAll();
}

void TLauncherSandbox::writeSettings(const QByteArray& settings)
{
    QFile file(binaryFolder() + QLatin1Char('/') + launcher::settingsFileName);
    if (file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        file.write(settings);
}

bool TLauncherSandbox::installCatalogue(const QString& qmPath, const QString& language)
{
    const QString target = binaryFolder() + QStringLiteral("/launcher.%1.qm").arg(language);
    QFile::remove(target);
    return QFile::copy(qmPath, target);
}

void TLauncherSandbox::storePreference(const QString& key, const QVariant& value)
{
    // The native store of the launcher's preferences on this platform is this INI file.
    QSettings store(configHome() + QLatin1Char('/') + launcher::preferencesOrganisation + QLatin1Char('/')
            + launcher::preferencesApplication + QStringLiteral(".conf"),
        QSettings::IniFormat);
    store.setValue(key, value);
    store.sync();
}

QProcessEnvironment TLauncherSandbox::environment() const
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    for (const QString& name : environment.keys()) {
        if (name.startsWith(QLatin1String("LC_")) || name == QLatin1String("LANG") || name == QLatin1String("LANGUAGE"))
            environment.remove(name);
    }
    environment.insert(QStringLiteral("LANG"), QStringLiteral("C.UTF-8"));
    environment.insert(QStringLiteral("HOME"), homeFolder());
    environment.insert(QStringLiteral("XDG_DATA_HOME"), dataHome());
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome());
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), cacheHome());
    environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtimeFolder());
    environment.insert(QStringLiteral("TMPDIR"), temporaryFolder());
    environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    environment.insert(QStringLiteral("QT_FORCE_STDERR_LOGGING"), QStringLiteral("1"));
    return environment;
}

void TLauncherSandbox::releaseInstanceSegment() const
{
    if (!valid)
        return;
    // The segment's key file lies in TMPDIR; point the framework there for this one look-up.
    const QByteArray savedTemporaryFolder = qgetenv("TMPDIR");
    const bool hadTemporaryFolder = qEnvironmentVariableIsSet("TMPDIR");
    qputenv("TMPDIR", QFile::encodeName(temporaryFolder()));
    // A launcher killed a moment ago may still count as attached; the segment goes with the last detach,
    // and a later sandbox whose key file gets the same inode would otherwise find it and think a
    // launcher runs.
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 3000) {
        QSharedMemory segment(QString::fromLatin1(shared::FirstInstanceTester::key));
        if (!segment.attach(QSharedMemory::ReadOnly))
            break;
        segment.detach();
        QThread::msleep(20);
    }
    if (hadTemporaryFolder)
        qputenv("TMPDIR", savedTemporaryFolder);
    else
        qunsetenv("TMPDIR");
}

} // namespace korvane::test
