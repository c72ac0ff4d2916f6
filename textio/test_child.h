// Test helper: runs a function in a forked child process whose standard
// output and standard error go to temporary files, and reports what the
// parent observes (both streams byte for byte and the exit status).
#pragma once

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

namespace fieldscan::testing {

struct ChildResult {
  std::string out;
  std::string err;     // empty when merged into `out`
  int exit_code = -1;  // WEXITSTATUS, -1 when ended by a signal
  int signal = 0;      // the ending signal, 0 when it exited
};

inline std::string read_whole(std::FILE* f) {
  std::string s;
  std::rewind(f);
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) s.append(buf, n);
  return s;
}

// `body` runs in the child, which then ends with status 0 unless `body`
// ends it.  With `merge`, standard error goes to the same file as standard
// output, so the order of the two is seen.  A child still running after
// 20 seconds is ended by SIGALRM.
inline ChildResult run_in_child(const std::function<void()>& body, bool merge = false) {
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  if (out == nullptr || err == nullptr) std::abort();
  std::fflush(nullptr);  // nothing buffered may be written twice
  const pid_t pid = fork();
  if (pid < 0) std::abort();
  if (pid == 0) {
    alarm(20);
    dup2(fileno(out), STDOUT_FILENO);
    dup2(fileno(merge ? out : err), STDERR_FILENO);
    body();
    _exit(0);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
  }
  ChildResult r;
  r.out = read_whole(out);
  r.err = read_whole(err);
  std::fclose(out);
  std::fclose(err);
  if (WIFEXITED(status)) r.exit_code = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) r.signal = WTERMSIG(status);
  return r;
}

}  // namespace fieldscan::testing
