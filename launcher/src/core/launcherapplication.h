#pragma once

#include <QApplication>
#include <QByteArray>
#include <QCommandLineOption>
#include <QCommandLineParser>
#include <QDeadlineTimer>
#include <QNetworkRequest>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <QUrl>

#include <functional>
#include <memory>
#include <vector>

class QMessageBox;
class QNetworkAccessManager;
class QNetworkReply;
class QSplashScreen;

namespace shared {
class TDownloadPool;
class TTranslationManager;
} // namespace shared

namespace systemsurvey {
class TSystemSurveyUploader;
} // namespace systemsurvey

namespace korvane::launcher {

class TCloudflareCdnTrace;
class TInstallationManager;
class TLauncherConfigurationHandler;
class TLauncherFilesystemHelper;
class TLauncherSelfUpdater;
class TPackage;
class TLauncherMainWindow;

// The composition root: creates and owns every long-lived component of the run. No component is a Qt
// child of it; members are destroyed in reverse order after the event loop has ended.
class TLauncherApplication : public QApplication
{
public:
    // Set by start-up before any component runs; components call back through it.
    static inline TLauncherApplication* instance = nullptr;

    // Runs one message box and returns once it is closed.
    using TMessageBoxRunner = std::function<void(QMessageBox& box)>;

    TLauncherApplication(int& argc, char** argv);
    ~TLauncherApplication() override;

    // Start-up steps, called in this order by launcherMain.
    void chooseLanguage();
    void armSplashTimer();
    void readAccountGroupKey();
    void armExitDelayTimer();
    void connectComponents();
    // Unknown options and positional arguments are ignored; there is no help and no error exit.
    void parseCommandLine(const QStringList& arguments);
    // Reports what the settings file lacked, then makes the first configuration request; the splash
    // appears if no decision comes in time. Settings with a refused name end the run instead, before
    // any request or file operation.
    void loadConfiguration();

    // Reactions to the configuration handler.
    void onMainConfigurationLoaded();
    void onMainConfigurationDownloadFailed();
    void onDiskAccessFailed(const QString& ErrorMessage);
    void onPackageConfigurationDownloadsFinished();
    void onLauncherReadyForAction();
    void onAllStartedUpdatesFinished();
    // Ends the run once the updated launcher has been started again.
    void restartAfterSelfUpdate();

    // Requests of the window's package rows.
    void onClientStartOrInstallTriggeredFromUI(const std::shared_ptr<TPackage>& package);
    void onClientVerifyTriggeredFromUI(const std::shared_ptr<TPackage>& package);
    void onClientUninstallTriggeredFromUI(const std::shared_ptr<TPackage>& package);
    void onMaintenanceStateChanged();

    void showSplashScreen();
    // Ends the run once no funnel post is pending, or once the wait for them has run out.
    void onExitDelayTimerExpired();
    // Every end of the run goes through here: the funnel posts still under way are given a few seconds,
    // then `leave` runs and its result ends the event loop. A later call replaces the action.
    void leaveAfterFunnelPosts(std::function<int()> leave);
    // Builds the window once; later calls show it again.
    void showMainWindow();
    // Starts the package's game client detached; the run then ends.
    void startPackageAndExit(const std::shared_ptr<TPackage>& package);

    // Builds the survey chain, replacing any earlier uploader, and starts the upload.
    void startSurveyUpload(const QUrl& surveyUrl);
    // The link named like the executable in the data location.
    void linkExecutableInDataLocation();
    // Removes files an earlier self-update moved aside.
    void cleanupOldLauncherVersion();

    // The default shows the box modally; a run on the offscreen platform has nobody to close it, so
    // there it is only logged.
    void setMessageBoxRunner(TMessageBoxRunner runner) { messageBoxRunner = std::move(runner); }

    // Posts one analytics event to the configuration's funnel address, retrying failed posts. Virtual, so
    // that the installation engine and the main window, below the application, call it through instance
    // without linking the application's library.
    virtual void sendFunnelEvent(const QString& step, const QString& firstFlagKey);
    void postFunnelRequest(const QNetworkRequest& request, const QByteArray& body, const QString& step,
        const QString& firstFlagKey, bool first, int attemptsLeft);
    void onFunnelReplyFinished(QNetworkReply* reply, const QNetworkRequest& request, const QByteArray& body,
        const QString& step, const QString& firstFlagKey, bool first, int attemptsLeft);
    void retryFunnelRequest(const QNetworkRequest& request, const QByteArray& body, const QString& step,
        const QString& firstFlagKey, bool first, int attemptsLeft);

