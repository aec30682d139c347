#include "shared/networkaccessmanagerwrapper.h"

#include "shared/httpclient.h"
#include "shared/networkreplywrapper.h"

#include <QAuthenticator>
#include <QNetworkAccessManager>

namespace shared {

QNetworkAccessManagerWrapper::QNetworkAccessManagerWrapper(std::shared_ptr<QNetworkAccessManager> NetworkAccessManager)
    : QNetworkAccessManagerWrapper(std::move(NetworkAccessManager), 1)
{ }

QNetworkAccessManagerWrapper::QNetworkAccessManagerWrapper(
    std::shared_ptr<QNetworkAccessManager> NetworkAccessManager, int Count)
{
    if (!NetworkAccessManager)
        return;
    managers.push_back({ std::move(NetworkAccessManager) });
    for (int i = 1; i < Count; ++i) {
        auto own = std::make_shared<QNetworkAccessManager>();
        own->setRedirectPolicy(managers.front().manager->redirectPolicy());
        managers.push_back({ std::move(own) });
    }
    for (const TManager& entry : managers)
        connect(entry.manager.get(), &QNetworkAccessManager::authenticationRequired, this,
            &QNetworkAccessManagerWrapper::authenticationRequired);
}

void QNetworkAccessManagerWrapper::sendThroughOwnClient()
{
    if (!httpClient && !managers.empty())
        httpClient = new THttpClient(this, int(managers.size()), managers.front().manager->redirectPolicy());
}

QNetworkReplyWrapper* QNetworkAccessManagerWrapper::get(const QNetworkRequest& Request)
{
    if (managers.empty())
        return nullptr;
    QNetworkReply* reply = nullptr;
    if (httpClient && !cached && httpClient->accepts(Request)) {
        reply = httpClient->get(Request);
    } else {
        size_t chosen = 0;
        if (!cached) {
            for (size_t i = 1; i < managers.size(); ++i) {
                if (managers[i].running < managers[chosen].running)
                    chosen = i;
            }
        }
        reply = managers[chosen].manager->get(Request);
        if (managers.size() > 1) {
            ++managers[chosen].running;
            // Counted off when the reply is released, on every path: finished, aborted or dropped.
            connect(reply, &QObject::destroyed, this, [this, chosen] { --managers[chosen].running; });
        }
    }
    auto* wrapper = new QNetworkReplyWrapper(reply);
    connect(reply, &QNetworkReply::errorOccurred, wrapper, &QNetworkReplyWrapper::error);
    connect(reply, &QNetworkReply::finished, wrapper, &QNetworkReplyWrapper::finished);
    // Signal to signal: no functor object per request; the total is dropped.
    connect(reply, &QNetworkReply::downloadProgress, wrapper, &QNetworkReplyWrapper::progress);
    return wrapper;
}

void QNetworkAccessManagerWrapper::setCache(QAbstractNetworkCache* Cache)
{
    if (managers.empty())
        return;
    managers.front().manager->setCache(Cache);
    cached = Cache != nullptr;
}

void QNetworkAccessManagerWrapper::setRedirectPolicy(QNetworkRequest::RedirectPolicy Policy)
{
    for (const TManager& entry : managers)
        entry.manager->setRedirectPolicy(Policy);
    if (httpClient)
        httpClient->setLaneRedirectPolicy(Policy);
}

} // namespace shared
