#include "runtime/entry_table.h"

#include <algorithm>
#include <cassert>
#include <cstring>

#include "runtime/hashtable_record.h"
#include "runtime/mem.h"
#include "runtime/murmur.h"

namespace kez::hashtable {

using namespace detail;

namespace {

constexpr uint32_t LIVE_ENTRY = TYPE_UNSET;  // first word of a live entry; 0 when deleted

cell* entry_at(const record* r, uint32_t offset) {
  return reinterpret_cast<cell*>(memory::buffer_of(r->block)->data() + offset);
}

slot locate_key(const record* r, uint32_t key) {
  const uint32_t* index = words(r->index);
  return locate(words(r->flags), r->capacity, hash::int32(key),
                [&](uint32_t b) { return entry_at(r, index[b])->w1 == key; });
}

// The entry block is made with room for as many entries as buckets can be
// taken before the next rebuild, and never grows in place: growth would mark
// it as a plain block, reading the stale values of deleted entries.
bool room_for_entry(const record* r) {
  series_buffer* b = memory::buffer_of(r->block);
  return b->tail + r->cells <= arena::offset_of(b->end());
}

bool reached(uint32_t node) { return node && (memory::buffer_of(node)->flags & SERIES_MARK); }

// Node words of the cells that kind 4 holds weakly, which marking did not
// rewrite: the owner object and the field word.
void relocate_weak(cell* c) {
  switch (type_of(c)) {
    case TYPE_OBJECT: case TYPE_ERROR: case TYPE_PORT:
      collector::relocate_range(&c->w3, &c->w3 + 1);
      [[fallthrough]];
    case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
      collector::relocate_range(&c->w1, &c->w1 + 1);
      break;
    default:
      break;
  }
}

}  // namespace

namespace detail {

void mark_entries(record* r) {
  uint32_t size = r->cells;
  bool weak = r->kind == OWNERS;
  if (!collector::mark_node(&r->block) && !r->block) return;  // a table still being made
  series_buffer* b = memory::buffer_of(r->block);
  for (uint8_t* e = b->data(); e + size <= b->tail_ptr(); e += size) {
    auto* first = reinterpret_cast<cell*>(e);
    if (first->header != LIVE_ENTRY) continue;
    if (collector::mark_node(&first->w1)) {
      series_buffer* kb = memory::buffer_of(first->w1);
      if (kb->unit() == 16) collector::mark_values(kb->head_cell(), kb->tail_cell());
    }
    uint32_t values = size / sizeof(cell) - 1;
    collector::mark_values(first + 1, first + 1 + (weak ? std::min(values, 1u) : values));
  }
}

}  // namespace detail

cell* put_pointer(uint32_t table, uint32_t key) {
  collector::root_node keep(key);  // the key is a node: kept and current however the table is remade
  root t(table);
  check_stamp(t.node());
  record* r = t.rec();
  if (r->used >= r->bound)
    refresh(t.node(), uint32_t(r->count) * 2 < r->capacity ? r->capacity - 1 : r->capacity + 1);
  else if (!room_for_entry(t.rec()))
    refresh(t.node(), t.rec()->capacity);  // deleted entries left behind by a re-index take the room
  r = t.rec();
  slot s = locate_key(r, key);
  uint32_t offset;
  if (s.match >= 0) {
    offset = words(r->index)[s.match];
  } else {
    assert(s.free >= 0);
    uint32_t b = uint32_t(s.free);
    if (state(words(r->flags), b) == EMPTY) {
      assert(room_for_entry(r));
      series_buffer* eb = memory::buffer_of(r->block);
      std::memset(eb->tail_ptr(), 0, r->cells);
      offset = eb->tail - arena::offset_of(eb->data());
      eb->tail += r->cells;
      words(r->index)[b] = offset;
      ++r->used;
    } else {
      offset = words(r->index)[b];  // the deleted entry's place
    }
    set_state(words(r->flags), b, LIVE);
    ++r->count;
    entry_at(r, offset)->w1 = key;
  }
  cell* entry = entry_at(r, offset);
  for (uint32_t i = 0; i < r->cells / sizeof(cell); ++i) entry[i].header = LIVE_ENTRY;
  return entry + 1;
}

cell* get_pointer(uint32_t table, uint32_t key) {
  check_stamp(table);  // re-indexing entry tables allocates nothing
  record* r = rec(table);
  slot s = locate_key(r, key);
  return s.match >= 0 ? entry_at(r, words(r->index)[s.match]) + 1 : nullptr;
}

cell* delete_pointer(uint32_t table, uint32_t key) {
  check_stamp(table);
  record* r = rec(table);
  slot s = locate_key(r, key);
  if (s.match < 0) return nullptr;
  set_state(words(r->flags), uint32_t(s.match), DELETED);
  --r->count;
  cell* entry = entry_at(r, words(r->index)[s.match]);
  entry->header = 0;
  return entry + 1;
}

void rebuild_entries(uint32_t table, uint32_t n) {
  root t(table);
  uint32_t cells = t.rec()->cells / sizeof(cell);
  uint32_t live = 0;
  {
    series_buffer* b = memory::buffer_of(t.rec()->block);
    for (uint8_t* e = b->data(); e + t.rec()->cells <= b->tail_ptr(); e += t.rec()->cells)
      live += reinterpret_cast<cell*>(e)->header == LIVE_ENTRY;
  }
  // Never fewer buckets than the entries need: a full table has no empty
  // bucket to end a probe.
  uint32_t capacity = in_place_capacity(n);
  while (in_place_bound(capacity) <= live) capacity *= 2;
  uint32_t bound = in_place_bound(capacity);
  uint32_t flags = new_flags(capacity);
  collector::root_node keep_flags(flags);
  uint32_t index = new_index(capacity);
  collector::root_node keep_index(index);
  uint32_t block = memory::alloc_cells(bound * cells);
  collector::root_node keep_block(block);
  // Nothing below allocates: the record changes over in one step.
  record* r = t.rec();
  series_buffer* from = memory::buffer_of(r->block);
  series_buffer* to = memory::buffer_of(block);
  uint32_t placed = 0;
  for (uint8_t* e = from->data(); e + r->cells <= from->tail_ptr(); e += r->cells) {
    if (reinterpret_cast<cell*>(e)->header != LIVE_ENTRY) continue;
    uint32_t offset = to->tail - arena::offset_of(to->data());
    std::memcpy(to->tail_ptr(), e, r->cells);
    to->tail += r->cells;
    uint32_t b = first_empty(words(flags), capacity, hash::int32(reinterpret_cast<cell*>(e)->w1));
    set_state(words(flags), b, LIVE);
    words(index)[b] = offset;
    ++placed;
  }
  r->flags = flags;
  r->index = index;
  r->block = block;
  r->capacity = capacity;
  r->bound = bound;
  r->count = int32_t(placed);
  r->used = placed;
  r->stamp = epoch();
}

void purge_dead(uint32_t table) {
  record* r = rec(table);
  if (r->kind < ENTRIES) return;
  uint32_t* flags = words(r->flags);
  const uint32_t* index = words(r->index);
  bool owners = r->kind == OWNERS && r->cells >= 3 * sizeof(cell);
  for (uint32_t b = 0; b < r->capacity; ++b) {
    if (state(flags, b) != LIVE) continue;
    cell* entry = entry_at(r, index[b]);
    bool dead = !reached(entry->w1);
    if (owners) {
      for (cell* c = entry + 2; c < entry + r->cells / sizeof(cell); ++c) relocate_weak(c);
      dead = dead || !reached(entry[2].w1);
    }
    if (!dead) continue;
    // By bucket, not by probing: the keys may have moved in this very cycle.
    set_state(flags, b, DELETED);
    --r->count;
    entry->header = 0;
    entry->w1 = 0;
  }
}

}  // namespace kez::hashtable

