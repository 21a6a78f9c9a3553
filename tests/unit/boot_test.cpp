// The kez executable starts from the boot data linked into it: copies of the
// executable with that data damaged must stop at start-up with the decoder's
// message and a failure status, never run a script. (They run with
// KEZ_NO_IMAGE: the boot image, when there is one, stands in for the data.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "child_process.h"

namespace kez {
namespace {

using bytes = std::vector<uint8_t>;

// In one read and one memmem: byte by byte, through the sanitizers' checks,
// the executable took most of a minute.
bytes read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  bytes all(size_t(std::max<std::streamoff>(in.tellg(), 0)));
  in.seekg(0);
  in.read(reinterpret_cast<char*>(all.data()), std::streamsize(all.size()));
  all.resize(size_t(std::max<std::streamsize>(in.gcount(), 0)));
  return all;
}

// Writes an executable copy of kez whose boot data has byte `at` replaced.
std::string damaged_copy(const std::string& name, size_t at, uint8_t value) {
  bytes exe = read_all(KEZ_EXE), data = read_all(KEZ_BOOT_DATA_FILE);
  void* found = data.empty() ? nullptr : memmem(exe.data(), exe.size(), data.data(), data.size());
  EXPECT_NE(found, nullptr) << "the boot data is not in the executable";
  if (!found) return "";
  static_cast<uint8_t*>(found)[at] = value;
  std::string path = test::private_path(name);
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(exe.data()), std::streamsize(exe.size()));
  chmod(path.c_str(), 0755);
  return path;
}

TEST(boot_data, IsVersionOneCompactKezbin) {
  bytes data = read_all(KEZ_BOOT_DATA_FILE);
  ASSERT_GT(data.size(), 8u);
  EXPECT_EQ(std::string(data.begin(), data.begin() + 6), "KEZBIN");
  EXPECT_EQ(data[6], 1);
  EXPECT_EQ(data[7] & 1, 1);  // compact
}

TEST(boot_data, DamagedDataStopsStartUpWithTheDecodersMessage) {
  std::string script = test::script_file("boot_damaged.kez", "Kez []\nprint \"ran\"\n");
  struct damage {
    const char* name;
    size_t at;
    uint8_t value;
    const char* message;
  };
  const damage cases[] = {
      {"kez_bad_magic", 0, 'X', "Error: Not a Kezbin file!\n"},
      {"kez_bad_flags", 7, 0x81, "Error: Kezbin boot data invalid at index 8!\n"},
  };
  for (const damage& d : cases) {
    std::string exe = damaged_copy(d.name, d.at, d.value);
    ASSERT_FALSE(exe.empty());
    test::child_result r = test::run_child(exe, {script}, {"KEZ_NO_IMAGE=1"});
    EXPECT_NE(r.status, 0) << d.name;
    EXPECT_LT(r.status, 128) << d.name << ": ended by a signal";
    EXPECT_EQ(r.err, d.message) << d.name;
    EXPECT_EQ(r.out, "") << d.name;
    std::remove(exe.c_str());
  }
  // The undamaged executable runs the same script.
  test::child_result r = test::run_child(KEZ_EXE, {script});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "ran\n");
}

}  // namespace
}  // namespace kez
