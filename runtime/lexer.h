// Lexer: UTF-8 source text to values.
//
// One table-driven scanner reads the text a byte at a time (a class table and
// a transition table, generated into lexer_table.inc); at each terminal state
// it hands the token to a structure routine (brackets, braces, paths,
// comments) or to the token's loader, which builds the value in the next cell
// of one shared cell buffer. Finished series are copied out of that buffer
// into heap blocks; the scan's top-level values are copied into the result
// block once at the end.
//
// Invariants:
// - Scanner positions are byte indices into the input and cell indices into
//   the shared buffer, never pointers, so a callback that collects, grows the
//   buffer or moves the source's index cannot leave one dangling.
// - Every running scan (scans nest through callbacks) owns the region of the
//   shared buffer after its parent's tail; mark_buffers marks each region, so
//   loaded values survive any collection during the scan.
// - A scan leaves the shared buffer as it found it, whether it ends normally
//   or by an error (which is raised again after the clean-up).
// - In prescan and scan modes nothing is allocated on the heap and no syntax
//   error is raised: a fault only types the scan as error! (34).
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kez::lexer {

// Event bits of the trace callback.
enum event : uint32_t {
  EV_PRESCAN = 1, EV_SCAN = 2, EV_LOAD = 4, EV_OPEN = 8, EV_CLOSE = 16, EV_ERROR = 32,
};

void init();          // shared buffers, delimiter set; also registers mark_buffers
void mark_buffers();  // collector marker: every running scan's cells, source and callback

// Scans `length` bytes of UTF-8. one: stop after the first complete top-level
// value. not_prescan/not_scan both set: build values (load); not_prescan
// alone: scan mode (types only); neither: prescan (structure only).
// Answers the datatype of the last token (0: none, 34: a fault found in
// prescan or scan mode). Unless in scan mode, result receives the first value
// (one set, block not forced, a value made) or a block of every top-level
// value; with `into`, the values are appended to that block instead and
// result names it. An unclosed series left without an error makes result
// none. consumed (optional) receives the bytes read. result, callback,
// source and into must be rooted by the caller.
int32_t scan(cell* result, const uint8_t* text, size_t length, bool one, bool not_prescan,
             bool not_scan, bool want_block, int32_t* consumed, const cell* callback,
             cell* source, cell* into);

// The same over a string!: `length` characters from its index (-1: all),
// converted to UTF-8 first; consumed counts characters.
int32_t scan_alt(cell* result, cell* string, int32_t length, bool one, bool not_prescan,
                 bool not_scan, bool want_block, int32_t* consumed, const cell* callback,
                 cell* into);

// Loads a whole UTF-8 text into a new block in result (scripts, tests).
cell* load_utf8(cell* result, const uint8_t* text, size_t length);

// Conversions from text that datatypes ask for (make/to of time!, pair!,
// points, tuple! and money! from a string); installed by init as the system
// stand-in's services. load_value: the text holds exactly one value (a
// syntax error answers false). scan_money_text: the money text rules.
// out is not rooted: callers keep only immediate values from it.
bool load_value(const cell* text, cell* out);
bool scan_money_text(const cell* text, cell* out);

// Reads one caret escape starting just after the caret. Answers the index
// after the escape, or -1 when it is invalid; cp receives the code point.
int64_t decode_escape(const uint8_t* text, size_t at, size_t end, int32_t& cp);

// The call of a trace function, installed by the interpreter: arguments
// event bit, source cell (index already set), type cell, line, token cell.
// Answers the callback's truth. Without it, a scan given a callback raises
// internal not-done.
using callback_fn = bool (*)(const cell* callback, uint32_t event, cell* source,
                             const cell* type, int32_t line, const cell* token);
// The events a trace function wants (bits of `event`), read once per scan;
// without this hook every event is reported.
using event_mask_fn = uint32_t (*)(const cell* callback);
void set_callback_hook(callback_fn fn, event_mask_fn mask = nullptr);

// Name of token kind k in system/lexer/exit-states, the type a callback is
// given for a token without a datatype, until the library builds that block.
const char* exit_state_name(int token);

}  // namespace kez::lexer
