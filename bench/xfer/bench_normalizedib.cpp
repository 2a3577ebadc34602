// NormalizeDib on a 600-dpi A4 page of 16-bit grey, as the simulated scanner
// delivers it (no colour table, rows padded to 4 bytes), against memcpy of the
// same bytes in the same run. The reduction reads the samples twice and
// moves the 8-bit rows once, so about three passes are expected.

#include <QCoreApplication>

#include <cstdio>
#include <cstring>
#include <vector>

#include "bench/benchsupport.h"
#include "sources/sim/simscanner.h"
#include "platform/win32.h"
#include "xfer/dibnormalize.h"

namespace {

constexpr int kWidth = 4960;  // 8.27 in at 600 dpi
constexpr int kHeight = 7016; // 11.69 in at 600 dpi
constexpr int kRuns = 7;

std::vector<unsigned char> grey16Dib()
{
    const std::size_t nStride = (2 * std::size_t(kWidth) + 2) & ~std::size_t(3);
    std::vector<unsigned char> dib(40 + nStride * kHeight, 0);
    BITMAPINFOHEADER bih;
    std::memset(&bih, 0, sizeof(bih));
    bih.biSize = 40;
    bih.biWidth = kWidth;
    bih.biHeight = kHeight;
    bih.biPlanes = 1;
    bih.biBitCount = 16;
    bih.biSizeImage = DWORD(nStride * kHeight);
    bih.biXPelsPerMeter = bih.biYPelsPerMeter = 23622;
    std::memcpy(dib.data(), &bih, sizeof(bih));
    for (int y = 0; y < kHeight; ++y) {
        unsigned char* pRow = dib.data() + 40 + nStride * std::size_t(kHeight - 1 - y);
        for (int x = 0; x < kWidth; ++x) {
            const TW_UINT16 s = simscanner::grey16(1, TW_UINT32(x), TW_UINT32(y));
            pRow[2 * x] = static_cast<unsigned char>(s & 0xFF);
            pRow[2 * x + 1] = static_cast<unsigned char>(s >> 8);
        }
    }
    return dib;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const std::vector<unsigned char> source = grey16Dib();
    const std::size_t nBytes = source.size();
    std::vector<unsigned char> target(nBytes);

    HGLOBAL hDib = nullptr;
    qint64 nDeliveredSize = 0;
    const double msNormalize = medianMs(
        kRuns,
        [&] {
            if (hDib)
                GlobalFree(hDib);
            hDib = GlobalAlloc(GMEM_MOVEABLE, nBytes);
            void* p = GlobalLock(hDib);
            std::memcpy(p, source.data(), nBytes);
            GlobalUnlock(hDib);
        },
        [&] {
            bool bFree = true;
            XferDetail::NormalizeDib(hDib, bFree,
                                     [&](HGLOBAL, std::int64_t nSize, bool&) { nDeliveredSize = nSize; });
        });
    GlobalFree(hDib);
    const double msMemcpy = medianMs(kRuns, nullptr, [&] {
        std::memcpy(target.data(), source.data(), nBytes);
        // Keep the copy from being optimised away.
        volatile unsigned char c = target[nBytes / 2];
        (void)c;
    });

    std::printf("NormalizeDib, 600-dpi A4 16-bit grey (%d x %d, %zu bytes in, %lld bytes out)\n", kWidth,
                kHeight, nBytes, static_cast<long long>(nDeliveredSize));
    std::printf("  NormalizeDib      %8.1f ms (median of %d)\n", msNormalize, kRuns);
    std::printf("  memcpy baseline   %8.1f ms (median of %d)\n", msMemcpy, kRuns);
    std::printf("  ratio             %8.2f x memcpy (aim: at most 3)\n", msNormalize / msMemcpy);
    return 0;
}
