// Kezbin decoder, both encodings, and the codec's routines.
//
// Every decoded value is appended to the block being filled before anything
// inside it is decoded, so a reference path met later (or from inside the
// value itself) finds it, and everything made so far is reachable from the
// destination block. Nodes held in locals while their contents are decoded
// are rooted by guards; cells are re-read through their series after any
// allocation.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "runtime/actions.h"
#include "runtime/collector.h"
#include "runtime/core_ops.h"
#include "runtime/datatypes/binary.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/hash.h"
#include "runtime/datatypes/image.h"
#include "runtime/datatypes/map.h"
#include "runtime/datatypes/money.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/object.h"
#include "runtime/datatypes/series.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/tuple.h"
#include "runtime/datatypes/word.h"
#include "runtime/kezbin.h"
#include "runtime/kezbin_format.h"
#include "runtime/image_os.h"
#include "runtime/lz.h"
#include "runtime/memory.h"
#include "runtime/natives.h"
#include "runtime/runtime.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"
#include "runtime/thrown.h"

namespace kez::kezbin {

namespace {

constexpr uint32_t ACTION_COUNT = 62;
constexpr uint32_t MAX_PATH = 65536;

constexpr uint32_t line_flag(bool nl) { return nl ? uint32_t(FLAG_NEW_LINE) : 0u; }

bool block_like_q(uint32_t t) { return series::block_family_q(t); }
// Types a decoded cell may have: no internal types, no gaps.
bool value_type_q(uint32_t t) {
  return t >= TYPE_DATATYPE && t <= TYPE_LAST && t != TYPE_SYMBOL && t != TYPE_CONTEXT && t != TYPE_SERIES;
}

uint32_t cells_in(uint32_t node) { return memory::buffer_of(node)->used() / sizeof(cell); }
cell* slot(uint32_t node, uint32_t i) { return memory::buffer_of(node)->head_cell() + i; }
void truncate(uint32_t node, uint32_t n) {
  series_buffer* b = memory::buffer_of(node);
  b->tail = b->head + n * uint32_t(sizeof(cell));
}

// The boot data fills the root block, which never moves and has its own
// append; everything else grows as series do.
uint32_t append(uint32_t node, cell v) {
  if (node == root::block()) {
    uint32_t i = root::length();
    root::append(&v);
    return i;
  }
  collector::root_cells keep(&v);
  uint32_t i = cells_in(node);
  *reinterpret_cast<cell*>(series::make_room(memory::buffer_of(node), sizeof(cell))) = v;
  return i;
}

struct decoder {
  const uint8_t* origin;  // what offset origin_offset stands for
  uint32_t origin_offset;
  const uint8_t* p;
  const uint8_t* end;
  const uint8_t* records;  // start of the records: classic padding is counted from here
  bool compact, run_time;
  bool has_symbols = false;
  uint32_t symbol_count = 0, names_size = 0;
  const uint8_t* offsets = nullptr;
  const uint8_t* names = nullptr;
  std::vector<uint32_t> symbol_ids;
  // Per symbol, its word's index in the global context once looked up:
  // global indexes never change, and the boot data names each word
  // many times.
  std::vector<int32_t> global_indexes;
  uint32_t last_symbol = 0;  // the symbol table index symbol() read last
  uint32_t destination = 0, base = 0;
  int depth = 0;

  // --- Faults and primitive reads ---------------------------------------------

  [[noreturn]] void fail(const uint8_t* at) const {
    cell offset{TYPE_INTEGER, 0, uint32_t(origin_offset + (at - origin) + 1), 0};
    error::fire(err::cat_script, err::script::kb_invalid_record, &offset);
  }
  size_t left() const { return size_t(end - p); }
  void need(uint64_t n) const {
    if (n > left()) fail(p);
  }
  uint8_t u8() {
    need(1);
    return *p++;
  }
  uint32_t u32() {
    need(4);
    uint32_t w = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    p += 4;
    return w;
  }
  uint32_t varint() {
    const uint8_t* at = p;
    uint32_t v = 0;
    for (int i = 0; i < 5; ++i) {
      uint8_t b = u8();
      if (i == 4 && b >= 0x10) fail(at);  // beyond 32 bits
      v |= uint32_t(b & 0x7F) << (7 * i);
      if (!(b & 0x80)) return v;
    }
    return v;  // not reached: the fifth byte has no continuation bit
  }
  int32_t zigzag() {
    uint32_t u = varint();
    return int32_t((u >> 1) ^ (0u - (u & 1)));
  }
  uint32_t num() { return compact ? varint() : u32(); }
  int32_t snum() { return compact ? zigzag() : int32_t(u32()); }
  // A count of records still to come: each takes at least a byte (a word).
  uint32_t count() {
    const uint8_t* at = p;
    uint32_t n = num();
    if (uint64_t(n) * (compact ? 1 : 4) > left()) fail(at);
    return n;
  }
  const uint8_t* take(uint64_t n) {
    need(n);
    const uint8_t* q = p;
    p += n;
    if (!compact)
      while ((p - records) % 4) {
        need(1);
        ++p;
      }
    return q;
  }
  double dbl() {
    uint32_t w[2] = {u32(), 0};
    w[1] = u32();
    double d;
    std::memcpy(&d, w, 8);
    return d;
  }

