// The window system: our own layer in place of the window half of the
// Windows interfaces (classes, windows, the message queue, keyboard
// translation, capture and focus, timers, carets, cursors, painting,
// monitors and DPI). The names, structures and constants are the Windows
// ones so the GUI backend reads like the system it was designed for.
//
// Invariants:
// - Every handle is a 32-bit value from one table (platform/win/handles.h):
//   index in the low 24 bits, a generation in the high 8, so a stale handle
//   never reaches a new object. 0 is no handle.
// - Everything but PostMessageW, PostThreadMessageW and PostQuitMessage runs
//   on the GUI thread (the thread that called `start`). Posting is
//   thread-safe and wakes a waiting GetMessageW.
// - Each window owns a cairo ARGB32 surface (premultiplied BGRA) the size of
//   its window rectangle. Child windows exist only inside their top-level
//   window: the compositor stacks their surfaces (bottom of the z-order
//   first) into the top-level's picture.
// - Headless (no display, or forced): time is a virtual clock that moves
//   only when a waiting GetMessageW has nothing to do and injected input is
//   still pending; once the input is used up and nothing is queued, a waiting
//   GetMessageW answers 0 as on WM_QUIT (timers alone keep nothing alive).
// - With an X11 display, top-level windows are X windows that show their
//   composited picture; X input becomes the same messages; time is real.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

typedef struct _cairo_surface cairo_surface_t;
typedef struct _cairo cairo_t;

namespace kez::win {

using BOOL = int32_t;
using UINT = uint32_t;
using WORD = uint16_t;
using DWORD = uint32_t;
using LONG = int32_t;
using BYTE = uint8_t;
using WCHAR = char16_t;
using ATOM = uint16_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using COLORREF = uint32_t;  // 0x00BBGGRR
using HANDLE = uint32_t;
using HWND = HANDLE;
using HDC = HANDLE;
using HGDIOBJ = HANDLE;
using HBITMAP = HANDLE;
using HBRUSH = HANDLE;  // only COLOR_* + 1 values are resolved here
using HRGN = HANDLE;
using HCURSOR = HANDLE;
using HICON = HANDLE;
using HMONITOR = HANDLE;
using HMENU = HANDLE;
using HINSTANCE = HANDLE;
using HDWP = HANDLE;
using UINT_PTR = uintptr_t;

struct POINT { LONG x, y; };
struct SIZE { LONG cx, cy; };
struct RECT { LONG left, top, right, bottom; };
struct MSG {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
  POINT pt;
};
using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);
using TIMERPROC = void (*)(HWND, UINT, UINT_PTR, DWORD);
using MONITORENUMPROC = BOOL (*)(HMONITOR, HDC, RECT*, LPARAM);

struct WNDCLASSEXW {
  UINT cbSize;
  UINT style;
  WNDPROC lpfnWndProc;
  int cbClsExtra;
  int cbWndExtra;
  HINSTANCE hInstance;
  HICON hIcon;
  HCURSOR hCursor;
  HBRUSH hbrBackground;
  const WCHAR* lpszMenuName;
  const WCHAR* lpszClassName;
  HICON hIconSm;
};
struct CREATESTRUCTW {
  void* lpCreateParams;
  HINSTANCE hInstance;
  HMENU hMenu;
  HWND hwndParent;
  int cy, cx, y, x;
  LONG style;
  const WCHAR* lpszName;
  const WCHAR* lpszClass;
  DWORD dwExStyle;
};
struct PAINTSTRUCT {
  HDC hdc;
  BOOL fErase;
  RECT rcPaint;
  BOOL fRestore, fIncUpdate;
  BYTE rgbReserved[32];
};
struct WINDOWPOS {
  HWND hwnd, hwndInsertAfter;
  int x, y, cx, cy;
  UINT flags;
};
struct MINMAXINFO {
  POINT ptReserved, ptMaxSize, ptMaxPosition, ptMinTrackSize, ptMaxTrackSize;
};
struct TRACKMOUSEEVENT {
  DWORD cbSize, dwFlags;
  HWND hwndTrack;
  DWORD dwHoverTime;
};
struct MONITORINFO {
  DWORD cbSize;
  RECT rcMonitor, rcWork;
  DWORD dwFlags;
};
struct BLENDFUNCTION {
  BYTE BlendOp, BlendFlags, SourceConstantAlpha, AlphaFormat;
};
struct BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth, biHeight;  // a negative height is a top-down DIB
  WORD biPlanes, biBitCount;
  DWORD biCompression, biSizeImage;
  LONG biXPelsPerMeter, biYPelsPerMeter;
  DWORD biClrUsed, biClrImportant;
};
struct BITMAPINFO {
  BITMAPINFOHEADER bmiHeader;
  DWORD bmiColors[1];
};
struct LOGFONTW {
  LONG lfHeight, lfWidth, lfEscapement, lfOrientation, lfWeight;
  BYTE lfItalic, lfUnderline, lfStrikeOut, lfCharSet, lfOutPrecision, lfClipPrecision, lfQuality, lfPitchAndFamily;
  WCHAR lfFaceName[32];
};
struct NONCLIENTMETRICSW {
  UINT cbSize;
  int iBorderWidth, iScrollWidth, iScrollHeight, iCaptionWidth, iCaptionHeight;
  LOGFONTW lfCaptionFont;
  int iSmCaptionWidth, iSmCaptionHeight;
  LOGFONTW lfSmCaptionFont;
  int iMenuWidth, iMenuHeight;
  LOGFONTW lfMenuFont, lfStatusFont, lfMessageFont;
  int iPaddedBorderWidth;
};
static_assert(sizeof(NONCLIENTMETRICSW) == 504);

