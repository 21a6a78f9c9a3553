// Our own controls, menus and dialogs without a display, driven by
// injected input and scripted answers: what the parent hears and what
// the controls answer.
#include <cstring>
#include <string>

#include "platform/win/controls.h"
#include "tests/unit/win_fixture.h"

namespace kez::win::test {
namespace {

// What a parent heard from its controls.
struct heard {
  UINT msg;
  WPARAM wparam;
  LPARAM lparam;
  UINT code = 0;  // WM_NOTIFY
  HWND from = 0;
  SYSTEMTIME date{};
  DWORD stage = 0;
};
std::vector<heard> heard_log;
LRESULT refuse_tab_change = 0;
LRESULT custom_draw_answer = 0;
COLORREF static_back = 0xFFFFFFFF;  // answered to WM_CTLCOLORSTATIC when set
COLORREF other_back = 0xFFFFFFFF;   // answered to the other WM_CTLCOLOR* messages when set

LRESULT parent_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
  case WM_COMMAND:
  case WM_VSCROLL:
  case WM_HSCROLL:
  case WM_MENUSELECT: heard_log.push_back(heard{msg, wp, lp}); return 0;
  case WM_NOTIFY: {
    auto* n = reinterpret_cast<NMHDR*>(lp);
    heard e{msg, wp, lp, n->code, n->hwndFrom};
    if (n->code == MCN_SELCHANGE) e.date = reinterpret_cast<NMSELCHANGE*>(lp)->stSelStart;
    if (n->code == NM_CUSTOMDRAW) e.stage = reinterpret_cast<NMCUSTOMDRAW*>(lp)->dwDrawStage;
    heard_log.push_back(e);
    if (n->code == TCN_SELCHANGING) return refuse_tab_change;
    if (n->code == NM_CUSTOMDRAW && custom_draw_answer == CDRF_SKIPDEFAULT) {
      // The parent draws the text itself, in red, as the backend does for a font colour.
      auto* cd = reinterpret_cast<NMCUSTOMDRAW*>(lp);
      SetBkMode(cd->hdc, TRANSPARENT_BK);
      SetTextColor(cd->hdc, RGB(255, 0, 0));
      RECT r = cd->rc;
      DrawTextW(cd->hdc, u"Mine", -1, &r, DT_CENTER | DT_VCENTER | DT_SINGLELINE);
    }
    if (n->code == NM_CUSTOMDRAW) return custom_draw_answer;
    return 0;
  }
  case WM_CTLCOLOREDIT:
  case WM_CTLCOLORLISTBOX:
  case WM_CTLCOLORBTN:
  case WM_CTLCOLORSCROLLBAR:
  case WM_CTLCOLORSTATIC: {
    heard_log.push_back(heard{msg, wp, lp});
    COLORREF back = msg == WM_CTLCOLORSTATIC ? static_back : other_back;
    if (back == 0xFFFFFFFF) break;
    SetBkColor(HDC(wp), back);
    SetDCBrushColor(HDC(wp), back);
    return LRESULT(GetStockObject(DC_BRUSH));
  }
  }
  return DefWindowProcW(h, msg, wp, lp);
}

class controls : public window_system {
 protected:
  void SetUp() override {
    start();
    heard_log.clear();
    refuse_tab_change = 0, custom_draw_answer = 0, static_back = other_back = 0xFFFFFFFF;
    WNDCLASSEXW cls{sizeof cls, 0, parent_proc, 0, 80, 0, 0, 0, HBRUSH(COLOR_BTNFACE + 1), nullptr, u"Parent", 0};
    ASSERT_NE(RegisterClassExW(&cls), 0);
    parent = CreateWindowExW(0, u"Parent", u"", WS_POPUP | WS_VISIBLE, 0, 0, 600, 400, 0, 0, 0, nullptr);
    ASSERT_NE(parent, 0u);
  }
  HWND make(const char16_t* cls, const char16_t* text, DWORD style, int x, int y, int w, int h, int id = 1) {
    return CreateWindowExW(0, cls, text, WS_CHILD | WS_VISIBLE | style, x, y, w, h, parent, HMENU(intptr_t(id)), 0,
                           nullptr);
  }
  // A left click at a screen point, then the loop until the input is used up.
  void click(int x, int y) {
    layer::inject_mouse_move(x, y);
    layer::inject_button(VK_LBUTTON, true);
    layer::inject_button(VK_LBUTTON, false);
    run();
  }
  void click_in(HWND h, const RECT& r) {
    POINT p{(r.left + r.right) / 2, (r.top + r.bottom) / 2};
    ClientToScreen(h, &p);
    click(p.x, p.y);
  }
  std::vector<heard> heard_of(UINT msg) {
    std::vector<heard> out;
    for (const heard& e : heard_log)
      if (e.msg == msg) out.push_back(e);
    return out;
  }
  static std::u16string text_of(HWND h) {
    std::u16string t(size_t(GetWindowTextLengthW(h)) + 1, u'\0');
    t.resize(size_t(GetWindowTextW(h, t.data(), int(t.size()))));
    return t;
  }
  HWND parent = 0;
};

// The colour of a pixel of a top-level window's picture, as 0xRRGGBB.
uint32_t picture_pixel(HWND top, int x, int y) {
  cairo_surface_t* s = layer::snapshot(top);
  uint32_t p = pixel(s, x, y) & 0xFFFFFF;
  cairo_surface_destroy(s);
  return p;
}

TEST_F(controls, ThreeStateCheckCyclesWithOneClickedEach) {
  HWND check = make(u"BUTTON", u"three", BS_AUTO3STATE, 10, 10, 120, 20, 7);
  for (WPARAM expected : {BST_CHECKED, BST_INDETERMINATE, BST_UNCHECKED}) {
    heard_log.clear();
    click(20, 20);
    EXPECT_EQ(SendMessageW(check, BM_GETCHECK, 0, 0), LRESULT(expected));
    auto commands = heard_of(WM_COMMAND);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].wparam, MAKEWPARAM(7, BN_CLICKED));
    EXPECT_EQ(HWND(commands[0].lparam), check);
  }
  // Setting the state is no click; a two-state box takes no third state.
  heard_log.clear();
  SendMessageW(check, BM_SETCHECK, BST_INDETERMINATE, 0);
  EXPECT_EQ(SendMessageW(check, BM_GETCHECK, 0, 0), LRESULT(BST_INDETERMINATE));
  HWND two = make(u"BUTTON", u"two", BS_AUTOCHECKBOX, 10, 40, 120, 20, 8);
  SendMessageW(two, BM_SETCHECK, BST_INDETERMINATE, 0);
  EXPECT_EQ(SendMessageW(two, BM_GETCHECK, 0, 0), LRESULT(BST_CHECKED));
  EXPECT_TRUE(heard_of(WM_COMMAND).empty());
}

TEST_F(controls, AutoRadioUnchecksItsGroupOnly) {
  HWND a = make(u"BUTTON", u"a", BS_AUTORADIOBUTTON | WS_GROUP, 10, 10, 100, 20, 1);
  HWND b = make(u"BUTTON", u"b", BS_AUTORADIOBUTTON, 10, 40, 100, 20, 2);
  HWND c = make(u"BUTTON", u"c", BS_AUTORADIOBUTTON | WS_GROUP, 10, 70, 100, 20, 3);
  SendMessageW(a, BM_SETCHECK, BST_CHECKED, 0);
  SendMessageW(c, BM_SETCHECK, BST_CHECKED, 0);
  click(20, 50);
  EXPECT_EQ(SendMessageW(a, BM_GETCHECK, 0, 0), LRESULT(BST_UNCHECKED));
  EXPECT_EQ(SendMessageW(b, BM_GETCHECK, 0, 0), LRESULT(BST_CHECKED));
  EXPECT_EQ(SendMessageW(c, BM_GETCHECK, 0, 0), LRESULT(BST_CHECKED));  // another group
}