  uint32_t symbol() {
    const uint8_t* at = p;
    uint32_t i = num();
    if (!has_symbols || i >= symbol_count) fail(at);
    last_symbol = i;
    if (symbol_ids[i]) return symbol_ids[i];
    const uint8_t* o = offsets + 4 * size_t(i);
    uint32_t offset = uint32_t(o[0]) | uint32_t(o[1]) << 8 | uint32_t(o[2]) << 16 | uint32_t(o[3]) << 24;
    if (offset >= names_size || (offset & 0x80000000u)) fail(at);
    const uint8_t* name = names + offset;
    size_t length = strnlen(reinterpret_cast<const char*>(name), names_size - offset);
    if (length == 0) fail(at);
    return symbol_ids[i] = symbol::make_from_buffer(name, uint32_t(length));
  }

  // --- Records ------------------------------------------------------------------

  // Decodes one record and appends its value to `into` (a definition
  // appends nothing). `into` is a rooted local of the caller.
  void record(uint32_t& into) {
    if (++depth > MAX_DEPTH) fail(p);
    compact ? compact_record(into) : classic_record(into);
    --depth;
  }

  // As record, for the places where exactly one value must come; answers its index.
  uint32_t record_one(uint32_t& into) {
    const uint8_t* at = p;
    uint32_t i = cells_in(into);
    record(into);
    if (cells_in(into) != i + 1) fail(at);
    return i;
  }

  void compact_record(uint32_t& into) {
    bool nl = false, shared = false, define = false;
    for (;;) {
      uint8_t b = (need(1), *p);
      if (b == PREFIX_NEW_LINE) nl = true;
      else if (b == PREFIX_SHARED) shared = true;
      else if (b == PREFIX_DEFINE) define = true;
      else break;
      ++p;
    }
    const uint8_t* at = p;
    uint8_t b = u8();
    if (b >= 0x80) {
      if (shared || define) fail(at);
      append(into, byte_value(b, nl, at));
      return;
    }
    uint32_t type = b & TYPE_ID_MASK;
    if (type == TYPE_ID_FOLLOWS) type = varint();
    if (type == 0) fail(at);
    payload(into, type, (b & TYPE_X) != 0, shared, nl, define, 0, at);
  }

  // Small integers, logic values and copies: a type byte and what follows.
  [[gnu::noinline]] cell byte_value(uint8_t b, bool nl, const uint8_t* at) {
    cell v;
    if (b < 0xC0) v = cell{TYPE_INTEGER, 0, uint32_t(b - BYTE_SMALL_INT), 0};
    else if (b == BYTE_TRUE || b == BYTE_FALSE) v = cell{TYPE_LOGIC, b == BYTE_TRUE ? 1u : 0u, 0, 0};
    else if (b == BYTE_COPY) v = resolve(at);
    else fail(at);
    if (!value_type_q(type_of(&v))) fail(at);
    v.header = (v.header & ~FLAG_NEW_LINE) | line_flag(nl);
    return v;
  }

  void classic_record(uint32_t& into) {
    const uint8_t* at = p;
    uint32_t h = u32();
    while ((h & 0xFF) == 0) {  // a header word of type 0 stands alone
      at = p;
      h = u32();
    }
    // An op! keeps its source's type in bits 16-23, over the reference bit:
    // an op is never a reference.
    uint32_t type = h & 0xFF;
    bool shared = (h & CLASSIC_REF) != 0 && type != TYPE_OP;
    payload(into, type, false, shared, (h & CLASSIC_NEW_LINE) != 0, (h & CLASSIC_DEFINE) != 0, h, at);
  }

  // x: the compact extra field; h: the classic header word.
  void payload(uint32_t& into, uint32_t type, bool x, bool shared, bool nl, bool define, uint32_t h,
               const uint8_t* at) {
    if (define) {
      if (run_time || !any_word_q(type)) fail(at);
      definition(into, type, x, shared, h, at);
      return;
    }
    if (shared && !shareable_q(type)) fail(at);
    switch (type) {
      case TYPE_WORD:
      case TYPE_SET_WORD:
      case TYPE_LIT_WORD:
      case TYPE_GET_WORD:
      case TYPE_REFINEMENT:
        word_record(into, type, x, shared, nl, at);
        return;
      case TYPE_BLOCK:
      case TYPE_PAREN:
      case TYPE_PATH:
      case TYPE_LIT_PATH:
      case TYPE_SET_PATH:
      case TYPE_GET_PATH:
      case TYPE_HASH:
        block(into, type, x, shared, nl, at);
        return;
      case TYPE_MAP:
        map(into, shared, nl, at);
        return;
      case TYPE_STRING:
      case TYPE_FILE:
      case TYPE_URL:
      case TYPE_TAG:
      case TYPE_EMAIL:
      case TYPE_REF:
      case TYPE_BINARY:
      case TYPE_VECTOR:
        text(into, type, x, shared, nl, h, at);
        return;
      case TYPE_BITSET:
        bitset(into, x, shared, nl, h, at);
        return;
      case TYPE_IMAGE:
        image_record(into, x, shared, nl, at);
        return;
      case TYPE_CONTEXT: {  // stand-alone: it comes back as an object
        object_from_context(into, nl, h, at, -1, -1, at);
        return;
      }
      case TYPE_OBJECT:
        object(into, x, shared, nl, at);
        return;
      case TYPE_FUNCTION:
        function(into, shared, nl, at);
        return;
      case TYPE_NATIVE:
      case TYPE_ACTION:
        native(into, type, nl, at);
        return;
      case TYPE_OP:
        op(into, nl, h, at);
        return;
      case TYPE_ERROR:
        error_value(into, nl, at);
        return;
      case TYPE_ROUTINE:
      case TYPE_TRIPLE:
      case TYPE_HANDLE:
      case TYPE_PORT:
      case TYPE_EVENT: {
        cell kind{TYPE_DATATYPE, type, 0, 0};
        error::fire(err::cat_access, err::access::no_codec, &kind);
      }
      default:
        append(into, scalar(type, x, nl, h, at));
    }
  }

