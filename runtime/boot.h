// Start-up of the language runtime, in its fixed order. Phase 1: the output
// hooks, the platform layer, the generator, the heap and handle table, every
// datatype (parents before children), the stacks and root block, the case
// tables, the symbol table and global context, the datatype and runtime
// words, the actions, natives, PARSE, ownership and lexer; then the boot data
// decoded into the root block (which defines every native, action and
// operator and holds the error catalogue and the library's code), the
// catalogue, the interpreter and the reference table. Phases 2-3 have nothing
// to do: words are bound as they are decoded. Phase 4 switches the collector
// on; phase 5 runs the library's top level in source order.
//
// When the executable carries a boot image of its own (boot_image.h), init
// maps it instead: it stands for every phase, and only what depends on the
// process (whether output is a terminal) is set again.
//
// Invariants: init runs once per process; the root-building flag is set and
// the collector off from the first step to phase 4, so nothing made before
// it is collected before being anchored; no definition is made from text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/cell.h"

namespace kez::boot {

// The boot data: compact Kezbin made by the boot encoder at build time and
// linked into the executable (the encoder itself links an empty stand-in).
extern const uint8_t data[];
extern const size_t data_size;

// The boot data's top-level cells: the data sources that runtime modules
// build from, then the library's sources; each a block of file! name and
// block! body pairs, in source order.
constexpr uint32_t DATA = 0, LIBRARY = 1;

void init();
// Phase 1 up to the boot data: what the boot encoder needs to run.
void init_runtime();
// A data source's body by file name ("errors.kez", "ports", "routines"),
// or null.
const cell* data_source(const char* name);
// Phase 5's evaluation: every library source's top level, in source order;
// a source that fails reports its error and ends the process (status 254).
void run_library();
// Reports that the library could not be made (its part named by `what`, with
// the error that stopped it) and ends the process with status 254.
[[noreturn]] void library_failed(const char* what);

// Start-up's last step until the console takes over (the boot data's
// launch.kez): system/script/args gets the command line, extract-boot-args
// splits it, and the script it names runs through do-file with the rest of
// the line as its arguments. An error nothing catches prints its form on
// standard error and ends the process with status 254 (-2). Answers
// normally when the script ends, or at once without one.
void run_launch(const std::string& command_line);

// The start of the body after a script's header in text: the offset of "Kez"
// (optionally "/System") followed by blanks and "["; -1 without a header;
// -2 for a Kez/System header.
long find_header(const char* text, unsigned long length);

}  // namespace kez::boot
