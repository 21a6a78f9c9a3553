// Faces made into windows, and facet changes applied to the windows they
// have: creation, data, text, pane, tab pages and geometry (offset, size,
// visibility, batched), freeing and showing.
#include "gui/backend/view_internal.h"

#include <cmath>
#include <string>
#include <vector>

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
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/percent.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/time.h"
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

// ---------------------------------------------------------------- creation

void change_rate(HWND hwnd, const cell* rate);
void change_selected(HWND hwnd, const cell* face, int type);

HWND create_face_window(const cell* face_in, HWND parent) {
  cell face = *face_in;
  collector::root_cells keep(&face);
  uint32_t flags = face_flags(&face);
  if (cell* off = facet_slot(&face, FACET_OFFSET))
    if (type_of(off) == TYPE_PAIR) pair_to_point(off);
  cell size = facet(&face, FACET_SIZE);
  double w = 0, h = 0;
  bool pair_size = type_of(&size) == TYPE_PAIR;
  read_xy(&size, w, h);
  DWORD style = WS_CHILD | WS_CLIPSIBLINGS, ex = 0;
  HMENU menu = 0;
  bool layered = false;
  cell type_word = facet(&face, FACET_TYPE);
  int type = type_of_word(&type_word);
  cell vis = facet(&face, FACET_VISIBLE), en = facet(&face, FACET_ENABLED), para = facet(&face, FACET_PARA);
  if (is_true(&vis) && type != T_WINDOW) style |= WS_VISIBLE;
  if (type_of(&para) == TYPE_OBJECT) {
    collector::root_cells keep_para(&para);
    style |= text_box::get_para_flags(type_word.w2, &para);
  }
  if (is_false(&en)) style |= WS_DISABLED;
  if (flags & FACET_FLAGS_SCROLLABLE) style |= WS_HSCROLL | WS_VSCROLL;
  DWORD edge = (flags & FACET_FLAGS_NO_BORDER) ? 0 : WS_EX_CLIENTEDGE;
  const char16_t* cls = nullptr;
  switch (type) {
    case T_BUTTON: cls = u"KezButton"; style |= 0x2000; break;
    case T_TOGGLE: cls = u"KezButton"; style |= 0x1003; break;
    case T_CHECK: cls = u"KezButton"; style |= WS_TABSTOP | ((flags & FACET_FLAGS_TRI_STATE) ? 6 : 3); break;
    case T_RADIO: cls = u"KezButton"; style |= 0x10004; break;
    case T_PANEL: case T_GROUP_BOX: cls = u"KezPanel"; break;
    case T_TAB_PANEL: cls = u"KezTabpanel"; break;
    case T_FIELD:
      cls = u"KezField";
      style |= 0x10080 | ((flags & FACET_FLAGS_PASSWORD) ? 0x20 : 0) | (type_of(&para) != TYPE_OBJECT ? 0x100 : 0);
      ex |= edge;
      break;
    case T_AREA:
      cls = u"KezArea";
      style |= 0x210044 | (type_of(&para) != TYPE_OBJECT ? 0x100180 : 0);
      ex |= edge;
      break;
    case T_TEXT: cls = u"KezFace"; break;
    case T_TEXT_LIST: cls = u"KezListBox"; style |= 0x300101; ex |= edge; break;
    case T_DROP_DOWN: cls = u"KezCombo"; style |= 0x242; break;
    case T_DROP_LIST: cls = u"KezCombo"; style |= 0x203; break;
    case T_PROGRESS: cls = u"KezProgress"; if (h > w) style |= 4; break;
    case T_SLIDER: cls = u"KezSlider"; if (h > w) style |= 0x402; break;
    case T_SCROLLER: cls = u"KezScroller"; if (h > w) style |= 1; break;
    case T_BASE: case T_RICH_TEXT:
      cls = u"KezBase";
      if ((parent && layered_q(parent)) || base_layered_q(&face)) {
        ex |= WS_EX_LAYERED;
        layered = true;
      } else {
        cell acc = option(&face, "accelerated");
        if (is_true(&acc)) ex |= WS_EX_LAYERED;
      }
      break;
    case T_CAMERA: cls = u"KezCamera"; break;
    case T_CALENDAR: cls = u"KezCalendar"; style |= 0x190; break;
    case T_WINDOW: {
      cls = u"KezWindow";
      style = WS_CAPTION | WS_CLIPCHILDREN;
      if (!(flags & FACET_FLAGS_NO_MIN)) style |= WS_MINIMIZEBOX;
      if (!(flags & FACET_FLAGS_NO_MAX)) style |= WS_MAXIMIZEBOX;
      if (!(flags & FACET_FLAGS_NO_BUTTONS)) style |= WS_SYSMENU;
      if (flags & FACET_FLAGS_POPUP) ex |= WS_EX_TOOLWINDOW;
      if (flags & FACET_FLAGS_RESIZE) style |= WS_THICKFRAME;
      else style &= ~DWORD(WS_MAXIMIZEBOX);
      cell spec = facet(&face, FACET_MENU);
      bool bar = menu_bar_q(&spec, type);
      if (bar) {
        style |= WS_SYSMENU;
        menu = build_menu(&spec, CreateMenu());
      }
      if (flags & FACET_FLAGS_NO_TITLE) style = WS_POPUP | WS_BORDER;
      if (flags & FACET_FLAGS_NO_BORDER) style = WS_POPUP;
      if (w < 0) w = 200;
      if (h < 0) h = 200;
      if (flags & FACET_FLAGS_MODAL) parent = GetActiveWindow();
      break;
    }
    default: error::fire(err::cat_script, err::script::face_type, &type_word);
  }
  std::u16string name;
  cell text = facet(&face, FACET_TEXT);
  collector::root_cells keep_text(&text);
  bool named = type_of(&text) == TYPE_STRING && type != T_AREA;
  if (named) name = utf16_of(&text);
  cell off = facet(&face, FACET_OFFSET);
  double ox = 0, oy = 0;
  read_xy(&off, ox, oy);
  if (type == T_WINDOW) dpi_for_rect(ox, oy, w, h);
  int x = dpi_scale(ox), y = dpi_scale(oy), cw = dpi_scale(w), ch = dpi_scale(h);
  if (type == T_WINDOW) {
    RECT r{0, 0, cw, ch};
    AdjustWindowRectExForDpi(&r, style, menu != 0, ex, dpi_value);
    cw = r.right - r.left;
    ch = r.bottom - r.top;
  }
  struct creating_scope {
    explicit creating_scope(const cell* f) { creating_face = f; }
    ~creating_scope() { creating_face = nullptr; }
  } creating(&face);
  HWND hwnd = CreateWindowExW(ex, cls, named ? name.c_str() : nullptr, style, x, y, cw, ch, parent, menu, instance, &face);
  if (!hwnd) {
    stdout_::print_line("*** View Error: CreateWindowEx failed!");
    return 0;
  }
  if (type == T_WINDOW) {
    for (int s : {24, 28, 36, 44, 56}) SetWindowLongW(hwnd, s, 0);
    if (!main_window) main_window = hwnd;
    UINT wd = GetDpiForWindow(hwnd);
    if (wd && wd != dpi_value) {
      set_dpi(wd);
      RECT r{0, 0, dpi_scale(w), dpi_scale(h)};
      AdjustWindowRectExForDpi(&r, style, menu != 0, ex, dpi_value);
      SetWindowPos(hwnd, 0, 0, 0, r.right - r.left, r.bottom - r.top, 0x16);
    }
  }
  SetWindowLongW(hwnd, SLOT_WFLAGS, (pair_size ? 0x10 : 0) | (type == T_RICH_TEXT ? 0xC : 0));
  if (!layered) BringWindowToTop(hwnd);
  store_face(hwnd, &face);
  if (type != T_WINDOW && type != T_BASE && type != T_PANEL) set_face_font(hwnd, &face);
  set_cursor(hwnd, &face);
  if (type == T_BASE) init_caret(hwnd, &face);
  if (type == T_FIELD) set_hint(hwnd, &face);
  if (type == T_AREA) set_tabs(hwnd, &face);
  cell data = facet(&face, FACET_DATA);
  switch (type) {
    case T_BUTTON: set_button_image(hwnd, &face); break;
    case T_TOGGLE: set_button_image(hwnd, &face); set_check_state(hwnd, &data, false, flags); break;
    case T_CHECK: set_check_state(hwnd, &data, true, flags); break;
    case T_RADIO: set_check_state(hwnd, &data, false, flags); break;
    case T_GROUP_BOX: {
      HWND frame = CreateWindowExW(0, u"BUTTON", named ? name.c_str() : nullptr, (style & ~WS_CLIPSIBLINGS) | 0x20007, 0, 0,
                                   cw, ch, hwnd, 0, instance, nullptr);
      SetWindowLongW(hwnd, SLOT_CLOSING, LONG(frame));
      break;
    }
    case T_TAB_PANEL: set_tabs_from_data(hwnd, &face); break;
    case T_FIELD:
    case T_AREA: {
      if (type == T_AREA && type_of(&text) == TYPE_STRING) {
        std::u16string t = utf16_of(&text);
        SetWindowTextW(hwnd, t.c_str());
      }
      if (type == T_AREA) get_text_extent(hwnd, &face, nullptr);
      cell sel = facet(&face, FACET_SELECTED);
      if (type_of(&sel) != TYPE_NONE) change_selected(hwnd, &face, type);
      break;
    }
    case T_TEXT_LIST: set_list_items(hwnd, &face, false, type); break;
    case T_DROP_DOWN: case T_DROP_LIST: set_list_items(hwnd, &face, true, type); break;
    case T_PROGRESS: case T_SLIDER: set_progress_or_slider(hwnd, &face, type, true); break;
    case T_SCROLLER: {
      cell sel = facet(&face, FACET_SELECTED);
      double r = clamp_ratio(&sel);
      if (r < 0) {
        cell p;
        percent::make_at(&p, 0.1);
        set_facet(&face, FACET_SELECTED, p);
        r = 0.1;
      }
      SCROLLINFO si{};
      si.cbSize = sizeof si;
      si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
      si.nMin = 0;
      si.nMax = 100;
      si.nPage = UINT(std::lround(r * 100));
      si.nPos = 0;
      SetScrollInfo(hwnd, SB_CTL, &si, TRUE);
      cell d;
      float_::make_at(&d, 0.0);
      set_facet(&face, FACET_DATA, d);
      break;
    }
    case T_CAMERA: camera_open(hwnd, &face); break;
    case T_CALENDAR: set_calendar_date(hwnd, &face); set_calendar_colors(hwnd, &face); break;
    default: break;
  }
  cell rate = facet(&face, FACET_RATE);
  if (type_of(&rate) != TYPE_NONE) change_rate(hwnd, &rate);
  SetWindowLongW(hwnd, SLOT_FLAGS, LONG(flags));
  return hwnd;
}

