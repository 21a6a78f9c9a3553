// The lexer reads outside text: any bytes load into values or raise a
// language error, in every mode, and never leave an open-series marker in a
// loaded block or the shared buffer in use.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "runtime/arrays.h"
#include "runtime/case_map.h"
#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/path.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/word.h"
#include "runtime/hashtable.h"
#include "runtime/words.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/unset.h"
#include "runtime/handles.h"
#include "runtime/lexer.h"
#include "runtime/memory.h"
#include "runtime/scan_number.h"
#include "runtime/stack.h"
#include "runtime/thrown.h"

namespace {

void start_once() {
  static bool started = false;
  if (started) return;
  started = true;
  kez::refs::reset();
  kez::memory::free_all_frames();
  kez::collector::init();
  kez::collector::set_enabled(true);
  kez::case_::init();
  kez::stack::init();
  kez::datatype::reset();
  kez::datatype::init();
  kez::unset::init();
  kez::none::init();
  kez::logic::init();
  kez::series::init();
  kez::string::init();
  kez::integer::init();
  kez::float_::init();
  kez::binary::init();
  kez::block::init();
  kez::paren::init();
  kez::path::init();
  kez::hashtable::init();
  kez::root::init();
  kez::symbol::init_table();
  kez::context::init_global();
  kez::symbol::init();
  kez::word::init();
  kez::char_::init();
  kez::typeset::init();
  kez::root::building = true;
  kez::datatype::make_words();
  kez::words::init();
  kez::root::building = false;
  kez::lexer::init();
}

// Every cell of a loaded value is a real value: no marker (type 31) escapes.
void check(const kez::cell* c, int depth) {
  uint32_t t = kez::type_of(c);
  if (t == 31 || t == 0 || t > kez::TYPE_LAST) std::abort();
  bool series = t == kez::TYPE_BLOCK || t == kez::TYPE_PAREN ||
                (t >= kez::TYPE_PATH && t <= kez::TYPE_GET_PATH);
  if (!series || depth > 200) return;
  kez::series_buffer* b = kez::memory::buffer_of(c->w2);
  for (kez::cell* v = b->head_cell(); v < b->tail_cell(); ++v) check(v, depth + 1);
}

void run(const uint8_t* text, size_t size, bool one, bool not_prescan, bool not_scan) {
  kez::cell* top = kez::stack::top;
  kez::cell* result = kez::stack::push_cell();
  int32_t consumed = -1;
  try {
    kez::lexer::scan(result, text, size, one, not_prescan, not_scan, false, &consumed, nullptr,
                     nullptr, nullptr);
    if (consumed < 0 || size_t(consumed) > size) std::abort();
    if (!not_prescan || not_scan) check(result, 0);
  } catch (const kez::thrown& t) {
    // load mode raises language errors; the other modes never do
    if (t.code != kez::THROWN_ERROR || !(not_prescan && not_scan)) std::abort();
  }
  kez::stack::top = top;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  start_once();
  std::vector<uint8_t> copy(data, data + size);  // exactly sized: overreads are caught
  run(copy.data(), copy.size(), false, true, true);
  run(copy.data(), copy.size(), true, true, false);
  run(copy.data(), copy.size(), false, false, false);
  int32_t err;
  if (size < 400) {
    kez::lexer::scan_integer(copy.data(), int32_t(size), 1, err);
    kez::lexer::scan_float(copy.data(), int32_t(size), 1, err);
  }
  static uint32_t count = 0;
  if (++count % 256 == 0) kez::collector::do_cycle();
  return 0;
}
