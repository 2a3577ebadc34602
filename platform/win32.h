// The Win32 subset that the bridge, the DSM and the sources call.
//
// On Windows this is <windows.h>. Everywhere else it declares the same names
// and signatures, implemented by the shared library pelirand-platform: one
// global-memory table, one window table and one set of message queues for the
// whole process, whichever library calls them.
//
// Where this model deliberately differs from Windows:
// - GlobalSize answers exactly the size requested, never a rounded-up size.
// - A fixed or locked block never grows in place: without GMEM_MOVEABLE growing
//   always fails. Every permitted move really moves the data (an unlocked
//   moveable block on every size change, GMEM_MODIFY|GMEM_MOVEABLE on a fixed
//   block too), so a pointer kept across such a call is caught.
// - Memory allocated without GMEM_ZEROINIT is filled with 0xBA, not left as is.
// - Blocks are limited to 0x7FFFFFFF bytes, as in a 32-bit Windows process.
// - Moveable handles point into a reserved, inaccessible address range: reading
//   through one faults. They are reused only after all others have been used.
// - LoadLibraryA searches the executable's folder, then the dlopen search; the
//   name is used exactly as given (case-sensitive, no ".dll" appended).
//   GetProcAddress takes names only, no ordinals.
// - WCHAR is wchar_t (32-bit UTF-32 here, not UTF-16). GetWindowTextA gives
//   UTF-8 (the "ANSI code page" of a Linux host), cut at a whole character.
// - Window classes are process-wide (hInstance is not part of the key); class
//   names compare case-insensitively only for ASCII letters.
// - No message-only windows, no topmost group, no painting, sizes, positions,
//   menus or timers; owned windows are not kept above their owners.
// - The only messages the system sends are WM_NCCREATE, WM_CREATE (from
//   CreateWindowExW), WM_DESTROY and WM_NCDESTROY (from DestroyWindow).
//   Activation, focus and show changes send nothing. GetWindowText and
//   SetWindowText read and write the stored title without WM_GETTEXT/WM_SETTEXT.
// - SendMessageW calls the window procedure directly, on the calling thread,
//   even for a window of another thread.
// - The process may always take the foreground (no foreground lock), from any
//   thread, with SetForegroundWindow. Activation (ShowWindow, SetActiveWindow,
//   SetFocus) moves the foreground only within the thread that holds it.
// - TranslateMessage translates nothing. The windows of a thread that ends are
//   removed without messages.
// - A thread's message loop sees the host's event loop only through the pump
//   hook below; GetMessageW polls while a hook is installed.
// - Window handles are 32-bit values below 0x80000000, allocated in ascending
//   order and not reused until the range wraps.

#ifndef PELIRAND_PLATFORM_WIN32_H
#define PELIRAND_PLATFORM_WIN32_H

#ifdef _WIN32

#include <windows.h>

// Non-Windows extension (see below): Windows delivers these natively.
typedef void (*PELIRAND_PUMP_HOOK)(void* pContext);
typedef void (*PELIRAND_POST_NOTIFY)(DWORD dwThreadId, void* pContext);
inline void PelirandSetMessagePump(PELIRAND_PUMP_HOOK, void*) {}
inline void PelirandSetPostNotify(PELIRAND_POST_NOTIFY, void*) {}
inline const char* PelirandLoadErrorText(void)
{
    return "";
}

#else // !_WIN32

#include <stddef.h>
#include <stdint.h>
#include <wchar.h>

#define WINAPI
#define CALLBACK
#define PASCAL
#define APIENTRY
#define WINBASEAPI __attribute__((visibility("default")))
#define WINUSERAPI __attribute__((visibility("default")))

