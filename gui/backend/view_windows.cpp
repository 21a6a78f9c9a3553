// Window procedures: painting base faces, the face window classes and
// their procedures, desktop changes (DPI, theme, monitors, dark mode), and
// pictures of faces (to image!).
#include "gui/backend/view_internal.h"

#include <atomic>
#include <cstring>
#include <string>
#include <vector>
#include <cairo.h>
#include <fcntl.h>
#include <unistd.h>

#include "gui/backend/d2d.h"
#include "gui/backend/draw.h"
#include "gui/backend/event.h"
#include "gui/backend/font.h"
#include "gui/backend/text_box.h"
#include "gui/backend/utils.h"
#include "platform/clipboard.h"
#include "platform/video_frames.h"
#include "platform/win/controls.h"
#include "runtime/arrays.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/handle.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/word.h"
#include "runtime/error_ids.h"
#include "runtime/image_os.h"
#include "runtime/interpreter.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"

namespace kez::gui::view {

namespace {

// One key of a map under system/view/metrics (skipped when the map is gone).
void put_metric(const char* map_name, const char* key, const cell* value) {
  cell* m = system_stub::system_field({"view", "metrics", map_name});
  if (!m || type_of(m) != TYPE_MAP) return;
  cell k{TYPE_NONE, 0, 0, 0};
  word::make_at(symbol::make(key), &k);
  map::set_key(m, &k, value, false);
}

// The scroll bar size layout adds to lists, and the system's colours for
// text, windows and panels, as colour tuples.
void init_metric_maps() {
  cell v{TYPE_NONE, 0, 0, 0};
  pair::make_at(&v, GetSystemMetrics(SM_CXVSCROLL), GetSystemMetrics(SM_CYVSCROLL));
  put_metric("misc", "scroller", &v);
  const std::pair<const char*, int> colors[] = {{"text", COLOR_WINDOWTEXT}, {"window", COLOR_WINDOW}, {"panel", COLOR_BTNFACE}};
  for (const auto& [key, index] : colors) {
    uint32_t c = GetSysColor(index);
    int32_t rgb[3] = {int32_t(c & 0xFF), int32_t(c >> 8 & 0xFF), int32_t(c >> 16 & 0xFF)};
    tuple::make_at(&v, rgb, 3);
    put_metric("colors", key, &v);
  }
}

// ---------------------------------------------------------------- painting

std::atomic<bool> painting{false};

}  // namespace

d2d::draw_ctx* drawing_ctx = nullptr;  // while a base face's `drawing` event runs
HWND drawing_window = 0;
namespace {

void paint_base(HWND hwnd) {
  cell face;
  PAINTSTRUCT ps;
  BeginPaint(hwnd, &ps);
  if (window_face(hwnd, &face) && !painting) {
    painting = true;
    collector::root_cells keep(&face);
    cell drw = facet(&face, FACET_DRAW);
    collector::root_cells keep_d(&drw);
    try {
      // Without a draw block the face draws itself through its `drawing`
      // event, on the context draw-face reaches meanwhile.
      auto on_drawing = [](d2d::draw_ctx& ctx, void* w) {
        drawing_ctx = &ctx;
        drawing_window = HWND(uintptr_t(w));
        MSG* m = cursor_msg();
        HWND saved = m->hwnd;
        m->hwnd = drawing_window;
        make_event(m, 0, EV_DRAWING);
        m->hwnd = saved;
        drawing_ctx = nullptr;
        drawing_window = 0;
      };
      if (type_of(&drw) == TYPE_BLOCK) draw::do_draw_window(hwnd, &face, &drw, false, true);
      else draw::do_draw_window(hwnd, &face, &drw, false, true, on_drawing, reinterpret_cast<void*>(uintptr_t(hwnd)));
    } catch (const thrown&) {
      runtime::ctx.thrown = 0;
    }
    painting = false;
  }
  EndPaint(hwnd, &ps);
}

}  // namespace

// A base face is layered when its colour is no tuple or lets something
// through (a fourth byte not 0).
bool base_layered_q(const cell* face) {
  cell c = facet(face, FACET_COLOR);
  if (type_of(&c) != TYPE_TUPLE) return true;
  return tuple::count_of(&c) > 3 && tuple::bytes_of(&c)[3] != 0;
}
bool layered_q(HWND hwnd) { return GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_LAYERED; }

// gui/update-base: a face that now needs layering and has no layered
// window is made again at the same place in the z-order; any other is
// repainted.
void update_base(HWND hwnd) {
  cell face;
  if (!window_face(hwnd, &face)) return;
  collector::root_cells keep(&face);
  int type = face_type_of(&face);
  bool needs = (type == T_BASE || type == T_RICH_TEXT) && base_layered_q(&face);
  if (!needs || layered_q(hwnd)) {
    InvalidateRect(hwnd, nullptr, TRUE);
    return;
  }
  HWND above = GetWindow(hwnd, GW_HWNDPREV), parent = GetParent(hwnd);
  cell st = get_state(&face);
  collector::root_cells keep_st(&st);
  int32_t mask = change_mask(&face);
  free_faces(&face, false);
  DestroyWindow(hwnd);
  HWND fresh = os_make_view(&face, parent);
  set_facet(&face, FACET_STATE, st);
  if (cell* h = block_at(&st, 0)) handle::make_at(h, fresh, handle::KIND_WINDOW);
  set_change_mask(&face, mask);
  if (fresh) SetWindowPos(fresh, above ? above : HWND_TOP, 0, 0, 0, 0, 0x71B);
}

// ---------------------------------------------------------------- window procedures

void timer_proc(HWND hwnd, UINT, UINT_PTR, DWORD) {
  MSG* m = cursor_msg();
  HWND saved = m->hwnd;
  m->hwnd = hwnd;
  make_event(m, 0, EV_TIME);
  m->hwnd = saved;
}
namespace {

// The client origin's offset from the window's corner (negative: the left
// border, the top border and caption), worked out once and kept in slot 44
// (dx in the high half, dy in the low).
void frame_offset(HWND hwnd, int* dx, int* dy) {
  uint32_t packed = uint32_t(GetWindowLongW(hwnd, SLOT_FRAME));
  if (packed == 0) {
    RECT wr;
    GetWindowRect(hwnd, &wr);
    POINT o{0, 0};
    ClientToScreen(hwnd, &o);
    packed = uint32_t(wr.left - o.x) << 16 | (uint32_t(wr.top - o.y) & 0xFFFF);
    SetWindowLongW(hwnd, SLOT_FRAME, LONG(packed));
  }
  *dx = int16_t(packed >> 16);
  *dy = int16_t(packed & 0xFFFF);
}

// A window face larger than the desktop keeps its size: the limits grow to
// the face's size plus the frame. True when a limit changed.
bool update_min_max(HWND hwnd, const cell* face, MINMAXINFO* mm) {
  RECT wr, cr;
  GetWindowRect(hwnd, &wr);
  GetClientRect(hwnd, &cr);
  int fw = (wr.right - wr.left) - cr.right, fh = (wr.bottom - wr.top) - cr.bottom;
  cell size = facet(face, FACET_SIZE);
  double w = 0, h = 0;
  if (!read_xy(&size, w, h)) return false;
  int sw = dpi_scale(w), sh = dpi_scale(h);
  bool changed = false;
  for (POINT* p : {&mm->ptMaxSize, &mm->ptMaxTrackSize}) {
    if (p->x < sw) p->x = sw + fw, changed = true;
    if (p->y < sh) p->y = sh + fh, changed = true;
  }
  return changed;
}

LRESULT move_size(HWND hwnd, const cell* face, UINT msg, WPARAM wparam, LPARAM lparam) {
  int x = GET_X_LPARAM(lparam), y = GET_Y_LPARAM(lparam);
  if (msg == WM_MOVE && x < -9999 && y < -9999) return 0;
  if (msg == WM_MOVE) {
    int dx, dy;
    frame_offset(hwnd, &dx, &dy);
    SetWindowLongW(hwnd, SLOT_POS, LONG(lparam));
    x += dx;
    y += dy;
  }
  cell v;
  point2D::make_at(&v, float(dpi_unscale(x)), float(dpi_unscale(y)));
  if (msg == WM_SIZE && (GetWindowLongW(hwnd, SLOT_WFLAGS) & 0x10)) point_to_pair(&v);
  set_facet(face, msg == WM_SIZE ? FACET_SIZE : FACET_OFFSET, v);
  MSG* m = cursor_msg();
  HWND saved = m->hwnd;
  m->hwnd = hwnd;
  LPARAM sl = m->lParam;
  m->lParam = MAKELPARAM(x, y);
  make_event(m, 0, msg == WM_SIZE ? EV_RESIZE : EV_MOVE);
  if (msg == WM_SIZE) {
    cell st = get_state(face);
    if (type_of(&st) == TYPE_BLOCK && (!in_size_move || wparam == 2)) make_event(m, 0, EV_RESIZE);
  }
  m->lParam = sl;
  m->hwnd = saved;
  return 0;
}

// gui/rescale-faces: a face tree's windows placed and sized again at the
// current DPI, fonts made again for it.
void rescale_faces(const cell* pane_in) {
  cell pane = *pane_in;
  collector::root_cells keep(&pane);
  for (int32_t i = 0, n = block_length(&pane); i < n; ++i) {
    cell f = *block_at(&pane, i);
    collector::root_cells keep_f(&f);
    HWND fw = face_window(&f);
    if (!fw) continue;
    cell off = facet(&f, FACET_OFFSET), size = facet(&f, FACET_SIZE);
    double x = 0, y = 0, w = 0, h = 0;
    read_xy(&off, x, y);
    read_xy(&size, w, h);
    SetWindowPos(fw, 0, dpi_scale(x), dpi_scale(y), dpi_scale(w), dpi_scale(h), SWP_NOZORDER | SWP_NOACTIVATE);
    cell sub = facet(&f, FACET_PANE);
    if (block::any_block_q(type_of(&sub))) rescale_faces(&sub);
    int t = face_type_of(&f);
    if (t != T_WINDOW && t != T_BASE && t != T_PANEL) set_face_font(fw, &f);
  }
}

// A scroll bar of the window itself (not a control): a `scroll` event.
void send_scroll_event(HWND hwnd, UINT msg, WPARAM wparam) {
  MSG* m = cursor_msg();
  MSG saved = *m;
  m->hwnd = hwnd;
  m->message = msg;
  m->wParam = wparam;
  make_event(m, 0, EV_SCROLL);
  *m = saved;
}

// The menu item last hovered, read when the menu's command arrives.
void note_menu_select(WPARAM wparam, LPARAM lparam) {
  if (wparam == 0xFFFF0000) return;  // the menu closed
  menu_item = int16_t(LOWORD(wparam));
  menu_handle = HMENU(lparam);
}

}  // namespace

// The face whose window is being made: the window asks for its size
// limits before the face is stored in it.
const cell* creating_face = nullptr;

// gui/init-default-font: the system's message font is the default of
// controls that have none of their own, and names system/view/fonts.
void init_default_font() {
  default_font = HFONT(GetStockObject(17));  // DEFAULT_GUI_FONT
  NONCLIENTMETRICSW ncm{};
  ncm.cbSize = sizeof ncm;
  if (!SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof ncm, &ncm, 0, dpi_value)) return;
  const LOGFONTW& lf = ncm.lfMessageFont;
  if (HFONT f = CreateFontW(lf.lfHeight, 0, 0, 0, lf.lfWeight, lf.lfItalic, 0, 0, 0, 0, 0, lf.lfQuality, 0, lf.lfFaceName))
    default_font = f;
  std::u16string face_name(lf.lfFaceName);
  std::string utf8(face_name.begin(), face_name.end());  // face names of the system font are ASCII
  cell name{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&name);
  string::load(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size(), &name);
  if (cell* v = system_stub::system_field({"view", "fonts", "system"})) *v = name;
  if (cell* v = system_stub::system_field({"view", "fonts", "size"})) integer::make_at(v, -(lf.lfHeight * 72) / int32_t(dpi_value));
}

