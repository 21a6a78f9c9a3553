#include "gui/backend/draw.h"

#include <cairo.h>

#include <cmath>
#include <cstdio>
#include <optional>
#include <vector>

#include "gui/backend/text_box.h"
#include "gui/backend/utils.h"
#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/error_ids.h"
#include "runtime/image_os.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/system_stub.h"

namespace kez::gui::draw {

namespace {

using gfx::point;

// Keywords and commands, by canonical symbol.
enum kw : int {
  // commands
  K_PEN, K_FILL_PEN, K_BOX, K_LINE, K_LINE_WIDTH, K_LINE_JOIN, K_LINE_CAP, K_LINE_PATTERN, K_TRIANGLE,
  K_POLYGON, K_CIRCLE, K_ELLIPSE, K_ANTI_ALIAS, K_FONT, K_TEXT, K_ARC, K_CURVE, K_SPLINE, K_IMAGE, K_SHADOW,
  K_CLIP, K_SHAPE, K_ROTATE, K_SCALE, K_TRANSLATE, K_SKEW, K_TRANSFORM, K_PUSH, K_MATRIX, K_RESET_MATRIX,
  K_INVERT_MATRIX, COMMAND_COUNT,
  // other keywords
  K_LINEAR = COMMAND_COUNT, K_RADIAL, K_DIAMOND, K_PATTERN, K_BITMAP, K_OFF, K_PAD, K_REPEAT, K_REFLECT, K_TILE,
  K_FLIP_X, K_FLIP_Y, K_FLIP_XY, K_CLAMP, K_MITER, K_MITER_BEVEL, K_ROUND, K_BEVEL, K_FLAT, K_SQUARE, K_CLOSED,
  K_BORDER, K_CROP, K_INSET, K_REPLACE, K_INTERSECT, K_UNION, K_XOR, K_EXCLUDE,
  // shape sub-dialect
  K_MOVE, K_HLINE, K_VLINE, K_CURV, K_QCURVE, K_QCURV, K_CLOSE, K_SWEEP, K_LARGE, KW_COUNT
};
const char* const kw_names[KW_COUNT] = {
    "pen", "fill-pen", "box", "line", "line-width", "line-join", "line-cap", "line-pattern", "triangle",
    "polygon", "circle", "ellipse", "anti-alias", "font", "text", "arc", "curve", "spline", "image", "shadow",
    "clip", "shape", "rotate", "scale", "translate", "skew", "transform", "push", "matrix", "reset-matrix",
    "invert-matrix",
    "linear", "radial", "diamond", "pattern", "bitmap", "off", "pad", "repeat", "reflect", "tile",
    "flip-x", "flip-y", "flip-xy", "clamp", "miter", "miter-bevel", "round", "bevel", "flat", "square", "closed",
    "border", "crop", "inset", "replace", "intersect", "union", "xor", "exclude",
    "move", "hline", "vline", "curv", "qcurve", "qcurv", "close", "sweep", "large",
};

struct keyword_table {
  uint32_t ids[KW_COUNT];
  uint32_t pen_lit, fill_pen_lit;
  uint32_t table_block = 0;
};
keyword_table table;

const keyword_table& keywords() {
  if (table.table_block != symbol::detail::block) {
    for (int i = 0; i < KW_COUNT; ++i) table.ids[i] = symbol::resolve(symbol::make(kw_names[i]));
    table.table_block = symbol::detail::block;
  }
  return table;
}

// The keyword of a word-like cell, -1 for none.
int keyword_of(const cell* v, int first = 0, int last = KW_COUNT) {
  uint32_t s = symbol::resolve(v->w2);
  const keyword_table& k = keywords();
  for (int i = first; i < last; ++i)
    if (k.ids[i] == s) return i;
  return -1;
}

// How an error leaves the walk: raised, printed then abandoned, or
// abandoned quietly (system/view/silent?). Abandoning unwinds to the draw
// entry without an error value, which ends the drawing normally.
enum error_mode : int { RAISE = 0, PRINT = 1, QUIET = 2 };
int error_mode_now = RAISE;
struct abandon {};

// One block being walked: a rooted copy, read by absolute index.
struct walker {
  cell blk;
  collector::root_cells keep;
  bool report;
  explicit walker(const cell* b, bool r) : blk(*b), keep(&blk), report(r) {}
  series_buffer* buf() const { return memory::buffer_of(blk.w2); }
  int32_t tail() const { return int32_t(buf()->tail_cell() - buf()->head_cell()); }
  // The value at i, null at or past the tail (valid until an allocation).
  const cell* at(int32_t i) const { return i >= 0 && i < tail() ? buf()->head_cell() + i : nullptr; }
  uint32_t type_at(int32_t i) const {
    const cell* v = at(i);
    return v ? type_of(v) : 0;
  }

