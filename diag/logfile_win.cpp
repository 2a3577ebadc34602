// The log file on Windows: a handle opened for appending that others may read,
// rename and delete (so the log can be rotated while open), and the file's
// identity compared with the path's on every line to notice a rotation.
#include "diag/logfile_p.h"

#include <windows.h>

#include "diag/syserror.h"

#include <string>

namespace {

struct OpenLog
{
    HANDLE hFile = INVALID_HANDLE_VALUE;
    QString sPath;
    DWORD dwVolume = 0;
    DWORD dwIndexHigh = 0;
    DWORD dwIndexLow = 0;
};

// Never destroyed, so that messages logged during process exit still work.
OpenLog& openLog()
{
    static OpenLog* s_pOpen = new OpenLog;
    return *s_pOpen;
}


std::wstring nativePath(const QString& sPath)
{
    return QString(sPath).replace(QLatin1Char('/'), QLatin1Char('\\')).toStdWString();
}

// The path's own file, never the target of a link; INVALID_HANDLE_VALUE when
// there is none.
HANDLE openPath(const QString& sPath, DWORD dwAccess, DWORD dwDisposition)
{
    return CreateFileW(nativePath(sPath).c_str(), dwAccess,
                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, dwDisposition,
                       FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
}

} // namespace

namespace logfile {

bool open(const QString& sPath, bool bFresh, QString& sError)
{
    close();
    const HANDLE h = openPath(sPath, FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | (bFresh ? GENERIC_WRITE : 0),
                              OPEN_ALWAYS);
    if (h == INVALID_HANDLE_VALUE) {
        sError = QStringLiteral("%1: %2").arg(sPath, windowsErrorText(GetLastError()));
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info;
    if (!GetFileInformationByHandle(h, &info) || GetFileType(h) != FILE_TYPE_DISK ||
        (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT))) {
        const bool bLink = info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT;
        CloseHandle(h);
        sError = bLink ? QStringLiteral("%1 is a symbolic link, not followed").arg(sPath)
                       : QStringLiteral("%1 is not a regular file, nothing written to it").arg(sPath);
        return false;
    }
    if (bFresh) {
        // The folder's permissions decide who may read it; only its length is reset.
        if (SetFilePointer(h, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER || !SetEndOfFile(h)) {
            sError = QStringLiteral("%1: %2").arg(sPath, windowsErrorText(GetLastError()));
            CloseHandle(h);
            return false;
        }
    }
    OpenLog& o = openLog();
    o.hFile = h;
    o.sPath = sPath;
    o.dwVolume = info.dwVolumeSerialNumber;
    o.dwIndexHigh = info.nFileIndexHigh;
    o.dwIndexLow = info.nFileIndexLow;
    return true;
}

bool isOpenAt(const QString& sPath)
{
    const OpenLog& o = openLog();
    if (o.hFile == INVALID_HANDLE_VALUE || o.sPath != sPath)
        return false;
    const HANDLE h = openPath(sPath, FILE_READ_ATTRIBUTES, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    BY_HANDLE_FILE_INFORMATION info;
    const bool bSame = GetFileInformationByHandle(h, &info) && info.dwVolumeSerialNumber == o.dwVolume &&
                       info.nFileIndexHigh == o.dwIndexHigh && info.nFileIndexLow == o.dwIndexLow;
    CloseHandle(h);
    return bSame;
}

void close()
{
    OpenLog& o = openLog();
    if (o.hFile != INVALID_HANDLE_VALUE)
        CloseHandle(o.hFile);
    o.hFile = INVALID_HANDLE_VALUE;
    o.sPath.clear();
}

bool write(const QByteArray& bytes, QString& sError)
{
    const OpenLog& o = openLog();
    const char* p = bytes.constData();
    qint64 nLeft = bytes.size();
    while (nLeft > 0) {
        // At the end of the file whatever the handle's position, as with O_APPEND.
        OVERLAPPED at = {};
        at.Offset = 0xFFFFFFFF;
        at.OffsetHigh = 0xFFFFFFFF;
        DWORD nWritten = 0;
        if (!WriteFile(o.hFile, p, DWORD(nLeft), &nWritten, &at) || nWritten == 0) {
            sError = windowsErrorText(GetLastError());
            return false;
        }
        p += nWritten;
        nLeft -= nWritten;
    }
    return true;
}

} // namespace logfile
