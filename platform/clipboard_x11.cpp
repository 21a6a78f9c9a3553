// The clipboard on an X display: the CLIPBOARD selection, and PRIMARY, the
// text a person last selected.
//
// A thread of its own keeps a private connection and an unmapped window that
// owns the selection, so that what the process wrote is served to other
// programs at any moment, even while the interpreter is busy or waits for a
// child process (a `call` of a program that reads the clipboard would
// otherwise wait for us forever). Each selection has its own.
//
// Writing takes ownership when the clipboard is closed, with a server
// timestamp; the text goes out as UTF8_STRING, text/plain;charset=utf-8,
// TEXT (as UTF-8) and STRING (Latin-1, other characters as "?"), a file list
// as text/uri-list, pictures as image/png, image/jpeg and image/gif. The
// 32-bit bitmap stays inside the process. A reply larger than one request
// of the server (16 MiB on Xvfb) goes in pieces (INCR): the property first
// says INCR and the size, then each time the requestor deletes it the next
// piece is written, and an empty piece ends. Each requestor's transfer goes
// on by itself; one that is destroyed or stops reading is dropped. A
// MULTIPLE request is served target by target.
//
// At exit, what we own is handed to a clipboard manager when one runs (the
// owner of CLIPBOARD_MANAGER, asked for SAVE_TARGETS): it copies the targets
// while we keep answering, so the text stays on the clipboard after us.
//
// Reading asks the owner (ConvertSelection, then SelectionNotify within a
// second) unless the owner is ourselves; replies sent in pieces (INCR) are
// put together, each piece waited for up to a second.
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/clipboard.h"

