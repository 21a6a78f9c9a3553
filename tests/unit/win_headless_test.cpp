// The window system without a display: creation, input, translation,
// timers on the virtual clock, loop end, painting and monitors.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "platform/win/internal.h"
#include "tests/unit/win_fixture.h"

namespace kez::win::test {
namespace {

using headless = window_system;

TEST_F(headless, CreationParameterAndSlots) {
  int marker = 7;
  HWND h = CreateWindowExW(0, u"Rec", u"t", WS_POPUP, 0, 0, 10, 10, 0, 0, 0, &marker);
  ASSERT_NE(h, 0u);
  EXPECT_EQ(created_with, &marker);
  // 20 slots by byte index; an index past the end or not on a slot answers 0.
  EXPECT_EQ(SetWindowLongW(h, 60, 42), 0);
  EXPECT_EQ(GetWindowLongW(h, 60), 42);
  EXPECT_EQ(SetWindowLongW(h, 76, -1), 0);
  EXPECT_EQ(GetWindowLongW(h, 76), -1);
  EXPECT_EQ(SetWindowLongW(h, 80, 5), 0);
  EXPECT_EQ(GetWindowLongW(h, 80), 0);
  EXPECT_EQ(GetWindowLongW(h, 61), 0);
  EXPECT_EQ(CreateWindowExW(0, u"Nope", u"", 0, 0, 0, 1, 1, 0, 0, 0, nullptr), 0u);
  EXPECT_EQ(CreateWindowExW(0, u"Rec", u"", WS_CHILD, 0, 0, 1, 1, 0, 0, 0, nullptr), 0u);  // a child needs a parent
  // A stale handle never reaches a new window.
  EXPECT_TRUE(DestroyWindow(h));
  HWND again = CreateWindowExW(0, u"Rec", u"", WS_POPUP, 0, 0, 10, 10, 0, 0, 0, nullptr);
  EXPECT_NE(again, h);
  EXPECT_FALSE(IsWindow(h));
  EXPECT_EQ(GetWindowLongW(again, 60), 0);
}

TEST_F(headless, DestroyingTakesChildrenAndSurvivesReentry) {
  watched = {WM_DESTROY, WM_NCDESTROY};
  HWND w = top(0, 0, 100, 100);
  HWND c = child(w, 0, 0, 10, 10);
  struct again {
    static LRESULT proc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
      if (m == WM_DESTROY) EXPECT_FALSE(DestroyWindow(h));
      return record(h, m, wp, lp);
    }
  };
  SetWindowLongPtrW(c, GWL_WNDPROC, intptr_t(&again::proc));
  SetFocus(c);
  SetCapture(c);
  PostMessageW(w, WM_CLOSE, 0, 0);  // DefWindowProc destroys on close
  run();
  EXPECT_FALSE(IsWindow(w));
  EXPECT_FALSE(IsWindow(c));
  EXPECT_EQ(of(WM_DESTROY).size(), 2u);
  EXPECT_EQ(of(WM_NCDESTROY).size(), 2u);
  EXPECT_EQ(GetFocus(), 0u);
  EXPECT_EQ(GetCapture(), 0u);
  EXPECT_FALSE(PostMessageW(w, WM_USER, 0, 0));
}

TEST_F(headless, SuperclassKeepsBaseProcedure) {
  WNDCLASSEXW base{};
  ASSERT_TRUE(GetClassInfoExW(0, u"Rec", &base));
  EXPECT_EQ(base.lpfnWndProc, &record);
  base.lpszClassName = u"RecSuper";
  base.cbWndExtra = 80;
  ASSERT_NE(RegisterClassExW(&base), 0);
  EXPECT_EQ(RegisterClassExW(&base), 0);  // a name is registered once
  HWND h = CreateWindowExW(0, u"RecSuper", u"", WS_POPUP, 0, 0, 5, 5, 0, 0, 0, nullptr);
  EXPECT_EQ(GetWindowLongPtrW(h, GWL_WNDPROC), intptr_t(&record));
}

TEST_F(headless, CapturedWindowGetsButtonUpOutside) {
  watched = {WM_LBUTTONDOWN, WM_LBUTTONUP};
  HWND a = top(100, 100, 200, 100);
  HWND b = top(400, 100, 200, 100);
  struct capture_proc {
    static LRESULT proc(HWND h, UINT m, WPARAM w, LPARAM l) {
      if (m == WM_LBUTTONDOWN) SetCapture(h);
      if (m == WM_LBUTTONUP) ReleaseCapture();
      return record(h, m, w, l);
    }
  };
  SetWindowLongPtrW(a, GWL_WNDPROC, intptr_t(&capture_proc::proc));
  layer::inject_mouse_move(110, 120);
  layer::inject_button(VK_LBUTTON, true);
  layer::inject_mouse_move(450, 130);  // over b, and outside a
  layer::inject_button(VK_LBUTTON, false);
  run();
  auto ups = of(WM_LBUTTONUP);
  ASSERT_EQ(ups.size(), 1u);
  EXPECT_EQ(ups[0].hwnd, a);
  EXPECT_EQ(GET_X_LPARAM(ups[0].lparam), 350);  // client point of a, outside it
  EXPECT_EQ(GET_Y_LPARAM(ups[0].lparam), 30);
  EXPECT_EQ(GetCapture(), 0u);
  EXPECT_NE(b, 0u);
}

TEST_F(headless, LeavingTrackedWindowGivesOneMouseLeave) {
  watched = {WM_MOUSELEAVE};
  HWND a = top(0, 0, 100, 100);
  top(200, 0, 100, 100);
  struct track_proc {
    static LRESULT proc(HWND h, UINT m, WPARAM w, LPARAM l) {
      if (m == WM_MOUSEMOVE) {
        TRACKMOUSEEVENT t{sizeof t, TME_LEAVE, h, 0};
        TrackMouseEvent(&t);
      }
      return record(h, m, w, l);
    }
  };
  SetWindowLongPtrW(a, GWL_WNDPROC, intptr_t(&track_proc::proc));
  for (int x : {10, 20, 30, 250, 260, 270, 1000}) layer::inject_mouse_move(x, 50);
  run();
  auto leaves = of(WM_MOUSELEAVE);
  ASSERT_EQ(leaves.size(), 1u);
  EXPECT_EQ(leaves[0].hwnd, a);
}

TEST_F(headless, KeysBecomeCharacters) {
  watched = {WM_KEYDOWN, WM_CHAR, WM_KEYUP};
  HWND h = top(0, 0, 100, 100);
  SetFocus(h);
  ASSERT_EQ(GetFocus(), h);
  layer::inject_text(U"a");
  run();
  ASSERT_GE(log.size(), 3u);
  EXPECT_EQ(log[0].msg, UINT(WM_KEYDOWN));
  EXPECT_EQ(log[0].wparam, WPARAM('A'));
  EXPECT_EQ((log[0].lparam >> 16) & 0xFF, 0x1E);  // scan code of A
  EXPECT_EQ(log[1].msg, UINT(WM_CHAR));
  EXPECT_EQ(log[1].wparam, WPARAM(0x61));
  EXPECT_EQ(log[2].msg, UINT(WM_KEYUP));

  struct row {
    std::u32string text;
    std::vector<WPARAM> chars;
  } rows[] = {
      {U"A!", {'A', '!'}},
      {U"\U0001F600", {0xD83D, 0xDE00}},  // astral: two UTF-16 units
      {U"é\t\n", {0xE9, 9}},               // \n is not on a key: a packet of 10
  };
  rows[2].chars.push_back(10);
  for (const row& r : rows) {
    start();
    watched = {WM_CHAR};
    SetFocus(top(0, 0, 10, 10));
    layer::inject_text(r.text);
    run();
    std::vector<WPARAM> got;
    for (const seen& s : log) got.push_back(s.wparam);
    EXPECT_EQ(got, r.chars);
  }
}

TEST_F(headless, ControlKeysAndModifierSides) {
  watched = {WM_KEYDOWN, WM_CHAR};
  HWND h = top(0, 0, 100, 100);
  SetFocus(h);
  layer::inject_key(VK_CONTROL, true);
  layer::inject_key('A', true);
  layer::inject_key('A', false);
  layer::inject_key(VK_CONTROL, false);
  layer::inject_key(VK_RCONTROL, true, true);
  layer::inject_key(VK_RCONTROL, false, true);
  layer::inject_key(VK_RSHIFT, true);
  layer::inject_key(VK_RSHIFT, false);
  run();
  auto chars = of(WM_CHAR);
  ASSERT_EQ(chars.size(), 1u);
  EXPECT_EQ(chars[0].wparam, WPARAM(1));  // Ctrl+A
  auto downs = of(WM_KEYDOWN);
  ASSERT_EQ(downs.size(), 4u);
  EXPECT_EQ(downs[0].wparam, WPARAM(VK_CONTROL));
  EXPECT_FALSE(downs[0].lparam & (1 << 24));
  EXPECT_EQ(downs[2].wparam, WPARAM(VK_CONTROL));
  EXPECT_TRUE(downs[2].lparam & (1 << 24));  // right Ctrl: extended
  EXPECT_EQ(downs[3].wparam, WPARAM(VK_SHIFT));
  UINT scan = UINT(downs[3].lparam >> 16 & 0xFF);
  EXPECT_EQ(MapVirtualKeyW(scan, MAPVK_VSC_TO_VK_EX), UINT(VK_RSHIFT));
  EXPECT_EQ(MapVirtualKeyW(0xE01D, MAPVK_VSC_TO_VK_EX), UINT(VK_RCONTROL));
  EXPECT_EQ(MapVirtualKeyW(0x1D, MAPVK_VSC_TO_VK_EX), UINT(VK_LCONTROL));
  EXPECT_EQ(MapVirtualKeyW('A', MAPVK_VK_TO_CHAR), UINT('A'));
  EXPECT_EQ(MapVirtualKeyW(VK_OEM_2, MAPVK_VK_TO_CHAR), UINT('/'));
  EXPECT_EQ(VkKeyScanW(u'a'), int16_t('A'));
  EXPECT_EQ(VkKeyScanW(u'?'), int16_t(0x100 | VK_OEM_2));
  EXPECT_EQ(VkKeyScanW(u'\x01'), int16_t(0x200 | 'A'));
  EXPECT_EQ(VkKeyScanW(u'é'), -1);
  EXPECT_EQ(GetKeyState(VK_CONTROL) & 0x8000, 0);
}

TEST_F(headless, KeyStateFollowsInput) {
  HWND h = top(0, 0, 10, 10);
  SetFocus(h);
  struct probe {
    static LRESULT proc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
      if (m == WM_KEYDOWN && wp == 'B') {
        EXPECT_LT(GetKeyState(VK_SHIFT), 0);
        EXPECT_LT(GetKeyState(VK_LSHIFT), 0);
        EXPECT_GE(GetKeyState(VK_RSHIFT), 0);
      }
      return record(w, m, wp, lp);
    }
  };
  SetWindowLongPtrW(h, GWL_WNDPROC, intptr_t(&probe::proc));
  layer::inject_key(VK_SHIFT, true);
  layer::inject_key('B', true);
  layer::inject_key('B', false);
  layer::inject_key(VK_SHIFT, false);
  run();
  EXPECT_GE(GetKeyState(VK_SHIFT), 0);
}

