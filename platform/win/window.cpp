// Classes, windows, slots, geometry and z-order, capture and focus, cursors,
// carets, monitors, DPI and the fixed Windows 10 metrics.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <unistd.h>

#include "platform/win/internal.h"

namespace kez::win {
using namespace detail;

namespace detail {

namespace {
struct slot {
  std::unique_ptr<object> obj;
  uint8_t generation = 1;
};
std::vector<slot> table(1);  // index 0 is never used
std::vector<uint32_t> free_slots;
state the_state;
}  // namespace

state& st() { return the_state; }

HANDLE add(std::unique_ptr<object> obj) {
  uint32_t index;
  if (!free_slots.empty()) {
    index = free_slots.back();
    free_slots.pop_back();
  } else {
    index = uint32_t(table.size());
    table.emplace_back();
  }
  table[index].obj = std::move(obj);
  return HANDLE(table[index].generation) << 24 | index;
}

object* find(HANDLE h, kind k) {
  uint32_t index = h & 0xFFFFFF;
  if (index == 0 || index >= table.size() || table[index].generation != h >> 24) return nullptr;
  object* o = table[index].obj.get();
  return o && o->type == k ? o : nullptr;
}

void remove(HANDLE h) {
  uint32_t index = h & 0xFFFFFF;
  if (index == 0 || index >= table.size() || table[index].generation != h >> 24) return;
  auto obj = std::move(table[index].obj);  // destroyed after the slot is free for reuse
  table[index].generation = uint8_t(table[index].generation + 1) ? table[index].generation + 1 : 1;
  free_slots.push_back(index);
}

window::~window() {
  if (surface) cairo_surface_destroy(surface);
  if (invalid) cairo_region_destroy(invalid);
  if (painting) cairo_region_destroy(painting);
  if (clip) cairo_region_destroy(clip);
}

dc::~dc() {
  if (cr) cairo_destroy(cr);
  if (surface) cairo_surface_destroy(surface);
}

}  // namespace detail

namespace {

std::u16string u16(const WCHAR* s) { return s ? std::u16string(s) : std::u16string(); }

window_class* find_class(const WCHAR* name) {
  for (auto& c : st().classes)
    if (c->name == name) return c.get();
  return nullptr;
}

// Windows 10 at 96 DPI: caption 23, sizing frame 4 + padding 4, fixed frame 3,
// thin border 1, client edge 2, menu bar 20.
int scaled(int v, UINT dpi) { return (v * int(dpi) + 48) / 96; }

RECT frame_of(DWORD style, DWORD ex, bool menu, UINT dpi) {
  if (st().mode == layer::mode::x11 && !(style & WS_CHILD) && (style & WS_CAPTION) == WS_CAPTION) {
    // The window manager's frame around the X window, which holds the menu bar.
    RECT f = x11_frame_for(style);
    f.top += menu ? scaled(20, dpi) : 0;
    return f;
  }
  int edge = 0, caption = 0;
  if (style & WS_THICKFRAME) edge = scaled(4, dpi) + scaled(4, dpi);
  else if ((style & WS_CAPTION) == WS_CAPTION || (style & WS_DLGFRAME)) edge = scaled(3, dpi);
  else if (style & WS_BORDER) edge = 1;
  if ((style & WS_CAPTION) == WS_CAPTION) caption = scaled(23, dpi);
  if (ex & WS_EX_CLIENTEDGE) edge += 2;
  return RECT{edge, edge + caption + (menu ? scaled(20, dpi) : 0), edge, edge};
}

std::vector<HWND>& siblings(const window* w) {
  return w->parent ? detail::win(w->parent)->children : st().tops;
}

void place_in_z(window* w, HWND after) {
  auto& list = siblings(w);
  list.erase(std::remove(list.begin(), list.end(), w->self), list.end());
  if (after == HWND_BOTTOM) { list.push_back(w->self); return; }
  auto at = std::find(list.begin(), list.end(), after);
  if (after == HWND_TOP || after == HWND_TOPMOST || after == HWND_NOTOPMOST || at == list.end())
    list.insert(list.begin(), w->self);
  else
    list.insert(at + 1, w->self);
}

struct caret_state {
  HWND hwnd = 0;
  int width = 0, height = 0;
  POINT pos{};
  int hidden = 1;  // ShowCaret count: shown at 0
} caret;

POINT ime_pt{};

// hwnd is `ancestor` or inside it.
bool within(HWND ancestor, HWND hwnd) {
  for (window* w = detail::win(hwnd); w; w = w->parent ? detail::win(w->parent) : nullptr)
    if (w->self == ancestor) return true;
  return false;
}
HWND ime_hwnd = 0;

}  // namespace

namespace detail {

// The frame with the window's own scroll bars, which AdjustWindowRectEx leaves out.
RECT window_frame(const window* w) {
  RECT f = frame_of(w->style, w->ex_style, w->menu_bar, w->dpi);
  if (st().mode == layer::mode::x11 && !w->parent && (w->style & WS_CAPTION) == WS_CAPTION)
    f = RECT{w->ext.left, w->ext.top + (w->menu_bar ? scaled(20, w->dpi) : 0), w->ext.right, w->ext.bottom};
  if (w->style & WS_VSCROLL) f.right += scaled(17, w->dpi);
  if (w->style & WS_HSCROLL) f.bottom += scaled(17, w->dpi);
  return f;
}

RECT screen_rect(const window* w) {
  RECT r = w->rect;
  if (w->parent) {
    POINT o = client_origin(detail::win(w->parent));
    r.left += o.x, r.right += o.x, r.top += o.y, r.bottom += o.y;
  }
  return r;
}

POINT client_origin(const window* w) {
  RECT r = screen_rect(w);
  return POINT{r.left + w->frame.left, r.top + w->frame.top};
}

bool visible_on_screen(const window* w) {
  for (; w; w = w->parent ? detail::win(w->parent) : nullptr)
    if (!(w->style & WS_VISIBLE)) return false;
  return true;
}

namespace {
bool contains(const window* w, POINT screen) {
  RECT r = screen_rect(w);
  if (screen.x < r.left || screen.x >= r.right || screen.y < r.top || screen.y >= r.bottom) return false;
  return !w->clip || cairo_region_contains_point(w->clip, screen.x - r.left, screen.y - r.top);
}

HWND hit_in(const std::vector<HWND>& list, POINT screen, LRESULT* hit) {
  for (HWND h : list) {
    window* w = detail::win(h);
    if (!w || !(w->style & WS_VISIBLE) || !contains(w, screen)) continue;
    POINT o = client_origin(w);
    RECT r = screen_rect(w);
    bool in_client = screen.x >= o.x && screen.y >= o.y && screen.x < r.right - w->frame.right &&
                     screen.y < r.bottom - w->frame.bottom;
    if (in_client && !(w->style & WS_DISABLED)) {
      if (HWND child = hit_in(w->children, screen, hit)) return child;
    }
    LRESULT ht = SendMessageW(h, WM_NCHITTEST, 0, MAKELPARAM(screen.x, screen.y));
    if (ht == HTTRANSPARENT) continue;
    *hit = ht;
    return h;
  }
  return 0;
}
}  // namespace

HWND hit_window(POINT screen, LRESULT* hit) {
  LRESULT ignored;
  return hit_in(st().tops, screen, hit ? hit : &ignored);
}

void window_moved(window* w) {
  if (w->parent) return;
  RECT r = w->rect;
  auto* m = static_cast<monitor*>(find(MonitorFromRect(&r, MONITOR_DEFAULTTONEAREST), kind::monitor));
  if (!m || m->dpi == w->dpi) return;
  // The suggested rectangle keeps the top-left corner. Only the client area
  // scales: the frame is the new DPI's own, so a round trip between two
  // monitors gives the client size back exactly.
  auto rescale = [&](int v) { return int((int64_t(v) * m->dpi * 2 + w->dpi) / (int64_t(w->dpi) * 2)); };
  int cw = rescale(r.right - r.left - w->frame.left - w->frame.right);
  int ch = rescale(r.bottom - r.top - w->frame.top - w->frame.bottom);
  w->dpi = m->dpi;
  w->frame = window_frame(w);
  RECT suggested{r.left, r.top, r.left + cw + w->frame.left + w->frame.right,
                 r.top + ch + w->frame.top + w->frame.bottom};
  SendMessageW(w->self, WM_DPICHANGED, MAKELPARAM(m->dpi, m->dpi), LPARAM(&suggested));
}

void destroy_all_windows() {
  // Every window goes: none is activated on the way out.
  st().tearing_down = true;
  while (!st().tops.empty()) {
    HWND h = st().tops.front();
    if (!DestroyWindow(h)) st().tops.erase(st().tops.begin());
  }
  st().classes.clear();
  st().tearing_down = false;
  caret = caret_state{};
  ime_hwnd = 0;
}

}  // namespace detail

ATOM RegisterClassExW(const WNDCLASSEXW* cls) {
  if (!cls || !cls->lpszClassName || find_class(cls->lpszClassName) || cls->cbWndExtra < 0) return 0;
  auto c = std::make_unique<window_class>();
  c->name = cls->lpszClassName;
  c->info = *cls;
  c->info.lpszClassName = nullptr;  // the caller's text need not outlive the call
  st().classes.push_back(std::move(c));
  return ATOM(0xC000 + st().classes.size());
}

BOOL UnregisterClassW(const WCHAR* name, HINSTANCE) {
  auto& v = st().classes;
  for (size_t i = 0; i < v.size(); i++)
    if (name && v[i]->name == name) {
      // Windows of the class keep their procedure; only the name goes.
      v[i]->name.clear();
      return 1;
    }
  return 0;
}

BOOL GetClassInfoExW(HINSTANCE, const WCHAR* name, WNDCLASSEXW* out) {
  window_class* c = name ? find_class(name) : nullptr;
  if (!c || !out) return 0;
  *out = c->info;
  out->lpszClassName = c->name.c_str();
  return 1;
}

namespace {
void limit_size(HWND hwnd, int* cx, int* cy);
void activate_after(HWND gone);
}  // namespace

HWND CreateWindowExW(DWORD ex_style, const WCHAR* class_name, const WCHAR* title, DWORD style, int x, int y,
                     int width, int height, HWND parent, HMENU menu, HINSTANCE instance, void* param) {
  window_class* c = class_name ? find_class(class_name) : nullptr;
  if (!c) return 0;
  window* p = parent ? detail::win(parent) : nullptr;
  if ((parent && !p) || ((style & WS_CHILD) && !p)) return 0;
  auto owned = std::make_unique<window>();
  window* w = owned.get();
  w->cls = c;
  w->proc = c->info.lpfnWndProc;
  w->style = style & ~WS_VISIBLE;
  w->ex_style = ex_style;
  if (style & WS_CHILD) w->parent = parent, w->id = intptr_t(menu);
  else w->owner = parent;
  w->rect = RECT{x, y, x + std::max(width, 0), y + std::max(height, 0)};
  w->text = u16(title);
  w->slots.assign(size_t(std::max(c->info.cbWndExtra, 0) + 3) / 4, 0);
  HWND h = add(std::move(owned));
  w->self = h;
  w->dpi = w->parent ? detail::win(w->parent)->dpi : GetDpiForSystem();
  if (!w->parent) {
    RECT r = w->rect;
    auto* m = static_cast<monitor*>(find(MonitorFromRect(&r, MONITOR_DEFAULTTONEAREST), kind::monitor));
    if (m) w->dpi = m->dpi;
  }
  w->menu_bar = menu && !(style & WS_CHILD);
  if (w->menu_bar) w->menu = menu;
  if (st().mode == layer::mode::x11 && !w->parent) w->ext = x11_frame_for(w->style);
  w->frame = window_frame(w);
  place_in_z(w, HWND_TOP);
  if (!(style & WS_CHILD)) {
    // A top-level window starts within its limits, as a resize would hold it.
    int cx = w->rect.right - w->rect.left, cy = w->rect.bottom - w->rect.top;
    limit_size(h, &cx, &cy);
    if (!(w = detail::win(h))) return 0;
    w->rect.right = w->rect.left + cx, w->rect.bottom = w->rect.top + cy;
    width = cx, height = cy;
  }
  CREATESTRUCTW cs{param, instance, menu, parent, height, width, y, x, LONG(style), title, class_name, ex_style};
  if (!SendMessageW(h, WM_NCCREATE, 0, LPARAM(&cs)) || SendMessageW(h, WM_CREATE, 0, LPARAM(&cs)) == -1) {
    DestroyWindow(h);
    return 0;
  }
  if (style & WS_VISIBLE) ShowWindow(h, SW_SHOW);
  return h;
}

BOOL IsWindow(HWND hwnd) { return detail::win(hwnd) != nullptr; }

BOOL DestroyWindow(HWND hwnd) {
  window* w = detail::win(hwnd);
  if (!w || w->dying) return 0;  // a procedure destroying its window again while it goes
  w->dying = true;
  if (w->style & WS_VISIBLE) ShowWindow(hwnd, SW_HIDE);
  SendMessageW(hwnd, WM_DESTROY, 0, 0);
  // Owned pop-ups and children go first; each removes itself from its list.
  for (HWND t : std::vector<HWND>(st().tops))
    if (window* o = detail::win(t); o && o->owner == hwnd) DestroyWindow(t);
  while (!(w = detail::win(hwnd))->children.empty()) {
    HWND child = w->children.front();
    if (!DestroyWindow(child)) w->children.erase(w->children.begin());
  }
  SendMessageW(hwnd, WM_NCDESTROY, 0, 0);
  w = detail::win(hwnd);
  auto& list = siblings(w);
  list.erase(std::remove(list.begin(), list.end(), hwnd), list.end());
  state& s = st();
  if (s.capture == hwnd) s.capture = 0;
  if (s.focus == hwnd) s.focus = 0;
  if (s.active == hwnd && !w->parent) activate_after(hwnd);
  if (s.active == hwnd) s.active = 0;
  if (s.activate_on_enable == hwnd) s.activate_on_enable = 0;
  if (s.hover == hwnd) s.hover = 0;
  if (caret.hwnd == hwnd) caret = caret_state{};
  if (ime_hwnd == hwnd) ime_hwnd = 0;
  kill_timers(hwnd);
  if (w->xid) x11_destroy(w);
  if (w->parent) top_changed(detail::win(w->parent));
  remove(hwnd);
  return 1;
}

LRESULT CallWindowProcW(WNDPROC proc, HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  return proc ? proc(hwnd, msg, wparam, lparam) : DefWindowProcW(hwnd, msg, wparam, lparam);
}

LRESULT DefWindowProcW(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  window* w = detail::win(hwnd);
  if (!w) return 0;
  if (LRESULT r; nonclient_default(w, msg, wparam, lparam, &r)) return r;
  if (LRESULT r; input_default(hwnd, msg, wparam, lparam, &r)) return r;
  switch (msg) {
  case WM_NCCREATE:
    return 1;
  case WM_CLOSE:
    DestroyWindow(hwnd);
    return 0;
  case WM_X11_GONE:
    x11_window_gone(w);
    return 0;
  case WM_SYSKEYDOWN:
    // Alt+F4 asks a top-level window with a system menu to close.
    if (wparam == 0x73) {
      HWND root = GetAncestor(hwnd, GA_ROOT);
      if (window* r = detail::win(root); r && (r->style & WS_SYSMENU)) SendMessageW(root, WM_CLOSE, 0, 0);
    }
    return 0;
  case WM_NCHITTEST: {
    POINT o = client_origin(w), p{GET_X_LPARAM(lparam), GET_Y_LPARAM(lparam)};
    RECT r = screen_rect(w);
    if (p.x >= o.x && p.y >= o.y && p.x < r.right - w->frame.right && p.y < r.bottom - w->frame.bottom) return HTCLIENT;
    return p.y < o.y && (w->style & WS_CAPTION) == WS_CAPTION ? HTCAPTION : HTNOWHERE;
  }
  case WM_ERASEBKGND: {
    RECT r;
    GetClientRect(hwnd, &r);
    FillRect(HDC(wparam), &r, w->cls->info.hbrBackground);
    return 1;
  }
  case WM_PAINT: {
    PAINTSTRUCT ps;
    BeginPaint(hwnd, &ps);
    EndPaint(hwnd, &ps);
    return 0;
  }
  case WM_SETCURSOR:
    if (LOWORD(lparam) == HTCLIENT && w->cls->info.hCursor) {
      SetCursor(w->cls->info.hCursor);
      return 1;
    }
    return w->parent ? SendMessageW(w->parent, msg, wparam, lparam) : 0;
  case WM_MOUSEACTIVATE:
    return 1;  // MA_ACTIVATE
  case WM_SETTEXT:
    w->text = u16(reinterpret_cast<const WCHAR*>(lparam));
    if ((w->style & WS_CAPTION) == WS_CAPTION && w->surface) paint_frame(w), top_changed(w);  // the title shows in the caption
    if (w->xid) x11_title(w);
    return 1;
  case WM_GETTEXTLENGTH:
    return LRESULT(w->text.size());
  case WM_GETTEXT: {
    if (wparam == 0) return 0;
    size_t n = std::min<size_t>(w->text.size(), wparam - 1);
    auto* out = reinterpret_cast<WCHAR*>(lparam);
    std::memcpy(out, w->text.data(), n * sizeof(WCHAR));
    out[n] = 0;
    return LRESULT(n);
  }
  case WM_DPICHANGED: {
    auto* r = reinterpret_cast<const RECT*>(lparam);
    SetWindowPos(hwnd, 0, r->left, r->top, r->right - r->left, r->bottom - r->top, SWP_NOZORDER | SWP_NOACTIVATE);
    return 0;
  }
  }
  return 0;
}

LONG GetWindowLongW(HWND hwnd, int index) { return LONG(GetWindowLongPtrW(hwnd, index)); }
LONG SetWindowLongW(HWND hwnd, int index, LONG value) { return LONG(SetWindowLongPtrW(hwnd, index, value)); }

intptr_t GetWindowLongPtrW(HWND hwnd, int index) {
  window* w = detail::win(hwnd);
  if (!w) return 0;
  switch (index) {
  case GWL_WNDPROC: return intptr_t(w->proc);
  case GWL_ID: return w->id;
  case GWL_STYLE: return LONG(w->style);
  case GWL_EXSTYLE: return LONG(w->ex_style);
  case GWLP_USERDATA: return w->user_data;
  }
  if (index < 0 || index % 4 || size_t(index / 4) >= w->slots.size()) return 0;
  return w->slots[size_t(index / 4)];
}

intptr_t SetWindowLongPtrW(HWND hwnd, int index, intptr_t value) {
  window* w = detail::win(hwnd);
  if (!w) return 0;
  intptr_t old = GetWindowLongPtrW(hwnd, index);
  switch (index) {
  case GWL_WNDPROC: w->proc = reinterpret_cast<WNDPROC>(value); return old;
  case GWL_ID: w->id = value; return old;
  case GWL_STYLE: {
    bool show = value & WS_VISIBLE, was = w->style & WS_VISIBLE;
    w->style = DWORD(value) & ~WS_VISIBLE;
    w->style |= was ? DWORD(WS_VISIBLE) : 0u;
    if (show != was) ShowWindow(hwnd, show ? SW_SHOWNA : SW_HIDE);
    return old;
  }
  case GWL_EXSTYLE: w->ex_style = DWORD(value); top_changed(w); return old;
  case GWLP_USERDATA: w->user_data = value; return old;
  }
  if (index < 0 || index % 4 || size_t(index / 4) >= w->slots.size()) return 0;
  w->slots[size_t(index / 4)] = int32_t(value);
  return old;
}

BOOL SetWindowTextW(HWND hwnd, const WCHAR* text) {
  return detail::win(hwnd) ? BOOL(SendMessageW(hwnd, WM_SETTEXT, 0, LPARAM(text))) : 0;
}
int GetWindowTextW(HWND hwnd, WCHAR* out, int capacity) {
  return capacity > 0 ? int(SendMessageW(hwnd, WM_GETTEXT, WPARAM(capacity), LPARAM(out))) : 0;
}
int GetWindowTextLengthW(HWND hwnd) { return int(SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0)); }

