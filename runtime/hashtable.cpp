#include "runtime/hashtable.h"

#include <algorithm>
#include <cassert>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/actions.h"
#include "runtime/arrays.h"
#include "runtime/case_map.h"
#include "runtime/datatypes/string.h"
#include "runtime/entry_table.h"
#include "runtime/hashtable_record.h"
#include "runtime/murmur.h"
#include "runtime/runtime.h"
#include "runtime/utf.h"

namespace kez::hash {

using hashtable::detail::fold_ascii;

namespace {

// Fixed, not taken from an address: hashes, and with them probe orders and
// growth points, are the same from run to run.
constexpr uint32_t SEED = 0x4B657A21;

// Payload words first .. first + count - 1 of a cell, as bytes.
uint32_t payload(const cell* c, int first, int count) {
  return bytes(reinterpret_cast<const uint8_t*>(c) + 4 * first, 4 * size_t(count));
}

// The bytes of a series value from its head to its tail.
uint32_t series_bytes(const cell* c) {
  series_buffer* b = memory::buffer_of(c->w2);
  uint64_t head = uint64_t(b->head) + c->w1;
  if (head >= b->tail) return bytes(nullptr, 0);
  return bytes(arena::at(uint32_t(head)), b->tail - head);
}

}  // namespace

uint32_t bytes(const void* data, size_t n) { return murmur::hash32(data, n, SEED); }

uint32_t int32(uint32_t v) { return murmur::fmix32(v); }

uint32_t string(const cell* value, bool case_sensitive) {
  series_buffer* b = memory::buffer_of(value->w2);
  uint32_t unit = b->unit();
  if (unit != 1 && unit != 2 && unit != 4) runtime::quit(runtime::RT_NO_SWITCH, runtime::caller_address());
  uint64_t head = uint64_t(b->head) + uint64_t(value->w1) * unit;
  size_t n = head < b->tail ? (b->tail - head) / unit : 0;
  uint32_t h = SEED;
  const uint8_t* p = arena::at(uint32_t(head));
  if (unit == 1) {
    // One unit a code point: the commonest text, looped over without the
    // width and case tests of the general loop below (same hash).
    if (case_sensitive) {
      for (size_t i = 0; i < n; ++i) h = murmur::mix_block(h, p[i]);
    } else {
      for (size_t i = 0; i < n; ++i) {
        uint32_t cp = p[i];
        cp = cp < 0x80 ? cp - (cp - 'a' < 26u ? 32 : 0) : uint32_t(case_::convert(int32_t(cp), case_::upper));
        h = murmur::mix_block(h, cp);
      }
    }
    return murmur::finish(h, 0, 0, 4 * n);
  }
  for (size_t i = 0; i < n; ++i) {
    int32_t cp = utf::get(p, int(unit), i);
    // ASCII folds inline: the case tables give the same for it.
    if (!case_sensitive) cp = cp < 0x80 ? (cp >= 'a' && cp <= 'z' ? cp - 32 : cp) : case_::convert(cp, case_::upper);
    h = murmur::mix_block(h, uint32_t(cp));
  }
  return murmur::finish(h, 0, 0, 4 * n);
}

uint32_t symbol_name(const uint8_t* name, size_t n) {
  // Folding on the fly gives the hash of the folded copy without making one.
  uint32_t h = SEED;
  size_t blocks = n / 4;
  for (size_t i = 0; i < blocks; ++i) {
    const uint8_t* p = name + 4 * i;
    h = murmur::mix_block(h, uint32_t(fold_ascii(p[0])) | uint32_t(fold_ascii(p[1])) << 8 |
                                 uint32_t(fold_ascii(p[2])) << 16 | uint32_t(fold_ascii(p[3])) << 24);
  }
  uint32_t tail = 0;
  size_t rest = n & 3;
  for (size_t i = rest; i > 0; --i) tail = (tail << 8) | fold_ascii(name[4 * blocks + i - 1]);
  return murmur::finish(h, tail, rest, n);
}

uint32_t value(const cell* v, bool case_sensitive) {
  switch (type_of(v)) {
    case TYPE_INTEGER:
    case TYPE_CHAR:
      return int32(v->w2);
    case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD:
    case TYPE_REFINEMENT: case TYPE_ISSUE: {
      uint32_t symbol = hashtable::hook.resolve ? hashtable::hook.resolve(v->w2) : v->w2;
      return int32(symbol);
    }
    case TYPE_SYMBOL: {
      series_buffer* b = memory::buffer_of(v->w3);
      return symbol_name(b->head_ptr(), b->used());
    }
    case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL: case TYPE_REF:
      return string(v, case_sensitive);
    case TYPE_FLOAT: case TYPE_PAIR: case TYPE_PERCENT: case TYPE_TIME:
      return payload(v, 2, 2);
    case TYPE_POINT2D:
      return payload(v, 1, 2);
    case TYPE_POINT3D:
    case TYPE_OP: case TYPE_FUNCTION: case TYPE_TRIPLE: case TYPE_TYPESET: case TYPE_DATE:
      return payload(v, 1, 3);
    case TYPE_MONEY: {
      // Digits, currency and sign only: the other header flags do not count.
      cell m = *v;
      m.header = (v->header & FLAG_TYPE_MASK) | (v->header & hashtable::hook.money_sign_flag);
      return bytes(&m, sizeof m);
    }
    case TYPE_BINARY:
      return series_bytes(v);
    case TYPE_TUPLE: {
      uint32_t n = (v->header >> 19) & 15;
      return bytes(&v->w1, std::min<uint32_t>(n, 12));  // never past the payload
    }
    case TYPE_OBJECT: case TYPE_ERROR: case TYPE_PORT: case TYPE_LOGIC: case TYPE_DATATYPE:
      return int32(v->w1);
    case TYPE_NATIVE: case TYPE_ACTION:
      return int32(v->w3);
    case TYPE_MAP: case TYPE_HANDLE: case TYPE_EVENT:
      return int32(v->w2);
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH: case TYPE_PATH: case TYPE_LIT_PATH:
    case TYPE_SET_PATH: case TYPE_GET_PATH: case TYPE_IMAGE:
      return payload(v, 1, 2);
    case TYPE_NONE:
      return 0xFFFFFFFF;
    case TYPE_UNSET:
      return 0xFFFFFFFE;
    default:
      return 0;
  }
}

bool address_keyed_q(uint32_t type) {
  switch (type) {
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_NATIVE: case TYPE_ACTION: case TYPE_OP:
    case TYPE_FUNCTION: case TYPE_PATH: case TYPE_LIT_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
    case TYPE_OBJECT: case TYPE_ERROR: case TYPE_HASH: case TYPE_MAP: case TYPE_PORT:
    case TYPE_IMAGE: case TYPE_EVENT:
      return true;
    default:
      return false;
  }
}

uint32_t round_pow2(uint32_t n) {
  if (n == 0) return 0;
  --n;
  n |= n >> 1;
  n |= n >> 2;
  n |= n >> 4;
  n |= n >> 8;
  n |= n >> 16;
  return n + 1;
}

}  // namespace kez::hash

