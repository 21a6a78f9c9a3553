#include "gui/backend/routines.h"

#include "gui/backend/draw.h"
#include "gui/backend/event.h"
#include "gui/backend/font.h"
#include "gui/backend/text_box.h"
#include "gui/backend/utils.h"
#include "gui/backend/view.h"
#include "runtime/collector.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/none.h"
#include "runtime/error_ids.h"
#include "runtime/ownership.h"
#include "runtime/stack.h"

namespace kez::gui {

namespace {

inline cell* param(uint64_t p) { return reinterpret_cast<cell*>(uintptr_t(p)); }
inline uint64_t answer(const cell* c) { return reinterpret_cast<uintptr_t>(c); }
const cell none_value{TYPE_NONE, 0, 0, 0};

// draw-image: the commands onto the image's own pixels; the image's owners
// hear of a change over the whole image.
uint64_t r_draw_image(const uint64_t* p) {
  cell img = *param(p[0]), cmds = *param(p[1]);
  collector::root_cells keep_img(&img), keep_cmds(&cmds);
  if (type_of(&img) != TYPE_IMAGE || (img.w3 & 0xFFFF) == 0 || (img.w3 >> 16) == 0) return answer(&none_value);
  draw::do_draw_image(&img, &cmds, false);
  ownership::check(&img, ownership::POKED, nullptr, -1, -1);
  return answer(&none_value);
}

uint64_t r_text_box_metrics(const uint64_t* p) {
  cell box = *param(p[0]), arg = *param(p[1]), type = *param(p[2]);
  collector::root_cells keep_box(&box), keep_arg(&arg);
  cell* out = stack::push_cell();
  return answer(text_box::metrics(&box, &arg, type_of(&type) == TYPE_INTEGER ? integer::get(&type) : 4, out));
}

// The style bits of a para object for a face type word.
uint64_t r_get_para_flags(const uint64_t* p) {
  cell type = *param(p[0]), para = *param(p[1]);
  collector::root_cells keep(&para);
  uint32_t bits = type_of(&type) == TYPE_WORD || type_of(&type) == TYPE_LIT_WORD
                      ? text_box::get_para_flags(type.w2, &para)
                      : 0;
  return answer(integer::make_at(stack::push_cell(), int32_t(bits)));
}

// The face-flags mask of a flags facet.
uint64_t r_get_flags(const uint64_t* p) {
  cell facet = *param(p[0]);
  return answer(integer::make_at(stack::push_cell(), int32_t(get_flags(&facet))));
}

uint64_t r_update_font(const uint64_t* p) {
  cell font = *param(p[0]), flags = *param(p[1]);
  collector::root_cells keep(&font);
  update_font(&font, type_of(&flags) == TYPE_INTEGER ? integer::get(&flags) : 0);
  return answer(&none_value);
}

}  // namespace

void register_routines(natives::routine_list& list) {
  event::register_routines(list);
  view::register_routines(list);
  list.push_back({"_draw-image", "[image [image!] cmds [block!]]", r_draw_image, true});
  list.push_back({"_text-box-metrics", "[box [object!] arg0 [any-type!] type [integer!]]", r_text_box_metrics, true});
  list.push_back({"_get-para-flags", "[type [any-type!] para [any-type!] return: [integer!]]", r_get_para_flags, true});
  list.push_back({"_update-font", "[font [object!] flags [integer!]]", r_update_font, true});
  list.push_back({"_get-face-flags", "[facet [any-type!] return: [integer!]]", r_get_flags, true});
}

}  // namespace kez::gui
