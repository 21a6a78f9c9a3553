// date!: a proleptic Gregorian date with an optional time and zone (type
// id 47).
//
// Cell: word 1 the packed date, words 2-3 the time in seconds (a double).
// Packed date: bits 0-1 zone quarter hours, 2-5 zone hours, 6 zone
// negative, 7-11 day, 12-15 month, 16 time present, 17-31 the year (signed).
//
// Invariants:
// - Year, month and day are the local calendar date; the stored time is
//   UTC (local time minus the zone offset), so the local time of day,
//   stored time + offset, lies in [0, 24 h). Without a time the time-present
//   bit is clear and the time is 0.0.
// - Every calendar change goes through the day number (days from 1 March of
//   year 0, floor division throughout), so out-of-range fields roll over.
// - Two dates that are the same instant compare equal, whatever their zones.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::date {

constexpr uint32_t TIME_PRESENT = 0x10000;
constexpr uint32_t ZONE_MASK = 0x7F;

inline int32_t year_of(uint32_t packed) { return int32_t(packed) >> 17; }
inline int32_t month_of(uint32_t packed) { return int32_t(packed >> 12 & 0xF); }
inline int32_t day_of(uint32_t packed) { return int32_t(packed >> 7 & 0x1F); }
inline bool time_q(uint32_t packed) { return (packed & TIME_PRESENT) != 0; }
int32_t zone_seconds(uint32_t packed);

// Calendar services.
int64_t day_number(int32_t year, int32_t month, int32_t day);
inline int64_t day_number(uint32_t packed) { return day_number(year_of(packed), month_of(packed), day_of(packed)); }
// The packed date of a day number, with the zone bits and time flag given.
uint32_t from_day_number(int64_t days, uint32_t zone_and_flag);
bool leap_year_q(int32_t year);
int32_t day_of_year(uint32_t packed);
int32_t weekday(int64_t days);  // 1 Monday .. 7 Sunday
// Carries whole days out of time so that time + zone offset lies in
// [0, 24 h); answers the adjusted day number.
int64_t normalize_time(int64_t days, double& time, int32_t zone_seconds);

// Builders.
cell* push(uint32_t packed, double time);
cell* make_in(cell* block, uint32_t packed, double time);
// The zone is given in minutes east of UTC; its hours must lie in 0-15
// (sign apart), else Script Error invalid-arg.
cell* make_at_fields(cell* target, int32_t year, int32_t month, int32_t day, double time, int32_t zone_minutes,
                     bool time_present);
cell* make_at_numbers(cell* target, int32_t year, int32_t month, int32_t day, int32_t hour,
                      int32_t minute, int32_t second, int32_t nanoseconds);
void set_week(cell* value, int32_t n);
// To the Monday of ISO week n of the date's year (week 1 holds the year's
// first Thursday).
void set_isoweek(cell* value, int32_t n);
void set_weekday(cell* value, int32_t n);
void set_yearday(cell* value, int32_t n);

// Seconds since 1-Jan-1970 UTC, floored; Script Error type-limit when it
// does not fit 32 bits.
int32_t to_epoch(const cell* value);
// a becomes the time! a - b.
cell* difference(cell* a, const cell* b);
// Field 1-14 of the accessor list read into target.
cell* get_field(const cell* value, int32_t index, cell* target);

// The math body (add and subtract).
cell* do_math(cell* left, const cell* right, int32_t op);

void init();

cell* make(cell* proto, const cell* spec, uint32_t type);
cell* to(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t compare(const cell* value1, const cell* value2, int32_t op);
cell* random(cell* value, bool seed, bool secure, bool only);

}  // namespace kez::date
