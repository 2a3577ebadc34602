#include "diag/log.h"
#include "diag/log_p.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QtDebug>

#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {

const int kMessageBufferSize = 5000;
const int kHexDumpBufferSize = 1024;
// Bytes are appended only while the text is shorter than this, so that one more
// group (" xx"), the closing "}" and the terminating zero always fit.
const int kHexDumpBytesLimit = 1020;
const int kDefaultLockWaitMs = 5000;

struct LogState
{
    QMutex mutex; // serialises writers; guards the open file and sPending
    std::atomic<bool> bCreated{false};
    QByteArray sPending; // UTF-8, as written
    // Also counted by writers that gave up on the lock, hence atomic.
    std::atomic<int> iSkipped{0};
    // Only the low 32 bits of the elapsed time are printed, so only those of the
    // start are kept: unsigned subtraction wraps to the right value.
    std::atomic<bool> bClockStarted{false};
    std::atomic<quint32> uiClockStart{0};
    std::atomic<LogClockFn> fnClock{nullptr};
    std::atomic<int> iLockWaitMs{kDefaultLockWaitMs};
};

// Never destroyed, so that messages logged during process exit still work.
LogState& logState()
{
    static LogState* s_pState = new LogState;
    return *s_pState;
}

qint64 monotonicMs()
{
    QElapsedTimer timer;
    timer.start();
    return timer.msecsSinceReference();
}

qint64 nowMs()
{
    const LogClockFn fnClock = logState().fnClock.load();
    return fnClock ? fnClock() : monotonicMs();
}

// Lines formatted before the file exists in this run print 0: the clock starts
// only when the file is created, which is also when the first line is written.
quint32 elapsedMs()
{
    const LogState& s = logState();
    if (!s.bClockStarted.load(std::memory_order_acquire))
        return 0;
    return static_cast<quint32>(nowMs()) - s.uiClockStart.load(std::memory_order_relaxed);
}

void startClock(LogState& s)
{
    s.uiClockStart.store(static_cast<quint32>(nowMs()), std::memory_order_relaxed);
    s.bClockStarted.store(true, std::memory_order_release);
}

QString logFilePath()
{
    return g_pLogFilePath ? *g_pLogFilePath : QString();
}

// The file stays open between lines; each line is one write() with O_APPEND, so
// the file on disk is complete after every line without opening it each time.
struct OpenLog
{
    int fd = -1;
    QString sPath; // the path fd was opened under
    QByteArray encodedPath;
    dev_t device = 0;
    ino_t inode = 0;
    // The kernel reports a move, removal or link-count change of the open file
    // here, so that a line needs no look-up of the path to know it is still
    // the right file. -1 where inotify is not available: then every line
    // compares the path's file with the open one.
    int iNotify = -1;
    int iWatch = -1;
};

OpenLog& openLog()
{
    static OpenLog* s_pOpen = new OpenLog;
    return *s_pOpen;
}

void closeLog(OpenLog& o)
{
    if (o.iWatch >= 0)
        ::inotify_rm_watch(o.iNotify, o.iWatch);
    o.iWatch = -1;
    if (o.fd >= 0)
        ::close(o.fd);
    o.fd = -1;
    o.sPath.clear();
}

// True when the watch has reported something since the last call; reads the
// reports so that the next call starts afresh.
bool drainNotifications(const OpenLog& o)
{
    int nPending = 0;
    if (::ioctl(o.iNotify, FIONREAD, &nPending) != 0)
        return true;
    if (nPending <= 0)
        return false;
    char acEvents[4096];
    while (::read(o.iNotify, acEvents, sizeof acEvents) > 0) {
    }
    return true;
}

// The log names every scanned file: only its owner may read it. The path may be
// a symlink or a FIFO placed by someone else: neither is followed nor waited on,
// only a regular file is written to. Returns the open descriptor or -1 with
// sError set.
int openRegular(const QString& sPath, bool bCreate, QString& sError)
{
    const QByteArray path = QFile::encodeName(sPath);
    int iFlags = O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK;
    if (bCreate)
        iFlags |= O_CREAT;
    int fd;
    do {
        fd = ::open(path.constData(), iFlags, 0600);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        sError = errno == ELOOP
                     ? QStringLiteral("%1 is a symbolic link, not followed").arg(sPath)
                     : QStringLiteral("%1: %2").arg(sPath, QString::fromLocal8Bit(std::strerror(errno)));
        return -1;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        sError = QStringLiteral("%1 is not a regular file, nothing written to it").arg(sPath);
        return -1;
    }
    return fd;
}

