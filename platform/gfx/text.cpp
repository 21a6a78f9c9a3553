#include "platform/gfx/text.h"

#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <pango/pangocairo.h>
#include <pango/pangofc-fontmap.h>

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "runtime/utf.h"

namespace kez::gfx {

namespace {

const char fonts_conf[] =
#include "fonts_conf.inc"
    ;

// The one font map of the process, over our configuration; null until
// first used and after release_font_map.
FcConfig* map_config = nullptr;
PangoFontMap* the_map = nullptr;

// A person at a display expects every installed font: fallback for the
// characters DejaVu lacks, and the requester listing them. Headless runs
// keep the pinned set, so that their pixels are the same on every machine.
bool on_a_display() {
  const char* display = std::getenv("DISPLAY");
  const char* headless = std::getenv("KEZ_HEADLESS");
  return display && *display && !(headless && *headless);
}

PangoFontMap* font_map() {
  if (the_map) return the_map;
  map_config = FcConfigCreate();
  FcConfigParseAndLoadFromMemory(map_config, reinterpret_cast<const FcChar8*>(fonts_conf), FcTrue);
  // Our name mappings bind first; the desktop's configuration (its folders,
  // its aliases) comes after them.
  if (on_a_display()) FcConfigParseAndLoad(map_config, nullptr, FcFalse);
  FcConfigBuildFonts(map_config);
  // Ours is the process's configuration too: cairo's font code asks the
  // current one rather than loading the machine's again.
  FcConfigSetCurrent(map_config);
  PangoFontMap* m = pango_cairo_font_map_new_for_font_type(CAIRO_FONT_TYPE_FT);
  pango_fc_font_map_set_config(PANGO_FC_FONT_MAP(m), map_config);
  pango_cairo_font_map_set_resolution(PANGO_CAIRO_FONT_MAP(m), 96);
  // The map's caches go with it at exit, so that a leak check sees ours.
  static bool registered = [] { return std::atexit(release_font_map) == 0; }();
  (void)registered;
  the_map = m;
  return the_map;
}

void set_options(PangoContext* context, text_antialias_mode mode) {
  cairo_font_options_t* o = cairo_font_options_create();
  cairo_font_options_set_hint_style(o, CAIRO_HINT_STYLE_NONE);
  cairo_font_options_set_hint_metrics(o, CAIRO_HINT_METRICS_OFF);
  switch (mode) {
    case text_antialias_mode::cleartype:
      cairo_font_options_set_antialias(o, CAIRO_ANTIALIAS_SUBPIXEL);
      cairo_font_options_set_subpixel_order(o, CAIRO_SUBPIXEL_ORDER_RGB);
      break;
    case text_antialias_mode::aliased: cairo_font_options_set_antialias(o, CAIRO_ANTIALIAS_NONE); break;
    default: cairo_font_options_set_antialias(o, CAIRO_ANTIALIAS_GRAY);
  }
  pango_cairo_context_set_font_options(context, o);
  cairo_font_options_destroy(o);
}

PangoContext* new_context(const std::string& locale, text_antialias_mode mode) {
  PangoContext* c = pango_font_map_create_context(font_map());
  pango_context_set_round_glyph_positions(c, FALSE);
  set_options(c, mode);
  pango_context_set_language(c, pango_language_from_string(locale.c_str()));
  return c;
}

PangoFontDescription* describe(const text_format& f) {
  PangoFontDescription* d = pango_font_description_new();
  pango_font_description_set_family(d, f.family.c_str());
  pango_font_description_set_weight(d, PangoWeight(std::clamp(f.weight, 100, 1000)));
  pango_font_description_set_style(d, f.style == font_style::italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL);
  pango_font_description_set_absolute_size(d, std::max(f.size, 0.01f) * PANGO_SCALE);
  return d;
}

// A width past what the text engine's fixed-point units hold (callers pass
// INT_MAX for "as wide as needed") is no limit either.
bool unlimited(float v) { return v <= 0 || v >= float(INT_MAX / PANGO_SCALE) || !std::isfinite(v); }

constexpr float unit = 1.0f / PANGO_SCALE;

}  // namespace

std::vector<std::string> font_families(bool fixed_pitch_only) {
  std::vector<std::string> out;
  PangoFontFamily** families = nullptr;
  int n = 0;
  pango_font_map_list_families(font_map(), &families, &n);
  for (int i = 0; i < n; i++)
    if (!fixed_pitch_only || pango_font_family_is_monospace(families[i])) out.push_back(pango_font_family_get_name(families[i]));
  g_free(families);
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

std::string resolve_family(const std::string& name, int weight, bool italic) {
  PangoContext* c = new_context("en-us", text_antialias_mode::grayscale);
  text_format f;
  f.family = name;
  f.weight = weight;
  f.style = italic ? font_style::italic : font_style::normal;
  PangoFontDescription* d = describe(f);
  std::string family;
  if (PangoFont* font = pango_font_map_load_font(font_map(), c, d)) {
    PangoFontDescription* got = pango_font_describe(font);
    family = pango_font_description_get_family(got);
    pango_font_description_free(got);
    g_object_unref(font);
  }
  pango_font_description_free(d);
  g_object_unref(c);
  return family;
}

std::string utf8_of(std::u16string_view text, std::vector<uint32_t>* map) {
  std::string out;
  out.reserve(text.size() * 3);
  if (map) map->assign(text.size() + 1, 0);
  for (size_t i = 0; i < text.size();) {
    int32_t cp = text[i];
    size_t units = 1;
    if (cp >= 0xD800 && cp < 0xDC00 && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] < 0xE000) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (text[i + 1] - 0xDC00);
      units = 2;
    } else if (cp >= 0xD800 && cp < 0xE000) {
      cp = 0xFFFD;
    }
    if (map)
      for (size_t k = 0; k < units; ++k) (*map)[i + k] = uint32_t(out.size());
    uint8_t bytes[4];
    out.append(reinterpret_cast<const char*>(bytes), size_t(utf8::encode_char(cp, bytes)));
    i += units;
  }
  if (map) map->back() = uint32_t(out.size());
  return out;
}

