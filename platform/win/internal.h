// Shared state of the window system's source files (not for other modules).
// One table holds every object a handle can name; the GUI thread owns it.
#pragma once

#include <cairo.h>

#include <functional>

#include <memory>
#include <string>
#include <vector>

#include "platform/win/win.h"

// Xlib's display and event, for the X11 side's entry points.
struct _XDisplay;
union _XEvent;
struct _XIM;
struct _XIC;

namespace kez::win::detail {

enum class kind : uint8_t { none, window, dc, bitmap, region, cursor, monitor, defer, brush, font, menu, imagelist };

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
  cairo_region_t* painting = nullptr;  // between BeginPaint and EndPaint: the area painted (client coordinates)
  bool erase = false;
  cairo_region_t* clip = nullptr;  // SetWindowRgn, window coordinates
  BYTE alpha = 255;                // SetLayeredWindowAttributes
  bool layered_alpha = false;
  bool dying = false;  // inside DestroyWindow
  bool menu_bar = false;
  bool themed = false;      // SetWindowTheme named a theme: its own, not its parent's
  bool dark = false;        // SetWindowTheme: the dark theme
  bool dark_frame = false;  // DwmSetWindowAttribute: a dark caption and border
  bool see_through = false; // painted with a transparent background: blends over its parent
  HMENU menu = 0;  // SetMenu
  int bar_hot = -1;  // menu bar item shown pressed
  UINT dpi = 96;
  unsigned long xid = 0;  // X window of a shown top-level
  RECT ext{};             // X11: the window manager's frame around the X window
};

struct dc final : object {
  dc() : object(kind::dc) {}
  ~dc() override;
  HWND hwnd = 0;
  cairo_surface_t* surface = nullptr;  // referenced
  cairo_t* cr = nullptr;
  HBITMAP bitmap = 0;  // memory DCs
  POINT origin{};
  // What the controls' parents set for them (WM_CTLCOLOR*).
  COLORREF text_colour = 0, bk_colour = 0xFFFFFF, brush_colour = 0xFFFFFF;
  int bk_mode = 2;  // OPAQUE
  HANDLE font = 0;  // selected by SelectObject; 0: the default GUI font
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

struct brush final : object {
  brush() : object(kind::brush) {}
  COLORREF colour = 0;
  bool dc_brush = false;  // the stock DC brush: the DC's brush colour
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
  // A window that should have taken the activation when the active one went
  // but was disabled then (a modal window's owner): enabling it activates it.
  HWND activate_on_enable = 0;
  bool tearing_down = false;  // every window going at once: none is activated
  HCURSOR cursor = 0;
  POINT mouse{};
  DWORD msg_pos = 0, msg_time = 0;
  BYTE keys[256]{};  // 0x80 down, 0x01 toggled
};
state& st();

// Window internals.
RECT window_frame(const window* w);  // the non-client insets: borders, caption, menu bar, scroll bars
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
void top_changed(window* w);  // all of w needs showing again
void frame_changed(window* w);  // its non-client area (scroll bars) needs showing again
// What lies under the region (w's window coordinates) of the top-level is
// composed into the picture that shows it at its next present.
void compose_region(window* top, cairo_surface_t* target, const cairo_region_t* area, int dx, int dy);
void present_dirty();  // presents what is due now (X11)

// Queue internals.
void post_input(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam);
void key_input(UINT vk, UINT scan, bool extended, bool down);
void char_input(char32_t ch, bool front);  // queued as key items
// A key from the X server with the text its press typed (empty: the text,
// if any, follows from the key as on the US layout).
void x_key_input(UINT vk, bool down, const std::u16string& text);
void mouse_move_input(POINT screen);
void button_input(UINT vk, bool down);
void wheel_input(int delta);
void action_input(std::function<void()> run);  // queued with the injected input
// Input comes from a script: a loop that used it up ends, timers or not
// (without one, headless time runs on to the next timer).
void expect_scripted_input();
// The desktop's colour of a system colour index for a window: its own theme
// when it has one (SetWindowTheme), else the desktop's.
COLORREF sys_colour(HWND hwnd, int index);
bool dark_colours(HWND hwnd);
// The desktop's theme changed (on X11, its settings manager said so): every
// window is told and painted again.
void desktop_theme_changed(bool prefers_dark);
void reset_settings();  // the desktop as it starts: light, no gesture, no composition  // the window paints in the dark theme's colours
void set_monitors(const std::vector<layer::screen>& screens);
void min_max_info(HWND hwnd, MINMAXINFO* out);  // a top-level's size limits, from its procedure
void deactivate(HWND hwnd);  // the active window lost the activation to another program
// DefWindowProcW's part for WM_GESTURE and the input method's messages.
bool input_default(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam, LRESULT* result);
std::vector<layer::screen> parse_screens(const char* text);
DWORD now();
void kill_timers(HWND hwnd);
void reset_queue();
void wake();

// Controls, menus and dialogs (platform/win/ctl.h).
void register_controls();  // at start, after the classes are cleared
void paint_menu_bar(window* w, cairo_t* cr);
void paint_window_bars(window* w, cairo_t* cr);
bool quit_seen(int* code);
// DefWindowProcW's part for menu bars and window scroll bars: hit tests,
// non-client clicks. Answers true when it handled the message.
bool nonclient_default(window* w, UINT msg, WPARAM wparam, LPARAM lparam, LRESULT* result);  // the last GetMessageW answered 0 for a posted WM_QUIT

// X11 side: present only in x11 mode.
bool x11_open();
void x11_close();
void x11_show(window* w, bool show);
void x11_place(window* w);
void x11_destroy(window* w);
// Posted after the close that another client's destruction of a top-level
// X window asks for: the window, kept by its owner, is shown again.
constexpr UINT WM_X11_GONE = WM_USER + 0x3F01;
void x11_window_gone(window* w);
void x11_focus(window* w);
void x11_cursor(HCURSOR h);         // shows h over the top-level under the mouse
void x11_forget_cursor(HCURSOR h);  // h is being destroyed
int x11_fd();
void x11_pump();              // turns pending X events into input
void x11_monitors(std::vector<layer::screen>* out);
RECT x11_frame_for(DWORD style);  // the manager's frame of a new top-level window of this style
void x11_title(window* w);        // its title changed
void x11_ime_spot(HWND hwnd, POINT client);  // where the input method shows what is being composed
void ime_spot_again();  // the spot of the caret or composition window now, given again
void damage_window(window* w, const cairo_region_t* area);  // window coordinates; null: all of it
int x11_watch_displays();  // answers the milliseconds until it looks again
int x11_geometry_due();  // milliseconds until held geometry is read back anyway, or -1
int x11_present_due();  // presents what is due; answers the milliseconds until the next, or -1
// A new surface of the root window's pixels in that area (root coordinates),
// other programs' windows included; null for an empty area.
cairo_surface_t* x11_screen_image(RECT area);
// The desktop's settings (platform/win/xsettings.cpp).
void xsettings_open(_XDisplay* display);
void xsettings_close();
bool xsettings_event(const _XEvent& e);  // true: it was the settings manager's
void x11_dark_variant(window* w);  // asks the manager for the frame in the window's theme
// Composing on the spot (platform/win/x11_ime.cpp).
bool x11_ime_offers_inline(_XIM* im);
_XIC* x11_ime_inline_context(_XIM* im, unsigned long xid);  // null when the method refuses
void x11_ime_forget();  // the composition in progress is dropped
void x11_ime_focus(HWND focus);  // the focus moved: the window's context that fits it takes the keys
bool ime_composes_itself(HWND hwnd);  // it took its input context as it got the focus

}  // namespace kez::win::detail
