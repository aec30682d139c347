#include "core/launcherconfigurationreader.h"
#include "core/launcherconstants.h"
#include "core/launcherfilesystemhelper.h"
#include "core/package.h"
#include "core/packageconfigurationreader.h"
#include "installation/packagefiledownloader.h"
#include "installation/packageinstallation.h"
#include "ui/clientpackagelayoutitem.h"
#include "ui/qcontextpushbutton.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QGridLayout>
#include <QJsonArray>
#include <QJsonObject>
#include <QLabel>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QProgressBar>
#include <QSettings>
#include <QStackedWidget>
#include <QTemporaryDir>
#include <QTranslator>
#include <QtTest>

using namespace korvane::launcher;

namespace {

// Texts of the ids with a language prefix, and a catalogue text with its argument for the countdown, so
// that a switch of language is seen and no id is used with a missing argument.
class TPrefixTranslator : public QTranslator
{
public:
    explicit TPrefixTranslator(QString Prefix)
        : prefix(std::move(Prefix))
    { }
    bool isEmpty() const override { return false; }
    QString translate(const char*, const char* sourceText, const char*, int) const override
    {
        const QString id = QString::fromLatin1(sourceText);
        if (id == QLatin1String("launcher.maintenance.estimated_end"))
            return prefix + QStringLiteral("ends in %1");
        return prefix + id;
    }

private:
    QString prefix;
};

const TLauncherConfigurationReader& emptyReader()
{
    static const TLauncherConfigurationReader reader(QUrl(QStringLiteral("http://cfg.example/launcher/")), "{}");
    return reader;
}

// A package with a Linux x86-64 build whose configuration has files of the given packed sizes.
std::shared_ptr<TPackage> makePackage(ELocalPackageStatus status, const std::vector<quint64>& packedSizes = { 1000 },
    const QString& version = QStringLiteral("P7 A2"), const QString& logoLink = QString())
{
    QJsonObject object { { QStringLiteral("name"), QStringLiteral("Korvane") },
        { QStringLiteral("directoryname"), QStringLiteral("korvane") },
        { QStringLiteral("builds"),
            QJsonArray { QJsonObject { { QStringLiteral("os"), QStringLiteral("linux") },
                { QStringLiteral("architecture"), QStringLiteral("x86_64") },
                { QStringLiteral("url"), QStringLiteral("korvane/package.json") } } } } };
    if (!logoLink.isEmpty())
        object.insert(QStringLiteral("logolinktarget"), logoLink);
    auto package = std::make_shared<TPackage>(3, object, emptyReader());
    auto* configuration = new TPackageConfigurationReader;
    configuration->valid = true;
    configuration->version = version;
    for (quint64 size : packedSizes) {
        TFileInPackage file;
        file.localFile = QStringLiteral("file%1").arg(configuration->files.size());
        file.wholeFile.packedSize = size;
        configuration->files.push_back(file);
    }
    if (package->currentPlatformBuild())
        package->currentPlatformBuild()->setConfiguration(configuration);
    else
        delete configuration;
    package->localStatus = status;
    return package;
}

// A row placed in a widget, as the window's grid holds it.
struct TRowFixture
{
    explicit TRowFixture(std::shared_ptr<TPackage> Package, bool showNames = true)
        : package(std::move(Package))
    {
        auto* grid = new QGridLayout(&host);
        row = new TClientPackageLayoutItem(package, showNames);
        grid->addLayout(row, 0, 0);
    }

    std::shared_ptr<TPackage> package;
    QWidget host;
    TClientPackageLayoutItem* row = nullptr;
};

TProgressStatistics statistics(std::uint64_t samples, double average)
{
    TProgressStatistics result;
    result.sampleCount = samples;
    result.average = average;
    return result;
}

QStringList actionTexts(const QContextPushButton* button)
{
    QStringList texts;
    for (const QAction* action : button->contextMenu->actions())
        texts << action->text();
    return texts;
}

} // namespace

Q_DECLARE_METATYPE(ELocalPackageStatus)

