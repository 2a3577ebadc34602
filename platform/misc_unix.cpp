// Time, process and thread ids, the per-thread error code.

#include "platform/win32.h"
#include "platform/win32_unix_p.h"

#include <sched.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>

namespace {

thread_local DWORD t_dwLastError = 0;

uint64_t millisecondsSinceBoot()
{
    timespec ts{};
#ifdef CLOCK_BOOTTIME
    if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0)
#endif
        clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000u + uint64_t(ts.tv_nsec) / 1000000u;
}

} // namespace

namespace pelirand::platform {

DWORD currentThreadId()
{
    thread_local const DWORD t_dwId = DWORD(syscall(SYS_gettid));
    return t_dwId;
}

} // namespace pelirand::platform

extern "C" {

DWORD WINAPI GetTickCount(void)
{
    return DWORD(millisecondsSinceBoot()); // wraps after 49.7 days, as on Windows
}

ULONGLONG WINAPI GetTickCount64(void)
{
    return millisecondsSinceBoot();
}

DWORD WINAPI GetCurrentProcessId(void)
{
    return DWORD(getpid());
}

DWORD WINAPI GetCurrentThreadId(void)
{
    return pelirand::platform::currentThreadId();
}

void WINAPI Sleep(DWORD dwMilliseconds)
{
    if (dwMilliseconds == 0) {
        sched_yield();
        return;
    }
    if (dwMilliseconds == INFINITE) {
        for (;;)
            pause();
    }
    timespec ts{time_t(dwMilliseconds / 1000), long(dwMilliseconds % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

DWORD WINAPI GetLastError(void)
{
    return t_dwLastError;
}

void WINAPI SetLastError(DWORD dwErrCode)
{
    t_dwLastError = dwErrCode;
}

} // extern "C"
