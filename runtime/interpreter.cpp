#include "runtime/interpreter.h"

#include <array>
#include <cassert>
#include <cstring>
#include <optional>

#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/word.h"
#include "runtime/mem.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/start.h"
#include "runtime/thrown.h"
#include "runtime/trace.h"
#include "runtime/words.h"

namespace kez::interpreter {

namespace {

eval_record* records = nullptr;
// See tail_levels: the code of every level held, a root, in the order held.
constexpr uint32_t TAIL_SAVED_MAX = 1024;
cell tail_saved[TAIL_SAVED_MAX];
uint8_t tail_kind[TAIL_SAVED_MAX];
uint32_t tail_count = 0;

// Links the record for the block as the innermost. The cell is read word by
// word: it was mostly just written in pieces (a paren's cell by its caller),
// and one 16-byte load would wait for those stores to retire.
inline void link_record(eval_record& r, const cell* block) {
  copy_fresh(&r.code, block);
  r.prev = records;
  records = &r;
}

// A record linked for its scope.
struct record_scope {
  eval_record r;
  explicit record_scope(const cell* block) { link_record(r, block); }
  ~record_scope() { records = r.prev; }
  record_scope(const record_scope&) = delete;
  record_scope& operator=(const record_scope&) = delete;
};

// Argument kinds, header bits 20-21 of an argument-list typeset cell.
constexpr uint32_t KIND_SHIFT = 20;
enum arg_kind : uint32_t { ARG_WORD = 0, ARG_GET = 1, ARG_LIT = 2, ARG_RETURN = 3 };

// Room kept on the machine stack below the deepest evaluation: far more
// than any native needs between two depth checks.
constexpr uintptr_t STACK_MARGIN = uintptr_t(8) << 20;
// Unknown (the most) until the first check asks the runtime for its stack.
uintptr_t depth_limit = UINTPTR_MAX;

void mark_position() {
  for (eval_record* r = records; r; r = r->prev) collector::mark_values(&r->code, &r->code + 1);
  collector::mark_values(tail_saved, tail_saved + tail_count);
}

inline cell* cell_at(uint32_t node, int32_t index) { return memory::buffer_of(node)->head_cell() + index; }
inline int32_t tail_of(uint32_t node) {
  series_buffer* b = memory::buffer_of(node);
  return int32_t((b->tail - b->head) / sizeof(cell));
}

// Puts the value where the expression's result goes.
inline void deliver(const cell* value, bool sub) {
  if (sub) {
    stack::push(value);
  } else {
    stack::set_last_keep(value);
  }
}

// The value cell of a bound word: the common case read in place, anything
// else (unbound, `self`, a function context outside its call) left to the
// context module, which raises.
inline cell* word_value(const cell* w) {
  if (w->w1 && int32_t(w->w3) >= 0)
    if (cell* v = context::bound_value(w)) return v;
  return context::get(w);
}

// Types that eval_expression's switch delivers unchanged (its default case).
constexpr bool inert_q(uint32_t t) {
  return t != TYPE_PAREN && (t < TYPE_WORD || t > TYPE_ROUTINE || t == TYPE_REFINEMENT);
}

inline bool callable_q(uint32_t t) {
  return t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION || t == TYPE_ROUTINE;
}

[[gnu::noinline]] void check_depth_again() {
  if (depth_limit == UINTPTR_MAX) {
    uintptr_t low = runtime::stack_limit();
    depth_limit = low ? low + STACK_MARGIN : 1;
  }
  if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < depth_limit)
    error::fire(err::cat_internal, err::internal::stack_overflow);
}

inline void check_depth() {
  if (reinterpret_cast<uintptr_t>(__builtin_frame_address(0)) < depth_limit) [[unlikely]] check_depth_again();
}

// Trace firing points test trace::active (false unless a do/trace run is
// reporting) and call these, kept out of line.
#define KEZ_TRACING __builtin_expect(trace::active, 0)

[[gnu::noinline]] void fire_code(uint32_t event, uint32_t type, uint32_t node, int32_t index, const cell* value) {
  cell code{type, uint32_t(index), node, 0};
  collector::root_cells keep(&code);
  trace::fire(event, &code, value, nullptr);
}

// fetch: a value read from the code. The caller's copy is kept a root
// while the tracer runs (a collection may move what it refers to).
[[gnu::noinline]] void fire_fetch(uint32_t node, int32_t index, cell* value) {
  collector::root_cells keep(value);
  trace::fire_at(trace::FETCH, node, index, value, nullptr);
}

// push: the value an expression delivered without a call.
[[gnu::noinline]] void fire_pushed(uint32_t node, int32_t index, bool sub) {
  trace::fire_at(trace::PUSH, node, index, sub ? stack::top - 1 : stack::arguments, nullptr);
}

// ---------------------------------------------------------------- arguments

// The argument list of a spec: one typeset cell per argument (its kind in
// header bits 20-21, the argument's symbol in word 3), one refinement! per
// refinement but /local (word 3 its ordinal from 1), then an integer! with
// the number of locals when there are any.
void spec_arguments(cell* target, uint32_t spec_node) {
  collector::root_node keep(spec_node);
  cell spec{TYPE_BLOCK, 0, spec_node, 0};
  collector::root_cells keep_spec(&spec);
  block::make_at(target, 8);
  int32_t n = tail_of(spec_node);
  int32_t locals = -1;
  uint32_t ordinal = 0;
  for (int32_t i = 0; i < n; ++i) {
    cell item = *cell_at(spec_node, i);
    uint32_t t = type_of(&item);
    if (locals >= 0) {
      if (t == TYPE_WORD) ++locals;
      else if (t == TYPE_SET_WORD) break;
      continue;
    }
    switch (t) {
      case TYPE_WORD: case TYPE_GET_WORD: case TYPE_LIT_WORD: case TYPE_SET_WORD: {
        uint32_t kind = t == TYPE_WORD ? ARG_WORD : t == TYPE_GET_WORD ? ARG_GET : t == TYPE_LIT_WORD ? ARG_LIT : ARG_RETURN;
        if (t == TYPE_SET_WORD && item.w2 != words::word[words::w::return_]->w2 &&
            symbol::resolve(item.w2) != symbol::resolve(words::word[words::w::return_]->w2))
          error::fire(err::cat_script, err::script::bad_func_def, &item);
        cell set{TYPE_TYPESET, 0, 0, 0};
        if (i + 1 < n && type_of(cell_at(spec_node, i + 1)) == TYPE_BLOCK &&
            tail_of(cell_at(spec_node, i + 1)->w2) > int32_t(cell_at(spec_node, i + 1)->w1)) {
          cell types = *cell_at(spec_node, i + 1);
          collector::root_cells keep_types(&types);
          cell* made = typeset::make_in_from_spec(target, &types);
          set = *made;
          block::ks_remove_last(target);
          ++i;
        } else {
          for (uint32_t type = 1; type <= TYPE_LAST; ++type)
            if (type != TYPE_UNSET) typeset::add_type(&set, type);
        }
        set.header = TYPE_TYPESET | kind << KIND_SHIFT;
        set.w3 = item.w2;
        block::ks_append(target, &set);
        break;
      }
      case TYPE_REFINEMENT:
        if (symbol::resolve(item.w2) == symbol::resolve(words::refinements[words::ref::local]->w2)) {
          locals = 0;
          break;
        }
        item.w1 = 0;  // only the name and the ordinal are read
        item.w3 = ++ordinal;
        block::ks_append(target, &item);
        break;
      default: break;
    }
  }
  if (locals > 0) {
    cell count{TYPE_INTEGER, 0, uint32_t(locals), 0};
    block::ks_append(target, &count);
  }
}

// The cached argument list of a callable (extras cell 1), built on first use.
[[gnu::noinline]] uint32_t make_argument_list(const cell* fn) {
  uint32_t extras_node = fn->w3;
  collector::root_node keep(extras_node);
  cell list{TYPE_UNSET, 0, 0, 0};
  collector::root_cells keep_list(&list);
  spec_arguments(&list, fn->w2);
  memory::buffer_of(extras_node)->head_cell()[1] = list;
  return list.w2;
}

inline uint32_t argument_list(const cell* fn) {
  cell* extras = memory::buffer_of(fn->w3)->head_cell();
  if (type_of(extras + 1) == TYPE_BLOCK) [[likely]] return extras[1].w2;
  return make_argument_list(fn);
}

}  // namespace

void make_arguments(const cell* fn) { argument_list(fn); }

