#include "client/scan/pnmdirect.h"

#include <QSaveFile>

#include <algorithm>
#include <cmath>
#include <cerrno>
#include <cstring>

#include <unistd.h>


#include "pelirand/twainblocks.h"

namespace pelirand {

namespace {

constexpr int kFileHeaderSize = 14;
constexpr int kInfoHeaderSize = 40;
constexpr qint64 kMaxExtent = 1 << 20;
// Rows gathered before each write.
constexpr qint64 kChunk = 1 << 20;

struct Layout
{
    qint64 nWidth = 0;
    qint64 nRows = 0;
    int nBits = 0;
    bool bTopDown = false;
    qint64 nOffBits = 0;
    qint64 nRowBytes = 0;
    qint32 nPpmX = 0;
    qint32 nPpmY = 0;
    // 1 bit: whether index 0 and index 1 are black.
    bool bBlack0 = false;
    bool bBlack1 = false;
};

qint32 readI32(const QByteArray& block, int offset)
{
    return qint32(readU32(block, offset));
}

// The delivered file's bytes, read or mapped, without a copy.
QByteArray bitmapBytes(const Image& image)
{
    return image.bytes();
}

bool layoutOf(const Image& image, const QByteArray& d, Layout& layout)
{
    if (!image.isValid())
        return false;
    const bool bDib = image.isDib();
    if (!bDib && image.fileFormat() != QLatin1String("bmp"))
        return false;
    const int nHdr = bDib ? 0 : kFileHeaderSize;
    if (d.size() < nHdr + kInfoHeaderSize || readU32(d, nHdr) != kInfoHeaderSize)
        return false;
    const qint32 nWidth = readI32(d, nHdr + 4);
    qint32 nHeight = readI32(d, nHdr + 8);
    const quint16 nBits = readU16(d, nHdr + 14);
    const quint32 nCompression = readU32(d, nHdr + 16);
    const quint32 nClrUsed = readU32(d, nHdr + 32);
    layout.nPpmX = readI32(d, nHdr + 24);
    layout.nPpmY = readI32(d, nHdr + 28);
    if (nHeight == INT32_MIN || nHeight == 0 || nWidth <= 0 || nWidth > kMaxExtent || nCompression != 0 ||
        layout.nPpmX <= 0 || layout.nPpmY <= 0)
        return false;
    // The bridge delivers a DIB with its height's sign inverted.
    if (bDib)
        nHeight = -nHeight;
    layout.bTopDown = nHeight < 0;
    layout.nRows = std::abs(qint64(nHeight));
    layout.nWidth = nWidth;
    layout.nBits = nBits;
    if (layout.nRows > kMaxExtent)
        return false;

    qint64 nTable = 0;
    const qint64 nTableAt = nHdr + kInfoHeaderSize;
    if (nBits == 24) {
        if (nClrUsed != 0)
            return false;
    } else if (nBits == 8) {
        if (nClrUsed != 0 && nClrUsed != 256)
            return false;
        nTable = 256 * 4;
        if (d.size() < nTableAt + nTable)
            return false;
        for (int i = 0; i < 256; ++i) {
            const char* p = d.constData() + nTableAt + 4 * i;
            if (quint8(p[0]) != i || quint8(p[1]) != i || quint8(p[2]) != i)
                return false;
        }
    } else if (nBits == 1) {
        if (nClrUsed != 0 && nClrUsed != 2)
            return false;
        nTable = 2 * 4;
        if (d.size() < nTableAt + nTable)
            return false;
        bool bBlack[2] = {};
        for (int i = 0; i < 2; ++i) {
            const uchar* p = reinterpret_cast<const uchar*>(d.constData()) + nTableAt + 4 * i;
            const bool bIsBlack = p[0] == 0 && p[1] == 0 && p[2] == 0;
            const bool bIsWhite = p[0] == 255 && p[1] == 255 && p[2] == 255;
            if (!bIsBlack && !bIsWhite)
                return false;
            bBlack[i] = bIsBlack;
        }
        layout.bBlack0 = bBlack[0];
        layout.bBlack1 = bBlack[1];
    } else {
        return false;
    }
    layout.nOffBits = bDib ? nTableAt + nTable : qint64(readU32(d, 10));
    if (layout.nOffBits < nTableAt + nTable)
        return false;
    layout.nRowBytes = (layout.nWidth * nBits + 31) / 32 * 4;
    return layout.nOffBits + layout.nRowBytes * layout.nRows <= d.size();
}

// One bitmap row as a PNM row.
void convertRow(const Layout& layout, const uchar* pIn, char* pOut)
{
    const qint64 w = layout.nWidth;
    switch (layout.nBits) {
    case 24:
        for (qint64 x = 0; x < w; ++x, pIn += 3, pOut += 3) {
            pOut[0] = char(pIn[2]);
            pOut[1] = char(pIn[1]);
            pOut[2] = char(pIn[0]);
        }
        break;
    case 8:
        std::memcpy(pOut, pIn, size_t(w));
        break;
    default: {
        // PNM: 1 for black, most significant bit first, as the bitmap's bits.
        const qint64 nBytes = (w + 7) / 8;
        if (layout.bBlack0 == layout.bBlack1) {
            std::memset(pOut, layout.bBlack0 ? 0xFF : 0, size_t(nBytes));
        } else {
            const uchar flip = layout.bBlack0 ? 0xFF : 0;
            for (qint64 i = 0; i < nBytes; ++i)
                pOut[i] = char(pIn[i] ^ flip);
        }
        // The bits past the last pixel stay 0.
        if (w % 8)
            pOut[nBytes - 1] = char(uchar(pOut[nBytes - 1]) & uchar(0xFF00 >> (w % 8)));
        break;
    }
    }
}

double dpi(qint32 nPpm)
{
    const double dpi = nPpm * 0.0254;
    return dpi > 0.5 ? std::round(dpi * 100) / 100 : 72.0;
}

bool fail(QString* pError, const QString& sWhy)
{
    if (pError)
        *pError = sWhy;
    return false;
}

} // namespace

bool canWritePnmDirectly(const Image& image)
{
    Layout layout;
    return layoutOf(image, bitmapBytes(image), layout);
}

bool writePnmDirectly(const Image& image, const QString& sFileName, QString* pError, QSize* pSize)
{
    Layout layout;
    const QByteArray bytes = bitmapBytes(image);
    if (!layoutOf(image, bytes, layout))
        return fail(pError, QStringLiteral("the page is not a bitmap a PNM file takes as it is"));
    const qint64 nOutRow = layout.nBits == 24  ? layout.nWidth * 3
                           : layout.nBits == 8 ? layout.nWidth
                                               : (layout.nWidth + 7) / 8;
    const QByteArray magic = layout.nBits == 24 ? "P6\n" : layout.nBits == 8 ? "P5\n" : "P4\n";
    QByteArray header = magic + "# resolution " + QByteArray::number(dpi(layout.nPpmX), 'g', 6) + "x" +
                        QByteArray::number(dpi(layout.nPpmY), 'g', 6) + " dpi\n" +
                        QByteArray::number(layout.nWidth) + " " + QByteArray::number(layout.nRows) + "\n";
    if (layout.nBits != 1)
        header += "255\n";

    QSaveFile file(sFileName);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered))
        return fail(pError, QStringLiteral("cannot create %1: %2").arg(sFileName, file.errorString()));
    // Straight to the file, so that a failure keeps the system's reason ("No space left on device").
    QString sWhy;
    const auto write = [&file, &sWhy](const char* p, qint64 nBytes) {
        while (nBytes > 0) {
            const ssize_t n = ::write(file.handle(), p, size_t(nBytes));
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                sWhy = QString::fromLocal8Bit(std::strerror(n < 0 ? errno : ENOSPC));
                return false;
            }
            p += n;
            nBytes -= n;
        }
        return true;
    };
    bool bOk = write(header.constData(), header.size());
    const qint64 nPerChunk = std::max<qint64>(1, kChunk / nOutRow);
    QByteArray chunk(int(std::min(nPerChunk, layout.nRows) * nOutRow), Qt::Uninitialized);
    const uchar* pBits = reinterpret_cast<const uchar*>(bytes.constData()) + layout.nOffBits;
    for (qint64 nRow = 0; bOk && nRow < layout.nRows;) {
        const qint64 nCount = std::min(nPerChunk, layout.nRows - nRow);
        const qint64 nFirst = nRow;
        for (qint64 i = 0; i < nCount; ++i, ++nRow) {
            const qint64 nStored = layout.bTopDown ? nRow : layout.nRows - 1 - nRow;
            convertRow(layout, pBits + nStored * layout.nRowBytes, chunk.data() + i * nOutRow);
        }
        bOk = write(chunk.constData(), nCount * nOutRow);
        if (bOk) {
            // Rows of a mapped file are let go once written: the file keeps
            // them, and a page of any size is then never resident here at once.
            const qint64 nLow = layout.bTopDown ? nFirst : layout.nRows - nRow;
            image.releaseBytes(reinterpret_cast<const char*>(pBits + nLow * layout.nRowBytes),
                               nCount * layout.nRowBytes);
        }
    }
    if (!bOk || !file.commit()) {
        if (sWhy.isEmpty())
            sWhy = file.errorString();
        file.cancelWriting();
        return fail(pError, QStringLiteral("cannot write %1: %2").arg(sFileName, sWhy));
    }
    if (pSize)
        *pSize = QSize(int(layout.nWidth), int(layout.nRows));
    return true;
}

} // namespace pelirand
