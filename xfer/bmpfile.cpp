#include "xfer/bmpfile.h"

#include <cstdint>
#include <cstring>

#include "codec/bmpheader.h"
#include "codec/fix32.h"

float Fix32ToFloat(const TW_FIX32& fix)
{
    // The double is exact, so one rounding to float gives what a sum in float
    // would. volatile: an x87 build must round to single precision here, as
    // the header values depend on it.
    volatile float fValue = static_cast<float>(codec::fromFix32(fix));
    return fValue;
}

namespace XferDetail {
namespace {

constexpr std::uint32_t kHeadersBytes = kFileHeaderBytes + kInfoHeaderBytes;

// Signed 32-bit arithmetic that wraps instead of overflowing.
std::int32_t wrap32(std::int64_t nValue)
{
    return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(nValue)));
}

std::int32_t sizeImageOf(const TW_IMAGEINFO& info)
{
    std::int32_t n = wrap32(std::int64_t(info.BitsPerPixel) * info.ImageWidth);
    n = wrap32(std::int64_t(n) + 31) / 32;
    n = wrap32(std::int64_t(n) * 4);
    return wrap32(std::int64_t(n) * info.ImageLength);
}

bool isGreyKind(TW_INT16 nPixelType)
{
    return nPixelType == TWPT_BW || nPixelType == TWPT_GRAY || nPixelType == TWPT_PALETTE;
}

} // namespace

LONG PelsPerMeter(const TW_FIX32& resolution)
{
    // The product in single precision, the rounding addition in double.
    volatile float fProduct = Fix32ToFloat(resolution) * 39.37f;
    return static_cast<LONG>(static_cast<double>(fProduct) + 0.5);
}

bool BuildBmpHeaders(const TW_IMAGEINFO& info, bool bUndefinedSize, const PaletteSource& palette,
                     BITMAPFILEHEADER& bmfh, BITMAPINFOHEADER& bmih, QByteArray& colourTable, bool bVanilla,
                     bool* pbNoPalette)
{
    if (pbNoPalette)
        *pbNoPalette = false;
    std::memset(&bmfh, 0, sizeof(bmfh));
    std::memset(&bmih, 0, sizeof(bmih));
    colourTable.clear();
    bmih.biSize = kInfoHeaderBytes;
    bmih.biPlanes = 1;
    bmih.biBitCount = static_cast<WORD>(info.BitsPerPixel);
    bmih.biCompression = BI_RGB;
    bmih.biXPelsPerMeter = PelsPerMeter(info.XResolution);
    bmih.biYPelsPerMeter = PelsPerMeter(info.YResolution);
    if (isGreyKind(info.PixelType))
        bmih.biClrUsed = 1u << (static_cast<unsigned>(info.BitsPerPixel) & 31u);
    bmfh.bfType = 0x4D42;
    if (!bUndefinedSize) {
        bmih.biWidth = info.ImageWidth;
        bmih.biHeight = wrap32(-std::int64_t(info.ImageLength));
        bmih.biSizeImage = static_cast<DWORD>(sizeImageOf(info));
    }

    bool bTableBuilt = true;
    if (bmih.biClrUsed != 0) {
        bool bFromPalette = false;
        if (info.PixelType == TWPT_PALETTE && palette) {
            TW_PALETTE8 pal;
            std::memset(&pal, 0, sizeof(pal));
            if (palette(pal) && (pal.PaletteType == TWPA_RGB || pal.PaletteType == TWPA_GRAY)) {
                // TW_PALETTE8 has room for 256 colours only.
                const DWORD nColours = pal.NumColors > 256 ? 256 : pal.NumColors;
                bmih.biClrUsed = nColours;
                colourTable = QByteArray(int(4 * nColours), '\0');
                for (DWORD i = 0; i < nColours; ++i) {
                    colourTable[int(4 * i + 0)] = static_cast<char>(pal.Colors[i].Channel3);
                    colourTable[int(4 * i + 1)] = static_cast<char>(pal.Colors[i].Channel2);
                    colourTable[int(4 * i + 2)] = static_cast<char>(pal.Colors[i].Channel1);
                }
                bFromPalette = true;
            }
        }
        if (!bFromPalette) {
            if (bmih.biClrUsed > kMaxColourTableEntries) {
                bTableBuilt = false;
            } else if (info.PixelType == TWPT_PALETTE) {
                // An all-black table would hide the whole image; grey shows it.
                colourTable = GreyRamp(bmih.biClrUsed, false);
                if (pbNoPalette)
                    *pbNoPalette = true;
            } else {
                colourTable = GreyRamp(bmih.biClrUsed, bVanilla);
            }
        }
    }

    bmfh.bfOffBits = kHeadersBytes + 4u * bmih.biClrUsed;
    if (!bUndefinedSize)
        bmfh.bfSize = bmfh.bfOffBits + bmih.biSizeImage;
    bmih.biClrImportant = bmih.biClrUsed;
    return bTableBuilt;
}

