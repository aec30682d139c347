#pragma once

#include <QDebug>
#include <QString>
#include <QUrl>

#include <functional>

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
    friend class TLogLine;

private:
    TLogText(QString Text, bool IsUrl)
        : text(std::move(Text))
        , isUrl(IsUrl)
    { }

    QString text;
    bool isUrl = false;
};

QDebug operator<<(QDebug Debug, const TLogText& Logged);

// One line of the default category, built in one buffer and handed on whole when the builder goes out
// of scope: the same text as the framework's stream gives (items one space apart, strings and URLs
// through TLogText), for the lines written for every chunk:
//
//     TLogLine(QtInfoMsg) << "processFinishedData: " << TLogText::url(url);
class TLogLine
{
public:
    explicit TLogLine(QtMsgType Type);
    ~TLogLine();
    TLogLine(const TLogLine&) = delete;
    TLogLine& operator=(const TLogLine&) = delete;

    TLogLine& operator<<(const char* Text);
    TLogLine& operator<<(const TLogText& Text);
    // Thread ids and other pointers, as "0x" and hexadecimal digits.
    TLogLine& operator<<(const void* Pointer);
    // Thread ids come as void*, which the template below would otherwise take.
    TLogLine& operator<<(void* Pointer) { return *this << static_cast<const void*>(Pointer); }
    TLogLine& operator<<(qint64 Number);
    TLogLine& operator<<(quint64 Number);
    TLogLine& operator<<(int Number) { return *this << qint64(Number); }
    // Anything else the framework's way.
    template<typename T> TLogLine& operator<<(const T& Value)
    {
        if (enabled)
            appendFromStream([&](QDebug Debug) { Debug << Value; });
        return *this;
    }

private:
    void appendFromStream(const std::function<void(QDebug)>& Write);

    QtMsgType type;
    bool enabled = false;
    QString text;
};

} // namespace shared
