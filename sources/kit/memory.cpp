#include "sources/kit/memory.h"

#include <atomic>
#include <cstring>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include "platform/win32.h"

namespace dskit {

namespace {

struct DsmMemory
{
    DSM_MEMALLOCATE allocate = nullptr;
    DSM_MEMFREE free = nullptr;
    DSM_MEMLOCK lock = nullptr;
    DSM_MEMUNLOCK unlock = nullptr;
};

// Notifier threads never allocate; the DSM sets the record before MSG_OPENDS.
DsmMemory g_dsm;
std::atomic<bool> g_useDsm{false};

} // namespace

void useDsmMemory(const TW_ENTRYPOINT* ep)
{
    if (ep && ep->DSM_MemAllocate && ep->DSM_MemFree && ep->DSM_MemLock && ep->DSM_MemUnlock) {
        g_dsm.allocate = ep->DSM_MemAllocate;
        g_dsm.free = ep->DSM_MemFree;
        g_dsm.lock = ep->DSM_MemLock;
        g_dsm.unlock = ep->DSM_MemUnlock;
        g_useDsm = true;
    } else {
        g_useDsm = false;
    }
}

bool dsmMemory()
{
    return g_useDsm;
}

TW_HANDLE memAllocate(std::size_t size, bool moveable, bool zeroed)
{
    if (!g_useDsm)
        return GlobalAlloc((moveable ? GMEM_MOVEABLE : GMEM_FIXED) | (zeroed ? GMEM_ZEROINIT : 0), size);
    if (size > 0xFFFFFFFFu)
        return nullptr;
    TW_HANDLE h = g_dsm.allocate(static_cast<TW_UINT32>(size));
    if (void* p = h ? g_dsm.lock(h) : nullptr) {
        if (zeroed)
            std::memset(p, 0, size);
        g_dsm.unlock(h);
    } else if (h) {
        g_dsm.free(h);
        h = nullptr;
    }
    return h;
}

void memFree(TW_HANDLE h)
{
    if (!h)
        return;
    if (g_useDsm)
        g_dsm.free(h);
    else
        GlobalFree(h);
}

void* memLock(TW_HANDLE h)
{
    if (!h)
        return nullptr;
    return g_useDsm ? g_dsm.lock(h) : GlobalLock(h);
}

void memUnlock(TW_HANDLE h)
{
    if (!h)
        return;
    if (g_useDsm)
        g_dsm.unlock(h);
    else
        GlobalUnlock(h);
}

std::size_t memSize(TW_HANDLE h)
{
    if (!h)
        return 0;
    if (!g_useDsm)
        return GlobalSize(h);
    std::size_t size = 0;
    void* p = g_dsm.lock(h);
    // On Linux the DSM's blocks come from the C heap, the handle being the block.
#if defined(__GLIBC__)
    if (p && p == h)
        size = malloc_usable_size(p);
#endif
    if (p)
        g_dsm.unlock(h);
    return size;
}

} // namespace dskit
