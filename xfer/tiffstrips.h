#ifndef PELIRAND_XFER_TIFFSTRIPS_H
#define PELIRAND_XFER_TIFFSTRIPS_H

// A TIFF file written row by row as a buffered transfer's strips arrive, for
// images that a DIB cannot hold (16 bits per sample): no page is held in memory.

#include <QString>
#include <QtGlobal>

#include "codec/tiffstream.h"

namespace XferDetail {

class TiffStripWriter : private codec::TiffStream
{
public:
    TiffStripWriter() = default;
    ~TiffStripWriter();
    TiffStripWriter(const TiffStripWriter&) = delete;
    TiffStripWriter& operator=(const TiffStripWriter&) = delete;

    // Starts a TIFF on the open, empty file descriptor nFd (not closed here).
    // nRows 0: the height is learnt from the rows written. bMinIsWhite: sample
    // 0 is white (a vanilla source). False with sWhy set when it cannot.
    bool open(int nFd, quint32 nWidth, quint32 nRows, quint16 nSamplesPerPixel, quint16 nBitsPerSample,
              bool bMinIsWhite, double dXDpi, double dYDpi, QString& sWhy);
    // Appends one row of rowBytes() bytes (samples in the host's byte order).
    bool writeRow(const void* pRow, QString& sWhy);
    // Writes what is left and closes the copy of the descriptor.
    bool close(QString& sWhy);

    bool isOpen() const { return m_pTiff != nullptr; }
    quint64 rowBytes() const { return m_nRowBytes; }
    quint32 rowsWritten() const { return m_nRowsWritten; }

private:
    // libtiff's file access, on the descriptor: every write is whole or says why.
    std::int64_t read(void* pBuf, std::size_t nSize) override;
    std::int64_t write(const void* pBuf, std::size_t nSize) override;
    std::int64_t seek(std::int64_t nOff, int nWhence) override;
    std::uint64_t size() override;

    int m_nFd = -1;
    // The system's error text of the first failed write.
    QString m_sOsError;
    void* m_pTiff = nullptr;
    quint64 m_nRowBytes = 0;
    quint32 m_nRowsWritten = 0;
};

} // namespace XferDetail

#endif
