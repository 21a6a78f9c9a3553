// url!: a resource locator held as decoded text (type 9, a child of string!
// and the parent of file!). Percent-encoding works on the UTF-8 bytes of the
// text; a url molds encoded and forms decoded.
//
// Invariants: the text is never stored encoded; encoding happens at mold and
// on request (encode_utf8), decoding when text comes in (load, decode_utf8).
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kez::url {

// Encoding modes: UNRESERVED keeps letters, digits and "-._~" only (so it
// escapes "/" and ":"); FILE_SAFE (any other mode) also keeps the characters
// a file name may show bare. Bytes of 127 and above are always escaped.
enum encode_mode : int { UNRESERVED = 254, FILE_SAFE = 255 };

// The characters a molded file! shows without quotes: letters, digits,
// "!#$&'()*+,-./:=?@_~", and every code point from 127 on.
bool file_safe_q(int32_t cp);

// True when [p, end) starts with "%" and two hexadecimal digits; byte gets
// their value.
bool hex_pair(const uint8_t* p, const uint8_t* end, uint8_t& byte);
// The byte as written by the encoder: itself, or "%XX". Answers the length.
int encode_byte(int mode, uint8_t byte, char out[3]);

// Appends source's text to target with its escapes decoded: runs of escapes
// forming one UTF-8 sequence become that code point, a lone escape of a byte
// that starts no sequence becomes the byte's code point, and a "%" that
// starts no escape stays as it is. An escaped run that is not valid UTF-8
// raises Access Error invalid-utf8.
void decode_utf8(cell* source, cell* target);
// Appends the percent-encoded UTF-8 bytes of source to target (one output
// byte per character).
void encode_utf8(cell* source, cell* target, int mode);

// A url! in target (or a new data-stack cell) from encoded UTF-8 bytes.
cell* load(const uint8_t* bytes, size_t size, cell* target);
cell* push(const cell* value);

// A port from the url: the library's url-parser/parse-url makes the spec object (any
// other answer raises Script Error invalid-arg with the url), port! makes
// the port and, with open, opens it with the flags given. The answer is a
// data-stack cell.
cell* to_port(cell* url, bool new_, bool read, bool write, bool seek, const cell* allow, bool open);

// open, read and write: texts starting with "http" go to the HTTP client
// (a request that gets no response raises Access Error no-connect; /part,
// /seek, /allow and /as are not done there), other schemes to their port.
void init();
cell* make(cell* proto, const cell* spec, uint32_t type);
cell* to(cell* proto, const cell* spec, uint32_t type);
int32_t mold(const cell* value, cell* buffer, bool only, bool all, bool flat, const cell* arg,
             int32_t part, int32_t indent);
// Joins the formed element to the url with one "/" between them; the answer
// is a new value of parent's type in a new data-stack cell (the parent is
// left as it is). Setting raises bad-path-set.
cell* eval_path(cell* parent, const cell* element, const cell* value, const cell* path,
                const cell* grand_parent, const cell* previous, int32_t index, bool case_, bool get,
                bool tail, bool notify);
cell* open(cell* url, bool new_, bool read, bool write, bool seek, const cell* allow);
cell* read(cell* source, const cell* part, const cell* seek, bool binary, bool lines, bool info, const cell* as);
cell* write(cell* destination, const cell* data, bool binary, bool lines, bool info, bool append, const cell* part,
            const cell* seek, const cell* allow, const cell* as);

}  // namespace kez::url
