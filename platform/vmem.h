// Virtual memory: reserve an address range without backing it, then commit
// and release page runs inside it. Every call reports refusal by its result;
// nothing here throws or ends the process, so callers choose the failure path.
#pragma once

#include <cstddef>

namespace kez::vmem {

constexpr size_t PAGE = 4096;

// The address space the process may still map under its limit (ulimit -v),
// or SIZE_MAX when there is no limit.
size_t space_left();
// Reserves `bytes` of inaccessible address space; null when refused.
void* reserve(size_t bytes);
// As reserve, at exactly `address`; null when that range is not free.
void* reserve_at(void* address, size_t bytes);
// Makes [address, address + bytes) readable and writable (zero-filled on first use).
bool commit(void* address, size_t bytes);
// Gives the pages back to the system and makes the range inaccessible again.
bool release(void* address, size_t bytes);
// Gives the pages back to the system but keeps the range usable: the next
// touch of a page finds it zero-filled.
bool discard(void* address, size_t bytes);
// As release and discard, for pages that may be mapped from a file (where
// dropping pages would read the file again rather than zeroes): the range
// gets fresh anonymous pages, inaccessible (forget) or usable (renew).
bool forget(void* address, size_t bytes);
bool renew(void* address, size_t bytes);
// Makes the range inaccessible but keeps its pages, for a commit soon after.
bool seal(void* address, size_t bytes);
// Moves the pages of [from, from + bytes) to `to` (a committed range that
// does not overlap it) without copying them. MOVED: `from` is left reserved
// and inaccessible; MOVED_UNRESERVED: the pages moved but `from` could not be
// reserved again (it must never be handed out); REFUSED: nothing changed.
enum move_result { MOVED, MOVED_UNRESERVED, REFUSED };
move_result move(void* from, size_t bytes, void* to);

}  // namespace kez::vmem
