#pragma once

#include "shared/milliseconds.h"

#include <QMap>
#include <QNetworkReply>
#include <QTextBrowser>
#include <QUrl>
#include <QVariant>

#include <memory>

namespace shared {

class TDownloadPool;

// A rich-text browser whose network resources (images above all) come through a download pool.
class QTextBrowserWithNetwork : public QTextBrowser
{
    Q_OBJECT

public:
    QTextBrowserWithNetwork(
        QWidget* parent, std::shared_ptr<TDownloadPool> downloadPool, int retries, TMilliseconds timeout);

    QSize sizeHint() const override;
    int heightForWidth(int width) const override;
    QVariant loadResource(int type, const QUrl& name) override;

public slots:
    void onDownloadFinished(const QUrl& Url, const QByteArray& Data);
    void onDownloadFailed(const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString);

private:
    std::shared_ptr<TDownloadPool> downloadPool;
    int retries = 0;
    TMilliseconds timeout = 0;
    // Every resource looked up or received, by URL; network ones hold a placeholder until their body arrives.
    QMap<QUrl, QVariant> resources;
};

} // namespace shared
