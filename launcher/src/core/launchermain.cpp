#include "core/launchermain.h"

#include "core/launcherapplication.h"
#include "core/launcherconstants.h"
#include "core/launcherfilesystemhelper.h"
#include "core/launchermessagehandler.h"
#include "core/launcherselfupdater.h"
#include "shared/firstinstancetester.h"
#include "shared/heapmemory.h"
#include "shared/launcherutils.h"

#include <QDebug>
#include <QThread>

#include <exception>
#include <memory>

namespace korvane::launcher {

int launcherMain(int argc, char** argv)
{
    shared::THeapMemory::keepLargeBuffersInTheHeap();
    TLauncherApplication application(argc, argv);
    // Before anything reads the program folder: a file of the launcher that an update killed at the wrong
    // moment left only under its ".old" name.
    const QStringList repaired = TLauncherSelfUpdater::repairInterruptedUpdate(
        QDir(QCoreApplication::applicationDirPath()), *application.getFilesystemHelper());
    const auto reportRepaired = [&repaired] {
        for (const QString& path : repaired)
            qWarning() << "Put back a file of the launcher that an interrupted update had moved aside:" << path;
    };

    TLauncherApplication::instance = &application;
    shared::TLauncherUtils::ipV4Mode = application.getFilesystemHelper()->getLauncherSettings()->ipV4Mode;

    application.chooseLanguage();
    QCoreApplication::setApplicationName(applicationName);
    QGuiApplication::setApplicationDisplayName(QCoreApplication::applicationName());
    QCoreApplication::setOrganizationName(organisationName);
    QCoreApplication::setOrganizationDomain(organisationDomain);
    application.armSplashTimer();
    application.readAccountGroupKey();
    application.armExitDelayTimer();
    application.connectComponents();
    application.parseCommandLine(QCoreApplication::arguments());

    // Kept until the event loop has ended, so the segment stays attached for the whole run.
    std::unique_ptr<shared::FirstInstanceTester> firstInstanceTester;
    try {
        firstInstanceTester = std::make_unique<shared::FirstInstanceTester>();
        // A launcher restarted by its own update may start before the old process has let go of the
        // segment; it waits a little for that instead of leaving as "already running".
        if (application.getCommandLineParser().isSet(application.getSkipSelfUpdateOption())) {
            for (int attempt = 0; attempt < 50 && !firstInstanceTester->isFirstInstance(); ++attempt) {
                firstInstanceTester.reset();
                QThread::msleep(100);
                firstInstanceTester = std::make_unique<shared::FirstInstanceTester>();
            }
        }
    } catch (const std::exception& e) {
        qCritical() << "Single-instance test failed:" << e.what();
        return 1;
    }
    if (!firstInstanceTester->isFirstInstance()) {
        reportRepaired();
        // No log is opened, so the running launcher's log stays as it is.
        qCritical() << "Version: " << launcherVersion << "already running"
                    << " Thread: " << QThread::currentThreadId();
        return 0;
    }

    // The restarted launcher keeps the log of the run that updated it.
    setupLogging(application.getCommandLineParser().isSet(application.getSkipSelfUpdateOption()) ? ELogStart::Append
                                                                                                 : ELogStart::Truncate);
    qInfo() << "Version: " << launcherVersion << " Thread: " << QThread::currentThreadId();
    reportRepaired();
    qInfo() << "load configuration"
            << " Thread: " << QThread::currentThreadId();
    application.loadConfiguration();

    const int result = QCoreApplication::exec();
    firstInstanceTester.reset();
    return result;
}

} // namespace korvane::launcher
