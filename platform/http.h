// HTTP requests over libcurl: one synchronous request, redirects followed,
// with the answer gathered outside the heap so that the caller turns it into
// values in one step.
//
// Invariants:
// - Only the headers the caller gives are sent, besides the ones the
//   protocol itself needs (Host, Content-Length); "Expect:" never goes out,
//   and no Content-Type is added unless the caller gives one.
// - Only http and https are spoken, also when a redirect points elsewhere.
// - The headers answered are the final response's: those of redirects and
//   interim (1xx) responses are dropped.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace kez::platform {

struct http_request {
  std::string method;                // upper case; "HEAD" asks for no body
  std::string url;                   // encoded, as it goes on the wire
  std::vector<std::string> headers;  // "Name: value" lines
  bool has_body = false;             // a body goes out (POST and others)
  std::string body;
};

// The most body bytes taken: past it the transfer ends with too_large set.
constexpr size_t http_body_limit = 0x7FFFFFF0;

struct http_response {
  long status = 0;
  std::string headers;  // the header lines, each ended by CR LF, status line left out
  std::string body;
  std::string error;    // what went wrong, when the request failed
  bool too_large = false;  // the body went past http_body_limit
  const char* missing_library = nullptr;  // the HTTP library, when it cannot be loaded
};

// False when no response came: the URL was refused, the host could not be
// reached, the transfer broke off or redirects went on too long.
bool http_send(const http_request& request, http_response& response);

}  // namespace kez::platform
