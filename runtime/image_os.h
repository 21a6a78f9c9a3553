// The image layer: the record behind every image! value and the forms its
// pixels take.
//
// A record is a 24-byte series buffer, so the collector owns it: flags, size
// (width in the low 16 bits, height in the high 16) and the index of a handle
// of kind `image`. The handle's pointer is the record's native part: the
// straight-alpha pixel buffer (the base bitmap, decoded eagerly and owned),
// the drawable form (a cairo ARGB32 surface, premultiplied) and the draw
// backend's cached device bitmap. When no value reaches the record any more,
// the collector's handle sweep releases the native part.
//
// Invariants:
// - Pixel words are A << 24 | R << 16 | G << 8 | B, straight alpha, rows top
//   to bottom, 4 x width bytes each. Native code may hold a pixel pointer
//   only while it holds the image cell and does not write through the
//   drawable: pixel buffers live outside the heap and never move, but a
//   record's buffers are rebuilt when the form changes.
// - The base bitmap holds the current pixels unless the image was drawn into
//   (0x20) or made drawable since the last pixel access (0x01 clear); the
//   drawable is rebuilt from the base after a pixel write (0x02).
// - A cached device bitmap survives one collection without use and is
//   dropped at the next.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

typedef struct _cairo_surface cairo_surface_t;

namespace kez::image_os {

enum record_flag : uint32_t {
  BASE_CURRENT = 0x01,
  BASE_WRITTEN = 0x02,
  DRAWABLE = 0x08,
  PREMULTIPLIED = 0x10,
  DRAWN = 0x20,
  CACHE_USED = 0x40,
};

struct record {
  uint32_t flags;
  uint32_t size;
  int32_t handle;
  uint32_t reserved[3];
};
static_assert(sizeof(record) == 24);

// Registers the handle kind `image` (idempotent per handle table).
void init();
uint32_t kind();

record* record_of(uint32_t node);
inline uint32_t width_q(uint32_t size) { return size & 0xFFFF; }
inline uint32_t height_q(uint32_t size) { return size >> 16; }
inline uint32_t pack_size(uint32_t width, uint32_t height) { return width | height << 16; }

// A new record over `pixels` (taken over: freed with the record, or at once
// when making the record fails). Answers its node; the caller stores it in a
// rooted cell before allocating again.
uint32_t make_record(uint32_t* pixels, uint32_t width, uint32_t height);

// The straight pixels, rebuilt from the drawable when it was drawn into;
// a write access marks the drawable stale. Raises Access Error bad-media when
// the record's native part was released.
uint32_t* lock_pixels(uint32_t node, bool write);
uint32_t get_pixel(uint32_t node, uint32_t index);
void set_pixel(uint32_t node, uint32_t index, uint32_t value);

// The source in the asked form: the base bitmap's pixels for straight alpha
// (answered by lock_pixels), the drawable surface for premultiplied.
cairo_surface_t* get_source(uint32_t node);
// The surface drawing renders into; end_drawing marks the record drawn into.
cairo_surface_t* make_drawable(uint32_t node);
void end_drawing(uint32_t node);

// Constructors, each answering a node (or 0 when a side is 0): pixels filled
// from rgb bytes (then white) and transparency bytes (then opaque), or one
// colour for all; a copy of memory with a stride; a flipped, resized, copied
// or clipped image.
uint32_t create_bitmap(uint32_t width, uint32_t height, const uint8_t* rgb, uint32_t rgb_length,
                       const uint8_t* alpha, uint32_t alpha_length, const uint32_t* colour);
uint32_t from_memory(uint32_t width, uint32_t height, uint32_t stride, const uint8_t* pixels);
uint32_t flip_vertical(uint32_t node);
uint32_t resize(uint32_t node, uint32_t width, uint32_t height);  // nearest neighbour
uint32_t copy_region(uint32_t node, uint32_t x, uint32_t y, uint32_t width, uint32_t height);
uint32_t copy(uint32_t node);

// Decoders: 0 when the bytes or the file are no image we can read. The bytes
// may lie in the heap: nothing allocates in the heap before they are read.
uint32_t decode_memory(const uint8_t* bytes, uint32_t length);
uint32_t load_file(const char* path, bool* too_large = nullptr);

// The encoded file of an image as a binary! in result. A format code outside
// 0-4 raises Script Error invalid-arg; an image without pixels gives an empty
// binary; an encoder failure raises Access Error bad-media.
cell* encode(cell* result, const cell* image, int32_t format);

// The draw backend's cache slot: get marks it used and adds a reference; set
// adds a reference and stores (releasing what was there); drop releases it.
cairo_surface_t* get_cached_bitmap(uint32_t node);
void set_cached_bitmap(uint32_t node, cairo_surface_t* bitmap);
void drop_cached_bitmap(uint32_t node);

// Collector hook for a reached record: the cache rule above.
void mark(uint32_t node);
// Releases the native part now (the record stays, without pixels).
void free_record(uint32_t node);

}  // namespace kez::image_os
