// Response header text into a map!: values start after the blanks that
// follow the colon and end at CR, LF or the end of the text; a name seen
// again collects its values in a block; lines that name nothing add nothing.
#include <gtest/gtest.h>

#include <string>

#include "heap_fixture.h"
#include "runtime/actions.h"
#include "runtime/boot.h"
#include "runtime/datatypes/string.h"
#include "runtime/http.h"
#include "runtime/stack.h"

namespace kez {
namespace {

class http_test : public testing::heap_test {
 protected:
  void SetUp() override {
    heap_test::SetUp();
    boot::init();
  }

  static std::string molded_headers(const std::string& text) {
    cell* base = stack::top;
    cell* map = http::parse_headers(reinterpret_cast<const uint8_t*>(text.data()), text.size(), nullptr);
    cell* buffer = string::make_at(stack::push_cell(), 16);
    actions::mold_dispatch(map, buffer, false, false, true, nullptr, 0x7FFFFFFF, 0);
    int32_t n = -1;
    const uint8_t* bytes = string::utf8_bytes(buffer, n);
    std::string out(reinterpret_cast<const char*>(bytes), size_t(n));
    stack::top = base;
    return out;
  }
};

TEST_F(http_test, parse_headers) {
  struct row {
    std::string text;
    const char* expected;
  };
  const row rows[] = {
      {"", "#[]"},
      {"A: 1\r\nB: 2\r\n", R"(#[A: "1" B: "2"])"},
      // Blanks after the colon are skipped, however many; none is fine too.
      {"A:1\r\nB:    2\r\nC:\t 3\r\n", R"(#[A: "1" B: "2" C: "3"])"},
      // A value ends at CR or LF alone, or at the end of the text.
      {"A: 1\nB: 2\rC: 3", R"(#[A: "1" B: "2" C: "3"])"},
      // Colons inside the value stay.
      {"Date: Thu, 10 Dec 2026 01:02:03 GMT\r\n", R"(#[Date: "Thu, 10 Dec 2026 01:02:03 GMT"])"},
      {"A: \r\n", R"(#[A: ""])"},
      {"A:", R"(#[A: ""])"},
      // Repeated names (in any case) collect their values in order.
      {"X: 1\r\nX: 2\r\nx: 3\r\n", R"(#[X: ["1" "2" "3"]])"},
      // Lines without a colon, with an empty name or a name that is no token add nothing.
      {"no colon\r\n: empty\r\nbad name: 1\r\n\r\nOk: yes\r\n", R"(#[Ok: "yes"])"},
      // A byte that is not UTF-8 does not lose the header.
      {"A: caf\xE9\r\n", "#[A: \"caf\xEF\xBF\xBD\"]"},
  };
  for (const row& r : rows) EXPECT_EQ(molded_headers(r.text), r.expected) << r.text;
}

}  // namespace
}  // namespace kez