  // The types that hold no other value, out of payload's frame: deep data
  // recurses through payload.
  [[gnu::noinline]] cell scalar(uint32_t type, bool x, bool nl, uint32_t h, const uint8_t* at) {
    cell v{type | line_flag(nl), 0, 0, 0};
    switch (type) {
      case TYPE_UNSET:
      case TYPE_NONE:
        break;
      case TYPE_DATATYPE: {
        uint32_t t = num();
        if (t < 1 || t > TYPE_LAST) fail(at);
        v.w1 = t;
        break;
      }
      case TYPE_LOGIC: {
        if (compact) fail(at);  // the compact form is a byte of its own
        uint32_t t = u32();
        if (t > 1) fail(at);
        v.w1 = t;
        break;
      }
      case TYPE_CHAR:
        v.w2 = num();
        if (v.w2 > 0x10FFFF) fail(at);
        break;
      case TYPE_INTEGER:
        v.w2 = uint32_t(snum());
        break;
      case TYPE_FLOAT:
      case TYPE_PERCENT:
      case TYPE_TIME: {
        double d;
        if (x) {
          int32_t n = zigzag();
          d = type == TYPE_PERCENT ? double(n) / 100.0 : double(n);
        } else {
          d = dbl();
        }
        store_double(&v.w2, d);
        break;
      }
      case TYPE_PAIR:
        v.w2 = uint32_t(snum());
        v.w3 = uint32_t(snum());
        break;
      case TYPE_POINT3D:
        v.w1 = u32();
        v.w2 = u32();
        v.w3 = u32();
        break;
      case TYPE_POINT2D:
        v.w1 = u32();
        v.w2 = u32();
        break;
      case TYPE_DATE:
        date(v, x, at);
        break;
      case TYPE_TYPESET: {
        uint32_t n = compact ? u8() : 12;
        if (n > 12) fail(at);
        std::memcpy(&v.w1, take(n), n);
        break;
      }
      case TYPE_TUPLE: {
        uint32_t n = compact ? (x ? u8() : 3) : (h >> 8) & 0xFF;
        if (n < 3 || n > 12) fail(at);
        const uint8_t* bytes = take(compact ? n : 12);
        std::memcpy(&v.w1, bytes, n);  // bytes past the count stay 0
        v.header |= n << tuple::COUNT_SHIFT;
        break;
      }
      case TYPE_MONEY: {
        const uint8_t* bytes = take(12);
        if (bytes[0] && !system_stub::currency_code(bytes[0])) fail(at);
        for (int i = 1; i < 12; ++i)
          if ((bytes[i] >> 4) > 9 || (bytes[i] & 15) > 9) fail(at);
        std::memcpy(&v.w1, bytes, 12);
        if (compact ? x : (h & CLASSIC_MONEY_SIGN) != 0) v.header |= money::SIGN_FLAG;
        break;
      }
      case TYPE_ISSUE:
        v = cell{TYPE_ISSUE | line_flag(nl), context::global, symbol(), uint32_t(-1)};
        break;
      default:
        // image! records are refused until the image datatype exists; the
        // other ids name no value.
        fail(at);
    }
    return v;
  }

  static bool shareable_q(uint32_t t) {
    return block_like_q(t) || series::string_family_q(t) || t == TYPE_BINARY || t == TYPE_VECTOR ||
           t == TYPE_MAP || t == TYPE_BITSET || t == TYPE_IMAGE || t == TYPE_OBJECT || t == TYPE_FUNCTION ||
           (t >= TYPE_WORD && t <= TYPE_REFINEMENT);
  }

  void date(cell& v, bool x, const uint8_t* at) {
    uint32_t w = u32();
    bool timed = (w & DATE_TIME_PRESENT) != 0;
    double t = 0.0;
    if (compact) {
      if (timed != x) fail(at);
      if (timed) t = dbl();
    } else {
      t = dbl();
    }
    uint32_t day = (w >> 7) & 31, month = (w >> 12) & 15;
    if (day < 1 || month < 1 || month > 12) fail(at);
    if (timed) {
      double zone = ((w >> 2) & 15) * 3600.0 + (w & 3) * 900.0;
      if (w & 0x40) zone = -zone;
      double local = t + zone;
      if (!(local >= 0.0 && local < 86400.0)) fail(at);
    } else if (t != 0.0) {
      fail(at);
    }
    v.w1 = w;
    store_double(&v.w2, t);
  }

  // --- Reference paths -------------------------------------------------------------

  // Walks a reference path from the destination block and answers a copy of
  // the cell it reaches.
  cell resolve(const uint8_t* at) {
    if (!compact && u32() != CLASSIC_PATH_MARK) fail(at);
    uint32_t n = num();
    if (n < 1 || n > MAX_PATH || uint64_t(n) * (compact ? 1 : 4) > left()) fail(at);
    cell cur{TYPE_BLOCK, base, destination, 0};
    for (uint32_t k = 0; k < n; ++k) {
      int32_t i = int32_t(num());
      uint32_t t = type_of(&cur);
      if (block_like_q(t) || t == TYPE_MAP) {
        int64_t index = int64_t(int32_t(cur.w1)) + i;
        if (index < 0 || index >= int64_t(cells_in(cur.w2))) fail(at);
        cur = *slot(cur.w2, uint32_t(index));
      } else if (any_word_q(t) && t != TYPE_ISSUE) {
        cur = context_value(cur.w1, i, at);
      } else if (t == TYPE_OBJECT || t == TYPE_ERROR) {
        cur = context_value(cur.w1, t == TYPE_ERROR ? int64_t(i) + 3 : i, at);
      } else if (t == TYPE_NATIVE || t == TYPE_ACTION || t == TYPE_FUNCTION || t == TYPE_OP) {
        bool function_body = t == TYPE_FUNCTION || (t == TYPE_OP && op::source_type(&cur) == TYPE_FUNCTION);
        if (i == 0) {
          cur = cell{TYPE_BLOCK, 0, cur.w2, 0};
        } else if (i == 1 && function_body && cells_in(cur.w3) > 0) {
          cur = *slot(cur.w3, function::EX_BODY);
        } else {
          fail(at);
        }
      } else {
        fail(at);
      }
    }
    if (!value_type_q(type_of(&cur))) fail(at);
    return cur;
  }

