#include "fieldscan/field/fields.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace fieldscan {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr double kPi = 3.14159265358979323846;

using Vec3 = std::array<float, 3>;
using FieldFn = std::function<Vec3(double x, double y, double z)>;

// Grid geometry of a test map; the limits are derived from it as the
// loader derives them.
struct Geometry {
  float xmin = 0, ymin = 0, zmin = 0;
  float dx = 1, dy = 1, dz = 1;
  std::int32_t nx = 2, ny = 2, nz = 2;
  double angle_deg = 90.0;
  std::int32_t ida = 0, idb = 0, idc = 0;
};

// SIZE as the loader leaves it: ANGLE in radians through the single-precision
// pi, the limits in double from the counts and the single-precision fields,
// each rounded once.
GridSize grid_size(const Geometry& g) {
  GridSize s;
  s.XMIN = g.xmin, s.YMIN = g.ymin, s.ZMIN = g.zmin;
  s.DX = g.dx, s.DY = g.dy, s.DZ = g.dz;
  s.NX = g.nx, s.NY = g.ny, s.NZ = g.nz;
  s.IDA = g.ida, s.IDB = g.idb, s.IDC = g.idc;
  const float p = static_cast<float>(std::atan2(0.0, -1.0));
  s.ANGLE = static_cast<float>(g.angle_deg / 180.0 * p);
  const double lx = (static_cast<double>(g.nx) - 1) * g.dx;
  const double ly = (static_cast<double>(g.ny) - 1) * g.dy;
  const double lz = (static_cast<double>(g.nz) - 1) * g.dz;
  const bool quadrant = std::fabs(static_cast<double>(s.ANGLE) - p * 0.5) < 1.0e-5f;
  auto f = [](double v) { return static_cast<float>(v); };
  s.XHIGH = f(g.xmin + lx);
  s.YHIGH = quadrant ? f(g.ymin + ly) : f(g.ymin + lx);
  s.ZHIGH = f(g.zmin + lz);
  s.XLOW = g.ida != 0 ? f(g.xmin - lx) : g.xmin;
  s.YLOW = g.idb == 0 ? g.ymin : quadrant ? f(g.ymin - ly) : f(g.ymin - lx);
  s.ZLOW = g.idc != 0 ? f(g.zmin - lz) : g.zmin;
  return s;
}

// Node values in BMAP order, f evaluated at every node position.
std::vector<float> node_values(const GridSize& s, const FieldFn& f) {
  std::vector<float> v;
  for (int k = 0; k < s.NZ; ++k)
    for (int j = 0; j < s.NY; ++j)
      for (int i = 0; i < s.NX; ++i) {
        const Vec3 b =
            f(s.XMIN + static_cast<double>(i) * s.DX, s.YMIN + static_cast<double>(j) * s.DY,
              s.ZMIN + static_cast<double>(k) * s.DZ);
        v.insert(v.end(), b.begin(), b.end());
      }
  return v;
}

std::size_t node_index(const GridSize& s, int i, int j, int k) {
  return 3 * ((static_cast<std::size_t>(k - 1) * s.NY + (j - 1)) * s.NX + (i - 1));
}

struct Result {
  std::int16_t status;
  Vec3 b;
};

const Text80 kMessageBefore = make_text<80>("message left by the caller");
constexpr float kOutputBefore = -12345.5f;

std::string message_for(int status) {
  switch (status) {
    case 1:
      return "Point is outside X-limits";
    case 2:
      return "Point is outside Y-limits";
    case 3:
      return "Point is outside Z-limits";
    case 4:
      return "Non measured point - probably iron";
    default:
      return "";
  }
}

// A loaded map: SIZE set for the object's lifetime, BMAP an exactly sized
// heap block (the node values, then `nan_tail` NaN sentinels), so that under
// AddressSanitizer any read past the block fails, and any read of a
// sentinel shows as a NaN result.  MXS is the block's size.
class LoadedMap {
 public:
  LoadedMap(const GridSize& size, const std::vector<float>& values, std::size_t nan_tail = 0)
      : saved_(SIZE), capacity_(values.size() + nan_tail), block_(new float[capacity_]) {
    std::copy(values.begin(), values.end(), block_.get());
    std::fill(block_.get() + values.size(), block_.get() + capacity_, kNaN);
    SIZE = size;
  }
  LoadedMap(const Geometry& g, const FieldFn& f, std::size_t nan_tail = 0)
      : LoadedMap(grid_size(g), node_values(grid_size(g), f), nan_tail) {}
  ~LoadedMap() { SIZE = saved_; }
  LoadedMap(const LoadedMap&) = delete;
  LoadedMap& operator=(const LoadedMap&) = delete;

  // Calls FIELDS and checks the output contract: outputs written only on
  // success, the whole message (text and blanks) only on failure.
  Result at(float x, float y, float z) const {
    Vec3 b{kOutputBefore, kOutputBefore, kOutputBefore};
    Text80 message = kMessageBefore;
    std::int16_t status = -7;
    const std::int32_t mxs = static_cast<std::int32_t>(capacity_);
    FIELDS(block_.get(), mxs, x, y, z, b[0], b[1], b[2], message, status);
    if (status == 0) {
      EXPECT_EQ(view(message), view(kMessageBefore)) << "success must leave MESSAGE";
    } else {
      EXPECT_EQ(view(message), view(make_text<80>(message_for(status))));
      EXPECT_EQ(b, (Vec3{kOutputBefore, kOutputBefore, kOutputBefore}))
          << "failure must leave BX, BY, BZ";
    }
    return {status, b};
  }

  float* data() { return block_.get(); }

 private:
  GridSize saved_;
  std::size_t capacity_;
  std::unique_ptr<float[]> block_;
};

std::string point_name(float x, float y, float z) {
  char buf[128];
  std::snprintf(buf, sizeof buf, "(%.9g, %.9g, %.9g)", x, y, z);
  return buf;
}

// ---------------------------------------------------------------------------
// Map A: origin 0, steps 1, 2 x 2 x 2 nodes, 90 degrees, a field linear in
// the node position.

Vec3 map_a_field(double x, double y, double z) {
  return {static_cast<float>(1 + 2 * x + 3 * y + 4 * z),
          static_cast<float>(10 + 20 * x - 5 * y + z), static_cast<float>(-2 + x + y - 8 * z)};
}

