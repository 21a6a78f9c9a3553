// The libraries that only some scripts use (windows and drawing, images,
// digests) are loaded on the first call into them, so a script that uses
// none of them maps none of them and starts sooner. tools/late_binding.sh
// generates a stub for each imported function; its first call lands here.
// Linked into the kez executable only: the tests link those libraries.
#include <dlfcn.h>

#include <cstdint>
#include <cstring>
#include <mutex>

#include "runtime/datatypes/error.h"

extern "C" {
extern const char* const kez_late_libraries[];  // one pointer to packed, NUL-separated names
extern const char* const kez_late_names[];
extern const uint16_t kez_late_library_of[];
extern const uint32_t kez_late_count;
extern void* kez_late_slots[];
void* kez_late_bind(uint32_t index);
}

namespace {

const char* library_name(uint16_t index) {
  const char* name = kez_late_libraries[0];
  for (uint16_t i = 0; i < index && *name; ++i) name += std::strlen(name) + 1;
  return name;
}

}  // namespace

void* kez_late_bind(uint32_t index) {
  static std::mutex binding;
  static void* handles[256];
  std::lock_guard<std::mutex> lock(binding);
  uint16_t lib = kez_late_library_of[index];
  const char* soname = library_name(lib);
  if (!handles[lib]) handles[lib] = dlopen(soname, RTLD_NOW | RTLD_GLOBAL);
  if (!handles[lib]) kez::error::fire_cannot_load(soname);
  void* fn = dlsym(handles[lib], kez_late_names[index]);
  if (!fn) kez::error::fire_cannot_load(kez_late_names[index]);
  __atomic_store_n(&kez_late_slots[index], fn, __ATOMIC_RELEASE);
  return fn;
}