  cell context_value(uint32_t ctx, int64_t i, const uint8_t* at) {
    if (!ctx) fail(at);
    const cell* c = context::cell_of(ctx);
    if ((c->header & FLAG_STACK_VALUES) || !c->w2) fail(at);
    if (i < 0 || i >= int64_t(cells_in(c->w2))) fail(at);
    return *slot(c->w2, uint32_t(i));
  }

  // The context a reached cell stands for, whose owner must be of `owner_type`
  // (object! or function!; 0 accepts both).
  uint32_t owner_context(const cell& c, uint32_t owner_type, const uint8_t* at) {
    uint32_t t = type_of(&c), ctx = 0;
    if (t == TYPE_OBJECT || t == TYPE_FUNCTION || (any_word_q(t) && t != TYPE_ISSUE) ||
        (t == TYPE_OP && op::source_type(&c) == TYPE_FUNCTION))
      ctx = c.w1;
    if (!ctx || ctx == context::global) fail(at);
    uint32_t o = type_of(context::owner_of(ctx));
    if (owner_type ? o != owner_type : o != TYPE_OBJECT && o != TYPE_FUNCTION) fail(at);
    return ctx;
  }

  // --- Words --------------------------------------------------------------------------

  [[gnu::noinline]] void word_record(uint32_t& into, uint32_t type, bool x, bool shared, bool nl,
                                     const uint8_t* at) {
    cell w = word(into, type, x, shared, at);
    w.header |= line_flag(nl);
    append(into, w);
  }

  cell word(uint32_t& into, uint32_t type, bool x, bool shared, const uint8_t* at) {
    uint32_t sym = symbol();
    uint32_t sym_index = last_symbol;
    uint32_t ctx = context::global;
    int32_t index = -1;
    const uint8_t* index_at = p;
    if (compact) {
      if (!x) {
        if (shared) fail(at);
      } else if (!run_time) {
        ctx = boot_context(varint(), at);
        index_at = p;
        index = zigzag();
      } else {
        index = zigzag();
        ctx = shared ? owner_context(resolve(at), 0, at) : inline_owner(into, at);
      }
    } else {
      int32_t reference = int32_t(u32());
      index_at = p;
      index = int32_t(u32());
      if (reference == -1) {
        ctx = context::global;
      } else if (run_time) {
        if (reference != CLASSIC_OWNER_FOLLOWS) fail(at);
        ctx = inline_owner(into, at);
      } else {
        ctx = boot_context(uint32_t(reference), at);
      }
    }
    if (ctx == context::global) {
      int32_t& known = global_indexes[sym_index];
      if (known < 0) {
        cell w{TYPE_UNSET, 0, 0, 0};
        word::make_at(sym, &w);
        known = int32_t(w.w3);
      }
      return cell{type, context::global, sym, uint32_t(known)};
    }
    if (index < -1 || (index >= 0 && uint32_t(index) >= context::length_of(ctx))) fail(index_at);
    return cell{type, ctx, sym, uint32_t(index)};
  }

  // The owner record after a word: decoded where the word goes (so paths into
  // it reach it there), its context taken, the cell dropped again.
  uint32_t inline_owner(uint32_t& into, const uint8_t* at) {
    const uint8_t* owner_at = p;
    uint32_t i = record_one(into);
    cell o = *slot(into, i);
    if (type_of(&o) != TYPE_OBJECT && type_of(&o) != TYPE_FUNCTION) fail(owner_at);
    truncate(into, i);
    return owner_context(o, type_of(&o), at);
  }

  // Boot data: the context is that of a value of the destination block.
  uint32_t boot_context(uint32_t index, const uint8_t* at) {
    if (uint64_t(base) + index >= cells_in(destination)) fail(at);
    return owner_context(*slot(destination, base + index), 0, at);
  }

  // A word definition (boot data): the word, then the value it is set to;
  // neither stays in the block.
  [[gnu::noinline]] void definition(uint32_t& into, uint32_t type, bool x, bool shared, uint32_t h, const uint8_t* at) {
    uint32_t i = cells_in(into);
    payload(into, type, x, shared, false, false, h & ~CLASSIC_DEFINE, at);
    record_one(into);
    cell w = *slot(into, i), v = *slot(into, i + 1);
    collector::root_cells keep_w(&w), keep_v(&v);
    truncate(into, i);
    context::set_in(&w, &v, w.w1, false);
  }

  // --- Series -------------------------------------------------------------------------

  uint32_t head_index(bool x) { return compact ? (x ? num() : 0) : num(); }

