// Global memory: GlobalAlloc and friends over one process-wide table.

#include "platform/win32.h"
#include "platform/win32_unix_p.h"

#include <sys/mman.h>

#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <vector>

#if defined(__SANITIZE_ADDRESS__)
#define PELIRAND_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define PELIRAND_ASAN 1
#endif
#endif
#ifdef PELIRAND_ASAN
#include <sanitizer/asan_interface.h>
#endif

namespace {

// A 32-bit Windows process cannot hold a larger block either.
constexpr SIZE_T kMaxBlock = 0x7FFFFFFF;
// Fill for memory the caller did not ask to be zeroed, so that reliance on
// zeroed memory shows.
constexpr unsigned char kFill = 0xBA;

// Moveable handles are addresses inside a reserved range that is never made
// accessible, so reading through a handle faults instead of silently working.
// The offset keeps them off the alignment of heap pointers.
constexpr uintptr_t kSlotStride = 8;
constexpr uintptr_t kSlotOffset = 4;
#if UINTPTR_MAX > 0xFFFFFFFFu
constexpr size_t kRangeBytes = size_t(16) << 20;
#else
constexpr size_t kRangeBytes = size_t(1) << 20;
#endif
constexpr uint32_t kSlotCount = uint32_t(kRangeBytes / kSlotStride);

struct Block
{
    unsigned char* pData = nullptr; // null: moveable block discarded (size 0)
    SIZE_T nSize = 0;
    bool bMoveable = false;
    UINT nLocks = 0;
    uint32_t nSlot = 0;
};

void poisonTail(unsigned char* pData, SIZE_T nFrom, SIZE_T nTo)
{
#ifdef PELIRAND_ASAN
    if (nTo > nFrom)
        ASAN_POISON_MEMORY_REGION(pData + nFrom, nTo - nFrom);
#else
    (void)pData;
    (void)nFrom;
    (void)nTo;
#endif
}

class MemoryTable
{
public:
    static MemoryTable& instance()
    {
        // Never destroyed: libraries may free blocks while the process exits.
        static MemoryTable* s_pTable = new MemoryTable;
        return *s_pTable;
    }

    std::mutex m_mutex;

    HGLOBAL handleOf(const Block* pBlock) const
    {
        if (!pBlock->bMoveable)
            return pBlock->pData;
        return reinterpret_cast<HGLOBAL>(m_uBase + pBlock->nSlot * kSlotStride + kSlotOffset);
    }

    Block* find(HGLOBAL hMem) const
    {
        const uintptr_t uValue = reinterpret_cast<uintptr_t>(hMem);
        if (!uValue)
            return nullptr;
        if (m_uBase && uValue >= m_uBase && uValue - m_uBase < kRangeBytes) {
            const uintptr_t uOffset = uValue - m_uBase;
            if (uOffset % kSlotStride != kSlotOffset)
                return nullptr;
            const size_t nSlot = uOffset / kSlotStride;
            return nSlot < m_lstSlots.size() ? m_lstSlots[nSlot] : nullptr;
        }
        const auto it = m_byData.find(hMem);
        return it != m_byData.end() && !it->second->bMoveable ? it->second : nullptr;
    }

    Block* findByData(const void* pData) const
    {
        const auto it = m_byData.find(pData);
        return it != m_byData.end() ? it->second : nullptr;
    }

    // Fresh slots first; freed ones only after all others have been handed out,
    // so a stale handle does not quickly name a new block.
    bool takeSlot(Block* pBlock)
    {
        if (!m_uBase && !reserveRange())
            return false;
        uint32_t nSlot;
        if (m_nFresh < kSlotCount) {
            nSlot = m_nFresh++;
            m_lstSlots.push_back(nullptr);
        } else if (!m_lstFreeSlots.empty()) {
            nSlot = m_lstFreeSlots.front();
            m_lstFreeSlots.pop_front();
        } else {
            return false;
        }
        m_lstSlots[nSlot] = pBlock;
        pBlock->nSlot = nSlot;
        return true;
    }