void keepOpen(OpenLog& o, int fd, const QString& sPath)
{
    struct stat st;
    o.fd = fd;
    o.sPath = sPath;
    o.encodedPath = QFile::encodeName(sPath);
    o.device = 0;
    o.inode = 0;
    if (::fstat(fd, &st) == 0) {
        o.device = st.st_dev;
        o.inode = st.st_ino;
    }
    if (o.iNotify < 0)
        o.iNotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (o.iNotify >= 0) {
        o.iWatch = ::inotify_add_watch(o.iNotify, o.encodedPath.constData(),
                                       IN_MOVE_SELF | IN_DELETE_SELF | IN_ATTRIB | IN_DONT_FOLLOW);
        // Reports about an earlier file must not count for this one.
        drainNotifications(o);
        // A file swapped in between the open and the watch: the watch is on
        // that one, so the path is compared on every line instead.
        struct stat now;
        if (o.iWatch >= 0 && (::lstat(o.encodedPath.constData(), &now) != 0 || now.st_dev != o.device ||
                              now.st_ino != o.inode)) {
            ::inotify_rm_watch(o.iNotify, o.iWatch);
            o.iWatch = -1;
        }
    }
}

// True while the path still names the open file: a log rotated, removed or
// replaced meanwhile is opened afresh, so each line lands where the path points.
bool stillThere(const OpenLog& o, const QString& sPath)
{
    if (o.fd < 0 || o.sPath != sPath)
        return false;
    if (o.iWatch >= 0 && !drainNotifications(o))
        return true;
    struct stat st;
    if (::lstat(o.encodedPath.constData(), &st) != 0)
        return false;
    return st.st_dev == o.device && st.st_ino == o.inode;
}

// All bytes of one line in one write(); short writes are continued.
bool writeAllBytes(int fd, const QByteArray& bytes, int& iErrno);

void writeOrReport(int fd, const QByteArray& bytes)
{
    int iErrno = 0;
    if (!writeAllBytes(fd, bytes, iErrno))
        qDebug("log file writing error: %s", std::strerror(iErrno));
}

// All bytes of one line in one write(); short writes are continued.
bool writeAllBytes(int fd, const QByteArray& bytes, int& iErrno)
{
    const char* p = bytes.constData();
    qint64 nLeft = bytes.size();
    while (nLeft > 0) {
        const ssize_t n = ::write(fd, p, size_t(nLeft));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            iErrno = n < 0 ? errno : EIO;
            return false;
        }
        p += n;
        nLeft -= n;
    }
    return true;
}

// Opens (creating on the first line of the run) the file; false when the line
// must not be written now.
bool openForLine(LogState& s, OpenLog& o, const QString& sPath, const QByteArray& line, QByteArray& out)
{
    // Checked again under the lock: a second creation would truncate the line of
    // a writer that created the file while this one waited.
    if (!s.bCreated.load(std::memory_order_relaxed)) {
        closeLog(o);
        qDebug("creating log file: %s", qUtf8Printable(sPath));
        QString sError;
        const int fd = openRegular(sPath, true, sError);
        // Truncated only once it is known to be a regular file; owner-only even
        // when an earlier run left it readable by others.
        if (fd >= 0 && (::ftruncate(fd, 0) != 0 || ::fchmod(fd, 0600) != 0)) {
            sError = QStringLiteral("%1: %2").arg(sPath, QString::fromLocal8Bit(std::strerror(errno)));
            ::close(fd);
            qDebug("log file error: %s", qUtf8Printable(sError));
            return false;
        }
        if (fd < 0) {
            qDebug("log file error: %s", qUtf8Printable(sError));
            return false;
        }
        keepOpen(o, fd, sPath);
        out = (QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) +
               QStringLiteral("\r\n"))
                  .toUtf8();
        startClock(s);
        s.bCreated.store(true, std::memory_order_release);
        return true;
    }
    if (stillThere(o, sPath))
        return true;
    closeLog(o);
    QString sError;
    const int fd = openRegular(sPath, true, sError);
    if (fd < 0) {
        if (s.sPending.isEmpty())
            s.sPending = line;
        else
            s.iSkipped.fetch_add(1);
        return false;
    }
    keepOpen(o, fd, sPath);
    return true;
}

