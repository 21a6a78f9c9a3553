#include "gui/backend/view.h"

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <cairo.h>
#include <fcntl.h>
#include <linux/videodev2.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
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
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/handle.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/percent.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/time.h"
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

using namespace kez::win;

namespace {

// ---------------------------------------------------------------- names

const char* const facet_names[] = {
    "type", "offset", "size", "text", "image", "color", "menu", "data", "enabled?", "visible?", "selected", "flags",
    "options", "parent", "pane", "state", "rate", "edge", "para", "font", "actors", "extra", "draw",
};

enum face_type : int {
  T_UNKNOWN = -1, T_WINDOW, T_BUTTON, T_TOGGLE, T_CHECK, T_RADIO, T_FIELD, T_AREA, T_TEXT, T_TEXT_LIST, T_PROGRESS,
  T_SLIDER, T_DROP_DOWN, T_DROP_LIST, T_BASE, T_PANEL, T_TAB_PANEL, T_GROUP_BOX, T_CAMERA, T_SCROLLER, T_RICH_TEXT,
  T_CALENDAR, T_SCREEN, T_COUNT,
};
const char* const type_names[] = {
    "window", "button", "toggle", "check", "radio", "field", "area", "text", "text-list", "progress", "slider",
    "drop-down", "drop-list", "base", "panel", "tab-panel", "group-box", "camera", "scroller", "rich-text", "calendar",
    "screen",
};

// Event type codes.
enum ev : int32_t {
  EV_DOWN = 1, EV_UP, EV_MID_DOWN, EV_MID_UP, EV_ALT_DOWN, EV_ALT_UP, EV_AUX_DOWN, EV_AUX_UP, EV_CLICK, EV_DBL_CLICK,
  EV_WHEEL, EV_OVER, EV_KEY, EV_KEY_DOWN, EV_KEY_UP, EV_IME, EV_FOCUS, EV_UNFOCUS, EV_ENTER, EV_ZOOM, EV_PAN,
  EV_ROTATE, EV_TWO_TAP, EV_PRESS_TAP, EV_SELECT, EV_CHANGE, EV_MENU, EV_CLOSE, EV_MOVE, EV_RESIZE, EV_MOVING,
  EV_RESIZING, EV_TIME, EV_DRAWING, EV_SCROLL,
};

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

// ---------------------------------------------------------------- state

bool started_ = false;
HINSTANCE instance = 1;
bool windows8_plus = true, windows10_plus = true, windows11_plus = true, pre_vista = false;
uint32_t dpi_value = 96;
double dpi_factor = 1.0;
int dpi_depth = 0;
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
bool system_dark = false;        // the desktop asks applications for dark colours
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
// Leaves the scope whatever happens inside it.
struct dpi_scope {
  uint32_t saved;
  explicit dpi_scope(HWND hwnd) { push_dpi_for(hwnd, saved); }
  ~dpi_scope() { pop_dpi(saved); }
};

// gui/init-dpi: the DPI of the monitor under the cursor.
void init_dpi() {
  POINT p;
  GetCursorPos(&p);
  UINT dx = 96, dy = 96;
  GetDpiForMonitor(MonitorFromPoint(p, MONITOR_DEFAULTTONEAREST), MDT_EFFECTIVE_DPI, &dx, &dy);
  set_dpi(dx);
}

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

bool get_event_window_face(HWND& hwnd);

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

// ---------------------------------------------------------------- menus

bool menu_bar_q(const cell* spec, int type) {
  if (type != T_WINDOW || block_length(spec) == 0) return false;
  cell* first = block_at(spec, 0);
  return !(type_of(first) == TYPE_WORD && symbol::resolve(first->w2) == canon("popup"));
}

HMENU build_menu(const cell* spec_in, HMENU menu) {
  if (!block::any_block_q(type_of(spec_in))) return 0;
  cell spec_cell = *spec_in;
  collector::root_cells keep(&spec_cell);
  const cell* spec = &spec_cell;
  int32_t n = block_length(spec);
  UINT position = 0;
  uint32_t separator = canon("---");
  for (int32_t i = 0; i < n; ++i) {
    cell v = *block_at(spec, i);
    MENUITEMINFOW info{};
    info.cbSize = sizeof info;
    if (type_of(&v) == TYPE_STRING) {
      info.fMask = MIIM_STRING | MIIM_ID | MIIM_DATA;
      info.fType = MFT_STRING;
      info.dwItemData = uintptr_t(-1);
      cell* next = i + 1 < n ? block_at(spec, i + 1) : nullptr;
      if (next && type_of(next) == TYPE_BLOCK) {
        cell sub = *next;
        info.hSubMenu = build_menu(&sub, CreatePopupMenu());
        info.fMask |= MIIM_SUBMENU;
        ++i;
      } else if (next && type_of(next) == TYPE_WORD) {
        info.dwItemData = next->w2;
        ++i;
      }
      std::u16string text = utf16_of(&v);
      info.dwTypeData = text.data();
      info.cch = UINT(text.size());
      info.wID = position;
      InsertMenuItemW(menu, position, TRUE, &info);
      ++position;
    } else if (type_of(&v) == TYPE_WORD && symbol::resolve(v.w2) == separator) {
      info.fMask = MIIM_FTYPE | MIIM_ID | MIIM_DATA;
      info.fType = MFT_SEPARATOR;
      info.dwItemData = uintptr_t(-1);
      info.wID = position;
      InsertMenuItemW(menu, position, TRUE, &info);
      ++position;
    }
  }
  return menu;
}

int32_t get_menu_item_id(HMENU menu, int32_t position) {
  MENUITEMINFOW info{};
  info.cbSize = sizeof info;
  info.fMask = MIIM_DATA;
  if (!GetMenuItemInfoW(menu, UINT(position), TRUE, &info)) return -1;
  return int32_t(info.dwItemData);
}

MSG* cursor_msg() {
  if (current_msg) return current_msg;
  DWORD pos = GetMessagePos();
  spare_msg = MSG{};
  spare_msg.pt = POINT{GET_X_LPARAM(LPARAM(pos)), GET_Y_LPARAM(LPARAM(pos))};
  return &spare_msg;
}

void send_menu_event(HWND hwnd) {
  int32_t id = get_menu_item_id(menu_handle, menu_item);
  MSG* m = cursor_msg();
  HWND saved = m->hwnd;
  m->hwnd = menu_window ? menu_window : hwnd;
  make_event(m, id, EV_MENU);
  m->hwnd = saved;
  if (context_menu) DestroyMenu(context_menu);
  context_menu = 0;
  menu_window = 0;
  menu_handle = 0;
  menu_item = -1;
}

bool show_context_menu(MSG* msg, int x, int y) {
  cell face;
  HWND hwnd = msg->hwnd;
  if (!get_event_window_face(hwnd) || !window_face(hwnd, &face)) return false;
  menu_item = -1;
  menu_handle = 0;
  cell spec = facet(&face, FACET_MENU);
  if (!block::any_block_q(type_of(&spec)) || menu_bar_q(&spec, face_type_of(&face))) return false;
  collector::root_cells keep(&spec);
  HWND owner = GetParent(hwnd);
  if (!owner) owner = hwnd;
  menu_window = hwnd;
  context_menu = build_menu(&spec, CreatePopupMenu());
  TrackPopupMenuEx(context_menu, TPM_LEFTBUTTON, x, y, owner, nullptr);
  return true;
}

// ---------------------------------------------------------------- events

cell awake_result;  // the handler's answer, read at once

// Words of the verdicts.
int verdict(const cell* v) {
  if (type_of(v) != TYPE_WORD) return 1;
  uint32_t s = symbol::resolve(v->w2);
  return s == canon("stop") ? 0 : 1;
}

// Calls a function of the high-level code with `count` arguments; every
// exit it raises is dropped (the interpreter's guard puts the stacks back).
// Answers the verdict of its result (1 when it raised or is no function).
int call_guarded(const cell* fn, cell* args, int32_t count, const char* name) {
  if (!fn || type_of(fn) != TYPE_FUNCTION) return 1;
  cell f = *fn;
  collector::root_cells keep(&f);
  cell word_name = *word::push_from_symbol(symbol::make(name));
  stack::pop(1);
  cell result;
  if (!interpreter::call_guarded(&f, args, uint32_t(count), &word_name, &result)) return 1;
  return verdict(&result);
}

// Runs system/view/awake on the global event.
int call_awake(int32_t type, uint32_t word) {
  cell ev{TYPE_EVENT, uint32_t(type), 0, word};
  return call_guarded(system_stub::system_field({"view", "awake"}), &ev, 1, "awake");
}

uint32_t read_modifier_flags(bool keys_only) {
  uint32_t f = 0;
  if (GetKeyState(VK_CONTROL) & 0x8000) f |= event::FLAG_CONTROL;
  if (GetKeyState(VK_SHIFT) & 0x8000) f |= event::FLAG_SHIFT;
  if (GetKeyState(VK_MENU) & 0x8000) f |= event::FLAG_ALT;
  if (!keys_only) {
    if (GetKeyState(VK_LBUTTON) & 0x8000) f |= event::FLAG_DOWN;
    if (GetKeyState(VK_RBUTTON) & 0x8000) f |= event::FLAG_ALT_DOWN;
    if (GetKeyState(VK_MBUTTON) & 0x8000) f |= event::FLAG_MID_DOWN;
    if (GetKeyState(VK_XBUTTON1) & 0x8000) f |= event::FLAG_AUX_DOWN;
  }
  return f;
}
uint32_t modifier_flags() { return modifier_cache >= 0 ? uint32_t(modifier_cache) : read_modifier_flags(false); }
uint32_t mouse_key_flags(WPARAM w) {
  uint32_t f = 0;
  if (w & MK_LBUTTON) f |= event::FLAG_DOWN;
  if (w & MK_RBUTTON) f |= event::FLAG_ALT_DOWN;
  if (w & MK_SHIFT) f |= event::FLAG_SHIFT;
  if (w & MK_CONTROL) f |= event::FLAG_CONTROL;
  if (w & MK_MBUTTON) f |= event::FLAG_MID_DOWN;
  if (w & (MK_XBUTTON1 | MK_XBUTTON2)) f |= event::FLAG_AUX_DOWN;
  return f;
}
uint32_t split_modifier_key(uint32_t vk, LPARAM l) {
  if (vk == VK_SHIFT) return MapVirtualKeyW(UINT((l >> 16) & 0xFF), MAPVK_VSC_TO_VK_EX);
  if (vk == VK_CONTROL) return (l >> 24) & 1 ? 0xA3 : 0xA2;
  if (vk == VK_MENU) return (l >> 24) & 1 ? 0xA5 : 0xA4;
  return vk;
}
bool char_key_q(uint32_t vk) {
  if (vk == 8 || vk == 9 || vk == 13 || vk == 27 || vk == 32) return true;
  if ((vk >= 48 && vk <= 57) || (vk >= 65 && vk <= 90)) return true;
  if (vk >= 96 && vk <= 111 && vk != 108) return true;
  if ((vk >= 186 && vk <= 192) || (vk >= 219 && vk <= 223) || (vk >= 226 && vk <= 228) || (vk >= 233 && vk <= 245))
    return true;
  return false;
}

void sync_text(HWND hwnd, const cell* face, int32_t item);

}  // namespace

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

}  // namespace

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

// gui/get-event-window: the face window of a message's window, or 0.
bool get_event_window_face(HWND& hwnd) {
  if (face_window_q(hwnd)) return true;
  HWND p = GetParent(hwnd);
  if (face_window_q(p)) {
    hwnd = p;
    return true;
  }
  MSG* m = current_msg ? current_msg : &spare_msg;
  HWND under = WindowFromPoint(m->pt);
  if (!under) return false;
  DWORD pid = 0;
  GetWindowThreadProcessId(under, &pid);
  if (pid != GetCurrentProcessId()) return false;
  if (face_window_q(under)) {
    hwnd = under;
    return true;
  }
  // Slot 0 holds no record of ours: a window without a face answers none.
  return false;
}

}  // namespace

