// Windows: one in-process table of window classes and windows with their
// z-order, visibility, activation and focus.

#include "platform/win32.h"
#include "platform/win32_unix_p.h"

#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

using pelirand::platform::currentThreadId;

// Window handles travel in 4-byte fields, so their values stay below
// 0x80000000: zero- and sign-extension then agree. Ascending values, reused
// only after the range wraps.
constexpr uint32_t kFirstHandle = 0x00010010;
constexpr uint32_t kHandleLimit = 0x7FFFFFF0;
constexpr uint32_t kHandleStep = 2;
constexpr ATOM kFirstAtom = 0xC000;

struct WindowClass
{
    std::wstring sName;
    ATOM atom = 0;
    WNDPROC pfnProc = nullptr;
    UINT uStyle = 0;
    HINSTANCE hInstance = nullptr;
};

struct Window
{
    HWND hWnd = nullptr;
    ATOM atom = 0;
    WNDPROC pfnProc = nullptr;
    std::wstring sTitle;
    DWORD dwStyle = 0;
    DWORD dwExStyle = 0;
    HWND hParent = nullptr;        // child windows only
    HWND hOwner = nullptr;         // top-level windows only
    std::vector<HWND> lstChildren; // z-order, top first
    DWORD dwThreadId = 0;
    bool bDestroying = false;
};

HWND toHandle(uint32_t uValue)
{
    return reinterpret_cast<HWND>(uintptr_t(uValue));
}

wchar_t asciiLower(wchar_t c)
{
    return (c >= L'A' && c <= L'Z') ? wchar_t(c - L'A' + L'a') : c;
}

bool sameClassName(const std::wstring& sA, const wchar_t* pszB)
{
    size_t i = 0;
    for (; i < sA.size() && pszB[i]; ++i) {
        if (asciiLower(sA[i]) != asciiLower(pszB[i]))
            return false;
    }
    return i == sA.size() && !pszB[i];
}

bool isAtom(LPCWSTR lpName)
{
    return reinterpret_cast<uintptr_t>(lpName) < 0x10000;
}

// One code point of a wide string (UTF-32, or UTF-16 surrogate pairs if a
// caller built them), advancing nPos; U+FFFD for anything invalid.
uint32_t nextCodePoint(const std::wstring& s, size_t& nPos)
{
    uint32_t c = uint32_t(s[nPos++]);
    if (c >= 0xD800 && c <= 0xDBFF && nPos < s.size()) {
        const uint32_t cLow = uint32_t(s[nPos]);
        if (cLow >= 0xDC00 && cLow <= 0xDFFF) {
            ++nPos;
            return 0x10000 + ((c - 0xD800) << 10) + (cLow - 0xDC00);
        }
    }
    if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF)
        return 0xFFFD;
    return c;
}

size_t encodeUtf8(uint32_t c, char* pOut)
{
    if (c < 0x80) {
        pOut[0] = char(c);
        return 1;
    }
    if (c < 0x800) {
        pOut[0] = char(0xC0 | (c >> 6));
        pOut[1] = char(0x80 | (c & 0x3F));
        return 2;
    }
    if (c < 0x10000) {
        pOut[0] = char(0xE0 | (c >> 12));
        pOut[1] = char(0x80 | ((c >> 6) & 0x3F));
        pOut[2] = char(0x80 | (c & 0x3F));
        return 3;
    }
    pOut[0] = char(0xF0 | (c >> 18));
    pOut[1] = char(0x80 | ((c >> 12) & 0x3F));
    pOut[2] = char(0x80 | ((c >> 6) & 0x3F));
    pOut[3] = char(0x80 | (c & 0x3F));
    return 4;
}

class WindowTable
{
public:
    static WindowTable& instance()
    {
        static WindowTable* s_pTable = new WindowTable; // never destroyed, see memory_unix.cpp
        return *s_pTable;
    }

