// Finding the enabled source's dialog among the windows of this process.

#include "app/pelirandapp.h"


#include <cstdint>

#include "protocol/commandcodes.h"

#include "diag/log.h"

namespace {

unsigned handleValue(HWND hWnd)
{
    // Window handles are 32-bit values on Windows; the log shows them so.
    return static_cast<unsigned>(reinterpret_cast<std::uintptr_t>(hWnd));
}

} // namespace

BOOL CALLBACK CollectProcessWindow(HWND hWnd, LPARAM lParam)
{
    DWORD dwProcessId = 0;
    GetWindowThreadProcessId(hWnd, &dwProcessId);
    if (g_pApp && static_cast<LPARAM>(dwProcessId) == lParam)
        g_pApp->m_lstWindows.append(hWnd);
    return TRUE;
}

HWND pelirandApp::FindLastDSWindow()
{
    HWND hCandidate = GetWindow(m_hParentWnd, GW_CHILD);
    logPrintf("child window %x", handleValue(hCandidate));

    m_lstWindows.clear();
    EnumWindows(CollectProcessWindow, static_cast<LPARAM>(GetCurrentProcessId()));

    for (const HWND hWnd : qAsConst(m_lstWindows)) {
        char szTitle[250];
        szTitle[0] = '\0';
        GetWindowTextA(hWnd, szTitle, 249);
        const BOOL bVisible = IsWindowVisible(hWnd);
        logPrintf("windows %x, name=%s, isvisible=%1i", handleValue(hWnd), szTitle, bVisible ? 1 : 0);
        if (bVisible)
            hCandidate = hWnd;
    }
    return hCandidate;
}

int pelirandApp::SourceDialogView() const
{
    // Qt's offscreen and minimal platforms draw nothing anyone can see; without Qt's widgets, the
    // platform the bridge would have chosen for them tells.
    const QString sPlatform =
        hasWidgets() ? platformName() : QString::fromLatin1(dialogPlatforms()).section(QLatin1Char(';'), 0, 0);
    if (sPlatform == QLatin1String("offscreen") || sPlatform == QLatin1String("minimal"))
        return dialogNoDisplay;
    // Windows of the process's window table are drawn by nobody here; a dialog is seen only when the
    // source's toolkit shows a window of its own on the display.
    return visibleWindows() > 0 ? dialogOnDisplay : dialogNotDrawn;
}
