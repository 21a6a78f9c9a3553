#include <gtest/gtest.h>

#include "runtime/datatypes/error.h"
#include "runtime/thrown.h"

using namespace kez;

TEST(ErrorIds, CodesFollowCatalogueOrder) {
  struct { int category, id; const char* name; int code; } rows[] = {
    {err::cat_script, err::script::no_value, "no-value", 300},
    {err::cat_script, err::script::kb_invalid_record, "kb-invalid-record", 393},
    {err::cat_math, err::math::zero_divide, "zero-divide", 400},
    {err::cat_access, err::access::invalid_utf8, "invalid-utf8", 502},
    {err::cat_internal, err::internal::no_memory, "no-memory", 902},
    {err::cat_throw, err::throw_::while_cond, "while-cond", 4},
  };
  for (auto& r : rows) {
    EXPECT_STREQ(err::id_name(r.category, r.id), r.name);
    EXPECT_EQ(r.category * 100 + r.id, r.code);
  }
  EXPECT_EQ(err::id_name(err::cat_reserved1, 0), nullptr);
  EXPECT_EQ(err::id_name(err::cat_script, 94), nullptr);
  EXPECT_STREQ(err::category_name(err::cat_internal), "internal");
}

TEST(ErrorIds, FireUnwindsWithErrorCode) {
  try {
    error::fire(err::cat_math, err::math::overflow);
    FAIL() << "fire returned";
  } catch (const thrown& t) {
    EXPECT_EQ(t.code, THROWN_ERROR);
    EXPECT_EQ(error::last_category(), err::cat_math);
    EXPECT_EQ(error::last_id(), err::math::overflow);
  }
}
