// The effects cairo has no form of: blur, shadows, scaling for spread,
// per-axis tiling and perspective bitmaps. All work on premultiplied ARGB32.
#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "platform/gfx/draw.h"

namespace kez::gfx {

namespace {

struct pixels {
  int width, height, stride;
  uint8_t* data;
};

pixels view(cairo_surface_t* s) {
  cairo_surface_flush(s);
  return {cairo_image_surface_get_width(s), cairo_image_surface_get_height(s), cairo_image_surface_get_stride(s),
          cairo_image_surface_get_data(s)};
}

// An ARGB32 image copy of any surface (recording surfaces are replayed at
// their device scale), with the source's device scale.
cairo_surface_t* as_image(cairo_surface_t* s, int margin) {
  double sx = 1, sy = 1;
  cairo_surface_get_device_scale(s, &sx, &sy);
  int w = 0, h = 0;
  if (cairo_surface_get_type(s) == CAIRO_SURFACE_TYPE_IMAGE) {
    w = cairo_image_surface_get_width(s);
    h = cairo_image_surface_get_height(s);
  } else {
    cairo_rectangle_t e;
    if (cairo_recording_surface_get_extents(s, &e)) w = int(std::ceil(e.width * sx)), h = int(std::ceil(e.height * sy));
  }
  cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w + 2 * margin, h + 2 * margin);
  cairo_t* cr = cairo_create(out);
  cairo_scale(cr, sx, sy);
  cairo_set_source_surface(cr, s, margin / sx, margin / sy);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_set_device_scale(out, sx, sy);
  return out;
}

std::vector<float> kernel(float sigma, int radius) {
  std::vector<float> k(size_t(2 * radius + 1));
  double sum = 0;
  for (int i = -radius; i <= radius; ++i) sum += k[size_t(i + radius)] = float(std::exp(-0.5 * i * i / (sigma * sigma)));
  for (float& v : k) v = float(v / sum);
  return k;
}

// One pass of a separable convolution over the four channels; pixels
// outside the surface are transparent.
void convolve(const pixels& from, pixels& to, const std::vector<float>& k, bool horizontal) {
  int radius = int(k.size() / 2);
  for (int y = 0; y < from.height; ++y) {
    auto* out = reinterpret_cast<uint32_t*>(to.data + size_t(y) * size_t(to.stride));
    for (int x = 0; x < from.width; ++x) {
      float acc[4] = {0, 0, 0, 0};
      for (int i = -radius; i <= radius; ++i) {
        int sx = horizontal ? x + i : x, sy = horizontal ? y : y + i;
        if (sx < 0 || sy < 0 || sx >= from.width || sy >= from.height) continue;
        uint32_t p = reinterpret_cast<const uint32_t*>(from.data + size_t(sy) * size_t(from.stride))[sx];
        if (!p) continue;
        float w = k[size_t(i + radius)];
        for (int c = 0; c < 4; ++c) acc[c] += w * float(p >> (8 * c) & 255);
      }
      uint32_t r = 0;
      for (int c = 0; c < 4; ++c) r |= uint32_t(std::clamp(std::lround(acc[c]), 0L, 255L)) << (8 * c);
      out[x] = r;
    }
  }
}

}  // namespace

cairo_surface_t* gaussian_blur(cairo_surface_t* source, float std_dev, int* margin) {
  int m = std_dev > 0 ? int(std::ceil(3 * std_dev)) : 0;
  if (margin) *margin = m;
  cairo_surface_t* a = as_image(source, m);
  if (m == 0) return a;
  cairo_surface_t* b = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, cairo_image_surface_get_width(a),
                                                  cairo_image_surface_get_height(a));
  std::vector<float> k = kernel(std_dev, m);
  pixels pa = view(a), pb = view(b);
  convolve(pa, pb, k, true);
  convolve(pb, pa, k, false);
  cairo_surface_destroy(b);
  cairo_surface_mark_dirty(a);
  return a;
}

cairo_surface_t* shadow(cairo_surface_t* source, float std_dev, color c, int* margin) {
  cairo_surface_t* s = gaussian_blur(source, std_dev, margin);
  pixels p = view(s);
  for (int y = 0; y < p.height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(p.data + size_t(y) * size_t(p.stride));
    for (int x = 0; x < p.width; ++x) {
      float a = float(row[x] >> 24) / 255.0f * c.a;
      auto ch = [a](float v) { return uint32_t(std::lround(v * a * 255)); };
      row[x] = uint32_t(std::lround(a * 255)) << 24 | ch(c.r) << 16 | ch(c.g) << 8 | ch(c.b);
    }
  }
  cairo_surface_mark_dirty(s);
  return s;
}

