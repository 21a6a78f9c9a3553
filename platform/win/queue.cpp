// The message queue, keyboard translation, timers, injected input and the
// window system's start and stop.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/win/internal.h"

namespace kez::win {
using namespace detail;

namespace {

// US layout: virtual key, scan code, character without and with Shift.
struct key_info {
  UINT vk, scan;
  char plain, shifted;
};
constexpr key_info keys_us[] = {
    {VK_BACK, 0x0E, 8, 8}, {VK_TAB, 0x0F, 9, 9}, {VK_RETURN, 0x1C, 13, 13}, {VK_ESCAPE, 0x01, 27, 27},
    {VK_SPACE, 0x39, ' ', ' '}, {'0', 0x0B, '0', ')'}, {'1', 0x02, '1', '!'}, {'2', 0x03, '2', '@'},
    {'3', 0x04, '3', '#'}, {'4', 0x05, '4', '$'}, {'5', 0x06, '5', '%'}, {'6', 0x07, '6', '^'},
    {'7', 0x08, '7', '&'}, {'8', 0x09, '8', '*'}, {'9', 0x0A, '9', '('},
    {'A', 0x1E, 'a', 'A'}, {'B', 0x30, 'b', 'B'}, {'C', 0x2E, 'c', 'C'}, {'D', 0x20, 'd', 'D'},
    {'E', 0x12, 'e', 'E'}, {'F', 0x21, 'f', 'F'}, {'G', 0x22, 'g', 'G'}, {'H', 0x23, 'h', 'H'},
    {'I', 0x17, 'i', 'I'}, {'J', 0x24, 'j', 'J'}, {'K', 0x25, 'k', 'K'}, {'L', 0x26, 'l', 'L'},
    {'M', 0x32, 'm', 'M'}, {'N', 0x31, 'n', 'N'}, {'O', 0x18, 'o', 'O'}, {'P', 0x19, 'p', 'P'},
    {'Q', 0x10, 'q', 'Q'}, {'R', 0x13, 'r', 'R'}, {'S', 0x1F, 's', 'S'}, {'T', 0x14, 't', 'T'},
    {'U', 0x16, 'u', 'U'}, {'V', 0x2F, 'v', 'V'}, {'W', 0x11, 'w', 'W'}, {'X', 0x2D, 'x', 'X'},
    {'Y', 0x15, 'y', 'Y'}, {'Z', 0x2C, 'z', 'Z'},
    {VK_OEM_1, 0x27, ';', ':'}, {VK_OEM_PLUS, 0x0D, '=', '+'}, {VK_OEM_COMMA, 0x33, ',', '<'},
    {VK_OEM_MINUS, 0x0C, '-', '_'}, {VK_OEM_PERIOD, 0x34, '.', '>'}, {VK_OEM_2, 0x35, '/', '?'},
    {VK_OEM_3, 0x29, '`', '~'}, {VK_OEM_4, 0x1A, '[', '{'}, {VK_OEM_5, 0x2B, '\\', '|'},
    {VK_OEM_6, 0x1B, ']', '}'}, {VK_OEM_7, 0x28, '\'', '"'},
    {VK_SHIFT, 0x2A, 0, 0}, {VK_LSHIFT, 0x2A, 0, 0}, {VK_RSHIFT, 0x36, 0, 0}, {VK_CONTROL, 0x1D, 0, 0},
    {VK_LCONTROL, 0x1D, 0, 0}, {VK_RCONTROL, 0x1D, 0, 0}, {VK_MENU, 0x38, 0, 0}, {VK_LMENU, 0x38, 0, 0},
    {VK_RMENU, 0x38, 0, 0}, {VK_CAPITAL, 0x3A, 0, 0},
    {VK_PRIOR, 0x49, 0, 0}, {VK_NEXT, 0x51, 0, 0}, {VK_END, 0x4F, 0, 0}, {VK_HOME, 0x47, 0, 0},
    {VK_LEFT, 0x4B, 0, 0}, {VK_UP, 0x48, 0, 0}, {VK_RIGHT, 0x4D, 0, 0}, {VK_DOWN, 0x50, 0, 0},
    {VK_INSERT, 0x52, 0, 0}, {VK_DELETE, 0x53, 0, 0},
    {0x70, 0x3B, 0, 0}, {0x71, 0x3C, 0, 0}, {0x72, 0x3D, 0, 0}, {0x73, 0x3E, 0, 0}, {0x74, 0x3F, 0, 0},
    {0x75, 0x40, 0, 0}, {0x76, 0x41, 0, 0}, {0x77, 0x42, 0, 0}, {0x78, 0x43, 0, 0}, {0x79, 0x44, 0, 0},
    {0x7A, 0x57, 0, 0}, {0x7B, 0x58, 0, 0},
};

const key_info* key_of(UINT vk) {
  for (const key_info& k : keys_us)
    if (k.vk == vk) return &k;
  return nullptr;
}

bool extended_key(UINT vk) {
  return (vk >= VK_PRIOR && vk <= VK_DOWN) || vk == VK_INSERT || vk == VK_DELETE || vk == VK_RCONTROL ||
         vk == VK_RMENU || vk == VK_DIVIDE;
}

struct timer {
  HWND hwnd;
  UINT_PTR id;
  UINT interval;
  DWORD due;
  TIMERPROC proc;
};

// One injected input item; `wait` moves the virtual clock.
struct item {
  enum { key, character, move, button, wheel, wait, action, xkey } type;
  UINT a;
  int x, y;
  bool down;
  std::function<void()> run = {};  // an action: what the desktop does at that point
  std::u16string text = {};        // an X key's typed text
};

// The text typed by X key presses, kept for TranslateMessage with the
// key-down message it belongs to.
struct typed_text {
  MSG msg;
  std::u16string text;
};
std::deque<typed_text> typed;

struct queue_state {
  std::mutex lock;  // guards `posted`, `quit` and `quit_code` (posting is thread-safe)
  std::deque<MSG> posted;
  bool quit = false;
  int quit_code = 0;
  int wake_fd = -1;
  std::thread::id gui_thread;
  std::vector<timer> timers;
  UINT_PTR next_timer_id = 1;
  std::deque<item> input;
  bool scripted = false;  // input was injected: the loop ends when it is used up
  DWORD wait_target = 0;
  bool waiting = false;  // the front `wait` item has set wait_target
  DWORD clock = 0;       // virtual milliseconds
  std::chrono::steady_clock::time_point epoch = std::chrono::steady_clock::now();
  HWND tracked = 0;      // TrackMouseEvent(TME_LEAVE)
  DWORD last_click = 0;
  HWND last_click_hwnd = 0;
  UINT last_click_button = 0;
  POINT last_click_pt{};
};
queue_state q;

bool headless() { return st().mode == layer::mode::headless; }

LPARAM client_lparam(HWND hwnd, POINT screen) {
  ScreenToClient(hwnd, &screen);
  return MAKELPARAM(screen.x, screen.y);
}

WPARAM mouse_keys() {
  const BYTE* k = st().keys;
  WPARAM w = 0;
  if (k[VK_LBUTTON] & 0x80) w |= MK_LBUTTON;
  if (k[VK_RBUTTON] & 0x80) w |= MK_RBUTTON;
  if (k[VK_MBUTTON] & 0x80) w |= MK_MBUTTON;
  if (k[VK_XBUTTON1] & 0x80) w |= MK_XBUTTON1;
  if (k[VK_XBUTTON2] & 0x80) w |= MK_XBUTTON2;
  if (k[VK_SHIFT] & 0x80) w |= MK_SHIFT;
  if (k[VK_CONTROL] & 0x80) w |= MK_CONTROL;
  return w;
}

void set_key(UINT vk, bool down) {
  BYTE& k = st().keys[vk & 0xFF];
  if (down && !(k & 0x80)) k ^= 0x01;  // the toggle flips on each press
  k = BYTE(down ? (k | 0x80) : (k & ~0x80));
}

bool matches(const MSG& m, HWND hwnd, UINT first, UINT last) {
  if (hwnd && m.hwnd != hwnd && !IsChild(hwnd, m.hwnd)) return false;
  return (first == 0 && last == 0) || (m.message >= first && m.message <= last);
}

MSG make_msg(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  return MSG{hwnd, msg, wparam, lparam, now(), st().mouse};
}

void apply(const item& it) {
  switch (it.type) {
  case item::key: key_input(it.a & 0xFFFF, UINT(it.x), it.a >> 16, it.down); break;
  case item::character: char_input(char32_t(it.a), true); break;
  case item::move: mouse_move_input(POINT{it.x, it.y}); break;
  case item::button: button_input(it.a, it.down); break;
  case item::wheel: wheel_input(it.x); break;
  case item::wait: break;
  case item::action: it.run(); break;
  case item::xkey: {
    size_t before = q.posted.size();
    key_input(it.a, 0, false, it.down);
    if (q.posted.size() > before && !it.text.empty()) typed.push_back(typed_text{q.posted.back(), it.text});
    break;
  }
  }
}

// The earliest timer due at or before `limit`.
timer* due_timer(DWORD limit) {
  timer* best = nullptr;
  for (timer& t : q.timers)
    if (int32_t(t.due - limit) <= 0 && (!best || int32_t(t.due - best->due) < 0)) best = &t;
  return best;
}

// The message loop's one step: fills `out` and answers true, or answers false
// when there is nothing now (`ended` set when headless input is used up).
// Virtual time passes only while a loop blocks for input (`blocking`): a
// program that peeks while it starts up does not cross the input's waits,
// so what is typed after a wait reaches the windows it has by then.
bool next_message(MSG* out, HWND hwnd, UINT first, UINT last, bool remove, bool blocking, bool* ended) {
  for (;;) {
    {
      std::lock_guard<std::mutex> g(q.lock);
      for (auto it = q.posted.begin(); it != q.posted.end(); ++it)
        if (matches(*it, hwnd, first, last)) {
          *out = *it;
          if (remove) q.posted.erase(it);
          return true;
        }
      if (q.quit) {
        *out = make_msg(0, WM_QUIT, WPARAM(q.quit_code), 0);
        if (remove) q.quit = false;
        return true;
      }
    }
    if (st().mode == layer::mode::x11) x11_pump();
    if (!q.input.empty() && q.input.front().type != item::wait) {
      item it = q.input.front();
      q.input.pop_front();
      apply(it);
      continue;
    }
    HWND dirty;
    if (has_invalid(&dirty) && (!hwnd || dirty == hwnd || IsChild(hwnd, dirty)) &&
        ((first == 0 && last == 0) || (first <= WM_PAINT && WM_PAINT <= last))) {
      *out = make_msg(dirty, WM_PAINT, 0, 0);
      return true;
    }
    if (timer* t = due_timer(now())) {
      if ((first == 0 && last == 0) || (first <= WM_TIMER && WM_TIMER <= last)) {
        *out = make_msg(t->hwnd, WM_TIMER, t->id, LPARAM(t->proc));
        out->time = t->due;
        if (remove) t->due = headless() ? t->due + t->interval : now() + t->interval;
        return true;
      }
    }
    if (headless() && !q.input.empty() && blocking) {
      // The front item is a wait: move the clock to the next timer or to its end.
      if (!q.waiting) q.wait_target = q.clock + q.input.front().a, q.waiting = true;
      if (timer* t = due_timer(q.wait_target)) {
        q.clock = t->due;
        continue;
      }
      q.clock = q.wait_target;
      q.waiting = false;
      q.input.pop_front();
      continue;
    }
    if (!headless()) present_dirty(), x11_watch_displays();
    if (headless() && !q.scripted && blocking) {
      // No input will ever come: time runs on to the next timer, and the
      // loop ends only when no timer is set.
      if (timer* t = due_timer(q.clock + 0x7FFFFFFF)) {
        q.clock = t->due;
        continue;
      }
    }
    *ended = headless() && q.input.empty();
    return false;
  }
}

// Blocks until X input, a post, or the next timer (X11 mode).
void block() {
  int timeout = -1;
  DWORD t = now();
  for (timer& tm : q.timers) {
    int left = std::max(0, int32_t(tm.due - t));
    timeout = timeout < 0 ? left : std::min(timeout, left);
  }
  // A shown caret is drawn again at each half of its blink period.
  if (caret_window()) {
    int flip = int(GetCaretBlinkTime() - t % GetCaretBlinkTime());
    timeout = timeout < 0 ? flip : std::min(timeout, flip);
  }
  // Presents held back to keep to one a display frame go out when it ends.
  if (int due = x11_present_due(); due >= 0) timeout = timeout < 0 ? due : std::min(timeout, due);
  if (int due = x11_watch_displays(); due >= 0) timeout = timeout < 0 ? due : std::min(timeout, due);
  if (int due = x11_geometry_due(); due >= 0) timeout = timeout < 0 ? due : std::min(timeout, due);
  struct pollfd fds[2] = {{q.wake_fd, POLLIN, 0}, {x11_fd(), POLLIN, 0}};
  poll(fds, fds[1].fd >= 0 ? 2 : 1, timeout);
  x11_present_due();
  uint64_t drained;
  if (fds[0].revents & POLLIN) (void)!read(q.wake_fd, &drained, sizeof drained);
}

}  // namespace

namespace detail {

DWORD now() {
  if (headless()) return q.clock;
  return DWORD(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - q.epoch).count());
}

void wake() {
  uint64_t one = 1;
  if (q.wake_fd >= 0) (void)!write(q.wake_fd, &one, sizeof one);
}

void post_input(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  st().msg_pos = DWORD(MAKELPARAM(st().mouse.x, st().mouse.y));
  std::lock_guard<std::mutex> g(q.lock);
  q.posted.push_back(make_msg(hwnd, msg, wparam, lparam));
}

void kill_timers(HWND hwnd) {
  std::erase_if(q.timers, [hwnd](const timer& t) { return t.hwnd == hwnd; });
  if (q.tracked == hwnd) q.tracked = 0;
}

void key_input(UINT vk, UINT scan, bool extended, bool down) {
  state& s = st();
  if (vk == VK_SHIFT || vk == VK_CONTROL || vk == VK_MENU) {
    // A generic modifier is its left key, or the right one with the extended bit.
    vk = vk == VK_SHIFT ? VK_LSHIFT : vk == VK_CONTROL ? (extended ? VK_RCONTROL : VK_LCONTROL) : (extended ? VK_RMENU : VK_LMENU);
  }
  if (vk == VK_RSHIFT && !scan) scan = 0x36;
  extended = extended || extended_key(vk);
  if (!scan && vk != VK_PACKET)
    if (const key_info* k = key_of(vk)) scan = k->scan;
  bool was_down = s.keys[vk & 0xFF] & 0x80;
  set_key(vk, down);
  UINT generic = (vk == VK_LSHIFT || vk == VK_RSHIFT) ? VK_SHIFT
                 : (vk == VK_LCONTROL || vk == VK_RCONTROL) ? VK_CONTROL
                 : (vk == VK_LMENU || vk == VK_RMENU) ? UINT(VK_MENU) : 0u;
  if (generic) {
    UINT l = generic == VK_SHIFT ? VK_LSHIFT : generic == VK_CONTROL ? VK_LCONTROL : VK_LMENU;
    set_key(generic, (s.keys[l] & 0x80) || (s.keys[l + 1] & 0x80));
  }
  HWND target = s.focus ? s.focus : s.active;
  if (!target) return;
  bool alt = s.keys[VK_MENU] & 0x80, ctrl = s.keys[VK_CONTROL] & 0x80;
  bool sys = (alt && !ctrl) || vk == VK_F10 || !s.focus;
  UINT msg = down ? (sys ? WM_SYSKEYDOWN : WM_KEYDOWN) : (sys ? WM_SYSKEYUP : WM_KEYUP);
  WPARAM wparam = generic ? generic : vk;
  if (vk == VK_PACKET) wparam = VK_PACKET | WPARAM(scan) << 16, scan = 0;  // the UTF-16 unit rides high
  LPARAM lparam = LPARAM(1 | (scan & 0xFF) << 16 | (extended ? 1u << 24 : 0) | (alt ? 1u << 29 : 0) |
                         (was_down ? 1u << 30 : 0) | (down ? 0 : 1u << 31));
  post_input(target, msg, wparam, lparam);
}

void char_input(char32_t ch, bool front) {
  // Typed as the keys that give it, one input item each, so that the key
  // state seen by each message is the state at that key.
  std::vector<item> keys;
  auto press = [&keys](UINT vk, int unit, bool down) { keys.push_back(item{item::key, vk, unit, 0, down}); };
  int16_t scan = ch < 0x10000 ? VkKeyScanW(WCHAR(ch)) : -1;
  if (scan != -1 && !(scan & 0x600)) {
    bool shift = (scan & 0x100) && !(st().keys[VK_SHIFT] & 0x80);
    if (shift) press(VK_LSHIFT, 0, true);
    press(UINT(scan & 0xFF), 0, true);
    press(UINT(scan & 0xFF), 0, false);
    if (shift) press(VK_LSHIFT, 0, false);
  } else {
    // Off the layout: packets of UTF-16 units, two for a character above U+FFFF.
    WCHAR units[2] = {WCHAR(ch), 0};
    int n = 1;
    if (ch > 0xFFFF) units[0] = WCHAR(0xD800 + ((ch - 0x10000) >> 10)), units[1] = WCHAR(0xDC00 + (ch & 0x3FF)), n = 2;
    for (int i = 0; i < n; i++) press(VK_PACKET, units[i], true), press(VK_PACKET, units[i], false);
  }
  q.input.insert(front ? q.input.begin() : q.input.end(), keys.begin(), keys.end());
}

void x_key_input(UINT vk, bool down, const std::u16string& text) {
  q.input.push_back(item{item::xkey, vk, 0, 0, down, {}, text});
}

void mouse_move_input(POINT screen) {
  state& s = st();
  s.mouse = screen;
  LRESULT hit = HTNOWHERE;
  HWND under = hit_window(screen, &hit);
  HWND target = s.capture ? s.capture : under;
  bool in_client = s.capture || hit == HTCLIENT;
  // Leaving the tracked window (or its client area) ends the tracking with one WM_MOUSELEAVE.
  if (q.tracked && (q.tracked != target || !in_client)) {
    post_input(q.tracked, WM_MOUSELEAVE, 0, 0);
    q.tracked = 0;
  }
  if (!target) return;
  if (!s.capture) SendMessageW(target, WM_SETCURSOR, WPARAM(target), MAKELPARAM(int(hit), WM_MOUSEMOVE));
  if (in_client) post_input(target, WM_MOUSEMOVE, mouse_keys(), client_lparam(target, screen));
}

void button_input(UINT vk, bool down) {
  state& s = st();
  set_key(vk, down);
  LRESULT hit = HTNOWHERE;
  HWND under = hit_window(s.mouse, &hit);
  HWND target = s.capture ? s.capture : under;
  if (target && !s.capture && hit != HTCLIENT && vk == VK_LBUTTON) {
    // Menu bars and window scroll bars answer to non-client presses.
    post_input(target, down ? 0x00A1 : 0x00A2, WPARAM(hit), MAKELPARAM(s.mouse.x, s.mouse.y));  // WM_NCLBUTTONDOWN/UP
    return;
  }
  if (!target || (!s.capture && hit != HTCLIENT)) return;
  if (down && !s.capture) {
    HWND top = GetAncestor(target, GA_ROOT);
    window* tw = detail::win(top);
    if (top != s.active && tw && !(tw->ex_style & WS_EX_NOACTIVATE)) SetActiveWindow(top);
  }
  UINT base = vk == VK_LBUTTON ? WM_LBUTTONDOWN : vk == VK_RBUTTON ? WM_RBUTTONDOWN
              : vk == VK_MBUTTON ? WM_MBUTTONDOWN : WM_XBUTTONDOWN;
  UINT msg = down ? base : base + 1;
  WPARAM extra = base == WM_XBUTTONDOWN ? WPARAM(vk == VK_XBUTTON1 ? 1 : 2) << 16 : 0;
  if (down) {
    window* w = detail::win(target);
    DWORD t = now();
    bool dbl = w && (w->cls->info.style & CS_DBLCLKS) && q.last_click_hwnd == target && q.last_click_button == vk &&
               t - q.last_click < 500 && std::abs(s.mouse.x - q.last_click_pt.x) <= 2 &&
               std::abs(s.mouse.y - q.last_click_pt.y) <= 2;
    if (dbl) msg = base + 2, q.last_click_hwnd = 0;
    else q.last_click = t, q.last_click_hwnd = target, q.last_click_button = vk, q.last_click_pt = s.mouse;
  }
  post_input(target, msg, mouse_keys() | extra, client_lparam(target, s.mouse));
}

void wheel_input(int delta) {
  state& s = st();
  HWND target = s.focus ? s.focus : s.active;
  if (!target) target = hit_window(s.mouse, nullptr);
  if (target)
    post_input(target, WM_MOUSEWHEEL, mouse_keys() | WPARAM(uint16_t(int16_t(delta))) << 16,
               MAKELPARAM(s.mouse.x, s.mouse.y));
}

void expect_scripted_input() { q.scripted = true; }

void action_input(std::function<void()> run) {
  q.scripted = true;
  q.input.push_back(item{item::action, 0, 0, 0, false, std::move(run)});
}

void reset_queue() {
  std::lock_guard<std::mutex> g(q.lock);
  q.posted.clear();
  q.quit = false;
  q.timers.clear();
  q.input.clear();
  q.scripted = false;
  q.waiting = false;
  q.clock = 0;
  q.tracked = 0;
  q.last_click_hwnd = 0;
  typed.clear();
  q.epoch = std::chrono::steady_clock::now();
  q.gui_thread = std::this_thread::get_id();
  if (q.wake_fd < 0) q.wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

}  // namespace detail

namespace {
bool last_quit = false;  // the last GetMessageW's 0 was a posted WM_QUIT
bool last_dry = false;   // the last GetMessageW's 0 came from an empty headless queue
}

bool detail::quit_seen(int* code) {
  if (code) *code = q.quit_code;
  return last_quit;
}

bool layer::ran_dry() { return last_dry; }

BOOL GetMessageW(MSG* msg, HWND hwnd, UINT first, UINT last) {
  for (;;) {
    bool ended = false;
    if (next_message(msg, hwnd, first, last, true, true, &ended)) {
      st().msg_time = msg->time;
      last_quit = msg->message == WM_QUIT;
      if (last_quit) last_dry = false;
      return msg->message != WM_QUIT;
    }
    last_quit = false;
    if (ended) {
      last_dry = true;
      *msg = make_msg(0, WM_QUIT, 0, 0);
      return 0;
    }
    block();
  }
}

BOOL PeekMessageW(MSG* msg, HWND hwnd, UINT first, UINT last, UINT remove) {
  bool ended = false;
  if (!next_message(msg, hwnd, first, last, remove & PM_REMOVE, false, &ended)) return 0;
  st().msg_time = msg->time;
  return 1;
}

BOOL PostMessageW(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  {
    std::lock_guard<std::mutex> g(q.lock);
    // From the GUI thread a dead window is refused at once; from others the
    // message is dropped at dispatch (the table belongs to the GUI thread).
    if (hwnd && std::this_thread::get_id() == q.gui_thread && !detail::win(hwnd)) return 0;
    q.posted.push_back(MSG{hwnd, msg, wparam, lparam, 0, {}});
    if (std::this_thread::get_id() == q.gui_thread) q.posted.back().time = now(), q.posted.back().pt = st().mouse;
  }
  wake();
  return 1;
}

BOOL PostThreadMessageW(DWORD, UINT msg, WPARAM wparam, LPARAM lparam) { return PostMessageW(0, msg, wparam, lparam); }

void PostQuitMessage(int code) {
  {
    std::lock_guard<std::mutex> g(q.lock);
    q.quit = true;
    q.quit_code = code;
  }
  wake();
}

LRESULT SendMessageW(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  window* w = detail::win(hwnd);
  return w ? CallWindowProcW(w->proc, hwnd, msg, wparam, lparam) : 0;
}

LRESULT DispatchMessageW(const MSG* msg) {
  if (msg->message == WM_TIMER && msg->lParam) {
    reinterpret_cast<TIMERPROC>(msg->lParam)(msg->hwnd, WM_TIMER, msg->wParam, msg->time);
    return 0;
  }
  return msg->hwnd ? SendMessageW(msg->hwnd, msg->message, msg->wParam, msg->lParam) : 0;
}

BOOL TranslateMessage(const MSG* msg) {
  if (msg->message != WM_KEYDOWN && msg->message != WM_SYSKEYDOWN) return 0;
  // A key from the X server: the text it typed, as the input method gave it.
  for (auto it = typed.begin(); it != typed.end(); ++it)
    if (it->msg.hwnd == msg->hwnd && it->msg.message == msg->message && it->msg.wParam == msg->wParam &&
        it->msg.lParam == msg->lParam) {
      std::u16string text = it->text;
      typed.erase(typed.begin(), it + 1);
      std::lock_guard<std::mutex> g(q.lock);
      // Ahead of everything queued, in order: both halves of a pair back to back.
      UINT char_msg = msg->message == WM_SYSKEYDOWN ? WM_SYSCHAR : WM_CHAR;
      for (size_t i = text.size(); i-- > 0;)
        q.posted.push_front(MSG{msg->hwnd, char_msg, text[i], msg->lParam, msg->time, msg->pt});
      return 1;
    }
  UINT vk = LOWORD(msg->wParam);
  const BYTE* k = st().keys;
  WCHAR ch = 0;
  if (vk == VK_PACKET) ch = HIWORD(msg->wParam);
  else if (const key_info* info = key_of(vk); info && info->plain) {
    bool shift = k[VK_SHIFT] & 0x80;
    if (vk >= 'A' && vk <= 'Z' && (k[VK_CAPITAL] & 1)) shift = !shift;
    ch = WCHAR(shift ? info->shifted : info->plain);
    bool ctrl = k[VK_CONTROL] & 0x80, alt = k[VK_MENU] & 0x80;
    // Ctrl+Alt is AltGr, and the US layout has no AltGr characters: the
    // combination types nothing (a letter passed on would come back as a
    // Ctrl+letter shortcut or, shifted by 0x40, as a Latin-1 sign).
    if (ctrl && alt) ch = 0;
    else if (ctrl) {
      // Ctrl+letter types 1-26, Ctrl+[ \ ] 27-29, Ctrl+Enter LF, Ctrl+Backspace DEL.
      if (vk >= 'A' && vk <= 'Z') ch = WCHAR(vk - 'A' + 1);
      else if (vk == VK_OEM_4 || vk == VK_OEM_5 || vk == VK_OEM_6) ch = WCHAR(27 + (vk - VK_OEM_4));
      else if (vk == VK_RETURN) ch = 10;
      else if (vk == VK_BACK) ch = 127;
      else if (vk != VK_ESCAPE && vk != VK_TAB && vk != VK_SPACE) ch = 0;
    }
  }
  if (!ch) return 0;
  std::lock_guard<std::mutex> g(q.lock);
  // Ahead of everything queued: the character belongs right after its key.
  q.posted.push_front(MSG{msg->hwnd, msg->message == WM_SYSKEYDOWN ? WM_SYSCHAR : WM_CHAR, ch, msg->lParam,
                          msg->time, msg->pt});
  return 1;
}

DWORD GetMessagePos() { return st().msg_pos; }
LONG GetMessageTime() { return LONG(st().msg_time); }
DWORD GetTickCount() { return now(); }
DWORD GetCurrentThreadId() { return DWORD(std::hash<std::thread::id>()(std::this_thread::get_id())); }

int16_t GetKeyState(int vk) {
  BYTE k = st().keys[vk & 0xFF];
  return int16_t((k & 0x80 ? 0xFF80 : 0) | (k & 0x01));
}
int16_t GetAsyncKeyState(int vk) { return int16_t(st().keys[vk & 0xFF] & 0x80 ? 0x8000 : 0); }

UINT MapVirtualKeyW(UINT code, UINT type) {
  switch (type) {
  case MAPVK_VK_TO_VSC: {
    const key_info* k = key_of(code);
    return k ? k->scan : 0;
  }
  case MAPVK_VK_TO_CHAR: {
    const key_info* k = key_of(code);
    if (!k || !k->plain) return 0;
    return UINT(code >= 'A' && code <= 'Z' ? k->shifted : k->plain);
  }
  case MAPVK_VSC_TO_VK:
  case MAPVK_VSC_TO_VK_EX: {
    bool ex = (code & 0xFF00) == 0xE000;
    UINT scan = code & 0xFF;
    if (type == MAPVK_VSC_TO_VK_EX) {
      if (scan == 0x2A) return VK_LSHIFT;
      if (scan == 0x36) return VK_RSHIFT;
      if (scan == 0x1D) return ex ? VK_RCONTROL : VK_LCONTROL;
      if (scan == 0x38) return ex ? VK_RMENU : VK_LMENU;
    } else if (scan == 0x36) {
      return VK_SHIFT;
    }
    for (const key_info& k : keys_us)
      if (k.scan == scan) return k.vk;
    return 0;
  }
  }
  return 0;
}

int16_t VkKeyScanW(WCHAR ch) {
  if (ch >= 1 && ch <= 26 && ch != 8 && ch != 9 && ch != 13) return int16_t(0x200 | ('A' + ch - 1));
  for (const key_info& k : keys_us) {
    if (!k.plain) continue;
    if (k.plain == char(ch) && ch < 0x80) return int16_t(k.vk);
    if (k.shifted == char(ch) && ch < 0x80) return int16_t(0x100 | k.vk);
  }
  return -1;
}

UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT elapse, TIMERPROC proc) {
  if (hwnd && !detail::win(hwnd)) return 0;
  elapse = std::clamp<UINT>(elapse, 10, 0x7FFFFFFF);  // as Windows: below 10 ms is 10 ms
  for (timer& t : q.timers)
    if (hwnd && t.hwnd == hwnd && t.id == id) {
      t.interval = elapse, t.due = now() + elapse, t.proc = proc;
      return id;
    }
  if (!hwnd) id = q.next_timer_id++;  // a thread timer's id is ours to pick
  q.timers.push_back(timer{hwnd, id, elapse, now() + elapse, proc});
  return hwnd ? (id ? id : 1) : id;
}

