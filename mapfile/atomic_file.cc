#include "mapfile/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

namespace fieldscan {
namespace {

constexpr std::size_t kBufferBytes = std::size_t{1} << 16;

// The folder part of `path` ("." for a bare name) and the name part.
void split_path(const std::string& path, std::string& folder, std::string& name) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) {
    folder = ".";
    name = path;
  } else {
    folder = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
  }
}

}  // namespace

AtomicFile::~AtomicFile() { discard(); }

bool AtomicFile::fail(int error) {
  if (!failed_) {
    failed_ = true;
    why_ = std::strerror(error);
  }
  return false;
}

void AtomicFile::discard() {
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
  if (!temp_.empty()) {
    ::unlink(temp_.c_str());
    temp_.clear();
  }
}

bool AtomicFile::open(const std::string& path) {
  discard();
  path_ = path;
  failed_ = false;
  why_.clear();
  buffer_.clear();
  if (path.empty()) return fail(ENOENT);

  struct stat target {};
  const bool exists = ::stat(path.c_str(), &target) == 0;
  if (exists && S_ISDIR(target.st_mode)) return fail(EISDIR);
  if (!path.empty() && path.back() == '/') return fail(exists ? ENOTDIR : EISDIR);

  std::string folder, name;
  split_path(path, folder, name);
  // A hidden name in the same folder, short enough for any file system even
  // when the target's name is at the limit.
  static std::atomic<unsigned> counter{0};
  const std::string stem = "." + name.substr(0, 160) + ".tmp" + std::to_string(::getpid()) + "_";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = (folder == "/" ? "/" : folder + "/") + stem + std::to_string(counter++);
    fd_ = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      temp_ = std::move(candidate);
      break;
    }
    if (errno != EEXIST) return fail(errno);
  }
  if (fd_ < 0) return fail(EEXIST);
  if (exists && S_ISREG(target.st_mode)) {
    // Keep the permissions of the file being replaced; failing to is not
    // worth losing the write over.
    (void)::fchmod(fd_, target.st_mode & 07777);
  }
  buffer_.reserve(kBufferBytes);
  return true;
}

bool AtomicFile::flush() {
  std::size_t done = 0;
  while (done < buffer_.size()) {
    const ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    if (n == 0) return fail(EIO);
    done += static_cast<std::size_t>(n);
  }
  buffer_.clear();
  return true;
}

bool AtomicFile::write(std::string_view bytes) {
  if (failed_) return false;
  if (fd_ < 0) return fail(EBADF);
  while (!bytes.empty()) {
    const std::size_t room = kBufferBytes - buffer_.size();
    const std::size_t take = bytes.size() < room ? bytes.size() : room;
    buffer_.insert(buffer_.end(), bytes.data(), bytes.data() + take);
    bytes.remove_prefix(take);
    if (buffer_.size() == kBufferBytes && !flush()) return false;
  }
  return true;
}

bool AtomicFile::commit() {
  if (!failed_ && fd_ < 0) fail(EBADF);
  if (!failed_ && flush() && ::fsync(fd_) != 0) fail(errno);
  if (!failed_) {
    const int closed = ::close(fd_);
    fd_ = -1;
    if (closed != 0) fail(errno);
  }
  if (!failed_ && ::rename(temp_.c_str(), path_.c_str()) != 0) fail(errno);
  if (failed_) {
    discard();
    return false;
  }
  temp_.clear();
  // Make the rename itself durable; the file is complete either way.
  std::string folder, name;
  split_path(path_, folder, name);
  const int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir >= 0) {
    (void)::fsync(dir);
    ::close(dir);
  }
  return true;
}

bool write_file_atomically(const std::string& path, std::string_view bytes, std::string* why) {
  AtomicFile file;
  const bool ok = file.open(path) && file.write(bytes) && file.commit();
  if (!ok && why) *why = file.why();
  return ok;
}

}  // namespace fieldscan
