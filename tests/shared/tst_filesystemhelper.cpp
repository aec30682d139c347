#include "shared/filesystemhelper.h"

#include "support/testfiles.h"

#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

#include <stdexcept>

using shared::TFileSystemHelper;
using korvane::test::snapshot;
using shared::TLocalFileInfo;

namespace {

QString errorText(const std::function<void()>& action)
{
    try {
        action();
    } catch (const std::runtime_error& e) {
        return QString::fromStdString(e.what());
    }
    return {};
}

void writeBytes(const QString& path, const QByteArray& bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(file.write(bytes), bytes.size());
}

QByteArray readBytes(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

// A link planted at `where` (relative to the installation folder) pointing at `target`, which starts
// with "outside/" or "inside/" for the two folders.
struct TPlantedLink
{
    QString where;
    QString target;
};

void plant(const QString& inside, const QString& outside, const TPlantedLink& link)
{
    QString target = link.target;
    target.replace(QStringLiteral("outside/"), outside + "/").replace(QStringLiteral("inside/"), inside + "/");
    if (target.endsWith('/'))
        target.chop(1);
    QDir().mkpath(QFileInfo(inside + "/" + link.where).absolutePath());
    QVERIFY(QFile::link(target, inside + "/" + link.where));
}

} // namespace

class TestFileSystemHelper : public QObject
{
    Q_OBJECT

private slots:
    void pathInsideFolder_data();
    void pathInsideFolder();
    void pathInsideFolderRefusesEscapes_data();
    void pathInsideFolderRefusesEscapes();
    void joinPath_data();
    void joinPath();

    void readMissingFile();
    void fileHoldsIfOpenable_data();
    void fileHoldsIfOpenable();
    void writeAndReadBack();
    void writeFileReplacesAtomically();
    void writeFileIntoMissingFolder();
    void textWrites();
    void deleteFile();
    void copyFileKeepsExistingTarget();
    void createFolder();
    void openOrCreateSubdirectory();
    void listFilesAndForEachFile();
    void readJson();
    void images();
    void settings();

    void writesBelowAFolderReplaceLinks_data();
    void writesBelowAFolderReplaceLinks();
    void removalBelowAFolderNeverFollowsLinks_data();
    void removalBelowAFolderNeverFollowsLinks();
    void pathsOutsideTheFolderAreRefused();
    void permissionsThroughTheOpenFile();

private:
    TFileSystemHelper helper;
};

void TestFileSystemHelper::pathInsideFolder_data()
{
    QTest::addColumn<QString>("relative");
    QTest::addColumn<QString>("expected");
    QTest::newRow("nested") << "bin/app"
                            << "/data/pkg/bin/app";
    QTest::newRow("trailing separator") << "sub/"
                                        << "/data/pkg/sub";
    QTest::newRow("climbs back inside") << "a/../b"
                                        << "/data/pkg/b";
    QTest::newRow("dot segments") << "./a/./b"
                                  << "/data/pkg/a/b";
    QTest::newRow("the folder itself") << ""
                                       << "/data/pkg";
    QTest::newRow("name starting with dots") << "..hidden"
                                             << "/data/pkg/..hidden";
}

void TestFileSystemHelper::pathInsideFolder()
{
    QFETCH(QString, relative);
    QFETCH(QString, expected);
    QCOMPARE(helper.pathInsideFolder(QDir(QStringLiteral("/data/pkg")), relative), expected);
    QCOMPARE(helper.pathInsideFolder(QDir(QStringLiteral("/data/pkg/")), relative), expected);
}

void TestFileSystemHelper::pathInsideFolderRefusesEscapes_data()
{
    QTest::addColumn<QString>("relative");
    QTest::newRow("parent") << "..";
    QTest::newRow("grandparent") << "../..";
    QTest::newRow("climbs out") << "a/../..";
    QTest::newRow("file next to the folder") << "../escape.txt";
    QTest::newRow("sibling sharing the prefix") << "../pkg2/x";
    QTest::newRow("absolute") << "/abs/file";
    QTest::newRow("absolute system file") << "/etc/passwd";
}

void TestFileSystemHelper::pathInsideFolderRefusesEscapes()
{
    QFETCH(QString, relative);
    const QString message = errorText([&] { helper.pathInsideFolder(QDir(QStringLiteral("/data/pkg")), relative); });
    QVERIFY2(message.contains(relative) && message.contains(QLatin1String("/data/pkg")), qPrintable(message));
}

void TestFileSystemHelper::joinPath_data()
{
    QTest::addColumn<QStringList>("parts");
    QTest::addColumn<QString>("expected");
    QTest::newRow("none") << QStringList() << "";
    QTest::newRow("one") << QStringList { "a/b" } << "a/b";
    QTest::newRow("absolute first") << QStringList { "/home/u", "f" } << "/home/u/f";
    QTest::newRow("no cleaning") << QStringList { "a", "/b" } << "a//b";
    QTest::newRow("empty part") << QStringList { "a", "", "b" } << "a//b";
}

void TestFileSystemHelper::joinPath()
{
    QFETCH(QStringList, parts);
    QFETCH(QString, expected);
    QCOMPARE(helper.joinPath(parts), expected);
}

void TestFileSystemHelper::readMissingFile()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("missing.bin"));
    QVERIFY(helper.readFileIfOpenable(path).isEmpty());
    const QString message = errorText([&] { helper.readFile(path); });
    QVERIFY2(message.startsWith(QStringLiteral("I/O error on file '%1': ").arg(path)), qPrintable(message));
    QVERIFY(message.size() > QStringLiteral("I/O error on file '%1': ").arg(path).size());
}

