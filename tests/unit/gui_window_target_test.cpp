// Window render targets of the draw backend over the headless window system.
#include <gtest/gtest.h>

#include "gui/backend/d2d.h"
#include "win_fixture.h"

namespace kez::win::test {
namespace {

using namespace kez::gui;

class window_target : public window_system {};

TEST_F(window_target, DrawsOnTheClientAreaAndShowsIt) {
  HWND w = top(10, 10, 120, 100, u"Rec", WS_POPUP | WS_VISIBLE | WS_CAPTION);
  HWND c = child(w, 5, 5, 30, 20);
  d2d::draw_ctx ctx;
  uint32_t blue = 0x00FF0000;
  d2d::draw_begin_window(ctx, c, false, &blue);
  ASSERT_TRUE(ctx.dc);
  d2d::set_pen_color(ctx, 0, true);
  d2d::set_fill_color(ctx, 0x000000FF, false);
  d2d::draw_box(ctx, {0, 0}, {10, 10}, 0);
  d2d::draw_end(ctx);
  cairo_surface_t* shot = layer::snapshot(w);
  RECT wr, cr;
  POINT o{0, 0};
  GetWindowRect(w, &wr);
  GetClientRect(w, &cr);
  ClientToScreen(w, &o);
  int cx = o.x - wr.left + 5, cy = o.y - wr.top + 5;  // the child's top-left in the snapshot
  EXPECT_EQ(pixel(shot, cx + 2, cy + 2), 0xFFFF0000u);   // the red box
  EXPECT_EQ(pixel(shot, cx + 20, cy + 15), 0xFF0000FFu);  // cleared to blue
  cairo_surface_destroy(shot);
  d2d::release_all_targets();
}

TEST_F(window_target, TargetFollowsTheClientSize) {
  HWND w = top(0, 0, 40, 30);
  d2d::render_target* t = d2d::get_window_target(w);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->width, 40);
  EXPECT_EQ(t->height, 30);
  EXPECT_EQ(d2d::get_window_target(w), t);
  SetWindowPos(w, 0, 0, 0, 50, 20, SWP_NOMOVE | SWP_NOZORDER);
  t = d2d::get_window_target(w);
  EXPECT_EQ(t->width, 50);
  EXPECT_EQ(t->height, 20);
  EXPECT_NE(d2d::get_layered_buffer(w), nullptr);
  d2d::release_all_targets();
}

TEST_F(window_target, ContextWithoutTargetDrawsNothing) {
  d2d::draw_ctx ctx;
  d2d::draw_begin_window(ctx, 0, false, nullptr);
  EXPECT_FALSE(ctx.dc);
  d2d::draw_box(ctx, {0, 0}, {10, 10}, 0);
  d2d::saved_state s = d2d::push_state(ctx);
  d2d::pop_state(ctx, s);  // a restore after a failed save changes nothing
  d2d::draw_end(ctx);
}

}  // namespace
}  // namespace kez::win::test
