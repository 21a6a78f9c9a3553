// The X11 side: top-level windows become X windows under the user's window
// manager, each showing a kept picture of its client area that only damaged
// parts are composed into and pushed from; X input becomes the layer's input
// (text through the X input method). Monitors come from XRandR and the DPI
// from the Xft.dpi resource.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/Xrender.h>
#include <X11/keysym.h>
#include <cairo-xlib-xrender.h>
#include <cairo-xlib.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <chrono>
#include <clocale>
#include <cmath>
#include <cstring>
#include <map>

#include "platform/gfx/text.h"
#include "platform/win/internal.h"

namespace kez::win::detail {

namespace {

Display* dpy = nullptr;
XIM xim = nullptr;
XIMStyle im_style = 0;
bool im_inline = false;  // the method hands over what it composes
int rr_event = -1;  // XRandR's first event number
UINT desktop_dpi = 96;

struct atoms_t {
  Atom protocols, delete_window, net_name, utf8, pid, icon, extents, state, max_v, max_h, hidden, wm_state, active,
      check, request_extents, motif, type, type_normal, type_dialog, type_menu, type_dropdown, resources;
} a;

// What the X side keeps for each shown top-level window.
struct xwin {
  ::Window xid = 0;
  GC gc = nullptr;
  XIC ic = nullptr;         // the method draws over the spot, or nothing
  XIC inline_ic = nullptr;  // the method hands the composition to the window
  bool inline_on = false;   // the focused window composes itself: inline_ic takes the keys
  cairo_surface_t* picture = nullptr;  // the X window's content, kept
  XImage* image = nullptr;             // over the picture's pixels, or in the server's format
  bool converted = false;              // image has pixels of its own, converted at each upload
  cairo_region_t* damage = nullptr;    // X window coordinates
  std::chrono::steady_clock::time_point last_present{};
  bool managed = false, mapped = false;
  bool fresh = false;  // the picture is new: the server has none of it yet
  RECT asked{};  // the X window's geometry as last asked for or read back (root coordinates)
  layer::x11_counts counts;
};
std::map<HWND, xwin> xwins;

using clock_type = std::chrono::steady_clock;
constexpr auto frame_time = std::chrono::microseconds(16667);

// The latest XSetInputFocus of ours: focus events from before it are stale.
unsigned long focus_serial = 0;
bool from_server = false;  // handling a change the server reported: not echoed back
RECT frame_guess{};        // the manager's frame of a captioned window, as last seen
bool guess_known = false;

struct caret_seen {
  HWND hwnd = 0;
  RECT rect{};
  bool on = false;
} caret_shown;

int ignore_errors(Display*, XErrorEvent*) { return 0; }

window* by_xid(::Window xid) {
  for (auto& [h, x] : xwins)
    if (x.xid == xid) return detail::win(h);
  return nullptr;
}

xwin* x_of(const window* w) {
  auto it = xwins.find(w->self);
  return it == xwins.end() ? nullptr : &it->second;
}

::Window root() { return DefaultRootWindow(dpy); }

bool wm_running() {
  Atom type;
  int format;
  unsigned long n, after;
  unsigned char* data = nullptr;
  bool yes = XGetWindowProperty(dpy, root(), a.check, 0, 1, False, XA_WINDOW, &type, &format, &n, &after, &data) ==
                 Success && n == 1;
  if (data) XFree(data);
  return yes;
}

std::vector<long> long_property(::Window xid, Atom prop, Atom want, long max) {
  Atom type;
  int format;
  unsigned long n = 0, after;
  unsigned char* data = nullptr;
  std::vector<long> out;
  if (XGetWindowProperty(dpy, xid, prop, 0, max, False, want, &type, &format, &n, &after, &data) == Success && data &&
      format == 32)
    out.assign(reinterpret_cast<long*>(data), reinterpret_cast<long*>(data) + n);
  if (data) XFree(data);
  return out;
}

RECT read_extents(::Window xid) {
  std::vector<long> e = long_property(xid, a.extents, XA_CARDINAL, 4);
  if (e.size() != 4) return RECT{};
  return RECT{LONG(e[0]), LONG(e[2]), LONG(e[1]), LONG(e[3])};  // left, top, right, bottom
}

// The manager's frame for a captioned window, asked of it once with a window
// that is never shown, so that windows are made the right size at once.
void learn_frame() {
  if (guess_known) return;
  guess_known = true;
  if (!wm_running()) return;
  XSetWindowAttributes sa{};
  sa.event_mask = PropertyChangeMask;
  ::Window probe = XCreateWindow(dpy, root(), 0, 0, 100, 100, 0, CopyFromParent, InputOutput, CopyFromParent,
                                 CWEventMask, &sa);
  XEvent e{};
  e.xclient.type = ClientMessage;
  e.xclient.window = probe;
  e.xclient.message_type = a.request_extents;
  e.xclient.format = 32;
  XSendEvent(dpy, root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
  XFlush(dpy);
  for (int i = 0; i < 200; i++) {
    if (XCheckTypedWindowEvent(dpy, probe, PropertyNotify, &e) && e.xproperty.atom == a.extents) break;
    pollfd p{ConnectionNumber(dpy), POLLIN, 0};
    poll(&p, 1, 5);
  }
  frame_guess = read_extents(probe);
  XDestroyWindow(dpy, probe);
}

bool decorated_style(DWORD style) { return !(style & WS_CHILD) && (style & WS_CAPTION) == WS_CAPTION; }

// Menus, drop-down lists and tips: shown exactly where placed, no manager in between.
bool popup_style(const window* w) {
  return !(w->style & WS_CHILD) && (w->style & WS_POPUP) && (w->style & WS_CAPTION) != WS_CAPTION &&
         (w->ex_style & WS_EX_NOACTIVATE);
}

// The X window: the window rectangle less the manager's frame.
RECT x_geometry(const window* w) {
  return RECT{w->rect.left + w->ext.left, w->rect.top + w->ext.top, w->rect.right - w->ext.right,
              w->rect.bottom - w->ext.bottom};
}

bool same(const RECT& a2, const RECT& b) {
  return a2.left == b.left && a2.top == b.top && a2.right == b.right && a2.bottom == b.bottom;
}

// ---- keyboard ----

struct keysym_vk {
  KeySym sym;
  UINT vk;
};
constexpr keysym_vk keysyms[] = {
    {XK_BackSpace, VK_BACK}, {XK_Tab, VK_TAB}, {XK_ISO_Left_Tab, VK_TAB}, {XK_Return, VK_RETURN},
    {XK_KP_Enter, VK_RETURN}, {XK_Escape, VK_ESCAPE}, {XK_space, VK_SPACE}, {XK_Prior, VK_PRIOR}, {XK_Next, VK_NEXT},
    {XK_End, VK_END}, {XK_Home, VK_HOME}, {XK_Left, VK_LEFT}, {XK_Up, VK_UP}, {XK_Right, VK_RIGHT},
    {XK_Down, VK_DOWN}, {XK_Insert, VK_INSERT}, {XK_Delete, VK_DELETE}, {XK_Shift_L, VK_LSHIFT},
    {XK_Shift_R, VK_RSHIFT}, {XK_Control_L, VK_LCONTROL}, {XK_Control_R, VK_RCONTROL}, {XK_Alt_L, VK_LMENU},
    {XK_Alt_R, VK_RMENU}, {XK_Caps_Lock, VK_CAPITAL},
    {XK_semicolon, VK_OEM_1}, {XK_equal, VK_OEM_PLUS}, {XK_comma, VK_OEM_COMMA}, {XK_minus, VK_OEM_MINUS},
    {XK_period, VK_OEM_PERIOD}, {XK_slash, VK_OEM_2}, {XK_grave, VK_OEM_3}, {XK_bracketleft, VK_OEM_4},
    {XK_backslash, VK_OEM_5}, {XK_bracketright, VK_OEM_6}, {XK_apostrophe, VK_OEM_7},
};

// The keys of the main block by their place on a PC keyboard (evdev key
// codes), for layouts whose letters are not Latin: Ctrl with the key in
// the place of A is Ctrl+A on every layout.
struct place_vk {
  unsigned code;
  UINT vk;
};
constexpr place_vk places[] = {
    {10, '1'}, {11, '2'}, {12, '3'}, {13, '4'}, {14, '5'}, {15, '6'}, {16, '7'}, {17, '8'}, {18, '9'}, {19, '0'},
    {20, VK_OEM_MINUS}, {21, VK_OEM_PLUS}, {24, 'Q'}, {25, 'W'}, {26, 'E'}, {27, 'R'}, {28, 'T'}, {29, 'Y'},
    {30, 'U'}, {31, 'I'}, {32, 'O'}, {33, 'P'}, {34, VK_OEM_4}, {35, VK_OEM_6}, {38, 'A'}, {39, 'S'}, {40, 'D'},
    {41, 'F'}, {42, 'G'}, {43, 'H'}, {44, 'J'}, {45, 'K'}, {46, 'L'}, {47, VK_OEM_1}, {48, VK_OEM_7},
    {49, VK_OEM_3}, {51, VK_OEM_5}, {52, 'Z'}, {53, 'X'}, {54, 'C'}, {55, 'V'}, {56, 'B'}, {57, 'N'}, {58, 'M'},
    {59, VK_OEM_COMMA}, {60, VK_OEM_PERIOD}, {61, VK_OEM_2},
};

UINT vk_of(KeySym sym) {
  if (sym >= XK_a && sym <= XK_z) return UINT('A' + (sym - XK_a));
  if (sym >= XK_A && sym <= XK_Z) return UINT('A' + (sym - XK_A));
  if (sym >= XK_0 && sym <= XK_9) return UINT('0' + (sym - XK_0));
  if (sym >= XK_F1 && sym <= XK_F12) return UINT(VK_F1 + (sym - XK_F1));
  for (const keysym_vk& k : keysyms)
    if (k.sym == sym) return k.vk;
  return 0;
}

// The virtual key of a key: from its unshifted symbol in the layout in use
// when that is one the keyboard's US names know, else from its place.
UINT key_vk(XKeyEvent* e) {
  XKeyEvent plain = *e;
  plain.state &= ~(ShiftMask | LockMask | ControlMask | Mod1Mask | Mod5Mask);  // the group stays
  KeySym sym = 0;
  char ignored[8];
  XLookupString(&plain, ignored, sizeof ignored, &sym, nullptr);
  if (UINT vk = vk_of(sym)) return vk;
  if (UINT vk = vk_of(XLookupKeysym(e, 0)); vk && !(vk >= 'A' && vk <= 'Z') && !(vk >= '0' && vk <= '9') &&
                                             !(vk >= VK_OEM_1 && vk <= VK_OEM_7))
    return vk;
  for (const place_vk& p : places)
    if (p.code == e->keycode) return p.vk;
  return 0;
}

std::u16string utf16_of_utf8(const char* s, int n) {
  std::u16string out;
  for (int i = 0; i < n;) {
    auto c = static_cast<unsigned char>(s[i]);
    int extra = c < 0x80 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
    if (extra < 0 || i + extra >= n + (extra ? 0 : 1)) break;
    char32_t cp = extra ? c & (0x3F >> extra) : c;
    for (int k = 1; k <= extra; k++) cp = cp << 6 | (static_cast<unsigned char>(s[i + k]) & 0x3F);
    i += extra + 1;
    if (cp >= 0x10000) out += char16_t(0xD800 + ((cp - 0x10000) >> 10)), out += char16_t(0xDC00 + (cp & 0x3FF));
    else out += char16_t(cp);
  }
  return out;
}

void key_event(XKeyEvent* e, bool down) {
  window* top = by_xid(e->window);
  xwin* x = top ? x_of(top) : nullptr;
  char text[256] = {};
  KeySym sym = 0;
  int n = 0;
  XIC ic = x ? x->inline_on && x->inline_ic ? x->inline_ic : x->ic : nullptr;
  if (down && ic) {
    Status status;
    n = Xutf8LookupString(ic, e, text, sizeof text - 1, &sym, &status);
    if (status != XLookupChars && status != XLookupBoth) n = 0;
  } else if (down) {
    n = XLookupString(e, text, sizeof text - 1, &sym, nullptr);
  }
  std::u16string typed = n > 0 ? utf16_of_utf8(text, n) : std::u16string();
  // Control characters come from the key itself, as the keyboard's own
  // translation gives them (Ctrl+letter, Enter, Backspace, Escape).
  if (!typed.empty() && (typed[0] < 0x20 || typed[0] == 0x7F)) typed.clear();
  // With Ctrl a key types its control character, whatever the layout's letter.
  if ((e->state & ControlMask) && !(e->state & Mod5Mask)) typed.clear();
  if (e->keycode == 0) {
    // Made by the input method (a dead key or compose sequence ended).
    if (!typed.empty()) x_key_input(VK_PROCESSKEY, true, typed), x_key_input(VK_PROCESSKEY, false, {});
    return;
  }
  UINT vk = key_vk(e);
  if (vk) x_key_input(vk, down, typed);
  else if (!typed.empty()) x_key_input(VK_PROCESSKEY, true, typed), x_key_input(VK_PROCESSKEY, false, {});
}

// ---- cursors ----

std::vector<std::pair<HCURSOR, ::Cursor>> x_cursors;  // made once per cursor handle

::Cursor x_cursor_of(HCURSOR h, const cursor* c) {
  for (auto& [k, x] : x_cursors)
    if (k == h) return x;
  ::Cursor x = None;
  if (c->system_id) {
    unsigned shape = c->system_id == IDC_IBEAM ? XC_xterm : c->system_id == IDC_WAIT ? XC_watch
                     : c->system_id == IDC_CROSS ? XC_crosshair : c->system_id == IDC_SIZEWE ? XC_sb_h_double_arrow
                     : c->system_id == IDC_SIZENS ? XC_sb_v_double_arrow : c->system_id == IDC_SIZEALL ? XC_fleur
                     : c->system_id == IDC_HAND ? XC_hand2 : XC_left_ptr;
    x = XCreateFontCursor(dpy, shape);
  } else if (c->image) {
    // An ARGB cursor through XRender: the premultiplied pixels go to a 32-bit pixmap.
    int w = cairo_image_surface_get_width(c->image), h2 = cairo_image_surface_get_height(c->image);
    XRenderPictFormat* fmt = XRenderFindStandardFormat(dpy, PictStandardARGB32);
    if (!fmt) return None;
    Pixmap pm = XCreatePixmap(dpy, root(), unsigned(w), unsigned(h2), 32);
    cairo_surface_t* target = cairo_xlib_surface_create_with_xrender_format(dpy, pm, DefaultScreenOfDisplay(dpy), fmt, w, h2);
    cairo_t* cr = cairo_create(target);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(cr, c->image, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_destroy(target);
    Picture pic = XRenderCreatePicture(dpy, pm, fmt, 0, nullptr);
    x = XRenderCreateCursor(dpy, pic, unsigned(c->hot.x), unsigned(c->hot.y));
    XRenderFreePicture(dpy, pic);
    XFreePixmap(dpy, pm);
  }
  x_cursors.emplace_back(h, x);
  return x;
}

// ---- what the manager reads ----

void set_title(window* w, ::Window xid) {
  std::string utf8 = gfx::utf8_of(w->text);
  XChangeProperty(dpy, xid, a.net_name, a.utf8, 8, PropModeReplace,
                  reinterpret_cast<const unsigned char*>(utf8.data()), int(utf8.size()));
  // The old property, for managers and tools that read only it: Latin-1 or compound text.
  char* list[] = {utf8.data()};
  XTextProperty tp{};
  if (Xutf8TextListToTextProperty(dpy, list, 1, XStdICCTextStyle, &tp) >= Success) {
    XSetWMName(dpy, xid, &tp);
    XSetWMIconName(dpy, xid, &tp);
    XFree(tp.value);
  }
}

// The Kez logo, drawn: a rounded blue square with a white K.
std::vector<long> logo_icon() {
  const int size = 32;
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
  cairo_t* cr = cairo_create(s);
  double r = 6;
  cairo_new_sub_path(cr);
  cairo_arc(cr, size - r, r, r, -M_PI / 2, 0);
  cairo_arc(cr, size - r, size - r, r, 0, M_PI / 2);
  cairo_arc(cr, r, size - r, r, M_PI / 2, M_PI);
  cairo_arc(cr, r, r, r, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
  cairo_set_source_rgb(cr, 0.13, 0.37, 0.75);
  cairo_fill(cr);
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_set_line_width(cr, 4);
  cairo_move_to(cr, 10, 6);
  cairo_line_to(cr, 10, 26);
  cairo_move_to(cr, 23, 6);
  cairo_line_to(cr, 12, 16);
  cairo_line_to(cr, 23, 26);
  cairo_stroke(cr);
  cairo_destroy(cr);
  cairo_surface_flush(s);
  std::vector<long> out{size, size};
  const unsigned char* data = cairo_image_surface_get_data(s);
  int stride = cairo_image_surface_get_stride(s);
  for (int y = 0; y < size; y++)
    for (int x = 0; x < size; x++) {
      uint32_t p = reinterpret_cast<const uint32_t*>(data + y * stride)[x], al = p >> 24;
      auto un = [al](uint32_t c) { return al ? (c * 255 + al / 2) / al : 0; };  // not premultiplied
      out.push_back(long(al << 24 | un(p >> 16 & 0xFF) << 16 | un(p >> 8 & 0xFF) << 8 | un(p & 0xFF)));
    }
  cairo_surface_destroy(s);
  return out;
}

std::vector<long> icon_of(const window* w) {
  auto* c = static_cast<cursor*>(find(w->cls ? w->cls->info.hIcon : 0, kind::cursor));
  if (!c || !c->image) return logo_icon();
  int width = cairo_image_surface_get_width(c->image), height = cairo_image_surface_get_height(c->image);
  std::vector<long> out{width, height};
  cairo_surface_flush(c->image);
  const unsigned char* data = cairo_image_surface_get_data(c->image);
  int stride = cairo_image_surface_get_stride(c->image);
  for (int y = 0; y < height; y++)
    for (int x = 0; x < width; x++) {
      uint32_t p = reinterpret_cast<const uint32_t*>(data + y * stride)[x], al = p >> 24;
      auto un = [al](uint32_t c2) { return al ? (c2 * 255 + al / 2) / al : 0; };
      out.push_back(long(al << 24 | un(p >> 16 & 0xFF) << 16 | un(p >> 8 & 0xFF) << 8 | un(p & 0xFF)));
    }
  return out;
}

// Size limits from WM_GETMINMAXINFO, for the X window; a window that cannot
// be resized has its own size as both.
void set_size_hints(window* w, xwin* x) {
  XSizeHints hints{};
  hints.flags = USPosition | PPosition | PWinGravity | PMinSize | PMaxSize;
  hints.x = x->asked.left, hints.y = x->asked.top;
  hints.win_gravity = StaticGravity;  // the position named is the X window's own
  MINMAXINFO mm{};
  min_max_info(w->self, &mm);
  int fw = w->ext.left + w->ext.right, fh = w->ext.top + w->ext.bottom;
  if (!(w->style & WS_THICKFRAME)) {
    hints.min_width = hints.max_width = x->asked.right - x->asked.left;
    hints.min_height = hints.max_height = x->asked.bottom - x->asked.top;
  } else {
    hints.min_width = std::max(1, int(mm.ptMinTrackSize.x) - fw);
    hints.min_height = std::max(1, int(mm.ptMinTrackSize.y) - fh);
    hints.max_width = std::max(hints.min_width, int(mm.ptMaxTrackSize.x) - fw);
    hints.max_height = std::max(hints.min_height, int(mm.ptMaxTrackSize.y) - fh);
  }
  XSetWMNormalHints(dpy, x->xid, &hints);
}

void describe(window* w, xwin* x) {
  set_title(w, x->xid);
  XClassHint cls{const_cast<char*>("kez"), const_cast<char*>("Kez")};
  XSetClassHint(dpy, x->xid, &cls);
  long pid = getpid();
  XChangeProperty(dpy, x->xid, a.pid, XA_CARDINAL, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&pid), 1);
  char host[256] = {};
  gethostname(host, sizeof host - 1);
  char* hosts[] = {host};
  XTextProperty tp{};
  if (XStringListToTextProperty(hosts, 1, &tp)) {
    XSetWMClientMachine(dpy, x->xid, &tp);
    XFree(tp.value);
  }
  std::vector<long> icon = icon_of(w);
  XChangeProperty(dpy, x->xid, a.icon, XA_CARDINAL, 32, PropModeReplace, reinterpret_cast<unsigned char*>(icon.data()),
                  int(icon.size()));
  XWMHints wm{};
  wm.flags = InputHint | StateHint;
  wm.input = True;
  wm.initial_state = NormalState;
  XSetWMHints(dpy, x->xid, &wm);
  Atom protocols[] = {a.delete_window};
  XSetWMProtocols(dpy, x->xid, protocols, 1);
  if (window* o = w->owner ? detail::win(GetAncestor(w->owner, GA_ROOT)) : nullptr)
    if (xwin* ox = x_of(o)) XSetTransientForHint(dpy, x->xid, ox->xid);
  Atom type = w->owner ? a.type_dialog : a.type_normal;
  XChangeProperty(dpy, x->xid, a.type, XA_ATOM, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&type), 1);
  if (!decorated_style(w->style)) {
    // No caption: the manager adds no frame either (flags: decorations; none).
    long motif[5] = {2, 0, 0, 0, 0};
    XChangeProperty(dpy, x->xid, a.motif, a.motif, 32, PropModeReplace, reinterpret_cast<unsigned char*>(motif), 5);
  }
  set_size_hints(w, x);
}

// ---- pictures and presents ----

void drop_picture(xwin* x) {
  // A converted image's pixels are its own, freed with it.
  if (x->image && !x->converted) x->image->data = nullptr;
  if (x->image) XDestroyImage(x->image), x->image = nullptr;
  if (x->picture) cairo_surface_destroy(x->picture), x->picture = nullptr;
}

// The kept picture, made again only when the X window's size changed.
void ensure_picture(window* w, xwin* x) {
  int width = std::max(1, int(x->asked.right - x->asked.left)), height = std::max(1, int(x->asked.bottom - x->asked.top));
  if (x->picture && cairo_image_surface_get_width(x->picture) == width &&
      cairo_image_surface_get_height(x->picture) == height)
    return;
  drop_picture(x);
  x->picture = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
  Visual* visual = DefaultVisual(dpy, DefaultScreen(dpy));
  unsigned depth = unsigned(DefaultDepth(dpy, DefaultScreen(dpy)));
  // At depth 24 or 32 the server takes the picture's own 32-bit pixels;
  // any other depth (16 under many remote desktops) has pixels of its own
  // size and layout, converted from the picture's.
  x->converted = depth != 24 && depth != 32;
  if (x->converted) {
    x->image = XCreateImage(dpy, visual, depth, ZPixmap, 0, nullptr, unsigned(width), unsigned(height), 32, 0);
    x->image->data = static_cast<char*>(std::malloc(size_t(x->image->bytes_per_line) * size_t(height)));
  } else {
    x->image = XCreateImage(dpy, visual, depth, ZPixmap, 0,
                            reinterpret_cast<char*>(cairo_image_surface_get_data(x->picture)), unsigned(width),
                            unsigned(height), 32, cairo_image_surface_get_stride(x->picture));
  }
  x->counts.pictures++;
  x->fresh = true;
  cairo_rectangle_int_t all{0, 0, width, height};
  if (!x->damage) x->damage = cairo_region_create();
  cairo_region_union_rectangle(x->damage, &all);
  (void)w;
}

// One channel of a 0x00RRGGBB pixel (at bit `from`) scaled into a visual's mask.
unsigned long channel(uint32_t pixel, int from, unsigned long mask) {
  if (!mask) return 0;
  int shift = __builtin_ctzl(mask), bits = __builtin_popcountl(mask);
  unsigned long v = (pixel >> from) & 0xFF;
  return (bits >= 8 ? v << (bits - 8) : v >> (8 - bits)) << shift;
}

// The picture's pixels of r, in the server's format, into the image.
void convert_rect(xwin* x, const cairo_rectangle_int_t& r) {
  const auto* data = cairo_image_surface_get_data(x->picture);
  int stride = cairo_image_surface_get_stride(x->picture);
  XImage* im = x->image;
  for (int y = r.y; y < r.y + r.height; y++) {
    auto* row = reinterpret_cast<const uint32_t*>(data + size_t(y) * size_t(stride));
    for (int px = r.x; px < r.x + r.width; px++) {
      uint32_t p = row[px];
      XPutPixel(im, px, y, channel(p, 16, im->red_mask) | channel(p, 8, im->green_mask) | channel(p, 0, im->blue_mask));
    }
  }
}

void upload(xwin* x, const cairo_region_t* area) {
  cairo_surface_flush(x->picture);
  int n = cairo_region_num_rectangles(area);
  for (int i = 0; i < n; i++) {
    cairo_rectangle_int_t r;
    cairo_region_get_rectangle(area, i, &r);
    if (x->converted) convert_rect(x, r);
    XPutImage(dpy, x->xid, x->gc, x->image, r.x, r.y, r.x, r.y, unsigned(r.width), unsigned(r.height));
    x->counts.uploads++;
    x->counts.sent += uint64_t(r.width) * uint64_t(r.height);
  }
}

// The pixels of a region of the picture, row by row, to compare with after
// composing it again (into a buffer kept from present to present).
void pixels_of(xwin* x, const cairo_region_t* area, std::vector<uint32_t>& out) {
  size_t total = 0;
  for (int i = 0, n = cairo_region_num_rectangles(area); i < n; i++) {
    cairo_rectangle_int_t r;
    cairo_region_get_rectangle(area, i, &r);
    total += size_t(r.width) * size_t(r.height);
  }
  out.resize(total);
  uint32_t* to = out.data();
  cairo_surface_flush(x->picture);
  auto* data = cairo_image_surface_get_data(x->picture);
  int stride = cairo_image_surface_get_stride(x->picture);
  for (int i = 0, n = cairo_region_num_rectangles(area); i < n; i++) {
    cairo_rectangle_int_t r;
    cairo_region_get_rectangle(area, i, &r);
    for (int y = r.y; y < r.y + r.height; y++) {
      auto* row = reinterpret_cast<const uint32_t*>(data + size_t(y) * size_t(stride)) + r.x;
      to = std::copy(row, row + r.width, to);
    }
  }
}

// What of a region composed again differs from `before` (pixels_of it): per
// rectangle of the region, the box around its changed pixels. A face drawing
// all of itself for a typed character thus sends the character's cell.
cairo_region_t* changed_in(xwin* x, const cairo_region_t* area, const std::vector<uint32_t>& before) {
  cairo_region_t* out = cairo_region_create();
  cairo_surface_flush(x->picture);
  auto* data = cairo_image_surface_get_data(x->picture);
  int stride = cairo_image_surface_get_stride(x->picture);
  size_t at = 0;
  for (int i = 0, n = cairo_region_num_rectangles(area); i < n; i++) {
    cairo_rectangle_int_t r;
    cairo_region_get_rectangle(area, i, &r);
    int left = r.width, right = -1, top = -1, bottom = -1;
    for (int y = 0; y < r.height; y++, at += size_t(r.width)) {
      auto* row = reinterpret_cast<const uint32_t*>(data + size_t(r.y + y) * size_t(stride)) + r.x;
      const uint32_t* old = before.data() + at;
      if (std::memcmp(row, old, size_t(r.width) * 4) == 0) continue;
      // Only what lies outside the box found so far needs looking at.
      int l = 0, e = r.width - 1;
      while (l < left && row[l] == old[l]) l++;
      while (e > right && row[e] == old[e]) e--;
      left = std::min(left, l), right = std::max(right, e);
      if (top < 0) top = y;
      bottom = y;
    }
    if (top < 0) continue;
    cairo_rectangle_int_t box{r.x + left, r.y + top, right - left + 1, bottom - top + 1};
    cairo_region_union_rectangle(out, &box);
  }
  return out;
}

bool top_has_invalid(window* w) {
  if (w->invalid && !cairo_region_is_empty(w->invalid) && (w->style & WS_VISIBLE)) return true;
  for (HWND c : w->children)
    if (window* cw = detail::win(c); cw && (cw->style & WS_VISIBLE) && top_has_invalid(cw)) return true;
  return false;
}

// The caret is drawn into the picture as it is composed: a change of its
// place or phase damages its old and new rectangles only.
void track_caret() {
  caret_seen now_seen;
  HWND h = caret_window();
  if (window* cw = h ? detail::win(h) : nullptr; cw && visible_on_screen(cw)) {
    RECT r;
    now_seen.hwnd = h;
    now_seen.on = caret_rect(cw, &r);
    if (now_seen.on) {
      POINT o = client_origin(cw);
      now_seen.rect = RECT{r.left + o.x, r.top + o.y, r.right + o.x, r.bottom + o.y};  // on the screen
    }
  }
  if (now_seen.hwnd == caret_shown.hwnd && now_seen.on == caret_shown.on && same(now_seen.rect, caret_shown.rect))
    return;
  for (const caret_seen* c : {&caret_shown, &now_seen}) {
    if (!c->on || !detail::win(c->hwnd)) continue;
    HWND top = GetAncestor(c->hwnd, GA_ROOT);
    if (window* tw = detail::win(top)) {
      RECT s = screen_rect(tw);
      cairo_rectangle_int_t r{c->rect.left - s.left, c->rect.top - s.top, c->rect.right - c->rect.left,
                              c->rect.bottom - c->rect.top};
      cairo_region_t* area = cairo_region_create_rectangle(&r);
      damage_window(tw, area);
      cairo_region_destroy(area);
    }
  }
  caret_shown = now_seen;
}

void present_now(window* w, xwin* x) {
  ensure_picture(w, x);
  cairo_rectangle_int_t all{0, 0, cairo_image_surface_get_width(x->picture), cairo_image_surface_get_height(x->picture)};
  cairo_region_intersect_rectangle(x->damage, &all);
  if (cairo_region_is_empty(x->damage)) return;
  static std::vector<uint32_t> before;
  if (!x->fresh) pixels_of(x, x->damage, before);
  compose_region(w, x->picture, x->damage, -w->ext.left, -w->ext.top);
  if (x->fresh) {
    upload(x, x->damage);
  } else {
    cairo_region_t* changed = changed_in(x, x->damage, before);
    upload(x, changed);
    cairo_region_destroy(changed);
  }
  x->fresh = false;
  for (int i = 0, n = cairo_region_num_rectangles(x->damage); i < n; i++) {
    cairo_rectangle_int_t r;
    cairo_region_get_rectangle(x->damage, i, &r);
    x->counts.pixels += uint64_t(r.width) * uint64_t(r.height);
  }
  cairo_region_get_extents(x->damage, &all);
  x->counts.presents++;
  x->counts.last = RECT{all.x, all.y, all.x + all.width, all.y + all.height};
  cairo_region_destroy(x->damage);
  x->damage = nullptr;
  x->last_present = clock_type::now();
  XFlush(dpy);
}

// ---- monitors and DPI ----

UINT read_dpi() {
  Atom type;
  int format;
  unsigned long n = 0, after;
  unsigned char* data = nullptr;
  UINT dpi = 96;
  if (XGetWindowProperty(dpy, root(), a.resources, 0, 1 << 20, False, XA_STRING, &type, &format, &n, &after, &data) ==
          Success && data) {
    std::string text(reinterpret_cast<char*>(data), n);
    for (size_t at = 0; at < text.size();) {
      size_t end = text.find('\n', at);
      if (end == std::string::npos) end = text.size();
      std::string line = text.substr(at, end - at);
      at = end + 1;
      if (line.rfind("Xft.dpi:", 0) != 0) continue;
      double v = atof(line.c_str() + 8);
      if (v >= 48 && v <= 960) dpi = UINT(std::lround(v));
    }
  }
  if (data) XFree(data);
  return dpi;
}

void monitors_now(std::vector<layer::screen>* out) {
  desktop_dpi = read_dpi();
  int n = 0;
  XRRMonitorInfo* info = XRRGetMonitors(dpy, root(), True, &n);
  // The primary monitor first: it is the one Windows names first.
  for (int pass = 0; pass < 2; pass++)
    for (int i = 0; i < n; i++)
      if (bool(info[i].primary) == (pass == 0))
        out->push_back(layer::screen{RECT{info[i].x, info[i].y, info[i].x + info[i].width, info[i].y + info[i].height},
                                     desktop_dpi});
  if (info) XRRFreeMonitors(info);
  if (out->empty()) {
    Screen* s = DefaultScreenOfDisplay(dpy);
    out->push_back(layer::screen{RECT{0, 0, WidthOfScreen(s), HeightOfScreen(s)}, desktop_dpi});
  }
}

bool same_screens(const std::vector<layer::screen>& list) {
  if (list.size() != st().monitors.size()) return false;
  for (size_t i = 0; i < list.size(); i++) {
    auto* m = static_cast<monitor*>(find(st().monitors[i], kind::monitor));
    if (!m || !same(m->rect, list[i].rect) || m->dpi != list[i].dpi) return false;
  }
  return true;
}

// The desktop's monitors or scale changed: read again, and tell the windows.
void displays_changed() {
  action_input([] {
    if (!dpy) return;
    std::vector<layer::screen> list;
    monitors_now(&list);
    if (same_screens(list)) return;
    set_monitors(list);
    const RECT& r = list.front().rect;
    for (HWND top : std::vector<HWND>(st().tops))
      if (detail::win(top)) post_input(top, WM_DISPLAYCHANGE, 32, MAKELPARAM(r.right - r.left, r.bottom - r.top));
    for (HWND top : std::vector<HWND>(st().tops))
      if (window* w = detail::win(top)) window_moved(w);
  });
}

// ---- changes made from outside ----

// The X window's place and size as the server has them now, and the
// manager's state: a change reaches the window as one made by code does.
void read_back(HWND hwnd) {
  window* w = detail::win(hwnd);
  xwin* x = w ? x_of(w) : nullptr;
  if (!x || !x->managed) return;
  XWindowAttributes at;
  if (!XGetWindowAttributes(dpy, x->xid, &at)) return;
  int rx = 0, ry = 0;
  ::Window child;
  if (!XTranslateCoordinates(dpy, x->xid, root(), 0, 0, &rx, &ry, &child)) return;
  RECT ext = w->ext;
  if (wm_running()) {
    ext = read_extents(x->xid);
    if (decorated_style(w->style) && (ext.left || ext.top || ext.right || ext.bottom)) frame_guess = ext;
  } else {
    ext = RECT{};
  }
  std::vector<long> states = long_property(x->xid, a.state, XA_ATOM, 32);
  bool max_v = false, max_h = false, hidden = false;
  for (long s : states) {
    if (Atom(s) == a.max_v) max_v = true;
    if (Atom(s) == a.max_h) max_h = true;
    if (Atom(s) == a.hidden) hidden = true;
  }
  bool maximised = max_v && max_h;
  RECT geometry{rx, ry, rx + at.width, ry + at.height};
  bool was_min = w->style & WS_MINIMIZE;
  if (hidden != was_min) {
    w->style = hidden ? w->style | WS_MINIMIZE : w->style & ~DWORD(WS_MINIMIZE);
    RECT c;
    GetClientRect(hwnd, &c);
    if (hidden) SendMessageW(hwnd, WM_SIZE, SIZE_MINIMIZED, MAKELPARAM(c.right, c.bottom));
  }
  if (hidden || !(w = detail::win(hwnd))) return;
  // Maximised or restored without a new size (the manager may set its state
  // before or after the size): only the coming back from a minimised state
  // is told, as the size is; a maximise thus gives one WM_SIZE, not two.
  bool state_changed = was_min;
  w->style = maximised ? w->style | WS_MAXIMIZE : w->style & ~DWORD(WS_MAXIMIZE);
  if (same(geometry, x->asked) && !same(ext, w->ext)) {
    // Only the manager's frame changed (it may drop its border for a
    // maximised window): the client area stays, the window rectangle follows.
    w->ext = ext;
    w->rect = RECT{geometry.left - ext.left, geometry.top - ext.top, geometry.right + ext.right,
                   geometry.bottom + ext.bottom};
    w->frame = window_frame(w);
    if (w->surface) ensure_surface(w), paint_frame(w);
    invalidate_client(w, nullptr, true, true);
    top_changed(w);
  }
  if (same(geometry, x->asked)) {
    if (state_changed) {
      RECT c;
      GetClientRect(hwnd, &c);
      SendMessageW(hwnd, WM_SIZE, maximised ? SIZE_MAXIMIZED : SIZE_RESTORED, MAKELPARAM(c.right, c.bottom));
    }
    return;
  }
  bool frame_changed = !same(ext, w->ext);
  x->asked = geometry;
  w->ext = ext;
  if (frame_changed) w->frame = window_frame(w);
  from_server = true;
  SetWindowPos(hwnd, 0, geometry.left - ext.left, geometry.top - ext.top,
               geometry.right - geometry.left + ext.left + ext.right,
               geometry.bottom - geometry.top + ext.top + ext.bottom,
               SWP_NOZORDER | SWP_NOACTIVATE | (frame_changed ? SWP_FRAMECHANGED : 0));
  from_server = false;
}

bool stale(unsigned long serial) { return long(serial - focus_serial) < 0; }

// ---- a maximise arriving in steps ----
// The manager maximises (or restores) in steps that may reach us apart: its
// state, the client's new size, its frame, and a synthetic ConfigureNotify
// giving where the client ends (sent before or after the client is resized).
// Read back between them, one maximise would be told as two sizes or more;
// so from the state change on, the geometry is held until the client has
// the size that synthetic event gives (or, should none come, a while), and
// then read once.
struct held_geometry {
  HWND hwnd;
  clock_type::time_point since;
  int width, height;        // the client's size in the last real ConfigureNotify
  int to_width, to_height;  // its size in the manager's synthetic one; -1 until then
};
std::vector<HWND> moved_tops;  // geometry to read back
std::vector<held_geometry> held;
constexpr auto hold_limit = std::chrono::milliseconds(1000);

bool maximised_state(const xwin* x) {
  bool v = false, h = false;
  for (long s : long_property(x->xid, a.state, XA_ATOM, 32)) {
    if (Atom(s) == a.max_v) v = true;
    if (Atom(s) == a.max_h) h = true;
  }
  return v && h;
}

void note_moved(window* w) {
  if (w && std::find(moved_tops.begin(), moved_tops.end(), w->self) == moved_tops.end()) moved_tops.push_back(w->self);
}

void hold_geometry(window* w) {
  for (held_geometry& e : held)
    if (e.hwnd == w->self) return;
  const RECT& r = x_of(w)->asked;
  held.push_back(held_geometry{w->self, clock_type::now(), int(r.right - r.left), int(r.bottom - r.top), -1, -1});
}

// A ConfigureNotify for a held window: released once the client has the
// size the manager announced.
void configured(window* w, const XConfigureEvent& c) {
  std::erase_if(held, [&](held_geometry& e) {
    if (e.hwnd != w->self) return false;
    if (c.send_event) e.to_width = c.width, e.to_height = c.height;
    else e.width = c.width, e.height = c.height;
    return e.to_width == e.width && e.to_height == e.height;
  });
}

// Reads back what moved, but what is held only when `all` or once held too long.
void read_back_moved(bool all) {
  auto t = clock_type::now();
  std::erase_if(held, [&](const held_geometry& e) { return all || !detail::win(e.hwnd) || t - e.since >= hold_limit; });
  std::vector<HWND> now;
  std::erase_if(moved_tops, [&](HWND h) {
    for (const held_geometry& e : held)
      if (e.hwnd == h) return false;
    now.push_back(h);
    return true;
  });
  for (HWND h : now) action_input([h] { if (dpy) read_back(h); });
}

void focus_changed(HWND hwnd, bool in) {
  window* w = detail::win(hwnd);
  if (!w) return;
  state& s = st();
  xwin* x = x_of(w);
  XIC ic = x ? x->inline_on && x->inline_ic ? x->inline_ic : x->ic : nullptr;
  if (in) {
    if (ic) XSetICFocus(ic);
    if (s.active == hwnd) return;
    if (w->style & WS_DISABLED) return;  // a modal window's owner: the modal one keeps it
    from_server = true;
    SetActiveWindow(hwnd);
    from_server = false;
  } else {
    if (ic) XUnsetICFocus(ic);
    if (s.active != hwnd) return;
    deactivate(hwnd);
  }
}

}  // namespace

// ---- entry points ----

void x11_cursor(HCURSOR h) {
  if (!dpy) return;
  auto* c = static_cast<cursor*>(find(h, kind::cursor));
  window* w = detail::win(GetAncestor(WindowFromPoint(st().mouse), GA_ROOT));
  xwin* x = w ? x_of(w) : nullptr;
  if (!x) return;
  if (c) XDefineCursor(dpy, x->xid, x_cursor_of(h, c));
  else XUndefineCursor(dpy, x->xid);
  XFlush(dpy);
}

void x11_forget_cursor(HCURSOR h) {
  for (auto it = x_cursors.begin(); it != x_cursors.end(); ++it)
    if (it->first == h) {
      if (dpy && it->second) XFreeCursor(dpy, it->second);
      x_cursors.erase(it);
      return;
    }
}

bool x11_open() {
  if (dpy) return true;
  // A busy server's socket can refuse a connection (EAGAIN); a later try gets through.
  for (int tries = 0; !dpy && tries < 5; tries++) dpy = XOpenDisplay(nullptr);
  if (!dpy) return false;
  XSetErrorHandler(ignore_errors);
  const char* names[] = {"WM_PROTOCOLS", "WM_DELETE_WINDOW", "_NET_WM_NAME", "UTF8_STRING", "_NET_WM_PID",
                         "_NET_WM_ICON", "_NET_FRAME_EXTENTS", "_NET_WM_STATE", "_NET_WM_STATE_MAXIMIZED_VERT",
                         "_NET_WM_STATE_MAXIMIZED_HORZ", "_NET_WM_STATE_HIDDEN", "WM_STATE", "_NET_ACTIVE_WINDOW",
                         "_NET_SUPPORTING_WM_CHECK", "_NET_REQUEST_FRAME_EXTENTS", "_MOTIF_WM_HINTS",
                         "_NET_WM_WINDOW_TYPE", "_NET_WM_WINDOW_TYPE_NORMAL", "_NET_WM_WINDOW_TYPE_DIALOG",
                         "_NET_WM_WINDOW_TYPE_POPUP_MENU", "_NET_WM_WINDOW_TYPE_DROPDOWN_MENU", "RESOURCE_MANAGER"};
  static_assert(sizeof names / sizeof names[0] == sizeof(atoms_t) / sizeof(Atom));
  XInternAtoms(dpy, const_cast<char**>(names), int(sizeof names / sizeof names[0]), False, reinterpret_cast<Atom*>(&a));
  // The input method works in a UTF-8 locale; the program's own locale is left as it was.
  std::string saved = setlocale(LC_CTYPE, nullptr);
  const char* got = setlocale(LC_CTYPE, "");
  if (!got || (!strstr(got, "UTF-8") && !strstr(got, "utf8"))) setlocale(LC_CTYPE, "C.UTF-8");
  if (XSupportsLocale()) {
    XSetLocaleModifiers("");
    xim = XOpenIM(dpy, nullptr, nullptr, nullptr);
    if (!xim) {
      XSetLocaleModifiers("@im=none");
      xim = XOpenIM(dpy, nullptr, nullptr, nullptr);
    }
  }
  if (xim) {
    XIMStyles* styles = nullptr;
    if (!XGetIMValues(xim, XNQueryInputStyle, &styles, nullptr) && styles) {
      for (int i = 0; i < styles->count_styles; i++) {
        XIMStyle s = styles->supported_styles[i];
        if (s == (XIMPreeditPosition | XIMStatusNothing)) im_style = s;
        if (s == (XIMPreeditNothing | XIMStatusNothing) && !im_style) im_style = s;
      }
      XFree(styles);
    }
    if (!im_style) im_style = XIMPreeditNothing | XIMStatusNothing;
    im_inline = x11_ime_offers_inline(xim);
  }
  setlocale(LC_CTYPE, saved.c_str());
  int rr_error;
  if (XRRQueryExtension(dpy, &rr_event, &rr_error))
    XRRSelectInput(dpy, root(), RRScreenChangeNotifyMask | RRCrtcChangeNotifyMask | RROutputChangeNotifyMask |
                                 RRResourceChangeNotifyMask);
  else rr_event = -1;
  // Structure: a new settings manager announces itself to the root window.
  XSelectInput(dpy, root(), PropertyChangeMask | StructureNotifyMask);
  xsettings_open(dpy);
  guess_known = false;
  frame_guess = RECT{};
  caret_shown = caret_seen{};
  return true;
}

void x11_close() {
  if (!dpy) return;
  for (auto& [h, x] : xwins) {
    if (x.ic) XDestroyIC(x.ic);
    if (x.inline_ic) XDestroyIC(x.inline_ic);
    drop_picture(&x);
    if (x.damage) cairo_region_destroy(x.damage);
    if (x.gc) XFreeGC(dpy, x.gc);
  }
  xwins.clear();
  if (xim) XCloseIM(xim), xim = nullptr;
  im_inline = false;
  x11_ime_forget();
  xsettings_close();
  for (auto& [h, x] : x_cursors)
    if (x) XFreeCursor(dpy, x);
  x_cursors.clear();
  XCloseDisplay(dpy);
  dpy = nullptr;
}

int x11_fd() { return dpy ? ConnectionNumber(dpy) : -1; }

void x11_monitors(std::vector<layer::screen>* out) { monitors_now(out); }

RECT x11_frame_for(DWORD style) {
  if (!dpy || !decorated_style(style)) return RECT{};
  learn_frame();
  return frame_guess;
}

bool x11_managed_frame(const window* w) { return dpy && !w->parent && decorated_style(w->style) && !popup_style(w); }

void x11_show(window* w, bool show) {
  if (!dpy) return;
  xwin* x = x_of(w);
  if (!x) {
    if (!show) return;
    x = &xwins[w->self];
    bool popup = popup_style(w);
    x->managed = !popup;
    XSetWindowAttributes sa{};
    sa.event_mask = ExposureMask | KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                    PointerMotionMask | LeaveWindowMask | FocusChangeMask | StructureNotifyMask | PropertyChangeMask;
    sa.background_pixmap = None;
    sa.override_redirect = popup;
    sa.save_under = popup;
    sa.bit_gravity = NorthWestGravity;
    x->asked = x_geometry(w);
    RECT r = x->asked;
    x->xid = XCreateWindow(dpy, root(), r.left, r.top, unsigned(std::max(1, int(r.right - r.left))),
                           unsigned(std::max(1, int(r.bottom - r.top))), 0, CopyFromParent, InputOutput,
                           CopyFromParent, CWEventMask | CWBackPixmap | CWOverrideRedirect | CWSaveUnder | CWBitGravity,
                           &sa);
    w->xid = x->xid;
    x->gc = XCreateGC(dpy, x->xid, 0, nullptr);
    if (popup) {
      Atom type = (w->ex_style & WS_EX_TOPMOST) ? a.type_menu : a.type_dropdown;
      XChangeProperty(dpy, x->xid, a.type, XA_ATOM, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&type), 1);
      set_title(w, x->xid);
    } else {
      describe(w, x);
      x11_dark_variant(w);
    }
    if (xim && !popup) {
      XPoint spot{0, 0};
      XVaNestedList pre = XVaCreateNestedList(0, XNSpotLocation, &spot, nullptr);
      if (im_style & XIMPreeditPosition)
        x->ic = XCreateIC(xim, XNInputStyle, im_style, XNClientWindow, x->xid, XNFocusWindow, x->xid,
                          XNPreeditAttributes, pre, nullptr);
      if (!x->ic)
        x->ic = XCreateIC(xim, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow, x->xid,
                          XNFocusWindow, x->xid, nullptr);
      XFree(pre);
      // The context for windows that compose themselves takes no keys
      // (a context made with a focus window filters them at once) until
      // such a window has the focus.
      if (im_inline) x->inline_ic = x11_ime_inline_context(xim, x->xid);
      if (x->inline_ic) XUnsetICFocus(x->inline_ic);
      long filters = 0;
      for (XIC ic : {x->ic, x->inline_ic})
        if (ic) {
          long filter = 0;
          XGetICValues(ic, XNFilterEvents, &filter, nullptr);
          filters |= filter;
        }
      if (filters) XSelectInput(dpy, x->xid, sa.event_mask | filters);
      x11_ime_focus(GetFocus());
      // A caret made before the X window was: its place is given now.
      ime_spot_again();
    }
  }
  if (show) {
    XMapRaised(dpy, x->xid);
    // Without a manager in between the window is on the screen once the
    // server has the request, and can take the focus at once.
    if (!x->managed || !wm_running()) XSync(dpy, False), x->mapped = true;
    XFlush(dpy);
    damage_window(w, nullptr);
  } else {
    XUnmapWindow(dpy, x->xid);
    x->mapped = false;
    XFlush(dpy);
  }
}

void x11_title(window* w) {
  if (xwin* x = dpy ? x_of(w) : nullptr) {
    set_title(w, x->xid);
    XFlush(dpy);
  }
}

void x11_place(window* w) {
  xwin* x = dpy ? x_of(w) : nullptr;
  if (!x) return;
  RECT g = x_geometry(w);
  if (same(g, x->asked)) return;  // where the server has it already
  x->asked = g;
  if (x->managed) set_size_hints(w, x);
  XMoveResizeWindow(dpy, x->xid, g.left, g.top, unsigned(std::max(1, int(g.right - g.left))),
                    unsigned(std::max(1, int(g.bottom - g.top))));
  XFlush(dpy);
}

namespace {

// What we keep for w's X window, dropped; the window itself too unless
// another client destroyed it already.
void forget_xwin(window* w, bool destroy) {
  auto it = dpy ? xwins.find(w->self) : xwins.end();
  if (it == xwins.end()) return;
  xwin& x = it->second;
  if (x.ic) XDestroyIC(x.ic);
  if (x.inline_ic) XDestroyIC(x.inline_ic);
  drop_picture(&x);
  if (x.damage) cairo_region_destroy(x.damage);
  if (x.gc) XFreeGC(dpy, x.gc);
  if (destroy) XDestroyWindow(dpy, x.xid);
  XFlush(dpy);
  xwins.erase(it);
  w->xid = 0;
}

}  // namespace

void x11_destroy(window* w) { forget_xwin(w, true); }

void x11_window_gone(window* w) {
  if (dpy && !w->xid && (w->style & WS_VISIBLE)) x11_show(w, true);
}

void x11_focus(window* w) {
  xwin* x = dpy ? x_of(w) : nullptr;
  if (!x || from_server || !(w->style & WS_VISIBLE) || !x->managed) return;
  if (wm_running()) {
    // Asked of the manager, which may also raise the window; 2: a pager or
    // the program itself acting for the user.
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = x->xid;
    e.xclient.message_type = a.active;
    e.xclient.format = 32;
    e.xclient.data.l[0] = 2;
    e.xclient.data.l[1] = CurrentTime;
    XSendEvent(dpy, root(), False, SubstructureRedirectMask | SubstructureNotifyMask, &e);
  }
  if (x->mapped) {
    focus_serial = NextRequest(dpy);
    XSetInputFocus(dpy, x->xid, RevertToParent, CurrentTime);
  }
  XFlush(dpy);
}

// A window that draws the composition itself gets it handed over; others
// (the layer's own controls among them) have the method draw it over the
// spot. The context that stops taking the keys loses the method's focus.
void x11_ime_focus(HWND focus) {
  window* top = dpy && focus ? detail::win(GetAncestor(focus, GA_ROOT)) : nullptr;
  xwin* x = top ? x_of(top) : nullptr;
  if (!x || !x->inline_ic) return;
  bool on = ime_composes_itself(focus);
  if (on == x->inline_on) return;
  XIC before = on ? x->ic : x->inline_ic, after = on ? x->inline_ic : x->ic;
  if (before) XUnsetICFocus(before);
  x->inline_on = on;
  if (after) XSetICFocus(after);
  XFlush(dpy);
}

// The spot is kept for the top-level window (X window coordinates) and
// given to its input context when the input method edits over the spot.
void x11_ime_spot(HWND hwnd, POINT client) {
  window* top = dpy ? detail::win(GetAncestor(hwnd, GA_ROOT)) : nullptr;
  xwin* x = top ? x_of(top) : nullptr;
  window* w = detail::win(hwnd);
  if (!x || !w) return;
  POINT o = client_origin(w);
  XPoint spot{short(client.x + o.x - x->asked.left), short(client.y + o.y - x->asked.top)};
  x->counts.spot = POINT{spot.x, spot.y};
  if (!x->ic || !(im_style & XIMPreeditPosition)) return;
  XVaNestedList pre = XVaCreateNestedList(0, XNSpotLocation, &spot, nullptr);
  XSetICValues(x->ic, XNPreeditAttributes, pre, nullptr);
  XFree(pre);
}

void damage_window(window* w, const cairo_region_t* area) {
  if (!dpy || !w) return;
  HWND top_h = GetAncestor(w->self, GA_ROOT);
  window* top = detail::win(top_h);
  xwin* x = top ? x_of(top) : nullptr;
  if (!x) return;
  if (!x->damage) x->damage = cairo_region_create();
  RECT s = screen_rect(w), t = screen_rect(top);
  int dx = s.left - t.left - top->ext.left, dy = s.top - t.top - top->ext.top;
  if (area) {
    cairo_region_t* r = cairo_region_copy(area);
    cairo_region_translate(r, dx, dy);
    cairo_region_union(x->damage, r);
    cairo_region_destroy(r);
  } else {
    cairo_rectangle_int_t r{dx, dy, int(s.right - s.left), int(s.bottom - s.top)};
    cairo_region_union_rectangle(x->damage, &r);
  }
}

int x11_watch_displays() {
  // Monitors set by hand (xrandr --setmonitor) change without an event from
  // the server: they are looked at again every few seconds too.
  static clock_type::time_point last = clock_type::now();
  constexpr auto every = std::chrono::seconds(2);
  if (!dpy) return -1;
  auto t = clock_type::now();
  if (t - last >= every) {
    last = t;
    displays_changed();
  }
  return int(std::chrono::duration_cast<std::chrono::milliseconds>(every - (t - last)).count()) + 1;
}

int x11_present_due() {
  if (!dpy) return -1;
  track_caret();
  int wait = -1;
  auto t = clock_type::now();
  for (auto& [h, x] : xwins) {
    window* w = detail::win(h);
    if (!w || !x.damage || cairo_region_is_empty(x.damage) || !(w->style & WS_VISIBLE)) continue;
    if (top_has_invalid(w)) continue;  // its paint comes first, then one present
    auto since = t - x.last_present;
    if (since >= frame_time) {
      present_now(w, &x);
    } else {
      int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(frame_time - since).count()) + 1;
      wait = wait < 0 ? left : std::min(wait, left);
    }
  }
  return wait;
}

