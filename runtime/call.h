// call: runs a command through the shell with its standard streams taken
// from or given to language values, over platform/process.
//
// Text crosses as UTF-8 both ways, line ends untouched. Captured output is
// appended to a string! (bytes that are not UTF-8 become U+FFFD) or
// inserted at a binary!'s head; a target is left unchanged when the command
// could not be started.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::call {

// cmd is a string! (a shell command) or a file! (a program, quoted for the
// shell). input: string!, binary! or file! (null: none); output and error:
// file! (appended to), string! or binary! (captured), or null (the null
// device). Answers the exit status when it waited, the process id when it
// did not, -1 when the command could not be started or a redirection not
// set up. The console flag raises Internal Error not-done; show does nothing
// here.
int64_t execute(const cell* cmd, bool wait, bool show, bool console, bool shell, const cell* input,
                cell* output, cell* error);

// Opens the url!, or the file! by its local name, with the desktop's
// opener, without waiting for it.
void browse(const cell* target);

}  // namespace kez::call
