#ifndef PELIRAND_CODEC_PAGESIZE_H
#define PELIRAND_CODEC_PAGESIZE_H

// How large a decoded page may be before anything is allocated for it.
//
// A page's decoded samples (width x height x samples x bits) must fit in the
// file's own bytes when the file stores them uncompressed, and in
// kMaxDecodedPageBytes otherwise. 1 GiB holds an A4 page of 16-bit colour at
// 1200 dpi, or a large-format sheet of 8-bit colour at 600 dpi: more than any
// scanner gives in one page, so a larger claim is a damaged or hostile file.
// Plain C++, no state.

#include <cstdint>
#include <string>

#include <tiffio.h>

namespace codec {

constexpr std::uint64_t kMaxDecodedPageBytes = std::uint64_t(1) << 30;

// The decoded bytes of a page of width x height pixels of samples of bits
// each, rows padded to whole bytes; 0 when any factor is 0. Never overflows
// (each factor is below 2^32 and the product saturates at UINT64_MAX).
std::uint64_t decodedPageBytes(std::uint32_t width, std::uint32_t height, std::uint32_t samples,
                               std::uint32_t bits);

// Whether a page of that many decoded bytes may be allocated: not empty,
// within the file's bytes when bUncompressed, within kMaxDecodedPageBytes
// always. False with why set ("... more than any scanner gives").
bool decodedPageAllowed(std::uint64_t decodedBytes, std::uint64_t fileBytes, bool bUncompressed,
                        std::string& why);

// The same for the current directory of a TIFF read from fileBytes bytes.
bool tiffPageAllowed(TIFF* tif, std::uint64_t fileBytes, std::string& why);

} // namespace codec

#endif // PELIRAND_CODEC_PAGESIZE_H