namespace kez::hashtable {

hooks hook{.compare = actions::compare};

using namespace detail;

namespace {

bool ready = false;

constexpr uint32_t SHIFT_LIMIT = 30000;
constexpr uint32_t SYMBOL_GROWTH = 16;  // a full symbol or word table grows 16-32 times at once

bool compare(const cell* a, const cell* b, int op) {
  assert(hook.compare);
  return hook.compare(a, b, op);
}

uint32_t canonical(uint32_t symbol) { return hook.resolve ? hook.resolve(symbol) : symbol; }

bool word_type_q(uint32_t type) {
  return type == TYPE_WORD || type == TYPE_SET_WORD || type == TYPE_LIT_WORD || type == TYPE_GET_WORD;
}

cell* cells_of(uint32_t block) { return reinterpret_cast<cell*>(memory::buffer_of(block)->data()); }

// Cells from the buffer's start to its tail: indexes are counted from there.
uint32_t cells_in(uint32_t block) {
  series_buffer* b = memory::buffer_of(block);
  return (b->tail - arena::offset_of(b->data())) / sizeof(cell);
}

uint32_t cell_index(uint32_t block, const cell* c) {
  series_buffer* b = memory::buffer_of(block);
  ptrdiff_t at = reinterpret_cast<const uint8_t*>(c) - b->data();
  assert(at >= 0 && size_t(at) < b->size && at % sizeof(cell) == 0 && "the cell lies in the indexed block");
  return uint32_t(at / ptrdiff_t(sizeof(cell)));
}

void set_tail(uint32_t node, uint32_t bytes) {
  series_buffer* b = memory::buffer_of(node);
  b->tail = b->head + bytes;
}

// --- Kind 0: cell-to-bucket words and duplicate chains ---------------------
// A chain is a 32-bit array (a series of unit 4, length from head to tail) of
// entries in insertion order; a bucket holding chain k stores -k. An entry is
// a cell index plus the record's bias; the cell-to-bucket array is indexed
// by entry too.

uint32_t c2b_length(const record* r) { return memory::buffer_of(r->cells)->size / 4; }

uint32_t chain_count(const record* r) { return r->chains ? array::length_q(r->chains) : 0; }
uint32_t chain_node(const record* r, uint32_t k) { return array::pick_int(r->chains, k); }
int32_t* members_of(uint32_t chain) { return reinterpret_cast<int32_t*>(array::head(chain)); }

// The cell that stands for a bucket in comparisons: its single cell or the
// first member of its chain.
uint32_t first_cell(const record* r, int32_t stored) {
  return (stored >= 0 ? uint32_t(stored) : array::pick_int(chain_node(r, uint32_t(-stored)), 1)) - r->bias;
}

// Makes the cell-to-bucket array hold the words of at least `n` cells, new
// ones -1.
void reserve_c2b(const root& t, uint32_t n) {
  record* r = t.rec();
  n += r->bias;
  if (c2b_length(r) >= n) return;
  // Whole 16-byte steps: the buffer's size is rounded so, and every word of
  // it must read -1, not what the heap held before.
  uint64_t bytes = (std::max<uint64_t>(uint64_t(n) * 8, 16) + 15) & ~uint64_t(15);
  memory::expand_series_filled(memory::buffer_of(r->cells), int64_t(bytes), 0xFF);
}

// Takes cell i out of its bucket; nothing when it is not indexed.
void unindex(record* r, uint32_t cell_i) {
  uint32_t i = cell_i + r->bias;
  int32_t* c2b = words<int32_t>(r->cells);
  if (i >= c2b_length(r) || c2b[i] <= 0) return;
  uint32_t b = uint32_t(c2b[i] - 1);
  c2b[i] = -1;
  int32_t* index = words<int32_t>(r->index);
  uint32_t* flags = words(r->flags);
  assert(b < r->capacity && state(flags, b) == LIVE);
  if (index[b] < 0) {
    uint32_t k = uint32_t(-index[b]);
    uint32_t chain = chain_node(r, k);
    assert(array::find_int(chain, i) >= 0);
    array::remove_int(chain, i);
    if (array::length_q(chain)) return;  // the chain keeps members: the bucket stays live
    array::poke_int(r->chains, k, 0);
  } else {
    assert(uint32_t(index[b]) == i);
  }
  set_state(flags, b, DELETED);
  --r->count;
}

// Rewrites the indexes of the cells in [lo, hi) through to(), each chain
// once; with move, their cell-to-bucket words go along to the new places and
// the places they leave become -1. Allocates nothing: the array must already
// hold every target place.
template <class To>
void remap(record* r, uint32_t cell_lo, uint32_t cell_hi, bool move, To cell_to) {
  uint32_t bias = r->bias, lo = cell_lo + bias, hi = cell_hi + bias;
  auto to = [&](uint32_t entry) { return cell_to(entry - bias) + bias; };
  int32_t* c2b = words<int32_t>(r->cells);
  int32_t* index = words<int32_t>(r->index);
  uint32_t length = c2b_length(r);
  std::vector<int32_t> moved(hi - lo, -1);
  std::vector<bool> done(chain_count(r) + 1, false);
  for (uint32_t i = lo; i < hi && i < length; ++i) {
    int32_t w = moved[i - lo] = c2b[i];
    if (w <= 0) continue;
    int32_t& stored = index[w - 1];
    if (stored >= 0) {
      stored = int32_t(to(uint32_t(stored)));
      continue;
    }
    uint32_t k = uint32_t(-stored);
    if (done[k]) continue;
    done[k] = true;
    uint32_t chain = chain_node(r, k);
    int32_t* members = members_of(chain);
    for (uint32_t m = 0, n = array::length_q(chain); m < n; ++m)
      if (uint32_t(members[m]) >= lo && uint32_t(members[m]) < hi) members[m] = int32_t(to(uint32_t(members[m])));
  }
  if (!move) return;
  for (uint32_t i = lo; i < hi && i < length; ++i) c2b[i] = -1;
  for (uint32_t i = lo; i < hi; ++i) {
    uint32_t target = to(i);
    assert(target < length || moved[i - lo] == -1);
    if (target < length) c2b[target] = moved[i - lo];
  }
}

// Enters cell i of a kind 0 table, current and with its cell-to-bucket word
// in place.
cell* insert_hashed(const root& t, uint32_t cell_i) {
  record* r = t.rec();
  unindex(r, cell_i);  // a cell is in one bucket at most: a changed cell leaves its old one
  uint32_t i = cell_i + r->bias;
  cell* c = cells_of(r->block) + cell_i;
  if (!r->stamp && hash::address_keyed_q(type_of(c))) r->stamp = epoch();
  uint32_t h = hash::value(c, false);
  slot s = locate(words(r->flags), r->capacity, h, [&](uint32_t b) {
    cell* first = cells_of(r->block) + first_cell(r, words<int32_t>(r->index)[b]);
    return type_of(first) == type_of(c) && compare(first, c, 0);
  });
  if (s.match < 0) {
    assert(s.free >= 0);
    uint32_t b = uint32_t(s.free);
    uint32_t* flags = words(r->flags);
    if (state(flags, b) == EMPTY) ++r->used;
    set_state(flags, b, LIVE);
    words<int32_t>(r->index)[b] = int32_t(i);
    ++r->count;
    words<int32_t>(r->cells)[i] = int32_t(b + 1);
    return cells_of(r->block) + cell_i;
  }
  // The cell joins the bucket's duplicates. Allocation first: the bucket
  // stays as it is until the chain that will replace it is in place.
  uint32_t b = uint32_t(s.match);
  int32_t stored = words<int32_t>(r->index)[b];
  if (stored >= 0) {
    uint32_t chain = array::make(4, 4);
    collector::root_node keep(chain);
    array::append_int(chain, uint32_t(stored));
    array::append_int(chain, i);
    if (!t.rec()->chains) {
      uint32_t store = array::make(4, 4);
      t.rec()->chains = store;
    }
    // Room first, then the node: growing the store may move the chain's node.
    array::append_int(t.rec()->chains, 0);
    array::poke_int(t.rec()->chains, array::length_q(t.rec()->chains), chain);
    r = t.rec();
    words<int32_t>(r->index)[b] = -int32_t(chain_count(r));
  } else {
    array::append_int(chain_node(r, uint32_t(-stored)), i);
    r = t.rec();
  }
  words<int32_t>(r->cells)[i] = int32_t(b + 1);
  return cells_of(r->block) + cell_i;
}

// Enters cell i of a kind 1-2 table: a key already there stays as it is.
// With its hash known, the key is one that matches none (no compares).
cell* insert_keyed(const root& t, uint32_t i, const uint32_t* known_hash = nullptr) {
  record* r = t.rec();
  cell* c = cells_of(r->block) + i;
  if (!r->stamp && hash::address_keyed_q(type_of(c))) r->stamp = epoch();
  uint32_t h = known_hash ? *known_hash : hash::value(c, false);
  bool map = r->kind == MAP;
  uint32_t at = index_step(r);
  slot s = locate(words(r->flags), r->capacity, h, [&](uint32_t b) {
    const uint32_t* entry = words(r->index) + b * at;
    if (known_hash || (map && entry[1] != h)) return false;
    return compare(cells_of(r->block) + entry[0], c, 2);
  });
  if (s.match >= 0) return c;
  assert(s.free >= 0);
  uint32_t b = uint32_t(s.free);
  uint32_t* flags = words(r->flags);
  if (state(flags, b) == EMPTY) ++r->used;
  set_state(flags, b, LIVE);
  uint32_t* entry = words(r->index) + b * at;
  entry[0] = i;
  if (map) entry[1] = h;
  ++r->count;
  return c;
}

// Indexed before nodes last moved, and not in a collection (which never
// re-indexes).
bool stale(const record* r) { return r->stamp && r->stamp != epoch() && !collector::active_q(); }

void empty_buckets(record* r) {
  memory::fill(words<uint8_t>(r->flags), words<uint8_t>(r->flags) + memory::buffer_of(r->flags)->size, ALL_EMPTY);
  r->count = 0;
  r->used = 0;
}

void empty_chains(record* r) {
  if (r->kind != HASH) return;
  r->bias = 0;
  memory::fill(words<uint8_t>(r->cells), words<uint8_t>(r->cells) + memory::buffer_of(r->cells)->size, 0xFF);
  if (r->chains) array::clear(r->chains);
}

// ASCII letters only, as symbols compare.
bool same_ascii_folded(const uint8_t* a, const uint8_t* b, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i)
    if (fold_ascii(a[i]) != fold_ascii(b[i])) return false;
  return true;
}

}  // namespace

