#pragma once

#include <QNetworkRequest>
#include <QObject>

#include <memory>
#include <vector>

class QAbstractNetworkCache;
class QAuthenticator;
class QNetworkAccessManager;
class QNetworkReply;

namespace shared {

class QNetworkReplyWrapper;
class THttpClient;

// Thin seam around the QNetworkAccessManager a pool sends its requests through; the application's
// pools each get their own wrapper of the application's one manager.
//
// A wrapper may also spread its requests over several managers: each manager parses its HTTP traffic
// on a thread of its own, and with thousands of small bodies one such thread is the limit of an
// installation. Every request goes to the manager with the fewest replies running; the caller's limit
// on concurrent requests holds across all of them.
class QNetworkAccessManagerWrapper : public QObject
{
    Q_OBJECT

public:
    explicit QNetworkAccessManagerWrapper(std::shared_ptr<QNetworkAccessManager> NetworkAccessManager);
    // The given manager first, then Count - 1 managers of the wrapper's own.
    QNetworkAccessManagerWrapper(std::shared_ptr<QNetworkAccessManager> NetworkAccessManager, int Count);

    int managerCount() const { return int(managers.size()); }
    // From now on plain-http requests go through an HTTP client of the wrapper's own (see THttpClient),
    // and https requests through as many lanes of that client as the wrapper has managers; anything
    // cached stays with the first manager.
    void sendThroughOwnClient();

public slots:
    // Null when there is no manager.
    virtual QNetworkReplyWrapper* get(const QNetworkRequest& Request);
    // A cache belongs to one manager: from then on every request goes through the first one.
    virtual void setCache(QAbstractNetworkCache* Cache);
    virtual void setRedirectPolicy(QNetworkRequest::RedirectPolicy Policy);

signals:
    void authenticationRequired(QNetworkReply* pReply, QAuthenticator* pAuthenticator);

private:
    struct TManager
    {
        std::shared_ptr<QNetworkAccessManager> manager;
        int running = 0;
    };
    std::vector<TManager> managers;
    // A child of the wrapper, and its replies children of the client.
    THttpClient* httpClient = nullptr;
    bool cached = false;
};

} // namespace shared
