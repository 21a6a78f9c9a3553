#include "platform/gfx/draw.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <utility>

#include "runtime/image_os.h"

namespace kez::gfx {

namespace {

constexpr double pi = std::numbers::pi;

cairo_matrix_t to_cairo(const matrix& m) {
  // cairo's x' = xx x + xy y + x0 is the row-vector form with xx = m11,
  // yx = m12, xy = m21, yy = m22.
  cairo_matrix_t c;
  cairo_matrix_init(&c, m.m11, m.m12, m.m21, m.m22, m.dx, m.dy);
  return c;
}

cairo_extend_t to_cairo(extend_mode e) {
  switch (e) {
    case extend_mode::wrap: return CAIRO_EXTEND_REPEAT;
    case extend_mode::mirror: return CAIRO_EXTEND_REFLECT;
    default: return CAIRO_EXTEND_PAD;
  }
}

cairo_filter_t to_cairo(interpolation f) {
  switch (f) {
    case interpolation::nearest: return CAIRO_FILTER_NEAREST;
    case interpolation::linear: return CAIRO_FILTER_BILINEAR;
    default: return CAIRO_FILTER_BEST;
  }
}

void add_stops(cairo_pattern_t* p, const std::vector<gradient_stop>& stops, float opacity) {
  for (const gradient_stop& s : stops)
    cairo_pattern_add_color_stop_rgba(p, std::clamp(s.position, 0.0f, 1.0f), s.c.r, s.c.g, s.c.b, s.c.a * opacity);
}

// The surface's size in its own user units (DIPs for our bitmaps); zero for
// an unbounded recording surface.
rect surface_rect(cairo_surface_t* s) {
  double sx = 1, sy = 1;
  cairo_surface_get_device_scale(s, &sx, &sy);
  if (cairo_surface_get_type(s) == CAIRO_SURFACE_TYPE_IMAGE)
    return {0, 0, float(cairo_image_surface_get_width(s) / sx), float(cairo_image_surface_get_height(s) / sy)};
  if (cairo_surface_get_type(s) == CAIRO_SURFACE_TYPE_RECORDING) {
    cairo_rectangle_t e;
    if (cairo_recording_surface_get_extents(s, &e)) return {float(e.x), float(e.y), float(e.x + e.width), float(e.y + e.height)};
  }
  return {};
}

}  // namespace

color to_color(uint32_t c) {
  return {float(c & 255) / 255.0f, float(c >> 8 & 255) / 255.0f, float(c >> 16 & 255) / 255.0f,
          float(255 - (c >> 24)) / 255.0f};
}

// ---- matrices ----

matrix operator*(const matrix& x, const matrix& y) {
  return {x.m11 * y.m11 + x.m12 * y.m21,        x.m11 * y.m12 + x.m12 * y.m22,
          x.m21 * y.m11 + x.m22 * y.m21,        x.m21 * y.m12 + x.m22 * y.m22,
          x.dx * y.m11 + x.dy * y.m21 + y.dx,   x.dx * y.m12 + x.dy * y.m22 + y.dy};
}

matrix matrix::scale(float sx, float sy, point c) { return {sx, 0, 0, sy, c.x - sx * c.x, c.y - sy * c.y}; }

matrix matrix::rotation(float degrees, point c) {
  double a = degrees * pi / 180;
  float s = float(std::sin(a)), k = float(std::cos(a));
  return translation(-c.x, -c.y) * matrix{k, s, -s, k, 0, 0} * translation(c.x, c.y);
}

matrix matrix::skew(float ax, float ay, point c) {
  float tx = float(std::tan(ax * pi / 180)), ty = float(std::tan(ay * pi / 180));
  return translation(-c.x, -c.y) * matrix{1, ty, tx, 1, 0, 0} * translation(c.x, c.y);
}

bool matrix::invert() {
  double det = double(m11) * m22 - double(m12) * m21;
  if (det == 0 || !std::isfinite(det)) return false;
  matrix r{float(m22 / det), float(-m12 / det), float(-m21 / det), float(m11 / det), 0, 0};
  r.dx = -(dx * r.m11 + dy * r.m21);
  r.dy = -(dx * r.m12 + dy * r.m22);
  *this = r;
  return true;
}

matrix4 operator*(const matrix4& a, const matrix4& b) {
  matrix4 r;
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j) {
      float s = 0;
      for (int k = 0; k < 4; ++k) s += a.m[i][k] * b.m[k][j];
      r.m[i][j] = s;
    }
  return r;
}

