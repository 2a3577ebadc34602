#ifndef PELIRAND_SOURCES_SIM_SIMIMAGE_H
#define PELIRAND_SOURCES_SIM_SIMIMAGE_H

#include "sources/sim/simscanner.h"

#include <cstddef>
#include <vector>

namespace simscanner {

// One page as the scanner renders it.
struct PageSpec
{
    TW_UINT32 page = 1;
    TW_INT32 width = 0;
    TW_INT32 height = 0;
    TW_UINT16 pixelType = TWPT_RGB;
    TW_UINT16 bitDepth = 24;
    bool vanilla = false;
    double xdpi = kDefaultResolution;
    double ydpi = kDefaultResolution;
};

struct DibQuirks
{
    unsigned sigBits = 16;
    bool packed16 = false;
    TW_UINT16 greyTable = SIM_GREYTABLE_PRESENT;
};

TW_UINT16 samplesPerPixel(const PageSpec& spec);

// Bytes of one row without padding (the bits of a row rounded up to bytes).
std::size_t packedRowBytes(const PageSpec& spec);

// Row y in the order memory transfers use, packed: red first, 16-bit samples
// little-endian, bits most significant first, the flavour applied. out must
// hold packedRowBytes() bytes.
void renderRow(const PageSpec& spec, TW_INT32 y, TW_UINT8* out);

// A packed DIB: BITMAPINFOHEADER, colour table, rows bottom-up.
std::vector<TW_UINT8> buildDib(const PageSpec& spec, const DibQuirks& quirks);

// The size of that DIB, and the DIB written straight into out (which holds
// dibSize() bytes), so that a page needs no second buffer.
std::size_t dibSize(const PageSpec& spec, const DibQuirks& quirks);
void buildDibInto(const PageSpec& spec, const DibQuirks& quirks, TW_UINT8* out);

// A little-endian baseline TIFF stream of the page (see SIMCAP_NATIVETIFF).
std::vector<TW_UINT8> buildTiff(const PageSpec& spec);

// A BMP file: BITMAPFILEHEADER and the DIB without quirks.
std::vector<TW_UINT8> buildBmpFile(const PageSpec& spec);

// A JFIF stream of a GRAY 8 or RGB 24 page; false for other pages or on error.
bool encodeJpeg(const PageSpec& spec, int quality, std::vector<TW_UINT8>& out);

// Dots per inch as BITMAPINFOHEADER's pixels per metre.
TW_INT32 pelsPerMeter(double dpi);

} // namespace simscanner

#endif // PELIRAND_SOURCES_SIM_SIMIMAGE_H
