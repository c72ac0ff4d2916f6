// sample, integral and diff: against FIELDS on random maps, against exact
// integrals, and their handling of bad calls and bad input.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <random>
#include <sstream>

#include "fieldmap/cli.h"
#include "fieldmap/cli_test_run.h"
#include "fieldscan/field/fields.h"
#include "fieldscan/formats/units.h"
#include "fieldscan/mapfile/load.h"
#include "fieldscan/mapfile/map_writer.h"
#include "fieldscan/query/integral.h"
#include "fieldscan/query/point_source.h"
#include "fieldscan/textio/number.h"
#include "testsupport/temp_dir.h"

namespace fieldscan::fieldmap {
namespace {

using testsupport::TempDir;

float g_bmap[MXS];

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> split(const std::string& line, char sep) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (std::size_t at; (at = line.find(sep, start)) != std::string::npos; start = at + 1) {
    fields.push_back(line.substr(start, at - start));
  }
  fields.push_back(line.substr(start));
  return fields;
}

float number(const std::string& token) {
  float v = NAN;
  EXPECT_TRUE(parse_float(token, v)) << token;
  return v;
}

// A map with origin 0, steps 1, no symmetry but the quadrant, and the field
// f at its nodes.
MapContents plain_map(int nx, int ny, int nz,
                      const std::function<std::array<float, 3>(float, float, float)>& f) {
  MapContents c;
  c.nx = nx;
  c.ny = ny;
  c.nz = nz;
  fill_values(c, f);
  return c;
}

TEST(SampleTest, AgreesBitForBitWithFieldsOnRandomMaps) {
  TempDir dir;
  std::mt19937 rng(20261208);
  auto uniform = [&rng](double a, double b) { return std::uniform_real_distribution<>(a, b)(rng); };
  auto pick = [&rng](std::initializer_list<float> v) {
    return v.begin()[std::uniform_int_distribution<std::size_t>(0, v.size() - 1)(rng)];
  };
  int total_evaluated = 0;
  for (int m = 0; m < 12; ++m) {
    SCOPED_TRACE(m);
    MapContents c;
    c.angle = pick({90, 30, 45, 60, 0, 120, -30});
    c.ida = static_cast<int>(pick({0, 1, 2}));
    c.idb = static_cast<int>(pick({0, 1, 2}));
    c.idc = static_cast<int>(pick({0, 1, 2}));
    c.xmin = pick({0, -1.5f, 2.25f});
    c.ymin = pick({0, 0.5f});
    c.zmin = pick({0, -3});
    c.dx = pick({0.5f, 1, 1.25f});
    c.dy = pick({0.5f, 1, 2});
    c.dz = pick({1, 0.75f});
    c.nx = 2 + static_cast<int>(rng() % 6);
    c.ny = 2 + static_cast<int>(rng() % 6);
    c.nz = 2 + static_cast<int>(rng() % 6);
    c.values.resize(3 * static_cast<std::size_t>(c.nx * c.ny * c.nz));
    for (std::size_t n = 0; n < c.values.size(); n += 3) {
      const bool iron = rng() % 50 == 0;
      for (int k = 0; k < 3; ++k) {
        c.values[n + k] = iron ? 999999.0f : static_cast<float>(uniform(-1000, 1000));
      }
    }
    const std::string map = dir.file("m" + std::to_string(m) + ".map");
    ASSERT_TRUE(write_map_file(map, c));
    Text80 message = make_text<80>("");
    std::int16_t status = -1;
    LOAD(make_text<80>(map), g_bmap, MXS, message, status);
    ASSERT_EQ(status, 0);
    const GridSize s = SIZE;

    // Points over the covered region and a margin around it; the first map
    // gets enough of them for the batch to be shared among threads.
    std::string points = "# x y z\n";
    std::vector<std::array<float, 3>> xyz;
    const int count = m == 0 ? 20000 : 400;
    for (int n = 0; n < count; ++n) {
      auto around = [&uniform](float low, float high) {
        const double margin = 0.1 * (high - low) + 0.1;
        return static_cast<float>(uniform(low - margin, high + margin));
      };
      const float p[3] = {around(s.XLOW, s.XHIGH), around(s.YLOW, s.YHIGH),
                          around(s.ZLOW, s.ZHIGH)};
      xyz.push_back({p[0], p[1], p[2]});
      for (int k = 0; k < 3; ++k) {
        append_float(points, p[k]);
        points += k < 2 ? (n % 2 ? ", " : " ") : "\n";
      }
    }
    const std::string file = dir.file("p" + std::to_string(m) + ".txt");
    ASSERT_TRUE(write_file(file, points));
    const Outcome r = run({"sample", map, "--points", file});
    ASSERT_EQ(r.status, 0) << r.err;
    std::istringstream lines(r.out);
    std::string line;
    std::getline(lines, line);
    EXPECT_EQ(line, "x,y,z,bx,by,bz,b,status");
    int evaluated = 0;
    for (const auto& p : xyz) {
      ASSERT_TRUE(std::getline(lines, line));
      const auto f = split(line, ',');
      ASSERT_EQ(f.size(), 8u) << line;
      float b[3] = {NAN, NAN, NAN};
      Text80 why = make_text<80>("");
      SIZE = s;
      FIELDS(g_bmap, MXS, p[0], p[1], p[2], b[0], b[1], b[2], why, status);
      for (int k = 0; k < 3; ++k)
        ASSERT_EQ(std::bit_cast<std::uint32_t>(number(f[k])), std::bit_cast<std::uint32_t>(p[k]));
      if (status != 0) {
        const char* reasons[] = {"", "outside X-limits", "outside Y-limits", "outside Z-limits",
                                 "unmeasured"};
        ASSERT_EQ(line, f[0] + "," + f[1] + "," + f[2] + ",,,,," + reasons[status]);
        continue;
      }
      ++evaluated;
      for (int k = 0; k < 3; ++k) {
        ASSERT_EQ(std::bit_cast<std::uint32_t>(number(f[3 + k])),
                  std::bit_cast<std::uint32_t>(b[k]))
            << line;
      }
      const double mag = std::sqrt(double{b[0]} * b[0] + double{b[1]} * b[1] + double{b[2]} * b[2]);
      EXPECT_EQ(number(f[6]), static_cast<float>(mag));
      EXPECT_EQ(f[7], "");
    }
    EXPECT_FALSE(std::getline(lines, line));
    total_evaluated += evaluated;
  }
  EXPECT_GT(total_evaluated, 24400 / 5);
}

// A 3 x 2 x 2 map, steps 1 from 0: bx = x, by = 0, bz = 3; the nodes at
// x = 2 are unmeasured.
std::string small_map(const TempDir& dir) {
  const std::string map = dir.file("small.map");
  EXPECT_TRUE(write_map_file(map, plain_map(3, 2, 2, [](float x, float, float) {
                               if (x == 2) return std::array<float, 3>{999999, 999999, 999999};
                               return std::array<float, 3>{x, 0, 3};
                             })));
  return map;
}

TEST(SampleTest, LineEnteringTheMapInEachFormat) {
  TempDir dir;
  const std::string map = small_map(dir);
  const std::string no_points = dir.file("none.txt");
  ASSERT_TRUE(write_file(no_points, "# no points\n"));
  const struct {
    const char* format;
    const char* out;
    const char* empty;  // the output of no points
  } rows[] = {
      {"csv",
       "x,y,z,bx,by,bz,b,status\n-1,0,0,,,,,outside X-limits\n0,0,0,0,0,3,3,\n"
       "1,0,0,1,0,3,3.1622777,\n2,0,0,,,,,unmeasured\n",
       "x,y,z,bx,by,bz,b,status\n"},
      {"tsv",
       "x\ty\tz\tbx\tby\tbz\tb\tstatus\n-1\t0\t0\t\t\t\t\toutside X-limits\n0\t0\t0\t0\t0\t3\t3\t\n"
       "1\t0\t0\t1\t0\t3\t3.1622777\t\n2\t0\t0\t\t\t\t\tunmeasured\n",
       "x\ty\tz\tbx\tby\tbz\tb\tstatus\n"},
      {"json",
       "[\n{\"x\":-1,\"y\":0,\"z\":0,\"status\":\"outside X-limits\"},\n"
       "{\"x\":0,\"y\":0,\"z\":0,\"bx\":0,\"by\":0,\"bz\":3,\"b\":3},\n"
       "{\"x\":1,\"y\":0,\"z\":0,\"bx\":1,\"by\":0,\"bz\":3,\"b\":3.1622777},\n"
       "{\"x\":2,\"y\":0,\"z\":0,\"status\":\"unmeasured\"}\n]\n",
       "[\n]\n"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.format);
    const Outcome empty = run({"sample", map, "--points", no_points, "--format", row.format});
    EXPECT_EQ(empty.status, 0) << empty.err;
    EXPECT_EQ(empty.out, row.empty);
    for (const char* spacing : {"--points=4", "--step=1"}) {
      const Outcome r =
          run({"sample", map, "--line", "-1,0,0:2,0,0", spacing, "--format", row.format});
      EXPECT_EQ(r.status, 0) << r.err;
      EXPECT_EQ(r.out, row.out);
    }
  }
  // A grid, x fastest: four points on the plane z = 0.5.
  const Outcome g = run({"sample", map, "--grid", "--x", "0:1:2", "--y=0:1:2", "--z", "0.5"});
  EXPECT_EQ(g.out,
            "x,y,z,bx,by,bz,b,status\n0,0,0.5,0,0,3,3,\n1,0,0.5,1,0,3,3.1622777,\n"
            "0,1,0.5,0,0,3,3,\n1,1,0.5,1,0,3,3.1622777,\n");
}

TEST(SampleTest, OutputFileIsReplacedOnlyWhenComplete) {
  TempDir dir;
  const std::string map = small_map(dir);
  const std::string out = dir.file("out.csv");
  ASSERT_TRUE(write_file(out, "old\n"));
  const std::string bad = dir.file("bad.txt");
  ASSERT_TRUE(write_file(bad, "0 0 0\n1 1\n"));
  Outcome r = run({"sample", map, "--points", bad, "-o", out});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "fieldmap: " + bad + ":2: expected three numbers x y z, found 2\n");
  EXPECT_EQ(read_bytes(out), "old\n");
  r = run({"sample", map, "--line", "0,0,0:1,0,0", "--points", "2", "-o", out});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(read_bytes(out), "x,y,z,bx,by,bz,b,status\n0,0,0,0,0,3,3,\n1,0,0,1,0,3,3.1622777,\n");
  r = run({"sample", map, "--line", "0,0,0:1,0,0", "--points", "2", "-o", dir.path().string()});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Is a directory"), std::string::npos) << r.err;
  // Through a symbolic link the file it leads to is replaced; the link stays.
  const std::string link = dir.file("link.csv");
  std::filesystem::create_symlink("out.csv", link);
  r = run({"sample", map, "--line", "0,0,0:1,0,0", "--points", "3", "-o", link});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(read_bytes(out).substr(0, 41), "x,y,z,bx,by,bz,b,status\n0,0,0,0,0,3,3,\n0.");
  int files = 0;
  for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator(dir.path())) ++files;
  EXPECT_EQ(files, 4);  // map, bad.txt, out.csv, link.csv: no temporary left behind
}