Geometry map_a(int ida, int idb, int idc) {
  Geometry g;
  g.ida = ida, g.idb = idb, g.idc = idc;
  return g;
}

struct PointRow {
  const char* what;
  int ida, idb, idc;
  float x, y, z;
  int status;
  Vec3 b;  // exact, when status is 0
};

void check_rows(const std::vector<PointRow>& rows,
                const std::function<std::unique_ptr<LoadedMap>(const PointRow&)>& load) {
  for (const PointRow& row : rows) {
    SCOPED_TRACE(std::string(row.what) + " at " + point_name(row.x, row.y, row.z) + " IDs " +
                 std::to_string(row.ida) + std::to_string(row.idb) + std::to_string(row.idc));
    const auto map = load(row);
    const Result r = map->at(row.x, row.y, row.z);
    EXPECT_EQ(r.status, row.status);
    if (row.status == 0) {
      EXPECT_EQ(r.b, row.b);
    }
  }
}

TEST(FieldsMapA, InterpolationLimitsAndMirrors) {
  const std::vector<PointRow> rows = {
      {"inside", 0, 0, 0, 0.25f, 0.5f, 0.75f, 0, {6.0f, 13.25f, -7.25f}},
      {"far corner", 0, 0, 0, 1, 1, 1, 0, {10, 26, -8}},
      {"origin", 0, 0, 0, 0, 0, 0, 0, {1, 10, -2}},
      {"past x", 0, 0, 0, 1.0001f, 0.5f, 0.5f, 1, {}},
      {"past y", 0, 0, 0, 0.5f, 1.0001f, 0.5f, 2, {}},
      {"past z", 0, 0, 0, 0.5f, 0.5f, 1.0001f, 3, {}},
      {"below z", 0, 0, 0, 0.5f, 0.5f, -0.1f, 3, {}},
      {"below x, no mirror", 0, 0, 0, -0.25f, 0.5f, 0.75f, 1, {}},
      {"below y, no mirror", 0, 0, 0, 0.25f, -0.5f, 0.75f, 2, {}},
      // Status order: z, then the lower x and y limits, then the upper ones.
      {"z before all", 0, 0, 0, 5, 0.5f, 7, 3, {}},
      {"x low before y low", 0, 0, 0, -1, -1, 0.5f, 1, {}},
      {"y low before x high", 0, 0, 0, 5, -1, 0.5f, 2, {}},
      {"x high before y high", 0, 0, 0, 5, 5, 0.5f, 1, {}},
      {"z before mirrored x, y", 1, 1, 0, -0.25f, -0.5f, -0.1f, 3, {}},
      {"z before mirrored x, y", 2, 2, 0, -0.25f, -0.5f, -0.75f, 3, {}},
      // Index 1: the component normal to the plane changes sign.
      {"mirror x, index 1", 1, 1, 1, -0.25f, 0.5f, 0.75f, 0, {-6.0f, 13.25f, -7.25f}},
      {"mirror y, index 1", 1, 1, 1, 0.25f, -0.5f, 0.75f, 0, {6.0f, -13.25f, -7.25f}},
      {"mirror z, index 1", 1, 1, 1, 0.25f, 0.5f, -0.75f, 0, {6.0f, 13.25f, 7.25f}},
      {"mirror xyz, index 1", 1, 1, 1, -0.25f, -0.5f, -0.75f, 0, {-6.0f, -13.25f, 7.25f}},
      // Any other index: the two parallel components change sign.
      {"mirror x, index 2", 2, 2, 2, -0.25f, 0.5f, 0.75f, 0, {6.0f, -13.25f, 7.25f}},
      {"mirror xyz, index 2", 2, 2, 2, -0.25f, -0.5f, -0.75f, 0, {6.0f, 13.25f, -7.25f}},
      {"mirror x, index -3", -3, 0, 0, -0.25f, 0.5f, 0.75f, 0, {6.0f, -13.25f, 7.25f}},
      // A point on a mirror plane is not mirrored.
      {"on the planes", 1, 1, 1, 0, 0, 0, 0, {1, 10, -2}},
      {"lower x limit", 1, 0, 0, -1, 0, 0, 0, {-3, 30, -1}},
      // Single-precision coordinates off the binary grid: the exact results
      // of double arithmetic rounded once per stored value.  Single-precision
      // fractions, weights or sums land one or more ulps away here.
      {"0.1 0.2 0.3", 0, 0, 0, 0.1f, 0.2f, 0.3f, 0, {0x1.8p+1f, 0x1.69999ap+3f, -0x1.066666p+2f}},
      {"0.3 0.7 0.9",
       0,
       0,
       0,
       0.3f,
       0.7f,
       0.9f,
       0,
       {0x1.d33332p+2f, 0x1.accccep+3f, -0x1.066666p+3f}},
      {"0.01 0.99 0.5", 0, 0, 0, 0.01f, 0.99f, 0.5f, 0, {0x1.7f5c2ap+2f, 0x1.7p+2f, -0x1.4p+2f}},
  };
  check_rows(rows, [](const PointRow& row) {
    return std::make_unique<LoadedMap>(map_a(row.ida, row.idb, row.idc), map_a_field);
  });
}

// Node (2, 2, 2) of map A replaced by `marker`.
std::unique_ptr<LoadedMap> map_a_with_marker(const Vec3& marker) {
  const GridSize s = grid_size(map_a(0, 0, 0));
  std::vector<float> v = node_values(s, map_a_field);
  std::copy(marker.begin(), marker.end(), v.begin() + node_index(s, 2, 2, 2));
  return std::make_unique<LoadedMap>(s, v);
}

