// A TIFF page as a source writes it (file transfers) or the bridge makes it:
// any layout, size and field, read by the library's decoder and by
// pelirand-scan's reader of every page.
//
// Input: the file's bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <QByteArray>
#include <QImage>
#include <QList>
#include <QString>
#include <QtGlobal>

#include "client/scan/pagewriter.h"
#include "pelirand/image.h"

namespace {

// Qt's readers warn about every odd file: nothing to see here, and slow.
void quiet(QtMsgType, const QMessageLogContext&, const QString&) {}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    static const QtMessageHandler s_previous = qInstallMessageHandler(quiet);
    (void)s_previous;
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(pData), int(nSize));
    QString sError;
    const QList<QImage> pages = pelirand::readTiffPages(bytes, &sError);
    if (pages.isEmpty() && sError.isEmpty())
        std::abort();
    for (const QImage& page : pages) {
        if (page.isNull())
            std::abort();
    }
    pelirand::Image image;
    image.data = QByteArray(bytes.constData(), bytes.size());
    sError.clear();
    const QImage decoded = image.toQImage(&sError);
    if (decoded.isNull() && sError.isEmpty())
        std::abort();
    return 0;
}
