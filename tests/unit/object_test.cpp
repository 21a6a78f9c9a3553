// object!: construction and class ids, construct, copy, reflection, mold,
// comparison, field access by path and `set`, and the change hooks.
#include <gtest/gtest.h>

#include "callables_fixture.h"

namespace kez::testing {
namespace {

using objects = callables_test;

cell* object_datatype() { return datatype::push(TYPE_OBJECT); }

// make <proto> <spec text>, on the data stack.
cell* make_object(const cell* proto, const std::string& spec) {
  cell* src = callables_test::load(spec);
  cell* target = stack::push(proto);
  return object::make(target, block::ks_head(src), TYPE_OBJECT);
}

cell* field(const cell* object, const char* name) {
  cell* w = word_named(name);
  return object::ks_select(object, w);
}

// An object with fields a, b and an on-change* function of the given spec.
cell* hooked_object(const char* hook_spec = "[word old new]") {
  cell* fields = callables_test::load("[a: 1 b: 2 on-change*: none]");
  cell* o = object::construct(block::ks_head(fields), nullptr, false);
  cell* src = callables_test::load(std::string(hook_spec) + " []");
  function::push(block::ks_head(src), block::ks_head(src) + 1, 0, 0, 0, 0);
  *field(o, "on-change*") = *stack::top_cell();
  object::rebuild_hooks(o);
  return o;
}

TEST_F(objects, MoldAndForm) {
  cell* o = make_object(object_datatype(), "[a: 1 b: \"x\"]");
  EXPECT_EQ(mold_text(o), "make object! [\n    a: 1\n    b: \"x\"\n]");
  EXPECT_EQ(form_text(o), "a: 1\nb: \"x\"");
  cell* empty = make_object(object_datatype(), "[]");
  EXPECT_EQ(form_text(empty), "");
  EXPECT_EQ(mold_text(empty), "make object! []");
  cell* w = make_object(object_datatype(), "[w: 'word]");
  EXPECT_EQ(mold_text(w), "make object! [\n    w: 'word\n]");
}

TEST_F(objects, MoldOfAnObjectHoldingItself) {
  cell* o = make_object(object_datatype(), "[a: 1 me: none]");
  *field(o, "me") = *o;
  EXPECT_EQ(mold_text(o), "make object! [\n    a: 1\n    me: make object! [...]\n]");
}

TEST_F(objects, NestedObjectsIndent) {
  cell* inner = make_object(object_datatype(), "[x: 1]");
  cell* outer = make_object(object_datatype(), "[in: none]");
  *field(outer, "in") = *inner;
  EXPECT_EQ(mold_text(outer), "make object! [\n    in: make object! [\n        x: 1\n    ]\n]");
}

TEST_F(objects, ClassIds) {
  cell* o = make_object(object_datatype(), "[a: 1]");
  EXPECT_EQ(o->w2, object::FIRST_CLASS_ID + 1);
  cell* same_shape = make_object(o, "[a: 2]");
  EXPECT_EQ(same_shape->w2, o->w2);
  cell* wider = make_object(o, "[z: 1]");
  EXPECT_NE(wider->w2, o->w2);
  cell* copy = make_object(o, "[]");
  EXPECT_EQ(object::compare(o, copy, COMP_EQUAL), 0);
  EXPECT_EQ(object::compare(o, copy, COMP_SAME), -1);
  EXPECT_EQ(object::compare(o, o, COMP_SAME), 0);
  EXPECT_EQ(object::compare(o, wider, COMP_EQUAL), -1);
  EXPECT_EQ(object::compare(wider, o, COMP_EQUAL), 1);
  EXPECT_EQ(object::compare(o, same_shape, COMP_EQUAL), -1) << "1 < 2 in field a";
  cell* src = load("[q: 5]");
  cell* built = object::construct(first_of(src), o, false);
  EXPECT_EQ(built->w2, o->w2) << "construct keeps the prototype's class";
}

TEST_F(objects, MakeCopiesSeriesAndRebindsThem) {
  cell* proto = make_object(object_datatype(), "[a: 1 blk: [a]]");
  cell* child = make_object(proto, "[a: 2]");
  cell* pb = field(proto, "blk");
  cell* cb = field(child, "blk");
  EXPECT_NE(pb->w2, cb->w2) << "the block is the child's own copy";
  EXPECT_EQ(block::ks_head(cb)->w1, child->w1) << "bound to the child";
  EXPECT_EQ(block::ks_head(pb)->w1, proto->w1);
}

TEST_F(objects, MakeFromObjectSpecAndBadSpecs) {
  cell* a = make_object(object_datatype(), "[x: 1]");
  cell* b = make_object(object_datatype(), "[y: 2]");
  cell* merged = stack::push(a);
  object::make(merged, b, TYPE_OBJECT);
  EXPECT_EQ(mold_text(merged), "make object! [\n    x: 1\n    y: 2\n]");
  EXPECT_NE(merged->w2, a->w2);
  cell* i = stack::push(&(const cell&)integer(3));
  cell* target = stack::push(object_datatype());
  EXPECT_EQ(raised([&] { object::make(target, i, TYPE_OBJECT); }), "syntax/malconstruct");
}

TEST_F(objects, Construct) {
  struct row { const char* spec; bool only; const char* mold; } rows[] = {
    {"[a: b: 1 c: on d:]", false, "make object! [\n    a: 1\n    b: 1\n    c: true\n    d: none\n]"},
    {"[c: on e: no f: none]", true, "make object! [\n    c: 'on\n    e: 'no\n    f: 'none\n]"},
    {"[c: yes e: off f: none g: x + 1]", false,
     "make object! [\n    c: true\n    e: false\n    f: none\n    g: 'x\n]"},
  };
  for (const row& r : rows) {
    cell* src = load(r.spec);
    cell* o = object::construct(first_of(src), nullptr, r.only);
    EXPECT_EQ(mold_text(o), r.mold) << r.spec;
  }
}

TEST_F(objects, Reflect) {
  cell* fields = load("[a: 1 w: x p: x/y]");
  cell* o = object::construct(first_of(fields), nullptr, false);
  struct row { uint32_t field; std::string mold; } rows[] = {
    {words::symbols[words::sym::words], "[a w p]"},
    {words::symbols[words::sym::values], "[1 x x/y]"},
    {words::symbols[words::sym::body], "[\n    a: 1\n    w: 'x\n    p: 'x/y\n]"},
    {words::symbols[words::sym::class_], std::to_string(o->w2)},
    {words::symbols[words::sym::events_q], "false"},
    {words::symbols[words::sym::owner], "false"},
    {words::word[words::w::changed]->w2, "[]"},
  };
  for (const row& r : rows) {
    cell* v = stack::push(o);
    object::reflect(v, r.field);
    EXPECT_EQ(mold_text(v), r.mold);
  }
  cell* v = stack::push(o);
  EXPECT_EQ(raised([&] { object::reflect(v, words::symbols[words::sym::spec]); }), "internal/not-done");
}

TEST_F(objects, ChangedFlagsAndModify) {
  cell* o = make_object(object_datatype(), "[a: 1 b: 2]");
  cell* path = load("o/b");
  cell* element = word_named("b");
  cell* three = stack::push(&(const cell&)integer(3));
  object::eval_path(o, element, three, path, nullptr, nullptr, 0, false, false, false, false);
  cell* changed = stack::push(o);
  object::reflect(changed, words::word[words::w::changed]->w2);
  EXPECT_EQ(mold_text(changed), "[b]");
  cell* none = none::push();
  object::modify(stack::push(o), words::word[words::w::changed], none, false);
  changed = stack::push(o);
  object::reflect(changed, words::word[words::w::changed]->w2);
  EXPECT_EQ(mold_text(changed), "[]");
  cell* target = stack::push(o);
  EXPECT_EQ(raised([&] { object::modify(target, words::word[words::w::changed], three, false); }),
            "script/invalid-arg");
}

TEST_F(objects, PathAccess) {
  cell* o = make_object(object_datatype(), "[a: 1 u: none]");
  *field(o, "u") = cell{TYPE_UNSET, 0, 0, 0};
  cell* path = load("o/a");
  cell* elsewhere = word_named("a");  // bound to the global context
  cell* got = object::eval_path(o, elsewhere, nullptr, path, nullptr, nullptr, 0, false, true, false, false);
  EXPECT_EQ(mold_text(got), "1");
  EXPECT_EQ(elsewhere->w1, o->w1) << "the element is now bound to the object";
  struct row { const char* name; bool tail, notify; const char* outcome; } rows[] = {
    {"missing", false, false, "script/unset-path"},
    {"missing", false, true, "script/invalid-path"},
    {"missing", true, true, "none"},
    {"u", false, false, "script/unset-path"},
    {"u", true, true, "none"},
  };
  for (const row& r : rows) {
    cell* w = word_named(r.name);
    cell* result = nullptr;
    EXPECT_EQ(raised([&] {
                result = object::eval_path(o, w, nullptr, path, nullptr, nullptr, 0, false, true, r.tail, r.notify);
              }),
              r.outcome)
        << r.name;
    if (result) {
      EXPECT_EQ(type_of(result), TYPE_UNSET);
    }
  }
  cell* i = stack::push(&(const cell&)integer(1));
  EXPECT_EQ(raised([&] { object::eval_path(o, i, nullptr, path, nullptr, nullptr, 0, false, true, false, false); }),
            "script/invalid-path");
}

TEST_F(objects, SelectAndPut) {
  cell* o = make_object(object_datatype(), "[a: 1]");
  cell* r = stack::push(o);
  object::select(r, word_named("a"), find_options{});
  EXPECT_EQ(mold_text(r), "1");
  r = stack::push(o);
  object::select(r, word_named("zz"), find_options{});
  EXPECT_EQ(type_of(r), TYPE_NONE);
  cell* i = stack::push(&(const cell&)integer(1));
  r = stack::push(o);
  EXPECT_EQ(raised([&] { object::select(r, i, find_options{}); }), "script/invalid-type");
  r = stack::push(o);
  object::put(r, word_named("a"), stack::push(&(const cell&)integer(7)), false);
  EXPECT_EQ(mold_text(field(o, "a")), "7");
  r = stack::push(o);
  EXPECT_EQ(raised([&] { object::put(r, i, i, false); }), "script/invalid-key-type");
  r = stack::push(o);
  EXPECT_EQ(raised([&] { object::put(r, word_named("zz"), i, false); }), "script/unset-path");
}

TEST_F(objects, OnChangeRunsOnPathSetPutAndSetButNotOnCopy) {
  cell* o = hooked_object();
  cell* path = load("o/a");
  cell* two = stack::push(&(const cell&)integer(2));
  object::eval_path(o, word_named("a"), two, path, nullptr, nullptr, 0, false, false, false, false);
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0], "a 1 2");
  EXPECT_EQ(mold_text(field(o, "a")), "2");

