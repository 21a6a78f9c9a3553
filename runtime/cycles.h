// The cycle stack: the nodes of the series (or object contexts) that mold,
// form, copy, compare and the ownership layer are walking right now, so that
// a value met again inside itself is cut short instead of recursed into.
//
// Invariants:
// - At most CAPACITY - 1 entries are held; the push that would fill the last
//   slot empties the stack and raises Internal Error too-deep.
// - Entries are nodes; when a collection moves nodes the collector rewrites
//   them (the stack registers itself as a relocator on first use).
// - Every pusher pops what it pushed; `scope` does so on every exit, errors
//   included.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::cycles {

constexpr uint32_t CAPACITY = 1000;

void push(uint32_t node);
void pop();
void pop_n(uint32_t n);
void reset();
bool find_q(uint32_t node);
uint32_t depth();

// The node that stands for a value on the stack: an object's context node
// (word 1), any other value's series node (word 2).
inline uint32_t node_of(const cell* value) {
  return type_of(value) == TYPE_OBJECT ? value->w1 : value->w2;
}

// When the value's node is on the stack: appends to the string buffer, under
// mold, "[...]" (block, hash), "(...)" (paren), "#[...]" (map),
// "make object! [...]" (object) or "..." (paths), and "..." under form;
// lowers limit by the length appended and answers true. Else does nothing.
bool detect_q(const cell* value, cell* buffer, int32_t& limit, bool mold);

// Restores the stack depth found on entry when it goes out of scope (never
// raising it again after a reset).
class scope {
 public:
  scope() : depth_(depth()) {}
  ~scope();
  scope(const scope&) = delete;
  scope& operator=(const scope&) = delete;

 private:
  uint32_t depth_;
};

}  // namespace kez::cycles
