// The lexer: text in, values (or a syntax error with its arguments) out.
// Values are compared through a small describer that writes the value kinds
// the lexer builds as source-like text, so one table row shows a whole case.
#include <cmath>
#include <string>
#include <vector>

#include "runtime/float_text.h"
#include "runtime/lexer.h"
#include "runtime/scan_number.h"
#include "runtime/cycles.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/date.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/percent.h"
#include "runtime/datatypes/point.h"
#include "runtime/datatypes/time.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/system_stub.h"
#include "runtime/datatypes/email.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/path.h"
#include "runtime/datatypes/ref.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/tag.h"
#include "runtime/datatypes/url.h"
#include "runtime/ownership.h"
#include "words_fixture.h"

namespace kez::testing {
namespace {

class lexer_test : public words_test {
 protected:
  void SetUp() override {
    words_test::SetUp();
    series::init();
    block::init();
    paren::init();
    path::init();
    ownership::init();
    ownership::set_hook(nullptr);
    cycles::reset();
    string::init();  // again, now that series! is there to inherit from
    binary::init();
    url::init();
    file::init();
    tag::init();
    email::init();
    ref::init();
    money::init();
    time::init();
    percent::init();
    date::init();
    pair::init();
    point2D::init();
    point3D::init();
    tuple::init();
    system_stub::reset();
    system_stub::hooks = {};
    system_stub::hooks.word_name = [](const cell* w) -> const char* {
      uint32_t t = type_of(w);
      return (t >= TYPE_WORD && t <= TYPE_ISSUE) ? symbol::get_c_string(w->w2) : nullptr;
    };
    system_stub::hooks.make_word = [](cell* target, const char* name) {
      *target = cell{TYPE_WORD, 0, 0, 0};
      word::make_at(symbol::make(name), target);
    };
    lexer::init();
  }
  void TearDown() override {
    system_stub::reset();
    system_stub::hooks = {};
    ownership::release();  // the table lives in the heap the next test drops
    words_test::TearDown();
  }
};

// The molded text of a value.
std::string molded(const cell* value) {
  cell* out = string::make_at(stack::push_cell(), 16);
  actions::mold_dispatch(value, out, false, false, false, nullptr, 0x7FFFFFFF, 0);
  int32_t n = -1;
  const uint8_t* p = string::utf8_bytes(out, n);
  return std::string(reinterpret_cast<const char*>(p), size_t(n));
}

std::string describe(const cell* c);
std::string molded(const cell* value);

// Names of the types a test may see named, registered or not.
const char* type_name(uint32_t type) {
  switch (type) {
    case TYPE_STRING: return "string!";
    case TYPE_INTEGER: return "integer!";
    case TYPE_FLOAT: return "float!";
    case TYPE_WORD: return "word!";
    case TYPE_GET_WORD: return "get-word!";
    case TYPE_SET_WORD: return "set-word!";
    case TYPE_ISSUE: return "issue!";
    case TYPE_REFINEMENT: return "refinement!";
    case TYPE_LIT_WORD: return "lit-word!";
    case TYPE_PATH: return "path!";
    case TYPE_CHAR: return "char!";
    case TYPE_BINARY: return "binary!";
    case TYPE_TUPLE: return "tuple!";
    case TYPE_BLOCK: return "block!";
    case TYPE_URL: return "url!";
    case TYPE_TIME: return "time!";
    case TYPE_DATE: return "date!";
    case TYPE_MONEY: return "money!";
    case TYPE_MAP: return "map!";
    case TYPE_POINT2D: return "point2D!";
    case TYPE_POINT3D: return "point3D!";
    default: return "?";
  }
}

std::string describe_cells(const cell* first, uint32_t n, const char* open, const char* close,
                           const char* sep = " ") {
  std::string out = open;
  for (uint32_t i = 0; i < n; ++i) {
    if (i) out += (first[i].header & FLAG_NEW_LINE) ? "\n" : sep;
    out += describe(&first[i]);
  }
  return out + close;
}

std::string hex_bytes(const uint8_t* p, uint32_t n) {
  static const char digits[] = "0123456789ABCDEF";
  std::string out;
  for (uint32_t i = 0; i < n; ++i) out += digits[p[i] >> 4], out += digits[p[i] & 15];
  return out;
}

std::string text_of(const cell* c) {
  series_buffer* b = memory::buffer_of(c->w2);
  std::string out;
  uint32_t unit = b->unit();
  for (uint32_t i = 0; i < b->used() / unit; ++i) {
    int32_t cp = utf::get(b->head_ptr(), int(unit), i);
    uint8_t buf[4];
    out.append(reinterpret_cast<char*>(buf), size_t(utf8::encode_char(cp, buf)));
  }
  return out;
}

std::string number(double d) { return float_::format_text(d, 0, true); }

// Values of registered types (with their contents) are molded; the rest,
// whose datatypes land later, are written by the describer.
bool registered_q(const cell* c) {
  uint32_t t = type_of(c);
  if (datatype::name_length(t) < 0) return false;
  if (t == TYPE_BLOCK || t == TYPE_PAREN || (t >= TYPE_PATH && t <= TYPE_GET_PATH)) {
    series_buffer* b = memory::buffer_of(c->w2);
    for (cell* v = b->head_cell(); v < b->tail_cell(); ++v)
      if (!registered_q(v)) return false;
  }
  return true;
}

std::string describe(const cell* c) {
  if (registered_q(c)) return molded(c);
  switch (type_of(c)) {
    case TYPE_NONE: return "none";
    case TYPE_UNSET: return "unset";
    case TYPE_LOGIC: return c->w1 ? "true" : "false";
    case TYPE_DATATYPE: return std::string("#(") + type_name(c->w1) + ")";
    case TYPE_INTEGER: return std::to_string(int32_t(c->w2));
    case TYPE_FLOAT: return number(load_double(&c->w2));
    case TYPE_PERCENT: return "percent " + number(load_double(&c->w2));
    case TYPE_TIME: return "time " + number(load_double(&c->w2));
    case TYPE_CHAR: return "#\"" + std::to_string(int32_t(c->w2)) + "\"";
    case TYPE_PAIR: return std::to_string(int32_t(c->w2)) + "x" + std::to_string(int32_t(c->w3));
    case TYPE_POINT2D:
    case TYPE_POINT3D: {
      float v[3];
      std::memcpy(v, &c->w1, sizeof v);
      std::string out = "(" + number(v[0]) + ", " + number(v[1]);
      if (type_of(c) == TYPE_POINT3D) out += ", " + number(v[2]);
      return out + ")";
    }
    case TYPE_TUPLE: {
      uint32_t n = (c->header >> 19) & 15;
      auto* bytes = reinterpret_cast<const uint8_t*>(&c->w1);
      std::string out;
      for (uint32_t i = 0; i < n; ++i) out += (i ? "." : "") + std::to_string(bytes[i]);
      return out;
    }
    case TYPE_STRING: return "\"" + text_of(c) + "\"";
    case TYPE_FILE: return "%\"" + text_of(c) + "\"";
    case TYPE_URL: return "url " + text_of(c);
    case TYPE_EMAIL: return "email " + text_of(c);
    case TYPE_TAG: return "<" + text_of(c) + ">";
    case TYPE_REF: return "@" + text_of(c);
    case TYPE_BINARY: {
      series_buffer* b = memory::buffer_of(c->w2);
      return "#{" + hex_bytes(b->head_ptr(), b->used()) + "}";
    }
    case TYPE_WORD: return name_of(c->w2);
    case TYPE_SET_WORD: return name_of(c->w2) + ":";
    case TYPE_GET_WORD: return ":" + name_of(c->w2);
    case TYPE_LIT_WORD: return "'" + name_of(c->w2);
    case TYPE_REFINEMENT: return "/" + name_of(c->w2);
    case TYPE_ISSUE: return "#" + name_of(c->w2);
    case TYPE_PATH:
    case TYPE_SET_PATH:
    case TYPE_LIT_PATH:
    case TYPE_GET_PATH: {
      series_buffer* b = memory::buffer_of(c->w2);
      uint32_t t = type_of(c);
      return describe_cells(b->head_cell(), b->used() / 16,
                            t == TYPE_LIT_PATH ? "'" : t == TYPE_GET_PATH ? ":" : "",
                            t == TYPE_SET_PATH ? ":" : "", "/");
    }
    case TYPE_BLOCK:
    case TYPE_PAREN: {
      series_buffer* b = memory::buffer_of(c->w2);
      bool block = type_of(c) == TYPE_BLOCK;
      return describe_cells(b->head_cell(), b->used() / 16, block ? "[" : "(", block ? "]" : ")");
    }
    default: return "type " + std::to_string(type_of(c));
  }
}

std::string load(const std::string& text) {
  cell* result = stack::push_cell();
  lexer::load_utf8(result, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  return describe(result);
}

struct fired {
  int category = -1, id = -1;
  std::vector<std::string> args;
};

std::string describe_arg(const cell* c) {
  if (type_of(c) == TYPE_STRING) return text_of(c);
  if (type_of(c) == TYPE_DATATYPE) return type_name(c->w1);
  return describe(c);
}

fired load_error(const std::string& text) {
  fired f;
  try {
    load(text);
  } catch (const thrown& t) {
    if (t.code != THROWN_ERROR) return f;
    f.category = error::last_category();
    f.id = error::last_id();
    for (int i = 1; i <= 3; ++i) {
      // the arguments stay on the data stack, so the copies are still good
      if (const cell* a = error::last_arg(i)) f.args.push_back(describe_arg(a));
    }
  }
  return f;
}

TEST_F(lexer_test, loads_values) {
  struct row {
    const char* text;
    const char* expected;
  } rows[] = {
      {"", "[]"},
      {"  \t\r\n ", "[]"},
      {"1 2", "[1 2]"},
      {"1\n2", "[1\n2]"},
      {"1;comment", "[1]"},
      {"a;comment", "[a]"},
      {"1;comment\n2", "[1\n2]"},
      {"1\n{a}\n[b]\n(1, 2)", "[1\n\"a\"\n[b]\n(1, 2)]"},
      {"a b: 'c :d /e #f / // < <= + - a+b", "[a b: 'c :d /e #f / // < <= + - a+b]"},
      {"a/b a/b: 'a/b :a/b a/1/(2)/\"s\"", "[a/b a/b: 'a/b :a/b a/1/(2)/\"s\"]"},
      {"[a/b]", "[[a/b]]"},
      {"a\xC2\xA0" "b", "[a b]"},
      {"\xC3\xA9t\xC3\xA9", "[\xC3\xA9t\xC3\xA9]"},
      {"{a{b}c}", "[\"a{b}c\"]"},
      {"{a^}b}", "[\"a}b\"]"},
      {"\"a^/b^(41)^-\"", "[\"a^/bA^-\"]"},
      {"[1 [2 (3)] []]", "[[1 [2 (3)] []]]"},
      {"(1, 2)", "[(1, 2)]"},
      {"(1.5, -2, 3e2)", "[(1.5, -2, 300)]"},
      {"(1 2)", "[(1 2)]"},
      {"#(true) #(false) #(none) #(unset)", "[true false none unset]"},
      {"#(integer!) #(INTEGER)", "[integer! integer!]"},
      {"2147483647", "[2147483647]"},
      {"2147483648", "[2147483648.0]"},
      {"-2147483648", "[-2147483648]"},
      {"-2147483649", "[-2147483649.0]"},
      {"+7 -0 00012", "[7 0 12]"},
      {"-1 -9 +5 [-3]", "[-1 -9 5 [-3]]"},
      {"1'000'000", "[1000000]"},
      {"12345678901", "[12345678901.0]"},
      {"FFh 0FFh FFFFFFFFh 7FFFFFFFh", "[255 255 -1 2147483647]"},
      {"1.5 .5 1e3 -1.5E-2 1'000.5", "[1.5 0.5 1000.0 -0.015 1000.5]"},
      {"1.#INF -1.#inf", "[1.#INF -1.#INF]"},
      {"1.5% 50%", "[1.5% 50%]"},
      {"#\"a\" #\"^(1F600)\" #\"^(line)\" #\"^/\" #\"^^\" #\"\xC3\xA9\"",
       "[#\"a\" #\"\xF0\x9F\x98\x80\" #\"^/\" #\"^/\" #\"^^\" #\"\xC3\xA9\"]"},
      {"%a%20b %\"my file\" %dir/file.txt", "[%\"a b\" %\"my file\" %dir/file.txt]"},
      {"#{0A0b} #{} 2#{00000001 00000010} 64#{AQID} 64#{AQ==} 16#{ff ; note\n 01}",
       "[#{0A0B} #{} #{0102} #{010203} #{01} #{FF01}]"},
      {"1.2.3 255.0.0.1", "[1.2.3 255.0.0.1]"},
      {"12:30 12:30.5 1:02:03 -1:00 0:0:59.5",
       "[12:30:00 0:12:30.5 1:02:03 -1:00:00 0:00:59.5]"},
      {"1x2 -3X+4", "[1x2 -3x4]"},
      {"<a b=\"c\">", "[<a b=\"c\">]"},
      {"http://x.org/%41b", "[http://x.org/Ab]"},
      {"me@host.org", "[me@host.org]"},
      {"@ref", "[@ref]"},
      {"%{a}b}% %%{x}% y}%%", "[\"a}b\" \"x}% y\"]"},
      {"29-Feb-2024 1-1-70 2024-02-29T10:00Z 1-Oct-2024/10:30:15+5:30 2024-W01-2 2024-060 20240229T1200",
       "[29-Feb-2024 1-Jan-1970 29-Feb-2024/10:00:00 1-Oct-2024/10:30:15+05:30 2-Jan-2024 29-Feb-2024 "
       "29-Feb-2024/12:00:00]"},
      {"USD$1'234.56 $12.34 -$0.5 eur$1.5 $00012", "[USD$1234.56 $12.34 -$0.50 EUR$1.50 $12.00]"},
  };
  for (const row& r : rows) {
    EXPECT_EQ(load(r.text), r.expected) << "text: " << r.text;
  }
}

TEST_F(lexer_test, nan_is_the_quiet_nan) {
  cell* result = stack::push_cell();
  const char text[] = "1.#NaN";
  lexer::scan(result, reinterpret_cast<const uint8_t*>(text), 6, true, true, true, false,
              nullptr, nullptr, nullptr, nullptr);
  ASSERT_EQ(type_of(result), TYPE_FLOAT);
  uint64_t bits;
  std::memcpy(&bits, &result->w2, 8);
  EXPECT_EQ(bits, 0x7FF8000000000000ull);
}

TEST_F(lexer_test, string_units_follow_the_widest_character) {
  struct row {
    const char* text;
    uint32_t unit;
  } rows[] = {{"{abc}", 1}, {"{a^(3A9)b}", 2}, {"\"\xCE\xA9\"", 2}, {"\"^(1F600)\"", 4},
              {"\"\xF0\x9F\x98\x80\"", 4}};
  for (const row& r : rows) {
    cell* result = stack::push_cell();
    lexer::scan(result, reinterpret_cast<const uint8_t*>(r.text), std::strlen(r.text), true, true,
                true, false, nullptr, nullptr, nullptr, nullptr);
    ASSERT_EQ(type_of(result), TYPE_STRING) << r.text;
    EXPECT_EQ(string::buffer_of(result)->unit(), r.unit) << r.text;
  }
  EXPECT_EQ(load("{a{b}c}"), "[\"a{b}c\"]");
}

TEST_F(lexer_test, syntax_errors_name_the_line_the_type_and_the_text) {
  struct row {
    const char* text;
    int id;
    std::vector<std::string> args;
  } rows[] = {
      {"{abc", err::syntax::invalid, {"(line 1)", "string!", "{abc"}},
      {"\"abc", err::syntax::invalid, {"(line 1)", "string!", "\"abc"}},
      {"[1 2", err::syntax::missing, {"(line 1)", "]", "[1 2"}},
      {"1 2]", err::syntax::missing, {"(line 1)", "[", "]"}},
      {"(1 2", err::syntax::missing, {"(line 1)", ")", "(1 2"}},
      {"[1 2)", err::syntax::missing, {"(line 1)", "]", "[1 2)"}},
      {"1\n2\n12abc", err::syntax::invalid, {"(line 3)", "integer!", "12abc"}},
      {"1\n2\n12abc def\nghi", err::syntax::invalid, {"(line 3)", "integer!", "12abc def"}},
      {"#(int)", err::syntax::malconstruct, {"(line 1)", "#(int)"}},
      {"#(foo)", err::syntax::malconstruct, {"(line 1)", "#(foo)"}},
      {"}", err::syntax::bad_char, {"(line 1)", "}"}},
      {"1..2", err::syntax::invalid, {"(line 1)", "float!", "1..2"}},
      {"1''0", err::syntax::invalid, {"(line 1)", "integer!", "1''0"}},
      {"123456789h", err::syntax::invalid, {"(line 1)", "integer!", "123456789h"}},
      {"Fh", err::syntax::invalid, {"(line 1)", "word!", "Fh"}},
      {"1.2.256", err::syntax::invalid, {"(line 1)", "tuple!", "1.2.256"}},
      {"2#{0101}", err::syntax::invalid, {"(line 1)", "binary!", "2#{0101}"}},
      {"16#{ABC}", err::syntax::invalid, {"(line 1)", "binary!", "16#{ABC}"}},
      {"8#{00}", err::syntax::invalid, {"(line 1)", "binary!", "8#{00}"}},
      {"#\"^(1234567)\"", err::syntax::invalid, {"(line 1)", "char!", "#\"^(1234567)\""}},
      {"#\"ab\"", err::syntax::invalid, {"(line 1)", "char!", "#\"ab\""}},
      {"1:60", err::syntax::invalid, {"(line 1)", "time!", "1:60"}},
      {"1:30:60", err::syntax::invalid, {"(line 1)", "time!", "1:30:60"}},
      {"29-Feb-2023", err::syntax::invalid, {"(line 1)", "date!", "29-Feb-2023"}},
      {"31/4/2024", err::syntax::invalid, {"(line 1)", "date!", "31/4/2024"}},
      {"US$1", err::syntax::invalid, {"(line 1)", "money!", "US$1"}},
      {"XYZ$1", err::syntax::invalid, {"(line 1)", "money!", "XYZ$1"}},
      {"$123456789012345678", err::syntax::invalid, {"(line 1)", "money!", "$123456789012345678"}},
      {"$1.123456", err::syntax::invalid, {"(line 1)", "money!", "$1.123456"}},
      {"2024-W54", err::syntax::invalid, {"(line 1)", "date!", "2024-W54"}},
      {"2023-366", err::syntax::invalid, {"(line 1)", "date!", "2023-366"}},
      {"1-Jan-2024/24:00", err::syntax::invalid, {"(line 1)", "date!", "1-Jan-2024/24:00"}},
      {"1, 2", err::syntax::invalid, {"(line 1)", "point2D!", ", 2"}},
      {"(1, 2, 3, 4)", err::syntax::invalid, {"(line 1)", "point3D!", "1, 2, 3, 4)"}},
      {"#[1 2 3]", err::syntax::invalid, {"(line 1)", "map!", "#[1 2 3]"}},
      {"%{a}%%", err::syntax::invalid, {"(line 1)", "string!", "%{a}%%"}},
      {"%%{a}%", err::syntax::invalid, {"(line 1)", "string!", "%%{a}%"}},
      {"\"a\xC0\"", err::syntax::invalid, {"(line 1)", "string!", "\"a\xEF\xBF\xBD\""}},
      {"\"a^(zz)\"", err::syntax::invalid, {"(line 1)", "string!", "\"a^(zz)\""}},
      {"a/b:/c", err::syntax::invalid, {"(line 1)", "path!", "a/b:/c"}},
      {"a/", err::syntax::bad_char, {"(line 1)", "a/"}},
      {":a:", err::syntax::invalid, {"(line 1)", "word!", ":a:"}},
      {"'a:", err::syntax::invalid, {"(line 1)", "lit-word!", "'a:"}},
      {"#", err::syntax::invalid, {"(line 1)", "issue!", "#"}},
      {"0123456789012345678901234567890123456789g",
       err::syntax::invalid,
       {"(line 1)", "integer!", "012345678901234567890123456789"}},
  };
  for (const row& r : rows) {
    fired f = load_error(r.text);
    EXPECT_EQ(f.category, err::cat_syntax) << r.text;
    EXPECT_EQ(f.id, r.id) << r.text;
    EXPECT_EQ(f.args, r.args) << r.text;
  }
}

// Scan mode (what word/make uses) answers the type of the first token without
// building anything; prescan answers error! for structure faults.
TEST_F(lexer_test, scan_mode_types_the_first_value) {
  struct row {
    const char* text;
    int32_t type;
    int32_t consumed;
  } rows[] = {
      {"a", TYPE_WORD, 1},
      {"a: 1", TYPE_SET_WORD, 2},
      {"'a", TYPE_LIT_WORD, 2},
      {":a", TYPE_GET_WORD, 2},
      {"/a", TYPE_REFINEMENT, 2},
      {"/", TYPE_WORD, 1},
      {"#a", TYPE_ISSUE, 2},
      {"a/b", TYPE_PATH, 3},
      {"a/b: 1", TYPE_SET_PATH, 4},
      {"'a/b", TYPE_LIT_PATH, 4},
      {":a/b", TYPE_GET_PATH, 4},
      {"a/b:/c", TYPE_ERROR, 0},
      {"a:b", TYPE_URL, 3},
      {"\xC2\xA0" "a", TYPE_WORD, 3},
      {"a\xC2\xA0" "b", TYPE_WORD, 1},
      {"12", TYPE_INTEGER, 2},
      {"12abc", TYPE_ERROR, 0},
      {"{abc", TYPE_ERROR, 0},
      {"[1 2] 3", TYPE_BLOCK, 5},
      {"29-Feb-2024", TYPE_DATE, 11},
      {"1-1-70", TYPE_DATE, 6},
      {"2024-02-29T10:00Z", TYPE_DATE, 17},
      {"USD$1'234.56", TYPE_MONEY, 12},
      {"$12.34", TYPE_MONEY, 6},
      {"#[a 1 b 2]", TYPE_MAP, 10},
  };
  for (const row& r : rows) {
    cell* result = stack::push_cell();
    int32_t consumed = -1;
    int32_t type = lexer::scan(result, reinterpret_cast<const uint8_t*>(r.text), std::strlen(r.text),
                               true, true, false, false, &consumed, nullptr, nullptr, nullptr);
    EXPECT_EQ(type, r.type) << r.text;
    if (r.type != TYPE_ERROR) {
      EXPECT_EQ(consumed, r.consumed) << r.text;
    }
  }
  // Prescan follows structure only; a token it skips still owns its closing
  // byte (a point literal once left the scan stuck on its parenthesis).
  struct prescan_row {
    const char* text;
    int32_t type;
  } prescans[] = {{"[1 2", TYPE_ERROR},
                  {"[(1, 2) #\"a\" <t> %{x}% 3%] 4", TYPE_BLOCK},
                  {"{a [b}", TYPE_STRING},
                  {"a/b c", TYPE_PATH}};
  for (const prescan_row& r : prescans) {
    cell* result = stack::push_cell();
    EXPECT_EQ(lexer::scan(result, reinterpret_cast<const uint8_t*>(r.text), std::strlen(r.text), false,
                          false, false, false, nullptr, nullptr, nullptr, nullptr),
              r.type)
        << r.text;
    if (r.type == TYPE_ERROR) {
      EXPECT_EQ(type_of(result), TYPE_NONE) << r.text;
    }
  }
}

TEST_F(lexer_test, delimiter_spaces_are_white_space) {
  EXPECT_EQ(load("\xC2\xA0\xE3\x80\x80 \xC2\xA0"), "[]");
  EXPECT_EQ(load("1 \xC2\xA0 2"), "[1 2]");
  EXPECT_EQ(load(std::string("1\0 2", 4)), "[1]") << "a NUL byte ends the text";
}

TEST_F(lexer_test, one_value_and_into) {
  const char text[] = "[1 2] 3";
  cell* result = stack::push_cell();
  int32_t consumed = 0;
  EXPECT_EQ(lexer::scan(result, reinterpret_cast<const uint8_t*>(text), 7, true, true, true, false,
                        &consumed, nullptr, nullptr, nullptr),
            int32_t(TYPE_BLOCK));
  EXPECT_EQ(describe(result), "[1 2]");
  EXPECT_EQ(consumed, 5);

  cell* into = stack::push_cell();
  lexer::load_utf8(into, reinterpret_cast<const uint8_t*>("0"), 1);
  lexer::scan(result, reinterpret_cast<const uint8_t*>(text), 7, false, true, true, false, nullptr,
              nullptr, nullptr, into);
  EXPECT_EQ(describe(into), "[0 [1 2] 3]");
  EXPECT_EQ(result->w2, into->w2);
}

TEST_F(lexer_test, string_source_counts_characters) {
  cell* source = text("\"\xC3\xA9\" 12 3 4");  // "é" 12 3 4
  cell* result = stack::push_cell();
  int32_t consumed = 0;
  lexer::scan_alt(result, source, 6, false, true, true, false, &consumed, nullptr, nullptr);
  EXPECT_EQ(describe(result), "[\"\xC3\xA9\" 12]");
  EXPECT_EQ(consumed, 6);
  source->w1 = 7;  // from "3"
  lexer::scan_alt(result, source, -1, true, true, true, false, &consumed, nullptr, nullptr);
  EXPECT_EQ(describe(result), "3");
  EXPECT_EQ(consumed, 1);
}

TEST_F(lexer_test, loaded_block_survives_collections) {
  std::string text = "[1 [2 \"x\" #{01}] (3) {abc} %f 1.5 <t> 1.2.3]";
  std::string expected = "[[1 [2 \"x\" #{01}] (3) \"abc\" %f 1.5 <t> 1.2.3]]";
  cell* result = stack::push_cell();
  lexer::load_utf8(result, reinterpret_cast<const uint8_t*>(text.data()), text.size());
  collector::do_cycle();
  EXPECT_EQ(describe(result), expected);
  for (uint32_t i = 0; i < scaled(200, 20); ++i) {
    cell* other = stack::push_cell();
    lexer::load_utf8(other, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    stack::pop(1);
  }
  collector::do_cycle();
  EXPECT_EQ(describe(result), expected);
}

TEST_F(lexer_test, datatypes_convert_text_through_the_lexer) {
  struct row {
    uint32_t type;
    const char* text;
    const char* molded;  // null: the conversion refuses the text
  } rows[] = {
      {TYPE_TIME, "12:30", "12:30:00"},   {TYPE_TIME, " 1:02:03 ", "1:02:03"},
      {TYPE_TIME, "1:60", nullptr},       {TYPE_TIME, "12:30 1:00", nullptr},
      {TYPE_PAIR, "3x4", "3x4"},          {TYPE_TUPLE, "1.2.3", "1.2.3"},
      {TYPE_POINT2D, "(1, 2)", "(1, 2)"}, {TYPE_MONEY, "EUR$12.50", "EUR$12.50"},
      {TYPE_MONEY, "EU$1", nullptr},
  };
  for (const row& r : rows) {
    cell* spec = text(r.text);
    cell* proto = stack::push_cell();
    datatype::make_at(proto, r.type);
    auto result = error_of([&] { actions::to_dispatch(proto, spec); });
    if (r.molded) {
      EXPECT_EQ(result.first, -1) << r.text;
      EXPECT_EQ(molded(proto), r.molded) << r.text;
    } else {
      EXPECT_EQ(result.first, err::cat_script) << r.text;
    }
  }
}

TEST_F(lexer_test, a_failed_scan_leaves_the_shared_buffer_empty) {
  EXPECT_EQ(load_error("[1 2 [3").id, err::syntax::missing);
  EXPECT_EQ(load("4 [5]"), "[4 [5]]");
}

// The map! literal is built by the map module (its tests check the value).
TEST_F(lexer_test, map_literal_loads) {
  EXPECT_EQ(load_error("#[a 1]").category, -1);
}

TEST_F(lexer_test, escapes) {
  struct row {
    const char* text;
    int32_t cp;  // -1: invalid
  } rows[] = {{"\"", '"'}, {"-", 9},     {"/", 10},    {"^", '^'},        {"{", '{'},
              {"}", '}'},   {"~", 127},  {"@", 0},     {"a", 1},          {"Z", 26},
              {"[", 27},    {"\\", 28},  {"]", 29},    {"_", 31},         {"x", 24},
              {"!", '!'},   {"(A)", 10}, {"(1F)", 31}, {"(tab)", 9},      {"(NULL)", 0},
              {"(Del)", 127}, {"(10FFFF)", 0x10FFFF}, {"(110000)", -1}, {"(1234567)", -1},
              {"(g)", -1},  {"(41", -1}, {"()", -1},   {"", -1}};
  for (const row& r : rows) {
    auto* t = reinterpret_cast<const uint8_t*>(r.text);
    size_t n = std::strlen(r.text);
    int32_t cp = -5;
    int64_t next = lexer::decode_escape(t, 0, n, cp);
    if (r.cp < 0) {
      EXPECT_EQ(next, -1) << r.text;
    } else {
      EXPECT_EQ(next, int64_t(n)) << r.text;
      EXPECT_EQ(cp, r.cp) << r.text;
    }
  }
}

TEST_F(lexer_test, scan_integer_and_float) {
  struct row {
    const char* text;
    int32_t value, err;
  } rows[] = {
      {"0", 0, 0},           {"-2147483648", INT32_MIN, 0}, {"2147483647", INT32_MAX, 0},
      {"2147483648", 0, -2}, {"-2147483649", 0, -2},        {"-21474836480", 0, -2},
      {"1'000", 1000, 0},    {"+12", 12, 0},                {"12a", 0, -1},
      {"", 0, -1},           {"-", 0, -1},                  {"+", 0, -1},
      {"1 ", 0, -1},
  };
  for (const row& r : rows) {
    for (int unit : {1, 2, 4}) {
      std::vector<uint8_t> units(std::strlen(r.text) * size_t(unit) + 4);
      for (size_t i = 0; r.text[i]; ++i) utf::put(units.data(), unit, i, uint8_t(r.text[i]));
      int32_t e = 7;
      int32_t v = lexer::scan_integer(units.data(), int32_t(std::strlen(r.text)), unit, e);
      EXPECT_EQ(e, r.err) << r.text << " unit " << unit;
      EXPECT_EQ(v, r.value) << r.text << " unit " << unit;
    }
  }
  int32_t e = 0;
  EXPECT_EQ(lexer::scan_float("1,5", 3, 1, e), 1.5);
  EXPECT_EQ(e, 0);
  EXPECT_EQ(lexer::scan_float("-1'0.25e1", 9, 1, e), -102.5);
  EXPECT_EQ(e, 0);
  for (const char* bad : {"", "1e", "e5", "1.2.3", "1x", "''1"}) {
    EXPECT_TRUE(std::isnan(lexer::scan_float(bad, int32_t(std::strlen(bad)), 1, e))) << bad;
    EXPECT_EQ(e, -1) << bad;
  }
  struct money_row {
    const char* text;
    const char* molded;  // null: the conversion fails
  } money_rows[] = {{"EUR$12.50", "EUR$12.50"}, {"-12", "-$12.00"}, {"$1'000.5", "$1000.50"},
                    {"EU$1", nullptr}, {"$", nullptr}, {"", nullptr}, {"1.", nullptr},
                    {"1''0", nullptr}, {"XYZ$1", nullptr}};
  for (const money_row& r : money_rows) {
    cell* out = stack::push_cell();
    lexer::scan_money(out, r.text, int32_t(std::strlen(r.text)), 1);
    if (r.molded) {
      EXPECT_EQ(molded(out), r.molded) << r.text;
    } else {
      EXPECT_EQ(out->w1, uint32_t(-1)) << r.text;
    }
  }
  std::string longest(312, '1'), too_long(313, '1');
  lexer::scan_float(longest.data(), 312, 1, e);
  EXPECT_EQ(e, 0);
  lexer::scan_float(too_long.data(), 313, 1, e);
  EXPECT_EQ(e, -1);
}

}  // namespace
}  // namespace kez::testing

namespace kez::testing {
namespace {

// A trace function stand-in: records every call and answers by a policy.
struct trace {
  std::vector<std::string> events;
  bool (*answer)(uint32_t event, cell* source, const cell* type, const cell* token) = nullptr;
};
trace* tracing = nullptr;

const char* event_name(uint32_t ev) {
  switch (ev) {
    case lexer::EV_PRESCAN: return "prescan";
    case lexer::EV_SCAN: return "scan";
    case lexer::EV_LOAD: return "load";
    case lexer::EV_OPEN: return "open";
    case lexer::EV_CLOSE: return "close";
    default: return "error";
  }
}

bool record(const cell*, uint32_t ev, cell* source, const cell* type, int32_t line, const cell* token) {
  std::string t = type_of(type) == TYPE_NONE   ? "none"
                  : type_of(type) == TYPE_WORD ? "'" + name_of(type->w2)
                                               : type_name(type->w1);
  std::string v = type_of(token) == TYPE_PAIR && ev != lexer::EV_LOAD
                      ? std::to_string(token->w2) + "x" + std::to_string(token->w3)
                      : describe(token);
  tracing->events.push_back(std::string(event_name(ev)) + " " + t + " " + std::to_string(line) +
                            " " + v + " @" + std::to_string(source->w1));
  return tracing->answer ? tracing->answer(ev, source, type, token) : true;
}

class lexer_trace_test : public lexer_test {
 protected:
  void SetUp() override {
    lexer_test::SetUp();
    tracing = &log;
    lexer::set_callback_hook(record);
  }
  void TearDown() override {
    lexer::set_callback_hook(nullptr);
    tracing = nullptr;
    lexer_test::TearDown();
  }
  std::string run(const char* text) {
    cell* source = testing::text(text);
    cell* callback = stack::push(&callback_value);
    cell* result = stack::push_cell();
    lexer::scan_alt(result, source, -1, false, true, true, false, nullptr, callback, nullptr);
    return describe(result);
  }
  trace log;
  cell callback_value{TYPE_LOGIC, 1, 0, 0};  // any value: the hook does the calling
};

TEST_F(lexer_trace_test, events_in_order_with_positions) {
  EXPECT_EQ(run("[1 \"\xC3\xA9\"]\n;c"), "[[1 \"\xC3\xA9\"]]");
  std::vector<std::string> expected = {
      "prescan 'block 1 1x1 @0", "open block! 1 1x1 @0",
      "prescan integer! 1 2x3 @1", "scan integer! 1 2x3 @2", "load integer! 1 1 @2",
      "prescan string! 1 4x6 @3", "scan string! 1 4x6 @5", "load string! 1 \"\xC3\xA9\" @5",
      "prescan 'block-end 1 7x7 @6", "close block! 1 7x7 @6",
      "prescan 'comment 2 9x11 @8", "scan 'comment 2 9x11 @10",
  };
  EXPECT_EQ(log.events, expected);
}

TEST_F(lexer_trace_test, answers_drop_values_move_the_scan_and_silence_errors) {
  log.answer = [](uint32_t ev, cell*, const cell* type, const cell*) {
    return !(ev == lexer::EV_LOAD && type->w1 == TYPE_INTEGER);
  };
  EXPECT_EQ(run("1 \"a\" [2] 3"), "[\"a\" []]");

  log.answer = [](uint32_t ev, cell* source, const cell*, const cell* token) {
    if (ev != lexer::EV_PRESCAN || token->w2 != 3) return true;
    source->w1 = 4;  // skip from the second token to the third
    return false;
  };
  EXPECT_EQ(run("1 2 3"), "[1 3]");

  log.answer = [](uint32_t ev, cell*, const cell*, const cell*) { return ev != lexer::EV_ERROR; };
  EXPECT_EQ(run("1 2] 4"), "[1 2]");
  EXPECT_EQ(log.events.back(), "error block! 1 4x5 @4");
}

}  // namespace
}  // namespace kez::testing
