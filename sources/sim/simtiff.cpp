#include "sources/sim/simtiff.h"

#include "codec/tiffstream.h"

#include <tiffio.h>

namespace simscanner {

namespace {

void silence(const char*, const char*, va_list) {}

bool writePage(TIFF* tiff, const PageSpec& spec)
{
    const TW_UINT16 spp = samplesPerPixel(spec);
    const TW_UINT16 bps = static_cast<TW_UINT16>(spec.bitDepth / spp);
    TIFFSetField(tiff, TIFFTAG_IMAGEWIDTH, static_cast<uint32_t>(spec.width));
    TIFFSetField(tiff, TIFFTAG_IMAGELENGTH, static_cast<uint32_t>(spec.height));
    TIFFSetField(tiff, TIFFTAG_SAMPLESPERPIXEL, spp);
    TIFFSetField(tiff, TIFFTAG_BITSPERSAMPLE, bps);
    TIFFSetField(tiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(tiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    TIFFSetField(tiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tiff, TIFFTAG_XRESOLUTION, static_cast<float>(spec.xdpi));
    TIFFSetField(tiff, TIFFTAG_YRESOLUTION, static_cast<float>(spec.ydpi));
    std::vector<uint16_t> map;
    switch (spec.pixelType) {
    case TWPT_RGB:
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        break;
    case TWPT_PALETTE: {
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_PALETTE);
        const unsigned entries = 1u << bps;
        map.resize(3 * entries);
        for (unsigned i = 0; i < entries; ++i)
            for (unsigned c = 0; c < 3; ++c)
                map[c * entries + i] = static_cast<uint16_t>(paletteColour(i, c) * 257u);
        TIFFSetField(tiff, TIFFTAG_COLORMAP, map.data(), map.data() + entries, map.data() + 2 * entries);
        break;
    }
    default:
        TIFFSetField(tiff, TIFFTAG_PHOTOMETRIC,
                     spec.vanilla ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK);
        break;
    }
    TIFFSetField(tiff, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff, 0));
    std::vector<TW_UINT8> row(packedRowBytes(spec));
    for (TW_INT32 y = 0; y < spec.height; ++y) {
        renderRow(spec, y, row.data());
        if (TIFFWriteScanline(tiff, row.data(), static_cast<uint32_t>(y), 0) != 1)
            return false;
    }
    return TIFFFlush(tiff) == 1;
}

} // namespace

bool encodeTiff(const PageSpec& spec, std::vector<TW_UINT8>& out)
{
    out.clear();
    if (spec.width <= 0 || spec.height <= 0)
        return false;
    TIFFSetErrorHandler(silence);
    TIFFSetWarningHandler(silence);
    codec::TiffMemoryFile file;
    TIFF* tiff = file.open("page.tif", "w");
    if (!tiff)
        return false;
    bool ok = writePage(tiff, spec);
    TIFFClose(tiff);
    if (ok)
        out.assign(file.data(), file.data() + file.byteCount());
    return ok;
}

} // namespace simscanner
