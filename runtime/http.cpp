#include "runtime/http.h"

#include <string>
#include <string_view>
#include <vector>

#include "platform/http.h"
#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/lexer.h"
#include "runtime/simple_io.h"
#include "runtime/stack.h"

namespace kez::http {

namespace {

// Characters a header name (an HTTP token) may hold.
bool token_char_q(uint8_t c) {
  return c > 0x20 && c < 0x7F && c != ':' && c != '(' && c != ')' && c != '<' && c != '>' && c != '@' &&
         c != ',' && c != ';' && c != '\\' && c != '"' && c != '/' && c != '[' && c != ']' && c != '?' &&
         c != '=' && c != '{' && c != '}';
}

// Whether a header name loads back as one word (names such as "1", "1e5"
// or "%a" are tokens too, but load as other values: they stay strings, so
// that molded headers load again).
bool word_name_q(const uint8_t* name, size_t n) {
  cell dummy{TYPE_NONE, 0, 0, 0};
  int32_t consumed = 0;
  int32_t type = lexer::scan(&dummy, name, n, true, true, false, false, &consumed, nullptr, nullptr, nullptr);
  return type == int32_t(TYPE_WORD) && size_t(consumed) == n;
}

}  // namespace

cell* parse_headers(const uint8_t* text, size_t n, cell* target) {
  // The header lines first, each with the indented lines that continue it
  // (obsolete folding) joined by one space.
  struct field {
    std::string_view name;
    std::string value;
  };
  std::vector<field> fields;
  bool continues = false;  // the line before was a header a folded line may extend
  for (size_t start = 0; start < n;) {
    size_t end = start;
    while (end < n && text[end] != '\r' && text[end] != '\n') ++end;
    auto blank = [&](size_t i) { return text[i] == ' ' || text[i] == '\t'; };
    if (start < end && blank(start)) {
      if (continues) {
        size_t from = start;
        while (from < end && blank(from)) ++from;
        if (from < end) fields.back().value.append(" ").append(reinterpret_cast<const char*>(text + from), end - from);
      }
    } else {
      size_t colon = start;
      while (colon < end && text[colon] != ':') ++colon;
      bool token = colon > start && colon < end;
      for (size_t i = start; token && i < colon; ++i) token = token_char_q(text[i]);
      continues = token;
      if (token) {
        size_t from = colon + 1;
        while (from < end && blank(from)) ++from;
        fields.push_back({std::string_view(reinterpret_cast<const char*>(text + start), colon - start),
                          std::string(reinterpret_cast<const char*>(text + from), end - from)});
      }
    }
    start = end;
    if (start < n && text[start] == '\r') ++start;
    if (start < n && text[start] == '\n') ++start;
  }

  if (!target) target = stack::push_cell();
  map::make_at(target, nullptr, 40);
  cell* key = stack::push_cell();
  cell* value = stack::push_cell();
  cell* group = stack::push_cell();
  for (const field& f : fields) {
    const auto* name = reinterpret_cast<const uint8_t*>(f.name.data());
    if (word_name_q(name, f.name.size())) {
      word::make_at(symbol::make_from_buffer(name, uint32_t(f.name.size())), key);
    } else {
      string::make_at(key, uint32_t(f.name.size()));
      simple_io::append_text(key, name, f.name.size());
    }
    string::make_at(value, uint32_t(f.value.size()));
    simple_io::append_text(value, reinterpret_cast<const uint8_t*>(f.value.data()), f.value.size());
    cell* held = map::get_value(target, key, false, false);
    if (!held) {
      map::set_key(target, key, value, false);
    } else if (type_of(held) == TYPE_BLOCK) {
      *group = *held;
      block::ks_append(group, value);
    } else {
      cell first = *held;
      collector::root_cells keep(&first);
      block::make_at(group, 4);
      block::ks_append(group, &first);
      block::ks_append(group, value);
      map::set_key(target, key, group, false);
    }
  }
  stack::pop(3);
  return target;
}

}  // namespace kez::http

