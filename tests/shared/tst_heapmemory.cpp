#include "shared/heapmemory.h"

#include <QFile>
#include <QScopeGuard>
#include <QTest>

#include <cstring>
#include <vector>

#include <sys/mman.h>
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

// Which pages of [data, data + pages * page size) are resident.
QList<bool> residentPages(const char* data, int pages)
{
    std::vector<unsigned char> flags(std::size_t(pages), 0);
    if (mincore(const_cast<char*>(data), std::size_t(pages) * std::size_t(sysconf(_SC_PAGESIZE)), flags.data()) != 0)
        return {};
    QList<bool> resident;
    for (const unsigned char flag : flags)
        resident.append((flag & 1) != 0);
    return resident;
}

} // namespace

class TestHeapMemory : public QObject
{
    Q_OBJECT

private slots:
    void freedBuffersServeTheNextOnesUntilReleased();
    void buffersAboutToBeWrittenBecomeResident();
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

void TestHeapMemory::buffersAboutToBeWrittenBecomeResident()
{
    const qsizetype page = sysconf(_SC_PAGESIZE);
    constexpr int pages = 8;
    void* mapping
        = mmap(nullptr, std::size_t(pages * page), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    QVERIFY(mapping != MAP_FAILED);
    const auto unmap = qScopeGuard([&] { munmap(mapping, std::size_t(pages * page)); });
    char* const base = static_cast<char*>(mapping);
    if (madvise(base + 7 * page, std::size_t(page), MADV_POPULATE_WRITE) != 0)
        QSKIP("this system cannot make pages resident in one call");
    base[2 * page] = 'x';

    // From the middle of page 0 to the middle of page 5: whole pages 1 to 4 only; nothing at all for a
    // buffer that fills no page, or is empty.
    shared::THeapMemory::makeResident(base + page / 2, std::size_t(5 * page));
    shared::THeapMemory::makeResident(base + 5 * page + 1, std::size_t(page - 2));
    shared::THeapMemory::makeResident(base + 6 * page, 0);
    QCOMPARE(residentPages(base, pages), QList<bool>({ false, true, true, true, true, false, false, true }));
    QCOMPARE(base[2 * page], 'x');
    QCOMPARE(base[3 * page], '\0');
}

QTEST_GUILESS_MAIN(TestHeapMemory)
#include "tst_heapmemory.moc"
