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

bool same_text(kez::cell* a, kez::cell* b) {
  int32_t n = kez::string::ks_length_q(a);
  if (n != kez::string::ks_length_q(b)) return false;
  for (int32_t i = 0; i < n; ++i)
    if (kez::string::ks_abs_at(a, i) != kez::string::ks_abs_at(b, i)) return false;
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