class TestClientPackageLayoutItem : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void statusTable_data();
    void statusTable();
    void logoFollowsStatusAndConfiguration();
    void logoLinkOnlyForWebAddresses();
    void statusChangeRedrawsRow();
    void nameAndVersion_data();
    void nameAndVersion();
    void clicksAndContextActions();
    void autoLaunchPreferenceIsShared();

    void phaseProgress_data();
    void phaseProgress();
    void downloadProgress_data();
    void downloadProgress();
    void speedAndRemainingTexts_data();
    void speedAndRemainingTexts();
    void followsInstallationUntilFinished();

    void countdownText_data();
    void countdownText();
    void maintenanceCountdown();
    void maintenanceWithoutFutureEnd();

private:
    std::unique_ptr<TPrefixTranslator> translator;
};

void TestClientPackageLayoutItem::init()
{
    translator = std::make_unique<TPrefixTranslator>(QStringLiteral("en:"));
    QCoreApplication::installTranslator(translator.get());
    QSettings(preferencesOrganisation, preferencesApplication).clear();
}

void TestClientPackageLayoutItem::cleanup()
{
    QCoreApplication::removeTranslator(translator.get());
    translator.reset();
}

void TestClientPackageLayoutItem::statusTable_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("colour");
    QTest::addColumn<QString>("icon");
    QTest::addColumn<QString>("tooltip");
    QTest::addColumn<QStringList>("actions");

    const QStringList none;
    const QStringList upToDate { QStringLiteral("en:launcher.action.verify"),
        QStringLiteral("en:launcher.action.uninstall") };
    QTest::newRow("0 not evaluated") << 0 << "Red"
                                     << ""
                                     << "en:launcher.status.error" << none;
    QTest::newRow("1 not installed") << 1 << "Blue"
                                     << "Download"
                                     << "en:launcher.status.click_to_download" << none;
    QTest::newRow("2 partial") << 2 << "Orange"
                               << "Update"
                               << "en:launcher.status.update_available" << none;
    QTest::newRow("3 update") << 3 << "Orange"
                              << "Update"
                              << "en:launcher.status.update_available" << none;
    QTest::newRow("4 up to date") << 4 << "Green"
                                  << "Play"
                                  << "en:launcher.status.ready_to_play" << upToDate;
    QTest::newRow("9 other value") << 9 << "Green"
                                   << "Play"
                                   << "en:launcher.status.ready_to_play" << upToDate;
}

void TestClientPackageLayoutItem::statusTable()
{
    QFETCH(int, status);
    QFETCH(QString, colour);
    QFETCH(QString, icon);
    QFETCH(QString, tooltip);
    QFETCH(QStringList, actions);

    TRowFixture fixture(makePackage(ELocalPackageStatus(status)));
    const QContextPushButton* button = fixture.row->getActionButton();
    QCOMPARE(button->toolTip(), tooltip);
    QCOMPARE(button->size(), QSize(98, 40));
    QCOMPARE(button->minimumSize(), QSize(98, 40));
    QCOMPARE(button->maximumSize(), QSize(98, 40));
    const QString style = button->styleSheet();
    for (const char* state : { "idle", "hover", "pressed" }) {
        QVERIFY2(style.contains(QStringLiteral(":/images/launcher/Button_%1_%2.png").arg(colour, QLatin1String(state))),
            qPrintable(style));
    }
    QVERIFY2(style.contains(QStringLiteral("image: url(:/images/launcher/Icon_%1.png)").arg(icon)), qPrintable(style));
    QCOMPARE(actionTexts(button), actions);
    QCOMPARE(fixture.row->getProgressBar()->size(), QSize(98, 40));
    QVERIFY(fixture.row->getProgressBar()->isHidden());
    QVERIFY(!button->isHidden());
}