  void block(uint32_t& into, uint32_t type, bool x, bool shared, bool nl, const uint8_t* at) {
    uint32_t head = head_index(x);
    uint32_t flag = line_flag(nl);
    if (shared) {
      cell r = resolve(at);
      uint32_t t = type_of(&r);
      if (!block_like_q(t) || (type == TYPE_HASH && t != TYPE_HASH)) fail(at);
      if (head > cells_in(r.w2)) fail(at);
      append(into, cell{type | flag, head, r.w2, type == TYPE_HASH ? r.w3 : 0});
      return;
    }
    uint32_t n = count();
    if (head > n) fail(at);
    uint32_t node = memory::alloc_cells(std::max(n, 1u));
    collector::root_node keep(node);
    uint32_t i = append(into, cell{(type == TYPE_HASH ? TYPE_BLOCK : type) | flag, head, node, 0});
    for (uint32_t k = 0; k < n; ++k) record(node);
    if (type == TYPE_HASH) {
      cell h = *slot(into, i);
      collector::root_cells keep_h(&h);
      hash_::index_block(&h);
      *slot(into, i) = h;
    }
  }

  [[gnu::noinline]] void map(uint32_t& into, bool shared, bool nl, const uint8_t* at) {
    uint32_t flag = line_flag(nl);
    if (shared) {
      cell r = resolve(at);
      if (type_of(&r) != TYPE_MAP) fail(at);
      append(into, cell{TYPE_MAP | flag, 0, r.w2, r.w3});
      return;
    }
    uint32_t n = count();
    if (n % 2) fail(at);
    uint32_t node = memory::alloc_cells(std::max(n, 1u));
    collector::root_node keep(node);
    // A block stands in while the entries are decoded; the map is made over it.
    uint32_t i = append(into, cell{TYPE_BLOCK, 0, node, 0});
    for (uint32_t k = 0; k < n; ++k) record_one(node);
    for (uint32_t k = 0; k < n; k += 2)
      if (!map::valid_key_q(type_of(slot(node, k)))) fail(at);
    cell entries = *slot(into, i), m{TYPE_NONE, 0, 0, 0};
    collector::root_cells keep_entries(&entries), keep_m(&m);
    map::make_at(&m, &entries, 0);
    m.header |= flag;
    *slot(into, i) = m;
  }

  // The string family, binary! and vector!.
  [[gnu::noinline]] void text(uint32_t& into, uint32_t type, bool x, bool shared, bool nl, uint32_t h, const uint8_t* at) {
    uint32_t head = head_index(x);
    uint32_t flag = line_flag(nl);
    bool any_string = series::string_family_q(type);
    if (shared) {
      cell r = resolve(at);
      uint32_t t = type_of(&r);
      bool fits = any_string ? series::string_family_q(t) : t == type;
      if (!fits) fail(at);
      series_buffer* b = memory::buffer_of(r.w2);
      if (head > (b->used() >> series::shift_of(b))) fail(at);
      append(into, cell{type | flag, head, r.w2, type == TYPE_VECTOR ? r.w3 : 0});
      return;
    }
    uint32_t shift = 0, length, element = 0;
    const uint8_t* length_at = p;
    if (type == TYPE_VECTOR) {
      if (compact) {
        uint8_t kind = u8();
        shift = kind & 3;
        element = kind >> 2;
        length_at = p;
        length = varint();
      } else {
        length = u32();
        element = u32();
        uint32_t unit = (h >> 8) & 0xFF;
        if (unit != 1 && unit != 2 && unit != 4 && unit != 8) fail(at);
        shift = uint32_t(__builtin_ctz(unit));
      }
      if (!vector_kind_q(element, 1u << shift)) fail(at);
    } else if (any_string) {
      if (compact) {
        uint32_t v = varint();
        shift = v & 3;
        length = v >> 2;
      } else {
        shift = (h >> 8) & 0xFF;
        length = u32();
      }
      if (shift > 2) fail(at);
    } else {
      length = num();
    }
    uint64_t size = uint64_t(length) << shift;
    if (size > left() || size > 0x7FFFFFF0u) fail(length_at);
    if (head > length) fail(at);
    const uint8_t* bytes = take(size);
    // Code points are checked wherever they are stored 4 bytes wide.
    if (shift == 2 && (any_string || element == TYPE_CHAR))
      for (uint32_t k = 0; k < length; ++k) {
        uint32_t cp;
        std::memcpy(&cp, bytes + 4 * size_t(k), 4);
        if (cp > 0x10FFFF) fail(bytes + 4 * size_t(k));
      }
    uint32_t node = memory::alloc_series(std::max(length, 1u), 1u << shift, 0);
    series_buffer* b = memory::buffer_of(node);
    std::memcpy(b->head_ptr(), bytes, size);
    b->tail = b->head + uint32_t(size);
    collector::root_node keep(node);
    append(into, cell{type | flag, head, node, element});
  }

  static bool vector_kind_q(uint32_t element, uint32_t unit) {
    switch (element) {
      case TYPE_INTEGER:
      case TYPE_CHAR:
        return unit == 1 || unit == 2 || unit == 4;
      case TYPE_FLOAT:
        return unit == 4 || unit == 8;
      case TYPE_PERCENT:
        return unit == 8;
      default:
        return false;
    }
  }

