// HTTP for the url! actions: simple_io::request_http (declared in
// simple_io.h) builds the request from language values, sends it through
// platform/http and shapes the answer; parse_headers turns the response's
// header text into a map!.
//
// Invariants: the request is built and the answer gathered entirely outside
// the heap; values are made only once the exchange is over, so a collection
// can move nothing the exchange uses.
#pragma once

#include <cstddef>
#include <cstdint>

#include "runtime/cell.h"

namespace kez::http {

// A map! of the header lines in text (outside the heap) in target, or a new
// data-stack cell: each "Name: value" line puts the value (blanks after the
// colon skipped, up to CR, LF or the end) as a string! under the word Name;
// a name seen again turns its entry into a block! of the strings in order.
// Lines without a colon, or whose name is empty or not a token, add nothing.
cell* parse_headers(const uint8_t* text, size_t n, cell* target);

}  // namespace kez::http
