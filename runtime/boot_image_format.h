// The boot image's layout in the executable's file, and the reader that
// checks it before start-up trusts any of it.
//
// Layout: header, the tables (released runs, heap ranges, globals, carried
// blocks), the globals' and blocks' bytes, then the heap's pages at page
// offsets, and the trailer in the file's last bytes. The header's checksum
// covers everything before `checked` (the header with its checksum field as
// zero, the tables and the bytes copied into the process); the heap's pages
// are mapped lazily and are not read to check them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/page_runs.h"

namespace kez::boot_image {

constexpr char MAGIC[8] = {'K', 'E', 'Z', 'I', 'M', 'A', 'G', 'E'};
constexpr uint32_t VERSION = 2;

struct header {
  char magic[8];
  uint32_t version;
  uint32_t build_id_size;
  uint8_t build_id[64];
  uint64_t executable_end;  // &_end: the globals' layout
  uint64_t base;            // the heap's base
  uint64_t runs_top;
  uint32_t released_count;
  uint32_t range_count;
  uint32_t global_count;
  uint32_t block_count;
  uint64_t size;     // the whole image, trailer included, a page multiple
  uint64_t checked;  // the bytes the checksum covers, from the start
  uint32_t checksum;
  uint32_t unused;
};

// A stretch of the heap's range that was committed (and readable) when the
// image was written, with its pages at `at` in the image (a page multiple):
// start-up maps them from the file, so that only pages touched are read.
struct range {
  uint64_t offset, bytes, at;
};
// Bytes of globals that the boot changed.
struct global {
  uint64_t address, size, at;
};
// A tracked allocation a global points to: a new one is made with the same
// content and its address stored at `slot`.
struct carried_block {
  uint64_t slot, size, at;
};
struct trailer {
  uint64_t size;
  char magic[8];
};

// What this process is: an image made by another build, for another heap,
// or naming memory outside these bounds is refused.
struct expected {
  const uint8_t* build_id;
  size_t build_id_size;
  uint64_t executable_end;
  uint64_t base;
  uint64_t heap_end;  // the end of the heap's usable range, as an offset
  uint64_t writable_low, writable_high;  // the executable's writable data
};

struct tables {
  header h;
  std::vector<page_runs::run> released;
  std::vector<range> ranges;
  std::vector<global> globals;
  std::vector<carried_block> blocks;
};

// The checksum of an image's first h.checked bytes, its checksum field as zero.
uint32_t checksum(const uint8_t* image, const header& h);

// Reads and checks the image's header and tables (size bytes, trailer
// included); null when every row lies inside the image and inside `e`'s
// bounds and the checksum holds, else what was wrong.
const char* read_tables(const uint8_t* image, uint64_t size, const expected& e, tables& out);

}  // namespace kez::boot_image
