// Runs a program as a child process with scripted standard input, for the
// end-to-end tests: captures standard output and standard error byte for
// byte and the exit status that a parent observes.
#pragma once

#include <string>
#include <vector>

namespace fieldscan::testing {

struct ProcessResult {
  std::string out;
  std::string err;
  int exit_code = -1;   // WEXITSTATUS, or -1 when killed by a signal
  int signal = 0;       // the terminating signal, 0 when it exited
  bool timed_out = false;
};

struct ProcessOptions {
  std::string working_directory;   // empty: the test's own
  std::string stdin_bytes;
  bool close_stdin = false;        // start with standard input closed
  std::string stdout_path;         // non-empty: standard output goes to this file
  bool close_stdout = false;       // start with standard output closed
  bool unprivileged = false;       // run as user and group 65534 when started as root
  double timeout_seconds = 20.0;
};

ProcessResult run_process(const std::string& program, const std::vector<std::string>& args,
                          const ProcessOptions& options);

// The fieldscan binary of this build.
const char* fieldscan_binary();

}  // namespace fieldscan::testing
