#ifndef PELIRAND_XFER_DIBNORMALIZE_H
#define PELIRAND_XFER_DIBNORMALIZE_H

// Brings a native image (a packed DIB in a global memory block) into the form
// the bridge delivers: 16-bit images reduced to 8-bit grey, 8-bit images
// without a colour table given a grey one, the height sign inverted. The work
// behind CTwainXFer's private NormalizeDib, reachable on its own for tests.

#include <cstddef>
#include <cstdint>
#include <functional>

#include "platform/win32.h"

namespace XferDetail {

// The transfer engine's diagnostics mask, and the bit that enables its
// detail lines.
constexpr unsigned char kDiagMask = 0x07;
constexpr unsigned char kDiagDetail = 0x10;

// Receives the normalised image: the handle (locked once while the call
// runs), its size in bytes (64-bit: a page may be larger than 2 GiB), and
// bFree, which a receiver clears to keep the handle.
using ImageSink = std::function<void(HGLOBAL hImage, std::int64_t nSize, bool& bFree)>;

// hDib: on entry the handle from the source, on return the handle that holds
// the image now (re-allocation may replace it; the caller frees that one
// when bFree is still set). Calls sink once unless the handle is null or
// cannot be locked. Never reads or writes outside the block: an image whose
// header does not fit its block, or whose conversion would need room that
// cannot be had, is delivered unconverted and the reason is logged.
// bVanilla: the source's sample 0 is white, so a grey table the bridge adds
// falls from white instead of rising from black.
void NormalizeDib(HGLOBAL& hDib, bool& bFree, const ImageSink& sink, unsigned char nDiagMask = kDiagMask,
                  bool bVanilla = false);

// The same for an image in a block of the DSM's memory (a TWAIN 2 DSM's
// memory functions, see twain/twainmem.h), of which the first nLength bytes
// are the image: normalised where it lies, so that no second copy of the page
// exists. Such a block cannot grow: a conversion that needs more room moves
// the image into a larger block of the DSM's memory and frees the old one.
// The sink receives a handle of the DSM's memory, and the caller frees the
// handle hDib holds on return with DSMFree when bFree is still set.
void NormalizeDsmDib(HGLOBAL& hDib, std::size_t nLength, bool& bFree, const ImageSink& sink,
                     unsigned char nDiagMask = kDiagMask, bool bVanilla = false);

// Bytes of the rows of an uncompressed DIB whose info header (40 bytes at
// least) is at pHeader: rows of biWidth * biBitCount bits padded to 4 bytes,
// or biSizeImage where that says more (some sources count it so). 0 when
// the header gives neither.
std::uint64_t DibPixelBytes(const unsigned char* pHeader);

// Entries of an uncompressed DIB's colour table: biClrUsed, or the table
// that biClrUsed 0 means (2, 16 or 256 entries for 1, 4 and 8 bits).
std::uint64_t DibTableEntries(const unsigned char* pHeader);

// The length of the native image at p in a block of nSize bytes from a C
// heap, which rounds its blocks up (a TWAIN 2 DSM's memory on Linux): bytes
// past an uncompressed DIB's own end, too few to be a colour table, are
// that rounding, not the source's. nSize where the header does not tell.
std::size_t NativeImageLength(const unsigned char* p, std::size_t nSize);

} // namespace XferDetail

#endif
