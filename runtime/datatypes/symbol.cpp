#include "runtime/datatypes/symbol.h"

#include <cstring>
#include <string>

#include "runtime/actions.h"
#include "runtime/case_map.h"
#include "runtime/collector.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/string.h"
#include "runtime/hashtable.h"
#include "runtime/utf.h"

namespace kez::symbol {

namespace detail {
uint32_t block = 0;
}

namespace {

uint32_t table = 0;  // the hash index over the symbol block

void mark_table() {
  if (!table) return;
  hashtable::mark(&table);
  collector::mark_block(&detail::block);
}

uint32_t intern(const uint8_t* name, uint32_t length, bool any_case) {
  return table_get(table, name, length, any_case);
}

series_buffer* name_of(uint32_t id) { return memory::buffer_of(at(id)->w3); }

bool equality_op_q(int32_t op) {
  return op == COMP_EQUAL || op == COMP_NOT_EQUAL || op == COMP_STRICT_EQUAL || op == COMP_FIND;
}

// Two UTF-8 names compared as string! compares whole texts: by code point,
// folded to lower case unless the op is case-sensitive, the shorter text
// first when one is a prefix of the other; equality ops answer 1 for texts
// of different lengths. Nothing is allocated.
int32_t compare_texts(const uint8_t* a, uint32_t na, const uint8_t* b, uint32_t nb, int32_t op) {
  size_t l1 = utf8::count_chars(a, a + na), l2 = utf8::count_chars(b, b + nb);
  if (l1 != l2 && (equality_op_q(op) || l2 == 0)) return 1;
  if (l1 == 0) return l2 == 0 ? 0 : -1;
  bool fold = op != COMP_STRICT_EQUAL && op != COMP_CASE_SORT;
  const uint8_t *pa = a, *ea = a + na, *pb = b, *eb = b + nb;
  for (size_t i = 0, n = l1 < l2 ? l1 : l2; i < n; ++i) {
    int32_t c1, c2;
    pa = utf8::decode_char(pa, ea, c1);
    pb = utf8::decode_char(pb, eb, c2);
    if (fold) {
      c1 = case_::convert(c1, case_::lower);
      c2 = case_::convert(c2, case_::lower);
    }
    if (c1 != c2) return c1 > c2 ? 1 : -1;
  }
  return l1 > l2 ? 1 : l1 == l2 ? 0 : -1;
}

int32_t compare_name_nodes(uint32_t n1, uint32_t n2, int32_t op) {
  if (n1 == n2) return 0;  // one name: equal under every op
  if (op == COMP_SAME) return -1;
  series_buffer* b1 = memory::buffer_of(n1);
  series_buffer* b2 = memory::buffer_of(n2);
  return compare_texts(b1->head_ptr(), b1->used(), b2->head_ptr(), b2->used(), op);
}

}  // namespace

void init_table() {
  static bool marker_added = false;
  if (!marker_added) {
    collector::add_marker(mark_table);
    marker_added = true;
  }
  // The hashing hook reads the table: it lives exactly as long as the table.
  hashtable::hook.resolve = resolve;
  table = detail::block = 0;
  uint32_t t = hashtable::init(TABLE_SIZE, nullptr, hashtable::WORDS, 1);
  table = t;
  detail::block = hashtable::shape_of(t).block;
}

void release_table() {
  table = detail::block = 0;
  if (hashtable::hook.resolve == resolve) hashtable::hook.resolve = nullptr;
}

uint32_t count() { return memory::buffer_of(detail::block)->used() / sizeof(cell); }

uint32_t make(const char* name) { return intern(reinterpret_cast<const uint8_t*>(name), uint32_t(std::strlen(name)), false); }

uint32_t make_any_case(const char* name) {
  return intern(reinterpret_cast<const uint8_t*>(name), uint32_t(std::strlen(name)), true);
}

uint32_t make_from_buffer(const uint8_t* name, uint32_t length) { return intern(name, length, false); }

uint32_t make_from_string(cell* string) {
  int32_t n = -1;
  const uint8_t* bytes = string::utf8_bytes(string, n);
  return intern(bytes, uint32_t(n), false);  // interning copies the name before it allocates
}

const char* get_c_string(uint32_t id) {
  // The tail stands before the NUL that every name is made with.
  return reinterpret_cast<const char*>(name_of(id)->head_ptr());
}

uint32_t name_length(uint32_t id) { return name_of(id)->used(); }

uint32_t get_string(uint32_t id) {
  if (uint32_t s = at(id)->w2) return s;
  series_buffer* b = name_of(id);
  std::string name(reinterpret_cast<const char*>(b->head_ptr()), b->used());
  uint32_t s = string::make_from_utf8(reinterpret_cast<const uint8_t*>(name.data()), name.size());
  at(id)->w2 = s;
  return s;
}

cell* get(uint32_t id) {
  get_string(id);
  return at(id);
}

int32_t compare_names(uint32_t id1, uint32_t id2, int32_t op) { return compare_name_nodes(at(id1)->w3, at(id2)->w3, op); }

int32_t compare(const cell* value1, const cell* value2, int32_t op) {
  if (type_of(value2) != TYPE_SYMBOL) return -2;
  return compare_name_nodes(value1->w3, value2->w3, op);
}

void init() { datatype::registration(TYPE_SYMBOL, 0, "symbol!").set<ACT_COMPARE>(compare).commit(); }

}  // namespace kez::symbol
