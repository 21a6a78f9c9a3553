// find and select of string! (binary! inherits them): a scan forward, or
// backward with /last or /reverse, for a character, a bit set's members, a
// single byte, or a text (anything else is searched for by its formed text).
#include <algorithm>
#include <vector>

#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/datatypes/char_scan.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_text.h"
#include "runtime/datatypes/vector.h"
#include "runtime/stack.h"

namespace kez::string {

namespace {

// What a scan looks for, gathered before the scan starts (gathering may
// allocate; the scan does not). A text of up to INLINE characters is kept
// in the struct itself, a longer one on the heap.
struct target {
  static constexpr uint32_t INLINE = 16;
  enum kind { TEXT, BITSET, NUMBER } kind = TEXT;
  const cell* bitset = nullptr;
  double number = 0;    // a float element of a binary!
  int32_t first = -1;   // a text's first character as given (not folded)
  uint32_t size = 0;
  int32_t* text = own;  // folded when the scan folds
  int32_t own[INLINE];
  std::vector<int32_t> spill;

  target() = default;
  target(const target&) = delete;
  target& operator=(const target&) = delete;
  uint32_t length() const { return kind == TEXT ? size : 1; }
  int32_t* resize(uint32_t n) {
    size = n;
    if (n > INLINE) {
      spill.resize(n);
      text = spill.data();
    }
    return text;
  }
  void one(int32_t c, bool folded) {
    first = c;
    *resize(1) = folded ? fold(c) : c;
  }
};

template <class T>
void copy_units(const uint8_t* p, uint32_t n, bool folded, int32_t* out) {
  for (uint32_t i = 0; i < n; ++i) {
    int32_t c = unit_at<T>(p, int32_t(i));
    out[i] = folded ? fold(c) : c;
  }
}

void text_of(const cell* s, bool folded, target& t) {
  text_view v = view_of(s);
  int32_t* out = t.resize(v.length);
  if (v.length == 0) return;
  t.first = v[0];
  switch (v.unit) {
    case 1: return copy_units<uint8_t>(v.p, v.length, folded, out);
    case 2: return copy_units<uint16_t>(v.p, v.length, folded, out);
    default: return copy_units<int32_t>(v.p, v.length, folded, out);
  }
}

void target_of(target& t, const cell* value, uint32_t series_type, bool folded) {
  uint32_t type = type_of(value);
  bool binary = series_type == TYPE_BINARY;
  if (type == TYPE_CHAR) {
    t.one(int32_t(value->w2), folded);
  } else if (type == TYPE_BITSET) {
    t.kind = target::BITSET;
    t.bitset = value;
  } else if (type == TYPE_BINARY) {
    if (!binary) error::fire(err::cat_script, err::script::invalid_arg, value);
    text_of(value, false, t);
  } else if (binary && type == TYPE_INTEGER) {
    t.one(int32_t(value->w2), false);
  } else if (binary && type == TYPE_FLOAT) {
    t.kind = target::NUMBER;
    t.number = load_double(&value->w2);
  } else if (binary && any_string_q(type)) {
    // A text in bytes is its UTF-8 form.
    cell copy = *value;
    collector::root_cells hold(&copy);
    int32_t n = -1;
    const uint8_t* p = utf8_bytes(&copy, n);
    std::copy(p, p + n, t.resize(uint32_t(n)));
    if (n > 0) t.first = p[0];
  } else if (any_string_q(type) && type != TYPE_TAG) {
    text_of(value, folded, t);
  } else {
    // Everything else, a tag! with its brackets included, by its formed text.
    cell item = *value;
    collector::root_cells hold(&item);
    cell* formed = make_at(stack::push_cell(), 16);
    actions::form_dispatch(&item, formed, nullptr, 0x7FFFFFFF);
    text_of(formed, folded, t);
    stack::pop(1);
  }
}

bool element_matches(const target& t, int32_t c, bool folded) {
  switch (t.kind) {
    case target::BITSET: return bitset_has_q(t.bitset, c);
    case target::NUMBER: return double(c) == t.number;
    default: return (folded ? fold(c) : c) == t.text[0];
  }
}

// Whether the n characters of text (folded as the scan folds) are at start.
bool text_matches(const text_view& v, uint32_t start, const int32_t* text, uint32_t n, bool folded) {
  for (uint32_t k = 0; k < n; ++k) {
    int32_t c = v[start + k];
    if ((folded ? fold(c) : c) != text[k]) return false;
  }
  return true;
}

// The found position (match start, absolute index) and its length, or -1.
struct found {
  int64_t at = -1;
  uint32_t length = 0;
};

// A forward scan of [lo, hi) for a text: its first character found by
// char_set scans, the rest compared where one is found.
found scan_forward(const text_view& whole, int64_t lo, int64_t hi, const target& t, bool folded) {
  uint32_t m = t.size;
  const char_set& set = char_set_of(t.first, !folded);
  int32_t stop = int32_t(hi - m + 1);
  for (int32_t i = int32_t(lo); i < stop; ++i) {
    i = scan_text<true>(whole, i, stop, set, t.first);
    if (i >= stop) break;
    if (m == 1 || text_matches(whole, uint32_t(i) + 1, t.text + 1, m - 1, folded)) return {i, m};
  }
  return {};
}

// Whether a vector's element (read as its element type) equals the value:
// numbers by value, characters by code point.
bool vector_element_q(const uint8_t* p, uint32_t width, uint32_t etype, const cell* value) {
  uint32_t vt = type_of(value);
  bool number = vt == TYPE_INTEGER || vt == TYPE_FLOAT || vt == TYPE_PERCENT;
  if (etype == TYPE_CHAR) return vt == TYPE_CHAR && vector::number_at(p, width, etype) == double(int32_t(value->w2));
  if (!number) return false;
  double want = vt == TYPE_INTEGER ? double(int32_t(value->w2)) : float_::get(value);
  return vector::number_at(p, width, etype) == want;
}

// The element scan of a vector! over [lo, hi) from `from`: one element at a
// time, compared by value (its bytes are no characters).
found scan_vector(cell* series, const cell* value, bool match, int64_t lo, int64_t hi, int64_t from, int64_t step) {
  series_buffer* b = buffer_of(series);
  uint32_t width = b->unit();
  for (int64_t i = from; i >= lo && i < hi; i += step) {
    if (vector_element_q(b->head_ptr() + i * width, width, series->w3, value)) return {i, 1};
    if (match) break;
  }
  return {};
}

found scan(cell* series, const cell* value, const find_options& o) {
  uint32_t stype = type_of(series);
  text_view v = view_of(series);
  uint32_t total = v.head + v.length;
  int64_t head = int32_t(series->w1) < 0 ? 0 : std::min<int64_t>(int32_t(series->w1), total);
  if (total == 0 || (!o.reverse && head >= total)) return {};
  if (o.any || o.with) error::fire(err::cat_internal, err::internal::not_done);
  int64_t step = 1;
  if (o.skip) {
    step = type_of(o.skip) == TYPE_INTEGER ? int32_t(o.skip->w2) : 0;
    if (step < 1) error::fire(err::cat_script, err::script::out_of_range, o.skip);
  }
  int64_t count = -1;
  if (o.part) {
    if (type_of(o.part) == TYPE_INTEGER) count = int32_t(o.part->w2);
    else if (type_of(o.part) == stype && o.part->w2 == series->w2) count = std::abs(int64_t(int32_t(o.part->w1)) - head);
    else series::bad_refine_arg(o.part);
    if (count < 1) return {};
  }
  // The range [lo, hi) and where the scan starts; backward scans visit the
  // last character of each candidate match.
  int64_t lo, hi, from;
  if (o.reverse) {
    if (o.match) return {};
    lo = count >= 0 ? std::max<int64_t>(head - count, 0) : 0;
    hi = head;
    from = head - 1;
    if (from < lo) return {};
    step = -step;
  } else {
    lo = head;
    hi = count >= 0 ? std::min<int64_t>(head + count, total) : total;
    from = o.last ? hi - 1 : lo;
    if (o.last) step = -step;
  }
  if (stype == TYPE_VECTOR) return scan_vector(series, value, o.match, lo, hi, from, step);
  bool folded = any_string_q(stype) && !o.case_ && !o.same;
  target t;
  target_of(t, value, stype, folded);
  if (t.kind == target::TEXT && t.size == 0) return {};
  uint32_t m = t.length();
  series_buffer* b = buffer_of(series);  // read after target_of's allocations
  text_view whole{b->head_ptr(), v.unit, 0, total};
  if (step == 1 && !o.reverse && !o.match && t.kind == target::TEXT && t.first >= 0)
    return scan_forward(whole, lo, hi, t, folded);
  for (int64_t i = from; i >= lo && i < hi; i += step) {
    int64_t start = step > 0 ? i : i - m + 1;
    if (start < lo || start + m > hi) break;  // no later candidate fits either
    bool hit = t.kind == target::TEXT && m > 1 ? text_matches(whole, uint32_t(start), t.text, m, folded)
                                                : element_matches(t, whole[uint32_t(start)], folded);
    if (hit) return {start, m};
    if (o.match) break;
  }
  return {};
}

}  // namespace

cell* find(cell* series, const cell* value, const find_options& o) {
  found f = scan(series, value, o);
  if (f.at < 0) return none::make_at(series);
  series->w1 = uint32_t(f.at + (o.tail ? f.length : 0));
  return series;
}

cell* select(cell* series, const cell* value, const find_options& o) {
  find_options plain = o;
  plain.tail = plain.match = false;
  found f = scan(series, value, plain);
  if (f.at < 0) return none::make_at(series);
  text_view v = view_of(series);
  uint64_t after = uint64_t(f.at) + f.length;
  if (after >= uint64_t(v.head) + v.length) return none::make_at(series);
  series_buffer* b = buffer_of(series);
  if (type_of(series) == TYPE_VECTOR) {
    *series = *vector::get_value(b->head_ptr() + after * b->unit(), b->unit(), series->w3);
    stack::pop(1);
    return series;
  }
  int32_t c = read_unit(b->head_ptr(), v.unit, uint32_t(after));
  *series = cell{type_of(series) == TYPE_BINARY ? uint32_t(TYPE_INTEGER) : uint32_t(TYPE_CHAR), 0, uint32_t(c), 0};
  return series;
}

}  // namespace kez::string

namespace kez::string {

cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path, const cell*,
                const cell*, int32_t, bool case_, bool, bool, bool notify) {
  uint32_t type = type_of(element);
  if (type == TYPE_WORD) error::fire(err::cat_script, err::script::invalid_path, path, element);
  cell* target = stack::push(parent);  // the answer's cell; the parent stays as it is
  if (type == TYPE_INTEGER) {
    // The type's own pick and poke: a vector! reads its elements as numbers.
    int32_t index = actions::get_index_argument(element);
    if (!value) return actions::get_action_ptr_value<ACT_PICK>(target)(target, index, element);
    actions::get_action_ptr_value<ACT_POKE>(target)(target, index, element, value, notify);
    return const_cast<cell*>(value);
  }
  find_options o;
  o.case_ = case_;
  if (!value) return select(target, element, o);
  if (type_of(find(target, element, o)) == TYPE_NONE)
    error::fire(err::cat_script, err::script::bad_path_set, path, element);
  cell two{TYPE_INTEGER, 0, 2, 0};
  actions::get_action_ptr_value<ACT_POKE>(target)(target, 2, &two, value, notify);
  return const_cast<cell*>(value);
}

}  // namespace kez::string
