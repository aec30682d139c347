#include "shared/jsondocumentuploaderbase.h"

#include "shared/jsondocumenthttppostsender.h"

#include <QJsonObject>
#include <QJsonParseError>
#include <QJsonValue>

namespace shared {

TJsonDocumentUploaderBase::TJsonDocumentUploaderBase(std::shared_ptr<TJsonDocumentHttpPostSender> Sender)
    : sender(std::move(Sender))
{
    if (sender)
        connect(sender.get(), &TJsonDocumentHttpPostSender::finished, this, &TJsonDocumentUploaderBase::onFinished);
}

TJsonDocumentUploaderBase::~TJsonDocumentUploaderBase() = default;

void TJsonDocumentUploaderBase::upload(const QUrl& url, const QJsonDocument& document)
{
    // Without a sender nothing can be posted; say so instead of dereferencing it.
    if (!sender) {
        errorString = QStringLiteral("No sender for the upload");
        errorCode = 0;
        emit finished(false, QJsonDocument());
        return;
    }
    sender->post(url, document);
}

void TJsonDocumentUploaderBase::onFinished(
    QNetworkReply::NetworkError NetworkErrorCode, const QString& NetworkErrorString, const QByteArray& ReplyFromServer)
{
    errorString.clear();
    errorCode = 0;

    if (NetworkErrorCode != QNetworkReply::NoError) {
        errorString = NetworkErrorString;
        emit finished(false, QJsonDocument());
        return;
    }

    QJsonParseError parseError;
    const QJsonDocument reply = QJsonDocument::fromJson(ReplyFromServer, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        errorString = parseError.errorString();
        errorCode = invalidReplyErrorCode;
        emit finished(false, QJsonDocument());
        return;
    }

    // A text or a missing member reads as 0: only a number reports a failure.
    const QJsonObject object = reply.object();
    const int code = object.value(QStringLiteral("errorCode")).toInt();
    if (code != 0) {
        errorString = object.value(QStringLiteral("errorMessage")).toString();
        errorCode = code;
        emit finished(false, reply);
        return;
    }
    emit finished(true, reply);
}

} // namespace shared
