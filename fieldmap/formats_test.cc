#include "fieldscan/formats/formats.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "fieldmap/cli.h"
#include "fieldmap/cli_test_run.h"
#include "fieldscan/field/field_map.h"
#include "fieldscan/formats/unicode_text.h"
#include "fieldscan/mapfile/map_format.h"
#include "fieldscan/mapfile/map_writer.h"
#include "fieldscan/mapfile/node.h"
#include "fieldscan/textio/number.h"
#include "testsupport/temp_dir.h"

namespace fieldscan::fieldmap {
namespace {

using testsupport::TempDir;

bool load(const std::string& path, FieldMap& map) {
  MapError error;
  return FieldMap::load(path, map, error);
}

// The test field in millimetres and gauss: linear along each axis, so the
// map's trilinear interpolation reproduces it between nodes.
std::array<double, 3> field_mm_gauss(double x, double y, double z) {
  return {100 + 2 * x - y, 50 + 0.5 * y + 3 * z, -20 + x + 0.25 * z};
}

// Sizes of the units in millimetres and gauss.
double mm_per(LengthUnit u) { return convert_length(1.0, u, LengthUnit::mm); }
double gauss_per(FieldUnit u) { return convert_field(1.0, u, FieldUnit::G); }

// The test grid in millimetres: x -10, 0, 10; y 0, 5; z 0, 20, 40.
constexpr int kN[3] = {3, 2, 3};
constexpr double kMin[3] = {-10, 0, 0};
constexpr double kStep[3] = {10, 5, 20};

enum class Order { x_fastest, z_fastest, reversed };

// Rows "x y z bx by bz" of the test field in the units `length` and `field`
// (the field divided by `norm`), one per node in `order`, with a blank line
// and a comment (when `comment` is not empty) after the first row.
std::string node_rows(Order order, LengthUnit length, FieldUnit field, const char* separator,
                      const std::string& comment = "", double norm = 1) {
  std::vector<std::string> lines;
  const int total = kN[0] * kN[1] * kN[2];
  for (int r = 0; r < total; ++r) {
    int i, j, k;
    if (order == Order::z_fastest) {
      k = r % kN[2];
      j = r / kN[2] % kN[1];
      i = r / (kN[2] * kN[1]);
    } else {
      i = r % kN[0];
      j = r / kN[0] % kN[1];
      k = r / (kN[0] * kN[1]);
    }
    const double p[3] = {kMin[0] + i * kStep[0], kMin[1] + j * kStep[1], kMin[2] + k * kStep[2]};
    const auto b = field_mm_gauss(p[0], p[1], p[2]);
    char line[256];
    std::snprintf(line, sizeof line, "%.9g%s%.9g%s%.9g%s%.9g%s%.9g%s%.9g\n", p[0] / mm_per(length),
                  separator, p[1] / mm_per(length), separator, p[2] / mm_per(length), separator,
                  b[0] / gauss_per(field) / norm, separator, b[1] / gauss_per(field) / norm,
                  separator, b[2] / gauss_per(field) / norm);
    lines.push_back(line);
  }
  if (order == Order::reversed) std::reverse(lines.begin(), lines.end());
  std::string out = lines[0] + "\n" + (comment.empty() ? "" : comment + "\n");
  for (std::size_t n = 1; n < lines.size(); ++n) out += lines[n];
  return out;
}

// Compares the loaded map with the test field (in `length` and `field`
// units) at every node and at the centres between neighbouring nodes.
void expect_test_field(const FieldMap& map, LengthUnit length, FieldUnit field) {
  for (int i = 0; i < 2 * kN[0] - 1; ++i)
    for (int j = 0; j < 2 * kN[1] - 1; ++j)
      for (int k = 0; k < 2 * kN[2] - 1; ++k) {
        const double p[3] = {kMin[0] + 0.5 * i * kStep[0], kMin[1] + 0.5 * j * kStep[1],
                             kMin[2] + 0.5 * k * kStep[2]};
        const auto want = field_mm_gauss(p[0], p[1], p[2]);
        FieldVector v;
        ASSERT_EQ(map.field(static_cast<float>(p[0] / mm_per(length)),
                            static_cast<float>(p[1] / mm_per(length)),
                            static_cast<float>(p[2] / mm_per(length)), v),
                  FieldStatus::kOk)
            << p[0] << " " << p[1] << " " << p[2];
        const float b[3] = {v.bx, v.by, v.bz};
        for (int c = 0; c < 3; ++c) {
          const double expected = want[static_cast<std::size_t>(c)] / gauss_per(field);
          EXPECT_NEAR(b[c], expected, 1e-5 * (std::fabs(expected) + 1e-3))
              << "component " << c << " at " << p[0] << " " << p[1] << " " << p[2] << " mm";
        }
      }
}

TEST(FormatsTest, UnitSpellingsAndAxisTexts) {
  const struct {
    const char* text;
    bool length;
    int unit;
  } rows[] = {
      {"MM", true, static_cast<int>(LengthUnit::mm)},
      {"[METRE]", true, static_cast<int>(LengthUnit::m)},
      {"meters", true, static_cast<int>(LengthUnit::m)},
      {"(cm)", true, static_cast<int>(LengthUnit::cm)},
      {"um", true, static_cast<int>(LengthUnit::um)},
      {"GAUSS", false, static_cast<int>(FieldUnit::G)},
      {"[TESLA]", false, static_cast<int>(FieldUnit::T)},
      {"(T)", false, static_cast<int>(FieldUnit::T)},
      {"KG", false, static_cast<int>(FieldUnit::kG)},
      {"mT", false, static_cast<int>(FieldUnit::mT)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    LengthUnit l{};
    FieldUnit f{};
    if (row.length) {
      ASSERT_TRUE(parse_length_unit(row.text, l));
      EXPECT_EQ(static_cast<int>(l), row.unit);
      EXPECT_FALSE(parse_field_unit(row.text, f));
    } else {
      ASSERT_TRUE(parse_field_unit(row.text, f));
      EXPECT_EQ(static_cast<int>(f), row.unit);
    }
  }
  LengthUnit l;
  EXPECT_FALSE(parse_length_unit("furlong", l));
  EXPECT_FALSE(parse_length_unit("[mm", l));

  // Every pair of units survives the axis texts, each within its 8 bytes.
  for (const LengthUnit lu : {LengthUnit::um, LengthUnit::mm, LengthUnit::cm, LengthUnit::m}) {
    for (const FieldUnit fu : {FieldUnit::T, FieldUnit::mT, FieldUnit::G, FieldUnit::kG}) {
      MapContents c;
      record_units(Units{lu, fu}, c);
      EXPECT_LE(c.axa.size(), 8u);
      EXPECT_LE(c.axc.size(), 8u);
      const Units back = recorded_units(c.axa + "  ", c.axb, c.axc + "   ");
      EXPECT_EQ(back.length, lu);
      EXPECT_EQ(back.field, fu);
    }
  }
  const Units none = recorded_units("X", "Y", "Z");
  EXPECT_FALSE(none.length || none.field);
  // The two length texts must agree.
  EXPECT_FALSE(recorded_units("X [mm]", "Y [cm]", "B [T]").length);

  // Conversions are exact powers of ten, applied once.
  EXPECT_EQ(to_single(convert_length(123.456, LengthUnit::mm, LengthUnit::m)), 0.123456f);
  EXPECT_EQ(convert_field(1.5, FieldUnit::T, FieldUnit::G), 15000.0);
  EXPECT_EQ(convert_field(25.0, FieldUnit::G, FieldUnit::mT), 2.5);
}

TEST(FormatsTest, RecognisesFormatsFromContent) {
  const struct {
    const char* head;
    Format format;
  } rows[] = {
      {"% Model: m.mph\n% x y z mf.Bx (T)\n", Format::comsol},
      {"# map\n\nnx> 3\nny> 2\n", Format::bdsim},
      {"xmin > 0\n", Format::bdsim},
      {"# c\nparam normB=1\ngrid X0=0\n", Format::g4beamline},
      {"grid X0=0 Y0=0\n", Format::g4beamline},
      {"\n   6  6  10\n 1 X [MM]\n", Format::table},
      {"  1  1  2  0.001\n 1 X\n", Format::table},
      {"x [mm], y [mm], z [mm], Bx, By, Bz\n", Format::csv},
      {"0 0 0 1 2 3\n", Format::csv},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.head);
    EXPECT_EQ(detect_format(row.head), row.format);
  }
}

// Files of every format, written here by hand, converted into a map in the
// requested units and evaluated at and between the nodes.
TEST(FormatsTest, HandWrittenFilesGiveTheFieldAtAndBetweenNodes) {
  const std::string table_head =
      "# a comment before the counts\n     3     2     3\n 1 X [MM]\n 2 Y [MM]\n 3 Z [MM]\n"
      " 4 BX [GAUSS]\n 5 BY [GAUSS]\n 6 BZ [GAUSS]\n 0\n";
  const std::string metre_head =
      "     3     2     3\n 1 X\n 2 Y\n 3 Z\n 4 BX [TESLA]\n 5 BY [TESLA]\n 6 BZ [TESLA]\n"
      " 0 [METRE]\n";
  const std::string bdsim_head =
      "# BDSIM map by hand\nnx> 3\nny> 2\nnz> 3\nxmin> -1\nxmax> 1\n\nymin> 0\nymax> 0.5\n"
      "zmin> 0\nzmax> 4\n";
  const std::string comsol_head =
      "% Model:              magnet.mph\n% Dimension:          3\n% Length unit:        m\n"
      "% x                       y                        z                        mf.Bx (mT)   "
      "            mf.By (mT)                mf.Bz (mT)\n";
  const struct {
    const char* name;
    std::string text;
    std::vector<std::string> options;
    LengthUnit length;
    FieldUnit field;
    const char* summary;
  } cases[] = {
      {"header table, z fastest, mm and GAUSS, into cm and T",
       table_head + node_rows(Order::z_fastest, LengthUnit::mm, FieldUnit::G, " ", "# comment"),
       {"--units", "cm,T"},
       LengthUnit::cm,
       FieldUnit::T,
       "lengths in cm, field in T"},
      {"header table, x fastest, 0 [METRE] and TESLA, kept",
       metre_head + node_rows(Order::x_fastest, LengthUnit::m, FieldUnit::T, "  "),
       {},
       LengthUnit::m,
       FieldUnit::T,
       "lengths in m, field in T"},
      {"counts then rows, no column lines, units declared",
       "\n     3     2     3\n" + node_rows(Order::z_fastest, LengthUnit::mm, FieldUnit::T, " "),
       {"--units", "mm,T"},
       LengthUnit::mm,
       FieldUnit::T,
       "lengths in mm, field in T"},
      {"plain columns with units, shuffled, cm and kG into mm and mT",
       "x [cm], y [cm], z [cm], Bx [kG], By [kG], Bz [kG]\n" +
           node_rows(Order::reversed, LengthUnit::cm, FieldUnit::kG, ", ", "# comment"),
       {"--units", "mm,mT"},
       LengthUnit::mm,
       FieldUnit::mT,
       "lengths in mm, field in mT"},
      {"bdsim, x fastest by default, into mm and G",
       bdsim_head + "! X Y Z Fx Fy Fz\n" +
           node_rows(Order::x_fastest, LengthUnit::cm, FieldUnit::T, "\t", "# comment"),
       {"--units", "mm,G"},
       LengthUnit::mm,
       FieldUnit::G,
       "lengths in mm, field in G"},
      {"bdsim, loopOrder tzyx, kept in cm and T",
       bdsim_head + "loopOrder> tzyx\n! X Y Z Fx Fy Fz\n" +
           node_rows(Order::z_fastest, LengthUnit::cm, FieldUnit::T, " ", "# comment"),
       {},
       LengthUnit::cm,
       FieldUnit::T,
       "lengths in cm, field in T"},
      {"g4beamline with normB, rows in any order",
       "# G4beamline\nparam maxline=100 normB=0.5\n\ngrid X0=-10 Y0=0 Z0=0 nX=3 nY=2 nZ=3 "
       "dX=10 dY=5 dZ=20\ndata\n" +
           node_rows(Order::reversed, LengthUnit::mm, FieldUnit::T, " ", "# comment", 0.5),
       {"--units", "mm,G"},
       LengthUnit::mm,
       FieldUnit::G,
       "lengths in mm, field in G"},
      {"comsol, metres and mT, rows in any order, into mm and G",
       comsol_head + node_rows(Order::reversed, LengthUnit::m, FieldUnit::mT, "   "),
       {"--units", "mm,G"},
       LengthUnit::mm,
       FieldUnit::G,
       "lengths in mm, field in G"},
  };
  TempDir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string in = dir.file("in.txt"), map = dir.file("out.map");
    ASSERT_TRUE(write_file(in, c.text));
    std::vector<std::string> args = {"convert", in, map};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const Outcome r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find(std::string("unmeasured; ") + c.summary + "\n"), std::string::npos)
        << r.out;
    FieldMap loaded;
    ASSERT_TRUE(load(map, loaded));
    EXPECT_EQ(loaded.grid().NX, kN[0]);
    EXPECT_EQ(loaded.grid().NY, kN[1]);
    EXPECT_EQ(loaded.grid().NZ, kN[2]);
    expect_test_field(loaded, c.length, c.field);
    const Outcome info = run({"info", map});
    EXPECT_NE(info.out.find(std::string("Units:        ") + c.summary + "\n"), std::string::npos)
        << info.out;
  }
}

