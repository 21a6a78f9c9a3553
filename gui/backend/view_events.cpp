// Messages in: window messages made into the global event, the event's
// fields as the high-level code reads them, the input filter that runs
// before a message reaches its window, commands and scroll requests from
// controls, gestures and the input method, and events sent by code.
#include "gui/backend/view_internal.h"

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
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/percent.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
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

// ---------------------------------------------------------------- events

cell awake_result;  // the handler's answer, read at once

// Words of the verdicts.
int verdict(const cell* v) {
  if (type_of(v) != TYPE_WORD) return 1;
  uint32_t s = symbol::resolve(v->w2);
  return s == canon("stop") ? 0 : 1;
}

}  // namespace

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
namespace {

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

}  // namespace

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

const char* key_word(uint32_t vk) {
  for (const key_name& k : key_names)
    if (k.vk == vk) return k.name;
  return nullptr;
}

cell* word_out(cell* out, const char* name) { return word::make_at(symbol::make(name), out); }
bool gesture_picked(const MSG* m, int32_t type, cell* out);

}  // namespace

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
namespace {

// ---------------------------------------------------------------- commands

void mark_selected(HWND control, const cell* face) {
  cell root;
  if (window_face(GetAncestor(control, GA_ROOT), &root)) set_facet(&root, FACET_SELECTED, *face);
}

}  // namespace

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
namespace {

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

}  // namespace

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

}  // namespace kez::gui::view