inline constexpr WORD LOWORD(uintptr_t v) { return WORD(v & 0xFFFF); }
inline constexpr WORD HIWORD(uintptr_t v) { return WORD((v >> 16) & 0xFFFF); }
inline constexpr int GET_X_LPARAM(LPARAM l) { return int16_t(l & 0xFFFF); }
inline constexpr int GET_Y_LPARAM(LPARAM l) { return int16_t((l >> 16) & 0xFFFF); }
inline constexpr LPARAM MAKELPARAM(int lo, int hi) { return LPARAM(uint32_t(uint16_t(lo)) | uint32_t(uint16_t(hi)) << 16); }
inline constexpr COLORREF RGB(BYTE r, BYTE g, BYTE b) { return r | g << 8 | b << 16; }

// Messages.
enum : UINT {
  WM_NULL = 0x0000, WM_CREATE = 0x0001, WM_DESTROY = 0x0002, WM_MOVE = 0x0003, WM_SIZE = 0x0005,
  WM_ACTIVATE = 0x0006, WM_SETFOCUS = 0x0007, WM_KILLFOCUS = 0x0008, WM_ENABLE = 0x000A,
  WM_SETTEXT = 0x000C, WM_GETTEXT = 0x000D, WM_GETTEXTLENGTH = 0x000E, WM_PAINT = 0x000F,
  WM_CLOSE = 0x0010, WM_QUIT = 0x0012, WM_ERASEBKGND = 0x0014, WM_SHOWWINDOW = 0x0018,
  WM_SETCURSOR = 0x0020, WM_MOUSEACTIVATE = 0x0021, WM_GETMINMAXINFO = 0x0024, WM_SETFONT = 0x0030,
  WM_WINDOWPOSCHANGING = 0x0046, WM_WINDOWPOSCHANGED = 0x0047, WM_NOTIFY = 0x004E,
  WM_NCCREATE = 0x0081, WM_NCDESTROY = 0x0082, WM_NCHITTEST = 0x0084, WM_NCPAINT = 0x0085, WM_NCACTIVATE = 0x0086,
  WM_KEYDOWN = 0x0100, WM_KEYUP = 0x0101, WM_CHAR = 0x0102, WM_DEADCHAR = 0x0103, WM_SYSKEYDOWN = 0x0104,
  WM_SYSKEYUP = 0x0105, WM_SYSCHAR = 0x0106, WM_UNICHAR = 0x0109,
  WM_IME_STARTCOMPOSITION = 0x010D, WM_IME_ENDCOMPOSITION = 0x010E, WM_IME_COMPOSITION = 0x010F,
  WM_COMMAND = 0x0111, WM_SYSCOMMAND = 0x0112, WM_TIMER = 0x0113, WM_HSCROLL = 0x0114, WM_VSCROLL = 0x0115,
  WM_MENUSELECT = 0x011F, WM_ENTERIDLE = 0x0121, WM_GESTURE = 0x0119,
  WM_CTLCOLOREDIT = 0x0133, WM_CTLCOLORLISTBOX = 0x0134, WM_CTLCOLORSTATIC = 0x0138,
  WM_MOUSEMOVE = 0x0200, WM_LBUTTONDOWN = 0x0201, WM_LBUTTONUP = 0x0202, WM_LBUTTONDBLCLK = 0x0203,
  WM_RBUTTONDOWN = 0x0204, WM_RBUTTONUP = 0x0205, WM_RBUTTONDBLCLK = 0x0206, WM_MBUTTONDOWN = 0x0207,
  WM_MBUTTONUP = 0x0208, WM_MBUTTONDBLCLK = 0x0209, WM_MOUSEWHEEL = 0x020A, WM_XBUTTONDOWN = 0x020B,
  WM_XBUTTONUP = 0x020C, WM_XBUTTONDBLCLK = 0x020D, WM_MOUSEHWHEEL = 0x020E,
  WM_SIZING = 0x0214, WM_CAPTURECHANGED = 0x0215, WM_MOVING = 0x0216, WM_ENTERMENULOOP = 0x0211,
  WM_ENTERSIZEMOVE = 0x0231, WM_EXITSIZEMOVE = 0x0232,
  WM_IME_SETCONTEXT = 0x0281, WM_IME_NOTIFY = 0x0282, WM_MOUSELEAVE = 0x02A3, WM_DPICHANGED = 0x02E0,
  WM_PASTE = 0x0302, WM_DISPLAYCHANGE = 0x007E, WM_THEMECHANGED = 0x031A, WM_IME_CHAR = 0x0286,
  WM_SETTINGCHANGE = 0x001A,
  WM_PRINT = 0x0317, WM_PRINTCLIENT = 0x0318, WM_USER = 0x0400,
};

