#include "client/image.h"

#include <QBuffer>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "client/tiffimage.h"
#include "client/twainblocks.h"

namespace pelirand {

namespace {

constexpr int kFileHeaderSize = 14;
constexpr int kCoreHeaderSize = 12;
constexpr int kInfoHeaderSize = 40;
// Far beyond any scanner's page, small enough that no product below overflows.
constexpr qint64 kMaxExtent = 1 << 20;

enum : quint32
{
    kBiRgb = 0,
    kBiBitfields = 3,
};

bool fail(QString* pError, const QString& sWhy)
{
    if (pError)
        *pError = sWhy;
    return false;
}

bool validBitCount(quint32 nBits)
{
    return nBits == 1 || nBits == 4 || nBits == 8 || nBits == 16 || nBits == 24 || nBits == 32;
}

// Width and height of a BMP file (or 0 x 0), without decoding it.
QSize bmpSize(const QByteArray& bmp)
{
    const quint32 nHeader = readU32(bmp, kFileHeaderSize);
    if (nHeader == kCoreHeaderSize)
        return QSize(readU16(bmp, kFileHeaderSize + 4), readU16(bmp, kFileHeaderSize + 6));
    const qint32 w = qint32(readU32(bmp, kFileHeaderSize + 4));
    const qint32 h = qint32(readU32(bmp, kFileHeaderSize + 8));
    return QSize(w, h == INT32_MIN ? 0 : std::abs(h));
}

// Written whole or not at all, and a failure says the system's own reason
// ("No space left on device"), which a write that gets only part of its
// bytes through does not report by itself.
bool writeBytes(const QString& sFileName, const QByteArray& bytes, QString* pError)
{
    QSaveFile file(sFileName);
    if (!file.open(QIODevice::WriteOnly))
        return fail(pError, QStringLiteral("cannot create %1: %2").arg(sFileName, file.errorString()));
    const char* p = bytes.constData();
    qint64 nLeft = bytes.size();
    while (nLeft > 0) {
        const ssize_t n = ::write(file.handle(), p, size_t(qMin<qint64>(nLeft, 1 << 30)));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const QString sWhy = QString::fromLocal8Bit(std::strerror(n < 0 ? errno : ENOSPC));
            file.cancelWriting();
            return fail(pError, QStringLiteral("cannot write %1: %2").arg(sFileName, sWhy));
        }
        p += n;
        nLeft -= n;
    }
    if (!file.commit())
        return fail(pError, QStringLiteral("cannot write %1: %2").arg(sFileName, file.errorString()));
    return true;
}

} // namespace

QByteArray dibToBmp(const QByteArray& dib, QString* pError)
{
    const qint64 nBlock = dib.size();
    const quint32 nHeader = readU32(dib, 0);
    qint64 nWidth = 0;
    qint64 nRows = 0;
    quint32 nBits = 0;
    qint64 nTable = 0;
    qint64 nPixels = 0;
    QByteArray bmp;

    if (nHeader == kCoreHeaderSize) {
        if (nBlock < kCoreHeaderSize) {
            fail(pError, QStringLiteral("the DIB is only %1 bytes long").arg(nBlock));
            return {};
        }
        nWidth = readU16(dib, 4);
        nRows = readU16(dib, 6);
        nBits = readU16(dib, 10);
        if (!validBitCount(nBits) || nBits == 16 || nBits == 32) {
            fail(pError, QStringLiteral("a core DIB of %1 bits per pixel").arg(nBits));
            return {};
        }
        nTable = nBits <= 8 ? 3 * (qint64(1) << nBits) : 0;
        nPixels = (nWidth * nBits + 31) / 32 * 4 * nRows;
    } else {
        if (nHeader < kInfoHeaderSize || nHeader > 1024 || nBlock < nHeader) {
            fail(pError, QStringLiteral("no DIB header (header size %1, %2 bytes)").arg(nHeader).arg(nBlock));
            return {};
        }
        nWidth = qint32(readU32(dib, 4));
        const qint32 nHeight = qint32(readU32(dib, 8));
        nBits = readU16(dib, 14);
        const quint32 nCompression = readU32(dib, 16);
        const quint32 nSizeImage = readU32(dib, 20);
        const quint32 nClrUsed = readU32(dib, 32);
        if (nHeight == INT32_MIN || !validBitCount(nBits)) {
            fail(pError, QStringLiteral("a DIB of height %1 and %2 bits per pixel").arg(nHeight).arg(nBits));
            return {};
        }
        nRows = std::abs(nHeight);
        const qint64 nMaxColours = nBits <= 8 ? (qint64(1) << nBits) : 0;
        if (nClrUsed > 65536) {
            fail(pError, QStringLiteral("a DIB with %1 colours").arg(nClrUsed));
            return {};
        }
        nTable = 4 * (nClrUsed ? qint64(nClrUsed) : nMaxColours);
        // Without a V4/V5 header the three masks follow the header.
        if (nCompression == kBiBitfields && nHeader == kInfoHeaderSize)
            nTable += 12;
        if (nCompression == kBiRgb || nCompression == kBiBitfields)
            nPixels = (nWidth * nBits + 31) / 32 * 4 * nRows;
        else
            nPixels = nSizeImage;
    }
    if (nWidth <= 0 || nWidth > kMaxExtent || nRows == 0 || nRows > kMaxExtent) {
        fail(pError, QStringLiteral("a DIB of %1 x %2 pixels").arg(nWidth).arg(nRows));
        return {};
    }
    const qint64 nOffBits = qint64(nHeader) + nTable;
    const qint64 nTotal = nOffBits + nPixels;
    if (nTotal > nBlock) {
        fail(pError, QStringLiteral("the DIB needs %1 bytes but holds only %2").arg(nTotal).arg(nBlock));
        return {};
    }
    if (nTotal + kFileHeaderSize > INT32_MAX) {
        fail(pError, QStringLiteral("a DIB of %1 bytes is too large for a BMP file").arg(nTotal));
        return {};
    }

    bmp.resize(int(kFileHeaderSize + nTotal));
    bmp[0] = 'B';
    bmp[1] = 'M';
    writeU32(bmp, 2, quint32(bmp.size()));
    writeU32(bmp, 6, 0);
    writeU32(bmp, 10, quint32(kFileHeaderSize + nOffBits));
    std::copy(dib.constBegin(), dib.constBegin() + nTotal, bmp.begin() + kFileHeaderSize);
    // The bridge inverts the height's sign of every info-header DIB without
    // moving its rows; inverting it again gives the rows their order back.
    if (nHeader != kCoreHeaderSize)
        writeU32(bmp, kFileHeaderSize + 8, quint32(-qint32(readU32(dib, 8))));
    return bmp;
}