matrix4 quad_matrix(size src, point p0, point p1, point p2, point p3) {
  // The unit square to the quadrilateral (p0 upper-left, p1 upper-right,
  // p2 lower-right, p3 lower-left), preceded by the source's scaling.
  double sx = double(p0.x) - p1.x + p2.x - p3.x, sy = double(p0.y) - p1.y + p2.y - p3.y;
  double a, b, c, d, e, f, g, h;
  if (std::fabs(sx) < 1e-9 && std::fabs(sy) < 1e-9) {
    a = p1.x - p0.x; b = p2.x - p1.x; c = p0.x;
    d = p1.y - p0.y; e = p2.y - p1.y; f = p0.y;
    g = h = 0;
  } else {
    double dx1 = double(p1.x) - p2.x, dx2 = double(p3.x) - p2.x, dy1 = double(p1.y) - p2.y, dy2 = double(p3.y) - p2.y;
    double den = dx1 * dy2 - dx2 * dy1;
    g = (sx * dy2 - dx2 * sy) / den;
    h = (dx1 * sy - sx * dy1) / den;
    a = p1.x - p0.x + g * p1.x; b = p3.x - p0.x + h * p3.x; c = p0.x;
    d = p1.y - p0.y + g * p1.y; e = p3.y - p0.y + h * p3.y; f = p0.y;
  }
  // Row vectors: (u, v, 0, 1) -> (a u + b v + c, d u + e v + f, 0, g u + h v + 1).
  float w = src.width > 0 ? src.width : 1, ht = src.height > 0 ? src.height : 1;
  matrix4 m;
  m.m[0][0] = float(a / w); m.m[0][1] = float(d / w); m.m[0][2] = 0; m.m[0][3] = float(g / w);
  m.m[1][0] = float(b / ht); m.m[1][1] = float(e / ht); m.m[1][2] = 0; m.m[1][3] = float(h / ht);
  m.m[3][0] = float(c); m.m[3][1] = float(f); m.m[3][2] = 0; m.m[3][3] = 1;
  return m;
}

// ---- brushes ----

std::shared_ptr<brush> brush::solid(color c) {
  std::shared_ptr<brush> b(new brush);
  b->colour_ = c;
  return b;
}

std::shared_ptr<brush> brush::linear(std::vector<gradient_stop> stops, extend_mode extend, point start, point end) {
  std::shared_ptr<brush> b(new brush);
  b->kind_ = kind::linear;
  b->stops_ = std::move(stops);
  b->extend_x_ = b->extend_y_ = extend;
  b->a_ = start;
  b->b_ = end;
  return b;
}

std::shared_ptr<brush> brush::radial(std::vector<gradient_stop> stops, extend_mode extend, point centre, point offset,
                                     float rx, float ry) {
  std::shared_ptr<brush> b(new brush);
  b->kind_ = kind::radial;
  b->stops_ = std::move(stops);
  b->extend_x_ = b->extend_y_ = extend;
  b->a_ = centre;
  b->b_ = offset;
  b->rx_ = rx;
  b->ry_ = ry;
  return b;
}

std::shared_ptr<brush> brush::image(cairo_surface_t* source, rect r, extend_mode x, extend_mode y,
                                    interpolation filter) {
  std::shared_ptr<brush> b(new brush);
  b->kind_ = kind::image;
  b->extend_x_ = x;
  b->extend_y_ = y;
  b->filter_ = filter;
  if (r.width() <= 0 || r.height() <= 0) r = surface_rect(source);
  b->tile_rect_ = r;
  int w = std::max(1, int(std::ceil(r.width()))), h = std::max(1, int(std::ceil(r.height())));
  // The tile is the source rectangle alone, so that wrapping repeats it.
  cairo_surface_t* tile = cairo_surface_create_similar(source, CAIRO_CONTENT_COLOR_ALPHA, w, h);
  cairo_t* cr = cairo_create(tile);
  cairo_set_source_surface(cr, source, -r.left, -r.top);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_paint(cr);
  cairo_destroy(cr);
  if (x != y && x != extend_mode::clamp && y != extend_mode::clamp) {
    b->tile_ = per_axis_tile(tile, x, y);
    cairo_surface_destroy(tile);
  } else {
    b->tile_ = tile;
  }
  return b;
}

