#include "client/tiffimage.h"

#include <tiffio.h>

#include "codec/tiffstream.h"

#include <cstring>

namespace pelirand {

namespace {

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
    codec::TiffMemoryFile file(data.constData(), std::size_t(data.size()));
    TIFF* pTiff = file.open("image.tif", "rm");
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
