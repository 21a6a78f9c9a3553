#include "runtime/image_os.h"

#include <cairo.h>

#include <algorithm>
#include <cstring>
#include <new>
#include <vector>

#include "platform/image.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/error.h"
#include "runtime/error_ids.h"
#include "runtime/handles.h"
#include "runtime/memory.h"

namespace kez::image_os {

namespace {

// The record's native part, the pointer of its handle.
struct native {
  uint32_t* pixels;           // the base bitmap
  cairo_surface_t* drawable;  // premultiplied copy that drawing targets, or null
  cairo_surface_t* cached;    // the draw backend's device bitmap, or null
  uint32_t width, height;
};

void release(void* pointer) {
  auto* n = static_cast<native*>(pointer);
  if (!n) return;
  image_codecs::release_pixels(n->pixels);
  if (n->drawable) cairo_surface_destroy(n->drawable);
  if (n->cached) cairo_surface_destroy(n->cached);
  delete n;
}

uint32_t ensure_kind() {
  uint32_t k = handles::kind_named("image");
  return k ? k : handles::register_type("image", release);
}

[[noreturn]] void bad_media() { error::fire(err::cat_access, err::access::bad_media); }
[[noreturn]] void no_memory() { error::fire(err::cat_internal, err::internal::no_memory); }

native* native_of(uint32_t node) {
  record* r = record_of(node);
  return r->handle < 0 ? nullptr : static_cast<native*>(handles::pointer(r->handle));
}

uint32_t premultiply(uint32_t p) {
  uint32_t a = p >> 24;
  if (a == 255) return p;
  auto scale = [a](uint32_t c) { return (c * a + 127) / 255; };
  return a << 24 | scale(p >> 16 & 255) << 16 | scale(p >> 8 & 255) << 8 | scale(p & 255);
}

uint32_t unpremultiply(uint32_t p) {
  uint32_t a = p >> 24;
  if (a == 255) return p;
  if (a == 0) return 0;
  auto scale = [a](uint32_t c) { return std::min<uint32_t>(255, (c * 255 + a / 2) / a); };
  return a << 24 | scale(p >> 16 & 255) << 16 | scale(p >> 8 & 255) << 8 | scale(p & 255);
}

// Copies between the base bitmap and the drawable, converting the alpha.
void base_to_drawable(native* n) {
  cairo_surface_flush(n->drawable);
  uint8_t* data = cairo_image_surface_get_data(n->drawable);
  int stride = cairo_image_surface_get_stride(n->drawable);
  for (uint32_t y = 0; y < n->height; ++y) {
    auto* row = reinterpret_cast<uint32_t*>(data + size_t(y) * size_t(stride));
    const uint32_t* from = n->pixels + size_t(y) * n->width;
    for (uint32_t x = 0; x < n->width; ++x) row[x] = premultiply(from[x]);
  }
  cairo_surface_mark_dirty(n->drawable);
}

void drawable_to_base(native* n) {
  cairo_surface_flush(n->drawable);
  const uint8_t* data = cairo_image_surface_get_data(n->drawable);
  int stride = cairo_image_surface_get_stride(n->drawable);
  for (uint32_t y = 0; y < n->height; ++y) {
    auto* row = reinterpret_cast<const uint32_t*>(data + size_t(y) * size_t(stride));
    uint32_t* to = n->pixels + size_t(y) * n->width;
    for (uint32_t x = 0; x < n->width; ++x) to[x] = unpremultiply(row[x]);
  }
}

void drop_cache(native* n) {
  if (n->cached) cairo_surface_destroy(n->cached);
  n->cached = nullptr;
}

// The base bitmap with the current pixels (image-os/get-bitmap).
native* current_base(uint32_t node) {
  native* n = native_of(node);
  if (!n) bad_media();
  record* r = record_of(node);
  if (r->flags & DRAWN) r->flags &= ~uint32_t(DRAWN | BASE_CURRENT);
  if (!(r->flags & BASE_CURRENT)) {
    if (n->drawable) drawable_to_base(n);
    r->flags |= BASE_CURRENT;
  }
  return n;
}

// Which pixel of a side of `from` pixels a side of `to` pixels samples:
// the one under each target pixel's centre.
uint32_t nearest(uint32_t i, uint32_t from, uint32_t to) {
  return uint32_t((uint64_t(i) * 2 + 1) * from / (uint64_t(to) * 2));
}

uint32_t* new_pixels(uint32_t width, uint32_t height) {
  uint32_t* p = image_codecs::allocate_pixels(width, height, false);
  if (!p) no_memory();
  return p;
}

}  // namespace

void init() { ensure_kind(); }
uint32_t kind() { return ensure_kind(); }

record* record_of(uint32_t node) { return reinterpret_cast<record*>(memory::buffer_of(node)->head_ptr()); }

uint32_t make_record(uint32_t* pixels, uint32_t width, uint32_t height) {
  auto* n = new (std::nothrow) native{pixels, nullptr, nullptr, width, height};
  if (!n) {
    image_codecs::release_pixels(pixels);
    no_memory();
  }
  // The native part enters the handle table only after the record exists:
  // a collection inside this allocation would sweep an unreached handle.
  uint32_t node = memory::alloc_bytes(sizeof(record));
  record* r = record_of(node);
  *r = record{BASE_CURRENT, pack_size(width, height), handles::store(n, ensure_kind()), {0, 0, 0}};
  return node;
}

uint32_t* lock_pixels(uint32_t node, bool write) {
  native* n = current_base(node);
  if (write) record_of(node)->flags |= BASE_WRITTEN;
  return n->pixels;
}

uint32_t get_pixel(uint32_t node, uint32_t index) { return lock_pixels(node, false)[index]; }
void set_pixel(uint32_t node, uint32_t index, uint32_t value) { lock_pixels(node, true)[index] = value; }

cairo_surface_t* get_source(uint32_t node) {
  native* n = current_base(node);
  record* r = record_of(node);
  if (n->drawable && !(r->flags & BASE_WRITTEN) && (r->flags & PREMULTIPLIED)) return n->drawable;
  if (!n->drawable) {
    cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, int(n->width), int(n->height));
    if (cairo_surface_status(s) != CAIRO_STATUS_SUCCESS) {
      cairo_surface_destroy(s);
      no_memory();
    }
    n->drawable = s;
  }
  base_to_drawable(n);
  drop_cache(n);
  r->flags = (r->flags & ~uint32_t(BASE_WRITTEN | DRAWABLE)) | PREMULTIPLIED;
  return n->drawable;
}

