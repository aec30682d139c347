#pragma once

#include <QMutex>
#include <QMutexLocker>
#include <QString>
#include <QStringList>
#include <QtGlobal>

namespace korvane::test {

// Collects the texts of every message issued during its lifetime, from any thread.
class TMessages
{
public:
    TMessages()
    {
        instance = this;
        previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& Text) {
            QMutexLocker lock(&instance->mutex);
            instance->lines.append(Text);
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
        QMutexLocker lock(&mutex);
        return lines;
    }
    QStringList matching(const QString& Part) const { return all().filter(Part); }

private:
    static inline TMessages* instance = nullptr;
    QtMessageHandler previous = nullptr;
    mutable QMutex mutex;
    QStringList lines;
};

} // namespace korvane::test
