// Menus: bars (in the window's frame) and popups, with their loop: the
// owner hears WM_ENTERMENULOOP, WM_MENUSELECT for each highlighted item,
// WM_MENUSELECT 0xFFFF0000 at the close, WM_EXITMENULOOP, then a posted
// WM_COMMAND for a choice. "&" marks an item's mnemonic.
#include <algorithm>
#include <cwctype>

#include "platform/win/ctl.h"

namespace kez::win {
using namespace detail;

namespace {

struct menu_item {
  UINT type = MFT_STRING, state = 0, id = 0;
  HMENU sub = 0;
  uintptr_t data = 0;
  std::u16string text;
};

struct menu_object final : object {
  menu_object() : object(kind::menu) {}
  bool popup = false;
  std::vector<menu_item> items;
};

menu_object* menu_of(HMENU h) { return static_cast<menu_object*>(find(h, kind::menu)); }

menu_item* item_of(menu_object* m, UINT item, BOOL by_position) {
  if (!m) return nullptr;
  if (by_position) return item < m->items.size() ? &m->items[item] : nullptr;
  for (menu_item& i : m->items) {
    if (!i.sub && i.id == item && i.type != MFT_SEPARATOR) return &i;
    if (i.sub)
      if (menu_item* deeper = item_of(menu_of(i.sub), item, FALSE)) return deeper;
  }
  return nullptr;
}

constexpr int item_h = 22, separator_h = 7, popup_pad = 2;

bool selectable(const menu_item& i) { return i.type != MFT_SEPARATOR && !(i.state & MFS_GRAYED); }

// One open popup of the loop.
struct level {
  HMENU menu;
  HWND window;
  int hot = -1;
};
std::unordered_map<HWND, level*> views;  // popup window -> its level, for painting

int item_top(menu_object* m, int index) {
  int y = popup_pad;
  for (int i = 0; i < index; i++) y += m->items[size_t(i)].type == MFT_SEPARATOR ? separator_h : item_h;
  return y;
}

SIZE popup_size(menu_object* m) {
  int w = 120;
  for (const menu_item& i : m->items)
    if (i.type != MFT_SEPARATOR) w = std::max(w, text_width(0, i.text) + 64);
  return SIZE{w, item_top(m, int(m->items.size())) + popup_pad};
}

int item_at_y(menu_object* m, int y) {
  for (int i = 0; i < int(m->items.size()); i++) {
    int top = item_top(m, i), h = m->items[size_t(i)].type == MFT_SEPARATOR ? separator_h : item_h;
    if (y >= top && y < top + h) return i;
  }
  return -1;
}

HWND open_popup(HWND owner, level* l, POINT at) {
  menu_object* m = menu_of(l->menu);
  SIZE size = popup_size(m);
  MONITORINFO mi{sizeof mi, {}, {}, 0};
  GetMonitorInfoW(MonitorFromPoint(at, MONITOR_DEFAULTTONEAREST), &mi);
  // Kept on the screen: flipped to the left or up when it would leave it.
  if (at.x + size.cx > mi.rcWork.right) at.x = std::max(mi.rcWork.left, LONG(mi.rcWork.right - size.cx));
  if (at.y + size.cy > mi.rcWork.bottom) at.y = std::max(mi.rcWork.top, LONG(mi.rcWork.bottom - size.cy));
  l->window = CreateWindowExW(WS_EX_TOOLWINDOW | WS_EX_TOPMOST | WS_EX_NOACTIVATE, u"#32768", u"", WS_POPUP | WS_BORDER,
                              at.x, at.y, size.cx + 2, size.cy + 2, owner, 0, 0, nullptr);
  views[l->window] = l;
  ShowWindow(l->window, SW_SHOWNA);
  UpdateWindow(l->window);
  return l->window;
}

void close_levels(std::vector<std::unique_ptr<level>>& levels, size_t keep) {
  while (levels.size() > keep) {
    views.erase(levels.back()->window);
    DestroyWindow(levels.back()->window);
    levels.pop_back();
  }
}

void highlight(HWND owner, level* l, int index) {
  if (l->hot == index) return;
  l->hot = index;
  InvalidateRect(l->window, nullptr, TRUE);
  UpdateWindow(l->window);
  if (index < 0) return;
  const menu_item& i = menu_of(l->menu)->items[size_t(index)];
  // A command item is named by its id, a submenu item by its position.
  UINT flags = MF_HILITE | MF_MOUSESELECT | (i.sub ? MF_POPUP : 0) | ((i.state & MFS_GRAYED) ? MF_GRAYED : 0);
  SendMessageW(owner, WM_MENUSELECT, MAKEWPARAM(i.sub ? index : int(i.id), int(flags)), LPARAM(l->menu));
}

void open_sub(HWND owner, std::vector<std::unique_ptr<level>>& levels, size_t at) {
  level* l = levels[at].get();
  const menu_item& i = menu_of(l->menu)->items[size_t(l->hot)];
  if (!i.sub || !menu_of(i.sub)) return;
  SendMessageW(owner, WM_INITMENUPOPUP, WPARAM(i.sub), MAKELPARAM(l->hot, 0));
  RECT r;
  GetWindowRect(l->window, &r);
  levels.push_back(std::make_unique<level>(level{i.sub, 0, -1}));
  open_popup(owner, levels.back().get(), POINT{r.right - 2, r.top + item_top(menu_of(l->menu), l->hot)});
}

// The mnemonic of an item: the character after a single "&".
char16_t mnemonic(const std::u16string& t) {
  for (size_t i = 0; i + 1 < t.size(); i++) {
    if (t[i] != u'&') continue;
    if (t[i + 1] == u'&') {
      i++;
      continue;
    }
    return char16_t(std::towlower(wint_t(t[i + 1])));
  }
  return 0;
}

// The bar's items laid out left to right, in window coordinates.
std::vector<RECT> bar_items(window* w) {
  std::vector<RECT> out;
  menu_object* m = menu_of(w->menu);
  if (!m || !w->menu_bar) return out;
  int bar = GetSystemMetricsForDpi(SM_CYMENU, w->dpi), top = w->frame.top - bar, x = w->frame.left;
  for (const menu_item& i : m->items) {
    int width = i.type == MFT_SEPARATOR ? 6 : text_width(0, i.text) + 16;
    out.push_back(RECT{x, top, x + width, top + bar});
    x += width;
  }
  return out;
}

int bar_item_at(HWND hwnd, POINT screen) {
  window* w = detail::win(hwnd);
  if (!w) return -1;
  RECT wr = screen_rect(w);
  POINT p{screen.x - wr.left, screen.y - wr.top};
  std::vector<RECT> items = bar_items(w);
  for (size_t i = 0; i < items.size(); i++)
    if (inside(items[i], p)) return int(i);
  return -1;
}

void refresh_bar(window* w) {
  if (!w || !w->surface) return;
  paint_frame(w);
  top_changed(w);
  present_dirty();
}

// The loop over open popups. Answers the chosen id, -1 when cancelled, or
// -2 - n when the mouse moved onto another item n of the bar (`bar_owner`).
int menu_loop(HWND owner, std::vector<std::unique_ptr<level>>& levels, HWND bar_owner, int bar_index, UINT button) {
  layer::answer a;
  if (take_answer(&a)) {
    level* root = levels.front().get();
    menu_object* m = menu_of(root->menu);
    if (a.kind != layer::answer::item || a.n < 0 || a.n >= int(m->items.size()) || !selectable(m->items[size_t(a.n)]) ||
        m->items[size_t(a.n)].sub)
      return -1;
    highlight(owner, root, a.n);
    return int(m->items[size_t(a.n)].id);
  }
  HWND grab = levels.front()->window;
  SetCapture(grab);
  modal_scope scope(grab);
  int result = -1;
  MSG msg;
  while (IsWindow(owner)) {
    if (!modal_get(&msg)) break;
    UINT m = msg.message;
    bool mouse = m >= WM_MOUSEMOVE && m <= WM_MOUSEHWHEEL;
    if (mouse) {
      POINT p = lparam_point(msg.lParam);
      if (m != WM_MOUSEWHEEL) ClientToScreen(msg.hwnd, &p);
      // The deepest popup under the point.
      int over = -1, index = -1;
      for (int k = int(levels.size()) - 1; k >= 0 && over < 0; k--) {
        RECT r{};
        GetWindowRect(levels[size_t(k)]->window, &r);
        if (inside(r, p)) over = k, index = item_at_y(menu_of(levels[size_t(k)]->menu), p.y - r.top - 1);
      }
      if (m == WM_MOUSEMOVE) {
        if (over >= 0) {
          level* l = levels[size_t(over)].get();
          close_levels(levels, size_t(over) + 1);
          if (index >= 0 && index != l->hot) {
            highlight(owner, l, index);
            if (menu_of(l->menu)->items[size_t(index)].sub) open_sub(owner, levels, size_t(over));
          }
        } else if (bar_owner) {
          int b = bar_item_at(bar_owner, p);
          if (b >= 0 && b != bar_index) {
            result = -2 - b;
            break;
          }
        }
      } else if (m == WM_LBUTTONDOWN || m == WM_RBUTTONDOWN) {
        if (over < 0) break;  // a press outside the menu cancels it
      } else if ((m == WM_LBUTTONUP && (button == TPM_LEFTBUTTON || button == TPM_RIGHTBUTTON)) ||
                 (m == WM_RBUTTONUP && button == TPM_RIGHTBUTTON)) {
        if (over >= 0 && index >= 0) {
          const menu_item& i = menu_of(levels[size_t(over)]->menu)->items[size_t(index)];
          if (selectable(i) && !i.sub) {
            highlight(owner, levels[size_t(over)].get(), index);
            result = int(i.id);
            break;
          }
        }
      }
      continue;
    }
    if (m == WM_KEYDOWN || m == WM_SYSKEYDOWN) {
      level* l = levels.back().get();
      menu_object* mo = menu_of(l->menu);
      int n = int(mo->items.size());
      WPARAM vk = msg.wParam;
      if (vk == VK_ESCAPE) {
        if (levels.size() > 1)
          close_levels(levels, levels.size() - 1);
        else
          break;
      } else if (vk == VK_UP || vk == VK_DOWN) {
        int step = vk == VK_UP ? -1 : 1, i = l->hot;
        for (int k = 0; k < n; k++) {
          i = ((i < 0 ? (step > 0 ? -1 : 0) : i) + step + n) % n;
          if (selectable(mo->items[size_t(i)])) break;
        }
        if (n) highlight(owner, l, i);
      } else if (vk == VK_RIGHT && l->hot >= 0 && mo->items[size_t(l->hot)].sub) {
        open_sub(owner, levels, levels.size() - 1);
      } else if (vk == VK_LEFT && levels.size() > 1) {
        close_levels(levels, levels.size() - 1);
      } else if ((vk == VK_LEFT || vk == VK_RIGHT) && bar_owner) {
        // From a bar's menu, the next menu of the bar to either side.
        int count = GetMenuItemCount(GetMenu(bar_owner));
        if (count > 1) {
          result = -2 - (bar_index + (vk == VK_LEFT ? count - 1 : 1)) % count;
          break;
        }
      } else if (vk == VK_RETURN && l->hot >= 0) {
        const menu_item& i = mo->items[size_t(l->hot)];
        if (i.sub)
          open_sub(owner, levels, levels.size() - 1);
        else if (selectable(i)) {
          result = int(i.id);
          break;
        }
      } else {
        TranslateMessage(&msg);  // a mnemonic arrives as the character
      }
      continue;
    }
    if (m == WM_CHAR || m == WM_SYSCHAR) {
      level* l = levels.back().get();
      menu_object* mo = menu_of(l->menu);
      char16_t c = char16_t(std::towlower(wint_t(msg.wParam)));
      int found = -1;
      for (int i = 0; i < int(mo->items.size()) && found < 0; i++)
        if (selectable(mo->items[size_t(i)]) && mnemonic(mo->items[size_t(i)].text) == c) found = i;
      if (found >= 0) {
        highlight(owner, l, found);
        if (mo->items[size_t(found)].sub)
          open_sub(owner, levels, levels.size() - 1);
        else {
          result = int(mo->items[size_t(found)].id);
          break;
        }
      }
      continue;
    }
    if (m == WM_KEYUP || m == WM_SYSKEYUP) continue;
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  if (GetCapture() == grab) ReleaseCapture();
  return result;
}

// Ends a menu loop: the close notice, then the choice as a posted command.
void finish(HWND owner, BOOL popup, int chosen, bool post) {
  SendMessageW(owner, WM_MENUSELECT, MAKEWPARAM(0, 0xFFFF), 0);
  SendMessageW(owner, WM_EXITMENULOOP, WPARAM(popup), 0);
  if (chosen >= 0 && post) PostMessageW(owner, WM_COMMAND, WPARAM(chosen & 0xFFFF), 0);
}

}  // namespace

namespace detail {

LRESULT menu_popup_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
  case WM_MOUSEACTIVATE: return 3;  // MA_NOACTIVATE
  case WM_ERASEBKGND: return 1;
  case WM_PAINT: {
    paint_scope p(h);
    auto& [dc, cr, r] = p.area;
    bool dark = p.dark();
    fill(cr, r, dark ? RGB(43, 43, 43) : RGB(242, 242, 242));
    auto it = views.find(h);
    if (it != views.end())
      if (menu_object* m = menu_of(it->second->menu)) {
        for (int i = 0; i < int(m->items.size()); i++) {
          const menu_item& item = m->items[size_t(i)];
          int top = item_top(m, i);
          if (item.type == MFT_SEPARATOR) {
            fill(cr, RECT{28, top + 3, r.right - 4, top + 4}, dark ? RGB(80, 80, 80) : RGB(215, 215, 215));
            continue;
          }
          RECT row{2, top, r.right - 2, top + item_h};
          if (i == it->second->hot) fill(cr, row, dark ? RGB(65, 65, 65) : RGB(145, 201, 247));
          COLORREF c = (item.state & MFS_GRAYED) ? p.sys(COLOR_GRAYTEXT) : p.sys(COLOR_WINDOWTEXT);
          if (item.state & MFS_CHECKED)
            draw_text(dc, 0, u"\u2713", RECT{8, top, 28, top + item_h}, gfx::DT_SINGLELINE | gfx::DT_VCENTER, c);
          draw_text(dc, 0, item.text, RECT{28, top, r.right - 20, top + item_h}, gfx::DT_SINGLELINE | gfx::DT_VCENTER,
                    c);
          if (item.sub)
            draw_text(dc, 0, u"\u25B8", RECT{r.right - 18, top, r.right - 4, top + item_h},
                      gfx::DT_SINGLELINE | gfx::DT_VCENTER, c);
        }
      }
    return 0;
  }
  }
  return DefWindowProcW(h, msg, wp, lp);
}

void paint_menu_bar(window* w, cairo_t* cr) {
  std::vector<RECT> items = bar_items(w);
  if (items.empty() && !(w->menu_bar && menu_of(w->menu))) return;
  int bar = GetSystemMetricsForDpi(SM_CYMENU, w->dpi);
  int width = w->rect.right - w->rect.left;
  bool dark = dark_colours(w->self);
  fill(cr, RECT{w->frame.left, w->frame.top - bar, width - w->frame.right, w->frame.top},
       dark ? RGB(32, 32, 32) : RGB(255, 255, 255));
  menu_object* m = menu_of(w->menu);
  gfx::gdi_dc g(w->surface);
  g.set_bk_mode(gfx::TRANSPARENT);
  for (size_t i = 0; i < items.size(); i++) {
    const menu_item& item = m->items[i];
    if (item.type == MFT_SEPARATOR) continue;
    if (int(i) == w->bar_hot) fill(cr, items[i], dark ? RGB(65, 65, 65) : RGB(204, 232, 255));
    g.set_text_color(sys_colour(w->self, (item.state & MFS_GRAYED) ? COLOR_GRAYTEXT : COLOR_WINDOWTEXT));
    gfx::gdi_rect r{items[i].left, items[i].top, items[i].right, items[i].bottom};
    g.draw_text(item.text, r, gfx::DT_CENTER | gfx::DT_VCENTER | gfx::DT_SINGLELINE);
  }
}

namespace {
// The bar's loop from its item `index`; by the keyboard, each menu opens
// with its first item highlighted.
void bar_loop(HWND hwnd, int index, bool keyboard) {
  window* w = detail::win(hwnd);
  if (!w) return;
  HMENU bar = w->menu;
  SendMessageW(hwnd, WM_ENTERMENULOOP, FALSE, 0);
  SendMessageW(hwnd, 0x0116, WPARAM(bar), 0);  // WM_INITMENU
  int chosen = -1;
  while (index >= 0 && IsWindow(hwnd)) {
    menu_object* m = menu_of(bar);
    if (!m || index >= int(m->items.size())) break;
    menu_item item = m->items[size_t(index)];
    if ((w = detail::win(hwnd))) w->bar_hot = index, refresh_bar(w);
    UINT flags = MF_HILITE | (keyboard ? 0 : MF_MOUSESELECT) | (item.sub ? MF_POPUP : 0);
    SendMessageW(hwnd, WM_MENUSELECT, MAKEWPARAM(item.sub ? index : int(item.id), int(flags)), LPARAM(bar));
    if (!item.sub) {
      // A command on the bar itself is chosen at once.
      if (selectable(item)) chosen = int(item.id);
      break;
    }
    SendMessageW(hwnd, WM_INITMENUPOPUP, WPARAM(item.sub), MAKELPARAM(index, 0));
    std::vector<RECT> rects = bar_items(detail::win(hwnd));
    RECT wr;
    GetWindowRect(hwnd, &wr);
    std::vector<std::unique_ptr<level>> levels;
    levels.push_back(std::make_unique<level>(level{item.sub, 0, -1}));
    open_popup(hwnd, levels.back().get(),
               POINT{wr.left + rects[size_t(index)].left, wr.top + rects[size_t(index)].bottom});
    if (keyboard) {
      menu_object* sub = menu_of(item.sub);
      for (int i = 0; sub && i < int(sub->items.size()); i++)
        if (selectable(sub->items[size_t(i)])) {
          highlight(hwnd, levels.back().get(), i);
          break;
        }
    }
    int r = menu_loop(hwnd, levels, hwnd, index, TPM_LEFTBUTTON);
    close_levels(levels, 0);
    if (r <= -2) {
      index = -2 - r;
      continue;
    }
    chosen = r;
    break;
  }
  if ((w = detail::win(hwnd))) w->bar_hot = -1, refresh_bar(w);
  if (IsWindow(hwnd)) finish(hwnd, FALSE, chosen, true);
}
}  // namespace

void menu_bar_track(HWND hwnd, POINT screen) {
  int index = bar_item_at(hwnd, screen);
  if (index >= 0) bar_loop(hwnd, index, false);
}

bool menu_bar_key(HWND hwnd, WCHAR ch) {
  window* w = detail::win(hwnd);
  menu_object* m = w && w->menu_bar ? menu_of(w->menu) : nullptr;
  if (!m) return false;
  char16_t c = char16_t(std::towlower(wint_t(ch)));
  for (int i = 0; i < int(m->items.size()); i++)
    if (selectable(m->items[size_t(i)]) && mnemonic(m->items[size_t(i)].text) == c) {
      bar_loop(hwnd, i, true);
      return true;
    }
  return false;
}

}  // namespace detail

