// The value types of numbers_fixture plus the symbol table, the root block,
// the global context, the word types, char! and typeset!, with the type
// names and the runtime's own words interned as start-up does.
#pragma once

#include <string>

#include "numbers_fixture.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/word.h"
#include "runtime/hashtable.h"
#include "runtime/words.h"

namespace kez::testing {

class words_test : public numbers_test {
 protected:
  void SetUp() override {
    release();
    numbers_test::SetUp();
    hashtable::init();
    root::init();
    symbol::init_table();
    context::init_global();
    symbol::init();
    word::init();
    char_::init();
    typeset::init();
    root::building = true;
    datatype::make_words();
    words::init();
    root::building = false;
  }
  void TearDown() override {
    root::building = false;
    release();
    numbers_test::TearDown();
  }
  static void release() {
    context::release_global();
    symbol::release_table();
    root::release();
  }
};

// A word! of the name bound in the global context, on the data stack.
inline cell* word_named(const char* name, uint32_t type = TYPE_WORD) {
  cell* w = word::push_from_symbol(symbol::make(name));
  set_cell_type(w, type);
  return w;
}

// An unbound word of the name: it holds no node, so a copy of it stays
// good across allocations (bound words in locals go stale when a
// collection moves the context's node).
inline cell unbound(const char* name, uint32_t type = TYPE_WORD) { return cell{type, 0, symbol::make(name), uint32_t(-1)}; }

// A block! on the data stack holding copies of the cells. The cells are
// rooted while the block is made; build cells holding nodes before the call
// only when nothing allocates between them.
inline cell* block_of(std::initializer_list<cell> cells) {
  collector::root_cells keep_cells(const_cast<cell*>(cells.begin()), uint32_t(cells.size()));
  cell* b = stack::push_cell();
  *b = cell{TYPE_NONE, 0, 0, 0};
  uint32_t node = memory::alloc_cells(uint32_t(cells.size()));
  *b = cell{TYPE_BLOCK, 0, node, 0};
  for (const cell& c : cells) {
    cell copy = c;
    collector::root_cells keep(&copy);
    *reinterpret_cast<cell*>(series::make_room(memory::buffer_of(b->w2), sizeof(cell))) = copy;
  }
  return b;
}

inline std::string name_of(uint32_t symbol) { return std::string(symbol::get_c_string(symbol), symbol::name_length(symbol)); }

}  // namespace kez::testing