#ifdef __cplusplus
extern "C" {
#endif

// ---------------------------------------------------------------------------
// Basic types

typedef int BOOL;
#ifndef FALSE
#define FALSE 0
#endif
#ifndef TRUE
#define TRUE 1
#endif

typedef unsigned char BYTE;
typedef unsigned short WORD;
typedef uint32_t DWORD;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int INT;
typedef unsigned int UINT;
typedef short SHORT;
typedef unsigned short USHORT;
typedef char CHAR;
typedef wchar_t WCHAR;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;

typedef intptr_t INT_PTR;
typedef uintptr_t UINT_PTR;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t DWORD_PTR;
typedef size_t SIZE_T;

typedef CHAR* LPSTR;
typedef const CHAR* LPCSTR;
typedef WCHAR* LPWSTR;
typedef const WCHAR* LPCWSTR;
typedef void* LPVOID;
typedef void* PVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef BYTE* LPBYTE;

typedef void* HANDLE;
typedef HANDLE HGLOBAL;
typedef HANDLE HLOCAL;

typedef struct HWND__* HWND;
typedef struct HINSTANCE__* HINSTANCE;
typedef HINSTANCE HMODULE;
typedef struct HMENU__* HMENU;
typedef struct HICON__* HICON;
typedef HICON HCURSOR;
typedef struct HBRUSH__* HBRUSH;

typedef UINT_PTR WPARAM;
typedef LONG_PTR LPARAM;
typedef LONG_PTR LRESULT;
typedef WORD ATOM;

typedef INT_PTR(WINAPI* FARPROC)(void);

typedef struct tagPOINT
{
    LONG x;
    LONG y;
} POINT, *PPOINT, *LPPOINT;

typedef struct tagRECT
{
    LONG left;
    LONG top;
    LONG right;
    LONG bottom;
} RECT, *PRECT, *LPRECT;

typedef struct tagMSG
{
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *PMSG, *LPMSG;

typedef LRESULT(CALLBACK* WNDPROC)(HWND, UINT, WPARAM, LPARAM);
typedef BOOL(CALLBACK* WNDENUMPROC)(HWND, LPARAM);

typedef struct tagWNDCLASSW
{
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCWSTR lpszMenuName;
    LPCWSTR lpszClassName;
} WNDCLASSW, *PWNDCLASSW, *LPWNDCLASSW;

typedef struct tagCREATESTRUCTW
{
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCWSTR lpszName;
    LPCWSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTW, *LPCREATESTRUCTW;

#define MAKEINTATOM(i) ((LPCWSTR)(ULONG_PTR)((WORD)(i)))
#define LOWORD(l) ((WORD)(((DWORD_PTR)(l)) & 0xffff))
#define HIWORD(l) ((WORD)((((DWORD_PTR)(l)) >> 16) & 0xffff))

// ---------------------------------------------------------------------------
// Error codes (GetLastError)

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_FORMAT 11L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_MOD_NOT_FOUND 126L
#define ERROR_PROC_NOT_FOUND 127L
#define ERROR_NOT_LOCKED 158L
#define ERROR_BAD_EXE_FORMAT 193L
#define ERROR_INVALID_WINDOW_HANDLE 1400L
#define ERROR_TLW_WITH_WSCHILD 1406L
#define ERROR_CANNOT_FIND_WND_CLASS 1407L
#define ERROR_WINDOW_OF_OTHER_THREAD 1408L
#define ERROR_CLASS_ALREADY_EXISTS 1410L
#define ERROR_CLASS_DOES_NOT_EXIST 1411L
#define ERROR_CLASS_HAS_WINDOWS 1412L
#define ERROR_INVALID_THREAD_ID 1444L

// ---------------------------------------------------------------------------
// Global memory

#define GMEM_FIXED 0x0000
#define GMEM_MOVEABLE 0x0002
#define GMEM_NOCOMPACT 0x0010
#define GMEM_NODISCARD 0x0020
#define GMEM_ZEROINIT 0x0040
#define GMEM_MODIFY 0x0080
#define GMEM_DISCARDABLE 0x0100
#define GMEM_NOT_BANKED 0x1000
#define GMEM_SHARE 0x2000
#define GMEM_DDESHARE 0x2000
#define GMEM_NOTIFY 0x4000
#define GMEM_LOWER GMEM_NOT_BANKED
#define GMEM_VALID_FLAGS 0x7F72
#define GMEM_INVALID_HANDLE 0x8000
#define GHND (GMEM_MOVEABLE | GMEM_ZEROINIT)
#define GPTR (GMEM_FIXED | GMEM_ZEROINIT)
// GlobalFlags
#define GMEM_DISCARDED 0x4000
#define GMEM_LOCKCOUNT 0x00FF

WINBASEAPI HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes);
WINBASEAPI HGLOBAL WINAPI GlobalReAlloc(HGLOBAL hMem, SIZE_T dwBytes, UINT uFlags);
WINBASEAPI LPVOID WINAPI GlobalLock(HGLOBAL hMem);
WINBASEAPI BOOL WINAPI GlobalUnlock(HGLOBAL hMem);
WINBASEAPI SIZE_T WINAPI GlobalSize(HGLOBAL hMem);
WINBASEAPI HGLOBAL WINAPI GlobalFree(HGLOBAL hMem);
WINBASEAPI UINT WINAPI GlobalFlags(HGLOBAL hMem);
WINBASEAPI HGLOBAL WINAPI GlobalHandle(LPCVOID pMem);

// ---------------------------------------------------------------------------
// Libraries

WINBASEAPI HMODULE WINAPI LoadLibraryA(LPCSTR lpLibFileName);
WINBASEAPI BOOL WINAPI FreeLibrary(HMODULE hLibModule);
WINBASEAPI FARPROC WINAPI GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
WINBASEAPI HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName);

// ---------------------------------------------------------------------------
// Process, thread, time, errors

#define INFINITE 0xFFFFFFFF

WINBASEAPI DWORD WINAPI GetTickCount(void);
WINBASEAPI ULONGLONG WINAPI GetTickCount64(void);
WINBASEAPI DWORD WINAPI GetCurrentProcessId(void);
WINBASEAPI DWORD WINAPI GetCurrentThreadId(void);
WINBASEAPI void WINAPI Sleep(DWORD dwMilliseconds);
WINBASEAPI DWORD WINAPI GetLastError(void);
WINBASEAPI void WINAPI SetLastError(DWORD dwErrCode);

// ---------------------------------------------------------------------------
// Windows

#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_MINIMIZE 0x20000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CLIPSIBLINGS 0x04000000L
#define WS_CLIPCHILDREN 0x02000000L
#define WS_MAXIMIZE 0x01000000L
#define WS_CAPTION 0x00C00000L
#define WS_BORDER 0x00800000L
#define WS_DLGFRAME 0x00400000L
#define WS_VSCROLL 0x00200000L
#define WS_HSCROLL 0x00100000L
#define WS_SYSMENU 0x00080000L
#define WS_THICKFRAME 0x00040000L
#define WS_MINIMIZEBOX 0x00020000L
#define WS_MAXIMIZEBOX 0x00010000L
#define WS_OVERLAPPEDWINDOW 0x00CF0000L
#define WS_POPUPWINDOW (WS_POPUP | WS_BORDER | WS_SYSMENU)
#define WS_CHILDWINDOW WS_CHILD

#define WS_EX_DLGMODALFRAME 0x00000001L
#define WS_EX_TOPMOST 0x00000008L
#define WS_EX_TOOLWINDOW 0x00000080L
#define WS_EX_APPWINDOW 0x00040000L

#define CW_USEDEFAULT ((int)0x80000000)

#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_NORMAL 1
#define SW_SHOWMINIMIZED 2
#define SW_SHOWMAXIMIZED 3
#define SW_MAXIMIZE 3
#define SW_SHOWNOACTIVATE 4
#define SW_SHOW 5
#define SW_MINIMIZE 6
#define SW_SHOWMINNOACTIVE 7
#define SW_SHOWNA 8
#define SW_RESTORE 9
#define SW_SHOWDEFAULT 10
#define SW_FORCEMINIMIZE 11

#define GW_HWNDFIRST 0
#define GW_HWNDLAST 1
#define GW_HWNDNEXT 2
#define GW_HWNDPREV 3
#define GW_OWNER 4
#define GW_CHILD 5
#define GW_ENABLEDPOPUP 6

#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_MOVE 0x0003
#define WM_SIZE 0x0005
#define WM_ACTIVATE 0x0006
#define WM_SETFOCUS 0x0007
#define WM_KILLFOCUS 0x0008
#define WM_ENABLE 0x000A
#define WM_SETTEXT 0x000C
#define WM_GETTEXT 0x000D
#define WM_GETTEXTLENGTH 0x000E
#define WM_PAINT 0x000F
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_SHOWWINDOW 0x0018
#define WM_NCCREATE 0x0081
#define WM_NCDESTROY 0x0082
#define WM_KEYDOWN 0x0100
#define WM_KEYUP 0x0101
#define WM_CHAR 0x0102
#define WM_SYSKEYDOWN 0x0104
#define WM_SYSKEYUP 0x0105
#define WM_INITDIALOG 0x0110
#define WM_COMMAND 0x0111
#define WM_SYSCOMMAND 0x0112
#define WM_TIMER 0x0113
#define WM_MOUSEMOVE 0x0200
#define WM_LBUTTONDOWN 0x0201
#define WM_LBUTTONUP 0x0202
#define WM_USER 0x0400
#define WM_APP 0x8000

#define PM_NOREMOVE 0x0000
#define PM_REMOVE 0x0001
#define PM_NOYIELD 0x0002

WINUSERAPI ATOM WINAPI RegisterClassW(const WNDCLASSW* lpWndClass);
WINUSERAPI BOOL WINAPI UnregisterClassW(LPCWSTR lpClassName, HINSTANCE hInstance);
WINUSERAPI HWND WINAPI CreateWindowExW(DWORD dwExStyle, LPCWSTR lpClassName, LPCWSTR lpWindowName,
                                       DWORD dwStyle, int X, int Y, int nWidth, int nHeight, HWND hWndParent,
                                       HMENU hMenu, HINSTANCE hInstance, LPVOID lpParam);
WINUSERAPI BOOL WINAPI DestroyWindow(HWND hWnd);
WINUSERAPI LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WINUSERAPI BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow);
WINUSERAPI BOOL WINAPI IsWindow(HWND hWnd);
WINUSERAPI BOOL WINAPI IsIconic(HWND hWnd);
WINUSERAPI BOOL WINAPI IsWindowVisible(HWND hWnd);
WINUSERAPI BOOL WINAPI IsWindowEnabled(HWND hWnd);
WINUSERAPI BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable);
WINUSERAPI HWND WINAPI GetWindow(HWND hWnd, UINT uCmd);
WINUSERAPI HWND WINAPI GetParent(HWND hWnd);
WINUSERAPI BOOL WINAPI EnumWindows(WNDENUMPROC lpEnumFunc, LPARAM lParam);
WINUSERAPI DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId);
WINUSERAPI int WINAPI GetWindowTextA(HWND hWnd, LPSTR lpString, int nMaxCount);
WINUSERAPI int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount);
WINUSERAPI int WINAPI GetWindowTextLengthW(HWND hWnd);
WINUSERAPI BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString);
WINUSERAPI BOOL WINAPI SetForegroundWindow(HWND hWnd);
WINUSERAPI HWND WINAPI GetForegroundWindow(void);
WINUSERAPI HWND WINAPI SetActiveWindow(HWND hWnd);
WINUSERAPI HWND WINAPI GetActiveWindow(void);
WINUSERAPI HWND WINAPI SetFocus(HWND hWnd);
WINUSERAPI HWND WINAPI GetFocus(void);