HMENU CreateMenu() { return add(std::make_unique<menu_object>()); }

HMENU CreatePopupMenu() {
  auto m = std::make_unique<menu_object>();
  m->popup = true;
  return add(std::move(m));
}

BOOL DestroyMenu(HMENU h) {
  menu_object* m = menu_of(h);
  if (!m) return 0;
  std::vector<HMENU> subs;
  for (const menu_item& i : m->items)
    if (i.sub) subs.push_back(i.sub);
  remove(h);
  for (HMENU s : subs) DestroyMenu(s);
  return 1;
}

BOOL InsertMenuItemW(HMENU h, UINT item, BOOL by_position, const MENUITEMINFOW* info) {
  menu_object* m = menu_of(h);
  if (!m || !info) return 0;
  size_t at = m->items.size();
  if (by_position)
    at = std::min<size_t>(item, m->items.size());
  else
    for (size_t i = 0; i < m->items.size(); i++)
      if (m->items[i].id == item) {
        at = i;
        break;
      }
  menu_item n;
  if (info->fMask & MIIM_FTYPE) n.type = info->fType;
  if (info->fMask & MIIM_STATE) n.state = info->fState;
  if (info->fMask & MIIM_ID) n.id = info->wID;
  if (info->fMask & MIIM_SUBMENU) n.sub = info->hSubMenu;
  if (info->fMask & MIIM_DATA) n.data = info->dwItemData;
  if ((info->fMask & MIIM_STRING) && info->dwTypeData) n.text = std::u16string(info->dwTypeData);
  m->items.insert(m->items.begin() + long(at), std::move(n));
  return 1;
}