TEST(FormatsTest, G4beamlineExtendBecomesAMirrorPlane) {
  const struct {
    const char* extend;
    std::int32_t idc;
    float sign[3];  // of the components at a mirrored point
  } rows[] = {
      {"extendZ flip=Bz\n", 1, {1, 1, -1}},
      {"extendZ flip=Bx,By\n", 2, {-1, -1, 1}},
  };
  TempDir dir;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.extend);
    const std::string in = dir.file("g.txt"), map = dir.file("g.map");
    ASSERT_TRUE(write_file(in, std::string("param normB=1\ngrid X0=-10 Y0=0 Z0=0 nX=3 nY=2 "
                                           "nZ=3 dX=10 dY=5 dZ=20\n") +
                                   row.extend + "data\n" +
                                   node_rows(Order::x_fastest, LengthUnit::mm, FieldUnit::T, " ")));
    const Outcome r = run({"convert", in, map});
    ASSERT_EQ(r.status, 0) << r.err;
    FieldMap loaded;
    ASSERT_TRUE(load(map, loaded));
    EXPECT_EQ(loaded.grid().IDC, row.idc);
    FieldVector v;
    ASSERT_EQ(loaded.field(5.0f, 2.5f, -30.0f, v), FieldStatus::kOk);
    const float b[3] = {v.bx, v.by, v.bz};
    const auto want = field_mm_gauss(5, 2.5, 30);
    for (int c = 0; c < 3; ++c) {
      EXPECT_NEAR(b[c], row.sign[c] * want[static_cast<std::size_t>(c)] * 1e-4, 1e-7);
    }
  }
}

