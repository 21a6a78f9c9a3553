#include "runtime/datatypes/port.h"

#include <cstring>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/thrown.h"

namespace kez::port {

services hooks;

namespace {

// system/schemes, system/standard/url-parts, system/standard/port.
cell system_cells[3] = {};
bool marker_added = false;

void mark_system() { collector::mark_values(system_cells, system_cells + 3); }

const char* const action_names[ACTION_COUNT + 1] = {
    "", "make", "random", "reflect", "to", "form", "mold", "eval-path", "set-path", "compare", "absolute", "add",
    "divide", "multiply", "negate", "power", "remainder", "round", "subtract", "even?", "odd?", "and~",
    "complement", "or~", "xor~", "append", "at", "back", "change", "clear", "copy", "find", "head", "head?",
    "index?", "insert", "length?", "move", "next", "pick", "poke", "put", "remove", "reverse", "select", "sort",
    "skip", "swap", "tail", "tail?", "take", "trim", "create", "close", "delete", "modify", "open", "open?",
    "query", "read", "rename", "update", "write",
};

// Symbols are interned on first use: this module may register before the
// symbol table exists.
uint32_t symbol_of(const char* name) { return symbol::make(name); }
uint32_t action_symbol(uint32_t action) {
  static uint32_t ids[ACTION_COUNT + 1] = {};
  static uint32_t table_count = 0;
  if (symbol::count() < table_count) std::memset(ids, 0, sizeof ids);  // a new symbol table
  table_count = symbol::count();
  if (!ids[action]) ids[action] = symbol_of(action_names[action]);
  return ids[action];
}

// The value cell of an object's field, or null (valid until the next allocation).
cell* field(const cell* object, const char* name) {
  cell o = *object;  // interning may collect and move what object points into
  collector::root_cells keep(&o);
  uint32_t symbol = symbol_of(name);
  return context::get_value_cell(o.w1, symbol);
}
bool object_q(const cell* v) { return type_of(v) == TYPE_OBJECT || type_of(v) == TYPE_PORT; }

[[noreturn]] void not_done() { error::fire(err::cat_internal, err::internal::not_done); }

// The argument cells of one forwarded call, on the data stack.
class call_args {
 public:
  explicit call_args(const cell* port) : first_(stack::push(port)) {}
  call_args& value(const cell* v) {
    if (v) stack::push(v);
    else none::push();
    return *this;
  }
  call_args& flag(bool used) {
    logic::push(used);
    return *this;
  }
  // A refinement with an argument: its flag, then the argument or none.
  call_args& refine(const cell* arg) { return flag(arg != nullptr).value(arg); }
  call_args& refine_int(bool used, int32_t n) {
    flag(used);
    if (used) integer::push(n);
    else none::push();
    return *this;
  }
  const cell* first() const { return first_; }
  uint32_t count() const { return uint32_t(stack::top - first_); }

