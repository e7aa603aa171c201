// Reading a file that the operator names (a panel file, a session script) without
// trusting it: whatever the descriptor is, at most a bound of bytes is read, so that a
// link to /dev/zero or an endless pipe ends in a clear refusal instead of exhausting
// memory.
#pragma once

#include <unistd.h>

#include <cerrno>
#include <cstddef>
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

}  // namespace vx::files