font_metrics measure_font(const text_format& f) {
  PangoContext* c = new_context(f.locale, text_antialias_mode::grayscale);
  PangoFontDescription* d = describe(f);
  PangoFontMetrics* m = pango_context_get_metrics(c, d, pango_context_get_language(c));
  font_metrics r{pango_font_metrics_get_ascent(m) * unit, pango_font_metrics_get_descent(m) * unit,
                 pango_font_metrics_get_approximate_char_width(m) * unit};
  pango_font_metrics_unref(m);
  pango_font_description_free(d);
  g_object_unref(c);
  return r;
}

text_layout::text_layout(std::u16string_view text, const text_format& format, float max_width, float max_height)
    : format_(format), max_width_(max_width), max_height_(max_height) {
  utf8_ = utf8_of(text, &u16_to_byte_);
  byte_to_u16_.assign(utf8_.size() + 1, 0);
  for (size_t i = text.size() + 1; i-- > 0;) byte_to_u16_[u16_to_byte_[i]] = uint32_t(i);
  // Continuation bytes answer their character's first unit.
  for (size_t b = 1; b < utf8_.size(); ++b)
    if ((uint8_t(utf8_[b]) & 0xC0) == 0x80) byte_to_u16_[b] = byte_to_u16_[b - 1];

  context_ = new_context(format.locale, antialias_);
  layout_ = pango_layout_new(context_);
  pango_layout_set_text(layout_, utf8_.data(), int(utf8_.size()));
  PangoFontDescription* d = describe(format);
  pango_layout_set_font_description(layout_, d);
  pango_font_description_free(d);
  pango_layout_set_wrap(layout_, PANGO_WRAP_WORD_CHAR);
  // Pango repeats the distance between the last two stops.
  std::vector<float> stops = format.tab_stops;
  if (stops.empty()) {
    float tab = format.incremental_tab_stop > 0 ? format.incremental_tab_stop : 4 * format.size;
    stops = {tab, 2 * tab};
  }
  PangoTabArray* tabs = pango_tab_array_new(int(stops.size()), FALSE);
  for (size_t i = 0; i < stops.size(); ++i)
    pango_tab_array_set_tab(tabs, int(i), PANGO_TAB_LEFT, int(std::lround(stops[i] * PANGO_SCALE)));
  pango_layout_set_tabs(layout_, tabs);
  pango_tab_array_free(tabs);
  attrs_ = pango_attr_list_new();
  // A word broken at the line's end keeps its characters: no hyphen is added.
  pango_attr_list_insert(attrs_, pango_attr_insert_hyphens_new(FALSE));
  pango_layout_set_attributes(layout_, attrs_);
}

text_layout::~text_layout() {
  pango_attr_list_unref(attrs_);
  g_object_unref(layout_);
  g_object_unref(context_);
}