std::vector<DWORD> fired;
void on_timer(HWND, UINT, UINT_PTR, DWORD time) { fired.push_back(time); }

TEST_F(headless, TimersOnTheVirtualClock) {
  fired.clear();
  UINT_PTR id = SetTimer(0, 0, 250, on_timer);
  ASSERT_NE(id, 0u);
  layer::inject_wait(750);
  run();
  EXPECT_EQ(fired, (std::vector<DWORD>{250, 500, 750}));
  EXPECT_EQ(layer::virtual_time(), 750u);

  start();
  watched = {WM_TIMER};
  HWND h = top(0, 0, 10, 10);
  EXPECT_EQ(SetTimer(h, 3, 0, nullptr), 3u);
  layer::inject_wait(100);
  run();
  auto ticks = of(WM_TIMER);
  ASSERT_EQ(ticks.size(), 10u);  // 0 ms becomes 10 ms
  for (size_t i = 0; i < ticks.size(); i++) {
    EXPECT_EQ(ticks[i].time, DWORD(10 * (i + 1)));
    EXPECT_EQ(ticks[i].wparam, 3u);
  }
  EXPECT_TRUE(KillTimer(h, 3));
  EXPECT_FALSE(KillTimer(h, 3));
}

// Without an input script the clock runs on to each due timer, and the
// loop ends once no timer is left; with one, used-up input ends it at once.
void on_timer_stopping_at_three(HWND, UINT, UINT_PTR id, DWORD time) {
  fired.push_back(time);
  if (fired.size() == 3) KillTimer(0, id);
}

