// Files and directories as the operating system keeps them: the calls under
// simple-io. Paths are UTF-8 POSIX paths as file::to_local_path makes them;
// sizes and offsets are 64-bit. A handle is a descriptor, -1 when the file
// could not be opened; every descriptor opened here is close-on-exec, so a
// child started by call never inherits one.
//
// Nothing here raises: failures come back as -1, false or an empty answer,
// and the caller decides what they mean.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kez::platform {

// Open mode bits.
enum open_mode : int { MODE_READ = 1, MODE_WRITE = 2, MODE_APPEND = 4, MODE_SEEK = 8, MODE_NONBLOCK = 16 };

// Read mode opens an existing file (without waiting for a FIFO's writer
// with MODE_NONBLOCK); any other mode creates the file when it is missing
// and truncates it unless append or seek is set.
int open_file(const char* path, int mode);
// The size of a regular file; 0 for pipes, devices and the files of /proc,
// whose size is only known by reading them; -1 when it cannot be taken.
int64_t file_size(int fd);
// True when the descriptor names a directory.
bool directory_q(int fd);
// The new offset from the start, or -1.
int64_t seek_file(int fd, int64_t offset);
int64_t seek_end(int fd);
// One read or write call (interrupted calls are retried): bytes moved, or -1
// when the call failed.
int64_t read_bytes(int fd, void* buffer, size_t count);
int64_t write_bytes(int fd, const void* buffer, size_t count);
// Writes all count bytes, going on after short writes: false when a write
// failed or wrote nothing.
bool write_all(int fd, const void* buffer, size_t count);
bool close_file(int fd);

bool make_dir(const char* path);
bool exists_q(const char* path);
// rmdir for a directory path, unlink otherwise.
bool delete_path(const char* path, bool directory);
// Never replaces an existing target.
bool rename_path(const char* from, const char* to);

// The last modification time in UTC, to the millisecond.
struct file_time {
  int32_t year, month, day, hour, minute, second, millisecond;
};
// False when the entry does not exist, or when directory is asked for and
// the entry is not one.
bool modified_time(const char* path, bool directory, file_time& out);

// The names in a directory, in the system's order, without "." and "..";
// directories (symbolic links followed) get a trailing "/". False when the
// directory cannot be listed.
bool list_dir(const char* path, std::vector<std::string>& names);

}  // namespace kez::platform