// Window styles.
enum : DWORD {
  WS_OVERLAPPED = 0x00000000, WS_POPUP = 0x80000000, WS_CHILD = 0x40000000, WS_MINIMIZE = 0x20000000,
  WS_VISIBLE = 0x10000000, WS_DISABLED = 0x08000000, WS_CLIPSIBLINGS = 0x04000000, WS_CLIPCHILDREN = 0x02000000,
  WS_MAXIMIZE = 0x01000000, WS_CAPTION = 0x00C00000, WS_BORDER = 0x00800000, WS_DLGFRAME = 0x00400000,
  WS_VSCROLL = 0x00200000, WS_HSCROLL = 0x00100000, WS_SYSMENU = 0x00080000, WS_THICKFRAME = 0x00040000,
  WS_GROUP = 0x00020000, WS_TABSTOP = 0x00010000, WS_MINIMIZEBOX = 0x00020000, WS_MAXIMIZEBOX = 0x00010000,
  WS_OVERLAPPEDWINDOW = 0x00CF0000,
  WS_EX_TOPMOST = 0x00000008, WS_EX_TRANSPARENT = 0x00000020, WS_EX_TOOLWINDOW = 0x00000080,
  WS_EX_CLIENTEDGE = 0x00000200, WS_EX_LAYERED = 0x00080000, WS_EX_COMPOSITED = 0x02000000,
  WS_EX_NOACTIVATE = 0x08000000,
};
enum : UINT { CS_VREDRAW = 0x1, CS_HREDRAW = 0x2, CS_DBLCLKS = 0x8 };

enum : UINT {
  SWP_NOSIZE = 0x0001, SWP_NOMOVE = 0x0002, SWP_NOZORDER = 0x0004, SWP_NOREDRAW = 0x0008,
  SWP_NOACTIVATE = 0x0010, SWP_FRAMECHANGED = 0x0020, SWP_SHOWWINDOW = 0x0040, SWP_HIDEWINDOW = 0x0080,
  SWP_NOCOPYBITS = 0x0100, SWP_NOOWNERZORDER = 0x0200, SWP_NOSENDCHANGING = 0x0400,
};
inline const HWND HWND_TOP = 0, HWND_BOTTOM = 1, HWND_TOPMOST = HWND(-1), HWND_NOTOPMOST = HWND(-2);
enum : int { SW_HIDE = 0, SW_SHOWNORMAL = 1, SW_SHOWNOACTIVATE = 4, SW_SHOW = 5, SW_MINIMIZE = 6,
             SW_SHOWNA = 8, SW_RESTORE = 9, SW_SHOWDEFAULT = 10 };
enum : int { GWL_WNDPROC = -4, GWL_ID = -12, GWL_STYLE = -16, GWL_EXSTYLE = -20, GWLP_USERDATA = -21 };
enum : LRESULT { HTTRANSPARENT = -1, HTNOWHERE = 0, HTCLIENT = 1, HTCAPTION = 2 };
enum : UINT { CWP_ALL = 0, CWP_SKIPINVISIBLE = 1, CWP_SKIPDISABLED = 2, CWP_SKIPTRANSPARENT = 4 };
enum : UINT { GA_PARENT = 1, GA_ROOT = 2, GA_ROOTOWNER = 3 };
enum : UINT { PM_NOREMOVE = 0, PM_REMOVE = 1 };
enum : DWORD { TME_LEAVE = 0x2, TME_CANCEL = 0x80000000 };
enum : WPARAM { MK_LBUTTON = 0x1, MK_RBUTTON = 0x2, MK_SHIFT = 0x4, MK_CONTROL = 0x8, MK_MBUTTON = 0x10,
                MK_XBUTTON1 = 0x20, MK_XBUTTON2 = 0x40 };