    std::mutex m_mutex;
    std::vector<std::unique_ptr<WindowClass>> m_lstClasses;
    std::unordered_map<uintptr_t, std::unique_ptr<Window>> m_windows;
    std::vector<HWND> m_lstTopLevel; // z-order, top first
    HWND m_hForeground = nullptr;
    std::unordered_map<DWORD, HWND> m_active;
    std::unordered_map<DWORD, HWND> m_focus;

    Window* get(HWND hWnd) const
    {
        const auto it = m_windows.find(reinterpret_cast<uintptr_t>(hWnd));
        return it != m_windows.end() ? it->second.get() : nullptr;
    }

    WindowClass* findClass(LPCWSTR lpName) const
    {
        if (!lpName)
            return nullptr;
        for (const auto& pClass : m_lstClasses) {
            if (isAtom(lpName) ? pClass->atom == ATOM(reinterpret_cast<uintptr_t>(lpName))
                               : sameClassName(pClass->sName, lpName))
                return pClass.get();
        }
        return nullptr;
    }

    ATOM nextAtom()
    {
        for (uint32_t n = 0; n < 0x4000; ++n) {
            const ATOM atom = m_nextAtom;
            m_nextAtom = m_nextAtom == 0xFFFF ? kFirstAtom : ATOM(m_nextAtom + 1);
            const bool bTaken = std::any_of(m_lstClasses.begin(), m_lstClasses.end(),
                                            [atom](const auto& pClass) { return pClass->atom == atom; });
            if (!bTaken)
                return atom;
        }
        return 0;
    }

    HWND nextHandle()
    {
        for (;;) {
            const uint32_t uValue = m_nextHandle;
            m_nextHandle += kHandleStep;
            if (m_nextHandle >= kHandleLimit)
                m_nextHandle = kFirstHandle;
            if (!m_windows.count(uValue))
                return toHandle(uValue);
        }
    }

    std::vector<HWND>& siblings(const Window* pWnd)
    {
        if (pWnd->hParent) {
            if (Window* pParent = get(pWnd->hParent))
                return pParent->lstChildren;
        }
        return m_lstTopLevel;
    }

    Window* root(Window* pWnd) const
    {
        while (pWnd && pWnd->hParent) {
            Window* pParent = get(pWnd->hParent);
            if (!pParent)
                break;
            pWnd = pParent;
        }
        return pWnd;
    }

    bool isWithin(HWND hWnd, HWND hAncestor) const
    {
        for (const Window* pWnd = get(hWnd); pWnd; pWnd = get(pWnd->hParent)) {
            if (pWnd->hWnd == hAncestor)
                return true;
        }
        return false;
    }

    void raise(const Window* pWnd)
    {
        std::vector<HWND>& lst = siblings(pWnd);
        const auto it = std::find(lst.begin(), lst.end(), pWnd->hWnd);
        if (it != lst.end())
            std::rotate(lst.begin(), it, it + 1);
    }

    bool isForegroundThread(DWORD dwThreadId) const
    {
        const Window* pFore = get(m_hForeground);
        return pFore && pFore->dwThreadId == dwThreadId;
    }

    // Activation brings a top-level window to the top of the z-order; within
    // the foreground thread the foreground window follows it.
    void activate(Window* pTop, DWORD dwThreadId)
    {
        raise(pTop);
        if (isForegroundThread(dwThreadId))
            m_hForeground = pTop->hWnd;
        m_active[dwThreadId] = pTop->hWnd;
        const auto itFocus = m_focus.find(dwThreadId);
        if (itFocus == m_focus.end() || !isWithin(itFocus->second, pTop->hWnd))
            m_focus[dwThreadId] = pTop->hWnd;
    }

