// port!: the interface to external resources (type id 48, a child of
// object!). A port is an object with the fields spec, scheme, actor, awake,
// state, data and extra, made from a scheme of `system/schemes`; its actions
// from append on (open? excepted) are forwarded to the scheme's actor: the
// actor's function of the action's name is called with the port, the
// action's arguments and, per refinement in order, a logic! (used or not)
// followed by its argument (none when unused) for refinements that take one.
//
// Cell: the object! layout (word 1 the context node, word 2 the class id,
// word 3 the hook table) with type id 48.
//
// Invariants:
// - read and write open the port, work on it and close it; once open
//   succeeded, close runs on every way out and the original error goes on.
// - What the port needs of the system object, the object layer and the
//   interpreter comes through set_system and `hooks`; without them make and
//   forwarding raise Internal Error not-done.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::port {

struct services {
  // A new object from a copy of proto, extended by evaluating a block spec.
  cell* (*make_object)(cell* target, const cell* proto, const cell* spec) = nullptr;
  // A shallow copy of an object (its own context and values).
  cell* (*copy_object)(cell* target, const cell* source) = nullptr;
  // The fields as object mold writes them, at indentation `indent`.
  int32_t (*mold_fields)(const cell* object, cell* buffer, bool all, bool flat, int32_t part,
                         int32_t indent) = nullptr;
  // Calls a function! with `count` argument cells (on the data stack) in a
  // frame named by the word `name`; the remaining arguments and locals are
  // none. The result is pushed.
  cell* (*call_function)(const cell* fn, const cell* args, uint32_t count, const cell* name) = nullptr;
  // The current scheme table (system/schemes: name/spec pairs), or null for
  // the one given to set_system.
  const cell* (*schemes)() = nullptr;
};
extern services hooks;

// system/schemes, system/standard/url-parts and system/standard/port (kept
// rooted by this module until replaced; null clears). The scheme table is a
// block of name/spec pairs (looked up by name at odd positions from its
// current position) or an object whose fields are the schemes.
void set_system(const cell* schemes, const cell* url_parts, const cell* port_proto);

// The port's constructor and the forwarded actions with the read and write
// sequences (the entry points that url!, file! and the natives call).
cell* make(cell* proto, const cell* spec, uint32_t type);
cell* open(cell* port, bool new_, bool read, bool write, bool seek, const cell* allow);
cell* read(cell* source, const cell* part, const cell* seek, bool binary, bool lines, bool info, const cell* as);
cell* write(cell* destination, const cell* data, bool binary, bool lines, bool info, bool append,
            const cell* part, const cell* seek, const cell* allow, const cell* as);

void init();  // after object!; registers port! as its child (or alone)

}  // namespace kez::port
