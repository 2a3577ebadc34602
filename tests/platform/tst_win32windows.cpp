// The window table as Win32 documents it: classes, creation, z-order,
// visibility, activation, titles, destruction.

#include "platform/win32.h"

#include <QtTest>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace {

const wchar_t kRecordingClass[] = L"PlatTestRecording";
const wchar_t kPlainClass[] = L"PlatTestPlain";

// What the recording class's window procedure saw, and how it answers.
struct Recorder
{
    std::vector<std::pair<HWND, UINT>> lstSeen;
    LPVOID pCreateParams = nullptr;
    LRESULT lNcCreateAnswer = TRUE;
    LRESULT lCreateAnswer = 0;
} g_recorder;

LRESULT CALLBACK recordingProc(HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    g_recorder.lstSeen.emplace_back(hWnd, uMsg);
    if (uMsg == WM_NCCREATE) {
        g_recorder.pCreateParams = reinterpret_cast<CREATESTRUCTW*>(lParam)->lpCreateParams;
        return g_recorder.lNcCreateAnswer;
    }
    if (uMsg == WM_CREATE)
        return g_recorder.lCreateAnswer;
    return DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

std::vector<HWND> g_lstEnumerated;

BOOL CALLBACK collect(HWND hWnd, LPARAM)
{
    g_lstEnumerated.push_back(hWnd);
    return TRUE;
}

BOOL CALLBACK collectTwo(HWND hWnd, LPARAM)
{
    g_lstEnumerated.push_back(hWnd);
    return g_lstEnumerated.size() < 2 ? TRUE : FALSE;
}

BOOL CALLBACK destroyOthers(HWND hWnd, LPARAM lParam)
{
    g_lstEnumerated.push_back(hWnd);
    auto* plstVictims = reinterpret_cast<std::vector<HWND>*>(lParam);
    for (HWND hVictim : *plstVictims)
        DestroyWindow(hVictim);
    plstVictims->clear();
    return TRUE;
}

} // namespace

class tst_Win32Windows : public QObject
{
    Q_OBJECT

private:
    HWND create(DWORD dwStyle = WS_OVERLAPPEDWINDOW, HWND hParent = nullptr, const wchar_t* pszTitle = L"",
                const wchar_t* pszClass = kPlainClass);
    // The top-level windows of this test, in enumeration order.
    std::vector<HWND> enumerateMine();

    std::vector<HWND> m_lstCreated;

private slots:
    void initTestCase();
    void cleanup();

    void registerClass_data();
    void registerClass();
    void createFails_data();
    void createFails();
    void creationMessages_data();
    void creationMessages();
    void handlesFit32BitsAndAreNotReused();
    void enumerationOrder_data();
    void enumerationOrder();
    void enumerationStops();
    void enumerationSkipsDestroyedWindows();
    void showWindow_data();
    void showWindow();
    void visibilityFollowsAncestors();
    void windowRelations();
    void destroyWindow();
    void destroyOnlyFromOwnThread();
    void threadEndDestroysItsWindows();
    void threadAndProcess();
    void windowText_data();
    void windowText();
    void foregroundActiveFocus();
    void activationStaysWithinThread();
    void concurrentUse();
};

HWND tst_Win32Windows::create(DWORD dwStyle, HWND hParent, const wchar_t* pszTitle, const wchar_t* pszClass)
{
    HWND hWnd = CreateWindowExW(0, pszClass, pszTitle, dwStyle, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                CW_USEDEFAULT, hParent, nullptr, GetModuleHandleW(nullptr), nullptr);
    if (hWnd)
        m_lstCreated.push_back(hWnd);
    return hWnd;
}

std::vector<HWND> tst_Win32Windows::enumerateMine()
{
    g_lstEnumerated.clear();
    EnumWindows(collect, 0);
    std::vector<HWND> lstMine;
    for (HWND hWnd : g_lstEnumerated) {
        if (std::find(m_lstCreated.begin(), m_lstCreated.end(), hWnd) != m_lstCreated.end())
            lstMine.push_back(hWnd);
    }
    return lstMine;
}