// A character beyond U+FFFF arrives as two WM_CHAR halves back to back: the
// field never holds half of it, and tells of one change.
TEST_F(controls, EditTakesAPairOfHalvesAsOneCharacter) {
  HWND field = make(u"EDIT", u"a", ES_AUTOHSCROLL, 10, 10, 200, 23, 3);
  SetFocus(field);
  SendMessageW(field, EM_SETSEL, 1, 1);
  heard_log.clear();
  SendMessageW(field, WM_CHAR, 0xD83D, 0);
  EXPECT_EQ(text_of(field), u"a");
  EXPECT_TRUE(heard_of(WM_COMMAND).empty());
  SendMessageW(field, WM_CHAR, 0xDE00, 0);
  EXPECT_EQ(text_of(field), u"a\U0001F600");
  int changes = 0;
  for (const heard& e : heard_of(WM_COMMAND)) changes += e.wparam == MAKEWPARAM(3, EN_CHANGE);
  EXPECT_EQ(changes, 1);
  // A lone half, either one, inserts nothing.
  SendMessageW(field, WM_CHAR, 0xDE00, 0);
  SendMessageW(field, WM_CHAR, 0xD83D, 0);
  SendMessageW(field, WM_CHAR, 'b', 0);
  EXPECT_EQ(text_of(field), u"a\U0001F600b");
}

TEST_F(controls, EditLimitChangeNoticesAndSelections) {
  HWND single = make(u"EDIT", u"", ES_AUTOHSCROLL, 10, 10, 200, 23, 3);
  HWND multi = make(u"EDIT", u"", ES_MULTILINE | ES_AUTOVSCROLL, 10, 50, 200, 100, 4);
  SendMessageW(single, EM_LIMITTEXT, 2, 0);
  SetFocus(single);
  layer::inject_text(U"abc");
  run();
  EXPECT_EQ(text_of(single), u"ab");
  int changes = 0, maxed = 0;
  for (const heard& e : heard_of(WM_COMMAND)) {
    changes += e.wparam == MAKEWPARAM(3, EN_CHANGE);
    maxed += e.wparam == MAKEWPARAM(3, EN_MAXTEXT);
  }
  EXPECT_EQ(changes, 2);
  EXPECT_EQ(maxed, 1);
  // WM_SETTEXT: EN_CHANGE from a single-line edit, none from a multi-line one.
  heard_log.clear();
  SetWindowTextW(single, u"xyz");
  SetWindowTextW(multi, u"a\r\nb");
  auto commands = heard_of(WM_COMMAND);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].wparam, MAKEWPARAM(3, EN_CHANGE));
  EXPECT_EQ(text_of(single), u"xyz");  // the limit holds the user, not the program
  // Select-all, typed as Ctrl+A: the line break counts as two positions.
  SetFocus(multi);
  layer::inject_key(VK_CONTROL, true);
  layer::inject_key('A', true);
  layer::inject_key('A', false);
  layer::inject_key(VK_CONTROL, false);
  run();
  DWORD from = 9, to = 9;
  LRESULT both = SendMessageW(multi, EM_GETSEL, WPARAM(&from), LPARAM(&to));
  EXPECT_EQ(from, 0u);
  EXPECT_EQ(to, 4u);
  EXPECT_EQ(both, MAKELPARAM(0, 4));
  // Enter in a multi-line edit is a CR LF; in a single-line one, nothing.
  SendMessageW(multi, EM_SETSEL, 4, 4);
  layer::inject_key(VK_RETURN, true);
  layer::inject_key(VK_RETURN, false);
  layer::inject_text(U"c");
  run();
  EXPECT_EQ(text_of(multi), u"a\r\nb\r\nc");
  EXPECT_EQ(SendMessageW(multi, EM_GETLINECOUNT, 0, 0), 3);
  // A multi-line edit holds no more than its limit, however the text comes.
  SendMessageW(multi, EM_LIMITTEXT, 3, 0);
  EXPECT_EQ(SendMessageW(multi, EM_GETLIMITTEXT, 0, 0), 3);
  SetWindowTextW(multi, u"abcdef");
  EXPECT_EQ(text_of(multi), u"abc");
}

TEST_F(controls, EditCopyAndPasteThroughTheClipboard) {
  HWND from = make(u"EDIT", u"", ES_MULTILINE, 10, 10, 200, 60, 1);
  HWND to = make(u"EDIT", u"", ES_AUTOHSCROLL, 10, 100, 200, 23, 2);
  HWND secret = make(u"EDIT", u"hidden", ES_PASSWORD | ES_AUTOHSCROLL, 10, 140, 200, 23, 3);
  auto ctrl = [](UINT vk) {
    layer::inject_key(VK_CONTROL, true);
    layer::inject_key(vk, true);
    layer::inject_key(vk, false);
    layer::inject_key(VK_CONTROL, false);
  };
  SetWindowTextW(from, u"one\r\ntwo");
  SetFocus(from);
  ctrl('A');
  ctrl('C');
  run();
  SetFocus(to);
  ctrl('V');  // a single line takes the first line
  run();
  EXPECT_EQ(text_of(to), u"one");
  SetWindowTextW(from, u"");
  SetFocus(from);
  ctrl('V');  // the line break comes back as CR LF
  run();
  EXPECT_EQ(text_of(from), u"one\r\ntwo");
  // A password is never copied.
  SetFocus(secret);
  ctrl('A');
  ctrl('C');
  run();
  SetWindowTextW(to, u"");
  SetFocus(to);
  ctrl('V');
  run();
  EXPECT_EQ(text_of(to), u"one");
}

TEST_F(controls, MultiLineEditScrollsWithItsBar) {
  HWND area = make(u"EDIT", u"", ES_MULTILINE | ES_AUTOVSCROLL | WS_VSCROLL, 10, 10, 200, 100, 4);
  std::u16string text;
  for (int i = 0; i < 30; i++) text += u"line\r\n";
  SetWindowTextW(area, text.c_str());
  SCROLLINFO si{sizeof si, SIF_ALL, 0, 0, 0, 0, 0};
  ASSERT_TRUE(GetScrollInfo(area, SB_VERT, &si));
  EXPECT_EQ(si.nMax, 30);  // 31 lines, the last one empty
  EXPECT_GT(si.nPage, 2u);
  EXPECT_EQ(si.nPos, 0);
  LRESULT before = SendMessageW(area, EM_POSFROMCHAR, 0, 0);
  SendMessageW(area, WM_VSCROLL, SB_PAGEDOWN, 0);
  GetScrollInfo(area, SB_VERT, &si);
  EXPECT_EQ(si.nPos, int(si.nPage));
  EXPECT_LT(GET_Y_LPARAM(SendMessageW(area, EM_POSFROMCHAR, 0, 0)), GET_Y_LPARAM(before));  // the text moved up
}

