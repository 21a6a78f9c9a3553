// The clipboard for the routines read-clipboard and write-clipboard: text,
// lists of files and images, exchanged with platform/clipboard.
//
// Invariants:
// - Text keeps LF line ends both ways (the platform's convention).
// - What goes to the clipboard is prepared whole before it is opened, and
//   what comes from it is copied out before it is closed, so no value is made
//   while the clipboard is held and an error never leaves it open.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kez::clipboard {

// The clipboard's content in a new data-stack cell: a string!, a block! of
// file! values, an image!, none! when it holds none of these, or false when
// it could not be opened.
cell* read();
// Puts the value on the clipboard: none! empties it; a string!, a block! of
// file! (or string!) paths, or an image!. False when the clipboard could not
// be opened or a format could not be set. Any other value, or a path that
// cannot be a local one, raises Script Error invalid-arg.
bool write(const cell* value);

// The text a person last selected (PRIMARY on X), for the console: a new
// string! cell, or none! when it holds no text.
cell* read_primary();
// A string!'s text becomes the selected-text selection; false when it could
// not be taken.
bool write_primary(const cell* text);

// An image! in target from a 32-bit version-5 bitmap (header and pixels as
// the clipboard holds them); false, target untouched, when the header is not
// the straight-BGRA form, a side is out of range or the pixels it claims
// are not all there. Rows stored bottom-up come out upright.
bool image_from_dib(const uint8_t* data, size_t size, cell* target);

}  // namespace kez::clipboard
