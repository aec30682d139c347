#include "core/cloudflarecdntrace.h"
#include "core/launcherconfigurationhandler.h"
#include "core/launcherconfigurationreader.h"
#include "core/launcherconstants.h"
#include "core/launcherfilesystemhelper.h"
#include "core/package.h"
#include "core/packageconfigurationreader.h"
#include "installation/installationmanager.h"
#include "installation/packageinstallation.h"
#include "shared/downloadpool.h"
#include "shared/translationmanager.h"
#include "ui/clientpackagelayoutitem.h"
#include "ui/launchermainwindow.h"
#include "ui/qcontextpushbutton.h"

#include "support/messagecapture.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QProgressBar>
#include <QScreen>
#include <QSettings>
#include <QSignalSpy>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QtTest>

using namespace korvane::launcher;

namespace {

const QUrl traceUrl(QStringLiteral("http://127.0.0.1:9/cdn-cgi/trace"));

// Records the requests instead of sending them.
class TRecordingPool : public shared::TDownloadPool
{
public:
    TRecordingPool()
        : shared::TDownloadPool(6, nullptr, true)
    { }
    void Download(const QUrl& Url, int, shared::TMilliseconds) override { requests.append(Url); }
    QList<QUrl> requests;
};

// Records the boxes that would wait for the user.
class TRecordingWindow : public TLauncherMainWindow
{
public:
    using TLauncherMainWindow::TLauncherMainWindow;

    struct TBox
    {
        QString title;
        QString text;
        QMessageBox::Icon icon;
        QMessageBox::StandardButtons buttons;
        QWidget* parent;
    };
    QList<TBox> boxes;

protected:
    void execMessageBox(QMessageBox& box) override
    {
        boxes.append({ box.windowTitle(), box.text(), box.icon(), box.standardButtons(), box.parentWidget() });
    }
};

QSettings preferences()
{
    return QSettings(preferencesOrganisation, preferencesApplication);
}

// A launcher configuration of packages "Package 0".. built for this machine, each with a loaded package
// configuration and the given status.
std::shared_ptr<TLauncherConfigurationReader> configurationOf(int count, ELocalPackageStatus status)
{
    QJsonArray packages;
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("Package %1").arg(i);
        packages.append(QJsonObject { { "name", name }, { "directoryname", QStringLiteral("package%1").arg(i) },
            { "builds",
                QJsonArray {
                    QJsonObject { { "os", "linux" }, { "architecture", "x86_64" }, { "url", "package.json" } } } } });
    }
    auto reader = std::make_shared<TLauncherConfigurationReader>(
        QUrl("http://127.0.0.1/"), QJsonDocument(QJsonObject { { "packages", packages } }).toJson());
    const QByteArray document
        = QJsonDocument(QJsonObject { { "version", "1.2.3" }, { "files", QJsonArray() }, { "chunks", QJsonArray() } })
              .toJson();
    for (const std::shared_ptr<TPackage>& package : reader->packages) {
        if (TPackageBuild* build = package->currentPlatformBuild())
            build->setConfiguration(
                new TPackageConfigurationReader(document, QByteArray(), QUrl("http://127.0.0.1/"), QUrl()));
        package->localStatus = status;
    }
    return reader;
}

struct TFixture
{
    explicit TFixture(int packages = 2, ELocalPackageStatus status = ELocalPackageStatus::UpToDate,
        const QString& language = QStringLiteral("en"),
        const QString& catalogueFolder = QStringLiteral(KORVANE_TEST_CATALOGUE_DIR))
        : configuration(configurationOf(packages, status))
        , filesystemHelper(std::make_shared<TLauncherFilesystemHelper>())
        , pool(std::make_shared<TRecordingPool>())
        , cdnTrace(std::make_shared<TCloudflareCdnTrace>(traceUrl, pool, 0, 100))
        , translationManager(std::make_shared<shared::TTranslationManager>(catalogueFolder))
    {
        translationManager->loadTranslation(language);
        window = std::make_unique<TRecordingWindow>(
            filesystemHelper, configuration, nullptr, pool, cdnTrace, translationManager);
    }

    std::shared_ptr<TPackage> package(int i) const { return configuration->packages.at(i); }
    TClientPackageLayoutItem* row(int i) const { return window->getPackageItems().at(package(i)->index); }

    std::shared_ptr<TLauncherConfigurationReader> configuration;
    std::shared_ptr<TLauncherFilesystemHelper> filesystemHelper;
    std::shared_ptr<TRecordingPool> pool;
    std::shared_ptr<TCloudflareCdnTrace> cdnTrace;
    std::shared_ptr<shared::TTranslationManager> translationManager;
    std::unique_ptr<TRecordingWindow> window;
};

std::unique_ptr<TPackageInstallation> finishedInstallation(
    const std::shared_ptr<TPackage>& package, const TFixture& fixture, EPackageDownloaderError reason)
{
    auto installation = std::make_unique<TPackageInstallation>(package, nullptr, fixture.filesystemHelper);
    if (reason == EPackageDownloaderError::NoError)
        installation->onDownloadCompleted();
    else if (reason == EPackageDownloaderError::VerificationFailed)
        installation->onVerifyFinished(false);
    else
        installation->onDownloadFailed(reason);
    return installation;
}

// Every text the window shows or offers below root: window titles, labels, buttons, tooltips, progress
// texts, frame titles and menu entries, hidden ones included.
QStringList shownTexts(QWidget* root)
{
    QStringList texts { root->windowTitle(), root->toolTip() };
    QList<QWidget*> widgets = root->findChildren<QWidget*>();
    for (QWidget* widget : std::as_const(widgets)) {
        texts << widget->toolTip();
        if (widget->isWindow())
            texts << widget->windowTitle();
        if (auto* label = qobject_cast<QLabel*>(widget))
            texts << label->text();
        else if (auto* button = qobject_cast<QAbstractButton*>(widget))
            texts << button->text();
        else if (auto* bar = qobject_cast<QProgressBar*>(widget))
            texts << bar->text();
        else if (auto* frame = qobject_cast<QGroupBox*>(widget))
            texts << frame->title();
        if (auto* button = qobject_cast<QContextPushButton*>(widget)) {
            for (QAction* action : button->contextMenu->actions())
                texts << action->text();
        }
    }
    texts.removeAll(QString());
    return texts;
}