  calls().clear();
  cell* copy = unset::push();
  object::copy(o, copy, nullptr, false, nullptr);
  EXPECT_TRUE(calls().empty());
  EXPECT_NE(copy->w3, 0u) << "the copy has its own hook table";
  EXPECT_NE(mold_text(field(copy, "on-change*")), "") ;

  object::put(stack::push(o), word_named("b"), stack::push(&(const cell&)integer(9)), false);
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0], "b 2 9");

  calls().clear();
  cell* values = load("[10 20 30]");
  object::set_many(stack::push(o), first_of(values), false, false, false);
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(calls()[0], "a 2 10");
  EXPECT_EQ(calls()[1], "b 9 20");
  EXPECT_EQ(type_of(field(o, "on-change*")), TYPE_FUNCTION) << "set never overwrites a hook field";
}

TEST_F(objects, HookLocalsFollowTheCurrentFunction) {
  cell* o = hooked_object("[word old new /local x y]");
  cell* path = load("o/a");
  cell* two = stack::push(&(const cell&)integer(2));
  object::eval_path(o, word_named("a"), two, path, nullptr, nullptr, 0, false, false, false, false);
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0], "a 1 2 false none none");
  cell* src = load("[[w o n /local z] []]");
  function::push(block::ks_head(first_of(src)), nullptr, 0, 0, 0, 0);
  *field(o, "on-change*") = *stack::top_cell();
  object::eval_path(o, word_named("a"), two, path, nullptr, nullptr, 0, false, false, false, false);
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(calls()[1], "a 2 2 false none");
}