void TestFileSystemHelper::fileHoldsIfOpenable_data()
{
    QTest::addColumn<QByteArray>("content"); // null: no file
    QTest::addColumn<QByteArray>("expected");
    QTest::addColumn<bool>("holds");

    QByteArray big(3 * 1024 * 1024 + 17, Qt::Uninitialized);
    for (qsizetype i = 0; i < big.size(); ++i)
        big[i] = char(i * 131 + i / 4099);
    QByteArray lastByteChanged = big;
    lastByteChanged[lastByteChanged.size() - 1] = char(~lastByteChanged.back());
    QTest::newRow("same, several blocks") << big << big << true;
    QTest::newRow("last byte differs") << lastByteChanged << big << false;
    QTest::newRow("file longer") << big << big.chopped(1) << false;
    QTest::newRow("file shorter") << big.chopped(1) << big << false;
    QTest::newRow("both empty") << QByteArray("") << QByteArray() << true;
    QTest::newRow("no file, nothing expected") << QByteArray() << QByteArray() << true;
    QTest::newRow("no file, something expected") << QByteArray() << QByteArray("x") << false;
}

void TestFileSystemHelper::fileHoldsIfOpenable()
{
    QFETCH(QByteArray, content);
    QFETCH(QByteArray, expected);
    QFETCH(bool, holds);
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("marker.json"));
    if (!content.isNull())
        helper.writeFile(path, content);
    QCOMPARE(helper.fileHoldsIfOpenable(path, expected), holds);
    QCOMPARE(helper.readFileIfOpenable(path) == expected, holds);
}

void TestFileSystemHelper::writeAndReadBack()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("data.bin"));
    const QByteArray bytes("\x00\x01binary\xff", 9);
    helper.writeFile(path, bytes);
    QCOMPARE(helper.readFile(path), bytes);
    QCOMPARE(helper.readFileIfOpenable(path), bytes);
    helper.writeFile(path, QByteArray("x"));
    QCOMPARE(helper.readFile(path), QByteArray("x"));
    helper.writeFile(path, QByteArray());
    QCOMPARE(QFileInfo(path).size(), 0);
}

void TestFileSystemHelper::writeFileReplacesAtomically()
{
    // The new content goes to a new file that replaces the old one, so the old inode keeps its bytes
    // until the rename: an interrupted write cannot leave a truncated file behind.
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("marker.json"));
    writeBytes(path, "old content");
    QFile heldOpen(path);
    QVERIFY(heldOpen.open(QIODevice::ReadOnly));
    helper.writeFile(path, "new");
    QCOMPARE(heldOpen.readAll(), QByteArray("old content"));
    QCOMPARE(helper.readFile(path), QByteArray("new"));
    QCOMPARE(QDir(folder.path()).entryList(QDir::Files | QDir::Hidden), QStringList { "marker.json" });

    // The replacement keeps the permissions of the file it replaces.
    const QFileDevice::Permissions executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner
        | QFileDevice::ReadGroup | QFileDevice::ExeGroup;
    QVERIFY(QFile::setPermissions(path, executable));
    helper.writeFile(path, "newer");
    QCOMPARE(QFile::permissions(path) & ~(QFileDevice::ReadUser | QFileDevice::WriteUser | QFileDevice::ExeUser),
        executable);
}

void TestFileSystemHelper::writeFileIntoMissingFolder()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("missing/data.bin"));
    const QString message = errorText([&] { helper.writeFile(path, "x"); });
    QCOMPARE(message, QStringLiteral("I/O error on file '%1': Could not open file.").arg(path));
    QVERIFY(!QFileInfo::exists(path));
}

