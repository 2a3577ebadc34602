// A PNM page as pelirand-scan reads it back: any header, comment and samples.
//
// Input: the file's bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include <QByteArray>
#include <QImage>
#include <QString>

#include "client/scan/pagewriter.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize)
{
    const QByteArray bytes = QByteArray::fromRawData(reinterpret_cast<const char*>(pData), int(nSize));
    QString sError;
    const QImage page = pelirand::readPnm(bytes, &sError);
    if (page.isNull() == sError.isEmpty())
        std::abort();
    return 0;
}
