#include "testsupport/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <string>

namespace fieldscan::testsupport {
namespace {

double now_seconds() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// The scheduler state of `task` (R, S, D, Z, ...), or 0 when it is gone.
char task_state(pid_t task) {
  std::ifstream in("/proc/" + std::to_string(task) + "/stat");
  std::string line;
  if (!std::getline(in, line)) return 0;
  const std::size_t paren = line.rfind(')');
  return paren != std::string::npos && paren + 2 < line.size() ? line[paren + 2] : 0;
}

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

}  // namespace

Child::Child(const std::string& program, const std::vector<std::string>& args,
             const ChildOptions& options) {
  std::vector<std::string> storage{program};
  storage.insert(storage.end(), args.begin(), args.end());
  start(
      [&storage] {
        std::vector<char*> argv;
        for (auto& a : storage) argv.push_back(a.data());
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        _exit(127);
      },
      options);
}

Child::Child(const std::function<void()>& body, const ChildOptions& options) {
  start(
      [&body] {
        body();
        _exit(0);
      },
      options);
}

Child::~Child() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    wait_for_exit();
  }
  close_fd(in_);
  close_fd(out_);
  close_fd(err_);
}

void Child::start(const std::function<void()>& in_child, const ChildOptions& options) {
  // Writes to a child that stopped reading must fail, not end the test.
  timeout_seconds_ = options.timeout_seconds;
  static const bool ignored = [] { return ::signal(SIGPIPE, SIG_IGN) != SIG_ERR; }();
  (void)ignored;
  int in[2], out[2], err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0)
    std::abort();
  std::fflush(nullptr);  // nothing buffered may be written twice
  pid_ = ::fork();
  if (pid_ < 0) std::abort();
  if (pid_ == 0) {
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    if (!options.working_directory.empty() && ::chdir(options.working_directory.c_str()) != 0)
      _exit(127);
    // Permission checks do not apply to root: tests of unreadable files run
    // the child as the unprivileged user instead.
    if (options.unprivileged && ::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0))
      _exit(127);
    ::dup2(in[0], STDIN_FILENO);
    if (options.nonblocking_stdin) ::fcntl(STDIN_FILENO, F_SETFL, O_NONBLOCK);
    if (!options.stdout_path.empty()) {
      const int fd = ::open(options.stdout_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd < 0) _exit(127);
      ::dup2(fd, STDOUT_FILENO);
      ::close(fd);
    } else {
      ::dup2(out[1], STDOUT_FILENO);
    }
    ::dup2(options.merge_stderr ? STDOUT_FILENO : err[1], STDERR_FILENO);
    for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1]}) ::close(fd);
    if (options.close_stdin) ::close(STDIN_FILENO);
    if (options.close_stdout) ::close(STDOUT_FILENO);
    if (options.close_stderr) ::close(STDERR_FILENO);
    in_child();
    _exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  in_ = in[1];
  out_ = out[0];
  err_ = err[0];
  for (int fd : {in_, out_, err_}) ::fcntl(fd, F_SETFL, O_NONBLOCK);
}

void Child::close_output_reader() { close_fd(out_); }

void Child::pump(int timeout_ms) {
  if (in_ >= 0 && pending_.empty() && close_input_when_written_) close_fd(in_);
  pollfd fds[3];
  int n = 0;
  if (out_ >= 0) fds[n++] = {out_, POLLIN, 0};
  if (err_ >= 0) fds[n++] = {err_, POLLIN, 0};
  if (in_ >= 0 && !pending_.empty()) fds[n++] = {in_, POLLOUT, 0};
  if (n == 0) {
    ::poll(nullptr, 0, timeout_ms);
    return;
  }
  if (::poll(fds, n, timeout_ms) < 0 && errno != EINTR) std::abort();
  for (int i = 0; i < n; ++i) {
    if (fds[i].revents == 0) continue;
    if (fds[i].fd == in_) {
      const ssize_t w = ::write(in_, pending_.data() + written_, pending_.size() - written_);
      if (w > 0) written_ += static_cast<std::size_t>(w);
      if (w < 0 && errno != EAGAIN && errno != EINTR) written_ = pending_.size();  // reader gone
      if (written_ == pending_.size()) {
        pending_.clear();
        written_ = 0;
      }
      continue;
    }
    char buf[65536];
    const ssize_t r = ::read(fds[i].fd, buf, sizeof buf);
    const bool is_out = fds[i].fd == out_;
    if (r > 0) {
      (is_out ? result_.out : result_.err).append(buf, static_cast<std::size_t>(r));
    } else if (r == 0 || (errno != EINTR && errno != EAGAIN)) {
      close_fd(is_out ? out_ : err_);
    }
  }
}

bool Child::pump_until(const std::function<bool()>& done, double timeout_seconds) {
  const double deadline = now_seconds() + timeout_seconds;
  while (!done()) {
    if (out_ < 0 || now_seconds() > deadline) return false;
    pump(10);
  }
  return true;
}

bool Child::pump_until_asleep(double timeout_seconds) {
  const double deadline = now_seconds() + timeout_seconds;
  for (;;) {
    pump(0);
    const char state = task_state(pid_);
    if (state == 'S') return true;
    if (state == 0 || state == 'Z' || now_seconds() > deadline) return false;
    ::usleep(200);
  }
}

ChildResult Child::finish() {
  close_input_when_written_ = true;
  const double deadline = now_seconds() + timeout_seconds_;
  while (out_ >= 0 || err_ >= 0 || (in_ >= 0 && !pending_.empty())) {
    if (now_seconds() > deadline) {
      result_.timed_out = true;
      ::kill(pid_, SIGKILL);
      break;
    }
    pump(10);
  }
  close_fd(in_);
  close_fd(out_);
  close_fd(err_);
  wait_for_exit();
  return result_;
}

ChildResult Child::kill_and_finish() {
  ::kill(pid_, SIGKILL);
  return finish();
}

void Child::wait_for_exit() {
  int status = 0;
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  pid_ = -1;
  if (WIFEXITED(status)) result_.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result_.signal = WTERMSIG(status);
}

long Child::status_kb(const std::string& field) const {
  std::ifstream in("/proc/" + std::to_string(pid_) + "/status");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  }
  return -1;
}

ChildResult run_program(const std::string& program, const std::vector<std::string>& args,
                        std::string_view input, const ChildOptions& options) {
  Child child(program, args, options);
  child.write(input);
  return child.finish();
}

ChildResult run_in_child(const std::function<void()>& body, const ChildOptions& options) {
  Child child(body, options);
  return child.finish();
}

bool wait_until_asleep(pid_t task, double timeout_seconds) {
  const double deadline = now_seconds() + timeout_seconds;
  for (;;) {
    const char state = task_state(task);
    if (state == 'S') return true;
    if (state == 0 || state == 'Z' || now_seconds() > deadline) return false;
    ::usleep(200);
  }
}

}  // namespace fieldscan::testsupport
