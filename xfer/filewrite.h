#ifndef PELIRAND_XFER_FILEWRITE_H
#define PELIRAND_XFER_FILEWRITE_H

// Writes that say why they failed: the system's own error text ("No space
// left on device"), even where a write gets only part of its bytes through;
// and the few other calls on an open descriptor (QFile::handle()) that a
// transfer makes. Each system has its own implementation (filewrite_unix.cpp,
// filewrite_win.cpp); on Windows the descriptor's own file handle is used,
// always in binary.

#include <QString>
#include <QtGlobal>

namespace XferDetail {

// Writes all nBytes to the open descriptor nFd at its position (nOffset < 0)
// or at nOffset; false with sWhy set when any byte could not be written.
bool WriteAll(int nFd, const void* pData, qint64 nBytes, QString& sWhy, qint64 nOffset = -1);

// Reads at most nBytes at the position: the count read, -1 on an error.
qint64 ReadSome(int nFd, void* pData, qint64 nBytes);

// Moves the position as lseek() does (SEEK_SET, SEEK_CUR, SEEK_END): the new
// position, -1 on an error.
qint64 Seek(int nFd, qint64 nOffset, int nWhence);

// The file's size, 0 when it cannot be known.
qint64 SizeOf(int nFd);

} // namespace XferDetail

#endif