void TestFileSystemHelper::textWrites()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("notes.txt"));
    helper.writeTextFile(path, QStringLiteral("Grüße\n"));
    helper.appendTextFile(path, QStringLiteral("more"));
    QCOMPARE(helper.readFile(path), QStringLiteral("Grüße\nmore").toUtf8());
    helper.writeTextFile(path, QStringLiteral("new"));
    QCOMPARE(helper.readFile(path), QByteArray("new"));
    // A file that cannot be opened is reported, by both.
    const QString missing = folder.filePath(QStringLiteral("missing/x.txt"));
    const QString expected = QStringLiteral("I/O error on file '%1': Could not open file.").arg(missing);
    QCOMPARE(errorText([&] { helper.writeTextFile(missing, QStringLiteral("x")); }), expected);
    QCOMPARE(errorText([&] { helper.appendTextFile(missing, QStringLiteral("x")); }), expected);
    QVERIFY(!QFileInfo::exists(missing));
}

void TestFileSystemHelper::deleteFile()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("gone.bin"));
    writeBytes(path, "x");
    helper.deleteFile(path);
    QVERIFY(!helper.fileExists(path));
    QCOMPARE(errorText([&] { helper.deleteFile(path); }), QStringLiteral("Failed to delete file ") + path);
}

void TestFileSystemHelper::copyFileKeepsExistingTarget()
{
    QTemporaryDir folder;
    const QString source = folder.filePath(QStringLiteral("a"));
    const QString target = folder.filePath(QStringLiteral("b"));
    writeBytes(source, "source");
    helper.copyFile(source, target);
    QCOMPARE(helper.readFile(target), QByteArray("source"));
    writeBytes(source, "changed");
    helper.copyFile(source, target);
    QCOMPARE(helper.readFile(target), QByteArray("source"));
    helper.copyFile(folder.filePath(QStringLiteral("missing")), folder.filePath(QStringLiteral("c")));
    QVERIFY(!helper.fileExists(folder.filePath(QStringLiteral("c"))));
}

void TestFileSystemHelper::createFolder()
{
    QTemporaryDir folder;
    const QString nested = folder.filePath(QStringLiteral("a/b/c"));
    QDir created = helper.createFolder(nested);
    QVERIFY(created.exists());
    QCOMPARE(created.absolutePath(), nested);
    QCOMPARE(helper.createFolder(nested).absolutePath(), nested);
    QVERIFY(helper.directoryExists(nested));

    const QString blocker = folder.filePath(QStringLiteral("file"));
    writeBytes(blocker, "x");
    QCOMPARE(errorText([&] { helper.createFolder(blocker + QStringLiteral("/sub")); }),
        QStringLiteral("Failed to create folder: '%1'.").arg(blocker + QStringLiteral("/sub")));
}

void TestFileSystemHelper::openOrCreateSubdirectory()
{
    QTemporaryDir folder;
    QCOMPARE(helper.openOrCreateSubdirectory(folder.path(), QStringLiteral("sub")).absolutePath(),
        folder.filePath(QStringLiteral("sub")));
    QCOMPARE(helper.openOrCreateSubdirectory(folder.path(), QStringLiteral("sub")).absolutePath(),
        folder.filePath(QStringLiteral("sub")));
    QCOMPARE(errorText([&] { helper.openOrCreateSubdirectory(folder.filePath(QStringLiteral("none")), "x"); }),
        QStringLiteral("Directory doesn't exist"));
    writeBytes(folder.filePath(QStringLiteral("plain")), "x");
    QCOMPARE(errorText([&] { helper.openOrCreateSubdirectory(folder.path(), QStringLiteral("plain")); }),
        QStringLiteral("Failed to create subdirectory."));
}

void TestFileSystemHelper::listFilesAndForEachFile()
{
    QTemporaryDir folder;
    writeBytes(folder.filePath(QStringLiteral("one.bin")), "1");
    writeBytes(folder.filePath(QStringLiteral("three.bin")), "333");
    writeBytes(folder.filePath(QStringLiteral(".hidden")), "hh");
    QVERIFY(QDir(folder.path()).mkdir(QStringLiteral("sub")));
    writeBytes(folder.filePath(QStringLiteral("sub/deep.bin")), "deep");

    QMap<QString, qint64> listed;
    for (const TLocalFileInfo& info : helper.listFiles(folder.path()))
        listed.insert(info.path, info.size);
    const QMap<QString, qint64> expected { { folder.filePath(QStringLiteral("one.bin")), 1 },
        { folder.filePath(QStringLiteral("three.bin")), 3 } };
    QCOMPARE(listed, expected);

    QMap<QString, qint64> visited;
    helper.forEachFile(folder.path(), [&](const TLocalFileInfo& info) { visited.insert(info.path, info.size); });
    QCOMPARE(visited, expected);
    QVERIFY(helper.listFiles(folder.filePath(QStringLiteral("missing"))).empty());
}

