// Handle table: native resources behind handle! values. A handle is the
// 0-based index of a record {kind, pointer, next}; -1 is no handle. Every
// record is on exactly one of two lists, in use (newest first) or free (last
// freed first), and the free list is never empty: the table doubles before
// its last free record is taken. Records move when the table grows; indexes
// never do. A record lives until released or until a collection finds no
// value reaching it; then its kind's release callback runs exactly once.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/collector.h"

namespace kez::handles {

using release_fn = void (*)(void* pointer);

constexpr uint32_t MAX_KINDS = 20;
constexpr uint32_t RECORD_MARK = 0x80000000;
constexpr uint32_t RECORD_FREE = 0x40000000;

void init();  // also called on first use
void free();  // drops the table (records are not released)
// Releases every record in use through its kind's callback, as at quit: the
// native resources go with the process's other allocations.
void release_all();
uint32_t register_type(const char* name, release_fn release);  // kind, 1-based
uint32_t kind_named(const char* name);  // the kind registered under name, or 0
int32_t store(void* pointer, uint32_t kind);
void replace_pointer(int32_t handle, void* pointer);
int32_t release(int32_t handle, bool call_release);  // answers -1
bool mark(int32_t handle, void* pointer);  // pointer 0 keeps the record's pointer
void for_each_of_type(uint32_t kind, void (*fn)(void* pointer));
void sweep();  // the collector's: unmarked records released, marks cleared

void* pointer(int32_t handle);
uint32_t kind(int32_t handle);
uint32_t capacity();

// Holds a handle alive between store and the moment its handle! value is
// somewhere the collector reaches (a native building a value allocates in
// between). The cell is a handle! value rooted for the guard's scope.
class hold {
 public:
  explicit hold(int32_t handle) : value{TYPE_HANDLE, 0, 0, static_cast<uint32_t>(handle)}, root(&value) {}
  cell value;

 private:
  collector::root_cells root;
};

}  // namespace kez::handles
