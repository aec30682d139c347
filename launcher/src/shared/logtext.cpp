#include "shared/logtext.h"

#include <QLoggingCategory>

#include <algorithm>
#include <array>

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
    // A chunk's URL is logged several times on one thread, between the lines of other chunks: the texts
    // of the last URLs are kept. An entry holds its URL, so its shared data cannot be reused for another
    // one meanwhile, and a URL changed since then has detached from it: the same data is the same URL.
    struct TRecent
    {
        QUrl url;
        QString text;
    };
    thread_local std::array<TRecent, 64> recent;
    thread_local std::size_t next = 0;
    const QUrl::DataPtr data = const_cast<QUrl&>(Url).data_ptr();
    if (!data)
        return TLogText(Url.toDisplayString(), true);
    for (TRecent& entry : recent) {
        if (entry.url.data_ptr() == data)
            return TLogText(entry.text, true);
    }
    TRecent& entry = recent[next];
    next = (next + 1) % recent.size();
    entry.url = Url;
    entry.text = Url.toDisplayString();
    return TLogText(entry.text, true);
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
