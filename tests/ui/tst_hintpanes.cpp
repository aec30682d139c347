#include "shared/downloadpool.h"
#include "shared/networkaccessmanagerwrapper.h"
#include "shared/qtextbrowserwithnetwork.h"
#include "shared/randomhints.h"
#include "support/loopbackserver.h"
#include "ui/clickablelabel.h"
#include "ui/hintpanes.h"

#include <QApplication>
#include <QBuffer>
#include <QDesktopServices>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QImage>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QSpacerItem>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QtTest>

using korvane::launcher::THintPanes;
using korvane::test::TLoopbackServer;
using korvane::test::TResponse;

namespace {

QByteArray pngOfSize(int width, int height)
{
    QImage image(width, height, QImage::Format_RGB32);
    image.fill(Qt::darkGreen);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

shared::THint hint(const QString& category, const QString& imageUrl, const QString& url,
    const QString& richText = QStringLiteral("<b>News</b>"), const QString& title = QString())
{
    shared::THint result;
    result.category = category;
    result.imageUrl = imageUrl;
    result.url = url;
    result.richText = richText;
    result.title = title;
    return result;
}

// Catches the links that would open in the user's browser.
class TUrlRecorder : public QObject
{
    Q_OBJECT
public:
    QList<QUrl> opened;
public slots:
    void open(const QUrl& url) { opened.append(url); }
};

// A stand-in for the main window: the spacer and the hint box in its main layout.
struct THintFixture
{
    THintFixture()
        : pool(std::make_shared<shared::TDownloadPool>(
            6, std::make_shared<shared::QNetworkAccessManagerWrapper>(std::make_shared<QNetworkAccessManager>()), true))
    {
        mainLayout = new QVBoxLayout(&window);
        spacer = new QSpacerItem(700, 84, QSizePolicy::Minimum, QSizePolicy::Minimum);
        mainLayout->addSpacerItem(spacer);
        panes = new THintPanes(&window, pool, 1, 5000);
        mainLayout->addWidget(panes->createHintBox(), 0, Qt::AlignHCenter);
        window.show();
    }
    ~THintFixture()
    {
        if (mainLayout->indexOf(spacer) < 0)
            delete spacer;
    }

    // The picture and the caption of a tile, in the order the tile made them.
    QList<ClickableLabel*> labels(int category) const
    {
        return panes->getHintPane(category)->findChildren<ClickableLabel*>(Qt::FindDirectChildrenOnly);
    }

    std::shared_ptr<shared::TDownloadPool> pool;
    QWidget window;
    QVBoxLayout* mainLayout = nullptr;
    QSpacerItem* spacer = nullptr;
    THintPanes* panes = nullptr;
};

} // namespace

class TestHintPanes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanupTestCase();

    void emptyAreaBeforeHints();
    void threeCategoriesFillTheRow();
    void fewerCategoriesKeepRowHidden();
    void emptyHintsKeepBoxVisible();
    void secondHintOfCategoryKeepsFirstTile();
    void undecodablePictureEmptiesLabel();
    void failedPictureKeepsPlaceholder();
    void clicksOpenLinks();
    void unsafeAddressesAreRefused();
    void shapes_data();
    void shapes();
    void coverPixmap();
    void singleHintInLeftPane();

private:
    TLoopbackServer* server = nullptr;
    TUrlRecorder recorder;
};

void TestHintPanes::initTestCase()
{
    server = new TLoopbackServer(TLoopbackServer::EMode::Plain, this);
    QVERIFY(server->isListening());
    server->setBody(QStringLiteral("/wide.png"), pngOfSize(600, 100));
    server->setBody(QStringLiteral("/square.png"), pngOfSize(100, 100));
    server->setBody(QStringLiteral("/exact.png"), pngOfSize(290, 80));
    server->setBody(QStringLiteral("/noise.png"), QByteArray("this is not a picture"));
    server->setBody(QStringLiteral("/second.png"), pngOfSize(50, 50));
    server->setScript(QStringLiteral("/missing.png"), { TResponse::withStatus(404) });
    // Nothing here may reach a real browser.
    for (const char* scheme : { "http", "https", "file", "ftp", "javascript" })
        QDesktopServices::setUrlHandler(QString::fromLatin1(scheme), &recorder, "open");
}

void TestHintPanes::cleanupTestCase()
{
    for (const char* scheme : { "http", "https", "file", "ftp", "javascript" })
        QDesktopServices::unsetUrlHandler(QString::fromLatin1(scheme));
}