TEST(FieldsMapA, UnmeasuredNodes) {
  const float over = 999999.0f;
  const float just_over = std::nextafter(900000.0f, 1e6f);
  struct Row {
    const char* what;
    Vec3 marker;
    float x, y, z;
    int status;
    Vec3 b;
  };
  const std::vector<Row> rows = {
      {"weight on it", {over, over, over}, 0.25f, 0.5f, 0.75f, 4, {}},
      {"on the node", {over, over, over}, 1, 1, 1, 4, {}},
      {"weight 0 on it", {over, over, over}, 0, 0.5f, 0.75f, 0, {5.5f, 8.25f, -7.5f}},
      {"on its face, weight 0", {over, over, over}, 0.5f, 0.5f, 0, 0, {3.5f, 17.5f, -1.0f}},
      {"just above the marker", {just_over, just_over, just_over}, 0.25f, 0.5f, 0.75f, 4, {}},
      {"two components above",
       {over, over, -8},
       0.25f,
       0.5f,
       0.75f,
       0,
       {93754.96875f, 93760.71875f, -7.25f}},
      {"one component above", {10, 26, over}, 0.25f, 0.5f, 0.75f, 0, {6.0f, 13.25f, 93743.40625f}},
      {"exactly the threshold",
       {900000, 900000, 900000},
       0.25f,
       0.5f,
       0.75f,
       0,
       {84380.0625f, 84385.8125f, 84368.5f}},
      {"BX exactly the threshold, the others above",
       {900000, over, over},
       0.25f,
       0.5f,
       0.75f,
       0,
       {84380.0625f, 93760.71875f, 93743.40625f}},
      {"BY exactly the threshold, the others above",
       {over, 900000, over},
       0.25f,
       0.5f,
       0.75f,
       0,
       {93754.96875f, 84385.8125f, 93743.40625f}},
      {"BZ exactly the threshold, the others above",
       {over, over, 900000},
       0.25f,
       0.5f,
       0.75f,
       0,
       {93754.96875f, 93760.71875f, 84368.5f}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.what) + " at " + point_name(row.x, row.y, row.z));
    const auto map = map_a_with_marker(row.marker);
    const Result r = map->at(row.x, row.y, row.z);
    EXPECT_EQ(r.status, row.status);
    if (row.status == 0) {
      EXPECT_EQ(r.b, row.b);
    }
  }
}

TEST(FieldsContract, FailureLeavesOutputsSuccessLeavesMessage) {
  LoadedMap map(map_a(0, 0, 0), map_a_field);
  float bx = 1.5f, by = 2.5f, bz = 3.5f;
  Text80 message = make_text<80>("earlier text");
  std::int16_t status = 99;
  FIELDS(map.data(), MXS, 0.5f, 0.5f, 9.0f, bx, by, bz, message, status);
  EXPECT_EQ(status, 3);
  EXPECT_EQ((Vec3{bx, by, bz}), (Vec3{1.5f, 2.5f, 3.5f}));
  EXPECT_EQ(std::string(view(message)), "Point is outside Z-limits" + std::string(80 - 25, ' '));

  message = make_text<80>("earlier text");
  FIELDS(map.data(), MXS, 0.25f, 0.5f, 0.75f, bx, by, bz, message, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ((Vec3{bx, by, bz}), (Vec3{6.0f, 13.25f, -7.25f}));
  EXPECT_EQ(view(message), view(make_text<80>("earlier text")));
}

// ---------------------------------------------------------------------------
// Map B: steps 0.5, 0.5, 1; 3 x 3 x 2 nodes all holding (1, 0, 0.5).  Points
// at radius 0.8, z = 0.5; coordinates are the single-precision values of
// 0.8 cos a and 0.8 sin a.

Geometry map_b(double angle_deg, int ida) {
  Geometry g;
  g.dx = 0.5f, g.dy = 0.5f, g.dz = 1;
  g.nx = 3, g.ny = 3, g.nz = 2;
  g.angle_deg = angle_deg;
  g.ida = ida;
  return g;
}

Vec3 map_b_field(double, double, double) { return {1.0f, 0.0f, 0.5f}; }

TEST(FieldsMapB, SectorFoldAndMirror) {
  struct Row {
    const char* what;
    double angle_deg;
    int ida;
    float x, y;
    Vec3 exact;     // the single-precision result
    Vec3 analytic;  // the field the symmetry gives, to check the exact one
  };
  const float s60 = static_cast<float>(std::sqrt(3.0) / 2);
  const float a45 = 0x1.21a186p-1f;  // 0.8 cos 45 = 0.8 sin 45
  const std::vector<Row> rows = {
      {"10 degrees, not folded", 30, 0, 0x1.936094p-1f, 0x1.1c8154p-3f, {1, 0, 0.5f}, {1, 0, 0.5f}},
      {"20 degrees, not folded", 30, 0, 0x1.80e5eap-1f, 0x1.182ed2p-2f, {1, 0, 0.5f}, {1, 0, 0.5f}},
      {"45 degrees: k_t 0, k_n 1",
       30,
       0,
       a45,
       a45,
       {0x1.fffffep-2f, 0x1.bb67aep-1f, 0.5f},
       {0.5f, s60, 0.5f}},
      {"75 degrees: k_t 1, k_n 1",
       30,
       0,
       0x1.a80c94p-3f,
       0x1.8ba4aap-1f,
       {-0x1.fffffep-2f, -0x1.bb67aep-1f, 0.5f},
       {-0.5f, -s60, 0.5f}},
      {"-30 degrees folds as 30, 45",
       -30,
       0,
       a45,
       a45,
       {0x1.fffffep-2f, 0x1.bb67aep-1f, 0.5f},
       {0.5f, s60, 0.5f}},
      {"-30 degrees folds as 30, 75",
       -30,
       0,
       0x1.a80c94p-3f,
       0x1.8ba4aap-1f,
       {-0x1.fffffep-2f, -0x1.bb67aep-1f, 0.5f},
       {-0.5f, -s60, 0.5f}},
      {"135 degrees, IDA 2",
       30,
       2,
       -a45,
       a45,
       {0x1.fffffep-2f, -0x1.bb67aep-1f, -0.5f},
       {0.5f, -s60, -0.5f}},
      {"135 degrees, IDA 1",
       30,
       1,
       -a45,
       a45,
       {-0x1.fffffep-2f, 0x1.bb67aep-1f, 0.5f},
       {-0.5f, s60, 0.5f}},
      {"ANGLE 0 at 0 degrees", 0, 0, 0x1.99999ap-1f, 0, {1, 0, 0.5f}, {1, 0, 0.5f}},
      {"ANGLE 0 at 30 degrees",
       0,
       0,
       0x1.62b958p-1f,
       0x1.99999ap-2f,
       {0x1.bb67aep-1f, 0.5f, 0.5f},
       {s60, 0.5f, 0.5f}},
      {"ANGLE 0 at 60 degrees",
       0,
       0,
       0x1.99999ap-2f,
       0x1.62b958p-1f,
       {0x1.fffffep-2f, 0x1.bb67b0p-1f, 0.5f},
       {0.5f, s60, 0.5f}},
      {"ANGLE 0 at 90 degrees", 0, 0, 0, 0x1.99999ap-1f, {-0x1.777a5cp-25f, 1, 0.5f}, {0, 1, 0.5f}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.what) + " at " + point_name(row.x, row.y, 0.5f));
    LoadedMap map(map_b(row.angle_deg, row.ida), map_b_field);
    const Result r = map.at(row.x, row.y, 0.5f);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.b, row.exact);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(r.b[c], row.analytic[c], 1e-6) << "component " << c;
  }
}