void x11_pump() {
  if (!dpy) return;
  // Geometry is read back once per run of configure events, but before a
  // key that followed them: a key typed after a resize sees the new size.
  // (Pointer events carry screen positions and need no such order; reading
  // back between a click and the manager's next step would split one
  // maximise into two sizes.)
  while (XPending(dpy)) {
    XEvent e;
    XNextEvent(dpy, &e);
    if (e.type == KeyPress || e.type == KeyRelease) read_back_moved(true);
    if (XFilterEvent(&e, None)) continue;
    if (xsettings_event(e)) continue;
    if (rr_event >= 0 && (e.type == rr_event + RRScreenChangeNotify || e.type == rr_event + RRNotify)) {
      XRRUpdateConfiguration(&e);
      displays_changed();
      continue;
    }
    switch (e.type) {
    case Expose:
      if (window* w = by_xid(e.xexpose.window)) {
        // From the kept picture when it is current, else composed afresh.
        xwin* x = x_of(w);
        cairo_rectangle_int_t r{e.xexpose.x, e.xexpose.y, e.xexpose.width, e.xexpose.height};
        cairo_region_t* area = cairo_region_create_rectangle(&r);
        bool current = x->picture && cairo_image_surface_get_width(x->picture) == x->asked.right - x->asked.left &&
                       cairo_image_surface_get_height(x->picture) == x->asked.bottom - x->asked.top &&
                       x->counts.presents > 0;
        if (current) {
          upload(x, area);
          XFlush(dpy);
        } else {
          if (!x->damage) x->damage = cairo_region_create();
          cairo_region_union(x->damage, area);
        }
        cairo_region_destroy(area);
      }
      break;
    case MapNotify:
      if (window* w = by_xid(e.xmap.window)) {
        xwin* x = x_of(w);
        x->mapped = true;
        if (st().active == w->self && x->managed) {
          focus_serial = NextRequest(dpy);
          XSetInputFocus(dpy, x->xid, RevertToParent, CurrentTime);
        }
      }
      break;
    case ConfigureNotify:
      if (window* w = by_xid(e.xconfigure.window)) {
        note_moved(w);
        configured(w, e.xconfigure);
      }
      break;
    case ReparentNotify:
      if (window* w = by_xid(e.xreparent.window)) note_moved(w);
      break;
    case PropertyNotify:
      if (e.xproperty.window == root()) {
        if (e.xproperty.atom == a.resources && read_dpi() != desktop_dpi) displays_changed();
      } else if (e.xproperty.atom == a.extents || e.xproperty.atom == a.state) {
        window* w = by_xid(e.xproperty.window);
        note_moved(w);
        if (w && e.xproperty.atom == a.state && x_of(w)->managed && wm_running() &&
            maximised_state(x_of(w)) != bool(w->style & WS_MAXIMIZE))
          hold_geometry(w);
      }
      break;
    case FocusIn:
    case FocusOut:
      if (e.xfocus.mode == NotifyGrab || e.xfocus.mode == NotifyUngrab || e.xfocus.detail == NotifyInferior ||
          e.xfocus.detail == NotifyPointer || e.xfocus.detail == NotifyPointerRoot || e.xfocus.detail == NotifyDetailNone)
        break;
      if (window* w = by_xid(e.xfocus.window); w && !stale(e.xfocus.serial)) {
        HWND h = w->self;
        bool in = e.type == FocusIn;
        action_input([h, in] { focus_changed(h, in); });
      }
      break;
    case MotionNotify:
      layer::inject_mouse_move(e.xmotion.x_root, e.xmotion.y_root);
      break;
    case ButtonPress:
    case ButtonRelease: {
      bool down = e.type == ButtonPress;
      layer::inject_mouse_move(e.xbutton.x_root, e.xbutton.y_root);
      unsigned b = e.xbutton.button;
      if (b == 4 || b == 5) {
        if (down) layer::inject_wheel(b == 4 ? 120 : -120);
      } else if (b <= 3) {
        layer::inject_button(b == 1 ? VK_LBUTTON : b == 2 ? VK_MBUTTON : VK_RBUTTON, down);
      }
      break;
    }
    case KeyPress:
    case KeyRelease:
      key_event(&e.xkey, e.type == KeyPress);
      break;
    case MappingNotify:
      // A new layout, or a key given a symbol for a moment (as xdotool types).
      XRefreshKeyboardMapping(&e.xmapping);
      break;
    case DestroyNotify:
      // Another client destroyed our window: it is closed as the manager's
      // close button would close it, and comes back with a new X window
      // should its on-close keep it.
      if (window* w = by_xid(e.xdestroywindow.window); w && !w->parent) {
        forget_xwin(w, false);
        PostMessageW(w->self, WM_CLOSE, 0, 0);
        PostMessageW(w->self, WM_X11_GONE, 0, 0);
      }
      break;
    case ClientMessage:
      if (e.xclient.message_type == a.protocols && Atom(e.xclient.data.l[0]) == a.delete_window)
        if (window* w = by_xid(e.xclient.window)) PostMessageW(w->self, WM_CLOSE, 0, 0);
      break;
    }
  }
  read_back_moved(false);
}

