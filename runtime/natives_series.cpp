// The natives that treat series as sets or as text: the five set operations,
// URL escapes, the base codecs, case conversion, new-line markers, `as` and
// `transcode`. Each checks its arguments, hands the work to the datatype
// module or the lexer and shapes the result in arguments[0].
#include <algorithm>
#include <vector>

#include "runtime/case_map.h"
#include "runtime/collector.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/url.h"
#include "runtime/datatypes/word.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/natives.h"
#include "runtime/stack.h"

namespace kez::natives {

namespace {

inline cell* arg(int32_t n) { return stack::arguments + n; }
inline const cell* ref_arg(const int32_t* r, int i) { return r[i] >= 0 ? arg(r[i]) : nullptr; }

inline cell datatype_cell(uint32_t type) {
  cell c;
  datatype::make_at(&c, type);
  return c;
}

// Script Error expect-arg naming the running native, the value's datatype and
// the argument.
[[noreturn]] void expect_arg(const cell* value, const char* argument) {
  cell fn = stack::get_call(), kind = datatype_cell(type_of(value));
  cell name{TYPE_WORD, 0, symbol::make(argument), uint32_t(-1)};
  error::fire(err::cat_script, err::script::expect_arg, &fn, &kind, &name);
}

inline uint32_t set_class(uint32_t t) { return t == TYPE_HASH ? TYPE_BLOCK : t; }

// Shared by the five set natives; refinement 0 is /case, 1 is /skip.
uint32_t set_operation(int32_t op, const int32_t* r) {
  cell* a = arg(0);
  cell* b = arg(1);
  uint32_t t = type_of(a);
  if (op != block::SET_UNIQUE && set_class(t) != set_class(type_of(b))) {
    cell ka = datatype_cell(t), kb = datatype_cell(type_of(b));
    error::fire(err::cat_script, err::script::expect_val, &ka, &kb);
  }
  bool case_ = r[0] >= 0;
  const cell* skip = ref_arg(r, 1);
  switch (t) {
    case TYPE_BLOCK: case TYPE_HASH:
      block::do_set_op(case_, skip, op);
      break;
    case TYPE_STRING:
      string::do_set_op(a, b, case_, skip, op);
      break;
    case TYPE_TYPESET:
      if (op == block::SET_UNIQUE) expect_arg(a, "set");
      typeset::do_bitwise(a, b, op);
      break;
    case TYPE_BITSET:
      bitset::do_bitwise(op, a, b);  // a new bitset; the inputs stay as they are
      break;
    case TYPE_DATE:
      if (op != block::SET_DIFFERENCE) expect_arg(a, "set1");
      date::difference(a, b);
      break;
    default:
      expect_arg(a, op == block::SET_UNIQUE ? "set" : "set1");
  }
  stack::keep();
  return 0;
}

template <int32_t Op>
uint32_t n_set_op(int32_t, const int32_t* r) { return set_operation(Op, r); }

// A new string! in arguments[0], filled from the value by `fill`.
template <class Fill>
uint32_t new_text(Fill fill) {
  cell* source = arg(0);
  cell* target = stack::push_cell();
  string::make_at(target, uint32_t(std::max(string::ks_length_q(source), 1)));
  fill(source, target);
  target->header = (target->header & ~uint32_t(FLAG_TYPE_MASK)) | TYPE_STRING;
  stack::set_last_keep(target);
  return 0;
}

uint32_t n_dehex(int32_t, const int32_t*) {
  return new_text([](cell* source, cell* target) { url::decode_utf8(source, target); });
}

uint32_t n_enhex(int32_t, const int32_t*) {
  return new_text([](cell* source, cell* target) {
    url::encode_utf8(source, target, type_of(source) == TYPE_STRING ? url::UNRESERVED : url::FILE_SAFE);
  });
}

// The /base argument (64 when absent), checked.
int32_t base_of(const int32_t* r) {
  const cell* base = ref_arg(r, 0);
  if (!base) return 64;
  int32_t n = int32_t(base->w2);
  if (type_of(base) != TYPE_INTEGER || (n != 64 && n != 58 && n != 16 && n != 2))
    error::fire(err::cat_script, err::script::invalid_arg, base);
  return n;
}

uint32_t n_debase(int32_t, const int32_t* r) {
  int32_t base = base_of(r);
  cell* text = arg(0);
  int32_t count = string::ks_length_q(text);
  const uint8_t* p = string::ks_head(text);
  uint32_t unit = string::unit_of(string::buffer_of(text));
  cell* out = stack::push_cell();
  cell* made = base == 64   ? binary::decode_64(p, uint32_t(count), unit, out)
               : base == 58 ? binary::decode_58(p, uint32_t(count), unit, out)
               : base == 16 ? binary::decode_16(p, uint32_t(count), unit, out)
                            : binary::decode_2(p, uint32_t(count), unit, out);
  if (!made) *out = cell{TYPE_NONE, 0, 0, 0};
  stack::set_last_keep(out);
  return 0;
}

// The encoder's output room for n bytes, with space for line breaks; above
// the largest series the native raises too-long instead of wrapping.
uint32_t encoded_capacity(int32_t base, uint64_t n) {
  uint64_t room = base == 64   ? n / 3 * 4 + 4 + n / 32 * 2 + 5
                  : base == 58 ? n * 2 + 1
                  : base == 16 ? n * 2 + n / 32 + 32
                               : n * 8 + n / 8 * 2 + 2;
  if (room > 0x7FFFFFF0u) error::fire(err::cat_script, err::script::too_long);
  return uint32_t(room);
}

uint32_t n_enbase(int32_t, const int32_t* r) {
  int32_t base = base_of(r);
  cell* value = arg(0);
  bool text = type_of(value) != TYPE_BINARY;
  int32_t n = text ? -1 : binary::ks_length_q(value);
  if (text) string::utf8_bytes(value, n);  // measures; the bytes are read again below
  cell* out = stack::push_cell();
  string::make_at(out, encoded_capacity(base, uint64_t(n)));
  // The output exists now, so nothing allocates between reading the input
  // bytes and encoding them.
  const uint8_t* bytes = text ? string::utf8_bytes(value, n) : binary::ks_head(value);
  series_buffer* b = string::buffer_of(out);
  uint8_t* start = b->head_ptr();
  uint8_t* end = base == 64   ? binary::encode_64(start, bytes, uint32_t(n))
                 : base == 58 ? binary::encode_58(start, bytes, uint32_t(n))
                 : base == 16 ? binary::encode_16(start, bytes, uint32_t(n))
                              : binary::encode_2(start, bytes, uint32_t(n));
  b->tail = b->head + uint32_t(end - start);
  stack::set_last_keep(out);
  return 0;
}

template <int Mode>
uint32_t n_change_case(int32_t, const int32_t* r) {
  cell* value = arg(0);
  if (type_of(value) == TYPE_CHAR) {
    value->w2 = uint32_t(case_::convert(int32_t(value->w2), Mode));
    stack::keep();
    return 0;
  }
  string::ks_head(value);  // clamps the head
  int32_t n = string::ks_length_q(value);
  if (const cell* limit = ref_arg(r, 0)) n = std::clamp(series::part_count(value, limit), 0, n);
  uint32_t start = string::head_index(value);
  series_buffer* b = string::buffer_of(value);
  for (uint32_t i = start; i < start + uint32_t(n); ++i) {
    uint32_t unit = string::unit_of(b);
    int32_t cp = string::get_char(b->head_ptr() + i * unit, unit);
    int32_t to = case_::convert(cp, Mode);
    if (to != cp) b = string::put_char_at(b, i, to);
  }
  ownership::notify(value, Mode == case_::upper ? ownership::UPPERCASE : ownership::LOWERCASE, nullptr,
                    int32_t(start), n);
  stack::keep();
  return 0;
}

uint32_t n_new_line(int32_t, const int32_t* r) {
  cell* pos = arg(0);
  bool on = arg(1)->w1 != 0;
  int32_t every = 0;  // 0: the one value at the position
  if (r[0] >= 0) every = 1;
  if (const cell* size = ref_arg(r, 1)) {
    every = int32_t(size->w2);
    if (every <= 0) error::fire(err::cat_script, err::script::out_of_range, size);
  }
  int32_t n = block::ks_length_q(pos);
  int32_t head = int32_t(pos->w1);
  if (n > 0 && head >= 0) {
    cell* first = memory::buffer_of(pos->w2)->head_cell() + head;
    int32_t count = every ? n : 1;
    for (int32_t i = 0; i < count; ++i) {
      bool mark = every ? (i % every == 0) == on : on;
      if (mark) first[i].header |= FLAG_NEW_LINE;
      else first[i].header &= ~uint32_t(FLAG_NEW_LINE);
    }
  }
  stack::keep();
  return 0;
}

uint32_t n_new_line_q(int32_t, const int32_t*) {
  cell* pos = arg(0);
  int32_t head = int32_t(pos->w1);
  bool marked = block::ks_length_q(pos) > 0 && head >= 0 &&
                (memory::buffer_of(pos->w2)->head_cell()[head].header & FLAG_NEW_LINE) != 0;
  *pos = cell{TYPE_LOGIC, marked ? 1u : 0u, 0, 0};
  stack::keep();
  return 0;
}

// 1 for the block-like types, 2 for the text types, 0 for any other.
int as_class(uint32_t t) {
  if (t == TYPE_BLOCK || t == TYPE_PAREN || (t >= TYPE_PATH && t <= TYPE_GET_PATH)) return 1;
  if ((t >= TYPE_STRING && t <= TYPE_URL) || t == TYPE_TAG || t == TYPE_EMAIL || t == TYPE_REF) return 2;
  return 0;
}

uint32_t n_as(int32_t, const int32_t*) {
  cell* type = arg(0);
  cell* spec = arg(1);
  uint32_t target = type_of(type) == TYPE_DATATYPE ? datatype::get(type) : type_of(type);
  int cls = as_class(target);
  if (cls == 0 || cls != as_class(type_of(spec)))
    error::fire(err::cat_script, err::script::not_same_class, spec, type);
  cell result = *spec;
  result.header = (result.header & ~uint32_t(FLAG_TYPE_MASK)) | target;
  stack::set_last_keep(&result);
  return 0;
}

// Refinements: 0 /next, 1 /one, 2 /prescan, 3 /scan, 4 /part, 5 /into, 6 /trace.
uint32_t n_transcode(int32_t, const int32_t* r) {
  cell* src = arg(0);
  bool next = r[0] >= 0, one = r[1] >= 0, prescan = r[2] >= 0, scan = r[3] >= 0;
  const cell* part = ref_arg(r, 4);
  cell* into = r[5] >= 0 ? arg(r[5]) : nullptr;
  const cell* callback = r[6] >= 0 ? arg(r[6]) : nullptr;
  bool binary = type_of(src) == TYPE_BINARY;
  int32_t length = binary ? binary::ks_length_q(src) : string::ks_length_q(src);
  if (part) {
    int32_t n;
    if (type_of(part) == TYPE_INTEGER) {
      n = int32_t(part->w2);
    } else {
      if (type_of(part) != type_of(src) || part->w2 != src->w2)
        error::fire(err::cat_script, err::script::not_same_type);
      n = int32_t(part->w1) - int32_t(src->w1);
    }
    length = std::clamp(n, 0, length);
  }
  // A UTF-8 byte-order mark says nothing about the values: skip it.
  int32_t skipped = 0;
  if (binary && length >= 3) {
    const uint8_t* p = binary::ks_head(src);
    if (p[0] == 0xEF && p[1] == 0xBB && p[2] == 0xBF) skipped = 3;
  }
  cell* result = stack::push_cell();
  bool stop_early = next || one || scan;
  bool not_prescan = !prescan, not_scan = !prescan && !scan;
  int32_t consumed = 0;
  int32_t type;
  if (binary) {
    cell source = *src;
    source.w1 += uint32_t(skipped);
    *src = source;
    // The scan allocates (and a trace callback may even change the binary):
    // it reads a copy, never the buffer that a collection may move.
    const uint8_t* head = binary::ks_head(src);
    std::vector<uint8_t> bytes(head, head + (length - skipped));
    type = lexer::scan(result, bytes.data(), bytes.size(), stop_early, not_prescan, not_scan, next, &consumed,
                       callback, src, into);
  } else {
    type = lexer::scan_alt(result, src, length, stop_early, not_prescan, not_scan, next, &consumed,
                           callback, into);
  }
  if (prescan || scan) {
    *result = type > 0 ? datatype_cell(uint32_t(type)) : cell{TYPE_NONE, 0, 0, 0};
  } else if (next && type_of(result) == TYPE_BLOCK) {
    cell* values = stack::push(result);
    if (block::ks_length_q(values) == 0) *result = cell{TYPE_NONE, 0, 0, 0};
    else *result = memory::buffer_of(values->w2)->head_cell()[values->w1];
  }
  if (next) {
    // [value rest], or [type rest] when scanning: the value or type, then
    // the source past it. Both stay on the stack while the block is made.
    cell* rest = stack::push(src);
    rest->w1 += uint32_t(consumed);
    cell* pair = block::make_at(stack::push_cell(), 2);
    block::ks_append(pair, result);
    block::ks_append(pair, rest);
    *result = *pair;
  }
  stack::set_last_keep(result);
  return 0;
}

// transcode/trace: the lexer reports its events to the callback function,
// called with the event word, the source positioned at the token, the
// type, the line and the token (the loaded value, or its offsets).
const char* const lexer_event_names[] = {"prescan", "scan", "load", "open", "close", "error"};

bool call_trace(const cell* callback, uint32_t event, cell* source, const cell* type, int32_t line,
                const cell* token) {
  // A routine! has no interpreted body to call with these arguments.
  if (type_of(callback) != TYPE_FUNCTION) expect_arg(callback, "callback");
  cell args[5];
  uint32_t bit = 0;
  while (bit < 5 && (1u << bit) != event) ++bit;
  word::make_at(symbol::make(lexer_event_names[bit]), &args[0]);
  args[1] = *source;
  args[2] = *type;
  args[3] = cell{TYPE_INTEGER, 0, uint32_t(line), 0};
  args[4] = *token;
  collector::root_cells keep(args, 5);
  cell* answer = interpreter::call_function_with(callback, args, 5);
  bool go = interpreter::true_q(answer);
  stack::pop(1);
  return go;
}

// A callback whose body starts with a block of event words hears only those.
uint32_t trace_events(const cell* callback) {
  constexpr uint32_t ALL = 0x3F;
  if (type_of(callback) != TYPE_FUNCTION) return ALL;
  uint32_t names[6];  // interned first: interning may move the body's buffer
  for (uint32_t i = 0; i < 6; ++i) names[i] = symbol::resolve(symbol::make(lexer_event_names[i]));
  const cell* body = function::extras_at(callback, function::EX_BODY);
  if (!block::any_block_q(type_of(body)) || block::ks_length_q(body) == 0) return ALL;
  const cell* first = memory::buffer_of(body->w2)->head_cell() + body->w1;
  if (type_of(first) != TYPE_BLOCK) return ALL;
  uint32_t mask = 0;
  series_buffer* b = memory::buffer_of(first->w2);
  for (const cell* c = b->head_cell() + first->w1; c < b->tail_cell(); ++c)
    for (uint32_t i = 0; i < 6; ++i)
      if (type_of(c) == TYPE_WORD && symbol::resolve(c->w2) == names[i]) mask |= 1u << i;
  return mask;
}

}  // namespace

void register_series(entry* slots) {
  slots[40] = n_set_op<block::SET_UNION>;
  slots[41] = n_set_op<block::SET_INTERSECT>;
  slots[42] = n_set_op<block::SET_UNIQUE>;
  slots[43] = n_set_op<block::SET_DIFFERENCE>;
  slots[44] = n_set_op<block::SET_EXCLUDE>;
  slots[46] = n_dehex;
  slots[47] = n_enhex;
  slots[70] = n_change_case<case_::upper>;
  slots[71] = n_change_case<case_::lower>;
  slots[83] = n_debase;
  slots[88] = n_new_line;
  slots[89] = n_new_line_q;
  slots[90] = n_enbase;
  slots[97] = n_as;
  slots[105] = n_transcode;
  lexer::set_callback_hook(call_trace, trace_events);
}

}  // namespace kez::natives
