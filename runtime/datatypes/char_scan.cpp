#include "runtime/datatypes/char_scan.h"

#include <algorithm>
#include <vector>

#include "runtime/case_map.h"

namespace kez::string {

namespace {

// Each code point above ASCII that has a lower-case mapping, as a pair
// (its lower case, itself), sorted: the inverse of fold there.
const std::vector<case_::case_pair>& folded_from() {
  static const std::vector<case_::case_pair> pairs = [] {
    std::vector<case_::case_pair> v;
    for (auto kind : {case_::lower_bmp, case_::lower_supplementary})
      for (const case_::case_pair& p : case_::table(kind))
        if (p.from >= 0x80) v.push_back(case_::case_pair{p.to, p.from});
    std::sort(v.begin(), v.end(), [](const case_::case_pair& x, const case_::case_pair& y) {
      return x.from != y.from ? x.from < y.from : x.to < y.to;
    });
    return v;
  }();
  return pairs;
}

}  // namespace

char_set make_char_set(int32_t ch, bool exact) {
  std::vector<int32_t> members{ch};
  if (!exact) {
    int32_t folded = fold(ch);
    for (int32_t c = 0; c < 0x80; ++c)
      if (fold(c) == folded) members.push_back(c);
    // Above ASCII, fold is the lower-case mapping, or the character itself.
    if (folded >= 0x80 && fold(folded) == folded) members.push_back(folded);
    const std::vector<case_::case_pair>& inverse = folded_from();
    auto it = std::lower_bound(inverse.begin(), inverse.end(), uint32_t(folded),
                               [](const case_::case_pair& p, uint32_t key) { return p.from < key; });
    for (; it != inverse.end() && it->from == uint32_t(folded); ++it) members.push_back(int32_t(it->to));
  }
  std::sort(members.begin(), members.end());
  members.erase(std::unique(members.begin(), members.end()), members.end());
  char_set set;
  if (members.size() > size_t(char_set::CAPACITY)) {
    set.listed = false;
    return set;
  }
  std::copy(members.begin(), members.end(), set.c);
  for (int32_t c : members) {
    set.fits[0] += c <= 0xFF;
    set.fits[1] += c <= 0xFFFF;
    set.fits[2] += 1;
  }
  return set;
}

}  // namespace kez::string
