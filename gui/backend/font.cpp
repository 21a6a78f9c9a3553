#include "gui/backend/font.h"

#include "gui/backend/utils.h"

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/handle.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/handles.h"
#include "runtime/system_stub.h"

namespace kez::gui {

namespace {

constexpr uint32_t CURRENT_DPI = 96;  // no window gives another DPI yet



struct font_record final : com_object {
  explicit font_record(const gfx::log_font& lf) : font(lf) {}
  gfx::gdi_font font;
};
struct format_record final : com_object {
  std::shared_ptr<gfx::text_format> format;
};

uint32_t font_kind() {
  uint32_t k = handles::kind_named("font");
  if (!k) k = handles::register_type("font", [](void* p) { delete static_cast<com_object*>(p); });
  return k;
}

// The handle's value is a serial number, so a remade object never equals
// the one it replaced even when it reuses the table record.
cell make_handle(com_object* object, uint32_t kind, uint32_t klass) {
  static uint32_t serial = 0;
  int32_t index = handles::store(object, kind);
  return cell{TYPE_HANDLE, klass, ++serial, uint32_t(index)};
}

float default_points() {
  if (const cell* z = system_stub::system_field({"view", "fonts", "size"})) {
    if (type_of(z) == TYPE_INTEGER && integer::get(z) > 0) return float(integer::get(z));
    if (type_of(z) == TYPE_FLOAT && float_::get(z) > 0) return float(float_::get(z));
  }
  return 9;
}


font_spec spec_of(const cell* font) {
  font_spec s;
  cell size = object_field(font, "size");
  if (type_of(&size) == TYPE_INTEGER && integer::get(&size) > 0) s.points = float(integer::get(&size));
  cell name = object_field(font, "name");
  if (type_of(&name) == TYPE_STRING) s.name = utf16_of(&name, 31);
  cell style = object_field(font, "style");
  auto apply = [&](const cell* w) {
    if (word_is(w, "bold")) s.bold = true;
    if (word_is(w, "italic")) s.italic = true;
    if (word_is(w, "underline")) s.underline = true;
    if (word_is(w, "strike")) s.strike = true;
  };
  if (type_of(&style) == TYPE_WORD || type_of(&style) == TYPE_LIT_WORD) apply(&style);
  if (type_of(&style) == TYPE_BLOCK)
    for (int32_t i = 0, n = block::ks_length_q(&style); i < n; ++i) apply(block::ks_head(&style) + i);
  cell aa = object_field(font, "anti-alias?");
  if (type_of(&aa) == TYPE_LOGIC && aa.w1) s.quality = font_spec::ANTIALIASED;
  if (word_is(&aa, "ClearType")) s.quality = font_spec::CLEARTYPE;
  return s;
}

// Where the face stands in a parent block, counted from the block's head
// (the value itself may stand at its tail), or -1.
int32_t find_in_parent(const cell* parent, const cell* face) {
  cell from_head = *parent;
  from_head.w1 = 0;
  for (int32_t i = 0, n = block::ks_length_q(&from_head); i < n; ++i) {
    const cell* v = block::ks_head(&from_head) + i;
    if (type_of(v) == TYPE_OBJECT && v->w1 == face->w1) return i;
  }
  return -1;
}

// The face joins the font's parent block (a new block of 4 when it has none).
void link_parent(const cell* font, const cell* face) {
  if (type_of(font) != TYPE_OBJECT || type_of(face) != TYPE_OBJECT) return;
  cell f = *font, fc = *face;
  collector::root_cells keep_f(&f), keep_fc(&fc);
  cell parent = object_field(&f, "parent");
  if (type_of(&parent) != TYPE_BLOCK) {
    block::make_at(&parent, 4);
    if (cell* slot = object_field_slot(&f, "parent")) *slot = parent;
  }
  collector::root_cells keep_p(&parent);
  if (find_in_parent(&parent, &fc) < 0) block::ks_append(&parent, &fc);
}

// The state block of a font, made [none none none] when it is none.
cell state_block(const cell* font) {
  cell state = object_field(font, "state");
  if (type_of(&state) == TYPE_BLOCK && block::ks_length_q(&state) >= 3) return state;
  cell f = *font;
  collector::root_cells keep(&f);
  block::make_at(&state, 3);
  collector::root_cells keep_state(&state);
  cell n;
  none::make_at(&n);
  for (int i = 0; i < 3; ++i) block::ks_append(&state, &n);
  if (cell* slot = object_field_slot(&f, "state")) *slot = state;
  return state;
}

}  // namespace

uint32_t com_object_kind() {
  uint32_t k = handles::kind_named("com-object");
  if (!k) k = handles::register_type("com-object", [](void* p) { delete static_cast<com_object*>(p); });
  return k;
}

cell make_com_handle(com_object* object) { return make_handle(object, com_object_kind(), 0); }

com_object* com_object_of(const cell* h) {
  if (type_of(h) != TYPE_HANDLE || int32_t(h->w3) < 0) return nullptr;
  uint32_t k = handles::kind(int32_t(h->w3));
  if (k != com_object_kind() && k != font_kind()) return nullptr;
  return static_cast<com_object*>(handles::pointer(int32_t(h->w3)));
}

gfx::log_font log_font_of(const font_spec& spec, float default_pts, uint32_t dpi) {
  gfx::log_font lf;
  float points = spec.points > 0 ? spec.points : default_pts;
  lf.height = -int32_t(points * float(dpi)) / 72;
  lf.weight = spec.bold ? gfx::FW_BOLD : gfx::FW_DONTCARE;
  lf.italic = spec.italic;
  lf.underline = spec.underline;
  lf.strike_out = spec.strike;
  lf.quality = spec.quality == font_spec::CLEARTYPE     ? gfx::CLEARTYPE_QUALITY
               : spec.quality == font_spec::ANTIALIASED ? gfx::ANTIALIASED_QUALITY
                                                         : gfx::DEFAULT_QUALITY;
  lf.face_name = spec.name.size() > 31 ? spec.name.substr(0, 31) : spec.name;
  return lf;
}

const gfx::gdi_font* make_font(const cell* face_in, const cell* font_in, bool current_dpi) {
  cell face = *face_in, font = *font_in;
  collector::root_cells keep_face(&face), keep_font(&font);
  if (type_of(&font) != TYPE_OBJECT) return nullptr;
  font_spec spec = spec_of(&font);
  cell state = object_field(&font, "state");
  bool had_block = type_of(&state) == TYPE_BLOCK && block::ks_length_q(&state) >= 3;
  if (had_block && current_dpi) make_font(&face, &font, false);
  auto* rec = new font_record(log_font_of(spec, default_points(), current_dpi ? CURRENT_DPI : 96));
  cell h = make_handle(rec, font_kind(), handle::KIND_FONT);
  collector::root_cells keep_h(&h);
  state = state_block(&font);
  block::ks_head(&state)[current_dpi ? 0 : 2] = h;
  link_parent(&font, &face);
  return &rec->font;
}

void free_font_handle(const cell* font_in) {
  cell font = *font_in;
  cell state = object_field(&font, "state");
  if (type_of(&state) != TYPE_BLOCK) return;
  bool freed = false;
  for (int32_t i = 0, n = std::min(block::ks_length_q(&state), 3); i < n; ++i) {
    cell* v = block::ks_head(&state) + i;
    if (type_of(v) == TYPE_HANDLE && int32_t(v->w3) >= 0 && com_object_of(v)) {
      handles::release(int32_t(v->w3), true);
      none::make_at(v);
      freed = true;
    }
  }
  if (freed)
    if (cell* slot = object_field_slot(&font, "state")) none::make_at(slot);
}

const gfx::gdi_font* get_font(const cell* face_in, const cell* font_in) {
  cell face = *face_in, font = *font_in;
  collector::root_cells keep_face(&face), keep_font(&font);
  if (type_of(&font) != TYPE_OBJECT) return nullptr;
  cell state = object_field(&font, "state");
  if (type_of(&state) == TYPE_BLOCK && block::ks_length_q(&state) >= 1) {
    const cell* h = block::ks_head(&state);
    if (auto* rec = dynamic_cast<font_record*>(com_object_of(h))) {
      link_parent(&font, &face);
      return &rec->font;
    }
  }
  return make_font(&face, &font, true);
}

void unlink_from_font(const cell* face_in, const cell* holder_in, bool font) {
  cell face = *face_in, holder = *holder_in;
  collector::root_cells keep_face(&face), keep_holder(&holder);
  if (type_of(&holder) != TYPE_OBJECT || type_of(&face) != TYPE_OBJECT) return;
  cell parent = object_field(&holder, "parent");
  if (type_of(&parent) != TYPE_BLOCK) return;
  collector::root_cells keep_parent(&parent);
  int32_t at = find_in_parent(&parent, &face);
  if (at < 0) return;
  cell there = parent;
  there.w1 = uint32_t(at);
  series::remove(&there, nullptr, nullptr);
  // A font nobody uses lets its native fonts go.
  cell from_head = parent;
  from_head.w1 = 0;
  if (font && block::ks_length_q(&from_head) == 0) free_font_handle(&holder);
}

void update_font(const cell* font_in, int32_t index) {
  cell font = *font_in;
  collector::root_cells keep(&font);
  if (type_of(&font) != TYPE_OBJECT) return;
  if (index == 4 || index == 6) return;  // colour and shadow keep the font
  free_font_handle(&font);
  cell none_face;
  none::make_at(&none_face);
  make_font(&none_face, &font, true);
}

std::shared_ptr<gfx::text_format> font_text_format(const cell* font_in,
                                                   std::shared_ptr<gfx::text_format> (*make)(const cell*)) {
  cell font = *font_in;
  collector::root_cells keep(&font);
  cell state = state_block(&font);
  collector::root_cells keep_state(&state);
  if (auto* r = dynamic_cast<format_record*>(com_object_of(block::ks_head(&state) + 1))) return r->format;
  // The native font is made first, as the text backend expects it there.
  if (type_of(block::ks_head(&state)) == TYPE_NONE) {
    cell none_face;
    none::make_at(&none_face);
    make_font(&none_face, &font, true);
    state = state_block(&font);
  }
  auto* rec = new format_record;
  rec->format = make(&font);
  cell h = make_com_handle(rec);
  block::ks_head(&state)[1] = h;
  return rec->format;
}

}  // namespace kez::gui
