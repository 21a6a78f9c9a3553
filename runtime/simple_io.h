// simple-io: the file layer under the file! actions, size?, checksum of a
// file and the routines create-dir, exists? and write-stdout. It turns file!
// values into local paths, calls platform/files and shapes the answers as
// language values: string!, binary!, a block! of lines or of file! names,
// date!, logic! or none!.
//
// Invariants:
// - Text is read as UTF-8 (a leading byte-order mark skipped; CR LF and a
//   lone CR read as LF) and written as UTF-8 with LF line ends.
// - No descriptor outlives an operation: every path that opened a file
//   closes it before answering or raising.
// - File bytes are gathered outside the heap and become a value in one step,
//   so a collection during the read cannot move anything the read uses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kez::simple_io {

// The name ends in "/" (or "\"), or is ".", "..", or ends in "/." or "/..".
bool dir_path_q(const cell* file);

// The file's content, or a directory's listing for a directory path, in a
// new data-stack cell. part and seek: -1 when absent. Raises Access Error
// cannot-open when the file cannot be opened or read.
cell* read(cell* file, int64_t part, int64_t seek, bool binary, bool lines);
// The same without the directory test: null when the file cannot be opened
// or read. Text that is not UTF-8 raises Access Error invalid-utf8.
cell* read_file(cell* file, int64_t part, int64_t seek, bool binary, bool lines);
// A block! of the directory's names as file! values, directories ending in
// "/". Raises cannot-open when the directory cannot be listed.
cell* read_dir(cell* file);

// The value made from bytes (outside the heap) in a new data-stack cell: a
// binary! with binary, a block! of lines with lines, else a string!. Text
// that is not UTF-8 raises Access Error invalid-utf8 with source.
cell* make_value(const cell* source, const uint8_t* bytes, size_t n, bool binary, bool lines);

// A block! of the lines in bytes (into target, or a new data-stack cell):
// each line ends at LF, CR LF or CR; a text ending with a line end has no
// empty last line. Null when a line is not valid UTF-8. The bytes must lie
// outside the heap.
cell* split_lines(const uint8_t* bytes, size_t n, cell* target);
// A string! decoded from UTF-8 text bytes, in target or a new data-stack
// cell; false when the bytes are not valid UTF-8. A leading byte-order mark
// is dropped only when the bytes open the text.
bool load_text(const uint8_t* bytes, size_t n, cell* target, bool opens = true);

// Appends UTF-8 bytes (outside the heap) to a text value, a byte that
// starts no valid sequence becoming U+FFFD: for text the system hands over
// (a child's output, names in a directory) that must not fail as a whole.
void append_text(cell* target, const uint8_t* bytes, size_t n);

// Writes data to the file, or to standard output when file is null. part
// and seek: the refinement cells or null. A negative part writes nothing and
// answers -1; otherwise the answer is the count of the last write. Raises
// invalid-refine-arg for a part that is not an integer!, cannot-open when
// the file cannot be opened or a write fails.
int64_t write(const cell* file, const cell* data, const cell* part, const cell* seek, bool binary,
              bool append, bool lines);

bool delete_(const cell* file);
bool rename(const cell* from, const cell* to);
// The UTC modification date in a new data-stack cell; none! when the entry
// does not exist or a directory path names a file.
cell* query(const cell* file);
bool make_dir(const cell* file);
bool exists_q(const cell* file);
// The size in bytes of a file that can be opened for reading; -1 when it
// cannot, or when it is a directory.
int64_t size_q(const cell* file);

// One HTTP request for the url! actions, over platform/http: the method
// (the symbols get, head and post as GET, HEAD and POST, any other word
// upper-cased), the url, a block! of header name/value pairs (null: the
// three default headers), the body data for methods other than GET and HEAD
// (binary! as it is, string! as UTF-8, anything else formed; null: none).
// Answers in a new data-stack cell the body (binary!, a block! of lines or a
// string!), or with info the block [status headers body], the headers a
// map! of the final response's; none! when no response came. A header name
// or value holding a line break or NUL raises Script Error invalid-arg.
cell* request_http(uint32_t method, const cell* url, const cell* headers, const cell* data, bool binary,
                   bool lines, bool info);

// A /part or /seek argument (integer!, float! or percent!) as a whole
// count; -1 when absent (null) or not a number.
int64_t count_of(const cell* value);

// An integer! while the count fits one, else a float!.
cell* size_at(cell* target, int64_t size);

}  // namespace kez::simple_io
