// A fresh heap for every test: frames, handle table and collector state are
// dropped before and after, so tests never see each other's series.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>

#include "runtime/arena.h"
#include "runtime/arrays.h"
#include "runtime/collector.h"
#include "runtime/datatypes/error.h"
#include "runtime/handles.h"
#include "runtime/memory.h"
#include "runtime/thrown.h"

namespace kez::testing {

inline void reset_heap() {
  refs::reset();
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