// gui/prepare-tab-page: a panel inside a tab-panel covers the tab
// control's display area; only the selected tab's page starts visible.
void prepare_tab_page(const cell* page, HWND parent) {
  cell tab = facet(page, FACET_PARENT);
  if (type_of(&tab) != TYPE_OBJECT || face_type_of(&tab) != T_TAB_PANEL || !parent) return;
  RECT r;
  GetClientRect(parent, &r);
  SendMessageW(parent, TCM_ADJUSTRECT, FALSE, LPARAM(&r));
  double x = r.left, y = r.top, w = r.right - r.left, h = r.bottom - r.top;
  if (dpi_factor == 1.0) {
    x -= 3, y -= 1, w += 4, h += 3;
  } else {
    x = dpi_unscale(x), y = dpi_unscale(y), w = dpi_unscale(w), h = dpi_unscale(h);
  }
  cell v;
  point2D::make_at(&v, float(x), float(y));
  set_facet(page, FACET_OFFSET, v);
  cell size = facet(page, FACET_SIZE);
  if (type_of(&size) == TYPE_PAIR) pair::make_at(&v, int32_t(w), int32_t(h));
  else point2D::make_at(&v, float(w), float(h));
  set_facet(page, FACET_SIZE, v);
  cell pane = facet(&tab, FACET_PANE), sel = facet(&tab, FACET_SELECTED);
  int32_t n = block_length(&pane), selected = type_of(&sel) == TYPE_INTEGER ? integer::get(&sel) : 1;
  for (int32_t i = 0; i < n; ++i) {
    cell* at = block_at(&pane, i);
    if (at && type_of(at) == TYPE_OBJECT && at->w1 == page->w1) {
      cell vis;
      logic::make_at(&vis, i + 1 == selected);
      set_facet(page, FACET_VISIBLE, vis);
    }
  }
}

}  // namespace

