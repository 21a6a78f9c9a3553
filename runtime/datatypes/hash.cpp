#include "runtime/datatypes/hash.h"

#include <algorithm>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/string.h"
#include "runtime/hashtable.h"

namespace kez::hash_ {

namespace {

void set_type(cell* c, uint32_t type) { c->header = (c->header & ~uint32_t(FLAG_TYPE_MASK)) | type; }

cell* copy(cell* value, cell* result, const cell* part, bool deep, const cell* types) {
  cell source = *value;
  collector::root_cells keep(&source);
  block::copy(&source, result, part, deep, types);
  set_type(result, TYPE_HASH);
  if (source.w1 == 0 && !part && !types && !deep) {
    // The whole hash: its table serves the copy as it is.
    result->w3 = hashtable::copy(source.w3, result->w2);
    return result;
  }
  result->w3 = 0;
  return index_block(result);
}

cell* to(cell* proto, const cell* spec, uint32_t) {
  if (type_of(spec) == TYPE_HASH) {
    cell s = *spec;
    collector::root_cells keep(&s);
    return copy(&s, proto, nullptr, false, nullptr);
  }
  block::to(proto, spec, TYPE_BLOCK);
  return index_block(proto);
}

cell* make(cell* proto, const cell* spec, uint32_t type) {
  switch (type_of(spec)) {
    case TYPE_INTEGER: return make_at(proto, integer::get(spec));
    case TYPE_FLOAT: return make_at(proto, int32_t(float_::get(spec)));
    case TYPE_BLOCK: {
      cell s = *spec;
      collector::root_cells keep(&s);
      block::clone(proto, &s, false, false);
      return index_block(proto);
    }
    default: return to(proto, spec, type);
  }
}

int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg, int32_t part,
             int32_t indent) {
  if (!only) {
    string::concatenate_literal(buffer, "make hash! ");
    part -= 11;
  }
  return block::mold(value, buffer, only, all, flat, arg, part, indent);
}

cell* sort(cell* series, bool case_, const cell* skip, const cell* comparator, const cell* part, bool all,
           bool reverse, bool stable) {
  block::sort(series, case_, skip, comparator, part, all, reverse, stable);
  series::reindex(series);
  return series;
}

cell* trim(cell* series, bool head, bool tail, bool auto_, bool lines, bool all, const cell* with) {
  block::trim(series, head, tail, auto_, lines, all, with);
  series::reindex(series);
  return series;
}

}  // namespace

cell* make_at(cell* target, int32_t capacity) {
  block::make_at(target, std::max(capacity, 1));
  target->w3 = 0;
  return index_block(target);
}

cell* index_block(cell* b) {
  set_type(b, TYPE_HASH);
  b->w3 = 0;  // never indexed while the table is being made
  uint32_t table = hashtable::init(uint32_t(std::max(block::ks_length_q(b), 1)), b, hashtable::HASH, 1);
  b->w3 = table;
  return b;
}

void init() {
  datatype::registration r(TYPE_HASH, TYPE_BLOCK, "hash!");
  for (uint32_t a : {ACT_REFLECT, ACT_FORM, ACT_EVAL_PATH, ACT_COMPARE, ACT_APPEND, ACT_AT, ACT_BACK, ACT_CHANGE,
                     ACT_CLEAR, ACT_FIND, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q, ACT_INSERT, ACT_LENGTH_Q, ACT_MOVE,
                     ACT_NEXT, ACT_PICK, ACT_POKE, ACT_PUT, ACT_REMOVE, ACT_REVERSE, ACT_SELECT, ACT_SKIP, ACT_SWAP,
                     ACT_TAIL, ACT_TAIL_Q, ACT_TAKE, ACT_MODIFY})
    r.inherit(a);
  r.set<ACT_MAKE>(make)
      .set<ACT_TO>(to)
      .set<ACT_MOLD>(mold)
      .set<ACT_COPY>(copy)
      .set<ACT_SORT>(sort)
      .set<ACT_TRIM>(trim)
      .commit();
}

}  // namespace kez::hash_
