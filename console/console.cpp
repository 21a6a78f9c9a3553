// The console's C++ routines: the print hooks that send every output of the
// system to the terminal, the console title, and the standard-input line
// reader and terminal size that the console engine uses without a display.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "console/console.h"
#include "gui/backend/view.h"
#include "platform/win/win.h"
#include "runtime/collector.h"
#include "runtime/console.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/error_ids.h"
#include "runtime/datatypes/error.h"
#include "runtime/hooks.h"
#include "runtime/natives.h"
#include "runtime/stack.h"
#include "runtime/trace.h"
#include "runtime/utf.h"

namespace kez::console_engine {

namespace {

using natives::raw_answer;
using natives::raw_param;

const cell unset_cell{TYPE_UNSET, 0, 0, 0};

// The root block's cell that keeps the low-level printers' string alive and
// lends its buffer to every later text; null until add-gui-print.
cell* scratch = nullptr;

void kez_print_gui(const cell* str, bool newline) {
  // The terminal's own code runs from inside a native: make sure it has room.
  if (stack::ctop_end - stack::ctop <= 60 || stack::end - stack::top <= 80)
    error::fire(err::cat_internal, err::internal::stack_overflow);
  // The terminal's own evaluation is not traced. Clearing `active` alone
  // would not last: every block the terminal enters recomputes it from
  // `wanted`.
  bool saved = trace::wanted;
  trace::wanted = false;
  trace::refresh();
  cell args[2] = {*str, cell{TYPE_LOGIC, newline ? 1u : 0u, 0, 0}};
  cell* base = stack::top;
  try {
    cell* pushed = stack::push(&args[0]);
    stack::push(&args[1]);
    natives::call_library("_terminal-vprint", pushed, 2);
  } catch (...) {
    trace::wanted = saved;
    trace::refresh();
    stack::top = base;
    throw;
  }
  trace::wanted = saved;
  trace::refresh();
  stack::top = base;
}

void ks_print_gui(const char* text, int32_t length, int32_t newline) {
  size_t n = length < 0 ? std::strlen(text) : size_t(length);
  // The text may live in a buffer that loading moves: take a copy first.
  std::string bytes(text, n);
  if (type_of(scratch) == TYPE_STRING) {
    scratch->w1 = 0;  // the whole string, from its head
    series::clear(scratch);
    string::load_utf8_into(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), scratch, nullptr);
  } else {
    string::load(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), scratch);
  }
  kez_print_gui(scratch, newline != 0);
}

uint64_t r_add_gui_print(const uint64_t*) {
  scratch = root::append(&unset_cell);
  hooks::register_(kez_print_gui, ks_print_gui);
  // From here on the console window is where output goes, instead of the
  // standard output (errors keep standard error).
  std::fflush(stdout);
  int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (null >= 0) {
    ::dup2(null, STDOUT_FILENO);
    ::close(null);
  }
  return 0;
}

// A terminal's title is set by the escape sequence OSC 0; a standard output
// that is no terminal has no title, and the sequence would only soil it.
uint64_t r_init(const uint64_t* p) {
  if (!isatty(STDOUT_FILENO)) return raw_answer(&unset_cell);
  int32_t length = -1;
  const uint8_t* bytes = string::utf8_bytes(raw_param(p[0]), length);
  std::string sequence = "\x1b]0;";
  sequence.append(reinterpret_cast<const char*>(bytes), size_t(length));
  sequence += '\a';
  std::fflush(stdout);
  if (::write(STDOUT_FILENO, sequence.data(), sequence.size()) != ssize_t(sequence.size())) {
    std::fputs("SetConsoleTitle failed!\n", stdout);
    std::fflush(stdout);
    std::_Exit(0);
  }
  return raw_answer(&unset_cell);
}

// One line of standard input without its line end (LF or CR LF), or none at
// the end of input. Output waiting in the buffers leaves first, so that a
// prompt shows before the read blocks.
uint64_t r_read_stdin_line(const uint64_t*) {
  std::fflush(stdout);
  std::string line;
  int c;
  bool any = false;
  while ((c = std::getchar()) != EOF) {
    any = true;
    if (c == '\n') break;
    line += char(c);
  }
  static const cell none{TYPE_NONE, 0, 0, 0};
  if (!any) return raw_answer(&none);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  // A byte that is not UTF-8 must not end the session and lose the lines
  // after it: it reads as U+FFFD, which the evaluator then reports.
  std::string text;
  const uint8_t* p = reinterpret_cast<const uint8_t*>(line.data());
  size_t left = line.size();
  while (left > 0) {
    size_t good = utf8::valid_prefix(p, left);
    text.append(reinterpret_cast<const char*>(p), good);
    if (good == left) break;
    text += "\xEF\xBF\xBD";
    p += good + 1;
    left -= good + 1;
  }
  return raw_answer(string::load(reinterpret_cast<const uint8_t*>(text.data()), text.size(), nullptr));
}

uint64_t r_terminal_size(const uint64_t*) {
  int32_t cols = 80, rows = 24;
  winsize ws{};
  if (isatty(STDOUT_FILENO) && ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
    cols = ws.ws_col;
    rows = ws.ws_row;
  }
  return raw_answer(pair::make_at(stack::push_cell(), cols, rows));
}

// Whether the GUI console can stand: a reachable X display (unless the
// headless window system is forced), or the headless window system with
// injected input, which is how tests drive the console itself. Otherwise the
// console runs over standard input and output.
uint64_t r_gui_console_q(const uint64_t*) {
  const char* forced = getenv("KEZ_HEADLESS");
  if (forced && *forced) {
    const char* input = getenv("KEZ_INPUT");
    return input && *input;
  }
  const char* display = getenv("DISPLAY");
  if (!display || !*display) return 0;
  // The window system falls back to headless when the display can't be
  // opened; then there is no window to show either.
  gui::view::init();
  return win::layer::current() == win::layer::mode::x11;
}

uint64_t r_event_loop_ran_dry_q(const uint64_t*) { return win::layer::ran_dry(); }

uint64_t r_get_caret_blink_time(const uint64_t*) { return uint32_t(int32_t(win::GetCaretBlinkTime())); }

const natives::routine_def routines[] = {
    {"add-gui-print", R"K([])K", r_add_gui_print, false},
    {"_console-init", R"K([str [string!]])K", r_init, true},
    {"_read-stdin-line", R"K([])K", r_read_stdin_line, true},
    {"_terminal-size", R"K([])K", r_terminal_size, true},
    {"_gui-console?", R"K([return: [logic!]])K", r_gui_console_q, false},
    {"_event-loop-ran-dry?", R"K([return: [logic!]])K", r_event_loop_ran_dry_q, false},
    {"get-caret-blink-time", R"K([return: [integer!]])K", r_get_caret_blink_time, false},
};

}  // namespace

void register_routines(natives::routine_list& list) {
  for (const natives::routine_def& r : routines) list.push_back(r);
}

}  // namespace kez::console_engine
