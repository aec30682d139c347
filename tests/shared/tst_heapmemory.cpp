#include "shared/heapmemory.h"

#include <QFile>
#include <QTest>

#include <cstring>

#include <unistd.h>

using shared::THeapMemory;

namespace {

constexpr qint64 bufferBytes = 8 * 1024 * 1024;

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    return statm.readAll().split(' ').value(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

// Touches every page, so that the buffer is resident.
QByteArray filledBuffer()
{
    QByteArray buffer(bufferBytes, Qt::Uninitialized);
    std::memset(buffer.data(), 0x5a, size_t(buffer.size()));
    return buffer;
}

} // namespace

class TestHeapMemory : public QObject
{
    Q_OBJECT

private slots:
    void freedBuffersServeTheNextOnesUntilReleased();
};

void TestHeapMemory::freedBuffersServeTheNextOnesUntilReleased()
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    QSKIP("the sanitizer's allocator takes no tuning of the C library's");
#endif
    THeapMemory::keepLargeBuffersInTheHeap();
    const qint64 before = residentBytes();
    QVERIFY(before > 0);
    filledBuffer();
    const qint64 afterFree = residentBytes();
    // Freed, yet still resident for the next buffer: nothing is mapped or faulted in afresh.
    QVERIFY2(afterFree - before > bufferBytes * 3 / 4, qPrintable(QString::number(afterFree - before)));
    {
        const QByteArray next = filledBuffer();
        QVERIFY2(
            residentBytes() - afterFree < bufferBytes / 8, qPrintable(QString::number(residentBytes() - afterFree)));
    }
    THeapMemory::releaseFreeMemory();
    QVERIFY2(
        afterFree - residentBytes() > bufferBytes * 3 / 4, qPrintable(QString::number(afterFree - residentBytes())));
}

QTEST_GUILESS_MAIN(TestHeapMemory)
#include "tst_heapmemory.moc"
