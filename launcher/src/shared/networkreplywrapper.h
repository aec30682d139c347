#pragma once

#include <QNetworkReply>
#include <QObject>
#include <QUrl>

namespace shared {

// Thin seam around one QNetworkReply. It is a child of the reply, so releasing the reply with a
// deferred delete releases the wrapper too.
class QNetworkReplyWrapper : public QObject
{
    Q_OBJECT

public:
    explicit QNetworkReplyWrapper(QNetworkReply* Reply);

    QNetworkReply* reply = nullptr;
    // The URL the caller asked for; it differs from the request's URL when the request was pinned to
    // a numeric address.
    QUrl url;
    // Further attempts allowed after this one fails.
    int retries = 0;

public slots:
    virtual QNetworkReply::NetworkError getError();
    virtual QString getErrorString();
    virtual QByteArray readAll();
    virtual QUrl getUrl();

signals:
    void error(QNetworkReply::NetworkError code);
    void finished();
    void progress(qint64 BytesReceivedFromRequest);
};

} // namespace shared