TEST(PointSourceTest, PointsFileLinesAndErrors) {
  const std::string long_comment = "# " + std::string(200000, 'c') + "\n";
  const struct {
    std::string text;
    std::size_t points;
    const char* error;
  } rows[] = {
      {"1 2 3\n# comment\n\n4,5,6\r\n 7 , 8 ,9 # tail\n10\t11\t12", 4, ""},
      {long_comment + "1 2 3\n" + long_comment, 1, ""},
      {"1 2 3\r4 5 6\r\r7,8,9", 3, ""},
      {"\xEF\xBB\xBF"
       "1 2 3\r\n",
       1, ""},
      {std::string("\xFF\xFE"
                   "1\0 \0"
                   "2\0",
                   7),
       0, "pts: the file is UTF-16; save it as UTF-8"},
      {"1 2 3\n1 2\n", 0, "pts:2: expected three numbers x y z, found 2"},
      {"1 2 3 4\n", 0, "pts:1: expected three numbers x y z, found 4"},
      {"\n1,,2,3\n", 0, "pts:2: \",\" is not a number"},
      {"1 2 3,\n", 0, "pts:1: \",\" is not a number"},
      {"1 2 x\n", 0, "pts:1: \"x\" is not a number"},
      {"1 2 3\n" + std::string(std::size_t{3} << 20, ' ') + "1 2 3\n", 0,
       "pts:2: the line is longer than"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text.substr(0, 40));
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> f(std::tmpfile(), &std::fclose);
    ASSERT_TRUE(f);
    std::fwrite(row.text.data(), 1, row.text.size(), f.get());
    std::rewind(f.get());
    FilePoints source(f.get(), "pts");
    PointChunk chunk, all;
    bool ok;
    while ((ok = source.next(chunk, 2)) && chunk.size() > 0) {
      for (std::size_t n = 0; n < chunk.size(); ++n) all.push(chunk.x[n], chunk.y[n], chunk.z[n]);
    }
    EXPECT_EQ(ok, *row.error == '\0');
    EXPECT_EQ(source.error().substr(0, std::strlen(row.error)), row.error);
    if (!ok) continue;
    ASSERT_EQ(all.size(), row.points);
    for (std::size_t n = 0; n < row.points; ++n) {
      EXPECT_EQ(all.x[n], 3.0f * n + 1);
      EXPECT_EQ(all.z[n], 3.0f * n + 3);
    }
  }
}