TEST_F(objects, BadHooks) {
  cell* fields = load("[a: 1 on-change*: 5]");
  cell* o = object::construct(first_of(fields), nullptr, false);
  cell* target = stack::push(o);
  EXPECT_EQ(raised([&] { object::rebuild_hooks(target); }), "script/bad-field-set");
  cell* h = hooked_object();
  *field(h, "on-change*") = integer(3);
  cell* path = load("o/a");
  cell* two = stack::push(&(const cell&)integer(2));
  EXPECT_EQ(raised([&] {
              object::eval_path(h, word_named("a"), two, path, nullptr, nullptr, 0, false, false, false, false);
            }),
            "script/invalid-obj-evt");
  EXPECT_EQ(mold_text(field(h, "a")), "2") << "the field keeps the new value";
  cell* plain = make_object(object_datatype(), "[a: 1]");
  EXPECT_EQ(raised([&] { object::fire_on_deep_change(plain, two, two, two, nullptr, 0, 0); }),
            "script/invalid-obj-evt");
}

TEST_F(objects, SetDistributes) {
  struct row { const char* values; bool any, only, some; const char* outcome; const char* mold; } rows[] = {
    {"[7 8]", false, false, false, "none", "make object! [\n    a: 7\n    b: 8\n    c: none\n]"},
    {"[7 none 9]", false, false, true, "none", "make object! [\n    a: 7\n    b: 2\n    c: 9\n]"},
    {"[7 8]", false, true, false, "none", "make object! [\n    a: [7 8]\n    b: [7 8]\n    c: [7 8]\n]"},
    {"5", false, false, false, "none", "make object! [\n    a: 5\n    b: 5\n    c: 5\n]"},
  };
  for (const row& r : rows) {
    cell* o = make_object(object_datatype(), "[a: 1 b: 2 c: 3]");
    cell* src = load(r.values);
    // The text holds the word none; the block needs the none! value.
    if (r.some) none::make_at(block::ks_head(first_of(src)) + 1);
    EXPECT_EQ(raised([&] { object::set_many(stack::push(o), first_of(src), r.any, r.only, r.some); }), r.outcome)
        << r.values;
    EXPECT_EQ(mold_text(o), r.mold) << r.values;
  }
  cell* o = make_object(object_datatype(), "[a: 1 b: 2]");
  cell* unset_value = unset::push();
  EXPECT_EQ(raised([&] { object::set_many(stack::push(o), unset_value, false, false, false); }), "script/need-value");
  EXPECT_EQ(mold_text(field(o, "a")), "1") << "nothing is set before the check";
  cell* from = make_object(object_datatype(), "[b: 20 z: 0]");
  object::set_many(stack::push(o), from, false, false, false);
  EXPECT_EQ(mold_text(o), "make object! [\n    a: 1\n    b: 20\n]");
}