void TestHintPanes::emptyAreaBeforeHints()
{
    THintFixture fixture;
    QGroupBox* box = fixture.panes->getHintBox();
    QVERIFY(!box->isHidden());
    QCOMPARE(box->title(), QString());
    QCOMPARE(box->minimumWidth(), 780);
    QCOMPARE(box->maximumWidth(), 790);
    QVERIFY(qobject_cast<QVBoxLayout*>(box->layout()));
    QCOMPARE(box->layout()->count(), 0);
    QVERIFY(fixture.panes->getHintTiles()->isHidden());
    QCOMPARE(fixture.panes->getHintTiles()->parentWidget(), &fixture.window);
    QCOMPARE(fixture.panes->getHintTilesLayout()->contentsMargins(), QMargins(0, 0, 44, 0));
    QCOMPARE(fixture.panes->getHintTilesLayout()->spacing(), 0);
    for (int i = 0; i < THintPanes::categoryCount; ++i) {
        QWidget* holder = fixture.panes->getHintPane(i);
        QCOMPARE(holder->size(), QSize(276, 80));
        QCOMPARE(fixture.panes->getHintTilesLayout()->indexOf(holder), i);
        QVERIFY(!holder->mask().isEmpty());
        shared::QTextBrowserWithNetwork* browser = fixture.panes->getHintBrowser(i);
        QCOMPARE(browser->parentWidget(), holder);
        QCOMPARE(browser->size(), QSize(280, 104));
        QCOMPARE(browser->contextMenuPolicy(), Qt::NoContextMenu);
        QVERIFY(browser->openExternalLinks());
    }
}

void TestHintPanes::threeCategoriesFillTheRow()
{
    THintFixture fixture;
    const QUrl wide = server->url(QStringLiteral("/wide.png"));
    const QUrl square = server->url(QStringLiteral("/square.png"));
    const QUrl exact = server->url(QStringLiteral("/exact.png"));
    QPointer<shared::QTextBrowserWithNetwork> placeholder = fixture.panes->getHintBrowser(0);
    server->resetCounters();

    fixture.panes->setHints({ hint(QStringLiteral("Cat1"), exact.toString(), QStringLiteral("https://a.example/x")),
                                hint(QStringLiteral("cat1"), wide.toString(), QStringLiteral("https://a.example/1")),
                                hint(QStringLiteral("news"), exact.toString(), QStringLiteral("https://a.example/y")),
                                hint(QStringLiteral("cat2"), square.toString(), QStringLiteral("https://a.example/2")),
                                hint(QStringLiteral("cat3"), exact.toString(), QStringLiteral("https://a.example/3"),
                                    QStringLiteral("<i>Third</i>")) },
        fixture.mainLayout, fixture.spacer);

    // A body for another listener's URL, delivered first, is not taken for the picture.
    emit fixture.pool->success(server->url(QStringLiteral("/elsewhere.png")), pngOfSize(10, 10));
    QVERIFY(fixture.labels(0).at(0)->pixmap().isNull());

    QWidget* tiles = fixture.panes->getHintTiles();
    QVERIFY(!tiles->isHidden());
    QCOMPARE(fixture.panes->getHintBox()->layout()->indexOf(tiles), 0);
    QCOMPARE(fixture.panes->getHintBox()->layout()->contentsMargins(), QMargins(0, 0, 0, 0));
    QCOMPARE(fixture.mainLayout->indexOf(fixture.spacer), -1);
    QVERIFY(!fixture.panes->getHintBox()->isHidden());

    // Pictures: the wide one covers 290 x 80 by its height, the square one by its width, centred.
    const QList<ClickableLabel*> first = fixture.labels(0);
    QCOMPARE(first.size(), 2);
    QTRY_VERIFY_WITH_TIMEOUT(!first.at(0)->pixmap().isNull(), 10000);
    QCOMPARE(first.at(0)->pixmap().size(), QSize(480, 80));
    QCOMPARE(first.at(0)->geometry(), QRect(-102, 0, 480, 80));
    QCOMPARE(first.at(1)->text(), QStringLiteral("<b>News</b>"));
    QCOMPARE(first.at(1)->geometry(), QRect(0, 50, 280, 30));
    QVERIFY(first.at(1)->styleSheet().contains(QStringLiteral("padding-left: 10px")));
    QCOMPARE(first.at(0)->toolTip(), QStringLiteral("https://a.example/1"));
    QTRY_VERIFY(placeholder.isNull());

    const QList<ClickableLabel*> second = fixture.labels(1);
    QTRY_VERIFY_WITH_TIMEOUT(!second.at(0)->pixmap().isNull(), 10000);
    QCOMPARE(second.at(0)->geometry(), QRect(-7, -105, 290, 290));
    QVERIFY(second.at(1)->styleSheet().contains(QStringLiteral("padding-left: 18px")));
    const QList<ClickableLabel*> third = fixture.labels(2);
    QTRY_VERIFY_WITH_TIMEOUT(!third.at(0)->pixmap().isNull(), 10000);
    QCOMPARE(third.at(0)->geometry(), QRect(-7, 0, 290, 80));
    QCOMPARE(third.at(1)->text(), QStringLiteral("<i>Third</i>"));

    // Each tile sits in a hover frame of 286 x 84 with its category's shape, in category order.
    for (int i = 0; i < THintPanes::categoryCount; ++i) {
        QWidget* frame = fixture.panes->getHintPane(i)->parentWidget();
        QCOMPARE(frame->size(), QSize(286, 84));
        QCOMPARE(fixture.panes->getHintTilesLayout()->indexOf(frame), i);
        QVERIFY(!frame->mask().isEmpty());
        QVERIFY(frame->styleSheet().contains(QStringLiteral("#8ED838")));
    }
    QCOMPARE(fixture.panes->getHintTilesLayout()->alignment(), Qt::AlignCenter);

    // One request per picture; the skipped categories requested nothing, and a picture's reaction is gone
    // once its picture arrived.
    QCOMPARE(server->requestCount(QStringLiteral("/wide.png")), 1);
    QCOMPARE(server->requestCount(QStringLiteral("/square.png")), 1);
    QCOMPARE(server->requestCount(QStringLiteral("/exact.png")), 1);
    emit fixture.pool->success(wide, pngOfSize(20, 20));
    QCOMPARE(first.at(0)->pixmap().size(), QSize(480, 80));
}