TEST_F(headless, TimersAloneRunTheClockUntilNoneIsLeft) {
  fired.clear();
  DWORD t0 = layer::virtual_time();
  SetTimer(0, 0, 10, on_timer_stopping_at_three);
  top(0, 0, 10, 10);
  run();
  EXPECT_EQ(fired, (std::vector<DWORD>{t0 + 10, t0 + 20, t0 + 30}));
  EXPECT_EQ(layer::virtual_time(), t0 + 30);
}

TEST_F(headless, UsedUpInputEndsTheLoopDespiteTimers) {
  fired.clear();
  SetTimer(0, 0, 10, on_timer);
  top(0, 0, 10, 10);
  layer::inject_wait(25);
  run();
  EXPECT_EQ(fired.size(), 2u);
  EXPECT_FALSE(layer::input_pending());
}

TEST_F(headless, QuitAndUsedUpInput) {
  MSG m;
  PostMessageW(0, WM_USER, 1, 2);
  PostQuitMessage(3);
  ASSERT_GT(GetMessageW(&m, 0, 0, 0), 0);
  EXPECT_EQ(m.message, UINT(WM_USER));
  EXPECT_EQ(GetMessageW(&m, 0, 0, 0), 0);
  EXPECT_EQ(m.message, UINT(WM_QUIT));
  EXPECT_EQ(m.wParam, 3u);

  watched = {WM_KEYDOWN};
  SetFocus(top(0, 0, 10, 10));
  layer::inject_key('X', true);
  layer::inject_wait(20);
  EXPECT_GT(run(), 0);
  EXPECT_FALSE(layer::input_pending());
  EXPECT_EQ(of(WM_KEYDOWN).size(), 1u);
  EXPECT_EQ(GetMessageW(&m, 0, 0, 0), 0);  // and stays ended
  EXPECT_FALSE(PeekMessageW(&m, 0, 0, 0, PM_REMOVE));
}

TEST_F(headless, PostingFromAnotherThreadWakesTheLoop) {
  watched = {WM_USER + 1};
  HWND h = top(0, 0, 10, 10);
  std::thread worker([h] { PostMessageW(h, WM_USER + 1, 9, 0); });
  worker.join();
  MSG m;
  ASSERT_GT(GetMessageW(&m, 0, 0, 0), 0);
  DispatchMessageW(&m);
  ASSERT_EQ(of(WM_USER + 1).size(), 1u);
  EXPECT_EQ(log[0].wparam, 9u);
}

