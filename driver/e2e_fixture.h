// Shared fixture of the end-to-end tests: the built fieldscan binary run in a
// fresh working directory with scripted standard input.  Expected bytes are
// worked out from the record layouts by hand (or, for long regular listings,
// by plain printf where no rounding tie occurs), never captured from the
// tool itself.
#pragma once

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "fieldscan/mapfile/map_writer.h"
#include "testsupport/child.h"
#include "testsupport/temp_dir.h"

namespace fieldscan {

namespace fs = std::filesystem;
using ProcessOptions = testsupport::ChildOptions;
using ProcessResult = testsupport::ChildResult;

// The fieldscan binary of this build.
inline const char kFieldscan[] = FIELDSCAN_BINARY;

// A quadrant map over x 0..20, y 0..1, z 0..2 with unit steps and no mirror
// planes: BX = 100 x - 250, BY = 0, BZ = 1000 + 10 x + 100 z.
inline MapContents line_map() {
  MapContents contents;
  contents.nx = 21;
  contents.ny = 2;
  contents.nz = 3;
  fill_values(contents, [](float x, float, float z) {
    return std::array<float, 3>{100.0f * x - 250.0f, 0.0f, 1000.0f + 10.0f * x + 100.0f * z};
  });
  return contents;
}

// A map whose x reaches 2000 (steps of 100) with BX = 1234.5 and a BZ too
// large for its columns.
inline MapContents wide_map() {
  MapContents contents;
  contents.nx = 21;
  contents.ny = 2;
  contents.nz = 2;
  contents.dx = 100.0f;
  fill_values(contents, [](float, float, float) {
    return std::array<float, 3>{1234.5f, 0.0f, 1e8f};
  });
  return contents;
}

inline const char kHeader[] =
    " \r\n"
    "     Rotation angle      ->    90.0 (rot.0x)\r\n"
    "     Reflection indices  ->       0         0         0\r\n"
    " \r\n"
    "     Reference point  ->      0.000     0.000     0.000\r\n"
    " \r\n"
    "     Starting point   ->      0.000     0.000     0.000\r\n"
    "     End point        ->     20.000     1.000     2.000\r\n"
    "     Step size        ->      1.000     1.000     1.000\r\n";

inline const char kAskDirectionX[] = " Input direction x or z (def=x): ";
inline const char kAskDirectionZ[] = " Input direction x or z (def=z): ";
inline const char kAskHeight0[] = " Input z (def=   0.0): ";
inline const char kAskRangeDefault[] = " Input x0, xmax, xinc (def=  0. 10.  1.) ";
inline const char kEndOfInput[] =
    "qurlex: severe (24): end-of-file during read, unit 5, file CONIN$\r\n";

// The 80-character message as free-form console output: two lines.
inline std::string message_lines(const std::string& text) {
  std::string padded = text;
  padded.resize(80, ' ');
  return " " + padded.substr(0, 79) + "\r\n " + padded.substr(79) + "\r\n";
}

// A point record of the line map, for values that are no rounding ties.
inline std::string point(double x, double v) {
  const double p = v / 100.0 < 0.01 ? 0.01 : v / 100.0;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%5.1f%10.2f%8.2f\r\n", x, v, p);
  return buf;
}

// The eleven records of the default request on the line map.
inline const char kDefaultRecords[] =
    "  0.0   -250.00    0.01\r\n"
    "  1.0   -150.00    0.01\r\n"
    "  2.0    -50.00    0.01\r\n"
    "  3.0     50.00    0.50\r\n"
    "  4.0    150.00    1.50\r\n"
    "  5.0    250.00    2.50\r\n"
    "  6.0    350.00    3.50\r\n"
    "  7.0    450.00    4.50\r\n"
    "  8.0    550.00    5.50\r\n"
    "  9.0    650.00    6.50\r\n"
    " 10.0    750.00    7.50\r\n";

class FieldscanRun : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(write_map_file((dir_ / "line.map").string(), line_map()));
    ASSERT_TRUE(write_map_file((dir_ / "wide.map").string(), wide_map()));
  }

  ProcessResult run(const std::vector<std::string>& args, const std::string& input,
                    ProcessOptions options = {}) {
    options.working_directory = dir_.string();
    return testsupport::run_program(kFieldscan, args, input, options);
  }

  std::string file(const std::string& name) { return temp_.contents(name); }

  testsupport::TempDir temp_;
  const fs::path& dir_ = temp_.path();
};

}  // namespace fieldscan
