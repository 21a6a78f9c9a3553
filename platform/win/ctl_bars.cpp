// Scroll bars (the SCROLLBAR control and the bars of windows with
// WS_HSCROLL / WS_VSCROLL), trackbars and progress bars.
#include <algorithm>

#include "platform/win/ctl.h"

namespace kez::win {
using namespace detail;

namespace {

struct window_bars {
  bar_info horz, vert;
};
std::unordered_map<HWND, window_bars> bars_of_windows;

struct scroll_state {
  bar_info bar;
};
states<scroll_state> scrollbars;

struct track_state {
  int min = 0, max = 100, pos = 0;
  bool dragging = false;
};
states<track_state> trackbars;

struct progress_state {
  int min = 0, max = 100, pos = 0;
};
states<progress_state> progresses;

// The window bars' rectangles in client coordinates (right of and below the client area).
RECT vbar_rect(window* w) {
  RECT c;
  GetClientRect(w->self, &c);
  return RECT{c.right, 0, c.right + GetSystemMetricsForDpi(SM_CXVSCROLL, w->dpi), c.bottom};
}
RECT hbar_rect(window* w) {
  RECT c;
  GetClientRect(w->self, &c);
  return RECT{0, c.bottom, c.right, c.bottom + GetSystemMetricsForDpi(SM_CYHSCROLL, w->dpi)};
}

// `present`: shown at once; else with the next present, so that a bar moved
// along with the face it scrolls goes out in the same present as the face.
void refresh_frame(window* w, bool present = true) {
  if (!w->surface) return;
  paint_frame(w);
  frame_changed(w);
  if (present) present_dirty();
}

bool vertical_track(HWND h) { return GetWindowLongW(h, GWL_STYLE) & TBS_VERT; }

// The channel of a trackbar runs between two margins along its length.
constexpr int track_margin = 8;

int track_pos_at(HWND h, track_state* s, POINT p) {
  RECT r;
  GetClientRect(h, &r);
  bool v = vertical_track(h);
  int length = (v ? r.bottom : r.right) - 2 * track_margin, at = (v ? p.y : p.x) - track_margin;
  if (length <= 0) return s->min;
  return std::clamp(s->min + int((int64_t(at) * (s->max - s->min) + length / 2) / length), s->min, s->max);
}

void track_notify(HWND h, WORD code, int pos) {
  HWND parent = GetParent(h);
  if (parent) SendMessageW(parent, vertical_track(h) ? WM_VSCROLL : WM_HSCROLL, MAKEWPARAM(code, pos), LPARAM(h));
}

}  // namespace

namespace detail {

bar_info* window_bar(HWND hwnd, int bar) {
  if (!IsWindow(hwnd) || (bar != SB_HORZ && bar != SB_VERT)) return nullptr;
  window_bars& b = bars_of_windows[hwnd];
  return bar == SB_HORZ ? &b.horz : &b.vert;
}

void forget_window_bars(HWND hwnd) { bars_of_windows.erase(hwnd); }

void paint_window_bars(window* w, cairo_t* cr) {
  if (!(w->style & (WS_VSCROLL | WS_HSCROLL))) return;
  POINT shift{w->frame.left, w->frame.top};  // client to window coordinates
  auto moved = [&](RECT r) { return RECT{r.left + shift.x, r.top + shift.y, r.right + shift.x, r.bottom + shift.y}; };
  if (w->style & WS_VSCROLL) paint_bar(w->self, cr, *window_bar(w->self, SB_VERT), moved(vbar_rect(w)), true);
  if (w->style & WS_HSCROLL) paint_bar(w->self, cr, *window_bar(w->self, SB_HORZ), moved(hbar_rect(w)), false);
  if ((w->style & WS_VSCROLL) && (w->style & WS_HSCROLL)) {
    RECT v = vbar_rect(w), hz = hbar_rect(w);
    fill(cr, moved(RECT{v.left, hz.top, v.right, hz.bottom}), sys_colour(w->self, COLOR_BTNFACE));
  }
}

bool nonclient_default(window* w, UINT msg, WPARAM wparam, LPARAM lparam, LRESULT* result) {
  switch (msg) {
  case WM_NCHITTEST: {
    POINT p = lparam_point(lparam);
    ScreenToClient(w->self, &p);
    if ((w->style & WS_VSCROLL) && inside(vbar_rect(w), p)) return *result = HTVSCROLL, true;
    if ((w->style & WS_HSCROLL) && inside(hbar_rect(w), p)) return *result = HTHSCROLL, true;
    if (w->menu && w->menu_bar) {
      int bar = GetSystemMetricsForDpi(SM_CYMENU, w->dpi);
      if (p.y < 0 && p.y >= -bar && p.x >= 0 && p.x < w->rect.right - w->rect.left - w->frame.left - w->frame.right)
        return *result = HTMENU, true;
    }
    return false;
  }
  case WM_NCLBUTTONDOWN: {
    POINT p = lparam_point(lparam);
    HWND h = w->self;
    if (wparam == WPARAM(HTMENU)) {
      menu_bar_track(h, p);
    } else if (wparam == WPARAM(HTVSCROLL) || wparam == WPARAM(HTHSCROLL)) {
      bool v = wparam == WPARAM(HTVSCROLL);
      ScreenToClient(h, &p);
      track_bar(h, window_bar(h, v ? SB_VERT : SB_HORZ), v ? vbar_rect(w) : hbar_rect(w), v, p, h,
                v ? WM_VSCROLL : WM_HSCROLL, 0);
      if (window* again = detail::win(h)) refresh_frame(again);
    } else {
      return false;
    }
    *result = 0;
    return true;
  }
  case WM_SYSCHAR: {
    // Alt and a mnemonic letter, in any window of a top-level with a bar.
    HWND top = GetAncestor(w->self, GA_ROOT);
    if (!menu_bar_key(top, WCHAR(wparam))) return false;
    *result = 0;
    return true;
  }
  case WM_NCDESTROY: forget_window_bars(w->self); return false;
  }
  return false;
}

LRESULT scrollbar_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
  case WM_NCDESTROY: scrollbars.drop(h); break;
  case SBM_SETSCROLLINFO: {
    int pos = set_bar(scrollbars.get(h)->bar, reinterpret_cast<const SCROLLINFO*>(lp));
    if (wp) InvalidateRect(h, nullptr, TRUE);
    return pos;
  }
  case SBM_GETSCROLLINFO:
    if (!lp) return 0;
    get_bar(scrollbars.get(h)->bar, reinterpret_cast<SCROLLINFO*>(lp));
    return 1;
  case WM_LBUTTONDOWN:
  case WM_LBUTTONDBLCLK: {
    RECT r;
    GetClientRect(h, &r);
    bool v = GetWindowLongW(h, GWL_STYLE) & SBS_VERT;
    HWND parent = GetParent(h);
    track_bar(h, &scrollbars.get(h)->bar, r, v, lparam_point(lp), parent, v ? WM_VSCROLL : WM_HSCROLL, LPARAM(h));
    if (IsWindow(h)) {
      scrollbars.get(h)->bar.track = scrollbars.get(h)->bar.pos;
      InvalidateRect(h, nullptr, TRUE);
    }
    return 0;
  }
  case WM_ERASEBKGND: return 1;
  case WM_PAINT: {
    paint_scope p(h);
    auto& [dc, cr, r] = p.area;
    ask_colours(h, dc, WM_CTLCOLORSCROLLBAR, p.sys(COLOR_SCROLLBAR), p.sys(COLOR_BTNTEXT));
    paint_bar(h, cr_of(dc), scrollbars.get(h)->bar, r, GetWindowLongW(h, GWL_STYLE) & SBS_VERT);
    return 0;
  }
  }
  return DefWindowProcW(h, msg, wp, lp);
}

