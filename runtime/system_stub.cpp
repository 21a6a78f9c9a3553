#include "runtime/system_stub.h"

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
  *target = cell{TYPE_NONE, 0, 0, 0};  // no flags of the old value survive
  word::make_at(id, target);
}

}  // namespace

services hooks;

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

const char* month_name(int32_t month) { return month >= 1 && month <= 12 ? months[month - 1] : nullptr; }
void set_month_name(int32_t month, const char* name) {
  if (month >= 1 && month <= 12) months[month - 1] = name;
}

int32_t currency_count() { return currency_total; }
const char* currency_code(int32_t index) {
  return index >= 1 && index <= currency_total ? currencies[index - 1] : nullptr;
}
int32_t currency_index(const char* name, int32_t length) {
  if (length != 3) return -1;
  char folded[4] = {name[0], name[1], name[2], 0};
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

bool has_money_digits() { return digits_present; }
int32_t money_digits() { return digits_value; }
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

namespace {

// The bodies of system/schemes, system/standard/url-parts and
// system/standard/port, each made into an object! in this order.
const char port_objects[] =
    "[] "
    "[scheme: user-info: host: port: path: target: query: fragment: ref: none] "
    "[spec: scheme: actor: awake: state: data: extra: none]";

const char register_scheme_spec[] =
    "[\"Registers a new scheme\" spec [object!] \"Scheme definition\" /native dispatch [handle!]]";

// The same object port! looks schemes up in; marked here too, so that this
// copy follows it when the collector moves its context.
cell schemes{TYPE_NONE, 0, 0, 0};
void mark_schemes() { collector::mark_values(&schemes, &schemes + 1); }
bool schemes_marked = false;

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

uint32_t n_register_scheme(int32_t, const int32_t* refinements) {
  cell spec = stack::arguments[0];
  collector::root_cells keep(&spec);
  if (refinements[0] >= 0) {
    cell handle = stack::arguments[refinements[0]];
    if (cell* actor = context::get_value_cell(spec.w1, symbol::make("actor"))) *actor = handle;
  }
  cell* name = context::get_value_cell(spec.w1, symbol::make("name"));
  if (!name || !any_word_q(type_of(name))) error::fire(err::cat_access, err::access::no_scheme, &spec);
  if (object::find_index(&schemes, name->w2) < 0) {
    cell word{TYPE_WORD, 0, name->w2, 0xFFFFFFFFu};
    context::add_word_value(schemes.w1, &word, &spec);
  }
  stack::arguments[0] = cell{TYPE_NONE, 0, 0, 0};
  return 0;
}

}  // namespace

void release_ports() { schemes = cell{TYPE_NONE, 0, 0, 0}; }

void init_ports() {
  port::hooks.make_object = make_object;
  port::hooks.copy_object = copy_object;
  port::hooks.mold_fields = mold_fields;
  port::hooks.call_function = interpreter::call_function_with;

  cell source{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_source(&source);
  lexer::load_utf8(&source, reinterpret_cast<const uint8_t*>(port_objects), sizeof port_objects - 1);
  cell made[3];
  for (cell& m : made) m = cell{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_made(made, 3);
  for (int32_t i = 0; i < 3; ++i) {
    cell body = *block::ks_abs_at(&source, i);
    collector::root_cells keep_body(&body);
    datatype::make_at(&made[i], TYPE_OBJECT);
    object::make(&made[i], &body, TYPE_OBJECT);
  }
  schemes = made[0];
  if (!schemes_marked) {
    collector::add_marker(mark_schemes);
    schemes_marked = true;
  }
  port::set_system(&made[0], &made[1], &made[2]);

  natives::define_extra("register-scheme", register_scheme_spec, n_register_scheme);
}

}  // namespace kez::system_stub
