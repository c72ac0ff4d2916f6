#include "fieldmap/cli.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fieldmap/cli_test_run.h"
#include "fieldscan/field/fields.h"
#include "fieldscan/formats/table_writer.h"
#include "fieldscan/mapfile/load.h"
#include "fieldscan/mapfile/map_writer.h"
#include "testsupport/child.h"
#include "testsupport/temp_dir.h"

namespace fieldscan::fieldmap {
namespace {

float g_bmap[MXS];

// The scratch folder of this test process, removed when it ends.
const testsupport::TempDir& scratch() {
  static const testsupport::TempDir dir;
  return dir;
}

// A scratch file (short: LOAD takes names of up to 80 characters).
std::string temp_path(const std::string& name) { return scratch().file(name); }

std::string read_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Loads `path` into SIZE and g_bmap; true on status 0.
bool load(const std::string& path) {
  Text80 message = make_text<80>("");
  std::int16_t status = -1;
  LOAD(make_text<80>(path), g_bmap, MXS, message, status);
  return status == 0;
}

struct Point {
  std::int16_t status;
  float b[3];
  std::string message;
};

Point field_at(float x, float y, float z) {
  Point p{-1, {NAN, NAN, NAN}, {}};
  Text80 message = make_text<80>("");
  FIELDS(g_bmap, MXS, x, y, z, p.b[0], p.b[1], p.b[2], message, p.status);
  p.message = std::string(trim_blanks(view(message)));
  return p;
}

TEST(FieldmapCliTest, HelpGoesToStandardOutput) {
  const Outcome r = run({"--help"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, usage());
  EXPECT_EQ(r.err, "");
  EXPECT_NE(r.out.find("fieldmap convert TABLE MAP"), std::string::npos);
}

// Each subcommand's --help shows its own forms of the call, what it does and
// an example of it, and nothing of the other subcommands.
TEST(FieldmapCliTest, SubcommandHelpShowsItsOwnUsageAndAnExample) {
  const char* commands[] = {"info", "convert",   "export", "sample",  "integral",
                            "diff", "harmonics", "check",  "resample"};
  for (const std::string command : commands) {
    SCOPED_TRACE(command);
    const Outcome r = run({command, "x", "--help"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out.rfind("usage: fieldmap " + command + " ", 0), 0u) << r.out;
    EXPECT_NE(r.out.find("\n  " + command + " "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Example:\n  fieldmap " + command + " "), std::string::npos) << r.out;
    for (const std::string other : commands) {
      if (other != command) {
        EXPECT_EQ(r.out.find("fieldmap " + other + " "), std::string::npos) << other;
      }
    }
  }
}

TEST(FieldmapCliTest, WrongCallsGiveUsageOnStandardErrorAndStatus2) {
  const struct {
    std::vector<std::string> args;
    const char* problem;
  } rows[] = {
      {{}, "missing subcommand"},
      {{"show", "a.map"}, "unknown subcommand \"show\""},
      {{"info"}, "info takes 1 file name, not 0"},
      {{"info", "a.map", "b.map"}, "info takes 1 file name, not 2"},
      {{"export", "a.map"}, "export takes 2 file names, not 1"},
      {{"convert", "t", "m", "--scale"}, "--scale needs a value"},
      {{"convert", "t", "m", "--scale", "0"}, "--scale: \"0\" is not a positive number"},
      {{"convert", "t", "m", "--scale=-2"}, "--scale: \"-2\" is not a positive number"},
      {{"convert", "t", "m", "--angle", "ninety"}, "--angle: \"ninety\" is not a finite"},
      {{"convert", "t", "m", "--angle", "inf"}, "--angle: \"inf\" is not a finite"},
      {{"convert", "t", "m", "--reflect", "1,2"}, "--reflect: \"1,2\" is not three integers"},
      {{"convert", "t", "m", "--reflect", "1,2,3,4"}, "is not three integers"},
      {{"convert", "t", "m", "--reflect", "1,,3"}, "is not three integers"},
      {{"convert", "t", "m", "--title", std::string(81, 'T')}, "--title: longer than the 80 bytes"},
      {{"convert", "t", "m", "--date", std::string(19, 'D')}, "--date: longer than the 18 bytes"},
      {{"convert", "t", "m", "--colour", "red"}, "unknown option --colour"},
      {{"info", "--scale", "2", "a.map"}, "info takes no option --scale"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.problem);
    const Outcome r = run(row.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("fieldmap: ", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(row.problem), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(synopsis()), std::string::npos);
    EXPECT_NE(r.err.find("Run \"fieldmap --help\""), std::string::npos);
  }
}

TEST(FieldmapCliTest, PurgingMagnetTableConvertsAndEvaluates) {
  const std::string table = FIELDMAP_TESTDATA "/PurgMag3D.TABLE";
  const std::string map = temp_path("purg.map");
  const Outcome r = run({"convert", table, map, "--date", "01-JAN-2000"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, map +
                       ": 6 x 6 x 10 nodes, 360 measured, 0 unmeasured; lengths in m, field in "
                       "unknown units (--units LENGTH,FIELD records them)\n");
  ASSERT_TRUE(load(map));
  EXPECT_EQ(SIZE.NX, 6);
  EXPECT_EQ(SIZE.NY, 6);
  EXPECT_EQ(SIZE.NZ, 10);
  EXPECT_EQ(SIZE.XMIN, -0.05f);
  EXPECT_EQ(SIZE.YMIN, -0.05f);
  EXPECT_EQ(SIZE.ZMIN, -0.26f);
  EXPECT_EQ(SIZE.DX, 0.02f);
  EXPECT_EQ(SIZE.DY, 0.044f);
  EXPECT_EQ(SIZE.DZ, 0.04f);
  // First row (-0.05, -0.05, -0.26) and the row of node (6, 6, 5):
  // line 365 of the file.
  EXPECT_EQ(g_bmap[0], 1.1283e-02f);
  EXPECT_EQ(g_bmap[1], -4.3297e-03f);
  EXPECT_EQ(g_bmap[2], -1.6583e-02f);
  const std::string text = read_bytes(table);
  const auto row = text.find("\n    0.05     0.17     -0.1 ");
  ASSERT_NE(row, std::string::npos);
  std::istringstream fields(text.substr(row, 120));
  float x, y, z, b[3];
  fields >> x >> y >> z >> b[0] >> b[1] >> b[2];
  const std::size_t at = 3 * ((4 * 6 + 5) * 6 + 5);
  for (int c = 0; c < 3; ++c) EXPECT_EQ(g_bmap[at + c], b[c]);

  for (const float px : {-0.04f, 0.0f, 0.031f}) {
    for (const float pz : {-0.25f, -0.1f, 0.0f, 0.09f}) {
      const Point p = field_at(px, 0.0f, pz);
      SCOPED_TRACE(testing::Message() << px << ", 0, " << pz);
      ASSERT_EQ(p.status, 0) << p.message;
      for (const float v : p.b) EXPECT_TRUE(std::isfinite(v));
    }
  }
  EXPECT_EQ(field_at(0.06f, 0.0f, 0.0f).status, 1);  // beyond XHIGH
}

TEST(FieldmapCliTest, PurgingMagnetTableScaledToMillimetres) {
  const std::string map = temp_path("purg_mm.map");
  const Outcome r = run({"convert", FIELDMAP_TESTDATA "/PurgMag3D.TABLE", map, "--scale", "1000"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(load(map));
  EXPECT_EQ(SIZE.XMIN, -50.0f);
  EXPECT_EQ(SIZE.ZMIN, -260.0f);
  EXPECT_EQ(SIZE.DX, 20.0f);
  EXPECT_EQ(SIZE.DY, 44.0f);
  EXPECT_EQ(SIZE.DZ, 40.0f);
  EXPECT_EQ(SIZE.YHIGH, 170.0f);
  EXPECT_EQ(g_bmap[0], 1.1283e-02f);  // the field is not scaled
  for (float x = -50.0f; x <= 50.0f; x += 10.0f) {
    const Point p = field_at(x, 0.0f, 20.0f);
    SCOPED_TRACE(x);
    ASSERT_EQ(p.status, 0) << p.message;
    for (const float v : p.b) EXPECT_TRUE(std::isfinite(v));
  }
}

TEST(FieldmapCliTest, OptionsReachTheMapHeader) {
  const std::string table = temp_path("opts.txt");
  ASSERT_TRUE(write_file(table,
                         "x y z bx by bz\n0 0 0 1 2 3\n1 0 0 1 2 3\n0 1 0 1 2 3\n"
                         "1 1 0 1 2 3\n"));
  const std::string map = temp_path("opts.map");
  const Outcome r = run({"convert", "--angle=45", table, "--reflect", "1,2,0", map, "--title",
                         "Test magnet", "--date", "08-DEC-2026"});
  ASSERT_EQ(r.status, 0) << r.err;
  ASSERT_TRUE(load(map));
  EXPECT_EQ(SIZE.IDA, 1);
  EXPECT_EQ(SIZE.IDB, 2);
  EXPECT_EQ(SIZE.IDC, 0);
  EXPECT_EQ(SIZE.ANGLE, 0.785398185f);
  const Outcome info = run({"info", map});
  ASSERT_EQ(info.status, 0) << info.err;
  EXPECT_NE(info.out.find("Title:        Test magnet\nDate:         08-DEC-2026\n"),
            std::string::npos)
      << info.out;
  EXPECT_NE(info.out.find("Angle:        45 degrees in the file, 0.7853982 radians as loaded\n"),
            std::string::npos);
  EXPECT_NE(info.out.find("Counts:       NX 2  NY 2  NZ 1  (4 nodes)\n"), std::string::npos);
  EXPECT_NE(info.out.find("Limits:       x -1 to 1,  y -1 to 1,  z 0 to 0\n"), std::string::npos)
      << info.out;
}

TEST(FieldmapCliTest, AbsentAndNonFiniteNodesAreReportedAsUnmeasured) {
  // 3 x 2 x 2 grid with steps 1, field (1, 2, 3); node (3, 1, 1) absent,
  // node (3, 2, 2) holds a NaN.
  std::string text;
  for (int k = 0; k < 2; ++k)
    for (int j = 0; j < 2; ++j)
      for (int i = 0; i < 3; ++i) {
        if (i == 2 && j == 0 && k == 0) continue;
        const bool nan_node = i == 2 && j == 1 && k == 1;
        text += std::to_string(i) + " " + std::to_string(j) + " " + std::to_string(k) +
                (nan_node ? " 1 NaN 3\n" : " 1 2 3\n");
      }
  const std::string table = temp_path("holes.txt");
  const std::string map = temp_path("holes.map");
  ASSERT_TRUE(write_file(table, text));
  const Outcome r = run({"convert", table, map});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, map +
                       ": 3 x 2 x 2 nodes, 10 measured, 2 unmeasured; lengths in unknown units, "
                       "field in unknown units (--units LENGTH,FIELD records them)\n");
  ASSERT_TRUE(load(map));
  const Point inside = field_at(0.5f, 0.5f, 0.5f);
  ASSERT_EQ(inside.status, 0);
  EXPECT_EQ(inside.b[1], 2.0f);
  for (const auto& xyz :
       {std::array<float, 3>{1.5f, 0.5f, 0.5f}, {2.0f, 0.0f, 0.0f}, {1.5f, 0.5f, 1.0f}}) {
    const Point p = field_at(xyz[0], xyz[1], xyz[2]);
    EXPECT_EQ(p.status, 4);
    EXPECT_EQ(p.message, "Non measured point - probably iron");
  }
  const Outcome info = run({"info", map});
  EXPECT_NE(info.out.find("Nodes:        10 measured, 2 unmeasured\n"), std::string::npos);
  EXPECT_NE(info.out.find("BY:           min 2  max 2\n"), std::string::npos) << info.out;
}

// A table in the exported form: map -> table -> map -> table gives the same
// bytes, values and table alike.
TEST(FieldmapCliTest, ExportAndConvertRoundTripExactly) {
  MapContents contents;
  contents.title = "round trip";
  contents.date = "08-DEC-2026";
  contents.axb = "PHI";
  contents.angle = 30;
  contents.isa = 1;
  contents.imc = -3;
  contents.ida = 1;
  contents.idc = 2;
  contents.xmin = -0.05f;
  contents.ymin = 12.5f;
  contents.zmin = -0.26f;
  contents.dx = 0.02f;
  contents.dy = 0.3f;
  contents.dz = 0.04f;
  contents.nx = 7;
  contents.ny = 5;
  contents.nz = 4;
  fill_values(contents, [](float x, float y, float z) {
    return std::array<float, 3>{std::sin(x * 7) / 3, y * z * 1e-7f, x > 0.07f ? 999999.0f : -z};
  });
  for (int c = 0; c < 3; ++c) contents.values[value_index(contents, 7, 5, 4, c + 1)] = 999999.0f;
  const std::string map1 = temp_path("rt1.map");
  const std::string table1 = temp_path("rt1.table");
  const std::string map2 = temp_path("rt2.map");
  const std::string table2 = temp_path("rt2.table");
  ASSERT_TRUE(write_map_file(map1, contents));
  ASSERT_EQ(run({"export", map1, table1}).status, 0);
  const Outcome convert = run({"convert", table1, map2});
  ASSERT_EQ(convert.status, 0) << convert.err;
  EXPECT_TRUE(read_bytes(map2) == read_bytes(map1)) << "the maps differ";
  ASSERT_EQ(run({"export", map2, table2}).status, 0);
  EXPECT_EQ(read_bytes(table2), read_bytes(table1));

  // Options on the command line win over the table's header lines.
  const std::string map3 = temp_path("rt3.map");
  ASSERT_EQ(
      run({"convert", table1, map3, "--title", "T", "--reflect", "0,0,1", "--angle", "45"}).status,
      0);
  MapContents changed = contents;
  changed.title = "T";
  changed.ida = 0;
  changed.idc = 1;
  changed.angle = 45;
  EXPECT_TRUE(read_bytes(map3) == encode_map(changed)) << "the options do not win";
}

// Export refuses what a table cannot carry back, and writes nothing.
TEST(FieldmapCliTest, ExportRefusesMapsATableCannotHold) {
  MapContents contents;
  contents.dy = 0;
  contents.values.assign(24, 1.0f);
  const std::string map = temp_path("flat.map");
  ASSERT_TRUE(write_map_file(map, contents));
  const Outcome r = run({"export", map, temp_path("flat.table")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "fieldmap: " + map +
                       ": cannot be written as a table: the step DY is 0, a table needs a finite "
                       "positive step\n");
  EXPECT_FALSE(std::filesystem::exists(temp_path("flat.table")));
}

TEST(FieldmapCliTest, ConvertErrorsNameFileLineAndColumn) {
  const std::string table = temp_path("bad.txt");
  ASSERT_TRUE(write_file(table, "0 0 0 1 1 1\n1 0 0 1 1 1\n0 0 0 1 1 1\n"));
  const std::string map = temp_path("bad.map");
  const Outcome r = run({"convert", table, map});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, table + ":3:1: duplicate node (1, 1, 1), first given on line 1\n");
  EXPECT_EQ(r.out, "");
  EXPECT_FALSE(std::ifstream(map).good()) << "no map is written";

  const Outcome missing = run({"convert", temp_path("no-such-table"), map});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err,
            "fieldmap: " + temp_path("no-such-table") + ": No such file or directory\n");
}

TEST(FieldmapCliTest, InfoAndExportOfMapsThatDoNotLoad) {
  const std::string missing = temp_path("no-such.map");
  const struct {
    const char* name;
    std::string path;
    std::string bytes;  // written unless empty
    const char* message;
  } rows[] = {
      {"missing", missing, "", "Cannot open the MAP file"},
      {"cut in a plane", temp_path("cut.map"), encode_map(MapContents{}).substr(0, 300),
       "Reading error: FIELDs"},
      {"title only", temp_path("title.map"), encode_map(MapContents{}).substr(0, 88),
       "Reading error: DATE"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    if (!row.bytes.empty()) {
      ASSERT_TRUE(write_file(row.path, row.bytes));
    }
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"info", row.path},
          std::vector<std::string>{"export", row.path, temp_path("never.table")}}) {
      const Outcome r = run(args);
      EXPECT_EQ(r.status, 1);
      EXPECT_EQ(r.out, "");
      EXPECT_EQ(r.err, "fieldmap: " + row.path + ": " + row.message + "\n");
    }
  }
}

// LOAD takes map names of up to 80 characters.
TEST(FieldmapCliTest, MapPathsOfEightyCharactersAreTheLimit) {
  const std::string folder = scratch().path().string() + "/";
  ASSERT_LT(folder.size(), 70u);
  const std::string at_limit = folder + std::string(80 - folder.size() - 4, 'm') + ".map";
  ASSERT_EQ(at_limit.size(), 80u);
  ASSERT_TRUE(write_map_file(at_limit, MapContents{}));
  const Outcome ok = run({"info", at_limit});
  EXPECT_EQ(ok.status, 0) << ok.err;
  EXPECT_EQ(ok.out.rfind("Map:          " + at_limit + "\n", 0), 0u);

  const std::string beyond = folder + std::string(80 - folder.size() - 3, 'm') + ".map";
  ASSERT_EQ(beyond.size(), 81u);
  ASSERT_TRUE(write_map_file(beyond, MapContents{}));
  for (const auto& args : {std::vector<std::string>{"info", beyond},
                           std::vector<std::string>{"export", beyond, temp_path("t")}}) {
    const Outcome r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fieldmap: " + beyond + ": the map file name is longer than 80 characters\n");
  }
}

TEST(FieldmapCliTest, ProgressOnlyForLongTablesAndOnlyWhenAsked) {
  std::string text = " 100 100 100\n 1 X\n 2 Y\n 3 Z\n 4 BX\n 5 BY\n 6 BZ\n 0\n";
  for (int i = 0; i < 100; ++i)
    for (int j = 0; j < 100; ++j)
      for (int k = 0; k < 100; ++k)
        text += std::to_string(i) + ' ' + std::to_string(j) + ' ' + std::to_string(k) +
                " 0.25 -1.5 3\n";
  const std::string table = temp_path("big.table");
  ASSERT_TRUE(write_file(table, text));
  CliStreams io;
  std::string progress;
  io.progress = [&](std::string_view s) { progress += s; };
  ASSERT_EQ(run_fieldmap({"convert", table, temp_path("big.map")}, io), 0) << io.err;
  EXPECT_NE(progress.find("\rfieldmap: reading " + table + " 100%\n"), std::string::npos);

  progress.clear();
  ASSERT_EQ(
      run_fieldmap({"convert", FIELDMAP_TESTDATA "/PurgMag3D.TABLE", temp_path("small.map")}, io),
      0);
  EXPECT_EQ(progress, "") << "a short table shows no progress";
}

// The names of the files in the scratch folder.
std::vector<std::string> scratch_files() {
  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(scratch().path()))
    names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(FieldmapCliTest, DirectoriesAreNamedAsSuch) {
  const std::string dir = temp_path("d");
  std::filesystem::create_directory(dir);
  const std::string table = temp_path("t.txt");
  ASSERT_TRUE(write_file(table, "0 0 0 1 2 3\n"));
  const std::string map = temp_path("m.map");
  ASSERT_TRUE(write_map_file(map, MapContents{}));
  const struct {
    std::vector<std::string> args;
    std::string message;
  } rows[] = {
      {{"convert", dir, temp_path("x.map")}, dir + ": Is a directory"},
      {{"convert", table, dir}, dir + ": Is a directory"},
      {{"export", map, dir}, dir + ": Is a directory"},
      {{"info", dir}, dir + ": Cannot open the MAP file"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    const Outcome r = run(row.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fieldmap: " + row.message + "\n");
  }
  EXPECT_TRUE(std::filesystem::is_empty(dir));
  for (const std::string& name : scratch_files()) EXPECT_NE(name[0], '.') << "left behind";
}

// A write that fails on the way (here at the file size limit, as on a full
// disk) says why and leaves the existing file as it was, with no temporary
// file beside it.
TEST(FieldmapCliTest, FailedWritesKeepTheOldFile) {
  MapContents contents;
  contents.nx = contents.ny = contents.nz = 30;
  fill_values(contents, [](float x, float y, float z) { return std::array<float, 3>{x, y, z}; });
  const std::string big_map = temp_path("big.map");
  ASSERT_TRUE(write_map_file(big_map, contents));
  const std::string table = temp_path("big.table");
  ASSERT_EQ(run({"export", big_map, table}).status, 0);
  const std::string good = temp_path("good.map");
  const std::string good_table = temp_path("good.table");
  ASSERT_TRUE(write_map_file(good, MapContents{}));
  ASSERT_TRUE(write_file(good_table, "good table"));
  const std::string good_bytes = read_bytes(good);
  const auto before = scratch_files();

  const auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  rlimit small = old_limit;
  small.rlim_cur = 200'000;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const Outcome convert = run({"convert", table, good});
  const Outcome exported = run({"export", big_map, good_table});
  setrlimit(RLIMIT_FSIZE, &old_limit);
  std::signal(SIGXFSZ, old_handler);

  EXPECT_EQ(convert.status, 1);
  EXPECT_EQ(convert.err, "fieldmap: " + good + ": " + std::strerror(EFBIG) + "\n");
  EXPECT_EQ(exported.status, 1);
  EXPECT_EQ(exported.err, "fieldmap: " + good_table + ": " + std::strerror(EFBIG) + "\n");
  EXPECT_TRUE(read_bytes(good) == good_bytes);
  EXPECT_EQ(read_bytes(good_table), "good table");
  EXPECT_EQ(scratch_files(), before);
}

TEST(FieldmapCliTest, WritingOverTheInputIsRefused) {
  const std::string table = temp_path("self.txt");
  const std::string text = "0 0 0 1 2 3\n";
  ASSERT_TRUE(write_file(table, text));
  const std::string map = temp_path("self.map");
  ASSERT_TRUE(write_map_file(map, MapContents{}));
  const std::string map_bytes = read_bytes(map);
  const std::string other_spelling = scratch().path().string() + "/./self.txt";
  const struct {
    std::vector<std::string> args;
    std::string message;
  } rows[] = {
      {{"convert", table, table}, table + ": is the table being read; not writing the map over it"},
      {{"convert", table, other_spelling},
       other_spelling + ": is the table being read; not writing the map over it"},
      {{"export", map, map}, map + ": is the map being exported; not writing the table over it"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.message);
    const Outcome r = run(row.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "fieldmap: " + row.message + "\n");
  }
  EXPECT_EQ(read_bytes(table), text);
  EXPECT_TRUE(read_bytes(map) == map_bytes);
}

// info and export read the map once, named as LOAD names it: the texts and
// the grid come from the same file, and a pipe that can be read only once
// works.
TEST(FieldmapCliTest, InfoAndExportReadTheMapOnce) {
  MapContents trimmed;
  trimmed.title = "without the blank";
  trimmed.nx = 3;
  MapContents blank = trimmed;
  blank.title = "with the blank";
  blank.nx = 5;
  const std::string path = temp_path("trail.map");
  ASSERT_TRUE(write_map_file(path, trimmed));
  ASSERT_TRUE(write_map_file(path + " ", blank));
  const Outcome r = run({"info", path + " "});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(r.out.find("Title:        without the blank\n"), std::string::npos) << r.out;
  EXPECT_NE(r.out.find("NX 3 "), std::string::npos) << r.out;

  MapContents small;
  small.title = "through a pipe";
  small.values.assign(24, 0.5f);
  const std::string bytes = encode_map(small);
  for (const char* command : {"info", "export"}) {
    SCOPED_TRACE(command);
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    ASSERT_EQ(write(ends[1], bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    close(ends[1]);
    const std::string piped = "/dev/fd/" + std::to_string(ends[0]);
    const Outcome p = command == std::string("info") ? run({"info", piped})
                                                     : run({"export", piped, temp_path("p.table")});
    close(ends[0]);
    EXPECT_EQ(p.status, 0) << p.err;
    if (p.out.empty()) {
      EXPECT_NE(read_bytes(temp_path("p.table")).find("#map title \"through a pipe\"\n"),
                std::string::npos);
    } else {
      EXPECT_NE(p.out.find("Title:        through a pipe\n"), std::string::npos) << p.out;
    }
  }
}

// One rule for unmeasured nodes: the summary, info and the field agree, and
// convert warns about measured rows that the rule turns unmeasured.
TEST(FieldmapCliTest, OneRuleForUnmeasuredNodes) {
  const std::string table = temp_path("marks.txt");
  ASSERT_TRUE(write_file(table,
                         "0 0 0 1 2 3\n"
                         "1 0 0 950000 950000 950000\n"  // above the limit: unmeasured
                         "0 1 0 999999 999999 999999\n"  // the mark: unmeasured, no warning
                         "1 1 0 999999 999999 5\n"));    // only some at the mark: measured
  const std::string map = temp_path("marks.map");
  const Outcome r = run({"convert", table, map});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, map +
                       ": 2 x 2 x 1 nodes, 2 measured, 2 unmeasured; lengths in unknown units, "
                       "field in unknown units (--units LENGTH,FIELD records them)\n");
  EXPECT_EQ(r.err, "fieldmap: warning: " + table +
                       ": 1 row holds values above 900000 in all three components, which mark a "
                       "node unmeasured (line 2)\n");
  EXPECT_NE(run({"info", map}).out.find("Nodes:        2 measured, 2 unmeasured\n"),
            std::string::npos);
  ASSERT_TRUE(load(map));
  EXPECT_EQ(field_at(1, 0, 0).status, 4);
  EXPECT_EQ(field_at(1, 1, 0).status, 0);
}

TEST(FieldmapCliTest, EndlessLinesAreRefused) {
  const Outcome r = run({"convert", "/dev/zero", temp_path("z.map")});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(
      r.err,
      "/dev/zero:1:1: the line is longer than 1048576 bytes (a table has one row per line)\n");
  EXPECT_FALSE(std::filesystem::exists(temp_path("z.map")));
}

// A failure during a long conversion ends the progress line first.
TEST(FieldmapCliTest, ProgressLineEndsBeforeAnError) {
  std::string text;
  for (int n = 0; n < 700'000; ++n) text += std::to_string(n) + " 0 0 0.25 -1.5 3\n";
  text += "x\n";
  const std::string table = temp_path("bad_end.txt");
  ASSERT_TRUE(write_file(table, text));
  CliStreams io;
  std::string progress;
  io.progress = [&](std::string_view s) { progress += s; };
  EXPECT_EQ(run_fieldmap({"convert", table, temp_path("never.map")}, io), 1);
  ASSERT_FALSE(progress.empty());
  EXPECT_EQ(progress.back(), '\n');
  EXPECT_EQ(progress.find("100%"), std::string::npos);
}

// The executable itself: a failure to write standard output, full or
// closed, is a message and status 1; for diff it is 2, as 1 says the maps
// differ.
TEST(FieldmapCliTest, StandardOutputFailuresAreReported) {
  const std::string map = temp_path("out.map");
  ASSERT_TRUE(write_map_file(map, MapContents{}));
  MapContents other;
  other.nx = other.ny = other.nz = 1;
  other.values = {1, 2, 3};
  const std::string map2 = temp_path("out2.map");
  ASSERT_TRUE(write_map_file(map2, other));
  const std::string line = "0,0,0:1,0,0";
  const struct {
    std::vector<std::string> args;
    bool closed;  // standard output closed, else /dev/full
    int status;
    std::string message;
  } rows[] = {
      {{"info", map},
       false,
       1,
       "cannot write to standard output: " + std::string(strerror(ENOSPC))},
      {{"info", map}, true, 1, "cannot write to standard output: " + std::string(strerror(EBADF))},
      {{"diff", map, map}, false, 2, "cannot write to standard output: No space left"},
      {{"diff", map, map}, true, 2, "cannot write to standard output: Bad file descriptor"},
      {{"diff", map, map2}, true, 2, "cannot write to standard output"},
      {{"sample", map2, "--line", line, "--points", "2"},
       true,
       1,
       "cannot write to standard output"},
      {{"integral", map2, "--line", line, "--skip-unevaluable"},
       false,
       1,
       "cannot write to standard output"},
      {{"export", map2, "-"}, false, 1, "standard output: No space left on device"},
      {{"export", map2, "-", "--to", "csv"}, true, 1, "standard output: Bad file descriptor"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.args[0] + (row.closed ? " closed" : " full"));
    testsupport::ChildOptions options;
    options.close_stdout = row.closed;
    if (!row.closed) options.stdout_path = "/dev/full";
    const testsupport::ChildResult result =
        testsupport::run_program(FIELDMAP_BINARY, row.args, "", options);
    EXPECT_EQ(result.exit_code, row.status);
    EXPECT_EQ(result.err.rfind("fieldmap: " + row.message, 0), 0u) << result.err;
  }
}

// "-" is standard input where a file is read and standard output where
// one is written: the same bytes as through a named file.
TEST(FieldmapCliTest, DashIsTheStandardStream) {
  MapContents contents;
  contents.nx = 3, contents.ny = 2, contents.nz = 2, contents.dx = 0.5f;
  fill_values(contents, [](float x, float y, float z) {
    return std::array<float, 3>{x, y - z, x * z + 0.25f};
  });
  const std::string map = temp_path("dash.map"), csv = temp_path("dash.csv");
  const std::string from_file = temp_path("dash2.map"), from_stdin = temp_path("dash3.map");
  ASSERT_TRUE(write_map_file(map, contents));
  ASSERT_EQ(run({"export", map, csv, "--to", "csv"}).status, 0);
  ASSERT_EQ(run({"convert", csv, from_file, "--title", "T", "--date", "D"}).status, 0);
  const std::string map_bytes = read_bytes(map);
  const std::string line = "0,0,0:1,0.5,0";
  const struct {
    std::vector<std::string> args;
    std::string input;
    int status;
    std::string out;  // "@file": that file's bytes; empty: not compared
  } rows[] = {
      {{"export", map, "-", "--to", "csv"}, "", 0, "@" + csv},
      {{"convert", "-", from_stdin, "--title", "T", "--date", "D"}, read_bytes(csv), 0, ""},
      {{"convert", csv, "-", "--title", "T", "--date", "D"}, "", 0, "@" + from_file},
      {{"sample", "-", "--line", line, "--points", "3"},
       map_bytes,
       0,
       run({"sample", map, "--line", line, "--points", "3"}).out},
      {{"info", "-"}, map_bytes, 0, run({"info", map}).out.replace(14, map.size(), "-")},
      {{"diff", map, "-"}, map_bytes, 0, ""},
      {{"sample", "-", "--points", "-"}, map_bytes, 2, ""},
  };
  for (const auto& row : rows) {
    std::string call;
    for (const std::string& arg : row.args) call += " " + arg;
    SCOPED_TRACE(call);
    const testsupport::ChildResult r =
        testsupport::run_program(FIELDMAP_BINARY, row.args, row.input);
    EXPECT_EQ(r.exit_code, row.status) << r.err;
    if (row.out.empty() || row.status != 0) continue;
    EXPECT_TRUE(r.out == (row.out[0] == '@' ? read_bytes(row.out.substr(1)) : row.out)) << r.out;
  }
  EXPECT_TRUE(read_bytes(from_stdin) == read_bytes(from_file));
  EXPECT_TRUE(std::filesystem::exists(from_stdin));
}

// An interrupted or terminated run leaves no temporary file of its output.
TEST(FieldmapCliTest, SignalsLeaveNoTemporaryFile) {
  const std::string map = temp_path("signal.map");
  MapContents contents;
  contents.nx = contents.ny = contents.nz = 2;
  fill_values(contents, [](float, float, float) { return std::array<float, 3>{1, 2, 3}; });
  ASSERT_TRUE(write_map_file(map, contents));
  for (const int signal : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(signal);
    const testsupport::TempDir dir;
    // The points come from standard input, which stays open: the run waits
    // on it with its output half written.
    testsupport::Child child(FIELDMAP_BINARY,
                             {"sample", map, "--points", "-", "-o", dir.file("s.csv")});
    child.write("0 0 0\n0.5 0.5 0.5\n");
    ASSERT_TRUE(child.pump_until_asleep());
    ASSERT_TRUE(child.pump_until([&] { return !std::filesystem::is_empty(dir.path()); }));
    ASSERT_TRUE(child.pump_until_asleep());
    ::kill(child.pid(), signal);
    const testsupport::ChildResult r = child.finish();
    EXPECT_EQ(r.signal, signal) << r.err;
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
  }
}

}  // namespace
}  // namespace fieldscan::fieldmap
