// The desktop's theme: the settings list a settings manager publishes (read
// without a server), and on a real X server (ctest runs the x11 cases under
// the private Xvfb of unit.x11; without DISPLAY they are skipped) a manager
// played by the test on a connection of its own, whose changes reach the
// windows; the dark frame asked of the window manager.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win/xsettings.h"
#include "tests/unit/win_fixture.h"

namespace kez::win::test {
namespace {

// A settings list as a manager writes it, in either byte order.
struct list_writer {
  bool msb;
  std::string bytes;
  int count = 0;
  void card(uint32_t v, int n) {
    for (int i = 0; i < n; i++) {
      int shift = msb ? 8 * (n - 1 - i) : 8 * i;
      bytes += char((v >> shift) & 0xFF);
    }
  }
  void padded(const std::string& s) {
    bytes += s;
    bytes.append((4 - s.size() % 4) % 4, '\0');
  }
  void head(uint8_t type, const std::string& name) {
    bytes += char(type);
    bytes += '\0';
    card(uint32_t(name.size()), 2);
    padded(name);
    card(7, 4);  // the serial of its last change
    count++;
  }
  list_writer& integer(const std::string& name, int32_t v) {
    head(0, name);
    card(uint32_t(v), 4);
    return *this;
  }
  list_writer& text(const std::string& name, const std::string& v) {
    head(1, name);
    card(uint32_t(v.size()), 4);
    padded(v);
    return *this;
  }
  list_writer& colour(const std::string& name, uint16_t r, uint16_t g, uint16_t b, uint16_t a) {
    head(2, name);
    for (uint16_t c : {r, g, b, a}) card(c, 2);
    return *this;
  }
  std::string done() const {
    list_writer h{msb};
    h.bytes += char(msb ? 1 : 0);
    h.bytes.append(3, '\0');
    h.card(42, 4);
    h.card(uint32_t(count), 4);
    return h.bytes + bytes;
  }
};

TEST(xsettings, ListsInBothByteOrdersAreRead) {
  for (bool msb : {false, true}) {
    SCOPED_TRACE(msb ? "MSB first" : "LSB first");
    std::string data = list_writer{msb}
                           .text("Net/ThemeName", "Adwaita-dark")  // 13 and 12 bytes: padding both ways
                           .integer("Gtk/ApplicationPreferDarkTheme", -2)
                           .colour("Gtk/Colour", 1, 0x100, 0xFFFF, 0x8000)
                           .text("Net/Empty", "")
                           .done();
    xsettings::table t;
    ASSERT_TRUE(xsettings::parse(reinterpret_cast<const unsigned char*>(data.data()), data.size(), &t));
    ASSERT_EQ(t.size(), 4u);
    EXPECT_EQ(t["Net/ThemeName"].type, xsettings::setting::text);
    EXPECT_EQ(t["Net/ThemeName"].string, "Adwaita-dark");
    EXPECT_EQ(t["Gtk/ApplicationPreferDarkTheme"].number, -2);
    const uint16_t want[4] = {1, 0x100, 0xFFFF, 0x8000};
    for (int i = 0; i < 4; i++) EXPECT_EQ(t["Gtk/Colour"].rgba[i], want[i]);
    EXPECT_EQ(t["Net/Empty"].string, "");
  }
}

TEST(xsettings, DamagedListsAreRefused) {
  std::string good = list_writer{false}.text("Net/ThemeName", "Adwaita").integer("Xft/DPI", 98304).done();
  struct row {
    const char* what;
    std::string data;
  };
  std::string bad_order = good, bad_type = good, too_many = good;
  bad_order[0] = 2;
  bad_type[12] = 3;
  too_many[8] = 3;
  const row rows[] = {
      {"shorter than its head", good.substr(0, 10)},
      {"cut inside a name", good.substr(0, 20)},
      {"cut inside a string value", good.substr(0, 36)},
      {"cut inside the last integer", good.substr(0, good.size() - 2)},
      {"an unknown byte order", bad_order},
      {"an unknown type", bad_type},
      {"more settings counted than written", too_many},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    xsettings::table t;
    EXPECT_FALSE(xsettings::parse(reinterpret_cast<const unsigned char*>(r.data.data()), r.data.size(), &t));
  }
}

TEST(xsettings, DarkByPreferenceOrByTheThemesName) {
  struct row {
    const char* theme;  // null: not set
    int prefer;         // -1: not set
    bool dark;
  };
  const row rows[] = {
      {"Adwaita", -1, false}, {"Adwaita-dark", -1, true}, {"Yaru-Dark", -1, true}, {"dark", -1, false},
      {"Darkness", -1, false}, {"Adwaita", 1, true},       {"Adwaita-dark", 0, true}, {nullptr, 1, true},
      {nullptr, 0, false},    {nullptr, -1, false},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(std::string(r.theme ? r.theme : "(none)") + " " + std::to_string(r.prefer));
    xsettings::table t;
    if (r.theme) t["Net/ThemeName"] = xsettings::setting{xsettings::setting::text, 0, r.theme};
    if (r.prefer >= 0) t["Gtk/ApplicationPreferDarkTheme"] = xsettings::setting{xsettings::setting::integer, r.prefer};
    EXPECT_EQ(xsettings::prefers_dark(t), r.dark);
  }
}

// A settings manager on the test's own connection: it owns the selection
// with a window of its own and keeps the list in that window's property.
struct manager {
  Display* d = XOpenDisplay(nullptr);
  ::Window w = 0;
  Atom selection = XInternAtom(d, "_XSETTINGS_S0", False), settings = XInternAtom(d, "_XSETTINGS_SETTINGS", False);
  ~manager() {
    if (w) XDestroyWindow(d, w);
    XCloseDisplay(d);
  }
  void publish(const std::string& theme, int prefer) {
    std::string data =
        list_writer{false}.text("Net/ThemeName", theme).integer("Gtk/ApplicationPreferDarkTheme", prefer).done();
    XChangeProperty(d, w, settings, settings, 8, PropModeReplace, reinterpret_cast<const unsigned char*>(data.data()),
                    int(data.size()));
    XSync(d, False);
  }
  // A new manager window takes the selection with its settings in place and
  // says so on the root window; the one before it goes.
  void take(const std::string& theme, int prefer) {
    ::Window old = w;
    w = XCreateSimpleWindow(d, DefaultRootWindow(d), 0, 0, 1, 1, 0, 0, 0);
    publish(theme, prefer);
    XSetSelectionOwner(d, selection, w, CurrentTime);
    XEvent e{};
    e.xclient.type = ClientMessage;
    e.xclient.window = DefaultRootWindow(d);
    e.xclient.message_type = XInternAtom(d, "MANAGER", False);
    e.xclient.format = 32;
    e.xclient.data.l[0] = CurrentTime;
    e.xclient.data.l[1] = long(selection);
    e.xclient.data.l[2] = long(w);
    XSendEvent(d, DefaultRootWindow(d), False, StructureNotifyMask, &e);
    if (old) XDestroyWindow(d, old);
    XSync(d, False);
  }
  void leave() {
    XDestroyWindow(d, w);
    w = 0;
    XSync(d, False);
  }
};

class x11_theme : public window_system {
 protected:
  void SetUp() override {
    if (!getenv("DISPLAY") || !*getenv("DISPLAY")) GTEST_SKIP() << "no X display";
  }
  template <class F>
  bool pump_until(F done) {
    for (int round = 0; round < 600; round++) {
      MSG m;
      while (PeekMessageW(&m, 0, 0, 0, PM_REMOVE)) DispatchMessageW(&m);
      if (done()) return true;
      usleep(5000);
    }
    return false;
  }
};

TEST_F(x11_theme, SettingsChangesReachEveryWindow) {
  manager m;
  m.take("Adwaita-dark", 0);
  start(layer::mode::x11);
  ASSERT_EQ(layer::current(), layer::mode::x11);
  // Read at start: applications are asked for dark colours.
  EXPECT_TRUE(ShouldAppsUseDarkMode());
  watched = {WM_THEMECHANGED};
  HWND a = top(10, 10, 100, 100), b = top(200, 10, 100, 100);
  auto told = [&](HWND h) {
    size_t n = 0;
    for (const seen& s : of(WM_THEMECHANGED)) n += s.hwnd == h;
    return n;
  };
  struct step {
    const char* what;
    void (*act)(manager&);
    bool dark;
  };
  const step steps[] = {
      {"the theme changes to a light one", [](manager& m) { m.publish("Adwaita", 0); }, false},
      {"the preference turns dark", [](manager& m) { m.publish("Adwaita", 1); }, true},
      {"a new manager comes with a light theme", [](manager& m) { m.take("HighContrast", 0); }, false},
      {"the new manager's theme turns dark", [](manager& m) { m.publish("Yaru-dark", 0); }, true},
      {"the manager leaves", [](manager& m) { m.leave(); }, false},
      {"another comes with a dark theme", [](manager& m) { m.take("Adwaita-dark", 0); }, true},
  };
  for (const step& s : steps) {
    SCOPED_TRACE(s.what);
    size_t before_a = told(a), before_b = told(b);
    s.act(m);
    EXPECT_TRUE(pump_until([&] {
      return told(a) > before_a && told(b) > before_b && bool(ShouldAppsUseDarkMode()) == s.dark;
    }));
  }
  // The same settings again are no change.
  size_t before = of(WM_THEMECHANGED).size();
  m.publish("Adwaita-dark", 0);
  pump_until([] { return false; });
  EXPECT_EQ(of(WM_THEMECHANGED).size(), before);
}

TEST_F(x11_theme, ADarkWindowAsksTheManagerForADarkFrame) {
  start(layer::mode::x11);
  HWND h = CreateWindowExW(0, u"Rec", u"Dark frame", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 50, 50, 200, 150, 0, 0, 0,
                           nullptr);
  BOOL on = 1;
  // Asked before the X window is shown, then after: both reach the server.
  ASSERT_EQ(DwmSetWindowAttribute(h, DWMWA_USE_IMMERSIVE_DARK_MODE, &on, sizeof on), 0);
  UpdateWindow(h);
  auto variant = [] { return output_of("xprop -name 'Dark frame' _GTK_THEME_VARIANT 2>&1"); };
  EXPECT_TRUE(pump_until([&] { return variant().find("= \"dark\"") != std::string::npos; })) << variant();
  on = 0;
  ASSERT_EQ(DwmSetWindowAttribute(h, DWMWA_USE_IMMERSIVE_DARK_MODE, &on, sizeof on), 0);
  EXPECT_TRUE(pump_until([&] { return variant().find("not found") != std::string::npos; })) << variant();
  on = 1;
  ASSERT_EQ(DwmSetWindowAttribute(h, DWMWA_USE_IMMERSIVE_DARK_MODE, &on, sizeof on), 0);
  EXPECT_TRUE(pump_until([&] { return variant().find("= \"dark\"") != std::string::npos; })) << variant();
}

}  // namespace
}  // namespace kez::win::test
