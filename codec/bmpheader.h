#ifndef PELIRAND_CODEC_BMPHEADER_H
#define PELIRAND_CODEC_BMPHEADER_H

// The two headers at the start of a BMP file: the 14-byte file header ("BM",
// file size, offset of the pixels) and the 40-byte info header of the DIB,
// each written and read field by field in little-endian order from one table
// of offsets that is checked when this library is compiled. Rows of an
// uncompressed image are padded to 4 bytes; a negative height means the rows
// run top-down. Nothing here checks that the numbers make sense: readers that
// take headers from outside check them against the bytes they have.

#include <cstddef>
#include <cstdint>

namespace codec {

constexpr std::size_t kBmpFileHeaderSize = 14;
constexpr std::size_t kBmpInfoHeaderSize = 40;
constexpr std::uint16_t kBmpType = 0x4D42; // "BM" read as a little-endian number

struct BmpFileHeader
{
    std::uint16_t type = kBmpType;
    std::uint32_t fileSize = 0;
    std::uint16_t reserved1 = 0;
    std::uint16_t reserved2 = 0;
    std::uint32_t pixelsAt = 0; // bfOffBits
};

struct BmpInfoHeader
{
    std::uint32_t headerSize = kBmpInfoHeaderSize;
    std::int32_t width = 0;
    std::int32_t height = 0;
    std::uint16_t planes = 1;
    std::uint16_t bitCount = 0;
    std::uint32_t compression = 0; // BI_RGB
    std::uint32_t imageSize = 0;
    std::int32_t xPelsPerMeter = 0;
    std::int32_t yPelsPerMeter = 0;
    std::uint32_t coloursUsed = 0;
    std::uint32_t coloursImportant = 0;
};

// out and bytes hold at least kBmpFileHeaderSize or kBmpInfoHeaderSize bytes.
void writeBmpFileHeader(const BmpFileHeader& header, unsigned char* out);
void writeBmpInfoHeader(const BmpInfoHeader& header, unsigned char* out);
BmpFileHeader readBmpFileHeader(const unsigned char* bytes);
BmpInfoHeader readBmpInfoHeader(const unsigned char* bytes);

// Bytes of one row of an uncompressed image, padded to 4 bytes.
std::uint64_t bmpRowBytes(std::uint32_t width, std::uint16_t bitCount);

// An uncompressed image as a BMP file holds it.
struct BmpImage
{
    std::uint32_t width = 0;
    std::uint32_t rows = 0;
    std::uint16_t bitCount = 0;
    bool topDown = false;
    std::uint32_t colours = 0; // entries of the colour table (4 bytes each)
    std::int32_t xPelsPerMeter = 0;
    std::int32_t yPelsPerMeter = 0;
};

// Both headers of such an image: sizes, the offset of the pixels behind the
// colour table, and the height negative for top-down rows. False when the
// file would not fit the 32-bit size fields or the height field.
bool bmpHeadersFor(const BmpImage& image, BmpFileHeader& file, BmpInfoHeader& info);

} // namespace codec

#endif