    // A top-level window that is hidden, minimised or destroyed hands activation
    // to the next visible, restored top-level window of its thread.
    void deactivate(const Window* pTop)
    {
        const DWORD dwThreadId = pTop->dwThreadId;
        const auto itFocus = m_focus.find(dwThreadId);
        if (itFocus != m_focus.end() && isWithin(itFocus->second, pTop->hWnd))
            m_focus.erase(itFocus);
        const auto itActive = m_active.find(dwThreadId);
        if (itActive == m_active.end() || itActive->second != pTop->hWnd) {
            if (m_hForeground == pTop->hWnd)
                m_hForeground = nullptr;
            return;
        }
        const bool bWasForeground = m_hForeground == pTop->hWnd;
        m_active.erase(itActive);
        if (bWasForeground)
            m_hForeground = nullptr;
        for (HWND hNext : m_lstTopLevel) {
            Window* pNext = get(hNext);
            if (pNext && pNext != pTop && pNext->dwThreadId == dwThreadId && !pNext->bDestroying &&
                (pNext->dwStyle & WS_VISIBLE) && !(pNext->dwStyle & WS_MINIMIZE)) {
                if (bWasForeground)
                    m_hForeground = hNext;
                activate(pNext, dwThreadId);
                return;
            }
        }
    }

    // Pre-order: the window, then its children from the top of their z-order.
    void collectTree(const Window* pWnd, std::vector<HWND>& lstOut) const
    {
        lstOut.push_back(pWnd->hWnd);
        for (HWND hChild : pWnd->lstChildren) {
            if (const Window* pChild = get(hChild))
                collectTree(pChild, lstOut);
        }
    }

    // Removes the window and its descendants from the table without messages.
    void removeTree(HWND hWnd, std::vector<HWND>& lstRemoved)
    {
        Window* pWnd = get(hWnd);
        if (!pWnd)
            return;
        const std::vector<HWND> lstChildren = pWnd->lstChildren;
        for (HWND hChild : lstChildren)
            removeTree(hChild, lstRemoved);
        if (!pWnd->hParent)
            deactivate(pWnd);
        std::vector<HWND>& lst = siblings(pWnd);
        lst.erase(std::remove(lst.begin(), lst.end(), hWnd), lst.end());
        for (auto it = m_active.begin(); it != m_active.end();)
            it = it->second == hWnd ? m_active.erase(it) : std::next(it);
        for (auto it = m_focus.begin(); it != m_focus.end();)
            it = it->second == hWnd ? m_focus.erase(it) : std::next(it);
        if (m_hForeground == hWnd)
            m_hForeground = nullptr;
        for (const auto& entry : m_windows) {
            if (entry.second->hOwner == hWnd)
                entry.second->hOwner = nullptr;
        }
        lstRemoved.push_back(hWnd);
        m_windows.erase(reinterpret_cast<uintptr_t>(hWnd));
    }

private:
    uint32_t m_nextHandle = kFirstHandle;
    ATOM m_nextAtom = kFirstAtom;
};

LRESULT callProc(WNDPROC pfnProc, HWND hWnd, UINT uMsg, WPARAM wParam, LPARAM lParam)
{
    return pfnProc ? pfnProc(hWnd, uMsg, wParam, lParam) : DefWindowProcW(hWnd, uMsg, wParam, lParam);
}

WNDPROC procOf(HWND hWnd, bool* pbFound)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const Window* pWnd = table.get(hWnd);
    *pbFound = pWnd != nullptr;
    return pWnd ? pWnd->pfnProc : nullptr;
}

void sendIfAlive(HWND hWnd, UINT uMsg)
{
    bool bFound = false;
    const WNDPROC pfnProc = procOf(hWnd, &bFound);
    if (bFound)
        callProc(pfnProc, hWnd, uMsg, 0, 0);
}