void tst_Win32Windows::initTestCase()
{
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = kPlainClass;
    QVERIFY(RegisterClassW(&wc) != 0);
    wc.lpfnWndProc = recordingProc;
    wc.lpszClassName = kRecordingClass;
    QVERIFY(RegisterClassW(&wc) != 0);
}

void tst_Win32Windows::cleanup()
{
    for (HWND hWnd : m_lstCreated) {
        if (IsWindow(hWnd))
            DestroyWindow(hWnd);
    }
    m_lstCreated.clear();
    g_recorder = Recorder();
}

void tst_Win32Windows::registerClass_data()
{
    QTest::addColumn<QString>("sName");
    QTest::addColumn<bool>("bRegisters");
    QTest::addColumn<uint>("uError");

    QTest::newRow("new name") << "PlatTestNew" << true << 0u;
    QTest::newRow("same name again") << QString::fromWCharArray(kPlainClass) << false
                                     << uint(ERROR_CLASS_ALREADY_EXISTS);
    QTest::newRow("same name in other case") << "PLATTESTPLAIN" << false << uint(ERROR_CLASS_ALREADY_EXISTS);
    QTest::newRow("empty name") << "" << false << uint(ERROR_INVALID_PARAMETER);
}

void tst_Win32Windows::registerClass()
{
    QFETCH(QString, sName);
    QFETCH(bool, bRegisters);
    QFETCH(uint, uError);

    const std::wstring sWide = sName.toStdWString();
    WNDCLASSW wc{};
    wc.lpfnWndProc = DefWindowProcW;
    wc.lpszClassName = sWide.c_str();
    const ATOM atom = RegisterClassW(&wc);
    QCOMPARE(atom != 0, bRegisters);
    if (!bRegisters) {
        QCOMPARE(GetLastError(), DWORD(uError));
        return;
    }
    // The atom names the class as well as its name does.
    HWND hWnd = create(WS_OVERLAPPEDWINDOW, nullptr, L"", MAKEINTATOM(atom));
    QVERIFY(hWnd);
    QCOMPARE(UnregisterClassW(sWide.c_str(), nullptr), FALSE);
    QCOMPARE(GetLastError(), DWORD(ERROR_CLASS_HAS_WINDOWS));
    DestroyWindow(hWnd);
    QCOMPARE(UnregisterClassW(sWide.c_str(), nullptr), TRUE);
    QCOMPARE(create(WS_OVERLAPPEDWINDOW, nullptr, L"", sWide.c_str()), HWND(nullptr));
}

void tst_Win32Windows::createFails_data()
{
    QTest::addColumn<QString>("sCase");
    QTest::addColumn<uint>("uError");
    QTest::newRow("unknown class") << "class" << uint(ERROR_CANNOT_FIND_WND_CLASS);
    QTest::newRow("child without parent") << "child" << uint(ERROR_TLW_WITH_WSCHILD);
    QTest::newRow("destroyed parent") << "parent" << uint(ERROR_INVALID_WINDOW_HANDLE);
}

void tst_Win32Windows::createFails()
{
    QFETCH(QString, sCase);
    QFETCH(uint, uError);

    HWND hDead = create();
    DestroyWindow(hDead);
    HWND hWnd = nullptr;
    if (sCase == "class")
        hWnd = create(WS_OVERLAPPEDWINDOW, nullptr, L"", L"NoSuchClass");
    else if (sCase == "child")
        hWnd = create(WS_CHILD | WS_VISIBLE, nullptr);
    else
        hWnd = create(WS_CHILD, hDead);
    QCOMPARE(hWnd, HWND(nullptr));
    QCOMPARE(GetLastError(), DWORD(uError));
}

