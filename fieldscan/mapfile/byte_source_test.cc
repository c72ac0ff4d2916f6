#include "fieldscan/mapfile/byte_source.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>

namespace fieldscan {
namespace {

// Each kind of source over "abcdefgh": a read of 5, unread(2), a read of 2,
// a skip, then a read of the rest.  A pipe cannot go back; a regular file
// cannot tell a skip past its end.
TEST(ByteSourceTest, UnreadGoesBackAndSkipsSayWhenTheDataEnds) {
  enum Kind { kMemory, kFile, kPipe };
  const struct {
    Kind kind;
    std::uint64_t skip;
    const char* after_unread;
    bool skipped;
    const char* rest;
  } rows[] = {
      {kMemory, 1, "de", true, "gh"}, {kFile, 1, "de", true, "gh"}, {kPipe, 1, "fg", true, ""},
      {kMemory, 9, "de", false, ""},  {kFile, 9, "de", true, ""},   {kPipe, 9, "fg", false, ""},
  };
  const std::string bytes = "abcdefgh";
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.kind) + " skip " + std::to_string(row.skip));
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::tmpfile(), &std::fclose);
    ASSERT_TRUE(file);
    int fds[2] = {-1, -1};
    std::unique_ptr<ByteSource> source;
    if (row.kind == kMemory) {
      source = std::make_unique<MemorySource>(bytes);
    } else if (row.kind == kFile) {
      ASSERT_EQ(::pwrite(fileno(file.get()), bytes.data(), bytes.size(), 0), 8);
      source = std::make_unique<FileSource>(fileno(file.get()));
    } else {
      ASSERT_EQ(::pipe(fds), 0);
      ASSERT_EQ(::write(fds[1], bytes.data(), bytes.size()), 8);
      ::close(fds[1]);
      source = std::make_unique<FileSource>(fds[0]);
    }
    char got[16] = {};
    ASSERT_EQ(source->read(got, 5), 5u);
    source->unread(2);
    ASSERT_EQ(source->read(got, 2), 2u);
    EXPECT_EQ(std::string(got, 2), row.after_unread);
    EXPECT_EQ(source->skip(row.skip), row.skipped);
    const std::size_t n = source->read(got, sizeof got);
    EXPECT_EQ(std::string(got, n), row.rest);
    if (fds[0] >= 0) ::close(fds[0]);
  }
}

}  // namespace
}  // namespace fieldscan