void TestFileSystemHelper::readJson()
{
    QTemporaryDir folder;
    bool parseFailed = true;
    const QString good = folder.filePath(QStringLiteral("good.json"));
    writeBytes(good, R"({"a": 1})");
    QCOMPARE(helper.readJsonFileAsQJsonDocument(good, parseFailed).object().value("a").toInt(), 1);
    QVERIFY(!parseFailed);

    QVERIFY(helper.readJsonFileAsQJsonDocument(folder.filePath(QStringLiteral("none.json")), parseFailed).isNull());
    QVERIFY(!parseFailed);

    const QString bad = folder.filePath(QStringLiteral("bad.json"));
    writeBytes(bad, R"({"a": )");
    QTest::ignoreMessage(
        QtWarningMsg, QRegularExpression(QStringLiteral("^Json parse error in file .*bad\\.json.* at offset \\d+")));
    QVERIFY(helper.readJsonFileAsQJsonDocument(bad, parseFailed).isNull());
    QVERIFY(parseFailed);
}

void TestFileSystemHelper::images()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("pixel.png"));
    QImage image(2, 3, QImage::Format_ARGB32);
    image.fill(Qt::red);
    helper.writeImage(image, path, "PNG");
    const std::shared_ptr<QImage> read = helper.readImage(path, "PNG");
    QVERIFY(read);
    QCOMPARE(read->size(), QSize(2, 3));
    QCOMPARE(read->pixelColor(1, 2), QColor(Qt::red));

    QVERIFY(!helper.readImage(folder.filePath(QStringLiteral("missing.png")), "PNG"));
    writeBytes(folder.filePath(QStringLiteral("junk.png")), "not an image");
    QVERIFY(!helper.readImage(folder.filePath(QStringLiteral("junk.png")), "PNG"));
}

void TestFileSystemHelper::settings()
{
    QTemporaryDir folder;
    const QString path = folder.filePath(QStringLiteral("s.ini"));
    writeBytes(path, "[G]\nkey=value\n");
    QCOMPARE(helper.openSettings(path)->value(QStringLiteral("G/key")).toString(), QStringLiteral("value"));
}

void TestFileSystemHelper::writesBelowAFolderReplaceLinks_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("target");
    QTest::newRow("file link") << "data/sub/big.bin"
                               << "outside/big.bin";
    QTest::newRow("dangling file link") << "data/sub/big.bin"
                                        << "outside/never.bin";
    QTest::newRow("folder link") << "data"
                                 << "outside/";
    QTest::newRow("link in the middle") << "data/sub"
                                        << "outside/";
    QTest::newRow("link to a file inside") << "data/sub/big.bin"
                                           << "inside/other.bin";
    QTest::newRow("link to a folder inside") << "data"
                                             << "inside/keep/";
}

void TestFileSystemHelper::writesBelowAFolderReplaceLinks()
{
    QFETCH(QString, where);
    QFETCH(QString, target);
    QTemporaryDir inside;
    QTemporaryDir outside;
    writeBytes(outside.filePath("big.bin"), "outside");
    writeBytes(outside.filePath("sub/big.bin"), "outside sub");
    writeBytes(outside.filePath("big.bin.tmp"), "outside tmp");
    writeBytes(inside.filePath("other.bin"), "other");
    writeBytes(inside.filePath("keep/sub/big.bin"), "kept");
    plant(inside.path(), outside.path(), { where, target });
    const QStringList outsideBefore = snapshot(outside.path());
    const QString path = helper.pathInsideFolder(QDir(inside.path()), "data/sub/big.bin");

    QFile file;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("Removed the symbolic link"));
    helper.openFileBelow(QDir(inside.path()), path, file, QIODevice::ReadWrite | QIODevice::Unbuffered);
    QCOMPARE(file.fileName(), path);
    QCOMPARE(file.size(), 0); // the link's target was never opened
    QCOMPARE(file.write("new"), 3);
    file.close();

    QCOMPARE(readBytes(path), QByteArray("new"));
    for (const char* component : { "data", "data/sub", "data/sub/big.bin" })
        QVERIFY2(!QFileInfo(inside.filePath(component)).isSymLink(), component);
    QCOMPARE(snapshot(outside.path()), outsideBefore);
    QCOMPARE(readBytes(inside.filePath("other.bin")), QByteArray("other"));
    QCOMPARE(readBytes(inside.filePath("keep/sub/big.bin")), QByteArray("kept"));

    // Once the links are gone, folders and files are reused as they are.
    helper.createFolderBelow(QDir(inside.path()), inside.filePath("data/sub/deeper"));
    QVERIFY(QFileInfo(inside.filePath("data/sub/deeper")).isDir());
    QVERIFY(!helper.removeLinksBelow(QDir(inside.path()), path));
    helper.openFileBelow(QDir(inside.path()), path, file, QIODevice::WriteOnly | QIODevice::Truncate);
    file.close();
    QCOMPARE(readBytes(path), QByteArray());
}