void TestClientPackageLayoutItem::logoFollowsStatusAndConfiguration()
{
    TPackageConfigurationReader configuration;
    QCOMPARE(TClientPackageLayoutItem::logoPath(&configuration, ELocalPackageStatus::UpToDate),
        QStringLiteral(":/images/launcher/KorvaneLogo_QT.png"));
    QCOMPARE(TClientPackageLayoutItem::logoPath(&configuration, ELocalPackageStatus::UpdateAvailable),
        QStringLiteral(":/images/launcher/KorvaneLogo_QT_disabled.png"));
    configuration.variant = EPackageVariant::Beta;
    QCOMPARE(TClientPackageLayoutItem::logoPath(&configuration, ELocalPackageStatus::UpToDate),
        QStringLiteral(":/images/launcher/KorvaneLogo_Beta.png"));
    configuration.generation = EPackageGeneration::First;
    QCOMPARE(TClientPackageLayoutItem::logoPath(&configuration, ELocalPackageStatus::NotInstalled),
        QStringLiteral(":/images/launcher/KorvaneLogo_Classic_disabled.png"));
    // A package that lost its configuration shows the regular logo instead of failing.
    QCOMPARE(TClientPackageLayoutItem::logoPath(nullptr, ELocalPackageStatus::UpToDate),
        QStringLiteral(":/images/launcher/KorvaneLogo_QT.png"));

    TRowFixture fixture(makePackage(ELocalPackageStatus::UpToDate));
    QLabel* logo = fixture.row->getLogoLabel();
    QCOMPARE(logo->size(), QSize(196, 152));
    QCOMPARE(logo->toolTip(), QStringLiteral("Korvane"));
    QVERIFY(logo->styleSheet().contains(QStringLiteral("image: url(:/images/launcher/KorvaneLogo_QT.png)")));
    fixture.package->currentPlatformBuild()->setConfiguration(nullptr);
    fixture.package->setLocalStatus(ELocalPackageStatus::NotInstalled);
    QVERIFY(logo->styleSheet().contains(QStringLiteral("KorvaneLogo_QT_disabled.png")));
    QCOMPARE(fixture.row->getStatusLabel()->text(), QString());
}

void TestClientPackageLayoutItem::logoLinkOnlyForWebAddresses()
{
    TRowFixture web(makePackage(ELocalPackageStatus::UpToDate, { 1 }, QStringLiteral("1"),
        QStringLiteral("https://korvane.example/news?a=1&b=\"2\"")));
    QLabel* logo = web.row->getLogoLabel();
    QCOMPARE(logo->textFormat(), Qt::RichText);
    QVERIFY(logo->openExternalLinks());
    QVERIFY2(logo->text().startsWith(QStringLiteral("<a href=\"https://korvane.example/news?a=1&amp;b=%222%22\">"
                                                    "<img src=\":/images/launcher/KorvaneLogo_QT.png\"/></a>")),
        qPrintable(logo->text()));

    // A configuration must not turn the logo into a launcher of local files.
    TRowFixture local(makePackage(
        ELocalPackageStatus::UpToDate, { 1 }, QStringLiteral("1"), QStringLiteral("file:///usr/bin/xterm")));
    QCOMPARE(local.row->getLogoLabel()->text(), QString());
    QVERIFY(local.row->getLogoLabel()->styleSheet().contains(QStringLiteral("KorvaneLogo_QT.png")));
}

void TestClientPackageLayoutItem::statusChangeRedrawsRow()
{
    TRowFixture fixture(makePackage(ELocalPackageStatus::NotInstalled, { 2000000 }));
    QContextPushButton* button = fixture.row->getActionButton();
    QCOMPARE(fixture.row->getStatusLabel()->text(), QStringLiteral("P7 A2 (2 MB)"));
    QVERIFY(button->styleSheet().contains(QStringLiteral("Button_Blue_idle")));

    fixture.package->setLocalStatus(ELocalPackageStatus::UpToDate);
    QVERIFY(button->styleSheet().contains(QStringLiteral("Button_Green_idle")));
    QCOMPARE(actionTexts(button).size(), 2);
    QCOMPARE(fixture.row->getStatusLabel()->text(), QStringLiteral("P7 A2"));
    QVERIFY(fixture.row->getLogoLabel()->styleSheet().contains(QStringLiteral("KorvaneLogo_QT.png")));

    fixture.package->setLocalStatus(ELocalPackageStatus::UpdateAvailable);
    QVERIFY(button->styleSheet().contains(QStringLiteral("Button_Orange_idle")));
    QVERIFY(actionTexts(button).isEmpty());
}

