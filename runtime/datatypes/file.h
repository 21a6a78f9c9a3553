// file!: a file or directory name (type 8, a child of url!) in the system's
// own form, which on this platform is the POSIX form: "/" separates
// segments and an absolute path starts with "/". It inherits make, to and
// path joining from url! and molds as %name, quoted when a character would
// end a bare file name.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "runtime/cell.h"

namespace kez::file {

// A file! in target (or a new data-stack cell) from UTF-8 bytes.
cell* load(const uint8_t* bytes, size_t size, cell* target);
// A string! in target from a name the system gave (bytes that need not be
// UTF-8, read as utf::from_os_bytes says).
cell* load_name(const uint8_t* bytes, size_t size, cell* target);
cell* push(const cell* value);

// Appends the operating system's form of the path to out; with full, a
// relative path gets the current directory in front.
void to_local(const cell* file, cell* out, bool full);
// The path as the system calls take it (UTF-8, relative paths kept). False
// when the name holds U+0000, which the system would take as its end.
bool to_local_path(const cell* file, std::string& out);
// A string! in target holding the current directory, ending with "/".
cell* get_current_dir(cell* target);

// Registers file! with its own mold and the five file actions, which go to
// simple-io.
void init();
cell* delete_(cell* file);
cell* query(cell* file);
cell* rename(cell* from, const cell* to);
cell* read(cell* source, const cell* part, const cell* seek, bool binary, bool lines, bool info, const cell* as);
cell* write(cell* destination, const cell* data, bool binary, bool lines, bool info, bool append, const cell* part,
            const cell* seek, const cell* allow, const cell* as);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);

}  // namespace kez::file
