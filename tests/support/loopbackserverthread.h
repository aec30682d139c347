#pragma once

#include "support/loopbackserver.h"

#include <QMetaObject>
#include <QThread>

#include <functional>
#include <memory>

namespace korvane::test {

// A loopback server that answers from its own thread, for tests whose process helpers block the test's
// thread while they wait for a launcher.
class TServerThread
{
public:
    explicit TServerThread(const std::function<void(TLoopbackServer&)>& setUp)
        : server(std::make_unique<TLoopbackServer>())
    {
        setUp(*server);
        server->moveToThread(&thread);
        thread.start();
    }
    ~TServerThread()
    {
        QMetaObject::invokeMethod(
            server.get(), [this] { server.reset(); }, Qt::BlockingQueuedConnection);
        thread.quit();
        thread.wait();
    }
    TLoopbackServer& operator*() const { return *server; }
    TLoopbackServer* operator->() const { return server.get(); }

private:
    QThread thread;
    std::unique_ptr<TLoopbackServer> server;
};

} // namespace korvane::test
