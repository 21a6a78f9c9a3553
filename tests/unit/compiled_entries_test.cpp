// The entry points that native code calls in place of the interpreter: a
// call by table index with its refinements given as groups, and printing an
// error without raising it. Each is held against what the interpreter, or
// the executable's report of an error nothing caught, does with the same
// values.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "capture.h"
#include "child_process.h"
#include "heap_fixture.h"
#include "runtime/actions.h"
#include "runtime/boot.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/word.h"
#include "runtime/interpreter.h"
#include "runtime/lexer.h"
#include "runtime/natives.h"
#include "runtime/stack.h"
#include "runtime/thrown.h"

namespace kez {
namespace {

class compiled_entries_test : public testing::heap_test {
 protected:
  void SetUp() override {
    heap_test::SetUp();
    boot::init();
  }

  // The values of a source text, as a block on the data stack.
  static cell* load(const std::string& source) {
    cell* code = stack::push_cell();
    return lexer::load_utf8(code, reinterpret_cast<const uint8_t*>(source.data()), source.size());
  }

  static std::string mold(const cell* value) {
    cell v = *value;
    collector::root_cells keep(&v);
    cell* buffer = stack::push_cell();
    string::make_at(buffer, 16);
    actions::mold_dispatch(&v, buffer, false, false, true, nullptr, 0x7FFFFFFF, 0);
    int32_t length = -1;
    const uint8_t* bytes = string::utf8_bytes(buffer, length);
    std::string text(reinterpret_cast<const char*>(bytes), size_t(length));
    stack::pop(1);
    return text;
  }

  // The interpreter's answer for a source text, molded.
  static std::string interpreted(const std::string& source) {
    cell* base = stack::top;
    cell block = *load(source);
    collector::root_cells keep(&block);
    EXPECT_EQ(interpreter::eval(&block, false), 0u);
    std::string answer = mold(stack::top - 1);
    stack::top = base;
    return answer;
  }

