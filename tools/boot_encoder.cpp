// The boot encoder: a build step that runs the runtime as far as the boot
// data (see boot::init_runtime), makes every native, action, extra native and
// infix operator from its spec text, loads the Kez sources with the lexer and
// writes it all as boot data: compact Kezbin, version 1. The executable links
// the C++ array written here and decodes it at start-up.
//
// kez_boot_encoder OUT.cpp OUT.kezbin DATA-NAME=PATH... -- LIBRARY-NAME=PATH...
// Data sources (the error catalogue) are loaded whole; library sources are
// scripts whose code after the `Kez [...]` header is kept, in the order given.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "runtime/boot.h"
#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/error_ids.h"
#include "runtime/lexer.h"
#include "runtime/kezbin.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/start.h"
#include "runtime/system_stub.h"
#include "runtime/thrown.h"

namespace kez::boot {
// The encoder runs without boot data.
extern const uint8_t data[] = {0};
extern const size_t data_size = 0;
}  // namespace kez::boot

namespace kez {
namespace {

// Infix operators and the callables they are made from.
const char* const operators[][2] = {
    {"+", "add"},      {"-", "subtract"},      {"*", "multiply"},        {"/", "divide"},
    {"%", "remainder"}, {"**", "power"},       {"=", "equal?"},          {"<>", "not-equal?"},
    {"==", "strict-equal?"}, {"=?", "same?"},  {"<", "lesser?"},         {">", "greater?"},
    {"<=", "lesser-or-equal?"}, {">=", "greater-or-equal?"}, {"and", "and~"}, {"or", "or~"},
    {"xor", "xor~"},
};

int arg_count;
char** program_args;

[[noreturn]] void fail(const std::string& what) {
  std::fprintf(stderr, "boot encoder: %s", what.c_str());
  if (error::last_category() >= 0)
    std::fprintf(stderr, " (%s/%s)", err::category_name(error::last_category()),
                 err::id_name(error::last_category(), error::last_id()));
  std::fputc('\n', stderr);
  runtime::on_quit();
  std::_Exit(1);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) fail("cannot read " + path);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

cell load(const std::string& text, const std::string& name) {
  cell code{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&code);
  try {
    lexer::load_utf8(&code, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  } catch (const thrown&) {
    fail("cannot load " + name);
  }
  return code;
}

void append(cell* items, const cell* value) { block::ks_append(items, value); }

void append_name(cell* items, const std::string& name) {
  cell* file = file::load(reinterpret_cast<const uint8_t*>(name.data()), name.size(), stack::push_cell());
  append(items, file);
  stack::pop(1);
}

// `name: value` for the boot data's definitions.
void define(cell* items, const cell* name, const cell* value) {
  cell w = *name;
  w.header = TYPE_SET_WORD;
  append(items, &w);
  append(items, value);
}

// Natives or actions from `name: [spec]` pairs, indexes counted from `first`;
// each is also set globally, so that the operators can find it.
void define_callables(cell* items, const char* specs, uint32_t type, uint32_t first) {
  cell source = load(specs, "the native specs");
  collector::root_cells keep(&source);
  int32_t n = block::ks_length_q(&source);
  for (int32_t i = 0, index = int32_t(first); i + 1 < n; i += 2, ++index) {
    cell name = block::ks_head(&source)[i], spec = block::ks_head(&source)[i + 1];
    collector::root_cells keep_name(&name), keep_spec(&spec);
    cell* value = native::push(type, &spec, uint32_t(index));
    define(items, &name, value);
    context::set(&name, value);
    stack::pop(1);
  }
}

void define_extras(cell* items) {
  uint32_t index = natives::COUNT + 1;
  for (const natives::extra& e : natives::extras()) {
    cell spec = load(e.spec, e.name);
    collector::root_cells keep(&spec);
    spec = *block::ks_head(&spec);
    cell* value = native::push(TYPE_NATIVE, &spec, index++);
    cell* name = word::push_from_symbol(symbol::make(e.name));
    define(items, name, value);
    stack::pop(2);
  }
}

void define_operators(cell* items) {
  for (const auto& op : operators) {
    cell* source = word::push_from_symbol(symbol::make(op[1]));
    cell value = *context::get(source);
    value.header = TYPE_OP | type_of(&value) << 16;
    cell* name = word::push_from_symbol(symbol::make(op[0]));
    define(items, name, &value);
    stack::pop(2);
  }
}

// `name [spec]` for every global routine, in list order.
cell routine_specs() {
  cell pairs{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&pairs);
  block::make_at(&pairs, 2 * int32_t(natives::routine_defs().size()) + 1);
  for (const natives::routine_def& r : natives::routine_defs()) {
    cell spec = load(r.spec, r.name);
    collector::root_cells keep_spec(&spec);
    cell* name = word::push_from_symbol(symbol::make(r.name));
    append(&pairs, name);
    append(&pairs, block::ks_head(&spec));
    stack::pop(1);
  }
  return pairs;
}

// The pairs of name and body for sources given as NAME=PATH arguments.
void add_sources(cell* pairs, int from, int to, bool scripts) {
  for (int i = from; i < to; ++i) {
    std::string spec = program_args[i];
    size_t eq = spec.find('=');
    if (eq == std::string::npos) fail("expected NAME=PATH, not " + spec);
    std::string name = spec.substr(0, eq), text = read_file(spec.substr(eq + 1));
    cell code = load(text, name);
    collector::root_cells keep(&code);
    if (scripts) {
      long start = boot::find_header(text.data(), text.size());
      if (start != 0) fail(name + " does not start with a Kez header");
      code.w1 = 2;  // past `Kez` and the header block
    }
    append_name(pairs, name);
    append(pairs, &code);
  }
}

void write_outputs(const cell* binary) {
  series_buffer* b = memory::buffer_of(binary->w2);
  const uint8_t* bytes = b->head_ptr();
  size_t size = b->used();
  std::ofstream raw(program_args[2], std::ios::binary);
  raw.write(reinterpret_cast<const char*>(bytes), std::streamsize(size));
  std::string out;
  out.reserve(size * 5 + 256);
  out += "// Generated by the boot encoder: the boot data. Do not edit.\n#include <cstddef>\n#include <cstdint>\n\n"
         "namespace kez::boot {\nalignas(16) extern const uint8_t data[] = {";
  char hex[8];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(hex, sizeof hex, "%s0x%02X", i % 16 ? "," : ",\n", bytes[i]);
    out += i ? hex : hex + 1;
  }
  out += "};\nextern const size_t data_size = sizeof data;\n}  // namespace kez::boot\n";
  std::ofstream source(program_args[1], std::ios::binary);
  source << out;
  if (!raw || !source) fail("cannot write the outputs");
}

void encode() {
  if (arg_count < 4) fail("usage: OUT.cpp OUT.kezbin DATA=PATH... -- LIBRARY=PATH...");
  int split = 3;
  while (split < arg_count && std::strcmp(program_args[split], "--") != 0) ++split;
  try {
    // The encoder's own loading needs no anchoring: the collector stays off.
    root::building = false;
    cell items{TYPE_NONE, 0, 0, 0}, data_pairs{TYPE_NONE, 0, 0, 0}, library_pairs{TYPE_NONE, 0, 0, 0};
    collector::root_cells keep(&items), keep_data(&data_pairs), keep_library(&library_pairs);
    block::make_at(&items, 512);
    block::make_at(&data_pairs, 8);
    block::make_at(&library_pairs, 32);
    add_sources(&data_pairs, 3, split, false);
    append_name(&data_pairs, "ports");
    cell ports = load(system_stub::port_objects, "the port objects");
    append(&data_pairs, &ports);
    append_name(&data_pairs, "routines");
    cell routines = routine_specs();
    append(&data_pairs, &routines);
    define_callables(&items, natives::native_specs, TYPE_NATIVE, 1);
    define_callables(&items, natives::action_specs, TYPE_ACTION, 1);
    define_extras(&items);
    define_operators(&items);
    add_sources(&library_pairs, split + 1, arg_count, true);
    append(&items, &data_pairs);
    append(&items, &library_pairs);
    write_outputs(kezbin::encode_boot(&items));
  } catch (const thrown&) {
    fail("encoding failed");
  }
}

void encode_main() {
  encode();
  runtime::quit(0, 0);
}

}  // namespace
}  // namespace kez

int main(int argc, char** argv) {
  kez::arg_count = argc;
  kez::program_args = argv;
  kez::runtime::start(argc, argv, kez::encode_main, kez::boot::init_runtime);
}