namespace detail {

uint32_t new_flags(uint32_t capacity) { return memory::alloc_bytes_filled(std::max(capacity / 4, 4u), ALL_EMPTY); }
uint32_t new_index(uint32_t capacity) { return memory::alloc_bytes_filled(capacity * 4, 0); }

uint32_t stored_hash(const record* r, uint32_t stored) {
  if (r->kind >= ENTRIES) return hash::int32(reinterpret_cast<const cell*>(memory::buffer_of(r->block)->data() + stored)->w1);
  return hash::value(cells_of(r->block) + stored, false);
}

void root::mark_all() {
  for (root* r = top; r; r = r->prev_) mark(&r->node_);
}

}  // namespace detail

void init() {
  if (ready) return;
  collector::set_table_marker(mark);
  collector::add_marker(root::mark_all);
  ready = true;
}

uint32_t init(uint32_t size, const cell* block, uint32_t kind, uint32_t values) {
  assert(ready && "hashtable::init() runs at start-up");
  assert(kind <= OWNERS);
  uint32_t block_node = block ? block->w2 : 0;
  uint32_t head = block ? block->w1 : 0;
  uint32_t source = kind == WORDS && values == 2 && block && type_of(block) == TYPE_CONTEXT ? block->w1 : 0;
  if (source) return copy(source, 0);
  collector::root_node keep(block_node);
  root t(memory::alloc_bytes_filled(sizeof(record), 0));
  set_tail(t.node(), sizeof(record));
  t.rec()->kind = kind;
  if (kind >= ENTRIES) {
    t.rec()->cells = (values + 1) * sizeof(cell);
    t.rec()->stamp = epoch();
  }
  if (kind == WORDS && size > 3999) size *= 2;
  size = std::max(size, 4u);
  uint32_t capacity = hash::round_pow2(uint32_t(size / LOAD));
  t.rec()->flags = new_flags(capacity);
  t.rec()->index = new_index(kind == MAP ? 2 * capacity : capacity);
  t.rec()->capacity = capacity;
  t.rec()->bound = uint32_t(LOAD * capacity);
  if (kind == HASH) t.rec()->cells = memory::alloc_bytes_filled(size * 4, 0xFF);
  if (kind >= ENTRIES || !block_node) {
    // An entry block holds as many entries as the bound lets in.
    t.rec()->block = memory::alloc_cells(kind >= ENTRIES ? t.rec()->bound * (values + 1) : size);
    return t.node();
  }
  t.rec()->block = block_node;
  index_block(t.node(), head, kind == MAP ? 2 : 1);
  return t.node();
}