void text_layout::set_max_width(float w) { max_width_ = w, dirty_ = true; }
void text_layout::set_max_height(float h) { max_height_ = h, dirty_ = true; }

void text_layout::apply(void* attribute, text_range r) {
  auto* a = static_cast<PangoAttribute*>(attribute);
  uint32_t n = length(), start = std::min(r.start, n), end = std::min<uint64_t>(uint64_t(r.start) + r.length, n);
  a->start_index = u16_to_byte_[start];
  a->end_index = u16_to_byte_[std::max(start, uint32_t(end))];
  pango_attr_list_change(attrs_, a);
  // Pango ignores a list equal to the one it has (the same list, changed):
  // dropping it first makes the layout lay out again.
  pango_layout_set_attributes(layout_, nullptr);
  pango_layout_set_attributes(layout_, attrs_);
  dirty_ = true;
}

void text_layout::set_color(color c, text_range r) {
  auto ch = [](float v) { return guint16(std::lround(std::clamp(v, 0.0f, 1.0f) * 65535)); };
  apply(pango_attr_foreground_new(ch(c.r), ch(c.g), ch(c.b)), r);
  apply(pango_attr_foreground_alpha_new(std::max<guint16>(1, ch(c.a))), r);
}
void text_layout::set_font_weight(int w, text_range r) { apply(pango_attr_weight_new(PangoWeight(std::clamp(w, 100, 1000))), r); }
void text_layout::set_font_style(font_style s, text_range r) {
  apply(pango_attr_style_new(s == font_style::italic ? PANGO_STYLE_ITALIC : PANGO_STYLE_NORMAL), r);
}
void text_layout::set_underline(bool on, text_range r) {
  apply(pango_attr_underline_new(on ? PANGO_UNDERLINE_SINGLE : PANGO_UNDERLINE_NONE), r);
}
void text_layout::set_strikethrough(bool on, text_range r) { apply(pango_attr_strikethrough_new(on), r); }
void text_layout::set_font_family(const std::string& family, text_range r) { apply(pango_attr_family_new(family.c_str()), r); }
void text_layout::set_font_size(float dips, text_range r) {
  apply(pango_attr_size_new_absolute(int(std::lround(std::max(dips, 0.01f) * PANGO_SCALE))), r);
}

void text_layout::ensure() {
  if (!dirty_) return;
  dirty_ = false;
  bool wrap = format_.wrapping == word_wrapping::wrap && !unlimited(max_width_);
  pango_layout_set_width(layout_, wrap ? int(max_width_ * PANGO_SCALE) : -1);
  lines_.clear();
  int count = pango_layout_get_line_count(layout_);
  PangoLayoutIter* it = pango_layout_get_iter(layout_);
  float pitch = format_.line_spacing;
  bool uniform = format_.spacing_method == line_spacing_method::uniform && pitch > 0;
  for (int i = 0; i < count; ++i) {
    PangoLayoutLine* pl = pango_layout_iter_get_line_readonly(it);
    PangoRectangle logical;
    pango_layout_iter_get_line_extents(it, nullptr, &logical);
    float base = pango_layout_iter_get_baseline(it) * unit;
    line l{};
    l.start = uint32_t(pl->start_index);
    l.length = uint32_t(pl->length);
    l.next = i + 1 < count ? uint32_t(pango_layout_get_line_readonly(layout_, i + 1)->start_index) : uint32_t(utf8_.size());
    if (uniform) {
      l.top = i * pitch;
      l.height = pitch;
      l.baseline = format_.baseline;
    } else {
      l.top = logical.y * unit;
      l.height = logical.height * unit;
      l.baseline = base - l.top;
    }
    PangoRectangle ext;
    pango_layout_line_get_extents(pl, nullptr, &ext);
    l.width_trailing = ext.width * unit;
    // The width without the trailing white space.
    uint32_t end = l.start + l.length, ws = end;
    while (ws > l.start && (utf8_[ws - 1] == ' ' || utf8_[ws - 1] == '\t')) --ws;
    l.width = ws == end ? l.width_trailing : ws == l.start ? 0 : [&] {
      int x = 0;
      pango_layout_line_index_to_x(pl, int(ws), FALSE, &x);
      return x * unit;
    }();
    lines_.push_back(l);
    pango_layout_iter_next_line(it);
  }
  pango_layout_iter_free(it);
  // Alignment is ours: pango aligns only inside a wrapping width.
  float widest = 0;
  for (const line& l : lines_) widest = std::max(widest, l.width);
  float box = unlimited(max_width_) ? widest : max_width_;
  for (line& l : lines_) {
    if (format_.text_align == text_alignment::center) l.x = (box - l.width) / 2;
    else if (format_.text_align == text_alignment::trailing) l.x = box - l.width;
  }
  float height = lines_.empty() ? 0 : lines_.back().top + lines_.back().height - lines_.front().top;
  float shift = -(lines_.empty() ? 0 : lines_.front().top);
  if (!unlimited(max_height_)) {
    if (format_.paragraph_align == paragraph_alignment::center) shift += (max_height_ - height) / 2;
    else if (format_.paragraph_align == paragraph_alignment::far) shift += max_height_ - height;
  }
  for (line& l : lines_) l.top += shift;
}

