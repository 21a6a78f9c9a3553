#include "runtime/call.h"

#include <string>

#include "platform/process.h"
#include "runtime/collector.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/url.h"
#include "runtime/simple_io.h"
#include "runtime/datatypes/string_text.h"
#include "runtime/stack.h"
#include "runtime/utf.h"

namespace kez::call {

namespace {

// A shell word that stands for exactly the text given.
std::string shell_quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) {
    if (c == '\'') out += "'\\''";
    else out += c;
  }
  return out + "'";
}

std::string utf8_of(const cell* value) {
  cell copy = *value;
  collector::root_cells keep(&copy);
  int32_t n = -1;
  const uint8_t* bytes = string::utf8_bytes(&copy, n);
  return std::string(reinterpret_cast<const char*>(bytes), size_t(n));
}

// The stream a redirection stands for; false for a file name the system
// cannot take.
bool stream_of(const cell* value, platform::stream& s) {
  if (!value) return true;
  if (type_of(value) == TYPE_FILE) {
    s.kind = platform::STREAM_FILE;
    return file::to_local_path(value, s.path);
  }
  s.kind = platform::STREAM_DATA;
  return true;
}

void deliver(const std::vector<uint8_t>& captured, cell* target) {
  if (!target || type_of(target) == TYPE_FILE) return;
  if (type_of(target) == TYPE_BINARY) {
    uint32_t head = uint32_t(target->w1);
    binary::ks_insert(target, head, captured.data(), uint32_t(captured.size()));
  } else {
    simple_io::append_text(target, captured.data(), captured.size());
  }
}

}  // namespace

int64_t execute(const cell* cmd, bool wait, bool, bool console, bool, const cell* input, cell* output,
                cell* error) {
  if (console) error::fire(err::cat_internal, err::internal::not_done);
  std::string command;
  if (type_of(cmd) == TYPE_FILE) {
    if (!file::to_local_path(cmd, command)) return -1;
    command = shell_quoted(command);
  } else {
    // A command names files: a name read from the system goes back as its
    // own bytes, valid UTF-8 or not.
    cell text = *cmd;
    collector::root_cells keep(&text);
    string::text_view v = string::view_of(&text);
    utf::to_os_bytes(v.p, v.length, int(v.unit), command);
    // The shell takes a C string: past a NUL it would run another command.
    if (command.find('\0') != std::string::npos) return -1;
  }
  // With or without /shell the command goes through the shell: it finds
  // programs on PATH and runs the shell's own commands alike.
  platform::process_spec spec;
  spec.argv = platform::shell_command(command);
  spec.wait = wait;
  if (!stream_of(input, spec.input) || !stream_of(output, spec.output) || !stream_of(error, spec.error))
    return -1;
  std::string data;
  if (input && type_of(input) == TYPE_BINARY) {
    cell bin = *input;
    data.assign(reinterpret_cast<const char*>(binary::ks_head(&bin)), size_t(binary::ks_length_q(&bin)));
  } else if (input && type_of(input) != TYPE_FILE) {
    data = utf8_of(input);
  }
  spec.input.data = reinterpret_cast<const uint8_t*>(data.data());
  spec.input.size = data.size();
  int64_t result = platform::run_process(spec);
  if (result < 0) return result;
  // Output past what a series holds, or the memory left, is refused whole.
  if (spec.output.overflowed || spec.error.overflowed) error::fire(err::cat_internal, err::internal::no_memory);
  deliver(spec.output.captured, output);
  deliver(spec.error.captured, error);
  return result;
}

void browse(const cell* target) {
  platform::process_spec spec;
  std::string name;
  if (type_of(target) == TYPE_FILE) {
    if (!file::to_local_path(target, name)) return;
  } else {
    // The opener takes the locator as it is written, escapes and all.
    cell source = *target;
    collector::root_cells keep(&source);
    cell* encoded = string::make_at(stack::push_cell(), 64);
    url::encode_utf8(&source, encoded, url::FILE_SAFE);
    name = utf8_of(encoded);
    stack::pop(1);
  }
  spec.argv = {"xdg-open", name};
  platform::run_process(spec);
}

}  // namespace kez::call
