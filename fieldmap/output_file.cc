#include "fieldmap/output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fieldscan::fieldmap {
namespace {

constexpr std::size_t kBuffer = std::size_t{1} << 20;

std::string directory_of(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

OutputFile::~OutputFile() { discard(); }

void OutputFile::discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
    temp_.clear();
  }
}

bool OutputFile::open(const std::string& path) {
  discard();
  path_ = path;
  in_place_ = false;
  error_.clear();
  buffer_.clear();
  struct stat target {};
  if (::stat(path.c_str(), &target) == 0) {
    if (S_ISDIR(target.st_mode)) {
      error_ = "is a directory";
      return false;
    }
    if (!S_ISREG(target.st_mode)) {
      // A device, pipe or socket (/dev/stdout, say) is written in place:
      // it cannot be replaced, only written to.
      const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
      if (fd < 0) {
        error_ = std::strerror(errno);
        return false;
      }
      fd_ = fd;
      in_place_ = true;
      return true;
    }
  }
  // A symbolic link stays a link: the file it leads to (existing or not) is
  // replaced.
  struct stat link {};
  if (::lstat(path.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      path_ = real;
      std::free(real);
    } else {
      char to[4096];
      const ssize_t n = ::readlink(path.c_str(), to, sizeof to - 1);
      if (n > 0) {
        const std::string target(to, static_cast<std::size_t>(n));
        path_ = target[0] == '/' ? target : directory_of(path) + "/" + target;
      }
    }
  }
  // A name of this process that no other file has: pid and a counter, the
  // file created exclusively (so an existing file is never reused).
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temp =
        path + ".tmp" + std::to_string(::getpid()) + "_" + std::to_string(counter.fetch_add(1));
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      fd_ = fd;
      temp_ = temp;
      buffer_.reserve(kBuffer);
      return true;
    }
    if (errno != EEXIST) {
      error_ = std::strerror(errno);
      return false;
    }
  }
  error_ = "cannot create a temporary file beside it";
  return false;
}

bool OutputFile::write_all(std::string_view bytes) {
  std::size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      error_ = std::strerror(errno);
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool OutputFile::flush() {
  if (!write_all(buffer_)) return false;
  buffer_.clear();
  return true;
}

bool OutputFile::write(std::string_view bytes) {
  if (fd_ < 0 || !error_.empty()) return false;
  if (buffer_.size() + bytes.size() > kBuffer) {
    if (!flush()) return false;
    if (bytes.size() >= kBuffer) return write_all(bytes);
  }
  buffer_.append(bytes);
  return true;
}

bool OutputFile::commit() {
  if (fd_ < 0 || !error_.empty() || !flush()) {
    if (error_.empty()) error_ = "not open";
    discard();
    return false;
  }
  if (!in_place_ && ::fsync(fd_) != 0) {
    error_ = std::strerror(errno);
    discard();
    return false;
  }
  const int fd = fd_;
  fd_ = -1;
  if (::close(fd) != 0) {
    error_ = std::strerror(errno);
    discard();
    return false;
  }
  if (in_place_) return true;
  if (::rename(temp_.c_str(), path_.c_str()) != 0) {
    error_ = std::strerror(errno);
    discard();
    return false;
  }
  temp_.clear();
  // The rename itself reaches the disk with its directory.
  const int dir = ::open(directory_of(path_).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    ::fsync(dir);
    ::close(dir);
  }
  return true;
}

}  // namespace fieldscan::fieldmap
