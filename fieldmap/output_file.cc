#include "fieldmap/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace fieldscan::fieldmap {
namespace {

std::string directory_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a symbolic link leads to (existing or not); `path` itself when
// it is not a link.
std::string link_target(const std::string& path) {
  struct stat link {};
  if (::lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode)) return path;
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    std::string target = real;
    std::free(real);
    return target;
  }
  char to[4096];
  const ssize_t n = ::readlink(path.c_str(), to, sizeof to - 1);
  if (n <= 0) return path;
  const std::string target(to, static_cast<std::size_t>(n));
  return target[0] == '/' ? target : directory_of(path) + "/" + target;
}

}  // namespace

OutputFile::~OutputFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool OutputFile::open(const std::string& path) {
  struct stat target {};
  if (::stat(path.c_str(), &target) == 0 && !S_ISREG(target.st_mode) && !S_ISDIR(target.st_mode)) {
    fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd_ < 0) error_ = std::strerror(errno);
    return fd_ >= 0;
  }
  return file_.open(link_target(path));
}

bool OutputFile::write_all(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = std::strerror(errno);
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

bool OutputFile::write(std::string_view bytes) {
  if (fd_ < 0) return file_.write(bytes);
  return error_.empty() && write_all(bytes);
}

bool OutputFile::commit() {
  if (fd_ < 0) return file_.commit();
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0 && error_.empty()) error_ = std::strerror(errno);
  return error_.empty();
}

std::string OutputFile::error() const { return fd_ >= 0 || !error_.empty() ? error_ : file_.why(); }

}  // namespace fieldscan::fieldmap
