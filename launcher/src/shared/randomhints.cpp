#include "shared/randomhints.h"

#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace shared {

namespace {

const QString hintLinkStyle = QStringLiteral("<style>a { color: #c0c0c0; }</style>");

} // namespace

QDateTime parseHintDateTime(const QJsonValue& value, const QDateTime& fallback)
{
    const QDateTime parsed = QDateTime::fromString(value.toString(), Qt::ISODate);
    return parsed.isValid() ? parsed : fallback;
}

std::vector<THint> parseHints(const QByteArray& data)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(data, &error);
    if (error.error != QJsonParseError::NoError) {
        qWarning() << "Could not parse hints file at offset" << error.offset << ":" << error.errorString();
        return {};
    }

    std::vector<THint> hints;
    const QJsonArray elements = document.array();
    for (const QJsonValue& element : elements) {
        const QJsonObject object = element.toObject();
        THint hint;
        hint.title = object.value(QLatin1String("title")).toString();
        hint.richText = object.value(QLatin1String("richText")).toString();
        hint.imageUrl = object.value(QLatin1String("imageUrl")).toString();
        hint.category = object.value(QLatin1String("category")).toString();
        hint.url = object.value(QLatin1String("url")).toString();
        hint.displayAfter = parseHintDateTime(object.value(QLatin1String("displayAfter")), QDateTime());
        hint.displayUntil = parseHintDateTime(object.value(QLatin1String("displayUntil")), QDateTime());
        hint.hasEmergency = object.contains(QLatin1String("emergency"));
        if (hint.hasEmergency)
            hint.emergency = object.value(QLatin1String("emergency")).toBool(false);
        if (hint.richText.isEmpty())
            continue;
        hint.richText.prepend(hintLinkStyle);
        hints.push_back(std::move(hint));
    }
    return hints;
}

void registerHintMetaTypes()
{
    qRegisterMetaType<THint>("shared::THint");
    qRegisterMetaType<std::vector<THint>>("std::vector<shared::THint>");
}

} // namespace shared
