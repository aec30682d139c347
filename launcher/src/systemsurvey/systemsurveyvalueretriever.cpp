#include "systemsurvey/systemsurveyvalueretriever.h"

#include <QByteArray>
#include <QFile>
#include <QGuiApplication>
#include <QProcess>
#include <QScreen>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>

#include <unistd.h>

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace systemsurvey {

namespace {

TCpuidRegisters machineCpuid(quint32 Leaf, quint32 SubLeaf)
{
    TCpuidRegisters registers;
#if defined(__x86_64__) || defined(__i386__)
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
    __cpuid_count(Leaf, SubLeaf, eax, ebx, ecx, edx);
    registers = { eax, ebx, ecx, edx };
#else
    Q_UNUSED(Leaf);
    Q_UNUSED(SubLeaf);
#endif
    return registers;
}

std::optional<TScreenSample> machineScreen(int Index)
{
    const QList<QScreen*> screens = QGuiApplication::screens();
    if (Index < 0 || Index >= screens.size())
        return std::nullopt;
    const QScreen* screen = screens.at(Index);
    return TScreenSample { screen->size().width(), screen->size().height(), screen == QGuiApplication::primaryScreen(),
        screen->refreshRate() };
}

void appendRegister(QByteArray& Text, quint32 Register)
{
    char bytes[4];
    std::memcpy(bytes, &Register, sizeof bytes);
    Text.append(bytes, sizeof bytes);
}

struct TVendor
{
    const char* vendorText;
    const char* manufacturer;
};

constexpr TVendor vendors[] = {
    { "AMDisbetter!", "AMD" },
    { "AuthenticAMD", "AMD" },
    { "CentaurHauls", "Centaur" },
    { "CyrixInstead", "Cyrix" },
    { "GenuineIntel", "Intel" },
    { "TransmetaCPU", "Transmeta" },
    { "GenuineTMx86", "Transmeta" },
    { "Geode by NSC", "National Semiconductor" },
    { "NexGenDriven", "NexGen" },
    { "RiseRiseRise", "Rise" },
    { "SiS SiS SiS ", "SiS" },
    { "UMC UMC UMC ", "UMC" },
    { "VIA VIA VIA ", "VIA" },
    { "Vortex86 SoC", " Vortex" },
    { "KVMKVMKVMKVM", "KVM" },
    { "Microsoft Hv", "Microsoft Hyper-V or Windows Virtual PC" },
    { "VMwareVMware", "VMware" },
    { "XenVMMXenVMM", " Xen HVM" },
};

QString manufacturerOf(const QByteArray& VendorText)
{
    for (const TVendor& vendor : vendors) {
        if (VendorText == QByteArray(vendor.vendorText))
            return QString::fromLatin1(vendor.manufacturer);
    }
    return QStringLiteral("Unknown Manufacturer");
}

} // namespace

TSystemSurveyPlatform TSystemSurveyPlatform::machine()
{
    TSystemSurveyPlatform platform;
    platform.cpuid = machineCpuid;
    platform.sysconf = [](int Name) { return ::sysconf(Name); };
    platform.cpuInfoPath = QStringLiteral("/proc/cpuinfo");
    platform.screenCount = [] { return int(QGuiApplication::screens().size()); };
    platform.screen = machineScreen;
    return platform;
}

QString runLsbRelease(const QString& Flag, const TLsbReleaseRun& Run)
{
    if (Run.programs.isEmpty())
        return QString();
    const QStringList arguments { QStringLiteral("-s"), Flag };

    QProcess process;
    process.start(Run.programs.first(), arguments, QIODevice::ReadWrite);
    // A name that cannot be started hands over to the next one; a slow start gets one more wait below.
    for (qsizetype next = 1; next < Run.programs.size(); ++next) {
        if (process.waitForStarted(Run.startTimeoutMs) || process.error() != QProcess::FailedToStart)
            break;
        process.start(Run.programs.at(next), arguments, QIODevice::ReadWrite);
    }

    QString output;
    if (process.waitForStarted(Run.startTimeoutMs) && process.waitForFinished(Run.finishTimeoutMs))
        output = QString::fromUtf8(process.readAllStandardOutput()).simplified();

    // End a program that is still running here, so that the process object's destructor has nothing to
    // complain about in the log.
    if (process.state() != QProcess::NotRunning) {
        process.kill();
        process.waitForFinished(Run.finishTimeoutMs);
    }
    return output;
}

TSystemSurveyValueRetriever::TSystemSurveyValueRetriever()
    : TSystemSurveyValueRetriever(TSystemSurveyPlatform::machine())
{ }

TSystemSurveyValueRetriever::TSystemSurveyValueRetriever(TSystemSurveyPlatform Platform)
    : platform(std::move(Platform))
{ }

TSystemSurveyValueRetriever::~TSystemSurveyValueRetriever() = default;

quint64 TSystemSurveyValueRetriever::wholeHertz(double RefreshRate)
{
    // Converting a negative, not-a-number or too large value to an unsigned integer is undefined.
    if (!(RefreshRate >= 1.0))
        return 0;
    if (RefreshRate >= 18446744073709551616.0)
        return std::numeric_limits<quint64>::max();
    return static_cast<quint64>(RefreshRate);
}

std::vector<TMonitorInfo> TSystemSurveyValueRetriever::monitors()
{
    const int count = std::max(0, platform.screenCount());
    std::vector<TMonitorInfo> result(count);
    for (int i = 0; i < count; ++i) {
        // A screen removed meanwhile leaves its entry at zero.
        const std::optional<TScreenSample> sample = platform.screen(i);
        if (!sample)
            continue;
        result[i].width = sample->width;
        result[i].height = sample->height;
        result[i].primary = sample->primary;
        result[i].refreshRate = wholeHertz(sample->refreshRate);
    }
    return result;
}

TCpuInfo TSystemSurveyValueRetriever::cpu()
{
    TCpuInfo info;

    const TCpuidRegisters leaf0 = platform.cpuid(0, 0);
    QByteArray vendorText;
    appendRegister(vendorText, leaf0.ebx);
    appendRegister(vendorText, leaf0.edx);
    appendRegister(vendorText, leaf0.ecx);
    info.manufacturer = manufacturerOf(vendorText);

    const quint32 highestExtendedLeaf = platform.cpuid(0x80000000u, 0).eax;
    if (highestExtendedLeaf > 0x80000003u) {
        QByteArray brand;
        for (quint32 leaf = 0x80000002u; leaf <= 0x80000004u; ++leaf) {
            const TCpuidRegisters registers = platform.cpuid(leaf, 0);
            appendRegister(brand, registers.eax);
            appendRegister(brand, registers.ebx);
            appendRegister(brand, registers.ecx);
            appendRegister(brand, registers.edx);
        }
        const qsizetype end = brand.indexOf('\0');
        if (end >= 0)
            brand.truncate(end);
        info.brandName = QString::fromUtf8(brand).simplified();
    } else {
        info.brandName = QStringLiteral("Acquiring Brand Name not supported");
    }

    if (highestExtendedLeaf > 0x80000000u)
        info.is64Bit = (platform.cpuid(0x80000001u, 0).edx >> 29) & 1u;

    const quint32 features = platform.cpuid(1, 0).edx;
    info.sse = (features >> 25) & 1u;
    info.sse2 = (features >> 26) & 1u;

    coreCounts(info.numaNumber, info.physicalNumber, info.coreNumber, info.logicalCoreNumber);
    info.clockSpeed = clockSpeed();
    return info;
}

TOperatingSystemInfo TSystemSurveyValueRetriever::operatingSystem()
{
    TOperatingSystemInfo info;
    info.baseSystem = QStringLiteral("Linux");
    info.name = runLsbRelease(QStringLiteral("-i"), platform.lsbRelease);
    info.release = runLsbRelease(QStringLiteral("-r"), platform.lsbRelease);
    return info;
}

qint64 TSystemSurveyValueRetriever::mainMemorySize()
{
    const long pages = platform.sysconf(_SC_PHYS_PAGES);
    const long pageSize = platform.sysconf(_SC_PAGESIZE);
    if (pages < 0 || pageSize < 0)
        return 0;
    qint64 size = 0;
    if (__builtin_mul_overflow(qint64(pages), qint64(pageSize), &size))
        return 0;
    return size;
}

void TSystemSurveyValueRetriever::coreCounts(
    quint64& NumaNodes, quint64& PhysicalProcessors, quint64& Cores, quint64& LogicalProcessors)
{
    NumaNodes = 0;
    PhysicalProcessors = 0;
    Cores = 0;
    LogicalProcessors = 0;

    std::ifstream stream(QFile::encodeName(platform.cpuInfoPath).toStdString());
    if (!stream.is_open())
        return;

    std::set<std::string> physicalIds;
    std::string line;
    while (stream.good()) {
        std::getline(stream, line);
        if (line.find("processor") != std::string::npos) {
            ++LogicalProcessors;
        } else if (line.find("physical id") != std::string::npos) {
            physicalIds.insert(line);
        } else if (line.find("cpu cores") != std::string::npos) {
            std::istringstream words(line);
            std::string word;
            quint64 value = 0;
            words >> word >> word >> word >> value;
            Cores = words ? value : 0;
        }
    }
    PhysicalProcessors = physicalIds.size();
}

double TSystemSurveyValueRetriever::clockSpeed()
{
    double fastest = 0.0;
    std::ifstream stream(QFile::encodeName(platform.cpuInfoPath).toStdString());
    if (!stream.is_open())
        return fastest;

    std::string line;
    while (stream.good()) {
        std::getline(stream, line);
        if (line.find("cpu MHz") == std::string::npos)
            continue;
        std::istringstream words(line);
        std::string word;
        double value = 0.0;
        words >> word >> word >> word >> value;
        if (words)
            fastest = std::max(fastest, value);
    }
    return fastest;
}

std::vector<TGpuInfo> TSystemSurveyValueRetriever::gpus()
{
    TGpuInfo placeholder;
    placeholder.deviceString = QStringLiteral("not implemented");
    return { placeholder };
}

} // namespace systemsurvey
