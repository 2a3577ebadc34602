// A delivered bitmap as the bridge hands it over: a DIB without file header
// or a BMP file, read by every reader of the client and pelirand-scan that
// takes one (file bytes, decoding, rows straight from the bitmap).
//
// Input: [0] bit 0 a DIB (else a file as a source wrote it); then the bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cmath>

#include <QByteArray>
#include <QImage>
#include <QString>
#include <QtGlobal>

#include <vector>

#include "client/scan/pagewriter.h"
#include "client/scan/pnmdirect.h"
#include "pelirand/image.h"
#include "pelirand/twainblocks.h"

namespace {

// Qt's readers warn about every odd file: nothing to see here, and slow.
void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

// Whether a BMP file's header claims at most a few million pixels.
bool decodedIsSmall(const QByteArray& bmp)
{
    if (bmp.size() < 26)
        return true;
    const bool bCore = pelirand::readU32(bmp, 14) == 12;
    const qint64 w = bCore ? pelirand::readU16(bmp, 18) : qint32(pelirand::readU32(bmp, 18));
    const qint64 h = bCore ? pelirand::readU16(bmp, 20) : qint32(pelirand::readU32(bmp, 22));
    return std::abs(w) * std::abs(h) <= (qint64(1) << 22);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    static const QtMessageHandler s_previous = qInstallMessageHandler(quiet);
    (void)s_previous;
    if (nSize < 1)
        return 0;
    pelirand::Image image;
    image.id = (pData[0] & 1) ? -1 : 0;
    image.data = QByteArray(reinterpret_cast<const char*>(pData + 1), int(nSize - 1));
    QString sError;
    const QByteArray file = image.fileBytes(&sError);
    if (image.isDib() && file.isEmpty() == sError.isEmpty())
        std::abort();
    (void)image.fileFormat();
    (void)pelirand::canWritePnmDirectly(image);
    pelirand::PageRows rows;
    if (pelirand::pageRowsOf(image, rows)) {
        if (rows.iWidth <= 0 || rows.iHeight <= 0)
            std::abort();
        std::vector<uchar> row(std::size_t(rows.iWidth) * (rows.bRgb ? 3 : 1));
        for (int y = 0; y < rows.iHeight; ++y)
            rows.row(y, row.data());
    }
    // Qt's own readers decode the pixels; what is ours is what comes before.
    // Compressed rows may claim up to the library's cap: left out here, or
    // every run would take seconds.
    if (decodedIsSmall(image.isDib() ? file : image.data)) {
        const QImage decoded = image.toQImage(&sError);
        if (decoded.isNull() && sError.isEmpty())
            std::abort();
    }
    return 0;
}
