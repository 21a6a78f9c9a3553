// Kezbin encoders. One walk serves both encodings: the value's records are
// written into a body buffer while the names of the symbols met are collected;
// the header and the symbol table are put in front at the end.
//
// Sharing: every series buffer and context written is entered in a table
// under its node, with the path of indexes from the encoded value down to
// where it was written (the path stack). Meeting it again writes a reference
// to that path, which the decoder walks back to the value already decoded.
// Path steps: a cell's offset from its block's head; a field's index in an
// object (in an error, counted after code, type and id); 0 for the spec and
// 1 for the body of a function (0 for a native's spec). An owner written
// inside a word's binding shares the word's path; the fields under it add
// their index to that.
#include <cmath>
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "runtime/arena.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/datatype.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/string.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/kezbin.h"
#include "runtime/kezbin_format.h"
#include "runtime/image_os.h"
#include "runtime/memory.h"

namespace kez::kezbin {

namespace {

struct encoder {
  bool compact;
  std::vector<uint8_t> body;
  std::string names;
  std::vector<uint32_t> offsets;
  std::unordered_map<uint32_t, uint32_t> symbols;  // symbol id -> index in the table
  struct written {
    uint32_t start, length;  // in paths
  };
  std::unordered_map<uint32_t, written> seen;  // node of a buffer or context -> its path
  std::vector<int32_t> paths;                  // every recorded path, back to back
  std::vector<int32_t> path;                   // where the record being written sits
  int depth = 0;

  explicit encoder(bool c) : compact(c) {
    path.reserve(1024);
    paths.reserve(16384);
  }

  // --- Primitive writers --------------------------------------------------

  void u8(uint32_t b) { body.push_back(uint8_t(b)); }
  void u32(uint32_t w) {
    for (int i = 0; i < 4; ++i) body.push_back(uint8_t(w >> (8 * i)));
  }
  void varint(uint32_t v) {
    while (v >= 0x80) {
      body.push_back(uint8_t(v | 0x80));
      v >>= 7;
    }
    body.push_back(uint8_t(v));
  }
  void zigzag(int32_t v) { varint((uint32_t(v) << 1) ^ uint32_t(v >> 31)); }
  // A count or an index: a varint, or a word in classic.
  void num(uint32_t v) { compact ? varint(v) : u32(v); }
  void snum(int32_t v) { compact ? zigzag(v) : u32(uint32_t(v)); }
  // Raw bytes; classic records stay whole words.
  void bytes(const uint8_t* p, size_t n) {
    body.insert(body.end(), p, p + n);
    if (!compact)
      while (body.size() % 4) body.push_back(0);
  }
  void dbl(const void* p) {
    uint32_t w[2];
    std::memcpy(w, p, 8);
    u32(w[0]);
    u32(w[1]);
  }

  uint32_t symbol(uint32_t id) {
    auto [it, fresh] = symbols.try_emplace(id, uint32_t(offsets.size()));
    if (fresh) {
      offsets.push_back(uint32_t(names.size()));
      names.append(symbol::get_c_string(id), symbol::name_length(id));
      names.push_back('\0');
    }
    return it->second;
  }

  // The start of a record: new-line and reference prefixes and the type byte
  // (with X, bit 6) in compact; the header word in classic, with `bits` its
  // per-type fields.
  void start(uint32_t type, bool x, bool newline, bool ref, uint32_t bits = 0) {
    if (compact) {
      if (newline) u8(PREFIX_NEW_LINE);
      if (ref) u8(PREFIX_SHARED);
      u8(type | (x ? TYPE_X : 0));
    } else {
      u32(type | bits | (ref ? CLASSIC_REF : 0) | (newline ? CLASSIC_NEW_LINE : 0));
    }
  }

  // --- Sharing ----------------------------------------------------------------

  const written* lookup(uint32_t node) const {
    auto it = seen.find(node);
    return it == seen.end() ? nullptr : &it->second;
  }
  void enter(uint32_t node) {
    seen.emplace(node, written{uint32_t(paths.size()), uint32_t(path.size())});
    paths.insert(paths.end(), path.begin(), path.end());
  }
  void reference(const written& w) {
    if (compact) {
      varint(w.length);
    } else {
      u32(CLASSIC_PATH_MARK);
      u32(w.length);
    }
    for (uint32_t i = 0; i < w.length; ++i) num(uint32_t(paths[w.start + i]));
  }
  // Writes a nested record with one more step on the path.
  void child(const cell* v, int32_t step) {
    path.push_back(step);
    value(v);
    path.pop_back();
  }