brush::~brush() {
  if (pattern_) cairo_pattern_destroy(pattern_);
  if (tile_) cairo_surface_destroy(tile_);
}

void brush::invalidate() {
  if (pattern_) cairo_pattern_destroy(pattern_);
  pattern_ = nullptr;
}

void brush::set_color(color c) { colour_ = c; invalidate(); }
void brush::set_opacity(float o) { opacity_ = o; invalidate(); }
void brush::set_transform(const matrix& m) { transform_ = m; invalidate(); }
void brush::set_start_point(point p) { a_ = p; invalidate(); }
void brush::set_end_point(point p) { b_ = p; invalidate(); }
void brush::set_centre(point p) { a_ = p; invalidate(); }
void brush::set_origin_offset(point p) { b_ = p; invalidate(); }
void brush::set_radius_x(float r) { rx_ = r; invalidate(); }
void brush::set_radius_y(float r) { ry_ = r; invalidate(); }

cairo_pattern_t* brush::pattern() {
  if (pattern_) return pattern_;
  matrix geometry;  // pattern space to brush space
  switch (kind_) {
    case kind::solid:
      pattern_ = cairo_pattern_create_rgba(colour_.r, colour_.g, colour_.b, colour_.a * opacity_);
      return pattern_;
    case kind::linear:
      pattern_ = cairo_pattern_create_linear(a_.x, a_.y, b_.x, b_.y);
      add_stops(pattern_, stops_, opacity_);
      cairo_pattern_set_extend(pattern_, to_cairo(extend_x_));
      break;
    case kind::radial: {
      // A unit circle stretched to the radii: cairo's circles cannot be
      // elliptical. A focus outside the ellipse is kept just inside it.
      float rx = std::max(rx_, 1e-6f), ry = std::max(ry_, 1e-6f);
      double fx = b_.x / rx, fy = b_.y / ry, d = std::hypot(fx, fy);
      if (d > 0.999) fx *= 0.999 / d, fy *= 0.999 / d;
      pattern_ = cairo_pattern_create_radial(fx, fy, 0, 0, 0, 1);
      add_stops(pattern_, stops_, opacity_);
      cairo_pattern_set_extend(pattern_, to_cairo(extend_x_));
      geometry = matrix::scale(rx, ry) * matrix::translation(a_.x, a_.y);
      break;
    }
    case kind::image: {
      pattern_ = cairo_pattern_create_for_surface(tile_);
      cairo_pattern_set_extend(pattern_, extend_x_ == extend_y_ ? to_cairo(extend_x_)
                                         : (extend_x_ == extend_mode::clamp || extend_y_ == extend_mode::clamp)
                                             ? CAIRO_EXTEND_PAD
                                             : CAIRO_EXTEND_REPEAT);
      cairo_pattern_set_filter(pattern_, to_cairo(filter_));
      geometry = matrix::translation(tile_rect_.left, tile_rect_.top);
      break;
    }
  }
  matrix user_to_pattern = geometry * transform_;
  if (!user_to_pattern.invert()) user_to_pattern = matrix{0, 0, 0, 0, 0, 0};
  cairo_matrix_t m = to_cairo(user_to_pattern);
  cairo_pattern_set_matrix(pattern_, &m);
  return pattern_;
}

// ---- strokes ----

std::vector<double> scaled_dashes(const std::vector<float>& dashes, float width) {
  double w = width > 0 ? width : 1;
  std::vector<double> out;
  out.reserve(dashes.size());
  bool any = false;
  for (float d : dashes) {
    out.push_back(std::max(0.0, double(d) * w));
    any = any || out.back() > 0;
  }
  if (!any) out.clear();  // all zero: cairo refuses it; draw solid
  return out;
}