int x11_geometry_due() {
  if (held.empty()) return -1;
  auto t = clock_type::now();
  auto first = held.front().since;
  for (const held_geometry& e : held) first = std::min(first, e.since);
  return std::max(0, int(std::chrono::duration_cast<std::chrono::milliseconds>(first + hold_limit - t).count()) + 1);
}

cairo_surface_t* x11_screen_image(RECT area) {
  int width = area.right - area.left, height = area.bottom - area.top;
  if (!dpy || width <= 0 || height <= 0) return nullptr;
  // Our own windows as they are now, not as the last frame left them.
  for (auto& [h, x] : xwins)
    if (window* w = detail::win(h); w && x.damage && (w->style & WS_VISIBLE)) present_now(w, &x);
  XSync(dpy, False);
  cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  // Outside the root window there is nothing to read: it stays black.
  RECT in{std::max(area.left, LONG(0)), std::max(area.top, LONG(0)),
          std::min(area.right, LONG(DisplayWidth(dpy, DefaultScreen(dpy)))),
          std::min(area.bottom, LONG(DisplayHeight(dpy, DefaultScreen(dpy))))};
  if (in.left >= in.right || in.top >= in.bottom) return out;
  XImage* img = XGetImage(dpy, root(), in.left, in.top, unsigned(in.right - in.left), unsigned(in.bottom - in.top),
                          AllPlanes, ZPixmap);
  if (!img) return out;
  cairo_surface_flush(out);
  uint8_t* data = cairo_image_surface_get_data(out);
  int stride = cairo_image_surface_get_stride(out);
  // Any true-colour layout: each channel by its mask, widened to 8 bits.
  auto channel = [](unsigned long p, unsigned long mask) {
    if (!mask) return 0u;
    int shift = __builtin_ctzl(mask), bits = __builtin_popcountl(mask);
    unsigned v = unsigned((p & mask) >> shift);
    return bits >= 8 ? v >> (bits - 8) : v * 255 / ((1u << bits) - 1);
  };
  for (int y = 0; y < img->height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + size_t(y + in.top - area.top) * size_t(stride)) + (in.left - area.left);
    for (int x = 0; x < img->width; ++x) {
      unsigned long p = XGetPixel(img, x, y);
      row[x] = 0xFF000000u | channel(p, img->red_mask) << 16 | channel(p, img->green_mask) << 8 |
               channel(p, img->blue_mask);
    }
  }
  XDestroyImage(img);
  cairo_surface_mark_dirty(out);
  return out;
}

}  // namespace kez::win::detail

namespace kez::win::layer {

x11_counts x11_counts_of(HWND hwnd) {
  auto it = detail::xwins.find(hwnd);
  return it == detail::xwins.end() ? x11_counts{} : it->second.counts;
}

}  // namespace kez::win::layer