  // --- Records ----------------------------------------------------------------

  [[noreturn]] static void no_codec(uint32_t type) {
    cell kind;
    datatype::make_at(&kind, type);
    error::fire(err::cat_access, err::access::no_codec, &kind);
  }

  void value(const cell* v) {
    if (++depth > MAX_DEPTH) error::fire(err::cat_internal, err::internal::too_deep);
    record(v);
    --depth;
  }

  // The types that nest stay in this small frame: deep data recurses here.
  void record(const cell* v) {
    uint32_t type = type_of(v);
    bool nl = (v->header & FLAG_NEW_LINE) != 0;
    switch (type) {
      case TYPE_WORD:
      case TYPE_SET_WORD:
      case TYPE_LIT_WORD:
      case TYPE_GET_WORD:
      case TYPE_REFINEMENT:
        word(v, type, nl);
        return;
      case TYPE_BLOCK:
      case TYPE_PAREN:
      case TYPE_PATH:
      case TYPE_LIT_PATH:
      case TYPE_SET_PATH:
      case TYPE_GET_PATH:
      case TYPE_HASH:
        block(v, type, nl);
        return;
      case TYPE_MAP:
        map(v, nl);
        return;
      case TYPE_OBJECT:
        object(v, nl);
        return;
      case TYPE_FUNCTION:
        function(v, nl);
        return;
      default:
        other(v, type, nl);
    }
  }

  [[gnu::noinline]] void other(const cell* v, uint32_t type, bool nl) {
    switch (type) {
      case TYPE_UNSET:
      case TYPE_NONE:
        start(type, false, nl, false);
        return;
      case TYPE_LOGIC:
        if (compact) {
          if (nl) u8(PREFIX_NEW_LINE);
          u8(v->w1 ? BYTE_TRUE : BYTE_FALSE);
        } else {
          start(type, false, nl, false);
          u32(v->w1 ? 1 : 0);
        }
        return;
      case TYPE_DATATYPE:
      case TYPE_CHAR:
        start(type, false, nl, false);
        num(type == TYPE_DATATYPE ? v->w1 : v->w2);
        return;
      case TYPE_INTEGER:
        if (compact && v->w2 < 64) {
          if (nl) u8(PREFIX_NEW_LINE);
          u8(BYTE_SMALL_INT + v->w2);
          return;
        }
        start(type, false, nl, false);
        snum(int32_t(v->w2));
        return;
      case TYPE_FLOAT:
      case TYPE_PERCENT:
      case TYPE_TIME: {
        double d = load_double(&v->w2);
        int32_t n;
        if (compact && whole_form(d, type == TYPE_PERCENT, n)) {
          start(type, true, nl, false);
          zigzag(n);
        } else {
          start(type, false, nl, false);
          dbl(&v->w2);
        }
        return;
      }
      case TYPE_PAIR:
        start(type, false, nl, false);
        snum(int32_t(v->w2));
        snum(int32_t(v->w3));
        return;
      case TYPE_POINT2D:
      case TYPE_POINT3D:
        start(type, false, nl, false);
        u32(v->w1);
        u32(v->w2);
        if (type == TYPE_POINT3D) u32(v->w3);
        return;
      case TYPE_DATE: {
        bool timed = (v->w1 & DATE_TIME_PRESENT) != 0;
        start(type, compact && timed, nl, false);
        u32(v->w1);
        if (timed || !compact) dbl(&v->w2);
        return;
      }
      case TYPE_TYPESET: {
        const uint8_t* b = reinterpret_cast<const uint8_t*>(&v->w1);
        start(type, false, nl, false);
        if (compact) {
          uint32_t n = 12;
          while (n > 0 && b[n - 1] == 0) --n;
          u8(n);
          bytes(b, n);
        } else {
          bytes(b, 12);
        }
        return;
      }
      case TYPE_TUPLE: {
        const uint8_t* b = reinterpret_cast<const uint8_t*>(&v->w1);
        uint32_t n = uint32_t(tuple::count_of(v));
        if (compact) {
          start(type, n != 3, nl, false);
          if (n != 3) u8(n);
          bytes(b, n);
        } else {
          start(type, false, nl, false, n << 8);
          bytes(b, 12);
        }
        return;
      }
      case TYPE_MONEY: {
        bool negative = (v->header & money::SIGN_FLAG) != 0;
        start(type, compact && negative, nl, false, negative ? CLASSIC_MONEY_SIGN : 0);
        bytes(reinterpret_cast<const uint8_t*>(&v->w1), 12);
        return;
      }
      case TYPE_ISSUE:
        start(type, false, nl, false);
        num(symbol(v->w2));
        return;
      case TYPE_STRING:
      case TYPE_FILE:
      case TYPE_URL:
      case TYPE_TAG:
      case TYPE_EMAIL:
      case TYPE_REF:
      case TYPE_BINARY:
      case TYPE_VECTOR:
        text(v, type, nl);
        return;
      case TYPE_IMAGE:
        image_record(v, nl);
        return;
      case TYPE_BITSET:
        bitset(v, nl);
        return;
      case TYPE_NATIVE:
      case TYPE_ACTION: {
        start(type, false, nl, false);
        num(v->w1);
        cell spec{TYPE_BLOCK, 0, v->w2, 0};
        child(&spec, 0);
        return;
      }
      case TYPE_OP: {
        uint32_t from = op::source_type(v);
        if (from == TYPE_ROUTINE) no_codec(from);
        start(type, false, nl, false, from << 16);
        cell source{from, v->w1, v->w2, v->w3};
        value(&source);
        return;
      }
      case TYPE_ERROR: {
        start(type, false, nl, false);
        const cell* code = error::field_of(v, error::F_CODE);
        num(type_of(code) == TYPE_INTEGER ? code->w2 : 0);
        for (uint32_t k = 0; k < 6; ++k) child(error::field_of(v, error::field(error::F_ARG1 + k)), int32_t(k));
        return;
      }
      default:
        // routine!, triple!, handle!, port!, event!, and image! (no encoding
        // yet), besides the types no value ever has.
        no_codec(type);
    }
  }

