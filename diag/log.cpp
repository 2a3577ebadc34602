#include "diag/log.h"
#include "diag/log_p.h"
#include "diag/logfile_p.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QMutex>
#include <QtDebug>

#include <atomic>
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

void writeOrReport(const QByteArray& bytes)
{
    QString sError;
    if (!logfile::write(bytes, sError))
        qDebug("log file writing error: %s", qUtf8Printable(sError));
}

// Opens (creating on the first line of the run) the file; false when the line
// must not be written now.
bool openForLine(LogState& s, const QString& sPath, const QByteArray& line, QByteArray& out)
{
    // Checked again under the lock: a second creation would truncate the line of
    // a writer that created the file while this one waited.
    if (!s.bCreated.load(std::memory_order_relaxed)) {
        logfile::close();
        qDebug("creating log file: %s", qUtf8Printable(sPath));
        QString sError;
        if (!logfile::open(sPath, true, sError)) {
            qDebug("log file error: %s", qUtf8Printable(sError));
            return false;
        }
        out = (QDateTime::currentDateTime().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss.zzz")) +
               QStringLiteral("\r\n"))
                  .toUtf8();
        startClock(s);
        s.bCreated.store(true, std::memory_order_release);
        return true;
    }
    if (logfile::isOpenAt(sPath))
        return true;
    logfile::close();
    QString sError;
    if (!logfile::open(sPath, false, sError)) {
        if (s.sPending.isEmpty())
            s.sPending = line;
        else
            s.iSkipped.fetch_add(1);
        return false;
    }
    return true;
}

void writeLocked(LogState& s, const QByteArray& line)
{
    QByteArray out;
    if (!openForLine(s, logFilePath(), line, out))
        return;
    if (!s.sPending.isEmpty()) {
        out += s.sPending;
        s.sPending.clear();
    }
    const int iSkipped = s.iSkipped.exchange(0);
    if (iSkipped != 0)
        out += QByteArray::number(iSkipped) + QByteArrayLiteral(" entries skipped\r\n");
    if (out.isEmpty()) {
        writeOrReport(line);
        return;
    }
    out += line;
    writeOrReport(out);
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
    logfile::close();
}
