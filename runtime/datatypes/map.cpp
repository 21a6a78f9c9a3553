#include "runtime/datatypes/map.h"

#include <algorithm>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/hashtable.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/words.h"

namespace kez::map {

namespace {

bool word_key_q(uint32_t t) { return t >= TYPE_WORD && t <= TYPE_GET_WORD; }
bool copied_key_q(uint32_t t) { return string::any_string_q(t) || t == TYPE_BINARY; }

cell block_of(const cell* m) { return cell{TYPE_BLOCK, 0, m->w2, 0}; }

// A text or binary key in a buffer of its own.
void own_copy(cell* key) {
  collector::root_cells keep(key);
  cell out{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_out(&out);
  actions::copy_dispatch(key, &out, nullptr, false, nullptr);
  *key = out;
}

// A key as it leaves the map: a word key as a word (a set-word with
// `as_set`), off its line, and a text or binary key as a copy of its own.
// The table keeps its keys by their hash: a caller that changed the map's own
// string would leave its entry unreachable.
void hand_out_key(cell* key, bool as_set) {
  uint32_t t = type_of(key);
  if (t == TYPE_SET_WORD && !as_set) key->header = (key->header & ~FLAG_TYPE_MASK) | TYPE_WORD;
  key->header &= ~FLAG_NEW_LINE;
  if (copied_key_q(t)) own_copy(key);
}
int32_t cells_of(const cell* m) {
  series_buffer* b = memory::buffer_of(m->w2);
  return int32_t(b->used() / sizeof(cell));
}
cell* cell_at(const cell* m, int32_t i) { return memory::buffer_of(m->w2)->head_cell() + i; }
bool live_q(const cell* m, int32_t key_index) { return cell_at(m, key_index + 1)->header != 0; }

int lookup_op(bool case_, bool same) { return same ? COMP_SAME : case_ ? COMP_STRICT_EQUAL : COMP_EQUAL; }

// The key cell of key's entry (live or removed), or null.
cell* find_key(const cell* m, const cell* key, int op) {
  return hashtable::get(m->w3, key, 0, 0, op, false, false);
}

int32_t index_of(const cell* m, const cell* c) { return int32_t(c - cell_at(m, 0)); }

int32_t emit(cell* buffer, const char* text) {
  string::concatenate_literal(buffer, text);
  return int32_t(std::strlen(text));
}
int32_t spaces(cell* buffer, int32_t levels) {
  for (int32_t i = 0; i < levels; ++i) string::concatenate_literal(buffer, "    ");
  return 4 * levels;
}

// Each live entry as molded key, space, molded value, separated by `sep`
// (with `levels` of indentation before each under the newline layouts).
int32_t mold_entries(const cell* value, cell* buffer, bool all, bool flat, const cell* arg, int32_t part,
                     int32_t indent, bool only) {
  cell m = *value;
  collector::root_cells keep(&m);
  bool first = true;
  for (int32_t i = 0; i + 1 < cells_of(&m); i += 2) {
    if (!live_q(&m, i)) continue;
    if (arg && part < 1) break;
    if (flat) {
      if (!first) part -= emit(buffer, " ");
    } else if (only) {
      if (!first) part -= emit(buffer, "\n");
    } else {
      part -= spaces(buffer, indent + 1);
    }
    cell k = *cell_at(&m, i), v = *cell_at(&m, i + 1);
    collector::root_cells hold_k(&k), hold_v(&v);
    part = actions::mold_dispatch(&k, buffer, false, all, flat, arg, part, indent + 1);
    part -= emit(buffer, " ");
    part = actions::mold_dispatch(&v, buffer, false, all, flat, arg, part, indent + 1);
    if (!flat && !only) part -= emit(buffer, "\n");
    first = false;
  }
  return part;
}

int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg, int32_t part,
             int32_t indent) {
  if (cycles::detect_q(value, buffer, part, true)) return part;
  cycles::scope keep;
  cycles::push(value->w2);
  if (!only) part -= emit(buffer, "#[");
  bool any = ks_length_q(value) > 0;
  if (any && !flat && !only) part -= emit(buffer, "\n");
  part = mold_entries(value, buffer, all, flat, arg, part, indent, only);
  if (!only) {
    if (any && !flat) part -= spaces(buffer, indent);
    part -= emit(buffer, "]");
  }
  return part;
}

int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part) {
  if (cycles::detect_q(value, buffer, part, false)) return part;
  cycles::scope keep;
  cycles::push(value->w2);
  return mold_entries(value, buffer, false, false, arg, part, 0, true);
}

[[noreturn]] void fire_with_type(int id, const cell* spec) {
  cell t = *datatype::make_at(stack::push_cell(), TYPE_MAP);
  error::fire(err::cat_script, id, &t, spec);
}

cell* make_from(cell* proto, const cell* spec, bool to) {
  cell sp = *spec;
  collector::root_cells keep(&sp);
  switch (type_of(&sp)) {
    case TYPE_INTEGER: case TYPE_FLOAT: {
      if (to) fire_with_type(err::script::bad_to_arg, &sp);
      int32_t n = args::float_to_integer(&sp);
      if (n < 0) error::fire(err::cat_script, err::script::out_of_range, &sp);
      // Two cells an entry: past 2^30 entries the size leaves the 32-bit range.
      if (n > INT32_MAX / 2) error::fire(err::cat_internal, err::internal::no_memory);
      return make_at(proto, nullptr, std::max(n * 2, 2));
    }
    case TYPE_BLOCK: case TYPE_PAREN: case TYPE_HASH:
      if (block::ks_length_q(&sp) % 2) error::fire(err::cat_script, err::script::invalid_arg, &sp);
      return make_at(proto, &sp, 0);
    case TYPE_MAP: {
      cell b = block_of(&sp);
      return make_at(proto, &b, 0);
    }
    default: fire_with_type(err::script::bad_to_arg, &sp);
  }
}
cell* make(cell* proto, const cell* spec, uint32_t) { return make_from(proto, spec, false); }
cell* to(cell* proto, const cell* spec, uint32_t) { return make_from(proto, spec, true); }

cell* reflect(cell* value, uint32_t field) {
  cell m = *value;
  collector::root_cells keep(&m);
  bool keys = field == words::symbols[words::sym::words];
  bool values = field == words::symbols[words::sym::values];
  bool body = field == words::symbols[words::sym::body];
  if (!keys && !values && !body) error::fire(err::cat_internal, err::internal::not_done);
  cell out{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_out(&out);
  block::make_at(&out, ks_length_q(&m) * (body ? 2 : 1));
  for (int32_t i = 0; i + 1 < cells_of(&m); i += 2) {
    if (!live_q(&m, i)) continue;
    if (keys || body) {
      cell k = *cell_at(&m, i);
      collector::root_cells hold(&k);
      hand_out_key(&k, body);
      if (body) k.header |= FLAG_NEW_LINE;
      block::ks_append(&out, &k);
    }
    if (values || body) {
      cell v = *cell_at(&m, i + 1);
      v.header &= ~FLAG_NEW_LINE;
      block::ks_append(&out, &v);
    }
  }
  *value = out;
  return value;
}

int32_t compare(const cell* a, const cell* b, int32_t op) {
  if (type_of(b) != TYPE_MAP) return -2;
  if (op == COMP_SORT || op == COMP_CASE_SORT) {
    // The sign only: a raw difference could read as "not comparable".
    return a->w2 == b->w2 ? 0 : a->w2 < b->w2 ? -1 : 1;
  }
  if (op != COMP_EQUAL && op != COMP_NOT_EQUAL && op != COMP_STRICT_EQUAL && op != COMP_SAME && op != COMP_FIND)
    return -2;
  if (a->w2 == b->w2 && a->w1 == b->w1) return 0;
  if (op == COMP_SAME) return 1;
  if (ks_length_q(a) != ks_length_q(b)) return 1;
  if (ks_length_q(a) == 0) return 0;
  if (cycles::find_q(a->w2) || cycles::find_q(b->w2)) return 1;
  cycles::scope keep;
  cycles::push(a->w2);
  cycles::push(b->w2);
  cell x = *a, y = *b;
  collector::root_cells hold_x(&x), hold_y(&y);
  for (int32_t i = 0; i + 1 < cells_of(&x); i += 2) {
    if (!live_q(&x, i)) continue;
    cell k = *cell_at(&x, i), v = *cell_at(&x, i + 1);
    collector::root_cells hold_k(&k), hold_v(&v);
    bool matched = false;
    if (op == COMP_STRICT_EQUAL) {
      cell* other = find_key(&y, &k, COMP_STRICT_EQUAL);
      matched = other && other[1].header && actions::compare_value(&v, other + 1, COMP_STRICT_EQUAL) == 0;
    } else {
      hashtable::walk w;
      for (cell* other = hashtable::find_next(y.w3, &k, w); other && !matched; other = hashtable::find_next(y.w3, &k, w)) {
        cell ov = other[1];
        matched = ov.header && actions::compare_value(&v, &ov, COMP_EQUAL) == 0;
      }
    }
    if (!matched) return 1;
  }
  return 0;
}

cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path, const cell*,
                const cell*, int32_t, bool case_, bool, bool, bool) {
  if (!value) {
    cell* v = get_value(parent, element, case_, false);
    return v ? stack::push(v) : none::push();
  }
  cell p = *parent;
  collector::root_cells keep(&p);
  cell k = *element;
  collector::root_cells keep_k(&k);
  if (!valid_key_q(type_of(&k))) preprocess_key(&k, path);
  return set_key(&p, &k, value, case_);
}

cell* put(cell* series, const cell* key, const cell* value, bool case_) {
  cell v = *value;
  collector::root_cells keep(&v);
  set_key(series, key, &v, case_);
  *series = v;
  return series;
}

cell* clear(cell* series) {
  hashtable::clear(series->w3);
  return series;
}

int32_t length_q(cell* series) { return ks_length_q(series); }

cell* find(cell* series, const cell* value, const find_options& o) {
  cell* k = find_key(series, value, lookup_op(o.case_, o.same));
  if (!k || !k[1].header) return none::make_at(series);
  cell key = *k;
  hand_out_key(&key, false);
  *series = key;
  return series;
}

cell* select(cell* series, const cell* value, const find_options& o) {
  cell* v = get_value(series, value, o.case_, o.same);
  if (!v) return none::make_at(series);
  *series = *v;
  return series;
}

cell* remove(cell* series, const cell*, const cell* key) {
  if (!key) error::fire(err::cat_script, err::script::missing_arg);
  cell* k = find_key(series, key, COMP_EQUAL);
  if (k) hashtable::delete_cell(series->w3, k);
  return series;
}

cell* copy(cell* value, cell* result, const cell*, bool deep, const cell*) {
  cell m = *value;
  collector::root_cells keep(&m);
  if (deep) {
    if (cycles::find_q(m.w2)) error::fire(err::cat_internal, err::internal::no_cycle);
    cycles::scope scope;
    cycles::push(m.w2);
    cell b = block_of(&m);
    collector::root_cells keep_b(&b);
    cell out{TYPE_NONE, 0, 0, 0};
    collector::root_cells keep_out(&out);
    block::clone(&out, &b, true, false);
    uint32_t table = hashtable::copy(m.w3, out.w2);
    *result = cell{TYPE_MAP, 0, out.w2, table};
    return result;
  }
  uint32_t table = hashtable::copy(m.w3, 0);
  *result = cell{TYPE_MAP, 0, hashtable::shape_of(table).block, table};
  return result;
}

}  // namespace

