#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <set>
#include <string>

#include "platform/gfx/gdi_text.h"
#include "platform/gfx/text.h"

namespace kez {
namespace {

using namespace gfx;

text_format format_of(const char* family, float size) {
  text_format f;
  f.family = family;
  f.size = size;
  return f;
}

// Pixels where the surface's red (or blue) channel dominates.
int count_where(cairo_surface_t* s, int x0, int x1, bool (*pred)(uint32_t), int y0 = 0, int y1 = -1) {
  cairo_surface_flush(s);
  int n = 0;
  if (y1 < 0) y1 = cairo_image_surface_get_height(s);
  for (int y = y0; y < y1; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s));
    for (int x = x0; x < x1; ++x) n += pred(row[x]);
  }
  return n;
}
bool reddish(uint32_t p) { return (p >> 24) > 100 && (p >> 16 & 255) > 100 && (p & 255) < 40; }
bool dark(uint32_t p) { return (p >> 24) > 100 && (p >> 16 & 255) < 60 && (p & 255) < 60; }
bool any_ink(uint32_t p) { return (p >> 24) > 60; }

TEST(gfx_text, names_resolve_through_our_configuration) {
  struct {
    const char* name;
    const char* family;
  } cases[] = {{"Consolas", "DejaVu Sans Mono"}, {"Courier New", "DejaVu Sans Mono"}, {"Segoe UI", "DejaVu Sans"},
               {"Tahoma", "DejaVu Sans"},        {"Times New Roman", "DejaVu Serif"}, {"No Such Face", "DejaVu Sans"},
               {"", "DejaVu Sans"}};
  for (auto& c : cases) EXPECT_EQ(resolve_family(c.name), c.family) << c.name;
  EXPECT_EQ(resolve_family("Consolas", 700, true), "DejaVu Sans Mono");
}

TEST(gfx_text, caret_stops_count_utf16_units) {
  text_layout layout(u"a\U0001F600b", format_of("Segoe UI", 20), 0, 0);
  ASSERT_EQ(layout.length(), 4u);
  float right = layout.metrics().width_including_trailing_whitespace;
  std::set<uint32_t> stops;
  for (float x = -5; x <= right + 5; x += 0.5f) {
    bool trailing = false, inside = false;
    hit_test_metrics m = layout.hit_test_point(x, 10, &trailing, &inside);
    stops.insert(m.text_position + (trailing ? m.length : 0));
  }
  EXPECT_EQ(stops, (std::set<uint32_t>{0, 1, 3, 4}));
  // The emoji's right half: position 1, trailing, two units long.
  float ex = 0, ey = 0;
  hit_test_metrics emoji = layout.hit_test_text_position(1, false, &ex, &ey);
  EXPECT_EQ(emoji.length, 2u);
  ASSERT_GT(emoji.width, 1);
  bool trailing = false, inside = false;
  hit_test_metrics hit = layout.hit_test_point(emoji.left + emoji.width * 0.75f, 10, &trailing, &inside);
  EXPECT_EQ(hit.text_position, 1u);
  EXPECT_TRUE(trailing);
  EXPECT_TRUE(inside);
  // A position inside the pair means the pair.
  EXPECT_EQ(layout.hit_test_text_position(2, false, nullptr, nullptr).text_position, 1u);
  float tx = 0;
  layout.hit_test_text_position(1, true, &tx, nullptr);
  EXPECT_NEAR(tx, emoji.left + emoji.width, 1e-3);
  // The range of the emoji is one rectangle, its cluster.
  std::vector<hit_test_metrics> boxes = layout.hit_test_text_range(1, 2, 10, 20);
  ASSERT_EQ(boxes.size(), 1u);
  EXPECT_NEAR(boxes[0].left, emoji.left + 10, 1e-3);
  EXPECT_NEAR(boxes[0].width, emoji.width, 1e-3);
  EXPECT_NEAR(boxes[0].top, 20, 1e-3);
  // A lone surrogate is one replacement character; empty text is one line.
  text_layout lone(u"a\xD800" u"b", format_of("Segoe UI", 20), 0, 0);
  EXPECT_EQ(lone.length(), 3u);
  EXPECT_EQ(lone.hit_test_text_position(1, false, nullptr, nullptr).length, 1u);
  EXPECT_EQ(utf8_of(u"a\xD800"), "a\xEF\xBF\xBD");
  text_layout empty(u"", format_of("Segoe UI", 20), 0, 0);
  EXPECT_EQ(empty.metrics().line_count, 1u);
  EXPECT_GT(empty.metrics().height, 20);
  EXPECT_EQ(empty.hit_test_point(5, 5, &trailing, &inside).text_position, 0u);
  // Past the end, and above the first line.
  layout.hit_test_point(right + 50, -20, &trailing, &inside);
  EXPECT_FALSE(inside);
}