void TestHintPanes::fewerCategoriesKeepRowHidden()
{
    THintFixture fixture;
    fixture.panes->setHints(
        { hint(QStringLiteral("cat1"), server->url(QStringLiteral("/exact.png")).toString(), QString()),
            hint(QStringLiteral("cat2"), server->url(QStringLiteral("/exact.png")).toString(), QString()) },
        fixture.mainLayout, fixture.spacer);
    QCOMPARE(fixture.labels(0).size(), 2);
    QCOMPARE(fixture.labels(1).size(), 2);
    QCOMPARE(fixture.labels(2).size(), 0);
    QVERIFY(fixture.panes->getHintTiles()->isHidden());
    QVERIFY(fixture.mainLayout->indexOf(fixture.spacer) >= 0);
    QVERIFY(!fixture.panes->getHintBox()->isHidden());
}

void TestHintPanes::emptyHintsKeepBoxVisible()
{
    THintFixture fixture;
    fixture.panes->setHints({}, fixture.mainLayout, fixture.spacer);
    QVERIFY(!fixture.panes->getHintBox()->isHidden());
    QVERIFY(fixture.panes->getHintTiles()->isHidden());
    QCOMPARE(fixture.panes->getHintBox()->layout()->indexOf(fixture.panes->getHintTiles()), -1);
    QVERIFY(fixture.mainLayout->indexOf(fixture.spacer) >= 0);
}

void TestHintPanes::secondHintOfCategoryKeepsFirstTile()
{
    THintFixture fixture;
    server->resetCounters();
    const auto hints = std::vector<shared::THint> {
        hint(QStringLiteral("cat1"), server->url(QStringLiteral("/exact.png")).toString(),
            QStringLiteral("https://a.example/1")),
        hint(QStringLiteral("cat1"), server->url(QStringLiteral("/second.png")).toString(),
            QStringLiteral("https://a.example/dup")),
        hint(QStringLiteral("cat2"), server->url(QStringLiteral("/exact.png")).toString(), QString()),
        hint(QStringLiteral("cat3"), server->url(QStringLiteral("/exact.png")).toString(), QString()),
    };
    fixture.panes->setHints(hints, fixture.mainLayout, fixture.spacer);
    // The same hints once more, as a second delivery of the document would bring them.
    fixture.panes->setHints(hints, fixture.mainLayout, fixture.spacer);

    QHBoxLayout* row = fixture.panes->getHintTilesLayout();
    QCOMPARE(row->count(), 3);
    for (int i = 0; i < THintPanes::categoryCount; ++i)
        QCOMPARE(row->indexOf(fixture.panes->getHintPane(i)->parentWidget()), i);
    QCOMPARE(fixture.labels(0).size(), 2);
    QCOMPARE(fixture.labels(0).at(0)->toolTip(), QStringLiteral("https://a.example/1"));
    QVERIFY(!fixture.panes->getHintTiles()->isHidden());
    QCOMPARE(fixture.panes->getHintBox()->layout()->indexOf(fixture.panes->getHintTiles()), 0);
    QTRY_VERIFY_WITH_TIMEOUT(!fixture.labels(2).at(0)->pixmap().isNull(), 10000);
    QCOMPARE(server->requestCount(QStringLiteral("/second.png")), 0);
}

