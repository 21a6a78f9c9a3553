// The drawing context of the draw dialect and its primitives over the 2D
// layer: pens and fills (solid, gradients, bitmaps and patterns), stroke
// styles, shapes, text, images, clips, transformations, saved state and
// shadows.
//
// Invariants:
// - A context draws only between draw_begin and draw_end, and only when it
//   has a device context: a context without a target draws nothing.
// - Brush kinds: 0 off, 1 solid, 2 gradient with its own geometry, 3
//   gradient fitted to each shape, 4 image brush (bitmap or pattern); kinds 3
//   and 4 are re-anchored to every shape they paint and put back after.
// - A saved state is a full copy of the pen-to-shadows fields, the shadow
//   chain included, so a restore never reads a record freed after the save.
// - Clips pushed inside a saved state are popped by its restore; draw_end
//   pops the rest.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/gfx/draw.h"
#include "platform/gfx/text.h"
#include "platform/win/win.h"
#include "runtime/cell.h"

namespace kez::gui::d2d {

// 0xAABBGGRR (top byte transparency) as a colour of four floats.
gfx::color to_color(uint32_t abgr);

enum brush_kind : int { KIND_OFF = 0, KIND_SOLID = 1, KIND_GRADIENT = 2, KIND_FITTED = 3, KIND_IMAGE = 4 };
enum gradient_type : int { GRAD_NONE = 0, GRAD_LINEAR, GRAD_RADIAL, GRAD_DIAMOND };
constexpr int MAX_GRADIENT_STOPS = 256;
constexpr int AXIS_CLIP_LEVELS = 32;

struct shadow {
  float offset_x = 0, offset_y = 0, blur = 0, spread = 0;
  uint32_t color = 0;
  bool inset = false;
};

// The fields a saved state copies: from the pen brush to the shadows.
struct paint_state {
  std::shared_ptr<gfx::brush> pen, fill;
  gfx::stroke_style stroke;
  std::shared_ptr<gfx::text_format> text_format;
  int pen_kind = KIND_SOLID, fill_kind = KIND_OFF, pen_kind_kept = KIND_SOLID;
  uint32_t pen_color = 0, fill_color = 0, text_color = 0;
  int pen_gradient = GRAD_NONE, fill_gradient = GRAD_NONE;
  float line_width = 1;
  gfx::point pen_fit, fill_fit;
  int clip_depth = 0;
  uint32_t axis_clip_bits = 0;
  bool font_color = false;
  std::vector<shadow> shadows;  // empty: no shadow set
};

struct saved_state {
  bool valid = false;  // false: the save failed, its restore changes nothing
  gfx::drawing_state drawing;
  paint_state paint;
};

struct draw_ctx {
  std::unique_ptr<gfx::device_context> dc;  // null: nothing is drawn
  paint_state s;
  // The target image, a cell the caller roots (its node moves with the
  // collector), or null.
  const cell* image = nullptr;
  win::HWND hwnd = 0;       // the target window, or 0
  bool layered = false;     // the caller copies the window's buffer out itself
  // The shape being built (shape sub-dialect).
  std::unique_ptr<gfx::path_geometry> shape;
  bool shape_paints = false;
  bool figure_open = false;
  gfx::point shape_point, last_control;
  bool last_curve = false;
};

// A window's render target: its own surface seen at its client area, made
// on first use and made again when the window's surface or client size
// changed. It is also the layered buffer.
struct render_target {
  win::HWND hwnd = 0;
  cairo_surface_t* window_surface = nullptr;  // the surface the bitmap lies on (not owned)
  cairo_surface_t* bitmap = nullptr;          // owned
  int width = 0, height = 0;
};
render_target* get_window_target(win::HWND hwnd);
void release_window_target(win::HWND hwnd);
void release_all_targets();
// The window's last frame (its client area), null when it has none.
cairo_surface_t* get_layered_buffer(win::HWND hwnd);

// Starts a drawing on a window: its DPI, its client area, cleared to the
// colour given (or transparent). The frame is shown at the end unless
// layered.
void draw_begin_window(draw_ctx& ctx, win::HWND hwnd, bool layered, const uint32_t* clear_color);

// Starts a drawing on an image's pixels: defaults, identity transform, a
// clip to the image. Without a usable target the context stays without one.
void draw_begin(draw_ctx& ctx, const cell* image, uint32_t width, uint32_t height);
// Ends it: pops every clip, flushes, marks the image drawn, frees the state.
void draw_end(draw_ctx& ctx);

// Pens, brushes and stroke.
void set_pen_color(draw_ctx& ctx, uint32_t color, bool off);
void set_fill_color(draw_ctx& ctx, uint32_t color, bool off);
void set_line_width(draw_ctx& ctx, float width);
void set_line_join(draw_ctx& ctx, int join);
void set_line_cap(draw_ctx& ctx, int cap);
void set_line_pattern(draw_ctx& ctx, const std::vector<float>& dashes);

struct gradient_stop_spec {
  uint32_t color;
  std::optional<float> offset;
};
// The stop table of a gradient: positions as given or spread evenly.
std::vector<gfx::gradient_stop> make_stops(const std::vector<gradient_stop_spec>& stops);
enum spread_mode : int { SPREAD_PAD = 0, SPREAD_REPEAT = 1, SPREAD_REFLECT = 2 };
// The stop-list form: points holds the geometry when given (linear: two
// points; radial: centre, then focal; diamond: as radial), radius for
// radial.
void set_gradient_pen(draw_ctx& ctx, int type, const std::vector<gradient_stop_spec>& stops,
                      const std::vector<gfx::point>& points, float radius, bool has_radius, int spread, bool fill);
// The positional form.
void make_gradient_brush(draw_ctx& ctx, int type, gfx::point offset, float start, float stop,
                         const std::vector<float>& extras, const std::vector<gradient_stop_spec>& stops, bool fill);
enum tile_mode : int { TILE = 0, FLIP_X, FLIP_Y, FLIP_XY, CLAMP };
// An image brush of a surface (a reference is taken): the tile is the
// source rectangle from start to end, else the whole size.
void make_bitmap_brush(draw_ctx& ctx, cairo_surface_t* source, float width, float height,
                       const std::optional<gfx::point>& start, const std::optional<gfx::point>& end, int tile,
                       bool fill);
void brush_off(draw_ctx& ctx, bool fill);

// Shapes.
void set_anti_alias(draw_ctx& ctx, bool on);
void draw_line(draw_ctx& ctx, const std::vector<gfx::point>& points);
void draw_polyline(draw_ctx& ctx, const std::vector<gfx::point>& points, bool closed);
void draw_box(draw_ctx& ctx, gfx::point a, gfx::point b, float radius);
void draw_ellipse_shape(draw_ctx& ctx, float x, float y, float width, float height);
void draw_arc(draw_ctx& ctx, gfx::point centre, gfx::point radii, float start, float sweep, bool closed);
void draw_curve(draw_ctx& ctx, const std::vector<gfx::point>& points);
void draw_spline(draw_ctx& ctx, const std::vector<gfx::point>& points, bool closed);
// Fills and strokes a finished geometry with the current brushes.
void draw_geometry(draw_ctx& ctx, const gfx::path_geometry& g);

// Text and images.
void set_font(draw_ctx& ctx, std::shared_ptr<gfx::text_format> format, std::optional<uint32_t> color);
// Draws UTF-16 text at the point, or (layout given) a finished layout.
void draw_text(draw_ctx& ctx, gfx::point at, std::u16string_view text);
void draw_layout(draw_ctx& ctx, gfx::point at, gfx::text_layout& layout);
// The image's pixels into the destination given by 0 to 4 points; a crop
// takes the source area at crop_offset of crop_size.
void draw_image(draw_ctx& ctx, cairo_surface_t* image, float width, float height,
                const std::vector<gfx::point>& points, const std::optional<gfx::rect>& crop);
// The projective matrix that maps (0,0)-(w,h) onto the four corners.
gfx::matrix4 image_corner_matrix(gfx::size size, gfx::point upper_left, gfx::point upper_right,
                                 gfx::point lower_left, gfx::point lower_right);

// Clips, transformations, saved state, shadows.
void push_clip_rect(draw_ctx& ctx, gfx::rect r);
void push_clip_shape(draw_ctx& ctx, const gfx::path_geometry& g);
void pop_clip(draw_ctx& ctx);
saved_state push_state(draw_ctx& ctx);
void pop_state(draw_ctx& ctx, saved_state& saved);
enum transform_target : int { TARGET_DRAWING = 0, TARGET_PEN = 1, TARGET_FILL = 2 };
// Combines the target's matrix with m (prepend), or replaces it.
void apply_matrix(draw_ctx& ctx, int target, const gfx::matrix& m);
void reset_matrix(draw_ctx& ctx, int target);
void invert_matrix(draw_ctx& ctx, int target);
void set_shadow(draw_ctx& ctx, const shadow& s);
void shadows_off(draw_ctx& ctx);

}  // namespace kez::gui::d2d
