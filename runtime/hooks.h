// Output hooks: two lists of callbacks that receive a copy of printed output,
// so that a GUI console can mirror it. List 1 receives each value printed by
// `print` and `prin` with its newline flag; list 2 receives each piece of
// text written by the low-level console writers (UTF-8, its length in bytes,
// a flag). Hooks run in the order of registration and may be registered more
// than once; the lists are tracked allocations, empty until registration.
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::hooks {

using value_hook = void (*)(const cell* value, bool newline);
using text_hook = void (*)(const char* text, int32_t length, int32_t flag);

// Gives both lists their first capacity (5 entries).
void init();
// Appends each non-null hook to its list.
void register_(value_hook list1, text_hook list2);
// Removes the first occurrence of each non-null hook from its list.
void unregister(value_hook list1, text_hook list2);

void fire_list1(const cell* value, bool newline);
void fire_list2(const char* text, int32_t length, int32_t flag);

}  // namespace kez::hooks
