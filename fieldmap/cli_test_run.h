// Running the fieldmap command in process, as its tests do.
#pragma once

#include <string>
#include <vector>

#include "fieldmap/cli.h"

namespace fieldscan::fieldmap {

// What one run gave: the exit status and what went to standard output and
// standard error.
struct Outcome {
  int status;
  std::string out, err;
};

inline Outcome run(const std::vector<std::string>& args) {
  CliStreams io;
  const int status = run_fieldmap(args, io);
  return {status, io.out, io.err};
}

}  // namespace fieldscan::fieldmap