void TestHintPanes::undecodablePictureEmptiesLabel()
{
    THintFixture fixture;
    QPointer<shared::QTextBrowserWithNetwork> placeholder = fixture.panes->getHintBrowser(2);
    QSignalSpy success(fixture.pool.get(), &shared::TDownloadPool::success);
    fixture.panes->setHints(
        { hint(QStringLiteral("cat3"), server->url(QStringLiteral("/noise.png")).toString(), QString()) },
        fixture.mainLayout, fixture.spacer);
    QTRY_COMPARE_WITH_TIMEOUT(success.size(), 1, 10000);
    // The placeholder goes all the same; the label stays empty at its first place.
    QTRY_VERIFY(placeholder.isNull());
    QVERIFY(fixture.labels(2).at(0)->pixmap().isNull());
    QCOMPARE(fixture.labels(2).at(0)->geometry(), QRect(-7, 0, 290, 80));
}

void TestHintPanes::failedPictureKeepsPlaceholder()
{
    THintFixture fixture;
    QSignalSpy failed(fixture.pool.get(), &shared::TDownloadPool::failed);
    fixture.panes->setHints(
        { hint(QStringLiteral("cat2"), server->url(QStringLiteral("/missing.png")).toString(), QString()) },
        fixture.mainLayout, fixture.spacer);
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 10000);
    QCoreApplication::processEvents();
    QVERIFY(fixture.panes->getHintBrowser(1));
    QCOMPARE(fixture.labels(1).size(), 2);
    QCOMPARE(fixture.labels(1).at(1)->text(), QStringLiteral("<b>News</b>"));
}

void TestHintPanes::clicksOpenLinks()
{
    THintFixture fixture;
    recorder.opened.clear();
    fixture.panes->setHints({ hint(QStringLiteral("cat1"), server->url(QStringLiteral("/exact.png")).toString(),
                                QStringLiteral("https://news.example/patch 7")) },
        fixture.mainLayout, fixture.spacer);
    const QList<ClickableLabel*> labels = fixture.labels(0);
    // A press is a click at once, on the picture and on the caption.
    QTest::mousePress(labels.at(0), Qt::LeftButton);
    QTest::mousePress(labels.at(1), Qt::LeftButton);
    QCOMPARE(recorder.opened.size(), 2);
    QCOMPARE(recorder.opened.at(0), QUrl(QStringLiteral("https://news.example/patch%207")));
    QCOMPARE(recorder.opened.at(1), recorder.opened.at(0));
}

void TestHintPanes::unsafeAddressesAreRefused()
{
    THintFixture fixture;
    recorder.opened.clear();
    QTemporaryDir folder;
    const QString localPicture = folder.filePath(QStringLiteral("local.png"));
    {
        QFile file(localPicture);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(pngOfSize(290, 80));
    }
    QSignalSpy success(fixture.pool.get(), &shared::TDownloadPool::success);
    QSignalSpy failed(fixture.pool.get(), &shared::TDownloadPool::failed);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Hint picture not requested")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Hint picture not requested")));
    fixture.panes->setHints({ hint(QStringLiteral("cat1"), QUrl::fromLocalFile(localPicture).toString(),
                                  QStringLiteral("file:///usr/bin/xterm")),
                                hint(QStringLiteral("cat2"), QStringLiteral("ftp://127.0.0.1/x.png"),
                                    QStringLiteral("javascript:alert(1)")) },
        fixture.mainLayout, fixture.spacer);

    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Hint link not opened")));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(QStringLiteral("^Hint link not opened")));
    QTest::mousePress(fixture.labels(0).at(0), Qt::LeftButton);
    QTest::mousePress(fixture.labels(1).at(1), Qt::LeftButton);
    QTest::qWait(200);
    QVERIFY(recorder.opened.isEmpty());
    QCOMPARE(success.size(), 0);
    QCOMPARE(failed.size(), 0);
    QVERIFY(fixture.labels(0).at(0)->pixmap().isNull());
    QVERIFY(fixture.panes->getHintBrowser(0));
}