// The texts that show a bare text id, as a player would see one in any case.
QStringList bareIds(const QStringList& texts)
{
    QStringList ids;
    for (const QString& text : texts) {
        if (text.startsWith(QLatin1String("launcher."), Qt::CaseInsensitive))
            ids << text;
    }
    return ids;
}

} // namespace

class TestLauncherMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void construction();
    void embeddedImages_data();
    void embeddedImages();
    void packageGrid_data();
    void packageGrid();
    void noPackageShowsTheConnectionError();
    void windowPosition_data();
    void windowPosition();
    void closeStoresThePosition();
    void languageBox();
    void languageBoxArrowIsATriangle();
    void languageSwitch();
    void choosingTheCurrentLanguageSwitchesNothing();
    void rowSignalsAreForwarded();
    void aboutBox();
    void waitingBoxesDoNotBlockOffscreen();
    void installationProgressReachesTheRow();
    void finishDialogs_data();
    void finishDialogs();
    void downloadErrorDetailsFollowTheTrace();
    void downloadErrorAfterConnectionErrorReusesTheBox();
    void autoLaunch_data();
    void autoLaunch();
    void autoLaunchIsDroppedWithTheWindow();
    void finishForAnUnknownPackageIsIgnored();
    void emulatedMaintenance();
    void wiringWithHandlerAndManager();
    void shippedCatalogueShowsWords();
    void argumentsSurviveWithoutCatalogue();
    void screenshot();
};

void TestLauncherMainWindow::init()
{
    preferences().clear();
}

void TestLauncherMainWindow::cleanup()
{
    preferences().clear();
}