enum : WPARAM { WA_INACTIVE = 0, WA_ACTIVE = 1, WA_CLICKACTIVE = 2 };
enum : WPARAM { SIZE_RESTORED = 0, SIZE_MINIMIZED = 1, SIZE_MAXIMIZED = 2 };
enum : UINT { RDW_INVALIDATE = 0x1, RDW_ERASE = 0x4, RDW_ALLCHILDREN = 0x80, RDW_UPDATENOW = 0x100 };
enum : UINT { PW_CLIENTONLY = 1, PW_RENDERFULLCONTENT = 2 };
enum : DWORD { LWA_COLORKEY = 1, LWA_ALPHA = 2, ULW_ALPHA = 2 };
enum : BYTE { AC_SRC_OVER = 0, AC_SRC_ALPHA = 1 };
enum : DWORD { SRCCOPY = 0x00CC0020, CAPTUREBLT = 0x40000000 };
enum : DWORD { MONITOR_DEFAULTTONULL = 0, MONITOR_DEFAULTTOPRIMARY = 1, MONITOR_DEFAULTTONEAREST = 2,
               MONITORINFOF_PRIMARY = 1 };
enum : int { MDT_EFFECTIVE_DPI = 0 };
enum : UINT { USER_DEFAULT_SCREEN_DPI = 96 };
enum : int { NULLREGION = 1, SIMPLEREGION = 2, COMPLEXREGION = 3, ERROR_REGION = 0 };
enum : int { RGN_AND = 1, RGN_OR = 2, RGN_XOR = 3, RGN_DIFF = 4, RGN_COPY = 5 };
enum : DWORD { BI_RGB = 0, DIB_RGB_COLORS = 0 };

// System metrics, colours, parameters.
enum : int {
  SM_CXSCREEN = 0, SM_CYSCREEN = 1, SM_CXVSCROLL = 2, SM_CYHSCROLL = 3, SM_CYCAPTION = 4, SM_CXBORDER = 5,
  SM_CYBORDER = 6, SM_CXDLGFRAME = 7, SM_CYDLGFRAME = 8, SM_CYVTHUMB = 9, SM_CXHTHUMB = 10, SM_CXICON = 11,
  SM_CYICON = 12, SM_CXCURSOR = 13, SM_CYCURSOR = 14, SM_CYMENU = 15, SM_CYVSCROLL = 20, SM_CXHSCROLL = 21,
  SM_CXFRAME = 32, SM_CYFRAME = 33, SM_CXDOUBLECLK = 36, SM_CYDOUBLECLK = 37, SM_CXSMICON = 49,
  SM_CYSMICON = 50, SM_CMONITORS = 80, SM_CXPADDEDBORDER = 92,
};
enum : int {
  COLOR_SCROLLBAR = 0, COLOR_BACKGROUND = 1, COLOR_ACTIVECAPTION = 2, COLOR_WINDOW = 5, COLOR_WINDOWFRAME = 6,
  COLOR_WINDOWTEXT = 8, COLOR_HIGHLIGHT = 13, COLOR_HIGHLIGHTTEXT = 14, COLOR_BTNFACE = 15,
  COLOR_BTNSHADOW = 16, COLOR_GRAYTEXT = 17, COLOR_BTNTEXT = 18, COLOR_HOTLIGHT = 26,
};
enum : UINT { SPI_GETHIGHCONTRAST = 0x0042, SPI_SETHIGHCONTRAST = 0x0043, SPI_GETNONCLIENTMETRICS = 0x0029 };
struct HIGHCONTRASTW {
  UINT cbSize;
  DWORD dwFlags;
  WCHAR* lpszDefaultScheme;
};
enum : DWORD { HCF_HIGHCONTRASTON = 0x1 };
BOOL SystemParametersInfoW(UINT action, UINT param, void* out, UINT win_ini);

// Themes: a window's controls paint light ("Explorer") or dark
// ("DarkMode_Explorer"); attribute 20 of a top-level makes its frame dark.
// The system's own setting for applications (answered by
// ShouldAppsUseDarkMode) is light unless the desktop switched it.
int SetWindowTheme(HWND hwnd, const WCHAR* app_name, const WCHAR* id_list);
enum : DWORD { DWMWA_USE_IMMERSIVE_DARK_MODE = 20 };
int DwmSetWindowAttribute(HWND hwnd, DWORD attribute, const void* value, DWORD size);
int DwmGetWindowAttribute(HWND hwnd, DWORD attribute, void* value, DWORD size);
BOOL ShouldAppsUseDarkMode();
BOOL DwmIsCompositionEnabled(BOOL* enabled);

