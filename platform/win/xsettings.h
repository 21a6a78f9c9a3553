// The desktop's settings as an X settings manager publishes them: a list of
// named integers, strings and colours in one property of its window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

namespace kez::win::xsettings {

struct setting {
  enum kind : uint8_t { integer = 0, text = 1, colour = 2 } type = integer;
  int32_t number = 0;
  std::string string;
  uint16_t rgba[4] = {};
};
using table = std::map<std::string, setting>;

// The settings in the property's bytes; false when they are not a whole list
// (what was read before the fault stays in `out`).
bool parse(const unsigned char* data, size_t size, table* out);

// Applications should paint dark: the desktop says so outright, or its
// theme is a dark one by name.
bool prefers_dark(const table& t);

}  // namespace kez::win::xsettings
