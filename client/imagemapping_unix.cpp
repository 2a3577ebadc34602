// The delivered file mapped, and the page calls around it, on POSIX systems.
#include "client/imagemapping_p.h"

#include <QFile>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace pelirand {

ImageFileMapping::~ImageFileMapping()
{
    ::munmap(const_cast<char*>(m_p), size_t(m_nSize));
}

void ImageFileMapping::release(const char* p, qint64 nBytes) const
{
    const long nPageSize = ::sysconf(_SC_PAGESIZE);
    if (nPageSize <= 0 || p < m_p || nBytes <= 0 || p + nBytes > m_p + m_nSize)
        return;
    const quintptr nMask = quintptr(nPageSize) - 1;
    const quintptr nFrom = quintptr(p) & ~nMask;
    const quintptr nTo = (quintptr(p) + quintptr(nBytes) + nMask) & ~nMask;
    // Unmodified pages of a private, read-only file mapping.
    ::madvise(reinterpret_cast<void*>(nFrom), size_t(nTo - nFrom), MADV_DONTNEED);
}

std::shared_ptr<const ImageFileMapping> mapImageFile(const QString& sFileName, QString& sError)
{
    const int fd = ::open(QFile::encodeName(sFileName).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        sError = QString::fromLocal8Bit(std::strerror(errno));
        return nullptr;
    }
    struct stat st;
    void* p = MAP_FAILED;
    if (::fstat(fd, &st) != 0)
        sError = QString::fromLocal8Bit(std::strerror(errno));
    else if (!S_ISREG(st.st_mode))
        sError = QStringLiteral("not a regular file");
    else if (st.st_size == 0)
        sError = QStringLiteral("empty");
    // The bytes are handed out as a QByteArray.
    else if (st.st_size > INT32_MAX)
        sError = QStringLiteral("too large to map");
    else if ((p = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0)) == MAP_FAILED)
        sError = QString::fromLocal8Bit(std::strerror(errno));
    ::close(fd);
    if (p == MAP_FAILED)
        return nullptr;
    return std::make_shared<const ImageFileMapping>(static_cast<const char*>(p), qint64(st.st_size));
}

long memoryPageSize()
{
    const long nPageSize = ::sysconf(_SC_PAGESIZE);
    return nPageSize > 0 ? nPageSize : 0;
}

void dropMappedPages(quintptr nFrom, quintptr nTo)
{
    // Unmodified pages of a private file mapping: read again from the file if needed.
    ::madvise(reinterpret_cast<void*>(nFrom), size_t(nTo - nFrom), MADV_DONTNEED);
}

qint64 writeSome(QFileDevice& file, const char* p, qint64 nBytes, QString& sWhy)
{
    for (;;) {
        const ssize_t n = ::write(file.handle(), p, size_t(nBytes));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            sWhy = QString::fromLocal8Bit(std::strerror(n < 0 ? errno : ENOSPC));
            return 0;
        }
        return qint64(n);
    }
}

} // namespace pelirand
