#include "runtime/datatypes/url.h"

#include <algorithm>
#include <string>

#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/port.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/string_text.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/simple_io.h"
#include "runtime/stack.h"
#include "runtime/utf.h"

namespace kez::url {

namespace {

// Bit 0: file-safe; bit 1: unreserved. Indexed by byte, 0-126.
constexpr uint8_t SAFE_FILE = 1, SAFE_UNRESERVED = 2;
struct safe_table {
  uint8_t bits[127] = {};
  constexpr safe_table() {
    for (const char* p = "!#$&'()*+,-./:=?@_~"; *p; ++p) bits[uint8_t(*p)] = SAFE_FILE;
    for (int c = '0'; c <= '9'; ++c) bits[c] = SAFE_FILE | SAFE_UNRESERVED;
    for (int c = 'A'; c <= 'Z'; ++c) bits[c] = bits[c + 32] = SAFE_FILE | SAFE_UNRESERVED;
    for (const char* p = "-._~"; *p; ++p) bits[uint8_t(*p)] |= SAFE_UNRESERVED;
  }
};
constexpr safe_table SAFE;

int hex_digit(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

inline bool any_block_q(uint32_t type) { return type == TYPE_BLOCK || type == TYPE_PAREN || type == TYPE_HASH; }

// The UTF-8 form of a text from its head, as a private copy (the export
// scratch may move at the next allocation).
std::string utf8_copy(const cell* value) {
  cell copy = *value;
  collector::root_cells hold(&copy);
  int32_t n = -1;
  const uint8_t* p = string::utf8_bytes(&copy, n);
  return std::string(reinterpret_cast<const char*>(p), size_t(n));
}

void append_ascii(cell* target, const char* text, size_t n) {
  series_buffer* b = string::buffer_of(target);
  for (size_t i = 0; i < n; ++i) b = string::append_char(b, uint8_t(text[i]));
}

// Forms a value at the target's tail.
void form_into(cell* target, const cell* value) {
  cell item = *value;
  collector::root_cells hold(&item);
  actions::form_dispatch(&item, target, nullptr, 0x7FFFFFFF);
}

}  // namespace

bool file_safe_q(int32_t cp) { return cp >= 127 || (cp >= 0 && (SAFE.bits[cp] & SAFE_FILE)); }

bool hex_pair(const uint8_t* p, const uint8_t* end, uint8_t& byte) {
  if (end - p < 3 || p[0] != '%') return false;
  int hi = hex_digit(p[1]), lo = hex_digit(p[2]);
  if (hi < 0 || lo < 0) return false;
  byte = uint8_t(hi * 16 + lo);
  return true;
}

int encode_byte(int mode, uint8_t byte, char out[3]) {
  uint8_t want = mode == UNRESERVED ? SAFE_UNRESERVED : SAFE_FILE;
  if (byte < 127 && (SAFE.bits[byte] & want)) {
    out[0] = char(byte);
    return 1;
  }
  const char* hex = string::byte_to_hex(byte);
  out[0] = '%';
  out[1] = hex[0];
  out[2] = hex[1];
  return 3;
}

void decode_utf8(cell* source, cell* target) {
  std::string text = utf8_copy(source);
  auto p = reinterpret_cast<const uint8_t*>(text.data());
  const uint8_t* end = p + text.size();
  while (p < end) {
    uint8_t seq[4];
    int32_t cp = -1, used = 0;
    if (hex_pair(p, end, seq[0])) {
      int n = utf8::seq_length(seq[0]);
      if (n == 0) {
        cp = seq[0];
        used = 3;
      } else {
        int k = 1;
        while (k < n && hex_pair(p + 3 * k, end, seq[k])) ++k;
        if (k == n) {
          int32_t avail = n;
          cp = utf8::decode_sequence(seq, avail);
          if (cp < 0 || avail != n) utf8::fire_invalid(seq, size_t(n));
          used = 3 * n;
        }
      }
    }
    if (used == 0) {  // no escape here, or an escaped sequence cut short
      int32_t avail = int32_t(end - p);
      cp = utf8::decode_sequence(p, avail);
      if (cp < 0) utf8::fire_invalid(p, size_t(end - p));
      used = avail;
    }
    string::append_char(string::buffer_of(target), cp);
    p += used;
  }
}

void encode_utf8(cell* source, cell* target, int mode) {
  std::string text = utf8_copy(source);
  std::string out;
  out.reserve(text.size());
  for (unsigned char c : text) {
    char piece[3];
    out.append(piece, size_t(encode_byte(mode, c, piece)));
  }
  append_ascii(target, out.data(), out.size());
}

cell* load(const uint8_t* bytes, size_t size, cell* target) {
  if (!target) target = stack::push_cell();
  *target = cell{TYPE_UNSET, 0, 0, 0};
  cell* raw = string::load(bytes, size, nullptr);  // the encoded text, above target
  string::make_at_unit(target, uint32_t(size), 1);
  decode_utf8(raw, target);
  target->header = TYPE_URL;
  stack::pop(1);
  return target;
}

cell* push(const cell* value) { return stack::push(value); }

int32_t mold(const cell* value, cell* buffer, bool, bool, bool, const cell* arg, int32_t part, int32_t) {
  std::string text = utf8_copy(value);
  std::string out;
  for (unsigned char c : text) {
    char piece[3];
    out.append(piece, size_t(encode_byte(FILE_SAFE, c, piece)));
    if (arg && part >= 0 && out.size() >= size_t(part)) {
      out.resize(size_t(part));
      break;
    }
  }
  append_ascii(buffer, out.data(), out.size());
  return part - int32_t(out.size());
}

cell* to(cell* proto, const cell* spec, uint32_t type) {
  if (type != TYPE_URL || !any_block_q(type_of(spec))) return string::to(proto, spec, type);
  cell block = *spec;  // proto may be the cell spec came in
  collector::root_cells hold(&block);
  auto item = [&](uint32_t i) { return memory::buffer_of(block.w2)->head_cell() + block.w1 + i; };
  uint32_t used = memory::buffer_of(block.w2)->used() / sizeof(cell);
  uint32_t n = int32_t(block.w1) < 0 || block.w1 >= used ? 0 : used - block.w1;
  if (n == 0) {
    cell kind;
    datatype::make_at(&kind, TYPE_URL);
    error::fire(err::cat_script, err::script::bad_to_arg, &kind, &block);
  }
  string::make_at(proto, 32);
  proto->header = TYPE_URL;
  form_into(proto, item(0));  // scheme
  append_ascii(proto, "://", 3);
  if (n > 1) form_into(proto, item(1));  // host
  uint32_t i = 2;
  if (i < n && type_of(item(i)) == TYPE_INTEGER) {
    append_ascii(proto, ":", 1);
    form_into(proto, item(i++));  // port
  }
  for (bool first = true; i < n; ++i, first = false) {
    append_ascii(proto, !first && type_of(item(i)) == TYPE_ISSUE ? "#" : "/", 1);
    form_into(proto, item(i));
  }
  return proto;
}

cell* make(cell* proto, const cell* spec, uint32_t type) {
  if (type == TYPE_URL && any_block_q(type_of(spec))) return to(proto, spec, type);
  return string::make(proto, spec, type);
}

cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path, const cell*,
                const cell*, int32_t, bool, bool, bool, bool) {
  if (value) error::fire(err::cat_script, err::script::bad_path_set, path, element);
  cell* joined = string::make_at_unit(stack::push_cell(), uint32_t(string::ks_length_q(parent)) + 16,
                                      string::unit_of(string::buffer_of(parent)));
  form_into(joined, element);
  int32_t n = string::ks_length_q(parent);
  bool ends = n > 0 && string::ks_abs_at(parent, int32_t(string::head_index(parent)) + n - 1) == '/';
  bool starts = string::ks_length_q(joined) > 0 && string::ks_abs_at(joined, 0) == '/';
  if (!ends && !starts) string::insert_char_at(string::buffer_of(joined), 0, '/');
  else if (ends && starts) string::remove_char(joined, 0);
  cell base = *parent;  // the url itself is never changed
  collector::root_cells hold(&base);
  string::concatenate(joined, &base, -1, 0, true, string::CONCAT_INSERT);
  joined->header = type_of(parent);
  return joined;
}

namespace {

[[noreturn]] void not_done() { error::fire(err::cat_internal, err::internal::not_done); }

[[noreturn]] void invalid_arg(const cell* v) {
  cell c = *v;
  error::fire(err::cat_script, err::script::invalid_arg, &c);
}

// Texts starting with "http" (exact case, so https too) go to the HTTP
// client; every other scheme goes through a port.
bool http_q(const cell* u) {
  string::text_view v = string::view_of(u);
  return v.length >= 4 && v[0] == 'h' && v[1] == 't' && v[2] == 't' && v[3] == 'p';
}

cell* http_answer(cell* u, cell* answer) {
  if (type_of(answer) == TYPE_NONE) {
    cell target = *u;
    error::fire(err::cat_access, err::access::no_connect, &target);
  }
  return answer;
}

}  // namespace

cell* to_port(cell* u, bool new_, bool read_, bool write_, bool seek, const cell* allow, bool open) {
  cell target = *u;
  collector::root_cells keep(&target);
  // The library's url-parser/parse-url, with its refinement off.
  uint32_t name = symbol::make("parse-url");
  uint32_t parser_name = symbol::make("url-parser");
  cell word{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_word(&word);
  word::make_at(name, &word);
  cell* parser = context::get_value_cell(context::global, parser_name);
  cell* fn = parser && type_of(parser) == TYPE_OBJECT ? context::get_value_cell(parser->w1, name) : nullptr;
  if (!fn || type_of(fn) != TYPE_FUNCTION || !port::hooks.call_function) invalid_arg(&target);
  cell f = *fn;
  collector::root_cells keep_fn(&f);
  cell* spec = port::hooks.call_function(&f, &target, 1, &word);
  if (type_of(spec) != TYPE_OBJECT) invalid_arg(&target);
  port::make(spec, spec, TYPE_PORT);
  if (open) {
    // The answer is the port, whatever the actor's open answers.
    cell* opened = stack::push(spec);
    port::open(opened, new_, read_, write_, seek, allow);
    stack::pop(1);
  }
  return spec;
}

cell* open(cell* u, bool new_, bool read_, bool write_, bool seek, const cell* allow) {
  return to_port(u, new_, read_, write_, seek, allow, true);
}

cell* read(cell* source, const cell* part, const cell* seek, bool binary, bool lines, bool info, const cell* as) {
  if (http_q(source)) {
    if (part || seek || as) not_done();
    return http_answer(source, simple_io::request_http(symbol::make("get"), source, nullptr, nullptr, binary,
                                                       lines, info));
  }
  cell* port = to_port(source, false, false, false, false, nullptr, false);
  return port::read(port, part, seek, binary, lines, info, as);
}

cell* write(cell* destination, const cell* data, bool binary, bool lines, bool info, bool append,
            const cell* part, const cell* seek, const cell* allow, const cell* as) {
  cell d = *data;
  collector::root_cells keep(&d);
  if (!http_q(destination)) {
    cell* port = to_port(destination, false, false, true, false, nullptr, false);
    return port::write(port, &d, binary, lines, info, append, part, seek, allow, as);
  }
  if (seek || allow || as) not_done();
  // The request as a block: [method headers body], each part optional but
  // in this order; any other value is the body of a POST.
  uint32_t method = symbol::make("post");
  cell headers{TYPE_NONE, 0, 0, 0}, body = d;
  collector::root_cells keep_parts(&headers), keep_body(&body);
  if (type_of(&d) == TYPE_BLOCK) {
    int32_t n = std::max(block::ks_length_q(&d), 0);
    auto item = [&d](int32_t i) { return block::ks_abs_at(&d, int32_t(d.w1) + i); };
    if (n == 0) {
      method = symbol::make("get");
    } else {
      if (type_of(item(0)) != TYPE_WORD) invalid_arg(item(0));
      method = item(0)->w2;
      if (n > 1 && type_of(item(1)) != TYPE_BLOCK) invalid_arg(item(1));
      if (n > 1) headers = *item(1);
      body = n > 2 ? *item(2) : cell{TYPE_NONE, 0, 0, 0};
    }
  }
  uint32_t t = type_of(&body);
  if (t != TYPE_NONE && t != TYPE_BLOCK && t != TYPE_STRING && t != TYPE_BINARY) invalid_arg(&body);
  return http_answer(destination, simple_io::request_http(method, destination,
                                                          type_of(&headers) == TYPE_BLOCK ? &headers : nullptr,
                                                          t == TYPE_NONE ? nullptr : &body, binary, lines, info));
}

void init() {
  datatype::registration(TYPE_URL, TYPE_STRING, "url!")
      .inherit_all()
      .set<ACT_MAKE>(make)
      .set<ACT_TO>(to)
      .set<ACT_MOLD>(mold)
      .set<ACT_EVAL_PATH>(eval_path)
      .set<ACT_OPEN>(open)
      .set<ACT_READ>(read)
      .set<ACT_WRITE>(write)
      .commit();
}

}  // namespace kez::url
