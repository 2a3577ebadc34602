#include "client/tiffimage.h"

#include <tiffio.h>

#include <cstring>

namespace pelirand {

namespace {

// A TIFF read from memory through libtiff's client procedures.
struct MemoryFile
{
    const QByteArray* pData = nullptr;
    toff_t nPos = 0;
};

tsize_t readProc(thandle_t h, tdata_t pBuf, tsize_t nSize)
{
    auto* f = static_cast<MemoryFile*>(h);
    const toff_t nLeft = toff_t(f->pData->size()) > f->nPos ? toff_t(f->pData->size()) - f->nPos : 0;
    const toff_t n = std::min<toff_t>(nLeft, toff_t(nSize));
    std::memcpy(pBuf, f->pData->constData() + f->nPos, size_t(n));
    f->nPos += n;
    return tsize_t(n);
}

tsize_t writeProc(thandle_t, tdata_t, tsize_t)
{
    return 0;
}

toff_t seekProc(thandle_t h, toff_t nOff, int nWhence)
{
    auto* f = static_cast<MemoryFile*>(h);
    toff_t nBase = 0;
    if (nWhence == SEEK_CUR)
        nBase = f->nPos;
    else if (nWhence == SEEK_END)
        nBase = toff_t(f->pData->size());
    f->nPos = nBase + nOff;
    return f->nPos;
}

int closeProc(thandle_t)
{
    return 0;
}

toff_t sizeProc(thandle_t h)
{
    return toff_t(static_cast<MemoryFile*>(h)->pData->size());
}

int mapProc(thandle_t, tdata_t*, toff_t*)
{
    return 0;
}

void unmapProc(thandle_t, tdata_t, toff_t) {}

void silence(const char*, const char*, va_list) {}

QImage fail(QString* pError, const QString& sWhy)
{
    if (pError)
        *pError = sWhy;
    return QImage();
}

} // namespace

QImage decodeTiff(const QByteArray& data, QString* pError)
{
    TIFFSetErrorHandler(silence);
    TIFFSetWarningHandler(silence);
    MemoryFile file;
    file.pData = &data;
    TIFF* pTiff = TIFFClientOpen("image.tif", "rm", &file, readProc, writeProc, seekProc, closeProc, sizeProc,
                                 mapProc, unmapProc);
    if (!pTiff)
        return fail(pError, QStringLiteral("the TIFF file cannot be read"));
    uint32_t nWidth = 0, nHeight = 0;
    uint16_t nSpp = 1, nBps = 1, nPhotometric = PHOTOMETRIC_MINISBLACK, nPlanar = PLANARCONFIG_CONTIG;
    TIFFGetField(pTiff, TIFFTAG_IMAGEWIDTH, &nWidth);
    TIFFGetField(pTiff, TIFFTAG_IMAGELENGTH, &nHeight);
    TIFFGetFieldDefaulted(pTiff, TIFFTAG_SAMPLESPERPIXEL, &nSpp);
    TIFFGetFieldDefaulted(pTiff, TIFFTAG_BITSPERSAMPLE, &nBps);
    TIFFGetFieldDefaulted(pTiff, TIFFTAG_PLANARCONFIG, &nPlanar);
    TIFFGetField(pTiff, TIFFTAG_PHOTOMETRIC, &nPhotometric);
    QImage image;
    QString sWhy;
    if (nWidth == 0 || nHeight == 0 || nWidth > (1u << 20) || nHeight > (1u << 20)) {
        sWhy = QStringLiteral("a TIFF image of %1 x %2 pixels").arg(nWidth).arg(nHeight);
    } else if (nSpp == 1 && nBps == 16 &&
               (nPhotometric == PHOTOMETRIC_MINISBLACK || nPhotometric == PHOTOMETRIC_MINISWHITE)) {
        // 16-bit grey keeps every bit.
        image = QImage(int(nWidth), int(nHeight), QImage::Format_Grayscale16);
        const bool bInvert = nPhotometric == PHOTOMETRIC_MINISWHITE;
        for (uint32_t y = 0; y < nHeight && !image.isNull(); ++y) {
            auto* pRow = reinterpret_cast<quint16*>(image.scanLine(int(y)));
            if (TIFFReadScanline(pTiff, pRow, y, 0) != 1) {
                sWhy = QStringLiteral("row %1 of the TIFF file cannot be read").arg(y);
                image = QImage();
                break;
            }
            if (bInvert)
                for (uint32_t x = 0; x < nWidth; ++x)
                    pRow[x] = quint16(65535 - pRow[x]);
        }
    } else {
        QImage rgba(int(nWidth), int(nHeight), QImage::Format_ARGB32);
        if (!rgba.isNull() &&
            TIFFReadRGBAImageOriented(pTiff, nWidth, nHeight, reinterpret_cast<uint32_t*>(rgba.bits()),
                                      ORIENTATION_TOPLEFT, 0) == 1) {
            // libtiff's pixels are R, G, B, A in memory; QImage's ARGB32 is a 32-bit word.
            for (int y = 0; y < rgba.height(); ++y) {
                auto* p = reinterpret_cast<uint32_t*>(rgba.scanLine(y));
                for (int x = 0; x < rgba.width(); ++x) {
                    const uint32_t v = p[x];
                    p[x] = qRgba(int(TIFFGetR(v)), int(TIFFGetG(v)), int(TIFFGetB(v)), int(TIFFGetA(v)));
                }
            }
            image = rgba.convertToFormat(nSpp >= 3 || nPhotometric == PHOTOMETRIC_PALETTE
                                             ? QImage::Format_RGB32
                                             : QImage::Format_Grayscale8);
        } else {
            sWhy = QStringLiteral("the TIFF image cannot be decoded");
        }
    }
    TIFFClose(pTiff);
    if (image.isNull())
        return fail(pError, sWhy.isEmpty() ? QStringLiteral("the TIFF image cannot be decoded") : sWhy);
    return image;
}

} // namespace pelirand
