#include "twain/twainmem.h"

#include <algorithm>
#include <cstring>

#if defined(__linux__)
#include <malloc.h>
#elif defined(__APPLE__)
#include <malloc/malloc.h>
#endif

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
        if (hMem)
            g_DSMEntryPoint.DSM_MemFree(hMem);
        return nullptr;
    }
    return GlobalFree(hMem);
}

TW_MEMREF DSMLock(TW_HANDLE hMem)
{
    if (g_DSMEntryPoint.DSM_MemLock)
        return hMem ? g_DSMEntryPoint.DSM_MemLock(hMem) : nullptr;
    return GlobalLock(hMem);
}

void DSMUnlock(TW_HANDLE hMem)
{
    if (g_DSMEntryPoint.DSM_MemUnlock) {
        if (hMem)
            g_DSMEntryPoint.DSM_MemUnlock(hMem);
        return;
    }
    GlobalUnlock(hMem);
}

bool DSMOwnMemory()
{
    return g_DSMEntryPoint.DSM_MemAllocate && g_DSMEntryPoint.DSM_MemFree && g_DSMEntryPoint.DSM_MemLock &&
           g_DSMEntryPoint.DSM_MemUnlock;
}

std::size_t DSMSize(TW_HANDLE hMem)
{
    if (!DSMOwnMemory())
        return GlobalSize(hMem);
    if (!hMem)
        return 0;
    std::size_t nSize = 0;
    void* p = g_DSMEntryPoint.DSM_MemLock(hMem);
#if defined(_WIN32)
    // A DSM on Windows hands out Win32 global memory: the system knows the
    // block's size (0 for a handle that is not such a block).
    if (p)
        nSize = GlobalSize(hMem);
#elif defined(__linux__) || defined(__APPLE__)
    // A DSM elsewhere allocates from the C heap and its handle is the block:
    // only then does the heap know the block's size.
    if (p && p == hMem) {
#if defined(__APPLE__)
        nSize = malloc_size(p);
#else
        nSize = malloc_usable_size(p);
#endif
    }
#endif
    if (p)
        g_DSMEntryPoint.DSM_MemUnlock(hMem);
    return nSize;
}

HGLOBAL DSMToGlobal(TW_HANDLE hMem, DSMKeepFn pfnKeep)
{
    if (!hMem || !DSMOwnMemory())
        return hMem;
    std::size_t nSize = DSMSize(hMem);
    HGLOBAL hCopy = nullptr;
    if (nSize > 0) {
        const void* p = g_DSMEntryPoint.DSM_MemLock(hMem);
        if (p) {
            if (pfnKeep)
                nSize = std::min(nSize, pfnKeep(static_cast<const unsigned char*>(p), nSize));
            hCopy = nSize > 0 ? GlobalAlloc(GMEM_MOVEABLE, nSize) : nullptr;
            if (void* pCopy = hCopy ? GlobalLock(hCopy) : nullptr) {
                std::memcpy(pCopy, p, nSize);
                GlobalUnlock(hCopy);
            }
            g_DSMEntryPoint.DSM_MemUnlock(hMem);
        }
    }
    g_DSMEntryPoint.DSM_MemFree(hMem);
    return hCopy;
}
