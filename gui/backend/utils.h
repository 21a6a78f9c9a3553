// Small operations the backend shares: colours across the backend's integer
// forms, pair/point conversions in place, the face-flags mask, a small fixed
// map, millisecond timing and two memory helpers.
//
// A colour crosses the backend as 0xTTBBGGRR: the tuple's bytes in order,
// the first lowest, the top byte transparency (0 opaque).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/cell.h"

namespace kez::gui {

// Face flags (the `flags` facet as a mask).
enum face_flag : uint32_t {
  FACET_FLAGS_ALL_OVER = 0x1,
  FACET_FLAGS_FOCUSABLE = 0x2,
  FACET_FLAGS_TRI_STATE = 0x20000,
  FACET_FLAGS_SCROLLABLE = 0x40000,
  FACET_FLAGS_PASSWORD = 0x80000,
  FACET_FLAGS_NO_SYNC = 0x100000,
  FACET_FLAGS_FULLSCREEN = 0x200000,
  FACET_FLAGS_POPUP = 0x01000000,
  FACET_FLAGS_MODAL = 0x02000000,
  FACET_FLAGS_RESIZE = 0x04000000,
  FACET_FLAGS_NO_BUTTONS = 0x08000000,
  FACET_FLAGS_NO_MAX = 0x10000000,
  FACET_FLAGS_NO_MIN = 0x20000000,
  FACET_FLAGS_NO_TITLE = 0x40000000,
  FACET_FLAGS_NO_BORDER = 0x80000000,
};

// A tuple! as 0xTTBBGGRR; three bytes give transparency 0.
uint32_t to_color(const cell* tuple);
// 0xTTBBGGRR as 0xAARRGGBB (AA = 255 - TT); the GDI+ form keeps a fully
// opaque colour at 0xFE.
uint32_t argb_color(uint32_t color);
uint32_t gdiplus_color(uint32_t color);
// A field of an object's values that is a tuple!, as 0x00BBGGRR; -1 else.
int32_t tuple_color(const cell* values, int32_t index);
bool transparent_color_q(const cell* value);

// In place: a pair! becomes the point2D! of its values; a point2D! becomes
// the pair! of its values truncated toward zero.
void pair_to_point(cell* value);
void point_to_pair(cell* value);

// The face-flags mask of a `flags` facet (word, block of words, anything
// else 0); an unknown word raises Script Error invalid-arg.
uint32_t get_flags(const cell* facet);

// Up to 64 pairs of 32-bit words; the 65th is dropped.
struct pointer_map {
  static constexpr uint32_t ROOM = 64;
  uint32_t keys[ROOM];
  uint32_t values[ROOM];
  uint32_t count = 0;
};
// Null when the key is absent.
const uint32_t* pointer_map_find(const pointer_map& map, uint32_t key);
void pointer_map_add(pointer_map& map, uint32_t key, uint32_t value);

// A monotonic counter in ticks; the frequency is read once.
struct timer_start {
  int64_t counter = 0;
};
void start_timer(timer_start& start);
// Milliseconds since start; a clock that went backwards answers 0x7FFFFFFF
// and restarts the timer.
double elapsed_ms(timer_start& start);
int64_t counter_diff(int64_t a, int64_t b);

// A copy of an object's field by name (none when absent, line mark
// cleared), and the field's own cell (null when absent).
cell object_field(const cell* object, const char* name);
cell* object_field_slot(const cell* object, const char* name);
// A word or lit-word of that name (canonical symbols compared).
bool word_is(const cell* value, const char* name);
// UTF-16 of a string! from its head, at most max_chars code points.
std::u16string utf16_of(const cell* string, size_t max_chars = SIZE_MAX);

// Interns every name the backend looks up, at start-up: looking a name up
// later then never allocates, so cells read before a lookup stay valid.
void intern_names();

void zero_fill(void* buffer, size_t n);
size_t wcs_length(const char16_t* text);

}  // namespace kez::gui