void TestFileSystemHelper::removalBelowAFolderNeverFollowsLinks_data()
{
    QTest::addColumn<QString>("where");
    QTest::addColumn<QString>("target");
    QTest::addColumn<QString>("removed");
    QTest::addColumn<bool>("gone");
    QTest::newRow("file link") << "data/old.bin"
                               << "outside/old.bin"
                               << "data/old.bin" << true;
    QTest::newRow("folder link at the path") << "data"
                                             << "outside/"
                                             << "data" << true;
    QTest::newRow("folder link on the way") << "data"
                                            << "outside/"
                                            << "data/old.bin" << false;
    QTest::newRow("link inside a removed folder") << "data/link"
                                                  << "outside/"
                                                  << "data" << true;
    QTest::newRow("link on the way to a file inside") << "data"
                                                      << "inside/keep/"
                                                      << "data/old.bin" << false;
}

void TestFileSystemHelper::removalBelowAFolderNeverFollowsLinks()
{
    QFETCH(QString, where);
    QFETCH(QString, target);
    QFETCH(QString, removed);
    QFETCH(bool, gone);
    QTemporaryDir inside;
    QTemporaryDir outside;
    writeBytes(outside.filePath("old.bin"), "outside");
    writeBytes(inside.filePath("keep/old.bin"), "kept");
    plant(inside.path(), outside.path(), { where, target });
    const QStringList outsideBefore = snapshot(outside.path());
    const QString path = inside.filePath(removed);
    QCOMPARE(helper.reachableWithoutLinks(QDir(inside.path()), path), gone);

    helper.removeBelow(QDir(inside.path()), path);
    QCOMPARE(!QFileInfo(path).exists() && !QFileInfo(path).isSymLink(), gone);
    QCOMPARE(snapshot(outside.path()), outsideBefore);
    QCOMPARE(readBytes(inside.filePath("keep/old.bin")), QByteArray("kept"));
    // A missing path is nothing to do.
    helper.removeBelow(QDir(inside.path()), inside.filePath("missing/file"));
}

void TestFileSystemHelper::pathsOutsideTheFolderAreRefused()
{
    QTemporaryDir inside;
    QFile file;
    for (const QString& path : { QDir::cleanPath(inside.path() + "/.."), inside.path(), QStringLiteral("/etc/hostname"),
             inside.path() + "x/file" }) {
        QVERIFY2(errorText([&] { helper.openFileBelow(QDir(inside.path()), path, file, QIODevice::WriteOnly); })
                     .startsWith("Refused path"),
            qPrintable(path));
        QVERIFY(errorText([&] { helper.removeBelow(QDir(inside.path()), path); }).startsWith("Refused path"));
    }
    QVERIFY(!file.isOpen());
}

void TestFileSystemHelper::permissionsThroughTheOpenFile()
{
    QTemporaryDir inside;
    QTemporaryDir outside;
    writeBytes(outside.filePath("tool"), "x");
    QVERIFY(QFile::setPermissions(outside.filePath("tool"), QFile::ReadOwner | QFile::WriteOwner));
    QFile file;
    helper.openFileBelow(QDir(inside.path()), inside.filePath("tool"), file, QIODevice::WriteOnly);
    shared::addPermissions(file, QFileDevice::ExeOwner | QFileDevice::ExeGroup | QFileDevice::ExeOther);
    file.close();
    QVERIFY(QFileInfo(inside.filePath("tool")).isExecutable());
    QCOMPARE(QFile::permissions(inside.filePath("tool")) & QFileDevice::ExeOther, QFileDevice::ExeOther);
    QVERIFY(!QFileInfo(outside.filePath("tool")).isExecutable());
}

QTEST_GUILESS_MAIN(TestFileSystemHelper)
#include "tst_filesystemhelper.moc"
