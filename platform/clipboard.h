// The system clipboard as a set of formats, each holding bytes. On an X
// display (DISPLAY set, KEZ_HEADLESS not) it is the CLIPBOARD selection,
// shared with the other programs (platform/clipboard_x11.cpp); headless or
// without a display an in-process store stands in: what the process writes,
// it reads back. Tests may install a backend of their own through
// set_clipboard_backend and nothing above this seam changes.
//
// Beside it stands the selection of the text a person last selected (PRIMARY
// on X, an in-process store likewise without a display): a selection in an
// edit or the console puts its text there, a middle click pastes it.
//
// Invariants:
// - Between open and close the caller has the clipboard to itself; a write
//   empties every format before it sets new ones.
// - Text is UTF-8 with LF line ends; a file list is local paths, each ended
//   by a NUL; PNG, JFIF and GIF hold encoded files; DIBV5 holds a 124-byte
//   32-bit bitmap header followed by its pixels.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace kez::platform {

enum clip_format : int { CLIP_TEXT, CLIP_FILES, CLIP_PNG, CLIP_JFIF, CLIP_GIF, CLIP_DIBV5, CLIP_FORMATS };

class clipboard_backend {
 public:
  virtual ~clipboard_backend() = default;
  // False while another owner holds the clipboard.
  virtual bool open() = 0;
  virtual void close() = 0;
  virtual bool empty() = 0;
  virtual bool set(clip_format format, std::vector<uint8_t> bytes) = 0;
  // False when the clipboard holds nothing in that format.
  virtual bool get(clip_format format, std::vector<uint8_t>& bytes) = 0;
};

// The backend in use: an installed one, else the X11 selection when a
// display is there, else the in-process store (chosen at the first use).
clipboard_backend& clipboard();
// Installs a backend (null: back to the in-process store). The caller keeps
// ownership and keeps it alive while installed.
void set_clipboard_backend(clipboard_backend* backend);
// The CLIPBOARD selection of the display in DISPLAY: made once, kept until
// the process ends; null without a display, with KEZ_HEADLESS set, or when
// the display cannot be reached.
clipboard_backend* open_x11_clipboard();
// The selected-text selection: PRIMARY of the display in DISPLAY when it can
// be reached (made at the first use), else an in-process store.
clipboard_backend& primary_selection();
clipboard_backend* open_x11_primary();
// Text (UTF-8, LF line ends) into and out of the selected-text selection;
// false when it could not be opened, or holds no text.
bool own_primary_text(const std::string& utf8);
bool primary_text(std::string& utf8);
// At exit: when the process owns the X clipboard and a clipboard manager
// runs, the manager copies what it holds (the call waits a few seconds at
// most); true when it did. Nothing without a display.
bool hand_over_clipboard();

}  // namespace kez::platform
