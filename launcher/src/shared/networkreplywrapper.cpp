#include "shared/networkreplywrapper.h"

#include "shared/httpclient.h"

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
    // A body of the launcher's own client changes hands without a copy.
    if (auto* own = qobject_cast<THttpReply*>(reply))
        return own->takeBody();
    return reply ? reply->readAll() : QByteArray();
}

QUrl QNetworkReplyWrapper::getUrl()
{
    if (url.isEmpty() && reply)
        return reply->request().url();
    return url;
}

} // namespace shared
