// The clipboard layer over its platform seam: what a write stores in each
// format, what a read makes of each format, and the answers when the
// clipboard is held by another owner or refuses a format.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "heap_fixture.h"
#include "platform/clipboard.h"
#include "runtime/boot.h"
#include "runtime/clipboard.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/string.h"
#include "runtime/lexer.h"
#include "runtime/stack.h"

namespace kez {
namespace {

using bytes = std::vector<uint8_t>;

// A clipboard that another owner may hold, or that refuses to take data.
class test_backend final : public platform::clipboard_backend {
 public:
  bool busy = false, refuse = false;
  int opens = 0, held = 0;  // tries, and opens not yet closed
  bytes formats[platform::CLIP_FORMATS];
  bool present[platform::CLIP_FORMATS] = {};

  bool open() override {
    ++opens;
    held += !busy;
    return !busy;
  }
  void close() override { --held; }
  bool empty() override {
    for (bool& p : present) p = false;
    return true;
  }
  bool set(platform::clip_format f, bytes data) override {
    if (refuse) return false;
    formats[f] = std::move(data);
    present[f] = true;
    return true;
  }
  bool get(platform::clip_format f, bytes& data) override {
    if (!present[f]) return false;
    data = formats[f];
    return true;
  }
};

class clipboard_test : public testing::heap_test {
 protected:
  test_backend backend;
  void SetUp() override {
    heap_test::SetUp();
    boot::init();
    platform::set_clipboard_backend(&backend);
  }
  void TearDown() override {
    platform::set_clipboard_backend(nullptr);
    heap_test::TearDown();
  }
  // The first value of Kez source, on the data stack.
  static cell* value(const std::string& source) {
    cell* code = stack::push_cell();
    lexer::load_utf8(code, reinterpret_cast<const uint8_t*>(source.data()), source.size());
    return stack::push(block::ks_abs_at(code, 0));
  }
  static std::string text(cell* s) {
    int32_t n = -1;
    const uint8_t* p = string::utf8_bytes(s, n);
    return std::string(reinterpret_cast<const char*>(p), size_t(n));
  }
};

TEST_F(clipboard_test, text_keeps_line_feeds) {
  EXPECT_TRUE(clipboard::write(value("\"a^/b^/\"")));
  EXPECT_TRUE(backend.present[platform::CLIP_TEXT]);
  EXPECT_EQ(std::string(backend.formats[platform::CLIP_TEXT].begin(), backend.formats[platform::CLIP_TEXT].end()),
            "a\nb\n");
  cell* back = clipboard::read();
  ASSERT_EQ(type_of(back), TYPE_STRING);
  EXPECT_EQ(text(back), "a\nb\n");
  EXPECT_EQ(backend.held, 0);
}

TEST_F(clipboard_test, file_list_is_nul_ended_local_paths) {
  EXPECT_TRUE(clipboard::write(value("[%/a/b %\"c d\" \"/e\"]")));
  const bytes& list = backend.formats[platform::CLIP_FILES];
  EXPECT_EQ(std::string(list.begin(), list.end()), std::string("/a/b\0c d\0/e\0", 12));
  // Text is tried before files; with both present, text wins.
  backend.formats[platform::CLIP_TEXT] = {'t'};
  backend.present[platform::CLIP_TEXT] = true;
  EXPECT_EQ(text(clipboard::read()), "t");
  backend.present[platform::CLIP_TEXT] = false;
  cell* files = clipboard::read();
  ASSERT_EQ(type_of(files), TYPE_BLOCK);
  ASSERT_EQ(block::ks_length_q(files), 3);
  EXPECT_EQ(type_of(block::ks_abs_at(files, 0)), TYPE_FILE);
  EXPECT_EQ(text(block::ks_abs_at(files, 1)), "c d");
}

TEST_F(clipboard_test, none_empties_and_answers_true) {
  EXPECT_TRUE(clipboard::write(value("\"x\"")));
  cell none{TYPE_NONE, 0, 0, 0};
  EXPECT_TRUE(clipboard::write(&none));
  for (bool p : backend.present) EXPECT_FALSE(p);
  EXPECT_EQ(type_of(clipboard::read()), TYPE_NONE);
}

TEST_F(clipboard_test, busy_or_refusing_clipboard) {
  EXPECT_TRUE(clipboard::write(value("\"kept\"")));
  backend.busy = true;
  backend.opens = 0;
  cell* r = clipboard::read();
  EXPECT_EQ(type_of(r), TYPE_LOGIC);
  EXPECT_EQ(r->w1, 0u);
  EXPECT_EQ(backend.opens, 3);  // three tries before giving up
  EXPECT_FALSE(clipboard::write(value("\"lost\"")));
  backend.busy = false;
  EXPECT_EQ(text(clipboard::read()), "kept");
  backend.refuse = true;
  EXPECT_FALSE(clipboard::write(value("\"refused\"")));
  EXPECT_EQ(backend.held, 0);
}

}  // namespace
}  // namespace kez
