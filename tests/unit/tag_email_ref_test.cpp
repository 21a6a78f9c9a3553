// tag!, email! and ref!: their form and mold, and an email's user and host.
#include <gtest/gtest.h>

#include <string>

#include "text_fixture.h"

namespace kez {
namespace {

using testing::error_of;
using testing::form_text;
using testing::integer;
using testing::mold_text;
using testing::text;
using testing::typed;
using testing::utf8_of;
using testing::word;

class tag_email_ref_test : public testing::text_test {};

TEST_F(tag_email_ref_test, form_and_mold) {
  // Budgets fall by what each value needs: a text cut short by the part
  // still counts whole, so the answer goes negative.
  struct row {
    uint32_t type;
    const char* text;
    int32_t part;  // -1: none (a budget of 1000)
    const char* formed;
    const char* molded;
    int32_t form_left, mold_left;
  };
  const row rows[] = {
      {TYPE_TAG, "a", -1, "<a>", "<a>", 997, 997},
      {TYPE_TAG, "a href=\"x\"", -1, "<a href=\"x\">", "<a href=\"x\">", 988, 988},
      {TYPE_TAG, "abc", 3, "<ab>", "<ab>", -2, -2},  // both brackets count
      {TYPE_TAG, "abc", 1, "<>", "<>", -4, -4},
      {TYPE_REF, "abc", -1, "abc", "@abc", 997, 996},
      {TYPE_REF, "abc", 2, "ab", "@a", -1, -2},
      {TYPE_EMAIL, "a@b.c", -1, "a@b.c", "a@b.c", 995, 995},
      {TYPE_EMAIL, "a@b.c", 2, "a@", "a@", -3, -3},
  };
  for (const row& r : rows) {
    stack::reset();
    cell* v = typed(r.type, r.text);
    auto f = form_text(v, r.part);
    EXPECT_EQ(f.text, r.formed) << r.text;
    EXPECT_EQ(f.left, r.form_left) << r.text;
    auto m = mold_text(v, false, r.part);
    EXPECT_EQ(m.text, r.molded) << r.text;
    EXPECT_EQ(m.left, r.mold_left) << r.text;
  }
}

cell* path_step(cell* parent, const cell* element, const cell* value) {
  cell path = integer(0);  // stands for the path in errors
  return actions::dispatch<ACT_EVAL_PATH>(parent, element, value, static_cast<const cell*>(&path),
                                          static_cast<const cell*>(nullptr),
                                          static_cast<const cell*>(nullptr), 0, false, value == nullptr,
                                          false, false);
}

TEST_F(tag_email_ref_test, email_user_and_host) {
  struct row {
    const char* address;
    const char* user;
    const char* host;
  };
  const row rows[] = {
      {"a@b.c", "a", "b.c"},
      {"no-at-sign", "no-at-sign", ""},
      {"@b", "", "b"},
      {"a@b@c", "a", "b@c"},
      {"j\xC3\xB6rg@\xCE\xA9.gr", "j\xC3\xB6rg", "\xCE\xA9.gr"},
  };
  for (const row& r : rows) {
    stack::reset();
    cell* e = typed(TYPE_EMAIL, r.address);
    for (uint32_t w : {0u, 1u, 2u}) {  // user, host, HOST
      cell* slot = stack::push(e);
      cell element = word(w);
      cell* part = path_step(slot, &element, nullptr);
      EXPECT_EQ(type_of(part), TYPE_STRING);
      EXPECT_EQ(utf8_of(part), w == 0 ? r.user : r.host) << r.address << " " << w;
    }
    EXPECT_EQ(utf8_of(e), r.address) << "reading leaves the address alone";
  }
}

TEST_F(tag_email_ref_test, email_setting_a_part) {
  cell* e = typed(TYPE_EMAIL, "someone@old.example");
  cell* slot = stack::push(e);
  cell host = word(1);
  cell* answer = path_step(slot, &host, text("new.org"));
  EXPECT_EQ(utf8_of(answer), "new.org");
  EXPECT_EQ(utf8_of(e), "someone@new.org");
  cell user = word(0);
  slot = stack::push(e);
  path_step(slot, &user, text("me"));
  EXPECT_EQ(utf8_of(e), "me@new.org");
  slot = stack::push(e);
  EXPECT_EQ(utf8_of(path_step(slot, &user, nullptr)), "me");
  // Without "@" the host has nowhere to go but after a new one.
  cell* bare = typed(TYPE_EMAIL, "me");
  slot = stack::push(bare);
  path_step(slot, &host, text("x.org"));
  EXPECT_EQ(utf8_of(bare), "me@x.org");
  slot = stack::push(bare);
  EXPECT_EQ(utf8_of(path_step(slot, &user, nullptr)), "me");
}

// An index reaches one character, as for any text.
TEST_F(tag_email_ref_test, email_index_path) {
  cell* e = typed(TYPE_EMAIL, "ab@c");
  cell two = integer(2);
  cell* slot = stack::push(e);
  cell* c = path_step(slot, &two, nullptr);
  EXPECT_EQ(type_of(c), TYPE_CHAR);
  EXPECT_EQ(c->w2, uint32_t('b'));
  cell z = testing::character('z');
  slot = stack::push(e);
  path_step(slot, &two, &z);
  EXPECT_EQ(utf8_of(e), "az@c");
}

TEST_F(tag_email_ref_test, email_path_refusals) {
  using E = std::pair<int, int>;
  cell* e = typed(TYPE_EMAIL, "a@b");
  cell other = word(3);
  EXPECT_EQ(error_of([&] { path_step(e, &other, nullptr); }), E(err::cat_script, err::script::invalid_path));
  cell* s = text("user");
  EXPECT_EQ(error_of([&] { path_step(e, s, nullptr); }), E(err::cat_script, err::script::invalid_path));
}

TEST_F(tag_email_ref_test, tags_in_text_actions) {
  // find looks for a tag with its brackets; append writes them.
  cell* s = text("x<b>y");
  cell* found = actions::dispatch<ACT_FIND>(s, typed(TYPE_TAG, "B"), find_options{});
  EXPECT_EQ(found->w1, 1u);
  cell* out = text("");
  actions::dispatch<ACT_APPEND>(out, typed(TYPE_TAG, "a"), -1, false, 1, true);
  EXPECT_EQ(utf8_of(out), "<a>");
  EXPECT_TRUE(actions::compare(typed(TYPE_TAG, "a"), text("A"), COMP_EQUAL));
}

}  // namespace
}  // namespace kez
