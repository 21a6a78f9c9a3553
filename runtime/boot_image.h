// The boot image: the heap and the runtime's global state as the library's
// boot leaves them, written by the executable itself at build time and
// appended to its own file, so that start-up copies them back instead of
// decoding the boot data and running the library's top level.
//
// Invariants:
// - An image is used only by the build that wrote it (same build id, same
//   addresses of its globals), only with the heap reserved at
//   arena::preferred_base and large enough for the image's heap, and only
//   when every table row lies inside the image, the heap and the
//   executable's writable data and its checksum holds; anything else boots
//   the long way.
// - The heap holds offsets, never addresses. A global the boot changed is
//   carried as its bytes, so it may hold addresses only into the executable
//   itself (which is never relocated) or the heap; a pointer to a tracked
//   allocation (mem.h) is carried with a copy of that block. Writing refuses
//   state that points anywhere else (the C++ heap, a library, a stack).
// - What the process sets before the boot or outside it (arguments, stack
//   bounds, the tracked allocations, whether output is a terminal, the
//   collection stress switch) is never carried; see never_carried.
#pragma once

namespace kez::boot_image {

// Restores the state from the executable's image; false when there is none,
// when it does not check out, or when KEZ_NO_IMAGE or KEZ_GC_STRESS_BOOT is
// set (the boot is then run in full). Nothing but the heap's reservation has
// been changed when it answers false. With KEZ_IMAGE_VERBOSE set, an image
// refused says why on standard error.
bool load();

// Writing, in the build's run of the executable: prepare takes the globals'
// values before the boot, write then writes what the boot changed, with the
// heap, as an image to `path`. False, with the reason on standard error,
// when some state cannot be carried.
bool prepare();
bool write(const char* path);

}  // namespace kez::boot_image
