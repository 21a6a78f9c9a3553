#include "runtime/image_os.h"

#include <cairo.h>
#include <gtest/gtest.h>

#include "heap_fixture.h"
#include "runtime/datatypes/image.h"

namespace kez {
namespace {

using testing::heap_test;

class image_os_test : public heap_test {
 protected:
  void SetUp() override {
    heap_test::SetUp();
    collector::set_marker(TYPE_IMAGE, image::mark);
  }
  // An image! cell rooted for the test, over a new w x h record of colour.
  void make(cell& c, uint32_t w, uint32_t h, uint32_t colour) {
    image::make_at(&c, image_os::create_bitmap(w, h, nullptr, 0, nullptr, 0, &colour));
  }
  uint32_t records_in_use() {
    static uint32_t n;
    n = 0;
    handles::for_each_of_type(image_os::kind(), [](void*) { ++n; });
    return n;
  }
};

TEST_F(image_os_test, record_lives_while_a_value_reaches_it) {
  cell img{TYPE_NONE, 0, 0, 0};
  {
    collector::root_cells keep(&img);
    make(img, 3, 2, 0xFF102030);
    collector::do_cycle();
    collector::do_cycle();
    EXPECT_EQ(records_in_use(), 1u);
    EXPECT_EQ(image_os::get_pixel(img.w2, 5), 0xFF102030u);
    EXPECT_EQ(image::width_of(&img), 3u);
    EXPECT_EQ(image::height_of(&img), 2u);
  }
  collector::do_cycle();
  EXPECT_EQ(records_in_use(), 0u);
}

// A device bitmap survives one collection without use and goes at the next.
TEST_F(image_os_test, cached_bitmap_two_collection_rule) {
  cell img{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&img);
  make(img, 2, 2, 0xFFFFFFFF);
  cairo_surface_t* device = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 2, 2);
  image_os::set_cached_bitmap(img.w2, device);
  EXPECT_EQ(cairo_surface_get_reference_count(device), 2u);
  collector::do_cycle();
  EXPECT_EQ(cairo_surface_get_reference_count(device), 2u);
  cairo_surface_t* used = image_os::get_cached_bitmap(img.w2);  // a use: one more collection
  EXPECT_EQ(used, device);
  cairo_surface_destroy(used);
  collector::do_cycle();
  EXPECT_EQ(cairo_surface_get_reference_count(device), 2u);
  collector::do_cycle();
  EXPECT_EQ(cairo_surface_get_reference_count(device), 1u);
  EXPECT_EQ(image_os::get_cached_bitmap(img.w2), nullptr);
  cairo_surface_destroy(device);
}

// Writes reach the drawable; drawing reaches the pixels, straight again.
TEST_F(image_os_test, pixels_and_drawable_follow_each_other) {
  cell img{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&img);
  make(img, 2, 1, 0xFFFFFFFF);
  cairo_surface_t* device = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, 1, 1);
  image_os::set_cached_bitmap(img.w2, device);
  image_os::set_pixel(img.w2, 0, 0x80FF0000);
  cairo_surface_t* s = image_os::make_drawable(img.w2);
  EXPECT_EQ(image_os::get_cached_bitmap(img.w2), nullptr);  // rebuilt source: the cache went
  cairo_surface_destroy(device);
  auto* data = reinterpret_cast<uint32_t*>(cairo_image_surface_get_data(s));
  EXPECT_EQ(data[0], 0x80800000u);  // premultiplied
  EXPECT_EQ(image_os::get_pixel(img.w2, 0), 0x80FF0000u);  // not drawn yet: exact
  cairo_t* cr = cairo_create(s);
  cairo_set_operator(cr, CAIRO_OPERATOR_SOURCE);
  cairo_set_source_rgba(cr, 0, 0, 1, 0.5);
  cairo_rectangle(cr, 1, 0, 1, 1);
  cairo_fill(cr);
  cairo_destroy(cr);
  image_os::end_drawing(img.w2);
  uint32_t p = image_os::get_pixel(img.w2, 1);
  EXPECT_NEAR(int(p >> 24), 128, 1);
  EXPECT_EQ(p & 0xFFFF00, 0u);
  EXPECT_NEAR(int(p & 255), 255, 2);
}

TEST_F(image_os_test, flip_resize_and_clip) {
  cell img{TYPE_NONE, 0, 0, 0}, out{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&img), keep_out(&out);
  uint32_t px[] = {1, 2, 3, 4, 5, 6};
  image::make_at(&img, image_os::from_memory(3, 2, 0, reinterpret_cast<const uint8_t*>(px)));
  image::make_at(&out, image_os::flip_vertical(img.w2));
  EXPECT_EQ(image_os::get_pixel(out.w2, 0), 4u);
  EXPECT_EQ(image_os::get_pixel(out.w2, 5), 3u);
  image::make_at(&out, image_os::resize(img.w2, 6, 4));
  EXPECT_EQ(image::width_of(&out), 6u);
  const uint32_t expected[] = {1, 1, 2, 2, 3, 3, 1, 1, 2, 2, 3, 3, 4, 4, 5, 5, 6, 6};
  for (uint32_t i = 0; i < 18; ++i) EXPECT_EQ(image_os::get_pixel(out.w2, i), expected[i]) << i;
  image::make_at(&out, image_os::copy_region(img.w2, 1, 1, 5, 5));
  EXPECT_EQ(image::width_of(&out), 2u);
  EXPECT_EQ(image::height_of(&out), 1u);
  EXPECT_EQ(image_os::get_pixel(out.w2, 0), 5u);
  EXPECT_EQ(image_os::copy_region(img.w2, 3, 0, 1, 1), 0u);
}

TEST_F(image_os_test, encode_edges) {
  cell img{TYPE_NONE, 0, 0, 0}, out{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&img), keep_out(&out);
  image::make_at(&img, 0);
  image_os::encode(&out, &img, 1);
  EXPECT_EQ(type_of(&out), TYPE_BINARY);
  EXPECT_EQ(binary::ks_length_q(&out), 0);
  make(img, 1, 1, 0xFF000000);
  try {
    image_os::encode(&out, &img, 5);
    ADD_FAILURE() << "format 5 encoded";
  } catch (const thrown&) {
    EXPECT_EQ(error::last_category(), err::cat_script);
    EXPECT_EQ(error::last_id(), err::script::invalid_arg);
  }
  image_os::free_record(img.w2);
  EXPECT_THROW(image_os::lock_pixels(img.w2, false), thrown);
}

}  // namespace
}  // namespace kez