const char16_t paragraph[] =
    u"The quick brown fox jumps over the lazy dog, then rests a while in the long grass by the river\n"
    u"before it\ttrots home again.";

TEST(gfx_text, wrapped_metrics_are_the_same_every_time) {
  text_format f = format_of("Segoe UI", 14);
  auto measure = [&] {
    text_layout l(paragraph, f, 180, 0);
    return std::make_pair(l.metrics(), l.get_line_metrics());
  };
  auto [first, first_lines] = measure();
  ASSERT_GE(first.line_count, 4u);
  for (int run = 0; run < 3; ++run) {
    auto [m, lines] = measure();
    EXPECT_EQ(m.width, first.width);
    EXPECT_EQ(m.height, first.height);
    EXPECT_EQ(m.width_including_trailing_whitespace, first.width_including_trailing_whitespace);
    ASSERT_EQ(lines.size(), first_lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i].length, first_lines[i].length);
      EXPECT_EQ(lines[i].height, first_lines[i].height);
      EXPECT_EQ(lines[i].baseline, first_lines[i].baseline);
    }
  }
  // Lines cover the text; the break after "river" is the one newline; no
  // line is wider than the limit.
  uint32_t total = 0, newlines = 0;
  for (const line_metrics& l : first_lines) {
    total += l.length;
    newlines += l.newline_length;
    EXPECT_LE(l.trailing_whitespace_length, l.length);
  }
  EXPECT_EQ(total, std::char_traits<char16_t>::length(paragraph));
  EXPECT_EQ(newlines, 1u);
  EXPECT_LE(first.width, 180);
  EXPECT_NEAR(first.height, first_lines[0].height * first.line_count, 0.01);
  // Unhinted metrics scale with the size exactly.
  text_layout small(u"MMMM", format_of("Consolas", 10), 0, 0), large(u"MMMM", format_of("Consolas", 20), 0, 0);
  EXPECT_NEAR(large.metrics().width, 2 * small.metrics().width, 1e-3);
  EXPECT_NEAR(small.metrics().width, 4 * 0.602 * 10, 0.05);  // DejaVu Sans Mono's advance
}

TEST(gfx_text, alignment_spacing_and_tabs) {
  text_format f = format_of("Segoe UI", 16);
  f.text_align = text_alignment::center;
  f.paragraph_align = paragraph_alignment::center;
  text_layout centred(u"abc", f, 200, 100);
  text_metrics m = centred.metrics();
  EXPECT_NEAR(m.left, (200 - m.width) / 2, 1e-3);
  EXPECT_NEAR(m.top, (100 - m.height) / 2, 1e-3);
  f.text_align = text_alignment::trailing;
  f.paragraph_align = paragraph_alignment::far;
  text_layout right(u"abc", f, 200, 100);
  float x = 0;
  right.hit_test_text_position(3, false, &x, nullptr);
  EXPECT_NEAR(x, 200, 1e-3);
  EXPECT_NEAR(right.metrics().top + right.metrics().height, 100, 1e-3);
  // Without wrapping a long line stays one line.
  f = format_of("Segoe UI", 16);
  f.wrapping = word_wrapping::no_wrap;
  EXPECT_EQ(text_layout(paragraph, f, 100, 0).metrics().line_count, 2u);
  // Uniform spacing puts every line on the pitch with the given baseline.
  f.spacing_method = line_spacing_method::uniform;
  f.line_spacing = 30;
  f.baseline = 20;
  text_layout spaced(u"a\nb\nc", f, 0, 0);
  EXPECT_NEAR(spaced.metrics().height, 90, 1e-3);
  float y = 0;
  spaced.hit_test_text_position(4, false, nullptr, &y);
  EXPECT_NEAR(y, 60, 1e-3);
  EXPECT_EQ(spaced.get_line_metrics()[1].baseline, 20);
  bool trailing = false, inside = false;
  EXPECT_EQ(spaced.hit_test_point(1, 45, &trailing, &inside).text_position, 2u);
  // An incremental tab stop of 100.
  f = format_of("Segoe UI", 16);
  f.incremental_tab_stop = 100;
  text_layout tabbed(u"\tx\ty", f, 0, 0);
  tabbed.hit_test_text_position(1, false, &x, nullptr);
  EXPECT_NEAR(x, 100, 0.5);
  tabbed.hit_test_text_position(3, false, &x, nullptr);
  EXPECT_NEAR(x, 200, 0.5);
}

