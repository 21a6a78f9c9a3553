// C++ routines of the data codecs: the JSON decoder's string escapes, which
// the grammar has already shaped but whose code points PARSE cannot build.
#include <cstdint>
#include <vector>

#include "library/library.h"
#include "runtime/collector.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/string.h"
#include "runtime/error_ids.h"
#include "runtime/memory.h"

namespace kez::library {

namespace {

inline cell* param(uint64_t p) { return reinterpret_cast<cell*>(uintptr_t(p)); }
inline uint64_t answer(const cell* c) { return reinterpret_cast<uintptr_t>(c); }

[[noreturn]] void bad_escape(const cell* str) {
  cell s = *str;
  error::fire(err::cat_script, err::script::invalid_data, &s);
}

int32_t hex_value(int32_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Four hex digits at index i (the character after the "u"), or -1.
int32_t hex4(const cell* s, int32_t i, int32_t end) {
  if (end - i < 4) return -1;
  int32_t v = 0;
  for (int32_t k = 0; k < 4; ++k) {
    int32_t d = hex_value(string::ks_abs_at(s, i + k));
    if (d < 0) return -1;
    v = v * 16 + d;
  }
  return v;
}

// Resolves JSON escapes from the string's position on, writing over it; the
// result is never longer than the text it comes from.
uint64_t r_json_unescape(const uint64_t* p) {
  cell* str = param(p[0]);
  int32_t head = int32_t(string::head_index(str));
  int32_t end = head + string::ks_length_q(str);
  std::vector<int32_t> out;
  out.reserve(size_t(end - head));
  for (int32_t i = head; i < end;) {
    int32_t c = string::ks_abs_at(str, i++);
    if (c != '\\') {
      out.push_back(c);
      continue;
    }
    if (i >= end) bad_escape(str);
    c = string::ks_abs_at(str, i++);
    switch (c) {
      case '"': case '\\': case '/': out.push_back(c); break;
      case 'b': out.push_back(0x08); break;
      case 'f': out.push_back(0x0C); break;
      case 'n': out.push_back(0x0A); break;
      case 'r': out.push_back(0x0D); break;
      case 't': out.push_back(0x09); break;
      case 'u': {
        int32_t v = hex4(str, i, end);
        if (v < 0) bad_escape(str);
        i += 4;
        if (v >= 0xD800 && v <= 0xDBFF) {
          int32_t low = end - i >= 6 && string::ks_abs_at(str, i) == '\\' && string::ks_abs_at(str, i + 1) == 'u'
                            ? hex4(str, i + 2, end)
                            : -1;
          if (low < 0xDC00 || low > 0xDFFF) bad_escape(str);
          i += 6;
          v = 0x10000 + ((v - 0xD800) << 10) + (low - 0xDC00);
        } else if (v >= 0xDC00 && v <= 0xDFFF) {
          bad_escape(str);  // a low half alone has no UTF-8 form: written, it would come back as U+FFFD
        }
        out.push_back(v);
        break;
      }
      default: bad_escape(str);
    }
  }
  series_buffer* b = string::buffer_of(str);
  for (size_t k = 0; k < out.size(); ++k) b = string::put_char_at(b, uint32_t(head) + uint32_t(k), out[k]);
  string::truncate(b, head + int32_t(out.size()));
  return answer(str);
}

const natives::routine_def codec_routines[] = {
    {"_json-unescape", R"K([str [string!] "(modified)" return: [string!]])K", r_json_unescape, true},
};

}  // namespace

void register_codec_routines(natives::routine_list& list) {
  for (const natives::routine_def& r : codec_routines) list.push_back(r);
}

}  // namespace kez::library