namespace kez::platform {

namespace {

using bytes = std::vector<uint8_t>;
using steady = std::chrono::steady_clock;

constexpr auto reply_wait = std::chrono::milliseconds(1000);
// How long a requestor may take to ask for the next piece of a transfer.
constexpr auto piece_wait = std::chrono::milliseconds(5000);
// A piece of a transfer holds at most this much: few pieces, so few round
// trips, each well inside one request.
constexpr size_t piece_most = size_t(4) << 20;
// How long the exit waits for a clipboard manager to copy what we own.
constexpr auto save_wait = std::chrono::milliseconds(3000);

// What the other programs' replies may be put together into at most.
constexpr size_t max_received = size_t(256) << 20;

// A format's bytes are shared, not copied, between what is being written,
// what we own and the transfers going out: a picture may be tens of MB.
using shared_bytes = std::shared_ptr<const bytes>;

struct entry {
  bool present = false;
  shared_bytes data;
};

enum atom_name {
  A_CLIPBOARD, A_TARGETS, A_TIMESTAMP, A_MULTIPLE, A_INCR, A_UTF8_STRING, A_TEXT, A_TEXT_PLAIN_UTF8,
  A_URI_LIST, A_PNG, A_JPEG, A_GIF, A_KEZ_DATA, A_KEZ_TIME, A_ATOM_PAIR, A_CLIPBOARD_MANAGER, A_SAVE_TARGETS,
  A_KEZ_SAVE, A_ATOMS
};
const char* const atom_texts[A_ATOMS] = {
    "CLIPBOARD", "TARGETS", "TIMESTAMP", "MULTIPLE", "INCR", "UTF8_STRING", "TEXT", "text/plain;charset=utf-8",
    "text/uri-list", "image/png", "image/jpeg", "image/gif", "KEZ_CLIPBOARD_DATA", "KEZ_CLIPBOARD_TIME",
    "ATOM_PAIR", "CLIPBOARD_MANAGER", "SAVE_TARGETS", "KEZ_CLIPBOARD_SAVE"};

// Latin-1 from UTF-8: what has no Latin-1 form becomes "?".
bytes latin1_of(const bytes& utf8) {
  bytes out;
  for (size_t i = 0; i < utf8.size();) {
    uint8_t c = utf8[i];
    int extra = c < 0x80 ? 0 : c >= 0xF0 ? 3 : c >= 0xE0 ? 2 : c >= 0xC0 ? 1 : 0;
    uint32_t cp = extra ? c & (0x3F >> extra) : c;
    size_t k = 1;
    for (; k <= size_t(extra) && i + k < utf8.size() && (utf8[i + k] & 0xC0) == 0x80; k++) cp = cp << 6 | (utf8[i + k] & 0x3F);
    out.push_back(c >= 0x80 && (c < 0xC0 || k != size_t(extra) + 1 || cp > 0xFF) ? '?' : uint8_t(cp));
    i += k;
  }
  return out;
}

bytes utf8_of_latin1(const bytes& text) {
  bytes out;
  for (uint8_t c : text) {
    if (c < 0x80) {
      out.push_back(c);
    } else {
      out.push_back(uint8_t(0xC0 | c >> 6));
      out.push_back(uint8_t(0x80 | (c & 0x3F)));
    }
  }
  return out;
}

// Text held with LF line ends, whatever the other program sent.
bytes lf_lines(bytes text) {
  bytes out;
  for (size_t i = 0; i < text.size(); i++)
    if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n')) out.push_back(text[i]);
  return out;
}

// A NUL-ended list of local paths as file URIs, one a line, ended by CR LF.
bytes uri_list_of(const bytes& paths) {
  static const char hex[] = "0123456789ABCDEF";
  bytes out;
  for (size_t start = 0; start < paths.size();) {
    size_t end = start;
    while (end < paths.size() && paths[end]) end++;
    if (end > start) {
      for (char c : std::string("file://")) out.push_back(uint8_t(c));
      for (size_t i = start; i < end; i++) {
        uint8_t c = paths[i];
        bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (plain || (c && strchr("/-._~!$&'()*+,;=:@", c))) {
          out.push_back(c);
        } else {
          out.push_back('%');
          out.push_back(uint8_t(hex[c >> 4]));
          out.push_back(uint8_t(hex[c & 15]));
        }
      }
      out.push_back('\r');
      out.push_back('\n');
    }
    start = end + 1;
  }
  return out;
}

int hex_value(uint8_t c) {
  return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

// The local paths of a URI list (comments and other schemes left out), each
// ended by a NUL; a path with an encoded NUL is left out too.
bytes paths_of_uri_list(const bytes& list) {
  bytes out;
  std::string text(list.begin(), list.end());
  size_t at = 0;
  while (at < text.size()) {
    size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(at, end - at);
    at = end + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty() || line[0] == '#') continue;
    size_t path_at;
    if (line.compare(0, 8, "file:///") == 0) path_at = 7;
    else if (line.compare(0, 17, "file://localhost/") == 0) path_at = 16;
    else if (line.compare(0, 6, "file:/") == 0 && line[6] != '/') path_at = 5;
    else continue;
    bytes path;
    bool bad = false;
    for (size_t i = path_at; i < line.size(); i++) {
      auto c = uint8_t(line[i]);
      if (c == '%' && i + 2 < line.size() && hex_value(uint8_t(line[i + 1])) >= 0 && hex_value(uint8_t(line[i + 2])) >= 0) {
        c = uint8_t(hex_value(uint8_t(line[i + 1])) << 4 | hex_value(uint8_t(line[i + 2])));
        i += 2;
      }
      if (!c) bad = true;
      path.push_back(c);
    }
    if (bad || path.empty()) continue;
    out.insert(out.end(), path.begin(), path.end());
    out.push_back(0);
  }
  return out;
}

class x11_clipboard final : public clipboard_backend {
 public:
  // Null when no connection could be made.
  static x11_clipboard* make(const char* selection) {
    Display* dpy = XOpenDisplay(nullptr);
    if (!dpy) return nullptr;
    // A requestor may be gone before its answer is written; the error that
    // brings must not end the process (the window layer ignores them too).
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
    return new x11_clipboard(dpy, selection);
  }

  ~x11_clipboard() override {
    {
      std::lock_guard<std::mutex> g(mutex_);
      stopping_ = true;
    }
    wake();
    thread_.join();
    XDestroyWindow(dpy_, win_);
    XCloseDisplay(dpy_);
    ::close(wake_fd_);
  }

  bool open() override {
    if (!session_.try_lock()) return false;
    written_ = false;
    source_ = source::unknown;
    return true;
  }