// Gestures: WM_GESTURE's lParam names a record read by GetGestureInfo;
// DefWindowProcW closes it.
using HGESTUREINFO = HANDLE;
struct POINTS { int16_t x, y; };
struct GESTUREINFO {
  UINT cbSize;
  DWORD dwFlags, dwID;
  HWND hwndTarget;
  POINTS ptsLocation;  // screen coordinates
  DWORD dwInstanceID, dwSequenceID;
  uint64_t ullArguments;
  UINT cbExtraArgs;
};
enum : DWORD { GID_BEGIN = 1, GID_END = 2, GID_ZOOM = 3, GID_PAN = 4, GID_ROTATE = 5, GID_TWOFINGERTAP = 6,
               GID_PRESSANDTAP = 7 };
enum : DWORD { GF_BEGIN = 1, GF_INERTIA = 2, GF_END = 4 };
BOOL GetGestureInfo(HGESTUREINFO info, GESTUREINFO* out);
BOOL CloseGestureInfoHandle(HGESTUREINFO info);

// Virtual keys.
enum : UINT {
  VK_LBUTTON = 0x01, VK_RBUTTON = 0x02, VK_MBUTTON = 0x04, VK_XBUTTON1 = 0x05, VK_XBUTTON2 = 0x06,
  VK_BACK = 0x08, VK_TAB = 0x09, VK_RETURN = 0x0D, VK_SHIFT = 0x10, VK_CONTROL = 0x11, VK_MENU = 0x12,
  VK_PAUSE = 0x13, VK_CAPITAL = 0x14, VK_ESCAPE = 0x1B, VK_SPACE = 0x20, VK_PRIOR = 0x21, VK_NEXT = 0x22,
  VK_END = 0x23, VK_HOME = 0x24, VK_LEFT = 0x25, VK_UP = 0x26, VK_RIGHT = 0x27, VK_DOWN = 0x28,
  VK_INSERT = 0x2D, VK_DELETE = 0x2E, VK_LWIN = 0x5B, VK_RWIN = 0x5C, VK_APPS = 0x5D,
  VK_NUMPAD0 = 0x60, VK_MULTIPLY = 0x6A, VK_ADD = 0x6B, VK_SEPARATOR = 0x6C, VK_SUBTRACT = 0x6D,
  VK_DECIMAL = 0x6E, VK_DIVIDE = 0x6F, VK_F1 = 0x70, VK_F10 = 0x79, VK_F12 = 0x7B,
  VK_NUMLOCK = 0x90, VK_SCROLL = 0x91, VK_LSHIFT = 0xA0, VK_RSHIFT = 0xA1, VK_LCONTROL = 0xA2,
  VK_RCONTROL = 0xA3, VK_LMENU = 0xA4, VK_RMENU = 0xA5,
  VK_OEM_1 = 0xBA, VK_OEM_PLUS = 0xBB, VK_OEM_COMMA = 0xBC, VK_OEM_MINUS = 0xBD, VK_OEM_PERIOD = 0xBE,
  VK_OEM_2 = 0xBF, VK_OEM_3 = 0xC0, VK_OEM_4 = 0xDB, VK_OEM_5 = 0xDC, VK_OEM_6 = 0xDD, VK_OEM_7 = 0xDE,
  VK_PROCESSKEY = 0xE5, VK_PACKET = 0xE7,
};
enum : UINT { MAPVK_VK_TO_VSC = 0, MAPVK_VSC_TO_VK = 1, MAPVK_VK_TO_CHAR = 2, MAPVK_VSC_TO_VK_EX = 3 };
// System cursors: MAKEINTRESOURCE ids.
enum : uintptr_t { IDC_ARROW = 32512, IDC_IBEAM = 32513, IDC_WAIT = 32514, IDC_CROSS = 32515,
                   IDC_SIZEWE = 32644, IDC_SIZENS = 32645, IDC_SIZEALL = 32646, IDC_HAND = 32649 };

// Classes and windows.
ATOM RegisterClassExW(const WNDCLASSEXW* cls);
BOOL UnregisterClassW(const WCHAR* name, HINSTANCE instance);
BOOL GetClassInfoExW(HINSTANCE instance, const WCHAR* name, WNDCLASSEXW* out);
HWND CreateWindowExW(DWORD ex_style, const WCHAR* class_name, const WCHAR* title, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance, void* param);
BOOL DestroyWindow(HWND hwnd);
BOOL IsWindow(HWND hwnd);
LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
// Slots by byte index (0 .. cbWndExtra - 4), or the GWL_* values.
LONG GetWindowLongW(HWND hwnd, int index);
LONG SetWindowLongW(HWND hwnd, int index, LONG value);
intptr_t GetWindowLongPtrW(HWND hwnd, int index);
intptr_t SetWindowLongPtrW(HWND hwnd, int index, intptr_t value);
BOOL SetWindowTextW(HWND hwnd, const WCHAR* text);
int GetWindowTextW(HWND hwnd, WCHAR* out, int capacity);
int GetWindowTextLengthW(HWND hwnd);
HWND GetParent(HWND hwnd);
BOOL IsChild(HWND parent, HWND hwnd);
HWND SetParent(HWND hwnd, HWND parent);
HWND GetAncestor(HWND hwnd, UINT flags);
HWND GetWindow(HWND hwnd, UINT cmd);
enum : UINT { GW_HWNDFIRST = 0, GW_HWNDLAST = 1, GW_HWNDNEXT = 2, GW_HWNDPREV = 3, GW_OWNER = 4, GW_CHILD = 5 };
DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* process);