BOOL AppendMenuW(HMENU h, UINT flags, UINT_PTR id, const WCHAR* text) {
  MENUITEMINFOW info{sizeof info, MIIM_FTYPE | MIIM_STATE | MIIM_ID | MIIM_STRING, 0, 0, 0, 0, 0, 0, 0, nullptr, 0, 0};
  info.fType = (flags & MF_SEPARATOR) ? MFT_SEPARATOR : MFT_STRING;
  info.fState = (flags & MF_GRAYED) ? MFS_GRAYED : 0;
  if (flags & MF_POPUP)
    info.fMask |= MIIM_SUBMENU, info.hSubMenu = HMENU(id);
  else
    info.wID = UINT(id);
  info.dwTypeData = const_cast<WCHAR*>(text);
  menu_object* m = menu_of(h);
  return m ? InsertMenuItemW(h, UINT(m->items.size()), TRUE, &info) : 0;
}

BOOL GetMenuItemInfoW(HMENU h, UINT item, BOOL by_position, MENUITEMINFOW* info) {
  menu_item* i = item_of(menu_of(h), item, by_position);
  if (!i || !info) return 0;
  if (info->fMask & MIIM_FTYPE) info->fType = i->type;
  if (info->fMask & MIIM_STATE) info->fState = i->state;
  if (info->fMask & MIIM_ID) info->wID = i->id;
  if (info->fMask & MIIM_SUBMENU) info->hSubMenu = i->sub;
  if (info->fMask & MIIM_DATA) info->dwItemData = i->data;
  if (info->fMask & MIIM_STRING) {
    if (info->dwTypeData && info->cch) {
      size_t n = std::min<size_t>(i->text.size(), info->cch - 1);
      std::copy_n(i->text.data(), n, info->dwTypeData);
      info->dwTypeData[n] = 0;
    }
    info->cch = UINT(i->text.size());
  }
  return 1;
}

