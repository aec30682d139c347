#pragma once

#include "core/package.h"
#include "installation/packagedifference.h"
#include "installation/packageinstallation.h"
#include "installation/progressstatistics.h"

#include <QDateTime>
#include <QMetaObject>
#include <QString>
#include <QTimer>
#include <QVBoxLayout>

#include <functional>
#include <memory>
#include <vector>

class QCheckBox;
class QContextPushButton;
class QLabel;
class QProgressBar;
class QStackedWidget;
class QWidget;

namespace korvane::launcher {

class TPackageConfigurationReader;

// The block of one game package in the main window: logo, then either the normal page (button or
// progress bar, name, status text, auto-launch box) or the maintenance page with its countdown.
class TClientPackageLayoutItem : public QVBoxLayout
{
    Q_OBJECT

public:
    using TClock = std::function<QDateTime()>;

    // Made without a parent; the window's layout adopts it and its widgets.
    TClientPackageLayoutItem(std::shared_ptr<TPackage> package, bool showPackageNames);
    ~TClientPackageLayoutItem() override;

    // Texts of the row, pure so that they can be checked by value.
    static QString downloadSizeText(quint64 bytes);
    static QString countdownText(qint64 seconds);
    static quint64 rateFromStatistics(const TProgressStatistics& statistics);
    static QString speedText(quint64 bytesPerSecond);
    static QString remainingTimeText(quint64 seconds);
    static QString logoPath(const TPackageConfigurationReader* configuration, ELocalPackageStatus status);

    // The UTC clock of the maintenance countdown; tests fix it.
    void setClock(TClock clock);

    // Reactions to the installation's and the downloader's progress; public so that a test can feed
    // them with chosen totals and statistics.
    void onScanProgress(TFileSize BytesDownloaded, TFileSize BytesTotal);
    void onWriteProgress(TFileSize BytesDownloaded, TFileSize BytesTotal);
    void onVerificationProgress(TFileSize BytesDownloaded, TFileSize BytesTotal);
    void onDownloadProgress(TFileSize BytesDownloaded, TFileSize BytesTotalToDownload, TFileSize BytesWritten,
        TFileSize BytesTotalToWrite, const TProgressStatistics& statistics);

    // The 1000 ms tick of the countdown.
    void updateMaintenanceCountdown();

    const std::shared_ptr<TPackage>& getPackage() const { return package; }
    QContextPushButton* getActionButton() const { return actionButton; }
    QProgressBar* getProgressBar() const { return progressBar; }
    QLabel* getLogoLabel() const { return logoLabel; }
    QLabel* getNameLabel() const { return nameLabel; }
    QLabel* getStatusLabel() const { return statusLabel; }
    QCheckBox* getAutoLaunchCheckBox() const { return autoLaunchCheckBox; }
    QStackedWidget* getPages() const { return pages; }
    QLabel* getMaintenanceTextLabel() const { return maintenanceTextLabel; }
    QLabel* getMaintenanceCountdownLabel() const { return maintenanceCountdownLabel; }
    const QTimer& getMaintenanceCountdownTimer() const { return maintenanceCountdownTimer; }

signals:
    void buttonClicked(std::shared_ptr<TPackage> pPackage);
    void verifyButtonClicked(std::shared_ptr<TPackage> pPackage);
    void uninstallButtonClicked(std::shared_ptr<TPackage> pPackage);

public slots:
    void onInstallationOrUpdateStarted(const TPackageInstallation& InstallationInProgress);
    void onInstallationOrUpdateFinished(const TPackageInstallation& InstallationInProgress);
    void onLocalPackageStatusChanged();
    void onMaintenanceStateChanged();
    void updateMaintenanceText();
    void updatePackageNameAndVersion();
    void updatePackageImageFromPackageStatus();
    void updateButtonFromPackageStatus();
    void updateDefaultClientCheckboxFromPackageStatus();

private:
    void onContextTriggered(const QString& actionText);
    void showPhaseProgress(TFileSize done, TFileSize total, const char* formatId);
    void dropProgressConnections();
    // The configuration the row may show, or null.
    const TPackageConfigurationReader* configuration() const;

    std::shared_ptr<TPackage> package;
    QCheckBox* autoLaunchCheckBox = nullptr;
    QLabel* logoLabel = nullptr;
    QLabel* nameLabel = nullptr;
    QLabel* statusLabel = nullptr;
    QContextPushButton* actionButton = nullptr;
    QProgressBar* progressBar = nullptr;
    QStackedWidget* pages = nullptr;
    QWidget* normalPage = nullptr;
    QWidget* maintenancePage = nullptr;
    QLabel* maintenanceTextLabel = nullptr;
    QLabel* maintenanceCountdownLabel = nullptr;
    QTimer maintenanceCountdownTimer;
    TClock clock;
    // The progress connections of the running installation, dropped when it finishes or another starts.
    std::vector<QMetaObject::Connection> progressConnections;
    quint64 currentRun = 0;
};

} // namespace korvane::launcher
