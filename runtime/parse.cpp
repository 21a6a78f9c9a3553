// The parse engine and its rule vocabulary. See parse.h for the invariants.
//
// Rule-stack entries are three cells each. A block entry (pushed when a
// sub-rule block is entered): none; triple (rule position in the enclosing
// block, input index on entry, input length on entry); the enclosing rule
// block. A command entry (pushed when a keyword or a count takes an operand):
// the word operand of copy/set/collect or a triple (minimum, maximum or -1,
// iteration count); triple (operand position, input index when the current
// attempt started, input length then); pair (command code, flag). The last
// cell tells them apart: pair for a command, block for a block.
#include "runtime/parse.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char_scan.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_text.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/triple.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/word.h"
#include "runtime/error_ids.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/natives.h"
#include "runtime/stack.h"
#include "runtime/words.h"

namespace kez::parser {
namespace {

using string::char_set;
using string::char_set_of;
using string::scan_text;

// The shared stacks (and the open collects), kept outside the heap and
// marked as roots; each run owns the region above where it found them.
std::vector<cell> rule_stack, value_stack, collect_stack;

void mark_stacks() {
  for (auto* v : {&rule_stack, &value_stack, &collect_stack})
    if (!v->empty()) collector::mark_values(v->data(), v->data() + v->size());
}

enum command : int32_t {
  CMD_REPEAT = -1, CMD_TO = -2, CMD_THRU = -3, CMD_COPY = -4, CMD_SET = -5, CMD_NOT = -6,
  CMD_INTO = -7, CMD_REMOVE = -9, CMD_WHILE = -11, CMD_COLLECT = -12, CMD_KEEP = -13,
  CMD_AHEAD = -16, CMD_CHANGE = -17, CMD_CHANGE_ONLY = -18, CMD_CASE = -19,
};

enum keyword : int32_t {
  KW_NONE_ = 0, KW_BAR, KW_SKIP, KW_ANY, KW_SOME, KW_OPT, KW_WHILE, KW_COPY, KW_SET, KW_TO,
  KW_THRU, KW_REMOVE, KW_BREAK, KW_REJECT, KW_FAIL, KW_NONE, KW_END, KW_KEEP, KW_PICK,
  KW_AHEAD, KW_INTO, KW_INSERT, KW_CHANGE, KW_ONLY, KW_IF, KW_NOT, KW_QUOTE, KW_COLLECT,
  KW_AFTER, KW_CASE, KW_COUNT
};

// Canonical symbol of each keyword, indexed by keyword.
uint32_t keyword_symbols[KW_COUNT];
// The keyword of a word's own symbol id, as last found: a rule's words are
// looked up at every step of the match.
struct keyword_memo {
  uint32_t symbol;
  int32_t keyword;
};
keyword_memo keyword_memos[64];
// Event words for the trace callback.
enum event { EV_PUSH, EV_POP, EV_FETCH, EV_MATCH, EV_ITERATE, EV_PAREN, EV_END, EV_COUNT };
uint32_t event_symbols[EV_COUNT];
}  // namespace

void init() {
  namespace sym = words::sym;
  const uint32_t* s = words::symbols;
  uint32_t table[KW_COUNT] = {
      0, s[sym::bar], s[sym::skip], s[sym::any], s[sym::some], s[sym::opt], s[sym::while_],
      s[sym::copy], s[sym::set], s[sym::to], s[sym::thru], s[sym::remove], s[sym::break_],
      s[sym::reject], s[sym::fail], s[sym::none], s[sym::end], s[sym::keep], s[sym::pick],
      s[sym::ahead], s[sym::into], s[sym::insert], symbol::make("change"), s[sym::only],
      s[sym::if_], s[sym::not_], s[sym::quote], s[sym::collect], s[sym::after], s[sym::case_]};
  for (int i = 0; i < KW_COUNT; ++i) keyword_symbols[i] = i ? symbol::resolve(table[i]) : 0;
  for (keyword_memo& m : keyword_memos) m = keyword_memo{UINT32_MAX, KW_NONE_};
  const char* names[EV_COUNT] = {"push", "pop", "fetch", "match", "iterate", "paren", "end"};
  for (int i = 0; i < EV_COUNT; ++i) event_symbols[i] = symbol::make(names[i]);
  static bool marker_added = false;
  if (!marker_added) collector::add_marker(mark_stacks);
  marker_added = true;
  rule_stack.clear();
  value_stack.clear();
  collect_stack.clear();
}

namespace {

int32_t keyword_of(const cell* c) {
  if (type_of(c) != TYPE_WORD) return KW_NONE_;
  keyword_memo& m = keyword_memos[c->w2 & 63];
  if (m.symbol == c->w2) return m.keyword;
  uint32_t id = symbol::resolve(c->w2);
  int32_t keyword = KW_NONE_;
  for (int32_t k = 1; k < KW_COUNT; ++k)
    if (keyword_symbols[k] == id) {
      keyword = k;
      break;
    }
  m = keyword_memo{c->w2, keyword};
  return keyword;
}

enum family { FAM_BLOCK, FAM_TEXT, FAM_BINARY };
inline family family_of(uint32_t t) {
  if (series::block_family_q(t)) return FAM_BLOCK;
  if (series::string_family_q(t)) return FAM_TEXT;
  return FAM_BINARY;
}

[[noreturn]] void fail_with(int id, const cell* arg = nullptr) { error::fire(err::cat_script, id, arg); }

cell int_cell(int32_t n) { return cell{TYPE_INTEGER, 0, uint32_t(n), 0}; }
cell logic_cell(bool b) { return cell{TYPE_LOGIC, b ? 1u : 0u, 0, 0}; }
const cell none_value{TYPE_NONE, 0, 0, 0};

// Bytes of a text value's UTF-8 form, from its head.
int32_t utf8_length(const cell* s) {
  int32_t n = 0;
  for (int32_t i = int32_t(s->w1), e = series::ks_abs_length_q(s); i < e; ++i) {
    int32_t cp = string::ks_abs_at(s, i);
    n += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  }
  return n;
}

inline bool literal_q(uint32_t t) {
  constexpr uint64_t rule_types =
      uint64_t(1) << TYPE_BLOCK | uint64_t(1) << TYPE_WORD | uint64_t(1) << TYPE_SET_WORD |
      uint64_t(1) << TYPE_GET_WORD | uint64_t(1) << TYPE_INTEGER | uint64_t(1) << TYPE_PAREN |
      uint64_t(1) << TYPE_DATATYPE | uint64_t(1) << TYPE_TYPESET | uint64_t(1) << TYPE_PATH |
      uint64_t(1) << TYPE_SET_PATH | uint64_t(1) << TYPE_GET_PATH;
  return t >= 64 || !(rule_types >> t & 1);
}

// The engine's states. Pushing a command entry and dispatching a keyword
// are calls (push_rule, start_word) answering the next state.
enum state {
  S_PUSH_BLOCK, S_POP_BLOCK, S_POP_RULE, S_CHECK_PENDING, S_NEXT_INPUT, S_NEXT_RULE,
  S_MATCH_VALUE, S_MATCH_RULE, S_FIND_ALTERNATIVE, S_END
};

// Thrown out of the state loop when the trace callback answers false.
struct stopped {};

class engine {
 public:
  engine(const cell* input, const cell* rules, int32_t mode, int32_t limit, const cell* callback,
         cell* result)
      : mode_(mode), limit_(limit), callback_(callback), result_(result) {
    in() = *input;
    rb() = *rules;
    sub() = *rules;
    collected() = none_value;
    val() = none_value;
  }

