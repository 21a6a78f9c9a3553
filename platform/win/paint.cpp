// Painting: invalid regions, BeginPaint over each window's own surface, the
// compositor that stacks child surfaces into a top-level picture, layered
// windows, memory DCs, DIB sections and the blits between them.
#include <algorithm>
#include <utility>

#include "platform/gfx/gdi_text.h"
#include "platform/win/internal.h"

namespace kez::win {
using namespace detail;

namespace {

cairo_rectangle_int_t client_box(const window* w) {
  RECT c;
  GetClientRect(w->self, &c);
  return cairo_rectangle_int_t{0, 0, c.right, c.bottom};
}

HDC make_dc(HWND hwnd, cairo_surface_t* surface, POINT origin) {
  auto d = std::make_unique<dc>();
  d->hwnd = hwnd;
  d->surface = cairo_surface_reference(surface);
  d->cr = cairo_create(surface);
  d->origin = origin;
  cairo_translate(d->cr, origin.x, origin.y);
  return add(std::move(d));
}

// A DC's surface as a source. A DIB section's bits may have been written
// directly (as GdiFlush would settle on Windows), which cairo must be told of,
// or it takes a never-drawn surface for clear.
cairo_surface_t* source_of(dc* d) {
  cairo_surface_flush(d->surface);
  if (d->bitmap) cairo_surface_mark_dirty(d->surface);
  return d->surface;
}

void clip_to(cairo_t* cr, const cairo_region_t* area) {
  int n = cairo_region_num_rectangles(area);
  for (int i = 0; i < n; i++) {
    cairo_rectangle_int_t r;
    cairo_region_get_rectangle(area, i, &r);
    cairo_rectangle(cr, r.x, r.y, r.width, r.height);
  }
  cairo_clip(cr);
}

void set_source_colour(cairo_t* cr, COLORREF c) {
  cairo_set_source_rgb(cr, (c & 0xFF) / 255.0, (c >> 8 & 0xFF) / 255.0, (c >> 16 & 0xFF) / 255.0);
}

// Draws `w` and its visible children (bottom of the z-order first) at `at`.
void stack(cairo_t* cr, window* w, double x, double y, bool top) {
  ensure_surface(w);
  cairo_save(cr);
  if (w->clip) {
    cairo_translate(cr, x, y);
    int n = cairo_region_num_rectangles(w->clip);
    for (int i = 0; i < n; i++) {
      cairo_rectangle_int_t r;
      cairo_region_get_rectangle(w->clip, i, &r);
      cairo_rectangle(cr, r.x, r.y, r.width, r.height);
    }
    cairo_clip(cr);
    cairo_translate(cr, -x, -y);
  }
  // Plain windows are opaque; layered ones, and controls that painted no
  // background, blend with what lies below.
  bool layered = w->ex_style & WS_EX_LAYERED;
  cairo_set_operator(cr, layered || top || w->see_through ? CAIRO_OPERATOR_OVER : CAIRO_OPERATOR_SOURCE);
  if (!layered && !top) {
    cairo_rectangle(cr, x, y, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top);
    cairo_clip(cr);
  }
  cairo_set_source_surface(cr, w->surface, x, y);
  if (layered && w->layered_alpha) cairo_paint_with_alpha(cr, w->alpha / 255.0);
  else cairo_paint(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  RECT caret;
  if (caret_rect(w, &caret)) {
    cairo_set_operator(cr, CAIRO_OPERATOR_DIFFERENCE);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_rectangle(cr, x + w->frame.left + caret.left, y + w->frame.top + caret.top, caret.right - caret.left,
                    caret.bottom - caret.top);
    cairo_fill(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_OVER);
  }
  double cx = x + w->frame.left, cy = y + w->frame.top;
  cairo_rectangle_int_t box = client_box(w);
  cairo_rectangle(cr, cx, cy, box.width, box.height);
  cairo_clip(cr);
  for (auto it = w->children.rbegin(); it != w->children.rend(); ++it) {
    window* c = detail::win(*it);
    if (c && (c->style & WS_VISIBLE)) stack(cr, c, cx + c->rect.left, cy + c->rect.top, false);
  }
  cairo_restore(cr);
}

}  // namespace

namespace detail {

void ensure_surface(window* w) {
  // Beyond 16384 pixels a side nothing is on a screen; the surface stops there.
  int width = std::clamp(int(w->rect.right - w->rect.left), 1, 16384);
  int height = std::clamp(int(w->rect.bottom - w->rect.top), 1, 16384);
  if (w->surface && cairo_image_surface_get_width(w->surface) == width &&
      cairo_image_surface_get_height(w->surface) == height)
    return;
  cairo_surface_t* fresh = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  if (w->surface) {
    // What was painted stays where it was; the rest waits for WM_PAINT.
    cairo_t* cr = cairo_create(fresh);
    cairo_set_source_surface(cr, w->surface, 0, 0);
    cairo_paint(cr);
    cairo_destroy(cr);
    cairo_surface_destroy(w->surface);
  }
  w->surface = fresh;
  paint_frame(w);
}

// The non-client area: a flat border and caption in the Windows 10 colours.
void paint_frame(window* w) {
  if (!w->frame.left && !w->frame.top && !w->frame.right && !w->frame.bottom) return;
  cairo_t* cr = cairo_create(w->surface);
  double width = w->rect.right - w->rect.left, height = w->rect.bottom - w->rect.top;
  // On X11 the window manager draws the frame of a captioned window; the
  // window shows its menu bar and scroll bars only.
  if (st().mode == layer::mode::x11 && !w->parent && (w->style & WS_CAPTION) == WS_CAPTION) {
    paint_menu_bar(w, cr);
    paint_window_bars(w, cr);
    cairo_destroy(cr);
    return;
  }
  // A dark frame (DwmSetWindowAttribute) or the desktop's dark colours
  // turn the caption dark and its title light.
  bool captioned = (w->style & WS_CAPTION) == WS_CAPTION;
  bool dark = w->dark_frame || GetSysColor(COLOR_WINDOW) != RGB(255, 255, 255);
  COLORREF caption_colour = w->dark_frame ? RGB(32, 32, 32) : dark ? GetSysColor(COLOR_ACTIVECAPTION) : RGB(255, 255, 255);
  set_source_colour(cr, captioned ? caption_colour : GetSysColor(COLOR_BTNSHADOW));
  cairo_rectangle(cr, 0, 0, width, height);
  cairo_rectangle(cr, w->frame.left, w->frame.top, width - w->frame.left - w->frame.right,
                  height - w->frame.top - w->frame.bottom);
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_EVEN_ODD);
  cairo_fill(cr);
  cairo_set_fill_rule(cr, CAIRO_FILL_RULE_WINDING);
  if ((w->style & WS_CAPTION) == WS_CAPTION && !w->text.empty()) {
    // The title, left in the caption above the menu bar.
    int caption = GetSystemMetricsForDpi(SM_CYCAPTION, w->dpi), edge = w->frame.left;
    int menu = w->menu_bar ? GetSystemMetricsForDpi(SM_CYMENU, w->dpi) : 0;
    int top = w->frame.top - menu - caption;
    gfx::gdi_dc g(w->surface);
    g.set_bk_mode(gfx::TRANSPARENT);
    g.set_text_color(dark ? RGB(255, 255, 255) : RGB(0, 0, 0));
    gfx::gdi_rect r{edge + 8, top, int(width) - edge - 8, top + caption};
    g.draw_text(w->text, r, gfx::DT_SINGLELINE | gfx::DT_VCENTER | gfx::DT_NOPREFIX);
  }
  paint_menu_bar(w, cr);
  paint_window_bars(w, cr);
  cairo_destroy(cr);
}

void invalidate_client(window* w, const cairo_region_t* area, bool erase, bool children) {
  cairo_rectangle_int_t box = client_box(w);
  cairo_region_t* add = area ? cairo_region_copy(area) : cairo_region_create_rectangle(&box);
  cairo_region_intersect_rectangle(add, &box);
  if (!cairo_region_is_empty(add)) {
    if (!w->invalid) w->invalid = cairo_region_create();
    cairo_region_union(w->invalid, add);
    w->erase = w->erase || erase;
  }
  if (children)
    for (HWND h : w->children) {
      window* c = detail::win(h);
      cairo_region_t* sub = cairo_region_copy(add);
      cairo_region_translate(sub, -c->rect.left, -c->rect.top);
      invalidate_client(c, sub, erase, true);
      cairo_region_destroy(sub);
    }
  cairo_region_destroy(add);
}

bool has_invalid(HWND* out) {
  // Parents paint before their children, as on Windows.
  struct walk {
    static bool in(const std::vector<HWND>& list, HWND* out) {
      for (HWND h : list) {
        window* w = detail::win(h);
        if (!w || !(w->style & WS_VISIBLE)) continue;
        if (w->invalid && !cairo_region_is_empty(w->invalid)) { *out = h; return true; }
        if (in(w->children, out)) return true;
      }
      return false;
    }
  };
  return walk::in(st().tops, out);
}

cairo_surface_t* compose(window* w) {
  ensure_surface(w);
  int width = cairo_image_surface_get_width(w->surface), height = cairo_image_surface_get_height(w->surface);
  cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(out);
  stack(cr, w, 0, 0, true);
  cairo_destroy(cr);
  return out;
}

void compose_region(window* top, cairo_surface_t* target, const cairo_region_t* area, int dx, int dy) {
  cairo_t* cr = cairo_create(target);
  clip_to(cr, area);
  cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
  cairo_paint(cr);
  stack(cr, top, dx, dy, true);
  cairo_destroy(cr);
}

void top_changed(window* w) {
  if (w && st().mode == layer::mode::x11) damage_window(w, nullptr);
}

void frame_changed(window* w) {
  if (!w || st().mode != layer::mode::x11) return;
  cairo_rectangle_int_t all{0, 0, int(w->rect.right - w->rect.left), int(w->rect.bottom - w->rect.top)};
  cairo_region_t* area = cairo_region_create_rectangle(&all);
  cairo_rectangle_int_t client = client_box(w);
  client.x += w->frame.left, client.y += w->frame.top;
  cairo_region_subtract_rectangle(area, &client);
  damage_window(w, area);
  cairo_region_destroy(area);
}

void present_dirty() {
  if (st().mode == layer::mode::x11) x11_present_due();
}

}  // namespace detail

BOOL InvalidateRect(HWND hwnd, const RECT* rect, BOOL erase) {
  window* w = detail::win(hwnd);
  if (!w) return 0;
  cairo_region_t* area = nullptr;
  if (rect) {
    cairo_rectangle_int_t r{rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top};
    area = cairo_region_create_rectangle(&r);
  }
  invalidate_client(w, area, erase, false);
  if (area) cairo_region_destroy(area);
  return 1;
}

BOOL InvalidateRgn(HWND hwnd, HRGN rgn, BOOL erase) {
  window* w = detail::win(hwnd);
  auto* r = rgn ? static_cast<region*>(find(rgn, kind::region)) : nullptr;
  if (!w) return 0;
  invalidate_client(w, r ? r->rgn : nullptr, erase, false);
  return 1;
}

BOOL ValidateRect(HWND hwnd, const RECT* rect) {
  window* w = detail::win(hwnd);
  if (!w || !w->invalid) return w != nullptr;
  if (!rect) {
    cairo_region_destroy(w->invalid);
    w->invalid = nullptr;
    return 1;
  }
  cairo_rectangle_int_t r{rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top};
  cairo_region_t* sub = cairo_region_create_rectangle(&r);
  cairo_region_subtract(w->invalid, sub);
  cairo_region_destroy(sub);
  return 1;
}

BOOL GetUpdateRect(HWND hwnd, RECT* out, BOOL) {
  window* w = detail::win(hwnd);
  if (!w || !w->invalid || cairo_region_is_empty(w->invalid)) {
    if (out) *out = RECT{};
    return 0;
  }
  cairo_rectangle_int_t e;
  cairo_region_get_extents(w->invalid, &e);
  if (out) *out = RECT{e.x, e.y, e.x + e.width, e.y + e.height};
  return 1;
}

BOOL UpdateWindow(HWND hwnd) {
  window* w = detail::win(hwnd);
  if (!w) return 0;
  if (w->invalid && !cairo_region_is_empty(w->invalid) && visible_on_screen(w)) SendMessageW(hwnd, WM_PAINT, 0, 0);
  for (HWND c : std::vector<HWND>(detail::win(hwnd) ? detail::win(hwnd)->children : std::vector<HWND>{}))
    UpdateWindow(c);
  present_dirty();
  return 1;
}

BOOL RedrawWindow(HWND hwnd, const RECT* rect, HRGN rgn, UINT flags) {
  window* w = detail::win(hwnd);
  if (!w) return 0;
  if (flags & RDW_INVALIDATE) {
    auto* r = rgn ? static_cast<region*>(find(rgn, kind::region)) : nullptr;
    cairo_region_t* area = r ? cairo_region_copy(r->rgn) : nullptr;
    if (!area && rect) {
      cairo_rectangle_int_t box{rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top};
      area = cairo_region_create_rectangle(&box);
    }
    invalidate_client(w, area, flags & RDW_ERASE, flags & RDW_ALLCHILDREN);
    if (area) cairo_region_destroy(area);
  }
  if (flags & RDW_UPDATENOW) UpdateWindow(hwnd);
  return 1;
}

HDC BeginPaint(HWND hwnd, PAINTSTRUCT* ps) {
  window* w = detail::win(hwnd);
  if (!w || !ps) return 0;
  ensure_surface(w);
  cairo_region_t* area = w->invalid ? w->invalid : cairo_region_create();
  w->invalid = nullptr;
  HDC h = make_dc(hwnd, w->surface, POINT{w->frame.left, w->frame.top});
  clip_to(dc_of(h)->cr, area);
  if (w->painting) cairo_region_destroy(w->painting);
  w->painting = cairo_region_copy(area);
  if (st().mode == layer::mode::x11) {
    cairo_region_t* shown = cairo_region_copy(area);
    cairo_region_translate(shown, w->frame.left, w->frame.top);
    damage_window(w, shown);
    cairo_region_destroy(shown);
  }
  cairo_rectangle_int_t e;
  cairo_region_get_extents(area, &e);
  *ps = PAINTSTRUCT{h, 0, RECT{e.x, e.y, e.x + e.width, e.y + e.height}, 0, 0, {}};
  cairo_region_destroy(area);
  if (w->erase) {
    w->erase = false;
    ps->fErase = !SendMessageW(hwnd, WM_ERASEBKGND, WPARAM(h), 0);
  }
  return h;
}

BOOL EndPaint(HWND hwnd, const PAINTSTRUCT* ps) {
  if (!ps || !dc_of(ps->hdc)) return 0;
  remove(ps->hdc);
  if (window* w = detail::win(hwnd)) {
    cairo_surface_flush(w->surface);
    if (w->painting) cairo_region_destroy(w->painting), w->painting = nullptr;
  }
  present_dirty();
  return 1;
}

HDC GetDC(HWND hwnd) {
  window* w = detail::win(hwnd);
  if (!w) return hwnd ? 0 : CreateCompatibleDC(0);  // the screen: a memory DC stands in
  ensure_surface(w);
  HDC h = make_dc(hwnd, w->surface, POINT{w->frame.left, w->frame.top});
  // Drawn while the window paints (a face drawing itself in its WM_PAINT):
  // only what is being painted changes, so only that needs showing again.
  if (w->painting && st().mode == layer::mode::x11) clip_to(dc_of(h)->cr, w->painting);
  return h;
}

HDC GetWindowDC(HWND hwnd) {
  window* w = detail::win(hwnd);
  if (!w) return hwnd ? 0 : CreateCompatibleDC(0);  // the screen, as GetDC
  ensure_surface(w);
  return make_dc(hwnd, w->surface, POINT{0, 0});
}

int ReleaseDC(HWND hwnd, HDC h) {
  dc* d = dc_of(h);
  if (!d) return 0;
  if (window* w = detail::win(hwnd)) {
    cairo_surface_flush(w->surface);
    if (!(w->painting && st().mode == layer::mode::x11)) top_changed(w);  // else BeginPaint damaged what it paints
  }
  remove(h);
  present_dirty();
  return 1;
}

HDC CreateCompatibleDC(HDC) {
  // A memory DC holds a 1x1 bitmap until one is selected into it.
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
  HDC h = make_dc(0, s, POINT{0, 0});
  cairo_surface_destroy(s);
  return h;
}

HBITMAP CreateCompatibleBitmap(HDC, int width, int height) {
  if (width <= 0 || height <= 0 || width > 32767 || height > 32767) return 0;
  auto b = std::make_unique<bitmap>();
  b->surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  return add(std::move(b));
}

HBITMAP CreateDIBSection(HDC dc, const BITMAPINFO* info, UINT, void** bits, HANDLE, DWORD) {
  if (!info || info->bmiHeader.biBitCount != 32 || info->bmiHeader.biCompression != BI_RGB) return 0;
  // Only top-down DIBs share cairo's row order; bottom-up ones are refused.
  if (info->bmiHeader.biHeight >= 0) return 0;
  HBITMAP h = CreateCompatibleBitmap(dc, info->bmiHeader.biWidth, -info->bmiHeader.biHeight);
  auto* b = static_cast<bitmap*>(find(h, kind::bitmap));
  if (!b) return 0;
  if (cairo_image_surface_get_stride(b->surface) != info->bmiHeader.biWidth * 4) {
    remove(h);
    return 0;
  }
  if (bits) *bits = cairo_image_surface_get_data(b->surface);
  return h;
}

HGDIOBJ SelectObject(HDC h, HGDIOBJ obj) {
  dc* d = dc_of(h);
  if (d && find(obj, kind::font)) return std::exchange(d->font, obj);  // the font of DrawTextW and text extents
  auto* b = static_cast<bitmap*>(find(obj, kind::bitmap));
  if (!d || !b || d->hwnd) return 0;
  HGDIOBJ old = d->bitmap;
  cairo_destroy(d->cr);
  cairo_surface_destroy(d->surface);
  d->bitmap = obj;
  d->surface = cairo_surface_reference(b->surface);
  d->cr = cairo_create(d->surface);
  return old;
}

BOOL DeleteDC(HDC h) {
  if (!dc_of(h)) return 0;
  remove(h);
  return 1;
}

BOOL BitBlt(HDC dest, int x, int y, int cx, int cy, HDC src, int sx, int sy, DWORD rop) {
  dc *d = dc_of(dest), *s = dc_of(src);
  if (!d || !s || (rop & ~CAPTUREBLT) != SRCCOPY) return 0;
  source_of(s);
  cairo_t* cr = d->cr;
  cairo_save(cr);
  cairo_rectangle(cr, x, y, cx, cy);
  cairo_clip(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_surface(cr, s->surface, x - sx - s->origin.x, y - sy - s->origin.y);
  cairo_paint(cr);
  cairo_restore(cr);
  cairo_surface_flush(d->surface);
  return 1;
}

BOOL AlphaBlend(HDC dest, int x, int y, int cx, int cy, HDC src, int sx, int sy, int scx, int scy,
                BLENDFUNCTION blend) {
  dc *d = dc_of(dest), *s = dc_of(src);
  if (!d || !s || cx < 0 || cy < 0 || scx <= 0 || scy <= 0 || blend.BlendOp != AC_SRC_OVER) return 0;
  source_of(s);
  cairo_t* cr = d->cr;
  cairo_save(cr);
  cairo_rectangle(cr, x, y, cx, cy);
  cairo_clip(cr);
  cairo_translate(cr, x, y);
  cairo_scale(cr, double(cx) / scx, double(cy) / scy);
  cairo_set_source_surface(cr, s->surface, -sx - s->origin.x, -sy - s->origin.y);
  if (!(blend.AlphaFormat & AC_SRC_ALPHA)) {
    // Without per-pixel alpha the source counts as opaque.
    cairo_push_group(cr);
    cairo_set_source_surface(cr, s->surface, -sx - s->origin.x, -sy - s->origin.y);
    cairo_paint(cr);
    cairo_set_operator(cr, CAIRO_OPERATOR_DEST_OVER);
    cairo_set_source_rgb(cr, 0, 0, 0);
    cairo_paint(cr);
    cairo_pop_group_to_source(cr);
  }
  cairo_paint_with_alpha(cr, blend.SourceConstantAlpha / 255.0);
  cairo_restore(cr);
  cairo_surface_flush(d->surface);
  return 1;
}

BOOL PrintWindow(HWND hwnd, HDC h, UINT flags) {
  window* w = detail::win(hwnd);
  dc* d = dc_of(h);
  if (!w || !d) return 0;
  UpdateWindow(hwnd);
  cairo_surface_t* pic = compose(w);
  cairo_save(d->cr);
  cairo_set_operator(d->cr, CAIRO_OPERATOR_SOURCE);
  double ox = (flags & PW_CLIENTONLY) ? -w->frame.left : 0, oy = (flags & PW_CLIENTONLY) ? -w->frame.top : 0;
  cairo_set_source_surface(d->cr, pic, ox, oy);
  cairo_paint(d->cr);
  cairo_restore(d->cr);
  cairo_surface_destroy(pic);
  cairo_surface_flush(d->surface);
  return 1;
}

BOOL SetLayeredWindowAttributes(HWND hwnd, COLORREF, BYTE alpha, DWORD flags) {
  window* w = detail::win(hwnd);
  if (!w || !(w->ex_style & WS_EX_LAYERED)) return 0;
  w->layered_alpha = flags & LWA_ALPHA;
  w->alpha = alpha;
  top_changed(w);
  present_dirty();
  return 1;
}

BOOL UpdateLayeredWindow(HWND hwnd, HDC, const POINT* dst, const SIZE* size, HDC src, const POINT* src_pt,
                         COLORREF, const BLENDFUNCTION* blend, DWORD) {
  window* w = detail::win(hwnd);
  if (!w || !(w->ex_style & WS_EX_LAYERED)) return 0;
  if (dst || size) {
    RECT r = w->rect;
    SetWindowPos(hwnd, 0, dst ? dst->x : r.left, dst ? dst->y : r.top, size ? size->cx : r.right - r.left,
                 size ? size->cy : r.bottom - r.top, SWP_NOZORDER | SWP_NOACTIVATE);
  }
  if (dc* s = dc_of(src)) {
    ensure_surface(w);
    source_of(s);
    cairo_t* cr = cairo_create(w->surface);
    cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
    cairo_set_source_surface(cr, s->surface, src_pt ? -src_pt->x : 0, src_pt ? -src_pt->y : 0);
    cairo_paint(cr);
    cairo_destroy(cr);
  }
  w->layered_alpha = blend != nullptr;
  w->alpha = blend ? blend->SourceConstantAlpha : 255;
  top_changed(w);
  present_dirty();
  return 1;
}

int FillRect(HDC h, const RECT* rect, HBRUSH brush) {
  dc* d = dc_of(h);
  auto* b = static_cast<detail::brush*>(find(brush, kind::brush));
  if (!d || !rect || brush == 0 || (brush > 31 && !b)) return 0;  // COLOR_* + 1, solid and DC brushes
  cairo_save(d->cr);
  // A system colour's brush paints in the theme of the DC's window.
  COLORREF system = !b ? d->hwnd ? sys_colour(d->hwnd, int(brush) - 1) : GetSysColor(int(brush) - 1) : 0;
  set_source_colour(d->cr, !b ? system : b->dc_brush ? d->brush_colour : b->colour);
  cairo_rectangle(d->cr, rect->left, rect->top, rect->right - rect->left, rect->bottom - rect->top);
  cairo_fill(d->cr);
  cairo_restore(d->cr);
  return 1;
}

namespace layer {

cairo_surface_t* window_surface(HWND hwnd) {
  window* w = detail::win(hwnd);
  if (!w) return nullptr;
  ensure_surface(w);
  return w->surface;
}

cairo_surface_t* snapshot(HWND hwnd) {
  window* w = detail::win(hwnd);
  return w ? compose(w) : nullptr;
}

cairo_surface_t* screen_snapshot(RECT area) {
  int width = area.right - area.left, height = area.bottom - area.top;
  if (width <= 0 || height <= 0) return nullptr;
  if (st().mode == layer::mode::x11) {
    // The server's screen holds every program's windows, ours once painted.
    for (HWND top : std::vector<HWND>(st().tops))
      if (window* w = detail::win(top); w && (w->style & WS_VISIBLE)) UpdateWindow(top);
    return x11_screen_image(area);
  }
  cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, width, height);
  cairo_t* cr = cairo_create(out);
  COLORREF desk = GetSysColor(COLOR_BACKGROUND);
  cairo_set_source_rgb(cr, (desk & 0xFF) / 255.0, (desk >> 8 & 0xFF) / 255.0, (desk >> 16 & 0xFF) / 255.0);
  cairo_paint(cr);
  // Bottom first, so that upper windows cover lower ones.
  std::vector<HWND> tops = st().tops;
  for (auto it = tops.rbegin(); it != tops.rend(); ++it) {
    window* w = detail::win(*it);
    if (!w || !(w->style & WS_VISIBLE)) continue;
    UpdateWindow(*it);
    stack(cr, w, w->rect.left - area.left, w->rect.top - area.top, true);
  }
  cairo_destroy(cr);
  cairo_surface_flush(out);
  return out;
}

cairo_t* dc_context(HDC h) {
  dc* d = dc_of(h);
  return d ? d->cr : nullptr;
}

cairo_surface_t* dc_surface(HDC h) {
  dc* d = dc_of(h);
  return d ? d->surface : nullptr;
}

}  // namespace layer
}  // namespace kez::win