void TestHintPanes::shapes_data()
{
    QTest::addColumn<int>("category");
    QTest::addColumn<QPoint>("inside");
    QTest::addColumn<QPoint>("outside");

    // On a 276 x 80 holder: the left tile is cut on its right, the middle one on both sides, the right
    // one on its left.
    QTest::newRow("cat1 left top") << 0 << QPoint(2, 2) << QPoint(272, 76);
    QTest::newRow("cat1 right top") << 0 << QPoint(272, 2) << QPoint(245, 76);
    QTest::newRow("cat2 middle") << 1 << QPoint(138, 40) << QPoint(3, 3);
    QTest::newRow("cat2 bottom left") << 1 << QPoint(3, 76) << QPoint(272, 76);
    QTest::newRow("cat3 bottom right") << 2 << QPoint(272, 76) << QPoint(3, 3);
    QTest::newRow("cat3 top right") << 2 << QPoint(272, 3) << QPoint(15, 40);
}

void TestHintPanes::shapes()
{
    QFETCH(int, category);
    QFETCH(QPoint, inside);
    QFETCH(QPoint, outside);
    QWidget widget;
    widget.setFixedSize(276, 80);
    if (category == 0)
        THintPanes::setHintMaskCat1(&widget);
    else if (category == 1)
        THintPanes::setHintMaskCat2(&widget);
    else
        THintPanes::setHintMaskCat3(&widget);
    QVERIFY(widget.mask().contains(inside));
    QVERIFY(!widget.mask().contains(outside));
}

void TestHintPanes::coverPixmap()
{
    const QSize box(290, 80);
    QPixmap wide(600, 100);
    wide.fill(Qt::red);
    QCOMPARE(THintPanes::coverPixmap(wide, box).size(), QSize(480, 80));
    QPixmap exact(290, 80);
    exact.fill(Qt::red);
    QCOMPARE(THintPanes::coverPixmap(exact, box).size(), box);
    // A sliver would need a pixmap of 290 x 2900000 to cover the box; it is cut to the box instead.
    QPixmap sliver(1, 10000);
    sliver.fill(Qt::red);
    QCOMPARE(THintPanes::coverPixmap(sliver, box).size(), box);
    QPixmap banner(20000, 2);
    banner.fill(Qt::red);
    QCOMPARE(THintPanes::coverPixmap(banner, box).size(), box);
    QVERIFY(THintPanes::coverPixmap(QPixmap(), box).isNull());
}

void TestHintPanes::singleHintInLeftPane()
{
    THintFixture fixture;
    recorder.opened.clear();
    QPointer<shared::QTextBrowserWithNetwork> placeholder = fixture.panes->getHintBrowser(0);
    fixture.panes->setHint(hint(QStringLiteral("cat1"), server->url(QStringLiteral("/square.png")).toString(),
        QStringLiteral("https://news.example/one"), QStringLiteral("<b>Rich</b>"), QStringLiteral("Patch 7")));
    const QList<ClickableLabel*> labels = fixture.labels(0);
    QCOMPARE(labels.size(), 2);
    QCOMPARE(labels.at(0)->geometry(), QRect(-2, -12, 280, 104));
    QTRY_VERIFY(placeholder.isNull());
    QCOMPARE(labels.at(1)->text(), QStringLiteral("Patch 7"));
    QCOMPARE(labels.at(1)->geometry(), QRect(0, 74, 280, 30));
    QCOMPARE(fixture.panes->getHintBox()->title(), QStringLiteral("Patch 7"));
    QVERIFY(!fixture.panes->getHintBox()->isHidden());
    QTRY_VERIFY_WITH_TIMEOUT(!labels.at(0)->pixmap().isNull(), 10000);
    QCOMPARE(labels.at(0)->pixmap().size(), QSize(280, 280));
    QTest::mousePress(labels.at(1), Qt::LeftButton);
    QCOMPARE(recorder.opened, QList<QUrl> { QUrl(QStringLiteral("https://news.example/one")) });

    // Without title the caption shows the rich text and the box the general title; no rich text hides it.
    THintFixture untitled;
    untitled.panes->setHint(hint(QStringLiteral("cat1"), QString(), QString(), QStringLiteral("  ")));
    QCOMPARE(untitled.labels(0).at(1)->text(), QStringLiteral("  "));
    QCOMPARE(untitled.panes->getHintBox()->title(), QStringLiteral("launcher.hints.title"));
    QVERIFY(untitled.panes->getHintBox()->isHidden());
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
    TestHintPanes test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_hintpanes.moc"
