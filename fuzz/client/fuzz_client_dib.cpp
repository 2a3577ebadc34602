// A delivered bitmap as the bridge hands it over: a DIB without file header
// or a BMP file, read by every reader of the client and pelirand-scan that
// takes one (file bytes, decoding, rows straight from the bitmap).
//
// Input: [0] bit 0 a DIB (else a file as a source wrote it); then the bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <QByteArray>
#include <QImage>
#include <QString>

#include <vector>

#include "client/scan/pagewriter.h"
#include "client/scan/pnmdirect.h"
#include "pelirand/image.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
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
    // Qt's own readers decode what is not a DIB; only their size check is ours.
    if (image.isDib() || nSize < 64) {
        const QImage decoded = image.toQImage(&sError);
        if (decoded.isNull() && sError.isEmpty())
            std::abort();
    }
    return 0;
}
