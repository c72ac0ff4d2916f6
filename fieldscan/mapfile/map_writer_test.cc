#include "fieldscan/mapfile/map_writer.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>

#include "fieldscan/mapfile/map_format.h"
#include "testsupport/temp_dir.h"

namespace fieldscan {
namespace {

std::uint32_t WordAt(const std::string& bytes, std::size_t offset) {
  std::uint32_t v = 0;
  for (int b = 3; b >= 0; --b) v = v << 8 | static_cast<unsigned char>(bytes.at(offset + b));
  return v;
}

float RealAt(const std::string& bytes, std::size_t offset) {
  return std::bit_cast<float>(WordAt(bytes, offset));
}

// The byte layout of a 2 x 2 x 2 map: every record exactly as long as its
// items, so the records start at fixed offsets.
TEST(MapWriterTest, LayoutOfA2x2x2Map) {
  MapContents contents;
  const std::string bytes = encode_map(contents);
  ASSERT_EQ(bytes.size(), 350u);
  struct Row {
    std::size_t start;
    std::uint32_t length;
  };
  const Row rows[] = {{0, 80}, {88, 18}, {114, 28}, {150, 48}, {206, 24}, {238, 48}, {294, 48}};
  for (const Row& row : rows) {
    SCOPED_TRACE(row.start);
    EXPECT_EQ(WordAt(bytes, row.start), row.length);
    EXPECT_EQ(WordAt(bytes, row.start + 4 + row.length), row.length);
  }
}

TEST(MapWriterTest, ItemsAreLittleEndian) {
  MapContents contents;
  contents.angle = 90.0f;  // 42B40000
  contents.xmin = -10.0f;
  contents.idb = -2;
  contents.nx = 3;
  contents.ny = 1;
  contents.nz = 1;
  contents.values = {1.0f};  // 3F800000
  const std::string bytes = encode_map(contents);
  EXPECT_EQ(bytes.substr(114 + 4 + 24, 4), std::string("\x00\x00\xB4\x42", 4));
  EXPECT_EQ(RealAt(bytes, 150 + 4), -10.0f);
  EXPECT_EQ(bytes.substr(150 + 4 + 40, 4), std::string("\xFE\xFF\xFF\xFF", 4));
  EXPECT_EQ(bytes.substr(206 + 4 + 12, 4), std::string("\x03\x00\x00\x00", 4));
  EXPECT_EQ(bytes.substr(238, 4), std::string("\x24\x00\x00\x00", 4));  // 36 bytes
  EXPECT_EQ(bytes.substr(242, 4), std::string("\x00\x00\x80\x3F", 4));
}

TEST(MapWriterTest, TextsAreCutOrPaddedToTheirLength) {
  MapContents contents;
  contents.title = std::string(85, 'T');
  contents.date = "1-JAN";
  contents.axa = "X(cm)";
  contents.axb = "Y-axis-too-long";
  const auto records = encode_records(contents);
  EXPECT_EQ(records[0], std::string(80, 'T'));
  EXPECT_EQ(records[1], "1-JAN" + std::string(13, ' '));
  EXPECT_EQ(records[2].substr(0, 24), "X(cm)   Y-axis-tZ       ");
  EXPECT_EQ(records[2].size(), 28u);
}

TEST(MapWriterTest, PlaneValuesInFileOrder) {
  MapContents contents;
  contents.nx = 3;
  contents.ny = 2;
  contents.nz = 2;
  for (int n = 0; n < 36; ++n) contents.values.push_back(static_cast<float>(n));
  // Component 2 of node (3, 2, 2): 3 * ((1 * 2 + 1) * 3 + 2) + 1 = 34.
  EXPECT_EQ(value_index(contents, 3, 2, 2, 2), 34u);
  EXPECT_EQ(value_index(contents, 1, 1, 1, 1), 0u);
  EXPECT_EQ(value_index(contents, 2, 1, 1, 3), 5u);
  EXPECT_EQ(value_index(contents, 1, 2, 1, 1), 9u);
  const auto records = encode_records(contents);
  ASSERT_EQ(records.size(), 7u);
  ASSERT_EQ(records[6].size(), 72u);
  // Plane 2 holds values 18..35; value 34 at data offset 4 * 16.
  EXPECT_EQ(RealAt(records[6], 4 * 16), 34.0f);
  EXPECT_EQ(RealAt(records[5], 0), 0.0f);
  EXPECT_EQ(RealAt(records[5], 68), 17.0f);
}

TEST(MapWriterTest, MissingValuesAreZero) {
  MapContents contents;
  contents.values = {5.0f, 6.0f};
  const auto records = encode_records(contents);
  EXPECT_EQ(RealAt(records[5], 4), 6.0f);
  EXPECT_EQ(RealAt(records[5], 8), 0.0f);
  EXPECT_EQ(records[6], std::string(48, '\0'));
}

TEST(MapWriterTest, PlanesOfAnEmptyGrid) {
  struct Row {
    std::int32_t nx, ny, nz;
    std::size_t records;
  };
  const Row rows[] = {{0, 2, 3, 8}, {2, -1, 2, 7}, {2, 2, 0, 5}, {2, 2, -4, 5}};
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << row.nx << " " << row.ny << " " << row.nz);
    MapContents contents;
    contents.nx = row.nx;
    contents.ny = row.ny;
    contents.nz = row.nz;
    const auto records = encode_records(contents);
    ASSERT_EQ(records.size(), row.records);
    for (std::size_t r = 5; r < records.size(); ++r) EXPECT_EQ(records[r], "");
    EXPECT_EQ(WordAt(records[4], 20), static_cast<std::uint32_t>(row.nz));
  }
}