int GetMenuItemCount(HMENU h) {
  menu_object* m = menu_of(h);
  return m ? int(m->items.size()) : -1;
}

HMENU GetSubMenu(HMENU h, int position) {
  menu_item* i = item_of(menu_of(h), UINT(position), TRUE);
  return i ? i->sub : 0;
}

BOOL SetMenu(HWND hwnd, HMENU h) {
  window* w = detail::win(hwnd);
  if (!w || (w->style & WS_CHILD) || (h && !menu_of(h))) return 0;
  w->menu = h;
  w->menu_bar = h != 0;
  SetWindowPos(hwnd, 0, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE | SWP_FRAMECHANGED);
  RECT c;
  GetClientRect(hwnd, &c);
  SendMessageW(hwnd, WM_SIZE, 0, MAKELPARAM(c.right, c.bottom));
  return 1;
}

HMENU GetMenu(HWND hwnd) {
  window* w = detail::win(hwnd);
  return w && menu_of(w->menu) ? w->menu : 0;
}

BOOL DrawMenuBar(HWND hwnd) {
  window* w = detail::win(hwnd);
  if (!w) return 0;
  refresh_bar(w);
  return 1;
}

BOOL TrackPopupMenuEx(HMENU h, UINT flags, int x, int y, HWND owner, void*) {
  if (!menu_of(h) || !IsWindow(owner)) return 0;
  SendMessageW(owner, WM_ENTERMENULOOP, TRUE, 0);
  SendMessageW(owner, WM_INITMENUPOPUP, WPARAM(h), 0);
  std::vector<std::unique_ptr<level>> levels;
  levels.push_back(std::make_unique<level>(level{h, 0, -1}));
  open_popup(owner, levels.back().get(), POINT{x, y});
  int chosen = menu_loop(owner, levels, 0, -1, flags & TPM_RIGHTBUTTON);
  close_levels(levels, 0);
  if (!IsWindow(owner)) return 0;
  bool return_cmd = flags & TPM_RETURNCMD;
  finish(owner, TRUE, chosen, !return_cmd && !(flags & TPM_NONOTIFY));
  if (return_cmd) return chosen >= 0 ? BOOL(chosen) : 0;
  return 1;
}

}  // namespace kez::win
