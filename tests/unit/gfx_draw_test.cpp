#include "platform/gfx/draw.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>

#include "heap_fixture.h"
#include "runtime/datatypes/image.h"
#include "runtime/image_os.h"

namespace kez {
namespace {

using namespace gfx;

constexpr color white{1, 1, 1, 1}, black{0, 0, 0, 1}, red{1, 0, 0, 1}, blue{0, 0, 1, 1}, green{0, 1, 0, 1};

// A premultiplied pixel as 0-255 channels.
struct rgba {
  int r, g, b, a;
};

rgba pixel(cairo_surface_t* s, int x, int y) {
  cairo_surface_flush(s);
  auto* row = reinterpret_cast<uint32_t*>(cairo_image_surface_get_data(s) + y * cairo_image_surface_get_stride(s));
  uint32_t p = row[x];
  return {int(p >> 16 & 255), int(p >> 8 & 255), int(p & 255), int(p >> 24)};
}

struct sample {
  int x, y;
  color c;
};

std::string check(cairo_surface_t* s, const sample& at, int tolerance = 8) {
  rgba p = pixel(s, at.x, at.y);
  auto near = [&](int got, float want) { return std::abs(got - int(std::lround(want * 255))) <= tolerance; };
  if (near(p.r, at.c.r) && near(p.g, at.c.g) && near(p.b, at.c.b) && near(p.a, at.c.a)) return "";
  return "at " + std::to_string(at.x) + "," + std::to_string(at.y) + " got " + std::to_string(p.r) + " " +
         std::to_string(p.g) + " " + std::to_string(p.b) + " " + std::to_string(p.a);
}

struct draw_case {
  const char* name;
  std::function<void(device_context&)> draw;
  std::vector<sample> samples;
};

void run_cases(const std::vector<draw_case>& cases, int w = 100, int h = 100) {
  for (const draw_case& c : cases) {
    cairo_surface_t* s = make_bitmap(w, h);
    {
      device_context dc(s);
      dc.begin_draw();
      dc.clear(white);
      c.draw(dc);
      EXPECT_TRUE(dc.end_draw()) << c.name;
    }
    for (const sample& at : c.samples) EXPECT_EQ(check(s, at, 12), "") << c.name;
    cairo_surface_destroy(s);
  }
}

// A side x side bitmap in four quadrants: top left, top right, bottom left,
// bottom right.
cairo_surface_t* quadrants(int side, color tl, color tr, color bl, color br) {
  cairo_surface_t* img = make_bitmap(side, side);
  device_context dc(img);
  float half = float(side) / 2, full = float(side);
  dc.fill_rectangle({0, 0, half, half}, *brush::solid(tl));
  dc.fill_rectangle({half, 0, full, half}, *brush::solid(tr));
  dc.fill_rectangle({0, half, half, full}, *brush::solid(bl));
  dc.fill_rectangle({half, half, full, full}, *brush::solid(br));
  dc.end_draw();
  return img;
}

stroke_style caps(cap_style c) {
  stroke_style s;
  s.start_cap = s.end_cap = s.dash_cap = c;
  return s;
}

stroke_style joins(line_join j) {
  stroke_style s;
  s.join = j;
  return s;
}

path_geometry polyline(std::initializer_list<point> pts, figure_begin begin, figure_end end) {
  path_geometry g;
  auto it = pts.begin();
  g.begin_figure(*it, begin);
  for (++it; it != pts.end(); ++it) g.add_line(*it);
  g.end_figure(end);
  g.close();
  return g;
}

path_geometry star(fill_mode mode) {
  // A pentagram drawn in one stroke: its centre is wound twice.
  path_geometry g;
  g.set_fill_mode(mode);
  const double pi = 3.141592653589793;
  auto vertex = [&](int k) {
    double a = -pi / 2 + k * 4 * pi / 5;
    return point{float(50 + 45 * std::cos(a)), float(50 + 45 * std::sin(a))};
  };
  g.begin_figure(vertex(0), figure_begin::filled);
  for (int k = 1; k < 5; ++k) g.add_line(vertex(k));
  g.end_figure(figure_end::closed);
  g.close();
  return g;
}

TEST(gfx_draw, primitives_land_on_their_pixels) {
  auto pen = brush::solid(black);
  auto fill = brush::solid(red);
  stroke_style flat = caps(cap_style::flat), square = caps(cap_style::square), round = caps(cap_style::round);
  stroke_style miter = joins(line_join::miter), bevel = joins(line_join::bevel), round_join = joins(line_join::round);
  path_geometry chevron = polyline({{20, 80}, {50, 20}, {80, 80}}, figure_begin::hollow, figure_end::open);
  run_cases({
      {"line", [&](device_context& dc) { dc.draw_line({10, 50}, {90, 50}, *pen, 4); },
       {{50, 49, black}, {50, 50, black}, {50, 45, white}, {5, 50, white}}},
      {"rectangle", [&](device_context& dc) { dc.draw_rectangle({20, 20, 80, 80}, *pen, 2); },
       {{20, 50, black}, {79, 50, black}, {50, 50, white}, {10, 50, white}}},
      {"filled rectangle", [&](device_context& dc) { dc.fill_rectangle({20, 20, 80, 80}, *fill); },
       {{20, 20, red}, {79, 79, red}, {80, 50, white}, {19, 50, white}}},
      {"rounded rectangle", [&](device_context& dc) { dc.fill_rounded_rectangle({10, 10, 90, 90}, 20, 20, *fill); },
       {{12, 12, white}, {87, 87, white}, {50, 50, red}, {11, 50, red}, {50, 11, red}}},
      {"ellipse", [&](device_context& dc) { dc.fill_ellipse({50, 50}, 40, 20, *fill); },
       {{50, 50, red}, {85, 50, red}, {50, 25, white}, {50, 69, red}, {50, 72, white}}},
      {"ellipse outline", [&](device_context& dc) { dc.draw_ellipse({50, 50}, 40, 40, *pen, 4); },
       {{50, 10, black}, {90, 50, black}, {50, 50, white}}},
      {"flat cap", [&](device_context& dc) { dc.draw_line({20, 50}, {80, 50}, *pen, 10, &flat); },
       {{21, 50, black}, {17, 50, white}, {82, 50, white}}},
      {"square cap", [&](device_context& dc) { dc.draw_line({20, 50}, {80, 50}, *pen, 10, &square); },
       {{17, 50, black}, {16, 46, black}, {82, 50, black}, {86, 50, white}}},
      {"round cap", [&](device_context& dc) { dc.draw_line({20, 50}, {80, 50}, *pen, 10, &round); },
       {{16, 50, black}, {15, 45, white}, {83, 50, black}}},
      {"miter join", [&](device_context& dc) { dc.draw_geometry(chevron, *pen, 10, &miter); },
       {{50, 16, black}, {50, 11, black}, {50, 7, white}}},
      {"bevel join", [&](device_context& dc) { dc.draw_geometry(chevron, *pen, 10, &bevel); },
       {{50, 19, black}, {50, 16, white}}},
      {"round join", [&](device_context& dc) { dc.draw_geometry(chevron, *pen, 10, &round_join); },
       {{50, 16, black}, {50, 13, white}}},
  });
}

TEST(gfx_draw, dashes_are_scaled_by_the_line_width) {
  EXPECT_EQ(scaled_dashes({5, 2}, 2), (std::vector<double>{10, 4}));
  EXPECT_EQ(scaled_dashes({5, 2}, 0), (std::vector<double>{5, 2}));  // hairlines keep the pattern
  EXPECT_TRUE(scaled_dashes({0, 0}, 3).empty());                      // nothing to draw: solid
  auto pen = brush::solid(black);
  stroke_style dashed;
  dashed.dashes = {5, 2};
  // 10 px on, 4 off: on 0-10, 14-24, 28-38; off 10-14, 24-28.
  run_cases({{"dashes 5 2", [&](device_context& dc) { dc.draw_line({0, 50}, {100, 50}, *pen, 2, &dashed); },
              {{1, 50, black}, {9, 50, black}, {11, 50, white}, {13, 50, white}, {15, 50, black},
               {23, 50, black}, {25, 50, white}, {29, 50, black}}}});
}

TEST(gfx_draw, clips_and_layers_keep_drawing_inside) {
  auto fill = brush::solid(red);
  path_geometry triangle = polyline({{0, 0}, {100, 0}, {0, 100}}, figure_begin::filled, figure_end::closed);
  auto fill_in_triangle_layer = [&](device_context& dc, const rect& r) {
    layer_parameters p;
    p.mask = &triangle;
    dc.push_layer(p);
    dc.fill_rectangle(r, *fill);
    dc.pop_layer();
  };
  run_cases({
      {"axis-aligned clip",
       [&](device_context& dc) {
         dc.push_axis_aligned_clip({0, 0, 50, 50}, antialias_mode::aliased);
         dc.set_transform(matrix::translation(5, 5));  // popping the clip keeps it
         dc.fill_rectangle({-5, -5, 95, 95}, *fill);
         dc.pop_axis_aligned_clip();
         EXPECT_EQ(dc.get_transform().dx, 5);
       },
       {{25, 25, red}, {49, 49, red}, {51, 25, white}, {25, 75, white}}},
      {"layer masked by a triangle", [&](device_context& dc) { fill_in_triangle_layer(dc, {0, 0, 100, 100}); },
       {{20, 20, red}, {5, 90, red}, {80, 80, white}, {60, 60, white}}},
      {"layer under a transform: mask and content in its frame, once",
       [&](device_context& dc) {
         dc.set_transform(matrix::translation(10, 10));
         fill_in_triangle_layer(dc, {0, 0, 40, 40});
       },
       {{12, 12, red}, {45, 45, red}, {5, 5, white}, {55, 30, white}}},
      {"nested clip and layer left open",
       [&](device_context& dc) {
         dc.push_axis_aligned_clip({0, 0, 60, 100}, antialias_mode::aliased);
         layer_parameters p;
         p.content_bounds = {0, 0, 100, 30};
         dc.push_layer(p);
         dc.fill_rectangle({0, 0, 100, 100}, *fill);  // end_draw pops both
       },
       {{10, 10, red}, {70, 10, white}, {10, 40, white}}},
  });
}

TEST(gfx_draw, gradients_extend_and_focus) {
  std::vector<gradient_stop> stops{{0, red}, {1, blue}};
  auto gradient = [&](extend_mode e) { return brush::linear(stops, e, {0, 0}, {50, 0}); };
  auto pad = gradient(extend_mode::clamp), wrap = gradient(extend_mode::wrap), mirror = gradient(extend_mode::mirror);
  // A white centre moved left: the focus is white, the centre already grey.
  auto focal = brush::radial({{0, white}, {1, black}}, extend_mode::clamp, {50, 50}, {-20, 0}, 40, 40);
  auto centred = brush::radial({{0, white}, {1, black}}, extend_mode::clamp, {50, 50}, {0, 0}, 40, 20);
  run_cases({
      {"linear pad", [&](device_context& dc) { dc.fill_rectangle({0, 0, 100, 100}, *pad); },
       {{0, 50, red}, {25, 50, {0.5f, 0, 0.5f, 1}}, {90, 50, blue}}},
      {"linear repeat", [&](device_context& dc) { dc.fill_rectangle({0, 0, 100, 100}, *wrap); },
       {{90, 50, {0.19f, 0, 0.81f, 1}}, {50, 50, red}}},
      {"linear reflect", [&](device_context& dc) { dc.fill_rectangle({0, 0, 100, 100}, *mirror); },
       {{90, 50, {0.81f, 0, 0.19f, 1}}, {50, 50, blue}}},
      {"radial with a focal offset", [&](device_context& dc) { dc.fill_rectangle({0, 0, 100, 100}, *focal); },
       {{30, 50, white}, {50, 50, {0.66f, 0.66f, 0.66f, 1}}, {95, 50, black}}},
      {"elliptical radial", [&](device_context& dc) { dc.fill_rectangle({0, 0, 100, 100}, *centred); },
       {{50, 50, white}, {50, 70, black}, {89, 50, {0.02f, 0.02f, 0.02f, 1}}, {70, 50, {0.5f, 0.5f, 0.5f, 1}}}},
  });
  // A brush's transform moves its gradient.
  pad->set_transform(matrix::translation(50, 0));
  run_cases({{"moved gradient", [&](device_context& dc) { dc.fill_rectangle({0, 0, 100, 100}, *pad); },
              {{40, 50, red}, {75, 50, {0.5f, 0, 0.5f, 1}}}}});
}

TEST(gfx_draw, image_brush_extends_per_axis) {
  cairo_surface_t* img = quadrants(2, red, blue, green, white);
  auto flip_x = brush::image(img, {}, extend_mode::mirror, extend_mode::wrap, interpolation::nearest);
  auto flip_y = brush::image(img, {}, extend_mode::wrap, extend_mode::mirror, interpolation::nearest);
  auto tile = brush::image(img, {}, extend_mode::wrap, extend_mode::wrap, interpolation::nearest);
  cairo_surface_destroy(img);
  run_cases({
      {"mirrored on x only", [&](device_context& dc) { dc.fill_rectangle({0, 0, 8, 8}, *flip_x); },
       {{0, 0, red}, {1, 0, blue}, {2, 0, blue}, {3, 0, red}, {4, 0, red}, {0, 2, red}, {0, 3, green}, {3, 3, green}}},
      {"mirrored on y only", [&](device_context& dc) { dc.fill_rectangle({0, 0, 8, 8}, *flip_y); },
       {{2, 0, red}, {3, 0, blue}, {0, 2, green}, {0, 3, red}}},
      {"tiled", [&](device_context& dc) { dc.fill_rectangle({0, 0, 8, 8}, *tile); },
       {{2, 0, red}, {3, 0, blue}, {0, 2, red}, {0, 3, green}}},
  }, 8, 8);
}

TEST(gfx_draw, a_command_list_repeats_as_a_pattern) {
  cairo_surface_t* list = make_command_list();
  {
    device_context dc(list);
    dc.fill_rectangle({0, 0, 5, 5}, *brush::solid(black));
    dc.end_draw();
  }
  auto pattern = brush::image(list, {0, 0, 10, 10}, extend_mode::wrap, extend_mode::wrap);
  run_cases({{"pattern", [&](device_context& dc) { dc.fill_rectangle({0, 0, 100, 100}, *pattern); },
              {{2, 2, black}, {7, 7, white}, {22, 32, black}, {27, 32, white}, {92, 92, black}}},
             {"replayed", [&](device_context& dc) { dc.draw_image(list, {50, 50}); },
              {{52, 52, black}, {57, 57, white}, {2, 2, white}}}});
  cairo_surface_destroy(list);
}

TEST(gfx_draw, shadows_blur_and_spread) {
  cairo_surface_t* box = make_bitmap(20, 20);
  device_context(box).fill_rectangle({0, 0, 20, 20}, *brush::solid(black));
  int margin = 0;
  cairo_surface_t* s = shadow(box, 4, blue, &margin);
  EXPECT_EQ(margin, 12);
  ASSERT_EQ(cairo_image_surface_get_width(s), 44);
  EXPECT_EQ(check(s, {22, 22, blue}, 12), "");                  // inside: nearly full
  EXPECT_NEAR(pixel(s, margin, 22).a, 128, 14);                 // the edge: half
  EXPECT_NEAR(pixel(s, margin - 8, 22).a, 6, 6);                // two sigmas out: faint
  EXPECT_EQ(pixel(s, margin, 22).r, 0);                         // coloured, not black
  EXPECT_NEAR(pixel(s, margin, 22).b, pixel(s, margin, 22).a, 1);  // premultiplied blue
  cairo_surface_t* grown = scale_bitmap(box, 30.0f / 20, 30.0f / 20);  // a spread of 5
  EXPECT_EQ(cairo_image_surface_get_width(grown), 30);
  EXPECT_EQ(check(grown, {1, 28, black}), "");
  // Drawn as the backend draws a shadow: offset, then the shape on top.
  run_cases({{"shadow under a box",
              [&](device_context& dc) {
                dc.draw_image(s, {40 + 5 - float(margin), 40 + 5 - float(margin)});
                dc.draw_image(box, {40, 40});
              },
              {{50, 50, black}, {64, 50, {0.45f, 0.45f, 1, 1}}, {65, 65, {0.75f, 0.75f, 1, 1}}, {90, 90, white}}}});
  cairo_surface_destroy(grown);
  cairo_surface_destroy(s);
  cairo_surface_destroy(box);
}

TEST(gfx_draw, a_perspective_bitmap_fills_its_quadrilateral) {
  // Quadrants red, blue / green, black, mapped onto a trapezoid.
  cairo_surface_t* img = quadrants(100, red, blue, green, black);
  matrix4 m = quad_matrix({100, 100}, {0, 0}, {200, 0}, {150, 100}, {50, 100});
  run_cases({{"trapezoid",
              [&](device_context& dc) { dc.draw_bitmap(img, {0, 0, 100, 100}, 1, interpolation::linear, {}, &m); },
              {{10, 3, red}, {190, 3, blue}, {70, 96, green}, {130, 96, black}, {10, 96, white}, {190, 96, white}}}},
           200, 100);
  // A plain quadrilateral map is the identity on its own rectangle.
  matrix4 id = quad_matrix({100, 100}, {0, 0}, {100, 0}, {100, 100}, {0, 100});
  EXPECT_NEAR(id.m[0][0], 1, 1e-6);
  EXPECT_NEAR(id.m[1][1], 1, 1e-6);
  EXPECT_NEAR(id.m[0][3], 0, 1e-6);
  cairo_surface_destroy(img);
}

TEST(gfx_draw, endpoint_arcs_take_the_centre_they_must) {
  arc_segment clockwise{{100, 0}, {50, 50}, 0, sweep_direction::clockwise, arc_size::small};
  centre_arc a = arc_to_centre({0, 0}, clockwise);
  ASSERT_TRUE(a.ok);
  EXPECT_NEAR(a.centre.x, 50, 1e-4);
  EXPECT_NEAR(a.centre.y, 0, 1e-4);
  double mid = (a.start + a.end) / 2;  // clockwise from (0,0) passes (50,-50)
  EXPECT_NEAR(a.centre.x + a.radius_x * std::cos(mid), 50, 1e-3);
  EXPECT_NEAR(a.centre.y + a.radius_y * std::sin(mid), -50, 1e-3);
  path_geometry g;
  g.begin_figure({0, 0}, figure_begin::hollow);
  g.add_arc(clockwise);
  g.end_figure(figure_end::open);
  rect b = g.bounds();
  EXPECT_NEAR(b.top, -50, 0.1);
  EXPECT_NEAR(b.bottom, 0, 0.1);
  // Counter-clockwise goes below; radii too small grow to reach the end.
  path_geometry ccw;
  ccw.begin_figure({0, 0}, figure_begin::hollow);
  ccw.add_arc({{100, 0}, {10, 10}, 0, sweep_direction::counter_clockwise, arc_size::small});
  ccw.end_figure(figure_end::open);
  EXPECT_NEAR(ccw.bounds().bottom, 50, 0.1);
  // A large arc of radius 50 between points 60 apart is the long way round.
  centre_arc large = arc_to_centre({0, 0}, {{60, 0}, {50, 50}, 0, sweep_direction::clockwise, arc_size::large});
  EXPECT_GT(std::fabs(large.end - large.start), 3.14159);
  EXPECT_FALSE(arc_to_centre({0, 0}, {{10, 0}, {0, 5}}).ok);  // a zero radius is a line
  auto pen = brush::solid(black);
  run_cases({{"arc drawn", [&](device_context& dc) {
                dc.set_transform(matrix::translation(0, 60));
                dc.draw_geometry(g, *pen, 3);
              },
              {{50, 10, black}, {50, 60, white}, {0, 59, black}}}});
}

TEST(gfx_draw, figures_fill_by_their_rules) {
  path_geometry hollow = polyline({{10, 10}, {90, 10}, {50, 90}}, figure_begin::hollow, figure_end::closed);
  path_geometry filled = polyline({{10, 10}, {90, 10}, {50, 90}}, figure_begin::filled, figure_end::closed);
  path_geometry even_odd = star(fill_mode::alternate), winding = star(fill_mode::winding);
  auto pen = brush::solid(black), fill = brush::solid(red);
  EXPECT_FALSE(even_odd.fill_contains({50, 52}));
  EXPECT_TRUE(winding.fill_contains({50, 52}));
  EXPECT_FALSE(hollow.fill_contains({50, 30}));
  run_cases({
      {"hollow figure", [&](device_context& dc) { dc.fill_geometry(hollow, *fill); dc.draw_geometry(hollow, *pen, 2); },
       {{50, 30, white}, {50, 10, black}}},
      {"filled figure", [&](device_context& dc) { dc.fill_geometry(filled, *fill); dc.draw_geometry(filled, *pen, 2); },
       {{50, 30, red}, {50, 10, black}}},
      {"even-odd star", [&](device_context& dc) { dc.fill_geometry(even_odd, *fill); },
       {{50, 52, white}, {50, 10, red}}},
      {"winding star", [&](device_context& dc) { dc.fill_geometry(winding, *fill); },
       {{50, 52, red}, {50, 10, red}}},
  });
  // An open filled figure fills as if closed; its stroke stays open.
  path_geometry open = polyline({{10, 10}, {90, 10}, {90, 90}}, figure_begin::filled, figure_end::open);
  run_cases({{"open figure", [&](device_context& dc) { dc.fill_geometry(open, *fill); dc.draw_geometry(open, *pen, 2); },
              {{80, 30, red}, {55, 50, red}, {45, 50, white}, {89, 50, black}}}});
  // Widened bounds hold the stroke; plain bounds do not.
  rect wide = filled.widened_bounds(10, nullptr);
  rect plain = filled.bounds();
  EXPECT_LT(wide.left, plain.left - 4);
  EXPECT_GT(wide.bottom, plain.bottom + 4);
}

TEST(gfx_draw, transforms_state_and_dpi) {
  matrix t = matrix::translation(10, 20) * matrix::rotation(90);  // translate, then rotate
  point p = (matrix::rotation(90) * matrix::translation(10, 20)).apply({1, 0});
  EXPECT_NEAR(p.x, 10, 1e-5);
  EXPECT_NEAR(p.y, 21, 1e-5);
  p = t.apply({1, 0});
  EXPECT_NEAR(p.x, -20, 1e-5);
  EXPECT_NEAR(p.y, 11, 1e-5);
  matrix s = matrix::scale(2, 2, {50, 50});
  EXPECT_NEAR(s.apply({40, 40}).x, 30, 1e-5);
  matrix singular{0, 0, 0, 0, 1, 2};
  EXPECT_FALSE(singular.invert());
  EXPECT_EQ(singular.dx, 1);
  matrix inv = t;
  ASSERT_TRUE(inv.invert());
  p = inv.apply(t.apply({3, 4}));
  EXPECT_NEAR(p.x, 3, 1e-4);
  EXPECT_NEAR(p.y, 4, 1e-4);
  EXPECT_NEAR(to_color(0x00FF0000).b, 1, 1e-6);
  EXPECT_NEAR(to_color(0xFF000000).a, 0, 1e-6);

  auto fill = brush::solid(red);
  run_cases({{"saved state",
              [&](device_context& dc) {
                drawing_state saved = dc.save_drawing_state();
                dc.set_transform(matrix::scale(2, 2, {50, 50}));
                dc.set_antialias_mode(antialias_mode::aliased);
                dc.fill_rectangle({40, 40, 60, 60}, *fill);  // 30-70
                dc.restore_drawing_state(saved);
                EXPECT_EQ(dc.get_antialias_mode(), antialias_mode::per_primitive);
                dc.fill_rectangle({0, 0, 10, 10}, *fill);
              },
              {{31, 31, red}, {69, 69, red}, {72, 50, white}, {5, 5, red}, {15, 15, white}}}});
  // At 192 DPI a DIP is two pixels.
  cairo_surface_t* big = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 100, 100);
  {
    device_context dc(big, 192);
    dc.fill_rectangle({0, 0, 25, 25}, *fill);
  }
  EXPECT_EQ(check(big, {49, 49, red}), "");
  EXPECT_EQ(check(big, {51, 51, {0, 0, 0, 0}}), "");
  // An offscreen bitmap made at 192 DPI draws at its size in DIPs.
  cairo_surface_t* hi = make_bitmap(20, 20, 192);
  device_context(hi, 192).fill_rectangle({0, 0, 10, 10}, *fill);
  EXPECT_EQ(check(hi, {19, 19, red}), "");
  cairo_surface_t* out = make_bitmap(40, 40);
  device_context(out).draw_image(hi, {0, 0});
  EXPECT_EQ(check(out, {9, 9, red}), "");
  EXPECT_EQ(check(out, {11, 11, {0, 0, 0, 0}}), "");
  cairo_surface_destroy(out);
  cairo_surface_destroy(hi);
  cairo_surface_destroy(big);
}

class gfx_image_target : public testing::heap_test {
 protected:
  void SetUp() override {
    heap_test::SetUp();
    collector::set_marker(TYPE_IMAGE, image::mark);
  }
};

TEST_F(gfx_image_target, drawing_into_an_image_shows_straight_pixels) {
  cell img{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&img);
  uint32_t white_pixel = 0xFFFFFFFF;
  image::make_at(&img, image_os::create_bitmap(10, 10, nullptr, 0, nullptr, 0, &white_pixel));
  cairo_surface_t* target = image_target(img.w2);
  {
    device_context dc(target);
    dc.fill_rectangle({0, 0, 5, 10}, *brush::solid({1, 0, 0, 0.5f}));
    dc.end_draw();
  }
  cairo_surface_destroy(target);
  image_os::end_drawing(img.w2);
  uint32_t p = image_os::get_pixel(img.w2, 2);
  EXPECT_EQ(p >> 24, 255u);
  EXPECT_NEAR(int(p >> 16 & 255), 255, 1);
  EXPECT_NEAR(int(p >> 8 & 255), 128, 2);
  EXPECT_EQ(image_os::get_pixel(img.w2, 7), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace kez