namespace {

cell name_word(uint32_t symbol) {
  cell w{TYPE_WORD, 0, symbol, uint32_t(-1)};
  return w;
}

[[noreturn]] void no_arg(const cell* name, uint32_t symbol) {
  cell fn = *name, arg = name_word(symbol);
  error::fire(err::cat_script, err::script::no_arg, &fn, &arg);
}

[[noreturn]] void expect_arg(const cell* name, const cell* value, uint32_t symbol) {
  cell kind, arg = name_word(symbol), fn = *name;
  datatype::make_at(&kind, type_of(value));
  error::fire(err::cat_script, err::script::expect_arg, &fn, &kind, &arg);
}

// The commonest operators on two integers (or two floats for the
// arithmetic) computed in place, with the results of the generic route:
// 32-bit overflow gives the float! of the exact operands. Answers false
// (nothing done) for anything else.
enum fast_op { FAST_NONE, FAST_ADD, FAST_SUBTRACT, FAST_MULTIPLY, FAST_REMAINDER, FAST_COMPARE };
inline fast_op fast_kind(const cell* op, int32_t& compare_op) {
  uint32_t source = (op->header >> 16) & 0xFF;
  if (source == TYPE_ACTION) {
    switch (op->w1) {
      case ACT_ADD: return FAST_ADD;
      case ACT_SUBTRACT: return FAST_SUBTRACT;
      case ACT_MULTIPLY: return FAST_MULTIPLY;
      case ACT_REMAINDER: return FAST_REMAINDER;
      default: return FAST_NONE;
    }
  }
  // equal? ... greater-or-equal? are natives 25 to 31.
  static const int32_t ops[] = {COMP_EQUAL, COMP_NOT_EQUAL, COMP_STRICT_EQUAL, COMP_LESSER,
                                COMP_GREATER, COMP_LESSER_EQUAL, COMP_GREATER_EQUAL};
  if (source == TYPE_NATIVE && op->w1 >= 25 && op->w1 <= 31) {
    compare_op = ops[op->w1 - 25];
    return FAST_COMPARE;
  }
  return FAST_NONE;
}

// The float! cases and integer overflow, apart from the inline integer path.
[[gnu::noinline]] bool fast_operator_float(fast_op kind, int32_t compare_op, cell* left, const cell* right) {
  uint32_t lt = type_of(left), rt = type_of(right);
  if (lt == TYPE_INTEGER && rt == TYPE_INTEGER) {
    double x = int32_t(left->w2), y = int32_t(right->w2);
    double d = kind == FAST_ADD ? x + y : kind == FAST_SUBTRACT ? x - y : x * y;
    *left = cell{TYPE_FLOAT, 0, 0, 0};
    store_double(&left->w2, d);
    return true;
  }
  // Two datatypes are equal when they are the same type: the datatype
  // predicates' comparison.
  if (kind == FAST_COMPARE && lt == TYPE_DATATYPE && rt == TYPE_DATATYPE &&
      (compare_op == COMP_EQUAL || compare_op == COMP_NOT_EQUAL || compare_op == COMP_STRICT_EQUAL)) {
    bool same = left->w1 == right->w1;
    *left = cell{TYPE_LOGIC, same != (compare_op == COMP_NOT_EQUAL) ? 1u : 0u, 0, 0};
    return true;
  }
  // A float! with a float! or an integer! is the float! of the two as
  // doubles, whichever side the integer is on (every int32 is exact).
  if (kind != FAST_COMPARE && kind != FAST_REMAINDER && (lt == TYPE_FLOAT || lt == TYPE_INTEGER) &&
      (rt == TYPE_FLOAT || rt == TYPE_INTEGER)) {
    double x = lt == TYPE_FLOAT ? load_double(&left->w2) : double(int32_t(left->w2));
    double y = rt == TYPE_FLOAT ? load_double(&right->w2) : double(int32_t(right->w2));
    double d = kind == FAST_ADD ? x + y : kind == FAST_SUBTRACT ? x - y : x * y;
    *left = cell{TYPE_FLOAT, 0, 0, 0};
    store_double(&left->w2, d);
    return true;
  }
  return false;
}

[[gnu::always_inline]] inline bool fast_operator(fast_op kind, int32_t compare_op, cell* left, const cell* right) {
  if (type_of(left) == TYPE_INTEGER && type_of(right) == TYPE_INTEGER) [[likely]] {
    int32_t a = int32_t(left->w2), b = int32_t(right->w2);
    int32_t r;
    bool overflow;
    switch (kind) {
      case FAST_ADD: overflow = __builtin_add_overflow(a, b, &r); break;
      case FAST_SUBTRACT: overflow = __builtin_sub_overflow(a, b, &r); break;
      case FAST_MULTIPLY: overflow = __builtin_mul_overflow(a, b, &r); break;
      case FAST_REMAINDER:
        // A zero divisor and the one overflowing case raise on the general route.
        if (b == 0 || (a == INT32_MIN && b == -1)) return false;
        *left = cell{TYPE_INTEGER, 0, uint32_t(a % b), 0};
        return true;
      default: {
        bool t;
        switch (compare_op) {
          case COMP_EQUAL: case COMP_STRICT_EQUAL: t = a == b; break;
          case COMP_NOT_EQUAL: t = a != b; break;
          case COMP_LESSER: t = a < b; break;
          case COMP_LESSER_EQUAL: t = a <= b; break;
          case COMP_GREATER: t = a > b; break;
          default: t = a >= b; break;
        }
        *left = cell{TYPE_LOGIC, t ? 1u : 0u, 0, 0};
        return true;
      }
    }
    if (!overflow) [[likely]] {
      *left = cell{TYPE_INTEGER, 0, uint32_t(r), 0};
      return true;
    }
  }
  return fast_operator_float(kind, compare_op, left, right);
}

[[gnu::always_inline]] inline uint32_t infix_loop(uint32_t& node, int32_t& index, cell* start,
                                                 series_buffer* b = nullptr);
uint32_t expression(uint32_t& node, int32_t& index, cell v, bool sub, bool no_infix, bool passive);

// The value a literal, a word or a get-word gives as an argument when no
// evaluation is needed: null for what eval_expression must handle (a call,
// an operator, an unset or unbound word, a paren, a path...).
[[gnu::always_inline]] inline const cell* plain_value(const cell* c) {
  uint32_t t = type_of(c);
  if (inert_q(t)) return c;
  if (t != TYPE_WORD) {
    // A get-word gives any value as it is.
    if (t == TYPE_GET_WORD && c->w1 && int32_t(c->w3) >= 0) return context::bound_value(c);
    return nullptr;
  }
  if (!c->w1 || int32_t(c->w3) < 0) return nullptr;
  const cell* v = context::bound_value(c);
  if (!v) return nullptr;
  uint32_t vt = type_of(v);
  return vt == TYPE_UNSET || vt == TYPE_OP || callable_q(vt) ? nullptr : v;
}

uint32_t decoded_argument(uint32_t& node, int32_t& index, series_buffer* b);
uint32_t decoded_operand(uint32_t& node, int32_t& index, series_buffer* b);

// After a value pushed straight from the cell `c` (in b) with nothing run:
// the operator lookahead, when the next cell is a word that could name one.
[[gnu::always_inline]] inline uint32_t look_ahead(uint32_t& node, int32_t& index, const cell* c, series_buffer* b,
                                                  cell* start) {
  if (c + 1 >= b->tail_cell() || type_of(c + 1) != TYPE_WORD) return 0;
  return infix_loop(node, index, start, b);
}

// Pushes the value of the expression whose first cell `c` (in b, the code's
// buffer) was just read: a literal or a word's plain value directly, then
// the operator lookahead; anything else through the decoded code.
[[gnu::always_inline]] inline uint32_t push_expression(uint32_t& node, int32_t& index, const cell* c,
                                                       series_buffer* b, bool no_infix) {
  cell* start = stack::top;
  if (const cell* v = KEZ_TRACING ? nullptr : plain_value(c)) {
    stack::push(v);
    ++index;
    return no_infix ? 0 : look_ahead(node, index, c, b, start);
  }
  return no_infix ? decoded_operand(node, index, b) : decoded_argument(node, index, b);
}

// ------------------------------------------------------------ decoded code

// What the evaluator works out from a block's cell on every pass, kept in a
// side table keyed by the block's node: the kind of the value and, for a
// word that last named a callable, that callable's identity and argument
// layout. Each entry keeps a copy of the cell it was decoded from and is
// decoded again as soon as the cell differs (a change by any action, a
// rebinding, a collection rewriting a node), so a block changed while it
// runs needs no hook in the modifiers. Facts about a word's value are only
// used once the value read now is the same callable. A collection may free
// and reuse nodes: each one empties the table (a new generation).
enum code_kind : uint8_t { KIND_OTHER, KIND_INERT, KIND_WORD, KIND_SET_WORD, KIND_PAREN, KIND_PATH };

struct decoded_entry {
  cell seen;           // the cell as decoded
  uint32_t fn_w1;      // the callable the word named last: its word 1,
  uint32_t fn_extras;  // extras node (0: none known)
  uint32_t fn_layout;  // and argument layout
  uint8_t kind;
  uint8_t fn_type;
  uint16_t unused;
};
static_assert(sizeof(decoded_entry) == 32);

struct decoded_block {
  uint32_t node = 0;
  uint32_t generation = 0;
  int32_t length = 0;    // entries ready (each one decoded when first read)
  int32_t capacity = 0;
  decoded_entry* entries = nullptr;
};

// A small direct-mapped table: a block evicted by another of the same slot
// is decoded again when it runs next. Longer blocks (data more than code)
// are not decoded: the table holds at most 256 x 512 entries of 32 bytes.
constexpr uint32_t DECODED_SLOT_BITS = 8;
constexpr int32_t DECODED_MAX_CELLS = 512;
decoded_block decoded_table[1u << DECODED_SLOT_BITS];
uint32_t decoded_generation = 1;

void forget_decoded() { ++decoded_generation; }

// A new runtime: the entries may have gone with the last one's tracked
// allocations, and anything still held is freed at quit.
void drop_decoded() {
  for (decoded_block& d : decoded_table) d = decoded_block{};
  ++decoded_generation;
}

inline bool same_cell(const cell* a, const cell* b) {
  uint64_t x[2], y[2];
  std::memcpy(x, a, 16);
  std::memcpy(y, b, 16);
  return ((x[0] ^ y[0]) | (x[1] ^ y[1])) == 0;
}

// No cell has this header: an entry holding it is decoded when read.
constexpr uint32_t NOT_A_HEADER = 0xFFFFFFFF;

[[gnu::noinline]] decoded_entry* claim_decoded(decoded_block& d, uint32_t node, int32_t length) {
  if (length > DECODED_MAX_CELLS) return nullptr;
  if (d.node != node || d.generation != decoded_generation) d.length = 0;
  if (length > d.capacity) {
    // Room to grow by a few cells before the entries move.
    int32_t capacity = (length + 7) & ~7;
    // Tracked: quit frees it with the rest.
    d.entries = static_cast<decoded_entry*>(mem::realloc(d.entries, sizeof(decoded_entry) * size_t(capacity)));
    d.capacity = capacity;
  }
  for (int32_t i = d.length; i < length; ++i) d.entries[i].seen.header = NOT_A_HEADER;
  d.node = node;
  d.generation = decoded_generation;
  d.length = length;
  return d.entries;
}

// The decoded entries of the block at node (length cells), or null when it
// is not decoded. Valid until the next evaluation: fetch them again after.
inline decoded_entry* decoded_of(uint32_t node, int32_t length) {
  decoded_block& d = decoded_table[(node * 2654435761u) >> (32 - DECODED_SLOT_BITS)];
  if (d.node == node && d.generation == decoded_generation && length <= d.length) [[likely]] return d.entries;
  return claim_decoded(d, node, length);
}

[[gnu::noinline]] void decode_entry(decoded_entry* e, const cell* c) {
  e->seen = *c;
  e->fn_extras = 0;
  uint32_t t = type_of(c);
  e->kind = inert_q(t) ? KIND_INERT : t == TYPE_WORD ? KIND_WORD : t == TYPE_SET_WORD ? KIND_SET_WORD
            : t == TYPE_PAREN ? KIND_PAREN : t == TYPE_PATH || t == TYPE_GET_PATH ? KIND_PATH : KIND_OTHER;
}

// The entry of the cell at c, decoded again when the cell changed.
inline decoded_entry* entry_for(decoded_entry* e, const cell* c) {
  if (!same_cell(&e->seen, c)) [[unlikely]] decode_entry(e, c);
  return e;
}

// The argument list of a callable (rooted: its nodes may move).
inline series_buffer* list_buffer(const cell* fn) {
  return memory::buffer_of(memory::buffer_of(fn->w3)->head_cell()[1].w2);
}

// Node slots here are rooted by their owners: a collection may rewrite them.
struct call_site {
  uint32_t& node;     // the code block
  int32_t& index;     // next value to read
  const cell* name;   // the called word (rooted by the caller)
  const cell* path;   // refinements: a path (rooted) and the index of its first refinement, or null
  int32_t path_index;
  bool infix = false;  // an operator's right operand takes no lookahead
  bool right_fetched = false;  // infix: the right operand already lies above the left
};

// Fetches one argument of `kind` into a new cell; answers a status, or
// UINT32_MAX when the code ended (nothing pushed).
uint32_t fetch_one(call_site& site, uint32_t kind) {
  int32_t tail = tail_of(site.node);
  if (site.index >= tail) return UINT32_MAX;
  if (kind == ARG_WORD) {
    // A value that evaluates to itself, with no word after it that could be
    // an operator, is what eval_expression would push: push it directly.
    const cell* c = cell_at(site.node, site.index);
    if (inert_q(type_of(c)) && (site.infix || site.index + 1 >= tail || type_of(c + 1) != TYPE_WORD) && !KEZ_TRACING) {
      stack::push(c);
      ++site.index;
      return 0;
    }
    series_buffer* b = memory::buffer_of(site.node);
    return site.infix ? decoded_operand(site.node, site.index, b) : decoded_argument(site.node, site.index, b);
  }
  cell v = *cell_at(site.node, site.index);
  uint32_t t = type_of(&v);
  if (kind == ARG_LIT && (t == TYPE_GET_WORD || t == TYPE_PAREN || t == TYPE_GET_PATH))
    return eval_expression(site.node, site.index, true, true, true);
  if (KEZ_TRACING) fire_fetch(site.node, site.index, &v);
  ++site.index;
  stack::push(&v);
  return 0;
}

// Fetches the argument at list entry `e` into the cell at `slot` (a frame
// cell, or the next free one).
uint32_t fetch_into(call_site& site, const cell* e, cell* slot) {
  uint32_t kind = (e->header >> KIND_SHIFT) & 3;
  uint32_t s = fetch_one(site, kind);
  if (s == UINT32_MAX) {
    if (kind == ARG_LIT && typeset::has_q(e, TYPE_UNSET)) {
      cell unset{TYPE_UNSET, 0, 0, 0};
      if (slot == stack::top) stack::push(&unset); else *slot = unset;
      return 0;
    }
    no_arg(site.name, e->w3);
  }
  if (s) return s;
  cell* value = stack::top - 1;
  if (!typeset::has_q(e, type_of(value))) expect_arg(site.name, value, e->w3);
  if (slot != value) {
    *slot = *value;
    stack::pop(1);
  }
  return 0;
}

// The shape of an argument list, kept in the list's cell (word 3, unused by
// a block): bit 31 set once known; bit 29 when the entries before the first
// refinement are word arguments, then return types (which take no cell),
// with the count of word arguments in bits 24-28 (then at most 31); bit 30
// when besides that there is no refinement or local, the plain call; for the
// entries after the fixed arguments, refinements in bits 0-7 and argument
// cells in bits 8-23.
constexpr uint32_t LAYOUT_KNOWN = 0x80000000;
constexpr uint32_t LAYOUT_PLAIN = 0x40000000;
constexpr uint32_t LAYOUT_WORDS = 0x20000000;
constexpr uint32_t LAYOUT_FIXED_SHIFT = 24;
[[gnu::noinline]] uint32_t make_layout(const cell* fn, series_buffer* lb) {
  const cell* e = lb->head_cell();
  const cell* e_end = lb->tail_cell();
  auto kind_is = [](const cell* c, uint32_t kind) {
    return type_of(c) == TYPE_TYPESET && ((c->header >> KIND_SHIFT) & 3) == kind;
  };
  uint32_t fixed = 0;
  for (; e < e_end && kind_is(e, ARG_WORD); ++e) ++fixed;
  const cell* rest = e;
  while (rest < e_end && kind_is(rest, ARG_RETURN)) ++rest;
  bool words = fixed < 32 && (rest == e_end || type_of(rest) == TYPE_REFINEMENT || type_of(rest) == TYPE_INTEGER);
  bool plain = words && rest == e_end;
  uint32_t count = 0, cells = 0;
  for (; e < e_end; ++e) {
    if (type_of(e) == TYPE_REFINEMENT) ++count;
    else if (type_of(e) == TYPE_TYPESET && ((e->header >> KIND_SHIFT) & 3) != ARG_RETURN) ++cells;
  }
  assert(count <= 64 && cells <= 0xFFFF);
  uint32_t layout = LAYOUT_KNOWN | (plain ? LAYOUT_PLAIN : 0) | cells << 8 | count;
  if (words) layout |= LAYOUT_WORDS | fixed << LAYOUT_FIXED_SHIFT;
  memory::buffer_of(fn->w3)->head_cell()[1].w3 = layout;
  return layout;
}
inline uint32_t list_layout(const cell* fn, series_buffer* lb) {
  uint32_t layout = memory::buffer_of(fn->w3)->head_cell()[1].w3;
  return layout & LAYOUT_KNOWN ? layout : make_layout(fn, lb);
}

// Pushes n none cells: the arguments of refinements not used.
inline void push_nones(uint32_t n) {
  if (stack::end - stack::top <= ptrdiff_t(n)) stack::overflow();
  for (uint32_t k = 0; k < n; ++k) stack::top[k] = cell{TYPE_NONE, 0, 0, 0};
  stack::top += n;
}

// The refinement slots of a native called without refinements: every slot
// none, every refinement off, from the counts of its layout.
uint32_t native_layout(const cell* fn, series_buffer* lb, int32_t* refinements, uint32_t& refinement_count) {
  uint32_t layout = list_layout(fn, lb);
  refinement_count = layout & 0xFF;
  // The common few refinements in fixed-width stores (the array holds 64).
  if (refinement_count <= 8) {
    for (uint32_t k = 0; k < 8; ++k) refinements[k] = -1;
  } else {
    for (uint32_t k = 0; k < refinement_count; ++k) refinements[k] = -1;
  }
  push_nones((layout >> 8) & 0xFFFF);
  return 0;
}

uint32_t eval_refinements(call_site& site, const cell* fn, bool native, int32_t first_refinement,
                          int32_t* refinements, uint32_t& refinement_count);

// The argument list of a call, read again through fn (rooted) after anything
// that moved a buffer or a node: each move bumps the memory epoch.
struct list_reader {
  const cell* fn;
  series_buffer* lb;
  uint32_t seen = memory::epoch;
  explicit list_reader(const cell* f) : fn(f), lb(memory::buffer_of(argument_list(f))) {}
  series_buffer* operator()() {
    if (seen != memory::epoch) {
      seen = memory::epoch;
      lb = list_buffer(fn);
    }
    return lb;
  }
};

// Fetches every argument of the call whose frame is marked (its first cell
// already holds the left operand when infix) and, for natives and actions,
// fills the refinement integers. Answers a status. One copy for each kind of
// call, so that the plain ones test nothing of the infix case.
template <bool native, bool infix>
uint32_t eval_arguments(call_site& site, const cell* fn, int32_t* refinements, uint32_t& refinement_count) {
  list_reader list(fn);
  series_buffer*& lb = list.lb;
  int32_t n = int32_t(lb->used() / sizeof(cell));
  int32_t i = 0;
  // Infix: the left operand, and the right one when already fetched.
  int32_t given = infix ? (site.right_fetched ? 2 : 1) : 0;
  refinement_count = 0;
  // A path that names no refinement (obj/method) lays out as a plain call.
  bool named = site.path && site.path_index < tail_of(site.path->w2);
  uint32_t layout = infix || named ? 0 : list_layout(fn, lb);
  if (layout & LAYOUT_PLAIN) {
    // The plain call: word arguments only, each a sub-expression. The code
    // ending before an argument leaves it to the general loop (no-arg).
    int32_t fixed = int32_t((layout >> LAYOUT_FIXED_SHIFT) & 0x1F);
    for (; i < fixed; ++i) {
      series_buffer* code = memory::buffer_of(site.node);
      const cell* c = code->head_cell() + site.index;
      const cell* end = code->tail_cell();
      if (c >= end) break;
      cell* start = stack::top;
      if (uint32_t s = push_expression(site.node, site.index, c, code, false)) return s;
      const cell* e = list()->head_cell() + i;
      if (!typeset::has_q(e, type_of(start))) expect_arg(site.name, start, e->w3);
    }
    if (i == fixed) return 0;
  }
  // Fixed arguments.
  for (; i < n; ++i) {
    const cell* e = lb->head_cell() + i;
    uint32_t kind = (e->header >> KIND_SHIFT) & 3;
    if (type_of(e) != TYPE_TYPESET) break;
    if (kind == ARG_RETURN) continue;
    if (i < given) {
      if (!typeset::has_q(e, type_of(stack::arguments + i))) expect_arg(site.name, stack::arguments + i, e->w3);
      continue;
    }
    if (kind == ARG_WORD) {
      // A literal or a word's plain value is pushed as eval_expression
      // would, then the operator lookahead runs.
      series_buffer* code = memory::buffer_of(site.node);
      const cell* c = code->head_cell() + site.index;
      const cell* end = code->tail_cell();
      if (c < end) {
        cell* start = stack::top;
        if (uint32_t s = push_expression(site.node, site.index, c, code, infix)) return s;
        assert(stack::top == start + 1);
        e = list()->head_cell() + i;  // the evaluation may have moved it
        if (!typeset::has_q(e, type_of(start))) expect_arg(site.name, start, e->w3);
        continue;
      }
    }
    cell entry = *e;
    if (uint32_t s = fetch_into(site, &entry, stack::top)) return s;
    list();
  }
  if (i == n && !named) return 0;
  if (native && !named) return native_layout(fn, lb, refinements, refinement_count);
  return eval_refinements(site, fn, native, i, refinements, refinement_count);
}

// Pushes the slots of the list entries from e on, none of them used: a
// function's refinement a false logic, each refinement argument (a local
// too) none; a native's refinement takes no cell. on_refinement is given
// each refinement's slot.
template <class F>
inline void lay_out_unused(const cell* e, const cell* e_end, bool native, F on_refinement) {
  for (; e < e_end; ++e) {
    uint32_t t = type_of(e);
    if (t == TYPE_REFINEMENT) {
      on_refinement(int32_t(stack::top - stack::arguments));
      if (!native) *stack::push_cell() = cell{TYPE_LOGIC, 0, 0, 0};
    } else if (t == TYPE_TYPESET) {
      if (((e->header >> KIND_SHIFT) & 3) != ARG_RETURN) *stack::push_cell() = cell{TYPE_NONE, 0, 0, 0};
    } else if (t == TYPE_INTEGER && !native) {
      *stack::push_cell() = cell{TYPE_LOGIC, 0, 0, 0};
      for (uint32_t k = 0; k < e->w2; ++k) *stack::push_cell() = cell{TYPE_NONE, 0, 0, 0};
    }
  }
}

// Refinements, for a path call or a function with refinements or locals:
// every slot laid out in spec order first, then the ones the path names
// fetched in the path's order. Apart from eval_arguments so that the plain
// call keeps a small frame.
[[gnu::noinline]] uint32_t eval_refinements(call_site& site, const cell* fn, bool native, int32_t first_refinement,
                                            int32_t* refinements, uint32_t& refinement_count) {
  list_reader list(fn);
  series_buffer*& lb = list.lb;
  int32_t n = int32_t(lb->used() / sizeof(cell));
  int32_t i = first_refinement;
  // The layout allocates nothing: the list is read through one address. A
  // push that overflows raises before the cell is written.
  int32_t slot_of[64];
  list();
  lay_out_unused(lb->head_cell() + i, lb->head_cell() + n, native, [&](int32_t slot) {
    if (refinement_count < 64) slot_of[refinement_count] = slot;
    refinements[refinement_count++] = -1;
  });
  if (site.path) {
    int32_t path_tail = tail_of(site.path->w2);
    for (int32_t p = site.path_index; p < path_tail; ++p) {
      cell element = *cell_at(site.path->w2, p);
      bool active = true;
      if (type_of(&element) == TYPE_GET_WORD) {
        active = true_q(context::get(&element));
      } else if (type_of(&element) != TYPE_WORD) {
        error::fire(err::cat_script, err::script::bad_refine, &element);
      }
      uint32_t canon = symbol::resolve(element.w2);
      int32_t found = -1;
      uint32_t ordinal = 0;
      for (int32_t j = first_refinement; j < n; ++j) {
        const cell* e = list()->head_cell() + j;
        if (type_of(e) != TYPE_REFINEMENT) continue;
        if (symbol::resolve(e->w2) == canon) {
          found = j;
          break;
        }
        ++ordinal;
      }
      if (found < 0) {
        cell fn_name = *site.name, ref = name_word(element.w2);
        set_cell_type(&ref, TYPE_REFINEMENT);
        error::fire(err::cat_script, err::script::no_refine, &fn_name, &ref);
      }
      if (refinements[ordinal] != -1 || (!native && stack::arguments[slot_of[ordinal]].w1)) {
        error::fire(err::cat_script, err::script::dup_refine, site.path);
      }
      if (!active) continue;
      int32_t slot = slot_of[ordinal];
      if (native) {
        refinements[ordinal] = slot;
      } else {
        stack::arguments[slot] = cell{TYPE_LOGIC, 1, 0, 0};
        ++slot;
        refinements[ordinal] = slot;
      }
      for (int32_t j = found + 1; j < n; ++j) {
        cell e = list()->head_cell()[j];
        if (type_of(&e) != TYPE_TYPESET || ((e.header >> KIND_SHIFT) & 3) == ARG_RETURN) break;
        if (uint32_t s = fetch_into(site, &e, stack::arguments + slot)) return s;
        ++slot;
      }
    }
  }
  return 0;
}

}  // namespace

