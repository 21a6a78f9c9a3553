#include "gui/backend/view.h"

#include <cmath>
#include <string>

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
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/handle.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/percent.h"
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
#include "gui/backend/view_internal.h"

namespace kez::gui::view {

namespace {

// ---------------------------------------------------------------- names

const char* const facet_names[] = {
    "type", "offset", "size", "text", "image", "color", "menu", "data", "enabled?", "visible?", "selected", "flags",
    "options", "parent", "pane", "state", "rate", "edge", "para", "font", "actors", "extra", "draw",
};
const char* const type_names[] = {
    "window", "button", "toggle", "check", "radio", "field", "area", "text", "text-list", "progress", "slider",
    "drop-down", "drop-list", "base", "panel", "tab-panel", "group-box", "camera", "scroller", "rich-text", "calendar",
    "screen",
};

}  // namespace

uint32_t canon(const char* name) { return symbol::resolve(symbol::make(name)); }

cell facet(const cell* face, int32_t index) { return object_field(face, facet_names[index]); }
cell* facet_slot(const cell* face, int32_t index) { return object_field_slot(face, facet_names[index]); }
void set_facet(const cell* face, int32_t index, const cell& value) {
  if (cell* s = facet_slot(face, index)) {
    *s = value;
    s->header &= ~uint32_t(FLAG_NEW_LINE);
  }
}

int type_of_word(const cell* w) {
  uint32_t t = type_of(w);
  if (t != TYPE_WORD && t != TYPE_LIT_WORD) return T_UNKNOWN;
  uint32_t s = symbol::resolve(w->w2);
  for (int i = 0; i < T_COUNT; ++i)
    if (canon(type_names[i]) == s) return i;
  return T_UNKNOWN;
}
int face_type_of(const cell* face) {
  cell t = facet(face, FACET_TYPE);
  return type_of_word(&t);
}
bool base_like(int t) { return t == T_BASE || t == T_RICH_TEXT || t == T_WINDOW || t == T_PANEL; }

bool is_true(const cell* v) { return type_of(v) == TYPE_LOGIC && v->w1; }
bool is_false(const cell* v) { return type_of(v) == TYPE_LOGIC && !v->w1; }

// Two floats of a pair! or point2D! (false for anything else).
bool read_xy(const cell* v, double& x, double& y) {
  if (type_of(v) == TYPE_PAIR) {
    x = pair::x_of(v);
    y = pair::y_of(v);
    return true;
  }
  if (type_of(v) == TYPE_POINT2D) {
    x = kez::point::coordinate(v, 0);
    y = kez::point::coordinate(v, 1);
    return true;
  }
  return false;
}

// Series helpers: the n-th value from a block's head, null past its tail.
cell* block_at(const cell* b, int32_t n) {
  if (!block::any_block_q(type_of(b))) return nullptr;
  series_buffer* buf = block::buffer_of(b);
  cell* at = buf->head_cell() + int32_t(b->w1) + n;
  return at >= buf->head_cell() && at < buf->tail_cell() ? at : nullptr;
}
int32_t block_length(const cell* b) {
  if (!block::any_block_q(type_of(b))) return 0;
  series_buffer* buf = block::buffer_of(b);
  int32_t n = int32_t(buf->tail_cell() - buf->head_cell()) - int32_t(b->w1);
  return n > 0 ? n : 0;
}

std::u16string text_of(const cell* v) {
  if (type_of(v) != TYPE_STRING && type_of(v) != TYPE_FILE && type_of(v) != TYPE_URL && type_of(v) != TYPE_TAG &&
      type_of(v) != TYPE_EMAIL && type_of(v) != TYPE_REF)
    return u"";
  return utf16_of(v);
}
bool text_like(const cell* v) {
  uint32_t t = type_of(v);
  return t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL || t == TYPE_TAG || t == TYPE_EMAIL || t == TYPE_REF;
}
namespace {

// ---------------------------------------------------------------- state

bool started_ = false;

}  // namespace

HINSTANCE instance = 1;
bool windows8_plus = true, windows10_plus = true, windows11_plus = true, pre_vista = false;
uint32_t dpi_value = 96;
double dpi_factor = 1.0;
namespace {

int dpi_depth = 0;

}  // namespace

HWND main_window = 0;

MSG* current_msg = nullptr;
MSG spare_msg{};
MSG* event_msg = nullptr;  // the message of the global event
int32_t loop_count = 0, exit_count = 0;
int64_t modifier_cache = -1;
int32_t last_key = -1;
uint32_t pending_char = 0;
bool ime_composing = false;
std::u16string ime_text;        // the composition an `ime` event reports
int64_t gesture_zoom_base = -1;  // the last zoom gesture's argument, -1 after a begin or end
double gesture_zoom = -1.0;      // the current zoom event's factor, -1 for none
namespace {

bool system_dark = false;        // the desktop asks applications for dark colours

}  // namespace

LPARAM last_mouse = -1;
HWND hover_window = 0, pressed_window = 0, down_window = 0;
POINT right_click{0, 0};
int32_t menu_item = -1;
HMENU menu_handle = 0, context_menu = 0;
HWND menu_window = 0;
bool in_size_move = false;

// ---------------------------------------------------------------- DPI

void push_dpi_for(HWND hwnd, uint32_t& saved) {
  saved = dpi_value;
  ++dpi_depth;
  if (hwnd) {
    UINT d = GetDpiForWindow(GetAncestor(hwnd, GA_ROOT));
    if (d) set_dpi(d);
  }
}
void pop_dpi(uint32_t saved) {
  --dpi_depth;
  if (dpi_value == saved) return;
  HWND active = GetActiveWindow();
  if (dpi_depth == 0 && active && IsWindowVisible(active)) {
    UINT d = GetDpiForWindow(active);
    set_dpi(d ? d : saved);
  } else {
    set_dpi(saved);
  }
}
namespace {

// gui/init-dpi: the DPI of the monitor under the cursor.
void init_dpi() {
  POINT p;
  GetCursorPos(&p);
  UINT dx = 96, dy = 96;
  GetDpiForMonitor(MonitorFromPoint(p, MONITOR_DEFAULTTONEAREST), MDT_EFFECTIVE_DPI, &dx, &dy);
  set_dpi(dx);
}

}  // namespace

// gui/dpi-for-rect: the DPI of the monitor a rectangle in units lies on,
// found again at that DPI until it holds (at most 4 rounds).
void dpi_for_rect(double x, double y, double w, double h) {
  for (int round = 0; round < 4; ++round) {
    uint32_t before = dpi_value;
    RECT r{dpi_scale(x), dpi_scale(y), dpi_scale(x + w), dpi_scale(y + h)};
    UINT dx = 96, dy = 96;
    GetDpiForMonitor(MonitorFromRect(&r, MONITOR_DEFAULTTONEAREST), MDT_EFFECTIVE_DPI, &dx, &dy);
    set_dpi(dx);
    if (dpi_value == before) return;
  }
  init_dpi();
}

// ---------------------------------------------------------------- faces and windows

bool face_window_q(HWND hwnd) { return hwnd && IsWindow(hwnd) && GetWindowLongW(hwnd, SLOT_FACE) != 0; }

void store_face(HWND hwnd, const cell* face) {
  if (GetWindowLongW(hwnd, SLOT_FACE) == 0) SetWindowLongW(hwnd, SLOT_FACE, LONG(refs::store(face)));
}

cell get_state(const cell* face) { return facet(face, FACET_STATE); }

int32_t change_mask(const cell* face) {
  cell st = get_state(face);
  cell* m = block_at(&st, 1);
  return m && type_of(m) == TYPE_INTEGER ? integer::get(m) : 0;
}
void set_change_mask(const cell* face, int32_t mask) {
  cell st = get_state(face);
  if (cell* m = block_at(&st, 1)) integer::make_at(m, mask);
}

uint32_t face_flags(const cell* face) {
  cell f = facet(face, FACET_FLAGS);
  return get_flags(&f);
}

// The facet read as a proportion: integer, float or percent clamped to 0..1;
// -1 for any other value.
double clamp_ratio(const cell* v) {
  double d;
  switch (type_of(v)) {
    case TYPE_INTEGER: d = integer::get(v); break;
    case TYPE_FLOAT: d = float_::get(v); break;
    case TYPE_PERCENT: d = percent::get(v); break;
    default: return -1.0;
  }
  if (!(d >= 0.0)) return 0.0;
  return d > 1.0 ? 1.0 : d;
}

// The options block's value for a key (a set-word), none when absent.
cell option(const cell* face, const char* key) {
  cell opts = facet(face, FACET_OPTIONS);
  cell out{TYPE_NONE, 0, 0, 0};
  int32_t n = block_length(&opts);
  uint32_t s = canon(key);
  for (int32_t i = 0; i + 1 < n; i += 2) {
    cell* k = block_at(&opts, i);
    if (k && (type_of(k) == TYPE_SET_WORD || type_of(k) == TYPE_WORD) && symbol::resolve(k->w2) == s) {
      out = *block_at(&opts, i + 1);
      out.header &= ~uint32_t(FLAG_NEW_LINE);
    }
  }
  return out;
}

// ---------------------------------------------------------------- fonts

// The controls take fonts made by CreateFontW; font objects keep theirs as
// records of the drawing layer: a face's font is bridged through the
// record's logical font, cached per window in slot 28.
HFONT default_font = 0;

HFONT font_for(const cell* face) {
  cell font = facet(face, FACET_FONT);
  if (type_of(&font) != TYPE_OBJECT) return default_font;
  collector::root_cells keep(&font);
  const gfx::gdi_font* f = get_font(face, &font);
  if (!f) return default_font;
  const gfx::log_font& lf = f->description();
  return CreateFontW(lf.height, 0, 0, 0, lf.weight, lf.italic, lf.underline, lf.strike_out, 0, 0, 0, DWORD(lf.quality),
                     0, lf.face_name.c_str());
}

void set_face_font(HWND hwnd, const cell* face) {
  HFONT old = HFONT(GetWindowLongW(hwnd, SLOT_FONT));
  HFONT f = font_for(face);
  SendMessageW(hwnd, WM_SETFONT, WPARAM(f), 1);
  SetWindowLongW(hwnd, SLOT_FONT, f == default_font ? 0 : LONG(f));
  if (old && old != default_font) DeleteObject(old);
}

const char* const other_names[] = {
    "---", "I-beam", "accelerated", "awake", "color", "cross", "cursor", "hand", "hint", "popup", "ratio",
    "resize-ew", "resize-ns", "resize-we", "steps", "stop", "tabs", "vertical?", "wheel", "up", "down", "page-up",
    "page-down", "end", "track", "left", "right", "page-left", "page-right", "vertical", "horizontal", "inserted",
    "poke", "put", "moved", "changed", "appended", "poked", "put-ed", "remove", "take", "clear", "sort", "position",
    "page-size", "max-size", "view", "platform", "version", "build", "product", "metrics", "dpi", "screen-size",
    "fonts", "system", "size", "done", "continue", "misc", "colors", "scroller", "text", "window", "panel",
};

// ---------------------------------------------------------------- public DPI

void set_dpi(uint32_t dpi) {
  dpi_value = dpi ? dpi : 96;
  dpi_factor = dpi_value / 96.0;
}
uint32_t current_dpi() { return dpi_value; }
int32_t dpi_scale(double x) { return int32_t(std::floor(x * dpi_factor + 0.5)); }
double dpi_unscale(double x) { return x / dpi_factor; }
bool started() { return started_; }

int loop_counter() { return loop_count; }

bool window_face(HWND hwnd, cell* out) {
  LONG ref = hwnd && IsWindow(hwnd) ? GetWindowLongW(hwnd, SLOT_FACE) : 0;
  if (!ref) {
    none::make_at(out);
    return false;
  }
  *out = *refs::cell_at(uint32_t(ref));
  out->header &= ~uint32_t(FLAG_NEW_LINE);
  return type_of(out) == TYPE_OBJECT;
}

HWND face_window(const cell* face) {
  if (type_of(face) != TYPE_OBJECT) return 0;
  cell st = get_state(face);
  cell* h = block_at(&st, 0);
  return h && type_of(h) == TYPE_HANDLE ? HWND(h->w2) : 0;
}
namespace {

// ---------------------------------------------------------------- routines

inline cell* param(uint64_t p) { return reinterpret_cast<cell*>(uintptr_t(p)); }
inline uint64_t answer(const cell* c) { return reinterpret_cast<uintptr_t>(c); }
const cell none_value{TYPE_NONE, 0, 0, 0};

uint64_t r_init(const uint64_t*) {
  init();
  return answer(&none_value);
}

uint64_t r_make_view(const uint64_t* p) {
  init();
  cell face = *param(p[0]), parent = *param(p[1]);
  collector::root_cells keep(&face);
  // Only a window can be a parent: a screen's monitor handle or a stale
  // window gives a top-level window.
  HWND ph = type_of(&parent) == TYPE_HANDLE && parent.w1 != handle::KIND_MONITOR ? HWND(parent.w2) : 0;
  if (ph && !IsWindow(ph)) ph = 0;
  HWND h = os_make_view(&face, ph);
  return answer(handle::make_at(stack::push_cell(), h, handle::KIND_WINDOW));
}

uint64_t r_show_window(const uint64_t* p) {
  cell h = *param(p[0]);
  if (type_of(&h) == TYPE_HANDLE && IsWindow(HWND(h.w2))) os_show_window(HWND(h.w2));
  return answer(&none_value);
}

uint64_t r_update_view(const uint64_t* p) {
  cell v = *param(p[0]);
  collector::root_cells keep(&v);
  if (type_of(&v) == TYPE_BLOCK) {
    int32_t n = block_length(&v);
    for (int32_t i = 0; i < n; ++i) {
      cell f = *block_at(&v, i);
      if (type_of(&f) != TYPE_OBJECT) {
        cell t;
        datatype::make_at(&t, type_of(&f));
        error::fire(err::cat_script, err::script::invalid_type, &t);
      }
    }
    os_update_views(&v);
  } else if (type_of(&v) == TYPE_OBJECT) {
    if (face_type_of(&v) != T_SCREEN) os_update_view(&v);
  } else {
    cell t;
    datatype::make_at(&t, type_of(&v));
    error::fire(err::cat_script, err::script::invalid_type, &t);
  }
  return answer(&none_value);
}

uint64_t r_destroy_view(const uint64_t* p) {
  cell face = *param(p[0]), empty = *param(p[1]);
  collector::root_cells keep(&face);
  free_faces(&face, true);
  // A window keeps its blocking mark after its loop ended another way
  // (stop-events): with no loop waiting, closing it ends none, and leaves
  // no quit behind for the next modal loop to take.
  if (is_true(&empty) && loop_count > 0) {
    ++exit_count;
    --loop_count;
  }
  return answer(&none_value);
}

uint64_t r_redraw(const uint64_t* p) {
  cell face = *param(p[0]);
  if (HWND h = face_window(&face)) {
    InvalidateRect(h, nullptr, FALSE);
    UpdateWindow(h);
  }
  return answer(&none_value);
}

uint64_t r_refresh_window(const uint64_t* p) {
  cell h = *param(p[0]);
  if (type_of(&h) == TYPE_HANDLE) UpdateWindow(HWND(h.w2));
  return answer(&none_value);
}

uint64_t r_do_event_loop(const uint64_t* p) {
  cell nw = *param(p[0]);
  init();
  bool r = do_events(is_true(&nw));
  return answer(logic::make_at(stack::push_cell(), r));
}

uint64_t r_exit_event_loop(const uint64_t*) {
  PostQuitMessage(0);
  return answer(&none_value);
}

uint64_t r_make_null_handle(const uint64_t*) { return answer(handle::make_at(stack::push_cell(), 0, handle::KIND_NULL)); }

uint64_t r_get_screen_size(const uint64_t*) {
  init();
  int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
  return answer(pair::make_at(stack::push_cell(), w * 96 / int(dpi_value), h * 96 / int(dpi_value)));
}

uint64_t r_request_file(const uint64_t* p) {
  init();
  cell title = *param(p[0]), name = *param(p[1]), filter = *param(p[2]), save = *param(p[3]), multi = *param(p[4]);
  collector::root_cells k1(&title), k2(&name), k3(&filter);
  return answer(os_request_file(&title, &name, &filter, is_true(&save), is_true(&multi)));
}

uint64_t r_request_dir(const uint64_t* p) {
  init();
  cell title = *param(p[0]), dir = *param(p[1]), keep = *param(p[3]);
  return answer(os_request_dir(&title, &dir, is_true(&keep)));
}

BOOL CALLBACK_monitor(HMONITOR m, HDC, RECT* r, LPARAM data) {
  cell* list = reinterpret_cast<cell*>(data);
  UINT dx = 96, dy = 96;
  GetDpiForMonitor(m, MDT_EFFECTIVE_DPI, &dx, &dy);
  cell spec;
  block::make_at(&spec, 4);
  collector::root_cells keep(&spec);
  cell v;
  pair::make_at(&v, r->left, r->top);
  block::ks_append(&spec, &v);
  pair::make_at(&v, r->right - r->left, r->bottom - r->top);
  block::ks_append(&spec, &v);
  float_::make_at(&v, dx / 96.0);
  block::ks_append(&spec, &v);
  handle::make_at(&v, m, handle::KIND_MONITOR);
  block::ks_append(&spec, &v);
  block::ks_append(list, &spec);
  return 1;
}

uint64_t r_fetch_all_screens(const uint64_t*) {
  init();
  cell* list = block::make_at(stack::push_cell(), 2);
  cell keep_list = *list;
  collector::root_cells keep(&keep_list);
  EnumDisplayMonitors(0, nullptr, CALLBACK_monitor, LPARAM(&keep_list));
  *list = keep_list;
  return answer(list);
}

uint64_t r_get_current_screen(const uint64_t*) {
  init();
  POINT p;
  GetCursorPos(&p);
  return answer(handle::make_at(stack::push_cell(), MonitorFromPoint(p, MONITOR_DEFAULTTONEAREST), handle::KIND_MONITOR));
}

// gui/get-text-size: the text in the face's font, in device-independent
// units: laid out as a base-like face paints it, else wrapped at word breaks.
uint64_t r_size_text(const uint64_t* p) {
  init();
  cell face = *param(p[0]), value = *param(p[1]);
  collector::root_cells keep(&face), keep_v(&value);
  cell text;
  if (type_of(&value) == TYPE_STRING) text = value;
  else if (type_of(&value) == TYPE_NONE) text = facet(&face, FACET_TEXT);
  else {
    cell t;
    datatype::make_at(&t, type_of(&value));
    error::fire(err::cat_script, err::script::invalid_type, &t);
  }
  if (type_of(&text) != TYPE_STRING) return answer(&none_value);
  collector::root_cells keep_text(&text);
  std::u16string t = utf16_of(&text);
  if (base_like(face_type_of(&face))) {
    // As the face paints it; the width keeps a little room, as measured
    // text drawn again may come out a shade wider.
    gfx::text_metrics m = text_box::measure(&face, t);
    return answer(point2D::make_at(stack::push_cell(), m.width * 0.98f, m.height));
  }
  HWND hwnd = face_window(&face);
  HDC dc = GetWindowDC(hwnd);
  HFONT font = font_for(&face);
  HGDIOBJ old = SelectObject(dc, font);
  RECT r{0, 0, 0x7FFFFFFF, 0};
  DrawTextW(dc, t.c_str(), -1, &r, DT_CALCRECT | DT_EXPANDTABS | DT_WORDBREAK);
  SelectObject(dc, old);
  if (font != default_font) DeleteObject(font);
  ReleaseDC(hwnd, dc);
  return answer(point2D::make_at(stack::push_cell(), float(dpi_unscale(r.right)), float(dpi_unscale(r.bottom))));
}

uint64_t r_update_text(const uint64_t* p) {
  cell face = *param(p[0]);
  collector::root_cells keep(&face);
  if (HWND h = face_window(&face)) sync_text(h, &face, -1);
  return answer(&none_value);
}

// Deep changes: a pane's faces join or leave their owner's window; list
// data is rebuilt; any other change updates the owner.
uint64_t r_on_change_facet(const uint64_t* p) {
  cell owner = *param(p[0]), word = *param(p[1]), target = *param(p[2]), action = *param(p[3]);
  cell idx = *param(p[5]), part = *param(p[6]);
  collector::root_cells k1(&owner), k2(&target);
  HWND hwnd = face_window(&owner);
  if (!hwnd) return answer(&none_value);
  int type = face_type_of(&owner);
  uint32_t facet_sym = type_of(&word) == TYPE_NONE ? 0 : symbol::resolve(word.w2);
  uint32_t act = type_of(&action) == TYPE_WORD ? symbol::resolve(action.w2) : 0;
  auto is = [&](const char* n) { return act == canon(n); };
  if (facet_sym == canon("pane")) {
    cell pane = facet(&owner, FACET_PANE);
    collector::root_cells keep_pane(&pane);
    int32_t from = type_of(&idx) == TYPE_INTEGER ? integer::get(&idx) : 0;
    int32_t count = type_of(&part) == TYPE_INTEGER ? integer::get(&part) : 0;
    bool attach = is("inserted") || is("poke") || is("put") || is("moved") || is("changed") || is("appended") ||
                  is("poked") || is("put-ed");
    bool detach = is("remove") || is("take") || is("clear");
    if (attach || detach) {
      for (int32_t i = from; i < from + count; ++i) {
        cell* at = block_at(&pane, i);
        if (!at || type_of(at) != TYPE_OBJECT) continue;
        cell f = *at;
        HWND fw = face_window(&f);
        if (!fw) continue;
        if (attach) {
          if (type != T_TAB_PANEL) {
            cell t;
            logic::make_at(&t, true);
            set_facet(&f, FACET_VISIBLE, t);
          }
          SetParent(fw, hwnd);
          ShowWindow(fw, SW_SHOW);
        } else {
          ShowWindow(fw, SW_HIDE);
          SetParent(fw, 0);
        }
      }
    }
    change_pane(&pane);
    return answer(&none_value);
  }
  if (facet_sym == canon("data") && type == T_TAB_PANEL) {
    set_tabs_from_data(hwnd, &owner);
    return answer(&none_value);
  }
  if (facet_sym == canon("data") && (type == T_TEXT_LIST || type == T_DROP_DOWN || type == T_DROP_LIST)) {
    update_list_data(hwnd, &owner, &word, &target, act, type_of(&idx) == TYPE_INTEGER ? integer::get(&idx) : 0,
                     type_of(&part) == TYPE_INTEGER ? integer::get(&part) : 0, type != T_TEXT_LIST, type);
    return answer(&none_value);
  }
  os_update_view(&owner);
  return answer(&none_value);
}

uint64_t r_set_dark_mode(const uint64_t* p) {
  cell face = *param(p[0]), dark = *param(p[1]);
  if (HWND hwnd = face_window(&face)) set_dark_mode(hwnd, logic::get(&dark), face_type_of(&face) == T_WINDOW);
  return answer(&none_value);
}

uint64_t r_update_scroller(const uint64_t* p) {
  cell sc = *param(p[0]), fl = *param(p[1]);
  collector::root_cells keep(&sc);
  cell parent = object_field(&sc, "parent");
  HWND hwnd = face_window(&parent);
  if (!hwnd) return answer(&none_value);
  cell vert = object_field(&sc, "vertical?");
  int bar = is_true(&vert) ? SB_VERT : SB_HORZ;
  int32_t field = type_of(&fl) == TYPE_INTEGER ? integer::get(&fl) : -1;
  SCROLLINFO si{};
  si.cbSize = sizeof si;
  auto int_field = [&](const char* n) {
    cell v = object_field(&sc, n);
    return type_of(&v) == TYPE_INTEGER ? integer::get(&v) : 0;
  };
  switch (field) {
    case 0: si.fMask = SIF_POS | SIF_DISABLENOSCROLL; si.nPos = int_field("position"); break;
    case 1:
    case 3:
      si.fMask = SIF_RANGE | SIF_PAGE | SIF_DISABLENOSCROLL;
      si.nPage = UINT(int_field("page-size"));
      si.nMax = int_field("max-size");
      break;
    case 4: {
      cell v = object_field(&sc, "visible?");
      ShowScrollBar(hwnd, bar, is_true(&v));
      return answer(&none_value);
    }
    default: return answer(&none_value);
  }
  SetScrollInfo(hwnd, bar, &si, TRUE);
  return answer(&none_value);
}

// Draws on the context of the face's running `drawing` event; a draw error
// ends that drawing only.
uint64_t r_draw_face(const uint64_t* p) {
  cell face = *param(p[0]), cmds = *param(p[1]);
  collector::root_cells keep(&face), keep_c(&cmds);
  HWND hwnd = face_window(&face);
  if (!hwnd || hwnd != drawing_window || !drawing_ctx || type_of(&cmds) != TYPE_BLOCK) return answer(&none_value);
  cell* saved_top = stack::top;
  uint32_t depth = cycles::depth();
  try {
    draw::parse(*drawing_ctx, &cmds, false);
  } catch (const thrown&) {
    if (cycles::depth() > depth) cycles::pop_n(cycles::depth() - depth);
    runtime::ctx.thrown = 0;
    stack::top = saved_top;
  }
  return answer(&none_value);
}

// gui/OS-request-font: the font object takes the user's choice.
uint64_t r_request_font(const uint64_t* p) {
  init();
  cell font = *param(p[0]), selected = *param(p[1]), mono = *param(p[2]);
  collector::root_cells keep(&font), keep_sel(&selected);
  LOGFONTW lf{};
  cell no_face{TYPE_NONE, 0, 0, 0};
  // The dialog starts from the selected font when there is one; the answer
  // is the first font, filled in.
  cell& start = type_of(&selected) == TYPE_OBJECT ? selected : font;
  const gfx::gdi_font* f = type_of(&start) == TYPE_OBJECT ? get_font(&no_face, &start) : nullptr;
  std::u16string name = u"Courier New";
  if (f) {
    lf.lfHeight = f->description().height;
    lf.lfWeight = f->description().weight;
    lf.lfItalic = f->description().italic;
    if (!f->description().face_name.empty()) name = f->description().face_name;
  } else {
    lf.lfHeight = -(11 * int(dpi_value)) / 72;
  }
  lf.lfCharSet = 1;
  std::copy(name.begin(), name.begin() + std::min<size_t>(name.size(), 31), lf.lfFaceName);
  CHOOSEFONTW cf{};
  cf.lStructSize = sizeof cf;
  cf.hwndOwner = GetForegroundWindow();
  cf.lpLogFont = &lf;
  cf.Flags = 0x1000043 | (is_true(&mono) ? CF_FIXEDPITCHONLY : 0);
  if (!ChooseFontW(&cf)) return answer(&none_value);
  std::u16string chosen(lf.lfFaceName);
  std::string utf8(chosen.begin(), chosen.end());
  cell v{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_v(&v);
  string::load(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size(), &v);
  if (cell* slot = object_field_slot(&font, "name")) *slot = v;
  if (cell* slot = object_field_slot(&font, "size")) integer::make_at(slot, cf.iPointSize / 10);
  bool bold = lf.lfWeight == 700, italic = lf.lfItalic;
  if (bold && italic) {
    block::make_at(&v, 2);
    cell w;
    word::make_at(symbol::make("bold"), &w);
    block::ks_append(&v, &w);
    word::make_at(symbol::make("italic"), &w);
    block::ks_append(&v, &w);
  } else if (bold || italic) {
    word::make_at(symbol::make(bold ? "bold" : "italic"), &v);
  } else {
    none::make_at(&v);
  }
  if (cell* slot = object_field_slot(&font, "style")) *slot = v;
  return answer(stack::push(&font));
}

// gui/update-para: styles that follow the para; an area is made again.
uint64_t r_update_para(const uint64_t* p) {
  cell face = *param(p[0]);
  collector::root_cells keep(&face);
  cell st = get_state(&face);
  if (type_of(&st) != TYPE_BLOCK) return answer(&none_value);
  HWND hwnd = face_window(&face);
  if (!hwnd) return answer(&none_value);
  int type = face_type_of(&face);
  cell para = facet(&face, FACET_PARA);
  collector::root_cells keep_para(&para);
  if (type == T_AREA) {
    HWND parent = GetParent(hwnd);
    free_faces(&face, false);
    DestroyWindow(hwnd);
    collector::root_cells keep_st(&st);
    HWND fresh = os_make_view(&face, parent);
    set_facet(&face, FACET_STATE, st);
    if (cell* h = block_at(&st, 0)) handle::make_at(h, fresh, handle::KIND_WINDOW);
  } else {
    uint32_t clear = type == T_BASE || type == T_RICH_TEXT ? 0x2F
                     : type == T_BUTTON || type == T_TOGGLE || type == T_CHECK || type == T_RADIO ? 0xF00
                     : type == T_FIELD || type == T_TEXT ? 0x40C3 : 0;
    if (clear) {
      cell tw = facet(&face, FACET_TYPE);
      uint32_t bits = type_of(&para) == TYPE_OBJECT ? text_box::get_para_flags(tw.w2, &para) : 0;
      SetWindowLongW(hwnd, GWL_STYLE, LONG((uint32_t(GetWindowLongW(hwnd, GWL_STYLE)) & ~clear) | bits));
    }
  }
  set_change_mask(&face, change_mask(&face) | (1 << FACET_PARA));
  return answer(&none_value);
}

uint64_t r_detach_image(const uint64_t* p) {
  cell img = *param(p[0]);
  ownership::unbind(&img);
  return answer(&none_value);
}

// Drawing runs on cairo: there is no device to make again, only targets to
// drop so the next paint makes them fresh.
uint64_t r_toggle_gpu(const uint64_t*) {
  d2d::release_all_targets();
  return answer(&none_value);
}

uint64_t r_support_dark_mode_q(const uint64_t*) { return answer(logic::make_at(stack::push_cell(), support_dark_mode())); }

}  // namespace

// ---------------------------------------------------------------- public

bool do_events(bool no_wait) {
  int64_t saved_cache = modifier_cache;
  modifier_cache = -1;
  bool result = false;
  if (!no_wait) ++loop_count;
  MSG msg;
  // An error raised through the loop (a dispatch nested too deep) leaves
  // no pointer to this frame's message behind.
  struct restore {
    int64_t cache;
    MSG* current;
    bool counted;
    int exceptions = std::uncaught_exceptions();
    ~restore() {
      if (std::uncaught_exceptions() > exceptions) {
        modifier_cache = cache;
        current_msg = current;
        if (counted) --loop_count;
      }
    }
  } on_error{saved_cache, current_msg, !no_wait};
  while (no_wait ? PeekMessageW(&msg, 0, 0, 0, PM_REMOVE) > 0 : GetMessageW(&msg, 0, 0, 0) > 0) {
    result = true;
    current_msg = &msg;
    int go = process_input(&msg);
    if (go > 0) {
      MSG* saved = current_msg;
      current_msg = &msg;
      TranslateMessage(&msg);
      DispatchMessageW(&msg);
      current_msg = saved;
    }
    current_msg = nullptr;
    if (no_wait) {
      modifier_cache = saved_cache;
      return result;
    }
  }
  if (!no_wait) {
    // A loop that ended on its own (nothing left to do) still counts out.
    if (exit_count > 0) --exit_count;
    else --loop_count;
    if (exit_count > 0) PostQuitMessage(0);
  }
  modifier_cache = saved_cache;
  return result;
}

void init() {
  if (started_) return;
  started_ = true;
  // Nothing else starts the window system in this process.
  layer::start();
  set_dpi(GetDpiForSystem());
  init_default_font();
  register_classes();
  // A current desktop.
  if (cell* v = system_stub::system_field({"view", "platform", "version"})) {
    int32_t parts[2] = {10, 0};
    tuple::make_at(v, parts, 2);
  }
  if (cell* v = system_stub::system_field({"view", "platform", "build"})) integer::make_at(v, 22631);
  if (cell* v = system_stub::system_field({"view", "platform", "product"})) integer::make_at(v, 1);
  init_metrics();
  system_dark = windows10_plus && support_dark_mode() && ShouldAppsUseDarkMode();
}

void intern_names() {
  for (const char* n : facet_names) symbol::make(n);
  for (const char* n : type_names) symbol::make(n);
  for (const char* n : other_names) symbol::make(n);
  for (const key_name& k : key_names) symbol::make(k.name);
}

void register_routines(natives::routine_list& list) {
  // Events made by the backend read their fields here; built events go out
  // as window input; a shown face converts to an image.
  event::set_backend_reader(read_field);
  event::set_send_hook(os_send_event);
  image::set_face_to_image(face_to_image);
  list.push_back({"_gui-init", "[]", r_init, true});
  list.push_back({"_make-null-handle", "[return: [handle!]]", r_make_null_handle, true});
  list.push_back({"_get-screen-size", "[id [integer!] return: [pair!]]", r_get_screen_size, true});
  list.push_back({"_destroy-view", "[face [object!] empty? [logic!]]", r_destroy_view, true});
  list.push_back({"_update-view", "[face [any-type!]]", r_update_view, true});
  list.push_back({"_refresh-window", "[h [handle!]]", r_refresh_window, true});
  list.push_back({"_redraw", "[face [object!]]", r_redraw, true});
  list.push_back({"_show-window", "[id [handle!]]", r_show_window, true});
  list.push_back({"_make-view", "[face [object!] parent [handle!] return: [handle!]]", r_make_view, true});
  list.push_back({"_do-event-loop", "[no-wait? [logic!] return: [logic!]]", r_do_event_loop, true});
  list.push_back({"_exit-event-loop", "[]", r_exit_event_loop, true});
  list.push_back({"_request-file",
                  "[title [any-type!] name [any-type!] filter [any-type!] save? [logic!] multi? [logic!]]",
                  r_request_file, true});
  list.push_back({"_request-dir", "[title [any-type!] dir [any-type!] filter [any-type!] keep? [logic!] multi? [logic!]]",
                  r_request_dir, true});
  list.push_back({"_fetch-all-screens", "[return: [block!]]", r_fetch_all_screens, true});
  list.push_back({"_get-current-screen", "[return: [handle!]]", r_get_current_screen, true});
  list.push_back({"_size-text", "[face [object!] value [any-type!]]", r_size_text, true});
  list.push_back({"_update-text", "[face [object!]]", r_update_text, true});
  list.push_back({"_on-change-facet",
                  "[owner [object!] word [any-word! none!] target [any-type!] action [word!] new [any-type!] "
                  "index [integer!] part [integer!]]",
                  r_on_change_facet, true});
  list.push_back({"_set-dark-mode", "[face [object!] dark? [logic!]]", r_set_dark_mode, true});
  list.push_back({"_update-scroller", "[scroller [object!] flags [integer!]]", r_update_scroller, true});
  list.push_back({"_draw-face", "[face [object!] cmds [block!]]", r_draw_face, true});
  list.push_back({"_request-font", "[font [object!] selected [any-type!] mono? [logic!]]", r_request_font, true});
  list.push_back({"_update-para", "[face [object!] flags [integer!]]", r_update_para, true});
  list.push_back({"_detach-image", "[img [image!]]", r_detach_image, true});
  list.push_back({"_toggle-GPU", "[]", r_toggle_gpu, true});
  list.push_back({"_support-dark-mode?", "[return: [logic!]]", r_support_dark_mode_q, true});
}

}  // namespace kez::gui::view