QByteArray Image::fileBytes(QString* pError) const
{
    if (!sError.isEmpty()) {
        fail(pError, sError);
        return {};
    }
    return isDib() ? dibToBmp(data, pError) : data;
}

QString Image::fileFormat() const
{
    if (isDib())
        return QStringLiteral("dib");
    if (data.startsWith("BM"))
        return QStringLiteral("bmp");
    if (data.startsWith("\x89PNG"))
        return QStringLiteral("png");
    if (data.startsWith("\xFF\xD8\xFF"))
        return QStringLiteral("jpg");
    if (data.startsWith(QByteArray("II*\0", 4)) || data.startsWith(QByteArray("MM\0*", 4)))
        return QStringLiteral("tif");
    return QString();
}

QImage Image::toQImage(QString* pError) const
{
    QByteArray bytes = fileBytes(pError);
    if (bytes.isEmpty())
        return QImage();
    // Qt reads TIFF only with an extra plugin, and reduces 16-bit samples.
    if (fileFormat() == QLatin1String("tif"))
        return decodeTiff(bytes, pError);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    const QImage image = reader.read();
    if (image.isNull())
        fail(pError, QStringLiteral("the image cannot be decoded: %1").arg(reader.errorString()));
    return image;
}

bool writeImageFile(const Image& image, const QString& sFileName, const QString& sFormat, QString* pError,
                    QSize* pSize)
{
    const QString sFmt = sFormat.toLower();
    if (sFmt != QLatin1String("png") && sFmt != QLatin1String("bmp"))
        return fail(pError, QStringLiteral("unknown output format %1").arg(sFormat));

    if (sFmt == QLatin1String("bmp") && (image.isDib() || image.fileFormat() == QLatin1String("bmp"))) {
        const QByteArray bytes = image.fileBytes(pError);
        if (bytes.isEmpty())
            return false;
        if (pSize)
            *pSize = bmpSize(bytes);
        return writeBytes(sFileName, bytes, pError);
    }

    const QImage decoded = image.toQImage(pError);
    if (decoded.isNull())
        return false;
    if (decoded.format() == QImage::Format_Grayscale16 && sFmt != QLatin1String("png"))
        return fail(pError,
                    QStringLiteral("a %1 file cannot hold 16-bit grey: write PNG").arg(sFmt.toUpper()));
    if (pSize)
        *pSize = decoded.size();
    // Encoded in memory first: the file's writes then say why they fail.
    QByteArray encoded;
    QBuffer buffer(&encoded);
    buffer.open(QIODevice::WriteOnly);
    QImageWriter writer(&buffer, sFmt.toLatin1());
    if (!writer.write(decoded))
        return fail(pError, QStringLiteral("cannot write %1: %2").arg(sFileName, writer.errorString()));
    return writeBytes(sFileName, encoded, pError);
}

} // namespace pelirand
