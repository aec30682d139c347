#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QJsonValue>
#include <QMetaType>
#include <QString>

#include <vector>

namespace shared {

// One news item of the hints document.
struct THint
{
    QString title;
    QString richText;
    QString imageUrl;
    QString category;
    QString url;
    QDateTime displayAfter;
    QDateTime displayUntil;
    bool hasEmergency = false;
    bool emergency = false;
};

// The value's text as an ISO 8601 date-time, or the fallback when it is not one.
QDateTime parseHintDateTime(const QJsonValue& value, const QDateTime& fallback);

// The hints of a hints document in document order; hints without rich text are dropped.
std::vector<THint> parseHints(const QByteArray& data);

// Makes THint and std::vector<THint> usable in queued signals and QVariant.
void registerHintMetaTypes();

} // namespace shared

Q_DECLARE_METATYPE(shared::THint)
Q_DECLARE_METATYPE(std::vector<shared::THint>)