void tst_Win32Windows::creationMessages_data()
{
    QTest::addColumn<qlonglong>("lNcCreateAnswer");
    QTest::addColumn<qlonglong>("lCreateAnswer");
    QTest::addColumn<bool>("bCreated");
    QTest::addColumn<QVector<uint>>("lstMessages");

    QTest::newRow("created") << qlonglong(TRUE) << 0LL << true << QVector<uint>{WM_NCCREATE, WM_CREATE};
    QTest::newRow("WM_NCCREATE refuses") << 0LL << 0LL << false << QVector<uint>{WM_NCCREATE};
    QTest::newRow("WM_CREATE refuses") << qlonglong(TRUE) << -1LL << false
                                       << QVector<uint>{WM_NCCREATE, WM_CREATE, WM_DESTROY, WM_NCDESTROY};
}

void tst_Win32Windows::creationMessages()
{
    QFETCH(qlonglong, lNcCreateAnswer);
    QFETCH(qlonglong, lCreateAnswer);
    QFETCH(bool, bCreated);
    QFETCH(QVector<uint>, lstMessages);

    g_recorder.lNcCreateAnswer = LRESULT(lNcCreateAnswer);
    g_recorder.lCreateAnswer = LRESULT(lCreateAnswer);
    int nParam = 0;
    HWND hWnd = CreateWindowExW(0, kRecordingClass, L"dialog", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 10, 10,
                                nullptr, nullptr, nullptr, &nParam);
    QCOMPARE(hWnd != nullptr, bCreated);
    QCOMPARE(g_recorder.pCreateParams, static_cast<LPVOID>(&nParam));
    QVector<uint> lstSeen;
    for (const auto& seen : g_recorder.lstSeen)
        lstSeen.push_back(seen.second);
    QCOMPARE(lstSeen, lstMessages);
    if (hWnd) {
        m_lstCreated.push_back(hWnd);
        QCOMPARE(IsWindowVisible(hWnd), TRUE);
    } else {
        QVERIFY(!IsWindow(g_recorder.lstSeen.front().first));
    }
}

void tst_Win32Windows::handlesFit32BitsAndAreNotReused()
{
    std::vector<HWND> lstOld;
    for (int i = 0; i < 200; ++i) {
        HWND hWnd = create(i % 2 ? WS_OVERLAPPEDWINDOW : WS_POPUP);
        QVERIFY(hWnd);
        const uintptr_t uValue = reinterpret_cast<uintptr_t>(hWnd);
        QVERIFY(uValue != 0);
        // Both zero- and sign-extension of the 4-byte value give the handle back.
        QCOMPARE(uintptr_t(uint32_t(uValue)), uValue);
        QCOMPARE(uintptr_t(intptr_t(int32_t(uint32_t(uValue)))), uValue);
        QVERIFY(std::find(lstOld.begin(), lstOld.end(), hWnd) == lstOld.end());
        lstOld.push_back(hWnd);
        if (i % 3 == 0)
            DestroyWindow(hWnd);
    }
    for (size_t i = 0; i < lstOld.size(); ++i)
        QCOMPARE(IsWindow(lstOld[i]), i % 3 == 0 ? FALSE : TRUE);
    cleanup();
    for (int i = 0; i < 50; ++i) {
        HWND hWnd = create();
        QVERIFY(std::find(lstOld.begin(), lstOld.end(), hWnd) == lstOld.end());
    }
}

void tst_Win32Windows::enumerationOrder_data()
{
    // Three top-level windows 0, 1, 2 created in that order (each with a
    // child); then SetForegroundWindow on the listed ones; the expected
    // enumeration, top of the z-order first.
    QTest::addColumn<QVector<int>>("lstForeground");
    QTest::addColumn<QVector<int>>("lstExpected");

    QTest::newRow("newest on top") << QVector<int>{} << QVector<int>{2, 1, 0};
    QTest::newRow("oldest raised") << QVector<int>{0} << QVector<int>{0, 2, 1};
    QTest::newRow("two raised") << QVector<int>{1, 0} << QVector<int>{0, 1, 2};
    QTest::newRow("raised twice") << QVector<int>{0, 1, 0} << QVector<int>{0, 1, 2};
    QTest::newRow("top raised again") << QVector<int>{2} << QVector<int>{2, 1, 0};
    QTest::newRow("through a child") << QVector<int>{-1} << QVector<int>{0, 2, 1};
}