// DestroyWindow without the thread check: owned windows go with their owner.
void destroyWindowTree(HWND hWnd)
{
    WindowTable& table = WindowTable::instance();
    std::vector<HWND> lstOwned;
    {
        std::lock_guard<std::mutex> lock(table.m_mutex);
        for (HWND hTop : table.m_lstTopLevel) {
            const Window* pTop = table.get(hTop);
            if (pTop && pTop->hOwner == hWnd && !pTop->bDestroying)
                lstOwned.push_back(hTop);
        }
    }
    for (HWND hOwned : lstOwned)
        destroyWindowTree(hOwned);

    std::vector<HWND> lstTree;
    {
        std::lock_guard<std::mutex> lock(table.m_mutex);
        Window* pWnd = table.get(hWnd);
        if (!pWnd)
            return;
        pWnd->dwStyle &= ~DWORD(WS_VISIBLE);
        if (!pWnd->hParent)
            table.deactivate(pWnd);
        table.collectTree(pWnd, lstTree);
        for (HWND h : lstTree) {
            Window* p = table.get(h);
            p->bDestroying = true;
            const auto itFocus = table.m_focus.find(p->dwThreadId);
            if (itFocus != table.m_focus.end() && itFocus->second == h)
                table.m_focus.erase(itFocus);
        }
    }
    // WM_DESTROY goes to the window first, then to its children; WM_NCDESTROY
    // reaches the children before their parent.
    for (HWND h : lstTree)
        sendIfAlive(h, WM_DESTROY);
    for (auto it = lstTree.rbegin(); it != lstTree.rend(); ++it)
        sendIfAlive(*it, WM_NCDESTROY);

    std::vector<HWND> lstRemoved;
    {
        std::lock_guard<std::mutex> lock(table.m_mutex);
        table.removeTree(hWnd, lstRemoved);
    }
    pelirand::platform::flushWindowMessages(lstRemoved);
}

BOOL failBool(DWORD dwError)
{
    SetLastError(dwError);
    return FALSE;
}

HWND failWindow(DWORD dwError)
{
    SetLastError(dwError);
    return nullptr;
}

} // namespace

namespace pelirand::platform {

bool findWindow(HWND hWnd, WindowTarget* pTarget)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const Window* pWnd = table.get(hWnd);
    if (!pWnd)
        return false;
    pTarget->dwThreadId = pWnd->dwThreadId;
    pTarget->pfnProc = pWnd->pfnProc;
    return true;
}

void destroyThreadWindows(DWORD dwThreadId)
{
    WindowTable& table = WindowTable::instance();
    std::vector<HWND> lstRemoved;
    {
        std::lock_guard<std::mutex> lock(table.m_mutex);
        std::vector<HWND> lstMine;
        for (const auto& entry : table.m_windows) {
            if (entry.second->dwThreadId == dwThreadId)
                lstMine.push_back(entry.second->hWnd);
        }
        for (HWND hWnd : lstMine)
            table.removeTree(hWnd, lstRemoved);
        table.m_active.erase(dwThreadId);
        table.m_focus.erase(dwThreadId);
    }
    flushWindowMessages(lstRemoved);
}

} // namespace pelirand::platform