  // A float, time or percent whose value is a 32-bit whole number (for a
  // percent: whose hundredfold value is one and gives the same percent back)
  // takes the short form. Negative zero never does.
  static bool whole_form(double d, bool percent, int32_t& n) {
    double w = percent ? d * 100.0 : d;
    if (!(w >= -2147483648.0 && w <= 2147483647.0)) return false;
    n = int32_t(w);
    if (double(n) != w) return false;
    if (n == 0 && std::signbit(d)) return false;
    return !percent || double(n) / 100.0 == d;
  }

  [[gnu::noinline]] void word(const cell* v, uint32_t type, bool nl) {
    uint32_t ctx = v->w1;
    const cell* owner = nullptr;
    if (ctx && ctx != context::global) {
      const cell* o = context::owner_of(ctx);
      if ((type_of(o) == TYPE_OBJECT || type_of(o) == TYPE_FUNCTION) && o->w1 == ctx) owner = o;
    }
    // Words of other contexts (an error's, an unbound word) come back bound
    // to the global context, as words with no binding are.
    const written* w = owner ? lookup(ctx) : nullptr;
    uint32_t index = symbol(v->w2);
    if (compact) {
      start(type, owner != nullptr, nl, w != nullptr);
      varint(index);
      if (!owner) return;
      zigzag(int32_t(v->w3));
    } else {
      start(type, false, nl, false);
      u32(index);
      u32(owner ? uint32_t(CLASSIC_OWNER_FOLLOWS) : uint32_t(-1));
      u32(owner ? v->w3 : uint32_t(-1));
      if (!owner) return;
      if (w) start(type_of(owner), false, false, true);
    }
    if (w) {
      reference(*w);
      return;
    }
    cell o = *owner;
    o.header &= ~FLAG_NEW_LINE;
    value(&o);
  }

  // Head index clamped into the buffer.
  static uint32_t head_of(const cell* v, uint32_t length) {
    int32_t h = int32_t(v->w1);
    return h < 0 ? 0 : uint32_t(h) > length ? length : uint32_t(h);
  }

  void block(const cell* v, uint32_t type, bool nl) {
    series_buffer* b = memory::buffer_of(v->w2);
    uint32_t n = b->used() / sizeof(cell), head = head_of(v, n);
    const written* w = lookup(v->w2);
    start(type, head != 0, nl, w != nullptr);
    if (compact ? head != 0 : true) num(head);
    if (w) {
      reference(*w);
      return;
    }
    enter(v->w2);
    num(n);
    for (uint32_t i = 0; i < n; ++i) child(memory::buffer_of(v->w2)->head_cell() + i, int32_t(i) - int32_t(head));
  }

