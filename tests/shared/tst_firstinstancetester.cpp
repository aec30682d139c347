#include "shared/firstinstancetester.h"

#include "support/launcherprocess.h"
#include "support/launchersandbox.h"

#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

using korvane::test::TLauncherProcess;
using korvane::test::TLauncherSandbox;
using shared::FirstInstanceTester;

namespace {

// Points the segment's key file, which lives in the temporary folder, somewhere else while it lives.
class TTemporaryFolderOverride
{
public:
    explicit TTemporaryFolderOverride(const QString& folder)
        : saved(qgetenv("TMPDIR"))
    {
        qputenv("TMPDIR", QFile::encodeName(folder));
    }
    ~TTemporaryFolderOverride() { qputenv("TMPDIR", saved); }

private:
    QByteArray saved;
};

} // namespace

class TestFirstInstanceTester : public QObject
{
    Q_OBJECT

private slots:
    void keyIsAUuid();
    void secondTesterOfALiveHolderIsNotFirst();
    void liveLauncherIsFoundAndAKilledOneIsNot();
    void sharedMemoryFailureThrows();
};

void TestFirstInstanceTester::keyIsAUuid()
{
    const QRegularExpression uuid(QStringLiteral("^[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}$"));
    QVERIFY(uuid.match(QString::fromLatin1(FirstInstanceTester::key)).hasMatch());
}

void TestFirstInstanceTester::secondTesterOfALiveHolderIsNotFirst()
{
    QTemporaryDir folder;
    TTemporaryFolderOverride override(folder.path());
    {
        FirstInstanceTester first;
        QVERIFY(first.isFirstInstance());
        FirstInstanceTester second;
        QVERIFY(!second.isFirstInstance());
        // Looking for an orphan must not take the segment away from its holder.
        FirstInstanceTester third;
        QVERIFY(!third.isFirstInstance());
    }
    // The holder has let go: the next one is first.
    FirstInstanceTester next;
    QVERIFY(next.isFirstInstance());
}

void TestFirstInstanceTester::liveLauncherIsFoundAndAKilledOneIsNot()
{
    TLauncherSandbox sandbox;
    QVERIFY(sandbox.isValid());
    TLauncherProcess launcher(sandbox);
    QVERIFY(launcher.start());
    QVERIFY2(launcher.waitForLog("load configuration"), launcher.output().constData());

    TTemporaryFolderOverride override(sandbox.temporaryFolder());
    QVERIFY(!FirstInstanceTester().isFirstInstance());
    QVERIFY(launcher.isRunning());

    // SIGKILL leaves the segment behind with nobody attached.
    launcher.kill();
    FirstInstanceTester afterKill;
    QVERIFY(afterKill.isFirstInstance());
    QVERIFY(!FirstInstanceTester().isFirstInstance());
}

void TestFirstInstanceTester::sharedMemoryFailureThrows()
{
    // A temporary "folder" that is a plain file: the segment's key file cannot be made.
    QTemporaryDir folder;
    const QString plainFile = folder.filePath(QStringLiteral("not-a-folder"));
    QFile file(plainFile);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.close();
    TTemporaryFolderOverride override(plainFile);
    try {
        FirstInstanceTester tester;
        QFAIL("no exception");
    } catch (const std::runtime_error& e) {
        QCOMPARE(QString::fromLatin1(e.what()),
            QStringLiteral("QSharedMemory::SharedMemoryError(%1)").arg(int(QSharedMemory::KeyError)));
    }
}

QTEST_GUILESS_MAIN(TestFirstInstanceTester)
#include "tst_firstinstancetester.moc"
