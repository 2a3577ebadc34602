#include "client/scan/pagewriter.h"

#include "codec/tiffstream.h"
#include "pelirand/twainblocks.h"

#include <QBuffer>
#include <QFile>
#include <QFileInfo>
#include <QImageWriter>
#include <QVector>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <tiffio.h>
#include <zlib.h>

namespace pelirand {

namespace {

bool fail(QString* pError, const QString& sWhy)
{
    if (pError)
        *pError = sWhy;
    return false;
}

// --- What a page is, and its rows in the forms the writers need ------------

enum class Kind
{
    Bw,
    Grey8,
    Grey16,
    Rgb8,
    Rgb16,
    Palette,
};

Kind kindOf(const QImage& page)
{
    switch (page.format()) {
    case QImage::Format_Mono:
    case QImage::Format_MonoLSB:
        return Kind::Bw;
    case QImage::Format_Grayscale8:
        return Kind::Grey8;
    case QImage::Format_Grayscale16:
        return Kind::Grey16;
    case QImage::Format_Indexed8:
        return page.isGrayscale() ? Kind::Grey8 : Kind::Palette;
    case QImage::Format_RGBX64:
    case QImage::Format_RGBA64:
    case QImage::Format_RGBA64_Premultiplied:
        return Kind::Rgb16;
    default:
        return Kind::Rgb8;
    }
}

// Dots per inch as the image holds them (72 when it holds none).
double dpiX(const QImage& page)
{
    const double dpi = page.dotsPerMeterX() * 0.0254;
    return dpi > 0.5 ? std::round(dpi * 100) / 100 : 72.0;
}

double dpiY(const QImage& page)
{
    const double dpi = page.dotsPerMeterY() * 0.0254;
    return dpi > 0.5 ? std::round(dpi * 100) / 100 : 72.0;
}

// Rows of 1-bit pixels, most significant bit first, 1 for black.
QByteArray blackBits(const QImage& page)
{
    const QImage grey = page.convertToFormat(QImage::Format_Grayscale8);
    const int nRowBytes = (grey.width() + 7) / 8;
    QByteArray bits(nRowBytes * grey.height(), '\0');
    for (int y = 0; y < grey.height(); ++y) {
        const uchar* pRow = grey.constScanLine(y);
        char* pOut = bits.data() + y * nRowBytes;
        for (int x = 0; x < grey.width(); ++x) {
            if (pRow[x] < 128)
                pOut[x / 8] = char(pOut[x / 8] | (0x80 >> (x % 8)));
        }
    }
    return bits;
}

// Samples row by row, no padding: 8-bit as they are, 16-bit big-endian.
QByteArray samples(const QImage& page, Kind kind)
{
    QByteArray out;
    switch (kind) {
    case Kind::Grey8:
    case Kind::Palette: {
        const QImage img = kind == Kind::Grey8 ? page.convertToFormat(QImage::Format_Grayscale8) : page;
        out.reserve(img.width() * img.height());
        for (int y = 0; y < img.height(); ++y)
            out.append(reinterpret_cast<const char*>(img.constScanLine(y)), img.width());
        break;
    }
    case Kind::Grey16: {
        const QImage img = page.convertToFormat(QImage::Format_Grayscale16);
        out.resize(img.width() * img.height() * 2);
        char* p = out.data();
        for (int y = 0; y < img.height(); ++y) {
            const quint16* pRow = reinterpret_cast<const quint16*>(img.constScanLine(y));
            for (int x = 0; x < img.width(); ++x) {
                *p++ = char(pRow[x] >> 8);
                *p++ = char(pRow[x] & 0xFF);
            }
        }
        break;
    }
    case Kind::Rgb16: {
        const QImage img = page.convertToFormat(QImage::Format_RGBX64);
        out.resize(img.width() * img.height() * 6);
        char* p = out.data();
        for (int y = 0; y < img.height(); ++y) {
            const QRgba64* pRow = reinterpret_cast<const QRgba64*>(img.constScanLine(y));
            for (int x = 0; x < img.width(); ++x) {
                for (quint16 v : {pRow[x].red(), pRow[x].green(), pRow[x].blue()}) {
                    *p++ = char(v >> 8);
                    *p++ = char(v & 0xFF);
                }
            }
        }
        break;
    }
    default: {
        const QImage img = page.convertToFormat(QImage::Format_RGB888);
        out.reserve(img.width() * img.height() * 3);
        for (int y = 0; y < img.height(); ++y)
            out.append(reinterpret_cast<const char*>(img.constScanLine(y)), img.width() * 3);
        break;
    }
    }
    return out;
}

QByteArray deflate(const QByteArray& data)
{
    uLongf nOut = compressBound(uLong(data.size()));
    QByteArray out(int(nOut), '\0');
    if (compress2(reinterpret_cast<Bytef*>(out.data()), &nOut,
                  reinterpret_cast<const Bytef*>(data.constData()), uLong(data.size()),
                  Z_BEST_COMPRESSION) != Z_OK)
        return QByteArray();
    out.truncate(int(nOut));
    return out;
}

// --- libtiff: messages and memory files -------------------------------------

QString& tiffMessage()
{
    static QString s_sMessage;
    return s_sMessage;
}

extern "C" void tiffError(const char* pModule, const char* pFormat, va_list args)
{
    char buffer[512];
    std::vsnprintf(buffer, sizeof(buffer), pFormat, args);
    tiffMessage() = QStringLiteral("%1: %2").arg(QString::fromLocal8Bit(pModule ? pModule : "libtiff"),
                                                 QString::fromLocal8Bit(buffer));
}

extern "C" void tiffWarning(const char*, const char*, va_list)
{
    // Warnings about tags a reader does not know change nothing here.
}

void quietTiff()
{
    static bool s_bDone = false;
    if (s_bDone)
        return;
    s_bDone = true;
    TIFFSetErrorHandler(tiffError);
    TIFFSetWarningHandler(tiffWarning);
}

// A TIFF in memory; a page beyond INT_MAX / 2 bytes is refused, as a QByteArray could not take it.
using MemFile = codec::TiffMemoryFile;
constexpr quint64 kMaxMemFile = INT_MAX / 2;

TIFF* openMem(MemFile& file, const char* pMode)
{
    quietTiff();
    return file.open("memory", pMode);
}

// Sets the fields of one page and writes its rows; the directory is left to the caller.
bool writeTiffPage(TIFF* tif, const QImage& page, QString* pError, uint32_t nRowsPerStrip = 0)
{
    const Kind kind = kindOf(page);
    const int w = page.width();
    const int h = page.height();
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(w));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(h));
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, float(dpiX(page)));
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, float(dpiY(page)));
    int nRowBytes = 0;
    QByteArray data;
    switch (kind) {
    case Kind::Bw:
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
        data = blackBits(page);
        nRowBytes = (w + 7) / 8;
        break;
    case Kind::Grey8:
    case Kind::Grey16:
    case Kind::Palette:
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, kind == Kind::Grey16 ? 16 : 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                     kind == Kind::Palette ? PHOTOMETRIC_PALETTE : PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        if (kind != Kind::Palette)
            TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        nRowBytes = w * (kind == Kind::Grey16 ? 2 : 1);
        break;
    default:
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, kind == Kind::Rgb16 ? 16 : 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        nRowBytes = w * (kind == Kind::Rgb16 ? 6 : 3);
        break;
    }
    if (kind == Kind::Palette) {
        std::vector<uint16_t> red(256, 0), green(256, 0), blue(256, 0);
        const QVector<QRgb> table = page.colorTable();
        for (int i = 0; i < table.size() && i < 256; ++i) {
            red[size_t(i)] = uint16_t(qRed(table[i]) * 257);
            green[size_t(i)] = uint16_t(qGreen(table[i]) * 257);
            blue[size_t(i)] = uint16_t(qBlue(table[i]) * 257);
        }
        TIFFSetField(tif, TIFFTAG_COLORMAP, red.data(), green.data(), blue.data());
    }
    if (kind != Kind::Bw) {
        data = samples(page, kind);
        // libtiff takes 16-bit samples in the machine's order.
        if (kind == Kind::Grey16 || kind == Kind::Rgb16) {
            for (int i = 0; i + 1 < data.size(); i += 2) {
                const quint16 v = quint16((uchar(data[i]) << 8) | uchar(data[i + 1]));
                std::memcpy(data.data() + i, &v, 2);
            }
        }
    }
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, nRowsPerStrip ? nRowsPerStrip : TIFFDefaultStripSize(tif, 0));
    for (int y = 0; y < h; ++y) {
        if (TIFFWriteScanline(tif, data.data() + qint64(y) * nRowBytes, uint32_t(y), 0) < 0)
            return fail(pError, tiffMessage().isEmpty() ? QStringLiteral("libtiff cannot write the rows")
                                                        : tiffMessage());
    }
    return true;
}

