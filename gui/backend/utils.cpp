#include "gui/backend/utils.h"
#include "gui/backend/view.h"

#include <time.h>

#include <cstring>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/error_ids.h"

namespace kez::gui {

namespace {

struct named_flag {
  const char* name;
  uint32_t bit;
};
const named_flag face_flags[] = {
    {"all-over", FACET_FLAGS_ALL_OVER},     {"focusable", FACET_FLAGS_FOCUSABLE},
    {"tri-state", FACET_FLAGS_TRI_STATE},   {"scrollable", FACET_FLAGS_SCROLLABLE},
    {"password", FACET_FLAGS_PASSWORD},     {"no-sync", FACET_FLAGS_NO_SYNC},
    {"fullscreen", FACET_FLAGS_FULLSCREEN}, {"popup", FACET_FLAGS_POPUP},
    {"modal", FACET_FLAGS_MODAL},           {"resize", FACET_FLAGS_RESIZE},
    {"no-buttons", FACET_FLAGS_NO_BUTTONS}, {"no-max", FACET_FLAGS_NO_MAX},
    {"no-min", FACET_FLAGS_NO_MIN},         {"no-title", FACET_FLAGS_NO_TITLE},
    {"no-border", FACET_FLAGS_NO_BORDER},
};

uint32_t flag_of(const cell* word) {
  uint32_t s = symbol::resolve(word->w2);
  for (const named_flag& f : face_flags)
    if (symbol::resolve(symbol::make(f.name)) == s) return f.bit;
  error::fire(err::cat_script, err::script::invalid_arg, word);
}

// The counter runs in nanoseconds: its frequency is 1e9 ticks a second.
constexpr int64_t frequency = 1000000000;
int64_t read_counter() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t(t.tv_sec) * frequency + t.tv_nsec;
}

}  // namespace

uint32_t to_color(const cell* tuple) {
  const uint8_t* b = tuple::bytes_of(tuple);
  uint32_t c = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16;
  if (tuple::count_of(tuple) > 3) c |= uint32_t(b[3]) << 24;
  return c;
}

uint32_t argb_color(uint32_t color) {
  uint32_t r = color & 255, g = color >> 8 & 255, b = color >> 16 & 255, a = 255 - (color >> 24);
  return a << 24 | r << 16 | g << 8 | b;
}

uint32_t gdiplus_color(uint32_t color) {
  uint32_t c = argb_color(color);
  return (c >> 24) == 0xFF ? (c & 0x00FFFFFF) | 0xFE000000 : c;
}

int32_t tuple_color(const cell* values, int32_t index) {
  const cell* v = values + index;
  return type_of(v) == TYPE_TUPLE ? int32_t(to_color(v) & 0x00FFFFFF) : -1;
}

bool transparent_color_q(const cell* value) {
  return type_of(value) == TYPE_TUPLE && tuple::count_of(value) > 3 && tuple::bytes_of(value)[3] != 0;
}

void pair_to_point(cell* value) {
  if (type_of(value) != TYPE_PAIR) return;
  int32_t x = pair::x_of(value), y = pair::y_of(value);
  uint32_t keep = value->header & FLAG_NEW_LINE;
  point2D::make_at(value, float(x), float(y));
  value->header |= keep;
}

void point_to_pair(cell* value) {
  if (type_of(value) != TYPE_POINT2D) return;
  float x = point::coordinate(value, 0), y = point::coordinate(value, 1);
  uint32_t keep = value->header & FLAG_NEW_LINE;
  pair::make_at(value, int32_t(x), int32_t(y));
  value->header |= keep;
}

uint32_t get_flags(const cell* facet) {
  if (type_of(facet) == TYPE_WORD) return flag_of(facet);
  if (type_of(facet) != TYPE_BLOCK) return 0;
  cell b = *facet;
  collector::root_cells keep(&b);
  uint32_t mask = 0;
  int32_t n = block::ks_length_q(&b);
  for (int32_t i = 0; i < n; ++i) {
    const cell* v = block::ks_head(&b) + i;
    if (type_of(v) == TYPE_WORD) mask |= flag_of(v);
  }
  return mask;
}

const uint32_t* pointer_map_find(const pointer_map& map, uint32_t key) {
  for (uint32_t i = 0; i < map.count; ++i)
    if (map.keys[i] == key) return &map.values[i];
  return nullptr;
}

void pointer_map_add(pointer_map& map, uint32_t key, uint32_t value) {
  if (map.count == pointer_map::ROOM) return;
  map.keys[map.count] = key;
  map.values[map.count] = value;
  ++map.count;
}

void start_timer(timer_start& start) { start.counter = read_counter(); }

double elapsed_ms(timer_start& start) {
  int64_t d = counter_diff(read_counter(), start.counter);
  if (d < 0) {
    start_timer(start);
    return double(0x7FFFFFFF);
  }
  return double(d) * 1000.0 / double(frequency);
}

int64_t counter_diff(int64_t a, int64_t b) { return a - b; }

cell object_field(const cell* object, const char* name) {
  uint32_t s = symbol::make(name);
  cell out;
  none::make_at(&out);
  if (type_of(object) == TYPE_OBJECT)
    if (const cell* v = context::get_value_cell(object->w1, s)) out = *v;
  out.header &= ~uint32_t(FLAG_NEW_LINE);
  return out;
}

cell* object_field_slot(const cell* object, const char* name) {
  uint32_t s = symbol::make(name);
  return type_of(object) == TYPE_OBJECT ? context::get_value_cell(object->w1, s) : nullptr;
}

bool word_is(const cell* v, const char* name) {
  uint32_t t = type_of(v);
  return (t == TYPE_WORD || t == TYPE_LIT_WORD) && symbol::resolve(v->w2) == symbol::resolve(symbol::make(name));
}

std::u16string utf16_of(const cell* string, size_t max_chars) {
  cell s = *string;
  std::u16string out;
  size_t n = size_t(string::ks_length_q(&s));
  if (n > max_chars) n = max_chars;
  const uint8_t* p = string::ks_head(&s);
  uint32_t unit = string::unit_of(string::buffer_of(&s));
  for (size_t i = 0; i < n; ++i) {
    uint32_t cp = uint32_t(string::get_char(p + i * unit, unit));
    if (cp > 0xFFFF) {
      cp -= 0x10000;
      out.push_back(char16_t(0xD800 + (cp >> 10)));
      out.push_back(char16_t(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(char16_t(cp));
    }
  }
  return out;
}

void intern_names() {
  static const char* const names[] = {
      "ClearType", "align", "anti-alias?", "area", "backdrop", "base", "bold", "border", "bottom", "button",
      "center", "check", "color", "data", "face", "field", "flags", "font", "handles", "horizontal", "image",
      "italic", "key", "left", "line-spacing", "middle", "name", "offset", "para", "parent", "picked", "radio",
      "rich-text", "right", "size", "state", "strike", "style", "tabs", "text", "toggle", "top", "type",
      "underline", "v-align", "vertical", "window", "wrap?", "view", "fonts", "system", "silent?", "panel",
  };
  for (const char* n : names) symbol::make(n);
  for (const named_flag& f : face_flags) symbol::make(f.name);
  view::intern_names();
}

void zero_fill(void* buffer, size_t n) { std::memset(buffer, 0, n); }

size_t wcs_length(const char16_t* text) {
  size_t n = 0;
  while (text[n]) ++n;
  return n;
}

}  // namespace kez::gui
