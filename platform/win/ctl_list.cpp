// The list box and the combo box (simple, drop-down and drop-down list),
// whose inner edit and drop-down list keep in slot 0 the address of a
// record whose second word is the combo box.
#include <sys/mman.h>

#include <algorithm>

#include "platform/win/ctl.h"

namespace kez::win {
using namespace detail;

namespace {

enum : UINT { LBX_CHOSEN = WM_USER + 0x3F00 };  // the drop-down list tells its combo box (wParam: item or -1)

struct list_state {
  HFONT font = 0;
  std::vector<std::u16string> items;
  int cur = -1, top = 0, extent = 0, scroll_x = 0;
  bool tracking = false;
  bool wants_v = false, wants_h = false;
  HWND combo = 0;  // the combo box whose drop-down list this is
};
states<list_state> lists;

int item_height(list_state* s) { return line_height(s->font) + 1; }

int visible_rows(HWND h, list_state* s) {
  RECT r;
  GetClientRect(h, &r);
  return std::max(1, int(r.bottom) / item_height(s));
}

// Shows the window bars the style asked for only while there is something to scroll.
void update_bars(HWND h, list_state* s) {
  RECT r;
  GetClientRect(h, &r);
  int rows = visible_rows(h, s), n = int(s->items.size());
  s->top = std::clamp(s->top, 0, std::max(0, n - rows));
  if (s->wants_v) {
    SCROLLINFO si{sizeof si, SIF_RANGE | SIF_PAGE | SIF_POS, 0, std::max(0, n - 1), UINT(rows), s->top, 0};
    SetScrollInfo(h, SB_VERT, &si, TRUE);
    ShowScrollBar(h, SB_VERT, n > rows);
  }
  if (s->wants_h) {
    SCROLLINFO si{sizeof si,
                  SIF_RANGE | SIF_PAGE | SIF_POS,
                  0,
                  std::max(0, s->extent - 1),
                  UINT(std::max(0, int(r.right))),
                  s->scroll_x,
                  0};
    SetScrollInfo(h, SB_HORZ, &si, TRUE);
    ShowScrollBar(h, SB_HORZ, s->extent > r.right);
  }
  InvalidateRect(h, nullptr, TRUE);
}

int item_at(HWND h, list_state* s, POINT p, bool* outside) {
  RECT r;
  GetClientRect(h, &r);
  int i = s->top + (p.y >= 0 ? p.y / item_height(s) : -1);
  *outside = !inside(r, p) || i < 0 || i >= int(s->items.size());
  return std::clamp(i, 0, std::max(0, int(s->items.size()) - 1));
}

void ensure_visible(HWND h, list_state* s, int i) {
  int rows = visible_rows(h, s);
  if (i < s->top)
    s->top = i;
  else if (i >= s->top + rows)
    s->top = i - rows + 1;
  update_bars(h, s);
}

void select_by_user(HWND h, list_state* s, int i) {
  if (i < 0 || i >= int(s->items.size())) return;
  s->cur = i;
  ensure_visible(h, s, i);
  if (!s->combo && (GetWindowLongW(h, GWL_STYLE) & LBS_NOTIFY)) command(h, LBN_SELCHANGE);
}

void paint_list(HWND h, list_state* s) {
  paint_scope p(h);
  auto& [dc, cr, r] = p.area;
  DWORD style = DWORD(GetWindowLongW(h, GWL_STYLE));
  colours c = ask_colours(s->combo ? s->combo : h, dc, WM_CTLCOLORLISTBOX, p.sys(COLOR_WINDOW),
                          p.sys((style & WS_DISABLED) ? COLOR_GRAYTEXT : COLOR_WINDOWTEXT));
  fill(cr, r, c.back);
  int ih = item_height(s);
  for (int i = s->top, y = 0; i < int(s->items.size()) && y < r.bottom; i++, y += ih) {
    RECT row{0, y, r.right, y + ih};
    COLORREF text = c.text;
    if (i == s->cur) {
      fill(cr, row, p.sys(COLOR_HIGHLIGHT));
      text = p.sys(COLOR_HIGHLIGHTTEXT);
    }
    draw_text(dc, s->font, s->items[size_t(i)], RECT{2 - s->scroll_x, y, r.right + s->extent, y + ih},
              gfx::DT_SINGLELINE | gfx::DT_NOPREFIX | gfx::DT_VCENTER, text);
  }
  if (s->combo) outline(cr, r, p.sys(COLOR_WINDOWFRAME));
}

std::u16string text_of(LPARAM lp) { return lp ? std::u16string(reinterpret_cast<const WCHAR*>(lp)) : std::u16string(); }

// Records below 2 GiB, so that a 32-bit slot holds their address: the
// inner windows of combo boxes point at one each. Word 0 is the inner
// window, word 1 the combo box.
std::vector<uint32_t*> free_records;

uint32_t* low_record() {
  if (free_records.empty()) {
    void* page = mmap(nullptr, 4096, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (page == MAP_FAILED) return nullptr;
    for (int i = 0; i < 4096 / 8; i++) free_records.push_back(static_cast<uint32_t*>(page) + 2 * i);
  }
  uint32_t* r = free_records.back();
  free_records.pop_back();
  return r;
}
void free_record(uint32_t* r) {
  if (!r) return;
  r[0] = r[1] = 0;  // a cleared record names no window
  free_records.push_back(r);
}

void link_inner(HWND inner, HWND combo) {
  uint32_t* r = low_record();
  if (!r) return;
  r[0] = inner, r[1] = combo;
  SetWindowLongW(inner, 0, LONG(int32_t(uintptr_t(r))));
}

struct combo_state {
  HFONT font = 0;
  HWND edit = 0, list = 0;
  bool dropped = false, quiet = false;
  int chosen = -2;  // the drop-down loop's outcome: an item, -1 cancelled, -2 still open
};
states<combo_state> combos;

int button_width() { return GetSystemMetrics(SM_CXVSCROLL); }

void set_edit_quietly(HWND combo, combo_state* s, const std::u16string& t) {
  if (!s->edit) {
    detail::win(combo)->text = t;
    InvalidateRect(combo, nullptr, TRUE);
    return;
  }
  s->quiet = true;
  SetWindowTextW(s->edit, t.c_str());
  s->quiet = false;
  SendMessageW(s->edit, EM_SETSEL, 0, -1);
}

void show_choice(HWND combo, combo_state* s) {
  list_state* l = lists.get(s->list);
  set_edit_quietly(combo, s, l->cur >= 0 ? l->items[size_t(l->cur)] : std::u16string());
}

void close_up(HWND combo, combo_state* s) {
  if (!s->dropped) return;
  s->dropped = false;
  if (GetCapture() == s->list) ReleaseCapture();
  ShowWindow(s->list, SW_HIDE);
  command(combo, CBN_CLOSEUP);
  InvalidateRect(combo, nullptr, TRUE);
}

// The drop-down list's own loop: it ends on a choice, a click elsewhere,
// Escape or Enter, or a scripted answer.
void drop(HWND combo, combo_state* s) {
  if (s->dropped) return;
  command(combo, CBN_DROPDOWN);
  list_state* l = lists.get(s->list);
  RECT r;
  GetWindowRect(combo, &r);
  int rows = std::clamp(int(l->items.size()), 1, 8);
  SetWindowPos(s->list, HWND_TOP, r.left, r.bottom, r.right - r.left, rows * item_height(l) + 2, SWP_NOACTIVATE);
  ShowWindow(s->list, SW_SHOWNA);
  s->dropped = true;
  s->chosen = -2;
  int before = l->cur;
  layer::answer a;
  if (take_answer(&a)) {
    s->chosen = a.kind == layer::answer::item && a.n >= 0 && a.n < int(l->items.size()) ? a.n : -1;
  } else {
    SetCapture(s->list);
    l->tracking = true;
    modal_scope scope(s->list);
    MSG m;
    while (IsWindow(combo) && s->chosen == -2 && s->dropped) {
      if (!modal_get(&m)) {
        s->chosen = -1;
        break;
      }
      if (m.message == WM_KEYDOWN && (m.wParam == VK_ESCAPE || m.wParam == VK_RETURN)) {
        s->chosen = m.wParam == VK_RETURN ? l->cur : -1;
        continue;
      }
      if (m.message == WM_KEYDOWN && (m.wParam == VK_UP || m.wParam == VK_DOWN)) {
        int i = std::clamp(l->cur + (m.wParam == VK_UP ? -1 : 1), 0, int(l->items.size()) - 1);
        l->cur = i;
        ensure_visible(s->list, l, i);
        continue;
      }
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
    if (!IsWindow(combo)) return;  // destroyed by something the loop dispatched
    l->tracking = false;
  }
  int chosen = s->chosen;
  close_up(combo, s);
  if (chosen >= 0) {
    l->cur = chosen;
    show_choice(combo, s);
    command(combo, CBN_SELENDOK);
    command(combo, CBN_SELCHANGE);
  } else {
    l->cur = before;
    command(combo, CBN_SELENDCANCEL);
  }
  InvalidateRect(combo, nullptr, TRUE);
}

RECT field_rect(HWND combo) {
  RECT r;
  GetClientRect(combo, &r);
  return RECT{0, 0, r.right - button_width(), r.bottom};
}

}  // namespace

namespace detail {

LRESULT listbox_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  list_state* s = msg == WM_NCDESTROY ? nullptr : lists.get(h);
  switch (msg) {
  case WM_NCDESTROY:
    if (lists.get(h)->combo) free_record(reinterpret_cast<uint32_t*>(uintptr_t(uint32_t(GetWindowLongW(h, 0)))));
    lists.drop(h);
    break;
  case WM_CREATE: {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    s->wants_v = cs->style & WS_VSCROLL, s->wants_h = cs->style & WS_HSCROLL;
    if (s->wants_v || s->wants_h) ShowScrollBar(h, SB_BOTH, FALSE);  // shown when there is something to scroll
    return 0;
  }
  case WM_SETFONT:
    s->font = HFONT(wp);
    update_bars(h, s);
    return 0;
  case WM_GETFONT: return LRESULT(s->font);
  case LB_ADDSTRING:
  case LB_INSERTSTRING: {
    std::u16string t = text_of(lp);
    int n = int(s->items.size());
    int at = msg == LB_INSERTSTRING ? (intptr_t(wp) < 0 || int(wp) > n ? (intptr_t(wp) < 0 ? n : -1) : int(wp)) : n;
    if (at < 0) return LB_ERR;
    if (msg == LB_ADDSTRING && (GetWindowLongW(h, GWL_STYLE) & LBS_SORT))
      at = int(std::upper_bound(s->items.begin(), s->items.end(), t) - s->items.begin());
    s->items.insert(s->items.begin() + at, t);
    if (s->cur >= at) s->cur++;
    update_bars(h, s);
    return at;
  }
  case LB_DELETESTRING: {
    int i = int(wp);
    if (i < 0 || i >= int(s->items.size())) return LB_ERR;
    s->items.erase(s->items.begin() + i);
    if (s->cur == i)
      s->cur = -1;
    else if (s->cur > i)
      s->cur--;
    update_bars(h, s);
    return LRESULT(s->items.size());
  }
  case LB_RESETCONTENT:
    s->items.clear();
    s->cur = -1, s->top = 0;
    update_bars(h, s);
    return 0;
  case LB_SETCURSEL: {
    int i = int(intptr_t(wp));
    if (i < 0 || i >= int(s->items.size())) {
      s->cur = -1;
      InvalidateRect(h, nullptr, TRUE);
      return LB_ERR;
    }
    s->cur = i;
    ensure_visible(h, s, i);
    return i;
  }
  case LB_GETCURSEL: return s->cur;
  case LB_GETTEXT:
  case LB_GETTEXTLEN: {
    int i = int(wp);
    if (i < 0 || i >= int(s->items.size())) return LB_ERR;
    const std::u16string& t = s->items[size_t(i)];
    if (msg == LB_GETTEXT && lp) {
      std::copy(t.begin(), t.end(), reinterpret_cast<WCHAR*>(lp));
      reinterpret_cast<WCHAR*>(lp)[t.size()] = 0;
    }
    return LRESULT(t.size());
  }
  case LB_GETCOUNT: return LRESULT(s->items.size());
  case LB_GETTOPINDEX: return s->top;
  case LB_SETTOPINDEX:
    if (int(wp) >= int(s->items.size())) return LB_ERR;
    s->top = int(wp);
    update_bars(h, s);
    return 0;
  case LB_GETITEMHEIGHT: return item_height(s);
  case LB_GETITEMRECT: {
    auto* out = reinterpret_cast<RECT*>(lp);
    if (!out || int(wp) < 0 || int(wp) >= int(s->items.size())) return LB_ERR;
    RECT r;
    GetClientRect(h, &r);
    int y = (int(wp) - s->top) * item_height(s);
    *out = RECT{0, y, r.right, y + item_height(s)};
    return 1;
  }
  case LB_ITEMFROMPOINT: {
    bool outside;
    int i = item_at(h, s, lparam_point(lp), &outside);
    return LRESULT(MAKELPARAM(i, outside ? 1 : 0) & 0xFFFFFFFF);
  }
  case LB_SETHORIZONTALEXTENT:
    s->extent = int(wp);
    update_bars(h, s);
    return 0;
  case LB_GETHORIZONTALEXTENT: return s->extent;
  case WM_VSCROLL:
  case WM_HSCROLL: {
    if (lp) return 0;
    bool v = msg == WM_VSCROLL;
    int& at = v ? s->top : s->scroll_x;
    int line = v ? 1 : 8, page = v ? visible_rows(h, s) : 40;
    SCROLLINFO si{sizeof si, SIF_ALL, 0, 0, 0, 0, 0};
    GetScrollInfo(h, v ? SB_VERT : SB_HORZ, &si);
    switch (LOWORD(wp)) {
    case SB_LINEUP: at -= line; break;
    case SB_LINEDOWN: at += line; break;
    case SB_PAGEUP: at -= page; break;
    case SB_PAGEDOWN: at += page; break;
    case SB_THUMBTRACK:
    case SB_THUMBPOSITION: at = si.nTrackPos; break;
    }
    RECT r;
    GetClientRect(h, &r);
    if (!v) at = std::clamp(at, 0, std::max(0, s->extent - int(r.right)));
    update_bars(h, s);
    return 0;
  }
  case WM_MOUSEWHEEL:
    s->top -= 3 * int16_t(HIWORD(wp)) / 120;
    update_bars(h, s);
    return 0;
  case WM_LBUTTONDOWN: {
    bool outside;
    int i = item_at(h, s, lparam_point(lp), &outside);
    if (s->combo) {
      if (outside) SendMessageW(s->combo, LBX_CHOSEN, WPARAM(-1), 0);
      return 0;
    }
    SetFocus(h);
    SetCapture(h);
    s->tracking = true;
    if (!outside) select_by_user(h, s, i);
    return 0;
  }
  case WM_MOUSEMOVE:
    if (s->tracking) {
      bool outside;
      int i = item_at(h, s, lparam_point(lp), &outside);
      if (!outside && i != s->cur) {
        if (s->combo)
          s->cur = i, InvalidateRect(h, nullptr, TRUE);
        else
          select_by_user(h, s, i);
      }
    }
    return 0;
  case WM_LBUTTONUP: {
    bool outside;
    int i = item_at(h, s, lparam_point(lp), &outside);
    if (s->combo) {
      if (!outside) SendMessageW(s->combo, LBX_CHOSEN, WPARAM(i), 0);
      return 0;
    }
    if (s->tracking && GetCapture() == h) ReleaseCapture();
    s->tracking = false;
    return 0;
  }
  case WM_LBUTTONDBLCLK:
    if (!s->combo && (GetWindowLongW(h, GWL_STYLE) & LBS_NOTIFY)) command(h, LBN_DBLCLK);
    return 0;
  case WM_KEYDOWN: {
    int n = int(s->items.size()), rows = visible_rows(h, s), i = s->cur;
    switch (wp) {
    case VK_UP: i = i < 0 ? 0 : i - 1; break;
    case VK_DOWN: i = i + 1; break;
    case VK_PRIOR: i -= rows; break;
    case VK_NEXT: i += rows; break;
    case VK_HOME: i = 0; break;
    case VK_END: i = n - 1; break;
    default: return 0;
    }
    if (n) select_by_user(h, s, std::clamp(i, 0, n - 1));
    return 0;
  }
  case WM_SETFOCUS:
  case WM_KILLFOCUS:
    InvalidateRect(h, nullptr, TRUE);
    if (!s->combo && (GetWindowLongW(h, GWL_STYLE) & LBS_NOTIFY))
      command(h, msg == WM_SETFOCUS ? LBN_SETFOCUS : LBN_KILLFOCUS);
    return 0;
  case WM_SIZE: update_bars(h, s); return 0;
  case WM_ERASEBKGND: return 1;
  case WM_PAINT: paint_list(h, s); return 0;
  }
  return DefWindowProcW(h, msg, wp, lp);
}

LRESULT combo_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  combo_state* s = combos.of_message(h, msg);
  auto forward = [&](UINT m, WPARAM w, LPARAM l) { return SendMessageW(s->list, m, w, l); };
  switch (msg) {
  case WM_CREATE: {
    auto* cs = reinterpret_cast<CREATESTRUCTW*>(lp);
    s->list = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_NOACTIVATE, u"ComboLBox", u"", WS_POPUP | WS_BORDER, 0, 0, 10,
                              10, h, 0, 0, nullptr);
    lists.get(s->list)->combo = h;
    link_inner(s->list, h);
    if ((cs->style & 3) != CBS_DROPDOWNLIST) {
      RECT f = field_rect(h);
      s->edit =
          CreateWindowExW(0, u"EDIT", cs->lpszName, WS_CHILD | WS_VISIBLE | ES_AUTOHSCROLL, 1, 1,
                          std::max(0, int(f.right) - 2), std::max(0, int(f.bottom) - 2), h, HMENU(1001), 0, nullptr);
      link_inner(s->edit, h);
    }
    return 0;
  }
  case WM_DESTROY:
    if (s->edit) free_record(reinterpret_cast<uint32_t*>(uintptr_t(uint32_t(GetWindowLongW(s->edit, 0)))));
    DestroyWindow(s->list);
    break;
  case WM_SIZE:
    if (s->edit) {
      RECT f = field_rect(h);
      MoveWindow(s->edit, 1, 1, std::max(0, int(f.right) - 2), std::max(0, int(f.bottom) - 2), TRUE);
    }
    return 0;
  case WM_SETFONT:
    s->font = HFONT(wp);
    if (s->edit) SendMessageW(s->edit, WM_SETFONT, wp, lp);
    SendMessageW(s->list, WM_SETFONT, wp, lp);
    return 0;
  case WM_GETFONT: return LRESULT(s->font);
  case WM_SETTEXT:
    if (s->edit) {
      s->quiet = true;  // the program's text is no edit of the user's
      LRESULT r = SendMessageW(s->edit, WM_SETTEXT, wp, lp);
      s->quiet = false;
      return r;
    }
    {
      // A drop-down list shows only its items: the text picks the item that matches.
      list_state* l = lists.get(s->list);
      std::u16string t = text_of(lp);
      auto it = std::find(l->items.begin(), l->items.end(), t);
      if (it == l->items.end()) return -1;  // CB_ERR
      l->cur = int(it - l->items.begin());
      show_choice(h, s);
      return 1;
    }
  case WM_GETTEXT:
  case WM_GETTEXTLENGTH:
    if (s->edit) return SendMessageW(s->edit, msg, wp, lp);
    return DefWindowProcW(h, msg, wp, lp);
  case CB_ADDSTRING: return forward(LB_ADDSTRING, wp, lp);
  case CB_INSERTSTRING: return forward(LB_INSERTSTRING, wp, lp);
  case CB_DELETESTRING: return forward(LB_DELETESTRING, wp, lp);
  case CB_RESETCONTENT:
    forward(LB_RESETCONTENT, 0, 0);
    if (!s->edit) show_choice(h, s);
    return 0;
  case CB_GETCOUNT: return forward(LB_GETCOUNT, 0, 0);
  case CB_GETCURSEL: return forward(LB_GETCURSEL, 0, 0);
  case CB_GETLBTEXT: return forward(LB_GETTEXT, wp, lp);
  case CB_GETLBTEXTLEN: return forward(LB_GETTEXTLEN, wp, lp);
  case CB_SETCURSEL: {
    LRESULT r = forward(LB_SETCURSEL, wp, lp);
    show_choice(h, s);
    return r;
  }
  case CB_SHOWDROPDOWN:
    if (wp)
      drop(h, s);
    else
      close_up(h, s);
    return 1;
  case CB_GETDROPPEDSTATE: return s->dropped;
  case CB_LIMITTEXT: return s->edit ? SendMessageW(s->edit, EM_LIMITTEXT, wp, 0) : -1;
  case CB_GETEDITSEL: return s->edit ? SendMessageW(s->edit, EM_GETSEL, wp, lp) : -1;
  case CB_SETEDITSEL:
    return s->edit ? (SendMessageW(s->edit, EM_SETSEL, WPARAM(int16_t(LOWORD(lp))), int16_t(HIWORD(lp))), 1) : -1;
  case CB_GETCOMBOBOXINFO: {
    auto* info = reinterpret_cast<COMBOBOXINFO*>(lp);
    if (!info) return 0;
    RECT f = field_rect(h), c;
    GetClientRect(h, &c);
    info->rcItem = f;
    info->rcButton = RECT{f.right, 0, c.right, c.bottom};
    info->stateButton = 0;
    info->hwndCombo = h, info->hwndItem = s->edit, info->hwndList = s->list;
    return 1;
  }
  case LBX_CHOSEN: s->chosen = int(intptr_t(wp)); return 0;
  case WM_COMMAND:
    if (HWND(lp) == s->edit && s->edit) {
      switch (HIWORD(wp)) {
      case EN_CHANGE:
        if (!s->quiet) command(h, CBN_EDITCHANGE);
        break;
      case EN_SETFOCUS: command(h, CBN_SETFOCUS); break;
      case EN_KILLFOCUS: command(h, CBN_KILLFOCUS); break;
      }
    }
    return 0;
  case WM_SETFOCUS:
    if (s->edit)
      SetFocus(s->edit);
    else
      command(h, CBN_SETFOCUS), InvalidateRect(h, nullptr, TRUE);
    return 0;
  case WM_KILLFOCUS:
    if (!s->edit) command(h, CBN_KILLFOCUS), InvalidateRect(h, nullptr, TRUE);
    return 0;
  case WM_LBUTTONDOWN: {
    POINT p = lparam_point(lp);
    RECT f = field_rect(h);
    if (!s->edit) SetFocus(h);
    if (!s->edit || !inside(f, p)) drop(h, s);
    return 0;
  }
  case WM_KEYDOWN:
    if (wp == VK_F1 + 3 || (wp == VK_DOWN && GetKeyState(VK_MENU) < 0))
      drop(h, s);  // F4, Alt+Down
    else if (!s->edit && (wp == VK_UP || wp == VK_DOWN)) {
      list_state* l = lists.get(s->list);
      int i = std::clamp(l->cur + (wp == VK_UP ? -1 : 1), 0, int(l->items.size()) - 1);
      if (i != l->cur && !l->items.empty()) {
        l->cur = i;
        show_choice(h, s);
        command(h, CBN_SELCHANGE);
      }
    }
    return 0;
  case WM_ERASEBKGND: return 1;
  case WM_PAINT: {
    paint_scope p(h);
    auto& [dc, cr, r] = p.area;
    RECT f = field_rect(h);
    bool disabled = GetWindowLongW(h, GWL_STYLE) & WS_DISABLED;
    colours c = ask_colours(h, dc, s->edit ? WM_CTLCOLOREDIT : WM_CTLCOLORSTATIC,
                            p.sys(s->edit ? COLOR_WINDOW : COLOR_BTNFACE),
                            p.sys(disabled ? COLOR_GRAYTEXT : COLOR_WINDOWTEXT));
    fill(cr, r, c.back);
    RECT b{f.right, 0, r.right, r.bottom};
    fill(cr, b, s->dropped ? RGB(204, 228, 247) : RGB(225, 225, 225));
    cairo_save(cr);
    cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
    double cx = (b.left + b.right) / 2.0, cy = (b.top + b.bottom) / 2.0;
    cairo_move_to(cr, cx - 4, cy - 2), cairo_line_to(cr, cx + 4, cy - 2), cairo_line_to(cr, cx, cy + 2);
    cairo_fill(cr);
    cairo_restore(cr);
    outline(cr, r, GetFocus() == h ? p.sys(COLOR_HIGHLIGHT) : RGB(173, 173, 173));
    if (!s->edit) {
      list_state* l = lists.get(s->list);
      if (l->cur >= 0)
        draw_text(dc, s->font, l->items[size_t(l->cur)], RECT{4, 0, f.right, f.bottom},
                  gfx::DT_SINGLELINE | gfx::DT_VCENTER | gfx::DT_NOPREFIX, c.text);
    }
    return 0;
  }
  }
  return DefWindowProcW(h, msg, wp, lp);
}

}  // namespace detail

int LBItemFromPt(HWND list, POINT screen, BOOL) {
  if (!IsWindow(list)) return -1;
  ScreenToClient(list, &screen);
  LRESULT r = SendMessageW(list, LB_ITEMFROMPOINT, 0, MAKELPARAM(screen.x, screen.y));
  return HIWORD(r) ? -1 : int(LOWORD(r));
}

}  // namespace kez::win