// The same for a page given row by row (8-bit grey or RGB): the fields
// writeTiffPage sets for such a page, and the rows one at a time, so that no
// whole copy of the page is made.
bool writeTiffRows(TIFF* tif, const PageRows& rows, QString* pError)
{
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(rows.iWidth));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(rows.iHeight));
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, float(rows.dpiX));
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, float(rows.dpiY));
    TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, rows.bRgb ? 3 : 1);
    TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, rows.bRgb ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
    TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
    TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tif, 0));
    std::vector<uchar> row(size_t(rows.iWidth) * (rows.bRgb ? 3 : 1));
    for (int y = 0; y < rows.iHeight; ++y) {
        rows.row(y, row.data());
        if (TIFFWriteScanline(tif, row.data(), uint32_t(y), 0) < 0)
            return fail(pError, tiffMessage().isEmpty() ? QStringLiteral("libtiff cannot write the rows")
                                                        : tiffMessage());
    }
    return true;
}

// A black-and-white page as a CCITT Group 4 stream (libtiff's coder).
QByteArray group4(const QImage& page)
{
    MemFile file(kMaxMemFile);
    TIFF* tif = openMem(file, "w");
    if (!tif)
        return QByteArray();
    // One strip: the whole page is one Group 4 stream.
    bool bOk = writeTiffPage(tif, page, nullptr, uint32_t(page.height()));
    bOk = bOk && TIFFWriteDirectory(tif);
    TIFFClose(tif);
    if (!bOk)
        return QByteArray();
    tif = openMem(file, "r");
    if (!tif)
        return QByteArray();
    QByteArray out;
    if (TIFFNumberOfStrips(tif) == 1) {
        const tmsize_t nRaw = TIFFRawStripSize(tif, 0);
        if (nRaw > 0) {
            out.resize(int(nRaw));
            if (TIFFReadRawStrip(tif, 0, out.data(), nRaw) != nRaw)
                out.clear();
        }
    }
    TIFFClose(tif);
    return out;
}