TEST_F(controls, EditPasswordCueBannerAndTabStops) {
  HWND field = make(u"EDIT", u"", ES_PASSWORD | ES_AUTOHSCROLL, 10, 10, 200, 23);
  HWND area = make(u"EDIT", u"", ES_MULTILINE, 10, 50, 200, 100, 2);
  EXPECT_EQ(SendMessageW(field, EM_GETPASSWORDCHAR, 0, 0), 0x25CF);
  SendMessageW(field, EM_SETPASSWORDCHAR, 0, 0);
  EXPECT_FALSE(GetWindowLongW(field, GWL_STYLE) & ES_PASSWORD);
  EXPECT_EQ(SendMessageW(field, EM_SETCUEBANNER, 0, LPARAM(u"name")), 1);
  EXPECT_EQ(SendMessageW(area, EM_SETCUEBANNER, 0, LPARAM(u"name")), 0);  // single-line edits only
  WCHAR cue[8] = {};
  ASSERT_EQ(SendMessageW(field, EM_GETCUEBANNER, WPARAM(cue), 8), 1);
  EXPECT_EQ(std::u16string(cue), u"name");
  int stops[] = {16};
  EXPECT_EQ(SendMessageW(area, EM_SETTABSTOPS, 1, LPARAM(stops)), 1);
  // A wider tab stop moves the text after a tab to the right.
  SetWindowTextW(area, u"\tx");
  LRESULT narrow = SendMessageW(area, EM_POSFROMCHAR, 1, 0);
  stops[0] = 64;
  SendMessageW(area, EM_SETTABSTOPS, 1, LPARAM(stops));
  LRESULT wide = SendMessageW(area, EM_POSFROMCHAR, 1, 0);
  EXPECT_GT(GET_X_LPARAM(wide), GET_X_LPARAM(narrow));
}

TEST_F(controls, ListClickSelectsAndSettingNotifiesNothing) {
  HWND list = make(u"ListBox", u"", LBS_NOTIFY, 10, 10, 200, 120, 5);
  for (const char16_t* t : {u"one", u"two", u"three"}) SendMessageW(list, LB_ADDSTRING, 0, LPARAM(t));
  RECT item;
  ASSERT_EQ(SendMessageW(list, LB_GETITEMRECT, 1, LPARAM(&item)), 1);
  click_in(list, item);
  std::vector<heard> commands;
  for (const heard& e : heard_of(WM_COMMAND))
    if (HIWORD(e.wparam) != LBN_SETFOCUS) commands.push_back(e);  // the click also focuses the list
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].wparam, MAKEWPARAM(5, LBN_SELCHANGE));
  EXPECT_EQ(SendMessageW(list, LB_GETCURSEL, 0, 0), 1);
  heard_log.clear();
  EXPECT_EQ(SendMessageW(list, LB_SETCURSEL, 2, 0), 2);
  EXPECT_EQ(SendMessageW(list, LB_SETCURSEL, WPARAM(-1), 0), LB_ERR);
  EXPECT_TRUE(heard_of(WM_COMMAND).empty());
  // The item under a point, and the horizontal extent.
  POINT p{(item.left + item.right) / 2, (item.top + item.bottom) / 2};
  ClientToScreen(list, &p);
  EXPECT_EQ(LBItemFromPt(list, p, FALSE), 1);
  EXPECT_EQ(LBItemFromPt(list, POINT{p.x, p.y + 100}, FALSE), -1);
  SendMessageW(list, LB_SETHORIZONTALEXTENT, 500, 0);
  EXPECT_EQ(SendMessageW(list, LB_GETHORIZONTALEXTENT, 0, 0), 500);
}

TEST_F(controls, ScrollBarClampsAndTracksClicks) {
  HWND bar = make(u"SCROLLBAR", u"", SBS_VERT, 10, 10, 17, 200, 6);
  SCROLLINFO si{sizeof si, SIF_RANGE | SIF_PAGE | SIF_POS, 0, 100, 10, 200, 0};
  EXPECT_EQ(SetScrollInfo(bar, SB_CTL, &si, TRUE), 91);
  SCROLLINFO got{sizeof got, SIF_ALL, 0, 0, 0, 0, 0};
  ASSERT_TRUE(GetScrollInfo(bar, SB_CTL, &got));
  EXPECT_EQ(got.nPos, 91);
  EXPECT_EQ(got.nPage, 10u);
  si = SCROLLINFO{sizeof si, SIF_POS, 0, 0, 0, -5, 0};
  EXPECT_EQ(SetScrollInfo(bar, SB_CTL, &si, TRUE), 0);
  // The down arrow: a line step, then the end on release.
  click(18, 205);
  auto scrolls = heard_of(WM_VSCROLL);
  ASSERT_EQ(scrolls.size(), 2u);
  EXPECT_EQ(LOWORD(scrolls[0].wparam), SB_LINEDOWN);
  EXPECT_EQ(LOWORD(scrolls[1].wparam), SB_ENDSCROLL);
  for (const heard& e : scrolls) EXPECT_EQ(HWND(e.lparam), bar);
  // Below the thumb: a page; held past the first delay, it repeats.
  heard_log.clear();
  layer::inject_mouse_move(18, 150);
  layer::inject_button(VK_LBUTTON, true);
  layer::inject_wait(500);
  layer::inject_button(VK_LBUTTON, false);
  run();
  scrolls = heard_of(WM_VSCROLL);
  ASSERT_GE(scrolls.size(), 3u);
  EXPECT_EQ(LOWORD(scrolls[0].wparam), SB_PAGEDOWN);
  EXPECT_EQ(LOWORD(scrolls[1].wparam), SB_PAGEDOWN);
  EXPECT_EQ(LOWORD(scrolls.back().wparam), SB_ENDSCROLL);
}

TEST_F(controls, WindowScrollBarsSitInTheFrame) {
  HWND w = CreateWindowExW(0, u"Parent", u"", WS_POPUP | WS_VISIBLE | WS_VSCROLL, 0, 0, 300, 200, 0, 0, 0, nullptr);
  RECT c;
  GetClientRect(w, &c);
  EXPECT_EQ(c.right, 300 - GetSystemMetrics(SM_CXVSCROLL));
  SCROLLINFO si{sizeof si, SIF_RANGE | SIF_PAGE | SIF_POS, 0, 50, 20, 45, 0};
  EXPECT_EQ(SetScrollInfo(w, SB_VERT, &si, TRUE), 31);
  // Painted in the frame of a window that has no border: the track above the thumb, the thumb at the end.
  EXPECT_EQ(picture_pixel(w, 291, 60), GetSysColor(COLOR_SCROLLBAR) & 0xFFFFFF);
  EXPECT_EQ(picture_pixel(w, 291, 170), 0xA0A0A0u);
  click(290, 195);  // the bar's down arrow
  auto scrolls = heard_of(WM_VSCROLL);
  ASSERT_EQ(scrolls.size(), 2u);
  EXPECT_EQ(LOWORD(scrolls[0].wparam), SB_LINEDOWN);
  EXPECT_EQ(scrolls[0].lparam, 0);  // the window's own bar
  EXPECT_EQ(LOWORD(scrolls[1].wparam), SB_ENDSCROLL);
  ShowScrollBar(w, SB_VERT, FALSE);
  GetClientRect(w, &c);
  EXPECT_EQ(c.right, 300);
}

TEST_F(controls, TrackbarAndProgress) {
  HWND track = make(u"msctls_trackbar32", u"", 0, 10, 10, 216, 30, 9);
  SendMessageW(track, TBM_SETRANGE, TRUE, MAKELPARAM(0, 200));
  click(10 + 8 + 100, 25);  // the channel's middle
  EXPECT_EQ(SendMessageW(track, TBM_GETPOS, 0, 0), 100);
  auto scrolls = heard_of(WM_HSCROLL);
  ASSERT_GE(scrolls.size(), 3u);
  EXPECT_EQ(LOWORD(scrolls[0].wparam), TB_THUMBTRACK);
  EXPECT_EQ(HIWORD(scrolls[0].wparam), 100);
  EXPECT_EQ(LOWORD(scrolls.back().wparam), TB_ENDTRACK);
  EXPECT_EQ(HWND(scrolls.back().lparam), track);
  HWND bar = make(u"msctls_progress32", u"", 0, 10, 50, 200, 20);
  SendMessageW(bar, PBM_SETRANGE, 0, MAKELPARAM(0, 50));
  EXPECT_EQ(SendMessageW(bar, PBM_SETPOS, 80, 0), 0);
  EXPECT_EQ(SendMessageW(bar, PBM_GETPOS, 0, 0), 50);
}

