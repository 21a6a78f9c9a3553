// What the controls share: DC colours, brushes and fonts, notifications,
// drawing helpers, scroll-bar arithmetic and tracking, the modal loop and
// the scripted answers, and the registration of the control classes.
#include <algorithm>
#include <cstring>
#include <deque>
#include <utility>

#include "platform/win/ctl.h"

namespace kez::win {
using namespace detail;

namespace {

std::deque<layer::answer> answers;
HWND modal_top = 0;
HBRUSH dc_brush_handle = 0;

enum : UINT_PTR { repeat_timer = 0xFFF0 };

}  // namespace

namespace detail {

const gfx::gdi_font& font_of(HFONT f) {
  auto* o = static_cast<font_object*>(find(f, kind::font));
  return o ? o->font : gfx::default_gui_font();
}

std::u16string utf16_of(std::string_view b) {
  std::u16string out;
  for (size_t i = 0; i < b.size();) {
    uint32_t c = uint8_t(b[i]);
    int n = c < 0x80 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : -1;
    bool ok = n >= 0 && i + size_t(n) < b.size() + (n ? 0 : 1);
    for (int k = 1; ok && k <= n; k++) ok = (uint8_t(b[i + size_t(k)]) & 0xC0) == 0x80;
    if (!ok) {
      out += u'\uFFFD';
      i++;
      continue;
    }
    c = n ? c & (0x3F >> n) : c;
    for (int k = 1; k <= n; k++) c = c << 6 | (uint8_t(b[i + size_t(k)]) & 0x3F);
    i += size_t(n) + 1;
    if (c >= 0x10000)
      out += char16_t(0xD800 + ((c - 0x10000) >> 10)), out += char16_t(0xDC00 + (c & 0x3FF));
    else
      out += char16_t(c);
  }
  return out;
}

int control_id(HWND ctl) { return int(GetWindowLongPtrW(ctl, GWL_ID)); }

LRESULT command(HWND ctl, WORD code) {
  HWND parent = GetParent(ctl);
  return parent ? SendMessageW(parent, WM_COMMAND, MAKEWPARAM(control_id(ctl), code), LPARAM(ctl)) : 0;
}

LRESULT notify(HWND ctl, UINT code, NMHDR* header, size_t) {
  NMHDR plain{};
  NMHDR* h = header ? header : &plain;
  h->hwndFrom = ctl;
  h->idFrom = UINT_PTR(control_id(ctl));
  h->code = code;
  HWND parent = GetParent(ctl);
  return parent ? SendMessageW(parent, WM_NOTIFY, WPARAM(h->idFrom), LPARAM(h)) : 0;
}

colours ask_colours(HWND ctl, HDC h, UINT msg, COLORREF back, COLORREF text) {
  dc* d = dc_of(h);
  colours c{back, text, false};
  if (!d) return c;
  d->text_colour = text, d->bk_colour = back, d->bk_mode = OPAQUE_BK;
  HWND parent = GetParent(ctl);
  HBRUSH b = parent ? HBRUSH(SendMessageW(parent, msg, WPARAM(h), LPARAM(ctl))) : 0;
  c.text = d->text_colour;
  c.transparent = d->bk_mode == TRANSPARENT_BK;
  if (auto* o = static_cast<brush*>(find(b, kind::brush)))
    c.back = o->dc_brush ? d->brush_colour : o->colour;
  else if (b >= 1 && b <= 31)
    c.back = sys_colour(ctl, int(b) - 1);
  return c;
}

cairo_t* cr_of(HDC h) { return layer::dc_context(h); }

paint_scope::paint_scope(HWND h) : hwnd(h), ps{}, area{} {
  area.dc = BeginPaint(h, &ps);
  area.cr = cr_of(area.dc);
  GetClientRect(h, &area.r);
}
paint_scope::~paint_scope() { EndPaint(hwnd, &ps); }

namespace {
void source(cairo_t* cr, COLORREF c) {
  cairo_set_source_rgb(cr, (c & 0xFF) / 255.0, (c >> 8 & 0xFF) / 255.0, (c >> 16 & 0xFF) / 255.0);
}
}  // namespace

void fill(cairo_t* cr, const RECT& r, COLORREF c) {
  cairo_save(cr);
  source(cr, c);
  cairo_rectangle(cr, r.left, r.top, r.right - r.left, r.bottom - r.top);
  cairo_fill(cr);
  cairo_restore(cr);
}

void clear(cairo_t* cr, const RECT& r) {
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
  cairo_rectangle(cr, r.left, r.top, r.right - r.left, r.bottom - r.top);
  cairo_fill(cr);
  cairo_restore(cr);
}

void outline(cairo_t* cr, const RECT& r, COLORREF c) {
  cairo_save(cr);
  source(cr, c);
  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, r.left + 0.5, r.top + 0.5, r.right - r.left - 1, r.bottom - r.top - 1);
  cairo_stroke(cr);
  cairo_restore(cr);
}

void focus_mark(cairo_t* cr, const RECT& r, COLORREF c) {
  // Every other pixel of the outline, so the mark shows on any background
  // without hiding what it surrounds.
  if (r.right - r.left < 2 || r.bottom - r.top < 2) return;
  cairo_save(cr);
  source(cr, c);
  auto dot = [&](int x, int y) {
    if ((x + y) % 2 == 0) cairo_rectangle(cr, x, y, 1, 1);
  };
  for (int x = r.left; x < r.right; x++) dot(x, r.top), dot(x, r.bottom - 1);
  for (int y = r.top + 1; y < r.bottom - 1; y++) dot(r.left, y), dot(r.right - 1, y);
  cairo_fill(cr);
  cairo_restore(cr);
}

namespace {
// Text through the 2D layer's GDI-shaped text, on the DC's surface from its
// origin; answers the text's height (and, with DT_CALCRECT, the rectangle).
int dc_text(dc* d, HFONT font, std::u16string_view text, RECT* r, UINT dt, COLORREF colour, int bk_mode,
            COLORREF bk_colour) {
  if (dt & gfx::DT_CALCRECT) {
    gfx::gdi_dc g;
    g.select_font(&font_of(font));
    gfx::gdi_rect gr{r->left, r->top, r->right, r->bottom};
    int height = g.draw_text(text, gr, dt);
    *r = RECT{gr.left, gr.top, gr.right, gr.bottom};
    return height;
  }
  int width = cairo_image_surface_get_width(d->surface) - d->origin.x;
  int height = cairo_image_surface_get_height(d->surface) - d->origin.y;
  if (width <= 0 || height <= 0 || text.empty()) return 0;
  cairo_surface_flush(d->surface);
  cairo_surface_t* sub = cairo_surface_create_for_rectangle(d->surface, d->origin.x, d->origin.y, width, height);
  int drawn;
  {
    gfx::gdi_dc g(sub);
    g.select_font(&font_of(font));
    g.set_text_color(colour);
    g.set_bk_mode(bk_mode == TRANSPARENT_BK ? gfx::TRANSPARENT : gfx::OPAQUE);
    g.set_bk_color(bk_colour);
    gfx::gdi_rect gr{r->left, r->top, r->right, r->bottom};
    drawn = g.draw_text(text, gr, dt);
  }
  cairo_surface_destroy(sub);
  cairo_surface_mark_dirty(d->surface);
  return drawn;
}
}  // namespace

void draw_text(HDC h, HFONT font, std::u16string_view text, RECT r, UINT dt, COLORREF colour) {
  if (dc* d = dc_of(h)) dc_text(d, font, text, &r, dt, colour, TRANSPARENT_BK, 0);
}

int text_width(HFONT font, std::u16string_view text) {
  gfx::gdi_dc g;
  g.select_font(&font_of(font));
  return g.get_text_extent_point(text).cx;
}

int line_height(HFONT font) { return font_of(font).height(); }

bool inside(const RECT& r, POINT p) { return p.x >= r.left && p.x < r.right && p.y >= r.top && p.y < r.bottom; }
POINT lparam_point(LPARAM l) { return POINT{GET_X_LPARAM(l), GET_Y_LPARAM(l)}; }

int set_bar(bar_info& b, const SCROLLINFO* info) {
  if (!info) return b.pos;
  if (info->fMask & SIF_RANGE) b.min = info->nMin, b.max = std::max(info->nMin, info->nMax);
  if (info->fMask & SIF_PAGE) b.page = info->nPage;
  // The page never exceeds the range, and the position stops where the
  // page's end meets the maximum.
  b.page = std::min<UINT>(b.page, UINT(b.max - b.min + 1));
  if (info->fMask & SIF_POS) b.pos = info->nPos;
  int top = b.max - std::max(int(b.page) - 1, 0);
  b.pos = std::clamp(b.pos, b.min, std::max(b.min, top));
  b.track = b.pos;
  return b.pos;
}

void get_bar(const bar_info& b, SCROLLINFO* info) {
  if (info->fMask & SIF_RANGE) info->nMin = b.min, info->nMax = b.max;
  if (info->fMask & SIF_PAGE) info->nPage = b.page;
  if (info->fMask & SIF_POS) info->nPos = b.pos;
  if (info->fMask & SIF_TRACKPOS) info->nTrackPos = b.track;
}

void bar_thumb(const bar_info& b, int length, int arrow, int* start, int* size) {
  int track = std::max(0, length - 2 * arrow);
  int range = b.max - b.min + 1;
  int movable = range - std::max<int>(int(b.page), 1);
  *size = b.page ? std::max(8, int(int64_t(track) * b.page / std::max(range, 1))) : std::min(arrow, track);
  *size = std::min(*size, track);
  int room = track - *size;
  *start = arrow + (movable > 0 ? int(int64_t(room) * (b.track - b.min) / movable) : 0);
}

void paint_bar(HWND owner, cairo_t* cr, const bar_info& b, RECT r, bool vertical) {
  int length = vertical ? r.bottom - r.top : r.right - r.left;
  int thick = vertical ? r.right - r.left : r.bottom - r.top;
  int arrow = std::min(thick, length / 2);
  fill(cr, r, sys_colour(owner, COLOR_SCROLLBAR));
  RECT first = vertical ? RECT{r.left, r.top, r.right, r.top + arrow} : RECT{r.left, r.top, r.left + arrow, r.bottom};
  RECT last =
      vertical ? RECT{r.left, r.bottom - arrow, r.right, r.bottom} : RECT{r.right - arrow, r.top, r.right, r.bottom};
  fill(cr, first, sys_colour(owner, COLOR_BTNFACE));
  fill(cr, last, sys_colour(owner, COLOR_BTNFACE));
  // Arrow heads.
  cairo_save(cr);
  source(cr, sys_colour(owner, COLOR_BTNTEXT));
  for (int i = 0; i < 2; i++) {
    const RECT& a = i ? last : first;
    double cx = (a.left + a.right) / 2.0, cy = (a.top + a.bottom) / 2.0, s = arrow / 5.0;
    double d = i ? 1 : -1;
    if (vertical) {
      cairo_move_to(cr, cx - s, cy - d * s / 2), cairo_line_to(cr, cx + s, cy - d * s / 2),
          cairo_line_to(cr, cx, cy + d * s / 2);
    } else {
      cairo_move_to(cr, cx - d * s / 2, cy - s), cairo_line_to(cr, cx - d * s / 2, cy + s),
          cairo_line_to(cr, cx + d * s / 2, cy);
    }
    cairo_close_path(cr);
    cairo_fill(cr);
  }
  cairo_restore(cr);
  int start, size;
  bar_thumb(b, length, arrow, &start, &size);
  RECT thumb = vertical ? RECT{r.left + 1, r.top + start, r.right - 1, r.top + start + size}
                        : RECT{r.left + start, r.top + 1, r.left + start + size, r.bottom - 1};
  fill(cr, thumb, sys_colour(owner, COLOR_BTNSHADOW));
}

void track_bar(HWND owner, bar_info* b, RECT r, bool vertical, POINT at, HWND target, UINT msg, LPARAM lparam) {
  int length = vertical ? r.bottom - r.top : r.right - r.left;
  int thick = vertical ? r.right - r.left : r.bottom - r.top;
  int arrow = std::min(thick, length / 2);
  int p = vertical ? at.y - r.top : at.x - r.left;
  int start, size;
  bar_thumb(*b, length, arrow, &start, &size);
  int range = b->max - b->min + 1, movable = range - std::max<int>(int(b->page), 1);
  WORD code = p < arrow             ? SB_LINEUP
              : p >= length - arrow ? SB_LINEDOWN
              : p < start           ? SB_PAGEUP
              : p >= start + size   ? SB_PAGEDOWN
                                    : SB_THUMBTRACK;
  bool dragging = code == SB_THUMBTRACK, dragged = false;
  int grab = p - start;
  auto send = [&](WORD c, int pos) { SendMessageW(target, msg, MAKEWPARAM(c, pos), lparam); };
  SetCapture(owner);
  if (!dragging) {
    send(code, 0);
    SetTimer(owner, repeat_timer, 400, nullptr);
  }
  modal_scope scope(owner);
  MSG m;
  for (bool held = true; held && IsWindow(owner);) {
    if (!modal_get(&m)) break;
    if (m.hwnd == owner && m.message == WM_TIMER && m.wParam == repeat_timer) {
      SetTimer(owner, repeat_timer, 50, nullptr);
      send(code, 0);
    } else if (m.hwnd == owner && m.message == WM_MOUSEMOVE && dragging) {
      POINT q = lparam_point(m.lParam);
      int along = (vertical ? q.y - r.top : q.x - r.left) - grab - arrow;
      int room = std::max(1, length - 2 * arrow - size);
      b->track = std::clamp(b->min + int(int64_t(along) * movable / room), b->min, b->min + std::max(movable, 0));
      dragged = true;
      send(SB_THUMBTRACK, b->track);
    } else if (m.hwnd == owner && m.message == WM_LBUTTONUP) {
      held = false;
    } else if (m.message >= WM_MOUSEMOVE && m.message <= WM_MOUSEHWHEEL && m.hwnd == owner) {
      // Other buttons wait for the release.
    } else {
      TranslateMessage(&m);
      DispatchMessageW(&m);
    }
  }
  if (!IsWindow(owner)) return;  // destroyed while tracking: its bar is gone too
  KillTimer(owner, repeat_timer);
  if (GetCapture() == owner) ReleaseCapture();
  if (dragged) send(SB_THUMBPOSITION, b->track);
  send(SB_ENDSCROLL, 0);
}

bool modal_get(MSG* m) {
  if (GetMessageW(m, 0, 0, 0) > 0) return true;
  int code;
  if (quit_seen(&code)) PostQuitMessage(code);
  return false;
}

bool take_answer(layer::answer* out) {
  if (answers.empty()) return false;
  *out = std::move(answers.front());
  answers.pop_front();
  return true;
}

modal_scope::modal_scope(HWND h) : saved(modal_top) { modal_top = h; }
modal_scope::~modal_scope() { modal_top = saved; }

void register_class(const char16_t* name, WNDPROC proc, UINT style, int extra, HBRUSH background) {
  WNDCLASSEXW c{sizeof c, style, proc, 0, extra, 0, 0, LoadCursorW(0, IDC_ARROW), background, nullptr, name, 0};
  RegisterClassExW(&c);
}

void register_controls() {
  answers.clear();
  modal_top = 0;
  dc_brush_handle = 0;
  // Eight bytes of slots, as the system's own controls keep: the inner
  // windows of a combo box use slot 0.
  register_class(u"BUTTON", button_proc, CS_DBLCLKS, 8);
  register_class(u"STATIC", static_proc, 0, 8);
  register_class(u"EDIT", edit_proc, CS_DBLCLKS, 8, HBRUSH(COLOR_WINDOW + 1));
  register_class(u"ListBox", listbox_proc, CS_DBLCLKS, 8, HBRUSH(COLOR_WINDOW + 1));
  register_class(u"ComboLBox", listbox_proc, CS_DBLCLKS, 8, HBRUSH(COLOR_WINDOW + 1));
  register_class(u"ComboBox", combo_proc, CS_DBLCLKS, 8);
  register_class(u"SCROLLBAR", scrollbar_proc, CS_DBLCLKS, 8);
  register_class(u"msctls_trackbar32", trackbar_proc, 0, 8);
  register_class(u"msctls_progress32", progress_proc, 0, 8);
  register_class(u"SysTabControl32", tab_proc, CS_DBLCLKS, 8);
  register_class(u"SysMonthCal32", calendar_proc, 0, 8, HBRUSH(COLOR_WINDOW + 1));
  register_class(u"#32768", menu_popup_proc, 0, 8);
  register_class(u"#32770", dialog_proc, 0, 8);
}

}  // namespace detail

