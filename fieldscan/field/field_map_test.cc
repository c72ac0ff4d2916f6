#include "fieldscan/field/field_map.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "fieldscan/field/evaluate.h"
#include "fieldscan/field/fields.h"
#include "fieldscan/mapfile/byte_source.h"
#include "fieldscan/mapfile/load.h"
#include "fieldscan/mapfile/map_reader.h"
#include "fieldscan/mapfile/map_writer.h"
#include "testsupport/polar_angles.h"

namespace fieldscan {
namespace {

float bmap[MXS];  // the console's map, for comparison

// A random map: grid, steps, symmetry and node values, with some nodes
// unmeasured and the angles that fold (sectors, full rotation) among them.
MapContents random_map(std::mt19937& rng) {
  std::uniform_int_distribution<int> count(1, 7), index(0, 2), pick(0, 5);
  std::uniform_real_distribution<float> origin(-5, 5), step(0.25f, 2), value(-1000, 1000);
  const float angles[] = {90, 45, 30, 18, 0, 120, -60, 7.5f, 0.5f};
  MapContents m;
  m.nx = count(rng), m.ny = count(rng), m.nz = count(rng);
  m.xmin = origin(rng), m.ymin = origin(rng), m.zmin = origin(rng);
  m.dx = step(rng), m.dy = step(rng), m.dz = step(rng);
  m.ida = index(rng), m.idb = index(rng), m.idc = index(rng);
  m.angle = angles[std::uniform_int_distribution<int>(0, 8)(rng)];
  m.values.resize(std::size_t{3} * m.nx * m.ny * m.nz);
  // Some nodes unmeasured, some with components above the unmeasured limit
  // that do not make them unmeasured, zeros of either sign, and a few
  // values that are not finite.
  const float odd[] = {0.0f, -0.0f, 950000.0f, NAN, -INFINITY, INFINITY};
  std::uniform_int_distribution<int> odd_pick(0, 5), rare(0, 40);
  for (std::size_t n = 0; n < m.values.size(); n += 3) {
    const int kind = pick(rng);
    for (int c = 0; c < 3; ++c) {
      float v = kind == 0 ? 999999.0f : value(rng);
      if (kind == 1 && rare(rng) < 20) v = odd[odd_pick(rng) % 3];
      if (rare(rng) == 0) v = odd[odd_pick(rng)];
      m.values[n + c] = v;
    }
  }
  return m;
}

// Points around and inside the map's region, on nodes and planes as well.
std::vector<std::array<float, 3>> random_points(const MapContents& m, std::mt19937& rng) {
  std::vector<std::array<float, 3>> points;
  const float reach[3] = {m.nx * m.dx, m.ny * m.dy, m.nz * m.dz};
  const float origin[3] = {m.xmin, m.ymin, m.zmin};
  const float step[3] = {m.dx, m.dy, m.dz};
  std::uniform_real_distribution<float> unit(-1.3f, 1.3f);
  std::uniform_int_distribution<int> node(-8, 8), kind(0, 2);
  for (int n = 0; n < 400; ++n) {
    std::array<float, 3> p;
    if (n % 8 != 0 && kind(rng) == 0) {  // along a scan line in x
      p = points.back();
      p[0] = origin[0] + unit(rng) * reach[0];
      points.push_back(p);
      continue;
    }
    for (int a = 0; a < 3; ++a) {
      const float r = std::max(reach[0], reach[1]);
      switch (kind(rng)) {
        case 0:
          p[a] = origin[a] + unit(rng) * (a == 2 ? reach[2] : r);
          break;
        case 1:
          p[a] = origin[a] + static_cast<float>(node(rng)) * step[a];
          break;
        default:
          p[a] = origin[a];
          break;
      }
    }
    points.push_back(p);
  }
  return points;
}

std::uint32_t bits(float f) { return std::bit_cast<std::uint32_t>(f); }

TEST(FieldMapTest, SameBitsAsTheConsoleOnRandomMapsAndPoints) {
  std::mt19937 rng(20261208);
  int seen[5] = {};
  const auto variants = batch_variants();
  ASSERT_STREQ(variants.back().name, "point by point");
  for (int trial = 0; trial < 300; ++trial) {
    const MapContents contents = random_map(rng);
    const std::string bytes = encode_map(contents);
    MemorySource source(bytes);
    Text80 message;
    std::int16_t status = -1;
    load_from_source(source, bmap, MXS, message, status);
    ASSERT_EQ(status, 0);
    FieldMap loaded, made;
    MapError error;
    ASSERT_TRUE(FieldMap::load_bytes(bytes, loaded, error)) << error.message;
    ASSERT_TRUE(FieldMap::from_contents(contents, made, error)) << error.message;

    const auto points = random_points(contents, rng);
    std::vector<float> xs, ys, zs;
    for (const auto& p : points) xs.push_back(p[0]), ys.push_back(p[1]), zs.push_back(p[2]);
    std::vector<FieldVector> batch(points.size());
    std::vector<FieldStatus> batch_status(points.size());
    made.field(xs, ys, zs, batch, batch_status, 2);
    std::vector<std::vector<FieldVector>> variant_b;
    std::vector<std::vector<FieldStatus>> variant_status;
    for (const BatchVariant& variant : variants) {
      variant_b.emplace_back(points.size());
      variant_status.emplace_back(points.size());
      variant.run(made.grid(), made.contents().values.data(),
                  static_cast<std::int64_t>(made.contents().values.size()), points.size(),
                  xs.data(), ys.data(), zs.data(), variant_b.back().data(),
                  variant_status.back().data());
    }

    for (std::size_t n = 0; n < points.size(); ++n) {
      const auto& p = points[n];
      SCOPED_TRACE(testing::Message() << "trial " << trial << " angle " << contents.angle
                                      << " point " << p[0] << "," << p[1] << "," << p[2]);
      float bx = 0, by = 0, bz = 0;
      FIELDS(bmap, MXS, p[0], p[1], p[2], bx, by, bz, message, status);
      for (const FieldMap* map : {&loaded, &made}) {
        FieldVector b;
        const FieldStatus s = map->field(p[0], p[1], p[2], b);
        ASSERT_EQ(static_cast<int>(s), status);
        ++seen[status];
        if (status != 0) {
          EXPECT_EQ(std::string(field_message(s)), std::string(trim_blanks(view(message))));
          continue;
        }
        EXPECT_EQ(bits(b.bx), bits(bx));
        EXPECT_EQ(bits(b.by), bits(by));
        EXPECT_EQ(bits(b.bz), bits(bz));
      }
      ASSERT_EQ(static_cast<int>(batch_status[n]), status);
      if (status == 0) {
        EXPECT_EQ(bits(batch[n].bx), bits(bx));
        EXPECT_EQ(bits(batch[n].by), bits(by));
        EXPECT_EQ(bits(batch[n].bz), bits(bz));
      }
      // Every way of evaluating a batch on this processor, not only the one
      // that FieldMap takes.
      for (std::size_t v = 0; v < variants.size(); ++v) {
        SCOPED_TRACE(variants[v].name);
        ASSERT_EQ(static_cast<int>(variant_status[v][n]), status);
        if (status != 0) continue;
        EXPECT_EQ(bits(variant_b[v][n].bx), bits(bx));
        EXPECT_EQ(bits(variant_b[v][n].by), bits(by));
        EXPECT_EQ(bits(variant_b[v][n].bz), bits(bz));
      }
    }
  }
  // Every outcome occurs often enough for the comparison to mean something.
  for (int status = 0; status < 5; ++status) EXPECT_GT(seen[status], 500) << status;
}

// Every batch variant on the points (xs, ys, zs) of `map` against the last,
// evaluate() point by point: the same statuses, and the same bits where a
// point evaluates.  `all_ok`: every point must evaluate.
void expect_variants_agree(const FieldMap& map, const std::vector<float>& xs,
                           const std::vector<float>& ys, const std::vector<float>& zs,
                           bool all_ok = false) {
  const auto variants = batch_variants();
  std::vector<std::vector<FieldVector>> b(variants.size(), std::vector<FieldVector>(xs.size()));
  std::vector<std::vector<FieldStatus>> s(variants.size(), std::vector<FieldStatus>(xs.size()));
  for (std::size_t v = 0; v < variants.size(); ++v) {
    variants[v].run(map.grid(), map.contents().values.data(),
                    static_cast<std::int64_t>(map.contents().values.size()), xs.size(), xs.data(),
                    ys.data(), zs.data(), b[v].data(), s[v].data());
  }
  const std::size_t exact = variants.size() - 1;
  for (std::size_t v = 0; v < exact; ++v) {
    SCOPED_TRACE(variants[v].name);
    for (std::size_t n = 0; n < xs.size(); ++n) {
      ASSERT_EQ(s[v][n], s[exact][n]) << n;
      if (all_ok) {
        ASSERT_EQ(s[v][n], FieldStatus::kOk) << n;
      }
      if (s[v][n] != FieldStatus::kOk) continue;
      ASSERT_EQ(bits(b[v][n].bx), bits(b[exact][n].bx)) << n;
      ASSERT_EQ(bits(b[v][n].by), bits(b[exact][n].by)) << n;
      ASSERT_EQ(bits(b[v][n].bz), bits(b[exact][n].bz)) << n;
    }
  }
}

// Dense lines in x, forwards and backwards across the mirror plane, so that
// groups of consecutive points cross cell faces in both directions: every
// batch variant gives evaluate()'s bits (the last variant is evaluate()).
TEST(FieldMapTest, BatchVariantsAlongDenseLinesInX) {
  std::mt19937 rng(20261209);
  std::uniform_real_distribution<float> unit(-1.1f, 1.1f);
  for (int trial = 0; trial < 200; ++trial) {
    const MapContents m = random_map(rng);
    FieldMap map;
    MapError error;
    ASSERT_TRUE(FieldMap::from_contents(m, map, error)) << error.message;
    const float spacing = m.dx * (trial % 3 == 0 ? 0.13f : trial % 3 == 1 ? 0.29f : 0.61f);
    const float reach = m.nx * m.dx;
    std::vector<float> xs, ys, zs;
    for (int line = 0; line < 4; ++line) {
      const float y = m.ymin + unit(rng) * m.ny * m.dy, z = m.zmin + unit(rng) * m.nz * m.dz;
      const float sign = line % 2 == 0 ? 1.0f : -1.0f;
      for (float t = -reach; t <= reach; t += spacing) {
        xs.push_back(m.xmin + sign * t), ys.push_back(y), zs.push_back(z);
      }
    }
    SCOPED_TRACE(testing::Message() << "trial " << trial);
    expect_variants_agree(map, xs, ys, zs);
  }
}

// Points of a sector map whose polar angle lies so close to a point where
// its single-precision rounding changes that the lanes hand them to the
// C library: every variant still gives evaluate()'s bits, and so do the
// ordinary points around them in the same groups.
TEST(FieldMapTest, BatchVariantsWhereTheRoundingIsCloseToACall) {
  MapContents m;
  m.nx = m.ny = 12, m.nz = 2;
  m.dx = m.dy = m.dz = 1;
  m.angle = 30;
  m.ida = 2, m.idb = 1;
  fill_values(m, [](float x, float y, float z) {
    return std::array<float, 3>{0.3f * x + y, x - 0.7f * y, z + 0.1f * x * y};
  });
  FieldMap map;
  MapError error;
  ASSERT_TRUE(FieldMap::from_contents(m, map, error)) << error.message;
  std::mt19937 rng(5);
  std::vector<float> xs, ys, zs;
  testsupport::add_close_polar_angles(rng, 7.5f, 24, 0.5f, xs, ys, zs);  // radius below 11
  expect_variants_agree(map, xs, ys, zs, true);
}

TEST(FieldMapTest, MapsAreIndependentValues) {
  MapContents a, b;
  a.nx = b.nx = 2, a.ny = b.ny = 2, a.nz = b.nz = 2;
  fill_values(a, [](float, float, float) { return std::array<float, 3>{1, 2, 3}; });
  fill_values(b, [](float, float, float) { return std::array<float, 3>{-4, 5, 6}; });
  FieldMap ma, mb;
  MapError error;
  ASSERT_TRUE(FieldMap::load_bytes(encode_map(a), ma, error));
  ASSERT_TRUE(FieldMap::load_bytes(encode_map(b), mb, error));
  FieldVector va, vb;
  ASSERT_EQ(ma.field(0.5f, 0.5f, 0.5f, va), FieldStatus::kOk);
  ASSERT_EQ(mb.field(0.5f, 0.5f, 0.5f, vb), FieldStatus::kOk);
  EXPECT_EQ(va.bx, 1.0f);
  EXPECT_EQ(vb.bx, -4.0f);
  EXPECT_EQ(ma.contents().values.size(), 24u);  // sized to the map, not to MXS
}

TEST(FieldMapTest, BatchFromBothCoresEqualsOnePointAtATime) {
  std::mt19937 rng(7);
  MapContents m;
  m.nx = 40, m.ny = 30, m.nz = 20, m.angle = 30, m.ida = 1, m.idb = 2, m.idc = 2;
  fill_values(m, [](float x, float y, float z) {
    return std::array<float, 3>{x * y, y - z, 999999.0f * (x > 30 && z < 3) + z};
  });
  FieldMap map;
  MapError error;
  ASSERT_TRUE(FieldMap::from_contents(m, map, error));
  const std::size_t n = 200000;
  std::uniform_real_distribution<float> d(-45, 45);
  std::vector<float> x(n), y(n), z(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = d(rng), y[i] = d(rng), z[i] = d(rng) / 2;
  std::vector<FieldVector> b(n);
  std::vector<FieldStatus> s(n);
  map.field(x, y, z, b, s, 2);
  std::size_t ok = 0;
  for (std::size_t i = 0; i < n; ++i) {
    FieldVector one;
    ASSERT_EQ(map.field(x[i], y[i], z[i], one), s[i]) << i;
    if (s[i] != FieldStatus::kOk) continue;
    ++ok;
    ASSERT_EQ(bits(one.bx), bits(b[i].bx)) << i;
    ASSERT_EQ(bits(one.by), bits(b[i].by)) << i;
    ASSERT_EQ(bits(one.bz), bits(b[i].bz)) << i;
  }
  EXPECT_GT(ok, n / 10);
}

// Cells whose nodes hold NaNs of different payloads and signs: which NaN a
// sum carries depends on the order of its terms, so the batch hands such
// sums to the one-point path and gives its bits.
TEST(FieldMapTest, BatchGivesTheOnePointNaNOfMixedNaNCells) {
  std::mt19937 rng(11);
  MapContents m;
  m.nx = 4, m.ny = 4, m.nz = 3, m.ida = 1, m.idb = 2, m.idc = 1;
  m.values.resize(std::size_t{3} * 4 * 4 * 3);
  std::uniform_int_distribution<std::uint32_t> payload(1, 0x3fffff);
  std::uniform_real_distribution<float> value(-10, 10);
  for (float& v : m.values) {
    v = rng() % 3 == 0
            ? value(rng)
            : std::bit_cast<float>(0x7fc00000u | (rng() % 2 ? 0x80000000u : 0u) | payload(rng));
  }
  FieldMap map;
  MapError error;
  ASSERT_TRUE(FieldMap::from_contents(m, map, error));
  std::uniform_real_distribution<float> at(-3, 3);
  const std::size_t n = 4000;
  std::vector<float> x(n), y(n), z(n);
  for (std::size_t i = 0; i < n; ++i) x[i] = at(rng), y[i] = at(rng), z[i] = at(rng) * 2 / 3;
  std::vector<FieldVector> b(n);
  std::vector<FieldStatus> s(n);
  map.field(x, y, z, b, s, 1);
  for (std::size_t i = 0; i < n; ++i) {
    FieldVector one;
    ASSERT_EQ(map.field(x[i], y[i], z[i], one), s[i]) << i;
    ASSERT_EQ(bits(one.bx), bits(b[i].bx)) << i;
    ASSERT_EQ(bits(one.by), bits(b[i].by)) << i;
    ASSERT_EQ(bits(one.bz), bits(b[i].bz)) << i;
  }
}

// Each evaluated limit is a coordinate the evaluation takes, and the next
// float beyond it is refused on that axis; the grid's own XHIGH on the
// -30 + 9 * 6.1 grid is one it refuses.  y is checked on quadrant maps
// only, where no sector fold mixes the axes.
TEST(FieldMapTest, EvaluatedLimitsAreTheLastCoordinatesTaken) {
  std::mt19937 rng(26);
  int moved = 0;
  for (int trial = 0; trial < 400; ++trial) {
    MapContents m = random_map(rng);
    if (trial == 0) {
      m.xmin = -30, m.dx = 6.1f, m.nx = 10, m.ida = 0;
      m.values.assign(std::size_t{30} * m.ny * m.nz, 1.0f);
    }
    FieldMap map;
    MapError error;
    ASSERT_TRUE(FieldMap::from_contents(m, map, error)) << error.message;
    const GridSize& g = map.grid();
    float low[3], high[3];
    evaluated_limits(g, low, high);
    moved += low[0] != g.XLOW || high[0] != g.XHIGH || low[1] != g.YLOW || high[1] != g.YHIGH;
    const float inside[3] = {g.XMIN, g.YMIN, g.ZMIN};
    const FieldStatus refused[3] = {FieldStatus::kOutsideX, FieldStatus::kOutsideY,
                                    FieldStatus::kOutsideZ};
    for (int a = 0; a < (m.angle == 90 ? 3 : 1); ++a) {
      SCOPED_TRACE(testing::Message() << "trial " << trial << " axis " << a);
      for (const float limit : {low[a], high[a]}) {
        const float beyond = std::nextafter(limit, limit == low[a] ? -INFINITY : INFINITY);
        float p[3] = {inside[0], inside[1], inside[2]};
        FieldVector b;
        p[a] = limit;
        EXPECT_NE(map.field(p[0], p[1], p[2], b), refused[a]) << limit;
        p[a] = beyond;
        EXPECT_EQ(map.field(p[0], p[1], p[2], b), refused[a]) << beyond;
      }
    }
    if (trial == 0) {
      EXPECT_EQ(g.XHIGH, 24.9f);
      EXPECT_EQ(high[0], std::nextafter(24.9f, 0.0f));
    }
  }
  EXPECT_GT(moved, 10);
}

TEST(FieldMapTest, FailuresGiveTheLoadersStatusAndLeaveTheMapAlone) {
  MapContents good;
  fill_values(good, [](float, float, float) { return std::array<float, 3>{1, 1, 1}; });
  FieldMap map;
  MapError error;
  ASSERT_TRUE(FieldMap::load_bytes(encode_map(good), map, error));
  const std::string bytes = encode_map(good);

  struct Row {
    std::string name;
    std::string bytes;
    std::int16_t status;
    std::string message;
  };
  MapContents big = good;
  big.nx = big.ny = big.nz = 101;
  big.values.clear();
  std::string header_only;
  const auto records = encode_records(big);
  for (std::size_t r = 0; r < 5; ++r) header_only += frame_record(records[r]);
  const Row rows[] = {
      {"cut title", bytes.substr(0, 40), 2, "Reading error: TITLE"},
      {"cut plane", bytes.substr(0, bytes.size() - 6), 8, "Reading error: FIELDs"},
      {"capacity", header_only, 7, "Change the program parameter MXS to     3090903"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    MapError e;
    EXPECT_FALSE(FieldMap::load_bytes(row.bytes, map, e));
    EXPECT_EQ(e.status, row.status);
    EXPECT_EQ(e.message, row.message);
    EXPECT_EQ(map.contents().values.size(), 24u);
  }
  MapError e;
  EXPECT_FALSE(FieldMap::load("/nonexistent/map", map, e));
  EXPECT_EQ(e.status, 1);
  EXPECT_EQ(e.message, "Cannot open the MAP file");
  MapContents short_values = good;
  short_values.values.pop_back();
  EXPECT_FALSE(FieldMap::from_contents(short_values, map, e));
  EXPECT_EQ(e.status, 8);
  EXPECT_EQ(map.contents().values.size(), 24u);
}

}  // namespace
}  // namespace fieldscan
