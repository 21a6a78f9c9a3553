#include "library/library.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/natives.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/thrown.h"

namespace kez::library {

namespace {

struct source {
  const char* name;
  const char* text;
};

// The library sources in definition order.
const source sources[] = {
#include "library_kez.inc"
};

[[noreturn]] void failed(const char* name) {
  std::fflush(stdout);
  std::fprintf(stderr, "*** the library failed to load (%s)\n", name);
  cell* top = stack::top;
  if (top > stack::bottom && type_of(top - 1) == TYPE_ERROR) natives::write_formed(top - 1, stderr, true);
  else if (type_of(error::last_value()) == TYPE_ERROR) natives::write_formed(error::last_value(), stderr, true);
  std::fflush(stderr);
  runtime::on_quit();
  std::_Exit(-2 & 0xFF);
}

}  // namespace

void boot() {
  define_routines();
  function::library_building = true;
  for (const source& s : sources) {
    cell code{TYPE_NONE, 0, 0, 0};
    collector::root_cells keep(&code);
    try {
      lexer::load_utf8(&code, reinterpret_cast<const uint8_t*>(s.text), std::strlen(s.text));
      code.w1 = 2;  // past `Kez` and the header block
      uint32_t status = interpreter::eval(&code, false);
      if (status) failed(s.name);
      stack::pop(1);
    } catch (const thrown&) {
      failed(s.name);
    }
  }
  function::library_building = false;
}

}  // namespace kez::library