// gui/init-metrics: what system/view/metrics knows of the desktop.
void init_metrics() {
  if (cell* v = system_stub::system_field({"view", "metrics", "dpi"})) integer::make_at(v, int32_t(dpi_value));
  if (cell* v = system_stub::system_field({"view", "metrics", "screen-size"}))
    pair::make_at(v, GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN));
  init_metric_maps();
}
namespace {

// The desktop's theme changed under a window: its default font and metrics
// are read again and its faces take them; every face paints again.
void theme_changed(HWND hwnd, const cell* face) {
  init_default_font();
  init_metrics();
  cell pane = facet(face, FACET_PANE);
  collector::root_cells keep(&pane);
  if (block::any_block_q(type_of(&pane))) rescale_faces(&pane);
  RedrawWindow(hwnd, nullptr, 0, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
}

// gui/move-to-screen: a window face belongs to the pane of the screen face
// of the monitor it lies on.
void move_to_screen(HMONITOR monitor, const cell* window_face) {
  cell v[3];  // the face, the screen face it goes to, its old parent
  v[0] = *window_face;
  none::make_at(&v[1]);
  none::make_at(&v[2]);
  collector::root_cells keep(v, 3);
  cell &face = v[0], &target = v[1], &old_parent = v[2];
  cell* screens = system_stub::system_field({"view", "screens"});
  for (int32_t i = 0; screens && i < block_length(screens); ++i) {
    cell state = facet(block_at(screens, i), FACET_STATE);
    cell* h = block_at(&state, 0);
    if (h && type_of(h) == TYPE_HANDLE && h->w1 == handle::KIND_MONITOR && HMONITOR(h->w2) == monitor) {
      target = *block_at(screens, i);
      break;
    }
  }
  old_parent = facet(&face, FACET_PARENT);
  // A window inside another face is no screen's: only top-level windows move.
  if (type_of(&target) != TYPE_OBJECT || type_of(&old_parent) != TYPE_OBJECT || old_parent.w1 == target.w1) return;
  cell old_pane = facet(&old_parent, FACET_PANE);
  for (int32_t i = 0, n = block_length(&old_pane); i < n; ++i) {
    cell* at = block_at(&old_pane, i);
    if (type_of(at) != TYPE_OBJECT || at->w1 != face.w1) continue;
    std::memmove(at, at + 1, size_t(n - i - 1) * sizeof(cell));
    block::ks_remove_last(&old_pane);
    break;
  }
  cell new_pane = facet(&target, FACET_PANE);
  collector::root_cells keep_pane(&new_pane);
  if (!block::any_block_q(type_of(&new_pane))) return;
  block::ks_append(&new_pane, &face);
  set_facet(&face, FACET_PARENT, target);
}

// The monitors changed: the high-level code builds its screen faces again.
void display_changed() {
  call_guarded(system_stub::system_field({"view", "platform", "refresh-screens"}), nullptr, 0, "refresh-screens");
}

}  // namespace

// gui/support-dark-mode?: dark colours are offered unless high contrast is on.
bool support_dark_mode() {
  HIGHCONTRASTW hc{};
  hc.cbSize = sizeof hc;
  bool contrast = SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof hc, &hc, 0) && (hc.dwFlags & HCF_HIGHCONTRASTON);
  return windows10_plus && !contrast;
}

