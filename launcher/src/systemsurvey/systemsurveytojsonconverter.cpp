#include "systemsurvey/systemsurveytojsonconverter.h"

#include "systemsurvey/systemsurveycreator.h"

#include <QCryptographicHash>
#include <QJsonArray>
#include <QJsonObject>
#include <QNetworkInterface>

namespace systemsurvey {

namespace {

// The receiving side reads these members as 32-bit integers: keep the low 32 bits, taken as signed.
template<typename T> qint32 low32(T Value)
{
    return static_cast<qint32>(static_cast<quint32>(Value));
}

} // namespace

TSystemSurveyToJsonConverter::TSystemSurveyToJsonConverter(THardwareAddressSource HardwareAddressSource)
    : hardwareAddressSource(std::move(HardwareAddressSource))
{ }

TSystemSurveyToJsonConverter::~TSystemSurveyToJsonConverter() = default;

QString TSystemSurveyToJsonConverter::clientIdFor(const QStringList& HardwareAddresses)
{
    QCryptographicHash hash(QCryptographicHash::Sha1);
    hash.addData(salt.toLocal8Bit());
    for (const QString& address : HardwareAddresses) {
        if (!address.isEmpty())
            hash.addData(address.toLocal8Bit());
    }
    return QString::fromLatin1(hash.result().toHex());
}

QStringList TSystemSurveyToJsonConverter::machineHardwareAddresses()
{
    QStringList addresses;
    for (const QNetworkInterface& networkInterface : QNetworkInterface::allInterfaces())
        addresses.append(networkInterface.hardwareAddress());
    return addresses;
}

QString TSystemSurveyToJsonConverter::clientId()
{
    return processClientId;
}

void TSystemSurveyToJsonConverter::forgetClientId()
{
    processClientId.clear();
}

QJsonDocument TSystemSurveyToJsonConverter::convert(const TSystemSurvey& Survey)
{
    if (processClientId.isEmpty())
        processClientId = clientIdFor(hardwareAddressSource ? hardwareAddressSource() : machineHardwareAddresses());

    const TCpuInfo& cpu = Survey.cpu;
    const QJsonObject cpuObject {
        { QStringLiteral("64Bit"), cpu.is64Bit },
        { QStringLiteral("NUMANumber"), low32(cpu.numaNumber) },
        { QStringLiteral("brandName"), cpu.brandName },
        { QStringLiteral("clockSpeed"), cpu.clockSpeed },
        { QStringLiteral("coreNumber"), low32(cpu.coreNumber) },
        { QStringLiteral("logicalCoreNumber"), low32(cpu.logicalCoreNumber) },
        { QStringLiteral("manufacturer"), cpu.manufacturer },
        { QStringLiteral("physicalNumber"), low32(cpu.physicalNumber) },
        { QStringLiteral("sse"), cpu.sse },
        { QStringLiteral("sse2"), cpu.sse2 },
    };

    QJsonArray gpuArray;
    for (const TGpuInfo& gpu : Survey.gpus) {
        QJsonObject gpuObject {
            { QStringLiteral("deviceString"), gpu.deviceString },
            { QStringLiteral("videoMemorySize"), gpu.videoMemorySize },
        };
        if (gpu.deviceId != 0)
            gpuObject.insert(QStringLiteral("deviceId"), low32(gpu.deviceId));
        if (!gpu.driverVersion.isEmpty())
            gpuObject.insert(QStringLiteral("driverVersion"), gpu.driverVersion);
        if (gpu.vendorId != 0)
            gpuObject.insert(QStringLiteral("vendorId"), low32(gpu.vendorId));
        gpuArray.append(gpuObject);
    }

    QJsonArray monitorArray;
    for (const TMonitorInfo& monitor : Survey.monitors) {
        monitorArray.append(QJsonObject {
            { QStringLiteral("height"), low32(monitor.height) },
            { QStringLiteral("primary"), monitor.primary },
            { QStringLiteral("refreshRate"), low32(monitor.refreshRate) },
            { QStringLiteral("width"), low32(monitor.width) },
        });
    }

    QJsonObject operatingSystemObject {
        { QStringLiteral("baseSystem"), Survey.operatingSystem.baseSystem },
        { QStringLiteral("name"), Survey.operatingSystem.name },
    };
    if (!Survey.operatingSystem.release.isEmpty())
        operatingSystemObject.insert(QStringLiteral("release"), Survey.operatingSystem.release);

    const QJsonObject document {
        { QStringLiteral("clientID"), processClientId },
        { QStringLiteral("cpu"), cpuObject },
        { QStringLiteral("dataType"), 0 },
        { QStringLiteral("gpu"), gpuArray },
        { QStringLiteral("mainMemorySize"), Survey.mainMemorySize },
        { QStringLiteral("monitors"), monitorArray },
        { QStringLiteral("operatingSystem"), operatingSystemObject },
    };
    return QJsonDocument(document);
}

} // namespace systemsurvey
