#include "runtime/collector.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/entry_table.h"
#include "runtime/frames.h"
#include "runtime/handles.h"
#include "runtime/memory.h"
#include "runtime/thrown.h"

namespace kez::collector {

namespace {
bool stress_from_environment() {
  const char* v = std::getenv("KEZ_GC_STRESS");
  return v && v[0] == '1';
}
}  // namespace

namespace detail {
root_node* node_guards = nullptr;
root_cells* cell_guards = nullptr;
bool stress = stress_from_environment();
}  // namespace detail

using memory::node_frame;
using memory::series_frame;
using memory::record;
using memory::frame_at;

namespace {

bool enabled_flag = true;
bool collecting = false;
bool compaction_switch = true;
uint32_t cycles = 0;
uint32_t compactions = 0;

constexpr uint32_t HISTORY_MASK = 63;  // stable over the last six collections
constexpr uint32_t MAX_MARKERS = 100;
constexpr uint32_t PENDING_MAX = 20000;

void mark_series_cell(cell* c);
void mark_text(cell* c);
void mark_bytes(cell* c);
void mark_symbol(cell* c);
void mark_word(cell* c);
void mark_object(cell* c);
void mark_context_cell(cell* c);
void mark_hash(cell* c);
void mark_function(cell* c);
void mark_native(cell* c);
void mark_image(cell* c);
void mark_handle(cell* c);
void mark_event(cell* c);

// Constant-initialised, so the table is complete before any static
// initialiser of another module could allocate.
constexpr std::array<type_marker, 256> default_rows() {
  std::array<type_marker, 256> rows{};
  for (uint32_t t : {TYPE_BLOCK, TYPE_PAREN, TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH})
    rows[t] = mark_series_cell;
  for (uint32_t t : {TYPE_STRING, TYPE_FILE, TYPE_URL, TYPE_TAG, TYPE_EMAIL, TYPE_REF}) rows[t] = mark_text;
  for (uint32_t t : {TYPE_BITSET, TYPE_VECTOR, TYPE_BINARY}) rows[t] = mark_bytes;
  for (uint32_t t : {TYPE_WORD, TYPE_SET_WORD, TYPE_LIT_WORD, TYPE_GET_WORD, TYPE_REFINEMENT}) rows[t] = mark_word;
  for (uint32_t t : {TYPE_OBJECT, TYPE_ERROR, TYPE_PORT}) rows[t] = mark_object;
  for (uint32_t t : {TYPE_HASH, TYPE_MAP}) rows[t] = mark_hash;
  for (uint32_t t : {TYPE_FUNCTION, TYPE_ROUTINE}) rows[t] = mark_function;
  for (uint32_t t : {TYPE_NATIVE, TYPE_ACTION, TYPE_OP}) rows[t] = mark_native;
  rows[TYPE_SYMBOL] = mark_symbol;
  rows[TYPE_CONTEXT] = mark_context_cell;
  rows[TYPE_IMAGE] = mark_image;
  rows[TYPE_HANDLE] = mark_handle;
  rows[TYPE_EVENT] = mark_event;
  return rows;
}
constinit std::array<type_marker, 256> type_markers = default_rows();
void mark_table_node(uint32_t* slot) { mark_node(slot); }
table_marker table_mark = mark_table_node;
procedure markers[MAX_MARKERS];
uint32_t marker_top = 0;
// Fixed tables rather than vectors: they are filled at boot, and the boot
// image carries them as they are.
constexpr uint32_t MAX_CALLBACKS = 32;
struct callbacks {
  procedure entries[MAX_CALLBACKS];
  uint32_t count;
  procedure* begin() { return entries; }
  procedure* end() { return entries + count; }
  void add(procedure fn) {
    if (count == MAX_CALLBACKS) std::abort();  // a fixed set of modules registers these
    entries[count++] = fn;
  }
  void remove(procedure fn) { count = uint32_t(std::remove(begin(), end(), fn) - begin()); }
};
callbacks purgers{}, relocators{};

pinned_pointer* pin_guards = nullptr;

// Explicit mark stack of cell ranges still to scan.
struct range {
  cell* first;
  cell* end;
};
std::vector<range> mark_stack;
bool draining = false;

uint32_t pending[PENDING_MAX];
uint32_t pending_count = 0;

// Relocation of one cycle. An evacuated node's old slot holds its new node
// (the old frame is released only at the cycle's end), and a bit per page of
// the arena marks the pages of evacuated frames: looking a node up is two
// loads, with no table to fill, whatever the number of nodes moved. A free
// node of such a frame holds a link inside its own frame (or 0), which is how
// it is told from a moved one: a node never moves into a frame being emptied.
constexpr uint32_t PAGE_SHIFT = 12;
uint64_t evacuated_pages[(uint64_t(1) << (32 - PAGE_SHIFT)) / 64];
std::vector<uint32_t> evacuated_frames;  // (first node, capacity) pairs, to clear the bits
bool relocating = false;

inline bool evacuated_page(uint32_t offset) {
  uint32_t page = offset >> PAGE_SHIFT;
  return (evacuated_pages[page / 64] >> (page % 64)) & 1;
}

void set_frame_pages(uint32_t first, uint32_t capacity, bool on) {
  for (uint32_t page = first >> PAGE_SHIFT; page <= (first + capacity * 4 - 1) >> PAGE_SHIFT; ++page) {
    uint64_t bit = uint64_t(1) << (page % 64);
    if (on) evacuated_pages[page / 64] |= bit;
    else evacuated_pages[page / 64] &= ~bit;
  }
}

void mark_evacuating(node_frame* f) {
  if (!f->capacity) return;
  set_frame_pages(f->first_node(), f->capacity, true);
  evacuated_frames.push_back(f->first_node());
  evacuated_frames.push_back(f->capacity);
  relocating = true;
}

uint32_t relocated(uint32_t node) {
  if (!evacuated_page(node)) return 0;
  uint32_t to = *arena::at<uint32_t>(node);
  return to && !evacuated_page(to) ? to : 0;
}

void reloc_free() {
  for (size_t i = 0; i < evacuated_frames.size(); i += 2)
    set_frame_pages(evacuated_frames[i], evacuated_frames[i + 1], false);
  evacuated_frames.clear();
  relocating = false;
}

void push_range(cell* first, cell* end) {
  if (first < end) mark_stack.push_back(range{first, end});
}

inline bool same_cell(const cell* a, const cell* b) {
  uint64_t a0, a1, b0, b1;
  std::memcpy(&a0, a, 8);
  std::memcpy(&a1, reinterpret_cast<const uint8_t*>(a) + 8, 8);
  std::memcpy(&b0, b, 8);
  std::memcpy(&b1, reinterpret_cast<const uint8_t*>(b) + 8, 8);
  return ((a0 ^ b0) | (a1 ^ b1)) == 0;
}

// A cell equal to the one marked just before it (a block of one value
// appended over and over) is not marked again: it takes the rewritten nodes
// that marking gave that one. Other cells pay one compare of word 2.
void scan(cell* first, cell* end) {
  cell before{TYPE_UNSET, 0, 0, 0};  // the last marked cell as it was; unset! marks nothing
  const cell* marked = &before;      // and as it is now
  for (cell* c = first; c < end; ++c) {
    if (c->w2 == before.w2 && same_cell(c, &before)) {
      if (!same_cell(marked, &before)) *c = *marked;
      continue;
    }
    type_marker m = type_markers[type_of(c)];
    if (!m) continue;
    before = *c;
    m(c);
    marked = c;
  }
}

void drain() {
  if (draining) return;
  draining = true;
  while (!mark_stack.empty()) {
    range r = mark_stack.back();
    mark_stack.pop_back();
    scan(r.first, r.end);
  }
  draining = false;
}

// --- Default mark procedures by type -------------------------------------

void mark_series_cell(cell* c) {
  if (c->w2) mark_block(&c->w2);
}
void mark_text(cell* c) {
  mark_node(&c->w2);
  if (c->w3) mark_node(&c->w3);
}
void mark_bytes(cell* c) { mark_node(&c->w2); }
void mark_symbol(cell* c) {
  mark_node(&c->w3);
  if (c->w2) mark_node(&c->w2);
}
void mark_word(cell* c) {
  if (c->w1) mark_context(&c->w1);
}
void mark_object(cell* c) {
  mark_context(&c->w1);
  if (c->w3) mark_node(&c->w3);
}
void mark_context_cell(cell* c) {
  if (c->w1) table_mark(&c->w1);
  if (c->w2 && !(c->header & FLAG_STACK_VALUES)) mark_block(&c->w2);
}
void mark_hash(cell* c) {
  if (c->w2) mark_block(&c->w2);
  if (c->w3) table_mark(&c->w3);
}
void mark_function(cell* c) {
  mark_context(&c->w1);
  if (c->w2) mark_block(&c->w2);
  if (c->w3) mark_block(&c->w3);
}
void mark_native(cell* c) {
  if (c->w2) mark_block(&c->w2);
  if (c->w3) mark_block(&c->w3);
  uint32_t made_from = (c->header >> 16) & 0xFF;
  if (type_of(c) == TYPE_OP && (made_from == TYPE_FUNCTION || made_from == TYPE_ROUTINE)) mark_context(&c->w1);
}
void mark_image(cell* c) {
  if (c->w2) mark_node(&c->w2);
}
void mark_handle(cell* c) {
  if (int32_t(c->w3) >= 0) handles::mark(int32_t(c->w3), nullptr);
}
void mark_event(cell* c) {
  if ((c->header & FLAG_EVENT_BUILT) && c->w2) mark_block(&c->w2);
}



// --- Node-frame evacuation --------------------------------------------------

// Moves every used node of `from` into frames with free nodes, starting at
// the active frame; the frame is then flagged for release at the cycle's end.
void evacuate(node_frame* from) {
  mark_evacuating(from);
  auto* target = frame_at<node_frame>(record.node_active);
  uint32_t* nodes = from->nodes();
  for (uint32_t i = 0; i < from->capacity; ++i) {
    uint32_t v = nodes[i];
    if (!v || from->holds(v)) continue;  // free node: links stay inside the frame
    while (!target->free || target->release || target == from) {
      target = frame_at<node_frame>(target->next);
      assert(target);
    }
    record.node_active = arena::offset_of(target);
    uint32_t node = target->free;
    uint32_t* slot = arena::at<uint32_t>(node);
    target->free = *slot;
    *slot = v;
    ++target->used;
    --from->used;
    arena::at<series_buffer>(v)->node = node;
    nodes[i] = node;  // the forward that relocated() reads
  }
  from->release = 1;
}

// Every node moves into fresh frames, so a node slot that no root covers is
// left pointing into a released frame.
bool evacuate_all() {
  uint64_t used = 0;
  for (auto* f = frame_at<node_frame>(record.node_head); f; f = frame_at<node_frame>(f->next)) used += f->used;
  if (!used) return false;
  uint32_t old_tail = record.node_tail;
  try {
    memory::new_node_frame_for(used);  // one frame: one block to release at the next cycle
  } catch (const thrown&) {
    return false;  // no room for fresh frames: this cycle moves nothing (empty ones go at its end)
  }
  record.node_active = arena::at<node_frame>(old_tail)->next;
  for (auto* f = frame_at<node_frame>(record.node_head);; f = frame_at<node_frame>(f->next)) {
    bool last = arena::offset_of(f) == old_tail;
    if (f->used) evacuate(f);
    f->release = 1;
    if (last) break;
  }
  return true;
}

bool evacuate_sparse() {
  auto* active = frame_at<node_frame>(record.node_head);
  while (active && !active->free) active = frame_at<node_frame>(active->next);
  if (!active) return false;
  record.node_active = arena::offset_of(active);
  uint64_t free = 0;
  for (auto* f = frame_at<node_frame>(record.node_head); f; f = frame_at<node_frame>(f->next))
    if (f->free && !f->release) free += f->capacity - f->used;
  // Every frame to empty is flagged before any node moves, so that none
  // receives nodes it is about to give away: a node moves once a cycle, and
  // the relocation table answers one step only. A chosen frame's own room
  // leaves the pool along with the nodes it needs placed elsewhere.
  std::vector<node_frame*> chosen;
  for (auto* f = frame_at<node_frame>(record.node_tail); f; f = frame_at<node_frame>(f->prev)) {
    if ((f->history & HISTORY_MASK) == HISTORY_MASK && f->used < memory::NODES_PER_FRAME / 2 &&
        free > f->capacity && f != active && !f->release) {
      f->release = 1;
      free -= f->capacity;
      chosen.push_back(f);
    }
  }
  for (node_frame* f : chosen) evacuate(f);
  return !chosen.empty();
}

void compact_node_frames() {
  if (detail::stress ? evacuate_all() : evacuate_sparse()) ++compactions;
}

// --- Sweeping ---------------------------------------------------------------

std::vector<uint32_t> sorted_node_frames() {
  std::vector<uint32_t> frames;
  for (uint32_t f = record.node_head; f; f = arena::at<node_frame>(f)->next) frames.push_back(f);
  std::sort(frames.begin(), frames.end());
  return frames;
}

// Each dead node goes back to its frame: the frame that starts last at or
// below it (frames lie apart, in address order here). Dead nodes come in runs
// from one frame, so the last frame found is tried first; the nodes are not
// sorted, which cost more than the rest of a collection with many dead ones.
void flush_pending() {
  if (!pending_count) return;
  std::vector<uint32_t> frames = sorted_node_frames();
  node_frame* last = nullptr;
  for (uint32_t i = 0; i < pending_count; ++i) {
    uint32_t node = pending[i];
    if (!last || !last->holds(node)) {
      auto after = std::upper_bound(frames.begin(), frames.end(), node);
      assert(after != frames.begin());
      last = arena::at<node_frame>(*(after - 1));
      assert(last->holds(node));
    }
    memory::free_node(last, node);
  }
  pending_count = 0;
}

// Raw pointers into buffers, by pointer value; fixed up as their buffers move.
struct interior {
  uint32_t value;
  void** slot;
};
std::vector<interior> interiors;
size_t interior_cursor = 0;

void collect_interiors() {
  interiors.clear();
  interior_cursor = 0;
  for (pinned_pointer* g = pin_guards; g; g = g->prev)
    if (arena::contains(*g->slot)) interiors.push_back(interior{arena::offset_of(*g->slot), g->slot});
  std::sort(interiors.begin(), interiors.end(), [](const interior& a, const interior& b) { return a.value < b.value; });
}

// Moves the run of live buffers [start, start + length) down to dest.
void move_run(uint32_t start, uint32_t length, uint32_t dest) {
  uint32_t distance = start - dest;
  KEZ_UNPOISON(arena::at(dest), length);
  std::memmove(arena::at(dest), arena::at(start), length);
  for (uint32_t b = dest; b < dest + length;) {
    auto* buf = arena::at<series_buffer>(b);
    *arena::at<uint32_t>(buf->node) = b;
    buf->head -= distance;
    buf->tail -= distance;
    b += memory::buffer_span(buf);
  }
  while (interior_cursor < interiors.size() && interiors[interior_cursor].value < start) ++interior_cursor;
  for (size_t i = interior_cursor; i < interiors.size() && interiors[i].value < start + length; ++i)
    *interiors[i].slot = static_cast<uint8_t*>(*interiors[i].slot) - distance;
}

void compact_series_frames() {
  series_frame* prev = nullptr;
  for (auto* f = frame_at<series_frame>(record.series_head); f;) {
    auto* next = frame_at<series_frame>(f->next);  // f may be released below
    if (f->heap == f->first()) {
      prev = f;
      f = next;
      continue;
    }
    uint32_t room = 0;
    bool into_prev = false;
    if (prev) {
      room = prev->end - prev->heap;
      into_prev = room > memory::FRAME_REUSE_MIN;
      if (!into_prev) room = 0;
    }
    uint32_t hole = 0;
    for (uint32_t b = f->first(); b < f->heap;) {
      auto* buf = arena::at<series_buffer>(b);
      if (!(buf->flags & SERIES_MARK)) {
        if (!hole) hole = b;
        queue_release(buf->node);
        b += memory::buffer_span(buf);
        continue;
      }
      uint32_t start = b, length = 0, last = b;
      while (b < f->heap) {
        buf = arena::at<series_buffer>(b);
        if (!(buf->flags & SERIES_MARK) || (into_prev && length >= room)) break;
        buf->flags &= ~SERIES_MARK;
        last = b;
        length += memory::buffer_span(buf);
        b += memory::buffer_span(buf);
      }
      if (into_prev && length > room && last != start) {
        arena::at<series_buffer>(last)->flags |= SERIES_MARK;  // walked again as the next run
        b = last;
        length = last - start;
      }
      if (into_prev && length <= room) {
        uint32_t dest = prev->heap;
        prev->heap += length;
        if (!hole) hole = start;
        room -= length;
        if (room <= memory::FRAME_REUSE_MIN) {
          room = 0;
          into_prev = false;
        }
        move_run(start, length, dest);
      } else if (hole) {
        move_run(start, length, hole);
        hole += length;
      } else {
        into_prev = false;
      }
    }
    if (hole) f->heap = hole;
    KEZ_POISON(arena::at(f->heap), f->end - f->heap);
    if (prev && f->heap == f->first() && f->next) {
      memory::release_series_frame(f);
    } else {
      prev = f;
    }
    f = next;
  }
}

void clear_fixed_marks() {
  for (uint32_t at = record.fixed_head; at; at = arena::at<memory::block_series>(at)->next)
    arena::at<memory::block_series>(at)->buffer()->flags &= ~SERIES_MARK;
}

void mark_roots() {
  for (uint32_t i = 0; i < marker_top; ++i)
    if (markers[i]) {
      markers[i]();
      drain();
    }
  for (root_node* g = detail::node_guards; g; g = g->prev) {
    if (mark_node(g->slot)) {
      series_buffer* b = memory::buffer_of(*g->slot);
      if (b->unit() == 16) push_range(b->head_cell(), b->tail_cell());
    }
    drain();
  }
  for (root_cells* g = detail::cell_guards; g; g = g->prev) mark_values(g->first, g->first + g->count);
}

}  // namespace

void init() {
  cycles = 0;
  compactions = 0;
  detail::stress = stress_from_environment();
}

bool active_q() { return collecting; }
bool enabled() { return enabled_flag; }
void set_enabled(bool on) { enabled_flag = on; }
bool node_compaction() { return compaction_switch; }
void set_node_compaction(bool on) { compaction_switch = on; }
void set_stress(bool on) { detail::stress = on; }

bool boot_stress_q() { return std::getenv("KEZ_GC_STRESS_BOOT") != nullptr; }
uint32_t cycle_count() { return cycles; }
uint32_t node_compaction_count() { return compactions; }

void auto_collect() {
  if (enabled_flag) do_cycle();
}

void do_cycle() {
  if (collecting) return;  // a cycle never nests (a marker that allocates must not collect)
  collecting = true;
  // A throwing callback must not leave the collector switched off for good.
  struct end_of_cycle {
    ~end_of_cycle() { collecting = false; }
  } ending;
  if (compaction_switch) compact_node_frames();
  mark_roots();
  collect_interiors();
  if (relocating)
    for (procedure fn : relocators) fn();
  handles::sweep();
  for (procedure fn : purgers) fn();
  compact_series_frames();
  memory::sweep_big();
  flush_pending();
  memory::update_node_frames();
  reloc_free();
  interiors.clear();
  clear_fixed_marks();
  ++memory::epoch;
  ++cycles;
}

bool mark_node(uint32_t* slot) {
  uint32_t node = *slot;
  if (!node) return false;
  if (relocating)
    if (uint32_t moved = relocated(node)) *slot = node = moved;
  series_buffer* b = memory::buffer_of(node);
  if (b->flags & SERIES_MARK) return false;
  b->flags |= SERIES_MARK;
  return true;
}

void mark_block(uint32_t* slot) {
  if (mark_node(slot)) {
    series_buffer* b = memory::buffer_of(*slot);
    push_range(b->head_cell(), b->tail_cell());
  }
}

void mark_series_value(cell* value) { mark_block(&value->w2); }

void mark_context(uint32_t* slot) {
  if (!mark_node(slot)) return;
  series_buffer* b = memory::buffer_of(*slot);
  auto* context = reinterpret_cast<cell*>(b->data());
  if (context->w1) table_mark(&context->w1);
  if (context->w2 && !(context->header & FLAG_STACK_VALUES)) mark_block(&context->w2);
  if (b->size >= 2 * sizeof(cell)) push_range(context + 1, context + 2);  // the owner value
}

void mark_values(cell* first, cell* end) {
  scan(first, end);
  drain();
}

void unmark_node(uint32_t node) { memory::buffer_of(node)->flags &= ~SERIES_MARK; }

void relocate_range(uint32_t* start, uint32_t* end) {
  if (!relocating) return;
  for (uint32_t* p = start; p < end; ++p)
    if (uint32_t moved = relocated(*p)) *p = moved;
}

void set_marker(uint32_t type, type_marker fn) { type_markers[type & 0xFF] = fn; }
void set_table_marker(table_marker fn) { table_mark = fn ? fn : mark_table_node; }

void add_marker(procedure fn) {
  // A cleared slot is taken again, so that a module that registers for the
  // length of one task (a decoder) can do so any number of times.
  for (uint32_t i = 0; i < marker_top; ++i)
    if (!markers[i]) {
      markers[i] = fn;
      return;
    }
  assert(marker_top < MAX_MARKERS);
  if (marker_top < MAX_MARKERS) markers[marker_top++] = fn;
}

void remove_marker(procedure fn) {
  for (uint32_t i = 0; i < marker_top; ++i)
    if (markers[i] == fn) {
      markers[i] = nullptr;
      return;
    }
}

void add_purger(procedure fn) { purgers.add(fn); }
void remove_purger(procedure fn) { purgers.remove(fn); }
void add_relocator(procedure fn) { relocators.add(fn); }
void remove_relocator(procedure fn) { relocators.remove(fn); }

void queue_release(uint32_t node) {
  if (!node) return;
  if (pending_count == PENDING_MAX) flush_pending();
  pending[pending_count++] = node;
}


pinned_pointer::pinned_pointer(void** s, int) : slot(s), prev(pin_guards) { pin_guards = this; }
pinned_pointer::~pinned_pointer() {
  assert(pin_guards == this);
  pin_guards = prev;
}

}  // namespace kez::collector
