#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace kez::platform {

int open_file(const char* path, int mode) {
  int flags = O_CLOEXEC;
  if (!(mode & (MODE_WRITE | MODE_APPEND | MODE_SEEK))) {
    flags |= O_RDONLY | (mode & MODE_NONBLOCK ? O_NONBLOCK : 0);
  } else {
    flags |= O_WRONLY | O_CREAT;
    if (!(mode & (MODE_APPEND | MODE_SEEK))) flags |= O_TRUNC;
  }
  int fd;
  do fd = ::open(path, flags, 0666);
  while (fd < 0 && errno == EINTR);
  return fd;
}

int64_t file_size(int fd) {
  struct stat st;
  if (fstat(fd, &st) != 0) return -1;
  return S_ISREG(st.st_mode) ? int64_t(st.st_size) : 0;
}

bool directory_q(int fd) {
  struct stat st;
  return fstat(fd, &st) == 0 && S_ISDIR(st.st_mode);
}

int64_t seek_file(int fd, int64_t offset) { return int64_t(lseek(fd, off_t(offset), SEEK_SET)); }
int64_t seek_end(int fd) { return int64_t(lseek(fd, 0, SEEK_END)); }

int64_t read_bytes(int fd, void* buffer, size_t count) {
  ssize_t n;
  do n = ::read(fd, buffer, count);
  while (n < 0 && errno == EINTR);
  return int64_t(n);
}

int64_t write_bytes(int fd, const void* buffer, size_t count) {
  ssize_t n;
  do n = ::write(fd, buffer, count);
  while (n < 0 && errno == EINTR);
  return int64_t(n);
}

bool write_all(int fd, const void* buffer, size_t count) {
  auto* p = static_cast<const uint8_t*>(buffer);
  while (count > 0) {
    int64_t n = write_bytes(fd, p, count);
    if (n <= 0) return false;
    p += n;
    count -= size_t(n);
  }
  return true;
}

bool close_file(int fd) { return ::close(fd) == 0; }

bool make_dir(const char* path) { return ::mkdir(path, 0777) == 0; }

bool exists_q(const char* path) {
  struct stat st;
  return ::stat(path, &st) == 0;
}

bool delete_path(const char* path, bool directory) {
  return (directory ? ::rmdir(path) : ::unlink(path)) == 0;
}

bool rename_path(const char* from, const char* to) {
  if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  // A file system without the no-replace flag: a hard link cannot replace
  // an existing name either. Directories cannot be linked; for them the
  // target is checked first, which leaves only a narrow race.
  if (::link(from, to) == 0) {
    if (::unlink(from) == 0) return true;
    ::unlink(to);
    return false;
  }
  if (errno != EPERM) return false;
  struct stat st;
  if (::lstat(to, &st) == 0 || errno != ENOENT) return false;
  return ::rename(from, to) == 0;
}

bool modified_time(const char* path, bool directory, file_time& out) {
  struct stat st;
  if (::stat(path, &st) != 0) return false;
  if (directory && !S_ISDIR(st.st_mode)) return false;
  struct tm utc;
  time_t seconds = st.st_mtim.tv_sec;
  if (!gmtime_r(&seconds, &utc)) return false;
  out = {utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,        utc.tm_hour,
         utc.tm_min,         utc.tm_sec,     int32_t(st.st_mtim.tv_nsec / 1000000)};
  return true;
}

bool list_dir(const char* path, std::vector<std::string>& names) {
  DIR* dir = ::opendir(*path ? path : ".");
  if (!dir) return false;
  int dir_fd = ::dirfd(dir);
  while (dirent* e = ::readdir(dir)) {
    const char* name = e->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
    bool is_dir = e->d_type == DT_DIR;
    if (e->d_type == DT_LNK || e->d_type == DT_UNKNOWN) {
      struct stat st;
      is_dir = ::fstatat(dir_fd, name, &st, 0) == 0 && S_ISDIR(st.st_mode);
    }
    names.emplace_back(name);
    if (is_dir) names.back() += '/';
  }
  ::closedir(dir);
  return true;
}

}  // namespace kez::platform