void TestLauncherMainWindow::construction()
{
    TFixture fixture;
    TLauncherMainWindow& window = *fixture.window;
    QCOMPARE(window.windowTitle(), QStringLiteral("Korvane Vedudi"));
    const Qt::WindowFlags wanted = Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint | Qt::WindowMinimizeButtonHint
        | Qt::CustomizeWindowHint | Qt::WindowCloseButtonHint;
    // The framework adds the system menu to a window with title-bar buttons.
    QCOMPARE(window.windowFlags() & ~(Qt::Window | Qt::WindowSystemMenuHint), wanted);
    QVERIFY(!(window.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(!(window.windowFlags() & Qt::FramelessWindowHint));
    QCOMPARE(window.minimumWidth(), 800);
    QCOMPARE(window.maximumWidth(), 800);
    QCOMPARE(window.minimumHeight(), 450);
    QCOMPARE(window.maximumHeight(), 600);
    QCOMPARE(window.sizePolicy().horizontalPolicy(), QSizePolicy::Fixed);
    QCOMPARE(window.sizePolicy().verticalPolicy(), QSizePolicy::MinimumExpanding);
    QVERIFY(window.parent() == nullptr);
    QVERIFY(window.styleSheet().contains(QStringLiteral(":/images/launcher/BackgroundImage.jpg")));

    QCOMPARE(window.getPackageItems().size(), std::size_t(2));
    QCOMPARE(fixture.row(0)->getPackage(), fixture.package(0));
    QCOMPARE(fixture.row(1)->getPackage(), fixture.package(1));
    QVERIFY(!window.getErrorBox());
    QCOMPARE(window.getVersionLabel()->text(), QStringLiteral("v0.0.19"));
    QCOMPARE(window.getVersionLabel()->font().capitalization(), QFont::SmallCaps);
    QCOMPARE(window.getAboutLabel()->text(),
        QStringLiteral("<a href=\"about\"><img src=\":/images/launcher/icircle.png\"/></a>"));
    QVERIFY(!window.getAboutLabel()->openExternalLinks());

    QCOMPARE(QDir(QStringLiteral(":/sounds")).entryList(QDir::Files).size(), 4);

    // The hint box stands in the main layout below the spacer, which keeps its 84 pixels.
    QVBoxLayout* mainLayout = window.getMainLayout();
    QVERIFY(mainLayout->indexOf(window.getHintSpacer()) >= 0);
    QVERIFY(mainLayout->indexOf(window.getHintSpacer()) < mainLayout->indexOf(window.getHintBox()));
    QCOMPARE(window.getHintSpacer()->sizeHint(), QSize(700, 84));
    QVERIFY(!window.isVisible());
}

void TestLauncherMainWindow::embeddedImages_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QSize>("size"); // empty: any size
    QTest::newRow("background") << "BackgroundImage.jpg" << QSize(850, 450);
    QTest::newRow("maker") << "DulmarkLogo.png" << QSize(149, 23);
    for (const char* name :
        { "icircle.png", "Twitter.png", "Discord.png", "ProgressBar_BG.png", "ProgressBar.png", "hint-background.png",
            "scrollbar-texture-vertical.png", "scrollbar-handle-vertical.png", "scrollbar-buttonup-up.png",
            "scrollbar-buttonup-down.png", "scrollbar-buttondown-up.png", "scrollbar-buttondown-down.png" })
        QTest::newRow(name) << QString::fromLatin1(name) << QSize();
    for (const char* name : { "LauncherLogo_QT.png", "KorvaneLogo_QT.png", "KorvaneLogo_QT_disabled.png" })
        QTest::newRow(name) << QString::fromLatin1(name) << QSize(196, 152);
    for (const char* colour : { "Red", "Blue", "Orange", "Green" })
        for (const char* state : { "idle", "hover", "pressed" }) {
            const QString name = QStringLiteral("Button_%1_%2.png").arg(QLatin1String(colour), QLatin1String(state));
            QTest::newRow(qPrintable(name)) << name << QSize(32, 32);
        }
    for (const char* icon : { "Download", "Update", "Play" }) {
        const QString name = QStringLiteral("Icon_%1.png").arg(QLatin1String(icon));
        QTest::newRow(qPrintable(name)) << name << QSize(34, 34);
    }
    QTest::newRow("row frame") << "clientpackage-background.png" << QSize(128, 128);
}

void TestLauncherMainWindow::embeddedImages()
{
    QFETCH(QString, name);
    QFETCH(QSize, size);
    const QPixmap picture(QStringLiteral(":/images/launcher/") + name);
    QVERIFY(!picture.isNull());
    if (size.isValid())
        QCOMPARE(picture.size(), size);
}

void TestLauncherMainWindow::packageGrid_data()
{
    QTest::addColumn<int>("count");
    QTest::newRow("two side by side") << 2;
    QTest::newRow("five: a second grid row") << 5;
}

void TestLauncherMainWindow::packageGrid()
{
    QFETCH(int, count);
    TFixture fixture(count);
    QGridLayout* grid = nullptr;
    for (int i = 0; i < count; ++i) {
        TClientPackageLayoutItem* row = fixture.row(i);
        grid = qobject_cast<QGridLayout*>(row->parent());
        QVERIFY(grid);
        int gridRow = -1, column = -1, rowSpan = 0, columnSpan = 0;
        grid->getItemPosition(grid->indexOf(row), &gridRow, &column, &rowSpan, &columnSpan);
        QCOMPARE(gridRow, i / 4);
        QCOMPARE(column, i % 4);
        QCOMPARE(rowSpan, 1);
        QCOMPARE(columnSpan, 1);
        // The rows' widgets belong to the window's tree.
        QCOMPARE(row->getActionButton()->window(), fixture.window.get());
    }
    QCOMPARE(grid->count(), count);
}

void TestLauncherMainWindow::noPackageShowsTheConnectionError()
{
    TFixture fixture(0, ELocalPackageStatus::UpToDate, QStringLiteral("sv"));
    QVERIFY(fixture.window->getPackageItems().empty());
    QMessageBox* box = fixture.window->getErrorBox();
    QVERIFY(box);
    QCOMPARE(box->parentWidget(), fixture.window.get());
    QVERIFY(box->isVisible());
    QCOMPARE(box->windowTitle(), QStringLiteral("Anslutningsfel"));
    QCOMPARE(box->text(), QStringLiteral("Ingen anslutning"));
    QCOMPARE(box->icon(), QMessageBox::Critical);
    QVERIFY(fixture.window->boxes.isEmpty());
    box->hide();
}

void TestLauncherMainWindow::windowPosition_data()
{
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    QTest::addColumn<QVariant>("stored");
    QTest::addColumn<bool>("centred");
    QTest::newRow("nothing stored") << QVariant() << true;
    QTest::newRow("origin stored, although on a screen") << QVariant(QPoint(0, 0)) << true;
    QTest::newRow("inside a screen") << QVariant(available.topLeft() + QPoint(37, 21)) << false;
    QTest::newRow("on the screen's border") << QVariant(available.bottomRight()) << false;
    QTest::newRow("outside every screen") << QVariant(available.bottomRight() + QPoint(1, 1)) << true;
    QTest::newRow("far away") << QVariant(QPoint(-5000, -5000)) << true;
}

void TestLauncherMainWindow::windowPosition()
{
    QFETCH(QVariant, stored);
    QFETCH(bool, centred);
    if (stored.isValid())
        preferences().setValue(QStringLiteral("windowPos"), stored);
    TFixture fixture;
    if (!centred) {
        QCOMPARE(fixture.window->pos(), stored.toPoint());
        return;
    }
    // Centred by the size the window had when it was placed: 800 wide, the framework's first height.
    const QSize screen = QGuiApplication::primaryScreen()->geometry().size();
    QCOMPARE(fixture.window->pos(), QPoint((screen.width() - 800) / 2, (screen.height() - 480) / 2));
}

void TestLauncherMainWindow::closeStoresThePosition()
{
    TFixture fixture;
    fixture.window->show();
    fixture.window->move(123, 45);
    const QPoint position = fixture.window->pos();
    QVERIFY(fixture.window->close());
    QVERIFY(!fixture.window->isVisible());
    QCOMPARE(preferences().value(QStringLiteral("windowPos")).toPoint(), position);
    // The next window opens there.
    TFixture next;
    QCOMPARE(next.window->pos(), position);
}

void TestLauncherMainWindow::languageBox()
{
    TFixture fixture(2, ELocalPackageStatus::UpToDate, QStringLiteral("sv"));
    QComboBox* box = fixture.window->getLanguageComboBox();
    QCOMPARE(box->count(), 12);
    QCOMPARE(box->size(), QSize(130, 22));
    const QStringList codes { "en", "de", "fr", "pl", "es", "tr", "pt", "pt-BR", "uk", "ru", "it", "sv" };
    for (int i = 0; i < codes.size(); ++i)
        QCOMPARE(box->itemData(i).toString(), codes.at(i));
    QCOMPARE(box->itemText(7), QStringLiteral("Português (BR)"));
    QCOMPARE(box->itemText(8), QStringLiteral("Українська"));
    QCOMPARE(box->currentIndex(), 11);
    // Building the box stored nothing.
    QVERIFY(!preferences().contains(QStringLiteral("language")));

    // Without a translation manager the box shows English.
    TLauncherMainWindow bare(nullptr, fixture.configuration, nullptr, nullptr, nullptr, nullptr);
    QCOMPARE(bare.getLanguageComboBox()->currentIndex(), 0);
    fixture.translationManager->loadTranslation(QStringLiteral("en"));
}

void TestLauncherMainWindow::languageBoxArrowIsATriangle()
{
    TFixture fixture;
    fixture.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(fixture.window.get()));
    QComboBox* box = fixture.window->getLanguageComboBox();
    const QImage picture = box->grab().toImage();
    // The arrow's pixels in the drop-down part, row by row from the top.
    const QColor arrow(0xDA, 0xDA, 0xBC);
    std::vector<int> widths;
    for (int y = 0; y < picture.height(); ++y) {
        int width = 0;
        for (int x = picture.width() - 16; x < picture.width(); ++x) {
            const QColor pixel = picture.pixelColor(x, y);
            if (qAbs(pixel.red() - arrow.red()) + qAbs(pixel.green() - arrow.green())
                    + qAbs(pixel.blue() - arrow.blue())
                < 24)
                ++width;
        }
        if (width > 0)
            widths.push_back(width);
    }
    // A triangle pointing down narrows from row to row; a bar keeps its width.
    QVERIFY2(widths.size() >= 3, qPrintable(QString::number(widths.size())));
    for (std::size_t k = 1; k < widths.size(); ++k)
        QVERIFY2(widths[k] < widths[k - 1],
            qPrintable(QStringLiteral("row %1: %2 after %3").arg(k).arg(widths[k]).arg(widths[k - 1])));
    QVERIFY(widths.back() <= 2);
    fixture.window->hide();
}

