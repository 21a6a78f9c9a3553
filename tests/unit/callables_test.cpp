// function!, routine!, native!, action! and op!: the spec dialect, local
// collection, construction, reflection, mold and comparison.
#include <gtest/gtest.h>

#include "callables_fixture.h"

namespace kez::testing {
namespace {

using callables = callables_test;

// A function! made from "[spec] [body]" text, on the data stack.
cell* func_of(const std::string& text) {
  cell* src = callables_test::load(text);
  cell* spec = block::ks_head(src);
  uint32_t flags = function::validate(spec);
  cell s = spec[0], b = spec[1];
  collector::root_cells keep(&s), keep_b(&b);
  function::push(&s, &b, 0, 0, 0, flags);
  return stack::top_cell();
}

TEST_F(callables, MoldAndFormOfAFunction) {
  cell* f = func_of("[x] [x + 1]");
  EXPECT_EQ(mold_text(f), "func [x][x + 1]");
  EXPECT_EQ(form_text(f), "?function?");
  cell* bodiless = stack::push(f);
  cell* src = load("[a]");
  function::push(first_of(src), nullptr, 0, 0, 0, 0);
  EXPECT_EQ(mold_text(stack::top_cell()), "func [a] none");
  (void)bodiless;
}

TEST_F(callables, SpecValidation) {
  context::set(word_named("int-value"), stack::push(&(const cell&)integer(5)));
  cell type = datatype_value(TYPE_BLOCK);
  context::set(word_named("block!"), &type);
  struct row { const char* spec; const char* outcome; uint32_t flags; } rows[] = {
    {"[]", "none", 0},
    {"[[trace]]", "none", 0x400},
    {"[[no-trace other]]", "none", 0x200},
    {"[[trace no-trace] a]", "none", 0x600},
    {"[[1]]", "script/bad-func-def", 0},
    {"[a A]", "script/dup-vars", 0},
    {"[a /a]", "script/dup-vars", 0},
    {"[a \"doc\" [block!]]", "script/bad-func-def", 0},
    {"[a [block!] \"doc\"]", "none", 0},
    {"[x return: [block!] y]", "script/bad-func-def", 0},
    {"[x return: [block!] /local y]", "none", 0},
    {"[x return: [block!] return: [block!]]", "script/bad-func-def", 0},
    {"[return: block!]", "script/bad-func-def", 0},
    {"[/local 'y]", "script/bad-func-def", 0},
    {"[/local y /other]", "script/bad-func-def", 0},
    {"[x: [block!]]", "script/bad-func-def", 0},
    {"[a 1]", "script/bad-func-def", 0},
    {"[/ref 1]", "script/bad-func-def", 0},
    {"[a [no-such-word-here]]", "script/no-value", 0},
    {"[a [int-value]]", "script/invalid-type-spec", 0},
  };
  for (const row& r : rows) {
    cell* src = load(r.spec);
    uint32_t flags = 0;
    EXPECT_EQ(raised([&] { flags = function::validate(first_of(src)); }), r.outcome) << r.spec;
    if (std::string(r.outcome) == "none") {
      EXPECT_EQ(flags, r.flags) << r.spec;
    }
  }
}

TEST_F(callables, DuplicateNamesTheLaterEntry) {
  cell* src = load("[a b A]");
  EXPECT_EQ(raised([&] { function::validate(first_of(src)); }), "script/dup-vars");
  EXPECT_EQ(mold_text(error::last_arg(1)), "A");
}

TEST_F(callables, LocalCollection) {
  struct row { const char* spec; const char* body; const char* spec_after; const char* collected; } rows[] = {
    {"[]", "[x: 1 foreach [k v] b [] repeat i 3 [] map-each m b [] remove-each r c []]",
     "[/local x k v i r]", "[x k v i r]"},
    {"[a]", "[a: 1 (b: 2) [c: 3 b: 4]]", "[a /local b c]", "[b c]"},
    {"[/extern x]", "[x: 1 y: 2]", "[/local y]", "[y]"},
    {"[a /extern x /local z]", "[x: 1 y: 2]", "[a /local z y]", "[z y]"},
    {"[a /local b]", "[b: 1 c: 2 local: 3]", "[a /local b c]", "[c]"},
    {"[a]", "[print a]", "[a]", "[]"},
  };
  for (const row& r : rows) {
    cell* spec_src = load(r.spec);
    cell* spec = unset::push();
    block::clone(spec, first_of(spec_src), false, false);
    cell* body = load(r.body);
    cell* result = unset::push();
    unset::make_at(result);
    function::collect_words(spec, first_of(body), result);
    EXPECT_EQ(mold_text(spec), r.spec_after) << r.spec << " " << r.body;
    EXPECT_EQ(mold_text(result), r.collected) << r.spec << " " << r.body;
  }
  cell* bad = load("[/extern x 1]");
  cell* spec = unset::push();
  block::clone(spec, first_of(bad), false, false);
  cell* body = load("[]");
  cell* result = unset::push();
  EXPECT_EQ(raised([&] { function::collect_words(spec, first_of(body), result); }), "script/bad-func-extern");
}

TEST_F(callables, LocalsCountAndContext) {
  cell* f = func_of("[a /r b /local c d] [c: a]");
  EXPECT_EQ(function::count_locals(f->w2, 0, false), 3);
  EXPECT_EQ(function::count_locals(func_of("[a] []")->w2, 0, false), 0);
  EXPECT_EQ(function::count_locals(func_of("[a] []")->w2, 0, true), -1);
  f = func_of("[a /r b /local c d] [c: a]");
  uint32_t ctx = function::context_of(f);
  EXPECT_EQ(context::length_of(ctx), 6u);
  EXPECT_TRUE(context::on_stack_q(ctx));
  EXPECT_EQ(context::owner_of(ctx)->w3, f->w3) << "the context knows its function";
  cell* words = stack::push(f);
  actions::dispatch<ACT_REFLECT>(words, words::symbols[words::sym::words]);
  EXPECT_EQ(mold_text(words), "[a r b local c d]");
  cell* body = function::extras_at(f, function::EX_BODY);
  EXPECT_EQ(block::ks_head(body)->w1, function::context_of(f)) << "the body copy is bound to the function context";
  cell* before = stack::top;
  function::init_locals(3);
  EXPECT_EQ(stack::top - before, 3);
  EXPECT_EQ(type_of(before), TYPE_LOGIC);
  EXPECT_EQ(type_of(before + 2), TYPE_NONE);
}

TEST_F(callables, BodyIsADeepCopy) {
  cell* src = load("[x] [[x 1]]");
  cell* spec = first_of(src);
  function::push(spec, spec + 1, 0, 0, 0, 0);
  cell* f = stack::top_cell();
  cell* inner_copy = block::ks_head(function::extras_at(f, function::EX_BODY));
  cell* inner_source = block::ks_head(spec + 1);
  EXPECT_NE(inner_copy->w2, inner_source->w2);
}

TEST_F(callables, MakeFunctionAndReflect) {
  cell* arg = load("[[a] [a]]");
  cell* made = unset::push();
  datatype::make_at(made, TYPE_FUNCTION);
  function::make(made, first_of(arg), TYPE_FUNCTION);
  EXPECT_EQ(mold_text(made), "func [a][a]");
  cell* spec = stack::push(made);
  function::reflect(spec, words::symbols[words::sym::spec]);
  EXPECT_EQ(mold_text(spec), "[a]");
  cell* other = stack::push(made);
  EXPECT_EQ(raised([&] { function::reflect(other, words::symbols[words::sym::class_]); }), "internal/not-done");
  for (const char* bad : {"[[a]]", "[[a] 1]", "[1 [a]]"}) {
    cell* b = load(bad);
    cell* target = unset::push();
    EXPECT_EQ(raised([&] { function::make(target, first_of(b), TYPE_FUNCTION); }), "script/bad-func-def") << bad;
  }
}

TEST_F(callables, FunctionsCompareByIdentity) {
  cell* f = func_of("[a] [a]");
  cell* copy = stack::push(f);
  cell* twin = func_of("[a] [a]");
  EXPECT_EQ(actions::compare_value(f, copy, COMP_EQUAL), 0);
  EXPECT_NE(actions::compare_value(f, twin, COMP_EQUAL), 0);
  EXPECT_EQ(function::compare(f, twin, COMP_LESSER), -2);
  cell* n = stack::push(&(const cell&)integer(1));
  EXPECT_EQ(function::compare(f, n, COMP_EQUAL), -2);
}

TEST_F(callables, Routines) {
  cell* src = load("[a b /r c \"doc\"]");
  cell* r = routine::push(first_of(src), nullptr, 7, TYPE_INTEGER, false);
  EXPECT_EQ(routine::get_arity(r), 3u);
  EXPECT_EQ(r->header & FLAG_ROUTINE, 0u);
  EXPECT_EQ(form_text(r), "?routine?");
  EXPECT_EQ(mold_text(r), "routine [a b /r c \"doc\"] none");
  cell* raw = routine::push(first_of(src), nullptr, 7, -1, true);
  EXPECT_EQ(raw->header & FLAG_ROUTINE, uint32_t(FLAG_ROUTINE));
  cell* words = stack::push(r);
  actions::dispatch<ACT_REFLECT>(words, words::symbols[words::sym::words]);
  EXPECT_EQ(mold_text(words), "[a b r c]");
}

TEST_F(callables, MakeNativeAndAction) {
  struct row { uint32_t type; const char* arg; const char* outcome; } rows[] = {
    {TYPE_NATIVE, "[[a] 1]", "none"},       {TYPE_NATIVE, "[[a] 120]", "none"},
    {TYPE_NATIVE, "[[a] 0]", "script/bad-make-arg"}, {TYPE_NATIVE, "[[a] 121]", "script/bad-make-arg"},
    {TYPE_ACTION, "[[a] 62]", "none"},      {TYPE_ACTION, "[[a] 63]", "script/bad-make-arg"},
    {TYPE_NATIVE, "[[a]]", "script/bad-make-arg"}, {TYPE_NATIVE, "[[a] 1 2]", "script/bad-make-arg"},
    {TYPE_ACTION, "[a 1]", "script/bad-make-arg"},
  };
  for (const row& r : rows) {
    cell* arg = load(r.arg);
    cell* target = unset::push();
    datatype::make_at(target, r.type);
    EXPECT_EQ(raised([&] { actions::make_dispatch(target, first_of(arg)); }), r.outcome) << r.arg;
  }
  cell* arg = load("[[value [block!]] 17]");
  cell* n = unset::push();
  datatype::make_at(n, TYPE_NATIVE);
  actions::make_dispatch(n, first_of(arg));
  EXPECT_EQ(mold_text(n), "make native! [[value [block!]]]");
  EXPECT_EQ(form_text(n), "?native?");
  cell* body = stack::push(n);
  native::reflect(body, words::symbols[words::sym::body]);
  EXPECT_EQ(mold_text(body), "17");
  cell* a = unset::push();
  datatype::make_at(a, TYPE_ACTION);
  actions::make_dispatch(a, first_of(arg));
  EXPECT_EQ(mold_text(a), "make action! [[value [block!]]]");
  EXPECT_EQ(native::compare(n, a, COMP_EQUAL), -2);
  cell* same = stack::push(n);
  EXPECT_EQ(native::compare(n, same, COMP_EQUAL), 0);
}

TEST_F(callables, OperatorSpecs) {
  struct row { const char* spec; const char* outcome; } rows[] = {
    {"[a b]", "none"},
    {"['a b]", "script/bad-op-spec"},
    {"[:a b]", "script/bad-op-spec"},
    {"[a 'b]", "none"},
    {"[a b /local c]", "none"},
    {"[a b /ref]", "script/bad-op-spec"},
    {"[a b return: [block!]]", "none"},
    {"[a]", "script/bad-op-spec"},
    {"[a b c]", "script/bad-op-spec"},
    {"[\"doc\" a [block!] b]", "none"},
  };
  for (const row& r : rows) {
    cell* src = load(r.spec);
    function::push(first_of(src), nullptr, 0, 0, 0, 0);
    cell* f = stack::top_cell();
    cell* target = unset::push();
    datatype::make_at(target, TYPE_OP);
    EXPECT_EQ(raised([&] { op::make(target, f, TYPE_OP); }), r.outcome) << r.spec;
  }
  cell* i = stack::push(&(const cell&)integer(1));
  cell* target = unset::push();
  EXPECT_EQ(raised([&] { op::make(target, i, TYPE_OP); }), "script/invalid-type");
}

TEST_F(callables, OperatorsShareTheirSource) {
  cell* f = func_of("[a b] [a]");
  cell* o = unset::push();
  op::make(o, f, TYPE_OP);
  EXPECT_EQ(type_of(o), TYPE_OP);
  EXPECT_EQ(op::source_type(o), TYPE_FUNCTION);
  EXPECT_EQ(o->w3, f->w3);
  EXPECT_EQ(function::extras_at(f, function::EX_OP)->w3, f->w3) << "the source is kept in extras cell 3";
  EXPECT_EQ(mold_text(o), "make op! func [a b][a]");
  EXPECT_EQ(form_text(o), "?op?");
  cell* body = stack::push(o);
  native::reflect(body, words::symbols[words::sym::body]);
  EXPECT_EQ(mold_text(body), "[a]");

  cell* arg = load("[[a b] 9]");
  cell* n = unset::push();
  datatype::make_at(n, TYPE_NATIVE);
  actions::make_dispatch(n, first_of(arg));
  cell* no = unset::push();
  op::make(no, n, TYPE_OP);
  EXPECT_EQ(mold_text(no), "make op! [[a b]]");
  cell* b1 = stack::push(n);
  cell* b2 = stack::push(no);
  native::reflect(b1, words::symbols[words::sym::body]);
  native::reflect(b2, words::symbols[words::sym::body]);
  EXPECT_EQ(mold_text(b1), mold_text(b2));
  cell* no2 = unset::push();
  op::make(no2, n, TYPE_OP);
  EXPECT_EQ(op::compare(no, no2, COMP_EQUAL), 0);
}

}  // namespace
}  // namespace kez::testing
