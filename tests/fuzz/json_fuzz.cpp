// load-json takes outside text: any text gives a value or the error value,
// never a raised error; what it loads, to-json writes back as text that
// loads again to the same value.
#include "tests/fuzz/library_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const kez::fuzz::codec_check check{{"load-json", nullptr}, {"to-json", nullptr}, 0, kez::TYPE_STRING, true};
  kez::fuzz::run(check, data, size);
  return 0;
}
