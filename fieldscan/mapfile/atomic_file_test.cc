#include "fieldscan/mapfile/atomic_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/child.h"
#include "testsupport/temp_dir.h"

// The error the next fsync() of this test program fails with (0: none).  The
// definition below stands in for the C library's, so the tests see whether
// and when a file is synced.
std::atomic<int> g_fsync_error{0};

extern "C" int fsync(int fd) {
  if (const int error = g_fsync_error.exchange(0)) {
    errno = error;
    return -1;
  }
  return static_cast<int>(::syscall(SYS_fsync, fd));
}

namespace fieldscan {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Entries(const testsupport::TempDir& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir.path())) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

// Links are followed to the file they lead to, which is replaced; every link
// of the chain stays a link and nothing else appears in the folder.
TEST(AtomicFileTest, SymbolicLinksLeadToTheFileReplaced) {
  struct Row {
    const char* name;
    std::vector<std::pair<std::string, std::string>> links;  // link name, leads to
    bool target_exists;
  };
  const Row rows[] = {
      {"relative", {{"link", "real"}}, true},
      {"absolute", {{"link", "@/real"}}, true},
      {"chain", {{"link", "mid"}, {"mid", "sub/../real"}}, true},
      {"dangling", {{"link", "real"}}, false},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testsupport::TempDir dir;
    fs::create_directory(dir.path() / "sub");
    if (row.target_exists) {
      ASSERT_TRUE(write_file_atomically(dir.file("real"), "old"));
      fs::permissions(dir.file("real"), fs::perms::owner_read | fs::perms::owner_write);
    }
    for (const auto& [link, to] : row.links) {
      fs::create_symlink(to[0] == '@' ? dir.path().string() + to.substr(1) : to, dir.file(link));
    }
    std::string why;
    ASSERT_TRUE(write_file_atomically(dir.file("link"), "new bytes", &why)) << why;
    EXPECT_EQ(dir.contents("real"), "new bytes");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(dir.file("real"))));
    for (const auto& [link, to] : row.links) EXPECT_TRUE(fs::is_symlink(dir.file(link))) << link;
    if (row.target_exists) {
      EXPECT_EQ(fs::status(dir.file("real")).permissions() & fs::perms::all,
                fs::perms::owner_read | fs::perms::owner_write);
    }
    EXPECT_EQ(Entries(dir).size(), row.links.size() + 2);  // links, real, sub
  }
}

// A character device (1, minor) to write to.  As root it is made in `dir`,
// so that a fault replacing the node cannot harm the machine's own /dev;
// otherwise the machine's device, which only root could replace.  "" when
// neither is safe to use.
std::string Device(const testsupport::TempDir& dir, const char* name, unsigned minor) {
  const std::string own = dir.file(name);
  if (::mknod(own.c_str(), S_IFCHR | 0666, ::makedev(1, minor)) == 0) {
    const int fd = ::open(own.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
      ::close(fd);
      return own;
    }
    ::unlink(own.c_str());  // a file system without devices
  }
  return ::geteuid() == 0 ? "" : std::string("/dev/") + name;
}

// Devices are written where they are; a directory or a device that fails the
// write gives the system's text, and the node is never replaced.
TEST(AtomicFileTest, DevicesAreWrittenInPlaceAndDirectoriesRefused) {
  testsupport::TempDir dir;
  fs::create_directory(dir.path() / "folder");
  fs::create_directory_symlink("folder", dir.path() / "to_folder");
  struct Row {
    std::string path;
    const char* why;  // "" when the write succeeds
    fs::file_type type_after;
  };
  const Row rows[] = {
      {Device(dir, "null", 3), "", fs::file_type::character},
      {Device(dir, "full", 7), "No space left on device", fs::file_type::character},
      {dir.file("folder"), "Is a directory", fs::file_type::directory},
      {dir.file("to_folder"), "Is a directory", fs::file_type::directory},
      {dir.file("folder") + "/", "Is a directory", fs::file_type::directory},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    if (row.path.empty()) continue;
    std::string why;
    EXPECT_EQ(write_file_atomically(row.path, std::string(100000, 'x'), &why), *row.why == '\0');
    EXPECT_EQ(why, row.why);
    EXPECT_EQ(fs::status(row.path).type(), row.type_after);
  }
  for (const std::string& name : Entries(dir)) EXPECT_NE(name[0], '.') << name;
  EXPECT_TRUE(fs::is_empty(dir.path() / "folder"));
}