// Geometry.
BOOL SetWindowPos(HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags);
BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL repaint);
HDWP BeginDeferWindowPos(int count);
HDWP DeferWindowPos(HDWP batch, HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags);
BOOL EndDeferWindowPos(HDWP batch);
BOOL ShowWindow(HWND hwnd, int cmd);
BOOL IsWindowVisible(HWND hwnd);
BOOL BringWindowToTop(HWND hwnd);
BOOL GetWindowRect(HWND hwnd, RECT* out);  // screen coordinates
BOOL GetClientRect(HWND hwnd, RECT* out);
BOOL ClientToScreen(HWND hwnd, POINT* pt);
BOOL ScreenToClient(HWND hwnd, POINT* pt);
int MapWindowPoints(HWND from, HWND to, POINT* pts, UINT count);
HWND WindowFromPoint(POINT screen);
HWND ChildWindowFromPointEx(HWND parent, POINT client, UINT flags);
BOOL AdjustWindowRectEx(RECT* rect, DWORD style, BOOL menu, DWORD ex_style);
BOOL AdjustWindowRectExForDpi(RECT* rect, DWORD style, BOOL menu, DWORD ex_style, UINT dpi);
int SetWindowRgn(HWND hwnd, HRGN region, BOOL redraw);  // takes the region over
int GetWindowRgn(HWND hwnd, HRGN out);

// Regions (over cairo regions; device units).
HRGN CreateRectRgn(int left, int top, int right, int bottom);
int CombineRgn(HRGN dest, HRGN a, HRGN b, int mode);
int GetRgnBox(HRGN region, RECT* out);
BOOL PtInRegion(HRGN region, int x, int y);
BOOL DeleteObject(HGDIOBJ object);

// Capture, focus, activation, enable.
HWND SetCapture(HWND hwnd);
BOOL ReleaseCapture();
HWND GetCapture();
HWND SetFocus(HWND hwnd);
HWND GetFocus();
HWND SetActiveWindow(HWND hwnd);
HWND GetActiveWindow();
BOOL SetForegroundWindow(HWND hwnd);
HWND GetForegroundWindow();
BOOL EnableWindow(HWND hwnd, BOOL enable);
BOOL IsWindowEnabled(HWND hwnd);
BOOL TrackMouseEvent(TRACKMOUSEEVENT* track);

// The queue.
BOOL GetMessageW(MSG* msg, HWND hwnd, UINT first, UINT last);
BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT first, UINT last, UINT remove);
BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
BOOL PostThreadMessageW(DWORD thread, UINT msg, WPARAM wparam, LPARAM lparam);
LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
LRESULT DispatchMessageW(const MSG* msg);
BOOL TranslateMessage(const MSG* msg);
void PostQuitMessage(int code);
DWORD GetMessagePos();
LONG GetMessageTime();
DWORD GetTickCount();
DWORD GetCurrentThreadId();
DWORD GetCurrentProcessId();

// Keyboard.
int16_t GetKeyState(int vk);
int16_t GetAsyncKeyState(int vk);
UINT MapVirtualKeyW(UINT code, UINT type);
int16_t VkKeyScanW(WCHAR ch);

// Timers. An interval below 10 ms becomes 10 ms.
UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc);
BOOL KillTimer(HWND hwnd, UINT_PTR id);

// Carets: one per thread, blinking every GetCaretBlinkTime() ms.
BOOL CreateCaret(HWND hwnd, HBITMAP bitmap, int width, int height);
BOOL DestroyCaret();
BOOL SetCaretPos(int x, int y);
BOOL GetCaretPos(POINT* out);
BOOL ShowCaret(HWND hwnd);
BOOL HideCaret(HWND hwnd);
UINT GetCaretBlinkTime();