  [[gnu::noinline]] void image_record(uint32_t& into, bool x, bool shared, bool nl, const uint8_t* at) {
    uint32_t head = head_index(x);
    uint32_t flag = line_flag(nl);
    if (shared) {
      cell r = resolve(at);
      if (type_of(&r) != TYPE_IMAGE || head > image::pixel_count(&r)) fail(at);
      append(into, cell{TYPE_IMAGE | flag, head, r.w2, r.w3});
      return;
    }
    const uint8_t* size_at = p;
    uint32_t width, height;
    if (compact) {
      width = varint();
      const uint8_t* height_at = p;
      height = varint();
      if (width > 0xFFFF) fail(size_at);
      if (height > 0xFFFF) fail(height_at);
    } else {
      uint32_t size = u32();
      width = image_os::width_q(size);
      height = image_os::height_q(size);
    }
    uint64_t pixels = uint64_t(width) * height;
    if (pixels * 4 > left() || pixels > image::MAX_PIXELS) fail(size_at);
    if (head > pixels) fail(at);
    // The input is outside the heap: making the record cannot move it.
    uint32_t node = image_os::from_memory(width, height, 0, take(size_t(pixels) * 4));
    collector::root_node keep(node);
    append(into, cell{TYPE_IMAGE | flag, head, node, image_os::pack_size(width, height)});
  }

  [[gnu::noinline]] void bitset(uint32_t& into, bool x, bool shared, bool nl, uint32_t h, const uint8_t* at) {
    bool complemented = compact ? x : (h & CLASSIC_BITSET_NOT) != 0;
    uint32_t header = TYPE_BITSET | (complemented ? uint32_t(FLAG_BITSET_NOT) : 0u) | line_flag(nl);
    if (shared) {
      cell r = resolve(at);
      if (type_of(&r) != TYPE_BITSET) fail(at);
      append(into, cell{header, 0, r.w2, 0});
      return;
    }
    const uint8_t* length_at = p;
    uint32_t n = num();
    if (n > left() || n > 0x7FFFFFF0u) fail(length_at);
    const uint8_t* bytes = take(n);
    uint32_t node = memory::alloc_bytes(n);
    series_buffer* b = memory::buffer_of(node);
    std::memcpy(b->head_ptr(), bytes, n);
    b->tail = b->head + n;
    collector::root_node keep(node);
    append(into, cell{header, 0, node, 0});
  }

  // --- Contexts, objects and functions ---------------------------------------------

  struct context_header {
    uint32_t kind;
    bool stack, self, values;
  };

  // A context record's header (the record's own start included) and words:
  // answers the new context, its values still to come.
  uint32_t context_words(context_header& ch, uint32_t h, bool header_read) {
    const uint8_t* at = p;
    if (!header_read) {
      if (compact) {
        if (u8() != TYPE_CONTEXT) fail(at);
      } else {
        h = u32();
        if ((h & 0xFF) != TYPE_CONTEXT || (h & (CLASSIC_REF | CLASSIC_DEFINE))) fail(at);
      }
    }
    if (compact) {
      uint8_t flags = u8();
      if (flags & ~0x1Fu) fail(at);
      ch = {uint32_t(flags & CTX_KIND), (flags & CTX_STACK) != 0, (flags & CTX_SELF) != 0, (flags & CTX_VALUES) != 0};
    } else {
      ch = {(h >> CLASSIC_CTX_KIND_SHIFT) & 3, (h & CLASSIC_CTX_STACK) != 0, (h & CLASSIC_CTX_SELF) != 0,
            (h & CLASSIC_CTX_VALUES) != 0};
    }
    if (ch.stack && ch.values) fail(at);
    uint32_t n = count();
    std::vector<uint32_t> symbols(n);
    for (uint32_t& s : symbols) s = symbol();
    uint32_t ctx = context::create(n, ch.stack, ch.self, 0, ch.kind);
    collector::root_node keep(ctx);
    for (uint32_t s : symbols) {
      int32_t added;
      if (context::find_word_any(ctx, s, true, added) >= 0) fail(at);  // the same word twice
    }
    return ctx;
  }

  // The values of a context, one record each, into its values series.
  void context_values(uint32_t ctx, const uint8_t* at) {
    collector::root_node keep(ctx);
    uint32_t values = context::cell_of(ctx)->w2;
    collector::root_node keep_values(values);
    uint32_t n = context::length_of(ctx);
    for (uint32_t k = 0; k < n; ++k) record_one(values);
    if (cells_in(values) != n) fail(at);
  }

  [[gnu::noinline]] void object(uint32_t& into, bool x, bool shared, bool nl, const uint8_t* at) {
    if (shared) {
      cell o = *context::owner_of(owner_context(resolve(at), TYPE_OBJECT, at));
      o.header = (o.header & ~FLAG_NEW_LINE) | line_flag(nl);
      append(into, o);
      return;
    }
    int32_t class_id = snum();
    const uint8_t* hooks_at = p;
    int32_t hooks[2] = {-1, -1};
    if (x || !compact) {
      hooks[0] = snum();
      hooks[1] = snum();
    }
    object_from_context(into, nl, 0, hooks_at, hooks[0], hooks[1], at, false, class_id);
  }

  // header_read: the context record's header was the record itself (a
  // stand-alone context).
  [[gnu::noinline]] void object_from_context(uint32_t& into, bool nl, uint32_t h, const uint8_t* hooks_at, int32_t on_change,
                           int32_t on_deep_change, const uint8_t* at, bool header_read = true,
                           int32_t class_id = -1) {
    context_header ch;
    uint32_t ctx = context_words(ch, h, header_read);
    collector::root_node keep(ctx);
    if (ch.stack || !ch.values) fail(at);
    // Objects are made as objects, whatever kind the record names.
    context::cell_of(ctx)->header = (context::cell_of(ctx)->header & ~FLAG_CONTEXT_KIND) |
                                    (context::KIND_OBJECT << CONTEXT_KIND_SHIFT);
    int32_t n = int32_t(context::length_of(ctx));
    if (on_change < -1 || on_change >= n || on_deep_change < -1 || on_deep_change >= n) fail(hooks_at);
    uint32_t id = run_time || class_id < 0 ? object::new_class_id() : uint32_t(class_id);
    cell o{TYPE_OBJECT, ctx, id, 0};
    *context::owner_of(ctx) = o;
    uint32_t i = append(into, o);
    context_values(ctx, at);
    cell made = *slot(into, i);
    collector::root_cells keep_made(&made);
    object::rebuild_hooks(&made);
    made.header |= line_flag(nl);
    *slot(into, i) = made;
  }

