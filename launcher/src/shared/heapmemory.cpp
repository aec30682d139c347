#include "shared/heapmemory.h"

#include <malloc.h>

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

} // namespace shared