// A G4beamline map written as two triangles that share the x = y diagonal:
// each diagonal node comes twice, the later row wins and a warning counts
// them; a repeat that is not finite makes its node unmeasured.
TEST(FormatsTest, G4beamlineNodesGivenTwiceTakeTheLaterRow) {
  std::string text = "grid X0=0 Y0=0 Z0=0 nX=3 nY=3 nZ=1 dX=1 dY=1 dZ=1\ndata\n";
  for (int half = 0; half < 2; ++half) {
    for (int j = 0; j < 3; ++j) {
      for (int i = 0; i < 3; ++i) {
        if (half == 0 ? i < j : i > j) continue;
        // The second half keeps node (1, 1), changes (2, 2) and gives (3, 3)
        // a value that is not finite.
        const char* bz = half == 1 && i == j ? (i == 0 ? "0" : i == 1 ? "9" : "nan") : "0";
        text += std::to_string(i) + " " + std::to_string(j) + " 0 " + std::to_string(i) + " " +
                std::to_string(j) + " " + bz + "\n";
      }
    }
  }
  TempDir dir;
  const std::string in = dir.file("tri.g4bl"), map = dir.file("tri.map");
  ASSERT_TRUE(write_file(in, text));
  const Outcome r = run({"convert", in, map});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "fieldmap: warning: " + in +
                       ": 3 nodes are given more than once, 2 of them with different values; "
                       "the later row wins (lines 9, 11 and 14)\n");
  FieldMap loaded;
  ASSERT_TRUE(load(map, loaded));
  const std::vector<float>& v = loaded.contents().values;
  EXPECT_EQ(v[3 * 0 + 2], 0.0f);          // node (1, 1)
  EXPECT_EQ(v[3 * 4 + 2], 9.0f);          // node (2, 2)
  EXPECT_TRUE(is_unmeasured(&v[3 * 8]));  // node (3, 3)
}

