#include "xfer/dibnormalize.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "diag/log.h"
#include "twain/twainmem.h"

namespace XferDetail {
namespace {

// Byte offsets in BITMAPINFOHEADER and BITMAPCOREHEADER.
constexpr std::size_t kOffSize = 0;
constexpr std::size_t kOffWidth = 4;
constexpr std::size_t kOffHeight = 8;
constexpr std::size_t kOffPlanes = 12;
constexpr std::size_t kOffBitCount = 14;
constexpr std::size_t kOffCompression = 16;
constexpr std::size_t kOffSizeImage = 20;
constexpr std::size_t kOffXPels = 24;
constexpr std::size_t kOffYPels = 28;
constexpr std::size_t kOffClrUsed = 32;
constexpr std::size_t kOffClrImportant = 36;
constexpr std::size_t kOffCoreWidth = 4;
constexpr std::size_t kOffCoreHeight = 6;
constexpr std::size_t kOffCorePlanes = 8;
constexpr std::size_t kOffCoreBitCount = 10;

constexpr std::uint32_t kCoreHeaderSize = 12;
constexpr std::uint32_t kInfoHeaderSize = 40;
constexpr std::uint32_t kV4HeaderSize = 108;
constexpr std::uint32_t kV5HeaderSize = 124;
constexpr std::uint64_t kGreyTableBytes = 1024;
// Room the 8-bit colour table gains: the table and 3 bytes more.
constexpr std::uint64_t kTableGrowth = 1027;
// No global block can be larger in a 32-bit process.
constexpr std::uint64_t kMaxBlock = 0x7FFFFFFF;
constexpr int kMaxUnlockCalls = 10;
// Input rows kept aside while converting in one pass.
constexpr std::uint64_t kMaxRowsAside = 4u << 20;

std::uint16_t rd16(const unsigned char* p, std::size_t nOff)
{
    std::uint16_t v;
    std::memcpy(&v, p + nOff, sizeof(v));
    return v;
}

std::uint32_t rd32(const unsigned char* p, std::size_t nOff)
{
    std::uint32_t v;
    std::memcpy(&v, p + nOff, sizeof(v));
    return v;
}

void wr32(unsigned char* p, std::size_t nOff, std::uint32_t v)
{
    std::memcpy(p + nOff, &v, sizeof(v));
}

void wr16(unsigned char* p, std::size_t nOff, std::uint16_t v)
{
    std::memcpy(p + nOff, &v, sizeof(v));
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "samples are read as little-endian words");

// Samples are handled in chunks of this many: loops of a fixed length over
// local copies, which the compiler turns into vector code.
constexpr std::size_t kChunk = 64;

// The i386 baseline has no vector unit; where the processor has SSE2 these
// loops get a version that uses it. The choice is made by an ELF ifunc, which
// Windows executables have not: there the baseline code is all there is.
#if defined(__i386__) && !defined(__SSE2__) && defined(__GNUC__) && !defined(__clang__) && !defined(_WIN32)
#define PELIRAND_VECTOR_CLONES __attribute__((target_clones("sse2", "default")))
#else
#define PELIRAND_VECTOR_CLONES
#endif

// Bitwise OR of nSamples little-endian 16-bit samples.
PELIRAND_VECTOR_CLONES unsigned orOfSamples(const unsigned char* p, std::uint64_t nSamples)
{
    std::uint16_t chunk[kChunk];
    std::uint16_t acc[kChunk] = {};
    std::uint64_t i = 0;
    for (; i + kChunk <= nSamples; i += kChunk) {
        std::memcpy(chunk, p + 2 * i, sizeof(chunk));
        for (std::size_t j = 0; j < kChunk; ++j)
            acc[j] |= chunk[j];
    }
    unsigned n = 0;
    for (std::size_t j = 0; j < kChunk; ++j)
        n |= acc[j];
    for (; i < nSamples; ++i)
        n |= rd16(p, 2 * i);
    return n;
}

// Turns nSamples 16-bit samples at pIn into bytes (sample >> nShift) at pOut.
// pOut may overlap pIn if it does not lie above it: every write lands on
// bytes that have been read already.
PELIRAND_VECTOR_CLONES void packSamples(const unsigned char* pIn, unsigned char* pOut, std::uint64_t nSamples,
                                        int nShift)
{
    std::uint16_t in[kChunk];
    unsigned char out[kChunk];
    std::uint64_t k = 0;
    for (; k + kChunk <= nSamples; k += kChunk) {
        std::memcpy(in, pIn + 2 * k, sizeof(in));
        for (std::size_t j = 0; j < kChunk; ++j)
            out[j] = static_cast<unsigned char>(in[j] >> nShift);
        std::memcpy(pOut + k, out, sizeof(out));
    }
    for (; k < nSamples; ++k)
        pOut[k] = static_cast<unsigned char>(rd16(pIn, 2 * k) >> nShift);
}

unsigned hex32(const void* p)
{
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(p));
}

class Normalizer
{
public:
    Normalizer(HGLOBAL& hDib, bool& bFree, const ImageSink& sink, unsigned char nDiagMask, bool bVanilla,
               bool bDsm = false, std::uint64_t nLength = 0)
        : m_hDib(hDib), m_bFree(bFree), m_sink(sink), m_bDetail((nDiagMask & kDiagDetail) != 0),
          m_bVanilla(bVanilla), m_bDsm(bDsm), m_nLength(nLength)
    {}