namespace kez::simple_io {

namespace {

[[noreturn]] void invalid_arg(const cell* v) {
  cell c = *v;
  error::fire(err::cat_script, err::script::invalid_arg, &c);
}

// The value's text as UTF-8: a string-like value's own, a word's name when
// words count as their name, anything else formed.
std::string text_of(const cell* v, bool word_name) {
  uint32_t t = type_of(v);
  if (word_name && t >= TYPE_WORD && t <= TYPE_GET_WORD)
    return std::string(symbol::get_c_string(v->w2), symbol::name_length(v->w2));
  cell* text = stack::push(v);
  if (t != TYPE_STRING) {
    cell item = *v;
    collector::root_cells keep(&item);
    string::make_at(text, 64);
    actions::form_dispatch(&item, text, nullptr, 0x7FFFFFFF);
  }
  int32_t n = -1;
  const uint8_t* bytes = string::utf8_bytes(text, n);
  std::string out(reinterpret_cast<const char*>(bytes), size_t(n));
  stack::pop(1);
  return out;
}

// A header line's part may not end the line early or hide a second header.
std::string header_part(const cell* v, bool name) {
  std::string s = text_of(v, name);
  if (s.find_first_of(std::string("\r\n\0", 3)) != std::string::npos || (name && (s.empty() || s.find(':') != std::string::npos)))
    invalid_arg(v);
  return s;
}

// The url as it goes on the wire: the text is held decoded, so what a URL
// may not carry bare (blanks, controls, quotes, "%", bytes past ASCII) is
// escaped again; the delimiters stay as written.
std::string wire_url(const cell* url) {
  cell u = *url;
  collector::root_cells keep(&u);
  int32_t n = -1;
  const uint8_t* bytes = string::utf8_bytes(&u, n);
  std::string out;
  out.reserve(size_t(n));
  static const char hex[] = "0123456789ABCDEF";
  for (int32_t i = 0; i < n; ++i) {
    uint8_t b = bytes[i];
    if (b <= 0x20 || b >= 0x7F || std::string_view("%\"<>\\^`{|}").find(char(b)) != std::string_view::npos) {
      out += '%';
      out += hex[b >> 4];
      out += hex[b & 15];
    } else {
      out += char(b);
    }
  }
  return out;
}

}  // namespace

cell* request_http(uint32_t method, const cell* url, const cell* headers, const cell* data, bool binary,
                   bool lines, bool info) {
  // Copies first: the cells may lie in a block that building the request moves.
  cell u = *url, body = data ? *data : cell{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&u), keep_body(&body);
  platform::http_request request;
  request.method.assign(symbol::get_c_string(method), symbol::name_length(method));
  for (char& c : request.method)
    if (c >= 'a' && c <= 'z') c = char(c - 32);
  request.url = wire_url(&u);
  if (headers) {
    cell list = *headers;
    collector::root_cells keep_list(&list);
    int32_t count = block::ks_length_q(&list);
    auto item = [&list](int32_t i) { return block::ks_abs_at(&list, int32_t(list.w1) + i); };
    // A name left without a value at the end goes out with an empty one.
    for (int32_t i = 0; i < count; i += 2) {
      std::string line = header_part(item(i), true) + ": ";
      if (i + 1 < count) line += header_part(item(i + 1), false);
      request.headers.push_back(std::move(line));
    }
  } else {
    request.headers = {"Content-Type: application/x-www-form-urlencoded", "Accept-Charset: UTF-8",
                       "User-Agent: Mozilla/5.0 (Windows NT 6.1; Win64; x64)"};
  }
  if (data && request.method != "GET" && request.method != "HEAD") {
    request.has_body = true;
    if (type_of(&body) == TYPE_BINARY)
      request.body.assign(reinterpret_cast<const char*>(binary::ks_head(&body)), size_t(binary::ks_length_q(&body)));
    else
      request.body = text_of(&body, false);
  }

  platform::http_response response;
  bool answered = platform::http_send(request, response);
  if (response.missing_library) error::fire_cannot_load(response.missing_library);
  // A body no series can hold is a memory limit, not a lost connection.
  if (response.too_large) error::fire(err::cat_internal, err::internal::no_memory);
  if (!answered) return none::push();
  const uint8_t* answer = reinterpret_cast<const uint8_t*>(response.body.data());
  if (!info) return make_value(&u, answer, response.body.size(), binary, lines);
  cell* result = block::make_at(stack::push_cell(), 3);
  cell* item = stack::push_cell();
  integer::make_at(item, int32_t(response.status));
  block::ks_append(result, item);
  http::parse_headers(reinterpret_cast<const uint8_t*>(response.headers.data()), response.headers.size(), item);
  block::ks_append(result, item);
  stack::pop(1);
  block::ks_append(result, make_value(&u, answer, response.body.size(), binary, lines));
  stack::pop(1);
  return result;
}

}  // namespace kez::simple_io