cell* make_at(cell* target, const cell* source, int32_t size) {
  cell out{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&out);
  if (!source) {
    block::make_at(&out, std::max(size, 2));
  } else {
    cell src = *source;
    collector::root_cells keep_src(&src);
    src.header = TYPE_BLOCK;
    block::clone(&out, &src, false, false);
    // Keys are prepared before indexing, so the table never sees a word key
    // in another form or a key that still shares its source's buffer.
    int32_t n = block::ks_length_q(&out);
    for (int32_t i = 0; i < n; i += 2) {
      cell k = *block::ks_abs_at(&out, i);
      collector::root_cells hold(&k);
      if (!valid_key_q(type_of(&k))) error::fire(err::cat_script, err::script::invalid_arg, &k);
      preprocess_key(&k, nullptr);
      *block::ks_abs_at(&out, i) = k;
    }
  }
  out.header = TYPE_BLOCK;
  uint32_t table = hashtable::init(uint32_t(std::max(block::ks_length_q(&out), size) / 2 + 1), &out, hashtable::MAP, 1);
  *target = cell{TYPE_MAP, 0, out.w2, table};
  return target;
}

cell* push(const cell* m) { return stack::push(m); }

int32_t ks_length_q(const cell* m) { return hashtable::count(m->w3); }