TEST(gfx_text, range_styles_change_what_they_cover) {
  text_format f = format_of("Segoe UI", 20);
  text_layout plain(u"MMMMMMMM", f, 0, 0);
  text_layout styled(u"MMMMMMMM", f, 0, 0);
  styled.set_font_weight(700, {4, 4});
  EXPECT_GT(styled.metrics().width, plain.metrics().width);
  float x_plain = 0, x_styled = 0;
  plain.hit_test_text_position(4, false, &x_plain, nullptr);
  styled.hit_test_text_position(4, false, &x_styled, nullptr);
  EXPECT_NEAR(x_plain, x_styled, 1e-3);  // nothing before the range moved
  text_layout big(u"ab", f, 0, 0);
  big.set_font_size(40, {1, 5});  // cut to the text
  EXPECT_GT(big.metrics().height, plain.metrics().height * 1.5);
  text_layout mono(u"iiii", f, 0, 0);
  float before = mono.metrics().width;
  mono.set_font_family("Consolas", {0, 4});
  EXPECT_GT(mono.metrics().width, before);
  text_layout slanted(u"llll", f, 0, 0);
  slanted.set_font_style(font_style::italic, {0, 4});
  EXPECT_EQ(slanted.metrics().line_count, 1u);

  // Colour on the right half; underline adds ink under the baseline.
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 200, 40);
  {
    device_context dc(s);
    text_layout coloured(u"MMMMMMMM", f, 0, 0);
    coloured.set_color({1, 0, 0, 1}, {4, 4});
    coloured.draw(dc, {0, 0}, *brush::solid({0, 0, 0, 1}));
    float split = 0;
    coloured.hit_test_text_position(4, false, &split, nullptr);
    EXPECT_GT(count_where(s, int(split) + 1, 200, reddish), 20);
    EXPECT_EQ(count_where(s, 0, int(split) - 1, reddish), 0);
    EXPECT_GT(count_where(s, 0, int(split) - 1, dark), 20);
  }
  auto ink_below_baseline = [&](bool underline, bool strike) {
    cairo_surface_t* t = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 200, 40);
    device_context dc(t);
    text_layout l(u"MMMM", f, 0, 0);
    l.set_underline(underline, {0, 4});
    l.set_strikethrough(strike, {0, 4});
    l.draw(dc, {0, 0}, *brush::solid({0, 0, 0, 1}));
    float base = l.get_line_metrics()[0].baseline;
    int n = count_where(t, 0, 200, any_ink, int(base) + 1);
    cairo_surface_destroy(t);
    return n;
  };
  EXPECT_EQ(ink_below_baseline(false, false), 0);
  EXPECT_GT(ink_below_baseline(true, false), 20);
  cairo_surface_destroy(s);
}