extern "C" {

ATOM WINAPI RegisterClassW(const WNDCLASSW* lpWndClass)
{
    if (!lpWndClass || !lpWndClass->lpszClassName || isAtom(lpWndClass->lpszClassName) ||
        !*lpWndClass->lpszClassName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    if (table.findClass(lpWndClass->lpszClassName)) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    auto pClass = std::make_unique<WindowClass>();
    pClass->sName = lpWndClass->lpszClassName;
    pClass->atom = table.nextAtom();
    pClass->pfnProc = lpWndClass->lpfnWndProc;
    pClass->uStyle = lpWndClass->style;
    pClass->hInstance = lpWndClass->hInstance;
    if (!pClass->atom) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    const ATOM atom = pClass->atom;
    table.m_lstClasses.push_back(std::move(pClass));
    return atom;
}

BOOL WINAPI UnregisterClassW(LPCWSTR lpClassName, HINSTANCE /*hInstance*/)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const WindowClass* pClass = table.findClass(lpClassName);
    if (!pClass)
        return failBool(ERROR_CLASS_DOES_NOT_EXIST);
    for (const auto& entry : table.m_windows) {
        if (entry.second->atom == pClass->atom)
            return failBool(ERROR_CLASS_HAS_WINDOWS);
    }
    auto& lst = table.m_lstClasses;
    lst.erase(std::remove_if(lst.begin(), lst.end(), [pClass](const auto& p) { return p.get() == pClass; }),
              lst.end());
    return TRUE;
}

HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName, DWORD dwStyle, int X,
                            int Y, int nWidth, int nHeight, HWND hWndParent, HMENU hMenu, HINSTANCE hInstance,
                            LPVOID lpParam)
{
    // The queue exists before anyone can post to the new window.
    pelirand::platform::attachThread();
    WindowTable& table = WindowTable::instance();
    HWND hWnd;
    WNDPROC pfnProc;
    {
        std::lock_guard<std::mutex> lock(table.m_mutex);
        const WindowClass* pClass = table.findClass(lpClassName);
        if (!pClass)
            return failWindow(ERROR_CANNOT_FIND_WND_CLASS);
        Window* pParent = nullptr;
        if (hWndParent) {
            pParent = table.get(hWndParent);
            if (!pParent || pParent->bDestroying)
                return failWindow(ERROR_INVALID_WINDOW_HANDLE);
        } else if (dwStyle & WS_CHILD) {
            return failWindow(ERROR_TLW_WITH_WSCHILD);
        }
        auto pWnd = std::make_unique<Window>();
        hWnd = table.nextHandle();
        pWnd->hWnd = hWnd;
        pWnd->atom = pClass->atom;
        pWnd->pfnProc = pfnProc = pClass->pfnProc;
        pWnd->sTitle = lpWindowName ? lpWindowName : L"";
        // Shown only after WM_CREATE, as Windows does.
        pWnd->dwStyle = dwStyle & ~DWORD(WS_VISIBLE);
        pWnd->dwExStyle = dwExStyle;
        pWnd->dwThreadId = currentThreadId();
        if (dwStyle & WS_CHILD) {
            pWnd->hParent = hWndParent;
            pParent->lstChildren.insert(pParent->lstChildren.begin(), hWnd);
        } else {
            // A top-level window's "parent" is its owner, always a top-level window.
            pWnd->hOwner = pParent ? table.root(pParent)->hWnd : nullptr;
            table.m_lstTopLevel.insert(table.m_lstTopLevel.begin(), hWnd);
        }
        table.m_windows.emplace(reinterpret_cast<uintptr_t>(hWnd), std::move(pWnd));
    }

    CREATESTRUCTW cs{};
    cs.lpCreateParams = lpParam;
    cs.hInstance = hInstance;
    cs.hMenu = hMenu;
    cs.hwndParent = hWndParent;
    cs.cy = nHeight;
    cs.cx = nWidth;
    cs.y = Y;
    cs.x = X;
    cs.style = LONG(dwStyle);
    cs.lpszName = lpWindowName;
    cs.lpszClass = lpClassName;
    cs.dwExStyle = dwExStyle;
    const LPARAM lCreate = reinterpret_cast<LPARAM>(&cs);

    if (!callProc(pfnProc, hWnd, WM_NCCREATE, 0, lCreate)) {
        std::vector<HWND> lstRemoved;
        {
            std::lock_guard<std::mutex> lock(table.m_mutex);
            table.removeTree(hWnd, lstRemoved);
        }
        pelirand::platform::flushWindowMessages(lstRemoved);
        return nullptr;
    }
    if (callProc(pfnProc, hWnd, WM_CREATE, 0, lCreate) == -1) {
        destroyWindowTree(hWnd);
        return nullptr;
    }
    if (dwStyle & WS_VISIBLE)
        ShowWindow(hWnd, SW_SHOW);
    return IsWindow(hWnd) ? hWnd : nullptr;
}

BOOL WINAPI DestroyWindow(HWND hWnd)
{
    WindowTable& table = WindowTable::instance();
    {
        std::lock_guard<std::mutex> lock(table.m_mutex);
        const Window* pWnd = table.get(hWnd);
        if (!pWnd)
            return failBool(ERROR_INVALID_WINDOW_HANDLE);
        if (pWnd->dwThreadId != currentThreadId())
            return failBool(ERROR_ACCESS_DENIED);
        if (pWnd->bDestroying)
            return TRUE; // called again from inside its own WM_DESTROY
    }
    destroyWindowTree(hWnd);
    return TRUE;
}

LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam)
{
    switch (Msg) {
    case WM_NCCREATE:
        return TRUE;
    case WM_CLOSE:
        DestroyWindow(hWnd);
        return 0;
    case WM_SETTEXT: {
        WindowTable& table = WindowTable::instance();
        std::lock_guard<std::mutex> lock(table.m_mutex);
        Window* pWnd = table.get(hWnd);
        if (!pWnd)
            return FALSE;
        const auto* pszText = reinterpret_cast<LPCWSTR>(lParam);
        pWnd->sTitle = pszText ? pszText : L"";
        return TRUE;
    }
    case WM_GETTEXTLENGTH:
        return GetWindowTextLengthW(hWnd);
    case WM_GETTEXT:
        return wParam > 0x7FFFFFFF ? 0 : GetWindowTextW(hWnd, reinterpret_cast<LPWSTR>(lParam), int(wParam));
    default:
        return 0;
    }
}

BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    Window* pWnd = table.get(hWnd);
    if (!pWnd)
        return failBool(ERROR_INVALID_WINDOW_HANDLE);
    const BOOL bWasVisible = (pWnd->dwStyle & WS_VISIBLE) ? TRUE : FALSE;
    enum
    {
        Keep,
        Restore,
        Minimize,
        Maximize
    } state = Keep;
    enum
    {
        None,
        Activate,
        Deactivate
    } activation = None;
    bool bVisible = true;
    switch (nCmdShow) {
    case SW_HIDE:
        bVisible = false;
        activation = Deactivate;
        break;
    case SW_SHOWNORMAL:
    case SW_SHOWDEFAULT:
    case SW_RESTORE:
        state = Restore;
        activation = Activate;
        break;
    case SW_SHOWMINIMIZED:
        state = Minimize;
        activation = Activate;
        break;
    case SW_SHOWMAXIMIZED:
        state = Maximize;
        activation = Activate;
        break;
    case SW_SHOWNOACTIVATE:
        state = Restore;
        break;
    case SW_SHOW:
        activation = Activate;
        break;
    case SW_MINIMIZE:
    case SW_FORCEMINIMIZE:
        state = Minimize;
        activation = Deactivate;
        break;
    case SW_SHOWMINNOACTIVE:
        state = Minimize;
        break;
    case SW_SHOWNA:
        break;
    default:
        return failBool(ERROR_INVALID_PARAMETER);
    }
    if (bVisible)
        pWnd->dwStyle |= WS_VISIBLE;
    else
        pWnd->dwStyle &= ~DWORD(WS_VISIBLE);
    if (state == Restore)
        pWnd->dwStyle &= ~DWORD(WS_MINIMIZE | WS_MAXIMIZE);
    else if (state == Minimize)
        pWnd->dwStyle = (pWnd->dwStyle & ~DWORD(WS_MAXIMIZE)) | WS_MINIMIZE;
    else if (state == Maximize)
        pWnd->dwStyle = (pWnd->dwStyle & ~DWORD(WS_MINIMIZE)) | WS_MAXIMIZE;
    // Child windows are never active themselves.
    if (!pWnd->hParent && !pWnd->bDestroying) {
        if (activation == Activate)
            table.activate(pWnd, pWnd->dwThreadId);
        else if (activation == Deactivate)
            table.deactivate(pWnd);
    }
    return bWasVisible;
}

BOOL WINAPI IsWindow(HWND hWnd)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    return table.get(hWnd) ? TRUE : FALSE;
}

BOOL WINAPI IsIconic(HWND hWnd)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const Window* pWnd = table.get(hWnd);
    return pWnd && (pWnd->dwStyle & WS_MINIMIZE) ? TRUE : FALSE;
}

BOOL WINAPI IsWindowVisible(HWND hWnd)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const Window* pWnd = table.get(hWnd);
    if (!pWnd)
        return FALSE;
    // Visible only when every ancestor is visible too.
    for (; pWnd; pWnd = table.get(pWnd->hParent)) {
        if (!(pWnd->dwStyle & WS_VISIBLE))
            return FALSE;
    }
    return TRUE;
}

