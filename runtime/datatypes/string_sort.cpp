// sort of string! (and of binary!, which inherits it): records of /skip
// characters ordered by one character, or by all of them with /all.
#include "runtime/actions.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_text.h"
#include "runtime/sort.h"

namespace kez::string {

namespace {

struct order {
  uint32_t unit;
  uint32_t from, to;  // the characters of a record that decide, [from, to)
  bool fold;
  bool reverse;
};

// Code points are at most 0x10FFFF, so their difference never overflows.
int32_t compare_records(const void* a, const void* b, void* arg, void*) {
  const order& o = *static_cast<const order*>(arg);
  auto pa = static_cast<const uint8_t*>(a), pb = static_cast<const uint8_t*>(b);
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

[[noreturn]] void bad_refine_arg(const cell* value) {
  error::fire(err::cat_script, err::script::invalid_refine_arg, nullptr, value);
}

}  // namespace

cell* sort(cell* series, bool case_, const cell* skip, const cell* comparator, const cell* part,
           bool all, bool reverse, bool stable) {
  text_view v = view_of(series);
  uint32_t head = v.head;
  uint32_t length = v.length;
  if (part) {
    int32_t n;
    if (type_of(part) == TYPE_INTEGER) n = int32_t(part->w2);
    else if (type_of(part) == type_of(series) && part->w2 == series->w2) n = int32_t(part->w1) - int32_t(head);
    else bad_refine_arg(part);
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
    if (n < 1 || length % uint32_t(n) != 0 || length < uint32_t(n)) bad_refine_arg(skip);
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
        // A user comparator needs the function caller, which is not there yet.
        error::fire(err::cat_internal, err::internal::not_done);
      default: bad_refine_arg(comparator);
    }
  }
  // Folding is the same for every unit, so a text sorts alike whatever its
  // storage width (a unit-1 text may hold Latin-1 capitals).
  order o{v.unit, all ? 0 : offset, all ? record : offset + 1, !case_ && type_of(series) != TYPE_BINARY,
          reverse};
  series_buffer* b = buffer_of(series);
  uint8_t* base = b->head_ptr() + size_t(head) * v.unit;
  uint32_t width = record * v.unit;
  // Stability is asked for by /stable alone: with /case, records equal in
  // their compared character may still differ elsewhere.
  if (stable) sort::mergesort(&base, length / record, width, &o, nullptr, compare_records);
  else sort::qsort(&base, length / record, width, &o, nullptr, compare_records);
  return series;
}

}  // namespace kez::string