HWND GetParent(HWND hwnd) {
  window* w = detail::win(hwnd);
  return !w ? 0 : w->parent ? w->parent : w->owner;
}

HWND SetParent(HWND hwnd, HWND parent) {
  window* w = detail::win(hwnd);
  window* p = parent ? detail::win(parent) : nullptr;
  if (!w || (parent && !p)) return 0;
  for (window* a = p; a; a = a->parent ? detail::win(a->parent) : nullptr)
    if (a == w) return 0;  // a window cannot become its own descendant
  HWND old = w->parent;
  auto& list = siblings(w);
  list.erase(std::remove(list.begin(), list.end(), hwnd), list.end());
  if (old) top_changed(detail::win(old));
  w->parent = parent;
  place_in_z(w, HWND_TOP);
  top_changed(w);
  return old;
}

HWND GetAncestor(HWND hwnd, UINT flags) {
  window* w = detail::win(hwnd);
  if (!w) return 0;
  if (flags == GA_PARENT) return w->parent;
  while (w->parent) w = detail::win(w->parent);
  if (flags == GA_ROOTOWNER)
    while (w->owner && detail::win(w->owner)) w = detail::win(w->owner);
  return w->self;
}

HWND GetWindow(HWND hwnd, UINT cmd) {
  window* w = detail::win(hwnd);
  if (!w) return 0;
  if (cmd == GW_OWNER) return w->owner;
  if (cmd == GW_CHILD) return w->children.empty() ? 0 : w->children.front();
  auto& list = siblings(w);
  auto at = std::find(list.begin(), list.end(), hwnd);
  switch (cmd) {
  case GW_HWNDFIRST: return list.front();
  case GW_HWNDLAST: return list.back();
  case GW_HWNDNEXT: return at + 1 < list.end() ? *(at + 1) : 0;
  case GW_HWNDPREV: return at > list.begin() ? *(at - 1) : 0;
  }
  return 0;
}

