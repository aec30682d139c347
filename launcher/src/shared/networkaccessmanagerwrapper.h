#pragma once

#include <QNetworkRequest>
#include <QObject>

#include <memory>

class QAbstractNetworkCache;
class QAuthenticator;
class QNetworkAccessManager;
class QNetworkReply;

namespace shared {

class QNetworkReplyWrapper;

// Thin seam around the application's one QNetworkAccessManager; every pool gets its own wrapper of
// that same manager.
class QNetworkAccessManagerWrapper : public QObject
{
    Q_OBJECT

public:
    explicit QNetworkAccessManagerWrapper(std::shared_ptr<QNetworkAccessManager> NetworkAccessManager);

public slots:
    // Null when there is no manager.
    virtual QNetworkReplyWrapper* get(const QNetworkRequest& Request);
    virtual void setCache(QAbstractNetworkCache* Cache);
    virtual void setRedirectPolicy(QNetworkRequest::RedirectPolicy Policy);

signals:
    void authenticationRequired(QNetworkReply* pReply, QAuthenticator* pAuthenticator);

private:
    std::shared_ptr<QNetworkAccessManager> networkAccessManager;
};

} // namespace shared
