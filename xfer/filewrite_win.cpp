// The descriptor calls on Windows: straight on the descriptor's file handle,
// so no byte is ever translated and positioned writes leave the position alone.
#include "xfer/filewrite.h"

#include <windows.h>

#include "diag/syserror.h"

#include <io.h>

#include <cstdio>

namespace XferDetail {
namespace {

HANDLE fileHandle(int nFd)
{
    return reinterpret_cast<HANDLE>(::_get_osfhandle(nFd));
}


} // namespace

bool WriteAll(int nFd, const void* pData, qint64 nBytes, QString& sWhy, qint64 nOffset)
{
    const HANDLE h = fileHandle(nFd);
    if (h == INVALID_HANDLE_VALUE) {
        sWhy = QStringLiteral("not an open file");
        return false;
    }
    const char* p = static_cast<const char*>(pData);
    while (nBytes > 0) {
        const DWORD nChunk = DWORD(qMin<qint64>(nBytes, 1 << 30));
        DWORD nWritten = 0;
        BOOL bOk;
        if (nOffset < 0) {
            bOk = WriteFile(h, p, nChunk, &nWritten, nullptr);
        } else {
            // A positioned write; the handle is synchronous, so this returns
            // when done (and moves the position, which no caller relies on).
            OVERLAPPED at = {};
            at.Offset = DWORD(quint64(nOffset) & 0xFFFFFFFFu);
            at.OffsetHigh = DWORD(quint64(nOffset) >> 32);
            bOk = WriteFile(h, p, nChunk, &nWritten, &at);
        }
        if (!bOk) {
            sWhy = windowsErrorText(GetLastError());
            return false;
        }
        if (nWritten == 0) {
            // A write that takes nothing without an error is a full device.
            sWhy = QStringLiteral("There is not enough space on the disk.");
            return false;
        }
        p += nWritten;
        nBytes -= nWritten;
        if (nOffset >= 0)
            nOffset += nWritten;
    }
    return true;
}

qint64 ReadSome(int nFd, void* pData, qint64 nBytes)
{
    DWORD nRead = 0;
    if (!ReadFile(fileHandle(nFd), pData, DWORD(qMin<qint64>(nBytes, 1 << 30)), &nRead, nullptr))
        return -1;
    return qint64(nRead);
}

qint64 Seek(int nFd, qint64 nOffset, int nWhence)
{
    const DWORD dwMethod = nWhence == SEEK_CUR ? FILE_CURRENT : nWhence == SEEK_END ? FILE_END : FILE_BEGIN;
    LARGE_INTEGER distance;
    distance.QuadPart = nOffset;
    LARGE_INTEGER now;
    if (!SetFilePointerEx(fileHandle(nFd), distance, &now, dwMethod))
        return -1;
    return qint64(now.QuadPart);
}

qint64 SizeOf(int nFd)
{
    LARGE_INTEGER size;
    return GetFileSizeEx(fileHandle(nFd), &size) ? qint64(size.QuadPart) : 0;
}

} // namespace XferDetail