DWORD GetCurrentProcessId() { return DWORD(getpid()); }
DWORD GetWindowThreadProcessId(HWND hwnd, DWORD* process) {
  if (!detail::win(hwnd)) return 0;
  if (process) *process = GetCurrentProcessId();
  return GetCurrentThreadId();
}

namespace {

// A top-level window is at most the whole desktop with its frame, unless
// its procedure answers WM_GETMINMAXINFO with other limits.
void limit_size(HWND hwnd, int* cx, int* cy) {
  window* w = detail::win(hwnd);
  if (!w || (w->style & WS_CHILD) || st().monitors.empty()) return;
  MINMAXINFO mm{};
  min_max_info(hwnd, &mm);
  *cx = std::max<int>(std::min<int>(*cx, mm.ptMaxTrackSize.x), mm.ptMinTrackSize.x);
  *cy = std::max<int>(std::min<int>(*cy, mm.ptMaxTrackSize.y), mm.ptMinTrackSize.y);
}

}  // namespace

void detail::min_max_info(HWND hwnd, MINMAXINFO* out) {
  window* w = detail::win(hwnd);
  *out = MINMAXINFO{};
  if (!w) return;
  RECT all{0, 0, 0, 0}, first{0, 0, 0, 0};
  for (HMONITOR m : st().monitors) {
    MONITORINFO mi{sizeof mi, {}, {}, 0};
    if (!GetMonitorInfoW(m, &mi)) continue;
    if (first.right == first.left) first = mi.rcMonitor;
    all = all.right == all.left ? mi.rcMonitor
                                : RECT{std::min(all.left, mi.rcMonitor.left), std::min(all.top, mi.rcMonitor.top),
                                       std::max(all.right, mi.rcMonitor.right), std::max(all.bottom, mi.rcMonitor.bottom)};
  }
  LONG fw = w->frame.left + w->frame.right, fh = w->frame.top + w->frame.bottom;
  MINMAXINFO mm{};
  mm.ptMaxSize = POINT{first.right - first.left + fw, first.bottom - first.top + fh};
  mm.ptMaxPosition = POINT{-w->frame.left, -w->frame.top};
  mm.ptMaxTrackSize = POINT{all.right - all.left + fw, all.bottom - all.top + fh};
  SendMessageW(hwnd, WM_GETMINMAXINFO, 0, LPARAM(&mm));
  *out = mm;
}

