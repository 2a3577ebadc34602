#include "client/scan/scansignals.h"

#include <QSocketNotifier>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace pelirand {

namespace {

// The signals that end a scan in order: the batch is cancelled, the pages
// delivered so far are kept, nothing else is left behind.
const int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP};
// After the first signal the bridge has this long to end its batch before it
// is killed (the signal handler's alarm); the scan itself waits less.
constexpr unsigned kInterruptKillSeconds = 10;

int s_sigPipe[2] = {-1, -1};
volatile sig_atomic_t s_nSignals = 0;
volatile sig_atomic_t s_bridgePid = 0;

// A line on standard error from the handler itself (only write(2) may be used there), so that
// it shows even while the main thread waits inside a call: text, the signal's number, text.
void tell(const char* sBefore, int iSignal, const char* sAfter)
{
    char line[160];
    size_t n = 0;
    for (const char* p = sBefore; *p && n < sizeof line; ++p)
        line[n++] = *p;
    if (iSignal > 0) {
        char digits[8];
        int nDigits = 0;
        for (int v = iSignal; v > 0 && nDigits < 8; v /= 10)
            digits[nDigits++] = char('0' + v % 10);
        while (nDigits > 0 && n < sizeof line)
            line[n++] = digits[--nDigits];
    }
    for (const char* p = sAfter; *p && n < sizeof line; ++p)
        line[n++] = *p;
    const ssize_t written = ::write(STDERR_FILENO, line, n);
    (void)written;
}

extern "C" void onEndSignal(int iSignal)
{
    const int savedErrno = errno;
    if (iSignal == SIGALRM || ++s_nSignals > 1) {
        // A second signal, or the bound after the first: the bridge ends now;
        // the scan notices that it is gone and cleans up after it.
        if (s_bridgePid > 0) {
            if (iSignal == SIGALRM)
                tell("pelirand-scan: the scanner did not take the cancel in time, ending the bridge", 0, "\n");
            else
                tell("pelirand-scan: received signal ", iSignal, " again, ending the bridge at once\n");
            ::kill(pid_t(s_bridgePid), SIGKILL);
        }
    } else {
        tell("pelirand-scan: received signal ", iSignal,
             ", cancelling the scan (a second Ctrl-C ends it at once)\n");
        ::alarm(kInterruptKillSeconds);
    }
    if (iSignal != SIGALRM && s_sigPipe[1] >= 0) {
        const char c = char(iSignal);
        const ssize_t n = ::write(s_sigPipe[1], &c, 1);
        (void)n;
    }
    errno = savedErrno;
}

} // namespace

ScanSignals::ScanSignals(QObject* pParent) : QObject(pParent) {}

ScanSignals::~ScanSignals()
{
    remove();
}

bool ScanSignals::install()
{
    if (::pipe(s_sigPipe) != 0)
        return false;
    for (int fd : s_sigPipe) {
        ::fcntl(fd, F_SETFD, FD_CLOEXEC);
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    }
    m_pNotifier = new QSocketNotifier(s_sigPipe[0], QSocketNotifier::Read, this);
    connect(m_pNotifier, &QSocketNotifier::activated, this, &ScanSignals::on_readable);
    struct sigaction action;
    std::memset(&action, 0, sizeof(action));
    action.sa_handler = onEndSignal;
    sigemptyset(&action.sa_mask);
    // Blocking calls go on after the handler; the pipe wakes the event loop.
    action.sa_flags = SA_RESTART;
    for (int iSignal : kEndSignals)
        ::sigaction(iSignal, &action, nullptr);
    ::sigaction(SIGALRM, &action, nullptr);
    return true;
}

void ScanSignals::remove()
{
    if (s_sigPipe[0] < 0)
        return;
    ::alarm(0);
    s_bridgePid = 0;
    for (int iSignal : kEndSignals)
        std::signal(iSignal, SIG_DFL);
    std::signal(SIGALRM, SIG_DFL);
    delete m_pNotifier;
    m_pNotifier = nullptr;
    for (int& fd : s_sigPipe) {
        ::close(fd);
        fd = -1;
    }
}

void ScanSignals::setBridgeProcess(qint64 nPid)
{
    s_bridgePid = sig_atomic_t(nPid);
    if (nPid == 0)
        ::alarm(0);
}

int ScanSignals::count()
{
    return int(s_nSignals);
}

void ScanSignals::on_readable()
{
    char buffer[16];
    ssize_t n = 0;
    while ((n = ::read(s_sigPipe[0], buffer, sizeof(buffer))) > 0) {
        for (ssize_t i = 0; i < n; ++i)
            emit received(buffer[i]);
    }
}

} // namespace pelirand