TEST_F(controls, TabClickAsksThenChangesAndRefusalKeepsTheTab) {
  HWND tabs = make(u"SysTabControl32", u"", 0, 10, 10, 400, 200, 11);
  for (const char16_t* t : {u"one", u"two", u"three"}) {
    TCITEMW item{TCIF_TEXT, 0, 0, const_cast<WCHAR*>(t), 0, -1, 0};
    SendMessageW(tabs, TCM_INSERTITEMW, WPARAM(SendMessageW(tabs, TCM_GETITEMCOUNT, 0, 0)), LPARAM(&item));
  }
  EXPECT_EQ(SendMessageW(tabs, TCM_GETCURSEL, 0, 0), 0);
  RECT second, third;
  SendMessageW(tabs, TCM_GETITEMRECT, 1, LPARAM(&second));
  SendMessageW(tabs, TCM_GETITEMRECT, 2, LPARAM(&third));
  refuse_tab_change = 1;
  click_in(tabs, second);
  auto notes = heard_of(WM_NOTIFY);
  ASSERT_EQ(notes.size(), 1u);
  EXPECT_EQ(notes[0].code, TCN_SELCHANGING);
  EXPECT_EQ(SendMessageW(tabs, TCM_GETCURSEL, 0, 0), 0);
  heard_log.clear();
  refuse_tab_change = 0;
  click_in(tabs, second);
  notes = heard_of(WM_NOTIFY);
  ASSERT_EQ(notes.size(), 2u);
  EXPECT_EQ(notes[0].code, TCN_SELCHANGING);
  EXPECT_EQ(notes[1].code, TCN_SELCHANGE);
  EXPECT_EQ(notes[1].from, tabs);
  EXPECT_EQ(SendMessageW(tabs, TCM_GETCURSEL, 0, 0), 1);
  // Set by the program: no notices.
  heard_log.clear();
  SendMessageW(tabs, TCM_SETCURFOCUS, 2, 0);
  EXPECT_EQ(SendMessageW(tabs, TCM_GETCURSEL, 0, 0), 2);
  EXPECT_TRUE(heard_of(WM_NOTIFY).empty());
  // The display area lies inside the window, and the adjustment goes both ways.
  RECT r{0, 0, 400, 200};
  SendMessageW(tabs, TCM_ADJUSTRECT, FALSE, LPARAM(&r));
  EXPECT_GT(r.top, third.bottom - 1);
  EXPECT_GT(r.left, 0);
  EXPECT_LT(r.right, 400);
  SendMessageW(tabs, TCM_ADJUSTRECT, TRUE, LPARAM(&r));
  EXPECT_EQ(r.left, 0);
  EXPECT_EQ(r.top, 0);
  EXPECT_EQ(r.right, 400);
  EXPECT_EQ(r.bottom, 200);
}

bool same_day(const SYSTEMTIME& a, const SYSTEMTIME& b) {
  return a.wYear == b.wYear && a.wMonth == b.wMonth && a.wDay == b.wDay;
}

TEST_F(controls, CalendarDayClickSelectsThatDate) {
  HWND cal =
      make(u"SysMonthCal32", u"", MCS_NOTODAY | MCS_SHORTDAYSOFWEEK | MCS_NOSELCHANGEONNAV, 10, 10, 260, 200, 12);
  SYSTEMTIME start{2026, 12, 0, 10, 0, 0, 0, 0};
  ASSERT_EQ(SendMessageW(cal, MCM_SETCURSEL, 0, LPARAM(&start)), 1);
  SYSTEMTIME bad{2026, 2, 0, 30, 0, 0, 0, 0};
  EXPECT_EQ(SendMessageW(cal, MCM_SETCURSEL, 0, LPARAM(&bad)), 0);
  EXPECT_TRUE(heard_of(WM_NOTIFY).empty());
  MCGRIDINFO cell{};
  cell.cbSize = sizeof cell;
  cell.dwPart = MCGIP_CALENDARCELL;
  cell.dwFlags = MCGIF_DATE | MCGIF_RECT;
  cell.iRow = 3, cell.iCol = 4;
  ASSERT_EQ(SendMessageW(cal, MCM_GETCALENDARGRIDINFO, 0, LPARAM(&cell)), 1);
  EXPECT_EQ(cell.stStart.wMonth, 12);
  EXPECT_EQ(cell.stStart.wDayOfWeek, 4);  // column 4 of a week from Sunday
  click_in(cal, cell.rc);
  auto notes = heard_of(WM_NOTIFY);
  ASSERT_GE(notes.size(), 1u);
  EXPECT_EQ(notes[0].code, MCN_SELCHANGE);
  EXPECT_TRUE(same_day(notes[0].date, cell.stStart));
  SYSTEMTIME now{};
  ASSERT_EQ(SendMessageW(cal, MCM_GETCURSEL, 0, LPARAM(&now)), 1);
  EXPECT_TRUE(same_day(now, cell.stStart));
  // The next-month arrow under MCS_NOSELCHANGEONNAV moves the view only.
  heard_log.clear();
  MCGRIDINFO next{};
  next.cbSize = sizeof next;
  next.dwPart = MCGIP_NEXT;
  ASSERT_EQ(SendMessageW(cal, MCM_GETCALENDARGRIDINFO, 0, LPARAM(&next)), 1);
  click_in(cal, next.rc);
  EXPECT_TRUE(heard_of(WM_NOTIFY).empty());
  SendMessageW(cal, MCM_GETCALENDARGRIDINFO, 0, LPARAM(&cell));
  EXPECT_EQ(cell.stStart.wMonth, 1);
  EXPECT_EQ(cell.stStart.wYear, 2027);
}

HMENU popup_of(std::initializer_list<const char16_t*> texts) {
  HMENU m = CreatePopupMenu();
  UINT position = 0;
  for (const char16_t* t : texts) {
    MENUITEMINFOW info{sizeof info,
                       MIIM_STRING | MIIM_ID | MIIM_DATA,
                       MFT_STRING,
                       0,
                       position,
                       0,
                       0,
                       0,
                       uintptr_t(-1),
                       const_cast<WCHAR*>(t),
                       UINT(std::char_traits<char16_t>::length(t)),
                       0};
    InsertMenuItemW(m, position, TRUE, &info);
    position++;
  }
  return m;
}

TEST_F(controls, PopupChoiceSelectsClosesThenCommands) {
  HMENU menu = popup_of({u"a", u"b"});
  // The popup opens at 100,100 inside a one-pixel border; item b is the second row.
  layer::inject_mouse_move(130, 101 + 2 + 22 + 11);
  layer::inject_button(VK_LBUTTON, true);
  layer::inject_button(VK_LBUTTON, false);
  ASSERT_TRUE(TrackPopupMenuEx(menu, TPM_LEFTBUTTON, 100, 100, parent, nullptr));
  run();
  std::vector<heard> seen;
  for (const heard& e : heard_log)
    if (e.msg == WM_MENUSELECT || e.msg == WM_COMMAND) seen.push_back(e);
  ASSERT_EQ(seen.size(), 3u);
  EXPECT_EQ(seen[0].msg, UINT(WM_MENUSELECT));
  EXPECT_EQ(LOWORD(seen[0].wparam), 1);
  EXPECT_EQ(HMENU(seen[0].lparam), menu);
  EXPECT_EQ(seen[1].msg, UINT(WM_MENUSELECT));
  EXPECT_EQ(seen[1].wparam, 0xFFFF0000u);
  EXPECT_EQ(seen[1].lparam, 0);
  EXPECT_EQ(seen[2].msg, UINT(WM_COMMAND));
  EXPECT_EQ(seen[2].wparam, 1u);
  EXPECT_EQ(seen[2].lparam, 0);
  // Item data and ids read back by position.
  MENUITEMINFOW info{sizeof info, MIIM_DATA | MIIM_ID, 0, 0, 0, 0, 0, 0, 0, nullptr, 0, 0};
  ASSERT_TRUE(GetMenuItemInfoW(menu, 1, TRUE, &info));
  EXPECT_EQ(info.wID, 1u);
  EXPECT_EQ(info.dwItemData, uintptr_t(-1));
  EXPECT_TRUE(DestroyMenu(menu));
}