 private:
  cell* first_;
};

// Calls the actor's function for action; answers the result cell (pushed).
cell* forward(uint32_t action, const call_args& args) {
  cell port = *args.first();
  collector::root_cells keep(&port);
  cell* actor = field(&port, "actor");
  if (!actor || !object_q(actor)) error::fire(err::cat_access, err::access::invalid_port);
  cell word{TYPE_WORD, 0, action_symbol(action), 0xFFFFFFFFu};
  cell* fn = field(actor, action_names[action]);
  if (!fn || type_of(fn) != TYPE_FUNCTION) error::fire(err::cat_access, err::access::no_port_action, &word);
  if (!hooks.call_function) not_done();
  cell f = *fn;
  collector::root_cells keep_fn(&f);
  return hooks.call_function(&f, args.first(), args.count(), &word);
}

// Forwards and puts the result in the handler's result slot.
cell* forward_into(uint32_t action, cell* slot, const call_args& args) {
  cell* r = forward(action, args);
  cell result = *r;
  stack::top = const_cast<cell*>(args.first());  // the arguments and the result go
  *slot = result;
  return slot;
}

template <uint32_t A>
cell* unary(cell* p) {
  call_args a(p);
  return forward_into(A, p, a);
}
template <uint32_t A>
cell* binary(cell* p, const cell* v) {
  call_args a(p);
  a.value(v);
  return forward_into(A, p, a);
}

template <uint32_t A>
cell* insert_like(cell* p, const cell* v, int32_t part, bool only, int32_t dup) {
  call_args a(p);
  a.value(v).refine_int(part >= 0, part).flag(only).refine_int(dup > 1, dup);
  return forward_into(A, p, a);
}
cell* insert(cell* p, const cell* v, int32_t part, bool only, int32_t dup, bool append) {
  return append ? insert_like<ACT_APPEND>(p, v, part, only, dup) : insert_like<ACT_INSERT>(p, v, part, only, dup);
}
cell* change(cell* p, const cell* v, int32_t part, bool only, int32_t dup) {
  return insert_like<ACT_CHANGE>(p, v, part, only, dup);
}

cell* copy(cell* p, cell* result, const cell* part, bool deep, const cell* types) {
  call_args a(p);
  a.refine(part).flag(deep).refine(types);
  return forward_into(ACT_COPY, result, a);
}

template <uint32_t A>
cell* find_like(cell* p, const cell* v, const find_options& o) {
  call_args a(p);
  a.value(v).refine(o.part).flag(o.only).flag(o.case_).flag(o.same).flag(o.any).refine(o.with).refine(o.skip);
  a.flag(o.last).flag(o.reverse);
  if (A == ACT_FIND) a.flag(o.tail).flag(o.match);
  return forward_into(A, p, a);
}

int32_t length_q(cell* p) {
  call_args a(p);
  cell* r = forward(ACT_LENGTH_Q, a);
  int32_t n = type_of(r) == TYPE_INTEGER ? integer::get(r) : -1;
  stack::top = const_cast<cell*>(a.first());
  return n;
}

cell* move(cell* origin, cell* target, const cell* part) {
  call_args a(origin);
  a.value(target).refine(part);
  return forward_into(ACT_MOVE, target, a);
}
cell* pick(cell* p, int32_t index, const cell* boxed) {
  call_args a(p);
  if (boxed) a.value(boxed);
  else integer::push(index);
  return forward_into(ACT_PICK, p, a);
}
cell* poke(cell* p, int32_t index, const cell* boxed, const cell* v, bool) {
  call_args a(p);
  if (boxed) a.value(boxed);
  else integer::push(index);
  a.value(v);
  return forward_into(ACT_POKE, p, a);
}
cell* put(cell* p, const cell* key, const cell* v, bool case_) {
  call_args a(p);
  a.value(key).value(v).flag(case_);
  return forward_into(ACT_PUT, p, a);
}
cell* remove(cell* p, const cell* part, const cell* key) {
  call_args a(p);
  a.refine(part).refine(key);
  return forward_into(ACT_REMOVE, p, a);
}
cell* reverse(cell* p, const cell* part, const cell* skip) {
  call_args a(p);
  a.refine(part).refine(skip);
  return forward_into(ACT_REVERSE, p, a);
}
cell* sort(cell* p, bool case_, const cell* skip, const cell* comparator, const cell* part, bool all, bool rev,
           bool stable) {
  call_args a(p);
  a.flag(case_).refine(skip).refine(comparator).refine(part).flag(all).flag(rev).flag(stable);
  return forward_into(ACT_SORT, p, a);
}
cell* swap(cell* p, cell* other) {
  call_args a(p);
  a.value(other);
  return forward_into(ACT_SWAP, p, a);
}
cell* take(cell* p, const cell* part, bool deep, bool last) {
  call_args a(p);
  a.refine(part).flag(deep).flag(last);
  return forward_into(ACT_TAKE, p, a);
}
cell* trim(cell* p, bool head, bool tail, bool auto_, bool lines, bool all, const cell* with) {
  call_args a(p);
  a.flag(head).flag(tail).flag(auto_).flag(lines).flag(all).refine(with);
  return forward_into(ACT_TRIM, p, a);
}
cell* modify(cell* p, const cell* f, const cell* v, bool case_) {
  call_args a(p);
  a.value(f).value(v).flag(case_);
  return forward_into(ACT_MODIFY, p, a);
}
}  // namespace

cell* open(cell* p, bool new_, bool read_, bool write_, bool seek, const cell* allow) {
  call_args a(p);
  a.flag(new_).flag(read_).flag(write_).flag(seek).refine(allow);
  return forward_into(ACT_OPEN, p, a);
}

namespace {

// Runs body on an opened port and closes it on every way out; an error in
// body goes on after the close.
template <class F>
cell* with_open_port(cell* p, bool write_, bool seek, F body) {
  cell port = *p;
  collector::root_cells keep(&port);
  cell opened = port;
  collector::root_cells keep_opened(&opened);
  open(&opened, false, !write_, write_, seek, nullptr);
  cell result{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_result(&result);
  cell* base = stack::top;
  stack::frame* frames = stack::ctop;
  try {
    body(&port, &result);
  } catch (const thrown&) {
    // The error value lies on the stack top, where the catcher looks for
    // it; close runs code that would overwrite it, so it is put back after.
    cell error = stack::top > base && type_of(stack::top - 1) == TYPE_ERROR ? *(stack::top - 1)
                                                                            : cell{TYPE_NONE, 0, 0, 0};
    collector::root_cells keep_error(&error);
    uint32_t in_flight = runtime::ctx.thrown;
    runtime::ctx.thrown = 0;
    stack::ctop = frames;
    stack::top = base;
    cell closing = port;
    collector::root_cells keep_closing(&closing);
    unary<ACT_CLOSE>(&closing);
    if (type_of(&error) == TYPE_ERROR) stack::push(&error);
    runtime::ctx.thrown = in_flight;
    throw;
  }
  stack::top = base;
  cell closing = port;
  collector::root_cells keep_closing(&closing);
  unary<ACT_CLOSE>(&closing);
  *p = result;
  return p;
}

int32_t emit(cell* buffer, const char* text) {
  string::concatenate_literal(buffer, text);
  return int32_t(std::strlen(text));
}

int32_t mold(const cell* value, cell* buffer, bool, bool all, bool flat, const cell*, int32_t part, int32_t indent) {
  if (!hooks.mold_fields) not_done();
  part -= emit(buffer, "make port! [");
  part = hooks.mold_fields(value, buffer, all, flat, part, indent + 1);
  if (!flat && indent > 0) {
    part -= emit(buffer, "\n");
    for (int32_t i = 0; i < indent; ++i) part -= emit(buffer, "    ");
  } else if (!flat) {
    part -= emit(buffer, "\n");
  }
  part -= emit(buffer, "]");
  return part;
}
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part) {
  return mold(value, buffer, false, false, false, arg, part, 0);
}

}  // namespace

namespace {

cell* find_scheme(uint32_t name) {
  const cell* table = hooks.schemes ? hooks.schemes() : &system_cells[0];
  if (!table) return nullptr;
  if (object_q(table)) return context::get_value_cell(table->w1, name);
  if (type_of(table) != TYPE_BLOCK) return nullptr;
  uint32_t wanted = symbol::resolve(name);
  cell list = *table;
  int32_t n = block::ks_length_q(&list);
  cell* at = block::ks_head(&list);
  for (int32_t i = 0; i + 1 < n; i += 2)
    if (any_word_q(type_of(at + i)) && symbol::resolve(at[i].w2) == wanted) return at + i + 1;
  return nullptr;
}

}  // namespace

void set_system(const cell* schemes, const cell* url_parts, const cell* port_proto) {
  const cell* given[3] = {schemes, url_parts, port_proto};
  for (int i = 0; i < 3; ++i) system_cells[i] = given[i] ? *given[i] : cell{TYPE_NONE, 0, 0, 0};
  if (!marker_added) {
    collector::add_marker(mark_system);
    marker_added = true;
  }
}

cell* make(cell* proto, const cell* spec, uint32_t) {
  if (!hooks.copy_object || !object_q(&system_cells[2])) not_done();
  cell spec_object = *spec;
  collector::root_cells keep(&spec_object);
  if (type_of(spec) != TYPE_OBJECT) {
    if (!hooks.make_object || !object_q(&system_cells[1])) not_done();
    hooks.make_object(&spec_object, &system_cells[1], spec);
  }
  cell* scheme_field = field(&spec_object, "scheme");
  if (!scheme_field || type_of(scheme_field) != TYPE_WORD) error::fire(err::cat_access, err::access::no_scheme, &spec_object);
  cell scheme_word = *scheme_field;
  collector::root_cells keep_word(&scheme_word);
  cell port{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_port(&port);
  hooks.copy_object(&port, &system_cells[2]);
  port.header = (port.header & ~uint32_t(FLAG_TYPE_MASK)) | TYPE_PORT;
  if (cell* f = field(&port, "spec")) *f = spec_object;
  if (cell* f = field(&port, "scheme")) *f = scheme_word;
  cell* scheme = find_scheme(scheme_word.w2);
  if (!scheme || !object_q(scheme)) error::fire(err::cat_access, err::access::unknown_scheme, &spec_object);
  cell* actor = field(scheme, "actor");
  if (!actor || (type_of(actor) != TYPE_OBJECT && type_of(actor) != TYPE_HANDLE))
    error::fire(err::cat_access, err::access::invalid_actor);
  cell act = *actor;
  if (cell* f = field(&port, "actor")) *f = act;
  *proto = port;
  return proto;
}

cell* read(cell* source, const cell* part, const cell* seek, bool, bool, bool, const cell*) {
  cell p = part ? *part : cell{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&p);
  return with_open_port(source, false, seek != nullptr, [&](cell* port, cell* result) {
    copy(port, result, part ? &p : nullptr, false, nullptr);
  });
}

cell* write(cell* destination, const cell* data, bool, bool, bool, bool, const cell* part, const cell* seek,
            const cell*, const cell*) {
  cell d = *data, p = part ? *part : cell{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_d(&d), keep_p(&p);
  return with_open_port(destination, true, seek != nullptr, [&](cell* port, cell* result) {
    cell target = *port;
    collector::root_cells keep_t(&target);
    int32_t count = part && type_of(&p) == TYPE_INTEGER ? integer::get(&p) : -1;
    insert(&target, &d, count, false, 1, false);
    copy(port, result, part ? &p : nullptr, false, nullptr);
  });
}

void init() {
  datatype::registration r(TYPE_PORT, TYPE_OBJECT, "port!");
  r.inherit(ACT_REFLECT).inherit(ACT_EVAL_PATH).inherit(ACT_COMPARE);
  r.set<ACT_MAKE>(make)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_APPEND>(insert)
      .set<ACT_AT>(binary<ACT_AT>)
      .set<ACT_BACK>(unary<ACT_BACK>)
      .set<ACT_CHANGE>(change)
      .set<ACT_CLEAR>(unary<ACT_CLEAR>)
      .set<ACT_COPY>(copy)
      .set<ACT_FIND>(find_like<ACT_FIND>)
      .set<ACT_HEAD>(unary<ACT_HEAD>)
      .set<ACT_HEAD_Q>(unary<ACT_HEAD_Q>)
      .set<ACT_INDEX_Q>(unary<ACT_INDEX_Q>)
      .set<ACT_INSERT>(insert)
      .set<ACT_LENGTH_Q>(length_q)
      .set<ACT_MOVE>(move)
      .set<ACT_NEXT>(unary<ACT_NEXT>)
      .set<ACT_PICK>(pick)
      .set<ACT_POKE>(poke)
      .set<ACT_PUT>(put)
      .set<ACT_REMOVE>(remove)
      .set<ACT_REVERSE>(reverse)
      .set<ACT_SELECT>(find_like<ACT_SELECT>)
      .set<ACT_SORT>(sort)
      .set<ACT_SKIP>(binary<ACT_SKIP>)
      .set<ACT_SWAP>(swap)
      .set<ACT_TAIL>(unary<ACT_TAIL>)
      .set<ACT_TAIL_Q>(unary<ACT_TAIL_Q>)
      .set<ACT_TAKE>(take)
      .set<ACT_TRIM>(trim)
      .set<ACT_CREATE>(unary<ACT_CREATE>)
      .set<ACT_CLOSE>(unary<ACT_CLOSE>)
      .set<ACT_DELETE>(unary<ACT_DELETE>)
      .set<ACT_MODIFY>(modify)
      .set<ACT_OPEN>(open)
      .set<ACT_QUERY>(unary<ACT_QUERY>)
      .set<ACT_READ>(read)
      .set<ACT_RENAME>(binary<ACT_RENAME>)
      .set<ACT_UPDATE>(unary<ACT_UPDATE>)
      .set<ACT_WRITE>(write)
      .commit();
}

}  // namespace kez::port
