#include "systemsurvey/systemsurveyasjsondocumentcreator.h"
#include "systemsurvey/systemsurveycreator.h"
#include "systemsurvey/systemsurveytojsonconverter.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QtTest>

#include <memory>

using namespace systemsurvey;

Q_DECLARE_METATYPE(std::vector<TMonitorInfo>)

namespace {

const QString firstAddress = QStringLiteral("52:54:00:12:34:56");
const QString secondAddress = QStringLiteral("02:42:AC:11:00:02");
// SHA-1 of the salt followed by the first and the second address, as computed by sha1sum.
const QString idOfBothAddresses = QStringLiteral("8d3ed8e4c879496b8b0c2d23ef9f812d5a644436");

TSystemSurvey sampleSurvey()
{
    TSystemSurvey survey;
    survey.monitors = { { 1920, 1080, true, 60 }, { 1280, 1024, false, 75 } };
    survey.operatingSystem = { QStringLiteral("Linux"), QStringLiteral("Debian"), QStringLiteral("12") };
    survey.mainMemorySize = 17179869184LL;
    survey.cpu.manufacturer = QStringLiteral("Intel");
    survey.cpu.brandName = QStringLiteral("Intel(R) Core(TM) i7-7700 CPU @ 3.60GHz");
    survey.cpu.is64Bit = true;
    survey.cpu.sse = true;
    survey.cpu.sse2 = true;
    survey.cpu.physicalNumber = 1;
    survey.cpu.coreNumber = 4;
    survey.cpu.logicalCoreNumber = 8;
    survey.cpu.clockSpeed = 3400.123;
    TGpuInfo placeholder;
    placeholder.deviceString = QStringLiteral("not implemented");
    survey.gpus = { placeholder };
    return survey;
}

QByteArray compact(const QJsonObject& Object)
{
    return QJsonDocument(Object).toJson(QJsonDocument::Compact);
}

// Answers with fixed values and records which operations were asked, in order.
class TFixedRetriever : public TSystemSurveyValueRetriever
{
public:
    explicit TFixedRetriever(TSystemSurvey Values, std::vector<TMonitorInfo> Screens = {})
        : values(std::move(Values))
        , screens(std::move(Screens))
    { }

    std::vector<TMonitorInfo> monitors() override
    {
        calls << "monitors";
        return screens;
    }
    TCpuInfo cpu() override
    {
        calls << "cpu";
        return values.cpu;
    }
    TOperatingSystemInfo operatingSystem() override
    {
        calls << "operatingSystem";
        return values.operatingSystem;
    }
    qint64 mainMemorySize() override
    {
        calls << "mainMemorySize";
        return values.mainMemorySize;
    }
    std::vector<TGpuInfo> gpus() override
    {
        calls << "gpus";
        return values.gpus;
    }

    TSystemSurvey values;
    std::vector<TMonitorInfo> screens;
    QStringList calls;
};

std::shared_ptr<TSystemSurveyToJsonConverter> fixedAddressConverter()
{
    return std::make_shared<TSystemSurveyToJsonConverter>([] { return QStringList { firstAddress, secondAddress }; });
}

} // namespace

// The survey record, its JSON document and the client id.
class TestSystemSurveyDocument : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void wholeDocument();
    void creatorAsksEachValueOnceInOrder();
    void screensWithoutAreaAreLeftOut_data();
    void screensWithoutAreaAreLeftOut();
    void conditionalMembers_data();
    void conditionalMembers();
    void countsBeyond32Bits();
    void clientIdOfAddresses_data();
    void clientIdOfAddresses();
    void clientIdIsKeptForTheRun();
    void clientIdOfThisMachine();
};

void TestSystemSurveyDocument::init()
{
    TSystemSurveyToJsonConverter::forgetClientId();
}

void TestSystemSurveyDocument::wholeDocument()
{
    const QJsonDocument document = fixedAddressConverter()->convert(sampleSurvey());
    const QByteArray expected = "{\"clientID\":\"" + idOfBothAddresses.toLatin1()
        + "\",\"cpu\":{\"64Bit\":true,\"NUMANumber\":0,\"brandName\":\"Intel(R) Core(TM) i7-7700 CPU @ 3.60GHz\","
          "\"clockSpeed\":3400.123,\"coreNumber\":4,\"logicalCoreNumber\":8,\"manufacturer\":\"Intel\","
          "\"physicalNumber\":1,\"sse\":true,\"sse2\":true},\"dataType\":0,"
          "\"gpu\":[{\"deviceString\":\"not implemented\",\"videoMemorySize\":0}],\"mainMemorySize\":17179869184,"
          "\"monitors\":[{\"height\":1080,\"primary\":true,\"refreshRate\":60,\"width\":1920},"
          "{\"height\":1024,\"primary\":false,\"refreshRate\":75,\"width\":1280}],"
          "\"operatingSystem\":{\"baseSystem\":\"Linux\",\"name\":\"Debian\",\"release\":\"12\"}}";
    QCOMPARE(document.toJson(QJsonDocument::Compact), expected);
    QCOMPARE(TSystemSurveyToJsonConverter::clientId(), idOfBothAddresses);
}

