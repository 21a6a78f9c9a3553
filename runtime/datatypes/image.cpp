#include "runtime/datatypes/image.h"

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "platform/image.h"
#include "runtime/collector.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/file.h"
#include "runtime/datatypes/integer.h"
#include "runtime/datatypes/logic.h"
#include "runtime/datatypes/none.h"
#include "runtime/datatypes/pair.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/word.h"
#include "runtime/error_ids.h"
#include "runtime/image_os.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/ownership.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"
#include "runtime/words.h"

namespace kez::image {

namespace {

face_to_image_fn face_to_image = nullptr;

int32_t head_of(const cell* img) { return int32_t(img->w1); }

[[noreturn]] void invalid_arg(const cell* v) { error::fire(err::cat_script, err::script::invalid_arg, v); }
[[noreturn]] void not_done() { error::fire(err::cat_internal, err::internal::not_done); }
[[noreturn]] void bad_media() { error::fire(err::cat_access, err::access::bad_media); }
[[noreturn]] void fire_with_type(int id, const cell* value) {
  cell kind;
  datatype::make_at(&kind, TYPE_IMAGE);
  error::fire(err::cat_script, id, &kind, value);
}

// A cell without pixels keeps its size (a 0x5 image stays 0x5).
cell* make_empty(cell* target, uint32_t width, uint32_t height) {
  *target = cell{TYPE_IMAGE, 0, 0, image_os::pack_size(width, height)};
  return target;
}

uint32_t* pixels(const cell* img, bool write) { return image_os::lock_pixels(img->w2, write); }

// A pixel as the language sees it, and back: alpha is transparency.
cell* to_tuple(cell* target, uint32_t p) {
  return tuple::make_rgba(target, int32_t(p >> 16 & 255), int32_t(p >> 8 & 255), int32_t(p & 255),
                          int32_t(255 - (p >> 24)));
}
uint32_t from_tuple(const cell* t) {
  const uint8_t* b = tuple::bytes_of(t);
  uint32_t a = tuple::count_of(t) >= 4 ? 255u - b[3] : 255u;
  return a << 24 | uint32_t(b[0]) << 16 | uint32_t(b[1]) << 8 | b[2];
}

// The absolute pixel that pick and poke address, or -1 (out of range).
int64_t pick_position(const cell* img, int32_t index, const cell* boxed) {
  int64_t w = width_of(img), h = height_of(img), i = index;
  if (boxed && type_of(boxed) == TYPE_PAIR) {
    int64_t x = pair::x_of(boxed), y = pair::y_of(boxed);
    if (x < 1 || x > w || y < 1 || y > h) return -1;
    i = x + w * (y - 1);
  }
  if (i == 0) return -1;
  int64_t at = int64_t(head_of(img)) + (i > 0 ? i - 1 : i);
  return at < 0 || at >= w * h ? -1 : at;
}

[[noreturn]] void out_of_range(int32_t index, const cell* boxed) {
  cell i{TYPE_INTEGER, 0, uint32_t(index), 0};
  error::fire(err::cat_script, err::script::out_of_range, boxed ? boxed : &i);
}

// Tells the ownership layer about a change before it; answers whether it
// must be told again after.
bool changing(const cell* img, ownership::change action, const cell* value, int64_t index, int64_t count) {
  return img->w2 && ownership::notify(img, action, value, int32_t(index), int32_t(count));
}

// --- construction ------------------------------------------------------------------------------

cell* copy_whole(cell* target, const cell* source) {
  cell s = *source;
  if (!s.w2) return make_empty(target, width_of(&s), height_of(&s));
  collector::root_cells keep(&s);
  return make_at(target, image_os::copy(s.w2));
}

cell* to(cell* proto, const cell* spec, uint32_t) {
  if (type_of(spec) == TYPE_IMAGE) return copy_whole(proto, spec);
  if (type_of(spec) == TYPE_OBJECT && face_to_image) {
    cell face = *spec, result{TYPE_NONE, 0, 0, 0};
    collector::root_cells keep(&face), keep_result(&result);
    // A face with no window converts to none.
    if (face_to_image(&face, &result) && (type_of(&result) == TYPE_IMAGE || type_of(&result) == TYPE_NONE)) {
      *proto = result;
      return proto;
    }
  }
  fire_with_type(err::script::bad_to_arg, spec);
}

// W x H: a side above 65,535 or more pixels than a channel binary holds is
// refused, never wrapped.
void check_size(const cell* size, int64_t w, int64_t h) {
  if (w > image_codecs::MAX_SIDE || h > image_codecs::MAX_SIDE || w * h > MAX_PIXELS)
    error::fire(err::cat_script, err::script::size_limit, size);
}

cell* make(cell* proto, const cell* spec, uint32_t type) {
  uint32_t st = type_of(spec);
  if (st == TYPE_PAIR) {
    int64_t w = std::max(pair::x_of(spec), 0), h = std::max(pair::y_of(spec), 0);
    check_size(spec, w, h);
    uint32_t node = image_os::create_bitmap(uint32_t(w), uint32_t(h), nullptr, 0, nullptr, 0, nullptr);
    return node ? make_at(proto, node) : make_empty(proto, uint32_t(w), uint32_t(h));
  }
  if (st != TYPE_BLOCK) return to(proto, spec, type);
  cell sp = *spec;
  collector::root_cells keep_spec(&sp);
  int32_t n = block::ks_length_q(&sp);
  if (n <= 0) {
    if (type_of(proto) == TYPE_IMAGE) return copy_whole(proto, proto);
    invalid_arg(&sp);
  }
  cell items[3];
  for (int32_t i = 0; i < 3; ++i)
    items[i] = i < n ? *block::ks_abs_at(&sp, int32_t(sp.w1) + i) : cell{TYPE_NONE, 0, 0, 0};
  collector::root_cells keep_items(items, 3);
  if (type_of(&items[0]) != TYPE_PAIR) invalid_arg(&sp);
  if (n >= 2 && type_of(&items[1]) != TYPE_BINARY && type_of(&items[1]) != TYPE_TUPLE) invalid_arg(&sp);
  if (n >= 3 && type_of(&items[2]) != TYPE_BINARY) invalid_arg(&sp);
  int64_t w = std::max(pair::x_of(&items[0]), 0), h = std::max(pair::y_of(&items[0]), 0);
  check_size(&items[0], w, h);
  const uint8_t* rgb = nullptr;
  const uint8_t* alpha = nullptr;
  uint32_t rgb_length = 0, alpha_length = 0, colour = 0;
  bool coloured = n >= 2 && type_of(&items[1]) == TYPE_TUPLE;
  if (coloured) colour = from_tuple(&items[1]);
  // The bytes are read before anything allocates in the heap.
  if (n >= 2 && !coloured) {
    rgb_length = uint32_t(std::max(binary::ks_length_q(&items[1]), 0));
    rgb = binary::ks_head(&items[1]);
  }
  if (n >= 3) {
    alpha_length = uint32_t(std::max(binary::ks_length_q(&items[2]), 0));
    alpha = binary::ks_head(&items[2]);
  }
  uint32_t node = image_os::create_bitmap(uint32_t(w), uint32_t(h), rgb, rgb_length, alpha, alpha_length,
                                          coloured ? &colour : nullptr);
  return node ? make_at(proto, node) : make_empty(proto, uint32_t(w), uint32_t(h));
}

// --- text --------------------------------------------------------------------------------------

int32_t mold(const cell* value, cell* buffer, bool only, bool, bool flat, const cell* arg, int32_t part,
             int32_t indent) {
  // The text is gathered first: appending to the buffer may run a collection.
  static const char hex[] = "0123456789ABCDEF";
  std::string text;
  auto spent = [&] { return arg && part - int32_t(text.size()) <= 0; };
  auto new_line = [&](int32_t level) {
    text += '\n';
    text.append(size_t(std::max(level, 0)) * 4, ' ');
  };
  auto put_byte = [&](uint32_t b) {
    text += hex[b >> 4 & 15];
    text += hex[b & 15];
  };
  if (!only) text += "make image! [";
  text += std::to_string(width_of(value)) + "x" + std::to_string(height_of(value));
  if (!value->w2) {
    text += " #{}";
  } else {
    const uint32_t* p = pixels(value, false);
    uint32_t count = pixel_count(value), from = std::min<uint32_t>(uint32_t(std::max(head_of(value), 0)), count);
    bool lines = !flat && (count - from) * 3 > 30;
    bool transparent = false;
    text += " #{";
    if (lines) new_line(indent + 1);
    for (uint32_t i = from; i < count && !spent(); ++i) {
      put_byte(p[i] >> 16);
      put_byte(p[i] >> 8);
      put_byte(p[i]);
      if (p[i] >> 24 != 255) transparent = true;
      if (lines && (i - from + 1) % 10 == 0 && i + 1 < count) new_line(indent + 1);
    }
    if (lines) new_line(indent);
    text += '}';
    if (transparent) {
      text += " #{\n";
      for (uint32_t i = from; i < count && !spent(); ++i) {
        put_byte(255 - (p[i] >> 24));
        if ((i - from + 1) % 10 == 0 && i + 1 < count) text += '\n';
      }
      text += "\n}";
    }
  }
  if (!only) text += ']';
  if (arg && part - int32_t(text.size()) < 0) text.resize(size_t(std::max(part, 0)));
  string::concatenate_literal(buffer, text.c_str());
  return part - int32_t(text.size());
}

int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part) {
  return mold(value, buffer, false, false, false, arg, part, 0);
}

// --- comparison --------------------------------------------------------------------------------

int32_t compare(const cell* a, const cell* b, int32_t op) {
  if (type_of(b) != TYPE_IMAGE) return -2;
  bool same = a->w2 == b->w2 && a->w1 == b->w1;
  if (op == COMP_SAME) return same ? 0 : -1;
  if (same && op >= COMP_EQUAL && op <= COMP_STRICT_EQUAL) return 0;
  if (!(op >= COMP_EQUAL && op <= COMP_STRICT_EQUAL) && op != COMP_SORT && op != COMP_CASE_SORT && op != COMP_FIND)
    return -2;
  uint32_t na = a->w2 ? pixel_count(a) : 0, nb = b->w2 ? pixel_count(b) : 0;
  if (na != nb) return na < nb ? -1 : 1;
  if (na == 0) return 0;
  int r = std::memcmp(pixels(a, false), pixels(b, false), size_t(na) * 4);
  return r < 0 ? -1 : r > 0 ? 1 : 0;
}

// --- navigation --------------------------------------------------------------------------------

cell* move_to(cell* img, const cell* arg, bool is_at) {
  int64_t i;
  if (type_of(arg) == TYPE_INTEGER) {
    i = int32_t(arg->w2);
  } else if (type_of(arg) == TYPE_PAIR) {
    int64_t x = pair::x_of(arg), y = pair::y_of(arg), w = width_of(img);
    i = is_at && y >= 1 ? x + w * (y - 1) : x + w * y;
  } else {
    invalid_arg(arg);
  }
  if (is_at && i >= 1) --i;
  img->w1 = uint32_t(std::clamp<int64_t>(int64_t(head_of(img)) + i, 0, pixel_count(img)));
  return img;
}

cell* at(cell* img, const cell* index) { return move_to(img, index, true); }
cell* skip(cell* img, const cell* offset) { return move_to(img, offset, false); }
cell* next(cell* img) {
  if (uint32_t(head_of(img)) < pixel_count(img)) ++img->w1;
  return img;
}
cell* tail(cell* img) {
  img->w1 = pixel_count(img);
  return img;
}
cell* tail_q(cell* img) { return logic::make_at(img, pixels_left(img) <= 0); }
int32_t length_q(cell* img) { return int32_t(pixel_count(img)); }

// --- pixels ------------------------------------------------------------------------------------

cell* pick(cell* img, int32_t index, const cell* boxed) {
  int64_t at = pick_position(img, index, boxed);
  if (at < 0 || !img->w2) return none::make_at(img);
  return to_tuple(img, pixels(img, false)[at]);
}

cell* poke(cell* img, int32_t index, const cell* boxed, const cell* value, bool notify) {
  int64_t at = pick_position(img, index, boxed);
  if (at < 0 || !img->w2) out_of_range(index, boxed);
  if (type_of(value) != TYPE_TUPLE) invalid_arg(value);
  cell target = *img, v = *value;
  collector::root_cells keep(&target), keep_v(&v);
  bool owned = notify && changing(&target, ownership::POKE, &v, at, 1);
  pixels(&target, true)[at] = from_tuple(&v);
  if (owned) changing(&target, ownership::POKED, &v, at, 1);
  *img = v;
  return img;
}

// --- change and copy ---------------------------------------------------------------------------

cell* change(cell* img, const cell* value, int32_t part, bool, int32_t dup) {
  if (part != -1 || dup != 1) not_done();
  uint32_t vt = type_of(value);
  if (vt == TYPE_TUPLE) {
    cell index{TYPE_INTEGER, 0, 1, 0};
    cell target = *img;
    collector::root_cells keep(&target);
    poke(&target, 1, &index, value, true);
    ++img->w1;
    return img;
  }
  if (vt != TYPE_IMAGE) {
    cell kind;
    datatype::make_at(&kind, vt);
    error::fire(err::cat_script, err::script::invalid_type, &kind);
  }
  uint32_t w = width_of(img), h = height_of(img), head = uint32_t(std::max(head_of(img), 0));
  if (!img->w2 || head >= w * h || !value->w2) return img;
  uint32_t x0 = head % w, y0 = head / w;
  uint32_t cw = std::min(width_of(value), w - x0), ch = std::min(height_of(value), h - y0);
  cell target = *img, source = *value;
  collector::root_cells keep(&target), keep_source(&source);
  bool owned = changing(&target, ownership::CHANGE, &source, head, int64_t(cw) * ch);
  // The source is read whole first: it may be the target itself.
  const uint32_t* from = pixels(&source, false);
  uint32_t sw = width_of(&source);
  std::vector<uint32_t> rows(size_t(cw) * ch);
  for (uint32_t y = 0; y < ch; ++y) std::memcpy(rows.data() + size_t(y) * cw, from + size_t(y) * sw, size_t(cw) * 4);
  uint32_t* to = pixels(&target, true);
  for (uint32_t y = 0; y < ch; ++y) std::memcpy(to + size_t(y0 + y) * w + x0, rows.data() + size_t(y) * cw, size_t(cw) * 4);
  if (owned) changing(&target, ownership::CHANGED, &source, head, int64_t(cw) * ch);
  img->w1 = (y0 + ch - 1) * w + x0 + cw;
  return img;
}

// The rectangle a copy takes; width or height 0 gives an empty image.
struct rectangle {
  int64_t x = 0, y = 0, w = 0, h = 0;
};

rectangle copy_rectangle(const cell* img, const cell* part) {
  int64_t w = width_of(img), h = height_of(img), count = w * h;
  int64_t head = std::clamp<int64_t>(head_of(img), 0, count);
  int64_t x0 = w ? head % w : 0, y0 = w ? head / w : 0;
  rectangle r;
  if (!part) {
    if (head < count) r = rectangle{x0, y0, w - x0, h - y0};
    return r;
  }
  uint32_t pt = type_of(part);
  if (pt == TYPE_PAIR) {
    int64_t px = pair::x_of(part), py = pair::y_of(part);
    if (px >= 1 && py >= 1 && head < count) {
      r = rectangle{x0, y0, std::min(px, w - x0), std::min(py, h - y0)};
    } else if (px < 0 && py < 0 && head > 0) {
      int64_t left = std::max<int64_t>(x0 + px, 0), top = std::max<int64_t>(y0 + py, 0);
      r = rectangle{left, top, x0 - left, y0 - top};
    }
    return r;
  }
  if (pt == TYPE_INTEGER) not_done();
  if (pt != TYPE_IMAGE || part->w2 != img->w2) series::bad_refine_arg(words::ref::part, part);
  // Two heads of one image: the rectangle from the first pixel to the last
  // one before the later head, both included.
  int64_t other = std::clamp<int64_t>(head_of(part), 0, count);
  int64_t first = std::min(head, other), last = std::max(head, other) - 1;
  if (last < first) return r;
  int64_t xa = first % w, ya = first / w, xb = last % w, yb = last / w;
  return rectangle{std::min(xa, xb), ya, std::abs(xb - xa) + 1, yb - ya + 1};
}

cell* copy(cell* value, cell* result, const cell* part, bool, const cell*) {
  cell source = *value;
  collector::root_cells keep(&source);
  rectangle r = copy_rectangle(&source, part);
  if (!source.w2 || r.w < 1 || r.h < 1) return make_empty(result, 0, 0);
  uint32_t node = r.x == 0 && r.y == 0 && r.w == width_of(&source) && r.h == height_of(&source)
                      ? image_os::copy(source.w2)
                      : image_os::copy_region(source.w2, uint32_t(r.x), uint32_t(r.y), uint32_t(r.w), uint32_t(r.h));
  return make_at(result, node);
}

// --- paths -------------------------------------------------------------------------------------

cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path, const cell*, const cell*,
                int32_t, bool, bool, bool, bool) {
  uint32_t et = type_of(element);
  if (et == TYPE_INTEGER || et == TYPE_PAIR) {
    int32_t index = et == TYPE_INTEGER ? int32_t(element->w2) : 0;
    cell target = *parent;
    collector::root_cells keep(&target);
    if (value) {
      poke(&target, index, element, value, true);
      return const_cast<cell*>(value);
    }
    cell* result = stack::push(&target);
    return pick(result, index, element);
  }
  int32_t field = system_stub::accessor_word_index(TYPE_IMAGE, element);
  if (field < 1 || (field == 1 && value)) error::fire(err::cat_script, err::script::invalid_path, element, path);
  if (field == 1) return pair::push(int32_t(width_of(parent)), int32_t(height_of(parent)));
  if (value) {
    set_channels(parent, channel(field), value);
    return const_cast<cell*>(value);
  }
  cell source = *parent;
  collector::root_cells keep(&source);
  cell* result = stack::push_cell();
  *result = cell{TYPE_NONE, 0, 0, 0};
  return get_channels(result, &source, channel(field));
}