// ---------------------------------------------------------------------------
// Messages

WINUSERAPI BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);
WINUSERAPI BOOL WINAPI PostThreadMessageW(DWORD idThread, UINT Msg, WPARAM wParam, LPARAM lParam);
WINUSERAPI void WINAPI PostQuitMessage(int nExitCode);
WINUSERAPI BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax,
                                    UINT wRemoveMsg);
WINUSERAPI BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax);
WINUSERAPI BOOL WINAPI TranslateMessage(const MSG* lpMsg);
WINUSERAPI LRESULT WINAPI DispatchMessageW(const MSG* lpMsg);
WINUSERAPI LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam);

// ---------------------------------------------------------------------------
// Non-Windows extension: how a host's own event loop takes part in message loops.
//
// On Windows a source that runs a message loop inside a call (a modal dialog)
// also pumps the host's windows, so the host's event loop keeps running. Here
// the host installs a pump hook instead: PeekMessageW and GetMessageW, called on
// the thread that installed it, first run the hook once (never re-entrantly on
// that thread). A null hook removes it. One hook per process; it is dropped
// when the installing thread ends.
typedef void (*PELIRAND_PUMP_HOOK)(void* pContext);
WINUSERAPI void WINAPI PelirandSetMessagePump(PELIRAND_PUMP_HOOK pfnHook, void* pContext);