// gui/set-dark-mode: the window's controls paint dark or light; a window
// face's frame follows.
void set_dark_mode(HWND hwnd, bool dark, bool frame) {
  if (frame) {
    BOOL on = dark;
    DwmSetWindowAttribute(hwnd, DWMWA_USE_IMMERSIVE_DARK_MODE, &on, sizeof on);
  }
  SetWindowTheme(hwnd, dark ? u"DarkMode_Explorer" : u"Explorer", nullptr);
}
namespace {

LRESULT window_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (GetWindowLongW(hwnd, SLOT_FACE) == 0) {
    if (msg == WM_GETMINMAXINFO && creating_face && face_type_of(creating_face) == T_WINDOW &&
        update_min_max(hwnd, creating_face, reinterpret_cast<MINMAXINFO*>(lparam)))
      return 0;
    return DefWindowProcW(hwnd, msg, wparam, lparam);
  }
  cell face;
  window_face(hwnd, &face);
  collector::root_cells keep(&face);
  int type = face_type_of(&face);
  switch (msg) {
    case WM_SIZE:
      if (type == T_WINDOW && wparam != 1) return move_size(hwnd, &face, msg, wparam, lparam);
      break;
    case WM_MOVE:
      if (type == T_WINDOW) return move_size(hwnd, &face, msg, wparam, lparam);
      break;
    case WM_GETMINMAXINFO:
      if (type == T_WINDOW && update_min_max(hwnd, &face, reinterpret_cast<MINMAXINFO*>(lparam))) return 0;
      break;
    case WM_ENTERSIZEMOVE:
      if (type == T_WINDOW) in_size_move = true;
      break;
    case WM_EXITSIZEMOVE:
      if (type == T_WINDOW) {
        in_size_move = false;
        send_event_for(hwnd, 0, GetWindowLongW(hwnd, SLOT_LIVE) == EV_MOVING ? EV_MOVE : EV_RESIZE);
        return 0;
      }
      break;
    case WM_ACTIVATE:
      if (type == T_WINDOW) {
        if (LOWORD(wparam)) {
          UINT d = GetDpiForWindow(hwnd);
          if (d) set_dpi(d);
          send_event_for(hwnd, 0, EV_FOCUS);
          cell sel = facet(&face, FACET_SELECTED);
          if (HWND fw = face_window(&sel)) SetFocus(fw);
          return 0;
        }
        send_event_for(hwnd, 0, EV_UNFOCUS);
      }
      break;
    case WM_COMMAND: process_command(hwnd, wparam, lparam); break;
    case WM_GESTURE: gesture(hwnd, wparam, lparam); break;
    case WM_DISPLAYCHANGE: display_changed(); break;
    case WM_THEMECHANGED:
      if (type == T_WINDOW) theme_changed(hwnd, &face);
      break;
    case WM_NOTIFY: {
      const NMHDR* hdr = reinterpret_cast<const NMHDR*>(lparam);
      if (!face_window_q(hdr->hwndFrom)) return 0;
      if (hdr->code == NM_CUSTOMDRAW) {
        if (LRESULT r = custom_draw(reinterpret_cast<const NMCUSTOMDRAW*>(lparam))) return r;
        break;
      }
      if (hdr->code == TCN_SELCHANGING) return tab_changing(hdr->hwndFrom);
      if (hdr->code == TCN_SELCHANGE) tab_changed(hdr->hwndFrom);
      if (hdr->code == MCN_SELCHANGE) {
        cell cf;
        if (window_face(hdr->hwndFrom, &cf)) {
          collector::root_cells keep_cf(&cf);
          read_calendar_date(hdr->hwndFrom, &cf);
          send_event_for(hdr->hwndFrom, 0, EV_CHANGE);
        }
      }
      break;
    }
    case WM_HSCROLL:
    case WM_VSCROLL:
      if (lparam == 0) send_scroll_event(hwnd, msg, wparam);
      else scroll_control(hwnd, msg, wparam, HWND(lparam));
      return 0;
    case WM_ERASEBKGND: {
      cell drw = facet(&face, FACET_DRAW);
      if (type_of(&drw) == TYPE_BLOCK) return 1;
      cell color = facet(&face, FACET_COLOR);
      if (type_of(&color) == TYPE_TUPLE) {
        RECT r;
        GetClientRect(hwnd, &r);
        HBRUSH b = CreateSolidBrush(to_color(&color) & 0xFFFFFF);
        FillRect(HDC(wparam), &r, b);
        DeleteObject(b);
        return 1;
      }
      break;
    }
    case WM_PAINT: {
      cell drw = facet(&face, FACET_DRAW);
      if (type_of(&drw) == TYPE_BLOCK) {
        paint_base(hwnd);
        return 0;
      }
      break;
    }
    case WM_MENUSELECT: note_menu_select(wparam, lparam); return 0;
    case WM_CTLCOLOREDIT:
    case WM_CTLCOLORLISTBOX:
    case WM_CTLCOLORSTATIC: {
      bool handled;
      LRESULT brush = control_colors(hwnd, msg, wparam, lparam, &handled);
      if (handled) return brush;
      break;
    }
    case WM_SETCURSOR: {
      HWND under = HWND(wparam);
      LONG cur = under ? GetWindowLongW(under, SLOT_CURSOR) : 0;
      if (cur) {
        cell uf;
        int ut = window_face(under, &uf) ? face_type_of(&uf) : T_UNKNOWN;
        if ((ut == T_BASE || ut == T_RICH_TEXT) && !(uint32_t(cur) & 0x80000000u)) return 0;
        SetCursor(HCURSOR(uint32_t(cur) & 0x7FFFFFFF));
        return 1;
      }
      break;
    }
    case WM_MOVING:
    case WM_SIZING:
      if (type == T_WINDOW) {
        RECT* r = reinterpret_cast<RECT*>(lparam);
        int dx, dy;
        frame_offset(hwnd, &dx, &dy);
        cell v;
        int32_t ev;
        if (msg == WM_MOVING) {
          SetWindowLongW(hwnd, SLOT_POS, LONG(((r->top - dy) << 16) | ((r->left - dx) & 0xFFFF)));
          SetWindowLongW(hwnd, SLOT_LIVE, EV_MOVING);
          point2D::make_at(&v, float(dpi_unscale(r->left)), float(dpi_unscale(r->top)));
          set_facet(&face, FACET_OFFSET, v);
          ev = EV_MOVING;
        } else {
          SetWindowLongW(hwnd, SLOT_LIVE, EV_RESIZING);
          int w = (r->right - r->left) + 2 * dx, h = (r->bottom - r->top) + dx + dy;
          point2D::make_at(&v, float(dpi_unscale(w)), float(dpi_unscale(h)));
          if (GetWindowLongW(hwnd, SLOT_WFLAGS) & 0x10) point_to_pair(&v);
          set_facet(&face, FACET_SIZE, v);
          ev = EV_RESIZING;
        }
        MSG* m = cursor_msg();
        HWND saved = m->hwnd;
        LPARAM sl = m->lParam;
        m->hwnd = hwnd;
        m->lParam = MAKELPARAM(r->left, r->top);
        make_event(m, 0, ev);
        m->lParam = sl;
        m->hwnd = saved;
        return 1;
      }
      break;
    case WM_ENTERMENULOOP:
      if (wparam == 0) {
        menu_item = -1;
        menu_handle = 0;
      }
      break;
    case WM_LBUTTONDOWN: SetCapture(hwnd); return 0;
    case WM_LBUTTONUP: ReleaseCapture(); return 0;
    case WM_CLOSE:
      if (GetWindowLongW(hwnd, SLOT_CLOSING) == -1) {
        current_msg = nullptr;
        break;
      }
      if (type == T_WINDOW) {
        SetFocus(hwnd);
        if (send_event_for(hwnd, 0, EV_CLOSE) == 0) {
          current_msg = nullptr;
          if (loop_count > 0) PostQuitMessage(0);
        }
        return 0;
      }
      break;
    case WM_DESTROY: d2d::release_window_target(hwnd); break;
    case WM_DPICHANGED: {
      cell st = get_state(&face);
      if (type_of(&st) != TYPE_BLOCK) return 0;
      if (type == T_WINDOW) move_to_screen(MonitorFromWindow(hwnd, MONITOR_DEFAULTTONEAREST), &face);
      set_dpi(LOWORD(wparam));
      if (type == T_WINDOW) SetWindowLongW(hwnd, SLOT_FRAME, 0);  // the frame scales with the DPI
      const RECT* r = reinterpret_cast<const RECT*>(lparam);
      SetWindowPos(hwnd, 0, r->left, r->top, r->right - r->left, r->bottom - r->top, SWP_NOZORDER | SWP_NOACTIVATE);
      if (type == T_WINDOW) {
        // The default font and the metrics follow the new DPI.
        init_default_font();
        init_metrics();
        cell pane = facet(&face, FACET_PANE);
        if (block::any_block_q(type_of(&pane))) rescale_faces(&pane);
      }
      RedrawWindow(hwnd, nullptr, 0, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
      return 0;
    }
    default: break;
  }
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

LRESULT base_wnd_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  switch (msg) {
    case WM_IME_SETCONTEXT:
    case WM_IME_STARTCOMPOSITION:
    case WM_IME_COMPOSITION:
    case WM_IME_ENDCOMPOSITION:
      if (GetWindowLongW(hwnd, SLOT_WFLAGS) & 8) ime_message(hwnd, msg, wparam, lparam);
      break;
    case WM_NCHITTEST: {
      LRESULT hit = DefWindowProcW(hwnd, msg, wparam, lparam);
      uint32_t cur = uint32_t(GetWindowLongW(hwnd, SLOT_CURSOR));
      SetWindowLongW(hwnd, SLOT_CURSOR, LONG(hit == HTCLIENT ? cur | 0x80000000u : cur & 0x7FFFFFFF));
      return hit;
    }
    case WM_SETCURSOR: {
      uint32_t cur = uint32_t(GetWindowLongW(hwnd, SLOT_CURSOR));
      if ((cur & 0x7FFFFFFF) && (cur & 0x80000000u)) {
        SetCursor(HCURSOR(cur & 0x7FFFFFFF));
        return 1;
      }
      break;
    }
    case WM_DESTROY:
      d2d::release_window_target(hwnd);
      if (owns_caret(hwnd)) DestroyCaret();
      break;
    case WM_PAINT:
      if (GetWindowLongW(hwnd, SLOT_FACE) == 0) break;
      paint_base(hwnd);
      return 0;
    case WM_ERASEBKGND: return 1;
    case WM_SIZE: InvalidateRect(hwnd, nullptr, TRUE); break;
    case WM_COMMAND: process_command(hwnd, wparam, lparam); break;
    case WM_HSCROLL:
    case WM_VSCROLL:
      if (lparam == 0) {
        send_scroll_event(hwnd, msg, wparam);
        return 0;
      }
      break;
    case WM_MENUSELECT: note_menu_select(wparam, lparam); return 0;
    case WM_LBUTTONDOWN: {
      LONG c = GetWindowLongW(hwnd, SLOT_FONT + 0);  // slot 28 doubles as font for controls only
      (void)c;
      SetCapture(hwnd);
      return 0;
    }
    case WM_LBUTTONUP: ReleaseCapture(); return 0;
    default: break;
  }
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

// Superclasses that keep the base class's procedure for all but a few messages.
WNDPROC face_base_proc = nullptr, combo_base_proc = nullptr, calendar_base_proc = nullptr, area_base_proc = nullptr;

LRESULT face_wnd_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  switch (msg) {
    case WM_LBUTTONDOWN: SetCapture(hwnd); return 0;
    case WM_LBUTTONUP: ReleaseCapture(); return 0;
    case WM_NCHITTEST: return HTCLIENT;
    default: return CallWindowProcW(face_base_proc, hwnd, msg, wparam, lparam);
  }
}
LRESULT combo_wnd_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_COMMAND && lparam == 0 && wparam < 1000 && menu_handle) {
    send_menu_event(hwnd);
    return 0;
  }
  if (msg == WM_MENUSELECT) {
    note_menu_select(wparam, lparam);
    return 0;
  }
  return CallWindowProcW(combo_base_proc, hwnd, msg, wparam, lparam);
}
LRESULT calendar_wnd_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_LBUTTONDOWN) SetFocus(hwnd);
  return CallWindowProcW(calendar_base_proc, hwnd, msg, wparam, lparam);
}
// The UTF-16 units the clipboard's (or the selected-text selection's) text
// takes in an edit (every LF gains a CR), 0 when it holds no text.
size_t clipboard_text_units(platform::clipboard_backend& cb) {
  std::vector<uint8_t> bytes;
  if (!cb.open()) return 0;
  bool got = cb.get(platform::CLIP_TEXT, bytes);
  cb.close();
  if (!got) return 0;
  size_t n = 0;
  for (uint8_t b : bytes) n += ((b & 0xC0) != 0x80) + (b >= 0xF0) + (b == '\n');
  return n;
}

