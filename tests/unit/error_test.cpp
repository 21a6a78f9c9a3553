// error!: making errors from codes, blocks and text, the catalogue (and its
// agreement with the ids the runtime names), the report form, mold, compare
// and the fire operation.
#include <gtest/gtest.h>

#include "callables_fixture.h"

namespace kez::testing {
namespace {

using errors = callables_test;

cell* make_error(const cell* spec) {
  cell* target = datatype::push(TYPE_ERROR);
  return error::make(target, spec, TYPE_ERROR);
}
cell* make_error(int32_t code) { return make_error(stack::push(&(const cell&)integer(code))); }

std::string field_text(const cell* e, error::field f) { return mold_text(error::field_of(e, f)); }

TEST_F(errors, CatalogueAgreesWithTheRuntimeIds) {
  const cell* catalogue = error::catalog();
  ASSERT_EQ(object::count_words(catalogue), 10u);
  for (int c = 0; c < 10; ++c) {
    cell* w = object::get_word_at(catalogue->w1, uint32_t(c));
    EXPECT_EQ(name_of(w->w2), err::category_name(c));
    // A rooted copy: the mold below allocates, and a collection may move
    // the values and the nodes.
    cell category_cell = *context::value_at(catalogue->w1, uint32_t(c));
    collector::root_cells keep(&category_cell);
    const cell* category = &category_cell;
    uint32_t n = object::count_words(category);
    EXPECT_EQ(mold_text(context::value_at(category->w1, 0)), std::to_string(c * 100)) << "code of " << c;
    int id = 0;
    for (; id + 2 < int(n); ++id) {
      const char* expected = err::id_name(c, id);
      ASSERT_NE(expected, nullptr) << "catalogue id " << name_of(object::get_word_at(category->w1, uint32_t(id + 2))->w2)
                                   << " is unknown to the runtime";
      EXPECT_EQ(name_of(object::get_word_at(category->w1, uint32_t(id + 2))->w2), expected);
    }
    EXPECT_EQ(err::id_name(c, id), nullptr) << "runtime id missing from the catalogue in category " << c;
  }
}

TEST_F(errors, MakeFromCodes) {
  struct row { int32_t code; const char* outcome; const char* type; const char* id; } rows[] = {
    {302, "none", "script", "not-defined"},
    {300, "none", "script", "no-value"},
    {393, "none", "script", "kb-invalid-record"},
    {400, "none", "math", "zero-divide"},
    {800, "none", "user", "message"},
    {913, "none", "internal", "deprecated"},
    {399, "script/out-of-range", "", ""},
    {-1, "script/out-of-range", "", ""},
    {600, "script/out-of-range", "", ""},
    {1000, "script/out-of-range", "", ""},
  };
  for (const row& r : rows) {
    cell* e = nullptr;
    EXPECT_EQ(raised([&] { e = make_error(r.code); }), r.outcome) << r.code;
    if (!e || std::string(r.outcome) != "none") continue;
    EXPECT_EQ(type_of(e), TYPE_ERROR);
    EXPECT_EQ(field_text(e, error::F_CODE), std::to_string(r.code));
    EXPECT_EQ(field_text(e, error::F_TYPE), r.type);
    EXPECT_EQ(field_text(e, error::F_ID), r.id);
    EXPECT_EQ(error::field_of(e, error::F_TYPE)->w1, error::catalog()->w1) << "type is bound to the catalogue";
  }
}

TEST_F(errors, MakeFromBlocksAndText) {
  struct row { const char* spec; const char* outcome; const char* code; } rows[] = {
    {"[math zero-divide]", "none", "400"},
    {"[script no-value]", "none", "300"},
    {"[Math Overflow]", "none", "401"},
    {"[nothing zero-divide]", "script/invalid-spec-field", ""},
    {"[math]", "script/invalid-spec-field", ""},
    {"[math 1]", "script/invalid-arg", ""},
    {"[math no-such-id]", "script/invalid-spec-field", ""},
    {"[math code]", "script/invalid-spec-field", ""},
    {"[1 2]", "internal/invalid-error", ""},
    {"[type: 'math id: 'positive]", "none", "402"},
    {"[type: 'math id: 'nope]", "script/invalid-spec-field", ""},
    {"[type: 'nope id: 'positive]", "script/invalid-spec-field", ""},
  };
  for (const row& r : rows) {
    cell* src = load(r.spec);
    cell* spec = first_of(src);
    cell* e = nullptr;
    EXPECT_EQ(raised([&] { e = make_error(spec); }), r.outcome) << r.spec;
    if (e && std::string(r.outcome) == "none") {
      EXPECT_EQ(field_text(e, error::F_CODE), r.code) << r.spec;
    }
  }
  cell* e = make_error(text("oops"));
  EXPECT_EQ(field_text(e, error::F_CODE), "800");
  EXPECT_EQ(field_text(e, error::F_ARG1), "\"oops\"");
  EXPECT_EQ(form_text(e).rfind("*** User Error: oops\n", 0), 0u) << form_text(e);
  EXPECT_EQ(raised([&] { make_error(stack::push(&(const cell&)character('x'))); }), "script/bad-make-arg");
}

TEST_F(errors, ReportForm) {
  cell* math = make_error(400);
  EXPECT_EQ(form_text(math), "*** Math Error: attempt to divide by zero\n*** Where: ???\n*** Near : none");
  cell* where = word_named("divide");
  error::set_where(math, where);
  error::set_where(math, word_named("other"));
  EXPECT_EQ(form_text(math), "*** Math Error: attempt to divide by zero\n*** Where: divide\n*** Near : none");

  cell* script = error::create(err::cat_script, err::script::invalid_arg, text("abc"));
  EXPECT_EQ(form_text(script).substr(0, 42), "*** Script Error: invalid argument: \"abc\"\n");
  cell* syntax = error::create(err::cat_syntax, err::syntax::missing, text("a"), text("]"), text("b c"));
  EXPECT_EQ(form_text(syntax).substr(0, 40), "*** Syntax Error: a missing ] at b c\n***");
  cell* internal = error::create(err::cat_internal, err::internal::deprecated, word_named("old"), word_named("new"));
  EXPECT_EQ(form_text(internal).substr(0, 62), "*** Internal Error: old is DEPRECATED, please use new instead\n");

  cell* near = error::create(err::cat_math, err::math::overflow);
  cell* code = load("1 + 2 + 3 + 4 + 5 + 6 + 7 + 8 + 9 + 10 + 11 + 12 + 13");
  *error::field_of(near, error::F_NEAR) = *code;
  EXPECT_EQ(form_text(near), "*** Math Error: math or number overflow\n*** Where: ???\n*** Near : "
                             "[1 + 2 + 3 + 4 + 5 + 6 + 7 + 8 + 9 + 10 ");
}

TEST_F(errors, FormOfABrokenErrorNamesTheBadValue) {
  cell* e = make_error(400);
  *error::field_of(e, error::F_ID) = *word_named("no-such-id");
  EXPECT_EQ(form_text(e).substr(0, 65), "*** Internal Error: invalid error object field value: no-such-id\n");
  cell* t = make_error(400);
  *error::field_of(t, error::F_TYPE) = integer(5);
  EXPECT_EQ(form_text(t).substr(0, 58), "*** Internal Error: invalid error object field value: 5\n**");
}

TEST_F(errors, MoldAndCompare) {
  cell* e = make_error(401);
  std::string m = mold_text(e);
  EXPECT_EQ(m.rfind("make error! [\n    code: 401\n    type: 'math\n    id: 'overflow\n    arg1: none\n", 0), 0u)
      << m;
  EXPECT_EQ(m.substr(m.size() - 17), "    files: none\n]");
  cell* same = make_error(401);
  cell* other = make_error(402);
  EXPECT_EQ(error::compare(e, same, COMP_EQUAL), 0);
  EXPECT_NE(error::compare(e, other, COMP_EQUAL), 0);
  EXPECT_EQ(error::compare(e, e, COMP_SAME), 0);
  EXPECT_EQ(error::compare(e, same, COMP_SAME), -1);
  cell* fields = load("[code: 401]");
  cell* o = object::construct(first_of(fields), nullptr, false);
  EXPECT_EQ(error::compare(e, o, COMP_EQUAL), -2);
}

TEST_F(errors, FireMakesAnErrorValue) {
  cell* arg = text("x");
  EXPECT_EQ(raised([&] { error::fire(err::cat_script, err::script::invalid_arg, arg); }), "script/invalid-arg");
  const cell* e = error::last_value();
  ASSERT_EQ(type_of(e), TYPE_ERROR);
  EXPECT_EQ(field_text(e, error::F_CODE), "309");
  EXPECT_EQ(field_text(e, error::F_ARG1), "\"x\"");
  EXPECT_EQ(type_of(error::field_of(e, error::F_ARG2)), TYPE_NONE);
  EXPECT_EQ(mold_text(error::last_arg(1)), "\"x\"");
}

TEST_F(errors, FireHandsTheErrorToTheEvaluator) {
  static std::string seen;
  seen.clear();
  error::evaluator.throw_error = [](cell* e) {
    seen = mold_text(error::field_of(e, error::F_ID));
    throw thrown{THROWN_ERROR};
  };
  EXPECT_EQ(raised([] { error::fire(err::cat_math, err::math::positive); }), "math/positive");
  error::evaluator = {};
  EXPECT_EQ(seen, "positive");
}

TEST_F(errors, PathsReadFields) {
  cell* e = make_error(400);
  cell* path = load("e/code");
  cell* got = error::eval_path(e, word_named("code"), nullptr, path, nullptr, nullptr, 0, false, true, false, false);
  EXPECT_EQ(mold_text(got), "400");
}

}  // namespace
}  // namespace kez::testing