TEST_F(objects, CopyRefusesPartAndCopiesDeep) {
  cell* o = make_object(object_datatype(), "[blk: [1 [2]]]");
  cell* r = unset::push();
  cell* one = stack::push(&(const cell&)integer(1));
  EXPECT_EQ(raised([&] { object::copy(o, r, one, false, nullptr); }), "script/invalid-refine-arg");
  object::copy(o, r, nullptr, true, nullptr);
  EXPECT_NE(field(r, "blk")->w2, field(o, "blk")->w2);
  EXPECT_NE(block::ks_head(field(r, "blk"))[1].w2, block::ks_head(field(o, "blk"))[1].w2);
  object::copy(o, r, nullptr, false, nullptr);
  EXPECT_EQ(field(r, "blk")->w2, field(o, "blk")->w2) << "a shallow copy shares series";
}

TEST_F(objects, FunctionFieldsAreRebound) {
  cell* o = make_object(object_datatype(), "[a: 1 f: none]");
  cell* src = load("[[] [a]]");
  cell* spec = first_of(src);
  cell* body = block::ks_head(spec) + 1;
  function::push(block::ks_head(spec), body, 0, 0, 0, 0);
  cell* f = stack::top_cell();
  context::bind(function::extras_at(f, function::EX_BODY), o->w1, true);
  *field(o, "f") = *f;
  cell* child = make_object(o, "[]");
  cell* cf = field(child, "f");
  ASSERT_EQ(type_of(cf), TYPE_FUNCTION);
  EXPECT_NE(cf->w3, field(o, "f")->w3);
  EXPECT_EQ(block::ks_head(function::extras_at(cf, function::EX_BODY))->w1, child->w1);
  EXPECT_EQ(type_of(function::extras_at(cf, function::EX_ENTRY)), TYPE_UNSET);
}

}  // namespace
}  // namespace kez::testing