void tst_Win32Windows::enumerationOrder()
{
    QFETCH(QVector<int>, lstForeground);
    QFETCH(QVector<int>, lstExpected);

    std::vector<HWND> lstTop, lstChildren;
    for (int i = 0; i < 3; ++i) {
        lstTop.push_back(create(i == 1 ? WS_POPUP : WS_OVERLAPPEDWINDOW));
        lstChildren.push_back(create(WS_CHILD | WS_VISIBLE, lstTop.back()));
        QVERIFY(lstTop.back() && lstChildren.back());
    }
    for (int n : lstForeground) {
        // -1: the child of window 0 stands for its top-level window.
        HWND hWnd = n < 0 ? lstChildren[0] : lstTop[size_t(n)];
        QCOMPARE(SetForegroundWindow(hWnd), TRUE);
        QCOMPARE(GetForegroundWindow(), lstTop[size_t(n < 0 ? 0 : n)]);
    }
    std::vector<HWND> lstExpectedHandles;
    for (int n : lstExpected)
        lstExpectedHandles.push_back(lstTop[size_t(n)]);
    QCOMPARE(enumerateMine(), lstExpectedHandles); // children never appear
}

void tst_Win32Windows::enumerationStops()
{
    for (int i = 0; i < 4; ++i)
        QVERIFY(create());
    g_lstEnumerated.clear();
    QCOMPARE(EnumWindows(collectTwo, 0), FALSE);
    QCOMPARE(g_lstEnumerated.size(), size_t(2));
    g_lstEnumerated.clear();
    QCOMPARE(EnumWindows(collect, 0), TRUE);
    QVERIFY(g_lstEnumerated.size() >= 4);
    QCOMPARE(EnumWindows(nullptr, 0), FALSE);
}

void tst_Win32Windows::enumerationSkipsDestroyedWindows()
{
    HWND hOld = create();
    HWND hNew = create(); // top of the z-order, enumerated first
    std::vector<HWND> lstVictims{hOld};
    g_lstEnumerated.clear();
    QCOMPARE(EnumWindows(destroyOthers, reinterpret_cast<LPARAM>(&lstVictims)), TRUE);
    QVERIFY(std::find(g_lstEnumerated.begin(), g_lstEnumerated.end(), hNew) != g_lstEnumerated.end());
    QVERIFY(std::find(g_lstEnumerated.begin(), g_lstEnumerated.end(), hOld) == g_lstEnumerated.end());
}

void tst_Win32Windows::showWindow_data()
{
    QTest::addColumn<uint>("uStyle");
    QTest::addColumn<int>("nCmdShow");
    QTest::addColumn<bool>("bReturn");
    QTest::addColumn<bool>("bVisible");
    QTest::addColumn<bool>("bIconic");

    const uint uHidden = WS_OVERLAPPEDWINDOW;
    const uint uShown = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
    const uint uMinimised = WS_OVERLAPPEDWINDOW | WS_VISIBLE | WS_MINIMIZE;
    QTest::newRow("hidden, SW_SHOW") << uHidden << SW_SHOW << false << true << false;
    QTest::newRow("hidden, SW_HIDE") << uHidden << SW_HIDE << false << false << false;
    QTest::newRow("shown, SW_HIDE") << uShown << SW_HIDE << true << false << false;
    QTest::newRow("shown, SW_MINIMIZE") << uShown << SW_MINIMIZE << true << true << true;
    QTest::newRow("hidden, SW_MINIMIZE") << uHidden << SW_MINIMIZE << false << true << true;
    QTest::newRow("shown, SW_SHOWMINNOACTIVE") << uShown << SW_SHOWMINNOACTIVE << true << true << true;
    QTest::newRow("minimised, SW_RESTORE") << uMinimised << SW_RESTORE << true << true << false;
    QTest::newRow("minimised, SW_SHOWNORMAL") << uMinimised << SW_SHOWNORMAL << true << true << false;
    QTest::newRow("minimised, SW_SHOW stays minimised") << uMinimised << SW_SHOW << true << true << true;
    QTest::newRow("minimised, SW_HIDE stays minimised") << uMinimised << SW_HIDE << true << false << true;
    QTest::newRow("shown, SW_MAXIMIZE") << uShown << SW_MAXIMIZE << true << true << false;
}