namespace {

void set_stroke(cairo_t* cr, float width, const stroke_style* s) {
  cairo_set_line_width(cr, width);
  stroke_style plain;
  if (!s) s = &plain;
  switch (s->start_cap) {
    case cap_style::square: cairo_set_line_cap(cr, CAIRO_LINE_CAP_SQUARE); break;
    case cap_style::round: cairo_set_line_cap(cr, CAIRO_LINE_CAP_ROUND); break;
    default: cairo_set_line_cap(cr, CAIRO_LINE_CAP_BUTT);
  }
  switch (s->join) {
    case line_join::bevel: cairo_set_line_join(cr, CAIRO_LINE_JOIN_BEVEL); break;
    case line_join::round: cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND); break;
    default: cairo_set_line_join(cr, CAIRO_LINE_JOIN_MITER);
  }
  // The style's limit is to half the width, cairo's to the whole width.
  cairo_set_miter_limit(cr, std::max(1.0, double(s->miter_limit) / 2));
  std::vector<double> d = scaled_dashes(s->dashes, width);
  cairo_set_dash(cr, d.data(), int(d.size()), s->dash_offset * (width > 0 ? width : 1));
}

}  // namespace

// ---- geometry ----

centre_arc arc_to_centre(point from, const arc_segment& arc) {
  centre_arc r;
  double rx = std::fabs(arc.radii.width), ry = std::fabs(arc.radii.height);
  double x1 = from.x, y1 = from.y, x2 = arc.end.x, y2 = arc.end.y;
  if (rx == 0 || ry == 0 || (x1 == x2 && y1 == y2)) return r;
  double phi = arc.rotation * pi / 180, c = std::cos(phi), s = std::sin(phi);
  double hx = (x1 - x2) / 2, hy = (y1 - y2) / 2;
  double xp = c * hx + s * hy, yp = -s * hx + c * hy;
  double lambda = xp * xp / (rx * rx) + yp * yp / (ry * ry);
  if (lambda > 1) {
    double k = std::sqrt(lambda);
    rx *= k;
    ry *= k;
  }
  double num = rx * rx * ry * ry - rx * rx * yp * yp - ry * ry * xp * xp;
  double den = rx * rx * yp * yp + ry * ry * xp * xp;
  double coef = std::sqrt(std::max(0.0, num / den));
  bool large = arc.arc == arc_size::large, clockwise = arc.sweep == sweep_direction::clockwise;
  if (large == clockwise) coef = -coef;
  double cxp = coef * rx * yp / ry, cyp = -coef * ry * xp / rx;
  r.centre = {float(c * cxp - s * cyp + (x1 + x2) / 2), float(s * cxp + c * cyp + (y1 + y2) / 2)};
  double ux = (xp - cxp) / rx, uy = (yp - cyp) / ry, vx = (-xp - cxp) / rx, vy = (-yp - cyp) / ry;
  double start = std::atan2(uy, ux);
  double delta = std::atan2(ux * vy - uy * vx, ux * vx + uy * vy);
  if (clockwise && delta < 0) delta += 2 * pi;
  if (!clockwise && delta > 0) delta -= 2 * pi;
  r.ok = true;
  r.radius_x = float(rx);
  r.radius_y = float(ry);
  r.rotation = arc.rotation;
  r.start = start;
  r.end = start + delta;
  return r;
}

path_geometry::figure* path_geometry::current() { return open_ && !figures_.empty() ? &figures_.back() : nullptr; }

point path_geometry::current_point() const {
  const figure& f = figures_.back();
  return f.segments.empty() ? f.start : f.segments.back().end;
}

void path_geometry::begin_figure(point start, figure_begin begin) {
  figures_.push_back(figure{start, begin == figure_begin::filled, false, {}});
  open_ = true;
}

void path_geometry::add_line(point p) {
  if (figure* f = current()) f->segments.push_back({segment::line, {}, {}, p});
}

void path_geometry::add_bezier(point c1, point c2, point end) {
  if (figure* f = current()) f->segments.push_back({segment::cubic, c1, c2, end});
}

void path_geometry::add_quadratic_bezier(point c, point end) {
  if (!current()) return;
  point p0 = current_point();
  add_bezier({p0.x + 2.0f / 3 * (c.x - p0.x), p0.y + 2.0f / 3 * (c.y - p0.y)},
             {end.x + 2.0f / 3 * (c.x - end.x), end.y + 2.0f / 3 * (c.y - end.y)}, end);
}

