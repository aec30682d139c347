#pragma once

#include "shared/milliseconds.h"
#include "shared/randomhints.h"
#include "ui/draggablemainwindow.h"

#include <QDateTime>
#include <QPoint>
#include <QString>

#include <map>
#include <memory>
#include <vector>

class QCloseEvent;
class QComboBox;
class QGroupBox;
class QLabel;
class QMessageBox;
class QNetworkAccessManager;
class QSpacerItem;
class QVBoxLayout;
class QWidget;

namespace shared {
class TDownloadPool;
class TTranslationManager;
} // namespace shared

namespace korvane::launcher {

class TClientPackageLayoutItem;
class TCloudflareCdnTrace;
class THintPanes;
class TInstallationManager;
class TLauncherConfigurationReader;
class TLauncherFilesystemHelper;
class TPackage;
class TPackageInstallation;

// The launcher's only window: one row per configured package, the news tiles, the language box, the
// about icon and the social links. It forwards the rows' requests to the application, passes
// installation events and maintenance changes to the rows, and stores the window position and the
// language preference.
class TLauncherMainWindow : public TDraggableMainWindow
{
    Q_OBJECT

public:
    static constexpr shared::TMilliseconds defaultAutoLaunchDelay = 1500;

    // Builds the whole window over the reader's packages that have a loaded configuration; the window
    // is neither shown nor connected to anything outside itself.
    TLauncherMainWindow(std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper,
        std::shared_ptr<TLauncherConfigurationReader> configuration,
        std::shared_ptr<QNetworkAccessManager> networkAccessManager,
        std::shared_ptr<shared::TDownloadPool> downloadPool, std::shared_ptr<TCloudflareCdnTrace> cdnTrace,
        std::shared_ptr<shared::TTranslationManager> translationManager);
    ~TLauncherMainWindow() override;

    // Follows the installation manager that exists when the window is built.
    void connectInstallationManager(TInstallationManager* manager);
    // The funnel step "launcher_started", through the application; nothing without an application.
    static void sendLauncherStartedFunnelEvent();

    // What the emulate-maintenance option does: every package of the reader with a loaded configuration
    // is in maintenance until two minutes after now.
    static void emulateMaintenance(const TLauncherConfigurationReader& configuration, const QDateTime& nowUtc);

    // The language box, without parent; the layout adopts it.
    QComboBox* createLanguageComboBox();
    // A rich-text label showing the icon as a link; a child of the window.
    QLabel* createLinkIconLabel(const QString& iconPath, const QString& link, const QString& toolTip);
    void showDownloadErrorDialog(const QString& packageName);

    // The code and native name of every language the box offers, in box order.
    static const std::vector<std::pair<QString, QString>>& languageTable();

    // Tests shorten the delay of the automatic start after an installation.
    void setAutoLaunchDelay(shared::TMilliseconds delay) { autoLaunchDelay = delay; }

    const std::map<int, TClientPackageLayoutItem*>& getPackageItems() const { return packageItems; }
    QMessageBox* getErrorBox() const { return errorBox; }
    QComboBox* getLanguageComboBox() const { return languageComboBox; }
    QLabel* getAboutLabel() const { return aboutLabel; }
    QLabel* getVersionLabel() const { return versionLabel; }
    QGroupBox* getHintBox() const { return hintBox; }
    THintPanes* getHintPanes() const { return hintPanes; }
    QVBoxLayout* getMainLayout() const { return mainLayout; }
    QSpacerItem* getHintSpacer() const { return hintSpacer; }

signals:
    void clientPackageButtonClicked(const std::shared_ptr<TPackage>& pPackage);
    void clientPackageVerifyButtonClicked(const std::shared_ptr<TPackage>& pPackage);
    void clientPackageUninstallButtonClicked(const std::shared_ptr<TPackage>& pPackage);

public slots:
    void setHint(const shared::THint& Hint);
    void setHints(const std::vector<shared::THint>& Hints);
    void onInstallationOrUpdateStarted(const TPackageInstallation& InstallationInProgress);
    void onInstallationOrUpdateFinished(const TPackageInstallation& InstallationInProgress);
    void onAboutDialogRequested(const QString& link);
    void onMaintenanceStateChanged();

protected:
    void closeEvent(QCloseEvent* event) override;
    // Runs a box that waits for the user; on the offscreen platform it is only logged. Tests record it.
    virtual void execMessageBox(QMessageBox& box);

private:
    void placeWindow();
    void onLanguageSelected(int index);
    void onDiagnosticsTraceReceived(const QString& packageName);
    void autoLaunchPackage(const std::shared_ptr<TPackage>& package);
    void showCriticalBox(const QString& title, const QString& text);
    void createConnectionErrorBox();
    void ensureErrorBox();
    // The row of the package, or null for a package the window does not show.
    TClientPackageLayoutItem* rowOf(const std::shared_ptr<TPackage>& package) const;

    std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper;
    std::shared_ptr<TLauncherConfigurationReader> configuration;
    std::map<int, TClientPackageLayoutItem*> packageItems;
    QSpacerItem* hintSpacer = nullptr;
    QVBoxLayout* mainLayout = nullptr;
    // The news tiles with their browsers and holders; a child of the window.
    THintPanes* hintPanes = nullptr;
    QGroupBox* hintBox = nullptr;
    QMessageBox* errorBox = nullptr;
    std::shared_ptr<QNetworkAccessManager> networkAccessManager;
    std::shared_ptr<shared::TDownloadPool> downloadPool;
    std::shared_ptr<TCloudflareCdnTrace> cdnTrace;
    std::shared_ptr<shared::TTranslationManager> translationManager;

    QComboBox* languageComboBox = nullptr;
    QLabel* aboutLabel = nullptr;
    QLabel* versionLabel = nullptr;
    shared::TMilliseconds autoLaunchDelay = defaultAutoLaunchDelay;
};

} // namespace korvane::launcher