// The worked example of docs/formats.md: the G4beamline quadrant of a lens field,
// in gauss, gives the whole line through its mirror plane.
TEST(FormatsTest, TheLensExampleScansThroughItsMirrorPlanes) {
  TempDir dir;
  const std::string map = dir.file("lens.map");
  const Outcome r = run({"convert", FIELDMAP_TESTDATA "/lens.g4bl", map, "--units", "mm,G"});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out,
            map + ": 3 x 3 x 5 nodes, 45 measured, 0 unmeasured; lengths in mm, field in G\n");
  FieldMap loaded;
  ASSERT_TRUE(load(map, loaded));
  for (const float x : {-20.0f, -10.0f, 0.0f, 10.0f, 20.0f}) {
    SCOPED_TRACE(x);
    FieldVector v;
    ASSERT_EQ(loaded.field(x, -5.0f, 50.0f, v), FieldStatus::kOk);
    EXPECT_FLOAT_EQ(v.bx, 40.0f * x);
    EXPECT_FLOAT_EQ(v.by, -200.0f);
    EXPECT_FLOAT_EQ(v.bz, 11000.0f);
  }
}

// A map written in a format and converted back: the same grid, values and
// mirror planes, bit for bit without a unit change and within one rounding of
// each conversion with one; unmeasured nodes stay unmeasured.
TEST(FormatsTest, RoundTripsThroughEveryWrittenFormat) {
  const struct {
    const char* format;
    Units map_units;
    bool reflections;               // the format carries mirror planes
    std::vector<std::string> back;  // options of the convert back
    float angle = 90;               // degrees; 90 is no sector symmetry
  } rows[] = {
      {"table", {LengthUnit::mm, FieldUnit::G}, false, {}},
      {"table", {std::nullopt, std::nullopt}, false, {}},
      {"csv", {LengthUnit::um, FieldUnit::kG}, false, {}},
      {"csv", {LengthUnit::mm, FieldUnit::T}, true, {}, 30},
      {"bdsim", {LengthUnit::cm, FieldUnit::T}, false, {}},
      {"bdsim", {LengthUnit::mm, FieldUnit::G}, false, {"--units", "mm,G"}},
      {"g4beamline", {LengthUnit::mm, FieldUnit::T}, true, {}},
      {"g4beamline", {LengthUnit::m, FieldUnit::mT}, true, {"--units", "m,mT"}},
  };
  TempDir dir;
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.format) + " from " + describe_units(row.map_units));
    MapContents original;
    original.xmin = 0;
    original.ymin = -0.3f;
    original.zmin = 0;
    original.dx = 0.1f;
    original.dy = 0.7f;
    original.dz = 2.5f;
    original.nx = 4;
    original.ny = 3;
    original.nz = 5;
    if (row.reflections) {
      original.ida = 1;
      original.idc = 2;
    }
    original.angle = row.angle;
    record_units(row.map_units, original);
    fill_values(original, [](float x, float y, float z) {
      return std::array<float, 3>{std::sin(x) * 1.7f, y / 3, 1e-3f + z * z};
    });
    for (int c = 0; c < 3; ++c)
      original.values[3 * 7 + static_cast<std::size_t>(c)] = kUnmeasuredMark;
    const std::string map = dir.file("a.map"), text = dir.file("a.txt"), back = dir.file("b.map");
    ASSERT_TRUE(write_map_file(map, original));
    Outcome r = run({"export", map, text, "--to", row.format});
    ASSERT_EQ(r.status, 0) << r.err;
    std::vector<std::string> args = {"convert", text, back};
    args.insert(args.end(), row.back.begin(), row.back.end());
    r = run(args);
    ASSERT_EQ(r.status, 0) << r.err;

    FieldMap loaded;
    ASSERT_TRUE(load(back, loaded));
    const GridSize& g = loaded.grid();
    const std::vector<float>& values = loaded.contents().values;
    const bool same_units =
        row.back.empty() || std::string(row.format) == "table" || std::string(row.format) == "csv";
    auto near = [&](float got, float want) {
      if (same_units) return got == want;
      return got == want || std::nextafter(want, got) == got;
    };
    EXPECT_TRUE(near(g.XMIN, original.xmin) && near(g.YMIN, original.ymin) &&
                near(g.ZMIN, original.zmin));
    EXPECT_TRUE(near(g.DX, original.dx) && near(g.DY, original.dy) && near(g.DZ, original.dz))
        << g.DX << " " << g.DY << " " << g.DZ;
    EXPECT_EQ(g.NX * g.NY * g.NZ, 60);
    EXPECT_EQ(g.IDA, original.ida);
    EXPECT_EQ(g.IDC, original.idc);
    EXPECT_EQ(loaded.contents().angle, original.angle);
    ASSERT_EQ(values.size(), original.values.size());
    for (std::size_t n = 0; n < original.values.size(); ++n) {
      ASSERT_TRUE(near(values[n], original.values[n]))
          << n << ": " << values[n] << " vs " << original.values[n];
    }
    const Outcome info = run({"info", back});
    EXPECT_NE(info.out.find("Units:        " + describe_units(row.map_units) + "\n"),
              std::string::npos)
        << info.out;
  }
}

