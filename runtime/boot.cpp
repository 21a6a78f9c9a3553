#include "runtime/boot.h"

#include <sys/stat.h>

#include <array>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <string>

#include "library/library.h"
#include "runtime/actions.h"
#include "runtime/arrays.h"
#include "runtime/case_map.h"
#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/bitset.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/char.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/email.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/handle.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/hash.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/port.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/percent.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/time.h"
#include "runtime/datatypes/triple.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/vector.h"
#include "runtime/datatypes/path.h"
#include "runtime/datatypes/ref.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/tag.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/url.h"
#include "runtime/datatypes/word.h"
#include "runtime/handles.h"
#include "runtime/hooks.h"
#include "runtime/boot_image.h"
#include "runtime/kezbin.h"
#include "gui/backend/event.h"
#include "platform/os.h"
#include "runtime/hashtable.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/parse.h"
#include "runtime/ownership.h"
#include "runtime/random.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/trace.h"
#include "runtime/system_stub.h"
#include "runtime/thrown.h"
#include "runtime/words.h"

namespace kez::boot {

namespace {

// Datatype registration, parents first.
void (*const registrations[])() = {
    datatype::init, unset::init,  none::init,     logic::init,  series::init, string::init,  url::init,
    file::init,     tag::init,    email::init,    ref::init,    block::init,  paren::init,   path::init,
    integer::init,  float_::init, binary::init,
};
// The types that register once the symbol table and global context exist.
void (*const word_registrations[])() = {
    symbol::init, word::init,    char_::init,     typeset::init,  native::init, action_::init,
    op::init,     function::init, routine::init,  object::init,
    time::init,   date::init,     money::init,    pair::init,     point2D::init, point3D::init,
    tuple::init,  percent::init,  triple::init,   vector::init,   bitset::init,  map::init,
    hash_::init,  handle::init,   port::init,     image::init,   gui::event::init,
};

// Every type's name, so that specs may name types not built yet.
const char* const type_names[] = {
    nullptr,     "datatype!", "unset!",    "none!",     "logic!",    "block!",      "paren!",    "string!",
    "file!",     "url!",      "char!",     "integer!",  "float!",    "symbol!",     "context!",  "word!",
    "set-word!", "lit-word!", "get-word!", "refinement!", "issue!",  "native!",     "action!",   "op!",
    "function!", "path!",     "lit-path!", "set-path!", "get-path!", "routine!",    "bitset!",   "triple!",
    "object!",   "typeset!",  "error!",    "vector!",   "hash!",     "pair!",       "percent!",  "tuple!",
    "map!",      "binary!",   "series!",   "time!",     "tag!",      "email!",      "handle!",   "date!",
    "port!",     "money!",    "ref!",      "point2D!",  "point3D!",  "image!",      "event!",
};
static_assert(std::size(type_names) == TYPE_LAST + 1);

struct named_typeset {
  const char* name;
  std::initializer_list<uint32_t> types;
};
// The typesets that native specs name, for a runtime without the library
// (the library defines its own, in its order, when it boots).
const named_typeset typesets[] = {
    {"number!", {TYPE_INTEGER, TYPE_FLOAT, TYPE_PERCENT}},
    {"scalar!", {TYPE_CHAR, TYPE_INTEGER, TYPE_FLOAT, TYPE_PAIR, TYPE_PERCENT, TYPE_TUPLE, TYPE_TIME, TYPE_DATE,
                 TYPE_MONEY, TYPE_POINT2D, TYPE_POINT3D}},
    {"any-word!", {TYPE_WORD, TYPE_SET_WORD, TYPE_LIT_WORD, TYPE_GET_WORD}},
    {"all-word!", {TYPE_WORD, TYPE_SET_WORD, TYPE_LIT_WORD, TYPE_GET_WORD, TYPE_REFINEMENT, TYPE_ISSUE}},
    {"any-list!", {TYPE_BLOCK, TYPE_PAREN, TYPE_HASH}},
    {"any-path!", {TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH}},
    {"any-block!", {TYPE_BLOCK, TYPE_PAREN, TYPE_HASH, TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH}},
    {"any-string!", {TYPE_STRING, TYPE_FILE, TYPE_URL, TYPE_TAG, TYPE_EMAIL, TYPE_REF}},
    {"series!", {TYPE_BLOCK, TYPE_PAREN, TYPE_HASH, TYPE_PATH, TYPE_LIT_PATH, TYPE_SET_PATH, TYPE_GET_PATH,
                 TYPE_STRING, TYPE_FILE, TYPE_URL, TYPE_TAG, TYPE_EMAIL, TYPE_REF, TYPE_BINARY, TYPE_VECTOR,
                 TYPE_IMAGE}},
    {"any-function!", {TYPE_NATIVE, TYPE_ACTION, TYPE_OP, TYPE_FUNCTION, TYPE_ROUTINE}},
    {"any-object!", {TYPE_OBJECT, TYPE_ERROR, TYPE_PORT}},
    {"any-point!", {TYPE_POINT2D, TYPE_POINT3D}},
};

void set_global(const char* name, const cell* value) {
  cell v = *value;
  collector::root_cells keep(&v);
  cell* w = word::push_from_symbol(symbol::make(name));
  context::set(w, &v);
  stack::pop(1);
}

// The datatype words and the constant words every script relies on, until
// the library defines them.
void define_types() {
  for (uint32_t t = 1; t <= TYPE_LAST; ++t) {
    cell* w = word::push_from_symbol(symbol::make(type_names[t]));
    if (type_of(context::get(w)) == TYPE_UNSET) {
      cell d;
      datatype::make_at(&d, t);
      context::set(w, &d);
    }
    stack::pop(1);
  }
  const cell yes{TYPE_LOGIC, 1, 0, 0}, no{TYPE_LOGIC, 0, 0, 0}, none{TYPE_NONE, 0, 0, 0};
  for (const char* name : {"true", "yes", "on"}) set_global(name, &yes);
  for (const char* name : {"false", "no", "off"}) set_global(name, &no);
  set_global("none", &none);
  cell set;
  typeset::make_at(&set, 0, 0, 0);
  for (uint32_t t = 1; t <= TYPE_LAST; ++t) typeset::add_type(&set, t);
  set_global("any-type!", &set);
  for (const named_typeset& ts : typesets) {
    typeset::make_at(&set, 0, 0, 0);
    for (uint32_t t : ts.types) typeset::add_type(&set, t);
    set_global(ts.name, &set);
  }
}

// The top-level cells the boot data left in the root block: its data
// sources and the library's, each a block of file name and body pairs.
uint32_t boot_cells = 0;

const cell* named_source(uint32_t which, const char* name) {
  if (which >= boot_cells || type_of(root::cell_at(which)) != TYPE_BLOCK) return nullptr;
  cell* pairs = root::cell_at(which);
  int32_t n = block::ks_length_q(pairs);
  size_t length = std::strlen(name);
  for (int32_t i = 0; i + 1 < n; i += 2) {
    cell* file = block::ks_head(pairs) + i;
    if (type_of(file) != TYPE_FILE || uint32_t(string::ks_length_q(file)) != length) continue;
    bool same = true;
    for (size_t k = 0; k < length && same; ++k) same = string::ks_abs_at(file, int32_t(k)) == uint8_t(name[k]);
    if (same) return file + 1;
  }
  return nullptr;
}

// The stretches of the library's top level that run with the root-building
// flag set again (the event! datatype's registration, the GUI backend's
// words): each runs just before the library source it is named after.
struct stretch {
  const char* before;
  void (*run)();
};
// None yet: event! and the GUI backend's words join here with the GUI.
constexpr std::array<stretch, 0> stretches{};

void run_stretch(const stretch& s) {
  root::building = true;
  collector::set_enabled(false);
  s.run();
  root::building = false;
  collector::set_enabled(true);
}

// The rest of the report of a library that could not be made: the error
// that stopped it, then the process ends with the status of an uncaught error.
[[noreturn]] void end_library_failure() {
  std::fputs(")\n", stderr);
  cell* top = stack::top;
  if (top > stack::bottom && type_of(top - 1) == TYPE_ERROR) natives::write_formed(top - 1, stderr, true);
  else if (type_of(error::last_value()) == TYPE_ERROR) natives::write_formed(error::last_value(), stderr, true);
  std::fflush(stderr);
  runtime::on_quit();
  std::_Exit(-2 & 0xFF);
}

[[noreturn]] void library_failed(const cell* name) {
  std::fflush(stdout);
  std::fputs("*** the library failed to load (", stderr);
  natives::write_formed(name, stderr, false);
  end_library_failure();
}

}  // namespace

void library_failed(const char* what) {
  std::fflush(stdout);
  std::fprintf(stderr, "*** the library failed to load (%s", what);
  end_library_failure();
}

void run_library() {
  if (LIBRARY >= boot_cells || type_of(root::cell_at(LIBRARY)) != TYPE_BLOCK) return;
  cell* pairs = root::cell_at(LIBRARY);
  int32_t n = block::ks_length_q(pairs);
  for (int32_t i = 0; i + 1 < n; i += 2) {
    cell name = block::ks_head(pairs)[i], code = block::ks_head(pairs)[i + 1];
    collector::root_cells keep(&name), keep_code(&code);
    for (const stretch& s : stretches)
      if (type_of(&name) == TYPE_FILE && named_source(LIBRARY, s.before) == block::ks_head(pairs) + i + 1)
        run_stretch(s);
    stack::frame* mark = stack::ctop;
    cell* args = stack::arguments;
    try {
      uint32_t status = interpreter::eval(&code, false);
      if (status) library_failed(&name);
    } catch (const thrown&) {
      library_failed(&name);
    }
    stack::ctop = mark;
    stack::arguments = args;
    stack::top = args;
  }
}

namespace {

[[noreturn]] void uncaught(cell* error) {
  std::fflush(stdout);
  cell* base = stack::top;
  try {
    natives::write_formed(error, stderr, true);
  } catch (const thrown&) {
    // An argument that cannot be formed (nested too deep, say) must not
    // cost the report: it goes, the message and the rest stay.
    runtime::ctx.thrown = 0;
    cycles::reset();
    stack::top = base;
    for (error::field f : {error::F_ARG1, error::F_ARG2, error::F_ARG3})
      *error::field_of(error, f) = cell{TYPE_NONE, 0, 0, 0};
    natives::write_formed(error, stderr, true);
  }
  std::fflush(stderr);
  runtime::on_quit();
  std::_Exit(-2 & 0xFF);
}

}  // namespace

void init_runtime() {
  root::building = true;
  hooks::init();
  os::init();
  random::init();
  collector::init();
  collector::set_enabled(false);
  memory::init();
  handles::init();
  datatype::reset();
  for (auto reg : registrations) reg();
  stack::init();
  root::init();
  case_::init();
  hashtable::init();
  symbol::init_table();
  context::init_global();
  for (auto reg : word_registrations) reg();
  datatype::make_words();
  words::init();
  actions::init_entries();
  natives::init();
  parser::init();
  ownership::init();
  lexer::init();
  cycles::reset();
  error::evaluator.throw_error = stack::throw_error;
  error::evaluator.tracing = [] { return trace::active; };
  error::evaluator.fire_event = [](int32_t, cell* e) {
    cell near = interpreter::position();
    collector::root_cells keep(&near);
    trace::fire(trace::ERROR, block::any_block_q(type_of(&near)) ? &near : nullptr, e, nullptr);
  };
  define_types();
}

const cell* data_source(const char* name) { return named_source(DATA, name); }

void init() {
  const char* image_path = std::getenv("KEZ_WRITE_IMAGE");
  if (image_path && !boot_image::prepare()) std::_Exit(1);
  // The state all of this leaves, as the build wrote it; then only what
  // depends on this process is set again.
  if (!image_path && boot_image::load()) {
    os::init();
    return;
  }
  // Phase 1: the runtime, then the boot data decoded into the root block.
  init_runtime();
  kezbin::boot_load(data, data_size);
  boot_cells = root::length() - uint32_t(root::cell_at(0) - memory::buffer_of(root::block())->head_cell());
  const cell* catalogue = data_source("errors.kez");
  const cell* ports = data_source("ports");
  if (!catalogue || !ports) {
    std::fputs("Error: the boot data lacks its error catalogue or port objects!\n", stderr);
    runtime::on_quit();
    std::_Exit(1);
  }
  error::init(catalogue);
  interpreter::init();
  trace::init();
  refs::init();
  // Phases 2 and 3 need nothing here: the library's words were bound as
  // they were decoded, and its bodies are interpreted.
  // Phase 4.
  collector::set_enabled(true);
  root::building = false;
  // Phase 5.
  system_stub::init_ports(ports);
  library::boot();
  // The build's image of this state (see boot_image.h).
  if (image_path) {
    bool written = boot_image::write(image_path);
    runtime::on_quit();
    std::_Exit(written ? 0 : 1);
  }
}

long find_header(const char* text, unsigned long length) {
  for (unsigned long i = 0; i + 3 <= length; ++i) {
    if (std::strncmp(text + i, "Kez", 3) != 0) continue;
    if (i > 0 && !std::strchr(" \t\r\n", text[i - 1])) continue;
    unsigned long j = i + 3;
    bool system = false;
    if (j + 7 <= length && std::strncmp(text + j, "/System", 7) == 0) {
      system = true;
      j += 7;
    }
    while (j < length && std::strchr(" \t\r\n", text[j]) && text[j]) ++j;
    if (j < length && text[j] == '[') return system ? -2 : long(i);
  }
  return -1;
}

namespace {

// The build date: the executable's own modification time, when it was
// linked (UTC); none when the file cannot be read.
void set_build_date() {
  struct stat st;
  cell* field = system_stub::system_field({"build", "date"});
  if (!field || stat("/proc/self/exe", &st) != 0) return;
  std::tm tm;
  time_t t = st.st_mtime;
  if (!gmtime_r(&t, &tm)) return;
  date::make_at_numbers(field, tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, 0);
}

}  // namespace

void run_launch(const std::string& command_line) {
  library::hold_stress();
  set_build_date();
  cell* args = stack::arguments;
  // Made on the stack first: the allocation may move the object's values.
  cell* base = stack::top;
  cell* line = stack::push_cell();
  file::load_name(reinterpret_cast<const uint8_t*>(command_line.data()), command_line.size(), line);
  const cell* launch = data_source("launch.kez");
  cell* raw = system_stub::system_field({"script", "args"});
  if (!launch || !raw) library_failed("launch.kez");
  *raw = *line;
  stack::top = base;
  stack::frame* mark = stack::ctop;
  try {
    cell code = *launch;
    code.w1 = 2;  // past `Kez` and the header block
    collector::root_cells keep(&code);
    uint32_t status = interpreter::eval(&code, false);
    if (status) runtime::throw_(status);
  } catch (const thrown& t) {
    runtime::ctx.thrown = 0;
    cell* top = stack::top;
    cell error = top > args && type_of(top - 1) == TYPE_ERROR ? *(top - 1) : *error::last_value();
    stack::ctop = mark;
    stack::arguments = args;
    stack::top = args;
    collector::root_cells keep(&error);
    if (type_of(&error) != TYPE_ERROR) {
      std::fprintf(stderr, "*** uncaught exit %08X\n", t.code);
      runtime::on_quit();
      std::_Exit(-2 & 0xFF);
    }
    uncaught(&error);
  }
  stack::ctop = mark;
  stack::arguments = args;
  stack::top = args;
}

}  // namespace kez::boot
