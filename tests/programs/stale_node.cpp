// Keeps a node across an allocation in stress mode, rooted or not (first
// argument "rooted" or "unrooted"), then reads its series: a node kept
// without a root must fault at once rather than read moved data.
#include <cstdio>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/memory.h"

// The fault is what the test watches for: let the signal end the process.
extern "C" const char* __asan_default_options() { return "handle_segv=0:detect_leaks=0"; }

int main(int argc, char** argv) {
  using namespace kez;
  bool rooted = argc > 1 && std::strcmp(argv[1], "rooted") == 0;
  collector::set_stress(true);
  uint32_t node = memory::alloc_bytes(4);
  std::memcpy(series::make_room(memory::buffer_of(node), 4), "kept", 4);
  uint32_t copy = node;
  collector::root_node* keep = rooted ? new collector::root_node(node) : nullptr;
  memory::alloc_bytes(4);  // collects and moves every node
  uint32_t use = rooted ? node : copy;
  series_buffer* b = memory::buffer_of(use);
  std::printf("%.*s\n", int(b->used()), reinterpret_cast<char*>(b->head_ptr()));
  delete keep;
  return 0;
}
