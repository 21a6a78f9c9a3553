// A shown list's native items follow in-place changes of its `data`: read
// back through the window system after each change, they are the text
// values of `data` in order; the changes that edit items in place keep the
// list box's scroll position (a rebuild would empty it and scroll to the top).
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "gui/backend/view.h"
#include "booted_fixture.h"
#include "platform/win/controls.h"
#include "runtime/boot.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string_text.h"
#include "runtime/error_ids.h"

namespace kez {
namespace {

using items = std::vector<std::u16string>;

class list_items_test : public testing::booted_test {
 protected:
  void SetUp() override {
    setenv("KEZ_HEADLESS", "1", 1);
    booted_test::SetUp();
  }

  static items strings_of(const cell* block) {
    items out;
    for (int32_t i = 0, n = block::ks_length_q(block); i < n; ++i) {
      string::text_view v = string::view_of(block::ks_abs_at(block, int32_t(block->w1) + i));
      std::u16string s;
      for (uint32_t k = 0; k < v.length; ++k) s += char16_t(v[k]);
      out.push_back(s);
    }
    return out;
  }

  static items native_items(win::HWND h, bool combo) {
    using namespace win;
    items out;
    int n = int(SendMessageW(h, combo ? CB_GETCOUNT : LB_GETCOUNT, 0, 0));
    for (int i = 0; i < n; ++i) {
      int len = int(SendMessageW(h, combo ? CB_GETLBTEXTLEN : LB_GETTEXTLEN, WPARAM(i), 0));
      std::u16string s(size_t(len > 0 ? len : 0) + 1, u'\0');
      SendMessageW(h, combo ? CB_GETLBTEXT : LB_GETTEXT, WPARAM(i), LPARAM(s.data()));
      s.resize(size_t(len > 0 ? len : 0));
      out.push_back(s);
    }
    return out;
  }

  win::HWND window_of(const char* face) { return gui::view::face_window(run(face)); }
};

std::string narrow(const items& list) {
  std::string out;
  for (const std::u16string& s : list) {
    out += '"';
    for (char16_t c : s) out += char(c);
    out += "\" ";
  }
  return out;
}

TEST_F(list_items_test, native_items_follow_in_place_changes_of_data) {
  // Enough rows to scroll: the list box starts with row 3 at its top.
  run("base: [\"a\" \"b\" 5 \"c\" %d.txt \"e\"] repeat i 24 [append base rejoin [\"f\" i]]"
      "view/no-wait [l: text-list 120x100 dd: drop-down dl: drop-list]");
  struct row {
    const char* change;  // d is the face's data
    bool in_place;
  };
  const row rows[] = {
      {"insert next d [\"x\" \"y\"]", true},
      {"append d \"z\"", true},
      {"remove next d", true},
      {"take d", true},
      {"clear skip d 20", true},
      {"poke d 2 \"P\"", true},
      {"put d \"a\" \"Q\"", true},
      {"reverse/part next d 4", true},
      {"reverse d", false},  // every item taken away at once: the list is emptied
      {"move d skip d 2", false},
      {"change next d \"X\"", false},
      {"sort d", false},
      {"append d/1 \"!!\"", true},
      {"uppercase d/6", true},
      {"append d s: copy \"new\" append s \"!!!\"", true},
      {"append d/2 \"?\" remove/part skip d 3 2 insert d \"h\"", true},
  };
  const char* faces[] = {"l", "dd", "dl"};
  for (const row& r : rows) {
    run("foreach f reduce [l dd dl] [f/data: copy/deep base] l/selected: 3");
    for (const char* face : faces) {
      bool combo = std::string(face) != "l";
      win::HWND h = window_of(face);
      ASSERT_NE(h, 0) << face;
      if (!combo) win::SendMessageW(h, win::LB_SETTOPINDEX, 2, 0);
      run(std::string("d: ") + face + "/data " + r.change);
      items expected = strings_of(
          run(std::string("collect [foreach v ") + face + "/data [if any [string? :v file? :v] [keep to string! v]]]"));
      items shown = native_items(h, combo);
      EXPECT_EQ(narrow(shown), narrow(expected)) << face << ": " << r.change;
      if (!combo && r.in_place) {
        EXPECT_EQ(win::SendMessageW(h, win::LB_GETTOPINDEX, 0, 0), 2) << r.change;
      }
    }
  }
  run("unview/all");
}

}  // namespace
}  // namespace kez
