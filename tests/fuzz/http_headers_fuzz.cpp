// Response headers are outside input: any bytes become a map! without
// raising, each entry a string! or a block! of strings.
#include <cstdint>
#include <cstdlib>

#include "runtime/boot.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/map.h"
#include "runtime/http.h"
#include "runtime/stack.h"
#include "runtime/thrown.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = (kez::boot::init(), true);
  (void)started;
  using namespace kez;
  stack::top = stack::arguments = stack::bottom;
  try {
    cell* map = http::parse_headers(data, size, nullptr);
    size_t lines = 1;
    for (size_t i = 0; i < size; ++i) lines += data[i] == '\n' || data[i] == '\r';
    if (size_t(map::ks_length_q(map)) > lines) std::abort();
  } catch (const thrown&) {
    std::abort();
  }
  return 0;
}
