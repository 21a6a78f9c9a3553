#include "runtime/datatypes/email.h"

#include <cstring>

#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_text.h"
#include "runtime/stack.h"

namespace kez::email {

namespace {

// The part's first character (absolute index) and its length.
struct span {
  uint32_t start, length;
};

span part_of(const cell* email, bool host) {
  string::text_view v = string::view_of(email);
  int32_t at = string::ks_find_char(email, '@');
  uint32_t split = at < 0 ? v.length : uint32_t(at);
  if (!host) return {v.head, split};
  uint32_t from = at < 0 ? v.length : split + 1;
  return {v.head + from, v.length - from};
}

// Which part a word element names: 0 user, 1 host, -1 neither. The word is
// known by its formed name, compared without ASCII case.
int field_of(const cell* word) {
  cell item = *word;
  collector::root_cells hold(&item);
  cell* name = string::make_at(stack::push_cell(), 16);
  actions::form_dispatch(&item, name, nullptr, 0x7FFFFFFF);
  int field = -1;
  if (string::ks_length_q(name) == 4) {
    char text[5] = {};
    for (int i = 0; i < 4; ++i) text[i] = char(string::fold(string::ks_abs_at(name, i)) & 0x7F);
    field = std::strcmp(text, "user") == 0 ? 0 : std::strcmp(text, "host") == 0 ? 1 : -1;
  }
  stack::pop(1);
  return field;
}

}  // namespace

cell* push(const cell* value) { return stack::push(value); }

cell* get_part(const cell* email, bool host, cell* result) {
  cell source = *email;  // result may be the email's own cell
  collector::root_cells hold(&source);
  span s = part_of(&source, host);
  uint32_t unit = string::unit_of(string::buffer_of(&source));
  string::make_at_unit(result, s.length, unit);
  series_buffer* from = string::buffer_of(&source);
  series_buffer* to = string::buffer_of(result);
  std::memcpy(to->head_ptr(), from->head_ptr() + size_t(s.start) * unit, size_t(s.length) * unit);
  to->tail = to->head + s.length * unit;
  return result;
}

void set_part(const cell* email, bool host, const cell* value) {
  // A host given to an address without "@" gets one, instead of running
  // into the user part.
  if (host && string::ks_find_char(email, '@') < 0) string::append_char(string::buffer_of(email), '@');
  span s = part_of(email, host);
  cell at = *email;
  at.w1 = s.start;
  cell* target = stack::push(&at);
  string::change(target, value, int32_t(s.length), false, 1);
  stack::pop(1);
}

int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  return string::form(value, buffer, arg, part);
}

cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path, const cell*,
                const cell*, int32_t, bool, bool, bool, bool notify) {
  uint32_t type = type_of(element);
  if (type == TYPE_INTEGER) {
    int32_t index = actions::get_index_argument(element);
    if (value) return actions::get_action_ptr_from<ACT_POKE>(TYPE_STRING)(parent, index, element, value, notify);
    return actions::get_action_ptr_from<ACT_PICK>(TYPE_STRING)(parent, index, element);
  }
  int field = type == TYPE_WORD ? field_of(element) : -1;
  if (field < 0) error::fire(err::cat_script, err::script::invalid_path, element, path);
  if (!value) return get_part(parent, field == 1, parent);
  set_part(parent, field == 1, value);
  *parent = *value;
  return parent;
}

void init() {
  datatype::registration(TYPE_EMAIL, TYPE_STRING, "email!")
      .inherit_all()
      .set<ACT_MOLD>(mold)
      .set<ACT_EVAL_PATH>(eval_path)
      .commit();
}

}  // namespace kez::email
