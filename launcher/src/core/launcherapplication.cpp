#include "core/launcherapplication.h"

#include "core/accountgroupkey.h"
#include "core/cloudflarecdntrace.h"
#include "core/gameclientstarter.h"
#include "core/languagechoice.h"
#include "core/launcherconfigurationhandler.h"
#include "core/launcherconfigurationreader.h"
#include "core/launcherconstants.h"
#include "core/launcherfilesystemhelper.h"
#include "core/launcherselfupdater.h"
#include "core/launchersettings.h"
#include "core/package.h"
#include "installation/installationmanager.h"
#include "shared/downloadpool.h"
#include "shared/jsondocumenthttppostsender.h"
#include "shared/networkaccessmanagerwrapper.h"
#include "shared/translationmanager.h"
#include "systemsurvey/systemsurveyasjsondocumentcreator.h"
#include "systemsurvey/systemsurveycreator.h"
#include "systemsurvey/systemsurveytojsonconverter.h"
#include "systemsurvey/systemsurveyuploader.h"
#include "systemsurvey/systemsurveyvalueretriever.h"
#include "ui/launchermainwindow.h"

#include <QDateTime>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QPixmap>
#include <QPushButton>
#include <QScopeGuard>
#include <QSplashScreen>
#include <QStandardPaths>
#include <QThread>

#include <filesystem>

