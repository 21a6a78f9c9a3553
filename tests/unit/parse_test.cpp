// The parse engine driven directly: inputs and rules loaded from text, the
// result molded, the shared stacks checked to be back where they started
// after every run, whether it matched, failed or raised.
#include <gtest/gtest.h>

#include <string>

#include "heap_fixture.h"
#include "runtime/actions.h"
#include "runtime/boot.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/error_ids.h"
#include "runtime/lexer.h"
#include "runtime/parse.h"
#include "runtime/stack.h"
#include "runtime/thrown.h"

namespace kez {
namespace {

class parse_test : public testing::heap_test {
 protected:
  void SetUp() override {
    heap_test::SetUp();
    boot::init();
  }

  // Loads "input rules" and runs the engine; answers the molded result, or
  // "error <id>" when the run raised. The stacks must end as they began.
  std::string run(const std::string& source, int32_t mode = parser::MODE_EQUAL, int32_t limit = 0) {
    cell* base = stack::top;
    cell* code = stack::push_cell();
    lexer::load_utf8(code, reinterpret_cast<const uint8_t*>(source.data()), source.size());
    cell* input = stack::push(block::ks_abs_at(code, 0));
    cell* rules = stack::push(block::ks_abs_at(code, 1));
    cell* result = stack::push_cell();
    uint32_t rule_cells = parser::rule_stack_cells(), value_cells = parser::value_stack_cells();
    std::string answer;
    try {
      EXPECT_EQ(parser::process(input, rules, mode, limit, nullptr, result), 0u);
      answer = mold(result);
    } catch (const thrown&) {
      answer = "error " + std::to_string(error::last_id());
    }
    EXPECT_EQ(parser::rule_stack_cells(), rule_cells) << source;
    EXPECT_EQ(parser::value_stack_cells(), value_cells) << source;
    stack::top = base;
    return answer;
  }

  static std::string mold(const cell* value) {
    cell* buffer = stack::push_cell();
    string::make_at(buffer, 16);
    actions::mold_dispatch(value, buffer, false, false, true, nullptr, 0x7FFFFFFF, 0);
    int32_t length = -1;
    const uint8_t* bytes = string::utf8_bytes(buffer, length);
    std::string text(reinterpret_cast<const char*>(bytes), size_t(length));
    stack::pop(1);
    return text;
  }

  std::string global(const char* name) {
    cell w = *word::load(name);
    return mold(context::get(&w));
  }

