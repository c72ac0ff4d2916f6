// fieldmap: converts field tables to map files and back, and describes maps.
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

#include "fieldmap/cli.h"

int main(int argc, char** argv) {
  fieldscan::fieldmap::CliStreams io;
  if (isatty(STDERR_FILENO)) {
    io.progress = [](std::string_view text) {
      std::fwrite(text.data(), 1, text.size(), stderr);
      std::fflush(stderr);
    };
  }
  io.write_out = [](std::string_view text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
  };
  const std::vector<std::string> args(argv + (argc > 0 ? 1 : argc), argv + argc);
  const int status = fieldscan::fieldmap::run_fieldmap(args, io);
  std::fwrite(io.out.data(), 1, io.out.size(), stdout);
  std::fwrite(io.err.data(), 1, io.err.size(), stderr);
  return std::fflush(stdout) == 0 ? status : 1;
}