TEST_F(controls, PopupByMnemonicEscapeAndScriptedAnswer) {
  HMENU menu = popup_of({u"&open", u"e&xit"});
  // A mnemonic chooses at once.
  layer::inject_text(U"x");
  ASSERT_TRUE(TrackPopupMenuEx(menu, TPM_LEFTBUTTON, 10, 10, parent, nullptr));
  run();
  auto commands = heard_of(WM_COMMAND);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].wparam, 1u);
  // Escape closes with no command; so does input running out.
  heard_log.clear();
  layer::inject_key(VK_ESCAPE, true);
  layer::inject_key(VK_ESCAPE, false);
  EXPECT_EQ(TrackPopupMenuEx(menu, TPM_RETURNCMD, 10, 10, parent, nullptr), 0);
  run();
  EXPECT_TRUE(heard_of(WM_COMMAND).empty());
  ASSERT_EQ(heard_of(WM_MENUSELECT).size(), 1u);
  EXPECT_EQ(heard_of(WM_MENUSELECT)[0].wparam, 0xFFFF0000u);
  // A scripted answer: the item at position 0.
  heard_log.clear();
  layer::respond(layer::answer{layer::answer::item, 0, {}, false, false});
  EXPECT_EQ(TrackPopupMenuEx(menu, TPM_RETURNCMD, 10, 10, parent, nullptr), 0);  // id 0 answered
  ASSERT_EQ(heard_of(WM_MENUSELECT).size(), 2u);
  EXPECT_EQ(LOWORD(heard_of(WM_MENUSELECT)[0].wparam), 0);
  EXPECT_FALSE(layer::answer_pending());
  DestroyMenu(menu);
}

TEST_F(controls, MenuBarCountsInTheFrameAndOpensOnClick) {
  DWORD style = WS_OVERLAPPEDWINDOW | WS_VISIBLE;
  HWND w = CreateWindowExW(0, u"Parent", u"bar", style, 100, 100, 400, 300, 0, 0, 0, nullptr);
  HMENU bar = CreateMenu(), file = popup_of({u"&new", u"&quit"});
  MENUITEMINFOW item{sizeof item, MIIM_STRING | MIIM_ID | MIIM_SUBMENU, MFT_STRING, 0, 0, file, 0, 0,
                     0,           const_cast<WCHAR*>(u"&File"),         5,          0};
  InsertMenuItemW(bar, 0, TRUE, &item);
  ASSERT_TRUE(SetMenu(w, bar));
  EXPECT_EQ(GetMenu(w), bar);
  RECT with{0, 0, 400, 300}, without{0, 0, 400, 300};
  AdjustWindowRectEx(&with, style, TRUE, 0);
  AdjustWindowRectEx(&without, style, FALSE, 0);
  EXPECT_EQ((without.top - with.top), GetSystemMetrics(SM_CYMENU));
  RECT c, wr;
  GetClientRect(w, &c);
  GetWindowRect(w, &wr);
  RECT grown = c;
  AdjustWindowRectEx(&grown, style, TRUE, 0);
  EXPECT_EQ(grown.bottom - grown.top, wr.bottom - wr.top);
  // A click on "File" in the bar, then on "quit" in its popup.
  POINT origin{0, 0};
  ClientToScreen(w, &origin);
  layer::inject_mouse_move(origin.x + 10, origin.y - 10);
  layer::inject_button(VK_LBUTTON, true);
  layer::inject_button(VK_LBUTTON, false);
  layer::inject_mouse_move(origin.x + 30, origin.y + 1 + 2 + 22 + 11);
  layer::inject_button(VK_LBUTTON, true);
  layer::inject_button(VK_LBUTTON, false);
  run();
  auto commands = heard_of(WM_COMMAND);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].wparam, 1u);
  EXPECT_EQ(commands[0].lparam, 0);
  auto selects = heard_of(WM_MENUSELECT);
  ASSERT_GE(selects.size(), 3u);
  EXPECT_EQ(HMENU(selects[0].lparam), bar);
  EXPECT_EQ(selects.back().wparam, 0xFFFF0000u);
  // By the keyboard: Alt+F opens "&File" with its first item lit; Down, Enter chooses "&quit".
  heard_log.clear();
  SetFocus(w);
  layer::inject_key(VK_MENU, true);
  layer::inject_key('F', true);
  layer::inject_key('F', false);
  layer::inject_key(VK_MENU, false);
  layer::inject_key(VK_DOWN, true);
  layer::inject_key(VK_DOWN, false);
  layer::inject_key(VK_RETURN, true);
  layer::inject_key(VK_RETURN, false);
  run();
  commands = heard_of(WM_COMMAND);
  ASSERT_EQ(commands.size(), 1u);
  EXPECT_EQ(commands[0].wparam, 1u);
}

TEST_F(controls, ComboInnerWindowsPointBackAndDropDownAnswers) {
  HWND combo = make(u"ComboBox", u"", CBS_DROPDOWN | CBS_AUTOHSCROLL | CBS_HASSTRINGS, 10, 10, 200, 24, 13);
  for (const char16_t* t : {u"red", u"green", u"blue"}) SendMessageW(combo, CB_ADDSTRING, 0, LPARAM(t));
  COMBOBOXINFO info{sizeof info, {}, {}, 0, 0, 0, 0};
  ASSERT_TRUE(SendMessageW(combo, CB_GETCOMBOBOXINFO, 0, LPARAM(&info)));
  for (HWND inner : {info.hwndItem, info.hwndList}) {
    ASSERT_NE(inner, 0u);
    auto* record = reinterpret_cast<const uint32_t*>(uintptr_t(uint32_t(GetWindowLongW(inner, 0))));
    ASSERT_NE(record, nullptr);
    EXPECT_EQ(HWND(record[1]), combo);
  }
  SendMessageW(combo, CB_SETCURSEL, 2, 0);
  EXPECT_EQ(text_of(combo), u"blue");
  SetWindowTextW(combo, u"teal");
  EXPECT_EQ(text_of(combo), u"teal");
  EXPECT_TRUE(heard_of(WM_COMMAND).empty());  // set by the program: no notices
  SendMessageW(combo, CB_SETCURSEL, 2, 0);
  // Dropped by the program, settled by the scripted answer.
  layer::respond(layer::answer{layer::answer::item, 1, {}, false, false});
  SendMessageW(combo, CB_SHOWDROPDOWN, TRUE, 0);
  EXPECT_EQ(SendMessageW(combo, CB_GETCURSEL, 0, 0), 1);
  EXPECT_EQ(text_of(combo), u"green");
  bool selchange = false;
  for (const heard& e : heard_of(WM_COMMAND)) selchange |= e.wparam == MAKEWPARAM(13, CBN_SELCHANGE);
  EXPECT_TRUE(selchange);
  // Typing in the edit: CBN_EDITCHANGE.
  heard_log.clear();
  SetFocus(info.hwndItem);
  layer::inject_text(U"x");
  run();
  bool edited = false;
  for (const heard& e : heard_of(WM_COMMAND)) edited |= e.wparam == MAKEWPARAM(13, CBN_EDITCHANGE);
  EXPECT_TRUE(edited);
  // A drop-down list opened by a click and chosen from with the mouse.
  HWND list = make(u"ComboBox", u"", CBS_DROPDOWNLIST | CBS_HASSTRINGS, 10, 60, 200, 24, 14);
  for (const char16_t* t : {u"a", u"b", u"c"}) SendMessageW(list, CB_ADDSTRING, 0, LPARAM(t));
  heard_log.clear();
  int row = int(SendMessageW(info.hwndList, LB_GETITEMHEIGHT, 0, 0));
  layer::inject_mouse_move(100, 70);
  layer::inject_button(VK_LBUTTON, true);
  layer::inject_button(VK_LBUTTON, false);
  layer::inject_mouse_move(100, 84 + 1 + 2 * row + row / 2);
  layer::inject_button(VK_LBUTTON, true);
  layer::inject_button(VK_LBUTTON, false);
  run();
  EXPECT_EQ(SendMessageW(list, CB_GETCURSEL, 0, 0), 2);
  EXPECT_EQ(text_of(list), u"c");
}