void tst_Win32Windows::showWindow()
{
    QFETCH(uint, uStyle);
    QFETCH(int, nCmdShow);
    QFETCH(bool, bReturn);
    QFETCH(bool, bVisible);
    QFETCH(bool, bIconic);

    HWND hWnd = create(uStyle);
    QVERIFY(hWnd);
    QCOMPARE(IsIconic(hWnd), (uStyle & WS_MINIMIZE) ? TRUE : FALSE);
    QCOMPARE(ShowWindow(hWnd, nCmdShow), bReturn ? TRUE : FALSE);
    QCOMPARE(IsWindowVisible(hWnd), bVisible ? TRUE : FALSE);
    QCOMPARE(IsIconic(hWnd), bIconic ? TRUE : FALSE);

    DestroyWindow(hWnd);
    QCOMPARE(ShowWindow(hWnd, SW_SHOW), FALSE);
    QCOMPARE(IsWindowVisible(hWnd), FALSE);
    QCOMPARE(IsIconic(hWnd), FALSE);
}

void tst_Win32Windows::visibilityFollowsAncestors()
{
    HWND hParent = create(WS_OVERLAPPEDWINDOW);
    HWND hChild = create(WS_CHILD | WS_VISIBLE, hParent);
    HWND hGrandChild = create(WS_CHILD | WS_VISIBLE, hChild);
    QVERIFY(hGrandChild);
    QCOMPARE(IsWindowVisible(hGrandChild), FALSE);
    ShowWindow(hParent, SW_SHOW);
    QCOMPARE(IsWindowVisible(hGrandChild), TRUE);
    ShowWindow(hChild, SW_HIDE);
    QCOMPARE(IsWindowVisible(hGrandChild), FALSE);
    QCOMPARE(IsWindowVisible(hParent), TRUE);
}

void tst_Win32Windows::windowRelations()
{
    HWND hParent = create();
    QCOMPARE(GetWindow(hParent, GW_CHILD), HWND(nullptr));
    HWND hFirst = create(WS_CHILD, hParent);
    HWND hSecond = create(WS_CHILD, hParent);
    HWND hOwned = create(WS_POPUP, hFirst); // owned by the child's top-level window
    QVERIFY(hOwned);

    // A new window goes to the top of its siblings.
    QCOMPARE(GetWindow(hParent, GW_CHILD), hSecond);
    QCOMPARE(GetWindow(hSecond, GW_HWNDNEXT), hFirst);
    QCOMPARE(GetWindow(hFirst, GW_HWNDNEXT), HWND(nullptr));
    QCOMPARE(GetWindow(hFirst, GW_HWNDPREV), hSecond);
    QCOMPARE(GetWindow(hFirst, GW_HWNDFIRST), hSecond);
    QCOMPARE(GetWindow(hSecond, GW_HWNDLAST), hFirst);
    QCOMPARE(GetParent(hFirst), hParent);

    QCOMPARE(GetWindow(hOwned, GW_OWNER), hParent);
    QCOMPARE(GetParent(hOwned), hParent);
    QCOMPARE(GetWindow(hFirst, GW_OWNER), HWND(nullptr));
    QCOMPARE(GetWindow(hParent, GW_OWNER), HWND(nullptr));
    QCOMPARE(GetParent(hParent), HWND(nullptr));
}

