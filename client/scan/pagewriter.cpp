#include "client/scan/pagewriter.h"

#include "client/scan/pageencoders.h"
#include "codec/tiffrows.h"
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

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// The rows of a page of the kinds that are coded row by row (black and
// white, 8-bit grey, 8-bit colour), read from a copy of it in the form the
// rows take, which *pKeep holds; false for other kinds.
bool rowsOfImage(const QImage& page, PageRows& rows, QImage* pKeep)
{
    const Kind kind = kindOf(page);
    if (page.isNull() || (kind != Kind::Bw && kind != Kind::Grey8 && kind != Kind::Rgb8))
        return false;
    // Black and white as blackBits() makes it: grey below the middle is black.
    *pKeep = kind == Kind::Rgb8 ? page.convertToFormat(QImage::Format_RGB888)
                                : page.convertToFormat(QImage::Format_Grayscale8);
    if (pKeep->isNull())
        return false;
    rows.iWidth = page.width();
    rows.iHeight = page.height();
    rows.bRgb = kind == Kind::Rgb8;
    rows.bBlackWhite = kind == Kind::Bw;
    rows.dpiX = dpiX(page);
    rows.dpiY = dpiY(page);
    const QImage* pImage = pKeep;
    const qint64 nBytes = rows.rowBytes();
    const bool bBits = rows.bBlackWhite;
    rows.row = [pImage, nBytes, bBits](int iRow, uchar* pOut) {
        const uchar* pIn = pImage->constScanLine(iRow);
        if (!bBits) {
            std::memcpy(pOut, pIn, size_t(nBytes));
            return;
        }
        std::memset(pOut, 0, size_t(nBytes));
        for (int x = 0; x < pImage->width(); ++x) {
            if (pIn[x] < 128)
                pOut[x / 8] = uchar(pOut[x / 8] | (0x80 >> (x % 8)));
        }
    };
    return true;
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

// Sets the fields of one page of the kinds not coded row by row (16 bits,
// palette) and writes its rows; the directory is left to the caller.
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
    case Kind::Grey8:
    case Kind::Grey16:
    case Kind::Palette:
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, kind == Kind::Grey16 ? 16 : 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC,
                     kind == Kind::Palette ? PHOTOMETRIC_PALETTE : PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(tif, TIFFTAG_ZIPQUALITY, kTiffDeflateLevel);
        if (kind != Kind::Palette)
            TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        nRowBytes = w * (kind == Kind::Grey16 ? 2 : 1);
        break;
    default:
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, kind == Kind::Rgb16 ? 16 : 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 3);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(tif, TIFFTAG_ZIPQUALITY, kTiffDeflateLevel);
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
    {
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

// The same for a page given row by row: the fields writeTiffPage sets for
// such a page, and the rows one at a time, so that no whole copy of the page
// is made. Black and white is one strip of Group 4 unless nRowsPerStrip says.
bool writeTiffRows(TIFF* tif, const PageRows& rows, QString* pError, uint32_t nRowsPerStrip = 0)
{
    TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(rows.iWidth));
    TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(rows.iHeight));
    TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(tif, TIFFTAG_XRESOLUTION, float(rows.dpiX));
    TIFFSetField(tif, TIFFTAG_YRESOLUTION, float(rows.dpiY));
    if (rows.bBlackWhite) {
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
        // A black-and-white page codes best as one Group 4 stream.
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, nRowsPerStrip ? nRowsPerStrip : uint32_t(rows.iHeight));
    } else {
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, rows.bRgb ? 3 : 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, rows.bRgb ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
        TIFFSetField(tif, TIFFTAG_ZIPQUALITY, kTiffDeflateLevel);
        TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL);
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, nRowsPerStrip ? nRowsPerStrip : TIFFDefaultStripSize(tif, 0));
    }
    std::vector<uchar> row(size_t(rows.rowBytes()));
    for (int y = 0; y < rows.iHeight; ++y) {
        rows.row(y, row.data());
        if (TIFFWriteScanline(tif, row.data(), uint32_t(y), 0) < 0)
            return fail(pError, tiffMessage().isEmpty() ? QStringLiteral("libtiff cannot write the rows")
                                                        : tiffMessage());
    }
    return true;
}