TEST_F(controls, ParentColoursAndCustomDrawSkip) {
  HWND label = make(u"STATIC", u"", 0, 10, 10, 100, 20);
  UpdateWindow(parent);
  EXPECT_EQ(picture_pixel(parent, 50, 20), 0xF0F0F0u);  // the face colour by default
  static_back = RGB(255, 0, 0);
  InvalidateRect(label, nullptr, TRUE);
  UpdateWindow(label);
  EXPECT_EQ(picture_pixel(parent, 50, 20), 0xFF0000u);
  // A push button offers NM_CUSTOMDRAW before its text; skipping leaves no text.
  auto dark_pixels = [&](HWND b) {
    InvalidateRect(b, nullptr, TRUE);
    UpdateWindow(b);
    cairo_surface_t* s = layer::snapshot(parent);
    int n = 0;
    for (int y = 50; y < 80; y++)
      for (int x = 10; x < 150; x++) n += (pixel(s, x, y) & 0xFF) < 0x80 && (pixel(s, x, y) >> 16 & 0xFF) < 0x80;
    cairo_surface_destroy(s);
    return n;
  };
  HWND button = make(u"BUTTON", u"Press here", BS_PUSHBUTTON, 10, 50, 140, 30);
  int drawn = dark_pixels(button);
  EXPECT_GT(drawn, 20);
  bool prepaint = false;
  for (const heard& e : heard_of(WM_NOTIFY)) prepaint |= e.code == NM_CUSTOMDRAW && e.stage == CDDS_PREPAINT;
  EXPECT_TRUE(prepaint);
  custom_draw_answer = CDRF_SKIPDEFAULT;
  EXPECT_EQ(dark_pixels(button), 0);
  cairo_surface_t* s = layer::snapshot(parent);
  int red = 0;
  for (int y = 50; y < 80; y++)
    for (int x = 10; x < 150; x++) {
      uint32_t p = pixel(s, x, y);
      red += (p >> 16 & 0xFF) > 0xC0 && (p >> 8 & 0xFF) < 0x80 && (p & 0xFF) < 0x80;
    }
  cairo_surface_destroy(s);
  EXPECT_GT(red, 5);  // the parent's own text
}

TEST_F(controls, EachControlAsksItsParentWithItsOwnColourMessage) {
  struct row {
    const char16_t* cls;
    DWORD style;
    UINT msg;
  };
  const row rows[] = {{u"EDIT", ES_AUTOHSCROLL, WM_CTLCOLOREDIT},
                      {u"EDIT", ES_AUTOHSCROLL | ES_READONLY, WM_CTLCOLORSTATIC},
                      {u"ListBox", LBS_NOTIFY, WM_CTLCOLORLISTBOX},
                      {u"BUTTON", BS_PUSHBUTTON, WM_CTLCOLORBTN},
                      {u"BUTTON", BS_AUTOCHECKBOX | BS_PUSHLIKE, WM_CTLCOLORBTN},
                      {u"BUTTON", BS_AUTOCHECKBOX, WM_CTLCOLORSTATIC},
                      {u"BUTTON", BS_GROUPBOX, WM_CTLCOLORSTATIC},
                      {u"STATIC", SS_LEFT, WM_CTLCOLORSTATIC},
                      {u"SCROLLBAR", SBS_VERT, WM_CTLCOLORSCROLLBAR},
                      {u"msctls_trackbar32", 0, WM_CTLCOLORSTATIC},
                      {u"SysTabControl32", 0, WM_CTLCOLORSTATIC}};
  for (const row& r : rows) {
    HWND h = make(r.cls, u"", r.style, 10, 10, 120, 60);
    heard_log.clear();
    InvalidateRect(h, nullptr, TRUE);
    UpdateWindow(h);
    bool asked = false;
    for (const heard& e : heard_log) asked |= e.msg == r.msg && HWND(e.lparam) == h;
    EXPECT_TRUE(asked) << std::string(r.cls, r.cls + 4).c_str() << " " << r.style;
    DestroyWindow(h);
  }
  // The brush answered fills an edit's and a list's background.
  other_back = RGB(0, 128, 255);
  for (const char16_t* cls : {u"EDIT", u"ListBox"}) {
    HWND h = make(cls, u"", 0, 10, 10, 120, 60);
    UpdateWindow(h);
    EXPECT_EQ(picture_pixel(parent, 100, 55), 0x0080FFu) << std::string(cls, cls + 4).c_str();
    DestroyWindow(h);
  }
}

TEST_F(controls, TextOnADcFollowsItsSelectedFont) {
  HDC dc = GetDC(parent);
  SIZE normal{}, big{};
  ASSERT_TRUE(GetTextExtentPoint32W(dc, u"Wide text", -1, &normal));
  HFONT font = CreateFontW(-32, 0, 0, 0, 700, 1, 0, 0, 1, 0, 0, 5, 0, u"DejaVu Sans");
  EXPECT_EQ(SelectObject(dc, font), 0u);
  ASSERT_TRUE(GetTextExtentPoint32W(dc, u"Wide text", 4, &big));  // a length counts units
  SIZE four{};
  GetTextExtentPoint32W(dc, u"Wide", -1, &four);
  EXPECT_EQ(big.cx, four.cx);
  EXPECT_GT(big.cy, normal.cy);
  RECT r{0, 0, 0, 0};
  int h = DrawTextW(dc, u"one\ntwo", -1, &r, DT_CALCRECT);
  EXPECT_EQ(h, r.bottom);
  EXPECT_EQ(h, 2 * big.cy);
  EXPECT_EQ(LOWORD(GetTabbedTextExtentW(dc, u"Wide", -1, 0, nullptr)), four.cx);
  LOGFONTW lf{};
  ASSERT_EQ(GetObjectW(font, sizeof lf, &lf), int(sizeof lf));
  EXPECT_EQ(lf.lfHeight, -32);
  EXPECT_EQ(lf.lfWeight, 700);
  EXPECT_TRUE(lf.lfItalic);
  EXPECT_EQ(std::u16string(lf.lfFaceName), u"DejaVu Sans");
  ReleaseDC(parent, dc);
  EXPECT_TRUE(DeleteObject(font));
}

