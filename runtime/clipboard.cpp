#include "runtime/clipboard.h"

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/clipboard.h"
#include "platform/image.h"
#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "runtime/image_os.h"
#include "runtime/interpreter.h"
#include "runtime/simple_io.h"
#include "runtime/stack.h"

namespace kez::clipboard {

namespace {

using platform::clip_format;
using bytes = std::vector<uint8_t>;

[[noreturn]] void invalid_arg(const cell* v) {
  cell c = *v;
  error::fire(err::cat_script, err::script::invalid_arg, &c);
}

// Another owner may hold the clipboard for a moment: three tries, a
// millisecond apart.
bool open_clipboard() {
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (platform::clipboard().open()) return true;
  }
  return false;
}

struct held_clipboard {
  ~held_clipboard() { platform::clipboard().close(); }
};

// A local path as a file! value: through the library's to-kez-file when it
// is there; a POSIX path is already in the file! form otherwise.
void file_value(const uint8_t* path, size_t n, cell* target) {
  string::make_at(target, uint32_t(n));
  simple_io::append_text(target, path, n);
  uint32_t name = symbol::make("to-kez-file");
  cell word{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep(&word);
  word::make_at(name, &word);
  cell* fn = context::get_value_cell(context::global, name);
  if (!fn || type_of(fn) != TYPE_FUNCTION) {
    target->header = TYPE_FILE;
    return;
  }
  *target = *interpreter::call_function_with(fn, target, 1, &word);
  stack::pop(1);
}

cell* files_value(const bytes& list) {
  cell* files = block::make_at(stack::push_cell(), 8);
  cell* file = stack::push_cell();
  for (size_t start = 0; start < list.size();) {
    size_t end = start;
    while (end < list.size() && list[end] != 0) ++end;
    if (end > start) {
      file_value(list.data() + start, end - start, file);
      block::ks_append(files, file);
    }
    start = end + 1;
  }
  stack::pop(1);
  return files;
}

// The UTF-8 bytes of a text value from its head.
bytes utf8_of(const cell* text) {
  cell t = *text;
  collector::root_cells keep(&t);
  int32_t n = -1;
  const uint8_t* p = string::utf8_bytes(&t, n);
  return bytes(p, p + n);
}

bytes file_list(const cell* block) {
  cell list = *block;
  collector::root_cells keep(&list);
  bytes out;
  int32_t n = block::ks_length_q(&list);
  for (int32_t i = 0; i < n; ++i) {
    cell item = *block::ks_abs_at(&list, int32_t(list.w1) + i);
    collector::root_cells keep_item(&item);
    std::string path;
    if (type_of(&item) == TYPE_FILE) {
      if (!file::to_local_path(&item, path)) invalid_arg(&item);
    } else if (type_of(&item) == TYPE_STRING) {
      bytes text = utf8_of(&item);
      path.assign(text.begin(), text.end());
    } else {
      invalid_arg(&item);
    }
    // A NUL ends each path in the list, so one inside a path would split it.
    if (path.empty() || path.find('\0') != std::string::npos) invalid_arg(&item);
    out.insert(out.end(), path.begin(), path.end());
    out.push_back(0);
  }
  return out;
}

// The 32-bit bitmap written beside the PNG: a 124-byte version-5 header
// (top-down rows, bit fields for straight BGRA) and the pixels.
constexpr size_t DIB_HEADER = 124;
constexpr uint32_t MASK_R = 0x00FF0000, MASK_G = 0x0000FF00, MASK_B = 0x000000FF, MASK_A = 0xFF000000;

void put32(bytes& b, size_t at, uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
uint32_t get32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }

bytes dib_of(uint32_t width, uint32_t height, const uint32_t* pixels) {
  size_t n = size_t(width) * height;
  bytes b(DIB_HEADER + 4 * n, 0);
  put32(b, 0, DIB_HEADER);
  put32(b, 4, width);
  put32(b, 8, uint32_t(-int32_t(height)));
  b[12] = 1;   // planes
  b[14] = 32;  // bits per pixel
  put32(b, 16, 3);  // bit fields
  put32(b, 20, uint32_t(4 * n));
  put32(b, 40, MASK_R);
  put32(b, 44, MASK_G);
  put32(b, 48, MASK_B);
  put32(b, 52, MASK_A);
  put32(b, 56, 0x57696E20);  // the colour space of the desktop
  put32(b, 108, 4);          // rendering intent: images
  for (size_t i = 0; i < n; ++i) put32(b, DIB_HEADER + 4 * i, pixels[i]);
  return b;
}

// The two forms an image goes to the clipboard in: its PNG file first, then
// the bitmap with alpha.
void prepare_image(const cell* value, std::vector<std::pair<clip_format, bytes>>& prepared) {
  uint32_t width = image::width_of(value), height = image::height_of(value);
  if (width == 0 || height == 0 || !value->w2) return;
  const uint32_t* pixels = image_os::lock_pixels(value->w2, false);
  bytes png;
  if (!image_codecs::encode_png(width, height, pixels, png)) error::fire(err::cat_access, err::access::bad_media);
  prepared.emplace_back(platform::CLIP_PNG, std::move(png));
  prepared.emplace_back(platform::CLIP_DIBV5, dib_of(width, height, image_os::lock_pixels(value->w2, false)));
}

[[noreturn]] void bad_media() { error::fire(err::cat_access, err::access::bad_media); }

}  // namespace

bool image_from_dib(const uint8_t* data, size_t size, cell* target) {
  if (size < DIB_HEADER) return false;
  int32_t width = int32_t(get32(data + 4)), height = int32_t(get32(data + 8));
  uint32_t bits = data[14] | data[15] << 8;
  if (bits != 32 || get32(data + 16) != 3 || get32(data + 40) != MASK_R || get32(data + 44) != MASK_G ||
      get32(data + 48) != MASK_B || get32(data + 52) != MASK_A)
    return false;
  uint32_t rows = height < 0 ? uint32_t(-int64_t(height)) : uint32_t(height);
  if (width <= 0 || rows == 0 || uint32_t(width) > image_codecs::MAX_SIDE || rows > image_codecs::MAX_SIDE ||
      uint64_t(width) * rows > image::MAX_PIXELS)
    return false;
  // The header's size is a claim; the pixels must really follow it.
  uint64_t stride = 4 * uint64_t(width);
  if (stride * rows > size - DIB_HEADER) return false;
  const uint8_t* pixels = data + DIB_HEADER;
  bytes upright;
  if (height > 0) {  // rows stored bottom-up
    upright.resize(stride * rows);
    for (uint32_t y = 0; y < rows; ++y)
      std::copy_n(pixels + (rows - 1 - y) * stride, stride, upright.begin() + y * stride);
    pixels = upright.data();
  }
  uint32_t node = image_os::from_memory(uint32_t(width), rows, uint32_t(stride), pixels);
  if (!node) return false;
  image::make_at(target, node);
  return true;
}

cell* text_value(const bytes& data) {
  cell* text = string::make_at(stack::push_cell(), uint32_t(data.size()));
  simple_io::append_text(text, data.data(), data.size());
  return text;
}

cell* read_primary() {
  std::string text;
  if (platform::primary_text(text)) return text_value(bytes(text.begin(), text.end()));
  cell none{TYPE_NONE, 0, 0, 0};
  return stack::push(&none);
}

bool write_primary(const cell* text) {
  bytes data = utf8_of(text);
  return platform::own_primary_text(std::string(data.begin(), data.end()));
}

cell* read() {
  if (!open_clipboard()) {
    cell no{TYPE_LOGIC, 0, 0, 0};
    return stack::push(&no);
  }
  bytes data;
  clip_format found = platform::CLIP_FORMATS;
  {
    held_clipboard held;
    for (clip_format f : {platform::CLIP_TEXT, platform::CLIP_FILES, platform::CLIP_PNG, platform::CLIP_JFIF,
                          platform::CLIP_GIF, platform::CLIP_DIBV5}) {
      if (platform::clipboard().get(f, data)) {
        found = f;
        break;
      }
    }
  }
  switch (found) {
    case platform::CLIP_TEXT:
      return text_value(data);
    case platform::CLIP_FILES:
      return files_value(data);
    case platform::CLIP_PNG:
    case platform::CLIP_JFIF:
    case platform::CLIP_GIF: {
      uint32_t node = image_os::decode_memory(data.data(), uint32_t(std::min<size_t>(data.size(), UINT32_MAX)));
      if (!node) bad_media();
      return image::make_at(stack::push_cell(), node);
    }
    case platform::CLIP_DIBV5: {
      cell* picture = stack::push_cell();
      if (image_from_dib(data.data(), data.size(), picture)) return picture;
      *picture = cell{TYPE_NONE, 0, 0, 0};
      return picture;
    }
    default: {
      cell none{TYPE_NONE, 0, 0, 0};
      return stack::push(&none);
    }
  }
}

bool write(const cell* value) {
  std::vector<std::pair<clip_format, bytes>> prepared;
  switch (type_of(value)) {
    case TYPE_NONE:
      break;
    case TYPE_STRING:
      prepared.emplace_back(platform::CLIP_TEXT, utf8_of(value));
      break;
    case TYPE_BLOCK:
      prepared.emplace_back(platform::CLIP_FILES, file_list(value));
      break;
    case TYPE_IMAGE:
      prepare_image(value, prepared);
      break;
    default:
      invalid_arg(value);
  }
  if (!open_clipboard()) return false;
  held_clipboard held;
  bool ok = platform::clipboard().empty();
  for (auto& [format, data] : prepared) ok = platform::clipboard().set(format, std::move(data)) && ok;
  return ok;
}

}  // namespace kez::clipboard
