#include "mapfile/atomic_file.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/temp_dir.h"

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
      {"/dev/null", "", fs::file_type::character},
      {"/dev/full", "No space left on device", fs::file_type::character},
      {dir.file("folder"), "Is a directory", fs::file_type::directory},
      {dir.file("to_folder"), "Is a directory", fs::file_type::directory},
      {dir.file("folder") + "/", "Is a directory", fs::file_type::directory},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.path);
    if (row.path.starts_with("/dev/") && !fs::exists(row.path)) continue;
    std::string why;
    EXPECT_EQ(write_file_atomically(row.path, std::string(100000, 'x'), &why), *row.why == '\0');
    EXPECT_EQ(why, row.why);
    EXPECT_EQ(fs::status(row.path).type(), row.type_after);
  }
  EXPECT_EQ(Entries(dir), (std::vector<std::string>{"folder", "to_folder"}));
  EXPECT_TRUE(fs::is_empty(dir.path() / "folder"));
}

TEST(AtomicFileTest, FifoIsWrittenToItsReader) {
  testsupport::TempDir dir;
  const std::string fifo = dir.file("pipe");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // More than the buffer and the pipe hold, so the writer waits on the reader.
  std::string bytes(300000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7 % 251);
  std::string got;
  std::thread reader([&] {
    const int fd = ::open(fifo.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    char chunk[4096];
    for (ssize_t n; (n = ::read(fd, chunk, sizeof chunk)) > 0;)
      got.append(chunk, static_cast<std::size_t>(n));
    ::close(fd);
  });
  std::string why;
  const bool ok = write_file_atomically(fifo, bytes, &why);
  if (!ok) ::close(::open(fifo.c_str(), O_WRONLY | O_CLOEXEC));  // let the reader end
  reader.join();
  EXPECT_TRUE(ok) << why;
  EXPECT_TRUE(got == bytes) << got.size() << " bytes read";
  EXPECT_TRUE(fs::is_fifo(fifo));
  EXPECT_EQ(Entries(dir), std::vector<std::string>{"pipe"});
}

}  // namespace
}  // namespace fieldscan