// The edges of the sector fold.
TEST(FieldsMapB, SectorFoldEdges) {
  {
    SCOPED_TRACE("on the sector line of a 45-degree map: not folded");
    LoadedMap map(map_b(45, 0), map_b_field);
    const Result r = map.at(0.5f, 0.5f, 0.5f);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.b, (Vec3{1, 0, 0.5f}));
  }
  {
    // One ulp of theta past the line at twice the sector angle the folded
    // angle is tiny and snaps to 0: the folded point lies on the first row
    // of nodes, and the unmeasured row next to it carries no weight.
    SCOPED_TRACE("one ulp past 60 degrees on a 30-degree map, unmeasured second row");
    const GridSize s = grid_size(map_b(30, 0));
    std::vector<float> v = node_values(s, map_b_field);
    for (int k = 1; k <= s.NZ; ++k)
      for (int i = 1; i <= s.NX; ++i) std::fill_n(v.begin() + node_index(s, i, 2, k), 3, 999999.0f);
    LoadedMap map(s, v);
    const float line = static_cast<float>(2.0 * static_cast<double>(s.ANGLE));
    const float past = std::nextafter(line, 2.0f);
    const float x = static_cast<float>(0.8 * std::cos(static_cast<double>(past)));
    float y = static_cast<float>(0.8 * std::sin(static_cast<double>(past)));
    // The point whose polar angle, rounded to single precision, is `past`.
    for (int step = 0; step < 64; ++step) {
      const auto theta = static_cast<float>(std::atan2(static_cast<double>(y), x));
      if (theta == past) break;
      y = std::nextafter(y, theta < past ? 1.0f : 0.0f);
    }
    ASSERT_EQ(static_cast<float>(std::atan2(static_cast<double>(y), x)), past);
    const Result r = map.at(x, y, 0.5f);
    ASSERT_EQ(r.status, 0);
    EXPECT_NEAR(r.b[0], -0.5f, 1e-6);
    EXPECT_NEAR(r.b[1], -std::sqrt(3.0) / 2, 1e-6);
    EXPECT_EQ(r.b[2], 0.5f);
  }
  {
    // Five times the sector angle is the single-precision pi / 2, so at
    // polar angle 90 degrees t is 2.5: the sector count rounds it away from
    // zero to 3, which decides the sign of the azimuthal component.
    SCOPED_TRACE("18-degree map at 90 degrees: the sector count rounds half away from zero");
    LoadedMap map(map_b(18, 0), map_b_field);
    const Result r = map.at(0, 0.8f, 0.5f);
    ASSERT_EQ(r.status, 0);
    EXPECT_NEAR(r.b[0], -std::sin(18.0 / 180.0 * kPi), 1e-6);
    EXPECT_NEAR(r.b[1], std::cos(18.0 / 180.0 * kPi), 1e-6);
    EXPECT_EQ(r.b[2], 0.5f);
  }
}

// Results that land next to a rounding tie of the listing's two decimals:
// on a fully symmetric map whose nodes hold (0.25, 0, 0), the point at polar
// angle 60 degrees gets BX = 0.25 cos(theta), mathematically the tie 0.125.
// The single-precision theta lies a little above 60 degrees, so BX is the
// float just below 0.125 (listed as 0.12), not 0.125 (listed as 0.13).
TEST(FieldsPrecision, RoundingTieOfTheListing) {
  LoadedMap map(map_b(0, 0), [](double, double, double) { return Vec3{0.25f, 0, 0}; });
  const Result r = map.at(0x1.99999ap-2f, 0x1.62b958p-1f, 0.5f);
  ASSERT_EQ(r.status, 0);
  EXPECT_EQ(r.b, (Vec3{0x1.fffffep-4f, 0x1.bb67b0p-3f, 0.0f}));

  // A node value on the tie, reached with dyadic weights, stays exact.
  Geometry g;
  g.dx = 0.5f;
  LoadedMap nice(g, [](double x, double, double) { return Vec3{static_cast<float>(x / 4), 0, 0}; });
  EXPECT_EQ(nice.at(0.25f, 0, 0).b[0], 0.0625f);
  EXPECT_EQ(nice.at(0.5f, 0.5f, 0.5f).b[0], 0.125f);
}