// The base bitmap stays current until the drawing ends: making an image
// drawable and not drawing into it never costs a premultiplied round trip.
cairo_surface_t* make_drawable(uint32_t node) {
  cairo_surface_t* s = get_source(node);
  record_of(node)->flags |= DRAWABLE | PREMULTIPLIED;
  return s;
}

void end_drawing(uint32_t node) {
  native* n = native_of(node);
  if (!n) return;
  record_of(node)->flags |= DRAWN;
  drop_cache(n);
}

uint32_t create_bitmap(uint32_t width, uint32_t height, const uint8_t* rgb, uint32_t rgb_length,
                       const uint8_t* alpha, uint32_t alpha_length, const uint32_t* colour) {
  if (width == 0 || height == 0) return 0;
  uint32_t* p = new_pixels(width, height);
  size_t count = size_t(width) * height;
  if (colour) {
    std::fill(p, p + count, *colour);
  } else {
    size_t rgb_pixels = rgb ? rgb_length / 3 : 0;
    for (size_t i = 0; i < count; ++i) {
      uint32_t px = 0x00FFFFFF;
      if (i < rgb_pixels) px = uint32_t(rgb[i * 3]) << 16 | uint32_t(rgb[i * 3 + 1]) << 8 | rgb[i * 3 + 2];
      uint32_t a = alpha && i < alpha_length ? 255u - alpha[i] : 255u;
      p[i] = a << 24 | px;
    }
  }
  return make_record(p, width, height);
}

uint32_t from_memory(uint32_t width, uint32_t height, uint32_t stride, const uint8_t* pixels) {
  if (width == 0 || height == 0) return 0;
  if (stride == 0) stride = width * 4;
  uint32_t* p = new_pixels(width, height);
  for (uint32_t y = 0; y < height; ++y) std::memcpy(p + size_t(y) * width, pixels + size_t(y) * stride, size_t(width) * 4);
  return make_record(p, width, height);
}

uint32_t flip_vertical(uint32_t node) {
  uint32_t size = record_of(node)->size, w = width_q(size), h = height_q(size);
  uint32_t* p = new_pixels(w, h);
  const uint32_t* from = lock_pixels(node, false);
  for (uint32_t y = 0; y < h; ++y) std::memcpy(p + size_t(h - 1 - y) * w, from + size_t(y) * w, size_t(w) * 4);
  return make_record(p, w, h);
}

