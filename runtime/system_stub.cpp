#include "runtime/system_stub.h"

#include <cstdio>
#include <cstring>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/port.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/ownership.h"
#include "runtime/stack.h"

namespace kez::system_stub {

namespace {

// A word's spelling through the symbol table (valid until the next allocation).
const char* symbol_name(const cell* w) {
  return any_word_q(type_of(w)) && w->w2 ? symbol::get_c_string(w->w2) : nullptr;
}
// A word! of that spelling bound in the global context.
void global_word(cell* target, const char* name) {
  uint32_t id = symbol::make(name);
  word::make_at(id, target);
}

}  // namespace

services hooks;

namespace {

// The library's system object once it exists; none until then (and in
// programs that never load the library), when the stand-ins below answer.
cell system_object{TYPE_NONE, 0, 0, 0};
bool system_marked = false;
void mark_system() { collector::mark_values(&system_object, &system_object + 1); }

// The value cell at a path of field names from the system object, or null
// (valid until the next allocation).
cell* field(std::initializer_list<const char*> names) {
  if (type_of(&system_object) != TYPE_OBJECT) return nullptr;
  // The symbols are looked up first: interning one may allocate.
  uint32_t symbols[8];
  size_t n = 0;
  for (const char* name : names) {
    if (n == 8) return nullptr;
    symbols[n++] = symbol::make(name);
  }
  const cell* at = &system_object;
  cell* value = nullptr;
  for (size_t i = 0; i < n; ++i) {
    if (type_of(at) != TYPE_OBJECT) return nullptr;
    value = context::get_value_cell(at->w1, symbols[i]);
    if (!value) return nullptr;
    at = value;
  }
  return value;
}

// Text of a word or string as ASCII/UTF-8 into out (at most size - 1 bytes).
bool text_of(const cell* value, char* out, size_t size) {
  if (any_word_q(type_of(value))) {
    const char* name = symbol::get_c_string(value->w2);
    std::snprintf(out, size, "%s", name);
    return true;
  }
  if (type_of(value) != TYPE_STRING) return false;
  size_t n = 0;
  for (int32_t i = int32_t(value->w1), end = string::ks_abs_length_q(value); i < end && n + 5 < size; ++i) {
    uint32_t cp = uint32_t(string::ks_abs_at(value, i));
    if (cp < 0x80) out[n++] = char(cp);
    else if (cp < 0x800) { out[n++] = char(0xC0 | cp >> 6); out[n++] = char(0x80 | (cp & 0x3F)); }
    else if (cp < 0x10000) { out[n++] = char(0xE0 | cp >> 12); out[n++] = char(0x80 | ((cp >> 6) & 0x3F)); out[n++] = char(0x80 | (cp & 0x3F)); }
    else { out[n++] = char(0xF0 | cp >> 18); out[n++] = char(0x80 | ((cp >> 12) & 0x3F)); out[n++] = char(0x80 | ((cp >> 6) & 0x3F)); out[n++] = char(0x80 | (cp & 0x3F)); }
  }
  out[n] = 0;
  return true;
}

cell* currency_list() {
  cell* list = field({"locale", "currencies", "list"});
  return list && type_of(list) == TYPE_BLOCK ? list : nullptr;
}

}  // namespace

void bind_system(const cell* system) {
  system_object = *system;
  if (!system_marked) {
    collector::add_marker(mark_system);
    system_marked = true;
  }
}
void release_system() { system_object = cell{TYPE_NONE, 0, 0, 0}; }
cell* system_field(std::initializer_list<const char*> names) { return field(names); }

namespace {

const char* const start_months[12] = {"January", "February", "March",     "April",   "May",      "June",
                                      "July",    "August",   "September", "October", "November", "December"};
const char* months[12];

// The start-up currency list, in its fixed order.
const char start_currencies[] =
    "AED AFN ALL AMD ANG AOA ARS AUD AWG AZN BAM BBD BDT BTC BGN BHD BIF BMD BND BOB BRL BSD BTN BWP "
    "BYN BZD CAD CDF CHF CKD CLP CNY COP CRC CUC CUP CVE CZK DJF DKK DOP DZD EGP ERN ETB ETH EUR FJD "
    "FKP FOK GBP GEL GGP GHS GIP GMD GNF GTQ GYD HKD HNL HRK HTG HUF IDR ILS IMP INR IQD IRR ISK JEP "
    "JMD JOD JPY KES KGS KHR KID KMF KPW KRW KWD KYD KZT LAK LBP LKR LRD LSL LYD MAD MDL MGA MKD MMK "
    "MNT MOP MRU MUR MVR MWK MXN MYR MZN NAD NGN NIO NOK NPR NZD OMR PAB PEN PGK PHP PKR PLN PND PRB "
    "PYG QAR KEZ RON RSD RUB RWF SAR SBD SCR SDG SEK SGD SHP SLL SLS SOS SRD SSP STN SYP SZL THB TJS "
    "TMT TND TOP TRY TTD TVD TWD TZS UAH UGX USD UYU UZS VES VND VUV WST CFA XAF XCD XOF CFP XPF YER "
    "ZAR ZMW";
constexpr int32_t MAX_CURRENCIES = 255;
char currencies[MAX_CURRENCIES][4];
int32_t currency_total;

bool digits_present;
int32_t digits_value;

// system/catalog/accessors: the field words of each scalar type, in index order.
struct accessor_row {
  uint32_t type;
  const char* const* words;
  int32_t count;
};
const char* const date_words[] = {"date",   "year",    "month",   "day",      "zone", "time",   "hour",
                                  "minute", "second",  "weekday", "yearday",  "timezone", "week", "isoweek",
                                  "julian"};
const char* const xy_words[] = {"x", "y", "z"};
const char* const time_words[] = {"hour", "minute", "second"};
const char* const money_words[] = {"code", "amount"};
const char* const image_words[] = {"size", "argb", "rgb", "alpha"};
const accessor_row accessor_rows[] = {
    {TYPE_DATE, date_words, 15}, {TYPE_IMAGE, image_words, 4}, {TYPE_PAIR, xy_words, 2},    {TYPE_POINT2D, xy_words, 2},
    {TYPE_POINT3D, xy_words, 3}, {TYPE_TIME, time_words, 3}, {TYPE_MONEY, money_words, 2},
};

bool same_ascii_q(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    char x = *a >= 'A' && *a <= 'Z' ? char(*a + 32) : *a;
    char y = *b >= 'A' && *b <= 'Z' ? char(*b + 32) : *b;
    if (x != y) return false;
  }
  return *a == *b;
}

struct starter {
  starter() { reset(); }
} start_state;

}  // namespace

