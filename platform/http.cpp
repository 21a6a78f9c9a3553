#include "platform/http.h"

#include <curl/curl.h>

#include <dlfcn.h>
#include <strings.h>

#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace kez::platform {

namespace {

// libcurl is loaded at the first request, not at start-up: it brings some
// thirty libraries (TLS, Kerberos, LDAP ...) that a script without HTTP
// should not pay for.
struct curl_api {
  decltype(&curl_global_init) global_init;
  decltype(&curl_easy_init) easy_init;
  decltype(&curl_easy_setopt) easy_setopt;
  decltype(&curl_easy_perform) easy_perform;
  decltype(&curl_easy_getinfo) easy_getinfo;
  decltype(&curl_easy_cleanup) easy_cleanup;
  decltype(&curl_easy_strerror) easy_strerror;
  decltype(&curl_slist_append) slist_append;
  decltype(&curl_slist_free_all) slist_free_all;
};

constexpr const char* curl_library = "libcurl.so.4";

// Null when the library cannot be loaded.
const curl_api* api() {
  static const curl_api* loaded = [] () -> const curl_api* {
    void* lib = dlopen(curl_library, RTLD_NOW | RTLD_LOCAL);
    if (!lib) return nullptr;
    static curl_api a;
    bool ok = true;
    auto bind = [&](auto& fn, const char* name) {
      fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(dlsym(lib, name));
      ok = ok && fn;
    };
    bind(a.global_init, "curl_global_init");
    bind(a.easy_init, "curl_easy_init");
    bind(a.easy_setopt, "curl_easy_setopt");
    bind(a.easy_perform, "curl_easy_perform");
    bind(a.easy_getinfo, "curl_easy_getinfo");
    bind(a.easy_cleanup, "curl_easy_cleanup");
    bind(a.easy_strerror, "curl_easy_strerror");
    bind(a.slist_append, "curl_slist_append");
    bind(a.slist_free_all, "curl_slist_free_all");
    if (!ok || a.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) return nullptr;
    return &a;
  }();
  return loaded;
}

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
  const curl_api* curl = api();
  if (!curl) {
    response.error = "libcurl cannot be loaded";
    response.missing_library = curl_library;
    return false;
  }
  CURL* c = curl->easy_init();
  if (!c) {
    response.error = "cannot start a request";
    return false;
  }
  curl_slist* list = nullptr;
  // Both go on every way out; the list only once the request is done with it.
  struct cleanup {
    const curl_api* curl;
    CURL* c;
    curl_slist*& list;
    ~cleanup() {
      curl->easy_cleanup(c);
      curl->slist_free_all(list);
    }
  } done_with{curl, c, list};
  char error[CURL_ERROR_SIZE] = {};
  curl->easy_setopt(c, CURLOPT_ERRORBUFFER, error);
  curl->easy_setopt(c, CURLOPT_URL, request.url.c_str());
  curl->easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
  curl->easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https");
  curl->easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https");
  curl->easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
  curl->easy_setopt(c, CURLOPT_MAXREDIRS, 20L);
  curl->easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 30L);
  // A server that stops sending, or trickles, is given up on rather than
  // waited for forever: below 1 KiB/s for two minutes. The tests shorten the
  // window through KEZ_TEST_HTTP_SLOW_SECONDS.
  long window = 120;
  if (const char* v = getenv("KEZ_TEST_HTTP_SLOW_SECONDS"); v && atol(v) > 0) window = atol(v);
  curl->easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1024L);
  curl->easy_setopt(c, CURLOPT_LOW_SPEED_TIME, window);
  curl->easy_setopt(c, CURLOPT_WRITEFUNCTION, on_body);
  curl->easy_setopt(c, CURLOPT_WRITEDATA, &response);
  curl->easy_setopt(c, CURLOPT_HEADERFUNCTION, on_header);
  curl->easy_setopt(c, CURLOPT_HEADERDATA, &response);

  const std::string& m = request.method;
  if (m == "HEAD") {
    curl->easy_setopt(c, CURLOPT_NOBODY, 1L);
  } else if (m == "GET") {
    curl->easy_setopt(c, CURLOPT_HTTPGET, 1L);
  } else {
    if (m != "POST") curl->easy_setopt(c, CURLOPT_CUSTOMREQUEST, m.c_str());
    if (m == "POST" || request.has_body) {
      curl->easy_setopt(c, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(request.has_body ? request.body.size() : 0));
      curl->easy_setopt(c, CURLOPT_POSTFIELDS, request.has_body ? request.body.data() : "");
    }
  }

  auto add = [&](const char* line) {
    if (curl_slist* grown = curl->slist_append(list, line)) list = grown;
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
  curl->easy_setopt(c, CURLOPT_HTTPHEADER, list);

  CURLcode done = curl->easy_perform(c);
  if (done != CURLE_OK) {
    response.error = error[0] ? error : curl->easy_strerror(done);
    return false;
  }
  curl->easy_getinfo(c, CURLINFO_RESPONSE_CODE, &response.status);
  return true;
}

}  // namespace kez::platform
