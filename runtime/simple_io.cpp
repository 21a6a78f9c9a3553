#include "runtime/simple_io.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/files.h"
#include "runtime/collector.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_text.h"
#include "runtime/stack.h"
#include "runtime/utf.h"
#include "runtime/words.h"

namespace kez::simple_io {

namespace {

// Streams that report no size are read in chunks of this many bytes.
constexpr size_t CHUNK = 65536;
// The most bytes one series holds.
constexpr int64_t MOST = 0x7FFFFFFF;

[[noreturn]] void too_large() { error::fire(err::cat_internal, err::internal::no_memory); }

[[noreturn]] void cannot_open(const cell* file) {
  cell f = *file;
  error::fire(err::cat_access, err::access::cannot_open, &f);
}

// The local path of a file!; false for a name the system cannot take.
bool local_path(const cell* file, std::string& path) { return file::to_local_path(file, path); }

// Closes the descriptor when the scope ends, whichever way it ends.
struct descriptor {
  int fd;
  explicit descriptor(int f) : fd(f) {}
  ~descriptor() {
    if (fd >= 0) platform::close_file(fd);
  }
  descriptor(const descriptor&) = delete;
  descriptor& operator=(const descriptor&) = delete;
};

// The bytes of one read, grown with realloc: a big buffer is moved by
// remapping its pages, not copied, and nothing is cleared before the read
// fills it.
struct read_buffer {
  uint8_t* p = nullptr;
  size_t size = 0, capacity = 0;
  read_buffer() = default;
  read_buffer(const read_buffer&) = delete;
  read_buffer& operator=(const read_buffer&) = delete;
  ~read_buffer() { std::free(p); }
  // False when the system refuses the memory.
  bool reserve(size_t n) {
    if (n <= capacity) return true;
    void* q = std::realloc(p, n);
    if (!q) return false;
    p = static_cast<uint8_t*>(q);
    capacity = n;
    return true;
  }
};

// Reads into bytes until the end of the file or until `want` bytes are
// there (want < 0: no limit). False when a read fails. A buffer the system
// cannot grow (an endless device under an address-space limit) is the
// catchable out-of-memory error, never the end of the process.
bool read_into(int fd, read_buffer& bytes, int64_t want) {
  for (;;) {
    size_t room = CHUNK;
    if (want >= 0) {
      if (int64_t(bytes.size) >= want) return true;
      room = size_t(std::min<int64_t>(want - int64_t(bytes.size), int64_t(CHUNK)));
    }
    // Doubling, but never past the most a series holds plus the one byte
    // that shows it was exceeded.
    size_t grown = std::max(bytes.size + room, std::min<size_t>(2 * bytes.capacity, size_t(MOST) + 1));
    if (bytes.size + room > bytes.capacity && !bytes.reserve(grown)) too_large();
    int64_t n = platform::read_bytes(fd, bytes.p + bytes.size, room);
    if (n < 0) return false;
    if (n == 0) return true;
    bytes.size += size_t(n);
  }
}

// Reads and drops up to `count` bytes through a 64 KiB scratch buffer, so
// that skipping costs no memory however far it goes. False on a read error.
bool discard(int fd, int64_t count) {
  static constexpr size_t SCRATCH = 64 * 1024;
  std::vector<uint8_t> scratch(SCRATCH);
  while (count > 0) {
    int64_t n = platform::read_bytes(fd, scratch.data(), size_t(std::min<int64_t>(count, SCRATCH)));
    if (n < 0) return false;
    if (n == 0) return true;
    count -= n;
  }
  return true;
}

}  // namespace

cell* make_value(const cell* source, const uint8_t* bytes, size_t n, bool binary, bool lines) {
  cell* out = stack::push_cell();
  if (binary) {
    binary::load_at(out, bytes, uint32_t(n));
    return out;
  }
  if (lines ? !split_lines(bytes, n, out) : !load_text(bytes, n, out)) {
    size_t bad = utf8::valid_prefix(bytes, n);
    utf8::fire_invalid(bytes + bad, n - bad, source);
  }
  return out;
}

int64_t count_of(const cell* value) {
  if (!value) return -1;
  if (type_of(value) == TYPE_INTEGER) return int32_t(value->w2);
  double d = float_::get(value);
  if (!(d >= -9.2e18 && d <= 9.2e18)) return d > 0 ? INT64_MAX : -1;
  return int64_t(d);
}

bool dir_path_q(const cell* file) {
  string::text_view v = string::view_of(file);
  uint32_t n = v.length;
  if (n == 0) return false;
  auto sep = [](int32_t c) { return c == '/' || c == '\\'; };
  int32_t c = v[n - 1];
  if (sep(c)) return true;
  if (c != '.') return false;
  if (n == 1) return true;
  int32_t before = v[n - 2];
  if (sep(before)) return true;
  if (before != '.') return false;
  return n == 2 || sep(v[n - 3]);
}

cell* read(cell* file, int64_t part, int64_t seek, bool binary, bool lines) {
  if (dir_path_q(file)) return read_dir(file);
  cell* value = read_file(file, part, seek, binary, lines);
  if (!value) cannot_open(file);
  return value;
}

cell* read_file(cell* file, int64_t part, int64_t seek, bool binary, bool lines) {
  std::string path;
  if (!local_path(file, path)) return nullptr;
  descriptor d(platform::open_file(path.c_str(), platform::MODE_READ));
  if (d.fd < 0) return nullptr;
  int64_t size = platform::file_size(d.fd);
  if (size < 0) return nullptr;
  read_buffer bytes;
  if (size == 0) {
    // A pipe, a device or a /proc file: its size is what reading it gives.
    // The bytes read while sizing are the value, so nothing is read twice
    // (a pipe could not give them again) and /part stops an endless device.
    // Skipped bytes are read and dropped, never kept.
    int64_t skip = std::clamp<int64_t>(seek, 0, int64_t(1) << 62);
    if (!discard(d.fd, skip)) return nullptr;
    bool bounded = part >= 0 && part <= MOST;
    if (!read_into(d.fd, bytes, bounded ? part : MOST + 1)) return nullptr;
    if (int64_t(bytes.size) > MOST && !bounded) too_large();
  } else {
    if (seek >= 0) {
      // A seek past the end leaves nothing to read.
      if (seek >= size) size = 0;
      else if (platform::seek_file(d.fd, seek) < 0) return nullptr;
      else size -= seek;
    }
    if (part >= 0 && part < size) size = part;
    if (size > MOST) too_large();
    if (size > 0 && !read_into(d.fd, bytes, size)) return nullptr;
  }
  return make_value(file, bytes.p, bytes.size, binary, lines);
}

cell* read_dir(cell* file) {
  std::string path;
  std::vector<std::string> names;
  if (!local_path(file, path) || !platform::list_dir(path.c_str(), names)) cannot_open(file);
  cell* list = block::make_at(stack::push_cell(), int32_t(std::max<size_t>(names.size(), 1)));
  for (const std::string& name : names) {
    cell* f = file::load_name(reinterpret_cast<const uint8_t*>(name.data()), name.size(), stack::push_cell());
    f->header = TYPE_FILE;
    block::ks_append(list, f);
    stack::pop(1);
  }
  return list;
}

cell* split_lines(const uint8_t* bytes, size_t n, cell* target) {
  if (!target) target = stack::push_cell();
  size_t lines = 0;
  for (size_t i = 0; i < n; ++i) lines += bytes[i] == '\n';
  block::make_at(target, int32_t(std::min<size_t>(lines + 1, 0x1000000)));
  size_t start = n >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF ? 3 : 0;
  for (size_t i = start; i < n;) {
    size_t end = i;
    while (end < n && bytes[end] != '\n' && bytes[end] != '\r') ++end;
    cell* line = stack::push_cell();
    if (!load_text(bytes + i, end - i, line, false)) return nullptr;  // the text's mark is skipped above
    block::ks_append(target, line);
    stack::pop(1);
    if (end < n && bytes[end] == '\r' && end + 1 < n && bytes[end + 1] == '\n') ++end;
    i = end + 1;
  }
  return target;
}

void append_text(cell* target, const uint8_t* bytes, size_t n) {
  while (n > 0) {
    size_t valid = utf8::valid_prefix(bytes, n);
    target->w2 = string::load_utf8(bytes, valid, target->w2, nullptr, false);
    if (valid == n) return;
    string::append_char(string::buffer_of(target), 0xFFFD);
    bytes += valid + 1;
    n -= valid + 1;
  }
}

bool load_text(const uint8_t* bytes, size_t n, cell* target, bool opens) {
  if (utf8::valid_prefix(bytes, n) != n) return false;
  // The loaders take overlong two-byte forms (lead C0 or C1); text from a
  // file or a response refuses them, or an encoded line end would slip past
  // the byte-level line split and read differently line by line.
  for (size_t i = 0; i < n; ++i)
    if ((bytes[i] & 0xFE) == 0xC0) return false;
  // The loader drops a byte-order mark that opens an empty buffer; anywhere
  // but at the text's head (a later line) the mark is a character.
  bool mark = !opens && n >= 3 && bytes[0] == 0xEF && bytes[1] == 0xBB && bytes[2] == 0xBF;
  uint32_t node = 0;
  if (mark) {
    *target = cell{TYPE_STRING, 0, memory::alloc_codepoints(uint32_t(n - 2), 2), 0};
    string::append_char(string::buffer_of(target), 0xFEFF);
    node = target->w2;
  }
  *target = cell{TYPE_STRING, 0, string::load_utf8(bytes + (mark ? 3 : 0), n - (mark ? 3 : 0), node, nullptr, true), 0};
  return true;
}

namespace {

// The bytes one value is written as, valid until the next allocation: a
// string! as UTF-8, a binary! as its bytes, anything else molded into
// scratch first. part (-1: all) counts characters or bytes.
const uint8_t* value_bytes(cell* value, int64_t part, size_t& n, cell* scratch) {
  int32_t limit = part < 0 ? -1 : int32_t(std::min<int64_t>(part, 0x7FFFFFFF));
  if (type_of(value) == TYPE_BINARY) {
    int32_t length = binary::ks_length_q(value);
    n = size_t(limit >= 0 && limit < length ? limit : length);
    return binary::ks_head(value);
  }
  cell* text = value;
  if (type_of(value) != TYPE_STRING) {
    string::make_at(scratch, 64);
    actions::mold_dispatch(value, scratch, false, false, false, nullptr, 0x7FFFFFFF, 0);
    text = scratch;
  }
  int32_t length = limit;
  const uint8_t* bytes = string::utf8_bytes(text, length);
  n = size_t(length);
  return bytes;
}

// Writes one value (and a line end after it with newline); false when a
// write fails.
bool write_value(int fd, cell* value, int64_t part, bool newline, int64_t& last) {
  cell* scratch = stack::push_cell();
  *scratch = cell{TYPE_NONE, 0, 0, 0};
  size_t n = 0;
  const uint8_t* bytes = value_bytes(value, part, n, scratch);
  bool ok = platform::write_all(fd, bytes, n);
  stack::pop(1);
  if (ok) last = int64_t(n);
  if (ok && newline) {
    ok = platform::write_all(fd, "\n", 1);
    if (ok) last = 1;
  }
  return ok;
}

}  // namespace

int64_t write(const cell* file, const cell* data, const cell* part_cell, const cell* seek_cell, bool,
              bool append, bool lines) {
  int64_t part = -1;
  if (part_cell) {
    if (type_of(part_cell) != TYPE_INTEGER) series::bad_refine_arg(words::ref::part, part_cell);
    part = int32_t(part_cell->w2);
    if (part < 0) return -1;
  }
  int64_t seek = seek_cell ? count_of(seek_cell) : -1;
  cell target = file ? *file : cell{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_target(&target);
  auto failed = [&]() {
    if (file) cannot_open(&target);
    cell* out = file::load(reinterpret_cast<const uint8_t*>("/dev/stdout"), 11, stack::push_cell());
    cannot_open(out);
  };
  int fd = 1;
  // What print left in the C library's buffer comes first.
  if (!file) std::fflush(stdout);
  if (file) {
    std::string path;
    if (!local_path(file, path)) failed();
    int mode = platform::MODE_WRITE | (append ? platform::MODE_APPEND : 0) | (seek >= 0 ? platform::MODE_SEEK : 0);
    fd = platform::open_file(path.c_str(), mode);
    if (fd < 0) failed();
  }
  descriptor d(file ? fd : -1);
  if (seek > 0 && platform::seek_file(fd, seek) < 0) failed();
  if (append && platform::seek_end(fd) < 0) failed();

  int64_t last = 0;
  cell* value = stack::push(data);
  if (lines && type_of(value) == TYPE_BLOCK) {
    cell* each = stack::push_cell();
    for (int32_t i = 0; i < block::ks_length_q(value); ++i) {
      *each = *block::ks_abs_at(value, int32_t(value->w1) + i);
      if (!write_value(fd, each, -1, true, last)) failed();
    }
    stack::pop(1);
  } else if (!write_value(fd, value, part, lines, last)) {
    failed();
  }
  stack::pop(1);
  return last;
}

bool delete_(const cell* file) {
  std::string path;
  return local_path(file, path) && platform::delete_path(path.c_str(), dir_path_q(file));
}

bool rename(const cell* from, const cell* to) {
  std::string old_path, new_path;
  return local_path(from, old_path) && local_path(to, new_path) &&
         platform::rename_path(old_path.c_str(), new_path.c_str());
}

cell* query(const cell* file) {
  cell* out = stack::push_cell();
  *out = cell{TYPE_NONE, 0, 0, 0};
  std::string path;
  platform::file_time t;
  if (!local_path(file, path) || path.empty()) return out;
  bool directory = path.back() == '/' || path.back() == '\\';
  if (!platform::modified_time(path.c_str(), directory, t)) return out;
  return date::make_at_numbers(out, t.year, t.month, t.day, t.hour, t.minute, t.second, t.millisecond * 1000000);
}

bool make_dir(const cell* file) {
  std::string path;
  return local_path(file, path) && platform::make_dir(path.c_str());
}

bool exists_q(const cell* file) {
  std::string path;
  return local_path(file, path) && !path.empty() && platform::exists_q(path.c_str());
}

int64_t size_q(const cell* file) {
  std::string path;
  if (!local_path(file, path)) return -1;
  // Non-blocking, so that sizing a FIFO never waits for a writer.
  descriptor d(platform::open_file(path.c_str(), platform::MODE_READ | platform::MODE_NONBLOCK));
  if (d.fd < 0 || platform::directory_q(d.fd)) return -1;
  return platform::file_size(d.fd);
}

cell* size_at(cell* target, int64_t size) {
  if (size <= 0x7FFFFFFF) return integer::make_at(target, int32_t(size));
  return float_::make_at(target, double(size));
}

}  // namespace kez::simple_io
