#include "platform/gfx/gdi_text.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <utility>

namespace kez::gfx {

namespace {

constexpr char16_t default_face[] = u"Segoe UI";
constexpr int32_t default_height = -12;  // 9 points at 96 DPI

// Rounds a measured extent up to whole pixels; float noise never adds one.
int32_t whole(float v) { return int32_t(std::ceil(v - 1e-3f)); }

void set_source(cairo_t* cr, uint32_t colorref) {
  cairo_set_source_rgb(cr, (colorref & 255) / 255.0, (colorref >> 8 & 255) / 255.0, (colorref >> 16 & 255) / 255.0);
}

}  // namespace

gdi_font::gdi_font(const log_font& lf) : lf_(lf) {
  if (lf_.face_name.size() > 31) lf_.face_name.resize(31);
  format_.family = utf8_of(lf_.face_name.empty() ? std::u16string_view(default_face) : std::u16string_view(lf_.face_name));
  format_.weight = lf_.weight > 0 ? std::clamp(lf_.weight, 100, 1000) : FW_NORMAL;
  format_.style = lf_.italic ? font_style::italic : font_style::normal;
}

void gdi_font::measure() const {
  if (measured_) return;
  measured_ = true;
  int32_t h = lf_.height ? lf_.height : default_height;
  format_.size = float(std::abs(h));
  font_metrics m = measure_font(format_);
  if (h > 0 && m.ascent + m.descent > 0) {
    // A cell height: the em that gives ascent + descent of that many pixels.
    format_.size = float(h) * format_.size / (m.ascent + m.descent);
    m = measure_font(format_);
  }
  ascent_ = int32_t(std::lround(m.ascent));
  descent_ = int32_t(std::lround(m.descent));
  average_ = std::max<int32_t>(1, int32_t(std::lround(m.average_char_width)));
}

text_antialias_mode gdi_font::antialias() const {
  switch (lf_.quality) {
    case CLEARTYPE_QUALITY: return text_antialias_mode::cleartype;
    case NONANTIALIASED_QUALITY: return text_antialias_mode::aliased;
    default: return text_antialias_mode::grayscale;
  }
}

const gdi_font& default_gui_font() {
  static const gdi_font font{log_font{}};
  return font;
}

gdi_dc::gdi_dc(cairo_surface_t* target) : target_(target ? cairo_surface_reference(target) : nullptr) {}

gdi_dc::~gdi_dc() {
  if (target_) cairo_surface_destroy(target_);
}

const gdi_font* gdi_dc::select_font(const gdi_font* f) { return std::exchange(font_, f); }
uint32_t gdi_dc::set_text_color(uint32_t c) { return std::exchange(text_color_, c & 0xFFFFFF); }
int32_t gdi_dc::set_bk_mode(int32_t mode) { return std::exchange(bk_mode_, mode); }
uint32_t gdi_dc::set_bk_color(uint32_t c) { return std::exchange(bk_color_, c & 0xFFFFFF); }

int32_t gdi_dc::draw_text(std::u16string_view text, gdi_rect& r, uint32_t flags) {
  const gdi_font& f = font();
  // Prefixes: "&x" underlines x, "&&" is one ampersand.
  std::u16string s;
  std::vector<uint32_t> marked;
  s.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    char16_t c = text[i];
    if (!(flags & DT_NOPREFIX) && c == u'&') {
      if (++i >= text.size()) break;
      c = text[i];
      if (c != u'&') marked.push_back(uint32_t(s.size()));
    }
    // On a single line, line breaks are no breaks.
    if ((flags & DT_SINGLELINE) && (c == u'\r' || c == u'\n')) continue;
    s += c;
  }
  text_format fmt = f.format();
  fmt.spacing_method = line_spacing_method::uniform;
  fmt.line_spacing = float(f.height());
  fmt.baseline = float(f.ascent());
  fmt.incremental_tab_stop = float(8 * f.average_char_width());
  int32_t width = r.right - r.left;
  bool wrap = (flags & DT_WORDBREAK) && !(flags & DT_SINGLELINE) && width > 0;
  fmt.wrapping = wrap ? word_wrapping::wrap : word_wrapping::no_wrap;
  fmt.text_align = flags & DT_CENTER ? text_alignment::center : flags & DT_RIGHT ? text_alignment::trailing
                                                                                 : text_alignment::leading;
  text_layout layout(s, fmt, wrap ? float(width) : 0, 0);
  uint32_t all = uint32_t(s.size());
  if (f.description().underline) layout.set_underline(true, {0, all});
  if (f.description().strike_out) layout.set_strikethrough(true, {0, all});
  for (uint32_t at : marked) layout.set_underline(true, {at, 1});
  text_metrics m = layout.metrics();
  int32_t w = whole(wrap ? m.width : m.width_including_trailing_whitespace);
  int32_t h = int32_t(m.line_count) * f.height();
  if (flags & DT_CALCRECT) {
    r.right = r.left + w;
    r.bottom = r.top + h;
    return h;
  }
  float x = float(r.left), y = float(r.top);
  if (!wrap) {  // the lines are aligned among themselves; place the block
    if (flags & DT_CENTER) x += (float(width) - w) / 2;
    else if (flags & DT_RIGHT) x += float(width - w);
  }
  if (flags & DT_SINGLELINE) {
    if (flags & DT_VCENTER) y += float((r.bottom - r.top) - h) / 2;
    else if (flags & DT_BOTTOM) y += float((r.bottom - r.top) - h);
  }
  if (target_) {
    cairo_t* cr = cairo_create(target_);
    if (!(flags & DT_NOCLIP)) {
      cairo_rectangle(cr, r.left, r.top, width, r.bottom - r.top);
      cairo_clip(cr);
    }
    if (bk_mode_ == OPAQUE) {
      for (const hit_test_metrics& box : layout.hit_test_text_range(0, all, x, y)) {
        cairo_rectangle(cr, box.left, box.top, box.width, box.height);
      }
      set_source(cr, bk_color_);
      cairo_fill(cr);
    }
    set_source(cr, text_color_);
    layout.draw(cr, {x, y}, f.antialias());
    cairo_destroy(cr);
    cairo_surface_flush(target_);
  }
  return h;
}

text_size gdi_dc::get_text_extent_point(std::u16string_view text) {
  text_format fmt = font().format();
  fmt.wrapping = word_wrapping::no_wrap;
  text_layout layout(text, fmt, 0, 0);
  return {whole(layout.metrics().width_including_trailing_whitespace), font().height()};
}

uint32_t gdi_dc::get_tabbed_text_extent(std::u16string_view text, const std::vector<int32_t>& tab_stops) {
  text_format fmt = font().format();
  fmt.wrapping = word_wrapping::no_wrap;
  if (tab_stops.size() == 1 && tab_stops[0] > 0) {
    fmt.incremental_tab_stop = float(tab_stops[0]);
  } else if (tab_stops.size() > 1) {
    for (int32_t t : tab_stops) fmt.tab_stops.push_back(float(std::abs(t)));
  } else {
    fmt.incremental_tab_stop = float(8 * font().average_char_width());
  }
  text_layout layout(text, fmt, 0, 0);
  uint32_t cx = uint32_t(std::clamp(whole(layout.metrics().width_including_trailing_whitespace), 0, 0xFFFF));
  return uint32_t(std::clamp(font().height(), 0, 0xFFFF)) << 16 | cx;
}

}  // namespace kez::gfx
