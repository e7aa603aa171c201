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
#include <cstdlib>
#include <cstring>
#include <optional>
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

// Why the program cannot make files in `dir` ("no such directory", "not a directory",
// "cannot make a file there: Permission denied"), or nothing when it can. A file made and
// gone again is the one test that answers for permissions, a read-only mount and the
// user alike; unnamed where the file system allows it.
inline std::optional<std::string> folder_problem(const std::string& dir) {
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0)
    return errno == ENOENT    ? std::string("no such directory")
           : errno == ENOTDIR ? std::string("not a directory")  // a path through a file
                              : std::string("cannot look at it: ") + std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return "not a directory";
  int fd = ::open(dir.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
  if (fd < 0 && (errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL)) {
    std::string probe = dir + "/.varnix-folder-check-XXXXXX";
    fd = ::mkostemp(probe.data(), O_CLOEXEC);
    if (fd >= 0) ::unlink(probe.c_str());
  }
  if (fd < 0) return std::string("cannot make a file there: ") + std::strerror(errno);
  ::close(fd);
  return std::nullopt;
}

}  // namespace vx::files