// --- Writers -----------------------------------------------------------------

class TiffWriter : public MultiPageWriter
{
public:
    ~TiffWriter() override
    {
        if (m_pTif) {
            TIFFClose(m_pTif);
            QFile::remove(m_sPart);
        }
    }
    bool open(const QString& sFileName, QString* pError) override
    {
        quietTiff();
        m_sFileName = sFileName;
        m_sPart = sFileName + QStringLiteral(".part");
        m_pTif = TIFFOpen(QFile::encodeName(m_sPart).constData(), "w");
        if (!m_pTif)
            return fail(pError, QStringLiteral("cannot write %1: %2").arg(m_sPart, tiffMessage()));
        return true;
    }
    bool addPage(const QImage& page, QString* pError) override
    {
        if (!m_pTif)
            return fail(pError, QStringLiteral("the TIFF file is not open"));
        TIFFSetField(m_pTif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(m_pTif, TIFFTAG_PAGENUMBER, uint16_t(m_nPages), uint16_t(0));
        // A black-and-white page codes best as one Group 4 stream.
        if (!writeTiffPage(m_pTif, page, pError, kindOf(page) == Kind::Bw ? uint32_t(page.height()) : 0))
            return false;
        if (!TIFFWriteDirectory(m_pTif))
            return fail(pError, QStringLiteral("cannot write %1: %2").arg(m_sPart, tiffMessage()));
        ++m_nPages;
        return true;
    }
    bool addRows(const PageRows& rows, QString* pError) override
    {
        if (!m_pTif)
            return fail(pError, QStringLiteral("the TIFF file is not open"));
        TIFFSetField(m_pTif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(m_pTif, TIFFTAG_PAGENUMBER, uint16_t(m_nPages), uint16_t(0));
        if (!writeTiffRows(m_pTif, rows, pError))
            return false;
        if (!TIFFWriteDirectory(m_pTif))
            return fail(pError, QStringLiteral("cannot write %1: %2").arg(m_sPart, tiffMessage()));
        ++m_nPages;
        return true;
    }
    bool finish(QString* pError) override
    {
        if (!m_pTif)
            return fail(pError, QStringLiteral("the TIFF file is not open"));
        TIFFClose(m_pTif);
        m_pTif = nullptr;
        return rename(pError);
    }
    int pageCount() const override { return m_nPages; }

private:
    bool rename(QString* pError)
    {
        if (!QFile::rename(m_sPart, m_sFileName)) {
            QFile::remove(m_sPart);
            return fail(pError, QStringLiteral("cannot name the file %1").arg(m_sFileName));
        }
        return true;
    }

    TIFF* m_pTif = nullptr;
    QString m_sFileName;
    QString m_sPart;
    int m_nPages = 0;
};

class PdfWriter : public MultiPageWriter
{
public:
    explicit PdfWriter(int iJpegQuality) : m_iJpegQuality(iJpegQuality) {}
    ~PdfWriter() override
    {
        if (m_file.isOpen()) {
            m_file.close();
            m_file.remove();
        }
    }
    bool open(const QString& sFileName, QString* pError) override
    {
        m_sFileName = sFileName;
        m_file.setFileName(sFileName + QStringLiteral(".part"));
        if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return fail(pError,
                        QStringLiteral("cannot write %1: %2").arg(m_file.fileName(), m_file.errorString()));
        // Objects 1 and 2 (catalogue and page tree) are written last, when the pages are known.
        m_offsets = {0, 0, 0};
        return put("%PDF-1.5\n%\xE2\xE3\xCF\xD3\n", pError);
    }
    bool addPage(const QImage& page, QString* pError) override
    {
        const Kind kind = kindOf(page);
        const int w = page.width();
        const int h = page.height();
        QByteArray dict = "<< /Type /XObject /Subtype /Image /Width " + QByteArray::number(w) + " /Height " +
                          QByteArray::number(h);
        QByteArray stream;
        if (kind == Kind::Bw) {
            stream = group4(page);
            if (stream.isEmpty())
                return fail(pError,
                            QStringLiteral("page %1 cannot be coded as CCITT Group 4").arg(m_nPages + 1));
            dict +=
                " /ColorSpace /DeviceGray /BitsPerComponent 1 /Filter /CCITTFaxDecode /DecodeParms << /K -1 "
                "/Columns " +
                QByteArray::number(w) + " /Rows " + QByteArray::number(h) + " /BlackIs1 false >>";
        } else if ((kind == Kind::Grey8 || kind == Kind::Rgb8) && m_iJpegQuality > 0) {
            QBuffer buffer(&stream);
            buffer.open(QIODevice::WriteOnly);
            QImageWriter writer(&buffer, "jpg");
            writer.setQuality(m_iJpegQuality);
            const QImage img = kind == Kind::Grey8 ? page.convertToFormat(QImage::Format_Grayscale8)
                                                   : page.convertToFormat(QImage::Format_RGB888);
            if (!writer.write(img))
                return fail(pError, QStringLiteral("page %1 cannot be coded as JPEG: %2")
                                        .arg(m_nPages + 1)
                                        .arg(writer.errorString()));
            dict += kind == Kind::Grey8 ? " /ColorSpace /DeviceGray" : " /ColorSpace /DeviceRGB";
            dict += " /BitsPerComponent 8 /Filter /DCTDecode";
        } else {
            stream = deflate(samples(page, kind));
            if (stream.isEmpty())
                return fail(pError, QStringLiteral("page %1 cannot be compressed").arg(m_nPages + 1));
            const bool b16 = kind == Kind::Grey16 || kind == Kind::Rgb16;
            if (kind == Kind::Palette) {
                QByteArray hex;
                const QVector<QRgb> table = page.colorTable();
                for (int i = 0; i < 256; ++i) {
                    const QRgb c = i < table.size() ? table[i] : 0;
                    char rgb[3] = {char(qRed(c)), char(qGreen(c)), char(qBlue(c))};
                    hex += QByteArray(rgb, 3).toHex();
                }
                dict += " /ColorSpace [/Indexed /DeviceRGB 255 <" + hex + ">]";
            } else {
                dict += (kind == Kind::Grey8 || kind == Kind::Grey16) ? " /ColorSpace /DeviceGray"
                                                                      : " /ColorSpace /DeviceRGB";
            }
            dict += " /BitsPerComponent " + QByteArray(b16 ? "16" : "8") + " /Filter /FlateDecode";
        }
        dict += " /Length " + QByteArray::number(stream.size()) + " >>";
        const int nImage = newObject();
        if (!putObject(nImage, dict, &stream, pError))
            return false;

        // The page is as large as the paper was at the scan's resolution.
        const QByteArray width = QByteArray::number(w * 72.0 / dpiX(page), 'f', 2);
        const QByteArray height = QByteArray::number(h * 72.0 / dpiY(page), 'f', 2);
        const QByteArray content = "q " + width + " 0 0 " + height + " 0 0 cm /Im0 Do Q\n";
        const int nContent = newObject();
        if (!putObject(nContent, "<< /Length " + QByteArray::number(content.size()) + " >>", &content,
                       pError))
            return false;
        const int nPage = newObject();
        const QByteArray pageDict = "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 " + width + " " + height +
                                    "] /Resources << /XObject << /Im0 " + QByteArray::number(nImage) +
                                    " 0 R >> >> /Contents " + QByteArray::number(nContent) + " 0 R >>";
        if (!putObject(nPage, pageDict, nullptr, pError))
            return false;
        m_lstPages.append(nPage);
        ++m_nPages;
        return true;
    }
    bool finish(QString* pError) override
    {
        if (!m_file.isOpen())
            return fail(pError, QStringLiteral("the PDF file is not open"));
        QByteArray kids;
        for (int nPage : qAsConst(m_lstPages))
            kids += QByteArray::number(nPage) + " 0 R ";
        if (!putObject(2,
                       "<< /Type /Pages /Kids [" + kids.trimmed() + "] /Count " +
                           QByteArray::number(m_nPages) + " >>",
                       nullptr, pError) ||
            !putObject(1, "<< /Type /Catalog /Pages 2 0 R >>", nullptr, pError))
            return false;
        const qint64 nXref = m_file.pos();
        QByteArray xref = "xref\n0 " + QByteArray::number(m_offsets.size()) + "\n0000000000 65535 f \n";
        for (int i = 1; i < m_offsets.size(); ++i)
            xref += QByteArray::number(m_offsets[i]).rightJustified(10, '0') + " 00000 n \n";
        xref += "trailer\n<< /Size " + QByteArray::number(m_offsets.size()) + " /Root 1 0 R >>\nstartxref\n" +
                QByteArray::number(nXref) + "\n%%EOF\n";
        if (!put(xref, pError))
            return false;
        if (!m_file.flush())
            return fail(pError,
                        QStringLiteral("cannot write %1: %2").arg(m_file.fileName(), m_file.errorString()));
        m_file.close();
        if (!QFile::rename(m_file.fileName(), m_sFileName)) {
            m_file.remove();
            return fail(pError, QStringLiteral("cannot name the file %1").arg(m_sFileName));
        }
        return true;
    }
    int pageCount() const override { return m_nPages; }

private:
    int newObject()
    {
        m_offsets.append(0);
        return m_offsets.size() - 1;
    }
    bool put(const QByteArray& bytes, QString* pError)
    {
        if (m_file.write(bytes) != bytes.size())
            return fail(pError,
                        QStringLiteral("cannot write %1: %2").arg(m_file.fileName(), m_file.errorString()));
        return true;
    }
    bool putObject(int nObject, const QByteArray& dict, const QByteArray* pStream, QString* pError)
    {
        m_offsets[nObject] = m_file.pos();
        QByteArray head = QByteArray::number(nObject) + " 0 obj\n" + dict;
        if (!pStream)
            return put(head + "\nendobj\n", pError);
        return put(head + "\nstream\n", pError) && put(*pStream, pError) &&
               put("\nendstream\nendobj\n", pError);
    }

    int m_iJpegQuality;
    QString m_sFileName;
    QFile m_file;
    QVector<qint64> m_offsets;
    QList<int> m_lstPages;
    int m_nPages = 0;
};

bool writePnm(const QImage& page, const QString& sFileName, QString* pError)
{
    const Kind kind = kindOf(page);
    QByteArray header;
    QByteArray data;
    const QByteArray size = QByteArray::number(page.width()) + " " + QByteArray::number(page.height());
    // PNM has no field for the resolution: a comment carries it, as other tools do.
    const QByteArray comment = "# resolution " + QByteArray::number(dpiX(page), 'g', 6) + "x" +
                               QByteArray::number(dpiY(page), 'g', 6) + " dpi\n";
    switch (kind) {
    case Kind::Bw:
        header = "P4\n" + comment + size + "\n";
        data = blackBits(page);
        break;
    case Kind::Grey8:
    case Kind::Grey16:
        header = "P5\n" + comment + size + (kind == Kind::Grey16 ? "\n65535\n" : "\n255\n");
        data = samples(page, kind);
        break;
    default: {
        const Kind rgb = kind == Kind::Rgb16 ? Kind::Rgb16 : Kind::Rgb8;
        header = "P6\n" + comment + size + (rgb == Kind::Rgb16 ? "\n65535\n" : "\n255\n");
        data = samples(page, rgb);
        break;
    }
    }
    QFile file(sFileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(header) != header.size() ||
        file.write(data) != data.size() || !file.flush())
        return fail(pError, QStringLiteral("cannot write %1: %2").arg(sFileName, file.errorString()));
    return true;
}

} // namespace

QStringList pageFormatNames()
{
    return {QStringLiteral("png"),  QStringLiteral("bmp"),  QStringLiteral("pnm"),
            QStringLiteral("jpeg"), QStringLiteral("tiff"), QStringLiteral("pdf")};
}

QString pageFormatExtension(const QString& sFormat)
{
    if (sFormat == QLatin1String("jpeg"))
        return QStringLiteral("jpg");
    if (sFormat == QLatin1String("tiff"))
        return QStringLiteral("tif");
    return sFormat;
}

bool isMultiPageFormat(const QString& sFormat)
{
    return sFormat == QLatin1String("pdf") || sFormat == QLatin1String("tiff");
}

MultiPageWriter::~MultiPageWriter() = default;

bool MultiPageWriter::addRows(const PageRows& rows, QString* pError)
{
    QImage page(rows.iWidth, rows.iHeight, rows.bRgb ? QImage::Format_RGB888 : QImage::Format_Grayscale8);
    if (page.isNull())
        return fail(pError,
                    QStringLiteral("no memory for a page of %1 x %2").arg(rows.iWidth).arg(rows.iHeight));
    for (int y = 0; y < rows.iHeight; ++y)
        rows.row(y, page.scanLine(y));
    page.setDotsPerMeterX(qRound(rows.dpiX / 0.0254));
    page.setDotsPerMeterY(qRound(rows.dpiY / 0.0254));
    return addPage(page, pError);
}

namespace {

constexpr int kBmpFileHeader = 14;
// Bytes of a mapped page read between two releases.
constexpr qint64 kReleaseBytes = 8 << 20;
// Far beyond any scanner's page.
constexpr qint64 kMaxRowsExtent = 1 << 20;

// Dots per inch as a QImage read from the bitmap would say, 0 for none.
double dpiOfPelsPerMeter(qint32 nPels)
{
    const double dpi = nPels * 0.0254;
    return dpi > 0.5 ? std::round(dpi * 100) / 100 : 0;
}

} // namespace

bool pageRowsOf(const Image& image, PageRows& rows)
{
    if (!image.isValid())
        return false;
    const QByteArray bytes = image.bytes();
    const bool bBmp = !image.isDib() && bytes.startsWith("BM");
    if (!image.isDib() && !bBmp)
        return false;
    const int nBase = bBmp ? kBmpFileHeader : 0;
    const quint32 nHeader = readU32(bytes, nBase);
    if (nHeader < 40 || nHeader > 1024 || nBase + qint64(nHeader) > bytes.size())
        return false;
    const qint64 nWidth = qint32(readU32(bytes, nBase + 4));
    const qint32 nStoredHeight = qint32(readU32(bytes, nBase + 8));
    const quint16 nPlanes = readU16(bytes, nBase + 12);
    const quint16 nBits = readU16(bytes, nBase + 14);
    const quint32 nCompression = readU32(bytes, nBase + 16);
    const quint32 nClrUsed = readU32(bytes, nBase + 32);
    if (nStoredHeight == INT32_MIN || nPlanes != 1 || nCompression != 0 || (nBits != 24 && nBits != 8))
        return false;
    const qint64 nRows = std::abs(qint64(nStoredHeight));
    if (nWidth <= 0 || nWidth > kMaxRowsExtent || nRows == 0 || nRows > kMaxRowsExtent)
        return false;
    const double dpiX = dpiOfPelsPerMeter(qint32(readU32(bytes, nBase + 24)));
    const double dpiY = dpiOfPelsPerMeter(qint32(readU32(bytes, nBase + 28)));
    if (dpiX <= 0 || dpiY <= 0)
        return false;
    const qint64 nTable = nBits == 8 ? (nClrUsed ? qint64(nClrUsed) : 256) : qint64(nClrUsed);
    if (nTable > 256)
        return false;
    const qint64 nTableAt = nBase + qint64(nHeader);
    if (nTableAt + 4 * nTable > bytes.size())
        return false;
    // Only the identity grey table: its samples are the grey values as they are.
    if (nBits == 8) {
        if (nTable != 256)
            return false;
        for (int i = 0; i < 256; ++i) {
            const uchar* p = reinterpret_cast<const uchar*>(bytes.constData() + nTableAt + 4 * i);
            if (p[0] != i || p[1] != i || p[2] != i)
                return false;
        }
    }
    const qint64 nPixelsAt = bBmp ? qint64(readU32(bytes, 10)) : nTableAt + 4 * nTable;
    const qint64 nStride = (nWidth * nBits + 31) / 32 * 4;
    if (nPixelsAt < nTableAt || nPixelsAt + nStride * nRows > bytes.size())
        return false;
    // The bridge inverts the height's sign of a DIB without moving its rows;
    // a positive height in the file's sense means the bottom row comes first.
    const bool bBottomUp = (bBmp ? nStoredHeight : -nStoredHeight) > 0;
    const uchar* pPixels = reinterpret_cast<const uchar*>(bytes.constData() + nPixelsAt);
    const bool bRgb = nBits == 24;
    rows.iWidth = int(nWidth);
    rows.iHeight = int(nRows);
    rows.bRgb = bRgb;
    rows.dpiX = dpiX;
    rows.dpiY = dpiY;
    // A mapped page's rows leave this process's memory once read, some MB at a time.
    const qint64 nRowsPerRelease = std::max<qint64>(1, kReleaseBytes / nStride);
    // The image (and with it the bytes, whether read or mapped) is kept with the rows.
    rows.row = [image, nRowsPerRelease, pPixels, nStride, nRows, nWidth, bBottomUp, bRgb](int iRow,
                                                                                          uchar* pOut) {
        const qint64 nStored = bBottomUp ? nRows - 1 - iRow : qint64(iRow);
        const uchar* pIn = pPixels + nStride * nStored;
        if ((iRow + 1) % nRowsPerRelease == 0) {
            // The rows read since the last release lie next to each other.
            const qint64 nFirst = bBottomUp ? nStored : nStored + 1 - nRowsPerRelease;
            image.releaseBytes(reinterpret_cast<const char*>(pPixels + nStride * nFirst),
                               nStride * nRowsPerRelease);
        }
        if (!bRgb) {
            std::memcpy(pOut, pIn, size_t(nWidth));
            return;
        }
        for (qint64 x = 0; x < nWidth; ++x, pIn += 3, pOut += 3) {
            pOut[0] = pIn[2];
            pOut[1] = pIn[1];
            pOut[2] = pIn[0];
        }
    };
    return true;
}

std::unique_ptr<MultiPageWriter> MultiPageWriter::create(const QString& sFormat, int iJpegQuality)
{
    if (sFormat == QLatin1String("pdf"))
        return std::unique_ptr<MultiPageWriter>(new PdfWriter(iJpegQuality));
    if (sFormat == QLatin1String("tiff"))
        return std::unique_ptr<MultiPageWriter>(new TiffWriter);
    return nullptr;
}

bool writePageFile(const QImage& page, const QString& sFileName, const QString& sFormat, int iJpegQuality,
                   QString* pError)
{
    if (page.isNull())
        return fail(pError, QStringLiteral("no image to write"));
    if (sFormat == QLatin1String("pnm"))
        return writePnm(page, sFileName, pError);
    QImage img = page;
    const Kind kind = kindOf(page);
    QByteArray qtFormat = sFormat.toLatin1();
    if (sFormat == QLatin1String("jpeg")) {
        qtFormat = "jpg";
        // JPEG holds 8-bit grey or colour only.
        if (kind == Kind::Bw || kind == Kind::Grey8 || kind == Kind::Grey16)
            img = page.convertToFormat(QImage::Format_Grayscale8);
        else if (kind != Kind::Rgb8)
            img = page.convertToFormat(QImage::Format_RGB888);
    } else if (sFormat == QLatin1String("bmp")) {
        // BMP holds no 16-bit samples.
        if (kind == Kind::Grey16)
            img = page.convertToFormat(QImage::Format_Grayscale8);
        else if (kind == Kind::Rgb16)
            img = page.convertToFormat(QImage::Format_RGB32);
    } else if (sFormat != QLatin1String("png")) {
        return fail(pError, QStringLiteral("%1 is not a one-page format").arg(sFormat));
    }
    QImageWriter writer(sFileName, qtFormat);
    if (sFormat == QLatin1String("jpeg"))
        writer.setQuality(iJpegQuality > 0 ? iJpegQuality : 100);
    if (!writer.write(img))
        return fail(pError, QStringLiteral("cannot write %1: %2").arg(sFileName, writer.errorString()));
    return true;
}

QList<QImage> readTiffPages(const QByteArray& tiff, QString* pError)
{
    QList<QImage> pages;
    MemFile file(tiff.constData(), std::size_t(tiff.size()));
    tiffMessage().clear();
    TIFF* tif = openMem(file, "r");
    if (!tif) {
        fail(pError, tiffMessage().isEmpty() ? QStringLiteral("not a TIFF file") : tiffMessage());
        return pages;
    }
    do {
        uint32_t w = 0, h = 0;
        uint16_t bps = 1, spp = 1, photometric = PHOTOMETRIC_MINISBLACK;
        TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &w);
        TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &h);
        TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &bps);
        TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &spp);
        TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &photometric);
        float xres = 0, yres = 0;
        uint16_t unit = RESUNIT_INCH;
        TIFFGetField(tif, TIFFTAG_XRESOLUTION, &xres);
        TIFFGetField(tif, TIFFTAG_YRESOLUTION, &yres);
        TIFFGetFieldDefaulted(tif, TIFFTAG_RESOLUTIONUNIT, &unit);
        if (w == 0 || h == 0 || w > 100000 || h > 100000) {
            fail(pError, QStringLiteral("a page of %1 x %2 pixels").arg(w).arg(h));
            pages.clear();
            break;
        }
        QImage page;
        const tmsize_t nLine = TIFFScanlineSize(tif);
        QByteArray line(int(nLine), '\0');
        const bool bGreyish =
            spp == 1 && (photometric == PHOTOMETRIC_MINISBLACK || photometric == PHOTOMETRIC_MINISWHITE);
        if (bGreyish && bps == 1) {
            page = QImage(int(w), int(h), QImage::Format_Mono);
            page.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
        } else if (bGreyish && (bps == 8 || bps == 16)) {
            page = QImage(int(w), int(h), bps == 8 ? QImage::Format_Grayscale8 : QImage::Format_Grayscale16);
        } else if (spp == 1 && photometric == PHOTOMETRIC_PALETTE && bps == 8) {
            page = QImage(int(w), int(h), QImage::Format_Indexed8);
            uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
            QVector<QRgb> table(256, 0);
            if (TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b)) {
                for (int i = 0; i < 256; ++i)
                    table[i] = qRgb(r[i] >> 8, g[i] >> 8, b[i] >> 8);
            }
            page.setColorTable(table);
        } else if (spp >= 3 && photometric == PHOTOMETRIC_RGB && (bps == 8 || bps == 16)) {
            page = QImage(int(w), int(h), bps == 8 ? QImage::Format_RGB888 : QImage::Format_RGBX64);
        } else {
            fail(pError, QStringLiteral("a TIFF page of %1 samples of %2 bits, photometric %3")
                             .arg(spp)
                             .arg(bps)
                             .arg(photometric));
            pages.clear();
            break;
        }
        bool bOk = true;
        for (uint32_t y = 0; y < h && bOk; ++y) {
            if (TIFFReadScanline(tif, line.data(), y, 0) < 0) {
                bOk = false;
                break;
            }
            uchar* pOut = page.scanLine(int(y));
            if (page.format() == QImage::Format_Mono) {
                const int n = int((w + 7) / 8);
                for (int i = 0; i < n; ++i)
                    pOut[i] = uchar(photometric == PHOTOMETRIC_MINISWHITE ? ~uchar(line[i]) : uchar(line[i]));
            } else if (page.format() == QImage::Format_RGBX64) {
                const quint16* pIn = reinterpret_cast<const quint16*>(line.constData());
                QRgba64* pPix = reinterpret_cast<QRgba64*>(pOut);
                for (uint32_t x = 0; x < w; ++x)
                    pPix[x] = QRgba64::fromRgba64(pIn[x * spp], pIn[x * spp + 1], pIn[x * spp + 2], 0xFFFF);
            } else if (page.format() == QImage::Format_RGB888 && spp > 3) {
                for (uint32_t x = 0; x < w; ++x)
                    std::memcpy(pOut + x * 3, line.constData() + x * spp, 3);
            } else {
                std::memcpy(pOut, line.constData(), size_t(qMin<qint64>(nLine, page.bytesPerLine())));
                if (photometric == PHOTOMETRIC_MINISWHITE && bps == 8) {
                    for (uint32_t x = 0; x < w; ++x)
                        pOut[x] = uchar(255 - pOut[x]);
                }
            }
        }
        if (!bOk) {
            fail(pError,
                 tiffMessage().isEmpty() ? QStringLiteral("a TIFF page cannot be read") : tiffMessage());
            pages.clear();
            break;
        }
        const double toMeter = unit == RESUNIT_CENTIMETER ? 100.0 : 1 / 0.0254;
        if (xres > 0)
            page.setDotsPerMeterX(qRound(xres * toMeter));
        if (yres > 0)
            page.setDotsPerMeterY(qRound(yres * toMeter));
        pages.append(page);
    } while (TIFFReadDirectory(tif));
    TIFFClose(tif);
    return pages;
}