  // Removed entries (value header 0) are left out; the path steps count the
  // cells written, which are the cells of the decoded map.
  [[gnu::noinline]] void map(const cell* v, bool nl) {
    const written* w = lookup(v->w2);
    start(TYPE_MAP, false, nl, w != nullptr);
    if (w) {
      reference(*w);
      return;
    }
    enter(v->w2);
    series_buffer* b = memory::buffer_of(v->w2);
    uint32_t n = b->used() / sizeof(cell), live = 0;
    for (uint32_t i = 0; i + 1 < n; i += 2)
      if (b->head_cell()[i + 1].header != 0) live += 2;
    num(live);
    for (uint32_t i = 0, k = 0; i + 1 < n; i += 2) {
      const cell* pair = memory::buffer_of(v->w2)->head_cell() + i;
      if (pair[1].header == 0) continue;
      child(pair, int32_t(k++));
      child(memory::buffer_of(v->w2)->head_cell() + i + 1, int32_t(k++));
    }
  }

  // The string family, binary! and vector!: the buffer's units as they are.
  void text(const cell* v, uint32_t type, bool nl) {
    series_buffer* b = memory::buffer_of(v->w2);
    uint32_t unit = b->unit() ? b->unit() : 1, shift = series::shift_of(b);
    uint32_t n = b->used() >> shift, head = head_of(v, n);
    const written* w = lookup(v->w2);
    bool any_string = series::string_family_q(type);
    uint32_t bits = type == TYPE_VECTOR ? unit << 8 : any_string ? shift << 8 : 0;
    start(type, head != 0, nl, w != nullptr, bits);
    if (compact ? head != 0 : true) num(head);
    if (w) {
      reference(*w);
      return;
    }
    enter(v->w2);
    if (type == TYPE_VECTOR) {
      if (compact) {
        u8((v->w3 << 2) | shift);
        varint(n);
      } else {
        u32(n);
        u32(v->w3);
      }
    } else if (any_string && compact) {
      varint((n << 2) | shift);
    } else {
      num(n);
    }
    bytes(memory::buffer_of(v->w2)->head_ptr(), size_t(n) << shift);
  }

  // The pixel words as stored; an image with no pixels has no record to share.
  void image_record(const cell* v, bool nl) {
    uint32_t node = v->w2, width = image::width_of(v), height = image::height_of(v), head = v->w1;
    const written* w = node ? lookup(node) : nullptr;
    start(TYPE_IMAGE, head != 0, nl, w != nullptr);
    if (compact ? head != 0 : true) num(head);
    if (w) {
      reference(*w);
      return;
    }
    if (compact) {
      varint(width);
      varint(height);
    } else {
      u32(image_os::pack_size(width, height));
    }
    if (!node) return;
    enter(node);
    // The pixels live outside the heap: growing the output cannot move them.
    bytes(reinterpret_cast<const uint8_t*>(image_os::lock_pixels(node, false)), size_t(width) * height * 4);
  }

  void bitset(const cell* v, bool nl) {
    bool complemented = (v->header & FLAG_BITSET_NOT) != 0;
    const written* w = lookup(v->w2);
    start(TYPE_BITSET, compact && complemented, nl, w != nullptr, complemented ? CLASSIC_BITSET_NOT : 0);
    if (w) {
      reference(*w);
      return;
    }
    enter(v->w2);
    series_buffer* b = memory::buffer_of(v->w2);
    num(b->used());
    bytes(b->head_ptr(), b->used());
  }

  // The hook positions come from the object's hook table (-1: absent).
  static void hook_positions(const cell* v, int32_t positions[2]) {
    positions[0] = positions[1] = -1;
    if (!v->w3) return;
    const cell* entries = memory::buffer_of(v->w3)->head_cell();
    for (int h = 0; h < 2; ++h) positions[h] = int32_t(entries[h].w2) >> 16;
  }

  [[gnu::noinline]] void object(const cell* v, bool nl) {
    const written* w = lookup(v->w1);
    int32_t hooks[2];
    hook_positions(v, hooks);
    bool x = hooks[0] >= 0 || hooks[1] >= 0;
    start(TYPE_OBJECT, !w && x, nl, w != nullptr);
    if (w) {
      reference(*w);
      return;
    }
    enter(v->w1);
    snum(int32_t(v->w2));
    if (x || !compact) {
      snum(hooks[0]);
      snum(hooks[1]);
    }
    context_record(v->w1);
  }