cairo_surface_t* scale_bitmap(cairo_surface_t* source, float sx, float sy) {
  cairo_surface_t* src = as_image(source, 0);
  int w = cairo_image_surface_get_width(src), h = cairo_image_surface_get_height(src);
  double dsx = 1, dsy = 1;
  cairo_surface_get_device_scale(src, &dsx, &dsy);
  cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, std::max(1, int(std::ceil(w * sx - 1e-4))),
                                                    std::max(1, int(std::ceil(h * sy - 1e-4))));
  cairo_t* cr = cairo_create(out);
  cairo_scale(cr, sx, sy);
  cairo_surface_set_device_scale(src, 1, 1);
  cairo_set_source_surface(cr, src, 0, 0);
  cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
  cairo_paint(cr);
  cairo_destroy(cr);
  cairo_surface_destroy(src);
  cairo_surface_set_device_scale(out, dsx, dsy);
  return out;
}

cairo_surface_t* per_axis_tile(cairo_surface_t* image, extend_mode x, extend_mode y) {
  cairo_surface_t* src = as_image(image, 0);
  double dsx = 1, dsy = 1;
  cairo_surface_get_device_scale(src, &dsx, &dsy);
  cairo_surface_set_device_scale(src, 1, 1);
  int w = cairo_image_surface_get_width(src), h = cairo_image_surface_get_height(src);
  int nx = x == extend_mode::mirror ? 2 : 1, ny = y == extend_mode::mirror ? 2 : 1;
  cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, w * nx, h * ny);
  cairo_t* cr = cairo_create(out);
  for (int j = 0; j < ny; ++j)
    for (int i = 0; i < nx; ++i) {
      cairo_save(cr);
      // The second copy along a mirrored axis is the first one flipped.
      cairo_translate(cr, i ? 2.0 * w : 0, j ? 2.0 * h : 0);
      cairo_scale(cr, i ? -1 : 1, j ? -1 : 1);
      cairo_set_source_surface(cr, src, 0, 0);
      cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_NEAREST);
      cairo_paint(cr);
      cairo_restore(cr);
    }
  cairo_destroy(cr);
  cairo_surface_destroy(src);
  cairo_surface_set_device_scale(out, dsx, dsy);
  return out;
}

