#include "gui/backend/event.h"

#include "gui/backend/draw.h"
#include "gui/backend/utils.h"

#include <cstring>
#include <iterator>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/error_ids.h"
#include "runtime/memory.h"
#include "runtime/stack.h"

namespace kez::gui::event {

namespace {

const char* const type_names[] = {
    "down",     "up",        "mid-down", "mid-up", "alt-down", "alt-up",    "aux-down", "aux-up",   "click",
    "dbl-click", "wheel",    "over",     "key",    "key-down", "key-up",    "ime",      "focus",    "unfocus",
    "enter",    "zoom",      "pan",      "rotate", "two-tap",  "press-tap", "select",   "change",   "menu",
    "close",    "move",      "resize",   "moving", "resizing", "time",      "drawing",  "scroll",
};
constexpr int32_t TYPE_COUNT = 35;

const char* const field_names[] = {
    "type",      "face",      "window",    "offset", "key",   "picked", "flags",      "away?",
    "down?",     "mid-down?", "alt-down?", "aux-down?", "ctrl?", "shift?", "orientation",
};

// The order the flags reader lists them in; `command` last (it is set only
// by make, and reads after the keyboard modifiers).
struct named_flag {
  const char* name;
  uint32_t bit;
};
const named_flag flag_table[] = {
    {"away", FLAG_AWAY},        {"down", FLAG_DOWN},       {"mid-down", FLAG_MID_DOWN},
    {"alt-down", FLAG_ALT_DOWN}, {"aux-down", FLAG_AUX_DOWN}, {"control", FLAG_CONTROL},
    {"shift", FLAG_SHIFT},      {"alt", FLAG_ALT},         {"command", FLAG_COMMAND},
};

backend_reader reader = nullptr;
send_hook sender = nullptr;

// Canonical symbol ids, made on first use (the symbol table outlives us).
uint32_t canonical(const char* name) { return symbol::resolve(symbol::make(name)); }

struct symbols {
  uint32_t types[TYPE_COUNT];
  uint32_t fields[FIELD_COUNT];
  uint32_t flags[std::size(flag_table)];
  uint32_t face, window, offset, key, picked, type, flags_word, vertical, horizontal;
  uint32_t table_block = 0;  // node of the symbol block these were made for
};
symbols syms;

const symbols& sym() {
  // A test may rebuild the heap and its symbol table: remake the ids then.
  if (syms.table_block != symbol::detail::block) {
    for (int32_t i = 0; i < TYPE_COUNT; ++i) syms.types[i] = canonical(type_names[i]);
    for (int32_t i = 0; i < FIELD_COUNT; ++i) syms.fields[i] = canonical(field_names[i]);
    for (size_t i = 0; i < std::size(flag_table); ++i) syms.flags[i] = canonical(flag_table[i].name);
    syms.face = canonical("face");
    syms.window = canonical("window");
    syms.offset = canonical("offset");
    syms.key = canonical("key");
    syms.picked = canonical("picked");
    syms.type = canonical("type");
    syms.flags_word = canonical("flags");
    syms.vertical = canonical("vertical");
    syms.horizontal = canonical("horizontal");
    syms.table_block = symbol::detail::block;
  }
  return syms;
}

bool word_like(uint32_t t) { return t == TYPE_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD || t == TYPE_SET_WORD; }
uint32_t symbol_of(const cell* w) { return symbol::resolve(w->w2); }

cell* word_at(cell* out, uint32_t symbol) { return word::make_at(symbol, out); }

bool built(const cell* e) { return e->header & FLAG_EVENT_BUILT; }

// Cell n (0-3) of a built event's block, or null.
const cell* built_cell(const cell* e, int32_t n) {
  if (!built(e) || !e->w2) return nullptr;
  series_buffer* b = memory::buffer_of(e->w2);
  const cell* at = b->head_cell() + n;
  return at < b->tail_cell() ? at : nullptr;
}

[[noreturn]] void not_event_type(const cell* word) {
  error::fire(err::cat_script, err::script::not_event_type, word);
}

void set_type(cell* e, const cell* word) {
  int32_t code = type_code(symbol_of(word));
  if (!code) not_event_type(word);
  e->w1 = uint32_t(code);
}

cell* flags_block(uint32_t word3, cell* out) {
  block::make_at(out, 9);
  collector::root_cells keep(out);
  const symbols& s = sym();
  for (size_t i = 0; i < std::size(flag_table); ++i) {
    if (!(word3 & flag_table[i].bit)) continue;
    cell w;
    word_at(&w, s.flags[i]);
    block::ks_append(out, &w);
  }
  return out;
}

// --- Actions ------------------------------------------------------------------

cell* make(cell* proto, const cell* spec, uint32_t) {
  if (type_of(spec) != TYPE_BLOCK) {
    cell kind;
    datatype::make_at(&kind, TYPE_EVENT);
    error::fire(err::cat_script, err::script::bad_make_arg, &kind, spec);
  }
  const symbols& s = sym();
  cell ev{uint32_t(TYPE_EVENT) | uint32_t(FLAG_EVENT_BUILT), 0, 0, 0};
  // face, window, offset, picked: none until given.
  cell parts[4];
  none::make_at(&parts[0]);
  none::make_at(&parts[1]);
  pair::make_at(&parts[2], 0, 0);
  integer::make_at(&parts[3], 0);
  bool any_part = false;
  cell blk = *spec;
  collector::root_cells keep_blk(&blk), keep_parts(parts, 4);
  int32_t n = block::ks_length_q(&blk);
  for (int32_t i = 0; i + 1 < n; i += 2) {
    const cell* key = block::ks_head(&blk) + i;
    if (type_of(key) != TYPE_SET_WORD) continue;
    uint32_t k = symbol_of(key);
    cell value = key[1];
    uint32_t vt = type_of(&value);
    if ((vt == TYPE_WORD || vt == TYPE_GET_WORD) && value.w1) {
      value = *context::get(&value);
      vt = type_of(&value);
    }
    if (k == s.type) {
      if (vt == TYPE_WORD || vt == TYPE_LIT_WORD) set_type(&ev, &value);
    } else if (k == s.key) {
      if (vt == TYPE_CHAR) ev.w3 |= value.w2 & KEY_MASK;
    } else if (k == s.flags_word) {
      if (vt != TYPE_BLOCK) continue;
      cell flags = value;
      int32_t count = block::ks_length_q(&flags);
      for (int32_t j = 0; j < count; ++j) {
        const cell* f = block::ks_head(&flags) + j;
        if (word_like(type_of(f))) ev.w3 |= flag_bit(symbol_of(f));
      }
    } else if (k == s.face || k == s.window) {
      if (vt != TYPE_OBJECT) continue;
      parts[k == s.face ? 0 : 1] = value;
      any_part = true;
    } else if (k == s.offset) {
      if (vt != TYPE_PAIR && vt != TYPE_POINT2D) continue;
      parts[2] = value;
      any_part = true;
    } else if (k == s.picked) {
      if (vt != TYPE_INTEGER) continue;
      parts[3] = value;
      any_part = true;
    }
  }
  if (any_part) {
    cell b;
    block::make_at(&b, 4);
    collector::root_cells keep_b(&b);
    for (cell& c : parts) block::ks_append(&b, &c);
    ev.w2 = b.w2;
  }
  *proto = ev;
  return proto;
}

int32_t form(const cell*, cell* buffer, const cell*, int32_t part) {
  string::concatenate_literal(buffer, "event");
  return part - 5;
}

int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  return form(value, buffer, arg, part);
}

int32_t compare(const cell*, const cell* other, int32_t op) {
  if (type_of(other) != TYPE_EVENT) return -2;
  switch (op) {
    case COMP_EQUAL: case COMP_NOT_EQUAL: case COMP_STRICT_EQUAL: case COMP_SORT: case COMP_CASE_SORT:
    case COMP_SAME: case COMP_FIND:
      return 0;
    default:
      return -2;
  }
}

cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path, const cell*,
                const cell*, int32_t, bool, bool, bool, bool) {
  int32_t i = word_like(type_of(element)) ? field_index(symbol_of(element)) : -1;
  if (i < 0) error::fire(err::cat_script, err::script::invalid_path, path, element);
  if (value) {
    if (i != F_TYPE || type_of(value) != TYPE_WORD)
      error::fire(err::cat_script, err::script::bad_path_set, path, element);
    set_type(parent, value);
    return parent;
  }
  cell e = *parent;
  return get_field(&e, i, parent);
}

