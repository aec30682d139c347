#include "ui/launchermainwindow.h"

#include "core/cloudflarecdntrace.h"
#include "core/launcherapplication.h"
#include "core/launcherconfigurationreader.h"
#include "core/launcherconstants.h"
#include "core/launcherfilesystemhelper.h"
#include "core/package.h"
#include "installation/installationmanager.h"
#include "installation/packageinstallation.h"
#include "shared/downloadpool.h"
#include "shared/translationmanager.h"
#include "ui/clientpackagelayoutitem.h"
#include "ui/hintpanes.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QGridLayout>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QIcon>
#include <QLabel>
#include <QMessageBox>
#include <QScreen>
#include <QSettings>
#include <QSpacerItem>
#include <QThread>
#include <QTimer>
#include <QVBoxLayout>

namespace korvane::launcher {

namespace {

const QString windowPositionKey = QStringLiteral("windowPos");
const QString autoLaunchKey = QStringLiteral("autoLaunchAfterInstall");

const QString twitterAddress = QStringLiteral("https://twitter.com/KorvaneVedudi");
const QString discordAddress = QStringLiteral("https://discord.gg/korvanevedudi");
const QString makerAddress = QStringLiteral("https://www.dulmark.example/");
const QString privacyAddress = QStringLiteral("https://www.dulmark.example/privacy");

constexpr int packageColumns = 4;

// Each access opens its own settings object, so the store is never held across an event.
QSettings preferences()
{
    return QSettings(preferencesOrganisation, preferencesApplication);
}

const char* const windowStyle = "QMainWindow {"
                                " border-image: url(:/images/launcher/BackgroundImage.jpg) 0 0 450 0 stretch stretch;"
                                " border-style: solid; border-color: transparent;"
                                " border-top-width: 0px; border-left-width: 0px; border-right-width: 0px;"
                                " border-bottom-width: 450px; }";

const char* const versionStyle = "QLabel { font-family: 'Liberation Sans'; font-size: 11px; font-weight: bold;"
                                 " color: #DADABC; }";

const char* const languageBoxStyle
    = "QComboBox { font-size: 11px; font-weight: bold; color: #DADABC; background-color: rgba(40, 40, 40, 180);"
      " border: 1px solid rgba(100, 100, 100, 150); padding: 2px 4px; }"
      " QComboBox::drop-down { border: none; width: 16px; }"
      // A triangle drawn with borders comes out as a filled bar here; a small image draws the arrow.
      " QComboBox::down-arrow { image: url(:/images/launcher/combobox-arrow-down.png); width: 9px; height: 5px;"
      " margin-right: 4px; }"
      " QComboBox QAbstractItemView { background-color: #2A2A2A; color: #DADABC;"
      " selection-background-color: #4A4A4A; border: 1px solid #555; font-size: 11px; }";

} // namespace

TLauncherMainWindow::TLauncherMainWindow(std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper_,
    std::shared_ptr<TLauncherConfigurationReader> configuration_,
    std::shared_ptr<QNetworkAccessManager> networkAccessManager_, std::shared_ptr<shared::TDownloadPool> downloadPool_,
    std::shared_ptr<TCloudflareCdnTrace> cdnTrace_, std::shared_ptr<shared::TTranslationManager> translationManager_)
    : filesystemHelper(std::move(filesystemHelper_))
    , configuration(std::move(configuration_))
    , networkAccessManager(std::move(networkAccessManager_))
    , downloadPool(std::move(downloadPool_))
    , cdnTrace(std::move(cdnTrace_))
    , translationManager(std::move(translationManager_))
{
    const std::vector<std::shared_ptr<TPackage>> packages
        = configuration ? configuration->packagesWithConfiguration() : std::vector<std::shared_ptr<TPackage>>();
    const bool showPackageNames = configuration && configuration->showPackageNames;

    setWindowTitle(applicationName);
    setWindowFlags(Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint
        | Qt::CustomizeWindowHint | Qt::WindowCloseButtonHint);
    setFixedWidth(800);
    setMinimumHeight(450);
    setMaximumHeight(600);
    setSizePolicy(QSizePolicy::Fixed, QSizePolicy::MinimumExpanding);

    placeWindow();

    setStyleSheet(QString::fromLatin1(windowStyle));

    auto* centralArea = new QWidget();
    setCentralWidget(centralArea);

    auto* packageArea = new QHBoxLayout();
    auto* packageGrid = new QGridLayout();
    packageArea->addStretch(1);
    packageArea->addLayout(packageGrid, 2);
    packageArea->addStretch(1);

    for (std::size_t i = 0; i < packages.size(); ++i) {
        const std::shared_ptr<TPackage>& package = packages[i];
        auto* row = new TClientPackageLayoutItem(package, showPackageNames);
        packageItems[package->index] = row;
        packageGrid->addLayout(row, int(i) / packageColumns, int(i) % packageColumns, 1, 1);
        connect(row, &TClientPackageLayoutItem::buttonClicked, this, &TLauncherMainWindow::clientPackageButtonClicked);
        connect(row, &TClientPackageLayoutItem::verifyButtonClicked, this,
            &TLauncherMainWindow::clientPackageVerifyButtonClicked);
        connect(row, &TClientPackageLayoutItem::uninstallButtonClicked, this,
            &TLauncherMainWindow::clientPackageUninstallButtonClicked);
    }

    auto* aboutRow = new QHBoxLayout();
    aboutRow->addStretch();
    languageComboBox = createLanguageComboBox();
    aboutRow->addWidget(languageComboBox);
    aboutLabel = createLinkIconLabel(
        QStringLiteral(":/images/launcher/icircle.png"), QStringLiteral("about"), qtTrId("launcher.mainwindow.about"));
    aboutLabel->setOpenExternalLinks(false);
    connect(aboutLabel, &QLabel::linkActivated, this, &TLauncherMainWindow::onAboutDialogRequested);
    aboutRow->addWidget(aboutLabel);
    versionLabel = new QLabel(QStringLiteral("v") + launcherVersion, this);
    QFont versionFont = versionLabel->font();
    versionFont.setCapitalization(QFont::SmallCaps);
    versionLabel->setFont(versionFont);
    versionLabel->setStyleSheet(QString::fromLatin1(versionStyle));
    aboutRow->addWidget(versionLabel);

    auto* socialRow = new QHBoxLayout();
    socialRow->addStretch();
    socialRow->addWidget(createLinkIconLabel(
        QStringLiteral(":/images/launcher/Twitter.png"), twitterAddress, qtTrId("launcher.social.twitter")));
    socialRow->addWidget(createLinkIconLabel(
        QStringLiteral(":/images/launcher/Discord.png"), discordAddress, qtTrId("launcher.social.discord")));
    socialRow->addStretch();

    hintSpacer = new QSpacerItem(700, 84, QSizePolicy::Minimum, QSizePolicy::Minimum);
    mainLayout = new QVBoxLayout();
    mainLayout->addSpacing(11);
    mainLayout->addLayout(packageArea);
    if (packages.empty()) {
        mainLayout->addSpacing(300);
        createConnectionErrorBox();
    }
    mainLayout->addSpacing(6);
    mainLayout->addSpacerItem(hintSpacer);
    const std::shared_ptr<TLauncherSettings> settings
        = filesystemHelper ? filesystemHelper->getLauncherSettings() : std::shared_ptr<TLauncherSettings>();
    hintPanes = new THintPanes(this, downloadPool, settings ? settings->retries : TLauncherSettings().retries,
        settings ? settings->configurationTransportTimeOut : TLauncherSettings().configurationTransportTimeOut);
    hintBox = hintPanes->createHintBox();
    mainLayout->addWidget(hintBox, 0, Qt::AlignHCenter);
    mainLayout->addSpacing(-14);

    auto* hintBoxLayout = qobject_cast<QVBoxLayout*>(hintBox->layout());
    if (!hintBoxLayout) {
        hintBoxLayout = new QVBoxLayout();
        hintBox->setLayout(hintBoxLayout);
    }
    hintBoxLayout->addSpacing(8);
    auto* makerLogo = new QLabel(this);
    makerLogo->setTextFormat(Qt::RichText);
    makerLogo->setText(QStringLiteral("<a href=\"%1\"><img src=\":/images/launcher/DulmarkLogo.png\"/></a>")
                           .arg(makerAddress.toHtmlEscaped()));
    makerLogo->setToolTip(makerAddress);
    makerLogo->setOpenExternalLinks(true);
    hintBoxLayout->addWidget(makerLogo, 0, Qt::AlignLeft);
    hintBoxLayout->addSpacing(-22);
    hintBoxLayout->addLayout(aboutRow);
    hintBoxLayout->addSpacing(-34);
    hintBoxLayout->addLayout(socialRow);
    hintBoxLayout->addSpacing(8);

    centralArea->setLayout(mainLayout);
}

// The rows are layout items of the central widget and go with the widget tree.
TLauncherMainWindow::~TLauncherMainWindow()
{
    // Once the news tiles took its place the spacer belongs to no layout, so nothing else frees it.
    if (mainLayout && hintSpacer && mainLayout->indexOf(hintSpacer) < 0)
        delete hintSpacer;
}

void TLauncherMainWindow::connectInstallationManager(TInstallationManager* manager)
{
    if (!manager)
        return;
    connect(manager, &TInstallationManager::installationOrUpdateStarted, this,
        &TLauncherMainWindow::onInstallationOrUpdateStarted);
    connect(manager, &TInstallationManager::installationOrUpdateFinished, this,
        &TLauncherMainWindow::onInstallationOrUpdateFinished);
}

void TLauncherMainWindow::sendLauncherStartedFunnelEvent()
{
    if (TLauncherApplication::instance)
        TLauncherApplication::instance->sendFunnelEvent(
            QStringLiteral("launcher_started"), QStringLiteral("FunnelStartedFirst"));
}

void TLauncherMainWindow::emulateMaintenance(const TLauncherConfigurationReader& configuration, const QDateTime& nowUtc)
{
    for (const std::shared_ptr<TPackage>& package : configuration.packagesWithConfiguration()) {
        package->maintenanceActive = true;
        package->maintenanceEstimatedEnd = nowUtc.addSecs(120);
    }
}

void TLauncherMainWindow::placeWindow()
{
    const QPoint stored = preferences().value(windowPositionKey).toPoint();
    if (!stored.isNull()) {
        for (QScreen* screen : QGuiApplication::screens()) {
            if (screen->availableGeometry().contains(stored)) {
                move(stored);
                return;
            }
        }
    }
    // A point outside every screen, for example after a screen was removed, is not used.
    const QScreen* primary = QGuiApplication::primaryScreen();
    if (!primary)
        return;
    const QSize screenSize = primary->geometry().size();
    move((screenSize.width() - width()) / 2, (screenSize.height() - height()) / 2);
}

void TLauncherMainWindow::closeEvent(QCloseEvent* event)
{
    preferences().setValue(windowPositionKey, pos());
    TDraggableMainWindow::closeEvent(event);
}

const std::vector<std::pair<QString, QString>>& TLauncherMainWindow::languageTable()
{
    static const std::vector<std::pair<QString, QString>> table {
        { QStringLiteral("en"), QStringLiteral("English") },
        { QStringLiteral("de"), QStringLiteral("Deutsch") },
        { QStringLiteral("fr"), QStringLiteral("Français") },
        { QStringLiteral("pl"), QStringLiteral("Polski") },
        { QStringLiteral("es"), QStringLiteral("Español") },
        { QStringLiteral("tr"), QStringLiteral("Türkçe") },
        { QStringLiteral("pt"), QStringLiteral("Português") },
        { QStringLiteral("pt-BR"), QStringLiteral("Português (BR)") },
        { QStringLiteral("uk"), QStringLiteral("Українська") },
        { QStringLiteral("ru"), QStringLiteral("Русский") },
        { QStringLiteral("it"), QStringLiteral("Italiano") },
        { QStringLiteral("sv"), QStringLiteral("Svenska") },
    };
    return table;
}

QComboBox* TLauncherMainWindow::createLanguageComboBox()
{
    auto* box = new QComboBox();
    box->setFixedSize(130, 22);
    const QString current = translationManager ? translationManager->getCurrentLanguage() : QStringLiteral("en");
    int selected = 0;
    int index = 0;
    for (const auto& [code, name] : languageTable()) {
        box->addItem(QIcon(), name, code);
        if (code == current)
            selected = index;
        ++index;
    }
    // Selected before the connection, so building the box switches nothing.
    box->setCurrentIndex(selected);
    box->setStyleSheet(QString::fromUtf8(languageBoxStyle));
    connect(box, &QComboBox::currentIndexChanged, this, &TLauncherMainWindow::onLanguageSelected);
    return box;
}

void TLauncherMainWindow::onLanguageSelected(int index)
{
    if (!translationManager || !languageComboBox)
        return;
    const QString code = languageComboBox->itemData(index).toString();
    if (code == translationManager->getCurrentLanguage())
        return;
    preferences().setValue(languagePreferenceKey, code);
    translationManager->loadTranslation(code);
    for (const auto& [key, row] : packageItems) {
        row->updateButtonFromPackageStatus();
        row->updateDefaultClientCheckboxFromPackageStatus();
        if (row->getMaintenanceTextLabel())
            row->updateMaintenanceText();
    }
}

QLabel* TLauncherMainWindow::createLinkIconLabel(const QString& iconPath, const QString& link, const QString& toolTip)
{
    auto* label = new QLabel(this);
    label->setTextFormat(Qt::RichText);
    label->setText(
        QStringLiteral("<a href=\"%1\"><img src=\"%2\"/></a>").arg(link.toHtmlEscaped(), iconPath.toHtmlEscaped()));
    label->setToolTip(toolTip);
    label->setOpenExternalLinks(true);
    return label;
}

void TLauncherMainWindow::onAboutDialogRequested(const QString& /*link*/)
{
    QMessageBox box(this);
    box.setWindowTitle(qtTrId("launcher.about.title"));
    box.setTextFormat(Qt::RichText);
    box.setText(shared::translatedText("launcher.about.text", makerAddress, privacyAddress));
    box.setStandardButtons(QMessageBox::Ok);
    execMessageBox(box);
}

void TLauncherMainWindow::execMessageBox(QMessageBox& box)
{
    qInfo() << "Message box:" << box.windowTitle() << box.text();
    // Like the application's boxes: a run on the offscreen platform has nobody to close it.
    if (QGuiApplication::platformName() == QLatin1String("offscreen"))
        return;
    box.exec();
}

void TLauncherMainWindow::setHint(const shared::THint& Hint)
{
    hintPanes->setHint(Hint);
}

void TLauncherMainWindow::setHints(const std::vector<shared::THint>& Hints)
{
    hintPanes->setHints(Hints, mainLayout, hintSpacer);
}

TClientPackageLayoutItem* TLauncherMainWindow::rowOf(const std::shared_ptr<TPackage>& package) const
{
    if (!package)
        return nullptr;
    const auto found = packageItems.find(package->index);
    return found == packageItems.end() ? nullptr : found->second;
}

void TLauncherMainWindow::onInstallationOrUpdateStarted(const TPackageInstallation& InstallationInProgress)
{
    // The window shows only packages with a configuration; an event for any other has no row to go to.
    if (TClientPackageLayoutItem* row = rowOf(InstallationInProgress.getPackage()))
        row->onInstallationOrUpdateStarted(InstallationInProgress);
}

void TLauncherMainWindow::onInstallationOrUpdateFinished(const TPackageInstallation& InstallationInProgress)
{
    // Copied first: a box below runs a nested event loop, and nothing of the installation is used after it.
    const std::shared_ptr<TPackage> package = InstallationInProgress.getPackage();
    const EPackageDownloaderError reason = InstallationInProgress.getFinishReason();
    const QString name = package ? package->name : QString();
    qInfo() << "onInstallationOrUpdateFinished package: " << name << " error reason: " << int(reason)
            << " Thread: " << QThread::currentThreadId();

    TClientPackageLayoutItem* row = rowOf(package);
    if (!row) {
        qWarning() << "onInstallationOrUpdateFinished: no row for package " << name;
        return;
    }
    row->onInstallationOrUpdateFinished(InstallationInProgress);

    switch (reason) {
    case EPackageDownloaderError::NoError:
        if (package->localStatus == ELocalPackageStatus::UpToDate && preferences().value(autoLaunchKey, true).toBool())
            QTimer::singleShot(autoLaunchDelay, this, [this, package]() { autoLaunchPackage(package); });
        break;
    case EPackageDownloaderError::DownloadFailed:
        showDownloadErrorDialog(name);
        break;
    case EPackageDownloaderError::SavingFailed:
        showCriticalBox(
            qtTrId("launcher.error.install_title"), shared::translatedText("launcher.error.disk_space_text", name));
        break;
    case EPackageDownloaderError::VerificationFailed:
        showCriticalBox(
            qtTrId("launcher.error.install_title"), shared::translatedText("launcher.error.verification_text", name));
        break;
    }
}

void TLauncherMainWindow::autoLaunchPackage(const std::shared_ptr<TPackage>& package)
{
    // The package may have stopped being up to date meanwhile, for example by an uninstall.
    if (package->localStatus == ELocalPackageStatus::UpToDate)
        emit clientPackageButtonClicked(package);
}

void TLauncherMainWindow::showCriticalBox(const QString& title, const QString& text)
{
    QMessageBox box(QMessageBox::Critical, title, text, QMessageBox::Ok, this);
    execMessageBox(box);
}

void TLauncherMainWindow::ensureErrorBox()
{
    if (!errorBox)
        errorBox = new QMessageBox(this);
}

void TLauncherMainWindow::createConnectionErrorBox()
{
    ensureErrorBox();
    errorBox->setWindowTitle(qtTrId("launcher.error.connection_title"));
    errorBox->setText(qtTrId("launcher.error.connection_text"));
    errorBox->setIcon(QMessageBox::Critical);
    errorBox->show();
}

void TLauncherMainWindow::showDownloadErrorDialog(const QString& packageName)
{
    ensureErrorBox();
    QString details;
    if (!cdnTrace) {
        details = QStringLiteral("Failed to obtain information.");
    } else if (!cdnTrace->traceReceived && !cdnTrace->traceFailed) {
        if (!cdnTrace->traceRequested)
            cdnTrace->requestTrace();
        // A request that failed at once has already reported; waiting for it would wait forever.
        if (!cdnTrace->traceReceived && !cdnTrace->traceFailed)
            connect(cdnTrace.get(), &TCloudflareCdnTrace::diagnosticsTraceReceived, this,
                [this, packageName](bool) { onDiagnosticsTraceReceived(packageName); });
        details = QStringLiteral("Loading, please wait...");
    }
    if (cdnTrace && cdnTrace->traceReceived)
        details = QStringLiteral("FL: %1, TS: %2, COLO: %3, IP: %4")
                      .arg(cdnTrace->fl, cdnTrace->ts, cdnTrace->colo, cdnTrace->ip);
    else if (cdnTrace && cdnTrace->traceFailed)
        details = QStringLiteral("Failed to obtain information.");

    errorBox->setWindowTitle(qtTrId("launcher.error.download_title"));
    errorBox->setText(shared::translatedText("launcher.error.download_text", packageName));
    errorBox->setDetailedText(details);
    errorBox->setIcon(QMessageBox::Critical);
    errorBox->show();
}

void TLauncherMainWindow::onDiagnosticsTraceReceived(const QString& packageName)
{
    if (errorBox && errorBox->isVisible())
        showDownloadErrorDialog(packageName);
    // The first reaction to run removes every waiting one of this window, so the box is refreshed once.
    disconnect(cdnTrace.get(), &TCloudflareCdnTrace::diagnosticsTraceReceived, this, nullptr);
}

void TLauncherMainWindow::onMaintenanceStateChanged()
{
    for (const auto& [key, row] : packageItems)
        row->onMaintenanceStateChanged();
}

} // namespace korvane::launcher