  [[gnu::noinline]] void function(uint32_t& into, bool shared, bool nl, const uint8_t* at) {
    if (shared) {
      cell f = *context::owner_of(owner_context(resolve(at), TYPE_FUNCTION, at));
      f.header = (f.header & ~FLAG_NEW_LINE) | line_flag(nl);
      append(into, f);
      return;
    }
    if (compact) {
      count();  // the spec's and the body's capacities: hints only
      count();
    }
    context_header ch;
    uint32_t ctx = context_words(ch, 0, false);
    collector::root_node keep(ctx);
    if (!ch.stack || ch.kind != context::KIND_FUNCTION) fail(at);
    // The spec, through a scratch block, before the function exists.
    uint32_t scratch = memory::alloc_cells(1);
    collector::root_node keep_scratch(scratch);
    const uint8_t* spec_at = p;
    uint32_t spec_index = record_one(scratch);  // may move `scratch`: read it after
    cell spec = *slot(scratch, spec_index);
    collector::root_cells keep_spec(&spec);
    if (type_of(&spec) != TYPE_BLOCK || !spec_matches_q(&spec, ctx)) fail(spec_at);
    uint32_t flags = function::validate(&spec);
    uint32_t extras = memory::alloc_cells(function::EXTRAS_CELLS);
    collector::root_node keep_extras(extras);
    cell f{TYPE_FUNCTION | flags, ctx, spec.w2, extras};
    *context::owner_of(ctx) = f;
    uint32_t i = append(into, f);
    // The body is decoded straight into the extras, where paths find it.
    const uint8_t* body_at = p;
    record_one(extras);
    if (type_of(slot(extras, function::EX_BODY)) != TYPE_BLOCK) fail(body_at);
    for (uint32_t k = 1; k < function::EXTRAS_CELLS; ++k) append(extras, cell{TYPE_UNSET, 0, 0, 0});
    if (nl) slot(into, i)->header |= FLAG_NEW_LINE;
  }

  // The context's words are those a function of this spec gets, in order.
  static bool spec_matches_q(const cell* spec, uint32_t ctx) {
    std::vector<uint32_t> expected;
    series_buffer* b = memory::buffer_of(spec->w2);
    for (cell *c = b->head_cell(), *end = b->tail_cell(); c < end; ++c) {
      uint32_t t = type_of(c);
      if (t != TYPE_WORD && t != TYPE_GET_WORD && t != TYPE_LIT_WORD && t != TYPE_REFINEMENT) continue;
      uint32_t s = symbol::resolve(c->w2);
      if (std::find(expected.begin(), expected.end(), s) == expected.end()) expected.push_back(s);
    }
    if (expected.size() != context::length_of(ctx)) return false;
    for (uint32_t k = 0; k < expected.size(); ++k)
      if (symbol::resolve(context::word_at(ctx, k)->w2) != expected[k]) return false;
    return true;
  }

  [[gnu::noinline]] void native(uint32_t& into, uint32_t type, bool nl, const uint8_t* at) {
    uint32_t index = num();
    // Natives: the built-in ones, and the extra slots that have an entry.
    bool known = type == TYPE_ACTION ? index >= 1 && index <= ACTION_COUNT
                                     : index >= 1 && index <= natives::TABLE_SLOTS &&
                                           (index <= natives::COUNT || natives::table[index - 1]);
    if (!known) fail(at);
    const uint8_t* spec_at = p;
    uint32_t i = record_one(into);
    cell spec = *slot(into, i);
    if (type_of(&spec) != TYPE_BLOCK) fail(spec_at);
    collector::root_cells keep_spec(&spec);
    cell made = *native::push(type, &spec, index);
    stack::pop(1);
    made.header |= line_flag(nl);
    *slot(into, i) = made;
  }

  [[gnu::noinline]] void op(uint32_t& into, bool nl, uint32_t h, const uint8_t* at) {
    uint32_t i = record_one(into);
    cell source = *slot(into, i);
    uint32_t t = type_of(&source);
    if (t != TYPE_NATIVE && t != TYPE_ACTION && t != TYPE_FUNCTION) fail(at);
    if (!compact && ((h >> 16) & 0xFF) != t) fail(at);
    collector::root_cells keep(&source);
    cell made{TYPE_NONE, 0, 0, 0};
    op::make(&made, &source, TYPE_OP);
    made.header |= line_flag(nl);
    *slot(into, i) = made;
  }