// The type a routine's spec block names first after `word` (a word's value),
// or null when the block is missing or `any-type!`.
namespace {

// The first word of the type block that follows spec cell i, resolved: a
// datatype!, a typeset!, or null for any-type!. Raises invalid-type-spec when
// it is not a word.
const cell* routine_type(uint32_t spec_node, int32_t i, const cell** word_out) {
  int32_t n = tail_of(spec_node);
  *word_out = nullptr;
  if (i + 1 >= n || type_of(cell_at(spec_node, i + 1)) != TYPE_BLOCK) return nullptr;
  const cell* types = cell_at(spec_node, i + 1);
  if (tail_of(types->w2) <= int32_t(types->w1)) return nullptr;
  const cell* first = cell_at(types->w2, int32_t(types->w1));
  if (type_of(first) != TYPE_WORD) error::fire(err::cat_script, err::script::invalid_type_spec, first);
  *word_out = first;
  if (symbol::resolve(first->w2) == symbol::resolve(words::symbols[words::sym::any_type])) return nullptr;
  return context::get(first);
}

}  // namespace

void exec_routine(const cell* fn, const cell* name) {
  uint32_t entry = memory::buffer_of(fn->w3)->head_cell()[2].w2;
  natives::routine_entry code = natives::routines[entry];
  uint32_t spec_node = fn->w2;
  uint64_t params[32];
  int32_t count = 0;
  if (fn->header & FLAG_ROUTINE) {
    for (uint32_t i = 0, n = routine::get_arity(fn); i < n && i < 32; ++i)
      params[count++] = reinterpret_cast<uintptr_t>(stack::arguments + i);
    const cell* made = reinterpret_cast<const cell*>(code(params));
    if (made) stack::arguments[0] = *made;
    return;
  }
  // The argument words in spec order, then checked and converted from the
  // last to the first.
  int32_t at[32];
  const cell* returned = nullptr;
  bool has_return = false;
  for (int32_t i = 0, n = tail_of(spec_node); i < n && count < 32; ++i) {
    uint32_t t = type_of(cell_at(spec_node, i));
    if (t == TYPE_WORD) at[count++] = i;
    else if (t == TYPE_REFINEMENT) break;
    else if (t == TYPE_SET_WORD) {
      const cell* w;
      returned = routine_type(spec_node, i, &w);
      has_return = w != nullptr;
    }
  }
  for (int32_t k = count - 1; k >= 0; --k) {
    const cell* word;
    const cell* type = routine_type(spec_node, at[k], &word);
    cell* value = stack::arguments + k;
    uint32_t vt = type_of(value);
    if (word && type) {
      bool ok = type_of(type) == TYPE_TYPESET ? typeset::has_q(type, vt)
                : type_of(type) == TYPE_DATATYPE ? type->w1 == vt
                                                 : false;
      if (!ok) expect_arg(name, value, cell_at(spec_node, at[k])->w2);
    }
    if (vt == TYPE_LOGIC) params[k] = interpreter::true_q(value) ? 1 : 0;
    else if (vt == TYPE_INTEGER) params[k] = uint64_t(int64_t(int32_t(value->w2)));
    else if (vt == TYPE_FLOAT) std::memcpy(&params[k], &value->w2, sizeof(double));
    else params[k] = reinterpret_cast<uintptr_t>(value);
  }
  uint64_t answer = code(params);
  if (!has_return || !returned || type_of(returned) != TYPE_DATATYPE) return;
  switch (returned->w1) {
    case TYPE_LOGIC: stack::arguments[0] = cell{TYPE_LOGIC, answer ? 1u : 0u, 0, 0}; break;
    case TYPE_INTEGER: stack::arguments[0] = cell{TYPE_INTEGER, 0, uint32_t(answer), 0}; break;
    case TYPE_FLOAT: {
      cell f{TYPE_FLOAT, 0, 0, 0};
      std::memcpy(&f.w2, &answer, sizeof(double));
      stack::arguments[0] = f;
      break;
    }
    default: break;
  }
}

