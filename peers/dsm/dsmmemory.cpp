#include "peers/dsm/dsmmemory.h"

#include "peers/dsm/manager.h"

#include <cstdlib>

namespace peerdsm {

namespace {

// The C heap, as a TWAIN 2 DSM on Linux hands it out: the handle is the block
// itself, and Win32 global memory knows nothing of it, so a party that mixes
// the two allocators fails at once.
TW_HANDLE TW_CALLINGSTYLE memAllocate(TW_UINT32 size)
{
    // A zero-byte block is still a block that can be freed.
    return std::calloc(size ? size : 1, 1);
}

void TW_CALLINGSTYLE memFree(TW_HANDLE handle)
{
    std::free(handle);
}

TW_MEMREF TW_CALLINGSTYLE memLock(TW_HANDLE handle)
{
    return handle;
}

void TW_CALLINGSTYLE memUnlock(TW_HANDLE) {}

} // namespace

TW_ENTRYPOINT makeEntryPoint()
{
    TW_ENTRYPOINT ep{};
    ep.Size = sizeof(TW_ENTRYPOINT);
    ep.DSM_Entry = dsmEntry;
    ep.DSM_MemAllocate = memAllocate;
    ep.DSM_MemFree = memFree;
    ep.DSM_MemLock = memLock;
    ep.DSM_MemUnlock = memUnlock;
    return ep;
}

} // namespace peerdsm
