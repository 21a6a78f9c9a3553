#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <string>
#include <vector>

#include <sys/utsname.h>

#include "platform/os.h"
#include "runtime/mem.h"

using namespace kez;

namespace {

// Sets TZ for its scope and puts the old value back.
class zone_scope {
 public:
  explicit zone_scope(const char* zone) {
    if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~zone_scope() {
    if (had_) setenv("TZ", saved_.c_str(), 1);
    else unsetenv("TZ");
    tzset();
  }

 private:
  std::string saved_;
  bool had_ = false;
};

time_t utc_instant(int year, int month, int day, int hour, int minute) {
  tm fields{};
  fields.tm_year = year - 1900;
  fields.tm_mon = month - 1;
  fields.tm_mday = day;
  fields.tm_hour = hour;
  fields.tm_min = minute;
  return timegm(&fields);
}

uint32_t word(int year, int month, int day, bool negative, int hours, int quarters) {
  uint32_t zone = (uint32_t(hours) | (negative ? 0x10u : 0u)) << 2 | uint32_t(quarters);
  return uint32_t(year) << 17 | uint32_t(month) << 12 | uint32_t(day) << 7 | zone;
}

struct date_case {
  const char* zone;
  time_t when;
  bool utc;
  uint32_t expected;
};

TEST(Platform, DateWordCarriesTheLocalDateAndZone) {
  time_t noon = utc_instant(2026, 1, 15, 12, 0);
  time_t early = utc_instant(2026, 1, 15, 0, 10);
  const date_case cases[] = {
      {"Asia/Kolkata", noon, false, word(2026, 1, 15, false, 5, 2)},
      {"America/St_Johns", noon, false, word(2026, 1, 15, true, 3, 2)},
      {"Asia/Kathmandu", noon, false, word(2026, 1, 15, false, 5, 3)},
      {"UTC", noon, false, word(2026, 1, 15, false, 0, 0)},
      {"America/St_Johns", utc_instant(2026, 7, 15, 12, 0), false, word(2026, 7, 15, true, 2, 2)},  // summer time
      {"Pacific/Auckland", utc_instant(2026, 12, 31, 11, 30), false, word(2027, 1, 1, false, 13, 0)},
      {"Pacific/Kiritimati", noon, false, word(2026, 1, 16, false, 14, 0)},
      // The local date, not the UTC one: 20:40 the evening before.
      {"America/St_Johns", early, false, word(2026, 1, 14, true, 3, 2)},
      {"America/St_Johns", early, true, word(2026, 1, 15, false, 0, 0)},
      // Offsets under an hour keep their sign.
      {"<-0030>0:30", noon, false, word(2026, 1, 15, true, 0, 2)},
      {"<+0045>-0:45", noon, false, word(2026, 1, 15, false, 0, 3)},
  };
  for (const date_case& c : cases) {
    SCOPED_TRACE(c.zone);
    zone_scope zone(c.zone);
    EXPECT_EQ(platform::date_word(c.when, c.utc), c.expected);
  }
}

TEST(Platform, WaitLengths) {
  const std::pair<double, uint32_t> cases[] = {
      {0.0, 1},
      {0.0004, 1},
      {0.0019, 1},
      {1.5, 1500},
      {-3.0, 1},
      {std::numeric_limits<double>::quiet_NaN(), 1},
      {4294967.294, 4294967294u},
      {1e300, 0xFFFFFFFEu},
      {std::numeric_limits<double>::infinity(), 0xFFFFFFFEu},
  };
  for (auto [seconds, ms] : cases) EXPECT_EQ(platform::wait_milliseconds(seconds), ms) << seconds;
  platform::wait(std::numeric_limits<double>::quiet_NaN());  // a millisecond, not forever
}

TEST(Platform, EnvironmentVariables) {
  const char* name = "KEZ_OS_TEST_VARIABLE";
  ASSERT_TRUE(platform::set_env(name, "h\xC3\xA9llo"));
  char buffer[16];
  std::memset(buffer, '#', sizeof buffer);
  EXPECT_EQ(platform::get_env(name, buffer, 6), 7u);  // too small: the size needed
  EXPECT_EQ(buffer[0], '#');
  EXPECT_EQ(platform::get_env(name, buffer, 7), 6u);
  EXPECT_STREQ(buffer, "h\xC3\xA9llo");
  ASSERT_TRUE(platform::set_env(name, ""));
  EXPECT_EQ(platform::get_env(name, buffer, sizeof buffer), 0u);
  EXPECT_STREQ(buffer, "");
  ASSERT_TRUE(platform::set_env(name, nullptr));
  EXPECT_EQ(std::getenv(name), nullptr);
  EXPECT_EQ(platform::get_env(name, buffer, sizeof buffer), 0u);
  EXPECT_FALSE(platform::set_env("A=B", "x"));
  EXPECT_FALSE(platform::set_env("", "x"));
}

TEST(Platform, CurrentDirectory) {
  size_t length = 99;
  char* start = platform::get_current_dir(&length);
  ASSERT_NE(start, nullptr);
  EXPECT_EQ(length, std::strlen(start));

  char scratch[] = "/tmp/kez-os-test-XXXXXX";
  ASSERT_NE(mkdtemp(scratch), nullptr);
  char* real = realpath(scratch, nullptr);
  ASSERT_TRUE(platform::set_current_dir(scratch));
  char* inside = platform::get_current_dir(&length);
  EXPECT_STREQ(inside, real);
  EXPECT_EQ(length, std::strlen(real));
  EXPECT_FALSE(platform::set_current_dir("/no/such/directory/here"));

  EXPECT_TRUE(platform::set_current_dir(start));
  rmdir(scratch);
  std::free(real);
  mem::free(inside);
  mem::free(start);
}

TEST(Platform, TimeOfDay) {
  double plain = platform::get_time(false);
  double precise = platform::get_time(true);
  EXPECT_GE(plain, 0.0);
  EXPECT_LT(plain, 86400.0);
  EXPECT_EQ(plain, std::floor(plain));
  EXPECT_GE(precise, 0.0);
  EXPECT_LT(precise, 86400.0);
}

// The command line as the start-up's argument splitter reads it: cut at
// runs of blanks outside double quotes, one leading and one trailing quote
// dropped from each piece, empty pieces skipped.
std::vector<std::string> split_boot_args(const std::string& line) {
  std::vector<std::string> args;
  std::string piece;
  bool quoted = false;
  auto finish = [&] {
    if (!piece.empty() && piece.front() == '"') piece.erase(0, 1);
    if (!piece.empty() && piece.back() == '"') piece.pop_back();
    if (!piece.empty()) args.push_back(piece);
    piece.clear();
  };
  for (char c : line) {
    if (c == '"') quoted = !quoted;
    if (!quoted && (c == ' ' || c == '\t')) finish();
    else piece += c;
  }
  finish();
  return args;
}

TEST(Platform, CommandLineQuotesArgumentsWithBlanks) {
  struct row {
    std::vector<const char*> argv;
    const char* line;
  };
  const row rows[] = {
      {{"/usr/bin/kez"}, "/usr/bin/kez"},
      {{"kez", "script.kez", "a", "b"}, "kez script.kez a b"},
      {{"kez", "my script.kez", "x\ty"}, "kez \"my script.kez\" \"x\ty\""},
      {{"/opt/my kez/kez", "--flag"}, "\"/opt/my kez/kez\" --flag"},
      {{"kez", "", "é ü"}, "kez \"\" \"é ü\""},
  };
  for (const row& r : rows) {
    std::string line = platform::get_command_line(int(r.argv.size()), r.argv.data());
    EXPECT_EQ(line, r.line);
    // Splitting gives the arguments back (empty ones are dropped).
    std::vector<std::string> expected;
    for (const char* a : r.argv)
      if (*a) expected.emplace_back(a);
    EXPECT_EQ(split_boot_args(line), expected) << line;
  }
  EXPECT_EQ(platform::get_command_line(0, nullptr), "");
}

TEST(Platform, OsInfoFromUname) {
  struct arch_row {
    const char* machine;
    const char* name;
  };
  const arch_row arches[] = {
      {"x86_64", "x86-64"}, {"aarch64", "ARM64"}, {"i686", "x86-32"}, {"armv7l", "ARM"},
      {"ia64", "IA-64"},    {"riscv64", "Unknown"}, {"", "Unknown"},
  };
  for (const arch_row& a : arches) EXPECT_STREQ(platform::arch_name(a.machine), a.name) << a.machine;

  struct release_row {
    const char* release;
    int32_t version[3];
    int32_t build;
  };
  const release_row releases[] = {
      {"6.1.0-18-amd64", {6, 1, 0}, 18},
      {"5.15.153.1-microsoft-standard-WSL2", {5, 15, 153}, 0},
      {"6.18.44", {6, 18, 44}, 0},
      {"4.19", {4, 19, 0}, 0},
      {"6.8.0-1012-aws", {6, 8, 0}, 1012},
      {"weird", {0, 0, 0}, 0},
  };
  for (const release_row& r : releases) {
    int32_t version[3];
    int32_t build = -1;
    platform::parse_release(r.release, version, build);
    EXPECT_EQ(version[0], r.version[0]) << r.release;
    EXPECT_EQ(version[1], r.version[1]) << r.release;
    EXPECT_EQ(version[2], r.version[2]) << r.release;
    EXPECT_EQ(build, r.build) << r.release;
  }

  // This machine, as uname describes it.
  utsname u;
  ASSERT_EQ(uname(&u), 0);
  platform::os_description d = platform::os_info();
  EXPECT_EQ(d.name, "Linux");
  EXPECT_EQ(d.arch, platform::arch_name(u.machine));
  EXPECT_EQ(d.release, u.release);
  EXPECT_GT(d.version[0], 0);
}

TEST(Platform, ListEnvSplitsAtTheFirstEquals) {
  setenv("KEZ_LIST_ENV_TEST", "a=b=c", 1);
  bool found = false;
  for (const auto& [name, value] : platform::list_env()) {
    if (name != "KEZ_LIST_ENV_TEST") continue;
    found = true;
    EXPECT_EQ(value, "a=b=c");
  }
  EXPECT_TRUE(found);
  unsetenv("KEZ_LIST_ENV_TEST");
}

}  // namespace
