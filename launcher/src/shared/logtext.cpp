#include "shared/logtext.h"

#include <QLoggingCategory>

#include <algorithm>

namespace shared {

namespace {

// Characters the framework prints as they are inside quotes.
bool printsAsItIs(const QString& Text)
{
    return std::all_of(Text.cbegin(), Text.cend(), [](QChar Character) {
        const char16_t code = Character.unicode();
        return code >= 0x20 && code < 0x7f && code != u'"' && code != u'\\';
    });
}

} // namespace

TLogText TLogText::url(const QUrl& Url)
{
    // A chunk's lines on one thread name the same URL one after the other.
    thread_local QUrl lastUrl;
    thread_local QString lastText;
    if (Url != lastUrl || lastText.isNull()) {
        lastUrl = Url;
        lastText = Url.toDisplayString();
    }
    return TLogText(lastText, true);
}

QDebug operator<<(QDebug Debug, const TLogText& Logged)
{
    const QDebugStateSaver saver(Debug);
    Debug.nospace();
    if (Logged.isUrl)
        Debug << "QUrl(";
    if (printsAsItIs(Logged.text))
        Debug.noquote() << '"' << Logged.text << '"';
    else
        Debug << Logged.text;
    if (Logged.isUrl)
        Debug << ')';
    return Debug;
}

TLogLine::TLogLine(QtMsgType Type)
    : type(Type)
    , enabled(QLoggingCategory::defaultCategory()->isEnabled(Type))
{
    if (enabled)
        text.reserve(200);
}

TLogLine::~TLogLine()
{
    if (!enabled)
        return;
    if (text.endsWith(u' '))
        text.chop(1);
    QMessageLogger logger;
    switch (type) {
    case QtDebugMsg:
        logger.debug().noquote() << text;
        break;
    case QtWarningMsg:
        logger.warning().noquote() << text;
        break;
    case QtCriticalMsg:
    case QtFatalMsg:
        logger.critical().noquote() << text;
        break;
    default:
        logger.info().noquote() << text;
        break;
    }
}

void TLogLine::appendFromStream(const std::function<void(QDebug)>& Write)
{
    QString piece;
    Write(QDebug(&piece));
    if (piece.endsWith(u' '))
        piece.chop(1);
    text += piece;
    text += u' ';
}

TLogLine& TLogLine::operator<<(const char* Text)
{
    if (!enabled)
        return *this;
    // The stream reads text as UTF-8; the lines' own words are ASCII and need no conversion.
    const QLatin1StringView view(Text);
    if (std::all_of(view.begin(), view.end(), [](char Character) { return uchar(Character) < 0x80; }))
        text += view;
    else
        text += QString::fromUtf8(Text);
    text += u' ';
    return *this;
}

TLogLine& TLogLine::operator<<(const TLogText& Text)
{
    if (!enabled)
        return *this;
    if (!printsAsItIs(Text.text)) {
        appendFromStream([&](QDebug Debug) { Debug << Text; });
        return *this;
    }
    if (Text.isUrl)
        text += u"QUrl(";
    text += u'"';
    text += Text.text;
    text += u'"';
    if (Text.isUrl)
        text += u')';
    text += u' ';
    return *this;
}

TLogLine& TLogLine::operator<<(const void* Pointer)
{
    if (enabled) {
        text += u"0x";
        text += QString::number(quintptr(Pointer), 16);
        text += u' ';
    }
    return *this;
}

TLogLine& TLogLine::operator<<(qint64 Number)
{
    if (enabled) {
        text += QString::number(Number);
        text += u' ';
    }
    return *this;
}

TLogLine& TLogLine::operator<<(quint64 Number)
{
    if (enabled) {
        text += QString::number(Number);
        text += u' ';
    }
    return *this;
}

} // namespace shared
