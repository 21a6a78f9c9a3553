// Text read from files is outside input: any bytes either split into lines
// or are refused as a whole, never read past their end, and lines joined
// with line feeds give the same text as reading the bytes as one string.
#include <cstdint>
#include <cstdlib>

#include "runtime/boot.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/string.h"
#include "runtime/simple_io.h"
#include "runtime/stack.h"
#include "runtime/thrown.h"
#include "runtime/utf.h"

namespace {

bool same_text(kez::cell* a, kez::cell* b) {
  int32_t n = kez::string::ks_length_q(a);
  if (n != kez::string::ks_length_q(b)) return false;
  for (int32_t i = 0; i < n; ++i)
    if (kez::string::ks_abs_at(a, i) != kez::string::ks_abs_at(b, i)) return false;
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = (kez::boot::init(), true);
  (void)started;
  using namespace kez;
  stack::top = stack::arguments = stack::bottom;
  try {
    cell* lines = simple_io::split_lines(data, size, nullptr);
    cell* whole = stack::push_cell();
    bool text = simple_io::load_text(data, size, whole);
    // A line is refused only when it holds bytes that are not UTF-8; line
    // ends are ASCII, so that is when the whole text is refused.
    if (!lines != !text) std::abort();
    if (!text) return 0;
    cell* joined = string::make_at(stack::push_cell(), 16);
    int32_t n = block::ks_length_q(lines);
    for (int32_t i = 0; i < n; ++i) {
      cell* line = stack::push(block::ks_abs_at(lines, i));
      string::concatenate(joined, line, -1, 0, true, string::CONCAT_APPEND);
      stack::pop(1);
      if (i + 1 < n) string::append_char(string::buffer_of(joined), '\n');
    }
    if (size > 0 && (data[size - 1] == '\n' || data[size - 1] == '\r'))
      string::append_char(string::buffer_of(joined), '\n');
    if (!same_text(joined, whole)) std::abort();
  } catch (const thrown&) {
    std::abort();  // neither may raise
  }
  return 0;
}
