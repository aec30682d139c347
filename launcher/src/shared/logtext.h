#pragma once

#include <QDebug>
#include <QString>
#include <QUrl>

namespace shared {

// A URL or a string for a log line, printed exactly as the framework prints them to a quoting stream
// (QUrl("...") and "..."), but in one piece: the framework quotes character by character, which costs
// more than the rest of a chunk's log line. Text that needs escapes goes the framework's way.
class TLogText
{
public:
    static TLogText url(const QUrl& Url);
    static TLogText quoted(const QString& Text) { return TLogText(Text, false); }

    friend QDebug operator<<(QDebug Debug, const TLogText& Logged);

private:
    TLogText(QString Text, bool IsUrl)
        : text(std::move(Text))
        , isUrl(IsUrl)
    { }

    QString text;
    bool isUrl = false;
};

QDebug operator<<(QDebug Debug, const TLogText& Logged);

} // namespace shared
