// 2D drawing over cairo, shaped like the objects the draw backend works
// with: device contexts over a target surface with a DPI, brushes, stroke
// styles, path geometries, clips and layers, 2x3 transforms, saved state.
//
// Invariants:
// - Coordinates are device-independent pixels (1/96 inch); a context maps
//   them to the target's pixels with its DPI. A surface made here for an
//   offscreen bitmap carries its DPI as cairo's device scale, so it draws at
//   its own size in DIPs wherever it is used as a source.
// - The context keeps the transform and the anti-alias modes itself and sets
//   them on cairo before each drawing call: popping a clip never undoes a
//   transform set after the clip was pushed.
// - Clips and layers nest LIFO together; end_draw pops what is left.
// - Brushes are shared (reference counted) and may be changed after they
//   were handed to a context; their cairo pattern is rebuilt on next use.
// - Colours are straight alpha; surfaces hold premultiplied ARGB32.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

typedef struct _cairo cairo_t;
typedef struct _cairo_surface cairo_surface_t;
typedef struct _cairo_pattern cairo_pattern_t;

namespace kez::gfx {

struct color {
  float r = 0, g = 0, b = 0, a = 1;
};
// A colour as the backend passes it: 0xAABBGGRR, the top byte transparency.
color to_color(uint32_t abgr);

struct point {
  float x = 0, y = 0;
};
struct size {
  float width = 0, height = 0;
};
struct rect {
  float left = 0, top = 0, right = 0, bottom = 0;
  float width() const { return right - left; }
  float height() const { return bottom - top; }
};
constexpr float infinite = 3.4028235e38f;
constexpr rect infinite_rect{-infinite, -infinite, infinite, infinite};

// Row-vector affine matrix: p' = p x M, so a * b applies a first.
struct matrix {
  float m11 = 1, m12 = 0, m21 = 0, m22 = 1, dx = 0, dy = 0;
  static matrix translation(float x, float y) { return {1, 0, 0, 1, x, y}; }
  static matrix scale(float sx, float sy, point centre = {});
  static matrix rotation(float degrees, point centre = {});
  static matrix skew(float degrees_x, float degrees_y, point centre = {});
  point apply(point p) const { return {p.x * m11 + p.y * m21 + dx, p.x * m12 + p.y * m22 + dy}; }
  // False (and the matrix unchanged) when it has no inverse.
  bool invert();
};
matrix operator*(const matrix& a, const matrix& b);

// 4x4 perspective matrix, row vectors: (x, y, 0, 1) x M, then divided by w.
struct matrix4 {
  float m[4][4] = {{1, 0, 0, 0}, {0, 1, 0, 0}, {0, 0, 1, 0}, {0, 0, 0, 1}};
};
matrix4 operator*(const matrix4& a, const matrix4& b);
// The projective map of the rectangle (0, 0)-(width, height) onto the
// quadrilateral with these corners.
matrix4 quad_matrix(size source, point upper_left, point upper_right, point lower_right, point lower_left);

enum class extend_mode { clamp, wrap, mirror };
enum class interpolation { nearest, linear, cubic };

struct gradient_stop {
  float position;
  color c;
};

class brush {
 public:
  enum class kind { solid, linear, radial, image };

  static std::shared_ptr<brush> solid(color c);
  static std::shared_ptr<brush> linear(std::vector<gradient_stop> stops, extend_mode extend, point start, point end);
  // An elliptical gradient; the gradient's focus sits at centre + offset.
  static std::shared_ptr<brush> radial(std::vector<gradient_stop> stops, extend_mode extend, point centre,
                                       point origin_offset, float radius_x, float radius_y);
  // A tiled image: source is an image or recording surface (a reference is
  // taken); a source rectangle of zero size takes the whole surface.
  static std::shared_ptr<brush> image(cairo_surface_t* source, rect source_rect, extend_mode x, extend_mode y,
                                      interpolation filter = interpolation::linear);
  ~brush();
  brush(const brush&) = delete;
  brush& operator=(const brush&) = delete;

  kind type() const { return kind_; }
  void set_color(color c);
  color get_color() const { return colour_; }
  void set_opacity(float opacity);
  void set_transform(const matrix& m);
  const matrix& transform() const { return transform_; }
  // Gradient geometry, changed in place (fitting a brush to a shape).
  void set_start_point(point p);
  void set_end_point(point p);
  void set_centre(point p);
  void set_origin_offset(point p);
  void set_radius_x(float r);
  void set_radius_y(float r);
  point start_point() const { return a_; }
  point end_point() const { return b_; }
  point centre() const { return a_; }
  point origin_offset() const { return b_; }
  float radius_x() const { return rx_; }
  float radius_y() const { return ry_; }

  // The cairo source for user space, built on demand.
  cairo_pattern_t* pattern();

