// The BMP headers of a buffered transfer over any TW_IMAGEINFO a source could
// report, and any palette it could answer with.
//
// Input: 42 bytes of TW_IMAGEINFO (missing bytes are zero), [42] bit 0 size
// undefined, bit 1 the palette request succeeds; then the TW_PALETTE8 bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include <QByteArray>
#include <QString>

#include "fuzz/xfer/fuzzsupport.h"
#include "xfer/bmpfile.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    static const bool s_bQuiet = (quietLogging(), true);
    (void)s_bQuiet;

    TW_IMAGEINFO info;
    std::memset(&info, 0, sizeof(info));
    std::memcpy(&info, pData, nSize < sizeof(info) ? nSize : sizeof(info));
    const std::uint8_t nFlags = nSize > sizeof(info) ? pData[sizeof(info)] : 0;
    const std::size_t nPaletteOff = sizeof(info) + 1;
    const std::uint8_t* pPalette = nSize > nPaletteOff ? pData + nPaletteOff : nullptr;
    const std::size_t nPalette = pPalette ? nSize - nPaletteOff : 0;

    const XferDetail::PaletteSource palette = [&](TW_PALETTE8& pal) {
        std::memcpy(&pal, pPalette, nPalette < sizeof(pal) ? nPalette : sizeof(pal));
        return (nFlags & 0x02) != 0;
    };
    BITMAPFILEHEADER bmfh;
    BITMAPINFOHEADER bmih;
    QByteArray colourTable;
    const bool bBuilt = XferDetail::BuildBmpHeaders(info, (nFlags & 0x01) != 0, pPalette ? palette : nullptr,
                                                    bmfh, bmih, colourTable);
    if (bBuilt && std::uint64_t(colourTable.size()) != 4ull * bmih.biClrUsed)
        std::abort();
    if (bBuilt != (bmih.biClrUsed <= XferDetail::kMaxColourTableEntries))
        std::abort();
    if (XferDetail::BmpHeaderBytes(bmfh, bmih).size() != 54)
        std::abort();

    XferDetail::SetBmpImageSize(info, bmfh, bmih);
    QString sWhy;
    XferDetail::BmpIsComplete(bmfh, bmih, qint64(bmfh.bfSize), sWhy);
    if (bmih.biClrUsed <= 4096)
        XferDetail::GreyRamp(bmih.biClrUsed, (nFlags & 0x04) != 0);
    (void)Fix32ToFloat(info.XResolution);
    return 0;
}
