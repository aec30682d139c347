#pragma once

#include <QByteArray>
#include <QMap>
#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>
#include <QUrl>
#include <QVariant>

namespace korvane::test {

// A private machine for launcher runs: HOME, the XDG folders and TMPDIR below one temporary folder, and a
// copy of the launcher binary with its own launchersettings.ini. The single-instance segment is keyed by
// a file in TMPDIR, so launchers of different sandboxes never see each other, nor a launcher of the
// machine, and process tests may run in parallel.
class TLauncherSandbox
{
public:
    // The shipped settings with the configuration address on a closed loopback port, so no run leaves
    // the machine.
    static QByteArray defaultSettings();
    // The default settings with the configuration on the given address and the given keys set to the
    // given values ("retries" to "0"); a key the settings do not have ends the test program.
    static QByteArray settingsFor(const QUrl& configurationUrl, const QMap<QByteArray, QByteArray>& values = {});

    explicit TLauncherSandbox(const QByteArray& settings = defaultSettings());
    // Releases a segment left by a killed launcher of this sandbox.
    ~TLauncherSandbox();
    TLauncherSandbox(const TLauncherSandbox&) = delete;
    TLauncherSandbox& operator=(const TLauncherSandbox&) = delete;

    bool isValid() const { return valid; }
    QString root() const { return folder.path(); }
    QString homeFolder() const { return root() + QStringLiteral("/home"); }
    QString dataHome() const { return root() + QStringLiteral("/data"); }
    QString configHome() const { return root() + QStringLiteral("/config"); }
    QString cacheHome() const { return root() + QStringLiteral("/cache"); }
    QString runtimeFolder() const { return root() + QStringLiteral("/runtime"); }
    QString temporaryFolder() const { return root() + QStringLiteral("/tmp"); }
    QString binaryFolder() const { return root() + QStringLiteral("/bin"); }
    QString launcherPath() const;

    // The launcher's writable application data location and its log file.
    QString appDataFolder() const;
    QString logFilePath() const;
    QByteArray readLog() const;

    void writeSettings(const QByteArray& settings);
    // Places a compiled catalogue next to the binary as launcher.<language>.qm.
    bool installCatalogue(const QString& qmPath, const QString& language);
    // A value in the launcher's native preference store.
    void storePreference(const QString& key, const QVariant& value);

    // The test's environment with the sandbox folders, the offscreen platform and a neutral locale.
    QProcessEnvironment environment() const;

    // Removes the single-instance segment when no process is attached to it any more.
    void releaseInstanceSegment() const;

private:
    QTemporaryDir folder;
    bool valid = false;
};

} // namespace korvane::test