LRESULT trackbar_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  track_state* s = trackbars.of_message(h, msg);
  auto redraw = [&](WPARAM yes) {
    if (yes) InvalidateRect(h, nullptr, TRUE);
  };
  switch (msg) {
  case TBM_GETPOS: return s->pos;
  case TBM_GETRANGEMIN: return s->min;
  case TBM_GETRANGEMAX: return s->max;
  case TBM_SETPOS:
    s->pos = std::clamp(int(lp), s->min, s->max);
    redraw(wp);
    return 0;
  case TBM_SETRANGE:
    s->min = int16_t(LOWORD(lp)), s->max = std::max<int>(s->min, int16_t(HIWORD(lp)));
    s->pos = std::clamp(s->pos, s->min, s->max);
    redraw(wp);
    return 0;
  case TBM_SETRANGEMIN:
    s->min = int(lp), s->max = std::max(s->min, s->max), s->pos = std::clamp(s->pos, s->min, s->max);
    redraw(wp);
    return 0;
  case TBM_SETRANGEMAX:
    s->max = std::max(int(lp), s->min), s->pos = std::clamp(s->pos, s->min, s->max);
    redraw(wp);
    return 0;
  case WM_LBUTTONDOWN:
    SetFocus(h);
    SetCapture(h);
    s->dragging = true;
    s->pos = track_pos_at(h, s, lparam_point(lp));
    InvalidateRect(h, nullptr, TRUE);
    track_notify(h, TB_THUMBTRACK, s->pos);
    return 0;
  case WM_MOUSEMOVE:
    if (s->dragging) {
      int p = track_pos_at(h, s, lparam_point(lp));
      if (p != s->pos) {
        s->pos = p;
        InvalidateRect(h, nullptr, TRUE);
        track_notify(h, TB_THUMBTRACK, p);
      }
    }
    return 0;
  case WM_LBUTTONUP:
    if (s->dragging) {
      s->dragging = false;
      if (GetCapture() == h) ReleaseCapture();
      track_notify(h, TB_THUMBPOSITION, s->pos);
      track_notify(h, TB_ENDTRACK, 0);
    }
    return 0;
  case WM_KEYDOWN: {
    int step = wp == VK_LEFT || wp == VK_UP ? -1 : wp == VK_RIGHT || wp == VK_DOWN ? 1 : 0;
    if (!step) return 0;
    s->pos = std::clamp(s->pos + step, s->min, s->max);
    InvalidateRect(h, nullptr, TRUE);
    track_notify(h, step < 0 ? TB_LINEUP : TB_LINEDOWN, 0);
    track_notify(h, TB_ENDTRACK, 0);
    return 0;
  }
  case WM_SETFOCUS:
  case WM_KILLFOCUS: InvalidateRect(h, nullptr, TRUE); return 0;
  case WM_ERASEBKGND: return 1;
  case WM_PAINT: {
    paint_scope p(h);
    auto& [dc, cr, r] = p.area;
    colours c = ask_colours(h, dc, WM_CTLCOLORSTATIC, p.sys(COLOR_BTNFACE), p.sys(COLOR_BTNTEXT));
    if (!c.transparent) fill(cr, r, c.back);
    bool v = vertical_track(h);
    int length = (v ? r.bottom : r.right) - 2 * track_margin;
    int at = track_margin + (s->max > s->min ? int(int64_t(length) * (s->pos - s->min) / (s->max - s->min)) : 0);
    int mid = (v ? r.right : r.bottom) / 2;
    RECT thumb = v ? RECT{mid - 10, at - 4, mid + 10, at + 4} : RECT{at - 4, mid - 10, at + 4, mid + 10};
    if (v)
      fill(cr, RECT{mid - 2, track_margin, mid + 2, r.bottom - track_margin}, RGB(231, 234, 234));
    else
      fill(cr, RECT{track_margin, mid - 2, r.right - track_margin, mid + 2}, RGB(231, 234, 234));
    fill(cr, thumb, p.sys(COLOR_HIGHLIGHT));
    if (GetFocus() == h)
      focus_mark(cr, RECT{thumb.left - 2, thumb.top - 2, thumb.right + 2, thumb.bottom + 2}, c.text);
    return 0;
  }
  }
  return DefWindowProcW(h, msg, wp, lp);
}