// An edit counts a line break as CR LF and a character beyond U+FFFF as two
// units; a face's text counts each as one character. These convert positions
// (0-based, between characters) from one count to the other.
int32_t edit_to_face_position(const std::u16string& t, size_t at) {
  int32_t n = 0;
  for (size_t i = 0; i < at && i < t.size(); i++) {
    bool second = i > 0 && ((t[i] == u'\n' && t[i - 1] == u'\r') ||
                            (t[i] >= 0xDC00 && t[i] <= 0xDFFF && t[i - 1] >= 0xD800 && t[i - 1] <= 0xDBFF));
    if (!second) n++;
  }
  return n;
}

}  // namespace

int32_t face_to_edit_position(const std::u16string& t, int32_t at) {
  size_t i = 0;
  for (int32_t n = 0; n < at && i < t.size(); n++) {
    bool two = i + 1 < t.size() && ((t[i] == u'\r' && t[i + 1] == u'\n') ||
                                    (t[i] >= 0xD800 && t[i] <= 0xDBFF && t[i + 1] >= 0xDC00 && t[i + 1] <= 0xDFFF));
    i += two ? 2 : 1;
  }
  return int32_t(i);
}

std::u16string edit_text(HWND hwnd) {
  std::u16string t(size_t(std::max(0, GetWindowTextLengthW(hwnd))), u'\0');
  if (!t.empty()) GetWindowTextW(hwnd, t.data(), int(t.size()) + 1);
  return t;
}
namespace {

// The face's `selected` from the control's selection: none when empty, else
// the first and last character in the face's own count.
void update_selected_from_edit(HWND hwnd, const cell* face) {
  DWORD a = 0, b = 0;
  SendMessageW(hwnd, EM_GETSEL, WPARAM(&a), LPARAM(&b));
  cell sel;
  if (a == b) {
    none::make_at(&sel);
  } else {
    std::u16string t = edit_text(hwnd);
    pair::make_at(&sel, edit_to_face_position(t, std::min(a, b)) + 1, edit_to_face_position(t, std::max(a, b)));
  }
  set_facet(face, FACET_SELECTED, sel);
}

LRESULT area_wnd_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  bool multi = GetWindowLongW(hwnd, GWL_STYLE) & 0x4;
  switch (msg) {
    case WM_CHAR:
      if (multi && wparam == 1) {
        SendMessageW(hwnd, EM_SETSEL, 0, -1);
        return 1;
      }
      if (!multi && (wparam == 13 || wparam == 9)) return 0;
      break;
    case WM_PASTE:
      if (size_t n = clipboard_text_units(platform::clipboard())) raise_edit_limit(hwnd, n);
      break;
    case WM_MBUTTONDOWN:
      if (size_t n = clipboard_text_units(platform::primary_selection())) raise_edit_limit(hwnd, n);
      break;
    case WM_LBUTTONUP: case WM_KEYUP: {
      cell face;
      if (!window_face(hwnd, &face)) break;
      collector::root_cells keep(&face);
      update_selected_from_edit(hwnd, &face);
      send_event_for(hwnd, -1, EV_SELECT);
      if (!IsWindow(hwnd)) return 0;
      break;
    }
    default: break;
  }
  return CallWindowProcW(area_base_proc, hwnd, msg, wparam, lparam);
}