void reset() {
  hooks = services{};
  hooks.word_name = symbol_name;
  hooks.make_word = global_word;
  for (int i = 0; i < 12; ++i) months[i] = start_months[i];
  currency_total = 0;
  for (const char* p = start_currencies; *p; p += p[3] ? 4 : 3) {
    std::memcpy(currencies[currency_total], p, 3);
    currencies[currency_total++][3] = 0;
  }
  digits_present = true;
  digits_value = 2;
}

bool load_as(const cell* text, uint32_t type, cell* out) {
  if (!string::any_string_q(type_of(text)) || !hooks.load_value) return false;
  cell loaded;
  if (!hooks.load_value(text, &loaded) || type_of(&loaded) != type) return false;
  *out = loaded;
  return true;
}

const char* month_name(int32_t month) {
  if (month < 1 || month > 12) return nullptr;
  if (cell* list = field({"locale", "months"})) {
    static char name[64];
    if (type_of(list) != TYPE_BLOCK || block::ks_length_q(list) < month) return nullptr;
    return text_of(block::ks_abs_at(list, int32_t(list->w1) + month - 1), name, sizeof name) ? name : nullptr;
  }
  return months[month - 1];
}
void set_month_name(int32_t month, const char* name) {
  if (month >= 1 && month <= 12) months[month - 1] = name;
}

int32_t currency_count() {
  if (cell* list = currency_list()) return block::ks_length_q(list);
  return currency_total;
}
const char* currency_code(int32_t index) {
  if (cell* list = currency_list()) {
    // Two callers may hold a code each (a comparison of two amounts).
    static char codes[2][8];
    static int turn = 0;
    if (index < 1 || index > block::ks_length_q(list) || index > MAX_CURRENCIES + 1) return nullptr;
    char* out = codes[turn ^= 1];
    return text_of(block::ks_abs_at(list, int32_t(list->w1) + index - 1), out, sizeof codes[0]) ? out : nullptr;
  }
  return index >= 1 && index <= currency_total ? currencies[index - 1] : nullptr;
}
int32_t currency_index(const char* name, int32_t length) {
  if (length != 3) return -1;
  char folded[4] = {name[0], name[1], name[2], 0};
  if (cell* list = currency_list()) {
    for (int32_t i = 0, n = block::ks_length_q(list); i < n && i <= MAX_CURRENCIES; ++i) {
      char code[8];
      if (text_of(block::ks_abs_at(list, int32_t(list->w1) + i), code, sizeof code) && same_ascii_q(folded, code))
        return i + 1;
    }
    return -1;
  }
  for (int32_t i = 0; i < currency_total; ++i)
    if (same_ascii_q(folded, currencies[i])) return i + 1;
  return -1;
}
bool add_currency(const char* code) {
  if (currency_total >= MAX_CURRENCIES || std::strlen(code) != 3) return false;
  for (int i = 0; i < 3; ++i) {
    char c = code[i] >= 'a' && code[i] <= 'z' ? char(code[i] - 32) : code[i];
    if (c < 'A' || c > 'Z') return false;
    currencies[currency_total][i] = c;
  }
  currencies[currency_total++][3] = 0;
  return true;
}

