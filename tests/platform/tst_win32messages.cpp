// Message queues, dispatch and the host's pump hook; thread ids and ticks.

#include "platform/win32.h"

#include <QtTest>

#include <atomic>
#include <future>
#include <thread>
#include <vector>

namespace {

const wchar_t kClass[] = L"PlatTestMessages";

struct Delivery
{
    HWND hWnd;
    UINT uMsg;
    WPARAM wParam;
    LPARAM lParam;
};
std::vector<Delivery> g_lstDelivered;

LRESULT CALLBACK deliveryProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    if (uMsg >= WM_USER) {
        g_lstDelivered.push_back({hWnd, uMsg, wParam, lParam});
        return LRESULT(uMsg - WM_USER + 100);
    }
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

struct PumpState
{
    int nRuns = 0;
    int nPostOnRun = 0; // post WM_USER + 9 to hTarget on this run (0: never)
    HWND hTarget = nullptr;
    bool bPeekInside = false;
};

void pumpHook(void* pContext)
{
    auto* pState = static_cast<PumpState*>(pContext);
    ++pState->nRuns;
    if (pState->nRuns == pState->nPostOnRun)
        PostMessageW(pState->hTarget, WM_USER + 9, 0, 0);
    if (pState->bPeekInside) {
        // A message loop inside the host's event loop does not run the hook again.
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
    }
}

std::atomic<int> g_nNotified{0};
std::atomic<DWORD> g_dwNotifiedThread{0};

void postNotify(DWORD dwThreadId, void*)
{
    g_dwNotifiedThread = dwThreadId;
    ++g_nNotified;
}

void drain()
{
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

} // namespace

class tst_Win32Messages : public QObject
{
    Q_OBJECT

private:
    HWND m_hWnd = nullptr;
    HWND m_hOther = nullptr;

private slots:
    void initTestCase();
    void cleanupTestCase();
    void init();

    void postPeekDispatch_data();
    void postPeekDispatch();
    void messagesKeepTheirOrder();
    void pumpHookRuns();
    void pumpHookBelongsToItsThread();
    void postFromOtherThread();
    void threadMessages();
    void quitMessage();
    void sendMessage();
    void invalidTargets();
    void idsAndTicks();
};

void tst_Win32Messages::initTestCase()
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = deliveryProc;
    wc.lpszClassName = kClass;
    QVERIFY(RegisterClassW(&wc));
    m_hWnd = CreateWindowExW(0, kClass, L"one", WS_OVERLAPPEDWINDOW, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                             nullptr);
    m_hOther = CreateWindowExW(0, kClass, L"two", WS_OVERLAPPEDWINDOW, 0, 0, 1, 1, nullptr, nullptr, nullptr,
                               nullptr);
    QVERIFY(m_hWnd && m_hOther);
}

void tst_Win32Messages::cleanupTestCase()
{
    DestroyWindow(m_hWnd);
    DestroyWindow(m_hOther);
}

void tst_Win32Messages::init()
{
    PelirandSetMessagePump(nullptr, nullptr);
    PelirandSetPostNotify(nullptr, nullptr);
    drain();
    g_lstDelivered.clear();
}

void tst_Win32Messages::postPeekDispatch_data()
{
    // One WM_USER + 1 posted to the first window; does this filter see it?
    QTest::addColumn<int>("nWindowFilter"); // 0: none, 1: the window, 2: the other window, 3: thread only
    QTest::addColumn<uint>("uMin");
    QTest::addColumn<uint>("uMax");
    QTest::addColumn<bool>("bFound");

    QTest::newRow("no filter") << 0 << 0u << 0u << true;
    QTest::newRow("its window") << 1 << 0u << 0u << true;
    QTest::newRow("another window") << 2 << 0u << 0u << false;
    QTest::newRow("thread messages only") << 3 << 0u << 0u << false;
    QTest::newRow("range with it") << 0 << uint(WM_USER) << uint(WM_USER + 1) << true;
    QTest::newRow("exact") << 1 << uint(WM_USER + 1) << uint(WM_USER + 1) << true;
    QTest::newRow("range without it") << 0 << uint(WM_USER + 2) << uint(WM_APP) << false;
}