uint32_t copy(uint32_t table, uint32_t block_node) {
  root from(table);
  assert(from.rec()->kind < ENTRIES && "entry tables are not copied");
  collector::root_node keep(block_node);
  // The new record starts out naming the original's buffers, which only
  // makes the marker visit them twice; each is replaced by its copy in turn.
  root t(memory::copy_series(memory::buffer_of(from.node())));
  if (block_node) t.rec()->block = block_node;
  else t.rec()->block = memory::copy_series(memory::buffer_of(from.rec()->block));
  t.rec()->flags = memory::copy_series(memory::buffer_of(from.rec()->flags));
  t.rec()->index = memory::copy_series(memory::buffer_of(from.rec()->index));
  if (t.rec()->kind != HASH) return t.node();
  t.rec()->cells = memory::copy_series(memory::buffer_of(from.rec()->cells));
  if (!from.rec()->chains) return t.node();
  t.rec()->chains = array::copy(from.rec()->chains);
  for (uint32_t k = 1; k <= chain_count(t.rec()); ++k) {
    uint32_t chain = chain_node(t.rec(), k);
    if (!chain) continue;
    uint32_t own = array::copy(chain);
    array::poke_int(t.rec()->chains, k, own);
  }
  return t.node();
}

void clear(uint32_t table) {
  record* r = rec(table);
  empty_buckets(r);
  empty_chains(r);
  set_tail(r->block, 0);
  if (r->kind < ENTRIES) r->stamp = 0;
}

shape shape_of(uint32_t table) {
  const record* r = rec(table);
  return shape{r->count, r->used, r->capacity, r->bound, r->kind, r->stamp, r->block};
}

int32_t count(uint32_t table) { return rec(table)->count; }

void index_block(uint32_t table, uint32_t start, uint32_t step) {
  root t(table);
  for (uint32_t i = start; i < cells_in(t.rec()->block);) {
    if (t.rec()->kind != MAP) {
      int status;
      insert_cell(t.node(), cells_of(t.rec()->block) + i, status);
      if (status == 2) return;
      i += step;
      continue;
    }
    cell* found = get(t.node(), cells_of(t.rec()->block) + i, 0, 0, 2, false, false);
    uint32_t end = cells_in(t.rec()->block);
    cell* cells = cells_of(t.rec()->block);
    if (!found) {
      put(t.node(), cells + i);
      if (hook.map_key) hook.map_key(cells_of(t.rec()->block) + i);
      i += step;
      continue;
    }
    // A key met again: its later value wins and the later pair leaves.
    if (i + 1 < end) found[1] = cells[i + 1];
    uint32_t gone = std::min(2u, end - i);
    std::memmove(cells + i, cells + i + gone, (end - i - gone) * sizeof(cell));
    memory::buffer_of(t.rec()->block)->tail -= gone * sizeof(cell);
  }
}

namespace {

cell* insert_cell_hashed(uint32_t table, const cell* value, int& status, const uint32_t* known_hash) {
  status = 0;
  root t(table);
  uint32_t i = cell_index(t.rec()->block, value);
  record* r = t.rec();
  if (r->used >= r->bound) {
    uint32_t size = uint32_t(r->count) * 2 < r->capacity ? r->capacity - 1 : r->capacity + 1;
    if (r->kind == HASH) {
      refresh(t.node(), size);  // the rebuild enters this cell too
      status = 2;
      return cells_of(t.rec()->block) + i;
    }
    resize(t.node(), r->kind == MAP ? r->capacity + 1 : size);  // a map never shrinks
  }
  if (t.rec()->kind != HASH) {
    // The probe must see the keys as the nodes are now, or a key already
    // indexed would be entered a second time; the resize allocated already.
    check_stamp(t.node());  // in place, allocating nothing
    return insert_keyed(t, i, known_hash);
  }
  // A hash! index entered while stale only gets another bucket for the
  // cell's class, which the rebuild at the next lookup merges.
  reserve_c2b(t, i + 1);
  return insert_hashed(t, i);
}

}  // namespace

