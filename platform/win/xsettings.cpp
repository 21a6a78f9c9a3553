// The desktop's theme on X11: the settings manager (the owner of the
// _XSETTINGS_S<screen> selection) keeps its settings in a property of its
// window. Its theme name and dark preference are watched; a change reaches
// every window as a theme change. A window in the dark theme asks the window
// manager for a dark frame.
#include "platform/win/xsettings.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <algorithm>
#include <cctype>
#include <cstring>

#include "platform/win/internal.h"

namespace kez::win::xsettings {

namespace {

struct reader {
  const unsigned char* at;
  const unsigned char* end;
  bool msb;
  bool has(size_t n) const { return size_t(end - at) >= n; }
  uint32_t card(int bytes) {
    uint32_t v = 0;
    for (int i = 0; i < bytes; i++) {
      int k = msb ? i : bytes - 1 - i;
      v = v << 8 | at[k];
    }
    at += bytes;
    return v;
  }
  static size_t padded(size_t n) { return (n + 3) & ~size_t(3); }
};

}  // namespace

bool parse(const unsigned char* data, size_t size, table* out) {
  reader r{data, data + size, false};
  if (!r.has(12)) return false;
  if (data[0] > 1) return false;  // neither LSBFirst (0) nor MSBFirst (1)
  r.msb = data[0] == 1;
  r.at += 4;
  r.card(4);  // the manager's serial
  uint32_t count = r.card(4);
  for (uint32_t i = 0; i < count; i++) {
    if (!r.has(4)) return false;
    unsigned type = r.at[0];
    r.at += 2;
    size_t name_length = r.card(2);
    if (!r.has(reader::padded(name_length) + 4)) return false;
    std::string name(reinterpret_cast<const char*>(r.at), name_length);
    r.at += reader::padded(name_length);
    r.card(4);  // the serial of its last change
    setting s;
    switch (type) {
    case setting::integer:
      if (!r.has(4)) return false;
      s.type = setting::integer;
      s.number = int32_t(r.card(4));
      break;
    case setting::text: {
      if (!r.has(4)) return false;
      size_t length = r.card(4);
      if (!r.has(reader::padded(length))) return false;
      s.type = setting::text;
      s.string.assign(reinterpret_cast<const char*>(r.at), length);
      r.at += reader::padded(length);
      break;
    }
    case setting::colour:
      if (!r.has(8)) return false;
      s.type = setting::colour;
      for (uint16_t& c : s.rgba) c = uint16_t(r.card(2));
      break;
    default: return false;
    }
    (*out)[name] = s;
  }
  return true;
}

bool prefers_dark(const table& t) {
  if (auto it = t.find("Gtk/ApplicationPreferDarkTheme"); it != t.end() && it->second.type == setting::integer &&
                                                           it->second.number != 0)
    return true;
  auto it = t.find("Net/ThemeName");
  if (it == t.end() || it->second.type != setting::text) return false;
  std::string name = it->second.string;
  std::transform(name.begin(), name.end(), name.begin(), [](unsigned char c) { return char(std::tolower(c)); });
  return name.size() >= 5 && name.compare(name.size() - 5, 5, "-dark") == 0;
}

}  // namespace kez::win::xsettings

namespace kez::win::detail {

namespace {

Display* dpy = nullptr;
Atom selection = None, settings_atom = None, manager = None, variant = None, utf8 = None;
::Window owner = None;
std::string theme_name;
bool dark = false;

// Follows the selection to its owner now, if there is one.
void find_owner() {
  owner = XGetSelectionOwner(dpy, selection);
  if (owner) XSelectInput(dpy, owner, StructureNotifyMask | PropertyChangeMask);
}

// Reads the owner's settings; a new theme or dark preference is told to the
// windows (`tell`), else only kept.
void read_settings(bool tell) {
  xsettings::table t;
  if (owner) {
    Atom type;
    int format;
    unsigned long n = 0, after;
    unsigned char* data = nullptr;
    if (XGetWindowProperty(dpy, owner, settings_atom, 0, 1 << 20, False, settings_atom, &type, &format, &n, &after,
                           &data) == Success &&
        data && format == 8)
      xsettings::parse(data, n, &t);
    if (data) XFree(data);
  }
  auto it = t.find("Net/ThemeName");
  std::string name = it != t.end() && it->second.type == xsettings::setting::text ? it->second.string : "";
  bool now_dark = xsettings::prefers_dark(t);
  if (name == theme_name && now_dark == dark && tell) return;
  theme_name = name;
  dark = now_dark;
  if (tell) action_input([now_dark] { desktop_theme_changed(now_dark); });
  else desktop_theme_changed(now_dark);
}

}  // namespace

void xsettings_open(Display* display) {
  dpy = display;
  std::string name = "_XSETTINGS_S" + std::to_string(DefaultScreen(dpy));
  selection = XInternAtom(dpy, name.c_str(), False);
  settings_atom = XInternAtom(dpy, "_XSETTINGS_SETTINGS", False);
  manager = XInternAtom(dpy, "MANAGER", False);
  variant = XInternAtom(dpy, "_GTK_THEME_VARIANT", False);
  utf8 = XInternAtom(dpy, "UTF8_STRING", False);
  theme_name.clear();
  dark = false;
  find_owner();
  read_settings(false);
}

void xsettings_close() {
  dpy = nullptr;
  owner = None;
}

bool xsettings_event(const XEvent& e) {
  if (!dpy) return false;
  switch (e.type) {
  case ClientMessage:
    // A new manager announces itself on the root window.
    if (e.xclient.message_type != manager || Atom(e.xclient.data.l[1]) != selection) return false;
    find_owner();
    read_settings(true);
    return true;
  case PropertyNotify:
    if (!owner || e.xproperty.window != owner || e.xproperty.atom != settings_atom) return false;
    read_settings(true);
    return true;
  case DestroyNotify:
    if (!owner || e.xdestroywindow.window != owner) return false;
    // The manager went away: its settings with it, until another comes.
    find_owner();
    read_settings(true);
    return true;
  }
  return false;
}

void x11_dark_variant(window* w) {
  if (!dpy || !w->xid) return;
  if (w->dark_frame) {
    static const char dark_name[] = "dark";
    XChangeProperty(dpy, w->xid, variant, utf8, 8, PropModeReplace, reinterpret_cast<const unsigned char*>(dark_name),
                    int(sizeof dark_name - 1));
  } else {
    XDeleteProperty(dpy, w->xid, variant);
  }
  XFlush(dpy);
}

}  // namespace kez::win::detail
