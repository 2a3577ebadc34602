#include "xfer/filewrite.h"

#include <cerrno>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

namespace XferDetail {

bool WriteAll(int nFd, const void* pData, qint64 nBytes, QString& sWhy, qint64 nOffset)
{
    const char* p = static_cast<const char*>(pData);
    while (nBytes > 0) {
        // Chunks a 32-bit ssize_t can report.
        const size_t nChunk = size_t(qMin<qint64>(nBytes, 1 << 30));
        const ssize_t n = nOffset < 0 ? ::write(nFd, p, nChunk) : ::pwrite(nFd, p, nChunk, off_t(nOffset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            // A write that takes nothing without an error is a full device.
            sWhy = QString::fromLocal8Bit(std::strerror(n < 0 ? errno : ENOSPC));
            return false;
        }
        p += n;
        nBytes -= n;
        if (nOffset >= 0)
            nOffset += n;
    }
    return true;
}

} // namespace XferDetail

namespace XferDetail {

qint64 ReadSome(int nFd, void* pData, qint64 nBytes)
{
    const ssize_t n = ::read(nFd, pData, size_t(nBytes));
    return n < 0 ? -1 : qint64(n);
}

qint64 Seek(int nFd, qint64 nOffset, int nWhence)
{
    const off_t n = ::lseek(nFd, off_t(nOffset), nWhence);
    return n < 0 ? -1 : qint64(n);
}

qint64 SizeOf(int nFd)
{
    struct stat st;
    return ::fstat(nFd, &st) == 0 ? qint64(st.st_size) : 0;
}

} // namespace XferDetail
