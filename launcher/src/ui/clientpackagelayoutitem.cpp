#include "ui/clientpackagelayoutitem.h"

#include "core/launcherconstants.h"
#include "core/packageconfigurationreader.h"
#include "installation/packagefiledownloader.h"
#include "shared/translationmanager.h"
#include "ui/qcontextpushbutton.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QImageReader>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QSettings>
#include <QSizePolicy>
#include <QStackedWidget>
#include <QWidget>

#include <algorithm>
#include <climits>
#include <cmath>

namespace korvane::launcher {

namespace {

const QString imageFolder = QStringLiteral(":/images/launcher/");
const QString autoLaunchKey = QStringLiteral("autoLaunchAfterInstall");
constexpr quint64 oneGiB = 1073741824;
constexpr quint64 oneMiB = 1048576;
constexpr int buttonWidth = 98;
constexpr int buttonHeight = 40;
constexpr int barScale = 10000;

const QString labelStyle = QStringLiteral("QLabel { font-family: \"Liberation Sans\"; font-variant: small-caps; "
                                          "font-size: 13px; font-weight: bold; color: #DADABC; "
                                          "qproperty-alignment: AlignCenter; }");

struct TStatusLook
{
    QString colour;
    QString icon;
    const char* tooltipId;
    bool hasActions;
};

TStatusLook lookFor(ELocalPackageStatus status)
{
    switch (status) {
    case ELocalPackageStatus::Unknown:
        return { QStringLiteral("Red"), QString(), "launcher.status.error", false };
    case ELocalPackageStatus::NotInstalled:
        return { QStringLiteral("Blue"), QStringLiteral("Download"), "launcher.status.click_to_download", false };
    case ELocalPackageStatus::PartiallyInstalled:
    case ELocalPackageStatus::UpdateAvailable:
        return { QStringLiteral("Orange"), QStringLiteral("Update"), "launcher.status.update_available", false };
    case ELocalPackageStatus::UpToDate:
        break;
    }
    return { QStringLiteral("Green"), QStringLiteral("Play"), "launcher.status.ready_to_play", true };
}

qint64 roundHalfUp(double value)
{
    return qint64(std::floor(value + 0.5));
}

// A ratio for the bar; an unknown total (0) counts as nothing done, so nothing divides by it.
float ratioOf(TFileSize done, TFileSize total)
{
    if (total == 0)
        return 0.0f;
    return std::clamp(float(done) / float(total), 0.0f, 1.0f);
}

QString megabytes(TFileSize bytes)
{
    return QString::number(double(bytes) / 1000000.0, 'f', 1);
}

bool autoLaunchPreference()
{
    return QSettings(preferencesOrganisation, preferencesApplication).value(autoLaunchKey, true).toBool();
}

} // namespace

TClientPackageLayoutItem::TClientPackageLayoutItem(std::shared_ptr<TPackage> package, bool showPackageNames)
    : package(std::move(package))
    , clock([] { return QDateTime::currentDateTimeUtc(); })
{
    // 1. Logo, fixed to the launcher logo's size.
    logoLabel = new QLabel;
    QSize logoSize = QImageReader(imageFolder + QStringLiteral("LauncherLogo_QT.png")).size();
    if (!logoSize.isValid())
        logoSize = QSize(196, 152);
    logoLabel->setFixedSize(logoSize);
    updatePackageImageFromPackageStatus();

    // 2. Action button.
    actionButton = new QContextPushButton;
    updateButtonFromPackageStatus();
    connect(actionButton, &QPushButton::clicked, this, [this] { emit buttonClicked(this->package); });
    connect(actionButton, &QContextPushButton::contextTriggered, this, &TClientPackageLayoutItem::onContextTriggered);

    // 3. Progress bar in the button's place.
    progressBar = new QProgressBar;
    progressBar->setFixedSize(actionButton->size());
    progressBar->setRange(0, 100);
    progressBar->setValue(0);
    progressBar->setTextVisible(true);
    progressBar->setStyleSheet(QStringLiteral(
        "QProgressBar { border-image: url(:/images/launcher/ProgressBar_BG.png); font-family: \"Liberation Sans\"; "
        "font-variant: small-caps; font-size: 13px; font-weight: bold; color: #DADABC; text-align: center; "
        "border-width: 2px; } "
        "QProgressBar::chunk { border-image: url(:/images/launcher/ProgressBar.png); }"));

    // 4. Name and status texts.
    if (showPackageNames) {
        nameLabel = new QLabel;
        nameLabel->setStyleSheet(labelStyle);
    }
    statusLabel = new QLabel;
    statusLabel->setStyleSheet(labelStyle);
    updatePackageNameAndVersion();

    // 5. Auto-launch box; one stored value for all rows.
    autoLaunchCheckBox = new QCheckBox(qtTrId("launcher.settings.auto_launch"));
    QSizePolicy keepPlace = autoLaunchCheckBox->sizePolicy();
    keepPlace.setRetainSizeWhenHidden(true);
    autoLaunchCheckBox->setSizePolicy(keepPlace);
    autoLaunchCheckBox->setStyleSheet(
        QStringLiteral("QCheckBox { font-family: \"Liberation Sans\"; font-variant: small-caps; font-size: 13px; "
                       "font-weight: bold; color: #DADABC; } "
                       "QCheckBox::indicator { width: 14px; height: 14px; border: 1px solid #888; } "
                       "QCheckBox::indicator:unchecked { background-color: #3A3A3A; } "
                       "QCheckBox::indicator:checked { background-color: #8ED838; }"));
    autoLaunchCheckBox->setChecked(autoLaunchPreference());
    connect(autoLaunchCheckBox, &QCheckBox::stateChanged, this, [](int state) {
        QSettings(preferencesOrganisation, preferencesApplication).setValue(autoLaunchKey, state == Qt::Checked);
    });

    // 6. Frame.
    auto* frame = new QGroupBox;
    frame->setAlignment(Qt::AlignHCenter);
    frame->setStyleSheet(QStringLiteral(
        "QGroupBox { border-image: url(:/images/launcher/clientpackage-background.png) 16 16 16 16 repeat repeat; "
        "border-width: 16px; border-style: solid; border-color: transparent; background-attachment: fixed; "
        "padding-top: -6px; padding-left: -2px; padding-bottom: -8px; padding-right: -2px; }"));

    // 7. Normal page.
    normalPage = new QWidget;
    auto* normalLayout = new QVBoxLayout(normalPage);
    normalLayout->setContentsMargins(0, 0, 0, 0);
    normalLayout->setSpacing(0);
    normalLayout->addWidget(progressBar, 0, Qt::AlignHCenter);
    normalLayout->addWidget(actionButton, 0, Qt::AlignHCenter);
    normalLayout->addSpacing(6);
    if (nameLabel)
        normalLayout->addWidget(nameLabel, 0, Qt::AlignHCenter);
    normalLayout->addWidget(statusLabel, 0, Qt::AlignHCenter);
    normalLayout->addWidget(autoLaunchCheckBox, 0, Qt::AlignHCenter);

    // 8. Maintenance page.
    maintenancePage = new QWidget;
    auto* maintenanceLayout = new QVBoxLayout(maintenancePage);
    maintenanceLayout->setAlignment(Qt::AlignCenter);
    maintenanceLayout->setContentsMargins(4, 4, 4, 4);
    maintenanceLayout->addStretch();
    auto* gear = new QLabel(QString(QChar(0x2699)));
    gear->setAlignment(Qt::AlignCenter);
    gear->setStyleSheet(QStringLiteral("QLabel { font-size: 28px; color: #DADABC; }"));
    maintenanceLayout->addWidget(gear);
    maintenanceLayout->addSpacing(4);
    maintenanceTextLabel = new QLabel(qtTrId("launcher.error.maintenance_text"));
    maintenanceTextLabel->setAlignment(Qt::AlignCenter);
    maintenanceTextLabel->setWordWrap(true);
    maintenanceTextLabel->setStyleSheet(
        QStringLiteral("QLabel { font-family: \"Liberation Sans\"; font-size: 11px; color: #DADABC; }"));
    maintenanceLayout->addWidget(maintenanceTextLabel);
    maintenanceCountdownLabel = new QLabel;
    maintenanceCountdownLabel->setAlignment(Qt::AlignCenter);
    maintenanceCountdownLabel->setStyleSheet(QStringLiteral(
        "QLabel { font-family: \"Liberation Sans\"; font-size: 11px; font-weight: bold; color: #7CB342; }"));
    maintenanceCountdownLabel->hide();
    maintenanceLayout->addWidget(maintenanceCountdownLabel);
    maintenanceLayout->addStretch();
    maintenanceCountdownTimer.setInterval(1000);
    connect(&maintenanceCountdownTimer, &QTimer::timeout, this, &TClientPackageLayoutItem::updateMaintenanceCountdown);

    // 9. Pages inside the frame.
    pages = new QStackedWidget;
    pages->addWidget(normalPage);
    pages->addWidget(maintenancePage);
    pages->setCurrentIndex(0);
    auto* frameLayout = new QVBoxLayout(frame);
    frameLayout->setSpacing(0);
    frameLayout->addWidget(pages);

    // 10. The row.
    addWidget(logoLabel, 0, Qt::AlignHCenter | Qt::AlignBottom);
    addSpacing(6);
    addWidget(frame, 0, Qt::AlignHCenter | Qt::AlignBottom);

    // 11.
    connect(this->package.get(), &TPackage::localPackageStatusChanged, this,
        &TClientPackageLayoutItem::onLocalPackageStatusChanged);
    progressBar->hide();
    actionButton->show();
    updateDefaultClientCheckboxFromPackageStatus();
}

TClientPackageLayoutItem::~TClientPackageLayoutItem()
{
    dropProgressConnections();
}

QString TClientPackageLayoutItem::downloadSizeText(quint64 bytes)
{
    if (bytes <= oneGiB)
        return QStringLiteral("%1 MB").arg(QString::number(double(bytes) / 1000000.0, 'f', 0));
    return QStringLiteral("%1 GB").arg(QString::number(double(bytes) / 1000000000.0, 'f', 1));
}

QString TClientPackageLayoutItem::countdownText(qint64 seconds)
{
    if (seconds > 3599) {
        return QStringLiteral("%1h %2m").arg(seconds / 3600).arg((seconds % 3600) / 60, 2, 10, QLatin1Char('0'));
    }
    return QStringLiteral("%1m %2s").arg(seconds / 60).arg(seconds % 60, 2, 10, QLatin1Char('0'));
}

quint64 TClientPackageLayoutItem::rateFromStatistics(const TProgressStatistics& statistics)
{
    // One tick is 100 ms; a mean below one byte per tick (or a meaningless one) is no rate.
    if (statistics.sampleCount == 0 || !(statistics.average >= 1.0) || statistics.average >= 1.0e18)
        return 0;
    return quint64(statistics.average) * 10;
}

QString TClientPackageLayoutItem::speedText(quint64 rate)
{
    if (rate > oneGiB)
        return QStringLiteral("%1 GB/s").arg(QString::number(double(rate) / 1000000000.0, 'f', 1));
    if (rate > oneMiB)
        return QStringLiteral("%1 MB/s").arg(QString::number(double(rate) / 1000000.0, 'f', 1));
    if (rate > 1024)
        return QStringLiteral("%1 KB/s").arg(QString::number(double(rate) / 1000.0, 'f', 1));
    return QStringLiteral("%1 B/s").arg(rate);
}

QString TClientPackageLayoutItem::remainingTimeText(quint64 seconds)
{
    if (seconds < 60)
        return QStringLiteral("~%1s").arg(seconds);
    if (seconds > 3599)
        return QStringLiteral("~%1h %2m").arg(seconds / 3600).arg((seconds % 3600) / 60);
    return QStringLiteral("~%1m %2s").arg(seconds / 60).arg(seconds % 60);
}

QString TClientPackageLayoutItem::logoPath(const TPackageConfigurationReader* configuration, ELocalPackageStatus status)
{
    QString flavour = QStringLiteral("QT");
    if (configuration) {
        if (configuration->generation == EPackageGeneration::First) {
            flavour = QStringLiteral("Classic");
        } else {
            switch (configuration->variant) {
            case EPackageVariant::Preview:
                flavour = QStringLiteral("Preview");
                break;
            case EPackageVariant::Beta:
                flavour = QStringLiteral("Beta");
                break;
            case EPackageVariant::Test:
                flavour = QStringLiteral("Test");
                break;
            default:
                break;
            }
        }
    }
    QString path = imageFolder + QStringLiteral("KorvaneLogo_") + flavour;
    if (status != ELocalPackageStatus::UpToDate)
        path += QStringLiteral("_disabled");
    return path + QStringLiteral(".png");
}

void TClientPackageLayoutItem::setClock(TClock newClock)
{
    clock = std::move(newClock);
}

const TPackageConfigurationReader* TClientPackageLayoutItem::configuration() const
{
    // A refreshed launcher configuration may leave the package without a usable build.
    const TPackageConfigurationReader* current = package->packageConfiguration();
    return current && current->valid ? current : nullptr;
}

void TClientPackageLayoutItem::onInstallationOrUpdateStarted(const TPackageInstallation& InstallationInProgress)
{
    dropProgressConnections();
    TPackageFileDownloader* downloader = InstallationInProgress.getPackageFileDownloader();
    if (downloader) {
        const TFileSize total = downloader->getBytesTotalToDownload();
        const TFileSize downloaded = downloader->getBytesDownloaded();
        if (total <= TFileSize(INT_MAX)) {
            progressBar->setMaximum(int(total));
            progressBar->setValue(int(std::min(downloaded, total)));
        } else {
            // Past the bar's int range: the same scale as the progress reactions.
            progressBar->setRange(0, barScale);
            progressBar->setValue(int(roundHalfUp(double(ratioOf(downloaded, total)) * barScale)));
        }
    }
    progressBar->setFormat(QString());

    // A report that was already queued when its run ended carries the run it belongs to and is dropped.
    const auto* installation = &InstallationInProgress;
    const quint64 run = currentRun;
    progressConnections.push_back(connect(
        installation, &TPackageInstallation::scanProgress, this,
        [this, run](TFileSize done, TFileSize total) {
            if (run == currentRun)
                onScanProgress(done, total);
        },
        Qt::QueuedConnection));
    progressConnections.push_back(connect(
        installation, &TPackageInstallation::writeProgress, this,
        [this, run](TFileSize done, TFileSize total) {
            if (run == currentRun)
                onWriteProgress(done, total);
        },
        Qt::QueuedConnection));
    progressConnections.push_back(connect(
        installation, &TPackageInstallation::verificationProgress, this,
        [this, run](TFileSize done, TFileSize total) {
            if (run == currentRun)
                onVerificationProgress(done, total);
        },
        Qt::QueuedConnection));
    if (downloader) {
        progressConnections.push_back(connect(downloader, &TPackageFileDownloader::progress, this,
            [this, downloader](TFileSize a, TFileSize b, TFileSize c, TFileSize d) {
                onDownloadProgress(a, b, c, d, downloader->getDownloadStatistics());
            }));
    }

    actionButton->hide();
    progressBar->show();
}

void TClientPackageLayoutItem::onInstallationOrUpdateFinished(const TPackageInstallation& InstallationInProgress)
{
    Q_UNUSED(InstallationInProgress);
    // Progress still queued from the finished run must not overwrite the version text.
    dropProgressConnections();
    progressBar->hide();
    actionButton->show();
    progressBar->setValue(0);
    updatePackageImageFromPackageStatus();
    updateButtonFromPackageStatus();
    updatePackageNameAndVersion();
}

void TClientPackageLayoutItem::dropProgressConnections()
{
    for (const QMetaObject::Connection& connection : progressConnections)
        disconnect(connection);
    progressConnections.clear();
    ++currentRun;
}

void TClientPackageLayoutItem::onScanProgress(TFileSize BytesDownloaded, TFileSize BytesTotal)
{
    showPhaseProgress(BytesDownloaded, BytesTotal, "launcher.progress.scanning");
}

void TClientPackageLayoutItem::onWriteProgress(TFileSize BytesDownloaded, TFileSize BytesTotal)
{
    showPhaseProgress(BytesDownloaded, BytesTotal, "launcher.progress.writing");
}

void TClientPackageLayoutItem::onVerificationProgress(TFileSize BytesDownloaded, TFileSize BytesTotal)
{
    showPhaseProgress(BytesDownloaded, BytesTotal, "launcher.progress.verifying");
}

void TClientPackageLayoutItem::showPhaseProgress(TFileSize done, TFileSize total, const char* formatId)
{
    const float ratio = ratioOf(done, total);
    progressBar->setRange(0, barScale);
    progressBar->setValue(int(roundHalfUp(double(ratio) * barScale)));
    progressBar->setFormat(qtTrId(formatId));
    statusLabel->setText(QStringLiteral("%1/%2 MB (%3%)")
                             .arg(megabytes(done), megabytes(total))
                             .arg(roundHalfUp(double(ratio) * 100.0)));
}

void TClientPackageLayoutItem::onDownloadProgress(TFileSize BytesDownloaded, TFileSize BytesTotalToDownload,
    TFileSize BytesWritten, TFileSize BytesTotalToWrite, const TProgressStatistics& statistics)
{
    const bool downloading = BytesDownloaded < BytesTotalToDownload;
    float ratio = 0.0f;
    if (downloading)
        ratio = ratioOf(BytesDownloaded, BytesTotalToDownload);
    else
        ratio = BytesTotalToWrite == 0 ? 1.0f : ratioOf(BytesWritten, BytesTotalToWrite); // nothing to write
    progressBar->setRange(0, barScale);
    progressBar->setValue(int(roundHalfUp(double(ratio) * barScale)));
    const qint64 percent = roundHalfUp(double(ratio) * 100.0);

    if (!downloading) {
        progressBar->setFormat(qtTrId("launcher.progress.writing"));
        statusLabel->setText(
            QStringLiteral("%1/%2 MB (%3%)").arg(megabytes(BytesWritten), megabytes(BytesTotalToWrite)).arg(percent));
        return;
    }

    const quint64 rate = rateFromStatistics(statistics);
    const QString speed = speedText(rate);
    if (rate != 0)
        progressBar->setFormat(remainingTimeText((BytesTotalToDownload - BytesDownloaded) / rate));
    else
        progressBar->setFormat(speed);

    QString size;
    if (BytesTotalToDownload <= oneGiB) {
        size = QStringLiteral("%1/%2 MB").arg(megabytes(BytesDownloaded), megabytes(BytesTotalToDownload));
    } else {
        size = QStringLiteral("%1/%2 GB")
                   .arg(QString::number(double(BytesDownloaded) / 1000000000.0, 'f', 1),
                       QString::number(double(BytesTotalToDownload) / 1000000000.0, 'f', 1));
    }
    statusLabel->setText(QStringLiteral("%1\n%2 (%3%)").arg(speed, size).arg(percent));
}

void TClientPackageLayoutItem::onLocalPackageStatusChanged()
{
    updatePackageImageFromPackageStatus();
    updateButtonFromPackageStatus();
    updatePackageNameAndVersion();
    updateDefaultClientCheckboxFromPackageStatus();
}

void TClientPackageLayoutItem::onMaintenanceStateChanged()
{
    if (!package->maintenanceActive) {
        pages->setCurrentIndex(0);
        maintenanceCountdownTimer.stop();
        maintenanceCountdownLabel->hide();
        return;
    }
    pages->setCurrentIndex(1);
    const QDateTime& end = package->maintenanceEstimatedEnd;
    if (end.isValid() && end > clock()) {
        maintenanceCountdownTimer.start(1000);
        updateMaintenanceCountdown();
    } else {
        maintenanceCountdownLabel->hide();
        maintenanceCountdownTimer.stop();
    }
}

void TClientPackageLayoutItem::updateMaintenanceCountdown()
{
    const QDateTime& end = package->maintenanceEstimatedEnd;
    const qint64 seconds = end.isValid() ? clock().secsTo(end) : 0;
    if (seconds < 1) {
        maintenanceCountdownLabel->hide();
        maintenanceCountdownTimer.stop();
        return;
    }
    maintenanceCountdownLabel->setText(
        shared::translatedText("launcher.maintenance.estimated_end", countdownText(seconds)));
    maintenanceCountdownLabel->show();
}

void TClientPackageLayoutItem::updateMaintenanceText()
{
    maintenanceTextLabel->setText(qtTrId("launcher.error.maintenance_text"));
}

void TClientPackageLayoutItem::updatePackageNameAndVersion()
{
    if (nameLabel)
        nameLabel->setText(package->name);

    QString text;
    if (const TPackageConfigurationReader* current = configuration()) {
        text = current->version.isEmpty() ? QStringLiteral("?") : current->version;
        const ELocalPackageStatus status = package->localStatus;
        if (status == ELocalPackageStatus::NotInstalled || status == ELocalPackageStatus::PartiallyInstalled
            || status == ELocalPackageStatus::UpdateAvailable) {
            quint64 sum = 0;
            for (const TFileInPackage& file : current->files)
                sum += file.wholeFile.packedSize;
            if (sum != 0)
                text = QStringLiteral("%1 (%2)").arg(text, downloadSizeText(sum));
        }
    }
    statusLabel->setText(text);
}

void TClientPackageLayoutItem::updatePackageImageFromPackageStatus()
{
    const QString path = logoPath(configuration(), package->localStatus);
    const QUrl& link = package->logoLinkTarget;
    // Only a web address becomes a link: the configuration must not make a click open a local file or
    // start a program through another scheme.
    const bool webLink
        = link.isValid() && (link.scheme() == QLatin1String("http") || link.scheme() == QLatin1String("https"));
    if (link.isEmpty() || !webLink) {
        logoLabel->clear();
        logoLabel->setStyleSheet(QStringLiteral("QLabel { image: url(%1); }").arg(path));
    } else {
        logoLabel->setStyleSheet(QString());
        logoLabel->setText(QStringLiteral("<a href=\"%1\"><img src=\"%2\"/></a>")
                               .arg(link.toString(QUrl::FullyEncoded).toHtmlEscaped(), path));
        logoLabel->setTextFormat(Qt::RichText);
        logoLabel->setOpenExternalLinks(true);
    }
    logoLabel->setToolTip(package->name);
}

void TClientPackageLayoutItem::updateButtonFromPackageStatus()
{
    const TStatusLook look = lookFor(package->localStatus);

    actionButton->contextMenu->clear();
    if (look.hasActions) {
        actionButton->contextMenu->addAction(qtTrId("launcher.action.verify"));
        actionButton->contextMenu->addAction(qtTrId("launcher.action.uninstall"));
    }

    actionButton->setToolTip(qtTrId(look.tooltipId));
    actionButton->setFixedSize(buttonWidth, buttonHeight);
    const QString border = QStringLiteral("border-image: url(:/images/launcher/Button_%1_%2.png) 4 4 4 4 repeat scale; "
                                          "border-width: 4px; border-style: solid; border-color: transparent;");
    actionButton->setStyleSheet(
        QStringLiteral("QPushButton { %1 image: url(:/images/launcher/Icon_%2.png); } "
                       "QPushButton:hover { %3 } "
                       "QPushButton:pressed { %4 padding-top: 1px; padding-left: 1px; padding-bottom: -1px; "
                       "padding-right: -1px; } "
                       "QToolTip { border: 1px solid black; background-color: #c0c0c0; padding: 1px; "
                       "font-family: \"Liberation Sans\"; font-variant: small-caps; font-size: 11px; "
                       "font-weight: bold; color: #3F3F3F; }")
            .arg(border.arg(look.colour, QStringLiteral("idle")), look.icon,
                border.arg(look.colour, QStringLiteral("hover")), border.arg(look.colour, QStringLiteral("pressed"))));
}

void TClientPackageLayoutItem::updateDefaultClientCheckboxFromPackageStatus()
{
    if (!package)
        return;
    autoLaunchCheckBox->show();
    autoLaunchCheckBox->setText(qtTrId("launcher.settings.auto_launch"));
}

void TClientPackageLayoutItem::onContextTriggered(const QString& actionText)
{
    if (actionText == qtTrId("launcher.action.verify"))
        emit verifyButtonClicked(package);
    else if (actionText == qtTrId("launcher.action.uninstall"))
        emit uninstallButtonClicked(package);
}

} // namespace korvane::launcher