cell* insert_cell(uint32_t table, const cell* value, int& status) {
  return insert_cell_hashed(table, value, status, nullptr);
}

void put(uint32_t table, const cell* value) {
  int status;
  insert_cell(table, value, status);
}

void put_new(uint32_t table, const cell* value, uint32_t hash) {
  int status;
  assert(rec(table)->kind == MAP || rec(table)->kind == WORDS);
  insert_cell_hashed(table, value, status, &hash);
}

namespace {

// Whether two texts of one type are equal under an equality op, decided
// here when both hold one byte a character: 1 equal, 0 not, -1 left to the
// general compare (a non-ASCII pair that folding might match). A lookup
// compares about two keys, and the general route costs several calls each.
int text_equal_fast(const cell* a, const cell* b, int op) {
  series_buffer* x = memory::buffer_of(a->w2);
  series_buffer* y = memory::buffer_of(b->w2);
  if (x->unit() != 1 || y->unit() != 1) return -1;
  uint32_t ha = std::min<uint32_t>(int32_t(a->w1) < 0 ? 0 : a->w1, x->used());
  uint32_t hb = std::min<uint32_t>(int32_t(b->w1) < 0 ? 0 : b->w1, y->used());
  uint32_t n = x->used() - ha;
  if (n != y->used() - hb) return 0;
  const uint8_t* p = x->head_ptr() + ha;
  const uint8_t* q = y->head_ptr() + hb;
  for (uint32_t i = 0; i < n; ++i) {
    if (p[i] == q[i]) continue;
    if (op == COMP_STRICT_EQUAL) return 0;
    if ((p[i] | q[i]) & 0x80) return -1;
    if (fold_ascii(p[i]) != fold_ascii(q[i])) return 0;
  }
  return 1;
}

cell* get_hashed(uint32_t table, const cell* key_cell, int32_t head, int32_t skip, int op, bool reverse, bool last,
                 const uint32_t* known_hash) {
  cell key = *key_cell;  // the original may move with its buffer
  collector::root_cells keep(&key);
  root t(table);
  check_stamp(t.node());
  record* r = t.rec();
  if (r->kind == MAP && word_type_q(type_of(&key))) key.header = (key.header & ~FLAG_TYPE_MASK) | TYPE_SET_WORD;
  if (last) reverse = true;
  uint32_t* flags = words(r->flags);
  int32_t* index = words<int32_t>(r->index);
  cell* cells = cells_of(r->block);
  uint32_t h = known_hash ? *known_hash : hash::value(&key, false);
  uint32_t mask = r->capacity - 1, b = h & mask;
  if (r->kind != HASH) {
    bool text = string::any_string_q(type_of(&key)) && (op == COMP_EQUAL || op == COMP_FIND || op == COMP_STRICT_EQUAL);
    // A map keeps each key's hash beside its bucket: a probe that meets
    // another key mostly ends there, without reading the key.
    bool map = r->kind == MAP;
    uint32_t at = index_step(r);
    for (uint32_t step = 0; step < r->capacity; b = (b + ++step) & mask) {
      uint32_t s = state(flags, b);
      if (s == EMPTY) break;
      const int32_t* entry = index + b * at;
      if (s != LIVE || (map && uint32_t(entry[1]) != h)) continue;
      cell* c = cells + entry[0];
      if (type_of(c) != type_of(&key)) continue;
      int fast = text ? text_equal_fast(c, &key, op) : -1;
      if (fast == 1 || (fast < 0 && compare(c, &key, op))) return c;
    }
    return nullptr;
  }
  // Kind 0: equal cells share one bucket; pick among its members the nearest
  // one in the search direction. A bucket whose members all lie on the wrong
  // side of head answers nothing, never a cell outside the block.
  int64_t best = -1;
  for (uint32_t step = 0; step < r->capacity; b = (b + ++step) & mask) {
    uint32_t s = state(flags, b);
    if (s == EMPTY) break;
    if (s != LIVE || !compare(cells + first_cell(r, index[b]), &key, 0)) continue;
    const int32_t* members = index[b] >= 0 ? &index[b] : members_of(chain_node(r, uint32_t(-index[b])));
    uint32_t n = index[b] >= 0 ? 1 : array::length_q(chain_node(r, uint32_t(-index[b])));
    bool candidate = false;
    for (uint32_t m = 0; m < n; ++m) {
      int64_t j = int64_t(members[m]) - r->bias;
      if (!compare(cells + j, &key, op)) continue;
      if (skip > 1) {
        int64_t distance = reverse ? int64_t(head) - 1 - j : j - head;
        if (distance % skip) continue;  // a multiple of skip either way round
      }
      candidate = true;
      if (!reverse ? j >= head && (best < 0 || j < best) : j < head && j > best) best = j;
    }
    if (candidate) break;
  }
  return best >= 0 ? cells + best : nullptr;
}

}  // namespace

cell* get(uint32_t table, const cell* key, int32_t head, int32_t skip, int op, bool reverse, bool last) {
  return get_hashed(table, key, head, skip, op, reverse, last, nullptr);
}

cell* get_keyed(uint32_t table, const cell* key, int op, uint32_t hash) {
  return get_hashed(table, key, 0, 0, op, false, false, &hash);
}

