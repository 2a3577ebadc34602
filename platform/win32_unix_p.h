// Shared between the *_unix.cpp files of the platform library; not installed,
// not for callers of win32.h.

#ifndef PELIRAND_PLATFORM_WIN32_UNIX_P_H
#define PELIRAND_PLATFORM_WIN32_UNIX_P_H

#include "platform/win32.h"

#include <vector>

namespace pelirand::platform {

// The calling thread's id as GetCurrentThreadId answers it (cached per thread).
DWORD currentThreadId();

// Marks the calling thread as one that has windows or a message queue, so that
// its windows and queue go away when it ends, as Windows does.
void attachThread();

// Window table, for the message queues.
struct WindowTarget
{
    DWORD dwThreadId = 0;
    WNDPROC pfnProc = nullptr;
};
bool findWindow(HWND hWnd, WindowTarget* pTarget);
void destroyThreadWindows(DWORD dwThreadId);

// Message queues, for the window table.
void flushWindowMessages(const std::vector<HWND>& lstWindows);

} // namespace pelirand::platform

#endif // PELIRAND_PLATFORM_WIN32_UNIX_P_H
