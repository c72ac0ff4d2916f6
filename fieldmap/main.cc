// fieldmap: converts field tables to map files and back, and describes maps.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "fieldmap/cli.h"
#include "fieldscan/mapfile/atomic_file.h"

namespace {

// A standard stream the caller closed ("fieldmap ... >&-") gets /dev/null
// opened the wrong way round in its place: every use of it then fails, and
// no file opened later takes its number and receives what was meant for it.
void hold_closed_streams() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) < 0 && errno == EBADF) {
      ::open("/dev/null", (fd == 0 ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
    }
  }
}

// Writes all of `text` to `fd`; false with errno set on failure.
bool write_all(int fd, std::string_view text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  hold_closed_streams();
  // An interrupted or terminated run leaves no temporary file behind.
  fieldscan::remove_temporary_files_on_signals();
  // A closed pipe on standard output, or a file size limit reached while
  // writing, is a write error with a message, not an end by a signal.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  fieldscan::fieldmap::CliStreams io;
  if (isatty(STDERR_FILENO)) {
    io.progress = [](std::string_view text) {
      std::fwrite(text.data(), 1, text.size(), stderr);
      std::fflush(stderr);
    };
  }
  io.write_out = [](std::string_view text) { return write_all(STDOUT_FILENO, text); };
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : argc), argv + argc);
  int status = fieldscan::fieldmap::run_fieldmap(args, io);
  if (!write_all(STDOUT_FILENO, io.out)) {
    io.err +=
        std::string("fieldmap: cannot write to standard output: ") + std::strerror(errno) + "\n";
    status = 1;
  }
  write_all(STDERR_FILENO, io.err);
  return status;
}
