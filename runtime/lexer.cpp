#include "runtime/lexer.h"

#include <algorithm>
#include <cstring>
#include <string>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/system_stub.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/lexer_internal.h"
#include "runtime/mem.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"
#include "runtime/scan_number.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"
#include "runtime/thrown.h"
#include "runtime/utf.h"
#include "runtime/words.h"

namespace kez::lexer {

namespace {

#include "runtime/lexer_table.inc"

constexpr int WORKING_STATES = 65;
constexpr int TERMINAL = 66;
constexpr int CLASS_LF = 1;
constexpr int CLASS_END = 39;
constexpr int ENTRY_BRACES = 4;
constexpr int ENTRY_POINT = 35;
constexpr int ENTRY_PATH = 59;

enum token : int {
  T_END = 0, T_ERROR = 1, T_BLOCK_OPEN = 2, T_BLOCK_CLOSE = 3, T_PAREN_OPEN = 4,
  T_PAREN_CLOSE = 5, T_BRACE_OPEN = 6, T_BRACE_CLOSE = 7, T_MAP_OPEN = 8, T_PATH = 9,
  T_CONSTRUCT = 10, T_COMMENT = 11, T_COMMA = 12, T_STRING = 13, T_WORD = 14, T_ISSUE = 15,
  T_CHAR = 18, T_FILE = 19, T_BINARY = 20, T_PERCENT = 21, T_POINT = 27, T_TAG = 30,
  T_RAW_STRING = 34,
};

// The shared buffers. Cells live outside the collected heap (a tracked
// block), so growth moves them only through push_cell; the collector reaches
// them through mark_buffers.
cell* cells = nullptr;
uint32_t cells_capacity = 0;
uint8_t* text_buffer = nullptr;
uint32_t text_capacity = 0;
uint32_t text_used = 0;  // nested scan_alt calls stack their texts

state* first_scan = nullptr;  // chain of running scans, outermost first
state* last_scan = nullptr;
callback_fn callback_hook = nullptr;
event_mask_fn mask_hook = nullptr;

constexpr const char* exit_states[36] = {
    "eof",     "error",  "block",  "block-end", "paren",   "paren-end", "string", "string-end",
    "map",     "path",   "construct", "comment", "comma",  "string",    "word",   "issue",
    "integer", "refinement", "char", "file",   "binary",  "percent",   "float",  "float",
    "tuple",   "date",   "pair",   "point",     "time",    "money",     "tag",    "url",
    "email",   "hex",    "rawstring", "ref"};

constexpr uint32_t INITIAL_CELLS = 1000;
constexpr uint32_t TEXT_BYTES = 100000;

bool path_type_q(uint32_t t) { return t >= TYPE_PATH && t <= TYPE_GET_PATH; }

cell* marker_of(state& s) { return s.begin > s.head ? &cells[s.begin - 1] : nullptr; }
uint32_t pending_of(const cell* m) { return m->w2 & 0xFFFF; }

void ensure_cells(uint32_t needed) {
  if (needed <= cells_capacity) return;
  uint32_t capacity = std::max(cells_capacity, INITIAL_CELLS);
  while (capacity < needed) {
    if (capacity > (1u << 26)) error::fire(err::cat_internal, err::internal::no_memory);
    capacity *= 2;
  }
  cells = static_cast<cell*>(mem::realloc(cells, size_t(capacity) * sizeof(cell)));
  if (!cells) error::fire(err::cat_internal, err::internal::no_memory);
  cells_capacity = capacity;
}

// A heap series of `type` holding cells [from, to) of the shared buffer,
// written over the cell at `at`. Outside load mode no heap is touched: the
// cell becomes a none placeholder that only counts as a complete value.
void make_series_at(state& s, uint32_t at, uint32_t type, uint32_t from, uint32_t to) {
  uint32_t newline = cells[at].header & FLAG_NEW_LINE;
  if (!s.load) {
    cells[at] = cell{TYPE_NONE | newline, 0, 0, 0};
    return;
  }
  uint32_t n = to - from;
  uint32_t node = memory::alloc_cells(std::max(n, 1u));  // may collect: cells are marked
  series_buffer* b = memory::buffer_of(node);
  if (n) std::memcpy(b->head_ptr(), &cells[from], size_t(n) * sizeof(cell));
  b->tail = b->head + n * uint32_t(sizeof(cell));
  cells[at] = cell{type | newline, 0, node, 0};
}

// Near text of an error: from start to the first line feed, at most 30
// bytes of whole characters, or the input end. A byte that is not UTF-8
// shows as U+FFFD, so the text itself always loads.
std::string near_text(const state& s, uint32_t start) {
  std::string out;
  uint32_t i = start;
  while (i < s.len && s.in[i] != '\n' && i - start < 30) {
    int32_t cp;
    const uint8_t* next = utf8::decode_char(s.in + i, s.in + s.len, cp);
    uint32_t n = uint32_t(next - (s.in + i));
    if (i - start + n > 30) break;
    if (cp < 0) out += "\xEF\xBF\xBD";
    else out.append(reinterpret_cast<const char*>(s.in + i), n);
    i += n;
  }
  return out;
}

cell* push_text(const std::string& text) {
  return string::load(reinterpret_cast<const uint8_t*>(text.data()), text.size(), nullptr);
}

}  // namespace

cell* cell_at(uint32_t index) { return &cells[index]; }

cell* push_cell(state& s) {
  ensure_cells(s.tail + 1);
  cell* c = &cells[s.tail++];
  *c = cell{TYPE_UNSET | (s.token_lines > 0 ? FLAG_NEW_LINE : 0u), 0, 0, 0};
  return c;
}

void set_callback_hook(callback_fn fn, event_mask_fn mask) {
  callback_hook = fn;
  mask_hook = mask;
}

const char* exit_state_name(int token) {
  return token >= 0 && token < 36 ? exit_states[token] : "";
}

bool fire_event(state& s, uint32_t ev, int32_t type, const cell* value, uint32_t start,
                uint32_t end) {
  if (!s.callback || !(s.event_mask & ev)) return true;
  if (!callback_hook) error::fire(err::cat_internal, err::internal::not_done);
  if (ev == EV_SCAN && type == TYPE_ERROR) ev = EV_ERROR;
  cell type_cell{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_type(&type_cell);
  if (type > 0) {
    datatype::make_at(&type_cell, uint32_t(type));
  } else if (type < 0) {
    // A token without a datatype is named by its word in
    // system/lexer/exit-states; the table stands in for that block until the
    // library made it.
    int32_t at = -type - 1;
    const cell* states = system_stub::system_field({"lexer", "exit-states"});
    if (states && type_of(states) == TYPE_BLOCK && at < block::ks_length_q(states)) {
      type_cell = *block::ks_abs_at(states, int32_t(states->w1) + at);
    } else {
      word::make_at(symbol::make(exit_state_name(at)), &type_cell);
    }
  }

  // The source's index shows the token to the callback: characters for a
  // string source, bytes for a binary.
  uint32_t offset = (ev == EV_PRESCAN || ev == EV_OPEN) ? start : end;
  auto index_of = [&](uint32_t at) {
    return s.source_base + uint32_t(s.source_chars ? utf8::count_chars(s.in, s.in + at) : at);
  };
  // The token's 1-based offsets in the scanned text, counted as the index is.
  cell token{TYPE_PAIR, 0, index_of(start) - s.source_base + 1, index_of(end) - s.source_base + 1};
  if (value) token = *value;
  if (s.source) s.source->w1 = index_of(offset);
  collector::root_cells guard(&token);
  bool answer = callback_hook(s.callback, ev, s.source, &type_cell, s.line, &token);
  if (s.source && s.source->w1 != index_of(offset) && s.source->w1 >= s.source_base) {
    uint32_t n = s.source->w1 - s.source_base;
    uint32_t at = s.source_chars ? uint32_t(utf8::skip_chars(s.in, s.in + s.len, n) - s.in) : n;
    s.pos = std::min(at, s.len);
  }
  return answer;
}

void throw_error(state& s, int64_t start, uint32_t end, int32_t type) {
  (void)end;
  if (!s.load) {
    s.type = TYPE_ERROR;
    throw thrown{STOP};
  }
  if (start < 0) {
    cell* m = marker_of(s);
    start = m ? m->w3 : 0;
  }
  if (s.callback) {
    int32_t t = type > 0 ? type
                : s.closing_type > 0 ? s.closing_type
                : s.type > 0 ? s.type
                : s.sub_type > 0 ? s.sub_type
                : int32_t(TYPE_ERROR);
    if (!fire_event(s, EV_ERROR, t, nullptr, uint32_t(start), s.pos)) throw thrown{STOP};
  }
  uint32_t at = std::min<uint32_t>(uint32_t(start), s.len);
  // Everything read from the input is taken before the first allocation.
  std::string near = near_text(s, at);
  char found = at < s.len ? char(s.in[at]) : 0;
  if ((type == -3 || type == -4) && path_type_q(uint32_t(s.closing_type))) type = -1;
  cell* line = push_text("(line " + std::to_string(s.line) + ")");
  if (type == -1) error::fire(err::cat_syntax, err::syntax::bad_char, line, push_text(near));
  if (type == -2) error::fire(err::cat_syntax, err::syntax::malconstruct, line, push_text(near));
  if (type == -3 || type == -4) {
    bool paren = s.closing_type == TYPE_PAREN || s.closing_type == TYPE_POINT2D;
    char closer = paren ? ')' : ']';
    std::string missing(1, found == closer ? (paren ? '(' : '[') : closer);
    cell* m = push_text(missing);
    error::fire(err::cat_syntax, err::syntax::missing, line, m, push_text(near));
  }
  cell* dt = datatype::push(uint32_t(type));
  error::fire(err::cat_syntax, err::syntax::invalid, line, dt, push_text(near));
}

namespace {

void open_series(state& s, uint32_t type, uint32_t offset) {
  cell* m = marker_of(s);
  if (m && pending_of(m) == TYPE_POINT2D) throw_error(s, offset, offset, TYPE_POINT2D);
  if (!fire_event(s, EV_OPEN, int32_t(type), nullptr, offset, offset)) return;
  uint32_t back = s.tail - s.begin;
  m = push_cell(s);
  m->header = (m->header & FLAG_NEW_LINE) | TYPE_MARKER;
  m->w1 = back;
  m->w2 = type;
  m->w3 = offset;
  s.begin = s.tail;
  s.entry = 0;
}

// Closes the innermost series; type -1 keeps the pending type.
void close_series(state& s, int32_t type, uint32_t at) {
  if (!fire_event(s, EV_CLOSE, type, nullptr, at, at)) {
    s.entry = 0;
    return;
  }
  cell* m = marker_of(s);
  if (!m) {
    s.closing_type = type;
    throw_error(s, at, at, -3);
  }
  uint32_t pending = pending_of(m);
  uint32_t closing = type < 0 ? pending : uint32_t(type);
  bool ok = closing == pending || (pending == TYPE_MAP && closing == TYPE_BLOCK) ||
            (pending == TYPE_PATH && closing == TYPE_SET_PATH);
  if (!ok) {
    s.closing_type = int32_t(pending);
    throw_error(s, -1, at, -3);
  }
  if (pending == TYPE_MAP) {
    if ((s.tail - s.begin) % 2) throw_error(s, -1, at, TYPE_MAP);
    closing = TYPE_MAP;
  }
  uint32_t at_cell = s.begin - 1;
  uint32_t back = m->w1;
  make_series_at(s, at_cell, closing == TYPE_MAP ? TYPE_BLOCK : closing, s.begin, s.tail);
  if (closing == TYPE_MAP && s.load) {
    // The keys and values become a map! in the series' place.
    cell pairs = cells[at_cell], made{TYPE_NONE, 0, 0, 0};
    collector::root_cells keep(&pairs), keep_made(&made);
    map::make_at(&made, &pairs, 0);
    made.header |= pairs.header & FLAG_NEW_LINE;
    cells[at_cell] = made;
  }
  s.tail = at_cell + 1;
  s.begin = at_cell - back;
  s.type = int32_t(closing);
  cell* outer = marker_of(s);
  s.entry = outer && path_type_q(pending_of(outer)) ? ENTRY_PATH : 0;
}

// A paren opens a point literal when, within the bytes after it (at least
// four of them), the first byte outside the number alphabet is a comma.
bool point_literal_q(const state& s, uint32_t from) {
  if (s.len - from < 4) return false;
  for (uint32_t i = from; i < s.len; ++i) {
    uint8_t b = s.in[i];
    if (b == ',') return true;
    if (b == '\t' || b == ' ' || b == '#' || b == '+' || b == '-' || b == '.' ||
        (b >= '0' && b <= '9') || std::strchr("AEFINaefin", b) != nullptr)
      continue;
    return false;
  }
  return true;
}

bool ieq(const uint8_t* a, size_t n, const char* b) {
  if (std::strlen(b) != n) return false;
  for (size_t i = 0; i < n; ++i) {
    uint8_t c = a[i];
    if (c >= 'A' && c <= 'Z') c = uint8_t(c + 32);
    uint8_t d = uint8_t(b[i]);
    if (d >= 'A' && d <= 'Z') d = uint8_t(d + 32);
    if (c != d) return false;
  }
  return true;
}

// #( ... ): a keyword or a datatype name, compared without regard to case.
void construct(state& s, uint32_t start, uint32_t end) {
  const uint8_t* text = s.in + start + 2;
  size_t n = end - start - 2;
  s.pos = end + 1;
  cell value{TYPE_NONE, 0, 0, 0};
  bool found = true;
  if (ieq(text, n, "true")) value = cell{TYPE_LOGIC, 1, 0, 0};
  else if (ieq(text, n, "false")) value = cell{TYPE_LOGIC, 0, 0, 0};
  else if (ieq(text, n, "none")) value = cell{TYPE_NONE, 0, 0, 0};
  else if (ieq(text, n, "unset")) value = cell{TYPE_UNSET, 0, 0, 0};
  else {
    found = false;
    for (uint32_t t = 1; t <= datatype::top_id() && !found; ++t) {
      int32_t len = datatype::name_length(t);
      if (len <= 0) continue;
      std::string name = datatype::name(t);
      if (ieq(text, n, name.c_str()) || ieq(text, n, name.substr(0, size_t(len)).c_str())) {
        datatype::make_at(&value, t);
        found = true;
      }
    }
  }
  if (!found) throw_error(s, start, end, -2);
  s.type = int32_t(type_of(&value));
  if (!s.load) return;
  cell* c = push_cell(s);
  *c = cell{value.header | (c->header & FLAG_NEW_LINE), value.w1, value.w2, value.w3};
}

// Scanners of the structural tokens (below 13).
void scan_structure(state& s, int tok, uint32_t start, uint32_t end, uint32_t flags) {
  switch (tok) {
    case T_ERROR: {
      int32_t type = s.prev_state < WORKING_STATES ? lex_state_type[s.prev_state] : 0;
      int64_t from = start;
      if (s.entry == ENTRY_BRACES) from = s.brace_start;
      else if (s.prev_state == ENTRY_PATH) from = -1;
      if (type == 0) type = -1;
      s.type = TYPE_ERROR;
      throw_error(s, from, end, type);
    }
    case T_BLOCK_OPEN:
    case T_MAP_OPEN:
      s.pos = end + 1;
      open_series(s, tok == T_MAP_OPEN ? TYPE_MAP : TYPE_BLOCK, start);
      break;
    case T_BLOCK_CLOSE:
    case T_PAREN_CLOSE:
      s.pos = end + 1;
      close_series(s, tok == T_PAREN_CLOSE ? TYPE_PAREN : TYPE_BLOCK, start);
      break;
    case T_PAREN_OPEN:
      s.pos = end + 1;
      if (point_literal_q(s, end + 1)) {
        s.point_line = s.token_lines;
        s.entry = ENTRY_POINT;
      } else {
        open_series(s, TYPE_PAREN, start);
      }
      break;
    case T_BRACE_OPEN:
      s.pos = end + 1;
      if (s.entry != ENTRY_BRACES) {
        s.brace_start = start;
        s.brace_depth = 1;
        s.brace_flags = flags | (s.token_lines > 0 ? FLAG_BRACE_LF : 0);
        fire_event(s, EV_OPEN, TYPE_STRING, nullptr, start, start);
        s.entry = ENTRY_BRACES;
      } else {
        ++s.brace_depth;
        s.brace_flags |= flags;
      }
      break;
    case T_BRACE_CLOSE:
      s.pos = end + 1;
      s.brace_flags |= flags;
      if (--s.brace_depth > 0) break;
      s.entry = 0;
      s.token_start = s.brace_start;
      fire_event(s, EV_CLOSE, TYPE_STRING, nullptr, s.brace_start, end);
      if (fire_event(s, EV_SCAN, TYPE_STRING, nullptr, s.brace_start, end) && s.load) {
        int32_t lines = s.token_lines;
        s.token_lines = (s.brace_flags & FLAG_BRACE_LF) ? 1 : 0;
        load_string(s, s.brace_start + 1, end, s.brace_flags, true, TYPE_STRING);
        s.token_lines = lines;
        s.pos = end + 1;
        fire_event(s, EV_LOAD, TYPE_STRING, cell_at(s.tail - 1), s.brace_start, end);
      }
      s.type = TYPE_STRING;
      break;
    case T_PATH: {
      uint8_t first = s.in[start];
      uint32_t type = first == '\'' ? TYPE_LIT_PATH : first == ':' ? TYPE_GET_PATH : TYPE_PATH;
      open_series(s, type, start);
      if (s.load) {
        uint32_t from = type == TYPE_PATH ? start : start + 1;
        fire_event(s, EV_SCAN, TYPE_WORD, nullptr, start, end);
        load_word_as(s, from, end, TYPE_WORD, true);
        fire_event(s, EV_LOAD, TYPE_WORD, cell_at(s.tail - 1), start, end);
      }
      s.entry = ENTRY_PATH;
      s.pos = end + 1;
      s.type = int32_t(type);
      break;
    }
    case T_CONSTRUCT:
      construct(s, start, end);
      break;
    case T_COMMENT:
      fire_event(s, EV_SCAN, -(T_COMMENT + 1), nullptr, start, end);
      break;
    case T_COMMA: {
      cell* m = s.tail > s.head ? &cells[s.tail - 1] : nullptr;
      if (!m || type_of(m) != TYPE_MARKER ||
          (pending_of(m) != TYPE_PAREN && pending_of(m) != TYPE_POINT2D))
        throw_error(s, start, end, TYPE_POINT2D);
      m->w2 = TYPE_POINT2D | (((m->w2 >> 16) + 1) << 16);
      s.pos = end + 1;
      break;
    }
    case T_STRING:
      load_string(s, start, end, flags, false, TYPE_STRING);
      break;
    default:
      break;
  }
}

// Closes a path after one of its elements, or lets it go on after a slash.
void after_path_element(state& s) {
  static const bool closes[40] = {
      // ws lf nz zero lbrk rbrk lpar rpar lbrc rbrc dquote hash quote colon
      1, 1, 0, 0, 1, 1, 1, 1, 1, 0, 1, 0, 0, 1,
      // x T h e E hexlo hexup slash bslash lt gt eq pct comma semi at dot dollar plus minus
      0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0,
      // caret ctl cont wchar badlead end
      0, 0, 0, 1, 1, 1};
  if (s.pos >= s.len || closes[lex_class[s.in[s.pos]] & 0xFF]) {
    bool set = s.pos < s.len && s.in[s.pos] == ':';
    if (set) {
      if (s.pos + 1 < s.len && s.in[s.pos + 1] == '/') throw_error(s, -1, s.pos, TYPE_PATH);
      ++s.pos;
    }
    close_series(s, set ? int32_t(TYPE_SET_PATH) : -1, s.pos);
    return;
  }
  if (s.in[s.pos] == '/') {
    // A colon after the slash starts a get-word element, checked like any word.
    if (s.pos + 1 >= s.len) throw_error(s, -1, s.pos, TYPE_PATH);
    ++s.pos;
  }
}

// A word token made only of delimiter code points is skipped; leading ones
// are dropped. Answers false when nothing is left.
bool drop_leading_delimiters(state& s, uint32_t& start, uint32_t end) {
  while (start < end && s.in[start] >= 0xC2) {
    int32_t cp;
    const uint8_t* next = utf8::decode_char(s.in + start, s.in + end, cp);
    if (cp < 0 || !delimiter_q(cp)) break;
    start = uint32_t(next - s.in);
  }
  return start < end;
}

// A token left unprocessed (prescan mode, a vetoed prescan event) still
// owns the byte that closed it, and a point literal its entry state: step
// over them so that the next token starts where the loader would have left.
void skip_unprocessed(state& s, int tok, uint32_t start, uint32_t end) {
  switch (tok) {
    case T_CHAR: case T_BINARY: case T_PERCENT: case T_TAG:
      s.pos = std::min(end + 1, s.len);
      break;
    case T_FILE:
      if (end > start + 1 && s.in[start + 1] == '"') s.pos = std::min(end + 1, s.len);
      break;
    case T_POINT:
      s.entry = 0;
      s.pos = std::min(end + 1, s.len);
      break;
    case T_RAW_STRING:
      if (routine raw = loader_of(tok)) raw(s, start, end, 0, false);
      break;
    default:
      break;
  }
}

bool one_value_done(state& s) {
  if (s.tail == s.head) return true;
  return s.tail == s.head + 1 && type_of(&cells[s.head]) != TYPE_MARKER;
}

void scan_tokens(state& s) {
  for (;;) {
    uint32_t p = s.pos;
    int st = s.entry;
    int prev = st;
    uint32_t flags = 0;
    uint32_t ws = 0;
    int32_t lead_lines = 0;
    for (; p < s.len; ++p) {
      uint32_t c = lex_class[s.in[p]];
      flags |= c & ~0xFFu;
      int next = lex_next[st][c & 0xFF];
      if (next >= TERMINAL) {
        prev = st;
        st = next;
        break;
      }
      if (lex_skip[next]) {
        ++ws;
        if ((c & 0xFF) == CLASS_LF) ++lead_lines;
      }
      if ((c & 0xFF) == CLASS_LF) ++s.line;
      st = next;
    }
    if (st < TERMINAL) {
      prev = st;
      st = lex_next[st][CLASS_END];
    }
    uint32_t start = s.pos + ws;
    uint32_t end = p;
    int tok = st - TERMINAL;
    s.token_start = start;
    s.token_end = end;
    s.token_lines = lead_lines;
    s.prev_state = prev;
    s.sub_type = -1;
    s.type = lex_state_type[st];
    s.pos = end;

    if (tok == T_END) {
      s.pos = end;
      break;
    }
    bool structure_done = s.prescan && tok <= T_STRING;
    if (structure_done) scan_structure(s, tok, start, end, flags);

    if (tok == T_WORD && !drop_leading_delimiters(s, start, end)) {
      s.pos = end;
      if (s.pos >= s.len) break;
      continue;
    }

    int32_t event_type = s.type ? s.type : -(tok + 1);
    bool process;
    if (s.callback && s.entry != ENTRY_BRACES) {
      process = (tok == T_PAREN_OPEN && point_literal_q(s, end + 1)) ||
                fire_event(s, EV_PRESCAN, event_type, nullptr, start, end);
    } else {
      process = !s.prescan;
    }

    if (process && !structure_done) {
      if (tok < T_STRING) {
        scan_structure(s, tok, start, end, flags);
      } else {
        routine loader = loader_of(tok);
        bool vetoed = false;
        bool has_scanner = tok == T_WORD || tok == T_ISSUE || tok == T_STRING;
        if (!s.load || (has_scanner && tok != T_STRING) || (s.callback && (s.event_mask & EV_SCAN))) {
          if (tok == T_WORD) s.pos = classify_word(s, start, end, flags);
          else if (loader) loader(s, start, end, flags, false);
          vetoed = !fire_event(s, EV_SCAN, s.type, nullptr, start, end);
        }
        if (s.load && !vetoed && loader) {
          uint32_t before = s.tail;
          s.pos = end;
          if (tok == T_WORD) s.pos = end = classify_word(s, start, end, flags);
          loader(s, start, end, flags, true);
          if (s.tail > before && !fire_event(s, EV_LOAD, s.type, cell_at(s.tail - 1), start, end))
            s.tail = before;
        }
      }
    }

    if (!process && tok > T_STRING) skip_unprocessed(s, tok, start, end);

    bool in_path = s.entry == ENTRY_PATH;
    if (in_path && tok != T_PATH && tok != T_ERROR) {
      after_path_element(s);
      in_path = s.entry == ENTRY_PATH;
    }
    if ((s.one || s.prescan) && s.type != 0 && !in_path && s.entry != ENTRY_BRACES &&
        tok != T_PATH && one_value_done(s)) {
      s.last_type = s.type;
      return;
    }
    s.last_type = s.type;
    if (s.pos >= s.len) break;
  }
  // A string in braces still open at the end is unclosed whatever token came
  // last: a nested {b} inside it closes only that level.
  if (s.entry == ENTRY_BRACES) throw_error(s, s.brace_start, s.len, TYPE_STRING);
  if (cell* m = marker_of(s)) {
    if (s.prescan && path_type_q(pending_of(m))) {
      s.type = int32_t(pending_of(m));
      return;
    }
    s.closing_type = int32_t(pending_of(m));
    throw_error(s, m->w3, s.len, -4);
  }
}

// Copies the scan's top-level values to the result (or appends them to into).
void deliver(state& s, cell* result, bool want_block, cell* into) {
  uint32_t n = s.tail - s.head;
  if (s.one && !want_block && n >= 1) n = 1;
  cell* target = into;
  if (!into) {
    if (s.one && !want_block && n == 1) {
      *result = cells[s.head];
      result->header &= ~FLAG_NEW_LINE;
      return;
    }
    uint32_t node = memory::alloc_cells(std::max(n, 1u));
    *result = cell{TYPE_BLOCK, 0, node, 0};
    target = result;
  }
  if (!n) {
    if (into) *result = *into;
    return;
  }
  series_buffer* b = memory::buffer_of(target->w2);
  uint8_t* room = series::make_room(b, n * uint32_t(sizeof(cell)));
  std::memcpy(room, &cells[s.head], size_t(n) * sizeof(cell));
  if (into) *result = *into;
}

}  // namespace

namespace {

// Loads the whole text (a new block in result, or appended to into). False
// when the scan stopped before the text's end (at a NUL) or on a syntax
// error, which is swallowed; other exits go on.
bool load_quietly(const cell* text, cell* result, cell* into) {
  cell* saved = stack::top;
  cell* args = stack::arguments;
  stack::frame* mark = stack::ctop;
  cell* source = stack::push(text);
  int32_t length = string::ks_length_q(source);
  // An error unrolls the stacks to the nearest try frame: this one, so that
  // the caller's frames stay as they are.
  stack::mark_try(words::word[words::w::try_]);
  bool loaded = false;
  try {
    int32_t consumed = 0;
    scan_alt(result, source, -1, false, true, true, true, &consumed, nullptr, into);
    loaded = type_of(result) == TYPE_BLOCK && consumed >= length;
  } catch (const thrown& t) {
    if (t.code != THROWN_ERROR) throw;
    runtime::ctx.thrown = 0;
    stack::clear_throw_frame();
  }
  stack::ctop = mark;
  stack::arguments = args;
  stack::top = saved;
  return loaded;
}

// The first loaded value of a block, without its new-line marker.
cell* first_value(const cell* block, cell* out) {
  *out = *memory::buffer_of(block->w2)->head_cell();
  out->header &= ~FLAG_NEW_LINE;
  return out;
}

// load::value_from_string's scanner: a text holding more than one value, or
// that is not valid source, has characters left over after its first value.
bool transcode_value(cell* text, cell* target_block) {
  cell* result = stack::push_cell();
  bool whole = load_quietly(text, result, target_block);
  stack::pop(1);
  series_buffer* b = memory::buffer_of(target_block->w2);
  if (b->used() > sizeof(cell)) return false;
  if (b->used()) b->head_cell()->header &= ~FLAG_NEW_LINE;
  return whole;
}

// A text's characters from its head: address, count and unit.
struct text_run {
  const uint8_t* head;
  int32_t count;
  int unit;
  explicit text_run(const cell* text) {
    cell t = *text;
    head = string::ks_head(&t);  // nothing below allocates while it is read
    count = string::ks_length_q(&t);
    unit = int(string::unit_of(string::buffer_of(&t)));
  }
};

// to integer! and to float! of text: the lexer's number scanners over the
// characters; a percent! target loads the text as a value instead.
int32_t integer_of_text(const cell* text) {
  text_run run(text);
  int32_t err = 0;
  int32_t v = scan_integer(run.head, run.count, run.unit, err);
  if (err) math::fire_with_type(err::script::bad_to_arg, TYPE_INTEGER, text);
  return v;
}

double double_of_text(const cell* text, uint32_t target) {
  int32_t err = 0;
  double d = 0.0;
  if (target == TYPE_PERCENT) {
    cell v;
    if (!load_value(text, &v)) err = -1;
    else if (type_of(&v) == TYPE_FLOAT || type_of(&v) == TYPE_PERCENT) d = load_double(&v.w2);
    else if (type_of(&v) == TYPE_INTEGER) d = double(int32_t(v.w2));
    else err = -1;
  } else {
    text_run run(text);
    d = run.count ? scan_float(run.head, run.count, run.unit, err) : (err = -1, 0.0);
  }
  if (err) math::fire_with_type(err::script::bad_to_arg, target, text);
  return d;
}

}  // namespace

bool load_value(const cell* text, cell* out) {
  cell* result = stack::push_cell();
  bool one = load_quietly(text, result, nullptr) && memory::buffer_of(result->w2)->used() == sizeof(cell);
  if (one) first_value(result, out);
  stack::pop(1);
  return one;
}

bool scan_money_text(const cell* text, cell* out) {
  cell* source = stack::push(text);
  int32_t count = string::ks_length_q(source);
  uint32_t unit = string::unit_of(string::buffer_of(source));
  scan_money(out, string::ks_head(source), count, int(unit));
  stack::pop(1);
  return type_of(out) == TYPE_MONEY;
}

void init() {
  system_stub::hooks.load_value = load_value;
  system_stub::hooks.scan_money = scan_money_text;
  load::set_transcode(transcode_value);
  for (uint32_t type : {TYPE_STRING, TYPE_FILE, TYPE_URL, TYPE_TAG, TYPE_EMAIL, TYPE_REF}) {
    math::set_integer_converter(type, integer_of_text);
    math::set_float_converter(type, double_of_text);
  }
  if (!cells) {
    ensure_cells(INITIAL_CELLS);
    text_buffer = static_cast<uint8_t*>(mem::allocate(TEXT_BYTES));
    text_capacity = TEXT_BYTES;
  }
  collector::remove_marker(mark_buffers);
  collector::add_marker(mark_buffers);
}

void mark_buffers() {
  for (state* s = first_scan; s; s = s->next) {
    collector::mark_values(&cells[s->head], &cells[s->tail]);
    if (s->source) collector::mark_values(s->source, s->source + 1);
    if (s->callback) collector::mark_values(const_cast<cell*>(s->callback), const_cast<cell*>(s->callback) + 1);
  }
}

int32_t scan(cell* result, const uint8_t* text, size_t length, bool one, bool not_prescan,
             bool not_scan, bool want_block, int32_t* consumed, const cell* callback,
             cell* source, cell* into) {
  if (!cells) init();
  if (length > 0x7FFFFFF0) error::fire(err::cat_internal, err::internal::no_memory);
  state s;
  s.in = text;
  s.len = uint32_t(length);
  s.one = one;
  s.load = not_prescan && not_scan;
  s.prescan = !not_prescan;
  s.callback = callback && type_of(callback) != TYPE_NONE ? callback : nullptr;
  s.event_mask = !s.callback ? 0
                 : mask_hook ? mask_hook(s.callback)
                             : (EV_PRESCAN | EV_SCAN | EV_LOAD | EV_OPEN | EV_CLOSE | EV_ERROR);
  s.source = source;
  if (source) {
    s.source_base = source->w1;
    uint32_t t = type_of(source);
    s.source_chars = (t >= TYPE_STRING && t <= TYPE_URL) || t == TYPE_TAG || t == TYPE_EMAIL ||
                     t == TYPE_REF;
  }
  s.head = s.begin = s.tail = last_scan ? last_scan->tail : 0;
  s.parent = last_scan;
  if (last_scan) last_scan->next = &s;
  else first_scan = &s;
  last_scan = &s;
  auto unlink = [&] {
    last_scan = s.parent;
    if (s.parent) s.parent->next = nullptr;
    else first_scan = nullptr;
  };
  bool unclosed = false;
  try {
    scan_tokens(s);
  } catch (const thrown& t) {
    if (t.code > STOP) {
      s.tail = s.head;
      unlink();
      throw;
    }
  }
  unclosed = marker_of(s) != nullptr;
  int32_t type = s.type;
  if (consumed) *consumed = int32_t(std::min(s.pos, s.len));
  try {
    bool scan_mode = not_prescan && !not_scan;
    if (unclosed) {
      *result = cell{TYPE_NONE, 0, 0, 0};
    } else if (!scan_mode) {
      if (!s.load) s.tail = s.head;  // placeholders only count; they are not values
      deliver(s, result, want_block, into);
    }
  } catch (...) {
    s.tail = s.head;
    unlink();
    throw;
  }
  s.tail = s.head;
  unlink();
  return type;
}

int32_t scan_alt(cell* result, cell* str, int32_t length, bool one, bool not_prescan,
                 bool not_scan, bool want_block, int32_t* consumed, const cell* callback,
                 cell* into) {
  if (!cells) init();
  int32_t available = string::ks_length_q(str);
  uint32_t count = uint32_t(length < 0 ? available : std::min(length, available));
  uint32_t unit = string::unit_of(string::buffer_of(str));
  size_t need = size_t(count) * (unit == 1 ? 2 : unit == 2 ? 3 : 4) + 1;
  uint8_t* out;
  uint8_t* own = nullptr;
  uint32_t mark = text_used;
  if (need <= text_capacity - text_used) {
    out = text_buffer + text_used;
    text_used += uint32_t(need);
  } else {
    out = own = static_cast<uint8_t*>(mem::allocate(need));
  }
  size_t bytes = utf::export_utf8(string::ks_head(str), count, int(unit), out, false);
  int32_t used = 0;
  int32_t type;
  try {
    type = scan(result, out, bytes, one, not_prescan, not_scan, want_block, &used, callback,
                str, into);
  } catch (...) {
    text_used = mark;
    if (own) mem::free(own);
    throw;
  }
  if (consumed) *consumed = int32_t(utf8::count_chars(out, out + used));
  text_used = mark;
  if (own) mem::free(own);
  return type;
}

cell* load_utf8(cell* result, const uint8_t* text, size_t length) {
  scan(result, text, length, false, true, true, true, nullptr, nullptr, nullptr, nullptr);
  return result;
}

}  // namespace kez::lexer
