#include "runtime/clipboard.h"

#include <chrono>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clipboard.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/interpreter.h"
#include "runtime/simple_io.h"
#include "runtime/stack.h"

namespace kez::clipboard {

namespace {

using platform::clip_format;
using bytes = std::vector<uint8_t>;

[[noreturn]] void invalid_arg(const cell* v) {
  cell c = *v;
  error::fire(err::cat_script, err::script::invalid_arg, &c);
}

// Another owner may hold the clipboard for a moment: three tries, a
// millisecond apart.
bool open_clipboard() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (platform::clipboard().open()) return true;
  }
  return false;
}

struct held_clipboard {
  ~held_clipboard() { platform::clipboard().close(); }
};

// A local path as a file! value: through the library's to-kez-file when it
// is there; a POSIX path is already in the file! form otherwise.
void file_value(const uint8_t* path, size_t n, cell* target) {
  string::make_at(target, uint32_t(n));
  simple_io::append_text(target, path, n);
  uint32_t name = symbol::make("to-kez-file");
  cell* fn = context::get_value_cell(context::global, name);
  if (!fn || type_of(fn) != TYPE_FUNCTION) {
    target->header = TYPE_FILE;
    return;
  }
  cell word{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&word);
  word::make_at(name, &word);
  *target = *interpreter::call_function_with(fn, target, 1, &word);
  stack::pop(1);
}

cell* files_value(const bytes& list) {
  cell* files = block::make_at(stack::push_cell(), 8);
  cell* file = stack::push_cell();
  for (size_t start = 0; start < list.size();) {
    size_t end = start;
    while (end < list.size() && list[end] != 0) ++end;
    if (end > start) {
      file_value(list.data() + start, end - start, file);
      block::ks_append(files, file);
    }
    start = end + 1;
  }
  stack::pop(1);
  return files;
}

// The UTF-8 bytes of a text value from its head.
bytes utf8_of(const cell* text) {
  cell t = *text;
  collector::root_cells keep(&t);
  int32_t n = -1;
  const uint8_t* p = string::utf8_bytes(&t, n);
  return bytes(p, p + n);
}

bytes file_list(const cell* block) {
  cell list = *block;
  collector::root_cells keep(&list);
  bytes out;
  int32_t n = block::ks_length_q(&list);
  for (int32_t i = 0; i < n; ++i) {
    cell item = *block::ks_abs_at(&list, int32_t(list.w1) + i);
    collector::root_cells keep_item(&item);
    std::string path;
    if (type_of(&item) == TYPE_FILE) {
      if (!file::to_local_path(&item, path)) invalid_arg(&item);
    } else if (type_of(&item) == TYPE_STRING) {
      bytes text = utf8_of(&item);
      path.assign(text.begin(), text.end());
    } else {
      invalid_arg(&item);
    }
    // A NUL ends each path in the list, so one inside a path would split it.
    if (path.empty() || path.find('\0') != std::string::npos) invalid_arg(&item);
    out.insert(out.end(), path.begin(), path.end());
    out.push_back(0);
  }
  return out;
}

}  // namespace

cell* read() {
  if (!open_clipboard()) {
    cell no{TYPE_LOGIC, 0, 0, 0};
    return stack::push(&no);
  }
  bytes data;
  clip_format found = platform::CLIP_FORMATS;
  {
    held_clipboard held;
    for (clip_format f : {platform::CLIP_TEXT, platform::CLIP_FILES}) {
      if (platform::clipboard().get(f, data)) {
        found = f;
        break;
      }
    }
  }
  switch (found) {
    case platform::CLIP_TEXT: {
      cell* text = string::make_at(stack::push_cell(), uint32_t(data.size()));
      simple_io::append_text(text, data.data(), data.size());
      return text;
    }
    case platform::CLIP_FILES:
      return files_value(data);
    default: {
      cell none{TYPE_NONE, 0, 0, 0};
      return stack::push(&none);
    }
  }
}

bool write(const cell* value) {
  std::vector<std::pair<clip_format, bytes>> prepared;
  switch (type_of(value)) {
    case TYPE_NONE:
      break;
    case TYPE_STRING:
      prepared.emplace_back(platform::CLIP_TEXT, utf8_of(value));
      break;
    case TYPE_BLOCK:
      prepared.emplace_back(platform::CLIP_FILES, file_list(value));
      break;
    default:
      invalid_arg(value);
  }
  if (!open_clipboard()) return false;
  held_clipboard held;
  bool ok = platform::clipboard().empty();
  for (auto& [format, data] : prepared) ok = platform::clipboard().set(format, std::move(data)) && ok;
  return ok;
}

}  // namespace kez::clipboard
