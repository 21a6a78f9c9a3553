// Buttons (push, check, three-state, radio, push-like, group box, image
// lists of one or six states), statics, and the image lists themselves.
#include <algorithm>

#include "platform/win/ctl.h"

namespace kez::win {
using namespace detail;

namespace {

struct button_state {
  HFONT font = 0;
  WPARAM check = BST_UNCHECKED;
  bool pushed = false, hot = false;
  HIMAGELIST images = 0;
  UINT align = BUTTON_IMAGELIST_ALIGN_CENTER;
};
states<button_state> buttons;

struct static_state {
  HFONT font = 0;
};
states<static_state> statics;

constexpr LRESULT dlgc_radio = 0x40, dlgc_button = 0x2000, dlgc_defpush = 0x10, dlgc_undefpush = 0x20;

DWORD type_of(HWND h) { return DWORD(GetWindowLongW(h, GWL_STYLE)) & BS_TYPEMASK; }
bool is_check(DWORD t) { return t == BS_CHECKBOX || t == BS_AUTOCHECKBOX || t == BS_3STATE || t == BS_AUTO3STATE; }
bool is_radio(DWORD t) { return t == BS_RADIOBUTTON || t == BS_AUTORADIOBUTTON; }

// An automatic radio button checked by the user unchecks the others of its
// group: the siblings between WS_GROUP marks.
void uncheck_group(HWND h) {
  HWND parent = GetParent(h);
  window* p = detail::win(parent);
  if (!p) return;
  std::vector<HWND> order(p->children.rbegin(), p->children.rend());  // creation order
  auto at = std::find(order.begin(), order.end(), h);
  if (at == order.end()) return;
  auto first = at;
  while (first != order.begin() && !(GetWindowLongW(*first, GWL_STYLE) & WS_GROUP)) --first;
  for (auto it = first; it != order.end(); ++it) {
    if (it != first && (GetWindowLongW(*it, GWL_STYLE) & WS_GROUP)) break;
    // Only radio buttons of ours (or superclasses of them) say so.
    if (*it != h && (SendMessageW(*it, WM_GETDLGCODE, 0, 0) & dlgc_radio) && type_of(*it) == BS_AUTORADIOBUTTON)
      SendMessageW(*it, BM_SETCHECK, 0, 0);
  }
}

void click(HWND h) {
  button_state* s = buttons.get(h);
  switch (type_of(h)) {
  case BS_AUTOCHECKBOX: s->check = s->check == BST_CHECKED ? BST_UNCHECKED : BST_CHECKED; break;
  case BS_AUTO3STATE: s->check = (s->check + 1) % 3; break;
  case BS_AUTORADIOBUTTON:
    s->check = BST_CHECKED;
    uncheck_group(h);
    break;
  case BS_GROUPBOX: return;
  }
  InvalidateRect(h, nullptr, TRUE);
  command(h, BN_CLICKED);
}

void paint_button(HWND h) {
  button_state* s = buttons.get(h);
  DWORD style = DWORD(GetWindowLongW(h, GWL_STYLE)), type = style & BS_TYPEMASK;
  bool disabled = style & WS_DISABLED, focused = GetFocus() == h;
  paint_scope p(h);
  auto& [dc, cr, r] = p.area;
  bool pushlike = type == BS_PUSHBUTTON || type == BS_DEFPUSHBUTTON || (style & BS_PUSHLIKE);
  bool box = !pushlike && (is_check(type) || is_radio(type));
  colours c = ask_colours(h, dc, pushlike ? WM_CTLCOLORBTN : WM_CTLCOLORSTATIC, p.sys(COLOR_BTNFACE),
                          p.sys(disabled ? COLOR_GRAYTEXT : COLOR_BTNTEXT));
  if (!c.transparent) fill(cr, r, c.back);
  RECT text_rect = r;
  UINT dt = 0;
  if (type == BS_GROUPBOX && !(style & BS_PUSHLIKE)) {
    int lh = line_height(s->font);
    outline(cr, RECT{r.left, r.top + lh / 2, r.right, r.bottom}, p.sys(COLOR_BTNSHADOW));
    std::u16string text = detail::win(h)->text;
    int tw = text_width(s->font, text);
    if (tw) fill(cr, RECT{r.left + 6, r.top, r.left + 10 + tw, r.top + lh}, c.back);
    draw_text(dc, s->font, text, RECT{r.left + 8, r.top, r.right - 8, r.top + lh}, gfx::DT_SINGLELINE, c.text);
    return;
  }
  if (pushlike) {
    bool down = s->pushed || (s->check == BST_CHECKED && (style & BS_PUSHLIKE));
    // The dark theme's faces are greys from dark to light where the light one's go from grey to blue.
    bool dark = p.dark();
    COLORREF face = down ? (dark ? RGB(102, 102, 102) : RGB(204, 228, 247))
                    : s->hot ? (dark ? RGB(69, 69, 69) : RGB(229, 241, 251))
                             : (dark ? RGB(51, 51, 51) : RGB(225, 225, 225));
    fill(cr, r, face);
    outline(cr, r, type == BS_DEFPUSHBUTTON || focused ? p.sys(COLOR_HIGHLIGHT) : dark ? RGB(155, 155, 155) : RGB(173, 173, 173));
    dt = gfx::DT_CENTER | gfx::DT_VCENTER;
  } else if (box) {
    int size = 13, y = (r.top + r.bottom - size) / 2;
    RECT b{r.left, y, r.left + size, y + size};
    cairo_save(cr);
    if (is_radio(type)) {
      cairo_arc(cr, b.left + size / 2.0, y + size / 2.0, size / 2.0 - 0.5, 0, 6.2832);
      cairo_set_source_rgb(cr, 1, 1, 1);
      cairo_fill_preserve(cr);
      cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
      cairo_set_line_width(cr, 1);
      cairo_stroke(cr);
      if (s->check == BST_CHECKED) {
        cairo_arc(cr, b.left + size / 2.0, y + size / 2.0, 3, 0, 6.2832);
        cairo_fill(cr);
      }
    } else {
      fill(cr, b, RGB(255, 255, 255));
      outline(cr, b, RGB(51, 51, 51));
      if (s->check == BST_CHECKED) {
        cairo_set_source_rgb(cr, 0.2, 0.2, 0.2);
        cairo_set_line_width(cr, 2);
        cairo_move_to(cr, b.left + 3, y + 6.5), cairo_line_to(cr, b.left + 5.5, y + 9.5),
            cairo_line_to(cr, b.left + 10, y + 3.5);
        cairo_stroke(cr);
      } else if (s->check == BST_INDETERMINATE) {
        fill(cr, RECT{b.left + 3, y + 3, b.right - 3, b.bottom - 3}, RGB(51, 51, 51));
      }
    }
    cairo_restore(cr);
    text_rect.left += 16;  // the box and its gap
    dt = gfx::DT_LEFT | gfx::DT_VCENTER;
  }
  // Image list: one image for every state, or six (normal, hot, pressed,
  // disabled, defaulted, stylus-hot).
  bool glyph = false;
  if (auto* list = static_cast<imagelist_object*>(find(s->images, kind::imagelist)); list && !list->images.empty()) {
    glyph = true;
    int state = disabled ? 4 : s->pushed ? 3 : s->hot ? 2 : type == BS_DEFPUSHBUTTON ? 5 : 1;
    int index = list->images.size() >= 6 ? state - 1 : 0;
    int x = s->align == BUTTON_IMAGELIST_ALIGN_LEFT    ? text_rect.left + 2
            : s->align == BUTTON_IMAGELIST_ALIGN_RIGHT ? text_rect.right - list->cx - 2
                                                       : (text_rect.left + text_rect.right - list->cx) / 2;
    draw_image(dc, s->images, index, x, (r.top + r.bottom - list->cy) / 2);
  }
  NMCUSTOMDRAW cd{};
  cd.dwDrawStage = CDDS_PREPAINT;
  cd.hdc = dc;
  cd.rc = r;
  cd.uItemState = (disabled ? CDIS_DISABLED : 0) | (s->pushed ? CDIS_SELECTED : 0) | (focused ? CDIS_FOCUS : 0) |
                  (s->hot ? CDIS_HOT : 0);
  LRESULT answer = notify(h, NM_CUSTOMDRAW, &cd.hdr, sizeof cd);
  // BS_BITMAP gives the button's place to its picture; with no picture set
  // (an empty or "no glyph" image list) the label still shows.
  if (!(answer & CDRF_SKIPDEFAULT) && !((style & BS_BITMAP) && glyph)) {
    // The alignment bits override the type's default placement.
    if ((style & BS_CENTER) == BS_CENTER)
      dt = (dt & ~UINT(gfx::DT_RIGHT)) | gfx::DT_CENTER;
    else if (style & BS_LEFT)
      dt &= ~UINT(gfx::DT_CENTER | gfx::DT_RIGHT);
    else if (style & BS_RIGHT)
      dt = (dt & ~UINT(gfx::DT_CENTER)) | gfx::DT_RIGHT;
    if ((style & BS_VCENTER) == BS_VCENTER)
      dt = (dt & ~UINT(gfx::DT_BOTTOM)) | gfx::DT_VCENTER;
    else if (style & BS_TOP)
      dt &= ~UINT(gfx::DT_VCENTER | gfx::DT_BOTTOM);
    else if (style & BS_BOTTOM)
      dt = (dt & ~UINT(gfx::DT_VCENTER)) | gfx::DT_BOTTOM;
    if (style & BS_MULTILINE) {
      // A wrapped block is placed by hand: DrawText centres single lines only.
      RECT calc = text_rect;
      gfx::gdi_dc g;
      g.select_font(&font_of(s->font));
      gfx::gdi_rect gr{calc.left, calc.top, calc.right, calc.top};
      int height = g.draw_text(detail::win(h)->text, gr, gfx::DT_WORDBREAK | gfx::DT_CALCRECT);
      int room = text_rect.bottom - text_rect.top - height;
      if (dt & gfx::DT_VCENTER)
        text_rect.top += room / 2;
      else if (dt & gfx::DT_BOTTOM)
        text_rect.top += room;
      dt = (dt & (gfx::DT_CENTER | gfx::DT_RIGHT)) | gfx::DT_WORDBREAK;
    } else {
      dt |= gfx::DT_SINGLELINE;
    }
    draw_text(dc, s->font, detail::win(h)->text, text_rect, dt, c.text);
  }
  // A box's focus shows around its label, which stays where the text is drawn above.
  if (box && focused && !detail::win(h)->text.empty()) {
    int tw = text_width(s->font, detail::win(h)->text), lh = line_height(s->font);
    int top = (r.top + r.bottom - lh) / 2;
    RECT m{text_rect.left - 1, std::max(top - 1, r.top), std::min(text_rect.left + tw + 1, r.right),
           std::min(top + lh + 1, r.bottom)};
    focus_mark(cr, m, c.text);
  }
}

}  // namespace

namespace detail {

void draw_image(HDC h, HIMAGELIST handle, int index, int x, int y) {
  auto* list = static_cast<imagelist_object*>(find(handle, kind::imagelist));
  if (!list || index < 0 || size_t(index) >= list->images.size()) return;
  cairo_t* cr = cr_of(h);
  cairo_save(cr);
  cairo_set_source_surface(cr, list->images[size_t(index)], x, y);
  cairo_paint(cr);
  cairo_restore(cr);
}

LRESULT button_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
  case WM_NCDESTROY: buttons.drop(h); break;
  case WM_SETFONT: return keep_font(h, buttons.get(h)->font, wp, lp);
  case WM_GETFONT: return LRESULT(buttons.get(h)->font);
  case BM_GETCHECK: return LRESULT(buttons.get(h)->check);
  case BM_SETCHECK: {
    DWORD t = type_of(h);
    WPARAM v = wp == BST_INDETERMINATE && t != BS_3STATE && t != BS_AUTO3STATE ? BST_CHECKED : wp & 3;
    buttons.get(h)->check = v;
    InvalidateRect(h, nullptr, TRUE);
    return 0;
  }
  case BM_GETSTATE: {
    button_state* s = buttons.get(h);
    return LRESULT(s->check | (s->pushed ? BST_PUSHED : 0) | (GetFocus() == h ? BST_FOCUS : 0));
  }
  case BM_SETSTATE:
    buttons.get(h)->pushed = wp != 0;
    InvalidateRect(h, nullptr, TRUE);
    return 0;
  case BM_SETSTYLE: {
    DWORD style = DWORD(GetWindowLongW(h, GWL_STYLE));
    SetWindowLongW(h, GWL_STYLE, LONG((style & 0xFFFF0000u) | (DWORD(wp) & 0xFFFF)));
    if (lp) InvalidateRect(h, nullptr, TRUE);
    return 0;
  }
  case BM_CLICK: click(h); return 0;
  case WM_NCHITTEST:
    // A group box is a frame: the mouse goes through it to what lies below.
    if (type_of(h) == BS_GROUPBOX) return HTTRANSPARENT;
    break;
  case WM_GETDLGCODE: {
    DWORD t = type_of(h);
    return is_radio(t)             ? dlgc_radio | dlgc_button
           : t == BS_DEFPUSHBUTTON ? dlgc_defpush | dlgc_button
           : t == BS_PUSHBUTTON    ? dlgc_undefpush | dlgc_button
                                   : dlgc_button;
  }
  case BCM_SETIMAGELIST: {
    auto* il = reinterpret_cast<const BUTTON_IMAGELIST*>(lp);
    if (!il) return 0;
    button_state* s = buttons.get(h);
    s->images = il->himl == HIMAGELIST(-1) ? 0 : il->himl;
    s->align = il->uAlign;
    InvalidateRect(h, nullptr, TRUE);
    return 1;
  }
  case BCM_GETIMAGELIST: {
    auto* il = reinterpret_cast<BUTTON_IMAGELIST*>(lp);
    if (!il) return 0;
    il->himl = buttons.get(h)->images;
    il->uAlign = buttons.get(h)->align;
    il->margin = RECT{};
    return 1;
  }
  case WM_LBUTTONDOWN:
  case WM_LBUTTONDBLCLK:
    if (type_of(h) == BS_GROUPBOX) return 0;
    SetFocus(h);
    SetCapture(h);
    buttons.get(h)->pushed = true;
    InvalidateRect(h, nullptr, TRUE);
    return 0;
  case WM_MOUSEMOVE:
    if (GetCapture() == h) {
      RECT r;
      GetClientRect(h, &r);
      bool in = inside(r, lparam_point(lp));
      if (in != buttons.get(h)->pushed) buttons.get(h)->pushed = in, InvalidateRect(h, nullptr, TRUE);
    }
    return 0;
  case WM_LBUTTONUP:
    if (GetCapture() == h) {
      bool was = buttons.get(h)->pushed;
      buttons.get(h)->pushed = false;
      ReleaseCapture();
      InvalidateRect(h, nullptr, TRUE);
      if (was) click(h);
    }
    return 0;
  case WM_KEYDOWN:
    if (wp == VK_SPACE) buttons.get(h)->pushed = true, InvalidateRect(h, nullptr, TRUE);
    return 0;
  case WM_KEYUP:
    if (wp == VK_SPACE && buttons.get(h)->pushed) {
      buttons.get(h)->pushed = false;
      click(h);
    }
    return 0;
  case WM_SETFOCUS:
  case WM_KILLFOCUS:
  case WM_ENABLE: InvalidateRect(h, nullptr, TRUE); return 0;
  case WM_SETTEXT: {
    LRESULT r = DefWindowProcW(h, msg, wp, lp);
    InvalidateRect(h, nullptr, TRUE);
    return r;
  }
  case WM_ERASEBKGND: return 1;
  case WM_PAINT: paint_button(h); return 0;
  }
  return DefWindowProcW(h, msg, wp, lp);
}

