#include "runtime/datatypes/date.h"

#include <cmath>
#include <cstdio>
#include <cstring>

#include "runtime/actions.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/time.h"
#include "runtime/random.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"

namespace kez::date {

namespace {

int64_t floor_div(int64_t a, int64_t b) { return a / b - ((a % b != 0) && ((a < 0) != (b < 0))); }
int64_t floor_mod(int64_t a, int64_t b) { return a - floor_div(a, b) * b; }

int64_t year_days(int64_t y) { return 365 * y + floor_div(y, 4) - floor_div(y, 100) + floor_div(y, 400); }

constexpr int32_t DAY = 86400;

uint32_t pack(int32_t year, int32_t month, int32_t day, uint32_t zone_and_flag) {
  return uint32_t(year) << 17 | uint32_t(month) << 12 | uint32_t(day) << 7 | zone_and_flag;
}

uint32_t zone_bits(bool negative, int32_t hours, int32_t minutes) {
  return (negative ? 0x40u : 0u) | uint32_t(hours) << 2 | uint32_t(minutes / 15 & 3);
}

double time_of(const cell* value) { return load_double(&value->w2); }

cell* set(cell* target, uint32_t packed, double time) {
  target->header = TYPE_DATE;
  target->w1 = packed;
  store_double(&target->w2, time_q(packed) ? time : 0.0);
  return target;
}

// Day number and UTC time folded back into a cell with the given zone bits.
cell* rebuild(cell* target, int64_t days, double time, uint32_t zone_and_flag) {
  int32_t offset = zone_seconds(zone_and_flag);
  if (zone_and_flag & TIME_PRESENT) days = normalize_time(days, time, offset);
  return set(target, from_day_number(days, zone_and_flag), time);
}

[[noreturn]] void bad_to(const cell* spec) { math::fire_with_type(err::script::bad_to_arg, TYPE_DATE, spec); }

// The zone bits of a time! offset; hours beyond 15 have no room.
uint32_t zone_of_time(const cell* value) {
  double t = time::get(value);
  int32_t hours = time::hour_of(t);
  if (hours < -15 || hours > 15) error::fire(err::cat_script, err::script::invalid_arg, value);
  return zone_bits(t < 0, hours < 0 ? -hours : hours, time::minute_of(t));
}

// An integer! zone: its hours modulo 16, no minutes.
uint32_t zone_of_integer(int32_t n) {
  int32_t hours = n % 16;
  return zone_bits(hours < 0, hours < 0 ? -hours : hours, 0);
}

int32_t week_of(int64_t days, int32_t year) {
  int64_t jan1 = day_number(year, 1, 1);
  int32_t j = int32_t(floor_mod(jan1 + 3, 7));
  int32_t y = int32_t(days - jan1 + 1);
  return y <= 7 - j ? 1 : (y + j - 1) / 7 + 1;
}

int64_t iso_start(int32_t year) {
  int64_t jan1 = day_number(year, 1, 1);
  int32_t wd = weekday(jan1);
  return jan1 + (wd <= 4 ? 1 : 8) - wd;
}

int32_t isoweek_of(int64_t days, int32_t year) {
  int64_t start = iso_start(year);
  if (days >= iso_start(year + 1)) return 1;
  if (days >= start) return int32_t((days - start) / 7 + 1);
  int32_t wd = weekday(day_number(year, 1, 1));
  if (wd == 5) return 53;
  if (wd == 6) return leap_year_q(year - 1) ? 53 : 52;
  return 52;
}

// Month n of a year, rolled into the years around it.
void roll_month(int32_t& year, int32_t& month, int64_t n) {
  year += int32_t(floor_div(n - 1, 12));
  month = int32_t(floor_mod(n - 1, 12)) + 1;
}

}  // namespace

int32_t zone_seconds(uint32_t packed) {
  int32_t s = int32_t(packed >> 2 & 0xF) * 3600 + int32_t(packed & 3) * 900;
  return packed & 0x40 ? -s : s;
}

int64_t day_number(int32_t year, int32_t month, int32_t day) {
  int64_t m = (month + 9) % 12;
  int64_t y = year - m / 10;
  return year_days(y) + (306 * m + 5) / 10 + (day - 1);
}

uint32_t from_day_number(int64_t d, uint32_t zone_and_flag) {
  int64_t y = floor_div(10000 * d + 14780, 3652425);
  int64_t r = d - year_days(y);
  if (r < 0) {
    --y;
    r = d - year_days(y);
  }
  int64_t mi = (100 * r + 52) / 3060;
  int32_t month = int32_t((mi + 2) % 12 + 1);
  int32_t year = int32_t(y + (mi + 2) / 12);
  int32_t day = int32_t(r - (306 * mi + 5) / 10 + 1);
  return pack(year, month, day, zone_and_flag & (ZONE_MASK | TIME_PRESENT));
}

bool leap_year_q(int32_t year) { return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0; }

int32_t day_of_year(uint32_t packed) {
  return int32_t(day_number(packed) - day_number(year_of(packed), 1, 1) + 1);
}

int32_t weekday(int64_t days) { return int32_t(floor_mod(days + 2, 7)) + 1; }

int64_t normalize_time(int64_t days, double& time, int32_t offset) {
  // Explicit truncation, as the carried hours are counted toward zero.
  double hours = std::trunc(double(offset) / 3600.0 + time / 3600.0);
  if (!(std::fabs(hours) < 1e15)) math::fire_with_type(err::script::type_limit, TYPE_DATE);
  int64_t n = int64_t(hours) / 24;
  days += n;
  time -= double(n) * DAY;
  if (time + offset < 0) {
    --days;
    time += DAY;
  }
  return days;
}

cell* push(uint32_t packed, double time) { return set(stack::push_cell(), packed, time); }
cell* make_in(cell* block, uint32_t packed, double time) { return set(block::alloc_tail(block), packed, time); }

cell* make_at_fields(cell* target, int32_t year, int32_t month, int32_t day, double time, int32_t zone_minutes,
                     bool time_present) {
  // The sign belongs to the whole offset: -0:30 is half an hour west.
  int32_t east = zone_minutes < 0 ? -zone_minutes : zone_minutes;
  if (east / 60 > 15) {
    cell culprit;
    integer::make_at(&culprit, zone_minutes / 60);
    error::fire(err::cat_script, err::script::invalid_arg, &culprit);
  }
  uint32_t zone = zone_bits(zone_minutes < 0, east / 60, east % 60);
  if (!time_present) return set(target, pack(year, month, day, zone), 0.0);
  return rebuild(target, day_number(year, month, day), time - zone_seconds(zone), zone | TIME_PRESENT);
}

cell* make_at_numbers(cell* target, int32_t year, int32_t month, int32_t day, int32_t hour,
                      int32_t minute, int32_t second, int32_t nanoseconds) {
  double t = hour * 3600.0 + minute * 60.0 + second + nanoseconds * 1e-9;
  return rebuild(target, day_number(year, month, day), t, TIME_PRESENT);
}

namespace {
void move_to(cell* value, int64_t days) {
  uint32_t keep = value->w1 & (ZONE_MASK | TIME_PRESENT);
  value->w1 = from_day_number(days, keep);
}
}  // namespace

void set_weekday(cell* value, int32_t n) {
  int64_t d = day_number(value->w1);
  move_to(value, d - (weekday(d) - 1) + (n - 1));
}

void set_yearday(cell* value, int32_t n) { move_to(value, day_number(year_of(value->w1), 1, 1) + n - 1); }

void set_isoweek(cell* value, int32_t n) { move_to(value, iso_start(year_of(value->w1)) + int64_t(n - 1) * 7); }

void set_week(cell* value, int32_t n) {
  int64_t jan1 = day_number(year_of(value->w1), 1, 1);
  move_to(value, n <= 1 ? jan1 : jan1 + int64_t(n - 2) * 7 + 7 - floor_mod(jan1 + 3, 7));
}

int32_t to_epoch(const cell* value) {
  double s = double(day_number(value->w1) - day_number(1970, 1, 1)) * DAY + std::floor(time_of(value) + 0.5);
  if (!(s >= -2147483648.0 && s <= 2147483647.0)) math::fire_with_type(err::script::type_limit, TYPE_INTEGER);
  return int32_t(s);
}

cell* difference(cell* a, const cell* b) {
  double t = double(day_number(a->w1) - day_number(b->w1)) * DAY + (time_of(a) - time_of(b));
  return time::make_at(a, t);
}

cell* get_field(const cell* value, int32_t index, cell* target) {
  uint32_t p = value->w1;
  double local = time_of(value) + zone_seconds(p);
  int64_t days = day_number(p);
  switch (index) {
    case 1: return set(target, p & ~(ZONE_MASK | TIME_PRESENT), 0.0);
    case 2: return integer::make_at(target, year_of(p));
    case 3: return integer::make_at(target, month_of(p));
    case 4: return integer::make_at(target, day_of(p));
    case 5:
    case 12: return time_q(p) ? time::make_at(target, zone_seconds(p)) : none::make_at(target);
    case 6: return time_q(p) ? time::make_at(target, local) : none::make_at(target);
    case 7: return integer::make_at(target, time::hour_of(local));
    case 8: return integer::make_at(target, time::minute_of(local));
    case 9: return float_::make_at(target, std::fmod(local, 60.0));
    case 10: return integer::make_at(target, weekday(days));
    case 11: return integer::make_at(target, day_of_year(p));
    case 13: return integer::make_at(target, week_of(days, year_of(p)));
    case 14: return integer::make_at(target, isoweek_of(days, year_of(p)));
    default: return nullptr;
  }
}

namespace {

// Writes field `index` of the date in place with `value`. Every check is
// made before the cell changes.
void set_field(cell* d, int32_t index, const cell* value) {
  uint32_t vt = type_of(value);
  bool calendar = (index >= 2 && index <= 4) || index == 10 || index == 11 || index == 13 || index == 14;
  if (calendar && vt != TYPE_INTEGER) error::fire(err::cat_script, err::script::invalid_arg, value);
  uint32_t p = d->w1;
  uint32_t zone = p & ZONE_MASK;
  int32_t n = vt == TYPE_INTEGER ? integer::get(value) : 0;
  int32_t year = year_of(p), month = month_of(p), day = day_of(p);
  double stored = time_of(d);
  switch (index) {
    case 1:
      if (vt != TYPE_DATE) error::fire(err::cat_script, err::script::invalid_arg, value);
      d->w1 = pack(year_of(value->w1), month_of(value->w1), day_of(value->w1), p & (ZONE_MASK | TIME_PRESENT));
      return;
    case 2: move_to(d, day_number(n, month, day)); return;
    case 3:
      roll_month(year, month, n);
      move_to(d, day_number(year, month, day));
      return;
    case 4: move_to(d, day_number(year, month, 0) + n); return;
    case 5:
    case 12: {
      uint32_t z;
      if (vt == TYPE_INTEGER) z = zone_of_integer(n);
      else if (vt == TYPE_TIME) z = zone_of_time(value);
      else error::fire(err::cat_script, err::script::invalid_arg, value);
      double local = time_q(p) ? stored + zone_seconds(p) : 0.0;
      // zone keeps the clock time (the instant moves); timezone keeps the instant.
      double t = index == 5 ? local - zone_seconds(z) : stored;
      rebuild(d, day_number(p), t, z | TIME_PRESENT);
      return;
    }
    case 6:
      if (vt == TYPE_NONE) {
        set(d, p & ~TIME_PRESENT, 0.0);
        return;
      }
      if (vt != TYPE_TIME) error::fire(err::cat_script, err::script::invalid_arg, value);
      rebuild(d, day_number(p), time::get(value) - zone_seconds(zone), zone | TIME_PRESENT);
      return;
    case 7: {
      double local = time::with_field(stored + zone_seconds(p), 1, value);
      rebuild(d, day_number(p), local - zone_seconds(p), zone | TIME_PRESENT);
      return;
    }
    case 8:
    case 9:
      rebuild(d, day_number(p), time::with_field(stored, index - 6, value), zone | TIME_PRESENT);
      return;
    case 10: set_weekday(d, n); return;
    case 11: set_yearday(d, n); return;
    case 13: set_week(d, n); return;
    case 14: set_isoweek(d, n); return;
  }
}

cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path,
                const cell* grand_parent, const cell* previous, int32_t index, bool, bool, bool, bool) {
  int32_t field = system_stub::accessor_index(TYPE_DATE, element);
  if (field < 1 || field > 14) error::fire(err::cat_script, err::script::invalid_path, element, path);
  if (value) {
    const cell old = *parent;
    set_field(parent, field, value);
    system_stub::scalar_changed(grand_parent, previous, index, &old, parent);
    return parent;
  }
  cell copy = *parent;
  return get_field(&copy, field, parent);
}

cell* pick(cell* series, int32_t index, const cell* boxed) {
  int32_t field = boxed ? system_stub::accessor_index(TYPE_DATE, boxed) : index;
  if (field < 1 || field > 14) error::fire(err::cat_script, err::script::out_of_range, boxed);
  cell copy = *series;
  return get_field(&copy, field, series);
}

int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  return form(value, buffer, arg, part);
}