cell* to_binary(cell* proto, const cell* spec) { return get_channels(proto, spec, CHANNEL_ARGB); }

// --- natives -----------------------------------------------------------------------------------

cell* arg(int32_t i) { return stack::arguments + i; }

uint32_t n_decode_image(int32_t, const int32_t*) {
  cell data = *arg(0);
  collector::root_cells keep(&data);
  decode(arg(0), &data);
  return 0;
}

uint32_t n_encode_image(int32_t, const int32_t*) {
  cell img = *arg(0);
  collector::root_cells keep(&img);
  save_value(arg(0), &img, nullptr, integer::get(arg(1)));
  return 0;
}

uint32_t n_detect_image(int32_t, const int32_t*) {
  static const char* const names[] = {"bmp", "png", "gif", "jpeg", "tiff"};
  int32_t f = detect_format(arg(0));
  if (f < 0) {
    none::make_at(arg(0));
  } else {
    cell* w = word::push_from_symbol(symbol::make(names[f]));
    *arg(0) = *w;
    stack::pop(1);
  }
  return 0;
}

}  // namespace

cell* make_at(cell* target, uint32_t node) {
  if (!node) return make_empty(target, 0, 0);
  *target = cell{TYPE_IMAGE, 0, node, image_os::record_of(node)->size};
  return target;
}

