#include "runtime/datatypes/error.h"

#include "runtime/system_stub.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/word.h"
#include "runtime/lexer.h"
#include "runtime/memory.h"
#include "runtime/stack.h"
#include "runtime/thrown.h"
#include "runtime/words.h"

namespace kez::error {

evaluator_services evaluator;

namespace {

const char* const field_names[FIELD_COUNT] = {"code", "type", "id",   "arg1",  "arg2",
                                              "arg3", "near", "where", "stack", "files"};
// Fixed class ids of the objects built here at start-up (below the ids
// handed out at run time).
constexpr uint32_t ERROR_CLASS = 1;
constexpr uint32_t CATALOGUE_CLASS = 2;
constexpr uint32_t CATEGORY_CLASS = 3;

int fired_category = -1;
int fired_id = -1;
cell fired_args[3];
bool fired_given[3];
bool firing = false;  // an error raised while making an error unwinds bare

// Cells anchored in the root block by init (null until then).
cell* catalog_cell = nullptr;
cell* standard_cell = nullptr;
cell* stack_trace_cell = nullptr;
cell* source_files_cell = nullptr;
cell* last_cell = nullptr;
cell no_error{TYPE_NONE, 0, 0, 0};
uint32_t field_symbols[FIELD_COUNT];


cell* value_of(const cell* object, uint32_t index) { return context::value_at(object->w1, index); }

// The category object at a catalogue index (null past the end).
const cell* category_at(uint32_t index) {
  if (index >= object::count_words(catalog_cell)) return nullptr;
  return value_of(catalog_cell, index);
}

int32_t category_index(uint32_t symbol) { return object::find_index(catalog_cell, symbol); }

void store(cell* error, field f, const cell* value) { *value_of(error, f) = *value; }

void word_from(cell* target, uint32_t ctx, uint32_t index) {
  *target = *context::word_at(ctx, index);
  target->header = TYPE_WORD;
  target->w1 = ctx;
  target->w3 = index;
}

// Fills code, type and id from a category index and an id position
// (counted from the category's first id).
void set_code(cell* error, uint32_t category, uint32_t position) {
  const cell* cat = category_at(category);
  cell w;
  word_from(&w, catalog_cell->w1, category);
  store(error, F_TYPE, &w);
  word_from(&w, cat->w1, position + 2);
  store(error, F_ID, &w);
  cell code;
  integer::make_at(&code, int32_t(category * 100 + position));
  store(error, F_CODE, &code);
}

[[noreturn]] void spec_field(field f) {
  error::fire(err::cat_script, err::script::invalid_spec_field,
              f == F_TYPE ? words::word[words::w::type] : words::word[words::w::id]);
}

// The id position (from the category's first id) of an id word, or -1.
int32_t id_position(uint32_t category, const cell* id) {
  const cell* cat = category_at(category);
  int32_t at = object::find_index(cat, id->w2);
  return at < 2 ? -1 : at - 2;
}

// type and id fields of an error whose spec block was evaluated.
void check_fields(cell* error) {
  const cell* type = value_of(error, F_TYPE);
  if (type_of(type) != TYPE_WORD) spec_field(F_TYPE);
  int32_t category = category_index(type->w2);
  if (category < 0) spec_field(F_TYPE);
  const cell* id = value_of(error, F_ID);
  if (type_of(id) != TYPE_WORD) spec_field(F_ID);
  int32_t position = id_position(uint32_t(category), id);
  if (position < 0) spec_field(F_ID);
  set_code(error, uint32_t(category), uint32_t(position));
}

void build_catalogue(cell* target, const cell* entries) {
  cell source = *entries;
  collector::root_cells keep(&source);
  cell catalogue;
  object::make_empty_at(&catalogue, 10);
  collector::root_cells keep_catalogue(&catalogue);
  for (int32_t i = 0, n = block::ks_length_q(&source); i + 1 < n; i += 2) {
    cell name = block::ks_head(&source)[i], spec = block::ks_head(&source)[i + 1];
    collector::root_cells hold(&name), hold_spec(&spec);
    int32_t index = context::add_word(catalogue.w1, &name);
    object::construct(&spec, nullptr, true, CATEGORY_CLASS);
    *context::value_at(catalogue.w1, uint32_t(index)) = *stack::top_cell();
    stack::pop(1);
  }
  catalogue.w2 = CATALOGUE_CLASS;
  *context::owner_of(catalogue.w1) = catalogue;
  *target = catalogue;
}

void build_prototype() {
  cell proto;
  object::make_empty_at(&proto, FIELD_COUNT);
  collector::root_cells keep(&proto);
  for (uint32_t i = 0; i < FIELD_COUNT; ++i) {
    field_symbols[i] = symbol::make(field_names[i]);
    context::add_symbol(proto.w1, field_symbols[i]);
    none::make_at(value_of(&proto, i));
  }
  proto.w2 = ERROR_CLASS;
  *context::owner_of(proto.w1) = proto;
  *standard_cell = proto;
}

int32_t literal(cell* buffer, const char* text, int32_t part) {
  string::concatenate_literal(buffer, text);
  return part - int32_t(std::strlen(text));
}

// Appends at most 40 characters of the flat mold of a value.
int32_t mold_cut(const cell* value, cell* buffer, int32_t part) {
  cell v = *value, text{TYPE_UNSET, 0, 0, 0};
  collector::root_cells keep(&v), keep_text(&text);
  string::make_at(&text, 64);
  // Molded under a limit, so that a huge or deeply nested value stops at
  // the 40 characters shown instead of failing the report.
  constexpr int32_t shown = 40;
  cell limit{TYPE_INTEGER, 0, uint32_t(shown), 0};
  actions::mold_dispatch(&v, &text, false, false, true, &limit, shown, 0);
  int32_t n = std::min(string::ks_length_q(&text), shown);
  string::concatenate(buffer, &text, n, 0, false, 0);
  return part - n;
}

// Turns the error into Internal Error invalid-error naming the bad value.
void make_invalid(cell* error, const cell* bad) {
  cell arg = *bad;
  store(error, F_ARG1, &arg);
  set_code(error, err::cat_internal, err::internal::invalid_error);
}

}  // namespace

// system/state/stack-trace and system/state/source-files once the library
// made the system object; the module's own cells before.
const cell* trace_depth() {
  const cell* c = system_stub::system_field({"state", "stack-trace"});
  return c ? c : stack_trace_cell;
}
const cell* files_cell() {
  const cell* c = system_stub::system_field({"state", "source-files"});
  return c ? c : source_files_cell;
}

bool ready_q() { return catalog_cell != nullptr; }
cell* catalog() { return catalog_cell; }
cell* standard() { return standard_cell; }
cell* stack_trace() { return stack_trace_cell; }
cell* source_files() { return source_files_cell; }
const cell* last_value() { return last_cell ? last_cell : &no_error; }

int last_category() { return fired_category; }
int last_id() { return fired_id; }
const cell* last_arg(int n) {
  if (n < 1 || n > 3 || !fired_given[n - 1]) return nullptr;
  // The error value is rooted and follows moved nodes; the raw copy does not.
  if (last_cell && type_of(last_cell) == TYPE_ERROR) return value_of(last_cell, F_ARG1 + uint32_t(n - 1));
  return &fired_args[n - 1];
}

void fire_cannot_load(const char* what) {
  uint32_t node = memory::alloc_bytes(uint32_t(std::strlen(what)));
  cell name{TYPE_STRING, 0, node, 0};
  string::concatenate_literal(&name, what);
  fire(err::cat_access, err::access::cannot_open, &name);
}

void fire(int category, int id, const cell* arg1, const cell* arg2, const cell* arg3) {
  fired_category = category;
  fired_id = id;
  const cell* args[3] = {arg1, arg2, arg3};
  for (int i = 0; i < 3; ++i) {
    fired_given[i] = args[i] != nullptr;
    // An argument not given must not keep an earlier error's value: the
    // copies below are rooted, and a stale word would name a moved context.
    fired_args[i] = args[i] ? *args[i] : cell{TYPE_NONE, 0, 0, 0};
  }
  if (!ready_q() || firing) throw thrown{THROWN_ERROR};
  none::make_at(last_cell);
  firing = true;
  try {
    cell* saved_top = stack::top;
    cell given[3];
    for (int i = 0; i < 3; ++i) given[i] = fired_given[i] ? fired_args[i] : cell{TYPE_UNSET, 0, 0, 0};
    collector::root_cells keep(given, 3);
    create(category, id, fired_given[0] ? &given[0] : nullptr, fired_given[1] ? &given[1] : nullptr,
           fired_given[2] ? &given[2] : nullptr);
    *last_cell = *stack::top_cell();
    stack::top = saved_top;
  } catch (const thrown&) {
    firing = false;
    throw;
  }
  firing = false;
  if (evaluator.tracing && evaluator.fire_event && evaluator.tracing()) {
    // The tracer may raise and catch errors of its own, each of which
    // overwrites the fired state: the error in flight is put back after it.
    cell kept[4] = {*last_cell, fired_args[0], fired_args[1], fired_args[2]};
    bool kept_given[3] = {fired_given[0], fired_given[1], fired_given[2]};
    collector::root_cells keep(kept, 4);
    evaluator.fire_event(4096, last_cell);
    *last_cell = kept[0];
    fired_category = category;
    fired_id = id;
    for (int i = 0; i < 3; ++i) {
      fired_args[i] = kept[i + 1];
      fired_given[i] = kept_given[i];
    }
  }
  if (evaluator.throw_error) evaluator.throw_error(last_cell);
  throw thrown{THROWN_ERROR};
}

cell* create(int category, int id, const cell* arg1, const cell* arg2, const cell* arg3) {
  cell code;
  integer::make_at(&code, category * 100 + id);
  cell* e = make(unset::make_at(stack::push_cell()), &code, TYPE_ERROR);
  const cell* args[3] = {arg1, arg2, arg3};
  for (int i = 0; i < 3; ++i)
    if (args[i]) store(e, field(F_ARG1 + i), args[i]);
  return e;
}

void set_where(cell* error, const cell* value) {
  if (type_of(value_of(error, F_WHERE)) == TYPE_NONE) store(error, F_WHERE, value);
}

namespace {
// The call-stack records an error's stack integer names: word 3 less 1 when
// the stack recorded it (word 2 also counts frameless block evaluations),
// else the integer itself.
uint32_t recorded_frames(const cell* at) { return at->w3 ? at->w3 - 1 : at->w2; }
}  // namespace

void set_stack(cell* error) {
  const cell* at = value_of(error, F_STACK);
  if (type_of(at) != TYPE_INTEGER) return;
  uint32_t position = recorded_frames(at);
  const cell* trace = trace_depth();
  int32_t depth = type_of(trace) == TYPE_INTEGER ? int32_t(trace->w2) : 0;
  if (depth < 1) depth = 1;
  cell calls{TYPE_UNSET, 0, 0, 0};
  collector::root_cells keep(&calls);
  stack::collect_words(depth, &calls, position);
  store(error, F_STACK, &calls);
  if (type_of(files_cell()) == TYPE_BLOCK && block::ks_length_q(files_cell()) > 0) {
    cell files{TYPE_UNSET, 0, 0, 0}, source = *files_cell();
    collector::root_cells keep_files(&files), keep_source(&source);
    block::clone(&files, &source, false, false);
    store(error, F_FILES, &files);
  }
}

cell* field_of(const cell* error, field f) { return value_of(error, f); }
uint32_t get_type(const cell* error) { return value_of(error, F_TYPE)->w2; }
uint32_t get_id(const cell* error) { return value_of(error, F_ID)->w2; }

cell get_call_name(int32_t n) {
  cell anon = *words::word[words::w::anon];
  uint32_t skip[2] = {symbol::resolve(words::word[words::w::anon]->w2),
                      symbol::resolve(words::word[words::w::body]->w2)};
  for (stack::frame* f = stack::ctop - 1; f >= stack::ctop_bottom; --f) {
    uint32_t name = symbol::resolve(f->symbol());
    if (name == skip[0] || name == skip[1] || !f->word_context) continue;
    int32_t at = context::find_word(f->word_context, f->symbol(), true);
    const cell* v = at >= 0 ? context::value_at(f->word_context, uint32_t(at)) : nullptr;
    uint32_t t = v ? type_of(v) : 0;
    if (t < TYPE_NATIVE || (t > TYPE_FUNCTION && t != TYPE_ROUTINE)) return anon;
    series_buffer* spec = memory::buffer_of(v->w2);
    for (cell *c = spec->head_cell(), *end = spec->tail_cell(); c < end; ++c) {
      uint32_t ct = type_of(c);
      if (ct != TYPE_WORD && ct != TYPE_LIT_WORD && ct != TYPE_GET_WORD && ct != TYPE_REFINEMENT) continue;
      if (n-- == 0) return *c;
    }
    return anon;
  }
  return anon;
}

cell* make(cell* proto, const cell* spec_in, uint32_t) {
  cell spec = *spec_in;
  collector::root_cells keep(&spec);
  if (type_of(&spec) == TYPE_STRING) {
    create(err::cat_user, err::user::message, &spec);
    *proto = *stack::top_cell();
    stack::pop(1);
    return proto;
  }
  cell* e = stack::push_cell();
  unset::make_at(e);
  // system/standard/error is the prototype once the library set it.
  const cell* library_proto = system_stub::system_field({"standard", "error"});
  cell proto_value = library_proto && (type_of(library_proto) == TYPE_OBJECT || type_of(library_proto) == TYPE_ERROR)
                         ? *library_proto
                         : *standard_cell;
  collector::root_cells keep_proto(&proto_value);
  object::copy_into(&proto_value, e, false, nullptr, false);
  *e = cell{TYPE_ERROR, e->w1, ERROR_CLASS, 0};
  *context::owner_of(e->w1) = *e;
  switch (type_of(&spec)) {
    case TYPE_INTEGER: {
      int32_t code = int32_t(spec.w2);
      store(e, F_CODE, &spec);
      uint32_t category = uint32_t(code / 100);
      if (code < 0 || category >= object::count_words(catalog_cell))
        error::fire(err::cat_script, err::script::out_of_range, &spec);
      uint32_t position = uint32_t(code % 100);
      if (position + 2 >= object::count_words(category_at(category)))
        error::fire(err::cat_script, err::script::out_of_range, &spec);
      set_code(e, category, position);
      break;
    }
    case TYPE_BLOCK: {
      int32_t n = block::ks_length_q(&spec);
      const cell* first = n > 0 ? block::ks_head(&spec) : nullptr;
      if (first && type_of(first) == TYPE_WORD) {
        int32_t category = category_index(first->w2);
        if (category < 0) spec_field(F_TYPE);
        if (n < 2) spec_field(F_ID);
        const cell* id = block::ks_head(&spec) + 1;
        if (type_of(id) != TYPE_WORD) error::fire(err::cat_script, err::script::invalid_arg, id);
        int32_t position = id_position(uint32_t(category), id);
        if (position < 0) spec_field(F_ID);
        set_code(e, uint32_t(category), uint32_t(position));
      } else if (first && type_of(first) == TYPE_SET_WORD) {
        if (!object::evaluator.eval) error::fire(err::cat_internal, err::internal::feature_na);
        context::bind(&spec, e->w1, true);
        cell* saved_top = stack::top;
        object::evaluator.eval(&spec);
        stack::top = saved_top;
        check_fields(e);
      } else {
        error::fire(err::cat_internal, err::internal::invalid_error);
      }
      break;
    }
    default: {
      cell kind;
      datatype::make_at(&kind, TYPE_ERROR);
      error::fire(err::cat_script, err::script::bad_make_arg, &kind, &spec);
    }
  }
  *proto = *e;
  stack::pop(1);
  return proto;
}

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  cell e = *value;
  collector::root_cells keep(&e);
  part = literal(buffer, "*** ", part);
  const cell* type = value_of(&e, F_TYPE);
  int32_t category = type_of(type) == TYPE_WORD ? category_index(type->w2) : -1;
  if (category < 0) {
    make_invalid(&e, type);
    category = err::cat_internal;
  }
  cell tmpl;
  {
    const cell* cat = category_at(uint32_t(category));
    const cell* id = value_of(&e, F_ID);
    int32_t at = type_of(id) == TYPE_WORD ? object::find_index(cat, id->w2) : -1;
    if (at < 2) {
      make_invalid(&e, id);
      category = err::cat_internal;
      cat = category_at(uint32_t(category));
      at = object::find_index(cat, value_of(&e, F_ID)->w2);
    }
    tmpl = *value_of(cat, uint32_t(at));
  }
  collector::root_cells keep_template(&tmpl);
  if (type_of(&tmpl) == TYPE_WORD || type_of(&tmpl) == TYPE_GET_WORD) {
    int32_t at = object::find_index(&e, tmpl.w2);
    if (at >= 0) tmpl = *value_of(&e, uint32_t(at));
  }
  {
    cell title = *value_of(category_at(uint32_t(category)), 1);
    collector::root_cells keep_title(&title);
    part = actions::form_dispatch(&title, buffer, nullptr, part);
    part = literal(buffer, ": ", part);
  }
  // User messages are the user's own text: formed, as syntax arguments are.
  bool formed = category == err::cat_syntax || category == err::cat_user;
  if (type_of(&tmpl) == TYPE_STRING) {
    part = actions::form_dispatch(&tmpl, buffer, nullptr, part);
  } else if (type_of(&tmpl) == TYPE_BLOCK) {
    for (int32_t i = 0, n = block::ks_length_q(&tmpl); i < n; ++i) {
      cell item = block::ks_head(&tmpl)[i];
      if (i > 0) part = literal(buffer, " ", part);
      if (type_of(&item) == TYPE_WORD || type_of(&item) == TYPE_GET_WORD) {
        int32_t at = object::find_index(&e, item.w2);
        if (at >= 0) item = *value_of(&e, uint32_t(at));
        collector::root_cells hold(&item);
        part = formed ? actions::form_dispatch(&item, buffer, nullptr, part)
                      : actions::mold_dispatch(&item, buffer, false, false, false, nullptr, part, 0);
      } else {
        collector::root_cells hold(&item);
        part = actions::form_dispatch(&item, buffer, nullptr, part);
      }
    }
  } else {
    make_invalid(&e, &tmpl);
  }
  part = literal(buffer, "\n*** Where: ", part);
  cell where = *value_of(&e, F_WHERE);
  collector::root_cells keep_where(&where);
  if (type_of(&where) == TYPE_WORD || type_of(&where) == TYPE_STRING)
    part = actions::form_dispatch(&where, buffer, nullptr, part);
  else
    part = literal(buffer, "???", part);
  part = literal(buffer, "\n*** Near : ", part);
  part = mold_cut(value_of(&e, F_NEAR), buffer, part);
  cell depth_value = *trace_depth();
  const cell* depth = &depth_value;
  cell trace = *value_of(&e, F_STACK);
  collector::root_cells keep_trace(&trace);
  if (type_of(depth) == TYPE_INTEGER && int32_t(depth->w2) > 0 && type_of(&trace) == TYPE_BLOCK) {
    part = literal(buffer, "\n*** Stack: ", part);
    int32_t n = block::ks_length_q(&trace);
    int32_t ends = int32_t(stack::TRACE_ENDS);
    if (n <= 2 * ends) {
      part = actions::form_dispatch(&trace, buffer, nullptr, part);
    } else {
      // The first and last calls, as the stack's own trace cuts them.
      for (int32_t i = 0; i < n; ++i) {
        if (i == ends) {
          part = literal(buffer, " ...", part);
          i = n - ends;
        }
        cell item = block::ks_head(&trace)[i];
        collector::root_cells hold(&item);
        if (i > 0) part = literal(buffer, " ", part);
        part = actions::form_dispatch(&item, buffer, nullptr, part);
      }
    }
  } else if (type_of(depth) == TYPE_INTEGER && int32_t(depth->w2) > 0 && type_of(&trace) == TYPE_INTEGER) {
    part = literal(buffer, "\n*** Stack: ", part);
    part = stack::trace(int32_t(depth->w2), recorded_frames(&trace), buffer, part);
  }
  if (type_of(value_of(&e, F_FILES)) == TYPE_BLOCK) {
    part = literal(buffer, "\n*** Files: ", part);
    part = mold_cut(value_of(&e, F_FILES), buffer, part);
  }
  return part;
}