void register_own(const char16_t* name, WNDPROC proc, int background) {
  WNDCLASSEXW c{};
  c.cbSize = sizeof c;
  c.style = CS_VREDRAW | CS_HREDRAW | CS_DBLCLKS;
  c.lpfnWndProc = proc;
  c.cbWndExtra = 80;
  c.hInstance = instance;
  c.hCursor = LoadCursorW(0, IDC_ARROW);
  c.hbrBackground = HBRUSH(background);
  c.lpszClassName = name;
  RegisterClassExW(&c);
}

WNDPROC register_super(const char16_t* name, const char16_t* base, WNDPROC proc) {
  WNDCLASSEXW c{};
  c.cbSize = sizeof c;
  if (!GetClassInfoExW(0, base, &c)) {
    stdout_::print_line("*** View Error: GetClassInfoEx failed!");
    return nullptr;
  }
  WNDPROC base_proc = c.lpfnWndProc;
  if (proc) c.lpfnWndProc = proc;
  c.cbWndExtra = 80;
  c.hInstance = instance;
  c.lpszClassName = name;
  RegisterClassExW(&c);
  return base_proc;
}

}  // namespace

void register_classes() {
  register_own(u"KezWindow", window_proc, COLOR_BTNFACE + 1);
  register_own(u"KezPanel", window_proc, COLOR_BTNFACE + 1);
  register_own(u"KezBase", base_wnd_proc, COLOR_BTNFACE + 1);
  register_own(u"KezBaseInternal", base_wnd_proc, COLOR_BTNFACE + 1);
  register_own(u"KezCamera", camera_wnd_proc, COLOR_BACKGROUND + 1);
  register_super(u"KezButton", u"BUTTON", nullptr);
  register_super(u"KezListBox", u"ListBox", nullptr);
  register_super(u"KezProgress", u"msctls_progress32", nullptr);
  register_super(u"KezSlider", u"msctls_trackbar32", nullptr);
  register_super(u"KezScroller", u"SCROLLBAR", nullptr);
  register_super(u"KezTabpanel", u"SysTabControl32", nullptr);
  combo_base_proc = register_super(u"KezCombo", u"ComboBox", combo_wnd_proc);
  face_base_proc = register_super(u"KezFace", u"STATIC", face_wnd_proc);
  calendar_base_proc = register_super(u"KezCalendar", u"SysMonthCal32", calendar_wnd_proc);
  area_base_proc = register_super(u"KezArea", u"EDIT", area_wnd_proc);
  register_super(u"KezField", u"KezArea", nullptr);
}

