// The output file of a command: written in pieces and put in place only
// when complete (through AtomicFile: a temporary file beside the target,
// synced and renamed over it by commit()).  A target that is not a regular
// file (a device such as /dev/stdout, or a pipe) cannot be replaced and is
// written directly; a symbolic link is followed, so that the link stays and
// the file it leads to is replaced.
#pragma once

#include <string>
#include <string_view>

#include "mapfile/atomic_file.h"

namespace fieldscan::fieldmap {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // False with the reason in error() when the file cannot be created.
  bool open(const std::string& path);
  // Appends `bytes`.  False (and error() set) once a write has failed.
  bool write(std::string_view bytes);
  // Completes the file.  False with the reason in error(); a replaced
  // target is then unchanged and no temporary file is left.
  bool commit();
  std::string error() const;

 private:
  bool write_all(std::string_view bytes);

  AtomicFile file_;
  int fd_ = -1;  // a device or pipe written in place
  std::string error_;
};

}  // namespace fieldscan::fieldmap