HWND os_make_view(const cell* face, HWND parent) {
  dpi_scope scope(parent);
  if (face_type_of(face) == T_PANEL || face_type_of(face) == T_GROUP_BOX) prepare_tab_page(face, parent);
  return create_face_window(face, parent);
}
namespace {

// ---------------------------------------------------------------- changes

void change_rate(HWND hwnd, const cell* rate) {
  if (type_of(rate) == TYPE_INTEGER && integer::get(rate) > 0) {
    SetTimer(hwnd, 1, UINT(1000 / integer::get(rate)), timer_proc);
  } else if (type_of(rate) == TYPE_TIME && time::get(rate) > 0) {
    SetTimer(hwnd, 1, UINT(time::get(rate) * 1000), timer_proc);
  } else if (type_of(rate) == TYPE_NONE) {
    KillTimer(hwnd, 1);
  } else {
    error::fire(err::cat_script, err::script::invalid_facet_type, rate);
  }
}

void change_selected(HWND hwnd, const cell* face, int type) {
  cell sel = facet(face, FACET_SELECTED);
  switch (type) {
    case T_SCROLLER: {
      double r = clamp_ratio(&sel);
      if (r < 0) break;
      SCROLLINFO si{};
      si.cbSize = sizeof si;
      si.fMask = SIF_RANGE;
      GetScrollInfo(hwnd, SB_CTL, &si);
      si.fMask = SIF_PAGE;
      si.nPage = UINT(std::lround((si.nMax - si.nMin) * r));
      SetScrollInfo(hwnd, SB_CTL, &si, TRUE);
      break;
    }
    case T_CAMERA: camera_select(hwnd, face, &sel); break;
    case T_TEXT_LIST: {
      int32_t n = type_of(&sel) == TYPE_INTEGER ? integer::get(&sel) : 0;
      SendMessageW(hwnd, LB_SETCURSEL, WPARAM(n <= 0 ? -1 : n - 1), 0);
      break;
    }
    case T_DROP_DOWN: case T_DROP_LIST: {
      int32_t n = type_of(&sel) == TYPE_INTEGER ? integer::get(&sel) : 0;
      SendMessageW(hwnd, CB_SETCURSEL, WPARAM(n - 1), 0);
      break;
    }
    case T_FIELD: case T_AREA: {
      double a = 0, b = 0;
      if (type_of(&sel) == TYPE_PAIR && read_xy(&sel, a, b)) {
        std::u16string t = edit_text(hwnd);
        int lo = int(a < b ? a : b) - 1, hi = int(a < b ? b : a);
        SendMessageW(hwnd, EM_SETSEL, WPARAM(face_to_edit_position(t, lo)), LPARAM(face_to_edit_position(t, hi)));
      } else {
        SendMessageW(hwnd, EM_SETSEL, 0, 0);
      }
      break;
    }
    case T_TAB_PANEL:
      if (type_of(&sel) == TYPE_INTEGER) {
        select_tab(hwnd, integer::get(&sel) - 1);
        // A refused choice leaves the tab shown; the facet says so too.
        cell now;
        integer::make_at(&now, int32_t(SendMessageW(hwnd, TCM_GETCURSEL, 0, 0)) + 1);
        set_facet(face, FACET_SELECTED, now);
      }
      break;
    case T_WINDOW: {
      HWND fw = face_window(&sel);
      SetFocus(fw ? fw : hwnd);
      break;
    }
    default: break;
  }
}

void change_data(HWND hwnd, const cell* face, int type) {
  cell data = facet(face, FACET_DATA);
  switch (type) {
    case T_SLIDER: case T_PROGRESS:
      if (type_of(&data) == TYPE_FLOAT || type_of(&data) == TYPE_PERCENT) set_progress_or_slider(hwnd, face, type, false);
      break;
    case T_SCROLLER:
      if (type_of(&data) == TYPE_FLOAT) {
        double v = float_::get(&data);
        v = v < 0 ? 0 : v > 1 ? 1 : v;
        SCROLLINFO si{};
        si.cbSize = sizeof si;
        si.fMask = SIF_RANGE;
        GetScrollInfo(hwnd, SB_CTL, &si);
        si.fMask = SIF_RANGE | SIF_POS;
        si.nPos = si.nMin + int(v * (si.nMax - si.nMin));
        SetScrollInfo(hwnd, SB_CTL, &si, TRUE);
      }
      break;
    case T_CHECK: set_check_state(hwnd, &data, true, face_flags(face)); break;
    case T_TOGGLE: case T_RADIO: set_check_state(hwnd, &data, false, face_flags(face)); break;
    case T_TAB_PANEL: set_tabs_from_data(hwnd, face); break;
    // Data that is no date takes the date the calendar shows.
    case T_CALENDAR: set_calendar_date(hwnd, face); break;
    case T_TEXT_LIST: set_list_items(hwnd, face, false, type); break;
    case T_DROP_DOWN: case T_DROP_LIST: set_list_items(hwnd, face, true, type); break;
    case T_RICH_TEXT: InvalidateRect(hwnd, nullptr, FALSE); break;
    default: break;
  }
}

void change_text(HWND hwnd, const cell* face, int type) {
  if (type == T_BASE) {
    update_base(hwnd);
    return;
  }
  if (type == T_RICH_TEXT) {
    InvalidateRect(hwnd, nullptr, FALSE);
    return;
  }
  cell text = facet(face, FACET_TEXT);
  std::u16string t = type_of(&text) == TYPE_STRING ? utf16_of(&text) : u"";
  if (type == T_GROUP_BOX) SetWindowTextW(HWND(GetWindowLongW(hwnd, SLOT_CLOSING)), t.c_str());
  SetWindowTextW(hwnd, t.c_str());
  if (type == T_AREA) get_text_extent(hwnd, face, nullptr);
}

}  // namespace

