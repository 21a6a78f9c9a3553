#include "gui/backend/message.h"

#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace kez::gui {

void show_message(const char* caption, const char* text) {
  char newline[] = "\n";
  iovec parts[] = {
      {const_cast<char*>(caption), std::strlen(caption)},
      {newline, 1},
      {const_cast<char*>(text), std::strlen(text)},
      {newline, 1},
  };
  // One writev, so that the message is not interleaved with other output; a
  // short write (a full pipe) finishes part by part.
  size_t total = 0;
  for (const iovec& part : parts) total += part.iov_len;
  ssize_t done;
  while ((done = writev(STDERR_FILENO, parts, 4)) < 0 && errno == EINTR) {}
  if (done < 0 || size_t(done) == total) return;
  size_t skip = size_t(done);
  for (const iovec& part : parts) {
    size_t from = skip < part.iov_len ? skip : part.iov_len;
    skip -= from;
    const char* p = static_cast<const char*>(part.iov_base) + from;
    size_t n = part.iov_len - from;
    while (n) {
      ssize_t w = write(STDERR_FILENO, p, n);
      if (w < 0 && errno == EINTR) continue;
      if (w <= 0) return;
      p += w;
      n -= size_t(w);
    }
  }
}

}  // namespace kez::gui
