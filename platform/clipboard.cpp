#include "platform/clipboard.h"

#include <mutex>

namespace kez::platform {

namespace {

// The clipboard of a process with no display: one owner at a time, like the
// system's, so that threads of the process see whole writes only.
class memory_clipboard final : public clipboard_backend {
 public:
  bool open() override { return lock_.try_lock(); }
  void close() override { lock_.unlock(); }
  bool empty() override {
    for (auto& f : formats_) f = {false, {}};
    return true;
  }
  bool set(clip_format format, std::vector<uint8_t> bytes) override {
    formats_[format] = {true, std::move(bytes)};
    return true;
  }
  bool get(clip_format format, std::vector<uint8_t>& bytes) override {
    if (!formats_[format].present) return false;
    bytes = formats_[format].bytes;
    return true;
  }

 private:
  struct entry {
    bool present = false;
    std::vector<uint8_t> bytes;
  };
  std::mutex lock_;
  entry formats_[CLIP_FORMATS];
};

memory_clipboard store, primary_store;
clipboard_backend* installed = nullptr;

}  // namespace

clipboard_backend& clipboard() {
  if (installed) return *installed;
  static clipboard_backend* system = open_x11_clipboard();
  return system ? *system : store;
}

void set_clipboard_backend(clipboard_backend* backend) { installed = backend; }

clipboard_backend& primary_selection() {
  static clipboard_backend* system = open_x11_primary();
  return system ? *system : primary_store;
}

bool own_primary_text(const std::string& utf8) {
  clipboard_backend& sel = primary_selection();
  if (!sel.open()) return false;
  sel.empty();
  bool ok = sel.set(CLIP_TEXT, std::vector<uint8_t>(utf8.begin(), utf8.end()));
  sel.close();
  return ok;
}

bool primary_text(std::string& utf8) {
  clipboard_backend& sel = primary_selection();
  std::vector<uint8_t> bytes;
  if (!sel.open()) return false;
  bool got = sel.get(CLIP_TEXT, bytes);
  sel.close();
  utf8.assign(bytes.begin(), bytes.end());
  return got;
}

}  // namespace kez::platform
