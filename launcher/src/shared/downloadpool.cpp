#include "shared/downloadpool.h"

#include "shared/launcherutils.h"
#include "shared/logtext.h"
#include "shared/networkaccessmanagerwrapper.h"
#include "shared/networkreplywrapper.h"

#include <QDebug>
#include <QTimer>

#include <algorithm>
#include <limits>

namespace shared {

namespace {

int toTimeoutMs(qint64 Timeout)
{
    return int(std::clamp<qint64>(Timeout, 0, std::numeric_limits<int>::max()));
}

} // namespace

TDownloadPool::TDownloadPool(
    int MaxConcurrentDownloads, std::shared_ptr<QNetworkAccessManagerWrapper> NetworkAccessManager, bool RemoveOnFinish)
    : networkAccessManager(std::move(NetworkAccessManager))
    , maxConcurrentDownloads(MaxConcurrentDownloads)
    , removeOnFinish(RemoveOnFinish)
{
    // Every wrapper shares the application's manager, so this policy holds for all of its traffic.
    if (networkAccessManager)
        networkAccessManager->setRedirectPolicy(QNetworkRequest::NoLessSafeRedirectPolicy);
}

TDownloadPool::~TDownloadPool()
{
    // A running reply would otherwise go on downloading into memory that nobody reads.
    const auto attempts = std::exchange(runningAttempts, {});
    for (const QPointer<QNetworkReplyWrapper>& wrapper : attempts) {
        if (!wrapper)
            continue;
        disconnect(wrapper, nullptr, this, nullptr);
        if (QNetworkReply* reply = wrapper->reply) {
            reply->abort();
            reply->deleteLater();
        } else {
            wrapper->deleteLater();
        }
    }
}

void TDownloadPool::Download(const QUrl& Url, int Retries, TMilliseconds Timeout)
{
    const QUrl parsed(Url.toString(QUrl::FullyEncoded), QUrl::StrictMode);
    if (!parsed.isValid() || parsed.isRelative()) {
        emit failed(Url, QNetworkReply::ProtocolInvalidOperationError, QStringLiteral("Invalid URL"));
        return;
    }
    Enqueue(Url, Retries, Timeout);
}

void TDownloadPool::Enqueue(const QUrl& Url, int Retries, TMilliseconds Timeout)
{
    // A URL stands at most once in the queue: a repeated request moves it to the back.
    if (const auto queued = queuedIndex.find(Url); queued != queuedIndex.end()) {
        queuedDownloads.erase(queued.value());
        queuedIndex.erase(queued);
    }
    if (activeDownloads.contains(Url))
        return;
    queuedDownloads.push_back({ Url, Retries, Timeout });
    queuedIndex.insert(Url, std::prev(queuedDownloads.end()));
    ProcessQueue();
}

void TDownloadPool::SetMaxConcurrentDownloads(int MaxConcurrentDownloads)
{
    maxConcurrentDownloads = MaxConcurrentDownloads;
    if (maxConcurrentDownloads > 0)
        ProcessQueue();
}

int TDownloadPool::GetMaxConcurrentDownloads() const
{
    return maxConcurrentDownloads;
}

int TDownloadPool::GetActiveDownloadCount() const
{
    return int(activeDownloads.size());
}

int TDownloadPool::GetPendingDownloadCount() const
{
    return int(activeDownloads.size() + queuedDownloads.size());
}

void TDownloadPool::SetCache(QAbstractNetworkCache* Cache)
{
    if (networkAccessManager)
        networkAccessManager->setCache(Cache);
}

void TDownloadPool::Remove(const QUrl& Url)
{
    retryPauses.remove(Url);
    const auto active = activeDownloads.find(Url);
    if (active == activeDownloads.end())
        return;
    // A removed attempt would otherwise go on downloading into memory outside the limit. Its finish,
    // which abort emits at once, finds the URL gone and ends silently.
    const QPointer<QNetworkReplyWrapper> running = active.value();
    activeDownloads.erase(active);
    if (running && running->reply)
        running->reply->abort();
    ProcessQueue();
}

bool TDownloadPool::StartDownload(const QUrl& Url, int Retries, TMilliseconds Timeout)
{
    TLogLine(QtInfoMsg) << "StartDownload: " << TLogText::url(Url);
    QNetworkRequest request = TLauncherUtils::createNetworkRequest(Url);
    request.setTransferTimeout(toTimeoutMs(Timeout));
    // The manager would send a pinned request's "Host" header and TLS peer name on to the next host;
    // the pool follows redirects itself, one request of its own per hop.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, QNetworkRequest::ManualRedirectPolicy);
    return startAttempt(Url, request, Retries);
}

bool TDownloadPool::startAttempt(const QUrl& Url, const QNetworkRequest& request, int Retries)
{
    QNetworkReplyWrapper* wrapper = networkAccessManager ? networkAccessManager->get(request) : nullptr;
    retryPauses.remove(Url);
    if (!wrapper) {
        activeDownloads.remove(Url);
        emit failed(Url, QNetworkReply::UnknownNetworkError, QStringLiteral("No network access manager"));
        return false;
    }
    wrapper->url = Url;
    wrapper->retries = Retries;

    connect(
        wrapper, &QNetworkReplyWrapper::finished, this, [this, wrapper] { OnNetworkReplySignalsFinished(wrapper); });
    connect(wrapper, &QNetworkReplyWrapper::error, this, [this, wrapper] { OnNetworkReplySignalsError(wrapper); });
    connect(wrapper, &QNetworkReplyWrapper::progress, this, [this, wrapper](qint64 Bytes) {
        // An attempt whose URL was removed (and maybe requested again) no longer reports.
        const QUrl url = wrapper->getUrl();
        if (activeDownloads.value(url) == wrapper)
            emit progress(url, Bytes);
    });

    runningAttempts.insert(wrapper, wrapper);
    activeDownloads.insert(Url, wrapper);
    return true;
}

void TDownloadPool::ProcessQueue()
{
    while (!queuedDownloads.empty() && GetActiveDownloadCount() < GetMaxConcurrentDownloads()) {
        const TQueuedDownload next = std::move(queuedDownloads.front());
        queuedIndex.remove(next.url);
        queuedDownloads.pop_front();
        StartDownload(next.url, next.retries, next.timeout);
    }
}

void TDownloadPool::OnNetworkReplySignalsFinished(QNetworkReplyWrapper* Wrapper)
{
    runningAttempts.remove(Wrapper);
    const QUrl url = Wrapper->getUrl();
    QNetworkReply::NetworkError code = Wrapper->getError();
    TLogLine(QtInfoMsg) << "OnNetworkReplySignalsFinished url: " << TLogText::url(url) << " error: " << code;

    // Only the attempt stored for the URL speaks for it; an attempt whose URL was removed, or removed
    // and requested again, ends silently.
    const auto active = activeDownloads.find(url);
    const bool current = active != activeDownloads.end() && active.value() == Wrapper;

    QString refusedRedirect;
    if (current && code == QNetworkReply::NoError && followRedirect(Wrapper, code, refusedRedirect))
        return;
    const auto errorString = [&] { return refusedRedirect.isEmpty() ? Wrapper->getErrorString() : refusedRedirect; };

    if (code != QNetworkReply::NoError && !url.host().isEmpty()) {
        TLogLine(QtInfoMsg) << "OnNetworkReplySignalsFinished url: " << TLogText::url(url) << " error: " << code
                            << " error string: " << errorString() << "retries: " << Wrapper->retries;
        if (Wrapper->retries > 0) {
            if (current) {
                qInfo() << "Retry download in " << retryDelay << " ms";
                const int timeout = Wrapper->reply ? Wrapper->reply->request().transferTimeout() : 0;
                const int retries = Wrapper->retries;
                const quint64 pause = ++lastRetryPause;
                // The URL keeps its place in the limit during the pause.
                active.value() = nullptr;
                retryPauses.insert(url, pause);
                QTimer::singleShot(retryDelay, this,
                    [this, url, retries, timeout, pause] { onRetryTimeout(url, retries, timeout, pause); });
            }
            releaseAttempt(Wrapper);
            return;
        }
    }

    if (!current) {
        releaseAttempt(Wrapper);
        return;
    }

    if (removeOnFinish)
        activeDownloads.erase(active);
    else
        active.value() = nullptr;

    // Released before the signal: a listener may destroy the pool from within it.
    const QPointer<TDownloadPool> alive(this);
    if (code != QNetworkReply::NoError) {
        const QString text = errorString();
        releaseAttempt(Wrapper);
        emit failed(url, code, text);
    } else {
        const QByteArray data = Wrapper->readAll();
        releaseAttempt(Wrapper);
        emit success(url, data);
    }
    if (alive && removeOnFinish)
        ProcessQueue();
}

bool TDownloadPool::followRedirect(QNetworkReplyWrapper* Wrapper, QNetworkReply::NetworkError& code, QString& refused)
{
    if (!Wrapper->reply)
        return false;
    const QUrl location = Wrapper->reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (location.isEmpty())
        return false;
    const QNetworkRequest& previous = Wrapper->reply->request();
    const std::optional<QNetworkRequest> next = TLauncherUtils::createRedirectedRequest(previous, location, code);
    if (!next) {
        refused = QStringLiteral("Redirect from %1 to %2 refused")
                      .arg(TLauncherUtils::requestedUrl(previous).toString(), location.toString());
        return false;
    }
    const QUrl url = Wrapper->getUrl();
    const int retries = Wrapper->retries;
    TLogLine(QtInfoMsg) << "Redirect of " << TLogText::url(url) << " to " << TLauncherUtils::requestedUrl(*next);
    releaseAttempt(Wrapper);
    // The hop takes the attempt's place: same URL, same retries, same place in the limit.
    startAttempt(url, *next, retries);
    return true;
}

void TDownloadPool::OnNetworkReplySignalsError(QNetworkReplyWrapper* Wrapper)
{
    qInfo() << "OnNetworkReplySignalsError url: " << Wrapper->getUrl() << " error: " << Wrapper->getError()
            << " errorString: " << Wrapper->getErrorString();
}

void TDownloadPool::onRetryTimeout(const QUrl& Url, int Retries, TMilliseconds Timeout, quint64 Pause)
{
    const auto pending = retryPauses.find(Url);
    if (pending == retryPauses.end() || pending.value() != Pause) {
        TLogLine(QtInfoMsg) << "Retry download of " << TLogText::url(Url) << " skipped";
        return;
    }
    retryPauses.erase(pending);
    activeDownloads.remove(Url);
    TLogLine(QtInfoMsg) << "Retry download of " << TLogText::url(Url);
    // The URL held its place in the limit throughout the pause, so it starts without the queue.
    StartDownload(Url, Retries - 1, Timeout);
}

void TDownloadPool::releaseAttempt(QNetworkReplyWrapper* Wrapper)
{
    if (Wrapper->reply)
        Wrapper->reply->deleteLater();
    else
        Wrapper->deleteLater();
}

} // namespace shared
