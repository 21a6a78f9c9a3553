// The tab control (with its display-area adjustment) and the month calendar.
#include <algorithm>
#include <ctime>

#include "platform/win/ctl.h"

namespace kez::win {
using namespace detail;

namespace {

struct tab_item {
  std::u16string text;
  int image = -1;
  LPARAM param = 0;
};
struct tab_state {
  HFONT font = 0;
  std::vector<tab_item> items;
  int cur = -1;
};
states<tab_state> tabs;

int tab_row(tab_state* s) { return std::max(23, line_height(s->font) + 8); }

std::vector<RECT> tab_rects(tab_state* s) {
  std::vector<RECT> out;
  int x = 2, row = tab_row(s);
  for (const tab_item& t : s->items) {
    int w = std::max(40, text_width(s->font, t.text) + 16);
    out.push_back(RECT{x, 2, x + w, row});
    x += w;
  }
  return out;
}

// The user's choice of tab i: refusable by the parent's answer to TCN_SELCHANGING.
void choose_tab(HWND h, tab_state* s, int i) {
  if (i < 0 || i >= int(s->items.size()) || i == s->cur) return;
  if (notify(h, TCN_SELCHANGING)) return;
  s->cur = i;
  InvalidateRect(h, nullptr, TRUE);
  notify(h, TCN_SELCHANGE);
}

void paint_tabs(HWND h, tab_state* s) {
  paint_scope p(h);
  auto& [dc, cr, r] = p.area;
  colours c = ask_colours(h, dc, WM_CTLCOLORSTATIC, p.sys(COLOR_BTNFACE), p.sys(COLOR_BTNTEXT));
  fill(cr, r, c.back);
  int row = tab_row(s);
  RECT body{0, row, r.right, r.bottom};
  fill(cr, body, p.sys(COLOR_WINDOW));
  outline(cr, body, RGB(217, 217, 217));
  std::vector<RECT> rects = tab_rects(s);
  for (size_t i = 0; i < rects.size(); i++) {
    RECT t = rects[i];
    bool selected = int(i) == s->cur;
    if (selected) t.top -= 2, t.bottom += 1;
    fill(cr, t, selected ? p.sys(COLOR_WINDOW) : RGB(240, 240, 240));
    outline(cr, RECT{t.left, t.top, t.right, t.bottom + (selected ? 0 : 1)}, RGB(217, 217, 217));
    if (selected) fill(cr, RECT{t.left + 1, t.bottom - 1, t.right - 1, t.bottom + 1}, p.sys(COLOR_WINDOW));
    draw_text(dc, s->font, s->items[i].text, t, gfx::DT_CENTER | gfx::DT_VCENTER | gfx::DT_SINGLELINE, c.text);
  }
}

// Month calendar.
struct calendar_state {
  HFONT font = 0;
  SYSTEMTIME selected{};
  int year = 2000, month = 1;  // the month shown
  COLORREF colours[6] = {RGB(255, 255, 255), RGB(0, 0, 0),       RGB(0, 120, 215),
                         RGB(255, 255, 255), RGB(255, 255, 255), RGB(109, 109, 109)};
};
states<calendar_state> calendars;

bool leap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }
int days_in(int y, int m) {
  static const int d[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && leap(y) ? 29 : d[m - 1];
}
int weekday(int y, int m, int d) {  // 0 Sunday
  static const int t[] = {0, 3, 2, 5, 0, 3, 5, 1, 4, 6, 2, 4};
  if (m < 3) y -= 1;
  return (y + y / 4 - y / 100 + y / 400 + t[m - 1] + d) % 7;
}
bool valid(const SYSTEMTIME& t) {
  return t.wYear >= 1601 && t.wYear <= 30827 && t.wMonth >= 1 && t.wMonth <= 12 && t.wDay >= 1 &&
         t.wDay <= days_in(t.wYear, t.wMonth);
}
SYSTEMTIME date(int y, int m, int d) {
  // Normalises a day before the first or past the last of its month.
  while (d < 1) {
    if (--m < 1) m = 12, y--;
    d += days_in(y, m);
  }
  while (d > days_in(y, m)) {
    d -= days_in(y, m);
    if (++m > 12) m = 1, y++;
  }
  return SYSTEMTIME{WORD(y), WORD(m), WORD(weekday(y, m, d)), WORD(d), 0, 0, 0, 0};
}

constexpr int title_h = 30, header_h = 20, cal_pad = 4;

struct cal_layout {
  RECT prev, next, grid;
  int cell_w, cell_h;
};
cal_layout layout_of(HWND h) {
  RECT r;
  GetClientRect(h, &r);
  cal_layout l{};
  l.prev = RECT{cal_pad, cal_pad, cal_pad + 22, title_h - cal_pad};
  l.next = RECT{r.right - cal_pad - 22, cal_pad, r.right - cal_pad, title_h - cal_pad};
  l.cell_w = std::max(1, int(r.right - 2 * cal_pad) / 7);
  l.cell_h = std::max(1, int(r.bottom - title_h - header_h - cal_pad) / 6);
  l.grid = RECT{cal_pad, title_h + header_h, cal_pad + 7 * l.cell_w, title_h + header_h + 6 * l.cell_h};
  return l;
}
// The date in row, column of the shown month's grid (Sunday first).
SYSTEMTIME cell_date(calendar_state* s, int row, int col) {
  int first = weekday(s->year, s->month, 1);
  return date(s->year, s->month, 1 - first + row * 7 + col);
}

void show_month(calendar_state* s, int y, int m) { s->year = std::clamp(y, 1601, 9999), s->month = m; }

void user_picks(HWND h, calendar_state* s, SYSTEMTIME d) {
  s->selected = d;
  show_month(s, d.wYear, d.wMonth);
  InvalidateRect(h, nullptr, TRUE);
  NMSELCHANGE n{};
  n.stSelStart = n.stSelEnd = d;
  notify(h, MCN_SELCHANGE, &n.nmhdr, sizeof n);
  notify(h, MCN_SELECT, &n.nmhdr, sizeof n);
}

void navigate(HWND h, calendar_state* s, int step) {
  int m = s->month + step, y = s->year;
  if (m < 1) m = 12, y--;
  if (m > 12) m = 1, y++;
  if (y < 1601 || y > 9999) return;
  show_month(s, y, m);
  if (!(GetWindowLongW(h, GWL_STYLE) & MCS_NOSELCHANGEONNAV)) {
    user_picks(h, s, date(y, m, std::min<int>(s->selected.wDay, days_in(y, m))));
    return;
  }
  InvalidateRect(h, nullptr, TRUE);
}

void paint_calendar(HWND h, calendar_state* s) {
  paint_scope p(h);
  auto& [dc, cr, r] = p.area;
  fill(cr, r, s->colours[MCSC_BACKGROUND]);
  cal_layout l = layout_of(h);
  static const char16_t* months[] = {u"January", u"February", u"March",     u"April",   u"May",      u"June",
                                     u"July",    u"August",   u"September", u"October", u"November", u"December"};
  std::u16string title = std::u16string(months[s->month - 1]) + u" ";
  for (char c : std::to_string(s->year)) title += char16_t(c);
  UINT one = gfx::DT_CENTER | gfx::DT_VCENTER | gfx::DT_SINGLELINE;
  draw_text(dc, s->font, title, RECT{0, 0, r.right, title_h}, one, s->colours[MCSC_TEXT]);
  draw_text(dc, s->font, u"\u25C0", l.prev, one, s->colours[MCSC_TEXT]);
  draw_text(dc, s->font, u"\u25B6", l.next, one, s->colours[MCSC_TEXT]);
  static const char16_t* days[] = {u"Su", u"Mo", u"Tu", u"We", u"Th", u"Fr", u"Sa"};
  for (int col = 0; col < 7; col++)
    draw_text(dc, s->font, days[col],
              RECT{l.grid.left + col * l.cell_w, title_h, l.grid.left + (col + 1) * l.cell_w, title_h + header_h}, one,
              s->colours[MCSC_TEXT]);
  for (int row = 0; row < 6; row++)
    for (int col = 0; col < 7; col++) {
      SYSTEMTIME d = cell_date(s, row, col);
      RECT cell{l.grid.left + col * l.cell_w, l.grid.top + row * l.cell_h, l.grid.left + (col + 1) * l.cell_w,
                l.grid.top + (row + 1) * l.cell_h};
      bool sel = d.wYear == s->selected.wYear && d.wMonth == s->selected.wMonth && d.wDay == s->selected.wDay;
      if (sel) fill(cr, cell, s->colours[MCSC_TITLEBK]);
      std::u16string t;
      for (char c : std::to_string(d.wDay)) t += char16_t(c);
      COLORREF colour = sel                    ? s->colours[MCSC_TITLETEXT]
                        : d.wMonth == s->month ? s->colours[MCSC_TEXT]
                                               : s->colours[MCSC_TRAILINGTEXT];
      draw_text(dc, s->font, t, cell, one, colour);
    }
}

}  // namespace

namespace detail {

LRESULT tab_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  tab_state* s = tabs.of_message(h, msg);
  switch (msg) {
  case WM_SETFONT: return keep_font(h, s->font, wp, lp);
  case WM_GETFONT: return LRESULT(s->font);
  case TCM_INSERTITEMW: {
    auto* item = reinterpret_cast<const TCITEMW*>(lp);
    if (!item) return -1;
    tab_item t;
    if ((item->mask & TCIF_TEXT) && item->pszText) t.text = item->pszText;
    if (item->mask & TCIF_IMAGE) t.image = item->iImage;
    if (item->mask & TCIF_PARAM) t.param = item->lParam;
    int at = std::clamp(int(wp), 0, int(s->items.size()));
    s->items.insert(s->items.begin() + at, t);
    if (s->cur < 0)
      s->cur = 0;  // the first tab is selected as it comes
    else if (at <= s->cur && s->items.size() > 1)
      s->cur++;
    InvalidateRect(h, nullptr, TRUE);
    return at;
  }
  case TCM_DELETEITEM: {
    int i = int(wp);
    if (i < 0 || i >= int(s->items.size())) return 0;
    s->items.erase(s->items.begin() + i);
    if (s->cur == i)
      s->cur = -1;
    else if (s->cur > i)
      s->cur--;
    InvalidateRect(h, nullptr, TRUE);
    return 1;
  }
  case TCM_DELETEALLITEMS:
    s->items.clear();
    s->cur = -1;
    InvalidateRect(h, nullptr, TRUE);
    return 1;
  case TCM_GETITEMCOUNT: return LRESULT(s->items.size());
  case TCM_GETCURSEL: return s->cur;
  case TCM_SETCURSEL:
  case TCM_SETCURFOCUS: {
    int i = int(intptr_t(wp)), old = s->cur;
    if (i < 0 || i >= int(s->items.size())) return -1;
    s->cur = i;
    InvalidateRect(h, nullptr, TRUE);
    return msg == TCM_SETCURSEL ? old : 0;
  }
  case TCM_GETITEMRECT: {
    std::vector<RECT> rects = tab_rects(s);
    if (!lp || int(wp) < 0 || int(wp) >= int(rects.size())) return 0;
    *reinterpret_cast<RECT*>(lp) = rects[size_t(wp)];
    return 1;
  }
  case TCM_GETITEMW:
  case TCM_SETITEMW: {
    auto* item = reinterpret_cast<TCITEMW*>(lp);
    if (!item || int(wp) < 0 || int(wp) >= int(s->items.size())) return 0;
    tab_item& t = s->items[size_t(wp)];
    if (msg == TCM_SETITEMW) {
      if ((item->mask & TCIF_TEXT) && item->pszText) t.text = item->pszText;
      if (item->mask & TCIF_IMAGE) t.image = item->iImage;
      if (item->mask & TCIF_PARAM) t.param = item->lParam;
      InvalidateRect(h, nullptr, TRUE);
      return 1;
    }
    if ((item->mask & TCIF_TEXT) && item->pszText && item->cchTextMax > 0) {
      size_t n = std::min<size_t>(t.text.size(), size_t(item->cchTextMax) - 1);
      std::copy_n(t.text.data(), n, item->pszText);
      item->pszText[n] = 0;
    }
    if (item->mask & TCIF_IMAGE) item->iImage = t.image;
    if (item->mask & TCIF_PARAM) item->lParam = t.param;
    return 1;
  }
  case TCM_ADJUSTRECT: {
    // The display area sits inside the frame, below the row of tabs.
    auto* r = reinterpret_cast<RECT*>(lp);
    if (!r) return 0;
    int row = tab_row(s), sign = wp ? -1 : 1;
    r->left += sign * 4, r->top += sign * (row + 1), r->right -= sign * 4, r->bottom -= sign * 4;
    return 0;
  }
  case WM_LBUTTONDOWN:
  case WM_LBUTTONDBLCLK: {  // a quick second click is a click on a tab too
    POINT p = lparam_point(lp);
    std::vector<RECT> rects = tab_rects(s);
    for (size_t i = 0; i < rects.size(); i++)
      if (inside(rects[i], p)) {
        choose_tab(h, s, int(i));
        break;
      }
    return 0;
  }
  case WM_KEYDOWN:
    if (wp == VK_LEFT || wp == VK_RIGHT) choose_tab(h, s, s->cur + (wp == VK_LEFT ? -1 : 1));
    return 0;
  case WM_ERASEBKGND: return 1;
  case WM_PAINT: paint_tabs(h, s); return 0;
  }
  return DefWindowProcW(h, msg, wp, lp);
}

LRESULT calendar_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  calendar_state* s = calendars.of_message(h, msg);
  switch (msg) {
  case WM_CREATE: {
    time_t now = time(nullptr);
    struct tm t;
    localtime_r(&now, &t);
    s->selected = date(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
    show_month(s, s->selected.wYear, s->selected.wMonth);
    return 0;
  }
  case WM_SETFONT: return keep_font(h, s->font, wp, lp);
  case WM_GETFONT: return LRESULT(s->font);
  case MCM_GETCURSEL:
    if (!lp) return 0;
    *reinterpret_cast<SYSTEMTIME*>(lp) = s->selected;
    return 1;
  case MCM_SETCURSEL: {
    auto* t = reinterpret_cast<const SYSTEMTIME*>(lp);
    if (!t || !valid(*t)) return 0;
    s->selected = date(t->wYear, t->wMonth, t->wDay);
    show_month(s, t->wYear, t->wMonth);
    InvalidateRect(h, nullptr, TRUE);
    return 1;
  }
  case MCM_SETCOLOR:
  case MCM_GETCOLOR: {
    int i = int(wp);
    if (i < 0 || i > 5) return -1;
    COLORREF old = s->colours[i];
    if (msg == MCM_SETCOLOR) s->colours[i] = COLORREF(lp) & 0xFFFFFF, InvalidateRect(h, nullptr, TRUE);
    return LRESULT(old);
  }
  case MCM_GETMINREQRECT:
    if (!lp) return 0;
    *reinterpret_cast<RECT*>(lp) = RECT{0, 0, 7 * 30 + 2 * cal_pad, title_h + header_h + 6 * 20 + cal_pad};
    return 1;
  case MCM_GETCALENDARGRIDINFO: {
    auto* g = reinterpret_cast<MCGRIDINFO*>(lp);
    if (!g) return 0;
    cal_layout l = layout_of(h);
    switch (g->dwPart) {
    case MCGIP_CALENDARCONTROL: GetClientRect(h, &g->rc); return 1;
    case MCGIP_PREV: g->rc = l.prev; return 1;
    case MCGIP_NEXT: g->rc = l.next; return 1;
    case MCGIP_CALENDARCELL: {
      if (g->iRow < 0 || g->iRow > 5 || g->iCol < 0 || g->iCol > 6) return 0;
      g->rc = RECT{l.grid.left + g->iCol * l.cell_w, l.grid.top + g->iRow * l.cell_h,
                   l.grid.left + (g->iCol + 1) * l.cell_w, l.grid.top + (g->iRow + 1) * l.cell_h};
      g->stStart = g->stEnd = cell_date(s, g->iRow, g->iCol);
      g->bSelected = g->stStart.wYear == s->selected.wYear && g->stStart.wMonth == s->selected.wMonth &&
                     g->stStart.wDay == s->selected.wDay;
      return 1;
    }
    }
    return 0;
  }
  case WM_LBUTTONDOWN: {
    POINT p = lparam_point(lp);
    cal_layout l = layout_of(h);
    if (inside(l.prev, p))
      navigate(h, s, -1);
    else if (inside(l.next, p))
      navigate(h, s, 1);
    else if (inside(l.grid, p))
      user_picks(h, s, cell_date(s, (p.y - l.grid.top) / l.cell_h, (p.x - l.grid.left) / l.cell_w));
    return 0;
  }
  case WM_ERASEBKGND: return 1;
  case WM_PAINT: paint_calendar(h, s); return 0;
  }
  return DefWindowProcW(h, msg, wp, lp);
}

}  // namespace detail
}  // namespace kez::win