// Exact single-precision results at points where storing one more value in
// single precision (the fractions, cos and sin of the folded angle, Br and Bp)
// or one fewer changes the last bit.
TEST(FieldsPrecision, WhereEachRoundingHappens) {
  struct Row {
    const char* what;
    float x, y, z;
    Vec3 b;
  };
  {
    // Quadrant map with steps off the binary grid: the fractions and weights
    // stay in double precision.
    Geometry g;
    g.xmin = -3.0f, g.ymin = 1.25f, g.zmin = -0.5f;
    g.dx = 0.1f, g.dy = 0.3f, g.dz = 0.7f;
    g.nx = 31, g.ny = 11, g.nz = 6;
    LoadedMap map(g, [](double x, double y, double z) {
      return Vec3{static_cast<float>(4 + 0.5 * x - 2 * y + 3 * z),
                  static_cast<float>(-1 + 7 * x + 0.25 * y - z),
                  static_cast<float>(0.125 + x + y + z)};
    });
    for (const Row& row : {
             Row{"fractions 1",
                 -0x1.2cccccp+1f,
                 0x1.428f5cp+1f,
                 -0x1.99999ap-2f,
                 {-0x1.b51eb8p+1f, -0x1.06b852p+4f, -0x1.ae1466p-4f}},
             Row{"fractions 2",
                 -0x1.266666p+1f,
                 0x1.f0a3d8p+0f,
                 0x1.147ae2p-2f,
                 {-0x1.c28f7p-3f, -0x1.0e28f6p+4f, 0x1.1eb88p-5f}},
         }) {
      SCOPED_TRACE(row.what);
      const Result r = map.at(row.x, row.y, row.z);
      ASSERT_EQ(r.status, 0);
      EXPECT_EQ(r.b, row.b);
    }
  }
  {
    // 30-degree sector map with a field linear in the map's coordinates:
    // cos and sin of the folded angle, Br and Bp are single precision.
    Geometry g;
    g.dx = g.dy = g.dz = 0.5f;
    g.nx = 11, g.ny = 8, g.nz = 3;
    g.angle_deg = 30;
    LoadedMap map(g, [](double x, double y, double z) {
      return Vec3{static_cast<float>(0.75 + 2 * x - y), static_cast<float>(-0.5 + x + 3 * y),
                  static_cast<float>(1 + x - 2 * y + 0.5 * z)};
    });
    for (const Row& row : {
             Row{"Br, Bp 1",
                 0x1.70a3d8p-4f,
                 0x1.ae147ap-3f,
                 0.25f,
                 {-0x1.82585p-1f, -0x1.d899bap-1f, 0x1.4c3956p+0f}},
             Row{"Br, Bp 2",
                 0x1.ca3d7p+1f,
                 0x1.23d70ap+1f,
                 0.25f,
                 {0x1.628d0ep+3f, 0x1.cc756ep-1f, 0x1.f006p-1f}},
             Row{"cos, sin 1",
                 0x1.333334p-2f,
                 0x1.d70a3ep-3f,
                 0.25f,
                 {0x1.cb774ap-1f, 0x1.f9672cp-1f, 0x1.2f4004p+0f}},
             Row{"cos, sin 2",
                 0x1.666666p+0f,
                 0x1.2f5c28p+1f,
                 0.25f,
                 {0x1.48b018p+2f, 0x1.0e7386p+2f, 0x1.e94b3ep+1f}},
         }) {
      SCOPED_TRACE(row.what);
      const Result r = map.at(row.x, row.y, row.z);
      ASSERT_EQ(r.status, 0);
      EXPECT_EQ(r.b, row.b);
    }
  }
}

// ---------------------------------------------------------------------------
// The interpolation reproduces any field in the span of 1, x, y, z, xy, xz,
// yz, xyz.  With mirror planes the field must obey the sign rules: a
// component that changes sign in the mirror image about x = XMIN must be odd
// in (x - XMIN), the others even.  Each component then is one monomial: the
// product of the offsets along the axes whose mirror reverses it.

struct Monomials {
  int ida, idb, idc;
  // True when component c changes sign in the mirror about axis a.
  static bool reverses(int id, int axis, int c) { return id == 1 ? c == axis : c != axis; }
  double value(int c, double dx, double dy, double dz) const {
    const double coef[3] = {1.5, -2.25, 0.75};
    double m = coef[c];
    if (ida != 0 && reverses(ida, 0, c)) m *= dx;
    if (idb != 0 && reverses(idb, 1, c)) m *= dy;
    if (idc != 0 && reverses(idc, 2, c)) m *= dz;
    return m;
  }
};

TEST(FieldsProperty, MultilinearFieldReproducedAcrossMirrorPlanes) {
  Geometry g;
  g.xmin = 1.5f, g.ymin = -2.0f, g.zmin = 0.5f;
  g.dx = 0.5f, g.dy = 0.25f, g.dz = 1.0f;
  g.nx = 9, g.ny = 7, g.nz = 5;
  std::mt19937 rng(20240611);
  for (int ida : {1, 2})
    for (int idb : {1, 2})
      for (int idc : {1, 2}) {
        SCOPED_TRACE("IDs " + std::to_string(ida) + std::to_string(idb) + std::to_string(idc));
        g.ida = ida, g.idb = idb, g.idc = idc;
        const Monomials field{ida, idb, idc};
        auto f = [&](double x, double y, double z) {
          Vec3 b;
          for (int c = 0; c < 3; ++c)
            b[c] = static_cast<float>(field.value(c, x - g.xmin, y - g.ymin, z - g.zmin));
          return b;
        };
        LoadedMap map(g, f);
        const GridSize& s = SIZE;
        std::uniform_real_distribution<float> ux(s.XLOW, s.XHIGH), uy(s.YLOW, s.YHIGH),
            uz(s.ZLOW, s.ZHIGH);
        for (int n = 0; n < 200; ++n) {
          const float x = ux(rng), y = uy(rng), z = uz(rng);
          SCOPED_TRACE(point_name(x, y, z));
          const Result r = map.at(x, y, z);
          ASSERT_EQ(r.status, 0);
          for (int c = 0; c < 3; ++c) {
            const double want =
                field.value(c, double(x) - s.XMIN, double(y) - s.YMIN, double(z) - s.ZMIN);
            EXPECT_NEAR(r.b[c], want, 2e-6 * (1 + std::fabs(want))) << "component " << c;
          }
        }
      }
}

TEST(FieldsProperty, LinearFieldReproducedOnQuadrantMap) {
  Geometry g;
  g.xmin = -3.0f, g.ymin = 1.25f, g.zmin = -0.5f;
  g.dx = 0.1f, g.dy = 0.3f, g.dz = 0.7f;  // steps off the binary grid
  g.nx = 31, g.ny = 11, g.nz = 6;
  auto exact = [&](double x, double y, double z) {
    return std::array<double, 3>{4 + 0.5 * x - 2 * y + 3 * z, -1 + 7 * x + 0.25 * y - z,
                                 0.125 + x + y + z};
  };
  LoadedMap map(g, [&](double x, double y, double z) {
    const auto e = exact(x, y, z);
    return Vec3{static_cast<float>(e[0]), static_cast<float>(e[1]), static_cast<float>(e[2])};
  });
  const GridSize& s = SIZE;
  std::mt19937 rng(7);
  std::uniform_real_distribution<float> ux(s.XLOW, s.XHIGH), uy(s.YLOW, s.YHIGH),
      uz(s.ZLOW, s.ZHIGH);
  for (int n = 0; n < 1000; ++n) {
    const float x = ux(rng), y = uy(rng), z = uz(rng);
    SCOPED_TRACE(point_name(x, y, z));
    const Result r = map.at(x, y, z);
    ASSERT_EQ(r.status, 0);
    const auto want = exact(x, y, z);
    for (int c = 0; c < 3; ++c) EXPECT_NEAR(r.b[c], want[c], 1e-5 * (1 + std::fabs(want[c])));
  }
}

