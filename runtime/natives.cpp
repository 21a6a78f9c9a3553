#include "runtime/natives.h"

#include <cstring>

#include "runtime/collector.h"
#include "runtime/datatypes/block.h"
#include "runtime/datatypes/context.h"
#include "runtime/datatypes/error.h"
#include "runtime/datatypes/function.h"
#include "runtime/datatypes/native.h"
#include "runtime/datatypes/symbol.h"
#include "runtime/datatypes/word.h"
#include "console/console.h"
#include "gui/backend/routines.h"
#include "runtime/lexer.h"
#include "library/library.h"
#include "runtime/datatypes/image.h"
#include "runtime/stack.h"
#include "runtime/system_stub.h"

namespace kez::natives {

entry table[TABLE_SLOTS];

uint32_t not_done(int32_t, const int32_t*) { error::fire(err::cat_internal, err::internal::not_done); }

void init() {
  for (entry& e : table) e = nullptr;
  for (routine_entry& r : routines) r = nullptr;
  entry slots[COUNT];
  for (entry& e : slots) e = not_done;
  register_control(slots);
  register_compare(slots);
  register_functions(slots);
  register_math(slots);
  register_words(slots);
  register_series(slots);
  register_system(slots);
  register_parse(slots);
  // Registration counter: the k-th entry lands in slot k.
  for (uint32_t i = 0; i < COUNT; ++i) table[i] = slots[i];
  uint32_t slot = COUNT;
  for (const extra& e : extras()) table[slot++] = e.fn;
}

void limit_hit() { error::fire(err::cat_internal, err::internal::limit_hit); }

const extra_list& extras() {
  static const extra_list list = [] {
    extra_list l;
    image::register_extras(l);
    return l;
  }();
  return list;
}

routine_entry routines[ROUTINE_SLOTS];

const routine_list& routine_defs() {
  static const routine_list list = [] {
    routine_list l;
    register_system_routines(l);
    library::register_routines(l);
    gui::register_routines(l);
    console_engine::register_routines(l);
    return l;
  }();
  return list;
}

void define_routines(const cell* specs) {
  cell pairs = *specs;
  collector::root_cells keep(&pairs);
  uint32_t slot = 0;
  for (const routine_def& r : routine_defs()) {
    int32_t at = int32_t(slot) * 2;
    if (at + 1 >= block::ks_length_q(&pairs)) error::fire(err::cat_internal, err::internal::limit_hit);
    cell name = block::ks_head(&pairs)[at], spec = block::ks_head(&pairs)[at + 1];
    collector::root_cells keep_name(&name), keep_spec(&spec);
    routines[slot] = r.fn;
    cell* value = routine::push(&spec, nullptr, slot, -1, r.raw);
    cell* word = word::push_from_symbol(name.w2);
    context::set(word, value);
    stack::pop(2);
    ++slot;
  }
}

// Doc strings kept short; the types are the accepted ones.
const char* const native_specs = R"kez(
if: ["If conditional expression is true, evaluate block; else return NONE" cond [any-type!] then-blk [block!]]
unless: ["If conditional expression is not true, evaluate block; else return NONE" cond [any-type!] then-blk [block!]]
either: ["If conditional expression is true, eval true-block; else eval false-blk" cond [any-type!] true-blk [block!] false-blk [block!]]
any: ["Evaluates, returning at the first that is true" conds [block!]]
all: ["Evaluates, returning at the first that is not true" conds [block!]]
while: ["Evaluates body as long as condition block evaluates to truthy value" cond [block!] body [block!]]
until: ["Evaluates body until it is truthy" body [block!]]
loop: ["Evaluates body a number of times" count [integer! float!] body [block!]]
repeat: ["Evaluates body a number of times, tracking iteration count" 'word [word!] value [integer! float!] body [block!]]
forever: ["Evaluates body repeatedly forever" body [block!]]
foreach: ["Evaluates body for each value in a series" 'word [word! block!] series [series! map!] body [block!]]
forall: ["Evaluates body for all values in a series" 'word [word!] body [block!]]
remove-each: ["Removes values for each block that returns truthy value" 'word [word! block!] data [series!] body [block!]]
func: ["Defines a function with a given spec and body" spec [block!] body [block!]]
function: ["Defines a function, making all set-words found in body, local" spec [block!] body [block!] /extern "Exclude words that follow this refinement"]
does: ["Defines a function with no arguments or local variables" body [block!]]
has: ["Defines a function with local variables, but no arguments" vars [block!] body [block!]]
switch: ["Evaluates the first block following the value found in cases" value [any-type!] cases [block!] /default "Specify a default block, if value is not found in cases" case [block!]]
case: ["Evaluates the block following the first true condition" cases [block!] /all "Test all conditions, evaluating the block following each true condition"]
do: ["Evaluates a value, returning the last evaluation result" value [any-type!] /expand "Expand directives before evaluation" /args "If value is a script, this will set its system/script/args" arg "Args passed to a script (normally a string)" /next "Do next expression only, return it, update block word" position [word!] "Word updated with new block position" /trace callback [function!]]
get: ["Returns the value a word refers to" word [any-word! any-path! object!] /any "If word has no value, return UNSET rather than causing an error" /case "Use case-sensitive comparison (path only)" return: [any-type!]]
set: ["Sets the value(s) one or more words refer to" word [any-word! block! object! any-path!] "Word, object, map path or block of words to set" value [any-type!] "Value or block of values to assign to words" /any "Allow UNSET as a value rather than causing an error" /case "Use case-sensitive comparison (path only)" /only "Block or object value argument is set as a single value" /some "None values in a block or object value argument, are not set" return: [any-type!]]
print: ["Outputs a value followed by a newline" value [any-type!]]
prin: ["Outputs a value" value [any-type!]]
equal?: ["Returns TRUE if two values are equal" value1 [any-type!] value2 [any-type!]]
not-equal?: ["Returns TRUE if two values are not equal" value1 [any-type!] value2 [any-type!]]
strict-equal?: ["Returns TRUE if two values are equal, and also the same datatype" value1 [any-type!] value2 [any-type!]]
lesser?: ["Returns TRUE if the first value is less than the second" value1 [any-type!] value2 [any-type!]]
greater?: ["Returns TRUE if the first value is greater than the second" value1 [any-type!] value2 [any-type!]]
lesser-or-equal?: ["Returns TRUE if the first value is less than or equal to the second" value1 [any-type!] value2 [any-type!]]
greater-or-equal?: ["Returns TRUE if the first value is greater than or equal to the second" value1 [any-type!] value2 [any-type!]]
same?: ["Returns TRUE if two values have the same identity" value1 [any-type!] value2 [any-type!]]
not: ["Returns the boolean complement of a value" value [any-type!]]
type?: ["Returns the datatype of a value" value [any-type!] /word "Return a word value, rather than a datatype value"]
reduce: ["Returns a copy of a block, evaluating all expressions" value [any-type!] /into "Put results in out block, instead of creating a new block" out [any-block!] "Target block for results, when /into is used"]
compose: ["Returns a copy of a block, evaluating only parens" value [block!] /deep "Compose nested blocks" /only "Compose nested blocks as blocks containing their values" /into "Put results in out block, instead of creating a new block" out [any-block!] "Target block for results, when /into is used"]
stats: ["Returns interpreter statistics" /show "TBD:" /info "Output formatted results" return: [integer! block!]]
bind: ["Bind words to a context; returns rebound words" word [block! any-word!] context [any-word! any-object! function!] /copy "Deep copy blocks before binding" return: [block! any-word!]]
in: ["Returns the given word bound to the object's context" object [any-object! any-function!] word [any-word! refinement!]]
parse: ["Process a series using dialected grammar rules" input [binary! any-block! any-string!] rules [block!] /case "Uses case-sensitive comparison" /part "Limit to a length or position" length [number! series!] /trace callback [function!] return: [logic! block!]]
union: ["Returns the union of two data sets" set1 [block! hash! string! bitset! typeset!] set2 [block! hash! string! bitset! typeset!] /case "Use case-sensitive comparison" /skip "Treat the series as fixed size records" size [integer!] return: [block! hash! string! bitset! typeset!]]
intersect: ["Returns the intersection of two data sets" set1 [block! hash! string! bitset! typeset!] set2 [block! hash! string! bitset! typeset!] /case "Use case-sensitive comparison" /skip "Treat the series as fixed size records" size [integer!] return: [block! hash! string! bitset! typeset!]]
unique: ["Returns the data set with duplicates removed" set [block! hash! string!] /case "Use case-sensitive comparison" /skip "Treat the series as fixed size records" size [integer!] return: [block! hash! string!]]
difference: ["Returns the special difference of two data sets" set1 [block! hash! string! bitset! typeset! date!] set2 [block! hash! string! bitset! typeset! date!] /case "Use case-sensitive comparison" /skip "Treat the series as fixed size records" size [integer!] return: [block! hash! string! bitset! typeset! time!]]
exclude: ["Returns the first data set less the second data set" set1 [block! hash! string! bitset! typeset!] set2 [block! hash! string! bitset! typeset!] /case "Use case-sensitive comparison" /skip "Treat the series as fixed size records" size [integer!] return: [block! hash! string! bitset! typeset!]]
complement?: ["Returns TRUE if the bitset is complemented" bits [bitset!]]
dehex: ["Converts URL-style hex encoded (%xx) strings" value [any-string!] return: [string!]]
enhex: ["Encode URL-style hex encoded (%xx) strings" value [any-string!] return: [string!]]
negative?: ["Returns TRUE if the number is negative" number [number! money! time!] return: [logic!]]
positive?: ["Returns TRUE if the number is positive" number [number! money! time!] return: [logic!]]
max: ["Returns the greater of the two values" value1 [scalar! series!] value2 [scalar! series!]]
min: ["Returns the lesser of the two values" value1 [scalar! series!] value2 [scalar! series!]]
shift: ["Perform a bit shift operation. Right shift (decreasing) by default" data [integer!] bits [integer!] /left "Shift bits to the left (increasing)" /logical "Use logical shift (unsigned, fill with zero)" return: [integer!]]
to-hex: ["Converts numeric value to a hex issue! datatype (with leading # and 0's)" value [integer!] /size "Specify number of hex digits in result" length [integer!] return: [issue!]]
sine: ["Returns the trigonometric sine" angle [float! integer!] /radians "Angle is specified in radians" return: [float!]]
cosine: ["Returns the trigonometric cosine" angle [float! integer!] /radians "Angle is specified in radians" return: [float!]]
tangent: ["Returns the trigonometric tangent" angle [float! integer!] /radians "Angle is specified in radians" return: [float!]]
arcsine: ["Returns the trigonometric arcsine (in degrees by default)" sine [float! integer!] /radians "Angle is returned in radians" return: [float!]]
arccosine: ["Returns the trigonometric arccosine (in degrees by default)" cosine [float! integer!] /radians "Angle is returned in radians" return: [float!]]
arctangent: ["Returns the trigonometric arctangent (in degrees by default)" tangent [float! integer!] /radians "Angle is returned in radians" return: [float!]]
arctangent2: ["Returns the angle of the point y/x in the interval [-180,180] degrees by default" y [float! integer!] x [float! integer!] /radians "Angle is returned in radians" return: [float!]]
NaN?: ["Returns TRUE if the number is Not-a-Number" value [number!] return: [logic!]]
log-2: ["Return the base-2 logarithm" value [float! integer! percent!] return: [float!]]
log-10: ["Returns the base-10 logarithm" value [float! integer! percent!] return: [float!]]
log-e: ["Returns the natural (base-E) logarithm of the given value" value [float! integer! percent!] return: [float!]]
exp: ["Raises E (the base of natural logarithm) to the power specified" value [float! integer! percent!] return: [float!]]
square-root: ["Returns the square root of a number" value [float! integer! percent!] return: [float!]]
construct: ["Makes a new object from an unevaluated spec; standard logic words are evaluated" block [block!] /with "Use a prototype object" object [object!] "Prototype object" /only "Don't evaluate standard logic words"]
value?: ["Returns TRUE if the word has a value" value [word!] return: [logic!]]
try: ["Tries to DO a block and returns its value or an error" block [block!] /all "Catch also BREAK, CONTINUE, RETURN, EXIT and THROW exceptions" /keep "Capture and save the call stack in the error object"]
uppercase: ["Converts string of characters to uppercase" string [any-string! char!] /part "Limits to a given length or position" limit [number! any-string!] return: [any-string! char!]]
lowercase: ["Converts string of characters to lowercase" string [any-string! char!] /part "Limits to a given length or position" limit [number! any-string!] return: [any-string! char!]]
as-pair: ["Combine X and Y values into a pair" x [integer! float!] y [integer! float!]]
as-point2D: ["Combine X and Y values into a 2D point" x [integer! float!] y [integer! float!]]
as-point3D: ["Combine X, Y and Z values into a 3D point" x [integer! float!] y [integer! float!] z [integer! float!]]
as-money: ["Combine currency code and amount into a monetary value" currency [word!] amount [integer! float!] return: [money!]]
break: ["Breaks out of a loop, while, until, repeat, foreach, etc" /return "Forces the loop function to return a value" value [any-type!]]
continue: ["Throws control back to top of loop"]
exit: ["Exits a function, returning no value"]
return: ["Returns a value from a function" value [any-type!]]
throw: ["Throws control back to a previous catch" value [any-type!] "Value returned from catch" /name "Throws to a named catch" word [word!]]
catch: ["Catches a throw from a block and returns its value" block [block!] "Block to evaluate" /name "Catches a named throw" word [word! block!] "One or more names"]
extend: ["Extend an object or map value with list of key and value pairs" obj [object! map!] spec [block! hash! map!] /case "Use case-sensitive comparison"]
debase: ["Decodes binary-coded string (BASE-64 default) to binary value" value [string!] "The string to decode" /base "Binary base to use" base-value [integer!] "The base to convert from: 64, 58, 16, or 2"]
to-local-file: ["Converts a Kez file path to the local system file path" path [file! string!] /full "Prepends current dir for full path (for relative paths only)" return: [string!]]
wait: ["Waits for a duration in seconds or specified time" value [number! time! block! none!] /all "Returns all events in a block"]
checksum: ["Computes a checksum, CRC, hash, or HMAC" data [binary! string! file!] method [word!] "MD5 SHA1 SHA256 SHA384 SHA512 CRC32 TCP ADLER32 hash" /with "Extra value for HMAC key or hash table size; not compatible with TCP/CRC32/ADLER32 methods" spec [any-string! binary! integer!] return: [integer! binary!]]
unset: ["Unsets the value of a word in its current context" word [word! block!] "Word or block of words"]
new-line: ["Sets or clears the new-line marker within a list series" position [any-list!] "Position to change marker (modified)" value [logic!] "Set TRUE for newline" /all "Set/clear marker to end of series" /skip "Set/clear marker periodically to the end of the series" size [integer!] return: [any-list!]]
new-line?: ["Returns the state of the new-line marker within a list series" position [any-list!] "Position to change marker" return: [logic!]]
enbase: ["Encodes a string into a binary-coded string (BASE-64 default)" value [binary! string!] "If string, will be UTF8 encoded" /base "Binary base to use" base-value [integer!] "The base to convert from: 64, 58, 16, or 2"]
context?: ["Returns the context to which a word is bound" word [any-word!] "Word to check" return: [object! function! none!]]
set-env: ["Sets the value of an operating system environment variable (for current process)" var [any-string! any-word!] "Variable to set" value [string! none!] "Value to set, or NONE to unset it"]
get-env: ["Returns the value of an OS environment variable (for current process)" var [any-string! any-word!] "Variable to get" return: [string! none!]]
list-env: ["Returns a map of OS environment variables (for current process)" return: [map!]]
now: ["Returns date and time" /year "Returns year only" /month "Returns month only" /day "Returns day of the month only" /time "Returns time only" /zone "Returns time zone offset from UCT (GMT) only" /date "Returns date only" /weekday "Returns day of the week as integer (Monday is day 1)" /yearday "Returns day of the year (Julian)" /precise "High precision time" /utc "Universal time (no zone)" return: [date! time! integer!]]
sign?: ["Returns sign of N as 1, 0, or -1 (to use as a multiplier)" number [number! money! time!] return: [integer!]]
as: ["Coerce a series into a compatible datatype without copying it" type [datatype! block! paren! any-path! any-string!] "The datatype or example value" spec [block! paren! any-path! any-string!] "The series to coerce"]
call: ["Executes a shell command to run another process" cmd [string! file!] "A shell command or an executable file" /wait "Runs command and waits for exit" /show "Force the display of system's shell window" /console "Runs command with I/O redirected to console" /shell "Forces command to be run from shell" /input in [string! file! binary!] "Redirects in to stdin" /output out [string! file! binary!] "Redirects stdout to out" /error err [string! file! binary!] "Redirects stderr to err" return: [integer!] "0 if success, -1 if error, or a process ID"]
zero?: ["Returns TRUE if the value is zero" value [number! money! pair! time! char! tuple! any-point!] return: [logic!]]
size?: ["Returns the size of a file content" file [file!] return: [integer! none!]]
browse: ["Open web browser to a URL or file mananger to a local file" url [url! file!]]
compress: ["compresses data" data [any-string! binary!] method [word!] "zlib deflate gzip" return: [binary!]]
decompress: ["Decompresses data" data [binary!] method [word!] "zlib deflate gzip" /size "Specify an uncompressed data size (ignored for GZIP)" sz [integer!] "Uncompressed data size; must not be negative" return: [binary!]]
recycle: ["Recycles unused memory and returns memory amount still in use" /on "Turns on garbage collector" /off "Turns off garbage collector" return: [integer! unset!]]
transcode: ["Translates UTF-8 binary source to values" src [binary! string!] /next "Translate next complete value (blocks are treated as values)" /one "Translate next complete value, returns the value only" /prescan "Prescans only, do not load values" /scan "Scans only, do not load values" /part "Translates only part of the input buffer" length [integer! binary!] "Length in bytes or tail position" /into "Optionally provides an output block" dst [block!] /trace callback [function! routine!] return: [block!]]
apply: ["Apply a function to a reduced block of arguments" func [word! path! any-function!] "Function to apply, with eventual refinements" args [block!] "Block of args, reduced first" /all "Provide every argument in the function spec, in order, tail-completed with false/none." /safer "Forces single refinement arguments, skip them when inactive instead of evaluating"]
)kez";

const char* const action_specs = R"kez(
make: ["Returns a new value made from a spec for that value's type" type [any-type!] "The datatype, an example or prototype value" spec [any-type!] "The specification of the new value"]
random: ["Returns a random value of the same datatype; or shuffles series" value [scalar! block! paren! any-string! binary! vector!] "Maximum value of result (modified when series)" /seed "Restart or randomize" /secure "TBD: Returns a cryptographically secure random number" /only "Pick a random value from a series" return: [any-type!]]
reflect: ["Returns internal details about a value via reflection" value [any-block! any-string! binary! vector! any-function! any-object! bitset! map!] field [word!] "spec, body, words, etc. Each datatype defines its own reflectors"]
to: ["Converts to a specified datatype" type [any-type!] "The datatype or example value" spec [any-type!] "The attributes of the new value"]
form: ["Returns a user-friendly string representation of a value" value [any-type!] /part "Limit the length of the result" limit [integer!] return: [string!]]
mold: ["Returns a source format string representation of a value" value [any-type!] /only "Exclude outer brackets if value is a block" /all "TBD: Return value in loadable format" /flat "Exclude all indentation" /part "Limit the length of the result" limit [integer!] return: [string!]]
eval-path: ["Path evaluation" parent element value]
set-path: ["Path assignment"]
compare: ["Compare two values" value1 value2 op [integer!]]
absolute: ["Returns the non-negative value" value [number! char! pair! time! money! any-point!] return: [number! char! pair! time! money! any-point!]]
add: ["Returns the sum of the two values" value1 [scalar! vector!] value2 [scalar! vector!] return: [scalar! vector!]]
divide: ["Returns the quotient of two values" value1 [number! money! char! pair! tuple! time! any-point! vector!] "The dividend (numerator)" value2 [scalar! vector!] "The divisor (denominator)" return: [scalar! vector!]]
multiply: ["Returns the product of two values" value1 [number! money! char! pair! tuple! time! any-point! vector!] value2 [scalar! vector!] return: [scalar! vector!]]
negate: ["Returns the opposite (additive inverse) value" number [number! money! bitset! pair! time! any-point!] return: [number! money! bitset! pair! time! any-point!]]
power: ["Returns a number raised to a given power (exponent)" number [number!] "Base value" exponent [integer! float!] "The power (index) to raise the base value by" return: [number!]]
remainder: ["Returns what is left over when one value is divided by another" value1 [number! money! char! pair! tuple! time! any-point! vector!] value2 [scalar! vector!] return: [scalar! vector!]]
round: ["Returns the nearest integer. Halves round up (away from zero) by default" n [number! money! time! pair! any-point!] /to "Return the nearest multiple of the scale parameter" scale [number! money! time! pair! any-point!] "Must be a non-zero value" /even "Halves round toward even results" /down "Round toward zero, ignoring discarded digits. (truncate)" /half-down "Halves round toward zero" /floor "Round in negative direction" /ceiling "Round in positive direction" /half-ceiling "Halves round in positive direction"]
subtract: ["Returns the difference between two values" value1 [scalar! vector!] value2 [scalar! vector!] return: [scalar! vector!]]
even?: ["Returns true if the number is evenly divisible by 2" number [number! char! time! money!] return: [logic!]]
odd?: ["Returns true if the number has a remainder of 1 when divided by 2" number [number! char! time! money!] return: [logic!]]
and~: ["Returns the first value ANDed with the second" value1 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!] value2 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!] return: [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!]]
complement: ["Returns the opposite (complementing) value of the input value" value [logic! integer! bitset! typeset! binary! tuple!] return: [logic! integer! bitset! typeset! binary! tuple!]]
or~: ["Returns the first value ORed with the second" value1 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!] value2 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!] return: [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!]]
xor~: ["Returns the first value exclusive ORed with the second" value1 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!] value2 [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!] return: [logic! integer! char! bitset! binary! typeset! pair! tuple! vector!]]
append: ["Inserts value(s) at series tail; returns series head" series [any-block! any-string! binary! vector! port! bitset!] value [any-type!] /part "Limit the number of values inserted" length [number! series!] /only "Insert block types as single values (overrides /part)" /dup "Duplicate the inserted values" count [integer!] return: [series! port! bitset!]]
at: ["Returns a series at a given index" series [series! port!] index [integer! pair!] return: [series! port!]]
back: ["Returns a series at the previous index" series [series! port!] return: [series! port!]]
change: ["Changes a value in a series and returns the series after the change" series [series! port!] "Series at point to change" value [any-type!] "The new value" /part "Limits the amount to change to a given length or position" range [number! series!] /only "Changes a series as a series." /dup "Duplicates the change a specified number of times" count [number!]]
clear: ["Removes series values from current index to tail; returns new tail" series [any-block! any-string! binary! vector! port! bitset! map! none!] return: [series! port! bitset! map! none!]]
copy: ["Returns a copy of a non-scalar value" value [series! any-object! bitset! map!] /part "Limit the length of the result" length [number! series! pair!] /deep "Copy nested values" /types "Copy only specific types of non-scalar values" kind [datatype! typeset!] return: [series! any-object! bitset! map!]]
find: ["Returns the series where a value is found, or NONE" series [any-block! any-string! binary! vector! port! bitset! typeset! map! none!] value [any-type!] /part "Limit the length of the search" length [number! series!] /only "Treat a series search value as a single value" /case "Perform a case-sensitive search" /same "Use same? as comparator" /any "TBD: Use * and ? wildcards in string searches" /with "TBD: Use custom wildcards in place of * and ?" wild [string!] /skip "Treat the series as fixed size records" size [integer!] /last "Find the last occurrence of value, from the tail" /reverse "Find the last occurrence of value, from the current index" /tail "Return the tail of the match found, rather than the head" /match "Match at current index only and return tail of match"]
head: ["Returns a series at its first index" series [series! port!] return: [series! port!]]
head?: ["Returns true if a series is at its first index" series [series! port!] return: [logic!]]
index?: ["Returns the current index of series relative to the head, or of word in a context" series [series! port! any-word!] return: [integer!]]
insert: ["Inserts value(s) at series index; returns series past the insertion" series [any-block! any-string! binary! vector! port! bitset!] value [any-type!] /part "Limit the number of values inserted" length [number! series!] /only "Insert block types as single values (overrides /part)" /dup "Duplicate the inserted values" count [integer!] return: [series! port! bitset!]]
length?: ["Returns the number of values in the series, from the current index to the tail" series [series! port! bitset! map! tuple! none!] return: [integer! none!]]
move: ["Moves one or more elements from one series to another position or series" origin [any-block! any-string! binary! vector! port!] target [series! port!] /part "Limit the number of values inserted" length [integer!] return: [series! port!]]
next: ["Returns a series at the next index" series [series! port!] return: [series! port!]]
pick: ["Returns the series value at a given index" series [series! port! bitset! pair! tuple! money! date! time! event! any-point!] index [scalar! any-string! any-word! block! logic! time!] return: [any-type!]]
poke: ["Replaces the series value at a given index, and returns the new value" series [series! port! bitset!] index [scalar! any-string! any-word! block! logic!] value [any-type!] return: [series! port! bitset!]]
put: ["Replaces the value following a key, and returns the new value" series [any-block! port! map! object!] key [scalar! any-string! any-word! binary!] value [any-type!] /case "Perform a case-sensitive search" return: [series! port! map! object!]]
remove: ["Returns the series at the same index after removing a value" series [any-block! any-string! binary! vector! port! bitset! map! none!] /part "Removes a number of values, or values up to the given series index" length [number! char! series!] /key "Removes a key in map" key-arg [scalar! any-string! any-word! binary! block!] return: [series! port! bitset! map! none!]]
reverse: ["Reverses the order of elements; returns at same position" series [any-block! any-string! binary! vector! port! pair! tuple! any-point!] /part "Limits to a given length or position" length [number! series!] /skip "Treat the series as fixed size records" size [integer!] return: [series! port! pair! tuple!]]
select: ["Find a value in a series and return the next value, or NONE" series [any-block! any-string! binary! vector! any-object! map! none!] value [any-type!] /part "Limit the length of the search" length [number! series!] /only "Treat a series search value as a single value" /case "Perform a case-sensitive search" /same "Use same? as comparator" /any "TBD: Use * and ? wildcards in string searches" /with "TBD: Use custom wildcards in place of * and ?" wild [string!] /skip "Treat the series as fixed size records" size [integer!] /last "Find the last occurrence of value, from the tail" /reverse "Find the last occurrence of value, from the current index" return: [any-type!]]
sort: ["Sorts a series (modified); default sort order is ascending" series [any-list! any-string! binary! vector! port!] /case "Perform a case-sensitive sort" /skip "Treat the series as fixed size records" size [integer!] /compare "Comparator offset, block or function" comparator [integer! block! any-function!] /part "Sort only part of a series" length [number! series!] /all "Compare all fields" /reverse "Reverse sort order" /stable "Stable sorting" return: [series!]]
skip: ["Returns the series relative to the current index" series [series! port!] offset [integer! pair!] return: [series! port!]]
swap: ["Swaps elements between two series or the same series" series1 [any-block! any-string! binary! vector! port!] series2 [series! port!] return: [series! port!]]
tail: ["Returns a series at the index after its last value" series [series! port!] return: [series! port!]]
tail?: ["Returns true if a series is past its last value" series [series! port!] return: [logic!]]
take: ["Removes and returns one or more elements" series [any-block! any-string! binary! vector! port! none!] /part "Specifies a length or end position" length [number! series!] /deep "Copy nested values" /last "Take it from the tail end"]
trim: ["Removes space from a string or NONE from a block" series [block! hash! any-string! binary! vector! port!] /head "Removes only from the head" /tail "Removes only from the tail" /auto "Auto indents lines relative to first line" /lines "Removes all line breaks and extra spaces" /all "Removes all whitespace" /with "Same as /all, but removes characters in 'str'" str [char! string! binary! integer!]]
create: ["Send port a create request" port [port!]]
close: ["Closes a port" port [port!]]
delete: ["Deletes the specified file or empty folder" file [file! port!]]
modify: ["Change mode for target aggregate value" target [object! port! any-block! any-string! binary! vector! bitset!] field [word!] value [any-type!] /case "Perform a case-sensitive lookup"]
open: ["Opens a port; makes a new port from a specification if necessary" port [port! file! url!] /new "Create new file - if it exists, deletes it" /read "Open for read access" /write "Open for write access" /seek "Optimize for random access" /allow "Specificies right access attributes" access [block!]]
open?: ["Returns TRUE if port is open" port [port!]]
query: ["Returns information about a file" target [file! port!]]
read: ["Reads from a file, URL, or other port" source [file! url! port!] /part "Partial read a given number of units (source relative)" length [number!] /seek "Read from a specific position (source relative)" index [number!] /binary "Preserves contents exactly" /lines "Convert to block of strings" /info /as "Read with the specified encoding, default is 'UTF-8" encoding [word!]]
rename: ["Rename a file" from [port! file!] to [port! file! url!]]
update: ["Updates external and internal states (normally after read/write)" port [port!]]
write: ["Writes to a file, URL, or other port" destination [file! url! port!] data [any-type!] /binary "Preserves contents exactly" /lines "Write each value in a block as a separate line" /info /append "Write data at end of file" /part "Partial write a given number of units" length [number!] /seek "Write at a specific position" index [number!] /allow "Specifies protection attributes" access [block!] /as "Write with the specified encoding, default is 'UTF-8" encoding [word!]]
)kez";

}  // namespace kez::natives
