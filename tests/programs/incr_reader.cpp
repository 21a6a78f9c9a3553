// A requestor that misbehaves in a transfer in pieces, for the x11 clipboard
// test: it asks the CLIPBOARD owner for a target and, once the answer says
// INCR, either goes away at once ("quit": its window dies with its
// connection) or takes the first piece and then stops reading for SECONDS
// ("stall"). Other requestors must get their transfers meanwhile.
//
// Usage: incr_reader TARGET quit | incr_reader TARGET stall SECONDS.
// Prints "incr N" (the size announced), and for stall "piece N" (the first
// piece's size) before it waits. Status 1 when no INCR answer came.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "next_event.h"

int main(int argc, char** argv) {
  if (argc < 3) return 2;
  bool stall = std::strcmp(argv[2], "stall") == 0;
  int seconds = argc > 3 ? std::atoi(argv[3]) : 0;
  Display* dpy = XOpenDisplay(nullptr);
  if (!dpy) return 2;
  XSetWindowAttributes a{};
  a.event_mask = PropertyChangeMask;
  Window win = XCreateWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, InputOnly, CopyFromParent, CWEventMask, &a);
  Atom clipboard = XInternAtom(dpy, "CLIPBOARD", False);
  Atom incr = XInternAtom(dpy, "INCR", False);
  Atom prop = XInternAtom(dpy, "INCR_READER", False);
  XConvertSelection(dpy, clipboard, XInternAtom(dpy, argv[1], False), prop, win, CurrentTime);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  XEvent e;
  bool answered = false;
  while (!answered && next_event(dpy, &e, deadline)) answered = e.type == SelectionNotify && e.xselection.property == prop;
  if (!answered) return 1;
  Atom type;
  int format;
  unsigned long items, after;
  unsigned char* data = nullptr;
  XGetWindowProperty(dpy, win, prop, 0, 1, True, AnyPropertyType, &type, &format, &items, &after, &data);
  bool in_pieces = type == incr && data && items == 1;
  if (in_pieces) std::printf("incr %ld\n", *reinterpret_cast<long*>(data));
  if (data) XFree(data);
  if (!in_pieces) return 1;
  if (stall) {
    // The delete above asked for the first piece; it is read, the rest never asked for.
    while (next_event(dpy, &e, deadline))
      if (e.type == PropertyNotify && e.xproperty.atom == prop && e.xproperty.state == PropertyNewValue) {
        XGetWindowProperty(dpy, win, prop, 0, 1 << 24, False, AnyPropertyType, &type, &format, &items, &after, &data);
        std::printf("piece %lu\n", items);
        if (data) XFree(data);
        break;
      }
    std::fflush(stdout);
    sleep(unsigned(seconds));
  }
  std::fflush(stdout);
  XCloseDisplay(dpy);
  return 0;
}
