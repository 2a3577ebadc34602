#include "codec/tiffrows.h"

#include "codec/pagesize.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

namespace codec {

bool tiffRowLayout(TIFF* tif, TiffRowLayout& layout, std::string& why)
{
    std::uint16_t planar = PLANARCONFIG_CONTIG, photometric = PHOTOMETRIC_MINISBLACK;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &layout.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &layout.height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &layout.samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &layout.bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &planar);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    layout.planar = planar == PLANARCONFIG_SEPARATE && layout.samples > 1;
    if (layout.width == 0 || layout.height == 0 || layout.samples == 0 || layout.bits == 0 || layout.bits > 32) {
        why = "a page of " + std::to_string(layout.width) + " x " + std::to_string(layout.height) + " pixels, " +
              std::to_string(layout.samples) + " samples of " + std::to_string(layout.bits) + " bits";
        return false;
    }
    std::uint16_t compression = COMPRESSION_NONE;
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    // Only JPEG's own YCbCr is turned into RGB by libtiff; other YCbCr rows are subsampled.
    if (photometric == PHOTOMETRIC_YCBCR && compression != COMPRESSION_JPEG) {
        why = "YCbCr samples";
        return false;
    }
    const std::uint64_t perRow = std::uint64_t(layout.width) * (layout.planar ? 1 : layout.samples) * layout.bits;
    layout.rowBytes = (perRow + 7) / 8;
    return true;
}

namespace {

// A tile of 4096 x 4096 pixels of 16-bit colour with room to spare.
constexpr std::uint64_t kMaxTileBytes = std::uint64_t(256) << 20;

bool readStrips(TIFF* tif, const TiffRowLayout& layout,
                const std::function<void(std::uint32_t, int, const unsigned char*)>& row, std::string& why)
{
    const tmsize_t scanline = TIFFScanlineSize(tif);
    if (scanline <= 0 || std::uint64_t(scanline) < layout.rowBytes) {
        why = "rows of " + std::to_string(scanline) + " bytes where " + std::to_string(layout.rowBytes) +
              " were expected";
        return false;
    }
    std::vector<unsigned char> line(static_cast<std::size_t>(scanline));
    const int planes = layout.planar ? layout.samples : 1;
    for (int plane = 0; plane < planes; ++plane) {
        for (std::uint32_t y = 0; y < layout.height; ++y) {
            if (TIFFReadScanline(tif, line.data(), y, std::uint16_t(plane)) < 0) {
                why = "row " + std::to_string(y) + " cannot be read";
                return false;
            }
            row(y, layout.planar ? plane : -1, line.data());
        }
    }
    return true;
}

bool readTiles(TIFF* tif, const TiffRowLayout& layout,
               const std::function<void(std::uint32_t, int, const unsigned char*)>& row, std::string& why)
{
    std::uint32_t tileWidth = 0, tileLength = 0;
    TIFFGetField(tif, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tif, TIFFTAG_TILELENGTH, &tileLength);
    const tmsize_t tileBytes = TIFFTileSize(tif);
    const tmsize_t tileRowBytes = TIFFTileRowSize(tif);
    const std::uint64_t pixelBits = std::uint64_t(layout.planar ? 1 : layout.samples) * layout.bits;
    // Tiles of whole bytes only (the format asks for widths in multiples of 16),
    // and none larger than a page could need.
    const std::uint32_t bandRows = std::min(tileLength, layout.height);
    if (tileWidth == 0 || tileLength == 0 || tileBytes <= 0 || tileRowBytes <= 0 ||
        std::uint64_t(tileBytes) > kMaxTileBytes || (tileWidth * pixelBits) % 8 != 0 ||
        std::uint64_t(tileRowBytes) < tileWidth * pixelBits / 8 ||
        std::uint64_t(tileBytes) < std::uint64_t(tileRowBytes) * bandRows) {
        why = "tiles of " + std::to_string(tileWidth) + " x " + std::to_string(tileLength) + " pixels";
        return false;
    }
    std::vector<unsigned char> tile(static_cast<std::size_t>(tileBytes));
    std::vector<unsigned char> band(std::size_t(layout.rowBytes) * bandRows);
    const int planes = layout.planar ? layout.samples : 1;
    for (int plane = 0; plane < planes; ++plane) {
        for (std::uint32_t y0 = 0; y0 < layout.height; y0 += tileLength) {
            const std::uint32_t rows = std::min<std::uint32_t>(bandRows, layout.height - y0);
            for (std::uint32_t x0 = 0; x0 < layout.width; x0 += tileWidth) {
                if (TIFFReadTile(tif, tile.data(), x0, y0, 0, std::uint16_t(plane)) < 0) {
                    why = "the tile at " + std::to_string(x0) + ", " + std::to_string(y0) + " cannot be read";
                    return false;
                }
                const std::uint64_t at = x0 * pixelBits / 8;
                const std::uint64_t bytes =
                    std::min<std::uint64_t>(tileWidth * pixelBits / 8, layout.rowBytes - at);
                for (std::uint32_t r = 0; r < rows; ++r)
                    std::memcpy(band.data() + r * layout.rowBytes + at, tile.data() + r * std::size_t(tileRowBytes),
                                std::size_t(bytes));
                if (x0 > UINT32_MAX - tileWidth)
                    break;
            }
            for (std::uint32_t r = 0; r < rows; ++r)
                row(y0 + r, layout.planar ? plane : -1, band.data() + r * layout.rowBytes);
            if (y0 > UINT32_MAX - tileLength)
                break;
        }
    }
    return true;
}

} // namespace

bool readTiffRows(TIFF* tif, const TiffRowLayout& layout,
                  const std::function<void(std::uint32_t y, int plane, const unsigned char* bytes)>& row,
                  std::string& why)
{
    return TIFFIsTiled(tif) ? readTiles(tif, layout, row, why) : readStrips(tif, layout, row, why);
}

