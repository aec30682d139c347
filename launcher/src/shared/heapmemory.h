#pragma once

#include <cstddef>

namespace shared {

// Installing allocates and frees buffers of several MB all the time: response bodies, unpacked chunks,
// read blocks of the scan. The C library gives such buffers mappings of their own, or trims freed memory
// off the end of its heaps, so the next buffer is faulted in afresh, 4 KB at a time, which costs more
// than the copying into it. Kept in the heap, freed buffers serve the next ones.
class THeapMemory
{
public:
    // Called first thing in the process, before the buffers it is meant for exist.
    static void keepLargeBuffersInTheHeap();
    // Hands the free memory of the heap back to the system, once the work that needed much is done.
    static void releaseFreeMemory();
    // Makes the whole pages of a buffer about to be written resident in one call; touched one by one,
    // each page costs a fault of its own, which in a virtual machine costs more than filling it. Pages
    // already resident cost little more; a system without the call leaves them to the faults.
    static void makeResident(char* data, std::size_t size);
};

} // namespace shared
