// Files and folders that the operator names, taken without trust. A file (a panel file,
// a session script) is read to a bound of bytes, so that a link to /dev/zero or an
// endless pipe ends in a clear refusal instead of exhausting memory. A folder to write
// in (the scan records') is checked when it is named, so that a device, a plain file or
// a folder the program may not write in is refused at start, not at the first scan.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <string>

namespace vx::files {

struct BoundedRead {
  std::string text;
  int error = 0;          // errno of a failed read, else 0
  bool too_long = false;  // more than the bound was there
};

// Reads `fd` to its end, stopping as soon as more than `limit` bytes have come.
inline BoundedRead read_bounded(int fd, std::size_t limit) {
  BoundedRead r;
  char buf[1 << 16];
  for (;;) {
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n == 0) return r;
    if (n < 0) {
      if (errno == EINTR) continue;
      r.error = errno;
      return r;
    }
    r.text.append(buf, static_cast<std::size_t>(n));
    if (r.text.size() > limit) {
      r.too_long = true;
      return r;
    }
  }
}

// Why files cannot be created in `dir` ("not a directory", "No such file or directory",
// "not writable: Permission denied"...), or "" when they can.
inline std::string folder_problem(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) return std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return "not a directory";
  if (::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) != 0)
    return std::string("not writable: ") + std::strerror(errno);
  return {};
}

}  // namespace vx::files
