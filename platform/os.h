// The platform layer: the operating-system services the runtime and the
// natives call (start-up, current directory, sleeping, environment, time of
// day, date and time zone). Text crosses it as UTF-8; buffers it hands out
// are tracked allocations that the caller owns. Virtual memory lives in
// platform/vmem.
#pragma once

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>
#include <utility>
#include <vector>

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

// The process's command line rebuilt from its arguments: joined by single
// spaces, an argument holding a space or a tab (or an empty one) put between
// double quotes, so that splitting it again at blanks outside quotes gives
// the same arguments.
std::string get_command_line(int argc, const char* const* argv);

// Every environment variable as (name, value). The name ends at the first
// "=" that is not the entry's first character.
std::vector<std::pair<std::string, std::string>> list_env();

// The running system, from uname: name "Linux", the architecture as the
// language names it (x86-64, ARM64, x86-32, ARM, IA-64 or Unknown), and the
// release's leading numbers: three as the version, the fourth (the number
// after the first "-", else 0) as the build.
struct os_description {
  std::string name;
  std::string arch;
  int32_t version[3];
  int32_t build;
  std::string release;  // as uname gives it
};
os_description os_info();
// The language's name for a machine name of uname.
const char* arch_name(const char* machine);
// The numbers of a release text "6.1.0-18-amd64": version 6.1.0, build 18.
void parse_release(const char* release, int32_t version[3], int32_t& build);

}  // namespace kez::platform