void tst_Win32Messages::postPeekDispatch()
{
    QFETCH(int, nWindowFilter);
    QFETCH(uint, uMin);
    QFETCH(uint, uMax);
    QFETCH(bool, bFound);

    const HWND lstFilters[] = {nullptr, m_hWnd, m_hOther, reinterpret_cast<HWND>(intptr_t(-1))};
    const HWND hFilter = lstFilters[nWindowFilter];
    QCOMPARE(PostMessageW(m_hWnd, WM_USER + 1, 7, -3), TRUE);

    MSG msg{};
    QCOMPARE(PeekMessageW(&msg, hFilter, uMin, uMax, PM_NOREMOVE), bFound ? TRUE : FALSE);
    if (!bFound) {
        QVERIFY(g_lstDelivered.empty());
        return;
    }
    // PM_NOREMOVE leaves it queued; PM_REMOVE takes it.
    QCOMPARE(PeekMessageW(&msg, hFilter, uMin, uMax, PM_REMOVE), TRUE);
    QCOMPARE(PeekMessageW(&msg, hFilter, uMin, uMax, PM_REMOVE), FALSE);
    PeekMessageW(&msg, m_hWnd, 0, 0, PM_NOREMOVE); // a failed peek must not have clobbered it
    QCOMPARE(msg.hwnd, m_hWnd);
    QCOMPARE(msg.message, UINT(WM_USER + 1));
    QCOMPARE(msg.wParam, WPARAM(7));
    QCOMPARE(msg.lParam, LPARAM(-3));

    QCOMPARE(TranslateMessage(&msg), FALSE);
    QCOMPARE(DispatchMessageW(&msg), LRESULT(101));
    QCOMPARE(g_lstDelivered.size(), size_t(1));
    QCOMPARE(g_lstDelivered[0].hWnd, m_hWnd);
    QCOMPARE(g_lstDelivered[0].wParam, WPARAM(7));
    QCOMPARE(g_lstDelivered[0].lParam, LPARAM(-3));
}

void tst_Win32Messages::messagesKeepTheirOrder()
{
    for (UINT u = 0; u < 5; ++u)
        PostMessageW(u % 2 ? m_hOther : m_hWnd, WM_USER + u, u, 0);
    MSG msg;
    for (int i = 0; i < 5; ++i) {
        QCOMPARE(GetMessageW(&msg, nullptr, 0, 0), TRUE);
        DispatchMessageW(&msg);
    }
    QCOMPARE(PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE), FALSE);
    QCOMPARE(g_lstDelivered.size(), size_t(5));
    for (UINT u = 0; u < 5; ++u) {
        QCOMPARE(g_lstDelivered[u].uMsg, UINT(WM_USER + u));
        QCOMPARE(g_lstDelivered[u].hWnd, u % 2 ? m_hOther : m_hWnd);
    }
}

void tst_Win32Messages::pumpHookRuns()
{
    PumpState state;
    PelirandSetMessagePump(pumpHook, &state);

    MSG msg;
    QCOMPARE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE), FALSE);
    QCOMPARE(state.nRuns, 1);

    // A message the hook posts is seen by the same peek.
    state.nPostOnRun = 2;
    state.hTarget = m_hWnd;
    QCOMPARE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE), TRUE);
    QCOMPARE(msg.message, UINT(WM_USER + 9));

    // GetMessageW keeps running the hook until a message arrives.
    state.nPostOnRun = 5;
    QCOMPARE(GetMessageW(&msg, m_hWnd, 0, 0), TRUE);
    QCOMPARE(msg.message, UINT(WM_USER + 9));
    QCOMPARE(state.nRuns, 5);

    state.bPeekInside = true;
    PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
    QCOMPARE(state.nRuns, 6);

    PelirandSetMessagePump(nullptr, nullptr);
    PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
    QCOMPARE(state.nRuns, 6);
}

void tst_Win32Messages::pumpHookBelongsToItsThread()
{
    PumpState state;
    PelirandSetMessagePump(pumpHook, &state);
    std::thread([] {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
    }).join();
    QCOMPARE(state.nRuns, 0);

    // A hook installed by a thread goes away with it.
    PumpState workerState;
    std::thread([&workerState] { PelirandSetMessagePump(pumpHook, &workerState); }).join();
    MSG msg;
    PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE);
    QCOMPARE(state.nRuns, 0);
    QCOMPARE(workerState.nRuns, 0);
}

