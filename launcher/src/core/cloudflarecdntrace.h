#pragma once

#include "shared/milliseconds.h"

#include <QByteArray>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

namespace shared {
class TDownloadPool;
}

namespace korvane::launcher {

// The four details of a CDN trace reply that the download-error box shows.
struct TCdnTraceDetails
{
    QString fl;
    QString ts;
    QString colo;
    QString ip;
};

// Fetches the CDN's plain-text trace at most once per run through the application pool.
class TCloudflareCdnTrace : public QObject
{
    Q_OBJECT

public:
    TCloudflareCdnTrace(
        QUrl url, std::shared_ptr<shared::TDownloadPool> downloadPool, int retries, shared::TMilliseconds timeout);

    // Lines of "key=value"; keys match in any case, values lose surrounding white space.
    static TCdnTraceDetails parseTrace(const QByteArray& data);

    // Asks once; an invalid URL fails at once, before this returns.
    void requestTrace();

private:
    QUrl url;
    std::shared_ptr<shared::TDownloadPool> downloadPool;
    int retries = 0;
    shared::TMilliseconds timeout = 0;

public:
    // Read by the download-error box.
    QString fl;
    QString ts;
    QString colo;
    QString ip;
    bool traceReceived = false;
    bool traceFailed = false;
    bool traceRequested = false;

signals:
    void diagnosticsTraceReceived(bool Failed);

public slots:
    void onDownloadSuccess(const QUrl& Url, const QByteArray& Data);
    void onDownloadFailed(const QUrl& Url, QNetworkReply::NetworkError Code, const QString& ErrorString);
};

} // namespace korvane::launcher
