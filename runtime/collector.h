// Collector: stop-the-world mark and compact over the memory manager's heap.
//
// A cycle may first evacuate sparsely used node frames (rewriting every
// reference it reaches through a relocation table), then marks every buffer
// reachable from the roots, sweeps the handle table, slides the live buffers
// of each series frame towards lower addresses (into the previous frame when
// it has room), frees dead big series and the nodes of dead buffers, and
// releases emptied frames.
//
// Roots: registered marker callbacks (the stacks, the root block and other
// modules' globals), permanent root slots, and the scoped guards below for
// nodes, cells and raw buffer pointers held in C++ locals. Marking uses an
// explicit stack, never native recursion, so nesting depth is unbounded.
// A cycle runs only inside a buffer allocation (when the collector is
// enabled) or on an explicit do_cycle. KEZ_GC_STRESS=1 in the environment
// makes every allocation collect and move every node it can.
#pragma once

#include <cassert>
#include <cstdint>

#include "runtime/cell.h"

namespace kez::collector {

void init();                     // counters to 0; stress switch read from the environment
void auto_collect();             // a cycle when enabled and not already collecting
void do_cycle();                 // a cycle now, even when disabled
bool active_q();                 // inside a cycle
bool enabled();
void set_enabled(bool on);
bool node_compaction();          // gates node-frame evacuation only
void set_node_compaction(bool on);
namespace detail {
extern bool stress;  // read on every allocation: inline
}
inline bool stress_q() { return detail::stress; }
void set_stress(bool on);
// Whether the boot and the launch prelude are to run under stress too
// (KEZ_GC_STRESS_BOOT): every test process runs them, one test checks them.
bool boot_stress_q();
uint32_t cycle_count();
uint32_t node_compaction_count();

// Mark primitives for marker callbacks and per-type mark procedures. A slot
// is the address of a word holding a node; it is rewritten when the node moved.
bool mark_node(uint32_t* slot);          // true when newly marked
void mark_block(uint32_t* slot);         // node and, when newly marked, its cells [head, tail)
void mark_series_value(cell* value);     // mark_block on payload word 2
void mark_context(uint32_t* slot);       // context node: word table, values, owner cell
void mark_values(cell* first, cell* end);
void unmark_node(uint32_t node);
void relocate_range(uint32_t* start, uint32_t* end);  // rewrite moved nodes in place

// Per-type mark procedure, called for every reached cell of that type id;
// a cell equal to the one just marked before it in the same range is given
// that one's result instead, so a procedure must depend on the cell alone.
// Rows filled from the start: the block and path family, hash!, map!, the
// string family, bitset!, vector!, binary!, symbol!, context!, object!,
// error!, port!, the function and native families, image! (its node),
// event!, handle! and the word family (a bound word keeps its context; the
// words module may replace that row for `self`). Other rows mark nothing.
using type_marker = void (*)(cell* value);
void set_marker(uint32_t type, type_marker fn);
// Marks a hash table given the slot of its node (default: the node only).
using table_marker = void (*)(uint32_t* slot);
void set_table_marker(table_marker fn);

// Module roots: a procedure run during every mark phase (at most 100), and
// procedures run after marking and before sweeping (weak tables purge here).
using procedure = void (*)();
void add_marker(procedure fn);
void remove_marker(procedure fn);
void add_purger(procedure fn);
void remove_purger(procedure fn);
// Procedures run when a cycle moved nodes, to rewrite node slots that are not
// roots (the cycle stack) with relocate_range.
void add_relocator(procedure fn);
void remove_relocator(procedure fn);

// Scoped roots. Guards nest strictly (they are C++ locals) and cost two
// pointer stores each.
// A node held in a local: marked (with its cells when unit 16) and rewritten.
class root_node;
class root_cells;
namespace detail {
// The innermost guard of each kind; the constructors are inline because the
// interpreter sets several per call.
extern root_node* node_guards;
extern root_cells* cell_guards;
}  // namespace detail

class root_node {
 public:
  explicit root_node(uint32_t& s) : slot(&s), prev(detail::node_guards) { detail::node_guards = this; }
  ~root_node() {
    assert(detail::node_guards == this);
    detail::node_guards = prev;
  }
  root_node(const root_node&) = delete;
  root_node& operator=(const root_node&) = delete;
  uint32_t* slot;
  root_node* prev;
};

// Cells held in locals (not in the heap): marked by type, nodes rewritten.
class root_cells {
 public:
  root_cells(cell* f, uint32_t n = 1) : first(f), count(n), prev(detail::cell_guards) { detail::cell_guards = this; }
  ~root_cells() {
    assert(detail::cell_guards == this);
    detail::cell_guards = prev;
  }
  root_cells(const root_cells&) = delete;
  root_cells& operator=(const root_cells&) = delete;
  cell* first;
  uint32_t count;
  root_cells* prev;
};

// A raw pointer into a series buffer (head, tail or anywhere up to the end of
// its data): lowered with the buffer when compaction moves it. It does not
// keep the buffer alive; root its node too.
class pinned_pointer {
 public:
  template <class T>
  explicit pinned_pointer(T*& p) : pinned_pointer(reinterpret_cast<void**>(&p), 0) {}
  ~pinned_pointer();
  pinned_pointer(const pinned_pointer&) = delete;
  pinned_pointer& operator=(const pinned_pointer&) = delete;
  void** slot;
  pinned_pointer* prev;

 private:
  pinned_pointer(void** slot, int);
};

// For the memory manager: a node queued for release after the cycle.
void queue_release(uint32_t node);

}  // namespace kez::collector
