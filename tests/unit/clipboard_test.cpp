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
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/image.h"
#include "runtime/error_ids.h"
#include "runtime/image_os.h"
#include "runtime/thrown.h"
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

uint32_t u32(const bytes& b, size_t at) { return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24; }

// A version-5 bitmap as other programs put it on the clipboard.
bytes dib(int32_t width, int32_t height, const std::vector<uint32_t>& pixels, uint32_t alpha_mask = 0xFF000000) {
  bytes b(124 + 4 * pixels.size(), 0);
  auto put = [&](size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
  };
  put(0, 124);
  put(4, uint32_t(width));
  put(8, uint32_t(height));
  b[12] = 1;
  b[14] = 32;
  put(16, 3);
  put(40, 0x00FF0000);
  put(44, 0x0000FF00);
  put(48, 0x000000FF);
  put(52, alpha_mask);
  for (size_t i = 0; i < pixels.size(); ++i) put(124 + 4 * i, pixels[i]);
  return b;
}

TEST_F(clipboard_test, image_goes_as_png_then_bitmap) {
  const uint32_t pixels[] = {0xFFFF0000, 0xFF00FF00};
  cell* picture = image::make_at(stack::push_cell(),
                                 image_os::from_memory(2, 1, 0, reinterpret_cast<const uint8_t*>(pixels)));
  EXPECT_TRUE(clipboard::write(picture));
  ASSERT_TRUE(backend.present[platform::CLIP_PNG]);
  ASSERT_TRUE(backend.present[platform::CLIP_DIBV5]);
  const bytes& png = backend.formats[platform::CLIP_PNG];
  EXPECT_EQ(std::string(png.begin() + 1, png.begin() + 4), "PNG");
  const bytes& bitmap = backend.formats[platform::CLIP_DIBV5];
  ASSERT_EQ(bitmap.size(), 124u + 8);
  EXPECT_EQ(u32(bitmap, 0), 124u);
  EXPECT_EQ(u32(bitmap, 4), 2u);
  EXPECT_EQ(int32_t(u32(bitmap, 8)), -1);  // top-down
  EXPECT_EQ(bitmap[12], 1);
  EXPECT_EQ(bitmap[14], 32);
  EXPECT_EQ(u32(bitmap, 16), 3u);
  EXPECT_EQ(u32(bitmap, 20), 8u);
  EXPECT_EQ(u32(bitmap, 40), 0x00FF0000u);
  EXPECT_EQ(u32(bitmap, 52), 0xFF000000u);
  EXPECT_EQ(u32(bitmap, 56), 0x57696E20u);
  EXPECT_EQ(u32(bitmap, 108), 4u);
  EXPECT_EQ(u32(bitmap, 124), 0xFFFF0000u);  // opaque red
  EXPECT_EQ(u32(bitmap, 128), 0xFF00FF00u);
}

TEST_F(clipboard_test, bitmap_alone_reads_as_image) {
  backend.present[platform::CLIP_DIBV5] = true;
  // Bottom-up rows (positive height) come out upright.
  backend.formats[platform::CLIP_DIBV5] = dib(1, 2, {0xFF000001, 0x80000002});
  cell* picture = clipboard::read();
  ASSERT_EQ(type_of(picture), TYPE_IMAGE);
  EXPECT_EQ(image::width_of(picture), 1u);
  EXPECT_EQ(image::height_of(picture), 2u);
  EXPECT_EQ(image_os::get_pixel(picture->w2, 0), 0x80000002u);
  EXPECT_EQ(image_os::get_pixel(picture->w2, 1), 0xFF000001u);
  backend.formats[platform::CLIP_DIBV5] = dib(2, -1, {1, 2});
  picture = clipboard::read();
  ASSERT_EQ(type_of(picture), TYPE_IMAGE);
  EXPECT_EQ(image_os::get_pixel(picture->w2, 0), 1u);
}

TEST_F(clipboard_test, bitmap_that_claims_more_than_it_holds) {
  backend.present[platform::CLIP_DIBV5] = true;
  struct row {
    bytes data;
    const char* what;
  };
  bytes truncated = dib(4, 4, std::vector<uint32_t>(16, 7));
  truncated.resize(truncated.size() - 1);
  const row rows[] = {
      {truncated, "pixels cut short"},
      {dib(0x4000, -0x4000, {}), "a header claiming 268 million pixels with none after it"},
      {dib(0x10000, 1, std::vector<uint32_t>(0x10000, 1)), "a side past 65,535"},
      {dib(2, 2, {1, 2, 3}), "three pixels of four"},
      {dib(0, 1, {}), "no width"},
      {dib(1, 0, {}), "no height"},
      {dib(1, 1, {1}, 0), "no alpha mask"},
      {bytes(123, 0), "header cut short"},
  };
  for (const row& r : rows) {
    backend.formats[platform::CLIP_DIBV5] = r.data;
    EXPECT_EQ(type_of(clipboard::read()), TYPE_NONE) << r.what;
  }
  EXPECT_EQ(backend.held, 0);
}

TEST_F(clipboard_test, undecodable_png_raises_bad_media) {
  backend.present[platform::CLIP_PNG] = true;
  backend.formats[platform::CLIP_PNG] = {0x89, 'P', 'N', 'G', 1, 2, 3};
  bool raised = false;
  try {
    clipboard::read();
  } catch (const thrown&) {
    raised = error::last_category() == err::cat_access && error::last_id() == err::access::bad_media;
  }
  EXPECT_TRUE(raised);
  EXPECT_EQ(backend.held, 0);
}

}  // namespace
}  // namespace kez
