// Shared by the fuzz targets of library code written in Kez: the runtime and
// its library boot once, and each input runs on a thread with a large
// machine stack, as the interpreter does on its own runtime thread (the
// library's recursive functions nest deep there).
#pragma once

#include <pthread.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "runtime/actions.h"
#include "runtime/boot.h"
#include "runtime/collector.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/interpreter.h"
#include "runtime/stack.h"
#include "runtime/thrown.h"

namespace kez::fuzz {

// What a target checks: decode takes the input text and answers
// `decoded` (any type when 0; for input it refuses, an error! value or none; never a
// raised error); encode writes that value back as `encoded`; with reload,
// decoding what encode wrote gives the same value.
struct codec_check {
  // A global's name, or a global object's name and its field's (else null).
  const char* decode[2];
  const char* encode[2];
  uint32_t decoded, encoded;
  bool reload;
};

struct job {
  const codec_check* check;
  const uint8_t* data;
  size_t size;
};

void check_codec(const codec_check& c, const uint8_t* data, size_t size);

inline void* run_job(void* p) {
  static bool booted = (boot::init(), true);
  (void)booted;
  auto* j = static_cast<job*>(p);
  cell* base = stack::top;
  check_codec(*j->check, j->data, j->size);
  stack::top = base;
  return nullptr;
}

// Runs the check on a thread with a 256 MiB stack and waits for it.
inline void run(const codec_check& check, const uint8_t* data, size_t size) {
  job j{&check, data, size};
  pthread_attr_t attr;
  pthread_attr_init(&attr);
  pthread_attr_setstacksize(&attr, size_t{256} << 20);
  pthread_t thread;
  if (pthread_create(&thread, &attr, run_job, &j) != 0) std::abort();
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attr);
}

// The function at a path of names from the global context (a global, or a
// field of a global object).
inline cell function_at(const char* const (&path)[2]) {
  cell value{TYPE_NONE, 0, 0, 0};
  bool first = true;
  for (const char* name : path) {
    if (!name) break;
    cell w = *word::load(name);
    stack::pop(1);
    if (first) {
      value = *context::get(&w);
    } else {
      cell* field = type_of(&value) == TYPE_OBJECT ? context::get_value_cell(value.w1, w.w2) : nullptr;
      if (!field) std::abort();
      value = *field;
    }
    first = false;
  }
  if (type_of(&value) != TYPE_FUNCTION) std::abort();
  return value;
}

// Calls a library function with its refinements off; the result cell is
// copied out. A raised error aborts: these functions answer bad input with
// a value.
inline cell call(const cell& fn, const cell& arg) {
  cell f = fn, a = arg;
  collector::root_cells keep_f(&f), keep_a(&a);
  try {
    return *interpreter::call_function_with(&f, &a, 1);
  } catch (const thrown&) {
    std::abort();
  }
}

inline std::string molded(const cell& value) {
  cell v = value;
  collector::root_cells keep(&v);
  cell* buffer = string::make_at(stack::push_cell(), 64);
  actions::mold_dispatch(&v, buffer, false, true, true, nullptr, 0x7FFFFFFF, 0);
  int32_t length = -1;
  const uint8_t* bytes = string::utf8_bytes(buffer, length);
  std::string text(reinterpret_cast<const char*>(bytes), size_t(length));
  stack::pop(1);
  return text;
}

// The input as a string! value, or false when it is not valid UTF-8.
inline bool text_of(const uint8_t* data, size_t size, cell& out) {
  try {
    out = *string::load(data, size, nullptr);
    return true;
  } catch (const thrown&) {
    return false;
  }
}

inline void check_codec(const codec_check& c, const uint8_t* data, size_t size) {
  cell text;
  if (!text_of(data, size, text)) return;
  collector::root_cells keep_text(&text);
  cell decode = function_at(c.decode), encode = function_at(c.encode);
  collector::root_cells keep_decode(&decode), keep_encode(&encode);
  cell value = call(decode, text);
  collector::root_cells keep_value(&value);
  if (type_of(&value) == TYPE_ERROR || type_of(&value) == TYPE_NONE) return;
  if (c.decoded && type_of(&value) != c.decoded) std::abort();
  cell written = call(encode, value);
  collector::root_cells keep_written(&written);
  if (type_of(&written) != c.encoded) std::abort();
  if (!c.reload) return;
  cell again = call(decode, written);
  // Infinity and NaN have no JSON text: they are written as null.
  std::string before = molded(value);
  if (before.find(".#") == std::string::npos && molded(again) != before) std::abort();
}

}  // namespace kez::fuzz