void TestClientPackageLayoutItem::nameAndVersion_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("version");
    QTest::addColumn<std::vector<quint64>>("sizes");
    QTest::addColumn<QString>("expected");

    QTest::newRow("exactly 2^30 in MB") << 1 << "P1 A0" << std::vector<quint64> { 1073741000, 824 }
                                        << "P1 A0 (1074 MB)";
    QTest::newRow("one byte more in GB") << 3 << "P1 A0" << std::vector<quint64> { 1073741825 } << "P1 A0 (1.1 GB)";
    QTest::newRow("partial, small") << 2 << "P1 A0" << std::vector<quint64> { 400000 } << "P1 A0 (0 MB)";
    QTest::newRow("up to date: version only") << 4 << "P1 A0" << std::vector<quint64> { 5000000 } << "P1 A0";
    QTest::newRow("not evaluated: version only") << 0 << "P1 A0" << std::vector<quint64> { 5000000 } << "P1 A0";
    QTest::newRow("nothing to download") << 1 << "P1 A0" << std::vector<quint64> { 0, 0 } << "P1 A0";
    QTest::newRow("empty version") << 1 << "" << std::vector<quint64> { 3000000 } << "? (3 MB)";
}

void TestClientPackageLayoutItem::nameAndVersion()
{
    QFETCH(int, status);
    QFETCH(QString, version);
    QFETCH(std::vector<quint64>, sizes);
    QFETCH(QString, expected);

    TRowFixture fixture(makePackage(ELocalPackageStatus(status), sizes, version));
    QCOMPARE(fixture.row->getStatusLabel()->text(), expected);
    QCOMPARE(fixture.row->getNameLabel()->text(), QStringLiteral("Korvane"));

    TRowFixture nameless(makePackage(ELocalPackageStatus(status), sizes, version), false);
    QVERIFY(!nameless.row->getNameLabel());
    QCOMPARE(nameless.row->getStatusLabel()->text(), expected);
}

void TestClientPackageLayoutItem::clicksAndContextActions()
{
    TRowFixture fixture(makePackage(ELocalPackageStatus::UpToDate));
    QSignalSpy clicked(fixture.row, &TClientPackageLayoutItem::buttonClicked);
    QSignalSpy verify(fixture.row, &TClientPackageLayoutItem::verifyButtonClicked);
    QSignalSpy uninstall(fixture.row, &TClientPackageLayoutItem::uninstallButtonClicked);
    QContextPushButton* button = fixture.row->getActionButton();

    button->click();
    QCOMPARE(clicked.size(), 1);
    QCOMPARE(clicked.at(0).at(0).value<std::shared_ptr<TPackage>>(), fixture.package);

    const QList<QAction*> actions = button->contextMenu->actions();
    QCOMPARE(actions.size(), 2);
    actions.at(0)->trigger();
    QCOMPARE(verify.size(), 1);
    QCOMPARE(verify.at(0).at(0).value<std::shared_ptr<TPackage>>(), fixture.package);
    actions.at(1)->trigger();
    QCOMPARE(uninstall.size(), 1);

    // After a change of catalogue the old texts match nothing until the row is redrawn.
    QCoreApplication::removeTranslator(translator.get());
    TPrefixTranslator german(QStringLiteral("de:"));
    QCoreApplication::installTranslator(&german);
    emit button->contextTriggered(QStringLiteral("en:launcher.action.verify"));
    emit button->contextTriggered(QStringLiteral("something else"));
    QCOMPARE(verify.size(), 1);
    QCOMPARE(uninstall.size(), 1);
    fixture.row->updateButtonFromPackageStatus();
    fixture.row->updateDefaultClientCheckboxFromPackageStatus();
    QCOMPARE(button->toolTip(), QStringLiteral("de:launcher.status.ready_to_play"));
    QCOMPARE(fixture.row->getAutoLaunchCheckBox()->text(), QStringLiteral("de:launcher.settings.auto_launch"));
    QCOMPARE(button->contextMenu->actions().size(), 2);
    button->contextMenu->actions().at(0)->trigger();
    QCOMPARE(verify.size(), 2);
    QCoreApplication::removeTranslator(&german);

    // Other statuses offer no actions.
    fixture.package->setLocalStatus(ELocalPackageStatus::NotInstalled);
    QVERIFY(button->contextMenu->actions().isEmpty());
}

