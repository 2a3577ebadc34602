#include "dsm/dsmmemory.h"

#include "dsm/manager.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <unordered_set>

namespace peerdsm {

namespace {

// The blocks this DSM handed out and has not freed. A strict DSM refuses a
// handle it never allocated (a source that hands over an address of its own
// as an image): locking it gives null and freeing it does nothing, so nobody
// frees or writes memory that is not a block.
struct Blocks
{
    std::mutex mutex;
    std::unordered_set<const void*> live;
};

Blocks& blocks()
{
    // Never destroyed: parties may free blocks while static objects go.
    static Blocks* s_blocks = new Blocks;
    return *s_blocks;
}

bool isBlock(const void* p)
{
    Blocks& b = blocks();
    std::lock_guard<std::mutex> lock(b.mutex);
    return b.live.count(p) != 0;
}

// The C heap, as a TWAIN 2 DSM on Linux hands it out: the handle is the block
// itself, and Win32 global memory knows nothing of it, so a party that mixes
// the two allocators fails at once.
TW_HANDLE TW_CALLINGSTYLE memAllocate(TW_UINT32 size)
{
    // A zero-byte block is still a block that can be freed.
    void* p = std::calloc(size ? size : 1, 1);
    if (p) {
        Blocks& b = blocks();
        std::lock_guard<std::mutex> lock(b.mutex);
        b.live.insert(p);
    }
    return p;
}

void TW_CALLINGSTYLE memFree(TW_HANDLE handle)
{
    if (!handle)
        return;
    {
        Blocks& b = blocks();
        std::lock_guard<std::mutex> lock(b.mutex);
        if (b.live.erase(handle) == 0) {
            std::fprintf(stderr, "DSM_MemFree: %p is no block of this DSM, left alone\n", handle);
            return;
        }
    }
    std::free(handle);
}

TW_MEMREF TW_CALLINGSTYLE memLock(TW_HANDLE handle)
{
    return handle && isBlock(handle) ? handle : nullptr;
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
