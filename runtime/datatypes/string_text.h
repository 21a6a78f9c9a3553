// Read-only access to the characters of a text (or the bytes of a binary!)
// for the comparison, search, sort and mold routines of string!.
//
// A view holds a buffer address: it is good only until the next allocation,
// which may move the buffer. Routines that allocate take a fresh view after.
#pragma once

#include <cstdint>
#include <cstring>

#include "runtime/case_map.h"
#include "runtime/cell.h"
#include "runtime/datatypes/string.h"

namespace kez::string {

inline int32_t read_unit(const uint8_t* p, uint32_t unit, uint32_t i) {
  switch (unit) {
    case 1: return p[i];
    case 2: {
      uint16_t v;
      std::memcpy(&v, p + 2 * size_t(i), 2);
      return v;
    }
    default: {
      int32_t v;
      std::memcpy(&v, p + 4 * size_t(i), 4);
      return v;
    }
  }
}

// Lower case, the folding of every case-insensitive text comparison.
inline int32_t fold(int32_t c) {
  if (c < 0x80) return c >= 'A' && c <= 'Z' ? c + 32 : c;
  return case_::convert(c, case_::lower);
}

// The characters from a text's head (a binary! is read as bytes).
struct text_view {
  const uint8_t* p;  // the head
  uint32_t unit;
  uint32_t head;     // index of p from the buffer's start
  uint32_t length;   // characters from the head to the tail
  int32_t operator[](uint32_t i) const { return read_unit(p, unit, i); }
  const uint8_t* at(uint32_t i) const { return p + size_t(i) * unit; }
};

inline text_view view_of(const cell* s) {
  series_buffer* b = buffer_of(s);
  // A vector!'s unit is its element width, which may be 8.
  uint32_t unit = type_of(s) == TYPE_BINARY ? 1 : type_of(s) == TYPE_VECTOR ? b->unit() : unit_of(b);
  uint32_t total = b->used() >> (unit == 8 ? 3 : unit >> 1);  // units of 1, 2, 4 or 8 bytes
  int32_t h = int32_t(s->w1);
  uint32_t head = h < 0 ? 0 : uint32_t(h) > total ? total : uint32_t(h);
  return text_view{b->head_ptr() + size_t(head) * unit, unit, head, total - head};
}

}  // namespace kez::string