void TestLauncherMainWindow::languageSwitch()
{
    TFixture fixture(1, ELocalPackageStatus::NotInstalled);
    TClientPackageLayoutItem* row = fixture.row(0);
    QCOMPARE(row->getActionButton()->toolTip(), qtTrId("launcher.status.click_to_download"));
    const QString aboutTip = fixture.window->getAboutLabel()->toolTip();

    QComboBox* box = fixture.window->getLanguageComboBox();
    box->setCurrentIndex(box->findData(QStringLiteral("sv")));

    QCOMPARE(preferences().value(QStringLiteral("language")).toString(), QStringLiteral("sv"));
    QCOMPARE(fixture.translationManager->getCurrentLanguage(), QStringLiteral("sv"));
    QCOMPARE(row->getActionButton()->toolTip(), QStringLiteral("Klicka för att ladda ner"));
    QCOMPARE(row->getAutoLaunchCheckBox()->text(), QStringLiteral("Starta automatiskt"));
    QCOMPARE(row->getMaintenanceTextLabel()->text(), QStringLiteral("Underhåll pågår"));
    // Tooltips built with the window keep their language until the next start.
    QCOMPARE(fixture.window->getAboutLabel()->toolTip(), aboutTip);
    fixture.translationManager->loadTranslation(QStringLiteral("en"));
}

void TestLauncherMainWindow::choosingTheCurrentLanguageSwitchesNothing()
{
    TFixture fixture;
    // The manager moved on after the box was built, so choosing its language is a choice of the current one.
    fixture.translationManager->loadTranslation(QStringLiteral("sv"));
    QComboBox* box = fixture.window->getLanguageComboBox();
    QCOMPARE(box->currentIndex(), 0);
    box->setCurrentIndex(box->findData(QStringLiteral("sv")));
    QVERIFY(!preferences().contains(QStringLiteral("language")));
    QCOMPARE(fixture.translationManager->getCurrentLanguage(), QStringLiteral("sv"));

    // Without a translation manager nothing is switched either.
    TLauncherMainWindow bare(nullptr, fixture.configuration, nullptr, nullptr, nullptr, nullptr);
    bare.getLanguageComboBox()->setCurrentIndex(3);
    QVERIFY(!preferences().contains(QStringLiteral("language")));
    fixture.translationManager->loadTranslation(QStringLiteral("en"));
}

void TestLauncherMainWindow::rowSignalsAreForwarded()
{
    TFixture fixture;
    QSignalSpy play(fixture.window.get(), &TLauncherMainWindow::clientPackageButtonClicked);
    QSignalSpy verify(fixture.window.get(), &TLauncherMainWindow::clientPackageVerifyButtonClicked);
    QSignalSpy uninstall(fixture.window.get(), &TLauncherMainWindow::clientPackageUninstallButtonClicked);
    emit fixture.row(1)->buttonClicked(fixture.package(1));
    emit fixture.row(0)->verifyButtonClicked(fixture.package(0));
    emit fixture.row(1)->uninstallButtonClicked(fixture.package(1));
    QCOMPARE(play.count(), 1);
    QCOMPARE(play.at(0).at(0).value<std::shared_ptr<TPackage>>(), fixture.package(1));
    QCOMPARE(verify.count(), 1);
    QCOMPARE(verify.at(0).at(0).value<std::shared_ptr<TPackage>>(), fixture.package(0));
    QCOMPARE(uninstall.count(), 1);
}

void TestLauncherMainWindow::aboutBox()
{
    TFixture fixture(2, ELocalPackageStatus::UpToDate, QStringLiteral("sv"));
    emit fixture.window->getAboutLabel()->linkActivated(QStringLiteral("about"));
    QCOMPARE(fixture.window->boxes.size(), 1);
    QCOMPARE(fixture.window->boxes.at(0).title, QStringLiteral("Om Korvane Vedudi"));
    QVERIFY(fixture.window->boxes.at(0).text.startsWith(QStringLiteral("Webbplats https://")));
    QCOMPARE(fixture.window->boxes.at(0).parent, fixture.window.get());
    fixture.translationManager->loadTranslation(QStringLiteral("en"));
}