int make_event(MSG* msg, int32_t extra, int32_t type) {
  // An actor whose change raises the next event nests one more level of
  // handlers: the chain ends in stack-overflow, raised to the code that
  // made the change, before the stacks are too full to handle it.
  interpreter::check_nesting();
  uint32_t word = 0;
  switch (type) {
    case EV_OVER: word = uint32_t(extra); break;
    case EV_KEY_DOWN:
    case EV_KEY_UP: {
      uint32_t vk = uint32_t(msg->wParam & 0xFFFF);
      if (type == EV_KEY_DOWN && vk == VK_PROCESSKEY) {
        last_key = -1;
        return 1;
      }
      if ((type == EV_KEY_DOWN && ime_composing) || char_key_q(vk)) last_key = -1;
      else last_key = int32_t(split_modifier_key(vk, msg->lParam));
      uint32_t key = vk;
      if (last_key == -1) {
        UINT c = MapVirtualKeyW(vk, MAPVK_VK_TO_CHAR);
        if (c) key = c;
      }
      word = (key & 0xFFFF) | modifier_flags();
      break;
    }
    case EV_KEY: {
      uint32_t flags = modifier_flags();
      uint32_t c = uint32_t(msg->wParam);
      if (c >= 0xD800 && c <= 0xDBFF) {
        pending_char = c;
        return 1;
      }
      if (c >= 0xDC00 && c <= 0xDFFF) {
        c = ((pending_char & 0x3FF) << 10) + 0x10000 + (c & 0x3FF);
        pending_char = c;
        flags = 0;
      } else {
        pending_char = 0;
      }
      // Ctrl with a lower-case letter reads as the upper-case character; only
      // a character message carries one (a key word's code is no letter).
      if ((flags & event::FLAG_CONTROL) && c >= 0x61 && c <= 0x7A && msg->message == WM_CHAR) {
        c += 0x40;
        last_key = -1;
      }
      if ((ime_composing && (flags & event::FLAG_SHIFT)) || last_key == 0xA4 || last_key == 0xA5) last_key = -1;
      word = c > 0xFFFF ? c : (c | flags);
      break;
    }
    case EV_SELECT: {
      cell face;
      HWND h = msg->hwnd;
      if (get_event_window_face(h) && window_face(h, &face) && face_type_of(&face) == T_DROP_DOWN) {
        collector::root_cells keep(&face);
        sync_text(h, &face, extra);
      }
      word = uint32_t(extra + 1) & 0xFFFF;
      break;
    }
    case EV_CHANGE: {
      cell face;
      HWND h = msg->hwnd;
      bool has = get_event_window_face(h) && window_face(h, &face);
      if (has && face_type_of(&face) == T_TAB_PANEL) {
        word = uint32_t(extra) & 0xFFFF;
      } else if (has && extra != 0 && !(face_flags(&face) & FACET_FLAGS_NO_SYNC)) {
        collector::root_cells keep(&face);
        sync_text(h, &face, -1);
      }
      break;
    }
    case EV_WHEEL: case EV_DBL_CLICK: case EV_DOWN: case EV_UP: case EV_MID_DOWN: case EV_MID_UP: case EV_ALT_DOWN:
    case EV_ALT_UP:
      word = uint32_t(extra) | read_modifier_flags(false);
      break;
    case EV_CLICK: word = read_modifier_flags(true); break;
    case EV_MENU: word = uint32_t(extra) & 0xFFFF; break;
    default: break;
  }
  MSG* saved_event_msg = event_msg;
  HWND saved_hwnd = msg->hwnd;
  event_msg = msg;
  int32_t loops = loop_count;
  int r = call_awake(type, word);
  if (loop_count < loops) PostQuitMessage(0);
  msg->hwnd = saved_hwnd;
  event_msg = saved_event_msg ? saved_event_msg : msg;
  return r;
}