TEST(MapWriterTest, FrameRecordTakesItsOwnLengthWords) {
  EXPECT_EQ(frame_record("abc"), std::string("\x03\0\0\0abc\x03\0\0\0", 11));
  EXPECT_EQ(frame_record("", 0x80000000u, 7), std::string("\0\0\0\x80\x07\0\0\0", 8));
}

TEST(MapWriterTest, FillValuesAtNodePositions) {
  MapContents contents;
  contents.xmin = 1.0f;
  contents.ymin = -2.0f;
  contents.zmin = 0.5f;
  contents.dx = 0.5f;
  contents.dy = 3.0f;
  contents.dz = 0.25f;
  contents.nx = 3;
  contents.ny = 2;
  contents.nz = 2;
  fill_values(contents, [](float x, float y, float z) { return std::array<float, 3>{x, y, z}; });
  ASSERT_EQ(contents.values.size(), 36u);
  EXPECT_EQ(contents.values[value_index(contents, 3, 2, 2, 1)], 2.0f);
  EXPECT_EQ(contents.values[value_index(contents, 3, 2, 2, 2)], 1.0f);
  EXPECT_EQ(contents.values[value_index(contents, 3, 2, 2, 3)], 0.75f);
  EXPECT_EQ(contents.values[value_index(contents, 2, 1, 1, 1)], 1.5f);
}

TEST(MapWriterTest, WriteFile) {
  testsupport::TempDir dir;
  const std::string path = dir.file("out.map");
  ASSERT_TRUE(write_file(path, "old content that is longer"));
  MapContents contents;
  ASSERT_TRUE(write_map_file(path, contents));
  std::ifstream in(path, std::ios::binary);
  const std::string back((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  EXPECT_EQ(back, encode_map(contents));  // replaced, not merely overwritten
  EXPECT_FALSE(write_file(dir.file("no/such/dir/out.map"), "x"));
  EXPECT_FALSE(write_file(dir.path().string(), "x"));
}

// Every failure names its reason, leaves the target as it was and no
// temporary file beside it.
TEST(MapWriterTest, FailedWritesLeaveTheTargetAsItWas) {
  testsupport::TempDir dir;
  const std::string target = dir.file("good.map");
  ASSERT_TRUE(write_file(target, "good map"));
  const auto folder_holds_only_the_target = [&] {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path()))
      names.push_back(e.path().filename().string());
    EXPECT_EQ(names, std::vector<std::string>{"good.map"});
  };
  const auto target_bytes = [&] {
    std::ifstream in(target, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  };

  // A disk that fills up: the file size limit makes the writes fail the
  // same way.
  std::string why;
  {
    const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old_limit{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
    rlimit small = old_limit;
    small.rlim_cur = 100'000;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    MapContents big;
    big.nx = big.ny = big.nz = 40;
    big.values.assign(3 * 40 * 40 * 40, 1.0f);
    const bool written = write_map_file(target, big, &why);
    setrlimit(RLIMIT_FSIZE, &old_limit);
    std::signal(SIGXFSZ, old_handler);
    EXPECT_FALSE(written);
    EXPECT_EQ(why, std::strerror(EFBIG));
  }
  EXPECT_EQ(target_bytes(), "good map");
  folder_holds_only_the_target();

  EXPECT_FALSE(write_file(dir.file("no/such/dir/out.map"), "x", &why));
  EXPECT_EQ(why, std::strerror(ENOENT));
  EXPECT_FALSE(write_file(dir.path().string(), "x", &why));
  EXPECT_EQ(why, std::strerror(EISDIR));
  if (geteuid() != 0) {  // permissions do not bind the super-user
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::remove);
    EXPECT_FALSE(write_file(target, "new", &why));
    EXPECT_EQ(why, std::strerror(EACCES));
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_write,
                                 std::filesystem::perm_options::add);
  }
  EXPECT_EQ(target_bytes(), "good map");
  folder_holds_only_the_target();

  // A replaced file keeps its permissions.
  std::filesystem::permissions(target, std::filesystem::perms::owner_read |
                                           std::filesystem::perms::owner_write |
                                           std::filesystem::perms::group_read);
  ASSERT_TRUE(write_file(target, "newer map"));
  EXPECT_EQ(target_bytes(), "newer map");
  EXPECT_EQ(std::filesystem::status(target).permissions(), std::filesystem::perms::owner_read |
                                                               std::filesystem::perms::owner_write |
                                                               std::filesystem::perms::group_read);
  folder_holds_only_the_target();
}

TEST(MapFormatTest, ToSingleRoundsOnceAndSaturatesToInfinity) {
  const double max = std::numeric_limits<float>::max();
  const float inf = std::numeric_limits<float>::infinity();
  const struct {
    double in;
    float out;
  } rows[] = {{0.1, 0.1f},
              {-0.05 * 1000.0, -50.0f},
              {max, std::numeric_limits<float>::max()},
              {max + std::ldexp(1.0, 102), std::numeric_limits<float>::max()},
              {max + std::ldexp(1.0, 103), inf},
              {-1e300, -inf},
              {1e-300, 0.0f}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.in);
    EXPECT_EQ(to_single(row.in), row.out);
  }
}

}  // namespace
}  // namespace fieldscan
