#pragma once

#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <functional>
#include <optional>
#include <vector>

namespace systemsurvey {

struct TMonitorInfo
{
    qint64 width = 0;
    qint64 height = 0;
    bool primary = false;
    quint64 refreshRate = 0;
};

struct TOperatingSystemInfo
{
    QString baseSystem;
    QString name;
    QString release;
};

struct TCpuInfo
{
    QString manufacturer;
    QString brandName;
    bool is64Bit = false;
    bool sse = false;
    bool sse2 = false;
    quint64 numaNumber = 0;
    quint64 physicalNumber = 0;
    quint64 coreNumber = 0;
    quint64 logicalCoreNumber = 0;
    double clockSpeed = 0.0;
};

struct TGpuInfo
{
    QString deviceString;
    qint64 videoMemorySize = 0;
    quint32 vendorId = 0;
    quint32 deviceId = 0;
    QString driverVersion;
};

// The four registers one processor identification query returns.
struct TCpuidRegisters
{
    quint32 eax = 0;
    quint32 ebx = 0;
    quint32 ecx = 0;
    quint32 edx = 0;
};

// How the distribution's release program is run: the names tried in turn while one fails to start,
// and the waits for its start and its end.
struct TLsbReleaseRun
{
    QStringList programs { QStringLiteral("lsb_release"), QStringLiteral("lsb-release") };
    int startTimeoutMs = 30000;
    int finishTimeoutMs = 30000;
};

// Runs the release program with "-s" and the flag; its standard output, simplified, or an empty text
// when no program started or finished in time.
QString runLsbRelease(const QString& Flag, const TLsbReleaseRun& Run = {});

// One screen as the windowing system reports it.
struct TScreenSample
{
    qint64 width = 0;
    qint64 height = 0;
    bool primary = false;
    double refreshRate = 0.0;
};

// Where the retriever reads the machine. machine() gives the real sources; tests replace single ones.
struct TSystemSurveyPlatform
{
    std::function<TCpuidRegisters(quint32 Leaf, quint32 SubLeaf)> cpuid;
    std::function<long(int Name)> sysconf;
    QString cpuInfoPath;
    std::function<int()> screenCount;
    // The screen at that index of the current list; nothing when the list has become shorter.
    std::function<std::optional<TScreenSample>(int Index)> screen;
    TLsbReleaseRun lsbRelease;

    static TSystemSurveyPlatform machine();
};

// Measures the machine for the hardware survey. Every call measures anew; nothing fails, missing values
// read as empty texts and zeros.
class TSystemSurveyValueRetriever
{
public:
    TSystemSurveyValueRetriever();
    explicit TSystemSurveyValueRetriever(TSystemSurveyPlatform Platform);
    virtual ~TSystemSurveyValueRetriever();

    virtual std::vector<TMonitorInfo> monitors();
    virtual TCpuInfo cpu();
    virtual TOperatingSystemInfo operatingSystem();
    virtual qint64 mainMemorySize();
    virtual void coreCounts(
        quint64& NumaNodes, quint64& PhysicalProcessors, quint64& Cores, quint64& LogicalProcessors);
    virtual double clockSpeed();
    virtual std::vector<TGpuInfo> gpus();

    // The whole hertz of a refresh rate; rates that are not a count of hertz (negative, not a number)
    // read as 0, and rates beyond the range as its largest value.
    static quint64 wholeHertz(double RefreshRate);

private:
    TSystemSurveyPlatform platform;
};

} // namespace systemsurvey