void TestSystemSurveyDocument::creatorAsksEachValueOnceInOrder()
{
    const TSystemSurvey values = sampleSurvey();
    auto retriever = std::make_shared<TFixedRetriever>(values, values.monitors);
    auto creator = std::make_shared<TSystemSurveyCreator>(retriever);
    TSystemSurveyAsJsonDocumentCreator documentCreator(creator, fixedAddressConverter());

    const QJsonDocument document = documentCreator.create();
    QCOMPARE(retriever->calls, QStringList({ "monitors", "operatingSystem", "mainMemorySize", "cpu", "gpus" }));
    TSystemSurveyToJsonConverter::forgetClientId();
    QCOMPARE(document, fixedAddressConverter()->convert(values));
}

void TestSystemSurveyDocument::screensWithoutAreaAreLeftOut_data()
{
    QTest::addColumn<std::vector<TMonitorInfo>>("screens");
    QTest::addColumn<QByteArray>("monitors");

    QTest::newRow("no screen") << std::vector<TMonitorInfo> {} << QByteArray("[]");
    QTest::newRow("only a zero-sized screen") << std::vector<TMonitorInfo> { { 0, 0, true, 60 } } << QByteArray("[]");
    QTest::newRow("zero width or height dropped, order kept")
        << std::vector<TMonitorInfo> { { 0, 1080, true, 60 }, { 800, 600, false, 50 }, { 1024, 0, false, 60 },
               { 640, 480, true, 0 } }
        << QByteArray(R"([{"height":600,"primary":false,"refreshRate":50,"width":800},)"
                      R"({"height":480,"primary":true,"refreshRate":0,"width":640}])");
}

void TestSystemSurveyDocument::screensWithoutAreaAreLeftOut()
{
    QFETCH(std::vector<TMonitorInfo>, screens);
    QFETCH(QByteArray, monitors);

    auto retriever = std::make_shared<TFixedRetriever>(sampleSurvey(), screens);
    TSystemSurveyCreator creator(retriever);
    const TSystemSurvey survey = creator.create();
    const QJsonArray array = fixedAddressConverter()->convert(survey).object().value("monitors").toArray();
    QCOMPARE(QJsonDocument(array).toJson(QJsonDocument::Compact), monitors);
}

void TestSystemSurveyDocument::conditionalMembers_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("release");
    QTest::addColumn<quint32>("vendorId");
    QTest::addColumn<quint32>("deviceId");
    QTest::addColumn<QString>("driverVersion");
    QTest::addColumn<QByteArray>("operatingSystem");
    QTest::addColumn<QByteArray>("gpu");

    QTest::newRow("everything known") << "Debian"
                                      << "12" << quint32(0x10de) << quint32(0x2684) << "535.104"
                                      << QByteArray(R"({"baseSystem":"Linux","name":"Debian","release":"12"})")
                                      << QByteArray(
                                             R"({"deviceId":9860,"deviceString":"card","driverVersion":"535.104",)"
                                             R"("vendorId":4318,"videoMemorySize":8589934592})");
    QTest::newRow("empty release left out, empty name kept")
        << ""
        << "" << quint32(0) << quint32(0) << "" << QByteArray(R"({"baseSystem":"Linux","name":""})")
        << QByteArray(R"({"deviceString":"card","videoMemorySize":8589934592})");
    QTest::newRow("device id without driver")
        << "Debian"
        << "" << quint32(0) << quint32(0x2684) << "" << QByteArray(R"({"baseSystem":"Linux","name":"Debian"})")
        << QByteArray(R"({"deviceId":9860,"deviceString":"card",)"
                      R"("videoMemorySize":8589934592})");
    QTest::newRow("ids beyond 31 bits") << ""
                                        << "12" << quint32(0xffffffffu) << quint32(0x80000000u) << ""
                                        << QByteArray(R"({"baseSystem":"Linux","name":"","release":"12"})")
                                        << QByteArray(R"({"deviceId":-2147483648,"deviceString":"card",)"
                                                      R"("vendorId":-1,"videoMemorySize":8589934592})");
}

void TestSystemSurveyDocument::conditionalMembers()
{
    QFETCH(QString, name);
    QFETCH(QString, release);
    QFETCH(quint32, vendorId);
    QFETCH(quint32, deviceId);
    QFETCH(QString, driverVersion);
    QFETCH(QByteArray, operatingSystem);
    QFETCH(QByteArray, gpu);

    TSystemSurvey survey = sampleSurvey();
    survey.operatingSystem.name = name;
    survey.operatingSystem.release = release;
    survey.gpus = { { QStringLiteral("card"), 8589934592LL, vendorId, deviceId, driverVersion } };

    const QJsonObject document = fixedAddressConverter()->convert(survey).object();
    QCOMPARE(compact(document.value("operatingSystem").toObject()), operatingSystem);
    const QJsonArray gpus = document.value("gpu").toArray();
    QCOMPARE(gpus.size(), 1);
    QCOMPARE(compact(gpus.at(0).toObject()), gpu);
}

