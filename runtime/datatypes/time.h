// time!: a duration or time of day in seconds (type id 43, a child of
// float!). Cell: words 2-3 the double; negative and 24 hours or more are
// allowed.
//
// The components of t are the reader's: hour = t / 3600 truncated toward
// zero, minute = floor((|t| mod 3600) / 60), second = t mod 60 with t's
// sign; t = hour * 3600 + sign(t) * minute * 60 + second. Writing a field
// splits t this way, replaces the field and rebuilds, so writing back what
// was read never changes a value.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::time {

cell* make_at(cell* target, double seconds);
cell* make_in(cell* block, double seconds);
cell* push(double seconds);
inline double get(const cell* value) { return load_double(&value->w2); }

int32_t hour_of(double t);    // truncated toward zero
int32_t minute_of(double t);  // 0-59
double second_of(double t);   // t mod 60, t's sign

// The time text (h:mm:ss[.fff]) appended to a string; answers part less
// the characters written.
int32_t write_text(double t, cell* buffer, int32_t part);

// Field `index` (1 hour, 2 minute, 3 second) of t replaced by value
// (integer!, or float! for the second); invalid-arg for another type.
double with_field(double t, int32_t index, const cell* value);

void init();  // after float!

cell* make(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
cell* add(cell* value1, const cell* value2);
cell* subtract(cell* value1, const cell* value2);
cell* multiply(cell* value1, const cell* value2);
cell* divide(cell* value1, const cell* value2);
cell* round(cell* value, const cell* scale, bool even, bool down, bool half_down, bool floor,
            bool ceiling, bool half_ceiling);
bool even_q(const cell* value);
bool odd_q(const cell* value);

}  // namespace kez::time
