#include "shared/heapmemory.h"

#include <cstdint>

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

namespace shared {

void THeapMemory::keepLargeBuffersInTheHeap()
{
    // The largest threshold the library takes; a chunk of any usual size lies below it.
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    // High, so that the heap does not shrink between one buffer and the next; the installation manager
    // hands the free memory back once its installations are done.
    mallopt(M_TRIM_THRESHOLD, 256 * 1024 * 1024);
}

void THeapMemory::releaseFreeMemory()
{
    malloc_trim(0);
}

void THeapMemory::makeResident(char* data, std::size_t size)
{
#ifdef MADV_POPULATE_WRITE
    static const std::uintptr_t pageSize = std::uintptr_t(sysconf(_SC_PAGESIZE));
    // Whole pages only: those at the ends hold other memory too and are mostly resident already.
    const std::uintptr_t first = (std::uintptr_t(data) + pageSize - 1) & ~(pageSize - 1);
    const std::uintptr_t end = (std::uintptr_t(data) + size) & ~(pageSize - 1);
    if (size > 0 && end > first)
        madvise(reinterpret_cast<void*>(first), end - first, MADV_POPULATE_WRITE);
#else
    (void)data;
    (void)size;
#endif
}

} // namespace shared
