#include "runtime/utf.h"

#include <algorithm>
#include <array>
#include <cassert>
#include <cstring>

#include "runtime/cell.h"
#include "runtime/collector.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/error.h"
#include "runtime/runtime.h"

namespace kez {

namespace {

// --- Unit access ------------------------------------------------------------

// Text runs are walked with the unit fixed at compile time; the one switch per
// run lives here. A unit other than 1, 2 or 4 means a corrupted buffer.
template <typename F>
decltype(auto) with_unit(int unit, F&& f) {
  switch (unit) {
    case 1: return f(std::integral_constant<int, 1>{});
    case 2: return f(std::integral_constant<int, 2>{});
    case 4: return f(std::integral_constant<int, 4>{});
    default: runtime::quit(runtime::RT_NO_SWITCH, 0);
  }
}

template <int U>
inline int32_t load_unit(const uint8_t* p) {
  if constexpr (U == 1) {
    return *p;
  } else if constexpr (U == 2) {
    return p[0] | (p[1] << 8);
  } else {
    uint32_t v;
    std::memcpy(&v, p, 4);  // buffers are little-endian like the host
    return static_cast<int32_t>(v);
  }
}

template <int U>
inline void store_unit(uint8_t* p, int32_t cp) {
  if constexpr (U == 1) {
    *p = static_cast<uint8_t>(cp);
  } else if constexpr (U == 2) {
    p[0] = static_cast<uint8_t>(cp);
    p[1] = static_cast<uint8_t>(cp >> 8);
  } else {
    std::memcpy(p, &cp, 4);
  }
}

// --- Strict UTF-8 automaton ---------------------------------------------------

// Byte classes: 0 ASCII, 1 80-8F, 9 90-9F, 7 A0-BF, 8 never valid (C0, C1,
// F5-FF), 2 C2-DF, 10 E0, 3 E1-EC EE-EF, 4 ED, 11 F0, 6 F1-F3, 5 F4. The class
// also masks the lead byte's payload: (0xFF >> class) & byte.
constexpr std::array<uint8_t, 256> byte_classes = [] {
  std::array<uint8_t, 256> c{};
  auto set = [&](int first, int last, uint8_t cls) {
    for (int b = first; b <= last; ++b) c[b] = cls;
  };
  set(0x00, 0x7F, 0); set(0x80, 0x8F, 1); set(0x90, 0x9F, 9); set(0xA0, 0xBF, 7);
  set(0xC0, 0xC1, 8); set(0xC2, 0xDF, 2); set(0xE0, 0xE0, 10); set(0xE1, 0xEC, 3);
  set(0xED, 0xED, 4); set(0xEE, 0xEF, 3); set(0xF0, 0xF0, 11); set(0xF1, 0xF3, 6);
  set(0xF4, 0xF4, 5); set(0xF5, 0xFF, 8);
  return c;
}();

// States are multiples of 12 so that state + class indexes the table.
enum : uint8_t {
  ACCEPT = 0, REJECT = 12,
  NEED1 = 24,        // one continuation byte left
  NEED2 = 36,        // two left
  AFTER_E0 = 48,     // A0-BF next (no overlong 3-byte form)
  AFTER_ED = 60,     // 80-9F next (no surrogate)
  AFTER_F0 = 72,     // 90-BF next (no overlong 4-byte form)
  NEED3 = 84,        // three left
  AFTER_F4 = 96,     // 80-8F next (nothing above 0x10FFFF)
  STATES = 108,
};

constexpr std::array<uint8_t, STATES> transitions = [] {
  std::array<uint8_t, STATES> t{};
  for (auto& s : t) s = REJECT;
  auto on = [&](uint8_t state, std::initializer_list<int> classes, uint8_t next) {
    for (int c : classes) t[state + c] = next;
  };
  on(ACCEPT, {0}, ACCEPT);
  on(ACCEPT, {2}, NEED1);
  on(ACCEPT, {3}, NEED2);
  on(ACCEPT, {10}, AFTER_E0);
  on(ACCEPT, {4}, AFTER_ED);
  on(ACCEPT, {11}, AFTER_F0);
  on(ACCEPT, {6}, NEED3);
  on(ACCEPT, {5}, AFTER_F4);
  on(NEED1, {1, 9, 7}, ACCEPT);
  on(NEED2, {1, 9, 7}, NEED1);
  on(AFTER_E0, {7}, NEED1);
  on(AFTER_ED, {1, 9}, NEED1);
  on(AFTER_F0, {9, 7}, NEED2);
  on(NEED3, {1, 9, 7}, NEED2);
  on(AFTER_F4, {1}, NEED2);
  return t;
}();

inline bool continuation(uint8_t b) { return (b & 0xC0) == 0x80; }

[[noreturn]] void fire_invalid_char(int32_t cp) {
  cell arg{TYPE_INTEGER, 0, static_cast<uint32_t>(cp), 0};
  error::fire(err::cat_script, err::script::invalid_char, &arg);
}

inline bool valid_code_point(int32_t cp) { return static_cast<uint32_t>(cp) <= 0x10FFFF; }

}  // namespace

// --- utf8 -------------------------------------------------------------------

namespace utf8 {

const uint8_t* decode_char(const uint8_t* p, const uint8_t* end, int32_t& cp) {
  if (p >= end) {
    cp = -1;
    return end;
  }
  uint8_t cls = byte_classes[*p];
  int32_t value = (0xFF >> cls) & *p++;
  uint8_t state = transitions[cls];
  while (state != ACCEPT) {
    if (state == REJECT || p == end) {
      cp = -1;
      return p;
    }
    value = (value << 6) | (*p & 0x3F);
    state = transitions[state + byte_classes[*p++]];
  }
  cp = value;
  return p;
}

void fire_invalid(const uint8_t* p, size_t n, const cell* arg2) {
  // Copied out first: the binary's allocation may move a heap buffer at p.
  uint8_t bytes[4];
  n = std::min<size_t>(n, 4);
  std::memcpy(bytes, p, n);
  cell second = arg2 ? *arg2 : cell{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&second);
  cell bad{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_bad(&bad);
  binary::load_at(&bad, bytes, uint32_t(n));
  error::fire(err::cat_access, err::access::invalid_utf8, &bad, arg2 ? &second : nullptr);
}

int32_t try_decode_sequence(const uint8_t* p, int32_t& avail) {
  constexpr int32_t INVALID = -2;
  if (avail <= 0) return -1;
  uint8_t b0 = p[0];
  if (b0 < 0x80) {
    avail = 1;
    return b0;
  }
  int len = seq_length(b0);
  if (len == 0 || b0 >= 0xF8) return INVALID;
  // A byte that cannot continue the sequence is an error even before the rest
  // arrives, so splitting the input into chunks never changes the verdict.
  int have = std::min<int32_t>(avail, len);
  for (int i = 1; i < have; ++i)
    if (!continuation(p[i])) return INVALID;
  if (have < len) return -1;
  int32_t cp;
  switch (len) {
    case 2:
      cp = ((b0 - 0xC0) << 6) | (p[1] - 0x80);  // overlong forms pass
      break;
    case 3:
      cp = ((b0 & 0x0F) << 12) | ((p[1] & 0x3F) << 6) | (p[2] & 0x3F);
      if (cp >= 0xDC00 && cp <= 0xDCFF) return INVALID;  // other surrogates pass
      break;
    default:
      cp = ((b0 & 0x07) << 18) | ((p[1] & 0x3F) << 12) | ((p[2] & 0x3F) << 6) | (p[3] & 0x3F);
      if (cp >= 0x110000) return INVALID;
      break;
  }
  avail = len;
  return cp;
}

size_t valid_prefix(const uint8_t* p, size_t n) {
  size_t i = 0;
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    int32_t avail = int32_t(std::min<size_t>(n - i, 4));
    if (try_decode_sequence(p + i, avail) < 0) return i;
    i += size_t(avail);
  }
  return n;
}

int32_t decode_sequence(const uint8_t* p, int32_t& avail) {
  int32_t given = avail;
  int32_t cp = try_decode_sequence(p, avail);
  if (cp == -2) fire_invalid(p, std::min<int32_t>(given, 4));
  return cp;
}

int seq_length(uint8_t lead) {
  if (lead >= 0xF0) return 4;
  if (lead >= 0xE0) return 3;
  if (lead >= 0xC0) return 2;
  return 0;
}

int encoded_length(int32_t cp) {
  if (!valid_code_point(cp)) fire_invalid_char(cp);
  if (cp < 0x80) return 1;
  if (cp < 0x800) return 2;
  if (cp < 0x10000) return 3;
  return 4;
}

int encode_char(int32_t cp, uint8_t* out) {
  // A lone surrogate is no character: it goes out as U+FFFD, never as bytes
  // that no UTF-8 reader accepts (same length, so every size stays right).
  if (cp >= 0xD800 && cp <= 0xDFFF) cp = 0xFFFD;
  int len = encoded_length(cp);
  switch (len) {
    case 1:
      out[0] = static_cast<uint8_t>(cp);
      break;
    case 2:
      out[0] = static_cast<uint8_t>(0xC0 | (cp >> 6));
      out[1] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
      break;
    case 3:
      out[0] = static_cast<uint8_t>(0xE0 | (cp >> 12));
      out[1] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
      out[2] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
      break;
    default:
      out[0] = static_cast<uint8_t>(0xF0 | (cp >> 18));
      out[1] = static_cast<uint8_t>(0x80 | ((cp >> 12) & 0x3F));
      out[2] = static_cast<uint8_t>(0x80 | ((cp >> 6) & 0x3F));
      out[3] = static_cast<uint8_t>(0x80 | (cp & 0x3F));
      break;
  }
  return len;
}

int encode_char_bounded(int32_t cp, uint8_t* out, int room) {
  uint8_t bytes[4];
  int len = encode_char(cp, bytes);
  int n = std::clamp(room, 0, len);
  std::memcpy(out, bytes, n);
  return n;
}

size_t count_chars(const uint8_t* start, const uint8_t* end) {
  size_t n = 0;
  int32_t cp;
  while (start < end) {
    start = decode_char(start, end, cp);
    ++n;
  }
  return n;
}

const uint8_t* skip_chars(const uint8_t* start, const uint8_t* end, size_t n) {
  int32_t cp;
  while (n-- > 0 && start < end) start = decode_char(start, end, cp);
  return start;
}

size_t count_bytes(const void* units, size_t count, int unit) {
  auto* p = static_cast<const uint8_t*>(units);
  return with_unit(unit, [&](auto u) {
    size_t bytes = 0;
    for (size_t i = 0; i < count; ++i) bytes += encoded_length(load_unit<u>(p + i * u));
    return bytes;
  });
}

}  // namespace utf8

// --- utf16 ------------------------------------------------------------------

namespace utf16 {

int encode_char(int32_t cp, uint16_t* out) {
  if (static_cast<uint32_t>(cp) < 0x10000) {
    out[0] = static_cast<uint16_t>(cp);
    return 1;
  }
  if (cp > 0x10FFFF) return 0;
  cp -= 0x10000;
  out[0] = static_cast<uint16_t>(0xD800 + (cp >> 10));
  out[1] = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
  return 2;
}

int scan_unit(const uint16_t* units, size_t count) {
  int unit = 1;
  for (size_t i = 0; i < count; ++i) {
    if (units[i] >= 0xD800 && units[i] <= 0xDFFF) return 4;
    if (units[i] > 0xFF) unit = 2;
  }
  return unit;
}

size_t extra_bytes(const void* units, size_t count, int unit) {
  auto* p = static_cast<const uint8_t*>(units);
  return with_unit(unit, [&](auto u) {
    size_t extra = 0;
    for (size_t i = 0; i < count; ++i) {
      int32_t cp = load_unit<u>(p + i * u);
      if (cp == '\n' || cp >= 0x10000) extra += 2;
    }
    return extra;
  });
}

uint16_t* from_ascii(const char* text, uint16_t* out) {
  uint16_t* w = out;
  while (*text) *w++ = static_cast<uint8_t>(*text++);
  *w = 0;
  return out;
}

}  // namespace utf16

// --- Unit buffers -------------------------------------------------------------

namespace utf {

int32_t get(const void* units, int unit, size_t index) {
  auto* p = static_cast<const uint8_t*>(units);
  return with_unit(unit, [&](auto u) { return load_unit<u>(p + index * u); });
}

void put(void* units, int unit, size_t index, int32_t cp) {
  auto* p = static_cast<uint8_t*>(units);
  with_unit(unit, [&](auto u) { store_unit<u>(p + index * u, cp); });
}

namespace {

void reserve(text_buffer& buffer, size_t units, int unit) {
  size_t bytes = std::max<size_t>(units, 1) * unit;
  if (buffer.capacity < bytes) {
    buffer.grow(buffer, bytes);
    assert(buffer.capacity >= bytes);
  }
}

template <int From, int To>
void rewrite_wider(uint8_t* data, size_t used) {
  // Last to first: a wider unit never overwrites a narrower one not yet read.
  for (size_t i = used; i-- > 0;) store_unit<To>(data + i * To, load_unit<From>(data + i * From));
}

}  // namespace

void widen(text_buffer& buffer, int unit, size_t room) {
  if (unit <= buffer.unit) return;
  reserve(buffer, std::max(room, buffer.used + 1), unit);
  if (buffer.unit == 1 && unit == 2) rewrite_wider<1, 2>(buffer.data, buffer.used);
  else if (buffer.unit == 1) rewrite_wider<1, 4>(buffer.data, buffer.used);
  else rewrite_wider<2, 4>(buffer.data, buffer.used);
  buffer.unit = unit;
}

namespace {

inline int unit_for(int32_t cp) { return cp < 0x100 ? 1 : cp < 0x10000 ? 2 : 4; }

// Decodes from byte i on, storing at the fixed unit U, until the input ends
// (answers 0 with i = n), stops inside a sequence (answers 0, i at its start)
// or meets a code point wider than U (answers the unit it needs, i past it).
template <int U>
int load_utf8_run(text_buffer& buffer, const uint8_t* bytes, size_t n, size_t& i, bool crlf,
                  int32_t& wide_cp) {
  uint8_t* out = buffer.data + buffer.used * U;
  while (i < n) {
    int32_t cp = bytes[i];
    if (cp < 0x80) {
      ++i;
    } else {
      int32_t len = static_cast<int32_t>(std::min<size_t>(n - i, 4));
      cp = utf8::decode_sequence(bytes + i, len);
      if (cp < 0) break;
      i += len;
    }
    if (cp == '\r' && crlf) {
      if (i < n && bytes[i] == '\n') continue;  // the LF comes next
      cp = '\n';
    }
    if (U < 4 && unit_for(cp) > U) {
      buffer.used = (out - buffer.data) / U;
      wide_cp = cp;
      return unit_for(cp);
    }
    store_unit<U>(out, cp);
    out += U;
  }
  buffer.used = (out - buffer.data) / U;
  return 0;
}

}  // namespace

size_t load_utf8(text_buffer& buffer, const uint8_t* bytes, size_t n, bool crlf) {
  size_t i = 0;
  // A mark opens only a new text; appended chunks keep it as a character.
  if (buffer.used == 0 && n >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF) i = 3;
  // Every stored unit comes from at least one input byte, so room for the
  // remaining byte count at the current unit is never exceeded: the runs do
  // no room checks, and only a widening (at most twice) grows the buffer.
  reserve(buffer, buffer.used + (n - i), buffer.unit);
  for (;;) {
    int32_t cp = 0;
    int need = with_unit(buffer.unit, [&](auto u) {
      return load_utf8_run<u>(buffer, bytes, n, i, crlf, cp);
    });
    if (need == 0) return n - i;
    widen(buffer, need, buffer.used + 1 + (n - i));
    put(buffer.data, buffer.unit, buffer.used++, cp);
  }
}

void load_utf16(text_buffer& buffer, const uint16_t* src, size_t count, bool crlf,
                lone_surrogate policy) {
  int unit = utf16::scan_unit(src, count);
  buffer.used = 0;
  reserve(buffer, count, unit);
  buffer.unit = unit;
  with_unit(unit, [&](auto u) {
    uint8_t* out = buffer.data;
    size_t w = 0;
    for (size_t i = 0; i < count; ++i) {
      int32_t cp = src[i];
      if (crlf && cp == '\r') continue;
      if (cp >= 0xD800 && cp <= 0xDFFF) {
        bool paired = cp <= 0xDBFF && i + 1 < count && src[i + 1] >= 0xDC00 && src[i + 1] <= 0xDFFF;
        if (paired) {
          cp = (((cp & 0x3FF) << 10) | (src[++i] & 0x3FF)) + 0x10000;
        } else if (policy == lone_surrogate::raise) {
          uint8_t raw[2] = {static_cast<uint8_t>(cp), static_cast<uint8_t>(cp >> 8)};
          utf8::fire_invalid(raw, 2);
        } else {
          cp = 0xFFFD;
        }
      }
      store_unit<u>(out + w++ * u, cp);
    }
    buffer.used = w;
  });
}

size_t utf8_export_size(size_t count, int unit) {
  return static_cast<size_t>(unit == 4 ? 4 : unit + 1) * (count + 1);
}

size_t export_utf8(const void* units, size_t count, int unit, uint8_t* out, bool crlf) {
  auto* p = static_cast<const uint8_t*>(units);
  size_t w = with_unit(unit, [&](auto u) {
    size_t w = 0;
    for (size_t i = 0; i < count; ++i) {
      int32_t cp = load_unit<u>(p + i * u);
      if (crlf && cp == '\n') out[w++] = '\r';
      w += utf8::encode_char(cp, out + w);
    }
    return w;
  });
  out[w] = 0;
  return w;
}

size_t export_utf8_bounded(const void* units, size_t count, int unit, uint8_t* out,
                           size_t room, bool nul) {
  auto* p = static_cast<const uint8_t*>(units);
  size_t w = with_unit(unit, [&](auto u) {
    size_t w = 0;
    for (size_t i = 0; i < count; ++i) {
      int32_t cp = load_unit<u>(p + i * u);
      if (static_cast<size_t>(utf8::encoded_length(cp)) > room - w) break;
      w += utf8::encode_char(cp, out + w);
    }
    return w;
  });
  if (nul) out[w] = 0;
  return w;
}

size_t utf16_export_size(const void* units, size_t count, int unit) {
  return count + 1 + utf16::extra_bytes(units, count, unit) / 2;
}

ptrdiff_t export_utf16(const void* units, size_t count, int unit, uint16_t* out, bool crlf) {
  auto* p = static_cast<const uint8_t*>(units);
  ptrdiff_t w = with_unit(unit, [&](auto u) -> ptrdiff_t {
    ptrdiff_t w = 0;
    for (size_t i = 0; i < count; ++i) {
      int32_t cp = load_unit<u>(p + i * u);
      if (crlf && cp == '\n') out[w++] = '\r';
      int n = utf16::encode_char(cp, out + w);
      if (n == 0) return -1;
      w += n;
    }
    return w;
  });
  out[w < 0 ? 0 : w] = 0;
  return w;
}

bool to_os_path(const void* units, size_t count, int unit, std::string& out) {
  auto* p = static_cast<const uint8_t*>(units);
  bool has_nul = with_unit(unit, [&](auto u) {
    for (size_t i = 0; i < count; ++i)
      if (load_unit<u>(p + i * u) == 0) return true;
    return false;
  });
  if (has_nul) return false;
  out.resize(utf8_export_size(count, unit));
  out.resize(export_utf8(units, count, unit, reinterpret_cast<uint8_t*>(out.data()), false));
  return true;
}

}  // namespace utf

}  // namespace kez
