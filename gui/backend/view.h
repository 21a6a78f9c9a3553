// The backend proper: faces as native windows of the window layer, window
// messages as events, the event loop, facet changes applied to windows,
// and the routines of system/view/platform that reach them.
//
// Invariants:
// - Every face window has 80 extra bytes: twenty 32-bit slots read by byte
//   index. Slot 60 holds the face's reference (refs::store), 0 for a window
//   that is not a face window; slot 76 the face-flags mask.
// - The global event (type, flags/key word) is overwritten by each
//   make_event; its message is the one current while the handler runs.
// - The loop counter counts the waiting loops opened by do-event-loop; the
//   exit counter the loops still to end because their windows went.
// - DPI: every coordinate of a face is in 1/96 inch; dpi_scale rounds half
//   up (floor(x * scale + 0.5)) so negative offsets scale symmetrically.
#pragma once

#include <atomic>
#include <cstdint>
#include <vector>

#include "platform/win/win.h"
#include "runtime/cell.h"
#include "runtime/natives.h"

namespace kez::gui::view {

// Facet indexes of a face object.
enum facet : int32_t {
  FACET_TYPE = 0, FACET_OFFSET, FACET_SIZE, FACET_TEXT, FACET_IMAGE, FACET_COLOR, FACET_MENU, FACET_DATA,
  FACET_ENABLED, FACET_VISIBLE, FACET_SELECTED, FACET_FLAGS, FACET_OPTIONS, FACET_PARENT, FACET_PANE,
  FACET_STATE, FACET_RATE, FACET_EDGE, FACET_PARA, FACET_FONT, FACET_ACTORS, FACET_EXTRA, FACET_DRAW,
};

// Window-extra slots (byte indexes).
enum slot : int {
  SLOT_SHOW_PENDING = 12, SLOT_CURSOR_ICON = 16, SLOT_DRAW_CTX = 20, SLOT_TARGET = 24, SLOT_FONT = 28,
  SLOT_CURSOR = 32, SLOT_LIVE = 36, SLOT_INTERNAL = 40, SLOT_FRAME = 44, SLOT_WFLAGS = 48, SLOT_POS = 52,
  SLOT_CLOSING = 56, SLOT_FACE = 60, SLOT_FLAGS = 76,
};

// DPI state.
void set_dpi(uint32_t dpi);
uint32_t current_dpi();
int32_t dpi_scale(double x);
double dpi_unscale(double x);

// Starts the window system (when nothing started it) and the backend:
// classes, version facts, metrics. Idempotent.
void init();
bool started();

// The face of a face window into out (false, out none, when it has none).
bool window_face(win::HWND hwnd, cell* out);
// A face's window from its state block, 0 when it has none.
win::HWND face_window(const cell* face);

// gui/make-event: 1 to go on with the message, 0 to stop it.
int make_event(win::MSG* msg, int32_t extra, int32_t type);
// gui/do-events.
bool do_events(bool no_wait);
int loop_counter();

// Interns every name the backend looks up (start-up), so that looking one
// up later never allocates.
void intern_names();

// The camera's hand-over of one frame between its capture thread and the GUI
// thread: 0 idle, 1 a frame is wanted, 3 the capture thread is copying, 2 a
// frame is ready. Only the capture thread moves 1 -> 3 -> 2; only the GUI
// thread moves 0 -> 1 and 2 -> 0 (and 1 -> 0 when it gives up waiting).
struct frame_slot {
  std::atomic<int> state{0};
  std::vector<uint32_t> pixels;
  int width = 0, height = 0;
  // GUI thread.
  void want() { state.store(1, std::memory_order_seq_cst); }
  bool give_up() {  // true when no copy had started
    int expected = 1;
    return state.compare_exchange_strong(expected, 0);
  }
  // Capture thread: true when the frame was taken (a post is due).
  template <class Fill>
  bool offer(Fill&& fill) {
    int expected = 1;
    if (!state.compare_exchange_strong(expected, 3)) return false;
    fill(pixels);
    state.store(2, std::memory_order_seq_cst);
    return true;
  }
};

// Routines of system/view/platform.
void register_routines(natives::routine_list& list);

}  // namespace kez::gui::view