// Cursors.
HCURSOR LoadCursorW(HINSTANCE instance, uintptr_t id);
HICON LoadIconW(HINSTANCE instance, uintptr_t id);
// A cursor from ARGB pixels (straight alpha, A << 24 | R << 16 | G << 8 | B).
HICON CreateIconFromPixels(const uint32_t* pixels, int width, int height, int hot_x, int hot_y);
BOOL DestroyIcon(HICON icon);
HCURSOR SetCursor(HCURSOR cursor);
HCURSOR GetCursor();
BOOL GetCursorPos(POINT* out);
BOOL SetCursorPos(int x, int y);

// Input method: where the composition window goes (client coordinates).
// An input context is its window's handle.
using HIMC = HANDLE;
struct COMPOSITIONFORM {
  DWORD dwStyle;
  POINT ptCurrentPos;
  RECT rcArea;
};
enum : DWORD { CFS_DEFAULT = 0, CFS_RECT = 1, CFS_POINT = 2 };
HIMC ImmGetContext(HWND hwnd);
BOOL ImmReleaseContext(HWND hwnd, HIMC context);
BOOL ImmSetCompositionWindow(HIMC context, const COMPOSITIONFORM* form);
// The composition in progress: GCS_COMPSTR the text being composed,
// GCS_RESULTSTR the text it ended as. Bytes are answered (UTF-16 units × 2);
// a null buffer asks the size.
enum : DWORD { GCS_COMPSTR = 0x0008, GCS_RESULTSTR = 0x0800 };
LONG ImmGetCompositionStringW(HIMC context, DWORD index, void* out, DWORD bytes);
BOOL ImmSetCompositionFontW(HIMC context, const LOGFONTW* font);
// A window without a context gets no composition: its keys reach it as
// they are. Answers the context the window had.
HIMC ImmAssociateContext(HWND hwnd, HIMC context);

// Painting.
BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase);
BOOL InvalidateRgn(HWND hwnd, HRGN region, BOOL erase);
BOOL ValidateRect(HWND hwnd, const RECT* rect);
BOOL GetUpdateRect(HWND hwnd, RECT* out, BOOL erase);
BOOL UpdateWindow(HWND hwnd);
BOOL RedrawWindow(HWND hwnd, const RECT* rect, HRGN region, UINT flags);
HDC BeginPaint(HWND hwnd, PAINTSTRUCT* ps);
BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* ps);
HDC GetDC(HWND hwnd);  // 0: the screen
HDC GetWindowDC(HWND hwnd);
int ReleaseDC(HWND hwnd, HDC dc);
HDC CreateCompatibleDC(HDC dc);
HBITMAP CreateCompatibleBitmap(HDC dc, int width, int height);
HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT usage, void** bits, HANDLE section, DWORD offset);
HGDIOBJ SelectObject(HDC dc, HGDIOBJ object);
BOOL DeleteDC(HDC dc);
BOOL BitBlt(HDC dest, int x, int y, int cx, int cy, HDC src, int sx, int sy, DWORD rop);
BOOL AlphaBlend(HDC dest, int x, int y, int cx, int cy, HDC src, int sx, int sy, int scx, int scy,
                BLENDFUNCTION blend);
BOOL PrintWindow(HWND hwnd, HDC dc, UINT flags);
BOOL SetLayeredWindowAttributes(HWND hwnd, COLORREF key, BYTE alpha, DWORD flags);
BOOL UpdateLayeredWindow(HWND hwnd, HDC screen, const POINT* dst, const SIZE* size, HDC src, const POINT* src_pt,
                         COLORREF key, const BLENDFUNCTION* blend, DWORD flags);
int FillRect(HDC dc, const RECT* rect, HBRUSH brush);
HBRUSH GetSysColorBrush(int index);

// Monitors, DPI, metrics, colours.
HMONITOR MonitorFromPoint(POINT pt, DWORD flags);
HMONITOR MonitorFromRect(const RECT* rect, DWORD flags);
HMONITOR MonitorFromWindow(HWND hwnd, DWORD flags);
BOOL GetMonitorInfoW(HMONITOR monitor, MONITORINFO* out);
BOOL EnumDisplayMonitors(HDC dc, const RECT* clip, MONITORENUMPROC proc, LPARAM data);
int GetDpiForMonitor(HMONITOR monitor, int type, UINT* dpi_x, UINT* dpi_y);
UINT GetDpiForWindow(HWND hwnd);
UINT GetDpiForSystem();
int GetSystemMetrics(int index);
int GetSystemMetricsForDpi(int index, UINT dpi);
COLORREF GetSysColor(int index);
BOOL SystemParametersInfoForDpi(UINT action, UINT param, void* out, UINT win_ini, UINT dpi);

}  // namespace kez::win

