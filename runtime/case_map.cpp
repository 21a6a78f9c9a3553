#include "runtime/case_map.h"

#include <algorithm>
#include <cassert>

namespace kez::case_ {

namespace data {
#include "runtime/case_tables.inc"
}  // namespace data

namespace {

// Indexed by BMP code point: the mapped code point, 0 when there is none.
// Static storage: zero-filled before init and alive for the whole run.
int32_t upper_lookup[0x10000];
int32_t lower_lookup[0x10000];
bool ready = false;

void fill(int32_t* lookup, std::span<const case_pair> pairs) {
  for (const case_pair& p : pairs) lookup[p.from] = static_cast<int32_t>(p.to);
}

int32_t convert_supplementary(int32_t cp, std::span<const case_pair> pairs) {
  auto key = static_cast<uint32_t>(cp);
  if (pairs.empty() || key < pairs.front().from || key > pairs.back().from) return cp;
  auto it = std::lower_bound(pairs.begin(), pairs.end(), key,
                             [](const case_pair& p, uint32_t k) { return p.from < k; });
  return it->from == key ? static_cast<int32_t>(it->to) : cp;
}

}  // namespace

std::span<const case_pair> table(table_kind kind) {
  switch (kind) {
    case upper_bmp: return data::upper_bmp;
    case lower_bmp: return data::lower_bmp;
    case upper_supplementary: return data::upper_supplementary;
    case lower_supplementary: return data::lower_supplementary;
  }
  return {};
}

void init() {
  if (ready) return;
  fill(upper_lookup, data::upper_bmp);
  fill(lower_lookup, data::lower_bmp);
  ready = true;
}

int32_t convert(int32_t cp, int mode) {
  assert(ready && "case_::init runs at start-up");
  if (static_cast<uint32_t>(cp) < 0x10000) {
    int32_t mapped = (mode ? upper_lookup : lower_lookup)[cp];
    return mapped ? mapped : cp;
  }
  if (cp < 0) return cp;
  return convert_supplementary(cp, mode ? table(upper_supplementary) : table(lower_supplementary));
}

int32_t swap_char(int32_t cp) {
  int32_t up = convert(cp, upper);
  return up != cp ? up : convert(cp, lower);
}

void change_case(utf::text_buffer& buffer, size_t index, size_t length, int mode) {
  if (index >= buffer.used) return;
  size_t end = index + std::min(length, buffer.used - index);
  for (size_t i = index; i < end; ++i) {
    int32_t cp = utf::get(buffer.data, buffer.unit, i);
    int32_t mapped = convert(cp, mode);
    if (mapped == cp) continue;
    int need = mapped < 0x100 ? 1 : mapped < 0x10000 ? 2 : 4;
    if (need > buffer.unit) utf::widen(buffer, need, buffer.used);
    utf::put(buffer.data, buffer.unit, i, mapped);
  }
}

}  // namespace kez::case_