// An exported table carries the map's units in its column names and its
// "#map" lines; converting it into other units converts the grid that the
// "#map" lines fix as well as the rows.
TEST(FormatsTest, ExportedTableConvertsIntoOtherUnits) {
  TempDir dir;
  MapContents original;
  original.xmin = -20;
  original.dx = 5;
  original.dy = 2.5f;
  original.dz = 10;
  record_units(Units{LengthUnit::mm, FieldUnit::G}, original);
  fill_values(original, [](float x, float y, float z) {
    return std::array<float, 3>{1000 + x, 200 + y, z};
  });
  const std::string map = dir.file("g.map"), table = dir.file("g.txt"), back = dir.file("t.map");
  ASSERT_TRUE(write_map_file(map, original));
  ASSERT_EQ(run({"export", map, table}).status, 0);
  const Outcome r = run({"convert", table, back, "--units", "cm,T"});
  ASSERT_EQ(r.status, 0) << r.err;
  FieldMap loaded;
  ASSERT_TRUE(load(back, loaded));
  EXPECT_EQ(loaded.contents().xmin, -2.0f);
  EXPECT_EQ(loaded.contents().dx, 0.5f);
  EXPECT_EQ(loaded.contents().dy, 0.25f);
  EXPECT_EQ(loaded.contents().axc, "B [T]   ");  // blank-padded to 8
  FieldVector v;
  ASSERT_EQ(loaded.field(-1.5f, 0.25f, 1.0f, v), FieldStatus::kOk);
  EXPECT_FLOAT_EQ(v.bx, 0.0985f);
  EXPECT_FLOAT_EQ(v.by, 0.02025f);
  EXPECT_FLOAT_EQ(v.bz, 0.001f);
}

TEST(FormatsTest, ProblemsNameTheFileLineAndColumn) {
  const std::string bdsim_head =
      "nx> 2\nny> 1\nnz> 1\nxmin> 0\nxmax> 1\nymin> 0\nymax> 0\nzmin> 0\nzmax> 0\n";
  const struct {
    std::string text;
    std::vector<std::string> options;
    const char* message;  // after the file name
  } rows[] = {
      {bdsim_head + "loopOrder> tzyx\n! X Y Z Fx Fy Fz\n1 0 0 1 2 3\n0 0 0 1 2 3\n",
       {},
       ":12:1: X = 1 is not the x of node (1, 1, 1), 0, where loop order tzyx (z fastest) puts "
       "row 1: is the loopOrder or the header right?"},
      {bdsim_head + "! X Y Z Fx Fy Fz\n0 0 0 1 2 3\n",
       {},
       ":12:1: the file ends after 1 rows; the header's 2 x 1 x 1 nodes need 2"},
      {bdsim_head + "loopOrder> zyx\n! X Y Z Fx Fy Fz\n",
       {},
       ":10:12: loopOrder> must be xyzt (x fastest) or tzyx (z fastest), not \"zyx\""},
      {"nx> 2\n! X Y Z Fx Fy Fz\n", {}, ":2:1: the header gives no xmin>"},
      {"grid X0=0 Y0=0 Z0=0 nX=2 nY=1 nZ=1 dX=1 dY=1 dZ=1\nextendX flip=Bx,By\ndata\n",
       {},
       ":2:14: extendX flip=Bx,By cannot be expressed by the map's reflection indices"},
      {"grid X0=0 Y0=0 Z0=0 nX=2 nY=1 nZ=1 dX=1 dY=1 dZ=1\ndata\n0 0 0 1 2 3\n0.5 0 0 1 2 3\n",
       {},
       ":4:1: X = 0.5 is not a node of the grid (X0 + k * dX, k from 0 to 1)"},
      {"% Length unit: furlong\n% x y z Bx By Bz\n0 0 0 1 2 3\n",
       {},
       ":1:15: unknown length unit \"furlong\""},
      {"% x y z mf.Bx (Oe) mf.By (Oe) mf.Bz (Oe)\n0 0 0 1 2 3\n",
       {},
       ":1:15: unknown field unit \"(Oe)\""},
      {" 1 1 1\n 1 X [FURLONG]\n 2 Y\n 3 Z\n 4 BX\n 5 BY\n 6 BZ\n 0\n0 0 0 1 2 3\n",
       {},
       ":2:6: unknown length unit \"[FURLONG]\""},
      {"x [mm], y [cm], z [mm], bx, by, bz\n0 0 0 1 2 3\n",
       {},
       ":1:11: the coordinates are in different units (mm, cm)"},
      {"x [mm], y, z, bx, by, bz\n0 0 0 1 2 3\n", {}, ":1:3: column y names no unit"},
      {"0 0 0 1 2 3\n", {"--from", "table"}, ":1:1: not a header table"},
      {"x, x, z, bx, by, bz\n0 0 0 1 2 3\n", {}, ":1:4: the column x is named twice"},
      {"grid X0=0 Y0=0 Z0=0 nX=2 nY=1 nZ=1 dX=1 dY=1 dZ=1\ngrid X0=0 Y0=0 Z0=0 nX=2 nY=1 nZ=1 dX=1 "
       "dY=1 dZ=1\ndata\n",
       {},
       ":2:1: grid is given twice, on lines 1 and 2"},
      {"grid X0=0 Y0=0 Z0=0 nX=2 nY=1 nZ=1 dX=1 dY=1 dZ=1\nextendX flip=Bx\nextendX "
       "flip=By,Bz\ndata\n",
       {},
       ":3:1: extendX is given twice, on lines 2 and 3"},
      {"param normB=1\ngrid X0=0 Y0=0 Z0=0 nX=2 nY=1 nZ=1 dX=1 dY=1 dZ=1\nparam normB=2\ndata\n",
       {},
       ":3:7: normB is given twice, on lines 1 and 3"},
      {"grid X0=5 Y0=0 Z0=0 nX=2 nY=1 nZ=1 dX=1 dY=1 dZ=1\nextendX flip=Bx\ndata\n5 0 0 1 2 3\n",
       {},
       ":2:1: extendX mirrors at X = 0, but the grid starts at X0 = 5"},
      {"nx> 2.5\n" + bdsim_head.substr(6) + "! X Y Z Fx Fy Fz\n",
       {},
       ":1:5: nx> must be a whole number of at least 1, not \"2.5\""},
  };
  TempDir dir;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.text);
    const std::string in = dir.file("bad.txt"), map = dir.file("bad.map");
    ASSERT_TRUE(write_file(in, row.text));
    std::vector<std::string> args = {"convert", in, map};
    args.insert(args.end(), row.options.begin(), row.options.end());
    const Outcome r = run(args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind(in + row.message, 0), 0u) << r.err;
    EXPECT_FALSE(std::ifstream(map).good());
  }
}

