// The natives that reach outside the evaluator: memory statistics and the
// collector, the clock and sleeping, the environment, files and child
// processes, local file names, checksums and compression, and the routines
// over the file layer and the system description (create-dir, exists?,
// write-stdout, os-info). Each validates its arguments, calls the service that does the
// work and shapes the result in arguments[0]; the services never raise for a
// platform failure, they answer none or a status.
#include <algorithm>
#include <ctime>
#include <string>

#include "gui/backend/view.h"
#include "runtime/call.h"
#include "runtime/clipboard.h"
#include "runtime/checksum.h"
#include "runtime/collector.h"
#include "runtime/compression.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/float.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/word.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/time.h"
#include "runtime/interpreter.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/simple_io.h"
#include "runtime/stack.h"
#include "runtime/stats.h"
#include "runtime/words.h"
#include "platform/os.h"

namespace kez::natives {

namespace {

inline cell* arg(int32_t n) { return stack::arguments + n; }

inline void result(const cell& v) { stack::set_last_keep(&v); }
inline void integer_result(int32_t n) { result(cell{TYPE_INTEGER, 0, uint32_t(n), 0}); }
inline void unset_result() { result(cell{TYPE_UNSET, 0, 0, 0}); }
inline void none_result() { result(cell{TYPE_NONE, 0, 0, 0}); }

// The bytes in use, as an integer! while they fit one.
void memory_in_use() {
  double used = memory::stats(0, 1);
  if (used <= 2147483647.0) integer_result(int32_t(used));
  else float_::box(used);
  stack::keep();
}

// Refinements: 0 /show, 1 /info.
uint32_t n_stats(int32_t, const int32_t* r) {
  if (r[0] >= 0 || r[1] >= 0) {
    cell* report = block::make_at(stack::push_cell(), 16);
    memory::stats(report->w2, 2);
    if (r[0] >= 0) {
      // The library prints the report.
      call_library("show-memory-stats", report, 1);
      unset_result();
      return 0;
    }
    stack::set_last_keep(report);
    return 0;
  }
  memory_in_use();
  return 0;
}

// Refinements: 0 /on, 1 /off.
uint32_t n_recycle(int32_t, const int32_t* r) {
  if (r[0] >= 0 || r[1] >= 0) {
    collector::set_enabled(r[0] >= 0);
    unset_result();
    return 0;
  }
  collector::do_cycle();
  memory_in_use();
  return 0;
}

// Refinements: 0 /year, 1 /month, 2 /day, 3 /time, 4 /zone, 5 /date,
// 6 /weekday, 7 /yearday, 8 /precise, 9 /utc.
uint32_t n_now(int32_t, const int32_t* r) {
  int picked = 0;
  for (int i = 0; i <= 8; ++i) picked += r[i] >= 0;
  bool precise = r[8] >= 0, utc = r[9] >= 0;
  if (picked > 1 && !(picked == 2 && precise && r[3] >= 0))
    error::fire(err::cat_script, err::script::bad_refines);
  // One reading of the clock gives both the date and the time of day, so
  // that a call at midnight cannot pair one day's date with the next's time.
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  uint32_t utc_word = platform::date_word(ts.tv_sec, true);
  uint32_t zone = utc ? 0 : platform::date_word(ts.tv_sec, false) & date::ZONE_MASK;
  double time = double(ts.tv_sec % 86400);
  if (precise) time += double(ts.tv_nsec / 100) / 1e7;
  int64_t days = date::day_number(utc_word);
  days = date::normalize_time(days, time, date::zone_seconds(zone));
  cell* now = date::push(date::from_day_number(days, zone | date::TIME_PRESENT), time);
  static constexpr int fields[] = {2, 3, 4, 6, 5, 1, 10};
  for (int i = 0; i <= 6; ++i) {
    if (r[i] >= 0) {
      cell* field = stack::push_cell();
      date::get_field(now, fields[i], field);
      stack::set_last_keep(field);
      return 0;
    }
  }
  if (r[7] >= 0) {
    integer_result(date::day_of_year(now->w1));
    return 0;
  }
  stack::set_last_keep(now);
  return 0;
}

uint32_t n_wait(int32_t, const int32_t*) {
  cell* value = arg(0);
  double seconds;
  switch (type_of(value)) {
    case TYPE_INTEGER: seconds = double(int32_t(value->w2)); break;
    case TYPE_FLOAT: seconds = float_::get(value); break;
    case TYPE_TIME: seconds = time::get(value); break;
    default: error::fire(err::cat_script, err::script::invalid_arg, value);
  }
  none_result();
  platform::wait(seconds);
  // Window events that came in meanwhile are handled before going on.
  if (gui::view::started()) gui::view::do_events(true);
  return 0;
}

// The UTF-8 name of an environment variable: a word's spelling or a text.
std::string variable_name(cell* var) {
  if (string::any_string_q(type_of(var))) {
    int32_t n = -1;
    const uint8_t* bytes = string::utf8_bytes(var, n);
    return std::string(reinterpret_cast<const char*>(bytes), size_t(n));
  }
  return std::string(symbol::get_c_string(var->w2), symbol::name_length(var->w2));
}

// Text of the environment: a byte that is not UTF-8 becomes U+FFFD, so one
// odd variable never makes the environment unreadable.
cell* env_text(const std::string& bytes, cell* target) {
  string::make_at(target, uint32_t(bytes.size()));
  simple_io::append_text(target, reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  return target;
}

uint32_t n_get_env(int32_t, const int32_t*) {
  std::string name = variable_name(arg(0));
  std::string value(256, '\0');
  size_t n = platform::get_env(name.c_str(), value.data(), value.size());
  if (n >= value.size()) {  // too small: n is the size needed
    value.assign(n, '\0');
    n = platform::get_env(name.c_str(), value.data(), value.size());
  }
  if (n == 0 || n >= value.size()) {
    none_result();
    return 0;
  }
  value.resize(n);
  stack::set_last_keep(env_text(value, stack::push_cell()));
  return 0;
}

uint32_t n_set_env(int32_t, const int32_t*) {
  std::string name = variable_name(arg(0));
  cell* value = arg(1);
  // A NUL would cut the name or value short at the system, and a name with
  // "=" or none at all is refused by it: nothing is set, and the answer says so.
  bool set = !name.empty() && name.find('\0') == std::string::npos && name.find('=') == std::string::npos;
  if (set && type_of(value) == TYPE_NONE) {
    set = platform::set_env(name.c_str(), nullptr);
  } else if (set) {
    int32_t n = -1;
    const uint8_t* bytes = string::utf8_bytes(value, n);
    std::string text(reinterpret_cast<const char*>(bytes), size_t(n));
    set = text.find('\0') == std::string::npos && platform::set_env(name.c_str(), text.c_str());
  }
  if (set) result(*value);
  else none_result();
  return 0;
}

// Refinements: 0 /full.
uint32_t n_to_local_file(int32_t, const int32_t* r) {
  cell* out = string::make_at(stack::push_cell(), 64);
  file::to_local(arg(0), out, r[0] >= 0);
  stack::set_last_keep(out);
  return 0;
}

// Bytes of a binary! from its head or the UTF-8 of a text, copied: a digest
// of one and a key from another must not share an export scratch that the
// second export could move.
std::string bytes_of(cell* value) {
  if (type_of(value) == TYPE_BINARY)
    return std::string(reinterpret_cast<const char*>(binary::ks_head(value)), size_t(binary::ks_length_q(value)));
  int32_t n = -1;
  const uint8_t* bytes = string::utf8_bytes(value, n);
  return std::string(reinterpret_cast<const char*>(bytes), size_t(n));
}

inline const uint8_t* data_of(const std::string& s) { return reinterpret_cast<const uint8_t*>(s.data()); }

void digest_result(const checksum::digest& d) {
  cell* out = binary::load(d.bytes, uint32_t(d.size));
  stack::set_last_keep(out);
}

// Refinements: 0 /with.
uint32_t n_checksum(int32_t, const int32_t* r) {
  cell* data = arg(0);
  cell* method_word = arg(1);
  const cell* spec = r[0] >= 0 ? arg(r[0]) : nullptr;
  int m = checksum::method_of(
      std::string_view(symbol::get_c_string(method_word->w2), symbol::name_length(method_word->w2)));
  if (m < 0) error::fire(err::cat_script, err::script::invalid_arg, method_word);
  if (type_of(data) == TYPE_FILE) {
    // The whole file as binary: the checksum is that of its bytes.
    cell* bytes = simple_io::read_file(data, -1, -1, true, false);
    if (!bytes) error::fire(err::cat_access, err::access::cannot_open, data);
    *data = *bytes;
    stack::pop(1);
  }
  auto method = checksum::method(m);
  switch (method) {
    case checksum::METHOD_CRC32: case checksum::METHOD_TCP: case checksum::METHOD_ADLER32: {
      if (spec) series::bad_refine_arg(words::ref::with, spec);
      std::string bytes = bytes_of(data);
      uint32_t sum = method == checksum::METHOD_CRC32 ? checksum::crc32(data_of(bytes), bytes.size())
                     : method == checksum::METHOD_TCP ? checksum::tcp(data_of(bytes), bytes.size())
                                                      : checksum::adler32(data_of(bytes), bytes.size());
      integer_result(int32_t(sum));
      return 0;
    }
    case checksum::METHOD_HASH:
      if (!spec) error::fire(err::cat_script, err::script::invalid_arg, method_word);
      if (type_of(spec) != TYPE_INTEGER) series::bad_refine_arg(words::ref::with, spec);
      checksum::hash_stub();
      integer_result(0);
      return 0;
    default:
      break;
  }
  if (!spec) {
    std::string bytes = bytes_of(data);
    digest_result(checksum::crypto_hash(data_of(bytes), bytes.size(), checksum::method_code(method)));
    return 0;
  }
  if (type_of(spec) == TYPE_INTEGER) series::bad_refine_arg(words::ref::with, spec);
  std::string key = bytes_of(const_cast<cell*>(spec));
  std::string bytes = bytes_of(data);
  auto mac = checksum::hmac(data_of(bytes), bytes.size(), data_of(key), key.size(), method);
  if (mac) digest_result(*mac);
  else none_result();
  return 0;
}


// --- Compression ---------------------------------------------------------------------

using codec = int (*)(uint8_t* out, size_t* out_size, const uint8_t* in, size_t length);

enum compression_method { METHOD_ZLIB, METHOD_DEFLATE, METHOD_GZIP };

// zlib, deflate or gzip, in any letter case; else Script Error invalid-arg.
compression_method compression_method_of(cell* word) {
  static constexpr uint32_t slots[] = {words::sym::zlib, words::sym::deflate, words::sym::gzip};
  uint32_t id = symbol::resolve(word->w2);
  for (int m = METHOD_ZLIB; m <= METHOD_GZIP; ++m)
    if (symbol::resolve(words::symbols[slots[m]]) == id) return compression_method(m);
  error::fire(err::cat_script, err::script::invalid_arg, word);
}

// Buffers never exceed what a signed 32-bit byte count can describe.
constexpr uint64_t MAX_BINARY = 0x7FFFFFF0;

// Fills out (a data-stack cell) with an empty binary! of `capacity` bytes.
void output_buffer(cell* out, uint64_t capacity) {
  if (capacity > MAX_BINARY) error::fire(err::cat_internal, err::internal::no_memory);
  binary::make_at(out, uint32_t(capacity));
}

// Ends the binary at `size` bytes, moving it to a buffer of its own size
// when most of its capacity would lie unused.
void finish_output(cell* out, size_t size) {
  series_buffer* b = memory::buffer_of(out->w2);
  b->tail = b->head + uint32_t(size);
  size_t capacity = size_t(b->end() - b->head_ptr());
  if (capacity - size > 4096 && capacity - size > size / 4)
    memory::expand_series(b, int64_t(std::max<size_t>((size + 15) & ~size_t(15), 16)));
  stack::set_last_keep(out);
}

// The bytes a codec reads: a binary!'s from its head, a text's UTF-8 in its
// export scratch; valid until the next allocation.
const uint8_t* codec_input(cell* data, size_t* length) {
  if (type_of(data) == TYPE_BINARY) {
    *length = size_t(binary::ks_length_q(data));
    return binary::ks_head(data);
  }
  int32_t n = -1;
  const uint8_t* bytes = string::utf8_bytes(data, n);
  *length = size_t(n);
  return bytes;
}

// Runs the codec into a new binary! of `capacity` bytes, and once more when
// the codec answers the size it needs; any failure raises invalid-data.
void code_into_binary(codec c, cell* data, uint64_t capacity) {
  cell* out = stack::push_cell();
  for (int attempt = 0;; ++attempt) {
    output_buffer(out, capacity);
    size_t length;
    const uint8_t* in = codec_input(data, &length);  // after the allocation, which may move it
    size_t size = size_t(capacity);
    int result = c(binary::ks_head(out), &size, in, length);
    if (result == compression::OK) {
      finish_output(out, size);
      return;
    }
    // The size needed is exact: a second shortfall cannot happen.
    if (result != compression::TOO_SMALL || attempt > 0)
      error::fire(err::cat_script, err::script::invalid_data, data);
    capacity = size;
  }
}

uint32_t n_compress(int32_t, const int32_t*) {
  static constexpr codec encoders[] = {deflate::zlib, deflate::compress, deflate::gzip};
  static constexpr size_t overhead[] = {compression::ZLIB_MINIMUM, 0, compression::GZIP_MINIMUM};
  cell* data = arg(0);
  compression_method m = compression_method_of(arg(1));
  size_t length;
  codec_input(data, &length);
  // A buffer that always holds the result: one pass.
  code_into_binary(encoders[m], data, deflate::bound(length) + overhead[m]);
  return 0;
}

// Refinements: 0 /size.
uint32_t n_decompress(int32_t, const int32_t* r) {
  static constexpr codec decoders[] = {inflate::zlib, inflate::decompress, inflate::gzip};
  cell* data = arg(0);
  compression_method m = compression_method_of(arg(1));
  uint64_t most = compression::MAX_RATIO * uint64_t(binary::ks_length_q(data));  // no stream gives more
  // The first guess: the size given, four times the input, or for gzip an
  // empty buffer, for which the decoder answers the size its member states.
  uint64_t capacity = std::min<uint64_t>(std::max<uint64_t>(4 * uint64_t(binary::ks_length_q(data)), 256), most);
  if (m == METHOD_GZIP) {
    capacity = 0;
  } else if (r[0] >= 0) {
    cell* size = arg(r[0]);
    if (int32_t(size->w2) < 0) error::fire(err::cat_script, err::script::invalid_arg, size);
    capacity = std::min<uint64_t>(size->w2, most);
  }
  // Only a size the decoder needs may fail for being too large.
  code_into_binary(decoders[m], data, std::min(capacity, MAX_BINARY));
  return 0;
}

uint32_t n_list_env(int32_t, const int32_t*) {
  auto vars = platform::list_env();
  cell* env = map::make_at(stack::push_cell(), nullptr, int32_t(vars.size() * 2 + 2));
  cell* key = stack::push_cell();
  cell* value = stack::push_cell();
  for (const auto& [name, text] : vars) {
    env_text(name, key);
    env_text(text, value);
    map::set_key(env, key, value, true);  // names differ by case on this system
  }
  stack::set_last_keep(env);
  return 0;
}

// Refinements: 0 /wait, 1 /show, 2 /console, 3 /shell, 4 /input, 5 /output,
// 6 /error.
uint32_t n_call(int32_t, const int32_t* r) {
  auto opt = [&](int k) { return r[k] >= 0 ? arg(r[k]) : nullptr; };
  int64_t status = call::execute(arg(0), r[0] >= 0, r[1] >= 0, r[2] >= 0, r[3] >= 0, opt(4), opt(5), opt(6));
  integer_result(int32_t(status));
  return 0;
}

uint32_t n_size_q(int32_t, const int32_t*) {
  int64_t size = simple_io::size_q(arg(0));
  if (size < 0) none_result();
  else stack::set_last_keep(simple_io::size_at(stack::push_cell(), size));
  return 0;
}

uint32_t n_browse(int32_t, const int32_t*) {
  call::browse(arg(0));
  unset_result();
  return 0;
}

// --- Routines over the file layer and the system description ---------------

const cell unset_value{TYPE_UNSET, 0, 0, 0};

inline cell* param_cell(uint64_t p) { return reinterpret_cast<cell*>(uintptr_t(p)); }
inline uint64_t answer_cell(const cell* c) { return reinterpret_cast<uintptr_t>(c); }

uint64_t r_create_dir(const uint64_t* p) {
  if (!simple_io::make_dir(param_cell(p[0]))) error::fire(err::cat_access, err::access::no_create, param_cell(p[0]));
  return answer_cell(&unset_value);
}

uint64_t r_exists_q(const uint64_t* p) { return simple_io::exists_q(param_cell(p[0])); }

uint64_t r_write_stdout(const uint64_t* p) {
  simple_io::write(nullptr, param_cell(p[0]), nullptr, nullptr, false, false, false);
  return answer_cell(&unset_value);
}

uint64_t r_os_info(const uint64_t*) {
  platform::os_description os = platform::os_info();
  cell* info = object::make_empty_at(stack::push_cell(), 8);
  cell* field = stack::push_cell();
  cell* value = stack::push_cell();
  auto add = [&](const char* name) {
    word::make_at(symbol::make(name), field);
    context::add_word_value(info->w1, field, value);
  };
  string::load(reinterpret_cast<const uint8_t*>(os.name.data()), os.name.size(), value);
  add("name");
  word::make_at(symbol::make(os.arch.c_str()), value);
  add("arch");
  tuple::make_at(value, os.version, 3);
  add("version");
  *value = cell{TYPE_INTEGER, 0, uint32_t(os.build), 0};
  add("build");
  return answer_cell(info);
}

uint64_t r_read_clipboard(const uint64_t*) { return answer_cell(clipboard::read()); }

// Raw: its argument may be any value, an integer! among them, so it takes the
// cell itself.
uint64_t r_write_clipboard(const uint64_t* p) {
  static const cell yes{TYPE_LOGIC, 1, 0, 0}, no{TYPE_LOGIC, 0, 0, 0};
  return answer_cell(clipboard::write(param_cell(p[0])) ? &yes : &no);
}

uint64_t r_read_primary(const uint64_t*) { return answer_cell(clipboard::read_primary()); }

uint64_t r_write_primary(const uint64_t* p) {
  static const cell yes{TYPE_LOGIC, 1, 0, 0}, no{TYPE_LOGIC, 0, 0, 0};
  return answer_cell(clipboard::write_primary(param_cell(p[0])) ? &yes : &no);
}

}  // namespace

cell* call_library(const char* name, const cell* args, uint32_t count) {
  cell fn_name = *word::push_from_symbol(symbol::make(name));
  stack::pop(1);
  cell fn = *context::get(&fn_name);
  collector::root_cells keep(&fn), keep_name(&fn_name);
  if (type_of(&fn) != TYPE_FUNCTION) error::fire(err::cat_script, err::script::no_value, &fn_name);
  return interpreter::call_function_with(&fn, args, count, &fn_name);
}

void register_system_routines(routine_list& list) {
  list.push_back({"create-dir", "[\"Create the given directory\" path [file!]]", r_create_dir, true});
  list.push_back({"exists?", "[\"Returns TRUE if the file exists\" path [file!] return: [logic!]]", r_exists_q, false});
  list.push_back({"write-stdout", "[\"Write data to STDOUT\" data [any-type!]]", r_write_stdout, true});
  list.push_back({"os-info", "[\"Returns detailed operating system version information\"]", r_os_info, true});
  list.push_back({"read-clipboard",
                  "[\"Return the contents of the system clipboard\" return: [any-type!] \"false on failure, none if "
                  "empty, otherwise: string!, block! of files!, or an image!\"]",
                  r_read_clipboard, true});
  list.push_back({"write-clipboard",
                  "[\"Write content to the system clipboard\" data [any-type!] \"string!, block! of files!, an image! "
                  "or none!\" return: [logic!] \"indicates success\"]",
                  r_write_clipboard, true});
  // The selected-text selection (PRIMARY on X), for the console's own selection.
  list.push_back({"_read-primary", "[return: [string! none!]]", r_read_primary, true});
  list.push_back({"_write-primary", "[text [string!] return: [logic!]]", r_write_primary, true});
}

void register_system(entry* slots) {
  slots[36] = n_stats;
  slots[84] = n_to_local_file;
  slots[85] = n_wait;
  slots[86] = n_checksum;
  slots[92] = n_set_env;
  slots[93] = n_get_env;
  slots[94] = n_list_env;
  slots[95] = n_now;
  slots[102] = n_compress;
  slots[103] = n_decompress;
  slots[98] = n_call;
  slots[100] = n_size_q;
  slots[101] = n_browse;
  slots[104] = n_recycle;
}

}  // namespace kez::natives
