#include "shared/downloadpool.h"
#include "shared/networkaccessmanagerwrapper.h"
#include "shared/qtextbrowserwithnetwork.h"
#include "support/loopbackserver.h"

#include <QBuffer>
#include <QImage>
#include <QNetworkAccessManager>
#include <QPixmap>
#include <QTextDocument>
#include <QtTest>

using korvane::test::TLoopbackServer;
using korvane::test::TResponse;
using shared::QTextBrowserWithNetwork;

namespace {

QByteArray pngOfSize(int width, int height)
{
    QImage image(width, height, QImage::Format_ARGB32);
    image.fill(Qt::red);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

std::shared_ptr<shared::TDownloadPool> makePool()
{
    auto manager = std::make_shared<QNetworkAccessManager>();
    return std::make_shared<shared::TDownloadPool>(
        6, std::make_shared<shared::QNetworkAccessManagerWrapper>(manager), true);
}

QSize imageSize(const QVariant& resource)
{
    if (resource.canConvert<QPixmap>() && resource.userType() == QMetaType::QPixmap)
        return resource.value<QPixmap>().size();
    if (resource.userType() == QMetaType::QImage)
        return resource.value<QImage>().size();
    if (resource.userType() == QMetaType::QByteArray)
        return QImage::fromData(resource.toByteArray()).size();
    return {};
}

} // namespace

class TestTextBrowserWithNetwork : public QObject
{
    Q_OBJECT
private slots:
    void imagesArriveThroughThePoolOncePerUrl();
    void failedImageKeepsTransparentPlaceholder();
    void keepsBodiesRequestedByOthers();
    void nonNetworkResourcesLoadLocally();
    void heightIgnoresWidth();
};

void TestTextBrowserWithNetwork::imagesArriveThroughThePoolOncePerUrl()
{
    TLoopbackServer server;
    QVERIFY(server.isListening());
    server.setBody(QStringLiteral("/news/picture.png"), pngOfSize(100, 60));
    const QUrl imageUrl = server.url(QStringLiteral("/news/picture.png"));

    auto pool = makePool();
    QTextBrowserWithNetwork browser(nullptr, pool, 2, 3000);
    browser.resize(600, 400);
    // Two paragraphs with the same picture: each adds its height to the document.
    browser.setHtml(
        QStringLiteral("<p>Patch notes</p><p><img src=\"%1\"></p><p><img src=\"%1\"></p>").arg(imageUrl.toString()));
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));
    const qreal heightWithPlaceholders = browser.document()->size().height();

    // Until the body arrives both places show the 32 x 32 transparent placeholder.
    const QVariant placeholder = browser.loadResource(QTextDocument::ImageResource, imageUrl);
    QCOMPARE(placeholder.userType(), QMetaType::QImage);
    const QImage square = placeholder.value<QImage>();
    QCOMPARE(square.size(), QSize(32, 32));
    QCOMPARE(square.format(), QImage::Format_ARGB32_Premultiplied);
    QCOMPARE(square.pixelColor(5, 5).alpha(), 0);

    QTRY_COMPARE_WITH_TIMEOUT(
        imageSize(browser.document()->resource(QTextDocument::ImageResource, imageUrl)), QSize(100, 60), 10000);
    QCOMPARE(browser.document()->size().height() - heightWithPlaceholders, qreal(2 * (60 - 32)));
    QCOMPARE(server.requestCount(QStringLiteral("/news/picture.png")), 1);
    QCOMPARE(browser.sizeHint(), browser.document()->size().toSize());
}

void TestTextBrowserWithNetwork::failedImageKeepsTransparentPlaceholder()
{
    TLoopbackServer server;
    server.setScript(QStringLiteral("/missing.png"), { TResponse::withStatus(404) });
    const QUrl imageUrl = server.url(QStringLiteral("/missing.png"));

    auto pool = makePool();
    QSignalSpy failed(pool.get(), &shared::TDownloadPool::failed);
    QTextBrowserWithNetwork browser(nullptr, pool, 0, 3000);
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^Download failed: .*missing\\.png.*ContentNotFoundError"));
    browser.setHtml(QStringLiteral("<img src=\"%1\">").arg(imageUrl.toString()));
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));
    QTRY_COMPARE_WITH_TIMEOUT(failed.size(), 1, 10000);

    QCOMPARE(imageSize(browser.loadResource(QTextDocument::ImageResource, imageUrl)), QSize(32, 32));
    browser.loadResource(QTextDocument::ImageResource, imageUrl);
    QTest::qWait(50);
    QCOMPARE(server.requestCount(QStringLiteral("/missing.png")), 1);
}

void TestTextBrowserWithNetwork::keepsBodiesRequestedByOthers()
{
    TLoopbackServer server;
    server.setBody(QStringLiteral("/other.png"), pngOfSize(10, 20));
    const QUrl otherUrl = server.url(QStringLiteral("/other.png"));

    auto pool = makePool();
    QSignalSpy succeeded(pool.get(), &shared::TDownloadPool::success);
    QTextBrowserWithNetwork browser(nullptr, pool, 0, 3000);
    pool->Download(otherUrl, 0, 3000);
    QTRY_COMPARE_WITH_TIMEOUT(succeeded.size(), 1, 10000);

    QCOMPARE(imageSize(browser.loadResource(QTextDocument::ImageResource, otherUrl)), QSize(10, 20));
    QTest::qWait(50);
    QCOMPARE(server.requestCount(QStringLiteral("/other.png")), 1);
}

void TestTextBrowserWithNetwork::nonNetworkResourcesLoadLocally()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("local.png"));
    QImage(7, 9, QImage::Format_ARGB32).save(path, "PNG");

    auto pool = makePool();
    QSignalSpy failed(pool.get(), &shared::TDownloadPool::failed);
    QTextBrowserWithNetwork browser(nullptr, pool, 0, 3000);
    const QVariant local = browser.loadResource(QTextDocument::ImageResource, QUrl::fromLocalFile(path));
    QCOMPARE(imageSize(local), QSize(7, 9));
    QCOMPARE(pool->GetPendingDownloadCount(), 0);
    QCOMPARE(failed.size(), 0);
}

void TestTextBrowserWithNetwork::heightIgnoresWidth()
{
    auto pool = makePool();
    QTextBrowserWithNetwork browser(nullptr, pool, 0, 3000);
    browser.setHtml(QStringLiteral("<p>one</p><p>two</p><p>three</p>"));
    browser.show();
    QVERIFY(QTest::qWaitForWindowExposed(&browser));
    const int height = browser.heightForWidth(10);
    QVERIFY(height > 0);
    QCOMPARE(browser.heightForWidth(1000), height);
    QCOMPARE(height, int(browser.document()->size().height()));
}

QTEST_MAIN(TestTextBrowserWithNetwork)
#include "tst_qtextbrowserwithnetwork.moc"
