// The funnel operations of TLauncherApplication: analytics events posted to the configuration's funnel address.

#include "core/launcherapplication.h"
#include "core/launcherconfigurationhandler.h"
#include "core/launcherconfigurationreader.h"
#include "shared/launcherutils.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSettings>
#include <QStandardPaths>
#include <QUuid>

namespace korvane::launcher {

namespace {

constexpr int funnelAttempts = 5;
constexpr int funnelRetryDelayMs = 25;

// Written once, when the identifier is made; its folder belongs to the game and is never created here.
void writeDeviceFile(const QString& identifier)
{
    QFile file(QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/Korvane Vedudi/korvaneShared.json"));
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate))
        return;
    file.write(QJsonDocument(QJsonObject { { QStringLiteral("DeviceIdentifier"), identifier } })
                   .toJson(QJsonDocument::Indented));
}

} // namespace

void TLauncherApplication::sendFunnelEvent(const QString& step, const QString& firstFlagKey)
{
    qInfo() << "sendFunnelEvent: " << step;

    QSettings settings;
    QString identifier;
    if (!settings.contains(funnelUuidKey)) {
        identifier = QUuid::createUuid().toString(QUuid::WithoutBraces);
        settings.setValue(funnelUuidKey, identifier);
        writeDeviceFile(identifier);
    } else {
        identifier = settings.value(funnelUuidKey).toString();
    }
    const bool first = settings.value(firstFlagKey, true).toBool();

    const QJsonObject event { { QStringLiteral("accountgroupkey"), accountGroupKey },
        { QStringLiteral("first"), first }, { QStringLiteral("id"), identifier }, { QStringLiteral("step"), step } };
    const QByteArray body = QJsonDocument(event).toJson(QJsonDocument::Indented);

    const TLauncherConfigurationReader* configuration = configurationHandler->configuration.get();
    QNetworkRequest request
        = shared::TLauncherUtils::createNetworkRequest(configuration ? configuration->funnelUrl : QUrl());
    request.setHeader(QNetworkRequest::ContentTypeHeader, QStringLiteral("application/json"));

    qInfo() << "Sending funnel event for step " << step;
    postFunnelRequest(request, body, step, firstFlagKey, first, funnelAttempts);
}

void TLauncherApplication::postFunnelRequest(const QNetworkRequest& request, const QByteArray& body,
    const QString& step, const QString& firstFlagKey, bool first, int attemptsLeft)
{
    ++pendingFunnelRequests;
    QNetworkReply* reply = networkAccessManager->post(request, body);
    connect(
        reply, &QNetworkReply::finished, this, [this, reply, request, body, step, firstFlagKey, first, attemptsLeft] {
            onFunnelReplyFinished(reply, request, body, step, firstFlagKey, first, attemptsLeft);
        });
}

void TLauncherApplication::onFunnelReplyFinished(QNetworkReply* reply, const QNetworkRequest& request,
    const QByteArray& body, const QString& step, const QString& firstFlagKey, bool first, int attemptsLeft)
{
    if (reply->error() == QNetworkReply::NoError) {
        const QString answer = QString::fromUtf8(reply->readAll());
        qInfo() << "Funnel response received (Step:" << step << "):" << answer;
        if (first)
            QSettings().setValue(firstFlagKey, false);
        --pendingFunnelRequests;
    } else {
        qWarning() << "Error funnel sending (Step:" << step << "):" << reply->errorString();
        if (attemptsLeft > 0) {
            qInfo() << "Retrying in" << funnelRetryDelayMs << "ms... Attempts left:" << attemptsLeft;
            // Still counted as pending during the pause, so the exit poll waits for the retry.
            QTimer::singleShot(funnelRetryDelayMs, Qt::PreciseTimer, this,
                [this, request, body, step, firstFlagKey, first, attemptsLeft] {
                    retryFunnelRequest(request, body, step, firstFlagKey, first, attemptsLeft);
                });
        } else {
            qCritical() << "All retry attempts failed for Step:" << step;
            --pendingFunnelRequests;
        }
    }
    reply->deleteLater();
    // A run waiting for its funnel posts ends with the last one, not at the next poll.
    if (pendingFunnelRequests <= 0 && isLeaving())
        onExitDelayTimerExpired();
}

void TLauncherApplication::retryFunnelRequest(const QNetworkRequest& request, const QByteArray& body,
    const QString& step, const QString& firstFlagKey, bool first, int attemptsLeft)
{
    --pendingFunnelRequests;
    postFunnelRequest(request, body, step, firstFlagKey, first, attemptsLeft - 1);
}

} // namespace korvane::launcher
