// The backend's DPI conversions: device-independent units to pixels and back.
#include <gtest/gtest.h>

#include <thread>

#include "gui/backend/view.h"

namespace kez {
namespace {

TEST(gui_view, dpi_scale_rounds_half_up_on_both_sides_of_zero) {
  struct row {
    uint32_t dpi;
    double x;
    int32_t pixels;
  };
  const row rows[] = {
      {144, -10, -15}, {144, 10, 15}, {144, 0.3, 0}, {144, -0.3, 0}, {96, -10, -10},
      {96, -9.5, -9},  {96, 9.5, 10}, {120, -1, -1}, {192, -2.25, -4}, {192, 2.25, 5},
  };
  for (const row& r : rows) {
    gui::view::set_dpi(r.dpi);
    EXPECT_EQ(gui::view::dpi_scale(r.x), r.pixels) << r.dpi << " " << r.x;
  }
  gui::view::set_dpi(144);
  EXPECT_DOUBLE_EQ(gui::view::dpi_unscale(15), 10.0);
  gui::view::set_dpi(0);  // no DPI reads as the default
  EXPECT_EQ(gui::view::current_dpi(), 96u);
  gui::view::set_dpi(96);
}

}  // namespace
}  // namespace kez

namespace kez {
namespace {

// The camera's frame hand-over: frames nobody asked for are dropped; a
// wanted one is copied once and then waits, ready, for the GUI thread.
TEST(gui_view, camera_frame_slot_takes_only_wanted_frames) {
  gui::view::frame_slot slot;
  int fills = 0;
  auto fill = [&](std::vector<uint32_t>& px) {
    ++fills;
    px.assign(4, 0xFF00FF00u);
  };
  EXPECT_FALSE(slot.offer(fill));  // idle: dropped
  slot.want();
  EXPECT_TRUE(slot.offer(fill));
  EXPECT_EQ(slot.state.load(), 2);
  EXPECT_FALSE(slot.offer(fill));  // ready: the next one is dropped
  EXPECT_EQ(fills, 1);
  EXPECT_FALSE(slot.give_up());    // a frame came: nothing to give up
  slot.state.store(0);
  slot.want();
  EXPECT_TRUE(slot.give_up());     // asked, nothing came
  EXPECT_EQ(slot.state.load(), 0);

  // From another thread, many offers race one want: exactly one copy.
  slot.want();
  std::atomic<int> taken{0};
  std::thread t([&] {
    for (int i = 0; i < 1000; ++i)
      if (slot.offer(fill)) ++taken;
  });
  t.join();
  EXPECT_EQ(taken.load(), 1);
  EXPECT_EQ(slot.pixels.size(), 4u);
}

}  // namespace
}  // namespace kez