bool valid_key_q(uint32_t t) {
  switch (t) {
    case TYPE_WORD: case TYPE_SET_WORD: case TYPE_LIT_WORD: case TYPE_GET_WORD: case TYPE_REFINEMENT:
    case TYPE_ISSUE: case TYPE_STRING: case TYPE_FILE: case TYPE_URL: case TYPE_TAG: case TYPE_EMAIL:
    case TYPE_REF: case TYPE_BINARY: case TYPE_INTEGER: case TYPE_FLOAT: case TYPE_CHAR: case TYPE_PERCENT:
    case TYPE_PAIR: case TYPE_TUPLE: case TYPE_DATE: case TYPE_TIME: case TYPE_MONEY: case TYPE_POINT2D:
    case TYPE_POINT3D:
      return true;
    default: return false;
  }
}

void preprocess_key(cell* key, const cell* path) {
  uint32_t t = type_of(key);
  if (!valid_key_q(t)) {
    cell type = *datatype::make_at(stack::push_cell(), t);
    cell p = path ? *path : cell{TYPE_NONE, 0, 0, 0};
    error::fire(err::cat_script, err::script::invalid_path, &p, &type);
  }
  if (word_key_q(t)) {
    key->header = (key->header & ~FLAG_TYPE_MASK) | TYPE_SET_WORD;
  } else if (copied_key_q(t)) {
    own_copy(key);
  }
  key->header &= ~FLAG_NEW_LINE;
}