void tst_Win32Windows::destroyWindow()
{
    HWND hParent = create(WS_OVERLAPPEDWINDOW | WS_VISIBLE, nullptr, L"", kRecordingClass);
    HWND hChild = create(WS_CHILD | WS_VISIBLE, hParent, L"", kRecordingClass);
    HWND hOwned = create(WS_POPUP | WS_VISIBLE, hParent, L"", kRecordingClass);
    QVERIFY(hOwned);
    QCOMPARE(PostMessageW(hChild, WM_USER, 0, 0), TRUE);
    g_recorder.lstSeen.clear();

    QCOMPARE(DestroyWindow(hParent), TRUE);
    const std::vector<std::pair<HWND, UINT>> lstExpected{{hOwned, WM_DESTROY},   {hOwned, WM_NCDESTROY},
                                                         {hParent, WM_DESTROY},  {hChild, WM_DESTROY},
                                                         {hChild, WM_NCDESTROY}, {hParent, WM_NCDESTROY}};
    QCOMPARE(g_recorder.lstSeen, lstExpected);
    QCOMPARE(IsWindow(hParent), FALSE);
    QCOMPARE(IsWindow(hChild), FALSE);
    QCOMPARE(IsWindow(hOwned), FALSE);
    QCOMPARE(DestroyWindow(hParent), FALSE);
    QCOMPARE(GetLastError(), DWORD(ERROR_INVALID_WINDOW_HANDLE));

    // The destroyed windows' messages are gone from the queue.
    MSG msg;
    QCOMPARE(PeekMessageW(&msg, hChild, 0, 0, PM_REMOVE), FALSE);
}

void tst_Win32Windows::destroyOnlyFromOwnThread()
{
    HWND hWnd = create();
    BOOL bResult = TRUE;
    DWORD dwError = 0;
    std::thread([&] {
        bResult = DestroyWindow(hWnd);
        dwError = GetLastError();
    }).join();
    QCOMPARE(bResult, FALSE);
    QCOMPARE(dwError, DWORD(ERROR_ACCESS_DENIED));
    QCOMPARE(IsWindow(hWnd), TRUE);
}

void tst_Win32Windows::threadEndDestroysItsWindows()
{
    HWND hWnd = nullptr;
    HWND hChild = nullptr;
    std::thread([&] {
        hWnd = CreateWindowExW(0, kPlainClass, L"worker", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 1, 1,
                               nullptr, nullptr, nullptr, nullptr);
        hChild = CreateWindowExW(0, kPlainClass, L"", WS_CHILD, 0, 0, 1, 1, hWnd, nullptr, nullptr, nullptr);
    }).join();
    QVERIFY(hWnd && hChild);
    QCOMPARE(IsWindow(hWnd), FALSE);
    QCOMPARE(IsWindow(hChild), FALSE);
}

