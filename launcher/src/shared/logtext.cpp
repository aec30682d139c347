#include "shared/logtext.h"

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

} // namespace shared
