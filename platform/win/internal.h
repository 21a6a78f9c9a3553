// Shared state of the window system's source files (not for other modules).
// One table holds every object a handle can name; the GUI thread owns it.
#pragma once

#include <cairo.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/win/win.h"

namespace kez::win::detail {

enum class kind : uint8_t { none, window, dc, bitmap, region, cursor, monitor, defer };

struct object {
  kind type;
  explicit object(kind k) : type(k) {}
  virtual ~object() = default;
};

struct window_class {
  std::u16string name;
  WNDCLASSEXW info;
};

struct window final : object {
  window() : object(kind::window) {}
  ~window() override;
  HWND self = 0;
  const window_class* cls = nullptr;
  WNDPROC proc = nullptr;
  DWORD style = 0, ex_style = 0;
  HWND parent = 0, owner = 0;
  std::vector<HWND> children;  // z-order, top first
  RECT rect{};                 // in the parent's client coordinates (screen for top-level)
  RECT frame{};                // client inset: left, top, right, bottom (non-negative)
  std::u16string text;
  std::vector<int32_t> slots;
  intptr_t user_data = 0, id = 0;
  cairo_surface_t* surface = nullptr;
  cairo_region_t* invalid = nullptr;  // client coordinates; null: nothing to paint
  bool erase = false;
  cairo_region_t* clip = nullptr;  // SetWindowRgn, window coordinates
  BYTE alpha = 255;                // SetLayeredWindowAttributes
  bool layered_alpha = false;
  bool dying = false;  // inside DestroyWindow
  bool menu_bar = false;
  UINT dpi = 96;
  unsigned long xid = 0;  // X window of a shown top-level
};

struct dc final : object {
  dc() : object(kind::dc) {}
  ~dc() override;
  HWND hwnd = 0;
  cairo_surface_t* surface = nullptr;  // referenced
  cairo_t* cr = nullptr;
  HBITMAP bitmap = 0;  // memory DCs
  POINT origin{};
};

struct bitmap final : object {
  bitmap() : object(kind::bitmap) {}
  ~bitmap() override { if (surface) cairo_surface_destroy(surface); }
  cairo_surface_t* surface = nullptr;
};

struct region final : object {
  region() : object(kind::region) {}
  ~region() override { cairo_region_destroy(rgn); }
  cairo_region_t* rgn = cairo_region_create();
};

struct cursor final : object {
  cursor() : object(kind::cursor) {}
  ~cursor() override { if (image) cairo_surface_destroy(image); }
  uintptr_t system_id = 0;  // IDC_* or 0 for one made from pixels
  cairo_surface_t* image = nullptr;
  POINT hot{};
};

struct monitor final : object {
  monitor() : object(kind::monitor) {}
  RECT rect{}, work{};
  UINT dpi = 96;
};

struct defer_batch final : object {
  defer_batch() : object(kind::defer) {}
  std::vector<WINDOWPOS> items;
};

HANDLE add(std::unique_ptr<object> obj);
object* find(HANDLE h, kind k);
void remove(HANDLE h);
inline window* win(HWND h) { return static_cast<window*>(find(h, kind::window)); }
inline dc* dc_of(HDC h) { return static_cast<dc*>(find(h, kind::dc)); }

// The GUI thread's state that several files read.
struct state {
  layer::mode mode = layer::mode::headless;
  std::vector<std::unique_ptr<window_class>> classes;
  std::vector<HWND> tops;  // top-level windows, z-order, top first
  std::vector<HMONITOR> monitors;
  HWND capture = 0, focus = 0, active = 0, hover = 0;
  HCURSOR cursor = 0;
  POINT mouse{};
  DWORD msg_pos = 0, msg_time = 0;
  BYTE keys[256]{};  // 0x80 down, 0x01 toggled
};
state& st();

// Window internals.
RECT screen_rect(const window* w);           // window rectangle on screen
POINT client_origin(const window* w);        // client (0,0) on screen
HWND hit_window(POINT screen, LRESULT* hit); // deepest enabled-or-not visible window
bool visible_on_screen(const window* w);
void window_moved(window* w);  // DPI check of a top-level after a move
void destroy_all_windows();
bool caret_rect(const window* w, RECT* out);  // a shown caret in its "on" phase
HWND caret_window();                          // the window of a shown caret, or 0

// Painting internals.
void ensure_surface(window* w);
void paint_frame(window* w);
void invalidate_client(window* w, const cairo_region_t* area, bool erase, bool children);
bool has_invalid(HWND* out);  // finds a window with something to paint
cairo_surface_t* compose(window* w);
void top_changed(window* w);  // the top-level holding w needs showing again
void present_dirty();

// Queue internals.
void post_input(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
void key_input(UINT vk, UINT scan, bool extended, bool down);
void char_input(char32_t ch, bool front);  // queued as key items
void mouse_move_input(POINT screen);
void button_input(UINT vk, bool down);
void wheel_input(int delta);
DWORD now();
void kill_timers(HWND hwnd);
void reset_queue();
void wake();

// X11 side: present only in x11 mode.
bool x11_open();
void x11_close();
void x11_show(window* w, bool show);
void x11_place(window* w);
void x11_destroy(window* w);
void x11_present(window* w);  // pushes the composited picture
void x11_focus(window* w);
void x11_cursor(HCURSOR h);         // shows h over the top-level under the mouse
void x11_forget_cursor(HCURSOR h);  // h is being destroyed
int x11_fd();
void x11_pump();              // turns pending X events into input
void x11_monitors(std::vector<layer::screen>* out);

}  // namespace kez::win::detail
