// A started window system with one recording window class for the window
// system's tests.
#pragma once

#include <gtest/gtest.h>

#include <cairo.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/win/win.h"

namespace kez::win::test {

struct seen {
  HWND hwnd;
  UINT msg;
  WPARAM wparam;
  LPARAM lparam;
  DWORD time;
};
inline std::vector<seen> log;
// Messages a test wants to see; the rest go by unrecorded.
inline std::vector<UINT> watched;
inline void* created_with = nullptr;

inline LRESULT record(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_NCCREATE) created_with = reinterpret_cast<CREATESTRUCTW*>(lparam)->lpCreateParams;
  for (UINT m : watched)
    if (m == msg) log.push_back(seen{hwnd, msg, wparam, lparam, DWORD(GetMessageTime())});
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

inline LRESULT paint_red(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg != WM_PAINT) return record(hwnd, msg, wparam, lparam);
  PAINTSTRUCT ps;
  HDC dc = BeginPaint(hwnd, &ps);
  cairo_t* cr = layer::dc_context(dc);
  cairo_set_source_rgb(cr, 1, 0, 0);
  cairo_paint(cr);
  EndPaint(hwnd, &ps);
  return 0;
}

class window_system : public ::testing::Test {
 protected:
  void start(layer::mode mode = layer::mode::headless, const std::vector<layer::screen>& screens = {}) {
    layer::start(mode, screens);
    log.clear();
    watched.clear();
    WNDCLASSEXW cls{sizeof(WNDCLASSEXW), CS_DBLCLKS, record, 0, 80, 0, 0, 0, HBRUSH(COLOR_BTNFACE + 1), nullptr, u"Rec", 0};
    ASSERT_NE(RegisterClassExW(&cls), 0);
    cls.lpfnWndProc = paint_red;
    cls.lpszClassName = u"Red";
    ASSERT_NE(RegisterClassExW(&cls), 0);
  }
  void SetUp() override { start(); }
  void TearDown() override { layer::stop(); }

  HWND top(int x, int y, int w, int h, const char16_t* cls = u"Rec", DWORD style = WS_POPUP | WS_VISIBLE) {
    return CreateWindowExW(0, cls, u"", style, x, y, w, h, 0, 0, 0, nullptr);
  }
  HWND child(HWND parent, int x, int y, int w, int h, const char16_t* cls = u"Rec", DWORD ex = 0) {
    return CreateWindowExW(ex, cls, u"", WS_CHILD | WS_VISIBLE, x, y, w, h, parent, 0, 0, nullptr);
  }
  // Runs the loop until GetMessageW answers 0, translating keys.
  int run() {
    MSG m;
    int n = 0;
    while (GetMessageW(&m, 0, 0, 0) > 0) {
      TranslateMessage(&m);
      DispatchMessageW(&m);
      n++;
    }
    return n;
  }
  std::vector<seen> of(UINT msg) {
    std::vector<seen> out;
    for (const seen& s : log)
      if (s.msg == msg) out.push_back(s);
    return out;
  }
};

// What a shell command writes to its standard output.
inline std::string output_of(const char* command) {
  std::string out;
  FILE* p = popen(command, "r");
  if (!p) return out;
  char buf[65536];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  pclose(p);
  return out;
}

// The pixel at x, y of a surface, as 0xAARRGGBB (premultiplied).
inline uint32_t pixel(cairo_surface_t* s, int x, int y) {
  cairo_surface_flush(s);
  auto* row = cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s);
  return reinterpret_cast<const uint32_t*>(row)[x];
}

}  // namespace kez::win::test
