#include "platform/os.h"

#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "runtime/console.h"
#include "runtime/mem.h"

namespace kez::os {

void init() {
  // Standard output and error stay byte streams: the console writers encode
  // everything as UTF-8 themselves.
  console::init();
}

}  // namespace kez::os

namespace kez::platform {

char* get_current_dir(size_t* length) {
  size_t size = 256;
  char* buffer = static_cast<char*>(mem::allocate(size));
  while (!getcwd(buffer, size)) {
    if (errno != ERANGE) {
      mem::free(buffer);
      *length = 0;
      return nullptr;
    }
    size *= 2;
    buffer = static_cast<char*>(mem::realloc(buffer, size));
  }
  *length = std::strlen(buffer);
  return buffer;
}

bool set_current_dir(const char* path) { return chdir(path) == 0; }

uint32_t wait_milliseconds(double seconds) {
  constexpr double most = 0xFFFFFFFE;
  double ms = std::trunc(seconds * 1000.0);
  if (!(ms >= 1.0)) return 1;  // also NaN
  return ms > most ? uint32_t(most) : uint32_t(ms);
}

void wait(double seconds) {
  uint32_t ms = wait_milliseconds(seconds);
  timespec left{time_t(ms / 1000), long(ms % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {}
}

size_t get_env(const char* name, char* buffer, size_t size) {
  const char* value = std::getenv(name);
  if (!value) return 0;
  size_t n = std::strlen(value);
  if (n + 1 > size) return n + 1;
  std::memcpy(buffer, value, n + 1);
  return n;
}

bool set_env(const char* name, const char* value) {
  return (value ? setenv(name, value, 1) : unsetenv(name)) == 0;
}

double get_time(bool precise) {
  timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  double seconds = double(now.tv_sec % 86400);
  if (precise) seconds += double(now.tv_nsec / 100 * 100) / 1e9;
  return seconds;
}

uint32_t date_word(time_t when, bool utc) {
  tm fields;
  long offset_minutes = 0;
  if (utc) {
    gmtime_r(&when, &fields);
  } else {
    tzset();  // follow a change of TZ since the last call
    localtime_r(&when, &fields);
    offset_minutes = fields.tm_gmtoff / 60;
  }
  // The sign is the offset's own: -0:30 has no negative hours to carry it.
  long magnitude = offset_minutes < 0 ? -offset_minutes : offset_minutes;
  uint32_t hours = uint32_t(magnitude / 60) & 0xF;
  if (offset_minutes < 0) hours |= 0x10;
  uint32_t quarters = uint32_t(magnitude % 60 / 15) & 3;
  uint32_t zone = hours << 2 | quarters;
  return uint32_t(fields.tm_year + 1900) << 17 | uint32_t(fields.tm_mon + 1) << 12 |
         uint32_t(fields.tm_mday) << 7 | zone;
}

uint32_t get_date(bool utc) { return date_word(time(nullptr), utc); }

}  // namespace kez::platform
