// Waiting for the X server with a deadline, for the test programs that
// talk to it directly.
#pragma once

#include <X11/Xlib.h>
#include <poll.h>

#include <chrono>

// The next event, or false once the deadline has passed.
inline bool next_event(Display* dpy, XEvent* e, std::chrono::steady_clock::time_point deadline) {
  while (!XPending(dpy)) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count();
    if (left <= 0) return false;
    pollfd fd = {ConnectionNumber(dpy), POLLIN, 0};
    poll(&fd, 1, int(left));
  }
  XNextEvent(dpy, e);
  return true;
}
