// The draw dialect: a block of commands walked once, each command's
// arguments checked by datatype, painted on a drawing context (d2d.h); and
// the shape sub-dialect that `shape` and `clip` take.
//
// Invariants:
// - The walk never holds a cell address across a call that may allocate:
//   it keeps the block in a rooted cell and reads values by index.
// - Every block being walked is on the cycle stack; meeting it again raises
//   draw-invalid-infinite (`draw-infinite`) instead of recursing.
// - draw-invalid's arg1 is the draw block positioned at the offending value.
// - do_draw ends the drawing (pixels kept, clips popped) whatever happens.
#pragma once

#include <cstdint>

#include "gui/backend/d2d.h"
#include "runtime/cell.h"

namespace kez::gui::draw {

// Interns the dialect's keywords (start-up).
void init();

// Parses the block from its index to its tail on the context; report 1
// prints an error and abandons the drawing, 0 raises it.
void parse(d2d::draw_ctx& ctx, const cell* block, bool report);

// The draw entry for an image: nothing for an empty block or image;
// otherwise begin, parse, end. Errors are raised after the end when report
// is 0; with `system/view/silent?` on, a bad block only stops the drawing.
void do_draw_image(const cell* image, const cell* block, bool report);

// The draw entry for a window: the face's background (colour, image, text)
// then the block, onto the window's render target; shown at the end unless
// layered. face may be none.
// after, when given, draws on the same context once the block is done (a
// base face's `drawing` event).
void do_draw_window(win::HWND hwnd, const cell* face, const cell* block, bool layered, bool report,
                    void (*after)(d2d::draw_ctx& ctx, void* data) = nullptr, void* data = nullptr);

}  // namespace kez::gui::draw