namespace {

bool anonymous_name(const cell* name) {
  return type_of(name) != TYPE_WORD || symbol::resolve(name->w2) == symbol::resolve(words::word[words::w::anon]->w2);
}

// open (the name, or the callable itself when anonymous), call and return
// (ref: the path or word naming the call, none when anonymous). The operands
// of an operator lie above top until its frame takes them: kept clear here.
[[gnu::noinline]] void fire_call_event(uint32_t event, call_site& site, const cell* fn, const cell* value, bool infix) {
  cell* saved_top = stack::top;
  if (infix && event == trace::OPEN) stack::top += site.right_fetched ? 2 : 1;
  const cell* ref = site.path ? site.path : anonymous_name(site.name) ? nullptr : site.name;
  if (event == trace::OPEN) {
    trace::fire_at(event, site.node, site.index, ref ? site.name : fn, nullptr);
  } else {
    trace::fire_at(event, site.node, site.index, value ? value : fn, ref);
  }
  stack::top = saved_top;
}

uint32_t traced_call(const cell* fn, uint32_t context);
inline uint32_t run_body(const cell* fn, uint32_t context);
inline uint32_t run_block_body(const cell* fn, cell* values_cell);

// call_function, inline in the interpreter's own calls.
inline uint32_t call_body(const cell* fn, uint32_t context) {
  if (__builtin_expect(trace::session, 0)) return traced_call(fn, context);
  return run_body(fn, context);
}

// The frame of an interpreted function call, which saves the values field
// of the function's context.
inline void mark_function(const cell* name, uint32_t context) {
  stack::mark(name, stack::FRAME_INTERPRETED | stack::FRAME_FUNCTION << 24);
  stack::frame* f = stack::current_frame();
  f->function_context = context;
  f->saved_values = context::cell_of(context)->w2;
}

// The refinement slots of a call without refinements, as many as a list
// can hold: every one off.
constexpr auto NO_REFINEMENTS = [] {
  std::array<int32_t, 64> off{};
  off.fill(-1);
  return off;
}();

// An action answers no status: an exit raised by code it runs (make runs an
// object's spec) comes back here as one, ending where the same exit from
// the calling code would.
inline uint32_t run_action(uint32_t entry, const int32_t* refinements) {
  try {
    actions::entries[entry - 1](refinements);
  } catch (const thrown& t) {
    return caught_exit(t);
  }
  return 0;
}

// The branch that if, unless or either with their arguments in the frame
// runs: null for none.
inline const cell* chosen_branch(uint32_t entry) {
  cell* args = stack::arguments;
  if (entry == natives::INDEX_EITHER) return truth_checked(args) ? args + 1 : args + 2;
  return true_q(args) == (entry == natives::INDEX_IF) ? args + 1 : nullptr;
}

// Statuses that never leave a block evaluation: the expression it is at, its
// last, ended by handing it a block to go on with (at tail_code, read before
// anything allocates), as if that block's evaluation were nested in it. A
// branch leaves its native's frame to be closed when the block ends, a call
// its function's frame, its body flag set and its context's values in place.
constexpr uint32_t TAIL_PAREN = 0x7FFFFFF0;
constexpr uint32_t TAIL_BRANCH = 0x7FFFFFF1;
constexpr uint32_t TAIL_CALL = 0x7FFFFFF2;
constexpr bool tail_status(uint32_t s) { return s - TAIL_PAREN <= TAIL_CALL - TAIL_PAREN; }
const cell* tail_code;

// if, unless and either run in place of their natives: the branch is
// evaluated as they evaluate it.
inline uint32_t run_branch(const cell* chosen) {
  cell* args = stack::arguments;
  if (!chosen) {
    *args = cell{TYPE_NONE, 0, 0, 0};
    stack::top = args + 1;
    return 0;
  }
  assert(type_of(chosen) == TYPE_BLOCK);  // their branches take block! only
  try {
    return eval(chosen, true);
  } catch (const thrown& t) {
    return caught_exit(t);
  }
}

// A native, action or function called by its word (or by a path that names
// no refinement), whose fixed arguments are all plain word arguments, outside
// a do/trace run; its refinements, if any, are none used (a function's
// locals are none too). The data stack and the frame
// are laid out as the general route lays them out (the callable's cell below
// the frame: stack positions show in trace events and frame records).
// Answers UINT32_MAX when the call does not fit (nothing done).
// `facts`, when the call is by a word or a path naming no refinement in
// decoded code, is its entry: the layout it holds is taken when the callable
// is the one it names.
inline uint32_t lean_call(const cell* fn, call_site& site, bool sub, decoded_entry* facts, bool tail) {
  if (__builtin_expect(trace::session, 0)) return UINT32_MAX;
  uint32_t t = type_of(fn);
  uint32_t layout;
  if (facts && facts->fn_extras == fn->w3 && facts->fn_w1 == fn->w1 && facts->fn_type == t) {
    layout = facts->fn_layout;
  } else {
    // A path naming refinements takes the general route; obj/method does not.
    if (site.path && site.path_index < tail_of(site.path->w2)) return UINT32_MAX;
    if (t != TYPE_NATIVE && t != TYPE_ACTION && t != TYPE_FUNCTION) return UINT32_MAX;
    const cell* list = memory::buffer_of(fn->w3)->head_cell() + 1;
    if (type_of(list) != TYPE_BLOCK) return UINT32_MAX;
    layout = list->w3;
    // The plain layout, or word arguments followed by refinements left unused.
    if (!(layout & LAYOUT_KNOWN) || !(layout & (LAYOUT_PLAIN | LAYOUT_WORDS))) return UINT32_MAX;
    if (facts) {
      facts->fn_w1 = fn->w1;
      facts->fn_extras = fn->w3;
      facts->fn_layout = layout;
      facts->fn_type = uint8_t(t);
    }
  }
  int32_t n = int32_t((layout >> LAYOUT_FIXED_SHIFT) & 0x1F);
  bool branches = t == TYPE_NATIVE && fn->w1 <= natives::INDEX_EITHER && n >= 2;
  stack::push(fn);
  if (t == TYPE_FUNCTION) {
    mark_function(site.name, fn->w1);
  } else {
    stack::mark_interp_native(site.name);
  }
  // The list and the code are read through their buffers, again only after
  // something moved a buffer (each move bumps the epoch). While the
  // arguments are fetched the callable is read from its copy below the
  // frame: fewer values live across the evaluations.
  series_buffer* lb = list_buffer(fn);
  series_buffer* code = memory::buffer_of(site.node);
  int32_t index = site.index;
  auto check_arg = [&](int32_t i, cell* value) {
    const cell* e = lb->head_cell() + i;
    if (!typeset::has_q(e, type_of(value))) {
      site.index = index;
      expect_arg(site.name, value, e->w3);
    }
  };
  // if, unless and either: after the condition, literal blocks (the last
  // one followed by no word that could be an operator) are pushed at once,
  // as the loop would push them one by one.
  static_assert(natives::INDEX_IF == 1 && natives::INDEX_EITHER == 3);
  for (int32_t i = 0; i < n; ++i) {
    const cell* c = code->head_cell() + index;
    const cell* end = code->tail_cell();
    if (i == 1 && branches) {
      const cell* last = c + (n - 2);
      if (last < end && type_of(c) == TYPE_BLOCK && type_of(last) == TYPE_BLOCK &&
          (last + 1 >= end || type_of(last + 1) != TYPE_WORD)) {
        stack::push(c);
        if (last != c) stack::push(last);
        index += n - 1;
        break;
      }
    }
    if (c >= end) {
      site.index = index;
      no_arg(site.name, lb->head_cell()[i].w3);
    }
    cell* start = stack::top;
    // Tracing is off outside a session: a plain value is pushed directly,
    // and evaluated further only when an operator may follow it.
    uint32_t seen = memory::epoch;
    uint32_t s;
    if (const cell* v = plain_value(c)) {
      stack::push(v);
      ++index;
      if (c + 1 >= end || type_of(c + 1) != TYPE_WORD) {
        check_arg(i, start);
        continue;
      }
      site.index = index;
      s = infix_loop(site.node, site.index, start, code);
    } else {
      site.index = index;
      s = decoded_argument(site.node, site.index, code);
    }
    if (s) return s;
    index = site.index;
    if (seen != memory::epoch) [[unlikely]] {
      lb = list_buffer(stack::arguments - 1);
      code = memory::buffer_of(site.node);
    }
    check_arg(i, start);
  }
  site.index = index;
  // The frame is this call's again: its callable lies just below it.
  cell* placeholder = stack::arguments - 1;
  uint32_t entry = placeholder->w1;
  t = type_of(placeholder);
  layout = memory::buffer_of(placeholder->w3)->head_cell()[1].w3;
  if (!(layout & LAYOUT_PLAIN)) {
    // Called without its refinements: every refinement off, every
    // refinement argument and local none.
    if (t == TYPE_FUNCTION) {
      lb = list_buffer(placeholder);
      lay_out_unused(lb->head_cell() + n, lb->tail_cell(), false, [](int32_t) {});
    } else {
      push_nones((layout >> 8) & 0xFFFF);
    }
  }
  if (t == TYPE_FUNCTION) {
    // Outside a do/trace run (tested above), the body runs as call_body
    // would run it; the frame is popped right after, so its body flag is
    // left as it is.
    stack::frame* f = stack::current_frame();
    cell* values_cell = context::cell_of(f->function_context);
    if (tail && site.index >= tail_of(site.node)) {
      const cell* body = memory::buffer_of(placeholder->w3)->head_cell();
      if (type_of(body) == TYPE_BLOCK) {
        values_cell->w2 = arena::offset_of(stack::arguments);
        f->header |= stack::FRAME_BODY;
        tail_code = body;
        return TAIL_CALL;
      }
    }
    if (uint32_t s = run_block_body(placeholder, values_cell)) return s;
    values_cell = context::cell_of(f->function_context);  // the body may have moved it
    values_cell->w2 = f->saved_values;
    stack::unwind();
  } else {
    if (t == TYPE_NATIVE) {
      uint32_t s;
      if (entry <= natives::INDEX_EITHER) {
        const cell* chosen = chosen_branch(entry);
        if (tail && chosen && site.index >= tail_of(site.node)) {
          tail_code = chosen;
          return TAIL_BRANCH;
        }
        s = run_branch(chosen);
      } else {
        s = natives::table[entry - 1](0, NO_REFINEMENTS.data());
      }
      if (s) return s;
    } else if (uint32_t s = run_action(entry, NO_REFINEMENTS.data())) {
      return s;
    }
    stack::unwind();
  }
  *placeholder = *(stack::top - 1);
  stack::top = placeholder + 1;
  if (!sub) stack::set_last_keep(placeholder);
  return 0;
}

// Calls a native, action or function value whose name is `name`; the value
// is read before anything allocates (infix: a copy rooted by the caller).
// One copy for operators and one for the rest, so that neither tests the
// other's case.
template <bool infix>
uint32_t eval_code_as(const cell* fn, call_site& site, bool sub, decoded_entry* facts = nullptr) {
  check_depth();
  if (!infix) {
    uint32_t s = lean_call(fn, site, sub, facts, false);
    if (s != UINT32_MAX) return s;
  }
  cell* placeholder = nullptr;
  // Outside infix the placeholder, a stack root, is the callable from here on.
  if (!infix) fn = placeholder = stack::push(fn);
  if (KEZ_TRACING) fire_call_event(trace::OPEN, site, fn, nullptr, infix);
  uint32_t t = type_of(fn);
  if (t == TYPE_OP) t = (fn->header >> 16) & 0xFF;
  int32_t refinements[64];
  uint32_t refinement_count = 0;
  uint32_t status;
  if (t == TYPE_NATIVE || t == TYPE_ACTION) {
    // Infix: the left operand lies at top and becomes the frame's first cell.
    stack::mark_interp_native(site.name);
    if (infix) stack::top = stack::arguments + (site.right_fetched ? 2 : 1);
    status = infix ? eval_arguments<true, true>(site, fn, refinements, refinement_count)
                   : eval_arguments<true, false>(site, fn, refinements, refinement_count);
    if (status) return status;
    if (KEZ_TRACING) fire_call_event(trace::CALL, site, fn, nullptr, infix);
    if (t == TYPE_NATIVE) {
      status = natives::table[fn->w1 - 1](0, refinements);
      if (status) return status;
    } else if (uint32_t s = run_action(fn->w1, refinements)) {
      return s;
    }
    stack::unwind();
  } else if (t == TYPE_FUNCTION) {
    mark_function(site.name, fn->w1);
    if (infix) stack::top = stack::arguments + (site.right_fetched ? 2 : 1);
    status = infix ? eval_arguments<false, true>(site, fn, refinements, refinement_count)
                   : eval_arguments<false, false>(site, fn, refinements, refinement_count);
    if (status) return status;
    if (KEZ_TRACING) fire_call_event(trace::CALL, site, fn, nullptr, infix);
    // The context node is read again: evaluating the arguments may have moved it.
    status = call_body(placeholder ? placeholder : fn, fn->w1);
    if (status) return status;
    stack::unwind_ctx();
  } else if (t == TYPE_ROUTINE) {
    stack::mark_interp_native(site.name);
    if (infix) stack::top = stack::arguments + (site.right_fetched ? 2 : 1);
    status = infix ? eval_arguments<false, true>(site, fn, refinements, refinement_count)
                   : eval_arguments<false, false>(site, fn, refinements, refinement_count);
    if (status) return status;
    if (KEZ_TRACING) fire_call_event(trace::CALL, site, fn, nullptr, infix);
    exec_routine(fn, site.name);
    stack::unwind();
  } else {
    error::fire(err::cat_internal, err::internal::not_done);
  }
  if (KEZ_TRACING) fire_call_event(trace::RETURN, site, fn, stack::top - 1, infix);
  if (!infix) {
    *placeholder = *(stack::top - 1);
    stack::top = placeholder + 1;
    if (!sub) stack::set_last_keep(placeholder);
  }
  return 0;
}

inline uint32_t eval_code(const cell* fn, call_site& site, bool sub, bool infix) {
  return infix ? eval_code_as<true>(fn, site, sub) : eval_code_as<false>(fn, site, sub);
}

// The value of path element `element` of the path, evaluated as needed,
// pushed.
uint32_t path_element(cell* element) {
  uint32_t t = type_of(element);
  if (t == TYPE_GET_WORD) {
    *element = *context::get(element);
  } else if (t == TYPE_PAREN) {
    if (uint32_t s = eval(element, false)) return s;
    *element = *(stack::top - 1);
    stack::pop(1);
  }
  return 0;
}

// Types whose value lives wholly in the cell, so that a set-path changes a
// copy of the cell, never shared data.
bool held_in_cell(uint32_t type) {
  switch (type) {
    case TYPE_PAIR: case TYPE_TUPLE: case TYPE_TIME: case TYPE_DATE: case TYPE_MONEY:
    case TYPE_POINT2D: case TYPE_POINT3D: case TYPE_EVENT:
      return true;
    default:
      return false;
  }
}

// After a set-path: trail[0] is the head word's value, then each element
// and the value it gave, alternately; trail[last] is the parent that the
// last element was set in. While that parent is a scalar (changed in its
// stack copy), it is set again into its own parent through that parent's
// path handler (which fires on-change for an object and the ownership check
// for a series), up to the head word, which takes the changed value.
void store_back(cell* head, const cell* path, cell* trail, int32_t last) {
  for (int32_t k = last; k >= 0 && held_in_cell(type_of(trail + k)); k -= 2) {
    if (k == 0) {
      context::set(head, trail);
      return;
    }
    cell* holder = trail + k - 2;
    auto handler = reinterpret_cast<actions::eval_path_fn>(actions::table[type_of(holder)][ACT_EVAL_PATH - 1]);
    handler(holder, trail + k - 1, trail + k, path, nullptr, nullptr, k / 2, false, false, false, true);
  }
}

// Evaluates a path or get-path at the position (value pushed or made the
// result); with set_value, a set-path whose value is that cell.
uint32_t eval_path(uint32_t& node, int32_t& index, bool sub, const cell* set_value, decoded_entry* facts) {
  cell path = *cell_at(node, index);
  ++index;
  collector::root_cells keep_path(&path);
  int32_t head = int32_t(path.w1), tail = tail_of(path.w2);
  if (head >= tail) error::fire(err::cat_script, err::script::empty_path);
  cell first = *cell_at(path.w2, head);
  if (type_of(&first) != TYPE_WORD) error::fire(err::cat_script, err::script::word_first, &path);
  // The name of a call the path makes: an element evaluated before it may
  // move the word's context.
  collector::root_cells keep_first(&first);
  cell* base = stack::top;
  cell* parent = stack::push(word_value(&first));
  if (callable_q(type_of(parent))) {
    if (set_value) error::fire(err::cat_script, err::script::invalid_path_set, &path);
    if (type_of(&path) == TYPE_GET_PATH) error::fire(err::cat_script, err::script::invalid_path_get, &path);
    cell fn = *parent;
    stack::top = base;
    collector::root_cells keep_fn(&fn);
    call_site site{node, index, &first, &path, head + 1};
    return eval_code_as<false>(&fn, site, sub, head + 1 < tail ? nullptr : facts);
  }
  if (type_of(parent) == TYPE_UNSET) error::fire(err::cat_script, err::script::unset_path, &path, &first);
  for (int32_t i = head + 1; i < tail; ++i) {
    cell* element = stack::push(cell_at(path.w2, i));
    // An element evaluated may have changed any block, and its decoded
    // entries with it: the entry held is not read after that.
    if (type_of(element) == TYPE_PAREN) facts = nullptr;
    if (uint32_t s = path_element(element)) return s;
    if (type_of(element) == TYPE_UNSET) error::fire(err::cat_script, err::script::invalid_path, &path, element);
    bool last = i + 1 == tail;
    cell* p = stack::top - 2;
    // A method or field read of an object (obj/method): what its handler
    // answers for a set value, without the handler's frame. Anything else,
    // a missing or unset field included, goes through the handler.
    if (type_of(p) == TYPE_OBJECT && type_of(element) == TYPE_WORD && !set_value) {
      // The field's binding is kept in the path's own word when the element
      // is one, as the handler keeps it.
      cell* word = cell_at(path.w2, i);
      if (const cell* field = object::field_value(p->w1, type_of(word) == TYPE_WORD ? word : element)) {
        cell value = *field;
        if (callable_q(type_of(&value)) && (!last || type_of(&path) != TYPE_GET_PATH)) {
          stack::top = base;
          collector::root_cells keep_fn(&value);
          call_site site{node, index, &first, &path, i + 1};
          return eval_code_as<false>(&value, site, sub, last ? facts : nullptr);
        }
        stack::top = base;
        stack::push(&value);
        continue;
      }
    }
    auto handler = actions::table[type_of(p)][ACT_EVAL_PATH - 1];
    if (!handler) {
      cell kind;
      datatype::make_at(&kind, type_of(p));
      error::fire(err::cat_script, err::script::bad_path_type, &path, &kind, element);
    }
    // A scalar's handler answers a read in its parent cell; a set-path needs
    // that parent intact to store the changed value back.
    cell scalar = *p;
    facts = nullptr;  // a handler may run code (an accessor, a hook)
    cell* result = reinterpret_cast<actions::eval_path_fn>(handler)(
        p, element, last ? set_value : nullptr, &path, nullptr, nullptr, i - head, false, !(last && set_value), false, true);
    cell value = *result;
    if (set_value && !last && held_in_cell(type_of(&scalar))) *p = scalar;
    // A set-path keeps each parent and element on the stack: a scalar changed
    // in place is only a copy, which store_back puts where it came from.
    if (!set_value) stack::top = base;
    stack::push(&value);
    // A function reached by a path is called (the rest of the path being its
    // refinements); only a get-path answers a final function itself.
    if (callable_q(type_of(&value)) && !set_value && (!last || type_of(&path) != TYPE_GET_PATH)) {
      cell fn = value;
      stack::top = base;
      collector::root_cells keep_fn(&fn);
      call_site site{node, index, &first, &path, i + 1};
      return eval_code_as<false>(&fn, site, sub, last ? facts : nullptr);
    }
  }
  if (set_value) {
    store_back(&first, &path, base, (tail - head - 2) * 2);
    stack::top = base;
    stack::push(set_value);
  }
  if (!sub) {
    cell value = *(stack::top - 1);
    stack::top = base;
    stack::set_last_keep(&value);
  }
  return 0;
}

}  // namespace