COLORREF SetTextColor(HDC h, COLORREF c) {
  dc* d = dc_of(h);
  return d ? std::exchange(d->text_colour, c & 0xFFFFFF) : 0xFFFFFFFF;
}
COLORREF GetTextColor(HDC h) {
  dc* d = dc_of(h);
  return d ? d->text_colour : 0;
}
COLORREF SetBkColor(HDC h, COLORREF c) {
  dc* d = dc_of(h);
  return d ? std::exchange(d->bk_colour, c & 0xFFFFFF) : 0xFFFFFFFF;
}
COLORREF GetBkColor(HDC h) {
  dc* d = dc_of(h);
  return d ? d->bk_colour : 0;
}
int SetBkMode(HDC h, int mode) {
  dc* d = dc_of(h);
  if (!d || (mode != TRANSPARENT_BK && mode != OPAQUE_BK)) return 0;
  return std::exchange(d->bk_mode, mode);
}
int GetBkMode(HDC h) {
  dc* d = dc_of(h);
  return d ? d->bk_mode : 0;
}
COLORREF SetDCBrushColor(HDC h, COLORREF c) {
  dc* d = dc_of(h);
  return d ? std::exchange(d->brush_colour, c & 0xFFFFFF) : 0xFFFFFFFF;
}

HGDIOBJ GetStockObject(int which) {
  if (which != DC_BRUSH) return 0;
  if (!find(dc_brush_handle, kind::brush)) {
    auto b = std::make_unique<brush>();
    b->dc_brush = true;
    dc_brush_handle = add(std::move(b));
  }
  return dc_brush_handle;
}