BOOL WINAPI IsWindowEnabled(HWND hWnd)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const Window* pWnd = table.get(hWnd);
    return pWnd && !(pWnd->dwStyle & WS_DISABLED) ? TRUE : FALSE;
}

BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    Window* pWnd = table.get(hWnd);
    if (!pWnd)
        return failBool(ERROR_INVALID_WINDOW_HANDLE);
    const BOOL bWasDisabled = (pWnd->dwStyle & WS_DISABLED) ? TRUE : FALSE;
    if (bEnable)
        pWnd->dwStyle &= ~DWORD(WS_DISABLED);
    else
        pWnd->dwStyle |= WS_DISABLED;
    return bWasDisabled;
}

HWND WINAPI GetWindow(HWND hWnd, UINT uCmd)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    Window* pWnd = table.get(hWnd);
    if (!pWnd)
        return failWindow(ERROR_INVALID_WINDOW_HANDLE);
    const std::vector<HWND>& lst = table.siblings(pWnd);
    const auto it = std::find(lst.begin(), lst.end(), hWnd);
    switch (uCmd) {
    case GW_HWNDFIRST:
        return lst.empty() ? nullptr : lst.front();
    case GW_HWNDLAST:
        return lst.empty() ? nullptr : lst.back();
    case GW_HWNDNEXT:
        return it == lst.end() || it + 1 == lst.end() ? nullptr : *(it + 1);
    case GW_HWNDPREV:
        return it == lst.end() || it == lst.begin() ? nullptr : *(it - 1);
    case GW_OWNER:
        return pWnd->hOwner;
    case GW_CHILD:
        return pWnd->lstChildren.empty() ? nullptr : pWnd->lstChildren.front();
    case GW_ENABLEDPOPUP:
        return nullptr;
    default:
        return failWindow(ERROR_INVALID_PARAMETER);
    }
}

HWND WINAPI GetParent(HWND hWnd)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const Window* pWnd = table.get(hWnd);
    if (!pWnd)
        return failWindow(ERROR_INVALID_WINDOW_HANDLE);
    if (pWnd->hParent)
        return pWnd->hParent;
    return (pWnd->dwStyle & WS_POPUP) ? pWnd->hOwner : nullptr;
}

BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam)
{
    if (!lpEnumFunc)
        return failBool(ERROR_INVALID_PARAMETER);
    WindowTable& table = WindowTable::instance();
    std::vector<HWND> lstSnapshot;
    {
        std::lock_guard<std::mutex> lock(table.m_mutex);
        lstSnapshot = table.m_lstTopLevel;
    }
    // The callback runs without the lock, so it may use every function here;
    // windows destroyed meanwhile are skipped.
    for (HWND hWnd : lstSnapshot) {
        if (!IsWindow(hWnd))
            continue;
        if (!lpEnumFunc(hWnd, lParam))
            return FALSE;
    }
    return TRUE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const Window* pWnd = table.get(hWnd);
    if (!pWnd) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (lpdwProcessId)
        *lpdwProcessId = DWORD(getpid());
    return pWnd->dwThreadId;
}

int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount)
{
    if (!lpString || nMaxCount <= 0)
        return 0;
    lpString[0] = '\0';
    std::wstring sTitle;
    {
        WindowTable& table = WindowTable::instance();
        std::lock_guard<std::mutex> lock(table.m_mutex);
        const Window* pWnd = table.get(hWnd);
        if (!pWnd) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        sTitle = pWnd->sTitle;
    }
    // Whole UTF-8 sequences only, leaving room for the terminating zero.
    size_t nOut = 0;
    const size_t nRoom = size_t(nMaxCount) - 1;
    for (size_t nPos = 0; nPos < sTitle.size();) {
        char szChar[4];
        const size_t nLen = encodeUtf8(nextCodePoint(sTitle, nPos), szChar);
        if (nOut + nLen > nRoom)
            break;
        std::copy(szChar, szChar + nLen, lpString + nOut);
        nOut += nLen;
    }
    lpString[nOut] = '\0';
    return int(nOut);
}