TEST(gfx_text, gdi_draw_text_measures_like_the_layout) {
  log_font lf;
  lf.height = -12;
  lf.face_name = u"Consolas";
  gdi_font consolas(lf);
  gdi_dc dc;
  dc.select_font(&consolas);
  gdi_rect r{0, 0, 0, 0};
  int h = dc.draw_text(u"M", r, DT_CALCRECT);
  text_layout layout(u"M", format_of("Consolas", 12), 0, 0);
  EXPECT_EQ(r.right, int(std::ceil(layout.metrics().width)));
  EXPECT_EQ(r.bottom, consolas.height());
  EXPECT_EQ(h, consolas.height());
  EXPECT_EQ(consolas.height(), 14);  // DejaVu Sans Mono at 12 px: 11.1 + 2.8 rounded
  // Word break at a width: more lines, each one line height.
  gdi_rect narrow{0, 0, 60, 0};
  h = dc.draw_text(u"one two three four", narrow, DT_CALCRECT | DT_WORDBREAK | DT_EXPANDTABS);
  EXPECT_GE(h, 3 * consolas.height());
  EXPECT_EQ(h % consolas.height(), 0);
  EXPECT_LE(narrow.right, 60);
  // The backend's measuring call: a huge width, one line per paragraph.
  gdi_rect wide{0, 0, 0x7FFFFFFF, 0};
  EXPECT_EQ(dc.draw_text(u"a\nb", wide, DT_CALCRECT | DT_EXPANDTABS | DT_WORDBREAK), 2 * consolas.height());
  gdi_rect single{0, 0, 0, 0};
  EXPECT_EQ(dc.draw_text(u"a\nb", single, DT_CALCRECT | DT_SINGLELINE), consolas.height());
  // Prefixes: "&&" is one ampersand, "&x" is x.
  gdi_rect amp{0, 0, 0, 0}, two{0, 0, 0, 0}, raw{0, 0, 0, 0};
  dc.draw_text(u"a&&b", amp, DT_CALCRECT);
  dc.draw_text(u"a&b", two, DT_CALCRECT);
  dc.draw_text(u"a&b", raw, DT_CALCRECT | DT_NOPREFIX);
  EXPECT_EQ(raw.right, amp.right);
  EXPECT_LT(two.right, raw.right);
  // Extents: "MM" is twice "M"; a tab goes to the given stop.
  text_size m = dc.get_text_extent_point(u"M"), mm = dc.get_text_extent_point(u"MMMMMMMMMM");
  EXPECT_EQ(m.cx, r.right);
  EXPECT_NEAR(mm.cx, 10 * layout.metrics().width, 1);
  uint32_t tabbed = dc.get_tabbed_text_extent(u"a\tb", {50});
  EXPECT_EQ(tabbed >> 16, uint32_t(consolas.height()));
  EXPECT_EQ(tabbed & 0xFFFF, uint32_t(std::ceil(50 + layout.metrics().width - 1e-3)));
  uint32_t stops = dc.get_tabbed_text_extent(u"a\tb\tc", {30, 70});
  EXPECT_EQ(stops & 0xFFFF, uint32_t(std::ceil(70 + layout.metrics().width - 1e-3)));
  // A positive height is the cell height; a long face name is cut to 31.
  log_font cell = lf;
  cell.height = 20;
  EXPECT_NEAR(gdi_font(cell).height(), 20, 1);
  log_font longer = lf;
  longer.face_name = std::u16string(40, u'x');
  EXPECT_EQ(gdi_font(longer).description().face_name.size(), 31u);
  EXPECT_EQ(gdi_font(longer).format().family, std::string(31, 'x'));
}

TEST(gfx_text, gdi_draw_text_paints_inside_its_rectangle) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 200, 60);
  {
    gdi_dc dc(s);
    dc.set_text_color(0x0000FF);  // red as a COLORREF
    dc.set_bk_mode(TRANSPARENT);
    gdi_rect r{100, 0, 200, 60};
    dc.draw_text(u"MMMMMMMMMMMMMMMMMMMM", r, DT_SINGLELINE | DT_VCENTER);
  }
  EXPECT_GT(count_where(s, 100, 200, reddish), 50);
  EXPECT_EQ(count_where(s, 0, 100, any_ink), 0);  // clipped to the rectangle
  cairo_surface_destroy(s);
  // Centred single line: ink on both sides of the middle, none at the edges.
  s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 200, 40);
  {
    gdi_dc dc(s);
    dc.set_bk_mode(OPAQUE);
    dc.set_bk_color(0xFF0000);  // blue behind the text
    gdi_rect r{0, 0, 200, 40};
    dc.draw_text(u"MM", r, DT_SINGLELINE | DT_CENTER | DT_VCENTER);
  }
  EXPECT_EQ(count_where(s, 0, 70, any_ink), 0);
  EXPECT_EQ(count_where(s, 130, 200, any_ink), 0);
  EXPECT_GT(count_where(s, 85, 115, any_ink), 100);
  cairo_surface_destroy(s);
}

}  // namespace
}  // namespace kez
