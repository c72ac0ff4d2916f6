// The fieldmap command line: subcommands info, convert and export.
//
// Exit status: 0 done; 1 the work failed (a map that does not load, a table
// that does not convert, a file that cannot be read or written), with one
// message on standard error; 2 a wrong call, with the problem and the usage
// on standard error.  "fieldmap --help" writes the usage on standard output.
// No input ends a call through an exception: running out of memory, say, is
// a failure with its message.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace fieldscan::fieldmap {

struct CliStreams {
  std::string out;  // for standard output
  std::string err;  // for standard error
  // When set, progress lines of long conversions go here at once (the
  // caller sets it only when standard error is a terminal).
  std::function<void(std::string_view)> progress;
  // When set, subcommands whose output may be long (sample) write standard
  // output through it in pieces instead of into `out`; it returns false
  // when standard output cannot be written.
  std::function<bool(std::string_view)> write_out;
};

// Runs one call; `args` are the arguments after the program name.
int run_fieldmap(const std::vector<std::string>& args, CliStreams& io);

// The usage text ("fieldmap --help").
std::string usage();

// Its first lines, the forms of the call (shown after a wrong call).
std::string synopsis();

// A wrong call, thrown while the arguments are read and caught by the
// subcommand, which reports it with usage_error.
struct UsageError {
  std::string problem;
};

// Reports a wrong call: the problem, the forms of the call and where to
// read more, on standard error.  Returns the status of a wrong call, 2.
int usage_error(CliStreams& io, const std::string& problem);

}  // namespace fieldscan::fieldmap