cell* find_next(uint32_t table, const cell* key_cell, walk& state_) {
  cell key = *key_cell;
  collector::root_cells keep(&key);
  root t(table);
  if (state_.bucket < 0) check_stamp(t.node());  // never in mid-walk: it would move entries under the walk
  record* r = t.rec();
  assert(r->kind == MAP || r->kind == WORDS);
  if (r->kind == MAP && word_type_q(type_of(&key))) key.header = (key.header & ~FLAG_TYPE_MASK) | TYPE_SET_WORD;
  uint32_t mask = r->capacity - 1;
  uint32_t b = state_.bucket < 0 ? hash::value(&key, false) & mask : uint32_t(state_.bucket);
  uint32_t step = state_.bucket < 0 ? 0 : state_.step;
  uint32_t* flags = words(r->flags);
  while (step < r->capacity) {
    uint32_t here = b, s = state(flags, here);
    if (s == EMPTY) break;
    b = (b + ++step) & mask;
    if (s != LIVE) continue;
    cell* c = cells_of(r->block) + words(r->index)[here * index_step(r)];
    if (type_of(c) == type_of(&key) && compare(c, &key, 0)) {
      state_ = walk{int32_t(b), step};
      return c;
    }
  }
  state_ = walk{int32_t(b), r->capacity};  // the walk is over
  return nullptr;
}

void delete_cell(uint32_t table, const cell* value) {
  record* r = rec(table);
  uint32_t i = cell_index(r->block, value);
  if (r->kind == HASH) return unindex(r, i);
  // Kinds 1-2 keep the key indexed; its value cell marks it removed.
  if (i + 1 >= cells_in(r->block)) return;
  cell* after = cells_of(r->block) + i + 1;
  if (!after->header) return;
  after->header = 0;
  --r->count;
}

void revive(uint32_t table) { ++rec(table)->count; }

void delete_range(uint32_t table, uint32_t start, uint32_t n) {
  record* r = rec(table);
  assert(r->kind == HASH);
  uint32_t end = cells_in(r->block);
  if (n == 0 || start >= end) return;
  n = std::min(n, end - start);
  if (start == 0 && n == end) {
    empty_buckets(r);
    empty_chains(r);
    return;
  }
  // One cell at a time, so that a chain that keeps members keeps its bucket
  // and the count stays the number of live buckets.
  for (uint32_t i = start; i < start + n; ++i) unindex(r, i);
}

namespace {

// Adds d to every entry (the index, the chains and the places in the
// cell-to-bucket array) and subtracts it from the bias, so that every cell
// keeps its entry's meaning: room below the head for d > 0, the words below
// the bias given back for d < 0 (they must be free).
void rebase(const root& t, int64_t d) {
  // Entries lie below bias + the block's cells; the words above are -1.
  uint32_t cells = cells_in(t.rec()->block);
  if (d > 0) reserve_c2b(t, uint32_t(cells + d));
  record* r = t.rec();
  int32_t* c2b = words<int32_t>(r->cells);
  size_t extent = std::min<size_t>(c2b_length(r), size_t(r->bias) + cells);
  if (d > 0) {
    std::memmove(c2b + d, c2b, extent * 4);
    std::fill(c2b, c2b + d, -1);
  } else {
    std::memmove(c2b, c2b - d, (extent + size_t(d)) * 4);
    std::fill(c2b + (extent + d), c2b + extent, -1);
  }
  uint32_t* flags = words(r->flags);
  int32_t* index = words<int32_t>(r->index);
  for (uint32_t b = 0; b < r->capacity; ++b)
    if (state(flags, b) == LIVE && index[b] >= 0) index[b] = int32_t(index[b] + d);
  for (uint32_t k = 1; k <= chain_count(r); ++k) {
    uint32_t chain = chain_node(r, k);
    if (!chain) continue;
    int32_t* members = members_of(chain);
    for (uint32_t m = 0, n = array::length_q(chain); m < n; ++m) members[m] = int32_t(members[m] + d);
  }
  r->bias = uint32_t(int64_t(r->bias) + d);
}

}  // namespace

int shift_indexes(uint32_t table, int32_t delta, uint32_t start, uint32_t n, bool move) {
  root t(table);
  assert(t.rec()->kind == HASH);
  assert(delta >= 0 || uint32_t(-delta) <= start);
  // When the moved cells run to the end of the block, the cells before them
  // may move instead, the other way, with the bias making up the difference:
  // an insertion or removal costs the shorter side, nothing at the head.
  uint32_t end = cells_in(t.rec()->block);
  uint32_t before = delta < 0 ? start - uint32_t(-delta) : start;
  bool to_end = move && uint64_t(start) + n + uint64_t(std::max(delta, 0)) >= end;
  if (to_end && before < n) {
    if (delta > 0 && t.rec()->bias < uint32_t(delta)) rebase(t, int64_t(delta) + end + 16);
    record* r = t.rec();
    if (delta < 0)
      for (uint32_t i = before; i < start; ++i) unindex(r, i);
    int32_t d = -delta;
    remap(r, 0, before, true, [d](uint32_t j) { return uint32_t(int64_t(j) + d); });
    r->bias = uint32_t(int64_t(r->bias) - delta);
    // Words below the bias give way once they outnumber the cells.
    if (r->bias > end + 1024) rebase(t, -int64_t(r->bias));
    return 0;
  }
  if (n > SHIFT_LIMIT) return 1;
  if (move && delta > 0) reserve_c2b(t, start + n + uint32_t(delta));
  record* r = t.rec();
  // The cells overwritten by a downward move leave first, so that no index
  // is met twice.
  if (move && delta < 0)
    for (uint32_t i = start - uint32_t(-delta); i < start; ++i) unindex(r, i);
  remap(r, start, start + n, move, [delta](uint32_t j) { return uint32_t(int64_t(j) + delta); });
  return 0;
}

void move_range(uint32_t table, uint32_t target, uint32_t start, uint32_t n) {
  if (n == 0 || (target >= start && target < start + n)) return;
  root t(table);
  assert(t.rec()->kind == HASH);
  if (target > start) {
    // Forward: the cells after the run up to the target element move down
    // and the run lands after that element.
    uint32_t d = target - start - (n - 1);
    reserve_c2b(t, start + n + d);
    remap(t.rec(), start, start + n + d, true,
          [=](uint32_t j) { return j < start + n ? j + d : j - n; });
  } else {
    // Backward: the cells from the target up to the run move up and the run
    // lands at the target.
    reserve_c2b(t, start + n);
    remap(t.rec(), target, start + n, true, [=](uint32_t j) { return j >= start ? j - (start - target) : j + n; });
  }
}

