// The X11 side: top-level windows become X windows that show their
// composited picture, and X input becomes the layer's input (XIM for text).
// Monitors come from XRandR. No window manager is assumed: the layer places
// its windows and gives them the input focus itself.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/cursorfont.h>
#include <X11/extensions/Xrandr.h>
#include <X11/extensions/Xrender.h>
#include <X11/keysym.h>
#include <cairo-xlib-xrender.h>
#include <cairo-xlib.h>

#include <clocale>
#include <cstring>

#include "platform/gfx/text.h"
#include "platform/win/internal.h"

namespace kez::win::detail {

namespace {

Display* dpy = nullptr;
XIM xim = nullptr;
XIC xic = nullptr;
Atom wm_delete = 0;

int ignore_errors(Display*, XErrorEvent*) { return 0; }

window* by_xid(::Window xid) {
  for (HWND h : st().tops)
    if (window* w = detail::win(h); w && w->xid == xid) return w;
  return nullptr;
}

struct keysym_vk {
  KeySym sym;
  UINT vk;
};
constexpr keysym_vk keysyms[] = {
    {XK_BackSpace, VK_BACK}, {XK_Tab, VK_TAB}, {XK_Return, VK_RETURN}, {XK_Escape, VK_ESCAPE},
    {XK_space, VK_SPACE}, {XK_Prior, VK_PRIOR}, {XK_Next, VK_NEXT}, {XK_End, VK_END}, {XK_Home, VK_HOME},
    {XK_Left, VK_LEFT}, {XK_Up, VK_UP}, {XK_Right, VK_RIGHT}, {XK_Down, VK_DOWN}, {XK_Insert, VK_INSERT},
    {XK_Delete, VK_DELETE}, {XK_Shift_L, VK_LSHIFT}, {XK_Shift_R, VK_RSHIFT}, {XK_Control_L, VK_LCONTROL},
    {XK_Control_R, VK_RCONTROL}, {XK_Alt_L, VK_LMENU}, {XK_Alt_R, VK_RMENU}, {XK_Caps_Lock, VK_CAPITAL},
    {XK_semicolon, VK_OEM_1}, {XK_equal, VK_OEM_PLUS}, {XK_comma, VK_OEM_COMMA}, {XK_minus, VK_OEM_MINUS},
    {XK_period, VK_OEM_PERIOD}, {XK_slash, VK_OEM_2}, {XK_grave, VK_OEM_3}, {XK_bracketleft, VK_OEM_4},
    {XK_backslash, VK_OEM_5}, {XK_bracketright, VK_OEM_6}, {XK_apostrophe, VK_OEM_7},
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

char32_t first_code_point(const char* s, int n) {
  auto c = static_cast<unsigned char>(s[0]);
  int extra = c < 0x80 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : 1;
  if (extra >= n) return 0;
  char32_t cp = extra ? c & (0x3F >> extra) : c;
  for (int i = 1; i <= extra; i++) cp = cp << 6 | (static_cast<unsigned char>(s[i]) & 0x3F);
  return cp;
}

void key_event(XKeyEvent* e, bool down) {
  char text[64] = {};
  KeySym sym = 0;
  int n = 0;
  if (down && xic) {
    Status status;
    n = Xutf8LookupString(xic, e, text, sizeof text - 1, &sym, &status);
    if (status != XLookupChars && status != XLookupBoth) n = 0;
    if (status == XLookupChars) sym = 0;
  } else {
    n = XLookupString(e, text, sizeof text - 1, &sym, nullptr);
    if (!down) n = 0;
  }
  UINT vk = vk_of(XLookupKeysym(e, 0));
  // Text the US layout would not give for this key comes as characters.
  char32_t cp = n > 0 ? first_code_point(text, n) : 0;
  bool layout_char = vk && cp && (cp < 0x20 || (cp < 0x80 && VkKeyScanW(WCHAR(cp)) != -1 && (VkKeyScanW(WCHAR(cp)) & 0xFF) == vk));
  // Queued as input items like injected input, so each key's messages see
  // the key state of their moment even when X delivers a burst.
  if (vk && (!cp || layout_char)) {
    layer::inject_key(vk, down);
  } else if (cp) {
    for (int i = 0; i < n;) {
      char32_t c = first_code_point(text + i, n - i);
      auto b = static_cast<unsigned char>(text[i]);
      i += b < 0x80 ? 1 : b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : 2;
      if (c) char_input(c, false);
    }
  }
}

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
    Pixmap pm = XCreatePixmap(dpy, DefaultRootWindow(dpy), unsigned(w), unsigned(h2), 32);
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

}  // namespace

void x11_cursor(HCURSOR h) {
  if (!dpy) return;
  auto* c = static_cast<cursor*>(find(h, kind::cursor));
  window* w = detail::win(GetAncestor(WindowFromPoint(st().mouse), GA_ROOT));
  if (!w || !w->xid) return;
  if (c) XDefineCursor(dpy, w->xid, x_cursor_of(h, c));
  else XUndefineCursor(dpy, w->xid);
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
  wm_delete = XInternAtom(dpy, "WM_DELETE_WINDOW", False);
  setlocale(LC_CTYPE, "");
  XSetLocaleModifiers("");
  xim = XOpenIM(dpy, nullptr, nullptr, nullptr);
  if (!xim) {
    XSetLocaleModifiers("@im=none");
    xim = XOpenIM(dpy, nullptr, nullptr, nullptr);
  }
  return true;
}

void x11_close() {
  if (!dpy) return;
  if (xic) XDestroyIC(xic), xic = nullptr;
  if (xim) XCloseIM(xim), xim = nullptr;
  for (auto& [h, x] : x_cursors)
    if (x) XFreeCursor(dpy, x);
  x_cursors.clear();
  XCloseDisplay(dpy);
  dpy = nullptr;
}

int x11_fd() { return dpy ? ConnectionNumber(dpy) : -1; }

void x11_monitors(std::vector<layer::screen>* out) {
  int n = 0;
  XRRMonitorInfo* info = XRRGetMonitors(dpy, DefaultRootWindow(dpy), True, &n);
  for (int i = 0; i < n; i++)
    out->push_back(layer::screen{RECT{info[i].x, info[i].y, info[i].x + info[i].width, info[i].y + info[i].height}, 96});
  if (info) XRRFreeMonitors(info);
  if (out->empty()) {
    Screen* s = DefaultScreenOfDisplay(dpy);
    out->push_back(layer::screen{RECT{0, 0, WidthOfScreen(s), HeightOfScreen(s)}, 96});
  }
}

void x11_show(window* w, bool show) {
  if (!dpy) return;
  if (!w->xid) {
    if (!show) return;
    XSetWindowAttributes a{};
    a.event_mask = ExposureMask | KeyPressMask | KeyReleaseMask | ButtonPressMask | ButtonReleaseMask |
                   PointerMotionMask | LeaveWindowMask | FocusChangeMask | StructureNotifyMask;
    a.background_pixmap = None;
    RECT r = w->rect;
    w->xid = XCreateWindow(dpy, DefaultRootWindow(dpy), r.left, r.top, unsigned(std::max(1, int(r.right - r.left))),
                           unsigned(std::max(1, int(r.bottom - r.top))), 0, CopyFromParent, InputOutput,
                           CopyFromParent, CWEventMask | CWBackPixmap, &a);
    XSetWMProtocols(dpy, w->xid, &wm_delete, 1);
    // Without a window manager the position asked for is the position.
    XSizeHints hints{};
    hints.flags = USPosition | PPosition;
    hints.x = r.left, hints.y = r.top;
    XSetWMNormalHints(dpy, w->xid, &hints);
    // The title, so that tools find the window by name.
    XStoreName(dpy, w->xid, gfx::utf8_of(w->text).c_str());
    if (xim && !xic)
      xic = XCreateIC(xim, XNInputStyle, XIMPreeditNothing | XIMStatusNothing, XNClientWindow, w->xid, nullptr);
  }
  if (show) {
    XMapRaised(dpy, w->xid);
    XSync(dpy, False);
    x11_present(w);
  } else {
    XUnmapWindow(dpy, w->xid);
    XFlush(dpy);
  }
}

void x11_place(window* w) {
  if (!dpy || !w->xid) return;
  XMoveResizeWindow(dpy, w->xid, w->rect.left, w->rect.top, unsigned(std::max(1, int(w->rect.right - w->rect.left))),
                    unsigned(std::max(1, int(w->rect.bottom - w->rect.top))));
  XFlush(dpy);
}

void x11_destroy(window* w) {
  if (!dpy || !w->xid) return;
  XDestroyWindow(dpy, w->xid);
  XFlush(dpy);
  w->xid = 0;
}

void x11_focus(window* w) {
  if (!dpy || !w->xid || !(w->style & WS_VISIBLE)) return;
  XSetInputFocus(dpy, w->xid, RevertToParent, CurrentTime);
  if (xic) XSetICValues(xic, XNClientWindow, w->xid, XNFocusWindow, w->xid, nullptr);
  XFlush(dpy);
}

void x11_present(window* w) {
  if (!dpy || !w->xid) return;
  cairo_surface_t* pic = compose(w);
  int width = cairo_image_surface_get_width(pic), height = cairo_image_surface_get_height(pic);
  cairo_surface_t* target = cairo_xlib_surface_create(dpy, w->xid, DefaultVisual(dpy, DefaultScreen(dpy)), width, height);
  cairo_t* cr = cairo_create(target);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(cr, pic, 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_flush(target);
  cairo_surface_destroy(target);
  cairo_surface_destroy(pic);
  XFlush(dpy);
}

void x11_pump() {
  if (!dpy) return;
  while (XPending(dpy)) {
    XEvent e;
    XNextEvent(dpy, &e);
    if (XFilterEvent(&e, None)) continue;
    switch (e.type) {
    case Expose:
      if (window* w = by_xid(e.xexpose.window); w && e.xexpose.count == 0) x11_present(w);
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
    case ClientMessage:
      if (Atom(e.xclient.data.l[0]) == wm_delete)
        if (window* w = by_xid(e.xclient.window)) PostMessageW(w->self, WM_CLOSE, 0, 0);
      break;
    }
  }
}

}  // namespace kez::win::detail