  void close() override {
    if (written_) {
      {
        std::lock_guard<std::mutex> g(mutex_);
        for (int f = 0; f < CLIP_FORMATS; f++) owned_[f] = staged_[f];
      }
      ask(job::own);
    }
    for (auto& e : staged_) e = {};
    session_.unlock();
  }

  bool empty() override {
    for (auto& e : staged_) e = {};
    written_ = true;
    return true;
  }

  bool set(clip_format format, std::vector<uint8_t> data) override {
    if (!written_) empty();
    staged_[format] = {true, std::make_shared<const bytes>(std::move(data))};
    return true;
  }

  // At exit: true when a clipboard manager took what we own.
  bool hand_over() { return ask(job::save); }

  bool get(clip_format format, std::vector<uint8_t>& out) override {
    if (written_) {
      if (!staged_[format].present) return false;
      out = *staged_[format].data;
      return true;
    }
    if (source_ == source::unknown) source_ = ask(job::look) ? source::ours : targets_.empty() && !targets_failed_ ? source::none : source::other;
    if (source_ == source::none) return false;
    if (source_ == source::ours) {
      std::lock_guard<std::mutex> g(mutex_);
      if (!owned_[format].present) return false;
      out = *owned_[format].data;
      return true;
    }
    // An owner that would not list its targets is asked for text only: one
    // that never answers then delays a read by the waits for text alone.
    if (targets_failed_ && format != CLIP_TEXT) return false;
    for (Atom target : wanted(format)) {
      if (!targets_failed_ && std::find(targets_.begin(), targets_.end(), target) == targets_.end()) continue;
      convert_target_ = target;
      if (!ask(job::convert)) continue;
      bytes got = std::move(received_);
      if (format == CLIP_TEXT)
        out = lf_lines(target == XA_STRING ? utf8_of_latin1(got) : std::move(got));
      else if (format == CLIP_FILES)
        out = paths_of_uri_list(got);
      else
        out = std::move(got);
      return true;
    }
    return false;
  }

 private:
  enum class job { none, own, look, convert, save };
  enum class source { unknown, none, ours, other };

  // A reply going out in pieces.
  struct transfer {
    ::Window requestor;
    Atom property, type;
    shared_bytes data;
    size_t sent;
    bool ended;
    steady::time_point deadline;
  };

  x11_clipboard(Display* dpy, const char* selection) : dpy_(dpy) {
    XInternAtoms(dpy_, const_cast<char**>(atom_texts), A_ATOMS, False, atoms_);
    selection_ = XInternAtom(dpy_, selection, False);
    XSetWindowAttributes a{};
    a.event_mask = PropertyChangeMask;
    win_ = XCreateWindow(dpy_, DefaultRootWindow(dpy_), -10, -10, 1, 1, 0, 0, InputOnly, CopyFromParent, CWEventMask, &a);
    // One reply in one property: what a single request may carry, less its
    // header. Past that it goes in pieces, each well inside one request.
    long units = XExtendedMaxRequestSize(dpy_);
    if (units == 0) units = XMaxRequestSize(dpy_);
    max_reply_ = size_t(units) * 4 - 64;
    piece_ = std::min(max_reply_, piece_most);
    XFlush(dpy_);
    wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    thread_ = std::thread([this] { run(); });
  }

  // The targets that carry a format, best first.
  std::vector<Atom> wanted(clip_format f) const {
    switch (f) {
      case CLIP_TEXT: return {atoms_[A_UTF8_STRING], atoms_[A_TEXT_PLAIN_UTF8], XA_STRING};
      case CLIP_FILES: return {atoms_[A_URI_LIST]};
      case CLIP_PNG: return {atoms_[A_PNG]};
      case CLIP_JFIF: return {atoms_[A_JPEG]};
      case CLIP_GIF: return {atoms_[A_GIF]};
      default: return {};
    }
  }

  // Runs a job on the clipboard thread and waits for its answer.
  bool ask(job j) {
    std::unique_lock<std::mutex> g(mutex_);
    job_ = j;
    job_done_ = false;
    g.unlock();
    wake();
    g.lock();
    // The thread bounds each of its own waits; this bound only guards against a lost thread.
    bool finished = done_cv_.wait_for(g, std::chrono::seconds(30), [this] { return job_done_; });
    if (!finished) job_ = job::none;
    return finished && job_ok_;
  }

