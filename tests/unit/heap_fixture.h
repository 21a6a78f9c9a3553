// A fresh heap for every test: frames, handle table and collector state are
// dropped before and after, so tests never see each other's series. Every
// module that keeps a node or a cell of the heap in a global (and marks it
// as a root) forgets it first: a test that set one up and left it would
// otherwise hand the next test's collector a node of a dropped heap.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "runtime/arena.h"
#include "runtime/arrays.h"
#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/port.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/handles.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"
#include "runtime/thrown.h"
#include "runtime/words.h"

namespace kez::testing {

inline void forget_heap_roots() {
  ownership::release();
  block::release_root();
  error::release();
  context::release_global();
  symbol::release_table();
  root::release();
  words::release();
  port::set_system(nullptr, nullptr, nullptr);
  system_stub::release_ports();
  system_stub::release_system();
  interpreter::forget_positions();
  stack::release();
}

// Services one module installs in another (the evaluator's comparator,
// converters of types a test may not register) go too, so a test sees only
// what its own fixture set up.
inline void forget_services() {
  string::set_compare_call(nullptr);
  block::set_compare_call(nullptr);
  load::set_transcode(nullptr);
  lexer::set_callback_hook(nullptr);
  for (uint32_t type = 0; type < TYPE_TABLE_ROWS; ++type) {
    math::set_integer_converter(type, nullptr);
    math::set_float_converter(type, nullptr);
    binary::set_to_converter(type, nullptr);
  }
}

inline void reset_heap() {
  forget_heap_roots();
  forget_services();
  refs::reset();
  handles::release_all();
  handles::free();
  memory::free_all_frames();
  collector::init();
  collector::set_enabled(true);
  collector::set_node_compaction(true);
  arena::set_limit(arena::RANGE);
}

class heap_test : public ::testing::Test {
 protected:
  void SetUp() override { reset_heap(); }
  void TearDown() override { reset_heap(); }
};

// Scales loop counts down when every allocation collects.
inline uint32_t scaled(uint32_t normal, uint32_t stressed) {
  const char* v = std::getenv("KEZ_GC_STRESS");
  return v && v[0] == '1' ? stressed : normal;
}

// Runs fn and answers the internal error id it fired, or -1.
template <class F>
int internal_error_of(F fn) {
  try {
    fn();
  } catch (const thrown& t) {
    if (t.code == THROWN_ERROR && error::last_category() == err::cat_internal) return error::last_id();
    return -2;
  }
  return -1;
}

}  // namespace kez::testing
