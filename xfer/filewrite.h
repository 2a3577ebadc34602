#ifndef PELIRAND_XFER_FILEWRITE_H
#define PELIRAND_XFER_FILEWRITE_H

// Writes that say why they failed: the system's own error text ("No space
// left on device"), even where a write gets only part of its bytes through.

#include <QString>
#include <QtGlobal>

namespace XferDetail {

// Writes all nBytes to the open descriptor nFd at its position (nOffset < 0)
// or at nOffset; false with sWhy set when any byte could not be written.
bool WriteAll(int nFd, const void* pData, qint64 nBytes, QString& sWhy, qint64 nOffset = -1);

} // namespace XferDetail

#endif