namespace kez::testing {
namespace {

TEST_F(errors, CallNameOfTheFunctionBeingCalled) {
  cell* src = load("[a 'b /c d] []");
  function::push(first_of(src), first_of(src) + 1, 0, 0, 0, 0);
  cell* fn = stack::top_cell();
  cell* fn_word = word_named("called-fn");
  context::set(fn_word, fn);
  stack::mark_func(fn_word, 0);
  stack::mark(words::word[words::w::body], stack::FRAME_EVAL << 24);
  struct row { int32_t n; const char* name; } rows[] = {{0, "a"}, {1, "'b"}, {2, "/c"}, {3, "d"}, {4, "<anon>"}};
  for (const row& r : rows) {
    cell name = error::get_call_name(r.n);
    EXPECT_EQ(mold_text(&name), r.name) << r.n;
  }
  stack::unwind_reset();
  stack::unwind_reset();
  cell* plain = word_named("plain-value");
  context::set(plain, stack::push(&(const cell&)integer(1)));
  stack::mark_native(plain);
  cell name = error::get_call_name(0);
  EXPECT_EQ(mold_text(&name), "<anon>");
  stack::unwind_reset();
  EXPECT_EQ(error::nop(), 8);
}

}  // namespace
}  // namespace kez::testing

namespace kez::testing {
namespace {

TEST_F(errors, StackOfActiveCalls) {
  cell* outer = word_named("outer-fn");
  cell* inner = word_named("inner-native");
  cell* e = error::create(err::cat_math, err::math::overflow);
  stack::mark_func(outer, 0);
  stack::mark(words::word[words::w::body], stack::FRAME_EVAL << 24);
  stack::mark_native(inner);
  *error::field_of(e, error::F_STACK) = integer(int32_t(stack::depth()));
  integer::make_at(error::stack_trace(), 2);
  EXPECT_NE(form_text(e).find("\n*** Stack: outer-fn inner-native "), std::string::npos) << form_text(e);
  integer::make_at(error::stack_trace(), 1);
  std::string level1 = form_text(e);
  EXPECT_EQ(level1.substr(level1.rfind("\n*** Stack:")), "\n*** Stack: outer-fn ") << "function calls only at level 1";
  cell* files = text("a.kez");
  block::ks_append(error::source_files(), files);
  error::set_stack(e);
  EXPECT_EQ(mold_text(error::field_of(e, error::F_STACK)), "[outer-fn]") << "function calls only at depth 1";
  EXPECT_EQ(mold_text(error::field_of(e, error::F_FILES)), "[\"a.kez\"]");
  EXPECT_NE(form_text(e).find("\n*** Stack: outer-fn\n*** Files: [\"a.kez\"]"), std::string::npos) << form_text(e);
  cell* all = error::create(err::cat_math, err::math::overflow);
  *error::field_of(all, error::F_STACK) = integer(int32_t(stack::depth()));
  integer::make_at(error::stack_trace(), 2);
  error::set_stack(all);
  EXPECT_EQ(mold_text(error::field_of(all, error::F_STACK)), "[outer-fn inner-native]");
  stack::unwind_reset();
  stack::unwind_reset();
  stack::unwind_reset();
}

}  // namespace
}  // namespace kez::testing
