// mold of string!: a text written back as source, between "..." or {...},
// with caret escapes; and the small hexadecimal and float text helpers that
// escapes and number code share.
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_text.h"
#include "runtime/float_text.h"

namespace kez::string {

namespace {

const char HEX[] = "0123456789ABCDEF";

// The letter written after a caret for code points 0-94, or 0. Code point 30
// never uses its entry: it always takes the "^(1E)" form.
struct escape_table {
  char letter[95] = {};
  constexpr escape_table() {
    const char* controls = "@ABCDEFGH-/KLMNOPQRSTUVWXYZ[\\]^_";
    for (int c = 0; c < 32; ++c) letter[c] = controls[c];
    letter[int('"')] = '"';
    letter[int('^')] = '^';
  }
};
constexpr escape_table ESCAPES_TABLE;
constexpr const char* ESCAPES = ESCAPES_TABLE.letter;
static_assert(ESCAPES_TABLE.letter[9] == '-' && ESCAPES_TABLE.letter[10] == '/' && ESCAPES_TABLE.letter[29] == ']');

char hex_text[9] = "00000000";
char byte_text[3] = "00";

void put_ascii(cell* buffer, const char* text) {
  series_buffer* b = buffer_of(buffer);
  for (; *text; ++text) b = append_char(b, uint8_t(*text));
}

uint32_t chars_in(const cell* buffer) {
  series_buffer* b = buffer_of(buffer);
  return b->used() / unit_of(b);
}

}  // namespace

const char* to_hex(int32_t value, bool trim) {
  int32_t fill = value < 0 ? -1 : 0;
  int pos = 8;
  for (int32_t v = value; v != fill && pos > 0; v >>= 4) hex_text[--pos] = HEX[v & 15];
  if (!trim) {
    for (int i = 0; i < pos; ++i) hex_text[i] = fill ? 'F' : '0';
    return hex_text;
  }
  return value == 0 ? "00" : hex_text + pos;
}

const char* byte_to_hex(uint8_t byte) {
  byte_text[0] = HEX[byte >> 4];
  byte_text[1] = HEX[byte & 15];
  return byte_text;
}

double to_float(const char* text, int32_t length) { return float_::from_string(text, text + length, 0, nullptr); }

void append_escaped_char(cell* buffer, int32_t cp, bool all) {
  if (cp == 30 || (cp >= 0x80 && cp <= 0x9F) || (all && cp > 127)) {
    put_ascii(buffer, "^(");
    put_ascii(buffer, to_hex(cp, true));
    put_ascii(buffer, ")");
  } else if (cp >= 0 && cp < 95 && ESCAPES[cp]) {
    const char escape[3] = {'^', ESCAPES[cp], 0};
    put_ascii(buffer, escape);
  } else if (cp == 127) {
    put_ascii(buffer, "^~");
  } else {
    append_char(buffer_of(buffer), cp);
  }
}

void count_quotes(const uint8_t* start, const uint8_t* end, uint32_t unit, int32_t& quotes,
                  int32_t& line_feeds) {
  for (uint32_t i = 0, n = uint32_t(end - start) / unit; i < n; ++i) {
    int32_t c = read_unit(start, unit, i);
    quotes += c == '"';
    line_feeds += c == '\n';
  }
}

bool brace_closes_q(const uint8_t* p, const uint8_t* end, uint32_t unit) {
  int32_t depth = 0;
  for (uint32_t i = 0, n = uint32_t(end - p) / unit; i < n; ++i) {
    int32_t c = read_unit(p, unit, i);
    if (c == '{') ++depth;
    else if (c == '}' && depth-- == 1) return true;
  }
  return false;
}

int32_t mold(const cell* value, cell* buffer, bool, bool all, bool, const cell* arg, int32_t part, int32_t) {
  uint32_t before = chars_in(buffer);
  text_view v = view_of(value);
  uint32_t n = v.length;
  if (arg && part >= 0 && uint32_t(part) < n) n = uint32_t(part);
  int32_t quotes = 0, line_feeds = 0;
  count_quotes(v.p, v.at(n), v.unit, quotes, line_feeds);
  // The whole length decides, not the part range, so a text molds with the
  // same delimiters whatever its part.
  bool braces = quotes > 0 || line_feeds >= 3 || v.length >= 50;
  append_char(buffer_of(buffer), braces ? '{' : '"');
  int32_t depth = 0;
  bool balanced = true;
  for (uint32_t i = 0; i < n; ++i) {
    v = view_of(value);  // appending may have moved it
    int32_t c = v[i];
    if (!braces) {
      append_escaped_char(buffer, c, all);
      continue;
    }
    switch (c) {
      case '{':
        if (balanced) balanced = brace_closes_q(v.at(i), v.at(n), v.unit);
        if (balanced) {
          ++depth;
          append_char(buffer_of(buffer), '{');
        } else {
          put_ascii(buffer, "^{");
        }
        break;
      case '}':
        if (depth == 0) {
          put_ascii(buffer, "^}");
        } else {
          --depth;
          append_char(buffer_of(buffer), '}');
        }
        break;
      case '"': append_char(buffer_of(buffer), '"'); break;
      default: append_escaped_char(buffer, c, all);
    }
  }
  append_char(buffer_of(buffer), braces ? '}' : '"');
  return part - int32_t(chars_in(buffer) - before);
}

}  // namespace kez::string