void path_geometry::add_arc(const arc_segment& arc) {
  if (!current()) return;
  centre_arc a = arc_to_centre(current_point(), arc);
  if (!a.ok) return add_line(arc.end);
  // Cubic pieces of at most a quarter turn each.
  double total = a.end - a.start;
  int n = std::max(1, int(std::ceil(std::fabs(total) / (pi / 2) - 1e-9)));
  double step = total / n, k = 4.0 / 3 * std::tan(step / 4);
  double phi = a.rotation * pi / 180, c = std::cos(phi), s = std::sin(phi);
  auto map = [&](double ux, double uy) {
    double x = ux * a.radius_x, y = uy * a.radius_y;
    return point{float(c * x - s * y + a.centre.x), float(s * x + c * y + a.centre.y)};
  };
  for (int i = 0; i < n; ++i) {
    double t0 = a.start + step * i, t1 = t0 + step;
    double c0 = std::cos(t0), s0 = std::sin(t0), c1 = std::cos(t1), s1 = std::sin(t1);
    point end = i == n - 1 ? arc.end : map(c1, s1);
    add_bezier(map(c0 - k * s0, s0 + k * c0), map(c1 + k * s1, s1 - k * c1), end);
  }
}

void path_geometry::end_figure(figure_end end) {
  if (figure* f = current()) f->closed = end == figure_end::closed;
  open_ = false;
}

void path_geometry::append_to(cairo_t* cr, bool for_fill) const {
  for (const figure& f : figures_) {
    // A hollow figure has no interior: it is stroked, never filled.
    if (for_fill && !f.filled) continue;
    cairo_move_to(cr, f.start.x, f.start.y);
    for (const segment& s : f.segments) {
      if (s.type == segment::line)
        cairo_line_to(cr, s.end.x, s.end.y);
      else
        cairo_curve_to(cr, s.c1.x, s.c1.y, s.c2.x, s.c2.y, s.end.x, s.end.y);
    }
    // Filling closes every figure; an open figure's stroke stays open.
    if (f.closed || for_fill) cairo_close_path(cr);
  }
}

namespace {

// A scratch context for measuring paths (no pixels drawn).
template <class F>
auto measure(const matrix& world, F&& f) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_A8, 1, 1);
  cairo_t* cr = cairo_create(s);
  cairo_matrix_t m = to_cairo(world);
  cairo_set_matrix(cr, &m);
  auto r = f(cr);
  cairo_destroy(cr);
  cairo_surface_destroy(s);
  return r;
}

rect device_extents(cairo_t* cr, double x1, double y1, double x2, double y2) {
  // cairo answers extents in user space: turn the box's corners to device.
  double xs[4] = {x1, x2, x2, x1}, ys[4] = {y1, y1, y2, y2};
  rect r{infinite, infinite, -infinite, -infinite};
  for (int i = 0; i < 4; ++i) {
    cairo_user_to_device(cr, &xs[i], &ys[i]);
    r.left = std::min(r.left, float(xs[i]));
    r.top = std::min(r.top, float(ys[i]));
    r.right = std::max(r.right, float(xs[i]));
    r.bottom = std::max(r.bottom, float(ys[i]));
  }
  return r;
}

}  // namespace

rect path_geometry::bounds(const matrix& world) const {
  return measure(world, [&](cairo_t* cr) {
    append_to(cr, false);
    double x1, y1, x2, y2;
    cairo_path_extents(cr, &x1, &y1, &x2, &y2);
    return device_extents(cr, x1, y1, x2, y2);
  });
}

rect path_geometry::widened_bounds(float width, const stroke_style* style, const matrix& world) const {
  return measure(world, [&](cairo_t* cr) {
    append_to(cr, false);
    set_stroke(cr, width, style);
    cairo_set_tolerance(cr, 0.25);
    double x1, y1, x2, y2;
    cairo_stroke_extents(cr, &x1, &y1, &x2, &y2);
    return device_extents(cr, x1, y1, x2, y2);
  });
}

bool path_geometry::fill_contains(point p, const matrix& world) const {
  return measure(world, [&](cairo_t* cr) {
    cairo_set_fill_rule(cr, fill_mode_ == fill_mode::winding ? CAIRO_FILL_RULE_WINDING : CAIRO_FILL_RULE_EVEN_ODD);
    append_to(cr, true);
    return bool(cairo_in_fill(cr, p.x, p.y));
  });
}