uint32_t resize(uint32_t node, uint32_t width, uint32_t height) {
  if (width == 0 || height == 0) return 0;
  uint32_t size = record_of(node)->size, w = width_q(size), h = height_q(size);
  uint32_t* p = new_pixels(width, height);
  const uint32_t* from = lock_pixels(node, false);
  for (uint32_t y = 0; y < height; ++y) {
    const uint32_t* row = from + size_t(nearest(y, h, height)) * w;
    for (uint32_t x = 0; x < width; ++x) p[size_t(y) * width + x] = row[nearest(x, w, width)];
  }
  return make_record(p, width, height);
}

uint32_t copy_region(uint32_t node, uint32_t x, uint32_t y, uint32_t width, uint32_t height) {
  uint32_t size = record_of(node)->size, w = width_q(size), h = height_q(size);
  if (x >= w || y >= h) return 0;
  width = std::min(width, w - x);
  height = std::min(height, h - y);
  if (width == 0 || height == 0) return 0;
  uint32_t* p = new_pixels(width, height);
  const uint32_t* from = lock_pixels(node, false);
  for (uint32_t row = 0; row < height; ++row)
    std::memcpy(p + size_t(row) * width, from + size_t(y + row) * w + x, size_t(width) * 4);
  return make_record(p, width, height);
}

uint32_t copy(uint32_t node) {
  uint32_t size = record_of(node)->size;
  return copy_region(node, 0, 0, width_q(size), height_q(size));
}

uint32_t decode_memory(const uint8_t* bytes, uint32_t length) {
  image_codecs::bitmap b;
  if (!image_codecs::decode(bytes, length, b)) return 0;
  return make_record(b.pixels, b.width, b.height);
}

uint32_t load_file(const char* path, bool* too_large) {
  image_codecs::bitmap b;
  image_codecs::load_status status = image_codecs::load_file(path, b);
  if (too_large) *too_large = status == image_codecs::LOAD_TOO_LARGE;
  if (status != image_codecs::LOAD_OK) return 0;
  return make_record(b.pixels, b.width, b.height);
}

cell* encode(cell* result, const cell* image, int32_t format) {
  if (format < image_codecs::FORMAT_BMP || format > image_codecs::FORMAT_TIFF) {
    cell code{TYPE_INTEGER, 0, uint32_t(format), 0};
    error::fire(err::cat_script, err::script::invalid_arg, &code);
  }
  uint32_t node = image->w2;
  if (!node || width_q(image->w3) == 0 || height_q(image->w3) == 0) return binary::make_at(result, 0);
  uint32_t size = record_of(node)->size;
  std::vector<uint8_t> out;
  bool ok;
  try {
    ok = image_codecs::encode(format, width_q(size), height_q(size), lock_pixels(node, false), out);
  } catch (const std::bad_alloc&) {
    ok = false;
  }
  if (!ok || out.size() > 0x7FFFFFF0u) bad_media();
  return binary::load_at(result, out.data(), uint32_t(out.size()));
}

cairo_surface_t* get_cached_bitmap(uint32_t node) {
  native* n = native_of(node);
  if (!n || !n->cached) return nullptr;
  record_of(node)->flags |= CACHE_USED;
  return cairo_surface_reference(n->cached);
}

// Storing counts as a use: the bitmap lives through the next collection.
void set_cached_bitmap(uint32_t node, cairo_surface_t* bitmap) {
  native* n = native_of(node);
  if (!n) return;
  if (bitmap) cairo_surface_reference(bitmap);
  drop_cache(n);
  n->cached = bitmap;
  record_of(node)->flags |= CACHE_USED;
}

void drop_cached_bitmap(uint32_t node) {
  if (native* n = native_of(node)) drop_cache(n);
}

void mark(uint32_t node) {
  record* r = record_of(node);
  if (r->handle < 0 || !handles::mark(r->handle, nullptr)) return;
  if (r->flags & CACHE_USED) {
    r->flags &= ~uint32_t(CACHE_USED);
    return;
  }
  if (native* n = static_cast<native*>(handles::pointer(r->handle))) drop_cache(n);
}

void free_record(uint32_t node) {
  record* r = record_of(node);
  if (r->handle >= 0) handles::release(r->handle, true);
  r->handle = -1;
}

}  // namespace kez::image_os
