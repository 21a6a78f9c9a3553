#include "runtime/datatypes/file.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "runtime/collector.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/unset.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_text.h"
#include "runtime/datatypes/url.h"
#include "runtime/simple_io.h"
#include "runtime/stack.h"
#include "runtime/utf.h"

namespace kez::file {

cell* load(const uint8_t* bytes, size_t size, cell* target) {
  cell* f = string::load(bytes, size, target);
  f->header = TYPE_FILE;
  return f;
}

cell* push(const cell* value) { return stack::push(value); }

cell* load_name(const uint8_t* bytes, size_t size, cell* target) {
  std::u32string chars;
  utf::from_os_bytes(bytes, size, chars);
  string::make_at(target, uint32_t(chars.size()));
  for (char32_t c : chars) string::append_char(string::buffer_of(target), int32_t(c));
  return target;
}

cell* get_current_dir(cell* target) {
  std::vector<char> path(256);
  while (!getcwd(path.data(), path.size())) {
    if (errno != ERANGE) {
      // The directory was removed or cannot be read: name it as ".".
      path.assign({'.', 0});
      break;
    }
    path.resize(path.size() * 2);
  }
  size_t n = std::strlen(path.data());
  load_name(reinterpret_cast<const uint8_t*>(path.data()), n, target);
  if (n == 0 || path[n - 1] != '/') string::append_char(string::buffer_of(target), '/');
  return target;
}

void to_local(const cell* file, cell* out, bool full) {
  cell name = *file;
  collector::root_cells hold(&name);
  if (full && (string::ks_length_q(&name) == 0 || string::ks_abs_at(&name, int32_t(string::head_index(&name))) != '/')) {
    cell* dir = get_current_dir(stack::push_cell());
    string::concatenate(out, dir, -1, 0, true, string::CONCAT_APPEND);
    stack::pop(1);
  }
  string::concatenate(out, &name, -1, 0, true, string::CONCAT_APPEND);
}

bool to_local_path(const cell* file, std::string& out) {
  string::text_view v = string::view_of(file);
  return utf::to_os_path(v.p, v.length, int(v.unit), out);
}

// Quoted names escape the quote and the caret, so that the mold loads back
// as the same name.
int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  auto chars_in = [&] { return string::view_of(buffer).head + string::view_of(buffer).length; };
  uint32_t before = chars_in();
  string::text_view v = string::view_of(value);
  uint32_t n = v.length;
  if (arg) n = part < 0 ? 0 : std::min(n, uint32_t(part));
  string::append_char(string::buffer_of(buffer), '%');
  if (v.length == 0) {
    string::concatenate_literal(buffer, "\"\"");
    return part - int32_t(chars_in() - before);
  }
  bool quoted = false;
  for (uint32_t i = 0; i < n && !quoted; ++i) quoted = !url::file_safe_q(v[i]);
  if (quoted) string::append_char(string::buffer_of(buffer), '"');
  for (uint32_t i = 0; i < n; ++i) {
    int32_t c = string::view_of(value)[i];  // appending may move the text
    series_buffer* b = string::buffer_of(buffer);
    if (quoted && (c == '"' || c == '^')) b = string::append_char(b, '^');
    string::append_char(b, c);
  }
  if (quoted) string::append_char(string::buffer_of(buffer), '"');
  return part - int32_t(chars_in() - before);
}

namespace {

[[noreturn]] void not_done() { error::fire(err::cat_internal, err::internal::not_done); }

cell* logic_cell(bool b) { return logic::push(b); }

}  // namespace

cell* delete_(cell* file) { return logic_cell(simple_io::delete_(file)); }

cell* query(cell* file) { return simple_io::query(file); }

cell* rename(cell* from, const cell* to) {
  if (type_of(to) != TYPE_FILE) {
    cell target = *to;
    error::fire(err::cat_script, err::script::invalid_arg, &target);
  }
  return logic_cell(simple_io::rename(from, to));
}

cell* read(cell* source, const cell* part, const cell* seek, bool binary, bool lines, bool, const cell* as) {
  if (as) not_done();
  return simple_io::read(source, simple_io::count_of(part), simple_io::count_of(seek), binary, lines);
}

cell* write(cell* destination, const cell* data, bool binary, bool lines, bool, bool append, const cell* part,
            const cell* seek, const cell* allow, const cell* as) {
  if (allow || as) not_done();
  simple_io::write(destination, data, part, seek, binary, append, lines);
  return unset::push();
}

void init() {
  datatype::registration(TYPE_FILE, TYPE_URL, "file!")
      .inherit_all()
      .set<ACT_MOLD>(mold)
      .set<ACT_DELETE>(delete_)
      .set<ACT_QUERY>(query)
      .set<ACT_READ>(read)
      .set<ACT_RENAME>(rename)
      .set<ACT_WRITE>(write)
      .commit();
}

}  // namespace kez::file