// A black-and-white page as a CCITT Group 4 stream (libtiff's coder).
QByteArray group4(const PageRows& rows)
{
    MemFile file(kMaxMemFile);
    TIFF* tif = openMem(file, "w");
    if (!tif)
        return QByteArray();
    // One strip: the whole page is one Group 4 stream.
    bool bOk = writeTiffRows(tif, rows, nullptr, uint32_t(rows.iHeight));
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

// --- Files written whole or not at all -----------------------------------------

QString errnoText(int iError)
{
    return QString::fromLocal8Bit(std::strerror(iError));
}

// Writes every byte at nAt, or fails with the system's reason in sWhy (a
// write that takes nothing is a full disk).
bool writeFully(int fd, qint64 nAt, const char* p, qint64 nBytes, QString& sWhy)
{
    while (nBytes > 0) {
        const ssize_t n = ::pwrite(fd, p, size_t(std::min<qint64>(nBytes, qint64(1) << 30)), off_t(nAt));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            sWhy = errnoText(n < 0 ? errno : ENOSPC);
            return false;
        }
        p += n;
        nAt += n;
        nBytes -= n;
    }
    return true;
}

// A one-page file that fill() writes through the descriptor it gets (false
// with sWhy on failure): written whole, or removed with the reason given.
bool writeNewFile(const QString& sFileName, const std::function<bool(int fd, QString& sWhy)>& fill,
                  QString* pError)
{
    const int fd = ::open(QFile::encodeName(sFileName).constData(), O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0)
        return fail(pError, QStringLiteral("cannot write %1: %2").arg(sFileName, errnoText(errno)));
    QString sWhy;
    bool bOk = fill(fd, sWhy);
    if (::close(fd) != 0 && bOk) {
        sWhy = errnoText(errno);
        bOk = false;
    }
    if (!bOk) {
        QFile::remove(sFileName);
        return fail(pError, QStringLiteral("cannot write %1: %2").arg(sFileName, sWhy));
    }
    return true;
}

// An encoded page into sFileName, a file this run created (empty) for it:
// written whole, or removed with the system's reason given.
bool writeEncoded(const QString& sFileName, const QByteArray& head, const QByteArray& body, QString* pError)
{
    return writeNewFile(
        sFileName,
        [&](int fd, QString& sWhy) {
            return writeFully(fd, 0, head.constData(), head.size(), sWhy) &&
                   writeFully(fd, head.size(), body.constData(), body.size(), sWhy);
        },
        pError);
}

// A document's file: sFileName.part, created exclusively, that the pages go
// into, and that finish() names sFileName only where no file of that name is
// (neither ever replaces or joins another run's file). commit() marks the
// part as a whole document; finish() brings it back to the last commit: what
// was appended goes, and committed bytes written over since (a TIFF
// directory's link to the next one, a PDF's trailer) get their old values
// back. After the first failed write every later one fails too, so that
// nothing a library flushes on its way out lands in the file.
class DocumentFile
{
public:
    DocumentFile() = default;
    DocumentFile(const DocumentFile&) = delete;
    DocumentFile& operator=(const DocumentFile&) = delete;
    ~DocumentFile() { discard(); }

