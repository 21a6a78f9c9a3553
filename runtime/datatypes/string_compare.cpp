// Text comparison, the parse dialect's matching tests at a text position,
// and the set operations over the characters of texts.
#include <algorithm>
#include <unordered_set>

#include "runtime/actions.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_text.h"
#include "runtime/stack.h"
#include "runtime/utf.h"

namespace kez::string {

namespace {

inline bool equality_op_q(int32_t op) { return op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND; }
inline bool exact_op_q(int32_t op) { return op == COMP_STRICT_EQUAL || op == COMP_CASE_SORT; }

}  // namespace

int32_t equal_q(const cell* s1, const cell* s2, int32_t op, bool prefix) {
  bool same_place = s1->w2 == s2->w2 && s1->w1 == s2->w1;
  if (op == COMP_SAME) return same_place ? 0 : -1;
  if (same_place && equality_op_q(op)) return 0;
  text_view a = view_of(s1), b = view_of(s2);
  uint32_t l1 = a.length, l2 = b.length, n;
  if (prefix) {
    if (l2 == 0) return op == COMP_FIND ? 1 : 0;
    if (l1 < l2) return 1;
    n = l2;
  } else {
    if (l1 != l2 && (equality_op_q(op) || l2 == 0)) return 1;
    if (l1 == 0) return l2 == 0 ? 0 : -1;
    n = std::min(l1, l2);
  }
  bool exact = exact_op_q(op);
  // The same units are the same characters, under any folding.
  bool same = a.unit == b.unit && std::memcmp(a.p, b.p, size_t(n) * a.unit) == 0;
  if (!same) {
    if (exact && a.unit == b.unit && equality_op_q(op)) return 1;
    for (uint32_t i = 0; i < n; ++i) {
      int32_t c1 = a[i], c2 = b[i];
      if (c1 == c2) continue;
      if (!exact) {
        c1 = fold(c1);
        c2 = fold(c2);
        if (c1 == c2) continue;
      }
      return c1 > c2 ? 1 : -1;
    }
  }
  if (prefix) return 0;
  return l1 > l2 ? 1 : l1 == l2 ? 0 : -1;
}

// Different text types are equal when their texts are (so "abc" = %abc), but
// never strictly equal, and they have no order between them.
int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  if (type_of(value1) != type_of(value2) &&
      (!any_string_q(type_of(value2)) || (op != COMP_EQUAL && op != COMP_NOT_EQUAL)))
    return -2;
  return equal_q(value1, value2, op, false);
}

bool bitset_has_q(const cell* bitset, int32_t cp) {
  series_buffer* b = memory::buffer_of(bitset->w2);
  if (cp < 0 || uint64_t(cp) >= uint64_t(b->used()) * 8) return (bitset->header & FLAG_BITSET_NOT) != 0;
  return (b->head_ptr()[cp >> 3] & (0x80 >> (cp & 7))) != 0;
}

bool match_tag_q(const cell* s, const cell* tag) {
  text_view v = view_of(s);
  uint64_t close = uint64_t(view_of(tag).length) + 1;
  return v.length > close && v[0] == '<' && v[uint32_t(close)] == '>';
}

bool match_bitset_q(const cell* s, const cell* bitset) {
  text_view v = view_of(s);
  return v.length > 0 && bitset_has_q(bitset, v[0]);
}

bool match_value_q(const cell* s, const cell* value, int32_t op) {
  uint32_t type = type_of(value);
  if (type == TYPE_TAG) {
    if (!match_tag_q(s, value)) return false;
    cell inside = *s;  // the text after the "<"
    inside.w1 = view_of(s).head + 1;
    return equal_q(&inside, value, op, true) == 0;
  }
  if (any_string_q(type)) return equal_q(s, value, op, true) == 0;
  if (type == TYPE_CHAR) {
    text_view v = view_of(s);
    if (v.length == 0) return false;
    int32_t c = v[0], cp = int32_t(value->w2);
    return op == COMP_STRICT_EQUAL ? c == cp : fold(c) == fold(cp);
  }
  return false;
}

