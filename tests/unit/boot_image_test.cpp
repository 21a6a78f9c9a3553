// Damaged copies of the executable's boot image: each one is refused, for
// the reason it was damaged, and the copy starts the long way and runs its
// script as ever, instead of crashing or asking for gigabytes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "child_process.h"
#include "runtime/boot_image_format.h"

namespace {

using namespace kez::boot_image;

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// The executable's bytes, with the place of its image and of each table.
struct executable {
  std::string bytes;
  size_t image = 0;  // where the image starts in the file
  header h{};
  size_t released = 0, ranges = 0, globals = 0, blocks = 0;  // each table's place in the file

  bool load(const std::string& path) {
    bytes = read_file(path);
    trailer t;
    if (bytes.size() < sizeof t) return false;
    std::memcpy(&t, bytes.data() + bytes.size() - sizeof t, sizeof t);
    if (std::memcmp(t.magic, MAGIC, sizeof MAGIC) != 0 || t.size > bytes.size()) return false;
    image = bytes.size() - t.size;
    std::memcpy(&h, bytes.data() + image, sizeof h);
    released = image + sizeof h;
    ranges = released + h.released_count * sizeof(kez::page_runs::run);
    globals = ranges + h.range_count * sizeof(range);
    blocks = globals + h.global_count * sizeof(global);
    return true;
  }

  template <class T>
  T& at(std::string& copy, size_t place) {
    return *reinterpret_cast<T*>(copy.data() + place);
  }
};

TEST(BootImage, DamagedImagesAreRefusedAndTheLongWayRuns) {
  executable kez;
  if (!kez.load(KEZ_EXE)) GTEST_SKIP() << "this build's kez carries no image";
  ASSERT_GT(kez.h.range_count, 0u);
  ASSERT_GT(kez.h.global_count, 0u);

  const size_t h = kez.image;
  const size_t g0 = kez.globals;  // the first global's row
  const size_t r0 = kez.ranges;   // the first heap range's row
  struct row {
    const char* name;
    std::function<void(std::string&)> damage;
    const char* reason;  // what the refusal says
  };
  const row rows[] = {
      {"released count", [&](std::string& c) { kez.at<header>(c, h).released_count = 0xFFFFFFFF; }, "a table count"},
      {"range count", [&](std::string& c) { kez.at<header>(c, h).range_count = 0xFFFFFFFF; }, "a table count"},
      {"global count", [&](std::string& c) { kez.at<header>(c, h).global_count = 0xFFFFFFFF; }, "a table count"},
      {"block count", [&](std::string& c) { kez.at<header>(c, h).block_count = 0x10000000; }, "a table count"},
      {"checked past the end", [&](std::string& c) { kez.at<header>(c, h).checked = ~uint64_t(0); },
       "checked size"},
      {"heap top past the heap", [&](std::string& c) { kez.at<header>(c, h).runs_top = uint64_t(1) << 40; },
       "heap top"},
      {"range offset + size wraps",
       [&](std::string& c) { kez.at<range>(c, r0).offset = ~uint64_t(0) - 4095; }, "a heap range"},
      {"range pages past the image", [&](std::string& c) { kez.at<range>(c, r0).bytes = uint64_t(1) << 31; },
       "a heap range"},
      {"global bytes' offset + size wraps",
       [&](std::string& c) { kez.at<global>(c, g0).at = ~uint64_t(0) - 2; }, "a global"},
      {"global address + size wraps",
       [&](std::string& c) { kez.at<global>(c, g0).address = ~uint64_t(0) - 2; }, "a global"},
      {"global address outside the data", [&](std::string& c) { kez.at<global>(c, g0).address = 0x1000; },
       "a global"},
      {"global address past the data",
       [&](std::string& c) { kez.at<global>(c, g0).address = kez.h.executable_end + 4096; }, "a global"},
      {"global of 1 MiB", [&](std::string& c) { kez.at<global>(c, g0).size = 1 << 20; }, "a global"},
      // Damage that keeps every row in bounds: only the checksum sees it.
      {"a global's size one byte short", [&](std::string& c) { kez.at<global>(c, g0).size -= 1; }, "checksum"},
      {"a flipped byte in a global's bytes",
       [&](std::string& c) { c[kez.image + kez.at<global>(c, g0).at] ^= 0x40; }, "checksum"},
      {"a global's address one byte on", [&](std::string& c) { kez.at<global>(c, g0).address += 1; },
       "checksum"},
  };
  const std::string script = kez::test::script_file(
      "image_probe.kez", "Kez []\nprint 6 * 7\nprint mold reverse [a b c]\nprint length? form system/words\n");
  const std::string path = kez::test::private_path("damaged-kez");

  auto run = [&](const std::string& bytes) {
    {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out.write(bytes.data(), std::streamsize(bytes.size()));
    }
    chmod(path.c_str(), 0755);
    return kez::test::run_child(path, {script}, {"KEZ_IMAGE_VERBOSE=1", "KEZ_GC_STRESS=0", "DISPLAY="});
  };
  // The undamaged copy uses its image; what it prints is what each damaged one must.
  kez::test::child_result sound = run(kez.bytes);
  ASSERT_EQ(sound.status, 0) << sound.err;
  ASSERT_EQ(sound.err, "");
  ASSERT_EQ(sound.out.substr(0, 11), "42\n[c b a]\n") << sound.out;

  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    std::string copy = kez.bytes;
    r.damage(copy);
    kez::test::child_result result = run(copy);
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, sound.out);
    EXPECT_EQ(result.err.rfind("boot image: refused: ", 0), 0u) << result.err;
    EXPECT_NE(result.err.find(r.reason), std::string::npos) << result.err;
  }
  std::remove(path.c_str());
  std::remove(script.c_str());
}

}  // namespace
