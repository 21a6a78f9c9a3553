// Memory statistics for the stats native: how much of the node frames,
// series frames and big series is in use. Building the report never
// collects: the collector is switched off for the call and then restored.
#pragma once

#include <cstdint>

namespace kez::memory {

// Mode 1: answers the bytes in use and writes nothing. Mode 2 (and 3):
// appends to the block named by `block` the detail
//   [[free used total] ...] of node frames (in nodes), of series frames (in
//   bytes), the sizes of big series, the grand total of bytes held from the
//   system (frames, big and fixed series, tracked allocations) and the
//   tracked-allocation total, and answers 0.0.
double stats(uint32_t block, int mode);

}  // namespace kez::memory
