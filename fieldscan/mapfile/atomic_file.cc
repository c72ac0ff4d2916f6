#include "fieldscan/mapfile/atomic_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

namespace fieldscan {
namespace {

constexpr std::size_t kBufferBytes = std::size_t{1} << 16;

// The temporary files being written, listed for the signal handler in
// static storage: a handler may only read memory and call unlink().  A slot
// is free (0), being filled (1) or names a live temporary file (2).  A name
// that finds no slot is simply not removed on a signal.
constexpr int kSlots = 16;
constexpr std::size_t kSlotBytes = 4096;
struct TempSlot {
  std::atomic<int> state{0};
  char name[kSlotBytes];
};
static_assert(std::atomic<int>::is_always_lock_free);
TempSlot g_temp_slots[kSlots];

int list_temp(const std::string& name) {
  if (name.size() >= kSlotBytes) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int expected = 0;
    if (g_temp_slots[i].state.compare_exchange_strong(expected, 1)) {
      std::memcpy(g_temp_slots[i].name, name.c_str(), name.size() + 1);
      g_temp_slots[i].state.store(2);
      return i;
    }
  }
  return -1;
}

void unlist_temp(int& slot) {
  if (slot >= 0) g_temp_slots[slot].state.store(0);
  slot = -1;
}

extern "C" void remove_temps_and_end(int signal) {
  for (TempSlot& slot : g_temp_slots) {
    if (slot.state.load() == 2) ::unlink(slot.name);
  }
  // SA_RESETHAND has put back the default action, which ends the program.
  ::raise(signal);
}

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

// Follows `path` through symbolic links to the file they lead to, which
// need not exist yet (a dangling link names the file to create).  A
// relative link is resolved against the folder holding the link.  False
// with errno set when a link cannot be read or the chain does not end.
bool follow_links(std::string& path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat entry {};
    if (::lstat(path.c_str(), &entry) != 0 || !S_ISLNK(entry.st_mode)) return true;
    std::string to(entry.st_size > 0 ? static_cast<std::size_t>(entry.st_size) + 1 : 4096, '\0');
    const ssize_t n = ::readlink(path.c_str(), to.data(), to.size());
    if (n < 0) return false;
    if (static_cast<std::size_t>(n) >= to.size() || n == 0) {
      // Changed under us, or a link to nothing.
      errno = n == 0 ? ENOENT : EAGAIN;
      return false;
    }
    to.resize(static_cast<std::size_t>(n));
    if (to[0] != '/') {
      std::string folder, name;
      split_path(path, folder, name);
      to = (folder == "/" ? "/" : folder + "/") + to;
    }
    path = std::move(to);
  }
  errno = ELOOP;
  return false;
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
  unlist_temp(slot_);
}

bool AtomicFile::open(const std::string& path) {
  discard();
  path_ = path;
  failed_ = false;
  why_.clear();
  buffer_.clear();
  in_place_ = false;
  if (path.empty()) return fail(ENOENT);

  struct stat target {};
  const bool exists = ::stat(path.c_str(), &target) == 0;
  if (exists && S_ISDIR(target.st_mode)) return fail(EISDIR);
  if (path.back() == '/') return fail(exists ? ENOTDIR : EISDIR);
  if (exists && (S_ISCHR(target.st_mode) || S_ISFIFO(target.st_mode) || S_ISSOCK(target.st_mode) ||
                 S_ISBLK(target.st_mode))) {
    return open_in_place();
  }
  if (!follow_links(path_)) return fail(errno);
  if (path_.back() == '/') return fail(EISDIR);

  std::string folder, name;
  split_path(path_, folder, name);
  // A hidden name in the same folder, short enough for any file system even
  // when the target's name is at the limit.
  static std::atomic<unsigned> counter{0};
  const std::string stem = "." + name.substr(0, 160) + ".tmp" + std::to_string(::getpid()) + "_";
  for (int attempt = 0; attempt < 100; ++attempt) {
    std::string candidate = (folder == "/" ? "/" : folder + "/") + stem + std::to_string(counter++);
    // Listed before it exists, so that no signal finds it unlisted.
    slot_ = list_temp(candidate);
    fd_ = ::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd_ >= 0) {
      temp_ = std::move(candidate);
      break;
    }
    const int error = errno;
    unlist_temp(slot_);
    if (error != EEXIST) return fail(error);
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

bool AtomicFile::open_in_place() {
  // Opening a pipe waits for its reader, as any writer of a pipe does.
  fd_ = ::open(path_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
  if (fd_ < 0) return fail(errno);
  in_place_ = true;
  buffer_.reserve(kBufferBytes);
  return true;
}

bool AtomicFile::open_descriptor(int fd) {
  discard();
  path_.clear();
  failed_ = false;
  why_.clear();
  buffer_.clear();
  fd_ = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (fd_ < 0) return fail(errno);
  in_place_ = true;
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
  if (in_place_) {
    // Nothing to sync or rename: the bytes went straight to the device.
    if (!failed_) flush();
    const int closed = fd_ >= 0 ? ::close(fd_) : 0;
    fd_ = -1;
    if (closed != 0) fail(errno);
    return !failed_;
  }
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
  unlist_temp(slot_);
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

void remove_temporary_files_on_signals() {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    struct sigaction old {};
    if (::sigaction(signal, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = remove_temps_and_end;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    ::sigaction(signal, &action, nullptr);
  }
}

bool write_file_atomically(const std::string& path, std::string_view bytes, std::string* why) {
  AtomicFile file;
  const bool ok = file.open(path) && file.write(bytes) && file.commit();
  if (!ok && why) *why = file.why();
  return ok;
}

}  // namespace fieldscan
