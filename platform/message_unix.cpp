// Messages: one queue per thread, the host's pump hook, posting and dispatch.

#include "platform/win32.h"
#include "platform/win32_unix_p.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <unordered_map>
#include <unordered_set>

namespace {

using pelirand::platform::currentThreadId;

// While a pump hook is installed GetMessageW cannot sleep until a message
// arrives: the host's events do not wake it. It runs the hook this often.
constexpr auto kPumpInterval = std::chrono::milliseconds(5);

struct Queue
{
    std::deque<MSG> lstMessages;
    bool bQuit = false;
    int nQuitCode = 0;
};

class MessageTable
{
public:
    static MessageTable& instance()
    {
        static MessageTable* s_pTable = new MessageTable; // never destroyed, see memory_unix.cpp
        return *s_pTable;
    }

    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::unordered_map<DWORD, Queue> m_queues;

    PELIRAND_PUMP_HOOK m_pfnPump = nullptr;
    void* m_pPumpContext = nullptr;
    DWORD m_dwPumpThread = 0;

    PELIRAND_POST_NOTIFY m_pfnNotify = nullptr;
    void* m_pNotifyContext = nullptr;
    DWORD m_dwNotifyThread = 0;
};

// Ends with the thread: its queue, its hooks and its windows go away.
struct ThreadGuard
{
    DWORD dwThreadId;
    ~ThreadGuard()
    {
        MessageTable& table = MessageTable::instance();
        {
            std::lock_guard<std::mutex> lock(table.m_mutex);
            table.m_queues.erase(dwThreadId);
            if (table.m_dwPumpThread == dwThreadId) {
                table.m_pfnPump = nullptr;
                table.m_dwPumpThread = 0;
            }
            if (table.m_dwNotifyThread == dwThreadId) {
                table.m_pfnNotify = nullptr;
                table.m_dwNotifyThread = 0;
            }
        }
        pelirand::platform::destroyThreadWindows(dwThreadId);
    }
};

thread_local bool t_bInPump = false;

const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(intptr_t(-1));

bool matches(const MSG& msg, HWND hWnd, UINT uMin, UINT uMax)
{
    if (hWnd == kThreadMessagesOnly) {
        if (msg.hwnd)
            return false;
    } else if (hWnd && msg.hwnd != hWnd) {
        return false;
    }
    return (uMin == 0 && uMax == 0) || (msg.message >= uMin && msg.message <= uMax);
}

// The first matching message of the calling thread's queue; WM_QUIT only once
// nothing else matches. Called with the lock held.
bool take(Queue& queue, LPMSG lpMsg, HWND hWnd, UINT uMin, UINT uMax, bool bRemove)
{
    const auto it = std::find_if(queue.lstMessages.begin(), queue.lstMessages.end(),
                                 [&](const MSG& msg) { return matches(msg, hWnd, uMin, uMax); });
    if (it != queue.lstMessages.end()) {
        *lpMsg = *it;
        if (bRemove)
            queue.lstMessages.erase(it);
        return true;
    }
    const bool bQuitWanted = (!hWnd || hWnd == kThreadMessagesOnly) &&
                             ((uMin == 0 && uMax == 0) || (WM_QUIT >= uMin && WM_QUIT <= uMax));
    if (queue.bQuit && bQuitWanted) {
        *lpMsg = MSG{};
        lpMsg->message = WM_QUIT;
        lpMsg->wParam = WPARAM(queue.nQuitCode);
        lpMsg->time = GetTickCount();
        if (bRemove)
            queue.bQuit = false;
        return true;
    }
    return false;
}

void runPump()
{
    if (t_bInPump)
        return;
    MessageTable& table = MessageTable::instance();
    PELIRAND_PUMP_HOOK pfnPump;
    void* pContext;
    {
        std::lock_guard<std::mutex> lock(table.m_mutex);
        if (!table.m_pfnPump || table.m_dwPumpThread != currentThreadId())
            return;
        pfnPump = table.m_pfnPump;
        pContext = table.m_pPumpContext;
    }
    struct Reset
    {
        ~Reset() { t_bInPump = false; }
    } reset;
    t_bInPump = true;
    pfnPump(pContext);
}

bool hasPump(const MessageTable& table)
{
    return table.m_pfnPump && table.m_dwPumpThread == currentThreadId();
}

BOOL post(DWORD dwThreadId, HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    MessageTable& table = MessageTable::instance();
    PELIRAND_POST_NOTIFY pfnNotify = nullptr;
    void* pContext = nullptr;
    {
        std::lock_guard<std::mutex> lock(table.m_mutex);
        const auto it = table.m_queues.find(dwThreadId);
        if (it == table.m_queues.end()) {
            SetLastError(ERROR_INVALID_THREAD_ID);
            return FALSE;
        }
        MSG msg{};
        msg.hwnd = hWnd;
        msg.message = uMsg;
        msg.wParam = wParam;
        msg.lParam = lParam;
        msg.time = GetTickCount();
        it->second.lstMessages.push_back(msg);
        if (table.m_pfnNotify && table.m_dwNotifyThread == dwThreadId) {
            pfnNotify = table.m_pfnNotify;
            pContext = table.m_pNotifyContext;
        }
    }
    table.m_arrived.notify_all();
    if (pfnNotify)
        pfnNotify(dwThreadId, pContext);
    return TRUE;
}

} // namespace