  void wake() {
    uint64_t one = 1;
    (void)!::write(wake_fd_, &one, sizeof one);
  }

  // --- on the clipboard thread ---

  void run() {
    for (;;) {
      handle_pending();
      job j;
      {
        std::lock_guard<std::mutex> g(mutex_);
        if (stopping_) return;
        j = job_;
        job_ = job::none;
      }
      if (j != job::none) {
        bool ok = j == job::own    ? take_ownership()
                  : j == job::look ? look()
                  : j == job::save ? save()
                                   : convert(convert_target_, &received_);
        std::lock_guard<std::mutex> g(mutex_);
        job_ok_ = ok;
        job_done_ = true;
        done_cv_.notify_all();
        continue;
      }
      struct pollfd fds[2] = {{ConnectionNumber(dpy_), POLLIN, 0}, {wake_fd_, POLLIN, 0}};
      if (XPending(dpy_)) continue;
      poll(fds, 2, drop_stalled());
      uint64_t drained;
      if (fds[1].revents & POLLIN) (void)!::read(wake_fd_, &drained, sizeof drained);
    }
  }

  void handle_pending() {
    while (XPending(dpy_)) {
      XEvent e;
      XNextEvent(dpy_, &e);
      handle(e);
    }
  }

  // Waits for an event that `wanted` accepts, serving the others meanwhile;
  // false when none came within `limit`.
  template <class F>
  bool wait_for_event(F wanted, XEvent* out, std::chrono::milliseconds limit) {
    auto deadline = steady::now() + limit;
    for (;;) {
      while (XPending(dpy_)) {
        XNextEvent(dpy_, out);
        if (wanted(*out)) return true;
        handle(*out);
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - steady::now()).count();
      if (left <= 0) return false;
      struct pollfd fd = {ConnectionNumber(dpy_), POLLIN, 0};
      poll(&fd, 1, int(left));
    }
  }

  void handle(const XEvent& e) {
    if (e.type == SelectionClear && e.xselectionclear.selection == selection_) {
      std::lock_guard<std::mutex> g(mutex_);
      owning_ = false;
    } else if (e.type == SelectionRequest) {
      answer(e.xselectionrequest);
    } else if (e.type == PropertyNotify && e.xproperty.state == PropertyDelete) {
      // The requestor took the last piece: the next one.
      for (auto& t : transfers_)
        if (t.requestor == e.xproperty.window && t.property == e.xproperty.atom) {
          send_piece(t);
          break;
        }
      end_transfers([](const transfer& t) { return t.ended; });
    } else if (e.type == DestroyNotify) {
      ::Window gone = e.xdestroywindow.window;
      end_transfers([gone](const transfer& t) { return t.requestor == gone; });
    }
  }

  // Starts a reply in pieces: the property says INCR and the size; the
  // requestor's deleting it asks for the first piece.
  void start_transfer(::Window requestor, Atom prop, Atom type, shared_bytes data) {
    end_transfers([&](const transfer& t) { return t.requestor == requestor && t.property == prop; });
    XSelectInput(dpy_, requestor, PropertyChangeMask | StructureNotifyMask);
    long size = long(data->size());
    XChangeProperty(dpy_, requestor, prop, atoms_[A_INCR], 32, PropModeReplace, reinterpret_cast<unsigned char*>(&size), 1);
    transfers_.push_back({requestor, prop, type, std::move(data), 0, false, steady::now() + piece_wait});
  }

  void send_piece(transfer& t) {
    size_t n = std::min(piece_, t.data->size() - t.sent);
    XChangeProperty(dpy_, t.requestor, t.property, t.type, 8, PropModeReplace, t.data->data() + t.sent, int(n));
    // An empty piece ends the transfer; nothing more is waited for.
    if (n == 0) t.ended = true;
    t.sent += n;
    t.deadline = steady::now() + piece_wait;
    XFlush(dpy_);
  }

