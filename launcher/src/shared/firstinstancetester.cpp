#include "shared/firstinstancetester.h"

#include <stdexcept>
#include <string>

namespace shared {

FirstInstanceTester::FirstInstanceTester()
    : sharedMemory(QString::fromLatin1(key))
{
    firstInstance = sharedMemory.create(1, QSharedMemory::ReadWrite);
    if (firstInstance)
        return;
    if (sharedMemory.error() != QSharedMemory::AlreadyExists)
        throwSharedMemoryError();

    // The segment outlives a launcher that was killed. Attaching and detaching removes it when nobody
    // else is attached, so only a live launcher keeps the next creation from succeeding.
    if (sharedMemory.attach(QSharedMemory::ReadOnly)) {
        sharedMemory.detach();
    } else if (sharedMemory.error() != QSharedMemory::NotFound) {
        // Present but not ours to attach (another user's segment): count it as a running launcher.
        return;
    }
    firstInstance = sharedMemory.create(1, QSharedMemory::ReadWrite);
    if (!firstInstance && sharedMemory.error() != QSharedMemory::AlreadyExists)
        throwSharedMemoryError();
}

void FirstInstanceTester::throwSharedMemoryError() const
{
    throw std::runtime_error("QSharedMemory::SharedMemoryError(" + std::to_string(int(sharedMemory.error())) + ")");
}

} // namespace shared
