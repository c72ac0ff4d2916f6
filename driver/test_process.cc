#include "driver/test_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace fieldscan::testing {
namespace {

double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

}  // namespace

const char* fieldscan_binary() { return FIELDSCAN_BINARY; }

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const ProcessOptions& options) {
  int in_pipe[2], out_pipe[2], err_pipe[2];
  if (pipe(in_pipe) != 0 || pipe(out_pipe) != 0 || pipe(err_pipe) != 0) std::abort();

  std::vector<std::string> argv_storage;
  argv_storage.push_back(program);
  argv_storage.insert(argv_storage.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_storage) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    if (!options.working_directory.empty() && chdir(options.working_directory.c_str()) != 0)
      _exit(127);
    // Permission checks do not apply to root: tests of unreadable files run
    // the child as the unprivileged user instead.
    if (options.unprivileged && geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
      _exit(127);
    dup2(in_pipe[0], STDIN_FILENO);
    if (!options.stdout_path.empty()) {
      const int fd = open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) _exit(127);
      dup2(fd, STDOUT_FILENO);
      close(fd);
    } else {
      dup2(out_pipe[1], STDOUT_FILENO);
    }
    dup2(err_pipe[1], STDERR_FILENO);
    for (int fd : {in_pipe[0], in_pipe[1], out_pipe[0], out_pipe[1], err_pipe[0], err_pipe[1]})
      close(fd);
    if (options.close_stdin) close(STDIN_FILENO);
    if (options.close_stdout) close(STDOUT_FILENO);
    execv(program.c_str(), argv.data());
    _exit(127);
  }
  close(in_pipe[0]);
  close(out_pipe[1]);
  close(err_pipe[1]);
  // The child may stop reading (or never start): writes must not block us.
  signal(SIGPIPE, SIG_IGN);
  fcntl(in_pipe[1], F_SETFL, O_NONBLOCK);

  ProcessResult result;
  std::size_t written = 0;
  int in_fd = in_pipe[1];
  if (options.stdin_bytes.empty()) {
    close(in_fd);
    in_fd = -1;
  }
  bool out_open = true, err_open = true;
  const double deadline = now_seconds() + options.timeout_seconds;
  while (out_open || err_open) {
    pollfd fds[3];
    int n = 0;
    if (out_open) fds[n++] = {out_pipe[0], POLLIN, 0};
    if (err_open) fds[n++] = {err_pipe[0], POLLIN, 0};
    if (in_fd >= 0) fds[n++] = {in_fd, POLLOUT, 0};
    const double left = deadline - now_seconds();
    if (left <= 0) {
      result.timed_out = true;
      kill(pid, SIGKILL);
      break;
    }
    const int ready = poll(fds, n, static_cast<int>(left * 1000) + 1);
    if (ready < 0 && errno != EINTR) std::abort();
    for (int i = 0; i < n; ++i) {
      if (fds[i].revents == 0) continue;
      if (fds[i].fd == in_fd) {
        const ssize_t w = write(in_fd, options.stdin_bytes.data() + written,
                                options.stdin_bytes.size() - written);
        if (w > 0) written += static_cast<std::size_t>(w);
        if (w < 0 && errno != EAGAIN && errno != EINTR) written = options.stdin_bytes.size();
        if (written == options.stdin_bytes.size()) {
          close(in_fd);
          in_fd = -1;
        }
        continue;
      }
      char buf[65536];
      const ssize_t r = read(fds[i].fd, buf, sizeof buf);
      if (r > 0) {
        (fds[i].fd == out_pipe[0] ? result.out : result.err).append(buf, static_cast<std::size_t>(r));
      } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
        if (fds[i].fd == out_pipe[0]) out_open = false;
        else err_open = false;
      }
    }
  }
  if (in_fd >= 0) close(in_fd);
  close(out_pipe[0]);
  close(err_pipe[0]);
  int status = 0;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) {
    result.exit_code = WEXITSTATUS(status);
  } else if (WIFSIGNALED(status)) {
    result.signal = WTERMSIG(status);
  }
  return result;
}

}  // namespace fieldscan::testing