// Called on the posting thread, without any lock held, each time a message is
// queued for the thread that installed it, so that the host can wake its event
// loop and drain the queue with PeekMessageW. It must be safe to call from any
// thread. One per process; a null function removes it.
typedef void (*PELIRAND_POST_NOTIFY)(DWORD dwThreadId, void* pContext);
WINUSERAPI void WINAPI PelirandSetPostNotify(PELIRAND_POST_NOTIFY pfnNotify, void* pContext);

// The loader's text for the calling thread's last failed LoadLibraryA (or "").
WINBASEAPI const char* WINAPI PelirandLoadErrorText(void);

// ---------------------------------------------------------------------------
// Bitmaps

#define BI_RGB 0L
#define BI_RLE8 1L
#define BI_RLE4 2L
#define BI_BITFIELDS 3L
#define BI_JPEG 4L
#define BI_PNG 5L

#pragma pack(push, 2)
typedef struct tagBITMAPFILEHEADER
{
    WORD bfType;
    DWORD bfSize;
    WORD bfReserved1;
    WORD bfReserved2;
    DWORD bfOffBits;
} BITMAPFILEHEADER, *PBITMAPFILEHEADER, *LPBITMAPFILEHEADER;
#pragma pack(pop)

typedef struct tagBITMAPCOREHEADER
{
    DWORD bcSize;
    WORD bcWidth;
    WORD bcHeight;
    WORD bcPlanes;
    WORD bcBitCount;
} BITMAPCOREHEADER, *PBITMAPCOREHEADER, *LPBITMAPCOREHEADER;

