// Tracked low-level allocations: every malloc-family block that the runtime
// takes outside the collected heap carries a 16-byte header and sits on one
// list in allocation order, so that quit can free them all. Failure to get
// memory is fatal (runtime error 94), never a null return.
#pragma once

#include <cstddef>

namespace kez::mem {

struct block;  // a tracked block's header

// The tracked-allocation list: first and last block, both null when empty.
struct list_record {
  block* first;
  block* last;
};
extern list_record tracked;

void* allocate(size_t size);
void* allocate_zeroed(size_t size);
void* realloc(void* address, size_t size);  // address 0: allocate; size 0: free, answer null
void free(void* address);                   // addresses not on the list are ignored
void free_all();
void report();                              // diagnostic listing through the low-level printers
size_t count();                             // live tracked blocks
size_t size_of(const void* address);        // a tracked block's asked size; 0 when not a tracked block
size_t asked_total();                       // sum of asked sizes of live blocks

}  // namespace kez::mem
