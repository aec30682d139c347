#include "shared/networkaccessmanagerwrapper.h"

#include "shared/networkreplywrapper.h"

#include <QAuthenticator>
#include <QNetworkAccessManager>

namespace shared {

QNetworkAccessManagerWrapper::QNetworkAccessManagerWrapper(std::shared_ptr<QNetworkAccessManager> NetworkAccessManager)
    : networkAccessManager(std::move(NetworkAccessManager))
{
    if (networkAccessManager)
        connect(networkAccessManager.get(), &QNetworkAccessManager::authenticationRequired, this,
            &QNetworkAccessManagerWrapper::authenticationRequired);
}

QNetworkReplyWrapper* QNetworkAccessManagerWrapper::get(const QNetworkRequest& Request)
{
    if (!networkAccessManager)
        return nullptr;
    QNetworkReply* reply = networkAccessManager->get(Request);
    auto* wrapper = new QNetworkReplyWrapper(reply);
    connect(reply, &QNetworkReply::errorOccurred, wrapper, &QNetworkReplyWrapper::error);
    connect(reply, &QNetworkReply::finished, wrapper, &QNetworkReplyWrapper::finished);
    // Signal to signal: no functor object per request; the total is dropped.
    connect(reply, &QNetworkReply::downloadProgress, wrapper, &QNetworkReplyWrapper::progress);
    return wrapper;
}

void QNetworkAccessManagerWrapper::setCache(QAbstractNetworkCache* Cache)
{
    if (networkAccessManager)
        networkAccessManager->setCache(Cache);
}

void QNetworkAccessManagerWrapper::setRedirectPolicy(QNetworkRequest::RedirectPolicy Policy)
{
    if (networkAccessManager)
        networkAccessManager->setRedirectPolicy(Policy);
}

} // namespace shared