typedef struct tagBITMAPINFOHEADER
{
    DWORD biSize;
    LONG biWidth;
    LONG biHeight;
    WORD biPlanes;
    WORD biBitCount;
    DWORD biCompression;
    DWORD biSizeImage;
    LONG biXPelsPerMeter;
    LONG biYPelsPerMeter;
    DWORD biClrUsed;
    DWORD biClrImportant;
} BITMAPINFOHEADER, *PBITMAPINFOHEADER, *LPBITMAPINFOHEADER;

typedef struct tagRGBQUAD
{
    BYTE rgbBlue;
    BYTE rgbGreen;
    BYTE rgbRed;
    BYTE rgbReserved;
} RGBQUAD, *LPRGBQUAD;

typedef struct tagRGBTRIPLE
{
    BYTE rgbtBlue;
    BYTE rgbtGreen;
    BYTE rgbtRed;
} RGBTRIPLE, *LPRGBTRIPLE;

typedef struct tagBITMAPINFO
{
    BITMAPINFOHEADER bmiHeader;
    RGBQUAD bmiColors[1];
} BITMAPINFO, *PBITMAPINFO, *LPBITMAPINFO;

#ifdef __cplusplus
} // extern "C"

static_assert(sizeof(BOOL) == 4 && sizeof(WORD) == 2 && sizeof(DWORD) == 4 && sizeof(LONG) == 4,
              "Win32 integer widths");
static_assert(sizeof(BITMAPFILEHEADER) == 14, "BITMAPFILEHEADER is 14 bytes");
static_assert(sizeof(BITMAPCOREHEADER) == 12, "BITMAPCOREHEADER is 12 bytes");
static_assert(sizeof(BITMAPINFOHEADER) == 40, "BITMAPINFOHEADER is 40 bytes");
static_assert(sizeof(RGBQUAD) == 4, "RGBQUAD is 4 bytes");
static_assert(sizeof(RGBTRIPLE) == 3, "RGBTRIPLE is 3 bytes");
static_assert(sizeof(BITMAPINFO) == 44, "BITMAPINFO is 44 bytes");
static_assert(offsetof(BITMAPFILEHEADER, bfSize) == 2 && offsetof(BITMAPFILEHEADER, bfOffBits) == 10,
              "BITMAPFILEHEADER is packed to 2 bytes");
#endif

#endif // _WIN32

#endif // PELIRAND_PLATFORM_WIN32_H