void TestLauncherMainWindow::waitingBoxesDoNotBlockOffscreen()
{
    // Nobody can close a box on the offscreen platform; a run there must not hang in one.
    TFixture fixture;
    TLauncherMainWindow window(fixture.filesystemHelper, fixture.configuration, nullptr, fixture.pool, fixture.cdnTrace,
        fixture.translationManager);
    bool sawModal = false;
    QTimer rescue;
    QObject::connect(&rescue, &QTimer::timeout, [&sawModal]() {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            sawModal = true;
            modal->close();
        }
    });
    rescue.start(200);
    QElapsedTimer clock;
    clock.start();
    window.onAboutDialogRequested(QStringLiteral("about"));
    auto installation = finishedInstallation(fixture.package(0), fixture, EPackageDownloaderError::SavingFailed);
    window.onInstallationOrUpdateFinished(*installation);
    QVERIFY(!sawModal);
    QVERIFY(clock.elapsed() < 1000);
}

void TestLauncherMainWindow::installationProgressReachesTheRow()
{
    TFixture fixture(2, ELocalPackageStatus::NotInstalled);
    fixture.window->show();
    TPackageInstallation installation(fixture.package(1), nullptr, fixture.filesystemHelper);
    fixture.window->onInstallationOrUpdateStarted(installation);
    QVERIFY(fixture.row(1)->getProgressBar()->isVisible());
    QVERIFY(!fixture.row(1)->getActionButton()->isVisible());
    QVERIFY(!fixture.row(0)->getProgressBar()->isVisible());

    fixture.package(1)->localStatus = ELocalPackageStatus::UpdateAvailable;
    installation.onDownloadFailed(EPackageDownloaderError::SavingFailed);
    fixture.window->onInstallationOrUpdateFinished(installation);
    QVERIFY(!fixture.row(1)->getProgressBar()->isVisible());
    QVERIFY(fixture.row(1)->getActionButton()->isVisible());
    QCOMPARE(fixture.row(1)->getProgressBar()->value(), 0);
    QCOMPARE(fixture.row(1)->getActionButton()->toolTip(), qtTrId("launcher.status.update_available"));
    fixture.window->hide();
}

void TestLauncherMainWindow::finishDialogs_data()
{
    QTest::addColumn<int>("reason");
    QTest::addColumn<QString>("modalText"); // empty: no box that waits
    QTest::addColumn<bool>("errorBoxShown");
    QTest::newRow("no error") << 0 << QString() << false;
    QTest::newRow("download failed") << 1 << QString() << true;
    QTest::newRow("saving failed") << 2 << QStringLiteral("Inte nog diskutrymme för Package 1") << false;
    QTest::newRow("verification failed") << 3 << QStringLiteral("Verifieringen av Package 1 misslyckades") << false;
}

