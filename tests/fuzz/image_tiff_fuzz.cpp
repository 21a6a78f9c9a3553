// The TIFF decoder takes outside files: it refuses them or decodes them
// wholly inside its buffers.
#include "tests/fuzz/image_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return kez::fuzz::run(kez::image_codecs::FORMAT_TIFF, kez::image_codecs::decode_tiff, data, size);
}
