#include "core/launcherapplication.h"

#include "core/accountgroupkey.h"
#include "core/cloudflarecdntrace.h"
#include "core/languagechoice.h"
#include "core/launcherconfigurationhandler.h"
#include "core/launcherconstants.h"
#include "core/launcherfilesystemhelper.h"
#include "shared/downloadpool.h"
#include "shared/networkaccessmanagerwrapper.h"
#include "shared/translationmanager.h"

#include <QDebug>
#include <QLocale>
#include <QNetworkAccessManager>
#include <QPixmap>
#include <QSplashScreen>
#include <QThread>

namespace korvane::launcher {

namespace {

constexpr int applicationPoolDownloads = 6;

} // namespace

TLauncherApplication* TLauncherApplication::instance = nullptr;

TLauncherApplication::TLauncherApplication(int& argc, char** argv)
    : QApplication(argc, argv)
    , networkAccessManager(std::make_shared<QNetworkAccessManager>())
    , downloadPool(std::make_shared<shared::TDownloadPool>(
          applicationPoolDownloads, std::make_shared<shared::QNetworkAccessManagerWrapper>(networkAccessManager), true))
    , filesystemHelper(std::make_shared<TLauncherFilesystemHelper>())
    , translationManager(std::make_shared<shared::TTranslationManager>())
    , cdnTrace(std::make_shared<TCloudflareCdnTrace>(filesystemHelper->getLauncherSettings()->cdnDiagnosticsTrace,
          downloadPool, filesystemHelper->getLauncherSettings()->retries,
          filesystemHelper->getLauncherSettings()->configurationTransportTimeOut))
    , configurationHandler(std::make_unique<TLauncherConfigurationHandler>(
          downloadPool, filesystemHelper, filesystemHelper->getLauncherSettings()->launcherConfiguration))
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
}

void TLauncherApplication::parseCommandLine(const QStringList& arguments)
{
    // parse() rather than process(): a bad command line must neither print nor exit.
    commandLineParser.parse(arguments);
}

void TLauncherApplication::loadConfiguration()
{
    configurationHandler->loadConfiguration();
    splashTimer.start();
}

void TLauncherApplication::onMainConfigurationLoaded()
{
    configurationHandler->startPackageConfigurationDownloads();
}

void TLauncherApplication::onMainConfigurationDownloadFailed()
{
    splashTimer.stop();
    if (splashScreen)
        splashScreen->hide();
    qCritical() << "No launcher configuration available";
    QCoreApplication::exit(1);
}

void TLauncherApplication::onDiskAccessFailed(const QString& ErrorMessage)
{
    splashTimer.stop();
    if (splashScreen)
        splashScreen->hide();
    qCritical() << "Disk access failed:" << ErrorMessage;
    QCoreApplication::exit(1);
}

void TLauncherApplication::onPackageConfigurationDownloadsFinished()
{
    qInfo() << "onPackageConfigurationDownloadsFinished"
            << " Thread: " << QThread::currentThreadId();
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

void TLauncherApplication::onExitDelayTimerExpired()
{
    if (pendingFunnelRequests <= 0) {
        exitDelayTimer.stop();
        QCoreApplication::exit(0);
        return;
    }
    qInfo() << "Delaying exit, pending funnel requests:" << pendingFunnelRequests;
}

} // namespace korvane::launcher