void change_pane(const cell* pane) {
  int32_t n = block_length(pane);
  for (int32_t i = 0; i < n; ++i) {
    cell f = *block_at(pane, i);
    if (HWND w = face_window(&f)) SetWindowPos(w, HWND_TOP, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
  }
}
namespace {

// Tab pages ------------------------------------------------------------------

// gui/place-tab-page: once its tab-panel has moved, a page is a child of the
// tab-panel's parent, at the tab-panel's offset plus its own.
void place_tab_page(HWND page, HWND tab, double x, double y) {
  cell tab_face;
  if (!window_face(tab, &tab_face) || face_type_of(&tab_face) != T_TAB_PANEL) return;
  cell off = facet(&tab_face, FACET_OFFSET);
  double tx = 0, ty = 0;
  read_xy(&off, tx, ty);
  if (GetParent(page) != GetParent(tab)) {
    SetParent(page, GetParent(tab));
    SetWindowPos(page, HWND_TOP, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
  }
  SetWindowPos(page, 0, dpi_scale(tx + x), dpi_scale(ty + y), 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void change_size(HWND hwnd, const cell* face, int type, WINDOWPOS* batch);

// gui/layout-tab-pages: the pages follow their tab-panel when it moves
// (what 1), is resized (2) or is shown or hidden (9).
void layout_tab_pages(HWND tab, const cell* face, int what) {
  cell pane = facet(face, FACET_PANE), sel = facet(face, FACET_SELECTED);
  collector::root_cells keep(&pane);
  int32_t n = block_length(&pane), selected = type_of(&sel) == TYPE_INTEGER ? integer::get(&sel) : 0;
  for (int32_t i = 0; i < n; ++i) {
    cell page = *block_at(&pane, i);
    HWND pw = type_of(&page) == TYPE_OBJECT ? face_window(&page) : 0;
    if (!pw) continue;
    collector::root_cells keep_page(&page);
    if (what == 9) {
      if (i + 1 != selected) continue;
      cell vis = facet(face, FACET_VISIBLE);
      ShowWindow(pw, is_true(&vis) ? SW_SHOW : SW_HIDE);
      continue;
    }
    prepare_tab_page(&page, tab);
    cell off = facet(&page, FACET_OFFSET);
    double x = 0, y = 0;
    read_xy(&off, x, y);
    if (what == 1 || GetParent(pw) != tab) place_tab_page(pw, tab, x, y);
    if (what == 2) change_size(pw, &page, T_PANEL, nullptr);
    // The page's visibility follows the tab choice, not the facet it had.
    cell vis = facet(&page, FACET_VISIBLE), tab_vis = facet(face, FACET_VISIBLE);
    ShowWindow(pw, is_true(&vis) && is_true(&tab_vis) ? SW_SHOW : SW_HIDE);
  }
}

// Geometry -------------------------------------------------------------------
// With a batch record the new place, size or visibility goes into it, for
// one deferred positioning of the siblings; without one it applies at once.

void change_offset(HWND hwnd, const cell* face, int type, WINDOWPOS* batch) {
  if (cell* off = facet_slot(face, FACET_OFFSET))
    if (type_of(off) == TYPE_PAIR) pair_to_point(off);
  cell off = facet(face, FACET_OFFSET);
  double x = 0, y = 0;
  read_xy(&off, x, y);
  if (type == T_WINDOW) {
    RECT wr;
    GetWindowRect(hwnd, &wr);
    dpi_for_rect(x, y, dpi_unscale(wr.right - wr.left), dpi_unscale(wr.bottom - wr.top));
  }
  if (type == T_BASE && owns_caret(hwnd)) {
    // The caret, and the input method's composition with it.
    SetCaretPos(dpi_scale(x), dpi_scale(y));
    HWND owner = HWND(GetWindowLongW(hwnd, SLOT_LIVE));
    if (HIMC context = ImmGetContext(owner)) {
      COMPOSITIONFORM form{CFS_POINT, POINT{dpi_scale(x), dpi_scale(y)}, RECT{}};
      ImmSetCompositionWindow(context, &form);
      ImmReleaseContext(owner, context);
    }
  }
  if (batch) {
    batch->x = dpi_scale(x), batch->y = dpi_scale(y);
    batch->flags &= ~SWP_NOMOVE;
    return;
  }
  SetWindowPos(hwnd, 0, dpi_scale(x), dpi_scale(y), 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
  if (type == T_TAB_PANEL) layout_tab_pages(hwnd, face, 1);
}

void change_size(HWND hwnd, const cell* face, int type, WINDOWPOS* batch) {
  cell size = facet(face, FACET_SIZE);
  SetWindowLongW(hwnd, SLOT_WFLAGS, (GetWindowLongW(hwnd, SLOT_WFLAGS) & ~0x10) | (type_of(&size) == TYPE_PAIR ? 0x10 : 0));
  double w = 0, h = 0;
  read_xy(&size, w, h);
  int cw = dpi_scale(w), ch = dpi_scale(h);
  if (type == T_WINDOW) {
    RECT wr, cr;
    GetWindowRect(hwnd, &wr);
    GetClientRect(hwnd, &cr);
    cw += (wr.right - wr.left) - cr.right;
    ch += (wr.bottom - wr.top) - cr.bottom;
  }
  if (batch) {
    batch->cx = cw, batch->cy = ch;
    batch->flags &= ~SWP_NOSIZE;
  } else {
    SetWindowPos(hwnd, 0, 0, 0, cw, ch, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  }
  if (type == T_SLIDER) {
    SendMessageW(hwnd, TBM_SETRANGEMAX, 1, LPARAM(size_extent(face, nullptr)));
    change_data(hwnd, face, type);
  } else if (type == T_PROGRESS) {
    SendMessageW(hwnd, PBM_SETRANGE, 0, MAKELPARAM(0, int(size_extent(face, nullptr))));
    change_data(hwnd, face, type);
  } else if (type == T_GROUP_BOX) {
    SetWindowPos(HWND(GetWindowLongW(hwnd, SLOT_CLOSING)), 0, 0, 0, cw, ch, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
  } else if (type == T_TEXT || type == T_CAMERA) {
    InvalidateRect(hwnd, nullptr, TRUE);
  } else if (type == T_AREA && !batch) {
    get_text_extent(hwnd, face, nullptr);
  } else if (type == T_TAB_PANEL && !batch) {
    layout_tab_pages(hwnd, face, 2);
  }
}

void change_visible(HWND hwnd, const cell* face, int type, WINDOWPOS* batch) {
  cell vis = facet(face, FACET_VISIBLE);
  bool show = is_true(&vis);
  if (type == T_WINDOW && show && !IsWindowVisible(hwnd)) SetWindowLongW(hwnd, SLOT_SHOW_PENDING, 1);
  if (type == T_BASE && owns_caret(hwnd)) {
    if (show) set_caret_size(hwnd, face);
    else DestroyCaret();
    show = caret_face_shown(face);
  }
  int cmd = !show ? SW_HIDE : type == T_BASE ? SW_SHOWNA : SW_SHOW;
  if (batch) batch->flags |= show ? SWP_SHOWWINDOW : SWP_HIDEWINDOW;
  else ShowWindow(hwnd, cmd);
  if (type == T_GROUP_BOX) ShowWindow(HWND(GetWindowLongW(hwnd, SLOT_CLOSING)), cmd);
  if (type == T_TAB_PANEL && !batch) layout_tab_pages(hwnd, face, 9);
}

// What a batched face's geometry left to do once its window has its new
// place: the work that reads the window's new size.
void finish_geometry(HWND hwnd, const cell* face, int type, int32_t bits) {
  if (type == T_AREA && (bits & (1 << FACET_SIZE))) get_text_extent(hwnd, face, nullptr);
  if (type != T_TAB_PANEL) return;
  if (bits & (1 << FACET_OFFSET)) layout_tab_pages(hwnd, face, 1);
  if (bits & (1 << FACET_SIZE)) layout_tab_pages(hwnd, face, 2);
  if (bits & (1 << FACET_VISIBLE)) layout_tab_pages(hwnd, face, 9);
}

constexpr int32_t GEOMETRY_BITS = (1 << FACET_OFFSET) | (1 << FACET_SIZE) | (1 << FACET_VISIBLE);

void apply_face_changes(const cell* face, int32_t keep, WINDOWPOS* batch) {
  int type = face_type_of(face);
  // Whatever changed, metrics queries answer from a fresh layout.
  if (type == T_RICH_TEXT) text_box::layout_needed(face);
  cell st = get_state(face);
  if (type_of(&st) != TYPE_BLOCK) return;
  HWND hwnd = face_window(face);
  int32_t mask = change_mask(face);
  int32_t bits;
  if (batch) {
    bits = mask & GEOMETRY_BITS;
    batch->flags = SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE;
  } else {
    bits = mask & ~keep;
    set_change_mask(face, mask & keep);
  }
  if (!hwnd) return;
  auto has = [&](int b) { return (bits >> b) & 1; };
  if (has(FACET_OFFSET)) change_offset(hwnd, face, type, batch);
  if (has(FACET_SIZE)) change_size(hwnd, face, type, batch);
  if (has(FACET_TEXT)) change_text(hwnd, face, type);
  if (has(FACET_DATA)) change_data(hwnd, face, type);
  if (has(FACET_ENABLED)) {
    cell en = facet(face, FACET_ENABLED);
    if (type == T_BASE && owns_caret(hwnd)) {
      HWND owner = HWND(GetWindowLongW(hwnd, SLOT_LIVE));
      if (is_true(&en)) ShowCaret(owner);
      else HideCaret(owner);
      ShowWindow(hwnd, caret_face_shown(face) ? SW_SHOWNA : SW_HIDE);
    }
    EnableWindow(hwnd, is_true(&en));
  }
  if (has(FACET_VISIBLE)) change_visible(hwnd, face, type, batch);
  if (has(FACET_SELECTED)) change_selected(hwnd, face, type);
  if (has(FACET_FLAGS)) {
    uint32_t f = face_flags(face);
    SetWindowLongW(hwnd, SLOT_FLAGS, LONG(f));
    if (type == T_FIELD) {
      SendMessageW(hwnd, EM_SETPASSWORDCHAR, (f & FACET_FLAGS_PASSWORD) ? 0x25CF : 0, 0);
      SetFocus(hwnd);
    }
  }
  if (has(FACET_DRAW) && base_like(type)) update_base(hwnd);
  if (has(FACET_COLOR)) {
    if (base_like(type)) update_base(hwnd);
    else if (type == T_CALENDAR) set_calendar_colors(hwnd, face);
    else InvalidateRect(hwnd, nullptr, TRUE);
  }
  if (has(FACET_PANE) && type != T_TAB_PANEL) {
    cell pane = facet(face, FACET_PANE);
    change_pane(&pane);
  }
  if (has(FACET_RATE)) {
    cell rate = facet(face, FACET_RATE);
    change_rate(hwnd, &rate);
  }
  if (has(FACET_FONT)) {
    if (type != T_WINDOW && type != T_BASE && type != T_PANEL) set_face_font(hwnd, face);
    if (base_like(type)) update_base(hwnd);
    else InvalidateRect(hwnd, nullptr, TRUE);
  }
  if (has(FACET_PARA)) {
    if (base_like(type)) update_base(hwnd);
    else InvalidateRect(hwnd, nullptr, TRUE);
  }
  if (has(FACET_MENU)) {
    if (HMENU old = GetMenu(hwnd)) DestroyMenu(old);
    cell spec = facet(face, FACET_MENU);
    SetMenu(hwnd, menu_bar_q(&spec, type) ? build_menu(&spec, CreateMenu()) : 0);
  }
  if (has(FACET_IMAGE)) {
    cell image_now = facet(face, FACET_IMAGE);
    if (type == T_CAMERA && type_of(&image_now) == TYPE_NONE) camera_grab(hwnd, face);
    else if (base_like(type)) update_base(hwnd);
    else if (type == T_BUTTON || type == T_TOGGLE) set_button_image(hwnd, face);
  }
  if (has(FACET_OPTIONS)) set_cursor(hwnd, face);
}

// gui/update-view-scoped: the pending bits come back when a handler raised,
// and the error goes on.
void update_view_scoped(const cell* face_in, int32_t keep, WINDOWPOS* batch) {
  cell face = *face_in;
  collector::root_cells keep_face(&face);
  int32_t mask = change_mask(&face);
  dpi_scope scope(face_window(&face));
  try {
    apply_face_changes(&face, keep, batch);
  } catch (...) {
    set_change_mask(&face, change_mask(&face) | mask);
    throw;
  }
}

}  // namespace

void os_update_view(const cell* face) { update_view_scoped(face, 0, nullptr); }
namespace {

// Faces whose geometry waits for one deferred positioning with their
// siblings: those the system cannot move well one by one.
bool batched_type(HWND hwnd, int type) {
  return type == T_WINDOW || type == T_TAB_PANEL || type == T_GROUP_BOX || type == T_AREA || type == T_CAMERA ||
         (type == T_BASE && owns_caret(hwnd));
}

// A window's rectangle in its parent's client coordinates.
RECT rect_in_parent(HWND hwnd, HWND parent) {
  RECT r;
  GetWindowRect(hwnd, &r);
  MapWindowPoints(0, parent, reinterpret_cast<POINT*>(&r), 2);
  return r;
}

}  // namespace

// gui/OS-update-views: the faces of a block, their geometry changes placed
// by one deferred positioning per run of siblings; only the uncovered old
// areas of moved base faces are painted again.
void os_update_views(const cell* faces_in) {
  cell faces = *faces_in;
  collector::root_cells keep(&faces);
  int32_t n = block_length(&faces);
  std::vector<HWND> batch_parent(size_t(n), 0);
  for (int32_t i = 0; i < n; ++i) {
    cell f = *block_at(&faces, i);
    HWND hwnd = face_window(&f);
    if (!hwnd) continue;
    if ((change_mask(&f) & GEOMETRY_BITS) && batched_type(hwnd, face_type_of(&f))) batch_parent[size_t(i)] = GetParent(hwnd);
    update_view_scoped(&f, batch_parent[size_t(i)] ? GEOMETRY_BITS : 0, nullptr);
  }
  // The layer composes at once: there is no frame to wait for before moving.
  for (int32_t start = 0; start < n;) {
    HWND parent = batch_parent[size_t(start)];
    int32_t end = start + 1;
    while (end < n && batch_parent[size_t(end)] == parent) ++end;
    if (!parent) {
      start = end;
      continue;
    }
    HDWP dwp = BeginDeferWindowPos(8);
    HRGN old_areas = CreateRectRgn(0, 0, 0, 0), new_areas = CreateRectRgn(0, 0, 0, 0);
    std::vector<WINDOWPOS> records;
    std::vector<int32_t> bits;
    for (int32_t i = start; i < end; ++i) {
      cell f = *block_at(&faces, i);
      collector::root_cells keep_f(&f);
      HWND hwnd = face_window(&f);
      WINDOWPOS rec{hwnd, 0, 0, 0, 0, 0, 0};
      update_view_scoped(&f, 0, &rec);
      int type = face_type_of(&f);
      bool only_moves = !(rec.flags & SWP_NOMOVE) && (rec.flags & SWP_NOSIZE) && !(rec.flags & (SWP_SHOWWINDOW | SWP_HIDEWINDOW));
      if ((type == T_BASE || type == T_RICH_TEXT) && only_moves && IsWindowVisible(hwnd) && !GetWindow(hwnd, GW_CHILD) &&
          !(GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_LAYERED)) {
        RECT r = rect_in_parent(hwnd, parent);
        HRGN a = CreateRectRgn(r.left, r.top, r.right, r.bottom);
        CombineRgn(old_areas, old_areas, a, RGN_OR);
        DeleteObject(a);
        HRGN b = CreateRectRgn(rec.x, rec.y, rec.x + (r.right - r.left), rec.y + (r.bottom - r.top));
        CombineRgn(new_areas, new_areas, b, RGN_OR);
        DeleteObject(b);
        rec.flags |= SWP_NOCOPYBITS;
      }
      if (dwp) dwp = DeferWindowPos(dwp, hwnd, rec.hwndInsertAfter, rec.x, rec.y, rec.cx, rec.cy, rec.flags);
      records.push_back(rec);
      bits.push_back(change_mask(&f) & GEOMETRY_BITS);
      set_change_mask(&f, change_mask(&f) & ~GEOMETRY_BITS);
    }
    if (dwp) {
      EndDeferWindowPos(dwp);
    } else {
      for (const WINDOWPOS& r : records) SetWindowPos(r.hwnd, r.hwndInsertAfter, r.x, r.y, r.cx, r.cy, r.flags);
    }
    for (int32_t i = start; i < end; ++i) {
      cell f = *block_at(&faces, i);
      collector::root_cells keep_f(&f);
      if (HWND hwnd = face_window(&f)) finish_geometry(hwnd, &f, face_type_of(&f), bits[size_t(i - start)]);
    }
    if (CombineRgn(old_areas, old_areas, new_areas, RGN_DIFF) != NULLREGION)
      RedrawWindow(parent, nullptr, old_areas, RDW_INVALIDATE | RDW_ERASE | RDW_ALLCHILDREN);
    DeleteObject(old_areas);
    DeleteObject(new_areas);
    start = end;
  }
}

// ---------------------------------------------------------------- freeing and showing

void free_faces(const cell* face_in, bool close) {
  cell face = *face_in;
  collector::root_cells keep(&face);
  HWND hwnd = face_window(&face);
  if (!hwnd) return;
  int type = face_type_of(&face);
  if (type == T_WINDOW) SetWindowPos(hwnd, 0, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOZORDER | SWP_HIDEWINDOW);
  cell rate = facet(&face, FACET_RATE);
  if (type_of(&rate) != TYPE_NONE) KillTimer(hwnd, 1);
  cell font = facet(&face, FACET_FONT), para = facet(&face, FACET_PARA);
  collector::root_cells keep_font(&font), keep_para(&para);
  unlink_from_font(&face, &font, true);
  unlink_from_font(&face, &para, false);
  cell pane = facet(&face, FACET_PANE);
  collector::root_cells keep_pane(&pane);
  for (int32_t i = 0, n = block_length(&pane); i < n; ++i) {
    cell f = *block_at(&pane, i);
    if (type_of(&f) == TYPE_OBJECT) free_faces(&f, false);
  }
  if (type == T_GROUP_BOX) DestroyWindow(HWND(GetWindowLongW(hwnd, SLOT_CLOSING)));
  if (type == T_CAMERA) camera_destroy(hwnd);
  if (HFONT f = HFONT(GetWindowLongW(hwnd, SLOT_FONT)); f && f != default_font && type != T_WINDOW) DeleteObject(f);
  SetWindowLongW(hwnd, SLOT_FONT, 0);
  if (type == T_WINDOW) {
    none::make_at(facet_slot(&face, FACET_SELECTED));
    SetWindowLongW(hwnd, SLOT_CLOSING, -1);
  }
  if (LONG ref = GetWindowLongW(hwnd, SLOT_FACE)) refs::free(uint32_t(ref));
  SetWindowLongW(hwnd, SLOT_FACE, 0);
  if (hover_window == hwnd) hover_window = 0;
  none::make_at(facet_slot(&face, FACET_STATE));
  if (type == T_PANEL) DestroyWindow(hwnd);
  else if (close) PostMessageW(hwnd, WM_CLOSE, 0, 0);
}

void os_show_window(HWND hwnd) {
  if (!IsWindowVisible(hwnd) || GetWindowLongW(hwnd, SLOT_SHOW_PENDING)) {
    SetWindowLongW(hwnd, SLOT_SHOW_PENDING, 0);
    ShowWindow(hwnd, SW_SHOWDEFAULT);
    UpdateWindow(hwnd);
    SetForegroundWindow(hwnd);
    cell face;
    if (window_face(hwnd, &face)) {
      cell sel = facet(&face, FACET_SELECTED);
      if (HWND fw = face_window(&sel)) SetFocus(fw);
    }
    if (UINT d = GetDpiForWindow(hwnd)) set_dpi(d);
  }
}

}  // namespace kez::gui::view
