// The platform layer: the operating-system services the runtime and the
// natives call (start-up, current directory, sleeping, environment, time of
// day, date and time zone). Text crosses it as UTF-8; buffers it hands out
// are tracked allocations that the caller owns. Virtual memory lives in
// platform/vmem.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>

namespace kez::os {

// Platform start-up: the console output.
void init();

}  // namespace kez::os

namespace kez::platform {

// The current directory as a tracked, NUL-terminated buffer; *length gets its
// length in bytes without the NUL. Null (and length 0) when it cannot be read.
char* get_current_dir(size_t* length);
bool set_current_dir(const char* path);

// Sleeps the given number of seconds: wait_milliseconds of it.
void wait(double seconds);
// seconds x 1000 truncated, at least 1; NaN and negative give 1, and the
// result is capped at 0xFFFFFFFE (some 49 days).
uint32_t wait_milliseconds(double seconds);

// The variable's value copied into buffer (size bytes, NUL included): the
// length copied without the NUL; the size needed, NUL included, when the
// buffer is too small (nothing copied); 0 when the variable does not exist.
size_t get_env(const char* name, char* buffer, size_t size);
// Sets the variable, or removes it when value is null; false on a bad name.
bool set_env(const char* name, const char* value);

// The UTC time of day in seconds; precise adds the fraction of the second
// (to 100 ns).
double get_time(bool precise);

// The date word of now: year << 17 | month << 12 | day << 7 | zone, where
// zone is the hours of the UTC offset (bit 4 set for a negative offset,
// hours in bits 0-3) << 2 | the quarter hours. Local date and zone, or UTC
// with zone 0.
uint32_t get_date(bool utc);
// The same for a given instant.
uint32_t date_word(time_t when, bool utc);

}  // namespace kez::platform