HBRUSH CreateSolidBrush(COLORREF c) {
  auto b = std::make_unique<brush>();
  b->colour = c & 0xFFFFFF;
  return add(std::move(b));
}

HFONT CreateFontW(int height, int, int, int, int weight, DWORD italic, DWORD underline, DWORD strike, DWORD, DWORD,
                  DWORD, DWORD quality, DWORD, const WCHAR* face) {
  gfx::log_font lf;
  lf.height = height;
  lf.weight = weight;
  lf.italic = italic, lf.underline = underline, lf.strike_out = strike;
  lf.quality = int32_t(quality);
  if (face) lf.face_name = std::u16string(face).substr(0, 31);
  return add(std::make_unique<font_object>(lf));
}

int GetObjectW(HGDIOBJ object, int size, void* out) {
  auto* f = static_cast<font_object*>(find(object, kind::font));
  if (!f || (out && size < int(sizeof(LOGFONTW)))) return 0;
  if (!out) return sizeof(LOGFONTW);
  const gfx::log_font& d = f->font.description();
  LOGFONTW lf{};
  lf.lfHeight = d.height, lf.lfWeight = d.weight;
  lf.lfItalic = d.italic, lf.lfUnderline = d.underline, lf.lfStrikeOut = d.strike_out;
  lf.lfCharSet = 1;
  lf.lfQuality = BYTE(d.quality);
  std::copy_n(d.face_name.data(), std::min<size_t>(d.face_name.size(), 31), lf.lfFaceName);
  std::memcpy(out, &lf, sizeof lf);
  return sizeof lf;
}