  [[noreturn]] void fail(int32_t i, int id = err::script::draw_invalid) const {
    cycles::reset();
    cell where = blk;
    where.w1 = uint32_t(std::min(std::max(i, 0), tail()));
    where.header &= ~uint32_t(FLAG_NEW_LINE);
    if (error_mode_now == QUIET) throw abandon{};
    if (error_mode_now == PRINT) {
      collector::root_cells keep(&where);
      natives::write_formed(error::create(err::cat_script, id, &where), stdout, true);
      throw abandon{};
    }
    error::fire(err::cat_script, id, &where);
  }

  // A word's value when it is bound, else null.
  static const cell* value_of(const cell* w) {
    if (type_of(w) != TYPE_WORD || !w->w1) return nullptr;
    const cell* v = context::get(w);
    return v;
  }

  bool word_at(int32_t i) const { return type_at(i) == TYPE_WORD; }
  int kw_at(int32_t i, int first = 0, int last = KW_COUNT) const {
    return word_at(i) ? keyword_of(at(i), first, last) : -1;
  }
  bool point_q(int32_t i) const { return type_at(i) == TYPE_PAIR || type_at(i) == TYPE_POINT2D; }
  bool number_q(int32_t i) const { return type_at(i) == TYPE_INTEGER || type_at(i) == TYPE_FLOAT; }
  point get_point(int32_t i) const {
    const cell* v = at(i);
    if (type_of(v) == TYPE_PAIR) return {float(pair::x_of(v)), float(pair::y_of(v))};
    return {kez::point::coordinate(v, 0), kez::point::coordinate(v, 1)};
  }
  float get_float(int32_t i) const {
    const cell* v = at(i);
    if (type_of(v) == TYPE_INTEGER) return float(integer::get(v));
    return float(float_::get(v));
  }
  point need_point(int32_t i) const {
    if (!point_q(i)) fail(i);
    return get_point(i);
  }
  float need_number(int32_t i) const {
    if (!number_q(i)) fail(i);
    return get_float(i);
  }
  bool scale_q(int32_t i) const { return number_q(i) || type_at(i) == TYPE_PERCENT; }
  float need_scale(int32_t i) const {
    if (type_at(i) == TYPE_PERCENT) return float(float_::get(at(i)));
    return need_number(i);
  }
  // A colour: a tuple, or a word whose value is one.
  bool color_q(int32_t i, uint32_t* c) const {
    const cell* v = at(i);
    if (!v) return false;
    if (type_of(v) == TYPE_WORD) v = value_of(v);
    if (!v || type_of(v) != TYPE_TUPLE) return false;
    *c = to_color(v);
    return true;
  }
  // A value of a type given directly or through a word.
  bool value_q(int32_t i, uint32_t type, cell* out) const {
    const cell* v = at(i);
    if (!v) return false;
    if (type_of(v) == TYPE_WORD) v = value_of(v);
    if (!v || type_of(v) != type) return false;
    *out = *v;
    return true;
  }
};

void parse_block(d2d::draw_ctx& ctx, const cell* block, bool report);
void parse_shape(d2d::draw_ctx& ctx, const cell* block, bool paint, bool report, bool nested);

// The points from i on; answers the index after them.
int32_t collect_points(const walker& w, int32_t i, std::vector<point>& out) {
  while (w.point_q(i)) out.push_back(w.get_point(i++));
  return i;
}

// ---- pens ----------------------------------------------------------------------

int32_t parse_stops(const walker& w, int32_t i, std::vector<d2d::gradient_stop_spec>& stops) {
  uint32_t c;
  while (w.color_q(i, &c)) {
    d2d::gradient_stop_spec s{c, {}};
    ++i;
    if (w.type_at(i) == TYPE_FLOAT) s.offset = w.get_float(i++);
    stops.push_back(s);
  }
  return i;
}

int tile_mode_at(const walker& w, int32_t i) {
  switch (w.kw_at(i)) {
    case K_TILE: return d2d::TILE;
    case K_FLIP_X: return d2d::FLIP_X;
    case K_FLIP_Y: return d2d::FLIP_Y;
    case K_FLIP_XY: return d2d::FLIP_XY;
    case K_CLAMP: return d2d::CLAMP;
    default: return -1;
  }
}

// [point [point]] [tile mode] of a pattern or bitmap pen: the tile mode, -1
// when none was given.
int tile_area(const walker& w, int32_t& i, std::optional<point>& start, std::optional<point>& end) {
  if (w.point_q(i)) {
    start = w.get_point(i++);
    if (w.point_q(i)) end = w.get_point(i++);
  }
  int tile = tile_mode_at(w, i);
  if (tile >= 0) ++i;
  return tile;
}

// `pen` and `fill-pen`: answers the index after the last value consumed.
int32_t parse_pen(d2d::draw_ctx& ctx, const walker& w, int32_t i, bool fill) {
  int k = w.kw_at(i);
  if (k == K_LINEAR || k == K_RADIAL || k == K_DIAMOND) {
    int type = k == K_LINEAR ? d2d::GRAD_LINEAR : k == K_RADIAL ? d2d::GRAD_RADIAL : d2d::GRAD_DIAMOND;
    ++i;
    std::vector<d2d::gradient_stop_spec> stops;
    if (w.point_q(i)) {
      point offset = w.get_point(i++);
      float start = w.need_number(i);
      if (w.type_at(i) != TYPE_INTEGER) w.fail(i);
      ++i;
      if (w.type_at(i) != TYPE_INTEGER) w.fail(i);
      float stop = w.get_float(i++);
      std::vector<float> extras;
      while (extras.size() < 3 && w.number_q(i)) extras.push_back(w.get_float(i++));
      int32_t last_number = i - 1;
      i = parse_stops(w, i, stops);
      if (stops.size() < 2) w.fail(last_number);
      if (stops.size() > d2d::MAX_GRADIENT_STOPS) w.fail(i - 1);
      d2d::make_gradient_brush(ctx, type, offset, start, stop, extras, stops, fill);
      return i;
    }
    int32_t first_stop = i;
    i = parse_stops(w, i, stops);
    if (stops.size() < 2) w.fail(first_stop + int32_t(stops.size() ? 2 : 0));
    if (stops.size() > d2d::MAX_GRADIENT_STOPS) w.fail(i - 1);
    std::vector<point> points;
    float radius = 0;
    bool has_radius = false;
    if (w.point_q(i)) {
      points.push_back(w.get_point(i++));
      if (type == d2d::GRAD_LINEAR) {
        points.push_back(w.need_point(i++));
      } else if (type == d2d::GRAD_RADIAL) {
        radius = w.need_number(i++);
        has_radius = true;
        if (w.point_q(i)) points.push_back(w.get_point(i++));
      } else {
        points.push_back(w.need_point(i++));
        if (w.point_q(i)) points.push_back(w.get_point(i++));
      }
    }
    int spread = d2d::SPREAD_PAD;
    switch (w.kw_at(i)) {
      case K_PAD: ++i; break;
      case K_REPEAT: spread = d2d::SPREAD_REPEAT; ++i; break;
      case K_REFLECT: spread = d2d::SPREAD_REFLECT; ++i; break;
      default: break;
    }
    d2d::set_gradient_pen(ctx, type, stops, points, radius, has_radius, spread, fill);
    return i;
  }
  if (k == K_PATTERN) {
    ++i;
    point size = w.need_point(i++);
    std::optional<point> start, end;
    int tile = tile_area(w, i, start, end);
    if (w.type_at(i) != TYPE_BLOCK) w.fail(i);
    cell body = *w.at(i);
    collector::root_cells keep(&body);
    if (!ctx.dc) return i + 1;
    // The block draws into a command list, which becomes the tile.
    cairo_surface_t* list = gfx::make_command_list();
    std::unique_ptr<gfx::device_context> outer = std::move(ctx.dc);
    ctx.dc = std::make_unique<gfx::device_context>(list);
    ctx.dc->begin_draw();
    d2d::saved_state saved = d2d::push_state(ctx);
    int depth = ctx.s.clip_depth;
    try {
      parse_block(ctx, &body, false);
    } catch (...) {
      ctx.dc = std::move(outer);
      cairo_surface_destroy(list);
      throw;
    }
    while (ctx.s.clip_depth > depth) d2d::pop_clip(ctx);
    d2d::pop_state(ctx, saved);
    ctx.dc->end_draw();
    ctx.dc = std::move(outer);
    d2d::make_bitmap_brush(ctx, list, size.x, size.y, start ? start : std::optional<point>(point{0, 0}),
                           end ? end : std::optional<point>(size), tile < 0 ? d2d::TILE : tile, fill);
    cairo_surface_destroy(list);
    return i + 1;
  }
  if (k == K_BITMAP) {
    ++i;
    cell img;
    if (!w.value_q(i, TYPE_IMAGE, &img)) w.fail(i);
    ++i;
    std::optional<point> start, end;
    int tile = tile_area(w, i, start, end);
    uint32_t width = image::width_of(&img), height = image::height_of(&img);
    cairo_surface_t* src = img.w2 && width && height ? image_os::get_source(img.w2) : nullptr;
    if (!src) {
      d2d::brush_off(ctx, fill);
      return i;
    }
    d2d::make_bitmap_brush(ctx, src, float(width), float(height), start, end, tile < 0 ? d2d::TILE : tile, fill);
    return i;
  }
  if (k == K_OFF) {
    d2d::brush_off(ctx, fill);
    return i + 1;
  }
  uint32_t c;
  if (!w.color_q(i, &c)) w.fail(i);
  if (fill)
    d2d::set_fill_color(ctx, c, false);
  else
    d2d::set_pen_color(ctx, c, false);
  return i + 1;
}

// ---- transformations -------------------------------------------------------------

// The optional 'pen or 'fill-pen before a transformation's arguments.
int brush_target(const walker& w, int32_t& i) {
  if (w.type_at(i) != TYPE_LIT_WORD) return d2d::TARGET_DRAWING;
  int k = keyword_of(w.at(i), K_PEN, K_FILL_PEN + 1);
  if (k < 0) return d2d::TARGET_DRAWING;
  ++i;
  return k == K_PEN ? d2d::TARGET_PEN : d2d::TARGET_FILL;
}

// Applies m to the target, then parses a trailing block under a saved
// state; answers the index after the command.
int32_t transform_with_block(d2d::draw_ctx& ctx, const walker& w, int32_t i, int target, const gfx::matrix& m) {
  if (w.type_at(i) == TYPE_BLOCK) {
    cell body = *w.at(i);
    collector::root_cells keep(&body);
    d2d::saved_state saved = d2d::push_state(ctx);
    d2d::apply_matrix(ctx, target, m);
    parse_block(ctx, &body, w.report);
    d2d::pop_state(ctx, saved);
    return i + 1;
  }
  d2d::apply_matrix(ctx, target, m);
  return i;
}

// ---- the main walk -------------------------------------------------------------------

int32_t command(d2d::draw_ctx& ctx, const walker& w, int k, int32_t cmd) {
  int32_t i = cmd + 1;
  switch (k) {
    case K_PEN:
    case K_FILL_PEN:
      return parse_pen(ctx, w, i, k == K_FILL_PEN);
    case K_BOX: {
      point a = w.need_point(i), b = w.need_point(i + 1);
      i += 2;
      float r = 0;
      if (w.number_q(i)) r = w.get_float(i++);
      d2d::draw_box(ctx, a, b, r);
      return i;
    }
    case K_LINE: {
      std::vector<point> pts;
      int32_t end = collect_points(w, i, pts);
      if (pts.size() < 2) w.fail(i);
      d2d::draw_line(ctx, pts);
      return end;
    }
    case K_LINE_WIDTH:
      d2d::set_line_width(ctx, w.need_number(i));
      return i + 1;
    case K_LINE_JOIN: {
      if (!w.word_at(i)) w.fail(i);
      int j = w.kw_at(i);
      d2d::set_line_join(ctx, j == K_BEVEL ? 1 : j == K_ROUND ? 2 : j == K_MITER_BEVEL ? 3 : 0);
      return i + 1;
    }
    case K_LINE_CAP: {
      if (!w.word_at(i)) w.fail(i);
      int j = w.kw_at(i);
      d2d::set_line_cap(ctx, j == K_SQUARE ? 1 : j == K_ROUND ? 2 : 0);
      return i + 1;
    }
    case K_LINE_PATTERN: {
      std::vector<float> dashes;
      while (w.type_at(i) == TYPE_INTEGER) dashes.push_back(w.get_float(i++));
      d2d::set_line_pattern(ctx, dashes);
      return i;
    }
    case K_TRIANGLE: {
      std::vector<point> pts{w.need_point(i), w.need_point(i + 1), w.need_point(i + 2)};
      d2d::draw_polyline(ctx, pts, true);
      return i + 3;
    }
    case K_POLYGON: {
      std::vector<point> pts;
      int32_t end = collect_points(w, i, pts);
      if (pts.size() < 3) w.fail(end > i ? end - 1 : i);
      d2d::draw_polyline(ctx, pts, true);
      return end;
    }
    case K_CIRCLE: {
      point c = w.need_point(i);
      float rx = w.need_number(i + 1), ry = rx;
      i += 2;
      if (w.number_q(i)) ry = w.get_float(i++);
      d2d::draw_ellipse_shape(ctx, c.x - rx, c.y - ry, 2 * rx, 2 * ry);
      return i;
    }
    case K_ELLIPSE: {
      point a = w.need_point(i), s = w.need_point(i + 1);
      d2d::draw_ellipse_shape(ctx, a.x, a.y, s.x, s.y);
      return i + 2;
    }
    case K_ANTI_ALIAS:
      if (!w.word_at(i)) w.fail(cmd);
      d2d::set_anti_alias(ctx, w.kw_at(i) != K_OFF);
      return i + 1;
    case K_FONT: {
      cell font;
      if (!w.value_q(i, TYPE_OBJECT, &font)) w.fail(i);
      collector::root_cells keep(&font);
      uint32_t c;
      bool has = text_box::font_color(&font, &c);
      d2d::set_font(ctx, text_box::make_text_format(&font), has ? std::optional<uint32_t>(c) : std::nullopt);
      return i + 1;
    }
    case K_TEXT: {
      point at = w.need_point(i);
      ++i;
      uint32_t t = w.type_at(i);
      if (t == TYPE_STRING) {
        cell s = *w.at(i);
        std::u16string text = utf16_of(&s);
        if (!ctx.s.text_format) ctx.s.text_format = text_box::make_text_format(&s);
        d2d::draw_text(ctx, at, text);
      } else if (t == TYPE_OBJECT) {
        cell face = *w.at(i);
        collector::root_cells keep(&face);
        text_box::draw_face(ctx, at, &face);
      } else {
        w.fail(i);
      }
      return i + 1;
    }
    case K_ARC: {
      point c = w.need_point(i), r = w.need_point(i + 1);
      float start = w.need_number(i + 2), sweep = w.need_number(i + 3);
      i += 4;
      bool closed = w.kw_at(i) == K_CLOSED;
      if (closed) ++i;
      d2d::draw_arc(ctx, c, r, start, sweep, closed);
      return i;
    }
    case K_CURVE: {
      std::vector<point> pts{w.need_point(i), w.need_point(i + 1), w.need_point(i + 2)};
      i += 3;
      if (w.point_q(i)) pts.push_back(w.get_point(i++));
      d2d::draw_curve(ctx, pts);
      return i;
    }
    case K_SPLINE: {
      std::vector<point> pts;
      int32_t end = collect_points(w, i, pts);
      if (pts.size() < 2) w.fail(i);
      bool closed = w.kw_at(end) == K_CLOSED;
      if (closed) ++end;
      d2d::draw_spline(ctx, pts, closed);
      return end;
    }
    case K_IMAGE: {
      cell img;
      if (!w.value_q(i, TYPE_IMAGE, &img)) w.fail(i);
      collector::root_cells keep(&img);
      ++i;
      std::vector<point> pts;
      i = collect_points(w, i, pts);
      uint32_t key;
      if (w.color_q(i, &key)) ++i;
      std::optional<gfx::rect> crop;
      int k2 = w.kw_at(i);
      if (k2 == K_BORDER) {
        ++i;
      } else if (k2 == K_CROP) {
        point o = w.need_point(i + 1), s = w.need_point(i + 2);
        crop = gfx::rect{o.x, o.y, o.x + s.x, o.y + s.y};
        i += 3;
      }
      uint32_t width = image::width_of(&img), height = image::height_of(&img);
      if (!img.w2 || !width || !height || !ctx.dc) return i;
      cairo_surface_t* src = image_os::get_source(img.w2);
      if (!src) error::fire(err::cat_internal, err::internal::no_memory);
      // Drawing an image into itself reads a copy of its pixels.
      cairo_surface_t* copy = nullptr;
      if (ctx.image && img.w2 == ctx.image->w2) {
        copy = gfx::make_bitmap(int(width), int(height));
        cairo_t* cr = cairo_create(copy);
        cairo_set_source_surface(cr, src, 0, 0);
        cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
        cairo_paint(cr);
        cairo_destroy(cr);
        src = copy;
      }
      d2d::draw_image(ctx, src, float(width), float(height), pts.size() > 4 ? std::vector<point>{} : pts, crop);
      if (copy) cairo_surface_destroy(copy);
      return i;
    }
    case K_SHADOW: {
      if (w.kw_at(i) == K_OFF) {
        d2d::shadows_off(ctx);
        return i + 1;
      }
      if (w.type_at(i) != TYPE_PAIR) w.fail(i);
      d2d::shadow s;
      point o = w.get_point(i++);
      s.offset_x = o.x;
      s.offset_y = o.y;
      if (w.type_at(i) == TYPE_INTEGER) {
        s.blur = w.get_float(i++);
        if (w.type_at(i) == TYPE_INTEGER) s.spread = w.get_float(i++);
      }
      uint32_t c;
      if (w.color_q(i, &c)) {
        s.color = c;
        ++i;
      }
      if (w.kw_at(i) == K_INSET) {
        s.inset = true;
        ++i;
      }
      d2d::set_shadow(ctx, s);
      return i;
    }
    case K_CLIP: {
      bool shape = false;
      cell shape_blk{TYPE_NONE, 0, 0, 0};
      collector::root_cells keep(&shape_blk);
      gfx::rect r;
      if (w.point_q(i)) {
        point a = w.get_point(i), b = w.need_point(i + 1);
        r = {a.x, a.y, b.x, b.y};
        i += 2;
      } else if (w.type_at(i) == TYPE_BLOCK) {
        shape_blk = *w.at(i++);
        shape = true;
      } else {
        w.fail(i);
      }
      int m = w.kw_at(i, K_REPLACE, K_EXCLUDE + 1);
      if (m >= 0) ++i;
      std::unique_ptr<gfx::path_geometry> geometry;
      if (shape) {
        parse_shape(ctx, &shape_blk, false, w.report, false);
        geometry = std::move(ctx.shape);
        if (geometry && ctx.figure_open) geometry->end_figure(gfx::figure_end::closed);
        ctx.figure_open = false;
        if (geometry) geometry->close();
      }
      auto push = [&] {
        if (geometry)
          d2d::push_clip_shape(ctx, *geometry);
        else if (!shape)
          d2d::push_clip_rect(ctx, r);
      };
      if (w.type_at(i) == TYPE_BLOCK) {
        cell body = *w.at(i);
        collector::root_cells keep_body(&body);
        d2d::saved_state saved = d2d::push_state(ctx);
        int depth = ctx.s.clip_depth;
        push();
        parse_block(ctx, &body, w.report);
        while (ctx.s.clip_depth > depth) d2d::pop_clip(ctx);
        d2d::pop_state(ctx, saved);
        return i + 1;
      }
      push();
      return i;
    }
    case K_SHAPE: {
      if (w.type_at(i) != TYPE_BLOCK) w.fail(i);
      cell body = *w.at(i);
      collector::root_cells keep(&body);
      parse_shape(ctx, &body, true, w.report, false);
      return i + 1;
    }
    case K_ROTATE: {
      int target = brush_target(w, i);
      float angle = w.need_number(i++);
      point c{};
      if (w.point_q(i)) c = w.get_point(i++);
      return transform_with_block(ctx, w, i, target, gfx::matrix::rotation(angle, c));
    }
    case K_SCALE: {
      int target = brush_target(w, i);
      float sx = w.need_scale(i), sy = w.need_scale(i + 1);
      i += 2;
      point c{};
      if (w.point_q(i)) c = w.get_point(i++);
      return transform_with_block(ctx, w, i, target, gfx::matrix::scale(sx, sy, c));
    }
    case K_TRANSLATE: {
      int target = brush_target(w, i);
      point o = w.need_point(i++);
      return transform_with_block(ctx, w, i, target, gfx::matrix::translation(o.x, o.y));
    }
    case K_SKEW: {
      int target = brush_target(w, i);
      float ax = w.need_number(i++), ay = 0;
      if (w.number_q(i)) ay = w.get_float(i++);
      point c{};
      if (w.point_q(i)) c = w.get_point(i++);
      return transform_with_block(ctx, w, i, target, gfx::matrix::skew(ax, ay, c));
    }
    case K_TRANSFORM: {
      int target = brush_target(w, i);
      point c{};
      if (w.point_q(i)) c = w.get_point(i++);
      float angle = w.need_number(i), sx = w.need_scale(i + 1), sy = w.need_scale(i + 2);
      point o = w.need_point(i + 3);
      i += 4;
      // rotate, then scale about the same centre, then translate, each
      // prepended: the translation applies first to coordinates.
      gfx::matrix m = gfx::matrix::translation(o.x, o.y) * gfx::matrix::scale(sx, sy, c) *
                      gfx::matrix::rotation(angle, c);
      return transform_with_block(ctx, w, i, target, m);
    }
    case K_PUSH: {
      if (w.type_at(i) != TYPE_BLOCK) w.fail(i);
      cell body = *w.at(i);
      collector::root_cells keep(&body);
      d2d::saved_state saved = d2d::push_state(ctx);
      parse_block(ctx, &body, w.report);
      d2d::pop_state(ctx, saved);
      return i + 1;
    }
    case K_MATRIX: {
      int target = brush_target(w, i);
      if (w.type_at(i) != TYPE_BLOCK) w.fail(i);
      walker m(w.at(i), w.report);
      int32_t from = int32_t(m.blk.w1);
      float v[6];
      if (m.tail() - from != 6) w.fail(i - 1);
      for (int j = 0; j < 6; ++j) {
        if (!m.number_q(from + j)) w.fail(i - 1);
        v[j] = m.get_float(from + j);
      }
      d2d::apply_matrix(ctx, target, gfx::matrix{v[0], v[1], v[2], v[3], v[4], v[5]});
      return i + 1;
    }
    case K_RESET_MATRIX: {
      int target = brush_target(w, i);
      d2d::reset_matrix(ctx, target);
      return i;
    }
    case K_INVERT_MATRIX: {
      int target = brush_target(w, i);
      d2d::invert_matrix(ctx, target);
      return i;
    }
    default:
      w.fail(cmd);
  }
}

void parse_block(d2d::draw_ctx& ctx, const cell* block, bool report) {
  walker w(block, report);
  uint32_t node = w.blk.w2;
  if (cycles::find_q(node)) w.fail(int32_t(w.blk.w1), err::script::draw_infinite);
  cycles::push(node);
  int32_t i = int32_t(w.blk.w1);
  while (i < w.tail()) {
    const cell* v = w.at(i);
    switch (type_of(v)) {
      case TYPE_WORD: {
        int k = keyword_of(v, 0, COMMAND_COUNT);
        if (k < 0) w.fail(i);
        i = command(ctx, w, k, i);
        break;
      }
      case TYPE_SET_WORD: {
        cell word = *v;
        cell here = w.blk;
        here.w1 = uint32_t(i + 1);
        here.header &= ~uint32_t(FLAG_NEW_LINE);
        word.header = (word.header & ~FLAG_TYPE_MASK) | TYPE_WORD;
        collector::root_cells keep_word(&word), keep_here(&here);
        context::set(&word, &here);
        ++i;
        break;
      }
      case TYPE_BLOCK: {
        cell nested = *v;
        if (cycles::find_q(nested.w2)) {
          walker inner(&nested, report);
          inner.fail(int32_t(nested.w1), err::script::draw_infinite);
        }
        parse_block(ctx, &nested, report);
        ++i;
        break;
      }
      default:
        w.fail(i);
    }
  }
  cycles::pop();
}

// ---- the shape sub-dialect -------------------------------------------------------

void shape_begin(d2d::draw_ctx& ctx, bool paint) {
  ctx.shape = std::make_unique<gfx::path_geometry>();
  ctx.shape_paints = paint;
  ctx.shape_point = {0, 0};
  ctx.last_curve = false;
  if (!paint) ctx.shape->set_fill_mode(gfx::fill_mode::winding);
  ctx.shape->begin_figure({0, 0}, paint && ctx.s.fill_kind == d2d::KIND_OFF ? gfx::figure_begin::hollow
                                                                          : gfx::figure_begin::filled);
  ctx.figure_open = true;
}

void parse_shape(d2d::draw_ctx& ctx, const cell* block, bool paint, bool report, bool nested) {
  walker w(block, report);
  if (!nested) shape_begin(ctx, paint);
  uint32_t node = w.blk.w2;
  if (cycles::find_q(node)) w.fail(int32_t(w.blk.w1), err::script::draw_infinite);
  cycles::push(node);
  auto begin_kind = [&] {
    return ctx.shape_paints && ctx.s.fill_kind == d2d::KIND_OFF ? gfx::figure_begin::hollow
                                                                : gfx::figure_begin::filled;
  };
  int32_t i = int32_t(w.blk.w1);
  while (i < w.tail()) {
    const cell* v = w.at(i);
    uint32_t t = type_of(v);
    if (t == TYPE_SET_WORD) {
      cell word = *v;
      cell here = w.blk;
      here.w1 = uint32_t(i + 1);
      word.header = (word.header & ~FLAG_TYPE_MASK) | TYPE_WORD;
      collector::root_cells keep_word(&word), keep_here(&here);
      context::set(&word, &here);
      ++i;
      continue;
    }
    if (t == TYPE_BLOCK) {
      cell nested_blk = *v;
      parse_shape(ctx, &nested_blk, paint, report, true);
      ++i;
      continue;
    }
    if (t != TYPE_WORD && t != TYPE_LIT_WORD) w.fail(i);
    bool rel = t == TYPE_LIT_WORD;
    int k = keyword_of(v);
    int32_t cmd = i++;
    gfx::point& cur = ctx.shape_point;
    auto abs = [&](gfx::point p) { return rel ? gfx::point{cur.x + p.x, cur.y + p.y} : p; };
    gfx::path_geometry& g = *ctx.shape;
    switch (k) {
      case K_MOVE: {
        gfx::point p = abs(w.need_point(i++));
        if (ctx.figure_open) g.end_figure(gfx::figure_end::open);
        g.begin_figure(p, begin_kind());
        ctx.figure_open = true;
        cur = p;
        ctx.last_curve = false;
        break;
      }
      case K_LINE: {
        w.need_point(i);
        while (w.point_q(i)) {
          gfx::point p = abs(w.get_point(i++));
          g.add_line(p);
          cur = p;
        }
        ctx.last_curve = false;
        break;
      }
      case K_HLINE:
      case K_VLINE: {
        float n = w.need_number(i++);
        gfx::point p = cur;
        if (k == K_HLINE)
          p.x = rel ? cur.x + n : n;
        else
          p.y = rel ? cur.y + n : n;
        g.add_line(p);
        cur = p;
        ctx.last_curve = false;
        break;
      }
      case K_ARC: {
        gfx::point p = abs(w.need_point(i));
        float rx = w.need_number(i + 1), ry = w.need_number(i + 2), rot = w.need_number(i + 3);
        i += 4;
        bool sweep = false, large = false;
        for (int n = 0; n < 2; ++n) {
          int kk = w.kw_at(i);
          if (kk == K_SWEEP && !sweep) sweep = true, ++i;
          else if (kk == K_LARGE && !large) large = true, ++i;
        }
        gfx::arc_segment seg;
        seg.end = p;
        seg.radii = {rx, ry};
        seg.rotation = rot;
        seg.sweep = sweep ? gfx::sweep_direction::clockwise : gfx::sweep_direction::counter_clockwise;
        seg.arc = large ? gfx::arc_size::large : gfx::arc_size::small;
        g.add_arc(seg);
        cur = p;
        ctx.last_curve = false;
        break;
      }
      case K_CURVE:
      case K_CURV:
      case K_QCURVE:
      case K_QCURV: {
        int group = k == K_CURVE ? 3 : k == K_QCURV ? 1 : 2;
        std::vector<gfx::point> pts;
        int32_t end = collect_points(w, i, pts);
        if (int(pts.size()) < group) w.fail(end);
        // A trailing group too short for one more segment is left unread.
        size_t usable = pts.size() - pts.size() % size_t(group);
        i += int32_t(usable);
        for (size_t j = 0; j < usable; j += size_t(group)) {
          auto reflect = [&] {
            return ctx.last_curve ? gfx::point{2 * cur.x - ctx.last_control.x, 2 * cur.y - ctx.last_control.y} : cur;
          };
          if (k == K_CURVE) {
            gfx::point c1 = abs(pts[j]), c2 = abs(pts[j + 1]), e = abs(pts[j + 2]);
            g.add_bezier(c1, c2, e);
            ctx.last_control = c2;
            cur = e;
          } else if (k == K_CURV) {
            gfx::point c1 = reflect(), c2 = abs(pts[j]), e = abs(pts[j + 1]);
            g.add_bezier(c1, c2, e);
            ctx.last_control = c2;
            cur = e;
          } else if (k == K_QCURVE) {
            gfx::point c = abs(pts[j]), e = abs(pts[j + 1]);
            g.add_quadratic_bezier(c, e);
            ctx.last_control = c;
            cur = e;
          } else {
            gfx::point c = reflect(), e = abs(pts[j]);
            g.add_quadratic_bezier(c, e);
            ctx.last_control = c;
            cur = e;
          }
          ctx.last_curve = true;
        }
        break;
      }
      case K_CLOSE:
        if (ctx.figure_open) g.end_figure(gfx::figure_end::closed);
        g.begin_figure(cur, begin_kind());
        ctx.figure_open = true;
        break;
      default:
        w.fail(cmd);
    }
  }
  cycles::pop();
  if (!nested && paint) {
    if (ctx.figure_open) ctx.shape->end_figure(gfx::figure_end::open);
    ctx.figure_open = false;
    ctx.shape->close();
    std::unique_ptr<gfx::path_geometry> g = std::move(ctx.shape);
    d2d::draw_geometry(ctx, *g);
  }
}

bool silent_q() {
  const cell* v = system_stub::system_field({"view", "silent?"});
  return v && type_of(v) == TYPE_LOGIC && v->w1;
}

}  // namespace

void init() { keywords(); }

void parse(d2d::draw_ctx& ctx, const cell* block, bool report) { parse_block(ctx, block, report); }

namespace {

// Runs body on a begun context under the error rules of the entry, then
// ends the drawing whatever happened.
template <class Body>
void run_drawing(d2d::draw_ctx& ctx, bool report, Body&& body) {
  int saved_mode = error_mode_now;
  error_mode_now = silent_q() ? QUIET : report ? PRINT : RAISE;
  uint32_t cycle_depth = cycles::depth();
  try {
    body();
  } catch (const abandon&) {
    cycles::reset();
  } catch (...) {
    if (cycles::depth() > cycle_depth) cycles::pop_n(cycles::depth() - cycle_depth);
    d2d::draw_end(ctx);
    error_mode_now = saved_mode;
    throw;
  }
  d2d::draw_end(ctx);
  error_mode_now = saved_mode;
}

}  // namespace

void do_draw_image(const cell* image_value, const cell* block, bool report) {
  cell img = *image_value, blk = *block;
  collector::root_cells keep_img(&img), keep_blk(&blk);
  uint32_t width = image::width_of(&img), height = image::height_of(&img);
  if (!img.w2 || !width || !height) return;
  if (type_of(&blk) != TYPE_BLOCK || block::ks_length_q(&blk) <= 0) return;
  d2d::draw_ctx ctx;
  d2d::draw_begin(ctx, &img, width, height);
  run_drawing(ctx, report, [&] { parse_block(ctx, &blk, report); });
}

void do_draw_window(win::HWND hwnd, const cell* face_in, const cell* block, bool layered, bool report,
                    void (*after)(d2d::draw_ctx& ctx, void* data), void* data) {
  cell face = *face_in, blk = *block;
  collector::root_cells keep_face(&face), keep_blk(&blk);
  cell color = object_field(&face, "color");
  bool has_color = type_of(&color) == TYPE_TUPLE;
  uint32_t clear = has_color ? to_color(&color) : 0;
  d2d::draw_ctx ctx;
  d2d::draw_begin_window(ctx, hwnd, layered, has_color ? &clear : nullptr);
  run_drawing(ctx, report, [&] {
    // The face's own content under the commands.
    cell img = object_field(&face, "image"), size = object_field(&face, "size");
    if (type_of(&img) == TYPE_IMAGE && img.w2 && ctx.dc && (type_of(&size) == TYPE_PAIR || type_of(&size) == TYPE_POINT2D)) {
      float sw = type_of(&size) == TYPE_PAIR ? float(pair::x_of(&size)) : kez::point::coordinate(&size, 0);
      float sh = type_of(&size) == TYPE_PAIR ? float(pair::y_of(&size)) : kez::point::coordinate(&size, 1);
      if (cairo_surface_t* src = image_os::get_source(img.w2))
        d2d::draw_image(ctx, src, float(image::width_of(&img)), float(image::height_of(&img)), {{0, 0}, {sw, sh}}, {});
    }
    cell text = object_field(&face, "text"), type = object_field(&face, "type");
    if (type_of(&text) == TYPE_STRING && !word_is(&type, "window")) {
      cell font = object_field(&face, "font");
      collector::root_cells keep_font(&font);
      uint32_t c;
      ctx.s.text_color = text_box::font_color(&font, &c) ? c : win::GetSysColor(win::COLOR_WINDOWTEXT);
      text_box::draw_face(ctx, {0, 0}, &face);
      ctx.s.text_color = 0;
    }
    if (type_of(&blk) == TYPE_BLOCK) parse_block(ctx, &blk, report);
    if (after) after(ctx, data);
  });
}

}  // namespace kez::gui::draw
