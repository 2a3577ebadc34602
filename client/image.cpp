#include "pelirand/image.h"

#include <QBuffer>
#include <QFile>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>

#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "client/imagemapping_p.h"
#include "client/tiffimage.h"
#include "codec/bmpheader.h"
#include "codec/pagesize.h"
#include "pelirand/twainblocks.h"

namespace pelirand {

namespace {

constexpr int kFileHeaderSize = int(codec::kBmpFileHeaderSize);
constexpr int kCoreHeaderSize = 12;
constexpr int kInfoHeaderSize = int(codec::kBmpInfoHeaderSize);
// Bytes of a mapped file written between two releases of its written pages.
constexpr qint64 kDropBehindChunk = 8 << 20;
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
// bytes through does not report by itself. The pieces follow each other in
// the file. A piece that lies in a mapped file (pMapped) leaves this process's
// memory behind the write as it goes: the file keeps the bytes, so a page of
// any size is written without being resident here at once.
bool writeBytes(const QString& sFileName, std::initializer_list<QByteArray> pieces, QString* pError,
                const ImageFileMapping* pMapped = nullptr)
{
    QSaveFile file(sFileName);
    if (!file.open(QIODevice::WriteOnly))
        return fail(pError, QStringLiteral("cannot create %1: %2").arg(sFileName, file.errorString()));
    const long nPageSize = memoryPageSize();
    for (const QByteArray& bytes : pieces) {
        const char* p = bytes.constData();
        qint64 nLeft = bytes.size();
        const bool bDropBehind = pMapped && nPageSize > 0 && p >= pMapped->data() &&
                                 p + nLeft <= pMapped->data() + pMapped->size();
        const qint64 nChunk = bDropBehind ? kDropBehindChunk : qint64(1) << 30;
        const quintptr nMask = quintptr(nPageSize) - 1;
        // Whole pages of the mapping from here on may be let go once written.
        const char* pDropFrom = reinterpret_cast<const char*>((quintptr(p) + nMask) & ~nMask);
        while (nLeft > 0) {
            QString sWhy;
            const qint64 n = writeSome(file, p, qMin<qint64>(nLeft, nChunk), sWhy);
            if (n <= 0) {
                file.cancelWriting();
                return fail(pError, QStringLiteral("cannot write %1: %2").arg(sFileName, sWhy));
            }
            p += n;
            nLeft -= n;
            const char* pDropTo = reinterpret_cast<const char*>(quintptr(p) & ~nMask);
            if (bDropBehind && pDropTo > pDropFrom) {
                dropMappedPages(quintptr(pDropFrom), quintptr(pDropTo));
                pDropFrom = pDropTo;
            }
        }
    }
    if (!file.commit())
        return fail(pError, QStringLiteral("cannot write %1: %2").arg(sFileName, file.errorString()));
    return true;
}

} // namespace

namespace {

// Where a DIB's parts lie, checked against its block.
struct DibLayout
{
    quint32 nHeader = 0;
    qint64 nWidth = 0;
    qint64 nRows = 0;
    // Header and colour table, and with the pixels.
    qint64 nOffBits = 0;
    qint64 nTotal = 0;
};

bool dibLayout(const QByteArray& dib, DibLayout& layout, QString* pError)
{
    const qint64 nBlock = dib.size();
    const quint32 nHeader = readU32(dib, 0);
    qint64 nWidth = 0;
    qint64 nRows = 0;
    quint32 nBits = 0;
    qint64 nTable = 0;
    qint64 nPixels = 0;

    if (nHeader == kCoreHeaderSize) {
        if (nBlock < kCoreHeaderSize) {
            fail(pError, QStringLiteral("the DIB is only %1 bytes long").arg(nBlock));
            return false;
        }
        nWidth = readU16(dib, 4);
        nRows = readU16(dib, 6);
        nBits = readU16(dib, 10);
        if (!validBitCount(nBits) || nBits == 16 || nBits == 32) {
            fail(pError, QStringLiteral("a core DIB of %1 bits per pixel").arg(nBits));
            return false;
        }
        nTable = nBits <= 8 ? 3 * (qint64(1) << nBits) : 0;
    } else {
        if (nHeader < kInfoHeaderSize || nHeader > 1024 || nBlock < nHeader) {
            fail(pError, QStringLiteral("no DIB header (header size %1, %2 bytes)").arg(nHeader).arg(nBlock));
            return false;
        }
        nWidth = qint32(readU32(dib, 4));
        const qint32 nHeight = qint32(readU32(dib, 8));
        nBits = readU16(dib, 14);
        const quint32 nCompression = readU32(dib, 16);
        const quint32 nSizeImage = readU32(dib, 20);
        const quint32 nClrUsed = readU32(dib, 32);
        if (nHeight == INT32_MIN || !validBitCount(nBits)) {
            fail(pError, QStringLiteral("a DIB of height %1 and %2 bits per pixel").arg(nHeight).arg(nBits));
            return false;
        }
        nRows = std::abs(nHeight);
        const qint64 nMaxColours = nBits <= 8 ? (qint64(1) << nBits) : 0;
        if (nClrUsed > 65536) {
            fail(pError, QStringLiteral("a DIB with %1 colours").arg(nClrUsed));
            return false;
        }
        nTable = 4 * (nClrUsed ? qint64(nClrUsed) : nMaxColours);
        // Without a V4/V5 header the three masks follow the header.
        if (nCompression == kBiBitfields && nHeader == kInfoHeaderSize)
            nTable += 12;
        // Compressed pixels are as many as the header says.
        if (nCompression != kBiRgb && nCompression != kBiBitfields)
            nPixels = nSizeImage;
        else
            nPixels = -1;
    }
    // The extent first: the rows' size is computed only of an extent that cannot overflow it.
    if (nWidth <= 0 || nWidth > kMaxExtent || nRows == 0 || nRows > kMaxExtent) {
        fail(pError, QStringLiteral("a DIB of %1 x %2 pixels").arg(nWidth).arg(nRows));
        return false;
    }
    if (nPixels < 0 || nHeader == kCoreHeaderSize)
        nPixels = (nWidth * nBits + 31) / 32 * 4 * nRows;
    const qint64 nOffBits = qint64(nHeader) + nTable;
    const qint64 nTotal = nOffBits + nPixels;
    if (nTotal > nBlock) {
        fail(pError, QStringLiteral("the DIB needs %1 bytes but holds only %2").arg(nTotal).arg(nBlock));
        return false;
    }
    if (nTotal + kFileHeaderSize > INT32_MAX) {
        fail(pError, QStringLiteral("a DIB of %1 bytes is too large for a BMP file").arg(nTotal));
        return false;
    }
    layout.nHeader = nHeader;
    layout.nWidth = nWidth;
    layout.nRows = nRows;
    layout.nOffBits = nOffBits;
    layout.nTotal = nTotal;
    return true;
}

// The BMP file's first bytes: its file header, and the DIB's own header with
// the rows' order given back (the bridge inverts the height's sign of every
// info-header DIB without moving its rows; inverting it again restores it).
QByteArray bmpHead(const QByteArray& dib, const DibLayout& layout)
{
    QByteArray head(int(kFileHeaderSize + layout.nHeader), '\0');
    codec::BmpFileHeader file;
    file.fileSize = quint32(kFileHeaderSize + layout.nTotal);
    file.pixelsAt = quint32(kFileHeaderSize + layout.nOffBits);
    codec::writeBmpFileHeader(file, reinterpret_cast<unsigned char*>(head.data()));
    std::copy(dib.constBegin(), dib.constBegin() + layout.nHeader, head.begin() + kFileHeaderSize);
    if (layout.nHeader != kCoreHeaderSize)
        writeU32(head, kFileHeaderSize + 8, quint32(-qint32(readU32(dib, 8))));
    return head;
}

} // namespace

QByteArray dibToBmp(const QByteArray& dib, QString* pError)
{
    DibLayout layout;
    if (!dibLayout(dib, layout, pError))
        return {};
    QByteArray bmp = bmpHead(dib, layout);
    bmp.append(dib.constData() + layout.nHeader, int(layout.nTotal - layout.nHeader));
    return bmp;
}

QByteArray Image::bytes() const
{
    if (mapping && data.isEmpty())
        return QByteArray::fromRawData(mapping->data(), int(mapping->size()));
    return data;
}

qint64 Image::byteCount() const
{
    return mapping && data.isEmpty() ? mapping->size() : data.size();
}

void Image::releaseBytes(const char* p, qint64 nBytes) const
{
    if (mapping && data.isEmpty())
        mapping->release(p, nBytes);
}

QByteArray Image::fileBytes(QString* pError) const
{
    if (!error.isEmpty()) {
        fail(pError, error);
        return {};
    }
    if (isDib())
        return dibToBmp(bytes(), pError);
    // A copy that owns its bytes: it may outlive the Image.
    return data.isEmpty() && mapping ? QByteArray(mapping->data(), int(mapping->size())) : data;
}

QString Image::fileFormat() const
{
    if (isDib())
        return QStringLiteral("dib");
    const QByteArray data = bytes();
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
    if (!error.isEmpty()) {
        fail(pError, error);
        return QImage();
    }
    // Read where the bytes lie; only a DIB needs a file made of it.
    QByteArray bytes = isDib() ? dibToBmp(this->bytes(), pError) : this->bytes();
    if (bytes.isEmpty()) {
        // A DIB that is not one has said why already.
        if (!isDib())
            fail(pError, QStringLiteral("the image holds no bytes"));
        return QImage();
    }
    // Qt reads TIFF only with an extra plugin, and reduces 16-bit samples.
    if (fileFormat() == QLatin1String("tif"))
        return decodeTiff(bytes, pError);
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::ReadOnly);
    QImageReader reader(&buffer);
    // The size a reader tells from the header is checked before it allocates the pixels.
    const QSize size = reader.size();
    // An uncompressed BMP holds every row it claims.
    const quint32 nBmpHeader = readU32(bytes, kFileHeaderSize);
    const bool bCoreBmp = bytes.startsWith("BM") && nBmpHeader == kCoreHeaderSize;
    const bool bRawBmp = bCoreBmp || (bytes.startsWith("BM") && nBmpHeader >= kInfoHeaderSize &&
                                      (readU32(bytes, kFileHeaderSize + 16) == kBiRgb ||
                                       readU32(bytes, kFileHeaderSize + 16) == kBiBitfields));
    const quint32 nBmpBits =
        !bRawBmp ? 32 : readU16(bytes, kFileHeaderSize + (bCoreBmp ? 10 : 14));
    std::string sTooLarge;
    if (size.isValid() &&
        (!codec::decodedPageAllowed(codec::decodedPageBytes(quint32(size.width()), quint32(size.height()), 4, 8),
                                    quint64(bytes.size()), false, sTooLarge) ||
         (bRawBmp && !codec::decodedPageAllowed(codec::decodedPageBytes(quint32(size.width()),
                                                                        quint32(size.height()), 1, nBmpBits),
                                                quint64(bytes.size()), true, sTooLarge)))) {
        fail(pError, QStringLiteral("the image cannot be decoded: a page of %1 x %2 pixels: %3")
                         .arg(size.width())
                         .arg(size.height())
                         .arg(QString::fromStdString(sTooLarge)));
        return QImage();
    }
    reader.setDevice(nullptr);
    buffer.seek(0);
    reader.setDevice(&buffer);
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
        if (!image.error.isEmpty())
            return fail(pError, image.error);
        const QByteArray bytes = image.bytes();
        const ImageFileMapping* pMapped = image.data.isEmpty() ? image.mapping.get() : nullptr;
        if (!image.isDib()) {
            if (pSize)
                *pSize = bmpSize(bytes);
            return writeBytes(sFileName, {bytes}, pError, pMapped);
        }
        // The DIB's pixels go to the file from where they lie.
        DibLayout layout;
        if (!dibLayout(bytes, layout, pError))
            return false;
        if (pSize)
            *pSize = QSize(int(layout.nWidth), int(layout.nRows));
        return writeBytes(
            sFileName,
            {bmpHead(bytes, layout), QByteArray::fromRawData(bytes.constData() + layout.nHeader,
                                                             int(layout.nTotal - layout.nHeader))},
            pError, pMapped);
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
    return writeBytes(sFileName, {encoded}, pError);
}

} // namespace pelirand
