// file!: mold, the local (POSIX) form of a path, and the text behaviour it
// shares with string!.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "runtime/simple_io.h"
#include "text_fixture.h"

namespace kez {
namespace {

using testing::mold_text;
using testing::text;
using testing::typed;
using testing::utf8_of;

class file_test : public testing::text_test {};

TEST_F(file_test, mold) {
  struct row {
    std::string name;
    const char* expected;
  };
  const row rows[] = {
      {"", "%\"\""},
      {"notes.txt", "%notes.txt"},
      {"/home/me/x-1_2~3.kez", "%/home/me/x-1_2~3.kez"},
      {"caf\xC3\xA9", "%caf\xC3\xA9"},
      {"a b", "%\"a b\""},
      {"a;b", "%\"a;b\""},
      // Quoted names escape the quote and the caret so they load back whole.
      {"a\"b", "%\"a^\"b\""},
      {"a^b", "%\"a^^b\""},
  };
  for (const row& r : rows) {
    stack::reset();
    auto m = mold_text(typed(TYPE_FILE, r.name));
    EXPECT_EQ(m.text, r.expected) << r.name;
    EXPECT_EQ(m.left, 1000 - testing::code_points(m.text)) << r.name;
  }
  // /part keeps the first characters; a character past it does not quote.
  auto m = mold_text(typed(TYPE_FILE, "ab c"), false, 2);
  EXPECT_EQ(m.text, "%ab");
  EXPECT_EQ(m.left, -1);
  EXPECT_EQ(mold_text(typed(TYPE_FILE, "ab"), false, -5).text, "%ab") << "no part argument";
}

// Which names the file layer takes for directories (listed, removed with
// rmdir) rather than files.
TEST_F(file_test, directory_paths) {
  struct row {
    const char* name;
    bool directory;
  };
  const row rows[] = {
      {"", false},      {"a", false},     {"a/", true},      {"a\\", true},   {"/", true},
      {".", true},      {"..", true},     {"a/.", true},     {"a/..", true},  {"a\\..", true},
      {"a.", false},    {"a..", false},   {"...", false},    {"a/...", false}, {".a", false},
      {"d/.hidden", false},
  };
  for (const row& r : rows) {
    stack::reset();
    EXPECT_EQ(simple_io::dir_path_q(typed(TYPE_FILE, r.name)), r.directory) << r.name;
  }
  // The name is read from its head: "a." from its second character is ".".
  cell* f = typed(TYPE_FILE, "a.");
  f->w1 = 1;
  EXPECT_TRUE(simple_io::dir_path_q(f));
}

TEST_F(file_test, equal_to_a_string_of_the_same_text) {
  EXPECT_TRUE(actions::compare(text("abc"), typed(TYPE_FILE, "abc"), COMP_EQUAL));
  EXPECT_TRUE(actions::compare(typed(TYPE_FILE, "ABC"), text("abc"), COMP_EQUAL));
  EXPECT_FALSE(actions::compare(typed(TYPE_FILE, "abc"), text("abc"), COMP_STRICT_EQUAL));
  EXPECT_TRUE(actions::compare(typed(TYPE_FILE, "abc"), typed(TYPE_FILE, "abc"), COMP_STRICT_EQUAL));
}

std::string current_dir() {
  char buffer[4096];
  std::string dir = getcwd(buffer, sizeof buffer);
  return dir.back() == '/' ? dir : dir + "/";
}

TEST_F(file_test, local_form) {
  struct row {
    const char* name;
    bool full;
    std::string expected;
  };
  const row rows[] = {
      {"/", false, "/"},
      {"/home/me/x.kez", false, "/home/me/x.kez"},
      {"/home/me/x.kez", true, "/home/me/x.kez"},
      {"a/b", false, "a/b"},
      {"a/b", true, current_dir() + "a/b"},
      {"", true, current_dir()},
      {"d\xCE\xA9", false, "d\xCE\xA9"},
  };
  for (const row& r : rows) {
    stack::reset();
    cell* out = text("> ");
    file::to_local(typed(TYPE_FILE, r.name), out, r.full);
    EXPECT_EQ(utf8_of(out), "> " + r.expected) << r.name;
  }
  cell* dir = file::get_current_dir(stack::push_cell());
  EXPECT_EQ(type_of(dir), TYPE_STRING);
  EXPECT_EQ(utf8_of(dir), current_dir());
}

TEST_F(file_test, path_for_the_system) {
  std::string out;
  EXPECT_TRUE(file::to_local_path(typed(TYPE_FILE, "d\xCE\xA9/x"), out));
  EXPECT_EQ(out, "d\xCE\xA9/x");
  EXPECT_FALSE(file::to_local_path(typed(TYPE_FILE, std::string("a\0b", 3)), out))
      << "a NUL would end the name early";
}

TEST_F(file_test, load_and_text_actions) {
  const std::string raw = "dir/caf\xC3\xA9";
  cell* f = file::load(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), nullptr);
  EXPECT_EQ(type_of(f), TYPE_FILE);
  EXPECT_EQ(utf8_of(f), raw);
  // find and sort come from string! and keep the type.
  cell* found = actions::dispatch<ACT_FIND>(f, text("CAF"), find_options{});
  EXPECT_EQ(type_of(found), TYPE_FILE);
  EXPECT_EQ(found->w1, 4u);
}

}  // namespace
}  // namespace kez