text_metrics text_layout::metrics() {
  ensure();
  text_metrics m;
  m.line_count = uint32_t(lines_.size());
  m.layout_width = unlimited(max_width_) ? infinite : max_width_;
  m.layout_height = unlimited(max_height_) ? infinite : max_height_;
  if (lines_.empty()) return m;
  m.left = infinite;
  for (const line& l : lines_) {
    m.left = std::min(m.left, l.x);
    m.width = std::max(m.width, l.width);
    m.width_including_trailing_whitespace = std::max(m.width_including_trailing_whitespace, l.width_trailing);
  }
  m.top = lines_.front().top;
  m.height = lines_.back().top + lines_.back().height - m.top;
  return m;
}

std::vector<line_metrics> text_layout::get_line_metrics() {
  ensure();
  std::vector<line_metrics> out;
  out.reserve(lines_.size());
  for (const line& l : lines_) {
    line_metrics m;
    uint32_t end = l.start + l.length;
    m.length = byte_to_u16_[l.next] - byte_to_u16_[l.start];
    m.newline_length = byte_to_u16_[l.next] - byte_to_u16_[end];
    uint32_t ws = end;
    while (ws > l.start && (utf8_[ws - 1] == ' ' || utf8_[ws - 1] == '\t')) --ws;
    m.trailing_whitespace_length = byte_to_u16_[end] - byte_to_u16_[ws] + m.newline_length;
    m.height = l.height;
    m.baseline = l.baseline;
    out.push_back(m);
  }
  return out;
}

const text_layout::line& text_layout::line_at_byte(uint32_t byte) {
  for (const line& l : lines_)
    if (byte < l.next) return l;
  return lines_.back();
}

namespace {
// The next character of valid UTF-8 text. (Not glib's macro: it reads a
// table of glib's, and data cannot be bound on first call as functions are.)
const char* next_char(const char* p) {
  auto lead = static_cast<unsigned char>(*p);
  return p + (lead < 0xC0 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4);
}
}  // namespace

uint32_t text_layout::cluster_end(uint32_t byte) const {
  // The next cursor stop: a surrogate pair, a combining sequence and a
  // CR LF are one cluster each.
  int n = 0;
  const PangoLogAttr* attrs = pango_layout_get_log_attrs_readonly(layout_, &n);
  const char* text = utf8_.data();
  int index = int(g_utf8_pointer_to_offset(text, text + byte));
  const char* p = text + byte;
  for (int k = index + 1; k < n; ++k) {
    p = next_char(p);
    if (attrs[k].is_cursor_position) return uint32_t(p - text);
  }
  return uint32_t(utf8_.size());
}

float text_layout::x_of(const line& l, uint32_t byte, bool trailing) {
  int index = int(&l - lines_.data());
  PangoLayoutLine* pl = pango_layout_get_line_readonly(layout_, index);
  int x = 0;
  pango_layout_line_index_to_x(pl, int(std::min(byte, l.start + l.length)), trailing && byte < l.start + l.length, &x);
  return l.x + x * unit;
}

hit_test_metrics text_layout::hit_test_text_position(uint32_t position, bool trailing, float* x, float* y) {
  ensure();
  position = std::min(position, length());
  uint32_t byte = u16_to_byte_[position];
  const line& l = line_at_byte(byte);
  uint32_t end = byte < utf8_.size() ? cluster_end(byte) : byte;
  hit_test_metrics m;
  m.text_position = byte_to_u16_[byte];
  m.length = byte_to_u16_[end] - m.text_position;
  m.left = x_of(l, byte, false);
  float right = end <= l.start + l.length ? x_of(l, end, false) : x_of(l, byte, true);
  m.width = std::max(0.0f, right - m.left);
  m.top = l.top;
  m.height = l.height;
  m.is_text = byte < l.start + l.length;
  if (x) *x = trailing ? m.left + m.width : m.left;
  if (y) *y = l.top;
  return m;
}