namespace kez::testing {
namespace {

// An object of the given fields whose on-deep-change* takes the seven arguments.
cell* deep_hooked(const char* fields_text) {
  cell* fields = callables_test::load(fields_text);
  cell* o = object::construct(block::ks_head(fields), nullptr, false);
  cell* src = callables_test::load("[owner word target action new index part] []");
  function::push(block::ks_head(src), block::ks_head(src) + 1, 0, 0, 0, 0);
  *field(o, "on-deep-change*") = *stack::top_cell();
  object::rebuild_hooks(o);
  return o;
}

TEST_F(objects, DeepChangeHookHearsInPlaceChanges) {
  cell* o = deep_hooked("[blk: [1] on-deep-change*: none]");
  EXPECT_TRUE(object::has_deep_hook_q(o));
  cell* events = stack::push(o);
  object::reflect(events, words::symbols[words::sym::events_q]);
  EXPECT_EQ(mold_text(events), "true");
  cell* blk = stack::push(field(o, "blk"));
  cell* two = stack::push(&(const cell&)integer(2));
  block::insert(blk, two, -1, false, 1, true);
  // Reported before and after the change, as the series layer reports it.
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(calls()[0], "blk: [1] blk 1 append 2 1 1");
  EXPECT_EQ(calls()[1], "blk: [1 2] blk 1 2 appended 2 1 1");
  EXPECT_EQ(mold_text(o), "make object! [\n    blk: [1 2]\n]") << "hooks are molded only with /all";
  EXPECT_NE(mold_text(o, true).find("on-deep-change*: func [owner"), std::string::npos);
}

TEST_F(objects, InstalledHooksAndClassQueries) {
  cell* fields = load("[a: 1 on-change*: none]");
  cell* o = object::construct(first_of(fields), nullptr, false);
  cell* src = load("[w o n /local t] []");
  function::push(first_of(src), first_of(src) + 1, 0, 0, 0, 0);
  *field(o, "on-change*") = *stack::top_cell();
  stack::push(o);
  uint32_t table = object::install_hooks(o->w1, 1, 2, -1, 0);
  cell* installed = stack::top_cell();
  EXPECT_EQ(installed->w3, table);
  EXPECT_FALSE(object::has_deep_hook_q(installed));
  cell* path = load("o/a");
  cell* five = stack::push(&(const cell&)integer(5));
  object::eval_path(installed, word_named("a"), five, path, nullptr, nullptr, 0, false, false, false, false);
  ASSERT_EQ(calls().size(), 1u);
  EXPECT_EQ(calls()[0], "a 1 5 false none");

  cell* holder = word_named("holder");
  context::set(holder, installed);
  EXPECT_TRUE(object::word_refers_q(holder, installed->w2));
  EXPECT_FALSE(object::word_refers_q(holder, installed->w2 + 1));
  cell* outer = make_object(object_datatype(), "[x: 1]");
  *field(outer, "x") = *installed;
  EXPECT_TRUE(object::field_is_object_q(outer->w1, 0, installed->w2));
  EXPECT_FALSE(object::field_is_object_q(installed->w1, 0, installed->w2));
}

}  // namespace
}  // namespace kez::testing