  static cell global(const char* name) {
    cell w = *word::load(name);
    stack::pop(1);
    return *context::get(&w);
  }
};

struct group_row {
  bool given;
  uint32_t position;
  int32_t argument;
  uint32_t count;
};

struct call_row {
  const char* interpreted;  // the call as the interpreter reads it
  const char* function;
  const char* arguments;    // every argument cell, refinement arguments included, in spec order
  uint32_t refinement_count;
  std::vector<group_row> groups;
};

// Absent refinements' argument cells hold 99 until the call sets them to none!.
TEST_F(compiled_entries_test, a_call_by_table_index_equals_the_interpreted_call) {
  const call_row rows[] = {
      {"append/only/dup [a b] [x y] 2", "append", "[a b] [x y] 99 2", 3, {{false, 0, 2, 1}, {true, 1, 3, 0}, {true, 2, 3, 1}}},
      {"append [a b] [x y]", "append", "[a b] [x y] 99 99", 3, {{false, 0, 2, 1}, {false, 1, 3, 0}, {false, 2, 3, 1}}},
      {"append/part [a b] [x y z] 2", "append", "[a b] [x y z] 2 99", 3, {{true, 0, 2, 1}, {false, 1, 3, 0}, {false, 2, 3, 1}}},
      {"append/dup/only [a] [x] 3", "append", "[a] [x] 99 3", 3, {{true, 2, 3, 1}, {true, 1, 3, 0}}},
      {"to-hex/size 255 4", "to-hex", "255 4", 1, {{true, 0, 1, 1}}},
      {"to-hex 255", "to-hex", "255 99", 1, {{false, 0, 1, 1}}},
  };
  const cell yes{TYPE_LOGIC, 1, 0, 0}, no{TYPE_NONE, 0, 0, 0};
  for (const call_row& r : rows) {
    SCOPED_TRACE(r.interpreted);
    std::string expected = interpreted(r.interpreted);
    cell fn = global(r.function);
    ASSERT_TRUE(type_of(&fn) == TYPE_ACTION || type_of(&fn) == TYPE_NATIVE);
    bool native = type_of(&fn) == TYPE_NATIVE;
    cell* base = stack::top;
    cell* caller = stack::arguments;
    uint32_t depth = stack::depth();
    cell values = *load(r.arguments);
    collector::root_cells keep(&values);
    cell name = *word::load(r.function);
    stack::pop(2);
    stack::mark_native(&name);
    int32_t n = block::ks_length_q(&values);
    for (int32_t i = 0; i < n; ++i) stack::push(block::ks_head(&values) + i);
    std::vector<actions::refinement_group> groups;
    for (const group_row& g : r.groups) groups.push_back({g.given ? &yes : &no, g.position, g.argument, g.count});
    uint32_t status = actions::call_with_refinements(fn.w1, native, r.refinement_count, groups.data(),
                                                     uint32_t(groups.size()));
    EXPECT_EQ(status, 0u);
    EXPECT_EQ(mold(stack::arguments), expected);
    // append leaves its argument cells alone (a native may reuse them).
    for (const group_row& g : r.groups)
      for (uint32_t k = 0; k < g.count && !g.given && !native; ++k)
        EXPECT_EQ(type_of(stack::arguments + g.argument + k), TYPE_NONE) << "argument " << g.argument + k;
    stack::unwind();
    EXPECT_EQ(stack::depth(), depth);
    EXPECT_EQ(stack::arguments, caller);
    stack::top = base;
  }
  EXPECT_EQ(global("append").w1, uint32_t(ACT_APPEND));  // the index is the action number
}

TEST_F(compiled_entries_test, a_call_by_an_index_with_no_entry_raises_not_done) {
  stack::mark_native(nullptr);
  for (auto [index, native] : {std::pair{0u, false}, {63u, false}, {0u, true}, {natives::TABLE_SLOTS, true}}) {
    SCOPED_TRACE(index);
    try {
      actions::call_with_refinements(index, native, 0, {});
      ADD_FAILURE() << "nothing raised";
    } catch (const thrown&) {
      EXPECT_EQ(error::last_category(), err::cat_internal);
      EXPECT_EQ(error::last_id(), err::internal::not_done);
    }
  }
}

std::string first_line(const std::string& text) { return text.substr(0, text.find('\n')); }

struct report_row {
  const char* script;  // raises the error; nothing catches it
  int category, id;
  const char* arguments;  // the error's arguments as source text
  bool whole;             // the where and near fields match too
};

// error/print writes, on standard output, the report that the executable
// writes on standard error for an error nothing catches: the same message,
// and, where the uncaught error's where and near read as those of an error
// never raised ("???" and none), the same text throughout.
TEST_F(compiled_entries_test, error_print_prints_the_uncaught_error_report) {
  const report_row rows[] = {
      // The report without a stack line, as error::print writes it.
      {"Kez [] system/state/stack-trace: 0 do make error! [type: 'script id: 'invalid-arg arg1: 5 where: \"???\" near: 'none]\n",
       err::cat_script, err::script::invalid_arg, "5", true},
      {"Kez [] system/state/stack-trace: 0 do make error! [type: 'script id: 'expect-arg arg1: 'f arg2: integer! arg3: 'x where: \"???\" near: 'none]\n",
       err::cat_script, err::script::expect_arg, "f integer! x", true},
      {"Kez [] to binary! #FFGG\n", err::cat_script, err::script::invalid_data, "#FFGG", false},
      {"Kez [] 1 / 0\n", err::cat_math, err::math::zero_divide, "", false},
  };
  int n = 0;
  for (const report_row& r : rows) {
    SCOPED_TRACE(r.script);
    auto child = kez::test::run_child(KEZ_EXE, {test::script_file("compiled_entries_" + std::to_string(n++) + ".kez", r.script)});
    EXPECT_EQ(child.status, 254);
    EXPECT_EQ(child.out, "");
    cell* base = stack::top;
    cell* arguments = stack::arguments;
    uint32_t depth = stack::depth();
    cell args = *load(r.arguments);
    collector::root_cells keep(&args);
    stack::pop(1);
    // Words in the arguments stand for themselves, as in the child's spec.
    int32_t count = block::ks_length_q(&args);
    cell values[3] = {};
    for (int32_t i = 0; i < count; ++i) {
      values[i] = block::ks_head(&args)[i];
      if (type_of(&values[i]) == TYPE_WORD && type_of(context::get(&values[i])) == TYPE_DATATYPE)
        values[i] = *context::get(&values[i]);
    }
    collector::root_cells keep_values(values, 3);
    std::string printed = test::capture_stdout([&] {
      error::print(r.category, r.id, count > 0 ? &values[0] : nullptr, count > 1 ? &values[1] : nullptr,
                   count > 2 ? &values[2] : nullptr);
    });
    EXPECT_EQ(stack::top, base);
    EXPECT_EQ(stack::arguments, arguments);
    EXPECT_EQ(stack::depth(), depth);
    if (r.whole) {
      // The script ran through do-file, whose try/keep adds the line of the
      // source files to the child's report.
      std::string report = child.err;
      size_t files = report.find("*** Files: ");
      if (files != std::string::npos) report.erase(files);
      EXPECT_EQ(printed, report);
    } else {
      EXPECT_EQ(first_line(printed), first_line(child.err));
      EXPECT_NE(printed.find("\n*** Where: ???\n*** Near : none\n"), std::string::npos) << printed;
    }
  }
}

}  // namespace
}  // namespace kez