// ---------------------------------------------------------------- to image!

bool face_to_image(const cell* face_in, cell* result) {
  cell face = *face_in;
  collector::root_cells keep(&face);
  none::make_at(result);
  if (!object_field_slot(&face, "type") || !object_field_slot(&face, "state")) return false;  // no face
  int type = face_type_of(&face);
  HWND hwnd = face_window(&face);
  if (type == T_CAMERA) {
    // The frame the camera shows now, kept in its image facet too.
    if (hwnd && IsWindow(hwnd)) {
      camera_grab(hwnd, &face);
      *result = facet(&face, FACET_IMAGE);
    }
    return true;
  }
  cairo_surface_t* s = nullptr;
  if (type == T_SCREEN) {
    // The screen's pixels: its windows as shown, where they stand.
    cell offset = facet(&face, FACET_OFFSET), size = facet(&face, FACET_SIZE);
    double x = 0, y = 0, w = 0, h = 0;
    read_xy(&offset, x, y);
    if (!read_xy(&size, w, h)) return true;
    s = layer::screen_snapshot(RECT{dpi_scale(x), dpi_scale(y), dpi_scale(x + w), dpi_scale(y + h)});
  } else {
    if (!hwnd || !IsWindow(hwnd)) return true;
    // What is on screen: changes still waiting for their paint are drawn first.
    UpdateWindow(hwnd);
    s = layer::snapshot(hwnd);
  }
  if (!s) return true;
  cairo_surface_flush(s);
  int w = cairo_image_surface_get_width(s), h = cairo_image_surface_get_height(s);
  std::vector<uint32_t> px(size_t(w) * size_t(h));
  const uint8_t* data = cairo_image_surface_get_data(s);
  int stride = cairo_image_surface_get_stride(s);
  for (int y = 0; y < h; ++y) std::memcpy(&px[size_t(y) * size_t(w)], data + size_t(y) * size_t(stride), size_t(w) * 4);
  // The window's pixels are premultiplied; an image keeps straight colours.
  for (uint32_t& p : px) {
    uint32_t a = p >> 24;
    if (a == 0 || a == 255) continue;
    auto un = [a](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + a / 2) / a); };
    p = a << 24 | un(p >> 16 & 0xFF) << 16 | un(p >> 8 & 0xFF) << 8 | un(p & 0xFF);
  }
  cairo_surface_destroy(s);
  if (w <= 0 || h <= 0) return true;
  uint32_t node = image_os::from_memory(uint32_t(w), uint32_t(h), uint32_t(w) * 4, reinterpret_cast<const uint8_t*>(px.data()));
  if (node) image::make_at(result, node);
  return true;
}

}  // namespace kez::gui::view
