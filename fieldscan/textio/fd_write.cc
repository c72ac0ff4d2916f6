#include "fieldscan/textio/fd_write.h"

#include <poll.h>
#include <unistd.h>

#include <cerrno>

namespace fieldscan {

bool write_fully(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd, bytes.data(), bytes.size());
    if (n > 0) {
      bytes.remove_prefix(static_cast<std::size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p{fd, POLLOUT, 0};
      if (::poll(&p, 1, -1) >= 0 || errno == EINTR) continue;
    }
    return false;  // refused (a write of zero bytes counts as refused too)
  }
  return true;
}

}  // namespace fieldscan
