// event!: the value through which window input reaches the GUI code (type
// id 54, no parent).
//
// Cell: word 1 the event type code (1-35); word 2 for a built event the node
// of its block of four cells [face window offset picked] (0 when none was
// given), for a backend event 0 (its message is the backend's current one);
// word 3 the flags/key word: bits 0-20 the key (a whole code point), bits
// 22-31 the flags.
//
// Invariants:
// - The header flag FLAG_EVENT_BUILT marks an event made by `make`; only
//   such an event's word 2 is a node, and only its fields are read from its
//   block. A backend event's face, window, offset, picked and orientation
//   come from the backend's reader, none until the backend installs one.
// - The code point keeps all 21 bits: it sits below the flags.
#pragma once

#include <cstdint>

#include "runtime/cell.h"
#include "runtime/natives.h"

namespace kez::gui::event {

enum flag : uint32_t {
  FLAG_AUX_DOWN = 0x00400000,
  FLAG_ALT_DOWN = 0x00800000,
  FLAG_MID_DOWN = 0x01000000,
  FLAG_DOWN = 0x02000000,
  FLAG_AWAY = 0x04000000,
  FLAG_CONTROL = 0x10000000,
  FLAG_SHIFT = 0x20000000,
  FLAG_ALT = 0x40000000,
  FLAG_COMMAND = 0x80000000,
};
constexpr uint32_t KEY_MASK = 0x1FFFFF;

// Field indexes, as `pick` numbers them.
enum field : int32_t {
  F_TYPE = 1, F_FACE, F_WINDOW, F_OFFSET, F_KEY, F_PICKED, F_FLAGS, F_AWAY_Q, F_DOWN_Q, F_MID_DOWN_Q,
  F_ALT_DOWN_Q, F_AUX_DOWN_Q, F_CTRL_Q, F_SHIFT_Q, F_ORIENTATION, FIELD_COUNT = 15,
};

// The type word's symbol of a code (0 outside 1-35), and the code of a word
// (0 when it names no event type).
uint32_t type_symbol(int32_t code);
int32_t type_code(uint32_t symbol);
// The flag bit of a flag word (canonical symbols), 0 for any other word.
uint32_t flag_bit(uint32_t symbol);
// 1-15, or -1 for a word that names no field.
int32_t field_index(uint32_t symbol);
// The field's value into out.
cell* get_field(const cell* event, int32_t index, cell* out);

// The reader of a backend event's message-derived fields (face, window,
// offset, key, picked, orientation); answers false to leave none.
using backend_reader = bool (*)(const cell* event, int32_t index, cell* out);
void set_backend_reader(backend_reader fn);
// What send-event-os does with an event once faces have windows.
using send_hook = bool (*)(const cell* event, bool queued);
void set_send_hook(send_hook fn);

// Registers event! (make, form, mold, eval-path, compare, pick).
void init();
// event?, send-event-os and find-flag?.
void register_routines(natives::routine_list& list);

}  // namespace kez::gui::event
