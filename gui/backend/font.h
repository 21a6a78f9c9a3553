// Fonts of font! objects: the native font a face's text is measured and
// drawn with, kept in the font's `state` block, and the text format the
// draw backend caches beside it.
//
// font-state: [font handle at the current DPI, text-format handle or none,
// font handle at 96 DPI or none]. Each handle is a handle-table record, so
// the collector releases what no value reaches any more.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/gfx/gdi_text.h"
#include "platform/gfx/text.h"
#include "runtime/cell.h"

namespace kez::gui {

// Native objects held by handle! values of the kind "com-object": each is
// deleted through its own destructor when the collector releases it.
struct com_object {
  virtual ~com_object() = default;
};
uint32_t com_object_kind();
// A handle! cell over a new handle-table record of the object (taken over).
cell make_com_handle(com_object* object);
com_object* com_object_of(const cell* handle);

// What a font becomes: the character height at a DPI, the weight and
// attributes of its style words, the quality of its anti-alias? value, the
// name cut to 31 characters (the default face when empty).
struct font_spec {
  float points = 0;  // 0 or less: the default size
  std::u16string name;
  bool bold = false, italic = false, underline = false, strike = false;
  enum { DEFAULT, ANTIALIASED, CLEARTYPE } quality = DEFAULT;
};
gfx::log_font log_font_of(const font_spec& spec, float default_points, uint32_t dpi);

// gui/make-font: a native font of the font object at the current DPI (or
// 96) stored in its state block; the face (when an object) joins the font's
// parent list. Answers the font.
const gfx::gdi_font* make_font(const cell* face, const cell* font, bool current_dpi);
// gui/get-font: the font's native font at the current DPI, made only when it
// has none; the face (when an object) joins the font's parent list.
const gfx::gdi_font* get_font(const cell* face, const cell* font);
// gui/unlink-from-font: the face leaves the parent list of a font or para
// object; a font whose list becomes empty frees its native fonts.
void unlink_from_font(const cell* face, const cell* font_or_para, bool font);
// gui/free-font-handle: every handle of the state released, state none.
void free_font_handle(const cell* font);
// gui/update-font: after a change of field index (name 0, size 1, style 2,
// angle 3, anti-alias? 5) the font is made again; colour and shadow keep it.
void update_font(const cell* font, int32_t field);

// The cached text format of a font object (made and stored on first use).
std::shared_ptr<gfx::text_format> font_text_format(const cell* font,
                                                   std::shared_ptr<gfx::text_format> (*make)(const cell*));

}  // namespace kez::gui