BOOL KillTimer(HWND hwnd, UINT_PTR id) {
  auto before = q.timers.size();
  std::erase_if(q.timers, [&](const timer& t) { return t.hwnd == hwnd && t.id == id; });
  return q.timers.size() != before;
}

BOOL TrackMouseEvent(TRACKMOUSEEVENT* track) {
  if (!track) return 0;
  if (track->dwFlags & TME_CANCEL) {
    if (q.tracked == track->hwndTrack) q.tracked = 0;
    return 1;
  }
  if (!(track->dwFlags & TME_LEAVE) || !detail::win(track->hwndTrack)) return 0;
  // Asking while the mouse is already outside gives the leave at once.
  LRESULT hit;
  if (hit_window(st().mouse, &hit) != track->hwndTrack || hit != HTCLIENT) {
    if (st().capture != track->hwndTrack) {
      post_input(track->hwndTrack, WM_MOUSELEAVE, 0, 0);
      return 1;
    }
  }
  q.tracked = track->hwndTrack;
  return 1;
}

namespace layer {

void inject_key(UINT vk, bool down, bool extended) {
  q.scripted = true;
  q.input.push_back(item{item::key, vk | (extended ? 0x10000u : 0), 0, 0, down});
}
void inject_text(const std::u32string& text) {
  q.scripted = true;
  for (char32_t c : text) q.input.push_back(item{item::character, UINT(c), 0, 0, false});
}
void inject_mouse_move(int x, int y) { q.scripted = true, q.input.push_back(item{item::move, 0, x, y, false}); }
void inject_button(UINT button, bool down) { q.scripted = true, q.input.push_back(item{item::button, button, 0, 0, down}); }
void inject_wheel(int delta) { q.scripted = true, q.input.push_back(item{item::wheel, 0, delta, 0, false}); }
void inject_wait(DWORD ms) { q.scripted = true, q.input.push_back(item{item::wait, ms, 0, 0, false}); }
bool input_pending() { return !q.input.empty(); }
DWORD virtual_time() { return q.clock; }

}  // namespace layer
}  // namespace kez::win
