#include "gui/backend/text_box.h"

#include <algorithm>
#include <cmath>

#include "gui/backend/d2d.h"
#include "gui/backend/font.h"
#include "gui/backend/utils.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/word.h"
#include "runtime/error_ids.h"
#include "runtime/handles.h"
#include "runtime/system_stub.h"

namespace kez::gui::text_box {

namespace {

constexpr const char* default_face = "Segoe UI";
constexpr float default_points = 9;

uint32_t sym(const char* name) { return symbol::resolve(symbol::make(name)); }



std::string utf8_of_string(const cell* s, size_t max_chars) { return gfx::utf8_of(utf16_of(s, max_chars)); }

// system/view/fonts: the default face and size.
void default_font(std::string* face, float* points) {
  *face = default_face;
  *points = default_points;
  if (const cell* f = system_stub::system_field({"view", "fonts", "system"}); f && type_of(f) == TYPE_STRING) {
    cell s = *f;
    *face = utf8_of_string(&s, 31);
  }
  if (const cell* z = system_stub::system_field({"view", "fonts", "size"})) {
    if (type_of(z) == TYPE_INTEGER && integer::get(z) > 0) *points = float(integer::get(z));
    if (type_of(z) == TYPE_FLOAT && float_::get(z) > 0) *points = float(float_::get(z));
  }
}

uint32_t color_of(const cell* t) { return to_color(t); }

// ---- the layout record of a rich-text face ------------------------------------------

struct backdrop {
  uint32_t start, length, color;
};
struct layout_record final : com_object {
  std::unique_ptr<gfx::text_layout> layout;
  std::u16string text;
  std::vector<backdrop> backdrops;
};

layout_record* record_of(const cell* handle) { return dynamic_cast<layout_record*>(com_object_of(handle)); }

[[noreturn]] void style_error(const cell* data, int32_t at) {
  cell where = *data;
  where.w1 = uint32_t(at);
  where.header &= ~uint32_t(FLAG_NEW_LINE);
  error::fire(err::cat_script, err::script::draw_invalid, &where);
}

// The style runs of rich-text data onto the layout.
void parse_styles(layout_record& rec, const cell* data_in) {
  cell data = *data_in;
  collector::root_cells keep(&data);
  const std::u16string& text = rec.text;
  gfx::text_layout& layout = *rec.layout;
  int64_t chars = to_code_point_index(text, uint32_t(text.size()));
  gfx::text_range range{0, 0};
  int32_t from = int32_t(data.w1);
  int32_t n = from + block::ks_length_q(&data);
  auto at = [&](int32_t i) -> const cell* { return i < n ? block::ks_abs_at(&data, i) : nullptr; };
  auto optional_style_args = [&](int32_t& i) {
    if (const cell* v = at(i + 1); v && type_of(v) == TYPE_TUPLE) ++i;
    if (const cell* v = at(i + 1); v && type_of(v) == TYPE_LIT_WORD) ++i;
  };
  for (int32_t i = from; i < n; ++i) {
    cell value = *at(i);
    const cell* v = &value;
    switch (type_of(v)) {
      case TYPE_PAIR: {
        // The range clipped to the text: never a negative count.
        int64_t begin = int64_t(pair::x_of(v)) - 1, end = begin + int64_t(pair::y_of(v));
        begin = std::clamp<int64_t>(begin, 0, chars);
        end = std::clamp<int64_t>(end, begin, chars);
        uint32_t b = to_utf16_position(text, begin + 1), e = to_utf16_position(text, end + 1);
        range = {b, e - b};
        break;
      }
      case TYPE_TUPLE: layout.set_color(d2d::to_color(color_of(v)), range); break;
      case TYPE_STRING: {
        cell s = *v;
        layout.set_font_family(gfx::resolve_family(utf8_of_string(&s, 31)), range);
        break;
      }
      case TYPE_INTEGER: layout.set_font_size(float(integer::get(v)) * 96 / 72, range); break;
      case TYPE_FLOAT: layout.set_font_size(float(float_::get(v)) * 96 / 72, range); break;
      case TYPE_WORD: {
        if (word_is(v, "bold")) {
          layout.set_font_weight(700, range);
        } else if (word_is(v, "italic")) {
          layout.set_font_style(gfx::font_style::italic, range);
        } else if (word_is(v, "underline")) {
          optional_style_args(i);
          layout.set_underline(true, range);
        } else if (word_is(v, "strike")) {
          optional_style_args(i);
          layout.set_strikethrough(true, range);
        } else if (word_is(v, "border")) {
          optional_style_args(i);
        } else if (word_is(v, "backdrop")) {
          const cell* c = at(i + 1);
          if (c && type_of(c) == TYPE_WORD && c->w1) c = context::get(c);
          if (!c || type_of(c) != TYPE_TUPLE) style_error(&data, i);
          rec.backdrops.push_back({range.start, range.length, color_of(c)});
          ++i;
        } else {
          style_error(&data, i);
        }
        break;
      }
      default: style_error(&data, i);
    }
  }
}

gfx::point point_of(const cell* v) {
  if (type_of(v) == TYPE_PAIR) return {float(pair::x_of(v)), float(pair::y_of(v))};
  return {point::coordinate(v, 0), point::coordinate(v, 1)};
}

}  // namespace

// ---- formats -----------------------------------------------------------------------------

namespace {

std::shared_ptr<gfx::text_format> format_of(const cell* font) {
  auto f = std::make_shared<gfx::text_format>();
  std::string face;
  float points;
  default_font(&face, &points);
  if (type_of(font) == TYPE_OBJECT) {
    cell size = object_field(font, "size");
    if (type_of(&size) == TYPE_INTEGER && integer::get(&size) >= 1) points = float(integer::get(&size));
    cell name = object_field(font, "name");
    if (type_of(&name) == TYPE_STRING) face = utf8_of_string(&name, 31);
    cell style = object_field(font, "style");
    auto apply = [&](const cell* w) {
      if (word_is(w, "bold")) f->weight = 700;
      if (word_is(w, "italic")) f->style = gfx::font_style::italic;
    };
    if (type_of(&style) == TYPE_WORD || type_of(&style) == TYPE_LIT_WORD) apply(&style);
    if (type_of(&style) == TYPE_BLOCK) {
      int32_t n = block::ks_length_q(&style);
      for (int32_t i = 0; i < n; ++i) apply(block::ks_head(&style) + i);
    }
  }
  f->family = gfx::resolve_family(face, f->weight, f->style == gfx::font_style::italic);
  f->size = points * 96 / 72;
  return f;
}

}  // namespace

std::shared_ptr<gfx::text_format> make_text_format(const cell* font) {
  if (type_of(font) == TYPE_OBJECT) return font_text_format(font, format_of);
  return format_of(font);
}

bool font_color(const cell* font, uint32_t* color) {
  cell c = object_field(font, "color");
  if (type_of(&c) != TYPE_TUPLE) return false;
  *color = color_of(&c);
  return true;
}

void set_para(gfx::text_format& f, uint32_t flags) {
  f.text_align = flags & 1   ? gfx::text_alignment::center
                 : flags & 2 ? gfx::text_alignment::trailing
                             : gfx::text_alignment::leading;
  f.paragraph_align = flags & 4   ? gfx::paragraph_alignment::center
                      : flags & 8 ? gfx::paragraph_alignment::far
                                  : gfx::paragraph_alignment::near;
  f.wrapping = flags & 16 ? gfx::word_wrapping::wrap : gfx::word_wrapping::no_wrap;
}

void set_tab_size(gfx::text_format& f, const cell* value) {
  if (type_of(value) == TYPE_INTEGER) f.incremental_tab_stop = float(integer::get(value));
  if (type_of(value) == TYPE_FLOAT) f.incremental_tab_stop = float(float_::get(value));
}

void set_line_spacing(gfx::text_format& f, const cell* value) {
  bool given = value && (type_of(value) == TYPE_INTEGER || type_of(value) == TYPE_FLOAT);
  if (value && !given) return;
  gfx::text_format probe = f;
  probe.spacing_method = gfx::line_spacing_method::natural;
  gfx::text_layout l(u"I", probe, 0, 0);
  std::vector<gfx::line_metrics> lines = l.get_line_metrics();
  float height = lines.empty() ? 0 : lines[0].height, baseline = lines.empty() ? 0 : lines[0].baseline;
  float spacing = given ? float(type_of(value) == TYPE_INTEGER ? integer::get(value) : float_::get(value)) : height;
  if (height > spacing) spacing = height;
  f.spacing_method = gfx::line_spacing_method::uniform;
  f.line_spacing = spacing;
  f.baseline = baseline;
}

uint32_t get_para_flags(uint32_t type_symbol, const cell* para) {
  if (type_of(para) != TYPE_OBJECT) return 0;
  uint32_t t = symbol::resolve(type_symbol);
  struct row {
    uint32_t left, center, right, def_h, top, middle, bottom, def_v;
  };
  row r{};
  enum { WRAP_NONE, WRAP_ON_TRUE, WRAP_ON_FALSE } wrap_rule = WRAP_NONE;
  uint32_t wrap_bit = 0;
  if (t == sym("base")) {
    r = {0, 1, 2, 1, 0, 4, 8, 4}, wrap_rule = WRAP_ON_TRUE, wrap_bit = 16;
  } else if (t == sym("rich-text")) {
    r = {0, 1, 2, 0, 0, 4, 8, 0}, wrap_rule = WRAP_ON_TRUE, wrap_bit = 16;
  } else if (t == sym("button") || t == sym("toggle")) {
    r = {0x100, 0x300, 0x200, 0x300, 0x400, 0xC00, 0x800, 0xC00};
  } else if (t == sym("check") || t == sym("radio")) {
    r = {0x100, 0x300, 0x200, 0x100, 0x400, 0xC00, 0x800, 0xC00};
  } else if (t == sym("field") || t == sym("area")) {
    r = {0, 1, 2, 0, 0, 0x200, 0, 0}, wrap_rule = WRAP_ON_FALSE, wrap_bit = 0xC0;
  } else if (t == sym("text")) {
    r = {0, 1, 2, 0, 0, 0x200, 0, 0}, wrap_rule = WRAP_ON_FALSE, wrap_bit = 0x4000;
  } else {
    return 0;
  }
  cell align = object_field(para, "align"), v_align = object_field(para, "v-align"), wrap = object_field(para, "wrap?");
  uint32_t h = word_is(&align, "left") ? r.left : word_is(&align, "center") ? r.center
               : word_is(&align, "right")                                   ? r.right
                                                                            : r.def_h;
  uint32_t v = word_is(&v_align, "top") ? r.top : word_is(&v_align, "middle") ? r.middle
               : word_is(&v_align, "bottom")                                  ? r.bottom
                                                                              : r.def_v;
  bool wrap_true = type_of(&wrap) == TYPE_LOGIC && wrap.w1;
  bool wrap_none = type_of(&wrap) == TYPE_NONE;
  bool wrap_false = type_of(&wrap) == TYPE_LOGIC && !wrap.w1;
  uint32_t w = 0;
  if (wrap_rule == WRAP_ON_TRUE && (wrap_true || wrap_none)) w = wrap_bit;
  if (wrap_rule == WRAP_ON_FALSE && wrap_false) w = wrap_bit;
  return h | v | w;
}

// ---- text and positions ----------------------------------------------------------------------


uint32_t to_utf16_position(const std::u16string& text, int64_t index) {
  uint32_t unit = 0;
  for (int64_t i = 1; i < index && unit < text.size(); ++i)
    unit += (text[unit] >= 0xD800 && text[unit] < 0xDC00 && unit + 1 < text.size()) ? 2 : 1;
  return unit;
}

int64_t to_code_point_index(const std::u16string& text, uint32_t unit) {
  int64_t chars = 0;
  for (uint32_t u = 0; u < unit && u < text.size(); ++chars)
    u += (text[u] >= 0xD800 && text[u] < 0xDC00 && u + 1 < text.size()) ? 2 : 1;
  return chars;
}

// ---- rich-text faces --------------------------------------------------------------------------

namespace {

// The face's text laid out as the face shows it: in its font, aligned and
// wrapped by its para, within its size; for rich-text with its tabs and
// line spacing (the style runs of its data are not applied here).
std::unique_ptr<gfx::text_layout> layout_of(const cell* face_in, const std::u16string& text) {
  cell face = *face_in;
  collector::root_cells keep(&face);
  cell font = object_field(&face, "font"), para = object_field(&face, "para"), size = object_field(&face, "size");
  collector::root_cells keep_font(&font), keep_para(&para);
  // A copy: the font's own format is shared by every user of the font.
  auto format = std::make_shared<gfx::text_format>(*make_text_format(&font));
  cell type = object_field(&face, "type");
  uint32_t type_sym = type_of(&type) == TYPE_WORD ? type.w2 : sym("rich-text");
  bool rich = symbol::resolve(type_sym) == sym("rich-text");
  set_para(*format, type_of(&para) == TYPE_OBJECT ? get_para_flags(type_sym, &para) : (rich ? 16 : 5));
  if (rich) {
    cell tabs = object_field(&face, "tabs"), spacing = object_field(&face, "line-spacing");
    set_tab_size(*format, &tabs);
    set_line_spacing(*format, &spacing);
  }
  float max_w = 0, max_h = 0;
  if (type_of(&size) == TYPE_PAIR || type_of(&size) == TYPE_POINT2D) {
    gfx::point p = point_of(&size);
    max_w = float(int64_t(p.x + 0.5f));
    max_h = float(int64_t(p.y + 0.5f));
  }
  return std::make_unique<gfx::text_layout>(text, *format, max_w, max_h);
}

// Lays the face out anew into its record (made on first use). The record's
// handle goes to handle_out, which the caller roots: a face without a
// `handles` field holds it nowhere else.
layout_record* make_layout(const cell* face_in, cell* handle_out) {
  cell face = *face_in;
  collector::root_cells keep(&face);
  cell text = object_field(&face, "text");
  collector::root_cells keep_text(&text);
  if (type_of(&text) != TYPE_STRING) return nullptr;
  cell handles_field = object_field(&face, "handles");
  collector::root_cells keep_handles(&handles_field);
  layout_record* rec = nullptr;
  if (type_of(&handles_field) == TYPE_BLOCK && block::ks_length_q(&handles_field) >= 1) {
    rec = record_of(block::ks_head(&handles_field));
    if (rec) *handle_out = *block::ks_head(&handles_field);
  }
  if (!rec) {
    // [layout none text-copy layout-needed?] in the face's handles field.
    auto* fresh = new layout_record;
    *handle_out = make_com_handle(fresh);
    cell h = *handle_out;
    cell blk;
    block::make_at(&blk, 4);
    collector::root_cells keep_blk(&blk);
    cell none_cell, no;
    none::make_at(&none_cell);
    logic::make_at(&no, false);
    block::ks_append(&blk, &h);
    block::ks_append(&blk, &none_cell);
    block::ks_append(&blk, &none_cell);
    block::ks_append(&blk, &no);
    if (cell* slot = object_field_slot(&face, "handles")) *slot = blk;
    rec = fresh;
    handles_field = blk;
  }
  rec->text = utf16_of(&text);
  rec->backdrops.clear();
  cell font = object_field(&face, "font");
  collector::root_cells keep_font(&font);
  rec->layout = layout_of(&face, rec->text);
  uint32_t c;
  if (font_color(&font, &c)) rec->layout->set_color(d2d::to_color(c), {0, uint32_t(rec->text.size())});
  // Copy of the text laid out, and the flag cleared.
  if (type_of(&handles_field) == TYPE_BLOCK && block::ks_length_q(&handles_field) >= 4) {
    cell copy;
    string::make_at(&copy, 0);
    collector::root_cells keep_copy(&copy);
    string::concatenate(&copy, &text, -1, 0, true, string::CONCAT_APPEND);
    cell* b = block::ks_head(&handles_field);
    b[2] = copy;
    logic::make_at(&b[3], false);
  }
  cell data = object_field(&face, "data");
  collector::root_cells keep_data(&data);
  if (type_of(&data) == TYPE_BLOCK && block::ks_length_q(&data) > 1) parse_styles(*rec, &data);
  return rec;
}

}  // namespace


cell* metrics(const cell* face_in, const cell* arg, int32_t query, cell* out) {
  cell face = *face_in, a = *arg;
  collector::root_cells keep(&face), keep_a(&a);
  cell type = object_field(&face, "type");
  if (!word_is(&type, "rich-text")) error::fire(err::cat_script, err::script::face_type, &type);
  cell text = object_field(&face, "text");
  if (type_of(&text) != TYPE_STRING) return none::make_at(out);
  // A layout is made again when the face asks for it, or when its text is
  // no longer the text laid out.
  layout_record* rec = nullptr;
  cell handles_field = object_field(&face, "handles");
  collector::root_cells keep_handles(&handles_field);
  if (type_of(&handles_field) == TYPE_BLOCK && block::ks_length_q(&handles_field) >= 4) {
    cell* b = block::ks_head(&handles_field);
    rec = record_of(b);
    bool needed = !(type_of(&b[3]) == TYPE_LOGIC && !b[3].w1);
    if (rec && (needed || rec->text != utf16_of(&text))) rec = nullptr;
  }
  cell handle;
  none::make_at(&handle);
  collector::root_cells keep_handle(&handle);
  if (!rec) rec = make_layout(&face, &handle);
  if (!rec) return none::make_at(out);
  gfx::text_layout& l = *rec->layout;
  const std::u16string& t = rec->text;
  switch (query) {
    case 0:
    case 6: {
      if (type_of(&a) != TYPE_INTEGER) return none::make_at(out);
      float x = 0, y = 0;
      gfx::hit_test_metrics m = l.hit_test_text_position(to_utf16_position(t, integer::get(&a)), false, &x, &y);
      if (query == 6) x += m.width, y += m.height;
      if (y < 0) y = 0;
      return point2D::make_at(out, x, y);
    }
    case 1:
    case 5: {
      if (type_of(&a) != TYPE_PAIR && type_of(&a) != TYPE_POINT2D) return none::make_at(out);
      gfx::point p = point_of(&a);
      bool trailing = false, inside = false;
      gfx::hit_test_metrics m = l.hit_test_point(p.x, p.y, &trailing, &inside);
      int64_t index = to_code_point_index(t, m.text_position) + 1;
      if (query == 1 && trailing) ++index;
      return integer::make_at(out, int32_t(index));
    }
    case 2: {
      if (type_of(&a) != TYPE_INTEGER) return none::make_at(out);
      uint32_t pos = to_utf16_position(t, integer::get(&a));
      std::vector<gfx::line_metrics> lines = l.get_line_metrics();
      float h = lines.empty() ? 0 : lines.back().height;
      for (const gfx::line_metrics& lm : lines) {
        if (pos < lm.length) {
          h = lm.height;
          break;
        }
        pos -= lm.length;
      }
      return float_::make_at(out, double(h));
    }
    case 3: {
      gfx::text_metrics m = l.metrics();
      return point2D::make_at(out, m.width, m.height);
    }
    default: return integer::make_at(out, int32_t(l.metrics().line_count));
  }
}

gfx::text_metrics measure(const cell* face, const std::u16string& text) { return layout_of(face, text)->metrics(); }

void layout_needed(const cell* face) {
  cell handles = object_field(face, "handles");
  if (type_of(&handles) == TYPE_BLOCK && block::ks_length_q(&handles) >= 4) logic::make_at(&block::ks_head(&handles)[3], true);
}

void draw_face(d2d::draw_ctx& ctx, gfx::point at, const cell* face_in) {
  cell face = *face_in;
  collector::root_cells keep(&face);
  cell handle;
  none::make_at(&handle);
  collector::root_cells keep_handle(&handle);
  layout_record* rec = make_layout(&face, &handle);
  if (!rec || !ctx.dc) return;
  cell color = object_field(&face, "color"), size = object_field(&face, "size");
  if (type_of(&color) == TYPE_TUPLE && (type_of(&size) == TYPE_PAIR || type_of(&size) == TYPE_POINT2D)) {
    gfx::point s = point_of(&size);
    auto b = gfx::brush::solid(d2d::to_color(color_of(&color)));
    ctx.dc->fill_rectangle({at.x, at.y, at.x + s.x, at.y + s.y}, *b);
  }
  for (const backdrop& bd : rec->backdrops) {
    auto b = gfx::brush::solid(d2d::to_color(bd.color));
    for (const gfx::hit_test_metrics& m : rec->layout->hit_test_text_range(bd.start, bd.length, at.x, at.y)) {
      float left = float(int64_t(m.left + 0.5f)), top = float(int64_t(m.top + 0.5f));
      float w = float(int64_t(m.width + 0.5f)), h = float(int64_t(m.height + 0.99f));
      ctx.dc->fill_rectangle({left, top, left + w, top + h}, *b);
    }
  }
  d2d::draw_layout(ctx, at, *rec->layout);
}

}  // namespace kez::gui::text_box
