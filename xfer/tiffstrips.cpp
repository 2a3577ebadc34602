#include "xfer/tiffstrips.h"

#include <tiffio.h>

#include "xfer/filewrite.h"

namespace XferDetail {
namespace {

// Strips of about this many bytes: small enough to stream, large enough to be cheap.
constexpr quint64 kStripBytes = 64 * 1024;

void silence(const char*, const char*, va_list) {}

} // namespace

std::int64_t TiffStripWriter::read(void* pBuf, std::size_t nSize)
{
    const qint64 n = ReadSome(m_nFd, pBuf, qint64(nSize));
    return n < 0 ? -1 : std::int64_t(n);
}

std::int64_t TiffStripWriter::write(const void* pBuf, std::size_t nSize)
{
    QString sWhy;
    if (!WriteAll(m_nFd, pBuf, qint64(nSize), sWhy)) {
        if (m_sOsError.isEmpty())
            m_sOsError = sWhy;
        return -1;
    }
    return std::int64_t(nSize);
}

std::int64_t TiffStripWriter::seek(std::int64_t nOff, int nWhence)
{
    const qint64 n = Seek(m_nFd, qint64(nOff), nWhence);
    return n < 0 ? -1 : std::int64_t(n);
}

std::uint64_t TiffStripWriter::size()
{
    return std::uint64_t(SizeOf(m_nFd));
}

TiffStripWriter::~TiffStripWriter()
{
    QString sIgnored;
    close(sIgnored);
}

bool TiffStripWriter::open(int nFd, quint32 nWidth, quint32 nRows, quint16 nSamplesPerPixel,
                           quint16 nBitsPerSample, bool bMinIsWhite, double dXDpi, double dYDpi,
                           QString& sWhy)
{
    // libtiff's messages would go to standard error; its failures are reported here.
    TIFFSetErrorHandler(silence);
    TIFFSetWarningHandler(silence);
    if (nWidth == 0 || nSamplesPerPixel == 0 || nBitsPerSample == 0) {
        sWhy = QStringLiteral("a TIFF image of width %1 with %2 samples of %3 bits cannot be written")
                   .arg(nWidth)
                   .arg(nSamplesPerPixel)
                   .arg(nBitsPerSample);
        return false;
    }
    m_nFd = nFd;
    m_sOsError.clear();
    TIFF* pTiff = TiffStream::open("pelirand-image.tif", "w");
    if (!pTiff) {
        sWhy = QStringLiteral("cannot start a TIFF file");
        return false;
    }
    m_nRowBytes = (quint64(nWidth) * nSamplesPerPixel * nBitsPerSample + 7) / 8;
    const quint32 nRowsPerStrip = quint32(qMax<quint64>(1, kStripBytes / qMax<quint64>(1, m_nRowBytes)));
    TIFFSetField(pTiff, TIFFTAG_IMAGEWIDTH, nWidth);
    TIFFSetField(pTiff, TIFFTAG_IMAGELENGTH, nRows);
    TIFFSetField(pTiff, TIFFTAG_SAMPLESPERPIXEL, nSamplesPerPixel);
    TIFFSetField(pTiff, TIFFTAG_BITSPERSAMPLE, nBitsPerSample);
    TIFFSetField(pTiff, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(pTiff, TIFFTAG_PHOTOMETRIC,
                 nSamplesPerPixel >= 3 ? PHOTOMETRIC_RGB
                                       : (bMinIsWhite ? PHOTOMETRIC_MINISWHITE : PHOTOMETRIC_MINISBLACK));
    TIFFSetField(pTiff, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
    TIFFSetField(pTiff, TIFFTAG_ROWSPERSTRIP, nRowsPerStrip);
    TIFFSetField(pTiff, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
    if (dXDpi > 0 && dYDpi > 0) {
        TIFFSetField(pTiff, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(pTiff, TIFFTAG_XRESOLUTION, float(dXDpi));
        TIFFSetField(pTiff, TIFFTAG_YRESOLUTION, float(dYDpi));
    }
    m_pTiff = pTiff;
    m_nRowsWritten = 0;
    return true;
}

bool TiffStripWriter::writeRow(const void* pRow, QString& sWhy)
{
    if (!m_pTiff) {
        sWhy = QStringLiteral("the TIFF file is not open");
        return false;
    }
    // libtiff does not change the row it is given; its signature is older than const.
    if (TIFFWriteScanline(static_cast<TIFF*>(m_pTiff), const_cast<void*>(pRow), m_nRowsWritten, 0) != 1) {
        sWhy = m_sOsError.isEmpty() ? QStringLiteral("cannot write the TIFF file") : m_sOsError;
        return false;
    }
    ++m_nRowsWritten;
    return true;
}

bool TiffStripWriter::close(QString& sWhy)
{
    if (!m_pTiff)
        return true;
    TIFF* pTiff = static_cast<TIFF*>(m_pTiff);
    m_pTiff = nullptr;
    const bool bFlushed = TIFFFlush(pTiff) == 1;
    TIFFCleanup(pTiff);
    if (!bFlushed || !m_sOsError.isEmpty()) {
        sWhy = m_sOsError.isEmpty() ? QStringLiteral("cannot write the TIFF file") : m_sOsError;
        return false;
    }
    return true;
}

} // namespace XferDetail
