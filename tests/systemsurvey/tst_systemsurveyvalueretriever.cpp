#include "systemsurvey/systemsurveyvalueretriever.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QGuiApplication>
#include <QMap>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#include <unistd.h>

using namespace systemsurvey;

Q_DECLARE_METATYPE(std::vector<TScreenSample>)
Q_DECLARE_METATYPE(std::vector<TMonitorInfo>)

namespace {

const QString fixtureDir = QStringLiteral(KORVANE_SOURCE_DIR "/tests/systemsurvey/fixtures/");

quint32 word(const QByteArray& Text, int Index)
{
    quint32 value = 0;
    std::memcpy(&value, Text.constData() + 4 * Index, 4);
    return value;
}

// A processor that answers the identification leaves of a table and zeros for every other leaf.
class TFakeProcessor
{
public:
    TFakeProcessor& vendor(const QByteArray& Text)
    {
        leaves[0] = { 0x16, word(Text, 0), word(Text, 2), word(Text, 1) };
        return *this;
    }
    TFakeProcessor& highestExtendedLeaf(quint32 Leaf)
    {
        leaves[0x80000000u].eax = Leaf;
        return *this;
    }
    TFakeProcessor& brand(QByteArray Text)
    {
        Text = Text.leftJustified(48, '\0', true);
        for (int i = 0; i < 3; ++i)
            leaves[0x80000002u + i]
                = { word(Text, 4 * i), word(Text, 4 * i + 1), word(Text, 4 * i + 2), word(Text, 4 * i + 3) };
        return *this;
    }
    TFakeProcessor& extendedFeatures(quint32 Edx)
    {
        leaves[0x80000001u].edx = Edx;
        return *this;
    }
    TFakeProcessor& features(quint32 Edx)
    {
        leaves[1].edx = Edx;
        return *this;
    }