bool has_money_digits() {
  if (cell* digits = field({"options", "money-digits"})) return type_of(digits) == TYPE_INTEGER;
  return digits_present;
}
int32_t money_digits() {
  if (cell* digits = field({"options", "money-digits"})) return type_of(digits) == TYPE_INTEGER ? int32_t(digits->w2) : 2;
  return digits_value;
}
void set_money_digits(bool present, int32_t digits) {
  digits_present = present;
  digits_value = digits;
}

bool word_q(const cell* value) {
  uint32_t t = type_of(value);
  return t == TYPE_WORD || t == TYPE_SET_WORD || t == TYPE_LIT_WORD || t == TYPE_GET_WORD;
}

int32_t accessor_word_index(uint32_t type, const cell* element) {
  if (!word_q(element) || !hooks.word_name) return 0;
  const char* name = hooks.word_name(element);
  if (!name) return 0;
  for (const accessor_row& row : accessor_rows) {
    if (row.type != type) continue;
    for (int32_t i = 0; i < row.count; ++i)
      if (same_ascii_q(name, row.words[i])) return type == TYPE_DATE && i == 14 ? 11 : i + 1;  // julian is yearday
  }
  return 0;
}

int32_t accessor_index(uint32_t type, const cell* element) {
  if (type_of(element) == TYPE_INTEGER) return int32_t(element->w2);
  return accessor_word_index(type, element);
}

void scalar_changed(const cell* holder, const cell* field, int32_t index, const cell* old_value,
                    const cell* scalar) {
  if (!holder) return;
  if (type_of(holder) == TYPE_OBJECT) {
    if (hooks.object_set && field) hooks.object_set(holder, field, old_value, scalar);
    return;
  }
  ownership::check(holder, ownership::POKED, scalar, index, 1);
}

// --- Ports ---------------------------------------------------------------------

// The bodies of system/schemes, system/standard/url-parts and
// system/standard/port, each made into an object! in this order.
const char port_objects[] =
    "[] "
    "[scheme: user-info: host: port: path: target: query: fragment: ref: none] "
    "[spec: scheme: actor: awake: state: data: extra: none]";

namespace {

cell* make_object(cell* target, const cell* proto, const cell* spec) {
  cell p = *proto;
  collector::root_cells keep(&p);
  object::make(&p, spec, TYPE_OBJECT);
  *target = p;
  return target;
}

cell* copy_object(cell* target, const cell* source) {
  return object::copy_into(source, target, false, nullptr, true);
}

// The object layer ends indented fields with a line break; port! writes its
// own before the closing bracket, so the last one is taken back.
int32_t mold_fields(const cell* object, cell* buffer, bool all, bool flat, int32_t part, int32_t indent) {
  part = object::serialize(object, buffer, false, all, flat, !flat, indent, true, part);
  int32_t last = string::ks_abs_length_q(buffer) - 1;
  if (!flat && last >= 0 && string::ks_abs_at(buffer, last) == '\n') {
    string::remove_char(buffer, uint32_t(last));
    ++part;
  }
  return part;
}

}  // namespace

// system/schemes as the library leaves it: a block of name/spec pairs that
// register-scheme grows.
static const cell* current_schemes() { return field({"schemes"}); }

void release_ports() { port::hooks.schemes = nullptr; }

void init_ports(const cell* bodies) {
  port::hooks.make_object = make_object;
  port::hooks.copy_object = copy_object;
  port::hooks.mold_fields = mold_fields;
  port::hooks.call_function = interpreter::call_function_with;
  port::hooks.schemes = current_schemes;

  cell source = *bodies;
  collector::root_cells keep_source(&source);
  cell made[3];
  for (cell& m : made) m = cell{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_made(made, 3);
  for (int32_t i = 0; i < 3; ++i) {
    cell body = *block::ks_abs_at(&source, i);
    collector::root_cells keep_body(&body);
    datatype::make_at(&made[i], TYPE_OBJECT);
    object::make(&made[i], &body, TYPE_OBJECT);
  }
  port::set_system(&made[0], &made[1], &made[2]);

}

}  // namespace kez::system_stub
