#include "codec/bmpheader.h"

namespace codec {
namespace {

struct Field
{
    std::size_t at;
    std::size_t size;
};

// In the order the fields stand in the file.
enum FileField { bfType, bfSize, bfReserved1, bfReserved2, bfOffBits, kFileFields };
enum InfoField {
    biSize,
    biWidth,
    biHeight,
    biPlanes,
    biBitCount,
    biCompression,
    biSizeImage,
    biXPelsPerMeter,
    biYPelsPerMeter,
    biClrUsed,
    biClrImportant,
    kInfoFields
};

// clang-format off
constexpr Field kFile[kFileFields] = {
    {0, 2},  // bfType
    {2, 4},  // bfSize
    {6, 2},  // bfReserved1
    {8, 2},  // bfReserved2
    {10, 4}, // bfOffBits
};

constexpr Field kInfo[kInfoFields] = {
    {0, 4},  // biSize
    {4, 4},  // biWidth
    {8, 4},  // biHeight
    {12, 2}, // biPlanes
    {14, 2}, // biBitCount
    {16, 4}, // biCompression
    {20, 4}, // biSizeImage
    {24, 4}, // biXPelsPerMeter
    {28, 4}, // biYPelsPerMeter
    {32, 4}, // biClrUsed
    {36, 4}, // biClrImportant
};
// clang-format on

// The fields follow each other without gaps and fill the header exactly.
template <std::size_t N>
constexpr bool backToBack(const Field (&fields)[N], std::size_t total)
{
    std::size_t at = 0;
    for (const Field& f : fields) {
        if (f.at != at || (f.size != 2 && f.size != 4))
            return false;
        at += f.size;
    }
    return at == total;
}
static_assert(backToBack(kFile, kBmpFileHeaderSize), "the file header table has a gap or overlap");
static_assert(backToBack(kInfo, kBmpInfoHeaderSize), "the info header table has a gap or overlap");

void put(unsigned char* out, const Field& f, std::uint32_t value)
{
    for (std::size_t i = 0; i < f.size; ++i)
        out[f.at + i] = static_cast<unsigned char>(value >> (8 * i));
}

std::uint32_t get(const unsigned char* bytes, const Field& f)
{
    std::uint32_t value = 0;
    for (std::size_t i = 0; i < f.size; ++i)
        value |= static_cast<std::uint32_t>(bytes[f.at + i]) << (8 * i);
    return value;
}

// Two's complement without relying on the conversion of out-of-range values.
std::int32_t asSigned(std::uint32_t value)
{
    return value <= 0x7FFFFFFFu ? static_cast<std::int32_t>(value)
                                : -static_cast<std::int32_t>(~value) - 1;
}

} // namespace

void writeBmpFileHeader(const BmpFileHeader& header, unsigned char* out)
{
    put(out, kFile[bfType], header.type);
    put(out, kFile[bfSize], header.fileSize);
    put(out, kFile[bfReserved1], header.reserved1);
    put(out, kFile[bfReserved2], header.reserved2);
    put(out, kFile[bfOffBits], header.pixelsAt);
}

void writeBmpInfoHeader(const BmpInfoHeader& header, unsigned char* out)
{
    put(out, kInfo[biSize], header.headerSize);
    put(out, kInfo[biWidth], static_cast<std::uint32_t>(header.width));
    put(out, kInfo[biHeight], static_cast<std::uint32_t>(header.height));
    put(out, kInfo[biPlanes], header.planes);
    put(out, kInfo[biBitCount], header.bitCount);
    put(out, kInfo[biCompression], header.compression);
    put(out, kInfo[biSizeImage], header.imageSize);
    put(out, kInfo[biXPelsPerMeter], static_cast<std::uint32_t>(header.xPelsPerMeter));
    put(out, kInfo[biYPelsPerMeter], static_cast<std::uint32_t>(header.yPelsPerMeter));
    put(out, kInfo[biClrUsed], header.coloursUsed);
    put(out, kInfo[biClrImportant], header.coloursImportant);
}

BmpFileHeader readBmpFileHeader(const unsigned char* bytes)
{
    BmpFileHeader header;
    header.type = static_cast<std::uint16_t>(get(bytes, kFile[bfType]));
    header.fileSize = get(bytes, kFile[bfSize]);
    header.reserved1 = static_cast<std::uint16_t>(get(bytes, kFile[bfReserved1]));
    header.reserved2 = static_cast<std::uint16_t>(get(bytes, kFile[bfReserved2]));
    header.pixelsAt = get(bytes, kFile[bfOffBits]);
    return header;
}

BmpInfoHeader readBmpInfoHeader(const unsigned char* bytes)
{
    BmpInfoHeader header;
    header.headerSize = get(bytes, kInfo[biSize]);
    header.width = asSigned(get(bytes, kInfo[biWidth]));
    header.height = asSigned(get(bytes, kInfo[biHeight]));
    header.planes = static_cast<std::uint16_t>(get(bytes, kInfo[biPlanes]));
    header.bitCount = static_cast<std::uint16_t>(get(bytes, kInfo[biBitCount]));
    header.compression = get(bytes, kInfo[biCompression]);
    header.imageSize = get(bytes, kInfo[biSizeImage]);
    header.xPelsPerMeter = asSigned(get(bytes, kInfo[biXPelsPerMeter]));
    header.yPelsPerMeter = asSigned(get(bytes, kInfo[biYPelsPerMeter]));
    header.coloursUsed = get(bytes, kInfo[biClrUsed]);
    header.coloursImportant = get(bytes, kInfo[biClrImportant]);
    return header;
}

std::uint64_t bmpRowBytes(std::uint32_t width, std::uint16_t bitCount)
{
    return (std::uint64_t(width) * bitCount + 31) / 32 * 4;
}

bool bmpHeadersFor(const BmpImage& image, BmpFileHeader& file, BmpInfoHeader& info)
{
    if (image.width > 0x7FFFFFFFu || image.rows > 0x7FFFFFFFu)
        return false;
    const std::uint64_t rowBytes = bmpRowBytes(image.width, image.bitCount);
    if (image.rows != 0 && rowBytes > 0xFFFFFFFFu / image.rows)
        return false;
    const std::uint64_t pixels = rowBytes * image.rows;
    const std::uint64_t pixelsAt =
        kBmpFileHeaderSize + kBmpInfoHeaderSize + 4 * static_cast<std::uint64_t>(image.colours);
    if (pixelsAt + pixels > 0xFFFFFFFFu)
        return false;
    file = BmpFileHeader();
    file.fileSize = static_cast<std::uint32_t>(pixelsAt + pixels);
    file.pixelsAt = static_cast<std::uint32_t>(pixelsAt);
    info = BmpInfoHeader();
    info.width = static_cast<std::int32_t>(image.width);
    info.height = image.topDown ? -static_cast<std::int32_t>(image.rows) : static_cast<std::int32_t>(image.rows);
    info.bitCount = image.bitCount;
    info.imageSize = static_cast<std::uint32_t>(pixels);
    info.xPelsPerMeter = image.xPelsPerMeter;
    info.yPelsPerMeter = image.yPelsPerMeter;
    info.coloursUsed = image.colours;
    return true;
}

} // namespace codec
