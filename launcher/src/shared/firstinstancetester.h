#pragma once

#include <QObject>
#include <QSharedMemory>

#include <boost/noncopyable.hpp>

namespace shared {

// Tells whether another launcher runs on the machine: the first one holds a named shared-memory
// segment for as long as it lives.
class FirstInstanceTester : public QObject, private boost::noncopyable
{
public:
    // The segment's key; the same in every build and used by nothing else.
    static constexpr const char* key = "6c1f0e2a-94d7-4b3e-a8c5-2d7f19b04e63";

    // Throws std::runtime_error on a shared-memory failure other than finding the segment present.
    FirstInstanceTester();

    bool isFirstInstance() const { return firstInstance; }

private:
    [[noreturn]] void throwSharedMemoryError() const;

    QSharedMemory sharedMemory;
    bool firstInstance = false;
};

} // namespace shared
