// string!: text as a run of fixed-width units, one code point per unit.
//
// Cell: header type id 7 (or another any-string! type); word 1 the head
// index in characters (signed; may lie past the tail after a removal through
// another value); word 2 the series node; word 3 the node of the export
// scratch (0 until an export needs it).
//
// Invariants:
// - The buffer's unit is 1 (code points 0-255), 2 (0-0xFFFF) or 4; any other
//   unit ends the process with runtime error 101. Characters sit from the
//   buffer's head, little-endian at that width.
// - A unit only widens. Appending widens a unit-1 buffer at the first code
//   point above 127; inserting, poking and loading keep unit 1 up to 255.
// - Any routine that allocates may move buffers: the string cells passed in
//   must be where the collector sees them (data stack or rooted), and the
//   routines that take a buffer answer the buffer to use afterwards.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/actions.h"
#include "runtime/cell.h"
#include "runtime/memory.h"

namespace kez::string {

// Constructors. make_at fills `target` with an empty unit-1 string of at
// least `size` bytes (0 taken as 1); make_at_unit with room for `chars`.
cell* make_at(cell* target, uint32_t size);
cell* make_at_unit(cell* target, uint32_t chars, uint32_t unit);
cell* push(const cell* value);  // a copy on the data stack

inline series_buffer* buffer_of(const cell* s) { return memory::buffer_of(s->w2); }
// 1, 2 or 4, else runtime error 101; inline, as every text view asks it.
[[noreturn]] void bad_unit();
inline uint32_t unit_of(const series_buffer* b) {
  uint32_t u = b->unit();
  if (u != 1 && u != 2 && u != 4) [[unlikely]] bad_unit();
  return u;
}

inline bool any_string_q(uint32_t type) {
  return type == TYPE_STRING || type == TYPE_FILE || type == TYPE_URL || type == TYPE_TAG ||
         type == TYPE_EMAIL || type == TYPE_REF;
}
// The head index clamped to 0 .. the text's length (the cell is not changed).
uint32_t head_index(const cell* s);

// Raw accessors.
uint8_t* ks_head(cell* s);           // clamps a head past the tail first
uint8_t* ks_tail(const cell* s);
bool ks_tail_q(const cell* s);
int32_t ks_length_q(const cell* s);  // characters from head to tail, never below 0
int32_t ks_abs_length_q(const cell* s);
bool ks_skip(cell* s, int32_t n);    // clamped move; answers tail?
inline bool ks_next(cell* s) { return ks_skip(s, 1); }
int32_t ks_abs_at(const cell* s, int32_t index);
void ks_reset(cell* s);              // empty, unit 1, head 0
int32_t ks_find_char(const cell* s, int32_t cp);  // offset from head, -1 when absent
int32_t get_char(const uint8_t* p, uint32_t unit);
void truncate(series_buffer* b, int32_t n);
bool has_char_q(const cell* s, int32_t cp, int32_t record, bool strict);
bool starts_with_cstr_q(const cell* s, const char* text);

// Character primitives: each answers the buffer to use afterwards.
series_buffer* widen_to(series_buffer* b, uint32_t unit);
series_buffer* append_char(series_buffer* b, int32_t cp);
series_buffer* insert_char_at(series_buffer* b, uint32_t index, int32_t cp);
// Writes cp at absolute index, growing the buffer in one step to cover it;
// a gap between the old tail and the index is filled with code point 0.
series_buffer* put_char_at(series_buffer* b, uint32_t index, int32_t cp);
void remove_char(cell* s, uint32_t index);
void remove_part(cell* s, uint32_t index, uint32_t n);
void concatenate_literal(cell* s, const char* latin1);
void concatenate_bytes(cell* s, const uint8_t* bytes, size_t n);

// Whole-text copy of src (from its head, at most `limit` characters when
// limit >= 0) into dst: mode 0 appends at the tail, 1 inserts at dst's head +
// offset, 2 overwrites there. With keep, a narrower src is copied character
// by character and left as it is; without, it is widened in place first.
enum concat_mode : int { CONCAT_APPEND = 0, CONCAT_INSERT = 1, CONCAT_OVERWRITE = 2 };
void concatenate(cell* dst, cell* src, int32_t limit, int32_t offset, bool keep, int mode);

// Moves `count` characters from src's head to dst's head (texts in different
// buffers), converting units as the insert rules say.
void move_chars(cell* src, uint32_t count, cell* dst);

// Borders with UTF-8 and UTF-16 (thin wrappers over runtime/utf.h).
// load_utf8: into a new unit-1 buffer (target 0) or the target's buffer
// (after its text, its unit kept); answers the node. remainder, when given,
// receives the bytes left undecoded because they end inside a sequence.
uint32_t load_utf8(const uint8_t* bytes, size_t n, uint32_t target, size_t* remainder, bool crlf);
void load_utf8_into(const uint8_t* bytes, size_t n, cell* s, size_t* remainder);
uint32_t make_from_utf8(const uint8_t* bytes, size_t n);
// Fills target (or a new data-stack cell when null) with the text decoded
// from UTF-8 (encoding 0) or UTF-16LE (encoding -1); any other encoding
// raises Script Error invalid-arg.
cell* load_in(const uint8_t* bytes, size_t size, cell* target, int encoding);
inline cell* load(const uint8_t* bytes, size_t size, cell* target) { return load_in(bytes, size, target, 0); }
// The same into a new cell at the tail of a block value.
cell* load_in_block(cell* block, const uint8_t* bytes, size_t size, int encoding);
// Replaces s's text with count UTF-16LE units (or the units in its export
// scratch when units is null). A lone surrogate raises, or with `lenient`
// becomes U+FFFD (text read back from a widget, which may hold half a pair).
uint32_t load_utf16(const uint16_t* units, size_t count, cell* s, bool crlf, bool lenient = false);

// Exports into s's scratch (valid until the next allocation). length: in, the
// most characters to take (-1 for all); out, bytes (or UTF-16 units) written
// without the terminator.
const uint8_t* utf8_bytes(cell* s, int32_t& length, bool crlf = false);
const uint16_t* to_utf16_part(cell* s, int32_t& length, bool crlf);  // null when a code point is above 0x10FFFF
const uint16_t* to_cstr(cell* s);
uint8_t* utf8_scratch(cell* s, uint32_t n);

// --- Comparison, search and sort ---------------------------------------------
// Ops 2 (strict-equal) and 8 (case-sensitive sort) compare code points
// exactly; every other op folds both sides to lower case first.

// Compares two texts from their heads: -1, 0 or 1 (0 = equal). In prefix
// mode 0 means s2 matches at s1's head. Word comparison passes names.
int32_t equal_q(const cell* s1, const cell* s2, int32_t op, bool prefix);

// Set operations over the characters of two texts, taken in records of
// `skip` characters (a record is known by its first character). Each kept
// record appears once; the result replaces a's cell (head 0, a's type).
// b is ignored by unique.
enum set_op : int { SET_UNIQUE = 8, SET_UNION = 9, SET_INTERSECT = 10, SET_EXCLUDE = 11, SET_DIFFERENCE = 12 };
cell* do_set_op(cell* a, const cell* b, bool case_, const cell* skip, int op);

// The parse dialect's tests at a text's head.
bool match_value_q(const cell* s, const cell* value, int32_t op);
bool match_bitset_q(const cell* s, const cell* bitset);
bool match_tag_q(const cell* s, const cell* tag);

// A bit set's answer for a code point: its bit, or, beyond the stored bits,
// whether the set is complemented.
bool bitset_has_q(const cell* bitset, int32_t cp);

// --- Mold and the small text writers -------------------------------------------

// Appends one code point as it appears inside a molded text: carets for the
// controls, the quote and the caret, "^(hex)" for 30, 128-159 and, with all,
// anything above 127.
void append_escaped_char(cell* buffer, int32_t cp, bool all);
// Counts double quotes and line feeds in a unit run.
void count_quotes(const uint8_t* start, const uint8_t* end, uint32_t unit, int32_t& quotes,
                  int32_t& line_feeds);
// True when the "{" at p has its matching "}" before end.
bool brace_closes_q(const uint8_t* p, const uint8_t* end, uint32_t unit);
// Upper-case hexadecimal in a static buffer, overwritten by the next call:
// 8 digits ("F" filled for negatives), or with trim only the significant ones
// ("00" for 0, "" for -1).
const char* to_hex(int32_t value, bool trim);
const char* byte_to_hex(uint8_t byte);
// A float read from `length` bytes of text (already checked by the caller).
double to_float(const char* text, int32_t length);

// Actions of string! (registered by init as a child of series!).
void init();
cell* make(cell* proto, const cell* spec, uint32_t type);
cell* to(cell* proto, const cell* spec, uint32_t type);
int32_t form(const cell* value, cell* buffer, const cell* arg, int32_t part);
cell* append(cell* series, const cell* value, int32_t part, bool only, int32_t dup, bool append);
cell* insert(cell* series, const cell* value, int32_t part, bool only, int32_t dup, bool append);
cell* change(cell* series, const cell* value, int32_t part, bool only, int32_t dup);
cell* swap(cell* series1, cell* series2);
cell* take(cell* series, const cell* part, bool deep, bool last);  // over series!'s take
cell* trim(cell* series, bool head, bool tail, bool auto_, bool lines, bool all, const cell* with);
int32_t compare(const cell* value1, const cell* value2, int32_t op);
cell* find(cell* series, const cell* value, const find_options& options);
cell* select(cell* series, const cell* value, const find_options& options);
cell* sort(cell* series, bool case_, const cell* skip, const cell* comparator, const cell* part,
           bool all, bool reverse, bool stable);
// Calls a user /compare function of sort on two char! values (two strings of
// one record each under /all with /skip) and answers -1, 0 or 1; size is 1.
// Set by the interpreter; until then a /compare function raises Internal
// Error not-done.
using compare_call_fn = int32_t (*)(const cell* function, const cell* a, const cell* b, int32_t size);
void set_compare_call(compare_call_fn fn);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
// Path access: an integer! picks or pokes a character; a word! raises
// invalid-path; any other element reads the character after its first match
// (select) or, when setting, writes the value there (bad-path-set when there
// is no match). A value read is answered in a new data-stack cell; the
// parent is never changed, and setting answers the value.
cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path,
                const cell* grand_parent, const cell* previous, int32_t index, bool case_, bool get,
                bool tail, bool notify);

}  // namespace kez::string