    void releaseSlot(Block* pBlock)
    {
        m_lstSlots[pBlock->nSlot] = nullptr;
        m_lstFreeSlots.push_back(pBlock->nSlot);
    }

    void setData(Block* pBlock, unsigned char* pData)
    {
        if (pBlock->pData)
            m_byData.erase(pBlock->pData);
        pBlock->pData = pData;
        if (pData)
            m_byData[pData] = pBlock;
    }

private:
    bool reserveRange()
    {
        void* pRange =
            mmap(nullptr, kRangeBytes, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        if (pRange == MAP_FAILED)
            return false;
        m_uBase = reinterpret_cast<uintptr_t>(pRange);
        return true;
    }

    uintptr_t m_uBase = 0;
    uint32_t m_nFresh = 0;
    std::vector<Block*> m_lstSlots;
    std::deque<uint32_t> m_lstFreeSlots;
    std::unordered_map<const void*, Block*> m_byData;
};

// New storage of nSize bytes: the first nKeep copied from pOld, the rest zeroed
// or filled. Null when out of memory.
unsigned char* newData(SIZE_T nSize, const unsigned char* pOld, SIZE_T nKeep, bool bZero)
{
    auto* pData = static_cast<unsigned char*>(std::malloc(nSize ? nSize : 1));
    if (!pData)
        return nullptr;
    if (nKeep)
        std::memcpy(pData, pOld, nKeep);
    std::memset(pData + nKeep, bZero ? 0 : kFill, nSize - nKeep);
    return pData;
}

// Moves the block to new storage of nSize bytes.
bool moveBlock(MemoryTable& table, Block* pBlock, SIZE_T nSize, bool bZero)
{
    const SIZE_T nKeep = pBlock->nSize < nSize ? pBlock->nSize : nSize;
    unsigned char* pOld = pBlock->pData;
    unsigned char* pNew = newData(nSize, pOld, nKeep, bZero);
    if (!pNew)
        return false;
    table.setData(pBlock, pNew);
    pBlock->nSize = nSize;
    std::free(pOld);
    return true;
}

HGLOBAL fail(DWORD dwError)
{
    SetLastError(dwError);
    return nullptr;
}

} // namespace

extern "C" {

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes)
{
    if (dwBytes > kMaxBlock)
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    MemoryTable& table = MemoryTable::instance();
    auto* pBlock = new Block;
    pBlock->bMoveable = (uFlags & GMEM_MOVEABLE) != 0;
    pBlock->nSize = dwBytes;
    // A moveable block of 0 bytes starts discarded, as Windows documents.
    if (!pBlock->bMoveable || dwBytes) {
        pBlock->pData = newData(dwBytes, nullptr, 0, (uFlags & GMEM_ZEROINIT) != 0);
        if (!pBlock->pData) {
            delete pBlock;
            return fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (!dwBytes)
            poisonTail(pBlock->pData, 0, 1);
    }
    std::lock_guard<std::mutex> lock(table.m_mutex);
    if (pBlock->bMoveable && !table.takeSlot(pBlock)) {
        std::free(pBlock->pData);
        delete pBlock;
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    table.setData(pBlock, pBlock->pData);
    return table.handleOf(pBlock);
}

LPVOID WINAPI GlobalLock(HGLOBAL hMem)
{
    MemoryTable& table = MemoryTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    Block* pBlock = table.find(hMem);
    if (!pBlock)
        return fail(ERROR_INVALID_HANDLE);
    if (!pBlock->bMoveable)
        return pBlock->pData;
    if (!pBlock->pData)
        return fail(ERROR_INVALID_HANDLE); // discarded: no memory to lock
    ++pBlock->nLocks;
    return pBlock->pData;
}

BOOL WINAPI GlobalUnlock(HGLOBAL hMem)
{
    MemoryTable& table = MemoryTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    Block* pBlock = table.find(hMem);
    if (!pBlock) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (!pBlock->bMoveable)
        return TRUE;
    if (!pBlock->nLocks) {
        SetLastError(ERROR_NOT_LOCKED);
        return FALSE;
    }
    if (--pBlock->nLocks)
        return TRUE;
    SetLastError(NO_ERROR);
    return FALSE;
}

SIZE_T WINAPI GlobalSize(HGLOBAL hMem)
{
    MemoryTable& table = MemoryTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const Block* pBlock = table.find(hMem);
    if (!pBlock) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return pBlock->nSize;
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem)
{
    if (!hMem)
        return nullptr;
    MemoryTable& table = MemoryTable::instance();
    Block* pBlock;
    unsigned char* pData;
    {
        std::lock_guard<std::mutex> lock(table.m_mutex);
        pBlock = table.find(hMem);
        if (!pBlock) {
            SetLastError(ERROR_INVALID_HANDLE);
            return hMem;
        }
        pData = pBlock->pData;
        table.setData(pBlock, nullptr);
        if (pBlock->bMoveable)
            table.releaseSlot(pBlock);
    }
    // Windows frees locked blocks as well.
    std::free(pData);
    delete pBlock;
    return nullptr;
}

UINT WINAPI GlobalFlags(HGLOBAL hMem)
{
    MemoryTable& table = MemoryTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const Block* pBlock = table.find(hMem);
    if (!pBlock) {
        SetLastError(ERROR_INVALID_HANDLE);
        return GMEM_INVALID_HANDLE;
    }
    UINT uFlags = pBlock->nLocks < GMEM_LOCKCOUNT ? pBlock->nLocks : GMEM_LOCKCOUNT;
    if (pBlock->bMoveable && !pBlock->pData)
        uFlags |= GMEM_DISCARDED;
    return uFlags;
}

HGLOBAL WINAPI GlobalHandle(LPCVOID pMem)
{
    MemoryTable& table = MemoryTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const Block* pBlock = pMem ? table.findByData(pMem) : nullptr;
    if (!pBlock)
        return fail(ERROR_INVALID_HANDLE);
    return table.handleOf(pBlock);
}

HGLOBAL WINAPI GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags)
{
    MemoryTable& table = MemoryTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    Block* pBlock = table.find(hMem);
    if (!pBlock)
        return fail(ERROR_INVALID_HANDLE);
    const bool bMayMove = (uFlags & GMEM_MOVEABLE) != 0;
    const bool bZero = (uFlags & GMEM_ZEROINIT) != 0;

    if (uFlags & GMEM_MODIFY) {
        // Only fixed -> moveable changes anything; the size is ignored.
        if (!bMayMove || pBlock->bMoveable)
            return hMem;
        if (!table.takeSlot(pBlock))
            return fail(ERROR_NOT_ENOUGH_MEMORY);
        // The data moves too, so a pointer kept from the fixed block is caught.
        if (!moveBlock(table, pBlock, pBlock->nSize, false)) {
            table.releaseSlot(pBlock);
            return fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        pBlock->bMoveable = true;
        pBlock->nLocks = 0;
        return table.handleOf(pBlock);
    }

    if (dwBytes > kMaxBlock)
        return fail(ERROR_NOT_ENOUGH_MEMORY);

    if (pBlock->bMoveable && !dwBytes) {
        // Size 0 discards a moveable block, which a lock forbids.
        if (pBlock->nLocks)
            return fail(ERROR_INVALID_PARAMETER);
        unsigned char* pOld = pBlock->pData;
        table.setData(pBlock, nullptr);
        pBlock->nSize = 0;
        std::free(pOld);
        return hMem;
    }
    if (pBlock->pData && dwBytes == pBlock->nSize)
        return hMem;

    // An unlocked moveable block may always move; a fixed or locked one only
    // with GMEM_MOVEABLE.
    const bool bMove = pBlock->bMoveable ? (!pBlock->nLocks || bMayMove) : bMayMove;
    if (bMove) {
        if (!moveBlock(table, pBlock, dwBytes, bZero))
            return fail(ERROR_NOT_ENOUGH_MEMORY);
        return table.handleOf(pBlock);
    }
    if (dwBytes < pBlock->nSize) {
        poisonTail(pBlock->pData, dwBytes, pBlock->nSize);
        pBlock->nSize = dwBytes;
        return hMem;
    }
    return fail(ERROR_NOT_ENOUGH_MEMORY);
}

} // extern "C"
