#pragma once

#include <QByteArray>
#include <QJsonDocument>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QUrl>

#include <memory>

namespace shared {

class TJsonDocumentHttpPostSender;

// Judges the sender's replies by the upload endpoints' convention: a JSON object whose non-zero numeric
// "errorCode" (with "errorMessage") marks a failure. Keeps the outcome of the last reply.
class TJsonDocumentUploaderBase : public QObject
{
    Q_OBJECT

public:
    explicit TJsonDocumentUploaderBase(std::shared_ptr<TJsonDocumentHttpPostSender> Sender);
    ~TJsonDocumentUploaderBase() override;

    static constexpr int invalidReplyErrorCode = -100;

    std::shared_ptr<TJsonDocumentHttpPostSender> sender;
    QString errorString;
    int errorCode = 0;

public slots:
    virtual void upload(const QUrl& url, const QJsonDocument& document);
    void onFinished(QNetworkReply::NetworkError NetworkErrorCode, const QString& NetworkErrorString,
        const QByteArray& ReplyFromServer);

signals:
    void finished(bool UploadSuccessful, QJsonDocument ReplyFromServer);
};

} // namespace shared