 private:
  brush() = default;
  void invalidate();
  kind kind_ = kind::solid;
  color colour_;
  float opacity_ = 1;
  matrix transform_;
  std::vector<gradient_stop> stops_;
  extend_mode extend_x_ = extend_mode::clamp, extend_y_ = extend_mode::clamp;
  point a_, b_;
  float rx_ = 0, ry_ = 0;
  interpolation filter_ = interpolation::linear;
  cairo_surface_t* tile_ = nullptr;  // image brushes: the tile (owned reference)
  rect tile_rect_;                   // where the tile's pattern space starts
  cairo_pattern_t* pattern_ = nullptr;
};

enum class cap_style { flat, square, round };
enum class line_join { miter, bevel, round, miter_or_bevel };

struct stroke_style {
  cap_style start_cap = cap_style::flat, end_cap = cap_style::flat, dash_cap = cap_style::flat;
  line_join join = line_join::miter;
  float miter_limit = 10;
  std::vector<float> dashes;  // in line widths; empty is a solid line
  float dash_offset = 0;      // in line widths
};
// Dash lengths in user units for a line of this width: cairo takes absolute
// lengths where the style keeps them in line widths. A zero width still
// gives non-zero lengths (hairlines keep their pattern).
std::vector<double> scaled_dashes(const std::vector<float>& dashes, float width);

enum class fill_mode { alternate, winding };
enum class figure_begin { filled, hollow };
enum class figure_end { open, closed };
enum class sweep_direction { counter_clockwise, clockwise };
enum class arc_size { small, large };

struct arc_segment {
  point end;
  size radii;
  float rotation = 0;  // degrees
  sweep_direction sweep = sweep_direction::clockwise;
  arc_size arc = arc_size::small;
};

// The centre form of an endpoint arc, as cairo draws arcs: a unit circle
// arc from angle start to angle end (radians, y down), scaled by the radii,
// rotated, and moved to the centre. Radii too small to reach the end point
// are scaled up as SVG does; a zero radius answers a straight line (ok false).
struct centre_arc {
  bool ok = false;
  point centre;
  float radius_x = 0, radius_y = 0, rotation = 0;
  double start = 0, end = 0;  // end > start for clockwise arcs
};
centre_arc arc_to_centre(point from, const arc_segment& arc);

// A path of figures; the figures are built through the sink calls, then
// the geometry is closed and read.
class path_geometry {
 public:
  void set_fill_mode(fill_mode m) { fill_mode_ = m; }
  fill_mode get_fill_mode() const { return fill_mode_; }
  void begin_figure(point start, figure_begin begin);
  void add_line(point p);
  void add_bezier(point c1, point c2, point end);
  void add_quadratic_bezier(point c, point end);
  void add_arc(const arc_segment& arc);
  void end_figure(figure_end end);
  void close() { closed_ = true; }
  bool closed() const { return closed_; }
  bool empty() const { return figures_.empty(); }

  // Appends the figures to cairo's current path. Filling takes only the
  // filled figures, and closes open ones; stroking takes all of them.
  void append_to(cairo_t* cr, bool for_fill) const;
  rect bounds(const matrix& world = {}) const;
  // The bounds of the area the stroke covers.
  rect widened_bounds(float width, const stroke_style* style, const matrix& world = {}) const;
  // Whether the fill holds the point (for tests and hit testing).
  bool fill_contains(point p, const matrix& world = {}) const;

 private:
  struct segment {
    enum { line, cubic } type;
    point c1, c2, end;
  };
  struct figure {
    point start;
    bool filled;
    bool closed = false;
    std::vector<segment> segments;
  };
  figure* current();
  point current_point() const;
  fill_mode fill_mode_ = fill_mode::alternate;
  std::vector<figure> figures_;
  bool open_ = false, closed_ = false;
};

enum class antialias_mode { per_primitive, aliased };
enum class text_antialias_mode { grayscale, cleartype, aliased };

struct drawing_state {
  matrix transform;
  antialias_mode antialias = antialias_mode::per_primitive;
  text_antialias_mode text_antialias = text_antialias_mode::grayscale;
};

struct layer_parameters {
  rect content_bounds = infinite_rect;
  const path_geometry* mask = nullptr;  // copied when the layer is pushed
  antialias_mode mask_antialias = antialias_mode::per_primitive;
  matrix mask_transform;  // applied before the world transform in force at the push
  float opacity = 1;
};

// An ARGB32 surface of width x height pixels that carries its DPI; null on
// failure. The caller owns the reference.
cairo_surface_t* make_bitmap(int width, int height, float dpi = 96);
// The drawable surface of an image! record (a new reference); the caller
// marks the image drawn into with image_os::end_drawing when done.
cairo_surface_t* image_target(uint32_t image_node);
// An unbounded recording surface: a command list that can be drawn into
// and then used as an image brush's source or drawn as an image.
cairo_surface_t* make_command_list();

class device_context {
 public:
  // Draws onto target (a reference is taken): a window's surface, an image
  // drawable, an offscreen bitmap or a command list.
  explicit device_context(cairo_surface_t* target, float dpi = 96);
  ~device_context();
  device_context(const device_context&) = delete;
  device_context& operator=(const device_context&) = delete;

