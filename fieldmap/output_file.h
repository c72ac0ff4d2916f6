// A file written in pieces and put in place only when complete: the text
// goes to a new temporary file beside the target, which is synced and
// renamed over the target by commit().  Until then the target keeps its old
// contents; a writer destroyed without a successful commit removes its
// temporary file.  A target that is not a regular file (a device or a pipe)
// is written directly, and a symbolic link is followed, so that the link
// stays and the file it leads to is replaced.
#pragma once

#include <string>
#include <string_view>

namespace fieldscan::fieldmap {

class OutputFile {
 public:
  OutputFile() = default;
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;
  ~OutputFile();

  // Creates the temporary file for `path`.  False with the reason in
  // error() when it cannot be created.
  bool open(const std::string& path);
  // Appends `bytes`.  False (and error() set) once a write has failed.
  bool write(std::string_view bytes);
  // Flushes, syncs, closes and renames over the target.  False with the
  // reason in error(), the target untouched and no temporary file left.
  bool commit();
  const std::string& error() const { return error_; }

 private:
  bool write_all(std::string_view bytes);
  bool flush();
  void discard();

  std::string path_, temp_;
  std::string buffer_;
  std::string error_;
  int fd_ = -1;
  bool in_place_ = false;  // a device or pipe, written directly
};

}  // namespace fieldscan::fieldmap