void writeLocked(LogState& s, const QByteArray& line)
{
    OpenLog& o = openLog();
    QByteArray out;
    if (!openForLine(s, o, logFilePath(), line, out))
        return;
    if (!s.sPending.isEmpty()) {
        out += s.sPending;
        s.sPending.clear();
    }
    const int iSkipped = s.iSkipped.exchange(0);
    if (iSkipped != 0)
        out += QByteArray::number(iSkipped) + QByteArrayLiteral(" entries skipped\r\n");
    if (out.isEmpty()) {
        writeOrReport(o.fd, line);
        return;
    }
    out += line;
    writeOrReport(o.fd, out);
}

void writeLine(const QByteArray& line)
{
    LogState& s = logState();
    if (s.bCreated.load(std::memory_order_acquire)) {
        if (!s.mutex.tryLock(s.iLockWaitMs.load(std::memory_order_relaxed))) {
            s.iSkipped.fetch_add(1);
            return;
        }
    } else {
        s.mutex.lock();
    }
    writeLocked(s, line);
    s.mutex.unlock();
}

bool isAscii(const char* p)
{
    for (; *p; ++p) {
        if (static_cast<unsigned char>(*p) >= 0x80)
            return false;
    }
    return true;
}

void logMessage(const char* pText)
{
    char acPrefix[32];
    const int nPrefix =
        std::snprintf(acPrefix, sizeof acPrefix, "(%06u): ", static_cast<unsigned>(elapsedMs()));
    QByteArray line;
    if (pText && !isAscii(pText)) {
        // Through QString, so that bytes that are no UTF-8 end up as they always did.
        line = QByteArray(acPrefix, nPrefix) + QString::fromUtf8(pText).toUtf8();
    } else {
        const int nText = pText ? int(std::strlen(pText)) : 0;
        line.reserve(nPrefix + nText + 2);
        line.append(acPrefix, nPrefix);
        line.append(pText, nText);
    }
    line.append("\r\n", 2);
    writeLine(line);
}

} // namespace

// The default lives as long as the process and is nobody's to free.
static QString s_sDefaultLogFilePath(QStringLiteral("c:\\program.log"));
QString* g_pLogFilePath = &s_sDefaultLogFilePath;

void logWriteLine(const QString& line)
{
    writeLine(line.toUtf8());
}

void logPrintf(const char* format, ...)
{
    if (!format) {
        logMessage(nullptr);
        return;
    }
    char acBuffer[kMessageBufferSize];
    va_list args;
    va_start(args, format);
    // Longer messages are cut at 4999 bytes.
    const int iLen = std::vsnprintf(acBuffer, sizeof acBuffer, format, args);
    va_end(args);
    if (iLen < 0)
        acBuffer[0] = '\0';
    logMessage(acBuffer);
}

void logHexDump(const void* data, int count, const char* format, ...)
{
    char acBuffer[kHexDumpBufferSize];
    int iPos = 0;
    if (format) {
        va_list args;
        va_start(args, format);
        // Cut short enough that "  {" and "}" still fit.
        const int iLen = std::vsnprintf(acBuffer, kHexDumpBytesLimit, format, args);
        va_end(args);
        iPos = iLen < 0 ? 0 : qMin(iLen, kHexDumpBytesLimit - 1);
    }
    std::memcpy(acBuffer + iPos, "  {", 3);
    iPos += 3;

    static const char acHexDigits[] = "0123456789abcdef";
    const unsigned char* pBytes = static_cast<const unsigned char*>(data);
    for (int i = 0; pBytes && i < count && iPos < kHexDumpBytesLimit; ++i) {
        if (i > 0 && i % 4 == 0)
            acBuffer[iPos++] = ' ';
        acBuffer[iPos++] = acHexDigits[pBytes[i] >> 4];
        acBuffer[iPos++] = acHexDigits[pBytes[i] & 0x0f];
    }
    acBuffer[iPos++] = '}';
    acBuffer[iPos] = '\0';
    // Passed as text, never as a format: the message may contain '%'.
    logMessage(acBuffer);
}

void logTestSetClock(LogClockFn fnClock)
{
    logState().fnClock.store(fnClock);
}

void logTestSetLockWait(int iMs)
{
    logState().iLockWaitMs.store(iMs < 0 ? kDefaultLockWaitMs : iMs);
}

QMutex& logTestLock()
{
    return logState().mutex;
}

void logTestReset()
{
    LogState& s = logState();
    QMutexLocker locker(&s.mutex);
    s.bCreated.store(false);
    s.sPending.clear();
    s.iSkipped.store(0);
    s.bClockStarted.store(false);
    s.uiClockStart.store(0);
    closeLog(openLog());
}
