#ifndef PELIRAND_CODEC_TIFFROWS_H
#define PELIRAND_CODEC_TIFFROWS_H

// The stored samples of a TIFF's current page, row by row, in whichever
// layout the file has: strips or tiles, chunky (every sample of a pixel
// together) or planar (one plane per sample, each plane whole before the
// next). libtiff decodes and undoes predictors and fill order; samples of 16
// bits come in the machine's order. Plain C++; libtiff's message handlers
// are left to the caller.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <tiffio.h>

namespace codec {

struct TiffRowLayout
{
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    std::uint16_t samples = 1;
    std::uint16_t bits = 1;
    bool planar = false;
    // Bytes of one delivered row: every sample of the row when chunky, one
    // sample's when planar, padded to a whole byte.
    std::uint64_t rowBytes = 0;
};

// The current page's layout; false with why when libtiff could not give rows
// of it (a layout this reader does not take, such as subsampled YCbCr).
bool tiffRowLayout(TIFF* tif, TiffRowLayout& layout, std::string& why);

// Calls row(y, plane, bytes) for every row: plane -1 for a chunky row, else
// the sample the planar row holds (planes in order, rows top to bottom within
// each); bytes holds layout.rowBytes bytes, valid during the call. False with
// why at the first row that cannot be read; rows given until then stay given.
bool readTiffRows(TIFF* tif, const TiffRowLayout& layout,
                  const std::function<void(std::uint32_t y, int plane, const unsigned char* bytes)>& row,
                  std::string& why);

// A page decoded into rows of one of these forms, the forms a scanner's
// pages take: 1-bit black and white (1 is white, most significant bit
// first), 8- or 16-bit grey (0 is black, 16 bits in the machine's order),
// 8-bit palette indexes, 8-bit RGB (3 bytes a pixel) and 16-bit RGB (four
// 16-bit words a pixel in the machine's order: red, green, blue, 0xFFFF).
enum class TiffPageForm
{
    Mono,
    Grey8,
    Grey16,
    Palette8,
    Rgb8,
    Rgb16,
};

struct TiffPage
{
    TiffPageForm form = TiffPageForm::Grey8;
    std::uint32_t width = 0;
    std::uint32_t height = 0;
    // 256 entries of 0xRRGGBB for Palette8.
    std::vector<std::uint32_t> palette;
    // Grey stored with 0 as white (PhotometricInterpretation 0): turned round when read.
    bool minIsWhite = false;
    // Dots per metre, 0 where the file gives none that a page could have.
    double dotsPerMeterX = 0;
    double dotsPerMeterY = 0;
    TiffRowLayout layout;
};

// The current page's form, size and resolution, its decoded size checked
// (pagesize.h) against fileBytes; false with why for a page too large or of
// samples this reader does not take (then bUnsupported is set).
bool tiffPage(TIFF* tif, std::uint64_t fileBytes, TiffPage& page, std::string& why, bool* bUnsupported = nullptr);

// Decodes the page into the rows rowAt(y) gives, each of at least the form's
// bytes for the page's width; false with why at the first row that cannot be
// read.
bool readTiffPage(TIFF* tif, const TiffPage& page, const std::function<unsigned char*(std::uint32_t y)>& rowAt,
                  std::string& why);

} // namespace codec

#endif // PELIRAND_CODEC_TIFFROWS_H
