#include "support/launcherprocess.h"
#include "support/launchersandbox.h"
#include "support/loopbackserver.h"
#include "support/loopbackserverthread.h"

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QThread>
#include <QtTest>

#include <functional>
#include <memory>

using korvane::test::TLauncherProcess;
using korvane::test::TLauncherSandbox;
using korvane::test::TLoopbackServer;
using korvane::test::TRecordedRequest;
using korvane::test::TResponse;
using korvane::test::TServerThread;

namespace {

const QString configurationPath = QStringLiteral("/launcher/dulmetadata.json");
const QString packagePath = QStringLiteral("/launcher/packages/game/package.json");
const QString surveyPath = QStringLiteral("/survey/upload");

QByteArray configurationDocument(const QJsonValue& SurveyUrl)
{
    const QJsonObject build { { "os", "linux" }, { "architecture", "x86_64" },
        { "url", "packages/game/package.json" } };
    const QJsonObject game { { "name", "Game" }, { "directoryname", "game" }, { "builds", QJsonArray { build } },
        { "maintenance", QJsonObject { { "active", false } } } };
    QJsonObject document { { "packages", QJsonArray { game } } };
    if (!SurveyUrl.isUndefined())
        document.insert("hardwaresurvey", SurveyUrl);
    return QJsonDocument(document).toJson();
}

QByteArray packageDocument()
{
    return QJsonDocument(QJsonObject { { "version", "1" }, { "executable", "bin/client" }, { "chunks", QJsonArray() },
                             { "files", QJsonArray() } })
        .toJson(QJsonDocument::Compact);
}

// A release program that names a distribution no machine has, first on the launcher's PATH.
bool writeFakeReleaseProgram(const QString& Folder)
{
    QFile file(Folder + QStringLiteral("/lsb_release"));
    if (!file.open(QIODevice::WriteOnly))
        return false;
    file.write("#!/bin/sh\ncase \"$2\" in -i) echo FakeDist;; -r) echo 1.0;; esac\n");
    file.close();
    return file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

} // namespace

// The built launcher posts the hardware survey once when its configuration names a survey endpoint.
class TestSurveyStartup : public QObject
{
    Q_OBJECT

private slots:
    void surveyIsPostedOnce_data();
    void surveyIsPostedOnce();
};

void TestSurveyStartup::surveyIsPostedOnce_data()
{
    QTest::addColumn<QString>("survey"); // "endpoint": the server's survey path; "absent": no member
    QTest::addColumn<int>("status");
    QTest::addColumn<int>("posts");

    QTest::newRow("endpoint accepts") << "endpoint" << 200 << 1;
    QTest::newRow("endpoint fails, the run goes on") << "endpoint" << 500 << 1;
    QTest::newRow("no survey member") << "absent" << 200 << 0;
    QTest::newRow("empty survey URL") << "" << 200 << 0;
}

void TestSurveyStartup::surveyIsPostedOnce()
{
    QFETCH(QString, survey);
    QFETCH(int, status);
    QFETCH(int, posts);

    TResponse reply = TResponse::withStatus(status);
    reply.body = QByteArray(R"({"errorCode": 0})");
    TServerThread server([&](TLoopbackServer& s) {
        QJsonValue member = QJsonValue::Undefined;
        if (survey == QLatin1String("endpoint"))
            member = s.url(surveyPath).toString();
        else if (survey != QLatin1String("absent"))
            member = survey;
        s.setBody(configurationPath, configurationDocument(member));
        s.setScript(surveyPath, { reply });
        s.setBody(packagePath, packageDocument());
    });

    TLauncherSandbox sandbox(TLauncherSandbox::settingsFor(server->url(configurationPath), { { "retries", "0" } }));
    QVERIFY(sandbox.isValid());
    QTemporaryDir programs;
    QVERIFY(writeFakeReleaseProgram(programs.path()));
    TLauncherProcess launcher(sandbox);
    launcher.setEnvironmentValue(
        QStringLiteral("PATH"), programs.path() + QLatin1Char(':') + QString::fromLocal8Bit(qgetenv("PATH")));
    QVERIFY(launcher.start());
    QVERIFY2(launcher.waitForLog("Launcher configuration loaded from"), sandbox.readLog().constData());
    // The survey is measured and its POST started before the package configurations are asked for.
    QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(packagePath), 1, 10000);
    if (posts > 0)
        QTRY_COMPARE_WITH_TIMEOUT(server->requestCount(surveyPath), posts, 10000);
    QTest::qWait(300);
    QVERIFY2(server->requestCount(surveyPath) == posts, sandbox.readLog().constData());
    if (posts == 0)
        return;

    const TRecordedRequest request = server->requests(surveyPath).at(0);
    QCOMPARE(request.method, QByteArray("POST"));
    QCOMPARE(request.header("Content-Type"), QByteArray("application/json"));
    QCOMPARE(request.header("Content-Disposition"), QByteArray("form-data; name=\"metadata\""));
    QVERIFY(!request.body.contains('\n'));
    const QJsonObject document = QJsonDocument::fromJson(request.body).object();
    QVERIFY(QRegularExpression("^[0-9a-f]{40}$").match(document.value("clientID").toString()).hasMatch());
    QCOMPARE(QJsonDocument(document.value("operatingSystem").toObject()).toJson(QJsonDocument::Compact),
        QByteArray(R"({"baseSystem":"Linux","name":"FakeDist","release":"1.0"})"));
    QVERIFY(document.value("cpu").toObject().value("logicalCoreNumber").toInteger() >= 1);
    // The offscreen platform's one screen.
    QCOMPARE(document.value("monitors").toArray().size(), 1);
}

QTEST_GUILESS_MAIN(TestSurveyStartup)
#include "tst_surveystartup.moc"
