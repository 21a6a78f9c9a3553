#include "library/library.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "runtime/boot.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/natives.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"
#include "runtime/thrown.h"

namespace kez::library {

namespace {

bool stress_held = false;  // stress switched off by hold_stress until resume_stress

// The fields whose values the runtime made, and the runtime's reads of the
// system object from here on.
void connect_system() {
  cell name = *word::push_from_symbol(symbol::make("system"));
  stack::pop(1);
  cell system = *context::get(&name);
  collector::root_cells keep(&system);
  if (type_of(&system) != TYPE_OBJECT) kez::boot::library_failed("system");
  system_stub::bind_system(&system);
  // system/words: the global context seen as an object.
  cell words{TYPE_OBJECT, context::global, uint32_t(-1), 0};
  *context::owner_of(context::global) = words;
  if (cell* slot = system_stub::system_field({"words"})) *slot = words;
  if (cell* slot = system_stub::system_field({"catalog", "errors"})) *slot = *error::catalog();
  if (cell* slot = system_stub::system_field({"standard", "error"})) *slot = *error::standard();
}

}  // namespace

void boot() {
  // Collection stress (a collection at every allocation) starts once the
  // library is made, unless KEZ_GC_STRESS_BOOT asks for it here too: every
  // test process boots the library, one test checks the boot itself.
  bool boot_stress = collector::boot_stress_q();
  bool stress = collector::stress_q();
  if (stress && !boot_stress) collector::set_stress(false);
  // The library's top level makes little garbage: collecting while it runs
  // would mark everything made so far for almost nothing back.
  bool collecting = collector::enabled();
  if (!boot_stress) collector::set_enabled(false);
  const cell* specs = kez::boot::data_source("routines");
  if (!specs) kez::boot::library_failed("routines");
  natives::define_routines(specs);
  function::library_building = true;
  kez::boot::run_library();
  function::library_building = false;
  connect_system();
  collector::set_enabled(collecting);
  collector::set_stress(stress);
}

void hold_stress() {
  stress_held = collector::stress_q() && !collector::boot_stress_q();
  if (stress_held) collector::set_stress(false);
}

void resume_stress() {
  if (stress_held) collector::set_stress(true);
  stress_held = false;
}

}  // namespace kez::library