namespace kez::testing {
namespace {

TEST_F(objects, OwnedObjectsReportToTheirOwner) {
  cell* owner = deep_hooked("[on-deep-change*: none]");
  cell* child = make_object(object_datatype(), "[items: [1]]");
  cell* spec = load("[owner sub]");
  cell* pair = stack::push(first_of(spec));
  *block::ks_head(pair) = *owner;
  object::modify(stack::push(child), word_named("owned"), pair, false);
  calls().clear();
  cell* items = stack::push(field(child, "items"));
  cell* two = stack::push(&(const cell&)integer(2));
  block::insert(items, two, -1, false, 1, true);
  ASSERT_EQ(calls().size(), 2u);
  EXPECT_EQ(calls()[1], " sub 1 2 appended 2 1 1") << "the owner forms as nothing: its only field is a hook";
  cell* none = none::push();
  object::modify(stack::push(child), word_named("owned"), none, false);
  calls().clear();
  block::insert(items, two, -1, false, 1, true);
  EXPECT_TRUE(calls().empty());
}

}  // namespace
}  // namespace kez::testing

namespace kez::testing {
namespace {

TEST_F(objects, TypedDeepCopies) {
  cell* o = make_object(object_datatype(), "[blk: [1] txt: \"a\" inner: none]");
  cell* inner = make_object(object_datatype(), "[x: [2]]");
  *field(o, "inner") = *inner;
  cell types{TYPE_TYPESET, 0, 0, 0};
  reinterpret_cast<uint8_t*>(&types.w1)[TYPE_BLOCK >> 3] |= uint8_t(0x80 >> (TYPE_BLOCK & 7));
  reinterpret_cast<uint8_t*>(&types.w1)[TYPE_OBJECT >> 3] |= uint8_t(0x80 >> (TYPE_OBJECT & 7));
  cell* kinds = stack::push(&types);
  cell* r = unset::push();
  object::copy(o, r, nullptr, true, kinds);
  EXPECT_NE(field(r, "blk")->w2, field(o, "blk")->w2) << "block! is among the types";
  EXPECT_EQ(field(r, "txt")->w2, field(o, "txt")->w2) << "string! is not";
  EXPECT_NE(field(r, "inner")->w1, field(o, "inner")->w1) << "nested objects are copied too";
  *field(o, "inner") = *o;
  cell* again = unset::push();
  EXPECT_EQ(raised([&] { object::copy(o, again, nullptr, true, kinds); }), "internal/no-cycle");
  EXPECT_EQ(cycles::depth(), 0u);
}

TEST_F(objects, ExtendGivesStartUpObjectsTheirValues) {
  uint32_t ctx = context::create(2, false, true, 0, context::KIND_OBJECT);
  collector::root_node keep(ctx);
  int32_t added = 0;
  // Symbols are made before `ctx` is read: making one can move the context.
  for (const char* name : {"p", "q"}) {
    uint32_t sym = symbol::make(name);
    context::find_word_any(ctx, sym, true, added);
  }
  cell* o = object::extend(ctx, 7);
  EXPECT_EQ(o->w2, 7u);
  EXPECT_EQ(mold_text(o), "make object! [\n    p: unset\n    q: unset\n]");
  EXPECT_EQ(context::owner_of(ctx)->w1, ctx);
}

}  // namespace
}  // namespace kez::testing
