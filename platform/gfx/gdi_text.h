// GDI-shaped text over the same layouts: fonts made from a description,
// DrawText with the flags the backend passes, and text extents. Units are
// the target's pixels, rectangles whole pixels, as the backend expects.
//
// Invariants:
// - A font's line height is whole pixels (ascent and descent rounded), and
//   every line of DrawText sits on that pitch; extents are rounded up.
// - A dc without a target only measures.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/gfx/text.h"

namespace kez::gfx {

enum : int32_t { DEFAULT_QUALITY = 0, NONANTIALIASED_QUALITY = 3, ANTIALIASED_QUALITY = 4, CLEARTYPE_QUALITY = 5 };
enum : int32_t { FW_DONTCARE = 0, FW_NORMAL = 400, FW_BOLD = 700 };
enum : uint32_t {
  DT_TOP = 0, DT_LEFT = 0, DT_CENTER = 0x1, DT_RIGHT = 0x2, DT_VCENTER = 0x4, DT_BOTTOM = 0x8,
  DT_WORDBREAK = 0x10, DT_SINGLELINE = 0x20, DT_EXPANDTABS = 0x40, DT_NOCLIP = 0x100,
  DT_CALCRECT = 0x400, DT_NOPREFIX = 0x800,
};
enum : int32_t { TRANSPARENT = 1, OPAQUE = 2 };

// What a font is made from. A negative height is the character height
// (the em) in pixels, a positive one the cell height (ascent + descent).
struct log_font {
  int32_t height = 0;  // 0: the default size
  int32_t weight = FW_DONTCARE;
  bool italic = false, underline = false, strike_out = false;
  int32_t quality = DEFAULT_QUALITY;
  std::u16string face_name;  // cut to 31 units; empty: the default face
};

struct gdi_rect {
  int32_t left = 0, top = 0, right = 0, bottom = 0;
};

struct text_size {
  int32_t cx = 0, cy = 0;
};

class gdi_font {
 public:
  explicit gdi_font(const log_font& lf);
  const log_font& description() const { return lf_; }
  const text_format& format() const { return measure(), format_; }
  int32_t height() const { return measure(), ascent_ + descent_; }  // tmHeight
  int32_t ascent() const { return measure(), ascent_; }
  int32_t average_char_width() const { return measure(), average_; }
  text_antialias_mode antialias() const;

 private:
  // Metrics come from the text library on first use: making a font (as the
  // window system's start does) stays cheap and loads nothing.
  void measure() const;
  log_font lf_;
  mutable text_format format_;
  mutable int32_t ascent_ = 0, descent_ = 0, average_ = 0;
  mutable bool measured_ = false;
};

// The font a dc uses when none is selected: the GUI's default face at 9
// points on a 96-DPI screen.
const gdi_font& default_gui_font();

class gdi_dc {
 public:
  // Draws onto target (a reference is taken) or, without one, only measures.
  explicit gdi_dc(cairo_surface_t* target = nullptr);
  ~gdi_dc();
  gdi_dc(const gdi_dc&) = delete;
  gdi_dc& operator=(const gdi_dc&) = delete;

  // Answers the font selected before; the dc does not own fonts.
  const gdi_font* select_font(const gdi_font* font);
  const gdi_font& font() const { return font_ ? *font_ : default_gui_font(); }
  uint32_t set_text_color(uint32_t colorref);  // 0x00BBGGRR
  int32_t set_bk_mode(int32_t mode);
  uint32_t set_bk_color(uint32_t colorref);

  // Draws (or, with DT_CALCRECT, measures into r) and answers the text's
  // height; an ampersand marks the next character unless DT_NOPREFIX.
  int32_t draw_text(std::u16string_view text, gdi_rect& r, uint32_t format);
  text_size get_text_extent_point(std::u16string_view text);
  // Width in the low word, height in the high; no tab positions: stops
  // every eight average character widths; one: every that many pixels;
  // more: at those pixels.
  uint32_t get_tabbed_text_extent(std::u16string_view text, const std::vector<int32_t>& tab_stops);

 private:
  cairo_surface_t* target_ = nullptr;
  const gdi_font* font_ = nullptr;
  uint32_t text_color_ = 0, bk_color_ = 0xFFFFFF;
  int32_t bk_mode_ = OPAQUE;
};

}  // namespace kez::gfx