// No-break spaces (U+00A0 "\xC2\xA0", U+2007, U+202F) in header and name
// lines are blanks in every format.
TEST(FormatsTest, UnicodeSpacesInHeaderLinesAreBlanks) {
  const std::string nbsp = "\xC2\xA0", narrow = "\xE2\x80\xAF", figure = "\xE2\x80\x87";
  const std::string mm_t = node_rows(Order::x_fastest, LengthUnit::mm, FieldUnit::T, " ");
  const std::string cases[] = {
      "% Length unit:" + nbsp + "mm\n% x" + nbsp + "y z mf.Bx" + narrow +
          "(T) mf.By (T) mf.Bz (T)\n" + mm_t,
      "3" + narrow + "2 3\n 1" + nbsp + "X [MM]\n 2 Y" + figure +
          "[MM]\n 3 Z [MM]\n 4 BX [T]\n 5 BY [T]\n 6 BZ [T]\n 0" + nbsp + "\n" + mm_t,
      "x [mm]," + nbsp + "y [mm], z" + figure + "[mm], bx [T], by [T], bz [T]\n" + mm_t,
      "grid" + nbsp + "X0=-10 Y0=0 Z0=0 nX=3" + narrow + "nY=2 nZ=3 dX=10 dY=5 dZ=20\ndata\n" +
          mm_t,
      "nx>" + nbsp + "3\nny> 2\nnz> 3\nxmin> -1\nxmax> 1\nymin> 0\nymax> 0.5\nzmin> 0\nzmax> 4\n!" +
          nbsp + "X Y Z Fx Fy Fz\n" +
          node_rows(Order::x_fastest, LengthUnit::cm, FieldUnit::T, " "),
  };
  TempDir dir;
  for (const std::string& text : cases) {
    SCOPED_TRACE(text.substr(0, 40));
    const std::string in = dir.file("in.txt"), map = dir.file("out.map");
    ASSERT_TRUE(write_file(in, text));
    const Outcome r = run({"convert", in, map, "--units", "mm,T"});
    ASSERT_EQ(r.status, 0) << r.err;
    FieldMap loaded;
    ASSERT_TRUE(load(map, loaded));
    expect_test_field(loaded, LengthUnit::mm, FieldUnit::T);
  }
}

// Messages write the bytes of the input that do not print as \xHH.
TEST(FormatsTest, MessagesShowBytesThatDoNotPrint) {
  const struct {
    std::string text, shown;
  } rows[] = {
      {"mm", "mm"},
      {"\xC2\xB5m \xC3\xA9", "\xC2\xB5m \xC3\xA9"},  // printable UTF-8 stays
      {"\xC2\xA0mm", "\\xC2\\xA0mm"},
      {"m\xE2\x80\x8Bm\xEF\xBB\xBF", "m\\xE2\\x80\\x8Bm\\xEF\\xBB\\xBF"},  // zero-width, BOM
      {"a\tb\x7F", "a\\x09b\\x7F"},
      {"\xC2\x85", "\\xC2\\x85"},                    // a C1 control
      {"\xFF\xC0\xAF\xC3", "\\xFF\\xC0\\xAF\\xC3"},  // not UTF-8, overlong, cut short
      {"\xED\xA0\x80!", "\\xED\\xA0\\x80!"},         // a surrogate
  };
  for (const auto& row : rows) EXPECT_EQ(printable(row.text), row.shown) << row.shown;
  // In a row a no-break space is not a blank; the message shows it.
  TempDir dir;
  const std::string in = dir.file("in.txt"), map = dir.file("out.map");
  ASSERT_TRUE(write_file(in, "0 0 0 1 2 3\n1 0 0 1 2 3\xC2\xA0\n"));
  Outcome r = run({"convert", in, map});
  EXPECT_EQ(r.err, in + ":2:11: \"3\\xC2\\xA0\" is not a number\n");
  ASSERT_TRUE(write_file(in, "% Length unit: m\xE2\x80\x8Bm\n% x y z Bx By Bz\n0 0 0 1 2 3\n"));
  r = run({"convert", in, map});
  EXPECT_NE(r.err.find("unknown length unit \"m\\xE2\\x80\\x8Bm\""), std::string::npos) << r.err;
}