LRESULT static_proc(HWND h, UINT msg, WPARAM wp, LPARAM lp) {
  switch (msg) {
  case WM_NCDESTROY: statics.drop(h); break;
  case WM_SETFONT: return keep_font(h, statics.get(h)->font, wp, lp);
  case WM_GETFONT: return LRESULT(statics.get(h)->font);
  case WM_NCHITTEST:
    // A static lets the mouse through to its parent unless it notifies.
    if (!(GetWindowLongW(h, GWL_STYLE) & SS_NOTIFY)) return HTTRANSPARENT;
    break;
  case WM_LBUTTONUP:
    if (GetWindowLongW(h, GWL_STYLE) & SS_NOTIFY) command(h, 0);  // STN_CLICKED
    return 0;
  case WM_SETTEXT: {
    LRESULT r = DefWindowProcW(h, msg, wp, lp);
    InvalidateRect(h, nullptr, TRUE);
    return r;
  }
  case WM_ERASEBKGND: return 1;
  case WM_PAINT: {
    DWORD style = DWORD(GetWindowLongW(h, GWL_STYLE));
    paint_scope p(h);
    auto& [dc, cr, r] = p.area;
    colours c = ask_colours(h, dc, WM_CTLCOLORSTATIC, p.sys(COLOR_BTNFACE),
                            p.sys((style & WS_DISABLED) ? COLOR_GRAYTEXT : COLOR_WINDOWTEXT));
    // With a transparent background the text stands on whatever lies below:
    // what was painted before goes, and the window blends over its parent.
    detail::win(h)->see_through = c.transparent;
    if (c.transparent) clear(cr_of(dc), r);
    else fill(cr_of(dc), r, c.back);
    UINT dt = gfx::DT_EXPANDTABS | ((style & 3) == SS_CENTER  ? gfx::DT_CENTER
                                    : (style & 3) == SS_RIGHT ? gfx::DT_RIGHT
                                                              : 0u);
    if (style & SS_CENTERIMAGE)
      dt |= gfx::DT_VCENTER | gfx::DT_SINGLELINE;
    else if (style & SS_ENDELLIPSIS)
      dt |= gfx::DT_SINGLELINE;
    else
      dt |= gfx::DT_WORDBREAK;
    draw_text(dc, statics.get(h)->font, detail::win(h)->text, r, dt, c.text);
    return 0;
  }
  }
  return DefWindowProcW(h, msg, wp, lp);
}

}  // namespace detail