  static std::string error_of(int id) { return "error " + std::to_string(id); }
};

TEST_F(parse_test, MatchesAndRepeats) {
  struct row {
    const char* source;
    const char* result;
  };
  const row rows[] = {
      {"[] []", "true"},
      {"\"a\" []", "false"},
      {"\"aaa\" [3 \"a\"]", "true"},
      {"\"aaa\" [4 \"a\"]", "false"},
      {"\"aaa\" [1 3 \"a\"]", "true"},
      {"\"aaaa\" [1 3 \"a\"]", "false"},
      {"\"aaa\" [0 \"b\" 3 \"a\"]", "true"},
      {"\"aaa\" [0 [\"b\" \"c\"] 3 \"a\"]", "true"},
      {"\"aaa\" [0 copy x \"b\" 3 \"a\"]", "true"},
      {"\"aab\" [some \"a\" \"b\"]", "true"},
      {"\"aab\" [some [\"a\"] \"b\"]", "true"},
      {"\"b\" [some \"a\" \"b\"]", "false"},
      {"\"aba\" [any [\"a\" | \"b\"]]", "true"},
      {"\"a\" [any [opt \"x\"] \"a\"]", "true"},
      {"\"abc\" [to \"c\" skip]", "true"},
      {"\"abc\" [thru \"b\" \"c\"]", "true"},
      {"\"abc\" [to \"x\" to end]", "false"},
      {"\"abc\" [to [\"c\"] \"c\"]", "true"},
      {"\"abc\" [thru [\"b\"] \"c\"]", "true"},
      {"\"abc\" [thru end]", "true"},
      {"\"a<b>\" [\"a\" <b>]", "true"},
      {"\"a<b>\" [thru <b>]", "true"},
      {"[a 1] ['a integer!]", "true"},
      {"[a 1] [word! integer!]", "true"},
      {"[a 1] [2 skip]", "true"},
      {"[[1 2] 3] [into [2 integer!] integer!]", "true"},
      {"[[1 2] 3] [into [integer!] integer!]", "false"},
      {"[x y x] [thru 'y 'x]", "true"},
      {"#{010203} [#{01} 2 skip]", "true"},
      {"#{010203} [thru #{02} skip]", "true"},
      {"#{313233} [integer!]", "true"},
      {"#{313233} [string!]", "false"},
      {"\"ab\" [ahead \"a\" \"ab\"]", "true"},
      {"\"b\" [not \"a\" skip]", "true"},
      {"\"x\" [fail | \"x\"]", "true"},
      {"\"x\" [fail \"x\"]", "false"},
      {"\"a\" [any \"\" skip]", "true"},
      {"\"a\" [some \"\" skip]", "true"},
      {"\"ab\" [collect [keep skip keep skip]]", "[#\"a\" #\"b\"]"},
      {"\"abc\" [collect [keep 2 skip keep pick skip]]", "[\"ab\" #\"c\"]"},
      {"\"ab\" [collect [keep skip collect [keep skip]]]", "[#\"a\" [#\"b\"]]"},
      {"[1 a 2] [collect [some [keep integer! | skip]]]", "[1 2]"},
  };
  for (const row& r : rows) EXPECT_EQ(run(r.source), r.result) << r.source;
}

TEST_F(parse_test, ComparisonModeAndPartLimit) {
  EXPECT_EQ(run("\"a\" [\"A\"]"), "true");
  EXPECT_EQ(run("\"a\" [\"A\"]", parser::MODE_STRICT), "false");
  EXPECT_EQ(run("\"a\" [case no \"A\"]", parser::MODE_STRICT), "true");
  // The mode comes back after the case rule.
  EXPECT_EQ(run("\"aA\" [case yes \"a\" \"a\"]"), "true");
  EXPECT_EQ(run("\"aA\" [case yes [\"a\" \"a\"]]"), "false");
  EXPECT_EQ(run("\"abc\" [\"ab\"]", parser::MODE_EQUAL, 2), "true");
  EXPECT_EQ(run("\"abc\" [\"abc\"]", parser::MODE_EQUAL, 2), "false");
  EXPECT_EQ(run("\"abc\" [to end]", parser::MODE_EQUAL, 2), "true");
  // A limit past the tail is the tail.
  EXPECT_EQ(run("\"abc\" [\"abc\"]", parser::MODE_EQUAL, 10), "true");
}

TEST_F(parse_test, CapturesAndModifications) {
  struct row {
    const char* source;
    const char* word;
    const char* value;
  };
  const row rows[] = {
      {"\"ab\" [copy x to end]", "x", "\"ab\""},
      {"[10 20] [set y skip to end]", "y", "10"},
      {"\"ab\" [set y skip to end]", "y", "#\"a\""},
      {"#{0506} [set y skip to end]", "y", "5"},
      {"\"ab\" [set y opt \"x\" to end]", "y", "none"},
      {"\"ab\" [skip p: to end]", "p", "\"b\""},
      {"\"ab\" [collect set c [keep skip keep skip]]", "c", "[#\"a\" #\"b\"]"},
  };
  for (const row& r : rows) {
    EXPECT_EQ(run(r.source), "true") << r.source;
    EXPECT_EQ(global(r.word), r.value) << r.source;
  }
  // Modifications act on the input series itself, seen through a word.
  const row edits[] = {
      {"\"ac\" [skip s: insert \"b\" \"c\" :s \"bc\"]", "s", "\"bc\""},
      {"\"abc\" [s: change \"a\" \"X\" to end]", "s", "\"Xbc\""},
      {"\"abc\" [s: change \"a\" \"XY\" \"bc\"]", "s", "\"XYbc\""},
      {"\"abc\" [s: remove \"a\" \"bc\"]", "s", "\"bc\""},
      {"[1 3] [s: skip insert only [2] skip]", "s", "[1 [2] 3]"},
      {"[1 2] [s: change only skip [x] skip]", "s", "[[x] 2]"},
  };
  for (const row& r : edits) {
    EXPECT_EQ(run(r.source), "true") << r.source;
    EXPECT_EQ(global(r.word), r.value) << r.source;
  }
}

TEST_F(parse_test, ErrorsLeaveTheStacksEmpty) {
  struct row {
    const char* source;
    int id;
  };
  const row rows[] = {
      {"\"a\" [keep skip]", err::script::parse_keep},
      {"\"a\" [some]", err::script::parse_end},
      {"\"a\" [copy \"a\"]", err::script::parse_end},
      {"\"a\" [if \"a\"]", err::script::parse_end},
      {"\"a\" [a/b]", err::script::parse_rule},
      {"\"a\" [2 1 \"a\"]", err::script::parse_rule},
      {"\"a\" [1 2]", err::script::parse_rule},
      {"\"a\" [to 1]", err::script::parse_rule},
      {"\"a\" [integer!]", err::script::parse_unsupported},
      {"[1] [into [\"a\"]]", err::script::parse_block},
      {"\"a\" [no-such-rule-word]", err::script::no_value},
      {"\"a\" [collect [collect [keep skip] keep (1 / 0)]]", err::math::zero_divide},
  };
  for (const row& r : rows) EXPECT_EQ(run(r.source), error_of(r.id)) << r.source;
}

// The limit counts cells: three per block entered, the rules block itself
// included. 3333 levels fill 9,999 cells; one more level passes the limit.
TEST_F(parse_test, StackLimitCountsCells) {
  auto nested = [](int depth) {
    std::string rules = "\"a\" ";
    for (int i = 0; i < depth; ++i) rules += '[';
    rules += "\"a\"";
    for (int i = 0; i < depth; ++i) rules += ']';
    return rules;
  };
  EXPECT_EQ(run(nested(3333)), "true");
  EXPECT_EQ(run(nested(3334)), error_of(err::script::parse_stack));
  EXPECT_EQ(run("\"a\" [\"a\"]"), "true");
}

TEST_F(parse_test, ParensRunCodeAndNestedParsesKeepTheOuterStacks) {
  EXPECT_EQ(run("\"ab\" [\"a\" (n: 1 + 1) \"b\"]"), "true");
  EXPECT_EQ(global("n"), "2");
  EXPECT_EQ(run("\"ab\" [some [\"a\" (inner: parse \"xy\" [collect [keep skip keep skip]]) | \"b\"]]"), "true");
  EXPECT_EQ(global("inner"), "[#\"x\" #\"y\"]");
  // An error in a nested parse unwinds it and the outer run together.
  EXPECT_EQ(run("\"ab\" [\"a\" (parse \"x\" [keep skip]) \"b\"]"), error_of(err::script::parse_keep));
  EXPECT_EQ(run("\"a\" [\"a\"]"), "true");
}

// Bit sets as rules: membership of the code point (text) or the byte
// (binary) at the position; past the stored bits the complement flag answers.
TEST_F(parse_test, BitSetsMatchMembers) {
  auto define = [&](const char* name, std::initializer_list<int> members, bool complemented) {
    cell* bits = stack::push_cell();
    binary::make_at(bits, 16);
    uint8_t bytes[16] = {};
    for (int n : members) bytes[n / 8] |= uint8_t(0x80 >> (n % 8));
    binary::ks_append(bits, bytes, 16);
    bits->header = TYPE_BITSET | (complemented ? uint32_t(FLAG_BITSET_NOT) : 0u);
    cell w = *word::load(name);
    context::set(&w, bits);
    stack::pop(1);
  };
  define("abc", {'a', 'b', 'c'}, false);
  define("above", {}, true);  // no stored member: only what lies past 127 is in it
  struct row {
    const char* source;
    const char* result;
  };
  const row rows[] = {
      {"\"abcabd\" [some abc \"d\"]", "true"},
      {"\"ABC\" [3 abc]", "false"},
      {"\"xxab\" [to abc 2 abc]", "true"},
      {"\"xxab\" [thru abc \"b\"]", "true"},
      {"\"a\u00e9\" [skip above]", "true"},
      {"\"ab\" [skip above]", "false"},
      {"#{616263} [3 abc]", "true"},
      {"#{61FF} [abc above]", "true"},
      {"[#\"a\"] [abc]", "false"},
  };
  for (const row& r : rows) EXPECT_EQ(run(r.source), r.result) << r.source;
}

}  // namespace
}  // namespace kez