namespace pelirand::platform {

void attachThread()
{
    thread_local ThreadGuard t_guard{currentThreadId()};
    MessageTable& table = MessageTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    table.m_queues[t_guard.dwThreadId];
}

void flushWindowMessages(const std::vector<HWND>& lstWindows)
{
    if (lstWindows.empty())
        return;
    const std::unordered_set<HWND> gone(lstWindows.begin(), lstWindows.end());
    MessageTable& table = MessageTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    for (auto& entry : table.m_queues) {
        auto& lst = entry.second.lstMessages;
        lst.erase(
            std::remove_if(lst.begin(), lst.end(), [&](const MSG& msg) { return gone.count(msg.hwnd) != 0; }),
            lst.end());
    }
}

} // namespace pelirand::platform

extern "C" {

BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    if (!hWnd) {
        // A thread message for the calling thread, as Windows does.
        pelirand::platform::attachThread();
        return post(currentThreadId(), nullptr, Msg, wParam, lParam);
    }
    pelirand::platform::WindowTarget target;
    if (!pelirand::platform::findWindow(hWnd, &target)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return post(target.dwThreadId, hWnd, Msg, wParam, lParam);
}

BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    return post(idThread, nullptr, Msg, wParam, lParam);
}

void WINAPI PostQuitMessage(int nExitCode)
{
    pelirand::platform::attachThread();
    MessageTable& table = MessageTable::instance();
    {
        std::lock_guard<std::mutex> lock(table.m_mutex);
        Queue& queue = table.m_queues[currentThreadId()];
        queue.bQuit = true;
        queue.nQuitCode = nExitCode;
    }
    table.m_arrived.notify_all();
}

BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg)
{
    if (!lpMsg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    pelirand::platform::attachThread();
    runPump();
    MessageTable& table = MessageTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    Queue& queue = table.m_queues[currentThreadId()];
    return take(queue, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0) ? TRUE
                                                                                                 : FALSE;
}

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax)
{
    if (!lpMsg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    if (hWnd && hWnd != kThreadMessagesOnly && !IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return -1;
    }
    pelirand::platform::attachThread();
    MessageTable& table = MessageTable::instance();
    for (;;) {
        runPump();
        std::unique_lock<std::mutex> lock(table.m_mutex);
        Queue& queue = table.m_queues[currentThreadId()];
        if (take(queue, lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true))
            return lpMsg->message == WM_QUIT ? FALSE : TRUE;
        if (hasPump(table))
            table.m_arrived.wait_for(lock, kPumpInterval);
        else
            table.m_arrived.wait(lock);
    }
}

BOOL WINAPI TranslateMessage(const MSG* lpMsg)
{
    // Nothing to translate here; key messages answer TRUE as Windows documents.
    return lpMsg && lpMsg->message >= WM_KEYDOWN && lpMsg->message <= WM_SYSKEYUP ? TRUE : FALSE;
}

LRESULT WINAPI DispatchMessageW(const MSG* lpMsg)
{
    if (!lpMsg || !lpMsg->hwnd)
        return 0;
    pelirand::platform::WindowTarget target;
    if (!pelirand::platform::findWindow(lpMsg->hwnd, &target)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (!target.pfnProc)
        return DefWindowProcW(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
    return target.pfnProc(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    pelirand::platform::WindowTarget target;
    if (!pelirand::platform::findWindow(hWnd, &target)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (!target.pfnProc)
        return DefWindowProcW(hWnd, Msg, wParam, lParam);
    return target.pfnProc(hWnd, Msg, wParam, lParam);
}

void WINAPI PelirandSetMessagePump(PELIRAND_PUMP_HOOK pfnHook, void* pContext)
{
    pelirand::platform::attachThread();
    MessageTable& table = MessageTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    table.m_pfnPump = pfnHook;
    table.m_pPumpContext = pfnHook ? pContext : nullptr;
    table.m_dwPumpThread = pfnHook ? currentThreadId() : 0;
}

void WINAPI PelirandSetPostNotify(PELIRAND_POST_NOTIFY pfnNotify, void* pContext)
{
    pelirand::platform::attachThread();
    MessageTable& table = MessageTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    table.m_pfnNotify = pfnNotify;
    table.m_pNotifyContext = pfnNotify ? pContext : nullptr;
    table.m_dwNotifyThread = pfnNotify ? currentThreadId() : 0;
}

} // extern "C"