TEST_F(headless, GeometryAndHitTests) {
  RECT r{0, 0, 300, 200};
  AdjustWindowRectEx(&r, WS_OVERLAPPEDWINDOW, 0, 0);
  EXPECT_EQ(r.left, -8);
  EXPECT_EQ(r.top, -31);
  EXPECT_EQ(r.right, 308);
  EXPECT_EQ(r.bottom, 208);
  r = RECT{0, 0, 300, 200};
  AdjustWindowRectEx(&r, WS_CAPTION | WS_SYSMENU, 1, WS_EX_CLIENTEDGE);
  EXPECT_EQ(r.left, -5);
  EXPECT_EQ(r.top, -48);

  HWND w = top(100, 50, 316, 239, u"Rec", WS_POPUP | WS_VISIBLE);
  SetWindowLongW(w, GWL_STYLE, LONG(WS_OVERLAPPEDWINDOW | WS_VISIBLE));
  SetWindowPos(w, 0, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_FRAMECHANGED);
  HWND c = child(w, 10, 20, 50, 40);
  HWND d = child(c, 5, 5, 10, 10);
  RECT cr;
  GetClientRect(w, &cr);
  EXPECT_EQ(cr.right, 300);
  EXPECT_EQ(cr.bottom, 200);
  POINT p{0, 0};
  MapWindowPoints(d, w, &p, 1);
  EXPECT_EQ(p.x, 15);
  EXPECT_EQ(p.y, 25);
  p = POINT{0, 0};
  ClientToScreen(c, &p);
  EXPECT_EQ(p.x, 100 + 8 + 10);
  EXPECT_EQ(p.y, 50 + 31 + 20);
  EXPECT_EQ(WindowFromPoint(POINT{100 + 8 + 16, 50 + 31 + 26}), d);
  EXPECT_EQ(WindowFromPoint(POINT{100 + 8 + 40, 50 + 31 + 50}), c);
  EXPECT_EQ(WindowFromPoint(POINT{100 + 8 + 200, 50 + 31 + 150}), w);
  EXPECT_EQ(WindowFromPoint(POINT{5, 5}), 0u);
  EXPECT_EQ(ChildWindowFromPointEx(w, POINT{12, 22}, CWP_SKIPINVISIBLE), c);
  ShowWindow(c, SW_HIDE);
  EXPECT_EQ(ChildWindowFromPointEx(w, POINT{12, 22}, CWP_SKIPINVISIBLE), w);
  EXPECT_FALSE(IsWindowVisible(d));  // hidden with its parent
  ShowWindow(c, SW_SHOW);

  // A region limits where the window is hit.
  SetWindowRgn(c, CreateRectRgn(0, 0, 10, 10), 1);
  EXPECT_EQ(WindowFromPoint(POINT{100 + 8 + 40, 50 + 31 + 50}), w);

  // Deferred batches apply together; z-order follows HWND_TOP and HWND_BOTTOM.
  HWND e = child(w, 0, 0, 5, 5);
  EXPECT_EQ(GetWindow(w, GW_CHILD), e);
  HDWP batch = BeginDeferWindowPos(2);
  batch = DeferWindowPos(batch, c, 0, 30, 40, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  batch = DeferWindowPos(batch, e, HWND_BOTTOM, 0, 0, 0, 0, SWP_NOSIZE | SWP_NOMOVE);
  EXPECT_TRUE(EndDeferWindowPos(batch));
  EXPECT_EQ(GetWindow(w, GW_CHILD), c);
  EXPECT_EQ(GetWindow(c, GW_HWNDNEXT), e);
  RECT moved;
  GetWindowRect(c, &moved);
  EXPECT_EQ(moved.left, 100 + 8 + 30);
  EXPECT_EQ(moved.right - moved.left, 50);
}

TEST_F(headless, FocusActivationAndEnable) {
  watched = {WM_ACTIVATE, WM_SETFOCUS, WM_KILLFOCUS};
  HWND a = top(0, 0, 100, 100);
  HWND b = top(200, 0, 100, 100);
  EXPECT_EQ(GetActiveWindow(), b);  // the last one shown
  HWND c = child(a, 0, 0, 20, 20);
  SetFocus(c);
  EXPECT_EQ(GetActiveWindow(), a);
  EXPECT_EQ(GetFocus(), c);
  EnableWindow(a, 0);
  EXPECT_FALSE(IsWindowEnabled(a));
  EXPECT_EQ(GetFocus(), 0u);  // a disabled window gives the focus up
  EnableWindow(a, 1);
  // A click activates its top-level.
  layer::inject_mouse_move(250, 50);
  layer::inject_button(VK_LBUTTON, true);
  layer::inject_button(VK_LBUTTON, false);
  run();
  EXPECT_EQ(GetActiveWindow(), b);
  EXPECT_FALSE(of(WM_KILLFOCUS).empty());
}

TEST_F(headless, CaretsCursorsAndMetrics) {
  HWND h = top(0, 0, 100, 100, u"Red");
  run();
  EXPECT_EQ(GetCaretBlinkTime(), 500u);
  EXPECT_TRUE(CreateCaret(h, 0, 2, 14));
  EXPECT_TRUE(SetCaretPos(7, 9));
  POINT p;
  GetCaretPos(&p);
  EXPECT_EQ(p.x, 7);
  auto at_caret = [h] {
    cairo_surface_t* pic = layer::snapshot(h);
    uint32_t v = pixel(pic, 8, 10);
    cairo_surface_destroy(pic);
    return v;
  };
  EXPECT_EQ(at_caret(), 0xFFFF0000u);  // created hidden
  EXPECT_TRUE(ShowCaret(h));
  EXPECT_EQ(at_caret(), 0xFF00FFFFu);  // inverted in the first half period
  layer::inject_wait(500);
  run();
  EXPECT_EQ(at_caret(), 0xFFFF0000u);
  EXPECT_TRUE(DestroyCaret());

  HIMC ime = ImmGetContext(h);
  COMPOSITIONFORM form{CFS_POINT, POINT{12, 30}, {}};
  EXPECT_TRUE(ImmSetCompositionWindow(ime, &form));
  EXPECT_TRUE(ImmReleaseContext(h, ime));
  HWND where = 0;
  POINT at = layer::ime_point(&where);
  EXPECT_EQ(where, h);
  EXPECT_EQ(at.y, 30);

  HCURSOR arrow = LoadCursorW(0, IDC_ARROW);
  EXPECT_NE(arrow, 0u);
  EXPECT_EQ(LoadCursorW(0, IDC_ARROW), arrow);
  uint32_t pixels[4] = {0xFFFF0000, 0x80000000, 0, 0xFFFFFFFF};
  HICON icon = CreateIconFromPixels(pixels, 2, 2, 1, 1);
  EXPECT_NE(icon, 0u);
  SetCursor(icon);
  EXPECT_EQ(GetCursor(), icon);
  EXPECT_TRUE(DestroyIcon(icon));
  EXPECT_EQ(GetCursor(), 0u);
  EXPECT_FALSE(DestroyIcon(arrow));  // shared system cursors stay

  EXPECT_EQ(GetSystemMetrics(SM_CXVSCROLL), 17);
  EXPECT_EQ(GetSystemMetricsForDpi(SM_CXVSCROLL, 144), 26);
  EXPECT_EQ(GetSysColor(COLOR_WINDOWTEXT), RGB(0, 0, 0));
  EXPECT_EQ(GetSysColor(COLOR_WINDOW), RGB(255, 255, 255));
  EXPECT_EQ(GetSysColor(COLOR_BTNFACE), RGB(240, 240, 240));
  NONCLIENTMETRICSW m;
  ASSERT_TRUE(SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof m, &m, 0, 96));
  EXPECT_EQ(std::u16string(m.lfMessageFont.lfFaceName), u"Segoe UI");
  EXPECT_EQ(m.lfMessageFont.lfHeight, -12);  // 9 pt
  ASSERT_TRUE(SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, sizeof m, &m, 0, 144));
  EXPECT_EQ(m.lfMessageFont.lfHeight, -18);
  EXPECT_FALSE(SystemParametersInfoForDpi(SPI_GETNONCLIENTMETRICS, 100, &m, 0, 96));
}

