// The window system on a real X server (ctest runs these under a private
// Xvfb; without DISPLAY they are skipped): what is painted shows on the
// screen, and input made by xdotool arrives as window messages.
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/win/controls.h"
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
  // A little more dispatching once the awaited keys came: nothing else follows.
  void settle_keys() {
    for (int round = 0; round < 20; round++) {
      MSG m;
      while (PeekMessageW(&m, 0, 0, 0, PM_REMOVE)) TranslateMessage(&m), DispatchMessageW(&m);
      usleep(5000);
    }
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

// A console line with shifted and punctuation keys comes as its characters.
TEST_F(x11, XdotoolTypeGivesAConsoleLine) {
  watched = {WM_CHAR};
  HWND h = shown_red();
  SetFocus(h);
  const std::string line = "write %lines.txt mold [1 + 2] * 3 / {x} \"y\" -a_b";
  ASSERT_EQ(system(("xdotool type --delay 5 '" + line + "'").c_str()), 0);
  std::string typed;
  pump_until([&] {
    typed.clear();
    for (const seen& s : log) typed += char(s.wparam);
    return typed.size() >= line.size();
  });
  EXPECT_EQ(typed, line);
}

// What a console needs from a real pointer and keyboard: the wheel both
// ways, a drag, Shift+Insert, Ctrl+C and Up, each with the modifier state of
// its own moment.
struct key_seen {
  UINT msg;
  WPARAM wparam;
  LPARAM lparam;
  bool shift, ctrl;
};
std::vector<key_seen> keys_seen;
LRESULT record_keys(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_KEYDOWN || msg == WM_CHAR)
    keys_seen.push_back(key_seen{msg, wparam, lparam, GetKeyState(VK_SHIFT) < 0, GetKeyState(VK_CONTROL) < 0});
  return record(hwnd, msg, wparam, lparam);
}

TEST_F(x11, XdotoolWheelDragAndEditingKeys) {
  WNDCLASSEXW cls{sizeof(WNDCLASSEXW), 0, record_keys, 0, 0, 0, 0, 0, HBRUSH(COLOR_BTNFACE + 1), nullptr, u"Keys", 0};
  ASSERT_NE(RegisterClassExW(&cls), 0);
  keys_seen.clear();
  watched = {WM_MOUSEWHEEL, WM_LBUTTONDOWN, WM_MOUSEMOVE, WM_LBUTTONUP};
  HWND h = top(100, 100, 300, 200, u"Keys");
  SetForegroundWindow(h);
  SetFocus(h);
  UpdateWindow(h);
  ASSERT_EQ(system("xdotool mousemove 150 150 click 4 click 5 mousedown 1 mousemove 200 160 mousemove 250 170 mouseup 1"
                   " key shift+Insert ctrl+c Up"),
            0);
  ASSERT_TRUE(pump_until([] {
    return std::any_of(keys_seen.begin(), keys_seen.end(), [](const key_seen& k) { return k.wparam == VK_UP; });
  }));
  auto wheels = of(WM_MOUSEWHEEL);
  ASSERT_EQ(wheels.size(), 2u);
  EXPECT_EQ(int16_t(HIWORD(wheels[0].wparam)), 120);
  EXPECT_EQ(int16_t(HIWORD(wheels[1].wparam)), -120);
  EXPECT_EQ(wheels[0].hwnd, h);
  // The drag: moves with the left button held between its down and up.
  size_t down = log.size(), up = log.size();
  for (size_t i = 0; i < log.size(); i++) {
    if (log[i].msg == WM_LBUTTONDOWN && down == log.size()) down = i;
    if (log[i].msg == WM_LBUTTONUP) up = i;
  }
  ASSERT_LT(down, up);
  EXPECT_EQ(GET_X_LPARAM(log[down].lparam), 50);
  EXPECT_EQ(GET_X_LPARAM(log[up].lparam), 150);
  EXPECT_EQ(GET_Y_LPARAM(log[up].lparam), 70);
  int held_moves = 0;
  for (size_t i = down + 1; i < up; i++)
    if (log[i].msg == WM_MOUSEMOVE && (log[i].wparam & MK_LBUTTON)) held_moves++;
  EXPECT_GE(held_moves, 2);
  // The keys: Insert with Shift held, C with Ctrl held (and its control
  // character), Up as an extended key with neither.
  auto find = [](UINT msg, WPARAM w) {
    for (const key_seen& k : keys_seen)
      if (k.msg == msg && k.wparam == w) return k;
    return key_seen{0, 0, 0, false, false};
  };
  key_seen insert = find(WM_KEYDOWN, VK_INSERT), c = find(WM_KEYDOWN, 'C'), ctrl_c = find(WM_CHAR, 3),
           arrow = find(WM_KEYDOWN, VK_UP);
  EXPECT_TRUE(insert.msg && insert.shift && !insert.ctrl);
  EXPECT_TRUE(c.msg && c.ctrl && !c.shift);
  EXPECT_TRUE(ctrl_c.msg);
  EXPECT_TRUE(arrow.msg && !arrow.shift && !arrow.ctrl);
  EXPECT_TRUE(arrow.lparam & (1 << 24));
  for (const key_seen& k : keys_seen) EXPECT_FALSE(k.msg == WM_CHAR && k.wparam != 3) << k.wparam;
}