void rebuild(uint32_t table, uint32_t n) {
  root t(table);
  assert(t.rec()->kind == HASH);
  uint32_t started = epoch();
  uint32_t capacity = hash::round_pow2(uint32_t(1.5 * n));
  uint32_t bound = uint32_t(LOAD * capacity);  // before raising, so an empty block gets bound 0
  capacity = std::max(capacity, 4u);
  uint32_t flags = new_flags(capacity);
  collector::root_node keep_flags(flags);
  uint32_t index = new_index(capacity);
  record* r = t.rec();
  empty_chains(r);
  r->flags = flags;
  r->index = index;
  r->capacity = capacity;
  r->bound = bound;
  r->count = 0;
  r->used = 0;
  r->stamp = 0;
  index_block(t.node(), 0, 1);
  r = t.rec();
  // Indexed from the nodes as they were at the start: a node that moved since
  // makes the next lookup rebuild again.
  if (r->stamp) r->stamp = started;
}

void refresh(uint32_t table, uint32_t n) {
  nodes_pinned pin;
  if (rec(table)->kind == HASH) rebuild(table, n);
  else rebuild_entries(table, n);
}

namespace {

// A map's buckets re-placed into new buffers by their kept hashes: no key is
// read or hashed again (a stale table is re-indexed by check_stamp after).
void resize_map(const root& t, uint32_t capacity, uint32_t bound) {
  uint32_t fresh_flags = new_flags(capacity);
  collector::root_node keep_flags(fresh_flags);
  uint32_t fresh_index = new_index(2 * capacity);
  record* r = t.rec();
  const uint32_t* flags = words(r->flags);
  const uint32_t* index = words(r->index);
  uint32_t* to_flags = words(fresh_flags);
  uint32_t* to_index = words(fresh_index);
  uint32_t placed = 0;
  for (uint32_t b = 0; b < r->capacity; ++b) {
    if (state(flags, b) != LIVE) continue;
    uint32_t to = first_empty(to_flags, capacity, index[2 * b + 1]);
    set_state(to_flags, to, LIVE);
    to_index[2 * to] = index[2 * b];
    to_index[2 * to + 1] = index[2 * b + 1];
    ++placed;
  }
  r->flags = fresh_flags;
  r->index = fresh_index;
  r->capacity = capacity;
  r->bound = bound;
  r->used = placed;
}

}  // namespace

void resize(uint32_t table, uint32_t n) {
  root t(table);
  assert(t.rec()->kind != HASH);
  uint32_t capacity = in_place_capacity(n), bound = in_place_bound(capacity);
  if (uint32_t(std::max(t.rec()->count, 0)) >= bound) return;
  uint32_t old_capacity = t.rec()->capacity;
  if (t.rec()->kind == MAP) return resize_map(t, capacity, bound);
  if (memory::buffer_of(t.rec()->index)->size < capacity * 4)
    memory::expand_series_filled(memory::buffer_of(t.rec()->index), int64_t(capacity) * 4, 0);
  uint32_t fresh = new_flags(capacity);
  collector::root_node keep(fresh);
  record* r = t.rec();
  uint32_t placed = kick_out(words(r->flags), old_capacity, words(fresh), capacity, words(r->index),
                             [r](uint32_t stored) { return stored_hash(r, stored); });
  r->flags = fresh;
  r->capacity = capacity;
  r->bound = bound;
  r->used = placed;
}

void rehash_entries(uint32_t table) {
  record* r = rec(table);
  assert(r->kind != HASH);
  uint32_t* flags = words(r->flags);
  uint32_t* index = words(r->index);
  std::vector<uint32_t> live;
  live.reserve(r->used);
  for (uint32_t b = 0; b < r->capacity; ++b)
    if (state(flags, b) == LIVE) live.push_back(index[b * index_step(r)]);
  memory::fill(words<uint8_t>(r->flags), words<uint8_t>(r->flags) + memory::buffer_of(r->flags)->size, ALL_EMPTY);
  for (uint32_t stored : live) {
    uint32_t h = stored_hash(r, stored);
    uint32_t b = first_empty(flags, r->capacity, h);
    set_state(flags, b, LIVE);
    index[b * index_step(r)] = stored;
    if (r->kind == MAP) index[2 * b + 1] = h;
  }
  // A map counts its removed keys out while they stay indexed.
  if (r->kind != MAP) r->count = int32_t(live.size());
  r->used = uint32_t(live.size());
  r->stamp = epoch();
}

void check_stamp(uint32_t table) {
  record* r = rec(table);
  if (!stale(r)) return;
  if (r->kind == HASH) refresh(table, cells_in(r->block));
  else rehash_entries(table);
}

namespace {
// Probing allocates nothing: the buffers are read in place.
slot probe_symbol(const record* r, uint32_t symbol, bool resolve) {
  uint32_t canon = canonical(symbol);
  const cell* cells = cells_of(r->block);
  const uint32_t* index = words(r->index);
  return locate(words(r->flags), r->capacity, hash::int32(canon), [&](uint32_t b) {
    uint32_t other = cells[index[b]].w2;
    return other == symbol || (resolve && canonical(other) == canon);
  });
}
}  // namespace

