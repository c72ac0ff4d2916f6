// The scan driver: start-up, map loading, the map header and the endless
// dialogue of scan requests.
#pragma once

namespace fieldscan {

// Runs the tool on the console (standard input, output and error) with the
// command-line arguments; returns the exit status of an orderly end (0).
// Fatal ends leave through a severe diagnostic, which ends the process.
int run(int argc, char** argv);

// The same on the given descriptors for standard input and output (the
// diagnostics still go to the standard error stream).  A severe diagnostic
// ends the process unless a handler installed with set_severe_handler
// leaves by an exception.
int run_session(int argc, char** argv, int input_fd, int output_fd);

}  // namespace fieldscan
