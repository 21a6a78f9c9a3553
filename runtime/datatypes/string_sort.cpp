// sort of string! (and of binary!, which inherits it): records of /skip
// characters ordered by one character, or by all of them with /all.
#include <cstring>
#include <vector>

#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_text.h"
#include "runtime/datatypes/vector.h"
#include "runtime/memory.h"
#include "runtime/ownership.h"
#include "runtime/sort.h"
#include "runtime/utf.h"
#include "runtime/stack.h"

namespace kez::string {

namespace {

struct order {
  uint32_t unit;
  uint32_t from, to;  // the characters of a record that decide, [from, to)
  bool fold;
  bool reverse;
  uint32_t element;  // a vector!'s element type, 0 for text
};

// Code points are at most 0x10FFFF, so their difference never overflows.
int32_t compare_records(const void* a, const void* b, void* arg, void*) {
  const order& o = *static_cast<const order*>(arg);
  auto pa = static_cast<const uint8_t*>(a), pb = static_cast<const uint8_t*>(b);
  if (o.element) {
    // vector! elements are numbers of any width, compared by value.
    for (uint32_t i = o.from; i < o.to; ++i) {
      double x = vector::number_at(pa + size_t(i) * o.unit, o.unit, o.element);
      double y = vector::number_at(pb + size_t(i) * o.unit, o.unit, o.element);
      if (x != y) return (x < y) != o.reverse ? -1 : 1;
    }
    return 0;
  }
  for (uint32_t i = o.from; i < o.to; ++i) {
    int32_t ca = read_unit(pa, o.unit, i), cb = read_unit(pb, o.unit, i);
    if (ca != cb && o.fold) {
      ca = fold(ca);
      cb = fold(cb);
    }
    if (ca != cb) return o.reverse ? cb - ca : ca - cb;
  }
  return 0;
}

compare_call_fn compare_call = nullptr;

struct call_order {
  const cell* function;
  uint32_t unit, record, offset;
  bool all, reverse;
  uint32_t element;  // as in order
};

// One element (a character, a byte, or a vector! element) as a value.
cell element_value(const call_order& o, const uint8_t* record) {
  if (!o.element) return cell{TYPE_CHAR, 0, uint32_t(read_unit(record, o.unit, o.offset)), 0};
  cell value = *vector::get_value(record + size_t(o.offset) * o.unit, o.unit, o.element);
  stack::pop(1);
  return value;
}

// A record as a new string! on the data stack.
cell* push_record(const std::vector<int32_t>& chars, uint32_t unit) {
  cell* s = make_at_unit(stack::push_cell(), uint32_t(chars.size()), unit);
  series_buffer* b = buffer_of(s);
  for (size_t i = 0; i < chars.size(); ++i) utf::put(b->head_ptr(), int(unit), i, chars[i]);
  b->tail = b->head + uint32_t(chars.size()) * unit;
  return s;
}

// The function is asked whether its first argument sorts before its second,
// with the two records in the order the sort holds them reversed (so a
// "lesser?" function sorts ascending).
int32_t compare_by_function(const void* a, const void* b, void* arg, void* records) {
  const call_order& o = *static_cast<const call_order*>(arg);
  auto pa = static_cast<const uint8_t*>(a), pb = static_cast<const uint8_t*>(b);
  // The call may append to the text: the sort goes on in its new buffer.
  auto& follow = *static_cast<const series::sorted_records*>(records);
  if (!o.all) {
    cell x = element_value(o, pa), y = element_value(o, pb);
    int32_t r = o.reverse ? compare_call(o.function, &x, &y, 1) : compare_call(o.function, &y, &x, 1);
    follow.follow();
    return r;
  }
  if (o.element) {
    // Whole records as vectors of the same kind, copied out before anything
    // allocates: a and b lie in the buffer, which allocations may move.
    size_t n = size_t(o.record) * o.unit;
    std::vector<uint8_t> bytes_a(pa, pa + n), bytes_b(pb, pb + n);
    auto push_vector = [&](const std::vector<uint8_t>& bytes) {
      cell* v = vector::make_at(stack::push_cell(), int32_t(o.record), o.element, o.unit);
      series_buffer* vb = memory::buffer_of(v->w2);
      std::memcpy(vb->head_ptr(), bytes.data(), n);
      vb->tail = vb->head + uint32_t(n);
      return v;
    };
    cell* x = push_vector(bytes_a);
    cell* y = push_vector(bytes_b);
    int32_t r = o.reverse ? compare_call(o.function, x, y, 1) : compare_call(o.function, y, x, 1);
    stack::pop(2);
    follow.follow();
    return r;
  }
  // The records are read before anything allocates: a and b may lie in the
  // text's buffer, which the allocations below may move.
  std::vector<int32_t> ra(o.record), rb(o.record);
  for (uint32_t i = 0; i < o.record; ++i) {
    ra[i] = read_unit(pa, o.unit, i);
    rb[i] = read_unit(pb, o.unit, i);
  }
  cell* x = push_record(ra, o.unit);
  cell* y = push_record(rb, o.unit);
  int32_t r = o.reverse ? compare_call(o.function, x, y, 1) : compare_call(o.function, y, x, 1);
  stack::pop(2);
  follow.follow();
  return r;
}

}  // namespace

void set_compare_call(compare_call_fn fn) { compare_call = fn; }

cell* sort(cell* series, bool case_, const cell* skip, const cell* comparator, const cell* part,
           bool all, bool reverse, bool stable) {
  text_view v = view_of(series);
  uint32_t head = v.head;
  uint32_t length = v.length;
  if (part) {
    int32_t n;
    if (type_of(part) == TYPE_INTEGER) n = int32_t(part->w2);
    else if (type_of(part) == type_of(series) && part->w2 == series->w2) n = int32_t(part->w1) - int32_t(head);
    else series::bad_refine_arg(part);
    if (n < 0) {
      // Sorts the n characters before the head, which moves back to them.
      int64_t start = int64_t(head) + n;
      if (start < 0) {
        series->w1 = 0;
        return series;
      }
      head = uint32_t(start);
      series->w1 = head;
      length = uint32_t(-int64_t(n));
    } else if (uint32_t(n) < length) {
      length = uint32_t(n);
    }
  }
  if (length == 0) return series;
  uint32_t record = 1;
  if (skip) {
    int32_t n = type_of(skip) == TYPE_INTEGER ? int32_t(skip->w2) : 0;
    if (n < 1 || length % uint32_t(n) != 0 || length < uint32_t(n)) series::bad_refine_arg(skip);
    record = uint32_t(n);
  } else if (all) {
    error::fire(err::cat_script, err::script::bad_refines);
  }
  uint32_t offset = 0;
  if (comparator) {
    switch (type_of(comparator)) {
      case TYPE_INTEGER: {
        if (!skip || all) error::fire(err::cat_script, err::script::bad_refines);
        int32_t o = int32_t(comparator->w2);
        if (o < 1 || uint32_t(o) > record) error::fire(err::cat_script, err::script::out_of_range, comparator);
        offset = uint32_t(o - 1);
        break;
      }
      case TYPE_FUNCTION:
        if (!compare_call) error::fire(err::cat_internal, err::internal::not_done);
        break;
      default: series::bad_refine_arg(comparator);
    }
  }
  // Folding is the same for every unit, so a text sorts alike whatever its
  // storage width (a unit-1 text may hold Latin-1 capitals).
  uint32_t element = type_of(series) == TYPE_VECTOR ? series->w3 : 0;
  order o{v.unit, all ? 0 : offset, all ? record : offset + 1,
          !case_ && type_of(series) != TYPE_BINARY && !element, reverse, element};
  bool owned = ownership::notify(series, ownership::SORT, nullptr, int32_t(head), int32_t(length));
  uint8_t* base = nullptr;
  collector::pinned_pointer keep(base);  // a user comparator may let the buffer move
  series::sorted_records records{series, v.unit, uint64_t(head) * v.unit, uint64_t(length) * v.unit, &base};
  records.follow();  // the owner's hook may have moved, cut or widened it
  uint32_t width = record * v.unit;
  call_order by_call{comparator, v.unit, record, offset, all && skip, reverse, element};
  bool user = comparator && type_of(comparator) == TYPE_FUNCTION;
  void* arg = user ? static_cast<void*>(&by_call) : static_cast<void*>(&o);
  sort::comparator fn = user ? compare_by_function : compare_records;
  // Stability is asked for by /stable alone: with /case, records equal in
  // their compared character may still differ elsewhere.
  if (stable) sort::mergesort(&base, length / record, width, arg, &records, fn);
  else sort::qsort(&base, length / record, width, arg, &records, fn);
  if (owned) ownership::notify(series, ownership::SORTED, nullptr, int32_t(head), int32_t(length));
  return series;
}

}  // namespace kez::string
