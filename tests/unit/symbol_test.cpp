// Symbols: interning, case variants linked to their canonical spelling, the
// cached name string, and the table surviving collections.
#include <gtest/gtest.h>

#include <vector>

#include "words_fixture.h"

namespace kez {
namespace {

using testing::name_of;

class symbol_test : public testing::words_test {};

TEST_F(symbol_test, case_variants_link_to_the_first_spelling) {
  uint32_t print = symbol::make("print");
  uint32_t Print = symbol::make("Print");
  uint32_t PRINT = symbol::make("PRINT");
  EXPECT_NE(print, Print);
  EXPECT_NE(Print, PRINT);
  EXPECT_EQ(symbol::get_alias(print), -1);
  // Every variant links to the canonical spelling, never to another variant.
  EXPECT_EQ(symbol::get_alias(Print), int32_t(print));
  EXPECT_EQ(symbol::get_alias(PRINT), int32_t(print));
  for (uint32_t id : {print, Print, PRINT}) EXPECT_EQ(symbol::resolve(id), print);
  EXPECT_EQ(symbol::make("Print"), Print);
  EXPECT_EQ(name_of(Print), "Print");

  uint32_t before = symbol::count();
  EXPECT_EQ(symbol::make_any_case("pRiNt"), print);
  EXPECT_EQ(symbol::count(), before);
  uint32_t fresh = symbol::make_any_case("Quux");
  EXPECT_EQ(symbol::get_alias(fresh), -1);
}

TEST_F(symbol_test, only_ascii_letters_fold) {
  uint32_t lower = symbol::make("\xC3\xA9t\xC3\xA9");  // été
  uint32_t upper = symbol::make("\xC3\x89T\xC3\x89");  // ÉTÉ
  EXPECT_EQ(symbol::resolve(lower), lower);
  EXPECT_EQ(symbol::resolve(upper), upper);
  uint32_t mixed = symbol::make("\xC3\xA9T\xC3\xA9");  // éTé: differs from été in ASCII case only
  EXPECT_EQ(symbol::resolve(mixed), lower);
}

TEST_F(symbol_test, cached_string_is_made_once) {
  uint32_t id = symbol::make("caf\xC3\xA9");
  EXPECT_EQ(symbol::at(id)->w2, 0u);
  uint32_t s = symbol::get_string(id);
  EXPECT_EQ(symbol::get_string(id), s);
  cell value{TYPE_STRING, 0, s, 0};
  cell* text = stack::push(&value);
  EXPECT_EQ(string::ks_length_q(text), 4);
  EXPECT_EQ(testing::utf8_of(text), "caf\xC3\xA9");
}

TEST_F(symbol_test, compare_as_texts) {
  struct row {
    const char *a, *b;
    int32_t op, expected;
  };
  const row rows[] = {
      {"abc", "ABC", COMP_EQUAL, 0},        {"abc", "ABC", COMP_STRICT_EQUAL, 1},
      {"abc", "abd", COMP_SORT, -1},        {"b", "A", COMP_SORT, 1},
      {"B", "a", COMP_CASE_SORT, -1},       {"ab", "abc", COMP_LESSER, -1},
      {"ab", "abc", COMP_EQUAL, 1},         {"abc", "ab", COMP_GREATER, 1},
  };
  for (const row& r : rows) {
    uint32_t ia = symbol::make(r.a), ib = symbol::make(r.b);  // both interned before their cells are read
    cell a = *symbol::at(ia), b = *symbol::at(ib);
    EXPECT_EQ(actions::compare_value(&a, &b, r.op), r.expected) << r.a << " " << r.b << " op " << r.op;
  }
  cell a = *symbol::at(symbol::make("a"));
  cell n = testing::integer(1);
  EXPECT_EQ(symbol::compare(&a, &n, COMP_EQUAL), -2);
}

TEST_F(symbol_test, collections_lose_no_symbol) {
  uint32_t n = testing::scaled(3000, 150);
  std::vector<uint32_t> ids;
  for (uint32_t i = 0; i < n; ++i) {
    ids.push_back(symbol::make(("sym-" + std::to_string(i)).c_str()));
    if (i % 3 == 0) ids.push_back(symbol::make(("SYM-" + std::to_string(i)).c_str()));
  }
  collector::do_cycle();
  collector::do_cycle();
  size_t k = 0;
  for (uint32_t i = 0; i < n; ++i) {
    std::string name = "sym-" + std::to_string(i);
    uint32_t id = ids[k++];
    EXPECT_EQ(name_of(id), name);
    EXPECT_EQ(symbol::make(name.c_str()), id);
    if (i % 3 == 0) {
      uint32_t variant = ids[k++];
      EXPECT_EQ(symbol::resolve(variant), id);
      EXPECT_EQ(name_of(variant), "SYM-" + std::to_string(i));
    }
  }
}

}  // namespace
}  // namespace kez
