// The value cell: every language value is four 32-bit words. Word 0 is the
// header (type id in the low byte, flags above); words 1-3 are the payload,
// laid out by each datatype. References stored in payload words are 32-bit
// offsets into the heap arena (0 = null), never machine pointers.
#pragma once

#include <cstdint>
#include <cstring>

namespace kez {

struct cell {
  uint32_t header;
  uint32_t w1, w2, w3;
};
static_assert(sizeof(cell) == 16, "a cell is exactly 16 bytes");

// Fixed type ids: binary data and library code depend on these numbers.
enum type_id : uint32_t {
  TYPE_DATATYPE = 1, TYPE_UNSET = 2, TYPE_NONE = 3, TYPE_LOGIC = 4,
  TYPE_BLOCK = 5, TYPE_PAREN = 6, TYPE_STRING = 7, TYPE_FILE = 8,
  TYPE_URL = 9, TYPE_CHAR = 10, TYPE_INTEGER = 11, TYPE_FLOAT = 12,
  TYPE_SYMBOL = 13, TYPE_CONTEXT = 14, TYPE_WORD = 15, TYPE_SET_WORD = 16,
  TYPE_LIT_WORD = 17, TYPE_GET_WORD = 18, TYPE_REFINEMENT = 19, TYPE_ISSUE = 20,
  TYPE_NATIVE = 21, TYPE_ACTION = 22, TYPE_OP = 23, TYPE_FUNCTION = 24,
  TYPE_PATH = 25, TYPE_LIT_PATH = 26, TYPE_SET_PATH = 27, TYPE_GET_PATH = 28,
  TYPE_ROUTINE = 29, TYPE_BITSET = 30, TYPE_TRIPLE = 31, TYPE_OBJECT = 32,
  TYPE_TYPESET = 33, TYPE_ERROR = 34, TYPE_VECTOR = 35, TYPE_HASH = 36,
  TYPE_PAIR = 37, TYPE_PERCENT = 38, TYPE_TUPLE = 39, TYPE_MAP = 40,
  TYPE_BINARY = 41, TYPE_SERIES = 42, TYPE_TIME = 43, TYPE_TAG = 44,
  TYPE_EMAIL = 45, TYPE_HANDLE = 46, TYPE_DATE = 47, TYPE_PORT = 48,
  TYPE_MONEY = 49, TYPE_REF = 50, TYPE_POINT2D = 51, TYPE_POINT3D = 52,
  TYPE_IMAGE = 53, TYPE_EVENT = 54,
};
constexpr uint32_t TYPE_LAST = TYPE_EVENT;
constexpr uint32_t TYPE_TABLE_ROWS = 57;  // ids 0..56

// Header flags, each meaningful only on the types named.
enum header_flag : uint32_t {
  FLAG_TYPE_MASK = 0xFF,
  FLAG_EVENT_BUILT = 0x100,                            // event!: made by `make`, word 2 its block
  FLAG_FUNCTION_1 = 0x200, FLAG_FUNCTION_2 = 0x400,  // function!
  FLAG_CONTEXT_KIND = 0x1800,                          // context!: kind 0..3
  FLAG_WORD_CHANGED = 0x2000,                          // word cells in a context's word list
  FLAG_ROUTINE = 0x8000,                               // routine!
  FLAG_OWNER = 0x10000,                                // context! of an object that owns series
  FLAG_BITSET_NOT = 0x80000,                           // bitset!: complemented
  FLAG_STACK_VALUES = 0x400000,                        // context!: values live on the data stack
  FLAG_SELF = 0x1000000,                               // context!: has a self word
  FLAG_ARGS_MASK = 0x3E000000,                         // function!, routine!: argument count, bits 25-29
  FLAG_NEW_LINE = 0x40000000,                          // any cell in a block: mold a line break before it
};
constexpr int CONTEXT_KIND_SHIFT = 11;
constexpr int ARGS_SHIFT = 25;

inline uint32_t type_of(const cell* c) { return c->header & FLAG_TYPE_MASK; }

// Copies a cell that was just made or changed word by word: while those
// 4-byte stores are still in the store buffer, one 16-byte load cannot take
// its data from them and waits for them to retire. Four 4-byte loads can;
// the copy is then one 16-byte store, which a later whole-cell load takes
// at once. `to` may be `from`.
inline void copy_fresh(cell* to, const cell* from) {
  auto* f = reinterpret_cast<const volatile uint32_t*>(from);
  uint32_t h = f[0], a = f[1], b = f[2], c = f[3];
  *to = cell{h, a, b, c};
}

// Doubles sit in payload words 2-3 of a cell or in 4-byte aligned buffers:
// always go through memcpy.
inline double load_double(const void* p) { double d; std::memcpy(&d, p, sizeof d); return d; }
inline void store_double(void* p, double d) { std::memcpy(p, &d, sizeof d); }

}  // namespace kez