    bool create(const QString& sFileName, QString* pError)
    {
        m_sName = sFileName;
        m_sPart = sFileName + QStringLiteral(".part");
        if (QFileInfo::exists(m_sName) || QFileInfo(m_sName).isSymLink())
            return fail(pError, QStringLiteral("cannot write %1: %2").arg(m_sName, errnoText(EEXIST)));
        m_fd = ::open(QFile::encodeName(m_sPart).constData(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (m_fd < 0)
            return fail(pError, QStringLiteral("cannot write %1: %2").arg(m_sPart, errnoText(errno)));
        return true;
    }
    const QString& partName() const { return m_sPart; }
    // The end of what is written; appending goes on from here.
    qint64 end() const { return m_nEnd; }
    // Appending goes on from nAt (within what is written): the bytes there are written over.
    void setEnd(qint64 nAt) { m_nEnd = nAt; }
    bool append(const QByteArray& bytes) { return writeAt(m_nEnd, bytes.constData(), bytes.size()); }
    bool writeAt(qint64 nAt, const char* p, qint64 nBytes)
    {
        if (m_bBroken || m_fd < 0) {
            m_bBroken = true;
            return false;
        }
        // The committed bytes this write replaces, to put back on a rollback.
        if (nAt < m_nCommitted && nBytes > 0) {
            Undo undo{nAt, QByteArray(int(std::min(nBytes, m_nCommitted - nAt)), Qt::Uninitialized)};
            if (::pread(m_fd, undo.old.data(), size_t(undo.old.size()), off_t(nAt)) != undo.old.size()) {
                m_sWhy = errnoText(errno);
                m_bBroken = true;
                return false;
            }
            m_undo.push_back(undo);
        }
        if (!writeFully(m_fd, nAt, p, nBytes, m_sWhy)) {
            m_bBroken = true;
            return false;
        }
        m_nEnd = std::max(m_nEnd, nAt + nBytes);
        return true;
    }
    qint64 readAt(qint64 nAt, char* p, qint64 nBytes)
    {
        for (;;) {
            const ssize_t n = ::pread(m_fd, p, size_t(nBytes), off_t(nAt));
            if (n < 0 && errno == EINTR)
                continue;
            return n;
        }
    }
    // Every later write fails (a library's own failure, not the file's).
    void breakWrites() { m_bBroken = true; }
    bool broken() const { return m_bBroken; }
    // "cannot write doc.pdf.part: No space left on device", or empty.
    QString writeError() const
    {
        return m_sWhy.isEmpty() ? QString() : QStringLiteral("cannot write %1: %2").arg(m_sPart, m_sWhy);
    }
    void commit()
    {
        m_nCommitted = m_nEnd;
        m_undo.clear();
    }
    bool hasCommitted() const { return m_nCommitted > 0; }
    // The part ends with the last whole document; false with pError when it
    // cannot be brought back (then it is removed).
    bool finish(QString* pError)
    {
        if (m_fd < 0)
            return fail(pError, QStringLiteral("the document is not open"));
        if (!hasCommitted()) {
            discard();
            return fail(pError, QStringLiteral("no page is in %1").arg(m_sName));
        }
        QString sWhy;
        bool bOk = ::ftruncate(m_fd, off_t(m_nCommitted)) == 0;
        for (auto it = m_undo.rbegin(); bOk && it != m_undo.rend(); ++it)
            bOk = writeFully(m_fd, it->nAt, it->old.constData(), it->old.size(), sWhy);
        if (!bOk && sWhy.isEmpty())
            sWhy = errnoText(errno);
        m_undo.clear();
        if (::close(m_fd) != 0 && bOk) {
            sWhy = errnoText(errno);
            bOk = false;
        }
        m_fd = -1;
        if (!bOk) {
            QFile::remove(m_sPart);
            return fail(pError, QStringLiteral("cannot write %1: %2").arg(m_sPart, sWhy));
        }
        if (!nameWithoutReplacing(sWhy))
            return fail(pError, QStringLiteral("cannot name the file %1: %2; the pages are in %3")
                                    .arg(m_sName, sWhy, m_sPart));
        return true;
    }
    // Removes the part (nothing once finish() has run).
    void discard()
    {
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
            QFile::remove(m_sPart);
        }
    }

private:
    struct Undo
    {
        qint64 nAt;
        QByteArray old;
    };

    // The part named m_sName unless a file has that name; false with sWhy ("File exists").
    bool nameWithoutReplacing(QString& sWhy)
    {
        const QByteArray part = QFile::encodeName(m_sPart);
        const QByteArray name = QFile::encodeName(m_sName);
        if (::renameat2(AT_FDCWD, part.constData(), AT_FDCWD, name.constData(), RENAME_NOREPLACE) == 0)
            return true;
        if (errno != EINVAL && errno != ENOSYS) {
            sWhy = errnoText(errno);
            return false;
        }
        // File systems that cannot rename so: a second link, then the part goes.
        if (::link(part.constData(), name.constData()) != 0) {
            sWhy = errnoText(errno);
            return false;
        }
        ::unlink(part.constData());
        return true;
    }

    QString m_sName;
    QString m_sPart;
    int m_fd = -1;
    qint64 m_nEnd = 0;
    qint64 m_nCommitted = 0;
    std::vector<Undo> m_undo;
    bool m_bBroken = false;
    QString m_sWhy;
};

// libtiff over a DocumentFile.
class DocumentTiffStream : public codec::TiffStream
{
public:
    explicit DocumentTiffStream(DocumentFile& file) : m_file(file) {}

protected:
    std::int64_t read(void* buffer, std::size_t size) override
    {
        const qint64 n = m_file.readAt(m_nPos, static_cast<char*>(buffer), qint64(size));
        if (n > 0)
            m_nPos += n;
        return n;
    }
    std::int64_t write(const void* buffer, std::size_t size) override
    {
        if (!m_file.writeAt(m_nPos, static_cast<const char*>(buffer), qint64(size)))
            return -1;
        m_nPos += qint64(size);
        return std::int64_t(size);
    }
    std::int64_t seek(std::int64_t offset, int whence) override
    {
        const qint64 nBase = whence == SEEK_CUR ? m_nPos : whence == SEEK_END ? m_file.end() : 0;
        if (offset < -nBase)
            return -1;
        m_nPos = nBase + offset;
        return m_nPos;
    }
    std::uint64_t size() override { return std::uint64_t(m_file.end()); }

private:
    DocumentFile& m_file;
    qint64 m_nPos = 0;
};

// A coder's bytes appended to a document.
class DocumentSink : public ByteSink
{
public:
    explicit DocumentSink(DocumentFile& file) : m_file(file) {}
    bool write(const char* p, std::size_t nBytes) override { return m_file.writeAt(m_file.end(), p, qint64(nBytes)); }

private:
    DocumentFile& m_file;
};

// A coder's bytes into a one-page file, from its start.
class FileSink : public ByteSink
{
public:
    explicit FileSink(int fd) : m_fd(fd) {}
    bool write(const char* p, std::size_t nBytes) override
    {
        if (!writeFully(m_fd, m_nAt, p, qint64(nBytes), m_sWhy))
            return false;
        m_nAt += qint64(nBytes);
        return true;
    }
    // The system's reason for the failed write, or empty.
    const QString& why() const { return m_sWhy; }

private:
    int m_fd;
    qint64 m_nAt = 0;
    QString m_sWhy;
};

// --- Writers -----------------------------------------------------------------

class TiffWriter : public MultiPageWriter
{
public:
    ~TiffWriter() override { closeTiff(); }
    bool open(const QString& sFileName, QString* pError) override
    {
        quietTiff();
        if (!m_file.create(sFileName, pError))
            return false;
        tiffMessage().clear();
        m_pTif = m_stream.open(QFile::encodeName(m_file.partName()).constData(), "w");
        if (!m_pTif) {
            fail(pError, m_file.writeError().isEmpty()
                             ? QStringLiteral("cannot write %1: %2").arg(m_file.partName(), tiffMessage())
                             : m_file.writeError());
            m_file.discard();
            return false;
        }
        return true;
    }
    bool addPage(const QImage& page, QString* pError) override
    {
        if (!ready(pError))
            return false;
        PageRows rows;
        QImage rowsImage;
        if (rowsOfImage(page, rows, &rowsImage))
            return addRows(rows, pError);
        TIFFSetField(m_pTif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(m_pTif, TIFFTAG_PAGENUMBER, uint16_t(m_nPages), uint16_t(0));
        return pageDone(writeTiffPage(m_pTif, page, pError), pError);
    }
    bool addRows(const PageRows& rows, QString* pError) override
    {
        if (!ready(pError))
            return false;
        TIFFSetField(m_pTif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(m_pTif, TIFFTAG_PAGENUMBER, uint16_t(m_nPages), uint16_t(0));
        return pageDone(writeTiffRows(m_pTif, rows, pError), pError);
    }
    bool finish(QString* pError) override
    {
        if (!m_pTif && !m_bFailed)
            return fail(pError, QStringLiteral("the TIFF file is not open"));
        closeTiff();
        return m_file.finish(pError);
    }
    int pageCount() const override { return m_nPages; }

private:
    bool ready(QString* pError)
    {
        if (m_bFailed)
            return fail(pError, QStringLiteral("%1 ends with page %2").arg(m_file.partName()).arg(m_nPages));
        if (!m_pTif)
            return fail(pError, QStringLiteral("the TIFF file is not open"));
        tiffMessage().clear();
        return true;
    }
    // A page is in the document once its directory is written; after a
    // failure the document ends with the page before.
    bool pageDone(bool bRows, QString* pError)
    {
        if (bRows && TIFFWriteDirectory(m_pTif)) {
            m_file.commit();
            ++m_nPages;
            return true;
        }
        m_bFailed = true;
        const QString sWhy = m_file.writeError().isEmpty()
                                 ? QStringLiteral("cannot write %1: %2")
                                       .arg(m_file.partName(),
                                            tiffMessage().isEmpty() ? QStringLiteral("libtiff cannot write the page")
                                                                    : tiffMessage())
                                 : m_file.writeError();
        closeTiff();
        return fail(pError, sWhy);
    }
    void closeTiff()
    {
        if (!m_pTif)
            return;
        // What libtiff still holds of a page that failed never reaches the file.
        if (m_bFailed)
            m_file.breakWrites();
        TIFFClose(m_pTif);
        m_pTif = nullptr;
    }

    DocumentFile m_file;
    DocumentTiffStream m_stream{m_file};
    TIFF* m_pTif = nullptr;
    bool m_bFailed = false;
    int m_nPages = 0;
};

class PdfWriter : public MultiPageWriter
{
public:
    explicit PdfWriter(int iJpegQuality) : m_iJpegQuality(iJpegQuality) {}
    bool open(const QString& sFileName, QString* pError) override
    {
        if (!m_file.create(sFileName, pError))
            return false;
        m_bOpen = true;
        // Objects 1 and 2 (catalogue and page tree) follow each page, with the cross-reference table.
        m_offsets = {0, 0, 0};
        return put("%PDF-1.5\n%\xE2\xE3\xCF\xD3\n", pError);
    }
    bool addPage(const QImage& page, QString* pError) override
    {
        PageRows rows;
        QImage rowsImage;
        if (rowsOfImage(page, rows, &rowsImage))
            return addRows(rows, pError);
        // Palettes and 16 bits: Flate of the whole page's samples.
        const Kind kind = kindOf(page);
        const int w = page.width();
        const int h = page.height();
        QByteArray dict = "<< /Type /XObject /Subtype /Image /Width " + QByteArray::number(w) + " /Height " +
                          QByteArray::number(h);
        const QByteArray stream = deflate(samples(page, kind));
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
        dict += " /Length " + QByteArray::number(stream.size()) + " >>";
        const int nImage = newObject();
        if (!putObject(nImage, dict, &stream, pError))
            return false;
        return putPage(nImage, w, h, dpiX(page), dpiY(page), pError);
    }
    // Black and white as Group 4; grey and colour as JPEG, or Flate when
    // lossless, coded as the rows come into the file.
    bool addRows(const PageRows& rows, QString* pError) override
    {
        const int w = rows.iWidth;
        const int h = rows.iHeight;
        QByteArray dict = "<< /Type /XObject /Subtype /Image /Width " + QByteArray::number(w) + " /Height " +
                          QByteArray::number(h);
        if (rows.bBlackWhite) {
            const QByteArray stream = group4(rows);
            if (stream.isEmpty())
                return fail(pError,
                            QStringLiteral("page %1 cannot be coded as CCITT Group 4").arg(m_nPages + 1));
            dict +=
                " /ColorSpace /DeviceGray /BitsPerComponent 1 /Filter /CCITTFaxDecode /DecodeParms << /K -1 "
                "/Columns " +
                QByteArray::number(w) + " /Rows " + QByteArray::number(h) + " /BlackIs1 false >>";
            dict += " /Length " + QByteArray::number(stream.size()) + " >>";
            const int nImage = newObject();
            if (!putObject(nImage, dict, &stream, pError))
                return false;
            return putPage(nImage, w, h, rows.dpiX, rows.dpiY, pError);
        }
        const bool bJpeg = m_iJpegQuality > 0;
        // The stream's length is known once it is written: an object of its own after it.
        const int nObjectsBefore = m_offsets.size();
        const qint64 nPageAt = m_file.end();
        const int nImage = newObject();
        const int nLength = newObject();
        dict += rows.bRgb ? " /ColorSpace /DeviceRGB" : " /ColorSpace /DeviceGray";
        dict += bJpeg ? " /BitsPerComponent 8 /Filter /DCTDecode" : " /BitsPerComponent 8 /Filter /FlateDecode";
        dict += " /Length " + QByteArray::number(nLength) + " 0 R >>";
        m_offsets[nImage] = m_file.end();
        if (!put(QByteArray::number(nImage) + " 0 obj\n" + dict + "\nstream\n", pError))
            return false;
        const qint64 nStreamAt = m_file.end();
        DocumentSink sink(m_file);
        QString sCoder;
        bool bCoded = false;
        if (bJpeg) {
            bCoded = encodeJpeg(rows, m_iJpegQuality, sink, &sCoder);
        } else {
            FlateWriter flate(sink, Z_DEFAULT_COMPRESSION);
            std::vector<uchar> row(size_t(rows.rowBytes()));
            bCoded = true;
            for (int y = 0; y < h && bCoded; ++y) {
                rows.row(y, row.data());
                bCoded = flate.put(row.data(), row.size());
            }
            bCoded = bCoded && flate.finish();
        }
        if (!bCoded) {
            if (m_file.broken()) {
                m_bFailed = true;
                return fail(pError, m_file.writeError().isEmpty()
                                        ? QStringLiteral("%1 ends with page %2").arg(m_file.partName()).arg(m_nPages)
                                        : m_file.writeError());
            }
            // The coder's own failure: the next page goes where this one began.
            m_offsets.resize(nObjectsBefore);
            m_file.setEnd(nPageAt);
            return fail(pError, QStringLiteral("page %1 cannot be coded as %2: %3")
                                    .arg(m_nPages + 1)
                                    .arg(bJpeg ? QStringLiteral("JPEG") : QStringLiteral("Flate"))
                                    .arg(sCoder));
        }
        const qint64 nLengthBytes = m_file.end() - nStreamAt;
        if (!put("\nendstream\nendobj\n", pError) ||
            !putObject(nLength, QByteArray::number(nLengthBytes), nullptr, pError))
            return false;
        return putPage(nImage, w, h, rows.dpiX, rows.dpiY, pError);
    }
    bool finish(QString* pError) override
    {
        if (!m_bOpen)
            return fail(pError, QStringLiteral("the PDF file is not open"));
        // A document of no page, unless a write failed: then there is none.
        if (m_nPages == 0 && !m_bFailed && !putTrailer(pError)) {
            m_bOpen = false;
            m_file.discard();
            return false;
        }
        m_bOpen = false;
        return m_file.finish(pError);
    }
    int pageCount() const override { return m_nPages; }

private:
    bool failed()
    {
        m_bFailed = true;
        return false;
    }
    // The page that shows image object nImage, as large as the paper was at
    // the scan's resolution; the page is in the document once the page tree
    // and table that name it are written.
    bool putPage(int nImage, int w, int h, double dpiX, double dpiY, QString* pError)
    {
        const QByteArray width = QByteArray::number(w * 72.0 / dpiX, 'f', 2);
        const QByteArray height = QByteArray::number(h * 72.0 / dpiY, 'f', 2);
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
            return failed();
        m_lstPages.append(nPage);
        ++m_nPages;
        if (!putTrailer(pError)) {
            m_lstPages.removeLast();
            --m_nPages;
            return failed();
        }
        return true;
    }
    // The page tree, catalogue, cross-reference table and trailer after the
    // pages so far: the file is a whole document once they are written. The
    // next page is written over them from where they begin.
    bool putTrailer(QString* pError)
    {
        const qint64 nTrailerAt = m_file.end();
        QByteArray kids;
        for (int nPage : qAsConst(m_lstPages))
            kids += QByteArray::number(nPage) + " 0 R ";
        if (!putObject(2,
                       "<< /Type /Pages /Kids [" + kids.trimmed() + "] /Count " +
                           QByteArray::number(m_nPages) + " >>",
                       nullptr, pError) ||
            !putObject(1, "<< /Type /Catalog /Pages 2 0 R >>", nullptr, pError))
            return false;
        const qint64 nXref = m_file.end();
        QByteArray xref = "xref\n0 " + QByteArray::number(m_offsets.size()) + "\n0000000000 65535 f \n";
        for (int i = 1; i < m_offsets.size(); ++i)
            xref += QByteArray::number(m_offsets[i]).rightJustified(10, '0') + " 00000 n \n";
        xref += "trailer\n<< /Size " + QByteArray::number(m_offsets.size()) + " /Root 1 0 R >>\nstartxref\n" +
                QByteArray::number(nXref) + "\n%%EOF\n";
        if (!put(xref, pError))
            return false;
        m_file.commit();
        m_file.setEnd(nTrailerAt);
        return true;
    }
    int newObject()
    {
        m_offsets.append(0);
        return m_offsets.size() - 1;
    }
    bool put(const QByteArray& bytes, QString* pError)
    {
        if (!m_bOpen || m_bFailed)
            return fail(pError, QStringLiteral("%1 ends with page %2").arg(m_file.partName()).arg(m_nPages));
        if (!m_file.append(bytes)) {
            m_bFailed = true;
            return fail(pError, m_file.writeError());
        }
        return true;
    }
    bool putObject(int nObject, const QByteArray& dict, const QByteArray* pStream, QString* pError)
    {
        m_offsets[nObject] = m_file.end();
        QByteArray head = QByteArray::number(nObject) + " 0 obj\n" + dict;
        if (!pStream)
            return put(head + "\nendobj\n", pError);
        return put(head + "\nstream\n", pError) && put(*pStream, pError) &&
               put("\nendstream\nendobj\n", pError);
    }

    int m_iJpegQuality;
    DocumentFile m_file;
    bool m_bOpen = false;
    bool m_bFailed = false;
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
    return writeEncoded(sFileName, header, data, pError);
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
    if (nStoredHeight == INT32_MIN || nPlanes != 1 || nCompression != 0 || (nBits != 24 && nBits != 8 && nBits != 1))
        return false;
    const qint64 nRows = std::abs(qint64(nStoredHeight));
    if (nWidth <= 0 || nWidth > kMaxRowsExtent || nRows == 0 || nRows > kMaxRowsExtent)
        return false;
    const double dpiX = dpiOfPelsPerMeter(qint32(readU32(bytes, nBase + 24)));
    const double dpiY = dpiOfPelsPerMeter(qint32(readU32(bytes, nBase + 28)));
    if (dpiX <= 0 || dpiY <= 0)
        return false;
    const qint64 nTable = nBits == 24 ? qint64(nClrUsed) : nClrUsed ? qint64(nClrUsed) : qint64(1) << nBits;
    if (nTable > 256 || (nBits == 1 && nTable != 2))
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
    // Black and white: each entry black or white; a pixel is black where its entry is.
    bool bBlack[2] = {false, false};
    if (nBits == 1) {
        for (int i = 0; i < 2; ++i) {
            const uchar* p = reinterpret_cast<const uchar*>(bytes.constData() + nTableAt + 4 * i);
            const bool bIsBlack = p[0] == 0 && p[1] == 0 && p[2] == 0;
            if (!bIsBlack && !(p[0] == 255 && p[1] == 255 && p[2] == 255))
                return false;
            bBlack[i] = bIsBlack;
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
    rows.bBlackWhite = nBits == 1;
    const qint64 nRowBytes = rows.rowBytes();
    // What each stored byte becomes: the bits as they are, inverted, or all one colour.
    const uchar nXor = bBlack[0] ? 0xFF : 0x00;
    const uchar nOr = bBlack[0] && bBlack[1] ? 0xFF : 0x00;
    const uchar nAnd = bBlack[0] || bBlack[1] ? 0xFF : 0x00;
    // The unused bits of a row's last byte are 0.
    const uchar nLastMask = uchar(0xFF << ((8 - nWidth % 8) % 8));
    rows.dpiX = dpiX;
    rows.dpiY = dpiY;
    // A mapped page's rows leave this process's memory once read, some MB at a time.
    const qint64 nRowsPerRelease = std::max<qint64>(1, kReleaseBytes / nStride);
    // The image (and with it the bytes, whether read or mapped) is kept with the rows.
    rows.row = [image, nRowsPerRelease, pPixels, nStride, nRows, nWidth, bBottomUp, bRgb, nRowBytes, nXor, nOr,
                nAnd, nLastMask, nBits](int iRow, uchar* pOut) {
        const qint64 nStored = bBottomUp ? nRows - 1 - iRow : qint64(iRow);
        const uchar* pIn = pPixels + nStride * nStored;
        if ((iRow + 1) % nRowsPerRelease == 0) {
            // The rows read since the last release lie next to each other.
            const qint64 nFirst = bBottomUp ? nStored : nStored + 1 - nRowsPerRelease;
            image.releaseBytes(reinterpret_cast<const char*>(pPixels + nStride * nFirst),
                               nStride * nRowsPerRelease);
        }
        if (nBits == 1) {
            for (qint64 i = 0; i < nRowBytes; ++i)
                pOut[i] = uchar(((pIn[i] ^ nXor) | nOr) & nAnd);
            pOut[nRowBytes - 1] &= nLastMask;
            return;
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
    PageRows rows;
    QImage rowsImage;
    if ((sFormat == QLatin1String("png") || sFormat == QLatin1String("jpeg")) &&
        rowsOfImage(page, rows, &rowsImage))
        return writePageRows(rows, sFileName, sFormat, iJpegQuality, pError);
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
    // Coded in memory first: the file's own writes then say why they fail.
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, qtFormat);
    if (sFormat == QLatin1String("jpeg"))
        writer.setQuality(iJpegQuality > 0 ? iJpegQuality : 100);
    if (!writer.write(img))
        return fail(pError, QStringLiteral("cannot write %1: %2").arg(sFileName, writer.errorString()));
    return writeEncoded(sFileName, QByteArray(), encoded, pError);
}

bool writePageRows(const PageRows& rows, const QString& sFileName, const QString& sFormat, int iJpegQuality,
                   QString* pError)
{
    const bool bPng = sFormat == QLatin1String("png");
    if (!bPng && sFormat != QLatin1String("jpeg"))
        return fail(pError, QStringLiteral("%1 is not written row by row").arg(sFormat));
    return writeNewFile(
        sFileName,
        [&](int fd, QString& sWhy) {
            FileSink sink(fd);
            QString sCoder;
            const bool bOk = bPng ? encodePng(rows, kPngLevel, sink, &sCoder)
                                  : encodeJpeg(rows, iJpegQuality > 0 ? iJpegQuality : 100, sink, &sCoder);
            sWhy = sink.why().isEmpty() ? sCoder : sink.why();
            return bOk;
        },
        pError);
}

namespace {

// Dots per metre for a QImage, 0 for a resolution that is none or out of range.
int dotsPerMeter(double perMeter)
{
    return std::isfinite(perMeter) && perMeter >= 1 && perMeter < double(INT_MAX / 2) ? qRound(perMeter) : 0;
}

void setResolution(QImage& page, double xPerMeter, double yPerMeter)
{
    if (const int n = dotsPerMeter(xPerMeter))
        page.setDotsPerMeterX(n);
    if (const int n = dotsPerMeter(yPerMeter))
        page.setDotsPerMeterY(n);
}

// The current directory's page, or null with sWhy.
QImage readTiffPage(TIFF* tif, quint64 nFileBytes, QString& sWhy)
{
    codec::TiffPage form;
    std::string sCodec;
    if (!codec::tiffPage(tif, nFileBytes, form, sCodec)) {
        sWhy = QString::fromStdString(sCodec);
        return QImage();
    }
    static const QImage::Format kFormats[] = {QImage::Format_Mono,     QImage::Format_Grayscale8,
                                              QImage::Format_Grayscale16, QImage::Format_Indexed8,
                                              QImage::Format_RGB888,   QImage::Format_RGBX64};
    QImage page(int(form.width), int(form.height), kFormats[int(form.form)]);
    if (page.isNull()) {
        sWhy = QStringLiteral("no memory for a TIFF page of %1 x %2").arg(form.width).arg(form.height);
        return QImage();
    }
    if (form.form == codec::TiffPageForm::Mono) {
        page.setColorTable({qRgb(0, 0, 0), qRgb(255, 255, 255)});
    } else if (form.form == codec::TiffPageForm::Palette8) {
        QVector<QRgb> table;
        for (std::uint32_t rgb : form.palette)
            table.append(0xFF000000u | rgb);
        page.setColorTable(table);
    }
    if (!codec::readTiffPage(tif, form, [&page](std::uint32_t y) { return page.scanLine(int(y)); }, sCodec)) {
        sWhy = QStringLiteral("a TIFF page cannot be read: %1")
                   .arg(tiffMessage().isEmpty() ? QString::fromStdString(sCodec) : tiffMessage());
        return QImage();
    }
    setResolution(page, form.dotsPerMeterX, form.dotsPerMeterY);
    return page;
}

} // namespace

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
        QString sWhy;
        const QImage page = readTiffPage(tif, quint64(tiff.size()), sWhy);
        if (page.isNull()) {
            fail(pError, sWhy);
            pages.clear();
            break;
        }
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
    if (img.isNull()) {
        fail(pError, QStringLiteral("no memory for a PNM page of %1 x %2").arg(w).arg(h));
        return QImage();
    }
    // Samples of another maxval are spread over the full range (one above maxval counts as maxval).
    const int nFull = nBytes == 2 ? 65535 : 255;
    const auto scaled = [maxval, nFull](int v) {
        return maxval == nFull ? v : int((qint64(qMin<qint64>(v, maxval)) * nFull + maxval / 2) / maxval);
    };
    for (int y = 0; y < int(h); ++y) {
        const uchar* pIn = reinterpret_cast<const uchar*>(pnm.constData() + nPos + y * nRow);
        uchar* pOut = img.scanLine(y);
        if (nBytes == 1) {
            std::memcpy(pOut, pIn, size_t(nRow));
            if (kind != '4' && maxval != nFull) {
                for (qint64 i = 0; i < nRow; ++i)
                    pOut[i] = uchar(scaled(pOut[i]));
            }
        } else if (kind == '5') {
            quint16* p16 = reinterpret_cast<quint16*>(pOut);
            for (int x = 0; x < int(w); ++x)
                p16[x] = quint16(scaled((pIn[2 * x] << 8) | pIn[2 * x + 1]));
        } else {
            QRgba64* pPix = reinterpret_cast<QRgba64*>(pOut);
            for (int x = 0; x < int(w); ++x) {
                const uchar* p = pIn + 6 * x;
                pPix[x] = QRgba64::fromRgba64(quint16(scaled((p[0] << 8) | p[1])), quint16(scaled((p[2] << 8) | p[3])),
                                              quint16(scaled((p[4] << 8) | p[5])), 0xFFFF);
            }
        }
    }
    setResolution(img, dpiX / 0.0254, dpiY / 0.0254);
    return img;
}

} // namespace pelirand
