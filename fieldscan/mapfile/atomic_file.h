// Writing a file so that it is either complete or not changed at all.
//
// The bytes go to a temporary file beside the target (same folder, so the
// final rename stays within one file system), which is flushed to the disk
// and then renamed over the target.  Until commit() succeeds the target is
// exactly as it was; on any failure the temporary file is removed.  A target
// that already exists as a regular file keeps its permission bits; a new one
// gets the usual 0666 less the umask.
//
// Targets that are not regular files are never replaced by one:
//  - a symbolic link is followed (through any chain of links) and the file it
//    leads to is replaced the same way, so the link stays a link;
//  - a character device, pipe or socket (/dev/stdout, /dev/null, a FIFO) is
//    opened and written in place, as there is nothing to put beside it;
//  - a directory is refused ("Is a directory").
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace fieldscan {

class AtomicFile {
 public:
  AtomicFile() = default;
  AtomicFile(const AtomicFile&) = delete;
  AtomicFile& operator=(const AtomicFile&) = delete;
  // Removes the temporary file unless commit() succeeded.
  ~AtomicFile();

  // Creates the temporary file for `path` (or opens a device or pipe in
  // place).  False, with the system's text for the reason ("Is a
  // directory", "Permission denied", ...) in why(), when that fails.
  bool open(const std::string& path);

  // Writes to the open descriptor `fd` (standard output, say) in place, as
  // to a device: commit() flushes, and `fd` itself stays open.
  bool open_descriptor(int fd);

  // Appends bytes (buffered).  After the first failure every further call
  // does nothing and returns false; why() tells the first reason.
  bool write(std::string_view bytes);

  // Writes out the buffer, syncs and closes the temporary file and renames
  // it over the target.  False, the target unchanged and the temporary file
  // removed, on failure.  A device or pipe is only flushed and closed.
  bool commit();

  // The reason of the first failure.
  const std::string& why() const { return why_; }

 private:
  bool fail(int error);
  bool flush();
  void discard();

  bool open_in_place();

  std::string path_;  // the file replaced: `path` with links followed
  std::string temp_;
  int slot_ = -1;          // where temp_ is listed for the signal handler, -1: not listed
  bool in_place_ = false;  // writing straight to a device or pipe
  int fd_ = -1;
  bool failed_ = false;
  std::string why_;
  std::vector<char> buffer_;
};

// Makes SIGINT, SIGTERM and SIGHUP remove the temporary files of the
// AtomicFiles being written, after which the program ends by the signal as
// it would have without the handler.  A signal the program ignores stays
// ignored.  For a program's main(): it replaces the handlers of the process.
void remove_temporary_files_on_signals();

// Writes `bytes` to `path` through an AtomicFile.  False, with the reason
// in `why` (when given), on failure.
bool write_file_atomically(const std::string& path, std::string_view bytes,
                           std::string* why = nullptr);

}  // namespace fieldscan
