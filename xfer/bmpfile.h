#ifndef PELIRAND_XFER_BMPFILE_H
#define PELIRAND_XFER_BMPFILE_H

// The BMP file of a buffered transfer: headers and colour table from the
// image information, and the check that a finished file is a whole image.

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <functional>

#include "platform/win32.h"
#include "twain/twain.h"

// TW_FIX32 as a float: Whole + Frac / 65536.
float Fix32ToFloat(const TW_FIX32& fix);

namespace XferDetail {

// Sizes of the two headers in the file.
constexpr int kFileHeaderBytes = 14;
constexpr int kInfoHeaderBytes = 40;
// Larger colour tables (BitsPerPixel above 16 with a table) are not built.
constexpr DWORD kMaxColourTableEntries = 65536;

// Asks the source for its palette (DAT_PALETTE8); true when it answered
// TWRC_SUCCESS.
using PaletteSource = std::function<bool(TW_PALETTE8& palette)>;

// Dots per inch as pixels per metre, rounded as the headers need it.
LONG PelsPerMeter(const TW_FIX32& resolution);

// Fills both headers and the colour table (4 * biClrUsed bytes) for an image.
// With bUndefinedSize, width, height and sizes stay 0. The palette is asked
// for only for TWPT_PALETTE images with a table; when it cannot be had the
// table is a rising grey ramp (never all black) and pbNoPalette is set. BW and
// grey tables fall from white with bVanilla (the source's 0 is white). False
// when the table would exceed kMaxColourTableEntries: it is then left empty.
bool BuildBmpHeaders(const TW_IMAGEINFO& info, bool bUndefinedSize, const PaletteSource& palette,
                     BITMAPFILEHEADER& bmfh, BITMAPINFOHEADER& bmih, QByteArray& colourTable,
                     bool bVanilla = false, bool* pbNoPalette = nullptr);

// Width, height, biSizeImage and bfSize from the image information.
void SetBmpImageSize(const TW_IMAGEINFO& info, BITMAPFILEHEADER& bmfh, BITMAPINFOHEADER& bmih);

// A grey ramp of nEntries RGBQUADs, from black up (or from white down).
QByteArray GreyRamp(DWORD nEntries, bool bFalling);

// The 54 bytes of the two headers, little-endian, as they stand in the file.
QByteArray BmpHeaderBytes(const BITMAPFILEHEADER& bmfh, const BITMAPINFOHEADER& bmih);

// Whether a file of nFileSize bytes under these headers is a whole BMP image
// that readers accept; otherwise sWhy says what is wrong.
bool BmpIsComplete(const BITMAPFILEHEADER& bmfh, const BITMAPINFOHEADER& bmih, qint64 nFileSize,
                   QString& sWhy);

// Whether a file of nFileSize bytes holding a DIB without file header (info
// header, colour table, rows) under bmih is a whole image; otherwise sWhy
// says what is wrong. The height may have either sign.
bool DibIsComplete(const BITMAPINFOHEADER& bmih, qint64 nFileSize, QString& sWhy);

// The 40 bytes of an info header, little-endian.
QByteArray InfoHeaderBytes(const BITMAPINFOHEADER& bmih);

} // namespace XferDetail

#endif
