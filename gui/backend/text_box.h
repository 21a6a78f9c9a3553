// Text formats of font! objects, layouts of strings and of rich-text faces,
// the rich-text style runs and the text-box metrics queries.
//
// Invariants:
// - Positions exchanged with the language count code points from 1; the
//   layouts count UTF-16 units from 0. utf16_offset converts between them.
// - Fonts and faces are read by field name, so any object with the fields
//   serves (a face made by the GUI dialect, or a plain object in a test).
// - A rich-text face keeps its layout block in its `handles` field: [layout
//   handle, none, text copy, layout-needed?]; the layout itself is a native
//   record in the handle table, released by the collector.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "gui/backend/d2d.h"
#include "platform/gfx/text.h"
#include "runtime/cell.h"

namespace kez::gui::text_box {

// The text format of a font object, or of the default font (system/view/
// fonts) for any other value.
std::shared_ptr<gfx::text_format> make_text_format(const cell* font);
// The font's colour when its `color` field is a tuple.
bool font_color(const cell* font, uint32_t* color);

// Paragraph flags (1 centre, 2 right, 4 middle, 8 bottom, 16 wrap) onto a
// format.
void set_para(gfx::text_format& format, uint32_t flags);
void set_tab_size(gfx::text_format& format, const cell* value);
// Uniform spacing of at least the natural line height; a value that is no
// number leaves the format alone.
void set_line_spacing(gfx::text_format& format, const cell* value);

// The style bits of a para object for a face type (word symbol).
uint32_t get_para_flags(uint32_t type_symbol, const cell* para);

// Code points from 1 <-> UTF-16 units from 0 over text.
uint32_t to_utf16_position(const std::u16string& text, int64_t code_point_index);
int64_t to_code_point_index(const std::u16string& text, uint32_t unit);

// text-box-metrics. A face is laid out from its text, font, para, size and,
// for rich-text, tabs, line-spacing and its data's style runs (a bad run
// raises draw-invalid); the face's `handles` block keeps the layout.
cell* metrics(const cell* face, const cell* arg, int32_t query, cell* out);
// The size of a text laid out as the face would show it.
gfx::text_metrics measure(const cell* face, const std::u16string& text);
// Marks a face's layout as outdated: the next metrics query lays it out again.
void layout_needed(const cell* face);
// Draws a face's layout at the point: its colour behind the text when it
// has a size, then the backdrop runs, then the text.
void draw_face(d2d::draw_ctx& ctx, gfx::point at, const cell* face);

}  // namespace kez::gui::text_box