// The field at a point outside the sector, obtained by reflecting it back
// into the sector line by line: across a line at an odd multiple of the
// sector angle the field is mirrored (B(P) = R B(P')), across an even
// multiple mirrored and reversed (B(P) = -R B(P')), R being the reflection
// across that line.  `inside(x, y)` is the field in the sector.
std::array<double, 2> unfolded_by_reflections(
    double x, double y, double sector,
    const std::function<std::array<double, 2>(double, double)>& inside) {
  const double r = std::hypot(x, y);
  double alpha = std::atan2(y, x);
  double m11 = 1, m12 = 0, m21 = 0, m22 = 1;  // B(P) = M B(P')
  while (alpha > sector) {
    const int line = static_cast<int>(std::ceil(alpha / sector)) - 1;  // alpha in (line, line+1]
    const double beta = line * sector;
    const double sign = line % 2 == 1 ? 1.0 : -1.0;
    const double c2 = std::cos(2 * beta), s2 = std::sin(2 * beta);
    // M = M * sign * [[c2, s2], [s2, -c2]]
    const double n11 = sign * (m11 * c2 + m12 * s2), n12 = sign * (m11 * s2 - m12 * c2);
    const double n21 = sign * (m21 * c2 + m22 * s2), n22 = sign * (m21 * s2 - m22 * c2);
    m11 = n11, m12 = n12, m21 = n21, m22 = n22;
    alpha = 2 * beta - alpha;
  }
  const auto b = inside(r * std::cos(alpha), r * std::sin(alpha));
  return {m11 * b[0] + m12 * b[1], m21 * b[0] + m22 * b[1]};
}

TEST(FieldsProperty, SectorMapsUnfoldByReflection) {
  // Field linear in the map's own coordinates; its values outside the
  // sector come only from the symmetry.
  auto field = [](double x, double y) {
    return std::array<double, 2>{0.75 + 2 * x - y, -0.5 + x + 3 * y};
  };
  auto bz = [](double x, double y, double z) { return 1 + x - 2 * y + 0.5 * z; };
  for (double deg : {30.0, 25.0, 40.0}) {
    SCOPED_TRACE("sector " + std::to_string(deg));
    Geometry g;
    g.dx = 0.5f, g.dy = 0.5f, g.dz = 0.5f;
    g.nx = 11, g.ny = 8, g.nz = 3;
    g.angle_deg = deg;
    g.ida = 1, g.idb = 2, g.idc = 1;
    LoadedMap map(g, [&](double x, double y, double z) {
      const auto b = field(x, y);
      return Vec3{static_cast<float>(b[0]), static_cast<float>(b[1]),
                  static_cast<float>(bz(x, y, z))};
    });
    const double sector = SIZE.ANGLE;
    std::mt19937 rng(99);
    std::uniform_real_distribution<double> radius(0.0, 4.75), polar(-kPi, kPi), height(-1, 1);
    int folded = 0;
    for (int n = 0; n < 1000; ++n) {
      const double rr = radius(rng), a = polar(rng);
      const float x = static_cast<float>(rr * std::cos(a));
      const float y = static_cast<float>(rr * std::sin(a));
      const float z = static_cast<float>(height(rng));
      // Stay clear of the sector lines, where the stored field need not be
      // continuous with its own mirror image.
      const double theta = std::atan2(std::fabs(y), std::fabs(x));
      const double off = std::remainder(theta, sector);
      if (std::fabs(off) < 1e-4 && theta > sector / 2) continue;
      SCOPED_TRACE(point_name(x, y, z));
      const Result r = map.at(x, y, z);
      ASSERT_EQ(r.status, 0);
      // First-quadrant image, unfolded by reflections, then the mirror
      // planes: IDA 1 reverses BX, IDB 2 reverses BX and BZ, IDC 1 BZ.
      auto b = unfolded_by_reflections(std::fabs(x), std::fabs(y), sector, field);
      // BZ is invariant under the sector symmetry: it comes from the
      // folded point, which sits at the same radius and height.
      const double rad = std::hypot(double(x), double(y));
      const double phi = std::fabs(std::remainder(theta, 2 * sector));
      double b3 = bz(rad * std::cos(phi), rad * std::sin(phi), std::fabs(z));
      if (theta > sector) ++folded;
      if (x < 0) b[0] = -b[0];
      if (y < 0) b[0] = -b[0], b3 = -b3;
      if (z < 0) b3 = -b3;
      EXPECT_NEAR(r.b[0], b[0], 2e-5 * (1 + std::fabs(b[0])));
      EXPECT_NEAR(r.b[1], b[1], 2e-5 * (1 + std::fabs(b[1])));
      EXPECT_NEAR(r.b[2], b3, 2e-5 * (1 + std::fabs(b3)));
    }
    EXPECT_GT(folded, 400);
  }
}

TEST(FieldsProperty, FullRotationalSymmetryTurnsTheFieldAtAngleZero) {
  auto field = [](double x, double z) { return std::array<double, 3>{1 + x, 2 - 0.5 * x, z}; };
  Geometry g;
  g.dx = 0.25f, g.dy = 0.25f, g.dz = 0.5f;
  g.nx = 9, g.ny = 2, g.nz = 3;
  g.angle_deg = 0;
  LoadedMap map(g, [&](double x, double, double z) {
    const auto b = field(x, z);
    return Vec3{static_cast<float>(b[0]), static_cast<float>(b[1]), static_cast<float>(b[2])};
  });
  std::mt19937 rng(3);
  std::uniform_real_distribution<double> radius(0.0, 1.95), polar(0, kPi / 2), height(0, 1);
  for (int n = 0; n < 500; ++n) {
    const double a = polar(rng), rr = radius(rng);
    const float x = static_cast<float>(rr * std::cos(a)), y = static_cast<float>(rr * std::sin(a));
    const float z = static_cast<float>(height(rng));
    SCOPED_TRACE(point_name(x, y, z));
    const Result r = map.at(x, y, z);
    ASSERT_EQ(r.status, 0);
    const double t = std::atan2(double(y), double(x)), rad = std::hypot(double(x), double(y));
    const auto b = field(rad, z);  // on the half-plane of polar angle 0
    EXPECT_NEAR(r.b[0], std::cos(t) * b[0] - std::sin(t) * b[1], 1e-5);
    EXPECT_NEAR(r.b[1], std::sin(t) * b[0] + std::cos(t) * b[1], 1e-5);
    EXPECT_NEAR(r.b[2], b[2], 1e-5);
  }
}