cell position() {
  for (const eval_record* r = records; r; r = r->prev)
    if (r->reports) return r->code;
  return cell{TYPE_UNSET, 0, 0, 0};
}

void forget_positions() {
  records = nullptr;
  tail_count = 0;
}

int32_t compare_call(const cell* function, const cell* a, const cell* b, int32_t size);

void init() {
  static bool marker_added = false;
  if (!marker_added) {
    collector::add_marker(mark_position);
    // A collection may free nodes and give them to new series.
    collector::add_purger(forget_decoded);
    marker_added = true;
  }
  records = nullptr;
  depth_limit = UINTPTR_MAX;
  drop_decoded();
  // block! hands /all records over as blocks already: each side is one value.
  block::set_compare_call([](const cell* function, const cell* a, const cell* b) {
    return compare_call(function, a, b, 1);
  });
  string::set_compare_call(compare_call);
}

bool truth_checked(const cell* v) {
  if (type_of(v) == TYPE_UNSET) error::fire(err::cat_script, err::script::no_value, v);
  return true_q(v);
}

namespace {

// The expressions of the record's block from its index, in the frame eval
// marked; the last value is left in arguments[0].
[[gnu::always_inline]] inline uint32_t eval_loop(eval_record& r, series_buffer* b) {
  uint32_t& node = r.code.w2;
  int32_t index = int32_t(r.code.w1);
  if (b->head_cell() + index >= b->tail_cell()) {
    stack::arguments->header = TYPE_UNSET;
    stack::top = stack::arguments + 1;
    return 0;
  }
  r.reports = !(b->flags & SERIES_LIBRARY);
  for (;;) {
    r.code.w1 = uint32_t(index);
    // The value goes to arguments[0], where the frame starts (reset below).
    uint32_t s = KEZ_TRACING ? expression(node, index, b->head_cell()[index], false, false, false)
                             : decoded_argument(node, index, b);
    if (s) return s;
    if (KEZ_TRACING) trace::fire_at(trace::EXPR, node, index, stack::arguments, nullptr);
    b = memory::buffer_of(node);
    if (b->head_cell() + index >= b->tail_cell()) return 0;
    stack::reset();
  }
}

// eval during a do/trace session: enter and exit reported, library code
// kept out of the report.
[[gnu::noinline]] uint32_t eval_traced(const cell* block, bool chain) {
  record_scope scope{block};
  uint32_t& node = scope.r.code.w2;
  uint32_t type = type_of(&scope.r.code);
  stack::mark_eval(words::word[words::w::body]);
  series_buffer* b = memory::buffer_of(node);
  trace::block_scope traced((b->flags & SERIES_LIBRARY) != 0);
  if (KEZ_TRACING) {
    fire_code(trace::ENTER, type, node, int32_t(scope.r.code.w1), nullptr);
    b = memory::buffer_of(node);
  }
  if (uint32_t s = eval_loop(scope.r, b)) return s;
  if (trace::active) fire_code(trace::EXIT, type, node, tail_of(node), stack::arguments);
  if (chain) {
    stack::unwind_last();
  } else {
    stack::unwind();
  }
  return 0;
}

}  // namespace