  uint32_t run();
  bool match() const { return match_; }

 private:
  // Rooted cells: the input at its current position, the current rule
  // block, the block about to be entered, the top-level collect's block and
  // the value being matched.
  cell roots_[5] = {};
  collector::root_cells guard_{roots_, 5};
  cell& in() { return roots_[0]; }
  cell& rb() { return roots_[1]; }
  cell& sub() { return roots_[2]; }
  cell& collected() { return roots_[3]; }
  cell& val() { return roots_[4]; }

  int32_t mode_, limit_;
  const cell* callback_;
  cell* result_;
  int32_t rp_ = 0;  // absolute index of the current rule in rb
  bool match_ = true, break_ = false, reject_ = false, reached_end_ = false;
  // A break, continue, return, exit or throw that left a paren: the run
  // stops and hands it on.
  uint32_t exit_status_ = 0;
  size_t rbase_ = rule_stack.size(), vbase_ = value_stack.size(), cbase_ = collect_stack.size();

  // --- input ---
  int32_t idx() const { return int32_t(roots_[0].w1); }
  void set_idx(int32_t i) { in().w1 = uint32_t(i); }
  family fam() { return family_of(type_of(&in())); }
  int32_t input_tail() { return series::ks_abs_length_q(&in()); }
  int32_t end_index() { return end_before(input_tail()); }
  // Where matching stops in an input of `tail` items: the /part limit
  // holds for the outermost input only.
  int32_t end_before(int32_t tail) {
    if (limit_ > 0 && value_stack.size() == vbase_ && limit_ < tail) return limit_;
    return tail;
  }
  bool at_end() { return idx() >= end_index(); }
  int32_t remaining() { return end_index() - idx(); }
  // The item at absolute index i as a value (char! for text, integer! for binary).
  cell item(int32_t i) {
    switch (fam()) {
      case FAM_BLOCK: return *block::ks_abs_at(&in(), i);
      case FAM_TEXT: return cell{TYPE_CHAR, 0, uint32_t(string::ks_abs_at(&in(), i)), 0};
      default: return int_cell(binary::ks_abs_byte_at(&in(), uint32_t(i)));
    }
  }

  // --- rules ---
  int32_t rule_tail() { return series::ks_abs_length_q(&rb()); }
  cell rule(int32_t i) { return *block::ks_abs_at(&rb(), i); }

  // --- stacks ---
  bool top_command_q() { return rule_stack.size() > rbase_ && type_of(&rule_stack.back()) == TYPE_PAIR; }
  cell& entry(int k) { return rule_stack[rule_stack.size() - 3 + size_t(k)]; }
  int32_t command_code() { return pair::x_of(&entry(2)); }
  void check_limit() {
    if (rule_stack.size() + 3 > STACK_LIMIT || value_stack.size() > STACK_LIMIT) fail_with(err::script::parse_stack);
  }
  void drop_entry() { rule_stack.resize(rule_stack.size() - 3); }

  // --- events ---
  void fire(event e) {
    if (callback_ && !fire_event(e)) throw stopped{};
  }
  bool fire_event(event e);