// A menu bar opened by a click of the real pointer, and an item of its
// popup (a window of its own on the screen) chosen by a second click.
TEST_F(x11, XdotoolClicksThroughAMenuBar) {
  watched = {WM_COMMAND};
  HWND w = CreateWindowExW(0, u"Rec", u"menus", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 100, 100, 400, 300, 0, 0, 0, nullptr);
  HMENU bar = CreateMenu(), file = CreatePopupMenu();
  const char16_t* names[] = {u"&new", u"&quit"};
  for (UINT i = 0; i < 2; i++) {
    MENUITEMINFOW item{sizeof item, MIIM_STRING | MIIM_ID, MFT_STRING, 0, 10 + i, 0, 0, 0, 0,
                       const_cast<WCHAR*>(names[i]), 5, 0};
    InsertMenuItemW(file, i, TRUE, &item);
  }
  MENUITEMINFOW top_item{sizeof top_item, MIIM_STRING | MIIM_SUBMENU, MFT_STRING, 0, 0, file, 0, 0, 0,
                         const_cast<WCHAR*>(u"&File"), 5, 0};
  InsertMenuItemW(bar, 0, TRUE, &top_item);
  ASSERT_TRUE(SetMenu(w, bar));
  SetForegroundWindow(w);
  UpdateWindow(w);
  POINT origin{0, 0};
  ClientToScreen(w, &origin);
  // The second click waits until the popup is on the screen; the menu's
  // own loop runs meanwhile, inside the dispatch of the first click.
  std::string script = "(xdotool mousemove " + std::to_string(origin.x + 10) + " " + std::to_string(origin.y - 10) +
                       " click 1 && sleep 0.5 && xdotool mousemove " + std::to_string(origin.x + 30) + " " +
                       std::to_string(origin.y + 1 + 2 + 22 + 11) + " click 1) >/dev/null 2>&1 &";
  ASSERT_EQ(system(script.c_str()), 0);
  // Should the clicks go astray, Escape closes the menu rather than leave it waiting.
  SetTimer(0, 0, 10000, [](HWND, UINT, UINT_PTR, DWORD) {
    layer::inject_key(VK_ESCAPE, true);
    layer::inject_key(VK_ESCAPE, false);
  });
  ASSERT_TRUE(pump_until([] { return !of_all(WM_COMMAND).empty(); }));
  auto commands = of(WM_COMMAND);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].wparam, 11u);
  EXPECT_EQ(commands[0].hwnd, w);
}

