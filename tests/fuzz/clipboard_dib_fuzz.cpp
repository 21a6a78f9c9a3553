// A bitmap on the clipboard is outside input: any bytes either become an
// image whose pixels all came from inside them or are refused, and reading
// never goes past their end.
#include <cstdint>
#include <cstdlib>

#include "runtime/boot.h"
#include "runtime/clipboard.h"
#include "runtime/datatypes/image.h"
#include "runtime/stack.h"
#include "runtime/thrown.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool started = (kez::boot::init(), true);
  (void)started;
  using namespace kez;
  stack::top = stack::arguments = stack::bottom;
  try {
    cell* picture = stack::push_cell();
    *picture = cell{TYPE_NONE, 0, 0, 0};
    if (clipboard::image_from_dib(data, size, picture) &&
        (type_of(picture) != TYPE_IMAGE || 124 + 4 * uint64_t(image::pixel_count(picture)) > size))
      std::abort();
  } catch (const thrown&) {
    std::abort();  // refusing is answering false, never raising
  }
  return 0;
}
