// The delivered file mapped, and the page calls around it, on Windows.
#include "client/imagemapping_p.h"

#include <windows.h>

#include "diag/syserror.h"

#include <cstdint>

namespace pelirand {

ImageFileMapping::~ImageFileMapping()
{
    UnmapViewOfFile(m_p);
    CloseHandle(static_cast<HANDLE>(m_hHeld));
}

void ImageFileMapping::release(const char* p, qint64 nBytes) const
{
    const long nPageSize = memoryPageSize();
    if (nPageSize <= 0 || p < m_p || nBytes <= 0 || p + nBytes > m_p + m_nSize)
        return;
    const quintptr nMask = quintptr(nPageSize) - 1;
    dropMappedPages(quintptr(p) & ~nMask, (quintptr(p) + quintptr(nBytes) + nMask) & ~nMask);
}

std::shared_ptr<const ImageFileMapping> mapImageFile(const QString& sFileName, QString& sError)
{
    // Others may remove the file meanwhile (the view keeps its bytes), but
    // none may write it while this handle lives: it is held with the view.
    const HANDLE hFile = CreateFileW(reinterpret_cast<const wchar_t*>(QString(sFileName).replace('/', '\\').utf16()),
                                     GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
    if (hFile == INVALID_HANDLE_VALUE) {
        sError = windowsErrorText(GetLastError());
        return nullptr;
    }
    LARGE_INTEGER size;
    const void* p = nullptr;
    if (!GetFileSizeEx(hFile, &size)) {
        sError = windowsErrorText(GetLastError());
    } else if (GetFileType(hFile) != FILE_TYPE_DISK) {
        sError = QStringLiteral("not a regular file");
    } else if (size.QuadPart == 0) {
        sError = QStringLiteral("empty");
    } else if (size.QuadPart > INT32_MAX) {
        // The bytes are handed out as a QByteArray.
        sError = QStringLiteral("too large to map");
    } else {
        const HANDLE hMapping = CreateFileMappingW(hFile, nullptr, PAGE_READONLY, 0, 0, nullptr);
        if (hMapping) {
            // The view keeps the mapping alive on its own.
            p = MapViewOfFile(hMapping, FILE_MAP_READ, 0, 0, 0);
            if (!p)
                sError = windowsErrorText(GetLastError());
            CloseHandle(hMapping);
        } else {
            sError = windowsErrorText(GetLastError());
        }
    }
    if (!p) {
        CloseHandle(hFile);
        return nullptr;
    }
    return std::make_shared<const ImageFileMapping>(static_cast<const char*>(p), qint64(size.QuadPart), hFile);
}

long memoryPageSize()
{
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    return long(info.dwPageSize);
}

void dropMappedPages(quintptr nFrom, quintptr nTo)
{
    // Unlocking pages that are not locked takes them out of the working set;
    // the file keeps their bytes.
    VirtualUnlock(reinterpret_cast<void*>(nFrom), SIZE_T(nTo - nFrom));
}

qint64 writeSome(QFileDevice& file, const char* p, qint64 nBytes, QString& sWhy)
{
    const qint64 n = file.write(p, nBytes);
    if (n <= 0) {
        sWhy = n < 0 ? file.errorString() : QStringLiteral("There is not enough space on the disk.");
        return 0;
    }
    return n;
}

} // namespace pelirand
