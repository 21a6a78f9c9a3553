// url-parser/parse-url takes outside text: any text gives the URL object or
// none, never a raised error; encode-url writes any object it gives as a
// url!.
#include "tests/fuzz/library_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const kez::fuzz::codec_check check{
      {"url-parser", "parse-url"}, {"encode-url", nullptr}, kez::TYPE_OBJECT, kez::TYPE_URL, false};
  kez::fuzz::run(check, data, size);
  return 0;
}