namespace kez::intmap {

using hashtable::detail::first_empty;
using hashtable::detail::kick_out;
using hashtable::detail::locate;
using hashtable::detail::set_state;
using hashtable::detail::slot;
using hashtable::detail::state;

namespace {

uint32_t* new_flags(uint32_t capacity) {
  size_t bytes = std::max<size_t>(capacity / 4, 4);
  auto* flags = static_cast<uint32_t*>(mem::allocate(bytes));
  std::memset(flags, hashtable::detail::ALL_EMPTY, bytes);
  return flags;
}

struct pair {
  uint32_t key, value;
};

pair* pairs(map* m) { return reinterpret_cast<pair*>(m->slots); }

slot locate_key(const map* m, uint32_t key) {
  const auto* p = reinterpret_cast<const pair*>(m->slots);
  return locate(m->flags, m->capacity, murmur::fmix32(key), [&](uint32_t b) { return p[b].key == key; });
}

}  // namespace

map* make(uint32_t n) {
  n = std::max(n, 4u);
  auto* m = static_cast<map*>(mem::allocate(sizeof(map)));
  m->capacity = hash::round_pow2(uint32_t(n / hashtable::detail::LOAD));
  m->bound = uint32_t(hashtable::detail::LOAD * m->capacity);
  m->count = 0;
  m->used = 0;
  m->flags = new_flags(m->capacity);
  m->slots = static_cast<uint32_t*>(mem::allocate(size_t(m->capacity) * sizeof(pair)));
  return m;
}

void free(map* m) {
  if (!m) return;
  mem::free(m->flags);
  mem::free(m->slots);
  mem::free(m);
}

void clear(map* m) {
  std::memset(m->flags, hashtable::detail::ALL_EMPTY, std::max<size_t>(m->capacity / 4, 4));
  m->count = 0;
  m->used = 0;
}

int put(map* m, uint32_t key, uint32_t value) {
  if (m->used >= m->bound) resize(m, m->count * 2 < m->capacity ? m->capacity - 1 : m->capacity + 1);
  slot s = locate_key(m, key);
  if (s.match >= 0) {
    pairs(m)[s.match].value = value;
    return 1;
  }
  assert(s.free >= 0);
  uint32_t b = uint32_t(s.free);
  if (state(m->flags, b) == hashtable::detail::EMPTY) ++m->used;
  set_state(m->flags, b, hashtable::detail::LIVE);
  pairs(m)[b] = pair{key, value};
  ++m->count;
  return 0;
}

uint32_t* get(map* m, uint32_t key) {
  slot s = locate_key(m, key);
  return s.match >= 0 ? &pairs(m)[s.match].value : nullptr;
}

int32_t find(const map* m, uint32_t key) { return locate_key(m, key).match; }

void delete_(map* m, uint32_t key) {
  int32_t b = find(m, key);
  if (b < 0) return;
  set_state(m->flags, uint32_t(b), hashtable::detail::DELETED);
  --m->count;
}

uint32_t count(const map* m) { return m->count; }

uint32_t* next(map* m, uint32_t* slot_) {
  uint32_t b = slot_ ? uint32_t(reinterpret_cast<pair*>(slot_) - pairs(m)) + 1 : 0;
  for (; b < m->capacity; ++b)
    if (state(m->flags, b) == hashtable::detail::LIVE) return &pairs(m)[b].key;
  return nullptr;
}

void resize(map* m, uint32_t n) {
  uint32_t capacity = hashtable::detail::in_place_capacity(n);
  uint32_t bound = hashtable::detail::in_place_bound(capacity);
  if (m->count >= bound) return;
  uint32_t* flags = new_flags(capacity);
  if (capacity > m->capacity) m->slots = static_cast<uint32_t*>(mem::realloc(m->slots, size_t(capacity) * sizeof(pair)));
  kick_out(m->flags, m->capacity, flags, capacity, pairs(m), [](const pair& p) { return murmur::fmix32(p.key); });
  if (capacity < m->capacity) m->slots = static_cast<uint32_t*>(mem::realloc(m->slots, size_t(capacity) * sizeof(pair)));
  mem::free(m->flags);
  m->flags = flags;
  m->used = m->count;
  m->capacity = capacity;
  m->bound = bound;
}

}  // namespace kez::intmap