void TestClientPackageLayoutItem::autoLaunchPreferenceIsShared()
{
    TRowFixture first(makePackage(ELocalPackageStatus::UpToDate));
    TRowFixture second(makePackage(ELocalPackageStatus::UpToDate));
    QCheckBox* box = first.row->getAutoLaunchCheckBox();
    QVERIFY(box->isChecked()); // default true
    QVERIFY(!box->isHidden());
    QVERIFY(box->sizePolicy().retainSizeWhenHidden());

    box->setChecked(false);
    QSettings preferences(preferencesOrganisation, preferencesApplication);
    QCOMPARE(preferences.value(QStringLiteral("autoLaunchAfterInstall")).toBool(), false);
    // The other row keeps its own state until the next start; a new row reads the stored value.
    QVERIFY(second.row->getAutoLaunchCheckBox()->isChecked());
    TRowFixture third(makePackage(ELocalPackageStatus::UpToDate));
    QVERIFY(!third.row->getAutoLaunchCheckBox()->isChecked());
    box->setChecked(true);
    QCOMPARE(QSettings(preferencesOrganisation, preferencesApplication)
                 .value(QStringLiteral("autoLaunchAfterInstall"))
                 .toBool(),
        true);
}

void TestClientPackageLayoutItem::phaseProgress_data()
{
    QTest::addColumn<int>("phase");
    QTest::addColumn<quint64>("done");
    QTest::addColumn<quint64>("total");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("text");

    QTest::newRow("scan half") << 0 << quint64(5000000) << quint64(10000000) << 5000 << "en:launcher.progress.scanning"
                               << "5.0/10.0 MB (50%)";
    // The first report of a first installation's scan carries no total.
    QTest::newRow("scan of nothing") << 0 << quint64(0) << quint64(0) << 0 << "en:launcher.progress.scanning"
                                     << "0.0/0.0 MB (0%)";
    QTest::newRow("write, rounding half up") << 1 << quint64(1) << quint64(8) << 1250 << "en:launcher.progress.writing"
                                             << "0.0/0.0 MB (13%)";
    QTest::newRow("verify done") << 2 << quint64(2500000) << quint64(2500000) << 10000
                                 << "en:launcher.progress.verifying"
                                 << "2.5/2.5 MB (100%)";
    QTest::newRow("verify past total") << 2 << quint64(300) << quint64(200) << 10000 << "en:launcher.progress.verifying"
                                       << "0.0/0.0 MB (100%)";
}

void TestClientPackageLayoutItem::phaseProgress()
{
    QFETCH(int, phase);
    QFETCH(quint64, done);
    QFETCH(quint64, total);
    QFETCH(int, value);
    QFETCH(QString, format);
    QFETCH(QString, text);

    TRowFixture fixture(makePackage(ELocalPackageStatus::NotInstalled));
    TClientPackageLayoutItem* row = fixture.row;
    if (phase == 0)
        row->onScanProgress(done, total);
    else if (phase == 1)
        row->onWriteProgress(done, total);
    else
        row->onVerificationProgress(done, total);
    QCOMPARE(row->getProgressBar()->minimum(), 0);
    QCOMPARE(row->getProgressBar()->maximum(), 10000);
    QCOMPARE(row->getProgressBar()->value(), value);
    QCOMPARE(row->getProgressBar()->format(), format);
    QCOMPARE(row->getStatusLabel()->text(), text);
}