void TestLauncherMainWindow::finishDialogs()
{
    QFETCH(int, reason);
    QFETCH(QString, modalText);
    QFETCH(bool, errorBoxShown);
    // Not up to date afterwards, so a success starts nothing.
    TFixture fixture(2, ELocalPackageStatus::UpdateAvailable, QStringLiteral("sv"));
    QSignalSpy play(fixture.window.get(), &TLauncherMainWindow::clientPackageButtonClicked);
    auto installation = finishedInstallation(fixture.package(1), fixture, EPackageDownloaderError(reason));
    QCOMPARE(int(installation->getFinishReason()), reason);
    fixture.window->onInstallationOrUpdateFinished(*installation);

    if (modalText.isEmpty()) {
        QVERIFY(fixture.window->boxes.isEmpty());
    } else {
        QCOMPARE(fixture.window->boxes.size(), 1);
        const TRecordingWindow::TBox& box = fixture.window->boxes.at(0);
        QCOMPARE(box.title, QStringLiteral("Installationsfel"));
        QCOMPARE(box.text, modalText);
        QCOMPARE(box.icon, QMessageBox::Critical);
        QCOMPARE(box.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
        QCOMPARE(box.parent, fixture.window.get());
    }
    QMessageBox* errorBox = fixture.window->getErrorBox();
    QCOMPARE(errorBox != nullptr, errorBoxShown);
    if (errorBox) {
        QVERIFY(errorBox->isVisible());
        QCOMPARE(errorBox->windowTitle(), QStringLiteral("Nedladdningsfel"));
        QCOMPARE(errorBox->text(), QStringLiteral("Nedladdningen av Package 1 misslyckades"));
        QCOMPARE(errorBox->icon(), QMessageBox::Critical);
        QCOMPARE(errorBox->detailedText(), QStringLiteral("Loading, please wait..."));
        QCOMPARE(fixture.pool->requests, QList<QUrl> { traceUrl });
        errorBox->hide();
    }
    QTest::qWait(20);
    QCOMPARE(play.count(), 0);
    fixture.translationManager->loadTranslation(QStringLiteral("en"));
}

void TestLauncherMainWindow::downloadErrorDetailsFollowTheTrace()
{
    TFixture fixture(2, ELocalPackageStatus::UpdateAvailable, QStringLiteral("sv"));
    // Another listener of the shared trace keeps its connection when the window's reactions go.
    int otherListener = 0;
    QObject::connect(fixture.cdnTrace.get(), &TCloudflareCdnTrace::diagnosticsTraceReceived,
        [&otherListener](bool) { ++otherListener; });
    auto first = finishedInstallation(fixture.package(0), fixture, EPackageDownloaderError::DownloadFailed);
    auto second = finishedInstallation(fixture.package(1), fixture, EPackageDownloaderError::DownloadFailed);
    fixture.window->onInstallationOrUpdateFinished(*first);
    fixture.window->onInstallationOrUpdateFinished(*second);
    QMessageBox* box = fixture.window->getErrorBox();
    QCOMPARE(box->detailedText(), QStringLiteral("Loading, please wait..."));
    // The trace is asked for once, however many boxes wait for it.
    QCOMPARE(fixture.pool->requests.size(), 1);

    fixture.cdnTrace->onDownloadSuccess(traceUrl, "fl=7f\nts=1700000000.1\ncolo=FRA\nip=192.0.2.7\nloc=DE\n");
    QCOMPARE(box->detailedText(), QStringLiteral("FL: 7f, TS: 1700000000.1, COLO: FRA, IP: 192.0.2.7"));
    // Shown again once, with the first failure's package name: the first reaction removed the second.
    QCOMPARE(box->text(), QStringLiteral("Nedladdningen av Package 0 misslyckades"));
    QVERIFY(box->isVisible());
    // Nothing waits any more.
    box->setText(QStringLiteral("unchanged"));
    emit fixture.cdnTrace->diagnosticsTraceReceived(false);
    QCOMPARE(box->text(), QStringLiteral("unchanged"));
    QCOMPARE(otherListener, 2);

    // A trace that arrives after the box was closed does not bring it back; later boxes show it at once.
    box->hide();
    fixture.window->showDownloadErrorDialog(QStringLiteral("Package 1"));
    QCOMPARE(box->detailedText(), QStringLiteral("FL: 7f, TS: 1700000000.1, COLO: FRA, IP: 192.0.2.7"));
    QCOMPARE(fixture.pool->requests.size(), 1);
    box->hide();

    // A trace that fails gives the failure text; one that cannot even be requested leaves nothing waiting.
    TFixture failing;
    failing.window->showDownloadErrorDialog(QStringLiteral("Package 0"));
    failing.window->getErrorBox()->hide();
    failing.cdnTrace->onDownloadFailed(traceUrl, QNetworkReply::HostNotFoundError, QString());
    QVERIFY(!failing.window->getErrorBox()->isVisible());
    failing.window->showDownloadErrorDialog(QStringLiteral("Package 0"));
    QCOMPARE(failing.window->getErrorBox()->detailedText(), QStringLiteral("Failed to obtain information."));
    failing.window->getErrorBox()->hide();

    auto invalid = std::make_shared<TCloudflareCdnTrace>(QUrl(), failing.pool, 0, 100);
    TRecordingWindow window(failing.filesystemHelper, failing.configuration, nullptr, failing.pool, invalid, nullptr);
    window.showDownloadErrorDialog(QStringLiteral("Package 0"));
    QCOMPARE(window.getErrorBox()->detailedText(), QStringLiteral("Failed to obtain information."));
    window.getErrorBox()->setText(QStringLiteral("unchanged"));
    emit invalid->diagnosticsTraceReceived(true);
    QCOMPARE(window.getErrorBox()->text(), QStringLiteral("unchanged"));
    window.getErrorBox()->hide();
    fixture.translationManager->loadTranslation(QStringLiteral("en"));
}

void TestLauncherMainWindow::downloadErrorAfterConnectionErrorReusesTheBox()
{
    TFixture fixture(0, ELocalPackageStatus::UpToDate, QStringLiteral("sv"));
    QMessageBox* box = fixture.window->getErrorBox();
    QVERIFY(box->detailedText().isEmpty());
    fixture.window->showDownloadErrorDialog(QStringLiteral("Package 9"));
    QCOMPARE(fixture.window->getErrorBox(), box);
    QCOMPARE(box->windowTitle(), QStringLiteral("Nedladdningsfel"));
    QCOMPARE(box->text(), QStringLiteral("Nedladdningen av Package 9 misslyckades"));
    QCOMPARE(box->detailedText(), QStringLiteral("Loading, please wait..."));
    box->hide();
    fixture.translationManager->loadTranslation(QStringLiteral("en"));
}

void TestLauncherMainWindow::autoLaunch_data()
{
    QTest::addColumn<QVariant>("preference");
    QTest::addColumn<int>("statusAtFinish");
    QTest::addColumn<int>("statusAtShot");
    QTest::addColumn<int>("reason");
    QTest::addColumn<bool>("started");
    const int upToDate = int(ELocalPackageStatus::UpToDate);
    const int notInstalled = int(ELocalPackageStatus::NotInstalled);
    QTest::newRow("default preference starts") << QVariant() << upToDate << upToDate << 0 << true;
    QTest::newRow("preference true starts") << QVariant(true) << upToDate << upToDate << 0 << true;
    QTest::newRow("preference false") << QVariant(false) << upToDate << upToDate << 0 << false;
    QTest::newRow("not up to date at the finish")
        << QVariant() << int(ELocalPackageStatus::PartiallyInstalled) << upToDate << 0 << false;
    QTest::newRow("uninstalled meanwhile") << QVariant() << upToDate << notInstalled << 0 << false;
    QTest::newRow("failed installation") << QVariant() << upToDate << upToDate << 1 << false;
}

void TestLauncherMainWindow::autoLaunch()
{
    QFETCH(QVariant, preference);
    QFETCH(int, statusAtFinish);
    QFETCH(int, statusAtShot);
    QFETCH(int, reason);
    QFETCH(bool, started);
    if (preference.isValid())
        preferences().setValue(QStringLiteral("autoLaunchAfterInstall"), preference);
    TFixture fixture(2, ELocalPackageStatus(statusAtFinish));
    fixture.window->setAutoLaunchDelay(30);
    QSignalSpy play(fixture.window.get(), &TLauncherMainWindow::clientPackageButtonClicked);
    {
        auto installation = finishedInstallation(fixture.package(1), fixture, EPackageDownloaderError(reason));
        fixture.window->onInstallationOrUpdateFinished(*installation);
    } // the installation is gone long before the shot; the shot keeps the package
    if (QMessageBox* box = fixture.window->getErrorBox())
        box->hide();
    QCOMPARE(play.count(), 0);
    fixture.package(1)->localStatus = ELocalPackageStatus(statusAtShot);
    if (started) {
        QTRY_COMPARE_WITH_TIMEOUT(play.count(), 1, 2000);
        QCOMPARE(play.at(0).at(0).value<std::shared_ptr<TPackage>>(), fixture.package(1));
    } else {
        QTest::qWait(120);
        QCOMPARE(play.count(), 0);
    }
    QCOMPARE(TLauncherMainWindow::defaultAutoLaunchDelay, 1500);
}

void TestLauncherMainWindow::autoLaunchIsDroppedWithTheWindow()
{
    TFixture fixture;
    fixture.window->setAutoLaunchDelay(20);
    int started = 0;
    QObject::connect(fixture.window.get(), &TLauncherMainWindow::clientPackageButtonClicked,
        [&started](const std::shared_ptr<TPackage>&) { ++started; });
    auto installation = finishedInstallation(fixture.package(0), fixture, EPackageDownloaderError::NoError);
    fixture.window->onInstallationOrUpdateFinished(*installation);
    fixture.window.reset();
    QTest::qWait(100);
    QCOMPARE(started, 0);
}

void TestLauncherMainWindow::finishForAnUnknownPackageIsIgnored()
{
    TFixture fixture;
    TFixture other(3);
    // Index 2 has no row in the two-package window.
    auto installation = finishedInstallation(other.package(2), other, EPackageDownloaderError::VerificationFailed);
    fixture.window->onInstallationOrUpdateStarted(*installation);
    fixture.window->onInstallationOrUpdateFinished(*installation);
    QVERIFY(fixture.window->boxes.isEmpty());
}

void TestLauncherMainWindow::emulatedMaintenance()
{
    TFixture fixture;
    const QDateTime now = QDateTime::currentDateTimeUtc();
    TLauncherMainWindow::emulateMaintenance(*fixture.configuration, now);
    for (int i = 0; i < 2; ++i) {
        QVERIFY(fixture.package(i)->maintenanceActive);
        QCOMPARE(fixture.package(i)->maintenanceEstimatedEnd, now.addSecs(120));
    }
    fixture.window->onMaintenanceStateChanged();
    for (int i = 0; i < 2; ++i) {
        QCOMPARE(fixture.row(i)->getPages()->currentIndex(), 1);
        QVERIFY(fixture.row(i)->getMaintenanceCountdownTimer().isActive());
    }
    for (int i = 0; i < 2; ++i)
        fixture.package(i)->maintenanceActive = false;
    fixture.window->onMaintenanceStateChanged();
    for (int i = 0; i < 2; ++i)
        QCOMPARE(fixture.row(i)->getPages()->currentIndex(), 0);
}

void TestLauncherMainWindow::wiringWithHandlerAndManager()
{
    // The connections the application makes when it builds the window.
    TFixture fixture(2, ELocalPackageStatus::NotInstalled);
    TLauncherConfigurationHandler handler(fixture.pool, fixture.filesystemHelper, QUrl("http://127.0.0.1:9/c.json"));
    QObject::connect(&handler, &TLauncherConfigurationHandler::hintsAreaDataReceived, fixture.window.get(),
        &TLauncherMainWindow::setHints);
    QObject::connect(&handler, &TLauncherConfigurationHandler::maintenanceStateChanged, fixture.window.get(),
        &TLauncherMainWindow::onMaintenanceStateChanged);
    TInstallationManager manager(fixture.configuration, nullptr, fixture.filesystemHelper);
    fixture.window->connectInstallationManager(&manager);
    fixture.window->show();

    std::vector<shared::THint> hints;
    for (const char* category : { "cat1", "cat2", "cat3" }) {
        shared::THint hint;
        hint.category = QLatin1String(category);
        hint.richText = QStringLiteral("News ") + hint.category;
        hint.imageUrl = QStringLiteral("http://127.0.0.1:9/") + hint.category + QStringLiteral(".png");
        hint.url = QStringLiteral("https://www.dulmark.example/news");
        hints.push_back(hint);
    }
    emit handler.hintsAreaDataReceived(hints);
    // All three categories: the tile row takes the spacer's place.
    QCOMPARE(fixture.window->getMainLayout()->indexOf(fixture.window->getHintSpacer()), -1);
    QVERIFY(fixture.window->getHintBox()->isVisible());

    fixture.package(0)->maintenanceActive = true;
    emit handler.maintenanceStateChanged();
    QCOMPARE(fixture.row(0)->getPages()->currentIndex(), 1);
    QCOMPARE(fixture.row(1)->getPages()->currentIndex(), 0);

    TPackageInstallation installation(fixture.package(1), nullptr, fixture.filesystemHelper);
    emit manager.installationOrUpdateStarted(installation);
    QVERIFY(fixture.row(1)->getProgressBar()->isVisible());
    installation.onDownloadCompleted();
    emit manager.installationOrUpdateFinished(installation);
    QVERIFY(fixture.row(1)->getActionButton()->isVisible());
    fixture.window->hide();
}

void TestLauncherMainWindow::shippedCatalogueShowsWords()
{
    // The catalogue the build places next to the program, as a player gets it.
    const QString programFolder = QFileInfo(QStringLiteral(KORVANE_LAUNCHER_BINARY)).absolutePath();
    korvane::test::TMessages messages;
    TFixture fixture(3, ELocalPackageStatus::UpToDate, QStringLiteral("en"), programFolder);
    QCOMPARE(fixture.translationManager->getCurrentLanguage(), QStringLiteral("en"));
    TRecordingWindow& window = *fixture.window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));

    // Package 0 in maintenance, package 1 installing, package 2 ready.
    const QDateTime now = QDateTime::fromString(QStringLiteral("2026-03-01T12:00:00Z"), Qt::ISODate);
    fixture.row(0)->setClock([now] { return now; });
    fixture.package(0)->maintenanceActive = true;
    fixture.package(0)->maintenanceEstimatedEnd = now.addSecs(5593);
    window.onMaintenanceStateChanged();
    fixture.package(1)->setLocalStatus(ELocalPackageStatus::NotInstalled);
    TPackageInstallation installation(fixture.package(1), nullptr, fixture.filesystemHelper);
    window.onInstallationOrUpdateStarted(installation);
    shared::THint hint;
    hint.category = QStringLiteral("cat1");
    hint.richText = QStringLiteral("Season two has begun.");
    window.setHint(hint);

    const QLabel* countdown = fixture.row(0)->getMaintenanceCountdownLabel();
    QVERIFY(countdown->isVisible());
    QCOMPARE(countdown->text(), QStringLiteral("Back in 1h 33m"));
    QCOMPARE(fixture.row(0)->getMaintenanceTextLabel()->text(),
        QStringLiteral("Maintenance in progress. Please try again later."));
    QCOMPARE(fixture.row(2)->getActionButton()->toolTip(), QStringLiteral("Ready to Play"));
    QCOMPARE(fixture.row(2)->getAutoLaunchCheckBox()->text(), QStringLiteral("Launch When Ready"));

    // Each phase of the installation names itself in words that fit the bar.
    TClientPackageLayoutItem* installing = fixture.row(1);
    QProgressBar* bar = installing->getProgressBar();
    const std::vector<std::function<void()>> phases {
        [installing] { installing->onScanProgress(1000000, 4000000); },
        [installing] { installing->onWriteProgress(2000000, 4000000); },
        [installing] { installing->onVerificationProgress(3000000, 4000000); },
    };
    for (const std::function<void()>& phase : phases) {
        phase();
        const QStringList texts = shownTexts(&window);
        QVERIFY2(bareIds(texts).isEmpty(), qPrintable(bareIds(texts).join(QStringLiteral(" | "))));
        QVERIFY(!bar->text().isEmpty());
        QVERIFY2(QFontMetrics(bar->font()).horizontalAdvance(bar->text()) < bar->contentsRect().width(),
            qPrintable(bar->text()));
    }

    installation.onDownloadFailed(EPackageDownloaderError::DownloadFailed);
    window.onInstallationOrUpdateFinished(installation);
    QMessageBox* errorBox = window.getErrorBox();
    QVERIFY(errorBox && errorBox->isVisible());
    QVERIFY2(errorBox->text().contains(QStringLiteral("Package 1")), qPrintable(errorBox->text()));
    QVERIFY(bareIds(shownTexts(&window)).isEmpty());
    QVERIFY(bareIds({ errorBox->windowTitle(), errorBox->text() }).isEmpty());
    errorBox->hide();

    emit window.getAboutLabel()->linkActivated(QStringLiteral("about"));
    QCOMPARE(window.boxes.size(), 1);
    const TRecordingWindow::TBox& about = window.boxes.at(0);
    QVERIFY(bareIds({ about.title, about.text }).isEmpty());
    QVERIFY(about.text.contains(QStringLiteral("https://www.dulmark.example/\"")));
    QVERIFY(about.text.contains(QStringLiteral("https://www.dulmark.example/privacy")));

    QVERIFY2(messages.matching(QStringLiteral("QString::arg")).isEmpty(),
        qPrintable(messages.matching(QStringLiteral("QString::arg")).join('\n')));
    window.hide();
}