    std::function<TCpuidRegisters(quint32, quint32)> source() const
    {
        const QMap<quint32, TCpuidRegisters> table = leaves;
        return [table](quint32 Leaf, quint32) { return table.value(Leaf); };
    }

private:
    QMap<quint32, TCpuidRegisters> leaves;
};

// The machine's sources except for the ones a test names.
TSystemSurveyPlatform platformWith(const TFakeProcessor& Processor, const QString& CpuInfoPath = QString())
{
    TSystemSurveyPlatform platform = TSystemSurveyPlatform::machine();
    platform.cpuid = Processor.source();
    platform.cpuInfoPath = CpuInfoPath.isEmpty() ? fixtureDir + "absent-cpuinfo.txt" : CpuInfoPath;
    return platform;
}

// A shell script standing in for the release program.
QString writeScript(const QString& Folder, const QString& Name, const QByteArray& Body)
{
    const QString path = Folder + "/" + Name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return QString();
    file.write("#!/bin/sh\n" + Body + "\n");
    file.close();
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return path;
}

QByteArray machineCpuInfo()
{
    QFile file(QStringLiteral("/proc/cpuinfo"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Counts the lines that start with a key, the way the kernel lays them out: "processor\t: n".
int entries(const QByteArray& CpuInfo, const QByteArray& Key)
{
    int count = 0;
    for (const QByteArray& line : CpuInfo.split('\n')) {
        if (line.startsWith(Key))
            ++count;
    }
    return count;
}

} // namespace

// The survey's measurements, from fixed platform values, and once from this machine.
class TestSystemSurveyValueRetriever : public QObject
{
    Q_OBJECT

private slots:
    void monitors_data();
    void monitors();
    void manufacturer_data();
    void manufacturer();
    void brandAndFeatures_data();
    void brandAndFeatures();
    void coreCountsAndClockSpeed_data();
    void coreCountsAndClockSpeed();
    void cpuAsksTheOverridableCounts();
    void mainMemorySize_data();
    void mainMemorySize();
    void gpuPlaceholder();
    void releaseProgram_data();
    void releaseProgram();
    void releaseProgramThatHangsIsEnded();
    void releaseProgramFoundOnPath_data();
    void releaseProgramFoundOnPath();
    void operatingSystemAsksForIdThenRelease();
    void thisMachine();
};

void TestSystemSurveyValueRetriever::monitors_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<std::vector<TScreenSample>>("screens");
    QTest::addColumn<std::vector<TMonitorInfo>>("expected");

    QTest::newRow("none") << 0 << std::vector<TScreenSample> {} << std::vector<TMonitorInfo> {};
    QTest::newRow("second primary at 59.94 Hz")
        << 2 << std::vector<TScreenSample> { { 1920, 1080, false, 60.0 }, { 2560, 1440, true, 59.94 } }
        << std::vector<TMonitorInfo> { { 1920, 1080, false, 60 }, { 2560, 1440, true, 59 } };
    QTest::newRow("screen removed meanwhile")
        << 2 << std::vector<TScreenSample> { { 1280, 1024, true, 75.0 } }
        << std::vector<TMonitorInfo> { { 1280, 1024, true, 75 }, { 0, 0, false, 0 } };
    QTest::newRow("zero-sized screen is still measured") << 1 << std::vector<TScreenSample> { { 0, 768, true, 60.0 } }
                                                         << std::vector<TMonitorInfo> { { 0, 768, true, 60 } };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    QTest::newRow("rates that are no count of hertz")
        << 4
        << std::vector<TScreenSample> { { 800, 600, true, -60.0 }, { 800, 600, false, nan }, { 800, 600, false, 0.5 },
               { 800, 600, false, 1e30 } }
        << std::vector<TMonitorInfo> { { 800, 600, true, 0 }, { 800, 600, false, 0 }, { 800, 600, false, 0 },
               { 800, 600, false, std::numeric_limits<quint64>::max() } };
}

void TestSystemSurveyValueRetriever::monitors()
{
    QFETCH(int, count);
    QFETCH(std::vector<TScreenSample>, screens);
    QFETCH(std::vector<TMonitorInfo>, expected);

    TSystemSurveyPlatform platform = TSystemSurveyPlatform::machine();
    platform.screenCount = [count] { return count; };
    platform.screen = [screens](int Index) -> std::optional<TScreenSample> {
        if (Index >= int(screens.size()))
            return std::nullopt;
        return screens[Index];
    };
    const std::vector<TMonitorInfo> measured = TSystemSurveyValueRetriever(platform).monitors();

    QCOMPARE(measured.size(), expected.size());
    for (size_t i = 0; i < measured.size(); ++i) {
        QCOMPARE(measured[i].width, expected[i].width);
        QCOMPARE(measured[i].height, expected[i].height);
        QCOMPARE(measured[i].primary, expected[i].primary);
        QCOMPARE(measured[i].refreshRate, expected[i].refreshRate);
    }
}

void TestSystemSurveyValueRetriever::manufacturer_data()
{
    QTest::addColumn<QByteArray>("vendorText");
    QTest::addColumn<QString>("manufacturer");

    QTest::newRow("Intel") << QByteArray("GenuineIntel") << "Intel";
    QTest::newRow("AMD") << QByteArray("AuthenticAMD") << "AMD";
    QTest::newRow("early AMD samples") << QByteArray("AMDisbetter!") << "AMD";
    QTest::newRow("Transmeta, second text") << QByteArray("GenuineTMx86") << "Transmeta";
    QTest::newRow("blanks inside the text") << QByteArray("Geode by NSC") << "National Semiconductor";
    QTest::newRow("trailing blank") << QByteArray("VIA VIA VIA ") << "VIA";
    QTest::newRow("Vortex keeps its blank") << QByteArray("Vortex86 SoC") << " Vortex";
    QTest::newRow("Xen keeps its blank") << QByteArray("XenVMMXenVMM") << " Xen HVM";
    QTest::newRow("Hyper-V") << QByteArray("Microsoft Hv") << "Microsoft Hyper-V or Windows Virtual PC";
    QTest::newRow("unknown") << QByteArray("HygonGenuine") << "Unknown Manufacturer";
    QTest::newRow("case matters") << QByteArray("genuineintel") << "Unknown Manufacturer";
    QTest::newRow("no vendor at all") << QByteArray(12, '\0') << "Unknown Manufacturer";
}

void TestSystemSurveyValueRetriever::manufacturer()
{
    QFETCH(QByteArray, vendorText);
    QFETCH(QString, manufacturer);

    const TCpuInfo info = TSystemSurveyValueRetriever(platformWith(TFakeProcessor().vendor(vendorText))).cpu();
    QCOMPARE(info.manufacturer, manufacturer);
}

void TestSystemSurveyValueRetriever::brandAndFeatures_data()
{
    QTest::addColumn<quint32>("highestExtendedLeaf");
    QTest::addColumn<QByteArray>("brand");
    QTest::addColumn<quint32>("extendedEdx");
    QTest::addColumn<quint32>("edx");
    QTest::addColumn<QString>("brandName");
    QTest::addColumn<bool>("is64Bit");
    QTest::addColumn<bool>("sse");
    QTest::addColumn<bool>("sse2");

    const quint32 longMode = 1u << 29;
    const quint32 sse = 1u << 25;
    const quint32 sse2 = 1u << 26;
    const QString notSupported = QStringLiteral("Acquiring Brand Name not supported");

    QTest::newRow("brand simplified") << 0x80000008u << QByteArray("  Intel(R)  Core(TM)\ti7-7700 CPU @ 3.60GHz  ")
                                      << longMode << (sse | sse2) << "Intel(R) Core(TM) i7-7700 CPU @ 3.60GHz" << true
                                      << true << true;
    QTest::newRow("brand of all 48 bytes")
        << 0x80000004u << QByteArray(48, 'x') << 0u << sse << QString(48, 'x') << false << true << false;
    QTest::newRow("brand ends at its first zero byte") << 0x80000004u << QByteArray("AMD EPYC\0garbage", 16) << longMode
                                                       << sse2 << "AMD EPYC" << true << false << true;
    QTest::newRow("brand as UTF-8") << 0x80000004u << QByteArray("Pr\xc3\xb6zessor") << 0u << 0u
                                    << QString::fromUtf8("Pr\xc3\xb6zessor") << false << false << false;
    QTest::newRow("brand leaves end at 0x80000003")
        << 0x80000003u << QByteArray("Hidden") << longMode << 0u << notSupported << true << false << false;
    QTest::newRow("only leaf 0x80000000")
        << 0x80000000u << QByteArray("Hidden") << longMode << 0u << notSupported << false << false << false;
    // An answer below 0x80000000 means no extended leaves; compared as signed numbers it would look higher.
    QTest::newRow("no extended leaves") << 0x00000016u << QByteArray("Hidden") << longMode << (sse | sse2)
                                        << notSupported << false << true << true;
}

void TestSystemSurveyValueRetriever::brandAndFeatures()
{
    QFETCH(quint32, highestExtendedLeaf);
    QFETCH(QByteArray, brand);
    QFETCH(quint32, extendedEdx);
    QFETCH(quint32, edx);
    QFETCH(QString, brandName);
    QFETCH(bool, is64Bit);
    QFETCH(bool, sse);
    QFETCH(bool, sse2);

    const TFakeProcessor processor = TFakeProcessor()
                                         .vendor("GenuineIntel")
                                         .highestExtendedLeaf(highestExtendedLeaf)
                                         .brand(brand)
                                         .extendedFeatures(extendedEdx)
                                         .features(edx);
    const TCpuInfo info = TSystemSurveyValueRetriever(platformWith(processor)).cpu();
    QCOMPARE(info.brandName, brandName);
    QCOMPARE(info.is64Bit, is64Bit);
    QCOMPARE(info.sse, sse);
    QCOMPARE(info.sse2, sse2);
    QCOMPARE(info.manufacturer, QStringLiteral("Intel"));
}

void TestSystemSurveyValueRetriever::coreCountsAndClockSpeed_data()
{
    QTest::addColumn<QString>("fixture");
    QTest::addColumn<QByteArray>("content"); // written to a file when no fixture is named
    QTest::addColumn<quint64>("physical");
    QTest::addColumn<quint64>("cores");
    QTest::addColumn<quint64>("logical");
    QTest::addColumn<double>("clockSpeed");

    QTest::newRow("one socket, eight threads")
        << "cpuinfo-one-socket-eight-threads.txt" << QByteArray() << quint64(1) << quint64(4) << quint64(8) << 3400.123;
    // "Common KVM processor" names count as logical processors too: four entries give eight.
    QTest::newRow("two sockets, model name with processor")
        << "cpuinfo-two-sockets-kvm.txt" << QByteArray() << quint64(2) << quint64(2) << quint64(8) << 2596.136;
    QTest::newRow("unreadable file") << "absent-cpuinfo.txt" << QByteArray() << quint64(0) << quint64(0) << quint64(0)
                                     << 0.0;
    QTest::newRow("empty file") << QString() << QByteArray() << quint64(0) << quint64(0) << quint64(0) << 0.0;
    QTest::newRow("processor wins over the other keys")
        << QString()
        << QByteArray("processor\t: 0\nphysical id processor\t: 0\ncpu cores processor\t: 9\nphysical id\t: 3\n")
        << quint64(1) << quint64(0) << quint64(3) << 0.0;
    QTest::newRow("last cpu cores line wins")
        << QString() << QByteArray("cpu cores\t: 4\ncpu cores\t: 6\n") << quint64(0) << quint64(6) << quint64(0) << 0.0;
    QTest::newRow("unreadable cpu cores value stores 0")
        << QString() << QByteArray("cpu cores\t: 4\ncpu cores\t: many\n") << quint64(0) << quint64(0) << quint64(0)
        << 0.0;
    QTest::newRow("physical ids compared as whole lines")
        << QString() << QByteArray("physical id\t: 0\nphysical id\t: 1\nphysical id : 0\nphysical id\t: 0")
        << quint64(3) << quint64(0) << quint64(0) << 0.0;
    QTest::newRow("largest clock without a final line break")
        << QString() << QByteArray("cpu MHz\t\t: 800.000\ncpu MHz\t\t: 3400.123\ncpu MHz\t\t: 1200.5") << quint64(0)
        << quint64(0) << quint64(0) << 3400.123;
    QTest::newRow("unreadable clocks are skipped")
        << QString() << QByteArray("cpu MHz\t\t: fast\ncpu MHz\t\t: 1e999\ncpu MHz\t\t: 1500.25\ncpu MHz\n")
        << quint64(0) << quint64(0) << quint64(0) << 1500.25;
}

void TestSystemSurveyValueRetriever::coreCountsAndClockSpeed()
{
    QFETCH(QString, fixture);
    QFETCH(QByteArray, content);
    QFETCH(quint64, physical);
    QFETCH(quint64, cores);
    QFETCH(quint64, logical);
    QFETCH(double, clockSpeed);

    QTemporaryDir folder;
    QString path = fixtureDir + fixture;
    if (fixture.isEmpty()) {
        path = folder.filePath(QStringLiteral("cpuinfo"));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(content);
    }

    TSystemSurveyValueRetriever retriever(platformWith(TFakeProcessor().vendor("AuthenticAMD"), path));
    quint64 numa = 7, physicalCount = 7, coreCount = 7, logicalCount = 7;
    retriever.coreCounts(numa, physicalCount, coreCount, logicalCount);
    QCOMPARE(numa, quint64(0));
    QCOMPARE(physicalCount, physical);
    QCOMPARE(coreCount, cores);
    QCOMPARE(logicalCount, logical);
    QCOMPARE(retriever.clockSpeed(), clockSpeed);

    const TCpuInfo info = retriever.cpu();
    QCOMPARE(info.physicalNumber, physical);
    QCOMPARE(info.coreNumber, cores);
    QCOMPARE(info.logicalCoreNumber, logical);
    QCOMPARE(info.numaNumber, quint64(0));
    QCOMPARE(info.clockSpeed, clockSpeed);
    QCOMPARE(info.manufacturer, QStringLiteral("AMD"));
}

void TestSystemSurveyValueRetriever::cpuAsksTheOverridableCounts()
{
    class TFixedCounts : public TSystemSurveyValueRetriever
    {
    public:
        using TSystemSurveyValueRetriever::TSystemSurveyValueRetriever;
        void coreCounts(quint64& Numa, quint64& Physical, quint64& Cores, quint64& Logical) override
        {
            Numa = 1;
            Physical = 2;
            Cores = 3;
            Logical = 4;
        }
        double clockSpeed() override { return 1234.5; }
    };

    TFixedCounts retriever(platformWith(TFakeProcessor(), fixtureDir + "cpuinfo-one-socket-eight-threads.txt"));
    const TCpuInfo info = retriever.cpu();
    QCOMPARE(info.numaNumber, quint64(1));
    QCOMPARE(info.physicalNumber, quint64(2));
    QCOMPARE(info.coreNumber, quint64(3));
    QCOMPARE(info.logicalCoreNumber, quint64(4));
    QCOMPARE(info.clockSpeed, 1234.5);
}

void TestSystemSurveyValueRetriever::mainMemorySize_data()
{
    QTest::addColumn<qlonglong>("pages");
    QTest::addColumn<qlonglong>("pageSize");
    QTest::addColumn<qlonglong>("size");

    QTest::newRow("16 GiB") << 4194304LL << 4096LL << 17179869184LL;
    QTest::newRow("page count unknown") << -1LL << 4096LL << 0LL;
    QTest::newRow("page size unknown") << 4194304LL << -1LL << 0LL;
    QTest::newRow("product out of range") << std::numeric_limits<qlonglong>::max() / 2 << 4096LL << 0LL;
}

void TestSystemSurveyValueRetriever::mainMemorySize()
{
    QFETCH(qlonglong, pages);
    QFETCH(qlonglong, pageSize);
    QFETCH(qlonglong, size);

    TSystemSurveyPlatform platform = TSystemSurveyPlatform::machine();
    platform.sysconf = [pages, pageSize](int Name) -> long {
        if (Name == _SC_PHYS_PAGES)
            return pages;
        if (Name == _SC_PAGESIZE)
            return pageSize;
        return -1;
    };
    QCOMPARE(TSystemSurveyValueRetriever(platform).mainMemorySize(), size);
}

void TestSystemSurveyValueRetriever::gpuPlaceholder()
{
    const std::vector<TGpuInfo> gpus = TSystemSurveyValueRetriever().gpus();
    QCOMPARE(gpus.size(), size_t(1));
    QCOMPARE(gpus[0].deviceString, QStringLiteral("not implemented"));
    QCOMPARE(gpus[0].videoMemorySize, qint64(0));
    QCOMPARE(gpus[0].vendorId, quint32(0));
    QCOMPARE(gpus[0].deviceId, quint32(0));
    QVERIFY(gpus[0].driverVersion.isEmpty());
}

void TestSystemSurveyValueRetriever::releaseProgram_data()
{
    QTest::addColumn<QByteArray>("first"); // script body; empty: no such program
    QTest::addColumn<QByteArray>("second");
    QTest::addColumn<QString>("output");

    QTest::newRow("one word and a line break") << QByteArray("echo Debian") << QByteArray() << "Debian";
    QTest::newRow("arguments") << QByteArray("echo \"$@\"") << QByteArray() << "-s -i";
    QTest::newRow("white space simplified")
        << QByteArray("printf '  Debian \\t GNU/Linux\\n\\n  12 \\n'") << QByteArray() << "Debian GNU/Linux 12";
    QTest::newRow("exit status and error output ignored")
        << QByteArray("echo Ubuntu; echo oops >&2; exit 3") << QByteArray() << "Ubuntu";
    QTest::newRow("UTF-8 output") << QByteArray("printf 'Dist\\303\\270\\n'") << QByteArray()
                                  << QString::fromUtf8("Dist\xc3\xb8");
    QTest::newRow("first missing, second used") << QByteArray() << QByteArray("echo Fedora") << "Fedora";
    QTest::newRow("first present, second not asked")
        << QByteArray("echo first") << QByteArray("echo second") << "first";
    QTest::newRow("both missing") << QByteArray() << QByteArray() << "";
}

void TestSystemSurveyValueRetriever::releaseProgram()
{
    QFETCH(QByteArray, first);
    QFETCH(QByteArray, second);
    QFETCH(QString, output);

    QTemporaryDir folder;
    TLsbReleaseRun run;
    run.programs = { folder.filePath(QStringLiteral("lsb_release")), folder.filePath(QStringLiteral("lsb-release")) };
    if (!first.isEmpty())
        QVERIFY(!writeScript(folder.path(), QStringLiteral("lsb_release"), first).isEmpty());
    if (!second.isEmpty())
        QVERIFY(!writeScript(folder.path(), QStringLiteral("lsb-release"), second).isEmpty());

    QCOMPARE(runLsbRelease(QStringLiteral("-i"), run), output);
}

void TestSystemSurveyValueRetriever::releaseProgramThatHangsIsEnded()
{
    QTemporaryDir folder;
    const QString marker = folder.filePath(QStringLiteral("pid"));
    const QString program = writeScript(folder.path(), QStringLiteral("lsb_release"),
        "echo $$ > '" + marker.toLocal8Bit() + "'\necho partial\nexec sleep 30");
    TLsbReleaseRun run;
    run.programs = { program };
    run.finishTimeoutMs = 300;

    QElapsedTimer clock;
    clock.start();
    // Nothing is logged, not even the process object's complaint about a running program.
    QTest::failOnWarning(QRegularExpression(QStringLiteral(".*")));
    QCOMPARE(runLsbRelease(QStringLiteral("-r"), run), QString());
    QVERIFY2(clock.elapsed() < 5000, qPrintable(QString::number(clock.elapsed())));

    // The program was ended, not left behind.
    QFile pidFile(marker);
    QVERIFY(pidFile.open(QIODevice::ReadOnly));
    const QByteArray pid = pidFile.readAll().trimmed();
    QVERIFY(!pid.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(!QFile::exists(QStringLiteral("/proc/") + QString::fromLatin1(pid)), 5000);
}

void TestSystemSurveyValueRetriever::releaseProgramFoundOnPath_data()
{
    QTest::addColumn<bool>("underscoreName");
    QTest::addColumn<bool>("hyphenName");
    QTest::addColumn<QString>("output");

    QTest::newRow("lsb_release") << true << false << "underscore";
    QTest::newRow("only lsb-release") << false << true << "hyphen";
    QTest::newRow("neither") << false << false << "";
}

void TestSystemSurveyValueRetriever::releaseProgramFoundOnPath()
{
    QFETCH(bool, underscoreName);
    QFETCH(bool, hyphenName);
    QFETCH(QString, output);

    QTemporaryDir folder;
    if (underscoreName)
        writeScript(folder.path(), QStringLiteral("lsb_release"), "echo underscore");
    if (hyphenName)
        writeScript(folder.path(), QStringLiteral("lsb-release"), "echo hyphen");

    // Only the folder is searched; the scripts need nothing else ("echo" is built into the shell).
    const QByteArray savedPath = qgetenv("PATH");
    qputenv("PATH", folder.path().toLocal8Bit());
    const QString result = runLsbRelease(QStringLiteral("-i"));
    qputenv("PATH", savedPath);
    QCOMPARE(result, output);
}

void TestSystemSurveyValueRetriever::operatingSystemAsksForIdThenRelease()
{
    QTemporaryDir folder;
    const QString log = folder.filePath(QStringLiteral("calls"));
    const QString program = writeScript(folder.path(), QStringLiteral("lsb_release"),
        "echo \"$2\" >> '" + log.toLocal8Bit()
            + "'\n"
              "case \"$2\" in -i) echo Debian;; -r) echo 12;; esac");
    TSystemSurveyPlatform platform = TSystemSurveyPlatform::machine();
    platform.lsbRelease.programs = { program };

    const TOperatingSystemInfo info = TSystemSurveyValueRetriever(platform).operatingSystem();
    QCOMPARE(info.baseSystem, QStringLiteral("Linux"));
    QCOMPARE(info.name, QStringLiteral("Debian"));
    QCOMPARE(info.release, QStringLiteral("12"));
    QFile calls(log);
    QVERIFY(calls.open(QIODevice::ReadOnly));
    QCOMPARE(calls.readAll(), QByteArray("-i\n-r\n"));

    platform.lsbRelease.programs = { folder.filePath(QStringLiteral("missing")) };
    const TOperatingSystemInfo missing = TSystemSurveyValueRetriever(platform).operatingSystem();
    QCOMPARE(missing.baseSystem, QStringLiteral("Linux"));
    QVERIFY(missing.name.isEmpty());
    QVERIFY(missing.release.isEmpty());
}

void TestSystemSurveyValueRetriever::thisMachine()
{
    TSystemSurveyValueRetriever retriever;

    const TCpuInfo cpu = retriever.cpu();
    QVERIFY(!cpu.manufacturer.isEmpty());
    QVERIFY(!cpu.brandName.isEmpty());
    QVERIFY(cpu.is64Bit); // an x86-64 build runs only on such processors
    QVERIFY(cpu.sse && cpu.sse2);
    const QByteArray cpuInfo = machineCpuInfo();
    const int processors = entries(cpuInfo, "processor");
    QVERIFY(processors >= 1);
    QVERIFY(cpu.logicalCoreNumber >= quint64(processors));
    if (entries(cpuInfo, "physical id") > 0)
        QVERIFY(cpu.physicalNumber >= 1 && cpu.physicalNumber <= cpu.logicalCoreNumber);
    if (entries(cpuInfo, "cpu cores") > 0)
        QVERIFY(cpu.coreNumber >= 1 && cpu.coreNumber <= cpu.logicalCoreNumber);
    if (entries(cpuInfo, "cpu MHz") > 0)
        QVERIFY(cpu.clockSpeed > 10.0 && cpu.clockSpeed < 20000.0);

    const qint64 memory = retriever.mainMemorySize();
    QVERIFY(memory >= 256LL * 1024 * 1024);
    QCOMPARE(memory % sysconf(_SC_PAGESIZE), 0);

    const TOperatingSystemInfo system = retriever.operatingSystem();
    QCOMPARE(system.baseSystem, QStringLiteral("Linux"));
    if (QStandardPaths::findExecutable(QStringLiteral("lsb_release")).isEmpty()) {
        QWARN("lsb_release is not installed: name and release stay empty");
    } else {
        QVERIFY(!system.name.isEmpty());
        QVERIFY(!system.name.contains(QLatin1Char('\n')));
        QVERIFY(!system.release.isEmpty());
    }

    // The offscreen platform reports its one screen.
    const std::vector<TMonitorInfo> monitors = retriever.monitors();
    QCOMPARE(monitors.size(), size_t(QGuiApplication::screens().size()));
    if (!monitors.empty()) {
        QVERIFY(monitors[0].width > 0 && monitors[0].height > 0);
        QCOMPARE(monitors[0].primary, true);
    }
}

QTEST_MAIN(TestSystemSurveyValueRetriever)
#include "tst_systemsurveyvalueretriever.moc"