int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount)
{
    if (!lpString || nMaxCount <= 0)
        return 0;
    lpString[0] = L'\0';
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const Window* pWnd = table.get(hWnd);
    if (!pWnd) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    const size_t nCopy = std::min(pWnd->sTitle.size(), size_t(nMaxCount) - 1);
    std::copy(pWnd->sTitle.begin(), pWnd->sTitle.begin() + ptrdiff_t(nCopy), lpString);
    lpString[nCopy] = L'\0';
    return int(nCopy);
}

int WINAPI GetWindowTextLengthW(HWND hWnd)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const Window* pWnd = table.get(hWnd);
    if (!pWnd) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return int(std::min(pWnd->sTitle.size(), size_t(0x7FFFFFFF)));
}

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    Window* pWnd = table.get(hWnd);
    if (!pWnd)
        return failBool(ERROR_INVALID_WINDOW_HANDLE);
    pWnd->sTitle = lpString ? lpString : L"";
    return TRUE;
}

BOOL WINAPI SetForegroundWindow(HWND hWnd)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    Window* pTop = table.root(table.get(hWnd));
    if (!pTop || pTop->bDestroying)
        return failBool(ERROR_INVALID_WINDOW_HANDLE);
    table.m_hForeground = pTop->hWnd;
    table.activate(pTop, pTop->dwThreadId);
    return TRUE;
}

HWND WINAPI GetForegroundWindow(void)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    return table.m_hForeground;
}

HWND WINAPI SetActiveWindow(HWND hWnd)
{
    WindowTable& table = WindowTable::instance();
    const DWORD dwThreadId = currentThreadId();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const auto itActive = table.m_active.find(dwThreadId);
    const HWND hPrevious = itActive != table.m_active.end() ? itActive->second : nullptr;
    if (!hWnd) {
        if (Window* pPrevious = table.get(hPrevious))
            table.deactivate(pPrevious);
        return hPrevious;
    }
    Window* pTop = table.root(table.get(hWnd));
    if (!pTop || pTop->bDestroying)
        return failWindow(ERROR_INVALID_WINDOW_HANDLE);
    // Only windows of the calling thread's own message queue.
    if (pTop->dwThreadId != dwThreadId)
        return failWindow(ERROR_ACCESS_DENIED);
    table.activate(pTop, dwThreadId);
    return hPrevious;
}

HWND WINAPI GetActiveWindow(void)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const auto it = table.m_active.find(currentThreadId());
    return it != table.m_active.end() ? it->second : nullptr;
}

HWND WINAPI SetFocus(HWND hWnd)
{
    WindowTable& table = WindowTable::instance();
    const DWORD dwThreadId = currentThreadId();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const auto itFocus = table.m_focus.find(dwThreadId);
    const HWND hPrevious = itFocus != table.m_focus.end() ? itFocus->second : nullptr;
    if (!hWnd) {
        table.m_focus.erase(dwThreadId);
        return hPrevious;
    }
    Window* pWnd = table.get(hWnd);
    if (!pWnd || pWnd->bDestroying)
        return failWindow(ERROR_INVALID_WINDOW_HANDLE);
    if (pWnd->dwThreadId != dwThreadId)
        return failWindow(ERROR_ACCESS_DENIED);
    // Focus also activates the window's top-level ancestor.
    Window* pTop = table.root(pWnd);
    const auto itActive = table.m_active.find(dwThreadId);
    if (itActive == table.m_active.end() || itActive->second != pTop->hWnd)
        table.activate(pTop, dwThreadId);
    table.m_focus[dwThreadId] = hWnd;
    return hPrevious;
}

HWND WINAPI GetFocus(void)
{
    WindowTable& table = WindowTable::instance();
    std::lock_guard<std::mutex> lock(table.m_mutex);
    const auto it = table.m_focus.find(currentThreadId());
    return it != table.m_focus.end() ? it->second : nullptr;
}

} // extern "C"