BOOL SetWindowPos(HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags) {
  window* w = detail::win(hwnd);
  if (!w) return 0;
  WINDOWPOS pos{hwnd, after, x, y, cx, cy, flags};
  if (!(flags & SWP_NOSENDCHANGING)) SendMessageW(hwnd, WM_WINDOWPOSCHANGING, 0, LPARAM(&pos));
  if (!(flags & SWP_NOSIZE)) limit_size(hwnd, &pos.cx, &pos.cy);
  if (!(w = detail::win(hwnd))) return 0;
  RECT old = w->rect;
  if (!(flags & SWP_NOMOVE)) {
    w->rect.right += pos.x - w->rect.left, w->rect.bottom += pos.y - w->rect.top;
    w->rect.left = pos.x, w->rect.top = pos.y;
  }
  if (!(flags & SWP_NOSIZE)) w->rect.right = w->rect.left + std::max(pos.cx, 0), w->rect.bottom = w->rect.top + std::max(pos.cy, 0);
  if (!(flags & SWP_NOZORDER)) place_in_z(w, pos.hwndInsertAfter);
  if (flags & SWP_FRAMECHANGED) {
    // Styles changed by SetWindowLongW take effect here, as on Windows.
    w->frame = window_frame(w);
    if (w->surface) paint_frame(w);
    invalidate_client(w, nullptr, true, false);
  }
  bool moved = old.left != w->rect.left || old.top != w->rect.top;
  bool sized = old.right - old.left != w->rect.right - w->rect.left || old.bottom - old.top != w->rect.bottom - w->rect.top;
  if (flags & SWP_SHOWWINDOW) ShowWindow(hwnd, (flags & SWP_NOACTIVATE) ? SW_SHOWNA : SW_SHOW);
  if (flags & SWP_HIDEWINDOW) ShowWindow(hwnd, SW_HIDE);
  pos.x = w->rect.left, pos.y = w->rect.top, pos.cx = w->rect.right - w->rect.left, pos.cy = w->rect.bottom - w->rect.top;
  if (moved || sized || !(flags & SWP_NOZORDER)) {
    if (sized) invalidate_client(w, nullptr, true, true);
    if (w->xid) x11_place(w);
    if (w->parent) top_changed(detail::win(w->parent));
    top_changed(w);
    SendMessageW(hwnd, WM_WINDOWPOSCHANGED, 0, LPARAM(&pos));
    if (moved) {
      POINT o{w->rect.left, w->rect.top};
      SendMessageW(hwnd, WM_MOVE, 0, MAKELPARAM(o.x + w->frame.left, o.y + w->frame.top));
    }
    if (sized) {
      RECT c;
      GetClientRect(hwnd, &c);
      SendMessageW(hwnd, WM_SIZE, (w->style & WS_MAXIMIZE) ? SIZE_MAXIMIZED : SIZE_RESTORED, MAKELPARAM(c.right, c.bottom));
    }
    if ((moved || sized) && detail::win(hwnd)) window_moved(detail::win(hwnd));
  }
  return 1;
}

BOOL MoveWindow(HWND hwnd, int x, int y, int width, int height, BOOL) {
  return SetWindowPos(hwnd, 0, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE);
}