    const std::shared_ptr<QNetworkAccessManager>& getNetworkAccessManager() const { return networkAccessManager; }
    const std::shared_ptr<QNetworkAccessManager>& getInstallationNetworkAccessManager() const
    {
        return installationNetworkAccessManager;
    }
    const std::shared_ptr<shared::TDownloadPool>& getDownloadPool() const { return downloadPool; }
    const std::shared_ptr<TLauncherFilesystemHelper>& getFilesystemHelper() const { return filesystemHelper; }
    const std::shared_ptr<shared::TTranslationManager>& getTranslationManager() const { return translationManager; }
    const std::shared_ptr<TCloudflareCdnTrace>& getCdnTrace() const { return cdnTrace; }
    TLauncherConfigurationHandler* getConfigurationHandler() const { return configurationHandler.get(); }
    TInstallationManager* getInstallationManager() const { return installationManager.get(); }
    TLauncherMainWindow* getMainWindow() const { return mainWindow.get(); }
    const QCommandLineParser& getCommandLineParser() const { return commandLineParser; }
    const QCommandLineOption& getFirstLaunchOption() const { return firstLaunchOption; }
    const QCommandLineOption& getSkipSelfUpdateOption() const { return skipSelfUpdateOption; }
    const QCommandLineOption& getShowUiOption() const { return showUiOption; }
    const QCommandLineOption& getPatchOption() const { return patchOption; }
    const QCommandLineOption& getEmulateMaintenanceOption() const { return emulateMaintenanceOption; }
    const QTimer& getSplashTimer() const { return splashTimer; }
    const QTimer& getExitDelayTimer() const { return exitDelayTimer; }
    // Tests lengthen the poll to see that the last funnel answer, not the poll, ends the run.
    void setExitPollInterval(int milliseconds) { exitDelayTimer.setInterval(milliseconds); }
    const QString& getAccountGroupKey() const { return accountGroupKey; }
    int getPendingFunnelRequests() const { return pendingFunnelRequests; }
    const QString& getFunnelUuidKey() const { return funnelUuidKey; }

private:
    void makeDefaultClient(const std::shared_ptr<TPackage>& package);
    bool isLeaving() const { return bool(leaveAction); }
    void runMessageBox(QMessageBox& box);
    QString patchValue() const;

    // Shared services.
    std::shared_ptr<QNetworkAccessManager> networkAccessManager;
    // The chunk downloads of installations and self-updates. A manager opens few connections per host, and
    // the configuration, hints, trace and funnel requests must not wait behind an installation's.
    std::shared_ptr<QNetworkAccessManager> installationNetworkAccessManager;
    std::shared_ptr<shared::TDownloadPool> downloadPool;
    std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper;
    std::shared_ptr<shared::TTranslationManager> translationManager;
    std::shared_ptr<TCloudflareCdnTrace> cdnTrace;

    // Components with one owner.
    std::unique_ptr<TLauncherConfigurationHandler> configurationHandler;
    std::unique_ptr<TLauncherSelfUpdater> selfUpdater;
    std::unique_ptr<TInstallationManager> installationManager;
    std::unique_ptr<systemsurvey::TSystemSurveyUploader> surveyUploader;
    std::unique_ptr<TLauncherMainWindow> mainWindow;
    std::unique_ptr<QSplashScreen> splashScreen;

    // Command line.
    QCommandLineParser commandLineParser;
    QCommandLineOption firstLaunchOption;
    QCommandLineOption skipSelfUpdateOption;
    QCommandLineOption showUiOption;
    QCommandLineOption patchOption;
    QCommandLineOption emulateMaintenanceOption;

    QTimer splashTimer;
    QTimer exitDelayTimer;

    QString accountGroupKey;
    int pendingFunnelRequests = 0;
    QString funnelUuidKey;

    // Set while the run is ending: what runs last, and until when the funnel posts are waited for.
    std::function<int()> leaveAction;
    QDeadlineTimer exitDeadline { QDeadlineTimer::Forever };

    TMessageBoxRunner messageBoxRunner;
};

} // namespace korvane::launcher
