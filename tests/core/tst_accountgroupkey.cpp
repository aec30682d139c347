#include "core/accountgroupkey.h"
#include "core/launcherfilesystemhelper.h"
#include "support/messagecapture.h"

#include <QCoreApplication>
#include <QFile>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QtTest>

using korvane::launcher::readAccountGroupKey;
using korvane::launcher::TLauncherFilesystemHelper;
using korvane::test::TMessages;

class TestAccountGroupKey : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void key_data();
    void key();
    void missingFile();
    void unreadableFile();

private:
    QString readKeyCapturing(QStringList& warnings);

    QTemporaryDir dataHome;
    QString filePath;
};

void TestAccountGroupKey::initTestCase()
{
    QVERIFY(dataHome.isValid());
    qputenv("XDG_DATA_HOME", QFile::encodeName(dataHome.path()));
    QCoreApplication::setOrganizationName(QStringLiteral("Dulmark GmbH"));
    QCoreApplication::setApplicationName(QStringLiteral("Korvane Vedudi"));
    const QString folder = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QVERIFY(QDir().mkpath(folder));
    filePath = folder + QStringLiteral("/accountgroup.json");
}

void TestAccountGroupKey::init()
{
    QFile::remove(filePath);
}

QString TestAccountGroupKey::readKeyCapturing(QStringList& warnings)
{
    TLauncherFilesystemHelper helper;
    const TMessages messages;
    const QString key = readAccountGroupKey(helper);
    warnings = messages.of(QtWarningMsg);
    return key;
}

void TestAccountGroupKey::key_data()
{
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expectedKey");
    QTest::addColumn<QStringList>("expectedWarnings");
    QTest::newRow("string key") << QByteArray(R"({"Key": "group-7"})") << "group-7" << QStringList();
    QTest::newRow("empty string key") << QByteArray(R"({"Key": ""})") << "" << QStringList();
    QTest::newRow("key beside others") << QByteArray(R"({"Other": 1, "Key": "k"})") << "k" << QStringList();
    QTest::newRow("number key") << QByteArray(R"({"Key": 42})") << ""
                                << QStringList { "AccountGroupSetting Error: KeyNoString" };
    QTest::newRow("null key") << QByteArray(R"({"Key": null})") << ""
                              << QStringList { "AccountGroupSetting Error: KeyNoString" };
    QTest::newRow("empty object") << QByteArray("{}") << "" << QStringList { "AccountGroupSetting Error: Empty" };
    QTest::newRow("no key") << QByteArray(R"({"key": "lower case"})") << ""
                            << QStringList { "AccountGroupSetting Error: KeyNotExists" };
    QTest::newRow("array") << QByteArray(R"(["Key"])") << ""
                           << QStringList { "JSON file does not contain a valid JSON object.",
                                  "AccountGroupSetting Error: Empty" };
    QTest::newRow("empty file") << QByteArray() << ""
                                << QStringList { "JSON parse error: \"illegal value\"",
                                       "AccountGroupSetting Error: Empty" };
    QTest::newRow("broken JSON") << QByteArray(R"({"Key": )") << ""
                                 << QStringList { "JSON parse error: \"unterminated object\"",
                                        "AccountGroupSetting Error: Empty" };
}

void TestAccountGroupKey::key()
{
    QFETCH(QByteArray, content);
    QFETCH(QString, expectedKey);
    QFETCH(QStringList, expectedWarnings);
    QFile file(filePath);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(content);
    file.close();

    QStringList warnings;
    QCOMPARE(readKeyCapturing(warnings), expectedKey);
    QCOMPARE(warnings, expectedWarnings);
}

void TestAccountGroupKey::missingFile()
{
    QStringList warnings;
    QCOMPARE(readKeyCapturing(warnings), QString());
    QCOMPARE(warnings, QStringList { "AccountGroupSetting Error: KeyNotExists" });
}

void TestAccountGroupKey::unreadableFile()
{
    // A folder in the file's place exists but does not open as a file.
    QVERIFY(QDir().mkpath(filePath));
    QStringList warnings;
    const QString key = readKeyCapturing(warnings);
    QVERIFY(QDir(filePath).removeRecursively());
    QCOMPARE(key, QString());
    QCOMPARE(warnings.size(), 2);
    QVERIFY2(warnings.at(0).startsWith(QLatin1String("Failed to open file: ")), qPrintable(warnings.at(0)));
    QCOMPARE(warnings.at(1), QStringLiteral("AccountGroupSetting Error: KeyNotExists"));
}

QTEST_GUILESS_MAIN(TestAccountGroupKey)
#include "tst_accountgroupkey.moc"