TEST_F(controls, ButtonImageListOfOneOrSixStates) {
  HWND button = make(u"BUTTON", u"", BS_PUSHBUTTON, 10, 10, 60, 40);
  auto list_of = [](std::initializer_list<uint32_t> colours) {
    HIMAGELIST list = ImageList_Create(16, 16, ILC_COLOR32, int(colours.size()), 0);
    for (uint32_t c : colours) {
      BITMAPINFO bi{{sizeof(BITMAPINFOHEADER), 16, -16, 1, 32, BI_RGB, 0, 0, 0, 0, 0}, {0}};
      void* bits = nullptr;
      HBITMAP bmp = CreateDIBSection(0, &bi, DIB_RGB_COLORS, &bits, 0, 0);
      auto* px = static_cast<uint32_t*>(bits);
      for (int i = 0; i < 256; i++) px[i] = 0xFF000000u | c;
      int index = ImageList_Add(list, bmp, 0);
      EXPECT_EQ(index, ImageList_GetImageCount(list) - 1);
      DeleteObject(bmp);
    }
    return list;
  };
  HIMAGELIST six = list_of({0xFF0000, 0x00FF00, 0x0000FF, 0xFFFF00, 0x00FFFF, 0xFF00FF});
  BUTTON_IMAGELIST il{six, {}, BUTTON_IMAGELIST_ALIGN_CENTER};
  ASSERT_EQ(SendMessageW(button, BCM_SETIMAGELIST, 0, LPARAM(&il)), 1);
  UpdateWindow(button);
  EXPECT_EQ(picture_pixel(parent, 40, 30), 0xFF0000u);  // normal: the first state
  EnableWindow(button, FALSE);
  UpdateWindow(button);
  EXPECT_EQ(picture_pixel(parent, 40, 30), 0xFFFF00u);  // disabled: the fourth
  HIMAGELIST one = list_of({0x123456});
  il.himl = one;
  SendMessageW(button, BCM_SETIMAGELIST, 0, LPARAM(&il));
  UpdateWindow(button);
  EXPECT_EQ(picture_pixel(parent, 40, 30), 0x123456u);  // one image for every state
  BUTTON_IMAGELIST back{};
  SendMessageW(button, BCM_GETIMAGELIST, 0, LPARAM(&back));
  EXPECT_EQ(back.himl, one);
  ImageList_Destroy(six);
  ImageList_Destroy(one);
}

TEST_F(controls, AlignmentBitsPlaceText) {
  // Where the dark text starts and ends across a 200-pixel-wide control.
  auto extent = [&](const char16_t* cls, DWORD style) {
    HWND h = make(cls, u"Mm", style, 10, 100, 200, 30);
    UpdateWindow(h);
    cairo_surface_t* s = layer::snapshot(parent);
    int first = 1000, last = -1;
    for (int y = 100; y < 130; y++)
      for (int x = 14; x < 206; x++)
        if ((pixel(s, x, y) & 0xFF) < 0x60) first = std::min(first, x - 10), last = std::max(last, x - 10);
    cairo_surface_destroy(s);
    DestroyWindow(h);
    UpdateWindow(parent);
    return std::pair<int, int>(first, last);
  };
  struct row {
    const char16_t* cls;
    DWORD style;
    int where;  // 0 left third, 1 middle, 2 right third
  };
  for (row r : {row{u"STATIC", SS_LEFT, 0}, row{u"STATIC", SS_CENTER, 1}, row{u"STATIC", SS_RIGHT, 2},
                row{u"BUTTON", BS_PUSHBUTTON, 1}, row{u"BUTTON", BS_PUSHBUTTON | BS_LEFT, 0},
                row{u"BUTTON", BS_PUSHBUTTON | BS_RIGHT, 2}, row{u"EDIT", ES_CENTER | ES_MULTILINE, 1},
                row{u"EDIT", ES_RIGHT | ES_MULTILINE, 2}}) {
    auto [first, last] = extent(r.cls, r.style);
    ASSERT_GE(last, first) << r.style;
    int middle = (first + last) / 2;
    EXPECT_EQ(middle < 67    ? 0
              : middle < 133 ? 1
                             : 2,
              r.where)
        << std::string(r.cls, r.cls + 6).c_str() << " " << r.style;
  }
}

TEST_F(controls, WrapBitsBreakLongLines) {
  const char16_t* text = u"several words that cannot fit on one line here";
  // A static wraps unless it ends in an ellipsis (single line): ink on the second line or not.
  auto second_line_ink = [&](DWORD style) {
    HWND h = make(u"STATIC", text, style, 10, 200, 120, 60);
    UpdateWindow(h);
    cairo_surface_t* s = layer::snapshot(parent);
    int n = 0;
    for (int y = 200 + 20; y < 200 + 35; y++)
      for (int x = 10; x < 130; x++) n += (pixel(s, x, y) & 0xFF) < 0x80;
    cairo_surface_destroy(s);
    DestroyWindow(h);
    return n;
  };
  EXPECT_GT(second_line_ink(SS_LEFT), 0);
  EXPECT_EQ(second_line_ink(SS_ENDELLIPSIS), 0);
  // A multi-line edit wraps unless it scrolls sideways.
  HWND wrapped = make(u"EDIT", text, ES_MULTILINE, 10, 10, 120, 80);
  HWND sideways = make(u"EDIT", text, ES_MULTILINE | ES_AUTOHSCROLL, 10, 100, 120, 80, 2);
  int last = int(std::char_traits<char16_t>::length(text)) - 1;
  EXPECT_GT(GET_Y_LPARAM(SendMessageW(wrapped, EM_POSFROMCHAR, WPARAM(last), 0)), 10);
  EXPECT_LT(GET_Y_LPARAM(SendMessageW(sideways, EM_POSFROMCHAR, WPARAM(last), 0)), 10);
}

TEST_F(controls, DialogsReturnScriptedAnswers) {
  WCHAR buffer[256] = {};
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.lpstrFile = buffer;
  ofn.nMaxFile = 256;
  ofn.Flags = OFN_EXPLORER | OFN_ALLOWMULTISELECT;
  layer::respond(layer::answer{layer::answer::files, 0, {u"/tmp/x/a.txt", u"/tmp/x/b.txt"}, false, false});
  ASSERT_TRUE(GetOpenFileNameW(&ofn));
  EXPECT_EQ(std::u16string(buffer, 20), std::u16string(u"/tmp/x\0a.txt\0b.txt\0\0", 20));
  EXPECT_EQ(ofn.nFileOffset, 7);
  layer::respond(layer::answer{layer::answer::cancel, 0, {}, false, false});
  buffer[0] = 0;
  EXPECT_FALSE(GetSaveFileNameW(&ofn));
  EXPECT_EQ(buffer[0], 0);
  // One file of a multiple choice is a plain path.
  layer::respond(layer::answer{layer::answer::files, 0, {u"/tmp/x/only.txt"}, false, false});
  ASSERT_TRUE(GetOpenFileNameW(&ofn));
  EXPECT_EQ(std::u16string(buffer), u"/tmp/x/only.txt");
  // With nothing scripted and no input, the dialog ends as cancelled.
  EXPECT_FALSE(GetOpenFileNameW(&ofn));

  BROWSEINFOW bi{};
  layer::respond(layer::answer{layer::answer::files, 0, {u"/usr/share"}, false, false});
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&bi);
  ASSERT_NE(chosen, nullptr);
  WCHAR path[260];
  ASSERT_TRUE(SHGetPathFromIDListW(chosen, path));
  EXPECT_EQ(std::u16string(path), u"/usr/share");
  CoTaskMemFree(chosen);
  layer::respond(layer::answer{layer::answer::cancel, 0, {}, false, false});
  EXPECT_EQ(SHBrowseForFolderW(&bi), nullptr);

  EXPECT_EQ(MessageBoxW(0, u"Go on?", u"Kez", MB_YESNO), IDNO);  // no answer: closed
  layer::respond(layer::answer{layer::answer::item, IDYES, {}, false, false});
  EXPECT_EQ(MessageBoxW(0, u"Go on?", u"Kez", MB_YESNO), IDYES);
  EXPECT_EQ(MessageBoxW(0, u"Stop", u"Kez", MB_OKCANCEL | MB_ICONERROR), IDCANCEL);
}