TEST(PointSourceTest, LineByStepEndsAtTheSecondEndWhenItLands) {
  const struct {
    float length;
    double step;
    std::int64_t count;
    float last;
  } rows[] = {{10, 2.5, 5, 10},
              {10, 3, 4, 9},
              {1, 0.1, 11, 1},
              {0.3f, 0.1, 4, 0.3f},
              {1.75f, 0.07, 26, 1.75f}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.step);
    const LinePoints line = LinePoints::with_step({0, 1, 2}, {row.length, 1, 2}, row.step, 1000);
    ASSERT_EQ(line.count(), row.count);
    EXPECT_EQ(line.point(row.count - 1).x, row.last);
    EXPECT_EQ(line.point(row.count - 1).y, 1.0f);
  }
  // By count the last point is the end itself, however far the start.
  EXPECT_EQ(LinePoints::with_count({1e20f, 0, 0}, {1, 0, 0}, 2).point(1).x, 1.0f);
}

// Integrals of polynomials up to cubic over [0, 1], by rule and number of
// points (odd and even counts of intervals).
TEST(IntegralTest, RulesAreExactForTheirDegree) {
  const struct {
    IntegrationRule rule;
    int max_degree;
  } rules[] = {{IntegrationRule::kSimpson, 3}, {IntegrationRule::kTrapezoid, 1}};
  for (const auto& rule : rules) {
    for (const int points : {2, 3, 4, 5, 8, 11}) {
      const int degree = points == 2 ? 1 : rule.max_degree;
      SCOPED_TRACE(testing::Message() << rule.max_degree << " " << points);
      const double h = 1.0 / (points - 1);
      LineIntegrator integrator(rule.rule, h);
      // Two stretches: [0, 1] and [0, 1] again shifted by one.
      for (int stretch = 0; stretch < 2; ++stretch) {
        for (int i = 0; i < points; ++i) {
          const double t = stretch + i * h;
          const double v[3] = {2.0, 3.0 * t, std::pow(t, degree)};
          integrator.add(v);
        }
        integrator.end_stretch();
      }
      EXPECT_NEAR(integrator.integral()[0], 4.0, 1e-12);
      EXPECT_NEAR(integrator.integral()[1], 3.0 * (0.5 + 1.5), 1e-12);
      EXPECT_NEAR(integrator.integral()[2], (std::pow(2.0, degree + 1) - 0) / (degree + 1), 1e-12);
    }
  }
}

