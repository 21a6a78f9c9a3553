// Shared parts of the controls, menus and dialogs (not for other modules):
// per-control state beside the window, notifications to the parent,
// colours asked of the parent, drawing helpers and the modal loop.
#pragma once

#include <cairo.h>

#include <memory>
#include <string>
#include <unordered_map>

#include "platform/gfx/gdi_text.h"
#include "platform/win/controls.h"
#include "platform/win/internal.h"

namespace kez::win::detail {

// State kept beside each window of one control class; `T` has a `font`.
template <class T>
struct states {
  std::unordered_map<HWND, std::unique_ptr<T>> map;
  T* get(HWND h) {
    auto it = map.find(h);
    if (it != map.end()) return it->second.get();
    return map.emplace(h, std::make_unique<T>()).first->second.get();
  }
  void drop(HWND h) { map.erase(h); }
  // A procedure's state for its message: none once the window is going
  // (WM_NCDESTROY drops it).
  T* of_message(HWND h, UINT msg) {
    if (msg != WM_NCDESTROY) return get(h);
    drop(h);
    return nullptr;
  }
};

struct font_object final : object {
  explicit font_object(const gfx::log_font& lf) : object(kind::font), font(lf) {}
  gfx::gdi_font font;
};
const gfx::gdi_font& font_of(HFONT f);  // the default GUI font for 0

struct imagelist_object final : object {
  imagelist_object() : object(kind::imagelist) {}
  ~imagelist_object() override {
    for (cairo_surface_t* s : images) cairo_surface_destroy(s);
  }
  int cx = 0, cy = 0;
  std::vector<cairo_surface_t*> images;
};
void draw_image(HDC dc, HIMAGELIST list, int index, int x, int y);

// UTF-16 of UTF-8 text; a malformed byte becomes U+FFFD.
std::u16string utf16_of(std::string_view utf8);

int control_id(HWND ctl);
LRESULT command(HWND ctl, WORD code);  // WM_COMMAND to the parent
LRESULT notify(HWND ctl, UINT code, NMHDR* header = nullptr, size_t size = sizeof(NMHDR));
// Asks the parent for the control's colours: the brush answered (0 when the
// parent left the default) and the DC's text colour after the answer.
struct colours {
  COLORREF back, text;
  bool transparent;
};
colours ask_colours(HWND ctl, HDC dc, UINT msg, COLORREF back, COLORREF text);

// One WM_PAINT of a control: BeginPaint, the DC's cairo context and the
// client rectangle (`area`), EndPaint when the scope ends. `sys` is a system
// colour as the control's theme paints it (light or dark).
struct paint_scope {
  explicit paint_scope(HWND h);
  ~paint_scope();
  paint_scope(const paint_scope&) = delete;
  paint_scope& operator=(const paint_scope&) = delete;
  COLORREF sys(int index) const { return sys_colour(hwnd, index); }
  bool dark() const { return dark_colours(hwnd); }
  struct parts {
    HDC dc;
    cairo_t* cr;
    RECT r;
  };
  HWND hwnd;
  PAINTSTRUCT ps;
  parts area;
};

// Drawing in a DC's coordinates.
cairo_t* cr_of(HDC dc);
void fill(cairo_t* cr, const RECT& r, COLORREF c);
void clear(cairo_t* cr, const RECT& r);  // to fully transparent
void outline(cairo_t* cr, const RECT& r, COLORREF c);
void focus_mark(cairo_t* cr, const RECT& r, COLORREF c);  // the dotted rectangle of the keyboard focus
void draw_text(HDC dc, HFONT font, std::u16string_view text, RECT r, UINT dt, COLORREF colour);
int text_width(HFONT font, std::u16string_view text);
int line_height(HFONT font);
bool inside(const RECT& r, POINT p);
POINT lparam_point(LPARAM l);

// Shared state of the scroll bars: one per SB_CTL control or window bar.
struct bar_info {
  int min = 0, max = 100, pos = 0, track = 0;
  UINT page = 0;
};
int set_bar(bar_info& b, const SCROLLINFO* info);
void get_bar(const bar_info& b, SCROLLINFO* info);
// The parts of a bar laid along `length` pixels with arrows of `arrow`:
// the thumb's start and size.
void bar_thumb(const bar_info& b, int length, int arrow, int* start, int* size);
void paint_bar(HWND owner, cairo_t* cr, const bar_info& b, RECT r, bool vertical);  // in the owner's theme
// Tracks a press on a bar at `at` (the bar's own coordinates): sends `msg`
// (WM_VSCROLL / WM_HSCROLL) to `target` with `lparam` while the button is
// held (line and page steps repeat; the thumb sends SB_THUMBTRACK), then
// SB_THUMBPOSITION after a drag and SB_ENDSCROLL on release.
void track_bar(HWND owner, bar_info* b, RECT r, bool vertical, POINT at, HWND target, UINT msg, LPARAM lparam);

// The next message of a nested loop; false when the loop must end: headless
// input used up, or a WM_QUIT, which is posted again for the outer loop.
bool modal_get(MSG* m);
bool take_answer(layer::answer* out);
struct modal_scope {  // marks the window of the innermost modal loop
  explicit modal_scope(HWND h);
  ~modal_scope();
  HWND saved;
};

// Class registration helper: a class of our own with a procedure.
// WM_SETFONT of a control that only keeps the font: stored, and a repaint
// when the message asks for one.
inline LRESULT keep_font(HWND h, HFONT& font, WPARAM wp, LPARAM lp) {
  font = HFONT(wp);
  if (lp) InvalidateRect(h, nullptr, TRUE);
  return 0;
}

void register_class(const char16_t* name, WNDPROC proc, UINT style = 0, int extra = 0,
                    HBRUSH background = HBRUSH(COLOR_BTNFACE + 1));

LRESULT button_proc(HWND, UINT, WPARAM, LPARAM);
LRESULT static_proc(HWND, UINT, WPARAM, LPARAM);
LRESULT edit_proc(HWND, UINT, WPARAM, LPARAM);
LRESULT listbox_proc(HWND, UINT, WPARAM, LPARAM);
LRESULT combo_proc(HWND, UINT, WPARAM, LPARAM);
LRESULT scrollbar_proc(HWND, UINT, WPARAM, LPARAM);
LRESULT trackbar_proc(HWND, UINT, WPARAM, LPARAM);
LRESULT progress_proc(HWND, UINT, WPARAM, LPARAM);
LRESULT tab_proc(HWND, UINT, WPARAM, LPARAM);
LRESULT calendar_proc(HWND, UINT, WPARAM, LPARAM);
LRESULT menu_popup_proc(HWND, UINT, WPARAM, LPARAM);
LRESULT dialog_proc(HWND, UINT, WPARAM, LPARAM);

// Menu bars: a press on the bar at a screen point runs the bar's menu loop.
void menu_bar_track(HWND hwnd, POINT screen);
// Alt and a letter: the bar's menu with that mnemonic, by the keyboard.
bool menu_bar_key(HWND hwnd, WCHAR ch);

// Window scroll bars: the bar record of a window's SB_HORZ or SB_VERT.
bar_info* window_bar(HWND hwnd, int bar);
void forget_window_bars(HWND hwnd);

}  // namespace kez::win::detail
