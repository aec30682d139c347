#pragma once

#include <QList>
#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace korvane::test {

// Collects every message issued during its lifetime, from any thread, with its type.
class TMessages
{
public:
    TMessages()
    {
        instance = this;
        previous = qInstallMessageHandler([](QtMsgType Type, const QMessageLogContext&, const QString& Text) {
            QMutexLocker lock(&instance->mutex);
            instance->messages.append({ Type, Text });
        });
    }
    ~TMessages()
    {
        qInstallMessageHandler(previous);
        instance = nullptr;
    }
    TMessages(const TMessages&) = delete;
    TMessages& operator=(const TMessages&) = delete;

    QStringList all() const
    {
        return texts([](QtMsgType) { return true; });
    }
    QStringList matching(const QString& Part) const { return all().filter(Part); }
    // The texts of the messages of one type, such as QtWarningMsg.
    QStringList of(QtMsgType Type) const
    {
        return texts([Type](QtMsgType Other) { return Other == Type; });
    }

private:
    struct TMessage
    {
        QtMsgType type;
        QString text;
    };

    template<typename TKeep> QStringList texts(TKeep Keep) const
    {
        QMutexLocker lock(&mutex);
        QStringList kept;
        for (const TMessage& message : messages) {
            if (Keep(message.type))
                kept.append(message.text);
        }
        return kept;
    }

    static inline TMessages* instance = nullptr;
    QtMessageHandler previous = nullptr;
    mutable QMutex mutex;
    QList<TMessage> messages;
};

} // namespace korvane::test