  // --- operations ---
  int32_t match_at(const cell* value, int32_t at);
  bool match_datatype(const cell* rule_value);
  void set_word(const cell* word, const cell* value) {
    cell w = *word;
    context::set(&w, value);
  }
  cell* copy_part(int32_t from, int32_t to);
  cell* eval_code(const cell* paren, uint32_t& status);
  cell* insert_value(const cell* value_rule, uint32_t& status, bool& ok);
  void keep_value(const cell* value, bool pick);
  void keep_part(int32_t from, int32_t to, bool pick);
  void finish_collect();
  bool position_word(const cell* c, cell& position);
  int32_t rule_extent(int32_t k);
  bool fast_to(const cell* v, bool thru);
  bool fast_repeat(const cell* v, int32_t min, int32_t max);
  [[gnu::always_inline]] bool match_literal(int32_t code, const cell& v, int32_t min, int32_t max);
  [[gnu::always_inline]] bool match_char(int32_t code, const cell& v, int32_t min, int32_t max, bool& matched);
  // What follows a finished rule: the command on top finishes, or the
  // block goes on or tries its next alternative.
  state pending() { return top_command_q() ? S_POP_RULE : match_ ? S_NEXT_RULE : S_FIND_ALTERNATIVE; }
  [[gnu::always_inline]] bool quick_literal(int32_t code, int32_t min, int32_t max);
  state finish_command();
  state start_word(int32_t kw, const cell& word);
  state keyword_rule(int32_t kw, const cell& word);
  state do_rule(cell v, bool operand);
  state push_rule(int32_t code, int32_t flag, const cell& first, int32_t operand);
};

bool engine::fire_event(event e) {
  cell args[5];
  word::make_at(event_symbols[e], &args[0]);
  args[1] = logic_cell(match_);
  args[2] = rb();
  args[2].w1 = uint32_t(rp_ < 0 ? 0 : rp_);
  args[3] = in();
  args[4] = none_value;
  collector::root_cells keep(args, 5);
  block::make_at(&args[4], int32_t(rule_stack.size() - rbase_));
  for (size_t i = rbase_; i < rule_stack.size(); ++i) {
    cell c = rule_stack[i];
    block::ks_append(&args[4], &c);
  }
  cell* answer = interpreter::call_function_with(callback_, args, 5);
  bool go = interpreter::true_q(answer);
  stack::pop(1);
  return go;
}

// A char! or text literal matched against text, read once for a run of
// matches.
struct text_literal {
  string::text_view text{};
  int32_t len = 1, ch = 0;
  bool is_char = false;
  bool empty_matches = false;  // an empty string, file or url matches even at the end
};

[[gnu::always_inline]] inline text_literal literal_of(const cell* value) {
  text_literal lit;
  uint32_t t = type_of(value);
  if (t == TYPE_CHAR) {
    lit.is_char = true;
    lit.ch = int32_t(value->w2);
    return lit;
  }
  lit.text = string::view_of(value);
  lit.len = int32_t(lit.text.length);
  lit.empty_matches = lit.len == 0 && (t == TYPE_STRING || t == TYPE_FILE || t == TYPE_URL);
  return lit;
}

// The length the literal matches at `at` of `input` (viewed from its
// buffer's start), before `end`, or -1; compared as the generic comparison
// would: exactly under /case, else folded.
[[gnu::always_inline]] inline int32_t match_text(const text_literal& lit, const string::text_view& input, int32_t at, int32_t end,
                          bool exact) {
  if (lit.empty_matches) return 0;
  if (at >= end || at + lit.len > end) return -1;
  if (lit.is_char) {
    int32_t c = input[uint32_t(at)];
    return c == lit.ch || (!exact && string::fold(c) == string::fold(lit.ch)) ? 1 : -1;
  }
  for (uint32_t k = 0; k < uint32_t(lit.len); ++k) {
    int32_t c = input[uint32_t(at) + k], want = lit.text[k];
    if (c != want && (exact || string::fold(c) != string::fold(want))) return -1;
  }
  return lit.len;
}

// The input text from its buffer's start, so that indexes are absolute.
[[gnu::always_inline]] inline string::text_view whole_text(const cell* input) {
  cell whole = *input;
  whole.w1 = 0;
  return string::view_of(&whole);
}

// A literal that match_text compares: a char! or a text, but not a tag.
bool text_literal_q(uint32_t t) { return t == TYPE_CHAR || (series::string_family_q(t) && t != TYPE_TAG); }

// The length a literal matches at absolute input index `at`, or -1.
int32_t engine::match_at(const cell* value, int32_t at) {
  uint32_t t = type_of(value);
  int32_t end = end_index();
  cell here = in();
  here.w1 = uint32_t(at);
  switch (fam()) {
    case FAM_TEXT: {
      if (!text_literal_q(t)) {
        if (at >= end) return -1;
        if (t == TYPE_BITSET) return string::match_bitset_q(&here, value) ? 1 : -1;
        if (t != TYPE_TAG) return -1;
        int32_t len = string::ks_length_q(value) + 2;
        return at + len <= end && string::match_value_q(&here, value, mode_) ? len : -1;
      }
      return match_text(literal_of(value), whole_text(&in()), at, end, mode_ == MODE_STRICT);
    }
    case FAM_BINARY: {
      if (at >= end) return -1;
      if (t == TYPE_BITSET) return binary::match_bitset_q(&here, value) ? 1 : -1;
      if (t == TYPE_INTEGER) return binary::ks_abs_byte_at(&here, uint32_t(at)) == value->w2 ? 1 : -1;
      int32_t len;
      if (t == TYPE_CHAR) len = 1;
      else if (t == TYPE_BINARY) len = binary::ks_length_q(value);
      else if (series::string_family_q(t)) len = utf8_length(value);
      else return -1;
      if (at + len > end || !binary::match_value_q(&here, value, mode_)) return -1;
      return len;
    }
    default: {
      if (at >= end) return -1;
      int32_t op = mode_;
      if (t == TYPE_LIT_WORD || t == TYPE_LIT_PATH) op = mode_ == MODE_STRICT ? COMP_STRICT_EQUAL_WORD : COMP_EQUAL_WORD;
      cell it = *block::ks_abs_at(&in(), at);
      return actions::compare_value(&it, value, op) == 0 ? 1 : -1;
    }
  }
}

// A datatype or typeset rule at the input position; advances on a match.
bool engine::match_datatype(const cell* rule_value) {
  auto accepts = [&](uint32_t type) {
    return type_of(rule_value) == TYPE_DATATYPE ? datatype::get(rule_value) == type
                                                : typeset::has_q(rule_value, type);
  };
  switch (fam()) {
    case FAM_TEXT: fail_with(err::script::parse_unsupported);
    case FAM_BLOCK: {
      if (at_end()) return false;
      cell it = item(idx());
      if (!accepts(type_of(&it))) return false;
      set_idx(idx() + 1);
      return true;
    }
    default: {
      if (at_end()) return false;
      // Scan mode allocates nothing, but the bytes are copied out anyway:
      // the scanner's callbacks may run code that moves them.
      const uint8_t* p = binary::ks_head(&in());
      std::string bytes(reinterpret_cast<const char*>(p), size_t(remaining()));
      cell scanned = none_value;
      collector::root_cells keep(&scanned);
      int32_t consumed = 0;
      int32_t type = lexer::scan(&scanned, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), true,
                                 true, false, false, &consumed, nullptr, nullptr, nullptr);
      if (type <= 0 || type == TYPE_ERROR || !accepts(uint32_t(type))) return false;
      set_idx(idx() + consumed);
      return true;
    }
  }
}

// A copy of the input from `from` to `to`, pushed on the data stack.
cell* engine::copy_part(int32_t from, int32_t to) {
  cell* source = stack::push(&in());
  source->w1 = uint32_t(from);
  cell count = int_cell(to - from);
  cell* out = stack::push_cell();
  actions::copy_dispatch(source, out, &count, false, nullptr);
  *source = *out;
  stack::top = source + 1;
  return source;
}

// Evaluates a paren; its value is left on the data stack (answered). A
// non-local exit comes back as status, the data stack already cut.
cell* engine::eval_code(const cell* paren, uint32_t& status) {
  cell* code = stack::push(paren);
  status = interpreter::eval(code, false);
  if (status) return nullptr;
  *code = *(stack::top - 1);
  stack::top = code + 1;
  return code;
}

// A word or get-word holding a position in the input's own series.
bool engine::position_word(const cell* c, cell& position) {
  uint32_t t = type_of(c);
  if (t != TYPE_WORD && t != TYPE_GET_WORD) return false;
  if (t == TYPE_WORD && keyword_of(c)) return false;
  const cell* v = context::get(c);
  if (type_of(v) != type_of(&in()) || v->w2 != in().w2) return false;
  position = *v;
  return true;
}

// The value operand of insert and change, pushed on the data stack: a paren
// (evaluated), a word (its value) or a literal.
cell* engine::insert_value(const cell* value_rule, uint32_t& status, bool& ok) {
  ok = true;
  switch (type_of(value_rule)) {
    case TYPE_PAREN: {
      cell* v = eval_code(value_rule, status);
      if (status) ok = false;
      else fire(EV_PAREN);
      return v;
    }
    case TYPE_WORD: return stack::push(word::get_checked(value_rule));
    case TYPE_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH: case TYPE_LIT_PATH:
      fail_with(err::script::parse_rule, value_rule);
    default: return stack::push(value_rule);
  }
}

// Adds one value to the innermost collect.
void engine::keep_value(const cell* value, bool pick) {
  if (collect_stack.size() == cbase_) fail_with(err::script::parse_keep);
  cell v = *value;
  collector::root_cells keep(&v);
  if (pick && block::any_block_q(type_of(&v))) {
    for (int32_t i = int32_t(v.w1), n = series::ks_abs_length_q(&v); i < n; ++i) {
      cell one = *block::ks_abs_at(&v, i);
      keep_value(&one, false);
    }
    return;
  }
  size_t top = collect_stack.size() - 3;
  int32_t kind = pair::x_of(&collect_stack[top]);
  cell* target = stack::push(&collect_stack[top + 2]);
  bool block_target = block::any_block_q(type_of(target));
  if (kind <= 1) {
    block::ks_append(target, &v);
  } else {
    int32_t before = series::ks_abs_length_q(target);
    actions::dispatch<ACT_INSERT>(target, &v, -1, block_target, 1, kind == 3);
    if (kind == 2) collect_stack[top + 2].w1 += uint32_t(series::ks_abs_length_q(target) - before);
  }
  stack::pop(1);
}

// Keeps what the input matched from `from` to `to`.
void engine::keep_part(int32_t from, int32_t to, bool pick) {
  if (to <= from) return;
  if (to - from == 1 || pick) {
    for (int32_t i = from; i < to; ++i) {
      cell one = item(i);
      keep_value(&one, false);
    }
    return;
  }
  cell* part = copy_part(from, to);
  keep_value(part, false);
  stack::pop(1);
}

// The collect on top finished: place its block.
void engine::finish_collect() {
  size_t top = collect_stack.size() - 3;
  int32_t kind = pair::x_of(&collect_stack[top]);
  cell word = collect_stack[top + 1], target = collect_stack[top + 2];
  collector::root_cells keep(&target);
  collect_stack.resize(top);
  if (kind == 1) set_word(&word, &target);
  else if (kind == 0 && collect_stack.size() > cbase_) keep_value(&target, false);
  else if (kind == 0 && type_of(&collected()) == TYPE_NONE) collected() = target;
}

// The last cell of the rule that starts at k (how far a count of 0 skips).
int32_t engine::rule_extent(int32_t k) {
  int32_t tail = rule_tail();
  if (k >= tail) return tail - 1;
  cell r = rule(k);
  if (type_of(&r) == TYPE_INTEGER) {
    int32_t j = k + 1;
    if (j < tail) {
      cell n = rule(j);
      if (type_of(&n) == TYPE_INTEGER ||
          (type_of(&n) == TYPE_WORD && !keyword_of(&n) && type_of(context::get(&n)) == TYPE_INTEGER))
        ++j;
    }
    return rule_extent(j);
  }
  auto next_is = [&](int32_t j, int32_t kw) {
    if (j >= tail) return false;
    cell c = rule(j);
    return keyword_of(&c) == kw;
  };
  switch (keyword_of(&r)) {
    case KW_ANY: case KW_SOME: case KW_OPT: case KW_WHILE: case KW_TO: case KW_THRU: case KW_AHEAD:
    case KW_NOT: case KW_REMOVE:
      return rule_extent(k + 1);
    case KW_COPY: case KW_SET: case KW_CASE: return rule_extent(k + 2);
    case KW_KEEP: return rule_extent(next_is(k + 1, KW_PICK) ? k + 2 : k + 1);
    case KW_COLLECT:
      return rule_extent(next_is(k + 1, KW_SET) || next_is(k + 1, KW_INTO) || next_is(k + 1, KW_AFTER) ? k + 3
                                                                                                     : k + 1);
    case KW_QUOTE: case KW_IF: case KW_INTO: return k + 1;
    case KW_INSERT: return next_is(k + 1, KW_ONLY) ? k + 2 : k + 1;
    case KW_CHANGE: return rule_extent(next_is(k + 1, KW_ONLY) ? k + 2 : k + 1) + 1;
    default: return k;
  }
}

// to/thru over a single literal: a forward search.
bool engine::fast_to(const cell* v, bool thru) {
  uint32_t t = type_of(v);
  family f = fam();
  int32_t i = idx(), end = end_index();
  if (f == FAM_TEXT && text_literal_q(t)) {
    text_literal lit = literal_of(v);
    if (lit.len > 0) {
      // Only where the first character matches (in either case) can the
      // whole literal: the search skips to those places. Nothing here
      // allocates: the views stay valid.
      int32_t first = lit.is_char ? lit.ch : lit.text[0];
      bool exact = mode_ == MODE_STRICT;
      const char_set& set = char_set_of(first, exact);
      string::text_view input = whole_text(&in());
      int32_t stop = std::min(end, int32_t(input.length));
      for (;; ++i) {
        i = scan_text<true>(input, i, stop, set, first);
        if (i >= stop) return false;
        int32_t n = match_text(lit, input, i, end, exact);
        if (n >= 0) {
          set_idx(thru ? i + n : i);
          return true;
        }
      }
    }
  } else if (f != FAM_BLOCK && !(series::string_family_q(t) || t == TYPE_CHAR || t == TYPE_BITSET ||
                                 t == TYPE_BINARY || (f == FAM_BINARY && t == TYPE_INTEGER))) {
    fail_with(err::script::parse_rule, v);
  }
  for (; i < end; ++i) {
    int32_t n = match_at(v, i);
    if (n >= 0) {
      set_idx(thru ? i + n : i);
      return true;
    }
  }
  return false;
}

// A repetition of a single literal, counted in one loop. A match that
// consumes nothing (an empty text) ends the count: it would never stop.
bool engine::fast_repeat(const cell* v, int32_t min, int32_t max) {
  int32_t count = 0;
  if (fam() == FAM_TEXT && text_literal_q(type_of(v))) {
    // The literal and the input read once: nothing in the loop allocates.
    text_literal lit = literal_of(v);
    string::text_view input = whole_text(&in());
    int32_t end = end_index(), at = idx();
    bool exact = mode_ == MODE_STRICT;
    while (max < 0 || count < max) {
      int32_t n = match_text(lit, input, at, end, exact);
      if (n < 0) break;
      if (n == 0) {
        set_idx(at);
        return true;
      }
      ++count;
      at += n;
    }
    set_idx(at);
    return count >= min;
  }
  while (max < 0 || count < max) {
    int32_t n = match_at(v, idx());
    if (n < 0) break;
    // An empty match repeats to any count without moving.
    if (n == 0) return true;
    ++count;
    set_idx(idx() + n);
  }
  return count >= min;
}

// to, thru or a repetition of a single character over text: one scan of
// the input's units. False when the input or the literal is not of that
// kind (matched is then untouched).
inline bool engine::match_char(int32_t code, const cell& v, int32_t min, int32_t max, bool& matched) {
  uint32_t t = type_of(&v);
  if (!series::string_family_q(type_of(&in()))) return false;
  int32_t ch;
  if (t == TYPE_CHAR) {
    ch = int32_t(v.w2);
  } else {
    if (!text_literal_q(t)) return false;
    string::text_view text = string::view_of(&v);
    if (text.length != 1) return false;
    ch = text[0];
  }
  // Nothing here allocates: the view stays valid.
  string::text_view input = whole_text(&in());
  const char_set& set = char_set_of(ch, mode_ == MODE_STRICT);
  int32_t at = idx(), end = end_before(int32_t(input.length));
  if (code == CMD_REPEAT) {
    int32_t stop = end;
    if (max >= 0 && at < stop && max < stop - at) stop = at + max;
    int32_t past = std::max(at, scan_text<false>(input, at, stop, set, ch));
    set_idx(past);
    matched = past - at >= min;
    return true;
  }
  int32_t found = scan_text<true>(input, at, end, set, ch);
  matched = found < end;
  if (matched) set_idx(code == CMD_THRU ? found + 1 : found);
  return true;
}

// to, thru or a repetition (code) over the literal v.
inline bool engine::match_literal(int32_t code, const cell& v, int32_t min, int32_t max) {
  bool matched;
  if (match_char(code, v, min, max, matched)) return matched;
  val() = v;
  return code == CMD_REPEAT ? fast_repeat(&val(), min, max) : fast_to(&val(), code == CMD_THRU);
}

// The command at rp_ (to, thru or a repetition) run at once when its operand
// is a literal and no trace callback would see its entry: no entry is
// pushed. Errors come as from push_rule and the operand's match. False when
// the operand needs the general route.
inline bool engine::quick_literal(int32_t code, int32_t min, int32_t max) {
  int32_t at = rp_ + 1;
  if (callback_ || at >= rule_tail()) return false;
  check_limit();
  cell v = rule(at);
  if (type_of(&v) == TYPE_WORD) {
    if (keyword_of(&v)) return false;
    v = *word::get_checked(&v);
    if (any_word_q(type_of(&v))) return false;
  }
  if (!literal_q(type_of(&v))) return false;
  rp_ = at;
  match_ = match_literal(code, v, min, max);
  return true;
}

state engine::push_rule(int32_t code, int32_t flag, const cell& first, int32_t operand) {
  if (operand >= rule_tail()) {
    cell kw = rule(rp_);
    fail_with(err::script::parse_end, &kw);
  }
  check_limit();
  cell pos, cmd;
  triple::make_at(&pos, operand, idx(), remaining());
  pair::make_at(&cmd, code, flag);
  rule_stack.push_back(first);
  rule_stack.push_back(pos);
  rule_stack.push_back(cmd);
  rp_ = operand;
  fire(EV_PUSH);
  return S_MATCH_RULE;
}

uint32_t engine::run() {
  // The outermost block entry: its enclosing block is the rules themselves.
  check_limit();
  {
    cell pos, marker = none_value;
    triple::make_at(&pos, int32_t(rb().w1) - 1, idx(), remaining());
    rule_stack.push_back(marker);
    rule_stack.push_back(pos);
    rule_stack.push_back(rb());
  }
  rp_ = int32_t(rb().w1) - 1;
  fire(EV_PUSH);
  state s = S_NEXT_RULE;
  for (;;) {
    switch (s) {
      case S_PUSH_BLOCK: {
        check_limit();
        cell pos, marker = none_value;
        triple::make_at(&pos, rp_, idx(), remaining());
        rule_stack.push_back(marker);
        rule_stack.push_back(pos);
        rule_stack.push_back(rb());
        rb() = sub();
        rp_ = int32_t(sub().w1) - 1;
        fire(EV_PUSH);
        s = S_NEXT_RULE;
        break;
      }
      case S_POP_BLOCK: {
        reached_end_ = rp_ >= rule_tail();
        if (rule_stack.size() - rbase_ == 3) {
          fire(EV_POP);
          s = S_END;
          break;
        }
        fire(EV_POP);
        rb() = entry(2);
        rp_ = int32_t(entry(1).w1);
        drop_entry();
        if (top_command_q()) {
          s = finish_command();
        } else {
          // break and reject end only the innermost block when no loop holds it.
          if (break_) break_ = false, match_ = true;
          if (reject_) reject_ = false, match_ = false;
          s = match_ ? S_NEXT_RULE : S_FIND_ALTERNATIVE;
        }
        break;
      }
      case S_POP_RULE:
        s = finish_command();
        break;
      case S_CHECK_PENDING:
        s = pending();
        break;
      case S_NEXT_RULE:
        if (++rp_ >= rule_tail()) {
          rp_ = rule_tail();
          s = top_command_q() ? S_POP_RULE : S_POP_BLOCK;
          break;
        }
        fire(EV_FETCH);
        s = do_rule(rule(rp_), false);
        break;
      case S_MATCH_RULE: {
        cell v = rule(rp_);
        int32_t code = command_code();
        // A word operand: a keyword runs as the command's rule; another
        // word stands for its value (a word value is matched literally).
        if (type_of(&v) == TYPE_WORD) {
          int32_t kw = keyword_of(&v);
          if (kw == KW_END && (code == CMD_TO || code == CMD_THRU)) {
            set_idx(end_index());
            match_ = true;
            drop_entry();
            fire(EV_POP);
            s = S_CHECK_PENDING;
            break;
          }
          if (kw) {
            s = keyword_rule(kw, v);
            break;
          }
          v = *word::get_checked(&v);
          if (any_word_q(type_of(&v))) {
            val() = v;
            s = S_MATCH_VALUE;
            break;
          }
        }
        if ((code == CMD_TO || code == CMD_THRU || code == CMD_REPEAT) && literal_q(type_of(&v))) {
          match_ = match_literal(code, v, int32_t(entry(0).w1), int32_t(entry(0).w2));
          drop_entry();
          fire(EV_POP);
          s = S_CHECK_PENDING;
          break;
        }
        s = do_rule(v, true);
        break;
      }
      case S_MATCH_VALUE: {
        int32_t n = match_at(&val(), idx());
        match_ = n >= 0;
        if (match_) set_idx(idx() + n);
        fire(EV_MATCH);
        s = S_CHECK_PENDING;
        break;
      }
      case S_NEXT_INPUT:
        set_idx(idx() + 1);
        s = S_CHECK_PENDING;
        break;
      case S_FIND_ALTERNATIVE: {
        set_idx(int32_t(entry(1).w2));
        int32_t tail = rule_tail(), i = rp_ + 1;
        for (; i < tail; ++i) {
          cell c = rule(i);
          if (keyword_of(&c) == KW_BAR) break;
        }
        if (i < tail) {
          rp_ = i;
          match_ = true;
          s = S_NEXT_RULE;
        } else {
          rp_ = tail;
          s = S_POP_BLOCK;
        }
        break;
      }
      case S_END: {
        if (!reached_end_) match_ = false;
        if (remaining() > 0 && value_stack.size() == vbase_) match_ = false;
        fire(EV_END);
        if (type_of(&collected()) != TYPE_NONE) *result_ = collected();
        else *result_ = logic_cell(match_);
        return 0;
      }
    }
    if (exit_status_) {
      // A paren ran a non-local exit: it travels on as the status.
      return exit_status_;
    }
  }
}

// Rule values by type. operand: the value is a command's operand.
state engine::do_rule(cell v, bool operand) {
  for (int hops = 0;; ++hops) {
    switch (type_of(&v)) {
      case TYPE_BLOCK:
        sub() = v;
        return S_PUSH_BLOCK;
      case TYPE_WORD: {
        int32_t kw = keyword_of(&v);
        if (kw) return keyword_rule(kw, v);
        cell value = *word::get_checked(&v);
        if (operand && any_word_q(type_of(&value))) {
          val() = value;
          return S_MATCH_VALUE;
        }
        if (hops > 64) fail_with(err::script::parse_rule, &v);
        v = value;
        continue;
      }
      case TYPE_SET_WORD: {
        cell here = in();
        set_word(&v, &here);
        match_ = true;
        return S_CHECK_PENDING;
      }
      case TYPE_GET_WORD: {
        const cell* p = context::get(&v);
        if (type_of(p) != type_of(&in()) || p->w2 != in().w2) fail_with(err::script::parse_invalid_ref, &v);
        int32_t i = int32_t(p->w1), tail = input_tail();
        set_idx(i < 0 ? 0 : i > tail ? tail : i);
        match_ = true;
        return S_CHECK_PENDING;
      }
      case TYPE_INTEGER: {
        int32_t min = integer::get(&v), max = min, next = rp_ + 1, tail = rule_tail();
        if (min < 0) fail_with(err::script::out_of_range, &v);
        if (next < tail) {
          cell n = rule(next);
          const cell* bound = nullptr;
          if (type_of(&n) == TYPE_INTEGER) bound = &n;
          else if (type_of(&n) == TYPE_WORD && !keyword_of(&n) && type_of(context::get(&n)) == TYPE_INTEGER)
            bound = context::get(&n);
          if (bound) {
            max = integer::get(bound);
            if (max < 0) fail_with(err::script::out_of_range, bound);
            if (max < min) fail_with(err::script::parse_rule, &v);
            ++next;
          }
        }
        if (next >= tail) fail_with(err::script::parse_rule, &v);
        if (max == 0) {
          rp_ = rule_extent(next);
          match_ = true;
          return S_CHECK_PENDING;
        }
        rp_ = next - 1;
        if (quick_literal(CMD_REPEAT, min, max)) return pending();
        cell counts;
        triple::make_at(&counts, min, max, 1);
        return push_rule(CMD_REPEAT, 0, counts, next);
      }
      case TYPE_PAREN: {
        uint32_t status = 0;
        eval_code(&v, status);
        if (status) {
          exit_status_ = status;
          return S_END;
        }
        stack::pop(1);
        fire(EV_PAREN);
        match_ = true;
        return pending();
      }
      case TYPE_DATATYPE: case TYPE_TYPESET:
        match_ = match_datatype(&v);
        fire(EV_MATCH);
        return S_CHECK_PENDING;
      case TYPE_PATH: case TYPE_SET_PATH: case TYPE_GET_PATH:
        fail_with(err::script::parse_rule, &v);
      default:
        val() = v;
        return S_MATCH_VALUE;
    }
  }
}

// A keyword at rp_: the commonest commands over a literal are tried before
// start_word sets up for any keyword.
state engine::keyword_rule(int32_t kw, const cell& word) {
  bool quick = false;
  switch (kw) {
    case KW_ANY: case KW_SOME: case KW_OPT:
      quick = quick_literal(CMD_REPEAT, kw == KW_SOME ? 1 : 0, kw == KW_OPT ? 1 : -1);
      break;
    case KW_TO: case KW_THRU: quick = quick_literal(kw == KW_TO ? CMD_TO : CMD_THRU, 0, 0); break;
  }
  return quick ? pending() : start_word(kw, word);
}

// A keyword at rp_.
state engine::start_word(int32_t kw, const cell& word) {
  int32_t tail = rule_tail();
  auto operand_at = [&](int32_t j) {
    if (j >= tail) fail_with(err::script::parse_end, &word);
    return rule(j);
  };
  cell none = none_value;
  switch (kw) {
    case KW_BAR:
      rp_ = tail - 1;
      return S_NEXT_RULE;
    case KW_SKIP:
      match_ = !at_end();
      return match_ ? S_NEXT_INPUT : S_CHECK_PENDING;
    case KW_ANY: case KW_SOME: case KW_OPT: case KW_WHILE: {
      cell counts;
      triple::make_at(&counts, kw == KW_SOME ? 1 : 0, kw == KW_OPT ? 1 : -1, 1);
      return push_rule(kw == KW_WHILE ? CMD_WHILE : CMD_REPEAT, 0, counts, rp_ + 1);
    }
    case KW_COPY: case KW_SET: {
      cell w = operand_at(rp_ + 1);
      if (type_of(&w) != TYPE_WORD) fail_with(err::script::parse_end, &word);
      return push_rule(kw == KW_COPY ? CMD_COPY : CMD_SET, 0, w, rp_ + 2);
    }
    case KW_TO: case KW_THRU: return push_rule(kw == KW_TO ? CMD_TO : CMD_THRU, 0, none, rp_ + 1);
    case KW_NOT: return push_rule(CMD_NOT, 0, none, rp_ + 1);
    case KW_AHEAD: return push_rule(CMD_AHEAD, 0, none, rp_ + 1);
    case KW_REMOVE: {
      cell op = operand_at(rp_ + 1), position;
      if (position_word(&op, position)) {
        int32_t from = int32_t(position.w1), to = idx();
        if (from > to) std::swap(from, to);
        cell* s = stack::push(&in());
        s->w1 = uint32_t(from);
        cell count = int_cell(to - from);
        actions::dispatch<ACT_REMOVE>(s, &count, static_cast<const cell*>(nullptr));
        stack::pop(1);
        set_idx(from);
        rp_ += 1;
        match_ = true;
        return S_CHECK_PENDING;
      }
      return push_rule(CMD_REMOVE, 0, none, rp_ + 1);
    }
    case KW_BREAK: case KW_REJECT:
      (kw == KW_BREAK ? break_ : reject_) = true;
      match_ = kw == KW_BREAK;
      if (top_command_q()) return S_POP_RULE;
      rp_ = tail;
      return S_POP_BLOCK;
    case KW_FAIL:
      // Fails like any other rule: the block looks for its next alternative.
      match_ = false;
      return S_CHECK_PENDING;
    case KW_NONE:
      match_ = true;
      return S_CHECK_PENDING;
    case KW_END:
      match_ = at_end();
      return S_CHECK_PENDING;
    case KW_QUOTE:
      val() = operand_at(rp_ + 1);
      rp_ += 1;
      return S_MATCH_VALUE;
    case KW_IF: {
      cell code = operand_at(rp_ + 1);
      if (type_of(&code) != TYPE_PAREN) fail_with(err::script::parse_end, &word);
      rp_ += 1;
      uint32_t status = 0;
      cell* v = eval_code(&code, status);
      if (status) {
        exit_status_ = status;
        return S_END;
      }
      match_ = interpreter::true_q(v);
      stack::pop(1);
      fire(EV_PAREN);
      return S_CHECK_PENDING;
    }
    case KW_INTO: {
      cell r = operand_at(rp_ + 1);
      if (type_of(&r) == TYPE_WORD) r = *word::get_checked(&r);
      if (type_of(&r) != TYPE_BLOCK) fail_with(err::script::parse_end, &word);
      if (at_end()) {
        rp_ += 1;
        match_ = false;
        return S_CHECK_PENDING;
      }
      val() = item(idx());
      uint32_t t = type_of(&val());
      if (!series::series_value_q(t) || t == TYPE_VECTOR || t == TYPE_IMAGE) fail_with(err::script::parse_block, &val());
      sub() = r;
      push_rule(CMD_INTO, 0, none, rp_ + 1);
      check_limit();
      value_stack.push_back(in());
      in() = val();
      return S_PUSH_BLOCK;
    }
    case KW_INSERT: case KW_CHANGE: {
      int32_t j = rp_ + 1;
      cell first = operand_at(j);
      bool only = keyword_of(&first) == KW_ONLY;
      if (only) first = operand_at(++j);
      cell position;
      bool at_position = position_word(&first, position) && j + 1 < tail;
      if (kw == KW_CHANGE && !at_position) {
        operand_at(j + 1);  // the value must be there
        rp_ = j - 1;
        return push_rule(only ? CMD_CHANGE_ONLY : CMD_CHANGE, 0, none, j);
      }
      if (at_position) ++j;
      cell value_rule = operand_at(j);
      uint32_t status = 0;
      bool ok;
      cell* v = insert_value(&value_rule, status, ok);
      if (!ok) {
        exit_status_ = status;
        return S_END;
      }
      int32_t here = idx(), at = at_position ? int32_t(position.w1) : here;
      cell* s = stack::push(&in());
      int32_t before = series::ks_abs_length_q(s);
      if (kw == KW_INSERT) {
        s->w1 = uint32_t(at);
        actions::dispatch<ACT_INSERT>(s, static_cast<const cell*>(v), -1, only, 1, false);
        int32_t added = series::ks_abs_length_q(s) - before;
        if (at <= here) set_idx(here + added);
      } else {
        int32_t from = at < here ? at : here, count = at < here ? here - at : at - here;
        s->w1 = uint32_t(from);
        actions::dispatch<ACT_CHANGE>(s, static_cast<const cell*>(v), count, only, 1);
        set_idx(from + (series::ks_abs_length_q(s) - before) + count);
      }
      stack::top = v;
      rp_ = j;
      match_ = true;
      return S_CHECK_PENDING;
    }
    case KW_COLLECT: {
      int32_t j = rp_ + 1;
      cell m = operand_at(j), w = none, target = none;
      collector::root_cells keep_word(&w);
      int32_t mk = keyword_of(&m), kind = 0;
      if (mk == KW_SET || mk == KW_INTO || mk == KW_AFTER) {
        w = operand_at(j + 1);
        if (type_of(&w) != TYPE_WORD) fail_with(err::script::parse_end, &word);
        kind = mk == KW_SET ? 1 : mk == KW_INTO ? 2 : 3;
        j += 2;
      }
      if (kind >= 2) {
        target = *word::get_checked(&w);
        uint32_t tt = type_of(&target), it = type_of(&in());
        bool fits = tt == it || block::any_block_q(tt) ||
                    (series::string_family_q(tt) && fam() != FAM_BLOCK);
        if (!series::series_value_q(tt) || tt == TYPE_VECTOR || tt == TYPE_IMAGE || !fits)
          fail_with(err::script::parse_into_type);
        if (target.w2 == in().w2) fail_with(err::script::parse_into_bad);
      } else {
        block::make_at(&target, 8);
      }
      collector::root_cells keep(&target);
      operand_at(j);
      cell kind_cell;
      pair::make_at(&kind_cell, kind, 0);
      collect_stack.push_back(kind_cell);
      collect_stack.push_back(w);
      collect_stack.push_back(target);
      rp_ = j - 1;
      return push_rule(CMD_COLLECT, kind, w, j);
    }
    case KW_KEEP: {
      if (collect_stack.size() == cbase_) fail_with(err::script::parse_keep);
      int32_t j = rp_ + 1;
      cell op = operand_at(j);
      bool pick = keyword_of(&op) == KW_PICK;
      if (pick) op = operand_at(++j);
      if (type_of(&op) == TYPE_PAREN) {
        uint32_t status = 0;
        cell* v = eval_code(&op, status);
        if (status) {
          exit_status_ = status;
          return S_END;
        }
        fire(EV_PAREN);
        keep_value(v, pick);
        stack::pop(1);
        rp_ = j;
        match_ = true;
        return S_CHECK_PENDING;
      }
      rp_ = j - 1;
      return push_rule(CMD_KEEP, pick ? 1 : 0, none, j);
    }
    case KW_CASE: {
      cell w = operand_at(rp_ + 1);
      if (type_of(&w) != TYPE_WORD) fail_with(err::script::parse_end, &word);
      operand_at(rp_ + 2);
      cell saved;
      triple::make_at(&saved, mode_, 0, 0);
      mode_ = interpreter::true_q(word::get_checked(&w)) ? MODE_STRICT : MODE_EQUAL;
      return push_rule(CMD_CASE, 0, saved, rp_ + 2);
    }
    default: {
      // only, pick and after outside their places: ordinary rule words.
      cell value = *word::get_checked(&word);
      return do_rule(value, false);
    }
  }
}

// pop-rule: finishes the command on top with the match flag.
state engine::finish_command() {
  int32_t code = command_code(), flag = pair::y_of(&entry(2));
  int32_t start = int32_t(entry(1).w2), start_len = int32_t(entry(1).w3), operand = int32_t(entry(1).w1);
  switch (code) {
    case CMD_REPEAT: case CMD_WHILE: {
      cell& c = entry(0);
      int32_t min = int32_t(c.w1), max = int32_t(c.w2), count = int32_t(c.w3);
      bool ok;
      if (reject_) {
        reject_ = false;
        ok = false;
      } else if (break_) {
        break_ = false;
        ok = true;
      } else {
        bool moved = !(idx() == start && remaining() >= start_len);
        bool more = match_ && (max < 0 || count < max) && (code == CMD_WHILE || moved);
        if (more) {
          triple::make_at(&entry(1), operand, idx(), remaining());
          c.w3 = uint32_t(count + 1);
          rp_ = operand - 1;
          fire(EV_ITERATE);
          // A block operand is entered again at once: what the next step
          // would do, less the fetch that only a trace callback sees.
          if (!callback_ && operand < rule_tail()) {
            cell r = rule(operand);
            if (type_of(&r) == TYPE_BLOCK) {
              rp_ = operand;
              sub() = r;
              return S_PUSH_BLOCK;
            }
          }
          return S_NEXT_RULE;
        }
        if (!match_) {
          set_idx(start);
          ok = min == 0 || count - 1 >= min;
        } else {
          ok = max < 0 || count >= max;
        }
      }
      match_ = ok;
      break;
    }
    default:
      break;
  }
  // break and reject belong to loops; any other command just finishes.
  if (code != CMD_REPEAT && code != CMD_WHILE) break_ = reject_ = false;
  switch (code) {
    case CMD_TO: case CMD_THRU:
      if (match_) {
        if (code == CMD_TO) set_idx(start);
      } else if (start < end_index()) {
        set_idx(start + 1);
        triple::make_at(&entry(1), operand, idx(), remaining());
        fire(EV_POP);
        fire(EV_ITERATE);
        rp_ = operand - 1;
        return S_NEXT_RULE;
      } else {
        set_idx(start);
      }
      break;
    case CMD_COPY:
      if (match_) {
        cell* part = copy_part(start, idx());
        cell w = entry(0);  // read after the copy: a collection may have moved its context
        set_word(&w, part);
        stack::pop(1);
      }
      break;
    case CMD_SET:
      if (match_) {
        cell w = entry(0);
        cell v = idx() > start ? item(start) : none_value;
        collector::root_cells keep(&v);
        set_word(&w, &v);
      }
      break;
    case CMD_NOT:
      match_ = !match_;
      set_idx(start);
      break;
    case CMD_AHEAD:
      set_idx(start);
      break;
    case CMD_INTO: {
      bool whole = match_ && reached_end_ && at_end();
      in() = value_stack.back();
      value_stack.pop_back();
      set_idx(whole ? start + 1 : start);
      match_ = whole;
      break;
    }
    case CMD_REMOVE:
      if (match_ && idx() > start) {
        cell* s = stack::push(&in());
        s->w1 = uint32_t(start);
        cell count = int_cell(idx() - start);
        actions::dispatch<ACT_REMOVE>(s, &count, static_cast<const cell*>(nullptr));
        stack::pop(1);
        set_idx(start);
      }
      break;
    case CMD_COLLECT:
      finish_collect();
      break;
    case CMD_KEEP:
      if (match_) {
        cell r = rule(operand);
        if (keyword_of(&r) == KW_COPY) {
          cell w = rule(operand + 1);
          keep_value(word::get_checked(&w), false);
        } else {
          keep_part(start, idx(), flag != 0);
        }
      }
      break;
    case CMD_CHANGE: case CMD_CHANGE_ONLY: {
      int32_t value_at = rp_ + 1;
      if (match_) {
        cell value_rule = rule(value_at);
        uint32_t status = 0;
        bool ok;
        cell* v = insert_value(&value_rule, status, ok);
        if (!ok) {
          exit_status_ = status;
          return S_END;
        }
        cell* s = stack::push(&in());
        s->w1 = uint32_t(start);
        int32_t before = series::ks_abs_length_q(s), count = idx() - start;
        actions::dispatch<ACT_CHANGE>(s, static_cast<const cell*>(v), count, code == CMD_CHANGE_ONLY, 1);
        set_idx(start + series::ks_abs_length_q(s) - before + count);
        stack::top = v;
      }
      rp_ = value_at;
      break;
    }
    case CMD_CASE:
      mode_ = int32_t(entry(0).w1);
      break;
  }
  drop_entry();
  fire(EV_POP);
  return S_CHECK_PENDING;
}

// Puts the shared stacks back as the run found them, however it ends.
struct stacks_guard {
  size_t r = rule_stack.size(), v = value_stack.size(), c = collect_stack.size();
  ~stacks_guard() {
    rule_stack.resize(r);
    value_stack.resize(v);
    collect_stack.resize(c);
  }
};

}  // namespace