cell* pick(cell* series, int32_t index, const cell* boxed) {
  int32_t i = index;
  if (boxed && word_like(type_of(boxed))) {
    i = field_index(symbol_of(boxed));
    if (i < 0) error::fire(err::cat_script, err::script::cannot_use, boxed, series);
  } else if (i < 1 || i > FIELD_COUNT) {
    error::fire(err::cat_script, err::script::out_of_range, boxed);
  }
  cell e = *series;
  return get_field(&e, i, series);
}

// --- Routines -----------------------------------------------------------------

inline cell* param(uint64_t p) { return reinterpret_cast<cell*>(uintptr_t(p)); }
inline uint64_t answer(const cell* c) { return reinterpret_cast<uintptr_t>(c); }
const cell yes{TYPE_LOGIC, 1, 0, 0}, no{TYPE_LOGIC, 0, 0, 0};

uint64_t r_event_q(const uint64_t* p) { return answer(type_of(param(p[0])) == TYPE_EVENT ? &yes : &no); }

uint64_t r_send_event_os(const uint64_t* p) {
  const cell* e = param(p[0]);
  const cell* queued = param(p[1]);
  bool q = type_of(queued) == TYPE_LOGIC && queued->w1;
  return answer(sender && sender(e, q) ? &yes : &no);
}

