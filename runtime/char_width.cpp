#include "runtime/char_width.h"

namespace kez::char_ {

namespace data {
#include "runtime/char_width_tables.inc"
}  // namespace data

std::span<const uint32_t> ranges(width_table which) {
  switch (which) {
    case zero_width: return data::zero_width_ranges;
    case wide: return data::wide_ranges;
    case ambiguous: return data::ambiguous_ranges;
  }
  return {};
}

int in_ranges_q(int32_t cp, const uint32_t* table, size_t words) {
  auto key = static_cast<uint32_t>(cp);
  size_t count = words / 2;
  if (count == 0 || key < table[0] || key > table[words - 1]) return 0;
  // Binary search on the range ends: the first range whose last >= key.
  size_t lo = 0, hi = count;
  while (lo < hi) {
    size_t mid = (lo + hi) / 2;
    if (table[2 * mid + 1] < key) lo = mid + 1;
    else hi = mid;
  }
  return lo < count && table[2 * lo] <= key ? 1 : 0;
}

namespace {
int in(int32_t cp, std::span<const uint32_t> table) {
  return in_ranges_q(cp, table.data(), table.size());
}
}  // namespace

int width(int32_t cp) {
  if (cp == 0) return 0;
  if ((cp >= 0x01 && cp <= 0x1F) || (cp >= 0x7F && cp <= 0x9F)) return 1;
  if (in(cp, data::zero_width_ranges)) return 0;
  if (in(cp, data::wide_ranges)) return 2;
  return 1;
}

int width_cjk(int32_t cp) {
  return in(cp, data::ambiguous_ranges) ? 2 : width(cp);
}

}  // namespace kez::char_