// Parses "Integral:  bx A  by B  bz C" out of the report.
std::array<double, 3> integrals(const std::string& report) {
  std::array<double, 3> v{NAN, NAN, NAN};
  const auto at = report.find("Integral:");
  if (at == std::string::npos) return v;
  std::istringstream s(report.substr(at + 9));
  std::string name;
  s >> name >> v[0] >> name >> v[1] >> name >> v[2];
  return v;
}

TEST(IntegralTest, ConstantLinearAndQuadraticFieldsAlongADiagonal) {
  // bx = 2, by = x, bz = x * y: interpolated exactly, and along the line
  // (t, t, 0) they are 2, t and t^2, with ds = sqrt(2) dt.
  TempDir dir;
  const std::string map = dir.file("poly.map");
  ASSERT_TRUE(write_map_file(map, plain_map(5, 5, 2, [](float x, float y, float) {
                               return std::array<float, 3>{2, x, x * y};
                             })));
  const double r2 = std::sqrt(2.0);
  const double exact[3] = {2 * 4 * r2, 8 * r2, 64 / 3.0 * r2};
  const struct {
    std::vector<std::string> spacing;
    int exact_components;
  } rows[] = {{{"--points", "9"}, 3},
              {{"--points", "8"}, 3},
              {{}, 3},
              {{"--points", "8", "--rule", "trapezoid"}, 2}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.spacing.size() > 1 ? row.spacing[1] : "default");
    std::vector<std::string> args = {"integral", map, "--line", "0,0,0:4,4,0"};
    args.insert(args.end(), row.spacing.begin(), row.spacing.end());
    const Outcome r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    const auto v = integrals(r.out);
    for (int c = 0; c < row.exact_components; ++c) EXPECT_NEAR(v[c], exact[c], 2e-6 * exact[c]);
    if (row.exact_components < 3) {
      EXPECT_GT(std::fabs(v[2] - exact[2]), 1e-3);
    }
    EXPECT_NE(r.out.find(row.exact_components == 3 ? "Rule:             composite Simpson"
                                                   : "Rule:             composite trapezoid"),
              std::string::npos);
  }
}