HDWP BeginDeferWindowPos(int count) {
  if (count < 0) return 0;
  auto b = std::make_unique<defer_batch>();
  b->items.reserve(size_t(count));
  return add(std::move(b));
}

HDWP DeferWindowPos(HDWP batch, HWND hwnd, HWND after, int x, int y, int cx, int cy, UINT flags) {
  auto* b = static_cast<defer_batch*>(find(batch, kind::defer));
  if (!b || !detail::win(hwnd)) {
    if (b) remove(batch);  // as on Windows, a failed entry ends the batch
    return 0;
  }
  b->items.push_back(WINDOWPOS{hwnd, after, x, y, cx, cy, flags});
  return batch;
}

BOOL EndDeferWindowPos(HDWP batch) {
  auto* b = static_cast<defer_batch*>(find(batch, kind::defer));
  if (!b) return 0;
  std::vector<WINDOWPOS> items = std::move(b->items);
  remove(batch);
  for (const WINDOWPOS& p : items) SetWindowPos(p.hwnd, p.hwndInsertAfter, p.x, p.y, p.cx, p.cy, p.flags);
  return 1;
}

namespace {
// The active window went (hidden or destroyed): its owner takes the
// activation, else the topmost other visible top-level window. One that is
// disabled (the owner of a modal window still closing) takes it when it is
// enabled again.
void activate_after(HWND gone) {
  state& s = st();
  if (s.tearing_down) return;
  window* w = detail::win(gone);
  HWND next = 0;
  if (w && w->owner && detail::win(w->owner) && visible_on_screen(detail::win(w->owner))) next = w->owner;
  for (size_t i = 0; !next && i < s.tops.size(); i++) {
    window* t = detail::win(s.tops[i]);
    if (t && s.tops[i] != gone && visible_on_screen(t) && !(t->ex_style & WS_EX_NOACTIVATE)) next = s.tops[i];
  }
  if (next && !(detail::win(next)->style & WS_DISABLED)) {
    SetActiveWindow(next);
    return;
  }
  s.activate_on_enable = next;
  s.active = 0;
  if (s.focus && within(gone, s.focus)) SetFocus(0);
  SendMessageW(gone, WM_NCACTIVATE, 0, 0);
  SendMessageW(gone, WM_ACTIVATE, WA_INACTIVE, 0);
}
}  // namespace

void detail::deactivate(HWND hwnd) {
  state& s = st();
  if (s.active != hwnd || !detail::win(hwnd)) return;
  s.active = 0;
  SendMessageW(hwnd, WM_NCACTIVATE, 0, 0);
  SendMessageW(hwnd, WM_ACTIVATE, WA_INACTIVE, 0);
  if (s.focus && within(hwnd, s.focus)) SetFocus(0);
}

BOOL ShowWindow(HWND hwnd, int cmd) {
  window* w = detail::win(hwnd);
  if (!w) return 0;
  bool was = w->style & WS_VISIBLE, show = cmd != SW_HIDE;
  if (was == show) return was;
  SendMessageW(hwnd, WM_SHOWWINDOW, show, 0);
  if (show) w->style |= WS_VISIBLE;
  else w->style &= ~WS_VISIBLE;
  state& s = st();
  if (!show) {
    for (HWND* h : {&s.capture, &s.hover})
      if (*h && within(hwnd, *h)) *h = 0;
    if (s.focus && within(hwnd, s.focus)) SetFocus(w->parent);
  }
  if (show) invalidate_client(w, nullptr, true, true);
  if (w->parent) top_changed(w);  // its own place, shown or uncovered
  else {
    if (s.mode == layer::mode::x11) x11_show(w, show);
    top_changed(w);
    if (!show && s.active == hwnd) activate_after(hwnd);
    if (show && cmd != SW_SHOWNA && cmd != SW_SHOWNOACTIVATE && !(w->ex_style & WS_EX_NOACTIVATE)) {
      if (s.active == hwnd) {
        // Made active while hidden (a focus given to one of its children):
        // the activation it had then reached no screen, so it comes again
        // now that the window is there, and its procedure places the focus.
        SendMessageW(hwnd, WM_NCACTIVATE, 1, 0);
        SendMessageW(hwnd, WM_ACTIVATE, WA_ACTIVE, 0);
        if ((w = detail::win(hwnd)) && w->xid) x11_focus(w);
      } else {
        SetActiveWindow(hwnd);
      }
    }
  }
  return was;
}

BOOL IsChild(HWND parent, HWND hwnd) { return hwnd != parent && within(parent, hwnd); }

BOOL IsWindowVisible(HWND hwnd) {
  window* w = detail::win(hwnd);
  return w && visible_on_screen(w);
}

BOOL BringWindowToTop(HWND hwnd) { return SetWindowPos(hwnd, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE); }

BOOL GetWindowRect(HWND hwnd, RECT* out) {
  window* w = detail::win(hwnd);
  if (!w || !out) return 0;
  *out = screen_rect(w);
  return 1;
}

BOOL GetClientRect(HWND hwnd, RECT* out) {
  window* w = detail::win(hwnd);
  if (!w || !out) return 0;
  *out = RECT{0, 0, std::max(0, int(w->rect.right - w->rect.left - w->frame.left - w->frame.right)),
              std::max(0, int(w->rect.bottom - w->rect.top - w->frame.top - w->frame.bottom))};
  return 1;
}

BOOL ClientToScreen(HWND hwnd, POINT* pt) {
  window* w = detail::win(hwnd);
  if (!w || !pt) return 0;
  POINT o = client_origin(w);
  pt->x += o.x, pt->y += o.y;
  return 1;
}

BOOL ScreenToClient(HWND hwnd, POINT* pt) {
  window* w = detail::win(hwnd);
  if (!w || !pt) return 0;
  POINT o = client_origin(w);
  pt->x -= o.x, pt->y -= o.y;
  return 1;
}

int MapWindowPoints(HWND from, HWND to, POINT* pts, UINT count) {
  POINT a{}, b{};
  if (from && !ClientToScreen(from, &a)) return 0;
  if (to && !ClientToScreen(to, &b)) return 0;
  int dx = a.x - b.x, dy = a.y - b.y;
  for (UINT i = 0; i < count; i++) pts[i].x += dx, pts[i].y += dy;
  return MAKELPARAM(dx, dy);
}

HWND WindowFromPoint(POINT screen) { return hit_window(screen, nullptr); }

HWND ChildWindowFromPointEx(HWND parent, POINT client, UINT flags) {
  window* p = detail::win(parent);
  if (!p) return 0;
  RECT c;
  GetClientRect(parent, &c);
  if (client.x < 0 || client.y < 0 || client.x >= c.right || client.y >= c.bottom) return 0;
  for (HWND h : p->children) {
    window* w = detail::win(h);
    if ((flags & CWP_SKIPINVISIBLE) && !(w->style & WS_VISIBLE)) continue;
    if ((flags & CWP_SKIPDISABLED) && (w->style & WS_DISABLED)) continue;
    if ((flags & CWP_SKIPTRANSPARENT) && (w->ex_style & WS_EX_TRANSPARENT)) continue;
    if (client.x >= w->rect.left && client.x < w->rect.right && client.y >= w->rect.top && client.y < w->rect.bottom)
      return h;
  }
  return parent;
}