TEST_F(headless, ChildPaintAndLayeredChildInSnapshot) {
  HWND w = top(0, 0, 100, 100);  // erased to button face
  child(w, 10, 10, 20, 20, u"Red");
  HWND layered = child(w, 50, 50, 20, 20, u"Red", WS_EX_LAYERED);
  SetLayeredWindowAttributes(layered, 0, 128, LWA_ALPHA);
  run();  // paints everything
  cairo_surface_t* pic = layer::snapshot(w);
  EXPECT_EQ(pixel(pic, 5, 5), 0xFFF0F0F0u);
  EXPECT_EQ(pixel(pic, 15, 15), 0xFFFF0000u);
  uint32_t mixed = pixel(pic, 55, 55);
  // Half red over 240.240.240: about 248.120.120.
  EXPECT_NEAR(int(mixed >> 16 & 0xFF), 247, 2);
  EXPECT_NEAR(int(mixed >> 8 & 0xFF), 119, 2);
  cairo_surface_destroy(pic);

  // Per-pixel alpha from a DIB section through UpdateLayeredWindow.
  BITMAPINFO bi{};
  bi.bmiHeader = BITMAPINFOHEADER{sizeof(BITMAPINFOHEADER), 20, -20, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
  void* bits = nullptr;
  HDC mem = CreateCompatibleDC(0);
  HBITMAP dib = CreateDIBSection(mem, &bi, DIB_RGB_COLORS, &bits, 0, 0);
  ASSERT_NE(dib, 0u);
  auto* px = static_cast<uint32_t*>(bits);
  for (int i = 0; i < 400; i++) px[i] = 0x80000080;  // half-transparent blue, premultiplied
  SelectObject(mem, dib);
  BLENDFUNCTION blend{AC_SRC_OVER, 0, 255, AC_SRC_ALPHA};
  SIZE size{20, 20};
  POINT origin{0, 0};
  ASSERT_TRUE(UpdateLayeredWindow(layered, 0, nullptr, &size, mem, &origin, 0, &blend, ULW_ALPHA));
  pic = layer::snapshot(w);
  uint32_t blue = pixel(pic, 55, 55);
  EXPECT_NEAR(int(blue & 0xFF), 248, 2);
  EXPECT_NEAR(int(blue >> 16 & 0xFF), 120, 2);
  cairo_surface_destroy(pic);

  // PrintWindow and BitBlt copy the composed picture.
  HDC copy = CreateCompatibleDC(0);
  HBITMAP bmp = CreateCompatibleBitmap(copy, 100, 100);
  SelectObject(copy, bmp);
  ASSERT_TRUE(PrintWindow(w, copy, 0));
  HDC target = CreateCompatibleDC(0);
  HBITMAP out = CreateCompatibleBitmap(target, 10, 10);
  SelectObject(target, out);
  ASSERT_TRUE(BitBlt(target, 0, 0, 10, 10, copy, 15, 15, SRCCOPY));
  EXPECT_EQ(pixel(layer::dc_surface(target), 0, 0), 0xFFFF0000u);
  BLENDFUNCTION half{AC_SRC_OVER, 0, 128, 0};
  ASSERT_TRUE(AlphaBlend(target, 0, 0, 10, 10, copy, 0, 0, 10, 10, half));
  EXPECT_NEAR(int(pixel(layer::dc_surface(target), 0, 0) >> 8 & 0xFF), 120, 2);
  for (HDC d : {mem, copy, target}) DeleteDC(d);
  for (HBITMAP b : {dib, bmp, out}) DeleteObject(b);
}

TEST_F(headless, PaintingClipsToTheInvalidArea) {
  HWND w = top(0, 0, 50, 50, u"Red");
  run();
  EXPECT_EQ(pixel(layer::window_surface(w), 25, 25), 0xFFFF0000u);
  RECT r;
  EXPECT_FALSE(GetUpdateRect(w, &r, 0));
  // Painting blue into a 10x10 area leaves the rest red.
  struct blue {
    static LRESULT proc(HWND h, UINT m, WPARAM wp, LPARAM lp) {
      if (m != WM_PAINT) return DefWindowProcW(h, m, wp, lp);
      PAINTSTRUCT ps;
      cairo_t* cr = layer::dc_context(BeginPaint(h, &ps));
      EXPECT_EQ(ps.rcPaint.right, 20);
      cairo_set_source_rgb(cr, 0, 0, 1);
      cairo_paint(cr);
      EndPaint(h, &ps);
      return 0;
    }
  };
  SetWindowLongPtrW(w, GWL_WNDPROC, intptr_t(&blue::proc));
  RECT area{10, 10, 20, 20};
  InvalidateRect(w, &area, 0);
  UpdateWindow(w);
  cairo_surface_t* s = layer::window_surface(w);
  EXPECT_EQ(pixel(s, 15, 15), 0xFF0000FFu);
  EXPECT_EQ(pixel(s, 25, 25), 0xFFFF0000u);
}

TEST(headless_monitors, DpiPerMonitorAndDpiChanged) {
  layer::start(layer::mode::headless, {{RECT{0, 0, 1920, 1080}, 96}, {RECT{1920, 0, 4480, 1440}, 144}});
  struct collect {
    static BOOL proc(HMONITOR m, HDC, RECT*, LPARAM data) {
      UINT x, y;
      GetDpiForMonitor(m, MDT_EFFECTIVE_DPI, &x, &y);
      reinterpret_cast<std::vector<UINT>*>(data)->push_back(x);
      return 1;
    }
  };
  std::vector<UINT> dpis;
  EnumDisplayMonitors(0, nullptr, collect::proc, LPARAM(&dpis));
  EXPECT_EQ(dpis, (std::vector<UINT>{96, 144}));
  WNDCLASSEXW cls{sizeof(WNDCLASSEXW), 0, record, 0, 0, 0, 0, 0, 0, nullptr, u"Dpi", 0};
  RegisterClassExW(&cls);
  log.clear();
  watched = {WM_DPICHANGED};
  HWND h = CreateWindowExW(0, u"Dpi", u"", WS_POPUP | WS_VISIBLE, 100, 100, 200, 100, 0, 0, 0, nullptr);
  EXPECT_EQ(GetDpiForWindow(h), 96u);
  SetWindowPos(h, 0, 2000, 100, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(LOWORD(log[0].wparam), 144);
  EXPECT_EQ(GetDpiForWindow(h), 144u);
  RECT r;
  GetWindowRect(h, &r);
  EXPECT_EQ(r.right - r.left, 300);  // DefWindowProc took the suggested size
  MONITORINFO mi{sizeof mi, {}, {}, 0};
  GetMonitorInfoW(MonitorFromWindow(h, MONITOR_DEFAULTTONEAREST), &mi);
  EXPECT_EQ(mi.rcMonitor.left, 1920);
  EXPECT_EQ(mi.dwFlags, 0u);
  layer::stop();

  setenv("KEZ_SCREENS", "800x600@120,800x600+800+0", 1);
  layer::start(layer::mode::headless);
  unsetenv("KEZ_SCREENS");
  EXPECT_EQ(GetSystemMetrics(SM_CMONITORS), 2);
  EXPECT_EQ(GetDpiForSystem(), 120u);
  layer::stop();
  layer::start(layer::mode::headless);
  EXPECT_EQ(GetSystemMetrics(SM_CXSCREEN), 1920);
  EXPECT_EQ(GetSystemMetrics(SM_CYSCREEN), 1080);
  EXPECT_EQ(GetDpiForSystem(), 96u);
  layer::stop();
}

TEST_F(headless, InputScripts) {
  struct row {
    const char* text;
    const char* error;
  } bad[] = {
      {"key nosuch", "line 1: unknown key"},
      {"# c\nmove 1", "line 2: move wants X Y"},
      {"text \"open", "line 1: text wants one quoted string"},
      {"text \"\\u{D800}\"", "line 1: text wants one quoted string"},
      {"wait -5", "line 1: wait wants milliseconds"},
      {"click left extra", "line 1: unknown button"},
      {"fly 1 2", "line 1: unknown item"},
      // Sides and offsets past ±32767, or past any integer, inject nothing.
      {"display 2147483647x10+2147483647+0", "line 1: display wants WxH[+X+Y][@DPI],..."},
      {"display 2147483647x1", "line 1: display wants WxH[+X+Y][@DPI],..."},
      {"display 4294967297x100", "line 1: display wants WxH[+X+Y][@DPI],..."},
      {"display 100x100+32768+0", "line 1: display wants WxH[+X+Y][@DPI],..."},
      {"display 100x100+0+-32768", "line 1: display wants WxH[+X+Y][@DPI],..."},
      {"display 800x600,32768x10", "line 1: display wants WxH[+X+Y][@DPI],..."},
      {"display 800x600@99999999999999999999", "line 1: display wants WxH[+X+Y][@DPI],..."},
      {"display x600", "line 1: display wants WxH[+X+Y][@DPI],..."},
  };
  for (const row& r : bad) {
    std::string error;
    EXPECT_FALSE(layer::load_input_script(r.text, &error)) << r.text;
    EXPECT_EQ(error, r.error);
    EXPECT_FALSE(layer::input_pending());
  }
  std::string path = ::testing::TempDir() + "kez_input.txt";
  std::ofstream(path) << "# typed\ntext \"h\\u{1F600}\"\nkey enter\nkey rctrl down\nkey rctrl up\nmove 10 10\nclick\nwait 40\n";
  setenv("KEZ_INPUT", path.c_str(), 1);
  start();
  unsetenv("KEZ_INPUT");
  watched = {WM_CHAR, WM_LBUTTONDOWN, WM_KEYDOWN};
  HWND h = top(0, 0, 100, 100);
  SetFocus(h);
  run();
  std::vector<WPARAM> chars;
  for (const seen& s : of(WM_CHAR)) chars.push_back(s.wparam);
  EXPECT_EQ(chars, (std::vector<WPARAM>{'h', 0xD83D, 0xDE00, 13}));
  EXPECT_EQ(of(WM_LBUTTONDOWN).size(), 1u);
  EXPECT_TRUE(of(WM_KEYDOWN).back().lparam & (1 << 24));
  EXPECT_EQ(layer::virtual_time(), 40u);
}

TEST_F(headless, GestureGoesToTheTopLevelUnderTheMouseAndIsClosedByDefault) {
  watched = {WM_GESTURE};
  HWND w = top(100, 100, 200, 200);
  HWND c = child(w, 10, 10, 50, 50);
  (void)c;
  layer::inject_mouse_move(120, 120);
  layer::inject_gesture(GID_ZOOM, 0x100000096ull);
  run();
  ASSERT_EQ(of(WM_GESTURE).size(), 1u);
  seen g = of(WM_GESTURE)[0];
  EXPECT_EQ(g.hwnd, w);
  EXPECT_EQ(g.wparam, WPARAM(GID_ZOOM));
  // DefWindowProcW closed the record: it reads no more.
  GESTUREINFO info{};
  info.cbSize = sizeof info;
  EXPECT_FALSE(GetGestureInfo(HGESTUREINFO(g.lparam), &info));
  // Nothing under the mouse: no gesture.
  log.clear();
  layer::inject_mouse_move(1000, 1000);
  layer::inject_gesture(GID_PAN, 1);
  run();
  EXPECT_TRUE(of(WM_GESTURE).empty());
}

LRESULT read_gesture(HWND h, UINT m, WPARAM wp, LPARAM lp) {
  if (m == WM_GESTURE) {
    GESTUREINFO info{};
    info.cbSize = sizeof info;
    EXPECT_TRUE(GetGestureInfo(HGESTUREINFO(lp), &info));
    EXPECT_EQ(info.ullArguments, 0x100000096ull);
    EXPECT_EQ(info.ptsLocation.x, 120);
    EXPECT_EQ(info.ptsLocation.y, 130);
    EXPECT_EQ(info.hwndTarget, h);
    info.cbSize = 4;  // a record of another size is refused
    EXPECT_FALSE(GetGestureInfo(HGESTUREINFO(lp), &info));
  }
  return record(h, m, wp, lp);
}

TEST_F(headless, GestureRecordHoldsItsPlaceAndArgument) {
  watched = {WM_GESTURE};
  HWND w = top(100, 100, 200, 200);
  SetWindowLongPtrW(w, GWL_WNDPROC, intptr_t(&read_gesture));
  layer::inject_mouse_move(120, 130);
  layer::inject_gesture(GID_ZOOM, 0x100000096ull);
  run();
  EXPECT_EQ(of(WM_GESTURE).size(), 1u);
}

TEST_F(headless, CompositionMessagesAndResultAsCharacters) {
  watched = {WM_IME_STARTCOMPOSITION, WM_IME_COMPOSITION, WM_IME_ENDCOMPOSITION, WM_KEYDOWN, WM_IME_CHAR, WM_CHAR,
             WM_IME_SETCONTEXT};
  HWND w = top(0, 0, 100, 100);
  HWND a = child(w, 0, 0, 50, 50), b = child(w, 50, 0, 50, 50);
  SetFocus(a);
  ASSERT_FALSE(of(WM_IME_SETCONTEXT).empty());
  EXPECT_EQ(of(WM_IME_SETCONTEXT).back().hwnd, a);
  EXPECT_EQ(of(WM_IME_SETCONTEXT).back().wparam, 1u);
  layer::inject_ime(layer::ime_step::start);
  layer::inject_ime(layer::ime_step::compose, u"ab");
  layer::inject_ime(layer::ime_step::result, u"xy");
  layer::inject_ime(layer::ime_step::end);
  run();
  ASSERT_EQ(of(WM_KEYDOWN).size(), 1u);
  EXPECT_EQ(of(WM_KEYDOWN)[0].wparam, WPARAM(VK_PROCESSKEY));
  ASSERT_EQ(of(WM_IME_COMPOSITION).size(), 2u);
  EXPECT_EQ(of(WM_IME_COMPOSITION)[0].lparam, LPARAM(GCS_COMPSTR));
  EXPECT_EQ(of(WM_IME_COMPOSITION)[1].lparam, LPARAM(GCS_RESULTSTR));
  ASSERT_EQ(of(WM_CHAR).size(), 2u);
  EXPECT_EQ(of(WM_CHAR)[0].wparam, WPARAM(u'x'));
  EXPECT_EQ(of(WM_CHAR)[1].wparam, WPARAM(u'y'));
  EXPECT_EQ(of(WM_IME_ENDCOMPOSITION).size(), 1u);
  // The strings as the method holds them; a buffer too small is refused.
  char16_t buf[4] = {};
  EXPECT_EQ(ImmGetCompositionStringW(ImmGetContext(a), GCS_RESULTSTR, nullptr, 0), 4);
  EXPECT_EQ(ImmGetCompositionStringW(ImmGetContext(a), GCS_RESULTSTR, buf, 2), -1);
  EXPECT_EQ(ImmGetCompositionStringW(ImmGetContext(a), GCS_RESULTSTR, buf, sizeof buf), 4);
  EXPECT_EQ(std::u16string(buf, 2), u"xy");
  // The composition font is kept per context.
  LOGFONTW lf{};
  const char16_t name[] = u"Serif";
  std::copy(std::begin(name), std::end(name), lf.lfFaceName);
  EXPECT_TRUE(ImmSetCompositionFontW(ImmGetContext(a), &lf));
  EXPECT_EQ(layer::ime_font_name(a), u"Serif");
  EXPECT_EQ(layer::ime_font_name(b), u"");
  // A window without a context gets the result typed, no composition.
  log.clear();
  EXPECT_EQ(ImmAssociateContext(a, 0), a);
  EXPECT_EQ(ImmGetContext(a), 0u);
  layer::inject_ime(layer::ime_step::start);
  layer::inject_ime(layer::ime_step::result, u"z");
  run();
  EXPECT_TRUE(of(WM_IME_STARTCOMPOSITION).empty());
  ASSERT_EQ(of(WM_CHAR).size(), 1u);
  EXPECT_EQ(of(WM_CHAR)[0].wparam, WPARAM(u'z'));
  EXPECT_EQ(ImmAssociateContext(a, a), 0u);
  EXPECT_EQ(ImmGetContext(a), a);
  // Focus moving on: the old window lets its context go.
  log.clear();
  SetFocus(b);
  ASSERT_EQ(of(WM_IME_SETCONTEXT).size(), 2u);
  EXPECT_EQ(of(WM_IME_SETCONTEXT)[0].hwnd, a);
  EXPECT_EQ(of(WM_IME_SETCONTEXT)[0].wparam, 0u);
}

TEST_F(headless, ThemesColoursAndDarkWindows) {
  watched = {WM_THEMECHANGED, WM_DISPLAYCHANGE};
  HWND w = top(0, 0, 100, 100, u"Rec", WS_OVERLAPPEDWINDOW | WS_VISIBLE);
  HWND c = child(w, 0, 0, 50, 50);
  HIGHCONTRASTW hc{sizeof hc, 0, nullptr};
  EXPECT_EQ(GetSysColor(COLOR_BTNFACE), RGB(240, 240, 240));
  EXPECT_FALSE(ShouldAppsUseDarkMode());
  // A window's own dark theme changes its colours only.
  EXPECT_EQ(SetWindowTheme(c, u"DarkMode_Explorer", nullptr), 0);
  EXPECT_EQ(detail::sys_colour(c, COLOR_BTNFACE), RGB(43, 43, 43));
  EXPECT_EQ(detail::sys_colour(w, COLOR_BTNFACE), RGB(240, 240, 240));
  // Only a top-level window has a frame to darken.
  BOOL on = 1, read = 0;
  EXPECT_NE(DwmSetWindowAttribute(c, DWMWA_USE_IMMERSIVE_DARK_MODE, &on, sizeof on), 0);
  EXPECT_EQ(DwmSetWindowAttribute(w, DWMWA_USE_IMMERSIVE_DARK_MODE, &on, sizeof on), 0);
  EXPECT_EQ(DwmGetWindowAttribute(w, DWMWA_USE_IMMERSIVE_DARK_MODE, &read, sizeof read), 0);
  EXPECT_EQ(read, 1);
  EXPECT_EQ(pixel(layer::window_surface(w), 2, 2), 0xFF202020u);
  // The desktop's themes: every top-level hears of it.
  layer::inject_theme(layer::theme::dark);
  run();
  EXPECT_EQ(of(WM_THEMECHANGED).size(), 1u);
  EXPECT_EQ(GetSysColor(COLOR_WINDOW), RGB(32, 32, 32));
  EXPECT_TRUE(ShouldAppsUseDarkMode());
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof hc, &hc, 0));
  EXPECT_EQ(hc.dwFlags, 0u);
  // High contrast wins over a window's dark theme.
  layer::inject_theme(layer::theme::contrast);
  run();
  ASSERT_TRUE(SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof hc, &hc, 0));
  EXPECT_EQ(hc.dwFlags, DWORD(HCF_HIGHCONTRASTON));
  EXPECT_EQ(detail::sys_colour(c, COLOR_BTNFACE), RGB(0, 0, 0));
  EXPECT_EQ(detail::sys_colour(c, COLOR_WINDOWTEXT), RGB(255, 255, 255));
  // The monitors change: the new ones are there, and the top-levels hear.
  layer::inject_display({{RECT{0, 0, 800, 600}, 96}, {RECT{800, 0, 1600, 600}, 192}});
  run();
  ASSERT_EQ(of(WM_DISPLAYCHANGE).size(), 1u);
  EXPECT_EQ(of(WM_DISPLAYCHANGE)[0].lparam, MAKELPARAM(800, 600));
  EXPECT_EQ(GetSystemMetrics(SM_CMONITORS), 2);
}

}  // namespace
}  // namespace kez::win::test