// An open dialog on the screen: shown in a screenshot taken while it runs,
// and a name typed by xdotool, then Return, is the path it answers.
TEST_F(x11, OpenDialogShowsAndTakesATypedName) {
  char dir_template[] = "/tmp/kez-dialog-XXXXXX";
  ASSERT_NE(mkdtemp(dir_template), nullptr);
  std::string dir = dir_template, shot = dir + "/shot.xwd";
  std::string script = "(xdotool search --sync --name 'Pick a file' >/dev/null && sleep 0.5 && xwd -root -silent > " +
                       shot + ".part && mv " + shot + ".part " + shot +
                       " && xdotool type --delay 20 notes.txt && xdotool key Return) >/dev/null 2>&1 &";
  ASSERT_EQ(system(script.c_str()), 0);
  // Should the script go wrong, the dialog is closed rather than left waiting.
  SetTimer(0, 0, 30000, [](HWND, UINT, UINT_PTR, DWORD) {
    if (HWND d = layer::modal_window()) PostMessageW(d, WM_CLOSE, 0, 0);
  });
  std::u16string initial;
  for (char c : dir) initial += char16_t(c);
  WCHAR buffer[512] = {};
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.lpstrFile = buffer;
  ofn.nMaxFile = 512;
  ofn.lpstrInitialDir = initial.c_str();
  ofn.lpstrTitle = u"Pick a file";
  ASSERT_TRUE(GetOpenFileNameW(&ofn));
  EXPECT_EQ(std::u16string(buffer), initial + u"/notes.txt");
  // The dialog's face, where the screenshot has the dialog: centred on the screen.
  RECT frame{0, 0, 480, 330};
  AdjustWindowRectEx(&frame, WS_POPUP | WS_CAPTION | WS_SYSMENU, FALSE, 0);
  int left = (GetSystemMetrics(SM_CXSCREEN) - (frame.right - frame.left)) / 2 - frame.left;
  int top = (GetSystemMetrics(SM_CYSCREEN) - (frame.bottom - frame.top)) / 2 - frame.top;
  std::string png = output_of(("convert xwd:" + shot + " png:-").c_str());
  png_reader r{&png, 0};
  cairo_surface_t* s = cairo_image_surface_create_from_png_stream(png_reader::read, &r);
  ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
  EXPECT_EQ(pixel(s, left + 5, top + 300) & 0xFFFFFF, 0xF0F0F0u);   // the dialog's background
  EXPECT_EQ(pixel(s, left + 100, top + 100) & 0xFFFFFF, 0xFFFFFFu);  // inside its file list
  cairo_surface_destroy(s);
  system(("rm -rf " + dir).c_str());
}

// Painting: only what changed is composed and pushed, and no more often
// than once a display frame; what the layer did is counted, never timed.
class x11_paint : public x11 {
 protected:
  // Dispatches for a while so that what is due has gone out.
  void settle() {
    for (int round = 0; round < 20; round++) {
      MSG m;
      while (PeekMessageW(&m, 0, 0, 0, PM_REMOVE)) TranslateMessage(&m), DispatchMessageW(&m);
      usleep(5000);
    }
  }
  static bool inside(const RECT& in, const RECT& out) {
    return in.left >= out.left && in.top >= out.top && in.right <= out.right && in.bottom <= out.bottom &&
           in.right > in.left && in.bottom > in.top;
  }
};

TEST_F(x11_paint, AWindowWithNothingDamagedPresentsNothing) {
  HWND h = shown_red();
  ASSERT_TRUE(pump_until([h] { return layer::x11_counts_of(h).presents > 0; }));
  settle();
  layer::x11_counts before = layer::x11_counts_of(h);
  settle();
  settle();
  layer::x11_counts after = layer::x11_counts_of(h);
  EXPECT_EQ(after.presents, before.presents);
  EXPECT_EQ(after.uploads, before.uploads);
}