BOOL AdjustWindowRectExForDpi(RECT* rect, DWORD style, BOOL menu, DWORD ex_style, UINT dpi) {
  if (!rect) return 0;
  RECT f = frame_of(style, ex_style, menu, dpi);
  rect->left -= f.left, rect->top -= f.top, rect->right += f.right, rect->bottom += f.bottom;
  return 1;
}
BOOL AdjustWindowRectEx(RECT* rect, DWORD style, BOOL menu, DWORD ex_style) {
  return AdjustWindowRectExForDpi(rect, style, menu, ex_style, 96);
}

int SetWindowRgn(HWND hwnd, HRGN rgn, BOOL) {
  window* w = detail::win(hwnd);
  auto* r = rgn ? static_cast<region*>(find(rgn, kind::region)) : nullptr;
  if (!w || (rgn && !r)) return 0;
  if (w->clip) cairo_region_destroy(w->clip);
  w->clip = r ? cairo_region_copy(r->rgn) : nullptr;
  if (rgn) remove(rgn);  // the window owns it now
  top_changed(w);
  if (w->parent) top_changed(detail::win(w->parent));
  return 1;
}

int GetWindowRgn(HWND hwnd, HRGN out) {
  window* w = detail::win(hwnd);
  auto* r = static_cast<region*>(find(out, kind::region));
  if (!w || !r || !w->clip) return ERROR_REGION;
  cairo_region_destroy(r->rgn);
  r->rgn = cairo_region_copy(w->clip);
  return cairo_region_num_rectangles(r->rgn) > 1 ? COMPLEXREGION : cairo_region_is_empty(r->rgn) ? NULLREGION : SIMPLEREGION;
}

HRGN CreateRectRgn(int left, int top, int right, int bottom) {
  auto r = std::make_unique<region>();
  cairo_rectangle_int_t box{std::min(left, right), std::min(top, bottom), std::abs(right - left), std::abs(bottom - top)};
  if (box.width && box.height) cairo_region_union_rectangle(r->rgn, &box);
  return add(std::move(r));
}

int CombineRgn(HRGN dest, HRGN a, HRGN b, int mode) {
  auto* d = static_cast<region*>(find(dest, kind::region));
  auto* ra = static_cast<region*>(find(a, kind::region));
  auto* rb = static_cast<region*>(find(b, kind::region));
  if (!d || !ra || (mode != RGN_COPY && !rb)) return ERROR_REGION;
  cairo_region_t* out = cairo_region_copy(ra->rgn);
  switch (mode) {
  case RGN_AND: cairo_region_intersect(out, rb->rgn); break;
  case RGN_OR: cairo_region_union(out, rb->rgn); break;
  case RGN_XOR: cairo_region_xor(out, rb->rgn); break;
  case RGN_DIFF: cairo_region_subtract(out, rb->rgn); break;
  case RGN_COPY: break;
  default: cairo_region_destroy(out); return ERROR_REGION;
  }
  cairo_region_destroy(d->rgn);
  d->rgn = out;
  return cairo_region_is_empty(out) ? NULLREGION : cairo_region_num_rectangles(out) > 1 ? COMPLEXREGION : SIMPLEREGION;
}

int GetRgnBox(HRGN rgn, RECT* out) {
  auto* r = static_cast<region*>(find(rgn, kind::region));
  if (!r || !out) return ERROR_REGION;
  cairo_rectangle_int_t e;
  cairo_region_get_extents(r->rgn, &e);
  *out = RECT{e.x, e.y, e.x + e.width, e.y + e.height};
  return cairo_region_is_empty(r->rgn) ? NULLREGION : cairo_region_num_rectangles(r->rgn) > 1 ? COMPLEXREGION : SIMPLEREGION;
}

BOOL PtInRegion(HRGN rgn, int x, int y) {
  auto* r = static_cast<region*>(find(rgn, kind::region));
  return r && cairo_region_contains_point(r->rgn, x, y);
}

BOOL DeleteObject(HGDIOBJ object) {
  for (kind k : {kind::region, kind::bitmap, kind::cursor, kind::brush, kind::font})
    if (find(object, k)) {
      remove(object);
      return 1;
    }
  return 0;
}

HWND SetCapture(HWND hwnd) {
  HWND old = st().capture;
  if (!detail::win(hwnd)) return old;
  st().capture = hwnd;
  if (old && old != hwnd) SendMessageW(old, WM_CAPTURECHANGED, 0, LPARAM(hwnd));
  return old;
}

BOOL ReleaseCapture() {
  HWND old = st().capture;
  st().capture = 0;
  if (old) SendMessageW(old, WM_CAPTURECHANGED, 0, 0);
  return 1;
}

HWND GetCapture() { return st().capture; }

HWND SetFocus(HWND hwnd) {
  state& s = st();
  HWND old = s.focus;
  if (hwnd && !detail::win(hwnd)) return 0;
  if (hwnd == old) return old;
  if (hwnd) {
    HWND top = GetAncestor(hwnd, GA_ROOT);
    if (top != s.active) SetActiveWindow(top);
  }
  s.focus = hwnd;
  // The input method follows the focus: the window losing it lets its
  // context go, the one gaining it takes its own.
  if (old && detail::win(old)) SendMessageW(old, WM_IME_SETCONTEXT, 0, 0);
  if (old && detail::win(old)) SendMessageW(old, WM_KILLFOCUS, WPARAM(hwnd), 0);
  if (hwnd && s.focus == hwnd) SendMessageW(hwnd, WM_IME_SETCONTEXT, 1, 0);
  if (hwnd && s.focus == hwnd && s.mode == layer::mode::x11) x11_ime_focus(hwnd);
  if (hwnd && s.focus == hwnd) SendMessageW(hwnd, WM_SETFOCUS, WPARAM(old), 0);
  return old;
}

HWND GetFocus() { return st().focus; }

HWND SetActiveWindow(HWND hwnd) {
  state& s = st();
  HWND old = s.active;
  window* w = detail::win(hwnd);
  if (!w || w->parent || hwnd == old) return old;
  s.active = hwnd;
  if (old && detail::win(old)) {
    SendMessageW(old, WM_NCACTIVATE, 0, 0);
    SendMessageW(old, WM_ACTIVATE, WA_INACTIVE, LPARAM(hwnd));
  }
  SendMessageW(hwnd, WM_NCACTIVATE, 1, 0);
  SendMessageW(hwnd, WM_ACTIVATE, WA_ACTIVE, LPARAM(old));
  if (s.active == hwnd && (!s.focus || GetAncestor(s.focus, GA_ROOT) != hwnd)) SetFocus(hwnd);
  if ((w = detail::win(hwnd)) && w->xid) x11_focus(w);
  return old;
}

