#include "fieldscan/mapfile/byte_source.h"

#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>

namespace fieldscan {

std::size_t FileSource::read2(void* first, std::size_t n1, void* second, std::size_t n2) {
  iovec parts[2] = {{first, n1}, {second, n2}};
  int next = 0;  // first part not yet filled
  std::size_t done = 0;
  for (;;) {
    while (next < 2 && parts[next].iov_len == 0) ++next;
    if (next == 2) break;
    const ssize_t r = ::readv(fd_, parts + next, 2 - next);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;  // end of file, or an error that ends the data
    done += static_cast<std::size_t>(r);
    for (auto left = static_cast<std::size_t>(r); left > 0;) {
      const std::size_t k = left < parts[next].iov_len ? left : parts[next].iov_len;
      parts[next].iov_base = static_cast<char*>(parts[next].iov_base) + k;
      parts[next].iov_len -= k;
      left -= k;
      if (parts[next].iov_len == 0) ++next;
    }
  }
  return done;
}

std::size_t FileSource::read_some(void* dst, std::size_t least, std::size_t most) {
  auto* out = static_cast<unsigned char*>(dst);
  std::size_t done = 0;
  while (done < least) {
    const ssize_t r = ::read(fd_, out + done, most - done);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;  // end of file, or an error that ends the data
    done += static_cast<std::size_t>(r);
  }
  return done;
}

void FileSource::unread(std::size_t n) {
  // A pipe cannot go back; its bytes read ahead are simply not used.
  if (n > 0 && seekable_) ::lseek(fd_, -static_cast<off_t>(n), SEEK_CUR);
}

bool FileSource::skip(std::uint64_t n) {
  if (n == 0) return true;
  if (seekable_) {
    // A record is at most 2^31 - 1 bytes long, far below the range of off_t.
    if (::lseek(fd_, static_cast<off_t>(n), SEEK_CUR) != static_cast<off_t>(-1)) return true;
    if (errno != ESPIPE) return false;
    seekable_ = false;
  }
  unsigned char chunk[16384];
  while (n > 0) {
    const std::size_t want = n < sizeof chunk ? static_cast<std::size_t>(n) : sizeof chunk;
    const std::size_t got = read(chunk, want);
    n -= got;
    if (got < want) return false;
  }
  return true;
}

}  // namespace fieldscan