int32_t pixels_left(const cell* image) { return int32_t(pixel_count(image)) - std::max(head_of(image), 0); }

int32_t detect_format(const cell* bin) {
  cell b = *bin;
  int32_t n = binary::ks_length_q(&b);
  return image_codecs::detect(binary::ks_head(&b), size_t(std::max(n, 0)));
}

cell* load_binary(cell* target, const cell* bin) {
  if (detect_format(bin) < 0) return none::make_at(target);
  cell b = *bin;
  int32_t n = binary::ks_length_q(&b);
  uint32_t node = image_os::decode_memory(binary::ks_head(&b), uint32_t(std::max(n, 0)));
  if (!node) bad_media();
  return make_at(target, node);
}

cell* decode(cell* target, const cell* data) {
  if (type_of(data) == TYPE_BINARY) return load_binary(target, data);
  if (type_of(data) != TYPE_FILE) invalid_arg(data);
  std::string path;
  bool too_large = false;
  uint32_t node = file::to_local_path(data, path) ? image_os::load_file(path.c_str(), &too_large) : 0;
  // Past what a binary! holds, as read/binary says it.
  if (too_large) error::fire(err::cat_internal, err::internal::no_memory);
  if (!node) error::fire(err::cat_access, err::access::cannot_open, data);
  return make_at(target, node);
}