void TestClientPackageLayoutItem::downloadProgress_data()
{
    QTest::addColumn<quint64>("downloaded");
    QTest::addColumn<quint64>("toDownload");
    QTest::addColumn<quint64>("written");
    QTest::addColumn<quint64>("toWrite");
    QTest::addColumn<quint64>("samples");
    QTest::addColumn<double>("average");
    QTest::addColumn<int>("value");
    QTest::addColumn<QString>("format");
    QTest::addColumn<QString>("text");

    // 100000 bytes per tick: 1 MB/s; 9 MB left take 9 s.
    QTest::newRow("rate and remaining seconds") << quint64(1000000) << quint64(10000000) << quint64(0)
                                                << quint64(20000000) << quint64(12) << 100000.0 << 1000 << "~9s"
                                                << "1000.0 KB/s\n1.0/10.0 MB (10%)";
    QTest::newRow("minutes") << quint64(0) << quint64(61000) << quint64(0) << quint64(1) << quint64(3) << 100.0 << 0
                             << "~1m 1s"
                             << "1000 B/s\n0.0/0.1 MB (0%)";
    QTest::newRow("hours") << quint64(0) << quint64(3661000) << quint64(0) << quint64(1) << quint64(3) << 100.0 << 0
                           << "~1h 1m"
                           << "1000 B/s\n0.0/3.7 MB (0%)";
    QTest::newRow("before the first sample")
        << quint64(500) << quint64(1000) << quint64(0) << quint64(1) << quint64(0) << 777.0 << 5000 << "0 B/s"
        << "0 B/s\n0.0/0.0 MB (50%)";
    QTest::newRow("half a byte per tick is no rate")
        << quint64(250) << quint64(1000) << quint64(0) << quint64(1) << quint64(5) << 0.5 << 2500 << "0 B/s"
        << "0 B/s\n0.0/0.0 MB (25%)";
    QTest::newRow("kilobytes") << quint64(0) << quint64(2000000) << quint64(0) << quint64(1) << quint64(1) << 210.0 << 0
                               << "~15m 52s"
                               << "2.1 KB/s\n0.0/2.0 MB (0%)";
    QTest::newRow("gigabytes total") << quint64(1500000000) << quint64(3000000000) << quint64(0) << quint64(1)
                                     << quint64(50) << 200000000.0 << 5000 << "~0s"
                                     << "2.0 GB/s\n1.5/3.0 GB (50%)";
    QTest::newRow("writing after the download") << quint64(1000) << quint64(1000) << quint64(750000) << quint64(1000000)
                                                << quint64(9) << 100.0 << 7500 << "en:launcher.progress.writing"
                                                << "0.8/1.0 MB (75%)";
    // An empty download plan: nothing to fetch and nothing to write.
    QTest::newRow("zero totals") << quint64(0) << quint64(0) << quint64(0) << quint64(0) << quint64(0) << 0.0 << 10000
                                 << "en:launcher.progress.writing"
                                 << "0.0/0.0 MB (100%)";
}

void TestClientPackageLayoutItem::downloadProgress()
{
    QFETCH(quint64, downloaded);
    QFETCH(quint64, toDownload);
    QFETCH(quint64, written);
    QFETCH(quint64, toWrite);
    QFETCH(quint64, samples);
    QFETCH(double, average);
    QFETCH(int, value);
    QFETCH(QString, format);
    QFETCH(QString, text);

    TRowFixture fixture(makePackage(ELocalPackageStatus::NotInstalled));
    fixture.row->onDownloadProgress(downloaded, toDownload, written, toWrite, statistics(samples, average));
    QCOMPARE(fixture.row->getProgressBar()->maximum(), 10000);
    QCOMPARE(fixture.row->getProgressBar()->value(), value);
    QCOMPARE(fixture.row->getProgressBar()->format(), format);
    QCOMPARE(fixture.row->getStatusLabel()->text(), text);
}

void TestClientPackageLayoutItem::speedAndRemainingTexts_data()
{
    QTest::addColumn<quint64>("rate");
    QTest::addColumn<QString>("speed");
    QTest::addColumn<quint64>("seconds");
    QTest::addColumn<QString>("remaining");

    QTest::newRow("bytes") << quint64(1024) << "1024 B/s" << quint64(0) << "~0s";
    QTest::newRow("kilobytes") << quint64(1025) << "1.0 KB/s" << quint64(59) << "~59s";
    QTest::newRow("2^20 is still KB") << quint64(1048576) << "1048.6 KB/s" << quint64(60) << "~1m 0s";
    QTest::newRow("megabytes") << quint64(1048577) << "1.0 MB/s" << quint64(61) << "~1m 1s";
    QTest::newRow("2^30 is still MB") << quint64(1073741824) << "1073.7 MB/s" << quint64(3599) << "~59m 59s";
    QTest::newRow("gigabytes") << quint64(1073741825) << "1.1 GB/s" << quint64(3661) << "~1h 1m";
}

void TestClientPackageLayoutItem::speedAndRemainingTexts()
{
    QFETCH(quint64, rate);
    QFETCH(QString, speed);
    QFETCH(quint64, seconds);
    QFETCH(QString, remaining);
    QCOMPARE(TClientPackageLayoutItem::speedText(rate), speed);
    QCOMPARE(TClientPackageLayoutItem::remainingTimeText(seconds), remaining);
    QCOMPARE(TClientPackageLayoutItem::rateFromStatistics(statistics(0, 5000.0)), quint64(0));
    QCOMPARE(TClientPackageLayoutItem::rateFromStatistics(statistics(1, 12.9)), quint64(120));
}

