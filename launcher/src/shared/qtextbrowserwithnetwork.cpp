#include "shared/qtextbrowserwithnetwork.h"

#include "shared/downloadpool.h"

#include <QDebug>
#include <QImage>
#include <QMetaEnum>
#include <QTextDocument>

namespace shared {

QTextBrowserWithNetwork::QTextBrowserWithNetwork(
    QWidget* parent, std::shared_ptr<TDownloadPool> downloadPool, int retries, TMilliseconds timeout)
    : QTextBrowser(parent)
    , downloadPool(std::move(downloadPool))
    , retries(retries)
    , timeout(timeout)
{
    if (this->downloadPool) {
        connect(this->downloadPool.get(), &TDownloadPool::success, this, &QTextBrowserWithNetwork::onDownloadFinished);
        connect(this->downloadPool.get(), &TDownloadPool::failed, this, &QTextBrowserWithNetwork::onDownloadFailed);
    }
}

QSize QTextBrowserWithNetwork::sizeHint() const
{
    return document()->size().toSize();
}

int QTextBrowserWithNetwork::heightForWidth(int) const
{
    return static_cast<int>(document()->size().height());
}

QVariant QTextBrowserWithNetwork::loadResource(int type, const QUrl& name)
{
    const auto known = resources.constFind(name);
    if (known != resources.constEnd())
        return known.value();

    const QString scheme = name.scheme();
    if (scheme == QLatin1String("http") || scheme == QLatin1String("https") || scheme == QLatin1String("ftp")) {
        if (downloadPool)
            downloadPool->Download(name, retries, timeout);
        QVariant placeholder;
        if (type == QTextDocument::ImageResource) {
            QImage image(32, 32, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            placeholder = image;
        } else {
            placeholder = type;
        }
        resources.insert(name, placeholder);
        return placeholder;
    }

    const QVariant loaded = QTextBrowser::loadResource(type, name);
    resources.insert(name, loaded);
    return loaded;
}

void QTextBrowserWithNetwork::onDownloadFinished(const QUrl& Url, const QByteArray& Data)
{
    resources.insert(Url, Data);
    // Re-render from the document's own HTML so that images now present replace their placeholders.
    setHtml(toHtml());
    updateGeometry();
}

void QTextBrowserWithNetwork::onDownloadFailed(
    const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString)
{
    qWarning() << "Download failed:" << Url << QMetaEnum::fromType<QNetworkReply::NetworkError>().valueToKey(Code)
               << ErrorString;
}

} // namespace shared