cell* get_value(const cell* m, const cell* key, bool case_, bool same) {
  cell* k = find_key(m, key, lookup_op(case_, same));
  return k && k[1].header ? k + 1 : nullptr;
}

cell* set_key(cell* m, const cell* key, const cell* value, bool case_) {
  cell mm = *m, k = *key, v = *value;
  collector::root_cells keep(&mm), keep_k(&k), keep_v(&v);
  // A new key is hashed once: its prepared form (a word as set-word, a
  // text copied) hashes as the key did.
  uint32_t key_hash = hash::value(&k, false);
  cell* found = hashtable::get_keyed(mm.w3, &k, lookup_op(case_, false), key_hash);
  int32_t at;
  if (found) {
    at = index_of(&mm, found);
    if (!found[1].header) hashtable::revive(mm.w3);
  } else {
    uint32_t t = type_of(&k);
    preprocess_key(&k, nullptr);
    if (!word_key_q(t) && !copied_key_q(t)) key_hash = hash::value(&k, false);
    cell b = block_of(&mm);
    collector::root_cells keep_b(&b);
    block::ks_append(&b, &k);
    cell unset{TYPE_UNSET, 0, 0, 0};
    block::ks_append(&b, &unset);
    at = cells_of(&mm) - 2;
    hashtable::put_new(mm.w3, cell_at(&mm, at), key_hash);
  }
  cell* slot = cell_at(&mm, at + 1);
  *slot = v;
  slot->header &= ~FLAG_NEW_LINE;
  return slot;
}

void extend(cell* m, const cell* block, bool case_) {
  cell mm = *m, b = *block;
  collector::root_cells keep(&mm), keep_b(&b);
  int32_t n = block::ks_length_q(&b);
  if (n % 2) error::fire(err::cat_script, err::script::invalid_arg, &b);
  series_buffer* buf = memory::buffer_of(mm.w2);
  int64_t need = int64_t(buf->used()) + int64_t(n) * int64_t(sizeof(cell));
  if (need > int64_t(buf->end() - buf->head_ptr())) memory::expand_series(buf, need);
  int32_t head = std::max(int32_t(b.w1), 0);
  for (int32_t i = 0; i < n; i += 2) {
    cell k = *block::ks_abs_at(&b, head + i), v = *block::ks_abs_at(&b, head + i + 1);
    collector::root_cells hold_k(&k), hold_v(&v);
    set_key(&mm, &k, &v, case_);
  }
}

bool foreach_step(const cell* map, const cell* words, int32_t& position) {
  cell m = *map, w = *words;
  collector::root_cells keep(&m), keep_w(&w);
  int32_t n = block::ks_length_q(&w), head = std::max(int32_t(w.w1), 0);
  bool any = false;
  for (int32_t k = 0; k < n; ++k) {
    cell word = *block::ks_abs_at(&w, head + k);
    collector::root_cells hold(&word);
    if (!word_key_q(type_of(&word))) error::fire(err::cat_script, err::script::invalid_arg, &word);
    while (position % 2 == 0 && position + 1 < cells_of(&m) && !live_q(&m, position)) position += 2;
    cell v{TYPE_NONE, 0, 0, 0};
    if (position < cells_of(&m)) {
      v = *cell_at(&m, position);
      v.header &= ~FLAG_NEW_LINE;
      collector::root_cells hold_v(&v);
      if (position % 2 == 0) hand_out_key(&v, false);
      ++position;
      any = true;
    }
    context::set(&word, &v);
  }
  return any;
}

void init() {
  datatype::registration(TYPE_MAP, 0, "map!")
      .set<ACT_MAKE>(make)
      .set<ACT_TO>(to)
      .set<ACT_REFLECT>(reflect)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_EVAL_PATH>(eval_path)
      .set<ACT_COMPARE>(compare)
      .set<ACT_PUT>(put)
      .set<ACT_CLEAR>(clear)
      .set<ACT_LENGTH_Q>(length_q)
      .set<ACT_FIND>(find)
      .set<ACT_SELECT>(select)
      .set<ACT_REMOVE>(remove)
      .set<ACT_COPY>(copy)
      .commit();
}

}  // namespace kez::map