  // Drops the transfers `which` accepts; a requestor left with none is no
  // longer watched.
  template <class F>
  void end_transfers(F which) {
    std::vector<::Window> left;
    for (auto it = transfers_.begin(); it != transfers_.end();) {
      if (which(*it)) {
        left.push_back(it->requestor);
        it = transfers_.erase(it);
      } else {
        ++it;
      }
    }
    for (::Window w : left)
      if (std::none_of(transfers_.begin(), transfers_.end(), [w](const transfer& t) { return t.requestor == w; }))
        XSelectInput(dpy_, w, NoEventMask);
    if (!left.empty()) XFlush(dpy_);
  }

  // Drops the transfers whose requestor stopped taking pieces; the
  // milliseconds until the next one would stall, -1 with none going.
  int drop_stalled() {
    auto now = steady::now();
    end_transfers([now](const transfer& t) { return t.deadline <= now; });
    if (transfers_.empty()) return -1;
    auto next = std::min_element(transfers_.begin(), transfers_.end(),
                                 [](const transfer& a, const transfer& b) { return a.deadline < b.deadline; });
    return int(std::chrono::duration_cast<std::chrono::milliseconds>(next->deadline - now).count()) + 1;
  }

  // A server timestamp: the time of a change to our own window.
  Time server_time() {
    XChangeProperty(dpy_, win_, atoms_[A_KEZ_TIME], XA_INTEGER, 32, PropModeAppend, nullptr, 0);
    XEvent e;
    bool got = wait_for_event([this](const XEvent& ev) {
      return ev.type == PropertyNotify && ev.xproperty.window == win_ && ev.xproperty.atom == atoms_[A_KEZ_TIME];
    }, &e, reply_wait);
    return got ? e.xproperty.time : CurrentTime;
  }

  bool take_ownership() {
    Time t = server_time();
    XSetSelectionOwner(dpy_, selection_, win_, t);
    bool ok = XGetSelectionOwner(dpy_, selection_) == win_;
    std::lock_guard<std::mutex> g(mutex_);
    owning_ = ok;
    owned_since_ = t;
    return ok;
  }

  // Asks the clipboard manager to save our data targets and serves its
  // requests until it answers; false without a manager, or when it refused
  // or did not answer in time.
  bool save() {
    std::vector<long> list;
    {
      std::lock_guard<std::mutex> g(mutex_);
      if (!owning_) return false;
      for (int f = 0; f < CLIP_FORMATS; f++)
        if (owned_[f].present)
          for (Atom a : served(clip_format(f))) list.push_back(long(a));
    }
    Atom manager = atoms_[A_CLIPBOARD_MANAGER];
    if (list.empty() || XGetSelectionOwner(dpy_, manager) == None) return false;
    XChangeProperty(dpy_, win_, atoms_[A_KEZ_SAVE], XA_ATOM, 32, PropModeReplace,
                    reinterpret_cast<unsigned char*>(list.data()), int(list.size()));
    XConvertSelection(dpy_, manager, atoms_[A_SAVE_TARGETS], atoms_[A_KEZ_SAVE], win_, CurrentTime);
    XEvent e;
    bool got = wait_for_event([this, manager](const XEvent& ev) {
      return ev.type == SelectionNotify && ev.xselection.requestor == win_ && ev.xselection.selection == manager;
    }, &e, save_wait);
    XDeleteProperty(dpy_, win_, atoms_[A_KEZ_SAVE]);
    XFlush(dpy_);
    return got && e.xselection.property != None;
  }

  // True when we own the selection; otherwise the owner's targets (none
  // when there is no owner, targets_failed_ when it would not list them).
  bool look() {
    targets_.clear();
    targets_failed_ = false;
    ::Window owner = XGetSelectionOwner(dpy_, selection_);
    if (owner == None) return false;
    if (owner == win_) {
      std::lock_guard<std::mutex> g(mutex_);
      if (owning_) return true;
    }
    bytes list;
    if (!convert(atoms_[A_TARGETS], &list) || list.size() % sizeof(long)) {
      targets_failed_ = true;
      return false;
    }
    for (size_t i = 0; i < list.size(); i += sizeof(long)) {
      long atom;
      memcpy(&atom, list.data() + i, sizeof atom);
      targets_.push_back(Atom(atom));
    }
    if (targets_.empty()) targets_failed_ = true;
    return false;
  }

