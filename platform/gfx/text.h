// Text formats and layouts over pango and our own font configuration,
// shaped like the formats and layouts the text backend works with.
//
// Invariants:
// - Every position and length is in UTF-16 units, as the backend counts
//   them; the layout maps them to pango's UTF-8 byte indexes both ways. A
//   position inside a surrogate pair means the pair.
// - Sizes are in device-independent pixels; layouts measure the same at any
//   DPI and on any target (glyphs unhinted, positions unrounded), and the
//   same from run to run: fonts come only from our own configuration.
// - The line model (positions, heights, baselines, alignment offsets) is the
//   layout's own, rebuilt after any change; metrics, hit tests and drawing
//   all read it, so they agree with each other.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/gfx/draw.h"

typedef struct _PangoLayout PangoLayout;
typedef struct _PangoContext PangoContext;
typedef struct _PangoAttrList PangoAttrList;

namespace kez::gfx {

// UTF-8 of UTF-16 text, a lone surrogate as U+FFFD; with a map, the byte
// index of every unit (a pair's two units share one) and of the end.
std::string utf8_of(std::u16string_view text, std::vector<uint32_t>* map = nullptr);

// Releases the process's font map and its caches (at exit: layouts made
// before must be gone). A later use makes a new one.
void release_font_map();

// The family that a name resolves to through our configuration.
std::string resolve_family(const std::string& name, int weight = 400, bool italic = false);
// The families our configuration offers (the fixed-pitch ones only, when
// asked), sorted, each once.
std::vector<std::string> font_families(bool fixed_pitch_only);

enum class font_style { normal, italic };

struct font_metrics {
  float ascent = 0, descent = 0, average_char_width = 0;
};
enum class text_alignment { leading, trailing, center };
enum class paragraph_alignment { near, far, center };
enum class word_wrapping { wrap, no_wrap };
enum class line_spacing_method { natural, uniform };

struct text_format {
  std::string family = "Segoe UI";
  int weight = 400;
  font_style style = font_style::normal;
  float size = 16;  // DIPs
  std::string locale = "en-us";
  text_alignment text_align = text_alignment::leading;
  paragraph_alignment paragraph_align = paragraph_alignment::near;
  word_wrapping wrapping = word_wrapping::wrap;
  float incremental_tab_stop = 0;  // 0: four times the size
  std::vector<float> tab_stops;    // explicit stops; past the last, its spacing repeats
  line_spacing_method spacing_method = line_spacing_method::natural;
  float line_spacing = 0, baseline = 0;  // uniform: line pitch and baseline from a line's top
};

// The metrics of the format's font (family, weight, style, size).
font_metrics measure_font(const text_format& format);

struct text_range {
  uint32_t start = 0, length = 0;
};

struct text_metrics {
  float left = 0, top = 0, width = 0, width_including_trailing_whitespace = 0, height = 0;
  float layout_width = 0, layout_height = 0;
  uint32_t line_count = 0;
};

struct line_metrics {
  uint32_t length = 0, trailing_whitespace_length = 0, newline_length = 0;
  float height = 0, baseline = 0;
};

struct hit_test_metrics {
  uint32_t text_position = 0, length = 0;
  float left = 0, top = 0, width = 0, height = 0;
  bool is_text = false;
};

class text_layout {
 public:
  // A maximum of 0 or less, or beyond 1e30, is unlimited.
  text_layout(std::u16string_view text, const text_format& format, float max_width, float max_height);
  ~text_layout();
  text_layout(const text_layout&) = delete;
  text_layout& operator=(const text_layout&) = delete;

  uint32_t length() const { return uint32_t(u16_to_byte_.size() - 1); }
  void set_max_width(float w);
  void set_max_height(float h);

  // Range styles; a range past the end is cut to the text.
  void set_color(color c, text_range r);
  void set_font_weight(int weight, text_range r);
  void set_font_style(font_style s, text_range r);
  void set_underline(bool on, text_range r);
  void set_strikethrough(bool on, text_range r);
  void set_font_family(const std::string& family, text_range r);
  void set_font_size(float dips, text_range r);

  text_metrics metrics();
  std::vector<line_metrics> get_line_metrics();
  // The caret's point before (or after, trailing) the position, and the
  // cluster that holds it.
  hit_test_metrics hit_test_text_position(uint32_t position, bool trailing, float* x, float* y);
  // The cluster under the point; trailing when the point is on its
  // trailing half; inside when the point is on the text.
  hit_test_metrics hit_test_point(float x, float y, bool* trailing, bool* inside);
  // One rectangle per line (per direction run) the range covers.
  std::vector<hit_test_metrics> hit_test_text_range(uint32_t position, uint32_t length, float origin_x = 0,
                                                    float origin_y = 0);

  // Draws at origin with the device context's transform; runs without a
  // colour of their own take the brush.
  void draw(device_context& dc, point origin, brush& default_brush);
  // The same on a bare cairo context with its current source and transform.
  void draw(cairo_t* cr, point origin, text_antialias_mode mode);

 private:
  struct line {
    uint32_t start, length;  // bytes, without the line break
    uint32_t next;           // byte where the next line starts
    float x, top, height, baseline, width, width_trailing;
  };
  void apply(void* attribute, text_range r);
  void ensure();
  const line& line_at_byte(uint32_t byte);
  uint32_t cluster_end(uint32_t byte) const;
  float x_of(const line& l, uint32_t byte, bool trailing);

  PangoContext* context_ = nullptr;
  PangoLayout* layout_ = nullptr;
  PangoAttrList* attrs_ = nullptr;
  text_format format_;
  float max_width_, max_height_;
  text_antialias_mode antialias_ = text_antialias_mode::grayscale;
  std::string utf8_;
  std::vector<uint32_t> u16_to_byte_;  // length + 1 entries
  std::vector<uint32_t> byte_to_u16_;  // bytes + 1 entries
  std::vector<line> lines_;
  bool dirty_ = true;
};

}  // namespace kez::gfx
