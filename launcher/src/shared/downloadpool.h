#pragma once

#include "shared/milliseconds.h"
#include "shared/networkaccessmanagerauthenticationhandler.h"

#include <QHash>
#include <QMap>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QUrl>

#include <list>
#include <memory>

class QAbstractNetworkCache;

namespace shared {

class QNetworkAccessManagerWrapper;
class QNetworkReplyWrapper;

struct TQueuedDownload
{
    QUrl url;
    // Further attempts allowed after a failed one.
    int retries = 0;
    TMilliseconds timeout = 0;
};

// Queued HTTP(S) GET of whole bodies, keyed by URL: a FIFO of requested URLs, at most a fixed number
// of downloads at once, retries 250 ms apart and a transfer time-out per request. Results leave only
// as signals carrying the URL the caller gave, so every listener filters by the URLs it asked for.
//
// With removeOnFinish false a finished URL stays active until Remove, so the limit also bounds the
// bodies its owner still holds.
class TDownloadPool : public QObject
{
    Q_OBJECT

public:
    TDownloadPool(int MaxConcurrentDownloads, std::shared_ptr<QNetworkAccessManagerWrapper> NetworkAccessManager,
        bool RemoveOnFinish);
    // Aborts the attempts still running and releases them with a deferred delete.
    ~TDownloadPool() override;

public slots:
    virtual void Download(const QUrl& Url, int Retries, shared::TMilliseconds Timeout);
    virtual void Enqueue(const QUrl& Url, int Retries, shared::TMilliseconds Timeout);
    virtual void SetMaxConcurrentDownloads(int MaxConcurrentDownloads);
    virtual int GetMaxConcurrentDownloads() const;
    virtual int GetActiveDownloadCount() const;
    virtual int GetPendingDownloadCount() const;
    virtual void SetCache(QAbstractNetworkCache* Cache);
    virtual void Remove(const QUrl& Url);

public:
    bool StartDownload(const QUrl& Url, int Retries, shared::TMilliseconds Timeout);
    void ProcessQueue();
    void OnNetworkReplySignalsFinished(shared::QNetworkReplyWrapper* Wrapper);
    void OnNetworkReplySignalsError(shared::QNetworkReplyWrapper* Wrapper);

signals:
    void success(const QUrl& url, const QByteArray& data);
    void failed(const QUrl& url, QNetworkReply::NetworkError code, const QString& errorString);
    void progress(const QUrl& Url, qint64 BytesReceivedFromRequest);

private:
    // One attempt with a request built already; the next hop of a redirect starts this way too.
    bool startAttempt(const QUrl& Url, const QNetworkRequest& request, int Retries);
    // Starts the next hop when the attempt's reply is a redirect that may be followed. A refused one
    // sets the code and text the download then fails with.
    bool followRedirect(QNetworkReplyWrapper* Wrapper, QNetworkReply::NetworkError& code, QString& refused);
    void onRetryTimeout(const QUrl& Url, int Retries, TMilliseconds Timeout, quint64 Pause);
    void releaseAttempt(QNetworkReplyWrapper* Wrapper);

    std::shared_ptr<QNetworkAccessManagerWrapper> networkAccessManager;
    // Every URL started and not yet released, with its running attempt; null while no attempt runs
    // (retry pause, or finished and waiting for Remove).
    QMap<QUrl, QNetworkReplyWrapper*> activeDownloads;
    int maxConcurrentDownloads = 0;
    std::list<TQueuedDownload> queuedDownloads;
    TNetworkAccessManagerAuthenticationHandler authenticationHandler;
    bool removeOnFinish = true;
    TMilliseconds retryDelay = 250;

    // An index beside the FIFO: an installation queues tens of thousands of chunk URLs.
    QHash<QUrl, std::list<TQueuedDownload>::iterator> queuedIndex;
    // The pending retry of each URL in a pause; Remove and a new start drop it, so a stale timer
    // can tell it no longer counts.
    QHash<QUrl, quint64> retryPauses;
    quint64 lastRetryPause = 0;
    // Attempts whose reply is still running, also those whose URL was removed meanwhile.
    QHash<QNetworkReplyWrapper*, QPointer<QNetworkReplyWrapper>> runningAttempts;
};

} // namespace shared