    void run();

private:
    void logInfoSummary();
    void reduce16(std::uint32_t nRows);
    void convertRows(std::uint64_t nSrc, std::uint64_t nDest, std::uint64_t nRows, std::uint64_t nSamples,
                     std::uint64_t nReadStride, std::uint64_t nLen8, int nShift);
    void addTable8();
    bool enlarge(std::uint64_t nNewSize);
    bool enlargeDsm(std::uint64_t nNewSize);
    bool relock(HGLOBAL hMem);
    void* lockBlock(HGLOBAL hMem) const { return m_bDsm ? DSMLock(hMem) : GlobalLock(hMem); }
    void unlockBlock(HGLOBAL hMem) const
    {
        if (m_bDsm)
            DSMUnlock(hMem);
        else
            GlobalUnlock(hMem);
    }
    // The image's bytes: a block of the DSM's memory cannot tell its own size.
    std::uint64_t blockSize() const { return m_bDsm ? m_nLength : GlobalSize(m_hMem); }
    void writeGreyTable();
    void deliver();

    HGLOBAL& m_hDib;
    bool& m_bFree;
    const ImageSink& m_sink;
    const bool m_bDetail;
    const bool m_bVanilla;
    // The image lies in a block of the DSM's memory (its handle is not Win32
    // global memory): locked through the DSM, m_nLength bytes of it hold the
    // image, never resized in place.
    const bool m_bDsm;
    std::uint64_t m_nLength;
    HGLOBAL m_hMem = nullptr;
    unsigned char* m_p = nullptr;
    std::uint64_t m_nSize = 0;
    std::uint32_t m_nHeaderSize = 0;
};

void Normalizer::run()
{
    if (!m_hDib) {
        logPrintf("native transfer delivered no image handle");
        return;
    }
    m_hMem = m_hDib;
    m_p = static_cast<unsigned char*>(lockBlock(m_hMem));
    if (!m_p) {
        if (!m_bDsm)
            GlobalUnlock(m_hMem);
        logPrintf("native image handle %08x cannot be locked, the image is lost", hex32(m_hMem));
        return;
    }
    m_nSize = blockSize();
    if (m_nSize < 4) {
        logPrintf("native image block of %1i bytes holds no DIB header, delivered as it came",
                  static_cast<int>(m_nSize));
        deliver();
        return;
    }
    m_nHeaderSize = rd32(m_p, kOffSize);
    if (m_nHeaderSize == kCoreHeaderSize) {
        if (m_bDetail && m_nSize >= kCoreHeaderSize)
            logPrintf("BITMAPCORE: hsize=%1i, (%1ix%1i), pl=%1i, bit=%1i", static_cast<int>(kCoreHeaderSize),
                      rd16(m_p, kOffCoreWidth), rd16(m_p, kOffCoreHeight), rd16(m_p, kOffCorePlanes),
                      rd16(m_p, kOffCoreBitCount));
        deliver();
        return;
    }
    if (m_nHeaderSize > kCoreHeaderSize && m_nHeaderSize < kInfoHeaderSize && m_nHeaderSize <= m_nSize) {
        // A short header still has the height where an info header has it:
        // the rows' order is told the same way, nothing else is converted.
        logPrintf("DIB header of %u bytes: only the height's sign is inverted", m_nHeaderSize);
        wr32(m_p, kOffHeight, 0u - rd32(m_p, kOffHeight));
        deliver();
        return;
    }
    if (m_nHeaderSize < kInfoHeaderSize || m_nHeaderSize > m_nSize) {
        // Nothing in such a block can be located safely: it goes on untouched.
        logPrintf("DIB header size %u does not fit a block of %llu bytes, delivered without conversion",
                  m_nHeaderSize, static_cast<unsigned long long>(m_nSize));
        deliver();
        return;
    }
    if (m_nHeaderSize > kInfoHeaderSize && m_nHeaderSize != kV4HeaderSize && m_nHeaderSize != kV5HeaderSize &&
        rd32(m_p, kOffCompression) == 0) {
        // A header of a size no reader knows, read by its own size: with
        // BI_RGB its bytes beyond the info header mean nothing, so they go.
        const std::uint32_t nExtra = m_nHeaderSize - kInfoHeaderSize;
        std::memmove(m_p + kInfoHeaderSize, m_p + m_nHeaderSize, m_nSize - m_nHeaderSize);
        std::memset(m_p + m_nSize - nExtra, 0, nExtra);
        wr32(m_p, kOffSize, kInfoHeaderSize);
        logPrintf("DIB header of %u bytes shortened to %u", m_nHeaderSize, kInfoHeaderSize);
        m_nHeaderSize = kInfoHeaderSize;
    }
    if (m_bDetail)
        logInfoSummary();

    // Unsigned arithmetic: the height of a lying header may be INT_MIN.
    const std::uint32_t uHeight = rd32(m_p, kOffHeight);
    const std::uint32_t nRows = static_cast<std::int32_t>(uHeight) < 0 ? 0u - uHeight : uHeight;
    wr32(m_p, kOffHeight, 0u - uHeight);

    const std::uint16_t nBitCount = rd16(m_p, kOffBitCount);
    if (nBitCount == 16)
        reduce16(nRows);
    else if (nBitCount == 8 && rd32(m_p, kOffClrUsed) == 0)
        addTable8();
    deliver();
}

void Normalizer::logInfoSummary()
{
    logPrintf("BITMAPINFO: hsize=%1i, (%1ix%1i), pl=%1i, bit=%1i", static_cast<int>(rd32(m_p, kOffSize)),
              static_cast<int>(rd32(m_p, kOffWidth)), static_cast<int>(rd32(m_p, kOffHeight)),
              rd16(m_p, kOffPlanes), rd16(m_p, kOffBitCount));
    logPrintf("compr=%1i, datasize=%1i, res=(%1ix%1i), clr=%1i,%1i",
              static_cast<int>(rd32(m_p, kOffCompression)), static_cast<int>(rd32(m_p, kOffSizeImage)),
              static_cast<int>(rd32(m_p, kOffXPels)), static_cast<int>(rd32(m_p, kOffYPels)),
              static_cast<int>(rd32(m_p, kOffClrUsed)), static_cast<int>(rd32(m_p, kOffClrImportant)));
    logPrintf("handle=%08x, pDib=%08x, size=%1llu", hex32(m_hMem), hex32(m_p),
              static_cast<unsigned long long>(blockSize()));
}

void Normalizer::reduce16(std::uint32_t nRows)
{
    if (m_bDetail)
        logPrintf("reducing 16bit to 8bit");
    const std::int32_t nWidth = static_cast<std::int32_t>(rd32(m_p, kOffWidth));
    std::uint32_t nSizeImage = rd32(m_p, kOffSizeImage);
    const std::uint32_t nClrUsed = rd32(m_p, kOffClrUsed);

    if (nRows == 0) {
        logPrintf("16-bit DIB with 0 rows, delivered without conversion");
        return;
    }
    if (nWidth <= 0) {
        logPrintf("16-bit DIB with width %1i, delivered without conversion", nWidth);
        return;
    }
    const std::uint64_t nPixOff = m_nHeaderSize + 4ull * nClrUsed;
    // 0 is legal for an uncompressed DIB: the size follows from the header
    // (rows padded to 4 bytes, or packed when only that fits the block).
    if (nSizeImage == 0) {
        const std::uint64_t nAligned =
            std::uint64_t(nRows) * ((2 * std::uint64_t(nWidth) + 3) & ~std::uint64_t(3));
        const std::uint64_t nPacked = std::uint64_t(nRows) * 2 * std::uint64_t(nWidth);
        const std::uint64_t nComputed = nPixOff + nAligned <= m_nSize ? nAligned : nPacked;
        if (nComputed <= 0xFFFFFFFFull) {
            nSizeImage = static_cast<std::uint32_t>(nComputed);
            logPrintf("16-bit DIB without biSizeImage: %u bytes of pixel data assumed", nSizeImage);
        }
    }
    if (nPixOff + nSizeImage > m_nSize) {
        logPrintf("16-bit DIB: %u bytes of pixel data at offset %llu do not fit a block of %llu bytes, "
                  "delivered without conversion",
                  nSizeImage, static_cast<unsigned long long>(nPixOff),
                  static_cast<unsigned long long>(m_nSize));
        return;
    }

    const std::uint64_t nW = static_cast<std::uint64_t>(nWidth);
    const std::uint64_t nLen8 = (nW + 3) & ~std::uint64_t(3);
    const std::uint64_t nAligned16 = (2 * nW + 2) & ~std::uint64_t(3);
    std::uint64_t nLen16;
    bool bDataMissing = false;
    if (nRows * nAligned16 == nSizeImage) {
        nLen16 = nAligned16;
    } else if (nRows * 2 * nW == nSizeImage) {
        nLen16 = 2 * nW;
    } else {
        if (nSizeImage == 0) {
            // Reducing the width to the data found would leave an empty image.
            logPrintf("16-bit DIB without biSizeImage, delivered without conversion");
            return;
        }
        if (m_bDetail)
            logPrintf("bitmap data missing: wanted=%1i, found=%1i lines", static_cast<int>(nRows * 2 * nW),
                      static_cast<int>(nSizeImage));
        nLen16 = nSizeImage / nRows;
        bDataMissing = true;
    }
    // Bounds the room a lying header can make the block grow by.
    if (nRows * nW > m_nSize) {
        logPrintf("16-bit DIB of %u x %u pixels does not fit its block of %llu bytes, delivered without "
                  "conversion",
                  static_cast<unsigned>(nWidth), nRows, static_cast<unsigned long long>(m_nSize));
        return;
    }
    const std::uint64_t nNeed = m_nHeaderSize + kGreyTableBytes + nRows * nLen8;
    if (nNeed > kMaxBlock) {
        logPrintf("16-bit DIB would need a block of %llu bytes, delivered without conversion",
                  static_cast<unsigned long long>(nNeed));
        return;
    }

    // Samples converted per row, and the bytes from one row's first sample to
    // the next row's. Rows longer than the width needs keep the width: their
    // surplus samples are skipped, so that no output row overlaps the next.
    std::uint64_t nSamplesPerRow = nLen16 / 2;
    std::uint64_t nReadStride = 2 * nSamplesPerRow;
    if (bDataMissing && nSamplesPerRow > nW) {
        logPrintf("16-bit DIB rows of %llu bytes hold more than %u samples: the surplus is dropped",
                  static_cast<unsigned long long>(nLen16), static_cast<unsigned>(nWidth));
        nSamplesPerRow = nW;
        nReadStride = nLen16;
        bDataMissing = false;
    }
    {
        const unsigned nOr = orOfSamples(m_p + nPixOff, nSizeImage / 2);
        int nShift = 8;
        while (nShift > 0 && !(nOr & (1u << (7 + nShift))))
            --nShift;
        if (m_bDetail)
            logPrintf("llen16=%1i, llen8=%1i, add=%1i, shift=%1i", static_cast<int>(nLen16),
                      static_cast<int>(nLen8), static_cast<int>(nLen8 - nSamplesPerRow), nShift);

        if (nNeed > m_nSize && !enlarge(nNeed)) {
            logPrintf("16-bit DIB needs a block of %llu bytes, its block of %llu bytes cannot be enlarged: "
                      "delivered without conversion",
                      static_cast<unsigned long long>(nNeed), static_cast<unsigned long long>(m_nSize));
            return;
        }

        convertRows(nPixOff, nClrUsed != 256 ? m_nHeaderSize + kGreyTableBytes : nPixOff, nRows,
                    nSamplesPerRow, nReadStride, nLen8, nShift);
    }

    if (bDataMissing)
        wr32(m_p, kOffWidth, static_cast<std::uint32_t>(nSamplesPerRow));
    writeGreyTable();

    if (m_bDsm) {
        // The DSM's block keeps its size; only its first nNeed bytes are the image now.
        m_nLength = m_nSize = nNeed;
        wr32(m_p, kOffSizeImage, static_cast<std::uint32_t>(nRows * nLen8));
        return;
    }
    // Shrunk while still locked, so that it stays where it is instead of
    // being copied; unlocked, as a last resort, it may move.
    HGLOBAL hShrunk = nNeed < m_nSize ? GlobalReAlloc(m_hMem, static_cast<SIZE_T>(nNeed), 0) : m_hMem;
    if (hShrunk) {
        m_hMem = hShrunk;
        m_p = static_cast<unsigned char*>(GlobalLock(m_hMem));
        GlobalUnlock(m_hMem);
    } else {
        GlobalUnlock(m_hMem);
        hShrunk = GlobalReAlloc(m_hMem, static_cast<SIZE_T>(nNeed), 0);
        if (hShrunk)
            m_hMem = hShrunk;
        else
            logPrintf("reduced 16-bit DIB keeps its block of %llu bytes (cannot shrink it to %llu)",
                      static_cast<unsigned long long>(m_nSize), static_cast<unsigned long long>(nNeed));
        m_p = static_cast<unsigned char*>(GlobalLock(m_hMem));
    }
    if (!m_p)
        return;
    m_nSize = GlobalSize(m_hMem);
    wr32(m_p, kOffSizeImage, static_cast<std::uint32_t>(nRows * nLen8));
}

// Converts nRows rows of nSamples 16-bit samples, nReadStride bytes apart
// from nSrc, into 8-bit rows nLen8 bytes apart from nDest (row fill zeroed),
// within the block. nLen8 is at least nSamples.
void Normalizer::convertRows(std::uint64_t nSrc, std::uint64_t nDest, std::uint64_t nRows,
                             std::uint64_t nSamples, std::uint64_t nReadStride, std::uint64_t nLen8,
                             int nShift)
{
    auto srcOf = [&](std::uint64_t i) { return nSrc + i * nReadStride; };
    auto dstOf = [&](std::uint64_t i) { return nDest + i * nLen8; };
    auto zeroFill = [&](std::uint64_t i) {
        if (nLen8 > nSamples)
            std::memset(m_p + dstOf(i) + nSamples, 0, nLen8 - nSamples);
    };

    // One pass when output rows are no longer than input rows: a row whose
    // output starts at or below its input can be converted in place, in
    // ascending order, without reaching rows not yet read. The few first rows
    // whose output starts above their input are kept aside and written last.
    if (nReadStride == 2 * nSamples && nLen8 <= nReadStride) {
        std::uint64_t nAside = 0;
        if (nDest > nSrc) {
            const std::uint64_t nSlope = nReadStride - nLen8;
            nAside = nSlope ? std::min(nRows, (nDest - nSrc + nSlope - 1) / nSlope) : nRows;
        }
        if (nAside * nReadStride <= kMaxRowsAside) {
            std::vector<unsigned char> aside(m_p + nSrc, m_p + nSrc + nAside * nReadStride);
            for (std::uint64_t i = nAside; i < nRows; ++i) {
                packSamples(m_p + srcOf(i), m_p + dstOf(i), nSamples, nShift);
                zeroFill(i);
            }
            for (std::uint64_t i = 0; i < nAside; ++i) {
                packSamples(aside.data() + i * nReadStride, m_p + dstOf(i), nSamples, nShift);
                zeroFill(i);
            }
            return;
        }
    }

    // Otherwise two passes: the samples packed from the start of the pixel
    // data (the write position never passes the read position), then the rows
    // spread to nLen8 apart. A row's displacement grows with its index, so rows
    // moving down go first in ascending order, rows moving up after them in
    // descending order, and no row overwrites one that has not moved yet.
    for (std::uint64_t i = 0; i < nRows; ++i)
        packSamples(m_p + srcOf(i), m_p + nSrc + i * nSamples, nSamples, nShift);
    auto packedOf = [&](std::uint64_t i) { return nSrc + i * nSamples; };
    std::uint64_t nFirstUp = 0;
    while (nFirstUp < nRows && dstOf(nFirstUp) <= packedOf(nFirstUp))
        ++nFirstUp;
    for (std::uint64_t i = 0; i < nFirstUp; ++i)
        std::memmove(m_p + dstOf(i), m_p + packedOf(i), nSamples);
    for (std::uint64_t i = nRows; i > nFirstUp; --i)
        std::memmove(m_p + dstOf(i - 1), m_p + packedOf(i - 1), nSamples);
    for (std::uint64_t i = 0; i < nRows; ++i)
        zeroFill(i);
}

void Normalizer::addTable8()
{
    // Whether the block holds a table is told by the sizes the header gives:
    // the rows (computed when biSizeImage is 0) must fit behind one.
    if (m_nSize >= m_nHeaderSize + kGreyTableBytes + DibPixelBytes(m_p)) {
        if (m_bDetail)
            logPrintf("setting ClrUsed to 256");
        wr32(m_p, kOffClrUsed, 256);
        return;
    }
    if (m_bDetail)
        logPrintf("adding grayscale palette");
    const std::uint64_t nOldSize = m_nSize;
    if (!enlarge(nOldSize + kTableGrowth)) {
        logPrintf("8-bit DIB without colour table: its block of %llu bytes cannot be enlarged, delivered "
                  "without a table",
                  static_cast<unsigned long long>(nOldSize));
        return;
    }
    std::memmove(m_p + m_nHeaderSize + kGreyTableBytes, m_p + m_nHeaderSize, nOldSize - m_nHeaderSize);
    // The bytes the block gained beyond the moved data hold nothing.
    std::memset(m_p + nOldSize + kGreyTableBytes, 0, m_nSize - (nOldSize + kGreyTableBytes));
    writeGreyTable();
}

// Unlocks the block, makes it moveable and re-allocates it to nNewSize bytes,
// then locks it again. On failure the block keeps its size and contents and
// is locked again under whichever handle is valid now.
bool Normalizer::enlarge(std::uint64_t nNewSize)
{
    if (nNewSize > kMaxBlock) {
        if (!m_bDsm)
            relock(m_hMem);
        return false;
    }
    if (m_bDsm)
        return enlargeDsm(nNewSize);
    int nTries = 0;
    for (int i = 0; i < kMaxUnlockCalls; ++i) {
        if (!GlobalUnlock(m_hMem))
            break;
        ++nTries;
    }
    m_p = nullptr;
    HGLOBAL hMoveable = GlobalReAlloc(m_hMem, 0, GMEM_MODIFY | GMEM_MOVEABLE);
    if (!hMoveable) {
        relock(m_hMem);
        return false;
    }
    m_hMem = hMoveable;
    HGLOBAL hLarger = GlobalReAlloc(m_hMem, static_cast<SIZE_T>(nNewSize), 0);
    if (!hLarger || GlobalSize(hLarger) < nNewSize) {
        relock(hLarger ? hLarger : m_hMem);
        return false;
    }
    if (!relock(hLarger))
        return false;
    if (m_bDetail)
        logPrintf("tries=%1i, handle=%08x, pDib=%08x, size=%1i", nTries, hex32(m_hMem), hex32(m_p),
                  static_cast<int>(m_nSize));
    return true;
}

// A block of the DSM's memory cannot grow: the image moves into a larger one
// from the same allocator, and the old block, the bridge's since the source
// handed it over, is freed.
bool Normalizer::enlargeDsm(std::uint64_t nNewSize)
{
    const HGLOBAL hLarger = DSMAlloc(static_cast<TW_UINT32>(nNewSize));
    auto* pLarger = hLarger ? static_cast<unsigned char*>(DSMLock(hLarger)) : nullptr;
    if (!pLarger) {
        DSMFree(hLarger);
        return false;
    }
    std::memcpy(pLarger, m_p, static_cast<std::size_t>(m_nSize));
    DSMUnlock(m_hMem);
    DSMFree(m_hMem);
    m_hMem = hLarger;
    m_hDib = hLarger;
    m_p = pLarger;
    m_nLength = m_nSize = nNewSize;
    return true;
}

bool Normalizer::relock(HGLOBAL hMem)
{
    m_hMem = hMem;
    m_p = static_cast<unsigned char*>(GlobalLock(hMem));
    m_nSize = m_p ? GlobalSize(hMem) : 0;
    return m_p != nullptr;
}

void Normalizer::writeGreyTable()
{
    if (m_bDetail)
        logPrintf("initializing grayscale palette");
    unsigned char* pTable = m_p + m_nHeaderSize;
    for (unsigned i = 0; i < 256; ++i) {
        const unsigned char c = static_cast<unsigned char>(m_bVanilla ? 255 - i : i);
        pTable[4 * i + 0] = c;
        pTable[4 * i + 1] = c;
        pTable[4 * i + 2] = c;
        pTable[4 * i + 3] = 0;
    }
    wr16(m_p, kOffBitCount, 8);
    wr32(m_p, kOffClrUsed, 256);
}

void Normalizer::deliver()
{
    m_hDib = m_hMem;
    if (!m_p) {
        logPrintf("native image handle %08x cannot be locked again, the image is lost", hex32(m_hMem));
        return;
    }
    if (m_bDetail && m_nHeaderSize >= kInfoHeaderSize && m_nHeaderSize <= m_nSize)
        logInfoSummary();
    m_sink(m_hMem, static_cast<std::int64_t>(blockSize()), m_bFree);
    unlockBlock(m_hMem);
}

} // namespace