  [[gnu::noinline]] void error_value(uint32_t& into, bool nl, const uint8_t* at) {
    uint32_t code = num();
    int category = int(code / 100), id = int(code % 100);
    if (code >= 1000 || !err::id_name(category, id) || !error::ready_q()) fail(at);
    cell e = *error::create(category, id);
    stack::pop(1);
    collector::root_cells keep(&e);
    e.header |= line_flag(nl);
    append(into, e);
    // arg1 to stack are decoded in place; files keeps what create gave it.
    uint32_t values = context::cell_of(e.w1)->w2;
    collector::root_node keep_values(values);
    cell files = *slot(values, error::F_FILES);
    collector::root_cells keep_files(&files);
    truncate(values, error::F_ARG1);
    for (uint32_t k = 0; k < 6; ++k) record_one(values);
    append(values, files);
  }
};

[[noreturn]] void boot_fatal(const char* message) {
  std::fputs(message, stderr);
  std::fputc('\n', stderr);
  runtime::on_quit();
  std::exit(1);
}

[[noreturn]] void not_kezbin(bool run_time, const cell* input, const char* boot_message) {
  if (!run_time) boot_fatal(boot_message);
  cell none{TYPE_NONE, 0, 0, 0};
  error::fire(err::cat_script, err::script::invalid_data, input ? input : &none);
}

uint32_t decode_with(const uint8_t* data, size_t size, uint32_t destination, bool run_time, const cell* input) {
  if (size < HEADER_SIZE || std::memcmp(data, MAGIC, sizeof MAGIC) != 0)
    not_kezbin(run_time, input, "Error: Not a Kezbin file!");
  uint8_t flags = data[7];
  decoder d;
  d.origin = data;
  d.origin_offset = 0;
  d.compact = (flags & FLAG_COMPACT) != 0;
  d.run_time = run_time;
  d.has_symbols = (flags & FLAG_SYMBOLS) != 0;
  if (flags & ~(FLAG_COMPACT | FLAG_LZ | FLAG_SYMBOLS)) d.fail(data + 7);
  struct lz_output {
    uint8_t* bytes = nullptr;
    ~lz_output() {
      if (bytes) lz::free_output(bytes);
    }
  } unpacked;
  d.p = data + HEADER_SIZE;
  d.end = data + size;
  if (flags & FLAG_LZ) {
    uint32_t unpacked_size = 0;
    unpacked.bytes = lz::decompress(data + HEADER_SIZE, size - HEADER_SIZE, &unpacked_size);
    if (!unpacked.bytes) not_kezbin(run_time, input, "Error: Kezbin compressed data corrupted!");
    d.origin = d.p = unpacked.bytes;
    d.origin_offset = HEADER_SIZE;
    d.end = unpacked.bytes + unpacked_size;
  }

  d.num();  // the record count: not used
  const uint8_t* at = d.p;
  uint32_t length = d.num();
  if (length > d.left()) d.fail(at);
  if (d.has_symbols) {
    at = d.p;
    d.symbol_count = d.num();
    d.names_size = d.num();
    if (uint64_t(d.symbol_count) * 4 + d.names_size > d.left()) d.fail(at);
    d.offsets = d.p;
    d.names = d.p + size_t(d.symbol_count) * 4;
    d.p = d.names + d.names_size;
    if (d.names_size > 0 && d.names[d.names_size - 1] != 0) d.fail(d.p - 1);
    d.symbol_ids.assign(d.symbol_count, 0);
    d.global_indexes.assign(d.symbol_count, -1);
    if (length > d.left()) d.fail(at);
  }
  d.records = d.p;
  d.end = d.p + length;

  // Reference paths start from the destination: the decoder's own copy of
  // its node is the one kept up to date.
  d.destination = destination;
  collector::root_node keep(d.destination);
  d.base = cells_in(d.destination);
  while (d.p < d.end) d.record(d.destination);
  return d.base;
}

}  // namespace

uint32_t decode_buffer(const uint8_t* data, size_t size, uint32_t destination, bool run_time) {
  return decode_with(data, size, destination, run_time, nullptr);
}

void boot_load(const uint8_t* data, size_t size) {
  bool was_enabled = collector::enabled();
  collector::set_enabled(false);
  uint32_t first;
  try {
    first = decode_with(data, size, root::block(), false, nullptr);
  } catch (const thrown&) {
    const cell* offset = error::last_arg(1);
    char message[96];
    std::snprintf(message, sizeof message, "Error: Kezbin boot data invalid at index %d!",
                  offset && type_of(offset) == TYPE_INTEGER ? int32_t(offset->w2) : 0);
    boot_fatal(message);
  }
  collector::set_enabled(was_enabled);
  root::set_base(first);
}

cell* decode(const cell* payload) {
  cell input = *payload;
  collector::root_cells keep_input(&input);
  uint32_t t = type_of(&input);
  if (t == TYPE_FILE || t == TYPE_URL) {
    input = *actions::dispatch<ACT_READ>(&input, static_cast<const cell*>(nullptr),
                                         static_cast<const cell*>(nullptr), true, false, false,
                                         static_cast<const cell*>(nullptr));
    t = type_of(&input);
  }
  if (t != TYPE_BINARY) error::fire(err::cat_script, err::script::invalid_data, payload);
  series_buffer* b = memory::buffer_of(input.w2);
  int64_t head = std::clamp<int64_t>(int32_t(input.w1), 0, b->used());
  size_t size = b->used() - size_t(head);
  if (size <= 10) error::fire(err::cat_script, err::script::invalid_data, &input);
  // The decoder reads a copy: the binary's buffer may move while it allocates.
  std::vector<uint8_t> bytes(b->head_ptr() + head, b->head_ptr() + head + size);
  cell* result = stack::push_cell();
  *result = cell{TYPE_NONE, 0, 0, 0};
  block::make_at(result, 1);
  uint32_t target = result->w2;
  collector::root_node keep(target);
  decode_with(bytes.data(), bytes.size(), target, true, &input);
  result = stack::top - 1;
  if (cells_in(target) == 1) {
    *result = *slot(target, 0);
    clear_new_line(result);
  }
  return result;
}

}  // namespace kez::kezbin
