#include "shared/jsondocumenthttppostsender.h"

#include <QNetworkAccessManager>
#include <QNetworkRequest>

namespace shared {

TJsonDocumentHttpPostSender::TJsonDocumentHttpPostSender()
    : networkAccessManager(std::make_shared<QNetworkAccessManager>())
{
    qRegisterMetaType<QNetworkReply::NetworkError>();
    connect(
        networkAccessManager.get(), &QNetworkAccessManager::finished, this, &TJsonDocumentHttpPostSender::onFinished);
}

TJsonDocumentHttpPostSender::~TJsonDocumentHttpPostSender() = default;

void TJsonDocumentHttpPostSender::post(const QUrl& url, const QJsonDocument& document)
{
    QNetworkRequest request(url);
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));
    request.setHeader(QNetworkRequest::ContentDispositionHeader, QStringLiteral("form-data; name=\"metadata\""));
    networkAccessManager->post(request, document.toJson(QJsonDocument::Compact));
}

void TJsonDocumentHttpPostSender::onFinished(QNetworkReply* Reply)
{
    const QByteArray body = Reply->readAll();
    const QString errorText = Reply->errorString();
    const QNetworkReply::NetworkError code = Reply->error();
    emit finished(code, errorText, body);
    Reply->deleteLater();
}

} // namespace shared