cell* save_value(cell* target, const cell* img, const cell*, int32_t format) {
  if (!img->w2) bad_media();
  cell source = *img;
  collector::root_cells keep(&source);
  return image_os::encode(target, &source, format);
}

cell* get_channels(cell* target, const cell* img, channel which) {
  cell source = *img;
  collector::root_cells keep(&source);
  uint32_t per = which == CHANNEL_ARGB ? 4 : which == CHANNEL_RGB ? 3 : 1;
  uint32_t count = source.w2 ? pixel_count(&source) : 0;
  binary::make_at(target, count * per);
  if (!count) return target;
  uint8_t* out = series::make_room(memory::buffer_of(target->w2), count * per);
  const uint32_t* p = pixels(&source, false);
  if (which == CHANNEL_ARGB) {
    std::memcpy(out, p, size_t(count) * 4);
  } else if (which == CHANNEL_RGB) {
    for (uint32_t i = 0; i < count; ++i, out += 3) {
      out[0] = uint8_t(p[i] >> 16);
      out[1] = uint8_t(p[i] >> 8);
      out[2] = uint8_t(p[i]);
    }
  } else {
    for (uint32_t i = 0; i < count; ++i) out[i] = uint8_t(255 - (p[i] >> 24));
  }
  return target;
}

void set_channels(const cell* img, channel which, const cell* value) {
  uint32_t vt = type_of(value);
  if (vt != TYPE_BINARY && vt != TYPE_TUPLE && vt != TYPE_INTEGER) invalid_arg(value);
  if (!img->w2) return;
  cell target = *img, v = *value;
  collector::root_cells keep(&target), keep_v(&v);
  uint32_t count = pixel_count(&target);
  bool owned = changing(&target, ownership::CHANGE, &v, 0, count);
  uint32_t* p = pixels(&target, true);
  if (vt == TYPE_BINARY) {
    // Every channel stops at the last pixel, whatever the binary's length.
    uint32_t n = uint32_t(std::max(binary::ks_length_q(&v), 0));
    const uint8_t* b = binary::ks_head(&v);
    if (which == CHANNEL_ARGB) {
      std::memcpy(p, b, std::min<size_t>(n, size_t(count) * 4));
    } else if (which == CHANNEL_RGB) {
      for (uint32_t i = 0, m = std::min(n / 3, count); i < m; ++i)
        p[i] = (p[i] & 0xFF000000u) | uint32_t(b[i * 3]) << 16 | uint32_t(b[i * 3 + 1]) << 8 | b[i * 3 + 2];
    } else {
      for (uint32_t i = 0, m = std::min(n, count); i < m; ++i) p[i] = (p[i] & 0x00FFFFFFu) | (255u - b[i]) << 24;
    }
  } else {
    // An integer stands for the tuple of its four bytes, most significant first.
    uint8_t bytes[4];
    int32_t components = 4;
    if (vt == TYPE_TUPLE) {
      components = tuple::count_of(&v);
      std::memcpy(bytes, tuple::bytes_of(&v), 4);
    } else {
      for (int i = 0; i < 4; ++i) bytes[i] = uint8_t(v.w2 >> (24 - 8 * i));
    }
    uint32_t rgb = uint32_t(bytes[0]) << 16 | uint32_t(bytes[1]) << 8 | bytes[2];
    for (uint32_t i = 0; i < count; ++i) {
      if (which == CHANNEL_ARGB) p[i] = (components >= 4 ? 255u - bytes[3] : 255u) << 24 | rgb;
      else if (which == CHANNEL_RGB) p[i] = (p[i] & 0xFF000000u) | rgb;
      else p[i] = (p[i] & 0x00FFFFFFu) | (255u - bytes[0]) << 24;
    }
  }
  if (owned) changing(&target, ownership::CHANGED, &v, 0, count);
}