void TestLauncherMainWindow::argumentsSurviveWithoutCatalogue()
{
    // A deployment without any catalogue shows the ids, and the values that belong to them.
    QTemporaryDir noCatalogues;
    QVERIFY(noCatalogues.isValid());
    korvane::test::TMessages messages;
    TFixture fixture(2, ELocalPackageStatus::UpdateAvailable, QStringLiteral("en"), noCatalogues.path());
    const QDateTime now = QDateTime::fromString(QStringLiteral("2026-03-01T12:00:00Z"), Qt::ISODate);
    fixture.row(0)->setClock([now] { return now; });
    fixture.package(0)->maintenanceActive = true;
    fixture.package(0)->maintenanceEstimatedEnd = now.addSecs(5593);
    fixture.window->onMaintenanceStateChanged();
    QCOMPARE(fixture.row(0)->getMaintenanceCountdownLabel()->text(),
        QStringLiteral("launcher.maintenance.estimated_end: 1h 33m"));

    fixture.window->showDownloadErrorDialog(QStringLiteral("Package 1"));
    QCOMPARE(fixture.window->getErrorBox()->text(), QStringLiteral("launcher.error.download_text: Package 1"));
    fixture.window->getErrorBox()->hide();
    auto installation = finishedInstallation(fixture.package(1), fixture, EPackageDownloaderError::SavingFailed);
    fixture.window->onInstallationOrUpdateFinished(*installation);
    emit fixture.window->getAboutLabel()->linkActivated(QStringLiteral("about"));
    QCOMPARE(fixture.window->boxes.size(), 2);
    QCOMPARE(fixture.window->boxes.at(0).text, QStringLiteral("launcher.error.disk_space_text: Package 1"));
    QCOMPARE(fixture.window->boxes.at(1).text,
        QStringLiteral("launcher.about.text: https://www.dulmark.example/, https://www.dulmark.example/privacy"));

    QVERIFY2(messages.matching(QStringLiteral("Argument missing")).isEmpty(),
        qPrintable(messages.matching(QStringLiteral("Argument missing")).join('\n')));
}

void TestLauncherMainWindow::screenshot()
{
    TFixture fixture(3, ELocalPackageStatus::UpToDate);
    fixture.package(1)->setLocalStatus(ELocalPackageStatus::NotInstalled);
    fixture.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(fixture.window.get()));
    const QPixmap picture = fixture.window->grab();
    QVERIFY(!picture.isNull());
    QCOMPARE(picture.width(), 800);
    const QString path = QDir::temp().filePath(QStringLiteral("korvane-mainwindow.png"));
    QVERIFY(picture.save(path));
    qInfo() << "Screenshot:" << path;
    fixture.window->hide();
}

int main(int argc, char** argv)
{
    // The preferences live in the native store below HOME; keep the user's own untouched.
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/config")).toLocal8Bit());
    qputenv("XDG_DATA_HOME", (home.path() + QStringLiteral("/data")).toLocal8Bit());
    qputenv("XDG_CACHE_HOME", (home.path() + QStringLiteral("/cache")).toLocal8Bit());
    QApplication application(argc, argv);
    registerInstallationMetaTypes();
    TestLauncherMainWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_launchermainwindow.moc"