// make and to from a block of numbers and times.
cell* from_block(cell* proto, const cell* spec, bool strict) {
  cell b = *spec;
  int32_t n = block::ks_length_q(&b);
  const cell* v = block::ks_head(&b);
  if (n < 3) bad_to(spec);
  int32_t first = 0, month = 0, third = 0, hour = 0, minute = 0, zone_h = 0, zone_m = 0;
  int32_t second_i = 0;
  double second_f = 0.0, clock = 0.0;
  const cell* zone_time = nullptr;
  bool clock_given = false, fields_given = false;
  int state = 0;
  for (int32_t i = 0; i < n; ++i) {
    uint32_t t = type_of(v + i);
    int32_t k = t == TYPE_INTEGER ? integer::get(v + i) : 0;
    int next = -1;
    if (t == TYPE_INTEGER) {
      switch (state) {
        case 0: first = k; next = 1; break;
        case 1: month = k; next = 2; break;
        case 2: third = k; next = 3; break;
        case 3: hour = k; fields_given = true; next = 8; break;
        case 4: zone_h = k; next = 6; break;
        case 6: zone_m = k; next = 7; break;
        case 8: minute = k; next = 9; break;
        case 9: second_i = k; next = 10; break;
        case 10: zone_h = k; next = 12; break;
        case 12: zone_m = k; next = 13; break;
      }
    } else if (t == TYPE_TIME) {
      switch (state) {
        case 3: clock = time::get(v + i); clock_given = true; next = 4; break;
        case 4: zone_time = v + i; next = 5; break;
        case 10: zone_time = v + i; next = 11; break;
      }
    } else if (t == TYPE_FLOAT && state == 9) {
      second_f = float_::get(v + i);
      next = 10;
    }
    if (next < 0) bad_to(spec);
    state = next;
  }
  int32_t day = first, year = third;
  if (first >= 100 && first > third) {
    day = third;
    year = first;
  }
  uint32_t zone;
  if (zone_time) {
    zone = zone_of_time(zone_time);
  } else {
    if (zone_h < -15 || zone_h > 15) {
      cell culprit;
      integer::make_at(&culprit, zone_h);
      error::fire(err::cat_script, err::script::invalid_arg, &culprit);
    }
    zone = zone_bits(zone_h < 0, zone_h < 0 ? -zone_h : zone_h, zone_m);
  }
  if (fields_given) clock = hour * 3600.0 + minute * 60.0 + (second_f != 0.0 ? second_f : double(second_i));
  bool time_present = n > 3;
  int32_t y = year, m = 0;
  roll_month(y, m, month);
  int64_t days = day_number(y, m, 1) + day - 1;
  if (strict) {
    uint32_t p = from_day_number(days, 0);
    bool same = year_of(p) == year && month_of(p) == month && day_of(p) == day;
    if (clock_given) {
      hour = time::hour_of(clock);
      minute = time::minute_of(clock);
    }
    if (!same || (time_present && (hour < 0 || hour > 23 || minute < 0 || minute > 59))) bad_to(spec);
  }
  if (!time_present) return set(proto, from_day_number(days, zone), 0.0);
  return rebuild(proto, days, clock - zone_seconds(zone), zone | TIME_PRESENT);
}

