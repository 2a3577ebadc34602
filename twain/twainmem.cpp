#include "twain/twainmem.h"

#include "platform/win32.h"
#include "twain/dsmlib.h"

namespace {
// GMEM_ZEROINIT without GMEM_MOVEABLE: the handle is the block itself.
const UINT kAllocFlags = 0x0040;
} // namespace

TW_HANDLE DSMAlloc(TW_UINT32 nSize)
{
    if (g_DSMEntryPoint.DSM_MemAllocate)
        return g_DSMEntryPoint.DSM_MemAllocate(nSize);
    return GlobalAlloc(kAllocFlags, nSize);
}

TW_HANDLE DSMFree(TW_HANDLE hMem)
{
    if (g_DSMEntryPoint.DSM_MemFree) {
        g_DSMEntryPoint.DSM_MemFree(hMem);
        return nullptr;
    }
    return GlobalFree(hMem);
}

TW_MEMREF DSMLock(TW_HANDLE hMem)
{
    if (g_DSMEntryPoint.DSM_MemLock)
        return g_DSMEntryPoint.DSM_MemLock(hMem);
    return GlobalLock(hMem);
}

void DSMUnlock(TW_HANDLE hMem)
{
    if (g_DSMEntryPoint.DSM_MemUnlock) {
        g_DSMEntryPoint.DSM_MemUnlock(hMem);
        return;
    }
    GlobalUnlock(hMem);
}