namespace {

// ---------------------------------------------------------------- field readers

struct key_name {
  uint32_t vk;
  const char* name;
};
const key_name key_names[] = {
    {0x13, "pause"}, {0x14, "caps-lock"}, {0x21, "page-up"}, {0x22, "page-down"}, {0x23, "end"}, {0x24, "home"},
    {0x25, "left"}, {0x26, "up"}, {0x27, "right"}, {0x28, "down"}, {0x2D, "insert"}, {0x2E, "delete"},
    {0x70, "F1"}, {0x71, "F2"}, {0x72, "F3"}, {0x73, "F4"}, {0x74, "F5"}, {0x75, "F6"}, {0x76, "F7"}, {0x77, "F8"},
    {0x78, "F9"}, {0x79, "F10"}, {0x7A, "F11"}, {0x7B, "F12"}, {0x90, "num-lock"}, {0x91, "scroll-lock"},
    {0xA0, "left-shift"}, {0xA1, "right-shift"}, {0xA2, "left-control"}, {0xA3, "right-control"},
    {0xA4, "left-alt"}, {0xA5, "right-alt"}, {0x5B, "left-command"}, {0x5C, "right-command"},
};
const char* key_word(uint32_t vk) {
  for (const key_name& k : key_names)
    if (k.vk == vk) return k.name;
  return nullptr;
}

cell* word_out(cell* out, const char* name) { return word::make_at(symbol::make(name), out); }
bool gesture_picked(const MSG* m, int32_t type, cell* out);

bool read_field(const cell* e, int32_t index, cell* out) {
  MSG* m = event_msg;
  if (!m) return false;
  int32_t type = int32_t(e->w1);
  uint32_t w3 = e->w3;
  switch (index) {
    case event::F_FACE: {
      HWND h = m->hwnd;
      if (!get_event_window_face(h)) return false;
      return window_face(h, out);
    }
    case event::F_WINDOW: {
      HWND h = m->hwnd;
      if (!get_event_window_face(h)) return false;
      return window_face(GetAncestor(h, GA_ROOT), out);
    }
    case event::F_OFFSET: {
      POINT p{0, 0};
      if (type == EV_WHEEL) {
        p = POINT{GET_X_LPARAM(m->lParam), GET_Y_LPARAM(m->lParam)};
        ScreenToClient(m->hwnd, &p);
      } else if ((type >= 1 && type <= 12) || (type >= EV_MOVE && type <= EV_RESIZING)) {
        if (w3 & event::FLAG_AWAY) {
          POINT o{0, 0};
          ClientToScreen(m->hwnd, &o);
          p = POINT{m->pt.x - o.x, m->pt.y - o.y};
        } else {
          p = POINT{GET_X_LPARAM(m->lParam), GET_Y_LPARAM(m->lParam)};
        }
        if ((type == EV_RESIZE || type == EV_RESIZING) && (GetWindowLongW(m->hwnd, SLOT_WFLAGS) & 0x10)) {
          pair::make_at(out, int32_t(dpi_unscale(p.x)), int32_t(dpi_unscale(p.y)));
          return true;
        }
      } else if (type == EV_KEY || type == EV_KEY_DOWN || type == EV_KEY_UP) {
        DWORD pos = GetMessagePos();
        p = POINT{GET_X_LPARAM(LPARAM(pos)), GET_Y_LPARAM(LPARAM(pos))};
        ScreenToClient(m->hwnd, &p);
      } else if (type == EV_MENU) {
        p = right_click;
      } else if (type >= EV_ZOOM && type <= EV_PRESS_TAP) {
        GESTUREINFO g{};
        g.cbSize = sizeof g;
        if (!GetGestureInfo(HGESTUREINFO(m->lParam), &g)) return false;
        p = POINT{g.ptsLocation.x, g.ptsLocation.y};
      } else {
        return false;
      }
      point2D::make_at(out, float(dpi_unscale(p.x)), float(dpi_unscale(p.y)));
      return true;
    }
    case event::F_KEY: {
      if (type == EV_KEY || type == EV_KEY_DOWN || type == EV_KEY_UP) {
        if (last_key == -1) {
          uint32_t c = type == EV_KEY && pending_char > 0xFFFF ? w3 : (w3 & 0xFFFF);
          char_::make_at(out, int32_t(c));
          return true;
        }
        if (const char* name = key_word(uint32_t(last_key))) {
          word_out(out, name);
          return true;
        }
        if (type == EV_KEY) return false;
        char_::make_at(out, int32_t(w3 & 0xFFFF));
        return true;
      }
      if (type == EV_SCROLL) {
        static const char* const v[] = {"up", "down", "page-up", "page-down", "end", "track"};
        static const char* const h[] = {"left", "right", "page-left", "page-right", "end", "track"};
        uint32_t req = uint32_t(m->wParam & 0xFFFF);
        int i = req <= 3 ? int(req) : req == 5 ? 5 : 4;
        word_out(out, m->message == WM_VSCROLL ? v[i] : h[i]);
        return true;
      }
      if (type == EV_WHEEL) {
        word_out(out, "wheel");
        return true;
      }
      return false;
    }
    case event::F_PICKED: {
      if (type >= EV_ZOOM && type <= EV_PRESS_TAP) return gesture_picked(m, type, out);
      if (type == EV_IME) {
        string::load_in(reinterpret_cast<const uint8_t*>(ime_text.data()), ime_text.size() * 2, out, -1);
        return true;
      }
      if (type == EV_MENU) {
        if ((w3 & 0xFFFF) == 0xFFFF) return false;
        word::make_at(w3 & 0xFFFF, out);
        return true;
      }
      if (type == EV_SCROLL) {
        SCROLLINFO si{};
        si.cbSize = sizeof si;
        si.fMask = SIF_POS | SIF_TRACKPOS;
        GetScrollInfo(m->hwnd, m->message == WM_VSCROLL ? SB_VERT : SB_HORZ, &si);
        integer::make_at(out, si.nTrackPos);
        return true;
      }
      if (type == EV_WHEEL) {
        int32_t d = int16_t(HIWORD(m->wParam));
        if (d < -24000) d += 30720;
        if (d > 24000) d -= 30720;
        float_::make_at(out, d / 120.0);
        return true;
      }
      if (type == EV_DOWN || type == EV_MID_DOWN || type == EV_ALT_DOWN || type == EV_AUX_DOWN ||
          type == EV_DBL_CLICK) {
        cell face;
        HWND h = m->hwnd;
        if (get_event_window_face(h) && window_face(h, &face) && face_type_of(&face) == T_TEXT_LIST) {
          LRESULT i = SendMessageW(h, LB_ITEMFROMPOINT, 0, m->lParam);
          if (i >= 0 && HIWORD(i) == 0) {
            integer::make_at(out, int32_t(LOWORD(i)) + 1);
            return true;
          }
        }
        return false;
      }
      integer::make_at(out, int16_t(w3 & 0xFFFF));
      return true;
    }
    case event::F_ORIENTATION:
      if (type != EV_SCROLL) return false;
      word_out(out, m->message == WM_VSCROLL ? "vertical" : "horizontal");
      return true;
    default: return false;
  }
}

// ---------------------------------------------------------------- widget helpers

void sync_text(HWND hwnd, const cell* face_in, int32_t item) {
  cell face = *face_in;
  collector::root_cells keep(&face);
  LRESULT len = item < 0 ? SendMessageW(hwnd, WM_GETTEXTLENGTH, 0, 0) : SendMessageW(hwnd, CB_GETLBTEXTLEN, WPARAM(item), 0);
  if (len < 0) return;
  std::u16string buf(size_t(len) + 1, u'\0');
  if (len > 0) {
    if (item < 0) SendMessageW(hwnd, WM_GETTEXT, WPARAM(len + 1), LPARAM(buf.data()));
    else SendMessageW(hwnd, CB_GETLBTEXT, WPARAM(item), LPARAM(buf.data()));
  }
  cell s;
  string::make_at_unit(&s, uint32_t(len + 1), 2);
  collector::root_cells keep_s(&s);
  // Leniently: a widget may hold half a surrogate pair, and this runs outside
  // any handler's catch.
  if (len > 0) string::load_utf16(reinterpret_cast<const uint16_t*>(buf.data()), size_t(len), &s, false, true);
  set_facet(&face, FACET_TEXT, s);
}

// BM_SETCHECK from data: indeterminate only for a three-state check asked so.
void set_check_state(HWND hwnd, const cell* data, bool three_state, uint32_t flags) {
  WPARAM w;
  if (type_of(data) == TYPE_NONE) w = three_state && (flags & FACET_FLAGS_TRI_STATE) ? BST_INDETERMINATE : BST_UNCHECKED;
  else if (type_of(data) == TYPE_LOGIC) w = data->w1 ? BST_CHECKED : BST_UNCHECKED;
  else w = BST_CHECKED;
  SendMessageW(hwnd, BM_SETCHECK, w, 0);
}

void sync_check_data(HWND hwnd, const cell* face) {
  LRESULT s = SendMessageW(hwnd, BM_GETCHECK, 0, 0);
  cell v;
  if (s == BST_INDETERMINATE) none::make_at(&v);
  else logic::make_at(&v, s == BST_CHECKED);
  set_facet(face, FACET_DATA, v);
}

double size_extent(const cell* face, bool* vertical) {
  cell size = facet(face, FACET_SIZE);
  double w = 0, h = 0;
  read_xy(&size, w, h);
  if (vertical) *vertical = h > w;
  return w > h ? w : h;
}

void set_progress_or_slider(HWND hwnd, const cell* face, int type, bool set_range) {
  bool vertical;
  double extent = size_extent(face, &vertical);
  cell data = facet(face, FACET_DATA);
  double ratio = type_of(&data) == TYPE_FLOAT ? float_::get(&data) : type_of(&data) == TYPE_PERCENT ? percent::get(&data) : 0.0;
  int32_t pos = int32_t(ratio * extent);
  if (type == T_SLIDER) {
    if (set_range) SendMessageW(hwnd, TBM_SETRANGE, 1, MAKELPARAM(0, int(extent)));
    SendMessageW(hwnd, TBM_SETPOS, 1, vertical ? int32_t(extent) - pos : pos);
  } else {
    if (set_range) SendMessageW(hwnd, PBM_SETRANGE, 0, MAKELPARAM(0, int(extent)));
    SendMessageW(hwnd, PBM_SETPOS, WPARAM(pos), 0);
  }
}

// The slider's position as its data ratio; a vertical slider counts from the bottom.
void slider_to_data(HWND hwnd, const cell* face) {
  bool vertical;
  double extent = size_extent(face, &vertical);
  LRESULT pos = SendMessageW(hwnd, TBM_GETPOS, 0, 0);
  if (vertical) pos = LRESULT(extent) - pos;
  cell d;
  float_::make_at(&d, extent > 0 ? double(pos) / extent : 0.0);
  set_facet(face, FACET_DATA, d);
}

void scroller_to_data(const cell* face, const SCROLLINFO& si) {
  double range = double(si.nMax - si.nMin);
  cell d, p;
  float_::make_at(&d, range > 0 ? (si.nPos - si.nMin) / range : 0.0);
  percent::make_at(&p, range > 0 ? si.nPage / range : 0.0);
  set_facet(face, FACET_DATA, d);
  set_facet(face, FACET_SELECTED, p);
}

// Tabs -------------------------------------------------------------------

void select_tab(HWND hwnd, int index);

void set_tabs_from_data(HWND hwnd, const cell* face) {
  SendMessageW(hwnd, TCM_DELETEALLITEMS, 0, 0);
  cell data = facet(face, FACET_DATA);
  int32_t n = block_length(&data), count = 0;
  for (int32_t i = 0; i < n; ++i) {
    cell v = *block_at(&data, i);
    if (type_of(&v) != TYPE_STRING) continue;
    std::u16string t = utf16_of(&v);
    TCITEMW item{};
    item.mask = TCIF_TEXT;
    item.pszText = t.data();
    item.cchTextMax = int(t.size());
    item.iImage = -1;
    SendMessageW(hwnd, TCM_INSERTITEMW, WPARAM(count), LPARAM(&item));
    ++count;
  }
  cell sel = facet(face, FACET_SELECTED);
  if (type_of(&sel) == TYPE_INTEGER) {
    int32_t s = integer::get(&sel);
    if (s < 1) s = 1;
    if (s > count) s = count;
    cell v;
    integer::make_at(&v, s);
    set_facet(face, FACET_SELECTED, v);
    if (s >= 1) select_tab(hwnd, s - 1);
  } else {
    cell v;
    integer::make_at(&v, 1);
    set_facet(face, FACET_SELECTED, v);
  }
}

// The page of tab n shows; every other page hides (the `selected` facet may
// already name the new tab when the change came from it).
void show_tab_page(const cell* face, int n) {
  cell pane = facet(face, FACET_PANE);
  int32_t pages = block_length(&pane);
  for (int32_t i = 0; i < pages; ++i) {
    cell page = *block_at(&pane, i);
    HWND pw = face_window(&page);
    if (!pw) continue;
    cell v;
    logic::make_at(&v, i == n);
    set_facet(&page, FACET_VISIBLE, v);
    ShowWindow(pw, i == n ? SW_SHOW : SW_HIDE);
    if (i == n) BringWindowToTop(pw);
  }
}

// The `select` event's extra is the tab selected before the change,
// 0-based: make_event reports it one higher, as the 1-based tab number.
LRESULT tab_changing(HWND hwnd) {
  MSG* m = cursor_msg();
  HWND saved = m->hwnd;
  m->hwnd = hwnd;
  int r = make_event(m, int32_t(SendMessageW(hwnd, TCM_GETCURSEL, 0, 0)), EV_SELECT);
  m->hwnd = saved;
  return r == 0 ? 1 : 0;
}

void tab_changed(HWND hwnd) {
  cell face;
  if (!window_face(hwnd, &face)) return;
  collector::root_cells keep(&face);
  int n = int(SendMessageW(hwnd, TCM_GETCURSEL, 0, 0));
  show_tab_page(&face, n);
  MSG* m = cursor_msg();
  HWND saved = m->hwnd;
  m->hwnd = hwnd;
  make_event(m, n + 1, EV_CHANGE);
  m->hwnd = saved;
  cell v;
  integer::make_at(&v, n + 1);
  set_facet(&face, FACET_SELECTED, v);
}

void select_tab(HWND hwnd, int index) {
  HWND parent = GetParent(hwnd);
  NMHDR hdr{hwnd, 0, TCN_SELCHANGING};
  if (SendMessageW(parent, WM_NOTIFY, 0, LPARAM(&hdr))) return;
  SendMessageW(hwnd, TCM_SETCURFOCUS, WPARAM(index), 0);
  hdr.code = TCN_SELCHANGE;
  SendMessageW(parent, WM_NOTIFY, 0, LPARAM(&hdr));
}

// Lists --------------------------------------------------------------------

// gui/set-list-extent: the list box scrolls sideways as far as its widest
// item, measured in the list's own font.
void set_list_extent(HWND hwnd, const std::u16string& text) {
  HDC dc = GetDC(hwnd);
  HGDIOBJ old = SelectObject(dc, HGDIOBJ(SendMessageW(hwnd, WM_GETFONT, 0, 0)));
  SIZE size{0, 0};
  GetTextExtentPoint32W(dc, text.c_str(), int(text.size()), &size);
  SelectObject(dc, old);
  ReleaseDC(hwnd, dc);
  SendMessageW(hwnd, LB_SETHORIZONTALEXTENT, WPARAM(size.cx + 4), 0);
}

void set_list_items(HWND hwnd, const cell* face, bool combo, int type) {
  cell data = facet(face, FACET_DATA);
  if (block::any_block_q(type_of(&data)) || type_of(&data) == TYPE_MAP) {
    SendMessageW(hwnd, combo ? CB_RESETCONTENT : LB_RESETCONTENT, 0, 0);
    int32_t n = block_length(&data);
    std::u16string longest;
    for (int32_t i = 0; i < n; ++i) {
      cell v = *block_at(&data, i);
      if (!text_like(&v)) continue;
      std::u16string t = text_of(&v);
      SendMessageW(hwnd, combo ? CB_ADDSTRING : LB_ADDSTRING, 0, LPARAM(t.c_str()));
      if (t.size() > longest.size()) longest = t;
    }
    if (!combo) {
      set_list_extent(hwnd, longest);
      SetWindowLongW(hwnd, SLOT_CLOSING, LONG(longest.size()));
    }
  }
  cell sel = facet(face, FACET_SELECTED);
  cell text = facet(face, FACET_TEXT);
  if (type == T_DROP_DOWN && type_of(&text) == TYPE_STRING) {
    std::u16string t = utf16_of(&text);
    SetWindowTextW(hwnd, t.c_str());
    return;
  }
  if (type_of(&sel) == TYPE_INTEGER) {
    int32_t s = integer::get(&sel);
    SendMessageW(hwnd, combo ? CB_SETCURSEL : LB_SETCURSEL, WPARAM(s <= 0 ? -1 : s - 1), 0);
  } else if (!combo) {
    SendMessageW(hwnd, LB_SETCURSEL, WPARAM(-1), 0);
    cell v;
    integer::make_at(&v, -1);
    set_facet(face, FACET_SELECTED, v);
  }
}


// gui/insert-list-item: a text value becomes an item at `position`
// (clamped to the count); a list box's extent follows a new longest item.
void insert_list_item(HWND hwnd, const cell* value, int32_t position, bool combo) {
  if (!text_like(value)) return;
  int32_t count = int32_t(SendMessageW(hwnd, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0));
  if (position < 0 || position > count) position = count;
  std::u16string t = text_of(value);
  SendMessageW(hwnd, combo ? CB_INSERTSTRING : LB_INSERTSTRING, WPARAM(position), LPARAM(t.c_str()));
  if (!combo && GetWindowLongW(hwnd, SLOT_CLOSING) < LONG(t.size())) {
    SetWindowLongW(hwnd, SLOT_CLOSING, LONG(t.size()));
    set_list_extent(hwnd, t);
  }
}

void delete_list_item(HWND hwnd, int32_t position, bool combo) {
  SendMessageW(hwnd, combo ? CB_DELETESTRING : LB_DELETESTRING, WPARAM(position), 0);
}

// The cell at an index counted from the series' head, null past its tail.
cell* value_at_index(const cell* series, int32_t index) {
  series_buffer* b = block::buffer_of(series);
  cell* at = b->head_cell() + index;
  return index >= 0 && at < b->tail_cell() ? at : nullptr;
}

// gui/delete-list-items: one item deleted at `position` for each text value
// among the `count` values from `index`.
void delete_list_items(HWND hwnd, int32_t position, const cell* data, int32_t index, int32_t count, bool combo) {
  for (int32_t k = index; k < index + count; ++k)
    if (const cell* v = value_at_index(data, k); v && text_like(v)) delete_list_item(hwnd, position, combo);
}

// gui/update-list-data: a deep change of a list's `data` edits its items in
// place: the report before a change deletes the items it takes away, the
// report after it inserts the new ones; the rows around keep their place.
// A change that reorders or rewrites the items (change, sort, swap,
// random, trim, move) rebuilds them once, after it.
void update_list_data(HWND hwnd, const cell* face_in, const cell* word, const cell* target, uint32_t act,
                      int32_t index, int32_t part, bool combo, int type) {
  cell face = *face_in, data = facet(face_in, FACET_DATA), facet_word = *word;
  collector::root_cells keep(&face), keep_data(&data), keep_word(&facet_word);
  auto is = [&](const char* n) { return act == canon(n); };
  if (!block::any_block_q(type_of(&data))) return set_list_items(hwnd, &face, combo, type);
  int32_t first = int32_t(data.w1);
  // Item position: the text values before the index.
  int32_t p = 0;
  for (int32_t k = first; k < index; ++k)
    if (const cell* v = value_at_index(&data, k); v && text_like(v)) ++p;
  if (type_of(target) != TYPE_BLOCK && type_of(target) != TYPE_HASH) {
    // One item string edited in place: shown again with its new text.
    const cell* v = value_at_index(&data, index);
    if (!v || !text_like(v) || index < first) return;
    cell item = *v;
    collector::root_cells keep_item(&item);
    delete_list_item(hwnd, p, combo);
    insert_list_item(hwnd, &item, p, combo);
    return;
  }
  if (index < first) return set_list_items(hwnd, &face, combo, type);
  if (is("clear") && index == first) {
    SendMessageW(hwnd, combo ? CB_RESETCONTENT : LB_RESETCONTENT, 0, 0);
    if (!combo) SetWindowLongW(hwnd, SLOT_CLOSING, 0);
  } else if (is("remove") || is("take") || is("clear") || is("reverse") || is("put") || is("poke")) {
    delete_list_items(hwnd, p, &data, index, part, combo);
  } else if (is("inserted") || is("appended") || is("poked") || is("put-ed") || is("reversed")) {
    for (int32_t k = index; k < index + part; ++k) {
      const cell* v = value_at_index(&data, k);
      if (!v || !text_like(v)) continue;
      cell item = *v;
      collector::root_cells keep_item(&item);
      // Owned by the face, so that later edits of the string are reported.
      ownership::set_owner(&item, &face, &facet_word);
      insert_list_item(hwnd, &item, p++, combo);
    }
  } else if (is("changed") || is("sorted") || is("swaped") || is("randomized") || is("trimmed") || is("moved")) {
    set_list_items(hwnd, &face, combo, type);
  }
}

// A 32-bit top-down bitmap of w by h pixels whose bits the caller fills.
HBITMAP make_dib(HDC dc, int w, int h, void** bits) {
  BITMAPINFO bi{};
  bi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
  bi.bmiHeader.biWidth = w;
  bi.bmiHeader.biHeight = -h;
  bi.bmiHeader.biPlanes = 1;
  bi.bmiHeader.biBitCount = 32;
  *bits = nullptr;
  return CreateDIBSection(dc, &bi, DIB_RGB_COLORS, bits, 0, 0);
}

// gui/set-button-image: the image list of a button or toggle, one image of
// its own size, or six state images from a block (the first filling the
// states the block has no image for).
void set_button_image(HWND hwnd, const cell* face) {
  cell img = facet(face, FACET_IMAGE);
  collector::root_cells keep(&img);
  // Positions of the images in the block (-1: the facet is the image); the
  // nodes are read again after each allocation.
  std::vector<int32_t> at;
  int w = 0, h = 0;
  if (type_of(&img) == TYPE_IMAGE && img.w2) {
    at.push_back(-1);
    w = int(image::width_of(&img));
    h = int(image::height_of(&img));
  } else if (block::any_block_q(type_of(&img))) {
    cell size = facet(face, FACET_SIZE);
    double sw = 0, sh = 0;
    read_xy(&size, sw, sh);
    int32_t n = block_length(&img);
    cell* second = n == 2 ? block_at(&img, 1) : nullptr;
    if (second && type_of(second) == TYPE_PAIR) read_xy(second, sw, sh), n = 1;
    for (int32_t i = 0; i < n; ++i)
      if (cell* v = block_at(&img, i); v && type_of(v) == TYPE_IMAGE && v->w2) at.push_back(i);
    w = dpi_scale(sw);
    h = dpi_scale(sh);
  }
  auto node_at = [&](int32_t i) { return i < 0 ? img.w2 : block_at(&img, i)->w2; };
  BUTTON_IMAGELIST bil{};
  if (SendMessageW(hwnd, BCM_GETIMAGELIST, 0, LPARAM(&bil)) && bil.himl && bil.himl != HIMAGELIST(-1))
    ImageList_Destroy(bil.himl);
  bil = BUTTON_IMAGELIST{};
  bil.himl = HIMAGELIST(-1);
  if (!at.empty() && w > 0 && h > 0) {
    int count = at.size() == 1 ? 1 : 6;
    bil.himl = ImageList_Create(w, h, ILC_COLOR32, count, 0);
    HDC screen = GetDC(0);
    for (int i = 0; i < count; ++i) {
      uint32_t scaled = image_os::resize(node_at(at[size_t(i) < at.size() ? size_t(i) : 0]), uint32_t(w), uint32_t(h));
      cell hold{TYPE_NONE, 0, 0, 0};
      if (scaled) image::make_at(&hold, scaled);
      collector::root_cells keep_scaled(&hold);
      const uint32_t* px = scaled ? image_os::lock_pixels(hold.w2, false) : nullptr;
      void* bits = nullptr;
      HBITMAP bmp = make_dib(screen, w, h, &bits);
      if (bmp && bits && px) std::memcpy(bits, px, size_t(w) * size_t(h) * 4);
      if (bmp) {
        ImageList_Add(bil.himl, bmp, 0);
        DeleteObject(bmp);
      }
    }
    ReleaseDC(0, screen);
  }
  bil.uAlign = BUTTON_IMAGELIST_ALIGN_CENTER;
  SendMessageW(hwnd, BM_SETSTYLE, WPARAM(uint32_t(GetWindowLongW(hwnd, GWL_STYLE)) | BS_BITMAP), TRUE);
  BUTTON_IMAGELIST none_list{};
  SendMessageW(hwnd, BCM_SETIMAGELIST, 0, LPARAM(&none_list));
  SendMessageW(hwnd, BCM_SETIMAGELIST, 0, LPARAM(&bil));
}

// Calendar -----------------------------------------------------------------

int clamp_year(int y) { return y < 1601 ? 1601 : y > 9999 ? 9999 : y; }

void read_calendar_date(HWND hwnd, const cell* face) {
  SYSTEMTIME st{};
  SendMessageW(hwnd, MCM_GETCURSEL, 0, LPARAM(&st));
  cell d;
  date::make_at_fields(&d, clamp_year(st.wYear), st.wMonth, st.wDay, 0.0, 0, false);
  set_facet(face, FACET_DATA, d);
}

void set_calendar_date(HWND hwnd, const cell* face) {
  cell data = facet(face, FACET_DATA);
  if (type_of(&data) == TYPE_DATE) {
    SYSTEMTIME st{};
    st.wYear = WORD(clamp_year(date::year_of(data.w1)));
    st.wMonth = WORD(date::month_of(data.w1));
    st.wDay = WORD(date::day_of(data.w1));
    SendMessageW(hwnd, MCM_SETCURSEL, 0, LPARAM(&st));
  } else {
    read_calendar_date(hwnd, face);
  }
}

void set_calendar_colors(HWND hwnd, const cell* face) {
  cell color = facet(face, FACET_COLOR);
  if (type_of(&color) == TYPE_TUPLE) SendMessageW(hwnd, MCM_SETCOLOR, MCSC_BACKGROUND, LPARAM(to_color(&color) & 0xFFFFFF));
  else if (type_of(&color) == TYPE_NONE) SendMessageW(hwnd, MCM_SETCOLOR, MCSC_BACKGROUND, LPARAM(GetSysColor(COLOR_BTNFACE)));
}

// Camera -------------------------------------------------------------------

// Capture devices are the V4L2 nodes /dev/video0 .. 7 that answer as video
// capture devices. A record lives in slot 56 while the face lists at least
// one; with none the face holds no record and cannot open a device.
//
// KEZ_TEST_CAMERA="WxH[/FORMAT][,...]" lists test-pattern devices in place of
// the V4L2 nodes, so the preview and capture can run where no camera is: each
// frame is red on its left half and blue on its right. With a FORMAT (yuyv,
// mjpeg) the device hands over its frames in that format, as a camera does,
// and they are converted as a camera's are.
struct camera_record {
  std::vector<std::string> paths;
  int fd = -1;
  double ratio = 0;
  // Streaming: mmap buffers of the device, the capture thread and its frame.
  std::vector<std::pair<void*, size_t>> buffers;
  std::thread thread;
  std::atomic<bool> running{false};
  frame_slot slot;
  uint32_t pixel_format = 0;
  HWND window = 0;
  // The preview: the latest frame, painted into the window fitted.
  std::mutex preview_lock;
  std::vector<uint32_t> preview;
  std::atomic<bool> repaint_posted{false};
};

constexpr UINT WM_CAMERA_FRAME = WM_USER + 1, WM_CAMERA_PREVIEW = WM_USER + 2;

static_assert(video::FORMAT_YUYV == V4L2_PIX_FMT_YUYV && video::FORMAT_MJPEG == V4L2_PIX_FMT_MJPEG);

// Capture thread: a converted frame becomes the preview (the window is told
// once until it has painted), and the frame the GUI thread waits for, if any.
void deliver_frame(camera_record* r, const std::vector<uint32_t>& frame) {
  {
    std::lock_guard<std::mutex> g(r->preview_lock);
    r->preview = frame;
  }
  if (!r->repaint_posted.exchange(true)) PostMessageW(r->window, WM_CAMERA_PREVIEW, 0, 0);
  if (r->slot.offer([&](std::vector<uint32_t>& px) { px = frame; })) PostMessageW(r->window, WM_CAMERA_FRAME, 0, 0);
}

// The capture thread: frames are converted and delivered; the device's
// queue is refilled with each buffer read.
void capture_loop(camera_record* r) {
  std::vector<uint32_t> frame;
  while (r->running.load()) {
    pollfd p{r->fd, POLLIN, 0};
    if (::poll(&p, 1, 100) <= 0) continue;
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    if (::ioctl(r->fd, VIDIOC_DQBUF, &buf) < 0) continue;
    if (buf.index < r->buffers.size() &&
        video::to_pixels(r->pixel_format, static_cast<const uint8_t*>(r->buffers[buf.index].first), buf.bytesused,
                         r->slot.width, r->slot.height, frame))
      deliver_frame(r, frame);
    ::ioctl(r->fd, VIDIOC_QBUF, &buf);
  }
}

// The test pattern at about 50 frames a second; in the device's format,
// when it has one, each frame converted again as a camera's would be.
void test_pattern_loop(camera_record* r) {
  std::vector<uint32_t> frame(size_t(r->slot.width) * size_t(r->slot.height));
  for (int y = 0; y < r->slot.height; ++y)
    for (int x = 0; x < r->slot.width; ++x)
      frame[size_t(y) * size_t(r->slot.width) + size_t(x)] = x < r->slot.width / 2 ? 0xFFFF0000u : 0xFF0000FFu;
  std::vector<uint8_t> sent = video::from_pixels(r->pixel_format, r->slot.width, r->slot.height, frame);
  while (r->running.load()) {
    if (sent.empty() || video::to_pixels(r->pixel_format, sent.data(), sent.size(), r->slot.width, r->slot.height, frame))
      deliver_frame(r, frame);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

// "test:WxH" or "test:WxH/FORMAT"; the format is 0 for plain pixels.
bool test_device(const std::string& path, int* w, int* h, uint32_t* format) {
  char name[8] = "";
  int n = std::sscanf(path.c_str(), "test:%dx%d/%7s", w, h, name);
  *format = std::strcmp(name, "yuyv") == 0 ? video::FORMAT_YUYV : std::strcmp(name, "mjpeg") == 0 ? video::FORMAT_MJPEG : 0;
  return n >= 2 && *w > 0 && *h > 0 && (n == 2 || *format);
}

void stop_streaming(camera_record* r) {
  if (r->running.exchange(false) && r->thread.joinable()) r->thread.join();
  if (r->fd >= 0) {
    v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ::ioctl(r->fd, VIDIOC_STREAMOFF, &type);
  }
  for (auto& b : r->buffers) ::munmap(b.first, b.second);
  r->buffers.clear();
  std::lock_guard<std::mutex> g(r->preview_lock);
  r->preview.clear();
}

// Streams YUYV or MJPEG frames with four mapped buffers; a device that
// offers neither is left open without a preview.
bool start_streaming(camera_record* r) {
  v4l2_format fmt{};
  fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (::ioctl(r->fd, VIDIOC_G_FMT, &fmt) < 0) return false;
  std::vector<uint32_t> offered;
  v4l2_fmtdesc desc{};
  desc.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  for (desc.index = 0; ::ioctl(r->fd, VIDIOC_ENUM_FMT, &desc) == 0; ++desc.index) offered.push_back(desc.pixelformat);
  if (offered.empty()) offered.push_back(fmt.fmt.pix.pixelformat);  // a driver that lists none has its current one
  uint32_t want = video::choose_format(offered);
  if (want && fmt.fmt.pix.pixelformat != want) {
    fmt.fmt.pix.pixelformat = want;
    if (::ioctl(r->fd, VIDIOC_S_FMT, &fmt) < 0) want = 0;
  }
  if (!want || fmt.fmt.pix.pixelformat != want) {
    stdout_::print_line("This device cannot preview!");
    return false;
  }
  r->pixel_format = want;
  r->slot.width = int(fmt.fmt.pix.width);
  r->slot.height = int(fmt.fmt.pix.height);
  v4l2_requestbuffers req{};
  req.count = 4;
  req.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  req.memory = V4L2_MEMORY_MMAP;
  if (::ioctl(r->fd, VIDIOC_REQBUFS, &req) < 0 || req.count == 0) return false;
  for (uint32_t i = 0; i < req.count; ++i) {
    v4l2_buffer buf{};
    buf.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buf.memory = V4L2_MEMORY_MMAP;
    buf.index = i;
    if (::ioctl(r->fd, VIDIOC_QUERYBUF, &buf) < 0) return false;
    void* m = ::mmap(nullptr, buf.length, PROT_READ | PROT_WRITE, MAP_SHARED, r->fd, buf.m.offset);
    if (m == MAP_FAILED) return false;
    r->buffers.emplace_back(m, buf.length);
    ::ioctl(r->fd, VIDIOC_QBUF, &buf);
  }
  v4l2_buf_type type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
  if (::ioctl(r->fd, VIDIOC_STREAMON, &type) < 0) return false;
  r->slot.want();  // the first frame reaches the face by itself
  r->running = true;
  r->thread = std::thread(capture_loop, r);
  return true;
}

std::vector<std::pair<std::string, std::string>> list_capture_devices() {
  std::vector<std::pair<std::string, std::string>> out;
  if (const char* test = std::getenv("KEZ_TEST_CAMERA"); test && *test) {
    std::string all = test;
    for (size_t at = 0; at <= all.size();) {
      size_t end = std::min(all.find(',', at), all.size());
      std::string size = all.substr(at, end - at);
      int w, h;
      uint32_t format;
      if (test_device("test:" + size, &w, &h, &format)) out.emplace_back("test:" + size, "Test pattern " + size);
      at = end + 1;
    }
    return out;
  }
  for (int i = 0; i < 8; ++i) {
    std::string path = "/dev/video" + std::to_string(i);
    int fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    v4l2_capability cap{};
    if (::ioctl(fd, VIDIOC_QUERYCAP, &cap) == 0) {
      uint32_t caps = (cap.capabilities & V4L2_CAP_DEVICE_CAPS) ? cap.device_caps : cap.capabilities;
      if (caps & V4L2_CAP_VIDEO_CAPTURE) out.emplace_back(path, reinterpret_cast<const char*>(cap.card));
    }
    ::close(fd);
  }
  return out;
}

// The records by window; slot 56 marks a window that has one.
std::map<HWND, std::unique_ptr<camera_record>> cameras;

camera_record* camera_of(HWND hwnd) {
  auto it = cameras.find(hwnd);
  return it == cameras.end() ? nullptr : it->second.get();
}

void camera_close(HWND hwnd) {
  camera_record* r = camera_of(hwnd);
  if (!r) return;
  stop_streaming(r);
  if (r->fd >= 0) ::close(r->fd);
  r->fd = -1;
  InvalidateRect(hwnd, nullptr, TRUE);
}

void camera_destroy(HWND hwnd) {
  camera_close(hwnd);
  cameras.erase(hwnd);
  SetWindowLongW(hwnd, SLOT_CLOSING, 0);
}

void camera_select(HWND hwnd, const cell* face, const cell* selected);

void camera_open(HWND hwnd, const cell* face) {
  // The device names go to `data`, a new block when it holds none.
  cell data = facet(face, FACET_DATA);
  collector::root_cells keep(&data);
  if (block::any_block_q(type_of(&data))) {
    block::ks_clear(&data);
  } else {
    block::make_at(&data, 4);
    set_facet(face, FACET_DATA, data);
  }
  SetWindowLongW(hwnd, SLOT_CLOSING, 0);
  auto devices = list_capture_devices();
  if (devices.empty()) {
    stdout_::print_line("No video capture hardware");
    return;
  }
  auto* r = new camera_record;
  for (auto& d : devices) {
    r->paths.push_back(d.first);
    cell name{TYPE_NONE, 0, 0, 0};
    collector::root_cells keep_name(&name);
    string::load(reinterpret_cast<const uint8_t*>(d.second.data()), d.second.size(), &name);
    block::ks_append(&data, &name);
  }
  cameras[hwnd].reset(r);
  SetWindowLongW(hwnd, SLOT_CLOSING, 1);
  cell sel = facet(face, FACET_SELECTED);
  if (type_of(&sel) == TYPE_INTEGER) camera_select(hwnd, face, &sel);
}

// Opens device n (1-based); a face whose `ratio` field holds a float learns
// the device's width / height.
void camera_select(HWND hwnd, const cell* face, const cell* selected) {
  camera_record* r = camera_of(hwnd);
  if (type_of(selected) == TYPE_NONE) {
    camera_close(hwnd);
    return;
  }
  int32_t n = type_of(selected) == TYPE_INTEGER ? integer::get(selected) : 0;
  auto cannot_open = [n] {
    cell arg;
    integer::make_at(&arg, n);
    error::fire(err::cat_access, err::access::cannot_open, &arg);
  };
  if (!r || n < 1 || n > int32_t(r->paths.size())) cannot_open();
  camera_close(hwnd);
  r->window = hwnd;
  const std::string& path = r->paths[size_t(n - 1)];
  int tw, th;
  uint32_t format;
  if (test_device(path, &tw, &th, &format)) {
    r->slot.width = tw, r->slot.height = th;
    r->pixel_format = format;
    r->ratio = double(tw) / double(th);
  } else {
    r->fd = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (r->fd < 0) cannot_open();
    v4l2_format fmt{};
    fmt.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    if (::ioctl(r->fd, VIDIOC_G_FMT, &fmt) == 0 && fmt.fmt.pix.height)
      r->ratio = double(fmt.fmt.pix.width) / double(fmt.fmt.pix.height);
  }
  if (cell* ratio = object_field_slot(face, "ratio"); ratio && r->ratio > 0 && type_of(ratio) == TYPE_FLOAT)
    float_::make_at(ratio, r->ratio);
  if (r->fd >= 0) {
    start_streaming(r);
  } else {
    r->slot.want();  // the first frame reaches the face by itself
    r->running = true;
    r->thread = std::thread(test_pattern_loop, r);
  }
}

// gui/camera-fit-video: the video keeps the device's ratio r inside the
// client area w by h, centred on the axis it does not fill.
RECT camera_fit(double r, int w, int h) {
  if (r <= 0) return RECT{0, 0, w, h};
  if (h * r >= w) {
    int vh = int(std::lround(w / r)), top = int(std::lround((h - vh) / 2.0));
    return RECT{0, top, w, top + vh};
  }
  int vw = int(std::lround(h * r)), left = int(std::lround((w - vw) / 2.0));
  return RECT{left, 0, left + vw, h};
}

// The latest frame scaled into the fitted rectangle, over the window's
// background.
void camera_paint(HWND hwnd) {
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  RECT client;
  GetClientRect(hwnd, &client);
  FillRect(dc, &client, GetSysColorBrush(COLOR_BACKGROUND));
  camera_record* r = camera_of(hwnd);
  if (r) r->repaint_posted.store(false);
  std::vector<uint32_t> frame;
  int fw = r ? r->slot.width : 0, fh = r ? r->slot.height : 0;
  if (r) {
    std::lock_guard<std::mutex> g(r->preview_lock);
    frame = r->preview;
  }
  RECT fit = camera_fit(r ? r->ratio : 0, client.right, client.bottom);
  int vw = fit.right - fit.left, vh = fit.bottom - fit.top;
  if (!frame.empty() && frame.size() == size_t(fw) * size_t(fh) && vw > 0 && vh > 0) {
    void* bits = nullptr;
    if (HBITMAP bmp = make_dib(dc, vw, vh, &bits)) {
      auto* px = static_cast<uint32_t*>(bits);
      for (int y = 0; y < vh; ++y)
        for (int x = 0; x < vw; ++x)
          px[size_t(y) * size_t(vw) + size_t(x)] =
              frame[size_t(y * fh / vh) * size_t(fw) + size_t(x * fw / vw)] | 0xFF000000u;
      HDC mem = CreateCompatibleDC(dc);
      HGDIOBJ old = SelectObject(mem, bmp);
      BitBlt(dc, fit.left, fit.top, vw, vh, mem, 0, 0, SRCCOPY);
      SelectObject(mem, old);
      DeleteDC(mem);
      DeleteObject(bmp);
    }
  }
  EndPaint(hwnd, &ps);
}

// The frame in the slot as the face's image (state 2 only), the slot idle.
void camera_frame_ready(HWND hwnd) {
  camera_record* r = camera_of(hwnd);
  if (!r) return;
  cell face;
  if (r->slot.state.load() == 2 && window_face(hwnd, &face)) {
    collector::root_cells keep(&face);
    cell img = facet(&face, FACET_IMAGE);
    if (type_of(&img) == TYPE_NONE && r->slot.width > 0 && r->slot.height > 0) {
      uint32_t node = image_os::from_memory(uint32_t(r->slot.width), uint32_t(r->slot.height), uint32_t(r->slot.width) * 4,
                                            reinterpret_cast<const uint8_t*>(r->slot.pixels.data()));
      if (node) image::make_at(&img, node);
      set_facet(&face, FACET_IMAGE, img);
    }
  }
  r->slot.state.store(0);
}

// gui/camera-grab: asks for a frame and waits for it up to 3 s.
void camera_grab(HWND hwnd, const cell* face) {
  cell none_v{TYPE_NONE, 0, 0, 0};
  set_facet(face, FACET_IMAGE, none_v);
  camera_record* r = camera_of(hwnd);
  if (!r || !r->running) return;
  r->slot.want();
  for (double waited = 0; r->slot.state.load() != 2 && waited <= 3.0; waited += 0.01) ::usleep(10000);
  if (r->slot.give_up()) return;
  while (r->slot.state.load() == 3) ::usleep(1000);
  camera_frame_ready(hwnd);
}


// ---------------------------------------------------------------- options

// The `cursor` option: a system cursor by name, or an icon made from an
// image; the icon of an earlier image is freed.
void set_cursor(HWND hwnd, const cell* face) {
  if (HICON old = HICON(GetWindowLongW(hwnd, SLOT_CURSOR_ICON))) DestroyIcon(old);
  SetWindowLongW(hwnd, SLOT_CURSOR_ICON, 0);
  SetWindowLongW(hwnd, SLOT_CURSOR, 0);
  cell c = option(face, "cursor");
  if (type_of(&c) == TYPE_IMAGE && c.w2) {
    uint32_t w = image::width_of(&c), h = image::height_of(&c);
    std::vector<uint32_t> px(size_t(w) * h);
    const uint32_t* src = image_os::lock_pixels(c.w2, false);
    if (src) std::memcpy(px.data(), src, px.size() * 4);
    HICON icon = CreateIconFromPixels(px.data(), int(w), int(h), 0, 0);
    SetWindowLongW(hwnd, SLOT_CURSOR_ICON, LONG(icon));
    SetWindowLongW(hwnd, SLOT_CURSOR, LONG(icon));
  } else if (type_of(&c) == TYPE_WORD || type_of(&c) == TYPE_LIT_WORD) {
    uint32_t s = symbol::resolve(c.w2);
    uintptr_t id = s == canon("I-beam") ? IDC_IBEAM : s == canon("hand") ? IDC_HAND : s == canon("cross") ? IDC_CROSS
                   : s == canon("resize-ns") ? IDC_SIZENS
                   : s == canon("resize-ew") || s == canon("resize-we") ? IDC_SIZEWE : IDC_ARROW;
    SetWindowLongW(hwnd, SLOT_CURSOR, LONG(LoadCursorW(0, id)));
  }
}

void set_hint(HWND hwnd, const cell* face) {
  cell h = option(face, "hint");
  if (type_of(&h) != TYPE_STRING) return;
  std::u16string t = utf16_of(&h);
  SendMessageW(hwnd, EM_SETCUEBANNER, 0, LPARAM(t.c_str()));
}

void set_tabs(HWND hwnd, const cell* face) {
  int stops = 16;
  SendMessageW(hwnd, EM_SETTABSTOPS, 1, LPARAM(&stops));
  cell t = option(face, "tabs");
  if (type_of(&t) == TYPE_INTEGER) {
    stops = integer::get(&t) * 4;
    SendMessageW(hwnd, EM_SETTABSTOPS, 1, LPARAM(&stops));
  }
}

// A base face given `caret: face` is the caret of that face: the caret is
// made in the owner's window (slot 36) with this face's size, at its offset,
// and shows while this face is enabled.
void set_caret_size(HWND hwnd, const cell* face) {
  HWND owner = HWND(GetWindowLongW(hwnd, SLOT_LIVE));
  if (!owner || !IsWindow(owner)) return;
  cell size = facet(face, FACET_SIZE), off = facet(face, FACET_OFFSET), en = facet(face, FACET_ENABLED);
  double w = 0, h = 0, x = 0, y = 0;
  read_xy(&size, w, h);
  read_xy(&off, x, y);
  CreateCaret(owner, 0, dpi_scale(w), dpi_scale(h));
  SetCaretPos(dpi_scale(x), dpi_scale(y));
  if (is_true(&en)) ShowCaret(owner);
}

bool owns_caret(HWND hwnd) { return GetWindowLongW(hwnd, SLOT_WFLAGS) & 2; }

// A caret face shows only while it is both visible and enabled: disabled
// (its edit line scrolled out of view, its window unfocused) neither the face
// nor the caret it stands for is painted, in either phase of the blink.
bool caret_face_shown(const cell* face) {
  cell vis = facet(face, FACET_VISIBLE), en = facet(face, FACET_ENABLED);
  return is_true(&vis) && is_true(&en);
}

void init_caret(HWND hwnd, const cell* face) {
  cell opts = facet(face, FACET_OPTIONS);
  if (type_of(&opts) != TYPE_BLOCK || block_length(&opts) % 2) return;
  cell target = option(face, "caret");
  HWND owner = type_of(&target) == TYPE_OBJECT ? face_window(&target) : 0;
  if (!owner) return;
  SetWindowLongW(hwnd, SLOT_WFLAGS, GetWindowLongW(hwnd, SLOT_WFLAGS) | 2);
  SetWindowLongW(hwnd, SLOT_LIVE, LONG(owner));
  cell vis = facet(face, FACET_VISIBLE);
  if (is_true(&vis)) set_caret_size(hwnd, face);
  if (!caret_face_shown(face)) ShowWindow(hwnd, SW_HIDE);
}

// An edit keeps room for what is about to come in (`more` units) and for a
// text that has reached its limit: the limit grows, never shrinks.
void raise_edit_limit(HWND hwnd, size_t more) {
  size_t need = size_t(GetWindowTextLengthW(hwnd)) + more;
  size_t limit = size_t(SendMessageW(hwnd, EM_GETLIMITTEXT, 0, 0));
  if (need < limit) return;
  SendMessageW(hwnd, EM_SETLIMITTEXT, WPARAM(std::min<size_t>(need * 2 + 1, 0x7FFFFFFE)), 0);
}

// The bars an area's text needs: a line wider than the client width wants
// the horizontal bar (unless the para wraps, when it takes its wrapped
// height), lines reaching the client height the vertical one. The width
// test by the "M" width is rough; the longest line is measured exactly.
// `typed` is the control's own text while the user edits it.
void get_text_extent(HWND hwnd, const cell* face, const std::u16string* typed) {
  cell text = facet(face, FACET_TEXT);
  if (!typed && type_of(&text) != TYPE_STRING) {
    ShowScrollBar(hwnd, SB_BOTH, FALSE);
    return;
  }
  std::u16string own = typed ? std::u16string() : utf16_of(&text);
  const std::u16string& t = typed ? *typed : own;
  cell para = facet(face, FACET_PARA);
  bool wrap = false;
  if (type_of(&para) == TYPE_OBJECT)
    if (cell* w = object_field_slot(&para, "wrap?")) wrap = is_true(w);
  RECT rc;
  GetClientRect(hwnd, &rc);
  HDC dc = GetDC(hwnd);
  HGDIOBJ old = SelectObject(dc, HGDIOBJ(SendMessageW(hwnd, WM_GETFONT, 0, 0)));
  DWORD m = GetTabbedTextExtentW(dc, u"M", 1, 0, nullptr);
  int64_t cw = LOWORD(m), lh = HIWORD(m), total = 0;
  bool vertical = false, horizontal = false;
  size_t longest = 0, longest_n = 0;
  for (size_t start = 0;;) {
    size_t end = t.find(u'\n', start);
    size_t stop = end == std::u16string::npos ? t.size() : end;
    size_t n = stop - start - (stop > start && t[stop - 1] == u'\r' ? 1 : 0);
    int64_t line = lh;
    if (cw * int64_t(n) > rc.right) {
      if (wrap) {
        RECT r{0, 0, rc.right, 0};
        DrawTextW(dc, t.c_str() + start, int(n), &r, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
        line = r.bottom;
      } else {
        horizontal = true;
        if (n > longest_n) longest = start, longest_n = n;
      }
    }
    total += line;
    if (total >= rc.bottom) {
      vertical = true;
      if (wrap) break;
    }
    if (end == std::u16string::npos) break;
    start = end + 1;
  }
  if (horizontal) horizontal = LOWORD(GetTabbedTextExtentW(dc, t.c_str() + longest, int(longest_n), 0, nullptr)) > rc.right;
  SelectObject(dc, old);
  ReleaseDC(hwnd, dc);
  ShowScrollBar(hwnd, SB_VERT, vertical);
  ShowScrollBar(hwnd, SB_HORZ, horizontal);
}

// The colours a child control asks its parent for: the face's font colour
// for the text, its `color` for the background.
LRESULT control_colors(HWND parent, UINT msg, WPARAM wparam, LPARAM lparam, bool* handled) {
  *handled = false;
  HWND control = HWND(lparam);
  cell face;
  if (!face_window_q(control) || !window_face(control, &face)) return 0;
  HDC dc = HDC(wparam);
  cell font = facet(&face, FACET_FONT);
  bool text_set = false;
  if (type_of(&font) == TYPE_OBJECT) {
    cell fc = object_field(&font, "color");
    if (type_of(&fc) == TYPE_TUPLE) {
      SetTextColor(dc, to_color(&fc) & 0xFFFFFF);
      text_set = true;
    }
  }
  cell color = facet(&face, FACET_COLOR);
  if (type_of(&color) == TYPE_TUPLE) {
    COLORREF c = to_color(&color) & 0xFFFFFF;
    SetBkColor(dc, c);
    if (!text_set) SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
    SetDCBrushColor(dc, c);
    *handled = true;
    return LRESULT(GetStockObject(DC_BRUSH));
  }
  if (text_set) {
    *handled = true;
    if (msg == WM_CTLCOLORSTATIC) {
      SetBkMode(dc, TRANSPARENT_BK);
      return LRESULT(GetSysColorBrush(COLOR_BTNFACE));
    }
    return LRESULT(GetStockObject(DC_BRUSH));
  }
  // A text face without a colour paints nothing behind its text, as labels
  // do on Linux desktops: its parent's colour shows around the glyphs.
  if (msg == WM_CTLCOLORSTATIC && face_type_of(&face) == T_TEXT) {
    *handled = true;
    SetBkMode(dc, TRANSPARENT_BK);
    return LRESULT(GetSysColorBrush(COLOR_BTNFACE));
  }
  (void)parent;
  return 0;
}

// ---------------------------------------------------------------- the input filter

int process_input(MSG* msg) {
  HWND hwnd = msg->hwnd;
  uint32_t flags = mouse_key_flags(msg->wParam) | read_modifier_flags(true);
  switch (msg->message) {
    case WM_MOUSEMOVE: {
      if (msg->lParam == last_mouse) return 0;
      last_mouse = msg->lParam;
      if (IsWindowEnabled(hwnd) &&
          (hwnd != hover_window || (GetWindowLongW(hwnd, SLOT_FLAGS) & FACET_FLAGS_ALL_OVER))) {
        if (hwnd != hover_window) {
          TRACKMOUSEEVENT t{sizeof(TRACKMOUSEEVENT), TME_LEAVE, hwnd, 0};
          TrackMouseEvent(&t);
        }
        make_event(msg, int32_t(flags), EV_OVER);
      }
      hover_window = hwnd;
      return 1;
    }
    case WM_MOUSELEAVE:
      last_mouse = -1;
      make_event(msg, int32_t(flags | event::FLAG_AWAY), EV_OVER);
      if (hwnd == hover_window) hover_window = 0;
      return 1;
    case WM_MOUSEWHEEL: return make_event(msg, int32_t(mouse_key_flags(msg->wParam)), EV_WHEEL);
    case WM_LBUTTONDOWN: {
      menu_item = -1;
      menu_handle = 0;
      down_window = hwnd;
      int r = make_event(msg, int32_t(flags), EV_DOWN);
      down_window = 0;
      return r;
    }
    case WM_LBUTTONUP: {
      pressed_window = hwnd;
      cell face;
      if (GetCapture() == hwnd && window_face(hwnd, &face) && face_type_of(&face) == T_BASE) ReleaseCapture();
      int r = make_event(msg, int32_t(flags), EV_UP);
      pressed_window = 0;
      return r;
    }
    case WM_RBUTTONDOWN: {
      if (GetCapture()) return 1;
      right_click = POINT{GET_X_LPARAM(msg->lParam), GET_Y_LPARAM(msg->lParam)};
      POINT p = right_click;
      ClientToScreen(hwnd, &p);
      menu_item = -1;
      menu_handle = 0;
      int r = make_event(msg, int32_t(flags), EV_ALT_DOWN);
      if (show_context_menu(msg, p.x, p.y)) return 0;
      return r;
    }
    case WM_RBUTTONUP: return make_event(msg, int32_t(flags), EV_ALT_UP);
    case WM_MBUTTONDOWN: return make_event(msg, int32_t(flags), EV_MID_DOWN);
    case WM_MBUTTONUP: return make_event(msg, int32_t(flags), EV_MID_UP);
    case WM_XBUTTONDOWN: return make_event(msg, int32_t(flags), EV_AUX_DOWN);
    case WM_XBUTTONUP: return make_event(msg, int32_t(flags), EV_AUX_UP);
    case WM_KEYDOWN: {
      int r = make_event(msg, 0, EV_KEY_DOWN);
      if (r == 0) return 0;
      if (last_key == -1 || (last_key >= 0xA0 && last_key <= 0xA5) || last_key == VK_SHIFT || last_key == VK_CONTROL)
        return r;
      return make_event(msg, 0, EV_KEY);
    }
    case WM_KEYUP:
    case WM_SYSKEYUP: return make_event(msg, 0, EV_KEY_UP);
    case WM_SYSKEYDOWN: return make_event(msg, 0, EV_KEY_DOWN);
    case WM_CHAR:
      last_key = -1;
      return make_event(msg, 0, EV_KEY);
    case WM_LBUTTONDBLCLK:
      menu_item = -1;
      menu_handle = 0;
      make_event(msg, 0, EV_DOWN);
      make_event(msg, int32_t(flags), EV_DBL_CLICK);
      return 1;
    default: return 1;
  }
}

// ---------------------------------------------------------------- commands

void mark_selected(HWND control, const cell* face) {
  cell root;
  if (window_face(GetAncestor(control, GA_ROOT), &root)) set_facet(&root, FACET_SELECTED, *face);
}

int send_event_for(HWND control, int32_t extra, int32_t type) {
  interpreter::check_nesting();
  MSG* m = cursor_msg();
  HWND saved = m->hwnd;
  m->hwnd = control;
  int r = make_event(m, extra, type);
  m->hwnd = saved;
  return r;
}

void process_command(HWND hwnd, WPARAM wparam, LPARAM lparam) {
  if (lparam == 0 && wparam < 1000 && menu_handle) {
    send_menu_event(hwnd);
    return;
  }
  HWND control = HWND(lparam);
  cell face;
  if (!window_face(control, &face)) return;
  collector::root_cells keep(&face);
  int type = face_type_of(&face);
  switch (HIWORD(wparam)) {
    case 0:  // BN_CLICKED
      switch (type) {
        case T_BUTTON: mark_selected(control, &face); send_event_for(control, 0, EV_CLICK); break;
        case T_CHECK:
          // The control's own auto-state click has already moved the state
          // once: false -> true -> none -> false.
          [[fallthrough]];
        case T_TOGGLE:
          sync_check_data(control, &face);
          mark_selected(control, &face);
          send_event_for(control, 0, EV_CHANGE);
          break;
        case T_RADIO:
          if (!(SendMessageW(control, BM_GETSTATE, 0, 0) & 2) && !(GetKeyState(VK_TAB) & 0x8000)) {
            SendMessageW(control, BM_SETCHECK, BST_CHECKED, 0);
            sync_check_data(control, &face);
            mark_selected(control, &face);
            send_event_for(control, 0, EV_CLICK);
          }
          break;
        default: break;
      }
      break;
    case 3:
      if (type == T_RADIO) {
        if (SendMessageW(control, BM_GETSTATE, 0, 0) == 0) send_event_for(control, 0, EV_CHANGE);
      } else {
        mark_selected(control, &face);
        send_event_for(control, 0, EV_FOCUS);
      }
      break;
    case 0x300: {  // EN_CHANGE
      // Text set by code outside event handling is no user's edit: only a
      // change made while a message is handled becomes a `change` event.
      cell parent;
      if (current_msg && window_face(hwnd, &parent)) send_event_for(control, -1, EV_CHANGE);
      if (type == T_AREA && IsWindow(control)) {
        raise_edit_limit(control, 0);
        std::u16string typed(size_t(GetWindowTextLengthW(control)), u'\0');
        GetWindowTextW(control, typed.data(), int(typed.size()) + 1);
        get_text_extent(control, &face, &typed);
      }
      break;
    }
    case 0x100:
    case 4:
      mark_selected(control, &face);
      send_event_for(control, 0, type == T_DROP_DOWN || type == T_DROP_LIST ? EV_UNFOCUS : EV_FOCUS);
      break;
    case 0x200: send_event_for(control, 0, EV_UNFOCUS); break;
    case 1: {  // LBN_SELCHANGE, CBN_SELCHANGE
      int32_t i = int32_t(SendMessageW(control, type == T_TEXT_LIST ? LB_GETCURSEL : CB_GETCURSEL, 0, 0));
      cell sel = facet(&face, FACET_SELECTED);
      if (type_of(&sel) == TYPE_INTEGER && integer::get(&sel) == i + 1) break;
      int r = send_event_for(control, i, EV_SELECT);
      cell st = get_state(&face);
      if (type_of(&st) != TYPE_BLOCK) break;
      i = int32_t(SendMessageW(control, type == T_TEXT_LIST ? LB_GETCURSEL : CB_GETCURSEL, 0, 0));
      sel = facet(&face, FACET_SELECTED);
      if (type_of(&sel) == TYPE_INTEGER && integer::get(&sel) == i + 1) break;
      cell v;
      integer::make_at(&v, i + 1);
      set_facet(&face, FACET_SELECTED, v);
      if (r == 1) send_event_for(control, 0, EV_CHANGE);
      break;
    }
    case 5:
      if (type == T_TEXT_LIST) send_event_for(control, 0, EV_UNFOCUS);
      else if (type != T_RADIO) send_event_for(control, -1, EV_CHANGE);
      break;
    default: break;
  }
}

// A scroller's or slider's request: page steps clamp like line steps, so
// `data` never leaves 0..1.
void scroll_control(HWND hwnd, UINT msg, WPARAM wparam, HWND control) {
  cell face;
  if (!window_face(control, &face)) return;
  collector::root_cells keep(&face);
  MSG* m = cursor_msg();
  HWND saved = m->hwnd;
  m->hwnd = control;
  m->message = msg;
  m->wParam = wparam;
  if (face_type_of(&face) == T_SLIDER) {
    slider_to_data(control, &face);
  } else {
    SCROLLINFO si{};
    si.cbSize = sizeof si;
    si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    GetScrollInfo(control, SB_CTL, &si);
    double range = double(si.nMax - si.nMin);
    int pos = si.nPos;
    WORD req = LOWORD(wparam);
    if (req == SB_ENDSCROLL) {
      m->hwnd = saved;
      return;
    }
    if (req == SB_LINEUP || req == SB_LINEDOWN || req == SB_PAGEUP || req == SB_PAGEDOWN) {
      double step;
      if (req <= SB_LINEDOWN) {
        cell extra = facet(&face, FACET_DRAW);  // placeholder, replaced below
        (void)extra;
        cell line = object_field(&face, "steps");
        step = type_of(&line) == TYPE_FLOAT ? float_::get(&line) : type_of(&line) == TYPE_PERCENT ? percent::get(&line) : 0.01;
      } else {
        cell sel = facet(&face, FACET_SELECTED);
        double r = clamp_ratio(&sel);
        step = r < 0 ? 0.1 : r;
      }
      int delta = int(range * step);
      pos += (req == SB_LINEUP || req == SB_PAGEUP) ? -delta : delta;
      int top = si.nMax - int(si.nPage > 0 ? si.nPage - 1 : 0);
      if (top < si.nMin) top = si.nMin;
      if (pos < si.nMin) pos = si.nMin;
      if (pos > top) pos = top;
    } else if (req == SB_THUMBTRACK) {
      pos = int16_t(HIWORD(wparam));
    }
    si.fMask = SIF_POS;
    si.nPos = pos;
    si.nPos = SetScrollInfo(control, SB_CTL, &si, TRUE);
    si.fMask = SIF_RANGE | SIF_PAGE | SIF_POS;
    GetScrollInfo(control, SB_CTL, &si);
    scroller_to_data(&face, si);
  }
  make_event(m, 0, EV_CHANGE);
  m->hwnd = saved;
}

// ---------------------------------------------------------------- painting

std::atomic<bool> painting{false};
d2d::draw_ctx* drawing_ctx = nullptr;  // while a base face's `drawing` event runs
HWND drawing_window = 0;

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

// A base face is layered when its colour is no tuple or lets something
// through (a fourth byte not 0).
bool base_layered_q(const cell* face) {
  cell c = facet(face, FACET_COLOR);
  if (type_of(&c) != TYPE_TUPLE) return true;
  return tuple::count_of(&c) > 3 && tuple::bytes_of(&c)[3] != 0;
}
bool layered_q(HWND hwnd) { return GetWindowLongW(hwnd, GWL_EXSTYLE) & WS_EX_LAYERED; }

HWND os_make_view(const cell* face, HWND parent);
void free_faces(const cell* face_in, bool close);

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

void set_face_font(HWND hwnd, const cell* face);

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

// The face whose window is being made: the window asks for its size
// limits before the face is stored in it.
const cell* creating_face = nullptr;

// ---------------------------------------------------------------- gestures, input method, desktop changes

// A gesture's event goes to the face under its point. Zoom reports its
// factor against the previous zoom step (none for the first one after a
// begin); it is worked out once here, so every read of `picked` agrees.
void gesture(HWND hwnd, WPARAM id, LPARAM info) {
  if (id == GID_BEGIN || id == GID_END) {
    gesture_zoom_base = -1;
    return;
  }
  if (id < GID_ZOOM || id > GID_PRESSANDTAP) return;
  GESTUREINFO g{};
  g.cbSize = sizeof g;
  if (!GetGestureInfo(HGESTUREINFO(info), &g)) return;
  POINT p{g.ptsLocation.x, g.ptsLocation.y};
  ScreenToClient(hwnd, &p);
  HWND target = ChildWindowFromPointEx(hwnd, p, CWP_SKIPINVISIBLE | CWP_SKIPTRANSPARENT);
  if (!target) target = hwnd;
  if (id == GID_ZOOM) {
    int64_t argument = int64_t(uint32_t(g.ullArguments));
    // A base of 0 has no ratio: the step starts over as a first one.
    gesture_zoom = gesture_zoom_base > 0 ? 1.0 + double(argument - gesture_zoom_base) / double(gesture_zoom_base) : -1.0;
    gesture_zoom_base = argument;
  }
  MSG* m = cursor_msg();
  MSG saved = *m;
  *m = MSG{target, WM_GESTURE, id, info, saved.time, saved.pt};
  make_event(m, 0, EV_ZOOM + int32_t(id - GID_ZOOM));
  *m = saved;
}

bool gesture_picked(const MSG* m, int32_t type, cell* out) {
  if (type == EV_ZOOM) {
    if (gesture_zoom < 0) return false;
    percent::make_at(out, gesture_zoom);
    return true;
  }
  GESTUREINFO g{};
  g.cbSize = sizeof g;
  if (!GetGestureInfo(HGESTUREINFO(m->lParam), &g)) return false;
  integer::make_at(out, int32_t(uint32_t(g.ullArguments)));
  return true;
}

// The input method in a face that takes it (window flag 8): the context
// follows the focus; while a composition runs, keys are characters and the
// method writes in the face's font; each change of the composed text is an
// `ime` event whose `picked` is that text. The result comes as characters.
void ime_message(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  switch (msg) {
  case WM_IME_SETCONTEXT: ImmAssociateContext(hwnd, wparam ? hwnd : 0); break;
  case WM_IME_STARTCOMPOSITION: {
    ime_composing = true;
    cell face;
    if (!window_face(hwnd, &face)) break;
    LOGFONTW lf{};
    HIMC context = ImmGetContext(hwnd);
    if (GetObjectW(font_for(&face), sizeof lf, &lf)) ImmSetCompositionFontW(context, &lf);
    ImmReleaseContext(hwnd, context);
    break;
  }
  case WM_IME_COMPOSITION: {
    if (!(lparam & GCS_COMPSTR)) break;
    HIMC context = ImmGetContext(hwnd);
    LONG bytes = ImmGetCompositionStringW(context, GCS_COMPSTR, nullptr, 0);
    std::u16string text(size_t(std::max<LONG>(bytes, 0)) / 2, u'\0');
    if (bytes > 0) ImmGetCompositionStringW(context, GCS_COMPSTR, text.data(), DWORD(bytes));
    ImmReleaseContext(hwnd, context);
    ime_text = text;
    send_event_for(hwnd, 0, EV_IME);
    break;
  }
  case WM_IME_ENDCOMPOSITION: ime_composing = false; break;
  }
}

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

// gui/custom-draw: a button's text in its font's colour, which the control
// itself does not know; every other case keeps the control's own drawing.
LRESULT custom_draw(const NMCUSTOMDRAW* cd) {
  cell face;
  if (!window_face(cd->hdr.hwndFrom, &face)) return 0;
  int type = face_type_of(&face);
  if (type != T_CHECK && type != T_RADIO && type != T_BUTTON && type != T_TOGGLE) return 0;
  if (cd->dwDrawStage != CDDS_PREPAINT || cd->uItemState == CDIS_DISABLED) return 0;
  cell font = facet(&face, FACET_FONT);
  if (type_of(&font) != TYPE_OBJECT) return 0;
  collector::root_cells keep(&face);
  int old_mode = SetBkMode(cd->hdc, TRANSPARENT_BK);
  cell color = object_field(&font, "color");
  if (type_of(&color) == TYPE_TUPLE && to_color(&color) != 0) SetTextColor(cd->hdc, to_color(&color) & 0xFFFFFF);
  RECT r = cd->rc;
  if (type == T_CHECK || type == T_RADIO) r.left += dpi_scale(16);
  cell text = facet(&face, FACET_TEXT);
  if (type_of(&text) == TYPE_STRING) {
    cell para = facet(&face, FACET_PARA);
    cell type_word = facet(&face, FACET_TYPE);
    UINT align = type_of(&para) == TYPE_OBJECT ? text_box::get_para_flags(type_word.w2, &para) & 0xF : 5;
    std::u16string t = text_of(&text);
    // The font the face gave its window: making one here would leak one per paint.
    HGDIOBJ old_font = SelectObject(cd->hdc, HFONT(SendMessageW(cd->hdr.hwndFrom, WM_GETFONT, 0, 0)));
    DrawTextW(cd->hdc, t.c_str(), -1, &r, align | DT_SINGLELINE);
    SelectObject(cd->hdc, old_font);
  }
  SetBkMode(cd->hdc, old_mode);
  return CDRF_SKIPDEFAULT;
}

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
LRESULT camera_wnd_proc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  switch (msg) {
    case WM_DESTROY: camera_destroy(hwnd); break;
    case WM_CAMERA_FRAME: camera_frame_ready(hwnd); return 0;
    case WM_CAMERA_PREVIEW: InvalidateRect(hwnd, nullptr, FALSE); return 0;
    case WM_PAINT: camera_paint(hwnd); return 0;
    case WM_ERASEBKGND: return 1;
    default: break;
  }
  return DefWindowProcW(hwnd, msg, wparam, lparam);
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

HWND os_make_view(const cell* face, HWND parent) {
  dpi_scope scope(parent);
  if (face_type_of(face) == T_PANEL || face_type_of(face) == T_GROUP_BOX) prepare_tab_page(face, parent);
  return create_face_window(face, parent);
}

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

void change_pane(const cell* pane) {
  int32_t n = block_length(pane);
  for (int32_t i = 0; i < n; ++i) {
    cell f = *block_at(pane, i);
    if (HWND w = face_window(&f)) SetWindowPos(w, HWND_TOP, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE | SWP_NOACTIVATE);
  }
}

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

void os_update_view(const cell* face) { update_view_scoped(face, 0, nullptr); }

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

// ---------------------------------------------------------------- synthesised input

bool os_send_event(const cell* e_in, bool queued) {
  cell e = *e_in;
  collector::root_cells keep(&e);
  cell face, offset, picked;
  event::get_field(&e, event::F_FACE, &face);
  collector::root_cells keep_face(&face);
  HWND hwnd = face_window(&face);
  if (!hwnd || !IsWindow(hwnd)) return false;
  event::get_field(&e, event::F_OFFSET, &offset);
  event::get_field(&e, event::F_PICKED, &picked);
  uint32_t flags = e.w3;
  UINT msg;
  WPARAM wp = 0;
  bool keyboard = false;
  switch (int32_t(e.w1)) {
    case EV_DOWN: msg = WM_LBUTTONDOWN; wp = MK_LBUTTON; break;
    case EV_UP: msg = WM_LBUTTONUP; break;
    case EV_MID_DOWN: msg = WM_MBUTTONDOWN; wp = MK_MBUTTON; break;
    case EV_MID_UP: msg = WM_MBUTTONUP; break;
    case EV_ALT_DOWN: msg = WM_RBUTTONDOWN; wp = MK_RBUTTON; break;
    case EV_ALT_UP: msg = WM_RBUTTONUP; break;
    case EV_AUX_DOWN: msg = WM_XBUTTONDOWN; wp = 0x10020; break;
    case EV_AUX_UP: msg = WM_XBUTTONUP; wp = 0x10000; break;
    case EV_DBL_CLICK: msg = WM_LBUTTONDBLCLK; wp = MK_LBUTTON; break;
    case EV_WHEEL: msg = WM_MOUSEWHEEL; break;
    case EV_OVER: msg = (flags & event::FLAG_AWAY) ? WM_MOUSELEAVE : WM_MOUSEMOVE; break;
    case EV_KEY_DOWN: case EV_KEY_UP: {
      msg = int32_t(e.w1) == EV_KEY_DOWN ? WM_KEYDOWN : WM_KEYUP;
      uint32_t k = flags & event::KEY_MASK;
      wp = WPARAM(VkKeyScanW(WCHAR(k)) & 0xFF);
      keyboard = true;
      break;
    }
    case EV_KEY: msg = WM_CHAR; wp = flags & event::KEY_MASK; keyboard = true; break;
    default: return false;
  }
  LPARAM lp = 0;
  POINT pt{0, 0};
  if (!keyboard) {
    if (flags & event::FLAG_CONTROL) wp |= MK_CONTROL;
    if (flags & event::FLAG_SHIFT) wp |= MK_SHIFT;
    if (flags & event::FLAG_DOWN) wp |= MK_LBUTTON;
    if (flags & event::FLAG_ALT_DOWN) wp |= MK_RBUTTON;
    if (flags & event::FLAG_MID_DOWN) wp |= MK_MBUTTON;
    if (flags & event::FLAG_AUX_DOWN) wp |= MK_XBUTTON1;
    double x, y;
    if (read_xy(&offset, x, y)) {
      POINT p{dpi_scale(x), dpi_scale(y)};
      if (msg == WM_MOUSEWHEEL || msg == WM_MOUSELEAVE) {
        POINT s = p;
        ClientToScreen(hwnd, &s);
        if (msg == WM_MOUSEWHEEL) p = s;
        pt = s;
      }
      lp = LPARAM(uint32_t(p.y) << 16 | (uint32_t(p.x) & 0xFFFF));
    }
    if (msg == WM_MOUSEWHEEL && type_of(&picked) == TYPE_INTEGER) wp += WPARAM(integer::get(&picked)) * 0x780000;
    if (msg == WM_MOUSEMOVE) last_mouse = -1;
  }
  // A character above U+FFFF goes out as its two surrogate halves.
  uint32_t c = uint32_t(wp);
  bool pairs = msg == WM_CHAR && c > 0xFFFF;
  auto send_one = [&](WPARAM w) {
    if (queued) {
      PostMessageW(hwnd, msg, w, lp);
      return;
    }
    MSG m{hwnd, msg, w, lp, 0, pt};
    int64_t saved = modifier_cache;
    if (keyboard) modifier_cache = int64_t(flags & 0x73C00000);
    MSG* saved_current = current_msg;
    current_msg = &m;
    try {
      process_input(&m);
    } catch (...) {
      current_msg = saved_current;
      modifier_cache = saved;
      throw;
    }
    current_msg = saved_current;
    modifier_cache = saved;
  };
  if (pairs) {
    c -= 0x10000;
    send_one(0xD800 + (c >> 10));
    send_one(0xDC00 + (c & 0x3FF));
  } else {
    send_one(wp);
  }
  return true;
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

// ---------------------------------------------------------------- requesters

cell* push_file_of(const std::u16string& path) {
  std::string utf8;
  for (size_t i = 0; i < path.size(); ++i) {
    uint32_t c = path[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < path.size()) c = 0x10000 + ((c - 0xD800) << 10) + (path[++i] - 0xDC00);
    if (c < 0x80) utf8 += char(c);
    else if (c < 0x800) utf8 += char(0xC0 | c >> 6), utf8 += char(0x80 | (c & 0x3F));
    else if (c < 0x10000) utf8 += char(0xE0 | c >> 12), utf8 += char(0x80 | (c >> 6 & 0x3F)), utf8 += char(0x80 | (c & 0x3F));
    else
      utf8 += char(0xF0 | c >> 18), utf8 += char(0x80 | (c >> 12 & 0x3F)), utf8 += char(0x80 | (c >> 6 & 0x3F)),
          utf8 += char(0x80 | (c & 0x3F));
  }
  return file::load(reinterpret_cast<const uint8_t*>(utf8.data()), utf8.size(), stack::push_cell());
}

std::u16string local_name(const cell* v) {
  if (type_of(v) == TYPE_FILE) {
    std::string p;
    if (file::to_local_path(v, p)) {
      cell s;
      return std::u16string(p.begin(), p.end());
    }
  }
  if (type_of(v) == TYPE_STRING) return utf16_of(v);
  return u"";
}

std::u16string make_filter(const cell* filter) {
  std::u16string out;
  if (!block::any_block_q(type_of(filter))) {
    static const char16_t def[] = u"All files\0*.*\0Kez scripts\0*.kez;*.kezs\0Other scripts\0*.r\0Text files\0*.txt\0";
    return std::u16string(def, sizeof def / 2 - 1);
  }
  for (int32_t i = 0, n = block_length(filter); i < n; ++i) {
    cell v = *block_at(filter, i);
    if (type_of(&v) != TYPE_STRING && type_of(&v) != TYPE_FILE) error::fire(err::cat_script, err::script::invalid_arg, &v);
    out += utf16_of(&v);
    out += u'\0';
  }
  return out;
}

cell* os_request_file(const cell* title, const cell* name, const cell* filter, bool save, bool multi) {
  std::u16string initial = local_name(name), folder, buf(8192, u'\0');
  size_t slash = initial.rfind(u'/');
  if (slash != std::u16string::npos) {
    folder = initial.substr(0, slash);
    initial = initial.substr(slash + 1);
  }
  std::copy(initial.begin(), initial.begin() + std::min<size_t>(initial.size(), 8000), buf.begin());
  std::u16string flt = make_filter(filter) + u'\0', ttl = type_of(title) == TYPE_STRING ? utf16_of(title) : u"";
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.hwndOwner = GetForegroundWindow();
  ofn.lpstrFilter = flt.c_str();
  ofn.lpstrFile = buf.data();
  ofn.nMaxFile = 8192;
  ofn.lpstrInitialDir = folder.empty() ? nullptr : folder.c_str();
  ofn.lpstrTitle = ttl.empty() ? nullptr : ttl.c_str();
  ofn.Flags = 0x8000C | (multi ? OFN_ALLOWMULTISELECT : 0);
  BOOL ok = save ? GetSaveFileNameW(&ofn) : GetOpenFileNameW(&ofn);
  if (!ok) return none::push();
  std::vector<std::u16string> parts;
  for (size_t at = 0; at < buf.size() && buf[at];) {
    size_t end = buf.find(u'\0', at);
    parts.push_back(buf.substr(at, end - at));
    at = end + 1;
  }
  if (parts.empty()) return none::push();
  if (!multi) return push_file_of(parts[0]);
  cell* out = block::make_at(stack::push_cell(), int32_t(parts.size()));
  if (parts.size() == 1) {
    push_file_of(parts[0]);
    block::ks_append(out, stack::top - 1);
    stack::pop(1);
    return out;
  }
  for (size_t i = 1; i < parts.size(); ++i) {
    push_file_of(parts[0] + u"/" + parts[i]);
    block::ks_append(out, stack::top - 1);
    stack::pop(1);
  }
  return out;
}

// The folder the last requester asked to keep its place chose; the next one
// that keeps its place starts there.
PIDLIST_ABSOLUTE kept_folder = nullptr;

// gui/browse-folder-callback: the dialog starts on the start folder; it is
// selected again at the first change of selection, which the dialog makes
// as it fills its list.
struct browse_start {
  const void* folder;
  bool by_path;
  bool reselected = false;
};

int browse_folder_callback(HWND dlg, UINT msg, LPARAM, LPARAM data) {
  auto* start = reinterpret_cast<browse_start*>(data);
  if (!start || !start->folder) return 0;
  if (msg == BFFM_INITIALIZED || (msg == BFFM_SELCHANGED && !start->reselected)) {
    if (msg == BFFM_SELCHANGED) start->reselected = true;
    SendMessageW(dlg, BFFM_SETSELECTIONW, WPARAM(start->by_path), LPARAM(start->folder));
  }
  return 0;
}

cell* os_request_dir(const cell* title, const cell* dir, bool keep) {
  std::u16string ttl = type_of(title) == TYPE_STRING ? utf16_of(title) : u"", from = local_name(dir);
  browse_start start{nullptr, true};
  if (keep) start = browse_start{kept_folder, false};
  else if (!from.empty()) start = browse_start{from.c_str(), true};
  BROWSEINFOW bi{};
  bi.hwndOwner = GetForegroundWindow();
  bi.lpszTitle = ttl.empty() ? nullptr : ttl.c_str();
  bi.ulFlags = 0x51;
  bi.lpfn = browse_folder_callback;
  bi.lParam = LPARAM(&start);
  PIDLIST_ABSOLUTE list = SHBrowseForFolderW(&bi);
  if (!list) return none::push();
  WCHAR path[260] = {};
  SHGetPathFromIDListW(list, path);
  if (keep) {
    if (kept_folder) CoTaskMemFree(kept_folder);
    kept_folder = list;
  } else {
    CoTaskMemFree(list);
  }
  std::u16string p(path);
  if (p.empty() || p.back() != u'/') p += u'/';
  return push_file_of(p);
}

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