TEST(FormatsTest, FormatAndUnitOptions) {
  const std::string help = usage();
  for (const char* item : {"--from FORMAT", "--to FORMAT", "--units LENGTH,FIELD", "bdsim",
                           "g4beamline", "comsol", "um mm cm m", "T mT G kG"}) {
    EXPECT_NE(help.find(item), std::string::npos) << item;
  }
  const struct {
    std::vector<std::string> args;
    const char* problem;
  } rows[] = {
      {{"convert", "a", "b", "--units", "furlong,T"}, "--units: unknown length unit \"furlong\""},
      {{"convert", "a", "b", "--units", "mm,Oe"}, "--units: unknown field unit \"Oe\""},
      {{"convert", "a", "b", "--units", "mm"}, "--units: \"mm\" is not LENGTH,FIELD"},
      {{"convert", "a", "b", "--from", "opera"}, "--from: unknown format \"opera\""},
      {{"export", "a", "b", "--to", "comsol"}, "--to: comsol files are read, not written"},
      {{"export", "a", "b", "--from", "csv"}, "export takes no option --from"},
      {{"info", "a", "--units", "mm,T"}, "info takes no option --units"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.problem);
    const Outcome r = run(row.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err.rfind(std::string("fieldmap: ") + row.problem, 0), 0u) << r.err;
  }
}

TEST(FormatsTest, ExportIntoFixedUnitsNeedsKnownUnits) {
  TempDir dir;
  MapContents contents;
  fill_values(contents, [](float, float, float) { return std::array<float, 3>{1, 2, 3}; });
  const std::string map = dir.file("n.map"), out = dir.file("n.txt");
  ASSERT_TRUE(write_map_file(map, contents));
  for (const char* format : {"bdsim", "g4beamline"}) {
    SCOPED_TRACE(format);
    std::filesystem::remove(out);
    Outcome r = run({"export", map, out, "--to", format});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("--units LENGTH,FIELD"), std::string::npos) << r.err;
    EXPECT_FALSE(std::ifstream(out).good());
    r = run({"export", map, out, "--to", format, "--units", "m,G"});
    EXPECT_EQ(r.status, 0) << r.err;
  }
  // A sector symmetry or mirror planes that BDSIM files cannot carry.
  contents.angle = 45;
  record_units(Units{LengthUnit::mm, FieldUnit::T}, contents);
  ASSERT_TRUE(write_map_file(map, contents));
  const Outcome r = run({"export", map, out, "--to", "bdsim"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("sector symmetry (angle 45 degrees)"), std::string::npos) << r.err;
}

// Every reader cuts lines by one rule: LF, CR LF or a CR alone, a UTF-8
// byte-order mark skipped; a UTF-16 file is named as such; a long comment
// preamble does not hide the format.  Each variant gives the map of the
// plain file.
TEST(FormatsTest, EveryReaderTakesTheSameLineEnds) {
  const std::string rows = "0 0 0 1 2 3\n1 0 0 4 5 6\n";
  const std::string preamble = [] {
    std::string p;
    while (p.size() < 91000) p += "# a long preamble of comment lines, more than 64 KiB of them\n";
    return p;
  }();
  const struct {
    const char* format;
    std::string text;
  } files[] = {
      {"table",
       " 2 1 1\n 1 X [mm]\n 2 Y [mm]\n 3 Z [mm]\n 4 BX [T]\n 5 BY [T]\n 6 BZ [T]\n 0\n" + rows},
      {"csv", "#map title \"t\"\nx [mm],y [mm],z [mm],Bx [T],By [T],Bz [T]\n" + rows},
      {"g4beamline",
       "param normB=1\ngrid X0=0 Y0=0 Z0=0 nX=2 nY=1 nZ=1 dX=1 dY=1 dZ=1\ndata\n" + rows},
      {"bdsim",
       "nx> 2\nny> 1\nnz> 1\nxmin> 0\nxmax> 0.1\nymin> 0\nymax> 0\nzmin> 0\nzmax> 0\n"
       "! X Y Z Fx Fy Fz\n0 0 0 1 2 3\n0.1 0 0 4 5 6\n"},
      {"comsol", "% Length unit: mm\n% x y z mf.Bx (T) mf.By (T) mf.Bz (T)\n" + rows},
  };
  const auto replace_ends = [](std::string text, const std::string& end) {
    std::string out;
    for (const char c : text) out += c == '\n' ? end : std::string(1, c);
    return out;
  };
  const auto utf16 = [](const std::string& mark, const std::string& text, bool little) {
    std::string out = mark;
    for (const char c : text) out += little ? std::string{c, '\0'} : std::string{'\0', c};
    return out;
  };
  TempDir dir;
  const std::string in = dir.file("in.txt"), map = dir.file("m.map");
  for (const auto& file : files) {
    ASSERT_TRUE(write_file(in, file.text));
    ASSERT_EQ(run({"convert", in, map}).status, 0) << file.format;
    FieldMap plain;
    ASSERT_TRUE(load(map, plain));
    const struct {
      const char* name;
      std::string text;
      bool utf16;
    } variants[] = {
        {"CR LF", replace_ends(file.text, "\r\n"), false},
        {"lone CR", replace_ends(file.text, "\r"), false},
        {"byte-order mark", "\xEF\xBB\xBF" + file.text, false},
        {"comment preamble",
         std::string(file.format) == "comsol" ? file.text : preamble + file.text, false},
        {"UTF-16LE with its mark", utf16("\xFF\xFE", file.text, true), true},
        {"UTF-16BE without a mark", utf16("", file.text, false), true},
    };
    for (const auto& v : variants) {
      SCOPED_TRACE(std::string(file.format) + ", " + v.name);
      std::filesystem::remove(map);
      ASSERT_TRUE(write_file(in, v.text));
      const Outcome r = run({"convert", in, map});
      if (v.utf16) {
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "fieldmap: " + in + ": the file is UTF-16; save it as UTF-8\n");
        continue;
      }
      ASSERT_EQ(r.status, 0) << r.err;
      FieldMap loaded;
      ASSERT_TRUE(load(map, loaded));
      EXPECT_EQ(loaded.grid().NX, plain.grid().NX);
      EXPECT_EQ(loaded.grid().DX, plain.grid().DX);
      EXPECT_EQ(loaded.contents().values, plain.contents().values);
    }
  }
}

