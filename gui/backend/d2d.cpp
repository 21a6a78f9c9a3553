#include "gui/backend/d2d.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <unordered_map>

#include "runtime/image_os.h"

namespace kez::gui::d2d {

namespace {

constexpr float pi = 3.14159265358979323846f;

gfx::brush* pen_of(draw_ctx& ctx) { return ctx.s.pen_kind != KIND_OFF ? ctx.s.pen.get() : nullptr; }
gfx::brush* fill_of(draw_ctx& ctx) { return ctx.s.fill_kind != KIND_OFF ? ctx.s.fill.get() : nullptr; }

gfx::rect normalised(gfx::point a, gfx::point b) {
  return {std::min(a.x, b.x), std::min(a.y, b.y), std::max(a.x, b.x), std::max(a.y, b.y)};
}

// Anchors a brush of kind 3 or 4 to a shape's bounds; the returned
// transform is put back by unfit.
struct fitted {
  gfx::brush* brush = nullptr;
  gfx::matrix saved;
};
fitted fit(gfx::brush* brush, int kind, int gradient, const gfx::rect& r, gfx::point& origin) {
  fitted f;
  if (!brush || (kind != KIND_FITTED && kind != KIND_IMAGE)) return f;
  f.brush = brush;
  f.saved = brush->transform();
  float w = r.width(), h = r.height();
  if (kind == KIND_FITTED) {
    if (gradient == GRAD_LINEAR) {
      brush->set_start_point({0, 0});
      brush->set_end_point({w, 0});
    } else {
      brush->set_origin_offset({0, 0});
      brush->set_centre({w / 2, h / 2});
      float radius = std::max(w / 2, h / 2);
      brush->set_radius_x(radius);
      brush->set_radius_y(radius);
    }
  }
  origin = {r.left, r.top};
  brush->set_transform(f.saved * gfx::matrix::translation(r.left, r.top));
  return f;
}
void unfit(const fitted& f) {
  if (f.brush) f.brush->set_transform(f.saved);
}

// Paints one primitive: fill first, then stroke, each brush fitted to the
// bounds when it asks for it.
template <class Fill, class Stroke>
void paint(draw_ctx& ctx, const gfx::rect& bounds, Fill&& do_fill, Stroke&& do_stroke) {
  if (gfx::brush* f = fill_of(ctx)) {
    fitted fb = fit(f, ctx.s.fill_kind, ctx.s.fill_gradient, bounds, ctx.s.fill_fit);
    do_fill(*f);
    unfit(fb);
  }
  if (gfx::brush* p = pen_of(ctx)) {
    fitted fp = fit(p, ctx.s.pen_kind, ctx.s.pen_gradient, bounds, ctx.s.pen_fit);
    do_stroke(*p);
    unfit(fp);
  }
}

void rebuild_stroke(draw_ctx& ctx) {
  gfx::stroke_style& st = ctx.s.stroke;
  st.end_cap = st.dash_cap = st.start_cap;
  st.miter_limit = 10;
  st.dash_offset = 0;
}

// The brush a 'pen or 'fill-pen transformation changes: only a gradient,
// bitmap or pattern brush has a transform of its own.
gfx::brush* brush_of_target(draw_ctx& ctx, int target) {
  if (target == TARGET_PEN && ctx.s.pen_kind >= KIND_GRADIENT) return ctx.s.pen.get();
  if (target == TARGET_FILL && ctx.s.fill_kind >= KIND_GRADIENT) return ctx.s.fill.get();
  return nullptr;
}

// A box or an ellipse while shadows are set: the shape is painted into a
// bitmap of its size plus the line width, then each shadow and the bitmap
// go to the drawing at the shape's place.
template <class Shape>
void with_shadows(draw_ctx& ctx, const gfx::rect& r, Shape&& shape) {
  float lw = ctx.s.pen_kind != KIND_OFF ? ctx.s.line_width : 0;
  int w = int(r.width() + lw), h = int(r.height() + lw);
  if (w <= 0 || h <= 0) return;
  cairo_surface_t* bitmap = gfx::make_bitmap(w, h);
  if (!bitmap) return;
  {
    gfx::device_context shape_dc(bitmap);
    shape_dc.begin_draw();
    shape_dc.set_antialias_mode(ctx.dc->get_antialias_mode());
    shape_dc.set_transform(gfx::matrix::translation(lw / 2 - r.left, lw / 2 - r.top));
    shape(shape_dc);
    shape_dc.end_draw();
  }
  float x = r.left - lw / 2, y = r.top - lw / 2;
  for (const shadow& s : ctx.s.shadows) {
    cairo_surface_t* source = cairo_surface_reference(bitmap);
    if (s.spread != 0) {
      cairo_surface_t* grown = gfx::scale_bitmap(bitmap, (2 * s.spread + w) / w, (2 * s.spread + h) / h);
      if (grown) {
        cairo_surface_destroy(source);
        source = grown;
      }
    }
    int margin = 0;
    cairo_surface_t* shade = gfx::shadow(source, s.blur / 1.88f, to_color(s.color), &margin);
    cairo_surface_destroy(source);
    if (!shade) continue;
    ctx.dc->draw_image(shade, {x + s.offset_x - s.spread - margin, y + s.offset_y - s.spread - margin},
                       gfx::interpolation::linear);
    cairo_surface_destroy(shade);
  }
  ctx.dc->draw_image(bitmap, {x, y}, gfx::interpolation::linear);
  cairo_surface_destroy(bitmap);
}

}  // namespace

gfx::color to_color(uint32_t abgr) {
  return {float(abgr & 255) / 255.0f, float(abgr >> 8 & 255) / 255.0f, float(abgr >> 16 & 255) / 255.0f,
          float(255 - (abgr >> 24)) / 255.0f};
}

// ---- begin and end --------------------------------------------------------

void draw_begin(draw_ctx& ctx, const cell* image, uint32_t width, uint32_t height) {
  ctx.s = paint_state{};
  ctx.s.pen = gfx::brush::solid(to_color(0));
  ctx.s.pen_kind = KIND_SOLID;
  ctx.s.fill_kind = KIND_OFF;
  rebuild_stroke(ctx);
  ctx.image = image;
  cairo_surface_t* target = image && image->w2 ? gfx::image_target(image->w2) : nullptr;
  if (!target || cairo_surface_status(target) != CAIRO_STATUS_SUCCESS) {
    if (target) cairo_surface_destroy(target);
    ctx.dc.reset();
    return;
  }
  ctx.dc = std::make_unique<gfx::device_context>(target);
  cairo_surface_destroy(target);
  ctx.dc->begin_draw();
  ctx.dc->set_text_antialias_mode(gfx::text_antialias_mode::grayscale);
  ctx.dc->set_antialias_mode(gfx::antialias_mode::per_primitive);
  ctx.dc->push_axis_aligned_clip({0, 0, float(width), float(height)}, gfx::antialias_mode::per_primitive);
  ctx.dc->set_transform({});
}

namespace {

std::unordered_map<win::HWND, render_target*>& targets() {
  static auto* map = new std::unordered_map<win::HWND, render_target*>;
  return *map;
}

void free_target(render_target* t) {
  if (t->bitmap) cairo_surface_destroy(t->bitmap);
  delete t;
}

}  // namespace

render_target* get_window_target(win::HWND hwnd) {
  cairo_surface_t* surface = win::layer::window_surface(hwnd);
  if (!surface) return nullptr;
  win::RECT wr, cr;
  win::POINT origin{0, 0};
  win::GetWindowRect(hwnd, &wr);
  win::GetClientRect(hwnd, &cr);
  win::ClientToScreen(hwnd, &origin);
  int width = cr.right - cr.left, height = cr.bottom - cr.top;
  auto& map = targets();
  auto it = map.find(hwnd);
  render_target* t = it == map.end() ? nullptr : it->second;
  if (t && t->window_surface == surface && t->width == width && t->height == height) return t;
  if (t) {
    map.erase(it);
    free_target(t);
  }
  t = new render_target;
  t->hwnd = hwnd;
  t->window_surface = surface;
  t->width = width;
  t->height = height;
  t->bitmap = cairo_surface_create_for_rectangle(surface, origin.x - wr.left, origin.y - wr.top, width, height);
  map[hwnd] = t;
  return t;
}

void release_window_target(win::HWND hwnd) {
  auto& map = targets();
  auto it = map.find(hwnd);
  if (it == map.end()) return;
  free_target(it->second);
  map.erase(it);
  win::InvalidateRect(hwnd, nullptr, 0);
}

void release_all_targets() {
  auto& map = targets();
  std::vector<win::HWND> all;
  for (auto& [h, t] : map) all.push_back(h);
  for (win::HWND h : all) release_window_target(h);
}

cairo_surface_t* get_layered_buffer(win::HWND hwnd) {
  render_target* t = get_window_target(hwnd);
  return t && t->width > 0 && t->height > 0 ? t->bitmap : nullptr;
}

void draw_begin_window(draw_ctx& ctx, win::HWND hwnd, bool layered, const uint32_t* clear_color) {
  ctx.s = paint_state{};
  ctx.s.pen = gfx::brush::solid(to_color(0));
  rebuild_stroke(ctx);
  ctx.hwnd = hwnd;
  ctx.layered = layered;
  render_target* t = get_window_target(hwnd);
  if (!t || t->width <= 0 || t->height <= 0) {
    ctx.dc.reset();
    return;
  }
  // The surface is in pixels; the drawing is in device-independent units.
  float dpi = float(win::GetDpiForWindow(hwnd));
  ctx.dc = std::make_unique<gfx::device_context>(t->bitmap, dpi > 0 ? dpi : 96);
  ctx.dc->begin_draw();
  ctx.dc->set_text_antialias_mode(layered ? gfx::text_antialias_mode::grayscale : gfx::text_antialias_mode::cleartype);
  ctx.dc->set_antialias_mode(gfx::antialias_mode::per_primitive);
  ctx.dc->clear(clear_color ? to_color(*clear_color) : gfx::color{0, 0, 0, 0});
  ctx.dc->set_transform({});
}

void draw_end(draw_ctx& ctx) {
  if (ctx.dc) {
    ctx.dc->end_draw();
    ctx.dc.reset();
  }
  if (ctx.hwnd && !ctx.layered) {
    // The window's surface changed under the window system: show it.
    win::HDC dc = win::GetDC(ctx.hwnd);
    if (dc) win::ReleaseDC(ctx.hwnd, dc);
  }
  ctx.hwnd = 0;
  if (ctx.image && ctx.image->w2) image_os::end_drawing(ctx.image->w2);
  ctx.image = nullptr;
  ctx.s = paint_state{};
  ctx.shape.reset();
}

// ---- pens and brushes ------------------------------------------------------

namespace {

// The new brush of the pen or the fill; a pen set while the line width is 0
// waits, off, until the width comes back.
void install(draw_ctx& ctx, std::shared_ptr<gfx::brush> b, int kind, int gradient, bool fill) {
  if (fill) {
    ctx.s.fill = std::move(b);
    ctx.s.fill_kind = kind;
    ctx.s.fill_gradient = gradient;
  } else {
    ctx.s.pen = std::move(b);
    ctx.s.pen_gradient = gradient;
    if (ctx.s.line_width == 0) {
      ctx.s.pen_kind_kept = kind;
      ctx.s.pen_kind = KIND_OFF;
    } else {
      ctx.s.pen_kind = kind;
    }
  }
}

}  // namespace


void set_pen_color(draw_ctx& ctx, uint32_t color, bool off) {
  if (off) {
    ctx.s.pen_kind = KIND_OFF;
    ctx.s.pen_kind_kept = KIND_OFF;
    return;
  }
  if (!ctx.s.font_color) ctx.s.text_color = color;
  // A brush shared with a saved state is replaced, not changed.
  if (ctx.s.pen && ctx.s.pen->type() == gfx::brush::kind::solid && ctx.s.pen.use_count() == 1)
    ctx.s.pen->set_color(to_color(color));
  else
    ctx.s.pen = gfx::brush::solid(to_color(color));
  ctx.s.pen_color = color;
  install(ctx, ctx.s.pen, KIND_SOLID, GRAD_NONE, false);
}

void set_fill_color(draw_ctx& ctx, uint32_t color, bool off) {
  if (off) {
    ctx.s.fill_kind = KIND_OFF;
    return;
  }
  if (ctx.s.fill && ctx.s.fill_kind == KIND_SOLID && ctx.s.fill.use_count() == 1)
    ctx.s.fill->set_color(to_color(color));
  else
    ctx.s.fill = gfx::brush::solid(to_color(color));
  ctx.s.fill_color = color;
  ctx.s.fill_gradient = GRAD_NONE;
  ctx.s.fill_kind = KIND_SOLID;
}

void brush_off(draw_ctx& ctx, bool fill) {
  if (fill)
    set_fill_color(ctx, 0, true);
  else
    set_pen_color(ctx, 0, true);
}

void set_line_width(draw_ctx& ctx, float w) {
  if (w == 0) {
    if (ctx.s.line_width != 0) ctx.s.pen_kind_kept = ctx.s.pen_kind;
    ctx.s.pen_kind = KIND_OFF;
    ctx.s.line_width = 0;
    return;
  }
  if (w != ctx.s.line_width) {
    if (ctx.s.line_width == 0) ctx.s.pen_kind = ctx.s.pen_kind_kept;
    ctx.s.line_width = w;
  }
}

void set_line_join(draw_ctx& ctx, int join) {
  static const gfx::line_join joins[] = {gfx::line_join::miter, gfx::line_join::bevel, gfx::line_join::round,
                                         gfx::line_join::miter_or_bevel};
  ctx.s.stroke.join = joins[join >= 0 && join < 4 ? join : 0];
  rebuild_stroke(ctx);
}

void set_line_cap(draw_ctx& ctx, int cap) {
  static const gfx::cap_style caps[] = {gfx::cap_style::flat, gfx::cap_style::square, gfx::cap_style::round};
  ctx.s.stroke.start_cap = caps[cap >= 0 && cap < 3 ? cap : 0];
  rebuild_stroke(ctx);
}

void set_line_pattern(draw_ctx& ctx, const std::vector<float>& dashes) {
  ctx.s.stroke.dashes = dashes;
  rebuild_stroke(ctx);
}

std::vector<gfx::gradient_stop> make_stops(const std::vector<gradient_stop_spec>& stops) {
  std::vector<gfx::gradient_stop> out;
  size_t n = stops.size();
  float step = n > 1 ? 1.0f / float(n - 1) : 0, pos = 0;
  for (const gradient_stop_spec& s : stops) {
    if (s.offset) {
      pos = *s.offset;
      out.push_back({pos, to_color(s.color)});
    } else {
      out.push_back({pos, to_color(s.color)});
      pos += step;
    }
  }
  return out;
}

namespace {

gfx::extend_mode extend_of(int spread) {
  return spread == SPREAD_REPEAT ? gfx::extend_mode::wrap
         : spread == SPREAD_REFLECT ? gfx::extend_mode::mirror
                                    : gfx::extend_mode::clamp;
}

}  // namespace

void set_gradient_pen(draw_ctx& ctx, int type, const std::vector<gradient_stop_spec>& stops,
                      const std::vector<gfx::point>& points, float radius, bool has_radius, int spread, bool fill) {
  std::vector<gfx::gradient_stop> table = make_stops(stops);
  gfx::extend_mode extend = extend_of(spread);
  std::shared_ptr<gfx::brush> b;
  int kind = KIND_FITTED;
  if (type == GRAD_LINEAR) {
    if (points.size() >= 2) {
      b = gfx::brush::linear(table, extend, points[0], points[1]);
      kind = KIND_GRADIENT;
    } else {
      b = gfx::brush::linear(table, extend, {0, 0}, {1, 0});
    }
  } else {
    if (!points.empty()) {
      gfx::point centre = points[0];
      float r = radius;
      gfx::point focal = centre;
      if (type == GRAD_RADIAL) {
        if (points.size() > 1) focal = points[1];
      } else {
        // diamond: centre, a point on its edge, an optional focal point.
        if (points.size() > 1 && !has_radius)
          r = std::hypot(points[1].x - centre.x, points[1].y - centre.y);
        if (points.size() > 2) focal = points[2];
      }
      b = gfx::brush::radial(table, extend, centre, {focal.x - centre.x, focal.y - centre.y}, r, r);
      kind = KIND_GRADIENT;
    } else {
      b = gfx::brush::radial(table, extend, {0, 0}, {0, 0}, 1, 1);
    }
  }
  install(ctx, std::move(b), kind, type, fill);
}

void make_gradient_brush(draw_ctx& ctx, int type, gfx::point o, float start, float stop,
                         const std::vector<float>& extras, const std::vector<gradient_stop_spec>& stops, bool fill) {
  std::vector<gfx::gradient_stop> table = make_stops(stops);
  std::shared_ptr<gfx::brush> b;
  if (type == GRAD_LINEAR) {
    b = gfx::brush::linear(table, gfx::extend_mode::clamp, {o.x + start, o.y}, {o.x + stop, o.y});
  } else {
    b = gfx::brush::radial(table, gfx::extend_mode::clamp, o, {0, 0}, stop - start, stop - start);
  }
  gfx::matrix m;
  float angle = extras.size() > 0 ? extras[0] : 0;
  float sx = extras.size() > 1 ? extras[1] : 1, sy = extras.size() > 2 ? extras[2] : 1;
  if (angle != 0) m = gfx::matrix::rotation(angle) * m;
  if (sx != 1 || sy != 1) m = gfx::matrix::scale(sx, sy) * m;
  b->set_transform(m);
  install(ctx, std::move(b), KIND_GRADIENT, type, fill);
}

void make_bitmap_brush(draw_ctx& ctx, cairo_surface_t* source, float width, float height,
                       const std::optional<gfx::point>& start, const std::optional<gfx::point>& end, int tile,
                       bool fill) {
  gfx::rect r{0, 0, width, height};
  if (start) {
    gfx::point e = end ? *end : gfx::point{width, height};
    r = {start->x, start->y, e.x, e.y};
  }
  gfx::extend_mode x = gfx::extend_mode::wrap, y = gfx::extend_mode::wrap;
  switch (tile) {
    case FLIP_X: x = gfx::extend_mode::mirror; break;
    case FLIP_Y: y = gfx::extend_mode::mirror; break;
    case FLIP_XY: x = y = gfx::extend_mode::mirror; break;
    case CLAMP: x = y = gfx::extend_mode::clamp; break;
    default: break;
  }
  install(ctx, gfx::brush::image(source, r, x, y), KIND_IMAGE, GRAD_NONE, fill);
}

// ---- shapes ------------------------------------------------------------------

void set_anti_alias(draw_ctx& ctx, bool on) {
  if (ctx.dc) ctx.dc->set_antialias_mode(on ? gfx::antialias_mode::per_primitive : gfx::antialias_mode::aliased);
}

void draw_geometry(draw_ctx& ctx, const gfx::path_geometry& g) {
  if (!ctx.dc) return;
  bool fitting = ctx.s.fill_kind >= KIND_FITTED || ctx.s.pen_kind >= KIND_FITTED;
  gfx::rect bounds = fitting ? g.widened_bounds(ctx.s.line_width, &ctx.s.stroke) : gfx::rect{};
  paint(
      ctx, bounds, [&](gfx::brush& b) { ctx.dc->fill_geometry(g, b); },
      [&](gfx::brush& b) { ctx.dc->draw_geometry(g, b, ctx.s.line_width, &ctx.s.stroke); });
}

void draw_polyline(draw_ctx& ctx, const std::vector<gfx::point>& points, bool closed) {
  if (!ctx.dc || points.empty()) return;
  gfx::path_geometry g;
  g.begin_figure(points[0], ctx.s.fill_kind != KIND_OFF ? gfx::figure_begin::filled : gfx::figure_begin::hollow);
  for (size_t i = 1; i < points.size(); ++i) g.add_line(points[i]);
  g.end_figure(closed ? gfx::figure_end::closed : gfx::figure_end::open);
  g.close();
  draw_geometry(ctx, g);
}

void draw_line(draw_ctx& ctx, const std::vector<gfx::point>& points) {
  if (!ctx.dc) return;
  if (points.size() != 2) {
    draw_polyline(ctx, points, false);
    return;
  }
  gfx::brush* p = pen_of(ctx);
  if (!p) return;
  gfx::point origin;
  fitted f = fit(p, ctx.s.pen_kind, ctx.s.pen_gradient, normalised(points[0], points[1]), origin);
  ctx.dc->draw_line(points[0], points[1], *p, ctx.s.line_width, &ctx.s.stroke);
  unfit(f);
}

void draw_box(draw_ctx& ctx, gfx::point a, gfx::point b, float radius) {
  if (!ctx.dc) return;
  gfx::rect r = normalised(a, b);
  auto shape = [&](gfx::device_context& dc) {
    paint(
        ctx, r,
        [&](gfx::brush& br) {
          if (radius != 0)
            dc.fill_rounded_rectangle(r, radius, radius, br);
          else
            dc.fill_rectangle(r, br);
        },
        [&](gfx::brush& br) {
          if (radius != 0)
            dc.draw_rounded_rectangle(r, radius, radius, br, ctx.s.line_width, &ctx.s.stroke);
          else
            dc.draw_rectangle(r, br, ctx.s.line_width, &ctx.s.stroke);
        });
  };
  if (!ctx.s.shadows.empty())
    with_shadows(ctx, r, shape);
  else
    shape(*ctx.dc);
}

void draw_ellipse_shape(draw_ctx& ctx, float x, float y, float width, float height) {
  if (!ctx.dc) return;
  gfx::rect r = normalised({x, y}, {x + width, y + height});
  gfx::point c{x + width / 2, y + height / 2};
  float rx = std::fabs(width / 2), ry = std::fabs(height / 2);
  auto shape = [&](gfx::device_context& dc) {
    paint(
        ctx, r, [&](gfx::brush& br) { dc.fill_ellipse(c, rx, ry, br); },
        [&](gfx::brush& br) { dc.draw_ellipse(c, rx, ry, br, ctx.s.line_width, &ctx.s.stroke); });
  };
  if (!ctx.s.shadows.empty())
    with_shadows(ctx, r, shape);
  else
    shape(*ctx.dc);
}

void draw_arc(draw_ctx& ctx, gfx::point c, gfx::point r, float start, float sweep, bool closed) {
  if (!ctx.dc) return;
  if (sweep >= 359.999f || sweep <= -359.999f) {
    draw_ellipse_shape(ctx, c.x - r.x, c.y - r.y, 2 * r.x, 2 * r.y);
    return;
  }
  double t1 = double(start) * pi / 180, t2 = double(start + sweep) * pi / 180;
  if (r.x != r.y) {
    double a1 = std::atan2(r.x * std::sin(t1), r.y * std::cos(t1));
    double a2 = std::atan2(r.x * std::sin(t2), r.y * std::cos(t2));
    if (std::fabs(a1 - a2) > pi) (a1 > a2 ? a1 : a2) -= 2 * pi;
    t1 = a1;
    t2 = a2;
  }
  gfx::point p1{float(c.x + r.x * std::cos(t1)), float(c.y + r.y * std::sin(t1))};
  gfx::point p2{float(c.x + r.x * std::cos(t2)), float(c.y + r.y * std::sin(t2))};
  gfx::path_geometry g;
  auto begin = ctx.s.fill_kind != KIND_OFF ? gfx::figure_begin::filled : gfx::figure_begin::hollow;
  if (closed) {
    g.begin_figure(c, begin);
    g.add_line(p1);
  } else {
    g.begin_figure(p1, begin);
  }
  gfx::arc_segment seg;
  seg.end = p2;
  seg.radii = {r.x, r.y};
  seg.sweep = sweep >= 0 ? gfx::sweep_direction::clockwise : gfx::sweep_direction::counter_clockwise;
  seg.arc = sweep >= 180 || sweep <= -180 ? gfx::arc_size::large : gfx::arc_size::small;
  g.add_arc(seg);
  g.end_figure(closed ? gfx::figure_end::closed : gfx::figure_end::open);
  g.close();
  // The brushes as they are: an arc is not fitted.
  if (gfx::brush* f = fill_of(ctx)) ctx.dc->fill_geometry(g, *f);
  if (gfx::brush* p = pen_of(ctx)) ctx.dc->draw_geometry(g, *p, ctx.s.line_width, &ctx.s.stroke);
}

void draw_curve(draw_ctx& ctx, const std::vector<gfx::point>& p) {
  if (!ctx.dc || p.size() < 3) return;
  gfx::path_geometry g;
  g.begin_figure(p[0], ctx.s.fill_kind != KIND_OFF ? gfx::figure_begin::filled : gfx::figure_begin::hollow);
  if (p.size() == 3) {
    gfx::point c1{(2 * p[1].x + p[0].x) / 3, (2 * p[1].y + p[0].y) / 3};
    gfx::point c2{(2 * p[1].x + p[2].x) / 3, (2 * p[1].y + p[2].y) / 3};
    g.add_bezier(c1, c2, p[2]);
  } else {
    g.add_bezier(p[1], p[2], p[3]);
  }
  g.end_figure(gfx::figure_end::open);
  g.close();
  draw_geometry(ctx, g);
}

void draw_spline(draw_ctx& ctx, const std::vector<gfx::point>& p, bool closed) {
  if (!ctx.dc) return;
  size_t n = p.size();
  if (n == 2) {
    draw_line(ctx, p);
    return;
  }
  if (n < 2) return;
  gfx::path_geometry g;
  g.begin_figure(p[0], ctx.s.fill_kind != KIND_OFF ? gfx::figure_begin::filled : gfx::figure_begin::hollow);
  auto at = [&](long i) -> gfx::point {
    if (closed) return p[size_t((i % long(n) + long(n)) % long(n))];
    return p[size_t(std::clamp(i, 0L, long(n) - 1))];
  };
  size_t segments = closed ? n : n - 1;
  for (size_t i = 0; i < segments; ++i) {
    gfx::point P0 = at(long(i) - 1), P1 = at(long(i)), P2 = at(long(i) + 1), P3 = at(long(i) + 2);
    for (int k = 1; k <= 25; ++k) {
      float t = float(k) / 25, t2 = t * t, t3 = t2 * t;
      auto f = [&](float a0, float a1, float a2, float a3) {
        return 0.5f * (2 * a1 + (a2 - a0) * t + (2 * a0 - 5 * a1 + 4 * a2 - a3) * t2 + (3 * (a1 - a2) + a3 - a0) * t3);
      };
      g.add_line({f(P0.x, P1.x, P2.x, P3.x), f(P0.y, P1.y, P2.y, P3.y)});
    }
  }
  g.end_figure(closed ? gfx::figure_end::closed : gfx::figure_end::open);
  g.close();
  draw_geometry(ctx, g);
}

// ---- text and images -----------------------------------------------------------

void set_font(draw_ctx& ctx, std::shared_ptr<gfx::text_format> format, std::optional<uint32_t> color) {
  ctx.s.text_format = std::move(format);
  if (color) {
    ctx.s.text_color = *color;
    ctx.s.font_color = true;
  } else {
    ctx.s.text_color = ctx.s.pen_color;
    ctx.s.font_color = false;
  }
}

void draw_layout(draw_ctx& ctx, gfx::point at, gfx::text_layout& layout) {
  if (!ctx.dc) return;
  // Text is painted in the text colour, whatever the pen's kind.
  auto brush = gfx::brush::solid(to_color(ctx.s.text_color));
  layout.draw(*ctx.dc, at, *brush);
}

void draw_text(draw_ctx& ctx, gfx::point at, std::u16string_view text) {
  if (!ctx.dc || !ctx.s.text_format) return;
  gfx::text_layout layout(text, *ctx.s.text_format, 0, 0);
  draw_layout(ctx, at, layout);
}

gfx::matrix4 image_corner_matrix(gfx::size size, gfx::point ul, gfx::point ur, gfx::point ll, gfx::point lr) {
  return gfx::quad_matrix(size, ul, ur, lr, ll);
}

void draw_image(draw_ctx& ctx, cairo_surface_t* image, float width, float height,
                const std::vector<gfx::point>& points, const std::optional<gfx::rect>& crop) {
  if (!ctx.dc || !image || width <= 0 || height <= 0) return;
  gfx::rect source = crop ? *crop : gfx::rect{0, 0, width, height};
  float sw = source.width(), sh = source.height();
  switch (points.size()) {
    case 1:
      ctx.dc->draw_bitmap(image, {points[0].x, points[0].y, points[0].x + sw, points[0].y + sh}, 1,
                          gfx::interpolation::cubic, source);
      return;
    case 2:
      ctx.dc->draw_bitmap(image, {points[0].x, points[0].y, points[1].x, points[1].y}, 1, gfx::interpolation::cubic,
                          source);
      return;
    case 3:
    case 4: {
      gfx::point ll = points.size() == 4 ? points[3] : gfx::point{points[0].x, points[2].y};
      gfx::matrix4 m = image_corner_matrix({sw, sh}, points[0], points[1], ll, points[2]);
      ctx.dc->draw_bitmap(image, {0, 0, sw, sh}, 1, gfx::interpolation::cubic, source, &m);
      return;
    }
    default:
      ctx.dc->draw_bitmap(image, {0, 0, sw, sh}, 1, gfx::interpolation::cubic, source);
  }
}

// ---- clips, transformations, state, shadows --------------------------------------

namespace {

bool axis_aligned(const gfx::matrix& m) {
  auto a = [](float v) { return std::fabs(v); };
  return (a(m.m12) <= 1e-6f * a(m.m11) && a(m.m21) <= 1e-6f * a(m.m22)) ||
         (a(m.m11) <= 1e-6f * a(m.m12) && a(m.m22) <= 1e-6f * a(m.m21));
}

}  // namespace

void push_clip_rect(draw_ctx& ctx, gfx::rect r) {
  if (!ctx.dc) return;
  r = normalised({r.left, r.top}, {r.right, r.bottom});
  int level = ++ctx.s.clip_depth;
  if (level <= AXIS_CLIP_LEVELS && axis_aligned(ctx.dc->get_transform())) {
    ctx.dc->push_axis_aligned_clip(r, gfx::antialias_mode::per_primitive);
    ctx.s.axis_clip_bits |= 1u << (level - 1);
    return;
  }
  if (level <= AXIS_CLIP_LEVELS) ctx.s.axis_clip_bits &= ~(1u << (level - 1));
  gfx::path_geometry g;
  g.begin_figure({r.left, r.top}, gfx::figure_begin::filled);
  g.add_line({r.right, r.top});
  g.add_line({r.right, r.bottom});
  g.add_line({r.left, r.bottom});
  g.end_figure(gfx::figure_end::closed);
  g.close();
  gfx::layer_parameters p;
  p.content_bounds = r;
  p.mask = &g;
  ctx.dc->push_layer(p);
}

void push_clip_shape(draw_ctx& ctx, const gfx::path_geometry& g) {
  if (!ctx.dc) return;
  int level = ++ctx.s.clip_depth;
  if (level <= AXIS_CLIP_LEVELS) ctx.s.axis_clip_bits &= ~(1u << (level - 1));
  gfx::layer_parameters p;
  p.mask = &g;
  ctx.dc->push_layer(p);
}

void pop_clip(draw_ctx& ctx) {
  if (!ctx.dc || ctx.s.clip_depth <= 0) return;
  int level = ctx.s.clip_depth--;
  if (level <= AXIS_CLIP_LEVELS && (ctx.s.axis_clip_bits & (1u << (level - 1))))
    ctx.dc->pop_axis_aligned_clip();
  else
    ctx.dc->pop_layer();
}

saved_state push_state(draw_ctx& ctx) {
  saved_state saved;
  if (!ctx.dc) return saved;
  saved.valid = true;
  saved.drawing = ctx.dc->save_drawing_state();
  saved.paint = ctx.s;
  return saved;
}

void pop_state(draw_ctx& ctx, saved_state& saved) {
  if (!saved.valid || !ctx.dc) return;
  while (ctx.s.clip_depth > saved.paint.clip_depth) pop_clip(ctx);
  ctx.dc->restore_drawing_state(saved.drawing);
  ctx.s = std::move(saved.paint);
  // A solid brush may have been recoloured in place while shared: put the
  // saved colours back.
  if (ctx.s.pen && ctx.s.pen->type() == gfx::brush::kind::solid && ctx.s.pen_gradient == GRAD_NONE)
    ctx.s.pen = gfx::brush::solid(to_color(ctx.s.pen_color));
  if (ctx.s.fill && ctx.s.fill_kind == KIND_SOLID) ctx.s.fill = gfx::brush::solid(to_color(ctx.s.fill_color));
  saved.valid = false;
}

void apply_matrix(draw_ctx& ctx, int target, const gfx::matrix& m) {
  if (!ctx.dc) return;
  if (target == TARGET_DRAWING) {
    ctx.dc->set_transform(m * ctx.dc->get_transform());
    return;
  }
  if (gfx::brush* b = brush_of_target(ctx, target)) b->set_transform(m * b->transform());
}

void reset_matrix(draw_ctx& ctx, int target) {
  if (!ctx.dc) return;
  if (target == TARGET_DRAWING) {
    ctx.dc->set_transform({});
    return;
  }
  if (gfx::brush* b = brush_of_target(ctx, target)) b->set_transform({});
}

void invert_matrix(draw_ctx& ctx, int target) {
  if (!ctx.dc) return;
  if (target == TARGET_DRAWING) {
    gfx::matrix m = ctx.dc->get_transform();
    m.invert();
    ctx.dc->set_transform(m);
    return;
  }
  if (gfx::brush* b = brush_of_target(ctx, target)) {
    gfx::matrix m = b->transform();
    m.invert();
    b->set_transform(m);
  }
}

void set_shadow(draw_ctx& ctx, const shadow& s) { ctx.s.shadows.push_back(s); }
void shadows_off(draw_ctx& ctx) { ctx.s.shadows.clear(); }

}  // namespace kez::gui::d2d