cell* convert(cell* proto, const cell* spec, bool strict) {
  switch (type_of(spec)) {
    case TYPE_DATE: *proto = *spec; return proto;
    case TYPE_BLOCK:
    case TYPE_PAREN:
    case TYPE_HASH: return from_block(proto, spec, strict);
    case TYPE_INTEGER: {
      int64_t n = integer::get(spec);
      return rebuild(proto, day_number(1970, 1, 1) + floor_div(n, DAY), double(floor_mod(n, DAY)), TIME_PRESENT);
    }
    default:
      // Text holding one date literal, as the other scalars read it.
      if (system_stub::load_as(spec, TYPE_DATE, proto)) return proto;
      bad_to(spec);
  }
}

}  // namespace

cell* make(cell* proto, const cell* spec, uint32_t) { return convert(proto, spec, true); }
cell* to(cell* proto, const cell* spec, uint32_t) { return convert(proto, spec, false); }

int32_t form(const cell* value, cell* buffer, const cell*, int32_t part) {
  uint32_t p = value->w1;
  const char* name = system_stub::month_name(month_of(p));
  if (!name || std::strlen(name) < 3) error::fire(err::cat_script, err::script::invalid_months);
  char text[64];
  int32_t year = year_of(p);
  int n;
  if (year < 0) n = std::snprintf(text, sizeof text, "%d/%.3s/-%d", day_of(p), name, -year);
  else n = std::snprintf(text, sizeof text, "%d-%.3s-%s%d", day_of(p), name,
                         year < 10 ? "000" : year < 100 ? "00" : "", year);
  string::concatenate_literal(buffer, text);
  if (!time_q(p)) return part - n;
  string::concatenate_literal(buffer, "/");
  int32_t offset = zone_seconds(p);
  part = time::write_text(time_of(value) + offset, buffer, part - n - 1);
  if (offset == 0) return part;
  int32_t a = offset < 0 ? -offset : offset;
  int z = std::snprintf(text, sizeof text, "%c%02d:%02d", offset < 0 ? '-' : '+', a / 3600, a % 3600 / 60);
  string::concatenate_literal(buffer, text);
  return part - z;
}

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  if (type_of(value2) != TYPE_DATE) return -2;
  uint32_t p1 = value1->w1, p2 = value2->w1;
  double t1 = time_of(value1), t2 = time_of(value2);
  if (op == COMP_SAME) {
    uint32_t calendar = ~(ZONE_MASK | TIME_PRESENT);
    uint64_t b1, b2;
    std::memcpy(&b1, &t1, 8);
    std::memcpy(&b2, &t2, 8);
    return (p1 & calendar) == (p2 & calendar) && b1 == b2 ? 0 : 1;
  }
  // Instants: the local day number and the UTC time of that day.
  double a = double(day_number(p1) - day_number(p2)) * DAY + t1;
  if (float_::almost_equal_q(a, t2)) return 0;
  if (op <= COMP_STRICT_EQUAL || op == COMP_FIND) return 1;
  return a < t2 ? -1 : 1;
}