namespace {

double dotsPerMeter(float resolution, double toMeter)
{
    const double value = double(resolution) * toMeter;
    return std::isfinite(value) && value >= 1 && value < 1e9 ? value : 0;
}

} // namespace

bool tiffPage(TIFF* tif, std::uint64_t fileBytes, TiffPage& page, std::string& why, bool* bUnsupported)
{
    if (bUnsupported)
        *bUnsupported = false;
    if (!tiffPageAllowed(tif, fileBytes, why))
        return false;
    std::uint16_t photometric = PHOTOMETRIC_MINISBLACK, compression = COMPRESSION_NONE,
                  sampleFormat = SAMPLEFORMAT_UINT;
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &sampleFormat);
    // libtiff gives JPEG's YCbCr as RGB when asked.
    if (compression == COMPRESSION_JPEG && photometric == PHOTOMETRIC_YCBCR &&
        TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB))
        photometric = PHOTOMETRIC_RGB;
    TiffRowLayout& layout = page.layout;
    if (!tiffRowLayout(tif, layout, why)) {
        if (bUnsupported)
            *bUnsupported = true;
        why = "a TIFF page of " + why;
        return false;
    }
    page.width = layout.width;
    page.height = layout.height;
    const std::uint16_t spp = layout.samples;
    const std::uint16_t bps = layout.bits;
    const bool grey = spp == 1 && (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE);
    bool taken = sampleFormat == SAMPLEFORMAT_UINT;
    if (!taken) {
    } else if (grey && bps == 1) {
        page.form = TiffPageForm::Mono;
    } else if (grey && (bps == 8 || bps == 16)) {
        page.form = bps == 8 ? TiffPageForm::Grey8 : TiffPageForm::Grey16;
    } else if (spp == 1 && photometric == PHOTOMETRIC_PALETTE && bps == 8) {
        page.form = TiffPageForm::Palette8;
        page.palette.assign(256, 0);
        std::uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
        if (TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b)) {
            for (int i = 0; i < 256; ++i)
                page.palette[std::size_t(i)] =
                    std::uint32_t(r[i] >> 8) << 16 | std::uint32_t(g[i] >> 8) << 8 | std::uint32_t(b[i] >> 8);
        }
    } else if ((spp == 3 || spp == 4) && photometric == PHOTOMETRIC_RGB && (bps == 8 || bps == 16)) {
        page.form = bps == 8 ? TiffPageForm::Rgb8 : TiffPageForm::Rgb16;
    } else {
        taken = false;
    }
    if (!taken) {
        if (bUnsupported)
            *bUnsupported = true;
        why = "a TIFF page of " + std::to_string(spp) + " samples of " + std::to_string(bps) + " bits, photometric " +
              std::to_string(photometric) + (sampleFormat != SAMPLEFORMAT_UINT ? ", not unsigned integers" : "");
        return false;
    }
    page.minIsWhite = grey && photometric == PHOTOMETRIC_MINISWHITE;
    float xres = 0, yres = 0;
    std::uint16_t unit = RESUNIT_INCH;
    TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres);
    TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres);
    TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
    const double toMeter = unit == RESUNIT_CENTIMETER ? 100.0 : 1 / 0.0254;
    page.dotsPerMeterX = dotsPerMeter(xres, toMeter);
    page.dotsPerMeterY = dotsPerMeter(yres, toMeter);
    return true;
}

bool readTiffPage(TIFF* tif, const TiffPage& page, const std::function<unsigned char*(std::uint32_t y)>& rowAt,
                  std::string& why)
{
    const TiffRowLayout& layout = page.layout;
    const std::uint32_t w = page.width;
    const std::size_t spp = layout.samples;
    const bool invert = page.minIsWhite;
    const auto putRow = [&](std::uint32_t y, int plane, const unsigned char* in) {
        unsigned char* out = rowAt(y);
        switch (page.form) {
        case TiffPageForm::Rgb8:
            if (plane < 0) {
                for (std::uint32_t x = 0; x < w; ++x)
                    std::memcpy(out + 3 * std::size_t(x), in + std::size_t(x) * spp, 3);
            } else if (plane < 3) {
                for (std::uint32_t x = 0; x < w; ++x)
                    out[3 * std::size_t(x) + std::size_t(plane)] = in[x];
            }
            return;
        case TiffPageForm::Rgb16:
            for (std::uint32_t x = 0; x < w; ++x) {
                unsigned char* pixel = out + 8 * std::size_t(x);
                if (plane < 0) {
                    std::memcpy(pixel, in + 2 * std::size_t(x) * spp, 6);
                } else if (plane < 3) {
                    std::memcpy(pixel + 2 * plane, in + 2 * std::size_t(x), 2);
                }
                const std::uint16_t opaque = 0xFFFF;
                std::memcpy(pixel + 6, &opaque, 2);
            }
            return;
        default:
            break;
        }
        const std::size_t bytes = std::size_t(layout.rowBytes);
        std::memcpy(out, in, bytes);
        if (!invert)
            return;
        if (page.form == TiffPageForm::Grey16) {
            for (std::uint32_t x = 0; x < w; ++x) {
                std::uint16_t v;
                std::memcpy(&v, out + 2 * std::size_t(x), 2);
                v = std::uint16_t(0xFFFF - v);
                std::memcpy(out + 2 * std::size_t(x), &v, 2);
            }
        } else {
            for (std::size_t i = 0; i < bytes; ++i)
                out[i] = static_cast<unsigned char>(~out[i]);
        }
    };
    return readTiffRows(tif, layout, putRow, why);
}

} // namespace codec
