// Soak test: thousands of random scan requests (fixed seed) in one run of
// the built tool against a random map.
//
// The answers are fed in chunks; after each chunk the test waits until the
// tool asks for the next direction and reads the resident set size of the
// process from /proc.  After a warm-up chunk the resident set must not grow
// with the requests: the field array is reserved once, answer lines are
// read into a buffer that follows the current line, and nothing is kept per
// request.
//
// At the end every listing file must hold exactly the records that the
// last scan writing to it printed on the console.  The records of a scan
// are the 23-column lines between its range question and the next
// direction question; the file name is worked out here from the letter and
// the height of the request.  A scan that prints no record leaves a file's
// former content alone (and creates an empty file).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "fieldscan/mapfile/map_writer.h"
#include "testsupport/child.h"
#include "testsupport/temp_dir.h"

namespace fieldscan {
namespace {

namespace fs = std::filesystem;

constexpr int kRequests = 5000;
constexpr int kChunk = 250;             // requests per chunk of input
constexpr int kWarmUpChunks = 2;        // resident set measured after these
constexpr long kAllowedGrowthKb = 256;  // page-granular noise, not per-request growth
constexpr double kTimeoutSeconds = 120.0;

const char kAskDirection[] = " Input direction x or z (def=";
const char kAskRange[] = " Input x0, xmax, xinc (def=";

// In a sanitizer build freed memory is held back in a quarantine that grows
// to hundreds of megabytes: resident growth that is no leak.  The tool under
// test runs without it (no effect on an ordinary build).
void without_quarantine() {
  const char* asan = std::getenv("ASAN_OPTIONS");
  const std::string options = std::string(asan != nullptr ? asan : "") +
                              ":quarantine_size_mb=0:thread_local_quarantine_size_kb=0";
  setenv("ASAN_OPTIONS", options.c_str(), 1);
}

std::size_t count_of(const std::string& text, const std::string& pattern, std::size_t& from,
                     std::size_t& count) {
  for (std::size_t at; (at = text.find(pattern, from)) != std::string::npos;) {
    ++count;
    from = at + pattern.size();
  }
  // A pattern cut by the end of the text is found on the next call.
  from = std::max(from, text.size() >= pattern.size() ? text.size() - pattern.size() + 1 : 0);
  return count;
}

MapContents random_map(std::mt19937& rng) {
  auto pick = [&rng](auto... values) {
    const float options[] = {static_cast<float>(values)...};
    return options[std::uniform_int_distribution<std::size_t>(0, sizeof...(values) - 1)(rng)];
  };
  std::uniform_int_distribution<int> count(2, 12), index(0, 2), tenths(-30, 30);
  MapContents contents;
  contents.nx = count(rng);
  contents.ny = count(rng);
  contents.nz = count(rng);
  contents.dx = pick(0.5, 1, 2, 0.75);
  contents.dy = pick(0.5, 1, 2);
  contents.dz = pick(0.5, 1, 1.5);
  contents.xmin = static_cast<float>(tenths(rng)) / 10.0f;
  contents.ymin = 0.0f;
  contents.zmin = static_cast<float>(tenths(rng)) / 10.0f;
  contents.angle = pick(0, 30, 45, 60, 90, 22.5, 120);
  contents.ida = index(rng);
  contents.idb = index(rng);
  contents.idc = index(rng);
  std::uniform_real_distribution<float> value(-5000.0f, 5000.0f);
  std::uniform_int_distribution<int> percent(0, 99);
  contents.values.resize(static_cast<std::size_t>(3 * contents.nx * contents.ny * contents.nz));
  for (std::size_t n = 0; n < contents.values.size(); n += 3) {
    const bool unmeasured = percent(rng) < 4;
    for (std::size_t c = 0; c < 3; ++c)
      contents.values[n + c] = unmeasured ? 999999.0f : value(rng);
  }
  return contents;
}

// A number in tenths as typed: at most six columns, with its point.
std::string tenths_text(int tenths) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%s%d.%d", tenths < 0 ? "-" : "", std::abs(tenths) / 10,
                std::abs(tenths) % 10);
  return buf;
}

// The listing file name: the letter, the height's integer part (toward
// zero) in three columns with blanks turned into zeros, ".lis".
std::string listing_name(char letter, int height_tenths) {
  char digits[16];
  std::snprintf(digits, sizeof digits, "%3d", height_tenths / 10);
  std::string name = std::string(1, letter) + digits + ".lis";
  for (std::size_t i = 1; i <= 2; ++i)
    if (name[i] == ' ') name[i] = '0';
  return name;
}

struct Script {
  std::string input;
  int direction_lines = 0;
  std::string listing;  // the request's listing file name
};

