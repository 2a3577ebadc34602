#include "sources/sane/saneimage.h"

#include "codec/bmpheader.h"

#include <tiffio.h>

#include <algorithm>
#include <cstring>

namespace sanesource {

namespace {

bool hostIsLittleEndian()
{
    const std::uint16_t probe = 1;
    std::uint8_t first;
    std::memcpy(&first, &probe, 1);
    return first == 1;
}

std::int32_t pelsPerMeter(double dpi)
{
    // A device's resolution may be anything: 0 (unknown) when it is no resolution.
    const double pels = dpi / 0.0254 + 0.5;
    return pels >= 1 && pels < 2147483647.0 ? static_cast<std::int32_t>(pels) : 0;
}

unsigned tableEntries(PixelKind kind)
{
    switch (kind) {
    case PixelKind::Bw:
        return 2;
    case PixelKind::Gray8:
        return 256;
    default:
        return 0;
    }
}

} // namespace

TW_UINT16 pixelType(PixelKind kind)
{
    switch (kind) {
    case PixelKind::Bw:
        return TWPT_BW;
    case PixelKind::Gray8:
    case PixelKind::Gray16:
        return TWPT_GRAY;
    default:
        return TWPT_RGB;
    }
}

TW_UINT16 bitsPerPixel(PixelKind kind)
{
    switch (kind) {
    case PixelKind::Bw:
        return 1;
    case PixelKind::Gray8:
        return 8;
    case PixelKind::Gray16:
        return 16;
    case PixelKind::Rgb24:
        return 24;
    default:
        return 48;
    }
}

TW_UINT16 samplesPerPixel(PixelKind kind)
{
    return pixelType(kind) == TWPT_RGB ? 3 : 1;
}

TW_UINT16 bitsPerSample(PixelKind kind)
{
    return static_cast<TW_UINT16>(bitsPerPixel(kind) / samplesPerPixel(kind));
}

std::size_t rowBytes(const ImageShape& shape)
{
    return (static_cast<std::size_t>(shape.width) * bitsPerPixel(shape.kind) + 7) / 8;
}

void fromSane(const ImageShape& shape, const std::uint8_t* sane, std::uint8_t* row)
{
    const std::size_t n = rowBytes(shape);
    switch (shape.kind) {
    case PixelKind::Bw: {
        // SANE's 1 is black, TWAIN's chocolate 1 is white; bits past the
        // last pixel are cleared.
        for (std::size_t i = 0; i < n; ++i)
            row[i] = static_cast<std::uint8_t>(~sane[i]);
        const unsigned tail = static_cast<unsigned>(shape.width % 8);
        if (tail)
            row[n - 1] = static_cast<std::uint8_t>(row[n - 1] & (0xFF00u >> tail));
        break;
    }
    case PixelKind::Gray16:
    case PixelKind::Rgb48:
        if (hostIsLittleEndian()) {
            std::memcpy(row, sane, n);
        } else {
            for (std::size_t i = 0; i + 1 < n; i += 2) {
                row[i] = sane[i + 1];
                row[i + 1] = sane[i];
            }
        }
        break;
    default:
        std::memcpy(row, sane, n);
        break;
    }
}

std::size_t dibRowBytes(const ImageShape& shape)
{
    return (static_cast<std::size_t>(shape.width) * bitsPerPixel(shape.kind) + 31) / 32 * 4;
}

void toDibRow(const ImageShape& shape, const std::uint8_t* row, std::uint8_t* out)
{
    const std::size_t w = static_cast<std::size_t>(shape.width);
    const std::size_t n = rowBytes(shape);
    const std::size_t padded = dibRowBytes(shape);
    switch (shape.kind) {
    case PixelKind::Rgb24:
        for (std::size_t x = 0; x < w; ++x) {
            out[3 * x] = row[3 * x + 2];
            out[3 * x + 1] = row[3 * x + 1];
            out[3 * x + 2] = row[3 * x];
        }
        break;
    case PixelKind::Rgb48:
        for (std::size_t x = 0; x < w; ++x) {
            std::memcpy(out + 6 * x, row + 6 * x + 4, 2);
            std::memcpy(out + 6 * x + 2, row + 6 * x + 2, 2);
            std::memcpy(out + 6 * x + 4, row + 6 * x, 2);
        }
        break;
    default:
        std::memcpy(out, row, n);
        break;
    }
    std::memset(out + n, 0, padded - n);
}

std::vector<std::uint8_t> dibHeader(const ImageShape& shape, std::int32_t height)
{
    const unsigned entries = tableEntries(shape.kind);
    std::vector<std::uint8_t> h(codec::kBmpInfoHeaderSize + 4 * entries, 0);
    const std::uint64_t rows =
        static_cast<std::uint64_t>(height < 0 ? -static_cast<std::int64_t>(height) : height);
    codec::BmpInfoHeader info;
    info.width = shape.width;
    info.height = height;
    info.bitCount = static_cast<std::uint16_t>(bitsPerPixel(shape.kind));
    info.imageSize = static_cast<std::uint32_t>(dibRowBytes(shape) * rows);
    info.xPelsPerMeter = static_cast<std::int32_t>(pelsPerMeter(shape.xdpi));
    info.yPelsPerMeter = static_cast<std::int32_t>(pelsPerMeter(shape.ydpi));
    info.coloursUsed = info.coloursImportant = entries;
    codec::writeBmpInfoHeader(info, h.data());
    for (unsigned i = 0; i < entries; ++i) {
        const std::uint8_t level = static_cast<std::uint8_t>(entries == 2 ? i * 255 : i);
        h[40 + 4 * i] = h[41 + 4 * i] = h[42 + 4 * i] = level;
    }
    return h;
}

std::vector<std::uint8_t> bmpFileHeader(std::size_t headerSize, std::size_t dibSize)
{
    std::vector<std::uint8_t> f(codec::kBmpFileHeaderSize, 0);
    codec::BmpFileHeader file;
    file.fileSize = static_cast<std::uint32_t>(std::min<std::uint64_t>(f.size() + dibSize, 0xFFFFFFFFu));
    file.pixelsAt = static_cast<std::uint32_t>(f.size() + headerSize);
    codec::writeBmpFileHeader(file, f.data());
    return f;
}

std::vector<std::uint8_t> BmpWriter::header() const
{
    return finalHeader(m_shape.height < 0 ? 0 : m_shape.height);
}

std::vector<std::uint8_t> BmpWriter::row(const std::uint8_t* transferRow) const
{
    std::vector<std::uint8_t> out(dibRowBytes(m_shape));
    toDibRow(m_shape, transferRow, out.data());
    return out;
}

std::vector<std::uint8_t> BmpWriter::finalHeader(std::int32_t rows) const
{
    std::vector<std::uint8_t> info = dibHeader(m_shape, -rows);
    std::vector<std::uint8_t> file =
        bmpFileHeader(info.size(), info.size() + dibRowBytes(m_shape) * static_cast<std::size_t>(rows));
    file.insert(file.end(), info.begin(), info.end());
    return file;
}

TiffWriter::~TiffWriter()
{
    abandon();
}

bool TiffWriter::setUp(const ImageShape& shape)
{
    m_shape = shape;
    m_row = 0;
    TIFF* t = m_tiff;
    const TW_UINT16 type = pixelType(shape.kind);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(shape.width));
    if (shape.height >= 0)
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(shape.height));
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, bitsPerSample(shape.kind));
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, samplesPerPixel(shape.kind));
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, type == TWPT_RGB ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(t, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    const std::size_t bytes = std::max<std::size_t>(1, rowBytes(shape));
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP,
                 static_cast<std::uint32_t>(std::max<std::size_t>(1, 65536 / bytes)));
    TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(t, TIFFTAG_XRESOLUTION, static_cast<float>(shape.xdpi));
    TIFFSetField(t, TIFFTAG_YRESOLUTION, static_cast<float>(shape.ydpi));
    TIFFSetField(t, TIFFTAG_SOFTWARE, "pelirand SANE Scanner");
    m_scratch.resize(bytes);
    return true;
}

