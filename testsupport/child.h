// Test support: a child process whose standard input is written and whose
// standard output and error stream are read while it runs, as a parent
// (a shell, a pipeline) sees them.  The child is a program started with
// exec, or a function run in a fork of the test program.
//
// The child starts with the default disposition of SIGPIPE and an empty
// signal mask whatever the test program has set, so a child that writes to
// a pipe without a reader meets the signal as it would from a shell.
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace fieldscan::testsupport {

struct ChildOptions {
  std::string working_directory;  // empty: the test's own
  std::string stdout_path;        // non-empty: standard output goes to this file
  bool merge_stderr = false;      // standard error into standard output, in order
  bool close_stdin = false;       // start with the standard stream closed
  bool close_stdout = false;
  bool close_stderr = false;
  bool nonblocking_stdin = false;  // standard input (a pipe) has O_NONBLOCK set
  bool unprivileged = false;       // run as user and group 65534 when started as root
  double timeout_seconds = 20.0;   // finish() kills a child still running after this
};

struct ChildResult {
  std::string out;
  std::string err;         // empty with merge_stderr
  int exit_code = -1;      // WEXITSTATUS, -1 when ended by a signal
  int signal = 0;          // the ending signal, 0 when it exited
  bool timed_out = false;  // killed by the helper
};

class Child {
 public:
  // Starts `program` with `args` (argv[0] is `program`).
  Child(const std::string& program, const std::vector<std::string>& args,
        const ChildOptions& options = {});
  // Runs `body` in a fork of the test program; the child exits with 0 when
  // `body` returns.
  Child(const std::function<void()>& body, const ChildOptions& options = {});
  ~Child();  // a child still running is killed
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;

  pid_t pid() const { return pid_; }

  // Queues bytes for standard input; they are written while pumping.
  void write(std::string_view bytes) { pending_.append(bytes); }
  // Closes the test's end of standard output, as a reader that goes away.
  void close_output_reader();

  // Pumps the streams until `done` holds (true), or the child's output ends
  // or `timeout_seconds` pass (false).
  bool pump_until(const std::function<bool()>& done, double timeout_seconds = 20.0);
  // Pumps until the child sleeps in the kernel (blocked on a read, an open
  // or a wait) and true, or it has ended or time runs out and false.
  bool pump_until_asleep(double timeout_seconds = 20.0);

  // Writes what is queued, closes standard input, reads the streams to
  // their end and waits for the child; kills it when the options' time is up.
  ChildResult finish();
  // Kills the child at once and collects what it wrote.
  ChildResult kill_and_finish();

  const std::string& out() const { return result_.out; }
  // A field of /proc/<pid>/status in kB (VmRSS, VmHWM), -1 if missing.
  long status_kb(const std::string& field) const;

 private:
  void start(const std::function<void()>& in_child, const ChildOptions& options);
  void pump(int timeout_ms);
  void wait_for_exit();

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
  bool close_input_when_written_ = false;
  double timeout_seconds_ = 20.0;
  std::string pending_;      // queued for standard input
  std::size_t written_ = 0;  // bytes of pending_ already written
  ChildResult result_;
};

// Runs `program` with `args`, feeding `input` on standard input.
ChildResult run_program(const std::string& program, const std::vector<std::string>& args,
                        std::string_view input, const ChildOptions& options = {});

// Runs `body` in a fork of the test program, with nothing on standard input.
ChildResult run_in_child(const std::function<void()>& body, const ChildOptions& options = {});

// Waits until thread or process `task` sleeps in the kernel (state S in
// /proc); false when it is gone or time runs out.
bool wait_until_asleep(pid_t task, double timeout_seconds = 20.0);

}  // namespace fieldscan::testsupport