TEST_F(controls, FolderDialogCallbackPicksTheStart) {
  // As the backend does: select the start folder when the dialog is ready.
  static std::vector<UINT> calls;
  calls.clear();
  BROWSEINFOW bi{};
  bi.ulFlags = BIF_RETURNONLYFSDIRS | BIF_EDITBOX | BIF_NEWDIALOGSTYLE;
  bi.lParam = LPARAM(u"/usr");
  bi.lpfn = [](HWND dlg, UINT msg, LPARAM, LPARAM start) {
    calls.push_back(msg);
    if (msg == BFFM_INITIALIZED) SendMessageW(dlg, BFFM_SETSELECTIONW, TRUE, start);
    return 0;
  };
  layer::inject_key(VK_RETURN, true);
  layer::inject_key(VK_RETURN, false);
  PIDLIST_ABSOLUTE chosen = SHBrowseForFolderW(&bi);
  ASSERT_NE(chosen, nullptr);
  WCHAR path[260];
  ASSERT_TRUE(SHGetPathFromIDListW(chosen, path));
  EXPECT_EQ(std::u16string(path), u"/usr");
  CoTaskMemFree(chosen);
  ASSERT_GE(calls.size(), 2u);
  EXPECT_EQ(calls[0], BFFM_INITIALIZED);
  EXPECT_EQ(calls[1], BFFM_SELCHANGED);
}

TEST_F(controls, FontDialogOffersFixedPitchOnlyWhenAsked) {
  LOGFONTW lf{};
  CHOOSEFONTW cf{};
  cf.lStructSize = sizeof cf;
  cf.lpLogFont = &lf;
  cf.Flags = CF_SCREENFONTS | CF_INITTOLOGFONTSTRUCT | CF_FIXEDPITCHONLY;
  layer::respond(layer::answer{layer::answer::font, 12, {u"DejaVu Sans Mono"}, true, false});
  ASSERT_TRUE(ChooseFontW(&cf));
  EXPECT_EQ(std::u16string(lf.lfFaceName), u"DejaVu Sans Mono");
  EXPECT_EQ(lf.lfWeight, 700);
  EXPECT_FALSE(lf.lfItalic);
  EXPECT_EQ(cf.iPointSize, 120);
  EXPECT_EQ(lf.lfHeight, -16);  // 12 points at 96 DPI
  // A proportional face is not offered with fixed pitch only, and is without it.
  layer::respond(layer::answer{layer::answer::font, 10, {u"DejaVu Sans"}, false, true});
  EXPECT_FALSE(ChooseFontW(&cf));
  cf.Flags &= ~CF_FIXEDPITCHONLY;
  layer::respond(layer::answer{layer::answer::font, 10, {u"DejaVu Sans"}, false, true});
  ASSERT_TRUE(ChooseFontW(&cf));
  EXPECT_TRUE(lf.lfItalic);
  EXPECT_EQ(lf.lfWeight, 400);
}

TEST_F(controls, OpenDialogTakesATypedNameHeadless) {
  WCHAR buffer[512] = {};
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.lpstrFile = buffer;
  ofn.nMaxFile = 512;
  ofn.lpstrInitialDir = u"/tmp";
  ofn.hwndOwner = parent;
  layer::inject_text(U"report.txt");
  layer::inject_key(VK_RETURN, true);
  layer::inject_key(VK_RETURN, false);
  ASSERT_TRUE(GetOpenFileNameW(&ofn));
  EXPECT_EQ(std::u16string(buffer), u"/tmp/report.txt");
  EXPECT_EQ(ofn.nFileOffset, 5);
  EXPECT_EQ(ofn.nFileExtension, 12);
  EXPECT_TRUE(IsWindowEnabled(parent));  // the owner is given back
  EXPECT_EQ(layer::modal_window(), 0u);
  // Several names in quotes, and a save dialog's name in a folder given with the name.
  ofn.Flags = OFN_EXPLORER | OFN_ALLOWMULTISELECT;
  layer::inject_text(U"\"a.txt\" \"b c.txt\"");
  layer::inject_key(VK_RETURN, true);
  layer::inject_key(VK_RETURN, false);
  ASSERT_TRUE(GetOpenFileNameW(&ofn));
  EXPECT_EQ(std::u16string(buffer, 20), std::u16string(u"/tmp\0a.txt\0b c.txt\0\0", 20));
  ofn.Flags = OFN_EXPLORER;
  std::u16string initial = u"/usr/share/proposed.kez";
  std::copy(initial.begin(), initial.end() + 1, buffer);
  layer::inject_key(VK_RETURN, true);
  layer::inject_key(VK_RETURN, false);
  ASSERT_TRUE(GetSaveFileNameW(&ofn));
  EXPECT_EQ(std::u16string(buffer), initial);
}

HWND doomed = 0;

TEST_F(controls, ModalLoopsEndWhenTheirOwnerGoes) {
  // A timer inside the nested loop destroys the owner: the loop ends, nothing is touched after.
  doomed = CreateWindowExW(0, u"Parent", u"", WS_POPUP | WS_VISIBLE, 0, 0, 100, 100, 0, 0, 0, nullptr);
  SetTimer(0, 0, 100, [](HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(0, id);
    DestroyWindow(doomed);
  });
  layer::inject_wait(1000);
  EXPECT_EQ(MessageBoxW(doomed, u"Bye", u"", MB_OKCANCEL), IDCANCEL);
  EXPECT_FALSE(IsWindow(doomed));
  doomed = CreateWindowExW(0, u"Parent", u"", WS_POPUP | WS_VISIBLE, 0, 0, 100, 100, 0, 0, 0, nullptr);
  HMENU menu = popup_of({u"a"});
  SetTimer(0, 0, 100, [](HWND, UINT, UINT_PTR id, DWORD) {
    KillTimer(0, id);
    DestroyWindow(doomed);
  });
  layer::inject_wait(1000);
  EXPECT_FALSE(TrackPopupMenuEx(menu, TPM_LEFTBUTTON, 10, 10, doomed, nullptr));
  DestroyMenu(menu);
  // A posted WM_QUIT ends a dialog's loop and is posted again for the outer one.
  PostQuitMessage(3);
  EXPECT_EQ(MessageBoxW(parent, u"Quit?", u"", MB_OKCANCEL), IDCANCEL);
  MSG m;
  EXPECT_EQ(GetMessageW(&m, 0, 0, 0), 0);
  EXPECT_EQ(m.message, UINT(WM_QUIT));
  EXPECT_EQ(m.wParam, 3u);
}

TEST_F(controls, InputScriptAnswers) {
  std::string error;
  ASSERT_TRUE(
      layer::load_input_script("answer files \"/a b/c\" \"/d\"\nanswer item 3\nanswer cancel\n"
                               "answer font \"DejaVu Sans Mono\" 9 bold italic\n",
                               &error))
      << error;
  WCHAR buffer[64] = {};
  OPENFILENAMEW ofn{};
  ofn.lStructSize = sizeof ofn;
  ofn.lpstrFile = buffer;
  ofn.nMaxFile = 64;
  ASSERT_TRUE(GetOpenFileNameW(&ofn));  // without multiple choice, the first
  EXPECT_EQ(std::u16string(buffer), u"/a b/c");
  EXPECT_EQ(MessageBoxW(0, u"?", u"", MB_YESNOCANCEL), IDCANCEL);  // 3 is no button of it
  EXPECT_EQ(MessageBoxW(0, u"?", u"", MB_OK), IDOK);
  LOGFONTW lf{};
  CHOOSEFONTW cf{};
  cf.lStructSize = sizeof cf;
  cf.lpLogFont = &lf;
  ASSERT_TRUE(ChooseFontW(&cf));
  EXPECT_TRUE(lf.lfItalic);
  for (const char* bad :
       {"answer maybe", "answer item x", "answer files", "answer font \"x\"", "answer font \"x\" 9 wide"}) {
    EXPECT_FALSE(layer::load_input_script(bad, &error)) << bad;
    EXPECT_EQ(error.rfind("line 1: answer", 0), 0u) << error;
  }
}

}  // namespace
}  // namespace kez::win::test
