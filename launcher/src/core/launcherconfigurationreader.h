#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QUrl>

#include <memory>
#include <stdexcept>
#include <vector>

namespace korvane::launcher {

class TPackage;

class TLauncherConfigurationException : public std::runtime_error
{
public:
    explicit TLauncherConfigurationException(const QString& message);
};

// The parsed launcher configuration document. It does not change after construction; the mutable state of
// a package lives in its TPackage.
class TLauncherConfigurationReader
{
public:
    // Throws TLauncherConfigurationException when the bytes are not JSON.
    TLauncherConfigurationReader(const QUrl& baseUrl, const QByteArray& document);

    // Game packages with a build for this machine and a loaded package configuration, in document order.
    std::vector<std::shared_ptr<TPackage>> packagesWithConfiguration() const;

    QUrl baseUrl;
    QByteArray rawJson;
    std::shared_ptr<TPackage> launcherPackage;
    std::vector<std::shared_ptr<TPackage>> packages;
    QUrl hardwareSurveyUrl;
    QUrl hintsUrl;
    QUrl funnelUrl;
    bool preventDefaultAutostart = false;
    bool showPackageNames = false;

private:
    void parseConfiguration(const QJsonObject& configuration);
};

} // namespace korvane::launcher