// A commit that fails at the sync or at the rename says so, leaves the
// target as it was and removes its temporary file.
TEST(AtomicFileTest, FailedCommitLeavesTargetAndNoTemporaryFile) {
  struct Row {
    const char* name;
    int fsync_error;          // the sync fails with it
    bool target_becomes_dir;  // the rename fails: the target is now a folder
    const char* why;
  };
  const Row rows[] = {
      {"sync fails", EIO, false, "Input/output error"},
      {"rename fails", 0, true, "Is a directory"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    testsupport::TempDir dir;
    const std::string target = dir.file("target");
    if (!row.target_becomes_dir) {
      ASSERT_TRUE(write_file_atomically(target, "old"));
    }
    AtomicFile file;
    ASSERT_TRUE(file.open(target));
    ASSERT_TRUE(file.write("new"));
    if (row.target_becomes_dir) fs::create_directory(target);
    g_fsync_error = row.fsync_error;
    EXPECT_FALSE(file.commit());
    g_fsync_error = 0;
    EXPECT_EQ(file.why(), row.why);
    EXPECT_EQ(Entries(dir), std::vector<std::string>{"target"});
    if (!row.target_becomes_dir) {
      EXPECT_EQ(dir.contents("target"), "old");
    }
  }
}

// A program that ends by SIGINT, SIGTERM or SIGHUP while writing leaves no
// temporary file, and still ends by that signal.
TEST(AtomicFileTest, SignalsRemoveTheTemporaryFile) {
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    SCOPED_TRACE(signal);
    testsupport::TempDir dir;
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    testsupport::Child child([&] {
      remove_temporary_files_on_signals();
      AtomicFile first, second;
      if (!first.open(dir.file("a")) || !second.open(dir.file("b")) || !first.write("bytes")) {
        std::_Exit(3);
      }
      (void)!::write(ready[1], "x", 1);
      for (;;) ::pause();
    });
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(Entries(dir).size(), 2u);
    ::kill(child.pid(), signal);
    const testsupport::ChildResult result = child.finish();
    EXPECT_EQ(result.signal, signal);
    EXPECT_EQ(Entries(dir), std::vector<std::string>{});
  }
}

TEST(AtomicFileTest, FifoIsWrittenToItsReader) {
  testsupport::TempDir dir;
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // More than the buffer and the pipe hold, so the writer waits on the reader.
  std::string bytes(300000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  // The read end, and a second writer that keeps the reader from seeing the
  // end of the pipe before the file under test has written (or, had it
  // replaced the pipe, never written at all).
  const int in = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_GE(in, 0);
  const int keep = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(keep, 0);
  ASSERT_EQ(::fcntl(in, F_SETFL, 0), 0);
  std::string got;
  std::thread reader([&] {
    char chunk[4096];
    for (ssize_t n; (n = ::read(in, chunk, sizeof chunk)) > 0;) {
      got.append(chunk, static_cast<std::size_t>(n));
    }
  });
  std::string why;
  const bool ok = write_file_atomically(fifo, bytes, &why);
  ::close(keep);
  reader.join();
  ::close(in);
  EXPECT_TRUE(ok) << why;
  EXPECT_TRUE(got == bytes) << got.size() << " bytes read";
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(Entries(dir), std::vector<std::string>{"pipe"});
}

}  // namespace
}  // namespace fieldscan
