// A heap with hash tables ready, and small values to key them with: integer
// cells, text cells over plain code-unit buffers, and block cells (keyed by
// their node, so a collection that moves nodes changes their hash). The
// compare installed here stands in for the datatypes' compare actions.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "heap_fixture.h"
#include "runtime/case_map.h"
#include "runtime/hashtable.h"
#include "runtime/utf.h"

namespace kez::testing {

inline cell integer_cell(int32_t n) { return cell{TYPE_INTEGER, 0, uint32_t(n), 0}; }

inline uint32_t cell_count(uint32_t block) { return memory::buffer_of(block)->used() / sizeof(cell); }
inline cell* cells_at(uint32_t block) { return memory::buffer_of(block)->head_cell(); }

// Appends a copy of value; answers the new cell's index.
inline uint32_t append_cell(uint32_t& block, const cell& value) {
  cell copy = value;
  collector::root_cells hold(&copy);
  void* p = series::make_room(memory::buffer_of(block), sizeof(cell));
  std::memcpy(p, &copy, sizeof copy);
  return cell_count(block) - 1;
}

// A text series holding the code points of `text` (one per char32_t) in
// units of `unit` bytes.
inline uint32_t text_node(const std::u32string& text, int unit) {
  uint32_t node = memory::alloc_codepoints(uint32_t(text.size()), uint32_t(unit));
  series_buffer* b = memory::buffer_of(node);
  for (size_t i = 0; i < text.size(); ++i) utf::put(b->head_ptr(), unit, i, int32_t(text[i]));
  b->tail = b->head + uint32_t(text.size()) * uint32_t(unit);
  return node;
}

inline std::u32string text_of(const cell* c) {
  series_buffer* b = memory::buffer_of(c->w2);
  std::u32string s;
  uint32_t unit = b->unit();
  for (uint32_t i = c->w1; i < b->used() / unit; ++i) s += char32_t(utf::get(b->head_ptr(), int(unit), i));
  return s;
}

inline bool word_cell_q(const cell* c) {
  uint32_t t = type_of(c);
  return t >= TYPE_WORD && t <= TYPE_REFINEMENT;
}

// Equality by type: integers by value, text by code point (case-insensitive
// unless strict, op 2), blocks by identity, words by canonical symbol
// (strict: same spelling).
inline bool test_compare(const cell* a, const cell* b, int op) {
  if (type_of(a) != type_of(b)) return false;
  switch (type_of(a)) {
    case TYPE_INTEGER:
      return a->w2 == b->w2;
    case TYPE_STRING: {
      std::u32string x = text_of(a), y = text_of(b);
      if (x.size() != y.size()) return false;
      for (size_t i = 0; i < x.size(); ++i) {
        int32_t p = int32_t(x[i]), q = int32_t(y[i]);
        if (op != 2) p = case_::convert(p, case_::upper), q = case_::convert(q, case_::upper);
        if (p != q) return false;
      }
      return true;
    }
    case TYPE_BLOCK:
      return a->w1 == b->w1 && a->w2 == b->w2;
    default:
      if (word_cell_q(a)) {
        if (op == 2) return a->w2 == b->w2;
        auto canon = [](uint32_t s) { return hashtable::hook.resolve ? hashtable::hook.resolve(s) : s; };
        return canon(a->w2) == canon(b->w2);
      }
      return std::memcmp(a, b, sizeof(cell)) == 0;
  }
}

// Leaves the free space of the heap full of junk bytes, as a long-running
// heap is: new buffers then start out with whatever was there before.
inline void dirty_heap() {
  for (int i = 0; i < 64; ++i) memory::alloc_bytes_filled(1000, 0x5A);
  collector::do_cycle();
}

// A collection that moves every node it can, as the stress mode's do.
inline void moving_cycle() {
  bool stress = collector::stress_q();
  collector::set_stress(true);
  collector::do_cycle();
  collector::set_stress(stress);
}

class table_test : public heap_test {
 protected:
  void SetUp() override {
    heap_test::SetUp();
    case_::init();
    hashtable::init();
    saved_ = hashtable::hook;
    hashtable::hook.compare = test_compare;
  }
  void TearDown() override {
    hashtable::hook = saved_;
    heap_test::TearDown();
  }

 private:
  hashtable::hooks saved_;
};

// Keeps a table alive across allocations the way its owning value does: a
// hash! cell for block-backed tables (its block marked as a block), the
// table alone for entry tables. node() and block() are current after every
// allocation.
class held_table {
 public:
  explicit held_table(uint32_t table)
      : value_{TYPE_HASH, 0, hashtable::shape_of(table).kind < hashtable::ENTRIES ? hashtable::shape_of(table).block : 0,
               table},
        guard_(&value_) {}
  uint32_t node() const { return value_.w3; }
  // For entry tables a plain value: a rebuild replaces the entry block.
  uint32_t& block() {
    if (value_.w2) return value_.w2;
    entries_ = hashtable::shape_of(value_.w3).block;
    return entries_;
  }
  hashtable::shape shape() const { return hashtable::shape_of(value_.w3); }

 private:
  cell value_;
  collector::root_cells guard_;
  uint32_t entries_ = 0;
};

}  // namespace kez::testing