// ---- targets ----

cairo_surface_t* make_bitmap(int width, int height, float dpi) {
  cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, std::max(width, 0), std::max(height, 0));
  if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
    cairo_surface_destroy(s);
    return nullptr;
  }
  cairo_surface_set_device_scale(s, dpi / 96, dpi / 96);
  return s;
}

cairo_surface_t* image_target(uint32_t node) { return cairo_surface_reference(image_os::make_drawable(node)); }

cairo_surface_t* make_command_list() { return cairo_recording_surface_create(CAIRO_CONTENT_COLOR_ALPHA, nullptr); }

// ---- device context ----

device_context::device_context(cairo_surface_t* target, float dpi) : dpi_(dpi) { set_target(target); }

device_context::~device_context() {
  if (cr_) cairo_destroy(cr_);
  if (target_) cairo_surface_destroy(target_);
}

void device_context::make_cairo() {
  if (cr_) cairo_destroy(cr_);
  cr_ = cairo_create(target_);
  double sx = 1, sy = 1;
  cairo_surface_get_device_scale(target_, &sx, &sy);
  // A surface that carries a DPI already scales by it.
  base_ = float(dpi_ / 96 / sx);
}

void device_context::set_target(cairo_surface_t* target) {
  stack_.clear();
  cairo_surface_reference(target);
  if (target_) cairo_surface_destroy(target_);
  target_ = target;
  make_cairo();
}

void device_context::set_dpi(float dpi) {
  dpi_ = dpi > 0 ? dpi : 96;
  double sx = 1, sy = 1;
  cairo_surface_get_device_scale(target_, &sx, &sy);
  base_ = float(dpi_ / 96 / sx);
}

void device_context::begin_draw() {}

bool device_context::end_draw() {
  while (!stack_.empty()) stack_.back().layer ? pop_layer() : pop_axis_aligned_clip();
  cairo_surface_flush(target_);
  return cairo_status(cr_) == CAIRO_STATUS_SUCCESS;
}

matrix device_context::world() const { return state_.transform * matrix::scale(base_, base_); }

cairo_t* device_context::prepared() {
  cairo_new_path(cr_);
  cairo_matrix_t m = to_cairo(world());
  cairo_set_matrix(cr_, &m);
  cairo_set_antialias(cr_, state_.antialias == antialias_mode::aliased ? CAIRO_ANTIALIAS_NONE : CAIRO_ANTIALIAS_DEFAULT);
  cairo_set_operator(cr_, CAIRO_OPERATOR_OVER);
  return cr_;
}

void device_context::paint(brush& b) {
  cairo_set_source(cr_, b.pattern());
  cairo_fill(cr_);
}

void device_context::stroke(brush& b, float width, const stroke_style* style) {
  set_stroke(cr_, width, style);
  cairo_set_source(cr_, b.pattern());
  cairo_stroke(cr_);
}

void device_context::clear(color c) {
  cairo_t* cr = prepared();
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_rgba(cr, c.r, c.g, c.b, c.a);
  cairo_paint(cr);
  cairo_restore(cr);
}

void device_context::draw_line(point a, point b, brush& pen, float width, const stroke_style* style) {
  cairo_t* cr = prepared();
  cairo_move_to(cr, a.x, a.y);
  cairo_line_to(cr, b.x, b.y);
  stroke(pen, width, style);
}

void device_context::draw_rectangle(const rect& r, brush& pen, float width, const stroke_style* style) {
  cairo_rectangle(prepared(), r.left, r.top, r.width(), r.height());
  stroke(pen, width, style);
}

void device_context::fill_rectangle(const rect& r, brush& fill) {
  cairo_rectangle(prepared(), r.left, r.top, r.width(), r.height());
  paint(fill);
}

