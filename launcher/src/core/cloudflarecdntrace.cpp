#include "core/cloudflarecdntrace.h"

#include "shared/downloadpool.h"

#include <QMetaType>

namespace korvane::launcher {

TCloudflareCdnTrace::TCloudflareCdnTrace(
    QUrl url, std::shared_ptr<shared::TDownloadPool> downloadPool, int retries, shared::TMilliseconds timeout)
    : url(std::move(url))
    , downloadPool(std::move(downloadPool))
    , retries(retries)
    , timeout(timeout)
{
    qRegisterMetaType<QNetworkReply::NetworkError>();
    if (this->downloadPool) {
        connect(
            this->downloadPool.get(), &shared::TDownloadPool::success, this, &TCloudflareCdnTrace::onDownloadSuccess);
        connect(this->downloadPool.get(), &shared::TDownloadPool::failed, this, &TCloudflareCdnTrace::onDownloadFailed);
    }
}

TCdnTraceDetails TCloudflareCdnTrace::parseTrace(const QByteArray& data)
{
    TCdnTraceDetails details;
    const QStringList lines = QString::fromUtf8(data).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString& line : lines) {
        const QStringList parts = line.split(QLatin1Char('='), Qt::SkipEmptyParts);
        if (parts.size() != 2)
            continue;
        const QString& key = parts[0];
        const QString value = parts[1].trimmed();
        if (key.compare(QLatin1String("fl"), Qt::CaseInsensitive) == 0)
            details.fl = value;
        else if (key.compare(QLatin1String("ts"), Qt::CaseInsensitive) == 0)
            details.ts = value;
        else if (key.compare(QLatin1String("colo"), Qt::CaseInsensitive) == 0)
            details.colo = value;
        else if (key.compare(QLatin1String("ip"), Qt::CaseInsensitive) == 0)
            details.ip = value;
    }
    return details;
}

void TCloudflareCdnTrace::requestTrace()
{
    if (traceReceived || traceFailed || traceRequested)
        return;
    if (url.isValid() && downloadPool) {
        traceFailed = false;
        traceRequested = true;
        downloadPool->Download(url, retries, timeout);
        return;
    }
    traceFailed = true;
    traceRequested = false;
    emit diagnosticsTraceReceived(true);
}

void TCloudflareCdnTrace::onDownloadSuccess(const QUrl& Url, const QByteArray& Data)
{
    if (Url != url)
        return;
    const TCdnTraceDetails details = parseTrace(Data);
    fl = details.fl;
    ts = details.ts;
    colo = details.colo;
    ip = details.ip;
    traceReceived = true;
    traceFailed = false;
    traceRequested = false;
    emit diagnosticsTraceReceived(false);
}

void TCloudflareCdnTrace::onDownloadFailed(const QUrl& Url, QNetworkReply::NetworkError, const QString&)
{
    if (Url != url)
        return;
    traceReceived = false;
    traceFailed = true;
    traceRequested = false;
    emit diagnosticsTraceReceived(true);
}

} // namespace korvane::launcher