HWND GetActiveWindow() { return st().active; }
BOOL SetForegroundWindow(HWND hwnd) {
  if (!detail::win(hwnd)) return 0;
  BringWindowToTop(GetAncestor(hwnd, GA_ROOT));
  SetActiveWindow(GetAncestor(hwnd, GA_ROOT));
  return 1;
}
HWND GetForegroundWindow() { return st().active; }

BOOL EnableWindow(HWND hwnd, BOOL enable) {
  window* w = detail::win(hwnd);
  if (!w) return 0;
  BOOL was_disabled = (w->style & WS_DISABLED) != 0;
  if (was_disabled == !enable) return was_disabled;
  if (enable) {
    w->style &= ~WS_DISABLED;
  } else {
    w->style |= WS_DISABLED;
    if (st().focus && within(hwnd, st().focus)) SetFocus(0);
    if (st().capture == hwnd) ReleaseCapture();
  }
  SendMessageW(hwnd, WM_ENABLE, enable, 0);
  state& s = st();
  if (enable && s.activate_on_enable == hwnd) {
    s.activate_on_enable = 0;
    if (!s.active && detail::win(hwnd) && visible_on_screen(detail::win(hwnd))) SetActiveWindow(hwnd);
  }
  return was_disabled;
}

BOOL IsWindowEnabled(HWND hwnd) {
  window* w = detail::win(hwnd);
  return w && !(w->style & WS_DISABLED);
}

BOOL CreateCaret(HWND hwnd, HBITMAP, int width, int height) {
  if (!detail::win(hwnd)) return 0;
  DestroyCaret();
  caret = caret_state{hwnd, width ? width : 1, height ? height : 16, {}, 1};
  return 1;
}
BOOL DestroyCaret() {
  caret = caret_state{};
  return 1;
}
BOOL SetCaretPos(int x, int y) {
  if (!caret.hwnd) return 0;
  caret.pos = POINT{x, y};
  // The input method composes at the caret, unless a composition window was
  // placed for this window: an X input method's spot is on the baseline,
  // taken as the caret's foot.
  if (st().mode == layer::mode::x11 && ImmGetContext(caret.hwnd) != ime_hwnd)
    x11_ime_spot(caret.hwnd, POINT{x, y + caret.height});
  return 1;
}
namespace detail {
void ime_spot_again() {
  if (st().mode != layer::mode::x11) return;
  if (caret.hwnd && detail::win(caret.hwnd) && ImmGetContext(caret.hwnd) != ime_hwnd)
    x11_ime_spot(caret.hwnd, POINT{caret.pos.x, caret.pos.y + caret.height});
  else if (ime_hwnd && detail::win(ime_hwnd))
    x11_ime_spot(ime_hwnd, POINT{ime_pt.x, ime_pt.y + (caret.hwnd == ime_hwnd ? caret.height : 0)});
}
}  // namespace detail

BOOL GetCaretPos(POINT* out) {
  if (!out) return 0;
  *out = caret.pos;
  return 1;
}
BOOL ShowCaret(HWND hwnd) {
  if (!caret.hwnd || (hwnd && hwnd != caret.hwnd) || caret.hidden == 0) return 0;
  --caret.hidden;
  return 1;
}
BOOL HideCaret(HWND hwnd) {
  if (!caret.hwnd || (hwnd && hwnd != caret.hwnd)) return 0;
  caret.hidden++;
  return 1;
}
UINT GetCaretBlinkTime() { return 500; }

// The caret of `w`, when it has a shown one, in `w`'s client coordinates;
// it is drawn in the "on" half of each blink period.
bool detail::caret_rect(const window* w, RECT* out) {
  if (caret.hwnd != w->self || caret.hidden > 0 || (now() / GetCaretBlinkTime()) % 2) return false;
  *out = RECT{caret.pos.x, caret.pos.y, caret.pos.x + caret.width, caret.pos.y + caret.height};
  return true;
}

HWND detail::caret_window() { return caret.hidden > 0 ? 0 : caret.hwnd; }

HCURSOR LoadCursorW(HINSTANCE, uintptr_t id) {
  // One shared handle per system cursor, as Windows gives.
  static std::vector<std::pair<uintptr_t, HCURSOR>> loaded;
  for (auto& [k, h] : loaded)
    if (k == id && find(h, kind::cursor)) return h;
  if (id < IDC_ARROW || id > IDC_HAND) return 0;
  auto c = std::make_unique<cursor>();
  c->system_id = id;
  HCURSOR h = add(std::move(c));
  loaded.emplace_back(id, h);
  return h;
}
HICON LoadIconW(HINSTANCE instance, uintptr_t id) { return LoadCursorW(instance, id ? uintptr_t(IDC_ARROW) : 0); }

HICON CreateIconFromPixels(const uint32_t* pixels, int width, int height, int hot_x, int hot_y) {
  if (!pixels || width <= 0 || height <= 0) return 0;
  auto c = std::make_unique<cursor>();
  c->image = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_surface_flush(c->image);
  unsigned char* data = cairo_image_surface_get_data(c->image);
  int stride = cairo_image_surface_get_stride(c->image);
  for (int y = 0; y < height; y++) {
    auto* row = reinterpret_cast<uint32_t*>(data + y * stride);
    for (int x = 0; x < width; x++) {
      uint32_t p = pixels[y * width + x], a = p >> 24;
      auto pre = [a](uint32_t c) { return (c * a + 127) / 255; };
      row[x] = a << 24 | pre(p >> 16 & 0xFF) << 16 | pre(p >> 8 & 0xFF) << 8 | pre(p & 0xFF);
    }
  }
  cairo_surface_mark_dirty(c->image);
  c->hot = POINT{hot_x, hot_y};
  return add(std::move(c));
}

BOOL DestroyIcon(HICON icon) {
  auto* c = static_cast<cursor*>(find(icon, kind::cursor));
  if (!c || c->system_id) return 0;  // shared system cursors stay
  if (st().cursor == icon) SetCursor(0);
  if (st().mode == layer::mode::x11) x11_forget_cursor(icon);
  remove(icon);
  return 1;
}

HCURSOR SetCursor(HCURSOR c) {
  HCURSOR old = st().cursor;
  st().cursor = find(c, kind::cursor) ? c : 0;
  if (st().cursor != old && st().mode == layer::mode::x11) x11_cursor(st().cursor);
  return old;
}
HCURSOR GetCursor() { return st().cursor; }
BOOL GetCursorPos(POINT* out) {
  if (!out) return 0;
  *out = st().mouse;
  return 1;
}
BOOL SetCursorPos(int x, int y) {
  mouse_move_input(POINT{x, y});
  return 1;
}