void draw_perspective(cairo_t* cr, cairo_surface_t* source, const matrix4& to_user, float opacity) {
  cairo_surface_t* src = as_image(source, 0);
  double dsx = 1, dsy = 1;
  cairo_surface_get_device_scale(src, &dsx, &dsy);
  pixels sp = view(src);
  if (sp.width == 0 || sp.height == 0) return cairo_surface_destroy(src);
  // Source pixels -> source units -> user space (identity transform) ->
  // device pixels (the target's scale and offset).
  cairo_save(cr);
  cairo_identity_matrix(cr);
  double ox = 0, oy = 0, ux = 1, uy = 0, vx = 0, vy = 1;
  cairo_user_to_device(cr, &ox, &oy);
  cairo_user_to_device(cr, &ux, &uy);
  cairo_user_to_device(cr, &vx, &vy);
  matrix4 pixel_scale, device;
  pixel_scale.m[0][0] = float(1 / dsx);
  pixel_scale.m[1][1] = float(1 / dsy);
  device.m[0][0] = float(ux - ox); device.m[0][1] = float(uy - oy);
  device.m[1][0] = float(vx - ox); device.m[1][1] = float(vy - oy);
  device.m[3][0] = float(ox); device.m[3][1] = float(oy);
  matrix4 full = pixel_scale * to_user * device;
  // The projective 3x3 part: rows x, y, w; columns x, y, w.
  double h[3][3] = {{full.m[0][0], full.m[0][1], full.m[0][3]},
                    {full.m[1][0], full.m[1][1], full.m[1][3]},
                    {full.m[3][0], full.m[3][1], full.m[3][3]}};
  double minx = 1e30, miny = 1e30, maxx = -1e30, maxy = -1e30;
  const double corners[4][2] = {{0, 0}, {double(sp.width), 0}, {double(sp.width), double(sp.height)}, {0, double(sp.height)}};
  for (auto& c : corners) {
    double w = c[0] * h[0][2] + c[1] * h[1][2] + h[2][2];
    if (w <= 1e-9) {  // a corner behind the eye: nothing sensible to draw
      cairo_restore(cr);
      return cairo_surface_destroy(src);
    }
    double x = (c[0] * h[0][0] + c[1] * h[1][0] + h[2][0]) / w, y = (c[0] * h[0][1] + c[1] * h[1][1] + h[2][1]) / w;
    minx = std::min(minx, x), maxx = std::max(maxx, x), miny = std::min(miny, y), maxy = std::max(maxy, y);
  }
  double cx1, cy1, cx2, cy2;  // only the pixels the clip lets through
  cairo_clip_extents(cr, &cx1, &cy1, &cx2, &cy2);
  cairo_user_to_device(cr, &cx1, &cy1);
  cairo_user_to_device(cr, &cx2, &cy2);
  int x0 = int(std::floor(std::max(minx, std::min(cx1, cx2)))), y0 = int(std::floor(std::max(miny, std::min(cy1, cy2))));
  int x1 = int(std::ceil(std::min(maxx, std::max(cx1, cx2)))), y1 = int(std::ceil(std::min(maxy, std::max(cy1, cy2))));
  if (x1 <= x0 || y1 <= y0 || x1 - x0 > 32768 || y1 - y0 > 32768) {
    cairo_restore(cr);
    return cairo_surface_destroy(src);
  }
  // The inverse (adjugate is enough: the scale cancels in the division).
  double inv[3][3];
  inv[0][0] = h[1][1] * h[2][2] - h[1][2] * h[2][1];
  inv[0][1] = h[0][2] * h[2][1] - h[0][1] * h[2][2];
  inv[0][2] = h[0][1] * h[1][2] - h[0][2] * h[1][1];
  inv[1][0] = h[1][2] * h[2][0] - h[1][0] * h[2][2];
  inv[1][1] = h[0][0] * h[2][2] - h[0][2] * h[2][0];
  inv[1][2] = h[0][2] * h[1][0] - h[0][0] * h[1][2];
  inv[2][0] = h[1][0] * h[2][1] - h[1][1] * h[2][0];
  inv[2][1] = h[0][1] * h[2][0] - h[0][0] * h[2][1];
  inv[2][2] = h[0][0] * h[1][1] - h[0][1] * h[1][0];
  cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, x1 - x0, y1 - y0);
  pixels op = view(out);
  auto texel = [&](int x, int y) -> uint32_t {
    if (x < 0 || y < 0 || x >= sp.width || y >= sp.height) return 0;
    return reinterpret_cast<const uint32_t*>(sp.data + size_t(y) * size_t(sp.stride))[x];
  };
  for (int py = y0; py < y1; ++py) {
    auto* row = reinterpret_cast<uint32_t*>(op.data + size_t(py - y0) * size_t(op.stride));
    for (int px = x0; px < x1; ++px) {
      double dx = px + 0.5, dy = py + 0.5;
      double w = dx * inv[0][2] + dy * inv[1][2] + inv[2][2];
      if (std::fabs(w) < 1e-12) continue;
      double sx = (dx * inv[0][0] + dy * inv[1][0] + inv[2][0]) / w - 0.5;
      double sy = (dx * inv[0][1] + dy * inv[1][1] + inv[2][1]) / w - 0.5;
      if (sx < -1 || sy < -1 || sx > sp.width || sy > sp.height) continue;
      // Bilinear over premultiplied texels; outside texels are transparent,
      // which gives the edges their coverage.
      int ix = int(std::floor(sx)), iy = int(std::floor(sy));
      double fx = sx - ix, fy = sy - iy;
      uint32_t t[4] = {texel(ix, iy), texel(ix + 1, iy), texel(ix, iy + 1), texel(ix + 1, iy + 1)};
      double wt[4] = {(1 - fx) * (1 - fy), fx * (1 - fy), (1 - fx) * fy, fx * fy};
      uint32_t r = 0;
      for (int c = 0; c < 4; ++c) {
        double v = 0;
        for (int k = 0; k < 4; ++k) v += wt[k] * double(t[k] >> (8 * c) & 255);
        r |= uint32_t(std::clamp(std::lround(v), 0L, 255L)) << (8 * c);
      }
      row[px - x0] = r;
    }
  }
  cairo_surface_mark_dirty(out);
  // Paint in device pixels: user space is made equal to device space.
  cairo_matrix_t to_device;
  cairo_matrix_init(&to_device, ux - ox, uy - oy, vx - ox, vy - oy, ox, oy);
  cairo_matrix_invert(&to_device);
  cairo_set_matrix(cr, &to_device);
  cairo_set_source_surface(cr, out, x0, y0);
  cairo_paint_with_alpha(cr, opacity);
  cairo_restore(cr);
  cairo_surface_destroy(out);
  cairo_surface_destroy(src);
}

}  // namespace kez::gfx
