// Every action dispatches on its first argument's type, and the interpreter
// checks that argument against the typeset of the action's spec before the
// handler is looked up. The two must agree: a type with a handler that the
// typeset refuses can never be reached, and a type that the typeset admits
// without a handler (and without a route of its own) is let through only to
// fail at the lookup. This walks every action over every datatype.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <utility>

#include "heap_fixture.h"
#include "runtime/actions.h"
#include "runtime/boot.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/typeset.h"
#include "runtime/datatypes/word.h"
#include "runtime/natives.h"

namespace kez {
namespace {

class action_typesets_test : public testing::heap_test {
 protected:
  void SetUp() override {
    heap_test::SetUp();
    boot::init();
  }

  // The action's name: the n-th set-word of the action specs.
  static std::string action_name(uint32_t n) {
    std::string specs = natives::action_specs;
    size_t at = 0;
    for (uint32_t k = 0; k < n; ++k) {
      // A name starts a line and ends at ": [".
      size_t start = specs.find_first_not_of("\n", at);
      size_t colon = specs.find(": [", start);
      if (k + 1 == n) return specs.substr(start, colon - start);
      at = specs.find('\n', colon);
    }
    return "";
  }

  // The typeset of the action's first argument, from its spec block.
  static cell first_typeset(const std::string& name) {
    cell fn = *word::load(name.c_str());
    fn = *word::get(&fn);
    stack::pop(1);
    EXPECT_EQ(type_of(&fn), TYPE_ACTION) << name;
    cell spec{TYPE_BLOCK, 0, fn.w2, 0}, types{TYPE_NONE, 0, 0, 0};
    collector::root_cells keep(&spec), keep_types(&types);
    const cell* head = block::ks_head(&spec);
    int32_t n = block::ks_length_q(&spec);
    int32_t i = 0;
    while (i < n && type_of(head + i) != TYPE_WORD && type_of(head + i) != TYPE_LIT_WORD &&
           type_of(head + i) != TYPE_GET_WORD)
      ++i;
    if (i + 1 < n) types = head[i + 1];
    cell set{TYPE_TYPESET, 0, 0, 0};
    if (type_of(&types) == TYPE_BLOCK) {
      cell* holder = stack::push_cell();
      block::make_at(holder, 1);
      set = *typeset::make_in_from_spec(holder, &types);
      stack::pop(1);
    } else {
      // No type block: anything but unset!.
      for (uint32_t t = 1; t <= TYPE_LAST; ++t)
        if (t != TYPE_UNSET) typeset::add_type(&set, t);
    }
    return set;
  }
};

// Actions whose first argument is not the value dispatched on: make and to
// take a type, eval-path and compare are called by the runtime only, and
// set-path has no handler at all.
bool dispatched_on_first_argument(uint32_t action) {
  return action != ACT_MAKE && action != ACT_TO && action != ACT_EVAL_PATH && action != ACT_SET_PATH &&
         action != ACT_COMPARE;
}

// Types whose values never reach a call: series! is only a parent, symbols,
// contexts and triples are the runtime's own cells.
bool callable_type(uint32_t type) {
  return datatype::name_length(type) > 0 && type != TYPE_SERIES && type != TYPE_SYMBOL && type != TYPE_CONTEXT &&
         type != TYPE_TRIPLE;
}

TEST_F(action_typesets_test, every_handler_is_reachable_and_every_admitted_type_has_one) {
  // (action, type) pairs that the typeset admits without a handler of the
  // type's own. open? belongs to ports whose actor is a native table, which
  // no scheme provides yet; a port with an object actor refuses it at the
  // lookup, with the same error the typeset would give.
  const std::set<std::pair<uint32_t, uint32_t>> routes = {{ACT_OPEN_Q, TYPE_PORT}};
  std::string faults;
  for (uint32_t a = 1; a <= ACTION_COUNT; ++a) {
    if (!dispatched_on_first_argument(a)) continue;
    std::string name = action_name(a);
    cell set = first_typeset(name);
    for (uint32_t t = 1; t <= TYPE_LAST; ++t) {
      if (!callable_type(t)) continue;
      bool handled = actions::table[t][a - 1] != nullptr;
      bool admitted = typeset::has_q(&set, t);
      if (handled && !admitted)
        faults += name + " refuses " + datatype::name(t) + ", which has a handler\n";
      else if (!handled && admitted && !routes.count({a, t}))
        faults += name + " admits " + datatype::name(t) + ", which has no handler\n";
    }
  }
  EXPECT_EQ(faults, "");
}

}  // namespace
}  // namespace kez