// Without --step or --points the points are a quarter of the finest grid
// step apart.
TEST(IntegralTest, DefaultSpacingIsAQuarterOfTheFinestStep) {
  TempDir dir;
  const struct {
    float dx, dy, dz;
    const char* spacing;
  } rows[] = {
      {1, 2, 4, "spacing 0.25,"}, {4, 2, 1, "spacing 0.25,"}, {2, 0.5f, 1, "spacing 0.125,"}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.spacing);
    MapContents c = plain_map(3, 3, 3, [](float, float, float) {
      return std::array<float, 3>{1, 2, 3};
    });
    c.dx = row.dx, c.dy = row.dy, c.dz = row.dz;
    const std::string map = dir.file("steps.map");
    ASSERT_TRUE(write_map_file(map, c));
    const Outcome r = run({"integral", map, "--line", "0,0,0:1,0,0"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(row.spacing), std::string::npos) << r.out;
  }
}

TEST(IntegralTest, EffectiveLengthOfAHardEdgeField) {
  // by = 1000 from node z = 5 to z = 15, 0 elsewhere: the map ramps over one
  // step at each edge, so the effective length is 10 + 1.
  TempDir dir;
  const std::string map = dir.file("edge.map");
  ASSERT_TRUE(
      write_map_file(map, plain_map(2, 2, 21, [](float, float, float z) {
                       return std::array<float, 3>{0, z >= 5 && z <= 15 ? 1000.0f : 0.0f, 0};
                     })));
  const Outcome r = run({"integral", map, "--line", "0.5,0.5,0:0.5,0.5,20"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Points:           81, spacing 0.25, length 20\n"), std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("Integral:         bx 0  by 11000  bz 0"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("Peak |B|:         1000 at (0.5, 0.5, 5)\n"), std::string::npos);
  EXPECT_NE(r.out.find("Main component:   by, peak 1000"), std::string::npos);
  EXPECT_NE(r.out.find("Effective length: 11\n"), std::string::npos);
}

TEST(IntegralTest, UnevaluablePointsStopTheIntegralUnlessSkipped) {
  TempDir dir;
  const std::string map = small_map(dir);  // bz = 3 on x 0..1 (nodes at 2 unmeasured)
  Outcome r = run({"integral", map, "--line", "-1,0,0:1,0,0", "--points", "9"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.out, "");
  EXPECT_NE(r.err.find("point 1 of the line, (-1, 0, 0), cannot be evaluated: outside X-limits"),
            std::string::npos)
      << r.err;
  r = run({"integral", map, "--line", "-1,0,0:1,0,0", "--points", "9", "--skip-unevaluable"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Skipped:          4 unevaluable points, 1 of the length left out\n"),
            std::string::npos)
      << r.out;
  EXPECT_NEAR(integrals(r.out)[2], 3.0, 1e-6);
}

TEST(DiffTest, SelfChangedNodeAndUnmeasuredNode) {
  TempDir dir;
  auto field = [](float x, float y, float z) { return std::array<float, 3>{x + y, y * z, 7 - x}; };
  MapContents a = plain_map(4, 3, 3, field);
  const std::string pa = dir.file("a.map"), pb = dir.file("b.map"), pc = dir.file("c.map");
  ASSERT_TRUE(write_map_file(pa, a));
  MapContents b = a;
  b.values[value_index(b, 2, 3, 1, 1)] += 0.5f;
  ASSERT_TRUE(write_map_file(pb, b));
  MapContents c = a;
  for (int k = 1; k <= 3; ++k) c.values[value_index(c, 4, 1, 2, k)] = 999999.0f;
  ASSERT_TRUE(write_map_file(pc, c));

  Outcome r = run({"diff", pa, pa});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Compared at the 36 nodes of " + pa), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("bx:          max |A-B| 0, rms 0\n"), std::string::npos) << r.out;

  r = run({"diff", pa, pb});
  EXPECT_EQ(r.status, 1) << r.err;
  EXPECT_NE(r.out.find("bx:          max |A-B| 0.5 at (1, 2, 0) node (2, 3, 1) (A 3, B 3.5), "
                       "rms 0.083333336\n"),
            std::string::npos)
      << r.out;
  EXPECT_NE(r.out.find("by:          max |A-B| 0, rms 0\n"), std::string::npos);
  EXPECT_EQ(run({"diff", pa, pb, "--tolerance", "0.5"}).status, 0);
  EXPECT_EQ(run({"diff", pa, pb, "--tolerance=0.4"}).status, 1);
  // At points between the nodes the change spreads over its cells.
  r = run({"diff", pa, pb, "--grid", "--x", "0:3:7", "--y", "0:2:5", "--z", "0.5"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("max |A-B| 0.25 at (1, 2, 0.5) point 31"), std::string::npos) << r.out;

  r = run({"diff", pa, pc, "--tolerance", "1e9"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("in A only 1, in B only 0"), std::string::npos) << r.out;
}

// Maps that record different units are compared in those of A; a unit
// recorded in one map only leaves the stored numbers compared, and says so.
TEST(DiffTest, RecordedUnitsOfBAreConvertedToThoseOfA) {
  TempDir dir;
  const auto map = [&dir](const char* name, float step, float tesla, std::optional<Units> units) {
    MapContents c;
    c.nx = 3, c.ny = 3, c.nz = 2;
    c.dx = c.dy = c.dz = step;
    fill_values(c, [step, tesla](float x, float y, float) {
      return std::array<float, 3>{x / step * 0.5f * tesla, y / step * 2.5f * tesla, 1.5f * tesla};
    });
    if (units) record_units(*units, c);
    const std::string path = dir.file(name);
    EXPECT_TRUE(write_map_file(path, c));
    return path;
  };
  const std::string mm_t = map("a.map", 10, 1, Units{LengthUnit::mm, FieldUnit::T});
  const struct {
    std::string b;
    int status;
    std::string units;  // the report's lines on units
  } rows[] = {
      {map("cm_g.map", 1, 1e4f, Units{LengthUnit::cm, FieldUnit::G}), 0,
       "Units:       A lengths in mm, field in T; B lengths in cm, field in G\n"
       "             B's lengths converted from cm to mm, the unit of A; B's field converted "
       "from G to T, the unit of A\n"},
      {map("cm_t.map", 1, 1, Units{LengthUnit::cm, FieldUnit::T}), 0,
       "Units:       A lengths in mm, field in T; B lengths in cm, field in T\n"
       "             B's lengths converted from cm to mm, the unit of A\n"},
      {map("none.map", 10, 1, std::nullopt), 0,
       "Units:       A lengths in mm, field in T; B lengths in unknown units, field in unknown "
       "units\n             the length units are unknown (recorded in A only): the stored "
       "coordinates are compared; the field units are unknown (recorded in A only): the stored "
       "values are compared\n"},
      {map("cm_none.map", 1, 1e4f, std::nullopt), 1, "Units:       A lengths in mm"},
      {mm_t, 0, ""},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.b);
    const Outcome r = run({"diff", mm_t, row.b});
    EXPECT_EQ(r.status, row.status) << r.out << r.err;
    const std::size_t at = r.out.find('\n') + 1;  // after "Compared at ..."
    EXPECT_EQ(r.out.substr(at, row.units.size()), row.units) << r.out;
    if (row.units.empty()) {
      EXPECT_EQ(r.out.find("Units:"), std::string::npos) << r.out;
    }
  }
}

TEST(QueryCliTest, BadCallsAndBadInput) {
  TempDir dir;
  const std::string map = small_map(dir);
  const std::string bad = dir.file("bad.txt");
  ASSERT_TRUE(write_file(bad, "0 0 0\n# fine\n0 0 0 0\n"));
  const std::string missing = dir.file("missing.txt");
  const std::string L = "0,0,0:1,0,0";
  const struct {
    std::vector<std::string> args;
    int status;
    std::string problem;
  } rows[] = {
      {{"sample", map, "--line", "1,2,3", "--points", "5"}, 2, "has one end"},
      {{"sample", map, "--line", "1,2:3,4,5", "--points", "5"}, 2, "is not X0,Y0,Z0:X1,Y1,Z1"},
      {{"sample", map, "--line", L, "--points", "1"}, 2, "a line needs at least 2 points, not 1"},
      {{"sample", map, "--line", L}, 2, "--line needs --points N or --step S"},
      {{"sample", map, "--line", L, "--points", "3", "--step", "1"}, 2, "not both"},
      {{"sample", map, "--line", "1,1,1:1,1,1", "--step", "1"}, 2, "zero length"},
      {{"sample", map, "--line", L, "--step", "-1"}, 2, "is not a positive number"},
      {{"sample", map, "--grid", "--x", "0:1:0", "--y", "0", "--z", "0"}, 2, "has no points"},
      {{"sample", map, "--grid", "--x", "0:1:2", "--y", "0"}, 2, "needs --x, --y and --z"},
      {{"sample", map, "--x", "0:1:2"}, 2, "--x goes with --grid"},
      {{"sample", map, "--grid", "--line", L}, 2, "give one of --line, --grid and --points"},
      {{"sample", map}, 2, "sample needs --line, --grid or --points FILE"},
      {{"sample", map, "--line", L, "--points", "2", "--format", "xml"}, 2, "is not csv"},
      {{"sample", "--line", L, "--points", "2"}, 2, "sample takes 1 map file name, not 0"},
      {{"sample", map, "--grid=1"}, 2, "--grid takes no value"},
      {{"sample", map, "--points", missing}, 1, missing + ": No such file or directory"},
      {{"sample", map, "--points", dir.path().string()}, 1, "Is a directory"},
      {{"sample", map, "--points", bad, "-o", bad}, 1, "is an input of this call"},
      {{"sample", map, "--points", bad}, 1, bad + ":3: expected three numbers x y z, found 4"},
      {{"sample", missing, "--line", L, "--points", "2"}, 1, "Cannot open the MAP file"},
      {{"integral", map}, 2, "integral needs --line"},
      {{"integral", map, "--line", L, "--rule", "midpoint"}, 2, "is not simpson or trapezoid"},
      {{"integral", map, "--line", L, "--component", "b"}, 2, "is not bx, by or bz"},
      {{"integral", map, "--line", L, "--tolerance", "1"}, 2, "integral takes no option"},
      {{"diff", map}, 2, "diff takes 2 map file names, not 1"},
      {{"diff", map, map, "--tolerance", "-1"}, 2, "is not a number 0 or more"},
      {{"diff", map, missing}, 2, "Cannot open the MAP file"},
      {{"diff", map, map, "--points", bad}, 2, bad + ":3: expected three numbers"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.problem);
    const Outcome r = run(row.args);
    EXPECT_EQ(r.status, row.status);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("fieldmap: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(row.problem), std::string::npos) << r.err;
    if (row.status == 1) {
      EXPECT_EQ(r.err.find("usage:"), std::string::npos) << r.err;
    }
  }
}

}  // namespace
}  // namespace fieldscan::fieldmap