uint32_t process(const cell* input, const cell* rules, int32_t mode, int32_t limit, const cell* callback,
                 cell* result) {
  stacks_guard restore;
  engine e(input, rules, mode, limit, callback, result);
  try {
    return e.run();
  } catch (const stopped&) {
    *result = logic_cell(e.match());
    return 0;
  }
}

uint32_t rule_stack_cells() { return uint32_t(rule_stack.size()); }
uint32_t value_stack_cells() { return uint32_t(value_stack.size() + collect_stack.size()); }

}  // namespace kez::parser

namespace kez::natives {

// parse input rules /case /part length /trace callback
static uint32_t n_parse(int32_t, const int32_t* r) {
  cell* input = stack::arguments;
  int32_t mode = r[0] >= 0 ? parser::MODE_STRICT : parser::MODE_EQUAL;
  int32_t limit = 0;
  if (r[1] >= 0) {
    const cell* part = stack::arguments + r[1];
    uint32_t t = type_of(part);
    if (t == TYPE_INTEGER) limit = int32_t(input->w1) + integer::get(part);
    else if (t == TYPE_FLOAT) limit = int32_t(input->w1) + int32_t(load_double(&part->w2));
    else if (t == type_of(input) && part->w2 == input->w2) limit = int32_t(part->w1);
    else series::bad_refine_arg(words::ref::part, part);
    // A limit past the tail is the tail (the engine clamps it).
    if (limit <= 0) {
      bool empty = series::ks_abs_length_q(input) - int32_t(input->w1) <= 0;
      *input = cell{TYPE_LOGIC, empty ? 1u : 0u, 0, 0};
      stack::top = input + 1;
      return 0;
    }
  }
  const cell* callback = r[2] >= 0 ? stack::arguments + r[2] : nullptr;
  cell* result = stack::push_cell();
  if (uint32_t status = parser::process(input, stack::arguments + 1, mode, limit, callback, result)) return status;
  *stack::arguments = *result;
  stack::top = stack::arguments + 1;
  return 0;
}

void register_parse(entry* slots) { slots[39] = n_parse; }

}  // namespace kez::natives