cell* do_math(cell* left, const cell* right, int32_t op) {
  uint32_t p = left->w1;
  int64_t days = day_number(p);
  double t = time_of(left);
  uint32_t flags = p & (ZONE_MASK | TIME_PRESENT);
  switch (type_of(right)) {
    case TYPE_INTEGER: {
      int64_t n = integer::get(right);
      if (op == OP_ADD) days += n;
      else if (op == OP_SUBTRACT) days -= n;
      else math::invalid_type(right);
      break;
    }
    case TYPE_TIME:
      if (op == OP_ADD) t += time::get(right);
      else if (op == OP_SUBTRACT) t -= time::get(right);
      else math::invalid_type(right);
      flags |= TIME_PRESENT;
      break;
    case TYPE_DATE: {
      if (op != OP_SUBTRACT) math::not_related(TYPE_DATE);
      double dt = t - time_of(right);
      int64_t n = normalize_time(days - day_number(right->w1), dt, zone_seconds(p));
      return integer::make_at(left, int32_t(n));
    }
    default: math::invalid_type(right);
  }
  return rebuild(left, days, t, flags);
}

namespace {
cell* add(cell* value1, const cell* value2) { return do_math(value1, value2, OP_ADD); }
cell* subtract(cell* value1, const cell* value2) { return do_math(value1, value2, OP_SUBTRACT); }
}  // namespace

