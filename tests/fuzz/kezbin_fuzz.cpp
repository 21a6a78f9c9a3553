// The Kezbin decoder reads outside data: any bytes decode into values or
// raise a language error, never read outside the input, and whatever they
// decode into can be encoded again (both encodings) and molded.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "runtime/actions.h"
#include "runtime/boot.h"
#include "runtime/collector.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/string.h"
#include "runtime/kezbin.h"
#include "runtime/stack.h"
#include "runtime/thrown.h"

namespace {

void start_once() {
  static bool started = false;
  if (started) return;
  started = true;
  kez::boot::init();
}

// Runs fn; a language error is an answer, any other throw a fault.
template <class F>
void guarded(F fn) {
  try {
    fn();
  } catch (const kez::thrown& t) {
    if (t.code != kez::THROWN_ERROR) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  start_once();
  // Most inputs should get past the magic: give them the header.
  std::vector<uint8_t> copy = {'K', 'E', 'Z', 'B', 'I', 'N'};
  copy.insert(copy.end(), data, data + size);
  kez::cell* base = kez::stack::top;
  guarded([&] {
    kez::cell* in = kez::binary::load(copy.data(), uint32_t(copy.size()));
    kez::cell* value = kez::kezbin::decode(in);
    guarded([&] { kez::kezbin::encode_compact(value); });
    guarded([&] { kez::kezbin::encode_classic(value); });
    guarded([&] {
      kez::cell* buffer = kez::stack::push_cell();
      kez::string::make_at(buffer, 16);
      kez::actions::mold_dispatch(value, buffer, false, true, false, nullptr, 100000, 0);
    });
  });
  kez::stack::top = base;
  static uint32_t count = 0;
  if (++count % 256 == 0) kez::collector::do_cycle();
  return 0;
}
