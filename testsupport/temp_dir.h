// Test support: a fresh directory under the system's temporary directory,
// removed with everything in it when the helper goes out of scope.
#pragma once

#include <filesystem>
#include <string>

namespace fieldscan::testsupport {

class TempDir {
 public:
  TempDir();  // aborts the test program when no directory can be made
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  // The full name of `name` inside the directory.
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  // The bytes of file `name` inside the directory ("" when it cannot be read).
  std::string contents(const std::string& name) const;

 private:
  std::filesystem::path path_;
};

}  // namespace fieldscan::testsupport