  [[gnu::noinline]] void function(const cell* v, bool nl) {
    const written* w = lookup(v->w1);
    start(TYPE_FUNCTION, false, nl, w != nullptr);
    if (w) {
      reference(*w);
      return;
    }
    enter(v->w1);
    cell spec{TYPE_BLOCK, 0, v->w2, 0};
    cell body = *function::extras_at(v, function::EX_BODY);
    bool has_body = type_of(&body) == TYPE_BLOCK;
    if (compact) {
      varint(memory::buffer_of(spec.w2)->used() / sizeof(cell));
      varint(has_body ? memory::buffer_of(body.w2)->used() / sizeof(cell) : 0);
    }
    context_record(v->w1);
    child(&spec, 0);
    if (has_body) {
      body.header = TYPE_BLOCK | (body.header & FLAG_NEW_LINE);
      child(&body, 1);
    } else {
      start(TYPE_BLOCK, false, false, false);  // no body: an empty one
      if (!compact) num(0);
      num(0);
    }
  }

  // The words of a context, then its values unless they live on the stack.
  void context_record(uint32_t ctx) {
    const cell* c = context::cell_of(ctx);
    uint32_t kind = context::kind_of(ctx), n = context::length_of(ctx);
    bool stack = (c->header & FLAG_STACK_VALUES) != 0, self = (c->header & FLAG_SELF) != 0;
    bool values = !stack && c->w2 != 0;
    if (compact) {
      start(TYPE_CONTEXT, false, false, false);
      u8(kind | (stack ? CTX_STACK : 0) | (self ? CTX_SELF : 0) | (values ? CTX_VALUES : 0));
    } else {
      start(TYPE_CONTEXT, false, false, false,
            (kind << 26) | (self ? CLASSIC_CTX_SELF : 0) | (stack ? CLASSIC_CTX_STACK : 0) |
                (values ? CLASSIC_CTX_VALUES : 0));
    }
    num(n);
    for (uint32_t i = 0; i < n; ++i) num(symbol(context::word_at(ctx, i)->w2));
    if (!values) return;
    uint32_t stored = memory::buffer_of(c->w2)->used() / sizeof(cell);
    for (uint32_t i = 0; i < n; ++i) {
      cell unset_value{TYPE_UNSET, 0, 0, 0};
      child(i < stored ? context::value_at(ctx, i) : &unset_value, int32_t(i));
    }
  }

  // --- Output -------------------------------------------------------------------

  cell* finish() {
    std::vector<uint8_t> out(MAGIC, MAGIC + 6);
    out.push_back(VERSION_WRITTEN);
    bool symbols_present = !offsets.empty();
    auto put32 = [&](uint32_t w) {
      for (int i = 0; i < 4; ++i) out.push_back(uint8_t(w >> (8 * i)));
    };
    auto put_varint = [&](uint32_t v) {
      while (v >= 0x80) {
        out.push_back(uint8_t(v | 0x80));
        v >>= 7;
      }
      out.push_back(uint8_t(v));
    };
    if (compact) {
      out.push_back(FLAG_COMPACT | (symbols_present ? FLAG_SYMBOLS : 0));
      put_varint(1);
      put_varint(uint32_t(body.size()));
      if (symbols_present) {
        put_varint(uint32_t(offsets.size()));
        put_varint(uint32_t(names.size()));
      }
    } else {
      out.push_back(symbols_present ? FLAG_SYMBOLS : 0);
      put32(1);
      put32(uint32_t(body.size()));
      if (symbols_present) {
        put32(uint32_t(offsets.size()));
        put32(uint32_t(names.size()));
      }
    }
    if (symbols_present) {
      for (uint32_t o : offsets) put32(o);
      out.insert(out.end(), names.begin(), names.end());
    }
    out.insert(out.end(), body.begin(), body.end());
    if (out.size() > 0x7FFFFFF0u) error::fire(err::cat_internal, err::internal::no_memory);
    return binary::load(out.data(), uint32_t(out.size()));
  }
};

cell* encode(const cell* value, bool compact) {
  cell v = *value;  // nothing allocates before finish, so v stays valid
  encoder e(compact);
  e.path.push_back(0);
  e.value(&v);
  return e.finish();
}

}  // namespace

cell* encode_classic(const cell* value) { return encode(value, false); }
cell* encode_compact(const cell* value) { return encode(value, true); }
cell* encode_star(const cell* value, bool compact) { return encode(value, compact); }

}  // namespace kez::kezbin
