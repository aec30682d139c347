#include "shared/networkreplywrapper.h"

namespace shared {

QNetworkReplyWrapper::QNetworkReplyWrapper(QNetworkReply* Reply)
    : QObject(Reply)
    , reply(Reply)
{ }

QNetworkReply::NetworkError QNetworkReplyWrapper::getError()
{
    return reply ? reply->error() : QNetworkReply::UnknownNetworkError;
}

QString QNetworkReplyWrapper::getErrorString()
{
    return reply ? reply->errorString() : QString();
}

QByteArray QNetworkReplyWrapper::readAll()
{
    return reply ? reply->readAll() : QByteArray();
}

QUrl QNetworkReplyWrapper::getUrl()
{
    if (url.isEmpty() && reply)
        return reply->request().url();
    return url;
}

} // namespace shared
