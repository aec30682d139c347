#pragma once

#include <QMap>
#include <QObject>
#include <QString>

namespace shared {

// Place for credentials per realm. Nothing fills or consults it: no server of the launcher asks for
// authentication.
class TNetworkAccessManagerAuthenticationHandler : public QObject
{
    Q_OBJECT

public:
    explicit TNetworkAccessManagerAuthenticationHandler(QObject* Parent = nullptr);

private:
    QMap<QString, QString> credentials;
};

} // namespace shared
