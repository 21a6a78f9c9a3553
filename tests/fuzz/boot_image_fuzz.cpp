// The boot image's tables are read from the executable's file, which anyone
// may damage: any bytes are refused, or give rows that all lie inside the
// image and inside the bounds they were checked against. The header's
// identity and checksum are set right first, so that the fuzzing reaches
// the tables rather than stopping at a wrong magic or build id.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/boot_image_format.h"

using namespace kez::boot_image;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const uint8_t id[20] = {1, 2, 3};
  const expected e{id, sizeof id, 0x500000, 0x3f0000000000, (uint64_t(1) << 32) - 4096, 0x400000, 0x480000};
  std::vector<uint8_t> image(data, data + size);  // exactly sized: overreads are caught
  header h{};
  if (size >= sizeof h) {
    std::memcpy(&h, image.data(), sizeof h);
    std::memcpy(h.magic, MAGIC, sizeof MAGIC);
    h.version = VERSION;
    h.build_id_size = sizeof id;
    std::memcpy(h.build_id, id, sizeof id);
    h.executable_end = e.executable_end;
    h.base = e.base;
    h.size = size;
    std::memcpy(image.data(), &h, sizeof h);
    if (h.checked >= sizeof h && h.checked <= size) {
      h.checksum = checksum(image.data(), h);
      std::memcpy(image.data(), &h, sizeof h);
    }
  }
  tables out;
  if (read_tables(image.data(), image.size(), e, out)) return 0;
  auto inside = [](uint64_t from, uint64_t n, uint64_t low, uint64_t high) {
    return from >= low && from + n >= from && from + n <= high;
  };
  for (const range& r : out.ranges)
    if (!inside(r.offset, r.bytes, 0, e.heap_end) || !inside(r.at, r.bytes, 0, size)) std::abort();
  for (const global& g : out.globals)
    if (!inside(g.address, g.size, e.writable_low, e.writable_high) || !inside(g.at, g.size, 0, out.h.checked))
      std::abort();
  for (const carried_block& b : out.blocks)
    if (!inside(b.slot, 8, e.writable_low, e.writable_high) || !inside(b.at, b.size, 0, out.h.checked)) std::abort();
  return 0;
}