  // The whole property, deleted once read; format-32 items come as longs.
  bool read_property(Atom prop, Atom* type, bytes* out) {
    out->clear();
    long offset = 0;
    for (;;) {
      Atom actual;
      int format;
      unsigned long items, after;
      unsigned char* data = nullptr;
      if (XGetWindowProperty(dpy_, win_, prop, offset, 1 << 20, False, AnyPropertyType, &actual, &format, &items, &after,
                             &data) != Success)
        return false;
      *type = actual;
      size_t unit = format == 32 ? sizeof(long) : size_t(format / 8);
      if (data && items) out->insert(out->end(), data, data + items * unit);
      if (data) XFree(data);
      offset += long(items * size_t(format) / 32);
      if (actual == None || after == 0 || out->size() > max_received) break;
    }
    XDeleteProperty(dpy_, win_, prop);
    return *type != None && out->size() <= max_received;
  }

  bool convert(Atom target, bytes* out) {
    Atom prop = atoms_[A_KEZ_DATA];
    XDeleteProperty(dpy_, win_, prop);
    XConvertSelection(dpy_, selection_, target, prop, win_, CurrentTime);
    XEvent e;
    bool got = wait_for_event([this](const XEvent& ev) {
      return ev.type == SelectionNotify && ev.xselection.requestor == win_ && ev.xselection.selection == selection_;
    }, &e, reply_wait);
    if (!got || e.xselection.property == None) return false;
    Atom type;
    if (!read_property(prop, &type, out)) return false;
    if (type != atoms_[A_INCR]) return true;
    // In pieces: each new value of the property is the next piece; an empty one ends.
    out->clear();
    for (;;) {
      got = wait_for_event([this, prop](const XEvent& ev) {
        return ev.type == PropertyNotify && ev.xproperty.window == win_ && ev.xproperty.atom == prop &&
               ev.xproperty.state == PropertyNewValue;
      }, &e, reply_wait);
      bytes piece;
      if (!got || !read_property(prop, &type, &piece)) return false;
      if (piece.empty()) return true;
      out->insert(out->end(), piece.begin(), piece.end());
      if (out->size() > max_received) return false;
    }
  }

  void answer(const XSelectionRequestEvent& r) {
    XSelectionEvent reply{};
    reply.type = SelectionNotify;
    reply.display = dpy_;
    reply.requestor = r.requestor;
    reply.selection = r.selection;
    reply.target = r.target;
    reply.property = None;
    reply.time = r.time;
    // Obsolete requestors name no property: the target's name serves.
    Atom prop = r.property != None ? r.property : r.target;
    std::unique_lock<std::mutex> g(mutex_);
    bool ours = owning_ && r.selection == selection_ &&
                (r.time == CurrentTime || owned_since_ == CurrentTime || r.time >= owned_since_);
    if (ours && r.target == atoms_[A_MULTIPLE] && r.property != None) {
      // Pairs of a target and a property: each served in turn, a pair that
      // could not be has its property replaced by None.
      Atom type;
      int format;
      unsigned long items, after;
      unsigned char* data = nullptr;
      if (XGetWindowProperty(dpy_, r.requestor, prop, 0, 1 << 16, False, AnyPropertyType, &type, &format, &items,
                             &after, &data) == Success && data && format == 32) {
        auto* pairs = reinterpret_cast<long*>(data);
        for (unsigned long i = 0; i + 1 < items; i += 2)
          if (!serve(r.requestor, Atom(pairs[i]), Atom(pairs[i + 1]))) pairs[i + 1] = None;
        XChangeProperty(dpy_, r.requestor, prop, atoms_[A_ATOM_PAIR], 32, PropModeReplace, data, int(items));
        reply.property = prop;
      }
      if (data) XFree(data);
    } else if (ours && serve(r.requestor, r.target, prop)) {
      reply.property = prop;
    }
    g.unlock();
    XSendEvent(dpy_, r.requestor, False, NoEventMask, reinterpret_cast<XEvent*>(&reply));
    XFlush(dpy_);
  }