cell* push_resized(const cell* img, uint32_t width, uint32_t height) {
  cell source = *img;
  collector::root_cells keep(&source);
  cell* result = stack::push_cell();
  if (!source.w2 || width == 0 || height == 0) return make_empty(result, 0, 0);
  return make_at(result, image_os::resize(source.w2, width, height));
}

void mark(cell* c) {
  if (c->w2 && collector::mark_node(&c->w2)) image_os::mark(c->w2);
}

void free_value(const cell* img) {
  if (img->w2) image_os::free_record(img->w2);
}

void set_face_to_image(face_to_image_fn fn) { face_to_image = fn; }

void init() {
  image_os::init();
  collector::set_marker(TYPE_IMAGE, mark);
  binary::set_to_converter(TYPE_IMAGE, to_binary);
  datatype::registration r(TYPE_IMAGE, TYPE_SERIES, "image!");
  // Of series!'s actions only those that move the head without reading
  // the buffer are inherited; the others do not apply to pixels.
  for (uint32_t a : {ACT_BACK, ACT_HEAD, ACT_HEAD_Q, ACT_INDEX_Q}) r.inherit(a);
  r.set<ACT_MAKE>(make)
      .set<ACT_TO>(to)
      .set<ACT_FORM>(form)
      .set<ACT_MOLD>(mold)
      .set<ACT_EVAL_PATH>(eval_path)
      .set<ACT_COMPARE>(compare)
      .set<ACT_AT>(at)
      .set<ACT_SKIP>(skip)
      .set<ACT_NEXT>(next)
      .set<ACT_TAIL>(tail)
      .set<ACT_TAIL_Q>(tail_q)
      .set<ACT_LENGTH_Q>(length_q)
      .set<ACT_PICK>(pick)
      .set<ACT_POKE>(poke)
      .set<ACT_CHANGE>(change)
      .set<ACT_COPY>(copy)
      .commit();
}

void register_extras(natives::extra_list& list) {
  list.push_back({"decode-image",
                  "[\"Decodes a BMP, PNG, JPEG, GIF or TIFF file into an image, or none for no known format\""
                  " data [binary! file!]]",
                  n_decode_image});
  list.push_back({"encode-image",
                  "[\"Encodes an image: format 0 BMP, 1 PNG, 2 GIF, 3 JPEG, 4 TIFF\""
                  " image [image!] format [integer!]]",
                  n_encode_image});
  list.push_back({"detect-image",
                  "[\"The image format a binary starts with (bmp png gif jpeg tiff), or none\" data [binary!]]",
                  n_detect_image});
}

}  // namespace kez::image