uint64_t r_find_flag_q(const uint64_t* p) {
  const cell* facet = param(p[0]);
  const cell* flag = param(p[1]);
  uint32_t want = symbol_of(flag);
  bool found = false;
  if (type_of(facet) == TYPE_WORD) {
    found = symbol_of(facet) == want;
  } else if (type_of(facet) == TYPE_BLOCK) {
    cell b = *facet;
    int32_t n = block::ks_length_q(&b);
    for (int32_t i = 0; i < n && !found; ++i) {
      const cell* v = block::ks_head(&b) + i;
      uint32_t t = type_of(v);
      found = (t == TYPE_WORD || t == TYPE_LIT_WORD) && symbol_of(v) == want;
    }
  }
  return answer(found ? &yes : &no);
}

}  // namespace

uint32_t type_symbol(int32_t code) { return code >= 1 && code <= TYPE_COUNT ? sym().types[code - 1] : 0; }

int32_t type_code(uint32_t symbol) {
  uint32_t s = symbol::resolve(symbol);
  for (int32_t i = 0; i < TYPE_COUNT; ++i)
    if (sym().types[i] == s) return i + 1;
  return 0;
}

uint32_t flag_bit(uint32_t symbol) {
  uint32_t s = symbol::resolve(symbol);
  for (size_t i = 0; i < std::size(flag_table); ++i)
    if (sym().flags[i] == s) return flag_table[i].bit;
  return 0;
}

int32_t field_index(uint32_t symbol) {
  uint32_t s = symbol::resolve(symbol);
  for (int32_t i = 0; i < FIELD_COUNT; ++i)
    if (sym().fields[i] == s) return i + 1;
  return -1;
}

cell* get_field(const cell* event, int32_t index, cell* out) {
  cell e = *event;  // out may be the event's own cell
  uint32_t w3 = e.w3;
  auto flag_test = [&](uint32_t bit) { return logic::make_at(out, (w3 & bit) != 0); };
  switch (index) {
    case F_TYPE: {
      uint32_t s = type_symbol(int32_t(e.w1));
      return s ? word_at(out, s) : none::make_at(out);
    }
    case F_FLAGS: return flags_block(w3, out);
    case F_AWAY_Q: return flag_test(FLAG_AWAY);
    case F_DOWN_Q: return flag_test(FLAG_DOWN);
    case F_MID_DOWN_Q: return flag_test(FLAG_MID_DOWN);
    case F_ALT_DOWN_Q: return flag_test(FLAG_ALT_DOWN);
    case F_AUX_DOWN_Q: return flag_test(FLAG_AUX_DOWN);
    case F_CTRL_Q: return flag_test(FLAG_CONTROL);
    case F_SHIFT_Q: return flag_test(FLAG_SHIFT);
    default: break;
  }
  if (built(&e)) {
    switch (index) {
      case F_FACE: case F_WINDOW: case F_OFFSET: case F_PICKED: {
        int32_t n = index == F_FACE ? 0 : index == F_WINDOW ? 1 : index == F_OFFSET ? 2 : 3;
        if (const cell* c = built_cell(&e, n)) {
          *out = *c;
          out->header &= ~uint32_t(FLAG_NEW_LINE);
          return out;
        }
        if (index == F_OFFSET) return pair::make_at(out, 0, 0);
        if (index == F_PICKED) return integer::make_at(out, 0);
        return none::make_at(out);
      }
      case F_KEY: {
        uint32_t cp = w3 & KEY_MASK;
        return cp ? char_::make_at(out, int32_t(cp)) : none::make_at(out);
      }
      default: return none::make_at(out);
    }
  }
  if (reader && reader(&e, index, out)) return out;
  return none::make_at(out);
}

void set_backend_reader(backend_reader fn) { reader = fn; }
void set_send_hook(send_hook fn) { sender = fn; }

void init() {
  // The backend's names are interned here, at start-up, with its first
  // datatype: later lookups then never allocate.
  sym();
  draw::init();
  intern_names();
  datatype::registration(TYPE_EVENT, 0, "event!")
      .set<ACT_MAKE>(make)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_EVAL_PATH>(eval_path)
      .set<ACT_COMPARE>(compare)
      .set<ACT_PICK>(pick)
      .commit();
}

void register_routines(natives::routine_list& list) {
  list.push_back({"event?", "[\"Returns true if the value is this type\" value [any-type!] return: [logic!]]",
                  r_event_q, true});
  list.push_back({"send-event-os",
                  "[\"Sends an event to a face as window input\" evt [event!] queued? [logic!] return: [logic!]]",
                  r_send_event_os, true});
  list.push_back({"find-flag?",
                  "[\"Checks a flag in a face's flags facet\" facet [any-type!] flag [word!] return: [logic!]]",
                  r_find_flag_q, true});
}

}  // namespace kez::gui::event