// --- Set operations --------------------------------------------------------------------

namespace {

// Code points seen so far: a bit map for Latin-1, a hash set above.
class char_set {
 public:
  bool has(int32_t c) const {
    if (c >= 0 && c < 256) return (low_[c >> 6] >> (c & 63)) & 1;
    return high_.count(c) != 0;
  }
  void add(int32_t c) {
    if (c >= 0 && c < 256) low_[c >> 6] |= uint64_t(1) << (c & 63);
    else high_.insert(c);
  }

 private:
  uint64_t low_[4] = {};
  std::unordered_set<int32_t> high_;
};

struct set_context {
  bool case_;
  uint32_t record;
  int32_t key(int32_t c) const { return case_ ? c : fold(c); }
};

// The first characters of s's records.
char_set record_keys(const cell* s, const set_context& ctx) {
  char_set keys;
  text_view v = view_of(s);
  for (uint32_t i = 0; i < v.length; i += ctx.record) keys.add(ctx.key(v[i]));
  return keys;
}

// Appends to out the records of src whose first character is not yet in
// `seen` and (with `other`) is or is not in `other`, as keep_if_in says.
// Nothing here allocates in the heap: `out` has room for every record.
void add_records(series_buffer* out, const cell* src, const set_context& ctx, const char_set* other,
                 bool keep_if_in, char_set& seen) {
  text_view v = view_of(src);
  uint32_t unit = out->unit();
  for (uint32_t i = 0; i < v.length; i += ctx.record) {
    int32_t k = ctx.key(v[i]);
    if ((other && other->has(k) != keep_if_in) || seen.has(k)) continue;
    seen.add(k);
    for (uint32_t j = i, end = std::min(i + ctx.record, v.length); j < end; ++j) {
      utf::put(out->tail_ptr(), int(unit), 0, v[j]);
      out->tail += unit;
    }
  }
}

}  // namespace

cell* do_set_op(cell* a, const cell* b, bool case_, const cell* skip, int op) {
  set_context ctx{case_, 1};
  if (skip) {
    int32_t n = type_of(skip) == TYPE_INTEGER ? int32_t(skip->w2) : 0;
    if (n < 1) series::bad_refine_arg(skip);
    ctx.record = uint32_t(n);
  }
  bool two = op != SET_UNIQUE;
  if (two && !any_string_q(type_of(b))) error::fire(err::cat_script, err::script::invalid_arg, b);
  uint64_t room = uint64_t(view_of(a).length) + (op == SET_UNION || op == SET_DIFFERENCE ? view_of(b).length : 0);
  uint32_t unit = std::max(unit_of(buffer_of(a)), two ? unit_of(buffer_of(b)) : 1u);
  if (room * unit > 0x7FFFFFF0) error::fire(err::cat_internal, err::internal::no_memory);
  cell* result = make_at_unit(stack::push_cell(), uint32_t(room), unit);
  series_buffer* out = buffer_of(result);  // no allocation from here on
  char_set seen;
  switch (op) {
    case SET_UNIQUE: add_records(out, a, ctx, nullptr, false, seen); break;
    case SET_UNION:
      add_records(out, a, ctx, nullptr, false, seen);
      add_records(out, b, ctx, nullptr, false, seen);
      break;
    case SET_INTERSECT: case SET_EXCLUDE: {
      char_set in_b = record_keys(b, ctx);
      add_records(out, a, ctx, &in_b, op == SET_INTERSECT, seen);
      break;
    }
    case SET_DIFFERENCE: {
      char_set in_a = record_keys(a, ctx), in_b = record_keys(b, ctx);
      add_records(out, a, ctx, &in_b, false, seen);
      add_records(out, b, ctx, &in_a, false, seen);
      break;
    }
    default: error::fire(err::cat_script, err::script::invalid_arg);
  }
  *a = cell{a->header, 0, result->w2, 0};
  stack::pop(1);
  return a;
}

}  // namespace kez::string