void SetBmpImageSize(const TW_IMAGEINFO& info, BITMAPFILEHEADER& bmfh, BITMAPINFOHEADER& bmih)
{
    bmih.biWidth = info.ImageWidth;
    bmih.biHeight = wrap32(-std::int64_t(info.ImageLength));
    bmih.biSizeImage = static_cast<DWORD>(sizeImageOf(info));
    bmfh.bfSize = bmfh.bfOffBits + bmih.biSizeImage;
}

QByteArray GreyRamp(DWORD nEntries, bool bFalling)
{
    // A table of one entry has no step: it holds black (white when falling).
    const DWORD nStep = nEntries > 1 ? 255u / (nEntries - 1) : 0;
    QByteArray table(int(4 * nEntries), '\0');
    for (DWORD i = 0; i < nEntries; ++i) {
        const std::uint32_t nRise = i * nStep;
        const char c = static_cast<char>((bFalling ? 255u - nRise : nRise) & 0xFF);
        table[int(4 * i + 0)] = c;
        table[int(4 * i + 1)] = c;
        table[int(4 * i + 2)] = c;
    }
    return table;
}

QByteArray BmpHeaderBytes(const BITMAPFILEHEADER& bmfh, const BITMAPINFOHEADER& bmih)
{
    codec::BmpFileHeader file;
    file.type = bmfh.bfType;
    file.fileSize = bmfh.bfSize;
    file.reserved1 = bmfh.bfReserved1;
    file.reserved2 = bmfh.bfReserved2;
    file.pixelsAt = bmfh.bfOffBits;
    QByteArray out(int(kHeadersBytes), '\0');
    codec::writeBmpFileHeader(file, reinterpret_cast<unsigned char*>(out.data()));
    out.replace(kFileHeaderBytes, kInfoHeaderBytes, InfoHeaderBytes(bmih));
    return out;
}

QByteArray InfoHeaderBytes(const BITMAPINFOHEADER& bmih)
{
    codec::BmpInfoHeader info;
    info.headerSize = bmih.biSize;
    info.width = bmih.biWidth;
    info.height = bmih.biHeight;
    info.planes = bmih.biPlanes;
    info.bitCount = bmih.biBitCount;
    info.compression = bmih.biCompression;
    info.imageSize = bmih.biSizeImage;
    info.xPelsPerMeter = bmih.biXPelsPerMeter;
    info.yPelsPerMeter = bmih.biYPelsPerMeter;
    info.coloursUsed = bmih.biClrUsed;
    info.coloursImportant = bmih.biClrImportant;
    QByteArray out(kInfoHeaderBytes, '\0');
    codec::writeBmpInfoHeader(info, reinterpret_cast<unsigned char*>(out.data()));
    return out;
}

