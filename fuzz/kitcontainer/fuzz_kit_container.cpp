// The container an application's MSG_SET hands a source, read by the kit:
// any ConType and bytes in a block of any size, Win32 global memory or the
// DSM's memory (the C heap here, as a TWAIN 2 DSM on Linux gives it).
//
// Input: [0..1] ConType (little-endian), [2] bit 0 the DSM's memory; then the block's bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "sources/kit/container.h"
#include "sources/kit/memory.h"

namespace {

TW_HANDLE TW_CALLINGSTYLE heapAllocate(TW_UINT32 nSize)
{
    return std::malloc(nSize ? nSize : 1);
}
void TW_CALLINGSTYLE heapFree(TW_HANDLE h)
{
    std::free(h);
}
TW_MEMREF TW_CALLINGSTYLE heapLock(TW_HANDLE h)
{
    return h;
}
void TW_CALLINGSTYLE heapUnlock(TW_HANDLE) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    if (nSize < 3)
        return 0;
    const TW_UINT16 conType = TW_UINT16(pData[0] | (pData[1] << 8));
    TW_ENTRYPOINT ep;
    std::memset(&ep, 0, sizeof(ep));
    ep.DSM_MemAllocate = heapAllocate;
    ep.DSM_MemFree = heapFree;
    ep.DSM_MemLock = heapLock;
    ep.DSM_MemUnlock = heapUnlock;
    dskit::useDsmMemory((pData[2] & 1) ? &ep : nullptr);
    const std::size_t nBlock = nSize - 3;
    TW_HANDLE h = dskit::memAllocate(nBlock, true, false);
    if (!h)
        return 0;
    if (void* p = dskit::memLock(h)) {
        if (nBlock)
            std::memcpy(p, pData + 3, nBlock);
        dskit::memUnlock(h);
    }
    double value = 0;
    (void)dskit::readContainer(h, conType, value);
    dskit::memFree(h);
    dskit::useDsmMemory(nullptr);
    return 0;
}
