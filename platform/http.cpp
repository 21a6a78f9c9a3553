#include "platform/http.h"

#include <curl/curl.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <strings.h>

namespace kez::platform {

namespace {

void global_init() {
  static std::once_flag once;
  std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

struct easy_deleter {
  void operator()(CURL* c) const { curl_easy_cleanup(c); }
};
struct list_deleter {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};

size_t on_body(char* data, size_t size, size_t count, void* user) {
  auto* response = static_cast<http_response*>(user);
  if (response->body.size() + size * count > http_body_limit) {
    response->too_large = true;
    return 0;  // ends the transfer
  }
  response->body.append(data, size * count);
  return size * count;
}

// Every response of the exchange passes here, redirects and 100 Continue
// included; a status line starts a new response, so what is kept at the end
// is the final one's.
size_t on_header(char* data, size_t size, size_t count, void* user) {
  size_t n = size * count;
  std::string& kept = static_cast<http_response*>(user)->headers;
  if (n >= 5 && std::memcmp(data, "HTTP/", 5) == 0) kept.clear();
  else if (!(n == 2 && data[0] == '\r') && !(n == 1 && data[0] == '\n')) kept.append(data, n);
  return n;
}

bool names_q(const std::string& line, const char* name) {
  size_t n = std::strlen(name);
  return line.size() > n && (line[n] == ':' || line[n] == ';') && strncasecmp(line.data(), name, n) == 0;
}

}  // namespace

bool http_send(const http_request& request, http_response& response) {
  global_init();
  std::unique_ptr<CURL, easy_deleter> easy(curl_easy_init());
  if (!easy) {
    response.error = "cannot start a request";
    return false;
  }
  CURL* c = easy.get();
  char error[CURL_ERROR_SIZE] = {};
  curl_easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  curl_easy_setopt(c, CURLOPT_URL, request.url.c_str());
  curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(c, CURLOPT_MAXREDIRS, 20L);
  curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 30L);
  // A server that stops sending is given up on rather than waited for forever.
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
  curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 120L);
  curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
  curl_easy_setopt(c, CURLOPT_WRITEDATA, &response);
  curl_easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
  curl_easy_setopt(c, CURLOPT_HEADERDATA, &response);

  const std::string& m = request.method;
  if (m == "HEAD") {
    curl_easy_setopt(c, CURLOPT_NOBODY, 1L);
  } else if (m == "GET") {
    curl_easy_setopt(c, CURLOPT_HTTPGET, 1L);
  } else {
    if (m != "POST") curl_easy_setopt(c, CURLOPT_CUSTOMREQUEST, m.c_str());
    if (m == "POST" || request.has_body) {
      curl_easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.has_body ? request.body.size() : 0));
      curl_easy_setopt(c, CURLOPT_POSTFIELDS, request.has_body ? request.body.data() : "");
    }
  }

  curl_slist* list = nullptr;
  auto add = [&list](const char* line) {
    if (curl_slist* grown = curl_slist_append(list, line)) list = grown;
  };
  bool content_type = false;
  for (const std::string& h : request.headers) {
    content_type = content_type || names_q(h, "Content-Type");
    // "Name:" with nothing after it would remove the header; "Name;" sends it empty.
    size_t colon = h.find(':');
    bool empty = colon != std::string::npos && h.find_first_not_of(" \t", colon + 1) == std::string::npos;
    std::string line = empty ? h.substr(0, colon) + ";" : h;
    add(line.c_str());
  }
  // Left to itself the library would add a form Content-Type to every body
  // and hold large ones back behind "Expect: 100-continue".
  if (!content_type) add("Content-Type:");
  add("Expect:");
  std::unique_ptr<curl_slist, list_deleter> headers(list);
  curl_easy_setopt(c, CURLOPT_HTTPHEADER, list);

  CURLcode done = curl_easy_perform(c);
  if (done != CURLE_OK) {
    response.error = error[0] ? error : curl_easy_strerror(done);
    return false;
  }
  curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.status);
  return true;
}

}  // namespace kez::platform