TEST(FormatsTest, ExportWarnsWhenAFormatChangesAHeaderNumber) {
  const struct {
    const char* format;
    std::int32_t ida, idb, isa;
    const char* warning;  // empty: none
  } rows[] = {
      {"g4beamline", 3, 0, 0,
       "g4beamline files carry the reflection index IDA 3 as 2 (the same field)"},
      {"g4beamline", 0, -1, 0, "carry the reflection index IDB -1 as 2"},
      {"bdsim", 0, 0, 5, "bdsim files do not carry ISA 5; converted back the map has 0"},
      {"g4beamline", 2, 1, 0, ""},
      {"csv", 3, -1, 5, ""},
  };
  TempDir dir;
  const std::string map = dir.file("w.map"), out = dir.file("w.txt");
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.format) + " " + std::to_string(row.ida) + "," +
                 std::to_string(row.idb) + " " + std::to_string(row.isa));
    MapContents c;
    c.ida = row.ida;
    c.idb = row.idb;
    c.isa = row.isa;
    record_units(Units{LengthUnit::mm, FieldUnit::T}, c);
    fill_values(c, [](float, float, float) { return std::array<float, 3>{1, 2, 3}; });
    ASSERT_TRUE(write_map_file(map, c));
    const Outcome r = run({"export", map, out, "--to", row.format});
    EXPECT_EQ(r.status, 0) << r.err;
    if (*row.warning == '\0') {
      EXPECT_EQ(r.err, "");
    } else {
      EXPECT_EQ(r.err.rfind("fieldmap: warning: " + out + ": ", 0), 0u) << r.err;
      EXPECT_NE(r.err.find(row.warning), std::string::npos) << r.err;
    }
  }
}

// Scaled coordinates are in no known unit, whatever the file says; the
// unmeasured mark is not a field value and is never converted.
TEST(FormatsTest, ScaleDropsTheLengthUnitAndExportKeepsTheMark) {
  TempDir dir;
  const std::string in = dir.file("s.txt"), map = dir.file("s.map"), out = dir.file("s.bdsim");
  const struct {
    const char* name;
    std::string text;
  } scaled[] = {
      {"csv in mm", "x [mm],y [mm],z [mm],Bx [T],By [T],Bz [T]\n0,0,0,1,2,3\n1,0,0,4,5,6\n"},
      {"g4beamline (mm)",
       "grid X0=0 Y0=0 Z0=0 nX=2 nY=1 nZ=1 dX=1 dY=1 dZ=1\ndata\n0 0 0 1 2 3\n1 0 0 4 5 6\n"},
  };
  for (const auto& row : scaled) {
    SCOPED_TRACE(row.name);
    ASSERT_TRUE(write_file(in, row.text));
    const Outcome r = run({"convert", in, map, "--scale", "10"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("; lengths in unknown units, field in T"), std::string::npos) << r.out;
  }

  MapContents c;
  record_units(Units{LengthUnit::mm, FieldUnit::G}, c);
  fill_values(c, [](float, float, float) { return std::array<float, 3>{10, 20, 30}; });
  for (int k = 0; k < 3; ++k) c.values[static_cast<std::size_t>(k)] = kUnmeasuredMark;
  ASSERT_TRUE(write_map_file(map, c));
  ASSERT_EQ(run({"export", map, out, "--to", "bdsim"}).status, 0);
  std::ifstream text(out);
  const std::string written((std::istreambuf_iterator<char>(text)), {});
  EXPECT_NE(written.find("\n0 0 0 999999 999999 999999\n0.1 0 0 0.001 0.002 0.003\n"),
            std::string::npos)
      << written;
}

}  // namespace
}  // namespace fieldscan::fieldmap
