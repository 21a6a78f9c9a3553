// The input method's spot on a real X server (ctest runs this under the
// private Xvfb of unit.x11; without DISPLAY it is skipped), given by the GUI
// backend as the GUI console gives it: a caret face (a base face whose
// options name the face it is the caret of, as the console's caret names
// its terminal) moved as text is typed. No input method that edits over the
// spot can be had for the tests, so the spot is read where the layer keeps
// it for the input context.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "booted_fixture.h"
#include "gui/backend/view.h"
#include "platform/win/win.h"

namespace kez {
namespace {

class x11_caret_spot : public testing::booted_test {
 protected:
  void SetUp() override {
    if (!getenv("DISPLAY") || !*getenv("DISPLAY")) GTEST_SKIP() << "no X display";
    unsetenv("KEZ_HEADLESS");
    booted_test::SetUp();
  }
  void TearDown() override {
    if (getenv("DISPLAY") && *getenv("DISPLAY")) {
      run("unview/all");
      booted_test::TearDown();
    }
  }
  win::POINT spot(win::HWND h) { return win::layer::x11_counts_of(h).spot; }
};

TEST_F(x11_caret_spot, TheSpotFollowsTheConsolesCaretFace) {
  run("win: layout [at 0x0 con: base 300x100 255.255.255]"
      "cf: make face! [type: 'base color: 0.0.0 offset: 10x10 size: 1x17 options: compose [caret (con)]]"
      "append win/pane cf "
      "view/no-wait win loop 10 [do-events/no-wait]");
  win::HWND h = gui::view::face_window(run("win"));
  ASSERT_TRUE(h);
  ASSERT_EQ(win::layer::current(), win::layer::mode::x11);
  // The caret's foot: a frameless window's client area is its X window.
  struct row {
    const char* moved;
    int x, y;
  };
  const row rows[] = {
      {"cf/offset: 10x10", 10, 27},    // where it was made, before the X window was
      {"cf/offset: 120x10", 120, 27},  // a character typed
      {"cf/offset: 24x44", 24, 61},    // a new line
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.moved);
    run(std::string(r.moved) + " loop 5 [do-events/no-wait]");
    win::POINT at = spot(h);
    EXPECT_EQ(at.x, r.x);
    EXPECT_EQ(at.y, r.y);
  }
}

}  // namespace
}  // namespace kez