LRESULT progress_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  progress_state* s = progresses.of_message(h, msg);
  switch (msg) {
  case PBM_SETRANGE:
  case PBM_SETRANGE32: {
    LRESULT old = MAKELPARAM(s->min, s->max);
    if (msg == PBM_SETRANGE)
      s->min = int16_t(LOWORD(lp)), s->max = int16_t(HIWORD(lp));
    else
      s->min = int(wp), s->max = int(lp);
    s->max = std::max(s->max, s->min);
    s->pos = std::clamp(s->pos, s->min, s->max);
    InvalidateRect(h, nullptr, TRUE);
    return old;
  }
  case PBM_GETRANGE: {
    struct range {
      int low, high;
    };
    if (lp) *reinterpret_cast<range*>(lp) = range{s->min, s->max};
    return wp ? s->min : s->max;
  }
  case PBM_SETPOS:
  case PBM_DELTAPOS: {
    int old = s->pos;
    s->pos = std::clamp(msg == PBM_SETPOS ? int(wp) : s->pos + int(wp), s->min, s->max);
    InvalidateRect(h, nullptr, TRUE);
    return old;
  }
  case PBM_GETPOS: return s->pos;
  case WM_ERASEBKGND: return 1;
  case WM_PAINT: {
    paint_scope p(h);
    auto& [dc, cr, r] = p.area;
    fill(cr, r, RGB(230, 230, 230));
    outline(cr, r, RGB(188, 188, 188));
    double part = s->max > s->min ? double(s->pos - s->min) / (s->max - s->min) : 0;
    if (GetWindowLongW(h, GWL_STYLE) & PBS_VERTICAL) {
      int top = r.bottom - 1 - int((r.bottom - 2) * part);
      fill(cr, RECT{1, top, r.right - 1, r.bottom - 1}, RGB(6, 176, 37));
    } else {
      fill(cr, RECT{1, 1, 1 + int((r.right - 2) * part), r.bottom - 1}, RGB(6, 176, 37));
    }
    return 0;
  }
  }
  return DefWindowProcW(h, msg, wp, lp);
}

}  // namespace detail

