// binary!: the byte series (type id 41, a child of string!).
//
// Cell: word 1 the head index in bytes, word 2 the node of a unit-1 series;
// word 3 unused. Every operation first clamps a head index past the tail to
// the tail (and a negative one to 0).
//
// Invariants:
// - Any routine here that allocates may move buffers: binary cells passed in
//   must be where the collector sees them (data stack or rooted). Pointers
//   answered by the raw accessors are valid until the next allocation.
// - A value's bytes are gathered before the target buffer grows, so a value
//   that shares the target's buffer is read from where it was.
// - The text decoders never fail loudly: invalid text answers null and the
//   caller decides (debase answers none).
#pragma once

#include <cstdint>

#include "runtime/cell.h"

namespace kez::binary {

// Constructors. make_at fills target with an empty binary of at least
// `capacity` bytes; load_at fills it with a new binary holding a copy of n
// bytes (which may lie in the heap); load pushes such a binary, load_in
// appends it to a block (or pushes it when block is null), make_in appends
// an empty one. Each answers the new cell.
cell* make_at(cell* target, uint32_t capacity);
cell* load_at(cell* target, const uint8_t* bytes, uint32_t n);
cell* load(const uint8_t* bytes, uint32_t n);
cell* load_in(const uint8_t* bytes, uint32_t n, cell* block);
cell* make_in(cell* block, uint32_t capacity);
cell* push(const cell* value);  // a copy of the cell on the data stack

// `to binary!` of a type whose module lands later (issue!, bitset!,
// image!): its converter fills proto; unregistered types raise bad-to-arg.
void set_to_converter(uint32_t type, cell* (*fn)(cell* proto, const cell* spec));

// Raw access, from the head.
int32_t ks_length_q(const cell* bin);  // bytes from head to tail
uint8_t* ks_head(cell* bin);           // clamps the head first
uint8_t* ks_tail(const cell* bin);
bool ks_tail_q(const cell* bin);
bool ks_skip(cell* bin, int32_t n);    // clamped move; answers tail?
inline bool ks_next(cell* bin) { return ks_skip(bin, 1); }
void ks_truncate(cell* bin);           // tail := head
uint8_t ks_abs_byte_at(const cell* bin, uint32_t index);  // from the buffer's start
void ks_append(cell* bin, const uint8_t* bytes, uint32_t n);
// Inserts at an offset from the buffer's first byte (at most the length).
void ks_insert(cell* bin, uint32_t offset, const uint8_t* bytes, uint32_t n);
// Overwrites at an offset from the head, moving the tail out when the
// write ends past it.
void ks_write(cell* bin, uint32_t offset, const uint8_t* bytes, uint32_t n);
void ks_append_int(cell* bin, uint32_t value);  // 4 bytes, most significant first

// The byte that poke and change store for one value: an integer! from -128
// to 255 (its low 8 bits, so -1 is FF) or a char! below 256 (its code
// point). Anything else raises Script Error invalid-arg with the value.
uint8_t byte_from_value(const cell* value);

// Byte comparison with a binary! or any-string! (raw units from its head).
// With prefix, the binary only has to start with other's bytes.
int32_t compare_bytes(const cell* bin, const cell* other, int32_t op, bool prefix);
// PARSE's matching tests at the head.
bool match_value_q(const cell* bin, const cell* value, int32_t op);
bool match_bitset_q(const cell* bin, const cell* bitset);

// Text codecs. Encoders write ASCII characters and answer the address past
// the last one; room needed: 8n (base 2), 2n (16 and 58), 4 * ceil(n / 3)
// (64). Decoders read `count` code points of `unit` bytes each (1, 2 or 4)
// and fill target with a new binary, or answer null for invalid text.
uint8_t* encode_2(uint8_t* out, const uint8_t* bytes, uint32_t n);
uint8_t* encode_16(uint8_t* out, const uint8_t* bytes, uint32_t n);
uint8_t* encode_58(uint8_t* out, const uint8_t* bytes, uint32_t n);
uint8_t* encode_64(uint8_t* out, const uint8_t* bytes, uint32_t n);
cell* decode_2(const uint8_t* text, uint32_t count, uint32_t unit, cell* target);
cell* decode_16(const uint8_t* text, uint32_t count, uint32_t unit, cell* target);
cell* decode_58(const uint8_t* text, uint32_t count, uint32_t unit, cell* target);
cell* decode_64(const uint8_t* text, uint32_t count, uint32_t unit, cell* target);

// Actions (registered by init, after string!).
void init();
cell* to(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
int32_t compare(const cell* value1, const cell* value2, int32_t op);
cell* and_t(cell* value1, const cell* value2);
cell* or_t(cell* value1, const cell* value2);
cell* xor_t(cell* value1, const cell* value2);
cell* complement(cell* value);
cell* insert(cell* series, const cell* value, int32_t part, bool only, int32_t dup, bool append);
cell* change(cell* series, const cell* value, int32_t part, bool only, int32_t dup);
cell* poke(cell* series, int32_t index, const cell* boxed_index, const cell* value, bool notify);
cell* trim(cell* series, bool head, bool tail, bool auto_, bool lines, bool all, const cell* with);

}  // namespace kez::binary
