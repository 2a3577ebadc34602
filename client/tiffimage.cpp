#include "client/tiffimage.h"

#include <tiffio.h>

#include "codec/pagesize.h"
#include "codec/tiffrows.h"
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
    codec::TiffPage form;
    std::string sWhy;
    bool bUnsupported = false;
    QImage image;
    if (codec::tiffPage(pTiff, std::uint64_t(data.size()), form, sWhy, &bUnsupported)) {
        // The forms scanners give, in every layout, sample for sample.
        static const QImage::Format kFormats[] = {QImage::Format_Mono,     QImage::Format_Grayscale8,
                                                  QImage::Format_Grayscale16, QImage::Format_Indexed8,
                                                  QImage::Format_RGB888,   QImage::Format_RGBX64};
        QImage page(int(form.width), int(form.height), kFormats[int(form.form)]);
        if (form.form == codec::TiffPageForm::Mono) {
            page.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
        } else if (form.form == codec::TiffPageForm::Palette8) {
            QVector<QRgb> table;
            for (std::uint32_t rgb : form.palette)
                table.append(0xFF000000u | rgb);
            page.setColorTable(table);
        }
        if (page.isNull())
            sWhy = "no memory for the page";
        else if (codec::readTiffPage(pTiff, form, [&page](std::uint32_t y) { return page.scanLine(int(y)); }, sWhy))
            image = page.convertToFormat(form.form == codec::TiffPageForm::Grey16 ? QImage::Format_Grayscale16
                                         : form.form == codec::TiffPageForm::Mono ||
                                                 form.form == codec::TiffPageForm::Grey8
                                             ? QImage::Format_Grayscale8
                                             : QImage::Format_RGB32);
    } else if (bUnsupported) {
        // Other samples (CMYK, subsampled YCbCr, 2 or 4 bits...) through libtiff's RGBA reader, its size
        // checked as 32-bit pixels.
        std::uint32_t nWidth = 0, nHeight = 0;
        uint16_t nSpp = 1, nPhotometric = PHOTOMETRIC_MINISBLACK;
        TIFFGetField(pTiff, TIFFTAG_IMAGEWIDTH, &nWidth);
        TIFFGetField(pTiff, TIFFTAG_IMAGELENGTH, &nHeight);
        TIFFGetFieldDefaulted(pTiff, TIFFTAG_SAMPLESPERPIXEL, &nSpp);
        TIFFGetField(pTiff, TIFFTAG_PHOTOMETRIC, &nPhotometric);
        sWhy.clear();
        if (codec::decodedPageAllowed(codec::decodedPageBytes(nWidth, nHeight, 4, 8), std::uint64_t(data.size()),
                                      false, sWhy)) {
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
            }
        }
    }
    TIFFClose(pTiff);
    if (image.isNull())
        return fail(pError, sWhy.empty() ? QStringLiteral("the TIFF image cannot be decoded")
                                         : QStringLiteral("the TIFF image cannot be decoded: %1")
                                               .arg(QString::fromStdString(sWhy)));
    if (form.dotsPerMeterX > 0)
        image.setDotsPerMeterX(qRound(form.dotsPerMeterX));
    if (form.dotsPerMeterY > 0)
        image.setDotsPerMeterY(qRound(form.dotsPerMeterY));
    return image;
}

} // namespace pelirand