int SetScrollInfo(HWND hwnd, int bar, const SCROLLINFO* info, BOOL redraw) {
  if (!info) return 0;
  if (bar == SB_CTL) return int(SendMessageW(hwnd, SBM_SETSCROLLINFO, WPARAM(redraw), LPARAM(info)));
  bar_info* b = window_bar(hwnd, bar);
  if (!b) return 0;
  bar_info before = *b;
  int pos = set_bar(*b, info);
  bool same = before.min == b->min && before.max == b->max && before.pos == b->pos && before.track == b->track &&
              before.page == b->page;
  if (redraw && !same) refresh_frame(detail::win(hwnd), false);
  return pos;
}

BOOL GetScrollInfo(HWND hwnd, int bar, SCROLLINFO* info) {
  if (!info) return 0;
  if (bar == SB_CTL) return BOOL(SendMessageW(hwnd, SBM_GETSCROLLINFO, 0, LPARAM(info)));
  bar_info* b = window_bar(hwnd, bar);
  if (!b) return 0;
  get_bar(*b, info);
  return 1;
}

BOOL ShowScrollBar(HWND hwnd, int bar, BOOL show) {
  window* w = detail::win(hwnd);
  if (!w) return 0;
  if (bar == SB_CTL) return ShowWindow(hwnd, show ? SW_SHOW : SW_HIDE), 1;
  DWORD bits = bar == SB_HORZ ? WS_HSCROLL : bar == SB_VERT ? WS_VSCROLL : bar == SB_BOTH ? WS_HSCROLL | WS_VSCROLL : 0;
  if (!bits) return 0;
  DWORD style = show ? w->style | bits : w->style & ~bits;
  if (style == w->style) return 1;
  w->style = style;
  SetWindowPos(hwnd, 0, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  // The client area changed size though the window did not.
  RECT c;
  GetClientRect(hwnd, &c);
  SendMessageW(hwnd, WM_SIZE, 0, MAKELPARAM(c.right, c.bottom));
  return 1;
}

}  // namespace kez::win
