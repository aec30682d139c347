#pragma once

#include <QJsonDocument>
#include <QString>
#include <QStringList>

#include <functional>

namespace systemsurvey {

struct TSystemSurvey;

// Turns the survey into its JSON document under the process's anonymous client id: the SHA-1 of a fixed
// salt and the network interfaces' hardware addresses, computed for the first document and kept for the
// rest of the run.
class TSystemSurveyToJsonConverter
{
public:
    using THardwareAddressSource = std::function<QStringList()>;

    // Without a source the machine's interfaces are read.
    explicit TSystemSurveyToJsonConverter(THardwareAddressSource HardwareAddressSource = {});
    virtual ~TSystemSurveyToJsonConverter();

    virtual QJsonDocument convert(const TSystemSurvey& Survey);

    static QString clientIdFor(const QStringList& HardwareAddresses);
    // The hardware addresses of every network interface, in the order the system lists them.
    static QStringList machineHardwareAddresses();
    // The id of this run; empty until the first document.
    static QString clientId();
    // Lets tests start from a run without an id.
    static void forgetClientId();

    static inline const QString salt = QStringLiteral("c2dada15-a819-475e-9ab7-0d4d611397a1");

private:
    THardwareAddressSource hardwareAddressSource;
    static inline QString processClientId;
};

} // namespace systemsurvey