  // Changes the target; clips and layers must have been popped.
  void set_target(cairo_surface_t* target);
  cairo_surface_t* target() const { return target_; }
  float dpi() const { return dpi_; }
  void set_dpi(float dpi);

  void begin_draw();
  // Pops what is still pushed and flushes; false when cairo failed.
  bool end_draw();

  void set_transform(const matrix& m) { state_.transform = m; }
  const matrix& get_transform() const { return state_.transform; }
  void set_antialias_mode(antialias_mode m) { state_.antialias = m; }
  antialias_mode get_antialias_mode() const { return state_.antialias; }
  void set_text_antialias_mode(text_antialias_mode m) { state_.text_antialias = m; }
  text_antialias_mode get_text_antialias_mode() const { return state_.text_antialias; }
  drawing_state save_drawing_state() const { return state_; }
  void restore_drawing_state(const drawing_state& s) { state_ = s; }

  void clear(color c);
  void draw_line(point a, point b, brush& pen, float width = 1, const stroke_style* style = nullptr);
  void draw_rectangle(const rect& r, brush& pen, float width = 1, const stroke_style* style = nullptr);
  void fill_rectangle(const rect& r, brush& fill);
  void draw_rounded_rectangle(const rect& r, float rx, float ry, brush& pen, float width = 1,
                              const stroke_style* style = nullptr);
  void fill_rounded_rectangle(const rect& r, float rx, float ry, brush& fill);
  void draw_ellipse(point centre, float rx, float ry, brush& pen, float width = 1, const stroke_style* style = nullptr);
  void fill_ellipse(point centre, float rx, float ry, brush& fill);
  void draw_geometry(const path_geometry& g, brush& pen, float width = 1, const stroke_style* style = nullptr);
  void fill_geometry(const path_geometry& g, brush& fill);

  // A bitmap (image or recording surface) drawn into dest from its source
  // rectangle (zero size: the whole surface, in its DIPs); with a
  // perspective the destination is mapped through it first.
  void draw_bitmap(cairo_surface_t* bitmap, const rect& dest, float opacity = 1,
                   interpolation filter = interpolation::cubic, const rect& source = {},
                   const matrix4* perspective = nullptr);
  // An image at its own size with its top-left corner at the point.
  void draw_image(cairo_surface_t* image, point at, interpolation filter = interpolation::linear);

  void push_axis_aligned_clip(const rect& r, antialias_mode mode);
  void pop_axis_aligned_clip();
  void push_layer(const layer_parameters& p);
  void pop_layer();
  int clip_depth() const { return int(stack_.size()); }

  // The cairo context with the current transform and anti-alias mode set,
  // for the text layer's drawing.
  cairo_t* prepared();
  // The context's full user-to-device matrix (DPI scale, then transform).
  matrix world() const;

 private:
  struct pushed {
    bool layer;
    rect bounds;
    std::unique_ptr<path_geometry> mask;
    matrix mask_world, content_world;
    antialias_mode mask_antialias;
    float opacity;
  };
  void paint(brush& b);
  void stroke(brush& b, float width, const stroke_style* style);
  void make_cairo();
  cairo_surface_t* target_ = nullptr;
  cairo_t* cr_ = nullptr;
  float dpi_ = 96;
  float base_ = 1;  // DIPs to the target's user units
  drawing_state state_;
  std::vector<pushed> stack_;
};

// Effects cairo has no form of, on ARGB32 image surfaces (premultiplied).
// A Gaussian blur with this standard deviation; the result is larger by
// margin pixels on every side (margin = ceil(3 sigma)). A new reference.
cairo_surface_t* gaussian_blur(cairo_surface_t* source, float std_dev, int* margin);
// The blurred shadow of the source's alpha in one colour, as gaussian_blur.
cairo_surface_t* shadow(cairo_surface_t* source, float std_dev, color c, int* margin);
// The source scaled by sx, sy into a new surface of the rounded-up size.
cairo_surface_t* scale_bitmap(cairo_surface_t* source, float sx, float sy);
// A tile that repeats as an image extended per axis does: the image, then
// mirrored beside itself along each mirrored axis. Both axes wrap or mirror
// (a clamped axis beside another mode is clamped on both).
cairo_surface_t* per_axis_tile(cairo_surface_t* image, extend_mode x, extend_mode y);
// Draws source through a perspective map from its units to cr's user space
// at the identity transform: every device pixel the quadrilateral (and the
// clip) covers is mapped back onto the source, sampled bilinearly and
// blended over the target.
void draw_perspective(cairo_t* cr, cairo_surface_t* source, const matrix4& source_to_device, float opacity);

}  // namespace kez::gfx
