// Fatal and modal messages of the GUI backend. Until a windowing layer
// exists the message goes to standard error: the caption on one line, then
// the text. Safe to call from a fault handler (one write, no allocation).
#pragma once

namespace kez::gui {

// caption and text are UTF-8; returns once the message is out.
void show_message(const char* caption, const char* text);

}  // namespace kez::gui