namespace {

void rounded_path(cairo_t* cr, const rect& r, float rx, float ry) {
  rx = std::min(std::fabs(rx), std::fabs(r.width()) / 2);
  ry = std::min(std::fabs(ry), std::fabs(r.height()) / 2);
  if (rx <= 0 || ry <= 0) return cairo_rectangle(cr, r.left, r.top, r.width(), r.height());
  cairo_save(cr);
  cairo_translate(cr, r.left, r.top);
  cairo_scale(cr, rx, ry);
  double w = r.width() / rx, h = r.height() / ry;
  cairo_new_sub_path(cr);
  cairo_arc(cr, w - 1, 1, 1, -pi / 2, 0);
  cairo_arc(cr, w - 1, h - 1, 1, 0, pi / 2);
  cairo_arc(cr, 1, h - 1, 1, pi / 2, pi);
  cairo_arc(cr, 1, 1, 1, pi, 3 * pi / 2);
  cairo_close_path(cr);
  cairo_restore(cr);
}

void ellipse_path(cairo_t* cr, point c, float rx, float ry) {
  if (rx <= 0 || ry <= 0) return;
  cairo_save(cr);
  cairo_translate(cr, c.x, c.y);
  cairo_scale(cr, rx, ry);
  cairo_new_sub_path(cr);
  cairo_arc(cr, 0, 0, 1, 0, 2 * pi);
  cairo_close_path(cr);
  cairo_restore(cr);
}

}  // namespace

void device_context::draw_rounded_rectangle(const rect& r, float rx, float ry, brush& pen, float width,
                                            const stroke_style* style) {
  rounded_path(prepared(), r, rx, ry);
  stroke(pen, width, style);
}

void device_context::fill_rounded_rectangle(const rect& r, float rx, float ry, brush& fill) {
  rounded_path(prepared(), r, rx, ry);
  paint(fill);
}

void device_context::draw_ellipse(point c, float rx, float ry, brush& pen, float width, const stroke_style* style) {
  ellipse_path(prepared(), c, rx, ry);
  stroke(pen, width, style);
}

void device_context::fill_ellipse(point c, float rx, float ry, brush& fill) {
  ellipse_path(prepared(), c, rx, ry);
  paint(fill);
}

void device_context::draw_geometry(const path_geometry& g, brush& pen, float width, const stroke_style* style) {
  g.append_to(prepared(), false);
  stroke(pen, width, style);
}

void device_context::fill_geometry(const path_geometry& g, brush& fill) {
  cairo_t* cr = prepared();
  cairo_set_fill_rule(cr, g.get_fill_mode() == fill_mode::winding ? CAIRO_FILL_RULE_WINDING : CAIRO_FILL_RULE_EVEN_ODD);
  g.append_to(cr, true);
  paint(fill);
}

void device_context::draw_bitmap(cairo_surface_t* bitmap, const rect& dest, float opacity, interpolation filter,
                                 const rect& source, const matrix4* perspective) {
  rect src = source.width() > 0 && source.height() > 0 ? source : surface_rect(bitmap);
  if (src.width() <= 0 || src.height() <= 0 || dest.width() == 0 || dest.height() == 0) return;
  // Source units to destination units.
  matrix place = matrix::translation(-src.left, -src.top) *
                 matrix::scale(dest.width() / src.width(), dest.height() / src.height()) *
                 matrix::translation(dest.left, dest.top);
  cairo_t* cr = prepared();
  if (perspective) {
    auto to4 = [](const matrix& m) {
      matrix4 r;
      r.m[0][0] = m.m11; r.m[0][1] = m.m12; r.m[1][0] = m.m21; r.m[1][1] = m.m22; r.m[3][0] = m.dx; r.m[3][1] = m.dy;
      return r;
    };
    // Only the source rectangle is mapped: a cropped copy goes first.
    cairo_surface_t* part = cairo_surface_create_similar_image(bitmap, CAIRO_FORMAT_ARGB32,
                                                               int(std::ceil(src.width())), int(std::ceil(src.height())));
    cairo_t* pc = cairo_create(part);
    cairo_set_source_surface(pc, bitmap, -src.left, -src.top);
    cairo_paint(pc);
    cairo_destroy(pc);
    matrix place0 = matrix::scale(dest.width() / src.width(), dest.height() / src.height()) *
                    matrix::translation(dest.left, dest.top);
    draw_perspective(cr, part, to4(place0) * *perspective * to4(world()), opacity);
    cairo_surface_destroy(part);
    return;
  }
  cairo_rectangle(cr, dest.left, dest.top, dest.width(), dest.height());
  cairo_pattern_t* p = cairo_pattern_create_for_surface(bitmap);
  matrix inv = place;
  inv.invert();
  cairo_matrix_t m = to_cairo(inv);
  cairo_pattern_set_matrix(p, &m);
  cairo_pattern_set_filter(p, to_cairo(filter));
  cairo_pattern_set_extend(p, CAIRO_EXTEND_PAD);
  cairo_set_source(cr, p);
  if (opacity >= 1) {
    cairo_fill(cr);
  } else {
    cairo_save(cr);
    cairo_clip(cr);
    cairo_paint_with_alpha(cr, opacity);
    cairo_restore(cr);
  }
  cairo_pattern_destroy(p);
}

