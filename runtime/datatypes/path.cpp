#include "runtime/datatypes/path.h"

#include <algorithm>
#include <cmath>

#include "runtime/collector.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/string.h"
#include "runtime/stack.h"

namespace kez {

namespace {

cell* retype_and_push(cell* value, uint32_t type) {
  value->header = (value->header & ~FLAG_TYPE_MASK) | type;
  return stack::push(value);
}

// Registration rows: `own` entries set by the caller, `inherited` actions
// taken from the parent, everything else left unsupported.
datatype::registration inheriting(uint32_t type, uint32_t parent, const char* name,
                                  std::initializer_list<std::pair<uint32_t, uint32_t>> ranges) {
  datatype::registration r(type, parent, name);
  for (auto [from, to] : ranges)
    for (uint32_t a = from; a <= to; ++a) r.inherit(a);
  return r;
}

}  // namespace

namespace paren {

cell* push(cell* value) { return retype_and_push(value, TYPE_PAREN); }

int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg, int32_t part,
             int32_t indent) {
  if (cycles::detect_q(value, buffer, part, true)) return part;
  if (!only) {
    string::concatenate_literal(buffer, "(");
    --part;
  }
  part = block::mold_each(value, buffer, only, all, flat, arg, part, indent);
  if (!only) {
    string::concatenate_literal(buffer, ")");
    --part;
  }
  return part;
}

void init() {
  inheriting(TYPE_PAREN, TYPE_BLOCK, "paren!", {{1, 5}, {7, 7}, {9, 9}, {25, 50}, {55, 55}})
      .set<ACT_MOLD>(mold)
      .commit();
}

}  // namespace paren

namespace path {

namespace {

// The elements from the head joined by "/", formed or molded.
int32_t each(const cell* value, cell* buffer, bool molding, bool only, bool all, bool flat, const cell* arg,
             int32_t part) {
  if (cycles::detect_q(value, buffer, part, molding)) return part;
  cycles::scope keep;
  cycles::push(value->w2);
  for (int32_t i = std::max(int32_t(value->w1), 0);; ++i) {
    series_buffer* b = block::buffer_of(value);
    int32_t len = int32_t(b->used() / sizeof(cell));
    if (i >= len) break;
    if (arg && part < 1) break;
    cell c = b->head_cell()[i];
    collector::root_cells hold(&c);
    part = molding ? actions::mold_dispatch(&c, buffer, only, all, flat, arg, part, 0)
                   : actions::form_dispatch(&c, buffer, arg, part);
    if (i + 1 < int32_t(block::buffer_of(value)->used() / sizeof(cell))) {
      string::concatenate_literal(buffer, "/");
      --part;
    }
  }
  return part;
}

}  // namespace

cell* push(cell* value) { return retype_and_push(value, TYPE_PATH); }
cell* push_lit(cell* value) { return retype_and_push(value, TYPE_LIT_PATH); }
cell* push_set(cell* value) { return retype_and_push(value, TYPE_SET_PATH); }
cell* push_get(cell* value) { return retype_and_push(value, TYPE_GET_PATH); }

cell* make_at(cell* target, int32_t n) {
  block::make_at(target, n);
  target->header = TYPE_PATH;
  return target;
}

cell* make(cell* proto, const cell* spec, uint32_t type) {
  uint32_t t = type_of(spec);
  if (block::any_block_q(t)) {
    block::clone(proto, spec, false, false);
  } else if (t == TYPE_INTEGER || t == TYPE_FLOAT || t == TYPE_PERCENT) {
    double n = t == TYPE_INTEGER ? double(int32_t(spec->w2)) : std::trunc(load_double(&spec->w2));
    // NaN and huge sizes end at the allocator's own limit rather than wrapping.
    int32_t capacity = n >= 1 ? int32_t(std::min(n, 2147483647.0)) : 1;
    block::make_at(proto, capacity);
  } else {
    cell d;
    datatype::make_at(&d, type);
    error::fire(err::cat_script, err::script::bad_make_arg, &d, spec);
  }
  proto->header = type;
  return proto;
}

cell* to(cell* proto, const cell* spec, uint32_t type) {
  uint32_t t = type_of(spec);
  if (t == TYPE_OBJECT || t == TYPE_TYPESET || t == TYPE_MAP) {
    cell v = *spec;
    collector::root_cells keep(&v);
    block::make_at(proto, 1);
    block::ks_append(proto, &v);
  } else {
    block::to(proto, spec, type);
  }
  proto->header = type;
  return proto;
}

int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part) {
  return each(value, buffer, false, false, false, false, arg, part);
}

int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg, int32_t part,
             int32_t) {
  return each(value, buffer, true, only, all, flat, arg, part);
}

int32_t lit_mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg, int32_t part,
                 int32_t indent) {
  string::concatenate_literal(buffer, "'");
  return mold(value, buffer, only, all, flat, arg, part - 1, indent);
}

int32_t get_mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg, int32_t part,
                 int32_t indent) {
  string::concatenate_literal(buffer, ":");
  return mold(value, buffer, only, all, flat, arg, part - 1, indent);
}

int32_t set_mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg, int32_t part,
                 int32_t indent) {
  part = mold(value, buffer, only, all, flat, arg, part, indent);
  string::concatenate_literal(buffer, ":");
  return part - 1;
}

void init() {
  inheriting(TYPE_PATH, TYPE_BLOCK, "path!", {{3, 3}, {7, 7}, {9, 9}, {25, 29}, {31, 44}, {46, 50}, {55, 55}})
      .set<ACT_MAKE>(make)
      .set<ACT_TO>(to)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_COPY>(block::copy)
      .commit();
  const std::pair<uint32_t, actions::mold_fn> family[] = {
      {TYPE_LIT_PATH, lit_mold}, {TYPE_SET_PATH, set_mold}, {TYPE_GET_PATH, get_mold}};
  const char* names[] = {"lit-path!", "set-path!", "get-path!"};
  for (int i = 0; i < 3; ++i)
    inheriting(family[i].first, TYPE_PATH, names[i], {{1, 1}, {3, 5}, {7, 7}, {9, 9}, {25, 44}, {46, 50}, {55, 55}})
        .set<ACT_MOLD>(family[i].second)
        .commit();
}

}  // namespace path

}  // namespace kez
