// Our own controls, menus and dialogs in place of the common controls: the
// classes BUTTON, STATIC, EDIT, ListBox, ComboBox, SCROLLBAR,
// msctls_trackbar32, msctls_progress32, SysTabControl32 and SysMonthCal32,
// registered by layer::start so that the backend can superclass them; menus
// (bar and popup); the file, folder and font dialogs and the message box.
// Names, structures and constants are the Windows ones.
//
// Invariants:
// - A control keeps its own state beside the window (never in its slots,
//   which belong to a superclass); it is freed on WM_NCDESTROY.
// - Notifications (WM_COMMAND codes, WM_NOTIFY codes) follow the user's
//   actions; messages that set a state send none, except EN_CHANGE after
//   WM_SETTEXT in a single-line edit.
// - Menus, drop-down lists, scroll tracking and dialogs run nested message
//   loops. Headless, a scripted answer (layer::respond) settles the next
//   one at once; without one the loop runs on injected input and, when the
//   input is used up, ends as a cancel. A WM_QUIT met inside is posted
//   again for the outer loop.
// - Edit positions are UTF-16 units of the text as held, so a CR LF line
//   break counts as two positions.
#pragma once

#include <string>
#include <vector>

#include "platform/win/win.h"

namespace kez::win {

// As on Windows, and as glib has them when both are included.
#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif
using HIMAGELIST = HANDLE;
using HFONT = HANDLE;

inline constexpr WPARAM MAKEWPARAM(int lo, int hi) {
  return WPARAM(uint32_t(uint16_t(lo)) | uint32_t(uint16_t(hi)) << 16);
}

inline constexpr UINT WM_GETFONT = 0x0031, WM_CTLCOLORBTN = 0x0135, WM_CTLCOLORSCROLLBAR = 0x0137,
                      WM_NCLBUTTONDOWN = 0x00A1, WM_NCLBUTTONUP = 0x00A2, WM_INITMENUPOPUP = 0x0117,
                      WM_EXITMENULOOP = 0x0212, WM_CANCELMODE = 0x001F, WM_GETDLGCODE = 0x0087, WM_CUT = 0x0300,
                      WM_COPY = 0x0301, WM_CLEAR = 0x0303, WM_UNDO = 0x0304;
inline constexpr LRESULT HTHSCROLL = 6, HTVSCROLL = 7, HTMENU = 5;

// Notification headers.
struct NMHDR {
  HWND hwndFrom;
  UINT_PTR idFrom;
  UINT code;
};
struct NMCUSTOMDRAW {
  NMHDR hdr;
  DWORD dwDrawStage;
  HDC hdc;
  RECT rc;
  uintptr_t dwItemSpec;
  UINT uItemState;
  LPARAM lItemlParam;
};
inline constexpr UINT NM_CUSTOMDRAW = UINT(-12);
inline constexpr DWORD CDDS_PREPAINT = 1, CDDS_POSTPAINT = 2;
inline constexpr LRESULT CDRF_DODEFAULT = 0, CDRF_SKIPDEFAULT = 4;
inline constexpr UINT CDIS_SELECTED = 1, CDIS_DISABLED = 4, CDIS_FOCUS = 0x10, CDIS_HOT = 0x40;

// Device-context colours, brushes and fonts the controls' parents answer with.
inline constexpr int TRANSPARENT_BK = 1, OPAQUE_BK = 2;
inline constexpr int DC_BRUSH = 18;
COLORREF SetTextColor(HDC dc, COLORREF colour);
COLORREF GetTextColor(HDC dc);
COLORREF SetBkColor(HDC dc, COLORREF colour);
COLORREF GetBkColor(HDC dc);
int SetBkMode(HDC dc, int mode);  // TRANSPARENT (1) or OPAQUE (2)
int GetBkMode(HDC dc);
COLORREF SetDCBrushColor(HDC dc, COLORREF colour);
HGDIOBJ GetStockObject(int which);
HBRUSH CreateSolidBrush(COLORREF colour);
// FillRect (win.h) also takes solid brushes and the DC brush; SelectObject
// (win.h) also selects a font into a DC.
// A font for WM_SETFONT: a height (negative: character height), weight, italic, face.
HFONT CreateFontW(int height, int width, int escapement, int orientation, int weight, DWORD italic, DWORD underline,
                  DWORD strike, DWORD charset, DWORD out_precision, DWORD clip_precision, DWORD quality,
                  DWORD pitch_family, const WCHAR* face);
// Fills a LOGFONTW from a font (size sizeof(LOGFONTW)); answers the bytes written.
int GetObjectW(HGDIOBJ object, int size, void* out);
// Text on a DC in its selected font and text colour (background per SetBkMode).
inline constexpr UINT DT_TOP = 0, DT_LEFT = 0, DT_CENTER = 0x1, DT_RIGHT = 0x2, DT_VCENTER = 0x4, DT_BOTTOM = 0x8,
                      DT_WORDBREAK = 0x10, DT_SINGLELINE = 0x20, DT_EXPANDTABS = 0x40, DT_NOCLIP = 0x100,
                      DT_CALCRECT = 0x400, DT_NOPREFIX = 0x800;
int DrawTextW(HDC dc, const WCHAR* text, int length, RECT* rect, UINT format);  // length -1: up to the NUL
BOOL GetTextExtentPoint32W(HDC dc, const WCHAR* text, int length, SIZE* out);
// Width in the low word, height in the high (tab stops in pixels, as GetTabbedTextExtentW).
DWORD GetTabbedTextExtentW(HDC dc, const WCHAR* text, int length, int tab_count, const int* tab_stops);

// Buttons.
inline constexpr DWORD BS_PUSHBUTTON = 0, BS_DEFPUSHBUTTON = 1, BS_CHECKBOX = 2, BS_AUTOCHECKBOX = 3,
                       BS_RADIOBUTTON = 4, BS_3STATE = 5, BS_AUTO3STATE = 6, BS_GROUPBOX = 7, BS_AUTORADIOBUTTON = 9,
                       BS_TYPEMASK = 0xF, BS_BITMAP = 0x80, BS_LEFT = 0x100, BS_RIGHT = 0x200, BS_CENTER = 0x300,
                       BS_TOP = 0x400, BS_BOTTOM = 0x800, BS_VCENTER = 0xC00, BS_PUSHLIKE = 0x1000,
                       BS_MULTILINE = 0x2000;
inline constexpr UINT BM_GETCHECK = 0xF0, BM_SETCHECK = 0xF1, BM_GETSTATE = 0xF2, BM_SETSTATE = 0xF3,
                      BM_SETSTYLE = 0xF4, BM_CLICK = 0xF5, BCM_SETIMAGELIST = 0x1602, BCM_GETIMAGELIST = 0x1603;
inline constexpr WPARAM BST_UNCHECKED = 0, BST_CHECKED = 1, BST_INDETERMINATE = 2, BST_PUSHED = 4, BST_FOCUS = 8;
inline constexpr WORD BN_CLICKED = 0, BN_DOUBLECLICKED = 5;
inline constexpr UINT BUTTON_IMAGELIST_ALIGN_LEFT = 0, BUTTON_IMAGELIST_ALIGN_RIGHT = 1,
                      BUTTON_IMAGELIST_ALIGN_CENTER = 4;
struct BUTTON_IMAGELIST {
  HIMAGELIST himl;
  RECT margin;
  UINT uAlign;
};
// Image lists: 32-bit images of one size; ImageList_Add takes the bitmap's pixels (a copy).
inline constexpr UINT ILC_COLOR32 = 0x20, ILC_MASK = 0x1;
HIMAGELIST ImageList_Create(int cx, int cy, UINT flags, int initial, int grow);
int ImageList_Add(HIMAGELIST list, HBITMAP image, HBITMAP mask);
int ImageList_GetImageCount(HIMAGELIST list);
BOOL ImageList_Destroy(HIMAGELIST list);

// Statics.
inline constexpr DWORD SS_LEFT = 0, SS_CENTER = 1, SS_RIGHT = 2, SS_NOTIFY = 0x100, SS_CENTERIMAGE = 0x200,
                       SS_ENDELLIPSIS = 0x4000;

// Edits.
inline constexpr DWORD ES_LEFT = 0, ES_CENTER = 1, ES_RIGHT = 2, ES_MULTILINE = 4, ES_PASSWORD = 0x20,
                       ES_AUTOVSCROLL = 0x40, ES_AUTOHSCROLL = 0x80, ES_NOHIDESEL = 0x100, ES_READONLY = 0x800,
                       ES_WANTRETURN = 0x1000, ES_NUMBER = 0x2000;
inline constexpr UINT EM_GETSEL = 0xB0, EM_SETSEL = 0xB1, EM_GETLINECOUNT = 0xBA, EM_REPLACESEL = 0xC2,
                      EM_LIMITTEXT = 0xC5, EM_SETLIMITTEXT = 0xC5, EM_SETTABSTOPS = 0xCB, EM_SETPASSWORDCHAR = 0xCC,
                      EM_SETREADONLY = 0xCF, EM_GETPASSWORDCHAR = 0xD2, EM_GETLIMITTEXT = 0xD5, EM_POSFROMCHAR = 0xD6,
                      EM_CHARFROMPOS = 0xD7, EM_SETCUEBANNER = 0x1501, EM_GETCUEBANNER = 0x1502;
inline constexpr WORD EN_SETFOCUS = 0x100, EN_KILLFOCUS = 0x200, EN_CHANGE = 0x300, EN_UPDATE = 0x400,
                      EN_MAXTEXT = 0x501;

// List boxes.
inline constexpr DWORD LBS_NOTIFY = 1, LBS_SORT = 2, LBS_NOINTEGRALHEIGHT = 0x100;
inline constexpr UINT LB_ADDSTRING = 0x180, LB_INSERTSTRING = 0x181, LB_DELETESTRING = 0x182, LB_RESETCONTENT = 0x184,
                      LB_SETCURSEL = 0x186, LB_GETCURSEL = 0x188, LB_GETTEXT = 0x189, LB_GETTEXTLEN = 0x18A,
                      LB_GETCOUNT = 0x18B, LB_GETTOPINDEX = 0x18E, LB_GETHORIZONTALEXTENT = 0x193,
                      LB_SETHORIZONTALEXTENT = 0x194, LB_SETTOPINDEX = 0x197, LB_GETITEMRECT = 0x198,
                      LB_GETITEMHEIGHT = 0x1A1, LB_ITEMFROMPOINT = 0x1A9;
inline constexpr LRESULT LB_ERR = -1;
inline constexpr WORD LBN_SELCHANGE = 1, LBN_DBLCLK = 2, LBN_SETFOCUS = 4, LBN_KILLFOCUS = 5;
// The item under a screen point, or -1.
int LBItemFromPt(HWND list, POINT screen, BOOL auto_scroll);

// Combo boxes. The inner edit (id 1001) and the drop-down list keep in slot 0
// the address (below 2 GiB) of a record whose second word is the combo box.
inline constexpr DWORD CBS_SIMPLE = 1, CBS_DROPDOWN = 2, CBS_DROPDOWNLIST = 3, CBS_AUTOHSCROLL = 0x40,
                       CBS_HASSTRINGS = 0x200;
inline constexpr UINT CB_GETEDITSEL = 0x140, CB_LIMITTEXT = 0x141, CB_SETEDITSEL = 0x142, CB_ADDSTRING = 0x143,
                      CB_DELETESTRING = 0x144, CB_GETCOUNT = 0x146, CB_GETCURSEL = 0x147, CB_GETLBTEXT = 0x148,
                      CB_GETLBTEXTLEN = 0x149, CB_INSERTSTRING = 0x14A, CB_RESETCONTENT = 0x14B, CB_SETCURSEL = 0x14E,
                      CB_SHOWDROPDOWN = 0x14F, CB_GETDROPPEDSTATE = 0x157, CB_GETCOMBOBOXINFO = 0x164;
inline constexpr WORD CBN_SELCHANGE = 1, CBN_SETFOCUS = 3, CBN_KILLFOCUS = 4, CBN_EDITCHANGE = 5, CBN_DROPDOWN = 7,
                      CBN_CLOSEUP = 8, CBN_SELENDOK = 9, CBN_SELENDCANCEL = 10;
struct COMBOBOXINFO {
  DWORD cbSize;
  RECT rcItem, rcButton;
  DWORD stateButton;
  HWND hwndCombo, hwndItem, hwndList;
};

// Scroll bars: controls (SB_CTL) and the bars of windows with WS_HSCROLL / WS_VSCROLL.
inline constexpr DWORD SBS_HORZ = 0, SBS_VERT = 1;
inline constexpr int SB_HORZ = 0, SB_VERT = 1, SB_CTL = 2, SB_BOTH = 3;
inline constexpr WORD SB_LINEUP = 0, SB_LINEDOWN = 1, SB_PAGEUP = 2, SB_PAGEDOWN = 3, SB_THUMBPOSITION = 4,
                      SB_THUMBTRACK = 5, SB_TOP = 6, SB_BOTTOM = 7, SB_ENDSCROLL = 8;
inline constexpr UINT SIF_RANGE = 1, SIF_PAGE = 2, SIF_POS = 4, SIF_DISABLENOSCROLL = 8, SIF_TRACKPOS = 0x10,
                      SIF_ALL = 0x17;
inline constexpr UINT SBM_SETSCROLLINFO = 0xE9, SBM_GETSCROLLINFO = 0xEA;
struct SCROLLINFO {
  UINT cbSize, fMask;
  int nMin, nMax;
  UINT nPage;
  int nPos, nTrackPos;
};
// Answers the position after clamping to min .. max - max(page - 1, 0).
int SetScrollInfo(HWND hwnd, int bar, const SCROLLINFO* info, BOOL redraw);
BOOL GetScrollInfo(HWND hwnd, int bar, SCROLLINFO* info);
BOOL ShowScrollBar(HWND hwnd, int bar, BOOL show);

// Trackbars and progress bars.
inline constexpr DWORD TBS_HORZ = 0, TBS_VERT = 2, TBS_DOWNISLEFT = 0x400, PBS_VERTICAL = 4;
inline constexpr UINT TBM_GETPOS = 0x400, TBM_GETRANGEMIN = 0x401, TBM_GETRANGEMAX = 0x402, TBM_SETPOS = 0x405,
                      TBM_SETRANGE = 0x406, TBM_SETRANGEMIN = 0x407, TBM_SETRANGEMAX = 0x408, PBM_SETRANGE = 0x401,
                      PBM_SETPOS = 0x402, PBM_DELTAPOS = 0x403, PBM_SETRANGE32 = 0x406, PBM_GETRANGE = 0x407,
                      PBM_GETPOS = 0x408;
inline constexpr WORD TB_LINEUP = 0, TB_LINEDOWN = 1, TB_PAGEUP = 2, TB_PAGEDOWN = 3, TB_THUMBPOSITION = 4,
                      TB_THUMBTRACK = 5, TB_ENDTRACK = 8;

// Tab controls.
inline constexpr UINT TCM_GETITEMCOUNT = 0x1304, TCM_DELETEITEM = 0x1308, TCM_DELETEALLITEMS = 0x1309,
                      TCM_GETITEMRECT = 0x130A, TCM_GETCURSEL = 0x130B, TCM_SETCURSEL = 0x130C, TCM_ADJUSTRECT = 0x1328,
                      TCM_SETCURFOCUS = 0x1330, TCM_GETITEMW = 0x133C, TCM_SETITEMW = 0x133D, TCM_INSERTITEMW = 0x133E;
inline constexpr UINT TCIF_TEXT = 1, TCIF_IMAGE = 2, TCIF_PARAM = 8;
inline constexpr UINT TCN_SELCHANGE = UINT(-551), TCN_SELCHANGING = UINT(-552);
struct TCITEMW {
  UINT mask;
  DWORD dwState, dwStateMask;
  WCHAR* pszText;
  int cchTextMax, iImage;
  LPARAM lParam;
};

// Month calendars.
struct SYSTEMTIME {
  WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};
inline constexpr DWORD MCS_DAYSTATE = 1, MCS_MULTISELECT = 2, MCS_NOTODAY = 0x10, MCS_SHORTDAYSOFWEEK = 0x80,
                       MCS_NOSELCHANGEONNAV = 0x100;
inline constexpr UINT MCM_GETCURSEL = 0x1001, MCM_SETCURSEL = 0x1002, MCM_GETMINREQRECT = 0x1009, MCM_SETCOLOR = 0x100A,
                      MCM_GETCOLOR = 0x100B, MCM_GETCALENDARGRIDINFO = 0x1018;
inline constexpr int MCSC_BACKGROUND = 0, MCSC_TEXT = 1, MCSC_TITLEBK = 2, MCSC_TITLETEXT = 3, MCSC_MONTHBK = 4,
                     MCSC_TRAILINGTEXT = 5;
inline constexpr UINT MCN_SELECT = UINT(-746), MCN_SELCHANGE = UINT(-749);
struct NMSELCHANGE {
  NMHDR nmhdr;
  SYSTEMTIME stSelStart, stSelEnd;
};
inline constexpr DWORD MCGIP_CALENDARCONTROL = 0, MCGIP_NEXT = 1, MCGIP_PREV = 2, MCGIP_CALENDARCELL = 8;
inline constexpr DWORD MCGIF_DATE = 1, MCGIF_RECT = 2;
struct MCGRIDINFO {
  UINT cbSize;
  DWORD dwPart, dwFlags;
  int iCalendar, iRow, iCol;
  BOOL bSelected;
  SYSTEMTIME stStart, stEnd;
  RECT rc;
  WCHAR* pszName;
  size_t cchName;
};

// Menus. A bar counts in the window's frame (as AdjustWindowRectEx's `menu`).
inline constexpr UINT MIIM_STATE = 0x1, MIIM_ID = 0x2, MIIM_SUBMENU = 0x4, MIIM_DATA = 0x20, MIIM_STRING = 0x40,
                      MIIM_FTYPE = 0x100;
inline constexpr UINT MFT_STRING = 0, MFT_SEPARATOR = 0x800;
inline constexpr UINT MFS_ENABLED = 0, MFS_GRAYED = 0x3, MFS_CHECKED = 0x8, MFS_HILITE = 0x80;
inline constexpr UINT MF_BYCOMMAND = 0, MF_STRING = 0, MF_GRAYED = 1, MF_POPUP = 0x10, MF_HILITE = 0x80,
                      MF_SEPARATOR = 0x800, MF_BYPOSITION = 0x400, MF_MOUSESELECT = 0x8000;
inline constexpr UINT TPM_LEFTBUTTON = 0, TPM_RIGHTBUTTON = 2, TPM_RETURNCMD = 0x100, TPM_NONOTIFY = 0x80;
struct MENUITEMINFOW {
  UINT cbSize, fMask, fType, fState, wID;
  HMENU hSubMenu;
  HBITMAP hbmpChecked, hbmpUnchecked;
  uintptr_t dwItemData;
  WCHAR* dwTypeData;
  UINT cch;
  HBITMAP hbmpItem;
};
HMENU CreateMenu();
HMENU CreatePopupMenu();
BOOL DestroyMenu(HMENU menu);  // and its submenus
BOOL InsertMenuItemW(HMENU menu, UINT item, BOOL by_position, const MENUITEMINFOW* info);
BOOL AppendMenuW(HMENU menu, UINT flags, UINT_PTR id, const WCHAR* text);
BOOL GetMenuItemInfoW(HMENU menu, UINT item, BOOL by_position, MENUITEMINFOW* info);
int GetMenuItemCount(HMENU menu);
HMENU GetSubMenu(HMENU menu, int position);
BOOL SetMenu(HWND hwnd, HMENU menu);
HMENU GetMenu(HWND hwnd);
BOOL DrawMenuBar(HWND hwnd);
// Shows the menu at the screen point and runs its loop; the owner gets
// WM_ENTERMENULOOP, WM_MENUSELECT as items are highlighted, WM_MENUSELECT
// 0xFFFF0000 when it closes, WM_EXITMENULOOP, then a posted WM_COMMAND (the
// item's id, lParam 0) for a choice. With TPM_RETURNCMD the id is answered
// and nothing is posted.
BOOL TrackPopupMenuEx(HMENU menu, UINT flags, int x, int y, HWND owner, void* params);

// Dialogs. Paths are POSIX paths.
struct OPENFILENAMEW {
  DWORD lStructSize;
  HWND hwndOwner;
  HINSTANCE hInstance;
  const WCHAR* lpstrFilter;  // pairs "description\0pattern\0", ended by a second NUL
  WCHAR* lpstrCustomFilter;
  DWORD nMaxCustFilter, nFilterIndex;
  WCHAR* lpstrFile;  // in: initial name; out: a path, or folder\0name\0name\0\0 for a multiple choice
  DWORD nMaxFile;
  WCHAR* lpstrFileTitle;
  DWORD nMaxFileTitle;
  const WCHAR* lpstrInitialDir;
  const WCHAR* lpstrTitle;
  DWORD Flags;
  WORD nFileOffset, nFileExtension;
  const WCHAR* lpstrDefExt;
  LPARAM lCustData;
  void* lpfnHook;
  const WCHAR* lpTemplateName;
  void* pvReserved;
  DWORD dwReserved, FlagsEx;
};
inline constexpr DWORD OFN_HIDEREADONLY = 0x4, OFN_NOCHANGEDIR = 0x8, OFN_ALLOWMULTISELECT = 0x200,
                       OFN_EXPLORER = 0x80000;
BOOL GetOpenFileNameW(OPENFILENAMEW* ofn);
BOOL GetSaveFileNameW(OPENFILENAMEW* ofn);

using PIDLIST_ABSOLUTE = void*;  // an item list: here, a folder's path
using BFFCALLBACK = int (*)(HWND, UINT, LPARAM, LPARAM);
struct BROWSEINFOW {
  HWND hwndOwner;
  PIDLIST_ABSOLUTE pidlRoot;
  WCHAR* pszDisplayName;
  const WCHAR* lpszTitle;
  UINT ulFlags;
  BFFCALLBACK lpfn;
  LPARAM lParam;
  int iImage;
};
inline constexpr UINT BIF_RETURNONLYFSDIRS = 0x1, BIF_EDITBOX = 0x10, BIF_NEWDIALOGSTYLE = 0x40;
inline constexpr UINT BFFM_INITIALIZED = 1, BFFM_SELCHANGED = 2, BFFM_SETSELECTIONW = WM_USER + 103;
PIDLIST_ABSOLUTE SHBrowseForFolderW(BROWSEINFOW* info);
BOOL SHGetPathFromIDListW(PIDLIST_ABSOLUTE list, WCHAR* out);  // out: MAX_PATH (260) units
void CoTaskMemFree(void* p);

struct CHOOSEFONTW {
  DWORD lStructSize;
  HWND hwndOwner;
  HDC hDC;
  LOGFONTW* lpLogFont;
  int iPointSize;  // tenths of a point
  DWORD Flags;
  COLORREF rgbColors;
  LPARAM lCustData;
  void* lpfnHook;
  const WCHAR* lpTemplateName;
  HINSTANCE hInstance;
  WCHAR* lpszStyle;
  WORD nFontType;
  int nSizeMin, nSizeMax;
};
inline constexpr DWORD CF_SCREENFONTS = 0x1, CF_PRINTERFONTS = 0x2, CF_INITTOLOGFONTSTRUCT = 0x40,
                       CF_FIXEDPITCHONLY = 0x4000, CF_NOVERTFONTS = 0x1000000;
BOOL ChooseFontW(CHOOSEFONTW* cf);

inline constexpr UINT MB_OK = 0, MB_OKCANCEL = 1, MB_YESNOCANCEL = 3, MB_YESNO = 4, MB_ICONERROR = 0x10,
                      MB_ICONWARNING = 0x30, MB_ICONINFORMATION = 0x40, MB_TASKMODAL = 0x2000;
inline constexpr int IDOK = 1, IDCANCEL = 2, IDYES = 6, IDNO = 7;
int MessageBoxW(HWND owner, const WCHAR* text, const WCHAR* caption, UINT type);

}  // namespace kez::win

namespace kez::win::layer {

// A scripted answer for the next modal loop (menu, drop-down list, dialog,
// message box), taken in order.
//   item: the menu item or list item at position n; a message box's button id
//   files: the paths a file dialog answers (several for a multiple choice);
//          the first is a folder dialog's folder
//   font: texts[0] the face name, n the size in points, bold and italic
//   cancel: the loop ends with no choice
struct answer {
  enum kind_t { item, files, font, cancel } kind = cancel;
  int n = 0;
  std::vector<std::u16string> texts;
  bool bold = false, italic = false;
};
void respond(const answer& a);
bool answer_pending();
// The dialog or popup window of the innermost modal loop running now, or 0.
HWND modal_window();

}  // namespace kez::win::layer