hit_test_metrics text_layout::hit_test_point(float x, float y, bool* trailing, bool* inside) {
  ensure();
  size_t i = 0;
  while (i + 1 < lines_.size() && y >= lines_[i].top + lines_[i].height) ++i;
  const line& l = lines_[i];
  PangoLayoutLine* pl = pango_layout_get_line_readonly(layout_, int(i));
  int index = 0, trail = 0;
  bool on_line = pango_layout_line_x_to_index(pl, int(std::lround((x - l.x) * PANGO_SCALE)), &index, &trail);
  uint32_t byte = uint32_t(index);
  // Past the end of a line the caret goes before its line break.
  if (byte > l.start + l.length) byte = l.start + l.length;
  if (byte == l.start + l.length && l.length > 0 && byte == l.next) trail = 0;
  hit_test_metrics m = hit_test_text_position(byte_to_u16_[byte], false, nullptr, nullptr);
  if (trailing) *trailing = trail > 0;
  if (inside) *inside = on_line && y >= l.top && y < l.top + l.height && x >= l.x && x < l.x + l.width_trailing;
  return m;
}

std::vector<hit_test_metrics> text_layout::hit_test_text_range(uint32_t position, uint32_t len, float ox, float oy) {
  ensure();
  std::vector<hit_test_metrics> out;
  uint32_t n = length();
  uint32_t from = u16_to_byte_[std::min(position, n)];
  uint32_t to = u16_to_byte_[uint32_t(std::min<uint64_t>(uint64_t(position) + len, n))];
  for (size_t i = 0; i < lines_.size(); ++i) {
    const line& l = lines_[i];
    uint32_t a = std::max(from, l.start), b = std::min(to, l.next);
    if (a >= b && !(len == 0 && from >= l.start && from < l.next)) continue;
    uint32_t b_text = std::min(b, l.start + l.length);
    PangoLayoutLine* pl = pango_layout_get_line_readonly(layout_, int(i));
    int* ranges = nullptr;
    int count = 0;
    if (b_text > a) pango_layout_line_get_x_ranges(pl, int(a), int(b_text), &ranges, &count);
    if (count == 0) {  // only a line break, or an empty range: a zero-width box at its place
      hit_test_metrics m;
      m.text_position = byte_to_u16_[a];
      m.length = byte_to_u16_[b] - m.text_position;
      m.left = ox + x_of(l, a, false);
      m.top = oy + l.top;
      m.height = l.height;
      out.push_back(m);
    }
    for (int k = 0; k < count; ++k) {
      hit_test_metrics m;
      m.text_position = byte_to_u16_[a];
      m.length = byte_to_u16_[b] - m.text_position;
      m.left = ox + l.x + ranges[2 * k] * unit;
      m.width = (ranges[2 * k + 1] - ranges[2 * k]) * unit;
      m.top = oy + l.top;
      m.height = l.height;
      m.is_text = true;
      out.push_back(m);
    }
    g_free(ranges);
  }
  return out;
}

void text_layout::draw(device_context& dc, point origin, brush& default_brush) {
  cairo_t* cr = dc.prepared();
  cairo_set_source(cr, default_brush.pattern());
  draw(cr, origin, dc.get_text_antialias_mode());
}

void text_layout::draw(cairo_t* cr, point origin, text_antialias_mode mode) {
  if (mode != antialias_) {
    // Anti-aliasing changes no metric: the line model stays.
    antialias_ = mode;
    set_options(context_, mode);
    pango_layout_context_changed(layout_);
  }
  ensure();
  for (size_t i = 0; i < lines_.size(); ++i) {
    const line& l = lines_[i];
    cairo_move_to(cr, origin.x + l.x, origin.y + l.top + l.baseline);
    pango_cairo_show_layout_line(cr, pango_layout_get_line_readonly(layout_, int(i)));
  }
  cairo_new_path(cr);
}

void release_font_map() {
  if (!the_map) return;
  pango_fc_font_map_shutdown(PANGO_FC_FONT_MAP(the_map));
  g_object_unref(the_map);
  the_map = nullptr;
  cairo_debug_reset_static_data();
  FcConfigDestroy(map_config);
  map_config = nullptr;
}

}  // namespace kez::gfx
