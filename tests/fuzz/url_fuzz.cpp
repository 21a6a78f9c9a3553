// Percent-decoding takes outside text: any input either decodes or is
// refused with an error, and for any text, decoding its mold gives the text
// back.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "runtime/arena.h"
#include "runtime/case_map.h"
#include "runtime/collector.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/url.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/thrown.h"

namespace {

void start() {
  kez::memory::free_all_frames();
  kez::collector::init();
  kez::collector::set_enabled(true);
  kez::case_::init();
  kez::stack::init();
  kez::datatype::reset();
  kez::datatype::init();
  kez::string::init();
  kez::url::init();
}

// A lone surrogate is written as U+FFFD (UTF-8 cannot carry it), so that is
// what comes back for one.
int32_t as_written(int32_t c) { return c >= 0xD800 && c <= 0xDFFF ? 0xFFFD : c; }

// `back` is what decoding the mold of `source` gave.
bool same_text(kez::cell* back, kez::cell* source) {
  int32_t n = kez::string::ks_length_q(back);
  if (n != kez::string::ks_length_q(source)) return false;
  for (int32_t i = 0; i < n; ++i)
    if (int32_t(kez::string::ks_abs_at(back, i)) != as_written(int32_t(kez::string::ks_abs_at(source, i))))
      return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = (start(), true);
  (void)started;
  using namespace kez;
  stack::top = stack::arguments = stack::bottom;
  try {
    cell* source = string::load(data, size, nullptr);  // refuses invalid UTF-8
    source->header = TYPE_URL;
    cell* decoded = string::make_at(stack::push_cell(), 16);
    url::decode_utf8(source, decoded);  // may refuse an escaped invalid sequence
    cell* molded = string::make_at(stack::push_cell(), 16);
    actions::mold_dispatch(source, molded, false, false, false, nullptr, 0x7FFFFFFF, 0);
    cell* back = string::make_at(stack::push_cell(), 16);
    url::decode_utf8(molded, back);
    if (!same_text(back, source)) std::abort();
  } catch (const thrown&) {
  }
  return 0;
}