// ---------------------------------------------------------------------------
// Guards: no read outside the loaded nodes (exactly sized blocks under
// AddressSanitizer, NaN sentinels past the nodes), no division by zero.

// A point that rounding puts a hair past the last node plane is evaluated on
// that plane.  Origin 0.1 and steps 0.1 put XHIGH, YHIGH and ZHIGH (0.3 in
// single precision) above the exact last plane 0.1 + 2 * 0.1, so at the top
// corner the plain cell formula would give the node beyond the last a
// fraction of about 7e-8.
TEST(FieldsGuard, HairBeyondTheLastPlaneByRounding) {
  Geometry g;
  g.xmin = g.ymin = g.zmin = 0.1f;
  g.dx = g.dy = g.dz = 0.1f;
  g.nx = g.ny = g.nz = 3;
  auto f = [](double x, double y, double z) {
    return Vec3{static_cast<float>(x + 2 * y), static_cast<float>(3 * z), 1.0f};
  };
  for (std::size_t tail : {std::size_t{0}, std::size_t{64}}) {
    LoadedMap map(g, f, tail);
    const GridSize& s = SIZE;
    ASSERT_GT(static_cast<double>(s.XHIGH) - s.XMIN, 2.0 * s.DX) << "no overshoot to test";
    const std::size_t last = node_index(s, 3, 3, 3);
    const Vec3 corner{map.data()[last], map.data()[last + 1], map.data()[last + 2]};
    const Result r = map.at(s.XHIGH, s.YHIGH, s.ZHIGH);
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.b, corner);
  }
}

// With a mirror plane in z, the folded z of the lower limit can exceed the
// last plane by rounding (there is no second z test): origin 0.1, step 0.2,
// 4 planes: ZLOW = -0.5, folded z 0.70000005 against the last plane at
// 0.69999999.
TEST(FieldsGuard, MirroredLowerZLimitLandsOnTheLastPlane) {
  Geometry g;
  g.zmin = 0.1f, g.dz = 0.2f, g.nz = 4;
  g.idc = 2;
  LoadedMap map(g, [](double x, double y, double z) {
    return Vec3{static_cast<float>(1 + x), static_cast<float>(2 + y), static_cast<float>(z)};
  });
  const GridSize& s = SIZE;
  const float w = static_cast<float>(std::fabs(double(s.ZLOW) - s.ZMIN));
  const float zf = static_cast<float>(double(s.ZMIN) + w);
  ASSERT_GT(zf, s.ZHIGH) << "no overshoot to test";
  const Result r = map.at(1, 1, s.ZLOW);
  ASSERT_EQ(r.status, 0);
  const float top = map.data()[node_index(s, 2, 2, 4) + 2];
  EXPECT_EQ(r.b, (Vec3{-2, -3, top}));  // index 2: BX and BY reversed
}

// A map that is not a quadrant map takes its y limit from the x extent; a
// point beyond the grid's shorter y extent has no nodes and is outside the
// y limits.  Points on the last y plane and inside evaluate.
TEST(FieldsGuard, NonQuadrantYLimitBeyondTheGrid) {
  Geometry g;
  g.nx = 5, g.ny = 2, g.nz = 2;
  g.angle_deg = 80;  // the point at (0.5, 2.5) has polar angle 78.7: not folded
  g.idb = 1;
  for (std::size_t tail : {std::size_t{0}, std::size_t{30}}) {
    LoadedMap map(g, map_a_field, tail);
    ASSERT_EQ(SIZE.YHIGH, 4.0f);
    struct Row {
      float x, y;
      int status;
    };
    for (const Row& row : {Row{0.5f, 2.5f, 2}, Row{0.5f, 1.0001f, 2}, Row{0.5f, -2.5f, 2},
                           Row{0.5f, 1.0f, 0}, Row{0.5f, -1.0f, 0}, Row{0.5f, 0.5f, 0}}) {
      SCOPED_TRACE(point_name(row.x, row.y, 0.5f));
      const Result r = map.at(row.x, row.y, 0.5f);
      EXPECT_EQ(r.status, row.status);
      if (r.status == 0) {
        for (float b : r.b) EXPECT_TRUE(std::isfinite(b));
      }
    }
  }
}

