// Capability readers fed with whatever a lying source could hand back:
// arbitrary container bytes in a block of any size, any ConType, any message,
// and handles that are null or not global memory at all; the blocks are Win32
// global memory or, as from a TWAIN 2 DSM on Linux, the C heap through the
// DSM's memory functions.
//
// Input: [0] reader, [1..2] ConType, [3..4] message, [5] handle kind (bits
// 0-1), the DSM's memory (bit 2) and answer code (bits 4-5), then the
// container bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include <cstdlib>

#include "platform/win32.h"
#include "twain/dsmlib.h"
#include "twain/twainiodirect.h"

namespace {

char g_foreign[32];

// The DSM's memory functions: the C heap, the handle being the block.
void* g_lastFreed = nullptr;
TW_HANDLE TW_CALLINGSTYLE heapAllocate(TW_UINT32 nSize)
{
    return std::calloc(nSize ? nSize : 1, 1);
}
void TW_CALLINGSTYLE heapFree(TW_HANDLE h)
{
    g_lastFreed = h;
    std::free(h);
}
TW_MEMREF TW_CALLINGSTYLE heapLock(TW_HANDLE h)
{
    return h;
}
void TW_CALLINGSTYLE heapUnlock(TW_HANDLE) {}

// Answers every capability call from the fuzz input instead of a DSM.
class LyingSource : public CTwainIODirect
{
public:
    LyingSource(TW_UINT16 conType, TW_UINT8 handleKind, const std::uint8_t* pBytes, std::size_t nBytes)
        : m_conType(conType), m_handleKind(handleKind), m_pBytes(pBytes), m_nBytes(nBytes)
    {}

    TW_UINT16 TwainCmd(TW_UINT32, TW_UINT16 DAT, TW_UINT16, TW_MEMREF pData, pTW_IDENTITY) override
    {
        if (DAT != DAT_CAPABILITY || !pData)
            return TWRC_FAILURE;
        // Now and then the source fails but leaves its answer anyway.
        const TW_UINT16 rc = (m_handleKind & 0x30) == 0x30 ? TWRC_FAILURE : TWRC_SUCCESS;
        auto* pCap = static_cast<TW_CAPABILITY*>(pData);
        pCap->ConType = m_conType;
        if (m_handleKind & 0x04) {
            // Exactly the container's bytes: a read beyond them is a heap overflow.
            // A block from elsewhere is no DSM's block: nothing can size it.
            pCap->hContainer = (m_handleKind & 0x03) == 2 ? nullptr : std::malloc(m_nBytes ? m_nBytes : 1);
            if (pCap->hContainer && m_nBytes)
                std::memcpy(pCap->hContainer, m_pBytes, m_nBytes);
            m_hGiven = pCap->hContainer;
            return rc;
        }
        switch (m_handleKind & 0x03) {
        case 0:
            pCap->hContainer = GlobalAlloc(GMEM_FIXED, m_nBytes);
            if (pCap->hContainer && m_nBytes)
                std::memcpy(pCap->hContainer, m_pBytes, m_nBytes);
            break;
        case 1:
            pCap->hContainer = GlobalAlloc(GMEM_MOVEABLE, m_nBytes);
            if (void* p = pCap->hContainer ? GlobalLock(pCap->hContainer) : nullptr) {
                if (m_nBytes)
                    std::memcpy(p, m_pBytes, m_nBytes);
                GlobalUnlock(pCap->hContainer);
            }
            break;
        case 2:
            pCap->hContainer = nullptr;
            break;
        default:
            pCap->hContainer = g_foreign;
            break;
        }
        m_hGiven = pCap->hContainer;
        return rc;
    }

    TW_HANDLE m_hGiven = nullptr;

private:
    TW_UINT16 m_conType;
    TW_UINT8 m_handleKind;
    const std::uint8_t* m_pBytes;
    std::size_t m_nBytes;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    if (nSize < 6)
        return 0;
    const TW_UINT8 reader = pData[0];
    TW_UINT16 conType;
    TW_UINT16 msg;
    std::memcpy(&conType, pData + 1, 2);
    std::memcpy(&msg, pData + 3, 2);
    LyingSource io(conType, pData[5], pData + 6, nSize - 6);
    io.m_State = 4;
    const bool bDsmMemory = (pData[5] & 0x04) != 0;
    ResetDSMEntryPoint();
    if (bDsmMemory) {
        g_DSMEntryPoint.DSM_MemAllocate = heapAllocate;
        g_DSMEntryPoint.DSM_MemFree = heapFree;
        g_DSMEntryPoint.DSM_MemLock = heapLock;
        g_DSMEntryPoint.DSM_MemUnlock = heapUnlock;
    }
    g_lastFreed = nullptr;

    TW_CAPABILITY cap = {0x1001, TWON_DONTCARE16, nullptr};
    switch (reader % 5) {
    case 0: {
        // Exactly as long as the longest item: anything beyond is a heap overflow.
        std::vector<TW_UINT8> out(TWAIN_MAX_ITEM_SIZE);
        io.TwainGetCapOneVal(cap, out.data(), msg);
        break;
    }
    case 1: {
        std::vector<TW_UINT8> out(reader / 5 % 8);
        io.TwainGetCapOneValSized(cap, out.empty() ? nullptr : out.data(), out.size(), msg);
        break;
    }
    case 2: {
        QVector<TW_UINT16> values;
        io.TwainGetCapEnum(0x1001, values);
        break;
    }
    case 3: {
        auto* pValue = new bool(false);
        io.GetCapOneValBOOL(0x1001, pValue, msg);
        delete pValue;
        break;
    }
    default: {
        auto* pValue = new TW_UINT16(0);
        io.GetCapOneValUINT16(0x1001, pValue, msg);
        delete pValue;
        break;
    }
    }
    // The reader frees what the source handed over, except after a failed call.
    if (bDsmMemory) {
        if (io.m_hGiven && io.m_hGiven != g_lastFreed)
            std::free(io.m_hGiven);
        ResetDSMEntryPoint();
    } else if (io.m_hGiven && io.m_hGiven != static_cast<TW_HANDLE>(g_foreign) && GlobalSize(io.m_hGiven)) {
        GlobalFree(io.m_hGiven);
    }
    return 0;
}
