#include "platform/os.h"

#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

extern char** environ;

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

std::string get_command_line(int argc, const char* const* argv) {
  std::string line;
  for (int i = 0; i < argc; ++i) {
    if (i) line += ' ';
    std::string_view arg(argv[i]);
    bool quote = arg.empty() || arg.find_first_of(" \t") != std::string_view::npos;
    if (quote) line += '"';
    line += arg;
    if (quote) line += '"';
  }
  return line;
}

std::vector<std::pair<std::string, std::string>> list_env() {
  std::vector<std::pair<std::string, std::string>> vars;
  for (char** e = environ; e && *e; ++e) {
    const char* entry = *e;
    const char* equals = *entry ? std::strchr(entry + 1, '=') : nullptr;
    if (!equals) {
      vars.emplace_back(entry, "");
      continue;
    }
    vars.emplace_back(std::string(entry, size_t(equals - entry)), std::string(equals + 1));
  }
  return vars;
}

const char* arch_name(const char* machine) {
  std::string_view m(machine);
  if (m == "x86_64" || m == "amd64") return "x86-64";
  if (m == "aarch64" || m == "arm64") return "ARM64";
  if (m == "i386" || m == "i486" || m == "i586" || m == "i686") return "x86-32";
  if (m.substr(0, 3) == "arm") return "ARM";
  if (m == "ia64") return "IA-64";
  return "Unknown";
}

void parse_release(const char* release, int32_t version[3], int32_t& build) {
  version[0] = version[1] = version[2] = 0;
  build = 0;
  const char* p = release;
  for (int i = 0; i < 3; ++i) {
    int32_t n = 0;
    bool digits = false;
    while (*p >= '0' && *p <= '9') {
      if (n < 100000000) n = n * 10 + (*p - '0');
      ++p;
      digits = true;
    }
    if (!digits) break;
    version[i] = n;
    if (*p != '.') break;
    ++p;
  }
  if (const char* dash = std::strchr(release, '-')) {
    for (p = dash + 1; *p >= '0' && *p <= '9'; ++p)
      if (build < 100000000) build = build * 10 + (*p - '0');
  }
}

os_description os_info() {
  os_description d{"Linux", "Unknown", {0, 0, 0}, 0, ""};
  struct utsname u;
  if (uname(&u) != 0) return d;
  d.arch = arch_name(u.machine);
  d.release = u.release;
  parse_release(u.release, d.version, d.build);
  return d;
}

}  // namespace kez::platform