std::atomic<bool> halt_requested{false};

namespace {

// The throw `halt` makes, from a frame of its own. Nothing to throw to (no
// console around the code) drops the request.
[[gnu::noinline, gnu::cold]] uint32_t halt_now() {
  halt_requested.store(false, std::memory_order_relaxed);
  if (!stack::throw_caught_q()) return 0;
  stack::mark(nullptr, stack::FRAME_NATIVE << 24);
  word::push_from_symbol(symbol::make("halt-request"));
  word::push_from_symbol(symbol::make("console"));
  return stack::throw_throw(THROWN_THROW);
}

// eval with its <body> frame marked: at the bottom of the call stack, whose
// first record collect-calls never lists.
[[gnu::noinline]] uint32_t eval_marked(const cell* block, bool chain) {
  record_scope scope{block};
  stack::mark_eval(words::word[words::w::body]);
  if (uint32_t s = eval_loop(scope.r, memory::buffer_of(scope.r.code.w2))) return s;
  if (chain) {
    stack::unwind_last();
  } else {
    stack::unwind();
  }
  return 0;
}

// The room of one call-stack record, held by a block evaluation that marks
// no frame of its own (a mark that would not fit raises stack-overflow, as
// the frame's would); the stack module counts it in an error's depth.
struct frame_room {
  frame_room() {
    if (stack::ctop >= stack::ctop_end) stack::call_overflow();
    --stack::ctop_end;
  }
  ~frame_room() { ++stack::ctop_end; }
  frame_room(const frame_room&) = delete;
  frame_room& operator=(const frame_room&) = delete;
};

}  // namespace

namespace {

uint32_t set_word_expression(uint32_t& node, int32_t& index, cell v, bool sub);

// One expression of a block evaluation or a call's argument (its value
// pushed), read through the block's decoded form: a literal, a word's plain
// value, a paren and a call by a word go their own ways here, anything else
// (and everything while tracing, or in a block too long to decode) through
// expression. b is the block's buffer as it is now. tail: the expression
// may end its block with a tail status.
template <bool no_infix>
[[gnu::always_inline]] inline uint32_t decoded_expression(uint32_t& node, int32_t& index, series_buffer* b,
                                                          bool tail = false) {
  const cell* c = b->head_cell() + index;
  decoded_entry* es = decoded_of(node, int32_t(b->tail_cell() - b->head_cell()));
  if (!es || KEZ_TRACING) [[unlikely]] return expression(node, index, *c, true, no_infix, false);
  decoded_entry* e = entry_for(es + index, c);
  cell* start = stack::top;
  switch (e->kind) {
    case KIND_INERT:
      stack::push(c);
      ++index;
      // Nothing ran: the next cell is read where it was.
      return no_infix ? 0 : look_ahead(node, index, c, b, start);
    case KIND_WORD: {
      const cell* v = c->w1 && int32_t(c->w3) >= 0 ? context::bound_value(c) : nullptr;
      if (!v) return expression(node, index, *c, true, no_infix, false);
      uint32_t t = type_of(v);
      if (callable_q(t)) {
        // The name is a rooted copy of the word, as expression makes it.
        cell name = *c;
        collector::root_cells keep(&name);
        ++index;
        call_site site{node, index, &name, nullptr, 0};
        check_depth();
        uint32_t s = lean_call(v, site, true, e, tail);
        if (s == UINT32_MAX) s = eval_code_as<false>(v, site, true, e);  // the general route
        if (s) return s;
        break;
      }
      // unset! and op! raise there.
      if (t == TYPE_UNSET || t == TYPE_OP) return expression(node, index, *c, true, no_infix, false);
      stack::push(v);
      ++index;
      return no_infix ? 0 : look_ahead(node, index, c, b, start);
    }
    case KIND_SET_WORD:
      if (uint32_t s = set_word_expression(node, index, *c, true)) return s;
      break;
    case KIND_PAREN: {
      if (tail && c + 1 >= b->tail_cell()) {
        tail_code = c;
        ++index;
        return TAIL_PAREN;
      }
      cell paren = *c;
      ++index;
      if (uint32_t s = eval(&paren, false)) return s;
      break;
    }
    default:
      // Paths are told apart here rather than by a case of their own, which
      // made the switch slower for the common cases above.
      if (e->kind != KIND_PATH) return expression(node, index, *c, true, no_infix, false);
      if (uint32_t s = eval_path(node, index, true, nullptr, e)) return s;
      break;
  }
  return no_infix ? 0 : infix_loop(node, index, start);
}

// The same for an argument, out of line.
[[gnu::noinline]] uint32_t decoded_argument(uint32_t& node, int32_t& index, series_buffer* b) {
  return decoded_expression<false>(node, index, b);
}

// An operator's right operand: no lookahead after it.
[[gnu::noinline]] uint32_t decoded_operand(uint32_t& node, int32_t& index, series_buffer* b) {
  return decoded_expression<true>(node, index, b);
}

}  // namespace