void TestClientPackageLayoutItem::followsInstallationUntilFinished()
{
    TRowFixture fixture(makePackage(ELocalPackageStatus::NotInstalled, { 4000000 }));
    TClientPackageLayoutItem* row = fixture.row;
    auto helper = std::make_shared<TLauncherFilesystemHelper>();
    auto manager = std::make_shared<QNetworkAccessManager>();
    TPackageInstallation installation(fixture.package, manager, helper);

    row->onInstallationOrUpdateStarted(installation);
    QVERIFY(row->getActionButton()->isHidden());
    QVERIFY(!row->getProgressBar()->isHidden());
    QCOMPARE(row->getProgressBar()->format(), QString());
    QCOMPARE(row->getProgressBar()->maximum(), 0); // the download plan is not known yet
    QCOMPARE(row->getProgressBar()->value(), 0);

    // The scan's reports come from worker threads: queued.
    emit installation.scanProgress(0, 0);
    QCOMPARE(row->getStatusLabel()->text(), QStringLiteral("P7 A2 (4 MB)"));
    QTRY_COMPARE(row->getStatusLabel()->text(), QStringLiteral("0.0/0.0 MB (0%)"));
    emit installation.scanProgress(3000000, 4000000);
    QTRY_COMPARE(row->getStatusLabel()->text(), QStringLiteral("3.0/4.0 MB (75%)"));

    // The downloader's reports come from its GUI-thread timer: direct, with its statistics (none yet).
    TPackageFileDownloader* downloader = installation.getPackageFileDownloader();
    emit downloader->progress(1000000, 4000000, 0, 4000000);
    QCOMPARE(row->getProgressBar()->format(), QStringLiteral("0 B/s"));
    QCOMPARE(row->getStatusLabel()->text(), QStringLiteral("0 B/s\n1.0/4.0 MB (25%)"));

    emit installation.verificationProgress(1, 2);
    row->onInstallationOrUpdateFinished(installation);
    QVERIFY(!row->getActionButton()->isHidden());
    QVERIFY(row->getProgressBar()->isHidden());
    QCOMPARE(row->getProgressBar()->value(), 0);
    QCOMPARE(row->getStatusLabel()->text(), QStringLiteral("P7 A2 (4 MB)"));

    // Reports still queued from the finished run, or sent after it, leave the row alone.
    emit installation.writeProgress(1, 2);
    emit downloader->progress(1, 2, 0, 2);
    QCoreApplication::processEvents();
    QCoreApplication::processEvents();
    QCOMPARE(row->getStatusLabel()->text(), QStringLiteral("P7 A2 (4 MB)"));

    // A later start follows its run again.
    row->onInstallationOrUpdateStarted(installation);
    row->onInstallationOrUpdateStarted(installation);
    emit downloader->progress(2000000, 4000000, 0, 4000000);
    QCOMPARE(row->getStatusLabel()->text(), QStringLiteral("0 B/s\n2.0/4.0 MB (50%)"));
}

void TestClientPackageLayoutItem::countdownText_data()
{
    QTest::addColumn<qint64>("seconds");
    QTest::addColumn<QString>("text");
    QTest::newRow("59") << qint64(59) << "0m 59s";
    QTest::newRow("61") << qint64(61) << "1m 01s";
    QTest::newRow("3599") << qint64(3599) << "59m 59s";
    QTest::newRow("3600") << qint64(3600) << "1h 00m";
    QTest::newRow("a day and a bit") << qint64(90061) << "25h 01m";
}

void TestClientPackageLayoutItem::countdownText()
{
    QFETCH(qint64, seconds);
    QFETCH(QString, text);
    QCOMPARE(TClientPackageLayoutItem::countdownText(seconds), text);
}

