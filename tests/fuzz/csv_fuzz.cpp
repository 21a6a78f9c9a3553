// load-csv takes outside text: any text gives rows or the error value, never
// a raised error; rows it loads, to-csv writes as text that loads back to
// the same rows.
#include "tests/fuzz/library_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const kez::fuzz::codec_check check{{"load-csv", nullptr}, {"to-csv", nullptr}, kez::TYPE_BLOCK, kez::TYPE_STRING, true};
  kez::fuzz::run(check, data, size);
  return 0;
}
