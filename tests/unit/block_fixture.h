// The series, block and integer datatypes registered over the core value
// types, with builders for blocks of integers and a recorder of ownership
// notifications.
#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/path.h"
#include "runtime/datatypes/series.h"
#include "runtime/hashtable.h"
#include "runtime/ownership.h"
#include "values_fixture.h"

namespace kez::testing {

class block_test : public values_test {
 protected:
  void SetUp() override {
    values_test::SetUp();
    integer::init();
    hashtable::init();
    saved_hooks_ = hashtable::hook;
    hashtable::hook.compare = [](const cell* a, const cell* b, int op) {
      return actions::compare_value(a, b, op) == 0;
    };
    series::init();
    string::init();  // again, now that its parent's row is filled
    block::init();
    paren::init();
    path::init();
    ownership::init();
    ownership::set_hook(nullptr);
    block::set_compare_call(nullptr);
    cycles::reset();
  }
  void TearDown() override {
    ownership::release();
    block::release_root();
    hashtable::hook = saved_hooks_;
    values_test::TearDown();
  }

 private:
  hashtable::hooks saved_hooks_;
};

// A block of the given cells (integers by default) on the data stack.
inline cell* block_of(std::initializer_list<cell> cells, uint32_t type = TYPE_BLOCK) {
  std::vector<cell> copies(cells);
  collector::root_cells keep(copies.data(), uint32_t(copies.size()));
  cell* b = block::make_at(stack::push_cell(), int32_t(copies.size()));
  for (const cell& c : copies) block::ks_append(b, &c);
  b->header = type;
  return b;
}
inline cell* ints(std::initializer_list<int32_t> ns, uint32_t type = TYPE_BLOCK) {
  std::vector<cell> cells;
  for (int32_t n : ns) cells.push_back(integer(n));
  cell* b = block::make_at(stack::push_cell(), int32_t(cells.size()));
  for (const cell& c : cells) block::ks_append(b, &c);
  b->header = type;
  return b;
}

inline cell* push_value(const cell& value) { return stack::push(&value); }

inline std::string mold_of(const cell* value, bool only = false, bool flat = false) {
  cell* buffer = empty_text();
  actions::mold_dispatch(value, buffer, only, false, flat, nullptr, 0x7FFFFFFF, 0);
  return utf8_of(buffer);
}
inline std::string form_of(const cell* value) {
  cell* buffer = empty_text();
  actions::form_dispatch(value, buffer, nullptr, 0x7FFFFFFF);
  return utf8_of(buffer);
}

// An object! whose context node has the two cells the collector reads (the
// context cell and the owner slot), with a change-hook series when asked.
inline cell owner_object(bool hooks = true) {
  uint32_t node = memory::alloc_cells(2);
  uint32_t hook_node = 0;
  if (hooks) {
    collector::root_node keep(node);
    hook_node = memory::alloc_cells(1);
  }
  series_buffer* b = memory::buffer_of(node);
  cell* c = b->head_cell();
  c[0] = cell{TYPE_CONTEXT, 0, 0, 0};
  c[1] = cell{TYPE_UNSET, 0, 0, 0};
  b->tail = b->head + 2 * sizeof(cell);
  return cell{TYPE_OBJECT, node, 0, hook_node};
}

// What the owner's hook heard: "word index part", one entry per report.
inline std::vector<std::string>& heard() {
  static std::vector<std::string> log;
  return log;
}
inline void record_hook(const cell*, const cell*, const cell*, ownership::change action, const cell*,
                        int32_t index, int32_t part) {
  heard().push_back(std::string(ownership::word_of(action)) + " " + std::to_string(index) + " " +
                    std::to_string(part));
}

}  // namespace kez::testing