bool TiffWriter::openFile(const std::string& path, const ImageShape& shape)
{
    abandon();
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    m_tiff = TIFFOpen(path.c_str(), "w");
    return m_tiff && setUp(shape);
}

bool TiffWriter::openMemory(const ImageShape& shape)
{
    abandon();
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    m_memory.reset(new codec::TiffMemoryFile);
    m_tiff = m_memory->open("memory", "w");
    return m_tiff && setUp(shape);
}

bool TiffWriter::writeRow(const std::uint8_t* transferRow)
{
    if (!m_tiff)
        return false;
    const std::size_t n = rowBytes(m_shape);
    std::memcpy(m_scratch.data(), transferRow, n);
    if (!hostIsLittleEndian() && bitsPerSample(m_shape.kind) == 16) {
        for (std::size_t i = 0; i + 1 < n; i += 2)
            std::swap(m_scratch[i], m_scratch[i + 1]);
    }
    return TIFFWriteScanline(m_tiff, m_scratch.data(), m_row++, 0) == 1;
}

bool TiffWriter::finish()
{
    if (!m_tiff)
        return false;
    const bool ok = TIFFFlush(m_tiff) == 1;
    TIFFClose(m_tiff);
    m_tiff = nullptr;
    return ok;
}

void TiffWriter::abandon()
{
    if (m_tiff) {
        TIFFClose(m_tiff);
        m_tiff = nullptr;
    }
}

} // namespace sanesource