BOOL ImmReleaseContext(HWND hwnd, HIMC context) { return hwnd == context && detail::win(hwnd); }
BOOL ImmSetCompositionWindow(HIMC context, const COMPOSITIONFORM* form) {
  if (!detail::win(context) || !form || (form->dwStyle != CFS_POINT && form->dwStyle != CFS_DEFAULT)) return 0;
  ime_hwnd = context;
  ime_pt = form->dwStyle == CFS_POINT ? form->ptCurrentPos : POINT{0, 0};
  if (st().mode == layer::mode::x11)
    x11_ime_spot(context, POINT{ime_pt.x, ime_pt.y + (caret.hwnd == context ? caret.height : 0)});
  return 1;
}
POINT layer::ime_point(HWND* hwnd) {
  if (hwnd) *hwnd = detail::win(ime_hwnd) ? ime_hwnd : 0;
  return ime_pt;
}

HMONITOR MonitorFromRect(const RECT* r, DWORD flags) {
  HMONITOR best = 0;
  int64_t best_area = 0, best_dist = INT64_MAX;
  for (HMONITOR h : st().monitors) {
    auto* m = static_cast<monitor*>(find(h, kind::monitor));
    int64_t w = std::min(r->right, m->rect.right) - std::max(r->left, m->rect.left);
    int64_t ht = std::min(r->bottom, m->rect.bottom) - std::max(r->top, m->rect.top);
    if (w > 0 && ht > 0 && w * ht > best_area) best_area = w * ht, best = h;
    if (best_area == 0) {
      int64_t dx = std::max<int64_t>({0, m->rect.left - r->right, r->left - m->rect.right});
      int64_t dy = std::max<int64_t>({0, m->rect.top - r->bottom, r->top - m->rect.bottom});
      int64_t d = dx * dx + dy * dy;
      if (d < best_dist) best_dist = d, best = h;
    }
  }
  if (best_area > 0 || flags == MONITOR_DEFAULTTONEAREST) return best;
  return flags == MONITOR_DEFAULTTOPRIMARY && !st().monitors.empty() ? st().monitors.front() : 0;
}

HMONITOR MonitorFromPoint(POINT pt, DWORD flags) {
  RECT r{pt.x, pt.y, pt.x + 1, pt.y + 1};
  return MonitorFromRect(&r, flags);
}

HMONITOR MonitorFromWindow(HWND hwnd, DWORD flags) {
  window* w = detail::win(hwnd);
  if (!w) return flags == MONITOR_DEFAULTTONULL ? 0 : MonitorFromPoint(POINT{0, 0}, flags);
  RECT r = screen_rect(w);
  return MonitorFromRect(&r, flags);
}

BOOL GetMonitorInfoW(HMONITOR h, MONITORINFO* out) {
  auto* m = static_cast<monitor*>(find(h, kind::monitor));
  if (!m || !out) return 0;
  out->rcMonitor = m->rect, out->rcWork = m->work;
  out->dwFlags = !st().monitors.empty() && st().monitors.front() == h ? DWORD(MONITORINFOF_PRIMARY) : 0u;
  return 1;
}

BOOL EnumDisplayMonitors(HDC, const RECT*, MONITORENUMPROC proc, LPARAM data) {
  for (HMONITOR h : std::vector<HMONITOR>(st().monitors)) {
    auto* m = static_cast<monitor*>(find(h, kind::monitor));
    if (m && !proc(h, 0, &m->rect, data)) break;
  }
  return 1;
}

int GetDpiForMonitor(HMONITOR h, int, UINT* dx, UINT* dy) {
  auto* m = static_cast<monitor*>(find(h, kind::monitor));
  if (!m) return -1;  // E_INVALIDARG's sign
  if (dx) *dx = m->dpi;
  if (dy) *dy = m->dpi;
  return 0;
}

UINT GetDpiForWindow(HWND hwnd) {
  window* w = detail::win(hwnd);
  return w ? w->dpi : 0;
}

UINT GetDpiForSystem() {
  auto* m = st().monitors.empty() ? nullptr : static_cast<monitor*>(find(st().monitors.front(), kind::monitor));
  return m ? m->dpi : 96;
}

int GetSystemMetricsForDpi(int index, UINT dpi) {
  switch (index) {
  case SM_CXSCREEN: case SM_CYSCREEN: {
    MONITORINFO mi{sizeof mi, {}, {}, 0};
    if (st().monitors.empty() || !GetMonitorInfoW(st().monitors.front(), &mi)) return 0;
    return index == SM_CXSCREEN ? mi.rcMonitor.right - mi.rcMonitor.left : mi.rcMonitor.bottom - mi.rcMonitor.top;
  }
  case SM_CXVSCROLL: case SM_CYHSCROLL: case SM_CYVSCROLL: case SM_CXHSCROLL:
  case SM_CYVTHUMB: case SM_CXHTHUMB: return scaled(17, dpi);
  case SM_CYCAPTION: return scaled(23, dpi);
  case SM_CXBORDER: case SM_CYBORDER: return 1;
  case SM_CXDLGFRAME: case SM_CYDLGFRAME: return scaled(3, dpi);
  case SM_CXFRAME: case SM_CYFRAME: return scaled(4, dpi);
  case SM_CXPADDEDBORDER: return scaled(4, dpi);
  case SM_CXICON: case SM_CYICON: case SM_CXCURSOR: case SM_CYCURSOR: return scaled(32, dpi);
  case SM_CXSMICON: case SM_CYSMICON: return scaled(16, dpi);
  case SM_CYMENU: return scaled(20, dpi);
  case SM_CXDOUBLECLK: case SM_CYDOUBLECLK: return 4;
  case SM_CMONITORS: return int(st().monitors.size());
  }
  return 0;
}
int GetSystemMetrics(int index) { return GetSystemMetricsForDpi(index, GetDpiForSystem()); }

HBRUSH GetSysColorBrush(int index) { return HBRUSH(index + 1); }

BOOL SystemParametersInfoForDpi(UINT action, UINT param, void* out, UINT, UINT dpi) {
  if (action != SPI_GETNONCLIENTMETRICS || !out || param != sizeof(NONCLIENTMETRICSW)) return 0;
  NONCLIENTMETRICSW m{};
  m.cbSize = sizeof m;
  m.iBorderWidth = 1;
  m.iScrollWidth = m.iScrollHeight = scaled(17, dpi);
  m.iCaptionWidth = m.iCaptionHeight = scaled(22, dpi);
  m.iSmCaptionWidth = m.iSmCaptionHeight = scaled(22, dpi);
  m.iMenuWidth = m.iMenuHeight = scaled(19, dpi);
  m.iPaddedBorderWidth = scaled(4, dpi);
  LOGFONTW f{};
  f.lfHeight = -int(std::lround(9.0 * dpi / 72));  // 9 pt: -12 at 96 DPI
  f.lfWeight = 400;
  f.lfCharSet = 1;
  f.lfQuality = 5;  // CLEARTYPE_QUALITY
  const char16_t name[] = u"Segoe UI";
  std::memcpy(f.lfFaceName, name, sizeof name);
  m.lfCaptionFont = m.lfSmCaptionFont = m.lfMenuFont = m.lfStatusFont = m.lfMessageFont = f;
  std::memcpy(out, &m, sizeof m);
  return 1;
}

}  // namespace kez::win
