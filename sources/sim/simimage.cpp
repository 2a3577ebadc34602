#include "sources/sim/simimage.h"

#include "codec/bmpheader.h"

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>

#include <jpeglib.h>

namespace simscanner {

namespace {

constexpr std::size_t kInfoHeaderSize = codec::kBmpInfoHeaderSize;
constexpr std::size_t kFileHeaderSize = codec::kBmpFileHeaderSize;

// The pattern repeats every kPeriod columns (every coefficient of x is a
// multiple of 256 after 256 steps), so a row is rendered once per period and
// the rest copied: rendering a page costs little more than writing its bytes.
constexpr std::size_t kPeriod = 256;

// Fills out[nDone, nTotal) by repeating out[0, nDone).
void repeatBytes(TW_UINT8* out, std::size_t nDone, std::size_t nTotal)
{
    while (nDone < nTotal) {
        const std::size_t n = std::min(nDone, nTotal - nDone);
        std::memcpy(out + nDone, out, n);
        nDone += n;
    }
}

bool isGrey16(const PageSpec& s)
{
    return s.pixelType == TWPT_GRAY && s.bitDepth == 16;
}
bool isGrey8(const PageSpec& s)
{
    return s.pixelType == TWPT_GRAY && s.bitDepth == 8;
}

std::size_t dibStride(const PageSpec& s, const DibQuirks& q)
{
    const std::size_t w = static_cast<std::size_t>(s.width);
    if (isGrey16(s) && q.packed16)
        return 2 * w;
    return (w * s.bitDepth + 31) / 32 * 4;
}

// Entries the DIB's colour table really holds, and what biClrUsed says.
void colourTable(const PageSpec& s, const DibQuirks& q, unsigned& present, unsigned& declared)
{
    present = declared = 0;
    if (s.pixelType == TWPT_BW) {
        present = declared = 2;
    } else if (s.pixelType == TWPT_PALETTE) {
        present = declared = 256;
    } else if (isGrey8(s)) {
        present = q.greyTable == SIM_GREYTABLE_NONE ? 0 : 256;
        declared = q.greyTable == SIM_GREYTABLE_PRESENT ? 256 : 0;
    }
}

void writeTable(const PageSpec& s, std::vector<TW_UINT8>& b, std::size_t at, unsigned entries)
{
    for (unsigned i = 0; i < entries; ++i) {
        TW_UINT8 red, green, blue;
        if (s.pixelType == TWPT_PALETTE) {
            red = paletteColour(i, 0);
            green = paletteColour(i, 1);
            blue = paletteColour(i, 2);
        } else {
            // A rising ramp for chocolate data, falling for vanilla, so the
            // picture looks the same either way.
            const unsigned level = entries == 2 ? i * 255 : i;
            red = green = blue = static_cast<TW_UINT8>(s.vanilla ? 255 - level : level);
        }
        b[at + 4 * i] = blue;
        b[at + 4 * i + 1] = green;
        b[at + 4 * i + 2] = red;
        b[at + 4 * i + 3] = 0;
    }
}

// Row y converted from transfer order to DIB order.
void dibRow(const PageSpec& s, const DibQuirks& q, const TW_UINT8* packed, TW_UINT8* out)
{
    const std::size_t w = static_cast<std::size_t>(s.width);
    const std::size_t once = std::min(w, kPeriod);
    if (s.pixelType == TWPT_RGB) {
        for (std::size_t x = 0; x < once; ++x) {
            out[3 * x] = packed[3 * x + 2];
            out[3 * x + 1] = packed[3 * x + 1];
            out[3 * x + 2] = packed[3 * x];
        }
        repeatBytes(out, 3 * once, 3 * w);
    } else if (isGrey16(s)) {
        const unsigned shift = 16 - q.sigBits;
        for (std::size_t x = 0; x < once; ++x) {
            const unsigned v = (packed[2 * x] | (packed[2 * x + 1] << 8)) >> shift;
            out[2 * x] = static_cast<TW_UINT8>(v);
            out[2 * x + 1] = static_cast<TW_UINT8>(v >> 8);
        }
        repeatBytes(out, 2 * once, 2 * w);
    } else {
        std::memcpy(out, packed, packedRowBytes(s));
    }
}

} // namespace

TW_INT32 pelsPerMeter(double dpi)
{
    return static_cast<TW_INT32>(dpi / 0.0254 + 0.5);
}

TW_UINT16 samplesPerPixel(const PageSpec& spec)
{
    return spec.pixelType == TWPT_RGB ? 3 : 1;
}

std::size_t packedRowBytes(const PageSpec& spec)
{
    return (static_cast<std::size_t>(spec.width) * spec.bitDepth + 7) / 8;
}

void renderRow(const PageSpec& s, TW_INT32 y, TW_UINT8* out)
{
    const TW_UINT32 page = s.page;
    const TW_UINT32 row = static_cast<TW_UINT32>(y);
    const TW_UINT32 w = static_cast<TW_UINT32>(s.width);
    const TW_UINT32 once = std::min<TW_UINT32>(w, kPeriod);
    const std::size_t nRow = packedRowBytes(s);
    switch (s.pixelType) {
    case TWPT_BW:
        std::memset(out, 0, std::min<std::size_t>(nRow, kPeriod / 8));
        for (TW_UINT32 x = 0; x < once; ++x) {
            if (isWhite(page, x, row) != s.vanilla)
                out[x / 8] = static_cast<TW_UINT8>(out[x / 8] | (0x80u >> (x % 8)));
        }
        if (w > kPeriod) {
            repeatBytes(out, kPeriod / 8, nRow);
            // The bits past the last pixel stay clear.
            if (w % 8)
                out[nRow - 1] = static_cast<TW_UINT8>(out[nRow - 1] & (0xFF00u >> (w % 8)));
        }
        return;
    case TWPT_GRAY:
        if (s.bitDepth == 16) {
            for (TW_UINT32 x = 0; x < once; ++x) {
                TW_UINT16 v = grey16(page, x, row);
                if (s.vanilla)
                    v = static_cast<TW_UINT16>(0xFFFF - v);
                out[2 * x] = static_cast<TW_UINT8>(v);
                out[2 * x + 1] = static_cast<TW_UINT8>(v >> 8);
            }
            repeatBytes(out, 2 * once, nRow);
        } else {
            for (TW_UINT32 x = 0; x < once; ++x) {
                const TW_UINT8 v = grey8(page, x, row);
                out[x] = s.vanilla ? static_cast<TW_UINT8>(255 - v) : v;
            }
            repeatBytes(out, once, nRow);
        }
        return;
    case TWPT_RGB:
        for (TW_UINT32 x = 0; x < once; ++x) {
            for (TW_UINT32 c = 0; c < 3; ++c)
                out[3 * x + c] = rgb8(page, x, row, c);
        }
        repeatBytes(out, 3 * once, nRow);
        return;
    default:
        for (TW_UINT32 x = 0; x < once; ++x)
            out[x] = paletteIndex(page, x, row);
        repeatBytes(out, once, nRow);
        return;
    }
}

std::size_t dibSize(const PageSpec& s, const DibQuirks& q)
{
    unsigned present = 0, declared = 0;
    colourTable(s, q, present, declared);
    return kInfoHeaderSize + 4 * present + dibStride(s, q) * static_cast<std::size_t>(s.height);
}

void buildDibInto(const PageSpec& s, const DibQuirks& q, TW_UINT8* out)
{
    unsigned present = 0, declared = 0;
    colourTable(s, q, present, declared);
    const std::size_t stride = dibStride(s, q);
    const std::size_t rows = static_cast<std::size_t>(s.height);
    const std::size_t pixelsAt = kInfoHeaderSize + 4 * present;

    // The header and table go through a small vector for the byte helpers.
    std::vector<TW_UINT8> b(pixelsAt, 0);
    codec::BmpInfoHeader info;
    info.width = s.width;
    info.height = s.height; // positive: bottom-up
    info.bitCount = s.bitDepth;
    info.imageSize = static_cast<TW_UINT32>(stride * rows);
    info.xPelsPerMeter = static_cast<std::int32_t>(pelsPerMeter(s.xdpi));
    info.yPelsPerMeter = static_cast<std::int32_t>(pelsPerMeter(s.ydpi));
    info.coloursUsed = info.coloursImportant = declared;
    codec::writeBmpInfoHeader(info, b.data());
    writeTable(s, b, kInfoHeaderSize, present);
    std::memcpy(out, b.data(), pixelsAt);

    const std::size_t nPacked = packedRowBytes(s);
    std::vector<TW_UINT8> packed(nPacked + 1);
    for (std::size_t i = 0; i < rows; ++i) {
        const TW_INT32 y = static_cast<TW_INT32>(rows - 1 - i);
        TW_UINT8* pRow = out + pixelsAt + i * stride;
        renderRow(s, y, packed.data());
        dibRow(s, q, packed.data(), pRow);
        // Row padding is zero, as in a freshly cleared buffer.
        const std::size_t nUsed = s.pixelType == TWPT_RGB ? 3 * static_cast<std::size_t>(s.width)
                                  : isGrey16(s)           ? 2 * static_cast<std::size_t>(s.width)
                                                          : nPacked;
        if (stride > nUsed)
            std::memset(pRow + nUsed, 0, stride - nUsed);
    }
}

std::vector<TW_UINT8> buildDib(const PageSpec& s, const DibQuirks& q)
{
    std::vector<TW_UINT8> b(dibSize(s, q));
    buildDibInto(s, q, b.data());
    return b;
}

std::vector<TW_UINT8> buildTiff(const PageSpec& s)
{
    // TIFF field types and the tags of a baseline image.
    enum : TW_UINT16
    {
        kShort = 3,
        kLong = 4,
        kRational = 5
    };
    struct Entry
    {
        TW_UINT16 tag;
        TW_UINT16 type;
        TW_UINT32 count;
        TW_UINT32 value; // or the offset of the values
    };
    const TW_UINT16 spp = samplesPerPixel(s);
    const TW_UINT16 bps = static_cast<TW_UINT16>(s.bitDepth / spp);
    const std::size_t rowBytes = packedRowBytes(s);
    const std::size_t rows = s.height > 0 ? static_cast<std::size_t>(s.height) : 0;
    const bool palette = s.pixelType == TWPT_PALETTE;
    const TW_UINT16 photometric = s.pixelType == TWPT_RGB ? 2 : palette ? 3 : s.vanilla ? 0 : 1;
    const std::size_t nEntries = palette ? 13 : 12;

    // Header, the one IFD, then the values that do not fit in an entry, then the strip.
    const TW_UINT32 ifd = 8;
    const TW_UINT32 extra = ifd + 2 + static_cast<TW_UINT32>(nEntries) * 12 + 4;
    const TW_UINT32 bpsAt = extra;
    const TW_UINT32 xresAt = bpsAt + 6;
    const TW_UINT32 yresAt = xresAt + 8;
    const TW_UINT32 mapAt = yresAt + 8;
    const TW_UINT32 stripAt = mapAt + (palette ? 3 * 256 * 2 : 0);
    std::vector<TW_UINT8> out(stripAt + rowBytes * rows, 0);
    auto put16 = [&out](std::size_t at, TW_UINT16 v) {
        out[at] = static_cast<TW_UINT8>(v);
        out[at + 1] = static_cast<TW_UINT8>(v >> 8);
    };
    auto put32 = [&put16](std::size_t at, TW_UINT32 v) {
        put16(at, static_cast<TW_UINT16>(v));
        put16(at + 2, static_cast<TW_UINT16>(v >> 16));
    };

    out[0] = 'I';
    out[1] = 'I';
    put16(2, 42);
    put32(4, ifd);
    const TW_UINT32 stripBytes = static_cast<TW_UINT32>(rowBytes * rows);
    std::vector<Entry> entries = {
        {256, kLong, 1, static_cast<TW_UINT32>(s.width)},
        {257, kLong, 1, static_cast<TW_UINT32>(rows)},
        {258, kShort, spp, spp == 1 ? bps : bpsAt},
        {259, kShort, 1, 1}, // no compression
        {262, kShort, 1, photometric},
        {273, kLong, 1, stripAt},
        {277, kShort, 1, spp},
        {278, kLong, 1, static_cast<TW_UINT32>(rows)},
        {279, kLong, 1, stripBytes},
        {282, kRational, 1, xresAt},
        {283, kRational, 1, yresAt},
        {296, kShort, 1, 2}, // inches
    };
    if (palette)
        entries.push_back({320, kShort, 3 * 256, mapAt});
    put16(ifd, static_cast<TW_UINT16>(entries.size()));
    std::size_t at = ifd + 2;
    for (const Entry& e : entries) {
        put16(at, e.tag);
        put16(at + 2, e.type);
        put32(at + 4, e.count);
        if (e.type == kShort && e.count == 1)
            put16(at + 8, static_cast<TW_UINT16>(e.value));
        else
            put32(at + 8, e.value);
        at += 12;
    }
    put32(at, 0); // no further IFD
    for (TW_UINT16 i = 0; i < 3; ++i)
        put16(bpsAt + 2u * i, bps);
    put32(xresAt, static_cast<TW_UINT32>(s.xdpi + 0.5));
    put32(xresAt + 4, 1);
    put32(yresAt, static_cast<TW_UINT32>(s.ydpi + 0.5));
    put32(yresAt + 4, 1);
    if (palette) {
        for (TW_UINT32 channel = 0; channel < 3; ++channel) {
            for (TW_UINT32 i = 0; i < 256; ++i)
                put16(mapAt + 2 * (channel * 256 + i),
                      static_cast<TW_UINT16>(paletteColour(i, channel) * 257u));
        }
    }
    for (std::size_t y = 0; y < rows; ++y)
        renderRow(s, static_cast<TW_INT32>(y), out.data() + stripAt + y * rowBytes);
    return out;
}

std::vector<TW_UINT8> buildBmpFile(const PageSpec& s)
{
    const std::vector<TW_UINT8> dib = buildDib(s, DibQuirks{});
    std::vector<TW_UINT8> file(kFileHeaderSize + dib.size(), 0);
    unsigned present = 0, declared = 0;
    colourTable(s, DibQuirks{}, present, declared);
    codec::BmpFileHeader header;
    header.fileSize = static_cast<TW_UINT32>(file.size());
    header.pixelsAt = static_cast<TW_UINT32>(kFileHeaderSize + kInfoHeaderSize + 4 * present);
    codec::writeBmpFileHeader(header, file.data());
    std::memcpy(file.data() + kFileHeaderSize, dib.data(), dib.size());
    return file;
}

namespace {

struct JpegError
{
    jpeg_error_mgr mgr;
    std::jmp_buf jump;
};

void jpegErrorExit(j_common_ptr cinfo)
{
    std::longjmp(reinterpret_cast<JpegError*>(cinfo->err)->jump, 1);
}

void jpegSilence(j_common_ptr, int) {}

// Only plain data lives in this frame, so leaving it by longjmp is safe.
bool compressRows(const PageSpec& s, int quality, const TW_UINT8* rows, std::size_t stride,
                  unsigned char** out, unsigned long* outSize)
{
    jpeg_compress_struct cinfo;
    JpegError err;
    cinfo.err = jpeg_std_error(&err.mgr);
    err.mgr.error_exit = jpegErrorExit;
    err.mgr.emit_message = jpegSilence;
    if (setjmp(err.jump)) {
        jpeg_destroy_compress(&cinfo);
        return false;
    }
    jpeg_create_compress(&cinfo);
    jpeg_mem_dest(&cinfo, out, outSize);
    cinfo.image_width = static_cast<JDIMENSION>(s.width);
    cinfo.image_height = static_cast<JDIMENSION>(s.height);
    cinfo.input_components = s.pixelType == TWPT_RGB ? 3 : 1;
    cinfo.in_color_space = s.pixelType == TWPT_RGB ? JCS_RGB : JCS_GRAYSCALE;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    // Full chroma resolution: the pattern's colours change from pixel to pixel.
    for (int i = 0; i < cinfo.num_components; ++i)
        cinfo.comp_info[i].h_samp_factor = cinfo.comp_info[i].v_samp_factor = 1;
    cinfo.density_unit = 1; // dots per inch
    cinfo.X_density = static_cast<UINT16>(s.xdpi + 0.5);
    cinfo.Y_density = static_cast<UINT16>(s.ydpi + 0.5);
    jpeg_start_compress(&cinfo, TRUE);
    while (cinfo.next_scanline < cinfo.image_height) {
        JSAMPROW row = const_cast<JSAMPROW>(rows + cinfo.next_scanline * stride);
        jpeg_write_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_compress(&cinfo);
    jpeg_destroy_compress(&cinfo);
    return true;
}

} // namespace

bool encodeJpeg(const PageSpec& s, int quality, std::vector<TW_UINT8>& out)
{
    out.clear();
    const bool ok = (s.pixelType == TWPT_RGB && s.bitDepth == 24) || isGrey8(s);
    if (!ok || s.width <= 0 || s.height <= 0)
        return false;
    // JFIF defines its samples (0 is black): the pixel flavour has no say.
    PageSpec plain = s;
    plain.vanilla = false;
    const std::size_t stride = packedRowBytes(plain);
    std::vector<TW_UINT8> rows(stride * static_cast<std::size_t>(plain.height));
    for (TW_INT32 y = 0; y < plain.height; ++y)
        renderRow(plain, y, rows.data() + static_cast<std::size_t>(y) * stride);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    const bool done = compressRows(s, quality, rows.data(), stride, &buffer, &size);
    if (done && buffer)
        out.assign(buffer, buffer + size);
    std::free(buffer);
    return done && !out.empty();
}

} // namespace simscanner