TEST_F(x11_paint, InvalidationsBeforeAPresentGoOutAsOneOfTheirUnion) {
  HWND h = shown_red();
  ASSERT_TRUE(pump_until([h] { return layer::x11_counts_of(h).presents > 0; }));
  settle();
  layer::x11_counts before = layer::x11_counts_of(h);
  RECT a{10, 10, 30, 20}, b{50, 40, 60, 70};
  InvalidateRect(h, &a, TRUE);
  InvalidateRect(h, &b, TRUE);
  settle();
  layer::x11_counts after = layer::x11_counts_of(h);
  EXPECT_EQ(after.presents, before.presents + 1);
  // The popup has no frame: client and X window coordinates agree.
  EXPECT_EQ(after.last.left, 10);
  EXPECT_EQ(after.last.top, 10);
  EXPECT_EQ(after.last.right, 60);
  EXPECT_EQ(after.last.bottom, 70);
  EXPECT_EQ(after.pixels - before.pixels, uint64_t(20 * 10 + 10 * 30));  // the two rectangles, not their box
}

// A window painted again whole sends the server only the pixels that
// changed: nothing when it looks the same, the box around a change else.
TEST_F(x11_paint, APaintSendsOnlyThePixelsThatChanged) {
  HWND h = shown_red();
  ASSERT_TRUE(pump_until([h] { return layer::x11_counts_of(h).presents > 0; }));
  settle();
  layer::x11_counts before = layer::x11_counts_of(h);
  InvalidateRect(h, nullptr, TRUE);
  ASSERT_TRUE(pump_until([&] { return layer::x11_counts_of(h).presents > before.presents; }));
  settle();
  layer::x11_counts after = layer::x11_counts_of(h);
  EXPECT_EQ(after.presents, before.presents + 1);
  EXPECT_EQ(after.pixels - before.pixels, uint64_t(200 * 150));
  EXPECT_EQ(after.sent, before.sent);

  // A small child shown: the whole window presented, its place sent.
  HWND edit = CreateWindowExW(0, u"EDIT", u"x", WS_CHILD | WS_BORDER, 20, 30, 60, 24, h, 0, 0, nullptr);
  settle();
  before = layer::x11_counts_of(h);
  ShowWindow(edit, SW_SHOW);
  InvalidateRect(h, nullptr, TRUE);
  ASSERT_TRUE(pump_until([&] { return layer::x11_counts_of(h).sent > before.sent; }));
  settle();
  after = layer::x11_counts_of(h);
  EXPECT_GT(after.sent, before.sent);
  EXPECT_LE(after.sent - before.sent, uint64_t(60 * 24));
  // What was sent is what changed: on the screen the field shows, white
  // inside the red window.
  std::string png = output_of("xwd -root -silent | convert xwd:- png:-");
  png_reader r{&png, 0};
  cairo_surface_t* s = cairo_image_surface_create_from_png_stream(png_reader::read, &r);
  ASSERT_EQ(cairo_surface_status(s), CAIRO_STATUS_SUCCESS);
  EXPECT_EQ(pixel(s, 100 + 60, 100 + 42) & 0xFFFFFF, 0xFFFFFFu);
  EXPECT_EQ(pixel(s, 100 + 150, 100 + 100) & 0xFFFFFF, 0xFF0000u);
  cairo_surface_destroy(s);
}