namespace {
std::u16string_view text_view(const WCHAR* text, int length) {
  if (!text) return {};
  return length < 0 ? std::u16string_view(text) : std::u16string_view(text, size_t(length));
}
}  // namespace

int DrawTextW(HDC h, const WCHAR* text, int length, RECT* rect, UINT format) {
  dc* d = dc_of(h);
  if (!d || !rect) return 0;
  return dc_text(d, d->font, text_view(text, length), rect, format, d->text_colour, d->bk_mode, d->bk_colour);
}

BOOL GetTextExtentPoint32W(HDC h, const WCHAR* text, int length, SIZE* out) {
  dc* d = dc_of(h);
  if (!d || !out) return 0;
  gfx::gdi_dc g;
  g.select_font(&font_of(d->font));
  gfx::text_size size = g.get_text_extent_point(text_view(text, length));
  *out = SIZE{size.cx, size.cy};
  return 1;
}

DWORD GetTabbedTextExtentW(HDC h, const WCHAR* text, int length, int tab_count, const int* tab_stops) {
  dc* d = dc_of(h);
  if (!d) return 0;
  gfx::gdi_dc g;
  g.select_font(&font_of(d->font));
  std::vector<int32_t> stops;
  if (tab_stops) stops.assign(tab_stops, tab_stops + std::max(tab_count, 0));
  return g.get_tabbed_text_extent(text_view(text, length), stops);
}

namespace layer {
void respond(const answer& a) { answers.push_back(a); }
bool answer_pending() { return !answers.empty(); }
HWND modal_window() { return modal_top; }
}  // namespace layer

}  // namespace kez::win
