// The delivered file mapped, and the page calls around it, on POSIX systems.
#include "client/imagemapping_p.h"

#include <QFile>
#include <QFileInfo>

#include <vector>

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

namespace {

QString errnoText(int iError)
{
    return QString::fromLocal8Bit(std::strerror(iError));
}

// A file without a name in sFolder, open for reading and writing; -1 with sError.
int unnamedFile(const QString& sFolder, QString& sError)
{
    const QByteArray folder = QFile::encodeName(sFolder);
#ifdef O_TMPFILE
    const int fd = ::open(folder.constData(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0)
        return fd;
#endif
    // Systems and file systems without unnamed files: a name that is gone at once.
    QByteArray pattern = folder + "/.pelirand-page-XXXXXX";
    const int fdNamed = ::mkostemp(pattern.data(), O_CLOEXEC);
    if (fdNamed < 0) {
        sError = errnoText(errno);
        return -1;
    }
    ::unlink(pattern.constData());
    return fdNamed;
}

// Copies nSize bytes from the start of fdFrom to fdTo; the count copied
// (less when the file was cut short meanwhile), or -1 with sError.
qint64 copyFile(int fdFrom, int fdTo, qint64 nSize, QString& sError)
{
    qint64 nDone = 0;
    bool bKernelCopy = true;
    std::vector<char> buffer;
    while (nDone < nSize) {
        const size_t nWant = size_t(qMin<qint64>(nSize - nDone, qint64(1) << 30));
        ssize_t n = -1;
        if (bKernelCopy) {
            // Within the kernel, sharing the file system's blocks where it can.
            loff_t from = nDone, to = nDone;
            n = ::copy_file_range(fdFrom, &from, fdTo, &to, nWant, 0);
            if (n < 0 && (errno == ENOSYS || errno == EXDEV || errno == EINVAL || errno == EOPNOTSUPP ||
                          errno == EPERM)) {
                bKernelCopy = false;
                continue;
            }
        } else {
            buffer.resize(size_t(1) << 20);
            n = ::pread(fdFrom, buffer.data(), qMin(nWant, buffer.size()), nDone);
            if (n > 0) {
                for (ssize_t nWritten = 0; nWritten < n;) {
                    const ssize_t w = ::pwrite(fdTo, buffer.data() + nWritten, size_t(n - nWritten),
                                               nDone + nWritten);
                    if (w < 0 && errno == EINTR)
                        continue;
                    if (w <= 0) {
                        sError = errnoText(w < 0 ? errno : ENOSPC);
                        return -1;
                    }
                    nWritten += w;
                }
            }
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            sError = errnoText(errno);
            return -1;
        }
        if (n == 0)
            break; // cut short
        nDone += n;
    }
    return nDone;
}

} // namespace

std::shared_ptr<const ImageFileMapping> mapImageFile(const QString& sFileName, QString& sError)
{
    const int fd = ::open(QFile::encodeName(sFileName).constData(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        sError = errnoText(errno);
        return nullptr;
    }
    struct stat st;
    void* p = MAP_FAILED;
    int fdCopy = -1;
    if (::fstat(fd, &st) != 0) {
        sError = errnoText(errno);
    } else if (!S_ISREG(st.st_mode)) {
        sError = QStringLiteral("not a regular file");
    } else if (st.st_size == 0) {
        sError = QStringLiteral("empty");
    } else if (st.st_size > INT32_MAX) {
        // The bytes are handed out as a QByteArray.
        sError = QStringLiteral("too large to map");
    } else if ((fdCopy = unnamedFile(QFileInfo(sFileName).absolutePath(), sError)) >= 0) {
        const qint64 nCopied = copyFile(fd, fdCopy, qint64(st.st_size), sError);
        if (nCopied >= 0 && nCopied != qint64(st.st_size))
            sError = QStringLiteral("the file was cut short while it was taken over (%1 of %2 bytes)")
                         .arg(nCopied)
                         .arg(qint64(st.st_size));
        else if (nCopied == qint64(st.st_size) &&
                 (p = ::mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fdCopy, 0)) == MAP_FAILED)
            sError = errnoText(errno);
        ::close(fdCopy);
    }
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