void tst_Win32Messages::postFromOtherThread()
{
    g_nNotified = 0;
    PelirandSetPostNotify(postNotify, nullptr);
    std::thread([this] { PostMessageW(m_hWnd, WM_USER + 3, 33, 0); }).join();
    QCOMPARE(g_nNotified.load(), 1);
    QCOMPARE(g_dwNotifiedThread.load(), GetCurrentThreadId());

    // The message waits in the window's thread's queue, not the poster's.
    MSG msg;
    QCOMPARE(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    QCOMPARE(msg.hwnd, m_hWnd);
    QCOMPARE(msg.wParam, WPARAM(33));

    // GetMessageW without a hook sleeps until another thread posts.
    std::thread poster([this] {
        Sleep(20);
        PostMessageW(m_hOther, WM_USER + 4, 0, 0);
    });
    QCOMPARE(GetMessageW(&msg, m_hOther, 0, 0), TRUE);
    poster.join();
    QCOMPARE(msg.message, UINT(WM_USER + 4));
    QCOMPARE(g_nNotified.load(), 2);
}

void tst_Win32Messages::threadMessages()
{
    std::promise<DWORD> started;
    std::promise<void> posted;
    std::promise<MSG> received;
    std::thread worker([&] {
        MSG msg;
        PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE); // makes the queue
        started.set_value(GetCurrentThreadId());
        posted.get_future().wait();
        GetMessageW(&msg, nullptr, 0, 0);
        received.set_value(msg);
    });
    const DWORD dwWorker = started.get_future().get();
    QCOMPARE(PostThreadMessageW(dwWorker, WM_APP + 1, 5, 6), TRUE);
    posted.set_value();
    const MSG msg = received.get_future().get();
    worker.join();
    QCOMPARE(msg.hwnd, HWND(nullptr));
    QCOMPARE(msg.message, UINT(WM_APP + 1));
    QCOMPARE(msg.wParam, WPARAM(5));
    QCOMPARE(DispatchMessageW(&msg), LRESULT(0)); // no window to dispatch to

    // The thread and its queue are gone.
    QCOMPARE(PostThreadMessageW(dwWorker, WM_APP, 0, 0), FALSE);
    QCOMPARE(GetLastError(), DWORD(ERROR_INVALID_THREAD_ID));

    // PostMessageW without a window posts to the calling thread.
    QCOMPARE(PostMessageW(nullptr, WM_APP + 2, 0, 0), TRUE);
    MSG own;
    QCOMPARE(PeekMessageW(&own, reinterpret_cast<HWND>(intptr_t(-1)), 0, 0, PM_REMOVE), TRUE);
    QCOMPARE(own.message, UINT(WM_APP + 2));
}

void tst_Win32Messages::quitMessage()
{
    PostQuitMessage(7);
    PostMessageW(m_hWnd, WM_USER + 2, 0, 0);
    MSG msg;
    // Queued messages come first; WM_QUIT ends the loop with its code.
    QCOMPARE(GetMessageW(&msg, nullptr, 0, 0), TRUE);
    QCOMPARE(msg.message, UINT(WM_USER + 2));
    QCOMPARE(GetMessageW(&msg, nullptr, 0, 0), FALSE);
    QCOMPARE(msg.message, UINT(WM_QUIT));
    QCOMPARE(msg.wParam, WPARAM(7));
    QCOMPARE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE), FALSE);
}

void tst_Win32Messages::sendMessage()
{
    QCOMPARE(SendMessageW(m_hOther, WM_USER + 5, 1, 2), LRESULT(105));
    QCOMPARE(g_lstDelivered.size(), size_t(1));
    QCOMPARE(g_lstDelivered[0].hWnd, m_hOther);
    MSG msg;
    QCOMPARE(PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE), FALSE); // sent, not queued

    // DefWindowProcW keeps the title for WM_SETTEXT / WM_GETTEXT.
    QCOMPARE(SendMessageW(m_hOther, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"three")), LRESULT(TRUE));
    wchar_t szText[16];
    QCOMPARE(SendMessageW(m_hOther, WM_GETTEXT, 16, reinterpret_cast<LPARAM>(szText)), LRESULT(5));
    QCOMPARE(QString::fromWCharArray(szText), QStringLiteral("three"));
    QCOMPARE(SendMessageW(m_hOther, WM_GETTEXTLENGTH, 0, 0), LRESULT(5));
}

void tst_Win32Messages::invalidTargets()
{
    HWND hGone = CreateWindowExW(0, kClass, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
    QVERIFY(hGone);
    DestroyWindow(hGone);

    QCOMPARE(PostMessageW(hGone, WM_USER, 0, 0), FALSE);
    QCOMPARE(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));
    QCOMPARE(SendMessageW(hGone, WM_USER, 0, 0), LRESULT(0));
    MSG msg{};
    msg.hwnd = hGone;
    msg.message = WM_USER;
    QCOMPARE(DispatchMessageW(&msg), LRESULT(0));
    QVERIFY(g_lstDelivered.empty());
    QCOMPARE(GetMessageW(&msg, hGone, 0, 0), BOOL(-1));
    QCOMPARE(PeekMessageW(nullptr, nullptr, 0, 0, PM_REMOVE), FALSE);
}

void tst_Win32Messages::idsAndTicks()
{
    const DWORD dwMain = GetCurrentThreadId();
    DWORD dwOther = 0;
    DWORD dwOtherProcess = 0;
    std::thread([&] {
        dwOther = GetCurrentThreadId();
        dwOtherProcess = GetCurrentProcessId();
    }).join();
    QVERIFY(dwMain != 0);
    QVERIFY(dwOther != dwMain);
    QCOMPARE(dwOtherProcess, GetCurrentProcessId());
    QCOMPARE(GetCurrentThreadId(), dwMain);

    // GetTickCount is the low 32 bits of GetTickCount64; compared modulo 2^32.
    const DWORD dwTicks = GetTickCount();
    const ULONGLONG uTicks64 = GetTickCount64();
    QVERIFY(DWORD(DWORD(uTicks64) - dwTicks) < 1000u);
    QVERIFY(GetModuleHandleW(nullptr) != nullptr);
}

QTEST_APPLESS_MAIN(tst_Win32Messages)
#include "tst_win32messages.moc"