cell* random(cell* value, bool seed, bool secure, bool) {
  uint32_t p = value->w1;
  if (seed) {
    kez::random::seed(p + uint32_t(int32_t(time_of(value))));
    *value = cell{TYPE_UNSET, 0, 0, 0};
    return value;
  }
  int64_t days = day_number(p);
  int64_t limit = days < 1 ? 1 : days > INT32_MAX ? INT32_MAX : days;
  int64_t drawn = kez::random::range(secure, int32_t(limit)) - 1;
  uint32_t flags = p & (ZONE_MASK | TIME_PRESENT);
  double t = 0.0;
  if (time_q(p)) {
    uint32_t r = secure ? kez::random::next_secure() : kez::random::next_uint32();
    flags = (flags & ~ZONE_MASK) | (r & ZONE_MASK);
    t = float_::random_double(86400.0, secure);
    if (t >= 86400.0) t = 0.0;
  }
  return rebuild(value, drawn, t, flags);
}

void init() {
  datatype::registration(TYPE_DATE, 0, "date!")
      .set<ACT_MAKE>(make)
      .set<ACT_RANDOM>(random)
      .set<ACT_TO>(to)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_EVAL_PATH>(eval_path)
      .set<ACT_COMPARE>(compare)
      .set<ACT_ADD>(add)
      .set<ACT_SUBTRACT>(subtract)
      .set<ACT_PICK>(pick)
      .commit();
  math::set_math_body(TYPE_DATE, do_math);
  math::set_integer_converter(TYPE_DATE, to_epoch);
}

}  // namespace kez::date