namespace korvane::launcher {

namespace {

constexpr int applicationPoolDownloads = 6;
// How long the end of a run waits for funnel posts still under way.
constexpr int funnelExitWaitMs = 3000;

} // namespace

TLauncherApplication::TLauncherApplication(int& argc, char** argv)
    : QApplication(argc, argv)
    , networkAccessManager(std::make_shared<QNetworkAccessManager>())
    , installationNetworkAccessManager(std::make_shared<QNetworkAccessManager>())
    , downloadPool(std::make_shared<shared::TDownloadPool>(
          applicationPoolDownloads, std::make_shared<shared::QNetworkAccessManagerWrapper>(networkAccessManager), true))
    , filesystemHelper(std::make_shared<TLauncherFilesystemHelper>())
    , translationManager(std::make_shared<shared::TTranslationManager>())
    , cdnTrace(std::make_shared<TCloudflareCdnTrace>(filesystemHelper->getLauncherSettings()->cdnDiagnosticsTrace,
          downloadPool, filesystemHelper->getLauncherSettings()->retries,
          filesystemHelper->getLauncherSettings()->configurationTransportTimeOut))
    , configurationHandler(std::make_unique<TLauncherConfigurationHandler>(
          downloadPool, filesystemHelper, filesystemHelper->getLauncherSettings()->launcherConfiguration))
    , selfUpdater(std::make_unique<TLauncherSelfUpdater>(installationNetworkAccessManager, filesystemHelper))
    , firstLaunchOption({ QStringLiteral("l"), QStringLiteral("first-launch") },
          QStringLiteral("Automatically download default packages when starting up."))
    , skipSelfUpdateOption({ QStringLiteral("s"), skipSelfUpdateOptionName },
          QStringLiteral("Do not perform self-update check on launch."))
    , showUiOption({ QStringLiteral("u"), QStringLiteral("show-ui") },
          QStringLiteral("Show list of available packages after intial checks."))
    , patchOption({ QStringLiteral("p"), QStringLiteral("patch") },
          QStringLiteral("Start update of <patchexecutable> without user interaction."),
          QStringLiteral("patchexecutable"))
    , emulateMaintenanceOption({ QStringLiteral("m"), QStringLiteral("emulate-maintenance") },
          QStringLiteral("Show maintenance mode on startup. Reverts to real state after refresh."))
    , funnelUuidKey(QStringLiteral("FunnelUuid"))
{
    commandLineParser.addOption(firstLaunchOption);
    commandLineParser.addOption(skipSelfUpdateOption);
    commandLineParser.addOption(showUiOption);
    commandLineParser.addOption(patchOption);
    commandLineParser.addOption(emulateMaintenanceOption);
}

TLauncherApplication::~TLauncherApplication()
{
    if (instance == this)
        instance = nullptr;
}

void TLauncherApplication::chooseLanguage()
{
    translationManager->loadTranslation(korvane::launcher::chooseLanguage(readStoredLanguage(), QLocale::system()));
}

void TLauncherApplication::armSplashTimer()
{
    splashTimer.setSingleShot(true);
    splashTimer.setInterval(
        std::chrono::milliseconds(filesystemHelper->getLauncherSettings()->waitNotificationTimeout));
    connect(&splashTimer, &QTimer::timeout, this, &TLauncherApplication::showSplashScreen);
}

void TLauncherApplication::readAccountGroupKey()
{
    accountGroupKey = korvane::launcher::readAccountGroupKey(*filesystemHelper);
}

void TLauncherApplication::armExitDelayTimer()
{
    exitDelayTimer.setSingleShot(false);
    exitDelayTimer.setInterval(200);
    connect(&exitDelayTimer, &QTimer::timeout, this, &TLauncherApplication::onExitDelayTimerExpired);
}

void TLauncherApplication::connectComponents()
{
    TLauncherConfigurationHandler* handler = configurationHandler.get();
    connect(handler, &TLauncherConfigurationHandler::mainConfigurationLoaded, this,
        &TLauncherApplication::onMainConfigurationLoaded);
    connect(handler, &TLauncherConfigurationHandler::mainConfigurationDownloadFailed, this,
        &TLauncherApplication::onMainConfigurationDownloadFailed);
    connect(handler, &TLauncherConfigurationHandler::diskAccessFailed, this, &TLauncherApplication::onDiskAccessFailed);
    connect(handler, &TLauncherConfigurationHandler::packageConfigurationDownloadsFinished, this,
        &TLauncherApplication::onPackageConfigurationDownloadsFinished);
    connect(selfUpdater.get(), &TLauncherSelfUpdater::updateDownloadFinishedAndRestartRequired, this,
        &TLauncherApplication::restartAfterSelfUpdate);
    connect(
        selfUpdater.get(), &TLauncherSelfUpdater::updateFailed, this, &TLauncherApplication::onLauncherReadyForAction);
    connect(
        selfUpdater.get(), &TLauncherSelfUpdater::diskAccessFailed, this, &TLauncherApplication::onDiskAccessFailed);
    // Closing the window ends the run too, but not before the funnel posts under way are through.
    setQuitOnLastWindowClosed(false);
    // An end already under way (an error's exit code) keeps its own action.
    connect(this, &QGuiApplication::lastWindowClosed, this, [this] {
        if (!exitDelayTimer.isActive())
            leaveAfterFunnelPosts([] { return 0; });
    });
}

void TLauncherApplication::parseCommandLine(const QStringList& arguments)
{
    // parse() rather than process(): a bad command line must neither print nor exit.
    commandLineParser.parse(arguments);
}

void TLauncherApplication::loadConfiguration()
{
    const TLauncherSettings& settings = *filesystemHelper->getLauncherSettings();
    if (!settings.missingKeys.isEmpty())
        qWarning() << "The settings file lacks" << settings.missingKeys.join(QStringLiteral(", "))
                   << "; the shipped values are used";
    for (const QString& adjustment : settings.adjustments)
        qWarning() << "Settings:" << adjustment;
    const QStringList refused = settings.refusedNames();
    if (!refused.isEmpty()) {
        const QString message
            = QStringLiteral("The settings name unusable folders or files: %1").arg(refused.join(QStringLiteral(", ")));
        qCritical() << message;
        // Nothing has been requested or written yet; the box needs the event loop.
        QMetaObject::invokeMethod(
            this, [this, message] { onDiskAccessFailed(message); }, Qt::QueuedConnection);
        return;
    }
    configurationHandler->loadConfiguration();
    splashTimer.start();
}

void TLauncherApplication::onMainConfigurationLoaded()
{
    const std::shared_ptr<TLauncherConfigurationReader> configuration = configurationHandler->configuration;
    if (configuration && configuration->hardwareSurveyUrl.isValid())
        startSurveyUpload(configuration->hardwareSurveyUrl);
    configurationHandler->startPackageConfigurationDownloads();
    linkExecutableInDataLocation();
}

void TLauncherApplication::startSurveyUpload(const QUrl& surveyUrl)
{
    auto retriever = std::make_shared<systemsurvey::TSystemSurveyValueRetriever>();
    auto surveyCreator = std::make_shared<systemsurvey::TSystemSurveyCreator>(retriever);
    auto converter = std::make_shared<systemsurvey::TSystemSurveyToJsonConverter>();
    auto documentCreator = std::make_shared<systemsurvey::TSystemSurveyAsJsonDocumentCreator>(surveyCreator, converter);
    auto sender = std::make_shared<shared::TJsonDocumentHttpPostSender>();
    surveyUploader = std::make_unique<systemsurvey::TSystemSurveyUploader>(sender, surveyUrl, documentCreator);
    surveyUploader->uploadSurvey();
}

void TLauncherApplication::linkExecutableInDataLocation()
{
    const QString executable = QFileInfo(QCoreApplication::applicationFilePath()).absoluteFilePath();
    const QString linkPath = filesystemHelper->joinPath(
        { QDir(QStandardPaths::writableLocation(QStandardPaths::AppDataLocation)).absolutePath(),
            QFileInfo(executable).fileName() });
    const QFileInfo link(linkPath);
    // A live link is kept, wherever it points.
    if (link.isSymLink() && link.exists())
        return;
    // A launcher started from the data location itself finds its own executable here.
    std::error_code error;
    if (std::filesystem::equivalent(
            QFile::encodeName(linkPath).toStdString(), QFile::encodeName(executable).toStdString(), error))
        return;
    // Only a dangling link or a plain file is replaced; a folder is left alone.
    if (link.exists() && !link.isFile())
        return;
    QFile::remove(linkPath);
    QFile::link(executable, linkPath);
}

void TLauncherApplication::onMainConfigurationDownloadFailed()
{
    splashTimer.stop();
    if (splashScreen)
        splashScreen->hide();
    qCritical() << "No launcher configuration available";
    QMessageBox box(QMessageBox::Information, qtTrId("launcher.error.maintenance_title"),
        qtTrId("launcher.error.maintenance_text"), QMessageBox::Close);
    runMessageBox(box);
    leaveAfterFunnelPosts([] { return 1; });
}

void TLauncherApplication::onDiskAccessFailed(const QString& ErrorMessage)
{
    splashTimer.stop();
    if (splashScreen)
        splashScreen->hide();
    qCritical() << "Disk access failed:" << ErrorMessage;
    QMessageBox box(QMessageBox::Critical, qtTrId("launcher.error.critical_title"),
        shared::translatedText("launcher.error.disk_access_failed", ErrorMessage), QMessageBox::Ok);
    runMessageBox(box);
    leaveAfterFunnelPosts([] { return 1; });
}

void TLauncherApplication::onPackageConfigurationDownloadsFinished()
{
    try {
        if (!commandLineParser.isSet(skipSelfUpdateOption)
            && selfUpdater->checkForUpdate(
                configurationHandler->configuration, configurationHandler->isLoadedFromCache())) {
            if (splashScreen) {
                splashScreen->close();
                QCoreApplication::processEvents();
            }
            splashScreen = std::make_unique<QSplashScreen>(QPixmap(TLauncherSelfUpdater::splashImage));
            splashScreen->show();
            QCoreApplication::processEvents();
            splashTimer.stop();
            // No launch decision now: one of the self-updater's signals follows.
            return;
        }
        cleanupOldLauncherVersion();
        onLauncherReadyForAction();
    } catch (const std::runtime_error& e) {
        onDiskAccessFailed(QString::fromUtf8(e.what()));
    }
}

void TLauncherApplication::restartAfterSelfUpdate()
{
    // The restarted launcher waits for this one's single-instance segment, so the posts go first.
    leaveAfterFunnelPosts([this] { return selfUpdater->restart(QCoreApplication::arguments()) ? 0 : 1; });
}

void TLauncherApplication::cleanupOldLauncherVersion()
{
    qInfo() << "cleanupOldLauncherVersion"
            << " Thread: " << QThread::currentThreadId();
    TLauncherSelfUpdater::removeLeftovers(QDir(QCoreApplication::applicationDirPath()), *filesystemHelper);
}

void TLauncherApplication::onLauncherReadyForAction()
{
    qInfo() << "onLauncherReadyForAction"
            << " Thread: " << QThread::currentThreadId();
    try {
        const std::shared_ptr<TLauncherConfigurationReader>& configuration = configurationHandler->configuration;
        if (!configuration)
            return;
        auto manager
            = std::make_unique<TInstallationManager>(configuration, installationNetworkAccessManager, filesystemHelper);
        // A manager whose installations still run lives on until they have ended.
        TInstallationManager::retire(std::move(installationManager));
        installationManager = std::move(manager);
        // The window follows the installations of every new manager, not only of the first one.
        if (mainWindow)
            mainWindow->connectInstallationManager(installationManager.get());
        // What the manager read to tell the packages' status serves the installations started below.
        const auto forget = qScopeGuard([this] {
            if (installationManager)
                installationManager->forgetStatusReads();
        });

        std::vector<std::shared_ptr<TPackage>> forced;
        for (const std::shared_ptr<TPackage>& package : configuration->packagesWithConfiguration()) {
            const QString marker = filesystemHelper->pathInsideFolder(
                installationManager->installationDirectory(package), forcePatchName);
            if (filesystemHelper->fileExists(marker)) {
                filesystemHelper->deleteFile(marker);
                forced.push_back(package);
            }
        }

        connect(installationManager.get(), &TInstallationManager::allStartedUpdatesFinished, this,
            &TLauncherApplication::onAllStartedUpdatesFinished);
        connect(installationManager.get(), &TInstallationManager::diskAccessFailed, this,
            &TLauncherApplication::onDiskAccessFailed);

        splashTimer.stop();
        if (splashScreen)
            splashScreen->hide();

        const QString patch = patchValue();
        if (commandLineParser.isSet(firstLaunchOption)) {
            showMainWindow();
            bool defaultChosen = false;
            for (const std::shared_ptr<TPackage>& package : configuration->packages) {
                if (!package->installAutomatically)
                    continue;
                installationManager->installOrUpdatePackage(package);
                // A package without a build for this system, or with a refused folder name, can never
                // be started here.
                if (!defaultChosen && package->currentPlatformBuild()) {
                    makeDefaultClient(package);
                    defaultChosen = true;
                }
            }
        } else if (!patch.isEmpty() || !forced.empty()) {
            // An empty value would match a package that names no executable.
            const std::shared_ptr<TPackage> patched
                = patch.isEmpty() ? nullptr : installationManager->findPackageByExecutablePath(patch);
            showMainWindow();
            if (patched)
                forced.push_back(patched);
            if (forced.empty()) {
                QMessageBox box(QMessageBox::Information, qtTrId("launcher.error.patching_title"),
                    qtTrId("launcher.error.patching_text"), QMessageBox::Ok, mainWindow.get());
                runMessageBox(box);
            } else {
                for (const std::shared_ptr<TPackage>& package : forced)
                    installationManager->installOrUpdatePackage(package);
            }
        } else if (commandLineParser.isSet(showUiOption)) {
            showMainWindow();
        } else {
            const std::shared_ptr<TPackage> client = installationManager->defaultClientPackage();
            if (!client || client->maintenanceActive || client->localStatus != ELocalPackageStatus::UpToDate)
                showMainWindow();
            else
                startPackageAndExit(client);
        }
    } catch (const std::runtime_error& e) {
        onDiskAccessFailed(QString::fromUtf8(e.what()));
    }
}

void TLauncherApplication::makeDefaultClient(const std::shared_ptr<TPackage>& package)
{
    for (const std::shared_ptr<TPackage>& other : configurationHandler->configuration->packages) {
        // A package whose folder would lie outside the packages folder has no folder to touch.
        if (!other->hasContainedDirectoryName())
            continue;
        other->setLocalStatus(installationManager->localPackageStatus(other));
        filesystemHelper->removePath(
            filesystemHelper->pathInsideFolder(installationManager->installationDirectory(other), defaultName));
        other->isDefaultClient = false;
    }
    filesystemHelper->writeFileCreatingFolder(
        filesystemHelper->pathInsideFolder(installationManager->installationDirectory(package), defaultName), {});
    package->isDefaultClient = true;
}

QString TLauncherApplication::patchValue() const
{
    return commandLineParser.isSet(patchOption) ? commandLineParser.value(patchOption) : QString();
}

void TLauncherApplication::onAllStartedUpdatesFinished()
{
    try {
        const std::shared_ptr<TLauncherConfigurationReader>& configuration = configurationHandler->configuration;
        if (configuration && configuration->preventDefaultAutostart)
            return;
        if (!installationManager)
            return;
        if (commandLineParser.isSet(firstLaunchOption)) {
            const std::shared_ptr<TPackage> client = installationManager->defaultClientPackage();
            if (client && !client->maintenanceActive && client->localStatus == ELocalPackageStatus::UpToDate) {
                startPackageAndExit(client);
                return;
            }
        }
        const QString patch = patchValue();
        if (!patch.isEmpty()) {
            const std::shared_ptr<TPackage> patched = installationManager->findPackageByExecutablePath(patch);
            if (patched && !patched->maintenanceActive)
                startPackageAndExit(patched);
        }
    } catch (const std::runtime_error& e) {
        onDiskAccessFailed(QString::fromUtf8(e.what()));
    }
}

void TLauncherApplication::onClientStartOrInstallTriggeredFromUI(const std::shared_ptr<TPackage>& package)
{
    try {
        if (package->maintenanceActive || !installationManager)
            return;
        qInfo() << "onClientStartOrInstallTriggeredFromUI " << package->name
                << " Thread: " << QThread::currentThreadId();
        switch (package->localStatus) {
        case ELocalPackageStatus::UpToDate:
            startPackageAndExit(package);
            break;
        case ELocalPackageStatus::NotInstalled:
        case ELocalPackageStatus::PartiallyInstalled:
        case ELocalPackageStatus::UpdateAvailable:
            installationManager->installOrUpdatePackage(package);
            break;
        case ELocalPackageStatus::Unknown:
            break;
        }
    } catch (const std::runtime_error& e) {
        onDiskAccessFailed(QString::fromUtf8(e.what()));
    }
}

void TLauncherApplication::onClientVerifyTriggeredFromUI(const std::shared_ptr<TPackage>& package)
{
    try {
        qInfo() << "onClientVerifyTriggeredFromUI " << package->name << " Thread: " << QThread::currentThreadId();
        if (package->localStatus != ELocalPackageStatus::UpToDate || !installationManager)
            return;
        installationManager->verifyPackage(package);
    } catch (const std::runtime_error& e) {
        onDiskAccessFailed(QString::fromUtf8(e.what()));
    }
}

void TLauncherApplication::onClientUninstallTriggeredFromUI(const std::shared_ptr<TPackage>& package)
{
    try {
        qInfo() << "onClientUninstallTriggeredFromUI " << package->name << " Thread: " << QThread::currentThreadId();
        if (package->localStatus != ELocalPackageStatus::UpToDate || !installationManager)
            return;
        QMessageBox box(QMessageBox::Question, qtTrId("launcher.action.uninstall"),
            shared::translatedText("launcher.uninstall.confirm_text", package->name), QMessageBox::NoButton,
            mainWindow.get());
        QPushButton* yes = box.addButton(qtTrId("launcher.uninstall.yes"), QMessageBox::YesRole);
        QPushButton* no = box.addButton(qtTrId("launcher.uninstall.no"), QMessageBox::NoRole);
        box.setDefaultButton(no);
        runMessageBox(box);
        if (box.clickedButton() != yes)
            return;
        const QDir folder = installationManager->installationDirectory(package);
        if (folder.exists())
            filesystemHelper->removePath(folder.absolutePath());
        // What is left in the folder decides, so a removal that stopped half way is not called done.
        package->setLocalStatus(installationManager->localPackageStatus(package));
        if (folder.exists())
            qWarning() << "Uninstall of " << package->name << " incomplete, left: " << folder.absolutePath();
        else
            qInfo() << "Uninstalled package: " << package->name;
    } catch (const std::runtime_error& e) {
        onDiskAccessFailed(QString::fromUtf8(e.what()));
    }
}

void TLauncherApplication::onMaintenanceStateChanged() { }

void TLauncherApplication::showMainWindow()
{
    if (mainWindow) {
        mainWindow->show();
        return;
    }
    const std::shared_ptr<TLauncherConfigurationReader> configuration = configurationHandler->configuration;
    auto window = std::make_unique<TLauncherMainWindow>(
        filesystemHelper, configuration, networkAccessManager, downloadPool, cdnTrace, translationManager);
    window->connectInstallationManager(installationManager.get());
    TLauncherMainWindow::sendLauncherStartedFunnelEvent();
    mainWindow = std::move(window);
    const TLauncherSettings& settings = *filesystemHelper->getLauncherSettings();
    if (configuration && configuration->hintsUrl.isValid())
        configurationHandler->downloadPool->Download(
            configuration->hintsUrl, settings.retries, settings.configurationTransportTimeOut);
    connect(configurationHandler.get(), &TLauncherConfigurationHandler::hintsAreaDataReceived, mainWindow.get(),
        &TLauncherMainWindow::setHints);
    connect(mainWindow.get(), &TLauncherMainWindow::clientPackageButtonClicked, this,
        &TLauncherApplication::onClientStartOrInstallTriggeredFromUI);
    connect(mainWindow.get(), &TLauncherMainWindow::clientPackageVerifyButtonClicked, this,
        &TLauncherApplication::onClientVerifyTriggeredFromUI);
    connect(mainWindow.get(), &TLauncherMainWindow::clientPackageUninstallButtonClicked, this,
        &TLauncherApplication::onClientUninstallTriggeredFromUI);
    connect(configurationHandler.get(), &TLauncherConfigurationHandler::maintenanceStateChanged, mainWindow.get(),
        &TLauncherMainWindow::onMaintenanceStateChanged);
    connect(configurationHandler.get(), &TLauncherConfigurationHandler::maintenanceStateChanged, this,
        &TLauncherApplication::onMaintenanceStateChanged);
    if (configuration && commandLineParser.isSet(emulateMaintenanceOption))
        TLauncherMainWindow::emulateMaintenance(*configuration, QDateTime::currentDateTimeUtc());
    mainWindow->onMaintenanceStateChanged();
    configurationHandler->maintenanceRefreshTimer.start();
    mainWindow->show();
}

void TLauncherApplication::startPackageAndExit(const std::shared_ptr<TPackage>& package)
{
    qInfo() << "startPackageAndExit" << package->name << " Thread: " << QThread::currentThreadId();
    if (!installationManager)
        return;
    const TClientStart start = TGameClientStarter::describe(*installationManager, package);
    TGameClientStarter::checkSettingsFile(start.settingsFilePath);
    if (start.program.isEmpty()) {
        // Nothing to start; without a window the run would wait for nothing and block every later start.
        if (!mainWindow || !mainWindow->isVisible())
            showMainWindow();
        return;
    }
    if (!TGameClientStarter::startDetached(start)) {
        qCritical() << "Could not start the client:" << start.program;
        leaveAfterFunnelPosts([] { return 1; });
        return;
    }
    qInfo() << "Client started:" << start.program << start.arguments;
    if (mainWindow)
        mainWindow->close();
    leaveAfterFunnelPosts([] { return 0; });
}

void TLauncherApplication::runMessageBox(QMessageBox& box)
{
    qInfo() << "Message box:" << box.windowTitle() << box.text();
    if (messageBoxRunner) {
        messageBoxRunner(box);
        return;
    }
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return;
    box.exec();
}

void TLauncherApplication::showSplashScreen()
{
    if (splashScreen) {
        splashScreen->close();
        QCoreApplication::processEvents();
    }
    splashScreen = std::make_unique<QSplashScreen>(QPixmap(QStringLiteral(":/images/launcher/LauncherLogo_QT.png")));
    splashScreen->show();
    QCoreApplication::processEvents();
    splashTimer.stop();
}

void TLauncherApplication::leaveAfterFunnelPosts(std::function<int()> leave)
{
    leaveAction = std::move(leave);
    if (pendingFunnelRequests <= 0) {
        onExitDelayTimerExpired();
        return;
    }
    if (!exitDelayTimer.isActive()) {
        exitDeadline = QDeadlineTimer(funnelExitWaitMs);
        exitDelayTimer.start();
    }
    qInfo() << "Delaying exit, pending funnel requests:" << pendingFunnelRequests;
}

void TLauncherApplication::onExitDelayTimerExpired()
{
    if (pendingFunnelRequests > 0 && !exitDeadline.hasExpired()) {
        qInfo() << "Delaying exit, pending funnel requests:" << pendingFunnelRequests;
        return;
    }
    if (pendingFunnelRequests > 0)
        qWarning() << "Leaving with pending funnel requests:" << pendingFunnelRequests;
    exitDelayTimer.stop();
    const std::function<int()> leave = std::exchange(leaveAction, {});
    QCoreApplication::exit(leave ? leave() : 0);
}

} // namespace korvane::launcher