HIMAGELIST ImageList_Create(int cx, int cy, UINT, int, int) {
  if (cx <= 0 || cy <= 0) return 0;
  auto l = std::make_unique<imagelist_object>();
  l->cx = cx, l->cy = cy;
  return add(std::move(l));
}

int ImageList_Add(HIMAGELIST handle, HBITMAP image, HBITMAP) {
  auto* list = static_cast<imagelist_object*>(find(handle, kind::imagelist));
  auto* b = static_cast<bitmap*>(find(image, kind::bitmap));
  if (!list || !b || !b->surface) return -1;
  // The bitmap is copied at the list's size, so the caller may delete it.
  cairo_surface_t* copy = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, list->cx, list->cy);
  cairo_t* cr = cairo_create(copy);
  cairo_surface_flush(b->surface);
  cairo_surface_mark_dirty(b->surface);
  int w = cairo_image_surface_get_width(b->surface), ht = cairo_image_surface_get_height(b->surface);
  cairo_scale(cr, double(list->cx) / std::max(w, 1), double(list->cy) / std::max(ht, 1));
  cairo_set_source_surface(cr, b->surface, 0, 0);
  cairo_paint(cr);
  cairo_destroy(cr);
  list->images.push_back(copy);
  return int(list->images.size()) - 1;
}

int ImageList_GetImageCount(HIMAGELIST handle) {
  auto* list = static_cast<imagelist_object*>(find(handle, kind::imagelist));
  return list ? int(list->images.size()) : 0;
}

BOOL ImageList_Destroy(HIMAGELIST handle) {
  if (!find(handle, kind::imagelist)) return 0;
  remove(handle);
  return 1;
}

}  // namespace kez::win