namespace {

// Closes the frame a branch or a call handed on by a tail status ran in, its
// value in the frame's first cell: answers the callable's placeholder, where
// the value is left, as lean_call leaves it (lean_call keeps its own copy of
// these lines: calling this from there cost `fib` 0.5% more instructions).
inline cell* close_frame(bool call) {
  if (call) {
    stack::frame* f = stack::current_frame();
    context::cell_of(f->function_context)->w2 = f->saved_values;
  }
  cell* placeholder = stack::arguments - 1;
  stack::unwind();
  *placeholder = *(stack::top - 1);
  stack::top = placeholder + 1;
  return placeholder;
}

// The blocks a block evaluation went on with from its last expression, as
// nested evaluations (each holding its call-stack room). The code each came
// from, with the index after that expression, waits in tail_saved: it goes
// on if the expression made it longer. Each level's kind is its tail status.
struct tail_levels {
  uint32_t n = 0;
  ~tail_levels() {
    if (n) drop(n);
  }
  void drop(uint32_t levels) {
    n -= levels;
    stack::ctop_end += levels;
    tail_count -= levels;
  }
  // The code `from` is at `index`, after the expression.
  void enter(uint32_t kind, const cell& from, int32_t index) {
    if (stack::ctop >= stack::ctop_end) stack::call_overflow();
    --stack::ctop_end;
    tail_kind[tail_count] = uint8_t(kind - TAIL_PAREN);
    tail_saved[tail_count++] = cell{from.header, uint32_t(index), from.w2, from.w3};
    ++n;
  }
  // Closes the innermost, its value at base, into `to` (the code it came
  // from): answers where its value is left, as its evaluation would leave it.
  cell* close(cell* base, cell* to) {
    --n;
    ++stack::ctop_end;
    *to = tail_saved[--tail_count];
    uint32_t kind = tail_kind[tail_count] + TAIL_PAREN;
    if (kind == TAIL_PAREN) return base;  // its value is already in place
    *stack::arguments = *base;
    return close_frame(kind == TAIL_CALL);
  }
  // A return or exit ended the innermost call's body, the stacks cut back to
  // its frame (the result in its first cell): drops the levels above it.
  // False when no level is a call.
  bool to_call() {
    uint32_t above = 0;
    for (; above < n; ++above)
      if (tail_kind[tail_count - 1 - above] + TAIL_PAREN == TAIL_CALL) {
        drop(above);
        return true;
      }
    return false;
  }
};

// A tail status met with every level in use, or handing library code to code
// that reports positions: the block it hands on is run by a nested
// evaluation, as the paren, branch or call would run it.
[[gnu::noinline]] uint32_t run_nested(uint32_t s) {
  if (s == TAIL_PAREN) {
    cell code = *tail_code;
    return eval(&code, false);
  }
  uint32_t status = s == TAIL_BRANCH ? run_branch(tail_code)
                                     : run_block_body(stack::arguments - 1,
                                                      context::cell_of(stack::current_frame()->function_context));
  if (status) return status;
  close_frame(s == TAIL_CALL);
  return 0;
}

// The rest of run_record<true> once an expression ended its block with a
// tail status s at index: the block handed on is run in the same loop.
[[gnu::always_inline]] inline uint32_t go_on(eval_record& r, bool chain, uint32_t s, int32_t index) {
  uint32_t& node = r.code.w2;
  tail_levels levels;
  series_buffer* b;
  cell* base;
  for (;;) {
    bool run;
    if (halt_requested.load(std::memory_order_relaxed)) [[unlikely]]
      if (uint32_t h = halt_now()) return h;
    // Library code called from code that reports positions runs nested:
    // the caller's record keeps reporting where it is.
    if (tail_count < TAIL_SAVED_MAX &&
        !(r.reports && (memory::buffer_of(tail_code->w2)->flags & SERIES_LIBRARY))) [[likely]] {
      levels.enter(s, r.code, index);
      s = 0;
      copy_fresh(&r.code, tail_code);
      index = int32_t(r.code.w1);
      b = memory::buffer_of(node);
      base = stack::top;
      run = b->head_cell() + index < b->tail_cell();
      if (!run) *stack::push_cell() = cell{TYPE_UNSET, 0, 0, 0};
    } else {
      base = s == TAIL_PAREN ? stack::top : stack::arguments - 1;
      s = run_nested(s);
      b = memory::buffer_of(node);
      run = !s && b->head_cell() + index < b->tail_cell();  // it grew
      if (run) stack::top = base;
    }
    for (;;) {
      if (run) {
        r.reports = !(b->flags & SERIES_LIBRARY);
        for (;;) {
          r.code.w1 = uint32_t(index);
          s = decoded_expression<false>(node, index, b, true);
          if (s) break;
          b = memory::buffer_of(node);
          if (b->head_cell() + index >= b->tail_cell()) break;
          stack::top = base;
        }
        if (tail_status(s)) break;
      }
      if (s) {
        if ((s != THROWN_RETURN && s != THROWN_EXIT) || !levels.to_call()) return s;
        // The call's frame is the current one, its result in place.
        stack::top = stack::arguments + 1;
        base = stack::arguments;
        s = 0;
      }
      // The block ended, and with it each one it was entered from, unless
      // that one grew meanwhile.
      do {
        if (!levels.n) {
          if (chain) *stack::arguments = *base;
          return 0;
        }
        base = levels.close(base, &r.code);
        index = int32_t(r.code.w1);
        b = memory::buffer_of(node);
      } while (b->head_cell() + index >= b->tail_cell());
      stack::top = base;
      run = true;
    }
  }
}

// The expressions of the record's block from its index, the last value left
// as one cell (chain: copied into the caller's result slot too). The
// caller holds the record and its call-stack room. With tails, a branch, a
// paren or a function's body called by the expression that ends the block
// is run by this loop rather than by a nested one, the record going on with
// its block: nested calls then nest the machine stack less deep. (A loop's turns do without: the tests cost a
// plain body more than they save.)
template <bool tails>
[[gnu::always_inline]] inline uint32_t run_record(eval_record& r, bool chain) {
  uint32_t& node = r.code.w2;
  int32_t index = int32_t(r.code.w1);
  series_buffer* b = memory::buffer_of(node);
  cell* base = stack::top;
  if (b->head_cell() + index >= b->tail_cell()) {
    *stack::push_cell() = cell{TYPE_UNSET, 0, 0, 0};
  } else {
    r.reports = !(b->flags & SERIES_LIBRARY);
    for (;;) {
      r.code.w1 = uint32_t(index);
      if (uint32_t s = decoded_expression<false>(node, index, b, tails)) {
        if (tails && tail_status(s)) return go_on(r, chain, s, index);
        return s;
      }
      b = memory::buffer_of(node);
      if (b->head_cell() + index >= b->tail_cell()) break;
      stack::top = base;
    }
  }
  if (chain) *stack::arguments = *base;
  return 0;
}

}  // namespace

uint32_t caught_exit(const thrown& t) {
  if (t.code >= THROWN_ERROR || t.code < THROWN_THROW) throw;
  runtime::ctx.thrown = 0;
  return t.code;
}

// A block's <body> frame is anonymous: no lookup of the calling word, no
// exit and no error stops at it, and the data stack ends as it would with
// it (the expressions run from the cell the frame would start at, the last
// value left there). So outside a do/trace run, which reports frames, it is
// not marked; only its room on the call stack is held.
uint32_t eval(const cell* block, bool chain) {
  if (halt_requested.load(std::memory_order_relaxed)) [[unlikely]]
    if (uint32_t s = halt_now()) return s;
  if (__builtin_expect(trace::session, 0)) return eval_traced(block, chain);
  if (stack::ctop == stack::ctop_bottom) [[unlikely]] return eval_marked(block, chain);
  frame_room room;
  record_scope scope{block};
  return run_record<true>(scope.r, chain);
}

repeated_block::repeated_block(const cell* block) : block_(block) { link_record(r_, block); }

repeated_block::~repeated_block() { records = r_.prev; }

uint32_t repeated_block::run(bool chain) {
  // Whatever way the run ends, the record reports nothing until the next.
  struct quiet {
    eval_record& r;
    ~quiet() { r.reports = false; }
  } quiet{r_};
  try {
    if (halt_requested.load(std::memory_order_relaxed)) [[unlikely]]
      if (uint32_t s = halt_now()) return s;
    // A traced run reports its block; the bottom frame marks one.
    if (__builtin_expect(trace::session, 0) || stack::ctop == stack::ctop_bottom) [[unlikely]]
      return eval(block_, chain);
    frame_room room;
    r_.code.w1 = block_->w1;
    return run_record<false>(r_, chain);
  } catch (const thrown& t) {
    return caught_exit(t);
  }
}

namespace {

// An operator call from the lookahead: `value` is the operator word's
// value, `next` the word, the left operand lies at `start`.
[[gnu::noinline]] uint32_t infix_call(uint32_t& node, int32_t& index, cell* start, const cell* value,
                                      const cell* next, fast_op kind, int32_t compare_op) {
  cell pair[2] = {*value, *next};  // the operator and its name
  collector::root_cells keep(pair, 2);
  if (KEZ_TRACING) trace::fire_at(trace::FETCH, node, index, &pair[1], nullptr);
  ++index;
  call_site site{node, index, &pair[1], nullptr, 0, true};
  // The left operand is checked before the right one is fetched, as the
  // general route checks it (every fast operator takes a number).
  uint32_t lt = type_of(start);
  if (kind && index < tail_of(node) &&
      (lt == TYPE_INTEGER || lt == TYPE_FLOAT ||
       typeset::has_q(memory::buffer_of(argument_list(&pair[0]))->head_cell(), lt))) {
    // Any other right operand of a fast operator is evaluated first, so
    // that two numbers it gives still take the fast route. It is evaluated
    // in the operator's frame, so that an error there names the operator.
    stack::top = start;
    stack::mark_interp_native(&pair[1]);
    stack::top = start + 1;
    const cell* right = cell_at(node, index);
    if (type_of(right) == TYPE_PAREN && !KEZ_TRACING) {
      // What eval_expression does with a paren, without its dispatch.
      cell paren = *right;
      ++index;
      if (uint32_t s = eval(&paren, false)) return s;
    } else if (uint32_t s = decoded_operand(node, index, memory::buffer_of(node))) {
      return s;
    }
    bool done = fast_operator(kind, compare_op, start, start + 1);
    stack::unwind();  // the right operand stays above the left one
    if (done) return 0;
    site.right_fetched = true;
  }
  stack::top = start;  // the left operand is the first cell above top
  if (uint32_t s = eval_code(&pair[0], site, true, true)) return s;
  // The operator's frame started at `start`; its result is there.
  stack::top = start + 1;
  return 0;
}

// Infix lookahead after a value that lies at `start` (the first cell above
// the expression's base): operators chain left to right, without precedence.
// b, when given, is the code's buffer as it is now: an operator computed in
// place moves nothing, so it stays good until an operator is called.
[[gnu::always_inline]] inline uint32_t infix_loop(uint32_t& node, int32_t& index, cell* start, series_buffer* b) {
  for (;;) {
    if (!b) b = memory::buffer_of(node);
    cell* next = b->head_cell() + index;
    if (next >= b->tail_cell() || type_of(next) != TYPE_WORD || !next->w1 || int32_t(next->w3) < 0) return 0;
    cell* value = context::bound_value(next);
    if (!value || type_of(value) != TYPE_OP) return 0;
    int32_t compare_op = 0;
    fast_op kind = KEZ_TRACING ? FAST_NONE : fast_kind(value, compare_op);
    if (kind) {
      // A right operand that needs no evaluation: a literal, or a word
      // holding a number.
      cell* right = next + 1;
      if (right < b->tail_cell()) {
        if (type_of(right) == TYPE_WORD && right->w1 && int32_t(right->w3) >= 0) right = context::bound_value(right);
        // Only a number can take the fast route: a paren or a call is left
        // to infix_call without a wasted try.
        if (right && (type_of(right) == TYPE_INTEGER || type_of(right) == TYPE_FLOAT) &&
            fast_operator(kind, compare_op, start, right)) {
          index += 2;
          stack::top = start + 1;
          continue;
        }
      }
    }
    if (uint32_t s = infix_call(node, index, start, value, next, kind, compare_op)) return s;
    b = nullptr;
  }
}

}  // namespace

uint32_t eval_next(uint32_t& node, int32_t& index) {
  stack::mark_eval(words::word[words::w::body]);
  // Outside do/trace the value is pushed where the frame's result goes.
  uint32_t s = KEZ_TRACING ? eval_expression(node, index, false, false, false)
                           : decoded_argument(node, index, memory::buffer_of(node));
  if (s) return s;
  stack::unwind();
  return 0;
}

uint32_t eval_expression(uint32_t& node, int32_t& index, bool sub, bool no_infix, bool passive) {
  uint32_t s = expression(node, index, *cell_at(node, index), sub, no_infix, passive);
  if (!sub && !s && KEZ_TRACING) trace::fire_at(trace::EXPR, node, index, stack::arguments, nullptr);
  return s;
}