TEST_F(x11_paint, APictureIsMadeOnceAndAgainOnlyForANewSize) {
  HWND h = shown_red();
  ASSERT_TRUE(pump_until([h] { return layer::x11_counts_of(h).presents > 0; }));
  for (int i = 0; i < 5; i++) {
    InvalidateRect(h, nullptr, TRUE);
    UpdateWindow(h);
    settle();
  }
  EXPECT_EQ(layer::x11_counts_of(h).pictures, 1);
  SetWindowPos(h, 0, 120, 130, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
  settle();
  EXPECT_EQ(layer::x11_counts_of(h).pictures, 1);
  SetWindowPos(h, 0, 0, 0, 260, 170, SWP_NOMOVE | SWP_NOZORDER);
  ASSERT_TRUE(pump_until([h] { return layer::x11_counts_of(h).pictures == 2; }));
  settle();
  EXPECT_EQ(layer::x11_counts_of(h).pictures, 2);
}

TEST_F(x11_paint, ACaretBlinkPresentsTheCaretOnly) {
  HWND h = shown_red();
  ASSERT_TRUE(pump_until([h] { return layer::x11_counts_of(h).presents > 0; }));
  CreateCaret(h, 0, 2, 16);
  SetCaretPos(30, 40);
  ShowCaret(h);
  settle();
  layer::x11_counts before = layer::x11_counts_of(h);
  // Two more blinks: each pushes the caret's rectangle and nothing else.
  ASSERT_TRUE(pump_until([&] { return layer::x11_counts_of(h).presents >= before.presents + 2; }));
  layer::x11_counts after = layer::x11_counts_of(h);
  EXPECT_EQ(after.last.left, 30);
  EXPECT_EQ(after.last.top, 40);
  EXPECT_EQ(after.last.right, 32);
  EXPECT_EQ(after.last.bottom, 56);
  EXPECT_EQ(after.pixels - before.pixels, uint64_t(after.presents - before.presents) * 2 * 16);
  DestroyCaret();
}

TEST_F(x11_paint, TypingIntoAFieldPresentsInsideTheField) {
  HWND h = shown_red();
  HWND edit = CreateWindowExW(0, u"EDIT", u"", WS_CHILD | WS_VISIBLE | WS_BORDER, 20, 30, 120, 24, h, 0, 0, nullptr);
  SetFocus(edit);
  ASSERT_TRUE(pump_until([h] { return layer::x11_counts_of(h).presents > 0; }));
  settle();
  layer::x11_counts before = layer::x11_counts_of(h);
  ASSERT_EQ(system("xdotool type x"), 0);
  ASSERT_TRUE(pump_until([edit] { return GetWindowTextLengthW(edit) == 1; }));
  settle();
  layer::x11_counts after = layer::x11_counts_of(h);
  EXPECT_GT(after.presents, before.presents);
  EXPECT_TRUE(inside(after.last, RECT{20, 30, 140, 54}))
      << after.last.left << "," << after.last.top << " " << after.last.right << "," << after.last.bottom;
  // Far less than the window: the field's pixels at most, once each present.
  EXPECT_LE(after.pixels - before.pixels, uint64_t(after.presents - before.presents) * 120 * 24);
}

// The input method's spot (where it shows what is being composed) follows
// an edit control's caret as text is typed; a composition window placed by
// the program, as the console places it at its caret face, takes over.
TEST_F(x11_paint, TheInputMethodSpotFollowsTheCaret) {
  HWND h = shown_red();
  HWND edit = CreateWindowExW(0, u"EDIT", u"", WS_CHILD | WS_VISIBLE | WS_BORDER, 20, 30, 120, 24, h, 0, 0, nullptr);
  SetFocus(edit);
  ASSERT_TRUE(pump_until([h] { return layer::x11_counts_of(h).presents > 0; }));
  POINT empty = layer::x11_counts_of(h).spot;
  EXPECT_TRUE(empty.x >= 20 && empty.x < 40 && empty.y > 30 && empty.y <= 54) << empty.x << "," << empty.y;
  ASSERT_EQ(system("xdotool type abc"), 0);
  ASSERT_TRUE(pump_until([edit] { return GetWindowTextLengthW(edit) == 3; }));
  POINT typed = layer::x11_counts_of(h).spot;
  POINT caret{};
  GetCaretPos(&caret);
  EXPECT_GT(typed.x, empty.x + 10);
  EXPECT_EQ(typed.y, empty.y);
  // The caret's foot, in the X window (the popup has no frame).
  POINT at = caret;
  ClientToScreen(edit, &at);
  POINT corner{0, 0};
  ClientToScreen(h, &corner);
  EXPECT_EQ(typed.x, at.x - corner.x);

  COMPOSITIONFORM form{CFS_POINT, POINT{5, 2}, RECT{}};
  HIMC context = ImmGetContext(edit);
  ImmSetCompositionWindow(context, &form);
  POINT placed = layer::x11_counts_of(h).spot;
  EXPECT_EQ(placed.x, at.x - corner.x - caret.x + 5);
  ASSERT_EQ(system("xdotool type d"), 0);
  ASSERT_TRUE(pump_until([edit] { return GetWindowTextLengthW(edit) == 4; }));
  EXPECT_EQ(layer::x11_counts_of(h).spot.x, placed.x);
  ImmReleaseContext(edit, context);
}

// Keyboard text through the X input method, on the layouts people use: each
// case is the keys pressed and the characters and key-downs they give.
struct typed_case {
  const char* layout;  // setxkbmap arguments
  const char* keys;    // xdotool arguments
  std::u16string chars;
  UINT first_vk;  // the first key-down's virtual key
  bool ctrl;      // the characters come with Ctrl held
};

TEST_F(x11, KeysOfEveryLayoutGiveTheirCharacters) {
  const typed_case cases[] = {
      {"us", "key a", u"a", 'A', false},
      {"us intl", "key dead_acute e", u"\u00e9", VK_PROCESSKEY, false},
      {"us -option compose:ralt", "key Multi_key e apostrophe", u"\u00e9", VK_PROCESSKEY, false},
      {"de", "key ISO_Level3_Shift+q", u"@", 'Q', false},
      {"de", "key udiaeresis", u"\u00fc", 0, false},
      {"de", "key ISO_Level3_Shift+e", u"\u20ac", 'E', false},
      {"ru", "key ctrl+Cyrillic_ef", u"\x01", 'A', true},
      {"us", "key U1F600", u"\U0001F600", 0, false},
  };
  for (const typed_case& c : cases) {
    SCOPED_TRACE(std::string(c.layout) + ": " + c.keys);
    start(layer::mode::x11);
    // A character beyond U+FFFF on a key of its own, as a layout or xmodmap gives it.
    ASSERT_EQ(system(("setxkbmap -option; setxkbmap " + std::string(c.layout) + " && xmodmap -e 'keycode 8 = U1F600'").c_str()), 0);
    keys_seen.clear();
    WNDCLASSEXW cls{sizeof(WNDCLASSEXW), 0, record_keys, 0, 0, 0, 0, 0, HBRUSH(COLOR_BTNFACE + 1), nullptr, u"Keys", 0};
    RegisterClassExW(&cls);
    HWND h = top(100, 100, 300, 200, u"Keys");
    SetForegroundWindow(h);
    SetFocus(h);
    UpdateWindow(h);
    ASSERT_EQ(system(("xdotool " + std::string(c.keys)).c_str()), 0);
    std::u16string chars;
    pump_until([&] {
      chars.clear();
      for (const key_seen& k : keys_seen)
        if (k.msg == WM_CHAR) chars += char16_t(k.wparam);
      return chars.size() >= c.chars.size();
    });
    settle_keys();
    chars.clear();
    std::vector<UINT> downs;
    for (const key_seen& k : keys_seen) {
      if (k.msg == WM_CHAR) {
        chars += char16_t(k.wparam);
        EXPECT_EQ(k.ctrl, c.ctrl);
      }
      if (k.msg == WM_KEYDOWN && k.wparam != VK_SHIFT && k.wparam != VK_CONTROL) downs.push_back(UINT(k.wparam));
    }
    EXPECT_EQ(chars, c.chars);
    if (c.first_vk) {
      ASSERT_FALSE(downs.empty());
      EXPECT_EQ(downs.front(), c.first_vk);
    }
    // No key-down stands for a character of its own (the old packets).
    for (UINT vk : downs) EXPECT_NE(vk, UINT(VK_PACKET));
  }
  system("setxkbmap -option; setxkbmap us");
}

}  // namespace
}  // namespace kez::win::test