void tst_Win32Windows::threadAndProcess()
{
    HWND hMine = create();
    DWORD dwProcess = 0;
    QCOMPARE(GetWindowThreadProcessId(hMine, &dwProcess), GetCurrentThreadId());
    QCOMPARE(dwProcess, GetCurrentProcessId());
    QCOMPARE(GetWindowThreadProcessId(hMine, nullptr), GetCurrentThreadId());

    // A window of another thread of this process.
    std::promise<std::pair<HWND, DWORD>> created;
    std::promise<void> done;
    std::thread worker([&] {
        HWND hWnd =
            CreateWindowExW(0, kPlainClass, L"", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        created.set_value({hWnd, GetCurrentThreadId()});
        done.get_future().wait();
    });
    const auto theirs = created.get_future().get();
    dwProcess = 0;
    const DWORD dwThread = GetWindowThreadProcessId(theirs.first, &dwProcess);
    done.set_value();
    worker.join();
    QCOMPARE(dwThread, theirs.second);
    QVERIFY(dwThread != GetCurrentThreadId());
    QCOMPARE(dwProcess, GetCurrentProcessId());

    DestroyWindow(hMine);
    dwProcess = 42;
    QCOMPARE(GetWindowThreadProcessId(hMine, &dwProcess), DWORD(0));
}

void tst_Win32Windows::windowText_data()
{
    QTest::addColumn<QString>("sTitle");
    QTest::addColumn<int>("nMaxCount");
    QTest::addColumn<QByteArray>("baExpected");

    QTest::newRow("fits") << "pelirand" << 249 << QByteArray("pelirand");
    QTest::newRow("cut to the count") << "pelirand" << 5 << QByteArray("peli");
    QTest::newRow("room for the zero only") << "pelirand" << 1 << QByteArray();
    QTest::newRow("empty title") << "" << 249 << QByteArray();
    QTest::newRow("UTF-8") << QStringLiteral("Scan \u2013 \u00dcbersicht") << 249
                           << QByteArray("Scan \xe2\x80\x93 \xc3\x9c"
                                         "bersicht");
    QTest::newRow("never half a character")
        << QStringLiteral("\u00e4\u00f6\u00fc") << 4 << QByteArray("\xc3\xa4");
    QTest::newRow("long title, 249") << QString(300, 'x') << 249 << QByteArray(248, 'x');
}

void tst_Win32Windows::windowText()
{
    QFETCH(QString, sTitle);
    QFETCH(int, nMaxCount);
    QFETCH(QByteArray, baExpected);

    const std::wstring sWide = sTitle.toStdWString();
    HWND hWnd = create(WS_OVERLAPPEDWINDOW, nullptr, sWide.c_str());
    QVERIFY(hWnd);
    char szText[300];
    std::fill(std::begin(szText), std::end(szText), '#');
    QCOMPARE(GetWindowTextA(hWnd, szText, nMaxCount), baExpected.size());
    QCOMPARE(QByteArray(szText), baExpected);
    QCOMPARE(szText[baExpected.size() + 1], '#'); // nothing written past the zero

    wchar_t szWide[300];
    const int nWide = GetWindowTextW(hWnd, szWide, 300);
    QCOMPARE(QString::fromWCharArray(szWide, nWide), sTitle.left(299));
    QCOMPARE(GetWindowTextLengthW(hWnd), int(sWide.size()));

    QCOMPARE(SetWindowTextW(hWnd, L"renamed"), TRUE);
    QCOMPARE(GetWindowTextA(hWnd, szText, 249), 7);
    QCOMPARE(QByteArray(szText), QByteArray("renamed"));

    DestroyWindow(hWnd);
    QCOMPARE(GetWindowTextA(hWnd, szText, 249), 0);
    QCOMPARE(szText[0], '\0');
}

void tst_Win32Windows::foregroundActiveFocus()
{
    HWND hA = create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    HWND hB = create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    HWND hChildB = create(WS_CHILD | WS_VISIBLE, hB);
    QVERIFY(hChildB);

    QCOMPARE(SetForegroundWindow(hA), TRUE);
    QCOMPARE(GetForegroundWindow(), hA);
    QCOMPARE(GetActiveWindow(), hA);
    QCOMPARE(GetFocus(), hA);

    // Focus on a child activates its top-level window, which comes to the top
    // and, in the foreground thread, takes the foreground too.
    QCOMPARE(SetFocus(hChildB), hA);
    QCOMPARE(GetFocus(), hChildB);
    QCOMPARE(GetActiveWindow(), hB);
    QCOMPARE(GetForegroundWindow(), hB);
    QCOMPARE(enumerateMine().front(), hB);

    QCOMPARE(SetActiveWindow(hA), hB);
    QCOMPARE(GetActiveWindow(), hA);
    QCOMPARE(GetFocus(), hA);
    QCOMPARE(enumerateMine().front(), hA);

    // What the bridge does with a source's dialog: restore it, bring it forward.
    ShowWindow(hB, SW_MINIMIZE);
    QCOMPARE(IsIconic(hB), TRUE);
    QCOMPARE(ShowWindow(hB, SW_RESTORE), TRUE);
    QCOMPARE(IsIconic(hB), FALSE);
    QCOMPARE(SetForegroundWindow(hB), TRUE);
    QCOMPARE(SetActiveWindow(hB), hB);
    QCOMPARE(SetFocus(hB), hB);
    QCOMPARE(GetForegroundWindow(), hB);

    // Minimising the active window hands activation to the next one.
    ShowWindow(hB, SW_MINIMIZE);
    QCOMPARE(GetActiveWindow(), hA);
    QCOMPARE(GetForegroundWindow(), hA);

    DestroyWindow(hA);
    QVERIFY(GetActiveWindow() != hA);
    QVERIFY(GetForegroundWindow() != hA);
    QVERIFY(GetFocus() != hA);
    QCOMPARE(SetForegroundWindow(hA), FALSE);
    QCOMPARE(SetActiveWindow(hA), HWND(nullptr));
    QCOMPARE(SetFocus(hA), HWND(nullptr));
}

void tst_Win32Windows::activationStaysWithinThread()
{
    HWND hMine = create(WS_OVERLAPPEDWINDOW | WS_VISIBLE);
    HWND hActive = nullptr, hFocus = nullptr;
    DWORD dwActiveError = 0, dwFocusError = 0;
    BOOL bForeground = FALSE;
    std::thread([&] {
        hActive = SetActiveWindow(hMine);
        dwActiveError = GetLastError();
        hFocus = SetFocus(hMine);
        dwFocusError = GetLastError();
        // The foreground may change from any thread.
        bForeground = SetForegroundWindow(hMine);
    }).join();
    QCOMPARE(hActive, HWND(nullptr));
    QCOMPARE(dwActiveError, DWORD(ERROR_ACCESS_DENIED));
    QCOMPARE(hFocus, HWND(nullptr));
    QCOMPARE(dwFocusError, DWORD(ERROR_ACCESS_DENIED));
    QCOMPARE(bForeground, TRUE);
    QCOMPARE(GetForegroundWindow(), hMine);
    QCOMPARE(GetActiveWindow(), hMine);
}

void tst_Win32Windows::concurrentUse()
{
    constexpr int kThreads = 4;
    constexpr int kRounds = 200;
    std::atomic<int> nErrors{0};
    std::atomic<bool> bDone{false};
    std::vector<std::thread> lstThreads;
    for (int t = 0; t < kThreads; ++t) {
        lstThreads.emplace_back([&nErrors] {
            for (int i = 0; i < kRounds; ++i) {
                HWND hWnd = CreateWindowExW(0, kPlainClass, L"busy", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                            1, 1, nullptr, nullptr, nullptr, nullptr);
                HWND hChild = CreateWindowExW(0, kPlainClass, L"", WS_CHILD, 0, 0, 1, 1, hWnd, nullptr,
                                              nullptr, nullptr);
                DWORD dwProcess = 0;
                if (!hWnd || !hChild || GetWindow(hWnd, GW_CHILD) != hChild ||
                    GetWindowThreadProcessId(hWnd, &dwProcess) != GetCurrentThreadId() ||
                    !PostMessageW(hChild, WM_USER, 0, 0) || !SetForegroundWindow(hWnd))
                    ++nErrors;
                MSG msg;
                if (!PeekMessageW(&msg, hChild, 0, 0, PM_REMOVE))
                    ++nErrors;
                if (!DestroyWindow(hWnd) || IsWindow(hChild))
                    ++nErrors;
            }
        });
    }
    std::thread enumerator([&bDone] {
        char szTitle[16];
        while (!bDone) {
            g_lstEnumerated.clear();
            EnumWindows(collect, 0);
            for (HWND hWnd : g_lstEnumerated) {
                GetWindowTextA(hWnd, szTitle, int(sizeof(szTitle)));
                IsWindowVisible(hWnd);
            }
        }
    });
    for (auto& thread : lstThreads)
        thread.join();
    bDone = true;
    enumerator.join();
    QCOMPARE(nErrors.load(), 0);
}

QTEST_APPLESS_MAIN(tst_Win32Windows)
#include "tst_win32windows.moc"