// Degenerate grids in hand-made grid descriptions: no division by zero, no
// read outside the loaded nodes.
TEST(FieldsGuard, DegenerateGrids) {
  struct Row {
    const char* what;
    std::function<void(GridSize&)> change;  // applied to map A's description
    std::size_t loaded;                     // values in the block (MXS)
    float x, y, z;
    int status;
  };
  const std::vector<Row> rows = {
      {"z step 0, one plane, on it", [](GridSize& s) { s.DZ = 0, s.NZ = 1, s.ZHIGH = 0; }, 12, 0.5f,
       0.5f, 0, 0},
      {"z step 0, two planes, on the first", [](GridSize& s) { s.DZ = 0; }, 24, 0.5f, 0.5f, 0, 0},
      {"z step 0, two planes, above", [](GridSize& s) { s.DZ = 0; }, 24, 0.5f, 0.5f, 0.5f, 3},
      {"one x node, on it", [](GridSize& s) { s.NX = 1; }, 12, 0, 0.5f, 0.5f, 0},
      {"one x node, beside it", [](GridSize& s) { s.NX = 1; }, 12, 0.5f, 0.5f, 0.5f, 1},
      {"one y node, on it", [](GridSize& s) { s.NY = 1; }, 12, 0.5f, 0, 0.5f, 0},
      {"one y node, beside it", [](GridSize& s) { s.NY = 1; }, 12, 0.5f, 0.5f, 0.5f, 2},
      {"negative x step", [](GridSize& s) { s.DX = -1; }, 24, 0.5f, 0.5f, 0.5f, 1},
      {"negative y step", [](GridSize& s) { s.DY = -1; }, 24, 0.5f, 0.5f, 0.5f, 2},
      {"negative y step, on the origin plane", [](GridSize& s) { s.DY = -1; }, 24, 0.5f, 0, 0.5f,
       0},
      {"NaN y step", [](GridSize& s) { s.DY = kNaN; }, 24, 0.5f, 0.5f, 0.5f, 2},
      {"infinite z step", [](GridSize& s) { s.DZ = kInf; }, 24, 0.5f, 0.5f, 0.5f, 3},
      {"subnormal x step", [](GridSize& s) { s.DX = 1e-45f; }, 24, 0.5f, 0.5f, 0.5f, 1},
      {"no x nodes", [](GridSize& s) { s.NX = 0; }, 0, 0, 0, 0, 1},
      {"negative counts, small product", [](GridSize& s) { s.NX = -1, s.NY = -1; }, 0, 0.5f, 0.5f,
       0.5f, 1},
      {"negative z count", [](GridSize& s) { s.NZ = -2; }, 0, 0.5f, 0.5f, 0.5f, 3},
      {"3 * NX * NY overflows 32 bits", [](GridSize& s) { s.NX = s.NY = 65536; }, 24, 0.5f, 0.5f,
       0.5f, 3},
      {"NX * NY * NZ overflows 64 bits", [](GridSize& s) { s.NX = s.NY = s.NZ = 2147483647; }, 24,
       0.5f, 0.5f, 0.5f, 3},
      {"only one plane fits MXS", [](GridSize&) {}, 12, 0.5f, 0.5f, 0.5f, 3},
      {"only one plane fits MXS, on it", [](GridSize&) {}, 12, 0.5f, 0.5f, 0, 0},
      {"MXS not a whole number of planes", [](GridSize&) {}, 23, 0.5f, 0.5f, 0.25f, 3},
      {"NaN XMIN", [](GridSize& s) { s.XMIN = kNaN; }, 24, 0.5f, 0.5f, 0.5f, 1},
      {"NaN ZLOW", [](GridSize& s) { s.ZLOW = kNaN; }, 24, 0.5f, 0.5f, 0.5f, 3},
      {"NaN YHIGH", [](GridSize& s) { s.YHIGH = kNaN; }, 24, 0.5f, 0.5f, 0.5f, 2},
      {"infinite XHIGH", [](GridSize& s) { s.XHIGH = kInf; }, 24, 5, 0.5f, 0.5f, 1},
      {"infinite limits, infinite x",
       [](GridSize& s) { s.XHIGH = s.YHIGH = kInf, s.XLOW = s.YLOW = -kInf; }, 24, kInf, 0.5f, 0.5f,
       1},
      {"NaN ANGLE never folds", [](GridSize& s) { s.ANGLE = kNaN; }, 24, 0.5f, 0.5f, 0.5f, 0},
      {"infinite ANGLE never folds", [](GridSize& s) { s.ANGLE = kInf; }, 24, 0.5f, 0.5f, 0.5f, 0},
      {"subnormal ANGLE: huge fold counts", [](GridSize& s) { s.ANGLE = 1e-45f; }, 24, 0.5f, 0.5f,
       0.5f, 0},
  };
  const GridSize a = grid_size(map_a(0, 0, 0));
  const std::vector<float> values = node_values(a, map_a_field);
  for (const Row& row : rows) {
    SCOPED_TRACE(std::string(row.what) + " at " + point_name(row.x, row.y, row.z));
    GridSize s = a;
    row.change(s);
    const std::vector<float> loaded(values.begin(), values.begin() + row.loaded);
    const LoadedMap map(s, loaded);
    const Result r = map.at(row.x, row.y, row.z);
    EXPECT_EQ(r.status, row.status);
    if (r.status == 0) {
      for (float b : r.b) EXPECT_TRUE(std::isfinite(b));
    }
  }
}

TEST(FieldsGuard, NonFinitePoints) {
  struct Row {
    float x, y, z;
    int status;
  };
  LoadedMap map(map_a(1, 1, 1), map_a_field);
  for (const Row& row :
       {Row{0.5f, 0.5f, kNaN, 3}, Row{kNaN, 0.5f, 0.5f, 1}, Row{0.5f, kNaN, 0.5f, 2},
        Row{kNaN, kNaN, kNaN, 3}, Row{kNaN, kNaN, 0.5f, 1}, Row{0.5f, 0.5f, kInf, 3},
        Row{0.5f, 0.5f, -kInf, 3}, Row{kInf, 0.5f, 0.5f, 1}, Row{-kInf, 0.5f, 0.5f, 1},
        Row{0.5f, kInf, 0.5f, 2}, Row{0.5f, -kInf, 0.5f, 2}}) {
    SCOPED_TRACE(point_name(row.x, row.y, row.z));
    EXPECT_EQ(map.at(row.x, row.y, row.z).status, row.status);
  }
}

// A grid smaller than the block: every node past the loaded ones is a NaN
// sentinel, so a finite result proves none was read.  Sweeps points on and
// beyond every face, at and past the limits, on a folding sector map.
TEST(FieldsGuard, NothingBeyondTheLoadedNodesIsRead) {
  for (double deg : {90.0, 30.0, 0.0}) {
    SCOPED_TRACE("angle " + std::to_string(deg));
    Geometry g;
    g.xmin = 0.1f, g.ymin = 0.1f, g.zmin = 0.1f;
    g.dx = 0.1f, g.dy = 0.2f, g.dz = 0.1f;  // y extent shorter than x
    g.nx = 4, g.ny = 2, g.nz = 3;
    g.angle_deg = deg;
    g.ida = 1, g.idb = 2, g.idc = 1;
    LoadedMap map(g, map_a_field, 3 * 4 * 2 * 3);
    const GridSize& s = SIZE;
    int evaluated = 0;
    for (int a = -12; a <= 12; ++a)
      for (int b = -12; b <= 12; ++b)
        for (float z : {s.ZLOW, s.ZMIN, 0.2f, s.ZHIGH, std::nextafter(s.ZHIGH, 1.0f)}) {
          const float x = a == 12 ? s.XHIGH : a == -12 ? s.XLOW : s.XMIN + a * 0.03f;
          const float y = b == 12 ? s.YHIGH : b == -12 ? s.YLOW : s.YMIN + b * 0.03f;
          SCOPED_TRACE(point_name(x, y, z));
          const Result r = map.at(x, y, z);
          if (r.status != 0) continue;
          ++evaluated;
          for (float v : r.b) ASSERT_TRUE(std::isfinite(v));
        }
    EXPECT_GT(evaluated, 100);
  }
}

}  // namespace
}  // namespace fieldscan