void TestClientPackageLayoutItem::maintenanceCountdown()
{
    TRowFixture fixture(makePackage(ELocalPackageStatus::UpToDate));
    TClientPackageLayoutItem* row = fixture.row;
    QDateTime now = QDateTime(QDate(2026, 12, 10), QTime(10, 0), Qt::UTC);
    row->setClock([&now] { return now; });
    QCOMPARE(row->getPages()->currentIndex(), 0);
    QCOMPARE(row->getMaintenanceTextLabel()->text(), QStringLiteral("en:launcher.error.maintenance_text"));

    fixture.package->maintenanceActive = true;
    fixture.package->maintenanceEstimatedEnd = now.addSecs(3600);
    row->onMaintenanceStateChanged();
    QCOMPARE(row->getPages()->currentIndex(), 1);
    const QTimer& timer = row->getMaintenanceCountdownTimer();
    QVERIFY(timer.isActive());
    QCOMPARE(timer.interval(), 1000);
    QVERIFY(!timer.isSingleShot());
    QVERIFY(!row->getMaintenanceCountdownLabel()->isHidden());
    QCOMPARE(row->getMaintenanceCountdownLabel()->text(), QStringLiteral("en:ends in 1h 00m"));

    // The tick, driven by hand.
    now = now.addSecs(1);
    row->updateMaintenanceCountdown();
    QCOMPARE(row->getMaintenanceCountdownLabel()->text(), QStringLiteral("en:ends in 59m 59s"));
    now = fixture.package->maintenanceEstimatedEnd.addSecs(-59);
    row->updateMaintenanceCountdown();
    QCOMPARE(row->getMaintenanceCountdownLabel()->text(), QStringLiteral("en:ends in 0m 59s"));

    // At the end the countdown goes; the maintenance page stays until the next maintenance change.
    now = fixture.package->maintenanceEstimatedEnd;
    row->updateMaintenanceCountdown();
    QVERIFY(row->getMaintenanceCountdownLabel()->isHidden());
    QVERIFY(!timer.isActive());
    QCOMPARE(row->getPages()->currentIndex(), 1);

    fixture.package->maintenanceActive = false;
    row->onMaintenanceStateChanged();
    QCOMPARE(row->getPages()->currentIndex(), 0);
    QVERIFY(!timer.isActive());
    QVERIFY(row->getMaintenanceCountdownLabel()->isHidden());
}

void TestClientPackageLayoutItem::maintenanceWithoutFutureEnd()
{
    TRowFixture fixture(makePackage(ELocalPackageStatus::UpToDate));
    TClientPackageLayoutItem* row = fixture.row;
    const QDateTime now = QDateTime(QDate(2026, 12, 10), QTime(10, 0), Qt::UTC);
    row->setClock([now] { return now; });
    fixture.package->maintenanceActive = true;

    for (const QDateTime& end : { QDateTime(), now, now.addSecs(-30) }) {
        fixture.package->maintenanceEstimatedEnd = end;
        row->onMaintenanceStateChanged();
        QCOMPARE(row->getPages()->currentIndex(), 1);
        QVERIFY(!row->getMaintenanceCountdownTimer().isActive());
        QVERIFY(row->getMaintenanceCountdownLabel()->isHidden());
        // A stray tick with no end left hides and stops, never counts negative.
        row->updateMaintenanceCountdown();
        QVERIFY(row->getMaintenanceCountdownLabel()->isHidden());
    }

    // After a language switch the window sets the text again.
    QCoreApplication::removeTranslator(translator.get());
    TPrefixTranslator german(QStringLiteral("de:"));
    QCoreApplication::installTranslator(&german);
    row->updateMaintenanceText();
    QCOMPARE(row->getMaintenanceTextLabel()->text(), QStringLiteral("de:launcher.error.maintenance_text"));
    QCoreApplication::removeTranslator(&german);
}

int main(int argc, char** argv)
{
    // A private home, so the preference store of the user running the tests stays untouched.
    QTemporaryDir home;
    if (!home.isValid())
        return 1;
    qputenv("HOME", QFile::encodeName(home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home.path() + QStringLiteral("/config")));
    qputenv("XDG_DATA_HOME", QFile::encodeName(home.path() + QStringLiteral("/data")));
    qputenv("XDG_CACHE_HOME", QFile::encodeName(home.path() + QStringLiteral("/cache")));
    QApplication application(argc, argv);
    qRegisterMetaType<std::shared_ptr<TPackage>>();
    TestClientPackageLayoutItem test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_clientpackagelayoutitem.moc"