int32_t find_symbol(uint32_t table, uint32_t symbol, bool resolve, uint32_t context_node, int32_t& index_out) {
  if (!context_node) {  // a lookup: nothing allocated, nothing to root
    const record* r = rec(table);
    assert(r->kind == WORDS);
    slot s = probe_symbol(r, symbol, resolve);
    return s.match >= 0 ? index_out = int32_t(words(r->index)[s.match]) : -1;
  }
  root t(table);
  collector::root_node keep(context_node);
  record* r = t.rec();
  assert(r->kind == WORDS);
  if (r->used >= r->bound)
    resize(t.node(), SYMBOL_GROWTH * (uint32_t(r->count) * 2 < r->capacity ? r->capacity - 1 : r->capacity + 1));
  r = t.rec();
  slot s = probe_symbol(r, symbol, resolve);
  if (s.match >= 0) return index_out = int32_t(words(r->index)[s.match]);
  assert(s.free >= 0);
  uint32_t b = uint32_t(s.free);
  uint32_t at = cells_in(r->block);
  auto* word = reinterpret_cast<cell*>(series::make_room(memory::buffer_of(r->block), sizeof(cell)));
  *word = cell{TYPE_WORD, context_node, symbol, at};
  r = t.rec();
  uint32_t* flags = words(r->flags);
  if (state(flags, b) == EMPTY) ++r->used;
  set_state(flags, b, LIVE);
  words(r->index)[b] = at;
  ++r->count;
  index_out = int32_t(at);
  return -1;
}

void mark(uint32_t* slot) {
  if (!*slot) return;
  collector::mark_node(slot);
  // Walked once a cycle, whether or not the record's buffer was marked
  // already: a scoped node root (growth, copying) marks a buffer as plain
  // bytes, and the table behind it would be lost if that stopped the walk.
  record* r = rec(*slot);
  uint32_t visit = collector::cycle_count() + 1;
  if (r->visited == visit) return;
  r->visited = visit;
  collector::mark_node(&r->flags);
  collector::mark_node(&r->index);
  switch (r->kind) {
    case HASH:
      collector::mark_node(&r->cells);
      collector::mark_node(&r->chains);
      for (uint32_t k = 0; k < chain_count(r); ++k)  // slot words are rewritten in place
        collector::mark_node(reinterpret_cast<uint32_t*>(array::head(r->chains)) + k);
      collector::mark_block(&r->block);
      break;
    case MAP:
    case WORDS:
      collector::mark_block(&r->block);
      break;
    default:
      mark_entries(r);
      break;
  }
}

namespace {

uint32_t intern(uint32_t table, const uint8_t* name, uint32_t length, bool any_case) {
  root t(table);
  // The name is copied before anything is allocated: it may lie in a buffer
  // that a collection moves.
  std::string saved;
  auto keep_name = [&] {
    if (saved.size() != length) saved.assign(reinterpret_cast<const char*>(name), length);
    name = reinterpret_cast<const uint8_t*>(saved.data());
  };
  record* r = t.rec();
  if (r->used >= r->bound) {
    keep_name();
    resize(t.node(), SYMBOL_GROWTH * (uint32_t(r->count) * 2 < r->capacity ? r->capacity - 1 : r->capacity + 1));
  }
  r = t.rec();
  uint32_t mask = r->capacity - 1, start = hash::symbol_name(name, length) & mask;
  uint32_t* flags = words(r->flags);
  auto spelled = [&](uint32_t b, bool exact) {
    series_buffer* nb = memory::buffer_of(cells_of(r->block)[words(r->index)[b]].w3);
    if (nb->used() != length) return false;
    return exact ? std::memcmp(nb->head_ptr(), name, length) == 0 : same_ascii_folded(nb->head_ptr(), name, length);
  };
  // A pass walks the probe sequence to the first empty bucket; it answers
  // that bucket in `stop` and the matching symbol's bucket, or -1.
  auto pass = [&](bool exact, int32_t& stop) -> int32_t {
    uint32_t b = start;
    for (uint32_t step = 0; step < r->capacity; b = (b + ++step) & mask) {
      uint32_t s = state(flags, b);
      if (s == EMPTY) {
        stop = int32_t(b);
        return -1;
      }
      if (s == LIVE && spelled(b, exact)) return int32_t(b);
    }
    return -1;
  };
  int32_t exact_stop = -1, stop = -1;
  if (!any_case) {
    int32_t hit = pass(true, exact_stop);
    if (hit >= 0) return words(r->index)[hit] + 1;
  }
  int32_t hit = pass(false, stop);
  uint32_t alias = 0xFFFFFFFF;
  if (hit >= 0) {
    uint32_t id = words(r->index)[hit] + 1;
    if (any_case) return id;
    // The variant links to the canonical spelling even when the probe met
    // another variant first (growth re-places buckets), so resolving is
    // always one step.
    int32_t its = int32_t(cells_of(r->block)[id - 1].w1);
    alias = its > 0 ? uint32_t(its) : id;
    stop = exact_stop;
  }
  assert(stop >= 0 && "growth keeps an empty bucket on every probe");
  keep_name();
  // The new symbol cell reads unset! until it is complete.
  auto* fresh = reinterpret_cast<cell*>(series::make_room(memory::buffer_of(t.rec()->block), sizeof(cell)));
  *fresh = cell{TYPE_UNSET, 0, 0, 0};
  uint32_t i = uint32_t(fresh - cells_of(t.rec()->block));
  uint32_t text = memory::alloc_bytes(length + 1);
  series_buffer* tb = memory::buffer_of(text);
  std::memcpy(tb->head_ptr(), name, length);
  tb->head_ptr()[length] = 0;
  tb->tail = tb->head + length;
  fresh = cells_of(t.rec()->block) + i;
  fresh->w3 = text;
  fresh->w2 = 0;
  fresh->w1 = alias;
  fresh->header = TYPE_SYMBOL;
  r = t.rec();
  flags = words(r->flags);
  if (state(flags, uint32_t(stop)) == EMPTY) ++r->used;
  set_state(flags, uint32_t(stop), LIVE);
  words(r->index)[stop] = i;
  ++r->count;
  return i + 1;
}

}  // namespace

}  // namespace kez::hashtable

namespace kez::symbol {

uint32_t table_get(uint32_t table, const uint8_t* name, uint32_t length, bool any_case) {
  return hashtable::intern(table, name, length, any_case);
}

}  // namespace kez::symbol
