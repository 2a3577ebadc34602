#include "peers/dsm/dsmmemory.h"

#include "peers/dsm/manager.h"
#include "platform/win32.h"

namespace peerdsm {

namespace {

// Moveable blocks: their handles are not pointers, so a party that forgets to
// lock one fails at once instead of working by accident.
TW_HANDLE TW_CALLINGSTYLE memAllocate(TW_UINT32 size)
{
    return GlobalAlloc(GMEM_MOVEABLE | GMEM_ZEROINIT, size);
}

void TW_CALLINGSTYLE memFree(TW_HANDLE handle)
{
    if (handle)
        GlobalFree(handle);
}

TW_MEMREF TW_CALLINGSTYLE memLock(TW_HANDLE handle)
{
    return handle ? GlobalLock(handle) : nullptr;
}

void TW_CALLINGSTYLE memUnlock(TW_HANDLE handle)
{
    if (handle)
        GlobalUnlock(handle);
}

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
