#ifndef PELIRAND_SOURCES_SANE_SANEIMAGE_H
#define PELIRAND_SOURCES_SANE_SANEIMAGE_H

#include "codec/tiffstream.h"
#include "twain/twain.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

typedef struct tiff TIFF;

namespace sanesource {

// The pixel kinds the source delivers.
enum class PixelKind
{
    Bw, // 1 bit, most significant first, 1 = white (TWPF_CHOCOLATE)
    Gray8,
    Gray16, // little-endian samples
    Rgb24,  // red first
    Rgb48,  // red first, little-endian samples
};

struct ImageShape
{
    PixelKind kind = PixelKind::Gray8;
    std::int32_t width = 0;
    std::int32_t height = -1; // -1 while unknown (hand-held scanners)
    double xdpi = 0;
    double ydpi = 0;
};

TW_UINT16 pixelType(PixelKind kind);
TW_UINT16 bitsPerPixel(PixelKind kind);
TW_UINT16 samplesPerPixel(PixelKind kind);
TW_UINT16 bitsPerSample(PixelKind kind);

// Bytes of a row in transfer order (packed, no padding).
std::size_t rowBytes(const ImageShape& shape);
// One SANE line (pixels_per_line pixels, extra bytes ignored) to transfer order.
void fromSane(const ImageShape& shape, const std::uint8_t* sane, std::uint8_t* row);

// DIB rows: padded to 4 bytes, BGR, otherwise as in transfer order.
std::size_t dibRowBytes(const ImageShape& shape);
void toDibRow(const ImageShape& shape, const std::uint8_t* row, std::uint8_t* out);
// BITMAPINFOHEADER and colour table; height < 0 makes a top-down bitmap.
std::vector<std::uint8_t> dibHeader(const ImageShape& shape, std::int32_t height);
// BITMAPFILEHEADER for a DIB of dibSize bytes whose header part is headerSize.
std::vector<std::uint8_t> bmpFileHeader(std::size_t headerSize, std::size_t dibSize);

// A BMP file written as rows come: top-down, so rows go out in the order
// they arrive; an unknown height is filled in by finish().
class BmpWriter
{
public:
    explicit BmpWriter(const ImageShape& shape) : m_shape(shape) {}
    // The headers, with the height if it is known.
    std::vector<std::uint8_t> header() const;
    std::vector<std::uint8_t> row(const std::uint8_t* transferRow) const;
    // The headers for rows rows, for writing over the first bytes of the file.
    std::vector<std::uint8_t> finalHeader(std::int32_t rows) const;

private:
    ImageShape m_shape;
};

// A TIFF image (uncompressed, strips) written with libtiff into a file or
// into memory.
class TiffWriter
{
public:
    ~TiffWriter();
    bool openFile(const std::string& path, const ImageShape& shape);
    bool openMemory(const ImageShape& shape);
    bool writeRow(const std::uint8_t* transferRow);
    // Completes the file; the bytes of a memory image are then in bytes().
    bool finish();
    void abandon();
    std::vector<std::uint8_t> bytes() const
    {
        return m_memory ? m_memory->bytes() : std::vector<std::uint8_t>();
    }

private:
    bool setUp(const ImageShape& shape);

    std::unique_ptr<codec::TiffMemoryFile> m_memory; // outlives m_tiff
    TIFF* m_tiff = nullptr;
    ImageShape m_shape;
    std::uint32_t m_row = 0;
    std::vector<std::uint8_t> m_scratch;
};

} // namespace sanesource

#endif // PELIRAND_SOURCES_SANE_SANEIMAGE_H
