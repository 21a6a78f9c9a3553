// Any input script either loads whole or is refused with a line number and
// nothing injected; what loads then runs to its end in a headless loop.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/win/win.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace kez::win;
  static bool started = (layer::start(layer::mode::headless), true);
  (void)started;
  std::string error;
  std::string text(reinterpret_cast<const char*>(data), size);
  if (!layer::load_input_script(text, &error)) {
    if (error.rfind("line ", 0) != 0 || layer::input_pending()) std::abort();
    return 0;
  }
  MSG m;
  // Long waits only move the virtual clock; with no timer they cost nothing.
  while (GetMessageW(&m, 0, 0, 0) > 0) {
    TranslateMessage(&m);
    DispatchMessageW(&m);
  }
  if (layer::input_pending()) std::abort();
  return 0;
}