void TestSystemSurveyDocument::countsBeyond32Bits()
{
    TSystemSurvey survey = sampleSurvey();
    survey.monitors = { { (1LL << 32) + 1920, -1, false, (1ULL << 32) + 5 } };
    survey.cpu.coreNumber = 0x80000000ULL;
    survey.cpu.logicalCoreNumber = 0xffffffffULL;
    survey.cpu.physicalNumber = (1ULL << 40) + 2;
    survey.cpu.numaNumber = 1ULL << 32;
    survey.mainMemorySize = 1LL << 40;

    const QJsonObject document = fixedAddressConverter()->convert(survey).object();
    QCOMPARE(compact(document.value("monitors").toArray().at(0).toObject()),
        QByteArray(R"({"height":-1,"primary":false,"refreshRate":5,"width":1920})"));
    const QJsonObject cpu = document.value("cpu").toObject();
    QCOMPARE(cpu.value("coreNumber").toInteger(), qint64(-2147483648LL));
    QCOMPARE(cpu.value("logicalCoreNumber").toInteger(), qint64(-1));
    QCOMPARE(cpu.value("physicalNumber").toInteger(), qint64(2));
    QCOMPARE(cpu.value("NUMANumber").toInteger(), qint64(0));
    // The memory size is the one 64-bit member.
    QCOMPARE(document.value("mainMemorySize").toInteger(), qint64(1LL << 40));
}

void TestSystemSurveyDocument::clientIdOfAddresses_data()
{
    QTest::addColumn<QStringList>("addresses");
    QTest::addColumn<QString>("clientId");

    QTest::newRow("no interface") << QStringList() << "d79d5aa93e6a98c367e11f0603b42d27b13283c1";
    QTest::newRow("two interfaces") << QStringList { firstAddress, secondAddress } << idOfBothAddresses;
    QTest::newRow("order matters") << QStringList { secondAddress, firstAddress }
                                   << "6432c50d92bcf14fc0bf7dbd5a9ac77ff7ce3069";
    QTest::newRow("empty addresses add nothing")
        << QStringList { QString(), firstAddress, QString(), secondAddress, QString() } << idOfBothAddresses;
    QTest::newRow("loopback's zero address counts") << QStringList { QStringLiteral("00:00:00:00:00:00"), firstAddress }
                                                    << "e6e7ba31213b5108f2d2761310359624c1de47ea";
}

void TestSystemSurveyDocument::clientIdOfAddresses()
{
    QFETCH(QStringList, addresses);
    QFETCH(QString, clientId);

    QCOMPARE(TSystemSurveyToJsonConverter::clientIdFor(addresses), clientId);
    TSystemSurveyToJsonConverter converter([addresses] { return addresses; });
    QCOMPARE(converter.convert(sampleSurvey()).object().value("clientID").toString(), clientId);
}

void TestSystemSurveyDocument::clientIdIsKeptForTheRun()
{
    int firstReads = 0;
    TSystemSurveyToJsonConverter first([&firstReads] {
        ++firstReads;
        return QStringList { firstAddress, secondAddress };
    });
    QVERIFY(TSystemSurveyToJsonConverter::clientId().isEmpty());
    QCOMPARE(first.convert(sampleSurvey()).object().value("clientID").toString(), idOfBothAddresses);
    QCOMPARE(first.convert(sampleSurvey()).object().value("clientID").toString(), idOfBothAddresses);
    QCOMPARE(firstReads, 1);

    // The interfaces changed meanwhile: the run keeps its id and does not read them again.
    int laterReads = 0;
    TSystemSurveyToJsonConverter later([&laterReads] {
        ++laterReads;
        return QStringList { secondAddress };
    });
    QCOMPARE(later.convert(sampleSurvey()).object().value("clientID").toString(), idOfBothAddresses);
    QCOMPARE(laterReads, 0);
}

void TestSystemSurveyDocument::clientIdOfThisMachine()
{
    const QString id = TSystemSurveyToJsonConverter().convert(sampleSurvey()).object().value("clientID").toString();
    QVERIFY2(QRegularExpression(QStringLiteral("^[0-9a-f]{40}$")).match(id).hasMatch(), qPrintable(id));
    QCOMPARE(id, TSystemSurveyToJsonConverter::clientIdFor(TSystemSurveyToJsonConverter::machineHardwareAddresses()));
}

QTEST_GUILESS_MAIN(TestSystemSurveyDocument)
#include "tst_systemsurveydocument.moc"