std::uint64_t DibPixelBytes(const unsigned char* pHeader)
{
    const std::int32_t nWidth = static_cast<std::int32_t>(rd32(pHeader, kOffWidth));
    const std::uint32_t uHeight = rd32(pHeader, kOffHeight);
    const std::uint64_t nRows = static_cast<std::int32_t>(uHeight) < 0 ? 0u - uHeight : uHeight;
    const std::uint64_t nBits = rd16(pHeader, kOffBitCount);
    const std::uint64_t nStrided =
        nWidth > 0 ? (std::uint64_t(nWidth) * nBits + 31) / 32 * 4 * nRows : std::uint64_t(0);
    return std::max<std::uint64_t>(rd32(pHeader, kOffSizeImage), nStrided);
}

std::uint64_t DibTableEntries(const unsigned char* pHeader)
{
    const std::uint32_t nClrUsed = rd32(pHeader, kOffClrUsed);
    const std::uint16_t nBits = rd16(pHeader, kOffBitCount);
    if (nClrUsed == 0 && nBits <= 8)
        return std::uint64_t(1) << nBits;
    return nClrUsed;
}

std::size_t NativeImageLength(const unsigned char* p, std::size_t nSize)
{
    if (nSize < kInfoHeaderSize)
        return nSize;
    const std::uint32_t nHeader = rd32(p, kOffSize);
    if (nHeader < kInfoHeaderSize || nHeader > nSize)
        return nSize;
    if (rd32(p, kOffCompression) != 0 || rd32(p, kOffClrUsed) > 256)
        return nSize;
    const std::uint64_t nPixels = DibPixelBytes(p);
    if (nPixels == 0)
        return nSize;
    // The table biClrUsed 0 implies is counted; an 8-bit image without one
    // (which the normalisation gives a grey table) is the header and rows alone.
    for (const std::uint64_t nEntries : {DibTableEntries(p), std::uint64_t(rd32(p, kOffClrUsed))}) {
        const std::uint64_t nEnd = std::uint64_t(nHeader) + 4u * nEntries + nPixels;
        if (nEnd <= nSize && nSize - nEnd < kGreyTableBytes)
            return static_cast<std::size_t>(nEnd);
    }
    return nSize;
}

void NormalizeDib(HGLOBAL& hDib, bool& bFree, const ImageSink& sink, unsigned char nDiagMask, bool bVanilla)
{
    Normalizer(hDib, bFree, sink, nDiagMask, bVanilla).run();
}

void NormalizeDsmDib(HGLOBAL& hDib, std::size_t nLength, bool& bFree, const ImageSink& sink,
                     unsigned char nDiagMask, bool bVanilla)
{
    Normalizer(hDib, bFree, sink, nDiagMask, bVanilla, true, nLength).run();
}

} // namespace XferDetail
