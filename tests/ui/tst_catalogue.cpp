#include <QDirIterator>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QTranslator>
#include <QXmlStreamReader>
#include <QtTest>

namespace {

const QString catalogueSource = QStringLiteral(KORVANE_SOURCE_DIR "/launcher/translations/launcher.en.ts");

struct TMessage
{
    QString source;
    QString translation;
};

// The messages of a catalogue source by id; empty when it cannot be read.
QMap<QString, TMessage> readCatalogue(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QMap<QString, TMessage> messages;
    QXmlStreamReader xml(&file);
    QString id;
    while (!xml.atEnd()) {
        if (xml.readNext() != QXmlStreamReader::StartElement)
            continue;
        if (xml.name() == QLatin1String("message")) {
            id = xml.attributes().value(QLatin1String("id")).toString();
        } else if (xml.name() == QLatin1String("source")) {
            messages[id].source = xml.readElementText();
        } else if (xml.name() == QLatin1String("translation")) {
            messages[id].translation = xml.readElementText();
        }
    }
    return xml.hasError() ? QMap<QString, TMessage>() : messages;
}

// The launcher's sources, by path relative to the source folder.
QMap<QString, QString> readSources()
{
    QMap<QString, QString> sources;
    const QString root = QStringLiteral(KORVANE_SOURCE_DIR "/launcher/src");
    QDirIterator it(root, { "*.cpp", "*.h" }, QDir::Files, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        QFile file(it.next());
        if (file.open(QIODevice::ReadOnly))
            sources.insert(QDir(root).relativeFilePath(file.fileName()), QString::fromUtf8(file.readAll()));
    }
    return sources;
}

// The number of arguments that follow the id in a call, counted from just behind the id's literal to
// the call's closing parenthesis; -1 when the call does not end.
int argumentsAfter(const QString& text, qsizetype from)
{
    int depth = 0;
    int count = 0;
    for (qsizetype i = from; i < text.size(); ++i) {
        const QChar c = text[i];
        if (c == QLatin1Char('"') || c == QLatin1Char('\'')) {
            for (++i; i < text.size() && text[i] != c; ++i) {
                if (text[i] == QLatin1Char('\\'))
                    ++i;
            }
        } else if (c == QLatin1Char('(') || c == QLatin1Char('{') || c == QLatin1Char('[')) {
            ++depth;
        } else if (c == QLatin1Char(')') || c == QLatin1Char('}') || c == QLatin1Char(']')) {
            if (depth == 0)
                return count;
            --depth;
        } else if (c == QLatin1Char(',') && depth == 0) {
            ++count;
        }
    }
    return -1;
}

// The numbers of the placeholders %1 to %99 in a text.
QSet<int> placeholdersOf(const QString& text)
{
    QSet<int> numbers;
    static const QRegularExpression placeholder(QStringLiteral("%(\\d{1,2})"));
    for (const QRegularExpressionMatch& match : placeholder.globalMatch(text))
        numbers.insert(match.captured(1).toInt());
    return numbers;
}

} // namespace

class TestCatalogue : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void catalogueHoldsEveryIdOfTheSources();
    void placeholdersMatchTheArguments();
    void builtCatalogueLiesNextToTheProgram();

private:
    QMap<QString, TMessage> catalogue;
    QMap<QString, QString> sources;
};

void TestCatalogue::initTestCase()
{
    catalogue = readCatalogue(catalogueSource);
    QVERIFY2(!catalogue.isEmpty(), qPrintable(catalogueSource));
    sources = readSources();
    QVERIFY(!sources.isEmpty());
}

void TestCatalogue::catalogueHoldsEveryIdOfTheSources()
{
    // Ids reach qtTrId directly or through a table or a helper, always as a literal somewhere; an id in
    // capitals or outside the launcher's names would show as missing.
    static const QRegularExpression idLiteral(
        QStringLiteral("\"(launcher(?:\\.[a-z0-9_]+){2,})\""), QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression directCall(QStringLiteral("qtTrId\\(\\s*\"([^\"]*)\""));
    QSet<QString> used;
    for (const QString& text : std::as_const(sources)) {
        for (const QRegularExpression* pattern : { &idLiteral, &directCall }) {
            for (const QRegularExpressionMatch& match : pattern->globalMatch(text))
                used.insert(match.captured(1));
        }
    }
    QVERIFY(used.size() > 20);
    const QSet<QString> listed(catalogue.keyBegin(), catalogue.keyEnd());
    QStringList missing = (used - listed).values();
    QStringList unused = (listed - used).values();
    missing.sort();
    unused.sort();
    QVERIFY2(missing.isEmpty(), qPrintable(QStringLiteral("not in the catalogue: ") + missing.join(", ")));
    QVERIFY2(unused.isEmpty(), qPrintable(QStringLiteral("used nowhere: ") + unused.join(", ")));

    for (auto it = catalogue.cbegin(); it != catalogue.cend(); ++it) {
        QVERIFY2(!it->translation.trimmed().isEmpty(), qPrintable(it.key()));
        // English is the source language: the reference wording for translators is the text shown.
        QVERIFY2(it->source == it->translation, qPrintable(it.key()));
    }
}

void TestCatalogue::placeholdersMatchTheArguments()
{
    // Every text that takes arguments goes through translatedText with its id as a literal.
    static const QRegularExpression call(QStringLiteral("translatedText\\(\\s*\"([^\"]+)\""));
    QMap<QString, int> argumentCounts;
    for (auto it = sources.cbegin(); it != sources.cend(); ++it) {
        for (const QRegularExpressionMatch& match : call.globalMatch(it.value())) {
            const QString id = match.captured(1);
            const int count = argumentsAfter(it.value(), match.capturedEnd());
            QVERIFY2(count > 0, qPrintable(it.key() + QStringLiteral(": ") + id));
            QVERIFY2(
                argumentCounts.value(id, count) == count, qPrintable(id + QStringLiteral(" with varying arguments")));
            argumentCounts.insert(id, count);
        }
        // A text filled in by QString::arg drops its value and warns when the catalogue lacks the place.
        static const QRegularExpression bareArg(QStringLiteral("qtTrId\\([^()]*\\)\\s*\\.arg\\("));
        QVERIFY2(!bareArg.match(it.value()).hasMatch(), qPrintable(it.key()));
    }
    QVERIFY(argumentCounts.contains(QStringLiteral("launcher.about.text")));

    for (auto it = catalogue.cbegin(); it != catalogue.cend(); ++it) {
        const int count = argumentCounts.value(it.key(), 0);
        QSet<int> wanted;
        for (int n = 1; n <= count; ++n)
            wanted.insert(n);
        QVERIFY2(placeholdersOf(it->translation) == wanted,
            qPrintable(QStringLiteral("%1 takes %2 argument(s): %3").arg(it.key()).arg(count).arg(it->translation)));
    }
}

void TestCatalogue::builtCatalogueLiesNextToTheProgram()
{
    // The shipped state: the build compiled the catalogue where the program looks for it.
    const QString programFolder = QFileInfo(QStringLiteral(KORVANE_LAUNCHER_BINARY)).absolutePath();
    QTranslator translator;
    QVERIFY2(translator.load(QStringLiteral("launcher.en"), programFolder), qPrintable(programFolder));
    for (auto it = catalogue.cbegin(); it != catalogue.cend(); ++it)
        QCOMPARE(translator.translate(nullptr, it.key().toLatin1().constData()), it->translation);
}

QTEST_GUILESS_MAIN(TestCatalogue)
#include "tst_catalogue.moc"