namespace {

// A set-word and the expression after it: apart from expression_rare, so
// that the commonest of its cases keeps a small frame.
[[gnu::noinline]] uint32_t set_word_expression(uint32_t& node, int32_t& index, cell v, bool sub) {
  ++index;
  series_buffer* b = memory::buffer_of(node);
  const cell* c = b->head_cell() + index;
  if (c >= b->tail_cell()) error::fire(err::cat_script, err::script::need_value, &v);
  collector::root_cells keep(&v);
  if (KEZ_TRACING) {
    trace::fire_at(trace::PUSH, node, index, &v, nullptr);
    b = memory::buffer_of(node);
    c = b->head_cell() + index;
  }
  if (uint32_t s = push_expression(node, index, c, b, false)) return s;
  cell* value = stack::top - 1;
  if (type_of(value) == TYPE_UNSET) error::fire(err::cat_script, err::script::need_value, &v);
  if (KEZ_TRACING) trace::fire_at(trace::SET, node, index, value, &v);
  // A slot with nothing more to do (no object, no hook) is written here.
  if (cell* slot = context::plain_slot(&v)) {
    copy_fresh(slot, value);
  } else {
    context::set(&v, value);
  }
  if (!sub) stack::set_last_keep(value);
  return 0;
}

// The cases of expression other than a word, a set-word, a paren and a value that
// evaluates to itself: apart, so that the common ones keep a small frame.
[[gnu::noinline]] uint32_t expression_rare(uint32_t& node, int32_t& index, cell v, bool sub, bool passive,
                                           cell* start) {
  switch (type_of(&v)) {
    case TYPE_SET_PATH: {
      cell path = v;
      int32_t at = index++;
      if (index >= tail_of(node)) error::fire(err::cat_script, err::script::need_value, &path);
      collector::root_cells keep(&path);
      if (KEZ_TRACING) trace::fire_at(trace::PUSH, node, index, &path, nullptr);
      if (uint32_t s = decoded_argument(node, index, memory::buffer_of(node))) return s;
      cell* value = stack::top - 1;
      if (type_of(value) == TYPE_UNSET) error::fire(err::cat_script, err::script::need_value, &path);
      if (KEZ_TRACING) trace::fire_at(trace::SET, node, index, value, &path);
      int32_t after = index;
      index = at;
      if (uint32_t s = eval_path(node, index, sub, value, nullptr)) return s;
      index = after;
      if (sub) {
        *start = *(stack::top - 1);
        stack::top = start + 1;
      }
      break;
    }
    case TYPE_GET_WORD:
      ++index;
      deliver(word_value(&v), sub);
      if (KEZ_TRACING) fire_pushed(node, index, sub);
      break;
    case TYPE_LIT_WORD:
      ++index;
      set_cell_type(&v, TYPE_WORD);
      deliver(&v, sub);
      if (KEZ_TRACING) fire_pushed(node, index, sub);
      break;
    case TYPE_PATH: case TYPE_GET_PATH:
      if (uint32_t s = eval_path(node, index, sub, nullptr, nullptr)) return s;
      break;
    case TYPE_LIT_PATH:
      ++index;
      set_cell_type(&v, TYPE_PATH);
      deliver(&v, sub);
      if (KEZ_TRACING) fire_pushed(node, index, sub);
      break;
    case TYPE_OP:
      error::fire(err::cat_internal, err::internal::not_done);
    case TYPE_NATIVE: case TYPE_ACTION: case TYPE_FUNCTION: case TYPE_ROUTINE: {
      ++index;
      if (passive) {
        deliver(&v, sub);
        break;
      }
      cell pair[2] = {v, *words::word[words::w::anon]};
      collector::root_cells keep(pair, 2);
      call_site site{node, index, &pair[1], nullptr, 0};
      if (uint32_t s = eval_code(&pair[0], site, sub, false)) return s;
      break;
    }
    case TYPE_ISSUE: {
      ++index;
      uint32_t canon = symbol::resolve(v.w2);
      if ((canon == symbol::resolve(words::symbols[words::sym::system]) ||
           canon == symbol::resolve(words::symbols[words::sym::system_global])) &&
          index < tail_of(node) && type_of(cell_at(node, index)) == TYPE_BLOCK)
        error::fire(err::cat_internal, err::internal::kez_system);
      deliver(&v, sub);
      if (KEZ_TRACING) fire_pushed(node, index, sub);
      break;
    }
    default:
      ++index;
      deliver(&v, sub);
      if (KEZ_TRACING) fire_pushed(node, index, sub);
      break;
  }
  return 0;
}

// eval_expression with the value at the position already read (a copy).
uint32_t expression(uint32_t& node, int32_t& index, cell v, bool sub, bool no_infix, bool passive) {
  cell* start = sub ? stack::top : stack::arguments;
  if (KEZ_TRACING) fire_fetch(node, index, &v);
  uint32_t vt = type_of(&v);
  // The word, the commonest case, is tested first: a branch predicts better
  // than a switch's indirect jump.
  if (vt == TYPE_WORD) {
    ++index;
    cell* value = word_value(&v);
    uint32_t t = type_of(value);
    if (callable_q(t)) {
      // eval_code copies the callable onto the stack before anything may
      // move it; the name is this rooted copy of the word.
      collector::root_cells keep(&v);
      call_site site{node, index, &v, nullptr, 0};
      if (uint32_t s = eval_code(value, site, sub, false)) return s;
    } else {
      if (t == TYPE_UNSET) error::fire(err::cat_script, err::script::no_value, &v);
      if (t == TYPE_OP) error::fire(err::cat_script, err::script::no_op_arg, &v);
      deliver(value, sub);
      if (KEZ_TRACING) fire_pushed(node, index, sub);
    }
  } else if (vt == TYPE_PAREN) {
    ++index;
    if (uint32_t s = eval(&v, false)) return s;
    if (!sub) stack::set_last_keep(stack::top - 1);
  } else if (inert_q(vt)) {
    ++index;
    deliver(&v, sub);
    if (KEZ_TRACING) fire_pushed(node, index, sub);
  } else if (vt == TYPE_SET_WORD) {
    if (uint32_t s = set_word_expression(node, index, v, sub)) return s;
  } else if (uint32_t s = expression_rare(node, index, v, sub, passive, start)) {
    return s;
  }
  if (no_infix) return 0;
  return infix_loop(node, index, start);
}

}  // namespace

namespace {

// The body of a function called in the top frame, whose context cell is
// values_cell: the context's values are the frame's cells while it runs.
// The frame's body flag is set for return and exit; the exits they raise end
// here, their value already in the frame's result slot.
inline uint32_t run_block_body(const cell* fn, cell* values_cell) {
  values_cell->w2 = arena::offset_of(stack::arguments);
  stack::current_frame()->header |= stack::FRAME_BODY;
  // eval copies the body cell before anything may move its buffer.
  const cell* body = memory::buffer_of(fn->w3)->head_cell();
  uint32_t status = 0;
  if (type_of(body) == TYPE_BLOCK) [[likely]] {
    status = eval(body, true);
  } else {
    stack::arguments->header = TYPE_NONE;
    stack::top = stack::arguments + 1;
  }
  if (status == THROWN_RETURN || status == THROWN_EXIT) [[unlikely]] {
    stack::top = stack::arguments + 1;
    status = 0;
  }
  return status;
}

inline uint32_t run_body(const cell* fn, uint32_t context) {
  if (uint32_t status = run_block_body(fn, context::cell_of(context))) return status;
  stack::set_body_flag(false);
  return 0;
}

// A call during a do/trace run: the function's `trace`/`no-trace`
// attribute switches reporting for the call; prolog and epilog frame the
// body unless it is library code.
[[gnu::noinline]] uint32_t traced_call(const cell* fn, uint32_t context) {
  cell f = *fn;
  collector::root_cells keep(&f);
  uint32_t flags = f.header & (FLAG_FUNCTION_1 | FLAG_FUNCTION_2);
  bool saved_wanted = trace::wanted;
  struct restore {
    bool on, wanted;
    ~restore() {
      if (!on) return;
      trace::wanted = wanted;
      trace::refresh();
    }
  } restore{flags != 0, saved_wanted};
  if (flags) {
    trace::wanted = !(flags & FLAG_FUNCTION_1);
    trace::refresh();
  }
  cell body = memory::buffer_of(f.w3)->head_cell()[0];
  collector::root_cells keep_body(&body);
  bool report = trace::active && type_of(&body) == TYPE_BLOCK && !(memory::buffer_of(body.w2)->flags & SERIES_LIBRARY);
  cell name{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_name(&name);
  if (report) {
    stack::frame_word(stack::current_frame(), &name);
    trace::fire(trace::PROLOG, &body, &f, &name);
  }
  uint32_t status = run_body(&f, report ? f.w1 : context);
  if (report && !status && trace::active) trace::fire(trace::EPILOG, &body, stack::arguments, &name);
  return status;
}

// A function that native code calls (a comparator, a change hook, a
// callback) has no call site to report it: `call` and `return` come from
// here, named by the word of the frame its caller marked.
[[gnu::noinline]] uint32_t reported_call(const cell* fn, uint32_t context) {
  cell f = *fn, name{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&f), keep_name(&name);
  stack::frame_word(stack::current_frame(), &name);
  trace::fire(trace::CALL, nullptr, &f, &name);
  uint32_t status = call_body(&f, context);
  if (!status && KEZ_TRACING) trace::fire(trace::RETURN, nullptr, stack::top - 1, &name);
  return status;
}

}  // namespace

uint32_t call_function(const cell* fn, uint32_t context) {
  if (KEZ_TRACING) return reported_call(fn, context);
  return call_body(fn, context);
}

cell* call_function_with(const cell* fn, const cell* args, uint32_t count, const cell* name) {
  cell f = *fn;
  collector::root_cells keep(&f);
  cell* placeholder = stack::push(&f);
  stack::mark(name ? name : words::word[words::w::anon], stack::FRAME_FUNCTION << 24);
  stack::frame* frame = stack::current_frame();
  frame->function_context = f.w1;
  frame->saved_values = context::cell_of(f.w1)->w2;
  for (uint32_t i = 0; i < count; ++i) stack::push(args + i);
  uint32_t list = argument_list(&f);
  int32_t n = tail_of(list);
  uint32_t given = 0;
  for (int32_t i = 0; i < n; ++i) {
    cell* e = cell_at(list, i);
    if (type_of(e) == TYPE_TYPESET) {
      if (((e->header >> KIND_SHIFT) & 3) == ARG_RETURN) continue;
      if (++given > count) none::push();
    } else if (type_of(e) == TYPE_REFINEMENT) {
      cell off{TYPE_LOGIC, 0, 0, 0};
      stack::push(&off);
    } else if (type_of(e) == TYPE_INTEGER) {
      cell off{TYPE_LOGIC, 0, 0, 0}, none{TYPE_NONE, 0, 0, 0};
      stack::push(&off);
      for (uint32_t k = 0; k < e->w2; ++k) stack::push(&none);
    }
  }
  uint32_t status = call_function(&f, f.w1);
  raise_status(status);
  stack::unwind_ctx();
  *placeholder = *(stack::top - 1);
  stack::top = placeholder + 1;
  return placeholder;
}

bool call_guarded(const cell* fn, const cell* args, uint32_t count, const cell* name, cell* result) {
  cell* saved_top = stack::top;
  cell* saved_args = stack::arguments;
  stack::frame* mark = stack::ctop;
  // An anonymous try/all frame: errors unroll to it, and throw, break and
  // the rest find no target past it, so nothing below is touched.
  stack::mark(nullptr, stack::FRAME_TRY_ALL << 24);
  bool returned = true;
  try {
    *result = *call_function_with(fn, args, count, name);
  } catch (const thrown&) {
    runtime::ctx.thrown = 0;
    stack::clear_throw_frame();
    returned = false;
  }
  stack::cut_back(mark, saved_args);
  stack::top = saved_top;
  return returned;
}

// The /compare function of sort: asked whether a sorts before b (records
// of `size` cells go as blocks), its answer mapped to an order.
int32_t compare_call(const cell* function, const cell* a, const cell* b, int32_t size) {
  cell* base = stack::top;
  cell* args = base;
  // The values are copied out first: the series they lie in may move.
  for (int32_t i = 0; i < size; ++i) stack::push(a + i);
  for (int32_t i = 0; i < size; ++i) stack::push(b + i);
  if (size > 1) {
    args = stack::top;
    for (int32_t k = 0; k < 2; ++k) {
      cell* record = stack::push_cell();
      block::make_at(record, size);
      for (int32_t i = 0; i < size; ++i) block::ks_append(record, base + k * size + i);
    }
  }
  cell* result = call_function_with(function, args, 2, words::word[words::w::compare_callback]);
  int32_t order;
  switch (type_of(result)) {
    case TYPE_LOGIC: order = result->w1 ? 1 : -1; break;
    case TYPE_INTEGER: order = int32_t(result->w2); break;
    case TYPE_FLOAT: {
      double d = load_double(&result->w2);
      order = d > 0.0 ? 1 : d < 0.0 ? -1 : 0;
      break;
    }
    case TYPE_NONE: order = -1; break;
    default: order = 1; break;
  }
  stack::top = base;
  return order;
}

void check_nesting() {
  // Far more than one level of handlers takes, and enough for the
  // handlers below to report the error.
  constexpr ptrdiff_t ROOM_CELLS = 2000, ROOM_FRAMES = 600;
  check_depth();
  if (stack::end - stack::top < ROOM_CELLS || stack::ctop_end - stack::ctop < ROOM_FRAMES) stack::call_overflow();
}

void raise_status(uint32_t status) {
  if (status) runtime::throw_(status);
}

}  // namespace kez::interpreter