int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg, int32_t part,
             int32_t indent) {
  (void)arg;
  if (!only) part = literal(buffer, "make error! [", part);
  part = object::serialize(value, buffer, only, all, flat, true, indent + 1, true, part);
  if (!flat && indent > 0) part = mold::indent(buffer, indent, part);
  if (!only) part = literal(buffer, "]", part);
  return part;
}

cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path, const cell* grand_parent,
                const cell* previous, int32_t index, bool case_, bool get, bool tail, bool notify) {
  return object::eval_path(parent, element, value, path, grand_parent, previous, index, case_, get, tail, notify);
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  if (type_of(value2) != TYPE_ERROR) return -2;
  cell a = *value1, b = *value2;
  a.header = (a.header & ~FLAG_TYPE_MASK) | TYPE_OBJECT;
  b.header = (b.header & ~FLAG_TYPE_MASK) | TYPE_OBJECT;
  return object::compare(&a, &b, op);
}

void init(const cell* catalogue_source) {
  datatype::registration(TYPE_ERROR, TYPE_OBJECT, "error!")
      .inherit_all()
      .set<ACT_MAKE>(make)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_EVAL_PATH>(eval_path)
      .set<ACT_COMPARE>(compare)
      .unsupported(ACT_PUT)
      .unsupported(ACT_MODIFY)
      .commit();
  cell none;
  none::make_at(&none);
  cell* catalogue = root::append(&none);
  standard_cell = root::append(&none);
  cell depth;
  integer::make_at(&depth, 0);
  stack_trace_cell = root::append(&depth);
  source_files_cell = root::append(&none);
  block::make_at(source_files_cell, 1);
  last_cell = root::append(&none);
  build_catalogue(catalogue, catalogue_source);
  build_prototype();
  catalog_cell = catalogue;  // from here on, fire makes error! values
}

void release() {
  catalog_cell = standard_cell = stack_trace_cell = source_files_cell = last_cell = nullptr;
  firing = false;
}

}  // namespace kez::error
