// Stand-ins for the parts of the system object that scalar datatypes read
// (month names, the currency list, money-digits, the accessor words) and for
// the services of other modules (words by name, loading a value from text,
// the change notice after a set-path writes into a scalar).
// Everything the scalar modules need from outside goes through here, so the
// library's real system object replaces it in one place.
//
// Invariants:
// - The currency list holds at most 255 upper-case three-letter codes, so a
//   1-based index always fits a money cell's currency byte.
// - Word names go through the symbol table and new words are bound in the
//   global context; the other hooks are null until their module installs
//   them, and callers treat a null hook as "the service is not there" and
//   raise their usual error.
#pragma once

#include <cstdint>
#include <initializer_list>

#include "runtime/cell.h"
#include "runtime/natives.h"

namespace kez::system_stub {

// system/locale/months: name of month 1-12, or null when the entry is
// missing (a test may blank one to reach invalid-months).
const char* month_name(int32_t month);
void set_month_name(int32_t month, const char* name);

// system/locale/currencies/list.
int32_t currency_count();
const char* currency_code(int32_t index);  // 1-based; null when out of range
// 1-based index of a code (ASCII case folded), -1 when absent.
int32_t currency_index(const char* name, int32_t length);
// Appends an upper-cased three-letter code; false when the list is full or
// the code is not three letters.
bool add_currency(const char* code);

// system/options/money-digits: an integer, or none (has_money_digits false).
bool has_money_digits();
int32_t money_digits();
void set_money_digits(bool present, int32_t digits);

// Restores every stand-in and hook to its start-up state.
void reset();

// From here on the fields above are read from the library's system object
// (system/locale/months, system/locale/currencies/list,
// system/options/money-digits); release_system goes back to the stand-ins.
void bind_system(const cell* system);
void release_system();
// The value cell at a path of field names from the system object, or null
// when there is none (valid until the next allocation).
cell* system_field(std::initializer_list<const char*> names);

// system/standard/url-parts and system/standard/port for port!, with
// port!'s services connected to the object layer and the interpreter; port!
// finds schemes in the system object's `schemes` block, which the library's
// register-scheme fills. Runs at start-up, after the interpreter and the
// natives; bodies is the block of the three objects' spec blocks
// (port_objects, the first one a stand-in scheme table until the system
// object is bound).
void init_ports(const cell* bodies);
// The spec blocks of the schemes object, url-parts and the port prototype,
// as Kez source for the boot data.
extern const char port_objects[];
// Forgets the schemes object (heap resets in tests; port!'s own cells are
// cleared by port::set_system).
void release_ports();

// --- Services of other modules, replaceable (tests install their own) ------

// The name of a word-family cell (ASCII), or null when it is not one.
using word_name_fn = const char* (*)(const cell* word);
// Fills target with a word! of that name.
using make_word_fn = void (*)(cell* target, const char* name);
// Loads text as one value into out; false when it does not hold exactly one.
using load_value_fn = bool (*)(const cell* text, cell* out);
// The lexer's money scanner over a text cell; false on a scan failure.
using scan_money_fn = bool (*)(const cell* text, cell* out);
// The object layer's on-set handling: the object, the field word, the
// field's old and new values.
using object_set_fn = void (*)(const cell* object, const cell* field, const cell* old_value,
                               const cell* new_value);

struct services {
  word_name_fn word_name = nullptr;
  make_word_fn make_word = nullptr;
  load_value_fn load_value = nullptr;
  scan_money_fn scan_money = nullptr;
  object_set_fn object_set = nullptr;
};
extern services hooks;

// make/to of a scalar from text: true when `text` is an any-string! that
// loads as exactly one value of `type`, which goes to out.
bool load_as(const cell* text, uint32_t type, cell* out);

// The field index (1-based) that a path element names on a value of `type`:
// an integer! as it is, a word naming one of the type's accessor words, or
// 0 when it names none.
int32_t accessor_index(uint32_t type, const cell* element);
// The same for a word only (0 for anything but a word naming an accessor).
int32_t accessor_word_index(uint32_t type, const cell* element);
bool word_q(const cell* value);

// After a set-path changed a scalar in place: when it is the field `field`
// of an object, that object's on-set handling; when it sits at `index` of a
// series, the ownership check; nothing when it stands alone.
void scalar_changed(const cell* holder, const cell* field, int32_t index, const cell* old_value,
                    const cell* scalar);

}  // namespace kez::system_stub
