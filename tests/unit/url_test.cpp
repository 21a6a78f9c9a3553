// url!: percent encoding and decoding, mold, to/make from blocks and path
// joining (shared with file!).
#include <gtest/gtest.h>

#include <string>

#include "heap_values.h"
#include "text_fixture.h"

namespace kez {
namespace {

using testing::error_of;
using testing::integer;
using testing::mold_text;
using testing::text;
using testing::typed;
using testing::utf8_of;

class url_test : public testing::text_test {};

cell* to_type(uint32_t type, const cell* value) {
  cell* target = stack::push_cell();
  datatype::make_at(target, type);
  return actions::to_dispatch(target, value);
}

TEST_F(url_test, mold_encodes_the_utf8_bytes) {
  struct row {
    const char* text;
    const char* expected;
  };
  const row rows[] = {
      {"http://a/b c", "http://a/b%20c"},
      {"http://a/caf\xC3\xA9", "http://a/caf%C3%A9"},
      {"http://a/?q=1#top", "http://a/?q=1#top"},
      {"a%b<c>", "a%25b%3Cc%3E"},
      {"x\x7F", "x%7F"},
  };
  for (const row& r : rows) {
    stack::reset();
    cell* u = to_type(TYPE_URL, text(r.text));
    ASSERT_EQ(type_of(u), TYPE_URL);
    auto m = mold_text(u);
    EXPECT_EQ(m.text, r.expected);
    EXPECT_EQ(m.left, 1000 - int32_t(std::string(r.expected).size()));
    // form writes the decoded text.
    EXPECT_EQ(testing::form_text(u).text, r.text);
  }
  // /part stops at the budget, even inside an escape.
  cell* u = typed(TYPE_URL, "a b");
  auto m = mold_text(u, false, 2);
  EXPECT_EQ(m.text, "a%");
  EXPECT_EQ(m.left, 0);
}

std::string decoded(const std::string& encoded) {
  cell* source = text(encoded);
  cell* target = testing::empty_text();
  url::decode_utf8(source, target);
  return utf8_of(target);
}

TEST_F(url_test, decoding) {
  struct row {
    const char* encoded;
    const char* expected;
  };
  const row rows[] = {
      {"%C3%A9", "\xC3\xA9"},
      {"%c3%a9", "\xC3\xA9"},
      {"%41", "A"},
      {"%ZZ", "%ZZ"},
      {"%A9", "\xC2\xA9"},      // a lone continuation byte is its own code point
      {"%C3", "%C3"},           // a sequence cut short stays as written
      {"%C3x", "%C3x"},
      {"%E2%82", "%E2\xC2\x82"},  // the cut sequence stays, the lone escape decodes
      {"%E2%82%AC!", "\xE2\x82\xAC!"},
      {"%F0%9F%98%80", "\xF0\x9F\x98\x80"},
      {"100%", "100%"},
      {"%4", "%4"},
      {"a%20b\xC3\xA9", "a b\xC3\xA9"},
  };
  for (const row& r : rows) {
    stack::reset();
    EXPECT_EQ(decoded(r.encoded), r.expected) << r.encoded;
  }
  EXPECT_EQ(error_of([&] { decoded("%C3%28"); }),
            std::make_pair(int(err::cat_access), int(err::access::invalid_utf8)));
}

TEST_F(url_test, encoding_modes) {
  struct row {
    const char* text;
    int mode;
    const char* expected;
  };
  const row rows[] = {
      {"a/b:c", url::UNRESERVED, "a%2Fb%3Ac"},
      {"a/b:c", url::FILE_SAFE, "a/b:c"},
      {"a b~-._", url::UNRESERVED, "a%20b~-._"},
      {"\xC3\xA9", url::UNRESERVED, "%C3%A9"},
      {"\xC3\xA9", url::FILE_SAFE, "%C3%A9"},
      {"a&b", url::UNRESERVED, "a%26b"},
      {"a&b", 0, "a&b"},
  };
  for (const row& r : rows) {
    stack::reset();
    cell* target = testing::empty_text();
    url::encode_utf8(text(r.text), target, r.mode);
    EXPECT_EQ(utf8_of(target), r.expected) << r.text << " " << r.mode;
  }
  uint8_t byte = 0;
  const uint8_t good[] = "%aF";
  EXPECT_TRUE(url::hex_pair(good, good + 3, byte));
  EXPECT_EQ(byte, 0xAF);
  EXPECT_FALSE(url::hex_pair(good, good + 2, byte));  // cut by the end
}

TEST_F(url_test, load_decodes) {
  const std::string raw = "http://x/%41%20b";
  cell* u = url::load(reinterpret_cast<const uint8_t*>(raw.data()), raw.size(), nullptr);
  EXPECT_EQ(type_of(u), TYPE_URL);
  EXPECT_EQ(u, stack::top_cell());
  EXPECT_EQ(utf8_of(u), "http://x/A b");
  EXPECT_EQ(mold_text(u).text, "http://x/A%20b");
}

// A block with a scheme, a host, an optional port and path segments.
TEST_F(url_test, to_url_from_a_block) {
  struct row {
    std::vector<std::function<cell()>> values;
    const char* expected;
  };
  auto s = [](const char* t) { return [t] { return *text(t); }; };
  auto n = [](int32_t v) { return [v] { return integer(v); }; };
  const row rows[] = {
      {{s("http"), s("host"), n(8080), s("x")}, "http://host:8080/x"},
      {{s("http"), s("host"), n(8080)}, "http://host:8080"},
      {{s("http"), s("host")}, "http://host"},
      {{s("ftp"), s("h"), s("a"), s("b")}, "ftp://h/a/b"},
      {{s("http"), s("h"), n(1), n(2)}, "http://h:1/2"},
  };
  for (bool make : {false, true}) {
    for (const row& r : rows) {
      stack::reset();
      cell* block = stack::push_cell();
      *block = cell{TYPE_NONE, 0, 0, 0};  // a collection may look before the block is in
      *block = cell{TYPE_BLOCK, 0, memory::alloc_cells(4), 0};
      for (auto& v : r.values) {
        cell c = v();
        testing::append(block->w2, c);
      }
      cell* target = stack::push_cell();
      datatype::make_at(target, TYPE_URL);
      cell* u = make ? actions::make_dispatch(target, block) : actions::to_dispatch(target, block);
      EXPECT_EQ(type_of(u), TYPE_URL);
      EXPECT_EQ(utf8_of(u), r.expected);
    }
  }
  cell* empty = stack::push_cell();
  *empty = cell{TYPE_NONE, 0, 0, 0};
  *empty = cell{TYPE_BLOCK, 0, memory::alloc_cells(1), 0};
  EXPECT_EQ(error_of([&] { to_type(TYPE_URL, empty); }),
            std::make_pair(int(err::cat_script), int(err::script::bad_to_arg)));
}

TEST_F(url_test, path_joins_with_one_slash) {
  struct row {
    uint32_t type;
    const char* base;
    const char* element;
    const char* expected;
  };
  const row rows[] = {
      {TYPE_URL, "http://a/", "b", "http://a/b"},
      {TYPE_URL, "http://a/", "/b", "http://a/b"},
      {TYPE_URL, "http://a", "b", "http://a/b"},
      {TYPE_URL, "http://a", "/b", "http://a/b"},
      {TYPE_FILE, "dir", "x.txt", "dir/x.txt"},
      {TYPE_FILE, "", "x", "/x"},
      {TYPE_FILE, "d\xCE\xA9/", "\xC3\xA9", "d\xCE\xA9/\xC3\xA9"},
  };
  for (const row& r : rows) {
    stack::reset();
    cell* base = typed(r.type, r.base);
    cell original = *base;
    collector::root_cells hold(&original);
    cell* element = text(r.element);
    cell* joined = actions::dispatch<ACT_EVAL_PATH>(base, static_cast<const cell*>(element), static_cast<const cell*>(nullptr),
                                                     static_cast<const cell*>(nullptr),
                                                     static_cast<const cell*>(nullptr),
                                                     static_cast<const cell*>(nullptr), 0, false, true,
                                                     false, false);
    EXPECT_EQ(type_of(joined), r.type);
    EXPECT_EQ(utf8_of(joined), r.expected);
    EXPECT_EQ(utf8_of(&original), r.base) << "the base is left alone";
  }
  cell* u = typed(TYPE_URL, "http://a");
  cell e = integer(1);
  EXPECT_EQ(error_of([&] {
              actions::dispatch<ACT_EVAL_PATH>(u, &e, static_cast<const cell*>(&e), static_cast<const cell*>(nullptr),
                                               static_cast<const cell*>(nullptr), static_cast<const cell*>(nullptr),
                                               0, false, false, false, false);
            }),
            std::make_pair(int(err::cat_script), int(err::script::bad_path_set)));
}

}  // namespace
}  // namespace kez