  // Writes one target of what we own into the requestor's property (mutex_
  // held); false when we hold nothing for it.
  bool serve(::Window requestor, Atom target, Atom prop) {
    if (target == atoms_[A_TARGETS]) {
      std::vector<long> list = {long(atoms_[A_TARGETS]), long(atoms_[A_TIMESTAMP]), long(atoms_[A_MULTIPLE])};
      for (int f = 0; f < CLIP_FORMATS; f++)
        if (owned_[f].present) {
          for (Atom a : served(clip_format(f))) list.push_back(long(a));
        }
      XChangeProperty(dpy_, requestor, prop, XA_ATOM, 32, PropModeReplace, reinterpret_cast<unsigned char*>(list.data()),
                      int(list.size()));
      return true;
    }
    if (target == atoms_[A_TIMESTAMP]) {
      long t = long(owned_since_);
      XChangeProperty(dpy_, requestor, prop, XA_INTEGER, 32, PropModeReplace, reinterpret_cast<unsigned char*>(&t), 1);
      return true;
    }
    Atom type = None;
    shared_bytes data = data_for(target, &type);
    if (type == None) return false;
    if (data->size() > max_reply_)
      start_transfer(requestor, prop, type, std::move(data));
    else
      XChangeProperty(dpy_, requestor, prop, type, 8, PropModeReplace, data->data(), int(data->size()));
    return true;
  }

  // The targets a present format is offered under.
  std::vector<Atom> served(clip_format f) const {
    if (f == CLIP_TEXT) return {atoms_[A_UTF8_STRING], atoms_[A_TEXT_PLAIN_UTF8], atoms_[A_TEXT], XA_STRING};
    return wanted(f);
  }

  // A target's bytes and property type from what we own (mutex_ held);
  // type None when we hold nothing for it.
  shared_bytes data_for(Atom target, Atom* type) const {
    for (int f = 0; f < CLIP_FORMATS; f++) {
      if (!owned_[f].present) continue;
      for (Atom a : served(clip_format(f))) {
        if (a != target) continue;
        const shared_bytes& data = owned_[f].data;
        if (target == XA_STRING) return *type = XA_STRING, std::make_shared<const bytes>(latin1_of(*data));
        if (target == atoms_[A_TEXT]) return *type = atoms_[A_UTF8_STRING], data;
        if (f == CLIP_FILES) return *type = target, std::make_shared<const bytes>(uri_list_of(*data));
        return *type = target, data;
      }
    }
    return {};
  }

  Display* dpy_;
  ::Window win_ = 0;
  Atom selection_ = None;
  Atom atoms_[A_ATOMS]{};
  size_t max_reply_ = 0, piece_ = 0;
  std::vector<transfer> transfers_;  // the thread's own
  int wake_fd_ = -1;
  std::thread thread_;

  // The caller's side: one session at a time.
  std::mutex session_;
  bool written_ = false;
  entry staged_[CLIP_FORMATS];
  source source_ = source::unknown;

  // Shared with the thread, under mutex_.
  std::mutex mutex_;
  std::condition_variable done_cv_;
  job job_ = job::none;
  bool job_done_ = false, job_ok_ = false, stopping_ = false;
  bool owning_ = false;
  Time owned_since_ = CurrentTime;
  entry owned_[CLIP_FORMATS];
  // Written by the thread inside a job, read by the caller after it.
  Atom convert_target_ = None;
  bytes received_;
  std::vector<Atom> targets_;
  bool targets_failed_ = false;
};

// The clipboard once made, for the hand-over at exit.
x11_clipboard* opened = nullptr;

bool display_wanted() {
  const char* display = getenv("DISPLAY");
  const char* forced = getenv("KEZ_HEADLESS");
  return display && *display && !(forced && *forced);
}

}  // namespace

clipboard_backend* open_x11_clipboard() {
  if (!display_wanted()) return nullptr;
  // Made once; lives until the process ends, when its thread is stopped.
  static std::unique_ptr<x11_clipboard> made(x11_clipboard::make("CLIPBOARD"));
  opened = made.get();
  return made.get();
}

clipboard_backend* open_x11_primary() {
  if (!display_wanted()) return nullptr;
  static std::unique_ptr<x11_clipboard> made(x11_clipboard::make("PRIMARY"));
  return made.get();
}

bool hand_over_clipboard() { return opened && opened->hand_over(); }

}  // namespace kez::platform
