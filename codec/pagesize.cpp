#include "codec/pagesize.h"

namespace codec {

namespace {

// a * b, or UINT64_MAX when it does not fit.
std::uint64_t times(std::uint64_t a, std::uint64_t b)
{
    if (a != 0 && b > UINT64_MAX / a)
        return UINT64_MAX;
    return a * b;
}

} // namespace

std::uint64_t decodedPageBytes(std::uint32_t width, std::uint32_t height, std::uint32_t samples,
                               std::uint32_t bits)
{
    const std::uint64_t rowBits = times(times(width, samples), bits);
    if (rowBits == UINT64_MAX)
        return UINT64_MAX;
    return times((rowBits + 7) / 8, height);
}

bool decodedPageAllowed(std::uint64_t decodedBytes, std::uint64_t fileBytes, bool bUncompressed,
                        std::string& why)
{
    if (decodedBytes == 0) {
        why = "an empty page";
        return false;
    }
    if (decodedBytes > kMaxDecodedPageBytes) {
        why = "a page of " + (decodedBytes == UINT64_MAX ? std::string("more than 2^64")
                                                           : std::to_string(decodedBytes)) +
              " bytes decoded: more than any scanner gives (at most " + std::to_string(kMaxDecodedPageBytes) +
              ")";
        return false;
    }
    if (bUncompressed && decodedBytes > fileBytes) {
        why = "an uncompressed page of " + std::to_string(decodedBytes) + " bytes in a file of " +
              std::to_string(fileBytes);
        return false;
    }
    return true;
}

bool tiffPageAllowed(TIFF* tif, std::uint64_t fileBytes, std::string& why)
{
    std::uint32_t width = 0, height = 0;
    std::uint16_t samples = 1, bits = 1, compression = COMPRESSION_NONE;
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &height);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &samples);
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bits);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &compression);
    const std::uint64_t decoded = decodedPageBytes(width, height, samples, bits);
    if (decodedPageAllowed(decoded, fileBytes, compression == COMPRESSION_NONE, why))
        return true;
    why = "a TIFF page of " + std::to_string(width) + " x " + std::to_string(height) + " pixels, " +
          std::to_string(samples) + " samples of " + std::to_string(bits) + " bits: " + why;
    return false;
}

} // namespace codec
