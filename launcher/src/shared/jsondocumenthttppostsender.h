#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;

namespace shared {

// Posts one compact JSON document per call with a network manager of its own (no pool, no retries, no IPv4
// pinning) and reports every reply, failed or not, by finished.
class TJsonDocumentHttpPostSender : public QObject
{
    Q_OBJECT

public:
    TJsonDocumentHttpPostSender();
    ~TJsonDocumentHttpPostSender() override;

    std::shared_ptr<QNetworkAccessManager> networkAccessManager;

public slots:
    virtual void post(const QUrl& url, const QJsonDocument& document);
    void onFinished(QNetworkReply* Reply);

signals:
    void finished(QNetworkReply::NetworkError NetworkErrorCode, QString NetworkErrorString, QByteArray ReplyFromServer);
};

} // namespace shared