void device_context::draw_image(cairo_surface_t* image, point at, interpolation filter) {
  rect r = surface_rect(image);
  if (r.width() <= 0 || r.height() <= 0) {  // an unbounded command list: all of it
    cairo_t* cr = prepared();
    cairo_set_source_surface(cr, image, at.x, at.y);
    cairo_paint(cr);
    return;
  }
  draw_bitmap(image, {at.x + r.left, at.y + r.top, at.x + r.right, at.y + r.bottom}, 1, filter, r);
}

void device_context::push_axis_aligned_clip(const rect& r, antialias_mode mode) {
  cairo_t* cr = prepared();
  cairo_save(cr);
  cairo_set_antialias(cr, mode == antialias_mode::aliased ? CAIRO_ANTIALIAS_NONE : CAIRO_ANTIALIAS_DEFAULT);
  cairo_rectangle(cr, r.left, r.top, r.width(), r.height());
  cairo_clip(cr);
  stack_.push_back(pushed{false, r, nullptr, {}, {}, mode, 1});
}

void device_context::pop_axis_aligned_clip() {
  if (stack_.empty() || stack_.back().layer) return;
  stack_.pop_back();
  cairo_restore(cr_);
}

void device_context::push_layer(const layer_parameters& p) {
  // The content bounds and the mask take the transform in force now.
  pushed l{true, p.content_bounds, nullptr, p.mask_transform * world(), world(), p.mask_antialias, p.opacity};
  if (p.mask) l.mask = std::make_unique<path_geometry>(*p.mask);
  stack_.push_back(std::move(l));
  cairo_push_group(prepared());
}

void device_context::pop_layer() {
  if (stack_.empty() || !stack_.back().layer) return;
  pushed l = std::move(stack_.back());
  stack_.pop_back();
  matrix content_world = l.content_world;
  cairo_pattern_t* content = cairo_pop_group(cr_);
  // The group comes back under the matrix in force at the push; it is
  // painted in device space, where it was drawn.
  cairo_matrix_t identity;
  cairo_matrix_init_identity(&identity);
  cairo_pattern_set_matrix(content, &identity);
  cairo_save(cr_);
  cairo_new_path(cr_);
  if (l.bounds.right < infinite && l.bounds.bottom < infinite && l.bounds.left > -infinite && l.bounds.top > -infinite) {
    cairo_matrix_t m = to_cairo(content_world);
    cairo_set_matrix(cr_, &m);
    cairo_rectangle(cr_, l.bounds.left, l.bounds.top, l.bounds.width(), l.bounds.height());
    cairo_clip(cr_);
  }
  if (l.mask) {
    cairo_matrix_t m = to_cairo(l.mask_world);
    cairo_set_matrix(cr_, &m);
    cairo_set_antialias(cr_, l.mask_antialias == antialias_mode::aliased ? CAIRO_ANTIALIAS_NONE : CAIRO_ANTIALIAS_DEFAULT);
    cairo_set_fill_rule(cr_, l.mask->get_fill_mode() == fill_mode::winding ? CAIRO_FILL_RULE_WINDING
                                                                          : CAIRO_FILL_RULE_EVEN_ODD);
    l.mask->append_to(cr_, true);
    cairo_clip(cr_);
  }
  cairo_identity_matrix(cr_);
  cairo_set_source(cr_, content);
  cairo_paint_with_alpha(cr_, l.opacity);
  cairo_restore(cr_);
  cairo_pattern_destroy(content);
}

}  // namespace kez::gfx
