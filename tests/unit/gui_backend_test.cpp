// The GUI backend's pure parts: matrices, colours, small maps, pair and
// point conversions.
#include <gtest/gtest.h>

#include <cmath>

#include "gui/backend/d2d.h"
#include "gui/backend/font.h"
#include "gui/backend/matrix.h"
#include "gui/backend/text_box.h"
#include "gui/backend/utils.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/tuple.h"

namespace kez {
namespace {

namespace mx = gui::matrix;

gfx::point map(const mx::m32& m, float x, float y) { return m.apply({x, y}); }

TEST(gui_matrix, order_decides_which_step_applies_first) {
  struct row {
    int order;
    float x, y;
  };
  // Translate (10, 20), then rotate 90 degrees about 0x0; (1, 0) maps to...
  const row rows[] = {{mx::PREPEND, 10, 21}, {mx::APPEND, -20, 11}};
  for (const row& r : rows) {
    mx::m32 id, t, m;
    mx::identity(id);
    mx::translate(id, 10, 20, t, r.order);
    mx::rotate(t, 90, 0, 0, m, r.order);
    gfx::point p = map(m, 1, 0);
    EXPECT_NEAR(p.x, r.x, 1e-4) << r.order;
    EXPECT_NEAR(p.y, r.y, 1e-4) << r.order;
  }
}

TEST(gui_matrix, singular_matrix_inverts_to_itself) {
  mx::m32 m{0, 0, 0, 0, 3, 4}, out;
  mx::invert(m, out);
  EXPECT_EQ(out.m11, 0);
  EXPECT_EQ(out.m12, 0);
  EXPECT_EQ(out.m21, 0);
  EXPECT_EQ(out.m22, 0);
  EXPECT_EQ(out.dx, 3);
  EXPECT_EQ(out.dy, 4);
  mx::m32 s{2, 0, 0, 4, 10, 20}, inv;
  mx::invert(s, inv);
  gfx::point p = map(inv, 12, 24);
  EXPECT_NEAR(p.x, 1, 1e-5);
  EXPECT_NEAR(p.y, 1, 1e-5);
}

TEST(gui_matrix, scale_about_a_centre_keeps_the_centre) {
  mx::m32 id, m;
  mx::identity(id);
  mx::scale(id, 2, 2, 50, 50, m, mx::PREPEND);
  gfx::point c = map(m, 50, 50), a = map(m, 40, 40);
  EXPECT_NEAR(c.x, 50, 1e-4);
  EXPECT_NEAR(a.x, 30, 1e-4);
  EXPECT_NEAR(a.y, 30, 1e-4);
}

TEST(gui_matrix, multiply_by_order_and_4x4) {
  mx::m32 a{1, 2, 3, 4, 5, 6}, b{7, 8, 9, 10, 11, 12}, ab, ba;
  mx::multiply(a, b, ab, mx::APPEND);
  mx::multiply(a, b, ba, mx::PREPEND);
  EXPECT_EQ(ab.m11, 1 * 7 + 2 * 9);
  EXPECT_EQ(ab.dx, 5 * 7 + 6 * 9 + 11);
  EXPECT_EQ(ba.m11, 7 * 1 + 8 * 3);
  EXPECT_EQ(ba.dy, 11 * 2 + 12 * 4 + 6);
  mx::m44 i, s, out;
  mx::identity(i);
  s.m[0][0] = 2;
  s.m[3][1] = 5;
  mx::multiply(s, i, out);
  EXPECT_EQ(out.m[0][0], 2);
  EXPECT_EQ(out.m[3][1], 5);
  EXPECT_EQ(out.m[2][2], 1);
}

TEST(gui_color, d2d_to_color) {
  gfx::color blue = gui::d2d::to_color(0x00FF0000);
  EXPECT_FLOAT_EQ(blue.r, 0);
  EXPECT_FLOAT_EQ(blue.g, 0);
  EXPECT_FLOAT_EQ(blue.b, 1);
  EXPECT_FLOAT_EQ(blue.a, 1);
  EXPECT_FLOAT_EQ(gui::d2d::to_color(0xFF000000).a, 0);
}

cell tuple_of(std::initializer_list<int32_t> bytes) {
  cell t;
  int32_t v[4];
  int n = 0;
  for (int32_t b : bytes) v[n++] = b;
  tuple::make_at(&t, v, n);
  return t;
}

TEST(gui_utils, colours) {
  cell red = tuple_of({255, 0, 0}), half = tuple_of({255, 0, 0, 128}), opaque4 = tuple_of({1, 2, 3, 0});
  EXPECT_EQ(gui::to_color(&red), 0x000000FFu);
  EXPECT_EQ(gui::to_color(&half), 0x800000FFu);
  EXPECT_EQ(gui::gdiplus_color(gui::to_color(&red)), 0xFEFF0000u);
  EXPECT_EQ(gui::argb_color(gui::to_color(&red)), 0xFFFF0000u);
  EXPECT_EQ(gui::argb_color(0x80000000), 0x7F000000u);
  EXPECT_TRUE(gui::transparent_color_q(&half));
  EXPECT_FALSE(gui::transparent_color_q(&red));
  EXPECT_FALSE(gui::transparent_color_q(&opaque4));
  cell values[2] = {red, cell{TYPE_INTEGER, 0, 5, 0}};
  EXPECT_EQ(gui::tuple_color(values, 0), 0xFF);
  EXPECT_EQ(gui::tuple_color(values, 1), -1);
}

TEST(gui_utils, pair_and_point_in_place) {
  cell p;
  point2D::make_at(&p, -1.7f, 2.9f);
  gui::point_to_pair(&p);
  ASSERT_EQ(type_of(&p), TYPE_PAIR);
  EXPECT_EQ(pair::x_of(&p), -1);
  EXPECT_EQ(pair::y_of(&p), 2);
  gui::pair_to_point(&p);
  ASSERT_EQ(type_of(&p), TYPE_POINT2D);
  EXPECT_EQ(point::coordinate(&p, 0), -1.0f);
  EXPECT_EQ(point::coordinate(&p, 1), 2.0f);
}

TEST(gui_utils, small_map_drops_the_65th_pair) {
  gui::pointer_map m;
  for (uint32_t k = 1; k <= 65; ++k) gui::pointer_map_add(m, k, k * 10);
  EXPECT_EQ(m.count, 64u);
  ASSERT_NE(gui::pointer_map_find(m, 64), nullptr);
  EXPECT_EQ(*gui::pointer_map_find(m, 64), 640u);
  EXPECT_EQ(gui::pointer_map_find(m, 65), nullptr);
}

TEST(gui_utils, timer_and_memory_helpers) {
  gui::timer_start t;
  gui::start_timer(t);
  double ms = gui::elapsed_ms(t);
  EXPECT_GE(ms, 0);
  EXPECT_LT(ms, 10000);
  t.counter += int64_t(1) << 60;  // a start in the future: the clock "went back"
  EXPECT_EQ(gui::elapsed_ms(t), double(0x7FFFFFFF));
  EXPECT_EQ(gui::counter_diff(10, 3), 7);
  char buf[4] = {1, 2, 3, 4};
  gui::zero_fill(buf, 3);
  EXPECT_EQ(buf[2], 0);
  EXPECT_EQ(buf[3], 4);
  EXPECT_EQ(gui::wcs_length(u"abc"), 3u);
}

TEST(gui_d2d, gradient_stop_positions) {
  using gui::d2d::gradient_stop_spec;
  std::vector<gradient_stop_spec> stops{{0xFF, {}}, {0xFF00, 0.8f}, {0xFF0000, {}}};
  std::vector<gfx::gradient_stop> out = gui::d2d::make_stops(stops);
  ASSERT_EQ(out.size(), 3u);
  EXPECT_FLOAT_EQ(out[0].position, 0.0f);
  EXPECT_FLOAT_EQ(out[1].position, 0.8f);
  EXPECT_FLOAT_EQ(out[2].position, 0.8f);
  std::vector<gradient_stop_spec> even{{0, {}}, {0, {}}, {0, {}}};
  out = gui::d2d::make_stops(even);
  EXPECT_FLOAT_EQ(out[1].position, 0.5f);
  EXPECT_FLOAT_EQ(out[2].position, 1.0f);
}

TEST(gui_font, description_of_a_font) {
  gui::font_spec s;
  gfx::log_font lf = gui::log_font_of(s, 9, 96);
  EXPECT_EQ(lf.height, -12);  // the default size when none is given
  EXPECT_EQ(lf.weight, gfx::FW_DONTCARE);
  EXPECT_EQ(lf.quality, gfx::DEFAULT_QUALITY);
  s.points = 10;
  s.name = std::u16string(40, u'x');
  s.bold = s.italic = s.underline = s.strike = true;
  s.quality = gui::font_spec::CLEARTYPE;
  lf = gui::log_font_of(s, 9, 144);
  EXPECT_EQ(lf.height, -20);
  EXPECT_EQ(lf.face_name.size(), 31u);
  EXPECT_EQ(lf.weight, gfx::FW_BOLD);
  EXPECT_TRUE(lf.italic && lf.underline && lf.strike_out);
  EXPECT_EQ(lf.quality, gfx::CLEARTYPE_QUALITY);
  s.quality = gui::font_spec::ANTIALIASED;
  EXPECT_EQ(gui::log_font_of(s, 9, 96).quality, gfx::ANTIALIASED_QUALITY);
}

TEST(gui_text, positions_count_code_points) {
  std::u16string t = u"a\U0001F600b";
  struct row {
    int64_t index;
    uint32_t unit;
  };
  // Character 3 (b) starts at unit 3: the emoji takes two units.
  for (row r : {row{1, 0}, row{2, 1}, row{3, 3}, row{4, 4}, row{9, 4}}) {
    EXPECT_EQ(gui::text_box::to_utf16_position(t, r.index), r.unit) << r.index;
  }
  EXPECT_EQ(gui::text_box::to_code_point_index(t, 3), 2);
  EXPECT_EQ(gui::text_box::to_code_point_index(t, 4), 3);
}

TEST(gui_text, para_flags_and_line_spacing) {
  gfx::text_format f;
  gui::text_box::set_para(f, 1 | 8 | 16);
  EXPECT_EQ(f.text_align, gfx::text_alignment::center);
  EXPECT_EQ(f.paragraph_align, gfx::paragraph_alignment::far);
  EXPECT_EQ(f.wrapping, gfx::word_wrapping::wrap);
  gui::text_box::set_para(f, 2 | 4);
  EXPECT_EQ(f.text_align, gfx::text_alignment::trailing);
  EXPECT_EQ(f.paragraph_align, gfx::paragraph_alignment::center);
  EXPECT_EQ(f.wrapping, gfx::word_wrapping::no_wrap);
  // A spacing below the natural line height uses the line height.
  cell two{TYPE_INTEGER, 0, 2, 0}, forty{TYPE_INTEGER, 0, 40, 0}, word{TYPE_NONE, 0, 0, 0};
  gfx::text_format a;
  gui::text_box::set_line_spacing(a, &two);
  EXPECT_EQ(a.spacing_method, gfx::line_spacing_method::uniform);
  EXPECT_GT(a.line_spacing, 2.0f);
  gfx::text_format b;
  gui::text_box::set_line_spacing(b, &forty);
  EXPECT_FLOAT_EQ(b.line_spacing, 40.0f);
  gfx::text_format c;
  gui::text_box::set_line_spacing(c, &word);
  EXPECT_EQ(c.spacing_method, gfx::line_spacing_method::natural);
  cell tab{TYPE_INTEGER, 0, 30, 0};
  gui::text_box::set_tab_size(c, &tab);
  EXPECT_FLOAT_EQ(c.incremental_tab_stop, 30.0f);
}

}  // namespace
}  // namespace kez
