// pelirand-scan on Windows: Ctrl-C, Ctrl-Break and the console's close end a
// scan in order. The console calls the handler on a thread of its own; the
// request is handed to the event loop. They count as SIGINT (Ctrl-C and
// Ctrl-Break) and SIGHUP (close, log-off, shut-down), so that the exit status
// is the one the POSIX build gives.
#include "client/scancommand.h"
#include "client/scansignals_p.h"

#include <QMetaObject>
#include <QPointer>

#include <windows.h>

#include <atomic>
#include <io.h>

namespace pelirand {

namespace {

constexpr int kInterrupt = 2; // SIGINT's number
constexpr int kHangUp = 1;    // SIGHUP's number
// After the first request the bridge has this long to end its batch before it
// is ended; the scan itself waits less.
constexpr DWORD kInterruptKillMs = 10000;

std::atomic<ScanCommand*> s_pCommand{nullptr};
std::atomic<int> s_nRequests{0};
std::atomic<DWORD> s_bridgePid{0};
HANDLE s_hKillTimer = nullptr;

void endBridgeNow()
{
    const DWORD dwPid = s_bridgePid.load();
    if (dwPid == 0)
        return;
    if (const HANDLE hProcess = OpenProcess(PROCESS_TERMINATE, FALSE, dwPid)) {
        TerminateProcess(hProcess, 1);
        CloseHandle(hProcess);
    }
}

VOID CALLBACK onKillTimer(PVOID, BOOLEAN)
{
    endBridgeNow();
}

BOOL WINAPI onConsoleEvent(DWORD dwEvent)
{
    const int iSignal = dwEvent == CTRL_C_EVENT || dwEvent == CTRL_BREAK_EVENT ? kInterrupt : kHangUp;
    if (++s_nRequests > 1) {
        // A second request: the bridge ends now; the scan notices that it is
        // gone and cleans up after it.
        endBridgeNow();
    } else if (!s_hKillTimer) {
        CreateTimerQueueTimer(&s_hKillTimer, nullptr, onKillTimer, nullptr, kInterruptKillMs, 0,
                              WT_EXECUTEONLYONCE);
    }
    if (ScanCommand* pCommand = s_pCommand.load()) {
        QMetaObject::invokeMethod(
            pCommand, [pCommand, iSignal] { pCommand->endRequested(iSignal); }, Qt::QueuedConnection);
    }
    // The close events end the process once the handler returns: the scan
    // gets the time the system gives it.
    if (dwEvent == CTRL_CLOSE_EVENT || dwEvent == CTRL_LOGOFF_EVENT || dwEvent == CTRL_SHUTDOWN_EVENT)
        Sleep(kInterruptKillMs / 2);
    return TRUE;
}

void stopKillTimer()
{
    if (s_hKillTimer) {
        DeleteTimerQueueTimer(nullptr, s_hKillTimer, INVALID_HANDLE_VALUE);
        s_hKillTimer = nullptr;
    }
}

} // namespace

bool ScanCommand::installSignalHandlers()
{
    s_pCommand.store(this);
    s_nRequests.store(0);
    return SetConsoleCtrlHandler(onConsoleEvent, TRUE) != FALSE;
}

void ScanCommand::removeSignalHandlers()
{
    if (s_pCommand.load() != this)
        return;
    SetConsoleCtrlHandler(onConsoleEvent, FALSE);
    s_pCommand.store(nullptr);
    s_bridgePid.store(0);
    stopKillTimer();
}

// Requests come through endRequested() directly.
void ScanCommand::on_signal() {}

void watchBridgeForEndRequests(qint64 iPid)
{
    s_bridgePid.store(DWORD(iPid));
    if (iPid == 0)
        stopKillTimer();
}

const char* endRequestName(int iSignal)
{
    return iSignal == kInterrupt ? "Interrupt" : "Hangup";
}

QString copyFileToStdout(QFile& file)
{
    QString sError;
    std::fflush(stdout);
    const HANDLE hOut = GetStdHandle(STD_OUTPUT_HANDLE);
    while (sError.isEmpty() && !file.atEnd()) {
        const QByteArray chunk = file.read(1 << 20);
        if (chunk.isEmpty()) {
            sError = file.errorString();
            break;
        }
        for (qint64 nDone = 0; nDone < chunk.size();) {
            DWORD nWritten = 0;
            if (!WriteFile(hOut, chunk.constData() + nDone, DWORD(chunk.size() - nDone), &nWritten, nullptr) ||
                nWritten == 0) {
                sError = GetLastError() == ERROR_NO_DATA || GetLastError() == ERROR_BROKEN_PIPE
                             ? QStringLiteral("Broken pipe")
                             : QStringLiteral("error %1").arg(GetLastError());
                break;
            }
            nDone += nWritten;
        }
    }
    return sError;
}

bool isTerminal(std::FILE* pStream)
{
    return _isatty(_fileno(pStream)) != 0;
}

} // namespace pelirand
