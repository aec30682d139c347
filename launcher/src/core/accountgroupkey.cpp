#include "core/accountgroupkey.h"

#include "core/launcherfilesystemhelper.h"

#include <QDebug>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonParseError>

namespace korvane::launcher {

QString readAccountGroupKey(TLauncherFilesystemHelper& filesystemHelper)
{
    if (!filesystemHelper.accountGroupFileExists()) {
        qWarning() << "AccountGroupSetting Error: KeyNotExists";
        return {};
    }

    QFile file(filesystemHelper.getAccountGroupFilePath());
    if (!file.open(QIODevice::ReadOnly | QIODevice::Text)) {
        qWarning() << "Failed to open file:" << file.errorString();
        qWarning() << "AccountGroupSetting Error: KeyNotExists";
        return {};
    }
    const QByteArray content = file.readAll();
    file.close();

    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(content, &error);
    if (error.error != QJsonParseError::NoError) {
        qWarning() << "JSON parse error:" << error.errorString();
        qWarning() << "AccountGroupSetting Error: Empty";
        return {};
    }
    if (!document.isObject()) {
        qWarning() << "JSON file does not contain a valid JSON object.";
        qWarning() << "AccountGroupSetting Error: Empty";
        return {};
    }
    const QJsonObject object = document.object();
    if (object.isEmpty()) {
        qWarning() << "AccountGroupSetting Error: Empty";
        return {};
    }
    const auto key = object.constFind(QStringLiteral("Key"));
    if (key == object.constEnd()) {
        qWarning() << "AccountGroupSetting Error: KeyNotExists";
        return {};
    }
    if (!key->isString()) {
        qWarning() << "AccountGroupSetting Error: KeyNoString";
        return {};
    }
    return key->toString();
}

} // namespace korvane::launcher