// Our own side of the layer: start-up, the drawing surfaces, and the input
// that tests and whole programs inject.
namespace kez::win::layer {

enum class mode { automatic, headless, x11 };
struct screen {
  RECT rect;
  UINT dpi;
};

// Starts the window system on the calling thread (which becomes the GUI
// thread). automatic: X11 when DISPLAY is set and KEZ_HEADLESS is not,
// headless otherwise; a failed X11 connection falls back to headless.
// Headless screens come from `screens` or, when empty, from KEZ_SCREENS
// ("1920x1080@96,2560x1440+1920+0@144"), else one 1920x1080 at 96 DPI.
// Headless input comes from the file named by KEZ_INPUT, when set.
// Answers the mode in use. Calling it again tears everything down first.
mode start(mode wanted = mode::automatic, const std::vector<screen>& screens = {});
void stop();
mode current();
// True when the last wait for a message that ended did so because the
// headless queue ran dry (no input, timers or work left), not for a posted
// WM_QUIT: a loop that waits for the user would otherwise never return.
bool ran_dry();

// The surface a window owns (its window rectangle's size), and a new
// surface holding the window as seen on screen: its own pixels with its
// visible children stacked on top (the caller destroys it).
cairo_surface_t* window_surface(HWND hwnd);
cairo_surface_t* snapshot(HWND hwnd);
// A new surface of the screen area (screen pixels), the caller destroys it;
// null for an empty area. On X11 the server's screen, every program's
// windows in it; headless the desktop with the visible top-level windows at
// their places.
cairo_surface_t* screen_snapshot(RECT area);
// A DC's cairo context (origin at the DC's origin, clipped to what it may
// paint), for the drawing layer.
cairo_t* dc_context(HDC dc);
cairo_surface_t* dc_surface(HDC dc);

// Injected input, queued after what is already pending; `wait` advances the
// virtual clock. Keys are virtual-key codes; `extended` is the extended-key
// bit (right Ctrl and Alt, the navigation block).
void inject_key(UINT vk, bool down, bool extended = false);
void inject_text(const std::u32string& text);
void inject_mouse_move(int screen_x, int screen_y);
void inject_button(UINT button, bool down);  // VK_LBUTTON, VK_RBUTTON, VK_MBUTTON, VK_XBUTTON1/2
void inject_wheel(int delta);
void inject_wait(DWORD milliseconds);
// A gesture at the mouse position for the top-level window under it
// (GID_* id, its argument); an input-method step for the focus window
// (start, a composition text, a result text, end); the desktop's monitors
// changed (WM_DISPLAYCHANGE to every top-level window); its theme changed
// (dark or light colours, high contrast on or off: WM_THEMECHANGED).
void inject_gesture(DWORD id, uint64_t argument);
enum class ime_step { start, compose, result, end };
void inject_ime(ime_step step, const std::u16string& text = {});
void inject_display(const std::vector<screen>& screens);
enum class theme { light, dark, contrast };
void inject_theme(theme t);
// What the input method was last given as its font, for the window's context.
std::u16string ime_font_name(HWND hwnd);
bool input_pending();
// The input method's composition point (client coordinates of *hwnd).
POINT ime_point(HWND* hwnd);
// Reads an input script: one item a line, `#` comments.
//   key NAME|VK [down|up]    press (or half of it); NAME: a letter, digit, enter, tab, escape,
//                            backspace, space, left, right, up, down, home, end, delete, f1..f12,
//                            shift, ctrl, alt, rctrl, ralt, rshift; VK as 0x41
//   text "TEXT"              each character typed (\" \\ \n \u{1F600} escapes)
//   move X Y  |  click [left|right|middle]  |  down B  |  up B  |  wheel N  |  wait MS
//   answer item N | answer cancel | answer files "PATH" ... | answer font "NAME" SIZE [bold] [italic]
//   gesture begin|end|zoom|pan|rotate|two-tap|press-tap [N]   a gesture at the mouse, argument N
//   ime start | ime compose "TEXT" | ime result "TEXT" | ime end
//   display WxH[+X+Y][@DPI],...    the monitors change
//   theme light|dark|contrast      the desktop's colours change
//                            the next menu, drop-down list or dialog's scripted answer (controls.h)
// On a bad line answers false with `error` set to "line N: ...", injecting nothing.
bool load_input_script(const std::string& text, std::string* error);
DWORD virtual_time();

// What the X11 side did for a top-level window: pictures made for it,
// presents, rectangles uploaded and their pixels, the extents of the last
// present (X window coordinates) and the input method's last spot.
struct x11_counts {
  int pictures = 0, presents = 0, uploads = 0;
  uint64_t pixels = 0;  // presented (damaged and composed)
  uint64_t sent = 0;    // of those, sent to the server: those that changed, and what Expose asks for
  RECT last{};
  POINT spot{-1, -1};
};
x11_counts x11_counts_of(HWND hwnd);

}  // namespace kez::win::layer
