// The window system on a real X server (ctest runs these under a private
// Xvfb; without DISPLAY they are skipped): what is painted shows on the
// screen, and input made by xdotool arrives as window messages.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tests/unit/win_fixture.h"

namespace kez::win::test {
namespace {

class x11 : public window_system {
 protected:
  void SetUp() override {
    if (!getenv("DISPLAY") || !*getenv("DISPLAY")) GTEST_SKIP() << "no X display";
    start(layer::mode::x11);
    ASSERT_EQ(layer::current(), layer::mode::x11);
  }
  // Dispatches what arrives until `done` holds; gives up after a generous bound.
  template <class F>
  bool pump_until(F done) {
    for (int round = 0; round < 1000; round++) {
      MSG m;
      while (PeekMessageW(&m, 0, 0, 0, PM_REMOVE)) {
        TranslateMessage(&m);
        DispatchMessageW(&m);
      }
      if (done()) return true;
      usleep(5000);
    }
    return false;
  }
  static std::string output_of(const char* command) {
    std::string out;
    FILE* p = popen(command, "r");
    if (!p) return out;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
  }
  HWND shown_red() {
    HWND h = top(100, 100, 200, 150, u"Red");
    SetForegroundWindow(h);
    UpdateWindow(h);
    return h;
  }
};

std::vector<seen> of_all(UINT msg) {
  std::vector<seen> out;
  for (const seen& s : log)
    if (s.msg == msg) out.push_back(s);
  return out;
}

struct png_reader {
  const std::string* data;
  size_t at;
  static cairo_status_t read(void* self, unsigned char* out, unsigned int length) {
    auto* r = static_cast<png_reader*>(self);
    if (r->at + length > r->data->size()) return CAIRO_STATUS_READ_ERROR;
    std::copy_n(r->data->data() + r->at, length, out);
    r->at += length;
    return CAIRO_STATUS_SUCCESS;
  }
};

TEST_F(x11, PaintedWindowShowsOnTheScreen) {
  shown_red();
  std::string png;
  // Wait until the server has the window on screen.
  pump_until([&] {
    png = output_of("xwd -root -silent | convert xwd:- png:-");
    png_reader r{&png, 0};
    cairo_surface_t* s = cairo_image_surface_create_from_png_stream(png_reader::read, &r);
    bool red = cairo_surface_status(s) == CAIRO_STATUS_SUCCESS && (pixel(s, 200, 175) & 0xFFFFFF) == 0xFF0000;
    cairo_surface_destroy(s);
    return red;
  });
  png_reader r{&png, 0};
  cairo_surface_t* s = cairo_image_surface_create_from_png_stream(png_reader::read, &r);
  ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
  EXPECT_EQ(pixel(s, 200, 175) & 0xFFFFFF, 0xFF0000u);
  EXPECT_EQ(pixel(s, 101, 101) & 0xFFFFFF, 0xFF0000u);
  EXPECT_NE(pixel(s, 50, 50) & 0xFFFFFF, 0xFF0000u);  // outside the window
  cairo_surface_destroy(s);
}

TEST_F(x11, XdotoolClickGivesButtonMessages) {
  watched = {WM_LBUTTONDOWN, WM_LBUTTONUP};
  HWND h = shown_red();
  ASSERT_EQ(system("xdotool mousemove 150 160 click 1"), 0);
  ASSERT_TRUE(pump_until([] { return !of_all(WM_LBUTTONUP).empty(); }));
  auto downs = of(WM_LBUTTONDOWN), ups = of(WM_LBUTTONUP);
  ASSERT_EQ(downs.size(), 1u);
  ASSERT_EQ(ups.size(), 1u);
  for (const seen& s : {downs[0], ups[0]}) {
    EXPECT_EQ(s.hwnd, h);
    EXPECT_EQ(GET_X_LPARAM(s.lparam), 50);
    EXPECT_EQ(GET_Y_LPARAM(s.lparam), 60);
  }
  // Over the window now: system and image cursors go to its X window.
  uint32_t pixels[16 * 16];
  std::fill(std::begin(pixels), std::end(pixels), 0xFF00FF00u);
  HICON icon = CreateIconFromPixels(pixels, 16, 16, 8, 8);
  SetCursor(icon);
  EXPECT_EQ(GetCursor(), icon);
  SetCursor(LoadCursorW(0, IDC_HAND));
  EXPECT_TRUE(DestroyIcon(icon));
  EXPECT_EQ(GetCursor(), LoadCursorW(0, IDC_HAND));
}

TEST_F(x11, XdotoolTypeKeepsShiftWithItsKey) {
  watched = {WM_KEYDOWN, WM_CHAR};
  HWND h = shown_red();
  SetFocus(h);
  // A shifted burst: the shift state belongs to each key's own messages.
  ASSERT_EQ(system("xdotool type B"), 0);
  ASSERT_TRUE(pump_until([] { return !of_all(WM_CHAR).empty(); }));
  ASSERT_EQ(of(WM_CHAR).size(), 1u);
  EXPECT_EQ(of(WM_CHAR)[0].wparam, WPARAM('B'));
}

TEST_F(x11, XdotoolTypeGivesKeyAndCharacter) {
  watched = {WM_KEYDOWN, WM_CHAR};
  HWND h = shown_red();
  SetFocus(h);
  ASSERT_EQ(system("xdotool type a"), 0);
  ASSERT_TRUE(pump_until([] { return !of_all(WM_CHAR).empty(); }));
  auto downs = of(WM_KEYDOWN), chars = of(WM_CHAR);
  ASSERT_FALSE(downs.empty());
  EXPECT_EQ(downs[0].wparam, WPARAM('A'));
  ASSERT_EQ(chars.size(), 1u);
  EXPECT_EQ(chars[0].wparam, WPARAM(0x61));
  EXPECT_EQ(chars[0].hwnd, h);
}

}  // namespace
}  // namespace kez::win::test