// One request; `letter` and `height` are the dialogue's defaults, kept up
// to date with the answers.
Script random_request(std::mt19937& rng, const MapContents& contents, char& letter, int& height) {
  std::uniform_int_distribution<int> percent(0, 99);
  Script s;
  while (percent(rng) < 8) {  // rejected direction answers ask again
    static const char* const rejected[] = {"y", "X", "Z", "\t", "1", "?z"};
    s.input += rejected[percent(rng) % 6];
    s.input += "\n";
    ++s.direction_lines;
  }
  const int d = percent(rng);
  if (d < 40) {
    letter = 'x';
    s.input += d < 5 ? "xylophone\n" : "x\n";
  } else if (d < 80) {
    letter = 'z';
    s.input += d < 45 ? "zz top\n" : "z\n";
  } else {
    s.input += d < 90 ? "\n" : " z\n";  // a blank first: the default
  }
  ++s.direction_lines;

  const int zlow =
      static_cast<int>(std::floor(contents.zmin * 10.0f)) -
      (contents.idc != 0 ? static_cast<int>((contents.nz - 1) * contents.dz * 10.0f) : 0);
  const int zhigh = static_cast<int>(std::ceil(contents.zmin * 10.0f)) +
                    static_cast<int>((contents.nz - 1) * contents.dz * 10.0f);
  if (percent(rng) < 20) {
    s.input += percent(rng) < 50 ? "\n" : " 7.5\n";
  } else {
    height = std::uniform_int_distribution<int>(zlow - 10, zhigh + 10)(rng);
    s.input += tenths_text(height) + "\n";
  }

  if (percent(rng) < 10) {
    s.input += "\n";  // the previous range again
  } else {
    const int xextent = static_cast<int>((contents.nx - 1) * contents.dx * 10.0f);
    const int x0 = std::uniform_int_distribution<int>(-xextent - 20, xextent + 20)(rng);
    static const int steps[] = {1, 2, 5, 10, 20, 25};
    const int xinc = steps[percent(rng) % 6];
    const int points = std::uniform_int_distribution<int>(1, 30)(rng);
    const int xmax = x0 + (points - 1) * xinc;
    s.input += tenths_text(x0) + "," + tenths_text(xmax) + "," + tenths_text(xinc) + "\n";
  }
  s.listing = listing_name(letter, height);
  return s;
}

// The point records of each scan, in request order.
std::vector<std::string> scan_records(const std::string& out) {
  std::vector<std::string> scans;
  for (std::size_t at = out.find(kAskRange); at != std::string::npos;
       at = out.find(kAskRange, at)) {
    const std::size_t begin = out.find(") ", at) + 2;
    std::size_t end = out.find(kAskDirection, begin);
    if (end == std::string::npos) end = out.size();
    std::string records;
    for (std::size_t line = begin; line < end;) {
      std::size_t eol = out.find("\r\n", line);
      if (eol == std::string::npos || eol > end) eol = end;
      if (eol - line == 23) records += out.substr(line, 25);
      line = eol + 2;
    }
    scans.push_back(records);
    at = end;
  }
  return scans;
}

std::string file_text(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(Soak, ThousandsOfRequestsInOneRun) {
  const testsupport::TempDir temp;
  const fs::path& dir = temp.path();
  std::mt19937 rng(20261208);
  const MapContents contents = random_map(rng);
  ASSERT_TRUE(write_map_file((dir / "soak.map").string(), contents));

  without_quarantine();
  testsupport::ChildOptions options;
  options.working_directory = dir.string();
  options.timeout_seconds = kTimeoutSeconds;
  testsupport::Child child(FIELDSCAN_BINARY, {"soak.map"}, options);
  char letter = 'x';
  int height = 0;
  std::vector<std::string> listings;
  int direction_lines = 0;
  std::size_t scan_from = 0, asked = 0;
  long warm_rss = -1, most_rss = -1;
  std::vector<long> samples;

  for (int chunk = 0; chunk * kChunk < kRequests; ++chunk) {
    std::string input;
    for (int r = 0; r < kChunk; ++r) {
      const Script s = random_request(rng, contents, letter, height);
      input += s.input;
      direction_lines += s.direction_lines;
      listings.push_back(s.listing);
    }
    // Every direction line consumed asks the direction once more.
    const std::size_t expected = static_cast<std::size_t>(direction_lines) + 1;
    child.write(input);
    ASSERT_TRUE(child.pump_until(
        [&] { return count_of(child.out(), kAskDirection, scan_from, asked) >= expected; },
        kTimeoutSeconds))
        << "the run ended or stalled in chunk " << chunk;
    ASSERT_EQ(asked, expected);
    const long rss = child.status_kb("VmRSS");
    ASSERT_GT(rss, 0);
    samples.push_back(rss);
    if (chunk + 1 == kWarmUpChunks) warm_rss = rss;
    if (chunk + 1 > kWarmUpChunks) most_rss = std::max(most_rss, rss);
  }
  const long hwm = child.status_kb("VmHWM");
  const testsupport::ChildResult result = child.finish();
  EXPECT_EQ(result.exit_code, 24);  // end of input at the direction question

  std::string trace;
  for (long s : samples) trace += std::to_string(s) + " ";
  std::printf("resident set (kB) after each chunk of %d requests: %s\npeak %ld kB\n", kChunk,
              trace.c_str(), hwm);
  EXPECT_LE(most_rss - warm_rss, kAllowedGrowthKb) << trace;
  EXPECT_LE(hwm - warm_rss, kAllowedGrowthKb) << trace;

  // The listing files.
  const std::vector<std::string> scans = scan_records(result.out);
  ASSERT_EQ(scans.size(), listings.size());
  std::map<std::string, std::string> expected;
  std::size_t records = 0;
  for (std::size_t r = 0; r < scans.size(); ++r) {
    records += scans[r].size() / 25;
    if (!scans[r].empty() || !expected.count(listings[r])) expected[listings[r]] = scans[r];
  }
  std::printf("%zu requests, %zu point records, %zu listing files\n", scans.size(), records,
              expected.size());
  EXPECT_GT(records, scans.size());  // the map covers many of the scans
  std::set<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir)) {
    if (entry.path().extension() == ".lis") found.insert(entry.path().filename().string());
  }
  std::set<std::string> names;
  for (const auto& [name, text] : expected) {
    names.insert(name);
    SCOPED_TRACE(name);
    EXPECT_EQ(file_text(dir / name), text);
  }
  EXPECT_EQ(found, names);
}

}  // namespace
}  // namespace fieldscan
