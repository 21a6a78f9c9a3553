// A clipboard manager for the x11 tests, the program that keeps copied text
// alive after the program that copied it ends. It owns CLIPBOARD_MANAGER;
// asked for SAVE_TARGETS, it copies UTF8_STRING from the CLIPBOARD owner in
// one MULTIPLE request (as desktop managers do), answers the asker, then owns
// CLIPBOARD itself and serves that text.
//
// Usage: clip_manager SECONDS. Prints "ready" once it owns CLIPBOARD_MANAGER,
// "saved N" (N bytes) once it holds the text, and ends after SECONDS.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "next_event.h"

namespace {

Display* dpy;
Window win;
Atom clipboard, manager, save_targets, multiple, targets, utf8, atom_pair, pairs_prop, text_prop;


std::string property_bytes(Atom prop) {
  Atom type;
  int format;
  unsigned long items, after;
  unsigned char* data = nullptr;
  std::string out;
  if (XGetWindowProperty(dpy, win, prop, 0, 1 << 20, True, AnyPropertyType, &type, &format, &items, &after, &data) ==
          Success && data && format == 8)
    out.assign(reinterpret_cast<char*>(data), items);
  if (data) XFree(data);
  return out;
}

// UTF8_STRING of the CLIPBOARD owner, asked for in a MULTIPLE request.
bool fetch(std::string* text) {
  long pairs[2] = {long(utf8), long(text_prop)};
  XChangeProperty(dpy, win, pairs_prop, atom_pair, 32, PropModeReplace, reinterpret_cast<unsigned char*>(pairs), 2);
  XConvertSelection(dpy, clipboard, multiple, pairs_prop, win, CurrentTime);
  XEvent e;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  while (next_event(dpy, &e, deadline))
    if (e.type == SelectionNotify && e.xselection.selection == clipboard) {
      if (e.xselection.property == None) return false;
      Atom type;
      int format;
      unsigned long items, after;
      unsigned char* data = nullptr;
      XGetWindowProperty(dpy, win, pairs_prop, 0, 2, True, AnyPropertyType, &type, &format, &items, &after, &data);
      bool served = data && items == 2 && reinterpret_cast<long*>(data)[1] == long(text_prop);
      if (data) XFree(data);
      if (!served) return false;
      *text = property_bytes(text_prop);
      return true;
    }
  return false;
}

void reply(const XSelectionRequestEvent& r, Atom property) {
  XSelectionEvent n{};
  n.type = SelectionNotify;
  n.requestor = r.requestor;
  n.selection = r.selection;
  n.target = r.target;
  n.property = property;
  n.time = r.time;
  XSendEvent(dpy, r.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&n));
  XFlush(dpy);
}

}  // namespace

int main(int argc, char** argv) {
  int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  dpy = XOpenDisplay(nullptr);
  if (!dpy) return 2;
  win = XCreateWindow(dpy, DefaultRootWindow(dpy), 0, 0, 1, 1, 0, 0, InputOnly, CopyFromParent, 0, nullptr);
  clipboard = XInternAtom(dpy, "CLIPBOARD", False);
  manager = XInternAtom(dpy, "CLIPBOARD_MANAGER", False);
  save_targets = XInternAtom(dpy, "SAVE_TARGETS", False);
  multiple = XInternAtom(dpy, "MULTIPLE", False);
  targets = XInternAtom(dpy, "TARGETS", False);
  utf8 = XInternAtom(dpy, "UTF8_STRING", False);
  atom_pair = XInternAtom(dpy, "ATOM_PAIR", False);
  pairs_prop = XInternAtom(dpy, "CLIP_MANAGER_PAIRS", False);
  text_prop = XInternAtom(dpy, "CLIP_MANAGER_TEXT", False);
  XSetSelectionOwner(dpy, manager, win, CurrentTime);
  if (XGetSelectionOwner(dpy, manager) != win) return 3;
  std::puts("ready");
  std::fflush(stdout);

  std::string saved;
  bool holding = false;
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  XEvent e;
  while (next_event(dpy, &e, deadline)) {
    if (e.type != SelectionRequest) continue;
    const XSelectionRequestEvent& r = e.xselectionrequest;
    if (r.selection == manager && r.target == save_targets) {
      if (!fetch(&saved)) {
        reply(r, None);
        continue;
      }
      XSetSelectionOwner(dpy, clipboard, win, CurrentTime);
      holding = true;
      std::printf("saved %zu\n", saved.size());
      std::fflush(stdout);
      reply(r, r.property);
    } else if (r.selection == clipboard && holding && r.target == utf8) {
      XChangeProperty(dpy, r.requestor, r.property, utf8, 8, PropModeReplace,
                      reinterpret_cast<const unsigned char*>(saved.data()), int(saved.size()));
      reply(r, r.property);
    } else if (r.selection == clipboard && holding && r.target == targets) {
      long list[2] = {long(targets), long(utf8)};
      XChangeProperty(dpy, r.requestor, r.property, XA_ATOM, 32, PropModeReplace,
                      reinterpret_cast<unsigned char*>(list), 2);
      reply(r, r.property);
    } else {
      reply(r, None);
    }
  }
  XCloseDisplay(dpy);
  return 0;
}