bool BmpIsComplete(const BITMAPFILEHEADER& bmfh, const BITMAPINFOHEADER& bmih, qint64 nFileSize,
                   QString& sWhy)
{
    const unsigned nBits = bmih.biBitCount;
    if (nBits != 1 && nBits != 4 && nBits != 8 && nBits != 24) {
        sWhy = QStringLiteral("an image of %1 bits per pixel cannot be written as a BMP file").arg(nBits);
        return false;
    }
    if (nBits == 24 ? bmih.biClrUsed != 0 : (bmih.biClrUsed == 0 || bmih.biClrUsed > (1u << nBits))) {
        sWhy = QStringLiteral("a colour table of %1 entries does not suit %2 bits per pixel")
                   .arg(bmih.biClrUsed)
                   .arg(nBits);
        return false;
    }
    const std::int64_t nHeight = bmih.biHeight;
    if (bmih.biWidth <= 0 || nHeight >= 0) {
        sWhy = QStringLiteral("the image size %1 x %2 is not valid").arg(bmih.biWidth).arg(-nHeight);
        return false;
    }
    const std::uint64_t nStride = ((std::uint64_t(nBits) * std::uint64_t(bmih.biWidth) + 31) / 32) * 4;
    const std::uint64_t nData = nStride * std::uint64_t(-nHeight);
    const std::uint64_t nOffBits = kHeadersBytes + 4ull * bmih.biClrUsed;
    if (nData != bmih.biSizeImage || bmfh.bfOffBits != nOffBits || bmfh.bfSize != nOffBits + nData) {
        sWhy =
            QStringLiteral("the image size %1 x %2 does not fit a BMP file").arg(bmih.biWidth).arg(-nHeight);
        return false;
    }
    if (std::uint64_t(nFileSize) < nOffBits + nData) {
        sWhy = QStringLiteral("the image data is incomplete (%1 of %2 bytes)")
                   .arg(nFileSize - qint64(nOffBits))
                   .arg(nData);
        return false;
    }
    return true;
}

bool DibIsComplete(const BITMAPINFOHEADER& bmih, qint64 nFileSize, QString& sWhy)
{
    const unsigned nBits = bmih.biBitCount;
    if (nBits != 1 && nBits != 4 && nBits != 8 && nBits != 24) {
        sWhy = QStringLiteral("an image of %1 bits per pixel cannot be delivered as a DIB").arg(nBits);
        return false;
    }
    if (nBits == 24 ? bmih.biClrUsed != 0 : (bmih.biClrUsed == 0 || bmih.biClrUsed > (1u << nBits))) {
        sWhy = QStringLiteral("a colour table of %1 entries does not suit %2 bits per pixel")
                   .arg(bmih.biClrUsed)
                   .arg(nBits);
        return false;
    }
    const std::int64_t nRows = bmih.biHeight < 0 ? -std::int64_t(bmih.biHeight) : bmih.biHeight;
    if (bmih.biWidth <= 0 || nRows == 0) {
        sWhy = QStringLiteral("the image size %1 x %2 is not valid").arg(bmih.biWidth).arg(nRows);
        return false;
    }
    const std::uint64_t nStride = ((std::uint64_t(nBits) * std::uint64_t(bmih.biWidth) + 31) / 32) * 4;
    const std::uint64_t nData = nStride * std::uint64_t(nRows);
    const std::uint64_t nOffBits = kInfoHeaderBytes + 4ull * bmih.biClrUsed;
    if (nData != bmih.biSizeImage || nOffBits + nData > 0x7FFFFFFFull) {
        sWhy = QStringLiteral("the image size %1 x %2 does not fit a DIB").arg(bmih.biWidth).arg(nRows);
        return false;
    }
    if (nFileSize < 0 || std::uint64_t(nFileSize) < nOffBits + nData) {
        sWhy = QStringLiteral("the image data is incomplete (%1 of %2 bytes)")
                   .arg(nFileSize - qint64(nOffBits))
                   .arg(nData);
        return false;
    }
    return true;
}

} // namespace XferDetail
