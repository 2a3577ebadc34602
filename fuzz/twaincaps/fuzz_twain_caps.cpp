// Capability readers fed with whatever a lying source could hand back:
// arbitrary container bytes in a block of any size, any ConType, any message,
// and handles that are null or not global memory at all.
//
// Input: [0] reader, [1..2] ConType, [3..4] message, [5] handle kind and
// answer code, then the container bytes.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "platform/win32.h"
#include "twain/twainiodirect.h"

namespace {

char g_foreign[32];

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
    if (io.m_hGiven && io.m_hGiven != static_cast<TW_HANDLE>(g_foreign) && GlobalSize(io.m_hGiven))
        GlobalFree(io.m_hGiven);
    return 0;
}
