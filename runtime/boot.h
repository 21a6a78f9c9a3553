// Start-up of the language runtime, in its fixed order: the generator and
// case tables, the heap and stacks, every datatype registered so far (parents
// before children), the symbol table and global context, the runtime's
// words, the error catalogue, the natives, actions and infix operators as
// global words. Then a script can run.
//
// Invariants: init runs once per process, with the collector off until the
// words are interned; after it every native and action word has its value.
#pragma once

namespace kez::boot {

void init();

// Runs a script file: read as UTF-8, its `Kez [...]` header found and
// skipped (text before it ignored), the rest evaluated in the global context.
// An error nothing catches prints its form on standard error and ends the
// process with status -2. Answers normally when the script ends.
void run_script(const char* path);

// The start of the body after a script's header in text: the offset of "Kez"
// (optionally "/System") followed by blanks and "["; -1 without a header;
// -2 for a Kez/System header.
long find_header(const char* text, unsigned long length);

}  // namespace kez::boot
