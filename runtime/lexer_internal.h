// Shared between the scanner (lexer.cpp) and the token loaders
// (lexer_loaders.cpp); nothing outside the lexer includes it.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::lexer {

constexpr uint32_t STOP = 10;          // internal thrown code: end this scan quietly
constexpr uint32_t TYPE_MARKER = 31;   // open-series marker cell, never seen outside
constexpr uint32_t FLAG_BRACE_LF = 0x20000;  // brace flags: line feeds before the {

// Class flag bits, ORed over a token's bytes.
enum class_flag : uint32_t {
  C_PERCENT = 0x00040000, C_GT = 0x00080000, C_LT = 0x00100000, C_SIGN = 0x00200000,
  C_NUL = 0x00400000, C_HASH = 0x00800000, C_EXP = 0x01000000, C_QUOTE = 0x02000000,
  C_COLON = 0x04000000, C_COMMA = 0x08000000, C_DOT = 0x10000000, C_CARET = 0x20000000,
  C_UTF8_2 = 0x40000000, C_UTF8_4 = 0x80000000,
};

struct state {
  state* next = nullptr;    // nested scan started by a callback
  state* parent = nullptr;  // scan that was running when this one started
  uint32_t head = 0, begin = 0, tail = 0;  // cell indices in the shared buffer
  const uint8_t* in = nullptr;             // input bytes [0, len)
  uint32_t len = 0;
  uint32_t pos = 0;                        // scan position
  uint32_t token_start = 0, token_end = 0;
  int32_t line = 1;
  int32_t token_lines = 0;                 // line feeds in the token's leading white space
  int32_t sub_type = -1;
  int32_t type = 0;
  int32_t entry = 0;
  int32_t prev_state = 0;
  int32_t closing_type = 0;
  int32_t last_type = 0;
  uint32_t brace_start = 0;
  int32_t brace_depth = 0;
  uint32_t brace_flags = 0;
  int32_t point_line = 0;
  const cell* callback = nullptr;
  uint32_t event_mask = 0;
  cell* source = nullptr;
  uint32_t source_base = 0;   // the source's index when the scan started
  bool source_chars = false;  // a string source: its index counts characters
  bool load = false;      // values are built
  bool prescan = false;   // prescan mode
  bool one = false;
};

// The shared cell buffer; re-read after push_cell (it may move).
cell* cell_at(uint32_t index);
cell* push_cell(state& s);  // unset, with the new-line flag when token_lines > 0

// Syntax error reporting. start -1: the innermost open series (or the input
// start). type: a datatype, or -1 bad character, -2 malformed construction,
// -3 missing, -4 missing at the input end.
[[noreturn]] void throw_error(state& s, int64_t start, uint32_t end, int32_t type);
bool fire_event(state& s, uint32_t ev, int32_t type, const cell* value, uint32_t start,
                uint32_t end);

// Loader of token k (nullptr when the token has none). flags: the token's
// class flags; load 0 only checks.
using routine = void (*)(state& s, uint32_t start, uint32_t end, uint32_t flags, bool load);
routine loader_of(int token);

// Word building shared with the path scanner: loads [start, end) as a word of
// `type` (word!, set-word!, lit-word!, get-word!, refinement!, issue!).
void load_word_as(state& s, uint32_t start, uint32_t end, uint32_t type, bool load);
// The word scanner: classifies a word token into s.sub_type; answers the end
// of the word (before any delimiter code point).
uint32_t classify_word(state& s, uint32_t start, uint32_t end, uint32_t flags);
// String loader over [start, end) with the given sub-type and flags.
void load_string(state& s, uint32_t start, uint32_t end, uint32_t flags, bool load,
                 uint32_t type);
bool delimiter_q(int32_t cp);

}  // namespace kez::lexer
