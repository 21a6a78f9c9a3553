// The datatype registry (inheritance, unsupported entries, the list check),
// typed dispatch and the datatype! value.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

#include "heap_values.h"
#include "runtime/actions.h"
#include "values_fixture.h"

namespace kez {
namespace {

using testing::datatype_value;
using testing::error_of;
using testing::integer;
using testing::utf8_of;

class registry_test : public testing::values_test {};

// Handlers told apart by what they answer.
int32_t form_a(const cell*, cell*, const cell*, int32_t) { return 1; }
int32_t form_b(const cell*, cell*, const cell*, int32_t) { return 2; }
int32_t compare_a(const cell*, const cell*, int32_t) { return 7; }

constexpr uint32_t PARENT = TYPE_IMAGE, CHILD = TYPE_EVENT;  // ids this fixture leaves free

TEST_F(registry_test, child_copies_parent_row_as_it_stands_at_registration) {
  datatype::registration(PARENT, 0, "parent!").set<ACT_FORM>(form_a).commit();
  datatype::registration(CHILD, PARENT, "child!").inherit_all().set<ACT_COMPARE>(compare_a).commit();
  // A later change of the parent never reaches the child.
  datatype::registration(PARENT, 0, "parent!").set<ACT_FORM>(form_b).set<ACT_COMPARE>(compare_a).commit();

  cell child{CHILD, 0, 0, 0}, parent{PARENT, 0, 0, 0};
  EXPECT_EQ(actions::form_dispatch(&child, nullptr, nullptr, 0), 1);
  EXPECT_EQ(actions::form_dispatch(&parent, nullptr, nullptr, 0), 2);
  EXPECT_EQ(actions::compare_value(&child, &child, COMP_EQUAL), 7);
  // Inheriting an entry the parent lacks leaves it unsupported.
  EXPECT_EQ(error_of([&] { actions::mold_dispatch(&child, nullptr, false, false, false, nullptr, 0, 0); }),
            std::make_pair(int(err::cat_script), int(err::script::expect_arg)));
  EXPECT_EQ(datatype::top_id(), CHILD);
  EXPECT_STREQ(datatype::name(CHILD), "child!");
  EXPECT_EQ(datatype::name_length(CHILD), 5);
}

TEST_F(registry_test, inherit_without_parent_is_unsupported) {
  datatype::registration(PARENT, 0, "parent!").inherit_all().commit();
  cell v{PARENT, 0, 0, 0};
  EXPECT_EQ(error_of([&] { actions::form_dispatch(&v, nullptr, nullptr, 0); }).second, err::script::expect_arg);
}

TEST_F(registry_test, unsupported_action_raises_expect_arg) {
  cell n = none::value;
  cell one = integer(1);
  EXPECT_EQ(error_of([&] { actions::dispatch<ACT_ADD>(&n, &one); }),
            std::make_pair(int(err::cat_script), int(err::script::expect_arg)));
  // No type byte reads outside the table, registered or not.
  for (uint32_t type : {0u, 57u, 200u, 255u}) {
    cell odd{type, 0, 0, 0};
    EXPECT_EQ(error_of([&] { actions::form_dispatch(&odd, nullptr, nullptr, 0); }).second, err::script::expect_arg);
  }
}

TEST(actions_layer, index_argument_of_pick_and_poke) {
  struct row { cell index; int32_t n; };
  const row rows[] = {
      {integer(-3), -3}, {cell{TYPE_CHAR, 0, 0x41, 0}, 0x41}, {logic::true_value, 1},
      {logic::false_value, 2}, {none::value, 0}, {datatype_value(TYPE_INTEGER), 0},
  };
  for (const row& r : rows) EXPECT_EQ(actions::get_index_argument(&r.index), r.n) << type_of(&r.index);
}

TEST_F(registry_test, datatype_constructors) {
  cell* pushed = datatype::push(TYPE_BLOCK);
  EXPECT_EQ(pushed, stack::top_cell());
  EXPECT_EQ(type_of(pushed), TYPE_DATATYPE);
  EXPECT_EQ(datatype::get(pushed), uint32_t(TYPE_BLOCK));
  cell* block = stack::push_cell();
  *block = cell{TYPE_BLOCK, 0, memory::alloc_cells(1), 0};
  for (uint32_t t = 1; t <= 20; ++t) datatype::make_in(block, t);  // grows the block
  EXPECT_EQ(testing::length_of(block->w2), 20u);
  EXPECT_EQ(datatype::get(testing::cell_at(block->w2, 19)), 20u);
}

// A list of the wrong length stops the process with a report and a failure
// status, before anything else happens.
TEST(registry_check, wrong_list_length_ends_the_process) {
  struct row { int words; const char* found; };
  for (row r : {row{64, "*** Found: 61"}, row{66, "*** Found: 63"}}) {
    std::string cmd = std::string(KEZ_TEST_PROGRAM_DIR) + "/bad_registration " + std::to_string(r.words);
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string out;
    char buf[256];
    while (size_t n = fread(buf, 1, sizeof buf, p)) out.append(buf, n);
    int status = pclose(p);
    ASSERT_TRUE(WIFEXITED(status)) << r.words;
    EXPECT_NE(WEXITSTATUS(status), 0) << r.words;
    EXPECT_NE(out.find("*** Datatype Error: invalid actions count for type: 30\n"), std::string::npos) << out;
    EXPECT_NE(out.find(std::string(r.found) + "\n*** Expected: 62"), std::string::npos) << out;
    EXPECT_EQ(out.find("registered"), std::string::npos) << out;
  }
}

TEST(registry_check, type_ids_beyond_the_tables_are_refused) {
  // 55 and 56 have table rows but name no type; 57 has none.
  for (const char* id : {"55", "56", "57"}) {
    std::string cmd = std::string(KEZ_TEST_PROGRAM_DIR) + "/bad_registration 65 " + id;
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[256] = {};
    size_t n = fread(buf, 1, sizeof buf - 1, p);
    int status = pclose(p);
    ASSERT_TRUE(WIFEXITED(status)) << id;
    EXPECT_NE(WEXITSTATUS(status), 0) << id;
    EXPECT_EQ(std::string(buf, n).find("registered"), std::string::npos) << id;
  }
}

TEST(registry_check, right_list_length_registers) {
  std::string cmd = std::string(KEZ_TEST_PROGRAM_DIR) + "/bad_registration 65";
  FILE* p = popen(cmd.c_str(), "r");
  ASSERT_NE(p, nullptr);
  char buf[64] = {};
  size_t n = fread(buf, 1, sizeof buf - 1, p);
  EXPECT_EQ(pclose(p), 0);
  EXPECT_EQ(std::string(buf, n), "registered\n");
}

// form, mold and mold/all through the typed dispatchers, with the budgets
// they answer.
TEST_F(registry_test, form_and_mold_of_simple_values) {
  struct row {
    cell value;
    const char *form, *mold, *mold_all;
  };
  const row rows[] = {
      {datatype_value(TYPE_INTEGER), "integer", "integer!", "#(integer!)"},
      {datatype_value(TYPE_DATATYPE), "datatype", "datatype!", "#(datatype!)"},
      {none::value, "none", "none", "#(none)"},
      {unset::value, "", "unset", "#(unset)"},
      {logic::true_value, "true", "true", "#(true)"},
      {logic::false_value, "false", "false", "#(false)"},
  };
  for (const row& r : rows) {
    for (int mode = 0; mode < 3; ++mode) {
      stack::reset();
      cell* buffer = testing::empty_text();
      int32_t left = mode == 0 ? actions::form_dispatch(&r.value, buffer, nullptr, 100)
                               : actions::mold_dispatch(&r.value, buffer, false, mode == 2, false, nullptr, 100, 0);
      std::string expected = mode == 0 ? r.form : mode == 1 ? r.mold : r.mold_all;
      EXPECT_EQ(utf8_of(buffer), expected);
      EXPECT_EQ(left, 100 - int32_t(expected.size())) << expected;
    }
  }
}

// Outside data can name ids that nothing registered: they write nothing.
TEST_F(registry_test, unregistered_type_names_are_empty) {
  for (uint32_t id : {55u, 56u, 300u}) {
    cell v{TYPE_DATATYPE, id, 0, 0};
    cell* buffer = testing::empty_text();
    EXPECT_EQ(actions::form_dispatch(&v, buffer, nullptr, 10), 10);
    EXPECT_EQ(actions::mold_dispatch(&v, buffer, false, false, false, nullptr, 10, 0), 10);
    EXPECT_EQ(utf8_of(buffer), "");
    EXPECT_STREQ(datatype::name(id), "");
  }
}

TEST_F(registry_test, datatype_values_are_equal_only_to_the_same_type) {
  cell a = datatype_value(TYPE_INTEGER), b = datatype_value(TYPE_INTEGER), c = datatype_value(TYPE_FLOAT);
  cell n = integer(TYPE_INTEGER);  // a number that happens to be the id
  EXPECT_TRUE(actions::compare(&a, &b, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(&a, &b, COMP_SAME));
  EXPECT_FALSE(actions::compare(&a, &c, COMP_EQUAL));
  EXPECT_TRUE(actions::compare(&a, &c, COMP_NOT_EQUAL));
  EXPECT_FALSE(actions::compare(&a, &n, COMP_FIND));
  EXPECT_EQ(actions::compare_value(&a, &c, COMP_SORT), -2);
  for (int32_t op : {COMP_LESSER, COMP_LESSER_EQUAL, COMP_GREATER, COMP_GREATER_EQUAL})
    EXPECT_EQ(error_of([&] { actions::compare(&a, &b, op); }),
              std::make_pair(int(err::cat_script), int(err::script::invalid_compare)));
}

TEST_F(registry_test, compare_maps_answers_to_truth_by_op) {
  // logic! answers the difference of the truth values: false < true.
  cell f = logic::false_value, t = logic::true_value;
  struct row { int32_t op; bool f_t, t_f, t_t; };
  const row rows[] = {
      {COMP_EQUAL, false, false, true},       {COMP_NOT_EQUAL, true, true, false},
      {COMP_STRICT_EQUAL, false, false, true}, {COMP_SAME, false, false, true},
      {COMP_FIND, false, false, true},
  };
  for (const row& r : rows) {
    EXPECT_EQ(actions::compare(&f, &t, r.op), r.f_t) << r.op;
    EXPECT_EQ(actions::compare(&t, &f, r.op), r.t_f) << r.op;
    EXPECT_EQ(actions::compare(&t, &t, r.op), r.t_t) << r.op;
  }
  EXPECT_LT(actions::compare_value(&f, &t, COMP_SORT), 0);
  EXPECT_GT(actions::compare_value(&t, &f, COMP_CASE_SORT), 0);
}

TEST(registry_check, compare_with_an_unknown_op_ends_the_process) {
  EXPECT_EXIT(
      {
        datatype::reset();
        logic::init();
        cell t = logic::true_value;
        actions::compare(&t, &t, COMP_SORT);
      },
      ::testing::ExitedWithCode(101), "Runtime Error 101: no value matched in SWITCH");
}

}  // namespace
}  // namespace kez
