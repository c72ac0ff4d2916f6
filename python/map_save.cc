#include "python/map_save.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string_view>

#include "mapfile/map_writer.h"

namespace fieldscan {
namespace {

bool fail(SaveError& error, int error_number, const std::string& what) {
  error.error_number = error_number;
  error.message = what + ": " + std::strerror(error_number);
  return false;
}

bool write_all(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t written = ::write(fd, bytes.data(), bytes.size());
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(written));
  }
  return true;
}

std::string directory_of(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

}  // namespace

bool save_map(const std::string& path, const MapContents& contents, SaveError& error) {
  const std::string bytes = encode_map(contents);

  // A name no other writer uses: the process id and a per-process counter,
  // created exclusively (with the usual permissions under the umask).
  static std::atomic<unsigned> counter{0};
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0; ++attempt) {
    temp = path + ".tmp" + std::to_string(::getpid()) + "." + std::to_string(counter++);
    fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && (errno != EEXIST || attempt == 100)) return fail(error, errno, path);
  }

  if (!write_all(fd, bytes) || ::fsync(fd) != 0) {
    const int saved = errno;
    ::close(fd);
    ::unlink(temp.c_str());
    return fail(error, saved, path);
  }
  if (::close(fd) != 0 || ::rename(temp.c_str(), path.c_str()) != 0) {
    const int saved = errno;
    ::unlink(temp.c_str());
    return fail(error, saved, path);
  }
  // The rename itself is durable once the directory is synced; a directory
  // that cannot be opened or synced leaves the new file in place regardless.
  const int dir = ::open(directory_of(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace fieldscan
