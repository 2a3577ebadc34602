// Native image normalisation over whatever a lying source could hand over:
// any bytes in a fixed or moveable block of any size, locked any number of
// times by the source.
//
// Input: [0] bit 0 moveable, bits 1-4 the source's own locks, bit 5 detail
// lines on; then the block's bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "fuzz/xfer/fuzzsupport.h"
#include "platform/win32.h"
#include "xfer/dibnormalize.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    static const bool s_bQuiet = (quietLogging(), true);
    (void)s_bQuiet;
    if (nSize < 1)
        return 0;
    const std::uint8_t nFlags = pData[0];
    ++pData;
    --nSize;

    const bool bMoveable = (nFlags & 0x01) != 0;
    HGLOBAL hDib = GlobalAlloc(bMoveable ? GMEM_MOVEABLE : GMEM_FIXED, nSize);
    if (!hDib)
        return 0;
    if (nSize) {
        void* p = GlobalLock(hDib);
        std::memcpy(p, pData, nSize);
        GlobalUnlock(hDib);
    }
    const int nSourceLocks = (nFlags >> 1) & 0x0F;
    for (int i = 0; i < nSourceLocks; ++i)
        GlobalLock(hDib);

    bool bFree = true;
    const unsigned char nMask =
        (nFlags & 0x20) ? XferDetail::kDiagMask | XferDetail::kDiagDetail : XferDetail::kDiagMask;
    XferDetail::NormalizeDib(
        hDib, bFree,
        [](HGLOBAL hImage, int nImageSize, bool&) {
            // The receiver reads the whole block, as the application does.
            if (SIZE_T(nImageSize) != GlobalSize(hImage))
                std::abort();
            const auto* p = static_cast<const volatile std::uint8_t*>(GlobalLock(hImage));
            if (!p)
                std::abort();
            std::uint8_t nSum = 0;
            for (int i = 0; i < nImageSize; ++i)
                nSum = std::uint8_t(nSum + p[i]);
            (void)nSum;
            GlobalUnlock(hImage);
        },
        nMask);

    freeGlobal(hDib);
    return 0;
}
