#include "driver/header.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <string>

namespace fieldscan {
namespace {

// Runs write_map_header into a pipe and returns the bytes.
std::string header_bytes(const GridSize& size) {
  int fds[2];
  if (pipe(fds) != 0) return "pipe failed";
  {
    OutputStream out(fds[1], console_output());
    write_map_header(out, size);
  }
  close(fds[1]);
  std::string bytes;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) bytes.append(buf, n);
  close(fds[0]);
  return bytes;
}

// ANGLE as the loader stores it: degrees / 180 * single-precision pi.
float radians(float degrees) {
  const float pi = static_cast<float>(std::atan2(0.0, -1.0));
  return static_cast<float>(static_cast<double>(degrees) / 180.0 * pi);
}

// The angle row of the header.
std::string angle_row(float file_degrees) {
  GridSize size;
  size.ANGLE = file_degrees == 0.0f ? 0.0f : radians(file_degrees);
  const std::string bytes = header_bytes(size);
  const auto start = bytes.find("\r\n") + 2;
  return bytes.substr(start, bytes.find("\r\n", start) - start);
}

TEST(MapHeader, AngleRow) {
  struct Row {
    float degrees;
    const char* expected;
  };
  const Row rows[] = {
      {0.0f, "     Rotation angle      ->     0.0 (rot.all)"},
      {30.0f, "     Rotation angle      ->    30.0 (rot.2x)"},
      {90.0f, "     Rotation angle      ->    90.0 (rot.0x)"},
      {45.0f, "     Rotation angle      ->    45.0 (rot.1x)"},
      // 90 / 20 is 4.49999987 in the arithmetic of the tool: count 3, not 4.
      {20.0f, "     Rotation angle      ->    20.0 (rot.3x)"},
      // The count 17 does not fit its one column.
      {5.0f, "     Rotation angle      ->     5.0 (rot.*x)"},
      {-30.0f, "     Rotation angle      ->   -30.0 (rot.2x)"},
      // The quotient is exactly one half, which rounds away from zero.
      {180.0f, "     Rotation angle      ->   180.0 (rot.0x)"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.degrees);
    EXPECT_EQ(angle_row(row.degrees), row.expected);
  }
}

TEST(MapHeader, AllRows) {
  GridSize size;
  size.ANGLE = radians(90.0f);
  size.IDA = 0;
  size.IDB = 1;
  size.IDC = 2;
  size.XMIN = -10.0f;
  size.YMIN = 0.0f;
  size.ZMIN = 5.0f;
  size.XLOW = -14.0f;
  size.YLOW = -5.0f;
  size.ZLOW = 5.0f;
  size.XHIGH = -6.0f;
  size.YHIGH = 5.0f;
  size.ZHIGH = 6.5f;
  size.DX = 2.0f;
  size.DY = 5.0f;
  size.DZ = 0.5f;
  EXPECT_EQ(header_bytes(size),
            " \r\n"
            "     Rotation angle      ->    90.0 (rot.0x)\r\n"
            "     Reflection indices  ->       0         1         2\r\n"
            " \r\n"
            "     Reference point  ->    -10.000     0.000     5.000\r\n"
            " \r\n"
            "     Starting point   ->    -14.000    -5.000     5.000\r\n"
            "     End point        ->     -6.000     5.000     6.500\r\n"
            "     Step size        ->      2.000     5.000     0.500\r\n");
}

TEST(MapHeader, CoordinatesThatDoNotFitShowAsterisks) {
  GridSize size;
  size.XMIN = 1234567.0f;
  size.YMIN = -100000.0f;
  size.ZMIN = 99999.5f;
  const std::string bytes = header_bytes(size);
  EXPECT_NE(bytes.find("     Reference point  -> ******************** 99999.500\r\n"),
            std::string::npos)
      << bytes;
}

}  // namespace
}  // namespace fieldscan