QImage readPnm(const QByteArray& pnm, QString* pError)
{
    // Header: magic, then width, height and (but for P1/P4) maxval, with comments.
    int nPos = 2;
    double dpiX = 0, dpiY = 0;
    auto nextNumber = [&](qint64& value) {
        for (;;) {
            while (nPos < pnm.size() && QChar::isSpace(pnm[nPos]))
                ++nPos;
            if (nPos < pnm.size() && pnm[nPos] == '#') {
                const int nEnd = pnm.indexOf('\n', nPos);
                const QByteArray comment = pnm.mid(nPos, nEnd < 0 ? -1 : nEnd - nPos);
                if (comment.startsWith("# resolution ")) {
                    const QList<QByteArray> parts = comment.mid(13).split(' ').value(0).split('x');
                    dpiX = parts.value(0).toDouble();
                    dpiY = parts.value(1).toDouble();
                }
                nPos = nEnd < 0 ? pnm.size() : nEnd + 1;
                continue;
            }
            break;
        }
        const int nStart = nPos;
        while (nPos < pnm.size() && pnm[nPos] >= '0' && pnm[nPos] <= '9')
            ++nPos;
        bool bOk = false;
        value = pnm.mid(nStart, nPos - nStart).toLongLong(&bOk);
        return bOk;
    };
    if (pnm.size() < 3 || pnm[0] != 'P' || pnm[1] < '4' || pnm[1] > '6') {
        fail(pError, QStringLiteral("not a binary PNM file"));
        return QImage();
    }
    const char kind = pnm[1];
    qint64 w = 0, h = 0, maxval = 1;
    if (!nextNumber(w) || !nextNumber(h) || (kind != '4' && !nextNumber(maxval)) || w <= 0 || h <= 0 ||
        w > 100000 || h > 100000 || maxval <= 0 || maxval > 65535) {
        fail(pError, QStringLiteral("a bad PNM header"));
        return QImage();
    }
    ++nPos; // the one whitespace byte after the header
    const int nBytes = maxval > 255 ? 2 : 1;
    const int nChannels = kind == '6' ? 3 : 1;
    const qint64 nRow = kind == '4' ? (w + 7) / 8 : w * nChannels * nBytes;
    if (pnm.size() - nPos < nRow * h) {
        fail(pError, QStringLiteral("the PNM file is cut short"));
        return QImage();
    }
    QImage img;
    if (kind == '4') {
        img = QImage(int(w), int(h), QImage::Format_Mono);
        img.setColorTable({qRgb(255, 255, 255), qRgb(0, 0, 0)}); // 1 is black
    } else if (kind == '5') {
        img = QImage(int(w), int(h), nBytes == 2 ? QImage::Format_Grayscale16 : QImage::Format_Grayscale8);
    } else {
        img = QImage(int(w), int(h), nBytes == 2 ? QImage::Format_RGBX64 : QImage::Format_RGB888);
    }
    for (int y = 0; y < int(h); ++y) {
        const uchar* pIn = reinterpret_cast<const uchar*>(pnm.constData() + nPos + y * nRow);
        uchar* pOut = img.scanLine(y);
        if (nBytes == 1) {
            std::memcpy(pOut, pIn, size_t(nRow));
        } else if (kind == '5') {
            quint16* p16 = reinterpret_cast<quint16*>(pOut);
            for (int x = 0; x < int(w); ++x)
                p16[x] = quint16((pIn[2 * x] << 8) | pIn[2 * x + 1]);
        } else {
            QRgba64* pPix = reinterpret_cast<QRgba64*>(pOut);
            for (int x = 0; x < int(w); ++x) {
                const uchar* p = pIn + 6 * x;
                pPix[x] = QRgba64::fromRgba64(quint16((p[0] << 8) | p[1]), quint16((p[2] << 8) | p[3]),
                                              quint16((p[4] << 8) | p[5]), 0xFFFF);
            }
        }
    }
    if (dpiX > 0)
        img.setDotsPerMeterX(qRound(dpiX / 0.0254));
    if (dpiY > 0)
        img.setDotsPerMeterY(qRound(dpiY / 0.0254));
    return img;
}

} // namespace pelirand
