// The console's C++ routines: the print hooks that send every output of the
// system to the terminal, the console title, and the standard-input line
// reader, the line editor of a terminal, and the terminal size that the
// console engine uses without a display.
#include <fcntl.h>
#include <histedit.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <csignal>
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
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/error_ids.h"
#include "runtime/datatypes/error.h"
#include "runtime/hooks.h"
#include "runtime/interpreter.h"
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

// A line read as the value the reader answers. A byte that is not UTF-8
// must not end the session and lose the lines after it: it reads as U+FFFD,
// which the evaluator then reports.
uint64_t line_answer(const std::string& line) {
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

const cell none_cell{TYPE_NONE, 0, 0, 0};
const cell false_cell{TYPE_LOGIC, 0, 0, 0};

// One line of standard input without its line end (LF or CR LF); false at
// the end of input.
bool read_plain_line(std::string& line) {
  int c;
  bool any = false;
  while ((c = std::getchar()) != EOF) {
    any = true;
    if (c == '\n') break;
    line += char(c);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return any;
}

// One line of standard input without its line end, or none at the end of
// input. Output waiting in the buffers leaves first, so that a prompt shows
// before the read blocks.
uint64_t r_read_stdin_line(const uint64_t*) {
  std::fflush(stdout);
  std::string line;
  if (!read_plain_line(line)) return raw_answer(&none_cell);
  return line_answer(line);
}

// --- Lines edited on a terminal ----------------------------------------

// The terminal's settings as the process found them, taken before the
// first read changes them; a signal that ends the process while a line is
// read puts them back.
termios original_tty{};
bool tty_saved = false;
const int ending_signals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void restore_and_die(int signo) {
  if (tty_saved) tcsetattr(STDIN_FILENO, TCSANOW, &original_tty);
  signal(signo, SIG_DFL);
  raise(signo);
}

// Ctrl+C in the line console is `halt`, not the end: once the console runs
// on a terminal, SIGINT only asks the interpreter to halt at its next safe
// point, and cuts short a read that waits for a line. The request belongs to
// the runtime thread, where the reads happen: another thread that gets the
// signal hands it on.
bool halting = false;
pthread_t runtime_thread;

extern "C" void request_halt(int signo) {
  if (!pthread_equal(pthread_self(), runtime_thread)) {
    pthread_kill(runtime_thread, signo);
    return;
  }
  interpreter::halt_requested.store(true, std::memory_order_relaxed);
}

// Between reads the calls the signal interrupts start again; during one a
// read must end, to drop the line.
void install_halt(bool cut_reads) {
  struct sigaction action {};
  action.sa_handler = request_halt;
  action.sa_flags = cut_reads ? 0 : SA_RESTART;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

// A read that ended without a line because of Ctrl+C: the request is
// taken here, and the caller halts.
bool take_halt() {
  return halting && interpreter::halt_requested.exchange(false, std::memory_order_relaxed);
}

// Installs the handlers for the time of one read, and takes the old ones
// back after it, also when the read ends by an error.
class tty_guard {
 public:
  tty_guard() {
    if (!tty_saved && tcgetattr(STDIN_FILENO, &original_tty) == 0) tty_saved = true;
    struct sigaction action {};
    action.sa_handler = restore_and_die;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(ending_signals); ++i) {
      sigaction(ending_signals[i], nullptr, &old_[i]);
      if (ending_signals[i] == SIGINT && halting) {
        install_halt(true);
        continue;
      }
      // A signal the process was told to ignore stays ignored.
      if (old_[i].sa_handler != SIG_IGN) sigaction(ending_signals[i], &action, nullptr);
    }
  }
  ~tty_guard() {
    for (size_t i = 0; i < std::size(ending_signals); ++i) sigaction(ending_signals[i], &old_[i], nullptr);
  }
  tty_guard(const tty_guard&) = delete;
  tty_guard& operator=(const tty_guard&) = delete;

 private:
  struct sigaction old_[std::size(ending_signals)] {};
};

// A hidden line: the terminal's echo is off while it is typed, and the line
// end the user typed is written for them.
bool read_hidden_line(const std::string& prompt, std::string& line) {
  tty_guard guard;
  termios now{};
  bool changed = tcgetattr(STDIN_FILENO, &now) == 0;
  if (changed) {
    termios quiet = now;
    quiet.c_lflag &= ~tcflag_t(ECHO);
    quiet.c_lflag |= ICANON;
    changed = tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
  }
  std::fputs(prompt.c_str(), stdout);
  std::fflush(stdout);
  bool any = false;
  char c;
  ssize_t n;
  while ((n = ::read(STDIN_FILENO, &c, 1)) != 0) {
    if (n < 0) {
      if (errno == EINTR && !interpreter::halt_requested.load(std::memory_order_relaxed)) continue;
      break;
    }
    any = true;
    if (c == '\n') break;
    line += c;
  }
  if (changed) tcsetattr(STDIN_FILENO, TCSANOW, &now);
  std::fputs("\n", stdout);
  std::fflush(stdout);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  return any;
}

// The editor, made at the first line edited. It works in the C library's
// character type, which must be UTF-8 whatever the environment says: the
// system's text is UTF-8.
EditLine* editor = nullptr;
History* editor_history = nullptr;
std::string editor_prompt;

const char* prompt_of(EditLine*) { return editor_prompt.c_str(); }

bool make_editor() {
  if (editor) return true;
  if (MB_CUR_MAX == 1) {
    bool utf8 = false;
    for (const char* name : {"C.UTF-8", "C.utf8", "en_US.UTF-8"}) {
      if (setlocale(LC_CTYPE, name)) {
        utf8 = true;
        break;
      }
    }
    if (!utf8) return false;
  }
  editor = el_init("kez", stdin, stdout, stderr);
  if (!editor) return false;
  editor_history = history_init();
  el_set(editor, EL_EDITOR, "emacs");
  el_set(editor, EL_PROMPT, prompt_of);
  el_set(editor, EL_HIST, history, editor_history);
  // The editor puts the terminal back before a signal ends the process,
  // and follows changes of the window's size.
  el_set(editor, EL_SIGNAL, 1);
  el_set(editor, EL_BIND, "^R", "em-inc-search-prev", nullptr);
  return true;
}

// The history the editor browses: the block's lines, newest first.
void load_history(cell* block) {
  HistEvent event;
  history(editor_history, &event, H_CLEAR);
  cell list = *block;
  collector::root_cells keep(&list);
  int32_t n = block::ks_length_q(&list);
  history(editor_history, &event, H_SETSIZE, n + 1);
  for (int32_t i = n - 1; i >= 0; --i) {
    cell item = *block::ks_abs_at(&list, int32_t(list.w1) + i);
    if (type_of(&item) != TYPE_STRING) continue;
    collector::root_cells keep_item(&item);
    int32_t length = -1;
    const uint8_t* bytes = string::utf8_bytes(&item, length);
    std::string text(reinterpret_cast<const char*>(bytes), size_t(length));
    history(editor_history, &event, H_ENTER, text.c_str());
  }
}

bool read_edited_line(const std::string& prompt, cell* history_block, std::string& line) {
  load_history(history_block);
  editor_prompt = prompt;
  tty_guard guard;
  int count = 0;
  const char* text;
  // A signal the editor takes care of (a new window size) may cut a read
  // short: it is read again, unless it asks for a halt.
  while (!(text = el_gets(editor, &count)) && count < 0 && errno == EINTR &&
         !interpreter::halt_requested.load(std::memory_order_relaxed)) {
  }
  if (!text) {
    // The next output (the shell's prompt, say) starts on a line of its own.
    std::fputs("\n", stdout);
    return false;
  }
  line.assign(text);
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
  return true;
}

// A line typed on the terminal that is standard input: edited when standard
// output is that terminal as well, with the history block to browse;
// hidden, with the echo off; otherwise a plain line. None at the end of
// input. Only the part of the question after its last line end is the
// editor's prompt: it draws the line it edits.
uint64_t r_edit_stdin_line(const uint64_t* p) {
  cell* question = raw_param(p[0]);
  cell* history_block = raw_param(p[1]);
  bool hide = type_of(raw_param(p[2])) == TYPE_LOGIC && raw_param(p[2])->w1 != 0;
  int32_t length = -1;
  const uint8_t* bytes = string::utf8_bytes(question, length);
  std::string prompt(reinterpret_cast<const char*>(bytes), size_t(length));
  std::fflush(stdout);
  std::string line;
  bool got;
  if (hide) {
    got = read_hidden_line(prompt, line);
  } else if (isatty(STDOUT_FILENO) && make_editor()) {
    size_t cut = prompt.rfind('\n');
    if (cut != std::string::npos) {
      std::fwrite(prompt.data(), 1, cut + 1, stdout);
      prompt.erase(0, cut + 1);
    }
    got = read_edited_line(prompt, history_block, line);
  } else {
    std::fputs(prompt.c_str(), stdout);
    std::fflush(stdout);
    tty_guard guard;
    got = read_plain_line(line);
  }
  // Ctrl+C drops what was typed; the caller halts.
  if (take_halt()) {
    std::clearerr(stdin);
    return raw_answer(&false_cell);
  }
  if (!got) return raw_answer(&none_cell);
  return line_answer(line);
}

// The line console is on a terminal: from here on Ctrl+C halts.
uint64_t r_halt_on_interrupt(const uint64_t*) {
  if (!halting) {
    runtime_thread = pthread_self();
    halting = true;
    install_halt(false);
  }
  return raw_answer(&unset_cell);
}

uint64_t r_stdin_terminal_q(const uint64_t*) { return isatty(STDIN_FILENO); }

// An error as a script that fails reports it, on standard error, after
// what was printed before it.
uint64_t r_print_error(const uint64_t* p) {
  std::fflush(stdout);
  natives::write_formed(raw_param(p[0]), stderr, true);
  std::fflush(stderr);
  return raw_answer(&unset_cell);
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
    {"_edit-stdin-line", R"K([question [string!] history [block!] hide [logic!]])K", r_edit_stdin_line, true},
    {"_stdin-terminal?", R"K([return: [logic!]])K", r_stdin_terminal_q, false},
    {"_halt-on-interrupt", R"K([])K", r_halt_on_interrupt, true},
    {"_print-error", R"K([value [error!]])K", r_print_error, true},
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
